// The verbs' tests against gw_peer: the layer started afresh for each test
// with the options it names, the peer on the test's loopback address, the
// initialise of a conversation to it, and the checks after each test that
// no conversation entry, NI handle or descriptor was left and that every
// request the peer checked was right.
#ifndef TESTS_KRN_CPIC_CPIC_CLIENT_FIXTURE_H
#define TESTS_KRN_CPIC_CPIC_CLIENT_FIXTURE_H

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "krn/cpic/cpic.h"
#include "krn/cpic/cpic_peer_fixture.h"
#include "krn/cpic/cpic_int.h"
#include "krn/dptrc/err.h"
#include "krn/gw/gw_peer_client.h"
#include "krn/ni/nixx_int.h"
#include "krn/thr/thr.h"
#include "peers/peers.h"
#include "support/testsupport.h"

namespace cpictest {

// The layer's options and the variables the verbs read, set for one test.
inline constexpr const char* kClientVars[] = {"CPIC_BUFFERING", "CPIC_TRACE",      "CPIC_WITH_LU_ADDR",
                                              "CPIC_PING",      "CPIC_MAX_CONV",   "SIDE_INFO",
                                              "USERNAME",       "CPIC_TRACE_RAW",  "CPIC_CONNECT_TIMEOUT",
                                              "CPIC_PING_PERIOD", "CPIC_PING_REPLY", "CPIC_TRACE_APPCHDR"};

struct ConvId {
  char id[8];
  ConvId() { memset(id, ' ', 8); }
  std::string str() const { return std::string(id, 8); }
  operator char*() { return id; }
};

// A receive's outputs.
struct Received {
  CM_RETURN_CODE rc = -1;
  int32_t dataReceived = -1, length = -1, status = -1, rts = -1;
  std::string data;
};

class ClientTest : public ::testing::Test {
 protected:
  // env: the options of this test, set before the layer starts.
  void SetUpWith(const std::vector<std::pair<std::string, std::string>>& env) {
    ASSERT_EQ(ThrProcInit(), THR_ERR_OK);
    for (const char* v : kClientVars) unsetenv(v);
    for (const auto& [k, v] : env) setenv(k.c_str(), v.c_str(), 1);
    CpicIResetProcess();
    ErrClear();
    ASSERT_EQ(NiInit3(512), WEQ_O_K);
    freeBefore_ = NiIFreeHandles();
    fdsBefore_ = peers::OpenFdCount();
  }
  void SetUp() override { SetUpWith({}); }
  // The layer started afresh with other options (no conversation may be
  // open).
  void Restart(const std::vector<std::pair<std::string, std::string>>& env) {
    CpicIResetProcess();
    for (const char* v : kClientVars) unsetenv(v);
    for (const auto& [k, v] : env) setenv(k.c_str(), v.c_str(), 1);
    ErrClear();
  }
  static CPIC_CONV_ENTRY* Entry(ConvId& id) { return STISearchConv(id, 0, 0); }
  void TearDown() override {
    if (peer_ != nullptr && peer_->ok()) {
      EXPECT_EQ(Bad(), 0) << "requests the peer found wrong:\n" << BadLines();
    }
    EXPECT_EQ(STIActiveConvs(), 0) << "a conversation entry was left";
    peer_.reset();
    CpicIResetProcess();
    for (const char* v : kClientVars) unsetenv(v);
    EXPECT_EQ(NiIFreeHandles(), freeBefore_) << "an NI handle was left open";
    EXPECT_EQ(peers::OpenFdCount(), fdsBefore_) << "a descriptor was left open";
    NiExit();
  }

  gwtest::GwPeer& StartPeer(std::vector<std::string> args = {}) {
    peer_ = std::make_unique<gwtest::GwPeer>(args);
    EXPECT_TRUE(peer_->ok());
    host_ = gwtest::LoopbackHost();
    serv_ = peer_->Service();
    return *peer_;
  }
  gwtest::GwPeer& peer() { return *peer_; }

