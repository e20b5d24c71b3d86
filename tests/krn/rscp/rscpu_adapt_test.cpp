// String adapters: sizes at and around the fit, terminators, substitution,
// and both entry points of every pair.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "krn/rscp/rscpu.h"
#include "rscpu_harness.h"

namespace {

using rscputest::HookScope;

constexpr char kCanaryByte = '\x5A';
constexpr WEQ_UC kCanaryUnit = 0x5A5A;

using ToUtf8s = int (*)(char*, int, int*, const WEQ_UC*);
using FromUtf8s = int (*)(WEQ_UC*, int, int*, const char*);
using ToUtf8n = int (*)(char*, int, int*, const WEQ_UC*, int);
using FromUtf8n = int (*)(WEQ_UC*, int, int*, const char*, int);

// Output of one adapter call: rc, out count, what the whole buffer holds.
template <class T>
struct Outcome {
  int rc;
  int out;
  std::vector<T> buf;  // size + 4 elements, canaries behind size
};

template <class T, class Call>
Outcome<T> Call4(int size, T canary, Call call) {
  std::vector<T> buf(static_cast<size_t>(size) + 4, canary);
  int out = -99;
  int rc = call(buf.data(), size, &out);
  return {rc, out, buf};
}

template <class T>
bool CanariesFrom(const std::vector<T>& buf, size_t from, T canary) {
  for (size_t i = from; i < buf.size(); ++i)
    if (buf[i] != canary) return false;
  return true;
}

class TerminatedToUtf8 : public ::testing::TestWithParam<ToUtf8s> {};
class TerminatedFromUtf8 : public ::testing::TestWithParam<FromUtf8s> {};
class CountedToUtf8 : public ::testing::TestWithParam<ToUtf8n> {};
class CountedFromUtf8 : public ::testing::TestWithParam<FromUtf8n> {};

// "aé€" is 1 + 2 + 3 bytes.
const char16_t kText16[] = u"a\u00e9\u20ac";
const char kText8[] = "a\xC3\xA9\xE2\x82\xAC";

TEST_P(TerminatedToUtf8, SizesAroundTheFit) {
  struct Row { int size; int rc; int out; const char* text; };
  const Row rows[] = {
      {0, 32, 0, nullptr}, {1, 32, 0, ""},    {2, 32, 1, "a"},     {3, 32, 1, "a"},
      {4, 32, 3, "a\xC3\xA9"}, {6, 32, 3, "a\xC3\xA9"}, {7, 0, 6, kText8}, {9, 0, 6, kText8},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.size);
    auto o = Call4<char>(r.size, kCanaryByte,
                         [](char* d, int s, int* out) { return GetParam()(d, s, out, kText16); });
    EXPECT_EQ(o.rc, r.rc);
    EXPECT_EQ(o.out, r.out);
    if (r.text == nullptr) {
      EXPECT_TRUE(CanariesFrom(o.buf, 0, kCanaryByte));  // nothing written at all
    } else {
      EXPECT_STREQ(o.buf.data(), r.text);
      EXPECT_TRUE(CanariesFrom(o.buf, std::strlen(r.text) + 1, kCanaryByte));
    }
  }
}

TEST_P(TerminatedToUtf8, TerminatesAfterErrorsAndTakesNulls) {
  const char16_t bad[] = {u'a', 0xD800, u'b', 0};
  char buf[16];
  int out = -1;
  EXPECT_EQ(GetParam()(buf, 16, &out, bad), 2048);
  EXPECT_STREQ(buf, "a");
  EXPECT_EQ(out, 1);
  const char16_t atEnd[] = {u'a', 0xDBFF, 0};
  EXPECT_EQ(GetParam()(buf, 16, nullptr, atEnd), 512);
  EXPECT_STREQ(buf, "a");
  const char16_t pair[] = {0xD83D, 0xDE00, 0};
  EXPECT_EQ(GetParam()(buf, 16, &out, pair), 0);
  EXPECT_STREQ(buf, "\xF0\x9F\x98\x80");
  EXPECT_EQ(GetParam()(buf, 16, &out, nullptr), 0);
  EXPECT_STREQ(buf, "");
  EXPECT_EQ(out, 0);
  EXPECT_EQ(GetParam()(nullptr, 16, &out, u"x"), 32);
  EXPECT_EQ(GetParam()(buf, -5, &out, u"x"), 32);
  HookScope hook(1);
  EXPECT_EQ(GetParam()(buf, 0, &out, u"x"), 33);  // the no-room case goes to the hook too
}

TEST_P(TerminatedFromUtf8, SizesAroundTheFit) {
  // Part example: size 4 over a 5-character text writes 3 units and a 0.
  struct Row { int size; int rc; int out; };
  const Row rows[] = {{0, 32, 0}, {1, 32, 0}, {2, 32, 1}, {4, 32, 3}, {5, 32, 4}, {6, 0, 5}, {8, 0, 5}};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.size);
    auto o = Call4<WEQ_UC>(r.size, kCanaryUnit,
                           [](WEQ_UC* d, int s, int* out) { return GetParam()(d, s, out, "abcde"); });
    EXPECT_EQ(o.rc, r.rc);
    EXPECT_EQ(o.out, r.out);
    if (r.size == 0) {
      EXPECT_TRUE(CanariesFrom(o.buf, 0, kCanaryUnit));
    } else {
      EXPECT_EQ(std::u16string(o.buf.data()), std::u16string(u"abcde").substr(0, static_cast<size_t>(r.out)));
      EXPECT_TRUE(CanariesFrom(o.buf, static_cast<size_t>(r.out) + 1, kCanaryUnit));
    }
  }
}

