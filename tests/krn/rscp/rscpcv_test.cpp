// The conversion call's frame and shared exits over direct and tab: fill,
// full output and resumption, blanks that end an input, broken and
// unconvertible characters, same-buffer calls, the default branch and the
// refresh; the single-character writer with its handlers.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "rscpcv_fixture.h"
#include "support/testsupport.h"

namespace rscptest {
namespace {

struct PairCase {
  const char* from;
  const char* to;
  uint32_t method;
  std::string text;    // input in the from code page
  std::string expect;  // its conversion
  std::string one;     // a one-byte character and its conversion
  std::string oneOut;
};

std::string Utf16le(const std::u16string& s) {
  std::string out;
  for (char16_t c : s) out += static_cast<char>(c & 0xFF), out += static_cast<char>(c >> 8);
  return out;
}

// "Grüße, ça va?" and a Shift-JIS line with katakana, kanji and ASCII.
const PairCase kPairs[] = {
    {"1100", "1100", 2, "Gr\xFC\xDF" "e, \xE7" "a va?", "Gr\xFC\xDF" "e, \xE7" "a va?", "\xE9", "\xE9"},
    {"1100", "4103", 4, "Gr\xFC\xDF" "e, \xE7" "a va?", Utf16le(u"Grüße, ça va?"), "\xE9", Utf16le(u"é")},
    {"0100", "4103", 4, "\xC7\x99\xDC\x59\x85\x6B\x40\x48\x81\x40\xA5\x81\x6F", Utf16le(u"Grüße, ça va?"), "\x51", Utf16le(u"é")},
    {"8000", "4103", 4, "\x93\xFA\x96\x7B\x8C\xEA abc \xB1\xB2\xB3 \x83\x65\x83\x4C", Utf16le(u"日本語 abc ｱｲｳ テキ"), "\xB1", Utf16le(u"ｱ")},
};

class Pairs : public EngineTest, public ::testing::WithParamInterface<PairCase> {};

TEST_P(Pairs, OneCallAndEveryRoomResumedGiveTheSameOutput) {
  const PairCase& p = GetParam();
  rscpCObj_t o = Chosen(p.from, p.to);
  ASSERT_EQ(o.method, p.method);
  const Call one = Convert(o, p.text, p.expect.size());
  EXPECT_EQ(one.rc, 0);
  EXPECT_EQ(one.in, p.text.size());
  EXPECT_EQ(one.bytes, p.expect);
  for (size_t room = 1; room <= p.expect.size() + 2; ++room) {
    rscpeClearThrErrors();
    const Call all = ConvertResumed(o, p.text, room);
    // A room smaller than the widest character stops at its first one.
    if (all.rc == RSCPETOOLONG) {
      EXPECT_LT(room, 4u) << room;
      EXPECT_EQ(p.expect.compare(0, all.out, all.bytes), 0) << room;
      continue;
    }
    EXPECT_EQ(all.rc, 0) << room;
    EXPECT_EQ(all.bytes, p.expect) << room;
    EXPECT_EQ(all.in, p.text.size()) << room;
  }
  // A full output names its lengths and leaves both pointers behind the
  // last whole character.
  rscpeClearThrErrors();
  const Call part = Convert(o, p.text, p.expect.size() - 1);
  EXPECT_EQ(part.rc, RSCPETOOLONG);
  EXPECT_LT(part.in, p.text.size());
  EXPECT_EQ(part.bytes, p.expect.substr(0, part.out));
  const rscpErrEntry_t e = Newest();
  EXPECT_EQ(Code(e), u"F39");
  EXPECT_EQ(e.location, 20);
  EXPECT_EQ(P1(e), u"inlen&" + tovtest::FromUtf8(std::to_string(p.text.size())) + u"&outlen&" +
                       tovtest::FromUtf8(std::to_string(p.expect.size() - 1)) + u"&");
}

TEST_P(Pairs, FillEmptyInputAndSameBuffer) {
  const PairCase& p = GetParam();
  rscpCObj_t o = Chosen(p.from, p.to);
  // Empty input: nothing moves; with nulls the whole output is zeroed.
  Call c = Convert(o, "", 8);
  EXPECT_EQ(c.rc, 0);
  EXPECT_EQ(c.in + c.out, 0u);
  o.rscpfill = 1;
  c = Convert(o, "", 8);
  EXPECT_EQ(c.rc, 0);
  EXPECT_EQ(c.bytes, std::string(8, '\0'));
  // Spaces: the output code page's blank repeated; a blank of two bytes
  // must divide the rest.
  o.rscpfill = 2;
  c = Convert(o, p.text, p.expect.size() + 4 * o.out_space_len);
  EXPECT_EQ(c.rc, 0);
  std::string blanks;
  for (int i = 0; i < 4; ++i) blanks.append(reinterpret_cast<const char*>(o.out_space), o.out_space_len);
  EXPECT_EQ(c.bytes, p.expect + blanks);
  if (o.out_space_len == 2) {
    rscpeClearThrErrors();
    c = Convert(o, p.text, p.expect.size() + 3);
    EXPECT_EQ(c.rc, RSCPEUNIQ);
    EXPECT_EQ(c.bytes, p.expect);
    EXPECT_EQ(Newest().location, 234);
    EXPECT_EQ(P1(Newest()), u"3");
  }
  o.rscpfill = 0;

  // Input and output at one address: up to 512 input bytes are converted
  // from a private copy, one more is refused before anything moves.
  static std::atomic<int> lines{0};
  lines = 0;
  rscpcISetMessageLine([](const WEQ_UC*, int) { lines.fetch_add(1); });
  for (size_t n : {512u, 513u}) {
    std::string in, want;
    for (size_t i = 0; i < n; ++i) in += p.one, want += p.oneOut;
    std::vector<uint8_t> buf(2 * n + 16, 0);
    memcpy(buf.data(), in.data(), n);
    const WEQ_RAW* ip = buf.data();
    WEQ_RAW* op = buf.data();
    rscpeClearThrErrors();
    const rscpRc_t rc = rscpCConvert(&o, &op, buf.data() + buf.size(), &ip, buf.data() + n);
    if (n == 512) {
      EXPECT_EQ(rc, 0);
      EXPECT_EQ(ip, buf.data() + n);
      ASSERT_EQ(static_cast<size_t>(op - buf.data()), want.size());
      EXPECT_EQ(std::string(reinterpret_cast<char*>(buf.data()), want.size()), want);
      EXPECT_EQ(lines.load(), 1);
    } else {
      EXPECT_EQ(rc, RSCPEINVAL);
      EXPECT_EQ(ip, buf.data());
      EXPECT_EQ(op, buf.data());
      EXPECT_EQ(Code(Newest()), u"CP9");
      EXPECT_EQ(Newest().location, 140);
      EXPECT_EQ(P1(Newest()).substr(0, 13), u"rscpCConvert&");
    }
  }
  rscpcISetMessageLine(nullptr);
}

INSTANTIATE_TEST_SUITE_P(DirectAndTab, Pairs, ::testing::ValuesIn(kPairs),
                         [](const auto& info) { return std::string(info.param.from) + "_" + info.param.to; });

// --- Exits -------------------------------------------------------------------------------------

TEST_F(EngineTest, BlanksThatEndTheInputCountAsConsumedWhenTheOutputIsFull) {
  for (const char* from : {"1100", "0100"}) {
    rscpCObj_t o = Chosen(from, "4103");
    const char blank = from[0] == '1' ? ' ' : '\x40';
    const std::string ab = from[0] == '1' ? "AB" : "\xC1\xC2";
    for (uint32_t fill : {3u, 4u}) {
      o.rscpfill = fill;
      const Call c = Convert(o, ab + std::string(10, blank), 4);
      EXPECT_EQ(c.rc, 0) << from;
      EXPECT_EQ(c.in, 12u);
      EXPECT_EQ(c.bytes, Utf16le(u"AB"));
    }
    // Something else in the rest: the output is full.
    const Call c = Convert(o, ab + std::string(5, blank) + ab, 4);
    EXPECT_EQ(c.rc, RSCPETOOLONG);
    EXPECT_EQ(c.in, 2u);
    EXPECT_EQ(P1(Newest()), u"inlen&9&outlen&4&");
  }
  // Direct with 10 input bytes and 4 output bytes.
  rscpCObj_t d = Chosen("1100", "1100");
  Call c = Convert(d, "ABCDEFGHIJ", 4);
  EXPECT_EQ(c.rc, RSCPETOOLONG);
  EXPECT_EQ(c.in, 4u);
  EXPECT_EQ(c.bytes, "ABCD");
  // The equal-page choice looks neither side up, so the blank is the
  // caller's to give.
  d.rscpfill = 3;
  c = Convert(d, "ABCD      ", 4);
  EXPECT_EQ(c.rc, RSCPETOOLONG);
  d.in_space[0] = ' ';
  d.in_space_len = 1;
  c = Convert(d, "ABCD      ", 4);
  EXPECT_EQ(c.rc, 0);
  EXPECT_EQ(c.in, 10u);
}

TEST_F(EngineTest, AFourByteBlankMustDivideTheRest) {
  rscpCObj_t o = Chosen("1100", "4105");
  ASSERT_EQ(o.method, 4u);
  ASSERT_EQ(o.out_space_len, 4u);
  o.rscpfill = 2;
  Call c = Convert(o, "A", 4 + 8);
  EXPECT_EQ(c.rc, 0);
  EXPECT_EQ(c.bytes, Bytes({'A', 0, 0, 0, ' ', 0, 0, 0, ' ', 0, 0, 0}));
  c = Convert(o, "A", 4 + 6);
  EXPECT_EQ(c.rc, RSCPEUNIQ);
  EXPECT_EQ(c.out, 4u);
  EXPECT_EQ(Newest().location, 235);
}

struct BrokenCase {
  uint32_t broken;
  rscpRc_t rc;
  size_t in;          // consumed
  std::string bytes;  // produced
  bool stateKept;
};

TEST_F(EngineTest, InputCutInsideItsLastCharacterByBrokenOption) {
  // "A", then the lead byte of a two-byte character.
  const BrokenCase cases[] = {
      {0, RSCPEUNIQ, 1, Utf16le(u"A"), false},
      {1, 0, 2, Utf16le(u"A#"), false},
      {2, RSCPEUNIQ, 1, Utf16le(u"A"), true},
  };
  for (const BrokenCase& k : cases) {
    rscpCObj_t o = Chosen("8000", "4103");
    o.rscpbroken = k.broken;
    o.shift_state |= 5u << 10;
    rscpeClearThrErrors();
    const Call c = Convert(o, "A\x82", 16);
    EXPECT_EQ(c.rc, k.rc) << k.broken;
    EXPECT_EQ(c.in, k.in) << k.broken;
    EXPECT_EQ(c.bytes, k.bytes) << k.broken;
    EXPECT_EQ((o.shift_state >> 10) & 15, k.stateKept ? 5u : 0u) << k.broken;
    if (k.rc != 0) {
      const rscpErrEntry_t e = Newest();
      EXPECT_EQ(Code(e), u"F40");
      EXPECT_EQ(e.location, 65);
      EXPECT_EQ(P1(e), u"len=1,data=82");
      EXPECT_EQ(P2(e), u"&1&8000&4103&");
    } else {
      EXPECT_EQ(o.subst_count, 1u);
    }
  }
}

TEST_F(EngineTest, UnconvertibleCharactersBySubstitutionCopyOrNeither) {
  // é has no code in Shift-JIS.
  rscpCObj_t o = Chosen("1100", "8000");
  Call c = Convert(o, "a\xE9z", 8);
  EXPECT_EQ(c.rc, 0);
  EXPECT_EQ(c.bytes, "a#z");
  EXPECT_EQ(o.subst_count, 1u);
  o.use_subst = 0;
  o.use_1_copy = 1;
  c = Convert(o, "a\xE9z", 8);
  EXPECT_EQ(c.bytes, "a\xE9z");
  EXPECT_EQ(o.subst_count, 2u);
  o.use_1_copy = 0;
  rscpGetThrCtx()->bytesIn = 0;
  c = Convert(o, "a\xE9z", 8);
  EXPECT_EQ(c.rc, RSCPENOCONV);
  EXPECT_EQ(c.in, 1u);
  EXPECT_EQ(c.bytes, "a");
  EXPECT_EQ(rscpGetThrCtx()->bytesIn, 1u);
  const rscpErrEntry_t e = Newest();
  EXPECT_EQ(Code(e), u"F40");
  EXPECT_EQ(e.location, 21);
  EXPECT_EQ(P1(e), u"len=1,data=e9");
  EXPECT_EQ(P2(e), u"&1100&8000&");

  // A two-byte character without a code in Latin-1: one '#', one per byte
  // with mbc_copy 3, both bytes with copy-one.
  ASSERT_EQ(rscpso_set_option(2, 3), 0);
  rscpCObj_t k = Chosen("8000", "1100");
  c = Convert(k, "x\x93\xFAy", 8);
  EXPECT_EQ(c.bytes, "x##y");
  EXPECT_EQ(k.subst_count, 1u);
  ASSERT_EQ(rscpso_set_option(2, 2), 0);
  k = Chosen("8000", "1100");
  c = Convert(k, "x\x93\xFAy", 8);
  EXPECT_EQ(c.bytes, "x#y");
  // Output full inside the substitutions: nothing of the character stays.
  ASSERT_EQ(rscpso_set_option(2, 3), 0);
  k = Chosen("8000", "1100");
  c = Convert(k, "x\x93\xFAy", 2);
  EXPECT_EQ(c.rc, RSCPETOOLONG);
  EXPECT_EQ(c.in, 1u);
  EXPECT_EQ(c.bytes, "x");
  EXPECT_EQ(k.subst_count, 0u);
  k.use_subst = 0;
  k.use_1_copy = 1;
  c = Convert(k, "x\x93\xFAy", 8);
  EXPECT_EQ(c.bytes, "x\x93\xFAy");
}

TEST_F(EngineTest, MethodsWithoutABranchMoveNothing) {
  for (uint32_t m : {0u, 1u, 3u, 43u, 44u, 45u, 46u, 47u, 50u, 0xFFFFFFFFu}) {
    rscpCObj_t o = Chosen("1100", "4103");
    o.method = m;
    o.rscpfill = 1;
    rscpeClearThrErrors();
    const Call c = Convert(o, "AB", 8);
    EXPECT_EQ(c.rc, RSCPENOCONV) << m;
    EXPECT_EQ(c.in + c.out, 0u) << m;
    const rscpErrEntry_t e = Newest();
    EXPECT_EQ(Code(e), u"F38");
    EXPECT_EQ(e.location, 68);
    EXPECT_EQ(P1(e), std::u16string(rscpNameOfMethod(m)));
    EXPECT_EQ(P2(e), u"&1100->4103&");
  }
}

TEST_F(EngineTest, EarlyFailuresLeaveThePointersAndTheShiftState) {
  std::vector<uint8_t> buf(8);
  const uint8_t src[2] = {'A', 'B'};
  const WEQ_RAW* ip = src;
  WEQ_RAW* op = buf.data();
  // No object.
  EXPECT_EQ(rscpCConvert(nullptr, &op, buf.data() + 8, &ip, src + 2), RSCPENOCONV);
  EXPECT_EQ(Newest().location, 18);
  // Lengths that are negative or beyond 32 bits never reach a copy.
  rscpCObj_t o = Chosen("1100", "1100");
  // Ends computed, not dereferenced: one before a start, 4 GiB behind it.
  const auto at = [](const void* p, int64_t d) {
    return reinterpret_cast<WEQ_RAW*>(reinterpret_cast<uintptr_t>(p) + static_cast<uintptr_t>(d));
  };
  EXPECT_EQ(rscpCConvert(&o, &op, buf.data() + 8, &ip, at(src, -1)), RSCPEINVAL);
  EXPECT_EQ(rscpCConvert(&o, &op, at(buf.data(), -1), &ip, src + 2), RSCPEINVAL);
  EXPECT_EQ(rscpCConvert(&o, &op, at(buf.data(), int64_t{1} << 32), &ip, src + 2), RSCPEINVAL);
  EXPECT_EQ(rscpCConvert(&o, &op, buf.data() + 8, nullptr, src + 2), RSCPEINVAL);
  EXPECT_EQ(ip, src);
  EXPECT_EQ(op, buf.data());
  // A table method without its tables.
  o = Chosen("1100", "4103");
  o.in_t1 = 0;
  o.shift_state |= 3u << 10;
  Call c = Convert(o, "AB", 8);
  EXPECT_EQ(c.rc, RSCPENOCONV);
  EXPECT_EQ(c.in + c.out, 0u);
  EXPECT_EQ(Newest().location, 67);
  EXPECT_EQ(P1(Newest()), u"0");
  EXPECT_EQ((o.shift_state >> 10) & 15, 3u);
  // A stale object whose choice now fails: nothing moves, and the cache
  // mutex is free for everybody else afterwards.
  ExpectFailedRefreshMovesNothing(Chosen("1100", "4103"));
}

TEST_F(EngineTest, ObjectsNamingForeignTablesAreChosenAgain) {
  const rscpCObj_t good = Chosen("8000", "4103");
  const uint32_t length = rscpIGetPublishedCache()->length;
  for (auto spoil : {+[](rscpCObj_t& o, uint32_t) { o.in_t1 = 0xFFFF; }, +[](rscpCObj_t& o, uint32_t) { o.out_t1 = 8; },
                     +[](rscpCObj_t& o, uint32_t n) { o.out_t1 = n - 4; }, +[](rscpCObj_t& o, uint32_t) { o.out_t1 |= 1; },
                     +[](rscpCObj_t& o, uint32_t) { o.in_t1 = 1; }}) {
    rscpCObj_t o = good;
    spoil(o, length);
    const Call c = Convert(o, "\x93\xFA" "A", 8);
    EXPECT_EQ(c.rc, 0);
    EXPECT_EQ(c.bytes, Utf16le(u"日A"));
    EXPECT_EQ(o.in_t1, good.in_t1);
    EXPECT_EQ(o.out_t1, good.out_t1);
  }
}

TEST_F(EngineTest, StaleObjectsAndTheLanguageCheckChooseBeforeConverting) {
  rscpCObj_t o = Chosen("8100", "4103");
  ASSERT_EQ(o.method, 5u);
  ASSERT_EQ(o.lang_key, u'E');
  // The language hook answers 'E': a key that differs resets the choice,
  // and the choice takes the hook's key again.
  o.lang_key = u'J';
  Call c = Convert(o, "\xC6\xFC", 8);
  EXPECT_EQ(c.rc, 0);
  EXPECT_EQ(c.bytes, Utf16le(u"日"));
  EXPECT_EQ(o.lang_key, u'E');
  // tab makes no such check.
  rscpCObj_t t = Chosen("8000", "4103");
  t.lang_key = u'J';
  c = Convert(t, "A", 8);
  EXPECT_EQ(t.lang_key, u'J');
  // After an invalidation the next call rebuilds and chooses first.
  const uint32_t before = o.cache_version;
  ASSERT_EQ(rscpInvalidateLocked(nullptr, nullptr, u"test", -1, -1), 0);
  c = Convert(o, "\xC6\xFC", 8);
  EXPECT_EQ(c.rc, 0);
  EXPECT_EQ(c.bytes, Utf16le(u"日"));
  EXPECT_NE(o.cache_version, before);
  EXPECT_EQ(o.cache_version, rscpCacheVersion(rscpIGetPublishedCache()));
}

TEST_F(EngineTest, LoadingTheIso2022PageWritesNoAttributeLines) {
  tovtest::CaptureFd err;
  const rscpCObj_t o = Chosen("1100", "8200");
  EXPECT_NE(o.out_t1, 0u);
  EXPECT_EQ(err.Take().find("too large to fit"), std::string::npos);
}

// --- Single-character writer ------------------------------------------------------------------

struct Put {
  rscpRc_t rc;
  std::string bytes;
};
Put PutOne(rscpCObj_t& o, uint32_t c, size_t room) {
  std::vector<uint8_t> buf(room + 8, 0xEE);
  WEQ_RAW* p = buf.data();
  const rscpRc_t rc = rscpCPutChar(&o, &p, buf.data() + room, c);
  for (size_t i = room; i < buf.size(); ++i) EXPECT_EQ(buf[i], 0xEE);
  return {rc, std::string(reinterpret_cast<char*>(buf.data()), static_cast<size_t>(p - buf.data()))};
}

TEST_F(EngineTest, SingleCharacterWriter) {
  rscpCObj_t o = Chosen("4103", "1100");
  EXPECT_EQ(PutOne(o, 0x41, 1).bytes, "A");
  Put p = PutOne(o, 0x41, 0);
  EXPECT_EQ(p.rc, RSCPETOOLONG);
  EXPECT_EQ(Code(Newest()), u"F42");
  EXPECT_EQ(P1(Newest()), u"want&1&must&0&");
  p = PutOne(o, 0x20AC, 4);
  EXPECT_EQ(p.bytes, "#");
  EXPECT_EQ(o.subst_count, 1u);
  o.use_subst = 0;
  p = PutOne(o, 0x20AC, 4);
  EXPECT_EQ(p.rc, RSCPENOCONV);
  EXPECT_EQ(Code(Newest()), u"CPP");
  EXPECT_EQ(P1(Newest()), u"1100");
  EXPECT_EQ(P2(Newest()), u"&000020ac&");
  // A substitution character without a code is not substituted again.
  o.use_subst = 1;
  o.subst_char = 0x20AC;
  EXPECT_EQ(PutOne(o, 0x3042, 4).rc, RSCPENOCONV);
  EXPECT_EQ(Code(Newest()), u"CPP");
  EXPECT_EQ(P2(Newest()), u"&000020ac&");
  // Beyond the highest character number.
  p = PutOne(o, 0x7FFFFFFF, 4);
  EXPECT_EQ(p.rc, RSCPENOCONV);
  EXPECT_EQ(Code(Newest()), u"F40");
  // Counted and weqcode forms count one character in and the bytes out.
  o = Chosen("1100", "4103");
  rscpThrCtx_t* ctx = rscpGetThrCtx();
  ctx->bytesIn = ctx->bytesOut = 0;
  std::vector<uint8_t> buf(8);
  WEQ_RAW* q = buf.data();
  EXPECT_EQ(rscpCPutCharCounted(&o, &q, buf.data() + 8, 0x1F600), 0);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf.data()), 4), Bytes({0x3D, 0xD8, 0x00, 0xDE}));
  EXPECT_EQ(ctx->bytesIn, 1u);
  EXPECT_EQ(ctx->bytesOut, 4u);
  q = buf.data();
  uint16_t w = 1;
  while (w < 4000 && (rscpCharNumberToUnicode(w) < 0x20 || rscpCharNumberToUnicode(w) > 0xFFFF)) ++w;
  const uint32_t u = rscpCharNumberToUnicode(w);
  ASSERT_LT(w, 4000);
  EXPECT_EQ(rscpCPutCharNumber(&o, &q, buf.data() + 8, w), 0);
  EXPECT_EQ(buf[0] | buf[1] << 8, static_cast<int>(u));
  // Above the character map (the mapper reports), and inside it without a
  // Unicode value (the writer reports): one F40 each, nothing written.
  int unmapped = 1;
  while (unmapped <= rscpIGetPublishedCache()->tcp01_mappings && rscpCharNumberToUnicode(unmapped) != 0) ++unmapped;
  ASSERT_LE(unmapped, rscpIGetPublishedCache()->tcp01_mappings);
  for (int weqcode : {65535, unmapped}) {
    rscpeClearThrErrors();
    q = buf.data();
    EXPECT_EQ(rscpCPutCharNumber(&o, &q, buf.data() + 8, static_cast<uint16_t>(weqcode)), RSCPENOCONV);
    EXPECT_EQ(rscpeg__get_thr_errors()->count, 1) << weqcode;
    EXPECT_EQ(Code(Newest()), u"F40");
    EXPECT_EQ(q, buf.data());
  }
}

