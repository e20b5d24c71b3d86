// The clocks beside the system calls they stand on.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <time.h>

#include "krn/perf/pfclock.h"

namespace {

void BM_PfStatClock(benchmark::State& st) {
  PfStatClock();  // the first call chooses and calibrates
  for (auto _ : st) benchmark::DoNotOptimize(PfStatClock());
}

void BM_PfStatClock__clock_gettime(benchmark::State& st) {
  for (auto _ : st) {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    benchmark::DoNotOptimize(static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000);
  }
}

void BM_NT_gettimeofday(benchmark::State& st) {
  for (auto _ : st) {
    timeval tv;
    NT_gettimeofday(&tv, nullptr);
    benchmark::DoNotOptimize(tv);
  }
}

void BM_NT_gettimeofday__clock_gettime(benchmark::State& st) {
  for (auto _ : st) {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    benchmark::DoNotOptimize(ts);
  }
}

// Far from a switch (argument 0), inside a window (1), each time asked for
// again as a trace line's time stamp is; and far from a switch with a new
// second on every call (2), where every call probes for a switch. Aim: at
// most 1.5x localtime_r.
constexpr time_t kSummer = 1751328000;    // 1 Jul 2025
constexpr time_t kInWindow = 1761438600;  // 26 Oct 2025 00:30 UT, Berlin

void InBerlin() {
  setenv("TZ", "Europe/Berlin", 1);
  tzset();
}

time_t Start(const benchmark::State& st) { return st.range(0) == 1 ? kInWindow : kSummer; }

// The step from one call's time to the next: 0 or a second.
time_t Step(const benchmark::State& st) { return st.range(0) == 2 ? 1 : 0; }

void BM_ContLocaltime(benchmark::State& st) {
  InBerlin();
  time_t t = Start(st);
  const time_t step = Step(st);
  for (auto _ : st) {
    benchmark::DoNotOptimize(ContLocaltime(&t));
    t += step;
  }
  st.counters["aim"] = 1.5;
}

// The reference of both: localtime_r at the same instants.
void LocaltimeR(benchmark::State& st) {
  InBerlin();
  time_t t = Start(st);
  const time_t step = Step(st);
  for (auto _ : st) {
    struct tm out;
    benchmark::DoNotOptimize(localtime_r(&t, &out));
    t += step;
  }
}

void BM_ThrLocaltime(benchmark::State& st) {
  InBerlin();
  time_t t = Start(st);
  const time_t step = Step(st);
  for (auto _ : st) {
    struct tm out;
    benchmark::DoNotOptimize(ThrLocaltime(&t, &out));
    t += step;
  }
  st.counters["aim"] = 1.5;
}

BENCHMARK(BM_PfStatClock);
BENCHMARK(BM_PfStatClock__clock_gettime);
BENCHMARK(BM_NT_gettimeofday);
BENCHMARK(BM_NT_gettimeofday__clock_gettime);
BENCHMARK(BM_ContLocaltime)->Arg(0)->Arg(1)->Arg(2);
BENCHMARK(LocaltimeR)->Name("BM_ContLocaltime__localtime_r")->Arg(0)->Arg(1)->Arg(2);
BENCHMARK(BM_ThrLocaltime)->Arg(0)->Arg(2);
BENCHMARK(LocaltimeR)->Name("BM_ThrLocaltime__localtime_r")->Arg(0)->Arg(2);

}  // namespace

BENCHMARK_MAIN();
