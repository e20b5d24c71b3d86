// The frontend launcher on the host: replies read from exact 2048-byte
// buffers, the launch mode from the registry stores, and whole starts of
// the stub frontend (its replies, its argument vector and descriptors, the
// time-outs, the logon pad, refused objects, command lengths), each
// checked for names left behind and for children left to this process.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <semaphore.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "krn/rfc/tov3/rfcweqgui_int.h"
#include "support/jnihost.h"
#include "support/testsupport.h"

namespace {

using tovtest::FromUtf8;
using tovtest::Show;

// --- Replies ---------------------------------------------------------------

// The mapping as the frontend leaves it: exactly 2048 bytes on the heap, so
// that a read past its end is caught under the address sanitizer.
struct Mapping {
  std::unique_ptr<unsigned char[]> bytes{new unsigned char[RFCGUI_SHM_BYTES]()};
  void Put8(const std::string& s) {
    memcpy(bytes.get(), s.data(), std::min<size_t>(s.size(), RFCGUI_SHM_BYTES));
  }
  void Put16(const std::u16string& s) {
    memcpy(bytes.get(), s.data(), std::min<size_t>(s.size() * 2, RFCGUI_SHM_BYTES));
  }
};

struct ReplyCase {
  const char* name;
  bool wide;
  std::u16string content;  // written as bytes (each unit one byte) or units
  int rc;
  std::u16string text;
};

std::u16string Xs(size_t n) { return std::u16string(n, u'x'); }
std::u16string Z() { return std::u16string(1, u'\0'); }

std::vector<ReplyCase> ReplyCases() {
  std::vector<ReplyCase> c = {
      {"ok8", false, u"RFC_OK host 3200" + Z(), 0, u"host 3200"},
      {"ok8OtherSeparator", false, u"RFC_OK:h:1" + Z(), 0, u"h:1"},
      {"ok8KeywordOnly", false, u"RFC_OK" + Z() + u"stale", 0, u""},
      {"ok8Latin1", false, u"RFC_OK \u00c4\u00ff" + Z(), 0, u"\u00c4\u00ff"},
      {"ok16", true, u"RFC_OK host 3200" + Z(), 0, u"host 3200"},
      {"ok16Supplementary", true, u"RFC_OK \u00c4\U0001F600" + Z(), 0, u"\u00c4\U0001F600"},
      {"err8", false, u"RFC_ERROR=no logon" + Z(), 1, u"no logon"},
      {"err16", true, u"RFC_ERROR=kein \u00dcbergang" + Z(), 1, u"kein \u00dcbergang"},
      {"garbage", false, u"HELLO" + Z(), 1, u""},
      {"keywordCut", false, u"RFC_O" + Z(), 1, u""},
      {"errorWithoutEquals", false, u"RFC_ERROR text" + Z(), 1, u""},
      {"zeros", false, u"", 1, u""},
      // 16-bit text up to the mapping's end: 1017 units, taken whole.
      {"ok16Fills1016", true, u"RFC_OK " + Xs(1016) + Z(), 0, Xs(1016)},
      {"ok16Fills1017NoTerminator", true, u"RFC_OK " + Xs(1017), 0, Xs(1017)},
      // An 8-bit connect string is cut at 1024 units.
      {"ok8Of1023", false, u"RFC_OK " + Xs(1023) + Z(), 0, Xs(1023)},
      {"ok8Of1024", false, u"RFC_OK " + Xs(1024) + Z(), 0, Xs(1024)},
      {"ok8Of1025", false, u"RFC_OK " + Xs(1025) + Z(), 0, Xs(1024)},
      {"ok8NoTerminator", false, u"RFC_OK " + Xs(2041), 0, Xs(1024)},
      // Error texts are cut at 512 units in both widths.
      {"err8Of600", false, u"RFC_ERROR=" + Xs(600) + Z(), 1, Xs(512)},
      {"err16Of600", true, u"RFC_ERROR=" + Xs(600) + Z(), 1, Xs(512)},
      {"err16NoTerminator", true, u"RFC_ERROR=" + Xs(1014), 1, Xs(512)},
  };
  for (size_t n : {511, 512, 513}) {
    c.push_back({"err8Edge", false, u"RFC_ERROR=" + Xs(n) + Z(), 1, Xs(std::min<size_t>(n, 512))});
    c.push_back({"err16Edge", true, u"RFC_ERROR=" + Xs(n) + Z(), 1, Xs(std::min<size_t>(n, 512))});
  }
  return c;
}

TEST(RfcGuiParseReply, ReadsEachKindOfReplyWithinTheMapping) {
  for (const ReplyCase& c : ReplyCases()) {
    Mapping m;
    if (c.wide) {
      m.Put16(c.content);
    } else {
      std::string bytes;
      for (char16_t u : c.content) bytes.push_back(static_cast<char>(u));
      m.Put8(bytes);
    }
    std::vector<WEQ_UC> reply(RFCGUI_REPLY_UNITS, u'?');
    int rc = rfcGuiParseReply(reply.data(), m.bytes.get());
    EXPECT_EQ(rc, c.rc) << c.name;
    EXPECT_EQ(std::u16string(reply.data()), c.text) << c.name << ": " << Show(reply.data());
  }
}

// --- Stores and the stub -----------------------------------------------------

const char kPathKey[] = "[Software\\WEQ\\RFC\\Weqgui\\ZK5L]\n";
const char kModeKey[] = "[Software\\WEQ\\Weqgui]\n";

class GuiHost : public ::testing::Test {
 protected:
  void SetUp() override {
    machine_ = tmp_.File("machine");
    user_ = tmp_.File("user");
    records_ = tmp_.File("records");
    for (const std::string& d : {machine_, user_, machine_ + "/tovnative", user_ + "/tovnative",
                                 records_}) {
      mkdir(d.c_str(), 0700);
    }
    setenv("XDG_CONFIG_DIRS", (machine_ + ":/nonexistent").c_str(), 1);
    setenv("XDG_CONFIG_HOME", user_.c_str(), 1);
    unsetenv("WEQGUI");
    rfcGuiISetWaitMs(20000);
    rfcGuiISetFailStep(RFCGUI_STEP_NONE);
  }
  void TearDown() override {
    rfcGuiISetWaitMs(0);
    rfcGuiISetFailStep(RFCGUI_STEP_NONE);
    for (pid_t p : leftRunning_) kill(p, SIGKILL);
    // Nothing that a start made is left to this process.
    errno = 0;
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
  }

