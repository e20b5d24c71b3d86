// The exported conversion tables: flat tables that the Java side converts
// with by itself, built from the cache's multi-level tables for a converter
// object that the method chooser completed for that direction.
//
// Each call pins one cache generation and reads the object's tables through
// it after checking them against that generation's bounds. Entries hold
// output bytes in output order (the first byte at the lower address of a
// 16-bit entry), so the caller reads them in the output's byte order.
#include <string.h>

#include <iterator>

#include "i18n/wequ16/u16fmt.h"
#include "krn/rscp/rscp_int.h"
#include "krn/rscp/rscpc_int.h"
#include "krn/rscp/rscpcv_int.h"
#include "krn/rscp/rscpu.h"

namespace {

constexpr const WEQ_UC* kTabModule = u" $Id: krn/rscp/rscpctab.cpp $";

// Blocks of the double-byte tables: one per lead byte, and at most 1024
// for the supplementary planes (one per high surrogate, the shared block
// of substitutions included).
constexpr int kTabDbBlocks = 256;
constexpr int kTabUcBlocks = 1024;

rscpRc_t TabReport(int rc, int location, int line, const WEQ_UC* text, const WEQ_UC* code, const WEQ_UC* p1,
                   const WEQ_UC* p2 = nullptr) {
  return rscpIReport(kTabModule, rc, location, line, text, code, p1, p2);
}

// "no shortcut conversion table" for a value that a flat table cannot
// hold: the bytes (or the unit) and what was found.
template <class... A>
rscpRc_t TabCannotHold(int location, int line, const uint8_t* bytes, int n, const rscpCObj_t* o,
                       const WEQ_UC* format, A... args) {
  WEQ_UC p1[RSCPC_DATA_UNITS], p2[96];
  rscpCFormatData(p1, bytes, n);
  snprintfTruncU16(p2, std::size(p2), format, 4, o->from_cp, 4, o->to_cp, args...);
  return TabReport(RSCPENOCONV, location, line, u"no shortcut conversion table", u"CP9", p1, p2);
}

// The frame of one table call: the pinned generation and the object's
// tables checked against it.
class TabCall {
 public:
  explicit TabCall(rscpCObj_t* o) : o_(o) {}
  TabCall(const TabCall&) = delete;
  TabCall& operator=(const TabCall&) = delete;

  // The common start: the converter usable, the choice current, the method
  // and options allowed (ok), the tables read (input, output) inside the
  // generation. compact: the options report without blanks (Sb2Uc's).
  rscpRc_t Start(bool ok, bool compact, bool input, bool output) {
    const int32_t s = rscpGetState();
    if (s != RSCP_STATE_INIT && s != RSCP_STATE_WRONG_VERSION && s != RSCP_STATE_REINIT) {
      return TabReport(RSCPEINTERN, 1, __LINE__, u"CCC not initialized", u"F34", nullptr);
    }
    if (const rscpCCC_t* c = pin_.get(); c == nullptr || o_->cache_version != rscpCacheVersion(c)) {
      // A failed choice has released the cache mutex already.
      if (rscpRc_t rc = rscpINeedReorgLabelled()) return rc;
      if (rscpRc_t rc = lookup_convert_tables(o_, 0, 1, 1, -1)) return rc;
    }
    if (!ok) return Options(compact);
    t.Take(rscpPinnedCache());
    if (t.base == nullptr) return TabReport(RSCPEINTERN, 1, __LINE__, u"CCC not initialized", u"F34", nullptr);
    if (!rscpcIInside(t, o_, input, output)) return rscpcIOutsideReport(o_, __LINE__);
    return 0;
  }

  // The two bytes that subst_char gives in the output code page, through
  // the single-character writer (counted in the thread's counters).
  rscpRc_t Subst(uint8_t out[2]) { return Char(o_->subst_char, out); }
  rscpRc_t Char(uint32_t c, uint8_t out[2]) {
    memset(out, 0, 2);
    WEQ_RAW* p = out;
    return rscpCPutCharCounted(o_, &p, out + 2, c);
  }

  uint16_t T2Entry(uint32_t u) const { return t.T2Entry(o_->out_t1, u); }

  rscpcTables t;

