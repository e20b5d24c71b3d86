// The portability services: the bounded copy, the parent process id, the
// local-host test against the interface list and the host name, share paths
// over an injected share table, the bound entries against /proc/meminfo, and
// the argument vector against /proc/self/cmdline of a child started with
// non-ASCII arguments.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "krn/ntport/ntport.h"
#include "krn/ntport/ntport_int.h"
#include "platform/physmem.h"
#include "platform/share.h"
#include "support/testsupport.h"

using tovtest::FromUtf8;
using tovtest::Show;

namespace {

// --- A child of this executable started with other arguments ----------------

constexpr char kArgvChildEnv[] = "TOV_NTPORT_ARGV_CHILD";

// The arguments as the kernel keeps them, split and decoded by the test's
// own UTF-8 reader.
std::vector<std::u16string> CmdlineOfSelf() {
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::u16string> args;
  std::string cur;
  for (char c : all) {
    if (c == 0) {
      args.push_back(FromUtf8(cur));
      cur.clear();
    } else {
      cur.push_back(c);
    }
  }
  return args;
}

// Exit status 0 when NT_GetArgv equals the command line, 1 when it
// differs, 2 when the second call returned another array.
int CheckArgvOfSelf() {
  int argc = -1;
  WEQ_UC** argv = NT_GetArgv(&argc);
  std::vector<std::u16string> want = CmdlineOfSelf();
  if (argv == nullptr || argc != static_cast<int>(want.size()) || argv[argc] != nullptr) return 1;
  for (int i = 0; i < argc; ++i) {
    if (std::u16string(argv[i]) != want[i]) {
      fprintf(stderr, "argument %d: %s, want %s\n", i, Show(argv[i]).c_str(),
              Show(want[i]).c_str());
      return 1;
    }
  }
  int again = 0;
  return NT_GetArgv(&again) == argv && again == argc ? 0 : 2;
}

// The child started by NtArgv.ChildWithNonAsciiArguments does its check
// before GoogleTest starts and ends there.
const bool kArgvChild = [] {
  if (getenv(kArgvChildEnv) != nullptr) _exit(CheckArgvOfSelf());
  return false;
}();

TEST(NtArgv, ChildWithNonAsciiArguments) {
  const std::vector<std::string> extra = {"\xc3\xa4rg \xc3\xbcm\xc3\xabnt", "\xe2\x82\xac", "",
                                          "\xf0\x9d\x84\x9e", "bad\xff" "byte", "a b\tc"};
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    std::vector<char*> argv;
    std::string self = "ntport_test";
    argv.push_back(self.data());
    for (const auto& e : extra) argv.push_back(const_cast<char*>(e.c_str()));
    argv.push_back(nullptr);
    setenv(kArgvChildEnv, "1", 1);
    execv("/proc/self/exe", argv.data());
    _exit(99);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(NtArgv, OwnCommandLineCachedAndBuiltAgainAfterFree) {
  auto r = tovtest::RunInChild([] {
    int rc = CheckArgvOfSelf();
    if (rc != 0) return rc;
    int n1 = 0;
    WEQ_UC** first = NT_GetArgv(&n1);
    std::u16string arg0 = first[0];
    NT_FreeArgv();
    int n2 = 0;
    WEQ_UC** second = NT_GetArgv(&n2);
    // The new vector holds the same arguments again.
    if (second == nullptr || n2 != n1 || arg0 != second[0]) return 3;
    NT_FreeArgv();
    NT_FreeArgv();  // freeing nothing does no harm
    return 0;
  });
  EXPECT_EQ(r.exit_code, 0) << r.err;
}

// --- Bounded copy, parent id, version -------------------------------------------

struct CopyCase {
  const char16_t* src;
  size_t count;
  size_t copied;
  bool terminated;
};

TEST(NtWcsncpyn, CopiesAtMostCountAndTerminatesOnlyAWholeSource) {
  const CopyCase cases[] = {
      {u"abc", 10, 4, true}, {u"abc", 4, 4, true},  {u"abc", 3, 3, false},
      {u"abc", 1, 1, false}, {u"abc", 0, 0, false}, {u"", 5, 1, true},
  };
  for (const CopyCase& c : cases) {
    WEQ_UC dst[12];
    for (WEQ_UC& u : dst) u = u'#';
    size_t n = NT_wcsncpyn(dst, c.src, c.count);
    EXPECT_EQ(n, c.copied) << Show(c.src) << " count " << c.count;
    std::u16string src = c.src;
    for (size_t i = 0; i < n && i < src.size(); ++i) EXPECT_EQ(dst[i], src[i]);
    EXPECT_EQ(n > 0 && dst[n - 1] == 0, c.terminated) << Show(c.src) << " count " << c.count;
    EXPECT_EQ(dst[n], u'#') << "wrote beyond the count";
  }
}

TEST(NtGetppid, ReadsThePpidVariable) {
  const std::vector<std::pair<const char*, long>> cases = {
      {nullptr, 0},
      {"4711", 4711},
      {"  815", 815},
      {"12abc", 12},
      {"abc", 0},
      {"", 0},
      // Only the first 19 characters count: the rest would overflow.
      {"1234567890123456789999", 1234567890123456789L},
  };
  for (const auto& [value, want] : cases) {
    auto r = tovtest::RunInChild([&] {
      if (value) setenv("PPID", value, 1);
      else unsetenv("PPID");
      return NT_getppid() == want ? 0 : 1;
    });
    EXPECT_EQ(r.exit_code, 0) << (value ? value : "(unset)");
  }
}

TEST(NtQos, StaysOffOnThisPlatform) {
  EXPECT_EQ(SiQosInit(), 0);
  EXPECT_EQ(SiQosInit(), 0);
  EXPECT_EQ(SiQosActive(), 0);
  EXPECT_EQ(NT_OsVersionCheck(), 0);
}

// --- Local host ----------------------------------------------------------------

// Numeric texts of every interface address, from getifaddrs.
std::set<std::string> InterfaceAddresses() {
  std::set<std::string> out;
  ifaddrs* ifs = nullptr;
  if (getifaddrs(&ifs) != 0) return out;
  for (ifaddrs* i = ifs; i; i = i->ifa_next) {
    if (!i->ifa_addr) continue;
    char text[INET6_ADDRSTRLEN] = {};
    if (i->ifa_addr->sa_family == AF_INET) {
      inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr, text, sizeof text);
    } else if (i->ifa_addr->sa_family == AF_INET6) {
      inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6*>(i->ifa_addr)->sin6_addr, text,
                sizeof text);
    } else {
      continue;
    }
    out.insert(text);
  }
  freeifaddrs(ifs);
  return out;
}

