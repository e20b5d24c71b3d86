// Clocks and UUIDs used from several threads at once: the first use that
// chooses the counter, local time converted by several threads, and UUIDs
// created by four threads through the real generator and through one that
// notices a second thread inside it.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <functional>
#include <set>
#include <thread>
#include <vector>

#include "krn/perf/pfclock.h"
#include "krn/perf/pfclock_int.h"
#include "krn/perf/pfuuid.h"
#include "krn/perf/pfuuid_int.h"
#include "krn/thr/thr.h"
#include "tests/krn/perf/perf_test_util.h"

namespace {

// Runs body(i) on n threads that start together.
void RunThreads(int n, const std::function<void(int)>& body) {
  std::barrier start(n);
  std::vector<std::thread> ts;
  for (int i = 0; i < n; ++i) {
    ts.emplace_back([&, i] {
      start.arrive_and_wait();
      body(i);
    });
  }
  for (auto& t : ts) t.join();
}

// Each thread makes its first reads of the statistics clock (which choose the
// counter and calibrate) at once with the others and sees the clock never go
// back; then it sweeps its own stretch around the last end of daylight
// saving time, some inside the window and some outside, so that the cached
// windows and results of the threads differ.
TEST(PerfThreads, FirstClockUseAndLocalTimeOfEachThread) {
  setenv("TZ", "Europe/Berlin", 1);
  tzset();
  const std::vector<Switch> ends = PastSwitches("Europe/Berlin", true);
  ASSERT_FALSE(ends.empty());
  const time_t lo = ends.back().first - 3600, hi = ends.back().first + 3600;
  std::vector<int> ok(6);
  std::vector<const struct tm*> results(6);
  RunThreads(6, [&](int i) {
    int64_t c = 0;
    ok[i] = pf::HighResCount(&c);
    int64_t previous = PfStatClock();
    for (int k = 0; k < 1000; ++k) {
      const int64_t now = PfStatClock();
      if (now < previous) ok[i] = 0;  // went back on one thread
      previous = now;
    }
    ok[i] = ok[i] && Sweep(lo - 1800 + i * 1500, lo - 300 + i * 1500, lo, hi, 16);
    results[i] = ContLocaltime(&lo);
  });
  EXPECT_NE(pf::HighResCounter(), pf::Counter::kUndecided);
  EXPECT_EQ(PfClockWrap.load(), 0xFFFFFFFFu);
  EXPECT_EQ(std::count(ok.begin(), ok.end(), 1), 6);
  EXPECT_EQ(std::set<const struct tm*>(results.begin(), results.end()).size(), 6u);
}

// Around libuuid's own generator: counts the times a thread found another
// inside.
void (*g_libuuid)(unsigned char*) = nullptr;
std::atomic<int> g_inside{0}, g_overlaps{0};
void WatchingGenerator(unsigned char out[16]) {
  if (g_inside.fetch_add(1) != 0) g_overlaps.fetch_add(1);
  g_libuuid(out);
  g_inside.fetch_sub(1);
}

TEST(PerfThreads, HundredThousandUuidsFromFourThreadsAllDistinct) {
  ThrProcInit();
  void* lib = dlopen("libuuid.so.1", RTLD_NOW);
  ASSERT_NE(lib, nullptr);
  g_libuuid = reinterpret_cast<void (*)(unsigned char*)>(dlsym(lib, "uuid_generate_time"));
  ASSERT_NE(g_libuuid, nullptr);
  constexpr int kBound = 100000, kWatched = 20000;
  std::vector<Bytes> all(kBound + kWatched);
  std::atomic<int> failures{0};
  // The generator the library binds, then the watching one.
  for (auto [from, to] : {std::pair{0, kBound}, std::pair{kBound, kBound + kWatched}}) {
    if (from == kBound) UuidITestSetGenerator(WatchingGenerator);
    RunThreads(4, [&, from = from, to = to](int t) {
      for (int i = from + t; i < to; i += 4) {
        if (UuidGenerate(all[i].data()) != UUID_RC_OK) failures.fetch_add(1);
      }
    });
  }
  UuidITestRestore();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(g_overlaps.load(), 0);
  for (const Bytes& b : all) {
    ASSERT_TRUE(Markers(b));
  }
  std::sort(all.begin(), all.end());
  EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end());
}

}  // namespace