  void Machine(const std::string& text) { tovtest::WriteFile(machine_ + "/tovnative/registry", text); }
  void User(const std::string& text) { tovtest::WriteFile(user_ + "/tovnative/registry", text); }
  void StubPath() { Machine(std::string(kPathKey) + "Path = sz:" + TOV_WEQGUI_STUB + "\n"); }

  // Parameters that make the stub record into this test's folder.
  std::string Dir() const { return "--dir=" + records_; }

  struct Result {
    int rc;
    std::u16string reply;
  };
  Result Launch(const std::u16string& params, const std::u16string& id = u"ID1") {
    std::vector<WEQ_UC> reply(RFCGUI_REPLY_UNITS, u'?');
    int rc = rfcGuiLaunch(params.c_str(), id.c_str(), reply.data());
    return {rc, std::u16string(reply.data())};
  }

  // The records of the stub processes that ran: pid -> lines.
  std::map<int, std::vector<std::string>> Runs() const {
    std::map<int, std::vector<std::string>> runs;
    DIR* d = opendir(records_.c_str());
    if (d == nullptr) return runs;
    while (dirent* e = readdir(d)) {
      std::string n = e->d_name;
      if (n.rfind("marker.", 0) != 0) continue;
      int pid = atoi(n.c_str() + 7);
      std::string rec = tovtest::ReadFile(records_ + "/run." + std::to_string(pid));
      std::vector<std::string> lines;
      size_t at = 0;
      while (at < rec.size()) {
        size_t nl = rec.find('\n', at);
        if (rec.compare(at, 4, "arg ") == 0) {
          // "arg <length> <bytes>": the argument may hold a newline.
          size_t sp = rec.find(' ', at + 4);
          size_t len = strtoul(rec.c_str() + at + 4, nullptr, 10);
          lines.push_back("arg:" + rec.substr(sp + 1, len));
          at = sp + 1 + len + 1;
          continue;
        }
        lines.push_back(rec.substr(at, nl - at));
        at = nl == std::string::npos ? rec.size() : nl + 1;
      }
      runs[pid] = lines;
    }
    closedir(d);
    return runs;
  }

