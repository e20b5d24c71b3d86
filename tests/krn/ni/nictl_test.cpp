// NI control messages against the test's own end of each connection,
// which builds and reads NI_RTERR with the peer toolkit's codec: what is
// user data though it looks like a control message, errors a peer sends,
// the answers to version requests and unknown opcodes, refused pass
// requests, error texts beyond Latin-1 out and back; and handles passed by
// the ni_peer sender, taken over with their flags or refused without
// leaving a descriptor behind.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <string.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "krn/dptrc/err.h"
#include "krn/ni/niaddr_int.h"
#include "krn/ni/nictl_int.h"
#include "krn/si/si_int.h"
#include "niconn.h"
#include "peers/nictlcodec.h"
#include "peers/errrec.h"
#include "peers/peer_spawn.h"
#include "peers/peerlog.h"
#include "support/testsupport.h"
#include "../dptrc/trc_checker.h"

namespace {

using niconn::Conn;
using niconn::Ext;
using niconn::Rec;
using peers::PeerProcess;
using tovtest::ToUtf8;

std::string ErrText() { return ToUtf8(ErrGetFld(ERR_FLD_ERROR)); }

std::string RtErr(uint8_t opcode, int32_t rc, const std::string& text = "", const std::string& data = "",
                  uint8_t version = 40) {
  peers::RtErr m;
  m.niVersion = version;
  m.opcode = opcode;
  m.rc = rc;
  m.text = text;
  m.data = data;
  return peers::EncodeRtErr(m);
}

// An error record as a peer sends it.
std::string Record(const std::string& text, int32_t rc, const std::string& component) {
  std::vector<std::string> f(peers::kErrFields);
  f[1] = "1";
  f[peers::kErrText] = text;
  f[peers::kErrRc] = std::to_string(rc);
  f[peers::kErrComponent] = component;
  return peers::ErrRecEncode(f);
}

std::vector<std::string> Fields(const std::string& record) {
  std::vector<std::string> f;
  return peers::ErrRecDecode(record, &f) ? f : std::vector<std::string>{};
}

// The 24-byte answer to a version request.
const std::string kVersionReply = "4e495f525445525200280200fffffff30000000000000000";

class NiCtl : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(NiInit(), WEQ_O_K); }
  void TearDown() override {
    plain_.Close();
    buf_.Close();
    NiExit();
  }
  void Open() {
    ASSERT_TRUE(ep_.Open(&plain_, false));
    ASSERT_TRUE(ep_.Open(&buf_, true));
  }
  // One read of the handle: its code, and the data in *data.
  static NI_RC Read(Conn& c, bool, std::string* data, int timeout = 5000) {
    char buf[4096];
    uint32_t n = 0;
    NI_RC rc = NiRead(c.hdl, buf, sizeof buf, timeout, &n);
    data->assign(buf, rc == WEQ_O_K ? n : 0);
    return rc;
  }
  // A control message the handle takes without a word: an unbuffered read
  // reports it (NIEPING); a buffered one waits on for user data, so it
  // reads what is there already with time-out 0 and finds nothing more.
  static void ExpectConsumed(Conn& c, bool buffered) {
    std::string got;
    if (buffered) {
      ASSERT_TRUE(peers::WaitReadable(Rec(c.hdl)->con.mSocket.socketNo, 5000));
    }
    EXPECT_EQ(Read(c, buffered, &got, buffered ? 0 : 5000), buffered ? NIETIMEOUT : NIEPING);
  }
  Conn& Of(bool buffered) { return buffered ? buf_ : plain_; }

  niconn::Endpoint ep_;
  Conn plain_, buf_;
};

