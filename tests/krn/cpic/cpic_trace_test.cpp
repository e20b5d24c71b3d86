// The CPI-C trace, one child process per case run in a private directory:
// the sources of the level (environment, arguments, verbs, the Java call),
// when the file CPICTRC<pid> is opened, and what reaches standard error. The
// files are read with the trace checker.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "krn/cpic/cpic.h"
#include "krn/cpic/cpic_int.h"
#include "krn/dptrc/trc_checker.h"
#include "krn/thr/thr.h"
#include "support/testsupport.h"

namespace {

using tovtest::ToUtf8;

const char* const kTraceVars[] = {"CPIC_TRACE", "CPIC_TRACE_DIR", "CPIC_MAX_CONV", "CPIC_USE_UDS"};

struct Outcome {
  tovtest::ChildResult r;
  std::string dir;
  int pid = 0;
  // "key=value" lines the child printed.
  std::string Get(const std::string& key) const {
    size_t at = r.out.find(key + "=");
    if (at == std::string::npos) return "?";
    size_t end = r.out.find('\n', at);
    return r.out.substr(at + key.size() + 1, end - at - key.size() - 1);
  }
  std::string File(const std::string& name) const { return tovtest::ReadFile(dir + "/" + name); }
  std::string TraceName() const { return "CPICTRC" + std::to_string(pid); }
  bool Exists(const std::string& name) const {
    struct stat st;
    return stat((dir + "/" + name).c_str(), &st) == 0;
  }
};

// Runs body in a child whose working directory is a fresh directory, with
// the trace variables set as given.
Outcome RunCase(const std::vector<std::pair<std::string, std::string>>& env,
                const std::function<void()>& body) {
  Outcome o;
  static tovtest::TempDir root;
  static int n = 0;
  o.dir = root.File("case" + std::to_string(++n));
  mkdir(o.dir.c_str(), 0700);
  std::string dir = o.dir;
  o.r = tovtest::RunInChild([&] {
    for (const char* v : kTraceVars) unsetenv(v);
    for (const auto& [k, v] : env) setenv(k.c_str(), v.c_str(), 1);
    if (chdir(dir.c_str()) != 0) return 91;
    ThrProcInit();
    CpicIResetProcess();
    printf("pid=%d\n", static_cast<int>(getpid()));
    body();
    int level = -9;
    CM_RETURN_CODE rc = WEQ_CMGETTRACE(&level);
    printf("getrc=%d\ngetlevel=%d\ncpiclevel=%d\nctrclevel=%d\nhdl=%s\nsamehdl=%d\n", rc, level,
           CpicTrcLevel(), CTrcLevel.load(),
           CpicTrcHdl() == nullptr  ? "none"
           : CpicTrcHdl() == stderr ? "stderr"
                                    : "file",
           CpicTrcHdl() == CTrcGlobalHdl.load());
    fflush(stdout);
    fflush(stderr);
    return 0;
  });
  o.pid = atoi(o.Get("pid").c_str());
  return o;
}

// The information lines of a trace file's body.
std::vector<std::string> Infos(const std::string& file) {
  std::vector<std::string> out;
  size_t header = file.find("---\n", 60);
  for (const trccheck::Line& l :
       trccheck::Parse(header == std::string::npos ? file : file.substr(header + 4), false)) {
    if (l.kind == 'I') out.push_back(l.text);
  }
  return out;
}

CM_RETURN_CODE FirstVerb() { return WEQ_STINIT(nullptr, nullptr, nullptr, u' '); }

TEST(CpicTrace, EnvironmentLevelTwoOpensTheFileAtTheFirstVerb) {
  Outcome o = RunCase({{"CPIC_TRACE", "2"}}, [] { FirstVerb(); });
  ASSERT_EQ(o.r.exit_code, 0) << o.r.err;
  ASSERT_TRUE(o.Exists(o.TraceName()));
  std::vector<std::string> lines = Infos(o.File(o.TraceName()));
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], "opened by WEQ_STINIT (version=720.2009.09.30)");
  EXPECT_EQ(o.Get("getrc"), "0");
  EXPECT_EQ(o.Get("getlevel"), "2");
  EXPECT_EQ(o.Get("ctrclevel"), "2");
  EXPECT_EQ(o.Get("hdl"), "file");
  EXPECT_EQ(o.Get("samehdl"), "1");
  std::string all = o.File(o.TraceName());
  EXPECT_NE(all.find("STInitGlobals: ok"), std::string::npos) << "the layer's lines go to the file";
  EXPECT_NE(all.find("*************** WEQ_STINIT ***************"), std::string::npos);
}

