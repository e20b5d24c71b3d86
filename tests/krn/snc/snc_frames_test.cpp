// SNC return codes and frames: the code table's lookups and recording, the
// frames of an independent Python encoder built byte for byte and read
// back, the parser's refusals, the output buffer's growth, and the network
// form of texts.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <array>

#include <string>
#include <vector>

#include "krn/dptrc/err.h"
#include "krn/snc/snc.h"
#include "krn/snc/snc_int.h"
#include "snc_test_util.h"

namespace {

using namespace snctest;
using tovtest::FromUtf8;
using tovtest::ToUtf8;

#include "snc_frames.inc"

class ThreadsOn : public ::testing::Environment {
 public:
  void SetUp() override { ThrProcInit(); }
};
const auto* const kThreadsOn = ::testing::AddGlobalTestEnvironment(new ThreadsOn);

// --- Return codes -----------------------------------------------------------------

// Every code from -1 to -46 has a name of its own except -10 and -45; the
// duplicate -41 answers with its first text; 0 and 1 end the table.
TEST(SncCodes, NamesAndTexts) {
  for (int code = -50; code <= 3; ++code) {
    const std::string name = SncErrName(code), text = SncErrText(code);
    const bool named = (code >= -46 && code <= -1 && code != -10 && code != -45);
    if (named) {
      EXPECT_EQ(name.rfind("SNCERR_", 0), 0u) << code;
      EXPECT_FALSE(text.empty()) << code;
    } else if (code == 0 || code == 1) {
      EXPECT_EQ(name, code == 0 ? "WEQ_O_K" : "Unknown error");
      EXPECT_EQ(text, "");
    } else {
      EXPECT_EQ(name, "Unknown errorcode " + std::to_string(code));
      EXPECT_EQ(text, "") << code;
    }
  }
  const std::vector<std::vector<std::string>> rows = {
      {std::to_string(SNCERR_AUTH_MISMATCH), "SNCERR_AUTH_MISMATCH", "Authenticated user differs from expected peer (ACLentry)"},
      {"-43", "SNCERR_UNICODE_MISSING", "This function is not implementted for the WEQ UNICODE environment"},
      {"-46", "SNCERR_THREAD_MALFUNCT", "The SNC Mutex could not be initialized"},
      {"-9", "SNCERR_INTERNAL", "(bug) SNC-layer is confused."},
      {"-37", "SNCERR_PLAUSI", "Releasing a gssapi object failed.  (bug in SNC or GSSAPI)"},
  };
  for (const auto& r : rows) {
    const int code = std::stoi(r[0]);
    EXPECT_EQ((std::vector<std::string>{SncErrName(code), SncErrText(code)}), (std::vector<std::string>{r[1], r[2]}));
  }
}

// The 16-bit name: cut to the buffer less one unit and always terminated;
// no buffer or no room gives NULL; one unit of room is the empty text.
TEST(SncCodes, NameU16) {
  struct Case {
    int code;
    size_t len;
    std::u16string want;
  };
  const Case cases[] = {{-1, 5, u"SNCE"},      {-1, 2, u"S"},         {-1, 1, u""},
                        {-1, 64, u"SNCERR_INIT"}, {-1, 12, u"SNCERR_INIT"}, {-1, 11, u"SNCERR_INI"},
                        {-10, 64, u"Unknown errorcode -10"}, {0, 8, u"WEQ_O_K"}};
  for (const Case& c : cases) {
    WEQ_UC buf[80];
    std::fill(std::begin(buf), std::end(buf), u'#');
    EXPECT_EQ(SncErrNameU16(c.code, buf, c.len), buf);
    EXPECT_EQ(std::u16string(buf), c.want) << c.code << "/" << c.len;
    EXPECT_EQ(buf[c.len], u'#') << "written beyond the buffer";
  }
  WEQ_UC one = u'#';
  EXPECT_EQ(SncErrNameU16(-1, &one, 0), nullptr);
  EXPECT_EQ(one, u'#');
  EXPECT_EQ(SncErrNameU16(-1, nullptr, 10), nullptr);
}

// The record names the component, the code's name and text; a second call
// with the same code keeps the first record whole, another code replaces it.
TEST(SncCodes, ErrSetKeepsARecordOfTheSameCode) {
  ErrClear();
  SncErrSet(SNCERR_INVALID_FRAME);
  std::vector<std::string> got;
  for (int f : {ERR_FLD_ERROR, ERR_FLD_RC, ERR_FLD_COMPONENT, ERR_FLD_VERSION, ERR_FLD_MODULE, ERR_FLD_DETAIL})
    got.push_back(ToUtf8(ErrGetFld(f)));
  EXPECT_EQ(got, (std::vector<std::string>{"SNCERR_INVALID_FRAME", "-12", "SNC (Secure Network Communication)", "5", "",
                                           "A received frame is invalid/truncated or is no SNC-frame"}));
  const WEQ_UC* rec = nullptr;
  size_t len = 0;
  ASSERT_EQ(ErrGetAttr(&rec, &len), 0);
  const std::u16string first(rec, len);
  ErrSetLocation(u"somewhere else");
  SncErrSet(SNCERR_INVALID_FRAME);
  ASSERT_EQ(ErrGetAttr(&rec, &len), 0);
  EXPECT_EQ(std::u16string(rec, len), first);
  SncErrSet(-45);
  EXPECT_EQ((std::vector<std::string>{ToUtf8(ErrGetFld(ERR_FLD_ERROR)), ToUtf8(ErrGetFld(ERR_FLD_RC)),
                                      ToUtf8(ErrGetFld(ERR_FLD_DETAIL))}),
            (std::vector<std::string>{"Unknown errorcode -45", "-45", ""}));
  // Another component with the same number is not the same record.
  ErrSetInfo(u"NI (network interface)", 1, u"ni", 1, u"x", -45, nullptr);
  SncErrSet(-45);
  EXPECT_EQ(ToUtf8(ErrGetFld(ERR_FLD_COMPONENT)), "SNC (Secure Network Communication)");
  ErrClear();
}

// A record that would not fit the error information beside a long location
// text keeps its detail cut instead of being dropped.
TEST(SncCodes, LongDetailsAreCut) {
  ErrClear();
  ErrSetLocation(u"%s", std::u16string(300, u'L').c_str());
  const std::string detail = "start " + std::string(250, 'd');
  SncPSetErrInfo("sncxx", 1, SNCERR_GSSAPI, detail.c_str());
  const std::string got = ToUtf8(ErrGetFld(ERR_FLD_DETAIL));
  EXPECT_EQ(ToUtf8(ErrGetFld(ERR_FLD_ERROR)), "SNCERR_GSSAPI");
  EXPECT_TRUE(got.size() < detail.size() && got.size() > 5 && detail.rfind(got, 0) == 0) << got.size();
  ErrSetLocation(u"");
  ErrClear();
}

// --- Frames -------------------------------------------------------------------------

SncSession Session(const BuildFixture& f) {
  SncSession s{};
  s.mark = SNC_HDL_MARK;
  s.adapterType = static_cast<uint16_t>(f.adapter);
  s.frameFlags = static_cast<uint16_t>(f.sessionFlags);
  s.qopMin = f.qop[0];
  s.qopMax = f.qop[1];
  s.qopUse = f.qop[2];
  return s;
}

SncBytes B(const Bytes& b) { return {b.empty() ? nullptr : b.data(), static_cast<uint32_t>(b.size())}; }

// Each frame of the encoder is built byte for byte, and the parser gives
// back its type, version, adapter, flags, parts and items.
TEST(SncFrames, BuildMatchesTheEncoderAndParsesBack) {
  for (const BuildFixture& f : kBuildFixtures) {
    SCOPED_TRACE(f.name);
    SncSession s = Session(f);
    SncBytes items[SNC_FRAME_ITEMS];
    for (int i = 0; i < SNC_FRAME_ITEMS; ++i) items[i] = B(f.items[i]);
    ASSERT_EQ(MakeFrame(&s, B(f.token), B(f.data), f.type, static_cast<uint16_t>(f.flags), items, &s.out), WEQ_O_K);
    EXPECT_EQ(Hex(s.out.data, s.out.used), Hex(f.frame.data(), f.frame.size()));
    EXPECT_EQ(s.framesOut, 1u);
    SncParsedFrame p;
    ASSERT_EQ(UnFrame(&s, s.out.data, s.out.used, &p), WEQ_O_K);
    const bool qop = f.type == FR_INIT_REQ || f.type == FR_INIT || f.type == FR_ACCEPT;
    EXPECT_EQ((std::vector<uint32_t>{p.type, p.version, p.adapterType, p.flags & 1u, p.frameLen, p.qopMin, p.qopMax,
                                     p.qopUse}),
              (std::vector<uint32_t>{static_cast<uint32_t>(f.type), 5, static_cast<uint32_t>(f.adapter),
                                     static_cast<uint32_t>((f.flags | f.sessionFlags) & 1), s.out.used,
                                     qop ? static_cast<uint32_t>(f.qop[0]) : 0, qop ? static_cast<uint32_t>(f.qop[1]) : 0,
                                     qop ? static_cast<uint32_t>(f.qop[2]) : 0}));
    EXPECT_EQ(Bytes(p.token, p.token + p.tokenLen), f.token);
    EXPECT_EQ(Bytes(p.data, p.data + p.dataLen), f.data);
    for (int i = 0; i < SNC_FRAME_ITEMS; ++i)
      EXPECT_EQ(Bytes(p.item[i].p, p.item[i].p + p.item[i].len), f.items[i]) << "item " << i;
    EXPECT_EQ(s.framesIn, 1u);
    SncPFreeOutBuf(&s.out);
  }
}

// Refusals and acceptances of the parser: what it reports lies inside the
// input, and a refused frame leaves the counter alone.
TEST(SncFrames, ParseCases) {
  for (const ParseFixture& f : kParseFixtures) {
    SCOPED_TRACE(f.name);
    SncSession s{};
    SncParsedFrame p;
    const SNC_RC rc = UnFrame(&s, f.in.data(), f.in.size(), &p);
    ASSERT_EQ(rc, f.ok ? WEQ_O_K : SNCERR_INVALID_FRAME);
    EXPECT_EQ(s.framesIn, f.ok ? 1u : 0u);
    if (!f.ok) continue;
    const uint8_t* in = f.in.data();
    std::vector<uint32_t> got = {p.type, p.version, p.hdrLen, static_cast<uint32_t>(p.token - in), p.tokenLen,
                                 static_cast<uint32_t>(p.data - in), p.dataLen, p.frameLen, p.qopMin, p.qopMax,
                                 p.qopUse, p.itemMask};
    std::vector<uint32_t> want = {static_cast<uint32_t>(f.type), static_cast<uint32_t>(f.version),
                                  static_cast<uint32_t>(f.hdrLen), f.token[0], f.token[1], f.data[0], f.data[1],
                                  f.frameLen, static_cast<uint32_t>(f.qop[0]), static_cast<uint32_t>(f.qop[1]),
                                  static_cast<uint32_t>(f.qop[2]), f.mask};
    for (int i = 0; i < SNC_FRAME_ITEMS; ++i) {
      got.push_back(p.item[i].len > 0 ? static_cast<uint32_t>(p.item[i].p - in) : 0);
      got.push_back(p.item[i].len);
      want.push_back(f.items[i][0]);
      want.push_back(f.items[i][1]);
    }
    EXPECT_EQ(got, want);
    EXPECT_LE(p.frameLen, f.in.size());
  }
}

// Two frames back to back: the second is parsed from where the first ends.
TEST(SncFrames, BackToBack) {
  SncSession s{};
  s.qopMin = 1, s.qopMax = 3, s.qopUse = 3;
  const Bytes tok = {1, 2, 3}, data = {'a', 'b'};
  ASSERT_EQ(MakeFrame(&s, B(tok), B(data), FR_ACCEPT, 0, nullptr, &s.out), WEQ_O_K);
  Bytes both(s.out.data, s.out.data + s.out.used);
  ASSERT_EQ(MakeFrame(&s, {}, B(data), FR_SHUTDOWN_MSG, 0, nullptr, &s.out), WEQ_O_K);
  both.insert(both.end(), s.out.data, s.out.data + s.out.used);
  SncParsedFrame a, b;
  ASSERT_EQ(UnFrame(&s, both.data(), both.size(), &a), WEQ_O_K);
  ASSERT_EQ(UnFrame(&s, both.data() + a.frameLen, both.size() - a.frameLen, &b), WEQ_O_K);
  EXPECT_EQ((std::vector<uint32_t>{a.type, a.frameLen, b.type, a.frameLen + b.frameLen, s.framesIn}),
            (std::vector<uint32_t>{FR_ACCEPT, 24 + 3 + 2, FR_SHUTDOWN_MSG, static_cast<uint32_t>(both.size()), 2}));
  SncPFreeOutBuf(&s.out);
}

// Frames that cannot be built: unknown types, broken rules, items beyond
// their 2-byte length or an extension beyond the 2-byte header length. The
// buffer keeps its contents and capacity.
TEST(SncFrames, BuildRefusals) {
  SncSession s{};
  const Bytes one = {1}, big(40000, 'x'), huge(70000, 'y');
  ASSERT_EQ(MakeFrame(&s, {}, B(one), FR_DATA_OPEN, 0, nullptr, &s.out), WEQ_O_K);
  const Bytes before(s.out.data, s.out.data + s.out.used);
  const uint32_t cap = s.out.capacity;
  SncBytes twoBig[SNC_FRAME_ITEMS] = {B(big), B(big)};
  SncBytes oneHuge[SNC_FRAME_ITEMS] = {{}, {}, B(huge)};
  struct Case {
    const char* what;
    SncBytes token, data;
    int type;
    const SncBytes* items;
  };
  const Case cases[] = {
      {"type 14", {}, {}, 14, nullptr},       {"type -1", {}, {}, -1, nullptr},
      {"INIT without token", {}, B(one), FR_INIT, nullptr}, {"DATA_WRAP with data", B(one), B(one), FR_DATA_WRAP, nullptr},
      {"INIT_REQ with data", {}, B(one), FR_INIT_REQ, nullptr}, {"DATA_OPEN without data", {}, {}, FR_DATA_OPEN, nullptr},
      {"extension over 16 bits", {}, {}, FR_ERROR, twoBig},   {"item over 16 bits", {}, {}, FR_ERROR, oneHuge},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(MakeFrame(&s, c.token, c.data, c.type, 0, c.items, &s.out), SNCERR_INTERNAL) << c.what;
    EXPECT_EQ(Bytes(s.out.data, s.out.data + s.out.used), before) << c.what;
    EXPECT_EQ(s.out.capacity, cap) << c.what;
  }
  EXPECT_EQ(s.framesOut, 1u);
  SncPFreeOutBuf(&s.out);
}

// Growth: 10,000 data bytes with an overhead of 100 need 10,156 bytes and
// give 10,200; a frame that fits keeps the buffer; a need beyond 32 bits
// fails without touching the buffer.
TEST(SncFrames, OutputBufferGrowth) {
  const uint32_t saved = gSnc.maxOverhead;
  gSnc.maxOverhead = 100;
  SncSession s{};
  const Bytes data(10000, 'd');
  ASSERT_EQ(MakeFrame(&s, {}, B(data), FR_DATA_OPEN, 0, nullptr, &s.out), WEQ_O_K);
  EXPECT_EQ((std::vector<uint32_t>{s.out.capacity, s.out.used, s.out.room}), (std::vector<uint32_t>{10200, 10024, 10044}));
  uint8_t* kept = s.out.data;
  const Bytes more(10044, 'e');
  ASSERT_EQ(MakeFrame(&s, {}, B(more), FR_DATA_OPEN, 0, nullptr, &s.out), WEQ_O_K);
  EXPECT_EQ((std::vector<uintptr_t>{reinterpret_cast<uintptr_t>(s.out.data), s.out.capacity}),
            (std::vector<uintptr_t>{reinterpret_cast<uintptr_t>(kept), 10200}));
  const Bytes over(10045, 'f');
  ASSERT_EQ(MakeFrame(&s, {}, B(over), FR_DATA_OPEN, 0, nullptr, &s.out), WEQ_O_K);
  EXPECT_EQ(s.out.capacity, 12248u);
  // From 0xFFFFFFD9 on the rule gives 4 GiB or more, which 32-bit lengths
  // cannot describe (a rule kept in 31 bits would hand out a small buffer).
  for (uint64_t need : {uint64_t{0xFFFFFFD9}, uint64_t{0xFFFFFFFF}, uint64_t{1} << 33}) {
    EXPECT_EQ(SncPGrowOutBuf(&s.out, need), SNCERR_NO_RESOURCE) << need;
    EXPECT_EQ(s.out.capacity, 12248u);
  }
  SncPFreeOutBuf(&s.out);
  gSnc.maxOverhead = saved;
}

// QOP values outside 1..3 write their own two bits only.
TEST(SncFrames, QopBitsStayInTheirFields) {
  SncSession s{};
  const Bytes tok = {9};
  for (int v : {0, 1, 2, 3, 7, 8, 9, 0x7F}) {
    s.qopMin = v, s.qopMax = 0, s.qopUse = 0;
    ASSERT_EQ(MakeFrame(&s, B(tok), {}, FR_INIT, 0, nullptr, &s.out), WEQ_O_K);
    EXPECT_EQ(s.out.data[22] << 8 | s.out.data[23], (v & 3) << 1) << v;
    s.qopMin = 0, s.qopUse = v;
    ASSERT_EQ(MakeFrame(&s, B(tok), {}, FR_ACCEPT, 0x8000, nullptr, &s.out), WEQ_O_K);
    EXPECT_EQ(s.out.data[22] << 8 | s.out.data[23], 0x8000 | (v & 3) << 5) << v;
  }
  SncPFreeOutBuf(&s.out);
}

// ERROR frames from the peer: the wrong-target code with the acceptor's
// names, another code, and a frame without its code.
TEST(SncFrames, ErrorFrames) {
  const BuildFixture* wrongTarget = nullptr;
  for (const BuildFixture& f : kBuildFixtures)
    if (std::string(f.name) == "ERROR_wrong_target") wrongTarget = &f;
  ASSERT_NE(wrongTarget, nullptr);
  struct Case {
    const char* what;
    std::array<Bytes, 8> items;
    SNC_RC rc;
    std::string peer, detail;
  };
  const Bytes canon = wrongTarget->items[0], code40 = {0, 40}, code7 = {0, 7};
  const Bytes pr = {'p', ':', 'a', 'c', 'c', 0x01, 'r'}, text = {'w', 'r', 'o', 'n', 'g'};
  const Case cases[] = {
      {"wrong target", wrongTarget->items, SNCERR_WRONG_TARGET, Hex(canon.data(), canon.size()),
       "answer from \"p:acceptor@REALM\""},
      {"wrong target with a text", {{{}, {}, pr, code40, text}}, SNCERR_WRONG_TARGET, "old",
       "answer from \"p:acc?r\"\nwrong"},
      {"another code", {{canon, {}, {}, code7}}, -7, "old", ""},
      {"no code", {{canon, {}, pr}}, -10, "old", "Error code missing in ERROR-Frame!"},
      {"code of one byte", {{{}, {}, {}, {7}}}, -10, "old", "Error code missing in ERROR-Frame!"},
  };
  for (const Case& c : cases) {
    SncSession s{};
    s.state = SNC_STATE_INITIATING;
    s.peerName.xpName = static_cast<uint8_t*>(malloc(3));
    memcpy(s.peerName.xpName, "old", 3);
    s.peerName.xpLen = 3;
    SncBytes items[SNC_FRAME_ITEMS];
    for (int i = 0; i < SNC_FRAME_ITEMS; ++i) items[i] = B(c.items[i]);
    const Bytes zero = {0};
    ASSERT_EQ(MakeFrame(&s, {}, B(zero), FR_ERROR, 0, items, &s.out), WEQ_O_K);
    SncParsedFrame f;
    ASSERT_EQ(UnFrame(&s, s.out.data, s.out.used, &f), WEQ_O_K);
    ErrClear();
    EXPECT_EQ(SncPReceiveErrorFrame(&s, &f), c.rc) << c.what;
    EXPECT_EQ(s.state, SNC_STATE_ERROR);
    const std::string peer = std::string(reinterpret_cast<char*>(s.peerName.xpName), s.peerName.xpLen);
    EXPECT_EQ(peer == "old" ? peer : Hex(s.peerName.xpName, s.peerName.xpLen), c.peer) << c.what;
    EXPECT_EQ(ToUtf8(ErrGetFld(ERR_FLD_DETAIL)), c.detail) << c.what;
    SncPClearName(&s.peerName);
    SncPFreeOutBuf(&s.out);
  }
}

// Network strings: printable 7-bit text passes, everything else becomes
// '?', the copy is cut to the room and terminated.
TEST(SncFrames, NetworkStrings) {
  struct Case {
    std::string in;
    size_t size;
    std::string want;
  };
  const Case cases[] = {{"p:user@REALM", 64, "p:user@REALM"}, {"tab\there", 64, "tab?here"},
                        {"\x7f\x80\xff~ ", 64, "???~ "},         {"abcdef", 4, "abc"},
                        {"abc", 1, ""},                          {std::string("a\0b", 3), 64, "a"}};
  for (const Case& c : cases) {
    char out[64];
    memset(out, '#', sizeof out);
    EXPECT_EQ(SncPStringToNet(c.in.data(), c.in.size(), out, c.size), c.want.size()) << c.in;
    EXPECT_EQ(std::string(out), c.want);
    memset(out, '#', sizeof out);
    EXPECT_EQ(SncPNetToString(c.in.data(), c.in.size(), out, c.size), c.want.size()) << c.in;
    EXPECT_EQ(std::string(out), c.want);
  }
}

// The rule check answers per type; a type beyond the table is refused with
// its trace line.
TEST(SncFrames, RuleCheckAndTrace) {
  const char* rules[FR_COUNT] = {"NR", "NN", "RO", "NN", "RO", "NN", "NO", "NR", "RR", "RN", "NN", "NR", "NN", "NO"};
  for (int t = 0; t < FR_COUNT; ++t) {
    for (uint32_t tok : {0u, 1u, 70000u}) {
      for (uint32_t dat : {0u, 5u}) {
        auto obeys = [](char r, uint32_t n) { return r == 'O' || (r == 'R') == (n > 0); };
        EXPECT_EQ(SncPCheckFrame(t, tok, dat), obeys(rules[t][0], tok) && obeys(rules[t][1], dat))
            << SncPFrameName(t) << " " << tok << "/" << dat;
      }
    }
  }
  tovtest::ChildResult r = InChild(1, [] { return SncPCheckFrame(14, 0, 0) ? 1 : 0; });
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_NE(r.err.find("*** ERROR => SncPCheckFrame(): BUG! enum SNC_FRAME_T is messed up [sncxxall"), std::string::npos)
      << r.err;
}

}  // namespace
