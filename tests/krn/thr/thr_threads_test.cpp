// Thread library under several threads: key destructors at thread end, the
// detach hook, sections hammered from many threads, racing first use, and
// unlocks from the wrong thread. Each case runs in its own process (one
// CTest test per case), and every case activates the library first.
#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "krn/thr/thr.h"
#include "krn/thr/thr_int.h"
#include "support/testsupport.h"

namespace {

class ThrThreads : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(ThrProcInit(), 0u); }
};

// What the key destructors saw: per thread, the (key number, value) pairs in
// the order of the calls.
struct Seen {
  int key;
  void* value;
};
std::mutex g_logLock;
std::map<ThrId, std::vector<Seen>> g_log;

template <int N>
void Note(void* v) {
  std::lock_guard<std::mutex> hold(g_logLock);
  g_log[ThrCurrentId()].push_back(Seen{N, v});
}

void RunThreads(int n, const std::function<void(int)>& body) {
  std::vector<std::thread> ts;
  for (int i = 0; i < n; ++i) ts.emplace_back(body, i);
  for (auto& t : ts) t.join();
}

TEST_F(ThrThreads, DestructorsRunOncePerThreadNewestFirst) {
  static ThrKey keys[3] = {THR_KEY_NONE, THR_KEY_NONE, THR_KEY_NONE};
  ASSERT_EQ(ThrKeyGet(&keys[0], Note<0>), 0u);
  ASSERT_EQ(ThrKeyGet(&keys[1], Note<1>), 0u);
  ASSERT_EQ(ThrKeyGet(&keys[2], Note<2>), 0u);
  constexpr int kThreads = 16;
  static int values[kThreads][3];
  std::vector<ThrId> ids(kThreads);
  RunThreads(kThreads, [&](int i) {
    ids[i] = ThrCurrentId();
    EXPECT_EQ(ThrThreadExit(), 5u);  // only the initialising thread is listed
    // Stored in an order unlike the keys' creation order.
    for (int k : {1, 0, 2}) ASSERT_EQ(ThrKeyVarSet(&keys[k], &values[i][k]), 0u);
    ASSERT_EQ(ThrKeyVarGet(&keys[0]), &values[i][0]);
  });
  std::lock_guard<std::mutex> hold(g_logLock);
  ASSERT_EQ(g_log.size(), static_cast<size_t>(kThreads));  // distinct ids too
  for (int i = 0; i < kThreads; ++i) {
    const std::vector<Seen>& calls = g_log[ids[i]];
    ASSERT_EQ(calls.size(), 3u) << "thread " << i;
    for (int c = 0; c < 3; ++c) {
      EXPECT_EQ(calls[c].key, 2 - c) << "thread " << i << " call " << c;
      EXPECT_EQ(calls[c].value, &values[i][2 - c]) << "thread " << i << " call " << c;
    }
  }
  EXPECT_EQ(g_log.count(ThrCurrentId()), 0u);  // the main thread has not ended
}

ThrKey g_threadKey = THR_KEY_NONE;
ThrKey g_hookKey = THR_KEY_NONE;
int g_hookValue;
thread_local bool tls_hookStored = false;
void Hook() {
  // Runs first and sees the thread's values intact; what it stores on the
  // way out reaches its destructor in a further round.
  Note<9>(ThrKeyVarGet(&g_threadKey));
  if (!tls_hookStored) {
    tls_hookStored = true;
    ThrKeyVarSet(&g_hookKey, &g_hookValue);
  }
}

TEST_F(ThrThreads, DetachHookRunsFirstAndItsValuesAreCleanedToo) {
  ASSERT_EQ(ThrKeyGet(&g_threadKey, Note<0>), 0u);
  ASSERT_EQ(ThrKeyGet(&g_hookKey, Note<1>), 0u);
  ThrSetThreadDetachHook(Hook);
  int mine = 0;
  ThrId id = 0;
  std::thread([&] {
    id = ThrCurrentId();
    ThrKeyVarSet(&g_threadKey, &mine);
  }).join();
  // A thread that never stored a value has nothing to detach.
  std::thread([] { ThrKeyVarGet(&g_threadKey); }).join();
  ThrSetThreadDetachHook(nullptr);
  std::lock_guard<std::mutex> hold(g_logLock);
  ASSERT_EQ(g_log.size(), 1u);
  const std::vector<Seen>& calls = g_log[id];
  const std::vector<std::pair<int, void*>> want = {
      {9, &mine}, {1, &g_hookValue}, {0, &mine},  // first round
      {9, nullptr}, {1, nullptr}, {0, nullptr},   // the round the hook's value asked for
  };
  ASSERT_EQ(calls.size(), want.size());
  for (size_t c = 0; c < want.size(); ++c) {
    EXPECT_EQ(calls[c].key, want[c].first) << "call " << c;
    EXPECT_EQ(calls[c].value, want[c].second) << "call " << c;
  }
}