TEST(CpicTrace, EnvironmentLevelZeroCountsAsSetUpAndAVerbRaisesTheLevel) {
  Outcome o = RunCase({{"CPIC_TRACE", "0"}}, [] {
    FirstVerb();
    CpicTrcInit(1, 1, 2, 0, u"WEQ_CMLISTEN");
    CPIC_TRC(2, u"%s: after raise\n", u"probe");
  });
  ASSERT_EQ(o.r.exit_code, 0) << o.r.err;
  EXPECT_FALSE(o.Exists(o.TraceName()));
  EXPECT_EQ(o.Get("getrc"), "0");
  EXPECT_EQ(o.Get("getlevel"), "2");
  EXPECT_EQ(o.Get("ctrclevel"), "2");
  EXPECT_EQ(o.Get("hdl"), "none");
  std::vector<trccheck::Line> err = trccheck::Parse(o.r.err, false);
  ASSERT_FALSE(err.empty()) << o.r.err;
  EXPECT_EQ(err.back().kind, 'I');
  EXPECT_EQ(err.back().text, "probe: after raise");
}

TEST(CpicTrace, NegativeEnvironmentLevelIsIgnored) {
  Outcome o = RunCase({{"CPIC_TRACE", "-1"}}, [] { FirstVerb(); });
  EXPECT_EQ(o.Get("getrc"), "20");
  EXPECT_EQ(o.Get("getlevel"), "0");
  EXPECT_EQ(o.Get("hdl"), "none");
  EXPECT_FALSE(o.Exists(o.TraceName()));
}

TEST(CpicTrace, AVerbsOwnLevelOpensTheFileWithoutEnvironment) {
  Outcome o = RunCase({}, [] { CpicTrcInit(1, 1, 2, 0, u"WEQ_CMREGTP3"); });
  ASSERT_TRUE(o.Exists(o.TraceName()));
  EXPECT_EQ(Infos(o.File(o.TraceName())).at(0), "opened by WEQ_CMREGTP3 (version=720.2009.09.30)");
  EXPECT_EQ(o.Get("getlevel"), "2");
  Outcome zero = RunCase({}, [] { CpicTrcInit(1, 1, 0, 0, u"WEQ_CMREGTP3"); });
  EXPECT_EQ(zero.Get("getrc"), "20");
  Outcome marked = RunCase({}, [] { CpicTrcInit(0, 0, 0, 1, u"WEQ_CMREGTP3"); });
  EXPECT_EQ(marked.Get("getrc"), "0");
  EXPECT_FALSE(marked.Exists(marked.TraceName()));
}

TEST(CpicTrace, ArgumentsGiveTheLevel) {
  struct Case {
    std::vector<std::u16string> args;
    std::string cpic, ctrc;
    bool file;
  };
  const std::vector<Case> cases = {
      {{u"prog", u"TRACE=1", u"CPIC_TRACE=3"}, "3", "3", true},
      {{u"prog", u"TRACE=1"}, "1", "1", true},
      {{u"prog", u"TRACE=-1"}, "0", "0", true},
      {{u"CPIC_TRACE=3", u"x"}, "0", "0", false},  // the first element is the program
      {{u"prog", u"CPIC_TRACE=0", u"TRACE=2"}, "0", "0", false},
      {{u"prog"}, "0", "0", false},
  };
  for (const Case& c : cases) {
    Outcome o = RunCase({}, [&] {
      std::vector<std::u16string> copy = c.args;
      std::vector<WEQ_UC*> argv;
      for (std::u16string& a : copy) argv.push_back(a.data());
      argv.push_back(nullptr);
      printf("accp=%d\n", WEQ_CMACCP(argv.data()));
      // The scan runs once per process.
      WEQ_UC again[] = u"CPIC_TRACE=1";
      WEQ_UC* second[] = {argv[0], again, nullptr};
      WEQ_CMACCP(second);
      CpicISetSavedArgv(nullptr);
    });
    std::string name = ToUtf8(c.args.back());
    EXPECT_EQ(o.Get("accp"), "0") << name;
    EXPECT_EQ(o.Get("cpiclevel"), c.cpic) << name;
    EXPECT_EQ(o.Get("ctrclevel"), c.ctrc) << name;
    EXPECT_EQ(o.Exists(o.TraceName()), c.file) << name;
    if (c.file && c.cpic != "0") {  // a level below 1 writes no "opened by" line
      EXPECT_EQ(Infos(o.File(o.TraceName())).at(0), "opened by WEQ_CMACCP (version=720.2009.09.30)");
    }
  }
}

