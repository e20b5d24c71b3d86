// The cache build's table steps (catalogue, character map, country and
// language, database code pages with "TCPDB.DAT", TCP0I options and legacy
// callers), the converter options by state, the invalidation of the tables
// and the status check of the header.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "rscpf5_walker.h"
#include "rscpld_fixture.h"

namespace rscptest {
namespace {

using tovtest::FromUtf8;
using tovtest::ToUtf8;

class Steps : public LoadTest {};

// --- The default build -------------------------------------------------------------------

TEST_F(Steps, DefaultCacheFromTheBuiltInData) {
  rscpCCC_t* c = BuildDefault();
  const auto& data = rscpdat::BuiltinData();
  const auto rows = rscpf5walk::Catalogue(data);
  EXPECT_EQ(c->noof_char_codes, rows.size());
  EXPECT_EQ(c->tcp01_mappings, 4990);
  EXPECT_EQ(c->max_weq_code, 65278u);
  EXPECT_EQ(c->TCPDB_count, 0);
  EXPECT_EQ(c->db_cp_count, 1);
  EXPECT_EQ(Field(c->db_cp_list[0], 4), u"4103");
  EXPECT_EQ(Field(c->def_country, 3), u"   ");
  EXPECT_EQ(c->def_language, u' ');
  EXPECT_EQ(c->legacyListLength + c->legacyListOffset + c->processedLangKind, 0u);
  // The character map holds every built-in record, big-endian, and nothing
  // else below its top.
  std::vector<uint32_t> want(c->tcp01_mappings + 1u, 0);
  for (const uint8_t* p = data.tcp01; (p[0] << 8 | p[1]) != 0; p += 5) want[p[0] << 8 | p[1]] = p[2] << 16 | p[3] << 8 | p[4];
  const uint8_t* map = base() + c->tcp01_map;
  int bad = 0;
  for (size_t w = 0; w < want.size(); ++w)
    if (uint32_t(map[3 * w] << 16 | map[3 * w + 1] << 8 | map[3 * w + 2]) != want[w]) ++bad;
  EXPECT_EQ(bad, 0);
  EXPECT_EQ(want[1], 0x110000u);
  // Catalogue attributes of telling rows.
  struct Row {
    const char* cp;
    int bit, enc, major;
    std::vector<uint8_t> blank;
    uint32_t flags;
    uint8_t mixed, classDigit;
  } telling[] = {
      {"1100", 8, 4, 0, {0x20}, 0x400, 0, 0},         {"1101", 8, 4, 0, {0x20}, 0x1400, 0, 0},
      {"0100", 8, 1, 0, {0x40}, 0x400, 0, 0},         {"4000", 16, 0, 19, {0, 0x20}, 0x400, 1, 1},
      {"4101", 16, 0, 14, {0x20, 0}, 0x400, 0, 1},    {"4104", 32, 0, 11, {0, 0, 0, 0x20}, 0x400, 0, 1},
      {"4105", 32, 0, 15, {0x20, 0, 0, 0}, 0x400, 0, 1}, {"4110", 8, 4, 12, {0x20}, 0x400, 0, 1},
      {"6100", 8, 4, 30, {0x20}, 0x400, 1, 0},        {"8000", 8, 4, 3, {0x20}, 0x400, 0, 0},
  };
  for (const Row& r : telling) {
    SCOPED_TRACE(r.cp);
    const rscpCpEntry_t* e = Entry(r.cp);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->bit, r.bit);
    EXPECT_EQ(e->enc, r.enc);
    EXPECT_EQ(e->major, r.major);
    EXPECT_EQ(std::vector<uint8_t>(e->blank, e->blank + e->blankLen), r.blank);
    // Column 18 of the row gives 0x400; 1101 adds 0x1000.
    const auto row = std::find_if(rows.begin(), rows.end(), [&](const auto& x) { return x.cp() == r.cp; });
    ASSERT_NE(row, rows.end());
    EXPECT_EQ(e->flags, (row->text[86] == 'X' ? 0x400u : 0u) | (r.flags & 0x1000));
    EXPECT_EQ(e->mixed, r.mixed);
    EXPECT_EQ(e->sourceOfTcp00, u'2');
    EXPECT_EQ(e->sourceOfCodePage, u'2') << "built-in sources 4 and blank read as 2";
  }
  EXPECT_EQ(Field(Entry("1100")->segid, 5), u"1100T");
  EXPECT_EQ(Entry("0180")->sourceOfCodePage, u'1');
  EXPECT_EQ(Field(Entry("0180")->segid, 5), u"     ");
  // The status check finds nothing in a fresh default cache.
  long errors = -1, warnings = -1;
  EXPECT_EQ(rscpqc_quality_check(nullptr, nullptr, nullptr, nullptr, nullptr, &errors, &warnings), 0);
  EXPECT_EQ(errors, 0);
  EXPECT_EQ(warnings, 0);
}

// A catalogue record by hand: id, class columns 3 and 4, major, minor,
// column 18, class digit and segment id.
std::u16string Record(const char* cp, const char* c3, const char* c4, const char* major, char c18 = '-',
                      char digit = ' ', const char* segid = "SEGID") {
  std::u16string r(113, u' ');
  auto put = [&](int at, const char* s) {
    for (int i = 0; s[i]; ++i) r[size_t(at + i)] = char16_t(s[i]);
  };
  put(0, cp), put(7, c3), put(9, c4), put(81, major), put(83, "07"), put(85, "2");
  r[102] = char16_t(c18), r[107] = char16_t(digit);
  put(108, segid);
  return r;
}

TEST_F(Steps, CatalogueRowsByColumns) {
  struct Case {
    std::u16string rec;
    int columns;
    int bit, enc, major, minor;
    std::vector<uint8_t> blank;
    uint32_t flags;
    int classDigit;
    std::u16string segid;
  } cases[] = {
      {Record("7001", "05", "01", "00"), 24, 7, 4, 0, 7, {0x20}, 0, 0, u"SEGID"},
      {Record("7002", "04", "02", "00"), 24, 8, 4, 0, 7, {0x20}, 0, 0, u"SEGID"},
      {Record("7003", "01", "02", "00", 'X'), 24, 8, 1, 0, 7, {0x40}, 0x400, 0, u"SEGID"},
      {Record("7004", "06", "02", "10"), 24, 16, 0, 10, 7, {0, 0x20}, 0, 0, u"SEGID"},
      {Record("7005", "06", "06", "16", '-', '2'), 24, 16, 0, 16, 7, {0x20, 0}, 0, 2, u"SEGID"},
      {Record("7006", "00", "05", "15"), 24, 32, 0, 15, 7, {0x20, 0, 0, 0}, 0, 0, u"SEGID"},
      {Record("7007", "00", "05", "11"), 24, 32, 0, 11, 7, {0, 0, 0, 0x20}, 0, 0, u"SEGID"},
      {Record("7008", "03", "03", "12"), 24, 8, 0, 12, 7, {0x20}, 0, 0, u"SEGID"},
      {Record("1160", "04", "04", "00"), 24, 8, 4, 0, 7, {0x20}, 0x800, 0, u"SEGID"},
      {Record("8341", "04", "04", "00"), 24, 8, 4, 0, 7, {0x20}, 0x800, 0, u"SEGID"},
      {Record("1101", "04", "04", "00"), 24, 8, 4, 0, 7, {0x20}, 0x1000, 0, u"SEGID"},
      // Fewer columns: no segment id, no column 18, the class digit derived.
      {Record("7009", "06", "02", "10", 'X'), 22, 16, 0, 10, 7, {0, 0x20}, 0x400, 1, u"     "},
      {Record("8601", "04", "04", "00"), 17, 8, 4, 0, 7, {0x20}, 0, 1, u"     "},
      {Record("0860", "04", "04", "00"), 17, 8, 4, 0, 7, {0x20}, 0, 1, u"     "},
      {Record("4110", "04", "04", "12"), 17, 8, 4, 12, 7, {0x20}, 0, 1, u"     "},
      {Record("7010", "04", "04", "12"), 11, 8, 4, 12, 0, {0x20}, 0, 0, u"     "},
      {Record("7011", "04", "04", "12"), 10, 8, 4, 0, 0, {0x20}, 0, 0, u"     "},
      // Corrected majors.
      {Record("4000", "00", "02", "00"), 24, 16, 0, 19, 7, {0, 0x20}, 0, 0, u"SEGID"},
      {Record("6209", "04", "03", "34"), 24, 8, 4, 39, 7, {0x20}, 0, 0, u"SEGID"},
      {Record("6309", "04", "03", "34"), 24, 8, 4, 34, 7, {0x20}, 0, 0, u"SEGID"},
  };
  rscpCCC_t* c = BuildDefault();
  for (const Case& k : cases) {
    SCOPED_TRACE(ToUtf8(k.rec.substr(0, 4)) + " " + std::to_string(k.columns));
    const int before = c->noof_char_codes;
    tovtest::CaptureFd err;
    load_TCP00_row(k.rec.c_str(), k.columns, u'7');
    const std::string log = err.Take();
    ASSERT_EQ(c->noof_char_codes, before + 1);
    const rscpCpEntry_t& e = rscpDirectory(c)[before];
    EXPECT_EQ(Field(e.cp, 4), k.rec.substr(0, 4));
    EXPECT_EQ(e.bit, k.bit);
    EXPECT_EQ(e.enc, k.enc);
    EXPECT_EQ(e.major, k.major);
    EXPECT_EQ(e.minor, k.minor);
    EXPECT_EQ(std::vector<uint8_t>(e.blank, e.blank + e.blankLen), k.blank);
    EXPECT_EQ(e.flags, k.flags);
    EXPECT_EQ(e.classDigit, k.classDigit);
    EXPECT_EQ(Field(e.segid, 5), k.segid);
    EXPECT_EQ(e.sourceOfTcp00, u'7');
    EXPECT_EQ(e.mixed, k.rec.substr(0, 4) == u"4000" ? 1 : 0);
    const bool corrected = (k.rec.substr(0, 4) == u"4000" || k.rec.substr(0, 3) == u"620") && k.columns >= 11;
    EXPECT_EQ(log.find("E16 : rscpll  code page " + ToUtf8(k.rec.substr(0, 4)) + "&set major to ") != std::string::npos,
              corrected)
        << log;
    for (auto& s : e.in) EXPECT_EQ(s.root, 0);
  }
}

TEST_F(Steps, CharacterMapRows) {
  rscpCCC_t* c = BuildDefault();
  auto rec = [](const char* code, const char* value, const char* text = "") {
    std::u16string r(41, u' ');
    for (int i = 0; code[i]; ++i) r[size_t(i)] = char16_t(code[i]);
    for (int i = 0; text[i]; ++i) r[size_t(5 + i)] = char16_t(text[i]);
    for (int i = 0; value[i]; ++i) r[size_t(35 + i)] = char16_t(value[i]);
    return r;
  };
  uint8_t* map = base() + c->tcp01_map;
  // Below the top: mapped in place.
  EXPECT_EQ(load_TCP01_row(rec("00007", "00ABCD").c_str()), 0);
  EXPECT_EQ((std::vector<uint8_t>(map + 21, map + 24)), (std::vector<uint8_t>{0x00, 0xAB, 0xCD}));
  // Lower-case letters are no hexadecimal digits here.
  EXPECT_EQ(load_TCP01_row(rec("00008", "00abCD").c_str()), 0);
  EXPECT_EQ((std::vector<uint8_t>(map + 24, map + 27)), (std::vector<uint8_t>{0x00, 0x00, 0xCD}));
  // No code point: nothing mapped.
  EXPECT_EQ(load_TCP01_row(rec("00009", "").c_str()), 0);
  EXPECT_EQ((std::vector<uint8_t>(map + 27, map + 30)), (std::vector<uint8_t>{0, 0, 0}));
  // A reservation above 5000 raises only the highest code.
  EXPECT_EQ(load_TCP01_row(rec("60000", "", "the _last_ one").c_str()), 0);
  EXPECT_EQ(c->tcp01_mappings, 4990);
  EXPECT_EQ(c->max_weq_code, 65278u);
  EXPECT_EQ(load_TCP01_row(rec("65500", "", "the _last_ one").c_str()), 0);
  EXPECT_EQ(c->max_weq_code, 65500u);
  // A real code above the top moves it, while the map has room.
  EXPECT_EQ(load_TCP01_row(rec("05000", "10FFFF").c_str()), 0);
  EXPECT_EQ(c->tcp01_mappings, 5000);
  EXPECT_EQ((std::vector<uint8_t>(map + 15000, map + 15003)), (std::vector<uint8_t>{0x10, 0xFF, 0xFF}));
}

TEST_F(Steps, CharacterMapRowBeyondTheTablesIsRefused) {
  rscpCCC_t* c = Build(200000, 20000);
  const uint16_t top = c->tcp01_mappings;
  std::u16string r(41, u' ');
  const std::u16string code = u"65000", value = u"00ABCD";
  std::copy(code.begin(), code.end(), r.begin());
  std::copy(value.begin(), value.end(), r.begin() + 35);
  const std::vector<uint8_t> after(base() + c->end_t2, base() + c->end_t2 + 64);
  EXPECT_EQ(load_TCP01_row(r.c_str()), RSCPEINTERN);
  EXPECT_EQ(Last().code, u"F24");
  EXPECT_EQ(c->tcp01_mappings, top);
  EXPECT_EQ(std::vector<uint8_t>(base() + c->end_t2, base() + c->end_t2 + 64), after) << "nothing written past the map";
}

TEST_F(Steps, CountryAndLanguage) {
  struct Case {
    std::map<std::u16string, rscphTestParam> params;
    std::u16string country;
    WEQ_UC language;
    std::u16string lastCode;
  } cases[] = {
      {{}, u"   ", u' ', u""},
      {{{u"zcsa/system_language", {u"DE", {}}}}, u"   ", u'D', u""},
      {{{u"rscp/override/TCP0D", {u"USA", {}}}}, u"USA", u' ', u"CP6"},
      {{{u"rscp/override/TCP0D", {u"3CN", {}}}}, u"CN ", u' ', u"CP6"},
      {{{u"rscp/override/TCP0D", {u"", {}}}}, u"   ", u' ', u""},
  };
  for (const Case& k : cases) {
    rscphTestSetParams(k.params);
    rscpCCC_t* c = BuildDefault();
    rscpeClearThrErrors();
    rscplrc__reset_counters();
    ASSERT_EQ(read_TCP0D(), 0);
    EXPECT_EQ(Field(c->def_country, 3), k.country);
    EXPECT_EQ(c->def_language, k.language);
    EXPECT_EQ(Last().code, k.lastCode);
  }
  rscphTestSetParams({});
  // A second row in one build: two default countries.
  BuildDefault();
  const WEQ_UC row[4] = {u'D', u'E', u' ', u'D'};
  load_TCP0D_row(row);
  rscpeClearThrErrors();
  EXPECT_EQ(finish_TCP0D(), 0);
  EXPECT_EQ(Last().code, u"CP2");
  EXPECT_EQ(Last().param1, u"TCP0D&");
}

// --- TCPDB -------------------------------------------------------------------------------

struct DbCase {
  const char* file;  // nullptr: no file
  int count;
  std::vector<std::u16string> list;
  std::vector<std::string> stderrLines;
  std::u16string lastText;
};

// Runs the TCPDB step in a child whose working directory holds the file.
tovtest::ChildResult RunTcpdb(const DbCase& k, Steps* t, int verbose = 0) {
  tovtest::TempDir dir;
  if (k.file != nullptr) tovtest::WriteFile(dir.File("TCPDB.DAT"), k.file);
  return tovtest::RunInChild([&] {
    if (chdir(dir.path().c_str()) != 0) return 90;
    rscpCCC_t* c = t->BuildDefault();
    rscpeSetVerbose(verbose);
    rscpeClearThrErrors();
    if (read_TCPDB() != 0) return 91;
    if (c->TCPDB_count != k.count) return 92;
    if (c->db_cp_count != k.list.size()) return 93;
    for (size_t i = 0; i < k.list.size(); ++i)
      if (Field(c->db_cp_list[i], 4) != k.list[i]) return 94;
    const rscpErrStack_t* s = rscpeg__get_thr_errors();
    std::u16string text = s->count == 0 ? u"" : LoadTest::Text(std::min<int>(s->count, RSCP_ERR_ENTRIES) - 1);
    return text == k.lastText ? 0 : 95;
  });
}

TEST_F(Steps, DatabaseCodePagesFromTheFile) {
  const DbCase cases[] = {
      {"TCPDB\n1100\n4103\r\n", 2, {u"4103", u"1100"}, {"Database table TCPDB not empty. See note 42305"}, u"TCPDB should be empty."},
      {"TCPDB\n11000\n", 0, {u"4103"}, {"TCPDB.DAT line 2: format error: \"11000\"."}, u""},
      {"TCPDB\n0123456789\n", 0, {u"4103"},
       {"TCPDB.DAT line 2: format error: \"0123456\".", "TCPDB.DAT line 3: format error: \"789\"."}, u""},
      {"4103\n4102\n", 2, {u"4103", u"4102"}, {}, u""},
      {"6300\n", 1, {u"4103", u"6300"}, {}, u"TCPDB should be empty."},
      {"", 0, {u"4103"}, {}, u""},
      {nullptr, 0, {u"4103"}, {}, u""},
  };
  for (const DbCase& k : cases) {
    SCOPED_TRACE(k.file != nullptr ? k.file : "(no file)");
    const tovtest::ChildResult r = RunTcpdb(k, this);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    for (const std::string& line : k.stderrLines) EXPECT_NE(r.err.find(line + "\n"), std::string::npos) << r.err;
    if (k.stderrLines.empty()) {
      EXPECT_EQ(r.err.find("format error"), std::string::npos);
    }
  }
  // Verbosity shows a missing file.
  const tovtest::ChildResult r = RunTcpdb({nullptr, 0, {u"4103"}, {}, u""}, this, 1);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_NE(r.err.find("TCPDB.DAT: No such file or directory"), std::string::npos) << r.err;
}

TEST_F(Steps, BlendedCodePageWarnings) {
  struct Case {
    const char16_t* cp;
    std::u16string text;
  } cases[] = {{u"6100", u"Still using ambiguous blended code page? See note 938738"},
               {u"6500", u"Still using ambiguous blended code page? See note 938738"},
               {u"6300", u"Still using unambiguous blended code page? See note 938737"},
               {u"7100", u""}};
  for (const Case& k : cases) {
    BuildDefault();
    rscpeClearThrErrors();
    EXPECT_EQ(load_TCPDB_row(k.cp), 0);
    EXPECT_EQ(rscpeg__get_thr_errors()->count == 0 ? u"" : Text(0), k.text == u"" ? u"" : k.text) << tovtest::Show(k.cp);
  }
}

TEST_F(Steps, DatabaseCodePagesFromTheProfile) {
  rscphTestSetParams({{u"rscp/operride/TCPDB", {u"110041038000123", {}}}});
  rscpCCC_t* c = BuildDefault();
  EXPECT_EQ(c->TCPDB_count, 3);
  ASSERT_EQ(c->db_cp_count, 3);
  EXPECT_EQ(Field(c->db_cp_list[1], 4) + Field(c->db_cp_list[2], 4), u"11008000");
  // At most 50 code pages are held; every row counts.
  std::u16string many;
  for (int i = 0; i < 60; ++i) many += FromUtf8(std::to_string(5000 + i));
  rscphTestSetParams({{u"rscp/operride/TCPDB", {many, {}}}});
  c = BuildDefault();
  EXPECT_EQ(c->TCPDB_count, 60);
  EXPECT_EQ(c->db_cp_count, 50);
  long errors = 0, warnings = 0;
  rscpqc_quality_check(nullptr, nullptr, nullptr, nullptr, nullptr, &errors, &warnings);
  EXPECT_EQ(warnings, 2) << "TCPDB_count and db_cp_count above 30";
}

// --- TCP0I -------------------------------------------------------------------------------

std::u16string Tcp0i(const std::u16string& name, const std::u16string& value, WEQ_UC active = u'X',
                     const std::u16string& stamp = u"20100105120000") {
  std::u16string r(RSCP_TCP0I_RECORD, u' ');
  r.replace(0, name.size(), name);
  r[RSCP_TCP0I_ACTIVE] = active;
  r.replace(RSCP_TCP0I_STAMP, stamp.size(), stamp);
  r.replace(RSCP_TCP0I_VALUE, value.size(), value);
  return r;
}

TEST_F(Steps, Tcp0iOptionRows) {
  struct Case {
    std::u16string name, value;
    WEQ_UC active;
    int32_t rscpCCC_t::*field;
    int32_t want;
    std::u16string report;
  } cases[] = {
      {u"utf8gui", u"Yes", u'X', &rscpCCC_t::utf8gui_allow, 0, u""},
      {u"utf8gui", u"user", u'X', &rscpCCC_t::utf8gui_allow, 1, u""},
      {u"utf8gui", u"N", u'X', &rscpCCC_t::utf8gui_allow, 2, u""},
      {u"utf8gui", u"enforce", u'X', &rscpCCC_t::utf8gui_allow, 3, u""},
      {u"utf8gui", u"A", u'X', &rscpCCC_t::utf8gui_allow, 4, u""},
      {u"utf8gui", u"x", u'X', &rscpCCC_t::utf8gui_allow, 9, u"TCP0I(utf8gui) not valid"},
      {u"utf8gui", u"n", u' ', &rscpCCC_t::utf8gui_allow, 9, u""},
      {u"rtlinltr", u"e", u'X', &rscpCCC_t::rtlinltr_allow, 1, u""},
      {u"rtlinltr", u"D", u'X', &rscpCCC_t::rtlinltr_allow, 0, u""},
      {u"rtlinltr", u"q", u'X', &rscpCCC_t::rtlinltr_allow, 9, u"TCP0I(rtlinltr) not valid"},
      {u"bidi_ctrl_filter", u"E", u'X', &rscpCCC_t::bidi_ctrl_filter, 1, u""},
      {u"bidi_ctrl_filter", u"", u'X', &rscpCCC_t::bidi_ctrl_filter, 9, u"TCP0I(bidi_ctrl_filter) not valid"},
      {u"print_indic_digits", u"enable", u'X', &rscpCCC_t::indic_digits, 1, u""},
      {u"print_indic_digits", u"x", u'X', &rscpCCC_t::indic_digits, 9, u"TCP0I(print_indic_digits) not valid"},
      {u"cfont_cache_version", u"12abc", u'X', &rscpCCC_t::cfont_cache_version, 12, u""},
      {u"cfont_cache_version", u"-3", u'X', &rscpCCC_t::cfont_cache_version, -3, u"TCP0I(cfont_cache_version) not valid"},
      {u"no_such_option", u"y", u'X', &rscpCCC_t::utf8gui_allow, 9, u""},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(ToUtf8(k.name) + "=" + ToUtf8(k.value));
    rscpCCC_t* c = BuildDefault();
    c->*k.field = 9;
    rscpeClearThrErrors();
    EXPECT_EQ(load_TCP0I_row(Tcp0i(k.name, k.value, k.active).c_str()), 0);
    EXPECT_EQ(c->*k.field, k.want);
    EXPECT_EQ(rscpeg__get_thr_errors()->count == 0 ? u"" : Text(0), k.report);
    if (!k.report.empty()) {
      EXPECT_EQ(Last().code, u"CP9");
    }
  }
}

TEST_F(Steps, Tcp0iTextRows) {
  rscpCCC_t* c = BuildDefault();
  EXPECT_EQ(load_TCP0I_row(Tcp0i(u"legacy_cp", u"1100xyz").c_str()), 0);
  EXPECT_EQ(Field(c->legacy_cp, 4), u"1100");
  const uint32_t first = c->first_t7;
  EXPECT_EQ(load_TCP0I_row(Tcp0i(u"processed_languages", u"DEJ  ").c_str()), 0);
  EXPECT_EQ(c->processedLangKind, 2u);
  EXPECT_EQ(c->processedLangLength, 3u);
  EXPECT_EQ(c->processedLangOffset % 4, 0u);
  EXPECT_LT(c->processedLangOffset, first);
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(base() + c->processedLangOffset), 3), u"DEJ");
  // Too long for the area: reported, nothing recorded.
  c = Build(400000, 208);
  rscpSetState(RSCP_STATE_INIT);
  EXPECT_EQ(load_TCP0I_row(Tcp0i(u"processed_languages", std::u16string(200, u'L')).c_str()), RSCPETOOLONG);
  EXPECT_EQ(Last().code, u"F1A");
  EXPECT_EQ(Last().param1, u"cache07&208&?&");
  EXPECT_EQ(c->processedLangKind, 0u);
}

