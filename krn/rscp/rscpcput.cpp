// The single-character writer and the handlers of characters that cannot
// be converted: the output-table check, the writer of one character number
// and its weqcode and counted forms, the drop handler, the unconvertible-
// character handler, and the data dump of the error parameters. Every
// public entry pins the cache generation it reads; the internal forms read
// the generation that their caller passes.
#include <string.h>

#include <algorithm>
#include <iterator>

#include "i18n/wequ16/u16fmt.h"
#include "krn/rscp/rscp_int.h"
#include "krn/rscp/rscpcv_int.h"
#include "krn/rscp/rscpmc_int.h"

namespace {

constexpr const WEQ_UC* kPutModule = u" $Id: krn/rscp/rscpcput.cpp $";

rscpRc_t PutReport(int rc, int location, int line, const WEQ_UC* text, const WEQ_UC* code, const WEQ_UC* p1,
                   const WEQ_UC* p2 = nullptr) {
  return rscpIReport(kPutModule, rc, location, line, text, code, p1, p2);
}

rscpRc_t PutMissing(int location, int line) {
  return PutReport(RSCPENOCONV, location, line, u"missing char code param", u"F38", nullptr);
}

rscpRc_t PutTooLong(int need, ptrdiff_t room, int line) {
  WEQ_UC p[48];
  snprintfTruncU16(p, std::size(p), u"want&%d&must&%d&", need, static_cast<int>(room));
  return PutReport(RSCPETOOLONG, 3, line, u"char code longer than output buffer", u"F42", p);
}

rscpRc_t PutNotPossible(const rscpCObj_t* o, uint32_t c, int line) {
  WEQ_UC p1[8], p2[24];
  snprintfTruncU16(p1, std::size(p1), u"%*.*s", 4, 4, o->to_cp);
  snprintfTruncU16(p2, std::size(p2), u"&%08lx&", static_cast<unsigned long>(c));
  return PutReport(RSCPENOCONV, 4, line, u"character not possible", u"CPP", p1, p2);
}

bool PutStateUsable() {
  const int32_t s = rscpGetState();
  return s == RSCP_STATE_INIT || s == RSCP_STATE_WRONG_VERSION || s == RSCP_STATE_REINIT;
}

// The writer; depth 1 while it writes the replacement that a drop handler
// chose (a replacement that is itself dropped is not possible).
rscpRc_t PutCharAt(rscpCObj_t* o, const rscpcTables& t, rscpcOutMark outStart, uint8_t** pos, uint8_t* end,
                   uint32_t c, int depth) {
  uint32_t x = c;
  for (bool substituting = false;; substituting = true) {
    if (x > t.maxUchar) {
      WEQ_UC p[64];
      snprintfTruncU16(p, std::size(p), u"UChar %08lx > %08lx (uchar_max)", static_cast<unsigned long>(x),
                       static_cast<unsigned long>(t.maxUchar));
      return PutReport(RSCPENOCONV, 2, __LINE__, u"character number out of range", u"F40", p);
    }
    const ptrdiff_t room = end - *pos;
    const rscpcOutResult r = rscpcIEncode(o, t, o->out_t1, outStart, *pos, end, x);
    switch (r.kind()) {
      case rscpcOut::kDone:
        if (substituting) o->subst_count += 1;
        return 0;
      case rscpcOut::kFull:
        return PutTooLong(r.need(), room, __LINE__);
      case rscpcOut::kError:
        return r.rc();
      case rscpcOut::kDropT3:
        if (depth == 0) {
          int result = 0;
          rscpcTables same = t;
          const rscpRc_t rc = rscpcIDropChar(o, same, outStart, pos, end, &result);
          if (result == 0) return 0;
          if (result == 1) return PutNotPossible(o, x, __LINE__);
          if (result == 2) return rc != 0 ? rc : PutTooLong(1, room, __LINE__);
          return rc;
        }
        [[fallthrough]];
      case rscpcOut::kNone:
      case rscpcOut::kDropT2:
        // No endless substitution: the replacement itself is tried once.
        if (!substituting && o->use_subst == 1 && x != o->subst_char) {
          x = o->subst_char;
          continue;
        }
        return PutNotPossible(o, x, __LINE__);
    }
    return PutNotPossible(o, x, __LINE__);
  }
}

// What a run of writes that fails part-way puts back: the position, the
// output shift state, the call's remembered return sequence, and the bytes
// before the position that a taken-back return sequence (at most 10 bytes)
// may have been overwritten with. A single write needs none of it: a
// framed character that does not fit writes nothing.
class PutUndo {
 public:
  PutUndo(const rscpCObj_t* o, const rscpcOutMark& m, uint8_t* at)
      : at_(at), shift_(o->shift_state), back_(m.backEnd != nullptr ? *m.backEnd : nullptr) {
    n_ = std::min<ptrdiff_t>(at - m.start, sizeof saved_);
    if (n_ > 0) memcpy(saved_, at - n_, static_cast<size_t>(n_));
  }
  void Restore(rscpCObj_t* o, const rscpcOutMark& m, uint8_t** pos) const {
    if (n_ > 0) memcpy(at_ - n_, saved_, static_cast<size_t>(n_));
    *pos = at_;
    o->shift_state = shift_;
    if (m.backEnd != nullptr) *m.backEnd = back_;
  }

