// The running CRC-32, with zlib's crc32 as reference.
#include "compression/csr_stream.h"

#include <gtest/gtest.h>

#include <zlib.h>

#include <random>

#include "compression/csr.h"
#include "csr_test_util.h"

namespace {

using namespace csrtest;

// The register is the complement of zlib's CRC-32 from any register, at
// every length up to a few 64-byte strides and a long one, at odd
// alignments, whole or cut into random pieces of a context.
TEST(CsRCrc, RegisterMatchesZlibOverPieces) {
  const uint8_t abc[] = {'a', 'b', 'c'};
  EXPECT_EQ(CsRCrcRegister(CSR_CRC_INIT, abc, 3), 0xCADBBE3Du);
  std::mt19937 rng(9);
  for (size_t n = 0; n <= 301; ++n) {
    const size_t len = n == 301 ? 65537 : n, align = n % 3;
    const Bytes data = RandomBytes(len + 3, static_cast<uint32_t>(n));  // never a null pointer for zlib
    const uint8_t* p = data.data() + align;
    const uint32_t reg = rng();
    const uint32_t want = ~static_cast<uint32_t>(crc32(~reg, p, static_cast<uInt>(len)));
    EXPECT_EQ(CsRCrcRegister(reg, p, len), want) << n;
    CSR_CRC* c = CsRCrcCreate(0);
    ASSERT_NE(c, nullptr);
    for (size_t at = 0, k; at < len; at += k) {
      k = std::min<size_t>(len - at, rng() % 90);
      EXPECT_EQ(CsRCrcUpdate(c, p + at, static_cast<uint32_t>(k), 0), k);
    }
    EXPECT_EQ(c->crc, Register(Bytes(p, p + len))) << n;
    EXPECT_EQ(c->position, len % CSR_CRC_DEFAULT_SEGMENT);
    CsRCrcFree(c);
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
