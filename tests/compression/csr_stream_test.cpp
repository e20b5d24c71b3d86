#include "compression/csr_stream.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <vector>

#include "compression/csr.h"

namespace {

std::vector<WEQ_RAW> RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<WEQ_RAW> v(n);
  for (auto& b : v) b = static_cast<WEQ_RAW>(rng());
  return v;
}

uint32_t ZlibCrc(const WEQ_RAW* p, size_t n) {
  return static_cast<uint32_t>(crc32(crc32(0, nullptr, 0), p, static_cast<uInt>(n)));
}

TEST(CsRCrc, RegisterOfKnownTexts) {
  const WEQ_RAW abc[] = {'a', 'b', 'c'};
  EXPECT_EQ(CsRCrcRegister(CSR_CRC_INIT, abc, 3), 0xCADBBE3Du);
  EXPECT_EQ(CsRCrcRegister(CSR_CRC_INIT, abc, 0), 0xFFFFFFFFu);
  // The standard check value of CRC-32 over "123456789" is 0xCBF43926.
  const WEQ_RAW digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(CsRCrcRegister(CSR_CRC_INIT, digits, 9), ~0xCBF43926u);
}

// The register is the complement of zlib's CRC-32, however the data is cut
// into pieces; lengths around the 8-byte stride and odd alignments included.
TEST(CsRCrc, MatchesZlibOverPieces) {
  for (size_t n : {1u, 7u, 8u, 9u, 15u, 16u, 17u, 63u, 1000u, 65537u}) {
    auto data = RandomBytes(n + 3, static_cast<uint32_t>(n));
    for (size_t align = 0; align < 3; ++align) {
      const WEQ_RAW* p = data.data() + align;
      uint32_t want = ~ZlibCrc(p, n);
      EXPECT_EQ(CsRCrcRegister(CSR_CRC_INIT, p, n), want) << n << "/" << align;
      CSR_CRC* c = CsRCrcCreate(0);
      ASSERT_NE(c, nullptr);
      std::mt19937 rng(static_cast<uint32_t>(n * 3 + align));
      size_t at = 0;
      while (at < n) {
        uint32_t k = static_cast<uint32_t>(std::min<size_t>(n - at, rng() % 40));
        EXPECT_EQ(CsRCrcUpdate(c, p + at, k, 0), k);
        at += k;
      }
      EXPECT_EQ(c->crc, want);
      EXPECT_EQ(c->total, n);
      EXPECT_EQ(c->position, n % 65536);
      CsRCrcFree(c);
    }
  }
}

// Segments: with stop set a piece is cut at the end of the current segment,
// and the position wraps to 0 there; without stop the piece is counted
// whole and the position wraps modulo the segment.
TEST(CsRCrc, SegmentsAndStop) {
  auto data = RandomBytes(100, 5);
  CSR_CRC* c = CsRCrcCreate(10);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->segment, 10u);
  EXPECT_EQ(c->crc, CSR_CRC_INIT);

  EXPECT_EQ(CsRCrcUpdate(c, data.data(), 4, 1), 4u);
  EXPECT_EQ(c->position, 4u);
  EXPECT_EQ(CsRCrcUpdate(c, data.data() + 4, 50, 1), 6u);  // cut at the segment end
  EXPECT_EQ(c->position, 0u);
  EXPECT_EQ(c->total, 10u);
  EXPECT_EQ(c->crc, ~ZlibCrc(data.data(), 10));

  EXPECT_EQ(CsRCrcUpdate(c, data.data() + 10, 23, 0), 23u);  // no stop: all taken
  EXPECT_EQ(c->position, 3u);
  EXPECT_EQ(c->total, 33u);

  // A copy tests a piece without committing it.
  CSR_CRC probe = *c;
  EXPECT_EQ(CsRCrcUpdate(&probe, data.data() + 33, 67, 1), 7u);
  EXPECT_EQ(probe.position, 0u);
  EXPECT_EQ(c->position, 3u);
  EXPECT_EQ(probe.crc, ~ZlibCrc(data.data(), 40));

  // The framer may shrink the segment while the position is beyond it.
  c->segment = 2;
  EXPECT_EQ(CsRCrcUpdate(c, data.data() + 33, 5, 1), 1u);
  EXPECT_EQ(c->position, 0u);

  // Segment 0 counts without segments.
  c->segment = 0;
  EXPECT_EQ(CsRCrcUpdate(c, data.data() + 34, 66, 1), 66u);
  EXPECT_EQ(c->crc, ~ZlibCrc(data.data(), 100));
  EXPECT_EQ(c->total, 100u);
  CsRCrcFree(c);

  EXPECT_EQ(CsRCrcUpdate(nullptr, data.data(), 5, 0), 0u);
  CsRCrcFree(nullptr);
}

TEST(CsRHeader, WriteAndRead) {
  struct Case {
    int length;
    WEQ_RAW alg, param;
    WEQ_RAW bytes[8];
  } cases[] = {
      {0, CSR_ALG_LZC, 0x8D, {0, 0, 0, 0, 0x11, 0x1F, 0x9D, 0x8D}},
      {0x12345678, CSR_ALG_LZH | CSR_ALG_BLOCK, 9, {0x78, 0x56, 0x34, 0x12, 0x1A, 0x1F, 0x9D, 9}},
      {0x7FFFFFFF, CSR_ALG_LZC | CSR_ALG_BLOCK, 0x8D, {0xFF, 0xFF, 0xFF, 0x7F, 0x19, 0x1F, 0x9D, 0x8D}},
  };
  for (const auto& k : cases) {
    WEQ_RAW out[8] = {};
    EXPECT_EQ(CsRWriteHeader(out, k.length, k.alg, k.param), 0);
    EXPECT_EQ(std::vector<WEQ_RAW>(out, out + 8), std::vector<WEQ_RAW>(k.bytes, k.bytes + 8));
    EXPECT_EQ(CsRReadHeader(out), k.length);
  }
  WEQ_RAW untouched[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_EQ(CsRWriteHeader(untouched, -1, CSR_ALG_LZC, 0x8D), CSR_E_TOTAL_LEN);
  EXPECT_EQ(untouched[0], 1);
}

TEST(CsRHeader, RefusesBadMagicAndReportsHugeLengthsNegative) {
  const WEQ_RAW bad5[8] = {1, 0, 0, 0, 0x11, 0x1E, 0x9D, 0x8D};
  const WEQ_RAW bad6[8] = {1, 0, 0, 0, 0x11, 0x1F, 0x9C, 0x8D};
  EXPECT_EQ(CsRReadHeader(bad5), CSR_E_HEADER);
  EXPECT_EQ(CsRReadHeader(bad6), CSR_E_HEADER);
  const WEQ_RAW big[8] = {0, 0, 0, 0x80, 0x11, 0x1F, 0x9D, 0x8D};
  EXPECT_LT(CsRReadHeader(big), 0);
}

}  // namespace
