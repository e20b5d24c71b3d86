// The multi-byte methods' direct paths (cells that the chooser never
// reaches are set up by forcing method 6 and an output kind on a chosen
// object), method 42's walk through the ISO-2022 group tables, the framed
// writers with the return sequence that only they take back, icon forms and
// range rules, and the Shift-JIS runs.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "rscpc_oracle.h"
#include "rscpcv_fixture.h"

namespace rscptest {
namespace {

constexpr int kAny = -1;

struct PathCase {
  const char* from;
  const char* to;
  int method, outNls;  // kAny: as chosen
  int subst, copyOne, mbcCopy;
  std::string in, out;
  rscpRc_t rc;
};

const std::string kEsc = "\x1B";

// Each row: the direct path of a pair of kinds, with the options it reacts to.
const PathCase kPaths[] = {
    // EUC: the Shift-JIS kernel, the HXT forms, a cut lead byte.
    {"8100", "8000", 6, kAny, 1, 0, 2, Bytes({0xB0, 0xA1, 0x41}), Bytes({0x88, 0x9F, 0x41}), 0},
    {"8100", "8000", 6, 20, 1, 0, 2, Bytes({0xB0, 0xA1}), "^EB0A1", 0},
    {"8000", "8100", 6, 21, 1, 0, 2, Bytes({0x88, 0x9F}), Bytes({0x5F, 0xD1, 0xF8, 0xF8, 0xF9, 0xC6}), 0},
    // Shift-JIS to EUC character by character: a pair of the path that the
    // kernel reads as two bytes stays apart from the pair behind it.
    {"8000", "8100", kAny, kAny, 1, 0, 2, Bytes({0x88, 0x9F, 0xF0, 0x81, 0x82, 0x40}),
     Bytes({0xB0, 0xA1, 0xF0, 0x81, 0xA3, 0xA1}), 0},
    {"8100", "8000", 6, kAny, 1, 0, 2, Bytes({0x41, 0xB0}), "A#", 0},
    // EUC into a level-1 page: copied and made Shift-JIS for leads up to
    // 0xD0, the tables for the others.
    {"8100", "6100", 6, kAny, 1, 0, 2, Bytes({0xB0, 0xA1, 0xB0, 0xA2, 0xD1, 0xA1}), Bytes({0x88, 0x9F, 0x88, 0xA0, 0x99, 0x40}), 0},
    // Shift-JIS runs into the printer pages, an odd tail, lead bytes the
    // writer copies.
    {"8000", "8210", kAny, kAny, 1, 0, 2, Bytes({0x88, 0x9F, 0x88, 0xA0, 0x41}),
     Bytes({0x1C, 0x26, 0x30, 0x21, 0x30, 0x22, 0x1C, 0x2E, 0x41}), 0},
    {"8000", "8211", kAny, kAny, 1, 0, 2, Bytes({0x88, 0x9F}), "\x1D" "1;1smM0!\x1D" "0;1smM", 0},
    {"8000", "8200", kAny, kAny, 1, 0, 2, Bytes({0x88, 0x9F, 0x88}), kEsc + "$B0!" + kEsc + "(J#", 0},
    {"8000", "8200", kAny, kAny, 1, 0, 2, Bytes({0xF0, 0x40, 0x41}), kEsc + "(J" + Bytes({0xF0, 0x40}) + "A", 0},
    // Fallback (GBK into Shift-JIS): the lead byte alone with copy-one, the
    // tables without.
    {"8400", "8000", 6, kAny, 0, 1, 2, Bytes({0xB0, 0xA1, 0x41}), Bytes({0xB0, 0xA1, 0x41}), 0},
    {"8400", "8000", 6, kAny, 1, 0, 2, Bytes({0xB0, 0xA1, 0x41}), "#A", 0},
    {"8400", "8000", 6, kAny, 1, 0, 1, Bytes({0xB0, 0xA1, 0x41}), Bytes({0xB0, 0xA1, 0x41}), 0},
    // Wide fallback (a lead byte above level 1 into a level-1 page): both
    // bytes with copy-one, else the tables with a broken length of 2.
    {"8000", "6100", 6, kAny, 0, 1, 2, Bytes({0xE0, 0x40}), Bytes({0xE0, 0x40}), 0},
    {"8000", "6100", 6, kAny, 1, 0, 2, Bytes({0xE0, 0x40, 0x88, 0x9F}), Bytes({0x23, 0x88, 0x9F}), 0},
    // A half-width katakana lead of a second family into Shift-JIS: one
    // substitute or the lead byte; the trail byte is the next character.
    {"6230", "8000", 6, kAny, 1, 0, 2, Bytes({0xA1, 0x40}), "#@", 0},
    {"6230", "8000", 6, kAny, 0, 1, 2, Bytes({0xA1, 0x40}), Bytes({0xA1, 0x40}), 0},
    // No path (EUC into Big5): a note per character, the tables, 2048 with
    // the whole input; copy-one copies instead.
    {"8100", "8300", 6, kAny, 1, 0, 2, Bytes({0xB0, 0xA1, 0x41, 0xB0, 0xA2}), "#A#", RSCPENOCONV},
    {"8100", "8300", 6, kAny, 0, 1, 2, Bytes({0xB0, 0xA1, 0x41}), Bytes({0xB0, 0xA1, 0x41}), 0},
    // mbc_copy: one substitute for a three-byte character, or one per byte.
    {"4110", "8000", 6, kAny, 1, 0, 2, "\xE2\x82\xAC" "A", "#A", 0},
    {"4110", "8000", 6, kAny, 1, 0, 3, "\xE2\x82\xAC" "A", "###A", 0},
};

class MbPaths : public EngineTest, public ::testing::WithParamInterface<PathCase> {};

TEST_P(MbPaths, ConvertWholeAndResumedInEveryRoom) {
  const PathCase& k = GetParam();
  ASSERT_EQ(rscpso_set_option(2, k.mbcCopy), 0);
  rscpCObj_t o = Chosen(k.from, k.to);  // a choice takes the option
  if (k.method != kAny) o.method = static_cast<uint32_t>(k.method);
  if (k.outNls != kAny) o.out_nls = static_cast<uint32_t>(k.outNls);
  o.use_subst = static_cast<uint8_t>(k.subst), o.use_1_copy = static_cast<uint8_t>(k.copyOne);
  const Call c = Convert(o, k.in, k.out.size() + 4);
  EXPECT_EQ(c.rc, k.rc);
  EXPECT_EQ(c.in, k.in.size());
  EXPECT_EQ(Hex(c.bytes), Hex(k.out));
  if (k.rc == RSCPENOCONV) {
    // One note for each double-byte character, and nothing filled.
    const uint32_t seq = Newest().seqNo;
    o.rscpfill = 1;
    EXPECT_EQ(Convert(o, k.in, k.out.size() + 4).out, k.out.size());
    EXPECT_EQ(Newest().seqNo - seq, 2u);
    EXPECT_EQ(Code(Newest()), u"F2K");
    EXPECT_EQ(Newest().location, 128);
    EXPECT_EQ(P1(Newest()) + P2(Newest()), u"EUC ... ");
    return;
  }
  // Resumed after every full output, the same bytes.
  for (size_t room = 1; room <= k.out.size(); ++room) {
    const Call r = ConvertResumed(o, k.in, room);
    if (r.rc == 0) {
      EXPECT_EQ(Hex(r.bytes), Hex(k.out)) << room;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Cells, MbPaths, ::testing::ValuesIn(kPaths));

// A kernel that runs out of room ends the call at the character with "char
// code too long"; a cut character with stop_finally ends it before it.
TEST_F(EngineTest, FailedKernelsAndCutCharacters) {
  rscpCObj_t o = Chosen("8000", "8200");
  Call c = Convert(o, Bytes({0x41, 0x88, 0x9F}), 7);
  EXPECT_EQ(c.rc, RSCPETOOLONG);
  EXPECT_EQ(c.in, 1u);
  EXPECT_EQ(c.bytes, "A");
  EXPECT_EQ(Code(Newest()), u"F42");
  EXPECT_EQ(Newest().location, 122);
  o.rscpbroken = 0;
  for (const std::string& in : {Bytes({0x41, 0x88}), Bytes({0x88, 0x9F, 0xE0})}) {
    c = Convert(o, in, 16);
    EXPECT_EQ(c.rc, RSCPEUNIQ);
    EXPECT_EQ(c.in, in.size() - 1);
  }
}

// 8200 input where no direct path leads: every character takes the group
// tables, which the designations switch.
class Mb2022 : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    o_ = Chosen("8200", "8000");
    ASSERT_EQ(o_.method, 42u);
    o_.out_nls = 4;  // JIS into Big5: notes, then the tables
  }
  rscpCObj_t o_{};
};

TEST_F(Mb2022, DesignationsSwitchTablesAndPersistOnlyWhenRestartable) {
  const std::string text = "A" + kEsc + "$B0!0\"" + kEsc + "(BB";
  Call c = Convert(o_, text, 16);
  EXPECT_EQ(c.rc, RSCPENOCONV);
  EXPECT_EQ(c.in, text.size());
  EXPECT_EQ(Hex(c.bytes.substr(0, 6)), Hex(Bytes({0x41, 0x88, 0x9F, 0x88, 0xA0, 0x42})));
  // Cut behind the designation: with stop_restartable the state waits in
  // the object for the next piece; otherwise the exit clears it.
  for (uint32_t broken : {2u, 1u}) {
    o_.rscpbroken = broken;
    c = Convert(o_, "A" + kEsc + "$B", 16);
    EXPECT_EQ((o_.shift_state >> 10) & 15, broken == 2 ? 1u : 0u);
    c = Convert(o_, "0!", 16);
    EXPECT_EQ(Hex(c.bytes.substr(0, 2)), broken == 2 ? "889F" : "3021");
  }
  // A state whose group has no table.
  o_.shift_state |= 11u << 10;
  c = Convert(o_, "AB", 16);
  EXPECT_EQ(c.rc, RSCPEINTERN);
  EXPECT_EQ(c.in + c.out, 0u);
  EXPECT_EQ(Newest().location, 253);
  EXPECT_EQ(P2(Newest()), u"11");
}

TEST_F(Mb2022, InputCutAtEveryByte) {
  const std::string text = kEsc + "$B0!" + kEsc + "(BA";
  const std::vector<size_t> starts = {0, 3, 5, 8};  // where characters begin
  for (size_t n = 1; n < text.size(); ++n) {
    const bool cut = std::find(starts.begin(), starts.end(), n) == starts.end();
    for (uint32_t broken : {0u, 1u}) {
      o_.rscpbroken = broken;
      const Call c = Convert(o_, text.substr(0, n), 16);
      if (!cut) {
        EXPECT_EQ(c.in, n) << n;
      } else if (broken == 0) {
        EXPECT_EQ(c.rc, RSCPEUNIQ) << n;
        EXPECT_EQ(c.in, *(std::upper_bound(starts.begin(), starts.end(), n) - 1)) << n;
      } else {
        EXPECT_EQ(c.in, n) << n;
        EXPECT_EQ(c.bytes.back(), '#') << n;
      }
    }
  }
}

// The framed writers, the icon forms and the range coder on records of
// their own.
class Helpers40 : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    ASSERT_EQ(rscpGetSemaAndWritePermission(1), 0);
    ASSERT_EQ(rscpAddShiftPair(3, U8("\x1B$B"), 3, U8("\x1B(B")), 0);
    ASSERT_EQ(rscpAddShiftPair(4, U8("\x1B$(D"), 3, U8("\x1B(B")), 0);
    rscpReleaseWritePermissionAndSema(1);
    o_ = Chosen("1100", "4103");
  }
  static const uint8_t* U8(const char* s) { return reinterpret_cast<const uint8_t*>(s); }
  // Framed characters (rule, value) into an output of cap bytes within
  // one call: the results and the output.
  std::string Frame(std::initializer_list<std::pair<uint32_t, uint16_t>> chars, size_t cap,
                    std::vector<rscpRc_t>* rcs = nullptr) {
    std::vector<uint8_t> buf(cap + 4, 0xEE);
    uint8_t* pos = buf.data();
    uint8_t* back = nullptr;
    const rscpcOutMark mark(buf.data(), &back);
    for (auto [rule, v] : chars) {
      const rscpRc_t rc = rule < 73 ? rscpPut2022Double(&o_, 0, mark, &pos, buf.data() + cap, rule, v)
                                    : rscpPut2022Single(&o_, 0, mark, &pos, buf.data() + cap, rule, uint8_t(v));
      if (rcs != nullptr) rcs->push_back(rc);
    }
    return std::string(reinterpret_cast<char*>(buf.data()), pos - buf.data());
  }
  rscpCObj_t o_{};
};

