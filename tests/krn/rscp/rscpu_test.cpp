// The UTF transforms: every converter against a model of the rules on every
// short input and random longer ones, against glibc iconv on valid text, the
// error hook's contract and the string adapters.
#include <gtest/gtest.h>
#include <iconv.h>

#include <algorithm>
#include <bit>
#include <map>
#include <numeric>
#include <random>

#include "rscpu_harness.h"
#include "support/testsupport.h"

namespace {

using namespace rscputest;

#ifdef TOV_SANITIZED
constexpr uint64_t kThin = 7;  // the sweeps take every kThin-th input or so
#else
constexpr uint64_t kThin = 1;
#endif

const char16_t* const kFull = u"dest buffer overflow";
const char16_t* const kCtrl = u"control codes not allowed here";

// What a converter must do: result, input units read, output bytes,
// substitutions, and the hook's message with the check that reports it (a
// number of this model's own; each check has a location number of its own).
struct Want {
  int rc = 0, check = 0;
  size_t used = 0, n = 0;
  uint8_t out[256];  // n bytes (no allocation: sweeps make millions)
  uint32_t count = 0;
  const char16_t* msg = nullptr;
  Want& Stop(int r, int k, const char16_t* m, size_t u) { return rc = r, check = k, msg = m, used = u, *this; }
};

// The decoding rules, each sequence read from its lead byte's leading ones.
Want Decode(const Conv& c, const Bytes& in, size_t cap, const uint32_t* subst) {
  const uint32_t max = c.fam == kU6 ? 0x10FFFF : c.fam == kU4 ? 0x7FFFFFFF : 0xFFFF;
  Want w;
  auto put = [&](uint32_t v) {
    for (size_t k = 0, n = c.out(); k < n; ++k) w.out[w.n++] = static_cast<uint8_t>(v >> 8 * (c.sw ? n - 1 - k : k));
  };
  for (size_t i = 0, next; i < in.size(); i = next) {
    if (w.n >= cap * c.out()) return w.Stop(32, 1, kFull, i);
    const uint8_t b = in[i];
    const int ones = std::countl_one(b), seq = ones == 0 ? 1 : ones >= 2 && ones <= 6 ? ones : 0;
    const char16_t* why = nullptr;
    int check = 0;
    next = i + 1;
    if (seq == 0 || (c.noctrl && (b == 0xC0 || b == 0xC1))) why = u"illegal start byte", check = 3;
    else if (seq == 1 && c.noctrl && (b < 0x20 || b == 0x7F)) why = kCtrl, check = 4;
    else if (i + static_cast<size_t>(seq) > in.size()) return w.Stop(512, 5, u"source exhausted within a char", i);
    uint32_t v = seq == 1 ? b : b & (0x7F >> seq);
    for (size_t k = i + 1; !why && k < i + static_cast<size_t>(seq); ++k) {
      if (in[k] >> 6 != 2) why = u"illegal follow-up byte", check = 6;
      v = v << 6 | (in[k] & 0x3F);
    }
    if (!why) {
      next = i + static_cast<size_t>(seq);
      if (v < (seq == 1 ? 0 : seq == 2 ? 0x80 : 1u << (5 * seq - 4))) why = u"overlong UTF-8 sequence", check = 7;
      else if (v > max) why = c.fam == kU6 ? u"UTF-8 bejond UTF-32" : u"UTF-8 bejond UCS-2", check = 8;
      else if (c.noctrl && v >= 0x80 && v <= 0x9F) why = kCtrl, check = 9;
      else if (c.fam == kU6 && v > 0xFFFF && w.n + 4 > cap * 2) return w.Stop(32, 2, kFull, i);
      else if (c.fam == kU6 && v > 0xFFFF) put(0xD7C0 + (v >> 10)), put(0xDC00 | (v & 0x3FF));
      else put(v);
    }
    if (why && !subst) return w.Stop(2048, check, why, i);
    if (why) put(*subst), ++w.count;
  }
  return w.Stop(0, 0, nullptr, in.size());
}

// The encoding rules over input units (native values); UCS-4 to UTF-16 too.
Want Encode(const Conv& c, const std::vector<uint32_t>& u, size_t cap) {
  Want w;
  for (size_t i = 0, used = 1; i < u.size(); i += used, used = 1) {
    uint32_t v = u[i];
    if (c.u46) {
      v = v > 0x10FFFF ? 0xFFFD : v;
      if (w.n + (v > 0xFFFF ? 4 : 2) > cap * 2) return w.Stop(32, w.n < cap * 2 ? 17 : 16, kFull, i);
      for (uint32_t unit : Pack(v > 0xFFFF ? std::vector<uint32_t>{0xD7C0 + (v >> 10), 0xDC00 | (v & 0x3FF)}
                                           : std::vector<uint32_t>{v}, 2, false))
        w.out[w.n++] = static_cast<uint8_t>(unit);
      continue;
    }
    if (c.fam == kU6 && v >= 0xDC00 && v <= 0xDFFF) return w.Stop(2048, 10, u"Half low surrogate in middle", i);
    if (c.fam == kU6 && v >= 0xD800 && v <= 0xDBFF) {
      if (i + 1 == u.size()) return w.Stop(512, 11, u"Half surrogate at end", i);
      if (u[i + 1] < 0xDC00 || u[i + 1] > 0xDFFF) return w.Stop(2048, 12, u"Half surrogate in middle", i);
      v = (((v & 0x3FF) << 10) | (u[i + 1] & 0x3FF)) + 0x10000, used = 2;
    }
    if (c.fam == kU4 && v >> 31) return w.Stop(2048, 13, u"UCS-4 has only 31 bits.", i);
    if (c.noctrl && (v < 0x20 || (v >= 0x7F && v <= 0x9F))) return w.Stop(2048, 14, u"control code not allowed", i);
    const int bits = 32 - std::countl_zero(v), seq = bits <= 7 ? 1 : bits <= 11 ? 2 : (bits + 3) / 5;
    if (w.n + static_cast<size_t>(seq) > cap) return w.Stop(32, 15, kFull, i);
    // The lead byte: seq leading ones (none for one byte), then the top bits.
    w.out[w.n++] = static_cast<uint8_t>(seq == 1 ? v : ((0xFF00u >> seq) & 0xFF) | v >> 6 * (seq - 1));
    for (int k = seq - 2; k >= 0; --k) w.out[w.n++] = static_cast<uint8_t>(0x80 | ((v >> 6 * k) & 0x3F));
  }
  return w.Stop(0, 0, nullptr, u.size());
}

// A run against the model, with or without a substitute; the first
// difference is reported and ends the sweep. Across all runs each check
// reports one location of its own.
bool Matches(const Conv& c, const std::vector<uint32_t>& u, const Bytes& in, size_t cap, const uint32_t* s) {
  static std::map<int, int> locOfCheck, checkOfLoc;
  const Want w = c.dec ? Decode(c, in, cap, s) : Encode(c, u, cap);
  const Res& r = Convert(c, in, cap, s);
  const bool hook = w.msg ? r.calls == 1 && r.cls == u'O' && r.mask == -1 && r.rest && r.msg == std::u16string_view(w.msg) &&
                                locOfCheck.emplace(w.check, r.loc).first->second == r.loc &&
                                checkOfLoc.emplace(r.loc, w.check).first->second == w.check
                          : r.calls == 0;
  const bool out = r.out.size() == w.n && std::equal(r.out.begin(), r.out.end(), w.out);
  if (r.rc == w.rc && r.used == w.used && out && r.count == w.count && r.canary && hook) return true;
  ADD_FAILURE() << c.name << " on " << testing::PrintToString(in) << " cap " << cap << (s ? " substituting" : "")
                << ": rc, used, out, count " << r.rc << " " << r.used << " " << testing::PrintToString(r.out) << " "
                << r.count << ", want " << w.rc << " " << w.used << " " << testing::PrintToString(Bytes(w.out, w.out + w.n)) << " "
                << w.count << "; canaries " << r.canary << ", hook " << hook;
  return false;
}

class AllConverters : public testing::TestWithParam<size_t> {};

// Every input of one unit (byte, 16-bit unit, UCS-4 edge) and the empty one
// at capacities 0 to 6; of two units (every byte, or edge units) and of
// three bytes (all 16.7 million for the converter that JNI strings use, a
// spread sample for the other decoders, which share its code); every two
// first bytes before continuation bytes; random runs of mostly 7-bit units,
// long enough for the runs of ASCII, at random capacities. Decoders with and
// without a substitute.
TEST_P(AllConverters, FollowTheRulesOnEveryShortInputAndRandomRuns) {
  const Conv& c = kConvs[GetParam()];
  HookScope hook;
  const uint32_t sub = c.fam == kU4 ? 0x2A2A2A : 0xFFFD;
  auto check = [&](const std::vector<uint32_t>& u, const Bytes& in, size_t cap) {
    return Matches(c, u, in, cap, nullptr) && (!c.dec || Matches(c, u, in, cap, &sub));
  };
  auto checkUnits = [&](const std::vector<uint32_t>& u, size_t cap) { return check(u, Pack(u, c.in(), c.sw), cap); };
  // Every byte for a decoder; for an encoder the edges of controls, sequence
  // lengths, surrogates and the 31 bits of UCS-4.
  std::vector<uint32_t> units = {0x00,   0x1F,   0x20,   0x41,   0x7E,   0x7F,   0x80,   0x9F,   0xA0,  0x7FF,
                                 0x800,  0xD7FF, 0xD800, 0xDBFF, 0xDC00, 0xDFFF, 0xE000, 0xFFFD, 0xFFFF};
  if (c.fam == kU4)
    units.insert(units.end(), {0x10000, 0x10FFFF, 0x110000, 0x1FFFFF, 0x200000, 0x3FFFFFF, 0x4000000, 0x7FFFFFFF,
                               0x80000000, 0xFFFFFFFF});
  if (c.dec) units.resize(0x100), std::iota(units.begin(), units.end(), 0u);
  for (size_t cap = 0; cap <= 6; ++cap) {
    for (uint32_t a : units)
      if (!checkUnits({a}, cap) || !checkUnits({}, cap)) return;
    for (uint32_t a = 0; !c.dec && a < 0x10000; a += kThin)
      if (!checkUnits({a}, cap)) return;
  }
  for (size_t cap = 0; cap <= (c.dec ? 3 : 6); ++cap)
    for (uint32_t a : units)
      for (uint32_t b : units)
        if (!checkUnits({a, b}, cap)) return;
  const uint64_t stride = std::max<uint64_t>(1, (c.name == "U8_to_U6" ? kThin : 31 * kThin) / tovtest::HeavyFactor());
  Bytes in(3);
  for (uint64_t x = stride / 2; c.dec && x < 1 << 24; x += stride) {
    in = {uint8_t(x >> 16), uint8_t(x >> 8), uint8_t(x)};
    if (!check({}, in, 3)) return;
  }
  for (uint32_t x = 0; c.dec && x < 0x20000; x += kThin) {
    const uint8_t t = x & 1 ? 0xBF : 0x80;
    if (!check({}, {uint8_t(x >> 9), uint8_t(x >> 1), t, t, 0xBF, 0xBF}, 2)) return;
  }
  static const uint32_t kOdd[2][31] = {
      {0x00, 0x09, 0x1F, 0x7F, 0x80, 0x9F, 0xE9, 0x7FF, 0x800, 0xD83D, 0xDE00, 0xDBFF, 0xDC00, 0xFFFF, 0x10000,
       0x10FFFF, 0x7FFFFFFF, 0x80000000},
      {0x00, 0x09, 0x1F, 0x7F, 0x80, 0x83, 0x84, 0x85, 0x88, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC1,
       0xC2, 0xDF, 0xE0, 0xED, 0xEF, 0xF0, 0xF4, 0xF5, 0xF7, 0xF8, 0xFB, 0xFC, 0xFD, 0xFE, 0xFF}};
  std::mt19937 rng(static_cast<uint32_t>(GetParam()));
  for (int round = 0; round < 20000 * tovtest::HeavyFactor(); ++round) {
    std::vector<uint32_t> u(1 + rng() % 32);
    for (uint32_t& x : u) {
      const uint32_t pick = rng() % 8, odd = kOdd[c.dec][rng() % (c.dec ? 31 : 18)];
      x = pick < 2 ? odd : pick == 2 && c.dec ? rng() & 0xFF : 0x20 + rng() % 0x5F;
      x = c.fam != kU4 && x > 0xFFFF ? 0x41 : x;
    }
    if (!checkUnits(u, rng() % 48)) return;
  }
}

// glibc iconv from UCS-4BE.
Bytes Iconv(const char* to, const Bytes& ucs4) {
  iconv_t cd = iconv_open(to, "UCS-4BE");
  Bytes out(ucs4.size() * 2);
  char *ip = const_cast<char*>(reinterpret_cast<const char*>(ucs4.data())), *op = reinterpret_cast<char*>(out.data());
  size_t il = ucs4.size(), ol = out.size();
  EXPECT_NE(iconv(cd, &ip, &il, &op, &ol), static_cast<size_t>(-1)) << to;
  iconv_close(cd);
  return out.resize(out.size() - ol), out;
}

// Random text of every sequence length the form allows, the edges of each
// length among them, against glibc iconv (which writes the 5- and 6-byte
// forms of UCS-4): both byte orders, UCS-2 on the BMP.
TEST_P(AllConverters, ValidTextMatchesIconv) {
  const Conv& c = kConvs[GetParam()];
  const Fam fam = c.u46 ? kU6 : c.fam;
  const char* const form[3][2] = {{"UTF-16LE", "UTF-16BE"}, {"UCS-4LE", "UCS-4BE"}, {"UCS-2LE", "UCS-2BE"}};
  const uint32_t lo[] = {0, 0x80, 0x800, 0x10000, 0x200000, 0x4000000};
  const uint32_t hi[] = {0x7F, 0x7FF, 0xFFFF, fam == kU6 ? 0x10FFFFu : 0x1FFFFFu, 0x3FFFFFF, 0x7FFFFFFF};
  const uint32_t sub = 0xFFFD;
  std::mt19937 rng(7);
  for (int round = 0; round < 40 * tovtest::HeavyFactor() && !HasFailure(); ++round) {
    std::vector<uint32_t> cps;
    while (cps.size() <= static_cast<size_t>(round) % 64) {
      const size_t len = rng() % (fam == kU4 ? 6 : fam == kU6 ? 4 : 3);
      uint32_t v = lo[len] + static_cast<uint32_t>(rng() % (uint64_t{hi[len]} - lo[len] + 1));
      v = rng() % 4 ? v : rng() % 2 ? lo[len] : hi[len];
      if ((v < 0xD800 || v > 0xDFFF) && !(c.noctrl && (v < 0x20 || (v >= 0x7F && v <= 0x9F)))) cps.push_back(v);
    }
    const Bytes ucs4 = Pack(cps, 4, true), utf8 = Iconv("UTF-8", ucs4), units = Iconv(form[fam][c.sw], ucs4);
    const Bytes in = c.dec ? utf8 : c.u46 ? Iconv("UCS-4LE", ucs4) : units, want = c.dec || c.u46 ? units : utf8;
    const Res& r = Convert(c, in, want.size() / c.out(), &sub);
    EXPECT_TRUE(r.rc == 0 && r.used * c.in() == in.size() && r.out == want && r.count == 0 && r.canary)
        << testing::PrintToString(in) << " gave " << r.rc << " " << testing::PrintToString(r.out);
  }
}

INSTANTIATE_TEST_SUITE_P(All, AllConverters, testing::Range<size_t>(0, kConvs.size()),
                         [](const testing::TestParamInfo<size_t>& i) { return kConvs[i.param].name; });

// The hook's result is the converter's, whatever it is; NULL puts back the
// default, which returns the kind. Each module hands the hook a text that
// names it, without the "@(#)" marker, the same text every time.
TEST(Hook, ResultIsTheHooksAndModuleTextsNameTheirModules) {
  for (const Conv& c : kConvs) {
    const Bytes a = Pack({0x41}, c.in(), c.sw);
    {
      HookScope hook(1000);
      const std::u16string text = Convert(c, a, 0).module;
      EXPECT_EQ(Convert(c, a, 0).rc, 32 + 1000) << c.name;
      EXPECT_EQ(ModuleName(text.c_str()), c.module);
      EXPECT_TRUE(text.find(u"@(#)") == text.npos && text.find(u"$Id:") != text.npos) << c.name;
    }
    EXPECT_EQ(Convert(c, a, 0).rc, 32) << c.name;
  }
  EXPECT_EQ(rscpuErrDefault(-7, u'C', 0, u"x", 1, 2, u"t", u"F1A", u"p", 1, u"q", 1), -7);
}

// Each adapter, under both names, over "aé€😀" at every size up to beyond
// the fit: the longest prefix of whole characters that fits (one unit less
// for the terminator of the 0-terminated forms), nothing behind it, 32 until
// all fits; a size below 1 leaves a 0-terminated form's buffer untouched.
template <class Out, class Fn>
void EverySize(Fn fn, const std::basic_string<Out>& full, const std::vector<int>& bounds, bool terminated) {
  for (int size = 0; size <= static_cast<int>(full.size()) + 2; ++size) {
    std::vector<Out> buf(static_cast<size_t>(size) + 4, Out{0x5A});
    int out = -1, room = terminated ? size - 1 : size, fit = 0;
    for (int b : bounds) fit = b <= room ? b : fit;
    EXPECT_EQ(fn(buf.data(), size, &out), room >= static_cast<int>(full.size()) ? 0 : 32) << size;
    EXPECT_EQ(out, fit) << size;
    std::vector<Out> want(full.begin(), full.begin() + fit);
    if (terminated && size > 0) want.push_back(0);
    want.resize(buf.size(), Out{0x5A});
    EXPECT_EQ(buf, want) << size;
  }
}

TEST(Adapters, EverySizeUpToBeyondTheFit) {
  const std::u16string u = u"a\u00e9\u20ac\U0001F600";
  const std::string b = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
  const std::vector<int> ub = {0, 1, 2, 3, 5}, bb = {0, 1, 3, 6, 10};
  for (auto f : {U16sToUtf8s, UcsToUtf8s})
    EverySize<char>([&](char* d, int s, int* o) { return f(d, s, o, u.c_str()); }, b, bb, true);
  for (auto f : {U16nToUtf8n, UcsnToUtf8n})
    EverySize<char>([&](char* d, int s, int* o) { return f(d, s, o, u.data(), 5); }, b, bb, false);
  for (auto f : {Utf8sToU16s, Utf8sToUcs})
    EverySize<char16_t>([&](char16_t* d, int s, int* o) { return f(d, s, o, b.c_str()); }, u, ub, true);
  for (auto f : {Utf8nToU16n, Utf8nToUcsn})
    EverySize<char16_t>([&](char16_t* d, int s, int* o) { return f(d, s, o, b.data(), 10); }, u, ub, false);
  // The stream forms advance both pointers in place, the source to where the output stopped.
  auto stream = [](auto f, const auto& src, const std::vector<int>& from, const std::vector<int>& to) {
    return [=](auto* d, int size, int* out) {
      auto* at = d;
      auto* p = src.data();
      const int rc = f(nullptr, &at, d + size, &p, src.data() + src.size());
      *out = static_cast<int>(at - d);
      EXPECT_EQ(p - src.data(), from[static_cast<size_t>(std::find(to.begin(), to.end(), *out) - to.begin())]);
      return rc;
    };
  };
  for (auto f : {U16ToUtf8Range, UcsToUtf8Range}) EverySize<char>(stream(f, u, ub, bb), b, bb, false);
  for (auto f : {Utf8ToU16Range, Utf8ToUcsRange}) EverySize<char16_t>(stream(f, b, bb, ub), u, ub, false);
}

// Errors end the output where they occur (terminated behind it); NULL
// sources are empty, NULL destinations and negative sizes have no room; the
// UTF-8 side substitutes U+FFFD, modified UTF-8's forms included (encoded
// surrogates are single units, C0 80 is overlong), but a character cut
// short by the end is 512; a size of 0 is reported to the hook.
TEST(Adapters, ErrorsSubstitutesAndNulls) {
  char b[16];
  WEQ_UC w[16];
  int out = -1;
  const char16_t lone[] = {u'a', 0xD800, u'b', 0}, atEnd[] = {u'a', 0xDBFF, 0}, nul[] = {u'a', 0, u'b'};
  EXPECT_EQ(UcsToUtf8s(b, 16, &out, lone), 2048);
  EXPECT_EQ(std::string(b, static_cast<size_t>(out) + 1), std::string("a", 2));
  EXPECT_EQ(U16sToUtf8s(b, 16, &out, atEnd), 512);
  EXPECT_EQ(std::string(b, static_cast<size_t>(out) + 1), std::string("a", 2));
  EXPECT_EQ(U16nToUtf8n(b, 8, &out, nul, 3), 0);  // a 0 inside the count is text
  EXPECT_EQ(std::string(b, static_cast<size_t>(out)), std::string("a\0b", 3));
  EXPECT_EQ(U16sToUtf8s(b, 16, &out, nullptr), 0);
  EXPECT_EQ(std::string(b, static_cast<size_t>(out) + 1), std::string("", 1));
  EXPECT_EQ(Utf8nToU16n(w, 16, &out, nullptr, 5), 0);
  EXPECT_EQ(out, 0);
  EXPECT_EQ(U16sToUtf8s(nullptr, 16, &out, u"x"), 32);
  EXPECT_EQ(Utf8sToU16s(w, -5, &out, "x"), 32);
  const std::pair<const char*, std::u16string> rows[] = {
      {"a\xFF" "b", u"a\uFFFDb"}, {"\xC0\x80", u"\uFFFD"}, {"\xED\xA0\xBD\xED\xB8\x80", u"\U0001F600"},
      {"\xE2\x82" "c", u"\uFFFD\uFFFDc"}, {"\xF4\x90\x80\x80!", u"\uFFFD!"}};
  for (const auto& [in, want] : rows) {
    EXPECT_EQ(Utf8sToUcs(w, 16, &out, in), 0);
    EXPECT_EQ(std::u16string(w), want);
    EXPECT_EQ(Utf8nToU16n(w, 16, &out, in, static_cast<int>(strlen(in))), 0);
    EXPECT_EQ(std::u16string(w, static_cast<size_t>(out)), want);
  }
  EXPECT_EQ(Utf8sToU16s(w, 16, &out, "x\xE2\x82"), 512);
  EXPECT_EQ(std::u16string(w), u"x");
  EXPECT_EQ(Utf8nToUcsn(w, 16, &out, "ab\xF0\x9F\x98", 5), 512);
  EXPECT_EQ(out, 2);
  HookScope hook(1);
  EXPECT_EQ(U16sToUtf8s(b, 0, &out, u"x"), 33);
}

const Conv& ByName(const std::string& name) {
  return *std::find_if(kConvs.begin(), kConvs.end(), [&](const Conv& c) { return c.name == name; });
}

// The 0-terminated forms work through long texts in blocks: wherever a
// character, a pair or a broken sequence falls around a block's end, they
// give what the model gives for it (the 'a's before it are whole characters).
TEST(Adapters, TerminatedFormsAcrossBlocks) {
  const uint32_t fffd = 0xFFFD;
  for (size_t len : {4090u, 4095u, 4096u, 8192u})
    for (size_t at = len - 7; at <= len + 1; ++at) {
      const size_t tail = len > at ? len - at : 3;
      for (const char* p : {"\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "\xE2\x82", "\x80\x80",
                                   "\xF8\x88\x80\x80\x80", "\xF0\x9F\x98"}) {
        const std::string text = std::string(at, 'a') + p + std::string(tail, 'b');
        const Want w = Decode(ByName("U8_to_U6"), Bytes(text.begin() + static_cast<long>(at), text.end()), 64, &fffd);
        std::u16string got(text.size() + 1, u'\0');
        int out = -1;
        ASSERT_EQ(Utf8sToUcs(got.data(), static_cast<int>(got.size()), &out, text.c_str()), w.rc) << len << " " << at;
        Bytes have(2 * static_cast<size_t>(out)), want = Pack(std::vector<uint32_t>(at, 'a'), 2, false);
        std::memcpy(have.data(), got.data(), have.size());
        want.insert(want.end(), w.out, w.out + w.n);
        ASSERT_EQ(have, want) << len << " " << at;
      }
      for (const char16_t* p : {u"\u00e9", u"\U0001F600", u"\xD83D", u"\xDE00"}) {
        const std::u16string text = std::u16string(at, u'a') + p + std::u16string(tail, u'b');
        const Want w = Encode(ByName("U6_to_U8"), std::vector<uint32_t>(text.begin() + static_cast<long>(at), text.end()), 64);
        std::string got(text.size() * 3 + 1, '\0');
        int out = -1;
        ASSERT_EQ(UcsToUtf8s(got.data(), static_cast<int>(got.size()), &out, text.c_str()), w.rc) << len << " " << at;
        ASSERT_EQ(got.substr(0, static_cast<size_t>(out)), std::string(at, 'a') + std::string(w.out, w.out + w.n));
      }
    }
}

}  // namespace
