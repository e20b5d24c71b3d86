// The portability services: the argument vector against /proc/self/cmdline
// of a child started with non-ASCII arguments, the bounded copy, the parent
// process id, the local-host test against the interface list and the host
// name, share paths over an injected share table, and the bound entries.
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
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
  std::vector<std::u16string> want;
  for (std::string arg; std::getline(in, arg, '\0');) want.push_back(FromUtf8(arg));
  int argc = -1, again = -1;
  WEQ_UC** argv = NT_GetArgv(&argc);
  if (argv == nullptr || argc != static_cast<int>(want.size()) || argv[argc] != nullptr) return 1;
  if (!std::equal(want.begin(), want.end(), argv)) return 2;
  if (NT_GetArgv(&again) != argv || again != argc) return 3;
  NT_FreeArgv();
  argv = NT_GetArgv(&again);
  NT_FreeArgv();
  return argv != nullptr && again == argc ? 0 : 4;
}

// That child does its check before GoogleTest starts, and ends there.
const bool kArgvChild = getenv("TOV_NTPORT_ARGV_CHILD") != nullptr && (_exit(CheckArgvOfSelf()), true);

// Invalid UTF-8 carries U+FFFD, also a sequence cut short at the end.
TEST(NtArgv, ChildWithNonAsciiArguments) {
  tovtest::ChildResult r = tovtest::RunInChild([] {
    std::string args[] = {"ntport_test", "\xc3\xa4rg \xc3\xbc", "\xf0\x9d\x84\x9e", "", "bad\xff", "cut\xe2"};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    setenv("TOV_NTPORT_ARGV_CHILD", "1", 1);
    execv("/proc/self/exe", argv.data());
    return 99;
  });
  EXPECT_EQ(r.exit_code, 0) << r.err;
}

// The source with its terminator, cut at the count, and nothing beyond.
TEST(NtWcsncpyn, CopiesAtMostCountAndTerminatesOnlyAWholeSource) {
  const struct {
    const char16_t* src;
    size_t count, copied;
  } cases[] = {{u"abc", 10, 4}, {u"abc", 4, 4}, {u"abc", 3, 3}, {u"abc", 0, 0}, {u"", 5, 1}};
  for (const auto& [src, count, copied] : cases) {
    std::u16string dst(12, u'#');
    EXPECT_EQ(NT_wcsncpyn(dst.data(), src, count), copied) << Show(src) << " " << count;
    EXPECT_EQ(dst, std::u16string(src, copied) + std::u16string(12 - copied, u'#'));
  }
}

TEST(NtGetppid, ReadsThePpidVariable) {
  const std::pair<const char*, long> cases[] = {
      {nullptr, 0}, {"  815", 815}, {"12abc", 12}, {"abc", 0},
      {"1234567890123456789999", 1234567890123456789L},  // only 19 characters count
  };
  for (const auto& [value, want] : cases) {
    value ? setenv("PPID", value, 1) : unsetenv("PPID");
    EXPECT_EQ(NT_getppid(), want) << (value ? value : "(unset)");
  }
}

// --- Local host ----------------------------------------------------------------

std::string Numeric(const sockaddr* sa) {
  char text[NI_MAXHOST] = "";
  getnameinfo(sa, sa->sa_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6), text, sizeof text,
              nullptr, 0, NI_NUMERICHOST);
  return text;
}

std::vector<std::string> g_resolved;
int RecordingResolver(const char* name, NtIAddr* out, int max) {
  g_resolved.push_back(name);
  return NtIResolveSystem(name, out, max);
}

// Every interface address is local, and the own host name exactly when it
// resolves to one; TEST-NET addresses, an empty name and names beyond 255
// bytes are not. "localhost" and "127.0.0.1" are local without the
// resolver, "::1" too once NI_USEIPv6 exists (looked at once per process);
// other spellings are resolved.
TEST(NtIsLocalHost, InterfaceAddressesAndTheHostName) {
  std::set<std::string> local;
  ifaddrs* ifs = nullptr;
  ASSERT_EQ(getifaddrs(&ifs), 0);
  for (ifaddrs* i = ifs; i; i = i->ifa_next) {
    if (i->ifa_addr && (i->ifa_addr->sa_family == AF_INET || i->ifa_addr->sa_family == AF_INET6)) {
      local.insert(Numeric(i->ifa_addr));
    }
  }
  freeifaddrs(ifs);
  auto isLocal = [](const std::string& name) { return NT_IsLocalHost(FromUtf8(name).c_str()); };
  for (const std::string& a : local) EXPECT_EQ(isLocal(a), 1) << a;
  char host[256] = {};
  ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
  addrinfo* list = nullptr;
  int own = 0;
  if (getaddrinfo(host, nullptr, nullptr, &list) == 0) {
    for (addrinfo* ai = list; ai; ai = ai->ai_next) own |= local.count(Numeric(ai->ai_addr)) > 0;
    freeaddrinfo(list);
  }
  unsetenv("NI_USEIPv6");
  NtIReset();
  NtISetResolver(RecordingResolver);
  const std::string names[] = {host,        "192.0.2.1", "2001:db8::1", "", "localhost",
                               "127.0.0.1", "127.1",     "::1",         std::string(256, 'h')};
  std::vector<int> got;
  for (const std::string& name : names) got.push_back(isLocal(name));
  setenv("NI_USEIPv6", "", 1);
  got.push_back(isLocal("::1"));
  NtIReset();
  got.push_back(isLocal("::1"));
  NtISetResolver(nullptr);
  unsetenv("NI_USEIPv6");
  const int v6 = local.count("::1") > 0 ? 1 : 0;
  EXPECT_EQ(got, (std::vector<int>{own, 0, 0, 0, 1, 1, 1, v6, 0, v6, 1}));
  EXPECT_EQ(g_resolved, (std::vector<std::string>{host, "192.0.2.1", "2001:db8::1", "127.1", "::1", "::1"}));
}

