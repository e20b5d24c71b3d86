// The old connect of earlier gateways over NI against gw_peer and against a
// datagram socket of the test's: the fallback after a silent gateway, the
// datagram's fields, the two connections and their directions, and the
// cases that take no fallback. IPv4 only: the datagram carries IPv4
// addresses.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <string>
#include <utility>

#include "krn/gw/gw.h"
#include "krn/gw/gw_int.h"
#include "krn/gw/gw_peer_client.h"
#include "peers/gwcodec.h"
#include "peers/peers.h"
#include "support/testsupport.h"

namespace {

using gwtest::GwPeer;
using Result = gwtest::ConnectResult;
using GwOldConnect = gwtest::ConnectFixture;

// The old connect after a gateway that reads the request and stays silent:
// the datagram names both ports, the gateway connects to each, and the two
// handles carry messages each their way.
TEST_F(GwOldConnect, OldConnectAfterASilentGateway) {
  GwPeer peer({"--fault", "silent"});
  NI_NODEADDR stated = NiIPv4ToAddr(htonl(0x7F000009));
  Result r = Connect(peer, 3, 400, u"localhost", u"myprog", 1, &stated);
  ASSERT_EQ(r.rc, 0) << peer.Text();
  EXPECT_EQ(r.version, 6);
  EXPECT_EQ(r.info, 0);
  ASSERT_GE(r.hdl, 0);
  ASSERT_GE(r.hdl2, 0);
  EXPECT_NE(r.hdl, r.hdl2);
  peers::LogLine d = peer.Wait("IN", "DGRAM");
  gwtest::ExpectFields(d, {{"ok", "1"}, {"b0", "4"}, {"b1", "1"}, {"ip", "127.0.0.1"}, {"ip2", "127.0.0.1"},
                           {"host8", "localhos"}, {"service8", "myprog  "}, {"b70", "6"}, {"blanks", "1"},
                           {"stated", "127.0.0.9"}, {"zeros", "1"}});
  EXPECT_NE(d.get("readport"), d.get("writeport"));
  peers::LogLine oc = peer.Wait("OUT", "OLDCONNECT");
  gwtest::ExpectFields(oc, {{"read", "1"}, {"write", "1"}});

  // A message written to the second handle arrives as a version-6 message.
  std::string hdr(80, '\0');
  hdr[0] = 6;
  hdr[1] = 9;
  uint32_t written = 0;
  ASSERT_EQ(NiWrite(r.hdl2, hdr.data(), 80, 2000, &written), WEQ_O_K);
  gwtest::ExpectFields(peer.Wait("IN", "APPC"), {{"conn", oc.get("conn")}, {"verok", "1"}, {"req", "9"}});
  // And the gateway's message arrives on the first.
  ASSERT_TRUE(peer.Control("inject hdr appcrc=18 conn=" + oc.get("conn")));
  char buf[200];
  uint32_t got = 0;
  ASSERT_EQ(NiRead(r.hdl, buf, sizeof buf, 3000, &got), WEQ_O_K);
  ASSERT_EQ(got, 80u);
  EXPECT_EQ(peers::GetBe32(std::string(buf, got), 32), 18u);
  CloseBoth(r);
}

// The datagram to a gateway that never connects back: each accept ends by
// its time-out (666) and nothing stays open; the bytes, read by the
// toolkit's codec, carry the ports that were listening.
TEST_F(GwOldConnect, OldConnectWithoutTheGatewaysConnections) {
  uint16_t port = 0;
  peers::Fd tcp = peers::Listener(AF_INET, &port);
  peers::Fd udp(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_storage sa;
  socklen_t len = peers::LoopbackAddr(AF_INET, port, &sa);
  ASSERT_EQ(bind(udp.get(), reinterpret_cast<sockaddr*>(&sa), len), 0);
  NI_HDL rd = 3, wr = 3;
  std::u16string serv = tovtest::FromUtf8(std::to_string(port));
  EXPECT_EQ(GwIOldConnect(u"127.0.0.1", nullptr, serv.c_str(), u"localhost", nullptr, u"prog", &rd, &wr, 200), 666);
  EXPECT_EQ(rd, NI_INVALID_HDL);
  EXPECT_EQ(wr, NI_INVALID_HDL);
  ASSERT_TRUE(peers::WaitReadable(udp.get(), 1000));
  char buf[200];
  ssize_t n = recv(udp.get(), buf, sizeof buf, 0);
  peers::OldDgram o;
  ASSERT_TRUE(peers::OldDgramDecode(std::string(buf, static_cast<size_t>(n > 0 ? n : 0)), &o));
  EXPECT_EQ(peers::DottedIp4(o.statedIp4), "127.0.0.1") << "without a stated address, the local host's";
  EXPECT_EQ(o.service8, "prog    ");
  EXPECT_GT(o.readPort, 0);
  EXPECT_GT(o.writePort, 0);
  // Nothing listens on those ports any more.
  peers::Fd probe = peers::Connect(AF_INET, static_cast<uint16_t>(o.readPort));
  EXPECT_FALSE(probe.valid());
}

// Without the compatibility flag, or for a registering type, a silent
// gateway is a read failure and no datagram goes out.
TEST_F(GwOldConnect, NoOldConnectWithoutTheFlagOrForOtherTypes) {
  for (auto [type, compat] : {std::pair<uint8_t, int>{3, 0}, {11, 1}}) {
    GwPeer peer({"--fault", "silent"});
    Result r = Connect(peer, type, 200, u"localhost", u"p", compat);
    EXPECT_EQ(r.rc, 223);
    EXPECT_EQ(peer.Wait("EVENT", "CLOSED").dir, "EVENT");
    EXPECT_EQ(peer.Wait("IN", "DGRAM", 300).dir, "NONE") << peer.Text();
  }
}

}  // namespace
