#include "i18n/wequ16/u16str.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <iconv.h>
#include <unicode/uchar.h>
#include <string.h>
#include <wchar.h>

#include <functional>
#include <random>
#include <string>
#include <vector>

#include "support/testsupport.h"

namespace {

using tovtest::Show;

// --- Bounded length ----------------------------------------------------------

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
      std::vector<char> bytes(max == 0 ? 1 : max, 'x');
      if (len < max) bytes[len] = 0;
      EXPECT_EQ(strnlenR(bytes.data(), max), want) << "len " << len << " max " << max;
    }
  }
}

TEST(StrnlenU16, CountsSurrogatesAsUnits) {
  const WEQ_UC s[] = {0xD83D, 0xDE00, u'a', 0};
  EXPECT_EQ(strnlenU16(s, 10), 3u);
  EXPECT_EQ(strnlenU16(s, 1), 1u);
  EXPECT_EQ(strlenU(s), 3u);
}

// --- The bounded copy and append functions, swept ---------------------------
//
// Every function runs over destination sizes 0..8, source lengths 0..8,
// text already in the destination 0..size (size meaning: no terminator) and
// counts 0..9, on a buffer followed by canary units. The expectation is the
// rule of each function written out over std::basic_string.

constexpr size_t kCanaryUnits = 4;

template <class C>
constexpr C Canary() {
  return static_cast<C>(sizeof(C) == 1 ? 0xA5 : 0xA5C3);
}

struct Outcome {
  int rc;
  enum Kind { kExact, kEmptied, kZeroed, kUntouched } kind;
  std::vector<int> content;  // kExact: the first units of dst after the call
};

struct SweepPoint {
  size_t size, srcLen, dstLen, count;
};

template <class C>
struct SweepFunction {
  const char* name;
  bool usesDst;    // appends to text already in dst
  bool usesCount;  // takes a count (or n for the memory functions)
  bool memory;     // copies n elements; dst text is irrelevant
  std::function<int(C* dst, size_t size, const C* src, size_t count)> call;
  std::function<Outcome(const SweepPoint&, const std::vector<int>& dst, const std::vector<int>& src)> expect;
};

std::vector<int> Concat(std::vector<int> a, const std::vector<int>& b, size_t take) {
  a.insert(a.end(), b.begin(), b.begin() + static_cast<long>(take));
  a.push_back(0);
  return a;
}

Outcome ExpectCopy(const SweepPoint& p, const std::vector<int>&, const std::vector<int>& src) {
  if (p.size == 0) return {0, Outcome::kUntouched, {}};
  if (p.srcLen + 1 <= p.size) return {0, Outcome::kExact, Concat({}, src, p.srcLen)};
  return {ERANGE, Outcome::kEmptied, {}};
}

Outcome ExpectCat(const SweepPoint& p, const std::vector<int>& dst, const std::vector<int>& src) {
  if (p.dstLen == p.size) return {ERANGE, Outcome::kUntouched, {}};
  if (p.dstLen + p.srcLen + 1 <= p.size) return {0, Outcome::kExact, Concat(dst, src, p.srcLen)};
  return {ERANGE, Outcome::kEmptied, {}};
}

Outcome ExpectNCopy(const SweepPoint& p, const std::vector<int>&, const std::vector<int>& src) {
  if (p.size == 0) return {0, Outcome::kUntouched, {}};
  size_t k = std::min({p.count, p.size - 1, p.srcLen});
  return {0, Outcome::kExact, Concat({}, src, k)};
}

Outcome ExpectNCat(const SweepPoint& p, const std::vector<int>& dst, const std::vector<int>& src) {
  if (p.dstLen == p.size) return {ERANGE, Outcome::kUntouched, {}};
  size_t room = p.size - p.dstLen;
  if (p.count >= room && p.srcLen >= room) return {ERANGE, Outcome::kEmptied, {}};
  return {0, Outcome::kExact, Concat(dst, src, std::min(p.count, p.srcLen))};
}

Outcome ExpectMem(const SweepPoint& p, const std::vector<int>&, const std::vector<int>& src) {
  if (p.count <= p.size) {
    std::vector<int> want(src.begin(), src.begin() + static_cast<long>(p.count));
    return {0, Outcome::kExact, want};
  }
  return {ERANGE, p.size == 0 ? Outcome::kUntouched : Outcome::kZeroed, {}};
}