TEST_F(Steps, LegacyCallersAreDroppedByTheEmptyDestinationList) {
  rscpCCC_t* c = BuildDefault();
  tovtest::CaptureFd err;
  load_TCP0I_row(Tcp0i(u"rfcMDMPinc_ABC", u"DEST1").c_str());
  load_TCP0I_row(Tcp0i(u"rfcMDMPinc_ABC", u"DEST2", u'X', u"20200101000000").c_str());
  load_TCP0I_row(Tcp0i(u"rfcMDMPinc_", u"DEST3").c_str());
  load_TCP0I_row(Tcp0i(u"rfcMDMPinc_XYZ", u"").c_str());
  load_TCP0I_row(Tcp0i(u"rfcMDMPinc_QQ", u"DEST4").c_str());
  EXPECT_EQ(consolidate_TCP0I_RFCDES(), 0);
  const std::string log = err.Take();
  EXPECT_NE(log.find("TCP0I legacy caller. duplicate for sid `ABC' with timestmp=`20200101000000': omit!"), std::string::npos)
      << log;
  EXPECT_NE(log.find("TCP0I legacy caller. sid(0) or destination(5) empty: omit."), std::string::npos);
  EXPECT_NE(log.find("TCP0I legacy caller. sid(3) or destination(0) empty: omit."), std::string::npos);
  // Newest first: QQ before ABC.
  const size_t qq = log.find("TCP0I/RFCDES consolidation. TCP0I: destination `DEST4' for `QQ' not in RFCDES: omit.");
  const size_t abc = log.find("TCP0I/RFCDES consolidation. TCP0I: destination `DEST1' for `ABC' not in RFCDES: omit.");
  ASSERT_NE(qq, std::string::npos) << log;
  ASSERT_NE(abc, std::string::npos) << log;
  EXPECT_LT(qq, abc);
  EXPECT_EQ(log.find("Final Destinations"), std::string::npos);
  EXPECT_EQ(c->legacyListLength, 0u);
  EXPECT_EQ(c->legacyListOffset, 0u);
  EXPECT_EQ(rscpILegacyCallersSeen(), 5);
  // Without option 25 the rows are not taken.
  rscpSetState(RSCP_STATE_NONE);
  ASSERT_EQ(rscpso_set_option(25, 0), 0);
  BuildDefault();
  tovtest::CaptureFd err2;
  load_TCP0I_row(Tcp0i(u"rfcMDMPinc_ABC", u"DEST1").c_str());
  EXPECT_EQ(consolidate_TCP0I_RFCDES(), 0);
  EXPECT_EQ(err2.Take(), "");
}

