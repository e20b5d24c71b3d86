// Code ranges and icon codes: the enumerators that the rule loaders walk,
// the two-way mapping between icon numbers and their code characters, and
// the icon introducer.
#include <atomic>

#include "i18n/wequ16/u16str.h"
#include "krn/rscp/rscpdat_int.h"

namespace {

// Set at converter start, read by every icon conversion on any thread.
std::atomic<WEQ_UC> gIntroducer{0xF8FD};

constexpr char kAlphabet[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

// The alphabet value of a code character, -1 when it is none.
int AlphaValue(uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
  if (c >= 'a' && c <= 'z') return c - 'a' + 36;
  return -1;
}

int HexValue(WEQ_UC c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  return -1;
}

// Bytes from a text of hexadecimal digits, high nibble first; other
// characters are skipped, a lone last digit and bytes beyond cap dropped.
int32_t HexBytes(const WEQ_UC* text, int32_t len, uint8_t* out, int32_t cap) {
  int32_t n = 0;
  int high = -1;
  for (int32_t i = 0; text && i < len && n < cap; ++i) {
    const int v = HexValue(text[i]);
    if (v < 0) continue;
    if (high < 0) {
      high = v;
    } else {
      out[n++] = uint8_t(high << 4 | v);
      high = -1;
    }
  }
  return n;
}

// Shared step of the three icon enumerators: deliver the current icon and
// advance c2, carrying into c1; after "zz" the state becomes 9.
bool IconStep(rscpIterIcon_t* rec, uint32_t* number, uint8_t* c1, uint8_t* c2) {
  if (rec->state >= 9) return false;
  *number = rscpIconCodeToChar(rec->c1, rec->c2);
  *c1 = rec->c1;
  *c2 = rec->c2;
  ++rec->count;
  const int v2 = AlphaValue(rec->c2);
  if (v2 >= 0 && v2 < 61) {
    rec->c2 = uint8_t(kAlphabet[v2 + 1]);
    return true;
  }
  rec->c2 = '0';
  const int v1 = AlphaValue(rec->c1);
  if (v1 >= 0 && v1 < 61) {
    rec->c1 = uint8_t(kAlphabet[v1 + 1]);
  } else {
    rec->state = 9;
  }
  return true;
}

void CodeInit(rscpIterCode_t* rec) {
  rec->next = 0x20;
  rec->spare[0] = rec->spare[1] = rec->spare[2] = 0;
}

// The gaps that the character enumerators jump: controls 0x7F-0x9F,
// surrogates and the non-characters 0xFDD0-0xFDEF.
uint32_t SkipGaps(uint32_t next) {
  switch (next) {
    case 0x7F: return 0xA0;
    case 0xD800: return 0xE000;
    case 0xFDD0: return 0xFDF0;
    default: return next;
  }
}

}  // namespace

uint32_t rscpIterBmpPrintFirst(void) { return 0x20; }

bool rscpIterBmpPrintNext(rscpIterCode_t* rec, uint32_t* code) {
  if (int32_t(rec->next) >= 0xFFFE) return false;
  *code = rec->next;
  rec->next = rec->next == 0x7E ? 0xA0 : rec->next + 1;
  return true;
}

void rscpIterBmpCharInit(rscpIterCode_t* rec) { CodeInit(rec); }

bool rscpIterBmpCharNext(rscpIterCode_t* rec, uint32_t* code) {
  if (rec->next >= 0xFFFE) return false;
  *code = rec->next;
  rec->next = SkipGaps(rec->next + 1);
  return true;
}

uint32_t rscpIterSupplFirst(void) { return 0x10000; }

bool rscpIterSupplNext(rscpIterCode_t* rec, uint32_t* code, uint8_t* hs1, uint8_t* hs2,
                       uint8_t* ls1, uint8_t* ls2) {
  if (rec->next > 0x10FFFF) return false;
  const uint32_t c = rec->next++;
  const uint32_t v = c - 0x10000;
  *code = c;
  *hs1 = uint8_t(0xD8 + ((v >> 18) & 3));
  *hs2 = uint8_t(v >> 10);
  *ls1 = uint8_t(0xDC + ((v >> 8) & 3));
  *ls2 = uint8_t(v);
  return true;
}

void rscpIterAllCharInit(rscpIterCode_t* rec) { CodeInit(rec); }

bool rscpIterAllCharNext(rscpIterCode_t* rec, uint32_t* code) {
  if (rec->next > 0x10FFFF) return false;
  *code = rec->next;
  const uint32_t next = SkipGaps(rec->next + 1);
  rec->next = next == 0xFFFE ? 0x10000 : next;
  return true;
}

void rscpIterByteRangeInit(rscpIterByteRange_t* rec, uint32_t first, uint32_t last, int32_t n,
                           const int32_t* start, const int32_t* low, const int32_t* high) {
  *rec = {};
  rec->code = first;
  rec->last = last;
  if (n < 1 || n > 4 || !start || !low || !high) return;  // n stays 0: empty
  rec->n = n;
  for (int32_t k = 0; k < n; ++k) {
    rec->low[k] = low[k];
    rec->high[k] = high[k];
    rec->cur[k] = start[k];
  }
  // The first step increments the last position back to its start byte.
  --rec->cur[n - 1];
}

bool rscpIterByteRangeNext(rscpIterByteRange_t* rec, uint32_t* code, uint8_t* b1, uint8_t* b2,
                           uint8_t* b3, uint8_t* b4) {
  if (rec->n < 1 || rec->n > 4 || rec->code > rec->last) return false;
  for (int32_t k = rec->n - 1; k >= 0; --k) {
    if (rec->cur[k] < rec->high[k]) {
      ++rec->cur[k];
      break;
    }
    rec->cur[k] = rec->low[k];
  }
  *b1 = uint8_t(rec->cur[0]);
  if (rec->n > 1) *b2 = uint8_t(rec->cur[1]);
  if (rec->n > 2) *b3 = uint8_t(rec->cur[2]);
  if (rec->n > 3) *b4 = uint8_t(rec->cur[3]);
  *code = rec->code++;
  // A range that ends at the top code must not wrap back to 0.
  if (rec->code == 0) rec->n = 0;
  return true;
}

void rscpIterIconInit(rscpIterIcon_t* rec, uint32_t state) {
  rec->state = state;
  rec->count = 0;
  rec->c1 = rec->c2 = '0';
}

bool rscpIterIconNext(rscpIterIcon_t* rec, uint32_t* number, uint8_t* c1, uint8_t* c2) {
  return IconStep(rec, number, c1, c2);
}

void rscpIterIconFormInit(rscpIterIconForm_t* rec, uint32_t state, uint16_t kind,
                          const WEQ_UC* prefix, int32_t prefixLen, const WEQ_UC* suffix,
                          int32_t suffixLen) {
  rscpIterIconInit(&rec->icon, state);
  rec->kind = kind;
  rec->prefixLen = HexBytes(prefix, prefixLen, rec->prefix, RSCP_ICON_PREFIX_MAX);
  rec->suffixLen = HexBytes(suffix, suffixLen, rec->suffix, RSCP_ICON_SUFFIX_MAX);
}

bool rscpIterIconFormNext(rscpIterIconForm_t* rec, uint32_t* number, uint8_t* buf, int32_t cap,
                          int32_t* len) {
  const int32_t codeLen = rec->kind == 40 || rec->kind == 41   ? 2
                          : rec->kind == 42 || rec->kind == 43 ? 4
                                                               : 0;
  *len = rec->prefixLen + rec->suffixLen + codeLen;
  if (*len > cap) return false;
  uint8_t c1, c2;
  if (!IconStep(&rec->icon, number, &c1, &c2)) return false;
  uint8_t* p = buf;
  for (int32_t k = 0; k < rec->prefixLen; ++k) *p++ = rec->prefix[k];
  switch (rec->kind) {
    case 40: *p++ = c1, *p++ = c2; break;
    case 41: *p++ = U16CharToEbcdic(c1), *p++ = U16CharToEbcdic(c2); break;
    case 42: *p++ = 0, *p++ = c1, *p++ = 0, *p++ = c2; break;
    case 43: *p++ = c1, *p++ = 0, *p++ = c2, *p++ = 0; break;
    default: break;
  }
  for (int32_t k = 0; k < rec->suffixLen; ++k) *p++ = rec->suffix[k];
  return true;
}

void rscpIterIconUtf8Init(rscpIterIcon_t* rec, uint32_t state) { rscpIterIconInit(rec, state); }

bool rscpIterIconUtf8Next(rscpIterIcon_t* rec, uint32_t* number, uint8_t* u1, uint8_t* u2,
                          uint8_t* u3, uint8_t* c1, uint8_t* c2) {
  if (!IconStep(rec, number, c1, c2)) return false;
  // The introducer in the three-byte UTF-8 layout (it lies in the BMP's
  // private use area, whose characters all take three bytes).
  const WEQ_UC in = gIntroducer.load(std::memory_order_relaxed);
  *u1 = uint8_t(0xE0 | in >> 12);
  *u2 = uint8_t(0x80 | ((in >> 6) & 0x3F));
  *u3 = uint8_t(0x80 | (in & 0x3F));
  return true;
}

uint32_t rscpIconCodeToChar(uint8_t c1, uint8_t c2) {
  const int v1 = AlphaValue(c1), v2 = AlphaValue(c2);
  if (v1 < 0 || v2 < 0) return 0;
  if (v2 < 36) return RSCP_ICON_BASE + uint32_t(36 * v1 + v2);
  return RSCP_ICON_BASE + 2232 + uint32_t(26 * v1 + (v2 - 36));
}

rscpIconCode_t rscpCharToIconCode(uint32_t ch) {
  const uint32_t d = (ch & 0xFFFFFF) - RSCP_ICON_BASE;
  uint32_t q = 0, r = 0;
  if (d < 2232) {
    q = d / 36, r = d % 36;
  } else if (d < RSCP_ICON_COUNT) {
    q = (d - 2232) / 26, r = (d - 2232) % 26 + 36;
  }
  const WEQ_UC in = gIntroducer.load(std::memory_order_relaxed);
  return {{uint8_t(in >> 8), uint8_t(in), 0, uint8_t(kAlphabet[q]), 0, uint8_t(kAlphabet[r])}, 6};
}

void rscpSetIconIntroducer(WEQ_UC intro) { gIntroducer.store(intro, std::memory_order_relaxed); }

WEQ_UC rscpGetIconIntroducer(void) { return gIntroducer.load(std::memory_order_relaxed); }
