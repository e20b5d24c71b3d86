// Formatted output: every shared conversion against glibc's snprintf, the
// library's own rules by name, typed arguments, format errors, bounds and
// truncation at every size, the heap, and the stream sink.
#include <errno.h>
#include <gtest/gtest.h>
#include <stdio.h>

#include <algorithm>
#include <atomic>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <random>
#include <string>

#include "i18n/wequ16/u16file.h"
#include "i18n/wequ16/u16fmt.h"
#include "i18n/wequ16/u16fmt_int.h"
#include "support/testsupport.h"

// Heap allocations of the executable, refused while a test asks.
namespace alloc {
std::atomic<bool> failing{false};
void* Take(size_t n) { return failing ? nullptr : malloc(n ? n : 1); }
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

// A format taken as a pointer is checked when it runs, not when the call
// compiles (a bad literal would not compile).
const WEQ_UC* Runtime(const WEQ_UC* f) { return f; }

// Result and text of snprintfU16 into a roomy buffer.
using Out = std::pair<int, std::u16string>;
template <class... A>
Out Fmt(U16Format<A...> f, const A&... a) {
  WEQ_UC buf[1024];
  int r = snprintfU16(buf, 1024, f, a...);
  return {r, std::u16string(buf)};
}

// Each row: what a call gave, and what it should have given.
void ExpectRows(const std::vector<std::pair<Out, Out>>& rows) {
  for (const auto& [got, want] : rows) EXPECT_EQ(got, want) << Show(want.second);
}

// --- Against glibc --------------------------------------------------------------
//
// Every combination of up to four flags (five are a format error), width,
// precision, conversion and value, formatted by glibc and by the library.
// Where the library's rules are not C's the combination is skipped here and
// tested by name below. Length modifiers never choose the width of the value
// (the argument's type does), so the library's side gets a modifier in
// rotation while glibc's gets the one that fits the type.

struct Spec {
  std::string flags;
  const char* width;
  const char* prec;
  int p;  // -1: none
  char conv;
};

std::vector<Spec> Specs(const char* flagChars, const char* convs) {
  const std::pair<const char*, int> precisions[] = {{"", -1}, {".", 0}, {".0", 0}, {".3", 3}, {".17", 17}};
  std::vector<Spec> out;
  const unsigned n = static_cast<unsigned>(strlen(flagChars));
  for (unsigned m = 0; m < (1u << n); ++m) {
    std::string flags;
    for (unsigned i = 0; i < n; ++i)
      if (m & (1u << i)) flags += flagChars[i];
    if (m % 3 == 0) std::reverse(flags.begin(), flags.end());  // either order
    for (const char* width : {"", "1", "3", "12"})
      for (auto [prec, p] : precisions)
        for (const char* c = convs; *c && flags.size() < 5; ++c) out.push_back({flags, width, prec, p, *c});
  }
  return out;
}

struct Differ {
  int checked = 0, failures = 0;
  std::u16string wide;  // the library's side of an 8-bit string

  const WEQ_UC* Ours(const char* s) { return (wide = FromUtf8(s)).c_str(); }
  template <class V>
  const V& Ours(const V& v) { return v; }

