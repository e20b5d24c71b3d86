// The profile parameter store, each case built in a fresh child process:
// the built-in defaults through both queries, the layers and what inherits
// from them, "$$", $(NAME) and %(NAME) with the depth limit and its
// messages, directory assembly, both profile readers with their line rules
// and illegal bytes, the host paths, the memory-derived rows, the lookup
// counter, the checks at the end of the build and allocation failures.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>
#include <optional>

#include "flat/weqparam.h"
#include "flat/weqparam_int.h"
#include "i18n/wequ16/u16str.h"
#include "krn/ntport/ntport_int.h"
#include "platform/physmem.h"
#include "platform/share.h"
#include "support/testsupport.h"

namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;
constexpr uint64_t kMiB = uint64_t{1} << 20;

struct Setup {
  std::vector<std::pair<std::string, std::optional<std::string>>> env = {};  // nullopt unsets
  Pairs args = {}, overrides = {};  // command-line pairs and the override list
  bool quiet = true;
  // Written into a temporary directory "{dir}", which becomes DIR_PROFILE
  // when defaultPfl is given; instance is "{dir}/instance.pfl", named by the
  // pair WEQPROFILE.
  std::optional<std::string> defaultPfl = {}, instance = {};
  std::optional<uint64_t> physBytes = {};  // the physical memory reported; 0: none
  void (*before)() = nullptr;              // runs before the store is built
  int (*check)() = nullptr;                // runs after; its result is the exit code
};

// The answers of weqparamGet and weqparamGetDefault ("<null>" for NULL);
// "{dir}" stands for the profiles' directory.
const std::string kNull = "<null>", kSame = "<same as get>";
struct Expect {
  std::string name, get, def = kSame;
};

std::u16string U(const std::string& s) { return tovtest::FromUtf8(s); }
std::string Utf8(const char16_t* s) { return s ? tovtest::ToUtf8(s) : kNull; }

uint64_t gPhysBytes = 0;
bool InjectedMemory(uint64_t* bytes) { return *bytes = gPhysBytes, true; }

// Builds the store in a child as set up there (WEQSYSTEM, WEQPARAM700,
// WEQPARAMMSID and NI_USEIPv6 unset first) and compares the answers for want
// there: the differences come back on standard output, the store's messages
// on standard error with the profiles' directory as "{dir}".
tovtest::ChildResult RunStore(const Setup& s, const std::vector<Expect>& want) {
  tovtest::TempDir tmp;
  if (s.defaultPfl) tovtest::WriteFile(tmp.File("DEFAULT.PFL"), *s.defaultPfl);
  if (s.instance) tovtest::WriteFile(tmp.File("instance.pfl"), *s.instance);
  auto r = tovtest::RunInChild([&] {
    for (const char* v : {"WEQSYSTEM", "WEQPARAM700", "WEQPARAMMSID", "NI_USEIPv6"}) unsetenv(v);
    NtIReset();  // the parent may have bound the system entries already
    for (const auto& [k, v] : s.env) v ? setenv(k.c_str(), v->c_str(), 1) : unsetenv(k.c_str());
    gPhysBytes = s.physBytes.value_or(0);
    if (s.physBytes) PlatPhysMemSetProvider(gPhysBytes ? InjectedMemory : nullptr);
    if (s.before) s.before();
    if (s.defaultPfl) weqparamIAddArg(u"DIR_PROFILE", U(tmp.path()).c_str());
    if (s.instance) weqparamIAddArg(u"WEQPROFILE", U(tmp.File("instance.pfl")).c_str());
    for (const auto& [k, v] : s.args) weqparamIAddArg(U(k).c_str(), U(v).c_str());
    for (const auto& [k, v] : s.overrides) weqparamIAddOverride(U(k).c_str(), U(v).c_str());
    if (s.quiet) weqparamQuiet();
    weqparamInit();
    auto expand = [&](std::string t) {
      if (size_t at = t.find("{dir}"); at != t.npos) t.replace(at, 5, tmp.path());
      return t;
    };
    for (const Expect& e : want) {
      const std::string get = Utf8(weqparamGet(U(e.name).c_str())), def = Utf8(weqparamGetDefault(U(e.name).c_str()));
      const std::string wantDef = expand(e.def == kSame ? e.get : e.def);
      if (get != expand(e.get) || def != wantDef)
        printf("%s: %s | %s, want %s | %s\n", e.name.c_str(), get.c_str(), def.c_str(), e.get.c_str(), wantDef.c_str());
    }
    fflush(stdout);
    return s.check ? s.check() : 0;
  });
  for (size_t at; (at = r.err.find(tmp.path())) != std::string::npos;) r.err.replace(at, tmp.path().size(), "{dir}");
  return r;
}

struct Case {
  std::string name;
  Setup setup;
  std::vector<Expect> want;
  std::vector<std::string> err = {};  // lines of standard error start so ("!": no line does)
  bool exact = false;                 // and it holds only these lines
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }
class Store : public testing::TestWithParam<Case> {};