  static std::vector<std::string> Args(const std::vector<std::string>& lines) {
    std::vector<std::string> a;
    for (const std::string& l : lines) {
      if (l.rfind("arg:", 0) == 0) a.push_back(l.substr(4));
    }
    return a;
  }

  // No semaphore or shared memory of the pid or the id is left.
  static void ExpectNoNames(pid_t pid, const std::string& id) {
    DIR* d = opendir("/dev/shm");
    ASSERT_NE(d, nullptr);
    std::string byPid = std::to_string(pid) + "_RfcGui";
    std::string byId = id + "_RfcGui";
    while (dirent* e = readdir(d)) {
      std::string n = e->d_name;
      EXPECT_TRUE(n.find(byPid) == std::string::npos && n.find(byId) == std::string::npos)
          << "left behind: /dev/shm/" << n;
    }
    closedir(d);
  }

  tovtest::TempDir tmp_;
  std::string machine_;
  std::string user_;
  std::string records_;
  std::vector<pid_t> leftRunning_;
};

// --- Launch mode ---------------------------------------------------------------

TEST_F(GuiHost, LaunchModeTakesTheLastReadableValue) {
  struct Case {
    const char* name;
    std::string machine;
    std::string user;
    unsigned mode;
  } cases[] = {
      {"none", "", "", 0},
      {"machineLaunch", "LaunchWeqlogon = dword:1\n", "", 1},
      {"machineStartAfterLaunch", "LaunchWeqlogon = dword:1\nStartWeqlogon=dword:0\n", "", 0},
      {"userOverMachine", "StartWeqlogon = dword:5\n", "LaunchWeqlogon = dword:7\n", 7},
      {"userStartLast", "", "LaunchWeqlogon = dword:0\nStartWeqlogon = dword:3\n", 3},
      {"mistypedUserIgnored", "LaunchWeqlogon = dword:2\n", "StartWeqlogon = sz:1\n", 2},
      {"tooLargeIgnored", "LaunchWeqlogon = dword:9\n", "LaunchWeqlogon = dword:4294967296\n", 9},
      {"hexadecimal", "LaunchWeqlogon = dword:0x10\n", "", 16},
      {"notANumber", "LaunchWeqlogon = dword:1x\n", "", 0},
      {"namesInAnyCase", "launchWEQLOGON = dword:6\n", "", 6},
  };
  for (const Case& c : cases) {
    Machine(c.machine.empty() ? "" : std::string(kModeKey) + c.machine);
    User(c.user.empty() ? "" : "[software\\weq\\WEQGUI]\n" + c.user);
    EXPECT_EQ(rfcGuiLaunchMode(), c.mode) << c.name;
  }
}

// --- Finding the frontend ------------------------------------------------------

TEST_F(GuiHost, WeqguiInTheEnvironmentStartsNothing) {
  StubPath();
  setenv("WEQGUI", TOV_WEQGUI_STUB, 1);
  Result r = Launch(FromUtf8(Dir()));
  unsetenv("WEQGUI");
  EXPECT_EQ(r.rc, 1);
  EXPECT_EQ(r.reply, u"Can't start WEQGUI for Java");
  EXPECT_EQ(rfcGuiILastPid(), -1);
  EXPECT_TRUE(Runs().empty());
}

TEST_F(GuiHost, WithoutAPathInTheStoresThereIsNothingToStart) {
  struct Case {
    const char* name;
    std::string machine;
  } cases[] = {
      {"noStore", ""},
      {"otherKey", "[Software\\WEQ\\RFC\\Weqgui]\nPath = sz:/bin/true\n"},
      {"dword", std::string(kPathKey) + "Path = dword:1\n"},
      {"empty", std::string(kPathKey) + "Path = sz:\n"},
      // 512 units are beyond the value's 1024 bytes: not read, not cut.
      {"tooLong", std::string(kPathKey) + "Path = sz:/" + std::string(511, 'p') + "\n"},
  };
  User(std::string(kPathKey) + "Path = sz:" + TOV_WEQGUI_STUB + "\n");  // the user's is not read
  for (const Case& c : cases) {
    Machine(c.machine);
    Result r = Launch(FromUtf8(Dir()));
    EXPECT_EQ(r.rc, 1) << c.name;
    EXPECT_EQ(r.reply, u"Can't find the path to WEQGUI") << c.name;
  }
  EXPECT_TRUE(Runs().empty());
}

TEST_F(GuiHost, APathThatCannotRunFailsAtOnce) {
  std::string notExec = tmp_.File("plain");
  tovtest::WriteFile(notExec, "#!/bin/sh\n");
  // 511 units are read whole.
  std::string long511 = "/" + std::string(510, 'q');
  for (const std::string& path : {std::string("/nonexistent/weqgui"), notExec, tmp_.path(), long511}) {
    Machine(std::string(kPathKey) + "Path = sz:" + path + "\n");
    auto start = std::chrono::steady_clock::now();
    Result r = Launch(u"--x", u"ID2");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.reply, u"Failed to start WEQGUI: \"" + FromUtf8(path) + u"\" --x /Rfc=ID2 /SplashScreenOff");
  }
}

