// The table steps of a cache build: the catalogue of code pages, the map of
// the system's own characters, the default country and language, the
// database code page list (profile or the file "TCPDB.DAT"), the TCP0I
// options with the legacy callers and their consolidation with the RFC
// destinations (whose source is empty in this system).
//
// The row loaders take 16-bit row records, whatever the rows' source, and
// count each row in the thread's statistics of its table. All of it runs
// inside a build, under the cache's write permission.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <iterator>
#include <new>

#include "i18n/wequ16/u16file.h"
#include "i18n/wequ16/u16fmt.h"
#include "i18n/wequ16/u16str.h"
#include "krn/rscp/rscp_int.h"
#include "krn/rscp/rscpdat_int.h"
#include "krn/rscp/rscpld_int.h"

namespace {

constexpr const WEQ_UC* kLdModule = u" $Id: krn/rscp/rscpld.cpp $";

enum : int { kTabTcp00 = 0, kTabTcp01 = 2, kTabTcp0D = 5, kTabTcpDb = 6, kTabTcp0I = 10 };

rscpRc_t LdReport(int rc, int location, int line, const WEQ_UC* text, const WEQ_UC* code, const WEQ_UC* param1,
                const WEQ_UC* param2 = nullptr) {
  return rscpIReport(kLdModule, rc, location, line, text, code, param1, param2);
}

// Per-build loader state (reset by rscplrc__reset_counters).
int gTcp0dRows = 0;
bool gSeen4103 = false;
int gLegacySeen = 0;
std::atomic<rscpDbCpFunc_t> gDbCpFunc{nullptr};
std::atomic<bool> gDbCpFuncSet{false};

bool LdEq(const WEQ_UC* a, const char* b, int n) {
  for (int i = 0; i < n; ++i)
    if (a[i] != static_cast<unsigned char>(b[i])) return false;
  return true;
}

bool LdVerbose1() { return rscpeGetVerbose() >= 1; }

// Decimal value of n units; blanks and other units end it.
long LdDecimal(const WEQ_UC* s, int n) {
  long v = 0;
  for (int i = 0; i < n && s[i] >= u'0' && s[i] <= u'9'; ++i) v = v * 10 + (s[i] - u'0');
  return v;
}

// Length without trailing blanks.
int LdTrimmed(const WEQ_UC* s, int n) {
  while (n > 0 && s[n - 1] == u' ') --n;
  return n;
}

// One text of the legacy caller lists: a heap copy ended by a 0 unit.
WEQ_UC* LdCopyText(const WEQ_UC* s, int n) {
  WEQ_UC* p = static_cast<WEQ_UC*>(malloc((static_cast<size_t>(n) + 1) * sizeof(WEQ_UC)));
  if (p == nullptr) return nullptr;
  if (n > 0) memcpy(p, s, static_cast<size_t>(n) * sizeof(WEQ_UC));
  p[n] = 0;
  return p;
}

struct LdCaller {
  WEQ_UC* sid;
  WEQ_UC* dest;
  WEQ_UC* third;  // always empty here
  LdCaller* next;
};
LdCaller* gLegacy = nullptr;   // TCP0I legacy callers, newest first
LdCaller* gRfcdes = nullptr;   // RFCDES destinations: nothing fills it

void LdFreeList(LdCaller*& list) {
  while (list != nullptr) {
    LdCaller* n = list->next;
    free(list->sid);
    free(list->dest);
    free(list->third);
    delete list;
    list = n;
  }
}

void LdErrorLine(const WEQ_UC* text) { rscph_ErrorOutput(text, -1); }

// The legacy caller row of TCP0I: name "rfcMDMPinc_<sid>".
void LoadLegacyCaller(const WEQ_UC* record, const WEQ_UC* value, int valueLen) {
  static constexpr const WEQ_UC* kWho = u"TCP0I legacy caller";
  WEQ_UC line[200];
  const int sidLen = LdTrimmed(record + 11, 20 - 11);
  WEQ_UC sid[10];
  memcpy(sid, record + 11, static_cast<size_t>(sidLen) * sizeof(WEQ_UC));
  sid[sidLen] = 0;
  ++gLegacySeen;
  if (sidLen == 0 || valueLen == 0) {
    snprintfTruncU16(line, std::size(line), u"%s. sid(%d) or destination(%d) empty: omit.", kWho, sidLen, valueLen);
    LdErrorLine(line);
    return;
  }
  for (LdCaller* c = gLegacy; c != nullptr; c = c->next) {
    if (strcmpU(c->sid, sid) == 0) {
      WEQ_UC stamp[15];
      memcpy(stamp, record + RSCP_TCP0I_STAMP, 14 * sizeof(WEQ_UC));
      stamp[14] = 0;
      snprintfTruncU16(line, std::size(line), u"%s. duplicate for sid `%s' with timestmp=`%s': omit!", kWho, sid,
                       stamp);
      LdErrorLine(line);
      return;
    }
  }
  LdCaller* c = new (std::nothrow) LdCaller{LdCopyText(sid, sidLen), LdCopyText(value, valueLen), nullptr, nullptr};
  if (c == nullptr || c->sid == nullptr || c->dest == nullptr) {
    if (c != nullptr) LdFreeList(c);
    LdReport(RSCPEINTERN, 201, __LINE__, u"assertion failed", u"F6S", u"malloc failed");
    return;
  }
  c->next = gLegacy;
  gLegacy = c;
}

bool LdFirstIs(const WEQ_UC* value, int len, WEQ_UC lower) {
  return len > 0 && (value[0] == lower || value[0] == lower - 32);
}

void LdNotValid(const WEQ_UC* what, const WEQ_UC* name, int nameLen, const WEQ_UC* value, int len,
              const WEQ_UC* accepted) {
  WEQ_UC nm[21];
  memcpy(nm, name, static_cast<size_t>(nameLen) * sizeof(WEQ_UC));
  nm[nameLen] = 0;
  WEQ_UC param[96];
  snprintfTruncU16(param, std::size(param), u"TCP0I&%s&'%*.*s'&not&%s&&", nm, len, len, value, accepted);
  WEQ_UC text[64];
  snprintfTruncU16(text, std::size(text), u"TCP0I(%s) not valid", what);
  LdReport(RSCPEINTERN, 202, __LINE__, text, u"CP9", param);
}

}  // namespace