TEST_P(Store, AnswersAndMessages) {
  const Case& c = GetParam();
  const auto r = RunStore(c.setup, c.want);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.exit_code, 0) << r.err;
  std::string all;
  for (const std::string& line : c.err) {
    all += line + "\n";
    const bool absent = line[0] == '!';
    EXPECT_EQ(("\n" + r.err).find("\n" + line.substr(absent)) == std::string::npos, absent) << line << "\n" << r.err;
  }
  if (c.exact) {
    EXPECT_EQ(r.err, all);
  }
}

// --- Checks run in the child after the build -----------------------------------

// The default layer substitutes while the system number is still "??"; an
// assembled directory's default becomes its two part references; unchanged
// rows share one string through every stage; answers keep their strings.
int DefaultLayer() {
  const std::pair<const char16_t*, const char16_t*> rows[] = {
      {u"INSTANCE_NAME", u"D??"}, {u"WEQSYSTEM", u"??"}, {u"WEQGLOBALHOST", u""},
      {u"DIR_PROFILE", u"$(__1_DIR_PROFILE)\\$(__2_DIR_PROFILE)"},
      {u"DIR_EXE_ROOT", u"$(__1_DIR_EXE_ROOT)\\$(__2_DIR_EXE_ROOT)"}};
  for (auto [name, value] : rows)
    if (strcmpU(weqparamIFind(name)->defaultValue, value) != 0) return printf("%s\n", Utf8(name).c_str()), 1;
  const weqparamRec* snc = weqparamIFind(u"snc/enable");
  const WEQ_UC* dir = weqparamGet(u"DIR_PROFILE");
  weqparamInit();
  return snc->defaultRaw == snc->value && snc->systemFinal == snc->value && dir == weqparamGet(u"DIR_PROFILE") &&
                 !weqparamGet(nullptr) && !weqparamGetDefault(nullptr)
             ? 0
             : 2;
}

int LoopsStayUnresolved() {
  return strstrU(weqparamGet(u"LOOP_A"), u"$(LOOP_") && strstrU(weqparamGet(u"LOOP_B"), u"$(LOOP_") ? 0 : 1;
}

// Lookups of any name count, except those of names starting with '$' and of
// NULL; weqparamGetDefault does not count; the last name keeps 498 units;
// the count has five digits at least ("00042", "99999", "100000").
int Counter() {
  const WEQ_UC *calls = weqparamGet(u"__WEQPROFILE_CALLS"), *last = weqparamGet(u"__WEQPROFILE_CALL_LAST_NAME");
  const long before = strtolU(calls, nullptr, 10);
  weqparamGet(u"snc/enable");
  weqparamGet(u"no/such/name");
  weqparamGetDefault(u"snc/gssapi_lib");
  const bool dollar = strcmpU(weqparamGet(u"$DOLLAR"), u"d") == 0;
  weqparamGet(nullptr);
  const bool counted = strlenU(calls) == 5 && strtolU(calls, nullptr, 10) == before + 2;
  const bool named = strcmpU(last, u"no/such/name") == 0;
  weqparamGet(std::u16string(600, u'n').c_str());
  const bool cut = std::u16string(last) == std::u16string(498, u'n');
  for (long n = strtolU(calls, nullptr, 10); n < 99999; ++n) weqparamGet(u"x");
  const bool five = std::u16string(calls) == u"99999";
  weqparamGet(u"x");
  return dollar && counted && named && cut && five && std::u16string(calls) == u"100000" ? 0 : 1;
}

int gAllocsLeft = 0;
void* CountedAlloc(size_t n) { return gAllocsLeft-- > 0 ? malloc(n) : nullptr; }
void* FailRealloc(void*, size_t) { return nullptr; }

// With the record array as the only allocation granted, the pool goes on in
// its reserve: whole values of 3500 units while they fit, none cut short.
int PoolReserve() {
  int stored = 0;
  for (char16_t c : std::u16string(u"abc")) {
    const WEQ_UC* v = weqparamGet((u"BIG_" + std::u16string(1, c)).c_str());
    if (v && std::u16string(v) != std::u16string(3500, c)) return 1;
    stored += v != nullptr;
  }
  return (stored == 1 || stored == 2) && weqparamGet(u"snc/enable") ? 0 : 2;
}

int NoResolver(const char*, NtIAddr*, int) { return -1; }
int OneShare(const WEQ_UC* share, WEQ_UC* dir, size_t size) {
  if (strcmpU(share, u"weqloc") != 0 || size < 3) return PLAT_SHARE_NOT_FOUND;
  return memcpy(dir, u"/l", 3 * sizeof(WEQ_UC)), 0;
}

// --- The cases -------------------------------------------------------------------

// A chain of n parameters, each referring to the next, the last one "end".
std::string Chain(int n) {
  std::string pfl;
  for (int i = 0; i < n; ++i) {
    char line[32];
    snprintf(line, sizeof line, i + 1 < n ? "L%02d = $(L%02d)\n" : "L%02d = end\n", i, i + 1);
    pfl += line;
  }
  return pfl;
}

