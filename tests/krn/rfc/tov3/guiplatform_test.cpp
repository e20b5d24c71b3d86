// The platform services the launcher starts the frontend with: the
// command-line splitter against hand-written vectors of the Windows C
// runtime's rules, the registry store's reader, and the held start's
// refusals.
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/process.h"
#include "platform/registry.h"
#include "support/testsupport.h"

namespace {

using Args = std::vector<std::string>;

TEST(PlatCmdLineSplit, FollowsTheWindowsRuntimeRules) {
  struct Case {
    const char* cmd;
    Args args;
  } cases[] = {
      {"prog a b", {"prog", "a", "b"}},
      {"  prog", {"", "prog"}},
      {"prog \t a\t\tb ", {"prog", "a", "b"}},
      {R"("C:\Program Files\x.exe" a)", {R"(C:\Program Files\x.exe)", "a"}},
      // The program name takes no backslash escape.
      {R"("C:\dir\" b)", {R"(C:\dir\)", "b"}},
      {R"("p q"r s)", {"p qr", "s"}},
      {R"(p "a b" c)", {"p", "a b", "c"}},
      {R"(p a\\\"b)", {"p", R"(a\"b)"}},
      {R"(p a\\\\"b c")", {"p", R"(a\\b c)"}},
      {R"(p a\\b \c)", {"p", R"(a\\b)", R"(\c)"}},
      {R"(p "a""b")", {"p", R"(a"b)"}},
      {R"(p "" x)", {"p", "", "x"}},
      {R"(p a"b c"d)", {"p", "ab cd"}},
      {R"(p \"a\")", {"p", R"("a")"}},
      {R"(p "unterminated arg)", {"p", "unterminated arg"}},
      {R"(p trailing\)", {"p", R"(trailing\)"}},
      {"", {""}},
  };
  for (const Case& c : cases) EXPECT_EQ(PlatCmdLineSplit(c.cmd), c.args) << c.cmd;
}

TEST(PlatRegFind, ReadsTypedValuesOfTheFirstMatchingKey) {
  const std::string store =
      "; comment\n"
      "# another\n"
      "[Software\\A]\r\n"
      "  Path = sz:  /opt/a b  \r\n"
      "Count=dword:42\n"
      "Hex = dword:0xFFFFFFFF\n"
      "Bad = dword:-1\n"
      "Raw = /no/type\n"
      "Path = sz:/second\n"
      "[software\\a]\n"
      "Late = sz:never\n"
      "[Other]\n"
      "Path = sz:/other\n";
  char buf[64];
  uint32_t v = 0;
  EXPECT_EQ(PlatRegFindString(store.data(), store.size(), "SOFTWARE\\a", "path", buf, sizeof buf),
            PLAT_REG_OK);
  EXPECT_STREQ(buf, "/opt/a b");
  EXPECT_EQ(PlatRegFindString(store.data(), store.size(), "Other", "Path", buf, sizeof buf), PLAT_REG_OK);
  EXPECT_STREQ(buf, "/other");
  EXPECT_EQ(PlatRegFindDword(store.data(), store.size(), "Software\\A", "count", &v), PLAT_REG_OK);
  EXPECT_EQ(v, 42u);
  EXPECT_EQ(PlatRegFindDword(store.data(), store.size(), "Software\\A", "Hex", &v), PLAT_REG_OK);
  EXPECT_EQ(v, 0xFFFFFFFFu);
  EXPECT_EQ(PlatRegFindDword(store.data(), store.size(), "Software\\A", "Bad", &v), PLAT_REG_ETYPE);
  EXPECT_EQ(PlatRegFindString(store.data(), store.size(), "Software\\A", "Raw", buf, sizeof buf),
            PLAT_REG_ETYPE);
  EXPECT_EQ(PlatRegFindDword(store.data(), store.size(), "Software\\A", "Path", &v), PLAT_REG_ETYPE);
  EXPECT_EQ(PlatRegFindString(store.data(), store.size(), "Software\\A", "Count", buf, sizeof buf),
            PLAT_REG_ETYPE);
  // Only the first section of a key counts.
  EXPECT_EQ(PlatRegFindString(store.data(), store.size(), "Software\\A", "Late", buf, sizeof buf),
            PLAT_REG_ENOTFOUND);
  EXPECT_EQ(PlatRegFindString(store.data(), store.size(), "Software", "Path", buf, sizeof buf),
            PLAT_REG_ENOTFOUND);
  // Whole or not at all: "/opt/a b" needs 9 bytes.
  char small[9];
  memset(small, '#', sizeof small);
  EXPECT_EQ(PlatRegFindString(store.data(), store.size(), "Software\\A", "Path", small, 8),
            PLAT_REG_EMORE);
  EXPECT_EQ(small[0], '#');
  EXPECT_EQ(PlatRegFindString(store.data(), store.size(), "Software\\A", "Path", small, 9), PLAT_REG_OK);
  EXPECT_STREQ(small, "/opt/a b");
}

// A store is read up to 1 MiB; a line that the limit cuts is no value:
// the cut text is never handed out as though it were the whole.
TEST(PlatRegGet, StoreCutAtItsLimitKeepsOnlyWholeLines) {
  tovtest::TempDir tmp;
  ASSERT_EQ(mkdir(tmp.File("tovnative").c_str(), 0700), 0);
  const size_t limit = size_t{1} << 20;
  const std::string head = "[Software\\A]\nFirst = sz:/opt/first\n";
  const std::string tail = "Path = sz:/opt/abcdef\nCount = dword:7\n";
  // The limit falls after "/opt/abc".
  const size_t pad = limit - head.size() - std::string("Path = sz:/opt/abc").size() - 3;
  tovtest::WriteFile(tmp.File("tovnative/registry"), head + "; " + std::string(pad, 'x') + "\n" + tail);
  setenv("XDG_CONFIG_HOME", tmp.path().c_str(), 1);
  char buf[64];
  EXPECT_EQ(PlatRegGetString(PLAT_REG_USER, "Software\\A", "Path", buf, sizeof buf), PLAT_REG_ENOTFOUND) << buf;
  uint32_t v = 0;
  EXPECT_EQ(PlatRegGetDword(PLAT_REG_USER, "Software\\A", "Count", &v), PLAT_REG_ENOTFOUND);
  EXPECT_EQ(PlatRegGetString(PLAT_REG_USER, "Software\\A", "First", buf, sizeof buf), PLAT_REG_OK);
  EXPECT_STREQ(buf, "/opt/first");
  unsetenv("XDG_CONFIG_HOME");
}

TEST(PlatRegStorePath, FollowsTheXdgVariables) {
  char buf[256];
  setenv("XDG_CONFIG_DIRS", "/m1:/m2", 1);
  setenv("XDG_CONFIG_HOME", "/u", 1);
  ASSERT_TRUE(PlatRegStorePath(PLAT_REG_MACHINE, buf, sizeof buf));
  EXPECT_STREQ(buf, "/m1/tovnative/registry");
  ASSERT_TRUE(PlatRegStorePath(PLAT_REG_USER, buf, sizeof buf));
  EXPECT_STREQ(buf, "/u/tovnative/registry");
  unsetenv("XDG_CONFIG_DIRS");
  unsetenv("XDG_CONFIG_HOME");
  setenv("HOME", "/h", 1);
  ASSERT_TRUE(PlatRegStorePath(PLAT_REG_MACHINE, buf, sizeof buf));
  EXPECT_STREQ(buf, "/etc/xdg/tovnative/registry");
  ASSERT_TRUE(PlatRegStorePath(PLAT_REG_USER, buf, sizeof buf));
  EXPECT_STREQ(buf, "/h/.config/tovnative/registry");
  EXPECT_FALSE(PlatRegStorePath(PLAT_REG_USER, buf, 10));
}

TEST(PlatProcCreateSuspended, RefusesWhatCannotRunAndLeavesNoChild) {
  tovtest::TempDir tmp;
  tovtest::WriteFile(tmp.File("plain"), "data");
  struct Case {
    std::string cmd;
    int err;
  } cases[] = {
      {"", EINVAL},
      {"\"\" a", EINVAL},
      {"/nonexistent/prog", ENOENT},
      {"no-such-program-on-the-path-xyz", ENOENT},
      {tmp.path(), EACCES},
      {tmp.File("plain"), EACCES},
  };
  for (const Case& c : cases) {
    PlatProc p;
    EXPECT_EQ(PlatProcCreateSuspended(c.cmd.c_str(), &p), c.err) << c.cmd;
    EXPECT_EQ(p.pid, -1);
  }
  // A held program found along PATH, let go: it runs, and is nobody's child here.
  PlatProc p;
  ASSERT_EQ(PlatProcCreateSuspended("true", &p), 0);
  EXPECT_GT(p.pid, 0);
  EXPECT_EQ(PlatProcResume(&p), 0);
  errno = 0;
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
}

// A held process that ended before it was let go never ran its program:
// resuming it fails, also on the second attempt, and raises no SIGPIPE.
TEST(PlatProcResume, HeldProcessGoneIsAFailure) {
  PlatProc p;
  ASSERT_EQ(PlatProcCreateSuspended("true", &p), 0);
  ASSERT_EQ(kill(p.pid, SIGKILL), 0);
  // Its end closes its side of the gate (the status pipe may report the
  // end before the gate's reading side is gone): the writing side then
  // reports an error.
  struct pollfd pfd = {p.gate, 0, 0};
  ASSERT_EQ(poll(&pfd, 1, 10000), 1);
  ASSERT_NE(pfd.revents & POLLERR, 0);
  EXPECT_EQ(PlatProcResume(&p), ESRCH);
  EXPECT_EQ(p.gate, -1);
  EXPECT_EQ(p.status, -1);
  EXPECT_EQ(PlatProcResume(&p), EINVAL);
}

}  // namespace
