// SNC over MIT Kerberos in a throw-away realm, in the calling order of the
// CPI-C layer: trace handle, initialisation, sessions, names and QOP,
// protected messages both ways, the peer's names, the end of the sessions.
// The realm and its KDC are made for every test; a KDC that cannot start
// fails the test.
#include <gtest/gtest.h>
#include <string.h>

#include <chrono>
#include <string>
#include <vector>

#include "krn/dptrc/err.h"
#include "krn/snc/snc.h"
#include "krn/snc/snc_int.h"
#include "snc_krb5_realm.h"
#include "snc_test_util.h"

namespace {

using namespace snctest;
using tovtest::ToUtf8;

std::u16string U16(const char* s) { return std::u16string(s, s + strlen(s)); }

// The exported name of a Kerberos 5 principal as RFC 2743 (3.2) writes it,
// behind the adapter type 2: 04 01, the length of the mechanism's DER
// object identifier, the identifier, the name's length in four bytes, the
// name.
Bytes Krb5AclKey(const std::string& principal) {
  Bytes k = {0x00, 0x02, 0x04, 0x01, 0x00, 0x0B, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x12, 0x01, 0x02, 0x02};
  const uint32_t n = static_cast<uint32_t>(principal.size());
  for (int shift = 24; shift >= 0; shift -= 8) k.push_back(static_cast<uint8_t>(n >> shift));
  for (char c : principal) k.push_back(static_cast<uint8_t>(c));
  return k;
}

std::string ErrText() {
  return ToUtf8(ErrGetFld(ERR_FLD_ERROR)) + " | " + ToUtf8(ErrGetFld(ERR_FLD_DETAIL)) + " | " +
         ToUtf8(ErrGetAllTxt());
}

class SncKrb5 : public ::testing::Test {
 protected:
  void SetUp() override {
    ThrProcInit();
    std::string why;
    ASSERT_TRUE(realm_.Start(&why)) << why;
    realm_.UseForSnc();
    SncIResetGlobal();
  }
  void TearDown() override {
    Close();
    SncIResetGlobal();
    realm_.Stop();
  }
  // Ends both sessions and forgets what went between them.
  void Close() {
    for (SNC_HDL* h : {&p_.ini, &p_.acc}) {
      if (*h != nullptr) {
        EXPECT_EQ(SncSessionDone(h), WEQ_O_K);
      }
    }
    p_ = Pair{};
  }
  // The layer started the way the CPI-C layer starts it.
  void Init() {
    ASSERT_EQ(SncSetTraceFile(nullptr), WEQ_O_K);
    uint8_t avail = 0;
    ASSERT_EQ(SncInit(0, nullptr, &avail), WEQ_O_K) << ErrText();
    ASSERT_EQ(avail, 1);
  }
  // The two sessions: an initiator towards target with QOP q (0: none
  // given) and an acceptor.
  SNC_RC Open(int q, int authType = 1, const char* target = "p:snc/localhost@TEST.REALM") {
    EXPECT_EQ(SncSessionInit(&p_.ini), WEQ_O_K);
    EXPECT_EQ(SncSessionInit(&p_.acc), WEQ_O_K);
    SNC_RC rc = SncSessionInitiatorU16(p_.ini, authType, 0, U16(target).c_str());
    if (rc != WEQ_O_K) return rc;
    if (q != 0 && (rc = SncSetQOP(p_.ini, q, 9, q)) != WEQ_O_K) return rc;
    if ((rc = q != 0 ? SncSetQOP(p_.acc, q, 9, q) : SncSetQOP(p_.acc, 8, 9, 9)) != WEQ_O_K) return rc;
    return SncSessionAcceptor(p_.acc, 0);
  }
  std::string Got(int side) const {
    std::string s;
    for (const Bytes& b : p_.got[side]) s += std::string(b.begin(), b.end()) + "|";
    return s;
  }
  snckrb5::Realm realm_;
  Pair p_;
};

// Each quality of protection with and without mutual authentication: the
// frames of the handshake and of the data, the data both ways, and the
// level the data arrived with.
TEST_F(SncKrb5, QopAndMutualAuthentication) {
  struct Case {
    int qop, authType;
    const char* log;
    const char* dataFrame;
  };
  const Case cases[] = {
      {3, 1, "I:INIT A:ACCEPT I:DATA_WRAP", "DATA_WRAP"},
      {3, 0, "I:INIT A:ACCEPT_ACK I:DATA_WRAP", "DATA_WRAP"},
      {2, 1, "I:INIT A:ACCEPT I:DATA_MIC", "DATA_MIC"},
      {2, 0, "I:INIT A:ACCEPT_ACK I:DATA_MIC", "DATA_MIC"},
      {1, 1, "I:INIT A:ACCEPT I:DATA_OPEN", "DATA_OPEN"},
      {1, 0, "I:INIT A:ACCEPT_ACK I:DATA_OPEN", "DATA_OPEN"},
  };
  Init();
  for (const Case& c : cases) {
    SCOPED_TRACE("qop " + std::to_string(c.qop) + " auth " + std::to_string(c.authType));
    Close();
    ASSERT_EQ(Open(c.qop, c.authType), WEQ_O_K) << ErrText();
    ASSERT_EQ(p_.Send(true, "ping"), WEQ_O_K) << p_.log << " " << ErrText();
    EXPECT_EQ(p_.log, c.log);
    p_.log.clear();
    ASSERT_EQ(p_.Send(false, std::string(5000, 'r')), WEQ_O_K) << p_.log << " " << ErrText();
    EXPECT_EQ(p_.log, std::string("A:") + c.dataFrame);
    EXPECT_EQ(Got(1), "ping|");
    ASSERT_EQ(p_.got[0].size(), 1u);
    EXPECT_EQ(p_.got[0][0], Bytes(5000, 'r'));
    EXPECT_EQ(S(p_.acc)->dataLevel, c.qop);
    EXPECT_EQ((std::vector<int>{S(p_.ini)->qopUse, S(p_.acc)->qopUse}), (std::vector<int>{c.qop, c.qop}));
  }
}

// The peer names: the acceptor learns the client's principal, the
// initiator holds the service it asked for; the ACL keys are exported names
// byte for byte, in 8 and 16 bits, and an acceptor knows nothing before
// the first INIT.
TEST_F(SncKrb5, PeerNamesAndAclKeys) {
  Init();
  ASSERT_EQ(Open(3), WEQ_O_K) << ErrText();
  const char* name = nullptr;
  const WEQ_UC* wide = reinterpret_cast<const WEQ_UC*>(u"x");
  EXPECT_EQ(SncGetPeerName(p_.acc, &name), SNCERR_TRY_LATER);
  EXPECT_EQ(SncGetPeerNameU16(p_.acc, &wide), SNCERR_TRY_LATER);
  EXPECT_EQ(wide, nullptr);
  ASSERT_EQ(p_.Send(true, "hello"), WEQ_O_K) << p_.log << " " << ErrText();

  struct Side {
    SNC_HDL h;
    const char* name;
    std::string principal;
  };
  for (const Side& side : {Side{p_.acc, "p:user@TEST.REALM", "user@TEST.REALM"},
                           Side{p_.ini, "p:snc/localhost@TEST.REALM", "snc/localhost@TEST.REALM"}}) {
    SCOPED_TRACE(side.name);
    ASSERT_EQ(SncGetPeerName(side.h, &name), WEQ_O_K);
    EXPECT_STREQ(name, side.name);
    ASSERT_EQ(SncGetPeerNameU16(side.h, &wide), WEQ_O_K);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(wide)), U16(side.name));
    const uint8_t* key = nullptr;
    size_t len = 0;
    ASSERT_EQ(SncGetPeerAclKey(side.h, &key, &len), WEQ_O_K);
    EXPECT_EQ(Hex(key, len), Hex(Krb5AclKey(side.principal).data(), Krb5AclKey(side.principal).size()));
  }
}

