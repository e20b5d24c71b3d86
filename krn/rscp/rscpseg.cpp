// The segment and rule loaders: one tree of built-in segments (build lists,
// character segments, rule segments) entered into one table variant of a
// code page. Shift rules enter a segment's characters under an ISO-2022
// group and the group's designation sequences; algorithmic rules enter a
// whole encoding or range as input and output rules; range rules keep their
// arithmetic in the cache's range records.
//
// Everything here runs inside a load, under the cache's write permission.
// A failure rolls the tables back to the load's rollback point.
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <iterator>
#include <vector>

#include "i18n/wequ16/u16fmt.h"
#include "i18n/wequ16/u16str.h"
#include "krn/rscp/rscp_int.h"
#include "krn/rscp/rscpdat_int.h"
#include "krn/rscp/rscpld_int.h"

namespace {

constexpr const WEQ_UC* kSegModule = u" $Id: krn/rscp/rscpseg.cpp $";
enum : int { kTabBuild = 11, kTabSeg = 12, kTabPtl = 13, kTabPts = 14, kTabRule = 15 };
constexpr int kSegMaxRows = 99;

rscpRc_t SegReport(int rc, int location, int line, const WEQ_UC* text, const WEQ_UC* code, const WEQ_UC* param1,
                const WEQ_UC* param2 = nullptr) {
  return rscpIReport(kSegModule, rc, location, line, text, code, param1, param2);
}

rscpCCC_t* SegCache() { return rscpGetCache(); }
uint32_t* SegT1(uint32_t block) {
  return reinterpret_cast<uint32_t*>(reinterpret_cast<uint8_t*>(SegCache()) + block * RSCP_T1_BYTES);
}

// One load in progress: the variant's tables and how it is entered.
struct SegLoad {
  int kind;            // 5, 6, 9, 10 input; 21, 22, 25, 26 output
  rscpCpEntry_t* entry;
  uint16_t root;       // input root T1
  uint32_t t2;         // output T2
  int mode;            // load mode: bits 0-1 base/control, 2-3 without/with own characters
  int cow;             // copy-on-write mode of the navigation
  bool input() const { return kind <= 10; }
  int slot() const { return ((kind & 8) != 0 ? 2 : 0) + ((kind & 2) != 0 ? 1 : 0); }
  // Own characters are above U+10FFFF; bits 2-3 of the mode choose them.
  bool Takes(uint32_t value) const {
    const int own = mode & 12;
    return own == 8 ? value > 0x10FFFF : own == 4 ? value <= 0x10FFFF : true;
  }
  void Count(int length) const {
    if (input()) {
      rscpInSlot_t& s = entry->in[slot()];
      ++s.noofChars;
      s.maxLen = std::max(s.maxLen, std::max(length, 1));
    } else {
      rscpOutSlot_t& s = entry->out[slot()];
      ++s.noofChars;
      s.maxLen = std::max(s.maxLen, std::max(length, 1));
    }
  }
};

WEQ_UC gSegName[] = u"TCPSPTS";

void SegCp(const rscpCpEntry_t* e, WEQ_UC* out5) {
  memcpy(out5, e->cp, 4 * sizeof(WEQ_UC));
  out5[4] = 0;
}

// --- Character segments ----------------------------------------------------------------

rscpRc_t EnterPoint(const SegLoad& ld, uint32_t value, const uint8_t* code, int length) {
  if (ld.input()) return rscpeic__enter_in_code(ld.root, gSegName, value, ld.cow, length, code, 0, -1);
  if (length <= 4) {
    return rscpeo4__enter_out_4code(ld.t2, gSegName, value, length, code[0], length > 1 ? code[1] : 0,
                                    length > 2 ? code[2] : 0, length > 3 ? code[3] : 0, 0, ld.cow);
  }
  return rscpeo126__enter_out_126code(ld.t2, gSegName, value, length, code, 0, ld.cow);
}

rscpRc_t LoadPoint(const SegLoad& ld, uint32_t value, const uint8_t* code, int length) {
  if (value == 0x20 && length <= 4) {
    // The same bytes every time: written only when they differ, so that a
    // later variant's load leaves the entry as converting threads read it.
    rscpCpEntry_t* e = ld.entry;
    if (e->blankLen != static_cast<uint32_t>(length) || memcmp(e->blank, code, static_cast<size_t>(length)) != 0) {
      memset(e->blank, 0, sizeof e->blank);
      memcpy(e->blank, code, static_cast<size_t>(length));
      e->blankLen = static_cast<uint32_t>(length);
    }
  }
  if (!ld.Takes(value)) return 0;
  const rscpRc_t rc = EnterPoint(ld, value, code, length);
  if (rc == 0) {
    ld.Count(length);
    return 0;
  }
  WEQ_UC cp[5], num[16];
  SegCp(ld.entry, cp);
  if (rc == RSCPEUNIQ) {
    snprintfU16(num, std::size(num), u"%ld", static_cast<long>(value));
    SegReport(RSCPEINTERN, 301, __LINE__, u"non uniq coding", u"F5L", cp, num);
    return 0;
  }
  if (rc == RSCPEROLLBACK) return SegReport(RSCPEROLLBACK, 302, __LINE__, u"Tryed to ignore a rollback", u"F26", cp);
  rscprb__rollback_tables(ld.entry, length <= 4 ? u"enter_._4code" : u"enter_._126code");
  return rc;
}

rscpRc_t LoadPoints(const SegLoad& ld, const rscpSegPoints_t* s) {
  // Every point counts as a row read, entered or not.
  rscpThrCtx_t* t = rscpGetThrCtx();
  t->tableReads[kTabPts] += s->count[0] + s->count[1] + s->count[2];
  t->tableReads[kTabPtl] += s->count[3];
  const rscpSegPoint_t* lists[3] = {s->one, s->two, s->threeFour};
  for (int l = 0; l < 3; ++l) {
    for (uint32_t i = 0; i < s->count[l]; ++i) {
      const rscpSegPoint_t& p = lists[l][i];
      const int len = l == 0 ? 1 : l == 1 ? 2 : static_cast<int>(p.value >> 24 & 0x1F);
      if (rscpRc_t rc = LoadPoint(ld, p.value & 0xFFFFFF, p.code, len)) return rc;
    }
  }
  for (uint32_t i = 0; i < s->count[3]; ++i) {
    const rscpSegLongPoint_t& p = s->longs[i];
    if (rscpRc_t rc = LoadPoint(ld, p.value & 0xFFFFFF, p.code, p.len)) return rc;
  }
  return 0;
}

// --- Shift rules --------------------------------------------------------------------------

bool SegIsSep(WEQ_UC c) { return c == u' ' || c == u','; }

// The block in which group s's codes start, made when missing; the root is
// a group table once a code was entered with a group.
uint16_t GroupBlock(const SegLoad& ld, int s) {
  uint32_t* root = SegT1(ld.root);
  if (root[RSCP_T1_FALLBACK] != RSCP_T1_GROUP_MARK) return 0;
  return rscpn1__next_t1(&root[s], ld.cow, 1);
}

// Puts a rule on the last byte of an exact sequence below block: every
// prefix gets its own level first, so that sequences that differ only in
// their last byte do not share one word.
rscpRc_t EnterExactRule(const SegLoad& ld, uint16_t block, int rule, int attr, const uint8_t* seq, int len) {
  for (int i = 0; i + 1 < len; ++i) {
    block = rscpn1__next_t1(&SegT1(block)[seq[i]], ld.cow, i + 1);
    if (block == 0) {
      WEQ_UC param[48];
      snprintfU16(param, std::size(param), u"cachesize&%ld&?&", static_cast<long>(SegCache()->length));
      return SegReport(RSCPETOOLONG, 303, __LINE__, u"WEQPARAM(rsts/ccc/cachesize) too small", u"F1A", param);
    }
  }
  uint32_t& w = SegT1(block)[seq[len - 1]];
  if ((w & RSCP_T1_TYPE) != RSCP_T1_NEXT) {
    w = (static_cast<uint32_t>(len & 31) | 0x60) << 24 | static_cast<uint32_t>(attr & 63) << 13 |
        static_cast<uint32_t>(rule & 0x1FFF);
  }
  return 0;
}

rscpRc_t LoadShiftRule(const SegLoad& ld, int ruleKind, const WEQ_UC* a1, int l1, const WEQ_UC* a2, int l2) {
  rscpStrtBack_t sb;
  if (rscpRc_t rc = rscpps__parse_strt_back(ruleKind, a1, l1, a2, l2, &sb)) return rc;
  int g = rscpFindShiftPair(sb.strtLen, sb.strt, sb.backLen, sb.back);
  if (g < 0) {
    if (rscpRc_t rc = rscpAddShiftPair(sb.strtLen, sb.strt, sb.backLen, sb.back)) return rc;
    g = SegCache()->noof_shift_pairs - 1;
  }
  std::atomic_ref<uint32_t> flags(ld.entry->flags);
  if ((flags.load(std::memory_order_relaxed) & (1u << g)) == 0) flags.fetch_or(1u << g, std::memory_order_relaxed);

  const rscpSegDirEntry_t* seg = rscpFindBuiltinSegment(sb.segment);
  WEQ_UC cp[5];
  SegCp(ld.entry, cp);
  if (seg == nullptr || (seg->kind & 3) != RSCP_SEG_POINTS) {
    WEQ_UC param[48];
    snprintfU16(param, std::size(param), u"%s&%s&", cp, u"TCPSRULE");
    return SegReport(RSCPENOCONV, 304, __LINE__, u"STRT-BACK-rule: segment is no character segment", u"F5L", param);
  }
  const auto* s = static_cast<const rscpSegPoints_t*>(seg->data);
  const rscpSegPoint_t* lists[3] = {s->one, s->two, s->threeFour};
  const bool unshift = sb.unsj != 0 || sb.uneuc != 0;
  rscpRc_t result = 0;
  for (int l = 0; l < 3 && result == 0; ++l) {
    for (uint32_t i = 0; i < s->count[l] && result == 0; ++i) {
      const rscpSegPoint_t& p = lists[l][i];
      const uint32_t value = p.value & 0xFFFFFF;
      const int len = l == 0 ? 1 : l == 1 ? 2 : static_cast<int>(p.value >> 24 & 0x1F);
      rscpICountRow(kTabPts);
      if (!ld.Takes(value)) continue;
      uint8_t code[4];
      memcpy(code, p.code, 4);
      if (unshift && len > 2) {
        WEQ_UC param[64];
        snprintfU16(param, std::size(param), u"TCPSPTS&MBLEN&%*.*s&%06lX&", 4, 4, static_cast<const WEQ_UC*>(cp),
                    static_cast<long>(value));
        result = SegReport(RSCPENOCONV, 305, __LINE__, u"rscpeor__enter_out_rule unshift only 2 bytes", u"CPU", param);
        break;
      }
      if (len == 2 && sb.unsj != 0) rscpSjisPairToJis(&code[0], &code[1]);
      if (len == 2 && sb.uneuc != 0) code[0] = static_cast<uint8_t>(code[0] - 0x80), code[1] = static_cast<uint8_t>(code[1] - 0x80);
      rscpRc_t rc;
      if (ld.input()) {
        rc = rscpeic__enter_in_code(ld.root, u"ISO-2022", value, ld.cow, len, code, 0, g + 1);
        if (rc == RSCPEROLLBACK) rc = SegReport(RSCPEROLLBACK, 306, __LINE__, u"Tryed to ignore a rollback", u"F26", cp);
      } else {
        // Double-byte characters take rules 58 to 67, single bytes 73 to 82.
        const int rule = (len == 1 ? 73 : 58) + g;
        const int attr = len == 1 ? code[0] : code[0] << 8 | code[1];
        rc = rscpeor__enter_out_rule(ld.t2, u"ISO-2022", value, rule, attr, 0, ld.cow);
        if (rc == RSCPEUNIQ) {
          WEQ_UC param[48];
          snprintfU16(param, std::size(param), u"%s&%06lX&", cp, static_cast<long>(value));
          SegReport(RSCPEINTERN, 307, __LINE__, u"rscpeor__enter_out_rule problem", u"F5L", param);
          rc = 0;
        }
      }
      if (rc == 0) ld.Count(len);
      result = rc;
    }
  }
  if (result != 0) {
    rscprb__rollback_tables(ld.entry, u"get TCPSPTS");
    return result;
  }
  return ld.input() ? rscpli2__load_iso2022(ld.entry, ld.root, ld.mode, ld.cow) : 0;
}

// --- Algorithmic rules ----------------------------------------------------------------------

// One code of an algorithmic rule: the character, the rule that codes it
// (input and output) and its bytes.
struct SegRuleCode {
  uint32_t value;
  int rule;
  int attr;
  uint8_t bytes[16];
  int len;
};

int SegUtf8(uint32_t v, uint8_t* b) {
  if (v < 0x80) return b[0] = static_cast<uint8_t>(v), 1;
  if (v < 0x800) return b[0] = static_cast<uint8_t>(0xC0 | v >> 6), b[1] = static_cast<uint8_t>(0x80 | (v & 63)), 2;
  if (v < 0x10000) {
    b[0] = static_cast<uint8_t>(0xE0 | v >> 12), b[1] = static_cast<uint8_t>(0x80 | (v >> 6 & 63));
    b[2] = static_cast<uint8_t>(0x80 | (v & 63));
    return 3;
  }
  b[0] = static_cast<uint8_t>(0xF0 | v >> 18), b[1] = static_cast<uint8_t>(0x80 | (v >> 12 & 63));
  b[2] = static_cast<uint8_t>(0x80 | (v >> 6 & 63)), b[3] = static_cast<uint8_t>(0x80 | (v & 63));
  return 4;
}

void SegPut(SegRuleCode& c, std::initializer_list<uint32_t> bytes) {
  c.len = 0;
  for (uint32_t b : bytes) c.bytes[c.len++] = static_cast<uint8_t>(b);
}

uint32_t SegHexValue(const WEQ_UC* s, int n) {
  uint32_t v = 0;
  for (int i = 0; i < n; ++i) {
    const WEQ_UC c = s[i];
    const int d = c >= u'0' && c <= u'9' ? c - u'0' : c >= u'A' && c <= u'F' ? c - u'A' + 10
                  : c >= u'a' && c <= u'f' ? c - u'a' + 10 : -1;
    if (d < 0) break;
    v = v * 16 + static_cast<uint32_t>(d);
  }
  return v;
}

// Calls fn for every code of the rule; stops at fn's first non-zero
// result and returns it. 1 for a kind without codes of its own.
template <class Fn>
rscpRc_t ForEachRuleCode(int kind, const WEQ_UC* a1, int l1, const WEQ_UC* a2, int l2, int rangeRec, Fn fn) {
  SegRuleCode c{};
  rscpIterCode_t it{};
  uint32_t v;
  uint8_t h1, h2, s1, s2;
  switch (kind) {
    case 10:
    case 14:
      it.next = rscpIterBmpPrintFirst();
      while (rscpIterBmpPrintNext(&it, &v)) {
        c = {v, kind, 0, {}, 0};
        kind == 10 ? SegPut(c, {v >> 8, v}) : SegPut(c, {v, v >> 8});
        if (rscpRc_t rc = fn(c)) return rc;
      }
      return 0;
    case 11:
    case 15:
    case 12:
      rscpIterAllCharInit(&it);
      while (rscpIterAllCharNext(&it, &v)) {
        c = {v, kind, 0, {}, 0};
        if (kind == 11) SegPut(c, {0, v >> 16, v >> 8, v});
        if (kind == 15) SegPut(c, {v, v >> 8, v >> 16, 0});
        if (kind == 12) {
          c.len = SegUtf8(v, c.bytes);
          c.rule = c.len == 1 ? 12 : 48 + c.len;
        }
        if (rscpRc_t rc = fn(c)) return rc;
      }
      return 0;
    case 13:
    case 16:
      rscpIterBmpCharInit(&it);
      while (rscpIterBmpCharNext(&it, &v)) {
        c = {v, kind == 13 ? 10 : 14, 0, {}, 0};
        kind == 13 ? SegPut(c, {v >> 8, v}) : SegPut(c, {v, v >> 8});
        if (rscpRc_t rc = fn(c)) return rc;
      }
      it = {};
      it.next = rscpIterSupplFirst();
      while (rscpIterSupplNext(&it, &v, &h1, &h2, &s1, &s2)) {
        c = {v, kind, 0, {}, 0};
        kind == 13 ? SegPut(c, {h1, h2, s1, s2}) : SegPut(c, {h2, h1, s2, s1});
        if (rscpRc_t rc = fn(c)) return rc;
      }
      return 0;
    case 40:
    case 41:
    case 42:
    case 43:
    case 44: {
      // IconC has no byte form of its own: its codes are those of IconA.
      rscpIterIconForm_t ic;
      rscpIterIconFormInit(&ic, 0, static_cast<uint16_t>(kind == 44 ? 40 : kind), a1, l1, a2, l2);
      int32_t len = 0;
      while (rscpIterIconFormNext(&ic, &v, c.bytes, static_cast<int32_t>(sizeof c.bytes), &len)) {
        c.value = v, c.rule = kind, c.attr = 0, c.len = len;
        if (rscpRc_t rc = fn(c)) return rc;
      }
      return 0;
    }
    case 53:
    case 54:
    case 55:
    case 56:
    case 57: {
      const WEQ_UC intro = rscpGetIconIntroducer();
      const uint32_t ih = intro >> 8, il = intro & 0xFF;
      rscpIterIcon_t ic;
      rscpIterIconInit(&ic, 0);
      uint8_t c1, c2;
      while (rscpIterIconNext(&ic, &v, &c1, &c2)) {
        c = {v, kind, 0, {}, 0};
        uint8_t u[4];
        SegUtf8(intro, u);
        switch (kind) {
          case 53: SegPut(c, {ih, il, 0, c1, 0, c2}); break;
          case 54: SegPut(c, {il, ih, c1, 0, c2, 0}); break;
          case 55: SegPut(c, {u[0], u[1], u[2], c1, c2}); break;
          case 56: SegPut(c, {0, 0, ih, il, 0, 0, 0, c1, 0, 0, 0, c2}); break;
          default: SegPut(c, {il, ih, 0, 0, c1, 0, 0, 0, c2, 0, 0, 0}); break;
        }
        if (rscpRc_t rc = fn(c)) return rc;
      }
      return 0;
    }
    case 68: {
      const rscpRangeRec_t& r = SegCache()->ranges[rangeRec];
      int32_t start[4], low[4], high[4];
      for (int i = 0; i < 4; ++i) start[i] = r.byteOf1[i], low[i] = r.minV[i], high[i] = r.maxV[i];
      rscpIterByteRange_t br;
      rscpIterByteRangeInit(&br, r.first, r.last, r.seqLen, start, low, high);
      while (rscpIterByteRangeNext(&br, &v, &c.bytes[0], &c.bytes[1], &c.bytes[2], &c.bytes[3])) {
        c.value = v, c.rule = 68, c.attr = rangeRec, c.len = r.seqLen;
        if (rscpRc_t rc = fn(c)) return rc;
      }
      return 0;
    }
    case 72: {
      const uint32_t first = SegHexValue(a1, l1), last = SegHexValue(a2, l2);
      for (v = first; v <= last && v <= 0x10FFFF; ++v) {
        c = {v, 72, 0, {}, 0};
        if (rscpRc_t rc = fn(c)) return rc;
      }
      return 0;
    }
    default:
      return 1;
  }
}

// True when the value's block of the T2 is written by one rule as a whole.
bool T2IsRule(uint32_t t2, uint32_t value) {
  const uint16_t* entry = reinterpret_cast<const uint16_t*>(reinterpret_cast<const uint8_t*>(SegCache()) + t2) +
                          ((value >> 7) & 0x1FFFF);
  return *entry >= RSCP_T2_RULE && *entry < RSCP_T2_T3;
}

// Icon rules produce own characters; the other algorithmic rules Unicode.
bool RuleOwn(int kind) { return (kind >= 40 && kind <= 46) || (kind >= 53 && kind <= 57); }

rscpRc_t LoadAlgorithmicRule(const SegLoad& ld, int kind, const WEQ_UC* a1, int l1, const WEQ_UC* a2, int l2) {
  WEQ_UC cp[5];
  SegCp(ld.entry, cp);
  if (kind == 45 || kind == 46) {
    WEQ_UC param[32];
    snprintfU16(param, std::size(param), u"TCPSRULE&%d&", kind);
    return SegReport(RSCPEINTERN, 310, __LINE__, u"rule kind without a name", u"F5L", param);
  }
  const int own = ld.mode & 12;
  if ((own == 8 && !RuleOwn(kind)) || (own == 4 && RuleOwn(kind))) return 0;
  int rec = 0;
  if (kind == 68) {
    rec = prepareXMLRule(a1, l1, a2, l2);
    if (rec < 0) {
      WEQ_UC param[48];
      snprintfTruncU16(param, std::size(param), u"TCPSRULE&%*.*s&%*.*s&", l1, l1, a1, l2, l2, a2);
      return SegReport(RSCPEINTERN, 311, __LINE__, u"URange rule refused", u"F5L", param);
    }
  }
  if (ld.input()) {
    if (kind == 72) return 0;
    uint32_t* root = SegT1(ld.root);
    if (kind == 16) {
      // Little-endian surrogate pairs share their first byte with the
      // two-byte codes: every first byte gets its own level, so that a
      // high surrogate in the second byte leads to the four-byte rule.
      for (int b = 0; b < 256; ++b)
        if (rscpn1__next_t1(&root[b], ld.cow, 1) == 0) return RSCPETOOLONG;
    }
    if (kind == 68) {
      // The first and the last code of a range get levels down to their
      // last byte, so that ranges that meet inside a group of codes stay
      // apart.
      const rscpRangeRec_t& r = SegCache()->ranges[rec];
      uint8_t ends[2][4];
      memcpy(ends[0], r.byteOf1, 4);
      const uint32_t off = r.last - r.uidFirst;
      for (int i = 0; i < r.seqLen; ++i) {
        ends[1][i] = static_cast<uint8_t>(r.minV[i] + (off / static_cast<uint32_t>(r.weight[i])) % r.byteWidth[i]);
      }
      for (auto& e : ends) {
        uint16_t block = ld.root;
        for (int i = 0; i + 1 < r.seqLen && block != 0; ++i) block = rscpn1__next_t1(&SegT1(block)[e[i]], ld.cow, i + 1);
        if (block == 0) return RSCPETOOLONG;
      }
    }
    const int overwrite = kind == 68 ? 1 : 0;
    return ForEachRuleCode(kind, a1, l1, a2, l2, rec, [&](const SegRuleCode& c) -> rscpRc_t {
      return rscpeir__enter_in_rule(ld.root, gSegName, ld.cow, c.rule, c.attr, c.len, c.bytes, overwrite, 1, -1);
    });
  }
  return ForEachRuleCode(kind, a1, l1, a2, l2, rec, [&](const SegRuleCode& c) -> rscpRc_t {
    rscpRc_t rc = rscpeor__enter_out_rule(ld.t2, gSegName, c.value, c.rule, c.attr, 0, ld.cow);
    if (rc == RSCPEUNIQ && T2IsRule(ld.t2, c.value)) {
      rc = 0;  // another rule already writes the whole block: the first one stays
    } else if (rc == RSCPEUNIQ && c.len >= 1 && c.len <= 4) {
      // The block already holds codes: this character's code goes in as one.
      rc = rscpeo4__enter_out_4code(ld.t2, gSegName, c.value, c.len, c.bytes[0], c.bytes[1], c.bytes[2], c.bytes[3], 0,
                                    ld.cow);
      if (rc == RSCPEUNIQ) rc = 0;
    } else if (rc == RSCPEUNIQ) {
      rc = rscpeo126__enter_out_126code(ld.t2, gSegName, c.value, c.len, c.bytes, 0, ld.cow);
      if (rc == RSCPEUNIQ) rc = 0;
    }
    return rc;
  });
}

rscpRc_t LoadRuleSegment(const SegLoad& ld, const rscpSegRule_t* r) {
  rscpICountRow(kTabRule);
  const int kind = static_cast<int>(r->header & 0x7F);
  const int l1 = std::min<int>(r->header >> 7 & 0x1F, 20), l2 = std::min<int>(r->header >> 12 & 0x1F, 20);
  WEQ_UC a1[21], a2[21];
  A7nToUcsn(a1, r->name1, l1);
  A7nToUcsn(a2, r->name2, l2);
  a1[l1] = a2[l2] = 0;
  if (kind == 2 || kind == 58 || kind == 73) return LoadShiftRule(ld, kind, a1, l1, a2, l2);
  const rscpRc_t rc = LoadAlgorithmicRule(ld, kind, a1, l1, a2, l2);
  if (rc == 0) return 0;
  if (rscpHooks.traceActive() != 0) {
    WEQ_UC line[96];
    snprintfTruncU16(line, std::size(line), u"rscpdl(%d): rule %d(%.*s,%.*s)", __LINE__, kind, l1, a1, l2, a2);
    rscpHooks.trace(line, -1);
  }
  if (rc == RSCPEROLLBACK) {
    WEQ_UC cp[5];
    SegCp(ld.entry, cp);
    return SegReport(RSCPEROLLBACK, 312, __LINE__, u"Tryed to ignore a rollback", u"F26", cp);
  }
  if (rc == RSCPEINTERN) {
    // A rule that cannot be entered (a refused range, a kind without a
    // name) leaves its characters out; the rest of the page loads.
    if (rscpHooks.traceActive() != 0) {
      WEQ_UC line[64];
      snprintfTruncU16(line, std::size(line), u"rscpdl(%d): l_rc == %d but ignored.", __LINE__, rc);
      rscpHooks.trace(line, -1);
    }
    return 0;
  }
  rscprb__rollback_tables(ld.entry, u"get TCPSRULE");
  return rc;
}

rscpRc_t GetSegment(const SegLoad& ld, const WEQ_UC* segid, int inclusion, int readOnly, int flag800, int depth);

rscpRc_t LoadBuildList(const SegLoad& ld, const rscpSegBuildRow_t* rows, const WEQ_UC* segid, int inclusion,
                       int readOnly, int depth) {
  WEQ_UC cp[5];
  SegCp(ld.entry, cp);
  if (depth - 1 <= 0) {
    WEQ_UC text[80], param[32];
    snprintfU16(text, std::size(text), u"maximum recursion depth (%d) for codepage inclusions exceeded", 10);
    snprintfU16(param, std::size(param), u"%*.*s&%d&", 5, 5, segid, 10);
    return SegReport(RSCPEINTERN, 313, __LINE__, text, u"CPE", param);
  }
  std::vector<rscpSegBuildRow_t> list;
  for (const rscpSegBuildRow_t* r = rows; r->id[0] != ' ' && r->id[0] != 0; ++r) {
    rscpICountRow(kTabBuild);
    if (list.size() >= kSegMaxRows) {
      SegReport(RSCPEINTERN, 314, __LINE__, u"Too many rows in TCPSBUILD", u"CPN", cp);
      continue;
    }
    list.push_back(*r);
  }
  std::stable_sort(list.begin(), list.end(), [](const rscpSegBuildRow_t& a, const rscpSegBuildRow_t& b) {
    return rscpCompareSegKey(&a, &b) < 0;
  });
  for (const rscpSegBuildRow_t& r : list) {
    const uint32_t m = r.attr >> 7 & 7;
    // A row inside a control-code list is a control-code row whatever its
    // own mode says.
    const int rowInclusion = inclusion == 2 || (m >= 2 && m <= 4) ? 2 : 1;
    WEQ_UC id[5];
    A7nToUcsn(id, r.id, 5);
    // So is a row inside a list that is only read.
    const int rowReadOnly = readOnly != 0 || (r.attr & RSCP_SEG_ROW_READ_ONLY) != 0;
    rscpRc_t rc = GetSegment(ld, id, rowInclusion, rowReadOnly, (r.attr & 0x800) != 0, depth - 1);
    if (rc != 0) {
      rscprb__rollback_tables(ld.entry, u"get segment recursively (without Syslog)");
      if (rc == RSCPEROLLBACK) rc = SegReport(RSCPEROLLBACK, 315, __LINE__, u"Tryed to ignore a rollback", u"F26", cp);
      return rc;
    }
  }
  return 0;
}

rscpRc_t GetSegment(const SegLoad& ld, const WEQ_UC* segid, int inclusion, int readOnly, int, int depth) {
  char key[6] = {};
  UcsnToA7n(key, segid, 5);
  const rscpSegDirEntry_t* seg = rscpFindBuiltinSegment(key);
  if (seg == nullptr) {
    const int32_t* date = rscpdat::ActiveData().date;
    WEQ_UC text[64], param[48];
    snprintfU16(text, std::size(text), u"in segment \"%*.*s\"not in F5 memory", 5, 5, segid);
    snprintfU16(param, std::size(param), u"%*.*s&%04ld/%02ld/%02ld&", 5, 5, segid, static_cast<long>(date[0]),
                static_cast<long>(date[1]), static_cast<long>(date[2]));
    return SegReport(RSCPENOCONV, 316, __LINE__, text, u"CPD", param);
  }
  rscpGetThrCtx()->fileFlag = 1;
  rscpICountRow(kTabSeg);
  const int part = ld.mode & 3;
  switch (seg->kind & 3) {
    case RSCP_SEG_POINTS:
    case RSCP_SEG_RULE:
      if ((inclusion == 2 && part == 1) || (inclusion == 1 && part == 2)) return 0;
      // Codes only read (a value's further codes, the sequences that a
      // stateful page reads but never writes) stay out of the output tables.
      if (readOnly != 0 && !ld.input()) return 0;
      if ((seg->kind & 3) == RSCP_SEG_POINTS) return LoadPoints(ld, static_cast<const rscpSegPoints_t*>(seg->data));
      return LoadRuleSegment(ld, static_cast<const rscpSegRule_t*>(seg->data));
    case RSCP_SEG_BUILD:
      return LoadBuildList(ld, static_cast<const rscpSegBuildRow_t*>(seg->data), segid, inclusion, readOnly, depth);
    default: {
      WEQ_UC param[8];
      memcpy(param, segid, 5 * sizeof(WEQ_UC));
      param[5] = 0;
      return SegReport(RSCPEINTERN, 317, __LINE__, u"Illegal TCPSEG-KIND in F5", u"CPN", param);
    }
  }
}

}  // namespace

