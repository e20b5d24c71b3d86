// Formatted output: the library's own rules (where they differ from C's),
// typed arguments, bounds and truncation at every size, the stream sink and
// the format error report. Agreement with C's rules where both share them is
// tested against glibc in u16fmt_diff_test.cpp.
#include <gtest/gtest.h>

#include <errno.h>
#include <stdio.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "i18n/wequ16/u16file.h"
#include "i18n/wequ16/u16fmt.h"
#include "i18n/wequ16/u16fmt_int.h"
#include "support/testsupport.h"

// Heap allocations of the test, counted while a test asks, and refused
// while it asks.
namespace alloc {
std::atomic<int> count{0};
std::atomic<bool> counting{false};
std::atomic<bool> failing{false};
void* Take(size_t n) {
  if (counting.load()) count.fetch_add(1);
  return failing.load() ? nullptr : malloc(n ? n : 1);
}
void* TakeOrThrow(size_t n) {
  if (void* p = Take(n)) return p;
  throw std::bad_alloc();
}
}  // namespace alloc

void* operator new(size_t n) { return alloc::TakeOrThrow(n); }
void* operator new[](size_t n) { return alloc::TakeOrThrow(n); }
void* operator new(size_t n, const std::nothrow_t&) noexcept { return alloc::Take(n); }
void* operator new[](size_t n, const std::nothrow_t&) noexcept { return alloc::Take(n); }
void operator delete(void* p) noexcept { free(p); }
void operator delete[](void* p) noexcept { free(p); }
void operator delete(void* p, size_t) noexcept { free(p); }
void operator delete[](void* p, size_t) noexcept { free(p); }

namespace {

using tovtest::FromUtf8;
using tovtest::Show;
using tovtest::ToUtf8;

constexpr WEQ_UC kCanary = 0xCCCC;

// A format taken as a pointer, so that it is checked when it runs rather
// than when the call compiles (a bad literal would not compile).
const WEQ_UC* Runtime(const WEQ_UC* f) { return f; }

// Text and result of snprintfU16 into a roomy buffer.
template <class... A>
std::pair<int, std::u16string> Fmt(U16Format<A...> f, const A&... a) {
  WEQ_UC buf[512];
  int r = snprintfU16(buf, 512, f, a...);
  return {r, std::u16string(buf)};
}

// Keeps the reports of format errors that a test provokes off stderr.
class QuietReports {
 public:
  QuietReports() : saved_(U16ReportLevel) { U16ReportLevel = 0; }
  ~QuietReports() { U16ReportLevel = saved_; }

 private:
  int saved_;
};

// Runs a formatting call with a runtime format under the chosen rule for
// arguments that do not fit.
class StrictArgs {
 public:
  explicit StrictArgs(bool strict) : saved_(U16FmtIStrictArgs()) { U16FmtISetStrictArgs(strict); }
  ~StrictArgs() { U16FmtISetStrictArgs(saved_); }

 private:
  bool saved_;
};

// --- The library's own rules -----------------------------------------------

struct Case {
  const char* name;
  std::function<std::pair<int, std::u16string>()> run;
  int result;
  std::u16string text;
};

void RunCases(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    auto [r, text] = c.run();
    EXPECT_EQ(r, c.result) << c.name;
    EXPECT_EQ(Show(text), Show(c.text)) << c.name;
  }
}

