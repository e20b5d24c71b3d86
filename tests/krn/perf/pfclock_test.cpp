// The statistics clock and its sources, the high-resolution counter, the
// wall clock and the sleeps. Choices made once per process are tested in
// child processes with their environment set there.
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/time.h>
#include <time.h>
#include <x86intrin.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "krn/perf/pfclock.h"
#include "krn/perf/pfclock_int.h"
#include "support/testsupport.h"

namespace {

using tovtest::ChildResult;
using tovtest::RunInChild;

int64_t Us(clockid_t clock) {
  timespec ts;
  clock_gettime(clock, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}
int64_t MonotonicUs() { return Us(CLOCK_MONOTONIC); }
int64_t RealtimeUs() { return Us(CLOCK_REALTIME); }

// The expectations were computed with exact integer arithmetic (Python):
// floor(count * 10^6 / frequency); counts around 2^63 / 1000 are where
// multiplying first overflows.
TEST(PfClockConversion, ExactAcrossTheWholeRange) {
  struct Case {
    int64_t count, frequency, micros;
  };
  const Case cases[] = {
      {999, 1000000000, 0},
      {9223372036854775, 1000000000, 9223372036854},
      {9223372036854776, 1000000000, 9223372036854},
      {9223372036854774999, 1000000000, 9223372036854774},
      {INT64_MAX, 1000000000, 9223372036854775},
      {9223372036854776, 2400000000, 3843071682022},
      {INT64_MAX, 2400000000, 3843071682022823},
      {999, 10000000, 99},
      {INT64_MAX, 10000000, 922337203685477580},
      {999, 3579545, 279},
      {10000000000000000, 3579545, 2793651148400145},
      {INT64_MAX, 3579545, 2576688388288113658},
      {999, 1, 999000000},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(pf::CountToMicros(c.count, c.frequency), c.micros)
        << c.count << " at " << c.frequency << " Hz";
  }
}

// Runs body in a child with PFSTATCLOCK and PFCLOCK set (NULL: unset).
ChildResult RunWithEnv(const char* stat, const char* pf, const std::function<int()>& body) {
  return RunInChild([=] {
    for (auto [var, value] : {std::pair{"PFSTATCLOCK", stat}, std::pair{"PFCLOCK", pf}}) {
      value ? setenv(var, value, 1) : unsetenv(var);
    }
    return body();
  });
}

// Whether PfStatClock measures a sleep of 30 ms like the monotonic clock.
int FollowsMonotonic() {
  int64_t c0 = PfStatClock(), m0 = MonotonicUs();
  timespec pause{0, 30 * 1000 * 1000};
  nanosleep(&pause, nullptr);
  int64_t c1 = PfStatClock(), m1 = MonotonicUs();
  int64_t ours = c1 - c0, ref = m1 - m0;
  // Within 12% (a time-stamp counter may run up to 10% off) and 2 ms.
  return std::llabs(ours - ref) <= ref / 8 + 2000 ? 0 : 1;
}

TEST(PfStatClock, HighResolutionSourceByDefaultOrByName) {
  for (const char* stat : {static_cast<const char*>(nullptr), "weq_clock"}) {
    for (bool winTimer : {false, true}) {
      ChildResult r = RunWithEnv(stat, nullptr, [winTimer] {
        if (winTimer) setenv("WEQ_USE_WIN_TIMER", "", 1);  // existing is enough
        if (PfClockWrap.load() != 0 || pf::HighResCounter() != pf::Counter::kUndecided) return 10;
        PfStatClock();
        if (PfClockWrap.load() != 0xFFFFFFFFu) return 11;
        pf::Counter chosen = pf::HighResCounter();
        if (chosen == pf::Counter::kUndecided) return 12;
        if (winTimer && chosen != pf::Counter::kPerfCounter) return 13;
        return FollowsMonotonic();
      });
      EXPECT_EQ(r.exit_code, 0) << (stat ? stat : "unset") << " " << winTimer;
      EXPECT_EQ(r.err, "");
    }
  }
}

TEST(PfStatClock, GettimeofdaySourceWrapsIn32BitsAndStepsInMilliseconds) {
  ChildResult r = RunWithEnv("gettimeofday", nullptr, [] {
    // The wall clock in microseconds modulo 2^32, cut to the millisecond.
    uint32_t lo = static_cast<uint32_t>(RealtimeUs() / 1000 * 1000);
    int64_t v = PfStatClock();
    uint32_t hi = static_cast<uint32_t>(RealtimeUs());
    if (v > UINT32_MAX || static_cast<uint32_t>(v) - lo > hi - lo) return 1;
    NT_SleepMs(3);
    uint32_t step = static_cast<uint32_t>(PfStatClock()) - static_cast<uint32_t>(v);
    if (step < 3000 || step % 1000 != 0) return 2;
    return PfClockWrap.load() == 0 ? 0 : 3;  // the high-resolution source never ran
  });
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, "");
}

TEST(PfStatClock, BadValuesAreReportedAndGiveTheDefault) {
  struct Case {
    const char* stat;
    const char* pf;
    std::string err;
  };
  const Case cases[] = {
      {"Gettimeofday", nullptr, "*** ERROR => bad PFSTATCLOCK variable >Gettimeofday<\n"},
      {"", nullptr, "*** ERROR => bad PFSTATCLOCK variable ><\n"},
      {nullptr, "bogus", "*** ERROR => bad PFCLOCK variable >bogus<\n"},
      {"weq_clock ", "WEQ_CLOCK",
       "*** ERROR => bad PFSTATCLOCK variable >weq_clock <\n"
       "*** ERROR => bad PFCLOCK variable >WEQ_CLOCK<\n"},
      {"gettimeofday", "bogus", ""},  // the calibration never runs
  };
  for (const Case& c : cases) {
    ChildResult r = RunWithEnv(c.stat, c.pf, [&c] {
      PfStatClock();
      PfStatClock();
      // Every bad value is taken for the high-resolution source.
      return c.err.empty() ? 0 : FollowsMonotonic();
    });
    EXPECT_EQ(r.exit_code, 0) << c.stat << " " << c.pf;
    EXPECT_EQ(r.err, c.err);
  }
}

uint64_t Affinity() {
  cpu_set_t set;
  CPU_ZERO(&set);
  sched_getaffinity(0, sizeof set, &set);
  uint64_t m = 0;
  for (int i = 0; i < 64; ++i) m |= CPU_ISSET(i, &set) ? uint64_t{1} << i : 0;
  return m;
}

TEST(PfHighResCounter, ProbeVisitsProcessorsAndRestoresAffinity) {
  uint64_t before = Affinity();
  EXPECT_TRUE(pf::ProbeCounter(pf::Counter::kPerfCounter));
  EXPECT_EQ(Affinity(), before);
  // The time-stamp counter is refused unless it runs at the performance
  // counter's rate (nanoseconds here), whatever the processors say.
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  double ratio = static_cast<double>(__rdtsc()) / (ts.tv_sec * 1e9 + ts.tv_nsec);
  bool tsc = pf::ProbeCounter(pf::Counter::kTimeStamp);
  if (ratio < 0.85 || ratio > 1.15) {
    EXPECT_FALSE(tsc) << "ratio " << ratio;
  }
  EXPECT_EQ(Affinity(), before);
}

TEST(NTgettimeofday, WallClockInMillisecondStepsAndTheZone) {
  timeval tv;
  int64_t before = RealtimeUs() / 1000 * 1000;
  EXPECT_EQ(NT_gettimeofday(&tv, nullptr), 0);
  int64_t after = RealtimeUs();
  int64_t ours = static_cast<int64_t>(tv.tv_sec) * 1000000 + tv.tv_usec;
  EXPECT_GE(ours, before);
  EXPECT_LE(ours, after);
  EXPECT_EQ(tv.tv_usec % 1000, 0);
  // Minutes west of standard time and the daylight-saving addition, by zone.
  struct Zone {
    const char* tz;
    int west, dst;
  };
  for (const Zone& z : {Zone{"Europe/Berlin", -60, -60}, Zone{"America/New_York", 300, -60},
                        Zone{"Australia/Lord_Howe", -630, -30}, Zone{"Asia/Kolkata", -330, 0}}) {
    ChildResult r = RunInChild([&z] {
      setenv("TZ", z.tz, 1);
      tzset();
      struct timezone tz = {1, 1};
      NT_gettimeofday(nullptr, &tz);
      printf("%d %d", tz.tz_minuteswest, tz.tz_dsttime);
      return 0;
    });
    EXPECT_EQ(r.out, std::to_string(z.west) + " " + std::to_string(z.dst)) << z.tz;
  }
}

// --- Sleeps ----------------------------------------------------------------------

std::atomic<int> g_signals{0};
std::atomic<int64_t> g_spinUntil{0};
std::atomic<int> g_exitAt{0};  // signal count at which the process ends

void OnSignal(int) {
  if (g_signals.fetch_add(1) + 1 == g_exitAt.load()) _exit(0);
  while (MonotonicUs() < g_spinUntil.load()) {
  }
}

// Signals every period_ms to this (single-threaded) child process.
void SignalEvery(int period_ms) {
  struct sigaction sa = {};
  sa.sa_handler = OnSignal;
  sigaction(SIGALRM, &sa, nullptr);
  itimerval it = {{0, period_ms * 1000}, {0, period_ms * 1000}};
  setitimer(ITIMER_REAL, &it, nullptr);
}

void StopSignals() {
  itimerval off = {};
  setitimer(ITIMER_REAL, &off, nullptr);
}

TEST(NTSleep, SignalsDoNotShortenTheSleep) {
  for (uint32_t ms : {0u, 1u, 25u}) {  // undisturbed
    int64_t t0 = MonotonicUs();
    EXPECT_EQ(NT_SleepMs(ms), 0);
    EXPECT_GE(MonotonicUs() - t0, ms * 1000);
  }
  EXPECT_EQ(NT_SleepSec(0), 0);
  ChildResult r = RunInChild([] {
    SignalEvery(30);
    int64_t t0 = MonotonicUs();
    int rc = NT_SleepMs(200);
    int64_t took = MonotonicUs() - t0;
    StopSignals();
    printf("rc %d signals %d full %d", rc, g_signals.load() >= 3, took >= 200000);
    return 0;
  });
  EXPECT_EQ(r.out, "rc 0 signals 1 full 1");
}

TEST(NTSleep, WokenAfterItsTimeReportsTheTimeout) {
  // The signal handler outlasts the sleep, so the wake-up comes after the
  // time has passed.
  struct Case {
    int spinMs, periodMs;
    int (*sleep)();
  };
  const Case cases[] = {
      {120, 20, [] { return NT_SleepMs(60); }},
      {1300, 100, [] { return NT_SleepSec(1); }},
  };
  for (const Case& c : cases) {
    ChildResult r = RunInChild([&c] {
      g_spinUntil = MonotonicUs() + c.spinMs * 1000;
      SignalEvery(c.periodMs);
      int rc = c.sleep();
      StopSignals();
      printf("rc %d", rc);
      return 0;
    });
    EXPECT_EQ(r.out, "rc 258") << "spin " << c.spinMs;
  }
}

TEST(NTSleep, InfiniteSleepOutlastsSignals) {
  ChildResult r = RunInChild([] {
    g_exitAt = 4;
    SignalEvery(15);
    NT_SleepMs(NT_SLEEP_INFINITE);
    return 1;  // woke up
  });
  EXPECT_EQ(r.exit_code, 0);
}

}  // namespace
