// The table walk on input tables entered with the multi-level table
// functions: surrogate, four-byte and icon rules, codes that are prefixes of
// longer codes, escape sequences that lead back to the start block, direct
// output entries, damaged words and rules, and the walk entries for the
// sixteen-bit methods.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "rscpcv_fixture.h"

namespace rscptest {
namespace {

class Walk : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    base_ = Chosen("1100", "4103");  // the UTF-16LE output table
    ASSERT_EQ(rscpGetSemaAndWritePermission(1), 0);
    locked_ = true;
  }
  void TearDown() override {
    Unlock();
    EngineTest::TearDown();
  }
  void Unlock() {
    if (locked_) rscpReleaseWritePermissionAndSema(1);
    locked_ = false;
  }
  static uint16_t NewRoot() { return rscpnt1__new_t1(); }
  static void Rule(uint16_t root, int rule, std::initializer_list<int> code, int attr = 0) {
    std::vector<uint8_t> b(code.begin(), code.end());
    ASSERT_EQ(rscpeir__enter_in_rule(root, u"T", 0, rule, attr, static_cast<int>(b.size()), b.data(), 1, 1, -1), 0);
  }
  static void Code(uint16_t root, uint32_t value, std::initializer_list<int> code) {
    std::vector<uint8_t> b(code.begin(), code.end());
    ASSERT_EQ(rscpeic__enter_in_code(root, u"T", value, 0, static_cast<int>(b.size()), b.data(), 1, -1), 0);
  }
  static uint32_t* Word(uint16_t block, int i) {
    return reinterpret_cast<uint32_t*>(reinterpret_cast<uint8_t*>(rscpGetCache()) + block * 1032u) + i;
  }
  // An object reading root with the unit width given, written through the
  // output table of 4103 (or out).
  rscpCObj_t Obj(uint16_t root, uint32_t unit, uint32_t out = 0) {
    rscpCObj_t o = base_;
    o.in_t1 = root;
    o.in_space_len = unit;
    if (out != 0) o.out_t1 = out;
    return o;
  }
  static std::string Le(std::u16string s) {
    std::string out;
    for (char16_t c : s) out += static_cast<char>(c & 0xFF), out += static_cast<char>(c >> 8);
    return out;
  }

  rscpCObj_t base_{};
  bool locked_ = false;
};

TEST_F(Walk, SurrogatePairRulesTakeOnlyALowSurrogateSecond) {
  const uint16_t be = NewRoot(), le = NewRoot();
  Rule(be, 13, {0xD8, 0x3D, 0xDE, 0x00});
  Rule(be, 10, {0x00, 0x41});
  Rule(le, 16, {0x3D, 0xD8, 0x00, 0xDE});
  Rule(le, 14, {0x41, 0x00});
  Unlock();
  struct Case {
    uint16_t root;
    std::string in;
    std::string out;
    uint32_t substs;
  };
  const Case cases[] = {
      {be, Bytes({0xD8, 0x3D, 0xDE, 0x00}), Le(u"😀"), 0},
      {be, Bytes({0xD8, 0x3D, 0x00, 0x41}), Le(u"#A"), 1},  // the unit after D8 3D is a character of its own
      {le, Bytes({0x3D, 0xD8, 0x00, 0xDE}), Le(u"😀"), 0},
      {le, Bytes({0x3D, 0xD8, 0x41, 0x00}), Le(u"#A"), 1},
      {be, Bytes({0xD8, 0x3D}), Le(u"#"), 1},  // cut: like_miss
  };
  for (const Case& k : cases) {
    rscpCObj_t o = Obj(k.root, 2);
    const Call c = Convert(o, k.in, 16);
    EXPECT_EQ(c.rc, 0);
    EXPECT_EQ(c.in, k.in.size());
    EXPECT_EQ(c.bytes, k.out);
    EXPECT_EQ(o.subst_count, k.substs);
  }
  // Without substitution the broken pair is the unconvertible exit with its
  // two bytes.
  rscpCObj_t o = Obj(be, 2);
  o.use_subst = 0;
  const Call c = Convert(o, Bytes({0x00, 0x41, 0xD8, 0x3D, 0x00, 0x41}), 16);
  EXPECT_EQ(c.rc, RSCPENOCONV);
  EXPECT_EQ(c.in, 2u);
  EXPECT_EQ(P1(Newest()), u"len=2,data=d83d");
}

