// ms_peer on its own, driven over raw sockets: the answers it gives, the
// layout it keeps per connection, its fault switches and control lines,
// and its log.
#include <gtest/gtest.h>

#include <string>

#include "peers/adcodec.h"
#include "peers/mscodec.h"
#include "peers/mspeer_run.h"
#include "peers/niframe.h"
#include "peers/peers.h"

namespace {

using mspeer::Header;

struct Client {
  peers::Fd fd;
  peers::FrameParser parser;

  explicit Client(const mspeer::MsPeer& p, int family = AF_INET) : fd(peers::Connect(family, static_cast<uint16_t>(p.port()))) {}
  bool Send(const std::string& msg) {
    std::string f = peers::FrameEncode(msg);
    return peers::SendAll(fd.get(), f.data(), f.size());
  }
  std::string Recv(int ms = 3000) {
    std::string m;
    return peers::RecvFrame(fd.get(), &parser, &m, ms) ? m : "<none>";
  }
};

std::string Msg(uint8_t iflag, uint8_t msflag, const std::string& to, const std::string& from,
                const std::string& data = "", int layout = 4) {
  Header h;
  h.iflag = iflag;
  h.msflag = msflag;
  h.toname = to;
  h.fromname = from;
  h.version = static_cast<uint8_t>(layout);
  return mspeer::Encode(h, data, layout);
}

TEST(MsPeer, LoginAnswerEchoAdminAndLog) {
  mspeer::MsPeer peer("login-data 0a0b\n");
  ASSERT_TRUE(peer.ok());
  Client c(peer);
  ASSERT_TRUE(c.Send(Msg(8, 0, "-", "CLIENT")));
  Header h;
  std::string data;
  ASSERT_TRUE(mspeer::Decode(c.Recv(), 4, &h, &data));
  EXPECT_EQ(mspeer::Trim(h.fromname), "MSG_SERVER");
  EXPECT_EQ(mspeer::Trim(h.toname), "CLIENT");
  EXPECT_EQ(h.msflag, 3);
  EXPECT_EQ(data, "\x0a\x0b");

  ASSERT_TRUE(c.Send(Msg(1, 1, "ECHO", "CLIENT", "ping")));
  ASSERT_TRUE(mspeer::Decode(c.Recv(), 4, &h, &data));
  EXPECT_EQ(data, "ping");
  // A plain message to anyone else gets nothing.
  ASSERT_TRUE(c.Send(Msg(1, 1, "NOBODY", "CLIENT", "x")));
  EXPECT_EQ(c.Recv(300), "<none>");

  // An administration block comes back executed with errno 1.
  std::string block = adpeer::Block({adpeer::Record(14, "hello")});
  ASSERT_TRUE(c.Send(Msg(5, 4, "-", "CLIENT", block)));
  ASSERT_TRUE(mspeer::Decode(c.Recv(), 4, &h, &data));
  adpeer::Parsed parsed;
  ASSERT_TRUE(adpeer::ParseBlock(data, &parsed, nullptr));
  EXPECT_EQ(parsed.type, 2);
  ASSERT_EQ(parsed.records.size(), 1u);
  EXPECT_EQ(parsed.records[0].substr(0, 4), std::string("\x0e\x00\x01\x01", 4));

  ASSERT_TRUE(c.Send(Msg(4, 0, "-", "CLIENT")));
  ASSERT_TRUE(peer.WaitCount(1, "IN", "kind", "logout"));
  std::vector<mspeer::Event> in = peer.Events("IN");
  ASSERT_EQ(in.size(), 5u);
  EXPECT_EQ(in[0]["kind"], "login");
  EXPECT_EQ(in[0]["from"], "CLIENT");
  EXPECT_EQ(in[0]["hex"], mspeer::HexOf(Msg(8, 0, "-", "CLIENT")));
  EXPECT_EQ(peer.Events("AD").size(), 1u);
  EXPECT_EQ(peer.Control("stats"), "ACK stats admin=1 conn=1 login=1 logout=1 msg=2");
}

TEST(MsPeer, OldLoginKeepsLayoutThreeAndManyConnectionsAtOnce) {
  mspeer::MsPeer peer;
  ASSERT_TRUE(peer.ok());
  Client old(peer), fresh(peer);
  // The old login: 70 bytes, iflag 3, no answer.
  ASSERT_TRUE(old.Send(Msg(3, 0, "-", "OLDONE", "", 3)));
  ASSERT_TRUE(fresh.Send(Msg(8, 0, "-", "NEWONE")));
  EXPECT_NE(fresh.Recv(), "<none>");
  ASSERT_TRUE(old.Send(Msg(1, 1, "ECHO", "OLDONE", "abc", 3)));
  std::string m = old.Recv();
  ASSERT_EQ(m.size(), 73u);
  Header h;
  std::string data;
  ASSERT_TRUE(mspeer::Decode(m, 3, &h, &data));
  EXPECT_EQ(data, "abc");
  EXPECT_EQ(mspeer::Trim(h.toname), "OLDONE");
  EXPECT_EQ(peer.Events("IN", "kind", "oldlogin")[0]["layout"], "3");
}

TEST(MsPeer, FaultSwitchesFromArgumentsAndControlLines) {
  mspeer::MsPeer peer("", {"login:mserrno=-12:2", "login:toname= X"});
  ASSERT_TRUE(peer.ok());
  Client c(peer);
  Header h;
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(c.Send(Msg(8, 0, "-", "C")));
    ASSERT_TRUE(mspeer::Decode(c.Recv(), 4, &h, nullptr));
    EXPECT_EQ(h.mserrno, i < 2 ? -12 : 0) << i;
    EXPECT_EQ(h.toname, i == 0 ? mspeer::Pad(" X", 40) : mspeer::Pad("C", 40)) << i;
  }
  ASSERT_TRUE(peer.Fault("msg:wakeup-only"));
  ASSERT_TRUE(peer.Fault("msg:version=7:all"));
  EXPECT_EQ(peer.Control("fault nonsense").rfind("NAK", 0), 0u);
  ASSERT_TRUE(c.Send(Msg(1, 1, "ECHO", "C", "1")));
  EXPECT_EQ(c.Recv(), mspeer::kEye);
  ASSERT_TRUE(c.Send(Msg(1, 1, "ECHO", "C", "2")));
  ASSERT_TRUE(mspeer::Decode(c.Recv(), 4, &h, nullptr));
  EXPECT_EQ(h.version, 7);
  ASSERT_TRUE(peer.Fault("msg:truncate=13"));
  ASSERT_TRUE(c.Send(Msg(1, 1, "ECHO", "C", "3")));
  EXPECT_EQ(c.Recv().size(), 13u);
  ASSERT_TRUE(peer.Fault("msg:ping"));
  ASSERT_TRUE(c.Send(Msg(1, 1, "ECHO", "C", "4")));
  EXPECT_EQ(c.Recv(), peers::kNiPing);
  EXPECT_EQ(c.Recv().size(), 111u);
  ASSERT_TRUE(c.Send(peers::kNiPong));
  EXPECT_TRUE(peer.WaitCount(1, "PONG"));
  ASSERT_TRUE(peer.Fault("msg:close"));
  ASSERT_TRUE(c.Send(Msg(1, 1, "ECHO", "C", "5")));
  EXPECT_EQ(c.Recv(), "<none>");
  EXPECT_TRUE(peer.WaitCount(1, "CLOSE", "by", "peer"));
}