TEST(FormatRules, IntegerDigitsPrecisionAndPrefix) {
  RunCases({
      {"%.0d of 0 has no digits", [] { return Fmt(u"[%.0d]", 0); }, 2, u"[]"},
      {"%5.0d of 0 pads only", [] { return Fmt(u"[%5.0d]", 0); }, 7, u"[     ]"},
      {"%#o of 0", [] { return Fmt(u"%#o", 0); }, 1, u"0"},
      {"%#.0o of 0 keeps its 0", [] { return Fmt(u"%#.0o", 0); }, 1, u"0"},
      {"%#.5o of 8", [] { return Fmt(u"%#.5o", 8); }, 5, u"00010"},
      {"%.5o of 8", [] { return Fmt(u"%.5o", 8); }, 5, u"00010"},
      {"%#o of 8", [] { return Fmt(u"%#o", 8); }, 3, u"010"},
      {"%#6o of 8", [] { return Fmt(u"%#6o", 8); }, 6, u"   010"},
      {"%#x of 255", [] { return Fmt(u"%#x", 255); }, 4, u"0xff"},
      {"%#X of 255", [] { return Fmt(u"%#X", 255); }, 4, u"0XFF"},
      {"%#x of 0", [] { return Fmt(u"%#x", 0); }, 1, u"0"},
      {"%#08x of 255", [] { return Fmt(u"%#08x", 255); }, 8, u"0x0000ff"},
      {"%08d of -42", [] { return Fmt(u"%08d", -42); }, 8, u"-0000042"},
      {"%-6d of 42", [] { return Fmt(u"%-6d|", 42); }, 7, u"42    |"},
      {"%--5d is accepted", [] { return Fmt(u"%--5d|", 3); }, 6, u"3    |"},
      {"%+ d: plus wins", [] { return Fmt(u"%+ d", 5); }, 2, u"+5"},
      {"% d", [] { return Fmt(u"% d", 5); }, 2, u" 5"},
      {"%+u has no sign", [] { return Fmt(u"%+u", 5); }, 1, u"5"},
      {"%+x has no sign", [] { return Fmt(u"% +x", 10); }, 1, u"a"},
      {"%%", [] { return Fmt(u"100%%"); }, 4, u"100%"},
  });
}

// Each place where the library's rules are not C's, once by name.
TEST(FormatRules, WhereTheLibraryDiffersFromC) {
  int target = -1;
  RunCases({
      {"%+o carries a sign", [] { return Fmt(u"%+o", 8); }, 3, u"+10"},
      {"% o carries a blank", [] { return Fmt(u"% o", 8); }, 3, u" 10"},
      {"a precision below the width disables zero padding of floats",
       [] { return Fmt(u"%08.3f", 1.5); }, 8, u"   1.500"},
      {"the zero flag pads strings", [] { return Fmt(u"[Thr %02s] ", u"7"); }, 9, u"[Thr 07] "},
      {"the zero flag pads characters", [] { return Fmt(u"%03c", u'x'); }, 3, u"00x"},
      {"%p has no prefix", [] { return Fmt(u"%p", reinterpret_cast<void*>(0xbeef)); }, 4, u"beef"},
      {"%p of NULL", [] { return Fmt(u"%p", static_cast<void*>(nullptr)); }, 5, u"(nil)"},
      {"%8s of NULL", [] { return Fmt(u"%8s", static_cast<const WEQ_UC*>(nullptr)); }, 8, u"  (null)"},
      {"%.3s of NULL cuts (null)", [] { return Fmt(u"%.3s", nullptr); }, 3, u"(nu"},
      {"%c of 0 is stored and counted",
       [] {
         WEQ_UC buf[8];
         int r = snprintfU16(buf, 8, u"a%cb", 0);
         return std::pair{r, std::u16string(buf, 3)};
       },
       3, std::u16string(u"a\0b", 3)},
      {"a negative * width pads nothing", [] { return Fmt(u"[%*d]", -6, 42); }, 4, u"[42]"},
      {"a negative * precision counts as none", [] { return Fmt(u"[%.*s]", -1, u"abc"); }, 5, u"[abc]"},
      {"'#' with %x of 0 under a precision", [] { return Fmt(u"%#.3x", 0); }, 5, u"0x000"},
      {"%a without a precision has 6 digits", [] { return Fmt(u"%a", 1.5); }, 13, u"0x1.800000p+0"},
      {"%5% pads", [] { return Fmt(u"%5%"); }, 5, u"    %"},
      {"%n stores what was delivered",
       [&] {
         auto r = Fmt(u"abc%nde", &target);
         return std::pair{r.first * 10 + target, r.second};
       },
       53, u"abcde"},
  });
}