TEST_F(NiCtl, MessagesThatOnlyLookLikeControlMessagesAreUserData) {
  Open();
  std::string t100 = RtErr(0, -94);
  t100[19] = 100;  // a text longer than the message
  std::string tBig = RtErr(0, -94);
  tBig.replace(16, 4, "\xff\xff\xff\xf0");  // negative if read signed
  std::string short23 = RtErr(0, -94).substr(0, 23);
  std::string noZero = RtErr(0, -94);
  noZero[8] = 'X';
  std::string ping9 = std::string("NI_PING\0\0", 9);
  for (bool buffered : {false, true}) {
    for (const std::string& m : {t100, tBig, short23, noZero, ping9}) {
      SCOPED_TRACE(peers::HexOf(m));
      ASSERT_TRUE(Of(buffered).SendMsg(m));
      std::string got;
      EXPECT_EQ(Read(Of(buffered), buffered, &got), WEQ_O_K);
      EXPECT_EQ(got, m);
    }
  }
}

TEST_F(NiCtl, ErrorsFromThePeerBecomeTheCallersCodeWithThePeersText) {
  Open();
  struct Case {
    int32_t sent;
    uint8_t version, opcode;
    NI_RC got;
  } cases[] = {
      {NIEROUT_PERM_DENIED, 40, 0, NIEROUT_PERM_DENIED},
      {NIEROUT_HOST_UNKNOWN, 28, 1, NIEROUT_HOST_UNKNOWN},  // below 29 every opcode is 0
      {NIECONN_BROKEN, 40, 0, NIECONN_BROKEN},
      // Codes of NI's own flow would steer the caller.
      {NIETIMEOUT, 40, 0, NIEINTERN},
      {NIETOO_SMALL, 40, 0, NIEINTERN},
      {NIEPING, 40, 0, NIEINTERN},
      {NIEOPCODE, 40, 0, NIEINTERN},
      {NIEACCEPT, 40, 0, NIEINTERN},
      {NIEQUE_FULL, 40, 0, NIEINTERN},
      {NIECONN_PENDING, 40, 0, NIEINTERN},
      {5, 40, 0, NIEINTERN},
  };
  for (bool buffered : {false, true}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::to_string(c.sent) + (buffered ? " buffered" : ""));
      std::string text = "peer says " + std::to_string(c.sent);
      ASSERT_TRUE(Of(buffered).SendMsg(RtErr(c.opcode, c.sent, Record(text, c.sent, "peer"), "", c.version)));
      std::string got;
      EXPECT_EQ(Read(Of(buffered), buffered, &got), c.got);
      EXPECT_EQ(ErrText(), text);
      EXPECT_EQ(ToUtf8(ErrGetFld(ERR_FLD_COMPONENT)), "peer");
    }
    // Code 0 is no error: only a control message consumed.
    ASSERT_TRUE(Of(buffered).SendMsg(RtErr(0, 0, Record("nothing", 0, "peer"))));
    ExpectConsumed(Of(buffered), buffered);
  }
  // Nothing went back for any of them: the next frame answers a version request.
  for (bool buffered : {false, true}) {
    ASSERT_TRUE(Of(buffered).SendMsg(RtErr(1, 0)));
    ExpectConsumed(Of(buffered), buffered);
    EXPECT_EQ(peers::HexOf(Of(buffered).Frame()), kVersionReply);
  }
}

TEST_F(NiCtl, VersionRequestsAndUnknownOpcodesAreAnswered) {
  Open();
  for (bool buffered : {false, true}) {
    SCOPED_TRACE(buffered ? "buffered" : "plain");
    Conn& c = Of(buffered);
    std::string got;
    // A version reply (opcode 2) is taken without an answer.
    ASSERT_TRUE(c.SendMsg(RtErr(2, -13)));
    ExpectConsumed(c, buffered);
    ASSERT_TRUE(c.SendMsg(RtErr(1, -13, Record("asks", -13, "peer"))));
    ExpectConsumed(c, buffered);
    EXPECT_EQ(peers::HexOf(c.Frame()), kVersionReply);
    EXPECT_FALSE(ErrIsSet());  // sent and cleared
    // Opcode 8 has a meaning on buffered handles only.
    for (uint8_t opcode : buffered ? std::vector<uint8_t>{9, 77} : std::vector<uint8_t>{9, 8, 5, 6}) {
      ASSERT_TRUE(c.SendMsg(RtErr(opcode, 0, "", std::string(6, '\0'))));
      ExpectConsumed(c, buffered);
      peers::RtErr answer;
      ASSERT_TRUE(peers::DecodeRtErr(c.Frame(), &answer));
      EXPECT_EQ(answer.opcode, 0);
      EXPECT_EQ(answer.niVersion, 40);
      EXPECT_EQ(answer.rc, NIEVERSION);
      std::vector<std::string> f = Fields(answer.text);
      ASSERT_EQ(f.size(), 21u);
      EXPECT_EQ(f[2], "NiBufIProcMsg: unknown opcode " + std::to_string(opcode) + " received");
      EXPECT_EQ(f[3], "-13");
      EXPECT_EQ(f[4], "NI (network interface)");
      EXPECT_TRUE(answer.data.empty());
    }
    // User data still flows.
    ASSERT_TRUE(c.SendMsg("after"));
    EXPECT_EQ(Read(c, buffered, &got), WEQ_O_K);
    EXPECT_EQ(got, "after");
  }
}