int IsLocal(const std::string& name) { return NT_IsLocalHost(FromUtf8(name).c_str()); }

TEST(NtIsLocalHost, EveryInterfaceAddressIsLocal) {
  std::set<std::string> addrs = InterfaceAddresses();
  ASSERT_FALSE(addrs.empty());
  for (const auto& a : addrs) EXPECT_EQ(IsLocal(a), 1) << a;
}

TEST(NtIsLocalHost, TestNetAddressesAndUnknownNamesAreNot) {
  for (const char* a : {"192.0.2.1", "198.51.100.7", "203.0.113.200", "2001:db8::1"})
    EXPECT_EQ(IsLocal(a), 0) << a;
  EXPECT_EQ(IsLocal(""), 0);
  EXPECT_EQ(NT_IsLocalHost(nullptr), 0);
  EXPECT_EQ(IsLocal(std::string(300, 'h')), 0);
}

TEST(NtIsLocalHost, OwnHostNameIsLocalWhenItNamesAnInterfaceAddress) {
  char host[256] = {};
  ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
  // The expectation from the resolver's numeric answers against the
  // interface list, compared as texts.
  std::set<std::string> local = InterfaceAddresses();
  addrinfo* list = nullptr;
  bool want = false;
  if (getaddrinfo(host, nullptr, nullptr, &list) == 0) {
    for (addrinfo* ai = list; ai; ai = ai->ai_next) {
      char text[NI_MAXHOST];
      if (getnameinfo(ai->ai_addr, ai->ai_addrlen, text, sizeof text, nullptr, 0,
                      NI_NUMERICHOST) == 0) {
        std::string t = text;
        want = want || local.count(t.substr(0, t.find('%'))) > 0;
      }
    }
    freeaddrinfo(list);
  }
  EXPECT_EQ(IsLocal(host), want ? 1 : 0) << host;
}

std::vector<std::string> g_resolved;

int RecordingResolver(const char* name, NtIAddr* out, int max) {
  g_resolved.push_back(name);
  return NtIResolveSystem(name, out, max);
}