TEST_P(TerminatedFromUtf8, SubstitutesAndTakesModifiedUtf8) {
  struct Row { const char* in; int rc; std::u16string want; };
  const Row rows[] = {
      {"a\xFF" "b", 0, u"a\uFFFDb"},
      {"\xC0\x80", 0, u"\uFFFD"},                     // modified UTF-8's NUL
      {"\xED\xA0\xBD\xED\xB8\x80", 0, u"\U0001F600"},  // its supplementary form
      {"\xE2\x82" "c", 0, u"\uFFFD\uFFFDc"},  // lead, then a stray continuation
      {"x\xE2\x82", 512, u"x"},                       // cut short by the end
      {"\xF4\x90\x80\x80!", 0, u"\uFFFD!"},
      {"", 0, u""},
  };
  for (const Row& r : rows) {
    WEQ_UC buf[16];
    int out = -1;
    EXPECT_EQ(GetParam()(buf, 16, &out, r.in), r.rc) << r.in;
    EXPECT_EQ(std::u16string(buf), r.want);
    EXPECT_EQ(out, static_cast<int>(r.want.size()));
  }
  WEQ_UC buf[4];
  EXPECT_EQ(GetParam()(buf, 4, nullptr, nullptr), 0);
  EXPECT_EQ(buf[0], 0);
  EXPECT_EQ(GetParam()(nullptr, 4, nullptr, "a"), 32);
}

TEST_P(CountedToUtf8, FillsTheWholeSizeWithoutTerminator) {
  struct Row { int size; int rc; int out; };
  const Row rows[] = {{0, 32, 0}, {1, 32, 1}, {2, 32, 1}, {3, 32, 3}, {5, 32, 3}, {6, 0, 6}, {8, 0, 6}};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.size);
    auto o = Call4<char>(r.size, kCanaryByte, [](char* d, int s, int* out) {
      return GetParam()(d, s, out, kText16, 3);
    });
    EXPECT_EQ(o.rc, r.rc);
    EXPECT_EQ(o.out, r.out);
    EXPECT_EQ(std::string(o.buf.data(), static_cast<size_t>(r.out)), std::string(kText8, static_cast<size_t>(r.out)));
    EXPECT_TRUE(CanariesFrom(o.buf, static_cast<size_t>(r.out), kCanaryByte));
  }
  // Units after the count are not read; an embedded 0 is converted.
  const char16_t withNul[] = {u'a', 0, u'b'};
  char buf[8];
  int out = 0;
  EXPECT_EQ(GetParam()(buf, 8, &out, withNul, 3), 0);
  EXPECT_EQ(std::string(buf, static_cast<size_t>(out)), std::string("a\0b", 3));
  EXPECT_EQ(GetParam()(buf, 8, &out, withNul, 0), 0);
  EXPECT_EQ(out, 0);
  EXPECT_EQ(GetParam()(buf, 8, &out, nullptr, 5), 0);
  EXPECT_EQ(out, 0);
}

TEST_P(CountedFromUtf8, FillsTheWholeSizeSubstitutesAndReportsTruncation) {
  struct Row { int size; int rc; int out; };
  const Row rows[] = {{0, 32, 0}, {1, 32, 1}, {2, 32, 2}, {3, 0, 3}, {5, 0, 3}};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.size);
    auto o = Call4<WEQ_UC>(r.size, kCanaryUnit, [](WEQ_UC* d, int s, int* out) {
      return GetParam()(d, s, out, kText8, 6);
    });
    EXPECT_EQ(o.rc, r.rc);
    EXPECT_EQ(o.out, r.out);
    EXPECT_EQ(std::u16string(o.buf.data(), static_cast<size_t>(r.out)),
              std::u16string(kText16).substr(0, static_cast<size_t>(r.out)));
    EXPECT_TRUE(CanariesFrom(o.buf, static_cast<size_t>(r.out), kCanaryUnit));
  }
  WEQ_UC buf[8];
  int out = 0;
  EXPECT_EQ(GetParam()(buf, 8, &out, "a\x80" "b\xC1\xBF", 5), 0);
  EXPECT_EQ(std::u16string(buf, static_cast<size_t>(out)), u"a\uFFFDb\uFFFD");
  EXPECT_EQ(GetParam()(buf, 8, &out, "ab\xF0\x9F\x98", 5), 512);
  EXPECT_EQ(std::u16string(buf, static_cast<size_t>(out)), u"ab");
  EXPECT_EQ(GetParam()(buf, 8, &out, "\xF0\x9F\x98\x80", 4), 0);
  EXPECT_EQ(std::u16string(buf, static_cast<size_t>(out)), u"\U0001F600");
}

