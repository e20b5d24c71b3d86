// The Japanese kernels on 1 MiB of Japanese text (kanji and kana pairs
// with ASCII words and half-width katakana) beside glibc iconv converting
// the same buffer between the same forms.
#include <benchmark/benchmark.h>
#include <iconv.h>

#include <random>
#include <vector>

#include "krn/rscp/rscpdat.h"

namespace {

constexpr size_t kSize = 1 << 20;
using Bytes = std::vector<uint8_t>;

// Shift-JIS text of JIS X 0208 rows 4, 5 and 16 to 46 (kana, level-1 kanji),
// with runs of ASCII and half-width katakana; it ends with ASCII.
const Bytes& Sjis() {
  static const Bytes text = [] {
    std::mt19937 rng(7);
    Bytes t;
    while (t.size() < kSize - 8) {
      const uint32_t r = rng() % 100;
      if (r < 80) {
        const int j1 = r < 30 ? 0x24 + int(rng() % 2) : 0x30 + int(rng() % 0x1F);
        const int j2 = 0x21 + int(rng() % 0x50);
        const int s1 = (j1 + 1) / 2 + 0x70;
        const int s2 = j2 + (j1 % 2 ? (j2 >= 0x60 ? 0x20 : 0x1F) : 0x7E);
        t.insert(t.end(), {uint8_t(s1), uint8_t(s2)});
      } else if (r < 95) {
        t.push_back(uint8_t('a' + rng() % 26));
      } else {
        t.push_back(uint8_t(0xA1 + rng() % 0x3F));
      }
    }
    t.insert(t.end(), {'e', 'n', 'd', '.'});
    return t;
  }();
  return text;
}

const Bytes& Euc() {
  static const Bytes text = [] {
    Bytes out(kSize * 2);
    int32_t ol = int32_t(out.size()), il = int32_t(Sjis().size());
    rscpSjisToEuc(out.data(), &ol, Sjis().data(), &il);
    out.resize(size_t(ol));
    return out;
  }();
  return text;
}

using Kernel = int (*)(uint8_t*, int32_t*, const uint8_t*, int32_t*);

void RunKernel(benchmark::State& st, Kernel k, const Bytes& in) {
  Bytes out(in.size() * 3);
  for (auto _ : st) {
    int32_t ol = int32_t(out.size()), il = int32_t(in.size());
    if (k(out.data(), &ol, in.data(), &il) != 0) st.SkipWithError("kernel failed");
    benchmark::DoNotOptimize(out.data());
  }
  st.SetBytesProcessed(int64_t(st.iterations() * in.size()));
}

void RunIconv(benchmark::State& st, const char* to, const char* from, const Bytes& in) {
  iconv_t cd = iconv_open(to, from);
  Bytes out(in.size() * 3);
  for (auto _ : st) {
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    char* ip = reinterpret_cast<char*>(const_cast<uint8_t*>(in.data()));
    char* op = reinterpret_cast<char*>(out.data());
    size_t il = in.size(), ol = out.size();
    if (iconv(cd, &ip, &il, &op, &ol) == size_t(-1)) st.SkipWithError("iconv failed");
    iconv(cd, nullptr, nullptr, &op, &ol);
    benchmark::DoNotOptimize(out.data());
  }
  iconv_close(cd);
  st.SetBytesProcessed(int64_t(st.iterations() * in.size()));
}

void BM_SjisToEuc(benchmark::State& st) { RunKernel(st, rscpSjisToEuc, Sjis()); }
void BM_SjisToEuc__iconv(benchmark::State& st) { RunIconv(st, "EUC-JP", "SHIFT_JIS", Sjis()); }
void BM_EucToSjis(benchmark::State& st) { RunKernel(st, rscpEucToSjis, Euc()); }
void BM_EucToSjis__iconv(benchmark::State& st) { RunIconv(st, "SHIFT_JIS", "EUC-JP", Euc()); }
void BM_SjisTo8200(benchmark::State& st) { RunKernel(st, rscpSjisTo8200, Sjis()); }
// glibc's ISO-2022-JP has no half-width katakana; ISO-2022-JP-3 has.
void BM_SjisTo8200__iconv(benchmark::State& st) { RunIconv(st, "ISO-2022-JP-3", "SHIFT_JIS", Sjis()); }

}  // namespace

BENCHMARK(BM_SjisToEuc);
BENCHMARK(BM_SjisToEuc__iconv);
BENCHMARK(BM_EucToSjis);
BENCHMARK(BM_EucToSjis__iconv);
BENCHMARK(BM_SjisTo8200);
BENCHMARK(BM_SjisTo8200__iconv);
BENCHMARK_MAIN();