TEST_F(Steps, LegacyCodePageFromTheEnvironment) {
  const tovtest::ChildResult r = tovtest::RunInChild([this] {
    setenv("SNC_LEGACY_WEQ_CP", "8000", 1);
    rscpCCC_t* c = BuildDefault();
    return Field(c->legacy_cp, 4) == u"8000" && rscpGetThrCtx()->tableReads[10] == 1 ? 0 : 1;
  });
  EXPECT_EQ(r.exit_code, 0) << r.err;
  const tovtest::ChildResult quiet = tovtest::RunInChild([this] {
    unsetenv("SNC_LEGACY_WEQ_CP");
    rscpeSetVerbose(1);
    BuildDefault();
    return 0;
  });
  EXPECT_NE(quiet.err.find("read_TCP0I was called and returned OK without doing anything.\n"), std::string::npos);
  EXPECT_NE(quiet.err.find("read_RFCDES was called and returned OK without doing anything.\n"), std::string::npos);
}

TEST_F(Steps, DatabaseCodePageFunctionIsRecorded) {
  EXPECT_EQ(rscpIGetDbCpFunc(), nullptr);
  auto f = [](rscpCp_t*, int, int* n) -> rscpRc_t {
    *n = 7;
    return 0;
  };
  set_db_cp_func(f);
  int n = 0;
  ASSERT_NE(rscpIGetDbCpFunc(), nullptr);
  EXPECT_EQ(rscpIGetDbCpFunc()(nullptr, 0, &n), 0);
  EXPECT_EQ(n, 7);
}

