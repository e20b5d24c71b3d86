// strnlenU16 beside the standard library's length of a char16_t string.
#include <benchmark/benchmark.h>

#include <string>

#include "i18n/wequ16/u16str.h"

namespace {

std::u16string Text(size_t n) { return std::u16string(n, u'a'); }

void BM_strnlenU16(benchmark::State& st) {
  std::u16string s = Text(static_cast<size_t>(st.range(0)));
  for (auto _ : st) benchmark::DoNotOptimize(strnlenU16(s.c_str(), s.size() + 1));
  st.SetBytesProcessed(st.iterations() * st.range(0) * 2);
}

void BM_strnlenU16__char_traits_length(benchmark::State& st) {
  std::u16string s = Text(static_cast<size_t>(st.range(0)));
  for (auto _ : st) {
    const char16_t* p = s.c_str();
    benchmark::DoNotOptimize(p);
    benchmark::DoNotOptimize(std::char_traits<char16_t>::length(p));
  }
  st.SetBytesProcessed(st.iterations() * st.range(0) * 2);
}

BENCHMARK(BM_strnlenU16)->Arg(16)->Arg(4096);
BENCHMARK(BM_strnlenU16__char_traits_length)->Arg(16)->Arg(4096);

}  // namespace

BENCHMARK_MAIN();
