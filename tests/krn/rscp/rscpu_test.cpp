// The UTF transforms: every converter against a model of the rules on every
// short input and random longer ones, against glibc iconv on valid text, the
// error hook's contract, and the string adapters against the same model.
#include <gtest/gtest.h>
#include <iconv.h>

#include <algorithm>
#include <bit>
#include <map>
#include <numeric>
#include <random>
#include <tuple>

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
bool IsCtrl(uint32_t v) { return v < 0x20 || (v >= 0x7F && v <= 0x9F); }

// The model's answer is a Res: result, input units read, output bytes,
// substitutions, and the hook's message with, as loc, the check that reports
// it (a number of this model's own; each check has a location of its own).
const Res& Stop(Res& w, int rc, int check, const char16_t* msg, size_t used) {
  std::tie(w.rc, w.loc, w.msg, w.used) = std::make_tuple(rc, check, msg, used);
  return w;
}
void Put(Res& w, uint32_t v, size_t n, bool sw) {
  for (size_t k = 0; k < n; ++k) w.out.push_back(static_cast<uint8_t>(v >> 8 * (sw ? n - 1 - k : k)));
}
void PutPair(Res& w, uint32_t v, bool sw) {
  Put(w, 0xD7C0 + (v >> 10), 2, sw);
  Put(w, 0xDC00 | (v & 0x3FF), 2, sw);
}

// The decoding rules, each sequence read from its lead byte's leading ones.
const Res& Decode(const Conv& c, const Bytes& in, size_t cap, const uint32_t* subst) {
  thread_local Res w;
  w.out.clear();
  w.count = 0;
  const uint32_t max = c.fam == kU6 ? 0x10FFFF : c.fam == kU4 ? 0x7FFFFFFF : 0xFFFF;
  for (size_t i = 0, next; i < in.size(); i = next) {
    if (w.out.size() >= cap * c.out()) return Stop(w, 32, 1, kFull, i);
    const uint8_t b = in[i];
    const int ones = std::countl_one(b), seq = ones == 0 ? 1 : ones >= 2 && ones <= 6 ? ones : 0;
    const char16_t* why = nullptr;
    int check = 0;
    next = i + 1;
    if (seq == 0 || (c.noctrl && (b == 0xC0 || b == 0xC1))) why = u"illegal start byte", check = 3;
    else if (seq == 1 && c.noctrl && (b < 0x20 || b == 0x7F)) why = kCtrl, check = 4;
    else if (i + seq > in.size()) return Stop(w, 512, 5, u"source exhausted within a char", i);
    uint32_t v = seq == 1 ? b : b & (0x7F >> seq);
    for (size_t k = i + 1; !why && k < i + seq; ++k) {
      if (in[k] >> 6 != 2) why = u"illegal follow-up byte", check = 6;
      v = v << 6 | (in[k] & 0x3F);
    }
    if (!why) {
      const uint32_t least = seq == 1 ? 0 : seq == 2 ? 0x80 : 1u << (5 * seq - 4);
      next = i + seq;
      if (v < least) why = u"overlong UTF-8 sequence", check = 7;
      else if (v > max) why = c.fam == kU6 ? u"UTF-8 bejond UTF-32" : u"UTF-8 bejond UCS-2", check = 8;
      else if (c.noctrl && v >= 0x80 && v <= 0x9F) why = kCtrl, check = 9;
      else if (c.fam == kU6 && v > 0xFFFF && w.out.size() + 4 > cap * 2) return Stop(w, 32, 2, kFull, i);
      else if (c.fam == kU6 && v > 0xFFFF) PutPair(w, v, c.sw);
      else Put(w, v, c.out(), c.sw);
    }
    if (why && !subst) return Stop(w, 2048, check, why, i);
    if (why) Put(w, *subst, c.out(), c.sw), ++w.count;
  }
  return Stop(w, 0, 0, nullptr, in.size());
}

