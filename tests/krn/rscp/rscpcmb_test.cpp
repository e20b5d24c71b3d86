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
enum : int { kSubst = 1, kCopyOne = 2, kStop = 4 };  // options: use_subst, use_1_copy, broken 0
const std::string kEsc = "\x1B";

struct PathCase {
  const char* from;
  const char* to;
  int method, outNls, opts, mbcCopy;
  std::string in, out;
  rscpRc_t rc = 0;
  size_t used = std::string::npos, room = 0;  // npos: the whole input; 0: room enough
};

const PathCase kPaths[] = {
    // EUC: the Shift-JIS kernel, the HXT forms, a cut lead byte; into a
    // level-1 page copied and made Shift-JIS up to lead 0xD0, else the tables.
    {"8100", "8000", 6, kAny, kSubst, 2, Bytes({0xB0, 0xA1, 0x41}), Bytes({0x88, 0x9F, 0x41})},
    {"8100", "8000", 6, 20, kSubst, 2, Bytes({0xB0, 0xA1}), "^EB0A1"},
    {"8000", "8100", 6, 21, kSubst, 2, Bytes({0x88, 0x9F}), Bytes({0x5F, 0xD1, 0xF8, 0xF8, 0xF9, 0xC6})},
    {"8100", "8000", 6, kAny, kSubst, 2, Bytes({0x41, 0xB0}), "A#"},
    {"8100", "6100", 6, kAny, kSubst, 2, Bytes({0xB0, 0xA1, 0xB0, 0xA2, 0xD1, 0xA1}),
     Bytes({0x88, 0x9F, 0x88, 0xA0, 0x99, 0x40})},
    // Shift-JIS to EUC: a pair beyond the kernel's JIS rows (lead 0xF0 and
    // above, trail 0xFD and above) takes the tables as a character the page
    // lacks, apart from the pair behind it.
    {"8000", "8100", kAny, kAny, kSubst, 2, Bytes({0x88, 0x9F, 0xF0, 0x81, 0x82, 0x40}),
     Bytes({0xB0, 0xA1, 0x23, 0xA3, 0xA1})},
    {"8000", "8100", kAny, kAny, kSubst, 2, Bytes({0xFB, 0xFC, 0x41, 0x88, 0xFD, 0x42}), "#A##B"},
    // Shift-JIS runs into the printer pages, an odd tail, a user-defined
    // code (which the page lacks) through the tables; a writer without room
    // fails at its run, a cut lead byte with stop_finally ends the call
    // before it.
    {"8000", "8210", kAny, kAny, kSubst, 2, Bytes({0x88, 0x9F, 0x88, 0xA0, 0x41}),
     Bytes({0x1C, 0x26, 0x30, 0x21, 0x30, 0x22, 0x1C, 0x2E, 0x41})},
    {"8000", "8211", kAny, kAny, kSubst, 2, Bytes({0x88, 0x9F}), "\x1D" "1;1smM0!\x1D" "0;1smM"},
    {"8000", "8200", kAny, kAny, kSubst, 2, Bytes({0x88, 0x9F, 0x88}), kEsc + "$B0!" + kEsc + "(J#"},
    {"8000", "8200", kAny, kAny, kSubst, 2, Bytes({0xF0, 0x40, 0x41}), "#A"},
    {"8000", "8200", kAny, kAny, kSubst, 2, Bytes({0x41, 0x88, 0x9F}), "A", RSCPETOOLONG, 1, 7},
    {"8000", "8200", kAny, kAny, kSubst | kStop, 2, Bytes({0x88, 0x9F, 0xE0}), kEsc + "$B0!" + kEsc + "(J",
     RSCPEUNIQ, 2},
    // Fallback (GBK into Shift-JIS): the lead byte alone with copy-one or
    // mbc_copy 1, else the tables.
    {"8400", "8000", 6, kAny, kCopyOne, 2, Bytes({0xB0, 0xA1, 0x41}), Bytes({0xB0, 0xA1, 0x41})},
    {"8400", "8000", 6, kAny, kSubst, 2, Bytes({0xB0, 0xA1, 0x41}), "#A"},
    {"8400", "8000", 6, kAny, kSubst, 1, Bytes({0xB0, 0xA1, 0x41}), Bytes({0xB0, 0xA1, 0x41})},
    // Wide fallback (a lead byte above level 1 into a level-1 page): both
    // bytes with copy-one, else the tables with a broken length of 2.
    {"8000", "6100", 6, kAny, kCopyOne, 2, Bytes({0xE0, 0x40}), Bytes({0xE0, 0x40})},
    {"8000", "6100", 6, kAny, kSubst, 2, Bytes({0xE0, 0x40, 0x88, 0x9F}), Bytes({0x23, 0x88, 0x9F})},
    // A half-width katakana lead of a second family into Shift-JIS: one
    // substitute or the lead byte; the trail byte is the next character.
    {"6230", "8000", 6, kAny, kSubst, 2, Bytes({0xA1, 0x40}), "#@"},
    {"6230", "8000", 6, kAny, kCopyOne, 2, Bytes({0xA1, 0x40}), Bytes({0xA1, 0x40})},
    // No path (EUC into Big5): a note per character, the tables, 2048 with
    // the whole input; copy-one copies instead.
    {"8100", "8300", 6, kAny, kSubst, 2, Bytes({0xB0, 0xA1, 0x41, 0xB0, 0xA2}), "#A#", RSCPENOCONV},
    {"8100", "8300", 6, kAny, kCopyOne, 2, Bytes({0xB0, 0xA1, 0x41}), Bytes({0xB0, 0xA1, 0x41})},
    // mbc_copy: one substitute for a three-byte character, or one per byte.
    {"4110", "8000", 6, kAny, kSubst, 2, "\xE2\x82\xAC" "A", "#A"},
    {"4110", "8000", 6, kAny, kSubst, 3, "\xE2\x82\xAC" "A", "###A"},
};

