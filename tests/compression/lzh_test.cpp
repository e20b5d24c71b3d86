// LZH against zlib in both directions (zlib's raw deflate behind an LZH
// header decodes with ours; ours, shifted past its filler bits, inflates with
// zlib), and the stream byte by byte: filler, block choice, code lengths, the
// decompressor's window hand-out, and every error a damaged stream can raise.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <set>

#include "compression/csr.h"
#include "compression/lzh.h"
#include "csr_test_util.h"
#include "support/testsupport.h"

namespace {

using namespace csrtest;

class LzhTest : public ::testing::Test {
 protected:
  void TearDown() override { CsRLzhISetFiller(-1, 0); }
};

Bytes Compress(const Bytes& data, int level) {
  return Drive(LzhCompressor(static_cast<int>(data.size()), level << 4), data).out;
}

// Header, data as zlib inflates it behind the shift, the zero byte behind
// the last block, and data as ours decodes it (which refuses stored blocks)
// in random pieces and rooms.
void ExpectValidStream(const Bytes& data, const Bytes& stream, int level) {
  ASSERT_GE(stream.size(), 9u);
  const Bytes header = Header(static_cast<uint32_t>(data.size()), 0x12, static_cast<uint8_t>(level));
  EXPECT_EQ(Bytes(stream.begin(), stream.begin() + 8), header);
  ZlibInflated z = ZlibInflate(ToRawDeflate(stream));
  ASSERT_EQ(z.rc, Z_STREAM_END);
  ASSERT_TRUE(z.data == data);
  EXPECT_FALSE(z.leftover.empty()) << "the trailing zero byte is missing";
  EXPECT_TRUE(std::all_of(z.leftover.begin(), z.leftover.end(), [](uint8_t b) { return b == 0; }));
  const uint32_t seed = static_cast<uint32_t>(stream.size());
  EXPECT_TRUE(Drive(LzhDecompressor(), stream, RandomSizes(seed), RandomSizes(seed + 1)).out == data);
}

// zlib's streams at every level and strategy, in random pieces and rooms
// down to one byte, filler of 0 or 3 bits.
TEST(LzhDecompress, ZlibStreamsOfEveryLevelAndStrategy) {
  const size_t n = 30000 * static_cast<size_t>(tovtest::HeavyFactor());
  Coder lzh = LzhDecompressor();
  uint32_t seed = 0;
  for (int level = 1; level <= 9; ++level) {
    for (int strategy : {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED}) {
      for (const Bytes& data : {Text(n, 11 + level), Runs(n, 12 + level)}) {
        const Bytes raw = ZlibDeflate(data, level, strategy, 1 + level % 9);
        const Bytes s = FromRawDeflate(raw, static_cast<uint32_t>(n), level, ++seed % 2 * 3, 5);
        Result d = Drive(lzh, s, RandomSizes(seed), RandomSizes(seed + 1000));
        ASSERT_EQ(d.rc, CSR_END_OF_STREAM) << "level " << level << " strategy " << strategy;
        ASSERT_TRUE(d.out == data) << "level " << level << " strategy " << strategy;
        EXPECT_EQ(d.read, s.size());
      }
    }
  }
}

class LzhLevel : public LzhTest, public ::testing::WithParamInterface<int> {};

// Ours at every level for sizes around the window and block limits, pieces
// and rooms at random down to one byte, each filler count. A single byte
// goes out with fixed codes, 16 KB of text with dynamic ones; no block is
// stored (our decoder refuses them), not even of random bytes.
TEST_P(LzhLevel, InflatesWithZlibAndRoundTrips) {
  const int level = GetParam();
  const size_t big = (2u << 20) * static_cast<size_t>(tovtest::HeavyFactor());
  uint32_t seed = static_cast<uint32_t>(level) * 7919;
  int filler = level % 4;
  for (size_t n : {size_t{0}, size_t{1}, size_t{257}, size_t{16383}, size_t{16384}, size_t{32700},
                   size_t{32768}, size_t{100 * 1024}, big}) {
    for (Bytes (*make)(size_t, uint32_t) : {RandomBytes, Text, Runs}) {
      if (n == big && make == RandomBytes && level % 2 == 0) continue;
      const Bytes data = make(n, seed++);
      filler = (filler + 1) % 4;
      CsRLzhISetFiller(filler, seed);
      // Small rooms send every block through the overflow area: kept for
      // the smaller inputs.
      Result c = Drive(LzhCompressor(static_cast<int>(n), level << 4), data,
                       RandomSizes(seed, n <= 100 * 1024 ? 1 : 256), RandomSizes(seed, n <= 32768 ? 1 : 512));
      ASSERT_EQ(c.rc, CSR_END_OF_STREAM) << n;
      EXPECT_EQ(FillerCount(c.out), filler);
      const int type = ToRawDeflate(c.out)[0] >> 1 & 3;
      EXPECT_TRUE((n != 1 || type == 1) && (n < 16384 || make != Text || type == 2)) << n;
      ExpectValidStream(data, c.out, level);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Levels, LzhLevel, ::testing::Range(1, 10));

// A stream's bytes are the same, in any pieces, on a zeroed state, on one
// filled with other bytes, and on one that has just compressed a longer
// stream of other data, which leaves its bytes in the window past the new
// input's end. The inputs end with a string that occurs twice before, once
// followed by zeros and once by 0xA5, so that a search that saw bytes past
// the end would pick another match.
TEST_F(LzhTest, NothingOfAnEarlierStreamShows) {
  CsRLzhISetFiller(2, 1);
  const Bytes earlier = Cat(RandomBytes(70000, 40), Bytes(600, 0xA5));
  const Bytes quux = {'q', 'u', 'u', 'x'};
  const Bytes tail = Cat(Cat(Cat(quux, Bytes(8, 0)), Cat(quux, Bytes(8, 0xA5))), quux);
  for (int level : {1, 4, 9}) {
    for (size_t n : {size_t{0}, size_t{300}, size_t{511}, size_t{16684}, size_t{32773}, size_t{50000}}) {
      const Bytes data = Cat(Mixed(n, static_cast<uint32_t>(n + level)), tail);
      n = data.size();
      const Bytes want = Compress(data, level);
      ExpectValidStream(data, want, level);
      auto st = std::make_shared<CsRLzhDeflateState>();
      memset(st.get(), 0xA5, sizeof *st);
      EXPECT_TRUE(Drive(LzhCompressor(static_cast<int>(n), level << 4, st), data).out == want) << n;
      Drive(LzhCompressor(static_cast<int>(earlier.size()), level << 4, st), earlier);
      const Result again = Drive(LzhCompressor(static_cast<int>(n), level << 4, st), data,
                                 RandomSizes(static_cast<uint32_t>(n)), Fixed(2 * n + 1024));
      EXPECT_TRUE(again.out == want) << "level " << level << ", " << n;
    }
  }
}

// Without a forced filler every count 0..3 turns up, each decodes the same,
// and two streams of the same input differ.
TEST_F(LzhTest, FillerFromTheGenerator) {
  const Bytes data = Text(3000, 5);
  std::set<int> counts;
  std::set<Bytes> streams;
  for (int i = 0; i < 64; ++i) {
    const Bytes s = Compress(data, 4);
    counts.insert(FillerCount(s));
    streams.insert(s);
    ASSERT_TRUE(Drive(LzhDecompressor(), s).out == data);
  }
  EXPECT_EQ(counts, (std::set<int>{0, 1, 2, 3}));
  EXPECT_GT(streams.size(), 4u);
}

// Every split of input and output in two. A block that finds too little
// room waits in the overflow area, which later calls hand out before they
// take more input; after the end a call makes nothing more.
TEST_F(LzhTest, AnySplitAndTheOverflowArea) {
  CsRLzhISetFiller(3, 6);
  const Bytes data = Text(600, 8);
  const Bytes z = Compress(data, 6);
  ExpectAnySplit(LzhCompressor(600, 0x60), data, z, 8);
  ExpectAnySplit(LzhDecompressor(), z, data);
  Coder lzh = LzhCompressor(600, 0x60);
  Result c = Drive(lzh, data, Fixed(600), Fixed(16));
  EXPECT_TRUE(c.out == z);
  EXPECT_GT(c.results.size(), 10u);
  EXPECT_EQ(std::set<int>(c.results.begin(), c.results.end() - 1), std::set<int>{CSR_OUTPUT_FULL});
  uint8_t out[16];
  int r = 0, w = 1;
  EXPECT_EQ(lzh.call(data.data(), 0, out, 16, false, &r, &w), CSR_END_OF_STREAM);
  EXPECT_EQ(w, 0);
}

// Literal frequencies that make the Huffman tree 16 deep: a Fibonacci chain
// 1, 2, 3, 5, ... 233 beside 60 symbols of 150 each, no 3-byte string twice,
// so the block holds exactly these literals. The code lengths must be cut to
// 15 and still form a complete code; zlib's own 15-bit codes decode too.
TEST_F(LzhTest, SkewedFrequenciesGiveFifteenBitCodes) {
  Bytes data;
  for (uint32_t sym = 0, a = 1, b = 2; sym < 12; ++sym, b += a, a = b - a)
    data.insert(data.end(), a, static_cast<uint8_t>(sym));
  for (int sym = 12; sym < 72; ++sym) data.insert(data.end(), 150, static_cast<uint8_t>(sym * 3));
  std::mt19937 rng(7);
  std::shuffle(data.begin(), data.end(), rng);
  std::set<uint32_t> seen;
  for (size_t i = 2; i < data.size(); ++i) {
    auto key = [&] { return uint32_t{data[i - 2]} << 16 | data[i - 1] << 8 | data[i]; };
    for (size_t tries = 0; seen.count(key()) && tries < 1000 && i + 1 < data.size(); ++tries)
      std::swap(data[i], data[i + 1 + rng() % (data.size() - i - 1)]);
    ASSERT_TRUE(seen.insert(key()).second);
  }
  for (int level : {1, 6, 9}) ExpectValidStream(data, Compress(data, level), level);
  const Bytes raw = ZlibDeflate(data, 9, Z_HUFFMAN_ONLY);
  const Bytes zs = FromRawDeflate(raw, static_cast<uint32_t>(data.size()), 9);
  EXPECT_TRUE(Drive(LzhDecompressor(), zs, Fixed(3), Fixed(5)).out == data);
}

// A header length below the data (a damaged stream): the stream ends with
// the window that reaches it, whether that window goes out in one call or
// over several, so the caller's output room never changes the result.
TEST_F(LzhTest, WindowThatReachesTheLengthEndsTheStream) {
  const Bytes data = Text(20000, 31);
  Bytes z = Compress(data, 6);
  const Bytes shorter = Le32(1520);
  std::copy(shorter.begin(), shorter.end(), z.begin());
  const Bytes first(data.begin(), data.begin() + 16384);
  for (const SizeFn& room : {Fixed(1 << 20), Fixed(1000), RandomSizes(7)}) {
    Result d = Drive(LzhDecompressor(), z, Fixed(z.size()), room);
    EXPECT_EQ(d.rc, CSR_END_OF_STREAM);
    EXPECT_TRUE(d.out == first) << d.out.size();
  }
}

// An LZH stream of `length`, no filler, with the bits that `body` writes
// and the zero byte behind them.
Bytes Crafted(uint32_t length, const std::function<void(BitWriter&)>& body) {
  BitWriter w;
  body(w.Bits(0, 2));
  return Cat(w.Lzh(length), {0});
}

Bytes FixedBlock(uint32_t length, const std::function<void(BitWriter&)>& symbols) {
  return Crafted(length, [&](BitWriter& w) { symbols(w.Bits(1, 1).Bits(1, 2)); });
}

// Every fixed literal/length code and every distance code that reaches into
// the window, lengths and distances at both ends of their extra-bit ranges,
// decode as zlib decodes them; first a distance of exactly the window and
// the data decoded so far, which copies the byte at the write position.
TEST_F(LzhTest, FixedCodesOfEverySymbol) {
  const Bytes lits = RandomBytes(16384 - 256, 13);
  std::vector<int> dists;
  for (int base = 1, c = 0; base <= 16384; ++c) {
    const int extra = c < 4 ? 0 : c / 2 - 1;
    dists.push_back(base);
    dists.push_back(std::min(base + (1 << extra) - 1, 16384));
    base += 1 << extra;
  }
  uint32_t length = 16384 + 258;
  const Bytes s = FixedBlock(0, [&](BitWriter& w) {
    for (int b = 0; b < 256; ++b) w.Lit(b);
    for (uint8_t b : lits) w.Lit(b);
    w.Match(258, 16384);
    for (size_t k = 0; k < std::max<size_t>(256, dists.size()); ++k) {
      const int len = 3 + static_cast<int>(k % 256);
      w.Match(len, dists[k % dists.size()]);
      length += len;
    }
    w.Lit(256);
  });
  Bytes stream = Cat(Header(length, 0x12, 2), Bytes(s.begin() + 8, s.end()));
  const ZlibInflated want = ZlibInflate(ToRawDeflate(stream));
  ASSERT_EQ(want.rc, Z_STREAM_END);
  ASSERT_EQ(want.data.size(), length);
  Result d = Drive(LzhDecompressor(), stream, RandomSizes(7), RandomSizes(8));
  ASSERT_EQ(d.rc, CSR_END_OF_STREAM);
  EXPECT_TRUE(d.out == want.data);
}

// 20000 equal bytes come out as one window of 16384 and, after the final
// block, the rest: with 1000 bytes of room each call hands out 1000, and the
// one that delivers the last byte ends the stream. Whatever the header's
// length says, bytes behind the final block are never read as another
// block. A stream given whole to the new-stream call counts as read with the
// bytes behind it.
TEST_F(LzhTest, WindowHandOutAndTheFinalBlock) {
  const Bytes data(20000, 'z');
  const Bytes z = Compress(data, 6);
  Bytes s = Cat(z, {0xFF, 0xFF, 0x07, 0x00, 0xFF});  // a stored block, then garbage
  for (uint32_t length : {20000u, 20001u, 0x7FFFFFFFu}) {
    std::copy_n(Le32(length).begin(), 4, s.begin());
    Result d = Drive(LzhDecompressor(), s, Fixed(s.size()), Fixed(1000));
    EXPECT_TRUE(d.out == data) << length;
    EXPECT_EQ(d.results, Cat(std::vector<int>(18, CSR_OUTPUT_FULL), {CSR_END_OF_STREAM})) << length;
    d = Drive(LzhDecompressor(), s, Fixed(1 << 20), Fixed(7));
    EXPECT_TRUE(d.rc == CSR_END_OF_STREAM && d.out == data) << length;
  }
  Result d = Drive(LzhDecompressor(), Cat(z, {0, 0, 7}), Fixed(z.size() + 3), Fixed(20000));
  EXPECT_TRUE(d.results.empty());  // the new-stream call ended it
  EXPECT_EQ(d.read, z.size() + 3);
}

// A dynamic block with code lengths lit and dist, each sent as its own
// symbol under the code-length code cl.
Bytes Dynamic(const std::vector<int>& lit, const std::vector<int>& dist, const std::vector<int>& cl) {
  return Crafted(100, [&](BitWriter& w) {
    w.Bits(1, 1).Bits(2, 2).DynamicHeader(lit.size(), dist.size(), cl).Lengths(lit, cl).Lengths(dist, cl);
  });
}

std::vector<int> With(std::vector<int> v, std::initializer_list<std::pair<int, int>> changes) {
  for (auto [i, l] : changes) v[i] = l;
  return v;
}

// Each damaged stream gives its error, whole or in single bytes, on a state
// that has just decoded another stream; the error stays on the next call.
TEST_F(LzhTest, DamagedStreams) {
  // Complete codes: 4 bits for the code-length symbols 0..15; 254 literal/
  // length codes of 8 bits and 4 of 9; two distance codes of 1 bit.
  const std::vector<int> cl = With(std::vector<int>(19, 4), {{16, 0}, {17, 0}, {18, 0}});
  const std::vector<int> lit = With(std::vector<int>(258, 8), {{254, 9}, {255, 9}, {256, 9}, {257, 9}});
  const std::vector<int> d2 = {1, 1};
  auto literals = [](BitWriter& w, int n) {
    for (int i = 0; i < n; ++i) w.Lit(i & 0xFF);
    return &w;
  };
  ExpectRefused(LzhDecompressor(), Compress(Text(30000, 2), 6), {
      {"negative length", Cat(Header(0x80000000u, 0x12, 2), {0}), CSR_E_HEADER},
      {"stored block", Crafted(5, [](auto& w) { w.Bits(1, 1).Bits(0, 2); }), CSR_E_BLOCK_TYPE},
      {"287 literal/length codes", Crafted(5, [](auto& w) { w.Bits(5, 3).Bits(30, 14); }), CSR_E_ALPHABET},
      {"code-length code all zero", Dynamic(lit, d2, std::vector<int>(19, 0)), CSR_E_CODE_LENGTHS},
      {"literal/length code over-subscribed", Dynamic(With(lit, {{0, 1}}), d2, cl), CSR_E_CODE_LENGTHS},
      {"literal/length code incomplete", Dynamic(With(lit, {{257, 0}}), d2, cl), CSR_E_CODE_LENGTHS},
      {"distance lengths all zero", Dynamic(lit, {0}, cl), CSR_E_CODE_LENGTHS},
      {"distance code incomplete", Dynamic(lit, {1, 2}, cl), CSR_E_CODE_LENGTHS},
      {"repeat past the declared count", Crafted(5, [&](auto& w) {
         const std::vector<int> cl5 = With(cl, {{15, 5}, {18, 5}});
         w.Bits(5, 3).DynamicHeader(258, 2, cl5).Lengths(std::vector<int>(250, 8), cl5);
         w.Lengths({18}, cl5).Bits(0, 7);  // 11 zeros where 10 lengths remain
       }), CSR_E_BAD_CODE},
      {"fixed literal/length code 286", FixedBlock(5, [](auto& w) { w.Lit(286); }), CSR_E_BAD_CODE},
      {"fixed literal/length code 287", FixedBlock(5, [](auto& w) { w.Lit(7).Lit(287); }), CSR_E_BAD_CODE},
      {"fixed distance code 30", FixedBlock(5, [](auto& w) { w.Lit(1).Lit(257).Dist(30); }), CSR_E_BAD_CODE},
      {"fixed distance code 31", FixedBlock(5, [](auto& w) { w.Lit(1).Lit(280).Dist(31); }), CSR_E_BAD_CODE},
      {"distance before the stream's start", FixedBlock(9, [](auto& w) { w.Match(9, 5); }), CSR_E_BAD_CODE},
      {"distance beyond the data decoded",
       FixedBlock(500, [&](auto& w) { literals(literals(w, 100)->Match(10, 101), 20); }), CSR_E_BAD_CODE},
      {"distance beyond the window",
       FixedBlock(40000, [&](auto& w) { literals(literals(w, 20000)->Match(10, 16385), 20); }),
       CSR_E_BAD_CODE},
  });
}

// With the table pool nearly used up, the first table of the block does
// not fit.
TEST_F(LzhTest, TablePoolExhausted) {
  const Bytes s = Compress(Text(20000, 30), 6);
  auto st = std::make_unique<CsRLzhInflateState>();
  unsigned r, w;
  Bytes out(1 << 16);
  ASSERT_EQ(CsRLzhDecompress(st.get(), s.data(), 8, out.data(), 0, 1, &r, &w), CSR_MORE_INPUT);
  // The filler count and the block header, not yet the code-length code.
  ASSERT_EQ(CsRLzhDecompress(st.get(), s.data() + 8, 2, out.data(), 0, 0, &r, &w), CSR_MORE_INPUT);
  st->pool_used = lzh::kTablePoolSize - 100;
  EXPECT_EQ(CsRLzhDecompress(st.get(), s.data() + 10, static_cast<unsigned>(s.size() - 10), out.data(),
                             static_cast<unsigned>(out.size()), 0, &r, &w),
            CSR_E_TABLE_SPACE);
}

}  // namespace
