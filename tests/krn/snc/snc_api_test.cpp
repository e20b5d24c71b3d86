// The SNC API over the test GSS-API library: the quality-of-protection
// algorithm against a model of its steps, the peer queries by state and
// role, the 16-bit entries and their limits, what a caller was handed
// staying intact, and the exit reports and hex dumps of recorded runs read
// back by a checker of their line formats at every trace level.
#include <ctype.h>
#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "flat/weqparam.h"
#include "flat/weqparam_int.h"
#include "krn/dptrc/err.h"
#include "krn/snc/snc.h"
#include "krn/snc/snc_int.h"
#include "snc_test_util.h"

namespace {

using namespace snctest;
using tovtest::ToUtf8;

// --- Quality of protection -------------------------------------------------------

// The steps, one by one: maximum, minimum, comparison, use.
struct QopModel {
  int m0, x0, u0, best;
  bool Level(int v) const { return v >= 1 && v <= 3; }
  bool Known(int v) const { return Level(v) || v == 7 || v == 8 || v == 9; }
  // -> {rc, min, max, use}
  std::vector<int> Run(int min, int max, int use) const {
    if (!Known(max) || !Known(min) || !Known(use)) return {SNCERR_BAD_QOP_VALUE};
    int x;
    if (max == 8 || max == 9) x = x0;
    else if (max == 7 && Level(min)) x = std::min(min, best);
    else if (max == 7) x = min == 9 ? x0 : m0;  // never a symbolic value
    else x = std::min(max, best);
    int m;
    if (min == 7 || min == 8) m = m0;
    else if (min == 9) m = x0;
    else m = std::min(min, x);
    if (x < m) return {SNCERR_FUNC_ARGS};
    int u;
    if (use == 8) u = std::max(m, std::min(x, u0));
    else if (use == 7) u = m;
    else if (use == 9) u = x;
    else if (use > best) return {SNCERR_QOP_UNAVAIL};
    else if (use <= x) u = std::max(use, m);
    else u = x = use;
    return {WEQ_O_K, m, x, u};
  }
};

// Every request on every consistent session, with a value of each kind out
// of range: the algorithm agrees with the model, and what it stores is
// always a level.
TEST(SncQop, AgreesWithTheModelEverywhere) {
  const int values[] = {0, 1, 2, 3, 4, 6, 7, 8, 9, 10, -1};
  long checked = 0;
  for (int best = 1; best <= 3; ++best)
    for (int m0 = 1; m0 <= best; ++m0)
      for (int x0 = m0; x0 <= best; ++x0)
        for (int u0 = m0; u0 <= x0; ++u0)
          for (int min : values)
            for (int max : values)
              for (int use : values) {
                const QopModel model{m0, x0, u0, best};
                const std::vector<int> want = model.Run(min, max, use);
                SncQop out{-5, -5, -5};
                const SNC_RC rc = SncPResolveQop(SncQop{m0, x0, u0}, best, SncQop{min, max, use}, &out);
                std::vector<int> got{rc};
                if (rc == WEQ_O_K) {
                  got.insert(got.end(), {out.min, out.max, out.use});
                  EXPECT_TRUE(out.min >= 1 && out.max <= 3 && out.min <= out.use && out.use <= out.max)
                      << min << " " << max << " " << use;
                } else {
                  EXPECT_EQ(out.min, -5);
                }
                ASSERT_EQ(got, want) << "session " << m0 << "/" << x0 << "/" << u0 << " best " << best
                                     << " request " << min << "/" << max << "/" << use;
                ++checked;
              }
  EXPECT_GT(checked, 10000);
}

using SncApi = FakeSessions;

// The cases the algorithm's edges are made of, through the entry on a
// session: request, session before, result.
TEST_F(SncApi, SetQopEdges) {
  struct Case {
    const char* what;
    int before[3];  // min, max, use
    int req[3];
    SNC_RC rc;
    int after[3];
  };
  const Case cases[] = {
      {"use above the maximum raises it", {1, 2, 2}, {8, 8, 3}, WEQ_O_K, {1, 3, 3}},
      {"minimum capped before the comparison", {1, 3, 3}, {3, 1, 8}, WEQ_O_K, {1, 1, 1}},
      {"max default minimum above the new maximum", {1, 3, 3}, {9, 1, 1}, SNCERR_FUNC_ARGS, {1, 3, 3}},
      {"the layer's own call for a given level", {2, 3, 3}, {2, 9, 2}, WEQ_O_K, {2, 3, 2}},
      {"the acceptor's call without a level", {2, 3, 2}, {8, 9, 9}, WEQ_O_K, {2, 3, 3}},
      {"min default maximum takes the given minimum", {1, 3, 3}, {2, 7, 8}, WEQ_O_K, {2, 2, 2}},
      {"min default maximum, default minimum", {1, 3, 2}, {8, 7, 8}, WEQ_O_K, {1, 1, 1}},
      {"min default maximum, max default minimum", {1, 2, 2}, {9, 7, 8}, WEQ_O_K, {2, 2, 2}},
      {"use raised to the minimum", {1, 3, 3}, {3, 9, 1}, WEQ_O_K, {3, 3, 3}},
      {"bad maximum checked first", {1, 3, 3}, {0, 5, 0}, SNCERR_BAD_QOP_VALUE, {1, 3, 3}},
      {"bad use", {1, 3, 3}, {1, 3, 4}, SNCERR_BAD_QOP_VALUE, {1, 3, 3}},
  };
  ASSERT_EQ(SncSessionInit(&p_.ini), WEQ_O_K);
  SncSession* s = S(p_.ini);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    s->qopMin = c.before[0], s->qopMax = c.before[1], s->qopUse = c.before[2];
    EXPECT_EQ(SncSetQOP(p_.ini, c.req[0], c.req[1], c.req[2]), c.rc);
    EXPECT_EQ((std::vector<int>{s->qopMin, s->qopMax, s->qopUse}),
              (std::vector<int>{c.after[0], c.after[1], c.after[2]}));
  }
  // A library without privacy: a use of 3 is not there; NULL is the
  // default session.
  s->qopMaxAvail = 2, s->qopMin = 1, s->qopMax = 2, s->qopUse = 2;
  EXPECT_EQ(SncSetQOP(p_.ini, 1, 9, 3), SNCERR_QOP_UNAVAIL);
  EXPECT_EQ(SncSetQOP(p_.ini, 1, 3, 8), WEQ_O_K);
  EXPECT_EQ(s->qopMax, 2);
  EXPECT_EQ(SncSetQOP(nullptr, 1, 9, 1), WEQ_O_K);
  EXPECT_EQ(gSnc.dflt->qopUse, 1);
}

