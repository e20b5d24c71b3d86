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

// Far from a switch (every call probes for one) and inside a window (the
// cached window answers).
constexpr time_t kSummer = 1751328000;    // 1 Jul 2025
constexpr time_t kInWindow = 1761438600;  // 26 Oct 2025 00:30 UT, Berlin

void InBerlin() {
  setenv("TZ", "Europe/Berlin", 1);
  tzset();
}

void BM_ContLocaltime(benchmark::State& st) {
  InBerlin();
  time_t t = st.range(0) ? kInWindow : kSummer;
  for (auto _ : st) benchmark::DoNotOptimize(ContLocaltime(&t));
}

// The reference of both: localtime_r at the same instant.
void LocaltimeR(benchmark::State& st) {
  InBerlin();
  time_t t = st.range(0) ? kInWindow : kSummer;
  for (auto _ : st) {
    struct tm out;
    benchmark::DoNotOptimize(localtime_r(&t, &out));
  }
}

void BM_ThrLocaltime(benchmark::State& st) {
  InBerlin();
  time_t t = kSummer;
  for (auto _ : st) {
    struct tm out;
    benchmark::DoNotOptimize(ThrLocaltime(&t, &out));
  }
}

BENCHMARK(BM_PfStatClock);
BENCHMARK(BM_PfStatClock__clock_gettime);
BENCHMARK(BM_NT_gettimeofday);
BENCHMARK(BM_NT_gettimeofday__clock_gettime);
BENCHMARK(BM_ContLocaltime)->Arg(0)->Arg(1);
BENCHMARK(LocaltimeR)->Name("BM_ContLocaltime__localtime_r")->Arg(0)->Arg(1);
BENCHMARK(BM_ThrLocaltime)->Arg(0);
BENCHMARK(LocaltimeR)->Name("BM_ThrLocaltime__localtime_r")->Arg(0);

}  // namespace

BENCHMARK_MAIN();
