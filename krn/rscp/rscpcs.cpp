// The cache report: a readable picture of the converter cache, section by
// section, handed to a line callback one line at a time. It reads the cache
// without a lock; a rebuild that dumps the old generation holds the write
// permission while it does.
#include <string.h>

#include <algorithm>
#include <iterator>

#include "i18n/wequ16/u16fmt.h"
#include "i18n/wequ16/u16str.h"
#include "krn/rscp/rscp_int.h"
#include "krn/rscp/rscpld_int.h"
#include "krn/rscp/rscpmc_int.h"

namespace {

constexpr int kCsGauge = 25;
constexpr const WEQ_UC* kCsSlotLabel[4] = {u" ", u"c", u"s", u"S"};

class CsReport {
 public:
  CsReport(rscpPrintLine_t cb, void* arg) : cb_(cb), arg_(arg) {}

  template <class... A>
  void Line(const WEQ_UC* fmt, A... a) {
    WEQ_UC line[101];
    int n = snprintfTruncU16(line, std::size(line), fmt, a...);
    cb_(line, std::clamp(n, 0, 100), arg_);
  }
  void Rule() { Line(u"%s",
                     u"----------------------------------------------------------------------------------"); }

 private:
  rscpPrintLine_t cb_;
  void* arg_;
};

const WEQ_UC* TrueFalse(int v) { return v != 0 ? u"TRUE" : u"FALSE"; }

const WEQ_UC* StateName(int32_t s) {
  switch (s) {
    case RSCP_STATE_NONE: return u"fresh";
    case RSCP_STATE_INIT: return u"initialized";
    case RSCP_STATE_STARTING: return u"init_started";
    case RSCP_STATE_WRONG_VERSION: return u"wrong_version";
    case RSCP_STATE_REINIT: return u"reinitialize";
    default: return u"not good";
  }
}

// A gauge of the span from..to over the cache length, 25 units.
const WEQ_UC* Gauge(WEQ_UC (&buf)[kCsGauge + 1], int64_t from, int64_t to, int64_t total) {
  rscpdgb__draw_gauge(buf, kCsGauge, from, to, total);
  buf[kCsGauge] = 0;
  return buf;
}

void MemoryMap(CsReport& r, const rscpCCC_t* c) {
  if (c == nullptr) {
    r.Line(u"-----------------%-*.*s---", 12, 12, u"------------");
    r.Line(u"| <not allocated>");
    return;
  }
  WEQ_UC g[kCsGauge + 1];
  r.Line(u"-----------------%-*.*s---", 12, 12, c->eyeCatcher);
  r.Line(u"| Char code cache");
  r.Line(u"| kind of memory             %-*.*s", 12, 12, c->allocMethod);
  r.Line(u"| state              %15.15s", StateName(rscpGetState()));
  r.Line(u"| address                 0x%08lx  %s", static_cast<unsigned long>(reinterpret_cast<uintptr_t>(c)),
         c->protect != 0 ? u"(read-only)" : u"(read-write)");
  for (int i = 1; i < RSCP_CACHE_USERS; ++i) {
    if (c->users[i] != 0 && c->users[i] != c->users[0]) {
      r.Line(u"|   also seen at          0x%08lx", static_cast<unsigned long>(c->users[i]));
    }
  }
  const rscpCpEntry_t* dir = rscpDirectory(const_cast<rscpCCC_t*>(c));
  long unused = 0;
  for (int i = 0; i < c->noof_char_codes; ++i) {
    bool any = false;
    for (int s = 0; s < 4; ++s) any = any || dir[i].in[s].root != 0 || dir[i].out[s].t2 != 0;
    if (!any) ++unused;
  }
  r.Line(u"| noof char codes            %7d", static_cast<int>(c->noof_char_codes));
  r.Line(u"| max weq code               %7d", static_cast<int>(c->max_weq_code));
  r.Line(u"| max enhanced uchar         %7d", static_cast<int>(c->max_enhanced_uchar));
  r.Line(u"| TCP01 mappings             %7d", static_cast<int>(c->tcp01_mappings));
  r.Line(u"| Unused TCP00 entries     %9ld", unused);
  const int64_t len = c->length;
  r.Line(u"| start of CCCT1  %8ld |---            %*.*s", static_cast<long>(c->first_t1), kCsGauge, kCsGauge,
         Gauge(g, c->first_t1, c->end_t1, len));
  r.Line(u"| noof char CCCT1s      |--| %7d", static_cast<int>(c->noof_t1));
  r.Line(u"| noof char CCCT3s      |--| %7d       %*.*s", static_cast<int>(c->noof_t3), kCsGauge, kCsGauge,
         Gauge(g, c->first_t1, std::min<int64_t>(c->first_t1 + int64_t{c->noof_t3} * RSCP_T3_BYTES,
                                                 c->end_t1), len));
  r.Line(u"| end   of CCCT1  %8ld |---", static_cast<long>(c->end_t1));
  r.Line(u"| free                  ---|%8ld bytes %*.*s",
         static_cast<long>(c->first_t2) - static_cast<long>(c->end_t1),
         kCsGauge, kCsGauge, Gauge(g, c->end_t1, c->first_t2, len));
  r.Line(u"| start of CCCT2  %8ld |---", static_cast<long>(c->first_t2));
  r.Line(u"| noof char CCCT2s      ---| %7d       %*.*s", static_cast<int>(c->noof_t2), kCsGauge, kCsGauge,
         Gauge(g, c->first_t2, c->end_t2, len));
  r.Line(u"| end   of CCCT2  %8ld |---", static_cast<long>(c->end_t2));
  r.Line(u"| free                  ---|%8ld bytes %*.*s",
         static_cast<long>(c->first_t7) - static_cast<long>(c->end_t2),
         kCsGauge, kCsGauge, Gauge(g, c->end_t2, c->first_t7, len));
  r.Line(u"| start of long c.%8ld |---", static_cast<long>(c->first_t7));
  r.Line(u"| for long chars        ---|%8ld bytes %*.*s",
         static_cast<long>(c->end_t7) - static_cast<long>(c->first_t7),
         kCsGauge, kCsGauge, Gauge(g, c->first_t7, c->end_t7, len));
  r.Line(u"| end   of long c.%8ld |---", static_cast<long>(c->end_t7));
  r.Line(u"| length          %8ld", static_cast<long>(c->length));
  r.Line(u"| TCP07 area size %9ld", static_cast<long>(c->cache07));
}

bool Loaded(const rscpCpEntry_t& e, int s) { return rscpIInRoot(&e, s) != 0 || rscpIOutT2(&e, s) != 0; }

void CodePageTable(CsReport& r, const rscpCCC_t* c, bool all) {
  r.Line(u"| %s=control codes and WEQ's characters", kCsSlotLabel[3]);
  r.Line(u"| %s=control codes", kCsSlotLabel[1]);
  r.Line(u"| %s=WEQ's characters", kCsSlotLabel[2]);
  r.Line(u"| %-*.*s|     __anchor__              _no.of_chars major/      enc|| len: ", 5, 5, u"CP");
  r.Line(u"| %-*.*s|     in     out T1s T2s T3s     in    out   /minor  bit ||| bytes", 5, 5, u"");
  const rscpCpEntry_t* dir = rscpDirectory(const_cast<rscpCCC_t*>(c));
  for (int i = 0; i < c->noof_char_codes; ++i) {
    const rscpCpEntry_t& e = dir[i];
    int first = -1;
    for (int s = 0; s < 4 && first < 0; ++s) {
      if (Loaded(e, s)) first = s;
    }
    if (first < 0 && !all) continue;
    const int s0 = first < 0 ? 0 : first;
    WEQ_UC blank[9] = {};
    for (uint32_t b = 0; b < std::min<uint32_t>(e.blankLen, 4); ++b) {
      snprintfU16(blank + 2 * b, 3, u"%02x", static_cast<unsigned>(e.blank[b]));
    }
    const rscpInSlot_t& in = e.in[s0];
    const rscpOutSlot_t& out = e.out[s0];
    const uint32_t t2 = rscpIOutT2(&e, s0);
    r.Line(u"| %-*.*s%-*.*s%4d%8ld %3d %2d %3d %7d%7d  %4d,%-4d %2d%2d%c%c %1d:%s", 4, 4, e.cp, 1, 1,
           kCsSlotLabel[s0], static_cast<int>(rscpIInRoot(&e, s0)), static_cast<long>(t2),
           static_cast<int>(in.noofT1), t2 != 0 ? 1 : 0, static_cast<int>(out.noofT3),
           static_cast<int>(in.noofChars),
           static_cast<int>(out.noofChars), static_cast<int>(e.major), static_cast<int>(e.minor),
           static_cast<int>(e.bit), static_cast<int>(e.enc), e.mixed != 0 ? u'A' : u' ',
           e.classDigit != 0 ? u'X' : u'_', static_cast<int>(std::min<uint32_t>(e.blankLen, 9)), blank);
    for (int s = s0 + 1; s < 4; ++s) {
      if (!Loaded(e, s)) continue;
      if (rscpIOutT2(&e, s) != 0) {
        r.Line(u"| %-*.*s%-*.*s%4d%8ld %3d %2d %3d %7d%7d      ,             :", 4, 4, e.cp, 1, 1,
               kCsSlotLabel[s],
               static_cast<int>(rscpIInRoot(&e, s)), static_cast<long>(rscpIOutT2(&e, s)),
               static_cast<int>(e.in[s].noofT1), 1, static_cast<int>(e.out[s].noofT3),
               static_cast<int>(e.in[s].noofChars), static_cast<int>(e.out[s].noofChars));
      } else {
        r.Line(u"| %-*.*s%-*.*s%4d         %3d        %7d             ,             :", 4, 4, e.cp, 1, 1,
               kCsSlotLabel[s], static_cast<int>(rscpIInRoot(&e, s)), static_cast<int>(e.in[s].noofT1),
               static_cast<int>(e.in[s].noofChars));
      }
    }
  }
}

void ReadStatistics(CsReport& r, const rscpCCC_t* c) {
  r.Line(u"--%-16.16s|%10.10s|%10.10s|%10.10s|%10.10s|", u"read statistic", u"in thread", u"in process",
         u"total",
         u"statistic");
  r.Line(u"| %-16.16s|%10.10s|%10.10s|%10.10s|%10.10s|", u"table name", u"cache", u"shm update", u"process",
         u"since last");
  const rscpThrCtx_t* t = rscpGetThrCtx();
  for (int i = 0; i < RSCP_TABLES; ++i) {
    const long inCache = c->tableReads[i];
    const long inThread = t->tableReads[i];
    if (inCache == 0 && inThread == 0) continue;
    r.Line(u"| %-16.16s %10ld  +%8ld %10ld %10ld", rscpNameOfTable(i), inCache, inThread, inCache + inThread,
           inCache);
  }
}

void Reorganisation(CsReport& r, const rscpCCC_t* c) {
  r.Line(u"| layout version  %9ld", static_cast<long>(c->version));
  r.Line(u"| creation date    %-*.*s", 16, 16, c->createdate);
  r.Line(u"| last reorg date  %-*.*s", 16, 16, c->lastreorgdate);
  r.Line(u"| reorg_version   %9ld", static_cast<long>(c->reorg_version));
  r.Line(u"| noof_reorgs     %9ld", static_cast<long>(c->noof_reorgs));
  r.Line(u"| reorg_done      %9s", TrueFalse(c->reorg_done));
  r.Line(u"| reorg_reason    %-*.*s", 36, 36, c->reorg_reason);
  r.Line(u"| created by      %9ld (parent PId %ld)", static_cast<long>(c->pidCreate),
         static_cast<long>(c->ppidCreate));
  r.Line(u"| invalidated by  %9ld (parent PId %ld)", static_cast<long>(c->pidInval),
         static_cast<long>(c->ppidInval));
  r.Line(u"| reorganized by  %9ld (parent PId %ld)", static_cast<long>(c->pidReorg),
         static_cast<long>(c->ppidReorg));
  r.Line(u"| dd_reorg_version%9ld", static_cast<long>(c->dd_reorg_version));
  r.Line(u"| noof_dd_reorgs  %9ld", 0L);
  r.Line(u"| dd_reorg_done   %9s", TrueFalse(c->dd_reorg_done));
  r.Line(u"| was_overflow    %9s", TrueFalse(c->was_overflow));
  r.Line(u"| attaches        %9ld", static_cast<long>(c->attaches));
}

void Lookups(CsReport& r, const rscpCCC_t* c) {
  const rscpThrCtx_t* t = rscpGetThrCtx();
  r.Line(u"| lookups         %9ld +%20ld", static_cast<long>(c->lookups), static_cast<long>(t->lookups));
  r.Line(u"| create object   %9ld +%20ld", static_cast<long>(c->createObject),
         static_cast<long>(t->createObject));
  static constexpr const WEQ_UC* kClones[] = {u"clone CActivate", u"clone toLegacy", u"clone legacyTo",
                                              u"clone for RFC"};
  for (int i = 0; i < 4; ++i) {
    r.Line(u"| %-16.16s%9ld +%20ld", kClones[i], static_cast<long>(c->clones[i]),
           static_cast<long>(t->clones[i]));
  }
}

const WEQ_UC* Utf8GuiName(int32_t v) {
  static constexpr const WEQ_UC* kNames[] = {u"yes", u"user_choice", u"never", u"enforce", u"automatic"};
  return v >= 0 && v < 5 ? kNames[v] : u" ? ?";
}
const WEQ_UC* EnableName(int32_t v) { return v == 1 ? u"enable" : v == 0 ? u"disable" : u" ? ?"; }

void Conversions(CsReport& r, const rscpCCC_t* c) {
  const rscpThrCtx_t* t = rscpGetThrCtx();
  WEQ_UC a[24], b[24];
  snprintfU16(a, std::size(a), u"%I64u", static_cast<uint64_t>(c->bytesIn));
  snprintfU16(b, std::size(b), u"%I64u", static_cast<uint64_t>(t->bytesIn));
  r.Line(u"| conv.bytes (in) %20s +%20s", a, b);
  snprintfU16(a, std::size(a), u"%I64u", static_cast<uint64_t>(c->bytesOut));
  snprintfU16(b, std::size(b), u"%I64u", static_cast<uint64_t>(t->bytesOut));
  r.Line(u"| conv.bytes(out) %20s +%20s", a, b);
  r.Line(u"| fill.space(out) %9ld", static_cast<long>(c->fillSpace));
  r.Line(u"| fill.bytes(out) %9ld", static_cast<long>(c->fillBytes));
  r.Line(u"| trunc.bytes(in) %9ld", static_cast<long>(c->truncBytes));
  r.Line(u"| mbc_in_sbcs     %9s", TrueFalse(c->mbc_in_sbcs));
  r.Line(u"| mbc_copy        %9d", static_cast<int>(c->mbc_copy));
  r.Line(u"| utf8gui_allow %11s", Utf8GuiName(c->utf8gui_allow));
  r.Line(u"| rtlinltr_allow %10s", EnableName(c->rtlinltr_allow));
  r.Line(u"| bidi_ctrl_filter %8s", EnableName(c->bidi_ctrl_filter));
  r.Line(u"| indic_digits %12s", EnableName(c->indic_digits));
  r.Line(u"| ICUObjID        %9I64u", static_cast<uint64_t>(c->cfont_cache_version));
  r.Line(u"| Legacy code page     %-*.*s", 4, 4, c->legacy_cp);
  r.Line(u"| def_country          \"%-*.*s\"", 3, 3, c->def_country);
  r.Line(u"| def_language         \"%-*.*s\"", 1, 1, &c->def_language);
  if (c->processedLangKind == 2 && c->processedLangOffset + 2ull * c->processedLangLength <= c->length) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(c) + c->processedLangOffset;
    const auto* text = reinterpret_cast<const WEQ_UC*>(bytes);
    const int n = static_cast<int>(std::min<uint32_t>(c->processedLangLength, 75));
    r.Line(u"| processed_languages %.*s", n, text);
  } else {
    r.Line(u"| processed_languages %s", u"<not initialized>");
  }
}

