// On-demand loading of the built-in code pages: every page in all eight
// variants, the variants' relations, the edge cases of the loaders and the
// failures of the test data set.
#include <gtest/gtest.h>

#include <unistd.h>

#include <map>
#include <set>

#include "rscpld_codec.h"

#include "rscpf5_tset.h"
#include "rscpf5_walker.h"
#include "rscpld_fixture.h"

namespace rscptest {
namespace {

using rscpf5walk::Bytes;

class Load : public LoadTest {};

std::vector<std::string> LoadablePages() {
  std::vector<std::string> v;
  for (const auto& row : rscpf5walk::Catalogue(rscpdat::BuiltinData()))
    if (row.segid()[0] != ' ') v.push_back(row.cp());
  return v;
}

// Each page's first loads report nothing: no entry on the thread's stack,
// no line on standard error (where the converter writes its reports).
TEST_F(Load, EveryPageLoadsAllEightVariantsIntoAFreshDefaultCache) {
  for (const std::string& cp : LoadablePages()) {
    SCOPED_TRACE(cp);
    BuildDefault();
    rscpCpEntry_t* e = Entry(cp.c_str());
    ASSERT_NE(e, nullptr);
    ::testing::internal::CaptureStderr();
    for (int s = 0; s < 4; ++s) {
      rscpeClearThrErrors();
      EXPECT_EQ(rscplcp__load_codepage(kInKinds[s], e), 0) << "input slot " << s << " " << tovtest::ToUtf8(Text(0));
      EXPECT_NE(e->in[s].root, 0) << s;
      EXPECT_TRUE(Codes().empty()) << "input slot " << s << " " << tovtest::ToUtf8(Text(0));
      rscpeClearThrErrors();
      EXPECT_EQ(rscplcp__load_codepage(kOutKinds[s], e), 0) << "output slot " << s << " " << tovtest::ToUtf8(Text(0));
      EXPECT_NE(e->out[s].t2, 0u) << s;
      EXPECT_TRUE(Codes().empty()) << "output slot " << s << " " << tovtest::ToUtf8(Text(0));
    }
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.substr(0, 200), "");
    EXPECT_EQ(cache()->was_overflow, 0);
  }
}


// Every byte that the T1 blocks reachable from a root hold, to show that a
// derivation leaves the variant it copies untouched.
std::vector<uint8_t> Reachable(const unsigned char* cache, uint32_t root) {
  std::vector<uint8_t> out;
  std::set<uint32_t> seen;
  std::vector<uint32_t> todo{root};
  while (!todo.empty()) {
    const uint32_t b = todo.back();
    todo.pop_back();
    if (!seen.insert(b).second) continue;
    const unsigned char* p = cache + b * 1032u;
    out.insert(out.end(), p, p + 1032);
    for (int i = 0; i < 258; ++i) {
      uint32_t w;
      memcpy(&w, p + 4 * i, 4);
      if ((w >> 29) == 2) todo.push_back(w & 0xFFFFFF);
    }
  }
  return out;
}

TEST_F(Load, KindTenOnAnUnloadedPageMakesSlotsZeroTwoAndThree) {
  BuildDefault();
  rscpCpEntry_t* e = Entry("8000");
  ASSERT_EQ(rscplcp__load_codepage(10, e), 0);
  EXPECT_NE(e->in[0].root, 0);
  EXPECT_EQ(e->in[1].root, 0) << "slot 1 stays empty";
  EXPECT_NE(e->in[2].root, 0);
  EXPECT_NE(e->in[3].root, 0);
  EXPECT_EQ(e->out[0].t2, 0u) << "the other direction is not touched";
  // The counts of the made variants add up to the blocks taken.
  EXPECT_EQ(e->in[0].noofT1 + e->in[2].noofT1 + e->in[3].noofT1, cache()->noof_t1);
  EXPECT_GE(e->in[3].noofChars, e->in[2].noofChars);
  EXPECT_GE(e->in[2].noofChars, e->in[0].noofChars);
}

TEST_F(Load, DerivingCopiesOnWriteAndLeavesTheBaseUntouched) {
  for (const char* cp : {"1100", "8000", "8450", "8200"}) {
    SCOPED_TRACE(cp);
    BuildDefault();
    rscpCpEntry_t* e = Entry(cp);
    ASSERT_EQ(rscplcp__load_codepage(5, e), 0);
    const auto before = Reachable(base(), e->in[0].root);
    const uint32_t t1Before = cache()->noof_t1;
    ASSERT_EQ(rscplcp__load_codepage(6, e), 0);
    EXPECT_EQ(Reachable(base(), e->in[0].root), before);
    EXPECT_NE(e->in[1].root, e->in[0].root);
    EXPECT_EQ(cache()->noof_t1 - t1Before, e->in[1].noofT1) << "only the changed paths were copied";
    EXPECT_LT(e->in[1].noofT1, e->in[0].noofT1 + 1) << "most blocks are shared";
    // Control codes: in the derived variant only.
    const uint32_t start1 = e->in[1].root, start0 = e->in[0].root;
    if (std::string(cp) != "8200") {
      EXPECT_EQ(WalkIn(base(), start0, {0x0A}).kind, InHit::kNone);
      EXPECT_EQ(WalkIn(base(), start1, {0x0A}), (InHit{InHit::kChar, 0x0A, 0, 1}));
    }
  }
}

TEST_F(Load, OnlyMissingVariantsAreDerived) {
  BuildDefault();
  rscpCpEntry_t* e = Entry("8300");
  ASSERT_EQ(rscplcp__load_codepage(9, e), 0);
  const uint16_t root2 = e->in[2].root;
  const uint32_t end = cache()->end_t1;
  ASSERT_EQ(rscplcp__load_codepage(9, e), 0);
  EXPECT_EQ(cache()->end_t1, end) << "nothing made again";
  ASSERT_EQ(rscplcp__load_codepage(10, e), 0);
  EXPECT_EQ(e->in[2].root, root2);
  EXPECT_EQ(cache()->end_t1 - end, e->in[3].noofT1 * 1032u);
  ASSERT_EQ(rscplcp__load_codepage(26, e), 0);
  const uint32_t t2 = e->out[2].t2, first = cache()->first_t2;
  ASSERT_EQ(rscplcp__load_codepage(25, e), 0);
  EXPECT_EQ(e->out[2].t2, t2);
  EXPECT_EQ(cache()->first_t2, first);
}

// A page without contents (or one whose load fails) leaves nothing behind,
// however often it is asked for.
TEST_F(Load, AFailedBaseLoadIsRolledBackWhole) {
  BuildDefault();
  rscpCpEntry_t* e = Entry("0180");
  ASSERT_NE(e, nullptr);
  ASSERT_EQ(e->sourceOfCodePage, u'1');
  const uint32_t end = cache()->end_t1, first = cache()->first_t2, n1 = cache()->noof_t1, n2 = cache()->noof_t2;
  for (int round = 0; round < 50; ++round) {
    for (int kind : {5, 6, 10, 21, 22, 26}) {
      rscpeClearThrErrors();
      tovtest::CaptureFd err;
      ASSERT_EQ(rscplcp__load_codepage(kind, e), RSCPEINTERN);
      // Both reports reach the system log, the missing database first.
      const std::string log = err.Take();
      const size_t cpf = log.find("CPF"), cpq = log.find("CPQ");
      ASSERT_NE(cpf, std::string::npos) << log;
      ASSERT_NE(cpq, std::string::npos) << log;
      EXPECT_LT(cpf, cpq);
      EXPECT_EQ(Last().code, u"CPQ");
      EXPECT_EQ(Text(0), u"code page is empty");
    }
  }
  EXPECT_EQ(cache()->end_t1, end);
  EXPECT_EQ(cache()->first_t2, first);
  EXPECT_EQ(cache()->noof_t1, n1);
  EXPECT_EQ(cache()->noof_t2, n2);
  EXPECT_EQ(e->in[0].root, 0);
  EXPECT_EQ(e->out[0].t2, 0u);
  EXPECT_EQ(cache()->was_overflow, 0);
}

// A cache that holds slots 0 and 2 exactly: deriving slot 3 overflows and
// takes back only what it made.
TEST_F(Load, AnOverflowWhileDerivingSlotThreeKeepsSlotTwo) {
  const long c07 = 200000;
  BuildDefault(2000000, c07);
  ASSERT_EQ(rscplcp__load_codepage(9, Entry("8450")), 0);
  const long end = cache()->end_t1;
  BuildDefault(end + c07 + 512, c07);
  rscpCpEntry_t* e = Entry("8450");
  ASSERT_EQ(rscplcp__load_codepage(9, e), 0);
  ASSERT_EQ(cache()->end_t1, static_cast<uint32_t>(end));
  const auto slot2 = Reachable(base(), e->in[2].root);
  rscpeClearThrErrors();
  EXPECT_EQ(rscplcp__load_codepage(10, e), RSCPETOOLONG);
  EXPECT_EQ(Last().code, u"F1A");
  EXPECT_NE(e->in[2].root, 0);
  EXPECT_EQ(e->in[3].root, 0);
  EXPECT_EQ(cache()->end_t1, static_cast<uint32_t>(end));
  EXPECT_EQ(Reachable(base(), e->in[2].root), slot2);
  EXPECT_EQ(cache()->was_overflow, 1);
  // Once the cache overflowed, further loads fail until it is rebuilt.
  EXPECT_EQ(rscplcp__load_codepage(5, Entry("1100")), RSCPETOOLONG);
  EXPECT_EQ(Entry("1100")->in[0].root, 0);
}

// Mode 9 (own characters of the base segments) adds the test page's own
// characters and icons; the base variant has none of them.
TEST_F(Load, OwnCharactersOnlyInTheirVariants) {
  rscpf5test::UseTestData data;
  // The long codes of up to 126 bytes take a level per byte as input: the
  // largest cache holds them (but not input slot 3, where the control code
  // ESC, their first byte, would be filled in below every one of them).
  BuildDefault(RSCP_CACHESIZE_MAX, RSCP_CACHESIZE_MAX / 10 / 16 * 16);
  rscpCpEntry_t* e = Entry("9000");
  ASSERT_NE(e, nullptr);
  for (int kind : {5, 9, 21, 25, 26}) {
    rscpeClearThrErrors();
    ASSERT_EQ(rscplcp__load_codepage(kind, e), 0) << kind << " " << tovtest::ToUtf8(Text(0));
  }
  const Bytes own{0x1B, 0x7E};
  EXPECT_EQ(WalkIn(base(), e->in[0].root, own).kind, InHit::kNone);
  EXPECT_EQ(WalkIn(base(), e->in[2].root, own), (InHit{InHit::kChar, 0x110000, 0, 2}));
  EXPECT_EQ(WalkOut(base(), e->out[0].t2, 0x110000).code, Bytes{});
  EXPECT_EQ(WalkOut(base(), e->out[2].t2, 0x110000).code, own);
  EXPECT_EQ(WalkOut(base(), e->out[3].t2, 0x110000).code, own);
  // The long codes of 5 to 126 bytes come back from the long-code area.
  for (int n : {5, 64, 126}) {
    const uint32_t v = 1114624 + static_cast<uint32_t>(n - 5);
    Bytes code{0x1B, '['};
    while (code.size() < static_cast<size_t>(n)) {
      for (char ch : std::to_string(n)) code.push_back(static_cast<uint8_t>(ch));
    }
    code.resize(static_cast<size_t>(n));
    EXPECT_EQ(WalkOut(base(), e->out[2].t2, v).code, code) << n;
    EXPECT_EQ(WalkIn(base(), e->in[2].root, code), (InHit{InHit::kChar, v, 0, n}));
  }
  // Icon rules: numbers from 0x110100, in the variants with own characters.
  for (uint32_t icon : {0x110100u, 0x110100u + 3843}) {
    const int c1 = static_cast<int>(icon - 0x110100) / 62, c2 = static_cast<int>(icon - 0x110100) % 62;
    const Bytes form{0xF8, 0xFD, 0, rscpldtest::IconChar(c1), 0, rscpldtest::IconChar(c2)};
    EXPECT_EQ(WalkOut(base(), e->out[0].t2, icon).rule, -1);
    EXPECT_EQ(WalkOut(base(), e->out[2].t2, icon).rule >= 40, true) << std::hex << icon;
    const InHit h = WalkIn(base(), e->in[2].root, form);
    ASSERT_EQ(h.kind, InHit::kRule);
    EXPECT_EQ(rscpldtest::DecodeRule(static_cast<int>(h.value), form), icon);
  }
}

// The faults that the test data set carries on purpose, each with its report.
TEST_F(Load, EachFaultOfTheTestDataSet) {
  rscpf5test::UseTestData data;
  struct Case {
    const char* cp;
    int rc;
    std::u16string code;
    std::u16string text;
  } cases[] = {
      {"9001", RSCPEINTERN, u"CPN", u"Illegal TCPSEG-KIND in F5"},
      {"9008", RSCPEINTERN, u"CPN", u"Illegal TCPSEG-KIND in F5"},
      {"9003", RSCPEINTERN, u"CPE", u"maximum recursion depth (10) for codepage inclusions exceeded"},
      {"9004", RSCPENOCONV, u"CPD", u"in segment \"NOSUC\"not in F5 memory"},
      {"9005", RSCPENOCONV, u"F5L", u"STRT-BACK-rule: segment name too long"},
      {"9009", RSCPEINTERN, u"CPQ", u"code page is empty"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.cp);
    BuildDefault();
    rscpCpEntry_t* e = Entry(k.cp);
    ASSERT_NE(e, nullptr);
    const uint32_t end = cache()->end_t1, first = cache()->first_t2;
    for (int kind : {5, 21}) {
      rscpeClearThrErrors();
      EXPECT_EQ(rscplcp__load_codepage(kind, e), k.rc);
      const rscpErrStack_t* st = rscpeg__get_thr_errors();
      const int last = std::min<int>(st->count, RSCP_ERR_ENTRIES) - 1;
      ASSERT_GE(last, 0);
      EXPECT_EQ(std::u16string(st->entries[last].msgCode, 3), k.code);
      EXPECT_EQ(Text(last), k.text);
    }
    EXPECT_EQ(cache()->end_t1, end);
    EXPECT_EQ(cache()->first_t2, first);
  }
  // A list of 100 rows loads its first 99 and reports the 100th.
  BuildDefault();
  rscpeClearThrErrors();
  EXPECT_EQ(rscplcp__load_codepage(5, Entry("9002")), 0);
  EXPECT_EQ(Last().code, u"CPN");
  EXPECT_NE(Entry("9002")->in[0].root, 0);
  // Catalogue corrections, reported through the system log.
  EXPECT_EQ(Entry("4000")->major, 19);
  EXPECT_EQ(Entry("6201")->major, 39);
  EXPECT_EQ(Entry("4000")->blankLen, 2u);
}

TEST_F(Load, AGoodShiftRuleEntersItsGroup) {
  rscpf5test::UseTestData data;
  BuildDefault();
  rscpCpEntry_t* e = Entry("9007");
  ASSERT_EQ(rscplcp__load_codepage(5, e), 0);
  ASSERT_EQ(rscplcp__load_codepage(21, e), 0);
  EXPECT_EQ(e->flags & RSCP_CP_GROUPS, 1u);
  EXPECT_EQ(cache()->noof_shift_pairs, 1);
  // The same pair on a second page reuses its group.
  ASSERT_EQ(rscplcp__load_codepage(5, Entry("9005")), RSCPENOCONV);
  EXPECT_EQ(cache()->noof_shift_pairs, 1);
}

// A full range-record table refuses the rule that would reuse its last
// record: the rules already entered keep their arithmetic.
TEST_F(Load, AFullRangeTableRefusesTheRule) {
  rscpf5test::UseTestData data;
  BuildDefault();
  rscpCpEntry_t* e = Entry("9006");
  tovtest::CaptureFd err;
  rscpeClearThrErrors();
  ASSERT_EQ(rscplcp__load_codepage(5, e), 0);
  const std::string text = err.Take();
  EXPECT_NE(text.find("rscpdl: prepareXMLRule: ruleInfo_count overfow !\n"), std::string::npos);
  EXPECT_EQ(cache()->ruleInfo_count, 29u);
  EXPECT_EQ(Last().code, u"F5L");
  // Every record decodes its own first code.
  for (uint32_t i = 0; i < cache()->ruleInfo_count; ++i) {
    const rscpRangeRec_t& r = cache()->ranges[i];
    auto range = rscpldtest::Range::Parse(std::string(r.attr1, r.attr1 + r.attr1Len), std::string(r.attr2, r.attr2 + r.attr2Len));
    ASSERT_TRUE(range);
    const InHit h = WalkIn(base(), e->in[0].root, range->code);
    ASSERT_EQ(h.kind, InHit::kRule) << i;
    EXPECT_EQ(h.value, 68u);
    EXPECT_EQ(static_cast<uint32_t>(h.attr), i);
  }
}

// The data of a test of its own: two codes for one value and one code for
// two values in one segment, and a long code that the output refuses.
namespace dup {
const rscpSegPoint_t kOne[] = {{0x41, {0x41}}, {0x41, {0x61}}, {0x42, {0x41}}, {0x20, {0x20}}};
const rscpSegLongPoint_t kLong[] = {{0x43, 127, {}}};
const rscpSegPoints_t kPoints = {{4, 0, 0, 0}, kOne, nullptr, nullptr, nullptr};
const rscpSegPoints_t kBadLong = {{0, 0, 0, 1}, nullptr, nullptr, nullptr, kLong};
// A page that writes 'A' as 41 and reads 61 and 62 as 'A' and 'B' through
// a read-only row (flag 0x400) whose list lists them without the flag.
const rscpSegPoint_t kWritten[] = {{0x41, {0x41}}};
const rscpSegPoint_t kRead[] = {{0x41, {0x61}}, {0x42, {0x62}}};
const rscpSegPoints_t kWrittenPoints = {{1, 0, 0, 0}, kWritten, nullptr, nullptr, nullptr};
const rscpSegPoints_t kReadPoints = {{2, 0, 0, 0}, kRead, nullptr, nullptr, nullptr};
const rscpSegBuildRow_t kReadList[] = {{{'R', 'D', 'P', '0', '1'}, {}, 0x81}, {{' ', ' ', ' ', ' ', ' '}, {}, 0}};
const rscpSegBuildRow_t kTop[] = {{{'W', 'R', 'P', '0', '1'}, {}, 0x81},
                                  {{'R', 'D', 'L', '0', '1'}, {}, 0x82 | RSCP_SEG_ROW_READ_ONLY},
                                  {{' ', ' ', ' ', ' ', ' '}, {}, 0}};
const rscpSegDirEntry_t kDir[] = {{{'D', 'U', 'P', '0', '1'}, {}, 1, 0, &kPoints},
                                  {{'L', 'N', 'G', '0', '1'}, {}, 1, 0, &kBadLong},
                                  {{'W', 'R', 'P', '0', '1'}, {}, 1, 0, &kWrittenPoints},
                                  {{'R', 'D', 'P', '0', '1'}, {}, 1, 0, &kReadPoints},
                                  {{'R', 'D', 'L', '0', '1'}, {}, 3, 0, kReadList},
                                  {{'R', 'O', 'T', '0', '1'}, {}, 3, 0, kTop},
                                  {{' ', ' ', ' ', ' ', ' '}, {}, 0, 0, nullptr}};
std::string Rows() {
  const std::string model(rscpdat::BuiltinData().tcp00, 97);  // the first built-in row
  std::string rows;
  for (const char* id : {"9100DUP01", "9101LNG01", "9102ROT01"}) {
    std::string r = model;
    r.replace(0, 4, id, 4);
    r.replace(7, 4, "0404");
    r.replace(85, 1, "2");
    r.replace(92, 5, id + 4, 5);
    rows += r;
  }
  return rows + std::string(97, ' ');
}
}  // namespace dup

class OwnData : public Load {
 protected:
  void SetUp() override {
    Load::SetUp();
    rows_ = dup::Rows();
    set_ = rscpdat::BuiltinData();
    set_.tcp00 = rows_.c_str();
    set_.segDir = dup::kDir;
    rscpdat::SetActiveData(&set_);
  }
  void TearDown() override {
    rscpdat::SetActiveData(nullptr);
    Load::TearDown();
  }
  std::string rows_;
  rscpdat::DataSet set_;
};

TEST_F(OwnData, ASecondCodeForAValueIsReportedAndTheFirstStays) {
  BuildDefault();
  rscpCpEntry_t* e = Entry("9100");
  rscpeClearThrErrors();
  ASSERT_EQ(rscplcp__load_codepage(21, e), 0);
  ASSERT_EQ(Codes(), std::vector<std::u16string>{u"F5L"});
  EXPECT_EQ(Text(0), u"non uniq coding");
  EXPECT_EQ(Last().param1, u"9100");
  EXPECT_EQ(WalkOut(base(), e->out[0].t2, 0x41).code, Bytes{0x41});
  EXPECT_EQ(WalkOut(base(), e->out[0].t2, 0x42).code, Bytes{0x41});
  ASSERT_EQ(rscplcp__load_codepage(5, e), 0);
  EXPECT_EQ(WalkIn(base(), e->in[0].root, {0x41}), (InHit{InHit::kChar, 0x41, 0, 1})) << "the first value stays";
  EXPECT_EQ(WalkIn(base(), e->in[0].root, {0x61}), (InHit{InHit::kChar, 0x41, 0, 1}));
  EXPECT_EQ(e->blankLen, 1u);
  EXPECT_EQ(e->blank[0], 0x20);
}

TEST_F(OwnData, ARowThatIsOnlyReadEntersTheInputTablesAlone) {
  BuildDefault();
  rscpCpEntry_t* e = Entry("9102");
  rscpeClearThrErrors();
  for (int s = 0; s < 4; ++s) {
    ASSERT_EQ(rscplcp__load_codepage(kInKinds[s], e), 0);
    ASSERT_EQ(rscplcp__load_codepage(kOutKinds[s], e), 0);
  }
  EXPECT_TRUE(Codes().empty()) << "a value's further code is no conflict";
  EXPECT_EQ(WalkIn(base(), e->in[0].root, {0x41}), (InHit{InHit::kChar, 0x41, 0, 1}));
  EXPECT_EQ(WalkIn(base(), e->in[0].root, {0x61}), (InHit{InHit::kChar, 0x41, 0, 1}));
  EXPECT_EQ(WalkIn(base(), e->in[0].root, {0x62}), (InHit{InHit::kChar, 0x42, 0, 1})) << "the flag holds below";
  EXPECT_EQ(WalkOut(base(), e->out[0].t2, 0x41).code, Bytes{0x41});
  EXPECT_TRUE(WalkOut(base(), e->out[0].t2, 0x42).code.empty());
  EXPECT_EQ(e->out[0].noofChars, 1u);
}

// A built-in load that ends with 128 (a tolerated bad code length) asks
// the flat file; the file's presence does not turn the failure into
// success.
TEST_F(OwnData, TheFlatFileProbeNeverHidesTheBuiltInFailure) {
  tovtest::TempDir dir;
  const tovtest::ChildResult r = tovtest::RunInChild([&] {
    if (chdir(dir.path().c_str()) != 0) return 90;
    rscphTestSetParams({{u"rscp/ignore_error/tcp07_cpcodelen", {u"1", {}}}});
    BuildDefault();
    rscpCpEntry_t* e = Entry("9101");
    rscpeClearThrErrors();
    if (rscplcp__load_codepage(21, e) != RSCPEIO) return 1;
    if (Last().code != u"CPA" || Last().param1 != u"9101&2&") return 2;
    tovtest::WriteFile(dir.File("S9101.CPA"), "x");
    if (rscplcp__load_codepage(21, e) != RSCPENOOBJ) return 3;
    if (e->out[0].t2 != 0) return 4;
    rscphTestSetParams({{u"rscp/file/codepage", {u"X+++.CPA", {}}}});
    if (rscplff__probe_flat_file(e) != RSCPEINTERN || Last().code != u"CPF") return 5;
    rscphTestSetParams({{u"rscp/file/codepage", {u"++++-++++.DAT", {}}}});
    tovtest::WriteFile(dir.File("9101-++++.DAT"), "x");
    return rscplff__probe_flat_file(e) == 0 ? 0 : 6;
  });
  EXPECT_EQ(r.exit_code, 0) << r.err;
}

// --- Parsers -----------------------------------------------------------------------------

TEST(ShiftRuleAttributes, ParsedOrRefused) {
  struct Case {
    const char16_t* a1;
    const char16_t* a2;
    int rc;
    const char* seg;
    int unsj, uneuc;
    Bytes strt, back;
    std::u16string text;
  } cases[] = {
      {u"SJ1,unsj,", u"1B2442,1B284A", 0, "SJ1  ", 1, 0, {0x1B, 0x24, 0x42}, {0x1B, 0x28, 0x4A}, u""},
      {u"ASCII", u"1B2842,1B284A", 0, "ASCII", 0, 0, {0x1B, 0x28, 0x42}, {0x1B, 0x28, 0x4A}, u""},
      {u"SJ1,UNEUC", u"1C26,1C2E", 0, "SJ1  ", 0, 1, {0x1C, 0x26}, {0x1C, 0x2E}, u""},
      {u"SJ1,unsj,1D313B31736", u"D4D,1D303B31736D4D", 0, "SJ1  ", 1, 0,
       {0x1D, 0x31, 0x3B, 0x31, 0x73, 0x6D, 0x4D}, {0x1D, 0x30, 0x3B, 0x31, 0x73, 0x6D, 0x4D}, u""},
      {u"SJ1XYZ,1B2442,", u"1B284A", RSCPENOCONV, "", 0, 0, {}, {}, u"STRT-BACK-rule: segment name too long"},
      {u"SJ1,unsj,uneuc,", u"1B2442,1B284A", RSCPENOCONV, "", 0, 0, {}, {}, u"STRT-BACK-rule: Don't un-shift twice"},
      {u"SJ1,1B24424142434445", u"464748,1B284A", RSCPENOCONV, "", 0, 0, {}, {}, u"STRT-BACK-rule: sequence too long"},
      {u"SJ1,1B2442,1B284A,", u"FF", RSCPENOCONV, "", 0, 0, {}, {}, u"STRT-BACK-rule: too many words"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(tovtest::Show(k.a1));
    rscpeClearThrErrors();
    rscpStrtBack_t sb;
    const int l1 = static_cast<int>(std::char_traits<char16_t>::length(k.a1));
    const int l2 = static_cast<int>(std::char_traits<char16_t>::length(k.a2));
    ASSERT_EQ(rscpps__parse_strt_back(2, k.a1, l1, k.a2, l2, &sb), k.rc);
    if (k.rc != 0) {
      EXPECT_EQ(Last().code, u"F5L");
      EXPECT_EQ(LoadTest::Text(0), k.text);
      continue;
    }
    EXPECT_EQ(std::string(sb.segment), k.seg);
    EXPECT_EQ(sb.unsj, k.unsj);
    EXPECT_EQ(sb.uneuc, k.uneuc);
    EXPECT_EQ(Bytes(sb.strt, sb.strt + sb.strtLen), k.strt);
    EXPECT_EQ(Bytes(sb.back, sb.back + sb.backLen), k.back);
  }
}

TEST(RangeRecords, ParsedWithWeightsAndBase) {
  rscpRangeRec_t r;
  const std::u16string a2 = u"81308130,FE39FE39";
  ASSERT_EQ(rscppr__parse_range(u"0452,200F,8130D330", 18, a2.c_str(), 17, &r), 0);
  EXPECT_EQ(r.first, 0x452u);
  EXPECT_EQ(r.last, 0x200Fu);
  EXPECT_EQ(r.seqLen, 4);
  EXPECT_EQ((std::vector<int>(r.weight, r.weight + 4)), (std::vector<int>{12600, 1260, 10, 1}));
  EXPECT_EQ((std::vector<int>(r.byteWidth, r.byteWidth + 4)), (std::vector<int>{126, 10, 126, 10}));
  // U+0452 is GB 18030 8130D330: the base is the value of 81308130.
  EXPECT_EQ(r.uidFirst, 0x452u - (0x52u * 10 + 0));
  ASSERT_EQ(rscppr__parse_range(u"10000,10FFFF90308130", 20, a2.c_str(), 17, &r), 0);
  EXPECT_EQ(r.first, 0x10000u);
  EXPECT_EQ(r.last, 0x10FFFFu);
  EXPECT_EQ(Bytes(r.byteOf1, r.byteOf1 + 4), (Bytes{0x90, 0x30, 0x81, 0x30}));
  struct Bad {
    const char16_t* a1;
    const char16_t* a2;
  } bad[] = {{u"0452200F8130D330", u"81308130,FE39FE39"},   // no separators
             {u"0452,200F,8130D3", u"81308130,FE39FE39"},   // three code bytes, four bounds
             {u"0452,200F,8130D330", u"81308130FE39FE39"},  // no comma in the bounds
             {u"2000,1000,81308130", u"81308130,FE39FE39"}, // last below first
             {u"0452,200F,7F30D330", u"81308130,FE39FE39"}, // first code below its bound
             {u"0000,FFFF,FE39FE39", u"81308130,FE39FE39"}, // runs past the last code
             {u"", u""}};
  for (const Bad& b : bad) {
    EXPECT_EQ(rscppr__parse_range(b.a1, static_cast<int>(std::char_traits<char16_t>::length(b.a1)), b.a2,
                                  static_cast<int>(std::char_traits<char16_t>::length(b.a2)), &r),
              1)
        << tovtest::Show(b.a1);
  }
}

TEST_F(Load, RangeRecordsAreReusedForTheSameTexts) {
  BuildDefault();
  const std::u16string a2 = u"81308130,FE39FE39";
  EXPECT_EQ(prepareXMLRule(u"0452,200F,8130D330", 18, a2.c_str(), 17), 0);
  EXPECT_EQ(prepareXMLRule(u"10000,10FFFF90308130", 20, a2.c_str(), 17), 1);
  EXPECT_EQ(prepareXMLRule(u"0452,200F,8130D330", 18, a2.c_str(), 17), 0);
  EXPECT_EQ(cache()->ruleInfo_count, 2u);
  EXPECT_EQ(prepareXMLRule(u"nonsense", 8, a2.c_str(), 17), -1);
}

TEST(Gauge, DrawsTheSpanInHalfUnits) {
  struct Case {
    int width;
    int64_t from, to, total;
    const char16_t* want;
  } cases[] = {
      {25, 0, 0, 100, u"\\________________________"},
      {10, 0, 100, 100, u"XXXXXXXXXX"},
      {10, 0, 50, 100, u"XXXXX_____"},
      {10, 25, 75, 100, u"__/XXXX\\__"},
      {10, 100, 100, 100, u"_________\\"},
      {4, 5, 4, 100, u"????"},
      {4, 0, 101, 100, u"????"},
      {4, 0, 0, 0, u"????"},
      // Sizes of a large cache: the products need 64 bits.
      {10000, 3000000000LL, 6000000000LL, 6000000000LL, nullptr},
  };
  for (const Case& k : cases) {
    std::u16string buf(static_cast<size_t>(k.width), u'#');
    rscpdgb__draw_gauge(buf.data(), k.width, k.from, k.to, k.total);
    if (k.want != nullptr) {
      EXPECT_EQ(buf, k.want) << k.width << " " << k.from << ".." << k.to;
    } else {
      EXPECT_EQ(buf, std::u16string(5000, u'_') + std::u16string(5000, u'X'));
    }
  }
  WEQ_UC one[2] = {u'#', u'#'};
  rscpdgb__draw_gauge(one, 0, 0, 1, 1);
  EXPECT_EQ(one[0], u'?');
  EXPECT_EQ(one[1], u'#');
}

}  // namespace
}  // namespace rscptest