template <class C>
void RunSweep(const SweepFunction<C>& f) {
  for (size_t size = 0; size <= 8; ++size) {
    for (size_t srcLen = 0; srcLen <= (f.memory ? 0 : 8); ++srcLen) {
      for (size_t dstLen = 0; dstLen <= (f.usesDst ? size : 0); ++dstLen) {
        for (size_t count = 0; count <= (f.usesCount ? 9 : 0); ++count) {
          SweepPoint p{size, srcLen, dstLen, count};
          // The source is exactly as long as its text (and terminator), or
          // as the count for the memory functions, so that any read beyond
          // it is seen by the sanitizers.
          size_t srcCap = f.memory ? std::max<size_t>(count, 1) : srcLen + 1;
          std::vector<C> src(srcCap, 0);
          std::vector<int> srcText;
          for (size_t i = 0; i < (f.memory ? count : srcLen); ++i) {
            src[i] = static_cast<C>('a' + i);
            srcText.push_back('a' + static_cast<int>(i));
          }
          std::vector<C> buf(size + kCanaryUnits, Canary<C>());
          std::vector<int> dstText;
          if (f.usesDst) {
            for (size_t i = 0; i < dstLen; ++i) {
              buf[i] = static_cast<C>('A' + i);
              dstText.push_back('A' + static_cast<int>(i));
            }
            if (dstLen < size) buf[dstLen] = 0;
          }
          const std::vector<C> before = buf;
          Outcome want = f.expect(p, dstText, srcText);
          int rc = f.call(buf.data(), size, src.data(), count);
          std::string where = std::string(f.name) + " size " + std::to_string(size) + " src " +
                              std::to_string(srcLen) + " dst " + std::to_string(dstLen) +
                              " count " + std::to_string(count);
          ASSERT_EQ(rc, want.rc) << where;
          for (size_t i = size; i < buf.size(); ++i)
            ASSERT_EQ(buf[i], Canary<C>()) << where << ": wrote past the size at " << i;
          switch (want.kind) {
            case Outcome::kUntouched:
              ASSERT_TRUE(buf == before) << where << ": changed the destination";
              break;
            case Outcome::kEmptied:
              ASSERT_EQ(buf[0], 0) << where;
              break;
            case Outcome::kZeroed:
              for (size_t i = 0; i < size; ++i) ASSERT_EQ(buf[i], 0) << where << " at " << i;
              break;
            case Outcome::kExact:
              for (size_t i = 0; i < want.content.size(); ++i)
                ASSERT_EQ(static_cast<int>(buf[i]), want.content[i]) << where << " at " << i;
              for (size_t i = want.content.size(); i < size; ++i)
                ASSERT_EQ(buf[i], before[i]) << where << ": changed unit " << i;
              break;
          }
        }
      }
    }
  }
}

std::vector<SweepFunction<WEQ_UC>> UnitFunctions() {
  return {
      {"strcpy_sU16", false, false, false,
       [](WEQ_UC* d, size_t s, const WEQ_UC* x, size_t) { return strcpy_sU16(d, s, x); }, ExpectCopy},
      {"strcat_sU16", true, false, false,
       [](WEQ_UC* d, size_t s, const WEQ_UC* x, size_t) { return strcat_sU16(d, s, x); }, ExpectCat},
      {"strncpy_sU16", false, true, false, strncpy_sU16, ExpectNCopy},
      {"strncat_sU16", true, true, false, strncat_sU16, ExpectNCat},
      {"memcpy_sU16", false, true, true, memcpy_sU16, ExpectMem},
  };
}

std::vector<SweepFunction<char>> ByteFunctions() {
  return {
      {"strcpy_sR", false, false, false,
       [](char* d, size_t s, const char* x, size_t) { return strcpy_sR(d, s, x); }, ExpectCopy},
      {"strcat_sR", true, false, false,
       [](char* d, size_t s, const char* x, size_t) { return strcat_sR(d, s, x); }, ExpectCat},
      {"memcpy_sR", false, true, true,
       [](char* d, size_t s, const char* x, size_t n) { return memcpy_sR(d, s, x, n); }, ExpectMem},
      {"memmove_sR", false, true, true,
       [](char* d, size_t s, const char* x, size_t n) { return memmove_sR(d, s, x, n); }, ExpectMem},
  };
}