TEST(FormatRules, FloatingPointEdges) {
  RunCases({
      {"-0.0 keeps its sign", [] { return Fmt(u"%.1f", -0.0); }, 4, u"-0.0"},
      {"zero padding after the sign", [] { return Fmt(u"%+08.2e", 5.0); }, 9, u"+5.00e+00"},
      {"inf pads with blanks", [] { return Fmt(u"%06f", -1.0 / 0.0); }, 6, u"  -inf"},
      {"%0a puts zeros after 0x", [] { return Fmt(u"%016a", 1.0); }, 16, u"0x0001.000000p+0"},
      {"%g", [] { return Fmt(u"%g", 0.0001); }, 6, u"0.0001"},
      {"%#.0f keeps the point", [] { return Fmt(u"%#.0f", 2.0); }, 2, u"2."},
      {"%L with a double", [] { return Fmt(u"%.2Lf", 2.5); }, 4, u"2.50"},
  });
  // Texts longer than the stack buffer take the heap; the digits stay C's.
  char ref[1600];
  snprintf(ref, sizeof ref, "%.40f", 1e300);
  EXPECT_EQ(Show(Fmt(u"%.40f", 1e300).second), ref);
  snprintf(ref, sizeof ref, "%.1100f", 1e-320);
  WEQ_UC big[1600];
  EXPECT_EQ(snprintfU16(big, 1600, u"%.1100f", 1e-320), static_cast<int>(strlen(ref)));
  EXPECT_EQ(Show(big), ref);
  // A precision past every digit a double has is capped, not allocated.
  EXPECT_EQ(snprintfU16(big, 1600, u"%.*f", INT_MAX, 1.0), 2 + kU16FmtMaxFloatPrecision);
  EXPECT_EQ(std::u16string(big).find_first_not_of(u'0', 2), std::u16string::npos);
}

TEST(FormatRules, StringsAndCharacters) {
  const WEQ_UC no_terminator[3] = {u'x', u'y', u'z'};
  RunCases({
      {"an empty string adds nothing", [] { return Fmt(u"[%s]", u""); }, 2, u"[]"},
      {"precision limits the units read", [&] { return Fmt(u"%.2s", +no_terminator); }, 2, u"xy"},
      {"%-5.2s", [] { return Fmt(u"[%-5.2s]", u"abc"); }, 7, u"[ab   ]"},
      {"%c takes the low 16 bits", [] { return Fmt(u"%c", 0x1263A); }, 1, u"\u263A"},
      {"%lc and %hc change nothing", [] { return Fmt(u"%lc%hc", u'a', u'b'); }, 2, u"ab"},
      {"surrogates pass through", [] { return Fmt(u"<%s>", u"\U0001F600"); }, 4, u"<\U0001F600>"},
      {"non-ASCII format text", [] { return Fmt(u"\u00e9%d\u4e2d", 1); }, 3, u"\u00e91\u4e2d"},
  });
}

TEST(FormatRules, SpecificationErrors) {
  QuietReports quiet;
  const char16_t* bad[] = {u"abc%",   u"%S",      u"%++d",  u"%-+ #0d", u"%---- d", u"% ++d",
                           u"%y",     u"%I32d",   u"%lld%", u"%.#",     u"%#0#x",   u"%00d",
                           u"%99999999999d",        u"%.99999999999d",  u"%lS"};
  for (const char16_t* f : bad) {
    WEQ_UC buf[16];
    EXPECT_EQ(snprintfU16(buf, 16, f), -1) << Show(f);
    EXPECT_EQ(buf[0], 0) << Show(f);
    EXPECT_EQ(U16FmtArgsUsed(f), -1) << Show(f);
  }
  // Four flags are accepted; the text before a bad specification stays
  // with snprintfTruncU16 and vsnprintfU16.
  EXPECT_EQ(Fmt(u"%-+ #d", 5).second, u"+5");
  WEQ_UC buf[16];
  EXPECT_EQ(snprintfTruncU16(buf, 16, Runtime(u"abc%")), -1);
  EXPECT_EQ(std::u16string(buf), u"abc");
  size_t size = 16;
  EXPECT_EQ(vsnprintfU16(nullptr, buf, &size, u"xy%Sz", U16FmtArgs{nullptr, 0}), -1);
  EXPECT_EQ(std::u16string(buf), u"xy");
}

