// The running CRC-32, with zlib's crc32 as reference.
#include "compression/csr_stream.h"

#include <gtest/gtest.h>

#include <zlib.h>

#include <random>

#include "compression/csr.h"
#include "csr_test_util.h"

namespace {

using namespace csrtest;

// The register is the complement of zlib's CRC-32, however the data is cut
// into pieces; every length up to a few 64-byte strides, longer ones, odd
// alignments and registers other than the initial one included.
TEST(CsRCrc, RegisterMatchesZlibOverPieces) {
  const uint8_t abc[] = {'a', 'b', 'c'}, digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(CsRCrcRegister(CSR_CRC_INIT, abc, 3), 0xCADBBE3Du);
  EXPECT_EQ(CsRCrcRegister(CSR_CRC_INIT, digits, 9), ~0xCBF43926u);  // the standard check value
  auto zlib = [](uint32_t reg, const uint8_t* p, size_t n) {
    return ~static_cast<uint32_t>(crc32(~reg, p, static_cast<uInt>(n)));
  };
  const Bytes ones(300, 0xFF);
  std::mt19937 regs(9);
  for (size_t n = 0; n <= ones.size(); ++n) {
    const uint32_t reg = regs();
    const Bytes data = RandomBytes(n + 1, static_cast<uint32_t>(n));  // never a null pointer for zlib
    EXPECT_EQ(CsRCrcRegister(reg, data.data(), n), zlib(reg, data.data(), n)) << n;
    EXPECT_EQ(CsRCrcRegister(reg, ones.data(), n), zlib(reg, ones.data(), n)) << n;
  }
  for (size_t n : {0u, 1u, 7u, 8u, 9u, 15u, 16u, 17u, 63u, 1000u, 65537u}) {
    const Bytes data = RandomBytes(n + 3, static_cast<uint32_t>(n));
    for (size_t align = 0; align < 3; ++align) {
      const uint8_t* p = data.data() + align;
      const uint32_t want = Register(Bytes(p, p + n));
      EXPECT_EQ(CsRCrcRegister(CSR_CRC_INIT, p, n), want) << n << "/" << align;
      CSR_CRC* c = CsRCrcCreate(0);
      ASSERT_NE(c, nullptr);
      std::mt19937 rng(static_cast<uint32_t>(n * 3 + align));
      for (size_t at = 0, k; at < n; at += k) {
        k = std::min<size_t>(n - at, rng() % 40);
        EXPECT_EQ(CsRCrcUpdate(c, p + at, static_cast<uint32_t>(k), 0), k);
      }
      EXPECT_EQ(c->crc, want);
      EXPECT_EQ(c->total, n);
      EXPECT_EQ(c->position, n % CSR_CRC_DEFAULT_SEGMENT);
      CsRCrcFree(c);
    }
  }
}

// With stop set a piece is cut at the end of the current segment, where the
// position wraps to 0; without stop the piece is counted whole.
TEST(CsRCrc, SegmentsAndStop) {
  const Bytes data = RandomBytes(100, 5);
  auto zlib = [&](size_t n) { return Register(Bytes(data.begin(), data.begin() + n)); };
  CSR_CRC* c = CsRCrcCreate(10);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(CsRCrcUpdate(c, data.data(), 4, 1), 4u);
  EXPECT_EQ(CsRCrcUpdate(c, data.data() + 4, 50, 1), 6u);
  EXPECT_EQ(c->position, 0u);
  EXPECT_EQ(c->crc, zlib(10));
  EXPECT_EQ(CsRCrcUpdate(c, data.data() + 10, 23, 0), 23u);
  EXPECT_EQ(c->position, 3u);
  CSR_CRC probe = *c;  // a copy tests a piece without committing it
  EXPECT_EQ(CsRCrcUpdate(&probe, data.data() + 33, 67, 1), 7u);
  EXPECT_EQ(probe.crc, zlib(40));
  EXPECT_EQ(c->total, 33u);
  CsRCrcFree(c);
  EXPECT_EQ(CsRCrcUpdate(nullptr, data.data(), 5, 0), 0u);
}

}  // namespace
