// SNC over MIT Kerberos from several threads at once: each thread opens
// its own pairs of sessions in a shared throw-away realm, authenticates,
// exchanges data at its own protection level and asks for the peer's
// name, all through the layer's one global lock.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "krn/snc/snc.h"
#include "krn/snc/snc_int.h"
#include "snc_krb5_realm.h"
#include "snc_test_util.h"

namespace {

TEST(SncKrb5Threads, PairsAtOnce) {
  ASSERT_EQ(ThrProcInit(), THR_ERR_OK);
  snckrb5::Realm realm;
  std::string why;
  ASSERT_TRUE(realm.Start(&why)) << why;
  realm.UseForSnc();
  uint8_t avail = 0;
  ASSERT_EQ(SncInit(0, nullptr, &avail), WEQ_O_K);
  ASSERT_EQ(avail, 1);
  constexpr int kThreads = 4;
  const int pairs = 3 * tovtest::HeavyFactor();
  constexpr int kFrames = 50;
  const std::vector<std::string> result = snctest::OnThreads(kThreads, [&](int t) {
    const int qop = t % 3 + 1;
    int good = 0;
    for (int n = 0; n < pairs; ++n) {
      snctest::Pair p;
      bool ok = SncSessionInit(&p.ini) == WEQ_O_K && SncSessionInit(&p.acc) == WEQ_O_K &&
                SncSessionInitiator(p.ini, 1, 0, "p:snc/localhost@TEST.REALM") == WEQ_O_K &&
                SncSetQOP(p.ini, qop, 9, qop) == WEQ_O_K && SncSetQOP(p.acc, qop, 9, qop) == WEQ_O_K &&
                SncSessionAcceptor(p.acc, 0) == WEQ_O_K;
      int delivered = 0;
      for (int i = 0; ok && i < kFrames; ++i) {
        const std::string text = "thread " + std::to_string(t) + " frame " + std::to_string(i);
        ok = p.Send(i % 2 == 0, text) == WEQ_O_K;
        const auto& got = p.got[i % 2 == 0 ? 1 : 0];
        if (ok && !got.empty() && std::string(got.back().begin(), got.back().end()) == text) ++delivered;
      }
      const char* name = nullptr;
      if (ok && delivered == kFrames && SncGetPeerName(p.acc, &name) == WEQ_O_K &&
          std::string(name) == "p:user@TEST.REALM" && snctest::S(p.acc)->lastDataLevel == qop)
        ++good;
      if (p.ini != nullptr) SncSessionDone(&p.ini);
      if (p.acc != nullptr) SncSessionDone(&p.acc);
    }
    return std::to_string(good);
  });
  EXPECT_EQ(result, std::vector<std::string>(kThreads, std::to_string(pairs)));
  SncIResetGlobal();
}

}  // namespace