TEST_F(Walk, FourByteRulesAboveTheHighestCharacterAreBroken) {
  const uint16_t be = NewRoot(), le = NewRoot();
  for (int b0 : {0x00, 0x7F, 0x01}) Rule(be, 11, {b0, 0x01, 0xF6, 0x00});
  for (int b0 : {0x00, 0x41}) Rule(le, 15, {b0, 0xF6, 0x01, 0x00});
  Unlock();
  rscpCObj_t o = Obj(be, 4);
  Call c = Convert(o, Bytes({0, 1, 0xF6, 0, 0x7F, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0x41}), 16);
  EXPECT_EQ(c.rc, 0);
  EXPECT_EQ(c.bytes, Le(u"😀#A"));
  // 0x01000041 once came out as 'A': the page index is not indexed by
  // numbers beyond it.
  c = Convert(o, Bytes({0x01, 0x00, 0x00, 0x41}), 16);
  EXPECT_EQ(c.bytes, Le(u"#"));
  o.use_subst = 0;
  c = Convert(o, Bytes({0x7F, 0xFF, 0xFF, 0xFF}), 16);
  EXPECT_EQ(c.rc, RSCPENOCONV);
  EXPECT_EQ(P1(Newest()), u"len=4,data=7fffffff");
  rscpCObj_t l = Obj(le, 4);
  c = Convert(l, Bytes({0x00, 0xF6, 0x01, 0x00, 0x41, 0, 0, 0}), 16);
  EXPECT_EQ(c.bytes, Le(u"😀A"));
  // A four-byte unit cut at every byte.
  for (size_t n = 1; n < 4; ++n) {
    l.rscpbroken = 0;
    c = Convert(l, Bytes({0x41, 0, 0, 0}).substr(0, n), 16);
    EXPECT_EQ(c.rc, RSCPEUNIQ) << n;
    EXPECT_EQ(c.in, 0u);
  }
}

TEST_F(Walk, IconRulesDecodeTheCodeCharacters) {
  const uint16_t root = NewRoot();
  const uint32_t t2 = rscpnt2__new_t2();
  ASSERT_NE(t2, 0u);
  const uint32_t icon = rscpIconCodeToChar('0', 'a');
  ASSERT_NE(icon, 0u);
  Rule(root, 53, {0xF8, 0xFD, 0x00, '0', 0x00, 'a'});
  Rule(root, 55, {0xEF, 0xA3, 0xBD, '0', 'a'});
  ASSERT_EQ(rscpeo1__enter_out_1code(t2, u"T", icon, 'I', 1, 0), 0);
  ASSERT_EQ(rscpeo1__enter_out_1code(t2, u"T", '#', '#', 1, 0), 0);
  Unlock();
  rscpCObj_t o = Obj(root, 1, t2);
  Call c = Convert(o, Bytes({0xF8, 0xFD, 0x00, '0', 0x00, 'a', 0xEF, 0xA3, 0xBD, '0', 'a'}), 8);
  EXPECT_EQ(c.rc, 0);
  EXPECT_EQ(c.bytes, "II");
  // A code character outside the alphabet: broken, two bytes of UIconh
  // and three of UIcon8. With mbc_copy 1 one substitution stands for them,
  // with 2 one per byte of the input's unit width.
  for (int mbc : {1, 2}) {
    ASSERT_EQ(rscpso_set_option(2, mbc), 0);
    Chosen("1100", "4103");  // a choice takes the option
    o = Obj(root, 1, t2);
    c = Convert(o, Bytes({0xF8, 0xFD, 0x00, '0', 0x00, '-'}), 16);
    EXPECT_EQ(c.rc, 0);
    EXPECT_EQ(c.bytes, mbc == 1 ? "#####" : "######");  // the four bytes after them have no entries
    EXPECT_EQ(o.subst_count, 5u);
  }
  o.use_subst = 0;
  c = Convert(o, Bytes({0xEF, 0xA3, 0xBD, '0', '-'}), 8);
  EXPECT_EQ(c.rc, RSCPENOCONV);
  EXPECT_EQ(P1(Newest()), u"len=3,data=efa3bd");
}