 private:
  uint8_t* at_;
  uint32_t shift_;
  uint8_t* back_;
  uint8_t saved_[RSCP_SHIFT_SEQ];
  ptrdiff_t n_ = 0;
};

// Writes c after the output-table check, with t taken anew by the check.
rscpRc_t PutChecked(rscpCObj_t* o, rscpcTables& t, rscpcOutMark outStart, uint8_t** pos, uint8_t* end, uint32_t c,
                    int depth) {
  if (rscpRc_t rc = rscpcICheckOutTab(o, t)) return rc;
  return PutCharAt(o, t, outStart, pos, end, c, depth);
}

// The generation of the calling thread's pin, checked for the object's
// output table.
rscpRc_t PutTables(const rscpCObj_t* o, rscpcTables& t, int line) {
  t.Take(rscpPinnedCache());
  if (t.base == nullptr) return PutReport(RSCPENOCONV, 6, line, u"CCC not proper initialized", u"F34", nullptr);
  if (o->out_t1 == 0) return PutMissing(1, line);
  if (!rscpcIInside(t, o, false, true)) return rscpcIOutsideReport(o, line);
  return 0;
}

void PutCount(const uint8_t* before, const uint8_t* after) {
  rscpThrCtx_t* ctx = rscpGetThrCtx();
  ctx->bytesIn += 1;  // one character
  ctx->bytesOut += static_cast<uint64_t>(after - before);
}

}  // namespace

// --- Internal forms ---------------------------------------------------------------------------

bool rscpcIInside(const rscpcTables& t, const rscpCObj_t* o, bool input, bool output) {
  if (input && !t.BlockOk(o->in_t1)) return false;
  if (output && !t.T2Ok(o->out_t1)) return false;
  return true;
}

rscpRc_t rscpcIOutsideReport(const rscpCObj_t* o, int line) {
  WEQ_UC p1[24], p2[24];
  snprintfTruncU16(p1, std::size(p1), u"%ld", static_cast<long>(o->in_t1));
  snprintfTruncU16(p2, std::size(p2), u"%ld", static_cast<long>(o->out_t1));
  return rscpIReport(kRscpcCvModule, RSCPEINVAL, 69, line, u"converter object names tables outside the cache",
                     u"F38", p1, p2);
}

rscpRc_t rscpcIBadRule(uint32_t rule, int line) {
  WEQ_UC p[24];
  snprintfTruncU16(p, std::size(p), u"rule=%ld", static_cast<long>(rule));
  return rscpIReport(kRscpcCvModule, RSCPEINTERN, 254, line, u"table rule without meaning", u"F6S", p);
}

rscpRc_t rscpcIBadWord(uint32_t word, int line) {
  WEQ_UC p[24];
  snprintfTruncU16(p, std::size(p), u"word=%08lx", static_cast<unsigned long>(word));
  return rscpIReport(kRscpcCvModule, RSCPEINTERN, 255, line, u"table word outside the cache", u"F6S", p);
}