class UnitSweep : public testing::TestWithParam<size_t> {};
TEST_P(UnitSweep, ResultsAndFailureStates) { RunSweep(UnitFunctions()[GetParam()]); }
INSTANTIATE_TEST_SUITE_P(BoundedFunctions, UnitSweep, testing::Range<size_t>(0, 5),
                         [](const testing::TestParamInfo<size_t>& i) {
                           return std::string(UnitFunctions()[i.param].name);
                         });

class ByteSweep : public testing::TestWithParam<size_t> {};
TEST_P(ByteSweep, ResultsAndFailureStates) { RunSweep(ByteFunctions()[GetParam()]); }
INSTANTIATE_TEST_SUITE_P(BoundedFunctions, ByteSweep, testing::Range<size_t>(0, 4),
                         [](const testing::TestParamInfo<size_t>& i) {
                           return std::string(ByteFunctions()[i.param].name);
                         });

TEST(BoundedFunctions, OverlappingMoveAndNullArguments) {
  char text[] = "abcdefgh";
  ASSERT_EQ(memmove_sR(text + 2, 6, text, 5), 0);
  EXPECT_STREQ(text, "ababcdeh");

  WEQ_UC dst[4] = {u'x', u'y', 0, 0};
  EXPECT_EQ(strcpy_sU16(dst, 4, nullptr), EINVAL);
  EXPECT_EQ(dst[0], 0);
  EXPECT_EQ(strcpy_sU16(nullptr, 4, u"a"), EINVAL);
  EXPECT_EQ(strcat_sU16(nullptr, 0, u"a"), ERANGE);
  EXPECT_EQ(memcpy_sU16(nullptr, 4, u"ab", 2), EINVAL);
}

// --- Tokenizer ---------------------------------------------------------------

std::vector<std::u16string> Tokens(std::u16string text, const WEQ_UC* delimiters) {
  std::vector<std::u16string> out;
  WEQ_UC* context = nullptr;
  for (WEQ_UC* t = strtok_sU16(text.data(), delimiters, &context); t != nullptr;
       t = strtok_rU(nullptr, delimiters, &context)) {
    out.emplace_back(t);
    if (context == nullptr) break;
  }
  return out;
}

// Token sequences over random texts of a small alphabet beside glibc's
// strtok_r over the same bytes.
TEST(Tokenizer, MatchesTheCLibraryOnRandomText) {
  std::mt19937 rng(7);
  const char alphabet[] = "ab,; ";
  const char* delimiterSets[] = {",", ",; ", ";", "", "ab"};
  for (int round = 0; round < 2000; ++round) {
    std::string narrow;
    size_t len = rng() % 12;
    for (size_t i = 0; i < len; ++i) narrow.push_back(alphabet[rng() % 5]);
    const char* delim = delimiterSets[round % 5];
    std::vector<std::string> want;
    std::string copy = narrow;
    char* save = nullptr;
    for (char* t = strtok_r(copy.data(), delim, &save); t; t = strtok_r(nullptr, delim, &save))
      want.emplace_back(t);
    std::u16string wideDelim = tovtest::FromUtf8(delim);
    std::vector<std::u16string> got = Tokens(tovtest::FromUtf8(narrow), wideDelim.c_str());
    ASSERT_EQ(got.size(), want.size()) << narrow << " / " << delim;
    for (size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i], tovtest::FromUtf8(want[i]));
  }
}

