// snprintfU16 beside glibc's snprintf formatting the same text: a trace-like
// line of strings and integers, integers alone, and floating point; and
// fprintfU16 beside fprintf. Aims: floating point and fprintfU16 at most
// 1.0x glibc.
#include <benchmark/benchmark.h>

#include <cstdio>

#include "i18n/wequ16/u16fmt.h"

namespace {

void BM_format_trace_line(benchmark::State& st) {
  WEQ_UC buf[256];
  int hdl = 17, port = 3300, rc = -104;
  for (auto _ : st) {
    benchmark::DoNotOptimize(hdl);
    int n = snprintfU16(buf, 256, u"%s: hdl %d peer %s:%d rc=%d (%s)\n", u"NiIRead", hdl,
                        u"appserver01.example.com", port, rc, u"NIECONN_BROKEN");
    benchmark::DoNotOptimize(n);
    benchmark::ClobberMemory();
  }
}

void BM_format_trace_line__glibc(benchmark::State& st) {
  char buf[256];
  int hdl = 17, port = 3300, rc = -104;
  for (auto _ : st) {
    benchmark::DoNotOptimize(hdl);
    int n = snprintf(buf, 256, "%s: hdl %d peer %s:%d rc=%d (%s)\n", "NiIRead", hdl,
                     "appserver01.example.com", port, rc, "NIECONN_BROKEN");
    benchmark::DoNotOptimize(n);
    benchmark::ClobberMemory();
  }
}

void BM_format_integers(benchmark::State& st) {
  WEQ_UC buf[128];
  long long a = 1234567890123LL;
  int b = -42;
  unsigned c = 0xdeadbeef;
  for (auto _ : st) {
    benchmark::DoNotOptimize(a);
    int n = snprintfU16(buf, 128, u"%lld %08d %#x %5u", a, b, c, c);
    benchmark::DoNotOptimize(n);
    benchmark::ClobberMemory();
  }
}

void BM_format_integers__glibc(benchmark::State& st) {
  char buf[128];
  long long a = 1234567890123LL;
  int b = -42;
  unsigned c = 0xdeadbeef;
  for (auto _ : st) {
    benchmark::DoNotOptimize(a);
    int n = snprintf(buf, 128, "%lld %08d %#x %5u", a, b, c, c);
    benchmark::DoNotOptimize(n);
    benchmark::ClobberMemory();
  }
}

void BM_format_float(benchmark::State& st) {
  WEQ_UC buf[128];
  double x = 3.14159265358979, y = -2.5e-7;
  for (auto _ : st) {
    benchmark::DoNotOptimize(x);
    int n = snprintfU16(buf, 128, u"t=%.3f ms, dev %e, ratio %g", x, y, x / 7);
    benchmark::DoNotOptimize(n);
    benchmark::ClobberMemory();
  }
  st.counters["aim"] = 1.0;
}

void BM_format_float__glibc(benchmark::State& st) {
  char buf[128];
  double x = 3.14159265358979, y = -2.5e-7;
  for (auto _ : st) {
    benchmark::DoNotOptimize(x);
    int n = snprintf(buf, 128, "t=%.3f ms, dev %e, ratio %g", x, y, x / 7);
    benchmark::DoNotOptimize(n);
    benchmark::ClobberMemory();
  }
}

// Stream output to /dev/null, beside glibc's fprintf of the same line.
void BM_fprintf_line(benchmark::State& st) {
  FILE* f = fopen("/dev/null", "w");
  for (auto _ : st) {
    int n = fprintfU16(f, u"%s: hdl %d peer %s:%d rc=%d (%s)\n", u"NiIRead", 17,
                       u"appserver01.example.com", 3300, -104, u"NIECONN_BROKEN");
    benchmark::DoNotOptimize(n);
  }
  fclose(f);
  st.counters["aim"] = 1.0;
}

void BM_fprintf_line__glibc(benchmark::State& st) {
  FILE* f = fopen("/dev/null", "w");
  for (auto _ : st) {
    int n = fprintf(f, "%s: hdl %d peer %s:%d rc=%d (%s)\n", "NiIRead", 17,
                    "appserver01.example.com", 3300, -104, "NIECONN_BROKEN");
    benchmark::DoNotOptimize(n);
  }
  fclose(f);
}

BENCHMARK(BM_format_trace_line);
BENCHMARK(BM_format_trace_line__glibc);
BENCHMARK(BM_format_integers);
BENCHMARK(BM_format_integers__glibc);
BENCHMARK(BM_format_float);
BENCHMARK(BM_format_float__glibc);
BENCHMARK(BM_fprintf_line);
BENCHMARK(BM_fprintf_line__glibc);

}  // namespace

BENCHMARK_MAIN();