TEST_F(Helpers40, FramedCharactersShareOneFramePerPair) {
  EXPECT_EQ(Frame({{58, 0x3021}, {58, 0x3022}}, 32), kEsc + "$B0!0\"" + kEsc + "(B");
  EXPECT_EQ((o_.shift_state >> 24) & 15, 1u);
  EXPECT_EQ(Frame({{58, 0x3021}, {59, 0x2B21}, {73, 'A'}}, 32),
            kEsc + "$B0!" + kEsc + "$(D+!" + kEsc + "$BA" + kEsc + "(B");
  // A new call frames again, whatever the object's state says.
  EXPECT_EQ(Frame({{58, 0x3021}}, 32), kEsc + "$B0!" + kEsc + "(B");
  // Capacity 9 holds one framed character; the second one needs the 3 bytes
  // of the return sequence taken back and 2 more: 32, nothing changed.
  std::vector<rscpRc_t> rcs;
  o_.shift_state = 0;
  EXPECT_EQ(Frame({{58, 0x3021}, {58, 0x3022}}, 9, &rcs), kEsc + "$B0!" + kEsc + "(B");
  EXPECT_EQ(rcs, (std::vector<rscpRc_t>{0, RSCPETOOLONG}));
  EXPECT_EQ((o_.shift_state >> 24) & 15, 1u);
  EXPECT_EQ(Frame({{58, 0x3021}, {58, 0x3022}}, 10), kEsc + "$B0!0\"" + kEsc + "(B");
  // Bytes behind a framed character that merely equal its return sequence
  // belong to another character: never taken back.
  std::vector<uint8_t> buf(32);
  uint8_t* pos = buf.data();
  uint8_t* back = nullptr;
  const rscpcOutMark mark(buf.data(), &back);
  ASSERT_EQ(rscpPut2022Double(&o_, 0, mark, &pos, buf.data() + 32, 58, 0x3021), 0);
  memcpy(pos, "\x1B(B", 3), pos += 3;
  ASSERT_EQ(rscpPut2022Double(&o_, 0, mark, &pos, buf.data() + 32, 58, 0x3022), 0);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf.data()), pos - buf.data()),
            kEsc + "$B0!" + kEsc + "(B" + kEsc + "(B" + kEsc + "$B0\"" + kEsc + "(B");
}

