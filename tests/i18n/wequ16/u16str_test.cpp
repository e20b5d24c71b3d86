// 16-bit strings: the bounded functions swept over every small size, the C
// library's helpers beside glibc's wide functions and ICU, and the 7-bit and
// EBCDIC conversions beside ICU's code page 500.
#include "i18n/wequ16/u16str.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <string.h>
#include <unicode/uchar.h>
#include <unicode/ucnv.h>
#include <wchar.h>

#include <array>
#include <memory>
#include <random>

#include "support/testsupport.h"

namespace {

using tovtest::FromUtf8;
using tovtest::Show;

std::wstring Wide(const std::u16string& s) { return std::wstring(s.begin(), s.end()); }
int Sign(long v) { return (v > 0) - (v < 0); }

// Buffers exactly max units long, so that the sanitizers see a read past
// the bound.
TEST(Strings, BoundedLength) {
  for (size_t len = 0; len < 40; ++len)
    for (size_t max = 0; max < 48; ++max) {
      std::u16string u(max + (max == 0), u'x');
      std::string b(max + (max == 0), 'x');
      if (len < max) u[len] = 0, b[len] = 0;
      ASSERT_EQ(strnlenU16(u.data(), max) + strnlenR(b.data(), max), 2 * std::min(len, max))
          << len << " " << max;
    }
}

// --- The bounded copy and append functions -----------------------------------
//
// Destination sizes 0..8, source lengths 0..8, text already in the
// destination 0..size (size: no terminator) and counts 0..9, with canaries
// after the destination. The expectation is each function's rule written
// out unit by unit.

enum Kind { kCopy, kCat, kNCopy, kNCat, kMem };

template <class C, class F>
void Sweep(const char* name, Kind kind, F call) {
  const C canary = static_cast<C>(sizeof(C) == 1 ? 0xA5 : 0xA5C3);
  const bool cat = kind == kCat || kind == kNCat, mem = kind == kMem;
  for (size_t size = 0; size <= 8; ++size)
    for (size_t srcLen = 0; srcLen <= 8; srcLen += mem ? 9 : 1)
      for (size_t dstLen = 0; dstLen <= (cat ? size : 0); ++dstLen)
        for (size_t count = 0; count <= (kind >= kNCopy ? 9 : 0); ++count) {
          // The source holds exactly its text and terminator (count
          // elements for the memory functions), so a read beyond is seen.
          const size_t n = mem ? count : srcLen;
          std::vector<C> src(n + !(mem && n), 0), buf(size + 4, canary);
          for (size_t i = 0; i < n; ++i) src[i] = static_cast<C>('a' + i);
          for (size_t i = 0; i < dstLen; ++i) buf[i] = static_cast<C>('A' + i);
          if (cat && dstLen < size) buf[dstLen] = 0;
          std::vector<int> want(buf.begin(), buf.begin() + static_cast<long>(size));
          int rc = 0;
          const size_t room = size - dstLen;
          auto put = [&](size_t at, size_t k) {
            for (size_t i = 0; i < k; ++i) want[at + i] = 'a' + static_cast<int>(i);
            if (!mem) want[at + k] = 0;
          };
          if (mem) {
            if (count <= size) put(0, count); else rc = ERANGE, want.assign(size, 0);
          } else if (room == 0) {
            rc = cat ? ERANGE : 0;  // untouched
          } else if (kind == kNCopy) {
            put(0, std::min({count, size - 1, srcLen}));
          } else if (srcLen >= room && (kind != kNCat || count >= room)) {
            rc = ERANGE;  // emptied: only the first unit is defined (-1: any)
            want.assign(size, -1);
            want[0] = 0;
          } else {
            put(dstLen, kind == kNCat ? std::min(count, srcLen) : srcLen);
          }
          int got;
          if constexpr (std::is_invocable_v<F, C*, size_t, const C*>)
            got = call(buf.data(), size, src.data());
          else
            got = call(buf.data(), size, src.data(), count);
          bool ok = got == rc;
          for (size_t i = 0; i < buf.size(); ++i)
            ok &= i < size ? want[i] == -1 || want[i] == buf[i] : buf[i] == canary;
          ASSERT_TRUE(ok) << name << " size " << size << " src " << srcLen << " dst " << dstLen << " count "
                          << count << ": rc " << got << " want " << rc;
        }
}

TEST(BoundedFunctions, EverySmallSizeWithCanaries) {
  Sweep<WEQ_UC>("strcpy_sU16", kCopy, strcpy_sU16);
  Sweep<WEQ_UC>("strcat_sU16", kCat, strcat_sU16);
  Sweep<WEQ_UC>("strncpy_sU16", kNCopy, strncpy_sU16);
  Sweep<WEQ_UC>("strncat_sU16", kNCat, strncat_sU16);
  Sweep<WEQ_UC>("memcpy_sU16", kMem, memcpy_sU16);
  Sweep<char>("strcpy_sR", kCopy, strcpy_sR);
  Sweep<char>("strcat_sR", kCat, strcat_sR);
  Sweep<char>("memcpy_sR", kMem, memcpy_sR);
  Sweep<char>("memmove_sR", kMem, memmove_sR);

  char text[] = "abcdefgh";
  EXPECT_EQ(memmove_sR(text + 2, 6, text, 5), 0);
  EXPECT_STREQ(text, "ababcdeh");
  WEQ_UC dst[4] = {u'x', u'y', 0, 0};
  EXPECT_EQ(strcpy_sU16(dst, 4, nullptr), EINVAL);
  EXPECT_EQ(dst[0], 0);
  EXPECT_EQ(strcpy_sU16(nullptr, 4, u"a") + memcpy_sU16(nullptr, 4, u"ab", 2), 2 * EINVAL);
  EXPECT_EQ(strcat_sU16(nullptr, 0, u"a"), ERANGE);
}

// --- Tokenizer and the C library's helpers over 16-bit units --------------------

// Token sequences over random texts beside glibc's strtok_r on the same
// bytes. At the end of the text the context becomes NULL (after one more
// call that returns NULL when a delimiter ends the text), and a call with
// that context fails with EINVAL.
TEST(Tokenizer, MatchesTheCLibraryAndEndsItsContext) {
  std::mt19937 rng(7);
  for (int round = 0; round < 2000; ++round) {
    std::string narrow;
    for (size_t i = rng() % 12; i > 0; --i) narrow.push_back("ab,; "[rng() % 5]);
    const char* delim = std::array{",", ",; ", ";", "", "ab"}[round % 5];
    std::string copy = narrow;
    std::vector<std::u16string> want, got;
    for (char *save, *t = strtok_r(copy.data(), delim, &save); t; t = strtok_r(nullptr, delim, &save))
      want.push_back(FromUtf8(t));
    std::u16string text = FromUtf8(narrow), d = FromUtf8(delim);
    WEQ_UC* ctx = nullptr;
    size_t calls = 1;
    errno = 0;
    for (WEQ_UC* t = strtok_sU16(text.data(), d.c_str(), &ctx); t;
         t = ctx ? ++calls, strtok_rU(nullptr, d.c_str(), &ctx) : nullptr)
      got.emplace_back(t);
    const bool endsInDelimiter = !narrow.empty() && strchr(delim, narrow.back()) != nullptr;
    ASSERT_EQ(got, want) << narrow << " / " << delim;
    ASSERT_EQ(calls, want.size() + (want.empty() || endsInDelimiter)) << narrow << " / " << delim;
    ASSERT_EQ(errno + (ctx != nullptr), 0);
    ASSERT_EQ(strtok_sU16(nullptr, d.c_str(), &ctx) == nullptr && errno == EINVAL, true);
  }
}

// Random texts beside glibc's wide functions and ICU's upper case of each
// unit, over letters whose upper case is another unit (long s, dotless i)
// or none (sharp s), and high units that catch signed compares.
TEST(Helpers, MatchTheWideCLibraryAndIcu) {
  std::mt19937 rng(11);
  const std::u16string alphabet = {u'a', u'A', u's', u'S', 0x17F, 0xDF, 0x131, u'I', u'i', 0xFFFF, 0xD800, 0};
  auto text = [&] {
    std::u16string s;
    for (size_t i = rng() % 7; i > 0; --i) s.push_back(alphabet[rng() % 11]);  // no 0 inside a text
    return s;
  };
  auto at = [](const auto* found, const auto* base) { return found ? found - base : -1; };
  for (int round = 0; round < 5000; ++round) {
    const std::u16string a = text(), b = text(), needle = b.substr(0, rng() % 3);
    const std::wstring wa = Wide(a), wb = Wide(b);
    const size_t n = rng() % 8;
    const char16_t c = alphabet[rng() % 12];
    auto upperCompare = [&](size_t limit) {
      for (size_t i = 0; i < limit; ++i) {
        const int ua = u_toupper(a.c_str()[i]), ub = u_toupper(b.c_str()[i]);
        if (ua != ub || ua == 0) return Sign(ua - ub);
      }
      return 0;
    };
    SCOPED_TRACE(Show(a) + " " + Show(b) + " " + std::to_string(n));
    ASSERT_EQ(strlenU(a.c_str()), wcslen(wa.c_str()));
    ASSERT_EQ(Sign(strcmpU(a.c_str(), b.c_str())), Sign(wcscmp(wa.c_str(), wb.c_str())));
    ASSERT_EQ(Sign(strncmpU(a.c_str(), b.c_str(), n)), Sign(wcsncmp(wa.c_str(), wb.c_str(), n)));
    ASSERT_EQ(Sign(strncasecmpU(a.c_str(), b.c_str(), n)), upperCompare(n));
    ASSERT_EQ(Sign(strcasecmpU(a.c_str(), b.c_str())), upperCompare(SIZE_MAX));
    ASSERT_EQ(at(strchrU(a.c_str(), c), a.c_str()), at(wcschr(wa.c_str(), c), wa.c_str()));
    ASSERT_EQ(at(strrchrU(a.c_str(), c), a.c_str()), at(wcsrchr(wa.c_str(), c), wa.c_str()));
    ASSERT_EQ(at(strstrU(a.c_str(), needle.c_str()), a.c_str()),
              at(wcsstr(wa.c_str(), Wide(needle).c_str()), wa.c_str()));
  }
}

// strtolU beside glibc's wcstol, with the result held to the 32-bit range;
// ThrAsctime beside asctime_r.
TEST(Helpers, StrtolAndAsctimeBesideTheCLibrary) {
  for (const char* t : {"42", "  -17x", "\t\n 12", "2147483647", "2147483648", "-2147483648", "-2147483649",
                        "99999999999999999999999", "0x1F", "0X", "0xg", "010", "-0x80000000", "- 5", "+-3"}) {
    for (int base : {10, 0, 16, 8, 2, 36}) {
      const std::u16string u = FromUtf8(t);
      const std::wstring w = Wide(u);
      wchar_t* wend;
      WEQ_UC* end;
      errno = 0;
      const long want = wcstol(w.c_str(), &wend, base);
      const bool range = errno == ERANGE || want != static_cast<int32_t>(want);
      errno = 0;
      EXPECT_EQ(strtolU(u.c_str(), &end, base), range ? (want < 0 ? INT32_MIN : INT32_MAX) : want) << t;
      EXPECT_EQ(end - u.c_str(), wend - w.c_str()) << t << " base " << base;
      EXPECT_EQ(errno == ERANGE, range) << t << " base " << base;
    }
  }
  EXPECT_EQ(strtolU(u"12", nullptr, 1) + errno, EINVAL);
  WEQ_UC buf[32];
  std::fill(std::begin(buf), std::end(buf), 0xFFFF);
  struct tm tm {};
  char want[32];
  const time_t t = 1735689598;
  asctime_r(gmtime_r(&t, &tm), want);
  ASSERT_EQ(ThrAsctime(&tm, buf), buf);
  EXPECT_EQ(std::u16string(buf, 27), FromUtf8(want) + u'\0' + u'\xFFFF');
}

// --- 7-bit and EBCDIC --------------------------------------------------------

// The controls that the tables map to blanks, so that both stay inverse.
bool Blanked(int u) { return (u >= 0x1D && u <= 0x1F) || (u >= 0x80 && u <= 0x9F) || u == 0xAD; }

// Every conversion over every unit and byte, beside ICU's code page 500
// with those controls blanked.
TEST(Conversions, SevenBitAndEbcdicBesideCodePage500) {
  std::string bytes(256, 0), fromUcs(256, 0);
  std::u16string units(65536, 0), toUcs(256, 0);
  for (size_t i = 0; i < units.size(); ++i) units[i] = static_cast<WEQ_UC>(i), bytes[i & 0xFF] = char(i);
  UErrorCode ec = U_ZERO_ERROR;
  std::unique_ptr<UConverter, decltype(&ucnv_close)> cp500(ucnv_open("ibm-500", &ec), ucnv_close);
  ucnv_toUChars(cp500.get(), toUcs.data(), 256, bytes.data(), 256, &ec);
  ucnv_fromUChars(cp500.get(), fromUcs.data(), 256, units.data(), 256, &ec);
  ASSERT_TRUE(U_SUCCESS(ec)) << u_errorName(ec);
  std::vector<int> blankedBytes;
  for (int b = 0; b < 256; ++b)
    if (Blanked(toUcs[b])) blankedBytes.push_back(b);
  const std::vector<int> the36 = {0x04, 0x06, 0x08, 0x09, 0x0A, 0x14, 0x15, 0x17, 0x1A, 0x1B, 0x1D, 0x1E,
                                  0x1F, 0x20, 0x21, 0x22, 0x23, 0x24, 0x28, 0x29, 0x2A, 0x2B, 0x2C, 0x30,
                                  0x31, 0x33, 0x34, 0x35, 0x36, 0x38, 0x39, 0x3A, 0x3B, 0x3E, 0xCA, 0xFF};
  EXPECT_EQ(blankedBytes, the36);
  EXPECT_EQ(EbcdicToUcsTable[0x40] * 0x100 + UcsToEbcdicTable[0x20], 0x2040);

  std::string narrow(65536, 0), strict(65536, '-');
  std::vector<WEQ_RAW> ebcdic(65536, 0xEE);
  UcsnToA7n(narrow.data(), units.data(), 65536);
  EXPECT_EQ(U16nToA7nStrict(strict.data(), units.data(), 65536), 1);
  EXPECT_EQ(U16nToEbcdicnStrict(ebcdic.data(), units.data(), 65536), 1);
  const uint32_t before = A7SubstCount.load();
  for (size_t i = 0; i < units.size(); ++i) {
    const char a7 = i < 128 ? static_cast<char>(i) : '#';
    const int e = i > 255 ? 0x7B : Blanked(int(i)) ? 0x40 : static_cast<unsigned char>(fromUcs[i]);
    ASSERT_EQ(std::vector<int>({narrow[i], UcsCharToA7(units[i]), strict[i], U16CharToEbcdic(units[i])}),
              std::vector<int>({a7, a7, i < 128 ? a7 : '-', e})) << i;
    ASSERT_EQ(ebcdic[i], i < 256 ? e : 0xEE) << "strict conversion went on at " << i;
  }
  EXPECT_EQ(A7SubstCount.load() - before, 65536u - 128u);
  EXPECT_EQ(U16nToA7nStrict(strict.data(), units.data(), 128), 0);
  EXPECT_EQ(U16nToEbcdicnStrict(ebcdic.data(), units.data(), 256), 0);

  std::string toA7 = bytes, toEbcdic = bytes;
  std::u16string wide(257, 0x5555), widened(257, 0x5555);
  EbcdicnToU16n(wide.data(), reinterpret_cast<const WEQ_RAW*>(bytes.data()), 256);
  EbcdicToA7InPlace(reinterpret_cast<WEQ_RAW*>(toA7.data()), 256);
  A7ToEbcdicInPlace(reinterpret_cast<WEQ_RAW*>(toEbcdic.data()), 256);
  A7nToUcsn(widened.data(), bytes.data(), 256);
  A7nToU16n(widened.data(), "xyz", -3);
  for (int b = 0; b < 256; ++b) {
    const int u = Blanked(toUcs[b]) ? 0x20 : toUcs[b];
    ASSERT_EQ(std::vector<int>({wide[b], toA7[b], static_cast<unsigned char>(toEbcdic[b]), widened[b]}),
              std::vector<int>({u, u < 128 ? u : '#', b < 128 ? U16CharToEbcdic(b) : 0x7B, b})) << b;
  }
  EXPECT_EQ(wide[256] + widened[256], 2 * 0x5555) << "wrote a terminator";
  char s[3][4];
  U16sToA7sSubst(s[0], u"a\u00e9b", u'?');
  U16sToA7sSubst(s[1], u"a\u00e9b", 0xE8);
  UcsToA7s(s[2], u"\u00e9\u0100");
  A7sToU16s(widened.data(), "A\x7f\x80\xff");
  EXPECT_EQ(std::vector<std::string>(s, s + 3), (std::vector<std::string>{"a?b", "a#b", "##"}));
  EXPECT_EQ(std::u16string(widened.data()), (std::u16string{u'A', 0x7F, 0x80, 0xFF}));
}

}  // namespace
