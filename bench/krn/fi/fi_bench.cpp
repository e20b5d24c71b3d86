// The fast index over descriptor-like keys (dense 32-bit numbers as two
// characters, as the socket select sets use it) beside std::unordered_map.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <random>
#include <unordered_map>
#include <vector>

#include "krn/fi/fi.h"

namespace {

struct Fixture {
  std::vector<int32_t> fds;
  std::vector<uint32_t> order;  // look-up order, shuffled
  void* block = nullptr;
  FI_HDL* hdl = nullptr;

  explicit Fixture(uint32_t n) : fds(n), order(n) {
    for (uint32_t i = 0; i < n; ++i) fds[i] = (int32_t)i + 3, order[i] = i;
    std::shuffle(order.begin(), order.end(), std::mt19937(7));
    const size_t size = FiSize(1, n < 2 ? 2 : n, 2, 0);
    block = aligned_alloc(16, (size + 15) & ~size_t{15});
    memset(block, 0, size);
    FI_HEADER* h = nullptr;
    FiInit(block, u"BENCH", 0, 1, n < 2 ? 2 : n, 2, 0, 0, &h);
    FiOpenIndex(h, 0, FI_MODE_LOCAL, fds.data(), 2, &hdl);
    for (int32_t& fd : fds) FiInsert(hdl, (const WEQ_UC*)&fd, &fd, nullptr);
  }
  ~Fixture() { free(block); }
};

void BM_FiLookup(benchmark::State& st) {
  Fixture f((uint32_t)st.range(0));
  size_t i = 0;
  for (auto _ : st) {
    uint32_t leaf = 0;
    FiLookup(f.hdl, (const WEQ_UC*)&f.fds[f.order[i]], &leaf);
    benchmark::DoNotOptimize(FiLeafValue(f.hdl, leaf));
    if (++i == f.order.size()) i = 0;
  }
}

void BM_FiLookup__unordered_map(benchmark::State& st) {
  Fixture f((uint32_t)st.range(0));
  std::unordered_map<int32_t, int32_t*> m;
  for (int32_t& fd : f.fds) m.emplace(fd, &fd);
  size_t i = 0;
  for (auto _ : st) {
    benchmark::DoNotOptimize(m.find(f.fds[f.order[i]])->second);
    if (++i == f.order.size()) i = 0;
  }
}

// One removal and one insertion of the same key per iteration.
void BM_FiRemoveInsert(benchmark::State& st) {
  Fixture f((uint32_t)st.range(0));
  size_t i = 0;
  for (auto _ : st) {
    int32_t* fd = &f.fds[f.order[i]];
    uint32_t leaf = 0;
    FiLookup(f.hdl, (const WEQ_UC*)fd, &leaf);
    FiRemove(f.hdl, leaf);
    FiInsert(f.hdl, (const WEQ_UC*)fd, fd, &leaf);
    benchmark::DoNotOptimize(leaf);
    if (++i == f.order.size()) i = 0;
  }
}

void BM_FiRemoveInsert__unordered_map(benchmark::State& st) {
  Fixture f((uint32_t)st.range(0));
  std::unordered_map<int32_t, int32_t*> m;
  for (int32_t& fd : f.fds) m.emplace(fd, &fd);
  size_t i = 0;
  for (auto _ : st) {
    int32_t* fd = &f.fds[f.order[i]];
    m.erase(*fd);
    benchmark::DoNotOptimize(m.emplace(*fd, fd).first);
    if (++i == f.order.size()) i = 0;
  }
}

BENCHMARK(BM_FiLookup)->Arg(64)->Arg(1024)->Arg(32768);
BENCHMARK(BM_FiLookup__unordered_map)->Arg(64)->Arg(1024)->Arg(32768);
BENCHMARK(BM_FiRemoveInsert)->Arg(64)->Arg(1024)->Arg(32768);
BENCHMARK(BM_FiRemoveInsert__unordered_map)->Arg(64)->Arg(1024)->Arg(32768);

}  // namespace

BENCHMARK_MAIN();