TEST_F(EngineTest, DropAndUnconvertibleHandlers) {
  rscpCObj_t o = Chosen("8000", "1100");
  std::vector<uint8_t> buf(4);
  struct DropCase {
    uint32_t drop;
    int result;
    std::string bytes;
    uint32_t substs;
  };
  for (const DropCase& d : {DropCase{0, 1, "", 0}, DropCase{1, 0, "#", 1}, DropCase{2, 0, "", 0},
                            DropCase{3, 0, " ", 1}, DropCase{7, 2, "", 0}}) {
    o.drop = d.drop;
    o.subst_count = 0;
    WEQ_RAW* p = buf.data();
    int result = -1;
    EXPECT_EQ(rscpCDropChar(&o, &p, buf.data() + 4, &result), 0) << d.drop;
    EXPECT_EQ(result, d.result) << d.drop;
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf.data()), static_cast<size_t>(p - buf.data())), d.bytes);
    EXPECT_EQ(o.subst_count, d.substs);
  }
  o.drop = 1;
  WEQ_RAW* p = buf.data();
  int result = -1;
  EXPECT_EQ(rscpCDropChar(&o, &p, buf.data(), &result), RSCPETOOLONG);
  EXPECT_EQ(result, 2);

  const uint8_t ch[2] = {0x93, 0xFA};
  rscpRc_t code = 0;
  o.use_subst = 0;
  o.use_1_copy = 0;
  p = buf.data();
  EXPECT_EQ(rscpCUnconvertible(&o, &p, buf.data() + 4, ch + 2, ch, &code), 3);
  o.use_1_copy = 1;
  EXPECT_EQ(rscpCUnconvertible(&o, &p, buf.data() + 1, ch + 2, ch, &code), 2);
  EXPECT_EQ(p, buf.data());
  EXPECT_EQ(rscpCUnconvertible(&o, &p, buf.data() + 4, ch + 2, ch, &code), 0);
  EXPECT_EQ(p, buf.data() + 2);
  EXPECT_EQ(buf[0], 0x93);
  o.use_1_copy = 0;
  o.use_subst = 1;
  ASSERT_EQ(rscpso_set_option(2, 3), 0);
  o = Chosen("8000", "1100");
  p = buf.data();
  EXPECT_EQ(rscpCUnconvertible(&o, &p, buf.data() + 4, ch + 2, ch, &code), 0);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf.data()), 2), "##");
  EXPECT_EQ(o.subst_count, 1u);
  p = buf.data();
  EXPECT_EQ(rscpCUnconvertible(&o, &p, buf.data() + 1, ch + 2, ch, &code), 2);
  EXPECT_EQ(p, buf.data());
  EXPECT_EQ(o.subst_count, 1u);
}