  template <class V>
  void Run(const Spec& s, const char* glibcLen, const char* ourLen, const V& v) {
    const std::string body = "%%<%" + s.flags + s.width + s.prec, gf = body + glibcLen + s.conv + ">";
    char ref[2048];
    WEQ_UC out[2048];
    const int rr = snprintf(ref, sizeof ref, gf.c_str(), v);
    const int ro = snprintfU16(out, 2048, FromUtf8(body + ourLen + s.conv + ">").c_str(), Ours(v));
    if ((ro != rr || std::u16string(out) != FromUtf8(ref)) && ++failures <= 20)
      ADD_FAILURE() << gf << " / " << ourLen << "\n  glibc: " << rr << " [" << ref << "]\n  ours:  " << ro
                    << " [" << Show(out) << "]";
    ++checked;
  }
};

TEST(FormatAgainstGlibc, EverySharedConversion) {
  const char* const lengths[] = {"", "l", "ll", "I64", "j", "z", "t"}, *const floatLengths[] = {"", "l", "L"};
  Differ d;
  int turn = 0;
  for (const Spec& s : Specs("-+ #0", "diuxXo")) {
    if (s.conv == 'o' && s.flags.find_first_of("+ ") != std::string::npos) continue;  // a sign for %o
    for (int64_t v : {int64_t{0}, int64_t{1}, int64_t{-1}, int64_t{8}, int64_t{255}, int64_t{INT32_MIN},
                      int64_t{INT32_MAX}, INT64_MAX, INT64_MIN, int64_t{UINT32_MAX}, int64_t{123456789}}) {
      const int type = ++turn % 4;  // int, unsigned, long long, unsigned long
      const bool zero = type < 2 ? static_cast<uint32_t>(v) == 0 : v == 0;
      if ((s.conv == 'x' || s.conv == 'X') && zero && s.p > 0 && s.flags.find('#') != std::string::npos)
        continue;  // "0x" before the zeros of a 0
      const char* ours = lengths[turn % 7];
      if (type == 0) d.Run(s, "", ours, static_cast<int32_t>(v));
      if (type == 1) d.Run(s, "", ours, static_cast<uint32_t>(v));
      if (type == 2) d.Run(s, "ll", ours, static_cast<long long>(v));
      if (type == 3) d.Run(s, "l", ours, static_cast<unsigned long>(v));
    }
  }
  for (const Spec& s : Specs("-+ #", "sc")) {  // '0' pads %s and %c
    for (const char* t : {"", "a", "hello world", "0123456789abcdefghijklmnopqrstuvwxyz!#$&"})
      if (s.conv == 's') d.Run(s, "", lengths[++turn % 2], t);
    if (s.conv == 'c' && s.p < 0) d.Run(s, "", "h", 32 + ++turn % 95);
  }
  for (const Spec& s : Specs("-+ #0", "fFeEgGaA")) {
    if ((s.conv == 'a' || s.conv == 'A') && s.p < 0) continue;  // 6 digits without a precision
    // A precision below the width with '0': the library pads with blanks.
    if (s.flags.find('0') != std::string::npos && s.p >= 0 && s.p < atoi(s.width)) continue;
    for (double v : {0.0, -0.0, 1.0, -1.5, 0.05, 1e-5, 123456.789, 9.9999999, DBL_MAX, DBL_TRUE_MIN, 1e22,
                     -HUGE_VAL, double{NAN}}) {
      if (++turn % 5 == 0) d.Run(s, "", floatLengths[turn % 3], static_cast<float>(v));
      else d.Run(s, "", floatLengths[turn % 3], v);
    }
  }
  EXPECT_EQ(d.failures, 0) << "of " << d.checked;
  EXPECT_GT(d.checked, 50000);
}

// Random doubles (any bit pattern, short decimals, and halves that sit
// exactly between two outputs) in %f, %e and %g of every case and many
// precisions: the same text as glibc's.
TEST(FormatAgainstGlibc, RandomDoublesInEveryFloatForm) {
  std::mt19937_64 rng(20261207);
  const char kConvs[] = "feEgGF";
  const int rounds = 30000 * tovtest::HeavyFactor();
  int failures = 0;
  for (int i = 0; i < rounds; ++i) {
    double v;
    switch (i % 3) {
      case 0: {
        uint64_t bits = rng();
        std::memcpy(&v, &bits, sizeof v);
        break;
      }
      case 1: v = static_cast<double>(static_cast<int64_t>(rng() % 2000001) - 1000000) / 1000.0; break;
      default: v = std::ldexp(static_cast<double>(rng() % 4096 * 2 + 1), -static_cast<int>(rng() % 12 + 1)); break;
    }
    const char conv = kConvs[rng() % 6];
    const int prec = static_cast<int>(rng() % 24) - 1;  // -1: none
    char gf[16], ref[1600];
    WEQ_UC out[1600];
    const std::string p = prec < 0 ? "" : "." + std::to_string(prec);
    snprintf(gf, sizeof gf, "%%%s%c", p.c_str(), conv);
    const int rr = snprintf(ref, sizeof ref, gf, v);
    const int ro = snprintfU16(out, 1600, FromUtf8(gf).c_str(), v);
    if ((rr != ro || std::u16string(out) != FromUtf8(ref)) && ++failures <= 10)
      ADD_FAILURE() << gf << " of " << v << "\n  glibc: [" << ref << "]\n  ours:  [" << Show(out) << "]";
  }
  EXPECT_EQ(failures, 0);
}

// --- The library's own rules and typed arguments -----------------------------------

enum Color { kRed = 3 };
enum class Wide : int64_t { kBig = int64_t{1} << 40 };

TEST(FormatRules, OwnRulesAndTypedArguments) {
  const WEQ_UC noTerminator[3] = {u'x', u'y', u'z'};
  const int minus = -1;
  const short minusShort = -1;
  WEQ_UC buf[8];
  const int zeroUnit = snprintfU16(buf, 8, u"a%cb", 0);
  int seen = -1;
  ExpectRows({
      {Fmt(u"%+o|% o", 8, 8), {7, u"+10| 10"}},
      {Fmt(u"%08.3f", 1.5), {8, u"   1.500"}},  // a precision below the width: blanks
      {Fmt(u"[Thr %02s] %03c", u"7", u'x'), {12, u"[Thr 07] 00x"}},
      {Fmt(u"%p|%p", reinterpret_cast<void*>(0xbeef), static_cast<void*>(nullptr)), {10, u"beef|(nil)"}},
      {Fmt(u"%8s|%.3s", static_cast<const WEQ_UC*>(nullptr), nullptr), {12, u"  (null)|(nu"}},
      {{zeroUnit, std::u16string(buf, 3)}, {3, std::u16string(u"a\0b", 3)}},  // %c of 0 is stored
      {Fmt(u"[%*d]", -6, 42), {4, u"[42]"}},  // a negative '*' width pads nothing
      {Fmt(u"[%*.*s|%0*.*d]", 4, -1, u"abc", 5, -2, 42), {12, u"[ abc|00042]"}},  // negative precision: none
      {Fmt(u"%#.3x|%a|%016a", 0, 1.5, 1.0), {36, u"0x000|0x1.800000p+0|0x0001.000000p+0"}},
      {Fmt(u"%5%|%-+ #d", 5), {8, u"    %|+5"}},  // four flags are accepted
      {Fmt(u"%.2s|%c", +noTerminator, 0x1263A), {4, u"xy|\u263A"}},  // no read past the precision
      {Fmt(u"abc%nde", &seen), {5, u"abcde"}},
      // The value printed is the argument's, whatever the length modifier.
      {Fmt(u"%ld|%u|%x", minus, minus, minusShort), {22, u"-1|4294967295|ffffffff"}},
      {Fmt(u"%d|%lu|%d", int64_t{1} << 40, SIZE_MAX, UINT_MAX),
        {37, u"1099511627776|18446744073709551615|-1"}},
      {Fmt(u"%o", UINT64_MAX), {22, u"1777777777777777777777"}},
      {Fmt(u"%I64d%hd|%lld", 7, 70000, Wide::kBig), {20, u"770000|1099511627776"}},  // h does not narrow
      {Fmt(u"%d%d%.2f%.1Lf", kRed, true, 0.25f, 2.5), {9, u"310.252.5"}},
      {Fmt(u"%.*s|%.*s", size_t{2}, u"abc", SIZE_MAX, u"abc"), {6, u"ab|abc"}},  // clamped to INT_MAX
  });
  EXPECT_EQ(seen, 3);
  // Digits past the stack buffer take the heap and stay C's; a precision
  // past every digit a double has is capped, not allocated.
  char ref[1600];
  WEQ_UC big[1600];
  snprintf(ref, sizeof ref, "%.1100f", 1e-320);
  EXPECT_EQ(snprintfU16(big, 1600, u"%.1100f", 1e-320), static_cast<int>(strlen(ref)));
  EXPECT_EQ(Show(big), ref);
  EXPECT_EQ(snprintfU16(big, 1600, u"%.*f", INT_MAX, 1.0), 2 + kU16FmtMaxFloatPrecision);
  EXPECT_EQ(std::u16string(big).find_first_not_of(u'0', 2), std::u16string::npos);
}

template <class... A>
constexpr U16FmtCheck CheckOf(const WEQ_UC* f) {
  constexpr U16FmtKind kinds[] = {U16FmtKindOf<std::decay_t<A>>()..., U16FmtKind::kMissing};
  return U16FmtCheckKinds(f, kinds, sizeof...(A));
}

// Bad specifications, and arguments that do not fit: checked when a call
// with a literal format compiles, and while a pointer format runs.
TEST(FormatRules, FormatErrors) {
  static_assert(CheckOf<int, int, const WEQ_UC*, double>(u"%-*.*s %f%%") == U16FmtCheck::kOk);
  static_assert(CheckOf<const char*>(u"%s") == U16FmtCheck::kNoFit);
  static_assert(CheckOf<double, int>(u"%*d") == U16FmtCheck::kNoFit);
  static_assert(CheckOf<int>(u"%*d") == U16FmtCheck::kTooFew);
  static_assert(CheckOf<int, int>(u"%d") == U16FmtCheck::kTooMany);
  static_assert(CheckOf<int>(u"%-+ #0d") == U16FmtCheck::kBadSpec);
  static_assert(U16FmtKindOf<char16_t>() == U16FmtKind::kI32 && U16FmtKindOf<size_t>() == U16FmtKind::kU64);
  const int level = U16ReportLevel;
  U16ReportLevel = 0;
  for (const char16_t* f : {u"abc%", u"%S", u"%++d", u"%-+ #0d", u"%---- d", u"% ++d", u"%I32d", u"%lld%",
                            u"%.#", u"%#0#x", u"%00d", u"%99999999999d", u"%.99999999999d", u"%lS"}) {
    WEQ_UC buf[16];
    EXPECT_EQ(snprintfU16(buf, 16, f), -1) << Show(f);
    EXPECT_EQ(buf[0], 0) << Show(f);
    EXPECT_EQ(U16FmtArgsUsed(f), -1) << Show(f);
  }
  EXPECT_EQ(U16FmtArgsUsed(u"%d %*.*s %% %n %c %p"), 7);
  // The text before a bad specification stays with the other entry points.
  WEQ_UC buf[16];
  EXPECT_EQ(snprintfTruncU16(buf, 16, Runtime(u"abc%")), -1);
  EXPECT_EQ(std::u16string(buf), u"abc");
  // Without strict arguments a misfit prints a marker (strict: below).
  const bool strict = U16FmtIStrictArgs();
  U16FmtISetStrictArgs(false);
  const WEQ_UC* f = u"<%d|%s>";
  ExpectRows({{Fmt(f, u"t", u"x"), {18, u"<(bad argument)|x>"}},
              {Fmt(f, 5), {22, u"<5|(missing argument)>"}},
              {Fmt(Runtime(u"<%d>"), 5, 6), {3, u"<5>"}}});  // extra arguments are ignored
  U16FmtISetStrictArgs(strict);
  U16ReportLevel = level;
}

// The report on stderr: its frame, the format narrowed to 7 bits and cut to
// 127 characters with the message.
TEST(FormatRules, ErrorReportOnStandardError) {
  auto child = tovtest::RunInChild([] {
    WEQ_UC buf[512];
    U16FmtISetStrictArgs(true);
    int a = snprintfU16(buf, 512, Runtime(u"rc=%d %S \u00e9"), 5) + fprintfU16(stdout, Runtime(u"%"));
    int b = snprintfU16(buf, 512, (std::u16string(400, u'x') + u"%S").c_str());
    int c = snprintfU16(buf, 512, Runtime(u"<%d|%s>"), 2.5, u"x");
    return a == -2 && b == -1 && c == -1 && buf[0] == 0 ? 0 : 1;
  });
  EXPECT_EQ(child.exit_code, 0);
  EXPECT_EQ(child.out, "");
  const std::string& e = child.err;
  EXPECT_EQ(e.find("--- Unicode interface [u16_OutCon line "), 0u) << e;
  const std::string cut = "'S':\n" + std::string(127 - 39, 'x') + "\n";
  for (const std::string& text : {std::string("'S':\nrc=%d %S #\n--- Unicode interface ------ End"), cut,
                                  std::string("'d':\n<%d|%s>\n")})
    EXPECT_NE(e.find("Error in format string at or near " + text), std::string::npos) << text << "\n" << e;
}

// --- Bounds and truncation ------------------------------------------------------

// Sizes 0..40 for each format and each bounded entry point: nothing is
// written at or past the size, the terminator is always inside, and a cut
// is known.
TEST(Bounds, EverySizeWithCanaries) {
  std::vector<std::pair<const char*, std::function<int(int, WEQ_UC*, size_t)>>> formats;
  auto add = [&](const char* name, const WEQ_UC* f, const auto&... a) {
    formats.emplace_back(name, [=](int entry, WEQ_UC* b, size_t n) {
      if (entry == 0) return snprintfU16(b, n, f, a...);
      if (entry == 1) return snprintfTruncU16(b, n, f, a...);
      return vsnprintfU16(nullptr, b, &n, f, U16FmtMakeArgs(a...).args());
    });
  };
  add("left-justified string", u"%-8s", u"abcdef");
  add("zero padding, sign, precision", u"%+012d:%#08x:%.20d", -77, 255, 5);
  add("float", u"%10.4f %e", 3.14159, -2.5e-10);
  add("literal runs", u"0123456789%%0123456789%c0123456789", u'X');
  add("pairs", u"%s\U0001F600%s", u"\U0001F601", u"x");
  add("empty", u"");
  constexpr WEQ_UC kCanary = 0xCCCC;
  for (const auto& [name, call] : formats) {
    WEQ_UC full[256];
    const int len = call(0, full, 256);
    ASSERT_GE(len, 0) << name;
    for (size_t size = 0; size <= 40; ++size) {
      SCOPED_TRACE(std::string(name) + " size " + std::to_string(size));
      const bool fits = static_cast<size_t>(len) < size;
      const std::u16string cut(full, std::min<size_t>(len, size ? size - 1 : 0));
      const Out want[] = {{fits ? len : -1, fits ? cut : u""},
                          {fits ? len : static_cast<int>(size), cut},
                          {size ? static_cast<int>(cut.size()) : 0, cut}};
      for (int k = 0; k < 3; ++k) {
        std::vector<WEQ_UC> buf(size + 8, kCanary);
        const int r = call(k, buf.data(), size);
        EXPECT_EQ(Out(r, size ? buf.data() : u""), want[k]);
        EXPECT_EQ(std::u16string(buf.data() + size, 8), std::u16string(8, kCanary));
      }
      EXPECT_EQ(call(0, nullptr, size), -1);
      EXPECT_EQ(call(1, nullptr, size), size == 0 ? 0 : -1);
    }
  }
}

// The cut is known from the run, not from what the last unit holds; the
// arguments that are refused.
TEST(Bounds, TruncationAndRefusedArguments) {
  WEQ_UC buf[600] = {};
  EXPECT_EQ(snprintfTruncU16(buf, 3, u"a%c", 0), 2) << "a %c of 0 in the last unit is no cut";
  EXPECT_EQ(sprintfU16(buf, u"%500s|%d", u"*", 12), 503);
  EXPECT_EQ(std::u16string(buf).substr(499), u"*|12");
  size_t four = 4, zero = 0;
  const std::pair<std::function<int()>, int> refused[] = {
      {[&] { return snprintfU16(buf, 5, u"abcdefgh"); }, ERANGE},
      {[&] { return snprintfU16(buf, 4, nullptr); }, EINVAL},
      {[&] { return vsnprintfU16(nullptr, nullptr, &four, u"x", {}); }, EBADF}};
  for (const auto& [call, err] : refused) {
    errno = 0;
    EXPECT_EQ(call(), -1);
    EXPECT_EQ(errno, err);
  }
  EXPECT_EQ(buf[0], 0);
  EXPECT_EQ(vsnprintfU16(nullptr, nullptr, &zero, u"x", {}), 0);
}

// Integer, string and short floating-point conversions take no heap; a
// long floating-point text without its heap block delivers the padding
// only, errno tells, and the run goes on.
TEST(Bounds, OnlyLongFloatTextsTakeTheHeap) {
  WEQ_UC trace[128], lost[64];
  const int level = U16ReportLevel;
  U16ReportLevel = 0;
  errno = 0;
  alloc::failing = true;
  const int n = snprintfU16(trace, 128, u"%s: hdl %d peer %s:%d rc=%lld (%-16s) %#x %c %.3f %.2e", u"NiIRead",
                            7, u"host", 3300, -104LL, u"NIECONN_BROKEN", 255u, u'z', 2.5, 1e300);
  const int r = snprintfU16(lost, 64, u"[%+12.400f]after", 1.0);
  alloc::failing = false;
  U16ReportLevel = level;
  EXPECT_EQ(errno, ENOMEM);
  EXPECT_EQ(Out(n, trace),
            Out(79, u"NiIRead: hdl 7 peer host:3300 rc=-104 (NIECONN_BROKEN  ) 0xff z 2.500 1.00e+300"));
  EXPECT_EQ(Out(r, lost), Out(19, u"[           +]after"));
}

// --- Stream output ----------------------------------------------------------------

TEST(StreamOutput, FileHoldsTheUtf8OfTheBufferText) {
  tovtest::TempDir dir;
  const std::u16string lots(300, u'L');
  const WEQ_UC* fmt = u"%s\U0001F600|%5d|%-4s|\u00e9\u4e2d%s%c%c%.3f\n";
  // Pairs at every offset around the sink's block boundary (256 units).
  for (int lead = 250; lead < 260; ++lead) {
    const std::u16string pre(lead, u'-');
    FILE* f = fopen(dir.File("out").c_str(), "wb");
    const int r = fprintfU16(f, fmt, pre.c_str(), 42, u"\U0001F601", lots.c_str(), 0xD83D, 0xDE00, 2.5);
    fclose(f);
    const Out want = Fmt(fmt, pre.c_str(), 42, u"\U0001F601", lots.c_str(), 0xD83D, 0xDE00, 2.5);
    EXPECT_EQ(Out(r, FromUtf8(tovtest::ReadFile(dir.File("out")))), want) << lead;
  }
  FILE* f = fopen(dir.File("z").c_str(), "wb");
  EXPECT_EQ(fprintfU16(f, u"a%cb", 0), 2) << "a lone 0 unit is not written to a stream";
  fclose(f);
  EXPECT_EQ(tovtest::ReadFile(dir.File("z")), "ab");
  // A short write fails the call, when the buffer fills or unbuffered.
  FILE* full = fopen("/dev/full", "w");
  ASSERT_NE(full, nullptr);
  EXPECT_EQ(fprintfU16(full, u"%s", std::u16string(20000, u'x').c_str()), -1);
  setvbuf(full, nullptr, _IONBF, 0);
  EXPECT_EQ(fprintfU16(full, u"short %d", 1), -1);
  fclose(full);
}

}  // namespace