INSTANTIATE_TEST_SUITE_P(BothNames, TerminatedToUtf8, ::testing::Values(U16sToUtf8s, UcsToUtf8s),
                         [](const auto& info) { return info.index == 0 ? "U16sToUtf8s" : "UcsToUtf8s"; });
INSTANTIATE_TEST_SUITE_P(BothNames, TerminatedFromUtf8, ::testing::Values(Utf8sToU16s, Utf8sToUcs),
                         [](const auto& info) { return info.index == 0 ? "Utf8sToU16s" : "Utf8sToUcs"; });
INSTANTIATE_TEST_SUITE_P(BothNames, CountedToUtf8, ::testing::Values(U16nToUtf8n, UcsnToUtf8n),
                         [](const auto& info) { return info.index == 0 ? "U16nToUtf8n" : "UcsnToUtf8n"; });
INSTANTIATE_TEST_SUITE_P(BothNames, CountedFromUtf8, ::testing::Values(Utf8nToU16n, Utf8nToUcsn),
                         [](const auto& info) { return info.index == 0 ? "Utf8nToU16n" : "Utf8nToUcsn"; });

// Long terminated texts give what the counted forms give, wherever a
// character, a pair or a broken sequence falls (the terminated forms work
// through long texts in pieces).
TEST(TerminatedLongTexts, MatchCountedFormsAcrossTheText) {
  const std::vector<std::string> pieces8 = {"\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80",
                                            "\xE2\x82", "\x80\x80", "\xF8\x88\x80\x80\x80",
                                            "\xF0\x9F\x98"};
  const std::vector<std::u16string> pieces16 = {u"\u00e9", u"\U0001F600", std::u16string(1, char16_t(0xD83D)),
                                                std::u16string(1, char16_t(0xDE00))};
  for (size_t len : {4090u, 4094u, 4095u, 4096u, 8190u, 8192u}) {
    for (size_t at = len - 7; at <= len + 1; ++at) {
      for (const std::string& p : pieces8) {
        std::string text(at, 'a');
        text += p;
        text.append(len > at ? len - at : 3, 'b');
        std::u16string want(text.size() + 1, u'\0'), got(text.size() + 1, u'\0');
        int wantOut = -1, gotOut = -1;
        int wantRc = Utf8nToUcsn(want.data(), static_cast<int>(want.size()) - 1, &wantOut, text.data(),
                                 static_cast<int>(text.size()));
        int gotRc = Utf8sToUcs(got.data(), static_cast<int>(got.size()), &gotOut, text.c_str());
        ASSERT_EQ(gotRc, wantRc) << len << " " << at;
        ASSERT_EQ(gotOut, wantOut);
        ASSERT_EQ(got.substr(0, static_cast<size_t>(gotOut)), want.substr(0, static_cast<size_t>(wantOut)));
      }
      for (const std::u16string& p : pieces16) {
        std::u16string text(at, u'a');
        text += p;
        text.append(len > at ? len - at : 3, u'b');
        std::string want(text.size() * 3 + 1, '\0'), got(text.size() * 3 + 1, '\0');
        int wantOut = -1, gotOut = -1;
        int wantRc = UcsnToUtf8n(want.data(), static_cast<int>(want.size()) - 1, &wantOut, text.data(),
                                 static_cast<int>(text.size()));
        int gotRc = UcsToUtf8s(got.data(), static_cast<int>(got.size()), &gotOut, text.c_str());
        ASSERT_EQ(gotRc, wantRc) << len << " " << at;
        ASSERT_EQ(gotOut, wantOut);
        ASSERT_EQ(got.substr(0, static_cast<size_t>(gotOut)), want.substr(0, static_cast<size_t>(wantOut)));
      }
    }
  }
}

// The stream forms advance the caller's pointers and ignore their first
// argument.
TEST(RangeAdapters, AdvancePointersInPlace) {
  using To = int (*)(void*, char**, char*, const WEQ_UC**, const WEQ_UC*);
  using From = int (*)(void*, WEQ_UC**, WEQ_UC*, const char**, const char*);
  int ignored = 0;
  for (To to : {U16ToUtf8Range, UcsToUtf8Range}) {
    char buf[4];
    char* d = buf;
    const WEQ_UC* s = kText16;
    EXPECT_EQ(to(&ignored, &d, buf + 4, &s, kText16 + 3), 32);
    EXPECT_EQ(d - buf, 3);
    EXPECT_EQ(s - kText16, 2);
    EXPECT_EQ(std::string(buf, 3), std::string(kText8, 3));
  }
  for (From from : {Utf8ToU16Range, Utf8ToUcsRange}) {
    WEQ_UC buf[4];
    WEQ_UC* d = buf;
    const char in[] = "x\xFEy";
    const char* s = in;
    EXPECT_EQ(from(nullptr, &d, buf + 4, &s, in + 3), 0);
    EXPECT_EQ(d - buf, 3);
    EXPECT_EQ(s, in + 3);
    EXPECT_EQ(std::u16string(buf, 3), u"x\uFFFDy");
  }
}

}  // namespace