// --- Peer queries by state and role ----------------------------------------------------

TEST_F(SncApi, PeerQueriesByStateAndRole) {
  Open();
  const char* name = nullptr;
  const uint8_t* key = nullptr;
  size_t len = 0;
  SNC_HDL none = nullptr;
  ASSERT_EQ(SncSessionInit(&none), WEQ_O_K);
  struct Case {
    const char* what;
    SNC_HDL h;
    SNC_RC name, key;
  };
  const Case cases[] = {
      {"no role yet", none, SNCERR_TRY_LATER, SNCERR_TRY_LATER},
      {"acceptor before the first INIT", p_.acc, SNCERR_TRY_LATER, SNCERR_TRY_LATER},
      {"initiator: the target", p_.ini, WEQ_O_K, WEQ_O_K},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(SncGetPeerName(c.h, &name), c.name);
    EXPECT_EQ(SncGetPeerAclKey(c.h, &key, &len), c.key);
  }
  EXPECT_STREQ(name, "p:host/server@TEST.REALM");
  EXPECT_EQ(SncGetPeerName(p_.ini, nullptr), SNCERR_FUNC_ARGS);
  EXPECT_EQ(SncGetPeerAclKey(p_.ini, &key, nullptr), SNCERR_FUNC_ARGS);
  SncSession* bad = S(p_.ini);
  bad->mark = 1;
  EXPECT_EQ(SncGetPeerName(p_.ini, &name), SNCERR_BAD_SNC_HDL);
  bad->mark = SNC_HDL_MARK;

  // Names lost (a broken record): the state and role say why.
  SncSession saved = *S(p_.acc);
  struct Lost {
    int role, state;
    SNC_RC rc;
  };
  for (const Lost& l : {Lost{SNC_ACCEPT, SNC_STATE_ACCEPTING, SNCERR_TRY_LATER},
                        Lost{SNC_ACCEPT, SNC_STATE_SHUTDOWN, SNCERR_NOT_AVAIL},
                        Lost{SNC_INITIATE, SNC_STATE_INITIATING, SNCERR_NOT_AVAIL},
                        Lost{SNC_ACCEPT, SNC_STATE_ESTABLISHED, SNCERR_INTERNAL},
                        Lost{SNC_HIDDEN_INITIATE, SNC_STATE_INITIATING, SNCERR_INTERNAL}}) {
    S(p_.acc)->role = l.role, S(p_.acc)->state = l.state;
    EXPECT_EQ(SncGetPeerName(p_.acc, &name), l.rc) << l.role << " " << l.state;
    EXPECT_EQ(SncGetPeerAclKey(p_.acc, &key, &len), l.rc) << l.role << " " << l.state;
    EXPECT_EQ(key, nullptr);
  }
  S(p_.acc)->role = saved.role, S(p_.acc)->state = saved.state;
  EXPECT_EQ(SncSessionDone(&none), WEQ_O_K);
}