void rscpICountRow(int table) {
  if (table >= 0 && table < RSCP_TABLES) ++rscpGetThrCtx()->tableReads[table];
}

void set_db_cp_func(rscpDbCpFunc_t func) {
  gDbCpFunc.store(func, std::memory_order_release);
  gDbCpFuncSet.store(true, std::memory_order_release);
}
rscpDbCpFunc_t rscpIGetDbCpFunc(void) { return gDbCpFunc.load(std::memory_order_acquire); }
int rscpILegacyCallersSeen(void) { return gLegacySeen; }

void rscpldIResetOptions();
void rscpldIReset() {
  rscpldIResetOptions();
  gDbCpFunc.store(nullptr);
  gDbCpFuncSet.store(false);
  gTcp0dRows = 0;
  gSeen4103 = false;
  gLegacySeen = 0;
  LdFreeList(gLegacy);
  LdFreeList(gRfcdes);
}

// --- TCP00: the catalogue -------------------------------------------------------------------

rscpRc_t read_TCP00(void) {
  rscpCCC_t* c = rscpGetCache();
  const rscpdat::DataSet& d = rscpdat::ActiveData();
  WEQ_UC record[RSCP_TCP00_RECORD];
  for (const char* row = d.tcp00; row != nullptr && row[0] != ' '; row += RSCP_TCP00_ROW) {
    if (rscpRc_t rc = rscpcd__check_directory()) return rc;
    rscpICountRow(kTabTcp00);
    build_TCP00_record(record, row);
    if (record[85] == u' ' || record[85] == u'4' || record[85] == u'3') record[85] = u'2';
    load_TCP00_row(record, 24, u'2');
  }
  if (c->noof_char_codes == 0) {
    WEQ_UC param[32];
    snprintfU16(param, std::size(param), u"%04ld/%02ld/%02ld&", static_cast<long>(d.date[0]),
                static_cast<long>(d.date[1]), static_cast<long>(d.date[2]));
    return LdReport(RSCPEINTERN, 203, __LINE__, u"F5 TCP00: cannot find any char code", u"CPB", param);
  }
  return 0;
}