TEST(MsPeer, RequestsFromTheScenario) {
  mspeer::MsPeer peer(
      "client A hosta sa 1 10.0.0.1 3200 1 0\n"
      "client B hostb sb 2 10.0.0.2 3201 2 0\n"
      "list-parts 2\nlist-layout 3 4\n"
      "key 10.1.2.3 3300 KEYTEXT\n"
      "name-old\nname 10.1.2.3 3300 NAME1\n"
      "text GRP some text\n"
      "param p/x 3 val\n");
  ASSERT_TRUE(peer.ok());
  Client c(peer);
  Header h;
  std::string data;
  // The list in two parts: the first announces more.
  ASSERT_TRUE(c.Send(Msg(1, 2, "MSG_SERVER", "C", mspeer::OpHeader(5, 0, 104, 3))));
  ASSERT_TRUE(mspeer::Decode(c.Recv(), 4, &h, &data));
  EXPECT_EQ(h.mserrno, -28);
  ASSERT_EQ(data.size(), 4u + 150u);
  EXPECT_EQ(data.substr(0, 4), mspeer::OpHeader(5, 0, 3, 0));
  EXPECT_EQ(data.substr(4, 40), mspeer::Pad("A", 40));
  EXPECT_EQ(data.substr(4 + 125, 16), adpeer::Hex("00*10 ffff 0a000001"));
  EXPECT_EQ(data[4 + 147], 1);
  ASSERT_TRUE(mspeer::Decode(c.Recv(), 4, &h, &data));
  EXPECT_EQ(h.mserrno, 0);
  EXPECT_EQ(data.size(), 4u + 160u);
  EXPECT_EQ(data[2], 4);
  // A key, and a name asked in version 2 of a server that knows version 1.
  std::string keyReq = mspeer::OpHeader(9, 0, 2, 0) + adpeer::Hex("0a010203 0ce4") + std::string(272, '\0');
  ASSERT_TRUE(c.Send(Msg(1, 2, "MSG_SERVER", "C", keyReq)));
  ASSERT_TRUE(mspeer::Decode(c.Recv(), 4, &h, &data));
  ASSERT_EQ(data.size(), 282u);
  EXPECT_EQ(data.substr(10, 8), std::string("KEYTEXT\0", 8));
  std::string nameReq = mspeer::OpHeader(70, 0, 2, 0) + adpeer::Hex("00*10 ffff 0a010203 0ce4 00*5");
  ASSERT_TRUE(c.Send(Msg(1, 2, "MSG_SERVER", "C", nameReq)));
  ASSERT_TRUE(mspeer::Decode(c.Recv(), 4, &h, &data));
  EXPECT_EQ(data[2], 1);
  nameReq = mspeer::OpHeader(70, 0, 1, 0) + adpeer::Hex("0a010203 0ce4 00*17");
  ASSERT_TRUE(c.Send(Msg(1, 2, "MSG_SERVER", "C", nameReq)));
  ASSERT_TRUE(mspeer::Decode(c.Recv(), 4, &h, &data));
  EXPECT_EQ(data, adpeer::Hex("46 00 01 00 00*6 00000005") + "NAME1");
  // A storage read of a text and its EBCDIC twin, and a parameter.
  adpeer::Storage q;
  q.type = 22;
  q.valueLen = 40;
  q.name = "GRP";
  std::string twin = "\xC7\xD9\xD7";
  adpeer::Storage q2 = q;
  q2.name = twin;
  std::string block = adpeer::Block({adpeer::Record(21, adpeer::StorageBody(q)), adpeer::Record(21, adpeer::StorageBody(q2)),
                                     adpeer::Record(1, "p/x")});
  ASSERT_TRUE(c.Send(Msg(5, 4, "-", "C", block)));
  ASSERT_TRUE(mspeer::Decode(c.Recv(), 4, &h, &data));
  adpeer::Parsed parsed;
  ASSERT_TRUE(adpeer::ParseBlock(data, &parsed, nullptr));
  ASSERT_EQ(parsed.records.size(), 3u);
  EXPECT_EQ(parsed.records[0][3], 0);
  EXPECT_EQ(adpeer::ParseStorage(parsed.records[0].substr(4)).value.substr(0, 10), "some text ");
  EXPECT_EQ(parsed.records[1][3], 4);
  EXPECT_EQ(parsed.records[2][3], 3);
  EXPECT_EQ(parsed.records[2].substr(4, 8), "p/x=val ");
}

}  // namespace
