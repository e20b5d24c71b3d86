// The portability services: the argument vector against /proc/self/cmdline
// of a child started with non-ASCII arguments, the bounded copy, the parent
// process id, the local-host test against the interface list and the host
// name, share paths over an injected share table, and the bound entries.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <map>
#include <set>
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

// In a child started with other arguments (below): NT_GetArgv against the
// command line as the kernel keeps it, split and decoded by the test's own
// UTF-8 reader; the vector is cached, and built again after NT_FreeArgv.
int CheckArgvOfSelf() {
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  const std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::u16string> want;
  for (size_t at = 0; at < all.size(); at = all.find('\0', at) + 1) want.push_back(FromUtf8(all.c_str() + at));
  int argc = -1, again = -1;
  WEQ_UC** argv = NT_GetArgv(&argc);
  if (argv == nullptr || argc != static_cast<int>(want.size()) || argv[argc] != nullptr) return 1;
  for (int i = 0; i < argc; ++i) {
    if (argv[i] != want[i]) {
      fprintf(stderr, "argument %d: %s, want %s\n", i, Show(argv[i]).c_str(), Show(want[i]).c_str());
      return 2;
    }
  }
  if (NT_GetArgv(&again) != argv || again != argc) return 3;
  NT_FreeArgv();
  argv = NT_GetArgv(&again);
  NT_FreeArgv();
  NT_FreeArgv();  // freeing nothing does no harm
  return argv != nullptr && again == argc ? 0 : 4;
}

// That child does its check before GoogleTest starts, and ends there.
const bool kArgvChild = [] {
  if (getenv("TOV_NTPORT_ARGV_CHILD") != nullptr) _exit(CheckArgvOfSelf());
  return false;
}();

TEST(NtArgv, ChildWithNonAsciiArguments) {
  tovtest::ChildResult r = tovtest::RunInChild([] {
    // Invalid UTF-8 carries U+FFFD, also a sequence cut short at the end.
    std::string args[] = {"ntport_test", "\xc3\xa4rg \xc3\xbcm\xc3\xabnt", "\xe2\x82\xac", "", "\xf0\x9d\x84\x9e",
                          "bad\xff" "byte", "a b\tc", "cut\xe2"};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    setenv("TOV_NTPORT_ARGV_CHILD", "1", 1);
    execv("/proc/self/exe", argv.data());
    return 99;
  });
  EXPECT_EQ(r.exit_code, 0) << r.err;
}

TEST(NtWcsncpyn, CopiesAtMostCountAndTerminatesOnlyAWholeSource) {
  const struct {
    const char16_t* src;
    size_t count, copied;
  } cases[] = {{u"abc", 10, 4}, {u"abc", 4, 4}, {u"abc", 3, 3}, {u"abc", 1, 1}, {u"abc", 0, 0}, {u"", 5, 1}};
  for (const auto& c : cases) {
    std::u16string dst(12, u'#');
    EXPECT_EQ(NT_wcsncpyn(dst.data(), c.src, c.count), c.copied) << Show(c.src) << " " << c.count;
    // The source with its terminator, cut at the count, and nothing beyond.
    EXPECT_EQ(dst, std::u16string(c.src, std::char_traits<char16_t>::length(c.src) + 1).substr(0, c.copied) +
                       std::u16string(12 - c.copied, u'#'));
  }
}

TEST(NtGetppid, ReadsThePpidVariable) {
  const std::pair<const char*, long> cases[] = {
      {nullptr, 0}, {"4711", 4711}, {"  815", 815}, {"12abc", 12}, {"abc", 0}, {"", 0},
      {"1234567890123456789999", 1234567890123456789L},  // only 19 characters count
  };
  for (const auto& [value, want] : cases) {
    value ? setenv("PPID", value, 1) : unsetenv("PPID");
    EXPECT_EQ(NT_getppid(), want) << (value ? value : "(unset)");
  }
}

// --- Local host ----------------------------------------------------------------