rscpRc_t rscpcIPutChar(rscpCObj_t* o, const rscpcTables& t, rscpcOutMark outStart, uint8_t** pos, uint8_t* end,
                       uint32_t c) {
  return PutCharAt(o, t, outStart, pos, end, c, 0);
}

rscpRc_t rscpcICheckOutTab(rscpCObj_t* o, rscpcTables& t) {
  if (rscpRc_t rc = rscpCCheckOutTab(o)) return rc;
  const rscpCCC_t* c = rscpPinnedCache();
  if (reinterpret_cast<const uint8_t*>(c) != t.base) t.Take(c);
  if (!rscpcIInside(t, o, false, true)) return rscpcIOutsideReport(o, __LINE__);
  return 0;
}

rscpRc_t rscpcIDropChar(rscpCObj_t* o, rscpcTables& t, rscpcOutMark outStart, uint8_t** pos, uint8_t* end,
                        int* result) {
  uint32_t c;
  switch (o->drop) {
    case 0: *result = 1; return 0;
    case 2: *result = 0; return 0;
    case 1: c = o->subst_char; break;
    case 3: c = u' '; break;
    default: *result = 2; return 0;
  }
  uint8_t* const at = *pos;
  const rscpRc_t rc = PutChecked(o, t, outStart, pos, end, c, 1);
  if (rc == 0) {
    o->subst_count += 1;
    *result = 0;
  } else {
    *pos = at;
    *result = rc == RSCPETOOLONG ? 2 : 3;
  }
  return rc;
}

int rscpcISubstitute(rscpCObj_t* o, rscpcTables& t, rscpcOutMark outStart, uint8_t** pos, uint8_t* end, int count,
                     rscpRc_t* code) {
  if (rscpRc_t rc = rscpcICheckOutTab(o, t)) {
    *code = rc;
    return 1;
  }
  const PutUndo undo(o, outStart, *pos);
  for (int i = 0; i < count; ++i) {
    if (rscpRc_t rc = PutCharAt(o, t, outStart, pos, end, o->subst_char, 0)) {
      undo.Restore(o, outStart, pos);
      *code = rc;
      return rc == RSCPETOOLONG ? 2 : 1;
    }
  }
  o->subst_count += 1;
  *code = 0;
  return 0;
}

int rscpcIUnconvertible(rscpCObj_t* o, rscpcTables& t, rscpcOutMark outStart, uint8_t** pos, uint8_t* end,
                        const uint8_t* charEnd, const uint8_t* charStart, rscpRc_t* code) {
  const ptrdiff_t len = charEnd - charStart;
  if (o->use_subst == 0) {
    if (o->use_1_copy == 0) return 3;
    if (end - *pos < len) return 2;
    memmove(*pos, charStart, static_cast<size_t>(len));
    *pos += len;
    o->subst_count += 1;
    return 0;
  }
  // With mbc_copy 3 every further byte of a multi-byte character takes one
  // more substitution character.
  const int count = rscpcIMbcCopy() == 3 && len > 1 ? static_cast<int>(len) : 1;
  return rscpcISubstitute(o, t, outStart, pos, end, count, code);
}

rscpRc_t rscpcIWeqcodeChar(uint16_t weqcode, uint32_t* c) {
  rscpCachePin pin;
  *c = rscpCharNumberToUnicode(weqcode);
  if (*c != 0) return 0;
  // The mapper reports a number above the map; one inside it without a
  // value is reported here.
  const rscpCCC_t* cache = pin.get();
  if (cache != nullptr && weqcode <= cache->tcp01_mappings) {
    WEQ_UC p[32];
    snprintfTruncU16(p, std::size(p), u"WEQchar %ld", static_cast<long>(weqcode));
    PutReport(RSCPENOCONV, 7, __LINE__, u"character number without Unicode value", u"F40", p);
  }
  return RSCPENOCONV;
}

// --- Public entries ----------------------------------------------------------------------------