TEST(Tokenizer, ContextAndErrnoAtTheEnd) {
  // The last token without a trailing delimiter leaves no context: the next
  // call fails with EINVAL.
  std::u16string text = u"a,,b";
  WEQ_UC* ctx = nullptr;
  EXPECT_EQ(std::u16string(strtok_sU16(text.data(), u",", &ctx)), u"a");
  EXPECT_EQ(std::u16string(strtok_sU16(nullptr, u",", &ctx)), u"b");
  EXPECT_EQ(ctx, nullptr);
  errno = 0;
  EXPECT_EQ(strtok_sU16(nullptr, u",", &ctx), nullptr);
  EXPECT_EQ(errno, EINVAL);

  // After a trailing delimiter one more call returns NULL and clears the
  // context; only the call after it fails.
  std::u16string trailing = u"a,";
  ctx = nullptr;
  EXPECT_EQ(std::u16string(strtok_sU16(trailing.data(), u",", &ctx)), u"a");
  ASSERT_NE(ctx, nullptr);
  errno = 0;
  EXPECT_EQ(strtok_sU16(nullptr, u",", &ctx), nullptr);
  EXPECT_EQ(errno, 0);
  EXPECT_EQ(ctx, nullptr);
  EXPECT_EQ(strtok_sU16(nullptr, u",", &ctx), nullptr);
  EXPECT_EQ(errno, EINVAL);

  // Only delimiters: NULL and the text unchanged.
  std::u16string only = u",,,";
  ctx = nullptr;
  EXPECT_EQ(strtok_sU16(only.data(), u",", &ctx), nullptr);
  EXPECT_EQ(only, u",,,");
}

// --- The C library's helpers over 16-bit units -----------------------------

std::wstring Wide(const std::u16string& s) { return std::wstring(s.begin(), s.end()); }
int Sign(long v) { return (v > 0) - (v < 0); }

// Random texts over a few units (high ones included, to catch signed
// comparisons) beside glibc's wide functions on the same values.
TEST(Helpers, MatchTheWideCLibrary) {
  std::mt19937 rng(11);
  const char16_t alphabet[] = {u'a', u'b', u'A', 0xE9, 0xFFFF, 0xD800};
  auto text = [&] {
    std::u16string s;
    for (size_t i = rng() % 7; i > 0; --i) s.push_back(alphabet[rng() % 6]);
    return s;
  };
  for (int round = 0; round < 3000; ++round) {
    std::u16string a = text(), b = text();
    std::wstring wa = Wide(a), wb = Wide(b);
    ASSERT_EQ(strlenU(a.c_str()), wcslen(wa.c_str()));
    ASSERT_EQ(Sign(strcmpU(a.c_str(), b.c_str())), Sign(wcscmp(wa.c_str(), wb.c_str())))
        << Show(a) << " " << Show(b);
    size_t n = rng() % 8;
    ASSERT_EQ(Sign(strncmpU(a.c_str(), b.c_str(), n)), Sign(wcsncmp(wa.c_str(), wb.c_str(), n)));
    char16_t c = alphabet[rng() % 6];
    const WEQ_UC* got = strchrU(a.c_str(), c);
    const wchar_t* want = wcschr(wa.c_str(), c);
    ASSERT_EQ(got ? got - a.c_str() : -1, want ? want - wa.c_str() : -1);
    got = strrchrU(a.c_str(), c);
    want = wcsrchr(wa.c_str(), c);
    ASSERT_EQ(got ? got - a.c_str() : -1, want ? want - wa.c_str() : -1);
    std::u16string needle = b.substr(0, rng() % 3);
    got = strstrU(a.c_str(), needle.c_str());
    want = wcsstr(wa.c_str(), Wide(needle).c_str());
    ASSERT_EQ(got ? got - a.c_str() : -1, want ? want - wa.c_str() : -1)
        << Show(a) << " in " << Show(needle);
  }
  // The terminator is found as a character.
  const WEQ_UC* s = u"abc";
  EXPECT_EQ(strchrU(s, 0), s + 3);
  EXPECT_EQ(strrchrU(s, 0), s + 3);
}

