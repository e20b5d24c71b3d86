// An engine call's entry on a current converter object: pin the cache's
// generation, compare the object's version with the cache's, unpin. Beside
// it, in the same run, the read lock and unlock pair of a pthread_rwlock_t
// that a shared/exclusive design would take instead. Both at 1 and 8
// threads.
#include <benchmark/benchmark.h>
#include <pthread.h>

#include <cstdio>

#include "krn/rscp/rscp_int.h"
#include "krn/rscp/rscpmc_int.h"
#include "krn/thr/thr.h"

namespace {

uint32_t StartedVersion() {
  static const uint32_t version = [] {
    ThrProcInit();
    // The start's notices go to standard error; keep the report clean.
    FILE* saved = stderr;
    stderr = fopen("/dev/null", "w");
    rscpi_init(-1);
    fclose(stderr);
    stderr = saved;
    return rscpIGetPublishedCache()->reorg_version;
  }();
  return version;
}

void BM_EngineEntry(benchmark::State& st) {
  const uint32_t objVersion = StartedVersion();
  long stale = 0;
  for (auto _ : st) {
    rscpCCC_t* c = rscpPinCache();
    stale += rscpCacheVersion(c) != objVersion;
    benchmark::DoNotOptimize(c);
    rscpUnpinCache();
  }
  if (stale != 0) st.SkipWithError("object not current");
}
BENCHMARK(BM_EngineEntry)->Threads(1)->Threads(8)->UseRealTime();

pthread_rwlock_t gRw = PTHREAD_RWLOCK_INITIALIZER;

void BM_EngineEntry__ref(benchmark::State& st) {
  const uint32_t objVersion = StartedVersion();
  long stale = 0;
  for (auto _ : st) {
    pthread_rwlock_rdlock(&gRw);
    rscpCCC_t* c = rscpIGetPublishedCache();
    stale += rscpCacheVersion(c) != objVersion;
    benchmark::DoNotOptimize(c);
    pthread_rwlock_unlock(&gRw);
  }
  if (stale != 0) st.SkipWithError("object not current");
}
BENCHMARK(BM_EngineEntry__ref)->Threads(1)->Threads(8)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