TEST_F(EngineTest, OutputTableCheckLooksTheOutputUpAndKeepsMethodsWithoutTables) {
  struct CheckCase {
    uint32_t method;
    uint32_t after;
  };
  for (const CheckCase& k : {CheckCase{2, 2}, CheckCase{12, 12}, CheckCase{48, 48}, CheckCase{4, 0}, CheckCase{33, 0}}) {
    rscpCObj_t o = JavaObject("1100", "4103");
    o.method = k.method;
    EXPECT_EQ(rscpCCheckOutTab(&o), 0);
    EXPECT_EQ(o.method, k.after) << k.method;
    EXPECT_EQ(o.out_looked_up, 1);
    EXPECT_NE(o.out_t1, 0u);
  }
  // A stale object chooses both sides again.
  rscpCObj_t o = Chosen("1100", "4103");
  o.cache_version = 0;
  EXPECT_EQ(rscpCCheckOutTab(&o), 0);
  EXPECT_EQ(o.method, 4u);
  EXPECT_EQ(rscpCCheckOutTab(nullptr), RSCPENOCONV);
}

TEST(FormatData, LengthAndAtMostTenBytes) {
  WEQ_UC buf[RSCPC_DATA_UNITS];
  const uint8_t b[12] = {0, 1, 0xAB, 3, 4, 5, 6, 7, 8, 9, 10, 11};
  rscpCFormatData(buf, b, 12);
  EXPECT_EQ(std::u16string(buf), u"len=12,data=0001ab0304050607080" u"9");
  rscpCFormatData(buf, b, 0);
  EXPECT_EQ(std::u16string(buf), u"len=0,data=");
  rscpCFormatData(buf, b, -3);
  EXPECT_EQ(std::u16string(buf), u"len=-3,data=");
}

}  // namespace
}  // namespace rscptest