TEST(FormatRules, ArgumentsUsed) {
  EXPECT_EQ(U16FmtArgsUsed(u"plain"), 0);
  EXPECT_EQ(U16FmtArgsUsed(u"%d %*.*s %% %n %c %p"), 7);
  EXPECT_EQ(U16FmtArgsUsed(u"%-*d"), 2);
}

// --- Typed arguments ---------------------------------------------------------

enum Color { kRed = 3 };
enum class Wide : int64_t { kBig = int64_t{1} << 40 };

TEST(TypedArguments, TheValueComesFromTheArgumentsType) {
  long long big = int64_t{1} << 40;
  size_t size_max = SIZE_MAX;
  short minus_one = -1;
  unsigned u_max = UINT_MAX;
  unsigned long long u64 = UINT64_MAX;
  int minus = -1;
  RunCases({
      {"%ld with an int", [&] { return Fmt(u"%ld", minus); }, 2, u"-1"},
      {"%d with a 64-bit value", [&] { return Fmt(u"%d", big); }, 13, u"1099511627776"},
      {"%lu with a size_t", [&] { return Fmt(u"%lu", size_max); }, 20, u"18446744073709551615"},
      {"%u with an int -1", [&] { return Fmt(u"%u", minus); }, 10, u"4294967295"},
      {"%x with a short -1 (promoted)", [&] { return Fmt(u"%x", minus_one); }, 8, u"ffffffff"},
      {"%d with an unsigned max", [&] { return Fmt(u"%d", u_max); }, 2, u"-1"},
      {"%lx with an int64 -1", [&] { return Fmt(u"%lx", int64_t{-1}); }, 16, u"ffffffffffffffff"},
      {"%llo of a 64-bit value", [&] { return Fmt(u"%llo", u64); }, 22, u"1777777777777777777777"},
      {"%o of a 64-bit value", [&] { return Fmt(u"%o", u64); }, 22, u"1777777777777777777777"},
      {"%I64d with an int", [&] { return Fmt(u"%I64d", 7); }, 1, u"7"},
      {"%hd does not narrow", [&] { return Fmt(u"%hd", 70000); }, 5, u"70000"},
      {"%d of an enum", [&] { return Fmt(u"%d", kRed); }, 1, u"3"},
      {"%lld of a scoped 64-bit enum", [&] { return Fmt(u"%lld", Wide::kBig); }, 13, u"1099511627776"},
      {"%d of a bool", [&] { return Fmt(u"%d", true); }, 1, u"1"},
      {"%c of a char16_t", [&] { return Fmt(u"%c", u'\u00fc'); }, 1, u"\u00fc"},
      {"%f of a float", [&] { return Fmt(u"%.2f", 0.25f); }, 4, u"0.25"},
      {"%ls with a 16-bit array", [&] {
         WEQ_UC name[8] = u"peer";
         return Fmt(u"%ls", name);
       }, 4, u"peer"},
      {"%.*s with a size_t precision", [&] { return Fmt(u"%.*s", size_t{2}, u"abc"); }, 2, u"ab"},
      {"a size_t precision past INT_MAX is clamped", [&] { return Fmt(u"%.*s", size_max, u"abc"); }, 3, u"abc"},
  });
}

template <class... A>
constexpr U16FmtCheck CheckOf(const WEQ_UC* f) {
  constexpr U16FmtKind kinds[] = {U16FmtKindOf<std::decay_t<A>>()..., U16FmtKind::kMissing};
  return U16FmtCheckKinds(f, kinds, sizeof...(A));
}