TEST_F(Walk, PrefixCodesRepositionAndEndWithTheirEndOfInputCharacter) {
  const uint16_t root = NewRoot();
  Code(root, 0x42, {0x81, 0x40});
  Code(root, 0x41, {0x81});
  Code(root, 0x43, {0x43});
  Unlock();
  rscpCObj_t o = Obj(root, 1);
  // 81 41: the prefix is a character of its own and 41 starts the next one
  // (which this page lacks).
  Call c = Convert(o, Bytes({0x81, 0x40, 0x81, 0x43}), 16);
  EXPECT_EQ(c.rc, 0);
  EXPECT_EQ(c.bytes, Le(u"BAC"));
  // At the input end the prefix's character stands in for what was read,
  // with like_miss only.
  c = Convert(o, Bytes({0x43, 0x81}), 16);
  EXPECT_EQ(c.rc, 0);
  EXPECT_EQ(c.bytes, Le(u"CA"));
  EXPECT_EQ(o.subst_count, 0u);
  for (uint32_t broken : {0u, 2u}) {
    o.rscpbroken = broken;
    c = Convert(o, Bytes({0x43, 0x81}), 16);
    EXPECT_EQ(c.rc, RSCPEUNIQ);
    EXPECT_EQ(c.in, 1u);
    EXPECT_EQ(P1(Newest()), u"len=1,data=81");
  }
}

TEST_F(Walk, EscapeSequencesBackToTheStartBlockProduceNothing) {
  const uint16_t root = NewRoot(), esc = NewRoot(), dollar = NewRoot();
  Code(root, 0x41, {0x41});
  Code(root, 0x42, {0x42});
  *Word(root, 0x1B) = RSCP_T1_NEXT | esc;
  *Word(esc, '(') = RSCP_T1_NEXT | root;
  *Word(esc, '$') = RSCP_T1_NEXT | dollar;
  *Word(dollar, 'B') = RSCP_T1_NEXT | root;
  Unlock();
  rscpCObj_t o = Obj(root, 1);
  Call c = Convert(o, "A\x1B(B\x1B$BA", 16);
  EXPECT_EQ(c.rc, 0);
  EXPECT_EQ(c.bytes, Le(u"ABA"));
  EXPECT_EQ(o.subst_count, 0u);
  // An escape cut at the end: the block has no end-of-input character.
  c = Convert(o, "A\x1B$", 16);
  EXPECT_EQ(c.bytes, Le(u"A#"));
  o.rscpbroken = 0;
  c = Convert(o, "A\x1B$", 16);
  EXPECT_EQ(c.rc, RSCPEUNIQ);
  EXPECT_EQ(c.in, 1u);
  EXPECT_EQ(P1(Newest()), u"len=2,data=1b24");
}