// An ERROR frame gives the initiator the canonical name of whom it
// reached; the name and key handed out earlier stay as they were until the
// session is done, and the next query gives the new key.
TEST_F(SncApi, HandedOutNamesOutliveAnErrorFrame) {
  Open();
  ASSERT_EQ(p_.Send(true, "x"), WEQ_O_K);
  const char* name = nullptr;
  const uint8_t* key = nullptr;
  size_t len = 0;
  const WEQ_UC* wide = nullptr;
  ASSERT_EQ(SncGetPeerName(p_.ini, &name), WEQ_O_K);
  ASSERT_EQ(SncGetPeerAclKey(p_.ini, &key, &len), WEQ_O_K);
  ASSERT_EQ(SncGetPeerNameU16(p_.ini, &wide), WEQ_O_K);
  const std::string nameBefore = name;
  const Bytes keyBefore(key, key + len);
  // Asking again gives the same copies.
  const char* again = nullptr;
  ASSERT_EQ(SncGetPeerName(p_.ini, &again), WEQ_O_K);
  EXPECT_EQ(again, name);

  SncSession builder{};
  const uint8_t other[] = {0, 2, 4, 1, 0, 0, 0, 0, 0, 5, 'e', 'v', 'e', '@', 'X'};
  const char pr[] = "p:eve@X";
  const uint8_t code[] = {0, 40}, zero[] = {0};
  SncBytes items[SNC_FRAME_ITEMS] = {
      {other, sizeof other}, {}, {reinterpret_cast<const uint8_t*>(pr), sizeof pr - 1}, {code, 2}};
  ASSERT_EQ(MakeFrame(&builder, {}, {zero, 1}, FR_ERROR, 0, items, &builder.out), WEQ_O_K);
  const Bytes frame(builder.out.data, builder.out.data + builder.out.used);
  SncPFreeOutBuf(&builder.out);
  const void *data = nullptr, *back = nullptr;
  size_t dataLen = 0, backLen = 0;
  EXPECT_EQ(SncProcessInput(p_.ini, frame.data(), frame.size(), &data, &dataLen, &back, &backLen),
            SNCERR_WRONG_TARGET);

  EXPECT_EQ(std::string(name), nameBefore);
  EXPECT_EQ(Bytes(key, key + len), keyBefore);
  EXPECT_EQ(ToUtf8(reinterpret_cast<const char16_t*>(wide)), nameBefore);
  const uint8_t* now = nullptr;
  size_t nowLen = 0;
  ASSERT_EQ(SncGetPeerAclKey(p_.ini, &now, &nowLen), WEQ_O_K);
  EXPECT_EQ(Hex(now, nowLen), Hex(other, sizeof other));
  EXPECT_NE(now, key);
}

// --- 16-bit entries --------------------------------------------------------------------