 private:
  rscpRc_t Options(bool compact) {
    WEQ_UC p1[128];
    snprintfTruncU16(p1, std::size(p1),
                     compact ? u"(%.*s->%.*s): ctrl:%s, own:%s, meth:%s, drop:%s"
                             : u"(%.*s->%.*s): ctrl: %s, own: %s, meth: %s, drop: %s",
                     4, o_->from_cp, 4, o_->to_cp, rscpNameOfCtrlCodeCv(static_cast<int32_t>(o_->rscpCtrlCodeCv)),
                     rscpNameOfOwnChCv(static_cast<int32_t>(o_->rscpWEQOwnChCv)), rscpNameOfMethod(o_->method),
                     rscpNameOfDrop(static_cast<int32_t>(o_->drop)));
    return TabReport(RSCPEINVAL, 3, __LINE__, u"no shortcut conversion table", u"CP9", p1);
  }

  rscpCObj_t* o_;
  rscpCachePin pin_;
};

bool TabJavaOptions(const rscpCObj_t* o) { return o->rscpCtrlCodeCv == 1 && o->rscpWEQOwnChCv == 0 && o->drop == 1; }
bool TabFromUtf16(const rscpCObj_t* o) { return (o->method == 33 || o->method == 35) && TabJavaOptions(o); }

rscpRc_t TabMissing(int line) {
  return TabReport(RSCPEINVAL, 4, line, u"missing char code param", u"F38", nullptr);
}

// A T1 word's type (its top three bits).
constexpr uint32_t TabType(uint32_t w) { return w >> 29; }
void TabDirectBytes(uint32_t w, uint8_t out[2]) {
  out[0] = static_cast<uint8_t>(w >> 8);
  out[1] = static_cast<uint8_t>(w);
}
uint16_t TabEntry16(const uint8_t b[2]) {
  uint16_t v;
  memcpy(&v, b, 2);
  return v;
}

// The output code of u for the UTF-16 tables: the code's bytes (n of them),
// 0 for substitution, or an error's code with *n -1. Quiet: a code that a
// table cannot hold counts as none, without a report.
struct TabCode {
  int n = 0;
  uint8_t b[2] = {0, 0};
};
rscpRc_t TabOutCode(TabCall& call, const rscpCObj_t* o, uint32_t u, int most, TabCode* code, bool quiet = false) {
  *code = TabCode{};
  const uint16_t e = call.T2Entry(u);
  uint8_t unit[2] = {static_cast<uint8_t>(u >> 8), static_cast<uint8_t>(u)};
  if (e < RSCP_T2_RULE) return 0;
  if ((e & RSCP_T2_T3) == 0) {
    if (quiet) return 0;
    return TabCannotHold(5, __LINE__, unit, 2, o, u"(%.*s->%.*s): kind of T2 entry %u", static_cast<unsigned>(e >> 14));
  }
  const uint32_t k = e & 0x7FFF;
  if (!call.t.T3Ok(k)) return rscpcIBadWord(e, __LINE__);
  const uint32_t w = call.t.T3(k)[u & 0x7F];
  if ((w & RSCP_T3_RULE) != 0) {
    const uint32_t rule = w & 0x7F;
    if (rule == 72 || quiet) return 0;  // ZRange: dropped, so substituted here
    return TabCannotHold(6, __LINE__, unit, 2, o, u"(%.*s->%.*s): inv. rule: %s",
                         rscpNameOfOutRule(static_cast<uint16_t>(rule)));
  }
  const int n = static_cast<int>(w >> 24);
  if (n == 0 || (n > most && quiet)) return 0;
  if (n > most) return TabCannotHold(7, __LINE__, unit, 2, o, u"(%.*s->%.*s): char output length %d", n);
  code->n = n;
  code->b[0] = static_cast<uint8_t>(w >> 16);
  code->b[1] = static_cast<uint8_t>(w >> 8);
  return 0;
}

// The entry of a value without a code: what a conversion that substitutes
// writes, subst_char's own code in the output page (EBCDIC's '#' is 0x7B,
// not the 0x23 of subst_char16), as a code of at most most bytes
// (b1 << 8 | b2 for two). Where the page has no such code, a conversion
// cannot substitute at all; the entry is then subst_char16.
rscpRc_t TabSubst(TabCall& call, const rscpCObj_t* o, int most, WEQ_UC* subst) {
  *subst = o->subst_char16;
  if (o->subst_char > call.t.maxUchar) return 0;
  TabCode code;
  if (rscpRc_t rc = TabOutCode(call, o, o->subst_char, most, &code, true)) return rc;
  if (code.n == 1) *subst = code.b[0];
  if (code.n == 2) *subst = static_cast<WEQ_UC>(code.b[0] << 8 | code.b[1]);
  return 0;
}

}  // namespace