// The compile-time check of literal formats: the same rules as the engine's.
TEST(TypedArguments, CompileTimeCheck) {
  using C = U16FmtCheck;
  static_assert(CheckOf<int, const WEQ_UC*, double>(u"%d %s %f") == C::kOk);
  static_assert(CheckOf<int, int, const WEQ_UC*>(u"%-*.*s") == C::kOk);
  static_assert(CheckOf<>(u"100%% sure") == C::kOk);
  static_assert(CheckOf<void*, const char*, std::nullptr_t, int*>(u"%p%p%p%p") == C::kOk);
  static_assert(CheckOf<int*, std::nullptr_t>(u"%n%n") == C::kOk);
  static_assert(CheckOf<const WEQ_UC*>(u"%d") == C::kNoFit);
  static_assert(CheckOf<int>(u"%s") == C::kNoFit);
  static_assert(CheckOf<const char*>(u"%s") == C::kNoFit);
  static_assert(CheckOf<int>(u"%f") == C::kNoFit);
  static_assert(CheckOf<double>(u"%d") == C::kNoFit);
  static_assert(CheckOf<long*>(u"%n") == C::kNoFit);
  static_assert(CheckOf<void*>(u"%x") == C::kNoFit);
  static_assert(CheckOf<double, int>(u"%*d") == C::kNoFit);
  static_assert(CheckOf<int>(u"%d %d") == C::kTooFew);
  static_assert(CheckOf<int>(u"%*d") == C::kTooFew);
  static_assert(CheckOf<int, int>(u"%d") == C::kTooMany);
  static_assert(CheckOf<int>(u"%++d") == C::kBadSpec);
  static_assert(CheckOf<int>(u"%-+ #0d") == C::kBadSpec);
  static_assert(CheckOf<const WEQ_UC*>(u"%S") == C::kBadSpec);
  static_assert(CheckOf<>(u"50%") == C::kBadSpec);
  // Kinds after promotion.
  static_assert(U16FmtKindOf<char16_t>() == U16FmtKind::kI32);
  static_assert(U16FmtKindOf<unsigned short>() == U16FmtKind::kI32);
  static_assert(U16FmtKindOf<unsigned>() == U16FmtKind::kU32);
  static_assert(U16FmtKindOf<long>() == U16FmtKind::kI64);
  static_assert(U16FmtKindOf<size_t>() == U16FmtKind::kU64);
  static_assert(U16FmtKindOf<long double>() == U16FmtKind::kF64);
  static_assert(U16FmtKindOf<WEQ_UC*>() == U16FmtKind::kStr16);
  static_assert(U16FmtKindOf<const volatile int*>() == U16FmtKind::kPtr);
  // A literal format passes the check and formats (the check runs when
  // this line compiles).
  EXPECT_EQ(Fmt(u"%d-%s", 1, u"x").second, u"1-x");
}

// A format given as a pointer is checked while it runs.
TEST(TypedArguments, RuntimeFormatsThatDoNotFit) {
  const WEQ_UC* f_int = u"<%d>";
  const WEQ_UC* f_two = u"<%d|%s>";
  WEQ_UC buf[64];
  {
    StrictArgs strict(false);
    EXPECT_EQ(snprintfU16(buf, 64, f_int, u"text"), 16);
    EXPECT_EQ(std::u16string(buf), u"<(bad argument)>");
    EXPECT_EQ(snprintfU16(buf, 64, f_two, 5), 22);
    EXPECT_EQ(std::u16string(buf), u"<5|(missing argument)>");
    EXPECT_EQ(snprintfU16(buf, 64, f_int, 5, 6, 7), 3);  // extra arguments are ignored
    EXPECT_EQ(std::u16string(buf), u"<5>");
  }
  tovtest::ChildResult child = tovtest::RunInChild([&] {
    StrictArgs strict(true);
    int r = snprintfU16(buf, 64, f_int, 2.5);
    return r == -1 && buf[0] == 0 ? 0 : 1;
  });
  EXPECT_EQ(child.exit_code, 0);
  EXPECT_NE(child.err.find("Error in format string at or near 'd':\n<%d>"), std::string::npos)
      << child.err;
}

// --- Bounds and truncation ---------------------------------------------------

// Formats of the sweep, with their full text taken from a roomy buffer.
struct SweepFormat {
  const char* name;
  std::function<int(WEQ_UC*, size_t)> fit;    // snprintfU16
  std::function<int(WEQ_UC*, size_t)> trunc;  // snprintfTruncU16
  std::function<int(WEQ_UC*, size_t)> core;   // vsnprintfU16
};