// Texts are cut at 256 characters, a unit above 0xFF refuses the whole
// text and changes nothing, a Latin-1 unit keeps its byte; the peer name
// is widened up to 255 characters.
TEST_F(SncApi, SixteenBitEntries) {
  tovtest::ChildResult r = InChild(2, [this] {
    SncIResetGlobal();
    SncSetParam(SNC_PARAM_GSSAPI_LIB, SNC_FAKEGSS_V2, 0);
    uint8_t avail = 0;
    if (SncInit(0, nullptr, &avail) != WEQ_O_K) return 2;
    SNC_HDL h = nullptr;
    SncSessionInit(&h);
    std::u16string longName = u"p:" + std::u16string(298, u'a');
    printf("long %d\n", SncSetMyNameU16(h, reinterpret_cast<const WEQ_UC*>(longName.c_str())));
    printf("set %d\n", SncSetMyNameU16(h, reinterpret_cast<const WEQ_UC*>(u"p:alice")));
    printf("cjk %d %s\n", SncSetMyNameU16(h, reinterpret_cast<const WEQ_UC*>(u"p:\u5f20\u4f1f")), S(h)->myName.prName);
    printf("cjk target %d state %d\n",
           SncSessionInitiatorU16(h, 1, 0, reinterpret_cast<const WEQ_UC*>(u"p:host/\u4e1c\u4eac")), S(h)->state);
    const SNC_RC latin = SncSessionInitiatorU16(h, 1, 0, reinterpret_cast<const WEQ_UC*>(u"p:caf\u00e9"));
    printf("latin %d %d\n", latin, static_cast<unsigned char>(S(h)->peerName.prName[5]));
    printf("null target %d\n", SncSessionInitiatorU16(h, 1, 0, nullptr));
    SncSessionDone(&h);
    return 0;
  });
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out,
            "long -17\nset 0\ncjk -44 p:alice@TEST.REALM\ncjk target -44 state 0\nlatin 0 233\nnull target -7\n")
      << r.err;
  // The cut name reached the 8-bit entry with 256 characters.
  const std::string trace = Untagged(r.err);
  EXPECT_NE(trace.find(" in: myname = \"p:" + std::string(254, 'a') + "\"\n"), std::string::npos) << trace;
  EXPECT_NE(trace.find("<<- ERROR: SncSetMyNameU16()==SNCERR_UNICODE_CONVERSION"), std::string::npos);

  // A peer name of 255 characters comes back whole in 16 bits.
  Open();
  S(p_.ini)->peerName.prName[0] = 'p';
  S(p_.ini)->peerName.prName[1] = ':';
  memset(S(p_.ini)->peerName.prName + 2, 'n', 253);
  S(p_.ini)->peerName.prName[255] = 0;
  const WEQ_UC* wide = nullptr;
  ASSERT_EQ(SncGetPeerNameU16(p_.ini, &wide), WEQ_O_K);
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(wide)), u"p:" + std::u16string(253, u'n'));
  EXPECT_EQ(SncGetPeerNameU16(p_.ini, nullptr), SNCERR_FUNC_ARGS);
}

// Parameters: only the library's name, only before the start.
TEST_F(SncApi, SetParamAfterInit) {
  EXPECT_EQ(SncSetParam(SNC_PARAM_GSSAPI_LIB, "/x.so", 0), SNCERR_PARAM_DENIED);
  EXPECT_EQ(SncSetParamU16(SNC_PARAM_GSSAPI_LIB, u"/x.so", 0), SNCERR_PARAM_DENIED);
  EXPECT_EQ(SncSetParam(2, "/x.so", 0), SNCERR_UNKNOWN_PARAM);
  EXPECT_EQ(SncSetParamU16(2, u"/x.so", 0), SNCERR_UNKNOWN_PARAM);
  EXPECT_EQ(std::string(gSnc.userLib), SNC_FAKEGSS_V2);
}

// A 16-bit profile value that has no 8-bit form fails the start instead
// of naming another library.
TEST(SncProfile, WideValueFailsInit) {
  tovtest::ChildResult r = InChild(1, [] {
    SncIResetGlobal();
    unsetenv("SNC_LIB");
    weqparamIReset();
    weqparamQuiet();
    weqparamIAddArg(u"snc/gssapi_lib", u"/opt/\u0141ib.so");
    uint8_t avail = 9;
    const SNC_RC rc = SncInit(0, nullptr, &avail);
    printf("%d %d %d\n", rc, avail, gSnc.initialized.load() ? 1 : 0);
    return 0;
  });
  EXPECT_EQ(r.out, "-1 0 0\n") << r.err;
  EXPECT_NE(r.err.find("snc/gssapi_lib holds characters beyond 8 bits"), std::string::npos) << r.err;
}

// --- Exit reports and hex dumps ----------------------------------------------------------

