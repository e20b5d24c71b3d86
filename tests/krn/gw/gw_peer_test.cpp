// The gateway connect against gw_peer on 127.0.0.1 and ::1. The NI
// operation slots are the test's own socket ends with the 4-byte length
// framing, so the connect record, the answer, the echo and the
// identification block cross a real connection; the peer logs what it
// decoded, which the test reads after the peer ended (with a deadline).
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "krn/cpic/cpic.h"
#include "krn/dptrc/err.h"
#include "krn/dptrc/trc_checker.h"
#include "krn/gw/gw.h"
#include "krn/gw/gw_int.h"
#include "krn/thr/thr.h"
#include "peers/peer_spawn.h"
#include "peers/peers.h"
#include "support/testsupport.h"

namespace {

struct Wire {
  int family = AF_INET;
  int port = 0;
};

GwNiOps WireOps() {
  GwNiOps ops = GwIDefaultOps();
  ops.connect.fn = [](const WEQ_UC*, const WEQ_UC*, int32_t, NI_HDL* hdl, uint32_t, void* ctx) -> NI_RC {
    auto* w = static_cast<Wire*>(ctx);
    peers::Fd fd = peers::Connect(w->family, static_cast<uint16_t>(w->port));
    *hdl = fd.valid() ? fd.Release() : NI_INVALID_HDL;
    return *hdl >= 0 ? 0 : NIECONN_REFUSED;
  };
  ops.write.fn = [](NI_HDL hdl, const void* data, int len, int, uint32_t* written, void*) -> NI_RC {
    std::string f(4, '\0');
    uint32_t n = static_cast<uint32_t>(len);
    f[0] = char(n >> 24), f[1] = char(n >> 16), f[2] = char(n >> 8), f[3] = char(n);
    f.append(static_cast<const char*>(data), static_cast<size_t>(len));
    if (!peers::WriteAll(hdl, f)) return NIECONN_BROKEN;
    *written = n;
    return 0;
  };
  ops.read.fn = [](NI_HDL hdl, void* buf, int len, int timeout, uint32_t* read, void*) -> NI_RC {
    auto start = std::chrono::steady_clock::now();
    std::string head = peers::ReadFor(hdl, 4, timeout);
    auto left = [&] {
      return timeout - static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                            std::chrono::steady_clock::now() - start)
                                            .count());
    };
    if (head.size() < 4) return left() <= 0 ? NIETIMEOUT : NIECONN_BROKEN;
    uint32_t n = (uint32_t(uint8_t(head[0])) << 24) | (uint32_t(uint8_t(head[1])) << 16) |
                 (uint32_t(uint8_t(head[2])) << 8) | uint8_t(head[3]);
    if (n > static_cast<uint32_t>(len)) return NIETOO_SMALL;
    std::string body = peers::ReadFor(hdl, n, std::max(left(), 1));
    if (body.size() < n) return left() <= 0 ? NIETIMEOUT : NIECONN_BROKEN;
    memcpy(buf, body.data(), n);
    *read = n;
    return 0;
  };
  ops.close.fn = [](NI_HDL hdl, void*) -> NI_RC { return close(hdl) == 0 ? 0 : NIEINVAL; };
  return ops;
}

// key=value fields of the first log line that begins with prefix.
std::map<std::string, std::string> LogFields(const std::string& log, const std::string& prefix) {
  std::map<std::string, std::string> out;
  std::istringstream in(log);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(prefix, 0) != 0) continue;
    std::istringstream words(line.substr(prefix.size()));
    std::string w;
    while (words >> w) {
      size_t eq = w.find('=');
      if (eq != std::string::npos) out[w.substr(0, eq)] = w.substr(eq + 1);
    }
    out["*"] = "1";
    break;
  }
  return out;
}

std::string Hex(const std::string& b) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : b) out += kDigits[c >> 4], out += kDigits[c & 15];
  return out;
}

std::string Utf8(const std::u16string& s) {
  std::string in(reinterpret_cast<const char*>(s.data()), s.size() * 2), out;
  EXPECT_TRUE(trccheck::Iconv("UTF-8", "UTF-16LE", in, &out));
  return out;
}

