// The profile parameter store, each case in a fresh child process: the
// built-in defaults through both queries, the three layers and their
// inheritance, "$$", $(NAME) and %(NAME) substitution with the depth limit
// and its messages, directory assembly, the command-line layer, the lookup
// counter, the checks at the end of the build, and allocation failures.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "flat/weqparam.h"
#include "flat/weqparam_int.h"
#include "i18n/wequ16/u16str.h"
#include "weqparam_testutil.h"

using weqptest::CountLine;
using weqptest::Expect;
using weqptest::RunExpect;
using weqptest::RunStore;
using weqptest::StoreResult;
using weqptest::StoreSetup;
using weqptest::U;
using weqptest::Utf8;

namespace {

constexpr uint64_t kGiB = uint64_t{1} << 30;

// --- Built-in defaults ------------------------------------------------------------

TEST(WeqparamDefaults, BuiltInRowsThroughBothQueries) {
  StoreSetup s;
  s.physBytes = 8 * kGiB;
  const std::vector<Expect> want = {
      {"snc/enable", "0", "0"},
      {"snc/identity/as", "", ""},
      {"snc/gssapi_lib", "", ""},
      {"snc/accept_insecure_gui", "0", "0"},
      {"snc/accept_insecure_rfc", "0", "0"},
      {"snc/accept_insecure_cpic", "0", "0"},
      {"snc/accept_insecure_t8int_rfc", "1", "1"},
      {"snc/t8int_rfc_secure", "0", "0"},
      {"snc/t8int_rfc_qop", "8", "8"},
      {"snc/permit_insecure_start", "0", "0"},
      {"snc/data_protection/min", "2", "2"},
      {"snc/data_protection/max", "3", "3"},
      {"snc/data_protection/use", "9", "9"},
      {"snc/force_login_screen", "0", "0"},
      {"snc/extid_login_diag", "0", "0"},
      {"snc/extid_login_rfc", "0", "0"},
      {"WEQon", "WEQonNT ", "WEQonNT "},
      {"WEQSYSTEM", "00", "00"},
      {"INSTANCE_SRVTYPE", "D", "D"},
      {"INSTANCE_NAME", "D00", "D00"},
      {"WEQSYSTEMNAME", "", ""},
      {"WEQPROFILE", "", ""},
      {"WEQLOCALHOST", "", ""},
      {"WEQGLOBALHOST", "", ""},
      {"WEQTRANSHOST", "", ""},
      // Host paths from an empty host name: the global path is not set,
      // because the raw global host "$(WEQLOCALHOST)" is not the local one.
      {"LOCALHOSTPATH", "\\\\\\weqloc\\", "\\\\\\weqloc\\"},
      {"LOCALHOSTSIDPATH", "\\\\\\weqloc\\", "\\\\\\weqloc\\"},
      {"GLOBALHOSTPATH", "", ""},
      {"DIR_SEP", "\\", "\\"},
      {"DIR_INSTALL", "\\SYS", "\\SYS"},
      {"DIR_PROFILE", "\\SYS\\profile", "\\SYS\\profile"},
      {"DIR_EXE_ROOT", "\\SYS\\exe", "\\SYS\\exe"},
      {"DIR_INSTANCE", "\\\\\\weqloc\\\\D00", "\\\\\\weqloc\\\\D00"},
      {"DIR_EXECUTABLE", "\\\\\\weqloc\\\\D00\\exe", "\\\\\\weqloc\\\\D00\\exe"},
      {"jstartup/instance_properties", "\\\\\\weqloc\\\\D00\\exe\\instance_ext.properties",
       "\\\\\\weqloc\\\\D00\\exe\\instance_ext.properties"},
      {"zdate/DSTswitch_contloctime", "on", "on"},
      {"PHYS_MEMSIZE", "64", "64"},
      {"qema/heap_area_total", "67108864", "67108864"},
      {"em/initial_size_MB", "64", "64"},
      {"em/global_area_MB", "96", "96"},
      {"rdisp/ROLL_SHM", "1024", "1024"},
      {"rdisp/ROLL_MAXFS", "1024", "1024"},
      {"rdisp/PG_SHM", "1200", "1200"},
      {"rdisp/PG_MAXFS", "32768", "32768"},
      {"__WEQPROFILE_C", "@(#) $Id: flat/weqparam.cpp $", "@(#) $Id: flat/weqparam.cpp $"},
      {"__WEQPROFILE_n_DEFAULT", "00000", "00000"},
      {"__WEQPROFILE_n_PF_FILE", "00000", "00000"},
      {"WEQPROFILE_IN_EFFECT", "", ""},
      {"__WEQPROFILE_DEFAULT", "", ""},
  };
  StoreResult r = RunExpect(s, want);
  EXPECT_EQ(r.child.err, "") << "quiet: no message at all";
}

TEST(WeqparamDefaults, UnknownAndNullNamesYieldNull) {
  StoreResult r = RunStore({}, {"no/such/parameter", "", "snc/enable ", "SNC/ENABLE"}, [] {
    return weqparamGet(nullptr) == nullptr && weqparamGetDefault(nullptr) == nullptr ? 0 : 1;
  });
  EXPECT_EQ(r.child.exit_code, 0);
  for (const char* n : {"no/such/parameter", "", "snc/enable ", "SNC/ENABLE"}) {
    EXPECT_EQ(r.Get(n), "<null>") << n;
    EXPECT_EQ(r.Default(n), "<null>") << n;
  }
}

// The default layer substitutes with the system number still unknown, and
// an assembled directory's default becomes its two part references.
TEST(WeqparamDefaults, DefaultLayerOfTheRecords) {
  auto r = RunStore({}, {"DIR_PROFILE"}, [] {
    struct {
      const char16_t* name;
      const char16_t* defaultValue;
    } rows[] = {
        {u"INSTANCE_NAME", u"D??"},
        {u"WEQSYSTEM", u"??"},
        {u"DIR_PROFILE", u"$(__1_DIR_PROFILE)\\$(__2_DIR_PROFILE)"},
        {u"DIR_EXE_ROOT", u"$(__1_DIR_EXE_ROOT)\\$(__2_DIR_EXE_ROOT)"},
        {u"WEQGLOBALHOST", u""},
    };
    int bad = 0;
    for (const auto& row : rows) {
      const weqparamRec* rec = weqparamIFind(row.name);
      if (!rec || strcmpU(rec->defaultValue, row.defaultValue) != 0) {
        printf("%s: %s\n", Utf8(row.name).c_str(), rec ? Utf8(rec->defaultValue).c_str() : "-");
        ++bad;
      }
    }
    // Unchanged rows share one string through every stage.
    const weqparamRec* snc = weqparamIFind(u"snc/enable");
    if (snc->defaultRaw != snc->value || snc->systemFinal != snc->value) ++bad;
    return bad;
  });
  EXPECT_EQ(r.child.exit_code, 0) << r.child.out;
}

// --- Layers ----------------------------------------------------------------------

TEST(WeqparamLayers, CommandLinePairsOverrideOnlyTheCurrentLayer) {
  StoreSetup s;
  s.args = {{"snc/enable", "1"}, {"DIR_SEP", "/"}, {"not/a/parameter", "x"},
            {"INSTANCE_NAME", "J$$"}, {"snc/gssapi_lib", "lib$$.so"}};
  s.env = {{"WEQSYSTEM", "17"}};
  RunExpect(s, {{"snc/enable", "1", "0"},
                {"DIR_SEP", "/", "\\"},
                {"not/a/parameter", nullptr, nullptr},
                {"INSTANCE_NAME", "J17", "D17"},
                {"snc/gssapi_lib", "lib17.so", ""},
                // A J instance takes the plain properties file, in every layer.
                {"jstartup/instance_properties", "\\\\\\weqloc\\\\J17\\exe/instance.properties",
                 "\\\\\\weqloc\\\\D17\\exe\\instance.properties"}});
}

// Step 8 looks at INSTANCE_NAME before any substitution: a J that only a
// reference would bring does not count.
TEST(WeqparamLayers, PropertiesFileFollowsTheUnsubstitutedInstanceName) {
  StoreSetup s;
  s.args = {{"INSTANCE_SRVTYPE", "J"}};
  RunExpect(s, {{"INSTANCE_NAME", "J00", "D00"},
                {"jstartup/instance_properties",
                 "\\\\\\weqloc\\\\J00\\exe\\instance_ext.properties",
                 "\\\\\\weqloc\\\\D00\\exe\\instance_ext.properties"}});
}

TEST(WeqparamLayers, DefaultPflChangesTheSystemLayerAndWhatInheritsFromIt) {
  StoreSetup s;
  s.defaultPfl =
      "snc/enable = 1\n"
      "snc/t8int_rfc_qop = 9\n"
      "PFL_ONLY = from the file\n";
  s.args = {{"snc/t8int_rfc_qop", "3"}};
  StoreResult r = RunExpect(s, {{"snc/enable", "1", "1"},
                                {"snc/t8int_rfc_qop", "3", "9"},  // the command line wins
                                {"PFL_ONLY", "from the file", "from the file"},
                                {"__WEQPROFILE_n_DEFAULT", "00003", "00003"}});
  EXPECT_EQ(r.Get("__WEQPROFILE_DEFAULT"), "<not asked>");
}

TEST(WeqparamLayers, OverrideListSetsDefaultOverrideAndInstanceStages) {
  StoreSetup s;
  s.overrides = {{"snc/enable", "1"}, {"OVR_NEW", "ovr"}};
  StoreResult r = RunStore(s, {"snc/enable", "OVR_NEW"}, [] {
    const weqparamRec* e = weqparamIFind(u"snc/enable");
    const weqparamRec* n = weqparamIFind(u"OVR_NEW");
    if (!e || !n) return 1;
    // The raw default stays the table's; the override stage starts as the
    // same string as the system layer and so carries the override into it.
    if (strcmpU(e->defaultRaw, u"0") != 0 || strcmpU(e->defaultOverride, u"1") != 0) return 2;
    return strcmpU(n->systemRaw, u"ovr") == 0 ? 0 : 3;
  });
  EXPECT_EQ(r.child.exit_code, 0);
  EXPECT_EQ(r.Get("snc/enable"), "1");
  EXPECT_EQ(r.Default("snc/enable"), "1");
  EXPECT_EQ(r.Get("OVR_NEW"), "ovr");
  EXPECT_EQ(r.Default("OVR_NEW"), "ovr");
}

// --- "$$" ---------------------------------------------------------------------------

struct SystemNumberCase {
  std::optional<std::string> env;
  const char* number;
  bool formatError;
  std::string instance = "";  // an instance profile, when not empty
};

class WeqparamSystemNumber : public testing::TestWithParam<SystemNumberCase> {};

TEST_P(WeqparamSystemNumber, FromEnvironmentOrProfileInEveryLayer) {
  const SystemNumberCase& c = GetParam();
  StoreSetup s;
  s.env = {{"WEQSYSTEM", c.env}};
  if (!c.instance.empty()) s.instance = c.instance;
  s.defaultPfl = "SYS_LAYER = a$$b$$$\n";
  s.args = {{"snc/identity/as", "p:CN=$$"}};
  const std::string n = c.number;
  StoreResult r = RunExpect(s, {{"WEQSYSTEM", c.number, c.number},
                                {"INSTANCE_NAME", ("D" + n).c_str(), ("D" + n).c_str()},
                                {"SYS_LAYER", ("a" + n + "b" + n + "$").c_str(),
                                 ("a" + n + "b" + n + "$").c_str()},
                                {"snc/identity/as", ("p:CN=" + n).c_str(), ""}});
  EXPECT_EQ(CountLine(r.child.err, "weqparam(9): environment variable $WEQSYSTEM format error."),
            c.formatError ? 1 : 0)
      << r.child.err;
}

INSTANTIATE_TEST_SUITE_P(Values, WeqparamSystemNumber,
                         testing::Values(SystemNumberCase{std::nullopt, "00", false},
                                         SystemNumberCase{"42", "42", false},
                                         SystemNumberCase{"07", "07", false},
                                         SystemNumberCase{"7", "00", true},
                                         SystemNumberCase{"123", "00", true},
                                         SystemNumberCase{"4a", "00", true},
                                         SystemNumberCase{"", "00", true},
                                         // The first two-digit line of the instance
                                         // profile wins, also over the environment.
                                         SystemNumberCase{std::nullopt, "42", false,
                                                          "WEQSYSTEM = 7\nWEQSYSTEM = 42\n"
                                                          "WEQSYSTEM = 43\n"},
                                         SystemNumberCase{"17", "42", false, "WEQSYSTEM = 42\n"},
                                         SystemNumberCase{"17", "17", false, "WEQSYSTEM = 420\n"},
                                         SystemNumberCase{"123", "00", true, "WEQSYSTEM = x1\n"},
                                         SystemNumberCase{"7", "09", true, "WEQSYSTEM = 09\n"}));

// --- $(NAME) ------------------------------------------------------------------------

TEST(WeqparamReferences, ChainsAndNestedNamesResolve) {
  StoreSetup s;
  s.defaultPfl =
      "CHAIN_A = $(CHAIN_B)-a\n"
      "CHAIN_B = $(CHAIN_C)-b\n"
      "CHAIN_C = c\n"
      "NESTED = <$(CHAIN_$(INNER))>\n"
      "INNER = C\n"
      "TWICE = $(CHAIN_C)$(CHAIN_C)\n"
      "UNCLOSED = x$(CHAIN_C\n";
  StoreResult r = RunExpect(s, {{"CHAIN_A", "c-b-a", "c-b-a"},
                                {"NESTED", "<c>", "<c>"},
                                {"TWICE", "cc", "cc"},
                                {"UNCLOSED", "x$(CHAIN_C", "x$(CHAIN_C"}});
  EXPECT_GE(CountLine(r.child.err, "weqparam(15): UNCLOSED: ')' missing."), 1) << r.child.err;
}

TEST(WeqparamReferences, SelfReferenceAndLoopsStopPartlySubstituted) {
  StoreSetup s;
  s.defaultPfl =
      "SELF = x$(SELF)\n"
      "LOOP_A = $(LOOP_B)\n"
      "LOOP_B = $(LOOP_A)\n";
  StoreResult r = RunStore(s, {"SELF", "LOOP_A", "LOOP_B"});
  ASSERT_EQ(r.child.exit_code, 0);
  EXPECT_EQ(r.Get("SELF"), "x$(SELF)");
  EXPECT_EQ(r.Default("SELF"), "x$(SELF)");
  EXPECT_GE(CountLine(r.child.err, "weqparam(13): SELF = x$(SELF) recursive."), 1) << r.child.err;
  // A loop ends at the depth limit or on a reference to the record's own
  // name; either way text stays unresolved.
  for (const char* n : {"LOOP_A", "LOOP_B"}) {
    EXPECT_NE(r.Get(n).find("$(LOOP_"), std::string::npos) << n << " " << r.Get(n);
  }
  EXPECT_NE(r.child.err.find("recursive."), std::string::npos);
}

// A chain of n records, each referring to the next, the last one plain.
std::string Chain(int n) {
  std::string pfl;
  char name[16];
  for (int i = 0; i < n; ++i) {
    snprintf(name, sizeof name, "L%02d", i);
    pfl += name;
    if (i + 1 < n) {
      snprintf(name, sizeof name, "L%02d", i + 1);
      pfl += std::string(" = $(") + name + ")\n";
    } else {
      pfl += " = end\n";
    }
  }
  return pfl;
}

TEST(WeqparamReferences, TwentyLevelsResolveTheTwentyFirstIsRecursive) {
  StoreSetup s;
  s.defaultPfl = Chain(20);
  StoreResult r = RunStore(s, {"L00", "L19"});
  EXPECT_EQ(r.Get("L00"), "end");
  EXPECT_EQ(r.Default("L00"), "end");
  EXPECT_EQ(r.child.err.find("(12)"), std::string::npos) << r.child.err;

  s.defaultPfl = Chain(21);
  r = RunStore(s, {"L00", "L20"});
  EXPECT_EQ(r.Get("L00"), "end");
  EXPECT_GE(CountLine(r.child.err, "weqparam(12): L20 = end recursive."), 1) << r.child.err;
}

// A directory reached at the last level cannot resolve its parts: (?);
// the referring chain keeps the unassembled "(Default)", and the directory
// itself is assembled on its own turn.
TEST(WeqparamReferences, DirectoryAtTheDepthLimitLeavesItsMarker) {
  StoreSetup s;
  std::string pfl;
  for (int i = 0; i < 20; ++i) {
    char line[64];
    snprintf(line, sizeof line, "A%02d = $(A%02d)\n", i, i + 1);
    pfl += i < 19 ? line : "A19 = $(DIR_LOGGING)\n";
  }
  s.defaultPfl = pfl + "DIR_LOGGING = (Default)\n__1_DIR_LOGGING = a\n__2_DIR_LOGGING = b\n";
  StoreResult r =
      RunExpect(s, {{"A00", "(Default)", "(Default)"}, {"DIR_LOGGING", "a\\b", "a\\b"}});
  EXPECT_GE(CountLine(r.child.err, "weqparam(?): DIR_LOGGING = (Default) recursive."), 1)
      << r.child.err;
}

TEST(WeqparamReferences, MissingReferencesWarnOnlyWhileWarningsAreOn) {
  for (bool quiet : {true, false}) {
    StoreSetup s;
    s.quiet = quiet;
    s.defaultPfl = "MISS = x$(NOPE)y\n";
    StoreResult r = RunStore(s, {"MISS"});
    EXPECT_EQ(r.Get("MISS"), "x$(NOPE)y");
    EXPECT_EQ(r.Default("MISS"), "x$(NOPE)y");
    const int lines = CountLine(r.child.err, "weqparam(14): NOPE (ref.by MISS) missing.");
    if (quiet) {
      EXPECT_EQ(lines, 0);
      EXPECT_EQ(r.child.err, "");
    } else {
      EXPECT_GE(lines, 1) << r.child.err;
      EXPECT_EQ(CountLine(r.child.err, "weqparam(1c): No Profile used."), 1);
      EXPECT_EQ(CountLine(r.child.err, "weqparam: WEQSYSTEMNAME neither in Profile nor in Commandline"), 1);
    }
  }
}

TEST(WeqparamReferences, ValueBeyondTheLongestStringStopsTheSubstitution) {
  StoreSetup s;
  s.defaultPfl = "BIG = " + std::string(4000, 'x') + "\nTRIPLE = $(BIG)$(BIG)$(BIG)\n";
  StoreResult r = RunStore(s, {"TRIPLE"});
  EXPECT_EQ(r.Get("TRIPLE"), "$(BIG)" + std::string(8000, 'x'));
  EXPECT_GE(CountLine(r.child.err, "weqparam(10): line or value too long"), 1);
}

// --- %(NAME) ------------------------------------------------------------------------

TEST(WeqparamEnvironment, VariablesAreSubstitutedFromTheLeft) {
  StoreSetup s;
  s.env = {{"HOME", "/home/tester"},
           {"TOV_V1", "one"},
           {"TOV_V2", "\xc3\xa4\xe2\x82\xac\xf0\x9d\x84\x9e"},
           {"TOV_UNSET", std::nullopt},
           {"TOV_INDIRECT", "%(TOV_V1)"}};
  s.defaultPfl =
      "HOMEDIR = %(HOME)/x\n"
      "TWO = %(TOV_V1)-%(TOV_V2)\n"
      "UNSET = [%(TOV_UNSET)]\n"
      "NOCLOSE = a%(b\n"
      "OUTER = %(c %(TOV_V1)\n"  // the name runs to the first ')'

      "INDIRECT = %(TOV_INDIRECT)\n"
      "SELFENV = %(SELFENV)\n";
  s.args = {{"snc/gssapi_lib", "%(HOME)/lib"}};
  StoreResult r = RunExpect(s, {{"HOMEDIR", "/home/tester/x", "/home/tester/x"},
                                {"TWO", "one-\xc3\xa4\xe2\x82\xac\xf0\x9d\x84\x9e",
                                 "one-\xc3\xa4\xe2\x82\xac\xf0\x9d\x84\x9e"},
                                {"UNSET", "[]", "[]"},
                                {"NOCLOSE", "a%(b", "a%(b"},
                                {"OUTER", "", ""},
                                {"INDIRECT", "one", "one"},
                                {"SELFENV", "%(SELFENV)", "%(SELFENV)"},
                                {"snc/gssapi_lib", "/home/tester/lib", ""}});
  EXPECT_GE(CountLine(r.child.err, "weqparam(15): NOCLOSE: ')' missing."), 1) << r.child.err;
  EXPECT_GE(CountLine(r.child.err, "weqparam(13): SELFENV = %(SELFENV) recursive."), 1);
}

// --- Directory assembly -------------------------------------------------------------

TEST(WeqparamDirectories, TargetWordChoosesTheSeparator) {
  struct Case {
    const char* target;
    const char* exeRoot;
  } cases[] = {
      {"WEQonUNIX", "\\SYS\\exe"},
      {"WEQonOS2x", "\\SYS\\exe"},
      {"WEQonOS400", "\\SYS/exe"},
      {"WEQonVMS", "weqparam: target not implemented in Function GetDsSpec"},
  };
  for (const Case& c : cases) {
    StoreSetup s;
    s.defaultPfl = std::string("GetDsCtrl = ") + c.target + "\n";
    StoreResult r = RunStore(s, {"DIR_EXE_ROOT"});
    EXPECT_EQ(r.Get("DIR_EXE_ROOT"), c.exeRoot) << c.target;
    EXPECT_EQ(r.Default("DIR_EXE_ROOT"), c.exeRoot) << c.target;
    EXPECT_EQ(CountLine(r.child.err, "weqparam: target not implemented in Function GetDsSpec") > 0,
              strcmp(c.target, "WEQonVMS") == 0)
        << r.child.err;
  }
}

TEST(WeqparamDirectories, PartsAndMarkersOutsideTheTable) {
  StoreSetup s;
  s.defaultPfl =
      "__2_DIR_EXE_ROOT =\n"     // an empty part: no separator
      "DIR_LOGGING = (Default)\n"  // in the table, without part parameters
      "__1_DIR_DATA = /data\n"
      "__2_DIR_DATA = $(INSTANCE_NAME)\n"
      "DIR_DATA = (Default)\n"
      "NOT_A_DIR = (Default)\n";
  RunExpect(s, {{"DIR_EXE_ROOT", "\\SYS", "\\SYS"},
                {"DIR_LOGGING", "", ""},
                {"DIR_DATA", "/data\\D00", "/data\\D00"},
                {"NOT_A_DIR", "(Default)", "(Default)"}});
}

TEST(WeqparamDirectories, DirProfileFromDefaultPflIsReportedAndNotFollowed) {
  // DEFAULT.PFL is found through the assembled DIR_PROFILE: under the
  // global host path, "\\SYS\\profile".
  tovtest::TempDir other, root;
  const std::string prof = root.File("SYS/profile");
  ASSERT_EQ(system(("mkdir -p " + prof).c_str()), 0);
  tovtest::WriteFile(prof + "/DEFAULT.PFL",
                     "DIR_PROFILE = " + other.path() + "\nDIR_INSTALL = /opt/weq/SYS\n");
  StoreSetup t;
  t.args = {{"GLOBALHOSTPATH", root.path() + "/"}};
  StoreResult q = RunStore(t, {"DIR_PROFILE", "DIR_INSTALL", "DIR_EXE_ROOT", "__WEQPROFILE_DEFAULT"});
  const std::string read = root.path() + "/\\SYS\\profile";  // opened as <root>//SYS/profile
  EXPECT_EQ(q.Get("DIR_PROFILE"), read) << "where the file was read from";
  EXPECT_EQ(q.Default("DIR_PROFILE"), other.path());
  EXPECT_EQ(q.Get("__WEQPROFILE_DEFAULT"), read + "\\DEFAULT.PFL");
  EXPECT_EQ(CountLine(q.child.err, "weqparam: \"DIR_PROFILE\": must not be in \"" + read +
                                       "\\DEFAULT.PFL\""),
            1)
      << q.child.err;
  // DIR_INSTALL was resolved before the file was read; its value from the
  // file still reaches the current layer and what refers to it.
  EXPECT_EQ(q.Get("DIR_INSTALL"), "/opt/weq/SYS");
  EXPECT_EQ(q.Default("DIR_INSTALL"), "/opt/weq/SYS");
  EXPECT_EQ(q.Get("DIR_EXE_ROOT"), "/opt/weq/SYS\\exe");
}

// --- Lookups ---------------------------------------------------------------------------

TEST(WeqparamLookups, CounterAndLastNameFollowCountedLookups) {
  StoreSetup s;
  s.defaultPfl = "$DOLLAR = d\n";
  auto r = RunStore(s, {}, [] {
    const WEQ_UC* calls = weqparamGet(u"__WEQPROFILE_CALLS");
    const WEQ_UC* last = weqparamGet(u"__WEQPROFILE_CALL_LAST_NAME");
    const long before = strtolU(calls, nullptr, 10);
    if (strlenU(calls) != 5) return 1;
    weqparamGet(u"snc/enable");
    weqparamGet(u"no/such/name");  // unknown names count too
    weqparamGetDefault(u"snc/gssapi_lib");
    if (strcmpU(weqparamGet(u"$DOLLAR"), u"d") != 0) return 5;  // answered, never counted
    weqparamGet(nullptr);
    if (strcmpU(last, u"no/such/name") != 0) return 2;
    if (strtolU(calls, nullptr, 10) != before + 2) return 3;
    std::u16string longName(600, u'n');
    weqparamGet(longName.c_str());
    if (std::u16string(last) != std::u16string(498, u'n')) return 4;
    return 0;
  });
  EXPECT_EQ(r.child.exit_code, 0) << r.child.err;
}

TEST(WeqparamLookups, StringsStayTheSameForTheLifeOfTheProcess) {
  auto r = RunStore({}, {}, [] {
    const WEQ_UC* a = weqparamGet(u"DIR_PROFILE");
    const WEQ_UC* b = weqparamGetDefault(u"DIR_PROFILE");
    weqparamInit();  // built already: nothing changes
    return a == weqparamGet(u"DIR_PROFILE") && b == weqparamGetDefault(u"DIR_PROFILE") ? 0 : 1;
  });
  EXPECT_EQ(r.child.exit_code, 0);
}

// --- Checks at the end of the build --------------------------------------------------

TEST(WeqparamChecks, SystemNameDifferencesAreReported) {
  StoreSetup s;
  s.defaultPfl = "WEQSYSTEMNAME = ABC\n";
  StoreResult r = RunStore(s, {"WEQSYSTEMNAME"});
  EXPECT_EQ(r.Get("WEQSYSTEMNAME"), "ABC");
  EXPECT_EQ(CountLine(r.child.err, "weqparam: \"WEQSYSTEMNAME\": \"\" <--> \"ABC\""), 1)
      << r.child.err;
}

TEST(WeqparamChecks, WithoutRegistrationTheEnvironmentChoosesHostTemplates) {
  struct Case {
    bool msid, p700;
    const char* localSid;
    const char* executable;
  } cases[] = {
      {false, false, "\\\\\\weqloc\\", "\\\\\\weqmnt\\\\SYS\\exe\\$(EXETYPE)"},
      {true, false, "\\\\\\weqloc_42\\", "\\\\\\weqmnt\\\\SYS\\exe\\$(EXETYPE)"},
      {true, true, "\\\\\\weqloc_42\\", "\\\\\\weqloc_42\\\\D42\\exe"},
  };
  for (const Case& c : cases) {
    auto r = tovtest::RunInChild([&] {
      for (const char* v : {"WEQPARAM700", "WEQPARAMMSID"}) unsetenv(v);
      setenv("WEQSYSTEM", "42", 1);
      if (c.msid) setenv("WEQPARAMMSID", "1", 1);
      if (c.p700) setenv("WEQPARAM700", "1", 1);
      printf("%s\n%s\n%s\n", Utf8(weqparamGet(u"LOCALHOSTSIDPATH")).c_str(),
             Utf8(weqparamGet(u"DIR_EXECUTABLE")).c_str(),
             Utf8(weqparamGet(u"GLOBALHOSTPATH")).c_str());
      return 0;
    });
    EXPECT_EQ(r.out, std::string(c.localSid) + "\n" + c.executable + "\n\\\\\\weqmnt\\\n")
        << c.msid << c.p700;
    EXPECT_EQ(CountLine(r.err, "weqparam: weqargv(argc, argv) has not been called!"), 1);
    EXPECT_EQ(CountLine(r.err, "weqparam(14): EXETYPE (ref.by DIR_EXECUTABLE) missing.") > 0,
              !c.p700)
        << r.err;
  }
}

// --- Allocation failures ---------------------------------------------------------

int g_allocsLeft = 0;
void* CountedAlloc(size_t n) { return g_allocsLeft-- > 0 ? malloc(n) : nullptr; }
void* FailRealloc(void*, size_t) { return nullptr; }

TEST(WeqparamAllocation, NoRecordArrayLeavesAnEmptyStore) {
  auto r = tovtest::RunInChild([] {
    g_allocsLeft = 0;
    weqparamISetAllocator(CountedAlloc, nullptr);
    weqparamQuiet();
    return weqparamGet(u"snc/enable") == nullptr && weqparamGetDefault(u"DIR_PROFILE") == nullptr
               ? 0
               : 1;
  });
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err.find("weqparam(3): malloc: "), 0u) << r.err;
}