// Reads a trace of SNC entries line by line and checks each line against
// the formats of call lines, exit reports and dumps; collects what it saw.
struct ReportChecker {
  struct Report {
    std::string entry, code;
    bool error;
    std::vector<std::string> values;  // "dir label" of each value line
  };
  std::vector<Report> reports;
  std::vector<std::string> calls;             // entries of "->>" lines
  std::map<std::string, Bytes> dumps;         // label -> bytes shown
  std::map<std::string, std::string> dumpHow;  // label -> full / head-only / no
  std::map<std::string, unsigned long> dumpLen;
  std::vector<std::string> problems;

  static bool Starts(const std::string& line, const char* with) { return line.rfind(with, 0) == 0; }
  static bool Word(const std::string& w) {
    if (w.empty()) return false;
    for (char ch : w)
      if (!isalnum(static_cast<unsigned char>(ch)) && ch != '_') return false;
    return true;
  }
  static bool HexDigits(const std::string& w) {
    return !w.empty() && w.find_first_not_of("0123456789abcdef") == std::string::npos;
  }

  // "<<- [ERROR: ]entry()==CODE"
  bool ReadHead(const std::string& line) {
    std::string rest = line.substr(4);
    const bool error = Starts(rest, "ERROR: ");
    if (error) rest.erase(0, 7);
    const size_t eq = rest.find("()==");
    if (eq == std::string::npos || !Word(rest.substr(0, eq))) return false;
    const std::string code = rest.substr(eq + 4);
    if (code.empty() || code.find(' ') != std::string::npos) return false;
    reports.push_back({rest.substr(0, eq), code, error, {}});
    return true;
  }
  // "  'label' (addr=0x..., len=N) full|head-only|no hexdump"
  bool ReadDumpHead(const std::string& line, std::string* label) {
    const size_t q = line.find("' (addr=", 3);
    const size_t comma = line.find(", len=", q == std::string::npos ? 0 : q);
    const size_t close = line.find(") ", comma == std::string::npos ? 0 : comma);
    if (q == std::string::npos || comma == std::string::npos || close == std::string::npos || q - 3 > 50) return false;
    const std::string addr = line.substr(q + 8, comma - q - 8);
    const std::string len = line.substr(comma + 6, close - comma - 6);
    const std::string how = line.substr(close + 2);
    if (!(addr == "(nil)" || (Starts(addr, "0x") && HexDigits(addr.substr(2)))) || len.empty() ||
        len.find_first_not_of("0123456789") != std::string::npos)
      return false;
    if (how != "full hexdump" && how != "head-only hexdump" && how != "no hexdump") return false;
    *label = line.substr(3, q - 3);
    dumpHow[*label] = how.substr(0, how.size() - 8);
    dumpLen[*label] = std::stoul(len);
    dumps[*label].clear();
    return true;
  }
  // "  0xOOOOO  " 16 bytes in hex in groups of four, " " 8 characters " " 8
  bool ReadRowLine(const std::string& line, const std::string& label) {
    if (line.size() != 65 || !HexDigits(line.substr(4, 5)) || line.substr(9, 2) != "  " || line[47] != ' ' ||
        line[56] != ' ')
      return false;
    const std::string hex = line.substr(11, 36);
    for (size_t g = 0; g < 4; ++g)
      if (hex[g * 9 + 8] != ' ') return false;
    ReadRow(label, std::stoul(line.substr(4, 5), nullptr, 16), hex, line.substr(48, 8) + line.substr(57, 8));
    return true;
  }
  // "    DIR [&]label = value" with DIR " in:", "out:" or four blanks
  bool ReadValue(const std::string& line) {
    if (line.size() < 10 || !Starts(line, "    ") || line[8] != ' ' || reports.empty()) return false;
    const std::string dir = line.substr(4, 4);
    const size_t eq = line.find(" = ", 9);
    if ((dir != " in:" && dir != "out:" && dir != "    ") || eq == std::string::npos || eq - 9 > 33) return false;
    reports.back().values.push_back(dir + " " + line.substr(9, eq - 9));
    return true;
  }