rscpRc_t rscpCGetSb2UcTab(rscpCObj_t* o, WEQ_UC* table) {
  if (o == nullptr || table == nullptr) return TabMissing(__LINE__);
  TabCall call(o);
  const bool seven = o->method == 48 || o->method == 49;
  const bool tab = o->method == 4 && TabJavaOptions(o);
  if (rscpRc_t rc = call.Start(seven || tab, true, tab, true)) return rc;
  const bool ascii7 = memcmp(o->from_cp, u"1101", sizeof(rscpCp_t)) == 0;
  for (int b = 0; b < 256; ++b) {
    uint8_t out[2];
    if (seven) {
      if (rscpRc_t rc = call.Char(b < 128 ? static_cast<uint32_t>(b) : o->subst_char, out)) return rc;
    } else {
      const uint32_t w = call.t.T1(o->in_t1)[b];
      if (TabType(w) == 5) {
        TabDirectBytes(w, out);
      } else if (w == 0 && ascii7) {
        if (rscpRc_t rc = call.Subst(out)) return rc;
      } else {
        const uint8_t byte = static_cast<uint8_t>(b);
        return TabCannotHold(8, __LINE__, &byte, 1, o, u"(%.*s->%.*s): kind of T1 entry %u", TabType(w));
      }
    }
    table[b] = TabEntry16(out);
  }
  return 0;
}

rscpRc_t rscpCGetDb2UcTab(rscpCObj_t* o, uint8_t* leadLen, WEQ_UC* lead, uint32_t* blocks, int32_t* blockCount,
                          WEQ_UC* fallback) {
  if (o == nullptr || leadLen == nullptr || lead == nullptr || blocks == nullptr || blockCount == nullptr ||
      fallback == nullptr) {
    return TabMissing(__LINE__);
  }
  *blockCount = 0;
  TabCall call(o);
  if (rscpRc_t rc = call.Start(o->method == 4 && TabJavaOptions(o), false, true, true)) return rc;
  uint8_t subst[2];
  if (rscpRc_t rc = call.Subst(subst)) return rc;
  const uint32_t* root = call.t.T1(o->in_t1);
  for (int b = 0; b < 256; ++b) {
    const uint32_t w = root[b];
    const uint8_t one = static_cast<uint8_t>(b);
    fallback[b] = TabEntry16(subst);
    if (TabType(w) == 5 || w == 0) {
      // A single byte; one without a character takes the substitution.
      uint8_t out[2] = {subst[0], subst[1]};
      if (w != 0) TabDirectBytes(w, out);
      leadLen[b] = 1;
      lead[b] = TabEntry16(out);
      continue;
    }
    const uint32_t next = w & RSCP_T1_VALUE;
    if (TabType(w) != 2 || !call.t.BlockOk(next)) {
      return TabCannotHold(9, __LINE__, &one, 1, o, u"(%.*s->%.*s): kind of T1 entry %u", TabType(w));
    }
    if (*blockCount >= kTabDbBlocks) return TabCannotHold(10, __LINE__, &one, 1, o, u"(%.*s->%.*s): blocks %d", 256);
    leadLen[b] = 2;
    lead[b] = static_cast<WEQ_UC>(*blockCount * 256);
    uint32_t* block = blocks + size_t{static_cast<uint32_t>(*blockCount)} * 256;
    *blockCount += 1;
    const uint32_t* second = call.t.T1(next);
    for (int s = 0; s < 256; ++s) {
      const uint32_t w2 = second[s];
      const uint8_t pair[2] = {one, static_cast<uint8_t>(s)};
      uint8_t out[2];
      if (w2 == 0) {
        block[s] = uint32_t{subst[0]} | uint32_t{subst[1]} << 8;
      } else if (((w2 & RSCP_T1_LEN) >> 24) == 1 && TabType(w2) == 5) {
        // The lead byte's own one-byte character, filled in for every
        // second byte that makes no pair.
        TabDirectBytes(w2, out);
        fallback[b] = TabEntry16(out);
        block[s] = 0xFFFF;
      } else if (TabType(w2) == 5) {
        TabDirectBytes(w2, out);
        block[s] = uint32_t{out[0]} | uint32_t{out[1]} << 8;
      } else if (TabType(w2) == 1) {
        // A supplementary character: its surrogates, each in the output's
        // byte order, high << 16 | low.
        const uint32_t u = w2 & RSCP_T1_VALUE;
        const uint16_t e = u <= call.t.maxUchar ? call.T2Entry(u) : 0;
        if ((e >> 14) != 1) {
          return TabCannotHold(11, __LINE__, pair, 2, o, u"(%.*s->%.*s): kind of T2 entry %u",
                               static_cast<unsigned>(e >> 14));
        }
        const uint32_t rule = e & 0x7F;
        if ((rule != 13 && rule != 16) || u < 0x10000 || u > 0x10FFFF) {
          return TabCannotHold(12, __LINE__, pair, 2, o, u"(%.*s->%.*s): inv. rule: %s",
                               rscpNameOfOutRule(static_cast<uint16_t>(rule)));
        }
        const uint32_t v = u - 0x10000;
        uint16_t hi = static_cast<uint16_t>(0xD800 + (v >> 10)), lo = static_cast<uint16_t>(0xDC00 + (v & 0x3FF));
        if (rule == 13) hi = static_cast<uint16_t>(hi << 8 | hi >> 8), lo = static_cast<uint16_t>(lo << 8 | lo >> 8);
        block[s] = uint32_t{hi} << 16 | lo;
      } else {
        return TabCannotHold(13, __LINE__, pair, 2, o, u"(%.*s->%.*s): kind of T1 entry %u", TabType(w2));
      }
    }
  }
  return 0;
}