rscpRc_t rscpgs__get_segment(int kind, rscpCpEntry_t* entry, const WEQ_UC* segid, uint16_t t1root, uint32_t t2,
                             int mode, int inclusion, int flag400, int flag800, int depth, int cowMode) {
  const SegLoad ld{kind, entry, t1root, t2, mode, cowMode};
  return GetSegment(ld, segid, inclusion, flag400, flag800, depth);
}

// --- Shift rule attributes -----------------------------------------------------------------

rscpRc_t rscpps__parse_strt_back(int ruleKind, const WEQ_UC* a1, int l1, const WEQ_UC* a2, int l2,
                                 rscpStrtBack_t* out) {
  *out = rscpStrtBack_t{};
  l1 = std::clamp(l1, 0, 20);
  l2 = std::clamp(l2, 0, 20);
  WEQ_UC joined[42];
  int n = 0;
  for (int i = 0; i < l1; ++i) joined[n++] = a1[i];
  if (l1 < 20 && l1 > 0 && l2 > 0 && !SegIsSep(a1[l1 - 1]) && !SegIsSep(a2[0])) joined[n++] = u' ';
  for (int i = 0; i < l2; ++i) joined[n++] = a2[i];
  auto fail = [&](const WEQ_UC* text) {
    WEQ_UC param[64];
    snprintfTruncU16(param, std::size(param), u"TCPSRULE&ATTR1/2&%d/%d&%*.*s,%*.*s&", l1, l2, l1, l1, a1, l2, l2, a2);
    (void)ruleKind;
    return SegReport(RSCPENOCONV, 320, __LINE__, text, u"F5L", param);
  };
  int word = 0;
  for (int i = 0; i < n;) {
    while (i < n && SegIsSep(joined[i])) ++i;
    if (i >= n) break;
    const int start = i;
    while (i < n && !SegIsSep(joined[i])) ++i;
    const WEQ_UC* w = joined + start;
    const int len = i - start;
    auto is = [&](const char16_t* t) { return static_cast<int>(strlenU(t)) == len && memcmp(w, t, len * 2) == 0; };
    if (word == 0) {
      if (len > 5) return fail(u"STRT-BACK-rule: segment name too long");
      UcsnToA7n(out->segment, w, len);
      for (int k = len; k < 5; ++k) out->segment[k] = ' ';
      out->segment[5] = 0;
      word = 1;
      continue;
    }
    if (word == 1 && (is(u"unsj") || is(u"UNSJ") || is(u"uneuc") || is(u"UNEUC"))) {
      if (out->unsj != 0 || out->uneuc != 0) return fail(u"STRT-BACK-rule: Don't un-shift twice");
      (w[2] == u's' || w[2] == u'S' ? out->unsj : out->uneuc) = 1;
      continue;
    }
    if (word >= 3) return fail(u"STRT-BACK-rule: too many words");
    if (len / 2 > RSCP_SHIFT_SEQ) return fail(u"STRT-BACK-rule: sequence too long");
    uint8_t* seq = word == 1 ? out->strt : out->back;
    for (int k = 0; k + 1 < len; k += 2) seq[k / 2] = static_cast<uint8_t>(hex_pair_value(w[k], w[k + 1]));
    (word == 1 ? out->strtLen : out->backLen) = len / 2;
    ++word;
  }
  return 0;
}

