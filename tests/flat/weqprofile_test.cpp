// The sources of the profile parameter store: the instance profile and
// DEFAULT.PFL with their line rules, illegal bytes and messages, the system
// number and name, the host paths, and the defaults derived from the
// memory size.
#include <gtest/gtest.h>
#include <string.h>

#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "flat/weqparam.h"
#include "flat/weqparam_int.h"
#include "i18n/wequ16/u16str.h"
#include "krn/ntport/ntport.h"
#include "krn/ntport/ntport_int.h"
#include "platform/physmem.h"
#include "platform/share.h"
#include "weqparam_testutil.h"

using weqptest::CountLine;
using weqptest::RunExpect;
using weqptest::RunStore;
using weqptest::StoreResult;
using weqptest::StoreSetup;
using weqptest::U;
using weqptest::Utf8;

namespace {

constexpr uint64_t kMiB = uint64_t{1} << 20;

std::string Inst(const StoreResult& r) { return r.dir + "/instance.pfl"; }

// --- Instance profile --------------------------------------------------------------

TEST(WeqprofileInstance, LineRules) {
  StoreSetup s;
  s.instance =
      "# a comment = not an entry\n"             // 1
      "  \t# an indented comment = neither\n"    // 2
      "GR group line = skipped\n"                // 3
      "GRX = skipped too\n"                      // 4
      "G2 = taken\n"                             // 5
      "snc/enable = 1\n"                         // 6
      "PLAIN=value with  inner blanks \t \n"     // 7
      "   INDENTED \t=  \t v2\n"                 // 8
      "NO EQUALS SIGN\n"                         // 9
      "EMPTY =\n"                                // 10
      "INST_ONLY = only here\n"                  // 11
      "HASH = a # b\n"                           // 12
      "CR = crvalue\r\n"                         // 13
      "\r\n"                                     // 14
      "LAST_NO_EOL = end";                       // 15
  const char* kNot = "(not_in_weqparam)";
  StoreResult r = RunExpect(s, {{"G2", "taken", kNot},
                                {"GRX", nullptr, nullptr},
                                {"GR group line", nullptr, nullptr},
                                {"snc/enable", "1", "0"},
                                {"PLAIN", "value with  inner blanks", kNot},
                                {"INDENTED", "v2", kNot},
                                {"EMPTY", "", kNot},
                                {"INST_ONLY", "only here", kNot},
                                {"HASH", "a # b", kNot},
                                {"CR", "crvalue", kNot},
                                {"LAST_NO_EOL", "end", kNot},
                                {"__WEQPROFILE_n_PF_FILE", "00009", "00009"},
                                {"WEQPROFILE_IN_EFFECT", "{dir}/instance.pfl", "{dir}/instance.pfl"}});
  EXPECT_EQ(r.child.err, "weqparam(6): " + Inst(r) + ": missing '=' in line 9\n");
}

TEST(WeqprofileInstance, OverLongLinesAndAnEmptyValueAtTheEnd) {
  StoreSetup s;
  // The value is cut where the line's room ends; the rest of the line is
  // read as a further entry, which has no '='.
  s.instance = "LONG = " + std::string(5000, 'x') + "\n" + std::string(5000, 'N') + "\nTAIL =";
  StoreResult r = RunStore(s, {"LONG", "TAIL"});
  EXPECT_EQ(r.Get("LONG"), std::string(4094 - 4, 'x'));
  EXPECT_EQ(r.Get("TAIL"), "<null>");
  const std::string f = Inst(r);
  EXPECT_EQ(r.child.err, "weqparam(6): " + f + ": missing '=' in line 1\n"
                         "weqparam(7): " + f + ": line 2 is too long\n"
                         "weqparam(7): " + f + ": line 3 is too long\n");
}

struct IllegalCase {
  std::string text;
  std::map<std::string, std::string> values;  // "<null>" for none
  std::vector<std::string> messages;          // with "F" for the file name
};

class WeqprofileIllegal : public testing::TestWithParam<IllegalCase> {};

TEST_P(WeqprofileIllegal, MessageByPositionAndHashInTheText) {
  const IllegalCase& c = GetParam();
  StoreSetup s;
  s.instance = c.text;
  std::vector<std::string> names;
  for (const auto& [n, v] : c.values) names.push_back(n);
  StoreResult r = RunStore(s, names);
  ASSERT_EQ(r.child.exit_code, 0);
  for (const auto& [n, v] : c.values) EXPECT_EQ(r.Get(n), v) << n;
  std::string want;
  for (std::string m : c.messages) want += m.replace(m.find('F'), 1, Inst(r)) + "\n";
  EXPECT_EQ(r.child.err, want);
}

std::string Repeat(const std::string& s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

INSTANTIATE_TEST_SUITE_P(
    Positions, WeqprofileIllegal,
    testing::Values(
        // At the start of an entry: the line becomes a comment.
        IllegalCase{"\xffLEAD = 1\nNEXT = 2\n",
                    {{"LEAD", "<null>"}, {"NEXT", "2"}},
                    {"weqparam(18): F: line 1 starts with illegal byte sequence"}},
        IllegalCase{"  \xfe\xfe = 1\n", {}, {"weqparam(18): F: line 1 starts with illegal byte sequence"}},
        IllegalCase{"A = 1\nNA\xffME = 2\n",
                    {{"NA#ME", "2"}},
                    {"weqparam(17): F: line 2 illegal byte sequence in name"}},
        IllegalCase{"VAL = a\xff" "b\nLEADV =  \xc3\n",
                    {{"VAL", "a#b"}, {"LEADV", "#"}},
                    {"weqparam(16): F: line 1 illegal byte sequence in value",
                     "weqparam(16): F: line 2 illegal byte sequence in value"}},
        // In comments and skipped lines the bytes count without a message.
        IllegalCase{"# \xff\xff\nGR\xff\nOK = \xe2\x82\xac\n", {{"OK", "\xe2\x82\xac"}}, {}},
        // 100 illegal bytes are borne; the 101st ends the reading.
        IllegalCase{"#" + Repeat("\xff", 100) + "\nAFTER_100 = y\n", {{"AFTER_100", "y"}}, {}},
        IllegalCase{"#" + Repeat("\xff", 100) + "\nBEFORE = 1\n\xfe\nAFTER = 2\n",
                    {{"BEFORE", "1"}, {"AFTER", "<null>"}},
                    {"weqparam(18): F: reading canceld after 101 illegal bytes"}},
        IllegalCase{Repeat("V = \xff\n", 101) + "W = 1\n",
                    {{"V", "#"}, {"W", "<null>"}},
                    [] {
                      std::vector<std::string> m;
                      for (int i = 1; i <= 100; ++i)
                        m.push_back("weqparam(16): F: line " + std::to_string(i) +
                                    " illegal byte sequence in value");
                      m.push_back("weqparam(18): F: reading canceld after 101 illegal bytes");
                      return m;
                    }()}));

TEST(WeqprofileInstance, CharactersBeyondTheBasicPlaneStayPairs) {
  StoreSetup s;
  s.instance = "CLEF\xf0\x9d\x84\x9e = \xf0\x9d\x84\x9e\xc3\xa4\n";
  StoreResult r = RunStore(s, {"CLEF\xf0\x9d\x84\x9e"});
  EXPECT_EQ(r.Get("CLEF\xf0\x9d\x84\x9e"), "\xf0\x9d\x84\x9e\xc3\xa4");
  EXPECT_EQ(r.child.err, "");
}

TEST(WeqprofileInstance, SystemNameFirstValueBecomesItsDefault) {
  StoreSetup s;
  s.instance = "WEQSYSTEMNAME = ABC\nWEQSYSTEMNAME = DEF\n";
  StoreResult r =
      RunExpect(s, {{"WEQSYSTEMNAME", "DEF", "ABC"}, {"DIR_INSTALL", "DEF\\SYS", "ABC\\SYS"}});
  // The check at the end names the stages that differ from the value.
  EXPECT_EQ(CountLine(r.child.err, "weqparam: \"WEQSYSTEMNAME\": \"ABC\" <--> \"DEF\""), 2)
      << r.child.err;
}

TEST(WeqprofileInstance, MissingOrUnnamedProfileIsReported) {
  struct Case {
    std::optional<std::string> name;
    bool quiet;
    std::vector<std::string> lines;
  } cases[] = {
      {std::nullopt, false,
       {"weqparam(1c): No Profile used.",
        "weqparam: WEQSYSTEMNAME neither in Profile nor in Commandline"}},
      {std::nullopt, true, {}},
      {"/nonexistent/dir/x.pfl", true,
       {"weqparam(2): fopenU(\"/nonexistent/dir/x.pfl\",\"r\"): No such file or directory"}},
      {"/nonexistent/dir/x.pfl\n\t", false,
       {"weqparam(2): fopenU(\"/nonexistent/dir/x.pfl\",\"r\"): No such file or directory",
        "No Profile used.", "weqparam: WEQSYSTEMNAME neither in Profile nor in Commandline"}},
      {"/" + std::string(300, 'p'), true,
       {"weqparam(2): fopenU(\"/" + std::string(254, 'p') + "\",\"r\"): File name too long"}},
  };
  for (const Case& c : cases) {
    StoreSetup s;
    s.quiet = c.quiet;
    s.args = {{"DIR_PROFILE", "/nonexistent"}};
    if (c.name) s.args.push_back({"WEQPROFILE", *c.name});
    StoreResult r = RunStore(s, {"snc/enable"});
    EXPECT_EQ(r.Get("snc/enable"), "0");
    std::string want;
    for (const auto& l : c.lines) want += l + "\n";
    EXPECT_EQ(r.child.err, want) << (c.name ? *c.name : "(none)");
  }
}

// --- DEFAULT.PFL ---------------------------------------------------------------------

TEST(WeqprofileDefaultPfl, LineRules) {
  StoreSetup s;
  s.defaultPfl =
      "# comment = no\n"
      " #INDENTED_HASH = 1\n"  // '#' counts only in the first column
      "snc/enable = 1\n"
      "NO EQUALS SIGN\n"
      "PFLONLY = only here\n"
      "  SPACED \t=  \t v \t \n"
      "A=B=C\n"
      "NAME WITH BLANKS = w\n"
      "CR1 = a\rCR2 = b\r\n"
      "WEQSYSTEM = 55\n"
      "EMPTY =\n"
      "  =  \n"  // no name at all: the end of the file
      "AFTER_END = x\n";
  StoreResult r = RunExpect(s, {{"#INDENTED_HASH", "1", "1"},
                                {"snc/enable", "1", "1"},
                                {"PFLONLY", "only here", "only here"},
                                {"SPACED", "v", "v"},
                                {"A", "B=C", "B=C"},
                                {"NAME", "w", "w"},
                                {"CR1", "a", "a"},
                                {"CR2", "b", "b"},
                                {"WEQSYSTEM", "00", "55"},  // the stored default only
                                {"EMPTY", "", ""},
                                {"AFTER_END", nullptr, nullptr},
                                {"__WEQPROFILE_n_DEFAULT", "00010", "00010"},
                                {"__WEQPROFILE_DEFAULT", "{dir}\\DEFAULT.PFL", "{dir}\\DEFAULT.PFL"}});
  EXPECT_EQ(r.child.err, "");
}

TEST(WeqprofileDefaultPfl, LongLinesContinueAsTheNextLine) {
  StoreSetup s;
  // 4094 units per read: the first read ends inside the value; the rest
  // ("=tail" behind 4094 - 9 more x) is a line of its own.
  s.defaultPfl = "LONG = " + std::string(4094 - 7, 'x') + "REST=tail\n";
  StoreResult r = RunStore(s, {"LONG", "REST"});
  EXPECT_EQ(r.Get("LONG"), std::string(4094 - 7, 'x'));
  EXPECT_EQ(r.Get("REST"), "tail");
}

TEST(WeqprofileDefaultPfl, InstanceProfileOverridesIt) {
  StoreSetup s;
  s.defaultPfl = "BOTH = from default\nDEF_ONLY = d\n";
  s.instance = "BOTH = from instance\n";
  StoreResult r = RunStore(s, {"BOTH", "DEF_ONLY"});
  EXPECT_EQ(r.Get("BOTH"), "from instance");
  EXPECT_EQ(r.Default("BOTH"), "from default");
  EXPECT_EQ(r.Get("DEF_ONLY"), "d");
}

TEST(WeqprofileDefaultPfl, MissingFileIsSilent) {
  StoreSetup s;
  s.quiet = false;
  s.args = {{"DIR_PROFILE", "/nonexistent/profiles"}};
  StoreResult r = RunStore(s, {"__WEQPROFILE_DEFAULT"});
  EXPECT_EQ(r.Get("__WEQPROFILE_DEFAULT"), "");
  EXPECT_EQ(r.child.err.find("DEFAULT.PFL"), std::string::npos) << r.child.err;
}

// --- Host paths ----------------------------------------------------------------------

int NoResolver(const char*, NtIAddr*, int) { return -1; }

int OneShare(const WEQ_UC* share, WEQ_UC* dir, size_t size) {
  if (strcmpU(share, u"weqloc") != 0 || size < 3) return PLAT_SHARE_NOT_FOUND;
  memcpy(dir, u"/l", 3 * sizeof(WEQ_UC));
  return 0;
}

TEST(WeqprofileHostPaths, FromTheRawHostNames) {
  struct Case {
    const char* local;
    const char* global;
    const char* localPath;
    const char* globalPath;
  } cases[] = {
      {"alpha", "ALPHA", "\\\\alpha\\weqloc\\", "\\\\ALPHA\\weqmnt\\"},
      {"alpha", "beta", "\\\\alpha\\weqloc\\", ""},
      {".", ".", "/l\\", "\\\\.\\weqmnt\\"},  // this machine's share, mapped
  };
  for (const Case& c : cases) {
    auto r = tovtest::RunInChild([&] {
      NtISetResolver(NoResolver);
      PlatShareSetProvider(OneShare);
      weqparamQuiet();
      weqparamIAddArg(u"WEQLOCALHOST", U(c.local).c_str());
      weqparamIAddArg(u"WEQGLOBALHOST", U(c.global).c_str());
      weqparamIAddArg(u"WEQSYSTEMNAME", u"QAS");
      printf("%s|%s|%s|%s\n", Utf8(weqparamGet(u"LOCALHOSTPATH")).c_str(),
             Utf8(weqparamGet(u"LOCALHOSTSIDPATH")).c_str(),
             Utf8(weqparamGet(u"GLOBALHOSTPATH")).c_str(),
             Utf8(weqparamGet(u"DIR_INSTALL")).c_str());
      return 0;
    });
    EXPECT_EQ(r.out, std::string(c.localPath) + "|" + c.localPath + "|" + c.globalPath + "|" +
                         c.globalPath + "QAS\\SYS\n")
        << c.local << " " << c.global;
  }
}

// --- Memory-derived defaults ----------------------------------------------------------

uint64_t g_physBytes = 0;
bool InjectedMemory(uint64_t* bytes) {
  *bytes = g_physBytes;
  return true;
}

struct MemCase {
  const char* memsize;
  uint64_t physBytes;  // 0: the figure is unavailable
  std::vector<const char*> values;  // initial, ROLL_SHM, ROLL_MAXFS, PG_SHM, PG_MAXFS, global
};

class WeqprofileMemory : public testing::TestWithParam<MemCase> {};

const char16_t* const kMemRows[] = {u"em/initial_size_MB", u"rdisp/ROLL_SHM",
                                    u"rdisp/ROLL_MAXFS",   u"rdisp/PG_SHM",
                                    u"rdisp/PG_MAXFS",     u"em/global_area_MB"};
const WeqpBuf kMemBufs[] = {WeqpBuf::kEmInitial, WeqpBuf::kRollShm, WeqpBuf::kRollMaxfs,
                            WeqpBuf::kPgShm,     WeqpBuf::kPgMaxfs, WeqpBuf::kEmGlobal};

TEST_P(WeqprofileMemory, DerivedRows) {
  const MemCase& c = GetParam();
  g_physBytes = c.physBytes;
  PlatPhysMemSetProvider(c.physBytes ? InjectedMemory : nullptr);
  NtIReset();
  for (size_t i = 0; i < std::size(kMemRows); ++i) {
    ASSERT_TRUE(weqparamIDeriveMemory(kMemRows[i], U(c.memsize).c_str()));
    EXPECT_EQ(Utf8(weqparamIBuf(kMemBufs[i])), c.values[i])
        << Utf8(kMemRows[i]) << " of " << c.memsize << " with " << (c.physBytes >> 20) << " MB";
  }
  PlatPhysMemSetProvider(PlatPhysMemSystem);
  NtIReset();
}

// Hand-computed: M from the text (a percentage of the physical MB, at
// least 30, at most twice the physical MB), K = max((M - 128) * 25 / 128, 5).
INSTANTIATE_TEST_SUITE_P(
    Cases, WeqprofileMemory,
    testing::Values(
        MemCase{"64", 8192 * kMiB, {"64", "1024", "1024", "1200", "32768", "96"}},
        MemCase{"50%", 8192 * kMiB, {"4096", "32768", "32768", "16384", "32768", "286"}},
        MemCase{"64", 0, {"0", "1024", "1024", "1200", "32768", "96"}},
        MemCase{"1000", 8192 * kMiB, {"1000", "17000", "17000", "7800", "32768", "96"}},
        MemCase{"3%", 1000 * kMiB, {"50", "1024", "1024", "1200", "32768", "96"}},
        MemCase{"300%", 1000 * kMiB, {"2000", "32768", "32768", "15600", "32768", "140"}},
        MemCase{"10", 8192 * kMiB, {"30", "1024", "1024", "1200", "32768", "96"}},
        MemCase{"100000", 16 * kMiB, {"32", "1024", "1024", "1200", "32768", "96"}},
        MemCase{"8000", 8192 * kMiB, {"8000", "32768", "32768", "16384", "32768", "512"}},
        MemCase{"abc", 8192 * kMiB, {"30", "1024", "1024", "1200", "32768", "96"}},
        MemCase{"12%34%", 10000 * kMiB, {"1200", "20900", "20900", "9360", "32768", "96"}},
        // Five TiB: the kilobyte figure saturates at 32 bits instead of
        // wrapping to one TiB.
        MemCase{"50%", uint64_t{5} << 40, {"2097151", "32768", "32768", "16384", "32768", "512"}},
        MemCase{"99999999999999999999999", 8192 * kMiB,
                {"16384", "32768", "32768", "16384", "32768", "512"}}));

TEST(WeqprofileMemory, NamesAreComparedIgnoringCaseAndOthersAreRefused) {
  EXPECT_TRUE(weqparamIDeriveMemory(u"EM/INITIAL_SIZE_MB", u"64"));
  EXPECT_TRUE(weqparamIDeriveMemory(u"Rdisp/Pg_Maxfs", u"64"));
  EXPECT_FALSE(weqparamIDeriveMemory(u"em/initial_size", u"64"));
  EXPECT_FALSE(weqparamIDeriveMemory(u"qema/heap_area_total", u"64"));
}

TEST(WeqprofileMemory, StoreWithTheWorkedExamples) {
  struct Case {
    const char* memsize;
    const char* heap;
    std::vector<const char*> values;
  } cases[] = {
      {nullptr, "67108864", {"64", "1024", "1024", "1200", "32768", "96"}},
      {"50%", "52428800", {"4096", "32768", "32768", "16384", "32768", "286"}},
      {"-5", "0", {"30", "1024", "1024", "1200", "32768", "96"}},
      // Bounded before the shift to bytes.
      {"99999999999999999999", "9223372036853727232",
       {"16384", "32768", "32768", "16384", "32768", "512"}},
  };
  for (const Case& c : cases) {
    StoreSetup s;
    s.physBytes = 8192 * kMiB;
    if (c.memsize) s.args = {{"PHYS_MEMSIZE", c.memsize}};
    std::vector<std::string> names = {"qema/heap_area_total"};
    for (const char16_t* n : kMemRows) names.push_back(Utf8(n));
    StoreResult r = RunStore(s, names);
    EXPECT_EQ(r.Get("qema/heap_area_total"), c.heap) << (c.memsize ? c.memsize : "64");
    for (size_t i = 0; i < std::size(kMemRows); ++i) {
      EXPECT_EQ(r.Get(names[i + 1]), c.values[i]) << names[i + 1];
      EXPECT_EQ(r.Default(names[i + 1]), c.values[i]) << names[i + 1];
    }
  }
}

TEST(WeqprofileMemory, SystemFigureIsMemTotal) {
  std::ifstream in("/proc/meminfo");
  std::string key, unit;
  uint64_t kb = 0;
  while (in >> key >> kb >> unit && key != "MemTotal:") {
  }
  ASSERT_EQ(key, "MemTotal:");
  StoreSetup s;
  s.args = {{"PHYS_MEMSIZE", "100%"}};
  StoreResult r = RunStore(s, {"em/initial_size_MB"});
  EXPECT_EQ(r.Get("em/initial_size_MB"), std::to_string(std::max<uint64_t>(kb >> 10, 30)));
}

}  // namespace