rscpRc_t rscpCGetUc2SbTab(rscpCObj_t* o, uint8_t* table, int32_t* used) {
  if (o == nullptr || table == nullptr || used == nullptr) return TabMissing(__LINE__);
  *used = 0;
  TabCall call(o);
  if (rscpRc_t rc = call.Start(TabFromUtf16(o), false, false, true)) return rc;
  WEQ_UC subst16;
  if (rscpRc_t rc = TabSubst(call, o, 1, &subst16)) return rc;
  const uint8_t subst = static_cast<uint8_t>(subst16);
  for (uint32_t u = 0; u <= 0xFFFF; ++u) {
    TabCode code;
    if (rscpRc_t rc = TabOutCode(call, o, u, 1, &code)) return rc;
    table[u] = code.n == 1 ? code.b[0] : subst;
    if (code.n == 1) *used = static_cast<int32_t>(u + 1);
  }
  return 0;
}

rscpRc_t rscpCGetUc2DbTab(rscpCObj_t* o, WEQ_UC* index, WEQ_UC* blocks, int32_t* blockCount) {
  if (o == nullptr || index == nullptr || blocks == nullptr || blockCount == nullptr) return TabMissing(__LINE__);
  *blockCount = 0;
  TabCall call(o);
  if (rscpRc_t rc = call.Start(TabFromUtf16(o), false, false, true)) return rc;
  WEQ_UC subst;
  if (rscpRc_t rc = TabSubst(call, o, 2, &subst)) return rc;
  // The entry of u; *mapped when u has a code.
  const auto value = [&](uint32_t u, WEQ_UC* out, bool* mapped) -> rscpRc_t {
    TabCode code;
    if (rscpRc_t rc = TabOutCode(call, o, u, 2, &code)) return rc;
    *out = code.n == 0 ? subst : code.n == 1 ? code.b[0] : static_cast<WEQ_UC>(code.b[0] << 8 | code.b[1]);
    *mapped = code.n != 0;
    return 0;
  };
  bool mapped;
  for (uint32_t u = 0; u <= 0xFFFF; ++u) {
    if (rscpRc_t rc = value(u, &index[u], &mapped)) return rc;
  }
  // The supplementary planes, 1024 characters per high surrogate; a block
  // of substitutions only is kept once. At most one block per high
  // surrogate is made, so the area's 1024 blocks always suffice; the check
  // guards the writes all the same.
  int shared = -1;
  for (uint32_t first = 0x10000; first <= 0x10FFFF; first += 1024) {
    const uint32_t* s = &first;
    WEQ_UC pair[2];
    WEQ_UC* d = pair;
    rscpu_U4_to_U6(&s, s + 1, &d, pair + 2);
    if (*blockCount >= kTabUcBlocks) {
      const uint8_t unit[2] = {static_cast<uint8_t>(pair[0] >> 8), static_cast<uint8_t>(pair[0])};
      return TabCannotHold(14, __LINE__, unit, 2, o, u"(%.*s->%.*s): blocks %d", kTabUcBlocks);
    }
    WEQ_UC* block = blocks + size_t{static_cast<uint32_t>(*blockCount)} * 1024;
    bool any = false;
    for (uint32_t i = 0; i < 1024; ++i) {
      if (rscpRc_t rc = value(first + i, &block[i], &mapped)) return rc;
      any = any || mapped;
    }
    if (any || shared < 0) {
      if (!any) shared = *blockCount;
      index[pair[0]] = static_cast<WEQ_UC>(*blockCount);
      *blockCount += 1;
    } else {
      index[pair[0]] = static_cast<WEQ_UC>(shared);
    }
  }
  return 0;
}
