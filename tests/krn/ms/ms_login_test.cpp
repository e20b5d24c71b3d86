// Attach and detach against ms_peer: the login and logout bytes, every
// answer a message server (or something else) may give to a login, and
// the non-blocking attach.
#include <gtest/gtest.h>

#include <string>

#include "ms_client_util.h"
#include "peers/peers.h"

namespace {

using mstest::Anon;
using mstest::Blank40;
using mstest::ClientHeader;
using mstest::U8;

class MsLogin : public mstest::Client {};

TEST_F(MsLogin, LoginAndLogoutBytes) {
  mspeer::MsPeer peer;
  ASSERT_TRUE(peer.ok());
  ASSERT_EQ(Attach(peer), 0);
  EXPECT_EQ(h->attached, 1);
  EXPECT_EQ(h->peerVersion, 4);
  ASSERT_EQ(MsDetach(), 0);
  ASSERT_TRUE(peer.WaitCount(1, "IN", "kind", "logout"));
  std::vector<mspeer::Event> in = peer.Events("IN");
  ASSERT_EQ(in.size(), 2u);
  // Eye-catcher, version 4, mserrno 0, toname "-", types 0, dom 0, key 0,
  // msflag 0, iflag 8 (4 for the logout), fromname "-", port 0.
  EXPECT_EQ(in[0]["hex"], mspeer::HexOf(adpeer::Hex(
                              "2a2a4d4553534147452a2a00 04 00 2d 20*39 00 00 00 00 00*8 00 08 2d 20*39 00 00")));
  EXPECT_EQ(in[1]["hex"], mspeer::HexOf(ClientHeader(4, 4, 0, Anon(), Anon())));
  EXPECT_EQ(h->attached, 0);
  EXPECT_EQ(h->hdl, NI_INVALID_HDL);
}

TEST_F(MsLogin, NamedClientWithServiceAndTypes) {
  mspeer::MsPeer peer;
  ASSERT_TRUE(peer.ok());
  ASSERT_EQ(Attach(peer, u"APPSRV one two", u"3300", 0x81), 0);
  EXPECT_EQ(U8(h->myname), "APPSRV");
  ASSERT_TRUE(peer.WaitCount(1, "IN", "kind", "login"));
  EXPECT_EQ(peer.Events("IN")[0]["hex"], mspeer::HexOf(ClientHeader(4, 8, 0, Anon(), Blank40("APPSRV one two"), 0x81, 3300)));
  // The answer went to the client's name.
  EXPECT_EQ(peer.Events("OUT")[0]["to"], "APPSRV%20one%20two");
}

TEST_F(MsLogin, OverIpv6AndANewerPeer) {
  mspeer::MsPeer peer("", {"login:version=6"}, 6);
  if (!peer.ok()) GTEST_SKIP() << "no IPv6 loopback";
  ASSERT_EQ(Attach(peer, u"SIX"), 0) << U8(ErrGetFld(ERR_FLD_ERROR));
  // A newer message server is spoken to in the own version.
  EXPECT_EQ(h->peerVersion, 4);
  ASSERT_TRUE(peer.WaitCount(1, "CONN"));
  EXPECT_EQ(peer.Events("CONN")[0]["peer"], "::1");
  ASSERT_EQ(SendTo(u"ECHO", "6"), 0);
  std::string data;
  ASSERT_EQ(Receive(&data), 0);
  EXPECT_EQ(data, "6");
}

TEST_F(MsLogin, VersionThreeReplyMakesVersionThreeTraffic) {
  mspeer::MsPeer peer("", {"login:v3reply"});
  ASSERT_TRUE(peer.ok());
  ASSERT_EQ(Attach(peer, u"V3CLIENT"), 0);
  EXPECT_EQ(h->peerVersion, 3);
  ASSERT_EQ(SendTo(u"ECHO", "abc"), 0);
  std::string data;
  std::u16string from;
  ASSERT_EQ(Receive(&data, 3000, &from), 0);
  EXPECT_EQ(data, "abc");
  EXPECT_EQ(from, u"MSG_SERVER" + std::u16string(30, u' '));
  std::vector<mspeer::Event> in = peer.Events("IN", "kind", "msg");
  ASSERT_EQ(in.size(), 1u);
  EXPECT_EQ(in[0]["layout"], "3");
  EXPECT_EQ(in[0].Num("len"), 73);
  EXPECT_EQ(in[0]["ver"], "3");
}

TEST_F(MsLogin, ClosedLoginFallsBackToTheOldLogin) {
  mspeer::MsPeer peer("", {"login:close"});
  ASSERT_TRUE(peer.ok());
  ASSERT_EQ(Attach(peer, u"OLDCLIENT", u"-", 0x05), 0);
  EXPECT_EQ(h->peerVersion, 3);
  EXPECT_EQ(h->maxDataLen, 10000);
  ASSERT_TRUE(peer.WaitCount(1, "IN", "kind", "oldlogin"));
  mspeer::Event old = peer.Events("IN", "kind", "oldlogin")[0];
  EXPECT_EQ(old["c"], "2");
  // 70 bytes: version 3, toname "-", msgtypes at 34, iflag 3 at 47.
  std::string want = adpeer::Hex("2a2a4d4553534147452a2a00 03 00 2d 20*19 05 00 00 00 00*8 00 03 ") +
                     mspeer::Pad("OLDCLIENT", 20) + std::string(2, '\0');
  EXPECT_EQ(old["hex"], mspeer::HexOf(want));
  EXPECT_TRUE(peer.Events("OUT", "c", "2").empty());  // no answer awaited
  // Version-3 traffic within 10000 bytes.
  EXPECT_EQ(SendTo(u"ECHO", std::string(10001, 'x')), MSEINVAL);
  ASSERT_EQ(SendTo(u"ECHO", std::string(10000, 'x')), 0);
  std::string data;
  ASSERT_EQ(Receive(&data), 0);
  EXPECT_EQ(data.size(), 10000u);
  EXPECT_EQ(peer.Events("IN", "kind", "msg")[0].Num("len"), 10070);
  // The limit stays after a later new login.
  ASSERT_EQ(MsDetach(), 0);
  ASSERT_EQ(Attach(peer, u"OLDCLIENT"), 0);
  EXPECT_EQ(h->maxDataLen, 10000);
  EXPECT_EQ(SendTo(u"ECHO", std::string(10001, 'x')), MSEINVAL);
}

TEST_F(MsLogin, WrongVersionOnceRetriesWithVersionThree) {
  mspeer::MsPeer peer("", {"login:mserrno=-12:1"});
  ASSERT_TRUE(peer.ok());
  ASSERT_EQ(Attach(peer), 0);
  ASSERT_TRUE(peer.WaitCount(2, "IN", "kind", "login"));
  std::vector<mspeer::Event> in = peer.Events("IN", "kind", "login");
  EXPECT_EQ(in[0]["ver"], "4");
  EXPECT_EQ(in[1]["ver"], "3");
  EXPECT_EQ(in[1].Num("len"), 110);  // version byte 3 in a 110-byte header
  EXPECT_NE(in[0]["c"], in[1]["c"]);
  EXPECT_EQ(h->ownVersion, 3);
  ASSERT_EQ(SendTo(u"ECHO", "v"), 0);
  std::string data;
  ASSERT_EQ(Receive(&data), 0);
  EXPECT_EQ(peer.Events("IN", "kind", "msg")[0].Num("len"), 111);
}

TEST_F(MsLogin, WrongVersionTwiceIsReturned) {
  mspeer::MsPeer peer("", {"login:mserrno=-12:2"});
  ASSERT_TRUE(peer.ok());
  EXPECT_EQ(Attach(peer), MSEWRONGVERSION);
  EXPECT_EQ(h->attached, 0);
  // The next attach starts at version 4 again.
  ASSERT_EQ(Attach(peer), 0);
  EXPECT_EQ(h->ownVersion, 4);
}

TEST_F(MsLogin, AnotherMserrnoIsReturnedWithItsName) {
  mspeer::MsPeer peer("", {"login:mserrno=-14"});
  ASSERT_TRUE(peer.ok());
  EXPECT_EQ(Attach(peer), MSESHUTDOWN);
  EXPECT_EQ(U8(ErrGetFld(ERR_FLD_RC)), "-24");
  EXPECT_EQ(U8(ErrGetFld(ERR_FLD_ERROR)), "mserrno received (MSESHUTDOWN)");
  EXPECT_EQ(h->attached, 0);
}

TEST_F(MsLogin, AnswersNotFromAMessageServer) {
  struct Case {
    const char* fault;
    int rc;
  };
  for (const Case& c : {Case{"login:fromname=OTHER_SERVER", MSEWRONGSERVER}, Case{"login:truncate=13", MSEHEADERINCOMPLETE},
                        Case{"login:truncate=109", MSEHEADERINCOMPLETE}, Case{"login:http", MSEWRONGSERVER},
                        Case{"login:prefix=40000", MSEWRONGSERVER}}) {
    mspeer::MsPeer peer("", {c.fault});
    ASSERT_TRUE(peer.ok());
    ErrClear();
    EXPECT_EQ(Attach(peer), c.rc) << c.fault;
    EXPECT_EQ(h->attached, 0) << c.fault;
    EXPECT_EQ(U8(ErrGetFld(ERR_FLD_RC)), std::to_string(c.rc)) << c.fault;
    if (c.rc == MSEWRONGSERVER) {
      std::string text = U8(ErrGetFld(ERR_FLD_ERROR));
      EXPECT_NE(text.find("The message received isn't from a message server."), std::string::npos) << text;
      EXPECT_NE(text.find("(127.0.0.1 / " + std::to_string(peer.port()) + ")"), std::string::npos) << text;
    } else {
      EXPECT_NE(U8(ErrGetFld(ERR_FLD_ERROR)).find("received buffer too small"), std::string::npos);
    }
    MsIHdlReset(h);
    h->ms_timeS = h->ms_timeL = 3000;
  }
}

TEST_F(MsLogin, SilenceEndsWithinTheLoginTimeOut) {
  mspeer::MsPeer peer("", {"login:drop"});
  ASSERT_TRUE(peer.ok());
  h->ms_timeL = 300;
  int64_t start = mstest::NowMs();
  EXPECT_EQ(Attach(peer), MSENILAYER);
  int64_t took = mstest::NowMs() - start;
  EXPECT_GE(took, 290);
  EXPECT_LT(took, 300 + 1500);
  EXPECT_EQ(h->lastNiRc, NIETIMEOUT);
}

TEST_F(MsLogin, NothingListeningGivesTheNiInformation) {
  uint16_t port = peers::FreePort(AF_INET);
  std::u16string serv = tovtest::FromUtf8(std::to_string(port));
  EXPECT_EQ(MsAttach(u"-", u"-", 0, u"127.0.0.1", serv.c_str()), MSENILAYER);
  EXPECT_EQ(h->lastNiRc, NIECONN_REFUSED);
  ErrClear();
  MsErrSet(MSENILAYER);
  EXPECT_EQ(U8(ErrGetFld(ERR_FLD_COMPONENT)), "NI (network interface)");
  EXPECT_EQ(U8(ErrGetFld(ERR_FLD_RC)), "-10");
}

TEST_F(MsLogin, DomThreeIsRefusedBeforeAnyConnect) {
  mspeer::MsPeer peer;
  ASSERT_TRUE(peer.ok());
  EXPECT_EQ(MsIAttachEx(h, u"-", u"-", 0, peer.Host().c_str(), peer.Serv().c_str(), 4, 3, nullptr, 0, 0, 0, 8,
                        nullptr, 0, nullptr, nullptr, nullptr, 0),
            MSEINVAL);
  // dom 2 passes and is carried in the header.
  ASSERT_EQ(MsIAttachEx(h, u"-", u"-", 0, peer.Host().c_str(), peer.Serv().c_str(), 4, 2, nullptr, 0, 0, 0, 8,
                        nullptr, 0, nullptr, nullptr, nullptr, 0),
            0);
  ASSERT_TRUE(peer.WaitCount(1, "IN"));
  EXPECT_EQ(peer.Events("CONN").size(), 1u);
  EXPECT_EQ(peer.Events("IN")[0]["dom"], "2");
}

TEST_F(MsLogin, LoginDataAndReplyData) {
  mspeer::MsPeer peer("login-data 0102030405\n");
  ASSERT_TRUE(peer.ok());
  const char login[] = "LOGINDATA";
  WEQ_RAW* reply = nullptr;
  int32_t replyLen = -1;
  MS_HDL* out = nullptr;
  ASSERT_EQ(MsIAttachEx(h, u"-", u"-", 0, peer.Host().c_str(), peer.Serv().c_str(), 4, 0, nullptr, 0, 0, 0, 8,
                        login, 9, &reply, &replyLen, &out, 0),
            0);
  EXPECT_EQ(out, h);
  ASSERT_EQ(replyLen, 5);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(reply), 5), "\x01\x02\x03\x04\x05");
  ASSERT_TRUE(peer.WaitCount(1, "IN"));
  EXPECT_EQ(peer.Events("IN")[0].Num("data"), 9);
}