TEST(NtIsLocalHost, LiteralsSkipTheResolverOtherSpellingsDoNot) {
  NtISetResolver(RecordingResolver);
  g_resolved.clear();
  EXPECT_EQ(IsLocal("localhost"), 1);
  EXPECT_EQ(IsLocal("127.0.0.1"), 1);
  EXPECT_TRUE(g_resolved.empty());
  IsLocal("LOCALHOST");
  IsLocal("127.0.0.2");
  EXPECT_EQ(g_resolved, (std::vector<std::string>{"LOCALHOST", "127.0.0.2"}));
  // "127.0.0.2" is a loopback address that no interface carries.
  g_resolved.clear();
  EXPECT_EQ(IsLocal(std::string(256, 'h')), 0);
  EXPECT_TRUE(g_resolved.empty()) << "a name beyond 255 bytes is never resolved";
  NtISetResolver(nullptr);
}

// "::1" is taken literally only with NI_USEIPv6; without it the address
// test decides, which finds it exactly when the loopback interface has it.
TEST(NtIsLocalHost, Ipv6LoopbackLiteralOnlyWithNiUseIpv6) {
  const bool loHasIt = InterfaceAddresses().count("::1") > 0;
  for (bool set : {false, true}) {
    auto r = tovtest::RunInChild([&] {
      if (set) setenv("NI_USEIPv6", "", 1);
      else unsetenv("NI_USEIPv6");
      NtIReset();
      NtISetResolver(RecordingResolver);
      int local = IsLocal("::1");
      if (local != (set || loHasIt ? 1 : 0)) return 1;
      // Looked at once: a later change of the environment does not count.
      if (set) unsetenv("NI_USEIPv6");
      else setenv("NI_USEIPv6", "1", 1);
      g_resolved.clear();
      if (IsLocal("::1") != local) return 2;
      return g_resolved.empty() == set ? 0 : 3;
    });
    EXPECT_EQ(r.exit_code, 0) << "NI_USEIPv6 " << (set ? "set" : "unset");
  }
}

// --- Share paths ------------------------------------------------------------------

std::map<std::u16string, std::u16string> g_shares;
int g_shareCalls = 0;

int TableShares(const WEQ_UC* share, WEQ_UC* dir, size_t size) {
  ++g_shareCalls;
  auto it = g_shares.find(share);
  if (it == g_shares.end()) return PLAT_SHARE_NOT_FOUND;
  if (it->second.size() >= size) return 2123;
  memcpy(dir, it->second.c_str(), (it->second.size() + 1) * sizeof(WEQ_UC));
  return 0;
}

int FailResolver(const char*, NtIAddr*, int) { return -1; }

class NtUncToLocal : public testing::Test {
 protected:
  void SetUp() override {
    PlatShareSetProvider(TableShares);
    NtIReset();
    NtISetResolver(FailResolver);
    // The mapped text must be shorter than the path, so the directories
    // are shorter than "\\\\.\\<share>".
    g_shares = {{u"data", u"/d"},   {u"slash", u"/s/"}, {u"back", u"C:\\w\\"},
                {u"empty", u""},    {u"k", u"/abc"},   {u"m", u"/abcd"},
                {u"x", u"/very/long/directory"}};
    g_shareCalls = 0;
  }
  void TearDown() override {
    PlatShareSetProvider(PlatShareSystemLookup);
    NtISetResolver(nullptr);
    NtIReset();
  }

  // Maps path in a heap buffer of exactly its size, so that a write beyond
  // it is caught under AddressSanitizer.
  static std::u16string Map(const std::u16string& path) {
    std::vector<WEQ_UC> buf(path.begin(), path.end());
    buf.push_back(0);
    NT_UncToLocal(buf.data());
    return std::u16string(buf.data());
  }
};