// A target the KDC does not know: the initiator's first frame fails with
// the GSS-API's code, the trace names the target and MIT's text reaches the
// error information.
TEST_F(SncKrb5, WrongTarget) {
  tovtest::ChildResult r = InChild(1, [this] {
    Init();
    if (Open(3, 1, "p:snc/nohost@TEST.REALM") != WEQ_O_K) return 2;
    const SNC_RC rc = p_.Send(true, "x");
    printf("%d\n%s\n", rc, ErrText().c_str());
    return 0;
  });
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out.substr(0, r.out.find('\n')), std::to_string(SNCERR_GSSAPI)) << r.out;
  EXPECT_NE(r.out.find("Server snc/nohost@TEST.REALM not found in Kerberos database"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("failed for target='p:snc/nohost@TEST.REALM'"), std::string::npos) << r.err;
  EXPECT_EQ(p_.got[1].size(), 0u);
}

// No client keytab and an empty cache: taking the initiator's role finds
// no credentials, in MIT's words, and the session stays without a role.
TEST_F(SncKrb5, NoClientKeytab) {
  setenv("KRB5_CLIENT_KTNAME", ("FILE:" + realm_.File("missing.keytab")).c_str(), 1);
  Init();
  ASSERT_EQ(SncSessionInit(&p_.ini), WEQ_O_K);
  EXPECT_EQ(SncSessionInitiatorU16(p_.ini, 1, 0, U16("p:snc/localhost@TEST.REALM").c_str()), SNCERR_GSSAPI);
  EXPECT_NE(ErrText().find("No Kerberos credentials available"), std::string::npos) << ErrText();
  EXPECT_NE(S(p_.ini)->state, SNC_STATE_DO_INITIATE);
  EXPECT_EQ(S(p_.ini)->cred, GSS_C_NO_CREDENTIAL);
}