// --- Options -------------------------------------------------------------------------------

TEST_F(Steps, OptionsBeforeTheStart) {
  ASSERT_EQ(rscpGetState(), RSCP_STATE_NONE);
  long v = -1;
  struct Get {
    int option;
    int rc;
    long value;
  } defaults[] = {{7, 0, 1}, {8, 0, 1}, {9, 0, 1}, {10, 0, 0}, {11, 0, 1}, {14, 0, 1}, {16, 0, 0},
                  {17, 0, 0}, {20, 0, 1}, {21, 0, 1}, {22, 0, 0}, {23, 0, 1}, {25, 0, 1}, {26, 0, 0},
                  {27, 0, 1}, {1, 1, -1}, {2, 1, -1}, {5, 1, -1}, {15, 1, -1}};
  for (const Get& g : defaults) {
    v = -1;
    EXPECT_EQ(rscpgo_get_option(g.option, &v), g.rc) << g.option;
    EXPECT_EQ(v, g.value) << g.option;
  }
  // Option 10 is never switched on.
  rscpeClearThrErrors();
  EXPECT_EQ(rscpso_set_option(10, 1), RSCPECALL);
  EXPECT_EQ(Last().code, u"CP6");
  EXPECT_EQ(Last().location, 117);
  ASSERT_EQ(rscpgo_get_option(10, &v), 0);
  EXPECT_EQ(v, 0);
  // 7 switches the database switches together.
  EXPECT_EQ(rscpso_set_option(7, 0), 0);
  for (int n : {7, 8, 9, 11, 12, 13, 14}) {
    rscpgo_get_option(n, &v);
    EXPECT_EQ(v, 0) << n;
  }
  EXPECT_EQ(rscpso_set_option(7, 5), 0);
  rscpgo_get_option(12, &v);
  EXPECT_EQ(v, 1);
  // Header options have nothing to change yet.
  EXPECT_EQ(rscpso_set_option(2, 3), 0);
  EXPECT_EQ(rscpgo_get_option(2, &v), 1);
  // Verbosity, protect and the print options work in every state.
  EXPECT_EQ(rscpso_set_option(19, 1), 0);
  EXPECT_EQ(rscpeGetVerbose(), 2);
  EXPECT_EQ(rscpso_set_option(19, 0), 0);
  EXPECT_EQ(rscpeGetVerbose(), 1);
  EXPECT_EQ(rscpso_set_option(18, 0), 0);
  EXPECT_EQ(rscpeGetVerbose(), 0);
  EXPECT_EQ(rscpso_set_option(18, 7), 0);
  EXPECT_EQ(rscpeGetVerbose(), 1);
  EXPECT_EQ(rscpso_set_option(20, 2), 0);
  EXPECT_EQ(rscpIProtectOption(), 0);
  EXPECT_EQ(rscpso_set_option(21, 2), 0);
  EXPECT_EQ(rscpeGetPrintStyle(), 2);
}