// --- Share paths and the bound entries ----------------------------------------

int TableShares(const WEQ_UC* share, WEQ_UC* dir, size_t) {
  static const std::map<std::u16string, std::u16string> shares = {
      {u"data", u"/d"}, {u"slash", u"/s/"}, {u"back", u"C:\\w\\"}, {u"empty", u""}, {u"k", u"/abc"},
      {u"m", u"/abcd"}};
  auto it = shares.find(share);
  if (it == shares.end()) return PLAT_SHARE_NOT_FOUND;
  memcpy(dir, it->second.c_str(), (it->second.size() + 1) * sizeof(WEQ_UC));
  return 0;
}

// Mapped: "." or this machine by name (any case) or address; the separator
// is not doubled; an empty directory leaves the rest; 6 units in place of 7.
// Left alone (no expectation): a mapped text not shorter than the path, no
// such share, another machine, no backslash behind the share, no share
// path at all, a host name beyond any bound. Each path lies in a heap buffer
// of exactly its size, so that AddressSanitizer catches a write beyond it.
TEST(NtUncToLocal, MapsSharesOfThisMachineOnly) {
  PlatShareSetProvider(TableShares);
  NtIReset();
  NtISetResolver([](const char*, NtIAddr*, int) { return -1; });
  char host[256] = {};
  ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
  for (char& c : host) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  const std::pair<std::u16string, std::u16string> cases[] = {
      {u"\\\\.\\data\\sub\\f", u"/d\\sub\\f"}, {u"\\\\.\\slash\\sub", u"/s\\sub"},
      {u"\\\\.\\back\\s", u"C:\\w\\s"},        {u"\\\\.\\empty\\sub", u"\\sub"},
      {u"\\\\127.0.0.1\\data\\a", u"/d\\a"},   {u"\\\\" + FromUtf8(host) + u"\\data\\a", u"/d\\a"},
      {u"\\\\.\\k\\r", u"/abc\\r"},            {u"\\\\.\\m\\r", u""},
      {u"\\\\.\\unknown\\sub", u""},           {u"\\\\otherhost\\data\\sub", u""},
      {u"\\\\.\\data", u""},                   {u"/srv/data/sub", u""},
      {u"\\\\" + std::u16string(300, u'h') + u"\\data\\s", u""},
  };
  for (const auto& [path, want] : cases) {
    std::vector<WEQ_UC> buf(path.begin(), path.end());
    buf.push_back(0);
    NT_UncToLocal(buf.data());
    EXPECT_EQ(buf.data(), want.empty() ? path : want) << Show(path);
  }
  NT_UncToLocal(nullptr);
  PlatShareSetProvider(PlatShareSystemLookup);  // knows no shares
  NtIReset();
  WEQ_UC dir[64];
  EXPECT_EQ(NT_ShareGetPath(u"data", dir, 64), PLAT_SHARE_NOT_FOUND);
  NtISetResolver(nullptr);
}

// The system's provider reads MemTotal of /proc/meminfo; without a provider
// the entry answers false, for good until the bindings are forgotten.
TEST(NtPhysMemTotal, MemTotalOfProcMeminfoOrTheFallback) {
  std::ifstream in("/proc/meminfo");
  std::string key;
  uint64_t kb = 0, bytes = 0;
  ASSERT_TRUE(in >> key >> kb && key == "MemTotal:");
  NtIReset();
  EXPECT_TRUE(NT_PhysMemTotal(&bytes) && bytes == kb * 1024) << bytes;
  PlatPhysMemSetProvider(nullptr);
  NtIReset();
  const bool without = NT_PhysMemTotal(&bytes);
  PlatPhysMemSetProvider(PlatPhysMemSystem);
  EXPECT_FALSE(without || NT_PhysMemTotal(&bytes));
  NtIReset();
}

}  // namespace