TEST_F(ThrThreads, ProcExitStopsDetachUntilTheNextInit) {
  static ThrKey key = THR_KEY_NONE;
  static int value;
  ASSERT_EQ(ThrKeyGet(&key, Note<0>), 0u);
  std::atomic<int> phase{0};
  std::thread alive([&] {
    ThrKeyVarSet(&key, &value);
    phase = 1;
    while (phase.load() != 2) std::this_thread::yield();
    // Nothing runs for this thread any more (as after an unload), so its
    // table would be left behind; release it for the leak check.
    ThrKeyVarSet(&key, nullptr);
    thr::ThrIReleaseThreadTable();
  });
  while (phase.load() != 1) std::this_thread::yield();
  ThrProcExit();  // what the unload does before the library goes away
  phase = 2;
  alive.join();
  EXPECT_TRUE(g_log.empty());
  ASSERT_EQ(ThrProcInit(), 0u);
  std::thread([&] { ThrKeyVarSet(&key, &value); }).join();
  ASSERT_EQ(g_log.size(), 1u);
  EXPECT_EQ(g_log.begin()->second.size(), 1u);
}

// Zero-filled static sections, first locked by eight threads at once, then
// hammered with nested locks: each keeps an exact count.
TEST_F(ThrThreads, ZeroFilledSectionsKeepExactCounts) {
  constexpr int kSections = 16;
  constexpr int kThreads = 8;
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
  for (int s = 0; s < kSections; ++s) {
    EXPECT_EQ(counters[s], static_cast<long>(kThreads) * rounds) << "section " << s;
    EXPECT_EQ(sections[s].count, 0);
    EXPECT_TRUE(sections[s].tag == nullptr);
  }
}

TEST_F(ThrThreads, RacingDemandCreationMakesOneKey) {
  static ThrKey key = THR_KEY_NONE;
  constexpr int kThreads = 8;
  uint32_t before = thr::ThrIKeyCount();
  std::vector<ThrKey> seen(kThreads);
  static int values[kThreads];
  std::barrier start(kThreads);
  RunThreads(kThreads, [&](int i) {
    start.arrive_and_wait();
    EXPECT_EQ(ThrKeyVarSet(&key, &values[i]), 0u);
    seen[i] = std::atomic_ref<ThrKey>(key).load();
    EXPECT_EQ(ThrKeyVarGet(&key), &values[i]);
  });
  EXPECT_EQ(thr::ThrIKeyCount(), before + 1);
  for (ThrKey k : seen) EXPECT_EQ(k, key);
}

TEST_F(ThrThreads, UnlockFromAnotherThreadIsRefused) {
  static ThrCS cs;
  static ThrRecMtx rec;
  ASSERT_EQ(ThrCSInit(&cs, u"owned"), 0u);
  ASSERT_EQ(ThrRecMtxInit(&rec, nullptr), 0u);
  ThrCSLock(&cs);
  ThrCSLock(&cs);
  ThrRecMtxLock(&rec);
  std::thread([] {
    EXPECT_EQ(ThrCSUnlock(&cs), 10u);
    EXPECT_EQ(ThrRecMtxUnlock(&rec), 10u);
  }).join();
  EXPECT_EQ(cs.count, 2);
  EXPECT_EQ(rec.count, 1);
  EXPECT_EQ(ThrCSUnlock(&cs), 0u);
  EXPECT_EQ(ThrCSUnlock(&cs), 0u);
  EXPECT_EQ(ThrRecMtxUnlock(&rec), 0u);
  // Free again: another thread may take it.
  std::thread([] {
    EXPECT_EQ(ThrCSLock(&cs), 0u);
    EXPECT_EQ(ThrCSUnlock(&cs), 0u);
  }).join();
  EXPECT_EQ(ThrCSDelete(&cs), 0u);
}

}  // namespace