TEST(CpicTrace, JavaCallsSetAndKeepTheStream) {
  Outcome o = RunCase({}, [] {
    printf("t0=%d\n", WEQ_CMTRACE(0, u"jtrc"));
    printf("t2=%d\n", WEQ_CMTRACE(2, u"jtrc"));
  });
  EXPECT_EQ(o.Get("t0"), "0");
  EXPECT_EQ(o.Get("t2"), "0");
  EXPECT_FALSE(o.Exists("jtrc"));
  EXPECT_EQ(o.Get("hdl"), "stderr");
  EXPECT_EQ(o.Get("getlevel"), "2");
  std::vector<trccheck::Line> err = trccheck::Parse(o.r.err, false);
  ASSERT_EQ(err.size(), 1u) << o.r.err;
  EXPECT_EQ(err[0].text, "CpicTrcOpen: trace already initialized");

  Outcome f = RunCase({}, [] {
    WEQ_CMTRACE(3, u"jtrc");
    WEQ_CMTRACE(2, u"other");
  });
  ASSERT_TRUE(f.Exists("jtrc"));
  EXPECT_FALSE(f.Exists("other"));
  EXPECT_EQ(f.Get("getlevel"), "2");
  std::vector<std::string> lines = Infos(f.File("jtrc"));
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[0], "opened by WEQ_CMTRACE (version=720.2009.09.30)");
  EXPECT_EQ(lines[1], "CpicTrcOpen: trace already initialized");
  EXPECT_EQ(f.Get("ctrclevel"), "2");
}

TEST(CpicTrace, TraceDirectoryAndPathsThatDoNotFit) {
  tovtest::TempDir other;
  Outcome o = RunCase({{"CPIC_TRACE", "1"}, {"CPIC_TRACE_DIR", other.path()}}, [] { FirstVerb(); });
  EXPECT_FALSE(o.Exists(o.TraceName()));
  std::string file = tovtest::ReadFile(other.File(o.TraceName()));
  ASSERT_FALSE(file.empty());
  EXPECT_EQ(Infos(file).at(0), "opened by WEQ_STINIT (version=720.2009.09.30)");

  // "<dir>/CPICTRC<pid>" of 100 units or more does not fit.
  std::string longDir = "/tmp/" + std::string(95, 'd');
  Outcome l = RunCase({{"CPIC_TRACE", "2"}, {"CPIC_TRACE_DIR", longDir}}, [] { FirstVerb(); });
  EXPECT_EQ(l.Get("hdl"), "stderr");
  EXPECT_EQ(l.Get("getlevel"), "2");
  std::string want = "*** ERROR => CpicTrcOpen: fopen " + longDir + "/" + l.TraceName() + "\n";
  EXPECT_NE(l.r.err.find(want), std::string::npos) << l.r.err;
  EXPECT_NE(l.r.err.find("opened by WEQ_STINIT"), std::string::npos) << l.r.err;

  Outcome missing =
      RunCase({{"CPIC_TRACE", "1"}, {"CPIC_TRACE_DIR", "/nonexistent/tov"}}, [] { FirstVerb(); });
  EXPECT_EQ(missing.Get("hdl"), "stderr");
  EXPECT_NE(missing.r.err.find("*** ERROR => CpicTrcOpen: fopen /nonexistent/tov/CPICTRC"), std::string::npos)
      << missing.r.err;
}

TEST(CpicTrace, GetTraceArguments) {
  Outcome o = RunCase({}, [] { printf("null=%d\n", WEQ_CMGETTRACE(nullptr)); });
  EXPECT_EQ(o.Get("null"), "19");
  EXPECT_EQ(o.Get("getrc"), "20");
}

}  // namespace
