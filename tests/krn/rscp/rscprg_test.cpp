// Code ranges and icon codes: the enumerators' bounds and orders, every
// supplementary character against iconv's UTF-16, the byte-range odometer
// against ICU's GB 18030 four-byte codes, and the icon bijection.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "i18n/wequ16/u16str.h"
#include "krn/rscp/rscpdat_int.h"
#include "rscpdat_oracle.h"

namespace {

using rscpdattest::Bytes;
using rscpdattest::Iconv;
using rscpdattest::IcuCharset;

// Collects a code enumerator's output.
template <class Next>
std::vector<uint32_t> Walk(rscpIterCode_t rec, Next next) {
  std::vector<uint32_t> v;
  uint32_t c = 0;
  while (next(&rec, &c)) v.push_back(c);
  uint32_t again = 0xDEAD;
  EXPECT_FALSE(next(&rec, &again));  // an exhausted enumerator stays so
  EXPECT_EQ(again, 0xDEADu);
  return v;
}

// The expected sets, written from the character classes: printable BMP
// skips only the C1 controls; the character sets also skip surrogates and
// the 32 non-characters of the Arabic block.
bool Printable(uint32_t c) { return (c >= 0x20 && c <= 0x7E) || (c >= 0xA0 && c <= 0xFFFD); }
bool BmpChar(uint32_t c) {
  return Printable(c) && !(c >= 0xD800 && c <= 0xDFFF) && !(c >= 0xFDD0 && c <= 0xFDEF);
}

TEST(RscpRange, CodeEnumeratorsCoverTheirSetsInOrder) {
  struct Fam {
    const char* name;
    rscpIterCode_t start;
    bool (*next)(rscpIterCode_t*, uint32_t*);
    bool (*member)(uint32_t);
    size_t count;
  };
  rscpIterCode_t print{rscpIterBmpPrintFirst(), {7, 7, 7}}, bmp{}, all{};
  rscpIterBmpCharInit(&bmp);
  rscpIterAllCharInit(&all);
  EXPECT_EQ(bmp.spare[0] | bmp.spare[1] | bmp.spare[2], 0u);
  const Fam fams[] = {
      {"print", print, rscpIterBmpPrintNext, Printable, 95 + 0xFFFD - 0xA0 + 1},
      {"bmp", bmp, rscpIterBmpCharNext, BmpChar, 95 + 0xFFFD - 0xA0 + 1 - 2048 - 32},
      {"all", all, rscpIterAllCharNext,
       [](uint32_t c) { return BmpChar(c) || (c >= 0x10000 && c <= 0x10FFFF); },
       95 + 0xFFFD - 0xA0 + 1 - 2048 - 32 + 0x100000},
  };
  for (const Fam& f : fams) {
    const auto v = Walk(f.start, f.next);
    EXPECT_EQ(v.size(), f.count) << f.name;
    for (size_t i = 0; i < v.size(); ++i) {
      ASSERT_TRUE(f.member(v[i])) << f.name << " " << std::hex << v[i];
      ASSERT_TRUE(i == 0 || v[i] > v[i - 1]) << f.name << " " << i;
    }
  }
  // The published turning points.
  auto after = [](rscpIterCode_t rec, bool (*next)(rscpIterCode_t*, uint32_t*), uint32_t from) {
    rec.next = from;
    uint32_t a = 0, b = 0;
    next(&rec, &a);
    bool more = next(&rec, &b);
    return std::vector<uint32_t>{a, more ? b : 0xFFFFFFFFu};
  };
  EXPECT_EQ(after(print, rscpIterBmpPrintNext, 0x7E), (std::vector<uint32_t>{0x7E, 0xA0}));
  EXPECT_EQ(after(print, rscpIterBmpPrintNext, 0xD7FF), (std::vector<uint32_t>{0xD7FF, 0xD800}));
  EXPECT_EQ(after(print, rscpIterBmpPrintNext, 0xFFFD), (std::vector<uint32_t>{0xFFFD, 0xFFFFFFFFu}));
  EXPECT_EQ(after(all, rscpIterAllCharNext, 0xFFFD), (std::vector<uint32_t>{0xFFFD, 0x10000}));
  EXPECT_EQ(after(all, rscpIterAllCharNext, 0x10FFFF), (std::vector<uint32_t>{0x10FFFF, 0xFFFFFFFFu}));
  EXPECT_EQ(after(bmp, rscpIterBmpCharNext, 0xFDCF), (std::vector<uint32_t>{0xFDCF, 0xFDF0}));
  // A next code taken as signed: a huge value counts as below 0xFFFE.
  rscpIterCode_t neg{0xFFFFFFF0u, {}};
  uint32_t c = 0;
  EXPECT_TRUE(rscpIterBmpPrintNext(&neg, &c));
  EXPECT_EQ(c, 0xFFFFFFF0u);
}

TEST(RscpRange, EverySupplementaryCharacterAgainstIconv) {
  std::vector<uint32_t> codes;
  Bytes ours;
  rscpIterCode_t rec{rscpIterSupplFirst(), {}};
  uint32_t c;
  uint8_t b[4];
  while (rscpIterSupplNext(&rec, &c, &b[0], &b[1], &b[2], &b[3])) {
    codes.push_back(c);
    ours.insert(ours.end(), b, b + 4);
  }
  ASSERT_EQ(codes.size(), 0x100000u);
  Bytes utf32;
  for (uint32_t i = 0; i < codes.size(); ++i) {
    ASSERT_EQ(codes[i], 0x10000 + i);
    const uint32_t v = codes[i];
    utf32.insert(utf32.end(), {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)});
  }
  Iconv toUtf16("UTF-16BE", "UTF-32BE");
  ASSERT_TRUE(toUtf16.ok());
  auto ref = toUtf16.Run(utf32.data(), utf32.size());
  ASSERT_TRUE(ref);
  ASSERT_EQ(ref->size(), ours.size());
  for (size_t i = 0; i < ours.size(); i += 4)
    ASSERT_TRUE(std::equal(ours.begin() + long(i), ours.begin() + long(i) + 4, ref->begin() + long(i)))
        << std::hex << codes[i / 4];
}