void Locales(CsReport& r) {
  const WEQ_UC* sys = rscpHooks.setLocale != nullptr ? rscpHooks.setLocale(0, nullptr) : nullptr;
  if (sys == nullptr) {
    r.Line(u"|    system            %s", u"<not possible>");
  } else if (sys[0] == 0) {
    r.Line(u"|    system            %s", u"<empty>");
  } else {
    const int n = static_cast<int>(strnlenU16(sys, 60));
    r.Line(u"|    system            \"%-*.*s\"", n, n, sys);
  }
  r.Line(u"|    instance          %s", u"<not initialized>");
}

void LanguageMappings(CsReport& r) {
  r.Line(u"| language to MB code page mapping");
  r.Line(u"| DBMCPL_n_cached %9s", u"(not set)");
  r.Line(u"| DBMCPL_m_cached %9s", u"(not set)");
}

void LegacyCallers(CsReport& r, const rscpCCC_t* c) {
  r.Line(u"| RFC condensed list [CodePage-Languages]");
  r.Line(u"|    %s", u"<not initialized>");
  r.Line(u"| RFC legacy caller Language-Code Page list");
  r.Line(u"|    length          %d", static_cast<int>(c->legacyListLength));
  if (c->legacyListLength > 0 && uint64_t{c->legacyListOffset} + c->legacyListLength <= c->length) {
    r.Line(u"|    dump (separator 0 mapped to ~):");
    const unsigned char* p = reinterpret_cast<const unsigned char*>(c) + c->legacyListOffset;
    for (uint32_t at = 0; at < c->legacyListLength; at += 64) {
      WEQ_UC chunk[64];
      const int n = static_cast<int>(std::min<uint32_t>(64, c->legacyListLength - at));
      for (int i = 0; i < n; ++i) {
        const unsigned char ch = p[at + i];
        chunk[i] = ch == 0 ? u'~' : ch >= 0x20 && ch < 0x7F ? static_cast<WEQ_UC>(ch) : u'.';
      }
      r.Line(u"|    %.*s", n, chunk);
    }
  }
  r.Line(u"| RFC Trace Switches: MDMP CodePages=%d. Conversions=%d.", 0, 0);
}