// The encoding rules over input units (native values); UCS-4 to UTF-16 too.
const Res& Encode(const Conv& c, const std::vector<uint32_t>& u, size_t cap) {
  thread_local Res w;
  w.out.clear();
  w.count = 0;
  for (size_t i = 0, used = 1; i < u.size(); i += used, used = 1) {
    uint32_t v = u[i];
    const size_t n = w.out.size();
    if (c.u46) {
      v = v > 0x10FFFF ? 0xFFFD : v;
      if (n + (v > 0xFFFF ? 4 : 2) > cap * 2) return Stop(w, 32, n < cap * 2 ? 17 : 16, kFull, i);
      v > 0xFFFF ? PutPair(w, v, false) : Put(w, v, 2, false);
      continue;
    }
    const char16_t* const lowMsg = u"Half low surrogate in middle";
    if (c.fam == kU6 && v >= 0xDC00 && v <= 0xDFFF) return Stop(w, 2048, 10, lowMsg, i);
    if (c.fam == kU6 && v >= 0xD800 && v <= 0xDBFF) {
      if (i + 1 == u.size()) return Stop(w, 512, 11, u"Half surrogate at end", i);
      if (u[i + 1] < 0xDC00 || u[i + 1] > 0xDFFF) return Stop(w, 2048, 12, u"Half surrogate in middle", i);
      v = (((v & 0x3FF) << 10) | (u[i + 1] & 0x3FF)) + 0x10000;
      used = 2;
    }
    if (c.fam == kU4 && v >> 31) return Stop(w, 2048, 13, u"UCS-4 has only 31 bits.", i);
    if (c.noctrl && IsCtrl(v)) return Stop(w, 2048, 14, u"control code not allowed", i);
    const int bits = 32 - std::countl_zero(v), seq = bits <= 7 ? 1 : bits <= 11 ? 2 : (bits + 3) / 5;
    if (n + static_cast<size_t>(seq) > cap) return Stop(w, 32, 15, kFull, i);
    // The lead byte: seq leading ones (none for one byte), then the top bits.
    Put(w, seq == 1 ? v : ((0xFF00u >> seq) & 0xFF) | v >> 6 * (seq - 1), 1, false);
    for (int k = seq - 2; k >= 0; --k) Put(w, 0x80 | ((v >> 6 * k) & 0x3F), 1, false);
  }
  return Stop(w, 0, 0, nullptr, u.size());
}

// A run against the model, with or without a substitute, under a hook that
// adds kOffset to its result; the first difference is reported and ends the
// sweep. Each check reports one location of its own, each converter the
// module text that it gave first.
constexpr int kOffset = 1000;

bool Matches(const Conv& c, const std::vector<uint32_t>& u, const Bytes& in, size_t cap, const uint32_t* s) {
  static std::map<int, int> locOfCheck, checkOfLoc;
  static std::map<const Conv*, const char16_t*> textOf;
  const Res& w = c.dec ? Decode(c, in, cap, s) : Encode(c, u, cap);
  const Res& r = Convert(c, in, cap, s);
  bool hook = r.calls == 0 && r.rc == 0;
  if (w.msg)
    hook = r.calls == 1 && r.fixed && r.rc == w.rc + kOffset && r.msg == std::u16string_view(w.msg) &&
           locOfCheck.try_emplace(w.loc, r.loc).first->second == r.loc &&
           checkOfLoc.try_emplace(r.loc, w.loc).first->second == w.loc &&
           textOf.try_emplace(&c, r.module).first->second == r.module;
  if (r.used == w.used && r.out == w.out && r.count == w.count && r.canary && hook) return true;
  const auto show = testing::PrintToString<Bytes>;
  ADD_FAILURE() << c.name << " on " << show(in) << " cap " << cap << (s ? " substituting" : "")
                << ": rc, used, out, count " << r.rc << " " << r.used << " " << show(r.out) << " " << r.count
                << ", want " << w.rc << " " << w.used << " " << show(w.out) << " " << w.count << "; canaries "
                << r.canary << ", hook " << hook;
  return false;
}

class AllConverters : public testing::TestWithParam<size_t> {};