template <class... A>
SweepFormat Sweep(const char* name, const WEQ_UC* f, const A&... a) {
  return SweepFormat{
      name,
      [=](WEQ_UC* b, size_t n) { return snprintfU16(b, n, f, a...); },
      [=](WEQ_UC* b, size_t n) { return snprintfTruncU16(b, n, f, a...); },
      [=](WEQ_UC* b, size_t n) {
        auto list = U16FmtMakeArgs(a...);
        return vsnprintfU16(nullptr, b, &n, f, list.args());
      }};
}

// Sizes 0..40 for each format: nothing is written at or past the size (an
// exact heap block for the sanitizers and canaries after a second copy), the
// terminator is always inside, and a cut is reported by the wrappers.
TEST(Bounds, EverySizeWithCanaries) {
  const WEQ_UC* text = u"abcdefghijklmnopqrstuvwxyz";
  std::vector<SweepFormat> formats = {
      Sweep("left-justified string", u"%-8s", u"abcdef"),
      Sweep("padding units", u"%-30s|", u"ab"),
      Sweep("zero padding and sign", u"%+012d:%#08x", -77, 255),
      Sweep("precision zeros", u"[%.20d]", 5),
      Sweep("float", u"%10.4f %e", 3.14159, -2.5e-10),
      Sweep("literal runs", u"0123456789%%0123456789%c0123456789", u'X'),
      Sweep("long string", u"%s%s", text, text),
      Sweep("pairs", u"%s\U0001F600%s", u"\U0001F601", u"x"),
      Sweep("empty", u""),
  };
  for (const SweepFormat& sf : formats) {
    WEQ_UC full[256];
    int len = sf.fit(full, 256);
    ASSERT_GE(len, 0) << sf.name;
    for (size_t size = 0; size <= 40; ++size) {
      SCOPED_TRACE(std::string(sf.name) + " size " + std::to_string(size));
      bool fits = static_cast<size_t>(len) < size;
      std::u16string cut(full, std::min<size_t>(len, size ? size - 1 : 0));
      struct Call {
        const std::function<int(WEQ_UC*, size_t)>* fn;
        int want;
        std::u16string text;
      } calls[] = {
          {&sf.fit, fits ? len : -1, fits ? std::u16string(full) : u""},
          {&sf.trunc, fits ? len : static_cast<int>(size), cut},
          {&sf.core, size == 0 ? 0 : static_cast<int>(cut.size()), cut},
      };
      for (const Call& c : calls) {
        std::unique_ptr<WEQ_UC[]> exact(new WEQ_UC[size ? size : 1]);
        std::fill_n(exact.get(), size ? size : 1, kCanary);
        EXPECT_EQ((*c.fn)(size ? exact.get() : exact.get(), size), c.want);
        if (size == 0) {
          EXPECT_EQ(exact[0], kCanary) << "a size of 0 is never touched";
          continue;
        }
        EXPECT_EQ(Show(exact.get()), Show(c.text));
        std::vector<WEQ_UC> canaried(size + 8, kCanary);
        (*c.fn)(canaried.data(), size);
        for (size_t i = size; i < size + 8; ++i) EXPECT_EQ(canaried[i], kCanary) << "unit " << i;
      }
      // A NULL buffer is never written, whatever the size.
      EXPECT_EQ(sf.fit(nullptr, size), -1);
      EXPECT_EQ(sf.trunc(nullptr, size), size == 0 ? 0 : -1);
    }
  }
}

