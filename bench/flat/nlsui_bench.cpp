// The character class slots (an atomic load, a wrapper and ICU's function
// reached through dlsym) beside ICU called directly, over a mixed text.
#include <benchmark/benchmark.h>
#include <unicode/uchar.h>

#include <vector>

#include "flat/nlsui.h"

namespace {

// ASCII, Latin-1, Greek and CJK units, 4096 of them.
std::vector<unsigned> Text() {
  std::vector<unsigned> t;
  for (unsigned i = 0; i < 4096; ++i) {
    t.push_back((i * 2654435761u >> 7) % 4 == 0 ? 0x4E00 + i : 0x20 + i % 0x380);
  }
  return t;
}

template <typename Fn>
void Classify(benchmark::State& st, Fn fn) {
  const auto t = Text();
  for (auto _ : st) {
    for (unsigned c : t) benchmark::DoNotOptimize(fn(c));
  }
  st.SetItemsProcessed(st.iterations() * static_cast<int64_t>(t.size()));
}

void BM_toupperU(benchmark::State& st) { Classify(st, [](unsigned c) { return toupperU(c); }); }
void BM_toupperU__u_toupper(benchmark::State& st) {
  Classify(st, [](unsigned c) { return u_toupper(static_cast<UChar32>(c)); });
}
void BM_isprintU(benchmark::State& st) { Classify(st, [](unsigned c) { return isprintU(c); }); }
void BM_isprintU__u_isprint(benchmark::State& st) {
  Classify(st, [](unsigned c) { return u_isprint(static_cast<UChar32>(c)); });
}

BENCHMARK(BM_toupperU);
BENCHMARK(BM_toupperU__u_toupper);
BENCHMARK(BM_isprintU);
BENCHMARK(BM_isprintU__u_isprint);

}  // namespace

BENCHMARK_MAIN();