struct PeerRun {
  int rc = -1;
  NI_HDL hdl = 0, hdl2 = 0;
  uint8_t version = 0, info = 0;
  std::string log;
  long ms = 0;
};

class GwPeer : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    ASSERT_EQ(ThrProcInit(), THR_ERR_OK);
    fdsBefore_ = peers::OpenFdCount();
    wire_.family = GetParam() == 6 ? AF_INET6 : AF_INET;
  }
  void TearDown() override {
    GwISetOps(nullptr);
    EXPECT_EQ(peers::OpenFdCount(), fdsBefore_) << "a descriptor was left open";
  }

  // The local address the client states: IPv4-mapped 127.0.0.1 or ::1.
  NI_NODEADDR Local() const {
    NI_NODEADDR a{};
    if (wire_.family == AF_INET) {
      a.addr[10] = a.addr[11] = 0xFF, a.addr[12] = 127, a.addr[15] = 1;
    } else {
      a.addr[15] = 1;
    }
    return a;
  }

  PeerRun Connect(const std::vector<std::string>& args, uint8_t type = 3, int timeout = 3000,
              const std::u16string& host = u"clienthost", const std::u16string& service = u"myprog") {
    PeerRun r;
    std::vector<std::string> all = {"--family", std::to_string(GetParam())};
    all.insert(all.end(), args.begin(), args.end());
    peers::PeerProcess peer("connect", all, 5000, peers::GwPeerPath());
    EXPECT_TRUE(peer.ok()) << peer.Stop();
    if (!peer.ok()) return r;
    wire_.port = peer.port();
    GwNiOps ops = WireOps();
    GwISetOps(&ops);
    NI_NODEADDR local = Local();
    auto start = std::chrono::steady_clock::now();
    r.rc = GwIConnect(type, u"loopback", nullptr, u"sapgw00", host.c_str(), &local, service.c_str(), &r.hdl,
                      &r.hdl2, 0, &r.version, &r.info, timeout, 0, -1, u"1100", &wire_);
    r.ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    if (r.rc == 0) GwIOps().close.fn(r.hdl, &wire_);
    int status = 0;
    EXPECT_TRUE(peer.WaitExit(6000, &status)) << "the peer did not end";
    r.log = peer.Stop();
    return r;
  }
  Wire wire_;
  int fdsBefore_ = 0;
};

TEST_P(GwPeer, RequestAsThePeerDecodedIt) {
  PeerRun r = Connect({"--hdr-version", "6"});
  ASSERT_EQ(r.rc, 0) << r.log;
  EXPECT_EQ(r.version, 6);
  EXPECT_GE(r.hdl, 0);
  EXPECT_EQ(r.hdl2, r.hdl);
  auto f = LogFields(r.log, "LOG IN CONNECT ");
  ASSERT_EQ(f["*"], "1") << r.log;
  bool v4 = GetParam() == 4;
  EXPECT_EQ(f["len"], v4 ? "64" : "136");
  EXPECT_EQ(f["version"], v4 ? "2" : "3");
  EXPECT_EQ(f["type"], "3");
  EXPECT_EQ(f["ip"], v4 ? "127.0.0.1" : "0.0.0.1");
  EXPECT_EQ(f["service10"], "myprog");
  EXPECT_EQ(f["codepage"], "1100");
  EXPECT_EQ(f["host8"], "clientho");
  EXPECT_EQ(f["service8"], "myprog");
  EXPECT_EQ(f["blanks"], "1");
  EXPECT_EQ(f["hdrversion"], "6");
  EXPECT_EQ(f["accept"], "0xCB");
  EXPECT_EQ(f["index"], "-1");
  EXPECT_EQ(f["addr"], v4 ? "-" : "00000000000000000000000000000001");
  EXPECT_EQ(f["zeros"], "1");
  EXPECT_EQ(LogFields(r.log, "LOG IN IDENT ")["*"], "") << "no block for type 3";
}

