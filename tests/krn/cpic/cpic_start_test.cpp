// The layer's start, one child process per case: CPIC_* options with their
// trace lines, WEQ_STINIT's bounds, base names of the program, numbers
// against the C library's strtol, the own host name and address against the
// system's tools, and a namespace where the host name does not resolve.
#include <gtest/gtest.h>
#include <limits.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "krn/cpic/cpic.h"
#include "krn/cpic/cpic_int.h"
#include "krn/dptrc/err.h"
#include "krn/dptrc/trc_checker.h"
#include "krn/ni/niparam_int.h"
#include "krn/thr/thr.h"
#include "peers/netns.h"
#include "support/testsupport.h"

namespace {

using tovtest::FromUtf8;
using tovtest::ToUtf8;

const char* const kOptionVars[] = {
    "CPIC_MAX_CONV",      "CPIC_USE_UDS",      "CPIC_COMPATIBILITY",   "CPIC_TRACE_LEN",
    "CPIC_BUFFERING",     "CPIC_WITH_LU_ADDR", "CPIC_CONNECT_TIMEOUT", "CPIC_TRACE_RAW",
    "CPIC_TRACE_APPCHDR", "CPIC_PING",         "CPIC_PING_REPLY",      "CPIC_PING_PERIOD",
    "CPIC_PING_TIMEOUT",  "CPIC_TRACE",        "CPIC_TRACE_DIR"};

// What a child saw: "key=value" lines, the trace body after "--trace--".
struct Seen {
  std::map<std::string, std::string> v;
  std::string trace;
  std::string err;
  int exit = -1;
  bool Has(const std::string& line) const { return trace.find(line) != std::string::npos; }
};

Seen Parse(const tovtest::ChildResult& r) {
  Seen s;
  s.exit = r.exit_code;
  s.err = r.err;
  size_t cut = r.out.find("--trace--\n");
  std::istringstream in(r.out.substr(0, cut));
  for (std::string line; std::getline(in, line);) {
    size_t eq = line.find('=');
    if (eq != std::string::npos) s.v[line.substr(0, eq)] = line.substr(eq + 1);
  }
  if (cut != std::string::npos) s.trace = r.out.substr(cut + 10);
  return s;
}

// Prints the layer's globals after a start.
void PrintState(CM_RETURN_CODE rc) {
  const CpicGlobals& g = CpicIGlobals();
  printf("rc=%d\ninitialised=%d\nmaxconv=%d\nuds=%d\nconnlocal=%ld\ncompat=%d\ntracelen=%d\n", rc,
         g.initialised.load(), STIMaxConv(), g.useUds, static_cast<long>(NiIParams().connLocal.load()),
         g.gwCompatibility, g.rawTraceLen);
  printf("buffering=%d\nbufgiven=%d\nluaddr=%d\nconnect=%d\nraw=%d\nrawgiven=%d\nhdr=%d\nhdrgiven=%d\n",
         g.buffering, g.bufferingGiven, g.withLuAddr, g.connectTimeout, g.traceRaw, g.traceRawGiven,
         g.traceAppcHdr, g.traceAppcHdrGiven);
  printf("ping=%d\npingreply=%d\npingperiod=%d\npingtimeout=%d\n", g.pingActive, g.pingReply, g.pingPeriod,
         g.pingTimeout);
  printf("tp=%s\nhost=%s\nserv=%s\nhostgiven=%d\nservgiven=%d\nprot=%d\n", ToUtf8(g.defaultTp).c_str(),
         ToUtf8(g.gwHost).c_str(), ToUtf8(g.gwServ).c_str(), g.gwHostGiven, g.gwServGiven, g.protocol);
  printf("ownhost=%s\nownaddr=%d.%d.%d.%d\nrootid=%.16s\ncomponent=%.8s\nerr=%s\nerrtext=%s\n",
         ToUtf8(g.ownHost).c_str(), g.ownAddr.addr[12], g.ownAddr.addr[13], g.ownAddr.addr[14],
         g.ownAddr.addr[15], g.rootId, g.componentId, ToUtf8(ErrGetFld(ERR_FLD_RC)).c_str(),
         ToUtf8(ErrGetFld(ERR_FLD_ERROR)).c_str());
}

// Starts the layer in a child with the given environment (other options
// unset) and a level-2 CPI-C trace; before() runs first.
Seen Start(const std::vector<std::pair<std::string, std::string>>& env,
           const std::function<CM_RETURN_CODE()>& start = nullptr,
           const std::function<void()>& before = nullptr) {
  return Parse(tovtest::RunInChild([&] {
    for (const char* v : kOptionVars) unsetenv(v);
    for (const auto& [k, val] : env) setenv(k.c_str(), val.c_str(), 1);
    ThrProcInit();
    CpicIResetProcess();
    trccheck::TraceFile file(2);
    CpicISetLevel(2);
    CpicISetHdl(file.f);
    if (before) before();
    CM_RETURN_CODE rc = start ? start() : WEQ_STINIT(nullptr, nullptr, nullptr, u' ');
    PrintState(rc);
    printf("--trace--\n%s", file.After().c_str());
    fflush(stdout);
    return 0;
  }));
}

// --- Options ---------------------------------------------------------------------------

TEST(CpicStart, OptionTable) {
  struct Case {
    std::vector<std::pair<std::string, std::string>> env;
    std::map<std::string, std::string> want;
    std::vector<std::string> lines;   // trace lines that must be there
    std::vector<std::string> absent;  // and must not
  };
  const std::vector<Case> cases = {
      {{},
       {{"rc", "0"},
        {"maxconv", "100"},
        {"uds", "1"},
        {"connlocal", "1"},
        {"tracelen", "32000"},
        {"buffering", "1"},
        {"bufgiven", "0"},
        {"ping", "0"},
        {"pingperiod", "10"},
        {"pingtimeout", "50"},
        {"connect", "60000"},
        {"compat", "0"},
        {"component", "CPIC    "}},
       {"STInitGlobals: cpic_max_conv=100", "STInitGlobals: use unix domain sockets=TRUE",
        "STInitGlobals: cpic_buffering=1", "STInitGlobals: cpic_root_id created", "STInitGlobals: ok",
        "WEQ_STINIT: ok"},
       {"CPIC_TRACE_LEN=", "with lu addr"}},
      {{{"CPIC_TRACE_LEN", "-5"}}, {{"tracelen", "32000"}}, {"STInitGlobals: CPIC_TRACE_LEN=32000"}, {}},
      {{{"CPIC_TRACE_LEN", "700"}}, {{"tracelen", "700"}}, {"STInitGlobals: CPIC_TRACE_LEN=700"}, {}},
      {{{"CPIC_BUFFERING", "0abc"}},
       {{"buffering", "0"}, {"bufgiven", "1"}},
       {"STInitGlobals: cpic_buffering=0"},
       {}},
      {{{"CPIC_BUFFERING", "x"}},
       {{"buffering", "1"}, {"bufgiven", "1"}},
       {"STInitGlobals: cpic_buffering=1"},
       {}},
      {{{"CPIC_COMPATIBILITY", "12"}}, {{"compat", "1"}}, {"STInitGlobals: gw_compatibility=1"}, {}},
      {{{"CPIC_COMPATIBILITY", "21"}}, {{"compat", "0"}}, {"STInitGlobals: gw_compatibility=0"}, {}},
      {{{"CPIC_WITH_LU_ADDR", "2"}}, {{"luaddr", "0"}}, {}, {"with lu addr"}},
      {{{"CPIC_WITH_LU_ADDR", "1"}}, {{"luaddr", "1"}}, {"STInitGlobals: with lu addr"}, {}},
      {{{"CPIC_MAX_CONV", "7"}}, {{"maxconv", "7"}}, {"STInitGlobals: cpic_max_conv=7"}, {}},
      {{{"CPIC_MAX_CONV", "0"}},
       {{"maxconv", "100"}, {"rc", "0"}},
       {"STInitGlobals: CPIC_MAX_CONV=0 below 1, taken as absent", "STInitGlobals: cpic_max_conv=100"},
       {}},
      {{{"CPIC_MAX_CONV", "-5"}},
       {{"maxconv", "100"}, {"rc", "0"}},
       {"STInitGlobals: CPIC_MAX_CONV=-5 below 1, taken as absent"},
       {}},
      {{{"CPIC_USE_UDS", "0"}}, {{"uds", "0"}, {"connlocal", "0"}}, {"use unix domain sockets=FALSE"}, {}},
      {{{"CPIC_USE_UDS", "-3"}}, {{"uds", "0"}, {"connlocal", "0"}}, {}, {}},
      {{{"CPIC_USE_UDS", "5"}}, {{"uds", "1"}, {"connlocal", "1"}}, {}, {}},
      {{{"CPIC_CONNECT_TIMEOUT", "-123"}}, {{"connect", "-123"}}, {}, {}},
      {{{"CPIC_TRACE_RAW", "2"}, {"CPIC_TRACE_APPCHDR", "1"}},
       {{"raw", "2"}, {"rawgiven", "1"}, {"hdr", "1"}, {"hdrgiven", "1"}},
       {"STInitGlobals: cpic_trace_raw=2", "STInitGlobals: cpic_trace_appchdr=1"},
       {}},
      {{{"CPIC_PING", "1"}, {"CPIC_PING_REPLY", "1"}, {"CPIC_PING_PERIOD", "-4"}, {"CPIC_PING_TIMEOUT", "0"}},
       {{"ping", "1"}, {"pingreply", "1"}, {"pingperiod", "-4"}, {"pingtimeout", "0"}},
       {"STInitGlobals: cpic_ping=1", "STInitGlobals: cpic_ping_period=-4"},
       {}},
  };
  for (const Case& c : cases) {
    Seen s = Start(c.env);
    std::string name = c.env.empty() ? "(none)" : c.env[0].first + "=" + c.env[0].second;
    ASSERT_EQ(s.exit, 0) << name << s.err;
    for (const auto& [k, v] : c.want) EXPECT_EQ(s.v[k], v) << name << ": " << k;
    for (const std::string& l : c.lines) EXPECT_TRUE(s.Has(l)) << name << ": " << l << "\n" << s.trace;
    for (const std::string& l : c.absent) EXPECT_FALSE(s.Has(l)) << name << ": " << l << "\n" << s.trace;
  }
}

TEST(CpicStart, MaxConvIsIgnoredOnceATableExists) {
  Seen s = Start({{"CPIC_MAX_CONV", "7"}}, [] { return WEQ_CMMAXCONV(12); });
  EXPECT_EQ(s.v["rc"], "0") << s.trace;
  EXPECT_EQ(s.v["maxconv"], "12");
  EXPECT_TRUE(s.Has("WEQ_CMMAXCONV: allocated 12 conversation slots")) << s.trace;
  EXPECT_TRUE(s.Has("STInitGlobals: conversation slots already allocated, cpic_max_conv=12")) << s.trace;
  EXPECT_FALSE(s.Has("cpic_max_conv=7"));
}

// A size of 0 before any table makes a table of no slots and starts the
// layer: every take fails with 466 until the table grows.
TEST(CpicStart, MaxConvZeroMakesATableOfNoSlots) {
  Seen s = Start({{"CPIC_MAX_CONV", "7"}}, [] {
    CM_RETURN_CODE rc = WEQ_CMMAXCONV(0);
    int32_t index = -1;
    printf("slots0=%d\n", STIMaxConv());
    printf("take0=%d\n", STIGetFreeConv(u"test", &index));
    printf("take0err=%s\n", ToUtf8(ErrGetFld(ERR_FLD_ERROR)).c_str());
    printf("grow=%d\n", WEQ_CMMAXCONV(2));
    printf("take2=%d\n", STIGetFreeConv(u"test", &index));
    printf("index=%d\n", index);
    return rc;
  });
  ASSERT_EQ(s.exit, 0) << s.err;
  EXPECT_EQ(s.v["rc"], "0") << s.trace;
  EXPECT_EQ(s.v["initialised"], "1");
  EXPECT_EQ(s.v["slots0"], "0");
  EXPECT_EQ(s.v["take0"], "20");
  EXPECT_EQ(s.v["take0err"], "max no of 0 conversations exceeded");
  EXPECT_EQ(s.v["grow"], "0");
  EXPECT_EQ(s.v["take2"], "0");
  EXPECT_EQ(s.v["index"], "0");
  EXPECT_EQ(s.v["maxconv"], "2");
  EXPECT_TRUE(s.Has("WEQ_CMMAXCONV: allocated 0 conversation slots")) << s.trace;
  EXPECT_TRUE(s.Has("STInitGlobals: conversation slots already allocated, cpic_max_conv=0")) << s.trace;
  EXPECT_TRUE(s.Has("WEQ_CMMAXCONV: reallocated 0 -> 2 conversation slots")) << s.trace;
}

TEST(CpicStart, PingsSetByCallKeepTheirValues) {
  Seen s = Start({{"CPIC_PING", "1"}, {"CPIC_PING_PERIOD", "99"}}, nullptr, [] {
    CpicIGlobals().pingSetByCall = 1;
    CpicIGlobals().pingPeriod = 33;
  });
  EXPECT_EQ(s.v["ping"], "0");
  EXPECT_EQ(s.v["pingperiod"], "33");
  EXPECT_FALSE(s.Has("cpic_ping"));
}

TEST(CpicStart, NumbersAsTheCLibraryReadsThem) {
  for (const char* text : {"42", " 42", "\t-17", "+8", "12abc", "abc", "", "0x1F", "010", "2147483647",
                           "2147483648", "-2147483649", "99999999999999999999", "-0"}) {
    long ref = strtol(text, nullptr, 10);
    long want = std::clamp<long>(ref, INT32_MIN, INT32_MAX);
    Seen s = Start({{"CPIC_TRACE_RAW", text}});
    EXPECT_EQ(s.v["raw"], std::to_string(want)) << "'" << text << "'";
  }
}

// --- WEQ_STINIT's arguments --------------------------------------------------------------

TEST(CpicStart, StinitBoundsAndProtocol) {
  struct Case {
    size_t servLen, hostLen;
    WEQ_UC prot;
    std::string rc, err, text;
  };
  const std::vector<Case> cases = {
      {19, 2047, u'I', "0", "", ""},
      {20, 10, u' ', "19", "769",
       "illegal parameter value ( function=WEQ_STINIT / parameter=gwserv_length / value=20 (max: 20) )"},
      {5, 2048, u' ', "19", "769",
       "illegal parameter value ( function=WEQ_STINIT / parameter=gwhost_length / value=2048 (max: 2048) )"},
      {5, 5, u'D', "19", "233", "wrong protocol value D"},
      {5, 5, u'c', "19", "233", "wrong protocol value c"},
  };
  for (const Case& c : cases) {
    std::u16string serv(c.servLen, u's'), host(c.hostLen, u'h');
    Seen s = Start({}, [&] { return WEQ_STINIT(nullptr, host.c_str(), serv.c_str(), c.prot); });
    EXPECT_EQ(s.v["rc"], c.rc) << c.servLen << "/" << c.hostLen;
    EXPECT_EQ(s.v["err"], c.err);
    EXPECT_EQ(s.v["errtext"], c.text);
    if (c.rc == "0") {
      EXPECT_EQ(s.v["serv"], std::string(c.servLen, 's'));
      EXPECT_EQ(s.v["host"].size(), c.hostLen);
      EXPECT_EQ(s.v["prot"], std::to_string(c.prot));
      EXPECT_EQ(s.v["servgiven"], "1");
    } else {
      EXPECT_EQ(s.v["serv"], "") << "a refused call changes nothing";
      EXPECT_EQ(s.v["host"], "");
      EXPECT_EQ(s.v["initialised"], "0");
    }
  }
}

TEST(CpicStart, EmptyHostAndServiceKeepEarlierValues) {
  Seen s = Start({}, [] {
    CM_RETURN_CODE rc = WEQ_STINIT(nullptr, u"gwhost", u"sapgw00", u'I');
    if (rc != CM_OK) return rc;
    return WEQ_STINIT(nullptr, u"", nullptr, u' ');
  });
  EXPECT_EQ(s.v["rc"], "0");
  EXPECT_EQ(s.v["host"], "gwhost");
  EXPECT_EQ(s.v["serv"], "sapgw00");
  EXPECT_EQ(s.v["prot"], std::to_string(u'I'));
  EXPECT_TRUE(s.Has("STInitGlobals: already initialized") || s.Has("WEQ_STINIT: ok")) << s.trace;
}

TEST(CpicStart, BaseNamesOfTheProgram) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"C:\\apps\\prog.exe;1", "prog"},
      {"/usr/bin/java", "java"},
      {"/opt/app/", ""},
      {"DKA0:[USER]TOOL.EXE;3", "TOOL"},
      {"<dir>name.a.b", "name"},
      {".hidden", ".hidden"},
      {"x.;", "x"},
      {std::string(70, 'n') + ".exe", std::string(64, 'n')},
  };
  for (const auto& [arg0, want] : cases) {
    std::u16string a0 = FromUtf8(arg0);
    Seen s = Start({}, [&] {
      std::u16string copy = a0;
      WEQ_UC* argv[] = {copy.data(), nullptr};
      CM_RETURN_CODE rc = WEQ_STINIT(argv, nullptr, nullptr, u' ');
      printf("arg0=%s\n", ToUtf8(copy).c_str());
      return rc;
    });
    EXPECT_EQ(s.v["tp"], want) << arg0;
    EXPECT_EQ(s.v["arg0"], arg0) << "the argument itself stays whole";
    EXPECT_TRUE(s.Has("STInitGlobals: tpname=" + want)) << s.trace;
  }
  Seen none = Start({}, [] {
    WEQ_UC* argv[] = {nullptr};
    return WEQ_STINIT(argv, nullptr, nullptr, u' ');
  });
  EXPECT_EQ(none.v["tp"], "WEQCPIC");
}