// The case-insensitive compare beside ICU's upper case of each unit, over
// texts with letters whose upper case is another unit (U+017F long s, the
// dotless i) or itself (sharp s).
TEST(Helpers, CaseInsensitiveCompareByUpperCase) {
  EXPECT_EQ(strcasecmpU(u"Path=/usr", u"pATH=/usr"), 0);
  EXPECT_EQ(strcasecmpU(u"\u017f", u"s"), 0);
  EXPECT_NE(strcasecmpU(u"stra\u00dfe", u"STRASSE"), 0);
  EXPECT_LT(strcasecmpU(u"ab", u"ABC"), 0);
  EXPECT_EQ(strncasecmpU(u"abcX", u"ABCy", 3), 0);
  EXPECT_NE(strncasecmpU(u"abcX", u"ABCy", 4), 0);
  std::mt19937 rng(13);
  const char16_t alphabet[] = {u'a', u'A', u's', u'S', 0x17F, 0xDF, 0x131, u'I', u'i', 0xE9, 0xC9};
  for (int round = 0; round < 3000; ++round) {
    std::u16string a, b;
    for (size_t i = rng() % 5; i > 0; --i) a.push_back(alphabet[rng() % 11]);
    for (size_t i = rng() % 5; i > 0; --i) b.push_back(alphabet[rng() % 11]);
    size_t n = rng() % 6;
    int want = 0;
    for (size_t i = 0; i < n; ++i) {
      int ua = i < a.size() ? u_toupper(a[i]) : 0;
      int ub = i < b.size() ? u_toupper(b[i]) : 0;
      if (ua != ub || ua == 0) {
        want = Sign(ua - ub);
        break;
      }
    }
    ASSERT_EQ(Sign(strncasecmpU(a.c_str(), b.c_str(), n)), want) << Show(a) << " " << Show(b) << " " << n;
    if (n == 5) {  // beyond both texts
      ASSERT_EQ(Sign(strcasecmpU(a.c_str(), b.c_str())), want);
    }
  }
}

TEST(Helpers, DupAndSet) {
  WEQ_UC* copy = strdupU(u"h\u00e9llo");
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(std::u16string(copy), u"h\u00e9llo");
  free(copy);
  WEQ_UC buf[6] = {1, 1, 1, 1, 1, 1};
  EXPECT_EQ(memsetU(buf + 1, 0x2020, 4), buf + 1);
  EXPECT_EQ(std::u16string(buf, 6), (std::u16string{1, 0x2020, 0x2020, 0x2020, 0x2020, 1}));
}

// strtolU beside glibc's wcstol, with the result held to the 32-bit range.
TEST(Helpers, StrtolMatchesWcstolInThe32BitRange) {
  const char* texts[] = {"0",         "42",          "  -17x",      "+9",        "\t\n 12",
                         "2147483647", "2147483648", "-2147483648", "-2147483649",
                         "99999999999999999999999",   "0x1F",        "0X",        "0xg",
                         "010",       "-0x80000000", "zz",          "",          "- 5",
                         "1e3",       "+-3",         "0b101",       "   ",       "7fffffff"};
  int bases[] = {10, 0, 16, 8, 2, 36};
  for (const char* t : texts) {
    for (int base : bases) {
      std::u16string u = tovtest::FromUtf8(t);
      std::wstring w = Wide(u);
      wchar_t* wend = nullptr;
      errno = 0;
      long want = wcstol(w.c_str(), &wend, base);
      bool range = errno == ERANGE || want > INT32_MAX || want < INT32_MIN;
      if (range) want = want < 0 ? INT32_MIN : INT32_MAX;
      WEQ_UC* end = nullptr;
      errno = 0;
      int32_t got = strtolU(u.c_str(), &end, base);
      SCOPED_TRACE(std::string("\"") + t + "\" base " + std::to_string(base));
      EXPECT_EQ(got, want);
      EXPECT_EQ(end - u.c_str(), wend - w.c_str());
      EXPECT_EQ(errno == ERANGE, range);
    }
  }
  errno = 0;
  EXPECT_EQ(strtolU(u"12", nullptr, 1), 0);
  EXPECT_EQ(errno, EINVAL);
}

// --- Time ----------------------------------------------------------------------