// --- Replies through the stub ----------------------------------------------

TEST_F(GuiHost, StubRepliesReachTheCaller) {
  StubPath();
  struct Case {
    const char* params;
    int rc;
    std::u16string reply;
  } cases[] = {
      {"--reply=ok8 \"--text=host 3200\"", 0, u"host 3200"},
      {"--reply=ok16 --text=\xc3\x84\xf0\x9f\x98\x80", 0, u"\u00c4\U0001F600"},
      {"--reply=err8 \"--text=no logon\"", 1, u"no logon"},
      {"--reply=err16 --text=\xc3\x9c", 1, u"\u00dc"},
      {"--reply=err8 --fill=600", 1, Xs(512)},
      {"--reply=err16 --fill=600", 1, Xs(512)},
      {"--reply=garbage", 1, u""},
      {"--reply=ok16 --fill=1017 --noterm", 0, Xs(1017)},
      {"--reply=ok8 --text=later --delay=300", 0, u"later"},
  };
  for (const Case& c : cases) {
    Result r = Launch(FromUtf8(Dir() + " " + c.params));
    EXPECT_EQ(r.rc, c.rc) << c.params;
    EXPECT_EQ(r.reply, c.reply) << c.params << ": " << Show(r.reply);
    ExpectNoNames(rfcGuiILastPid(), "ID1");
  }
  auto runs = Runs();
  EXPECT_EQ(runs.size(), sizeof cases / sizeof cases[0]);
  for (auto& [pid, lines] : runs) {
    // Standard input, output and error only.
    std::vector<std::string> fds;
    for (const std::string& l : lines) {
      if (l.rfind("fd ", 0) == 0) fds.push_back(l);
    }
    EXPECT_EQ(fds, (std::vector<std::string>{"fd 0", "fd 1", "fd 2"})) << pid;
    std::vector<std::string> args = Args(lines);
    ASSERT_GE(args.size(), 4u);
    EXPECT_EQ(args[0], TOV_WEQGUI_STUB);
    EXPECT_EQ(args[args.size() - 2], "/Rfc=ID1");
    EXPECT_EQ(args.back(), "/SplashScreenOff");
  }
}