void load_TCP00_row(const WEQ_UC* r, int columns, WEQ_UC sourceOfTcp00) {
  rscpCCC_t* c = rscpGetCache();
  rscpCpEntry_t& e = rscpDirectory(c)[c->noof_char_codes++];
  e = rscpCpEntry_t{};
  memcpy(e.cp, r, sizeof e.cp);
  const WEQ_UC* col3 = r + 7;
  const WEQ_UC* col4 = r + 9;
  bool byMajor = false;
  if (LdEq(col3, "05", 2)) {
    e.bit = 7, e.enc = 4, e.blank[0] = 0x20, e.blankLen = 1;
  } else if (LdEq(col3, "04", 2)) {
    e.bit = 8, e.enc = 4, e.blank[0] = 0x20, e.blankLen = 1;
  } else if (LdEq(col3, "01", 2)) {
    e.bit = 8, e.enc = 1, e.blank[0] = 0x40, e.blankLen = 1;
  } else {
    e.bit = LdEq(col4, "02", 2) || LdEq(col4, "06", 2) ? 16 : LdEq(col4, "05", 2) ? 32 : 8;
    e.enc = 0;
    byMajor = true;
  }
  e.mixed = LdEq(e.cp, "4000", 4) || LdEq(e.cp, "6100", 4) || LdEq(e.cp, "6200", 4) || LdEq(e.cp, "6500", 4) ? 1 : 0;
  int major = columns < 11 ? 0 : static_cast<int>(LdDecimal(r + 81, 2));
  int changed = -1;
  if (major == 0 && LdEq(e.cp, "4000", 4)) changed = major = 19;
  if (major == 34 && LdEq(e.cp, "620", 3)) changed = major = 39;
  if (changed >= 0) {
    WEQ_UC data[64];
    std::fill(std::begin(data), std::end(data), u' ');
    WEQ_UC text[56];
    const int n = snprintfTruncU16(text, std::size(text), u"code page %*.*s&set major to %d&", 4, 4,
                                   static_cast<const WEQ_UC*>(e.cp), major);
    memcpy(data, u"rscpll", 6 * sizeof(WEQ_UC));
    memcpy(data + 8, text, static_cast<size_t>(std::clamp(n, 0, 55)) * sizeof(WEQ_UC));
    rscpHooks.syslog(u' ', u"E16", data);
  }
  e.major = static_cast<uint16_t>(major);
  static constexpr struct {
    int major;
    uint8_t bytes[4];
    uint32_t len;
  } kBlanks[] = {{10, {0, 0x20}, 2}, {13, {0, 0x20}, 2}, {19, {0, 0x20}, 2}, {14, {0x20, 0}, 2},
                 {16, {0x20, 0}, 2}, {11, {0, 0, 0, 0x20}, 4}, {15, {0x20, 0, 0, 0}, 4}, {12, {0x20}, 1}};
  for (const auto& b : kBlanks) {
    if (b.major == major) {
      memcpy(e.blank, b.bytes, 4);
      e.blankLen = b.len;
      byMajor = false;
    }
  }
  (void)byMajor;  // other majors keep the blank of the class table (none for class 00)
  e.minor = static_cast<uint16_t>(columns >= 12 ? LdDecimal(r + 83, 2) : 0);
  if (columns >= 23) {
    e.classDigit = static_cast<uint8_t>(LdDecimal(r + 107, 1));
  } else {
    e.classDigit = LdEq(col3, "06", 2) || LdEq(e.cp, "86", 2) || LdEq(e.cp, "086", 3) || LdEq(e.cp, "4110", 4) ? 1 : 0;
  }
  e.sourceOfCodePage = r[85];
  e.sourceOfTcp00 = sourceOfTcp00;
  if (columns >= 18 && r[102] == u'X') e.flags |= RSCP_CP_COL18;
  if (LdEq(e.cp, "1160", 4) || LdEq(e.cp, "8341", 4)) e.flags |= RSCP_CP_0800;
  if (LdEq(e.cp, "1101", 4)) e.flags |= RSCP_CP_7BIT;
  if (columns >= 24) {
    memcpy(e.segid, r + 108, sizeof e.segid);
  } else {
    std::fill(std::begin(e.segid), std::end(e.segid), u' ');
  }
}

rscpRc_t rscplrc__reset_counters(void) {
  gTcp0dRows = 0;
  gSeen4103 = false;
  gLegacySeen = 0;
  return 0;
}

// --- TCP01: the system's own characters -------------------------------------------------------

