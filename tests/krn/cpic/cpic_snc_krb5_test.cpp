// Protected conversations over MIT Kerberos in a throw-away realm: a
// client of ours initiates as user@TEST.REALM towards the service
// snc/localhost, a registered server of ours accepts with the service's
// keytab, gw_peer relays between them. The realm and its KDC are made for
// the executable's tests; a KDC that cannot start fails them.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>

#include "krn/cpic/cpic_snc_fixture.h"
#include "krn/snc/snc_krb5_realm.h"

namespace {

using cpicsnctest::Block;
using cpictest::ConvId;
using cpictest::ErrFld;
using cpictest::Received;

constexpr char16_t kService[] = u"p:snc/localhost@TEST.REALM";

// The exported name of a Kerberos 5 principal as RFC 2743 (3.2) writes it,
// behind the two bytes of the adapter type (2): 04 01, the length of the
// mechanism's DER object identifier, the identifier 1.2.840.113554.1.2.2,
// the name's length in four bytes, the name.
std::string Krb5AclKey(const std::string& principal) {
  std::string k = peers::FromHex("00020401000b06092a864886f712010202");
  const uint32_t n = static_cast<uint32_t>(principal.size());
  for (int shift = 24; shift >= 0; shift -= 8) k.push_back(static_cast<char>(n >> shift));
  return k + principal;
}

class CpicSncKrb5 : public cpicsnctest::ProtectedRoad {
 protected:
  static void SetUpTestSuite() {
    realm_ = new snckrb5::Realm;
    std::string why;
    started_ = realm_->Start(&why);
    why_ = why;
  }
  static void TearDownTestSuite() {
    delete realm_;
    realm_ = nullptr;
  }
  void SetUp() override {
    ASSERT_TRUE(started_) << why_;
    for (const char* v : {"SNC_MODE", "SNC_PARTNERNAME", "SNC_MYNAME", "SNC_QOP", "SNC_ROLE"}) unsetenv(v);
    ClientTest::SetUp();
    realm_->UseForSnc();
    SncIResetGlobal();
  }
  void TearDown() override {
    ClientTest::TearDown();
    SncIResetGlobal();
    unsetenv("SNC_LIB");
  }

  static snckrb5::Realm* realm_;
  static bool started_;
  static std::string why_;
};

snckrb5::Realm* CpicSncKrb5::realm_ = nullptr;
bool CpicSncKrb5::started_ = false;
std::string CpicSncKrb5::why_;

// The relay road at privacy and at integrity: data both ways, the server
// learns the client's principal and its ACL key, byte for byte.
TEST_F(CpicSncKrb5, RelayRoadAtPrivacyAndIntegrity) {
  for (uint8_t q : {3, 2}) {
    SCOPED_TRACE(static_cast<int>(q));
    StartPeer();
    std::string reply, name, key;
    const std::string ask(20000, 'k');
    CM_RETURN_CODE arc = Road(
        Block(1), Block(1, kService, q),
        [&](ConvId& c) {
          EXPECT_EQ(Send(c, ask), CM_OK) << ErrFld(ERR_FLD_ERROR);
          Received r = Receive(c);
          EXPECT_EQ(r.rc, CM_OK) << ErrFld(ERR_FLD_ERROR);
          reply = r.data;
          EXPECT_EQ(STDEAL(c, nullptr), CM_OK);
        },
        [&](ConvId& acc) {
          Received r = Receive(acc);
          EXPECT_EQ(r.rc, CM_OK) << ErrFld(ERR_FLD_ERROR);
          EXPECT_TRUE(r.data == ask);
          WEQ_UC n[300];
          EXPECT_EQ(WEQ_CMSNCNAME(acc, n, 300, nullptr), CM_OK) << ErrFld(ERR_FLD_ERROR);
          name = tovtest::ToUtf8(n);
          uint8_t k[512];
          uint32_t len = 0;
          EXPECT_EQ(WEQ_CMACLKEY(acc, k, 512, &len, nullptr), CM_OK);
          key.assign(reinterpret_cast<char*>(k), len);
          EXPECT_EQ(Send(acc, "from the service"), CM_OK);
          EXPECT_EQ(Receive(acc).rc, CM_DEALLOCATED_NORMAL);
        });
    ASSERT_EQ(arc, CM_OK) << ErrFld(ERR_FLD_ERROR);
    EXPECT_EQ(reply, "from the service");
    EXPECT_EQ(name, "p:user@TEST.REALM");
    EXPECT_EQ(peers::HexOf(key), peers::HexOf(Krb5AclKey("user@TEST.REALM")));
    EXPECT_EQ(Bad(), 0) << BadLines();
    peer_.reset();
  }
}

// A partner name the KDC does not know: the client's first send fails
// with 20 and MIT's text in the error information; the server learns the
// reason (766).
TEST_F(CpicSncKrb5, WrongPartnerName) {
  Restart({{"CPIC_BUFFERING", "0"}});
  StartPeer();
  CM_RETURN_CODE sent = -1, initRc = -1;
  std::string text;
  Road(
      Block(1), Block(1, u"p:snc/nohost@TEST.REALM", 3),
      [&](ConvId& c) {
        int32_t len = 2, rts = 0;
        sent = STSEND(c, "hi", &len, &rts, nullptr);
        // The record wraps its lines: read it as one line of words.
        for (char ch : tovtest::ToUtf8(WEQ_CMPERR())) {
          const bool space = ch == ' ' || ch == '\n';
          if (!space || (!text.empty() && text.back() != ' ')) text += space ? ' ' : ch;
        }
        STDEAL(c, nullptr);
      },
      [&](ConvId& acc) {
        Receive(acc);
        STDEAL(acc, nullptr);
      },
      &initRc);
  EXPECT_EQ(initRc, CM_OK);
  EXPECT_EQ(sent, CM_PRODUCT_SPECIFIC_ERROR);
  EXPECT_NE(text.find("Server snc/nohost@TEST.REALM not found in Kerberos database"), std::string::npos) << text;
  gwtest::ExpectFields(peer().Wait("IN", "APPC", 3000, "req", "11"), {{"appcrc", "6"}, {"weqrc", "766"}});
}

}  // namespace