TEST_F(GuiHost, ParametersAreSplitByTheWindowsRules) {
  StubPath();
  Result r = Launch(FromUtf8(Dir() + R"( a\"b "c d" e\\\\"f g" h\\i "j""k" "" l"m n"o)"), u"I D");
  ASSERT_EQ(r.rc, 0) << Show(r.reply);
  auto runs = Runs();
  ASSERT_EQ(runs.size(), 1u);
  std::vector<std::string> expected = {TOV_WEQGUI_STUB, Dir(), "a\"b", "c d", "e\\\\f g",
                                       "h\\\\i", "j\"k", "", "lm no", "/Rfc=I", "D",
                                       "/SplashScreenOff"};
  EXPECT_EQ(Args(runs.begin()->second), expected);
}

TEST_F(GuiHost, AFrontendThatNeverAnswersTimesOut) {
  StubPath();
  rfcGuiISetWaitMs(1500);
  for (const char* how : {"--never", "--exit"}) {
    auto start = std::chrono::steady_clock::now();
    Result r = Launch(FromUtf8(Dir() + " " + how), u"ID3");
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(r.rc, 1) << how;
    EXPECT_EQ(r.reply, u"Communication with WEQGUI timed out") << how;
    EXPECT_GE(took, std::chrono::milliseconds(1400)) << how;
    EXPECT_LT(took, std::chrono::seconds(10)) << how;
    pid_t pid = rfcGuiILastPid();
    ExpectNoNames(pid, "ID3");
    if (std::string(how) == "--never") {
      // The frontend is left running.
      EXPECT_EQ(kill(pid, 0), 0);
      leftRunning_.push_back(pid);
    }
  }
  EXPECT_EQ(Runs().size(), 2u);
}

TEST_F(GuiHost, TheLogonPadAnswersOnTheIdNames) {
  StubPath();
  User(std::string(kModeKey) + "LaunchWeqlogon = dword:1\n");
  // The frontend ends at once; its child answers later on the id's names.
  Result r = Launch(FromUtf8(Dir() + " --child --delay=400 --idnames \"--text=pad 3300\""), u"PAD7");
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.reply, u"pad 3300");
  ExpectNoNames(rfcGuiILastPid(), "PAD7");
  EXPECT_EQ(Runs().size(), 1u);

  // An id that cannot be a name is refused before anything starts.
  r = Launch(FromUtf8(Dir()), u"a/b");
  EXPECT_EQ(r.rc, 1);
  EXPECT_EQ(r.reply, u"Invalid RFC id for WEQGUI: a/b");
  EXPECT_EQ(Runs().size(), 1u);
}

TEST_F(GuiHost, LogonPadCallsWithOneIdShareItsNames) {
  StubPath();
  User(std::string(kModeKey) + "LaunchWeqlogon = dword:1\n");
  // A posted semaphore that an ended process left under the id: replaced,
  // so that its count does not end the wait at once.
  sem_t* stale = sem_open("/STALE_RfcGuiSem", O_CREAT, 0600, 1);
  ASSERT_NE(stale, SEM_FAILED);
  sem_close(stale);
  rfcGuiISetWaitMs(1000);
  Result r = Launch(FromUtf8(Dir() + " --never"), u"STALE");
  EXPECT_EQ(r.rc, 1);
  EXPECT_EQ(r.reply, u"Communication with WEQGUI timed out");
  leftRunning_.push_back(rfcGuiILastPid());
  ExpectNoNames(rfcGuiILastPid(), "STALE");

  // Two calls at once: both stubs answer on the shared id names.
  rfcGuiISetWaitMs(20000);
  Result results[2];
  pid_t pids[2];
  std::thread t[2];
  for (int i = 0; i < 2; ++i) {
    t[i] = std::thread([&, i] {
      results[i] = Launch(FromUtf8(Dir() + " --idnames --delay=300 --text=same"), u"SHARED");
      pids[i] = rfcGuiILastPid();
    });
  }
  for (auto& th : t) th.join();
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(results[i].rc, 0);
    EXPECT_EQ(results[i].reply, u"same");
    ExpectNoNames(pids[i], "SHARED");
  }
}

