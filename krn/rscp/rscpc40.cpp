// ISO-2022 output sequences and range rules: the framed writers of the
// stateful output code pages, the Unicode forms of icons, the encoder and
// decoder of algorithmic ranges, and the rules of the conversion engine that
// call them (output rules 53-68 and 73-82, input rules 68 and 71).
//
// The shift pairs and range records live in the cache header of the
// generation that the caller reads; loads only ever add records there, so a
// record that a published table names is complete.
#include <string.h>

#include <algorithm>
#include <iterator>

#include "i18n/wequ16/u16fmt.h"
#include "krn/rscp/rscp_int.h"
#include "krn/rscp/rscpcv_int.h"
#include "krn/rscp/rscpmc_int.h"

namespace {

// Output shift state: bits 24-27 of shift_state, the last framed pair + 1.
constexpr uint32_t kOutStateShift = 24;
constexpr uint32_t kOutStateMask = 0xFu << kOutStateShift;

const rscpCCC_t* C40Cache(const rscpcTables& t) { return reinterpret_cast<const rscpCCC_t*>(t.base); }

// One framed character of width w (1 or 2 bytes) of pair i. 0 when
// written, else the bytes it needs (nothing written, nothing changed);
// -1 when pair i holds no sequences that fit the table (damaged tables).
int C40PutFramed(const rscpCCC_t* c, rscpCObj_t* o, const rscpcOutMark& mark, uint8_t** pos, uint8_t* end,
                 uint32_t i, const uint8_t* bytes, int w) {
  if (c == nullptr || i >= RSCP_SHIFT_PAIRS) return -1;
  const rscpShiftPair_t& pi = c->shiftPairs[i];
  if (pi.strtLen > RSCP_SHIFT_SEQ || pi.backLen > RSCP_SHIFT_SEQ) return -1;
  uint8_t* at = *pos;
  bool strt = true;
  // Only the return sequence that this call's last framed character wrote
  // may be taken back.
  const uint32_t state = (o->shift_state & kOutStateMask) >> kOutStateShift;
  if (state != 0 && state <= RSCP_SHIFT_PAIRS && mark.backEnd != nullptr && *mark.backEnd == at) {
    const rscpShiftPair_t& pj = c->shiftPairs[state - 1];
    if (pj.backLen <= RSCP_SHIFT_SEQ && at - mark.start >= pj.backLen &&
        memcmp(at - pj.backLen, pj.back, pj.backLen) == 0) {
      at -= pj.backLen;
      strt = state - 1 != i;
    }
  }
  const ptrdiff_t need = (strt ? pi.strtLen : 0) + w + pi.backLen;
  if (end - at < need) return static_cast<int>(need - (*pos - at));
  if (strt) {
    memcpy(at, pi.strt, pi.strtLen);
    at += pi.strtLen;
  }
  memcpy(at, bytes, static_cast<size_t>(w));
  at += w;
  memcpy(at, pi.back, pi.backLen);
  at += pi.backLen;
  o->shift_state = (o->shift_state & ~kOutStateMask) | (i + 1) << kOutStateShift;
  *pos = at;
  if (mark.backEnd != nullptr) *mark.backEnd = at;
  return 0;
}

rscpRc_t C40Framed(rscpCObj_t* o, rscpcOutMark mark, uint8_t** pos, uint8_t* end, uint32_t i, const uint8_t* b,
                   int w) {
  if (o == nullptr || pos == nullptr) return RSCPEINVAL;
  // The calling thread's pinned generation, or the published one.
  rscpCachePin pin;
  const int r = C40PutFramed(pin.get(), o, mark, pos, end, i, b, w);
  if (r < 0) return rscpcIBadRule(i + (w == 2 ? 58 : 73), __LINE__);
  return r == 0 ? 0 : RSCPETOOLONG;
}

// The Unicode form of icon c by rule 53-57 into b: its length, 0 for any
// other rule.
int C40IconForm(uint32_t c, uint32_t rule, uint8_t b[12]) {
  const rscpIconCode_t code = rscpCharToIconCode(c);
  const uint8_t ih = code.bytes[0], il = code.bytes[1], c1 = code.bytes[3], c2 = code.bytes[5];
  const WEQ_UC intro = rscpGetIconIntroducer();
  switch (rule) {
    case 53: {
      const uint8_t f[] = {ih, il, 0, c1, 0, c2};
      memcpy(b, f, sizeof f);
      return sizeof f;
    }
    case 54: {
      const uint8_t f[] = {il, ih, c1, 0, c2, 0};
      memcpy(b, f, sizeof f);
      return sizeof f;
    }
    case 55: {
      // The introducer is a private-use character: three UTF-8 bytes.
      const uint8_t f[] = {static_cast<uint8_t>(0xE0 | (intro >> 12)),
                           static_cast<uint8_t>(0x80 | ((intro >> 6) & 0x3F)),
                           static_cast<uint8_t>(0x80 | (intro & 0x3F)), c1, c2};
      memcpy(b, f, sizeof f);
      return sizeof f;
    }
    case 56: {
      const uint8_t f[] = {0, 0, ih, il, 0, 0, 0, c1, 0, 0, 0, c2};
      memcpy(b, f, sizeof f);
      return sizeof f;
    }
    case 57: {
      const uint8_t f[] = {il, ih, 0, 0, c1, 0, 0, 0, c2, 0, 0, 0};
      memcpy(b, f, sizeof f);
      return sizeof f;
    }
    default:
      return 0;
  }
}

// The range record with number n of a generation, or nullptr.
const rscpRangeRec_t* C40Range(const rscpcTables& t, uint32_t n) {
  if (t.base == nullptr || n >= RSCP_RANGE_RECS) return nullptr;
  return &C40Cache(t)->ranges[n];
}

}  // namespace