TEST_F(Helpers40, IconFormsAndRangeRules) {
  const uint32_t icon = rscpIconCodeToChar('0', 'a');
  struct Form {
    uint32_t rule;
    std::string bytes;
  };
  for (const Form& k : {Form{53, Bytes({0xF8, 0xFD, 0, '0', 0, 'a'})}, Form{54, Bytes({0xFD, 0xF8, '0', 0, 'a', 0})},
                        Form{55, Bytes({0xEF, 0xA3, 0xBD, '0', 'a'})},
                        Form{56, Bytes({0, 0, 0xF8, 0xFD, 0, 0, 0, '0', 0, 0, 0, 'a'})},
                        Form{57, Bytes({0xFD, 0xF8, 0, 0, '0', 0, 0, 0, 'a', 0, 0, 0})}, Form{58, ""}}) {
    uint8_t buf[16];
    for (size_t cap : {k.bytes.size(), k.bytes.size() - (k.bytes.empty() ? 0 : 1)}) {
      uint8_t* pos = buf;
      int full = 7;
      rscpPutIconUnicode(icon, k.rule, 0, &pos, buf + cap, &full);
      const bool fits = cap == k.bytes.size();
      EXPECT_EQ(full, fits ? 0 : 1) << k.rule;
      EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), pos - buf), fits ? k.bytes : "") << k.rule;
    }
  }
  // The weights given here, not those a loader would derive.
  rscpRangeRec_t r{};
  r.first = r.uidFirst = 0x4E00, r.last = 0x4E00 + 5000, r.seqLen = 2;
  r.minV[0] = 0x81, r.minV[1] = 0x40, r.maxV[0] = 0x9F, r.maxV[1] = 0xFC, r.weight[0] = 190, r.weight[1] = 1;
  uint8_t b[4];
  int n = 0;
  uint32_t c = 0;
  EXPECT_EQ(rscpRangeRuleEncode(&r, 0x4E00 + 191, b, &n, 4), 0);
  EXPECT_EQ(Hex(std::string(reinterpret_cast<char*>(b), n)), "8241");
  EXPECT_EQ(rscpRangeRuleDecode(&r, &c, b, 2), 0);
  EXPECT_EQ(c, 0x4E00u + 191);
  EXPECT_EQ(rscpRangeRuleDecode(&r, &c, U8("\x80\x41"), 2), 1);
  EXPECT_EQ(rscpRangeRuleDecode(&r, &c, b, 1), 1);
  EXPECT_EQ(rscpRangeRuleEncode(&r, 0x4DFF, b, &n, 4), 2);
  EXPECT_EQ(rscpRangeRuleEncode(&r, 0x4E00 + 5001, b, &n, 4), 3);
  EXPECT_EQ(rscpRangeRuleEncode(&r, 0x4E00, b, &n, 1), 1);
  r.seqLen = 5;
  EXPECT_EQ(rscpRangeRuleEncode(&r, 0x4E00, b, &n, 8), 4);
  EXPECT_EQ(rscpRangeRuleDecode(&r, &c, U8("\x81\x40\x40\x40\x40"), 5), 5);
  // Random records as a loader makes them: encoding a code of the range and
  // decoding it give it back, and every byte sequence that decodes encodes
  // to itself.
  std::mt19937 rng(36);
  for (int round = 0; round < 2000; ++round) {
    rscpRangeRec_t q{};
    q.seqLen = 1 + static_cast<int>(rng() % 4);
    uint64_t span = 1;
    for (int k = q.seqLen - 1; k >= 0; --k) {
      q.minV[k] = static_cast<uint8_t>(rng() % 200);
      q.maxV[k] = static_cast<uint8_t>(q.minV[k] + rng() % (256 - q.minV[k]));
      q.weight[k] = static_cast<int32_t>(span);
      span *= q.maxV[k] - q.minV[k] + 1u;
    }
    q.uidFirst = rng() % 0x100000;
    q.first = q.uidFirst + static_cast<uint32_t>(rng() % span);
    q.last = q.first + static_cast<uint32_t>(rng() % (q.uidFirst + span - q.first));
    const uint32_t v = q.first + static_cast<uint32_t>(rng() % (q.last - q.first + 1));
    ASSERT_EQ(rscpRangeRuleEncode(&q, v, b, &n, 4), 0);
    ASSERT_EQ(n, q.seqLen);
    ASSERT_EQ(rscpRangeRuleDecode(&q, &c, b, n), 0);
    ASSERT_EQ(c, v);
    for (int k = 0; k < 4; ++k) b[k] = static_cast<uint8_t>(rng());
    uint8_t again[4];
    if (rscpRangeRuleDecode(&q, &c, b, 4) == 0) {
      ASSERT_EQ(rscpRangeRuleEncode(&q, c, again, &n, 4), 0);
      ASSERT_EQ(memcmp(again, b, static_cast<size_t>(n)), 0);
    }
  }
}