TEST_F(GuiHost, AnObjectThatCannotBeMadeEndsTheHeldFrontendUnrun) {
  StubPath();
  User(std::string(kModeKey) + "StartWeqlogon = dword:1\n");
  struct Case {
    RfcGuiStep step;
    const char* text;
    bool ran;
  } cases[] = {
      {RFCGUI_STEP_ID_SEM, "Failed to create semaphore OBJ_RfcGuiSem", false},
      {RFCGUI_STEP_PID_SEM, "Failed to create semaphore %d_RfcGuiSem", false},
      {RFCGUI_STEP_MAPPING, "Failed to create shared memory OBJ_RfcGuiShm", false},
      {RFCGUI_STEP_VIEW, "Failed to map shared memory OBJ_RfcGuiShm", true},
  };
  size_t ran = 0;
  for (const Case& c : cases) {
    rfcGuiISetFailStep(c.step);
    Result r = Launch(FromUtf8(Dir() + " --idnames"), u"OBJ");
    pid_t pid = rfcGuiILastPid();
    char text[128];
    snprintf(text, sizeof text, c.text, static_cast<int>(pid));
    EXPECT_EQ(r.rc, 1) << c.step;
    EXPECT_EQ(r.reply, FromUtf8(text)) << c.step;
    ExpectNoNames(pid, "OBJ");
    if (c.ran) ++ran;
    EXPECT_EQ(Runs().size(), ran) << c.step;
  }
}

TEST_F(GuiHost, ACommandBeyondItsBufferStartsNothing) {
  StubPath();
  // "\"<stub>\" <params> /Rfc=ID1 /SplashScreenOff"
  std::string head = Dir() + " --text=";
  size_t fixed = strlen(TOV_WEQGUI_STUB) + 3 + head.size() + strlen(" /Rfc=ID1 /SplashScreenOff");
  ASSERT_LT(fixed, 1000u);
  Result r = Launch(FromUtf8(head + std::string(1024 - fixed, 'y')));
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.reply, FromUtf8(std::string(1024 - fixed, 'y')));
  EXPECT_EQ(Runs().size(), 1u);

  pid_t before = rfcGuiILastPid();
  r = Launch(FromUtf8(head + std::string(1025 - fixed, 'y')));
  EXPECT_EQ(r.rc, 1);
  EXPECT_EQ(r.reply.rfind(u"Failed to start WEQGUI: \"", 0), 0u) << Show(r.reply);
  EXPECT_EQ(rfcGuiILastPid(), before);
  EXPECT_EQ(Runs().size(), 1u);
}

TEST_F(GuiHost, TwoThreadsLaunchAtOnce) {
  StubPath();
  Result results[2];
  pid_t pids[2];
  std::thread t[2];
  for (int i = 0; i < 2; ++i) {
    t[i] = std::thread([&, i] {
      results[i] = Launch(FromUtf8(Dir() + " --delay=300 --text=t" + std::to_string(i)), u"ID1");
      pids[i] = rfcGuiILastPid();
    });
  }
  for (auto& th : t) th.join();
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(results[i].rc, 0);
    EXPECT_EQ(results[i].reply, u"t" + std::u16string(1, static_cast<char16_t>(u'0' + i)));
    ExpectNoNames(pids[i], "ID1");
  }
  EXPECT_NE(pids[0], pids[1]);
}

// --- The native on the in-process JNI host ---------------------------------