TEST(ThrAsctime, FixedFormAndOutOfRangeYears) {
  struct tm t {};
  t.tm_year = 70;
  t.tm_mday = 1;
  t.tm_wday = 4;
  WEQ_UC buf[32];
  std::fill(std::begin(buf), std::end(buf), 0xFFFF);
  ASSERT_EQ(ThrAsctime(&t, buf), buf);
  EXPECT_EQ(std::u16string(buf), u"Thu Jan  1 00:00:00 1970\n");
  EXPECT_EQ(buf[26], 0xFFFF) << "wrote beyond the 26 units";
  t.tm_year = 2024 - 1900;
  t.tm_mon = 11;
  t.tm_mday = 31;
  t.tm_wday = 2;
  t.tm_hour = 23;
  t.tm_min = 59;
  t.tm_sec = 58;
  ASSERT_EQ(ThrAsctime(&t, buf), buf);
  EXPECT_EQ(std::u16string(buf), u"Tue Dec 31 23:59:58 2024\n");
  t.tm_year = 200000;
  EXPECT_EQ(ThrAsctime(&t, buf), nullptr);
}

// --- 7-bit --------------------------------------------------------------------------

TEST(SevenBit, WideningAndNarrowingOverAllUnits) {
  std::vector<WEQ_UC> all(65536);
  for (size_t i = 0; i < all.size(); ++i) all[i] = static_cast<WEQ_UC>(i);
  std::vector<char> narrow(all.size());
  UcsnToA7n(narrow.data(), all.data(), static_cast<int>(all.size()));
  uint32_t before = A7SubstCount.load();
  for (size_t i = 0; i < all.size(); ++i) {
    char want = i < 128 ? static_cast<char>(i) : '#';
    ASSERT_EQ(narrow[i], want) << i;
    ASSERT_EQ(UcsCharToA7(all[i]), want) << i;
  }
  EXPECT_EQ(A7SubstCount.load() - before, 65536u - 128u);

  // Strict narrowing stops at the first unit above 127 and keeps the bytes
  // before it.
  const WEQ_UC mixed[] = {u'o', u'k', 0xE9, u'x'};
  char out[4] = {'-', '-', '-', '-'};
  EXPECT_EQ(U16nToA7nStrict(out, mixed, 4), 1);
  EXPECT_EQ(std::string(out, 4), "ok--");
  EXPECT_EQ(U16nToA7nStrict(out, mixed, 2), 0);
  EXPECT_EQ(U16nToA7nStrict(out, mixed, 0), 0);

  char s[4];
  UcsToA7s(s, u"a\u00e9b");
  EXPECT_STREQ(s, "a#b");
  U16sToA7sSubst(s, u"a\u00e9b", u'?');
  EXPECT_STREQ(s, "a?b");
  U16sToA7sSubst(s, u"a\u00e9b", 0xE8);
  EXPECT_STREQ(s, "a#b");

  const char bytes[] = "A\x7f\x80\xff";
  WEQ_UC wide[5];
  A7sToU16s(wide, bytes);
  EXPECT_EQ(std::u16string(wide), (std::u16string{u'A', 0x7F, 0x80, 0xFF}));
  std::fill(std::begin(wide), std::end(wide), 0x5555);
  A7nToUcsn(wide, bytes, 2);
  EXPECT_EQ(wide[1], 0x7F);
  EXPECT_EQ(wide[2], 0x5555) << "wrote a terminator";
  A7nToU16n(wide, bytes, -3);
  EXPECT_EQ(wide[0], u'A');
}

// --- EBCDIC ---------------------------------------------------------------------------

// Code page 500 as glibc's iconv knows it, from the other side.
std::vector<int> IconvTable(const char* from, const char* to, bool toUnicode) {
  iconv_t cd = iconv_open(to, from);
  EXPECT_NE(cd, reinterpret_cast<iconv_t>(-1)) << "iconv lacks " << from << " -> " << to;
  std::vector<int> out(256, -1);
  if (cd == reinterpret_cast<iconv_t>(-1)) return out;
  for (int i = 0; i < 256; ++i) {
    char in[2];
    size_t inLen = toUnicode ? 1 : 2;
    if (toUnicode) {
      in[0] = static_cast<char>(i);
    } else {
      in[0] = static_cast<char>(i);  // UTF-16LE
      in[1] = 0;
    }
    unsigned char res[4] = {};
    char* ip = in;
    char* op = reinterpret_cast<char*>(res);
    size_t outLen = sizeof res;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    if (iconv(cd, &ip, &inLen, &op, &outLen) != static_cast<size_t>(-1))
      out[i] = toUnicode ? res[0] | (res[1] << 8) : res[0];
  }
  iconv_close(cd);
  return out;
}

