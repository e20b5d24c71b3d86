// Sending and receiving against ms_peer: lengths, the addressing rules,
// wakeups and keep-alives, received names and types, layouts the peer may
// choose, and writes to a peer that stops reading.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "krn/dptrc/trc_checker.h"
#include "ms_client_util.h"

namespace {

using mstest::U8;

class MsExchange : public mstest::Client {};

TEST_F(MsExchange, LengthsAndTheBareReplyHeader) {
  mspeer::MsPeer peer;
  ASSERT_TRUE(peer.ok());
  ASSERT_EQ(Attach(peer, u"SENDER"), 0);
  std::string big(32000, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
  ASSERT_EQ(SendTo(u"ECHO", big), 0);
  std::string data;
  ASSERT_EQ(Receive(&data), 0);
  EXPECT_EQ(data, big);
  EXPECT_EQ(SendTo(u"ECHO", big + "x"), MSEINVAL);
  EXPECT_EQ(h->attached, 1);
  // A reply too large leaves as a bare header carrying MSEREPLYTOOLARGE.
  ASSERT_EQ(SendTo(u"PARTNER", big + "x", MS_REPLY), 0);
  ASSERT_TRUE(peer.WaitCount(1, "IN", "kind", "reply"));
  mspeer::Event r = peer.Events("IN", "kind", "reply")[0];
  EXPECT_EQ(r.Num("len"), 110);
  EXPECT_EQ(r["err"], "-13");
  // The 32001-byte message never went out.
  EXPECT_EQ(peer.Events("IN", "kind", "msg").size(), 1u);
  // A receiver name shorter than 40 ends with zeros.
  EXPECT_EQ(r["hex"].substr(28, 80), mspeer::HexOf(mstest::Zero40("PARTNER")));
}

TEST_F(MsExchange, AnonymousAndReplyRules) {
  mspeer::MsPeer peer;
  ASSERT_TRUE(peer.ok());
  ASSERT_EQ(Attach(peer), 0);
  EXPECT_EQ(SendTo(u"MSG_SERVER", std::string("\x21\0\x01\0", 4), MS_REQUEST), 0);
  std::string data;
  ASSERT_EQ(Receive(&data), 0);
  EXPECT_EQ(data.substr(0, 2), "\x21\x01");  // the peer knows no opcode 0x21
  EXPECT_EQ(SendTo(u"OTHER", "x", MS_REQUEST), MSEINVAL);
  EXPECT_EQ(SendTo(u"OTHER", "x", MS_REPLY), MSEINVAL);
  EXPECT_EQ(SendTo(u"OTHER", "x", 5), MSEINVAL);
  EXPECT_EQ(SendTo(u"ANYONE", "x", MS_MSG), 0);
  EXPECT_EQ(SendTo(u"ANYONE", "x", MS_ADMIN), 0);
  ASSERT_EQ(MsDetach(), 0);
  ASSERT_EQ(Attach(peer, u"NAMED"), 0);
  EXPECT_EQ(SendTo(u"MSG_SERVER", "x", MS_REPLY), MSEINVAL);
  EXPECT_EQ(SendTo(u"OTHER", "x", MS_REQUEST), 0);
  EXPECT_EQ(h->attached, 1);
}

TEST_F(MsExchange, WakeupsPingsAndNothing) {
  mspeer::MsPeer peer;
  ASSERT_TRUE(peer.ok());
  ASSERT_EQ(Attach(peer), 0);
  int64_t start = mstest::NowMs();
  EXPECT_EQ(Receive(nullptr, 200), MSENOMSG);
  EXPECT_GE(mstest::NowMs() - start, 190);
  ASSERT_TRUE(peer.Fault("msg:wakeup-only"));
  ASSERT_EQ(SendTo(u"ECHO", "1"), 0);
  EXPECT_EQ(Receive(nullptr, 2000), MSEWAKEUP);
  // A keep-alive: NI answers it and the wait reports it as a wakeup when it
  // comes, not at the end of the time-out.
  ASSERT_TRUE(peer.Fault("msg:ping-only"));
  ASSERT_EQ(SendTo(u"ECHO", "2"), 0);
  start = mstest::NowMs();
  EXPECT_EQ(Receive(nullptr, 4000), MSEWAKEUP);
  EXPECT_LT(mstest::NowMs() - start, 3000);
  ASSERT_TRUE(peer.WaitCount(1, "PONG"));
  // A wakeup before the answer: the answer is delivered.
  ASSERT_TRUE(peer.Fault("msg:wakeup"));
  ASSERT_EQ(SendTo(u"ECHO", "3"), 0);
  std::string data;
  ASSERT_EQ(Receive(&data, 2000), 0);
  EXPECT_EQ(data, "3");
  EXPECT_EQ(h->attached, 1);
  EXPECT_EQ(h->lastNiRc, 0);
  ASSERT_EQ(MsDetach(), 0);
  ASSERT_TRUE(peer.WaitCount(1, "IN", "kind", "logout"));
  EXPECT_EQ(peer.Events("PONG").size(), 1u);
}

TEST_F(MsExchange, AFloodOfWakeupsEndsAtTheTimeOut) {
  mspeer::MsPeer peer;
  ASSERT_TRUE(peer.ok());
  ASSERT_EQ(Attach(peer), 0);
  ASSERT_TRUE(peer.Fault("msg:flood=3000"));
  ASSERT_EQ(SendTo(u"ECHO", "f"), 0);
  ASSERT_TRUE(peer.WaitCount(1, "FLOOD"));
  int64_t start = mstest::NowMs();
  EXPECT_EQ(Receive(nullptr, 300), MSEWAKEUP);
  int64_t took = mstest::NowMs() - start;
  EXPECT_LT(took, 300 + 1000);
}

TEST_F(MsExchange, NamesTypesAndTheEbcdicEyeCatcher) {
  mspeer::MsPeer peer;
  ASSERT_TRUE(peer.ok());
  ASSERT_EQ(Attach(peer, u"ME", u"-", 0x01), 0);
  std::string data;
  ASSERT_TRUE(peer.Fault("msg:toname=SOMEBODY"));
  ASSERT_EQ(SendTo(u"ECHO", "a"), 0);
  EXPECT_EQ(Receive(&data), MSEWRONGNAME);
  EXPECT_EQ(h->attached, 1);
  ASSERT_TRUE(peer.Fault("msg:toname= LEADING"));
  ASSERT_EQ(SendTo(u"ECHO", "b"), 0);
  EXPECT_EQ(Receive(&data), 0);
  EXPECT_EQ(data, "b");
  ASSERT_TRUE(peer.Fault("msg:iflag=2"));
  ASSERT_TRUE(peer.Fault("msg:types=6"));
  ASSERT_EQ(SendTo(u"ECHO", "c"), 0);
  EXPECT_EQ(Receive(&data), MSEWRONGTYPE);
  ASSERT_TRUE(peer.Fault("msg:iflag=2"));
  ASSERT_TRUE(peer.Fault("msg:types=3"));
  ASSERT_EQ(SendTo(u"ECHO", "d"), 0);
  EXPECT_EQ(Receive(&data), 0);
  ASSERT_TRUE(peer.Fault("msg:ebcdic"));
  ASSERT_EQ(SendTo(u"ECHO", "e"), 0);
  EXPECT_EQ(Receive(&data), 0);
  EXPECT_EQ(data, "e");
  EXPECT_EQ(h->attached, 1);
}

TEST_F(MsExchange, CloseInTheMiddleOfAMessage) {
  mspeer::MsPeer peer("", {"msg:closemid"});
  ASSERT_TRUE(peer.ok());
  ASSERT_EQ(Attach(peer), 0);
  ASSERT_EQ(SendTo(u"ECHO", std::string(5000, 'm')), 0);
  EXPECT_EQ(Receive(nullptr, 3000), MSENILAYER);
  EXPECT_EQ(h->attached, 0);
  EXPECT_NE(h->lastNiRc, 0);
  ErrClear();
  MsErrSet(MSENILAYER);
  EXPECT_EQ(U8(ErrGetFld(ERR_FLD_COMPONENT)), "NI (network interface)");
}

TEST_F(MsExchange, OldLoginRefusedByAClose) {
  mspeer::MsPeer peer("", {"login:close", "oldlogin:close"});
  ASSERT_TRUE(peer.ok());
  ASSERT_EQ(Attach(peer), 0);
  EXPECT_EQ(h->oldLogin, 1);
  EXPECT_EQ(Receive(nullptr, 3000), MSEWRONGSERVER);
  EXPECT_EQ(h->attached, 0);
  EXPECT_EQ(h->lastNiRc, 0);
  EXPECT_NE(U8(ErrGetFld(ERR_FLD_ERROR)).find("isn't from a message server"), std::string::npos);
}

TEST_F(MsExchange, VersionThreeMessagesUpToTheBufferAndBeyond) {
  for (int size : {32070, 32071, 32100, 32110}) {
    mspeer::MsPeer peer("", {"login:v3reply", "msg:v3big=" + std::to_string(size)});
    ASSERT_TRUE(peer.ok());
    ASSERT_EQ(Attach(peer, u"BIG"), 0) << size;
    ASSERT_EQ(SendTo(u"ECHO", "?"), 0);
    std::string data;
    if (size == 32070) {
      ASSERT_EQ(Receive(&data), 0);
      EXPECT_EQ(data.size(), 32000u);
    } else {
      EXPECT_EQ(Receive(&data), MSENILAYER) << size;
      EXPECT_EQ(h->attached, 0);
    }
    MsIHdlReset(h);
    h->ms_timeS = h->ms_timeL = 3000;
  }
}

// Messages until one write fails; its result and how long it took.
struct Stalled {
  int rc = 0;
  int64_t ms = 0;
  int sent = 0;
};

Stalled SendUntilStalled(mstest::Client* c, MS_HDL* h) {
  (void)c;
  Stalled s;
  std::string chunk(30000, 'w');
  const WEQ_RAW key[8] = {};
  for (s.sent = 0; s.sent < 200; ++s.sent) {
    int64_t start = mstest::NowMs();
    s.rc = MsISnd2(h, chunk.data(), static_cast<int32_t>(chunk.size()), nullptr, 0, u"NOBODY", 0, key, MS_MSG, 1, 0);
    s.ms = mstest::NowMs() - start;
    if (s.rc != 0) break;
  }
  return s;
}

TEST_F(MsExchange, SecondChanceOfATimedOutWrite) {
  for (int timeR : {0, 200}) {
    mspeer::MsPeer peer("", {"msg:stopread"}, 4, {"--rcvbuf", "4096"});
    ASSERT_TRUE(peer.ok());
    ASSERT_EQ(Attach(peer), 0);
    h->ms_timeS = 50;
    h->ms_timeR = timeR;
    ASSERT_EQ(SendTo(u"ECHO", "stop"), 0);
    ASSERT_TRUE(peer.WaitCount(1, "STOP"));
    Stalled s = SendUntilStalled(this, h);
    EXPECT_EQ(s.rc, MSENILAYER) << timeR;
    EXPECT_GE(s.ms, 50 + timeR - 10) << timeR;
    EXPECT_LT(s.ms, 50 + timeR + 1000) << timeR;
    EXPECT_EQ(h->attached, 0);
    // No logout follows the failed write: what the peer reads after it
    // resumes ends without one.
    ASSERT_NE(peer.Control("resume"), "");
    ASSERT_TRUE(peer.WaitCount(1, "CLOSE", "by", "client", 10000));
    EXPECT_TRUE(peer.Events("IN", "kind", "logout").empty());
    MsIHdlReset(h);
    h->ms_timeS = h->ms_timeL = 3000;
  }
}

TEST_F(MsExchange, BlockingSecondChanceFinishesWhenThePeerReadsAgain) {
  trccheck::TraceFile trace(1);
  mspeer::MsPeer peer("", {"msg:stopread"}, 4, {"--rcvbuf", "4096"});
  ASSERT_TRUE(peer.ok());
  ASSERT_EQ(Attach(peer), 0);
  h->ms_timeS = 50;
  h->ms_timeR = -1;
  ASSERT_EQ(SendTo(u"ECHO", "stop"), 0);
  ASSERT_TRUE(peer.WaitCount(1, "STOP"));
  std::atomic<int> rc{1};
  std::thread writer([&] {
    Stalled s = SendUntilStalled(this, h);
    rc = s.rc;
  });
  // The writer blocks in its second try; the peer then reads again.
  bool blocked = false;
  for (int i = 0; i < 2500 && !blocked; ++i) {
    blocked = trace.Read().find("blocking on write after timeout") != std::string::npos;
    if (!blocked) std::this_thread::sleep_for(std::chrono::milliseconds(4));
  }
  EXPECT_TRUE(blocked);
  ASSERT_NE(peer.Control("resume"), "");
  writer.join();
  EXPECT_EQ(rc.load(), 0);
  std::string t = trace.Read();
  EXPECT_NE(t.find("blocking write finished"), std::string::npos);
  EXPECT_EQ(h->attached, 1);
}

}  // namespace
