// LZH against zlib in both directions: zlib's raw deflate (16 KB window)
// behind an LZH header decodes with ours, and ours, shifted past its filler
// bits, inflates with zlib, for every level, with input and output handed
// over in pieces of every size.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <tuple>

#include "lzh_test_util.h"
#include "tests/support/testsupport.h"

namespace {

using namespace lzhtest;

// --- zlib as producer --------------------------------------------------------

class ZlibProducer : public ::testing::TestWithParam<std::tuple<int, int>> {};

TEST_P(ZlibProducer, DecodesWithRandomPieces) {
  const int level = std::get<0>(GetParam());
  const int strategy = std::get<1>(GetParam());
  const size_t n = 60000 * static_cast<size_t>(tovtest::HeavyFactor());
  const Bytes corpora[] = {Text(n, 11 + level), Runs(n, 12 + level)};
  auto st = NewInflateState();
  uint32_t seed = static_cast<uint32_t>(level * 100 + strategy);
  for (const Bytes& data : corpora) {
    Bytes raw = ZlibDeflate(data, level, strategy, 1 + (level % 9));
    for (int filler = 0; filler < 4; filler += 3) {
      Bytes lzh = FromRawDeflate(raw, static_cast<uint32_t>(data.size()), level, filler, 5);
      SizeFn in = RandomSizes(seed++);
      SizeFn room = RandomSizes(seed++);
      DecompressResult r = Decompress(st.get(), lzh, in, room);
      ASSERT_EQ(r.rc, 1) << "level " << level << " strategy " << strategy;
      ASSERT_EQ(r.data, data);
      EXPECT_EQ(r.read, lzh.size());
    }
  }
}

INSTANTIATE_TEST_SUITE_P(LevelsAndStrategies, ZlibProducer,
                         ::testing::Combine(::testing::Range(1, 10),
                                            ::testing::Values(Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY,
                                                              Z_RLE, Z_FIXED)));

// One-byte pieces in both directions, where every code, extra-bit field and
// header field is interrupted somewhere.
TEST(ZlibProducerSingleBytes, DecodesOneByteAtATime) {
  Bytes data = Text(40000, 3);
  Bytes runs = Runs(30000, 4);
  data.insert(data.end(), runs.begin(), runs.end());
  for (int strategy : {Z_DEFAULT_STRATEGY, Z_FIXED}) {
    Bytes lzh = FromRawDeflate(ZlibDeflate(data, 6, strategy), static_cast<uint32_t>(data.size()), 6);
    auto st = NewInflateState();
    DecompressResult r = Decompress(st.get(), lzh, Fixed(1), Fixed(1));
    ASSERT_EQ(r.rc, 1);
    EXPECT_EQ(r.data, data);
    r = Decompress(st.get(), lzh, Fixed(1), Fixed(1 << 16));
    ASSERT_EQ(r.rc, 1);
    EXPECT_EQ(r.data, data);
  }
}

// --- ours as producer ----------------------------------------------------------

struct Corpus {
  const char* name;
  Bytes (*make)(size_t, uint32_t);
};
const Corpus kCorpora[] = {{"random", RandomBytes}, {"text", Text}, {"runs", Runs}};

void CheckStream(const Bytes& data, const Bytes& stream, int level, const std::string& what) {
  ASSERT_GE(stream.size(), 9u) << what;
  EXPECT_EQ(stream[0] | stream[1] << 8 | stream[2] << 16 | stream[3] << 24, static_cast<int>(data.size())) << what;
  EXPECT_EQ(stream[4], 0x12) << what;
  EXPECT_EQ(stream[5], 0x1F) << what;
  EXPECT_EQ(stream[6], 0x9D) << what;
  EXPECT_EQ(stream[7], level) << what;
  ZlibInflateResult z = ZlibInflate(ToRawDeflate(stream));
  ASSERT_EQ(z.rc, Z_STREAM_END) << what;
  ASSERT_EQ(z.data, data) << what;
  EXPECT_FALSE(z.leftover.empty()) << what << ": the trailing zero byte is missing";
  EXPECT_TRUE(std::all_of(z.leftover.begin(), z.leftover.end(), [](uint8_t b) { return b == 0; })) << what;
  for (int t : z.blocks) EXPECT_TRUE(t == 1 || t == 2) << what << ": block type " << t;
}

class OursProducer : public ::testing::TestWithParam<int> {
 protected:
  void TearDown() override { CsRLzhISetFiller(-1, 0); }
};

TEST_P(OursProducer, InflatesWithZlibAndRoundTrips) {
  const int level = GetParam();
  const size_t big = (2u << 20) * static_cast<size_t>(tovtest::HeavyFactor());
  const size_t sizes[] = {0, 1, 257, 16383, 16384, 32700, 32768, 100 * 1024, big};
  auto cst = NewDeflateState();
  auto dst = NewInflateState();
  uint32_t seed = static_cast<uint32_t>(level) * 7919;
  int filler = level % 4;
  for (size_t n : sizes) {
    for (const Corpus& c : kCorpora) {
      if (n == big && c.make == RandomBytes && level % 2 == 0) continue;
      Bytes data = c.make(n, seed++);
      filler = (filler + 1) % 4;
      CsRLzhISetFiller(filler, seed);
      // Small rooms make every block pass through the overflow area; keep
      // them for the smaller inputs.
      SizeFn room = n <= 32768 ? RandomSizes(seed++) : RandomSizes(seed++, 512);
      SizeFn in = n <= 100 * 1024 ? RandomSizes(seed++) : RandomSizes(seed++, 256);
      CompressResult cr = Compress(cst.get(), data, level << 4, in, room);
      std::string what = std::string(c.name) + " size " + std::to_string(n) + " level " + std::to_string(level);
      ASSERT_EQ(cr.rc, 1) << what;
      EXPECT_EQ(FillerCount(cr.stream), filler) << what;
      CheckStream(data, cr.stream, level, what);
      SizeFn din = RandomSizes(seed++);
      SizeFn droom = RandomSizes(seed++);
      DecompressResult dr = Decompress(dst.get(), cr.stream, din, droom);
      ASSERT_EQ(dr.rc, 1) << what;
      ASSERT_EQ(dr.data, data) << what;
    }
  }
}

// The smallest rooms: every later call gets a single byte of room.
TEST_P(OursProducer, OneByteRooms) {
  const int level = GetParam();
  Bytes data = Text(20000, 99);
  Bytes runs = Runs(20000, 98);
  data.insert(data.end(), runs.begin(), runs.end());
  auto cst = NewDeflateState();
  CompressResult cr = Compress(cst.get(), data, level << 4, RandomSizes(level), Fixed(1));
  ASSERT_EQ(cr.rc, 1);
  CheckStream(data, cr.stream, level, "one-byte rooms");
  // Same bytes as with unlimited room when the filler is the same.
  CsRLzhISetFiller(FillerCount(cr.stream), cr.stream[8] >> 2);
  CompressResult wide = Compress(cst.get(), data, level << 4, Fixed(data.size()), Fixed(1 << 20));
  EXPECT_EQ(wide.stream, cr.stream);
}

INSTANTIATE_TEST_SUITE_P(Levels, OursProducer, ::testing::Range(1, 10));

}  // namespace