rscpRc_t read_TCP01(void) {
  const rscpdat::DataSet& d = rscpdat::ActiveData();
  WEQ_UC record[RSCP_TCP01_RECORD];
  std::fill(std::begin(record), std::end(record), u' ');
  WEQ_UC num[8];
  snprintfU16(num, std::size(num), u"%0*lu", 5, static_cast<unsigned long>(d.tcp01LastMax));
  memcpy(record, num, 5 * sizeof(WEQ_UC));
  static constexpr WEQ_UC kFrom[] = u"from TCP01_last_weqcode_max";
  memcpy(record + 5, kFrom, (std::size(kFrom) - 1) * sizeof(WEQ_UC));
  rscpICountRow(kTabTcp01);
  if (rscpRc_t rc = load_TCP01_row(record)) return rc;
  const uint8_t* cursor = d.tcp01;
  while (cursor != nullptr && build_TCP01_record(record, &cursor)) {
    rscpICountRow(kTabTcp01);
    if (rscpRc_t rc = load_TCP01_row(record)) return rc;
  }
  return 0;
}

rscpRc_t load_TCP01_row(const WEQ_UC* r) {
  rscpCCC_t* c = rscpGetCache();
  const uint32_t code = static_cast<uint32_t>(LdDecimal(r, 5)) & 0xFFFF;
  const bool reservation = [&] {
    static constexpr WEQ_UC kLast[] = u"_last_";
    for (int i = 5; i + 6 <= RSCP_TCP01_RECORD; ++i)
      if (memcmp(r + i, kLast, 6 * sizeof(WEQ_UC)) == 0) return true;
    return false;
  }();
  // The map grows behind the directory towards the end of the T2 area;
  // every write is checked against that bound.
  auto fits = [c](uint32_t n) { return uint64_t{c->tcp01_map} + 3 * (uint64_t{n} + 1) <= c->end_t2; };
  if (code > c->tcp01_mappings && !(code > 5000 && reservation)) {
    if (!fits(code)) {
      WEQ_UC param[48];
      snprintfU16(param, std::size(param), u"cachesize&%ld&?&", static_cast<long>(c->length));
      return LdReport(RSCPEINTERN, 204, __LINE__, u"WEQPARAM(rsts/ccc/cachesize) too small", u"F24", param);
    }
    c->tcp01_mappings = static_cast<uint16_t>(code);
  }
  if (code <= c->tcp01_mappings && r[40] != u' ' && fits(code)) {
    uint8_t* p = reinterpret_cast<uint8_t*>(c) + c->tcp01_map + 3 * code;
    for (int i = 0; i < 3; ++i) p[i] = static_cast<uint8_t>(hex_pair_value(r[35 + 2 * i], r[36 + 2 * i]));
  }
  c->max_weq_code = std::max(c->max_weq_code, code);
  return 0;
}

// --- TCP0D: default country and language --------------------------------------------------

rscpRc_t read_TCP0D(void) {
  WEQ_UC record[RSCP_TCP0D_RECORD] = {u' ', u' ', u' ', u' '};
  if (const WEQ_UC* v = rscpHooks.param(u"zcsa/system_language"); v != nullptr && v[0] != 0) record[3] = v[0];
  rscpICountRow(kTabTcp0D);
  load_TCP0D_row(record);
  return finish_TCP0D();
}

void load_TCP0D_row(const WEQ_UC* r) {
  rscpCCC_t* c = rscpGetCache();
  ++gTcp0dRows;
  memcpy(c->def_country, r, 3 * sizeof(WEQ_UC));
  c->def_language = r[3];
}

rscpRc_t finish_TCP0D(void) {
  rscpCCC_t* c = rscpGetCache();
  if (gTcp0dRows >= 2) {
    WEQ_UC count[16];
    snprintfU16(count, std::size(count), u"%ld&", static_cast<long>(gTcp0dRows));
    LdReport(RSCPEINTERN, 205, __LINE__, u"TCP0D: multiple default countries", u"CP2", u"TCP0D&", count);
  }
  if (const WEQ_UC* v = rscpHooks.param(u"rscp/override/TCP0D"); v != nullptr && v[0] != 0) {
    const int n = static_cast<int>(strnlenU16(v, 3));
    std::fill(std::begin(c->def_country), std::end(c->def_country), u' ');
    memcpy(c->def_country, v, static_cast<size_t>(n) * sizeof(WEQ_UC));
    WEQ_UC text[64];
    snprintfTruncU16(text, std::size(text), u"%s <<< rscp/override/TCP0D", v);
    LdReport(RSCPEINTERN, 206, __LINE__, text, u"CP6", nullptr);
  }
  if (LdEq(c->def_country, "3CN", 3)) {
    LdReport(RSCPEINTERN, 207, __LINE__, u"TCP0D contains '3CN': use RSCPINST to change to 'CN '.", u"CP6", nullptr);
    memcpy(c->def_country, u"CN ", 3 * sizeof(WEQ_UC));
  }
  return 0;
}

