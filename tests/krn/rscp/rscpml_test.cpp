// Multi-level tables: what entering codes and rules leaves in the words, as
// a conversion reads them; copy on write; rule compaction; overflows and the
// rollback; the ISO-2022 group table.
#include <signal.h>

#include "rscpcc_fixture.h"
#include "support/testsupport.h"

namespace {

using namespace rscptest;
using Bytes = std::vector<uint8_t>;

class Tables : public CacheTest {
 protected:
  // A built cache with a rollback point and one empty input root and T2.
  void SetUp() override {
    CacheTest::SetUp();
    Build();
    rscpsv__save_marks();
    root_ = rscpnt1__new_t1();
    t2_ = rscpnt2__new_t2();
    ASSERT_NE(root_, 0);
    ASSERT_NE(t2_, 0u);
  }
  rscpRc_t In(const Bytes& code, uint32_t value, int overwrite = 0, int group = -1, int mode = 0,
              uint16_t root = 0) {
    return rscpeic__enter_in_code(root != 0 ? root : root_, u"T", value, mode, static_cast<int>(code.size()),
                                  code.data(), overwrite, group);
  }
  InHit Get(const Bytes& seq, uint32_t start = 0) const {
    return WalkIn(base(), start != 0 ? start : root_, seq);
  }
  uint16_t root_ = 0;
  uint32_t t2_ = 0;
};

InHit Char(uint32_t v, int len) { return {InHit::kChar, v, 0, len}; }
InHit Rule(uint32_t r, int attr, int len) { return {InHit::kRule, r, attr, len}; }

TEST_F(Tables, OneByteCodeIsACharacterWord) {
  ASSERT_EQ(In({0x41}, 0x41), 0);
  EXPECT_EQ(T1(root_)[0x41], 0x20000041u) << "type bits 0x20000000, value 0x41, length bits 0";
  EXPECT_EQ(Get({0x41}), Char(0x41, 1));
  EXPECT_EQ(Get({0x42}), InHit{});
}

// A code that is a prefix of longer codes: its character goes into every
// empty word of the block below, word 256 (end of input) included, and into
// the current block's word 257, with its length. Entered in either order.
TEST_F(Tables, PrefixCodeFillsTheBlockBelow) {
  for (bool prefixFirst : {false, true}) {
    SCOPED_TRACE(prefixFirst);
    SetUp();
    const Bytes first = prefixFirst ? Bytes{0x81} : Bytes{0x81, 0x40};
    const Bytes second = prefixFirst ? Bytes{0x81, 0x40} : Bytes{0x81};
    ASSERT_EQ(In(first, first.size() == 1 ? 0x3000 : 0x4E00), 0);
    ASSERT_EQ(In(second, second.size() == 1 ? 0x3000 : 0x4E00), 0);
    const uint32_t w = T1(root_)[0x81];
    ASSERT_EQ(w >> 29, 2u) << "word 0x81 leads to the block below";
    const uint32_t* below = T1(w & 0xFFFFFF);
    const uint32_t fill = 0x21003000;  // character, length 1
    for (int i = 0; i <= 256; ++i) {
      if (i != 0x40) {
        EXPECT_EQ(below[i], fill) << i;
      }
    }
    EXPECT_EQ(below[0x40], 0x20004E00u) << "the longer code's own word stays direct";
    EXPECT_EQ(below[257], 0u);
    EXPECT_EQ(T1(root_)[257], prefixFirst ? 0u : fill) << "the fallback word as the builder writes it";
    EXPECT_EQ(Get({0x81}), Char(0x3000, 1)) << "end of input after the prefix reads word 256";
    EXPECT_EQ(Get({0x81, 0x40}), Char(0x4E00, 2));
    EXPECT_EQ(Get({0x81, 0x41}), Char(0x3000, 1)) << "the prefix, then the next byte starts anew";
  }
}

TEST_F(Tables, OverwriteRulesForCharactersAndRules) {
  ASSERT_EQ(In({0x50}, 1), 0);
  ASSERT_EQ(In({0x50}, 2), 0);
  EXPECT_EQ(Get({0x50}), Char(1, 1)) << "kept without overwrite";
  ASSERT_EQ(In({0x50}, 3, 1), 0);
  EXPECT_EQ(Get({0x50}), Char(3, 1));

  const uint8_t two[2] = {0x60, 0x61};
  ASSERT_EQ(rscpeir__enter_in_rule(root_, u"T", 0, 10, 0, 2, two, 0, 1, -1), 0);
  ASSERT_EQ(In({0x60}, 4), 0);
  EXPECT_EQ(Get({0x60}), Rule(10, 0, 2)) << "a rule stays without overwrite";
  ASSERT_EQ(In({0x60}, 4, 1), 0);
  EXPECT_EQ(Get({0x60}), Rule(10, 0, 2)) << "a longer rule stays even with overwrite";
  ASSERT_EQ(In({0x60, 0x61}, 5, 1), 0);
  EXPECT_EQ(Get({0x60, 0x61}), Char(5, 2)) << "the rule pushed into a filled block";
  EXPECT_EQ(Get({0x60, 0x62}), Rule(10, 0, 2));
}

// Rules: the word's fields, where the walk sets it, and what it refuses.
TEST_F(Tables, InputRuleCases) {
  const uint8_t utf8[3] = {0xE3, 0x81, 0x82};
  ASSERT_EQ(rscpeir__enter_in_rule(root_, u"T", 0, 51, 0, 3, utf8, 0, 1, -1), 0);
  EXPECT_EQ(T1(root_)[0xE3], 0x63000000u | 51) << "whole: set at the first empty word";
  const uint8_t sur[4] = {0xD8, 0x00, 0xDC, 0x00};
  ASSERT_EQ(rscpeir__enter_in_rule(root_, u"T", 0, 13, 5, 4, sur, 0, 0, -1), 0);
  EXPECT_EQ(Get({0xD8}), InHit{}) << "not whole: levels made down to the last but one byte";
  EXPECT_EQ(Get({0xD8, 0x00, 0xDC}), InHit{});
  EXPECT_EQ(Get({0xD8, 0x00, 0xDC, 0x00}), Rule(13, 5, 4)) << "set at the last byte";
  EXPECT_EQ(Get({0xD8, 0x00, 0xDC, 0x01}), InHit{});

  ASSERT_EQ(rscpeir__enter_in_rule(root_, u"T", 0, 52, 0, 3, utf8, 0, 1, -1), 0);
  EXPECT_EQ(Get({0xE3}), Rule(51, 0, 3)) << "another rule stays without overwrite";
  ASSERT_EQ(rscpeir__enter_in_rule(root_, u"T", 0, 52, 7, 3, utf8, 1, 1, -1), 0);
  EXPECT_EQ(Get({0xE3, 0x81}), Rule(52, 7, 3)) << "overwrite + depth reaches the length at depth 2";
  EXPECT_EQ(Get({0xE3, 0x80}), Rule(51, 0, 3)) << "the old rule pushed down stays for the other bytes";

  ASSERT_EQ(In({0x30}, 0x30), 0);
  const uint8_t c30[2] = {0x30, 0x31};
  ASSERT_EQ(rscpeir__enter_in_rule(root_, u"T", 0, 10, 0, 2, c30, 1, 1, -1), 0);
  EXPECT_EQ(Get({0x30}), Char(0x30, 1)) << "a character ends the walk unchanged";

  struct Bad {
    int rule, attr, len, group;
    rscpRc_t rc;
    const char16_t* code;
    const char16_t* param;
  } bad[] = {
      {10, 0, 0, -1, RSCPEINVAL, u"F1A", u"0&"},
      {10, 0, 32, -1, RSCPEINVAL, u"F1A", u"32&"},  // rule words keep 5 bits of length
      {10, 64, 2, -1, RSCPEINTERN, u"CQ4", u"64&&&&&"},
      {10, 0, 2, 12, RSCPEINTERN, u"CQ4", u"T&ISO-2022&group&12&&"},
  };
  uint8_t code[40] = {0x70};
  for (const Bad& b : bad) {
    rscpeClearThrErrors();
    tovtest::CaptureFd err;
    EXPECT_EQ(rscpeir__enter_in_rule(root_, u"T", 0, b.rule, b.attr, b.len, code, 1, 1, b.group), b.rc);
    EXPECT_EQ(Last().code, b.code);
    EXPECT_EQ(Last().param1, b.param);
    EXPECT_EQ(T1(root_)[0x70], 0u);
  }
}

TEST_F(Tables, InputCodeRefusals) {
  struct Bad {
    Bytes code;
    int group;
    const char16_t* msg;
    const char16_t* param;
  } bad[] = {
      {Bytes{}, -1, u"F22", u"T&0&CPCODELEN&"},
      {Bytes(127, 0x41), -1, u"F22", u"T&127&CPCODELEN&"},
      {Bytes{0x41}, 12, u"CQ4", u"T&ISO-2022&group&12&&"},
      {Bytes{0x41}, -2, u"CQ4", u"T&ISO-2022&group&-2&&"},
  };
  for (const Bad& b : bad) {
    rscpeClearThrErrors();
    EXPECT_EQ(In(b.code, 1, 0, b.group), RSCPEINTERN);
    EXPECT_EQ(Last().code, b.msg);
    EXPECT_EQ(Last().param1, b.param);
  }
  // Fallbacks keep the length in 5 bits: a code longer than 31 bytes cannot
  // become a prefix, nor have a prefix entered.
  ASSERT_EQ(In(Bytes(32, 0x42), 7), 0);
  rscpeClearThrErrors();
  EXPECT_EQ(In(Bytes(33, 0x42), 8), RSCPEINTERN);
  EXPECT_EQ(Last().param1, u"T&32&CPCODELEN&");
  ASSERT_EQ(In(Bytes(40, 0x43), 9), 0);
  EXPECT_EQ(In(Bytes(35, 0x43), 10), RSCPEINTERN);
  EXPECT_EQ(Get(Bytes(32, 0x42)), Char(7, 32));
  EXPECT_EQ(Get(Bytes(40, 0x43)), Char(9, 40));
  EXPECT_EQ(Get(Bytes(35, 0x43)), InHit{});
}

// --- Output -------------------------------------------------------------------------

TEST_F(Tables, OutputWordsOfEachLength) {
  ASSERT_EQ(rscpeo1__enter_out_1code(t2_, u"T", 0x41, 0xC1, 0, 0), 0);
  ASSERT_EQ(rscpeo4__enter_out_4code(t2_, u"T", 0x4E00, 3, 0xA1, 0xB2, 0xC3, 0, 0, 0), 0);
  ASSERT_EQ(rscpeo4__enter_out_4code(t2_, u"T", 0x4E01, 2, 0x88, 0x9F, 0, 0, 0, 0), 0);
  ASSERT_EQ(rscpeo4__enter_out_4code(t2_, u"T", 0x20000, 4, 0x95, 0x32, 0x82, 0x36, 0, 0), 0);
  const Bytes five = {1, 2, 3, 4, 5};
  ASSERT_EQ(rscpeo126__enter_out_126code(t2_, u"T", 0x110000, 5, five.data(), 0, 0), 0);

  const uint16_t e = T2(t2_)[0x4E00 >> 7];
  ASSERT_TRUE(e & 0x8000);
  EXPECT_EQ(T3(e & 0x7FFF)[0], 0x03A1B2C3u) << "bytes from the high end: 03 A1 B2 C3";
  EXPECT_EQ(T3(e & 0x7FFF)[1], 0x02889F00u);
  const uint16_t e5 = T2(t2_)[0x110000 >> 7];
  const uint32_t w5 = T3(e5 & 0x7FFF)[0];
  EXPECT_EQ(w5 >> 24, 5u);
  EXPECT_GE(w5 & 0xFFFFFF, cache()->end_t2)
      << "the offset counts from the cache start, into the cache07 area";
  EXPECT_EQ(WalkOut(base(), t2_, 0x41).code, Bytes{0xC1});
  EXPECT_EQ(WalkOut(base(), t2_, 0x20000).code, (Bytes{0x95, 0x32, 0x82, 0x36}));
  EXPECT_EQ(WalkOut(base(), t2_, 0x110000).code, five);
  EXPECT_EQ(WalkOut(base(), t2_, 0x42), OutHit{});
  EXPECT_EQ(cache()->first_t7, cache()->end_t7 - 9) << "4 and 5 bytes, taken without alignment";
}

// A different word stays unless overwritten and answers 512, which the
// segment loader reports as "non uniq coding"; the same code answers 0.
TEST_F(Tables, OutputConflictsAnswerNotUnique) {
  const Bytes five = {9, 8, 7, 6, 5}, other = {9, 8, 7, 6, 4};
  ASSERT_EQ(rscpeo4__enter_out_4code(t2_, u"T", 0x100, 2, 0x81, 0x40, 0, 0, 0, 0), 0);
  ASSERT_EQ(rscpeo126__enter_out_126code(t2_, u"T", 0x101, 5, five.data(), 0, 0), 0);
  const uint32_t used = cache()->first_t7;
  struct Case {
    const char* what;
    std::function<rscpRc_t()> call;
    rscpRc_t rc;
    uint32_t value;
    Bytes code;
  } cases[] = {
      {"same 2",
       [&] { return rscpeo4__enter_out_4code(t2_, u"T", 0x100, 2, 0x81, 0x40, 0, 0, 0, 0); },
       0,
       0x100,
       {0x81, 0x40}},
      {"other 2",
       [&] { return rscpeo4__enter_out_4code(t2_, u"T", 0x100, 2, 0x81, 0x41, 0, 0, 0, 0); },
       512,
       0x100,
       {0x81, 0x40}},
      {"other 1",
       [&] { return rscpeo1__enter_out_1code(t2_, u"T", 0x100, 0x20, 0, 0); },
       512,
       0x100,
       {0x81, 0x40}},
      {"same 5", [&] { return rscpeo126__enter_out_126code(t2_, u"T", 0x101, 5, five.data(), 0, 0); }, 0,
       0x101, five},
      {"other 5", [&] { return rscpeo126__enter_out_126code(t2_, u"T", 0x101, 5, other.data(), 0, 0); }, 512,
       0x101, five},
      {"overwrite 1",
       [&] { return rscpeo4__enter_out_4code(t2_, u"T", 0x100, 1, 0x33, 0, 0, 0, 1, 0); },
       0,
       0x100,
       {0x33}},
      {"overwrite 3",
       [&] { return rscpeo4__enter_out_4code(t2_, u"T", 0x100, 2, 0x44, 0x45, 0, 0, 3, 0); },
       0,
       0x100,
       {0x44, 0x45}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.call(), c.rc) << c.what;
    EXPECT_EQ(WalkOut(base(), t2_, c.value).code, c.code) << c.what;
  }
  EXPECT_EQ(cache()->first_t7, used) << "a refused long code takes no room";
}

TEST_F(Tables, OutputRefusals) {
  const Bytes four = {1, 2, 3, 4};
  Bytes long127(127, 1);
  struct Case {
    std::function<rscpRc_t()> call;
    rscpRc_t rc;
    const char16_t* code;
    const char16_t* param;
  } cases[] = {
      {[&] { return rscpeo4__enter_out_4code(t2_, u"T", 0x41, 5, 1, 2, 3, 4, 0, 0); }, 1, u"F22",
       u"T&5&CPCODELEN&"},
      {[&] { return rscpeo126__enter_out_126code(t2_, u"T", 0x41, 4, four.data(), 0, 0); }, 1, u"F22",
       u"T&4&CPCODELEN&"},
      {[&] { return rscpeo126__enter_out_126code(t2_, u"T", 0x41, 127, long127.data(), 0, 0); }, 1, u"F22",
       u"T&127&CPCODELEN&"},
      // Values beyond the T2 are refused before any word is touched.
      {[&] { return rscpeo1__enter_out_1code(t2_, u"T", 1200001, 1, 0, 0); }, 1, u"CQ4",
       u"T&U+124f81&1200000&"},
      {[&] { return rscpeor__enter_out_rule(t2_, u"T", 0xFFFFFF, 10, 0, 0, 0); }, 1, u"CQ4",
       u"T&U+ffffff&1200000&"},
  };
  for (const Case& c : cases) {
    rscpeClearThrErrors();
    EXPECT_EQ(c.call(), c.rc);
    EXPECT_EQ(Last().code, c.code);
    EXPECT_EQ(Last().param1, c.param);
  }
  EXPECT_EQ(cache()->noof_t3, 0) << "nothing made";

  rscphTestSetParams({{u"rscp/ignore_error/tcp07_cpcodelen", {u"1", {}}}});
  rscpeClearThrErrors();
  tovtest::CaptureFd err;
  EXPECT_EQ(rscpeo126__enter_out_126code(t2_, u"TCPX", 0x41, 4, four.data(), 0, 0), 128);
  EXPECT_EQ(err.Take().substr(0, 45), "T=TCPX C=00065 : len=004 bytes=01 02 03 04..\n");
  EXPECT_EQ(Last().code, u"F22");
  EXPECT_EQ(Last().param1, u"rscp/ignore_error/tcp07_cpcodelen");
}

// 128 equal rules over one block collapse into one T2 word; the freed T3 is
// the next one taken.
TEST_F(Tables, RuleCompactionFreesAndReusesT3) {
  for (uint32_t v = 0x4E00; v < 0x4E80; ++v) ASSERT_EQ(rscpeor__enter_out_rule(t2_, u"T", v, 10, 5, 0, 0), 0);
  const uint16_t e = T2(t2_)[0x4E00 >> 7];
  EXPECT_EQ(e, 0x4000 | 5 << 7 | 10);
  EXPECT_EQ(cache()->noof_t3, 0) << "one T3 made, one freed";
  const uint32_t freed = cache()->free_t3;
  ASSERT_NE(freed, 0u);
  EXPECT_EQ(cache()->frag_t3, freed + 1) << "its twin half waits";
  for (int i = 0; i < 129; ++i) EXPECT_EQ(T3(freed)[i], 0u);
  EXPECT_EQ(WalkOut(base(), t2_, 0x4E42), (OutHit{{}, 10, 5}));
  EXPECT_EQ(rscpeor__enter_out_rule(t2_, u"T", 0x4E01, 10, 9, 0, 0), 0) << "same rule number";
  EXPECT_EQ(rscpeor__enter_out_rule(t2_, u"T", 0x4E01, 11, 5, 0, 0), 512);
  rscpeClearThrErrors();
  tovtest::CaptureFd err;
  EXPECT_EQ(rscpeo4__enter_out_4code(t2_, u"T", 0x4E01, 1, 0x41, 0, 0, 0, 0, 0), RSCPETOOLONG);
  EXPECT_EQ(err.Take(), "rscpn3__next_t3 navigating onto T2-rule 17034\n");
  EXPECT_EQ(Last().code, u"F5K");
  EXPECT_EQ(Last().param1, u"U+004e01");

  ASSERT_EQ(rscpeo1__enter_out_1code(t2_, u"T", 0x100, 0x41, 0, 0), 0);
  EXPECT_EQ(T2(t2_)[2], 0x8000 | (freed + 1)) << "frag_t3 first";
  ASSERT_EQ(rscpeo1__enter_out_1code(t2_, u"T", 0x200, 0x41, 0, 0), 0);
  EXPECT_EQ(T2(t2_)[4], 0x8000 | freed) << "then the freed T3";
  EXPECT_EQ(cache()->free_t3, 0u);

  // No compaction with an attribute above 63, nor while a freed T3 waits.
  for (uint32_t v = 0x5000; v < 0x5080; ++v)
    ASSERT_EQ(rscpeor__enter_out_rule(t2_, u"T", v, 12, 64, 0, 0), 0);
  EXPECT_TRUE(T2(t2_)[0x5000 >> 7] & 0x8000);
}

// An output rule's attribute has the 16 bits of its word: an ISO-2022
// character's two bytes go in silently; only what the bits cannot hold is
// told on standard error, and cut.
TEST_F(Tables, OutputRuleAttributesOfSixteenBitsFitSilently) {
  tovtest::CaptureFd err;
  ASSERT_EQ(rscpeor__enter_out_rule(t2_, u"T", 0x3042, 58, 0x2422, 0, 0), 0);
  ASSERT_EQ(rscpeor__enter_out_rule(t2_, u"T", 0x3043, 58, 0xFFFF, 0, 0), 0);
  EXPECT_EQ(err.Take(), "");
  EXPECT_EQ(WalkOut(base(), t2_, 0x3042), (OutHit{{}, 58, 0x2422}));
  tovtest::CaptureFd err2;
  ASSERT_EQ(rscpeor__enter_out_rule(t2_, u"T", 0x3044, 58, 0x12422, 0, 0), 0);
  EXPECT_EQ(err2.Take(), "rscpeor__enter_out_rule: attr  74786  is too large to fit.\n");
  EXPECT_EQ(WalkOut(base(), t2_, 0x3044), (OutHit{{}, 58, 0x2422}));
}

// --- Copy on write, overflow, rollback ------------------------------------------------

TEST_F(Tables, DerivationCopiesOnlyWhatChanges) {
  ASSERT_EQ(In({0x81, 0x40}, 0x4E00), 0);
  ASSERT_EQ(In({0x82, 0x40}, 0x4E01), 0);
  const std::vector<uint32_t> before(T1(root_), T1(root_) + 3 * 258);  // root and both blocks
  rscpsv__save_marks();
  ASSERT_EQ(rscpam__alloc_marks(cache()->first_t2 / 1032), 0);
  const uint16_t copy = rscpct1__copy_t1(root_);
  rscpsm__set_mark(copy);
  ASSERT_EQ(In({0x81, 0x41}, 0x4E02, 0, -1, 1, copy), 0);
  ASSERT_EQ(In({0x20}, 0x20, 0, -1, 1, copy), 0);
  int t1 = 0;
  rscpgc__get_counts(&t1, nullptr, nullptr);
  EXPECT_EQ(t1, 2) << "the root and the one block on the changed path";
  EXPECT_EQ(std::vector<uint32_t>(T1(root_), T1(root_) + 3 * 258), before) << "the base stays bit-identical";
  EXPECT_EQ(T1(copy)[0x82], T1(root_)[0x82]) << "the untouched block stays shared";
  EXPECT_EQ(Get({0x81, 0x41}, copy), Char(0x4E02, 2));
  EXPECT_EQ(Get({0x81, 0x41}), InHit{});
  EXPECT_EQ(Get({0x82, 0x40}, copy), Char(0x4E01, 2));

  // A shared block is never written: navigating from an unmarked holder
  // copies without linking and says so.
  tovtest::CaptureFd err;
  EXPECT_EQ(In({0x82, 0x41}, 0x4E03, 0, -1, 1, root_), 0);
  EXPECT_EQ(std::vector<uint32_t>(T1(root_), T1(root_) + 3 * 258), before);
  EXPECT_NE(err.Take().find("*** Problem: rscpn1__next_t1 modifies T1"), std::string::npos);
  rscpfm__free_marks();
}

TEST_F(Tables, MarksAreZeroedAndAllocationFailureReported) {
  rscphTestFailAllocs(1, false);
  EXPECT_EQ(rscpam__alloc_marks(100), RSCPEINTERN);
  EXPECT_EQ(Last().code, u"F6S");
  EXPECT_EQ(Last().param1, u"malloc failed");
  ASSERT_EQ(rscpam__alloc_marks(100), 0);
  for (uint32_t i = 0; i < 100; ++i) EXPECT_FALSE(rscpIIsMarked(i)) << i;
  rscpsm__set_mark(99);
  rscpsm__set_mark(100);  // beyond the array: ignored
  EXPECT_TRUE(rscpIIsMarked(99));
  EXPECT_FALSE(rscpIIsMarked(100));
  ASSERT_EQ(rscpam__alloc_marks(50), 0) << "one array at a time: the old one is freed";
  EXPECT_FALSE(rscpIIsMarked(49));
  rscpfm__free_marks();
  EXPECT_FALSE(rscpIIsMarked(0));
}

// A load that overflows leaves the bounds and counters as they were at the
// rollback point, and the area above zero.
TEST_F(Tables, OverflowRollsBackToThePoint) {
  Build(170000, 17008);
  rscpsv__save_marks();
  root_ = rscpnt1__new_t1();
  ASSERT_EQ(In({0x41}, 0x41), 0);
  rscpsv__save_marks();
  const rscpCCC_t saved = *cache();
  rscpRc_t rc = 0;
  uint32_t v = 0;
  tovtest::CaptureFd err;
  for (; rc == 0 && v < 100000; ++v) {
    const Bytes code = {static_cast<uint8_t>(0x80 | (v >> 14)), static_cast<uint8_t>(v >> 7),
                        static_cast<uint8_t>(v)};
    rc = In(code, v);
  }
  ASSERT_EQ(rc, RSCPETOOLONG);
  EXPECT_EQ(Last().code, u"F1A");
  EXPECT_EQ(Last().param1, u"cachesize&170000&?&");
  EXPECT_EQ(cache()->was_overflow, 1);
  rscprb__rollback_tables(nullptr, u"test");
  EXPECT_EQ(cache()->end_t1, saved.end_t1);
  EXPECT_EQ(cache()->first_t2, saved.first_t2);
  EXPECT_EQ(cache()->noof_t1, saved.noof_t1);
  EXPECT_EQ(cache()->noof_t2, saved.noof_t2);
  EXPECT_EQ(cache()->noof_t3, saved.noof_t3);
  EXPECT_EQ(T1(root_)[0x41], 0x20000041u);
  const std::vector<uint8_t> above(base() + saved.end_t1, base() + saved.first_t2);
  EXPECT_EQ(std::count(above.begin(), above.end(), 0), static_cast<long>(above.size()));
}

// Output overflow: T3s and the cache07 area, and a T2 that does not fit.
TEST_F(Tables, OutputOverflows) {
  Build(170000, 208);
  rscpsv__save_marks();
  t2_ = rscpnt2__new_t2();
  ASSERT_NE(t2_, 0u);
  const Bytes six(6, 0x61);
  rscpRc_t rc = 0;
  for (uint32_t v = 0; rc == 0 && v < 40; ++v)
    rc = rscpeo126__enter_out_126code(t2_, u"T", v, 6, six.data(), 0, 0);
  EXPECT_EQ(rc, RSCPETOOLONG);
  EXPECT_EQ(Last().code, u"F1A");
  EXPECT_EQ(Last().param1, u"cache07&208&?&");
  EXPECT_GE(cache()->first_t7, cache()->end_t2);
  rc = 0;
  for (uint32_t v = 128; rc == 0 && v < 1200000; v += 128)
    rc = rscpeo1__enter_out_1code(t2_, u"T", v, 0x41, 0, 0);
  EXPECT_EQ(rc, RSCPETOOLONG) << "no T3 left";
  EXPECT_LE(cache()->end_t1, cache()->first_t2);
  // The T2 area's room check is signed: with the T1 top above, no T2.
  EXPECT_EQ(rscpnt2__new_t2(), 0u);
}

// --- ISO-2022 group tables ---------------------------------------------------------------

// Codes entered before the page's shift rules move into group 0's table
// when the root becomes a group table; later codes without a group go there
// too, never onto the group words.
TEST_F(Tables, GroupTableKeepsTheInitialStateInGroupZero) {
  ASSERT_EQ(In({0x41}, 0x41), 0);
  ASSERT_EQ(In({0x38, 0x21}, 0x3041, 0, 1), 0);
  EXPECT_EQ(T1(root_)[257], RSCP_T1_GROUP_MARK);
  const uint32_t g0 = T1(root_)[0], g1 = T1(root_)[1];
  ASSERT_EQ(g0 >> 29, 2u);
  ASSERT_EQ(g1 >> 29, 2u);
  EXPECT_EQ(T1(root_)[0x41], 0u);
  EXPECT_EQ(Get({0x41}, g0 & 0xFFFF), Char(0x41, 1));
  EXPECT_EQ(Get({0x38, 0x21}, g1 & 0xFFFF), Char(0x3041, 2));
  ASSERT_EQ(In({0x0A}, 0x0A), 0);
  ASSERT_EQ(In({0x00}, 0x00), 0);
  EXPECT_EQ(T1(root_)[0], g0) << "the group word stays";
  EXPECT_EQ(Get({0x0A}, g0 & 0xFFFF), Char(0x0A, 1));
  EXPECT_EQ(Get({0x00}, g0 & 0xFFFF), Char(0x00, 1));
  const uint8_t esc[3] = {0x1B, 0x24, 0x42};
  ASSERT_EQ(rscpeir__enter_in_rule(root_, u"ISO-2022", 0, 71, 1, 3, esc, 0, 0, 0), 0);
  EXPECT_EQ(Get({0x1B, 0x24, 0x42}, g0 & 0xFFFF), Rule(71, 1, 3));
  for (int w = 2; w < 256; ++w) EXPECT_EQ(T1(root_)[w], 0u) << w;
}

// Tables that these operations build never loop; a damaged one that does
// stops the process rather than filling forever.
TEST_F(Tables, FillIntoALoopAborts) {
  tovtest::ChildResult r = tovtest::RunInChild([this] {
    T1(root_)[0x81] = 0x40000000u | root_;
    return static_cast<int>(In({0x81}, 0x41));
  });
  EXPECT_EQ(r.signal, SIGABRT);
  EXPECT_NE(r.err.find("): fillCharInAllEmptySlots falls into a T1-loop. Abort.\n\n'"), std::string::npos)
      << r.err;
  EXPECT_EQ(r.err.substr(0, 7), "rscpml(");
}

}  // namespace