// The text that names the converter's module to the hook: after the last
// '/', up to the first '.', blank, '#' or tab, without the "@(#)" marker.
// Then every input of one unit (every byte, every BMP unit, the UCS-4 edges)
// and the empty one at capacities 0 to 6; every two edge units; every three
// bytes (all 16.7 million for the converter that JNI strings use, a spread
// sample for the other decoders, which share its code); every two first bytes
// before continuation bytes; random runs of mostly 7-bit units among edge
// units, long enough for the runs of ASCII, at random capacities. Decoders
// with and without a substitute.
TEST_P(AllConverters, FollowTheRulesOnEveryShortInputAndRandomRuns) {
  const Conv& c = kConvs[GetParam()];
  HookScope hook(kOffset);
  const std::u16string_view text = Convert(c, Pack({0x41}, c.in(), c.sw), 0).module;
  const std::u16string_view name = text.substr(text.rfind(u'/') + 1);
  EXPECT_EQ(name.substr(0, name.find_first_of(u". #\t")), tovtest::FromUtf8(c.module));
  EXPECT_TRUE(text.find(u"@(#)") == text.npos && text.find(u"$Id:") != text.npos) << c.name;
  const uint32_t sub = c.fam == kU4 ? 0x2A2A2A : 0xFFFD;
  auto check = [&](const std::vector<uint32_t>& u, const Bytes& in, size_t cap) {
    return Matches(c, u, in, cap, nullptr) && (!c.dec || Matches(c, u, in, cap, &sub));
  };
  auto units = [&](const std::vector<uint32_t>& u, size_t cap) {
    return check(u, Pack(u, c.in(), c.sw), cap);
  };
  std::vector<uint32_t> edges = {0x00,   0x1F,   0x20,   0x41,   0x7E,   0x7F,   0x80,   0x9F,   0xA0,  0x7FF,
                                 0x800,  0xD7FF, 0xD800, 0xDBFF, 0xDC00, 0xDFFF, 0xE000, 0xFFFD, 0xFFFF};
  if (c.fam == kU4)
    edges.insert(edges.end(), {0x10000, 0x10FFFF, 0x110000, 0x1FFFFF, 0x200000, 0x3FFFFFF, 0x4000000,
                               0x7FFFFFFF, 0x80000000, 0xFFFFFFFF});
  if (c.dec) edges.resize(0x100), std::iota(edges.begin(), edges.end(), 0u);
  for (size_t cap = 0; cap <= 6; ++cap) {
    if (!units({}, cap)) return;
    for (uint32_t a : edges) {
      if (!units({a}, cap)) return;
      for (uint32_t b : edges)
        if (cap <= (c.dec ? 3 : 6) && !units({a, b}, cap)) return;
    }
    for (uint32_t a = 0; !c.dec && a < 0x10000; a += kThin)
      if (!units({a}, cap)) return;
  }
  const uint64_t share = (&c == &kConvs[2] ? 1 : 31) * kThin;  // all for U8_to_U6
  const uint64_t stride = std::max<uint64_t>(1, share / tovtest::HeavyFactor());
  for (uint64_t x = stride / 2; c.dec && x < 1 << 24; x += stride)
    if (!check({}, {uint8_t(x >> 16), uint8_t(x >> 8), uint8_t(x)}, 3)) return;
  for (uint32_t x = 0; c.dec && x < 0x20000; x += kThin) {
    const uint8_t t = x & 1 ? 0xBF : 0x80;
    if (!check({}, {uint8_t(x >> 9), uint8_t(x >> 1), t, t, 0xBF, 0xBF}, 2)) return;
  }
  std::mt19937 rng(static_cast<uint32_t>(GetParam()));
  for (int round = 0; round < 20000 * tovtest::HeavyFactor(); ++round) {
    std::vector<uint32_t> u(1 + rng() % 32);
    for (uint32_t& x : u) x = rng() % 8 < 3 ? edges[rng() % edges.size()] : 0x20 + rng() % 0x5F;
    if (!units(u, rng() % 48)) return;
  }
}

// glibc iconv from UCS-4BE.
Bytes Iconv(const char* to, const Bytes& ucs4) {
  iconv_t cd = iconv_open(to, "UCS-4BE");
  Bytes out(ucs4.size() * 2);
  char* ip = const_cast<char*>(reinterpret_cast<const char*>(ucs4.data()));
  char* op = reinterpret_cast<char*>(out.data());
  size_t il = ucs4.size(), ol = out.size();
  EXPECT_NE(iconv(cd, &ip, &il, &op, &ol), static_cast<size_t>(-1)) << to;
  iconv_close(cd);
  out.resize(out.size() - ol);
  return out;
}