// --- TCPDB: database code pages -----------------------------------------------------------

rscpRc_t read_TCPDB(void) {
  rscpCCC_t* c = rscpGetCache();
  c->TCPDB_count = 0;
  c->db_cp_count = 1;
  memcpy(c->db_cp_list[0], u"4103", 4 * sizeof(WEQ_UC));
  gSeen4103 = false;
  if (const WEQ_UC* v = rscpHooks.param(u"rscp/operride/TCPDB")) {
    const size_t n = strlenU(v);
    for (size_t i = 0; i + 4 <= n; i += 4) load_TCPDB_row(v + i);
    return finish_TCPDB();
  }
  static constexpr const WEQ_UC* kFile = u"TCPDB.DAT";
  FILE* f = fopenU16(kFile, u"r");
  if (f == nullptr) {
    if (LdVerbose1()) perrorU16(kFile);
    return finish_TCPDB();
  }
  // Eight units: a read takes at most seven, so a longer line comes in parts.
  WEQ_UC line[8];
  for (int no = 1; fgetsU16(line, 8, f) != nullptr; ++no) {
    size_t n = strlenU(line);
    if (no == 1 && n >= 5 && memcmp(line, u"TCPDB", 5 * sizeof(WEQ_UC)) == 0) continue;
    if (n > 0 && line[n - 1] == u'\n') line[--n] = 0;
    if (n > 0 && line[n - 1] == u'\r') line[--n] = 0;
    if (n == 4) {
      load_TCPDB_row(line);
    } else {
      fprintfU16(stderr, u"%s line %d: format error: \"%.20s\".\n", kFile, no, static_cast<const WEQ_UC*>(line));
    }
  }
  fclose(f);
  return finish_TCPDB();
}

rscpRc_t load_TCPDB_row(const WEQ_UC* cp) {
  rscpCCC_t* c = rscpGetCache();
  rscpICountRow(kTabTcpDb);
  if (memcmp(cp, c->db_cp_list[0], 4 * sizeof(WEQ_UC)) == 0) {
    gSeen4103 = true;
  } else if (c->db_cp_count < RSCP_DB_CPS) {
    memcpy(c->db_cp_list[c->db_cp_count++], cp, 4 * sizeof(WEQ_UC));
  }
  ++c->TCPDB_count;
  if (cp[0] == u'6') {
    const bool ambiguous = LdEq(cp, "6100", 4) || LdEq(cp, "6200", 4) || LdEq(cp, "6500", 4);
    LdReport(RSCPEINTERN, 208, __LINE__,
           ambiguous ? u"Still using ambiguous blended code page? See note 938738"
                     : u"Still using unambiguous blended code page? See note 938737",
           u"CP6", u"TCPDB&");
  }
  return 0;
}

rscpRc_t finish_TCPDB(void) {
  rscpCCC_t* c = rscpGetCache();
  if (c->TCPDB_count == 0) return 0;
  for (int i = 0; i < c->db_cp_count; ++i) {
    if (LdEq(c->db_cp_list[i], "4102", 4) || LdEq(c->db_cp_list[i], "4103", 4)) continue;
    fputs("Database table TCPDB not empty. See note 42305\n", stderr);
    WEQ_UC count[16];
    snprintfU16(count, std::size(count), u"%ld&", static_cast<long>(c->TCPDB_count));
    LdReport(RSCPEINTERN, 209, __LINE__, u"TCPDB should be empty.", u"CP2", u"TCPDB&", count);
  }
  return 0;
}

// --- TCP0I: options and legacy callers ----------------------------------------------------

