// Invalid and mixed input: every 1-, 2- and 3-byte input and random longer
// ones through the decoders, edge units through the encoders, each against a
// model of the rules: result, stop position, output, substitutions, canaries
// and the one hook call with its arguments.
#include <gtest/gtest.h>
#include <unicode/utf8.h>

#include <array>
#include <bit>
#include <cstring>
#include <memory>
#include <random>
#include <set>

#include "rscpu_harness.h"
#include "support/testsupport.h"

namespace {

using namespace rscputest;

// What a converter must do with one input.
struct Expect {
  int rc = 0;
  size_t consumed = 0;
  std::array<uint32_t, 64> units{};  // output units (native values)
  size_t n = 0;
  uint32_t count = 0;
  const char16_t* message = nullptr;
  void Push(uint32_t u) { units.at(n++) = u; }
};

uint32_t MaxValue(Fam f) { return f == Fam::kU6 ? 0x10FFFF : f == Fam::kU4 ? 0x7FFFFFFF : 0xFFFF; }
const char16_t* RangeMessage(Fam f) {
  return f == Fam::kU6 ? u"UTF-8 bejond UTF-32" : f == Fam::kU4 ? u"UTF-8 bejond UCS-4" : u"UTF-8 bejond UCS-2";
}

// The decoding rules, per character, read from the lead byte's leading ones.
Expect ModelDecode(const Conv& c, const uint8_t* in, size_t len, size_t cap, std::optional<uint32_t> subst) {
  Expect e;
  size_t i = 0;
  auto stop = [&](int rc, const char16_t* msg) {
    e.rc = rc;
    e.message = msg;
    e.consumed = i;
    return e;
  };
  while (i < len) {
    if (e.n >= cap) return stop(32, u"dest buffer overflow");
    uint8_t b = in[i];
    int ones = std::countl_one(b);
    int seq = ones == 0 ? 1 : ones >= 2 && ones <= 6 ? ones : 0;
    bool illegal = seq == 0 || (c.noctrl && (b == 0xC0 || b == 0xC1));
    const char16_t* why = nullptr;
    size_t resume = i + 1;
    if (illegal) {
      why = u"illegal start byte";
    } else if (seq == 1 && c.noctrl && (b < 0x20 || b == 0x7F)) {
      why = u"control codes not allowed here";
    } else if (i + static_cast<size_t>(seq) > len) {
      return stop(512, u"source exhausted within a char");
    } else {
      uint32_t v = seq == 1 ? b : b & ((1u << (7 - seq)) - 1);
      bool follow = true;
      for (int k = 1; k < seq; ++k) {
        follow = follow && (in[i + static_cast<size_t>(k)] >> 6) == 2;
        v = (v << 6) | (in[i + static_cast<size_t>(k)] & 0x3F);
      }
      uint32_t least = seq == 1 ? 0 : seq == 2 ? 0x80 : 1u << (5 * seq - 4);
      if (!follow) {
        why = u"illegal follow-up byte";
      } else {
        resume = i + static_cast<size_t>(seq);
        if (v < least) {
          why = u"overlong UTF-8 sequence";
        } else if (v > MaxValue(c.fam)) {
          why = RangeMessage(c.fam);
        } else if (c.noctrl && v >= 0x80 && v <= 0x9F) {
          why = u"control codes not allowed here";
        } else if (c.fam == Fam::kU6 && v > 0xFFFF) {
          if (cap - e.n < 2) return stop(32, u"dest buffer overflow");
          e.Push(0xD7C0 + (v >> 10));
          e.Push(0xDC00 | (v & 0x3FF));
          i = resume;
          continue;
        } else {
          e.Push(v);
          i = resume;
          continue;
        }
      }
    }
    if (!subst) return stop(2048, why);
    e.Push(*subst);
    ++e.count;
    i = resume;
  }
  e.consumed = len;
  return e;
}

// The encoding rules over input units (native values).
Expect ModelEncode(const Conv& c, const std::vector<uint32_t>& units, size_t cap) {
  Expect e;
  size_t i = 0, room = cap;
  auto stop = [&](int rc, const char16_t* msg) {
    e.rc = rc;
    e.message = msg;
    e.consumed = i;
    return e;
  };
  while (i < units.size()) {
    uint32_t v = units[i];
    size_t used = 1;
    if (c.fam == Fam::kU6 && v >= 0xDC00 && v <= 0xDFFF) return stop(2048, u"Half low surrogate in middle");
    if (c.fam == Fam::kU6 && v >= 0xD800 && v <= 0xDBFF) {
      if (i + 1 == units.size()) return stop(512, u"Half surrogate at end");
      uint32_t low = units[i + 1];
      if (low < 0xDC00 || low > 0xDFFF) return stop(2048, u"Half surrogate in middle");
      v = (((v & 0x3FF) << 10) | (low & 0x3FF)) + 0x10000;
      used = 2;
    }
    if (c.fam == Fam::kU4 && (v >> 31) != 0) return stop(2048, u"UCS-4 has only 31 bits.");
    if (c.noctrl && (v < 0x20 || (v >= 0x7F && v <= 0x9F))) return stop(2048, u"control code not allowed");
    int bits = 32 - std::countl_zero(v);
    int seq = bits <= 7 ? 1 : bits <= 11 ? 2 : (bits + 3) / 5;
    if (room < static_cast<size_t>(seq)) return stop(32, u"dest buffer overflow");
    room -= static_cast<size_t>(seq);
    // Lead byte: seq leading ones (none for one byte), then the top bits.
    e.Push(seq == 1 ? v : ((0xFF00u >> seq) & 0xFF) | (v >> (6 * (seq - 1))));
    for (int k = seq - 2; k >= 0; --k) e.Push(0x80 | ((v >> (6 * k)) & 0x3F));
    i += used;
  }
  e.consumed = units.size();
  return e;
}

// The output bytes the model asks for, without allocating.
bool SameOutput(const Conv& c, const Result& r, const Expect& e) {
  size_t size = static_cast<size_t>(c.unitOut());
  if (r.out.size() != e.n * size) return false;
  bool swapped = c.decoder && c.swapped;
  uint8_t want[sizeof e.units];
  for (size_t u = 0, k = 0; u < e.n; ++u)
    for (size_t i = 0; i < size; ++i)
      want[k++] = static_cast<uint8_t>(e.units[u] >> (8 * (swapped ? size - 1 - i : i)));
  return r.out.empty() || std::memcmp(r.out.data(), want, r.out.size()) == 0;
}

bool HookMatches(const Conv& c, const Result& r, const Expect& e) {
  if (e.message == nullptr) return r.calls.empty();
  if (r.calls.size() != 1) return false;
  const HookCall& h = r.calls[0];
  // A module keeps one text; its name is checked the first time it is seen.
  static const char16_t* knownText[32] = {};
  size_t slot = static_cast<size_t>(&c - AllConvs().data()) % 32;
  if (knownText[slot] != h.module) {
    if (ModuleName(h.module) != c.module) return false;
    knownText[slot] = h.module;
  }
  return h.kind == e.rc && h.cls == u'O' && h.mask == -1 && h.restNull &&
         std::u16string_view(h.message) == e.message;
}

// Checks one run against the model; returns false after the first
// difference so that sweeps stop early.
bool Matches(const Conv& c, const Result& r, const Expect& e, const uint8_t* in, size_t len,
             size_t cap, bool subst) {
  bool hookOk = HookMatches(c, r, e);
  bool ok = r.rc == e.rc && r.consumed == e.consumed && SameOutput(c, r, e) &&
            r.count == e.count && r.canaryIntact && hookOk;
  if (!ok) {
    Bytes want = UnitsToBytes(std::vector<uint32_t>(e.units.begin(), e.units.begin() + static_cast<long>(e.n)),
                              c.unitOut(), c.decoder && c.swapped);
    ADD_FAILURE() << c.name << " on " << Hex(Bytes(in, in + len)) << " cap " << cap
                  << (subst ? " with" : " without") << " substitute: rc " << r.rc << " (want "
                  << e.rc << "), consumed " << r.consumed << " (want " << e.consumed << "), out "
                  << Hex(r.out) << " (want " << Hex(want) << "), count " << r.count << " (want "
                  << e.count << "), canaries " << r.canaryIntact << ", hook " << hookOk;
  }
  return ok;
}

// A run of decoders over inputs of one length: every input, or every
// `stride`-th with a varying offset.
bool SweepDecoder(const Conv& c, size_t len, size_t cap, uint64_t stride,
                  std::set<const char16_t*>* seen) {
  HookScope hook;
  Runner runner(c, len, cap);
  const uint32_t substValue = c.fam == Fam::kU4 ? 0x2A2A2A : 0xFFFD;
  uint64_t total = uint64_t{1} << (8 * len);
  uint64_t start = stride > 1 ? std::hash<std::string>()(c.name) % stride : 0;
  uint8_t in[8];
  for (uint64_t x = start; x < total; x += stride) {
    for (size_t k = 0; k < len; ++k) in[k] = static_cast<uint8_t>(x >> (8 * (len - 1 - k)));
    for (bool withSubst : {false, true}) {
      std::optional<uint32_t> subst = withSubst ? std::optional<uint32_t>(substValue) : std::nullopt;
      const Result& r = runner.Run(in, subst);
      Expect e = ModelDecode(c, in, len, cap, subst);
      if (!Matches(c, r, e, in, len, cap, withSubst)) return false;
      if (seen && e.message) seen->insert(e.message);
    }
  }
  return true;
}

class DecoderSweep : public ::testing::TestWithParam<Conv> {};

TEST_P(DecoderSweep, EveryOneAndTwoByteInputAtEveryCapacity) {
  const Conv& c = GetParam();
  for (size_t cap = 0; cap <= 3; ++cap)
    for (size_t len = 1; len <= 2; ++len)
      if (!SweepDecoder(c, len, cap, 1, nullptr)) return;
}

// All 16.7 million three-byte inputs for the converter that JNI strings and
// records use; a spread sample for the others, which share its code (all of
// them with TOV_TEST_HEAVY). Sanitizer builds sample more thinly.
TEST_P(DecoderSweep, ThreeByteInputs) {
  const Conv& c = GetParam();
  std::string name = c.name;
  bool full = name == "U8_to_U6";
  uint64_t stride = full ? 1 : 31;
#ifdef TOV_SANITIZED
  stride = stride * 7 + 2;
#endif
  stride = std::max<uint64_t>(1, stride / static_cast<uint64_t>(tovtest::HeavyFactor()));
  std::set<const char16_t*> seen;
  ASSERT_TRUE(SweepDecoder(c, 3, 3, stride, &seen));
  // Every decoder message that three bytes can raise shows up.
  std::set<std::u16string_view> want = {u"source exhausted within a char", u"illegal start byte",
                                   u"illegal follow-up byte", u"overlong UTF-8 sequence"};
  if (c.noctrl) want.insert(u"control codes not allowed here");
  std::set<std::u16string_view> seenText(seen.begin(), seen.end());
  for (std::u16string_view m : want) EXPECT_TRUE(seenText.count(m)) << tovtest::Show(std::u16string(m));
}

// Longer inputs from an alphabet of bytes that matter, at random capacities.
TEST_P(DecoderSweep, RandomLongerInputs) {
  const Conv& c = GetParam();
  static const uint8_t alphabet[] = {0x00, 0x09, 0x1F, 0x20, 0x41, 0x7E, 0x7F, 0x80, 0x85, 0x9F,
                                     0xA0, 0xBF, 0xC0, 0xC1, 0xC2, 0xC3, 0xDF, 0xE0, 0xE2, 0xED,
                                     0xEF, 0xF0, 0xF4, 0xF5, 0xF7, 0xF8, 0xFB, 0xFC, 0xFD, 0xFE,
                                     0xFF, 0x90, 0xA0, 0x88, 0x84, 0x83};
  std::mt19937 rng(std::hash<std::string>()(c.name));
  HookScope hook;
  int rounds = 20000 * tovtest::HeavyFactor();
  for (int round = 0; round < rounds; ++round) {
    Bytes in(4 + rng() % 29);
    for (uint8_t& b : in) {
      uint32_t pick = rng() % 8;
      b = pick < 3 ? alphabet[rng() % sizeof alphabet] : pick < 4 ? static_cast<uint8_t>(rng())
                                                               : static_cast<uint8_t>(0x20 + rng() % 0x5F);
    }
    size_t cap = rng() % 36;
    std::optional<uint32_t> subst;
    if (rng() % 2) subst = c.fam == Fam::kU4 ? rng() & 0x7FFFFFFF : rng() & 0xFFFF;
    Result r = Convert(c, in, cap, subst);
    if (!Matches(c, r, ModelDecode(c, in.data(), in.size(), cap, subst), in.data(), in.size(), cap,
                 subst.has_value()))
      return;
  }
}

INSTANTIATE_TEST_SUITE_P(All, DecoderSweep, ::testing::ValuesIn(Decoders()),
                         [](const auto& info) { return std::string(info.param.name); });

class EncoderSweep : public ::testing::TestWithParam<Conv> {};

// Every 16-bit unit alone (every fifth in sanitizer builds) at capacities
// 0, one short of its bytes, its bytes and 6; every pair of units from the
// edges of the classes (surrogates, controls, lengths) at capacities 0 to 6.
TEST_P(EncoderSweep, UnitsAndPairsOfEdgeUnits) {
  const Conv& c = GetParam();
  int size = c.unitIn();
  std::vector<uint32_t> edges = {0x00, 0x1F, 0x20, 0x41, 0x7E, 0x7F, 0x80, 0x9F, 0xA0, 0x7FF, 0x800,
                                 0xD7FF, 0xD800, 0xDBFF, 0xDC00, 0xDFFF, 0xE000, 0xFFFD, 0xFFFF};
  if (c.fam == Fam::kU4)
    edges.insert(edges.end(), {0x10000, 0x10FFFF, 0x110000, 0x1FFFFF, 0x200000, 0x3FFFFFF, 0x4000000,
                               0x7FFFFFFF, 0x80000000, 0xFFFFFFFF});
  HookScope hook;
  uint32_t step = 1;
#ifdef TOV_SANITIZED
  step = 5;
#endif
  std::vector<std::unique_ptr<Runner>> one;
  for (size_t cap = 0; cap <= 6; ++cap) one.emplace_back(new Runner(c, static_cast<size_t>(size), cap));
  std::vector<uint32_t> singles(edges);
  for (uint32_t u = 0; u < 0x10000; u += step) singles.push_back(u);
  for (uint32_t u : singles) {
    Bytes in = UnitsToBytes({u}, size, c.swapped);
    size_t len = ModelEncode(c, {u}, 6).n;
    for (size_t cap : {size_t{0}, len ? len - 1 : 0, len, size_t{6}}) {
      const Result& r = one[cap]->Run(in.data());
      if (!Matches(c, r, ModelEncode(c, {u}, cap), in.data(), in.size(), cap, false)) return;
    }
  }
  for (size_t cap = 0; cap <= 6; ++cap) {
    Runner two(c, 2 * static_cast<size_t>(size), cap);
    for (uint32_t a : edges) {
      for (uint32_t b : edges) {
        Bytes in = UnitsToBytes({a, b}, size, c.swapped);
        const Result& r = two.Run(in.data());
        if (!Matches(c, r, ModelEncode(c, {a, b}, cap), in.data(), in.size(), cap, false)) return;
      }
    }
  }
}

// Runs of mostly 7-bit units, long enough for the converters' runs of
// ASCII, with edge units mixed in, at random capacities.
TEST_P(EncoderSweep, RandomLongerInputs) {
  const Conv& c = GetParam();
  static const uint32_t odd[] = {0x00, 0x09, 0x1F, 0x7F, 0x80, 0x9F, 0xE9, 0x7FF, 0x800, 0xD83D,
                                 0xDE00, 0xDBFF, 0xDC00, 0xFFFF, 0x10000, 0x10FFFF, 0x7FFFFFFF,
                                 0x80000000};
  std::mt19937 rng(std::hash<std::string>()(c.name));
  HookScope hook;
  uint32_t limit = c.fam == Fam::kU4 ? 0xFFFFFFFF : 0xFFFF;
  int rounds = 20000 * tovtest::HeavyFactor();
  for (int round = 0; round < rounds; ++round) {
    std::vector<uint32_t> units(1 + rng() % 24);
    for (uint32_t& u : units) {
      u = rng() % 8 ? 0x20 + rng() % 0x5F : odd[rng() % std::size(odd)];
      if (u > limit) u = 0x41;
    }
    if (rng() % 4 == 0) units[rng() % units.size()] = rng() % 0x20;
    size_t cap = rng() % 48;
    Bytes in = UnitsToBytes(units, c.unitIn(), c.swapped);
    Result r = Convert(c, in, cap);
    if (!Matches(c, r, ModelEncode(c, units, cap), in.data(), in.size(), cap, false)) return;
  }
}

INSTANTIATE_TEST_SUITE_P(All, EncoderSweep, ::testing::ValuesIn(Encoders()),
                         [](const auto& info) { return std::string(info.param.name); });

// The decoding model agrees with ICU wherever ICU accepts one character of
// one to four bytes (ICU refuses surrogates, which the model accepts).
TEST(SweepModel, AgreesWithIcuOnWellFormedCharacters) {
  const Conv& c = ByName("U8_to_U4");
  int checked = 0;
  for (uint32_t x = 0; x < (1u << 24); x += 3) {
    for (int len = 1; len <= 4; ++len) {
      uint8_t in[4] = {static_cast<uint8_t>(x >> 16), static_cast<uint8_t>(x >> 8), static_cast<uint8_t>(x),
                       static_cast<uint8_t>(0x80 | (x % 64))};
      int32_t i = 0;
      UChar32 cp;
      U8_NEXT(in, i, len, cp);
      if (cp < 0 || i != len) continue;
      Expect e = ModelDecode(c, in, static_cast<size_t>(len), 1, std::nullopt);
      ASSERT_EQ(e.rc, 0) << Hex(Bytes(in, in + len));
      ASSERT_EQ(e.n, 1u);
      ASSERT_EQ(e.units[0], static_cast<uint32_t>(cp));
      ++checked;
    }
  }
  EXPECT_GT(checked, 100000);
}

}  // namespace
