// Blank-padded fields: writers fill every unit of the field, readers drop
// the trailing blanks, transcoding writers pad behind what they converted.
#include "i18n/wequ16/blankfld.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

constexpr WEQ_UC kMark = 0x7E57;  // untouched units

// A field of width units followed by 2 guard units, all marked.
std::vector<WEQ_UC> Field(int width) { return std::vector<WEQ_UC>(static_cast<size_t>(width) + 2, kMark); }
std::u16string Text(const std::vector<WEQ_UC>& f) { return std::u16string(f.begin(), f.end()); }
std::u16string Marked(std::u16string s, int guards = 2) { return s.append(static_cast<size_t>(guards), kMark); }

using TermWriter = void (*)(WEQ_UC*, const WEQ_UC*, int);
using CountWriter = void (*)(WEQ_UC*, int, const WEQ_UC*, int);

class TerminatedWriter : public ::testing::TestWithParam<TermWriter> {};
class CountedWriter : public ::testing::TestWithParam<CountWriter> {};

TEST_P(TerminatedWriter, CutsPadsAndBlanksMissingSource) {
  struct Row { const char16_t* src; int n; std::u16string want; };
  const Row rows[] = {
      {u"abc", 5, u"abc  "}, {u"abc", 3, u"abc"}, {u"abc", 2, u"ab"}, {u"abc", 1, u"a"},
      {u"", 3, u"   "},     {nullptr, 4, u"    "}, {u"a b", 4, u"a b "},
  };
  for (const Row& r : rows) {
    auto f = Field(r.n);
    GetParam()(f.data(), r.src, r.n);
    EXPECT_EQ(Text(f), Marked(r.want)) << r.n;
  }
  for (int n : {0, -1}) {
    auto f = Field(0);
    GetParam()(f.data(), u"abc", n);
    EXPECT_EQ(Text(f), Marked(u""));
  }
  GetParam()(nullptr, u"abc", 3);  // no destination: nothing to do
}

TEST_P(CountedWriter, CopiesTheCountAndAlwaysDefinesTheField) {
  struct Row { int width; const char16_t* src; int len; std::u16string want; };
  const Row rows[] = {
      {5, u"abcdef", 3, u"abc  "}, {2, u"abcdef", 3, u"ab"}, {3, u"abc", 3, u"abc"},
      {1, u"abc", 3, u"a"},        {3, u"a\0b", 3, std::u16string(u"a\0b", 3)},
      {3, u"abc", 0, u"   "},      {3, u"abc", -2, u"   "},
      // A missing source blanks the field, whatever the source length.
      {4, nullptr, 0, u"    "},    {4, nullptr, 1, u"    "},  {1, nullptr, 7, u" "},
  };
  for (const Row& r : rows) {
    auto f = Field(r.width);
    GetParam()(f.data(), r.width, r.src, r.len);
    EXPECT_EQ(Text(f), Marked(r.want)) << r.width << " " << r.len;
  }
  auto f = Field(0);
  GetParam()(f.data(), 0, nullptr, 0);
  GetParam()(f.data(), -3, u"abc", 3);
  EXPECT_EQ(Text(f), Marked(u""));
}

INSTANTIATE_TEST_SUITE_P(BothNames, TerminatedWriter, ::testing::Values(U16sToBlankField, UcsToBlankField),
                         [](const auto& info) { return info.index == 0 ? "U16sToBlankField" : "UcsToBlankField"; });
INSTANTIATE_TEST_SUITE_P(BothNames, CountedWriter, ::testing::Values(U16nToBlankField, UcsnToBlankField),
                         [](const auto& info) { return info.index == 0 ? "U16nToBlankField" : "UcsnToBlankField"; });

TEST(BlankFieldReaders, StripTrailingBlanksOnly) {
  struct Row { std::u16string field; int n; std::u16string whole; std::u16string word; int len; };
  const Row rows[] = {
      {u"a b  ", 5, u"a b", u"a", 3},
      {u"abc", 3, u"abc", u"abc", 3},
      {u"     ", 5, u"", u"", 0},
      {u" ab  ", 5, u" ab", u"", 3},
      {u"ab\tc ", 5, u"ab\tc", u"ab\tc", 4},
      {std::u16string(u"a\0 ", 3), 3, std::u16string(u"a\0", 2), u"a", 2},  // 0 counts as text
      {u"abcdef", 4, u"abcd", u"abcd", 4},
      {u"abc", 0, u"", u"", 0},
      {u"abc", -1, u"", u"", 0},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.n);
    EXPECT_EQ(BlankFieldLen(r.field.data(), r.n), r.len);
    std::vector<WEQ_UC> dst(r.field.size() + 3, kMark);
    BlankFieldToUcs(dst.data(), r.field.data(), r.n);
    EXPECT_EQ(std::u16string(dst.data(), r.whole.size() + 1), r.whole + u'\0');
    EXPECT_EQ(dst[r.whole.size() + 1], kMark);
    std::vector<WEQ_UC> word(r.field.size() + 3, kMark);
    BlankFieldWordToUcs(word.data(), r.field.data(), r.n);
    EXPECT_EQ(std::u16string(word.data()), r.word);
    EXPECT_EQ(word[r.word.size() + 1], kMark);
  }
  EXPECT_EQ(BlankFieldLen(nullptr, 5), 0);
  WEQ_UC dst[2] = {kMark, kMark};
  BlankFieldToUcs(dst, nullptr, 5);
  EXPECT_EQ(dst[0], 0);
}

