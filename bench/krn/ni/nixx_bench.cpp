// The NI handle table: taking and returning a record, and resolving a
// handle number to its record, beside an unordered_map of records (the
// obvious table a caller would otherwise keep).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <memory>
#include <random>
#include <unordered_map>
#include <vector>

#include "krn/ni/nixx_int.h"
#include "krn/thr/thr.h"

namespace {

constexpr int kHandles = 2048;

struct Lib {
  Lib() {
    ThrProcInit();
    NiInit3(kHandles);
  }
  ~Lib() { NiExit(); }
};

void BM_NiCreateClose(benchmark::State& st) {
  Lib lib;
  for (auto _ : st) {
    NITAB* rec = nullptr;
    NiICreateHandle(&rec, NI_INITIAL_CON, nullptr);
    NiICloseHandle(rec, 1, 0);
    benchmark::DoNotOptimize(rec);
  }
}
BENCHMARK(BM_NiCreateClose);

void BM_NiCreateClose__ref(benchmark::State& st) {
  std::unordered_map<int32_t, std::unique_ptr<NITAB>> table;
  int32_t next = 0;
  for (auto _ : st) {
    int32_t h = next++;
    table.emplace(h, std::make_unique<NITAB>());
    table.erase(h);
  }
}
BENCHMARK(BM_NiCreateClose__ref);

std::vector<NI_HDL> Shuffled(std::vector<NI_HDL> v) {
  std::shuffle(v.begin(), v.end(), std::mt19937(11));
  return v;
}

void BM_NiHdlCheck(benchmark::State& st) {
  Lib lib;
  std::vector<NI_HDL> hdls;
  for (int i = 0; i < kHandles; ++i) {
    NITAB* rec = nullptr;
    NiICreateHandle(&rec, NI_INITIAL_CON, nullptr);
    rec->mType.store(NI_CONNECTED);
    hdls.push_back(rec->mHdl.load());
  }
  hdls = Shuffled(hdls);
  size_t i = 0;
  for (auto _ : st) {
    NITAB* rec = nullptr;
    NiIHdlCheck(hdls[i++ & (kHandles - 1)], u"bench", &rec);
    benchmark::DoNotOptimize(rec);
  }
}
BENCHMARK(BM_NiHdlCheck);

void BM_NiHdlCheck__ref(benchmark::State& st) {
  std::unordered_map<NI_HDL, std::unique_ptr<NITAB>> table;
  std::vector<NI_HDL> hdls;
  for (int i = 0; i < kHandles; ++i) {
    table.emplace(i * 8, std::make_unique<NITAB>());
    hdls.push_back(i * 8);
  }
  hdls = Shuffled(hdls);
  size_t i = 0;
  for (auto _ : st) {
    auto it = table.find(hdls[i++ & (kHandles - 1)]);
    benchmark::DoNotOptimize(it);
  }
}
BENCHMARK(BM_NiHdlCheck__ref);

}  // namespace

BENCHMARK_MAIN();
