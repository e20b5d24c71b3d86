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
#include <thread>
#include <vector>

#include "krn/perf/pfclock.h"
#include "krn/perf/pfclock_int.h"
#include "support/testsupport.h"

namespace {

using tovtest::ChildResult;
using tovtest::RunInChild;

int64_t MonotonicUs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

int64_t RealtimeUs() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

void SetEnv(const char* var, const char* value) {
  if (value != nullptr) {
    setenv(var, value, 1);
  } else {
    unsetenv(var);
  }
}

// The expectations were computed with exact integer arithmetic (Python):
// floor(count * 10^6 / frequency); counts around 2^63 / 1000 are where
// multiplying first overflows.
TEST(PfClockConversion, ExactAcrossTheWholeRange) {
  struct Case {
    int64_t count, frequency, micros;
  };
  const Case cases[] = {
      {0, 1000000000, 0},
      {999, 1000000000, 0},
      {1000, 1000000000, 1},
      {9223372036854775, 1000000000, 9223372036854},
      {9223372036854776, 1000000000, 9223372036854},
      {9223372036854774999, 1000000000, 9223372036854774},
      {INT64_MAX, 1000000000, 9223372036854775},
      {4611686018427387904, 2400000000, 1921535841011411},
      {9223372036854776, 2400000000, 3843071682022},
      {INT64_MAX, 2400000000, 3843071682022823},
      {999, 10000000, 99},
      {9223372036854774999, 10000000, 922337203685477499},
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
    SetEnv("PFSTATCLOCK", stat);
    SetEnv("PFCLOCK", pf);
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
    ChildResult r = RunWithEnv(stat, nullptr, [] {
      if (PfClockWrap.load() != 0) return 10;
      if (pf::HighResCounter() != pf::Counter::kUndecided) return 11;
      PfStatClock();
      if (PfClockWrap.load() != 0xFFFFFFFFu) return 12;
      if (pf::HighResCounter() == pf::Counter::kUndecided) return 13;
      return FollowsMonotonic();
    });
    EXPECT_EQ(r.exit_code, 0) << (stat ? stat : "unset");
    EXPECT_EQ(r.err, "");
  }
}

TEST(PfStatClock, GettimeofdaySourceWrapsIn32BitsAndStepsInMilliseconds) {
  ChildResult r = RunWithEnv("gettimeofday", nullptr, [] {
    int64_t before = RealtimeUs();
    uint32_t v = static_cast<uint32_t>(PfStatClock());
    int64_t after = RealtimeUs();
    // The value is the wall clock in microseconds modulo 2^32, cut to the
    // millisecond.
    uint32_t lo = static_cast<uint32_t>(before / 1000 * 1000);
    if (static_cast<uint32_t>(v - lo) > static_cast<uint32_t>(after - before + 1000)) return 1;
    if (PfStatClock() > UINT32_MAX) return 2;
    int steps = 0;
    uint32_t last = v;
    int64_t until = MonotonicUs() + 20000;
    while (MonotonicUs() < until) {
      uint32_t now = static_cast<uint32_t>(PfStatClock());
      if (now != last) {
        if (static_cast<uint32_t>(now - last) % 1000 != 0) return 3;
        ++steps;
        last = now;
      }
    }
    if (steps < 5) return 4;
    return PfClockWrap.load() == 0 ? 0 : 5;  // the high-resolution source never ran
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

TEST(PfStatClock, CalibrationMeasuresTheChosenClock) {
  // Twenty reads of the wall clock in milliseconds steps cost nothing
  // measurable; of the microsecond clock, less than the 160 limit.
  ChildResult r = RunWithEnv(nullptr, "gettimeofday", [] {
    PfStatClock();
    return pf::ClockCostOfTen() == 0 ? 0 : 1;
  });
  EXPECT_EQ(r.exit_code, 0);
  r = RunWithEnv(nullptr, nullptr, [] {
    PfStatClock();
    return pf::ClockCostOfTen() < 80 && pf::ClockCostPerRead() <= 8 ? 0 : 1;
  });
  EXPECT_EQ(r.exit_code, 0);
}

TEST(PfHighResCounter, WindowsTimerVariableForcesThePerformanceCounter) {
  ChildResult r = RunInChild([] {
    setenv("WEQ_USE_WIN_TIMER", "", 1);  // existing is enough
    timespec a, b;
    clock_gettime(CLOCK_MONOTONIC, &a);
    int64_t c = 0;
    if (pf::HighResCount(&c) == 0) return 1;
    clock_gettime(CLOCK_MONOTONIC, &b);
    if (pf::HighResCounter() != pf::Counter::kPerfCounter) return 2;
    int64_t lo = a.tv_sec * 1000000000LL + a.tv_nsec, hi = b.tv_sec * 1000000000LL + b.tv_nsec;
    return c >= lo && c <= hi ? 0 : 3;
  });
  EXPECT_EQ(r.exit_code, 0);
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
  // Restricted to one processor, visiting the others fails quietly.
  ChildResult r = RunInChild([] {
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(sched_getcpu(), &one);
    sched_setaffinity(0, sizeof one, &one);
    uint64_t pinned = Affinity();
    bool ok = pf::ProbeCounter(pf::Counter::kPerfCounter);
    return ok && Affinity() == pinned ? 0 : 1;
  });
  EXPECT_EQ(r.exit_code, 0);
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
  for (const Zone& z : {Zone{"UTC", 0, 0}, Zone{"Europe/Berlin", -60, -60},
                        Zone{"America/New_York", 300, -60}, Zone{"Australia/Lord_Howe", -630, -30},
                        Zone{"Asia/Kolkata", -330, 0}}) {
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

void OnSignal(int) {
  g_signals.fetch_add(1);
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

TEST(NTSleep, UndisturbedSleepsLastTheirTime) {
  for (uint32_t ms : {0u, 1u, 25u}) {
    int64_t t0 = MonotonicUs();
    EXPECT_EQ(NT_SleepMs(ms), 0);
    EXPECT_GE(MonotonicUs() - t0, ms * 1000);
  }
  EXPECT_EQ(NT_SleepSec(0), 0);
}

TEST(NTSleep, SignalsDoNotShortenTheSleep) {
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
    struct sigaction sa = {};
    sa.sa_handler = OnSignal;
    sigaction(SIGUSR1, &sa, nullptr);
    std::atomic<bool> woke{false};
    std::thread sleeper([&] {
      NT_SleepMs(NT_SLEEP_INFINITE);
      woke = true;
    });
    for (int i = 0; i < 3; ++i) {
      NT_SleepMs(20);
      pthread_kill(sleeper.native_handle(), SIGUSR1);
    }
    NT_SleepMs(50);
    bool ok = !woke.load() && g_signals.load() == 3;
    _exit(ok ? 0 : 1);  // the sleeper never returns
    return 1;
  });
  EXPECT_EQ(r.exit_code, 0);
}

}  // namespace
