// The sixteen-bit input methods (8, 9, 27-40), the tunnel and copy methods
// (10, 11) and the ISO-2022 table method (41): their edge cases, every
// method reached through the chooser, and the faults mended with them.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "rscpc_oracle.h"
#include "rscpcv_fixture.h"
#include "rscpf5_tset.h"

namespace rscptest {
namespace {

enum : int { kSubst = 1, kCopy = 2, kStop = 4, kCtrl0 = 8, kOwn = 16, kRestart = 32, kTestData = 64 };
constexpr size_t kAll = std::string::npos;
const std::string kEsc = "\x1B";

// A chosen object with the options: substitution or copy, broken 0, 1 or
// 2, control codes illegal or tried, own characters.
rscpCObj_t Object(const char* from, const char* to, int opts) {
  rscpCObj_t o = JavaObject(from, to);
  rscpCSetCtrlCodeCv(&o, opts & kCtrl0 ? 0 : 1);
  rscpCSetOwnChCv(&o, opts & kOwn ? 1 : 0);
  EXPECT_EQ(rscpCLoadTables(&o), 0) << from << "->" << to;
  o.use_subst = opts & kSubst ? 1 : 0;
  o.use_1_copy = opts & kCopy ? 1 : 0;
  o.rscpbroken = opts & kStop ? 0 : opts & kRestart ? 2 : 1;
  return o;
}

std::string Be(std::initializer_list<int> units) {
  std::string s;
  for (int u : units) s += static_cast<char>(u >> 8), s += static_cast<char>(u);
  return s;
}
std::string Le(std::initializer_list<int> units) {
  std::string s;
  for (int u : units) s += static_cast<char>(u), s += static_cast<char>(u >> 8);
  return s;
}

class Sixteen : public EngineTest {
 protected:
  void UseTestData() {
    rscpf_finish(-1);
    data_ = std::make_unique<rscpf5test::UseTestData>();
    ASSERT_EQ(rscpi_init(-1), 0);
  }
  void TearDown() override {
    rscpf_finish(-1);
    data_.reset();
    EngineTest::TearDown();
  }
  std::unique_ptr<rscpf5test::UseTestData> data_;
};

struct Case {
  const char* from;
  const char* to;
  uint32_t method;
  int opts;
  std::string in, out;
  rscpRc_t rc = 0;
  size_t used = kAll;
  uint32_t substs = ~0u;  // subst_count afterwards (~0: not checked)
  size_t room = 0;        // 0: room enough
};

const Case kCases[] = {
    // UTF-16 pairs, lone surrogates written as characters, cut input.
    {"4102", "4104", 33, kSubst, Be({0xD83D, 0xDE00}), Bytes({0, 1, 0xF6, 0})},
    {"4103", "4105", 35, kSubst, Le({0xD83D, 0xDE00}), Bytes({0, 0xF6, 1, 0})},
    {"4102", "4104", 33, kSubst, Be({0xD83D, 'A'}), Bytes({0, 0, 0, '#', 0, 0, 0, 'A'})},
    {"4102", "1100", 33, kSubst | kStop, Be({'A'}) + '\0', "A", RSCPEUNIQ, 2},
    {"4102", "1100", 33, kSubst, Be({'A'}) + '\0', "A#", 0, 3},
    {"4102", "1100", 33, kSubst | kStop, Be({'A', 0xD83D}), "A", RSCPEUNIQ, 2},
    {"4102", "1100", 33, kCopy, Be({'A', 0xE000}), "A", RSCPENOCONV, 2},
    // Controls: substituted, copied or unconvertible (37, 39 with controls
    // illegal), or characters (39 with controls tried).
    {"4103", "1100", 37, kSubst | kCtrl0, Le({9, 'A', 0xA0, 0x1F}), "#A\xA0#", 0, kAll, 2},
    {"4103", "1100", 37, kCopy | kCtrl0, Le({9, 'A'}), Bytes({9, 0, 'A'}), 0, kAll, 1},
    {"4103", "1100", 37, kCtrl0, Le({'A', 0x9F}), "A", RSCPENOCONV, 2},
    {"4103", "1100", 39, kCopy | kCtrl0 | kOwn, Le({0x1F, 0x7F, 0x9F}), Bytes({0x1F, 0, 0x7F, 0, 0x9F, 0}), 0, kAll, 3},
    {"4103", "1100", 39, kSubst | kOwn, Le({9, 0x85}), "\t\x85"},
    // Icon forms: a code that is no icon writes the introducer and the code
    // characters; private-use units take the walk, whose copy option the
    // writer does not have.
    {"4102", "4104", 39, kSubst | kOwn, Be({0xF8FD, '0', 'a'}), Bytes({0, 0, 0xF8, 0xFD, 0, 0, 0, '0', 0, 0, 0, 'a'})},
    {"4102", "4104", 39, kSubst | kOwn, Be({0xF8FD, '0', '-'}), Bytes({0, 0, 0xF8, 0xFD, 0, 0, 0, '0', 0, 0, 0, '-'})},
    {"4102", "1100", 39, kCopy | kOwn, Be({'A', 0xE000, 0xDB80, 0xDC00}), "A" + Be({0xE000, 0xDB80, 0xDC00})},
    // Tunnel (EUC-JP into Latin-1): a pair without output substituted, an
    // unknown pair copied and counted, an unknown byte substituted; with
    // neither option the unknown pair is unconvertible; a pair the output
    // cannot take whole is the output-full exit (resumed in every room).
    {"8100", "1100", 10, kSubst, Bytes({'A', 0xB0, 0xA1, 0xA9, 0xA1, 0xFF}), Bytes({'A', '#', 0xA9, 0xA1, '#'}), 0,
     kAll, 3},
    {"8100", "1100", 10, 0, Bytes({'A', 0xA9, 0xA1}), "A", RSCPENOCONV, 1},
    {"8100", "1100", 10, kCopy, Bytes({0xA9, 0xA1}), Bytes({0xA9, 0xA1}), 0, kAll, 1},
    {"8100", "1100", 10, kCopy, Bytes({'A', 0xA9, 0xA1}), "A", RSCPETOOLONG, 1, 0, 2},
    // Copy (into the 16-bit page): multi-byte characters without output and
    // unknown pairs copied uncounted, a lead byte at the end cut.
    {"8000", "4000", 11, kSubst, Bytes({0x88, 0x9F, 0x85, 0x40, 'A'}), Bytes({0x88, 0x9F, 0x85, 0x40, 0, 'A'}), 0,
     kAll, 0},
    {"8000", "4000", 11, kSubst | kStop, Bytes({'A', 0x81}), Bytes({0, 'A'}), RSCPEUNIQ, 1},
    // The 16-bit page (units of two bytes) through the table walk: a unit
    // the table does not know is one substitution; its first byte alone
    // at the input end is cut (waits with stop_restartable, fails with
    // stop, one substitution for the rest with like_miss).
    {"4000", "1100", 4, kSubst | kRestart, Bytes({0x81, 0x06, 0, 'A'}), "#A", 0, kAll, 1},
    {"4000", "1100", 4, kSubst | kRestart, Bytes({0, 'A', 0x81}), "A", RSCPEUNIQ, 2},
    {"4000", "1100", 4, kSubst | kStop, Bytes({0, 'A', 0x81}), "A", RSCPEUNIQ, 2},
    {"4000", "1100", 4, kSubst, Bytes({0, 'A', 0x81}), "A#", 0, kAll, 1},
    // ISO-2022-JP: designations switch the tables and write nothing; a
    // character cut after its first byte.
    {"8200", "4103", 41, kSubst | kRestart, "a" + kEsc + "$B0!" + kEsc + "(Bb", Le({'a', 0x4E9C, 'b'})},
    {"8200", "4103", 41, kSubst | kStop, "a" + kEsc + "$B0", Le({'a'}), RSCPEUNIQ, 4},
    // Controls are not designated: a line end after ESC ( B.
    {"8200", "4103", 41, kSubst | kRestart, kEsc + "$B0!" + kEsc + "(B\r\n", Le({0x4E9C, '\r', '\n'})},
    {"8200", "8000", 42, kSubst | kRestart, kEsc + "$B0!" + kEsc + "(B\r\n", "\x88\x9F\r\n"},
};

class Cases : public Sixteen, public ::testing::WithParamInterface<Case> {};

TEST_P(Cases, WholeAndResumedInEveryRoom) {
  const Case& k = GetParam();
  rscpCObj_t o = Object(k.from, k.to, k.opts);
  ASSERT_EQ(o.method, k.method);
  const Call c = Convert(o, k.in, k.room != 0 ? k.room : k.out.size() + 8);
  EXPECT_EQ(c.rc, k.rc);
  EXPECT_EQ(c.in, k.used == kAll ? k.in.size() : k.used);
  EXPECT_EQ(Hex(c.bytes), Hex(k.out));
  if (k.substs != ~0u) {
    EXPECT_EQ(o.subst_count, k.substs);
  }
  for (size_t room = 1; room < k.out.size() && k.rc == 0; ++room) {
    rscpCObj_t r = Object(k.from, k.to, k.opts);
    const Call resumed = ConvertResumed(r, k.in, room);  // fails only where a character needs more room
    if (resumed.rc == 0) {
      EXPECT_EQ(Hex(resumed.bytes), Hex(k.out)) << room;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Methods, Cases, ::testing::ValuesIn(kCases));

// An odd input address (35) converts as an even one; weqcodes (27) each
// give their Unicode value, and one without a value ends the call at its
// unit.
TEST_F(Sixteen, OddAddressesAndWeqcodes) {
  rscpCObj_t le = Object("4103", "8000", kSubst);
  ASSERT_EQ(le.method, 35u);
  const std::string text = Le({'A', 0x65E5, 0xD83D, 0xDE00, 0x672C});
  std::string odd = "x" + text;
  const Call even = Convert(le, text, 16);
  std::vector<uint8_t> out(16);
  const WEQ_RAW* ip = reinterpret_cast<const WEQ_RAW*>(odd.data()) + 1;
  WEQ_RAW* op = out.data();
  EXPECT_EQ(rscpCConvert(&le, &op, out.data() + 16, &ip, ip + text.size()), 0);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(out.data()), op - out.data()), even.bytes);
  EXPECT_EQ(Hex(even.bytes), "4193FA23967B");
  // weqcodes (test data: a 16-bit page that is not mixed): the Unicode
  // value of each; one without a value ends the call at its unit.
  UseTestData();
  rscpCObj_t w = Object("9019", "4110", kSubst);
  ASSERT_EQ(w.method, 27u);
  EXPECT_EQ(rscpCharNumberToUnicode(300), 0x20ACu);
  EXPECT_EQ(rscpCharNumberToUnicode(301), 0xFFFDu);
  const Call c = Convert(w, Be({300, 301, 299, 300}), 16);
  EXPECT_EQ(c.rc, RSCPENOCONV);
  EXPECT_EQ(c.in, 4u);
  EXPECT_EQ(Hex(c.bytes), "E282ACEFBFBD");
  EXPECT_EQ(Code(Newest()), u"F40");
  EXPECT_EQ(Convert(w, Be({300}) + "x", 16).bytes, "\xE2\x82\xAC#");
}

// mbget_tab on test data (UTF-16BE with a minor, its private-use units
// entered: E000 'X', E001 E002 'Y', DB80 DC00 'Z'): pairs, planes 15 and 16
// through the walk, a unit the table does not know as itself, icons, a low
// surrogate alone whatever the broken option, a cut pair, icon forms.
TEST_F(Sixteen, MbgetTabOnTestData) {
  UseTestData();
  rscpCObj_t o = Object("9013", "9010", kSubst);
  ASSERT_EQ(o.method, 8u);
  EXPECT_EQ(Hex(Convert(o, Be({0xD83D, 0xDE00, 0xD801, 0xDC00}), 8).bytes), "81418240");
  rscpCObj_t x = Object("9013", "9000", kSubst);
  ASSERT_EQ(x.method, 8u);
  EXPECT_EQ(Convert(x, Be({0xE000, 0xE001, 0xE002, 0xDB80, 0xDC00, 0xDBFF, 0xDFFD, 0xE003}), 16).bytes, "XYZ##");
  EXPECT_EQ(Convert(x, Be({0xE001, 0xE004, 0xE003, 'A'}), 16).bytes, "##[");  // E001 E004 are no code
  EXPECT_EQ(Convert(x, Be({0xE001}), 16).bytes, "#");
  // Method 39 walks the same codes: runs of private-use units, a code that
  // goes on behind its run, a code the input cuts.
  x.method = 39;
  EXPECT_EQ(Convert(x, Be({0xE000, 0xE001, 0xE002, 0xE003, 'A', 0xE000}), 16).bytes, "XY[X");
  x.rscpbroken = 0;
  EXPECT_EQ(Convert(x, Be({0xE000, 0xE001}), 16).rc, RSCPEUNIQ);
  for (int broken : {int{kStop}, 0, int{kRestart}}) {
    x = Object("9013", "9000", kSubst | broken);
    const Call c = Convert(x, Be({'A', 0xDC00, 'B'}), 16);
    EXPECT_EQ(c.rc, RSCPEUNIQ);
    EXPECT_EQ(c.in, 2u);
    EXPECT_EQ(P1(Newest()), u"len=4,data=dc000042");
    EXPECT_EQ(Convert(x, Be({'A', 0xD83D}), 16).rc, broken == 0 ? 0 : RSCPEUNIQ);
  }
  // An object whose input kind measures one-byte characters still reads
  // whole units: a byte alone is cut, nothing behind it is read.
  rscpCObj_t narrow = Object("9013", "9000", kSubst | kStop);
  narrow.in_nls = 12;
  const Call cut = Convert(narrow, "X", 16);
  EXPECT_EQ(cut.rc, RSCPEUNIQ);
  EXPECT_EQ(cut.in, 0u);
  EXPECT_EQ(cut.out, 0u);
  rscpCObj_t m = Object("9013", "4000", kSubst);
  EXPECT_EQ(m.method, 9u);
  EXPECT_EQ(Convert(m, Be({0xE000, 'A'}), 8).bytes, "XA");
  // Icons into a page that writes them as UTF-16BE icon forms.
  rscpCObj_t own = Object("9013", "9014", kSubst | kOwn);
  EXPECT_EQ(Convert(own, Be({0xF8FD, '0', 'a', 'A'}), 16).bytes, Be({0xF8FD, '0', 'a'}) + "A");
}

// Every method with a branch, chosen for a pair (test data or the quick
// pairs where the built-in pages have none), converts two characters
// without reaching the default branch.
TEST_F(Sixteen, EveryMethodThroughTheChooser) {
  enum : int { kQuick = 128, kF1 = 256 };
  struct Reach {
    uint32_t method;
    const char *from, *to;
    int opts;
  };
  const Reach kReach[] = {
      {2, "1100", "1100", 0},   {4, "1100", "4103", 0},   {5, "4100", "6500", 0},   {6, "8000", "8100", 0},
      {7, "6100", "8100", 0},   {10, "8100", "1100", 0},  {11, "8100", "4000", 0},  {12, "1100", "0100", kF1},
      {13, "4101", "4110", 0},  {14, "4100", "4110", 0},  {15, "4110", "4101", 0},  {16, "4110", "4100", 0},
      {17, "4105", "4110", 0},  {18, "4104", "4110", 0},  {19, "4110", "4105", 0},  {20, "4110", "4104", 0},
      {21, "4103", "4110", 0},  {22, "4102", "4110", 0},  {23, "4110", "4103", 0},  {24, "4110", "4102", 0},
      {25, "4103", "4102", 0},  {26, "4104", "4105", 0},  {28, "4000", "4110", 0},  {29, "1100", "4102", kQuick},
      {30, "1100", "4103", kQuick}, {31, "4102", "1100", kQuick}, {32, "4103", "1100", kQuick},
      {33, "4102", "1100", 0},  {34, "4102", "6500", 0},  {35, "4103", "1100", 0},  {36, "4103", "6500", 0},
      {37, "4103", "1100", kCtrl0}, {38, "4103", "6500", kCtrl0}, {39, "4103", "1100", kOwn},
      {40, "4103", "6500", kOwn}, {41, "8200", "4103", 0}, {42, "8200", "8000", 0}, {48, "1101", "4103", 0},
      {49, "1101", "4102", 0},  {8, "9013", "9000", kTestData}, {9, "9013", "4000", kTestData},
      {27, "9019", "4110", kTestData}};
  std::vector<bool> seen(50);
  for (const Reach& r : kReach) {
    if ((r.opts & kTestData) != 0 && data_ == nullptr) UseTestData();
    Params(r.opts & kQuick ? std::map<std::u16string, std::u16string>{{u"rscp/shortcut_many_converters", u"1"}}
                           : std::map<std::u16string, std::u16string>{});
    rscpCObj_t o = JavaObject(r.from, r.to);
    rscpCSetCtrlCodeCv(&o, r.opts & kCtrl0 ? 0 : 1);
    rscpCSetOwnChCv(&o, r.opts & kOwn ? 1 : 0);
    if (r.opts & kF1) o.useF1 = 2;
    ASSERT_EQ(rscpCLoadTables(&o), 0) << r.method;
    EXPECT_EQ(o.method, r.method) << r.from << "->" << r.to;
    // Two characters of the input page: 'A' and 'B' in its form.
    const int nls = static_cast<int>(o.in_nls);
    const std::string in = nls == 19                             ? Be({300, 301})
                           : nls == 10 || nls == 13              ? Be({'A', 'B'})
                           : nls == 14 || nls == 16              ? Le({'A', 'B'})
                           : nls == 11                           ? Bytes({0, 0, 0, 'A', 0, 0, 0, 'B'})
                           : nls == 15                           ? Bytes({'A', 0, 0, 0, 'B', 0, 0, 0})
                                                                 : "AB";
    rscpeClearThrErrors();
    const Call c = Convert(o, in, r.method == 12 ? 2 : 16);  // 1B_to_1B wants equal sizes
    EXPECT_EQ(c.rc, 0) << r.method;
    EXPECT_EQ(c.in, in.size()) << r.method;
    EXPECT_GT(c.out, 0u) << r.method;
    seen[o.method] = true;
  }
  for (uint32_t m = 2; m < 50; ++m) EXPECT_EQ(seen[m], m != 3 && (m < 43 || m > 47)) << m;
}

// ISO-2022-JP in pieces: with stop_restartable the designation waits in the
// object (also across a rebuild that makes the object choose again), so
// every split joins to the one-shot result; with the other values every
// call starts in the initial state. A state without a table is reported
// before anything is converted, at the start (250) and after a character
// (251).
TEST_F(Sixteen, Iso2022StateAcrossCallsAndRebuilds) {
  const std::string text = "a" + kEsc + "$B0!0\"" + kEsc + "(Bb" + kEsc + "$B0#" + kEsc + "(J\\~";
  // Method 42 with the JIS reader keeps its mode in the same state and
  // converts up to the character that does not fit.
  rscpCObj_t j = Object("8200", "8000", kSubst | kRestart);
  const Call jisWhole = Convert(j, text, 64);
  ASSERT_EQ(jisWhole.rc, 0);
  for (size_t room = 2; room < jisWhole.out; ++room) {
    j.shift_state &= ~(0xFu << 10);
    EXPECT_EQ(Hex(ConvertResumed(j, text, room).bytes), Hex(jisWhole.bytes)) << room;
  }
  rscpCObj_t o = Object("8200", "4103", kSubst | kRestart);
  const Call whole = Convert(o, text, 64);
  ASSERT_EQ(whole.rc, 0);
  for (size_t at = 1; at < text.size(); ++at) {
    j.shift_state &= ~(0xFu << 10);
    const Call a = Convert(j, text.substr(0, at), 64);
    EXPECT_EQ(Hex(a.bytes + Convert(j, text.substr(a.in), 64).bytes), Hex(jisWhole.bytes)) << at;
    for (bool rebuild : {false, true}) {
      o.shift_state &= ~(0xFu << 10);
      Call a = Convert(o, text.substr(0, at), 64);
      if (rebuild) {
        ASSERT_EQ(rscpict3_invalidate_convert_tables(nullptr, nullptr, u"test", 4, -1), 0);
        ASSERT_EQ(rscpnr__need_reorg(0, -1), 0);
      }
      const Call b = Convert(o, text.substr(0, at).substr(a.in) + text.substr(at), 64);
      EXPECT_EQ(Hex(a.bytes + b.bytes), Hex(whole.bytes)) << at << rebuild;
    }
  }
  for (int broken : {int{kStop}, 0}) {
    rscpCObj_t p = Object("8200", "4103", kSubst | broken);
    Convert(p, "a" + kEsc + "$B", 8);
    EXPECT_EQ(Convert(p, "0!", 8).bytes, Le({'0', '!'}));
  }
  o.shift_state = (o.shift_state & ~(0xFu << 10)) | 11u << 10;
  Call c = Convert(o, "", 8);
  EXPECT_EQ(c.rc, RSCPEINTERN);
  EXPECT_EQ(Newest().location, 250);
  EXPECT_EQ(P1(Newest()) + P2(Newest()), u"JIS? &11");
  o.shift_state &= ~(0xFu << 10);
  rscpCObj_t bad = o;
  uint32_t* root = reinterpret_cast<uint32_t*>(reinterpret_cast<uint8_t*>(rscpIGetPublishedCache()) +
                                               size_t{o.in_t1} * 1032);
  const uint32_t saved = root[1];
  root[1] = 0;  // group 1 loses its table
  c = Convert(bad, "a" + kEsc + "$B0!", 16);
  root[1] = saved;
  EXPECT_EQ(c.rc, RSCPEINTERN);
  EXPECT_EQ(Newest().location, 251);
  EXPECT_EQ(c.bytes, Le({'a'}));
}

// A stale object whose choice fails: every table method leaves the
// pointers as they were and the cache mutex free (no unlock after the
// chooser released it).
TEST_F(Sixteen, FailedRefreshMovesNothingAndLeavesTheMutexFree) {
  const std::tuple<const char*, const char*, int> kStale[] = {{"4102", "1100", 0},      {"4103", "1100", 0},
                                                             {"4103", "1100", kCtrl0}, {"4103", "1100", kOwn},
                                                             {"8200", "4103", 0},      {"8100", "4000", 0}};
  for (const auto& [from, to, opts] : kStale) ExpectFailedRefreshMovesNothing(Object(from, to, kSubst | opts));
}

// Long runs of ordinary units, which the sixteen-bit methods and the table
// walk (UTF-16 into GB 18030, whose four-byte codes take the general steps)
// take sixteen or one at a time without the general steps, against iconv:
// whole, resumed in small rooms, and with one unit that needs the general
// step placed at every offset of a block of sixteen, where the call must
// stop at that unit.
TEST_F(Sixteen, LongRunsEqualIconvAndStopAtTheFirstUnitTheyCannotTake) {
  struct Run {
    const char* from;
    const char* to;
    const char* utf16;
    const char* page;
    bool big;
    int opts;
    uint32_t method;
    std::vector<int> pool;  // units the page knows; the first 95 narrow
    int unknown;            // a unit the page cannot write (0: none)
  };
  std::vector<int> latin, sjis, gb;
  for (int u = 0x20; u < 0x7F; ++u) latin.push_back(u), sjis.push_back(u), gb.push_back(u);
  for (int u : {0xA0, 0xC0, 0xE9, 0xFF}) latin.push_back(u);
  for (int u : {0x4E9C, 0x3042, 0xFF71, 0x3000}) sjis.push_back(u);
  for (int u : {0x4E2D, 0x6587, 0x3042, 0xE9, 0x101, 0x80, 0xFFE5}) gb.push_back(u);
  const Run runs[] = {
      {"4103", "1100", "UTF-16LE", "ISO-8859-1", false, 0, 35, latin, 0x0100},
      {"4102", "1100", "UTF-16BE", "ISO-8859-1", true, 0, 33, latin, 0x20AC},
      {"4103", "8000", "UTF-16LE", "CP932", false, 0, 35, sjis, 0x00E9},
      {"4103", "1100", "UTF-16LE", "ISO-8859-1", false, kOwn | kCtrl0, 39, latin, 0xE000},  // private use walks
      {"4103", "8450", "UTF-16LE", "GB18030", false, 0, 4, gb, 0},
      {"4102", "8450", "UTF-16BE", "GB18030", true, 0, 4, gb, 0},
  };
  for (const Run& r : runs) {
    IconvRef ref(r.page, r.utf16);
    ASSERT_TRUE(ref.ok()) << r.page;
    std::vector<int> units;
    uint32_t seed = 7;
    for (int i = 0; i < 700; ++i) {
      seed = seed * 1103515245 + 12345;
      // Mostly narrow units, now and then one of the rest of the pool.
      const size_t pick = (seed >> 16) % (seed % 9 == 0 ? r.pool.size() : 95);
      units.push_back(r.pool[pick]);
    }
    const auto text = [&](const std::vector<int>& us) {
      std::string s;
      for (int u : us) s += r.big ? std::string{static_cast<char>(u >> 8), static_cast<char>(u)}
                                  : std::string{static_cast<char>(u), static_cast<char>(u >> 8)};
      return s;
    };
    const std::string in = text(units);
    const Outcome want = ref.Run(in);
    ASSERT_EQ(want.kind, Outcome::kOk);
    rscpCObj_t o = Object(r.from, r.to, r.opts);
    ASSERT_EQ(o.method, r.method) << r.from << "->" << r.to;
    const Call whole = Convert(o, in, in.size() * 2);
    EXPECT_EQ(whole.rc, 0) << r.to;
    EXPECT_EQ(whole.in, in.size());
    EXPECT_EQ(Hex(whole.bytes), Hex(want.out)) << r.from << "->" << r.to;
    for (size_t room : {4, 5, 6, 17, 33}) {  // every code has at most four bytes
      rscpCObj_t p = Object(r.from, r.to, r.opts);
      const Call resumed = ConvertResumed(p, in, room);
      EXPECT_EQ(resumed.rc, 0) << room;
      EXPECT_EQ(Hex(resumed.bytes), Hex(want.out)) << r.to << " room " << room;
    }
    for (size_t at : {0, 1, 7, 15, 16, 17, 31, 300, 699}) {
      if (r.unknown == 0) break;
      std::vector<int> broken = units;
      broken[at] = r.unknown;
      const std::string bad = text(broken);
      rscpCObj_t p = Object(r.from, r.to, r.opts | kStop);
      const Call c = Convert(p, bad, bad.size() * 2);
      EXPECT_EQ(c.rc, RSCPENOCONV) << r.to << " at " << at;
      EXPECT_EQ(c.in, 2 * at) << r.to << " at " << at;
      const Outcome head = ref.Run(text(std::vector<int>(units.begin(), units.begin() + static_cast<ptrdiff_t>(at))));
      EXPECT_EQ(Hex(c.bytes), Hex(head.out)) << r.to << " at " << at;
    }
  }
}

}  // namespace
}  // namespace rscptest
