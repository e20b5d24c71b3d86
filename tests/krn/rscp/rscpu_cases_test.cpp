// Hand-computed cases for the converters and the error hook contract.
#include <gtest/gtest.h>

#include <bit>
#include <map>
#include <set>

#include "rscpu_harness.h"

namespace {

using namespace rscputest;

static_assert(std::endian::native == std::endian::little, "cases are written for little-endian");

struct Case {
  const char* conv;
  Bytes in;          // input bytes (units in the converter's own byte order)
  size_t cap;        // destination capacity in output units
  int subst;         // substitute, or -1 for none
  int rc;            // expected result
  size_t consumed;   // expected input units consumed
  Bytes out;         // expected output bytes
  const char16_t* message;  // expected hook message, nullptr for no call
  uint32_t count = 0;       // expected substitutions
};

// Little-endian bytes of 16- and 32-bit units.
Bytes U16(std::initializer_list<uint32_t> u) { return UnitsToBytes(u, 2, false); }
Bytes U16sw(std::initializer_list<uint32_t> u) { return UnitsToBytes(u, 2, true); }
Bytes U32(std::initializer_list<uint32_t> u) { return UnitsToBytes(u, 4, false); }
Bytes U32sw(std::initializer_list<uint32_t> u) { return UnitsToBytes(u, 4, true); }

const Case kCases[] = {
    // Encoders.
    {"U6_to_U8", U16({0xD83D, 0xDE00}), 4, -1, 0, 2, {0xF0, 0x9F, 0x98, 0x80}, nullptr},
    {"U6_to_U8", U16({0xD83D}), 8, -1, 512, 0, {}, u"Half surrogate at end"},
    {"U6_to_U8", U16({0x41, 0xD83D}), 8, -1, 512, 1, {0x41}, u"Half surrogate at end"},
    {"U6_to_U8", U16({0xD83D, 0x41}), 8, -1, 2048, 0, {}, u"Half surrogate in middle"},
    {"U6_to_U8", U16({0xD83D, 0xD83D}), 8, -1, 2048, 0, {}, u"Half surrogate in middle"},
    {"U6_to_U8", U16({0x41, 0xDE00}), 8, -1, 2048, 1, {0x41}, u"Half low surrogate in middle"},
    {"U6sw_to_U8", U16sw({0xD83D, 0xDE00, 0xE9}), 6, -1, 0, 3, {0xF0, 0x9F, 0x98, 0x80, 0xC3, 0xA9}, nullptr},
    {"U6sw_to_U8", U16sw({0xDBFF}), 6, -1, 512, 0, {}, u"Half surrogate at end"},
    {"U6_to_U8", U16({0x41, 0xE9}), 2, -1, 32, 1, {0x41}, u"dest buffer overflow"},
    {"U6_to_U8", U16({0xD83D, 0xDE00}), 3, -1, 32, 0, {}, u"dest buffer overflow"},
    {"U6_to_U8_noctrl", U16({0x41, 0x09}), 4, -1, 2048, 1, {0x41}, u"control code not allowed"},
    {"U6_to_U8_noctrl", U16({0x85}), 4, -1, 2048, 0, {}, u"control code not allowed"},
    {"U6_to_U8_noctrl", U16({0x7F}), 4, -1, 2048, 0, {}, u"control code not allowed"},
    {"U6_to_U8_noctrl", U16({0x20, 0x7E, 0xA0}), 4, -1, 0, 3, {0x20, 0x7E, 0xC2, 0xA0}, nullptr},
    {"U2_to_U8", U16({0xD800, 0xFFFF}), 6, -1, 0, 2, {0xED, 0xA0, 0x80, 0xEF, 0xBF, 0xBF}, nullptr},
    {"U2sw_to_U8_noctrl", U16sw({0x9F}), 6, -1, 2048, 0, {}, u"control code not allowed"},
    {"U4_to_U8", U32({0x7FFFFFFF}), 6, -1, 0, 1, {0xFD, 0xBF, 0xBF, 0xBF, 0xBF, 0xBF}, nullptr},
    {"U4_to_U8", U32({0x200000}), 5, -1, 0, 1, {0xF8, 0x88, 0x80, 0x80, 0x80}, nullptr},
    {"U4_to_U8", U32({0x4000000}), 5, -1, 32, 0, {}, u"dest buffer overflow"},
    {"U4_to_U8", U32({0xDC00}), 5, -1, 0, 1, {0xED, 0xB0, 0x80}, nullptr},
    {"U4_to_U8", U32({0x41, 0x80000000}), 8, -1, 2048, 1, {0x41}, u"UCS-4 has only 31 bits."},
    {"U4sw_to_U8_noctrl", U32sw({0x80000000}), 8, -1, 2048, 0, {}, u"UCS-4 has only 31 bits."},
    {"U4sw_to_U8", U32sw({0x10FFFF}), 8, -1, 0, 1, {0xF4, 0x8F, 0xBF, 0xBF}, nullptr},
    {"U4_to_U8_noctrl", U32({0x1F}), 8, -1, 2048, 0, {}, u"control code not allowed"},
    // UCS-4 to UTF-16.
    {"U4_to_U6", U32({0x110000, 0xFFFFFFFF}), 2, -1, 0, 2, U16({0xFFFD, 0xFFFD}), nullptr},
    {"U4_to_U6", U32({0x10000}), 1, -1, 32, 0, {}, u"dest buffer overflow"},
    {"U4_to_U6", U32({0x41, 0x42}), 1, -1, 32, 1, U16({0x41}), u"dest buffer overflow"},
    {"U4_to_U6", U32({0xD800, 0x1F600}), 3, -1, 0, 2, U16({0xD800, 0xD83D, 0xDE00}), nullptr},
    // Decoders: errors stop on the lead byte of the offending sequence.
    {"U8_to_U6", {0xC0, 0x80}, 4, -1, 2048, 0, {}, u"overlong UTF-8 sequence"},
    {"U8_to_U6", {0x41, 0xE0, 0x80, 0x80}, 4, -1, 2048, 1, U16({0x41}), u"overlong UTF-8 sequence"},
    {"U8_to_U6", {0xC0, 0x80, 0x41}, 4, 0xFFFD, 0, 3, U16({0xFFFD, 0x41}), nullptr, 1},
    {"U8_to_U6", {0xE2, 0x82}, 4, -1, 512, 0, {}, u"source exhausted within a char"},
    {"U8_to_U6", {0xE2, 0x82}, 4, 0xFFFD, 512, 0, {}, u"source exhausted within a char"},
    {"U8_to_U6", {0x41, 0xF0, 0x9F}, 4, -1, 512, 1, U16({0x41}), u"source exhausted within a char"},
    {"U8_to_U2", {0xF0, 0x9F, 0x98, 0x80}, 4, -1, 2048, 0, {}, u"UTF-8 bejond UCS-2"},
    {"U8_to_U2", {0xF0, 0x9F, 0x98, 0x80, 0x41}, 4, 0x3F, 0, 5, U16({0x3F, 0x41}), nullptr, 1},
    {"U8_to_U6", {0xF4, 0x90, 0x80, 0x80}, 4, -1, 2048, 0, {}, u"UTF-8 bejond UTF-32"},
    {"U8_to_U6", {0xF8, 0x88, 0x80, 0x80, 0x80}, 4, -1, 2048, 0, {}, u"UTF-8 bejond UTF-32"},
    {"U8_to_U6", {0x80}, 4, -1, 2048, 0, {}, u"illegal start byte"},
    {"U8_to_U6", {0x41, 0xFE}, 4, -1, 2048, 1, U16({0x41}), u"illegal start byte"},
    {"U8_to_U6", {0xFF, 0x41}, 4, 0xFFFD, 0, 2, U16({0xFFFD, 0x41}), nullptr, 1},
    {"U8_to_U6", {0xE2, 0x41, 0x42}, 4, -1, 2048, 0, {}, u"illegal follow-up byte"},
    {"U8_to_U6", {0xE2, 0x82, 0xC3, 0xA9}, 4, -1, 2048, 0, {}, u"illegal follow-up byte"},
    // A bad continuation byte may start the next character.
    {"U8_to_U6", {0xE2, 0x82, 0xC3, 0xA9}, 4, 0xFFFD, 0, 4, U16({0xFFFD, 0xFFFD, 0xE9}), nullptr, 2},
    {"U8_to_U6", {0x41, 0x42}, 1, -1, 32, 1, U16({0x41}), u"dest buffer overflow"},
    {"U8_to_U6", {0xF0, 0x9F, 0x98, 0x80}, 1, -1, 32, 0, {}, u"dest buffer overflow"},
    {"U8_to_U6", {0x80}, 0, 0xFFFD, 32, 0, {}, u"dest buffer overflow"},
    // Modified UTF-8: encoded surrogates are single units, C0 80 is overlong.
    {"U8_to_U6", {0xED, 0xA0, 0xBD, 0xED, 0xB8, 0x80}, 2, -1, 0, 6, U16({0xD83D, 0xDE00}), nullptr},
    {"U8_to_U6", {0x61, 0xC0, 0x80, 0x62}, 3, 0xFFFD, 0, 4, U16({0x61, 0xFFFD, 0x62}), nullptr, 1},
    {"U8_to_U4", {0xED, 0xA0, 0xBD}, 1, -1, 0, 3, U32({0xD83D}), nullptr},
    // Control codes.
    {"U8_to_U6_noctrl", {0x0A}, 4, -1, 2048, 0, {}, u"control codes not allowed here"},
    {"U8_to_U6_noctrl", {0x41, 0x7F}, 4, -1, 2048, 1, U16({0x41}), u"control codes not allowed here"},
    {"U8_to_U6_noctrl", {0xC2, 0x80}, 4, -1, 2048, 0, {}, u"control codes not allowed here"},
    {"U8_to_U6_noctrl", {0xC2, 0x9F, 0x41}, 4, 0x23, 0, 3, U16({0x23, 0x41}), nullptr, 1},
    {"U8_to_U6_noctrl", {0xC0, 0x80}, 4, -1, 2048, 0, {}, u"illegal start byte"},
    {"U8_to_U6_noctrl", {0xC2, 0xA0, 0x20, 0x7E}, 4, -1, 0, 4, U16({0xA0, 0x20, 0x7E}), nullptr},
    {"U8_to_U6", {0x0A, 0x7F, 0xC2, 0x80}, 4, -1, 0, 4, U16({0x0A, 0x7F, 0x80}), nullptr},
    // 5- and 6-byte forms and swapped outputs.
    {"U8_to_U4", {0xFD, 0xBF, 0xBF, 0xBF, 0xBF, 0xBF}, 1, -1, 0, 6, U32({0x7FFFFFFF}), nullptr},
    {"U8_to_U4", {0xFC, 0x84, 0x80, 0x80, 0x80, 0x80}, 1, -1, 0, 6, U32({0x4000000}), nullptr},
    {"U8_to_U4", {0xFC, 0x83, 0xBF, 0xBF, 0xBF, 0xBF}, 1, -1, 2048, 0, {}, u"overlong UTF-8 sequence"},
    {"U8_to_U4", {0xF8, 0x87, 0xBF, 0xBF, 0xBF}, 1, -1, 2048, 0, {}, u"overlong UTF-8 sequence"},
    {"U8_to_U4sw", {0xC3, 0xA9, 0xF4, 0x8F, 0xBF, 0xBF}, 2, -1, 0, 6, U32sw({0xE9, 0x10FFFF}), nullptr},
    {"U8_to_U6sw", {0xC3, 0xA9, 0xF0, 0x9F, 0x98, 0x80}, 3, -1, 0, 6, U16sw({0xE9, 0xD83D, 0xDE00}), nullptr},
    {"U8_to_U6sw", {0x80}, 1, 0xFFFD, 0, 1, U16sw({0xFFFD}), nullptr, 1},
    {"U8_to_U2sw", {0xEF, 0xBF, 0xBF}, 1, -1, 0, 3, U16sw({0xFFFF}), nullptr},
    {"U8_to_U2sw_noctrl", {0x09}, 1, 0x1234, 0, 1, U16sw({0x1234}), nullptr, 1},
    {"U8_to_U4sw_noctrl", {0xC2, 0x85}, 1, -1, 2048, 0, {}, u"control codes not allowed here"},
    // Empty source: nothing happens, even without room.
    {"U8_to_U6", {}, 0, -1, 0, 0, {}, nullptr},
    {"U6_to_U8", {}, 0, -1, 0, 0, {}, nullptr},
    {"U4_to_U6", {}, 0, -1, 0, 0, {}, nullptr},
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.conv << " on " << Hex(c.in); }

class RscpuCases : public ::testing::TestWithParam<Case> {};

TEST_P(RscpuCases, ResultPositionOutputAndHook) {
  const Case& c = GetParam();
  const Conv& conv = ByName(c.conv);
  HookScope hook;
  Result r = Convert(conv, c.in, c.cap,
                 c.subst < 0 ? std::nullopt : std::optional<uint32_t>(static_cast<uint32_t>(c.subst)));
  SCOPED_TRACE(std::string(c.conv) + " on " + Hex(c.in));
  EXPECT_EQ(r.rc, c.rc);
  EXPECT_EQ(r.consumed, c.consumed);
  EXPECT_EQ(Hex(r.out), Hex(c.out));
  EXPECT_EQ(r.count, c.count);
  EXPECT_TRUE(r.canaryIntact);
  if (c.message == nullptr) {
    EXPECT_TRUE(r.calls.empty());
    return;
  }
  ASSERT_EQ(r.calls.size(), 1u);
  const HookCall& h = r.calls[0];
  EXPECT_EQ(h.kind, c.rc);
  EXPECT_EQ(h.cls, u'O');
  EXPECT_EQ(h.mask, -1);
  EXPECT_EQ(std::u16string(h.message), std::u16string(c.message));
  EXPECT_TRUE(h.restNull);
  EXPECT_EQ(ModuleName(h.module), conv.module);
}

INSTANTIATE_TEST_SUITE_P(Table, RscpuCases, ::testing::ValuesIn(kCases));

// The hook's result is the converter's result, whatever it is; NULL puts
// the default back, which returns the kind.
TEST(RscpuHook, ResultIsTheHooksAndDefaultReturnsKind) {
  const Bytes bad = {0x41, 0x80};
  for (const Conv& c : Decoders()) {
    {
      HookScope hook(1000);
      EXPECT_EQ(Convert(c, bad, 4).rc, 2048 + 1000) << c.name;
    }
    EXPECT_EQ(Convert(c, bad, 4).rc, 2048) << c.name;
    rscpuSetErrorFunc(nullptr);
    EXPECT_EQ(Convert(c, bad, 2).rc, 2048) << c.name;
    EXPECT_EQ(Convert(c, bad, 0).rc, 32) << c.name;
  }
  EXPECT_EQ(rscpuErrDefault(512, u'O', -1, nullptr, 0, 0, nullptr, nullptr, nullptr, 0, nullptr, 0), 512);
  EXPECT_EQ(rscpuErrDefault(-7, u'C', 0, u"x", 1, 2, u"t", u"F1A", u"p", 1, u"q", 1), -7);
}

// Each module hands the hook one text that its error reporting reads as the
// module's name, the same text at every error.
TEST(RscpuHook, ModuleTextsNameTheirModules) {
  HookScope hook;
  for (const Conv& c : AllConvs()) {
    Bytes bad = c.decoder ? Bytes{0x80} : c.fam == Fam::kU4 ? U32({0x41}) : U16({0x41});
    Result a = Convert(c, bad, 0);
    Result b = Convert(c, bad, 0);
    ASSERT_EQ(a.calls.size(), 1u) << c.name;
    ASSERT_EQ(b.calls.size(), 1u) << c.name;
    std::u16string text(a.calls[0].module);
    EXPECT_EQ(ModuleName(text), c.module) << c.name;
    EXPECT_EQ(a.calls[0].module, b.calls[0].module);  // made once, kept
    // The marker "@(#)" is not part of what the hook sees; the keyword is.
    EXPECT_EQ(text.find(u"@(#)"), std::u16string::npos);
    EXPECT_NE(text.find(u"$Id:"), std::u16string::npos);
    // Traces show the id up to its first '#' or tab: the path must be whole.
    std::u16string upToHash = text.substr(0, text.find_first_of(u"#\t"));
    EXPECT_NE(upToHash.find(std::u16string(c.module, c.module + 8)), std::u16string::npos);
  }
}

// Different checks report different location numbers and lines; one check
// always reports the same pair.
TEST(RscpuHook, LocationsAreDistinctPerCheck) {
  struct Probe { const char* conv; Bytes in; size_t cap; };
  const Probe probes[] = {
      {"U8_to_U6", {0x41}, 0},                 {"U8_to_U6", {0xF0, 0x9F, 0x98, 0x80}, 1},
      {"U8_to_U6", {0xE2}, 4},                 {"U8_to_U6", {0x80}, 4},
      {"U8_to_U6", {0xE2, 0x41, 0x41}, 4},     {"U8_to_U6", {0xC0, 0x80}, 4},
      {"U8_to_U6", {0xF4, 0x90, 0x80, 0x80}, 4}, {"U8_to_U6_noctrl", {0x01}, 4},
      {"U8_to_U6_noctrl", {0xC2, 0x81}, 4},    {"U6_to_U8", U16({0xE9}), 1},
      {"U6_to_U8", U16({0xD800}), 4},          {"U6_to_U8", U16({0xD800, 0x41}), 4},
      {"U6_to_U8", U16({0xDC00}), 4},          {"U6_to_U8_noctrl", U16({0x01}), 4},
  };
  HookScope hook;
  std::map<int, std::set<std::u16string>> byLocation;
  std::set<std::pair<int, int>> pairs;
  for (const Probe& p : probes) {
    Result r = Convert(ByName(p.conv), p.in, p.cap);
    ASSERT_EQ(r.calls.size(), 1u) << p.conv << " " << Hex(p.in);
    pairs.insert({r.calls[0].location, r.calls[0].line});
    byLocation[r.calls[0].location].insert(std::u16string(r.calls[0].message));
    // The same check again reports the same place.
    Result again = Convert(ByName(p.conv), p.in, p.cap);
    EXPECT_EQ(again.calls[0].location, r.calls[0].location);
    EXPECT_EQ(again.calls[0].line, r.calls[0].line);
  }
  EXPECT_EQ(pairs.size(), std::size(probes));
  EXPECT_EQ(byLocation.size(), std::size(probes));
}

}  // namespace
