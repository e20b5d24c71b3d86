// LZC compression and decompression beside zlib at level 1, on a mixed
// corpus: C header text, the machine code of this executable and random
// bytes. Both run over the whole corpus in one call and in the pieces that
// the Java natives use (4128 bytes of plain data, 2080 of compressed data).
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "compression/csr.h"
#include "compression/lzc.h"

namespace {

using Bytes = std::vector<WEQ_RAW>;

void Append(Bytes& to, const std::string& path, size_t limit) {
  std::ifstream f(path, std::ios::binary);
  Bytes b((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  to.insert(to.end(), b.begin(), b.begin() + std::min(b.size(), limit));
}

const Bytes& Corpus() {
  static const Bytes corpus = [] {
    Bytes c;
    std::vector<std::string> headers;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator("/usr/include", ec))
      if (e.is_regular_file() && e.path().extension() == ".h") headers.push_back(e.path());
    std::sort(headers.begin(), headers.end());
    for (const auto& h : headers) {
      if (c.size() >= (2u << 20)) break;
      Append(c, h, (2u << 20) - c.size());
    }
    Append(c, "/proc/self/exe", 1u << 20);
    std::mt19937 rng(1);
    for (int i = 0; i < (1 << 19); ++i) c.push_back(static_cast<WEQ_RAW>(rng()));
    return c;
  }();
  return corpus;
}

// Compresses the corpus in pieces of at most in_piece and out_room bytes.
size_t LzcCompress(CSR_LZC_CSTATE* s, const Bytes& in, Bytes& out, int in_piece, int out_room) {
  size_t ip = 0, op = 0;
  int total = static_cast<int>(in.size());
  for (int opt = CSR_OPT_NEW_STREAM;; opt = 0) {
    int n = static_cast<int>(std::min<size_t>(in_piece, in.size() - ip)), read, written;
    int room = static_cast<int>(std::min<size_t>(out_room, out.size() - op));
    int rc = CsRLzcCompress(s, total, in.data() + ip, n, out.data() + op, room, opt, &read, &written);
    ip += read;
    op += written;
    if (rc != CSR_OUTPUT_FULL && rc != CSR_MORE_INPUT) return op;
  }
}

size_t LzcDecompress(CSR_LZC_DSTATE* s, const Bytes& in, Bytes& out, int in_piece, int out_room) {
  size_t ip = 0, op = 0;
  for (int opt = CSR_OPT_NEW_STREAM;; opt = 0) {
    int n = static_cast<int>(std::min<size_t>(in_piece, in.size() - ip)), read, written;
    int room = static_cast<int>(std::min<size_t>(out_room, out.size() - op));
    int rc = CsRLzcDecompress(s, in.data() + ip, n, out.data() + op, room, opt, &read, &written);
    ip += read;
    op += written;
    if (rc != CSR_OUTPUT_FULL && rc != CSR_MORE_INPUT) return op;
  }
}

int Piece(int64_t arg, size_t whole) { return arg == 0 ? static_cast<int>(whole) : static_cast<int>(arg); }

void BM_LzcCompress(benchmark::State& st) {
  const Bytes& in = Corpus();
  Bytes out(in.size() * 2 + 64);
  auto s = std::make_unique<CSR_LZC_CSTATE>();
  size_t n = 0;
  for (auto _ : st) n = LzcCompress(s.get(), in, out, Piece(st.range(0), in.size()), Piece(st.range(1), out.size()));
  st.SetBytesProcessed(st.iterations() * in.size());
  st.counters["ratio_out_in"] = static_cast<double>(n) / in.size();
}

void BM_LzcCompress__zlib1(benchmark::State& st) {
  const Bytes& in = Corpus();
  Bytes out(compressBound(in.size()));
  z_stream z{};
  deflateInit(&z, 1);
  size_t n = 0;
  for (auto _ : st) {
    deflateReset(&z);
    z.next_in = const_cast<WEQ_RAW*>(in.data());
    z.next_out = out.data();
    int in_piece = Piece(st.range(0), in.size()), out_room = Piece(st.range(1), out.size());
    int rc;
    do {
      z.avail_in = static_cast<uInt>(std::min<size_t>(in_piece, in.data() + in.size() - z.next_in));
      z.avail_out = static_cast<uInt>(std::min<size_t>(out_room, out.data() + out.size() - z.next_out));
      rc = deflate(&z, z.next_in + z.avail_in == in.data() + in.size() ? Z_FINISH : Z_NO_FLUSH);
    } while (rc != Z_STREAM_END && rc >= 0);
    n = z.total_out;
  }
  deflateEnd(&z);
  st.SetBytesProcessed(st.iterations() * in.size());
  st.counters["ratio_out_in"] = static_cast<double>(n) / in.size();
}

void BM_LzcDecompress(benchmark::State& st) {
  const Bytes& plain = Corpus();
  Bytes z(plain.size() * 2 + 64), out(plain.size() + 64);
  auto cs = std::make_unique<CSR_LZC_CSTATE>();
  z.resize(LzcCompress(cs.get(), plain, z, static_cast<int>(plain.size()), static_cast<int>(z.size())));
  auto s = std::make_unique<CSR_LZC_DSTATE>();
  for (auto _ : st) {
    size_t n = LzcDecompress(s.get(), z, out, Piece(st.range(0), z.size()), Piece(st.range(1), out.size()));
    if (n != plain.size()) st.SkipWithError("decoded length differs");
  }
  st.SetBytesProcessed(st.iterations() * plain.size());
}

void BM_LzcDecompress__zlib1(benchmark::State& st) {
  const Bytes& plain = Corpus();
  Bytes z(compressBound(plain.size())), out(plain.size() + 64);
  uLongf zn = z.size();
  compress2(z.data(), &zn, plain.data(), plain.size(), 1);
  z_stream d{};
  inflateInit(&d);
  for (auto _ : st) {
    inflateReset(&d);
    d.next_in = z.data();
    d.next_out = out.data();
    int in_piece = Piece(st.range(0), zn), out_room = Piece(st.range(1), out.size());
    int rc;
    do {
      d.avail_in = static_cast<uInt>(std::min<size_t>(in_piece, z.data() + zn - d.next_in));
      d.avail_out = static_cast<uInt>(std::min<size_t>(out_room, out.data() + out.size() - d.next_out));
      rc = inflate(&d, Z_NO_FLUSH);
    } while (rc == Z_OK);
    if (rc != Z_STREAM_END || d.total_out != plain.size()) st.SkipWithError("inflate failed");
  }
  inflateEnd(&d);
  st.SetBytesProcessed(st.iterations() * plain.size());
}

// Args: input piece, output room; 0 stands for the whole buffer.
BENCHMARK(BM_LzcCompress)->Args({0, 0})->Args({4128, 2080})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LzcCompress__zlib1)->Args({0, 0})->Args({4128, 2080})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LzcDecompress)->Args({0, 0})->Args({2080, 4128})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LzcDecompress__zlib1)->Args({0, 0})->Args({2080, 4128})->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