class MbPaths : public EngineTest, public ::testing::WithParamInterface<PathCase> {};

TEST_P(MbPaths, ConvertWholeAndResumedInEveryRoom) {
  const PathCase& k = GetParam();
  ASSERT_EQ(rscpso_set_option(2, k.mbcCopy), 0);
  rscpCObj_t o = Chosen(k.from, k.to);  // a choice takes the option
  if (k.method != kAny) o.method = static_cast<uint32_t>(k.method);
  if (k.outNls != kAny) o.out_nls = static_cast<uint32_t>(k.outNls);
  o.use_subst = k.opts & kSubst, o.use_1_copy = (k.opts & kCopyOne) != 0, o.rscpbroken = k.opts & kStop ? 0 : 1;
  const Call c = Convert(o, k.in, k.room != 0 ? k.room : k.out.size() + 4);
  EXPECT_EQ(c.rc, k.rc);
  EXPECT_EQ(c.in, k.used == std::string::npos ? k.in.size() : k.used);
  EXPECT_EQ(Hex(c.bytes), Hex(k.out));
  if (k.rc == RSCPETOOLONG) {
    EXPECT_EQ(Code(Newest()) + P1(Newest()).substr(0, 5), u"F42len=2");
  }
  if (k.rc == RSCPENOCONV) {
    // One note for each double-byte character, and nothing filled.
    const uint32_t seq = Newest().seqNo;
    o.rscpfill = 1;
    EXPECT_EQ(Convert(o, k.in, k.out.size() + 4).out, k.out.size());
    EXPECT_EQ(Newest().seqNo - seq, 2u);
    EXPECT_EQ(Code(Newest()) + P1(Newest()) + P2(Newest()), u"F2KEUC ... ");
    EXPECT_EQ(Newest().location, 128);
  }
  // Resumed after every full output, the same bytes.
  for (size_t room = 1; room <= k.out.size() && k.rc == 0; ++room) {
    const Call r = ConvertResumed(o, k.in, room);
    if (r.rc == 0) {
      EXPECT_EQ(Hex(r.bytes), Hex(k.out)) << room;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Cells, MbPaths, ::testing::ValuesIn(kPaths));

// User-defined (F040-F9FC) and IBM extension (FA40-FC4B) codes, which the
// printer pages lack, alone, beside kanji and ASCII, twice in a row and at
// the end: each takes the tables as any character the page lacks. With
// substitution the output is what '#' in its place gives (7-bit, one frame
// per run), in every room from one framed kanji up, resumed; without, 2048
// at the code with the text before it converted.
TEST_F(EngineTest, CodesThePrinterPagesLackTakeTheTables) {
  const std::string kanji = Bytes({0x88, 0x9F});
  for (const char* to : {"8200", "8210", "8211"}) {
    rscpCObj_t o = Chosen("8000", to);
    o.rscpbroken = 1, o.use_1_copy = 0, o.use_subst = 1;
    const size_t framed = Convert(o, kanji, 64).bytes.size();
    for (int code : {0xF040, 0xF9FC, 0xFA40, 0xFBFC, 0xFC4B}) {
      const std::string c = Bytes({code >> 8, code & 0xFF});
      const std::string texts[][2] = {{"", ""}, {kanji, kanji}, {"A", "B"}, {kanji, c + "A"}, {kanji + "A" + kanji, ""}};
      for (const auto& [before, after] : texts) {
        SCOPED_TRACE(std::string(to) + " " + Hex(before + c + after));
        const std::string in = before + c + after;
        std::string marked = in;
        for (size_t at = 0; (at = marked.find(c, at)) != std::string::npos;) marked.replace(at, 2, "#");
        o.use_subst = 1;
        const uint32_t substs = o.subst_count;
        const Call want = Convert(o, marked, 256), whole = Convert(o, in, 256);
        EXPECT_EQ(whole.rc, 0);
        EXPECT_EQ(Hex(whole.bytes), Hex(want.bytes));
        EXPECT_EQ(o.subst_count - substs, in.size() - marked.size());
        EXPECT_TRUE(std::all_of(whole.bytes.begin(), whole.bytes.end(), [](char b) { return (b & 0x80) == 0; }));
        const size_t least = in.find(kanji) == std::string::npos ? 1 : framed;
        for (size_t room = least; room <= whole.bytes.size(); ++room) {
          const Call r = ConvertResumed(o, in, room);
          EXPECT_EQ(r.rc, 0) << room;
          EXPECT_EQ(Hex(r.bytes), Hex(want.bytes)) << room;
        }
        o.use_subst = 0;
        const std::string done = Convert(o, before, 256).bytes;
        for (size_t room = least; room <= done.size() + 1; ++room) {
          const Call strict = ConvertResumed(o, in, room);
          EXPECT_EQ(strict.rc, RSCPENOCONV) << room;
          EXPECT_EQ(strict.in, before.size()) << room;
          EXPECT_EQ(Hex(strict.bytes), Hex(done)) << room;
        }
        char data[32];
        snprintf(data, sizeof data, "F40len=2,data=%04x", code);
        EXPECT_EQ(Code(Newest()) + P1(Newest()), std::u16string(data, data + strlen(data)));
      }
    }
  }
}

// 8200 input where no direct path leads (JIS into Big5): every character
// takes the group tables, which the designations switch; the state waits
// in the object across calls with stop_restartable only.
TEST_F(EngineTest, Method42WalksTheGroupTables) {
  rscpCObj_t o = Chosen("8200", "8000");
  ASSERT_EQ(o.method, 42u);
  o.out_nls = 4;
  const std::string text = kEsc + "$B0!" + kEsc + "(BA";
  Call c = Convert(o, text + "\x1B$B0\"", 16);
  EXPECT_EQ(c.rc, RSCPENOCONV);
  EXPECT_EQ(Hex(c.bytes), "889F4188A0");
  for (uint32_t broken : {2u, 1u}) {
    o.rscpbroken = broken;
    c = Convert(o, "A" + kEsc + "$B", 16);
    EXPECT_EQ((o.shift_state >> 10) & 15, broken == 2 ? 1u : 0u);
    EXPECT_EQ(Hex(Convert(o, "0!", 16).bytes), broken == 2 ? "889F" : "3021");
  }
  // Cut at every byte: before the character with stop_finally, a
  // substitute for it with like_miss.
  const std::vector<size_t> starts = {0, 3, 5, 8};
  for (size_t n = 1; n < text.size(); ++n) {
    const bool cut = std::find(starts.begin(), starts.end(), n) == starts.end();
    for (uint32_t broken : {0u, 1u}) {
      o.rscpbroken = broken;
      c = Convert(o, text.substr(0, n), 16);
      EXPECT_EQ(c.in, cut && broken == 0 ? *(std::upper_bound(starts.begin(), starts.end(), n) - 1) : n) << n;
      if (cut) {
        EXPECT_TRUE(broken == 0 ? c.rc == RSCPEUNIQ : c.bytes.back() == '#') << n;
      }
    }
  }
  // A state whose group has no table.
  o.shift_state |= 11u << 10;
  c = Convert(o, "AB", 16);
  EXPECT_EQ(c.rc, RSCPEINTERN);
  EXPECT_EQ(c.in + c.out, 0u);
  EXPECT_EQ(Newest().location, 253);
  EXPECT_EQ(P1(Newest()) + P2(Newest()), u"JIS? &11");
}

// The framed writers on pairs of their own (0: ESC $ B / ESC ( B, 1:
// ESC $ ( D / ESC ( B), each list of characters one call.
TEST_F(EngineTest, FramedCharactersShareOneFramePerPair) {
  ASSERT_EQ(rscpGetSemaAndWritePermission(1), 0);
  const auto u8 = [](const char* s) { return reinterpret_cast<const uint8_t*>(s); };
  ASSERT_EQ(rscpAddShiftPair(3, u8("\x1B$B"), 3, u8("\x1B(B")), 0);
  ASSERT_EQ(rscpAddShiftPair(4, u8("\x1B$(D"), 3, u8("\x1B(B")), 0);
  rscpReleaseWritePermissionAndSema(1);
  rscpCObj_t o = Chosen("1100", "4103");
  // (rule, value); rule 0 puts the bytes "\x1B(B" unframed.
  const auto frame = [&](std::initializer_list<std::pair<uint32_t, uint16_t>> chars, size_t cap,
                         std::vector<rscpRc_t>* rcs = nullptr) {
    std::vector<uint8_t> buf(cap);
    uint8_t *pos = buf.data(), *back = nullptr;
    const rscpcOutMark mark(buf.data(), &back);
    for (auto [rule, v] : chars) {
      const rscpRc_t rc = rule == 0    ? (memcpy(pos, "\x1B(B", 3), pos += 3, 0)
                          : rule < 73 ? rscpPut2022Double(&o, 0, mark, &pos, buf.data() + cap, rule, v)
                                      : rscpPut2022Single(&o, 0, mark, &pos, buf.data() + cap, rule, uint8_t(v));
      if (rcs != nullptr) rcs->push_back(rc);
    }
    return std::string(reinterpret_cast<char*>(buf.data()), pos - buf.data());
  };
  EXPECT_EQ(frame({{58, 0x3021}, {58, 0x3022}}, 32), kEsc + "$B0!0\"" + kEsc + "(B");
  EXPECT_EQ((o.shift_state >> 24) & 15, 1u);
  EXPECT_EQ(frame({{58, 0x3021}, {59, 0x2B21}, {73, 'A'}}, 32),
            kEsc + "$B0!" + kEsc + "$(D+!" + kEsc + "$BA" + kEsc + "(B");
  // A new call frames again, whatever the object's state says; unframed
  // bytes that equal a return sequence are never taken back.
  EXPECT_EQ(frame({{0, 0}, {58, 0x3021}, {0, 0}, {58, 0x3022}}, 32),
            kEsc + "(B" + kEsc + "$B0!" + kEsc + "(B" + kEsc + "(B" + kEsc + "$B0\"" + kEsc + "(B");
  // Capacity 9 holds one framed character; the second one needs the 3
  // bytes taken back and 2 more: 32, nothing changed. Capacity 10 holds both.
  std::vector<rscpRc_t> rcs;
  o.shift_state = 0;
  EXPECT_EQ(frame({{58, 0x3021}, {58, 0x3022}}, 9, &rcs), kEsc + "$B0!" + kEsc + "(B");
  EXPECT_EQ(rcs, (std::vector<rscpRc_t>{0, RSCPETOOLONG}));
  EXPECT_EQ((o.shift_state >> 24) & 15, 1u);
  EXPECT_EQ(frame({{58, 0x3021}, {58, 0x3022}}, 10), kEsc + "$B0!0\"" + kEsc + "(B");
}

// In a conversion: a character whose bytes end like the return sequence of
// the pair before it stays in the output (it was once overwritten); a
// substitution that fits only in part leaves the output as it was, the
// taken-back return sequence included.
TEST_F(EngineTest, FramesAroundUnframedCharactersAndPartialSubstitutions) {
  rscpCObj_t o = Chosen("4103", "8200");
  const auto utf16 = [](std::u16string s) {
    return std::string(reinterpret_cast<const char*>(s.data()), s.size() * 2);
  };
  Call c = Convert(o, utf16(u"漢\x1B(J字"), 32);
  EXPECT_EQ(c.rc, 0);
  EXPECT_EQ(c.bytes, kEsc + "$B4A" + kEsc + "(J" + kEsc + "(J" + kEsc + "$B;z" + kEsc + "(J");
  ASSERT_EQ(rscpso_set_option(2, 3), 0);
  o = Chosen("4103", "8200");
  o.subst_char = 0x3013;  // GETA MARK, framed; two of them for a unit of two bytes
  c = Convert(o, utf16(u"日€"), 11);
  EXPECT_EQ(c.rc, RSCPETOOLONG);
  EXPECT_EQ(c.bytes, kEsc + "$BF|" + kEsc + "(J");
  EXPECT_EQ(Convert(o, utf16(u"日€"), 12).bytes, kEsc + "$BF|\".\"." + kEsc + "(J");
}

TEST_F(EngineTest, IconFormsAndRangeRules) {
  const uint32_t icon = rscpIconCodeToChar('0', 'a');
  const std::pair<uint32_t, std::string> forms[] = {
      {53, Bytes({0xF8, 0xFD, 0, '0', 0, 'a'})},
      {54, Bytes({0xFD, 0xF8, '0', 0, 'a', 0})},
      {55, Bytes({0xEF, 0xA3, 0xBD, '0', 'a'})},
      {56, Bytes({0, 0, 0xF8, 0xFD, 0, 0, 0, '0', 0, 0, 0, 'a'})},
      {57, Bytes({0xFD, 0xF8, 0, 0, '0', 0, 0, 0, 'a', 0, 0, 0})}};
  for (const auto& [rule, bytes] : forms) {
    uint8_t buf[16];
    for (size_t cap : {bytes.size(), bytes.size() - 1}) {
      uint8_t* pos = buf;
      int full = 7;
      rscpPutIconUnicode(icon, rule, 0, &pos, buf + cap, &full);
      EXPECT_EQ(full, cap < bytes.size()) << rule;
      EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), pos - buf), cap < bytes.size() ? "" : bytes) << rule;
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
  EXPECT_EQ(rscpRangeRuleDecode(&r, &c, b, 2) * 0x1000000 + c, 0x4E00u + 191);
  const uint8_t low[] = {0x80, 0x41};
  EXPECT_EQ(rscpRangeRuleDecode(&r, &c, low, 2) + rscpRangeRuleDecode(&r, &c, b, 1), 2);
  EXPECT_EQ(rscpRangeRuleEncode(&r, 0x4DFF, b, &n, 4) * 10 + rscpRangeRuleEncode(&r, 0x4E00 + 5001, b, &n, 4), 23);
  // Random records as a loader makes them: a code of the range encodes and
  // decodes to itself, and so does every byte sequence that decodes.
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
    ASSERT_EQ(rscpRangeRuleEncode(&q, v, b, &n, 4) + rscpRangeRuleDecode(&q, &c, b, n), 0);
    ASSERT_EQ(c, v);
    for (uint8_t& x : b) x = static_cast<uint8_t>(rng());
    uint8_t again[4];
    if (rscpRangeRuleDecode(&q, &c, b, 4) == 0) {
      ASSERT_EQ(rscpRangeRuleEncode(&q, c, again, &n, 4), 0);
      ASSERT_EQ(memcmp(again, b, static_cast<size_t>(n)), 0);
    }
  }
}