TEST(WeqparamAllocation, PoolContinuesInItsReserveAndRefusesWhatDoesNotFit) {
  tovtest::TempDir dir;
  std::string pfl;
  for (char c : std::string("abc")) pfl += std::string("BIG_") + c + " = " + std::string(3500, c) + "\n";
  tovtest::WriteFile(dir.File("DEFAULT.PFL"), pfl);
  auto r = tovtest::RunInChild([&] {
    g_allocsLeft = 1;  // the record array only
    weqparamISetAllocator(CountedAlloc, nullptr);
    weqparamQuiet();
    weqparamIAddArg(u"DIR_PROFILE", U(dir.path()).c_str());
    int stored = 0;
    for (char c : std::string("abc")) {
      const WEQ_UC* v = weqparamGet(U(std::string("BIG_") + c).c_str());
      if (v == nullptr) continue;
      if (std::u16string(v) != std::u16string(3500, static_cast<char16_t>(c))) return 1;
      ++stored;
    }
    printf("%d\n", stored);
    return weqparamGet(u"snc/enable") != nullptr ? 0 : 2;
  });
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_TRUE(r.out == "1\n" || r.out == "2\n") << r.out;
  EXPECT_NE(r.err.find("weqparam(11): malloc: "), std::string::npos);
}

TEST(WeqparamAllocation, GrowthFailureOfTheInstanceProfileEmptiesTheStore) {
  tovtest::TempDir dir;
  tovtest::WriteFile(dir.File("inst.pfl"), "NEW_PARAMETER = 1\n");
  auto r = tovtest::RunInChild([&] {
    weqparamISetAllocator(nullptr, FailRealloc);
    weqparamQuiet();
    weqparamIAddArg(u"WEQPROFILE", U(dir.File("inst.pfl")).c_str());
    return weqparamGet(u"snc/enable") == nullptr && weqparamGet(u"NEW_PARAMETER") == nullptr ? 0
                                                                                              : 1;
  });
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_NE(r.err.find("weqparam(5): realloc: "), std::string::npos) << r.err;
}

}  // namespace