TEST_F(NiCtl, PassRequestsAHandleCannotTakeAreRefusedWithoutAnAnswer) {
  Open();
  const std::string state = "NiBufIProcMsg: invalid internal state (hdl " + std::to_string(buf_.hdl) + ";2;(nil)";
  const std::pair<std::string, std::string> cases[] = {
      {RtErr(8, 0, "", std::string(5, '\0')), state + ";(nil);5)"},
      {RtErr(8, 0, "", std::string(7, '\0')), state + ";(nil);7)"},
      {RtErr(5, 0, "", std::string(4, '\0')), state + ";4<4)"},  // answers to a sender: never one here
      {RtErr(6, 0), state + ")"},
  };
  for (const auto& [msg, text] : cases) {
    ASSERT_TRUE(buf_.SendMsg(msg));
    std::string got;
    EXPECT_EQ(Read(buf_, true, &got), NIEINTERN);
    EXPECT_EQ(ErrText(), text);
    EXPECT_EQ(Ext(buf_.hdl)->status, NIBUF_STAT_OK);
    EXPECT_EQ(Ext(buf_.hdl)->passData, nullptr);
  }
  ASSERT_TRUE(buf_.SendMsg(RtErr(1, 0)));
  ExpectConsumed(buf_, true);
  EXPECT_EQ(peers::HexOf(buf_.Frame()), kVersionReply);  // the first answer of all
}

TEST_F(NiCtl, AnErrorTextBeyondLatin1GoesOutAndComesBackWhole) {
  Open();
  // 150 CJK units: three UTF-8 bytes each, more than two per unit.
  std::u16string cjk;
  for (int i = 0; i < 150; ++i) cjk += static_cast<char16_t>(0x4E00 + i * 37);
  ErrSetInfo(u"test", 1, u"nictl", 1, u"%s", NIEROUT_PERM_DENIED, u"", cjk.c_str());
  NITAB* rec = Rec(buf_.hdl);
  ASSERT_EQ(NiBufISendErr(rec, rec->mBuf, 0, NIEROUT_PERM_DENIED), WEQ_O_K);
  EXPECT_FALSE(ErrIsSet());
  std::string frame = buf_.Frame();
  peers::RtErr m;
  ASSERT_TRUE(peers::DecodeRtErr(frame, &m));
  EXPECT_EQ(m.rc, NIEROUT_PERM_DENIED);
  EXPECT_EQ(m.opcode, 0);
  std::vector<std::string> f = Fields(m.text);
  ASSERT_EQ(f.size(), 21u);
  std::string utf16;
  ASSERT_TRUE(trccheck::Iconv("UTF-16LE", "UTF-8", f[2], &utf16));
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(utf16.data()), utf16.size() / 2), cjk);
  // Back as the peer's error.
  for (bool buffered : {false, true}) {
    ASSERT_TRUE(Of(buffered).SendMsg(frame));
    std::string got;
    EXPECT_EQ(Read(Of(buffered), buffered, &got), NIEROUT_PERM_DENIED);
    EXPECT_EQ(std::u16string(ErrGetFld(ERR_FLD_ERROR)), cjk);
  }
  // Unbuffered, and without error information a generic one goes.
  ErrClear();
  ASSERT_EQ(NiBufISendErr(Rec(plain_.hdl), nullptr, 0, NIEROUT_INTERN), WEQ_O_K);
  ASSERT_TRUE(peers::DecodeRtErr(plain_.Frame(), &m));
  EXPECT_EQ(m.rc, NIEROUT_INTERN);
  f = Fields(m.text);
  ASSERT_EQ(f.size(), 21u);
  EXPECT_EQ(f[2], "NiBufISendErr: error in hdl " + std::to_string(plain_.hdl));
}