rscpRc_t read_TCP0I(void) {
  rscpCCC_t* c = rscpGetCache();
  c->utf8gui_allow = c->rtlinltr_allow = c->indic_digits = c->bidi_ctrl_filter = c->cfont_cache_version = 0;
  c->processedLangKind = c->processedLangOffset = c->processedLangLength = 0;
  const char* env = getenv("SNC_LEGACY_WEQ_CP");
  if (env == nullptr) {
    if (LdVerbose1()) fputs("read_TCP0I was called and returned OK without doing anything.\n", stderr);
    return 0;
  }
  WEQ_UC record[RSCP_TCP0I_RECORD];
  std::fill(std::begin(record), std::end(record), u' ');
  memcpy(record, u"legacy_cp", 9 * sizeof(WEQ_UC));
  record[RSCP_TCP0I_ACTIVE] = u'X';
  record[RSCP_TCP0I_STAMP] = u'?';
  const int n = static_cast<int>(std::min<size_t>(strlen(env), RSCP_TCP0I_VALUE_LEN));
  A7nToUcsn(record + RSCP_TCP0I_VALUE, env, n);
  memcpy(record + RSCP_TCP0I_SOURCE, u"getenvU", 7 * sizeof(WEQ_UC));
  rscpICountRow(kTabTcp0I);
  load_TCP0I_row(record);
  return 0;
}

rscpRc_t load_TCP0I_row(const WEQ_UC* r) {
  rscpCCC_t* c = rscpGetCache();
  if (r[RSCP_TCP0I_ACTIVE] != u'X') return 0;
  const WEQ_UC* name = r + RSCP_TCP0I_NAME;
  const int nameLen = LdTrimmed(name, 20);
  const WEQ_UC* value = r + RSCP_TCP0I_VALUE;
  const int len = LdTrimmed(value, RSCP_TCP0I_VALUE_LEN);
  auto is = [&](const char* n) {
    return nameLen == static_cast<int>(strlen(n)) && LdEq(name, n, nameLen);
  };
  if (is("processed_languages")) {
    if (len == 0) return 0;
    const uint32_t off = rscpITakeCache07(int64_t{len} * 2, 4);
    if (off == 0) {
      WEQ_UC param[48];
      snprintfU16(param, std::size(param), u"cache07&%ld&?&", static_cast<long>(c->cache07));
      return LdReport(RSCPETOOLONG, 210, __LINE__, u"WEQPARAM(rsts/ccc/cache07) small", u"F1A", param);
    }
    memcpy(reinterpret_cast<uint8_t*>(c) + off, value, static_cast<size_t>(len) * sizeof(WEQ_UC));
    c->processedLangKind = 2;
    c->processedLangOffset = off;
    c->processedLangLength = static_cast<uint32_t>(len);
  } else if (is("utf8gui")) {
    static constexpr WEQ_UC kLetters[] = u"yunea";
    for (int i = 0; i < 5; ++i) {
      if (LdFirstIs(value, len, kLetters[i])) {
        c->utf8gui_allow = i;
        return 0;
      }
    }
    LdNotValid(u"utf8gui", name, nameLen, value, len, u"y,u,n,e,a");
  } else if (is("rtlinltr") || is("bidi_ctrl_filter") || is("print_indic_digits")) {
    int32_t* field = is("rtlinltr") ? &c->rtlinltr_allow : is("bidi_ctrl_filter") ? &c->bidi_ctrl_filter
                                                                                   : &c->indic_digits;
    if (LdFirstIs(value, len, u'e')) {
      *field = 1;
    } else if (LdFirstIs(value, len, u'd')) {
      *field = 0;
    } else {
      WEQ_UC what[24];
      memcpy(what, name, static_cast<size_t>(nameLen) * sizeof(WEQ_UC));
      what[nameLen] = 0;
      LdNotValid(what, name, nameLen, value, len, u"d,e");
    }
  } else if (is("cfont_cache_version")) {
    WEQ_UC text[RSCP_TCP0I_VALUE_LEN + 1];
    memcpy(text, value, static_cast<size_t>(len) * sizeof(WEQ_UC));
    text[len] = 0;
    c->cfont_cache_version = strtolU(text, nullptr, 10);
    if (c->cfont_cache_version < 0) {
      LdNotValid(u"cfont_cache_version", name, nameLen, value, len, u"0..");
    }
  } else if (is("legacy_cp")) {
    for (int i = 0; i < 4; ++i) c->legacy_cp[i] = i < len ? value[i] : u' ';
  } else if (nameLen >= 11 && LdEq(name, "rfcMDMPinc_", 11)) {
    if (rscpIOption25() != 0) LoadLegacyCaller(r, value, len);
  }
  return 0;
}