void Bytes(WEQ_UC* out, size_t size, const uint8_t* b, int n, const WEQ_UC* fmt) {
  size_t at = 0;
  out[0] = 0;
  for (int i = 0; i < n && at + 4 < size; ++i) {
    at += static_cast<size_t>(snprintfU16(out + at, size - at, fmt, static_cast<unsigned>(b[i])));
  }
}

void RuleData(CsReport& r, const rscpCCC_t* c) {
  WEQ_UC buf[80];
  r.Line(u"| TCPDB_count     %9ld", static_cast<long>(c->TCPDB_count));
  r.Line(u"| db_cp_count     %9ld", static_cast<long>(c->db_cp_count));
  for (int i = 0; i < std::min<int>(c->db_cp_count, RSCP_DB_CPS); ++i) {
    r.Line(u"|    %3d:          %-*.*s", i, 4, 4, c->db_cp_list[i]);
  }
  r.Line(u"| mb_cp_count     %9ld", static_cast<long>(c->mb_cp_count));
  r.Line(u"| noof_iso2022_p. %d", static_cast<int>(c->noof_shift_pairs));
  for (int i = 0; i < std::min<int>(c->noof_shift_pairs, RSCP_SHIFT_PAIRS); ++i) {
    const rscpShiftPair_t& p = c->shiftPairs[i];
    Bytes(buf, std::size(buf), p.strt, std::min<int>(p.strtLen, RSCP_SHIFT_SEQ), u" %02x");
    r.Line(u"|    %3d: STRT     (%d)%s", i, static_cast<int>(p.strtLen), buf);
    Bytes(buf, std::size(buf), p.back, std::min<int>(p.backLen, RSCP_SHIFT_SEQ), u" %02x");
    r.Line(u"|       : BACK     (%d)%s", static_cast<int>(p.backLen), buf);
  }
  r.Line(u"| loaded_f1_count %d", static_cast<int>(c->loaded_f1_count));
  r.Line(u"| ruleInfo_count  %d", static_cast<int>(c->ruleInfo_count));
  for (int i = 0; i < std::min<int>(c->ruleInfo_count, RSCP_RANGE_RECS); ++i) {
    const rscpRangeRec_t& g = c->ranges[i];
    const int l1 = std::min<int>(g.attr1Len, 20), l2 = std::min<int>(g.attr2Len, 20);
    r.Line(u"|    %3d: rule     %*.*s(%*.*s,%*.*s)", i, 6, 6, u"URange", l1, l1, g.attr1, l2, l2, g.attr2);
    r.Line(u"|         offset    %lu (0x%08lx)", static_cast<unsigned long>(g.offset),
           static_cast<unsigned long>(g.offset));
    WEQ_UC hash[24];
    snprintfU16(hash, std::size(hash), u"%08lx%08lx", static_cast<unsigned long>(g.hash[0]),
                static_cast<unsigned long>(g.hash[1]));
    r.Line(u"|    %3d: hash      %s (0x%08lx%08lx)", i, hash, static_cast<unsigned long>(g.hash[0]),
           static_cast<unsigned long>(g.hash[1]));
    r.Line(u"|       : Unicode  %06lX..%06lX", static_cast<unsigned long>(g.first),
           static_cast<unsigned long>(g.last));
    r.Line(u"|       : seqLg    %ld", static_cast<long>(g.seqLen));
    r.Line(u"|       : uidFirst %06lX (%ld)", static_cast<unsigned long>(g.uidFirst),
           static_cast<long>(g.uidFirst));
    const int n = std::clamp<int>(g.seqLen, 0, 4);
    Bytes(buf, std::size(buf), g.byteOf1, n, u" %02X");
    r.Line(u"|       : byteOf1  %s", buf);
    Bytes(buf, std::size(buf), g.minV, n, u" %02X");
    r.Line(u"|       : minV     %s", buf);
    Bytes(buf, std::size(buf), g.maxV, n, u" %02X");
    r.Line(u"|       : maxV     %s", buf);
    size_t at = 0;
    buf[0] = 0;
    for (int k = 0; k < n; ++k) at += static_cast<size_t>(snprintfU16(buf + at, std::size(buf) - at,
                                                                      u" %7d", g.byteWidth[k]));
    r.Line(u"|       : byteWidth%s", buf);
    at = 0;
    buf[0] = 0;
    for (int k = 0; k < n; ++k) at += static_cast<size_t>(snprintfU16(buf + at, std::size(buf) - at,
                                                                      u" %7d", g.weight[k]));
    r.Line(u"|       : weight   %s", buf);
  }
}

