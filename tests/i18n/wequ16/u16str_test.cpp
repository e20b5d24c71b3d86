#include "i18n/wequ16/u16str.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// Lengths of every prefix bound over strings with the terminator at every
// position, read from a buffer whose capacity is exactly max units so that
// the sanitizers see any read beyond the bound.
TEST(StrnlenU16, StopsAtTerminatorOrBound) {
  for (size_t len = 0; len < 40; ++len) {
    for (size_t max = 0; max < 48; ++max) {
      std::vector<WEQ_UC> buf(max == 0 ? 1 : max, u'x');
      if (len < max) buf[len] = 0;
      size_t want = len < max ? len : max;
      EXPECT_EQ(strnlenU16(buf.data(), max), want) << "len " << len << " max " << max;
    }
  }
}

TEST(StrnlenU16, CountsSurrogatesAsUnits) {
  const WEQ_UC s[] = {0xD83D, 0xDE00, u'a', 0};
  EXPECT_EQ(strnlenU16(s, 10), 3u);
  EXPECT_EQ(strnlenU16(s, 1), 1u);
}

}  // namespace