TEST(Bounds, TruncationIsKnownAndReported) {
  WEQ_UC buf[8];
  std::fill_n(buf, 8, kCanary);
  EXPECT_EQ(snprintfU16(buf, 5, u"abcdefgh"), -1);
  EXPECT_EQ(buf[0], 0);
  EXPECT_EQ(errno, ERANGE);
  EXPECT_EQ(snprintfU16(buf, 5, u"abcd"), 4) << "an exact fit is not a cut";
  EXPECT_EQ(snprintfTruncU16(buf, 5, u"abcdefgh"), 5);
  EXPECT_EQ(std::u16string(buf), u"abcd");
  size_t size = 5;
  EXPECT_EQ(vsnprintfU16(nullptr, buf, &size, u"abcdefgh", U16FmtArgs{nullptr, 0}), 4);
  // The left-justified conversion after a run filled the buffer.
  std::fill_n(buf, 8, kCanary);
  EXPECT_EQ(snprintfU16(buf, 4, u"%-8s", u"abcdef"), -1);
  EXPECT_EQ(buf[4], kCanary);
  EXPECT_EQ(snprintfTruncU16(buf, 4, u"%-8s", u"abcdef"), 4);
  EXPECT_EQ(std::u16string(buf), u"abc");
  EXPECT_EQ(buf[4], kCanary);
  // The cut is known from the run, not from a unit left in the buffer: a 0
  // already in the last unit does not hide it, a %c of 0 there is no cut.
  std::fill_n(buf, 8, 0);
  EXPECT_EQ(snprintfTruncU16(buf, 3, u"%s", u"abcdef"), 3);
  EXPECT_EQ(snprintfTruncU16(buf, 3, u"a%c", 0), 2);
  // A %n after the cut is not reached; one before it sees the stored count.
  int seen = -1;
  EXPECT_EQ(snprintfTruncU16(buf, 4, u"ab%ncdef", &seen), 4);
  EXPECT_EQ(seen, 2);
}

