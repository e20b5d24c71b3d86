// The gateway connect over NI against gw_peer on 127.0.0.1, and on ::1 when
// the executable runs with WEQ_IPv6_ACTIVE=1: the request as the peer
// decoded it, the answer's options, echo and identification block, every
// refusal and fault of the gateway, and name and service failures. After
// every call no NI handle and no descriptor of the test's is left open.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <string>
#include <vector>

#include "krn/cpic/cpic.h"
#include "krn/dptrc/err.h"
#include "krn/dptrc/trc_checker.h"
#include "krn/gw/gw.h"
#include "krn/gw/gw_int.h"
#include "krn/gw/gw_peer_client.h"
#include "krn/ni/niaddr_int.h"
#include "krn/ni/nixx_int.h"
#include "krn/thr/thr.h"
#include "peers/gwcodec.h"
#include "peers/peers.h"
#include "support/testsupport.h"

namespace {

using gwtest::Family;
using gwtest::GwPeer;
using tovtest::ToUtf8;

std::string Utf8(const std::u16string& s) {
  std::string in(reinterpret_cast<const char*>(s.data()), s.size() * 2), out;
  EXPECT_TRUE(trccheck::Iconv("UTF-8", "UTF-16LE", in, &out));
  return out;
}

using Result = gwtest::ConnectResult;
using GwPeerConnect = gwtest::ConnectFixture;

TEST_F(GwPeerConnect, RequestAsThePeerDecodedIt) {
  GwPeer peer;
  ASSERT_TRUE(peer.ok());
  Result r = Connect(peer, 3, 3000, u"clienthost", u"a_long_program");
  ASSERT_EQ(r.rc, 0) << peer.Text();
  EXPECT_EQ(r.version, 6);
  EXPECT_EQ(r.hdl2, r.hdl);
  bool v4 = Family() == 4;
  gwtest::ExpectFields(peer.Wait("IN", "CONNECT"),
                       {{"len", v4 ? "64" : "136"}, {"version", v4 ? "2" : "3"}, {"type", "3"},
                        {"ip", v4 ? "127.0.0.1" : "0.0.0.1"}, {"service10", "a_long_pr"}, {"service10ended", "1"},
                        {"codepage", "1100"}, {"host8", "clientho"}, {"service8", "a_long_p"}, {"blanks", "1"},
                        {"hdrversion", "6"}, {"accept", "203"}, {"index", "-1"},
                        {"addr", v4 ? "" : "00000000000000000000000000000001"}, {"zeros", "1"}});
  CloseBoth(r);
  EXPECT_EQ(peer.Wait("EVENT", "CLOSED").dir, "EVENT") << "type 3 sends nothing after the request";
  for (const peers::LogLine& l : peer.log().lines()) EXPECT_NE(l.kind, "IDENT");
}

TEST_F(GwPeerConnect, AcceptInfoAndEchoWrittenBackOnce) {
  GwPeer peer({"--hdr-version", "5", "--accept-info", "14", "--echo", "--code-page", "4103"});
  Result r = Connect(peer);
  ASSERT_EQ(r.rc, 0) << peer.Text();
  EXPECT_EQ(r.version, 5);
  EXPECT_EQ(r.info, 0x14);
  EXPECT_EQ(peer.Wait("IN", "ECHO").get("same"), "1") << peer.Text();
  CloseBoth(r);
  peer.Wait("EVENT", "CLOSED");
  int echoes = 0;
  for (const peers::LogLine& l : peer.log().lines()) echoes += l.kind == "ECHO" || l.kind == "MORE";
  EXPECT_EQ(echoes, 1);
}

// Refusals and faults of the gateway: the code, both handles -1, the
// connection closed (the peer sees its end).
TEST_F(GwPeerConnect, RefusalsAndFaults) {
  struct Case {
    std::vector<std::string> args;
    int rc;
  };
  // 100 bytes answer a 136-byte request short, 63 a 64-byte one.
  std::string shortLen = Family() == 6 ? "100" : "63";
  const Case cases[] = {
      {{"--error", "726"}, 726},          {{"--answer-len", shortLen}, 240}, {{"--fault", "short"}, 240},
      {{"--fault", "long"}, 223},         {{"--hdr-version", "0"}, 246},     {{"--hdr-version", "7"}, 246},
      {{"--fault", "close"}, 223},        {{"--fault", "reset"}, 223},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.front() + " " + c.args.back());
    GwPeer peer(c.args);
    Result r = Connect(peer);
    EXPECT_EQ(r.rc, c.rc) << peer.Text();
    EXPECT_EQ(r.hdl, NI_INVALID_HDL);
    EXPECT_EQ(r.hdl2, NI_INVALID_HDL);
    EXPECT_EQ(peer.Wait("IN", "CONNECT").get("type"), "3");
    if (c.args.back() != "close" && c.args.back() != "reset") {
      EXPECT_EQ(peer.Wait("EVENT", "CLOSED").dir, "EVENT") << peer.Text();
    }
  }
}