TEST(BlankFieldReaders, EqualityIgnoresOnlyTrailingBlanks) {
  const WEQ_UC field[] = {u'a', u'b', u'c', u' ', u' '};
  EXPECT_TRUE(BlankFieldEqUcs(field, u"abc", 5));
  EXPECT_FALSE(BlankFieldEqUcs(field, u"abc ", 5));
  EXPECT_FALSE(BlankFieldEqUcs(field, u"ab", 5));
  EXPECT_FALSE(BlankFieldEqUcs(field, u"abcd", 5));
  EXPECT_TRUE(BlankFieldEqUcs(field, u"ab", 2));
  EXPECT_TRUE(BlankFieldEqUcs(field, u"", 0));
  EXPECT_TRUE(BlankFieldEqUcs(u"   ", u"", 3));
  EXPECT_FALSE(BlankFieldEqUcs(field, nullptr, 5));
  EXPECT_FALSE(BlankFieldEqUcs(nullptr, u"", 5));
  EXPECT_TRUE(BlankFieldEqUcs(nullptr, nullptr, 5));
}

// Transcoding writers: pointers end at the field end and at the stop in
// the source; the field is padded after an error too.
TEST(BlankPad, Utf8IntoUnits) {
  struct Row { std::string in; int width; int rc; std::u16string want; size_t stop; };
  const Row rows[] = {
      {"a\xC3\xA9", 4, 0, u"a\u00e9  ", 3},
      {"abc", 3, 0, u"abc", 3},
      {"abcd", 3, 32, u"abc", 3},
      {"\xF0\x9F\x98\x80", 1, 32, u" ", 0},  // the pair does not fit: blank
      {"a\xFF" "b", 4, 0, u"a\uFFFDb ", 3},
      {"ab\xE2\x82", 5, 512, u"ab   ", 2},
      {"", 2, 0, u"  ", 0},
      {"xyz", 0, 32, u"", 0},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.in);
    auto f = Field(r.width);
    WEQ_UC* d = f.data();
    const char* s = r.in.data();
    EXPECT_EQ(Utf8ToUcsBlankPad(&d, f.data() + r.width, &s, r.in.data() + r.in.size()), r.rc);
    EXPECT_EQ(d, f.data() + r.width);
    EXPECT_EQ(static_cast<size_t>(s - r.in.data()), r.stop);
    EXPECT_EQ(Text(f), Marked(r.want));
  }
}

TEST(BlankPad, UnitsIntoUtf8) {
  struct Row { std::u16string in; int width; int rc; std::string want; size_t stop; };
  const Row rows[] = {
      {u"\u20ac", 2, 32, "  ", 0},  // three bytes into two: hook's 32, blanks
      {u"a\u20ac", 3, 32, "a  ", 1},
      {u"a\u20ac", 4, 0, "a\xE2\x82\xAC", 2},
      {u"ab", 5, 0, "ab   ", 2},
      {std::u16string(1, char16_t(0xDC00)) + u"a", 3, 2048, "   ", 0},
      {u"", 1, 0, " ", 0},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.width);
    std::string f(static_cast<size_t>(r.width) + 2, '~');
    char* d = f.data();
    const WEQ_UC* s = r.in.data();
    EXPECT_EQ(UcsToUtf8BlankPad(&d, f.data() + r.width, &s, r.in.data() + r.in.size()), r.rc);
    EXPECT_EQ(d, f.data() + r.width);
    EXPECT_EQ(static_cast<size_t>(s - r.in.data()), r.stop);
    EXPECT_EQ(f, r.want + "~~");
  }
  EXPECT_EQ(Utf8ToUcsBlankPadInit(), 0);
  EXPECT_EQ(UcsToUtf8BlankPadInit(), 0);
}

}  // namespace