TEST_F(Steps, OptionsOfAnInitialisedConverter) {
  rscpCCC_t* c = BuildDefault();
  long v = 0;
  struct Set {
    int option;
    long value;
    int rc;
    std::u16string code;
    int location;
  } sets[] = {
      {1, 1, 0, u"", 0},          {2, 0, 0, u"", 0},           {16, 77, 0, u"", 0},
      {17, 78, 0, u"", 0},        {5, 2, 0, u"", 0},           {6, 1, 0, u"", 0},
      {24, 815, 0, u"", 0},       {4, 4, RSCPEINTERN, u"CP9", 67},
      {24, 10000, RSCPEINVAL, u"CP6", 146}, {24, -1, RSCPEINVAL, u"CP6", 146},
      {25, 1, RSCPECALL, u"CP6", 144},      {15, 1, RSCPEINTERN, u"F44", 60},
      {8, 0, RSCPECALL, u"CP6", 103},       {10, 1, RSCPECALL, u"CP6", 118},
  };
  for (const Set& s : sets) {
    SCOPED_TRACE(s.option);
    rscpeClearThrErrors();
    EXPECT_EQ(rscpso_set_option(s.option, s.value), s.rc);
    EXPECT_EQ(Last().code, s.code);
    EXPECT_EQ(Last().location, s.location);
  }
  EXPECT_EQ(c->mbc_in_sbcs, 1);
  EXPECT_EQ(c->mbc_copy, 0);
  EXPECT_EQ(c->option16 + c->option17, 155u);
  EXPECT_EQ(c->verbose, 2);
  EXPECT_EQ(c->err_trace, 1);
  EXPECT_EQ(Field(c->legacy_cp, 4), u"0815") << "out-of-range values change nothing";
  struct Get {
    int option;
    long value;
  } gets[] = {{1, 1}, {2, 0}, {3, 600000}, {4, 2}, {5, 2}, {6, 1}, {16, 77}, {17, 78}, {8, 0}, {7, 0}, {9, 1}};
  for (const Get& g : gets) {
    EXPECT_EQ(rscpgo_get_option(g.option, &v), 0) << g.option;
    EXPECT_EQ(v, g.value) << g.option;
  }
  EXPECT_EQ(rscpgo_get_option(24, &v), 1);
  // Option 25 after the start: the parameter names it, nothing changes.
  rscpeClearThrErrors();
  rscpso_set_option(25, 0);
  EXPECT_EQ(Last().param1, u"option[25] = 0");
  rscpgo_get_option(25, &v);
  EXPECT_EQ(v, 1);
  // Option 3 marks the cache for rebuilding with its reason.
  const uint32_t version = c->reorg_version;
  EXPECT_EQ(rscpso_set_option(3, 300000), 0);
  EXPECT_EQ(c->cache07, 300000u);
  EXPECT_EQ(c->reorg_done, 0);
  EXPECT_EQ(c->reorg_version, version + 1);
  EXPECT_EQ(Field(c->reorg_reason, 36), Pad(u"Size 'cache07' changed", 36));
}

