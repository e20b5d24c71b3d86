// Net-format text fields against iconv: the three forms callers use, in
// both directions, cuts at the field width, and the trace texts' ring.
#include <gtest/gtest.h>
#include <string.h>

#include <random>
#include <string>
#include <vector>

#include "krn/dptrc/trc_checker.h"
#include "krn/gw/gw.h"
#include "krn/gw/gw_int.h"
#include "support/testsupport.h"

namespace {

std::string IconvToUtf8(const std::u16string& s) {
  std::string in(reinterpret_cast<const char*>(s.data()), s.size() * 2), out;
  EXPECT_TRUE(trccheck::Iconv("UTF-8", "UTF-16LE", in, &out));
  return out;
}

std::u16string IconvFromUtf8(const std::string& s) {
  std::string out;
  EXPECT_TRUE(trccheck::Iconv("UTF-16LE", "UTF-8", s, &out));
  return std::u16string(reinterpret_cast<const char16_t*>(out.data()), out.size() / 2);
}

// The longest prefix of whole characters whose UTF-8 fits in room bytes.
std::u16string FitPrefix(const std::u16string& s, size_t room) {
  std::u16string best;
  for (size_t i = 0; i <= s.size(); ++i) {
    if (i < s.size() && i > 0 && s[i] >= 0xDC00 && s[i] <= 0xDFFF) continue;  // inside a pair
    std::u16string p = s.substr(0, i);
    if (IconvToUtf8(p).size() <= room) best = p;
  }
  return best;
}

const std::vector<std::u16string> kSamples = {
    u"",       u"AB",           u"SAPGW00", u"Grüße",   u"caf\u00e9 au lait", u"\u65e5\u672c\u8a9e",
    u"\U0001F600x", u"a b", u"\u00ff\u00e0\u00e7", u"ABCDEFGHIJKL", u"\u4e2d\u6587\U00020000\u00e9",
};

TEST(GwNetFields, DocumentedCases) {
  char field[16];
  int len = -1;
  memset(field, '#', sizeof field);
  EXPECT_EQ(GwConvToNet(field, &len, 8, u"AB", 2, 0, 0), 0);
  EXPECT_EQ(len, 8);
  EXPECT_EQ(std::string(field, 9), "AB      #");

  memset(field, '#', sizeof field);
  EXPECT_EQ(GwConvToNet(field, &len, 8, u"ABCDEFGHIJKL", 12, 0, 0), 32);
  EXPECT_EQ(std::string(field, 9), "ABCDEFGH#");

  memset(field, '#', sizeof field);
  EXPECT_EQ(GwConvToNet(field, &len, 16, u"AB CD", 5, 1, 1), 0);
  EXPECT_EQ(len, 3);
  EXPECT_EQ(std::string(field, 4), std::string("AB\0#", 4));

  WEQ_UC dst[8];
  EXPECT_EQ(GwConvFromNet(dst, &len, 8, "ABC\0", 4, 0, 0), 0);
  EXPECT_EQ(len, 3);
  EXPECT_EQ(dst[3], 0);
}

// Each sample through the three forms, both directions, against iconv.
TEST(GwNetFields, ThreeFormsAgainstIconv) {
  for (const std::u16string& s : kSamples) {
    SCOPED_TRACE(tovtest::Show(s));
    std::string want = IconvToUtf8(s);
    for (int cap : {4, 8, 12, 64}) {
      SCOPED_TRACE(cap);
      // Blank-padded.
      std::vector<char> field(static_cast<size_t>(cap) + 4, '#');
      int len = -1;
      int rc = GwConvToNet(field.data(), &len, cap, s.data(), static_cast<int>(s.size()), 0, 0);
      std::string fit = IconvToUtf8(FitPrefix(s, static_cast<size_t>(cap)));
      EXPECT_EQ(rc, fit.size() == want.size() ? 0 : 32);
      EXPECT_EQ(len, cap);
      EXPECT_EQ(std::string(field.data(), fit.size()), fit);
      for (int i = static_cast<int>(fit.size()); i < cap; ++i) EXPECT_EQ(field[static_cast<size_t>(i)], ' ');
      EXPECT_EQ(field[static_cast<size_t>(cap)], '#');

      // Terminated, from a source that ends with a 0 unit.
      std::u16string z = s + u'\0' + u"tail";
      std::fill(field.begin(), field.end(), '#');
      rc = GwConvToNet(field.data(), &len, cap, z.data(), 65535, 1, 0);
      std::string tfit = IconvToUtf8(FitPrefix(s, static_cast<size_t>(cap - 1)));
      EXPECT_EQ(rc, tfit.size() == want.size() ? 0 : 32);
      EXPECT_EQ(len, static_cast<int>(tfit.size()) + 1);
      EXPECT_EQ(std::string(field.data(), tfit.size() + 1), tfit + std::string(1, '\0'));

      // Back: the whole field with trailing blanks.
      std::string net = want + std::string(4, ' ');
      std::vector<WEQ_UC> back(static_cast<size_t>(cap) + 2, u'#');
      rc = GwConvFromNet(back.data(), &len, cap, net.data(), static_cast<int>(net.size()), 1, 1);
      std::u16string exp = IconvFromUtf8(want);
      exp = exp.substr(0, exp.find(u' '));
      if (static_cast<int>(exp.size()) <= cap - 1) {
        EXPECT_EQ(rc, 0);
        EXPECT_EQ(std::u16string(back.data(), static_cast<size_t>(len)), exp);
        EXPECT_EQ(back[static_cast<size_t>(len)], 0);
      } else {
        EXPECT_EQ(rc, 32);
        EXPECT_LE(len, cap - 1);
      }
    }
  }
}

TEST(GwNetFields, WordFormStopsAtTheFirstBlankBothWays) {
  char field[16];
  int len = -1;
  EXPECT_EQ(GwConvToNet(field, &len, 16, u"\u00e9t\u00e9 x", 5, 0, 1), 0);
  EXPECT_EQ(len, 5);
  EXPECT_EQ(std::string(field, 5), "\xC3\xA9t\xC3\xA9");
  WEQ_UC dst[16];
  EXPECT_EQ(GwConvFromNet(dst, &len, 16, "ab cd", 5, 0, 1), 0);
  EXPECT_EQ(len, 2);
  EXPECT_EQ(std::u16string(dst, 2), u"ab");
}

TEST(GwNetFields, RandomTextAgainstIconv) {
  std::mt19937 rng(39);
  const std::vector<std::u16string> pieces = {u"A", u" ", u"\u00e4", u"\u20ac", u"\U0001F600", u"\u65e5", u"z"};
  for (int round = 0; round < 3000 * tovtest::HeavyFactor(); ++round) {
    std::u16string s;
    int n = static_cast<int>(rng() % 10);
    for (int i = 0; i < n; ++i) s += pieces[rng() % pieces.size()];
    int cap = 1 + static_cast<int>(rng() % 40);
    std::vector<char> field(static_cast<size_t>(cap));
    int len = -1;
    int rc = GwConvToNet(field.data(), &len, cap, s.data(), static_cast<int>(s.size()), 0, 0);
    std::string fit = IconvToUtf8(FitPrefix(s, static_cast<size_t>(cap)));
    ASSERT_EQ(rc, fit.size() == IconvToUtf8(s).size() ? 0 : 32) << tovtest::Show(s) << " cap " << cap;
    ASSERT_EQ(std::string(field.data(), fit.size()), fit);
    // Back again: the padded field gives the text and its blanks.
    std::vector<WEQ_UC> back(static_cast<size_t>(cap) + 1);
    ASSERT_EQ(GwConvFromNet(back.data(), &len, cap + 1, field.data(), cap, 1, 0), 0);
    ASSERT_EQ(std::u16string(back.data(), static_cast<size_t>(len)), IconvFromUtf8(std::string(field.data(), static_cast<size_t>(cap))));
  }
}

TEST(GwNetFields, BadInputGivesTheConvertersCodeAndNoLength) {
  WEQ_UC dst[8];
  int len = 77;
  int rc = GwConvFromNet(dst, &len, 8, "AB\xE2\x82", 4, 0, 0);
  EXPECT_NE(rc, 0);
  EXPECT_NE(rc, 32);
  EXPECT_EQ(len, 77);
  EXPECT_EQ(GwNetStrForTrc("AB\xE2\x82", 4, 0, 0)[0], 0);
  // Null and negative inputs are empty, never read.
  EXPECT_EQ(GwConvFromNet(dst, &len, 8, nullptr, 5, 1, 0), 0);
  EXPECT_EQ(len, 0);
  EXPECT_EQ(GwConvToNet(nullptr, &len, 8, u"abc", 3, 0, 0), 32);
}

TEST(GwNetTrace, RingOfTenTextsPerThread) {
  const WEQ_UC* first = GwNetStrForTrc("first   ", 8, 0, 0);
  EXPECT_EQ(std::u16string(first), u"first   ");
  std::vector<const WEQ_UC*> seen = {first};
  for (int i = 1; i < 10; ++i) {
    std::string f = "text" + std::to_string(i);
    seen.push_back(GwNetStrForTrc(f.data(), static_cast<int>(f.size()), 0, 0));
  }
  // The nine later texts did not touch the first.
  EXPECT_EQ(std::u16string(first), u"first   ");
  for (int i = 1; i < 10; ++i) EXPECT_EQ(std::u16string(seen[static_cast<size_t>(i)]), u"text" + tovtest::FromUtf8(std::to_string(i)));
  const WEQ_UC* eleventh = GwNetStrForTrc("again", 5, 0, 0);
  EXPECT_EQ(eleventh, first) << "the eleventh call reuses the first buffer";
  EXPECT_EQ(std::u16string(eleventh), u"again");
  // The word form and the terminated form.
  EXPECT_EQ(std::u16string(GwNetStrForTrc("ab cd", 5, 1, 1)), u"ab");
  EXPECT_EQ(std::u16string(GwNetStrForTrc("ab\0cd", 5, 1, 0)), u"ab");
}

TEST(GwNetTrace, BuffersGrowAndShrinkToWhatTheTextNeeds) {
  // Walk to a known slot: the slot of the call after ten more calls.
  for (int i = 0; i < 10; ++i) GwNetStrForTrc("x", 1, 0, 0);
  GwThrData* data = GwIThrData();
  ASSERT_NE(data, nullptr);
  int slot = data->next;
  std::string big(3000, 'b');
  GwNetStrForTrc(big.data(), 3000, 0, 0);
  EXPECT_EQ(GwINetTrcCap(slot), 3001);
  for (int i = 0; i < 9; ++i) GwNetStrForTrc("y", 1, 0, 0);
  // Needs 2001 of 3001: within 1000 more, kept.
  std::string mid(2000, 'm');
  EXPECT_EQ(std::u16string(GwNetStrForTrc(mid.data(), 2000, 0, 0)), tovtest::FromUtf8(mid));
  EXPECT_EQ(GwINetTrcCap(slot), 3001);
  for (int i = 0; i < 9; ++i) GwNetStrForTrc("y", 1, 0, 0);
  // Needs 6: more than 1000 larger, shrinks to exactly 6.
  EXPECT_EQ(std::u16string(GwNetStrForTrc("small", 5, 0, 0)), u"small");
  EXPECT_EQ(GwINetTrcCap(slot), 6);
}

TEST(GwNetTrace, NoMemoryDropsTheBufferAndGivesAnEmptyText) {
  for (int i = 0; i < 10; ++i) GwNetStrForTrc("abc", 3, 0, 0);
  GwThrData* data = GwIThrData();
  ASSERT_NE(data, nullptr);
  int slot = data->next;
  GwISetNetTrcAllocFail(true);
  std::string big(2000, 'q');
  const WEQ_UC* t = GwNetStrForTrc(big.data(), 2000, 0, 0);
  GwISetNetTrcAllocFail(false);
  EXPECT_EQ(t[0], 0);
  EXPECT_EQ(GwINetTrcCap(slot), 0);
  EXPECT_EQ(data->ring[slot], nullptr);
  for (int i = 0; i < 9; ++i) GwNetStrForTrc("y", 1, 0, 0);
  EXPECT_EQ(std::u16string(GwNetStrForTrc("back", 4, 0, 0)), u"back");
  EXPECT_EQ(GwINetTrcCap(slot), 5);
}

}  // namespace
