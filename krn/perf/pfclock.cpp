// The statistics clock, its sources, their calibration and the
// high-resolution counter.
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "krn/perf/pfclock_int.h"
#include "platform/affinity.h"
#include "platform/alertsleep.h"
#include "platform/perfcounter.h"

std::atomic<uint32_t> PfClockWrap{0};

namespace pf {

namespace {

// --- The high-resolution counter -------------------------------------------

using Reader = int (*)(int64_t*);

int PerfCounterReader(int64_t* count) { return PlatPerfCounter(count); }

int TimeStampReader(int64_t* count) {
  *count = static_cast<int64_t>(PlatTimeStampCounter());
  return 1;
}

int SelectingReader(int64_t* count);

// Starts at the selecting reader; the first caller replaces it with the
// chosen one. The start flag goes 1 -> 0 for that caller only.
std::atomic<Reader> g_reader{SelectingReader};
std::atomic<int32_t> g_startFlag{1};

int SelectingReader(int64_t* count) {
  int32_t expected = 1;
  if (g_startFlag.compare_exchange_strong(expected, 0, std::memory_order_acq_rel)) {
    Reader chosen = PerfCounterReader;
    if (getenv("WEQ_USE_WIN_TIMER") == nullptr && ProbeCounter(Counter::kTimeStamp)) {
      chosen = TimeStampReader;
    }
    g_reader.exchange(chosen, std::memory_order_acq_rel);
    return chosen(count);
  }
  Reader r;
  while ((r = g_reader.load(std::memory_order_acquire)) == SelectingReader) PlatSleepAlertable(100);
  return r(count);
}

int64_t Read(Counter which) {
  int64_t c = 0;
  if (which == Counter::kTimeStamp) {
    c = static_cast<int64_t>(PlatTimeStampCounter());
  } else {
    PlatPerfCounter(&c);
  }
  return c;
}

// --- The high-resolution source and its calibration --------------------------

std::atomic<int64_t> g_frequency{0};
std::atomic<bool> g_weqStarted{false};
std::atomic<bool> g_calibrated{false};
std::atomic<uint32_t> g_costOfTen{0};
std::atomic<ClockSource> g_pfClock{nullptr};

// Divisor of the 32-bit clock values: (source + 5) / 10 with source 10.
constexpr uint32_t kDivisorSource = 10;
constexpr uint32_t kDivisor = (kDivisorSource + 5) / 10;

uint32_t Calibrate() {
  ClockSource clock = g_pfClock.load(std::memory_order_relaxed);
  if (clock == nullptr) {
    clock = ChooseSource("PFCLOCK");
    g_pfClock.store(clock, std::memory_order_relaxed);
  }
  // 20 intervals between 21 reads, the cheapest of 200 rounds; rounds
  // disturbed by the scheduler (160 units and more) do not count.
  uint32_t best = 160;
  for (int round = 0; round < 200; ++round) {
    uint32_t t0 = static_cast<uint32_t>(clock());
    for (int i = 0; i < 19; ++i) clock();
    uint32_t t1 = static_cast<uint32_t>(clock());
    uint32_t d = t1 - t0;  // modulo 2^32: the wrap rule
    if (d < best) best = d;
  }
  return best < 160 ? best / 2 : 0;
}

}  // namespace

int HighResCount(int64_t* count) { return g_reader.load(std::memory_order_acquire)(count); }

Counter HighResCounter() {
  Reader r = g_reader.load(std::memory_order_acquire);
  if (r == PerfCounterReader) return Counter::kPerfCounter;
  if (r == TimeStampReader) return Counter::kTimeStamp;
  return Counter::kUndecided;
}

bool ProbeCounter(Counter which) {
  bool grows = true;
  uint64_t old = 0;
  // Without affinity control the processors cannot be visited one by one;
  // the counter then counts as growing everywhere.
  if (PlatThreadAffinityGet(&old) && PlatThreadAffinitySet(1)) {
    int n = PlatProcessorCount();
    int64_t previous = Read(which);
    for (int i = 1; i <= n; ++i) {
      PlatThreadAffinitySet(uint64_t{1} << ((i % n) % 64));
      int64_t now = Read(which);
      if (now <= previous) {
        grows = false;
        break;
      }
      previous = now;
    }
    PlatThreadAffinitySet(old);
  }
  if (!grows || which != Counter::kTimeStamp) return grows;
  // The counts are converted with the performance counter's frequency, so
  // the time-stamp counter must run at its rate. This holds also when the
  // processors could not be visited.
  double tsc = static_cast<double>(PlatTimeStampCounter());
  int64_t perf = 0;
  PlatPerfCounter(&perf);
  if (perf == 0) return false;
  double ratio = tsc / static_cast<double>(perf);
  return isfinite(ratio) && ratio > 0.9 && ratio < 1.1;
}

int64_t CountToMicros(int64_t count, int64_t frequency) {
  // count * 1000000 would pass 2^63 after about 106 days of a 1 GHz
  // counter; dividing first keeps every step in range.
  if (frequency == 1000000000) return count / 1000;
  int64_t seconds = count / frequency;
  int64_t rest = count % frequency;
  return seconds * 1000000 + rest * 1000000 / frequency;
}

int64_t WeqClock() {
  if (!g_weqStarted.load(std::memory_order_acquire)) {
    g_frequency.store(PlatPerfFrequency(), std::memory_order_relaxed);
    // The calibration may read this clock again (PFCLOCK unset); the flag
    // is set before it so that those reads go straight through.
    if (!g_calibrated.exchange(true, std::memory_order_acq_rel)) {
      g_costOfTen.store(Calibrate(), std::memory_order_relaxed);
      PfClockWrap.store(0xFFFFFFFFu / kDivisor, std::memory_order_release);
    }
    g_weqStarted.store(true, std::memory_order_release);
  }
  int64_t count = 0;
  HighResCount(&count);
  return CountToMicros(count, g_frequency.load(std::memory_order_relaxed));
}

int64_t GettimeofdayClock() {
  struct timeval tv;
  NT_gettimeofday(&tv, nullptr);
  return static_cast<uint32_t>(static_cast<uint32_t>(tv.tv_sec) * 1000000u +
                               static_cast<uint32_t>(tv.tv_usec));
}

ClockSource ChooseSource(const char* var) {
  const char* value = getenv(var);
  if (value == nullptr || strcmp(value, "weq_clock") == 0) return WeqClock;
  if (strcmp(value, "gettimeofday") == 0) return GettimeofdayClock;
  fprintf(stderr, "*** ERROR => bad %s variable >%s<\n", var, value);
  return WeqClock;
}

uint32_t ClockCostPerRead() { return (g_costOfTen.load(std::memory_order_relaxed) + 5) / 10; }

}  // namespace pf

namespace {
std::atomic<pf::ClockSource> g_statSource{nullptr};
}  // namespace

int64_t PfStatClock(void) {
  pf::ClockSource source = g_statSource.load(std::memory_order_relaxed);
  if (source == nullptr) [[unlikely]] {
    source = pf::ChooseSource("PFSTATCLOCK");
    g_statSource.store(source, std::memory_order_relaxed);
  }
  return source();
}