// The run's length written back: cut at the run, 0 for an input that starts
// with a single byte, the bytes taken when the output filled. The printer
// pages' runs end before a pair that their writers take as two single
// bytes (lead 0xF0 and above, trail 0xFD and above); fixed two-byte JIS
// takes it by the arithmetic.
TEST(SjisRuns, CutAtTheRunAndWrittenByTheTarget) {
  struct Run {
    const char16_t* target;
    bool l1;
    std::string in;
    int32_t room, inlen;
    std::string out;
  };
  const Run runs[] = {
      {u"8210", false, Bytes({0x88, 0x9F, 0x88, 0xA0, 0x41}), 32, 4,
       Bytes({0x1C, 0x26, 0x30, 0x21, 0x30, 0x22, 0x1C, 0x2E})},
      {u"8200", false, Bytes({0x41, 0x88, 0x9F}), 32, 0, ""},
      {u"8200", true, Bytes({0xE0, 0x40}), 32, 0, ""},
      {u"8211", true, Bytes({0x88, 0x9F, 0x88, 0xFD}), 32, 2, "\x1D" "1;1smM0!\x1D" "0;1smM"},
      {u"4103", false, Bytes({0x88, 0x9F, 0xF0, 0x40, 0xFB, 0xFC, 0x88, 0xFD}), 32, 8,
       Bytes({0x30, 0x21, 0x7F, 0x21, 0x96, 0x7E, 0x30, 0x7F})},
      {u"8200", false, Bytes({0xF0, 0x40}), 4, 0, ""},
      {u"8211", false, Bytes({0x88, 0x9F, 0xFB, 0xFC, 0x88, 0x9F}), 32, 2, "\x1D" "1;1smM0!\x1D" "0;1smM"},
      {u"8210", false, Bytes({0xE0, 0x40, 0x88, 0xFD}), 32, 2, Bytes({0x1C, 0x26, 0x5F, 0x21, 0x1C, 0x2E})},
  };
  for (const Run& r : runs) {
    uint8_t out[32];
    int32_t outlen = r.room, inlen = static_cast<int32_t>(r.in.size());
    rscpCp_t cp;
    memcpy(cp, r.target, sizeof cp);
    const auto run = r.l1 ? rscpSjisL1RunTo82xx : rscpSjisRunTo82xx;
    EXPECT_EQ(run(out, &outlen, reinterpret_cast<const uint8_t*>(r.in.data()), &inlen, &cp), 0);
    EXPECT_EQ(inlen, r.inlen) << Hex(r.in);
    EXPECT_EQ(Hex(std::string(reinterpret_cast<char*>(out), outlen)), Hex(r.out)) << Hex(r.in);
  }
}

}  // namespace
}  // namespace rscptest