TEST_F(Walk, DirectOutputEntriesAndDamagedTables) {
  const uint16_t root = NewRoot();
  const uint32_t t2 = rscpnt2__new_t2();
  *Word(root, 'x') = 0x80000000u | 'X';
  *Word(root, 'y') = 0xA0000000u | 'Y' << 8 | 'Z';
  *Word(root, 'w') = 0x80000000u | 2u << 24 | 'W';  // takes the byte after it too
  *Word(root, 'z') = RSCP_T1_NEXT | 0xFFFFFF;        // no such block
  *Word(root, 'r') = RSCP_T1_RULE | 30;               // no such input rule
  Code(root, 'C', {'C'});
  Code(root, 'D', {'D'});
  ASSERT_EQ(rscpeo1__enter_out_1code(t2, u"T", '#', '#', 1, 0), 0);
  ASSERT_EQ(rscpeor__enter_out_rule(t2, u"T", 'C', 40, 0, 0, 0), 0);  // no such output rule
  ASSERT_EQ(rscpeor__enter_out_rule(t2, u"T", 'D', 58, 0x3021, 0, 0), 0);
  ASSERT_EQ(rscpAddShiftPair(3, reinterpret_cast<const uint8_t*>("\x1B$B"), 3, reinterpret_cast<const uint8_t*>("\x1B(J")), 0);
  Unlock();
  rscpCObj_t o = Obj(root, 1, t2);
  Call c = Convert(o, "xyw!x", 8);
  EXPECT_EQ(c.rc, 0);
  EXPECT_EQ(c.bytes, "XYZWX");
  c = Convert(o, "xyw", 8);
  EXPECT_EQ(c.rc, 0);
  EXPECT_EQ(c.bytes, "XYZ#");  // W's second byte is missing: cut
  c = Convert(o, "xyx", 2);
  EXPECT_EQ(c.rc, RSCPETOOLONG);
  EXPECT_EQ(c.bytes, "X");
  c = Convert(o, "xz", 8);
  EXPECT_EQ(c.rc, RSCPEINTERN);
  EXPECT_EQ(c.in, 1u);
  EXPECT_EQ(Newest().location, 255);
  c = Convert(o, "rx", 8);
  EXPECT_EQ(c.bytes, "#X");
  // An output rule without a meaning no longer ends the process.
  c = Convert(o, "xC", 8);
  EXPECT_EQ(c.rc, RSCPEINTERN);
  EXPECT_EQ(c.in, 1u);
  EXPECT_EQ(c.bytes, "X");
  EXPECT_EQ(Newest().location, 254);
  // A designation rule frames its characters; consecutive ones share the
  // frame.
  c = Convert(o, "xDD", 16);
  EXPECT_EQ(c.rc, 0);
  EXPECT_EQ(c.bytes, "X\x1B$B0!0!\x1B(J");
}

TEST_F(Walk, WalkEntriesOfTheSixteenBitMethods) {
  const uint16_t root = NewRoot();
  Code(root, 0x41, {0x41});
  Code(root, 0xE9, {0x81, 0x40});
  *Word(root, 'z') = RSCP_T1_NEXT | 0xFFFFFF;
  Unlock();
  rscpCObj_t o = Obj(root, 1);
  o.use_subst = 0;
  rscpcFrame f;
  f.o = &o;
  f.t.Take(rscpIGetPublishedCache());
  f.inT1 = o.in_t1;
  f.outT2 = o.out_t1;
  uint8_t out[8];
  f.outStart = out;
  f.outEnd = out + sizeof out;
  const auto walk = [&](const std::string& in, size_t room, bool run, size_t* used, size_t* made) {
    const uint8_t* ip = reinterpret_cast<const uint8_t*>(in.data());
    uint8_t* op = out;
    f.outEnd = out + room;
    rscpRc_t code = 0;
    const int s = run ? rscpCWalkRun(&f, &ip, ip + in.size(), &op, &code)
                      : rscpCWalkChar(&f, &ip, ip + in.size(), &op, &code);
    *used = static_cast<size_t>(ip - reinterpret_cast<const uint8_t*>(in.data()));
    *made = static_cast<size_t>(op - out);
    return s;
  };
  size_t used = 0, made = 0;
  EXPECT_EQ(walk("AA\x81\x40", 8, false, &used, &made), 0);
  EXPECT_EQ(used, 1u);
  EXPECT_EQ(walk("AA\x81\x40", 8, true, &used, &made), 0);
  EXPECT_EQ(used, 4u);
  EXPECT_EQ(made, 6u);
  EXPECT_EQ(walk("AA", 3, true, &used, &made), 1);
  EXPECT_EQ(used, 1u);
  EXPECT_EQ(walk("A\x81", 8, true, &used, &made), 2);
  EXPECT_EQ(used, 1u);
  EXPECT_EQ(walk("Az", 8, true, &used, &made), 3);
  EXPECT_EQ(walk("A\x82", 8, true, &used, &made), 4);
  EXPECT_EQ(used, 1u);
}

}  // namespace
}  // namespace rscptest
