// Protected conversations against gw_peer: a registered server of ours and
// a client of ours, both in this process, talking through the peer's relay.
// Over the test GSS-API library the SNC layer starts afresh for each test,
// and afterwards no GSS-API object of the library is left alive.
#ifndef TESTS_KRN_CPIC_CPIC_SNC_FIXTURE_H
#define TESTS_KRN_CPIC_CPIC_SNC_FIXTURE_H

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "krn/cpic/cpic_client_fixture.h"
#include "krn/snc/snc_fakegss.h"
#include "krn/snc/snc_int.h"
#include "krn/snc/snc_test_util.h"
#include "support/testsupport.h"

namespace cpicsnctest {

using cpictest::ConvId;
using cpictest::ErrFld;
using cpictest::Received;

inline constexpr const char* kSncVars[] = {"SNC_MODE", "SNC_PARTNERNAME", "SNC_MYNAME", "SNC_LIB", "SNC_QOP",
                                           "SNC_ROLE"};

// The accepting name the test library gives without one of its own.
inline constexpr char16_t kServerName[] = u"p:host/server";

inline CPIC_SNC_PARAMS Block(uint8_t mode, const std::u16string& partner = u"", uint8_t qop = 0, uint8_t role = 0) {
  CPIC_SNC_PARAMS b{};
  b.first = 1;
  b.mode = mode;
  b.qop = qop;
  b.role = role;
  memcpy(b.partnerName, partner.data(), partner.size() * sizeof(WEQ_UC));
  return b;
}

// The GSS-API objects of the test library alive now: names, buffers,
// credentials, contexts.
inline std::vector<long> Live(const FakeGssCtl* c) {
  return {c->liveNames, c->liveBuffers, c->liveCreds, c->liveContexts};
}

// A registration of ours with an SNC block and the conversations that a
// client of ours brings to it through gw_peer.
class ProtectedRoad : public cpictest::ClientTest {
 protected:
  int32_t Register(const CPIC_SNC_PARAMS& snc, const std::u16string& tp = u"SERVER") {
    int32_t h = -1;
    EXPECT_EQ(WEQ_CMREGTP3(tp.c_str(), host_.c_str(), serv_.c_str(), &h, &snc, nullptr), CM_OK)
        << ErrFld(ERR_FLD_ERROR);
    EXPECT_EQ(peer().Wait("EVENT", "REGISTER").get("tp"), tovtest::ToUtf8(tp));
    ConvId none;
    EXPECT_EQ(WEQ_CMACCPTP3(h, -2, none, nullptr, nullptr), CM_OK) << ErrFld(ERR_FLD_ERROR);
    EXPECT_EQ(peer().Wait("EVENT", "REGWAIT").dir, "EVENT");
    return h;
  }

  // One conversation from a client of ours (block cli) to a registration
  // with block srv: the client initialises, allocates and runs client on a
  // thread of its own; the server accepts and runs server. The accept's
  // code is returned, the client's initialise and allocate through
  // *initRc; the registration is unregistered at the end.
  CM_RETURN_CODE Road(const CPIC_SNC_PARAMS& srv, const CPIC_SNC_PARAMS& cli, const std::function<void(ConvId&)>& client,
                      const std::function<void(ConvId&)>& server, CM_RETURN_CODE* initRc = nullptr) {
    int32_t h = Register(srv);
    std::thread t([&] {
      ConvId c;
      CM_RETURN_CODE rc = Init(c, u"SERVER", u"partner", u'I', -1, &cli);
      if (rc == CM_OK) rc = STALLC(c, nullptr);
      if (initRc != nullptr) *initRc = rc;
      EXPECT_EQ(rc, CM_OK) << ErrFld(ERR_FLD_ERROR);
      if (rc == CM_OK) client(c);
    });
    EXPECT_EQ(NextReady(5000), h);
    ConvId acc;
    CM_RETURN_CODE arc = WEQ_CMACCPTP3(h, 5, acc, nullptr, nullptr);
    if (arc == CM_OK) server(acc);
    t.join();
    Drain();
    EXPECT_EQ(WEQ_CMUNREGTP3(h, nullptr), CM_OK);
    Drain();
    return arc;
  }

  // Data of a size and pattern that no protection leaves as it is.
  static std::string Pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + (i * 7 + i / 26) % 26);
    return s;
  }
};

#ifdef SNC_FAKEGSS_V2
// The road over the test GSS-API library, started afresh for each test.
class SncConversation : public ProtectedRoad {
 protected:
  void SetUp() override {
    for (const char* v : kSncVars) unsetenv(v);
    ClientTest::SetUp();
    ctl_ = snctest::FakeCtl(kLib);
    ASSERT_NE(ctl_, nullptr);
    ResetCtl();
    SncIResetGlobal();
    setenv("SNC_LIB", kLib, 1);
  }
  void TearDown() override {
    ClientTest::TearDown();
    EXPECT_EQ(ctl_->liveContexts, 0) << "a security context outlived its conversation";
    SncIResetGlobal();
    EXPECT_EQ(Live(ctl_), (std::vector<long>{0, 0, 0, 0})) << "names, buffers, credentials, contexts";
    ResetCtl();
    for (const char* v : kSncVars) unsetenv(v);
  }
  void ResetCtl() {
    long loads = ctl_->loads;
    *ctl_ = FakeGssCtl{};
    ctl_->mechs[0] = kFakeKrb5, ctl_->nmechs = 1, ctl_->extType = 7, ctl_->realm = "TEST.REALM";
    ctl_->loads = loads;
  }

  static constexpr const char* kLib = SNC_FAKEGSS_V2;
  FakeGssCtl* ctl_ = nullptr;
};
#endif

}  // namespace cpicsnctest

#endif