// A character whose bytes end like the return sequence of the pair before
// it stays in the output (it was once overwritten); a substitution that
// fits only in part leaves the output as it was, taken-back return sequence
// included.
TEST_F(EngineTest, FramesAroundUnframedCharactersAndPartialSubstitutions) {
  rscpCObj_t o = Chosen("4103", "8200");
  const auto utf16 = [](std::u16string s) { return std::string(reinterpret_cast<const char*>(s.data()), s.size() * 2); };
  Call c = Convert(o, utf16(u"漢\x1B(J字"), 32);
  EXPECT_EQ(c.rc, 0);
  EXPECT_EQ(c.bytes, kEsc + "$B4A" + kEsc + "(J" + kEsc + "(J" + kEsc + "$B;z" + kEsc + "(J");
  ASSERT_EQ(rscpso_set_option(2, 3), 0);
  o = Chosen("4103", "8200");
  o.subst_char = 0x3013;  // GETA MARK, framed
  const std::string in = utf16(u"日€");
  c = Convert(o, in, 11);  // room for one of the two substitutes
  EXPECT_EQ(c.rc, RSCPETOOLONG);
  EXPECT_EQ(c.bytes, kEsc + "$BF|" + kEsc + "(J");
  c = Convert(o, in, 12);
  EXPECT_EQ(c.bytes, kEsc + "$BF|\".\"." + kEsc + "(J");
}