rscpRc_t rscpli2__load_iso2022(rscpCpEntry_t* entry, uint16_t t1root, int mode, int cowMode) {
  const SegLoad ld{5, entry, t1root, 0, mode, cowMode};
  const uint32_t groups = std::atomic_ref<uint32_t>(entry->flags).load(std::memory_order_relaxed) & RSCP_CP_GROUPS;
  auto enterPair = [&](int state, int g) -> rscpRc_t {
    int sl, bl;
    const uint8_t *strt, *back;
    if (!rscpGetShiftPair(g, &sl, &strt, &bl, &back)) return 0;
    const uint16_t block = GroupBlock(ld, state);
    if (block == 0) return 0;
    if (sl > 0)
      if (rscpRc_t rc = EnterExactRule(ld, block, 71, g + 1, strt, sl)) return rc;
    if (bl > 0)
      if (rscpRc_t rc = EnterExactRule(ld, block, 71, 0, back, bl)) return rc;
    return 0;
  };
  for (int g = 0; g < 10; ++g)
    if ((groups & (1u << g)) != 0)
      if (rscpRc_t rc = enterPair(0, g)) return rc;
  for (int h = 0; h < 10; ++h) {
    if ((groups & (1u << h)) == 0) continue;
    for (int g = 0; g < 10; ++g)
      if ((groups & (1u << g)) != 0)
        if (rscpRc_t rc = enterPair(h + 1, g)) return rc;
  }
  return 0;
}