// Numeric texts of the addresses of sa, or of every interface address.
std::string Numeric(const sockaddr* sa) {
  char text[NI_MAXHOST] = "";
  socklen_t len = sa->sa_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
  getnameinfo(sa, len, text, sizeof text, nullptr, 0, NI_NUMERICHOST);
  return std::string(text).substr(0, std::string(text).find('%'));  // without the scope
}
std::set<std::string> InterfaceAddresses() {
  std::set<std::string> out;
  ifaddrs* ifs = nullptr;
  if (getifaddrs(&ifs) != 0) return out;
  for (ifaddrs* i = ifs; i; i = i->ifa_next) {
    if (i->ifa_addr && (i->ifa_addr->sa_family == AF_INET || i->ifa_addr->sa_family == AF_INET6)) {
      out.insert(Numeric(i->ifa_addr));
    }
  }
  freeifaddrs(ifs);
  return out;
}

int IsLocal(const std::string& name) { return NT_IsLocalHost(FromUtf8(name).c_str()); }

std::vector<std::string> g_resolved;
int RecordingResolver(const char* name, NtIAddr* out, int max) {
  g_resolved.push_back(name);
  return NtIResolveSystem(name, out, max);
}

// Every interface address is local; TEST-NET addresses, an empty name and
// names beyond 255 bytes are not; the own host name is local
// exactly when the resolver gives it an interface address.
TEST(NtIsLocalHost, InterfaceAddressesAndTheHostName) {
  const std::set<std::string> local = InterfaceAddresses();
  ASSERT_FALSE(local.empty());
  for (const std::string& a : local) EXPECT_EQ(IsLocal(a), 1) << a;
  for (const char* a : {"192.0.2.1", "198.51.100.7", "203.0.113.200", "2001:db8::1", ""}) {
    EXPECT_EQ(IsLocal(a), 0) << a;
  }
  EXPECT_EQ(NT_IsLocalHost(nullptr), 0);
  char host[256] = {};
  ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
  addrinfo* list = nullptr;
  bool want = false;
  if (getaddrinfo(host, nullptr, nullptr, &list) == 0) {
    for (addrinfo* ai = list; ai; ai = ai->ai_next) want = want || local.count(Numeric(ai->ai_addr)) > 0;
    freeaddrinfo(list);
  }
  EXPECT_EQ(IsLocal(host), want ? 1 : 0) << host;
  // "localhost" and "127.0.0.1" are local without the resolver; other spellings
  // are resolved ("127.0.0.2" is a loopback address that no interface has).
  NtISetResolver(RecordingResolver);
  EXPECT_EQ((std::vector<int>{IsLocal("localhost"), IsLocal("127.0.0.1"), IsLocal(std::string(256, 'h'))}),
            (std::vector<int>{1, 1, 0}));
  EXPECT_TRUE(g_resolved.empty());
  IsLocal("LOCALHOST");
  IsLocal("127.0.0.2");
  NtISetResolver(nullptr);
  EXPECT_EQ(g_resolved, (std::vector<std::string>{"LOCALHOST", "127.0.0.2"}));
}

// "::1" is taken literally only with NI_USEIPv6 (looked at once); without it
// the address test decides, which finds it exactly when the loopback
// interface has it.
TEST(NtIsLocalHost, Ipv6LoopbackLiteralOnlyWithNiUseIpv6) {
  const int local = InterfaceAddresses().count("::1") > 0 ? 1 : 0;
  NtISetResolver(RecordingResolver);
  for (bool set : {false, true}) {
    set ? setenv("NI_USEIPv6", "", 1) : unsetenv("NI_USEIPv6");
    NtIReset();
    g_resolved.clear();
    EXPECT_EQ(IsLocal("::1"), set ? 1 : local) << set;
    set ? unsetenv("NI_USEIPv6") : setenv("NI_USEIPv6", "1", 1);  // looked at once: no effect
    EXPECT_EQ(IsLocal("::1"), set ? 1 : local) << set;
    EXPECT_EQ(g_resolved.empty(), set) << set;  // taken literally, never resolved
  }
  NtISetResolver(nullptr);
}

// --- Share paths and the bound entries ----------------------------------------

std::map<std::u16string, std::u16string> g_shares = {
    {u"data", u"/d"}, {u"slash", u"/s/"}, {u"back", u"C:\\w\\"}, {u"empty", u""},
    {u"k", u"/abc"}, {u"m", u"/abcd"}, {u"x", u"/very/long/directory"}};
int g_shareCalls = 0;
int TableShares(const WEQ_UC* share, WEQ_UC* dir, size_t size) {
  ++g_shareCalls;
  auto it = g_shares.find(share);
  if (it == g_shares.end()) return PLAT_SHARE_NOT_FOUND;
  if (it->second.size() >= size) return 2123;
  memcpy(dir, it->second.c_str(), (it->second.size() + 1) * sizeof(WEQ_UC));
  return 0;
}

