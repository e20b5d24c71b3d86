// APPC header lengths and the conversion of an outgoing header between
// versions: every pair of versions in a buffer with exactly the room the
// conversion needs, read back by a decoder of the header's byte layout.
#include <gtest/gtest.h>
#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

#include "krn/gw/gw.h"
#include "peers/gwcodec.h"

namespace {

using peers::AppcLen;

// The header at h of len bytes as the peer toolkit's codec reads it; a
// version without a length reads as nothing.
peers::AppcHeader Decode(const uint8_t* h, int len) {
  peers::AppcHeader d;
  d.req = -1;
  if (len > 0) peers::AppcDecode(std::string(reinterpret_cast<const char*>(h), static_cast<size_t>(len)), len, &d);
  return d;
}

// A version-6 header filled with a pattern that a mis-placed byte shows.
void FillV6(uint8_t* h) {
  for (int i = 0; i < 80; ++i) h[i] = static_cast<uint8_t>(0xA0 + i);
  h[0] = 6;
  h[1] = F_WEQ_SEND;
  h[4] = 0xFF, h[5] = 0xFF;
  h[26] = 0x01, h[27] = 0x02;
  h[36] = 0, h[37] = 0, h[38] = 0x02, h[39] = 0xDA;
  h[76] = 0x00, h[77] = 0x07;
  h[78] = 0xFF, h[79] = 0xFE;
}

TEST(GwHeader, LengthByVersion) {
  for (int v = 0; v < 256; ++v) EXPECT_EQ(GwAppcHdrLen(static_cast<uint8_t>(v)), AppcLen(v)) << v;
}

// Every pair of versions 0 to 7, the source header filled with the pattern
// and its version set, in a heap block with exactly the room in front that
// the conversion takes and 16 data bytes behind: ASan sees any byte beyond.
TEST(GwHeader, EveryPairOfVersionsInExactRoom) {
  const int dataLen = 16;
  for (int from = 0; from <= 7; ++from) {
    for (int to = 0; to <= 7; ++to) {
      SCOPED_TRACE(testing::Message() << from << " -> " << to);
      int oldLen = from == 6 ? 80 : AppcLen(from);
      // The sender builds 80 bytes; a header of another version is laid out
      // with its own length directly in front of the data.
      int front = AppcLen(to) > oldLen && from != to ? AppcLen(to) - oldLen : 0;
      size_t total = static_cast<size_t>(front + oldLen + dataLen);
      std::unique_ptr<uint8_t[]> block(new uint8_t[total]);
      uint8_t* hdr = block.get() + front;
      std::vector<uint8_t> pattern(80);
      FillV6(pattern.data());
      for (int i = 0; i < oldLen; ++i) hdr[i] = pattern[static_cast<size_t>(i % 80)];
      for (int i = 0; i < dataLen; ++i) hdr[oldLen + i] = static_cast<uint8_t>(0x30 + i);
      // A version without length has no header bytes: its version byte is
      // the first byte in front of which the conversion works.
      hdr[0] = static_cast<uint8_t>(from);
      int firstData = oldLen == 0 ? 1 : 0;
      std::vector<uint8_t> before(hdr, hdr + oldLen);

      int msgLen = oldLen + dataLen;
      uint8_t* out = GwOutCheck(hdr, static_cast<uint8_t>(to), &msgLen);
      int newLen = from == to ? oldLen : AppcLen(to);
      ASSERT_EQ(out + newLen, hdr + oldLen) << "the header must end where the data begins";
      ASSERT_EQ(msgLen, newLen + dataLen);
      for (int i = firstData; i < dataLen; ++i) ASSERT_EQ(out[newLen + i], 0x30 + i) << "data byte " << i;
      int kept = std::min(oldLen, newLen);
      for (int i = 1; i < kept; ++i) ASSERT_EQ(out[i], before[static_cast<size_t>(i)]) << "byte " << i;
      for (int i = std::max(kept, 1); i < newLen; ++i) ASSERT_EQ(out[i], 0) << "new byte " << i;
      if (newLen > 0) {
        EXPECT_EQ(out[0], to);
      }
      peers::AppcHeader d = Decode(out, newLen);
      if (newLen >= 76 && oldLen >= 76) {
        EXPECT_EQ(d.req, F_WEQ_SEND);
        EXPECT_EQ(d.uid, -1);
        EXPECT_EQ(d.weqRc, 730);
        EXPECT_EQ(d.paramLen, 0x0102);
      }
      if (newLen >= 80 && oldLen >= 80) {
        EXPECT_EQ(d.commIdx, 7);
        EXPECT_EQ(d.connIdx, -2);
      }
    }
  }
}

TEST(GwHeader, DocumentedConversions) {
  struct Case {
    int to;
    int shift;  // where the new header begins relative to the old one
    int growth;
  };
  const Case cases[] = {{4, -58, 58}, {1, 4, -4}, {5, 2, -2}, {2, -20, 20}, {6, 0, 0}, {0, 80, -80}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.to);
    std::vector<uint8_t> block(64 + 80 + 8, 0xEE);
    uint8_t* hdr = block.data() + 64;
    FillV6(hdr);
    int msgLen = 88;
    uint8_t* out = GwOutCheck(hdr, static_cast<uint8_t>(c.to), &msgLen);
    EXPECT_EQ(out - hdr, c.shift);
    EXPECT_EQ(msgLen, 88 + c.growth);
    peers::AppcHeader d = Decode(out, AppcLen(c.to));
    if (c.to == 1) {
      EXPECT_EQ(d.commIdx, -1);
      EXPECT_EQ(d.connIdx, -1);
      EXPECT_EQ(d.req, F_WEQ_SEND);
    }
    if (c.to == 4) {
      for (int i = 80; i < 138; ++i) EXPECT_EQ(out[i], 0) << i;
      EXPECT_EQ(d.connIdx, -2);
    }
  }
}

TEST(GwHeader, VersionsTwoAndThreeChangeOnlyTheVersionByte) {
  std::vector<uint8_t> a(100);
  for (size_t i = 0; i < a.size(); ++i) a[i] = static_cast<uint8_t>(i * 7);
  a[0] = 2;
  std::vector<uint8_t> b = a;
  int len = 100;
  EXPECT_EQ(GwOutCheck(b.data(), 3, &len), b.data());
  EXPECT_EQ(len, 100);
  EXPECT_EQ(b[0], 3);
  EXPECT_TRUE(std::equal(a.begin() + 1, a.end(), b.begin() + 1));
  // The same version leaves everything as it is.
  EXPECT_EQ(GwOutCheck(b.data(), 3, &len), b.data());
  EXPECT_EQ(len, 100);
}

}  // namespace