// "$$" in the system layer (DEFAULT.PFL), the current layer (a command-line
// pair) and the built-in default of INSTANCE_NAME.
Case SystemNumber(const std::string& name, std::optional<std::string> env, const std::string& n, bool formatError,
                  std::optional<std::string> instance = {}) {
  return {name,
          {.env = {{"WEQSYSTEM", env}}, .args = {{"snc/identity/as", "p:CN=$$"}}, .defaultPfl = "SYS = a$$b$$$\n",
           .instance = instance},
          {{"WEQSYSTEM", n}, {"INSTANCE_NAME", "D" + n}, {"SYS", "a" + n + "b" + n + "$"}, {"snc/identity/as", "p:CN=" + n, ""}},
          formatError ? std::vector<std::string>{"weqparam(9): environment variable $WEQSYSTEM format error."}
                      : std::vector<std::string>{},
          true};
}

Case Illegal(const std::string& name, const std::string& text, const std::vector<Expect>& want,
             const std::vector<std::string>& messages) {
  std::vector<std::string> err;
  for (const std::string& m : messages) err.push_back("weqparam(" + m);
  return {name, {.instance = text}, want, err, true};
}

// The heap size and the first memory-derived row from PHYS_MEMSIZE, with 8 GiB.
Case Memory(const std::string& name, const char* memsize, const std::string& heap,
            const std::string& initial) {
  return {name, {.args = memsize ? Pairs{{"PHYS_MEMSIZE", memsize}} : Pairs{}, .physBytes = 8192 * kMiB},
          {{"qema/heap_area_total", heap}, {"em/initial_size_MB", initial}}};
}

// The instance profile's 100% of the system's physical memory: MemTotal.
Case MemTotal() {
  std::ifstream in("/proc/meminfo");
  std::string key, unit;
  uint64_t kb = 0;
  while (in >> key >> kb >> unit && key != "MemTotal:") {
  }
  return {"MemTotal", {.args = {{"PHYS_MEMSIZE", "100%"}}}, {{"em/initial_size_MB", std::to_string(std::max<uint64_t>(kb >> 10, 30))}}};
}

const std::string kNot = "(not_in_weqparam)";
const std::string kLocal = "\\\\\\weqloc\\";  // the local host path of an empty host name

