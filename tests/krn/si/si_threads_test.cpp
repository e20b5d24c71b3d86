// The socket layer's process-wide connect sets under threads: many
// threads start connects that are refused or succeed, wait for them with
// SiSelect and SiPeekPendConn and close, all at once.
#include <errno.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "krn/si/si.h"
#include "krn/si/si_int.h"
#include "krn/thr/thr.h"
#include "peers/peers.h"

namespace {

class SiThreads : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_EQ(ThrProcInit(), THR_ERR_OK);  // before it the SI lock does nothing
    ASSERT_EQ(SiInit(nullptr), SI_OK);
  }
};

TEST_F(SiThreads, ConnectsOfManyThreadsEachSeeTheirOwnOutcome) {
  constexpr int kThreads = 8, kRounds = 40;
  uint16_t open = 0;
  peers::Fd l = peers::Listener(AF_INET, &open, 4096);
  ASSERT_TRUE(l.valid());
  uint16_t closed = peers::FreePort(AF_INET);
  std::atomic<bool> stop{false};
  // Takes every connection so that the listener's queue never fills.
  std::thread acceptor([&] {
    std::vector<peers::Fd> taken;
    while (!stop.load()) {
      if (peers::WaitReadable(l.get(), 50)) taken.emplace_back(accept(l.get(), nullptr, nullptr));
    }
  });
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  std::string lo = peers::LoopbackBytes(AF_INET);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int r = 0; r < kRounds; ++r) {
        bool refuse = (t + r) % 2 == 0;
        SI_SOCKET s{};
        if (SiSocket(SI_AF_INET, SI_SOCK_STREAM, 0, &s) != SI_OK) {
          ++wrong;
          continue;
        }
        SiSetBlockMode(&s, 0);
        uint16_t port = SiHtons(refuse ? closed : open);
        SI_RC rc = SiConnect(&s, reinterpret_cast<const WEQ_RAW*>(lo.data()), 4, &port);
        if (rc == SI_ECONN_INPROG) {
          if (r % 3 == 0) {
            rc = SiPeekPendConn(&s, 5000);
          } else {
            SiFdMask<1> rd, wr;
            SiFdSet(&s, rd, 1);
            SiFdSet(&s, wr, 1);
            int32_t count = 0;
            if (SiSelect(0, rd, wr, nullptr, 5000, &count, nullptr) != SI_OK || !SiFdIsSet(&s, wr)) ++wrong;
            rc = SiPeekPendConn(&s, 0);
          }
        }
        bool ok = refuse ? (rc == SI_ECONN_REFUSE && s.sysErr == ECONNREFUSED) : rc == SI_OK;
        if (!ok) ++wrong;
        if (SiClose(&s) != SI_OK) ++wrong;
      }
    });
  }
  for (std::thread& th : threads) th.join();
  stop.store(true);
  acceptor.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(SiIPendingCount(), 0u);
  EXPECT_EQ(SiIBrokenCount(), 0u);
}

TEST_F(SiThreads, SeamCountsEveryCallOfEveryThread) {
  SiITestReset();
  constexpr int kThreads = 6, kCalls = 500;
  SiITestFail(SI_FN_GETSOCKNAME, 100, SI_EINTR, EINTR);
  std::atomic<int> interrupted{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      SI_SOCKET s{};
      SiSocket(SI_AF_INET6, SI_SOCK_DGRAM, 0, &s);
      for (int i = 0; i < kCalls; ++i) {
        if (SiGetSockName(&s, nullptr, 0, nullptr) == SI_EINTR) ++interrupted;
      }
      SiClose(&s);
    });
  }
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(interrupted.load(), 100);
  EXPECT_EQ(SiITestCalls(SI_FN_GETSOCKNAME), static_cast<uint64_t>(kThreads * kCalls));
  SiITestReset();
}

}  // namespace