  void Read(const std::string& trace) {
    std::string current;    // label of the dump being read
    bool inReport = false;  // the lines since a head line were its values
    size_t at = 0;
    while (at < trace.size()) {
      size_t end = trace.find('\n', at);
      if (end == std::string::npos) end = trace.size();
      const std::string line = trace.substr(at, end - at);
      at = end + 1;
      bool ok = true;
      const bool value = inReport && Starts(line, "    ") && line.find(" = ") != std::string::npos;
      inReport = value || Starts(line, "<<- ");
      if (Starts(line, "<<- ")) {
        ok = ReadHead(line);
        current.clear();
      } else if (Starts(line, "->> ")) {
        const size_t open = line.find('(');
        ok = open != std::string::npos && Word(line.substr(4, open - 4)) && line.back() == ')';
        if (ok) calls.push_back(line.substr(4, open - 4));
      } else if (Starts(line, "  '")) {
        ok = ReadDumpHead(line, &current);
        if (ok && !reports.empty() && current.find("peer_aclkey") != std::string::npos)
          reports.back().values.push_back(current);
      } else if (Starts(line, "  0x")) {
        ok = ReadRowLine(line, current);
      } else if (value) {
        ok = ReadValue(line);
      }
      // The layer's inner steps have formats of their own; these are the
      // report's.
      if (!ok) problems.push_back("malformed line: " + line);
    }
  }

  void ReadRow(const std::string& label, unsigned long offset, const std::string& hex, const std::string& chars) {
    Bytes& b = dumps[label];
    if (offset != b.size()) problems.push_back(label + ": row at " + std::to_string(offset));
    for (size_t i = 0; i < 16; ++i) {
      const size_t h = i * 2 + i / 4;
      if (hex[h] == ' ') {
        if (chars[i] != ' ') problems.push_back(label + ": character past the end");
        continue;
      }
      const uint8_t v = static_cast<uint8_t>(std::stoul(hex.substr(h, 2), nullptr, 16));
      const char shown = v >= 0x20 && v <= 0x7E ? static_cast<char>(v) : '.';
      if (chars[i] != shown) problems.push_back(label + ": character column differs at " + std::to_string(offset + i));
      b.push_back(v);
    }
  }

  const Report* Find(const std::string& entry, const std::string& code) const {
    for (const Report& r : reports)
      if (r.entry == entry && r.code == code) return &r;
    return nullptr;
  }
};

// One run of the API in the CPI-C layer's order with some failures, at
// trace level `level`; its trace.
std::string RecordedRun(int level, Bytes* aclKey) {
  tovtest::ChildResult r = InChild(level, [] {
    SncIResetGlobal();
    SncSetParam(SNC_PARAM_GSSAPI_LIB, SNC_FAKEGSS_V2, 0);
    uint8_t avail = 0;
    SncInit(0, nullptr, &avail);
    Pair p;
    SncSessionInit(&p.ini);
    SncSessionInit(&p.acc);
    SncSessionInitiator(p.ini, 1, 0, "p:host/server");
    SncSetQOP(p.ini, 3, 9, 3);
    SncSetQOP(p.ini, 3, 9, 5);  // fails
    SncSetQOP(p.acc, 8, 9, 9);
    SncSessionAcceptor(p.acc, 0);
    std::string data(2000, 'd');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
    p.Send(true, data);
    const char* name = nullptr;
    const uint8_t* key = nullptr;
    size_t len = 0;
    SncGetPeerName(p.acc, &name);
    SncGetPeerAclKey(p.acc, &key, &len);
    fwrite(key, 1, len, stdout);
    SncSession* s = S(p.ini);
    s->mark = 0;
    SncGetPeerName(p.ini, &name);  // fails
    s->mark = SNC_HDL_MARK;
    SncSessionDone(&p.ini);
    SncSessionDone(&p.acc);
    return 0;
  });
  *aclKey = Bytes(r.out.begin(), r.out.end());
  return Untagged(r.err);
}

