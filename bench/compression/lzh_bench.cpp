// LZH beside zlib's raw deflate with the same 16 KB window (window bits
// -14), on two corpora of 4 MB: text (C++ headers; second argument 0) and
// mixed (C++ headers and a piece of an executable; argument 1).
// Compression at levels 1, 6 and 9 reports both compressed sizes;
// decompression decodes the same zlib level-6 bit stream of the mixed
// corpus with both. Aims: compression at most 1.0x zlib's time,
// decompression at most 0.85x.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <vector>

#include "compression/lzh.h"

namespace {

using Bytes = std::vector<uint8_t>;

void Append(Bytes& to, const std::filesystem::path& p, size_t max) {
  std::ifstream f(p, std::ios::binary);
  Bytes b((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  to.insert(to.end(), b.begin(), b.begin() + static_cast<std::ptrdiff_t>(std::min(max, b.size())));
}

Bytes MakeCorpus(bool mixed) {
  constexpr size_t kSize = 4 << 20;
  const size_t text = mixed ? kSize * 3 / 4 : kSize;
  Bytes c;
  std::error_code ec;
  std::vector<std::filesystem::path> files;
  for (const auto& e : std::filesystem::recursive_directory_iterator("/usr/include/c++", ec))
    if (e.is_regular_file()) files.push_back(e.path());
  std::sort(files.begin(), files.end());
  for (const auto& p : files) {
    if (c.size() >= text) break;
    Append(c, p, text - c.size());
  }
  if (mixed) Append(c, "/usr/bin/cmake", kSize - c.size());
  // Without those files: generated words.
  std::mt19937 rng(1);
  static const char* const kWords[] = {"alpha ", "beta ", "gamma ", "delta\n", "epsilon ", "zeta, "};
  while (c.size() < kSize) {
    const char* w = kWords[rng() % 6];
    c.insert(c.end(), w, w + std::strlen(w));
  }
  c.resize(kSize);
  return c;
}

const Bytes& Corpus(int kind = 1) {
  static const Bytes text = MakeCorpus(false);
  static const Bytes mixed = MakeCorpus(true);
  return kind == 0 ? text : mixed;
}

Bytes ZlibCompress(const Bytes& in, int level) {
  z_stream z{};
  deflateInit2(&z, level, Z_DEFLATED, -14, 8, Z_DEFAULT_STRATEGY);
  Bytes out(deflateBound(&z, in.size()));
  z.next_in = const_cast<Bytef*>(in.data());
  z.avail_in = static_cast<uInt>(in.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

size_t LzhCompress(CsRLzhDeflateState* st, const Bytes& in, int level, Bytes& out) {
  unsigned rd, wr;
  uint8_t dummy = 0;
  CsRLzhCompress(st, static_cast<unsigned>(in.size()), &dummy, 0, out.data(), 8, 1 | level << 4, &rd, &wr);
  size_t n = 8;
  int rc = CsRLzhCompress(st, static_cast<unsigned>(in.size()), in.data(), static_cast<unsigned>(in.size()),
                          out.data() + n, static_cast<unsigned>(out.size() - n), 0, &rd, &wr);
  n += wr;
  return rc == 1 ? n : 0;
}

void BM_LzhCompress(benchmark::State& st) {
  const Bytes& in = Corpus(static_cast<int>(st.range(1)));
  const int level = static_cast<int>(st.range(0));
  auto state = std::make_unique<CsRLzhDeflateState>();
  Bytes out(in.size() + in.size() / 8 + 1024);
  size_t n = 0;
  for (auto _ : st) benchmark::DoNotOptimize(n = LzhCompress(state.get(), in, level, out));
  if (n == 0) st.SkipWithError("compression did not end");
  st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * in.size()));
  st.counters["size_lzh"] = static_cast<double>(n);
  st.counters["size_zlib"] = static_cast<double>(ZlibCompress(in, level).size());
  st.counters["aim"] = 1.0;
}

void BM_LzhCompress__zlib(benchmark::State& st) {
  const Bytes& in = Corpus(static_cast<int>(st.range(1)));
  const int level = static_cast<int>(st.range(0));
  for (auto _ : st) benchmark::DoNotOptimize(ZlibCompress(in, level).size());
  st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * in.size()));
}

// The corpus as zlib's raw deflate at level 6, and the same bits behind an
// LZH header with a 2-bit filler count of 0.
struct Streams {
  Bytes raw, lzh;
};
const Streams& Compressed() {
  static const Streams s = [] {
    Streams r;
    r.raw = ZlibCompress(Corpus(), 6);
    uint32_t len = static_cast<uint32_t>(Corpus().size());
    r.lzh = {static_cast<uint8_t>(len), static_cast<uint8_t>(len >> 8), static_cast<uint8_t>(len >> 16),
             static_cast<uint8_t>(len >> 24), 0x12, 0x1F, 0x9D, 6};
    unsigned carry = 0;
    for (uint8_t b : r.raw) {
      r.lzh.push_back(static_cast<uint8_t>((b << 2) | carry));
      carry = b >> 6;
    }
    r.lzh.push_back(static_cast<uint8_t>(carry));
    return r;
  }();
  return s;
}

void BM_LzhDecompress(benchmark::State& st) {
  const Bytes& in = Compressed().lzh;
  auto state = std::make_unique<CsRLzhInflateState>();
  Bytes out(Corpus().size());
  unsigned rd, wr;
  for (auto _ : st) {
    CsRLzhDecompress(state.get(), in.data(), 8, out.data(), 0, 1, &rd, &wr);
    int rc = CsRLzhDecompress(state.get(), in.data() + 8, static_cast<unsigned>(in.size() - 8), out.data(),
                              static_cast<unsigned>(out.size()), 0, &rd, &wr);
    if (rc != 1 || wr != out.size()) st.SkipWithError("decompression failed");
  }
  st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * out.size()));
  st.counters["size_in"] = static_cast<double>(in.size());
  st.counters["aim"] = 0.85;
}

void BM_LzhDecompress__zlib(benchmark::State& st) {
  const Bytes& in = Compressed().raw;
  Bytes out(Corpus().size());
  for (auto _ : st) {
    z_stream z{};
    inflateInit2(&z, -15);
    z.next_in = const_cast<Bytef*>(in.data());
    z.avail_in = static_cast<uInt>(in.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    if (inflate(&z, Z_FINISH) != Z_STREAM_END) st.SkipWithError("inflate failed");
    inflateEnd(&z);
  }
  st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * out.size()));
}

BENCHMARK(BM_LzhCompress)->ArgsProduct({{1, 6, 9}, {0, 1}})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LzhCompress__zlib)->ArgsProduct({{1, 6, 9}, {0, 1}})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LzhDecompress)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LzhDecompress__zlib)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