bool Blanked(int u) { return (u >= 0x1D && u <= 0x1F) || (u >= 0x80 && u <= 0x9F) || u == 0xAD; }

TEST(Ebcdic, TablesFollowCodePage500WithControlsBlanked) {
  std::vector<int> toUcs = IconvTable("IBM500", "UTF-16LE", true);
  std::vector<int> fromUcs = IconvTable("UTF-16LE", "IBM500", false);
  std::vector<int> blankedBytes;
  for (int b = 0; b < 256; ++b) {
    ASSERT_GE(toUcs[b], 0);
    int want = Blanked(toUcs[b]) ? 0x20 : toUcs[b];
    if (Blanked(toUcs[b])) blankedBytes.push_back(b);
    EXPECT_EQ(EbcdicToUcsTable[b], want) << "EBCDIC byte " << b;
  }
  for (int u = 0; u < 256; ++u) {
    ASSERT_GE(fromUcs[u], 0);
    EXPECT_EQ(UcsToEbcdicTable[u], Blanked(u) ? 0x40 : fromUcs[u]) << "unit " << u;
    EXPECT_EQ(U16CharToEbcdic(static_cast<WEQ_UC>(u)), UcsToEbcdicTable[u]);
    if (!Blanked(u)) {
      EXPECT_EQ(EbcdicToUcsTable[UcsToEbcdicTable[u]], u) << "not inverse at " << u;
    }
  }
  const std::vector<int> the36 = {0x04, 0x06, 0x08, 0x09, 0x0A, 0x14, 0x15, 0x17, 0x1A,
                                  0x1B, 0x1D, 0x1E, 0x1F, 0x20, 0x21, 0x22, 0x23, 0x24,
                                  0x28, 0x29, 0x2A, 0x2B, 0x2C, 0x30, 0x31, 0x33, 0x34,
                                  0x35, 0x36, 0x38, 0x39, 0x3A, 0x3B, 0x3E, 0xCA, 0xFF};
  EXPECT_EQ(blankedBytes, the36);
  for (int b : the36) EXPECT_EQ(EbcdicToUcsTable[b], 0x20) << b;
  int spaces = 0;
  for (int b = 0; b < 256; ++b) spaces += EbcdicToUcsTable[b] == 0x20;
  EXPECT_EQ(spaces, 37) << "the 36 bytes and 0x40";
  EXPECT_EQ(EbcdicToUcsTable[0x40], 0x20);
  EXPECT_EQ(UcsToEbcdicTable[0x20], 0x40);
}

TEST(Ebcdic, Conversions) {
  EXPECT_EQ(U16CharToEbcdic(0x100), 0x7B);
  EXPECT_EQ(U16CharToEbcdic(0xFFFF), 0x7B);

  WEQ_RAW bytes[] = {0x42, 0x4A, 0xC1, 0x40, 0x15};
  EbcdicToA7InPlace(bytes, 5);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes), 5), "#[A  ");

  WEQ_RAW all[256];
  for (int i = 0; i < 256; ++i) all[i] = static_cast<WEQ_RAW>(i);
  A7ToEbcdicInPlace(all, 256);
  for (int i = 0; i < 256; ++i)
    ASSERT_EQ(all[i], i < 128 ? UcsToEbcdicTable[i] : 0x7B) << i;

  WEQ_UC wide[4] = {9, 9, 9, 9};
  const WEQ_RAW hello[] = {0xC8, 0x85, 0x93};
  EbcdicnToU16n(wide, hello, 3);
  EXPECT_EQ(std::u16string(wide, 4), (std::u16string{u'H', u'e', u'l', 9}));

  WEQ_RAW out[4] = {0, 0, 0, 0};
  EXPECT_EQ(U16nToEbcdicnStrict(out, u"H\u00e9\u0100x", 4), 1);
  EXPECT_EQ(out[0], 0xC8);
  EXPECT_EQ(out[1], UcsToEbcdicTable[0xE9]);
  EXPECT_EQ(out[2], 0);
  EXPECT_EQ(U16nToEbcdicnStrict(out, u"Hx", 2), 0);
  EXPECT_EQ(out[1], 0xA7);
}

}  // namespace