INSTANTIATE_TEST_SUITE_P(
    Cases, Store,
    testing::Values(
        // Host paths from an empty host name: the global one stays unset,
        // because the raw global host "$(WEQLOCALHOST)" is not the local one.
        Case{"Defaults",
             {.physBytes = 8 * 1024 * kMiB, .check = DefaultLayer},
             {{"snc/enable", "0"}, {"snc/identity/as", ""}, {"snc/accept_insecure_t8int_rfc", "1"},
              {"snc/t8int_rfc_qop", "8"}, {"snc/data_protection/use", "9"}, {"WEQon", "WEQonNT "},
              {"WEQSYSTEM", "00"}, {"INSTANCE_NAME", "D00"}, {"WEQSYSTEMNAME", ""}, {"LOCALHOSTPATH", kLocal},
              {"LOCALHOSTSIDPATH", kLocal}, {"GLOBALHOSTPATH", ""}, {"DIR_INSTALL", "\\SYS"},
              {"DIR_PROFILE", "\\SYS\\profile"}, {"DIR_EXE_ROOT", "\\SYS\\exe"},
              {"DIR_EXECUTABLE", kLocal + "\\D00\\exe"},
              {"jstartup/instance_properties", kLocal + "\\D00\\exe\\instance_ext.properties"},
              {"PHYS_MEMSIZE", "64"}, {"__WEQPROFILE_C", "@(#) $Id: flat/weqparam.cpp $"},
              {"__WEQPROFILE_n_DEFAULT", "00000"}, {"WEQPROFILE_IN_EFFECT", ""}, {"no/such/parameter", kNull},
              {"", kNull}, {"snc/enable ", kNull}, {"SNC/ENABLE", kNull}},
             {}, true},
        // Command-line pairs change the current layer only; a J instance
        // takes the plain properties file, in every layer.
        Case{"CommandLine",
             {.env = {{"WEQSYSTEM", "17"}},
              .args = {{"snc/enable", "1"}, {"DIR_SEP", "/"}, {"not/a/parameter", "x"}, {"INSTANCE_NAME", "J$$"},
                       {"snc/gssapi_lib", "lib$$.so"}}},
             {{"snc/enable", "1", "0"}, {"DIR_SEP", "/", "\\"}, {"not/a/parameter", kNull},
              {"INSTANCE_NAME", "J17", "D17"}, {"snc/gssapi_lib", "lib17.so", ""},
              {"jstartup/instance_properties", kLocal + "\\J17\\exe/instance.properties",
               kLocal + "\\D17\\exe\\instance.properties"}}},
        // Only a J in the unsubstituted INSTANCE_NAME counts, not one that a
        // reference brings.
        Case{"PropertiesFile", {.args = {{"INSTANCE_SRVTYPE", "J"}}},
             {{"INSTANCE_NAME", "J00", "D00"},
              {"jstartup/instance_properties", kLocal + "\\J00\\exe\\instance_ext.properties",
               kLocal + "\\D00\\exe\\instance_ext.properties"}}},
        Case{"DefaultPflAndCommandLine",
             {.args = {{"snc/t8int_rfc_qop", "3"}},
              .defaultPfl = "snc/enable = 1\nsnc/t8int_rfc_qop = 9\nPFL_ONLY = from the file\n"},
             {{"snc/enable", "1"}, {"snc/t8int_rfc_qop", "3", "9"}, {"PFL_ONLY", "from the file"},
              {"__WEQPROFILE_n_DEFAULT", "00003"}}},
        Case{"OverrideList", {.overrides = {{"snc/enable", "1"}, {"OVR_NEW", "ovr"}}},
             {{"snc/enable", "1"}, {"OVR_NEW", "ovr"}}},
        SystemNumber("NumberUnset", std::nullopt, "00", false), SystemNumber("Number42", "42", "42", false),
        SystemNumber("Number07", "07", "07", false), SystemNumber("NumberOneDigit", "7", "00", true),
        SystemNumber("NumberThreeDigits", "123", "00", true), SystemNumber("NumberLetter", "4a", "00", true),
        SystemNumber("NumberEmpty", "", "00", true),
        // The first two-digit line of the instance profile wins, also over
        // the environment.
        SystemNumber("NumberProfile", std::nullopt, "42", false, "WEQSYSTEM = 7\nWEQSYSTEM = 42\nWEQSYSTEM = 43\n"),
        SystemNumber("NumberProfileFirst", "17", "42", false, "WEQSYSTEM = 42\n"),
        SystemNumber("NumberProfileBad", "17", "17", false, "WEQSYSTEM = 420\n"),
        SystemNumber("NumberBoth", "7", "09", true, "WEQSYSTEM = 09\n"),
        Case{"References",
             {.defaultPfl = "CHAIN_A = $(CHAIN_B)-a\nCHAIN_B = $(CHAIN_C)-b\nCHAIN_C = c\nNESTED = <$(CHAIN_$(INNER))>\n"
                            "INNER = C\nTWICE = $(CHAIN_C)$(CHAIN_C)\nUNCLOSED = x$(CHAIN_C\n"},
             {{"CHAIN_A", "c-b-a"}, {"NESTED", "<c>"}, {"TWICE", "cc"}, {"UNCLOSED", "x$(CHAIN_C"}},
             {"weqparam(15): UNCLOSED: ')' missing."}},
        // A loop ends at the depth limit or on a reference to the record's own
        // name; either way its text stays unresolved.
        Case{"SelfReferenceAndLoop",
             {.defaultPfl = "SELF = x$(SELF)\nLOOP_A = $(LOOP_B)\nLOOP_B = $(LOOP_A)\n", .check = LoopsStayUnresolved},
             {{"SELF", "x$(SELF)"}}, {"weqparam(13): SELF = x$(SELF) recursive."}},
        Case{"TwentyLevels", {.defaultPfl = Chain(20)}, {{"L00", "end"}}, {}, true},
        Case{"TwentyOneLevels", {.defaultPfl = Chain(21)}, {{"L00", "end"}}, {"weqparam(12): L20 = end recursive."}},
        // A directory reached at the last level cannot resolve its parts: the
        // chain keeps "(Default)", the directory is assembled on its own turn.
        Case{"DirectoryAtTheDepthLimit",
             {.defaultPfl = Chain(20).replace(Chain(20).rfind("end"), 3, "$(DIR_LOGGING)") +
                            "DIR_LOGGING = (Default)\n__1_DIR_LOGGING = a\n__2_DIR_LOGGING = b\n"},
             {{"L00", "(Default)"}, {"DIR_LOGGING", "a\\b"}}, {"weqparam(?): DIR_LOGGING = (Default) recursive."}},
        Case{"MissingReferenceQuiet", {.defaultPfl = "MISS = x$(NOPE)y\n"}, {{"MISS", "x$(NOPE)y"}}, {}, true},
        Case{"MissingReferenceWarned", {.quiet = false, .defaultPfl = "MISS = x$(NOPE)y\n"}, {{"MISS", "x$(NOPE)y"}},
             {"weqparam(14): NOPE (ref.by MISS) missing.", "weqparam(1c): No Profile used.",
              "weqparam: WEQSYSTEMNAME neither in Profile nor in Commandline"}},
        Case{"LongerThanAString", {.defaultPfl = "BIG = " + std::string(4000, 'x') + "\nTRIPLE = $(BIG)$(BIG)$(BIG)\n"},
             {{"TRIPLE", "$(BIG)" + std::string(8000, 'x')}}, {"weqparam(10): line or value too long"}},
        // %(NAME) from the left; an unset variable is ""; a name runs to the
        // first ')'.
        Case{"Environment",
             {.env = {{"HOME", "/home/tester"}, {"TOV_V1", "one"}, {"TOV_V2", "\xc3\xa4\xe2\x82\xac\xf0\x9d\x84\x9e"},
                      {"TOV_UNSET", std::nullopt}, {"TOV_INDIRECT", "%(TOV_V1)"}},
              .args = {{"snc/gssapi_lib", "%(HOME)/lib"}},
              .defaultPfl = "HOMEDIR = %(HOME)/x\nTWO = %(TOV_V1)-%(TOV_V2)\nUNSET = [%(TOV_UNSET)]\nNOCLOSE = a%(b\n"
                            "OUTER = %(c %(TOV_V1)\nINDIRECT = %(TOV_INDIRECT)\nSELFENV = %(SELFENV)\n"},
             {{"HOMEDIR", "/home/tester/x"}, {"TWO", "one-\xc3\xa4\xe2\x82\xac\xf0\x9d\x84\x9e"}, {"UNSET", "[]"},
              {"NOCLOSE", "a%(b"}, {"OUTER", ""}, {"INDIRECT", "one"}, {"SELFENV", "%(SELFENV)"},
              {"snc/gssapi_lib", "/home/tester/lib", ""}},
             {"weqparam(15): NOCLOSE: ')' missing.", "weqparam(13): SELFENV = %(SELFENV) recursive."}},
        // The target word chooses the separator of assembled directories.
        Case{"TargetUnix", {.defaultPfl = "GetDsCtrl = WEQonUNIX\n"}, {{"DIR_EXE_ROOT", "\\SYS\\exe"}}, {}, true},
        Case{"TargetOs400", {.defaultPfl = "GetDsCtrl = WEQonOS400\n"}, {{"DIR_EXE_ROOT", "\\SYS/exe"}}, {}, true},
        Case{"TargetOther", {.defaultPfl = "GetDsCtrl = WEQonVMS\n"},
             {{"DIR_EXE_ROOT", "weqparam: target not implemented in Function GetDsSpec"}},
             {"weqparam: target not implemented in Function GetDsSpec"}},
        // An empty part takes no separator; "(Default)" counts only for the
        // directories of the table.
        Case{"DirectoryParts",
             {.defaultPfl = "__2_DIR_EXE_ROOT =\nDIR_LOGGING = (Default)\n__1_DIR_DATA = /data\n"
                            "__2_DIR_DATA = $(INSTANCE_NAME)\nDIR_DATA = (Default)\nNOT_A_DIR = (Default)\n"},
             {{"DIR_EXE_ROOT", "\\SYS"}, {"DIR_LOGGING", ""}, {"DIR_DATA", "/data\\D00"}, {"NOT_A_DIR", "(Default)"}}},
        Case{"Counter", {.defaultPfl = "$DOLLAR = d\n", .check = Counter}, {}},
        // The check at the end names the stages that differ from the value.
        Case{"SystemNameDiffers", {.defaultPfl = "WEQSYSTEMNAME = ABC\n"}, {{"WEQSYSTEMNAME", "ABC"}},
             {"weqparam: \"WEQSYSTEMNAME\": \"\" <--> \"ABC\""}, true},
        // Without registered pairs the environment chooses the host path
        // templates (and the warnings are on).
        Case{"Unregistered", {.env = {{"WEQSYSTEM", "42"}}, .quiet = false},
             {{"LOCALHOSTSIDPATH", kLocal}, {"DIR_EXECUTABLE", "\\\\\\weqmnt\\\\SYS\\exe\\$(EXETYPE)"},
              {"GLOBALHOSTPATH", "\\\\\\weqmnt\\"}},
             {"weqparam: weqargv(argc, argv) has not been called!", "weqparam(14): EXETYPE (ref.by DIR_EXECUTABLE) missing."}},
        Case{"UnregisteredMsid700", {.env = {{"WEQSYSTEM", "42"}, {"WEQPARAMMSID", "1"}, {"WEQPARAM700", "1"}}, .quiet = false},
             {{"LOCALHOSTSIDPATH", "\\\\\\weqloc_42\\"}, {"DIR_EXECUTABLE", "\\\\\\weqloc_42\\\\D42\\exe"},
              {"GLOBALHOSTPATH", "\\\\\\weqmnt\\"}},
             {"weqparam: weqargv(argc, argv) has not been called!", "!weqparam(14): EXETYPE"}},
        Case{"NoRecordArray",
             {.before = [] { gAllocsLeft = 0, weqparamISetAllocator(CountedAlloc, nullptr); }},
             {{"snc/enable", kNull}, {"DIR_PROFILE", kNull}}, {"weqparam(3): malloc: "}},
        Case{"PoolReserve",
             {.defaultPfl = "BIG_a = " + std::string(3500, 'a') + "\nBIG_b = " + std::string(3500, 'b') +
                            "\nBIG_c = " + std::string(3500, 'c') + "\n",
              .before = [] { gAllocsLeft = 1, weqparamISetAllocator(CountedAlloc, nullptr); }, .check = PoolReserve},
             {}, {"weqparam(11): malloc: "}},
        Case{"NoGrowth", {.instance = "NEW_PARAMETER = 1\n", .before = [] { weqparamISetAllocator(nullptr, FailRealloc); }},
             {{"snc/enable", kNull}, {"NEW_PARAMETER", kNull}}, {"weqparam(5): realloc: "}},
        // --- The instance profile.
        Case{"InstanceLines",
             {.instance = "# a comment = not an entry\n  \t# an indented comment = neither\nGR group line = skipped\n"
                          "GRX = skipped too\nG2 = taken\nsnc/enable = 1\nPLAIN=value with  inner blanks \t \n"
                          "   INDENTED \t=  \t v2\nNO EQUALS SIGN\nEMPTY =\nINST_ONLY = only here\nHASH = a # b\n"
                          "CR = crvalue\r\n\r\nLAST_NO_EOL = end"},
             {{"G2", "taken", kNot}, {"GRX", kNull}, {"GR group line", kNull}, {"snc/enable", "1", "0"},
              {"PLAIN", "value with  inner blanks", kNot}, {"INDENTED", "v2", kNot}, {"EMPTY", "", kNot},
              {"INST_ONLY", "only here", kNot}, {"HASH", "a # b", kNot}, {"CR", "crvalue", kNot},
              {"LAST_NO_EOL", "end", kNot}, {"__WEQPROFILE_n_PF_FILE", "00009"},
              {"WEQPROFILE_IN_EFFECT", "{dir}/instance.pfl"}},
             {"weqparam(6): {dir}/instance.pfl: missing '=' in line 9"}, true},
        // A value is cut where the line's room ends; the rest of the line is
        // read as a further entry, which has no '='.
        Case{"InstanceLongLines",
             {.instance = "LONG = " + std::string(5000, 'x') + "\n" + std::string(5000, 'N') + "\nTAIL ="},
             {{"LONG", std::string(4090, 'x'), kNot}, {"TAIL", kNull}},
             {"weqparam(6): {dir}/instance.pfl: missing '=' in line 1",
              "weqparam(7): {dir}/instance.pfl: line 2 is too long", "weqparam(7): {dir}/instance.pfl: line 3 is too long"},
             true},
        // An illegal byte reads as '#'; the message tells where it stood; at
        // the start of an entry the line becomes a comment; in comments and
        // skipped lines the bytes count without a message; 100 are borne.
        Illegal("IllegalAtStart", "\xffLEAD = 1\nNEXT = 2\n", {{"LEAD", kNull}, {"NEXT", "2", kNot}},
                {"18): {dir}/instance.pfl: line 1 starts with illegal byte sequence"}),
        Illegal("IllegalIndented", "  \xfe\xfe = 1\n", {}, {"18): {dir}/instance.pfl: line 1 starts with illegal byte sequence"}),
        Illegal("IllegalInName", "A = 1\nNA\xffME = 2\n", {{"NA#ME", "2", kNot}},
                {"17): {dir}/instance.pfl: line 2 illegal byte sequence in name"}),
        Illegal("IllegalInValue", "VAL = a\xff" "b\nLEADV =  \xc3\n", {{"VAL", "a#b", kNot}, {"LEADV", "#", kNot}},
                {"16): {dir}/instance.pfl: line 1 illegal byte sequence in value",
                 "16): {dir}/instance.pfl: line 2 illegal byte sequence in value"}),
        Illegal("IllegalInComments", "# \xff\xff\nGR\xff\nOK = \xe2\x82\xac\n", {{"OK", "\xe2\x82\xac", kNot}}, {}),
        Illegal("IllegalHundred", "#" + std::string(100, '\xff') + "\nAFTER_100 = y\n",
                {{"AFTER_100", "y", kNot}}, {}),
        Illegal("IllegalHundredAndOne", "#" + std::string(100, '\xff') + "\nBEFORE = 1\n\xfe\nAFTER = 2\n",
                {{"BEFORE", "1", kNot}, {"AFTER", kNull}}, {"18): {dir}/instance.pfl: reading canceld after 101 illegal bytes"}),
        Case{"InstanceBeyondTheBasicPlane", {.instance = "CLEF\xf0\x9d\x84\x9e = \xf0\x9d\x84\x9e\xc3\xa4\n"},
             {{"CLEF\xf0\x9d\x84\x9e", "\xf0\x9d\x84\x9e\xc3\xa4", kNot}}, {}, true},
        // The first WEQSYSTEMNAME of the profile becomes its default.
        Case{"InstanceSystemName", {.instance = "WEQSYSTEMNAME = ABC\nWEQSYSTEMNAME = DEF\n"},
             {{"WEQSYSTEMNAME", "DEF", "ABC"}, {"DIR_INSTALL", "DEF\\SYS", "ABC\\SYS"}},
             {"weqparam: \"WEQSYSTEMNAME\": \"ABC\" <--> \"DEF\"", "weqparam: \"WEQSYSTEMNAME\": \"ABC\" <--> \"DEF\""},
             true},
        Case{"NoProfileQuiet", {.args = {{"DIR_PROFILE", "/nonexistent"}}}, {{"snc/enable", "0"}}, {}, true},
        // Control characters at the end of the name are dropped.
        Case{"ProfileMissingWarned",
             {.args = {{"DIR_PROFILE", "/nonexistent"}, {"WEQPROFILE", "/nonexistent/dir/x.pfl\n\t"}}, .quiet = false},
             {{"snc/enable", "0"}},
             {"weqparam(2): fopenU(\"/nonexistent/dir/x.pfl\",\"r\"): No such file or directory", "No Profile used.",
              "weqparam: WEQSYSTEMNAME neither in Profile nor in Commandline"},
             true},
        // A name too long is refused rather than cut.
        Case{"ProfileNameTooLong", {.args = {{"DIR_PROFILE", "/nonexistent"}, {"WEQPROFILE", "/" + std::string(300, 'p')}}},
             {{"snc/enable", "0"}}, {"weqparam(2): fopenU(\"/" + std::string(254, 'p') + "\",\"r\"): File name too long"},
             true},
        // --- DEFAULT.PFL: '#' counts in the first column only; a line without
        // a name ends the file.
        Case{"DefaultPflLines",
             {.defaultPfl = "# comment = no\n #INDENTED_HASH = 1\nsnc/enable = 1\nNO EQUALS SIGN\nPFLONLY = only here\n"
                            "  SPACED \t=  \t v \t \nA=B=C\nNAME WITH BLANKS = w\nCR1 = a\rCR2 = b\r\nWEQSYSTEM = 55\n"
                            "EMPTY =\n  =  \nAFTER_END = x\n"},
             {{"#INDENTED_HASH", "1"}, {"snc/enable", "1"}, {"PFLONLY", "only here"}, {"SPACED", "v"}, {"A", "B=C"},
              {"NAME", "w"}, {"CR1", "a"}, {"CR2", "b"}, {"WEQSYSTEM", "00", "55"}, {"EMPTY", ""}, {"AFTER_END", kNull},
              {"__WEQPROFILE_n_DEFAULT", "00010"}, {"__WEQPROFILE_DEFAULT", "{dir}\\DEFAULT.PFL"}},
             {}, true},
        // 4094 units per read: the rest of a longer line is a line of its own.
        Case{"DefaultPflLongLine", {.defaultPfl = "LONG = " + std::string(4087, 'x') + "REST=tail\n"},
             {{"LONG", std::string(4087, 'x')}, {"REST", "tail"}}},
        Case{"InstanceOverDefaultPfl", {.defaultPfl = "BOTH = from default\nDEF_ONLY = d\n", .instance = "BOTH = from instance\n"},
             {{"BOTH", "from instance", "from default"}, {"DEF_ONLY", "d"}}},
        Case{"DefaultPflMissing", {.args = {{"DIR_PROFILE", "/nonexistent/profiles"}}, .quiet = false},
             {{"__WEQPROFILE_DEFAULT", ""}},
             {"weqparam(1c): No Profile used.", "weqparam: WEQSYSTEMNAME neither in Profile nor in Commandline"}, true},
        // --- Host paths from the raw host names; this machine's share mapped.
        Case{"HostPathsSameHost",
             {.args = {{"WEQLOCALHOST", "alpha"}, {"WEQGLOBALHOST", "ALPHA"}, {"WEQSYSTEMNAME", "QAS"}},
              .before = [] { NtISetResolver(NoResolver), PlatShareSetProvider(OneShare); }},
             {{"LOCALHOSTPATH", "\\\\alpha\\weqloc\\"}, {"LOCALHOSTSIDPATH", "\\\\alpha\\weqloc\\"},
              {"GLOBALHOSTPATH", "\\\\ALPHA\\weqmnt\\"},
              {"DIR_INSTALL", "\\\\ALPHA\\weqmnt\\QAS\\SYS", "\\\\ALPHA\\weqmnt\\\\SYS"}}},
        Case{"HostPathsOtherHost",
             {.args = {{"WEQLOCALHOST", "alpha"}, {"WEQGLOBALHOST", "beta"}, {"WEQSYSTEMNAME", "QAS"}},
              .before = [] { NtISetResolver(NoResolver), PlatShareSetProvider(OneShare); }},
             {{"LOCALHOSTPATH", "\\\\alpha\\weqloc\\"}, {"GLOBALHOSTPATH", ""}, {"DIR_INSTALL", "QAS\\SYS", "\\SYS"}}},
        Case{"HostPathsShareMapped",
             {.args = {{"WEQLOCALHOST", "."}, {"WEQGLOBALHOST", "."}, {"WEQSYSTEMNAME", "QAS"}},
              .before = [] { NtISetResolver(NoResolver), PlatShareSetProvider(OneShare); }},
             {{"LOCALHOSTPATH", "/l\\"}, {"LOCALHOSTSIDPATH", "/l\\"}, {"GLOBALHOSTPATH", "\\\\.\\weqmnt\\"},
              {"DIR_INSTALL", "\\\\.\\weqmnt\\QAS\\SYS", "\\\\.\\weqmnt\\\\SYS"}}},
        // --- The memory-derived rows of the built-in 64 MB, of a negative
        // size and of a size beyond the shift to bytes.
        Memory("MemoryDefault", nullptr, "67108864", "64"),
        Memory("MemoryNegative", "-5", "0", "30"),
        Memory("MemoryHuge", "99999999999999999999", "9223372036853727232", "16384"),
        MemTotal()),
    [](const testing::TestParamInfo<Case>& i) { return i.param.name; });