TEST_P(GwPeer, AcceptInfoAndEcho) {
  PeerRun r = Connect({"--hdr-version", "5", "--accept-info", "14", "--echo", "--code-page", "4103"});
  ASSERT_EQ(r.rc, 0) << r.log;
  EXPECT_EQ(r.version, 5);
  EXPECT_EQ(r.info, 0x14);
  auto e = LogFields(r.log, "LOG IN ECHO ");
  EXPECT_EQ(e["got"], "1") << r.log;
  EXPECT_EQ(e["same"], "1");
  EXPECT_EQ(r.log.find("LOG IN MORE"), std::string::npos) << "the echo goes out once";
}

TEST_P(GwPeer, RefusalsAndFaults) {
  struct Case {
    std::vector<std::string> args;
    int rc;
  };
  const Case cases[] = {
      {{"--error", "726"}, 726},        {{"--fault", "short"}, 240},     {{"--fault", "long"}, 223},
      {{"--hdr-version", "0"}, 246},    {{"--hdr-version", "7"}, 246},   {{"--fault", "close"}, 223},
      {{"--fault", "reset"}, 223},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.back());
    PeerRun r = Connect(c.args);
    EXPECT_EQ(r.rc, c.rc) << r.log;
    EXPECT_EQ(r.hdl, NI_INVALID_HDL);
    EXPECT_EQ(r.hdl2, NI_INVALID_HDL);
    EXPECT_EQ(LogFields(r.log, "LOG IN CONNECT ")["*"], "1") << r.log;
  }
}

// An error answer with the gateway's error record behind it: the record
// becomes the thread's error information.
TEST_P(GwPeer, ErrorRecordOfTheGateway) {
  ErrClear();
  PeerRun r = Connect({"--error", "726", "--error-text", "no T8 connected"});
  EXPECT_EQ(r.rc, 726) << r.log;
  auto out = LogFields(r.log, "LOG OUT ANSWER ");
  EXPECT_GT(std::stoi(out["len"]), GetParam() == 4 ? 64 : 136);
  EXPECT_EQ(tovtest::ToUtf8(ErrGetFld(ERR_FLD_ERROR)), "no T8 connected");
  EXPECT_EQ(tovtest::ToUtf8(ErrGetFld(ERR_FLD_RC)), "726");
  EXPECT_EQ(tovtest::ToUtf8(ErrGetFld(ERR_FLD_COMPONENT)), "GATEWAY");
  EXPECT_NE(tovtest::ToUtf8(WEQ_CMPERR()).find("no T8 connected"), std::string::npos);
}

TEST_P(GwPeer, SilentGatewayEndsWithinTheTimeout) {
  PeerRun r = Connect({"--fault", "delay"}, 3, 400);
  EXPECT_EQ(r.rc, 223) << r.log;
  EXPECT_LT(r.ms, 2500);
  EXPECT_EQ(r.hdl, NI_INVALID_HDL);
}

TEST_P(GwPeer, IdentificationBlockForRegisteringTypes) {
  const std::u16string host = u"h\u00f6st-\u65e5\u672c", service = u"REG_\U0001F600";
  for (uint8_t type : {11, 14}) {
    SCOPED_TRACE(static_cast<int>(type));
    PeerRun r = Connect({"--echo"}, type, 3000, host, service);
    ASSERT_EQ(r.rc, 0) << r.log;
    auto f = LogFields(r.log, "LOG IN IDENT ");
    ASSERT_EQ(f["got"], "1") << r.log;
    EXPECT_EQ(f["len"], "512");
    EXPECT_EQ(f["host"], Hex(Utf8(host)));
    EXPECT_EQ(f["service"], Hex(Utf8(service)));
    EXPECT_EQ(f["blanks"], std::to_string(512 - Utf8(host).size() - 1 - Utf8(service).size() - 1));
    EXPECT_EQ(LogFields(r.log, "LOG IN ECHO ")["same"], "1") << "the echo comes before the block";
  }
}

INSTANTIATE_TEST_SUITE_P(Families, GwPeer, ::testing::Values(4, 6));

}  // namespace