TEST(SncExitReport, RecordedRunsAtEachLevel) {
  Bytes data(2000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
  for (int level = 1; level <= 4; ++level) {
    SCOPED_TRACE("level " + std::to_string(level));
    Bytes key;
    ReportChecker c;
    c.Read(RecordedRun(level, &key));
    EXPECT_EQ(c.problems, std::vector<std::string>{});
    ASSERT_GT(key.size(), 2u);

    // Failures are reported at every level, with their input values only.
    const ReportChecker::Report* qop = c.Find("SncSetQOP", "SNCERR_BAD_QOP_VALUE");
    ASSERT_NE(qop, nullptr);
    EXPECT_TRUE(qop->error);
    EXPECT_EQ(qop->values, (std::vector<std::string>{" in: qop values", " in:  resulting"}));
    const ReportChecker::Report* bad = c.Find("SncGetPeerName", "SNCERR_BAD_SNC_HDL");
    ASSERT_NE(bad, nullptr);
    EXPECT_EQ(bad->values, std::vector<std::string>{});

    // Successes from level 2 on, with their outputs.
    const ReportChecker::Report* peer = c.Find("SncGetPeerName", "WEQ_O_K");
    const ReportChecker::Report* acl = c.Find("SncGetPeerAclKey", "WEQ_O_K");
    const ReportChecker::Report* init = c.Find("SncSessionInit", "WEQ_O_K");
    const ReportChecker::Report* out = c.Find("SncProcessOutput", "WEQ_O_K");
    if (level < 2) {
      EXPECT_EQ(peer, nullptr);
      EXPECT_EQ(c.reports.size(), 2u);
      EXPECT_EQ(c.dumps.size(), 0u);
      continue;
    }
    ASSERT_NE(peer, nullptr);
    ASSERT_NE(acl, nullptr);
    ASSERT_NE(init, nullptr);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(peer->values, std::vector<std::string>{"out: peer_name"});
    EXPECT_EQ(init->values, std::vector<std::string>{"out: &snc_hdl"});
    EXPECT_EQ(out->values, std::vector<std::string>{"     return values"});
    ASSERT_EQ(acl->values, std::vector<std::string>{"out: peer_aclkey"});
    EXPECT_EQ(c.dumps["out: peer_aclkey"], key);
    EXPECT_EQ(c.dumpHow["out: peer_aclkey"], "full");
    EXPECT_EQ(c.Find("SncInit", "WEQ_O_K")->values, std::vector<std::string>{"     sec_avail"});

    // Call lines and input dumps from level 3: the head of the data at 3,
    // all of it above.
    const int calls = static_cast<int>(std::count(c.calls.begin(), c.calls.end(), "SncSetQOP"));
    EXPECT_EQ(calls, level >= 3 ? 3 : 0);
    if (level < 3) {
      EXPECT_EQ(c.dumps.count("output data"), 0u);
      continue;
    }
    EXPECT_EQ(c.dumpLen["output data"], 2000u);
    EXPECT_EQ(c.dumpHow["output data"], level == 3 ? "head-only" : "full");
    const Bytes& shown = c.dumps["output data"];
    EXPECT_EQ(shown, Bytes(data.begin(), data.begin() + (level == 3 ? 256 : 2000)));
  }
}

// The exit report's own dump of a long value: at most 1024 bytes below
// level 4; formats and numbers; nothing without bytes.
TEST(SncExitReport, DumpLimitsAndValueKinds) {
  for (int level : {2, 4}) {
    tovtest::ChildResult r = InChild(level, [] {
      Bytes big(3000);
      for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i);
      const SncExitValue vals[] = {
          {SNC_VAL_IN, "blob", big.data(), big.size(), nullptr},
          {SNC_VAL_FMT, "count", nullptr, 42, nullptr},
          {SNC_VAL_IN | SNC_VAL_FMT, "hex", nullptr, 255, "0x%lx"},
      };
      SncPExitReport("SncTest", WEQ_O_K, 1, vals, 3);
      const SncExitValue none[] = {{SNC_VAL_OUT, "empty", nullptr, 0, nullptr},
                                   {SNC_VAL_NOTRC | SNC_VAL_TEXT, "secret", "s3cret", 0, nullptr}};
      SncPExitReport("SncTest2", WEQ_O_K, 1, none, 2);
      return 0;
    });
    const std::string t = Untagged(r.err);
    ReportChecker c;
    c.Read(t);
    EXPECT_EQ(c.problems, std::vector<std::string>{});
    EXPECT_EQ(c.dumpHow[" in: blob"], level == 4 ? "full" : "head-only");
    EXPECT_EQ(c.dumps[" in: blob"].size(), level == 4 ? 3000u : 1024u);
    EXPECT_EQ(c.dumps[" in: blob"][300], static_cast<uint8_t>(300 & 0xFF));
    EXPECT_NE(t.find("         count = 42\n"), std::string::npos) << t;
    EXPECT_NE(t.find("     in: hex = 0xff\n"), std::string::npos) << t;
    EXPECT_EQ(c.dumpHow["out: empty"], "no");
    EXPECT_EQ(t.find("s3cret"), std::string::npos);
  }
}

}  // namespace