// --- Host name and address ----------------------------------------------------------------

std::string Command(const std::string& cmd) {
  std::string out;
  if (FILE* p = popen(cmd.c_str(), "r")) {
    char buf[512];
    while (fgets(buf, sizeof(buf), p) != nullptr) out += buf;
    pclose(p);
  }
  return out;
}

TEST(CpicStart, OwnHostNameAndAddressAsTheSystemGivesThem) {
  std::string name = Command("hostname");
  while (!name.empty() && isspace(static_cast<unsigned char>(name.back()))) name.pop_back();
  ASSERT_FALSE(name.empty());
  std::string addrs = Command("getent ahostsv4 " + name);
  Seen s = Start({});
  ASSERT_EQ(s.v["rc"], "0") << s.trace << s.err;
  EXPECT_EQ(s.v["ownhost"], name);
  EXPECT_NE(addrs.find(s.v["ownaddr"] + " "), std::string::npos) << s.v["ownaddr"] << " not in\n" << addrs;
  EXPECT_TRUE(s.Has("STInitGlobals: hostname=" + name)) << s.trace;
  EXPECT_TRUE(s.Has("STInitGlobals: hostaddr=" + s.v["ownaddr"])) << s.trace;
  EXPECT_EQ(s.v["rootid"].size(), 16u);
  EXPECT_EQ(s.v["rootid"].substr(0, 8), s.v["rootid"].substr(8));
}

