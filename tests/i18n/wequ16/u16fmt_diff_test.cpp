// Formatted output against glibc's snprintf: random specifications and
// values of every conversion both share, formatted by both and compared.
//
// The library's rules differ from C's in a few places, each tested by name
// in u16fmt_test.cpp and kept out of this comparison: a sign with %o, zero
// padding of floating point when a precision below the width is given,
// %a without a precision (6 digits, as every floating-point conversion),
// zero padding of %s, %c and %p, %p itself, "(null)", %n, %c of 0,
// negative '*' widths, and '#' with %x of 0 under a precision. Length
// modifiers never choose the width of the value (the argument's own type
// does), so the library's side gets random modifiers while glibc's side
// gets the one that matches the value's type.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <limits>
#include <random>
#include <string>

#include "i18n/wequ16/u16fmt.h"
#include "support/testsupport.h"

namespace {

using tovtest::FromUtf8;
using tovtest::Show;

// One random specification, written twice: for glibc and for the library.
struct Spec {
  std::string flags;
  std::string width;      // "", digits or "*"
  std::string precision;  // "", ".", ".digits" or ".*"
  char conv = 'd';
  std::string glibc_len;  // modifier that fits the value's type
  std::string our_len;    // any modifier the library accepts
  int star_width = 0;
  int star_precision = 0;

  std::string Text(const std::string& len) const {
    return "%" + flags + width + precision + len + conv;
  }
};

class Generator {
 public:
  explicit Generator(uint32_t seed) : rng_(seed) {}

  int Int(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
  bool Chance(int percent) { return Int(0, 99) < percent; }
  template <class T>
  T Pick(std::initializer_list<T> v) {
    return v.begin()[Int(0, static_cast<int>(v.size()) - 1)];
  }

  Spec Make(char conv) {
    Spec s;
    s.conv = conv;
    std::string pool = "-+ #0";
    std::shuffle(pool.begin(), pool.end(), rng_);
    for (int i = 0, n = Int(0, 3); i < n; ++i) s.flags += pool[i];
    if (Chance(10)) s.flags.insert(0, "-");  // '-' may repeat
    if (Chance(15)) {
      s.width = "*";
      s.star_width = Int(0, 30);
    } else if (Chance(60)) {
      s.width = std::to_string(Int(1, 30));
    }
    int p = Int(0, 99);
    if (p < 8) {
      s.precision = ".";
    } else if (p < 20) {
      s.precision = ".*";
      s.star_precision = Int(-3, 25);  // negative counts as none, as in C
    } else if (p < 55) {
      s.precision = "." + std::to_string(Int(0, 25));
    }
    return s;
  }

  std::string Ascii(int max) {
    std::string s;
    for (int i = 0, n = Int(0, max); i < n; ++i) s += static_cast<char>(Int(32, 126));
    return s;
  }

  int64_t Bits64() { return static_cast<int64_t>(std::uniform_int_distribution<uint64_t>()(rng_)); }

  int64_t IntValue() {
    switch (Int(0, 6)) {
      case 0: return Pick<int64_t>({0, 1, -1, 7, -8, 9, 10, 255, 4095});
      case 1: return Pick<int64_t>({INT32_MAX, INT32_MIN, INT64_MAX, INT64_MIN, UINT32_MAX});
      case 2: return Int(-1000, 1000);
      case 3: return Bits64() >> Int(0, 63);
      default: return Bits64();
    }
  }

  double Double() {
    switch (Int(0, 7)) {
      case 0:
        return Pick<double>({0.0, -0.0, 1.0, -1.5, 0.5, 1e-5, 123456.789, 9.9999999, 0.05});
      case 1:
        return Pick<double>({DBL_MAX, -DBL_MAX, DBL_MIN, DBL_TRUE_MIN, 1e300, 1e-300, 1e22, 1e23});
      case 2:
        return Pick<double>({std::numeric_limits<double>::infinity(),
                             -std::numeric_limits<double>::infinity(),
                             std::numeric_limits<double>::quiet_NaN(),
                             -std::numeric_limits<double>::quiet_NaN()});
      case 3: return Int(-100000, 100000) / 64.0;
      default: {
        double m = std::uniform_real_distribution<double>(-1.0, 1.0)(rng_);
        return std::ldexp(m, Int(-1074, 1023));
      }
    }
  }

  std::mt19937& rng() { return rng_; }

 private:
  std::mt19937 rng_;
};

// Formats one specification and value with glibc and with the library and
// compares text and result. Args are the value in its C type.
class Differ {
 public:
  template <class V>
  void Check(const Spec& s, const V& value, const char* what) {
    std::string gf = "<" + s.Text(s.glibc_len) + ">";
    std::u16string of = FromUtf8("<" + s.Text(s.our_len) + ">");
    char ref[2048];
    WEQ_UC out[2048];
    int rr, ro;
    const WEQ_UC* f = of.c_str();
    bool sw = s.width == "*", sp = s.precision == ".*";
    if (sw && sp) {
      rr = snprintf(ref, sizeof ref, gf.c_str(), s.star_width, s.star_precision, value);
      ro = snprintfU16(out, 2048, f, s.star_width, s.star_precision, Ours(value));
    } else if (sw) {
      rr = snprintf(ref, sizeof ref, gf.c_str(), s.star_width, value);
      ro = snprintfU16(out, 2048, f, s.star_width, Ours(value));
    } else if (sp) {
      rr = snprintf(ref, sizeof ref, gf.c_str(), s.star_precision, value);
      ro = snprintfU16(out, 2048, f, s.star_precision, Ours(value));
    } else {
      rr = snprintf(ref, sizeof ref, gf.c_str(), value);
      ro = snprintfU16(out, 2048, f, Ours(value));
    }
    ++checked;
    std::u16string want(ref, ref + (rr > 0 ? rr : 0));
    if (ro != rr || std::u16string(out) != want) {
      if (++failures <= 20) {
        ADD_FAILURE() << what << " format " << gf << " / " << Show(of) << " star " << s.star_width
                      << "," << s.star_precision << "\n  glibc: " << rr << " [" << ref << "]"
                      << "\n  ours:  " << ro << " [" << Show(out) << "]";
      }
    }
  }
  int checked = 0;
  int failures = 0;

