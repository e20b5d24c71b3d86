// Name resolution against the system's own tools: in a network, mount and
// host-name namespace that the test makes, with its own hosts, services and
// name-service files (files only, never DNS), the resolver functions, the
// caches and the local host table are compared with what getent, hostname
// and getifaddrs report there. getaddrinfo and freeaddrinfo are wrapped at
// link time (tests.cmake), so that a case can hand out an answer that no
// name service gives.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <sched.h>
#include <stdio.h>
#include <sys/mount.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "krn/dptrc/err.h"
#include "krn/ni/nihs_int.h"
#include "peers/netns.h"
#include "support/testsupport.h"

using tovtest::FromUtf8;
using tovtest::ToUtf8;

// While set, a look-up answers an IPv4 entry followed by an AF_UNIX one,
// made here and freed by the wrapped freeaddrinfo; every other call goes to
// the C library.
namespace {
std::atomic<bool> g_unixAnswer{false};
addrinfo* g_madeList = nullptr;
}  // namespace

extern "C" {
int __real_getaddrinfo(const char* node, const char* service, const addrinfo* hints, addrinfo** res);
void __real_freeaddrinfo(addrinfo* list);

int __wrap_getaddrinfo(const char* node, const char* service, const addrinfo* hints, addrinfo** res) {
  if (!g_unixAnswer.load()) return __real_getaddrinfo(node, service, hints, res);
  auto* v4 = static_cast<addrinfo*>(calloc(1, sizeof(addrinfo)));
  auto* un = static_cast<addrinfo*>(calloc(1, sizeof(addrinfo)));
  auto* in = static_cast<sockaddr_in*>(calloc(1, sizeof(sockaddr_in)));
  auto* path = static_cast<sockaddr_un*>(calloc(1, sizeof(sockaddr_un)));
  in->sin_family = AF_INET;
  in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  *v4 = addrinfo{0, AF_INET, SOCK_STREAM, 0, sizeof(sockaddr_in), reinterpret_cast<sockaddr*>(in), nullptr, un};
  path->sun_family = AF_UNIX;
  *un = addrinfo{0, AF_UNIX, SOCK_STREAM, 0, sizeof(sockaddr_un), reinterpret_cast<sockaddr*>(path), nullptr,
                 nullptr};
  *res = g_madeList = v4;
  return 0;
}

void __wrap_freeaddrinfo(addrinfo* list) {
  if (list == nullptr || list != g_madeList) return __real_freeaddrinfo(list);
  g_madeList = nullptr;
  while (list != nullptr) {
    addrinfo* next = list->ai_next;
    free(list->ai_addr);
    free(list);
    list = next;
  }
}
}

namespace {

const char kHosts[] =
    "127.0.0.1 localhost\n"
    "::1 localhost ip6-localhost\n"
    "10.200.0.1 alpha.test alpha\n"
    "10.200.0.2 multi.test multi\n"
    "10.200.0.3 multi.test\n"
    "10.200.0.4 multi.test\n"
    "fd00::7 six.test six\n"
    // 30 two-byte characters: more bytes than a host name has units.
    "10.200.0.9 \xc3\xa4\xc3\xa4\xc3\xa4\xc3\xa4\xc3\xa4\xc3\xa4\xc3\xa4\xc3\xa4\xc3\xa4\xc3\xa4"
    "\xc3\xa4\xc3\xa4\xc3\xa4\xc3\xa4\xc3\xa4\xc3\xa4\xc3\xa4\xc3\xa4\xc3\xa4\xc3\xa4"
    "\xc3\xa4\xc3\xa4\xc3\xa4\xc3\xa4\xc3\xa4\xc3\xa4\xc3\xa4\xc3\xa4\xc3\xa4\xc3\xa4.test\n";
const char kServices[] = "tovtest 4711/tcp\nsapgw00 3300/tcp\n";
const char kNsswitch[] = "hosts: files\nservices: files\n";
const char kHostName[] = "tovhost.test";

// Failures found inside the child, written to its standard error.
struct Checks {
  int failed = 0;
  void operator()(bool ok, const std::string& what) {
    if (!ok) {
      ++failed;
      fprintf(stderr, "CHECK FAILED: %s\n", what.c_str());
    }
  }
};

std::string Shell(const std::string& cmd, int* status = nullptr) {
  std::string out;
  FILE* p = popen(cmd.c_str(), "r");
  if (p == nullptr) return out;
  char buf[512];
  while (fgets(buf, sizeof buf, p) != nullptr) out += buf;
  int st = pclose(p);
  if (status != nullptr) *status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return out;
}

std::string Text(const NI_NODEADDR& a) {
  char buf[INET6_ADDRSTRLEN];
  if (NiIIsMapped(a)) return inet_ntop(AF_INET, a.addr + 12, buf, sizeof buf);
  return inet_ntop(AF_INET6, a.addr, buf, sizeof buf);
}

// The STREAM lines of "getent ahosts": addresses in order and the
// canonical name of the first.
std::vector<std::string> Getent(const std::string& db, const std::string& name, std::string* canon) {
  std::vector<std::string> addrs;
  std::istringstream in(Shell("getent " + db + " " + name));
  for (std::string line; std::getline(in, line);) {
    std::istringstream f(line);
    std::string addr, type, cn;
    f >> addr >> type >> cn;
    if (type != "STREAM") continue;
    if (addrs.empty() && canon != nullptr) *canon = cn;
    addrs.push_back(addr);
  }
  return addrs;
}

// getaddrinfo for IPv4 stream addresses, as the reference for the IPv4 query.
std::vector<std::string> LibcV4(const std::string& name, std::string* canon) {
  std::vector<std::string> addrs;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_CANONNAME;
  addrinfo* list = nullptr;
  if (getaddrinfo(name.c_str(), nullptr, &hints, &list) != 0) return addrs;
  *canon = list->ai_canonname ? list->ai_canonname : "";
  char buf[INET_ADDRSTRLEN];
  for (addrinfo* ai = list; ai; ai = ai->ai_next) {
    addrs.push_back(
        inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(ai->ai_addr)->sin_addr, buf, sizeof buf));
  }
  freeaddrinfo(list);
  return addrs;
}

