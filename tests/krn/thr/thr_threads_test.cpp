// Thread library under several threads: the detach hook and key destructors
// at thread end, the end of detaching at process exit, and sections hammered
// from many threads from their first use on, with the library active. Each
// case leaves the hook and the destructors' log as it found them.
#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "krn/thr/thr.h"
#include "krn/thr/thr_int.h"
#include "support/testsupport.h"

namespace {

// What the key destructors saw, per thread: (key number, value) in call order.
using Calls = std::vector<std::pair<int, void*>>;
std::mutex g_logLock;
std::map<ThrId, Calls> g_log;

class ThrThreads : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(ThrProcInit(), 0u); }
  void TearDown() override {
    ThrSetThreadDetachHook(nullptr);
    std::lock_guard<std::mutex> hold(g_logLock);
    g_log.clear();
  }
};

template <int N>
void Note(void* v) {
  std::lock_guard<std::mutex> hold(g_logLock);
  g_log[ThrCurrentId()].emplace_back(N, v);
}

void RunThreads(int n, const std::function<void(int)>& body) {
  std::vector<std::thread> ts;
  for (int i = 0; i < n; ++i) ts.emplace_back(body, i);
  for (auto& t : ts) t.join();
}

ThrKey g_keys[4] = {THR_KEY_NONE, THR_KEY_NONE, THR_KEY_NONE, THR_KEY_NONE};
int g_hookValue;
thread_local bool tls_hookStored = false;
// The detach hook runs first and sees the thread's values intact; what it
// stores on the way out reaches its destructor in a further round.
void Hook() {
  Note<9>(ThrKeyVarGet(&g_keys[0]));
  if (!std::exchange(tls_hookStored, true)) ThrKeyVarSet(&g_keys[3], &g_hookValue);
}

// Sixteen threads store values under three keys with destructors, and end.
TEST_F(ThrThreads, DetachRunsTheHookThenDestructorsNewestFirst) {
  const ThrKeyDestructor notes[] = {Note<0>, Note<1>, Note<2>, Note<3>};
  for (int k = 0; k < 4; ++k) ASSERT_EQ(ThrKeyGet(&g_keys[k], notes[k]), 0u);
  ThrSetThreadDetachHook(Hook);
  constexpr int kThreads = 16;
  static int values[kThreads][3];
  std::vector<ThrId> ids(kThreads);
  RunThreads(kThreads, [&](int i) {
    ids[i] = ThrCurrentId();
    EXPECT_EQ(ThrThreadExit(), 5u);  // only the initialising thread is listed
    for (int k : {1, 0, 2}) ASSERT_EQ(ThrKeyVarSet(&g_keys[k], &values[i][k]), 0u);
  });
  ThrSetThreadDetachHook(nullptr);
  ASSERT_EQ(g_log.size(), static_cast<size_t>(kThreads));  // distinct ids, not the main thread
  for (int i = 0; i < kThreads; ++i) {
    int* v = values[i];
    const Calls want = {{9, &v[0]}, {3, &g_hookValue}, {2, &v[2]}, {1, &v[1]}, {0, &v[0]}, {9, nullptr},
                        {3, nullptr}, {2, nullptr}, {1, nullptr}, {0, nullptr}};
    EXPECT_EQ(g_log[ids[i]], want) << "thread " << i;
  }
  for (ThrKey& key : g_keys) EXPECT_EQ(ThrKeyDelete(&key), 0u);
}

TEST_F(ThrThreads, ProcExitStopsDetachUntilTheNextInit) {
  static ThrKey key = THR_KEY_NONE;
  static int value;
  ASSERT_EQ(ThrKeyGet(&key, Note<0>), 0u);
  std::barrier sync(2);
  std::thread alive([&] {
    ThrKeyVarSet(&key, &value);
    sync.arrive_and_wait();
    sync.arrive_and_wait();
    // Nothing runs for this thread any more (as after an unload), so its
    // table would be left behind; release it for the leak check.
    ThrKeyVarSet(&key, nullptr);
    thr::ThrIReleaseThreadTable();
  });
  sync.arrive_and_wait();
  ThrProcExit();  // what the unload does before the library goes away
  sync.arrive_and_wait();
  alive.join();
  EXPECT_TRUE(g_log.empty());
  ASSERT_EQ(ThrProcInit(), 0u);
  std::thread([&] { ThrKeyVarSet(&key, &value); }).join();
  EXPECT_EQ(g_log.size() == 1 ? g_log.begin()->second : Calls{}, (Calls{{0, &value}}));
  EXPECT_EQ(ThrKeyDelete(&key), 0u);
}

// Zero-filled static sections, first locked by eight threads at once, then
// hammered with nested locks: each keeps an exact count.
TEST_F(ThrThreads, ZeroFilledSectionsKeepExactCounts) {
  constexpr int kSections = 16, kThreads = 8;
  static ThrCS sections[kSections];
  static long counters[kSections];
  const int rounds = 400 * tovtest::HeavyFactor();
  std::barrier start(kThreads);
  RunThreads(kThreads, [&](int i) {
    start.arrive_and_wait();
    for (int r = 0; r < rounds; ++r) {
      for (int s = 0; s < kSections; ++s) {
        const int depth = (r + i + s) % 3 == 0 ? 2 : 1;
        for (int d = 0; d < depth; ++d) ASSERT_EQ(ThrCSLock(&sections[s]), 0u);
        long seen = counters[s];
        if (r == 0) std::this_thread::yield();  // widen the window for a second owner
        counters[s] = seen + 1;
        for (int d = 0; d < depth; ++d) ASSERT_EQ(ThrCSUnlock(&sections[s]), 0u);
      }
    }
  });
  for (int s = 0; s < kSections; ++s) EXPECT_EQ(counters[s], long{kThreads} * rounds) << "section " << s;
}

// Holders that stay in the section long enough for the others to stop
// spinning and sleep: every sleeper is woken (a lost wake-up hangs the
// test), and the counts stay exact.
TEST_F(ThrThreads, SleepingWaitersAreWokenAndCountsStayExact) {
  constexpr int kThreads = 4;
  static ThrCS section;
  static long counter;
  static std::atomic<int> inside{0};
  const int rounds = 200 * tovtest::HeavyFactor();
  std::barrier start(kThreads);
  RunThreads(kThreads, [&](int) {
    start.arrive_and_wait();
    for (int r = 0; r < rounds; ++r) {
      ASSERT_EQ(ThrCSLock(&section), 0u);
      EXPECT_EQ(inside.fetch_add(1), 0);
      long seen = counter;
      // About 20 µs inside: far longer than a waiter spins.
      const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(20);
      while (std::chrono::steady_clock::now() < until) std::this_thread::yield();
      counter = seen + 1;
      inside.fetch_sub(1);
      ASSERT_EQ(ThrCSUnlock(&section), 0u);
    }
  });
  EXPECT_EQ(counter, long{kThreads} * rounds);
}

}  // namespace