// --- The helpers -------------------------------------------------------------------------------

rscpRc_t rscpPut2022Double(rscpCObj_t* obj, uint32_t, rscpcOutMark outStart, uint8_t** pos, uint8_t* end,
                           uint32_t rule, uint16_t value) {
  const uint8_t b[2] = {static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
  return C40Framed(obj, outStart, pos, end, rule - 58, b, 2);
}

rscpRc_t rscpPut2022Single(rscpCObj_t* obj, uint32_t, rscpcOutMark outStart, uint8_t** pos, uint8_t* end,
                           uint32_t rule, uint8_t byte) {
  return C40Framed(obj, outStart, pos, end, rule - 73, &byte, 1);
}

void rscpPutIconUnicode(uint32_t c, uint32_t rule, uint32_t, uint8_t** pos, uint8_t* end, int* full) {
  uint8_t b[12];
  const int n = C40IconForm(c, rule, b);
  *full = end - *pos < n ? 1 : 0;
  if (*full != 0 || n == 0) return;
  memcpy(*pos, b, static_cast<size_t>(n));
  *pos += n;
}

int rscpRangeRuleEncode(const rscpRangeRec_t* r, uint32_t c, uint8_t* bytes, int* count, int available) {
  const int n = r->seqLen;
  if (available < n) return 1;
  // The base code may lie below 0 (a range whose first code is not the
  // lowest byte sequence): the arithmetic is signed and 64 bits wide.
  const int64_t off = int64_t{c} - int64_t{static_cast<int32_t>(r->uidFirst)};
  if (off < 0) return 2;
  if (c > r->last) return 3;
  if (n < 1 || n > 4) return 4;
  for (int k = 0; k + 1 < n; ++k) {
    if (r->weight[k] <= 0) return 4;
  }
  int64_t rest = off;
  for (int k = 0; k < n; ++k) {
    const int64_t w = k + 1 < n ? r->weight[k] : 1;
    bytes[k] = static_cast<uint8_t>(r->minV[k] + rest / w);
    rest %= w;
  }
  *count = n;
  return 0;
}

int rscpRangeRuleDecode(const rscpRangeRec_t* r, uint32_t* c, const uint8_t* bytes, int available) {
  const int n = r->seqLen;
  if (available < n) return 1;
  if (n < 1 || n > 4) return 5;
  int64_t v = static_cast<int32_t>(r->uidFirst);
  for (int k = 0; k < n; ++k) {
    if (bytes[k] < r->minV[k] || bytes[k] > r->maxV[k]) return 1;
    v += int64_t{bytes[k] - r->minV[k]} * r->weight[k];
  }
  if (v < int64_t{r->first}) return 3;
  if (v > int64_t{r->last}) return 4;
  *c = static_cast<uint32_t>(v);
  return 0;
}

// --- The engine's rules ------------------------------------------------------------------------

uint32_t rscpcIGroupStart(rscpcFrame& f, int location) {
  const uint32_t g = (f.o->shift_state >> 10) & 0xF;
  const uint32_t w = f.t.T1(f.inT1)[g];
  if ((w & RSCP_T1_TYPE) != RSCP_T1_NEXT) {
    WEQ_UC p2[16];
    snprintfTruncU16(p2, std::size(p2), u"%d", static_cast<int>(g));
    f.rc = rscpIReport(kRscpcCvModule, RSCPEINTERN, location, __LINE__, u"T1 not prepared for ISO-2022 status", u"???",
                       u"JIS? &", p2);
    return 0;
  }
  if (!f.t.BlockOk(w & RSCP_T1_VALUE)) {
    f.rc = rscpcIBadWord(w, __LINE__);
    return 0;
  }
  return w & RSCP_T1_VALUE;
}

rscpcOutResult rscpcIOutRule40(rscpCObj_t* o, const rscpcTables& t, rscpcOutMark outStart, uint8_t** pos,
                               uint8_t* end, uint32_t c, uint32_t rule, uint32_t param) {
  const uint32_t v = c & 0xFFFFFF;
  if (rule >= 53 && rule <= 57) {
    int full = 0;
    rscpPutIconUnicode(v, rule, param, pos, end, &full);
    if (full != 0) {
      uint8_t b[12];
      return rscpcOutResult(rscpcOut::kFull, C40IconForm(v, rule, b));
    }
    return rscpcOutResult(rscpcOut::kDone);
  }
  if ((rule >= 58 && rule <= 67) || (rule >= 73 && rule <= 82)) {
    const bool two = rule <= 67;
    const uint8_t b[2] = {static_cast<uint8_t>(two ? param >> 8 : param), static_cast<uint8_t>(param)};
    const int r = C40PutFramed(C40Cache(t), o, outStart, pos, end, rule - (two ? 58 : 73), b, two ? 2 : 1);
    if (r < 0) return rscpcOutResult::Error(rscpcIBadRule(rule, __LINE__));
    return r == 0 ? rscpcOutResult(rscpcOut::kDone) : rscpcOutResult(rscpcOut::kFull, r);
  }
  if (rule == 68) {
    const rscpRangeRec_t* r = C40Range(t, param);
    if (r == nullptr) return rscpcOutResult::Error(rscpcIBadRule(rule, __LINE__));
    if (end - *pos < r->seqLen) return rscpcOutResult(rscpcOut::kFull, r->seqLen);
    int n = 0;
    // Codes below the base, above the last code or of a damaged record
    // cannot be written.
    if (rscpRangeRuleEncode(r, v, *pos, &n, r->seqLen) != 0) {
      return rscpcOutResult(rscpcOut::kNone);
    }
    *pos += n;
    return rscpcOutResult(rscpcOut::kDone);
  }
  return rscpcOutResult::Error(rscpcIBadRule(rule, __LINE__));
}

rscpcIn40 rscpcIInRule40(rscpCObj_t* o, const rscpcTables& t, uint32_t w, const uint8_t* first, const uint8_t* rd,
                         const uint8_t* end, uint32_t* c, int* len, rscpRc_t* rc) {
  const uint32_t rule = w & 0x1FFF;
  const uint32_t attr = (w >> 13) & 0x3F;
  if (rule == 71) {
    // A designation or return sequence: the input state for the
    // characters that follow.
    o->shift_state = (o->shift_state & ~(0xFu << 10)) | (attr & 0xF) << 10;
    *len = static_cast<int>(rd - first);
    return rscpcIn40::kComplete;
  }
  const rscpRangeRec_t* r = rule == 68 ? C40Range(t, attr) : nullptr;
  if (r == nullptr) {
    *rc = rscpcIBadRule(rule, __LINE__);
    return rscpcIn40::kError;
  }
  // Too few bytes at the input end is a cut character; any other failure
  // of the decoder a broken one: a byte outside its position's bounds ends
  // the sequence before it, a code outside the range is broken whole.
  const int n = r->seqLen;
  if (n < 1 || n > 4) {
    *len = 1;
    return rscpcIn40::kBroken;
  }
  if (end - first < n) return rscpcIn40::kCut;
  switch (rscpRangeRuleDecode(r, c, first, n)) {
    case 0:
      *len = n;
      return rscpcIn40::kChar;
    case 1: {
      int k = 0;
      while (k < n && first[k] >= r->minV[k] && first[k] <= r->maxV[k]) ++k;
      *len = std::max(k, 1);
      return rscpcIn40::kBroken;
    }
    default:
      *len = n;
      return rscpcIn40::kBroken;
  }
}