// Random text of every sequence length the form allows against glibc iconv
// (which writes the 5- and 6-byte forms of UCS-4): both byte orders, UCS-2 on
// the BMP.
TEST_P(AllConverters, ValidTextMatchesIconv) {
  const Conv& c = kConvs[GetParam()];
  const Fam fam = c.u46 ? kU6 : c.fam;
  const char* const form[3][2] = {{"UTF-16LE", "UTF-16BE"}, {"UCS-4LE", "UCS-4BE"}, {"UCS-2LE", "UCS-2BE"}};
  const uint32_t max = fam == kU4 ? 0x7FFFFFFF : fam == kU6 ? 0x10FFFF : 0xFFFF;
  const uint32_t sub = 0xFFFD;
  std::mt19937 rng(7);
  for (int round = 0; round < 40 * tovtest::HeavyFactor() && !HasFailure(); ++round) {
    std::vector<uint32_t> cps;
    while (cps.size() <= static_cast<size_t>(round) % 64) {
      const uint32_t v = static_cast<uint32_t>(rng()) >> (1 + rng() % 31);  // every length as often
      if (v <= max && (v < 0xD800 || v > 0xDFFF) && !(c.noctrl && IsCtrl(v))) cps.push_back(v);
    }
    const Bytes ucs4 = Pack(cps, 4, true), utf8 = Iconv("UTF-8", ucs4), units = Iconv(form[fam][c.sw], ucs4);
    const Bytes in = c.dec ? utf8 : c.u46 ? Iconv("UCS-4LE", ucs4) : units;
    const Bytes& want = c.dec || c.u46 ? units : utf8;
    const Res& r = Convert(c, in, want.size() / c.out(), &sub);
    EXPECT_TRUE(r.rc == 0 && r.used * c.in() == in.size() && r.out == want && r.count == 0 && r.canary)
        << testing::PrintToString(in) << " gave " << r.rc << " " << testing::PrintToString(r.out);
  }
}

INSTANTIATE_TEST_SUITE_P(All, AllConverters, testing::Range<size_t>(0, kConvs.size()),
                         [](const testing::TestParamInfo<size_t>& i) { return kConvs[i.param].name; });

const Conv &kU6ToU8 = kConvs[0], &kU8ToU6 = kConvs[2];

// The adapters of one direction, each form under its two names.
template <class In, class Out>
struct Adapters {
  int (*terminated[2])(Out*, int, int*, const In*);
  int (*counted[2])(Out*, int, int*, const In*, int);
  int (*stream[2])(void*, Out**, Out*, const In**, const In*);
};
const Adapters<WEQ_UC, char> kToUtf8 = {
    {U16sToUtf8s, UcsToUtf8s}, {U16nToUtf8n, UcsnToUtf8n}, {U16ToUtf8Range, UcsToUtf8Range}};
const Adapters<char, WEQ_UC> kFromUtf8 = {
    {Utf8sToU16s, Utf8sToUcs}, {Utf8nToU16n, Utf8nToUcsn}, {Utf8ToU16Range, Utf8ToUcsRange}};

