// Memory dumps in the trace: hex lines with a text column, and the masking
// of session identifiers and connect-block passwords.
#include <string.h>

#include "krn/dptrc/dptrc.h"
#include "krn/dptrc/dptrc_int.h"

// The generated tables, declared in dptrc_int.h.
#include "krn/dptrc/dpcp273.inc"

namespace {

constexpr WEQ_UC kHexDigits[] = u"0123456789abcdef";
constexpr size_t kBytesPerLine = 16;
// Address (16), offset (20), hex part (36), text column and separators.
constexpr size_t kDumpLineUnits = 128;

constexpr WEQ_UC kRule[] =
    u"------------------------------------------------------------------------\n";
static_assert(sizeof(kRule) / sizeof(WEQ_UC) == 72 + 2, "the rule is 72 hyphens");

// Anonymous session identifiers: a region starts at either opening text and
// ends after the next closing one (or runs to the end of the dump).
constexpr const char* kSidOpen[] = {"SID:ANON:", "SID%3aANON%3a"};
constexpr const char* kSidClose[] = {"-ATT", "-NEW"};

// The connect block's eyecatcher "CONN" in EBCDIC, and the password it
// carries.
constexpr uint8_t kConnEbcdic[4] = {0xC3, 0xD6, 0xD5, 0xD5};
constexpr size_t kConnMinLen = 37;
constexpr size_t kConnSaveAt = 12;
constexpr size_t kConnSaveLen = 25;
constexpr size_t kConnPwdAt = 27;
constexpr size_t kConnPwdLen = 8;
// 'X' in each text column's character set.
constexpr uint8_t kMaskX[] = {0x58, 0xE7, 0xEC};

bool MatchAt(const uint8_t* d, size_t len, size_t i, const char* text) {
  size_t n = strlen(text);
  return len - i >= n && memcmp(d + i, text, n) == 0;
}

// Decides byte by byte, in order, which bytes of a dump are masked.
class SidMask {
 public:
  SidMask(const uint8_t* d, size_t len) : d_(d), len_(len) {}

  bool Masked(size_t i) {
    if (!inside_ && d_[i] == 'S') {
      for (const char* open : kSidOpen) inside_ = inside_ || MatchAt(d_, len_, i, open);
    }
    if (!inside_) return false;
    // The opening texts hold no '-', so a closing text that ends here lies
    // wholly inside the region.
    if (i >= 3 && d_[i - 3] == '-') {
      for (const char* close : kSidClose) {
        if (memcmp(d_ + i - 3, close, 4) == 0) inside_ = false;
      }
    }
    return true;
  }

 private:
  const uint8_t* d_;
  size_t len_;
  bool inside_ = false;
};

WEQ_UC* PutHex(WEQ_UC* p, uint64_t v) {
  WEQ_UC digits[16];
  int n = 0;
  do {
    digits[n++] = kHexDigits[v & 15];
    v >>= 4;
  } while (v != 0);
  while (n > 0) *p++ = digits[--n];
  return p;
}

// At least six decimal digits.
WEQ_UC* PutOffset(WEQ_UC* p, uint64_t v) {
  WEQ_UC digits[20];
  int n = 0;
  do {
    digits[n++] = static_cast<WEQ_UC>(u'0' + v % 10);
    v /= 10;
  } while (v != 0);
  while (n < 6) digits[n++] = u'0';
  while (n > 0) *p++ = digits[--n];
  return p;
}

WEQ_UC* PutText(WEQ_UC* p, const WEQ_UC* text) {
  while (*text != 0) *p++ = *text++;
  return p;
}

// One data line: "<address>  <offset>  <hex groups>|<text>|\n".
size_t FormatLine(WEQ_UC* out, const uint8_t* d, size_t off, size_t n, const uint8_t* table,
                  SidMask& mask) {
  WEQ_UC* p = PutHex(out, reinterpret_cast<uintptr_t>(d + off));
  p = PutText(p, u"  ");
  p = PutOffset(p, off);
  p = PutText(p, u"  ");
  WEQ_UC text[kBytesPerLine];
  for (size_t j = 0; j < kBytesPerLine; ++j) {
    if (j < n) {
      uint8_t b = d[off + j];
      if (mask.Masked(off + j)) {
        *p++ = u'x';
        *p++ = u'x';
        text[j] = u'.';
      } else {
        *p++ = kHexDigits[b >> 4];
        *p++ = kHexDigits[b & 15];
        uint8_t c = table != nullptr ? table[b] : b;
        text[j] = c >= 32 && c <= 126 ? c : u'.';
      }
    } else {
      *p++ = u' ';
      *p++ = u' ';
      text[j] = u' ';
    }
    if (j % 4 == 3) *p++ = u' ';
  }
  *p++ = u'|';
  memcpy(p, text, sizeof text);
  p += kBytesPerLine;
  *p++ = u'|';
  *p++ = u'\n';
  return static_cast<size_t>(p - out);
}

void Dump(CTRC_HDL hdl, const WEQ_UC* title, const uint8_t* d, size_t len, uint8_t mode) {
  const uint8_t* table = mode == DPTRC_TXT_EBCDIC     ? DpTrcEbcdicToLatin1
                         : mode == DPTRC_TXT_TOEBCDIC ? DpTrcLatin1ToEbcdic
                                                      : nullptr;
  DpTrcKeepErrno keep;
  DpTrcHold hold;
  FILE* f = CTrcHdlToFile(hdl);
  DpTrcHex(hdl, u"Adresse   Offset  %s\n", title);
  constexpr size_t kRuleLen = sizeof(kRule) / sizeof(WEQ_UC) - 1;
  DpTrcIWriteTagged(f, kRule, kRuleLen, false);
  SidMask mask(d, len);
  WEQ_UC line[kDumpLineUnits];
  for (size_t off = 0; off < len; off += kBytesPerLine) {
    size_t n = len - off < kBytesPerLine ? len - off : kBytesPerLine;
    DpTrcIWriteTagged(f, line, FormatLine(line, d, off, n, table, mask), false);
  }
  // One flush for the whole dump: the lock keeps other entries out of it.
  DpTrcIWriteTagged(f, kRule, kRuleLen, true);
}

}  // namespace

void DpTrcHexDump(CTRC_HDL hdl, const WEQ_UC* title, const void* data, size_t len, uint8_t mode) {
  if (data == nullptr || len == 0 || mode > DPTRC_TXT_TOEBCDIC) return;
  Dump(hdl, title, static_cast<const uint8_t*>(data), len, mode);
}

void DpTrcHexDumpMasked(CTRC_HDL hdl, const WEQ_UC* title, void* data, size_t len, uint8_t mode) {
  if (data == nullptr || len == 0 || mode > DPTRC_TXT_TOEBCDIC) return;
  uint8_t* d = static_cast<uint8_t*>(data);
  if (len < kConnMinLen || memcmp(d, kConnEbcdic, sizeof kConnEbcdic) != 0) {
    Dump(hdl, title, d, len, mode);
    return;
  }
  uint8_t saved[kConnSaveLen];
  memcpy(saved, d + kConnSaveAt, kConnSaveLen);
  memset(d + kConnPwdAt, kMaskX[mode], kConnPwdLen);
  Dump(hdl, title, d, len, mode);
  memcpy(d + kConnSaveAt, saved, kConnSaveLen);
}