struct Walked {
  std::vector<uint32_t> codes;
  std::vector<Bytes> bytes;
};

Walked WalkRange(uint32_t first, uint32_t last, int n, std::vector<int32_t> start,
                 std::vector<int32_t> low, std::vector<int32_t> high) {
  rscpIterByteRange_t rec;
  rscpIterByteRangeInit(&rec, first, last, n, start.data(), low.data(), high.data());
  Walked w;
  uint32_t code;
  uint8_t b[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  while (rscpIterByteRangeNext(&rec, &code, &b[0], &b[1], &b[2], &b[3])) {
    w.codes.push_back(code);
    w.bytes.push_back(Bytes(b, b + 4));
  }
  return w;
}

TEST(RscpRange, ByteRangeOdometer) {
  // The published example: the odometer wraps back to the low bytes.
  auto w = WalkRange(100, 102, 2, {0x81, 0x40}, {0x81, 0x40}, {0x81, 0x41});
  EXPECT_EQ(w.codes, (std::vector<uint32_t>{100, 101, 102}));
  ASSERT_EQ(w.bytes.size(), 3u);
  EXPECT_EQ(w.bytes[0], (Bytes{0x81, 0x40, 0xEE, 0xEE}));  // b3, b4 untouched
  EXPECT_EQ(w.bytes[1], (Bytes{0x81, 0x41, 0xEE, 0xEE}));
  EXPECT_EQ(w.bytes[2], (Bytes{0x81, 0x40, 0xEE, 0xEE}));
  // A carry through all four positions, and bounds that refuse.
  w = WalkRange(0, 2, 4, {1, 2, 9, 9}, {1, 2, 0, 0}, {2, 2, 9, 9});
  ASSERT_EQ(w.bytes.size(), 3u);
  EXPECT_EQ(w.bytes[1], (Bytes{2, 2, 0, 0}));
  EXPECT_TRUE(WalkRange(5, 4, 1, {0}, {0}, {9}).codes.empty());
  EXPECT_TRUE(WalkRange(0, 4, 0, {0}, {0}, {9}).codes.empty());
  EXPECT_TRUE(WalkRange(0, 4, 5, {0, 0, 0, 0, 0}, {0, 0, 0, 0, 0}, {9, 9, 9, 9, 9}).codes.empty());
  // The top code ends the walk instead of wrapping to 0.
  EXPECT_EQ(WalkRange(0xFFFFFFFEu, 0xFFFFFFFFu, 1, {0}, {0}, {255}).codes.size(), 2u);
}

// GB 18030's four-byte region: the linear ranges between the BMP
// characters it does not code in two bytes, and the supplementary planes.
// Each walk of a range is checked against ICU's gb18030 both ways.
TEST(RscpRange, ByteRangesAgainstIcuGb18030) {
  IcuCharset gb("gb18030");
  ASSERT_TRUE(gb.ok());
  struct R {
    uint32_t first, last;
    std::vector<int32_t> start;
  };
  const std::vector<int32_t> lo{0x81, 0x30, 0x81, 0x30}, hi{0xFE, 0x39, 0xFE, 0x39};
  // U+1E3F has a two-byte code since GB 18030-2005; the four-byte code
  // between its neighbours names U+E7C7 instead.
  const R ranges[] = {{0x0452, 0x1E3E, {0x81, 0x30, 0xD3, 0x30}},
                      {0x1E40, 0x200F, {0x81, 0x35, 0xF4, 0x38}},
                      {0x9FA6, 0xD7FF, {0x82, 0x35, 0x8F, 0x33}},
                      {0xE865, 0xF92B, {0x83, 0x36, 0xD0, 0x30}},
                      {0x10000, 0x10FFFF, {0x90, 0x30, 0x81, 0x30}}};
  size_t checked = 0;
  for (const R& r : ranges) {
    const Walked w = WalkRange(r.first, r.last, 4, r.start, lo, hi);
    ASSERT_EQ(w.codes.size(), size_t(r.last - r.first + 1));
    Bytes all;
    std::u32string text;
    for (size_t i = 0; i < w.codes.size(); ++i) {
      all.insert(all.end(), w.bytes[i].begin(), w.bytes[i].end());
      if (w.codes[i] >= 0xD800 && w.codes[i] <= 0xDFFF) continue;
      text.push_back(char32_t(w.codes[i]));
    }
    auto dec = gb.Decode(all);
    ASSERT_TRUE(dec) << std::hex << r.first;
    // ICU's decoder gives each four-byte code's character; where it holds a
    // two-byte code for one, the four-byte decoding still names it.
    ASSERT_EQ(dec->size(), w.codes.size());
    for (size_t i = 0; i < w.codes.size(); ++i) {
      ASSERT_EQ(uint32_t((*dec)[i]), w.codes[i]) << std::hex << w.codes[i];
      ++checked;
    }
  }
  EXPECT_GT(checked, 0x100000u);
}

// --- Icons ------------------------------------------------------------------

std::string Alphabet() {
  return "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
}

TEST(RscpIcon, CodesAndNumbersAreABijection) {
  const std::string a = Alphabet();
  std::set<uint32_t> seen;
  for (int c1 = 0; c1 < 256; ++c1)
    for (int c2 = 0; c2 < 256; ++c2) {
      const uint32_t n = rscpIconCodeToChar(uint8_t(c1), uint8_t(c2));
      const bool inAlpha = a.find(char(c1)) != std::string::npos && a.find(char(c2)) != std::string::npos &&
                           c1 && c2;
      ASSERT_EQ(n != 0, inAlpha) << c1 << " " << c2;
      if (!n) continue;
      ASSERT_GE(n, RSCP_ICON_BASE);
      ASSERT_LT(n, RSCP_ICON_BASE + RSCP_ICON_COUNT);
      ASSERT_TRUE(seen.insert(n).second);
      const rscpIconCode_t f = rscpCharToIconCode(n);
      ASSERT_EQ(f.len, 6);
      ASSERT_EQ(Bytes(f.bytes, f.bytes + 6), (Bytes{0xF8, 0xFD, 0, uint8_t(c1), 0, uint8_t(c2)}));
    }
  EXPECT_EQ(seen.size(), size_t(RSCP_ICON_COUNT));
  // The published values.
  EXPECT_EQ(rscpIconCodeToChar('0', '0'), 0x110100u);
  EXPECT_EQ(rscpIconCodeToChar('z', 'Z'), 0x110100u + 2231);
  EXPECT_EQ(rscpIconCodeToChar('0', 'a'), 0x110100u + 2232);
  EXPECT_EQ(rscpIconCodeToChar('z', 'z'), 0x110100u + 3843);
  EXPECT_EQ(rscpIconCodeToChar('-', '0'), 0u);
  EXPECT_EQ(rscpIconCodeToChar('0', '-'), 0u);
  const Bytes zero{0xF8, 0xFD, 0, '0', 0, '0'};
  for (uint32_t out : {RSCP_ICON_BASE - 1, RSCP_ICON_BASE + RSCP_ICON_COUNT, 0u, 0xFFFFFFFFu,
                       RSCP_ICON_BASE + (1u << 24)}) {
    const rscpIconCode_t f = rscpCharToIconCode(out);
    EXPECT_EQ(Bytes(f.bytes, f.bytes + 6), zero) << std::hex << out;
  }
  const rscpIconCode_t f = rscpCharToIconCode(RSCP_ICON_BASE + 2232 + (7u << 24));
  EXPECT_EQ(Bytes(f.bytes, f.bytes + 6), (Bytes{0xF8, 0xFD, 0, '0', 0, 'a'}));
}

TEST(RscpIcon, EnumeratorsDeliverEveryIconInOrder) {
  const std::string a = Alphabet();
  rscpIterIcon_t plain, utf8;
  rscpIterIconInit(&plain, 0);
  rscpIterIconUtf8Init(&utf8, 0);
  rscpIterIconForm_t forms[4];
  const std::u16string prefix = u"1B-24", suffix = u"0d 0a";
  for (int k = 0; k < 4; ++k)
    rscpIterIconFormInit(&forms[k], 0, uint16_t(40 + k), prefix.data(), int32_t(prefix.size()),
                         suffix.data(), int32_t(suffix.size()));
  EXPECT_EQ(forms[0].prefixLen, 2);
  EXPECT_EQ(forms[0].suffixLen, 2);
  for (size_t i = 0; i < RSCP_ICON_COUNT; ++i) {
    const uint8_t c1 = uint8_t(a[i / 62]), c2 = uint8_t(a[i % 62]);
    const uint32_t want = rscpIconCodeToChar(c1, c2);
    uint32_t n = 0;
    uint8_t x1 = 0, x2 = 0, u[3];
    ASSERT_TRUE(rscpIterIconNext(&plain, &n, &x1, &x2));
    ASSERT_EQ(n, want);
    ASSERT_TRUE(x1 == c1 && x2 == c2) << i;
    ASSERT_TRUE(rscpIterIconUtf8Next(&utf8, &n, &u[0], &u[1], &u[2], &x1, &x2));
    ASSERT_TRUE(n == want && x1 == c1 && x2 == c2 && u[0] == 0xEF && u[1] == 0xA3 && u[2] == 0xBD) << i;
    const Bytes codes[4] = {{c1, c2},
                            {U16CharToEbcdic(c1), U16CharToEbcdic(c2)},
                            {0, c1, 0, c2},
                            {c1, 0, c2, 0}};
    for (int k = 0; k < 4; ++k) {
      uint8_t buf[32];
      int32_t len = 0;
      ASSERT_TRUE(rscpIterIconFormNext(&forms[k], &n, buf, sizeof buf, &len));
      Bytes want_form{0x1B, 0x24};
      want_form.insert(want_form.end(), codes[k].begin(), codes[k].end());
      want_form.insert(want_form.end(), {0x0D, 0x0A});
      ASSERT_EQ(Bytes(buf, buf + len), want_form) << k << " " << i;
      ASSERT_EQ(n, want);
    }
  }
  EXPECT_EQ(plain.count, RSCP_ICON_COUNT);
  EXPECT_EQ(plain.state, 9u);
  uint32_t n = 0;
  uint8_t x1, x2, buf[16];
  int32_t len;
  EXPECT_FALSE(rscpIterIconNext(&plain, &n, &x1, &x2));
  EXPECT_FALSE(rscpIterIconFormNext(&forms[2], &n, buf, sizeof buf, &len));
  rscpIterIconInit(&plain, 12);  // a state of 9 or more is exhausted at once
  EXPECT_FALSE(rscpIterIconNext(&plain, &n, &x1, &x2));
}

TEST(RscpIcon, FormLengthsCapacityAndLimits) {
  const std::u16string esc = u"1B24";
  rscpIterIconForm_t f;
  rscpIterIconFormInit(&f, 0, 42, esc.data(), 4, nullptr, 0);
  uint32_t n = 0;
  uint8_t buf[64];
  int32_t len = 0;
  EXPECT_FALSE(rscpIterIconFormNext(&f, &n, buf, 5, &len));  // no room: stays at "00"
  EXPECT_EQ(len, 6);
  ASSERT_TRUE(rscpIterIconFormNext(&f, &n, buf, 6, &len));
  EXPECT_EQ(Bytes(buf, buf + len), (Bytes{0x1B, 0x24, 0, '0', 0, '0'}));
  EXPECT_EQ(n, RSCP_ICON_BASE);
  // Texts longer than the record's room keep their first 10 and 12 bytes;
  // a lone last digit makes no byte; a kind outside 40-43 writes no code.
  const std::u16string longText = u"000102030405060708090A0B0C0D0E0F1";
  rscpIterIconFormInit(&f, 0, 44, longText.data(), int32_t(longText.size()), longText.data(),
                       int32_t(longText.size()));
  EXPECT_EQ(f.prefixLen, 10);
  EXPECT_EQ(f.suffixLen, 12);
  ASSERT_TRUE(rscpIterIconFormNext(&f, &n, buf, sizeof buf, &len));
  EXPECT_EQ(len, 22);
  EXPECT_EQ(buf[9], 9);
  EXPECT_EQ(buf[10], 0);
  EXPECT_EQ(buf[21], 11);
  rscpIterIconFormInit(&f, 0, 40, u"F", 1, u"xyz", 3);
  EXPECT_EQ(f.prefixLen + f.suffixLen, 0);
}

TEST(RscpIcon, IntroducerIsAProcessValue) {
  EXPECT_EQ(rscpGetIconIntroducer(), u'\xF8FD');
  rscpSetIconIntroducer(0xE123);
  const rscpIconCode_t f = rscpCharToIconCode(RSCP_ICON_BASE + 1);
  rscpIterIcon_t rec;
  rscpIterIconUtf8Init(&rec, 0);
  uint32_t n;
  uint8_t u[3], c1, c2;
  ASSERT_TRUE(rscpIterIconUtf8Next(&rec, &n, &u[0], &u[1], &u[2], &c1, &c2));
  rscpSetIconIntroducer(0xF8FD);
  EXPECT_EQ(Bytes(f.bytes, f.bytes + 6), (Bytes{0xE1, 0x23, 0, '0', 0, '1'}));
  EXPECT_EQ(Bytes(u, u + 3), (Bytes{0xEE, 0x84, 0xA3}));  // UTF-8 of U+E123
}

}  // namespace