TEST_F(NtUncToLocal, MapsSharesOfThisMachine) {
  char host[256] = {};
  ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
  std::string upper = host;
  for (char& c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  const std::vector<std::pair<std::u16string, std::u16string>> cases = {
      {u"\\\\.\\data\\sub\\file", u"/d\\sub\\file"},
      {u"\\\\.\\slash\\sub", u"/s\\sub"},  // the separator is not doubled
      {u"\\\\.\\back\\sub", u"C:\\w\\sub"},
      {u"\\\\.\\empty\\sub\\x", u"\\sub\\x"},  // an empty directory leaves the rest
      {u"\\\\.\\data\\", u"/d\\"},
      {u"\\\\localhost\\data\\a", u"/d\\a"},
      {u"\\\\127.0.0.1\\data\\a", u"/d\\a"},
      {u"\\\\" + FromUtf8(upper) + u"\\data\\a", u"/d\\a"},  // own name, any case
      // The mapped text must be shorter than the path of 7 units: 4 + 2
      // fits, 5 + 2 does not.
      {u"\\\\.\\k\\r", u"/abc\\r"},
      {u"\\\\.\\m\\r", u"\\\\.\\m\\r"},
      {u"\\\\.\\x\\a", u"\\\\.\\x\\a"},
  };
  for (const auto& [path, want] : cases) EXPECT_EQ(Map(path), want) << Show(path);
}

TEST_F(NtUncToLocal, LeavesEverythingElseUnchanged) {
  const std::vector<std::u16string> cases = {
      u"\\\\.\\unknown\\sub",      // no such share
      u"\\\\otherhost\\data\\sub",  // another machine
      u"\\\\.\\data",              // no backslash behind the share
      u"\\\\.",                    // no share
      u"\\.\\data\\sub",           // one backslash only
      u"/srv/data/sub",
      u"",
      u"\\\\" + std::u16string(300, u'h') + u"\\data\\sub",  // a host name beyond any bound
  };
  for (const auto& path : cases) EXPECT_EQ(Map(path), path) << Show(path);
  NT_UncToLocal(nullptr);
}

TEST_F(NtUncToLocal, WithoutAShareServiceTheFallbackAnswersAndNothingMaps) {
  PlatShareSetProvider(nullptr);
  NtIReset();
  WEQ_UC dir[64];
  EXPECT_EQ(NT_ShareGetPath(u"data", dir, 64), PLAT_SHARE_NOT_FOUND);
  // Bound to the fallback once: a provider installed later is not seen
  // until the bindings are forgotten.
  PlatShareSetProvider(TableShares);
  EXPECT_EQ(Map(u"\\\\.\\data\\sub\\file"), u"\\\\.\\data\\sub\\file");
  EXPECT_EQ(g_shareCalls, 0);
  NtIReset();
  EXPECT_EQ(Map(u"\\\\.\\data\\sub\\file"), u"/d\\sub\\file");
  EXPECT_EQ(g_shareCalls, 1);
}

TEST(NtShareGetPath, SystemProviderKnowsNoShares) {
  NtIReset();
  WEQ_UC dir[64] = {};
  EXPECT_EQ(NT_ShareGetPath(u"weqloc", dir, 64), PLAT_SHARE_NOT_FOUND);
  std::u16string path = u"\\\\.\\weqloc\\x";
  std::vector<WEQ_UC> buf(path.begin(), path.end());
  buf.push_back(0);
  NT_UncToLocal(buf.data());
  EXPECT_EQ(std::u16string(buf.data()), path);
}

// --- Physical memory ------------------------------------------------------------

uint64_t MemTotalBytes() {
  std::ifstream in("/proc/meminfo");
  std::string key, unit;
  uint64_t kb = 0;
  while (in >> key >> kb >> unit) {
    if (key == "MemTotal:") return kb * 1024;
  }
  return 0;
}

int g_fakeCalls = 0;
bool FakeMemory(uint64_t* bytes) {
  ++g_fakeCalls;
  *bytes = uint64_t{12345} << 20;
  return true;
}

TEST(NtPhysMemTotal, EqualsMemTotalOfProcMeminfo) {
  NtIReset();
  uint64_t bytes = 0;
  ASSERT_TRUE(NT_PhysMemTotal(&bytes));
  EXPECT_EQ(bytes, MemTotalBytes());
}

TEST(NtPhysMemTotal, BindsOnceToTheProviderOrTheFallback) {
  PlatPhysMemSetProvider(FakeMemory);
  NtIReset();
  g_fakeCalls = 0;
  uint64_t bytes = 0;
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(NT_PhysMemTotal(&bytes));
    EXPECT_EQ(bytes, uint64_t{12345} << 20);
  }
  EXPECT_EQ(g_fakeCalls, 3);
  // Bound: a change of provider is not seen.
  PlatPhysMemSetProvider(nullptr);
  EXPECT_TRUE(NT_PhysMemTotal(&bytes));
  // Unbound with no provider: the fallback, for good.
  NtIReset();
  EXPECT_FALSE(NT_PhysMemTotal(&bytes));
  PlatPhysMemSetProvider(FakeMemory);
  EXPECT_FALSE(NT_PhysMemTotal(&bytes));
  PlatPhysMemSetProvider(PlatPhysMemSystem);
  NtIReset();
}

}  // namespace