// DEFAULT.PFL is read from the assembled DIR_PROFILE, here under the global
// host path; a DIR_PROFILE in it is reported and not followed, while a value
// for a parameter resolved before the file was read still reaches the
// current layer and what refers to it.
TEST(WeqparamDefaultPfl, DirProfileFromItIsReportedAndNotFollowed) {
  tovtest::TempDir other, root;
  ASSERT_EQ(system(("mkdir -p " + root.File("SYS/profile")).c_str()), 0);
  tovtest::WriteFile(root.File("SYS/profile/DEFAULT.PFL"), "DIR_PROFILE = " + other.path() + "\nDIR_INSTALL = /opt/weq/SYS\n");
  const std::string read = root.path() + "/\\SYS\\profile";  // opened as <root>//SYS/profile
  const auto r = RunStore({.args = {{"GLOBALHOSTPATH", root.path() + "/"}}},
                          {{"DIR_PROFILE", read, other.path()}, {"__WEQPROFILE_DEFAULT", read + "\\DEFAULT.PFL"},
                           {"DIR_INSTALL", "/opt/weq/SYS"}, {"DIR_EXE_ROOT", "/opt/weq/SYS\\exe", "/opt/weq/SYS\\exe"}});
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "weqparam: \"DIR_PROFILE\": must not be in \"" + read + "\\DEFAULT.PFL\"\n");
}

