// Clocks used from several threads at once: the first use that chooses the
// counter and the source, and local time converted concurrently.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <barrier>
#include <set>
#include <thread>
#include <vector>

#include "krn/perf/pfclock.h"
#include "krn/perf/pfclock_int.h"

namespace {

void RunThreads(int n, const std::function<void(int)>& body) {
  std::vector<std::thread> ts;
  for (int i = 0; i < n; ++i) ts.emplace_back(body, i);
  for (auto& t : ts) t.join();
}

TEST(PfClockThreads, FirstUseFromManyThreadsChoosesOnce) {
  constexpr int kThreads = 8;
  std::barrier start(kThreads);
  std::vector<int> ok(kThreads);
  RunThreads(kThreads, [&](int i) {
    start.arrive_and_wait();
    int64_t c = 0;
    ok[i] = pf::HighResCount(&c);
    int64_t previous = PfStatClock();
    for (int k = 0; k < 1000; ++k) {
      int64_t now = PfStatClock();
      if (now < previous) ok[i] = 0;  // went back on one thread
      previous = now;
    }
  });
  EXPECT_NE(pf::HighResCounter(), pf::Counter::kUndecided);
  EXPECT_EQ(PfClockWrap.load(), 0xFFFFFFFFu);
  for (int i = 0; i < kThreads; ++i) EXPECT_EQ(ok[i], 1) << "thread " << i;
}

TEST(PfClockThreads, ConcurrentLocalTimeKeepsEachThreadsResult) {
  setenv("TZ", "Europe/Berlin", 1);
  tzset();
  // 26 Oct 2025, 01:00 UT: the first second of standard time; shift 1 h.
  const time_t first = 1761440400;
  const time_t lo = first - 3600, hi = first + 3600;
  constexpr int kThreads = 6;
  std::barrier start(kThreads);
  std::vector<const struct tm*> where(kThreads);
  std::vector<int> faults(kThreads);
  RunThreads(kThreads, [&](int i) {
    start.arrive_and_wait();
    // Each thread sweeps its own stretch, some inside the window and some
    // outside, so their cached windows and results differ.
    time_t from = lo - 1800 + i * 1500;
    for (time_t t = from; t < from + 1500; ++t) {
      time_t shown = t >= lo && t < hi ? lo + (t - lo) / 2 : t;
      struct tm want, mine;
      localtime_r(&shown, &want);
      struct tm* got = ContLocaltime(&t);
      if (got == nullptr || got->tm_hour != want.tm_hour || got->tm_min != want.tm_min ||
          got->tm_sec != want.tm_sec || got->tm_isdst != want.tm_isdst) {
        ++faults[i];
      }
      if ((t & 15) == 0 && (ThrLocaltime(&t, &mine) == nullptr || mine.tm_sec != want.tm_sec)) {
        ++faults[i];
      }
      where[i] = got;
    }
  });
  std::set<const struct tm*> distinct(where.begin(), where.end());
  EXPECT_EQ(distinct.size(), static_cast<size_t>(kThreads));
  for (int i = 0; i < kThreads; ++i) EXPECT_EQ(faults[i], 0) << "thread " << i;
}

}  // namespace
