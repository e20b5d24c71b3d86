// Blank-padded fields: writers define every unit of the field, readers drop
// the trailing blanks, transcoding writers pad behind what they converted.
#include "i18n/wequ16/blankfld.h"

#include <gtest/gtest.h>

#include <type_traits>

#include "support/testsupport.h"

namespace {

using tovtest::Show;

constexpr WEQ_UC kMark = 0x7E57;  // units a call must not touch

// Each field is followed by two guard units; both names of each writer. A
// row with a length goes to the counted writers, one without (kTerminated)
// to the writers of terminated text.
TEST(BlankFields, WritersDefineEveryUnit) {
  constexpr int kTerminated = -99;
  struct Row { const char16_t* src; int len, width; std::u16string want; };
  for (const Row& r : {Row{u"abc", kTerminated, 5, u"abc  "}, Row{u"a b", kTerminated, 1, u"a"},
                       Row{u"abc", kTerminated, 3, u"abc"}, Row{u"abc", 3, 0, u""},
                       Row{nullptr, kTerminated, 4, u"    "}, Row{u"abc", kTerminated, -1, u""},
                       Row{u"abcdef", 3, 5, u"abc  "}, Row{u"abcdef", 3, 2, u"ab"},
                       Row{u"abc", -2, 3, u"   "},
                       Row{u"a\0b", 3, 3, std::u16string(u"a\0b", 3)},
                       Row{nullptr, 7, 1, u" "}}) {  // a missing source blanks the field whatever its length
    std::u16string a(static_cast<size_t>(std::max(r.width, 0)) + 2, kMark), b = a;
    if (r.len == kTerminated) {
      U16sToBlankField(a.data(), r.src, r.width);
      UcsToBlankField(b.data(), r.src, r.width);
      U16sToBlankField(nullptr, r.src, r.width);  // no field: nothing to do
    } else {
      U16nToBlankField(a.data(), r.width, r.src, r.len);
      UcsnToBlankField(b.data(), r.width, r.src, r.len);
    }
    EXPECT_EQ(a, r.want + kMark + kMark) << Show(r.src) << " width " << r.width << " len " << r.len;
    EXPECT_EQ(b, a);
  }
}

TEST(BlankFields, ReadersDropTrailingBlanksOnly) {
  struct Row { std::u16string field; int n; std::u16string whole, word; };
  for (const Row& r : {Row{u"a b  ", 5, u"a b", u"a"}, Row{u"     ", 5, u"", u""},
                       Row{u" ab  ", 5, u" ab", u""},
                       Row{u"ab\tc ", 5, u"ab\tc", u"ab\tc"}, Row{u"abcdef", 4, u"abcd", u"abcd"},
                       Row{u"abc", -1, u"", u""},  // below: a 0 is text, but ends a word
                       Row{std::u16string(u"a\0 ", 3), 3, std::u16string(u"a\0", 2), u"a"}}) {
    SCOPED_TRACE(Show(r.field) + " n " + std::to_string(r.n));
    std::u16string whole(r.field.size() + 3, kMark), word = whole;
    BlankFieldToUcs(whole.data(), r.field.data(), r.n);
    BlankFieldWordToUcs(word.data(), r.field.data(), r.n);
    EXPECT_EQ(whole.substr(0, r.whole.size() + 2), r.whole + u'\0' + kMark);
    EXPECT_EQ(word.substr(0, r.word.size() + 2), r.word + u'\0' + kMark);
    EXPECT_EQ(BlankFieldLen(r.field.data(), r.n), static_cast<int>(r.whole.size()));
    for (const std::u16string& t : {r.whole, r.whole + u' ', r.whole + u'x', r.whole.substr(0, 1)})
      EXPECT_EQ(BlankFieldEqUcs(r.field.data(), t.c_str(), r.n), t.c_str() == r.whole) << Show(t);
  }
  EXPECT_EQ(BlankFieldLen(nullptr, 5), 0);
  EXPECT_FALSE(BlankFieldEqUcs(u"abc", nullptr, 3) || BlankFieldEqUcs(nullptr, u"", 3));
  EXPECT_TRUE(BlankFieldEqUcs(nullptr, nullptr, 3));
}

// Transcoding writers: the field pointer ends at the field's end and the
// source pointer where the conversion stopped; the field is padded after
// an error too, and after a character that does not fit.
TEST(BlankFields, TranscodingWritersPad) {
  struct Row { std::string utf8; std::u16string units; int width, rc; size_t stop; };
  auto run = [](const Row& r, auto convert, const auto& in, const auto& want, auto mark) {
    std::decay_t<decltype(want)> field(static_cast<size_t>(r.width) + 2, mark), guards(2, mark);
    auto* d = field.data();
    const auto* s = in.data();
    EXPECT_EQ(convert(&d, field.data() + r.width, &s, in.data() + in.size()), r.rc) << r.utf8;
    EXPECT_EQ(std::pair(d - field.data(), size_t(s - in.data())), std::pair(long{r.width}, r.stop)) << r.utf8;
    EXPECT_EQ(field, want + guards) << r.utf8;
  };
  for (const Row& r : {Row{"a\xC3\xA9", u"a\u00e9  ", 4, 0, 3}, Row{"abcd", u"abc", 3, 32, 3},
                       Row{"\xF0\x9F\x98\x80", u" ", 1, 32, 0}, Row{"a\xFF" "b", u"a\uFFFDb ", 4, 0, 3},
                       Row{"ab\xE2\x82", u"ab   ", 5, 512, 2}, Row{"xyz", u"", 0, 32, 0}})
    run(r, Utf8ToUcsBlankPad, r.utf8, r.units, kMark);
  for (const Row& r : {Row{"  ", u"\u20ac", 2, 32, 0}, Row{"a  ", u"a\u20ac", 3, 32, 1},
                       Row{"a\xE2\x82\xAC", u"a\u20ac", 4, 0, 2}, Row{"   ", u"\xDC00" "a", 3, 2048, 0}})
    run(r, UcsToUtf8BlankPad, r.units, r.utf8, '~');
}

}  // namespace