// The derivation of each memory-derived row, by hand: M from the text (a
// percentage of the physical MB, at least 30, at most twice the physical
// MB), K = max((M - 128) * 25 / 128, 5).
TEST(WeqparamMemory, DerivedRows) {
  const WEQ_UC* const rows[] = {u"em/initial_size_MB", u"rdisp/ROLL_SHM", u"rdisp/ROLL_MAXFS",
                                u"rdisp/PG_SHM",       u"rdisp/PG_MAXFS", u"em/global_area_MB"};
  const WeqpBuf bufs[] = {WeqpBuf::kEmInitial, WeqpBuf::kRollShm, WeqpBuf::kRollMaxfs,
                          WeqpBuf::kPgShm,     WeqpBuf::kPgMaxfs, WeqpBuf::kEmGlobal};
  const struct {
    const char* memsize;
    uint64_t physBytes;  // 0: not known
    std::vector<std::string> values;
  } cases[] = {
      {"64", 8192 * kMiB, {"64", "1024", "1024", "1200", "32768", "96"}},
      {"50%", 8192 * kMiB, {"4096", "32768", "32768", "16384", "32768", "286"}},
      {"64", 0, {"0", "1024", "1024", "1200", "32768", "96"}},
      {"1000", 8192 * kMiB, {"1000", "17000", "17000", "7800", "32768", "96"}},
      {"3%", 1000 * kMiB, {"50", "1024", "1024", "1200", "32768", "96"}},
      {"300%", 1000 * kMiB, {"2000", "32768", "32768", "15600", "32768", "140"}},
      {"10", 8192 * kMiB, {"30", "1024", "1024", "1200", "32768", "96"}},
      {"100000", 16 * kMiB, {"32", "1024", "1024", "1200", "32768", "96"}},
      {"8000", 8192 * kMiB, {"8000", "32768", "32768", "16384", "32768", "512"}},
      {"abc", 8192 * kMiB, {"30", "1024", "1024", "1200", "32768", "96"}},
      {"12%34%", 10000 * kMiB, {"1200", "20900", "20900", "9360", "32768", "96"}},
      // Five TiB: the kilobyte figure saturates at 32 bits, not wrapping to one.
      {"50%", uint64_t{5} << 40, {"2097151", "32768", "32768", "16384", "32768", "512"}},
      {"99999999999999999999999", 8192 * kMiB, {"16384", "32768", "32768", "16384", "32768", "512"}},
  };
  for (const auto& c : cases) {
    gPhysBytes = c.physBytes;
    PlatPhysMemSetProvider(c.physBytes ? InjectedMemory : nullptr);
    NtIReset();
    for (size_t i = 0; i < std::size(rows); ++i) {
      ASSERT_TRUE(weqparamIDeriveMemory(rows[i], U(c.memsize).c_str()));
      EXPECT_EQ(Utf8(weqparamIBuf(bufs[i])), c.values[i]) << Utf8(rows[i]) << " of " << c.memsize << " with " << c.physBytes;
    }
  }
  PlatPhysMemSetProvider(PlatPhysMemSystem);
  NtIReset();
  // Names compare without case; other rows are not derived.
  EXPECT_TRUE(weqparamIDeriveMemory(u"EM/INITIAL_SIZE_MB", u"64") && weqparamIDeriveMemory(u"Rdisp/Pg_Maxfs", u"64"));
  EXPECT_FALSE(weqparamIDeriveMemory(u"em/initial_size", u"64") || weqparamIDeriveMemory(u"qema/heap_area_total", u"64"));
}

}  // namespace
