// Eight threads make their first look-ups at once, creating the caches
// lazily, while another resizes and flushes them: every answer is the
// resolver's, and the caches are created once.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <barrier>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "krn/thr/thr.h"
#include "nihs_fake.h"
#include "support/testsupport.h"

using nihsfake::FakeScope;
using nihsfake::V4;
using nihsfake::V6;

namespace {

constexpr int kThreads = 8;
constexpr int kNames = 40;

std::u16string HostName(int i) { return u"host" + tovtest::FromUtf8(std::to_string(i)); }
std::u16string ServName(int i) { return u"serv" + tovtest::FromUtf8(std::to_string(i)); }

// Host i resolves to 10.0.i.1 (and, with IPv6, first to 2001::i); even
// names only are known to the resolver.
void Populate(FakeScope& fake, bool ipv6) {
  for (int i = 0; i < kNames; i += 2) {
    std::vector<NI_NODEADDR> addrs;
    if (ipv6) addrs.push_back(V6(0x2001, static_cast<uint16_t>(i)));
    addrs.push_back(V4(10, 0, static_cast<uint8_t>(i), 1));
    fake.AddHost(HostName(i), addrs, HostName(i));
    fake.AddServ(ServName(i), static_cast<uint16_t>(5000 + i));
    fake.AddName(addrs.front(), HostName(i));
  }
}

void Race(uint32_t usage) {
  ASSERT_EQ(ThrProcInit(), THR_ERR_OK);
  FakeScope fake(usage);
  bool ipv6 = usage == 6;
  Populate(fake, ipv6);
  std::barrier start(kThreads + 1);
  std::atomic<int> wrong{0}, done{0};
  std::vector<NIHIMPL*> seen(kThreads, nullptr);
  std::vector<std::thread> threads;
  int rounds = 3000 * tovtest::HeavyFactor();
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 rng(static_cast<unsigned>(t) * 7919u);
      start.arrive_and_wait();
      for (int r = 0; r < rounds; ++r) {
        int i = static_cast<int>(rng() % kNames);
        int mode = r > 0 && rng() % 4 == 0 ? NI_HS_MODE_BUFONLY : NI_HS_MODE_DEFAULT;
        NI_NODEADDR a;
        NI_RC rc = NiIGetNodeAddr(HostName(i).c_str(), 0, &a, mode, nullptr);
        if (r == 0) seen[t] = NiIHostCache();
        NI_NODEADDR want =
            ipv6 ? V6(0x2001, static_cast<uint16_t>(i)) : V4(10, 0, static_cast<uint8_t>(i), 1);
        if (rc == WEQ_O_K && (i % 2 != 0 || memcmp(a.addr, want.addr, 16) != 0)) ++wrong;
        if (rc != WEQ_O_K && (rc != NIEHOST_UNKNOWN || (i % 2 == 0 && mode == NI_HS_MODE_DEFAULT))) ++wrong;
        uint16_t port = 0;
        rc = NiIGetServNo(ServName(i).c_str(), &port, mode, nullptr);
        if (rc == WEQ_O_K && (i % 2 != 0 || ntohs(port) != 5000 + i)) ++wrong;
        if (rc != WEQ_O_K && (rc != NIESERV_UNKNOWN || (i % 2 == 0 && mode == NI_HS_MODE_DEFAULT))) ++wrong;
        WEQ_UC name[64];
        rc = NiIGetHostName(&want, name, 64, 0, mode, nullptr);
        if (rc == WEQ_O_K && (i % 2 != 0 || HostName(i) != name)) ++wrong;
        if (rc != WEQ_O_K && rc != NIEHOST_UNKNOWN) ++wrong;
        rc = NiIGetServName(htons(static_cast<uint16_t>(5000 + i)), name, 64, mode, nullptr);
        if (rc == WEQ_O_K && (i % 2 != 0 || ServName(i) != name)) ++wrong;
        if (rc != WEQ_O_K && rc != NIESERV_UNKNOWN) ++wrong;
      }
      ++done;
    });
  }
  std::thread tuner([&] {
    std::mt19937 rng(1);
    start.arrive_and_wait();
    while (done.load() < kThreads) {
      if (NiIHostCache() == nullptr) continue;
      if (rng() % 2) {
        NiISetHSBufIndexSize(1 + rng() % 64);
      } else {
        NiIHSBufFlush();
      }
      NiISetHostInvalid(HostName(static_cast<int>(rng() % kNames)).c_str(), nullptr);
      WEQ_UC dump[4096];
      int len = 4096, fin = 0;
      NiHBufPrintBuf(dump, &len, &fin);
    }
  });
  for (std::thread& t : threads) t.join();
  tuner.join();
  EXPECT_EQ(wrong.load(), 0);
  std::set<NIHIMPL*> caches(seen.begin(), seen.end());
  EXPECT_EQ(caches.size(), 1u);
  EXPECT_EQ(*caches.begin(), NiIHostCache());
}

TEST(NiHsThreads, FirstLookupsRaceAResizerIPv4) { Race(2); }

TEST(NiHsThreads, FirstLookupsRaceAResizerIPv6WithPolicy) {
  setenv("NI_ADDR_POLICY", "2001::/16,50;10.0.0.0/8,40", 1);
  Race(6);
  unsetenv("NI_ADDR_POLICY");
}

}  // namespace
