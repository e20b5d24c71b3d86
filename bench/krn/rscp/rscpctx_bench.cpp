// The converter's per-thread record on a thread that has it, beside the
// system's own thread-specific data lookup.
#include <benchmark/benchmark.h>
#include <pthread.h>

#include "krn/rscp/rscp.h"
#include "krn/thr/thr.h"

namespace {

void BM_GetThrCtx(benchmark::State& st) {
  ThrProcInit();
  rscpGetThrCtx();  // the record exists from here on
  for (auto _ : st) benchmark::DoNotOptimize(rscpGetThrCtx());
}

void BM_GetThrCtx__ref(benchmark::State& st) {
  static pthread_key_t key;
  static const bool made = pthread_key_create(&key, nullptr) == 0;
  static int value;
  pthread_setspecific(key, &value);
  for (auto _ : st) benchmark::DoNotOptimize(pthread_getspecific(key));
  (void)made;
}

BENCHMARK(BM_GetThrCtx);
BENCHMARK(BM_GetThrCtx__ref);

}  // namespace

BENCHMARK_MAIN();