 private:
  // The library's side takes 16-bit strings where glibc takes 8-bit ones.
  template <class V>
  static const V& Ours(const V& v) { return v; }
  static const WEQ_UC* Ours(const char* s) {
    static thread_local std::u16string wide;
    wide = FromUtf8(s);
    return wide.c_str();
  }
};

constexpr int kRounds = 6000;  // per conversion group; scaled by TOV_TEST_HEAVY

TEST(FormatAgainstGlibc, SignedIntegers) {
  Generator g(11);
  Differ d;
  for (int i = 0; i < kRounds * tovtest::HeavyFactor(); ++i) {
    Spec s = g.Make(g.Pick({'d', 'i'}));
    s.our_len = g.Pick<const char*>({"", "l", "ll", "I64", "j", "z", "t"});
    int64_t v = g.IntValue();
    switch (g.Int(0, 4)) {
      case 0: d.Check(s, static_cast<int32_t>(v), "int"); break;
      case 1: d.Check(s, static_cast<uint32_t>(v), "unsigned"); break;
      case 2: s.glibc_len = "ll"; d.Check(s, static_cast<long long>(v), "long long"); break;
      case 3: s.glibc_len = "l"; d.Check(s, static_cast<unsigned long>(v), "unsigned long"); break;
      default: d.Check(s, static_cast<short>(v), "short"); break;
    }
  }
  EXPECT_EQ(d.failures, 0) << "of " << d.checked;
}

TEST(FormatAgainstGlibc, UnsignedIntegers) {
  Generator g(12);
  Differ d;
  for (int i = 0; i < kRounds * tovtest::HeavyFactor(); ++i) {
    Spec s = g.Make(g.Pick({'u', 'x', 'X', 'o'}));
    s.our_len = g.Pick<const char*>({"", "l", "ll", "I64", "j", "z", "t"});
    if (s.conv == 'o') {  // a sign with %o is the library's own rule
      std::erase(s.flags, '+');
      std::erase(s.flags, ' ');
    }
    int64_t v = g.IntValue();
    if (s.flags.find('#') != std::string::npos && s.conv != 'o' && !s.precision.empty() &&
        s.precision != "." && s.precision != ".0")
      v |= 1;  // '#' with %x of 0 under a precision is the library's own rule
    switch (g.Int(0, 3)) {
      case 0: d.Check(s, static_cast<int32_t>(v), "int"); break;
      case 1: d.Check(s, static_cast<uint32_t>(v), "unsigned"); break;
      case 2: s.glibc_len = "ll"; d.Check(s, static_cast<long long>(v), "long long"); break;
      default: s.glibc_len = "l"; d.Check(s, static_cast<unsigned long>(v), "unsigned long"); break;
    }
  }
  EXPECT_EQ(d.failures, 0) << "of " << d.checked;
}

// Values that fit the modifier's type read the same under "h" and "hh".
TEST(FormatAgainstGlibc, ShortModifiersWithFittingValues) {
  Generator g(13);
  Differ d;
  for (int i = 0; i < kRounds / 4 * tovtest::HeavyFactor(); ++i) {
    Spec s = g.Make(g.Pick({'d', 'u', 'x', 'X'}));
    s.our_len = s.glibc_len = g.Pick<const char*>({"h", "hh"});
    int v = g.Int(0, 127);
    if (s.flags.find('#') != std::string::npos) v |= 1;
    d.Check(s, v, "int");
  }
  EXPECT_EQ(d.failures, 0) << "of " << d.checked;
}

TEST(FormatAgainstGlibc, CharactersAndStrings) {
  Generator g(14);
  Differ d;
  for (int i = 0; i < kRounds * tovtest::HeavyFactor(); ++i) {
    Spec s = g.Make(g.Pick({'c', 's'}));
    std::erase(s.flags, '0');  // zero padding of %s and %c is the library's own rule
    s.our_len = g.Pick<const char*>({"", "h", "l"});
    if (s.conv == 'c') {
      int c = g.Int(32, 126);
      if (g.Chance(50)) d.Check(s, c, "int");
      else d.Check(s, static_cast<char16_t>(c), "char16_t");
    } else {
      std::string text = g.Ascii(40);
      d.Check(s, text.c_str(), "string");
    }
  }
  EXPECT_EQ(d.failures, 0) << "of " << d.checked;
}

TEST(FormatAgainstGlibc, FloatingPoint) {
  Generator g(15);
  Differ d;
  for (int i = 0; i < kRounds * 2 * tovtest::HeavyFactor(); ++i) {
    Spec s = g.Make(g.Pick({'f', 'F', 'e', 'E', 'g', 'G', 'a', 'A'}));
    s.our_len = g.Pick<const char*>({"", "l", "L"});
    // Without a precision the library asks for 6 digits, also for %a.
    if ((s.conv == 'a' || s.conv == 'A') && (s.precision.empty() || (s.precision == ".*" && s.star_precision < 0)))
      s.precision = "." + std::to_string(g.Int(0, 14));
    // With a precision below the width the library pads with spaces.
    bool zero = s.flags.find('0') != std::string::npos;
    if (zero && !s.width.empty() && !s.precision.empty()) {
      int w = s.width == "*" ? s.star_width : std::stoi(s.width);
      int p = s.precision == ".*" ? s.star_precision
              : s.precision == "."  ? 0
                                    : std::stoi(s.precision.substr(1));
      if (p >= 0 && p < w) std::erase(s.flags, '0');
    }
    double v = g.Double();
    if (g.Chance(20)) d.Check(s, static_cast<float>(v), "float");
    else d.Check(s, v, "double");
  }
  EXPECT_EQ(d.failures, 0) << "of " << d.checked;
}

// Whole formats: literal runs between several conversions, checked against
// glibc's text for the same format.
TEST(FormatAgainstGlibc, MixedFormats) {
  Generator g(16);
  int failures = 0;
  for (int i = 0; i < kRounds / 2 * tovtest::HeavyFactor(); ++i) {
    std::string gf, text1 = g.Ascii(12), text2 = g.Ascii(12);
    int a = static_cast<int>(g.IntValue());
    long long b = g.IntValue();
    double c = g.Double();
    std::string lit[4];
    for (auto& l : lit) {
      l = g.Ascii(6);
      for (size_t k = 0; k < l.size(); ++k)
        if (l[k] == '%') l.insert(k++, "%");
    }
    gf = lit[0] + "%d" + lit[1] + "%-7s|%lld" + lit[2] + "%.3e%s" + lit[3] + "%%";
    std::u16string of = FromUtf8(lit[0] + "%ld" + lit[1] + "%-7s|%d" + lit[2] + "%.3e%s" + lit[3] + "%%");
    char ref[512];
    WEQ_UC out[512];
    int rr = snprintf(ref, sizeof ref, gf.c_str(), a, text1.c_str(), b, c, text2.c_str());
    std::u16string w1 = FromUtf8(text1), w2 = FromUtf8(text2);
    int ro = snprintfU16(out, 512, of.c_str(), a, w1.c_str(), b, c, w2.c_str());
    if ((ro != rr || std::u16string(out) != std::u16string(ref, ref + rr)) && ++failures <= 10)
      ADD_FAILURE() << gf << "\n  glibc: " << ref << "\n  ours:  " << Show(out);
  }
  EXPECT_EQ(failures, 0);
}

}  // namespace