TEST(Bounds, UnboundedAndNullArguments) {
  WEQ_UC buf[600];
  std::u16string want(500, u'*');
  EXPECT_EQ(sprintfU16(buf, u"%500s", u"*"), 500);
  EXPECT_EQ(std::u16string(buf).size(), 500u);
  EXPECT_EQ(sprintfU16(buf, u"%s|%d", u"ab", 12), 5);
  EXPECT_EQ(std::u16string(buf), u"ab|12");
  errno = 0;
  EXPECT_EQ(sprintfU16(nullptr, u"x"), -1);
  EXPECT_EQ(errno, EINVAL);
  errno = 0;
  EXPECT_EQ(snprintfU16(buf, 4, nullptr), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(buf[0], 0);
  errno = 0;
  size_t size = 4;
  EXPECT_EQ(vsnprintfU16(nullptr, nullptr, &size, u"x", U16FmtArgs{nullptr, 0}), -1);
  EXPECT_EQ(errno, EBADF);
  size = 0;
  EXPECT_EQ(vsnprintfU16(nullptr, nullptr, &size, u"x", U16FmtArgs{nullptr, 0}), 0);
  EXPECT_EQ(vsnprintfU16(nullptr, buf, nullptr, u"x", U16FmtArgs{nullptr, 0}), -1);
}

TEST(Allocation, OnlyLongFloatTextsTakeTheHeap) {
  WEQ_UC buf[1024];
  alloc::count = 0;
  alloc::counting = true;
  snprintfU16(buf, 1024, u"%s: hdl %d peer %s:%d rc=%lld (%-20s) %#x %p %c %.3f %e", u"NiIRead", 7,
              u"host", 3300, -104LL, u"NIECONN_BROKEN", 255u, static_cast<void*>(buf), u'z', 2.5, 1e300);
  int small = alloc::count.exchange(0);
  snprintfU16(buf, 1024, u"%.400f", 1.0);
  alloc::counting = false;
  EXPECT_EQ(small, 0);
  EXPECT_EQ(alloc::count, 1);
  // Without that heap buffer the conversion delivers its padding only,
  // errno tells, and the run goes on.
  QuietReports quiet;
  errno = 0;
  alloc::failing = true;
  int r = snprintfU16(buf, 1024, u"[%+12.400f]after", 1.0);
  alloc::failing = false;
  EXPECT_EQ(errno, ENOMEM);
  EXPECT_EQ(r, 19);
  EXPECT_EQ(std::u16string(buf), u"[           +]after");
}

// --- Stream output -----------------------------------------------------------

TEST(StreamOutput, FileHoldsTheUtf8OfTheBufferText) {
  tovtest::TempDir dir;
  std::u16string lots;
  for (int i = 0; i < 300; ++i) lots += static_cast<char16_t>(0x41 + i % 26);
  // Pairs at every offset around the sink's block boundary (256 units).
  for (int lead = 250; lead < 260; ++lead) {
    std::u16string pre(lead, u'-');
    std::string path = dir.File("out" + std::to_string(lead));
    FILE* f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    const WEQ_UC* fmt = u"%s\U0001F600|%5d|%-4s|\u00e9\u4e2d%s%c%c%.3f\n";
    int r = fprintfU16(f, fmt, pre.c_str(), 42, u"\U0001F601", lots.c_str(), 0xD83D, 0xDE00, 2.5);
    fclose(f);
    WEQ_UC buf[1024];
    int n = snprintfU16(buf, 1024, fmt, pre.c_str(), 42, u"\U0001F601", lots.c_str(), 0xD83D, 0xDE00, 2.5);
    EXPECT_EQ(r, n) << lead;
    EXPECT_EQ(tovtest::ReadFile(path), ToUtf8(std::u16string(buf))) << lead;
  }
}

TEST(StreamOutput, ZeroUnitAndErrors) {
  QuietReports quiet;
  tovtest::TempDir dir;
  std::string path = dir.File("z");
  FILE* f = fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(fprintfU16(f, u"a%cb", 0), 2) << "a lone 0 unit is not written to a stream";
  EXPECT_EQ(fprintfU16(f, Runtime(u"%S")), -1);
  fclose(f);
  EXPECT_EQ(tovtest::ReadFile(path), "ab");
  errno = 0;
  EXPECT_EQ(fprintfU16(nullptr, u"x"), -1);
  EXPECT_EQ(errno, EINVAL);
  // A short write fails the call, unbuffered or when the buffer fills.
  FILE* full = fopen("/dev/full", "w");
  ASSERT_NE(full, nullptr);
  std::u16string big(20000, u'x');
  EXPECT_EQ(fprintfU16(full, u"%s", big.c_str()), -1);
  setvbuf(full, nullptr, _IONBF, 0);
  EXPECT_EQ(fprintfU16(full, u"short %d", 1), -1);
  fclose(full);
}

// --- The format error report -------------------------------------------------

TEST(FormatErrorReport, FramedOnStandardError) {
  tovtest::ChildResult child = tovtest::RunInChild([] {
    WEQ_UC buf[32];
    int a = snprintfU16(buf, 32, Runtime(u"rc=%d %S \u00e9"), 5);
    int b = fprintfU16(stdout, Runtime(u"%"));
    return a == -1 && b == -1 ? 0 : 1;
  });
  EXPECT_EQ(child.exit_code, 0);
  EXPECT_EQ(child.out, "");
  const std::string& e = child.err;
  EXPECT_NE(e.find("--- Unicode interface [u16_OutCon line "), std::string::npos) << e;
  EXPECT_NE(e.find("Error in format string at or near 'S':\nrc=%d %S #"), std::string::npos) << e;
  EXPECT_NE(e.find("--- Unicode interface ------ End of message ------"), std::string::npos) << e;
  // The second report names the end of the format.
  EXPECT_NE(e.find("at or near '"), e.rfind("at or near '")) << e;
  // The message stays within 127 characters however long the format is.
  tovtest::ChildResult lng = tovtest::RunInChild([] {
    std::u16string f(400, u'x');
    f += u"%S";
    WEQ_UC buf[512];
    return snprintfU16(buf, 512, f.c_str()) == -1 ? 0 : 1;
  });
  EXPECT_EQ(lng.exit_code, 0);
  size_t start = lng.err.find("Error in format string");
  ASSERT_NE(start, std::string::npos) << lng.err;
  size_t end = lng.err.find('\n', lng.err.find('\n', start) + 1);
  EXPECT_LE(end - start, 127u) << lng.err;
}

}  // namespace