const WEQ_UC* SourceWord(WEQ_UC s) {
  switch (s) {
    case u'0': return u"old db tables TCP02/03/07";
    case u'2': return u"F5-memory";
    case u'3': return u"both tables in db";
    case u'4': return u"TCPSEG db table";
    default: return u"  elsewhere";
  }
}

void Sources(CsReport& r, const rscpCCC_t* c) {
  r.Line(u"| %-*.*s |%-6.6s|%-6.6s|%-*.*s|ISO-2022  |max char length", 4, 4, u"CP", u"source_of_TCP00",
         u"source_of_code_page", 5, 5, u"segid");
  const rscpCpEntry_t* dir = rscpDirectory(const_cast<rscpCCC_t*>(c));
  for (int i = 0; i < c->noof_char_codes; ++i) {
    const rscpCpEntry_t& e = dir[i];
    WEQ_UC groups[11];
    for (int g = 0; g < 10; ++g) {
      groups[g] = (e.flags & (1u << g)) != 0 ? static_cast<WEQ_UC>(u'0' + g) : u'.';
    }
    groups[10] = 0;
    WEQ_UC lens[48];
    const bool inAny = std::any_of(std::begin(e.in), std::end(e.in),
                                   [](const rscpInSlot_t& s) { return s.maxLen != 0; });
    const bool outAny =
        std::any_of(std::begin(e.out), std::end(e.out), [](const rscpOutSlot_t& s) { return s.maxLen != 0; });
    if (inAny) {
      snprintfU16(lens, std::size(lens), u"__=%.3d, C_=%.3d, _S=%.3d, CS=%.3d", e.in[0].maxLen,
                  e.in[1].maxLen,
                  e.in[2].maxLen, e.in[3].maxLen);
    } else if (outAny) {
      snprintfU16(lens, std::size(lens), u"__=%.3d, C_=%.3d, _S=%.3d, CS=%.3d", e.out[0].maxLen,
                  e.out[1].maxLen,
                  e.out[2].maxLen, e.out[3].maxLen);
    } else {
      snprintfU16(lens, std::size(lens), u"%s", u"no information");
    }
    r.Line(u"| %-*.*s |%-6.6s|%-6.6s|%-*.*s|%s|%s|%c%c%c", 4, 4, e.cp, SourceWord(e.sourceOfTcp00),
           SourceWord(e.sourceOfCodePage), 5, 5, e.segid, groups, lens,
               (e.flags & RSCP_CP_COL18) ? u'S' : u' ',
           (e.flags & RSCP_CP_0800) ? u'I' : u' ', (e.flags & RSCP_CP_7BIT) ? u'7' : u' ');
  }
  r.Line(u"| %-*.*s | %*.*s|   system c.p.", 4, 4, u"", 14, 14, u"about segments");
}

}  // namespace

