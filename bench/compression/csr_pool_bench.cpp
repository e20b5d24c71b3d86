// One short message through the whole pool cycle (take a handle, start the
// stream, one call, give the handle back) beside zlib's full cycle for a
// raw deflate stream (deflateInit2, deflate, deflateEnd; likewise for
// inflate), as a caller that compresses single protocol messages pays it.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "compression/csr.h"
#include "krn/thr/thr.h"

namespace {

using Bytes = std::vector<WEQ_RAW>;

// A 1 KB message of protocol-like text.
const Bytes& Message() {
  static const Bytes msg = [] {
    static const char* const kWords[] = {"FUNCTION", "RFC_READ_TABLE", "QUERY_TABLE", "FIELDS",
                                         "OPTIONS",  "ROWCOUNT",       "0000000100",  "DATA",
                                         "WA",       "MANDT",          "800",         "CLIENT",
                                         "|",        " ",              "\n",          "EXPORT"};
    std::mt19937 rng(3);
    std::string s;
    while (s.size() < 1024) s += kWords[rng() % 16];
    s.resize(1024);
    return Bytes(s.begin(), s.end());
  }();
  return msg;
}

// zlib settings that mirror each of our algorithms.
struct ZlibLike {
  int level;
  int window_bits;
};
constexpr ZlibLike kLikeLzc{1, -15};
constexpr ZlibLike kLikeLzh{2, -14};

int PoolCompress(const Bytes& in, Bytes& out, int options) {
  int h = 0, r = 0, w = 0;
  if (CsRGetHandle(&h) != 0) return -1;
  int total = static_cast<int>(in.size());
  int rc = CsRInitCompress(h, out.data(), total, options);
  if (rc == 0)
    rc = CsRCompress(h, total, in.data(), total, out.data() + 8, static_cast<int>(out.size() - 8), 0,
                     &r, &w);
  CsRCloseHandle(h);
  return rc == CSR_END_OF_STREAM ? 8 + w : -1;
}

int PoolDecompress(const Bytes& in, Bytes& out) {
  int h = 0, r = 0, w = 0;
  if (CsRGetHandle(&h) != 0) return -1;
  int rc = CsRInitDecompress(h, in.data());
  if (rc == 0)
    rc = CsRDecompress(h, in.data() + 8, static_cast<int>(in.size() - 8), out.data(),
                       static_cast<int>(out.size()), 0, &r, &w);
  CsRCloseHandle(h);
  return rc == CSR_END_OF_STREAM ? w : -1;
}

int ZlibCompress(const Bytes& in, Bytes& out, ZlibLike z) {
  z_stream s{};
  if (deflateInit2(&s, z.level, Z_DEFLATED, z.window_bits, 8, Z_DEFAULT_STRATEGY) != Z_OK) return -1;
  s.next_in = const_cast<WEQ_RAW*>(in.data());
  s.avail_in = static_cast<uInt>(in.size());
  s.next_out = out.data();
  s.avail_out = static_cast<uInt>(out.size());
  int rc = deflate(&s, Z_FINISH);
  int n = static_cast<int>(s.total_out);
  deflateEnd(&s);
  return rc == Z_STREAM_END ? n : -1;
}

int ZlibDecompress(const Bytes& in, Bytes& out, ZlibLike z) {
  z_stream s{};
  if (inflateInit2(&s, z.window_bits) != Z_OK) return -1;
  s.next_in = const_cast<WEQ_RAW*>(in.data());
  s.avail_in = static_cast<uInt>(in.size());
  s.next_out = out.data();
  s.avail_out = static_cast<uInt>(out.size());
  int rc = inflate(&s, Z_FINISH);
  int n = static_cast<int>(s.total_out);
  inflateEnd(&s);
  return rc == Z_STREAM_END ? n : -1;
}

// Runs one whole cycle per iteration; fn returns the bytes it made or -1.
template <class Fn>
void Cycle(benchmark::State& st, const Bytes& in, Bytes& out, Fn fn) {
  int n = 0;
  for (auto _ : st) benchmark::DoNotOptimize(n = fn(in, out));
  if (n < 0) st.SkipWithError("a cycle failed");
  st.SetBytesProcessed(st.iterations() * Message().size());
  st.counters["out_bytes"] = n;
}

void CompressCycle(benchmark::State& st, int options) {
  Bytes out(4096);
  Cycle(st, Message(), out, [options](const Bytes& in, Bytes& o) { return PoolCompress(in, o, options); });
}

void ZlibCompressCycle(benchmark::State& st, ZlibLike z) {
  Bytes out(4096);
  Cycle(st, Message(), out, [z](const Bytes& in, Bytes& o) { return ZlibCompress(in, o, z); });
}

// The decoded message is checked once, after the timed cycles.
void DecompressCycle(benchmark::State& st, int options) {
  Bytes z(4096), out(Message().size());
  z.resize(std::max(PoolCompress(Message(), z, options), 8));
  Cycle(st, z, out, PoolDecompress);
  if (out != Message()) st.SkipWithError("decompression differs");
}

void ZlibDecompressCycle(benchmark::State& st, ZlibLike zl) {
  Bytes z(4096), out(Message().size());
  z.resize(std::max(ZlibCompress(Message(), z, zl), 0));
  Cycle(st, z, out, [zl](const Bytes& in, Bytes& o) { return ZlibDecompress(in, o, zl); });
  if (out != Message()) st.SkipWithError("inflate differs");
}

void BM_PoolLzcCompress1K(benchmark::State& st) { CompressCycle(st, CSR_OPT_LZC); }
void BM_PoolLzcCompress1K__zlib(benchmark::State& st) { ZlibCompressCycle(st, kLikeLzc); }
void BM_PoolLzhCompress1K(benchmark::State& st) { CompressCycle(st, CSR_OPT_LZH); }
void BM_PoolLzhCompress1K__zlib(benchmark::State& st) { ZlibCompressCycle(st, kLikeLzh); }
void BM_PoolLzhBlockCompress1K(benchmark::State& st) { CompressCycle(st, CSR_OPT_LZH | CSR_OPT_BLOCK); }
void BM_PoolLzhBlockCompress1K__zlib(benchmark::State& st) { ZlibCompressCycle(st, kLikeLzh); }
void BM_PoolLzcDecompress1K(benchmark::State& st) { DecompressCycle(st, CSR_OPT_LZC); }
void BM_PoolLzcDecompress1K__zlib(benchmark::State& st) { ZlibDecompressCycle(st, kLikeLzc); }
void BM_PoolLzhDecompress1K(benchmark::State& st) { DecompressCycle(st, CSR_OPT_LZH); }
void BM_PoolLzhDecompress1K__zlib(benchmark::State& st) { ZlibDecompressCycle(st, kLikeLzh); }
void BM_PoolLzhBlockDecompress1K(benchmark::State& st) { DecompressCycle(st, CSR_OPT_LZH | CSR_OPT_BLOCK); }
void BM_PoolLzhBlockDecompress1K__zlib(benchmark::State& st) { ZlibDecompressCycle(st, kLikeLzh); }

BENCHMARK(BM_PoolLzcCompress1K);
BENCHMARK(BM_PoolLzcCompress1K__zlib);
BENCHMARK(BM_PoolLzhCompress1K);
BENCHMARK(BM_PoolLzhCompress1K__zlib);
BENCHMARK(BM_PoolLzhBlockCompress1K);
BENCHMARK(BM_PoolLzhBlockCompress1K__zlib);
BENCHMARK(BM_PoolLzcDecompress1K);
BENCHMARK(BM_PoolLzcDecompress1K__zlib);
BENCHMARK(BM_PoolLzhDecompress1K);
BENCHMARK(BM_PoolLzhDecompress1K__zlib);
BENCHMARK(BM_PoolLzhBlockDecompress1K);
BENCHMARK(BM_PoolLzhBlockDecompress1K__zlib);

}  // namespace

int main(int argc, char** argv) {
  ThrProcInit();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