TEST_F(Steps, OptionsInTheFailureStates) {
  for (int32_t state : {RSCP_STATE_STARTING, RSCP_STATE_DAMAGED, RSCP_STATE_WRONG_VERSION}) {
    SCOPED_TRACE(state);
    rscpResetProcess();
    rscpCCC_t* c = BuildDefault();
    rscpSetState(state);
    long v = 0;
    EXPECT_EQ(rscpgo_get_option(2, &v), 1);
    rscpeClearThrErrors();
    EXPECT_EQ(rscpso_set_option(15, 0), RSCPEINTERN);
    EXPECT_EQ(Last().location, 142);
    EXPECT_EQ(rscpso_set_option(26, 0), RSCPECALL);
    EXPECT_EQ(Last().location, 145);
    EXPECT_EQ(rscpso_set_option(6, 2), 0);
    // Switching a database switch off tries again without it: the tables
    // are marked for rebuilding, which only a cache of the wrong version
    // allows.
    const uint32_t version = c->reorg_version;
    const rscpRc_t rc = rscpso_set_option(9, 0);
    rscpgo_get_option(9, &v);
    EXPECT_EQ(v, 0);
    if (state == RSCP_STATE_WRONG_VERSION) {
      EXPECT_EQ(rc, RSCPECALL);
      EXPECT_EQ(c->reorg_version, version + 1);
      EXPECT_EQ(Field(c->reorg_reason, 36), Pad(u"Trying again without TCP01,.. from database", 36));
    } else {
      EXPECT_EQ(rc, RSCPEINTERN);
      EXPECT_EQ(Last().code, u"F44");
      EXPECT_EQ(Last().param1, FromUtf8(std::to_string(state)) + u"&");
    }
  }
}