TEST(CpicStart, RootIdIsTwiceTheSecondsInHex) {
  char id[17] = {};
  CpicIMakeRootId(0x5F3E2D1C, id);
  EXPECT_STREQ(id, "5F3E2D1C5F3E2D1C");
  memset(id, 'z', 16);
  CpicIMakeRootId(0x1234567890LL, id);
  EXPECT_EQ(std::string(id, 16), "3456789034567890");
  EXPECT_EQ(id[16], 0) << "exactly 16 characters are written";
}

TEST(CpicStart, AHostNameThatDoesNotResolveStopsTheStart) {
  if (!peers::NetnsAvailable()) GTEST_SKIP() << "no network namespaces here";
  tovtest::ChildResult r = peers::RunInNetns([] {
    char name[64];
    snprintf(name, sizeof(name), "tov-noresolve-%d", static_cast<int>(getpid()));
    if (unshare(CLONE_NEWUTS) != 0 || sethostname(name, strlen(name)) != 0) return 91;
    for (const char* v : kOptionVars) unsetenv(v);
    ThrProcInit();
    CpicIResetProcess();
    trccheck::TraceFile file(2);
    CpicISetLevel(2);
    CpicISetHdl(file.f);
    WEQ_UC* argv[] = {const_cast<WEQ_UC*>(u"/bin/prog"), nullptr};
    int first = WEQ_CPIC_PROCESS_ATTACH(argv);
    int second = WEQ_CPIC_PROCESS_ATTACH(argv);
    printf("first=%d\nsecond=%d\n", first, second);
    PrintState(WEQ_STINIT(nullptr, nullptr, nullptr, u' '));
    printf("--trace--\n%s", file.After().c_str());
    fflush(stdout);
    return 0;
  });
  ASSERT_NE(r.exit_code, 90) << "namespace";
  ASSERT_EQ(r.exit_code, 0) << r.err;
  Seen s = Parse(r);
  EXPECT_EQ(s.v["first"], "0");
  EXPECT_EQ(s.v["second"], "1") << "a failed attach is not repeated";
  EXPECT_EQ(s.v["rc"], "20");
  EXPECT_EQ(s.v["initialised"], "0");
  EXPECT_EQ(s.v["ownaddr"], "0.0.0.0");
  EXPECT_EQ(s.v["err"], "-2") << "NI's host-unknown code is recorded";
  EXPECT_TRUE(s.Has("*** ERROR => STInitGlobals: NiHostToAddr (tov-noresolve-")) << s.trace;
}

