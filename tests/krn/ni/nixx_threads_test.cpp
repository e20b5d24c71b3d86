// The handle table and NI's start under threads: eight threads creating and
// closing 20,000 handles never see one live number twice, and eight
// threads making the first implicit start at once start NI exactly once.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "krn/ni/ni.h"
#include "krn/ni/niaddr_int.h"
#include "krn/ni/nixx_int.h"
#include "krn/thr/thr.h"
#include "support/testsupport.h"

namespace {

constexpr int kThreads = 8;

// Starts all threads' work together.
class StartLine {
 public:
  void Arrive() {
    ready_.fetch_add(1);
    while (ready_.load() < kThreads) std::this_thread::yield();
  }

 private:
  std::atomic<int> ready_{0};
};

TEST(NiThreads, HandlesCreatedAndClosedConcurrentlyAreNeverShared) {
  ASSERT_EQ(ThrProcInit(), THR_ERR_OK);
  ASSERT_EQ(NiInit3(48), WEQ_O_K);
  constexpr int kPerThread = 20000 / kThreads;
  std::mutex mtx;
  std::set<NI_HDL> live;
  std::atomic<int> duplicates{0}, failures{0}, stale{0};
  StartLine start;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      start.Arrive();
      std::vector<NI_HDL> mine;
      for (int i = 0; i < kPerThread; ++i) {
        NITAB* rec = nullptr;
        if (NiICreateHandle(&rec, NI_INITIAL_CON, nullptr) != WEQ_O_K) {
          failures.fetch_add(1);
          continue;
        }
        NiISetState(rec, NI_CONNECTED, u"test");
        NI_HDL h = rec->mHdl.load();
        {
          std::lock_guard<std::mutex> lock(mtx);
          if (!live.insert(h).second) duplicates.fetch_add(1);
        }
        mine.push_back(h);
        // Up to four handles live per thread; the oldest goes first.
        if (mine.size() > 4 || i + 1 == kPerThread) {
          while (!mine.empty()) {
            NI_HDL old = mine.front();
            mine.erase(mine.begin());
            {
              std::lock_guard<std::mutex> lock(mtx);
              live.erase(old);
            }
            if (NiCloseHandle(old) != WEQ_O_K) failures.fetch_add(1);
            // The closed number is refused unless its slot came round to
            // the same generation again (eight reuses later).
            NITAB* check = nullptr;
            if (NiIHdlCheck(old, u"test", &check) == WEQ_O_K) stale.fetch_add(1);
            if (mine.size() <= 2) break;
          }
        }
      }
      for (NI_HDL h : mine) {
        {
          std::lock_guard<std::mutex> lock(mtx);
          live.erase(h);
        }
        NiCloseHandle(h);
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(duplicates.load(), 0);
  EXPECT_EQ(failures.load(), 0);
  EXPECT_LT(stale.load(), 20000 / 100) << "a closed number was still valid far too often";
  EXPECT_TRUE(live.empty());
  EXPECT_EQ(NiIFreeHandles(), 48);
  EXPECT_EQ(NiExit(), WEQ_O_K);
}

TEST(NiThreads, TheFirstImplicitStartHappensOnce) {
  tovtest::ChildResult r = tovtest::RunInChild([] {
    if (ThrProcInit() != THR_ERR_OK) return 2;
    StartLine start;
    std::atomic<int> bad{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        start.Arrive();
        NI_NODEADDR a = NiIPv4ToAddr(htonl(0x0A000001u + static_cast<uint32_t>(t)));
        std::string want = "10.0.0." + std::to_string(1 + t);
        // Text in the thread's own NI data, which starts NI on demand.
        if (tovtest::ToUtf8(NiAddrToStrStatic(&a, 0)) != want) bad.fetch_add(1);
        NI_THR_GLOB* glob = NiIGetThrGlob();
        if (glob == nullptr || tovtest::ToUtf8(glob->mAddrText) != want) bad.fetch_add(1);
      });
    }
    for (std::thread& t : threads) t.join();
    if (bad.load() != 0) return 3;
    if (NiIInitCount() != 1 || NiIMaxHandles() != 2048) return 4;
    if (NiExit() != WEQ_O_K || NiIMaxHandles() != 0) return 5;
    return 0;
  });
  EXPECT_EQ(r.exit_code, 0) << r.err;
}

}  // namespace