TEST(SjisRuns, CutAtTheRunAndWrittenByTheTarget) {
  struct Run {
    const char16_t* target;
    bool l1;
    std::string in;
    int32_t inlen;
    std::string out;
  };
  const Run runs[] = {
      {u"8210", false, Bytes({0x88, 0x9F, 0x88, 0xA0, 0x41}), 4, Bytes({0x1C, 0x26, 0x30, 0x21, 0x30, 0x22, 0x1C, 0x2E})},
      {u"8200", false, Bytes({0x41, 0x88, 0x9F}), 0, ""},
      {u"8200", false, Bytes({0x88, 0x9F, 0x88}), 2, kEsc + "$B0!" + kEsc + "(J"},
      {u"8200", false, Bytes({0x88, 0x9F, 0x88, 0xA0}), 4, kEsc + "$B0!0\"" + kEsc + "(J"},
      {u"8200", false, Bytes({0xF0, 0x40}), 2, kEsc + "(J" + Bytes({0xF0, 0x40})},
      {u"8200", true, Bytes({0xE0, 0x40}), 0, ""},
      {u"8211", true, Bytes({0x88, 0x9F, 0x88, 0xFD}), 2, "\x1D" "1;1smM0!\x1D" "0;1smM"},
      {u"4103", false, Bytes({0x88, 0x9F, 0xF0, 0x40}), 4, Bytes({0x30, 0x21, 0x7F, 0x21})},
  };
  for (const Run& r : runs) {
    uint8_t out[32];
    int32_t outlen = sizeof out, inlen = static_cast<int32_t>(r.in.size());
    const uint8_t* in = reinterpret_cast<const uint8_t*>(r.in.data());
    rscpCp_t cp;
    memcpy(cp, r.target, sizeof cp);
    EXPECT_EQ((r.l1 ? rscpSjisL1RunTo82xx : rscpSjisRunTo82xx)(out, &outlen, in, &inlen, &cp), 0);
    EXPECT_EQ(inlen, r.inlen) << Hex(r.in);
    EXPECT_EQ(Hex(std::string(reinterpret_cast<char*>(out), outlen)), Hex(r.out)) << Hex(r.in);
  }
  // A writer that fills the output at a character boundary tells how far
  // it got (the byte behind is not lost).
  uint8_t out[4];
  int32_t outlen = 4, inlen = 2;
  rscpCp_t cp = {u'8', u'2', u'0', u'0'};
  EXPECT_EQ(rscpSjisRunTo82xx(out, &outlen, reinterpret_cast<const uint8_t*>("\xF0\x40"), &inlen, &cp), 0);
  EXPECT_EQ(inlen, 1);
  EXPECT_EQ(outlen, 4);
}

}  // namespace
}  // namespace rscptest