// An error answer with the gateway's record behind it: the record becomes
// the thread's error information; 30 bytes that are no whole record reach
// the reader too, which keeps them as a damaged record.
TEST_F(GwPeerConnect, ErrorRecordOfTheGateway) {
  {
    GwPeer peer({"--error", "726", "--error-text", "no T8 connected"});
    Result r = Connect(peer);
    EXPECT_EQ(r.rc, 726) << peer.Text();
    EXPECT_EQ(ToUtf8(ErrGetFld(ERR_FLD_ERROR)), "no T8 connected");
    EXPECT_EQ(ToUtf8(ErrGetFld(ERR_FLD_RC)), "726");
    EXPECT_EQ(ToUtf8(ErrGetFld(ERR_FLD_COMPONENT)), "GATEWAY");
    std::string all = ToUtf8(WEQ_CMPERR());
    EXPECT_NE(all.find("no T8 connected"), std::string::npos) << all;
    EXPECT_NE(all.find("gw_peer"), std::string::npos) << all;
  }
  GwPeer peer({"--error", "726", "--error-size", "30"});
  Result r = Connect(peer);
  EXPECT_EQ(r.rc, 726);
  EXPECT_EQ(peer.Wait("OUT", "ANSWER").num("len"), (Family() == 6 ? 136 : 64) + 30);
  const WEQ_UC* rec = nullptr;
  size_t units = 0;
  ASSERT_EQ(ErrGetAttr(&rec, &units), 0);
  EXPECT_EQ(units, 30u) << "the 30 bytes were read as the record";
  EXPECT_EQ(ErrIGet(nullptr), ERR_DAMAGED);
}

// A gateway that takes the request and never answers: the read ends by the
// time-out (223) without the compatibility flag.
TEST_F(GwPeerConnect, SilentGatewayEndsWithinTheTimeout) {
  GwPeer peer({"--fault", "silent"});
  Result r = Connect(peer, 3, 300);
  EXPECT_EQ(r.rc, 223);
  EXPECT_GE(r.ms, 250);
  EXPECT_LT(r.ms, 2000);
  EXPECT_EQ(r.hdl, NI_INVALID_HDL);
  EXPECT_EQ(ToUtf8(ErrGetFld(ERR_FLD_SYSCALL)), "GwRead");
  EXPECT_EQ(ToUtf8(ErrGetFld(ERR_FLD_DETAIL)), "timeout 300 msecs");
}

TEST_F(GwPeerConnect, IdentificationBlockOnlyForRegisteringTypes) {
  const std::u16string host = u"h\u00f6st-\u65e5\u672c", service = u"REG_\U0001F600";
  for (uint8_t type : {3, 11, 14}) {
    SCOPED_TRACE(static_cast<int>(type));
    GwPeer peer({"--echo"});
    Result r = Connect(peer, type, 3000, host, service);
    ASSERT_EQ(r.rc, 0) << peer.Text();
    EXPECT_EQ(peer.Wait("IN", "ECHO").get("same"), "1");
    if (type == 3) {
      CloseBoth(r);
      peer.Wait("EVENT", "CLOSED");
      for (const peers::LogLine& l : peer.log().lines()) EXPECT_NE(l.kind, "IDENT");
      continue;
    }
    peers::LogLine b = peer.Wait("IN", "IDENT");
    EXPECT_EQ(b.get("len"), "512") << peer.Text();
    EXPECT_EQ(b.get("host"), peers::HexOf(Utf8(host)));
    EXPECT_EQ(b.get("service"), peers::HexOf(Utf8(service)));
    EXPECT_EQ(b.get("ended"), "1");
    EXPECT_EQ(b.num("blanks"), static_cast<long long>(512 - Utf8(host).size() - 1 - Utf8(service).size() - 1));
    CloseBoth(r);
  }
}

// Names the block cannot carry: 777 after the answer, nothing sent.
TEST_F(GwPeerConnect, NamesTooLongForTheBlock) {
  for (const std::u16string& service : {std::u16string(64, u'S'), std::u16string(32, u'\u00e9')}) {
    GwPeer peer;
    Result r = Connect(peer, 11, 3000, u"host", service);
    EXPECT_EQ(r.rc, 777);
    EXPECT_EQ(r.hdl, NI_INVALID_HDL);
    EXPECT_EQ(ToUtf8(ErrGetFld(ERR_FLD_ERROR)), "field = my_service, rc=32");
    EXPECT_EQ(peer.Wait("EVENT", "CLOSED").dir, "EVENT");
    for (const peers::LogLine& l : peer.log().lines()) EXPECT_NE(l.kind, "IDENT");
  }
}