int rscpcs_cache_status(int sections, rscpPrintLine_t cb, void* arg) {
  if (rscpHooks.optionBytes != nullptr && rscpHooks.optionBytes[1] != 0) {
    rscpHooks.funcEnter(u"rscpcs_cache_status", 19, 0, 0, nullptr);
  }
  if (cb == nullptr) return 0;
  if ((sections & 8) != 0) sections |= 0x40 | 0x80 | 0x100 | 0x200;
  CsReport r(cb, arg);
  // The published generation, pinned: a rebuild on another thread does not
  // free it under the report.
  rscpCachePin pin;
  const rscpCCC_t* c = pin.readable();
  if ((sections & 1) != 0) MemoryMap(r, c);
  if (c == nullptr || rscpGetState() != RSCP_STATE_INIT) return 0;
  if ((sections & 2) != 0) {
    r.Rule();
    CodePageTable(r, c, (sections & 32) != 0);
  }
  if ((sections & 4) != 0) {
    r.Rule();
    ReadStatistics(r, c);
  }
  if ((sections & 0x240) != 0) r.Rule();
  if ((sections & 0x40) != 0) Reorganisation(r, c);
  if ((sections & 0x200) != 0) Lookups(r, c);
  if ((sections & 0xC0) != 0) r.Rule();
  if ((sections & 0x40) != 0) {
    Conversions(r, c);
    Locales(r);
  }
  if ((sections & 0x80) != 0) LanguageMappings(r);
  if ((sections & 0x100) != 0) {
    r.Rule();
    LegacyCallers(r, c);
  }
  if ((sections & 0x40) != 0) {
    r.Rule();
    RuleData(r, c);
  }
  if ((sections & 16) != 0) {
    r.Rule();
    Sources(r, c);
  }
  return 0;
}