TEST_F(NiCtl, NoAnswerGoesBetweenTheHalvesOfAMessage) {
  Open();
  // More than the socket takes at once: the rest waits half-written.
  int small = 4096;
  ASSERT_EQ(setsockopt(Rec(plain_.hdl)->con.mSocket.socketNo, SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
  std::string big(1 << 20, 'b');
  uint32_t sent = 0;
  ASSERT_EQ(NiWrite(plain_.hdl, big.data(), static_cast<int>(big.size()), 0, &sent), NIETIMEOUT);
  ASSERT_GT(NiWritePending(plain_.hdl), 0);
  ASSERT_TRUE(plain_.SendMsg(RtErr(1, 0)));
  ASSERT_TRUE(plain_.SendMsg(RtErr(9, 0)));
  trccheck::TraceFile trace(1);
  std::string got;
  EXPECT_EQ(Read(plain_, false, &got), NIEPING);
  EXPECT_EQ(Read(plain_, false, &got), NIEPING);
  std::string t = trace.Read();
  EXPECT_NE(t.find("do not send VERSION"), std::string::npos);
  EXPECT_NE(t.find("do not send ERROR-INFO"), std::string::npos);
  // The rest of the message, then only what the test asks for.
  std::thread writer([&] {
    uint32_t more = 0;
    while (sent < big.size() &&
           NiWrite(plain_.hdl, big.data() + sent, static_cast<int>(big.size() - sent), 5000, &more) != NIEINVAL) {
      sent += more;
      if (NiWritePending(plain_.hdl) == 0) break;
    }
  });
  std::string frame = plain_.Frame();
  writer.join();
  EXPECT_EQ(frame.size(), big.size());
  EXPECT_TRUE(frame == big);
  ASSERT_TRUE(plain_.SendMsg(RtErr(1, 0)));
  EXPECT_EQ(Read(plain_, false, &got), NIEPING);
  EXPECT_EQ(peers::HexOf(plain_.Frame()), kVersionReply);
}

// A peer that asks and asks but never reads cannot hold a reader up nor
// make answers pile up: each read with its time-out comes back, answers
// the socket no longer takes wait only within a bound (the rest are not
// sent), and none is cut short on the wire.
TEST_F(NiCtl, AnswersToAPeerThatDoesNotReadNeverHoldTheReaderUp) {
  Open();
  for (bool buffered : {false, true}) {
    SCOPED_TRACE(buffered ? "buffered" : "plain");
    Conn& c = Of(buffered);
    int small = 4096;
    ASSERT_EQ(setsockopt(Rec(c.hdl)->con.mSocket.socketNo, SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
    ASSERT_EQ(setsockopt(c.peer.get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small), 0);
    constexpr int kAsks = 600;
    std::string asks;
    for (int i = 0; i < kAsks; ++i) asks += peers::FrameEncode(RtErr(i % 2 != 0 ? 1 : 9, 0));
    std::thread peer([&] { EXPECT_TRUE(c.Send(asks + peers::FrameEncode("last"))); });
    std::promise<std::string> done;
    std::future<std::string> result = done.get_future();
    std::thread reader([&] {
      std::string got;
      NI_RC rc = NIEPING;
      for (int i = 0; i <= kAsks && rc == NIEPING; ++i) rc = Read(c, buffered, &got, 1000);
      done.set_value(rc == WEQ_O_K ? got : "rc " + std::to_string(rc));
    });
    bool returned = result.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
    EXPECT_TRUE(returned) << "a read waits for a peer that does not read";
    if (buffered && returned) {
      size_t waiting = 0;
      for (NIBUF* q = Ext(c.hdl)->pendWrite; q != nullptr && q != Ext(c.hdl)->nextUser; q = q->next) ++waiting;
      EXPECT_LE(waiting, 300u);
    }
    // Whatever answers went out are whole frames. Reading them also lets a
    // reader that waits for the peer go on to its end.
    size_t replies = 0;
    for (;;) {
      std::string reply = c.Frame(200);
      if (reply == "<none>") {
        if (result.wait_for(std::chrono::seconds(0)) != std::future_status::ready) continue;
        if (!buffered || Ext(c.hdl)->pendWrite == nullptr) break;
        NiPeekExWrite(c.hdl, 100);  // the queued answers go out
        continue;
      }
      peers::RtErr answer;
      EXPECT_TRUE(peers::DecodeRtErr(reply, &answer));
      ++replies;
    }
    reader.join();
    peer.join();
    EXPECT_EQ(result.get(), "last");
    // Only a part of the answers went out.
    EXPECT_GT(replies, 0u);
    EXPECT_LT(replies, static_cast<size_t>(kAsks));
    EXPECT_FALSE(c.parser.bad());
  }
}

// The control bytes of an unbuffered handle take answers up to their last
// byte and not one beyond: with the socket taking nothing, 166 PONGs and
// two version replies fill them exactly, and a third reply is not sent.
TEST_F(NiCtl, AnswersFillTheControlBytesToTheirLastByteAndNoFurther) {
  Open();
  SiITestFail(SI_FN_SEND, 1000000, SI_ETIMEOUT, EAGAIN);
  std::string asks;
  for (int i = 0; i < 166; ++i) asks += peers::FrameEncode(peers::kNiPing);
  for (int i = 0; i < 3; ++i) asks += peers::FrameEncode(RtErr(1, 0));
  ASSERT_TRUE(plain_.Send(asks));
  std::string got;
  for (int i = 0; i < 169; ++i) ASSERT_EQ(Read(plain_, false, &got), NIEPING) << i;
  SiITestReset();
  uint32_t n = 0;
  ASSERT_EQ(NiWrite(plain_.hdl, "end", 3, 5000, &n), WEQ_O_K);
  for (int i = 0; i < 166; ++i) ASSERT_EQ(plain_.Frame(), peers::kNiPong) << i;
  for (int i = 0; i < 2; ++i) EXPECT_EQ(peers::HexOf(plain_.Frame()), kVersionReply);
  EXPECT_EQ(plain_.Frame(), "end");
}

// --- Passed handles ------------------------------------------------------------------

// The receiving end: a listen handle the sender connects to, and the
// buffered connection it accepts.
class NiPass : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(NiInit(), WEQ_O_K);
    ASSERT_EQ(NiServerHandleForPort(&port_, &lis_), WEQ_O_K);
  }
  void TearDown() override {
    if (h_ != NI_INVALID_HDL) NiCloseHandle(h_);
    NiCloseHandle(lis_);
    NiExit();
  }
  std::vector<std::string> To(std::vector<std::string> more) const {
    more.insert(more.begin(), {"--connect", "127.0.0.1:" + std::to_string(port_)});
    return more;
  }
  void CloseReceiver() {
    NiCloseHandle(h_);
    h_ = NI_INVALID_HDL;
  }
  void Accept() {
    ASSERT_EQ(NiAcceptEx2(lis_, 5000, nullptr, &h_, nullptr, nullptr), WEQ_O_K);
    NI_PARAM_DATA p{NIHP_BUFSTAT, NI_DT_RAW, {}};
    p.value.raw_val = NI_BUFSTAT_ON;
    ASSERT_EQ(NiSetHdlParamEx(h_, &p), WEQ_O_K);
  }
  // Reads until something other than "nothing yet" comes.
  NI_RC Drive() {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    NI_RC rc;
    do {
      NIBUF* b = nullptr;
      rc = NiBufReceive(h_, &b, 2000);
      if (b != nullptr) NiBufFree2(&b);
    } while (rc == NIETIMEOUT && std::chrono::steady_clock::now() < deadline);
    return rc;
  }
  NI_HDL Take() {
    NI_HDL got = NI_INVALID_HDL;
    NI_NODEADDR addr{};
    uint16_t port = 99;
    EXPECT_EQ(Drive(), NIEACCEPT);
    EXPECT_EQ(NiAcceptEx2(h_, 5000, nullptr, &got, &addr, &port), WEQ_O_K);
    EXPECT_EQ(port, 0);
    EXPECT_EQ(NiAddrToIPv4(&addr), htonl(INADDR_LOOPBACK));
    return got;
  }

  uint16_t port_ = 0;
  NI_HDL lis_ = NI_INVALID_HDL;
  NI_HDL h_ = NI_INVALID_HDL;
};

TEST_F(NiPass, AConnectedSocketBecomesAWorkingHandleWithItsFlags) {
  struct Case {
    std::vector<std::string> args;
    bool buffered;
    uint8_t talkMode, blockMode, state;
  } cases[] = {
      {{"--buffered", "1", "--talkmode", "0", "--blockmode", "0"}, true, NI_MESG_IO, 0, NI_CONNECTED},
      {{"--buffered", "1", "--talkmode", "1", "--blockmode", "1"}, true, NI_RAW_IO, 1, NI_CONNECTED},
      {{"--buffered", "0", "--state", "54"}, false, 0, 0, NI_ACCEPTED},
      // A state of no connection would leave the record unreachable.
      {{"--buffered", "0", "--state", "0", "--blockmode", "1"}, false, 0, 1, NI_CONNECTED},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[1] + c.args[3]);
    PeerProcess sender("sender", To(c.args));
    peers::PeerLog log(sender);
    ASSERT_TRUE(sender.ok());
    Accept();
    NI_HDL got = Take();
    ASSERT_NE(got, NI_INVALID_HDL);
    peers::LogLine l;
    ASSERT_TRUE(log.Wait("EVENT", "pid", &l, 5000));
    EXPECT_EQ(l.num("match"), 1) << l.raw;
    EXPECT_TRUE(log.Wait("EVENT", "taken", nullptr, 5000));
    NITAB* rec = Rec(got);
    EXPECT_EQ(rec->mType.load(), c.state);
    EXPECT_EQ(rec->mBlockMode, c.blockMode);
    ASSERT_EQ(rec->mBuf != nullptr, c.buffered);
    if (c.buffered) {
      EXPECT_EQ(rec->mBuf->talkMode, c.talkMode);
    }
    // The sender echoes on the other end of the passed connection.
    EXPECT_EQ(niconn::Echo(got, "through the passed handle"), "through the passed handle");
    // The receiving handle is itself again.
    EXPECT_TRUE(Ext(h_)->status == NIBUF_STAT_OK && Ext(h_)->hsCount == 0 && Ext(h_)->passData == nullptr);
    NiCloseHandle(got);
    CloseReceiver();
  }
}

TEST_F(NiPass, AListeningSocketBecomesAListenHandle) {
  for (const char* buffered : {"1", "0"}) {
    SCOPED_TRACE(buffered);
    PeerProcess sender("sender", To({"--kind", "listening", "--buffered", buffered}));
    peers::PeerLog log(sender);
    ASSERT_TRUE(sender.ok());
    Accept();
    NI_HDL listen = Take();
    ASSERT_NE(listen, NI_INVALID_HDL);
    EXPECT_EQ(Rec(listen)->mType.load(), NI_LISTEN);
    NI_NODEADDR addr{};
    uint16_t port = 0;
    ASSERT_EQ(NiHdlGetName(listen, &addr, &port, nullptr), WEQ_O_K);
    EXPECT_EQ(port, sender.port());
    ASSERT_TRUE(log.Wait("EVENT", "taken", nullptr, 5000));
    peers::Fd client = peers::Connect(AF_INET, port);
    ASSERT_TRUE(client.valid());
    NI_HDL acc = NI_INVALID_HDL;
    ASSERT_EQ(NiAcceptEx2(listen, 5000, nullptr, &acc, nullptr, nullptr), WEQ_O_K);
    EXPECT_EQ(Ext(acc) != nullptr, buffered[0] == '1');
    ASSERT_TRUE(peers::WriteAll(client.get(), peers::FrameEncode("knock")));
    char buf[16];
    uint32_t n = 0;
    ASSERT_EQ(NiRead(acc, buf, sizeof buf, 5000, &n), WEQ_O_K);
    EXPECT_EQ(std::string(buf, n), "knock");
    NiCloseHandle(acc);
    NiCloseHandle(listen);
    CloseReceiver();
  }
}

TEST_F(NiPass, BadRecordsAndSocketsAreRefusedWithoutALeak) {
  struct Case {
    std::vector<std::string> args;
    std::string text;  // the start of the error text
  } cases[] = {
      {{"--record-len", "627"}, ""},
      {{"--sockets", "2"}, "NiBufIAcceptSentHdl: noOfSockets = 2 for hdl "},
      {{"--unix", "1"}, ""},
      {{"--kind", "listening", "--sockets", "2"}, "NiBufIAcceptSentHdl: passed socket refused (family 2, type 1, hdl "},
      {{"--sockets", "3"}, "NiBufIAcceptSentHdl: noOfSockets = 3 for hdl "},
      {{"--dgram", "1"}, "NiBufIAcceptSentHdl: passed socket refused (family 2, type 2, hdl "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.args[1]);
    PeerProcess sender("sender", To(c.args));
    peers::PeerLog log(sender);
    ASSERT_TRUE(sender.ok());
    Accept();
    const int fds = peers::OpenFdCount(), free0 = NiIFreeHandles();
    EXPECT_EQ(Drive(), NIEINTERN);
    EXPECT_EQ(ErrText().substr(0, c.text.size()), c.text);
    peers::LogLine l;
    ASSERT_TRUE(log.Wait("IN", "reply", &l, 5000, "stage", "records"));
    EXPECT_EQ(l.num("opcode"), 0);
    EXPECT_EQ(l.num("rc"), NIEINTERN);
    EXPECT_TRUE(log.Wait("EVENT", "refused", nullptr, 5000));
    EXPECT_EQ(peers::OpenFdCount() - fds + NiIFreeHandles() - free0, 0);  // nothing taken stays
    EXPECT_EQ(Ext(h_)->status, NIBUF_STAT_ACCEPTING);
    CloseReceiver();
  }
}

TEST_F(NiPass, ShortPassDataGetsNoAnswerAndUnknownOpcodesAnError) {
  {
    PeerProcess sender("sender", To({"--data-len", "5"}));
    peers::PeerLog log(sender);
    Accept();
    EXPECT_EQ(Drive(), NIEINTERN);
    CloseReceiver();
    peers::LogLine l;
    ASSERT_TRUE(log.Wait("IN", "reply", &l, 5000, "stage", "pass"));
    EXPECT_EQ(l.get("none"), "closed");
  }
  PeerProcess sender("sender", To({"--opcode", "9"}));
  peers::PeerLog log(sender);
  Accept();
  NIBUF* b = nullptr;
  // Consumed and answered without a word: the wait goes on until the
  // sender, answered, goes away.
  EXPECT_EQ(NiBufReceive(h_, &b, 5000), NIECONN_BROKEN);
  peers::LogLine l;
  ASSERT_TRUE(log.Wait("IN", "reply", &l, 5000, "stage", "pass"));
  EXPECT_EQ(l.num("opcode"), 0);
  EXPECT_EQ(l.num("rc"), NIEVERSION);
  EXPECT_EQ(l.num("version"), 40);
  EXPECT_EQ(l.get("text"), "NiBufIProcMsg: unknown opcode 9 received");
}

}  // namespace
