// Sixteen protected conversations at once over the test GSS-API library:
// 16 clients of ours on their own threads, each establishing its context
// and exchanging numbered messages with one of 16 registrations, served by
// accepting threads of their own. The SNC layer's lock keeps one thread at
// a time inside it; no message is lost, changed or crossed, and afterwards
// no GSS-API object is left alive.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "krn/cpic/cpic_snc_fixture.h"

namespace {

using cpicsnctest::Block;
using cpictest::ConvId;

constexpr int kConversations = 16;
constexpr int kMessages = 20;

class CpicSncThreads : public cpicsnctest::SncConversation {};

TEST_F(CpicSncThreads, SixteenProtectedConversations) {
  StartPeer({"--quiet"});
  ASSERT_TRUE(peer().Control("switch regwait=30000"));
  const CPIC_SNC_PARAMS srv = Block(1);
  std::vector<int32_t> regs;
  for (int i = 0; i < kConversations; ++i) {
    int32_t h = -1;
    ASSERT_EQ(WEQ_CMREGTP2(u"SNCSERVER", host_.c_str(), serv_.c_str(), &h, &srv, nullptr), CM_OK);
    regs.push_back(h);
  }
  std::atomic<int> failures{0};
  std::vector<std::thread> servers;
  for (int32_t h : regs) {
    servers.emplace_back([&, h] {
      ConvId acc;
      CM_RETURN_CODE rc = WEQ_CMACCPTP(h, 30, acc, nullptr);
      if (rc != CM_OK) {
        ADD_FAILURE() << "accept: " << rc << " " << cpictest::ErrFld(ERR_FLD_ERROR);
        ++failures;
        return;
      }
      std::string buf(32000, '\0');
      for (;;) {
        int32_t req = 32000, dr, len, st, rts;
        rc = STRCV(acc, buf.data(), &req, &dr, &len, &st, &rts, nullptr);
        if (rc == CM_DEALLOCATED_NORMAL) break;
        if (rc != CM_OK || STSEND(acc, buf.data(), &len, &rts, nullptr) != CM_OK) {
          ADD_FAILURE() << "server: " << rc << " " << cpictest::ErrFld(ERR_FLD_ERROR);
          ++failures;
          STDEAL(acc, nullptr);
          break;
        }
      }
    });
  }
  std::vector<std::thread> clients;
  for (int t = 0; t < kConversations; ++t) {
    clients.emplace_back([&, t] {
      ConvId c;
      CPIC_SNC_PARAMS cli = Block(1, cpicsnctest::kServerName, static_cast<uint8_t>(1 + t % 3));
      CM_RETURN_CODE rc = Init(c, u"SNCSERVER", u"partner", u'I', -1, &cli);
      if (rc == CM_OK) rc = STALLC(c, nullptr);
      if (rc != CM_OK) {
        ADD_FAILURE() << "client " << t << ": " << rc << " " << cpictest::ErrFld(ERR_FLD_ERROR);
        ++failures;
        STDEAL(c, nullptr);
        return;
      }
      std::string buf(32000, '\0');
      for (int n = 0; n < kMessages; ++n) {
        std::string m = "client " + std::to_string(t) + " message " + std::to_string(n) + " " +
                        Pattern(static_cast<size_t>((t * 131 + n * 977) % 4000));
        int32_t len = static_cast<int32_t>(m.size()), rts, req = 32000, dr, got = -1, st;
        rc = STSEND(c, m.data(), &len, &rts, nullptr);
        if (rc == CM_OK) rc = STRCV(c, buf.data(), &req, &dr, &got, &st, &rts, nullptr);
        if (rc != CM_OK || got != len || buf.compare(0, m.size(), m) != 0) {
          ADD_FAILURE() << "client " << t << " message " << n << ": rc " << rc << ", " << got << " of " << len;
          ++failures;
          break;
        }
      }
      STDEAL(c, nullptr);
    });
  }
  for (auto& c : clients) c.join();
  for (auto& s : servers) s.join();
  for (int i = 0; i < 200 && STIActiveConvs() != kConversations; ++i) NiWait(10);
  for (int32_t h : regs) EXPECT_EQ(WEQ_CMUNREGTP(h, nullptr), CM_OK);
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(STIActiveConvs(), 0);
  EXPECT_EQ(ctl_->liveContexts, 0);
}

}  // namespace
