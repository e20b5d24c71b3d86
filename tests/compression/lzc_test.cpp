// LZC against the classic .Z tools: our streams, after their first five
// bytes, must be what `gzip -dc` reads, and `compress -b13` output with
// five bytes in front must decode here. Every run hands its pieces over in
// buffers of their exact size so that the sanitizers see any overrun.
#include "compression/lzc.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "compression/csr.h"
#include "compression/csr_stream.h"
#include "support/testsupport.h"

namespace {

using Bytes = std::string;
using Next = std::function<int()>;

Bytes Text(size_t n, uint32_t seed) {
  static const char* words[] = {"the ",   "stream ", "of ",    "compressed ", "data ",  "header ",
                                "code ",  "table ",  "group ", "bits ",       "reset ", "\n",
                                "LZW ",   "ratio ",  "and ",   "a ",          "input ", "output "};
  std::mt19937 rng(seed);
  Bytes s;
  while (s.size() < n) s += words[rng() % 18];
  s.resize(n);
  return s;
}

Bytes Random(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes s(n, 0);
  for (auto& c : s) c = static_cast<char>(rng());
  return s;
}

Bytes Runs(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes s;
  while (s.size() < n) s.append(1 + rng() % 300, static_cast<char>(rng() % 4));
  s.resize(n);
  return s;
}

Bytes Ascending() {  // 0..255 and one more byte
  Bytes s;
  for (int i = 0; i < 256; ++i) s.push_back(static_cast<char>(i));
  return s + "A";
}

const WEQ_RAW* U(const Bytes& b) { return reinterpret_cast<const WEQ_RAW*>(b.data()); }

// A piece in a heap block of exactly its size (never NULL), so that the
// sanitizers see any access beyond it.
std::unique_ptr<WEQ_RAW[]> Exact(const Bytes& b, size_t at, size_t n) {
  std::unique_ptr<WEQ_RAW[]> p(new WEQ_RAW[n]);
  memcpy(p.get(), b.data() + at, n);
  return p;
}

Next Fixed(int n) {
  return [n] { return n; };
}
Next Seq(std::vector<int> v, int then) {
  auto i = std::make_shared<size_t>(0);
  return [v, then, i] { return *i < v.size() ? v[(*i)++] : then; };
}
Next Rand(uint32_t seed, int lo, int hi) {
  auto rng = std::make_shared<std::mt19937>(seed);
  return [rng, lo, hi] { return lo + static_cast<int>((*rng)() % (hi - lo + 1)); };
}

// Drives a compression through pieces and output rooms as the calling
// contract says; a room too small for owed bytes is retried with 13.
Bytes Compress(const Bytes& data, Next piece, Next room, int total = -1) {
  if (total < 0) total = static_cast<int>(data.size());
  auto s = std::make_unique<CSR_LZC_CSTATE>();
  Bytes out;
  size_t pos = 0;
  for (int call = 0;; ++call) {
    EXPECT_LT(call, 4 * static_cast<int>(data.size()) + 100) << "no progress";
    if (call >= 4 * static_cast<int>(data.size()) + 100) return out;
    int p = std::min<int>(piece(), static_cast<int>(data.size() - pos));
    int r = room();
    if (call == 0) r = std::max(r, 8);
    auto in = Exact(data, pos, p);
    std::unique_ptr<WEQ_RAW[]> buf(new WEQ_RAW[r]);
    int read, written;
    int rc = CsRLzcCompress(s.get(), total, in.get(), p, buf.get(), r, call == 0, &read, &written);
    if (rc == CSR_E_OUT_ROOM) {
      EXPECT_LT(r, 13);
      EXPECT_EQ(read + written, 0);
      buf.reset(new WEQ_RAW[r = 13]);
      rc = CsRLzcCompress(s.get(), total, in.get(), p, buf.get(), r, 0, &read, &written);
    }
    out.append(reinterpret_cast<char*>(buf.get()), written);
    pos += read;
    if (rc == CSR_END_OF_STREAM) return out;
    if (rc == CSR_OUTPUT_FULL) {
      EXPECT_EQ(written, r);
    } else {
      EXPECT_EQ(rc, CSR_MORE_INPUT);
      EXPECT_EQ(read, p);
      if (rc != CSR_MORE_INPUT) return out;
    }
  }
}

Bytes CompressAll(const Bytes& data) {
  return Compress(data, Fixed(static_cast<int>(data.size())), Fixed(2 * static_cast<int>(data.size()) + 64));
}

struct Decoded {
  Bytes data;
  int rc = 0;
};

// Drives a decompression; when all input has been given and the decoder
// asks for more, one call without input follows, as callers do.
Decoded Decompress(const Bytes& stream, Next piece, Next room) {
  auto s = std::make_unique<CSR_LZC_DSTATE>();
  Decoded d;
  size_t pos = 0;
  bool final_call = false;
  for (int call = 0; call < 200000; ++call) {
    int p = std::min<int>(piece(), static_cast<int>(stream.size() - pos));
    if (call == 0) p = std::min<int>(std::max(p, 8), static_cast<int>(stream.size()));
    int r = std::max(room(), call == 0 ? 0 : 1);
    auto in = Exact(stream, pos, p);
    std::unique_ptr<WEQ_RAW[]> buf(new WEQ_RAW[r]);
    int read, written;
    d.rc = CsRLzcDecompress(s.get(), in.get(), p, buf.get(), r, call == 0, &read, &written);
    d.data.append(reinterpret_cast<char*>(buf.get()), written);
    pos += read;
    if (d.rc == CSR_OUTPUT_FULL) {
      EXPECT_EQ(written, r);
      continue;
    }
    if (d.rc != CSR_MORE_INPUT || final_call) return d;
    EXPECT_EQ(read, p);
    final_call = pos == stream.size();
  }
  ADD_FAILURE() << "no progress";
  return d;
}

Decoded DecompressAll(const Bytes& stream, int room = 1 << 24) {
  return Decompress(stream, Fixed(static_cast<int>(stream.size())), Fixed(room));
}

// Runs a shell command with the data on its standard input. compress exits
// with 2 when its output is not smaller, and writes it all the same.
Bytes Tool(const std::string& cmd, const Bytes& input) {
  tovtest::TempDir dir;
  tovtest::WriteFile(dir.File("in"), input);
  std::string line = cmd + " <" + dir.File("in") + " >" + dir.File("out");
  int status = std::system(line.c_str());
  EXPECT_TRUE(WIFEXITED(status) && (WEXITSTATUS(status) == 0 || WEXITSTATUS(status) == 2)) << line;
  return tovtest::ReadFile(dir.File("out"));
}

Bytes GzipDecode(const Bytes& stream) { return Tool("gzip -dc", stream.substr(5)); }

// An independent reading of the code layout: each code with its width, bit
// position behind the header and the length of the string it stands for.
struct Code {
  int code, width;
  size_t bit, bytes;
};
std::vector<Code> ParseCodes(const Bytes& stream) {
  std::vector<Code> codes;
  std::vector<size_t> len(8193, 1);
  size_t nbits = (stream.size() - 8) * 8, pos = 0, gstart = 0;
  int w = 9, next = 257, old = -1;
  auto align = [&] { pos = gstart + (pos - gstart + w * 8 - 1) / (w * 8) * (w * 8); gstart = pos; };
  while (pos + w <= nbits) {
    int c = 0;
    for (int k = 0; k < w; ++k, ++pos)
      c |= ((static_cast<unsigned char>(stream[8 + pos / 8]) >> (pos % 8)) & 1) << k;
    if (c == 256) {
      codes.push_back({c, w, pos - w, 0});
      align();
      w = 9, next = 257, old = -1;
      continue;
    }
    size_t n = c == next ? len[old] + 1 : len[c];
    codes.push_back({c, w, pos - w, n});
    if (old >= 0 && next < 8192) len[next++] = len[old] + 1;
    old = c;
    if (next > (w == 13 ? 8192 : (1 << w) - 1)) align(), ++w;
  }
  return codes;
}

Bytes Le32(uint32_t v) {
  return Bytes{static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
               static_cast<char>(v >> 24)};
}

// A .Z file with our five bytes in front: the length and the algorithm.
Bytes FromDotZ(const Bytes& z, size_t length) { return Le32(static_cast<uint32_t>(length)) + "\x11" + z; }

// Codes packed least-significant bit first at the given widths.
Bytes Pack(const std::vector<std::pair<int, int>>& codes) {
  Bytes out;
  size_t bit = 0;
  for (auto [c, w] : codes)
    for (int k = 0; k < w; ++k, ++bit) {
      if (bit % 8 == 0) out.push_back(0);
      out.back() = static_cast<char>(out.back() | (((c >> k) & 1) << (bit % 8)));
    }
  return out;
}

Bytes Header(uint32_t length, int param = 0x8D, int alg = 0x11) {
  return Le32(length) + Bytes{static_cast<char>(alg), '\x1F', '\x9D', static_cast<char>(param)};
}

struct Sample {
  const char* name;
  Bytes data;
};
std::vector<Sample> SmallSamples() {
  return {{"text", Text(300, 1)}, {"runs", Runs(260, 2)}, {"random", Random(120, 3)}, {"ascending", Ascending()}};
}

// Every split of the input into two pieces, every first output room, and
// small constant rooms with one-byte pieces give the one-shot stream, which
// gzip reads back.
TEST(LzcCompress, AnySplitOfInputAndOutputGivesTheSameStream) {
  for (const auto& smp : SmallSamples()) {
    Bytes whole = CompressAll(smp.data);
    EXPECT_EQ(GzipDecode(whole), smp.data) << smp.name;
    int n = static_cast<int>(smp.data.size()), m = static_cast<int>(whole.size());
    for (int k = 0; k <= n; ++k)
      ASSERT_EQ(Compress(smp.data, Seq({k}, n), Fixed(m + 8)), whole) << smp.name << " input split " << k;
    for (int k = 8; k <= m; ++k)
      ASSERT_EQ(Compress(smp.data, Fixed(n), Seq({k}, m)), whole) << smp.name << " output split " << k;
    for (int r = 1; r <= 20; ++r)
      ASSERT_EQ(Compress(smp.data, Fixed(1), Fixed(r)), whole) << smp.name << " room " << r;
  }
}

Bytes Mixed(size_t n, uint32_t seed) {
  return Text(n / 2, seed) + Random(n / 8, seed) + Runs(n / 4, seed) + Text(n / 8, seed + 1);
}

TEST(LzcCompress, RandomPiecesOfLargeInputs) {
  Bytes data = Mixed(200000, 7);
  Bytes whole = CompressAll(data);
  EXPECT_EQ(GzipDecode(whole), data);
  for (int seed = 0; seed < 3 * tovtest::HeavyFactor(); ++seed)
    EXPECT_EQ(Compress(data, Rand(seed, 0, 5000), Rand(seed + 100, 1, 3000)), whole) << seed;
}

// The stream's layout, read independently: widths, group alignment, CLEAR.
TEST(LzcCompress, CodeLayout) {
  Bytes asc = CompressAll(Ascending());
  ASSERT_EQ(asc.size(), 8u + 288 + 2);  // 256 codes of 9 bits, one of 10
  auto codes = ParseCodes(asc);
  ASSERT_EQ(codes.size(), 257u);
  EXPECT_EQ(codes[255].code, 255);
  EXPECT_EQ(codes[255].width, 9);
  EXPECT_EQ(codes[256].code, 'A');
  EXPECT_EQ(codes[256].width, 10);
  EXPECT_EQ(asc.substr(296), Bytes("\x41\x00", 2));

  Bytes one = CompressAll("x");
  EXPECT_EQ(one, Header(1) + Bytes("\x78\x00", 2));
  EXPECT_EQ(GzipDecode(one), "x");

  // Random data: once the table is full the first check only records the
  // ratio; a later one, at least 4096 input bytes on, resets the table.
  Bytes data = Random(150000, 11);
  Bytes z = CompressAll(data);
  EXPECT_EQ(GzipDecode(z), data);
  codes = ParseCodes(z);
  size_t full = 7937, clear = 0, covered = 0;  // codes behind the one that filled the table
  for (size_t i = full; i < codes.size() && clear == 0; ++i) {
    if (codes[i].code == 256) clear = i;
    covered += codes[i].bytes;
  }
  ASSERT_GT(clear, 0u) << "no CLEAR";
  EXPECT_GE(covered, 4096u);
  EXPECT_EQ(codes[clear].width, 13);
  EXPECT_EQ(codes[clear + 1].width, 9);
  EXPECT_EQ(codes[clear + 1].bit % 8, 0u);
  EXPECT_LT(codes[clear + 1].code, 256);
  size_t n = 0;
  for (auto& c : codes) n += c.bytes;
  EXPECT_EQ(n, data.size());
}

TEST(LzcCompress, OwedBytesAndSmallRooms) {
  auto s = std::make_unique<CSR_LZC_CSTATE>();
  Bytes data = Text(40, 5);
  WEQ_RAW out[64];
  int read, written;
  EXPECT_EQ(CsRLzcCompress(s.get(), 40, U(data), 40, out, 7, 1, &read, &written), CSR_E_OUT_ROOM);
  EXPECT_EQ(CsRLzcCompress(s.get(), 40, U(data), 0, out, 8, 1, &read, &written), CSR_MORE_INPUT);
  EXPECT_EQ(written, 8);
  // Eight codes make the first 9-byte group; with room 5, 4 bytes are owed.
  Bytes got(reinterpret_cast<char*>(out), 8);
  size_t pos = 0;
  int rc = CSR_MORE_INPUT;
  while (rc == CSR_MORE_INPUT) {
    rc = CsRLzcCompress(s.get(), 40, U(data) + pos, 1, out, 5, 0, &read, &written);
    got.append(reinterpret_cast<char*>(out), written);
    pos += read;
  }
  ASSERT_EQ(rc, CSR_OUTPUT_FULL);
  EXPECT_EQ(written, 5);
  EXPECT_EQ(CsRLzcCompress(s.get(), 40, U(data) + pos, 40 - pos, out, 3, 0, &read, &written), CSR_E_OUT_ROOM);
  EXPECT_EQ(read + written, 0);
  EXPECT_EQ(CsRLzcCompress(s.get(), 40, U(data) + pos, 40 - pos, out, 4, 0, &read, &written), CSR_OUTPUT_FULL);
  EXPECT_EQ(written, 4);
  got.append(reinterpret_cast<char*>(out), 4);
  pos += read;
  do {
    rc = CsRLzcCompress(s.get(), 40, U(data) + pos, 40 - pos, out, 64, 0, &read, &written);
    got.append(reinterpret_cast<char*>(out), written);
    pos += read;
  } while (rc != CSR_END_OF_STREAM && rc >= 0);
  EXPECT_EQ(got, CompressAll(data));
  // After the end nothing more is made.
  EXPECT_EQ(CsRLzcCompress(s.get(), 40, U(data), 0, out, 64, 0, &read, &written), CSR_END_OF_STREAM);
  EXPECT_EQ(written, 0);
}

TEST(LzcCompress, TotalCutsTheInputAndArgumentsAreChecked) {
  Bytes data = Text(1000, 9);
  Bytes z = Compress(data, Fixed(1000), Fixed(4096), 600);
  EXPECT_EQ(GzipDecode(z), data.substr(0, 600));
  EXPECT_EQ(z.substr(0, 4), Le32(600));

  auto s = std::make_unique<CSR_LZC_CSTATE>();
  s->kind = 0;
  WEQ_RAW out[16];
  int read = 7, written = 7;
  const WEQ_RAW* in = U(data);
  struct {
    int total, inlen, outlen, options, want;
    const WEQ_RAW* in;
    WEQ_RAW* out;
  } cases[] = {
      {10, 1, 16, 0, CSR_E_NO_STREAM, in, out},   {10, -1, 16, 1, CSR_E_IN_LEN, in, out},
      {10, 1, -1, 1, CSR_E_OUT_ROOM, in, out},    {10, 1, 16, 1, CSR_E_NULL_BUFFER, nullptr, out},
      {10, 1, 16, 1, CSR_E_NULL_BUFFER, in, nullptr}, {10, 1, 16, 1, CSR_E_SAME_BUFFER, out, out},
      {0, 1, 16, 1, CSR_E_TOTAL_LEN, in, out},    {-5, 1, 16, 1, CSR_E_TOTAL_LEN, in, out},
  };
  for (auto& k : cases) {
    EXPECT_EQ(CsRLzcCompress(s.get(), k.total, k.in, k.inlen, k.out, k.outlen, k.options, &read, &written),
              k.want);
    EXPECT_EQ(read + written, 0);
  }
}

// `compress -b10` .. `-b13` outputs decode here, in random pieces and rooms.
TEST(LzcDecompress, ReadsCompressOutput) {
  std::vector<Sample> samples = {{"text", Text(120000, 21)}, {"random", Random(100000, 22)},
                                 {"runs", Runs(90000, 23)}, {"one", "q"}};
  for (const auto& smp : samples)
    for (const char* flags : {"-b13", "-b10", "-b11", "-b12"}) {
      Bytes z = Tool(std::string("compress -c ") + flags, smp.data);
      ASSERT_GT(z.size(), 3u);
      Bytes stream = FromDotZ(z, smp.data.size());
      Decoded d = DecompressAll(stream);
      EXPECT_EQ(d.rc, CSR_END_OF_STREAM) << smp.name << " " << flags;
      EXPECT_TRUE(d.data == smp.data) << smp.name << " " << flags;
      d = Decompress(stream, Rand(5, 1, 700), Rand(6, 1, 900));
      EXPECT_EQ(d.rc, CSR_END_OF_STREAM);
      EXPECT_TRUE(d.data == smp.data) << smp.name << " " << flags << " in pieces";
    }
}

// Every split of the stream in two, every first output room, and one byte
// per call with small rooms.
TEST(LzcDecompress, AnySplitOfInputAndOutputDecodes) {
  for (const auto& smp : SmallSamples()) {
    Bytes z = CompressAll(smp.data);
    int m = static_cast<int>(z.size()), n = static_cast<int>(smp.data.size());
    for (int k = 8; k <= m; ++k) {
      Decoded d = Decompress(z, Seq({k}, m), Fixed(n));
      ASSERT_EQ(d.rc, CSR_END_OF_STREAM) << smp.name << " split " << k;
      ASSERT_EQ(d.data, smp.data) << smp.name << " split " << k;
    }
    for (int k = 0; k <= n; ++k) {
      Decoded d = Decompress(z, Fixed(m), Seq({k}, n));
      ASSERT_EQ(d.data, smp.data) << smp.name << " room " << k;
      ASSERT_EQ(d.rc, CSR_END_OF_STREAM);
    }
    for (int r = 1; r <= 9; ++r) {
      Decoded d = Decompress(z, Seq({9}, 1), Fixed(r));
      ASSERT_EQ(d.data, smp.data) << smp.name << " one byte a call, room " << r;
      ASSERT_EQ(d.rc, CSR_END_OF_STREAM);
    }
  }
}

TEST(LzcDecompress, RandomPiecesOfLargeStreams) {
  Bytes data = Mixed(300000, 31);
  Bytes z = CompressAll(data);
  for (int seed = 0; seed < 4 * tovtest::HeavyFactor(); ++seed) {
    Decoded d = Decompress(z, Rand(seed, 0, 3000), Rand(seed + 50, 1, 5000));
    EXPECT_EQ(d.rc, CSR_END_OF_STREAM);
    EXPECT_TRUE(d.data == data) << seed;
  }
}

// The stream's bytes are taken exactly: nothing behind it, and a stream
// whose padding is missing ends on the call without input.
TEST(LzcDecompress, TakesExactlyTheStream) {
  for (const auto& smp : SmallSamples()) {
    Bytes z = CompressAll(smp.data);
    Bytes tail = z + "TRAILER!";
    auto s = std::make_unique<CSR_LZC_DSTATE>();
    std::vector<WEQ_RAW> out(smp.data.size() + 16);
    int read, written;
    EXPECT_EQ(CsRLzcDecompress(s.get(), U(tail), static_cast<int>(tail.size()), out.data(),
                               static_cast<int>(out.size()), 1, &read, &written),
              CSR_END_OF_STREAM);
    EXPECT_EQ(read, static_cast<int>(z.size())) << smp.name;
    EXPECT_EQ(written, static_cast<int>(smp.data.size()));
  }
  // Without table resets (codes from 256 on), the 257th code makes the
  // width grow inside a group: the group is written whole, 63 bits of
  // padding, which gzip reads and we take.
  std::vector<std::pair<int, int>> lits;
  Bytes data;
  for (int i = 0; i < 257; ++i) lits.push_back({i * 7 % 256, 9}), data.push_back(static_cast<char>(i * 7));
  Bytes z = Header(257, 0x0D) + Pack(lits) + Bytes(7, 0);
  ASSERT_EQ(z.size(), 8u + 297);
  EXPECT_EQ(GzipDecode(z), data);
  Bytes tail = z + "TRAILER!";
  Decoded d = Decompress(tail, Seq({8, 150, 150}, 1000), Fixed(1000));
  EXPECT_EQ(d.data, data);
  d = Decompress(z.substr(0, z.size() - 5), Fixed(1000), Fixed(1000));  // padding cut short
  EXPECT_EQ(d.rc, CSR_END_OF_STREAM);
  EXPECT_EQ(d.data, data);
  auto s = std::make_unique<CSR_LZC_DSTATE>();
  std::vector<WEQ_RAW> out(300);
  int read, written;
  EXPECT_EQ(CsRLzcDecompress(s.get(), U(tail), static_cast<int>(tail.size()), out.data(), 300, 1, &read, &written),
            CSR_END_OF_STREAM);
  EXPECT_EQ(read, static_cast<int>(z.size()));
}

TEST(LzcDecompress, EdgeCases) {
  auto s = std::make_unique<CSR_LZC_DSTATE>();
  WEQ_RAW out[8];
  int read, written;
  // A stream of length 0 ends before writing anything.
  Bytes empty = Header(0) + Pack({{'z', 9}});
  EXPECT_EQ(CsRLzcDecompress(s.get(), U(empty), 10, out, 8, 1, &read, &written), CSR_END_OF_STREAM);
  EXPECT_EQ(written, 0);
  EXPECT_EQ(CsRLzcDecompress(s.get(), U(empty), 0, out, 8, 0, &read, &written), CSR_END_OF_STREAM);
  // Header alone with no output room, then the data.
  Bytes one = CompressAll("x");
  EXPECT_EQ(CsRLzcDecompress(s.get(), U(one), 8, out, 0, 1, &read, &written), CSR_OUTPUT_FULL);
  EXPECT_EQ(read, 8);
  EXPECT_EQ(CsRLzcDecompress(s.get(), U(one) + 8, 2, out, 0, 0, &read, &written), CSR_E_OUT_ROOM);
  EXPECT_EQ(CsRLzcDecompress(s.get(), U(one) + 8, 1, out, 1, 0, &read, &written), CSR_MORE_INPUT);
  EXPECT_EQ(read, 1);
  EXPECT_EQ(CsRLzcDecompress(s.get(), U(one) + 9, 1, out, 1, 0, &read, &written), CSR_END_OF_STREAM);
  EXPECT_EQ(written, 1);
  EXPECT_EQ(out[0], 'x');
  // Argument checks change nothing.
  s->kind = 0;
  EXPECT_EQ(CsRLzcDecompress(s.get(), U(one), 10, out, 8, 0, &read, &written), CSR_E_NO_STREAM);
  EXPECT_EQ(CsRLzcDecompress(s.get(), U(one), 7, out, 8, 1, &read, &written), CSR_E_IN_LEN);
  EXPECT_EQ(CsRLzcDecompress(s.get(), U(one), -1, out, 8, 1, &read, &written), CSR_E_IN_LEN);
  EXPECT_EQ(CsRLzcDecompress(s.get(), nullptr, 10, out, 8, 1, &read, &written), CSR_E_NULL_BUFFER);
  EXPECT_EQ(CsRLzcDecompress(s.get(), out, 8, out, 8, 1, &read, &written), CSR_E_SAME_BUFFER);
}

// Damaged headers and codes are refused with their codes, also in a work
// area that still holds the table of an earlier stream.
TEST(LzcDecompress, RefusesBadHeadersAndCodes) {
  struct {
    const char* what;
    Bytes stream;
    int want;
  } cases[] = {
      {"magic", Header(1, 0x8D, 0x11).replace(5, 1, "\x1E") + Pack({{'a', 9}}), CSR_E_HEADER},
      {"length", Header(0x80000000u) + Pack({{'a', 9}}), CSR_E_HEADER},
      {"14 bits", Header(1, 0x8E) + Pack({{'a', 9}}), CSR_E_CODE_BITS},
      {"31 bits", Header(1, 0x9F) + Pack({{'a', 9}}), CSR_E_CODE_BITS},
      {"8 bits", Header(1, 0x88) + Pack({{'a', 9}}), CSR_E_CODE_BITS},
      {"first code 256", Header(5) + Pack({{256, 9}, {'a', 9}}), CSR_E_BAD_CODE},
      {"first code 300", Header(5) + Pack({{300, 9}}), CSR_E_BAD_CODE},
      {"beyond next", Header(5) + Pack({{'a', 9}, {'b', 9}, {259, 9}}), CSR_E_BAD_CODE},
      {"after CLEAR", Header(9) + Pack({{'a', 9}, {'b', 9}, {256, 9}}) + Bytes(5, 0) + Pack({{257, 9}}),
       CSR_E_BAD_CODE},
  };
  auto s = std::make_unique<CSR_LZC_DSTATE>();
  Bytes text = Text(5000, 41);
  Bytes z = CompressAll(text);
  for (auto& k : cases) {
    // The work area holds the table of a whole earlier stream.
    std::vector<WEQ_RAW> out(5000);
    int read, written;
    ASSERT_EQ(CsRLzcDecompress(s.get(), U(z), static_cast<int>(z.size()), out.data(), 5000, 1, &read, &written),
              CSR_END_OF_STREAM);
    int rc = CsRLzcDecompress(s.get(), U(k.stream), static_cast<int>(k.stream.size()), out.data(), 64, 1,
                              &read, &written);
    EXPECT_EQ(rc, k.want) << k.what;
    EXPECT_LE(written, 2) << k.what;
    if (k.want == CSR_E_BAD_CODE) {  // the stream stays refused
      EXPECT_EQ(CsRLzcDecompress(s.get(), U(k.stream), 1, out.data(), 64, 0, &read, &written), k.want);
      EXPECT_EQ(written, 0);
    }
  }
  // The code right at the next free entry is the one valid code beyond the table.
  Bytes kwk = Header(4) + Pack({{'a', 9}, {257, 9}, {'b', 9}});
  EXPECT_EQ(DecompressAll(kwk).data, "aaab");
}

// Flipped bits and cut streams never crash, never overrun the header's
// length, and end in an error, the end, or a request for more input.
TEST(LzcDecompress, DamagedStreamsAreSafe) {
  Bytes data = Text(3000, 51) + Random(500, 52);
  Bytes z = CompressAll(data);
  std::mt19937 rng(53);
  int errors = 0;
  for (size_t bit = 0; bit < z.size() * 8; bit += 1 + rng() % (7 * 8 / tovtest::HeavyFactor() + 1)) {
    Bytes bad = z;
    bad[bit / 8] = static_cast<char>(bad[bit / 8] ^ (1 << (bit % 8)));
    Decoded d = Decompress(bad, Rand(static_cast<uint32_t>(bit), 1, 400), Fixed(7000));
    EXPECT_LE(d.data.size(), CsRGetLe32(U(bad)));
    EXPECT_TRUE(d.rc == CSR_END_OF_STREAM || d.rc == CSR_MORE_INPUT || d.rc < 0) << d.rc;
    errors += d.rc < 0;
  }
  EXPECT_GT(errors, 0);
  for (size_t cut = 8; cut < z.size(); cut += 1 + rng() % 40) {
    Decoded d = Decompress(z.substr(0, cut), Rand(static_cast<uint32_t>(cut), 1, 400), Fixed(5000));
    EXPECT_TRUE(d.rc == CSR_MORE_INPUT || (d.rc == CSR_END_OF_STREAM && d.data == data)) << cut;
    EXPECT_EQ(d.data, data.substr(0, d.data.size())) << cut;
  }
}

}  // namespace