// --- Attach, detach and the environment ------------------------------------------------------

TEST(CpicStart, AttachDetachAndEnvironmentReads) {
  tovtest::ChildResult r = tovtest::RunInChild([] {
    for (const char* v : kOptionVars) unsetenv(v);
    ThrProcInit();
    CpicIResetProcess();
    int bad = 0;
    WEQ_UC arg0[] = u"/usr/local/bin/tool.bin";
    WEQ_UC arg1[] = u"CPIC_TRACE=0";
    WEQ_UC* argv[] = {arg0, arg1, nullptr};
    bad += WEQ_CPIC_PROCESS_ATTACH(argv) != 1;
    bad += WEQ_CPIC_THREAD_ATTACH() != 1;
    bad += CpicIGlobals().initialised.load() != 1;
    bad += ToUtf8(CpicIGlobals().defaultTp) != "tool";
    STI_GLOB* g = STIGetGlob();
    bad += g == nullptr || g->lastIndex != -1 || g != STIGetGlob();
    // Each read sees the environment as it is now; values stay valid.
    setenv("TOV_CPIC_PROBE", "one \xC3\xA4", 1);
    const WEQ_UC* one = STIGetenv(u"TOV_CPIC_PROBE");
    setenv("TOV_CPIC_PROBE", "two", 1);
    const WEQ_UC* two = STIGetenv(u"TOV_CPIC_PROBE");
    bad += one == nullptr || ToUtf8(one) != "one \xC3\xA4";
    bad += two == nullptr || ToUtf8(two) != "two";
    bad += STIGetenv(u"TOV_CPIC_PROBE") != two;
    unsetenv("TOV_CPIC_PROBE");
    bad += STIGetenv(u"TOV_CPIC_PROBE") != nullptr;
    bad += STIGetenv(nullptr) != nullptr;
    bad += WEQ_CPIC_THREAD_DETACH() != 1;
    bad += ErrIsSet();
    bad += WEQ_CPIC_PROCESS_DETACH() != 1;
    bad += STIMaxConv() != -1;
    printf("bad=%d\n", bad);
    return bad;
  });
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
}

}  // namespace