TEST_F(GwPeerConnect, RefusedPortAndUnknownNames) {
  GwPeer refused({"--fault", "refuse"});
  Result r = Connect(refused);
  EXPECT_EQ(r.rc, 236);
  EXPECT_EQ(ToUtf8(ErrGetFld(ERR_FLD_RC)), std::to_string(NIECONN_REFUSED));

  NI_HDL h = 5, h2 = 5;
  EXPECT_EQ(GwIConnect(3, gwtest::LoopbackHost().c_str(), nullptr, u"no_such_gw_service", u"me", nullptr, u"p", &h,
                       &h2, 0, nullptr, nullptr, 1000, 0, -1, nullptr, nullptr),
            665);
  EXPECT_EQ(h, NI_INVALID_HDL);

  // The resolver knows no host: 664 from the connect; a "%%" name is never
  // asked for.
  static int lookups;
  lookups = 0;
  NiIResolverOps ops = NiIResolver();
  ops.hostByName = [](const WEQ_UC*, int, int, NI_NODEADDR*, int*, WEQ_UC*, int, CTRC_HDL) -> NI_RC {
    ++lookups;
    return NIEHOST_UNKNOWN;
  };
  NiISetResolver(&ops);
  EXPECT_EQ(GwIConnect(3, u"gw.unknown.test", nullptr, u"3300", u"me", nullptr, u"p", &h, &h2, 0, nullptr, nullptr,
                       1000, 0, -1, nullptr, nullptr),
            664);
  EXPECT_GE(lookups, 1);
  lookups = 0;
  NI_NODEADDR a{};
  ErrClear();
  EXPECT_EQ(GwHostToAddr(u"%%x", &a), NIEHOST_UNKNOWN);
  EXPECT_EQ(lookups, 0);
  EXPECT_EQ(ToUtf8(ErrGetFld(ERR_FLD_RC)), "-2");
}

// A connect through NI's router: the route reaches the router whole, the
// gateway sees the request of a client at the address of its connection to
// the router, and the echo and the identification block cross the relay.
// A router that cannot reach the gateway answers with its own code, which
// is no code of the connect's own (666).
TEST_F(GwPeerConnect, ThroughARouter) {
  GwPeer peer({"--echo"});
  const std::string at = Family() == 6 ? "[::1]" : "127.0.0.1";
  const std::vector<std::string> fam = {"--family", std::to_string(Family())};
  peers::PeerProcess router("router", {fam[0], fam[1], "--names", "gw=" + at + ":" + std::to_string(peer.port())});
  ASSERT_TRUE(peer.ok() && router.ok());
  peers::PeerLog rlog(router);
  const std::u16string route =
      u"/H/" + gwtest::LoopbackHost() + u"/S/" + tovtest::FromUtf8(std::to_string(router.port())) + u"/H/gw";
  Result r = Connect(peer, 11, 3000, u"clienthost", u"tpname", 0, nullptr, route);
  ASSERT_EQ(r.rc, 0) << peer.Text() << rlog.Text();
  EXPECT_EQ(r.hdl2, r.hdl);
  peers::LogLine l;
  ASSERT_TRUE(rlog.Wait("IN", "entry", &l, 3000, "index", "1"));
  EXPECT_EQ(l.get("host") + "|" + l.get("service"), "gw|" + std::to_string(peer.port()));
  EXPECT_TRUE(rlog.Wait("OUT", "pong", nullptr, 3000));
  bool v4 = Family() == 4;
  gwtest::ExpectFields(peer.Wait("IN", "CONNECT"), {{"len", v4 ? "64" : "136"}, {"type", "11"},
                                                    {"ip", v4 ? "127.0.0.1" : "0.0.0.1"}, {"host8", "clientho"}});
  EXPECT_EQ(peer.Wait("IN", "ECHO").get("same"), "1");
  peers::LogLine b = peer.Wait("IN", "IDENT");
  EXPECT_EQ(b.get("len") + b.get("ok"), "5121");
  EXPECT_EQ(b.get("service"), peers::HexOf("tpname"));
  CloseBoth(r);
  EXPECT_EQ(peer.Wait("EVENT", "CLOSED").dir, "EVENT");
  EXPECT_TRUE(rlog.Wait("EVENT", "relay-ended", nullptr, 3000));

  peers::PeerProcess nowhere("router", {fam[0], fam[1], "--names", "gw=" + at + ":" +
                                                                   std::to_string(peers::FreePort(v4 ? AF_INET : AF_INET6))});
  ASSERT_TRUE(nowhere.ok());
  const std::u16string route2 =
      u"/H/" + gwtest::LoopbackHost() + u"/S/" + tovtest::FromUtf8(std::to_string(nowhere.port())) + u"/H/gw";
  r = Connect(peer, 3, 3000, u"clienthost", u"prog", 0, nullptr, route2);
  EXPECT_EQ(r.rc, 666);
  EXPECT_EQ(r.hdl, NI_INVALID_HDL);
  EXPECT_EQ(r.hdl2, NI_INVALID_HDL);
  EXPECT_EQ(ToUtf8(ErrGetFld(ERR_FLD_RC)), std::to_string(NIEROUT_CONN_REFUSED));
}

}  // namespace