class GuiNative : public GuiHost {
 protected:
  tovtest::JniHost host_;
  jobjectArray Call(jstring params, jstring id) {
    jobjectArray r = Java_com_weq_conn_rfc_driver_CpicDriver_nativeLaunchWeqGui(
        host_.env(), nullptr, params, id, host_.NewString(u"unused"), 0);
    host_.EndNative();
    return r;
  }
  // The two elements as text, "<null>" for null.
  std::vector<std::u16string> Texts(jobjectArray r) const {
    std::vector<std::u16string> t;
    for (jobject o : host_.Objects(r)) t.push_back(o == nullptr ? u"<null>" : host_.Text(o));
    return t;
  }
};

TEST_F(GuiNative, ResultsGoIntoTheirElement) {
  StubPath();
  jobjectArray r = Call(host_.NewString(FromUtf8(Dir() + " \"--text=host 3200\"")), host_.NewString(u"N1"));
  EXPECT_EQ(Texts(r), (std::vector<std::u16string>{u"host 3200", u"<null>"}));
  r = Call(host_.NewString(FromUtf8(Dir() + " --reply=err16 --text=\xc3\x84")), host_.NewString(u"N1"));
  EXPECT_EQ(Texts(r), (std::vector<std::u16string>{u"<null>", u"\u00c4"}));
  setenv("WEQGUI", "/somewhere/weqgui", 1);
  r = Call(host_.NewString(u""), host_.NewString(u"N1"));
  unsetenv("WEQGUI");
  EXPECT_EQ(Texts(r), (std::vector<std::u16string>{u"<null>", u"Can't start WEQGUI for Java"}));
  EXPECT_EQ(Runs().size(), 2u);
  EXPECT_TRUE(host_.Violations().empty()) << host_.Violations().front();
}

TEST_F(GuiNative, AStringThatCannotBeConvertedStartsNothing) {
  StubPath();
  struct Case {
    const char* name;
    jstring params;
    jstring id;
  } cases[] = {
      {"paramsTooLong", host_.NewString(std::u16string(1025, u'p')), host_.NewString(u"N2")},
      {"idTooLong", host_.NewString(FromUtf8(Dir())), host_.NewString(std::u16string(33, u'i'))},
      {"paramsNull", nullptr, host_.NewString(u"N2")},
      {"idNull", host_.NewString(FromUtf8(Dir())), nullptr},
  };
  for (const Case& c : cases) EXPECT_EQ(Call(c.params, c.id), nullptr) << c.name;
  // 1024 units and 32 units fit their buffers.
  jobjectArray r = Call(host_.NewString(std::u16string(1024, u'p')), host_.NewString(std::u16string(32, u'i')));
  EXPECT_EQ(Texts(r).size(), 2u);
  EXPECT_EQ(Runs().size(), 0u);
  EXPECT_TRUE(host_.Violations().empty()) << host_.Violations().front();
}

TEST_F(GuiNative, AFailingJniCallLeavesNothingPending) {
  setenv("WEQGUI", "/somewhere/weqgui", 1);
  struct Case {
    tovtest::JniOp op;
    bool array;
    std::vector<std::u16string> texts;
  } cases[] = {
      {tovtest::JniOp::FindClass, false, {}},
      {tovtest::JniOp::NewObjectArray, false, {}},
      {tovtest::JniOp::NewString, true, {u"<null>", u"<null>"}},
      {tovtest::JniOp::SetObjectArrayElement, true, {u"<null>", u"<null>"}},
  };
  for (const Case& c : cases) {
    host_.FailCall(c.op);
    jobjectArray r = Call(host_.NewString(u""), host_.NewString(u"N3"));
    EXPECT_EQ(r != nullptr, c.array) << tovtest::JniOpName(c.op);
    if (r != nullptr) {
      EXPECT_EQ(Texts(r), c.texts) << tovtest::JniOpName(c.op);
    }
  }
  unsetenv("WEQGUI");
  EXPECT_TRUE(host_.Violations().empty()) << host_.Violations().front();
}

}  // namespace