rscpRc_t rscpCCheckOutTab(rscpCObj_t* o) {
  if (o == nullptr) return PutMissing(1, __LINE__);
  if (o->out_looked_up == 0) {
    // The lookup of the output side clears the method; methods that keep
    // no tables of the pair come back.
    const uint32_t m = o->method;
    if (rscpRc_t rc = lookup_convert_tables(o, 0, 0, 1, -1)) return rc;
    if (m <= 3 || (m >= 12 && m <= 32) || m == 48 || m == 49) o->method = m;
  }
  rscpCachePin pin;
  if (const rscpCCC_t* c = pin.get(); c != nullptr && o->cache_version != rscpCacheVersion(c)) {
    if (rscpRc_t rc = rscpINeedReorgLabelled()) return rc;
    if (rscpRc_t rc = lookup_convert_tables(o, 0, o->in_t1 != 0 ? 1 : 0, 1, -1)) return rc;
  }
  if (o->out_t1 != 0) return 0;
  return PutMissing(1, __LINE__);
}

rscpRc_t rscpCPutChar(rscpCObj_t* o, WEQ_RAW** pos, WEQ_RAW* end, uint32_t c) {
  if (o == nullptr || pos == nullptr) return PutMissing(1, __LINE__);
  rscpCachePin pin;
  rscpcTables t;
  if (rscpRc_t rc = PutTables(o, t, __LINE__)) return rc;
  return PutCharAt(o, t, *pos, pos, end, c, 0);
}

rscpRc_t rscpCPutCharNumber(rscpCObj_t* o, WEQ_RAW** pos, WEQ_RAW* end, uint16_t weqcode) {
  if (o == nullptr || pos == nullptr) return PutReport(RSCPENOCONV, 5, __LINE__, u"missing char code param", u"F38", nullptr);
  if (!PutStateUsable()) return PutReport(RSCPENOCONV, 6, __LINE__, u"CCC not proper initialized", u"F34", nullptr);
  uint32_t u = 0;
  if (rscpRc_t rc = rscpcIWeqcodeChar(weqcode, &u)) return rc;
  return rscpCPutCharCounted(o, pos, end, u);
}

rscpRc_t rscpCPutCharCounted(rscpCObj_t* o, WEQ_RAW** pos, WEQ_RAW* end, uint32_t c) {
  if (o == nullptr || pos == nullptr) return PutMissing(1, __LINE__);
  uint8_t* const before = *pos;
  rscpRc_t rc = rscpCCheckOutTab(o);
  if (rc == 0) rc = rscpCPutChar(o, pos, end, c);
  PutCount(before, *pos);
  return rc;
}

rscpRc_t rscpCDropChar(rscpCObj_t* o, WEQ_RAW** pos, WEQ_RAW* end, int* result) {
  int local = 0;
  if (result == nullptr) result = &local;
  if (o == nullptr || pos == nullptr) {
    *result = 3;
    return PutMissing(1, __LINE__);
  }
  if (o->drop == 0 || o->drop == 2 || o->drop > 3) {
    rscpcTables none;
    return rscpcIDropChar(o, none, *pos, pos, end, result);
  }
  rscpCachePin pin;
  rscpcTables t;
  t.Take(pin.get());
  return rscpcIDropChar(o, t, *pos, pos, end, result);
}

int rscpCUnconvertible(rscpCObj_t* o, WEQ_RAW** pos, WEQ_RAW* end, const WEQ_RAW* charEnd,
                       const WEQ_RAW* charStart, rscpRc_t* code) {
  rscpRc_t local = 0;
  if (code == nullptr) code = &local;
  if (o == nullptr || pos == nullptr || charEnd < charStart) {
    *code = PutMissing(1, __LINE__);
    return 1;
  }
  rscpCachePin pin;
  rscpcTables t;
  t.Take(pin.get());
  return rscpcIUnconvertible(o, t, *pos, pos, end, charEnd, charStart, code);
}

void rscpCFormatData(WEQ_UC* buf, const WEQ_RAW* bytes, int length) {
  int n = snprintfTruncU16(buf, RSCPC_DATA_UNITS, u"len=%d,data=", length);
  for (int i = 0; i < length && i < 10 && bytes != nullptr && n + 2 < RSCPC_DATA_UNITS; ++i) {
    n += snprintfTruncU16(buf + n, static_cast<size_t>(RSCPC_DATA_UNITS - n), u"%02x", bytes[i]);
  }
}