// --- RFC destinations and the condensed legacy list -----------------------------------------

rscpRc_t read_RFCDES(void) {
  if (LdVerbose1()) fputs("read_RFCDES was called and returned OK without doing anything.\n", stderr);
  return 0;
}

rscpRc_t consolidate_TCP0I_RFCDES(void) {
  static constexpr const WEQ_UC* kWho = u"TCP0I/RFCDES consolidation";
  rscpCCC_t* c = rscpGetCache();
  WEQ_UC line[240];
  WEQ_UC* buf = nullptr;
  size_t used = 0;  // units
  int explicitCount = 0, implicitCount = 0;
  bool failed = false;
  auto append = [&](const WEQ_UC* s) {
    const size_t n = strlenU(s) + 1;
    auto* grown = static_cast<WEQ_UC*>(realloc(buf, (used + n) * sizeof(WEQ_UC)));
    if (grown == nullptr) {
      failed = true;
      return;
    }
    buf = grown;
    memcpy(buf + used, s, n * sizeof(WEQ_UC));
    used += n;
  };
  // The buffer holds pairs of texts: a system id, then its third text.
  auto inBuffer = [&](const WEQ_UC* sid) {
    for (size_t i = 0; i < used;) {
      if (strcmpU(buf + i, sid) == 0) return true;
      i += strlenU(buf + i) + 1;
      if (i < used) i += strlenU(buf + i) + 1;
    }
    return false;
  };
  for (LdCaller* l = gLegacy; l != nullptr && !failed; l = l->next) {
    LdCaller* match = nullptr;
    for (LdCaller* r = gRfcdes; r != nullptr && match == nullptr; r = r->next)
      if (strcmpU(r->dest, l->dest) == 0) match = r;
    if (match != nullptr) {
      append(l->sid);
      append(match->third != nullptr ? match->third : u"");
      ++explicitCount;
    } else {
      snprintfTruncU16(line, std::size(line), u"%s. TCP0I: destination `%s' for `%s' not in RFCDES: omit.", kWho,
                       l->dest, l->sid);
      LdErrorLine(line);
    }
  }
  for (LdCaller* r = gRfcdes; r != nullptr && !failed; r = r->next) {
    if (r->sid == nullptr || r->sid[0] == 0) continue;
    if (inBuffer(r->sid)) {
      snprintfTruncU16(line, std::size(line), u"%s. RFCDES: SID `%s' already picked up: omit.%s", kWho, r->sid, u"");
      LdErrorLine(line);
      continue;
    }
    append(r->sid);
    append(r->third != nullptr ? r->third : u"");
    ++implicitCount;
    snprintfTruncU16(line, std::size(line), u"%s. RFCDES: `%s' from destination `%s'.", kWho, r->sid, r->dest);
    LdErrorLine(line);
  }
  c->legacyListLength = c->legacyListOffset = 0;
  if (failed) {
    LdReport(RSCPEINTERN, 211, __LINE__, u"assertion failed", u"F6S", u"realloc failed");
  } else if (used > 0) {
    const uint32_t off = rscpITakeCache07(static_cast<int64_t>(used * sizeof(WEQ_UC)), 4);
    if (off == 0) {
      snprintfTruncU16(line, std::size(line),
                       u"%s. RFC legacy MDMP caller list (len=%d): not stored due to CCC overflow (set to empty).", kWho,
                       static_cast<int>(used * sizeof(WEQ_UC)));
      LdErrorLine(line);
    } else {
      memcpy(reinterpret_cast<uint8_t*>(c) + off, buf, used * sizeof(WEQ_UC));
      c->legacyListOffset = off;
      c->legacyListLength = static_cast<uint32_t>(used * sizeof(WEQ_UC));
    }
  }
  free(buf);
  LdFreeList(gLegacy);
  LdFreeList(gRfcdes);
  if (explicitCount != 0 || implicitCount != 0) {
    snprintfTruncU16(line, std::size(line), u"%s. Final Destinations: explicit %d, implicit %d.", kWho, explicitCount,
                     implicitCount);
    LdErrorLine(line);
  }
  return 0;
}