  // An initialise with every argument-side key given (no file is read).
  CM_RETURN_CODE Init(ConvId& id, const std::u16string& tp = u"echo", const std::u16string& lu = u"partner",
                      WEQ_UC protocol = u'I', int32_t trace = 0, const CPIC_SNC_PARAMS* snc = nullptr,
                      const char16_t* dest = u"DEST1") {
    CM_RETURN_CODE rc = -1;
    CM_RETURN_CODE r = WEQ_STINIT3(id, dest, lu.c_str(), tp.c_str(), host_.c_str(), serv_.c_str(), protocol, trace,
                                   snc, &rc);
    EXPECT_EQ(r, rc);
    return r;
  }
  CM_RETURN_CODE Open(ConvId& id, const std::u16string& tp = u"echo") {
    CM_RETURN_CODE rc = Init(id, tp);
    if (rc != CM_OK) return rc;
    return STALLC(id, nullptr);
  }
  CM_RETURN_CODE Send(ConvId& id, const std::string& data) {
    int32_t len = static_cast<int32_t>(data.size()), rts = -1;
    CM_RETURN_CODE rc = -1;
    CM_RETURN_CODE r = STSEND(id, data.data(), &len, &rts, &rc);
    EXPECT_EQ(r, rc);
    return r;
  }
  Received Receive(ConvId& id, int32_t requested = 32000) {
    Received r;
    std::string buf(static_cast<size_t>(requested) + 1, '\xEE');
    CM_RETURN_CODE rc = -1;
    r.rc = STRCV(id, buf.data(), &requested, &r.dataReceived, &r.length, &r.status, &r.rts, &rc);
    EXPECT_EQ(r.rc, rc);
    EXPECT_EQ(buf[static_cast<size_t>(requested)], '\xEE') << "written beyond the requested length";
    if (r.length > 0 && r.length <= requested) r.data = buf.substr(0, static_cast<size_t>(r.length));
    return r;
  }
  // The listener's part: waits up to ms for the next ready handle of the
  // select set (the requests of other threads carried out on the way); -1
  // when none came.
  static int32_t NextReady(int ms, void** user = nullptr) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
      int32_t h = -1;
      if (WEQ_CMGETNEXTHDL(&h, user, nullptr) == CM_OK && h != -1) return h;
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
      if (left.count() <= 0) return -1;
      if (WEQ_CMLISTEN(static_cast<int32_t>(left.count()), nullptr) != CM_OK) continue;
    }
  }
  // Carries out what other threads asked of the select set (closes above
  // all) while nothing is ready.
  static void Drain() {
    for (int i = 0; i < 3; ++i) NextReady(20);
  }

  // The peer's line of the next request of code req (its check named).
  peers::LogLine Request(int req, int ms = 3000) {
    peers::LogLine l = peer_->Wait("IN", "APPC", ms, "req", std::to_string(req));
    EXPECT_EQ(l.dir, "IN") << "no request " << req << "\n" << peer_->Text();
    return l;
  }
  long Bad() {
    if (!peer_->Control("stats")) return -1;
    peers::LogLine l = peer_->Wait("EVENT", "STATS");
    return l.dir == "EVENT" ? static_cast<long>(l.num("bad")) : -1;
  }
  std::string BadLines() {
    std::string out;
    for (const peers::LogLine& l : peer_->log().lines())
      if (l.kind == "APPC" && l.has("check") && l.get("check") != "ok" && l.get("check") != "none")
        out += l.raw.substr(0, 300) + "\n";
    return out;
  }

  std::unique_ptr<gwtest::GwPeer> peer_;
  std::u16string host_, serv_;
  int32_t freeBefore_ = 0;
  int fdsBefore_ = 0;
};

inline std::string ErrFld(int f) { return tovtest::ToUtf8(ErrGetFld(f)); }

}  // namespace cpictest

#endif
