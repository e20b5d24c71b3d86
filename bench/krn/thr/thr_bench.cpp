// Locks and keys of the thread library beside the raw pthread calls they
// stand on.
#include <benchmark/benchmark.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "krn/thr/thr.h"

namespace {

pthread_mutex_t g_raw = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;

// Aim: uncontended at most 1.1x the pthread pair.
void BM_ThrCS(benchmark::State& st) {
  ThrProcInit();
  static ThrCS cs;  // zero-filled, initialised by its first lock
  for (auto _ : st) {
    ThrCSLock(&cs);
    ThrCSUnlock(&cs);
  }
  if (st.threads() == 1) st.counters["aim"] = 1.1;
}

// The reference of every lock: a recursive pthread mutex pair.
void RawPair(benchmark::State& st) {
  for (auto _ : st) {
    pthread_mutex_lock(&g_raw);
    pthread_mutex_unlock(&g_raw);
  }
}

void BM_ThrMtx(benchmark::State& st) {
  ThrProcInit();
  static ThrMtx m;
  if (st.thread_index() == 0) ThrMtxInit(&m, u"bench");
  for (auto _ : st) {
    ThrMtxLock(&m);
    ThrMtxUnlock(&m);
  }
}

void BM_ThrRecMtx(benchmark::State& st) {
  static ThrRecMtx m;
  static bool once = (ThrRecMtxInit(&m, u"dptrace"), true);
  (void)once;
  for (auto _ : st) {
    ThrRecMtxLock(&m);
    ThrRecMtxUnlock(&m);
  }
}

ThrKey g_key = THR_KEY_NONE;
int g_value;

void BM_ThrKeyVarGet(benchmark::State& st) {
  ThrKeyVarSet(&g_key, &g_value);
  for (auto _ : st) benchmark::DoNotOptimize(ThrKeyVarGet(&g_key));
}

pthread_key_t RawKey() {
  static pthread_key_t k = [] {
    pthread_key_t key;
    pthread_key_create(&key, nullptr);
    return key;
  }();
  return k;
}

void BM_ThrKeyVarGet__pthread(benchmark::State& st) {
  pthread_key_t k = RawKey();
  pthread_setspecific(k, &g_value);
  for (auto _ : st) benchmark::DoNotOptimize(pthread_getspecific(k));
}

void BM_ThrKeyVarSet(benchmark::State& st) {
  for (auto _ : st) ThrKeyVarSet(&g_key, &g_value);
}

void BM_ThrKeyVarSet__pthread(benchmark::State& st) {
  pthread_key_t k = RawKey();
  for (auto _ : st) pthread_setspecific(k, &g_value);
}

void BM_ThrCurrentId(benchmark::State& st) {
  for (auto _ : st) benchmark::DoNotOptimize(ThrCurrentId());
}

void BM_ThrCurrentId__gettid(benchmark::State& st) {
  for (auto _ : st) benchmark::DoNotOptimize(syscall(SYS_gettid));
}

BENCHMARK(BM_ThrCS);
BENCHMARK(RawPair)->Name("BM_ThrCS__pthread");
BENCHMARK(BM_ThrCS)->Threads(4);
BENCHMARK(RawPair)->Name("BM_ThrCS__pthread")->Threads(4);
BENCHMARK(BM_ThrMtx);
BENCHMARK(RawPair)->Name("BM_ThrMtx__pthread");
BENCHMARK(BM_ThrRecMtx);
BENCHMARK(RawPair)->Name("BM_ThrRecMtx__pthread");
BENCHMARK(BM_ThrKeyVarGet);
BENCHMARK(BM_ThrKeyVarGet__pthread);
BENCHMARK(BM_ThrKeyVarSet);
BENCHMARK(BM_ThrKeyVarSet__pthread);
BENCHMARK(BM_ThrCurrentId);
BENCHMARK(BM_ThrCurrentId__gettid);

}  // namespace

BENCHMARK_MAIN();