// --- Invalidation ----------------------------------------------------------------------------

TEST_F(Steps, InvalidationByState) {
  EXPECT_EQ(rscpict3_invalidate_convert_tables(nullptr, nullptr, u"x", 1, -1), 0);
  rscpCCC_t* c = BuildDefault();
  const uint32_t version = c->reorg_version;
  rscpeSetVerbose(1);
  tovtest::CaptureFd err;
  EXPECT_EQ(rscpInvalidateLocked(nullptr, nullptr, u"because of a test and more", 20, -1), 0);
  const std::string log = err.Take();
  EXPECT_EQ(c->reorg_done, 0);
  EXPECT_EQ(c->reorg_version, version + 1);
  EXPECT_EQ(rscpGetLastVersion(), version + 1);
  EXPECT_EQ(c->pidInval, static_cast<uint32_t>(getpid()));
  EXPECT_EQ(Field(c->reorg_reason, 36), Pad(u"because of a test an", 36));
  size_t lines = 0;
  for (size_t p = 0; (p = log.find("rscpf1t__flush_one_table: I guess db_ntab would have answered", p)) != std::string::npos; ++p)
    ++lines;
  EXPECT_EQ(lines, 14u);
  EXPECT_NE(log.find("\"unbuffered\" for table TCPSRULE\n"), std::string::npos);
  EXPECT_EQ(rscpict3_invalidate_convert_tables(nullptr, nullptr, nullptr, 0, -1), 0);
  EXPECT_EQ(Field(c->reorg_reason, 36), Pad(u"rscpict3_invalidate_convert_tables", 36));
  for (int32_t state : {RSCP_STATE_STARTING, RSCP_STATE_DAMAGED}) {
    rscpSetState(state);
    rscpeClearThrErrors();
    EXPECT_EQ(rscpict3_invalidate_convert_tables(nullptr, nullptr, nullptr, 0, -1), RSCPEINTERN);
    EXPECT_EQ(Last().code, u"F44");
    EXPECT_EQ(Last().param1, FromUtf8(std::to_string(state)) + u"&");
  }
}

// --- Status check ----------------------------------------------------------------------------

struct Lines {
  std::vector<std::u16string> errors, warnings;
};
void Collect(const WEQ_UC* line, int length, void* arg) {
  EXPECT_LE(length, 100);
  static_cast<std::vector<std::u16string>*>(arg)->emplace_back(line, static_cast<size_t>(length));
}
Lines Check(int* rc = nullptr) {
  Lines l;
  long e = -1, w = -1;
  const int r = rscpqc_quality_check(Collect, &l.errors, Collect, &l.warnings, nullptr, &e, &w);
  if (rc != nullptr) *rc = r;
  EXPECT_EQ(e, static_cast<long>(l.errors.size()) - (r == 1 ? 1 : 0));
  EXPECT_EQ(w, static_cast<long>(l.warnings.size()));
  return l;
}