// Runs fn in a child with its own network, mount and host-name namespaces
// and the files above in place of the system's.
tovtest::ChildResult InOwnNamespaces(const std::function<int()>& fn) {
  tovtest::TempDir dir;
  tovtest::WriteFile(dir.File("hosts"), kHosts);
  tovtest::WriteFile(dir.File("services"), kServices);
  tovtest::WriteFile(dir.File("nsswitch.conf"), kNsswitch);
  return peers::RunInNetns([&] {
    if (unshare(CLONE_NEWNS | CLONE_NEWUTS) != 0) return 91;
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return 92;
    for (const char* f : {"hosts", "services", "nsswitch.conf"}) {
      std::string target = std::string("/etc/") + f;
      if (mount(dir.File(f).c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0) return 93;
    }
    if (sethostname(kHostName, sizeof kHostName - 1) != 0) return 94;
    return fn();
  });
}

TEST(NiResolve, NamesAddressesAndServicesAsGetentSeesThem) {
  if (!peers::NetnsAvailable()) GTEST_SKIP() << "no network namespaces here";
  tovtest::ChildResult r = InOwnNamespaces([] {
    Checks check;
    for (const char* name : {"alpha.test", "multi.test", "six.test", "localhost", "alpha"}) {
      for (int v4only = 0; v4only < 2; ++v4only) {
        // getent's own IPv4 query asks for configured addresses only, which
        // a namespace with nothing but its loopback lacks: the IPv4 answer
        // is the C library's own.
        std::string canon;
        std::vector<std::string> want = v4only ? LibcV4(name, &canon) : Getent("ahosts", name, &canon);
        NI_NODEADDR addrs[8];
        WEQ_UC cn[64];
        int count = 8;
        NI_RC rc = NiPGetHostByName(FromUtf8(name).c_str(), v4only, 0, addrs, &count, cn, 64, nullptr);
        std::vector<std::string> got;
        for (int i = 0; i < count && rc == WEQ_O_K; ++i) got.push_back(Text(addrs[i]));
        std::string what = std::string(name) + (v4only ? " (IPv4)" : "");
        check(want.empty() ? rc == NIEHOST_UNKNOWN : rc == WEQ_O_K, what + ": rc " + std::to_string(rc));
        std::string listed;
        for (const std::string& g : got) listed += " " + g;
        listed += " vs";
        for (const std::string& w : want) listed += " " + w;
        check(got == (rc == WEQ_O_K ? want : std::vector<std::string>{}),
              what + ": addresses differ:" + listed);
        if (rc == WEQ_O_K)
          check(ToUtf8(cn) == canon, what + ": canonical name " + ToUtf8(cn) + " vs " + canon);
      }
    }
    NI_NODEADDR two[2];
    int count = 2;
    // A name of 35 units and 65 bytes resolves as itself, also through the cache.
    std::u16string umlauts = std::u16string(30, u'\u00e4') + u".test";
    check(NiPGetHostByName(umlauts.c_str(), 1, 0, two, &count, nullptr, 0, nullptr) == WEQ_O_K &&
              Text(two[0]) == "10.200.0.9",
          "a name of two-byte characters");
    check(NiHostToAddr(umlauts.c_str(), &two[1]) == WEQ_O_K && Text(two[1]) == "10.200.0.9",
          "the same through NiHostToAddr");
    // Room for two of three addresses: two stored, the total counted.
    count = 2;
    check(
        NiPGetHostByName(u"multi.test", 1, 0, two, &count, nullptr, 0, nullptr) == NIETOO_SMALL && count == 3,
        "multi.test with room for two");
    count = 2;
    check(NiPGetHostByName(u"nosuch.test", 0, 0, two, &count, nullptr, 0, nullptr) == NIEHOST_UNKNOWN,
          "unknown host");
    check(NiPGetHostByName(u"alpha.test", 0, 1, two, &count, nullptr, 0, nullptr) == NIEHOST_UNKNOWN,
          "a name in numeric-only mode");

    // Reverse look-ups: the first name getent gives for the address.
    WEQ_UC name[64];
    NI_NODEADDR a = NiIPv4ToAddr(htonl(0x0AC80001));
    std::string hosts = Shell("getent hosts 10.200.0.1");
    std::string first = hosts.substr(hosts.find_first_not_of(" ", hosts.find(' ')));
    first = first.substr(0, first.find_first_of(" \n"));
    check(NiPGetHostByAddr(&a, 0, name, 64, nullptr) == WEQ_O_K && ToUtf8(name) == first,
          "reverse 10.200.0.1: " + first);
    check(NiPGetHostByAddr(&a, 0, name, static_cast<int>(first.size()), nullptr) == NIETOO_SMALL,
          "reverse into a short buffer");
    NI_NODEADDR none = NiIPv4ToAddr(htonl(0x0AC800FE));
    check(NiPGetHostByAddr(&none, 0, name, 64, nullptr) == NIEHOST_UNKNOWN, "reverse of an unknown address");

    // Services.
    uint16_t port = 0;
    std::string serv = Shell("getent services tovtest/tcp");
    check(serv.find("4711/tcp") != std::string::npos, "getent services: " + serv);
    check(NiPGetServByName(u"tovtest", &port, nullptr) == WEQ_O_K && ntohs(port) == 4711, "tovtest port");
    check(NiPGetServByName(u"nosuchserv", &port, nullptr) == NIESERV_UNKNOWN, "unknown service");
    check(NiPGetServByPort(htons(3300), name, 32, nullptr) == WEQ_O_K && ToUtf8(name) == "sapgw00",
          "port 3300");
    check(NiPGetServByPort(htons(4712), name, 32, nullptr) == NIESERV_UNKNOWN, "port without a name");

    // The public functions over the caches.
    NI_NODEADDR b;
    check(NiHostToAddr(u"alpha", &b) == WEQ_O_K && Text(b) == "10.200.0.1", "NiHostToAddr alpha");
    check(NiAddrToHost2(&b, name, 64) == WEQ_O_K && ToUtf8(name) == first, "NiAddrToHost2");
    check(NiServToNo(u"sapgw00", &port) == WEQ_O_K && port == 3300, "NiServToNo");
    check(NiHostToAddr(u"nosuch.test", &b) == NIEHOST_UNKNOWN, "NiHostToAddr of an unknown name");
    check(NiGetLoopbackAddr(&b) == WEQ_O_K && Text(b) == "127.0.0.1", "loopback: " + Text(b));
    return check.failed;
  });
  EXPECT_EQ(r.exit_code, 0) << r.err;
}

// An answer of another family than IPv4 or IPv6 fails the look-up; the
// error names that family, read before the answers are freed.
TEST(NiResolve, AnswerOfAnotherFamilyIsNamed) {
  NI_NODEADDR addrs[4];
  int count = 4;
  g_unixAnswer = true;
  NI_RC rc = NiPGetHostByName(u"unix.test", 0, 0, addrs, &count, nullptr, 0, nullptr);
  g_unixAnswer = false;
  EXPECT_EQ(rc, NIEINTERN);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(ToUtf8(ErrGetFld(ERR_FLD_ERROR)), "NiPGetHostByName: invalid family 1");
  EXPECT_EQ(g_madeList, nullptr);  // freed
}

TEST(NiResolve, OwnHostNameAsHostnameSeesIt) {
  if (!peers::NetnsAvailable()) GTEST_SKIP() << "no network namespaces here";
  tovtest::ChildResult r = InOwnNamespaces([] {
    Checks check;
    std::string want = Shell("hostname");
    want = want.substr(0, want.find('\n'));
    check(want == kHostName, "hostname says " + want);
    WEQ_UC buf[64];
    check(NiMyHostName(buf, 64) == WEQ_O_K && ToUtf8(buf) == want, "NiMyHostName");
    int len = static_cast<int>(want.size());
    check(NiIGetLocalName(buf, len) == NIETOO_SMALL && ToUtf8(buf) == want.substr(0, want.size() - 1),
          "a buffer as long as the name gets the name cut by one");
    check(NiMyHostName(nullptr, 64) == NIEINVAL && NiMyHostName(buf, -1) == NIEINVAL, "bad arguments");
    return check.failed;
  });
  EXPECT_EQ(r.exit_code, 0) << r.err;
}

// Thirteen addresses on the namespace's loopback: more than the first query
// has room for, so the table is filled by the second.
TEST(NiResolve, ThirteenLocalAddressesThroughTheSecondQuery) {
  if (!peers::NetnsAvailable()) GTEST_SKIP() << "no network namespaces here";
  tovtest::ChildResult r = InOwnNamespaces([] {
    Checks check;
    for (int i = 1; i <= 13; ++i) {
      int st = -1;
      Shell("ip addr add 10.201.0." + std::to_string(i) + "/32 dev lo 2>&1", &st);
      if (st != 0) return 95;
    }
    int want = 0;
    ifaddrs* ifs = nullptr;
    getifaddrs(&ifs);
    for (ifaddrs* i = ifs; i != nullptr; i = i->ifa_next)
      want += i->ifa_addr && i->ifa_addr->sa_family == AF_INET;
    freeifaddrs(ifs);
    check(want == 14, "getifaddrs count " + std::to_string(want));
    check(NiILHInit() == WEQ_O_K, "NiILHInit");
    check(NiILHAddrCount() == want, "table holds " + std::to_string(NiILHAddrCount()));
    for (int i = 1; i <= 13; ++i) {
      NI_NODEADDR a = NiIPv4ToAddr(htonl(0x0AC90000u | static_cast<uint32_t>(i)));
      check(NiILocalCheck(&a, nullptr), "10.201.0." + std::to_string(i) + " local");
    }
    NI_NODEADDR other = NiIPv4ToAddr(htonl(0x0AC90063u)), loop5 = NiIPv4ToAddr(htonl(0x7F000005u));
    check(!NiILocalCheck(&other, nullptr), "10.201.0.99 not local");
    check(NiILocalCheck(&loop5, nullptr), "127.0.0.5 local");
    check(NiILHInit() == NIECALL, "second build");
    NiILHFree();
    check(NiILHAddrCount() == -1, "freed");
    return check.failed;
  });
  EXPECT_EQ(r.exit_code, 0) << r.err;
}

// A list that grows between the queries is asked again until it fits.
std::atomic<int> g_listCalls{0};
NI_RC GrowingList(NI_NODEADDR* addrs, WEQ_RAW* states, int capacity, int, int* count) {
  int total = 12 + 3 * std::min(g_listCalls.fetch_add(1), 2);
  for (int i = 0; i < total && i < capacity; ++i) {
    addrs[i] = NiIPv4ToAddr(htonl(0x0A000000u | static_cast<uint32_t>(i)));
    states[i] = i == 0 ? 0 : 1;
  }
  *count = total;
  return WEQ_O_K;
}

TEST(NiResolve, GrowingAddressListIsAskedUntilItFits) {
  tovtest::ChildResult r = tovtest::RunInChild([] {
    NiISetAddrListFn(&GrowingList);
    if (NiILHInit() != WEQ_O_K) return 1;
    if (NiILHAddrCount() != 18 || g_listCalls.load() != 4) return 2;
    NI_NODEADDR last = NiIPv4ToAddr(htonl(0x0A000011u)), down = NiIPv4ToAddr(htonl(0x0A000000u));
    if (!NiILocalCheck(&last, nullptr)) return 3;
    if (NiILocalCheck(&down, nullptr)) return 4;  // its interface is down
    return 0;
  });
  EXPECT_EQ(r.exit_code, 0) << r.err;
}

}  // namespace