TEST_F(MsLogin, NonBlockingAttachThroughThePeeks) {
  mspeer::MsPeer peer;
  ASSERT_TRUE(peer.ok());
  bool sawRead = false;
  int rc = 0;
  for (int step = 0; step < 10; ++step) {
    rc = MsIAttachEx(h, u"NB", u"-", 0, peer.Host().c_str(), peer.Serv().c_str(), 4, 0, nullptr, 0, 0, 0, 8,
                     nullptr, 0, nullptr, nullptr, nullptr, 1);
    if (rc == MSENISELWRITE) {
      EXPECT_EQ(h->attachState, MS_AS_CONNECTING);
      ASSERT_EQ(NiPeekExWrite(h->hdl, 3000), WEQ_O_K);
    } else if (rc == MSENISELREAD) {
      sawRead = true;
      EXPECT_EQ(h->attachState, MS_AS_LOGIN_SENT);
      ASSERT_EQ(NiPeekEx(h->hdl, 3000), WEQ_O_K);
    } else {
      break;
    }
  }
  ASSERT_EQ(rc, 0);
  EXPECT_TRUE(sawRead);
  EXPECT_EQ(h->ms_timeS, 0);
  EXPECT_EQ(h->ms_timeL, 0);
  EXPECT_EQ(h->attached, 1);
  ASSERT_EQ(MsIDetach(h), 0);
  EXPECT_EQ(h->attachState, MS_AS_START);
  ASSERT_TRUE(peer.WaitCount(1, "IN", "kind", "logout"));
}

}  // namespace