// Maps path in a heap buffer of exactly its size, so that AddressSanitizer
// catches a write beyond it.
std::u16string Map(const std::u16string& path) {
  std::vector<WEQ_UC> buf(path.begin(), path.end());
  buf.push_back(0);
  NT_UncToLocal(buf.data());
  return buf.data();
}

TEST(NtUncToLocal, MapsSharesOfThisMachineOnly) {
  PlatShareSetProvider(TableShares);
  NtIReset();
  NtISetResolver([](const char*, NtIAddr*, int) { return -1; });
  char host[256] = {};
  ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
  std::string upper = host;
  for (char& c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  const std::pair<std::u16string, std::u16string> cases[] = {
      {u"\\\\.\\data\\sub\\file", u"/d\\sub\\file"}, {u"\\\\.\\data\\", u"/d\\"},
      {u"\\\\.\\slash\\sub", u"/s\\sub"},  // the separator is not doubled
      {u"\\\\.\\back\\sub", u"C:\\w\\sub"},
      {u"\\\\.\\empty\\sub\\x", u"\\sub\\x"},  // an empty directory leaves the rest
      {u"\\\\localhost\\data\\a", u"/d\\a"}, {u"\\\\127.0.0.1\\data\\a", u"/d\\a"},
      {u"\\\\" + FromUtf8(upper) + u"\\data\\a", u"/d\\a"},  // own name, any case
      {u"\\\\.\\k\\r", u"/abc\\r"},  // 6 units in place of 7
  };
  for (const auto& [path, want] : cases) EXPECT_EQ(Map(path), want) << Show(path);
  // Left alone: a mapped text not shorter than the path, no such share, another
  // machine, no backslash behind the share, no share, one backslash only, no
  // share path at all, a host name beyond any bound.
  const std::u16string kept[] = {u"\\\\.\\m\\r", u"\\\\.\\x\\a", u"\\\\.\\unknown\\sub", u"\\\\otherhost\\data\\sub",
                                 u"\\\\.\\data", u"\\\\.", u"\\.\\data\\sub", u"/srv/data/sub", u"",
                                 u"\\\\" + std::u16string(300, u'h') + u"\\data\\sub"};
  for (const std::u16string& path : kept) EXPECT_EQ(Map(path), path) << Show(path);
  NT_UncToLocal(nullptr);
  // Without a provider the fallback answers, for good: a provider installed
  // later is not seen until the bindings are forgotten.
  PlatShareSetProvider(nullptr);
  NtIReset();
  WEQ_UC dir[64];
  EXPECT_EQ(NT_ShareGetPath(u"data", dir, 64), PLAT_SHARE_NOT_FOUND);
  PlatShareSetProvider(TableShares);
  g_shareCalls = 0;
  EXPECT_EQ(Map(u"\\\\.\\data\\sub"), u"\\\\.\\data\\sub");
  EXPECT_EQ(g_shareCalls, 0);
  NtIReset();
  EXPECT_EQ(Map(u"\\\\.\\data\\sub"), u"/d\\sub");
  // The system's provider knows no shares.
  PlatShareSetProvider(PlatShareSystemLookup);
  NtIReset();
  EXPECT_EQ(Map(u"\\\\.\\data\\sub"), u"\\\\.\\data\\sub");
  NtISetResolver(nullptr);
}

// The system's provider reads MemTotal of /proc/meminfo; without a provider
// the entry answers false, also once one is installed later.
TEST(NtPhysMemTotal, MemTotalOfProcMeminfoOrTheFallback) {
  std::ifstream in("/proc/meminfo");
  std::string key, unit;
  uint64_t kb = 0, bytes = 0;
  while (in >> key >> kb >> unit && key != "MemTotal:") {
  }
  NtIReset();
  EXPECT_TRUE(NT_PhysMemTotal(&bytes));
  EXPECT_EQ(bytes, kb * 1024);
  PlatPhysMemSetProvider(nullptr);
  NtIReset();
  EXPECT_FALSE(NT_PhysMemTotal(&bytes));
  PlatPhysMemSetProvider(PlatPhysMemSystem);
  EXPECT_FALSE(NT_PhysMemTotal(&bytes));
  NtIReset();
}

}  // namespace
