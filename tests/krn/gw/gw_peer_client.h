// The client side of the tests against gw_peer: the loopback address of the
// test's family (IPv6 when the executable runs with WEQ_IPv6_ACTIVE=1),
// the peer started on it with its log, the peer's port as a service, and a
// fixture that connects to it through NI and checks afterwards that no NI
// handle and no descriptor was left open.
#ifndef TESTS_KRN_GW_GW_PEER_CLIENT_H
#define TESTS_KRN_GW_GW_PEER_CLIENT_H

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <initializer_list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "krn/dptrc/err.h"
#include "krn/gw/gw.h"
#include "krn/gw/gw_int.h"
#include "krn/ni/niaddr_int.h"
#include "krn/ni/nixx_int.h"
#include "krn/thr/thr.h"
#include "peers/peer_spawn.h"
#include "peers/peers.h"
#include "peers/peerlog.h"
#include "support/testsupport.h"

namespace gwtest {

// The fields of a peer's log line that a test expects, each named in a
// failure.
inline void ExpectFields(const peers::LogLine& l,
                         std::initializer_list<std::pair<const char*, std::string>> want) {
  for (const auto& [key, value] : want) EXPECT_EQ(l.get(key), value) << key << " in " << l.raw.substr(0, 400);
}

// 6 when NI runs with IPv6 active, else 4.
inline int Family() {
  const char* v = getenv("WEQ_IPv6_ACTIVE");
  return v != nullptr && v[0] == '1' ? 6 : 4;
}

inline std::u16string LoopbackHost() { return Family() == 6 ? u"::1" : u"127.0.0.1"; }

// A running gw_peer on the test's loopback address and its log.
class GwPeer {
 public:
  explicit GwPeer(std::vector<std::string> args = {}) {
    args.insert(args.begin(), {"--family", std::to_string(Family())});
    proc_ = std::make_unique<peers::PeerProcess>("gateway", args, 5000, peers::GwPeerPath());
    log_ = std::make_unique<peers::PeerLog>(*proc_);
  }
  bool ok() const { return proc_->ok(); }
  std::u16string Service() const { return tovtest::FromUtf8(std::to_string(proc_->port())); }
  int port() const { return proc_->port(); }
  peers::PeerLog& log() { return *log_; }
  bool Control(const std::string& line) { return log_->Control(line); }
  // The first line of this direction and kind still to come, within ms.
  peers::LogLine Wait(const std::string& dir, const std::string& kind, int ms = 3000,
                      const std::string& key = "", const std::string& value = "") {
    peers::LogLine l;
    if (!log_->Wait(dir, kind, &l, ms, key, value)) l.dir = "NONE";
    return l;
  }
  std::string Text() const { return log_->Text(); }

 private:
  std::unique_ptr<peers::PeerProcess> proc_;
  std::unique_ptr<peers::PeerLog> log_;
};

// What a connect to the peer gave.
struct ConnectResult {
  int rc = -1;
  NI_HDL hdl = 0, hdl2 = 0;
  uint8_t version = 0, info = 0;
  long ms = 0;
};

class ConnectFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(ThrProcInit(), THR_ERR_OK);
    ASSERT_EQ(NiInit3(64), WEQ_O_K);
    GwISetOps(nullptr);
    ErrClear();
    freeBefore_ = NiIFreeHandles();
    fdsBefore_ = peers::OpenFdCount();
  }
  void TearDown() override {
    NiISetResolver(nullptr);
    EXPECT_EQ(NiIFreeHandles(), freeBefore_) << "an NI handle was left open";
    EXPECT_EQ(peers::OpenFdCount(), fdsBefore_) << "a descriptor was left open";
    NiExit();
  }

  // A connect to the peer (the caller closes what it hands out).
  ConnectResult Connect(GwPeer& peer, uint8_t type = 3, int timeout = 3000, const std::u16string& host = u"clienthost",
                 const std::u16string& service = u"myprog", int compat = 0, const NI_NODEADDR* local = nullptr,
                 const std::u16string& gwHost = LoopbackHost()) {
    ConnectResult r;
    std::u16string serv = peer.Service();
    auto start = std::chrono::steady_clock::now();
    r.rc = GwIConnect(type, gwHost.c_str(), nullptr, serv.c_str(), host.c_str(), local, service.c_str(), &r.hdl,
                      &r.hdl2, 0, &r.version, &r.info, timeout, compat, -1, u"1100", nullptr);
    r.ms = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
    return r;
  }
  void CloseBoth(const ConnectResult& r) {
    if (r.hdl >= 0) {
      EXPECT_EQ(NiCloseHandle(r.hdl), WEQ_O_K);
    }
    if (r.hdl2 >= 0 && r.hdl2 != r.hdl) {
      EXPECT_EQ(NiCloseHandle(r.hdl2), WEQ_O_K);
    }
  }
  int32_t freeBefore_ = 0;
  int fdsBefore_ = 0;
};

}  // namespace gwtest

#endif