TEST_F(Steps, StatusCheckFindingsByGroup) {
  struct Case {
    const char* what;
    void (*corrupt)(rscpCCC_t*);
    std::vector<std::u16string> errors, warnings;
  } cases[] = {
      {"half cooked", [](rscpCCC_t* c) { c->version = 10911172; }, {}, {u"CCC version is in half cooked state: 10911172"}},
      {"three-quarter", [](rscpCCC_t* c) { c->version = 20911172; }, {}, {u"CCC version is in three-quarter cooked state: 20911172"}},
      {"bad version", [](rscpCCC_t* c) { c->version = 255; }, {u"CCC version is bad: 255 = 0xFF"}, {}},
      {"dates", [](rscpCCC_t* c) { c->createdate[4] = u'2'; c->lastreorgdate[15] = u'1'; },
       {u"CCC createdate damaged: " + std::u16string(1, u'?'), u"CCC lastreorgdate damaged: "}, {}},
      {"reorganisation",
       [](rscpCCC_t* c) {
         c->reorg_version = 0;
         c->reorg_done = 0;
         c->was_overflow = 1;
         for (auto& u : c->reorg_reason) u = u' ';
       },
       {},
       {u"CCC reorg_version too small: 0", u"CCC reorg_done: FALSE: Still waiting for re-org.",
        u"CCC reorg_reason empty? \"" + std::u16string(36, u' ') + u"\"", u"CCC was_overflow: TRUE: Still waiting for re-org."}},
      {"damaged reason", [](rscpCCC_t* c) { c->reorg_reason[0] = 7; c->reorg_reason[1] = u'A'; },
       {u"CCC reorg_reason damaged: "}, {}},
      {"cache07", [](rscpCCC_t* c) { c->cache07 = 3000001; }, {}, {u"CCC cache07 too large: 3000001"}},
      {"T1 bounds", [](rscpCCC_t* c) { c->first_t1 += 8; },
       {u"CCC: first_t1 not alligned for T1:", u"CCC: first_t1 > end_t1:"}, {}},
      {"T2 bounds", [](rscpCCC_t* c) { c->first_t7 = c->end_t2 - 16; }, {u"CCC: end_t2 > first_t7:"}, {}},
      {"T3 numbers", [](rscpCCC_t* c) { c->frag_t3 = 3; c->free_t3 = 1; },
       {}, {u"CCC: frag_t3 not in T1 area:", u"CCC: free_t3 not in T1 area:"}},
      {"block counts", [](rscpCCC_t* c) { c->noof_t1 = 6000; c->noof_t3 = 20000; },
       {u"CCC: noof_t1 too large: 6000", u"CCC: noof_t3 too large: 20000"}, {}},
      {"option values",
       [](rscpCCC_t* c) {
         c->mbc_copy = 4;
         c->verbose = -1;
         c->err_trace = 3;
         c->mb_cp_count = 31;
         c->loaded_f1_count = 71;
       },
       {},
       {u"CCC: mbc_copy strange value:         4 (0x4)", u"CCC: verbose strange value:        -1 (0xFFFFFFFFFFFFFFFF)",
        u"CCC: err_trace strange value:         3 (0x3)", u"CCC: mb_cp_count strange value:        31 (0x1F)",
        u"CCC: loaded_f1_count strange value:        71 (0x47)"}},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    rscpCCC_t* c = BuildDefault();
    k.corrupt(c);
    const Lines l = Check();
    ASSERT_EQ(l.errors.size(), k.errors.size()) << ToUtf8(l.errors.empty() ? u"" : l.errors[0]);
    ASSERT_EQ(l.warnings.size(), k.warnings.size()) << ToUtf8(l.warnings.empty() ? u"" : l.warnings[0]);
    for (size_t i = 0; i < k.errors.size(); ++i) {
      const std::u16string& want = k.errors[i];
      const std::u16string prefix = want.back() == u'?' ? want.substr(0, want.size() - 1) : want;
      EXPECT_EQ(l.errors[i].substr(0, prefix.size()), prefix) << ToUtf8(l.errors[i]);
    }
    for (size_t i = 0; i < k.warnings.size(); ++i)
      EXPECT_EQ(l.warnings[i].substr(0, k.warnings[i].size()), k.warnings[i]) << ToUtf8(l.warnings[i]);
  }
}

TEST_F(Steps, StatusCheckOfSizes) {
  Build(300000, 30000);
  Lines l = Check();
  EXPECT_TRUE(l.errors.empty());
  EXPECT_EQ(l.warnings, std::vector<std::u16string>{u"CCC length small: 300000"});
  rscpCCC_t* c = cache();
  c->length = 100000;
  l = Check();
  EXPECT_EQ(l.warnings.front(), u"CCC length small: 100000");
  EXPECT_EQ(l.errors.front(), u"CCC length too small: 100000");
  c->length = 16777217;
  l = Check();
  EXPECT_EQ(l.errors, std::vector<std::u16string>{u"CCC length too large: 16777217"});
}

TEST_F(Steps, StatusCheckWithoutAUsableCache) {
  int rc = 0;
  rscpSetCache(nullptr);
  Lines l = Check(&rc);
  EXPECT_EQ(rc, 1);
  ASSERT_EQ(l.errors.size(), 2u);
  EXPECT_EQ(l.errors[0].substr(0, 29), u"CCC cache is not allocated!  ");
  EXPECT_EQ(l.errors[1], u"rscpqc_quality_check aborted.");
  BuildDefault();
  rscpSetCache(reinterpret_cast<rscpCCC_t*>(base() + 4));
  l = Check(&rc);
  EXPECT_EQ(rc, 1);
  EXPECT_EQ(l.errors[0].substr(0, 25), u"rscpmp is not alligned!  ");
  rscpSetCache(cache());
}

TEST(CheckDate16, DigitsByPosition) {
  struct Case {
    const char16_t* text;
    bool ok;
  } cases[] = {{u"2010010512000000", true},  {u"2999193929595900", true},  {u"0000000000000000", true},
               {u"3010010512000000", false}, {u"2010210512000000", false}, {u"2010014512000000", false},
               {u"2010010532000000", false}, {u"2010010512600000", false}, {u"2010010512006000", false},
               {u"2010010512000010", false}, {u"2010010512000001", false}, {u"201001051200000 ", false},
               {u"20100105120000:0", false}};
  for (const Case& k : cases) EXPECT_EQ(rscpCheckDate16(k.text), k.ok) << tovtest::Show(k.text);
  EXPECT_FALSE(rscpCheckDate16(nullptr));
}

}  // namespace
}  // namespace rscptest