// --- Range records ------------------------------------------------------------------------------

int rscppr__parse_range(const WEQ_UC* a1, int l1, const WEQ_UC* a2, int l2, rscpRangeRec_t* rec) {
  *rec = rscpRangeRec_t{};
  l1 = std::clamp(l1, 0, 20);
  l2 = std::clamp(l2, 0, 20);
  auto hex = [](WEQ_UC c) {
    return c >= u'0' && c <= u'9' ? c - u'0' : c >= u'A' && c <= u'F' ? c - u'A' + 10 : c >= u'a' && c <= u'f' ? c - u'a' + 10 : -1;
  };
  int i = 0;
  uint32_t values[2];
  for (uint32_t& v : values) {
    int digits = 0;
    v = 0;
    while (i < l1 && digits < 6 && hex(a1[i]) >= 0) v = v * 16 + static_cast<uint32_t>(hex(a1[i++])), ++digits;
    if (digits == 0) return 1;
    if (digits < 6) {
      if (i >= l1 || (a1[i] != u',' && a1[i] != u';')) return 1;
      ++i;
    }
  }
  int n = 0;
  for (; i + 1 < l1 && n < 4; i += 2, ++n) {
    if (hex(a1[i]) < 0 || hex(a1[i + 1]) < 0) return 1;
    rec->byteOf1[n] = static_cast<uint8_t>(hex(a1[i]) * 16 + hex(a1[i + 1]));
  }
  if (i != l1 || n < 1) return 1;
  int k = 0, m = 0;
  for (; k + 1 < l2 && a2[k] != u',' && m < 4; k += 2, ++m) {
    if (hex(a2[k]) < 0 || hex(a2[k + 1]) < 0) return 1;
    rec->minV[m] = static_cast<uint8_t>(hex(a2[k]) * 16 + hex(a2[k + 1]));
  }
  if (m != n || k >= l2 || a2[k] != u',') return 1;
  ++k;
  for (m = 0; k + 1 < l2 && m < 4; k += 2, ++m) {
    if (hex(a2[k]) < 0 || hex(a2[k + 1]) < 0) return 1;
    rec->maxV[m] = static_cast<uint8_t>(hex(a2[k]) * 16 + hex(a2[k + 1]));
  }
  if (m != n || k != l2) return 1;
  if (values[0] > values[1] || values[1] > 0x10FFFF) return 1;
  uint64_t span = 1;
  for (int b = n - 1; b >= 0; --b) {
    if (rec->minV[b] > rec->maxV[b] || rec->byteOf1[b] < rec->minV[b] || rec->byteOf1[b] > rec->maxV[b]) return 1;
    rec->byteWidth[b] = static_cast<uint16_t>(rec->maxV[b] - rec->minV[b] + 1);
    rec->weight[b] = static_cast<int32_t>(span);
    span *= rec->byteWidth[b];
  }
  int64_t firstOff = 0;
  for (int b = 0; b < n; ++b) firstOff += int64_t{rec->byteOf1[b] - rec->minV[b]} * rec->weight[b];
  // The last value's code must lie inside the byte ranges as well.
  if (firstOff + (values[1] - values[0]) >= static_cast<int64_t>(span)) return 1;
  rec->first = values[0];
  rec->last = values[1];
  rec->seqLen = n;
  rec->uidFirst = static_cast<uint32_t>(int64_t{values[0]} - firstOff);
  memcpy(rec->attr1, a1, static_cast<size_t>(l1) * sizeof(WEQ_UC));
  memcpy(rec->attr2, a2, static_cast<size_t>(l2) * sizeof(WEQ_UC));
  rec->attr1Len = static_cast<uint8_t>(l1);
  rec->attr2Len = static_cast<uint8_t>(l2);
  return 0;
}