// Every adapter of a direction against the model of its converter (the UTF-8
// side substituting U+FFFD) with size units of room, under a hook that adds
// kOffset: the output up to the stop, the stream forms' source there, the
// 0-terminated forms' terminator behind it and their source taken up to its
// first 0, nothing else written; below a size of 1 a 0-terminated form
// writes nothing.
template <class In, class Out>
void CheckAdapters(const Adapters<In, Out>& a, const std::basic_string<In>& text, int size) {
  const uint32_t fffd = 0xFFFD;
  for (int form = 0; form < 6; ++form) {
    const bool terminated = form < 2;
    const auto src = terminated ? text.substr(0, text.find(In{0})) : text;
    const size_t room = static_cast<size_t>(std::max(size - terminated, 0));
    const Res& w = sizeof(In) == 1 ? Decode(kU8ToU6, Bytes(src.begin(), src.end()), room, &fffd)
                                    : Encode(kU6ToU8, {src.begin(), src.end()}, room);
    std::vector<Out> buf(static_cast<size_t>(size) + 4, Out{0x5A}), want = buf;
    int out = -1, rc;
    Out* at = buf.data();
    const In* from = text.data();
    if (terminated) rc = a.terminated[form % 2](buf.data(), size, &out, text.c_str());
    else if (form < 4) rc = a.counted[form % 2](buf.data(), size, &out, text.data(), int(text.size()));
    else rc = a.stream[form % 2](nullptr, &at, buf.data() + size, &from, text.data() + text.size());
    if (form >= 4) out = static_cast<int>(at - buf.data());
    const size_t used = form >= 4 ? static_cast<size_t>(from - text.data()) : w.used;
    std::copy(w.out.begin(), w.out.end(), reinterpret_cast<uint8_t*>(want.data()));
    if (terminated && size > 0) want[w.out.size() / sizeof(Out)] = 0;
    const bool none = terminated && size < 1;
    EXPECT_TRUE(none ? rc == 32 + kOffset && out == 0 && buf == std::vector<Out>(buf.size(), Out{0x5A})
                     : rc == (w.rc ? w.rc + kOffset : 0) && out * sizeof(Out) == w.out.size() &&
                           used == w.used && buf == want)
        << "form " << form << " on " << testing::PrintToString(src) << " at size " << size << " gave " << rc;
  }
}

// Short texts at every size up to beyond the fit, then long ones whose
// characters, pairs and broken sequences fall around the ends of the blocks
// that the 0-terminated forms work in, at the size that fits them.
TEST(Adapters, FollowTheModelAtEverySize) {
  HookScope hook(kOffset);
  using U16 = std::u16string;
  std::vector<U16> u16 = {u"a\u00e9\u20ac\U0001F600", U16{u'a', 0xD800, u'b'}, U16{u'a', 0xDBFF},
                          U16(u"a\0b", 3)};
  std::vector<std::string> u8 = {"a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", "a\xFF" "b", "\xE2\x82" "c",
                                 "x\xE2\x82", "\xF4\x90\x80\x80!\xC0\x80", std::string("a\0b", 3)};
  const size_t shortOnes[2] = {u16.size(), u8.size()};
  for (size_t len : {4090u, 4095u, 4096u, 8192u})
    for (size_t at = len - 7; at <= len + 1; ++at) {
      const size_t tail = len > at ? len - at : 3;
      for (const char* p : {"\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "\xE2\x82", "\x80\x80",
                            "\xF8\x88\x80\x80\x80", "\xF0\x9F\x98"})
        u8.push_back(std::string(at, 'a') + p + std::string(tail, 'b'));
      for (const char16_t* p : {u"\u00e9", u"\U0001F600", u"\xD83D", u"\xDE00"})
        u16.push_back(U16(at, u'a') + p + U16(tail, u'b'));
    }
  for (size_t i = 0; i < u16.size(); ++i) {
    const int full = static_cast<int>(3 * u16[i].size() + 1);
    for (int size = i < shortOnes[0] ? 0 : full; size <= full; ++size) CheckAdapters(kToUtf8, u16[i], size);
  }
  for (size_t i = 0; i < u8.size(); ++i) {
    const int full = static_cast<int>(u8[i].size() + 1);
    for (int size = i < shortOnes[1] ? 0 : full; size <= full; ++size) CheckAdapters(kFromUtf8, u8[i], size);
  }
}

// Modified UTF-8: encoded surrogates are single units, C0 80 is overlong.
// NULL sources are empty texts, NULL destinations have no room.
TEST(Adapters, ModifiedUtf8AndNulls) {
  WEQ_UC w[8];
  int out = -1;
  EXPECT_EQ(Utf8sToUcs(w, 8, &out, "\xED\xA0\xBD\xED\xB8\x80\xC0\x80"), 0);
  EXPECT_EQ(std::u16string(w), u"\U0001F600\uFFFD");
  EXPECT_TRUE(Utf8sToU16s(w, 8, &out, nullptr) == 0 && out == 0 && w[0] == 0);
  EXPECT_TRUE(Utf8nToU16n(w, 8, &out, nullptr, 5) == 0 && out == 0);
  EXPECT_EQ(U16sToUtf8s(nullptr, 8, &out, u"x"), 32);
  EXPECT_EQ(U16nToUtf8n(nullptr, 8, &out, u"x", 1), 32);
}

}  // namespace