// Protected frames changed on the way, or sent twice: refused, at
// integrity and at privacy; nothing of them is delivered.
TEST_F(SncKrb5, TamperedAndReplayedFrames) {
  Init();
  for (int qop : {2, 3}) {
    SCOPED_TRACE("qop " + std::to_string(qop));
    Close();
    ASSERT_EQ(Open(qop), WEQ_O_K);
    ASSERT_EQ(p_.Send(true, "first"), WEQ_O_K) << p_.log << ErrText();
    // The last byte of the frame: the protected data's end (MIC) or the
    // token's (wrap).
    p_.tamper = [](Bytes& f, bool fromIni) {
      if (fromIni) f.back() ^= 0x01;
    };
    EXPECT_EQ(p_.Send(true, "second"), SNCERR_GSSAPI);
    EXPECT_EQ(Got(1), "first|");

    Close();
    ASSERT_EQ(Open(qop), WEQ_O_K);
    ASSERT_EQ(p_.Send(true, "one"), WEQ_O_K);
    ASSERT_EQ(p_.Send(true, "two"), WEQ_O_K);
    const Bytes replay = p_.sent[0].back();
    const void *data = nullptr, *back = nullptr;
    size_t dataLen = 0, backLen = 0;
    EXPECT_EQ(SncProcessInput(p_.acc, replay.data(), replay.size(), &data, &dataLen, &back, &backLen), SNCERR_GSSAPI);
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(Got(1), "one|two|");
  }
}

// Frames in one input over Kerberos: the acceptor's AP-REP (ACCEPT, or
// ACCEPT_ACK without mutual authentication) with its first data frame,
// both used; two data frames, the second left for the next call.
TEST_F(SncKrb5, FramesInOneInput) {
  Init();
  for (int auth : {1, 0}) {
    SCOPED_TRACE(auth);
    Close();
    ASSERT_EQ(Open(3, auth), WEQ_O_K) << ErrText();
    ExpectAnswerThenData(p_.ini, p_.acc, auth == 1 ? "ACCEPT" : "ACCEPT_ACK");
  }
  ExpectDataThenData(p_.ini, p_.acc);
  ExpectDataThenData(p_.acc, p_.ini);
}

// With the shortest context lifetime (the watermark and 10 s), the
// initiator's next message after the context fell to the watermark starts
// a refresh; at the refresh after that, another user's keytab and a fresh
// cache give a new context for that user, which the acceptor refuses.
TEST_F(SncKrb5, RefreshAfterLifetime) {
  setenv("SNC_CTX_LIFETIME", "1", 1);
  Init();
  unsetenv("SNC_CTX_LIFETIME");
  ASSERT_EQ(Open(3), WEQ_O_K);
  ASSERT_EQ(p_.Send(true, "a"), WEQ_O_K) << ErrText();
  const auto start = std::chrono::steady_clock::now();
  std::string sawRefresh;
  // One message a quarter second until the refresh, at most 30 s.
  while (std::chrono::steady_clock::now() - start < std::chrono::seconds(30)) {
    p_.log.clear();
    ASSERT_EQ(p_.Send(true, "b"), WEQ_O_K) << p_.log << ErrText();
    if (p_.log != "I:DATA_WRAP") {
      sawRefresh = p_.log;
      break;
    }
    const timespec quarter{0, 250 * 1000 * 1000};
    nanosleep(&quarter, nullptr);
  }
  const double after = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(sawRefresh, "I:INIT A:ACCEPT I:DATA_WRAP");
  EXPECT_GT(after, 8.0);
  EXPECT_LT(after, 14.0);
  const char* name = nullptr;
  ASSERT_EQ(SncGetPeerName(p_.acc, &name), WEQ_O_K);
  EXPECT_STREQ(name, "p:user@TEST.REALM");

  // The next refresh comes when the new context fell to the lowered
  // watermark; by then another user stands behind the initiator.
  setenv("KRB5_CLIENT_KTNAME", ("FILE:" + realm_.File("client2.keytab")).c_str(), 1);
  snckrb5::Realm::FreshCache(1000);
  SNC_RC rc = WEQ_O_K;
  const auto second = std::chrono::steady_clock::now();
  while (rc == WEQ_O_K && std::chrono::steady_clock::now() - second < std::chrono::seconds(30)) {
    rc = p_.Send(true, "c");
    const timespec quarter{0, 250 * 1000 * 1000};
    if (rc == WEQ_O_K) nanosleep(&quarter, nullptr);
  }
  EXPECT_EQ(rc, SNCERR_REFRESH_WRONG_CRED) << p_.log << ErrText();
  EXPECT_EQ(S(p_.acc)->state, SNC_STATE_ERROR);
  // The name handed out before stays what it was.
  EXPECT_STREQ(name, "p:user@TEST.REALM");
}

}  // namespace