int prepareXMLRule(const WEQ_UC* a1, int l1, const WEQ_UC* a2, int l2) {
  rscpCCC_t* c = SegCache();
  rscpRangeRec_t rec;
  if (rscppr__parse_range(a1, l1, a2, l2, &rec) != 0) return -1;
  const int count = static_cast<int>(std::min<uint32_t>(c->ruleInfo_count, RSCP_RANGE_RECS - 1));
  for (int i = 0; i < count; ++i) {
    const rscpRangeRec_t& r = c->ranges[i];
    if (r.attr1Len == rec.attr1Len && r.attr2Len == rec.attr2Len &&
        memcmp(r.attr1, rec.attr1, rec.attr1Len * sizeof(WEQ_UC)) == 0 &&
        memcmp(r.attr2, rec.attr2, rec.attr2Len * sizeof(WEQ_UC)) == 0) {
      return i;
    }
  }
  // The table keeps 29 records; a record is never reused for other texts,
  // so the rules already entered keep their arithmetic.
  if (count + 1 >= RSCP_RANGE_RECS) {
    fputs("rscpdl: prepareXMLRule: ruleInfo_count overfow !\n", stderr);
    return -1;
  }
  c->ranges[count] = rec;
  c->ruleInfo_count = static_cast<uint32_t>(count + 1);
  return count;
}
