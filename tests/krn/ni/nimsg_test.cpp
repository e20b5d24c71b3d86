// NI message I/O over loopback against the test's own end of each
// connection, which frames and parses with the peer toolkit's codec: the
// framing at its edges, resumed reads and writes, single-read mode, the
// keep-alive answers, the waits and their time-outs, the socket layer's
// rare answers through its seam, and the refusals of listen handles.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <deque>
#include <future>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "krn/dptrc/err.h"
#include "krn/ni/ni.h"
#include "krn/ni/nimsg_int.h"
#include "krn/ni/niparam_int.h"
#include "krn/ni/nixx_int.h"
#include "krn/si/si_int.h"
#include "krn/thr/thr.h"
#include "peers/niframe.h"
#include "peers/peers.h"
#include "support/testsupport.h"
#include "../dptrc/trc_checker.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string ErrText() { return tovtest::ToUtf8(ErrGetFld(ERR_FLD_ERROR)); }

// Scripted values of the test parameters' random source; 0 (even: no
// fragmentation) once the script is used up.
std::deque<int> g_script;
int ScriptRandom() {
  if (g_script.empty()) return 0;
  int v = g_script.front();
  g_script.pop_front();
  return v;
}

std::string Bytes(size_t n, uint32_t seed) {
  std::string s(n, '\0');
  std::mt19937 rng(seed);
  for (auto& c : s) c = static_cast<char>(rng());
  return s;
}

NITAB* Rec(NI_HDL h) {
  NITAB* rec = nullptr;
  EXPECT_EQ(NiIHdlCheck(h, u"test", &rec), WEQ_O_K);
  return rec;
}

class NiMsg : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(ThrProcInit(), THR_ERR_OK);
    ASSERT_EQ(NiInit3(64), WEQ_O_K);
    NiIResetParams();
    SiITestReset();
    g_script.clear();
    NiISetRandom(ScriptRandom);
    uint16_t port = 0;
    ASSERT_EQ(NiServerHandleForPort(&port, &listen_), WEQ_O_K);
    peer_ = peers::Connect(AF_INET, port);
    ASSERT_TRUE(peer_.valid());
    ASSERT_EQ(NiAccept(listen_, 5000, &hdl_, nullptr, nullptr), WEQ_O_K);
  }
  void TearDown() override {
    SiITestReset();
    NiISetRandom(nullptr);
    if (hdl_ != NI_INVALID_HDL) NiCloseHandle(hdl_);
    if (listen_ != NI_INVALID_HDL) NiCloseHandle(listen_);
    NiIResetParams();
    NiExit();
  }
  void PeerSend(const std::string& bytes) { ASSERT_TRUE(peers::SendAll(peer_.get(), bytes.data(), bytes.size())); }
  // The next message the peer receives, or "<none>" after deadline_ms.
  std::string PeerFrame(int deadline_ms = 5000) {
    std::string m;
    return peers::RecvFrame(peer_.get(), &parser_, &m, deadline_ms) ? m : std::string("<none>");
  }
  // Reads one message with NiRead in whatever pieces the socket gives.
  NI_RC ReadWhole(std::string* out, size_t room, int timeout = 5000) {
    out->assign(room, '\0');
    uint32_t got = 0;
    NI_RC rc = NiRead(hdl_, out->data(), static_cast<int>(room), timeout, &got);
    out->resize(rc == WEQ_O_K ? got : 0);
    return rc;
  }
  // Sends msg framed in two pieces cut at byte `cut` of the frame, the
  // first read running out of time between them; then reads until the
  // message ends. What the caller got of it goes to *data.
  NI_RC ReadCutMessage(const std::string& msg, size_t cut, std::string* data) {
    const std::string frame = peers::FrameEncode(msg);
    PeerSend(frame.substr(0, cut));
    EXPECT_EQ(NiPeekEx(hdl_, 2000), WEQ_O_K);
    char buf[64];
    uint32_t got = 0;
    EXPECT_EQ(NiRead(hdl_, buf, sizeof buf, 0, &got), NIETIMEOUT);
    data->assign(buf, got);
    if (msg.size() == 8) {
      EXPECT_EQ(got, 0u) << "a piece of an 8-byte message went out";
      if (cut >= 4) {
        EXPECT_EQ(NiIPendLen(Rec(hdl_), NI_READ, 0), 8);
      }
    }
    PeerSend(frame.substr(cut));
    NI_RC rc = NIETIMEOUT;
    for (int i = 0; i < 4 && rc == NIETIMEOUT; ++i) {  // single-read mode takes a call per receive
      rc = NiRead(hdl_, buf, sizeof buf, 2000, &got);
      if (rc == NIETIMEOUT || rc == WEQ_O_K) data->append(buf, got);
    }
    return rc;
  }
  // Keep-alive frames and user messages that look like them, cut at every
  // byte of header and data: every PING answered once, every PONG the end
  // of a running check, every user message delivered whole.
  void CutMessagesAtEveryByte() {
    const std::string user[] = {"NI_PINGX", peers::kNiPing + "X", peers::kNiPong + "Y",
                                "0123456789" + peers::kNiPing, "abcdefgh" + peers::kNiPong};
    for (size_t cut = 1; cut < 4 + 8; ++cut) {
      SCOPED_TRACE(cut);
      std::string data;
      EXPECT_EQ(ReadCutMessage(peers::kNiPing, cut, &data), NIEPING);
      EXPECT_EQ(data, "");
      EXPECT_EQ(PeerFrame(), peers::kNiPong);
      ASSERT_EQ(NiCheckEx(hdl_, 1000, 1, nullptr), WEQ_O_K);
      EXPECT_EQ(PeerFrame(), peers::kNiPing);
      EXPECT_EQ(ReadCutMessage(peers::kNiPong, cut, &data), NIEPING);
      EXPECT_EQ(data, "");
      EXPECT_EQ(Rec(hdl_)->mCheck, 0);
    }
    for (const std::string& msg : user) {
      for (size_t cut = 1; cut < 4 + msg.size(); ++cut) {
        std::string data;
        EXPECT_EQ(ReadCutMessage(msg, cut, &data), WEQ_O_K) << msg.size() << "/" << cut;
        EXPECT_EQ(data, msg) << cut;
      }
    }
    // No answer went out beyond the ones taken above.
    uint32_t written = 0;
    ASSERT_EQ(NiWrite(hdl_, "end", 3, 1000, &written), WEQ_O_K);
    EXPECT_EQ(PeerFrame(), "end");
  }
  NI_HDL listen_ = NI_INVALID_HDL;
  NI_HDL hdl_ = NI_INVALID_HDL;
  peers::Fd peer_;
  peers::FrameParser parser_;
};

// --- Framing ---------------------------------------------------------------------------

TEST_F(NiMsg, MessagesOfTheEdgeSizesCrossBothWaysByteExact) {
  for (size_t size : {size_t{0}, size_t{1}, size_t{8 + 1}, size_t{65536}, size_t{1} << 20}) {
    std::string data = Bytes(size, static_cast<uint32_t>(size));
    std::thread reader([&] { EXPECT_EQ(PeerFrame(), data) << size; });
    uint32_t written = 99;
    EXPECT_EQ(NiWrite(hdl_, data.data(), static_cast<int>(size), 5000, &written), WEQ_O_K) << size;
    EXPECT_EQ(written, size);
    reader.join();

    std::thread writer([&] { PeerSend(peers::FrameEncode(data)); });
    std::string got;
    EXPECT_EQ(ReadWhole(&got, (size_t{1} << 20) + 16), WEQ_O_K) << size;
    EXPECT_EQ(got, data) << size;
    writer.join();
  }
  NITAB* rec = Rec(hdl_);
  EXPECT_EQ(rec->mMsgOut, 5u);
  EXPECT_EQ(rec->mMsgIn, 5u);
  EXPECT_EQ(rec->mBytesOut, rec->mBytesIn);
}

TEST_F(NiMsg, AnEmptyMessageIsOnlyItsHeaderAndReadsIntoAnyBuffer) {
  uint32_t written = 7;
  ASSERT_EQ(NiWrite(hdl_, nullptr, 0, 1000, &written), WEQ_O_K);
  char raw[4] = {1, 1, 1, 1};
  ASSERT_TRUE(peers::WaitReadable(peer_.get(), 2000));
  ASSERT_EQ(recv(peer_.get(), raw, 4, 0), 4);
  EXPECT_EQ(std::string(raw, 4), std::string(4, '\0'));
  PeerSend(peers::FrameEncode(""));
  uint32_t got = 5;
  EXPECT_EQ(NiRead(hdl_, nullptr, 0, 2000, &got), WEQ_O_K);
  EXPECT_EQ(got, 0u);
}

TEST_F(NiMsg, AHeaderWithTheTopBitSetIsUnframedData) {
  PeerSend(std::string("\x80\x00\x00\x00", 4));
  std::string got;
  EXPECT_EQ(ReadWhole(&got, 64), NIEINTERN);
  EXPECT_EQ(ErrText(), "NiIRead: invalid data (0x80000000); probably RAW_IO");
}

TEST_F(NiMsg, AHeaderArrivingByteByByteIsResumedAcrossTimeOuts) {
  std::string frame = peers::FrameEncode("abcdef");
  std::string buf(16, '\0');
  uint32_t got = 0;
  for (size_t i = 0; i < 4; ++i) {
    PeerSend(frame.substr(i, 1));
    ASSERT_EQ(NiPeekEx(hdl_, 2000), WEQ_O_K);
    EXPECT_EQ(NiRead(hdl_, buf.data(), 16, 0, &got), NIETIMEOUT) << i;
    EXPECT_EQ(Rec(hdl_)->mPendHdrLenToRead, 3 - i) << i;
  }
  PeerSend(frame.substr(4));
  EXPECT_EQ(NiRead(hdl_, buf.data(), 16, 2000, &got), WEQ_O_K);
  EXPECT_EQ(buf.substr(0, got), "abcdef");
}

TEST_F(NiMsg, TenBytesReadAsFourThenSix) {
  PeerSend(peers::FrameEncode("0123456789"));
  char buf[10];
  uint32_t got = 0;
  EXPECT_EQ(NiRead(hdl_, buf, 4, 2000, &got), NIETOO_SMALL);
  EXPECT_EQ(got, 4u);
  EXPECT_EQ(ErrText(), "NiIRead: hdl " + std::to_string(hdl_) + " buffer too small (4<10)");
  EXPECT_EQ(NiRead(hdl_, buf + 4, 6, 2000, &got), WEQ_O_K);
  EXPECT_EQ(got, 6u);
  EXPECT_EQ(std::string(buf, 10), "0123456789");
  // A zero-length buffer while data is pending is too small at once.
  PeerSend(peers::FrameEncode("xy"));
  EXPECT_EQ(NiRead(hdl_, buf, 1, 2000, &got), NIETOO_SMALL);
  EXPECT_EQ(NiRead(hdl_, buf, 0, 2000, &got), NIETOO_SMALL);
  EXPECT_EQ(NiRead(hdl_, buf + 1, 1, 2000, &got), WEQ_O_K);
  EXPECT_EQ(std::string(buf, 2), "xy");
}

TEST_F(NiMsg, SingleReadModeStopsAfterOneReceiveThatLeftDataPending) {
  ASSERT_EQ(NiSetSingleRead(hdl_, 1), WEQ_O_K);
  std::string frame = peers::FrameEncode("hello world");
  PeerSend(frame.substr(0, 7));  // header and "hel"
  char buf[32];
  uint32_t got = 0;
  ASSERT_EQ(NiPeekEx(hdl_, 2000), WEQ_O_K);
  ASSERT_TRUE(peers::WaitReadable(peer_.get(), 0) || true);
  NI_RC rc = NiRead(hdl_, buf, 32, NI_BLOCK, &got);
  // The header and the first piece may come in one or two receives; either
  // way the call ends with part of the message pending.
  EXPECT_EQ(rc, NIETIMEOUT);
  uint32_t total = got;
  while (total < 3) {
    ASSERT_EQ(NiPeekEx(hdl_, 2000), WEQ_O_K);
    ASSERT_EQ(NiRead(hdl_, buf + total, 32 - static_cast<int>(total), NI_BLOCK, &got), NIETIMEOUT);
    total += got;
  }
  EXPECT_EQ(std::string(buf, 3), "hel");
  PeerSend(frame.substr(7));
  ASSERT_EQ(NiRead(hdl_, buf + 3, 29, NI_BLOCK, &got), WEQ_O_K);
  EXPECT_EQ(std::string(buf, 3 + got), "hello world");
  // Off again: a message in two pieces takes one call.
  ASSERT_EQ(NiSetSingleRead(hdl_, 0), WEQ_O_K);
  std::thread late([&] {
    PeerSend(frame.substr(0, 6));
    std::this_thread::yield();
    PeerSend(frame.substr(6));
  });
  EXPECT_EQ(NiRead(hdl_, buf, 32, 5000, &got), WEQ_O_K);
  EXPECT_EQ(std::string(buf, got), "hello world");
  late.join();
}

TEST_F(NiMsg, APeerCloseIsABrokenConnection) {
  peer_.Reset();
  char buf[8];
  uint32_t got = 5;
  EXPECT_EQ(NiRead(hdl_, buf, 8, 2000, &got), NIECONN_BROKEN);
  EXPECT_EQ(got, 0u);
}

TEST_F(NiMsg, TalkModesOfTheInternalReadAndWrite) {
  NITAB* rec = Rec(hdl_);
  uint32_t n = 0;
  ASSERT_EQ(NiIWrite(rec, "raw!", 4, 1000, NI_RAW_IO, &n), WEQ_O_K);
  EXPECT_EQ(n, 4u);
  ASSERT_TRUE(peers::WaitReadable(peer_.get(), 2000));
  char raw[8];
  EXPECT_EQ(recv(peer_.get(), raw, 8, 0), 4);  // no header
  EXPECT_EQ(std::string(raw, 4), "raw!");
  ASSERT_EQ(NiIWrite(rec, "rt", 2, 1000, NI_ROUT_IO, &n), WEQ_O_K);
  EXPECT_EQ(PeerFrame(), "rt");
  EXPECT_EQ(NiIWrite(rec, "x", 1, 1000, 3, &n), NIEINTERN);
  EXPECT_EQ(ErrText(), "NiIWrite: invalid mode 3 for hdl " + std::to_string(hdl_));

  PeerSend("abcdefgh");
  char buf[8];
  EXPECT_EQ(NiIRead(rec, buf, 0, 1000, NI_RAW_IO, &n), NIETOO_SMALL);
  EXPECT_EQ(ErrText(), "NiIRead: buffer length 0");
  ASSERT_EQ(NiPeekEx(hdl_, 2000), WEQ_O_K);
  EXPECT_EQ(NiIRead(rec, buf, 3, 1000, NI_RAW_IO, &n), WEQ_O_K);
  EXPECT_EQ(std::string(buf, n), "abc");
  size_t total = 0;
  while (total < 5) {
    ASSERT_EQ(NiIRead(rec, buf + total, 8, 1000, NI_RAW_IO, &n), WEQ_O_K);
    total += n;
  }
  EXPECT_EQ(std::string(buf, 5), "defgh");
  EXPECT_EQ(NiIRead(rec, buf, 8, 0, NI_RAW_IO, &n), NIETIMEOUT);
  EXPECT_EQ(NiIRead(rec, buf, 8, 0, 7, &n), NIEINTERN);
}

// --- Resumed writes --------------------------------------------------------------------

TEST_F(NiMsg, AWriteToAPeerThatDoesNotReadResumesWithTheSameLength) {
  NiIParams().minSockBuf = 1;
  int32_t fd = -1;
  ASSERT_EQ(NiHdlToSock(hdl_, &fd), WEQ_O_K);
  peers::SmallBuffers(fd);
  const std::string data = Bytes(4 << 20, 3);  // beyond both buffers
  uint32_t written = 0;
  ASSERT_EQ(NiWrite(hdl_, data.data(), static_cast<int>(data.size()), 0, &written), NIETIMEOUT);
  ASSERT_LT(written, data.size());
  EXPECT_EQ(NiWritePending(hdl_), static_cast<int>(data.size() - written));
  // Another length is refused and changes nothing.
  uint32_t other = 0;
  EXPECT_EQ(NiWrite(hdl_, data.data() + written, 10, 0, &other), NIEINVAL);
  EXPECT_EQ(ErrText(), "NiIWrite: data not equal with pending data length (10<>" +
                           std::to_string(data.size() - written) + ")");
  EXPECT_EQ(NiWritePending(hdl_), static_cast<int>(data.size() - written));
  // A 200 ms wait runs out while nobody reads.
  auto t0 = Clock::now();
  ASSERT_EQ(NiWrite(hdl_, data.data() + written, static_cast<int>(data.size() - written), 200, &other),
            NIETIMEOUT);
  EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(195));
  written += other;
  std::thread reader([&] {
    std::string got = PeerFrame(20000);
    EXPECT_TRUE(got == data) << got.size() << " bad=" << parser_.bad() << " partial=" << parser_.partial();
  });
  while (written < data.size()) {
    NI_RC rc = NiWrite(hdl_, data.data() + written, static_cast<int>(data.size() - written), 1000, &other);
    written += other;
    if (rc == WEQ_O_K) break;
    ASSERT_EQ(rc, NIETIMEOUT);
  }
  EXPECT_EQ(written, data.size());
  EXPECT_EQ(NiWritePending(hdl_), 0);
  reader.join();
}

TEST_F(NiMsg, AWriteStoppedInsideTheHeaderOwesTheWholeData) {
  NiIParams().fragTest = 3;
  g_script = {1, 3, 1, 0};  // first pass: 3 bytes; second: forced time-out
  uint32_t written = 9;
  ASSERT_EQ(NiWrite(hdl_, "payload", 7, 1000, &written), NIETIMEOUT);
  EXPECT_EQ(written, 0u);
  EXPECT_EQ(NiWritePending(hdl_), 7);
  EXPECT_EQ(Rec(hdl_)->mPendHdrLenToWrite, 1);
  ASSERT_EQ(NiWrite(hdl_, "payload", 7, 1000, &written), WEQ_O_K);
  EXPECT_EQ(written, 7u);
  EXPECT_EQ(PeerFrame(), "payload");
}

// --- Keep-alive ------------------------------------------------------------------------

TEST_F(NiMsg, APingIsAnsweredWithAPong) {
  PeerSend(peers::FrameEncode(peers::kNiPing));
  char buf[32];
  uint32_t got = 9;
  EXPECT_EQ(NiRead(hdl_, buf, 32, 2000, &got), NIEPING);
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(PeerFrame(), peers::kNiPong);
  // Our own check: the PONG that answers it gives NIEPING once.
  uint32_t count = 0;
  ASSERT_EQ(NiCheckEx(hdl_, 1000, 1, &count), WEQ_O_K);
  EXPECT_EQ(PeerFrame(), peers::kNiPing);
  PeerSend(peers::FrameEncode(peers::kNiPong));
  EXPECT_EQ(NiRead(hdl_, buf, 32, 2000, &got), NIEPING);
  EXPECT_EQ(Rec(hdl_)->mCheck, 0);
  PeerSend(peers::FrameEncode(peers::kNiPong));  // unasked: consumed all the same
  EXPECT_EQ(NiRead(hdl_, buf, 32, 2000, &got), NIEPING);
  // Other 8-byte messages are user data.
  PeerSend(peers::FrameEncode(std::string("NI_PINGX", 8)));
  EXPECT_EQ(NiRead(hdl_, buf, 32, 2000, &got), WEQ_O_K);
  EXPECT_EQ(std::string(buf, got), "NI_PINGX");
}

TEST_F(NiMsg, KeepAliveFramesCutAtEveryByteAreRecognisedWhole) { CutMessagesAtEveryByte(); }

TEST_F(NiMsg, KeepAliveFramesCutAtEveryByteInSingleReadMode) {
  ASSERT_EQ(NiSetSingleRead(hdl_, 1), WEQ_O_K);
  CutMessagesAtEveryByte();
}

TEST_F(NiMsg, AnEightByteMessageLargerThanTheBufferIsCheckedBeforeAnyOfItGoesOut) {
  char buf[16];
  uint32_t got = 9;
  PeerSend(peers::FrameEncode(peers::kNiPing));
  EXPECT_EQ(NiRead(hdl_, buf, 3, 2000, &got), NIEPING);
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(PeerFrame(), peers::kNiPong);
  ASSERT_EQ(NiCheckEx(hdl_, 1000, 1, nullptr), WEQ_O_K);
  EXPECT_EQ(PeerFrame(), peers::kNiPing);
  PeerSend(peers::FrameEncode(peers::kNiPong));
  EXPECT_EQ(NiRead(hdl_, buf, 7, 2000, &got), NIEPING);
  EXPECT_EQ(Rec(hdl_)->mCheck, 0);
  // A buffer of length 0 learns only that the message does not fit.
  PeerSend(peers::FrameEncode(peers::kNiPing));
  EXPECT_EQ(NiRead(hdl_, buf, 0, 2000, &got), NIETOO_SMALL);
  EXPECT_EQ(NiRead(hdl_, buf, 16, 2000, &got), NIEPING);
  EXPECT_EQ(PeerFrame(), peers::kNiPong);

  // User data goes out in the parts that fit; the handle holds the rest,
  // so a wait for input ends at once although the socket is empty.
  PeerSend(peers::FrameEncode("NI_PINGX"));
  EXPECT_EQ(NiRead(hdl_, buf, 3, 2000, &got), NIETOO_SMALL);
  EXPECT_EQ(got, 3u);
  EXPECT_EQ(ErrText(), "NiIRead: hdl " + std::to_string(hdl_) + " buffer too small (3<8)");
  EXPECT_EQ(NiIPendLen(Rec(hdl_), NI_READ, 0), 5);
  EXPECT_EQ(NiPeekEx(hdl_, 0), WEQ_O_K);
  EXPECT_FALSE(peers::WaitReadable(Rec(hdl_)->con.mSocket.socketNo, 0));
  EXPECT_EQ(NiRead(hdl_, buf + 3, 0, 2000, &got), NIETOO_SMALL);
  EXPECT_EQ(NiRead(hdl_, buf + 3, 2, 2000, &got), NIETOO_SMALL);
  EXPECT_EQ(got, 2u);
  EXPECT_EQ(NiRead(hdl_, buf + 5, 11, 0, &got), WEQ_O_K);
  EXPECT_EQ(got, 3u);
  EXPECT_EQ(std::string(buf, 8), "NI_PINGX");
  EXPECT_EQ(NiPeekEx(hdl_, 0), NIETIMEOUT);
  // The next message reads as usual, and nothing was answered.
  PeerSend(peers::FrameEncode("next"));
  EXPECT_EQ(NiRead(hdl_, buf, 16, 2000, &got), WEQ_O_K);
  EXPECT_EQ(std::string(buf, got), "next");
  uint32_t written = 0;
  ASSERT_EQ(NiWrite(hdl_, "end", 3, 1000, &written), WEQ_O_K);
  EXPECT_EQ(PeerFrame(), "end");
}

TEST_F(NiMsg, APingWhileAWriteIsPendingGetsNoAnswer) {
  NiIParams().fragTest = 100;
  g_script = {1, 6, 1, 0};  // header and 2 data bytes, then a time-out
  uint32_t written = 0;
  ASSERT_EQ(NiWrite(hdl_, "0123456789", 10, 1000, &written), NIETIMEOUT);
  ASSERT_EQ(written, 2u);
  PeerSend(peers::FrameEncode(peers::kNiPing));
  char buf[16];
  uint32_t got = 0;
  EXPECT_EQ(NiRead(hdl_, buf, 16, 2000, &got), NIEPING);
  ASSERT_EQ(NiWrite(hdl_, "23456789", 8, 1000, &written), WEQ_O_K);
  ASSERT_EQ(NiWrite(hdl_, "end", 3, 1000, &written), WEQ_O_K);
  EXPECT_EQ(PeerFrame(), "0123456789");
  EXPECT_EQ(PeerFrame(), "end");  // and no PONG between them
}

TEST_F(NiMsg, APongTheSocketRefusedGoesOutBeforeTheNextMessage) {
  SiITestFail(SI_FN_SEND, 1, SI_ETIMEOUT, EAGAIN);
  PeerSend(peers::FrameEncode(peers::kNiPing));
  char buf[16];
  uint32_t got = 0;
  EXPECT_EQ(NiRead(hdl_, buf, 16, 2000, &got), NIEPING);
  EXPECT_EQ(SiITestCalls(SI_FN_SEND), 1u);
  uint32_t written = 0;
  ASSERT_EQ(NiWrite(hdl_, "user", 4, 1000, &written), WEQ_O_K);
  EXPECT_EQ(written, 4u);
  EXPECT_EQ(SiITestCalls(SI_FN_SENDV), 1u);  // the PONG and the message in one send
  EXPECT_EQ(PeerFrame(), peers::kNiPong);
  EXPECT_EQ(PeerFrame(), "user");
}

TEST_F(NiMsg, ACheckStoppedAfterFiveBytesSendsTheRestNext) {
  NiIParams().fragTest = 100;
  g_script = {1, 9, 1, 0};  // header and 5 bytes, then a time-out
  uint32_t count = 0;
  ASSERT_EQ(NiCheckEx(hdl_, 1000, 1, &count), NIETIMEOUT);
  EXPECT_EQ(count, 5u);
  ASSERT_EQ(NiCheckEx(hdl_, 1000, 1, &count), WEQ_O_K);
  EXPECT_EQ(PeerFrame(), peers::kNiPing);
  struct Case {
    uint32_t count;
    NI_RC rc;
  };
  for (Case c : {Case{9, NIEINVAL}, Case{100, NIEINVAL}, Case{8, WEQ_O_K}}) {
    uint32_t n = c.count;
    EXPECT_EQ(NiCheckEx(hdl_, 1000, 1, &n), c.rc) << c.count;
  }
  // Nothing went out for those three.
  ASSERT_EQ(NiCheckEx(hdl_, 1000, 2, nullptr), WEQ_O_K);
  EXPECT_EQ(PeerFrame(), peers::kNiPong);
}

// --- Waits -----------------------------------------------------------------------------

TEST_F(NiMsg, TimeOutsAreKept) {
  char buf[8];
  uint32_t got = 0;
  auto t0 = Clock::now();
  EXPECT_EQ(NiRead(hdl_, buf, 8, 0, &got), NIETIMEOUT);
  EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(5));
  t0 = Clock::now();
  EXPECT_EQ(NiRead(hdl_, buf, 8, 200, &got), NIETIMEOUT);
  auto took = Clock::now() - t0;
  EXPECT_GE(took, std::chrono::milliseconds(200));
  EXPECT_LT(took, std::chrono::milliseconds(400));
  t0 = Clock::now();
  EXPECT_EQ(NiPeekEx(hdl_, 200), NIETIMEOUT);
  EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(200));
  EXPECT_EQ(NiPeekExWrite(hdl_, 0), WEQ_O_K);
  std::promise<void> reading;
  std::thread late([&] {
    reading.get_future().wait();
    PeerSend(peers::FrameEncode("late"));
  });
  reading.set_value();
  EXPECT_EQ(NiRead(hdl_, buf, 8, NI_BLOCK, &got), WEQ_O_K);
  EXPECT_EQ(std::string(buf, got), "late");
  late.join();
  t0 = Clock::now();
  NiWait(0);
  NiWait(-1);
  EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(50));
  NiWait(30);
  EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(30));
}

// The fragmentation test cuts passes to random mod (F + 1) bytes for any
// F a caller sets, the largest included.
TEST_F(NiMsg, TheFragmentationTestTakesEveryLimit) {
  ASSERT_EQ(NiSetParam(NIP_FRAGTEST, 0xFFFFFFFFu), WEQ_O_K);
  g_script = {1, 7};  // the write's first pass: at most 7 bytes
  uint32_t n = 0;
  ASSERT_EQ(NiWrite(hdl_, "fragmented", 10, 2000, &n), WEQ_O_K);
  EXPECT_EQ(n, 10u);
  EXPECT_EQ(PeerFrame(), "fragmented");
  PeerSend(peers::FrameEncode("back"));
  g_script = {1, 2};  // the read's first receive: 2 header bytes
  std::string got;
  EXPECT_EQ(ReadWhole(&got, 16), WEQ_O_K);
  EXPECT_EQ(got, "back");
}

// The overrun check of a wait compares without overflow: the longest
// time-out and tolerance do not make a wait that ended at once late.
TEST_F(NiMsg, AWaitThatEndsAtOnceIsNeverLateWhateverItsTimeOut) {
  // A connection waits to be accepted: the listen handle is ready too.
  int32_t lsock = -1;
  ASSERT_EQ(NiHdlToSock(listen_, &lsock), WEQ_O_K);
  sockaddr_in at{};
  socklen_t atLen = sizeof at;
  ASSERT_EQ(getsockname(lsock, reinterpret_cast<sockaddr*>(&at), &atLen), 0);
  peers::Fd waiting = peers::Connect(AF_INET, ntohs(at.sin_port));
  ASSERT_TRUE(waiting.valid());
  for (uint32_t tolerance : {1u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
    NI_PARAM_DATA d{NIP_POLL_TRACE, NI_DT_UINT, {}};
    d.value.uint_val = tolerance;
    ASSERT_EQ(NiSetParamEx(&d), WEQ_O_K);
    trccheck::TraceFile trace(1);
    EXPECT_EQ(NiPeekExWrite(hdl_, 0x7FFFFFFF), WEQ_O_K);
    EXPECT_EQ(NiPeekEx(listen_, 0x7FFFFFFF), WEQ_O_K);
    EXPECT_EQ(trace.Read().find("passed over poll/select timeout"), std::string::npos) << tolerance;
  }
}

TEST_F(NiMsg, AReadAfterTheHandleSentWaitsBeforeItsFirstReceive) {
  char buf[16];
  uint32_t n = 0;
  struct Step {
    bool sendFirst;
    int timeout;
    bool answered;
    NI_RC rc;
    uint64_t peeks, recvs;
  };
  // After a send the answer is waited for first (one wait, no receive that
  // finds nothing); otherwise, and with time-out 0, the socket is read first.
  const Step steps[] = {
      {true, 2000, true, WEQ_O_K, 1, 2},  {false, 2000, true, WEQ_O_K, 0, 2}, {true, 0, true, WEQ_O_K, 0, 2},
      {true, 50, false, NIETIMEOUT, 1, 0}, {false, 0, false, NIETIMEOUT, 0, 1},
  };
  for (const Step& st : steps) {
    SCOPED_TRACE(std::to_string(st.sendFirst) + "/" + std::to_string(st.timeout));
    if (st.sendFirst) {
      ASSERT_EQ(NiWrite(hdl_, "ask", 3, 1000, &n), WEQ_O_K);
      EXPECT_EQ(PeerFrame(), "ask");
    }
    if (st.answered) {
      PeerSend(peers::FrameEncode("answer"));
      ASSERT_TRUE(peers::WaitReadable(Rec(hdl_)->con.mSocket.socketNo, 2000));
    }
    SiITestReset();
    EXPECT_EQ(NiRead(hdl_, buf, sizeof buf, st.timeout, &n), st.rc);
    EXPECT_EQ(SiITestCalls(SI_FN_PEEK), st.peeks);
    EXPECT_EQ(SiITestCalls(SI_FN_RECV), st.recvs);
  }
}

// --- Rare answers of the socket layer ----------------------------------------------------

TEST_F(NiMsg, ASendRefusedForItsSizeIsRetriedSmaller) {
  SiITestFail(SI_FN_SENDV, 2, SI_EMEMORY, ENOBUFS);
  std::string data = Bytes(10000, 5);
  std::thread reader([&] { EXPECT_EQ(PeerFrame(), data); });
  uint32_t written = 0;
  EXPECT_EQ(NiWrite(hdl_, data.data(), 10000, 2000, &written), WEQ_O_K);
  EXPECT_EQ(written, 10000u);
  reader.join();
  // 10004 -> 4096 -> 1024 sent, then the rest.
  EXPECT_GE(SiITestCalls(SI_FN_SENDV), 3u);

  // A message of 32 bytes or less that is refused breaks the connection.
  SiITestFail(SI_FN_SENDV, 1, SI_EMEMORY, ENOBUFS);
  EXPECT_EQ(NiWrite(hdl_, "tiny", 4, 2000, &written), NIECONN_BROKEN);
  EXPECT_NE(ErrText().find("MTU size reached (4+4<=32;hdl "), std::string::npos) << ErrText();
}

TEST_F(NiMsg, InterruptedCallsAreRetriedAndWouldBlockAfterAWaitIsCounted) {
  SiITestFail(SI_FN_RECV, 3, SI_EINTR, EINTR);
  PeerSend(peers::FrameEncode("intr"));
  char buf[8];
  uint32_t got = 0;
  EXPECT_EQ(NiRead(hdl_, buf, 8, 2000, &got), WEQ_O_K);
  EXPECT_EQ(std::string(buf, got), "intr");
  SiITestFail(SI_FN_SENDV, 2, SI_EINTR, EINTR);
  EXPECT_EQ(NiWrite(hdl_, "intr", 4, 2000, &got), WEQ_O_K);
  EXPECT_EQ(PeerFrame(), "intr");

  // A blocking socket is waited on first; a receive that then would block
  // is counted and waited on again.
  NITAB* rec = Rec(hdl_);
  rec->mBlockMode = 1;
  uint32_t before = NiIRecvBlockedCount();
  PeerSend(peers::FrameEncode("again"));
  SiITestFail(SI_FN_RECV, 1, SI_ETIMEOUT, EAGAIN);
  EXPECT_EQ(NiRead(hdl_, buf, 8, 2000, &got), WEQ_O_K);
  EXPECT_EQ(std::string(buf, got), "again");
  EXPECT_EQ(NiIRecvBlockedCount(), before + 1);
  rec->mBlockMode = 0;
  // Non-blocking with time-out 0: would block ends the call.
  SiITestFail(SI_FN_RECV, 1, SI_ETIMEOUT, EAGAIN);
  EXPECT_EQ(NiRead(hdl_, buf, 8, 0, &got), NIETIMEOUT);
  EXPECT_EQ(NiIRecvBlockedCount(), before + 1);
  // Any other failure of the receive reports it.
  SiITestFail(SI_FN_RECV, 1, SI_ECONN_BROKEN, ECONNRESET);
  EXPECT_EQ(NiRead(hdl_, buf, 8, 0, &got), NIECONN_BROKEN);
  EXPECT_EQ(got, UINT32_MAX);
}

// --- Listen handles and bad arguments ------------------------------------------------------

TEST_F(NiMsg, ListenHandlesAreRefusedWhereTheyHaveNoConnection) {
  char buf[8];
  uint32_t n = 0;
  EXPECT_EQ(NiRead(listen_, buf, 8, 0, &n), NIEINVAL);
  EXPECT_EQ(ErrText(), "NiRead: parameter invalid (pHdl->mType == NI_LISTEN)");
  EXPECT_EQ(NiWrite(listen_, buf, 8, 0, &n), NIEINVAL);
  EXPECT_EQ(NiCheckEx(listen_, 0, 1, &n), NIEINVAL);
  EXPECT_EQ(NiSetSingleRead(listen_, 1), NIEINVAL);
  EXPECT_EQ(NiWritePending(listen_), -1);
  EXPECT_EQ(NiWritePending(-1), -1);
  auto t0 = Clock::now();
  EXPECT_EQ(NiPeekExWrite(listen_, 5000), NIETIMEOUT);
  EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(100));
  EXPECT_EQ(NiPeekEx(listen_, 0), NIETIMEOUT);
  uint16_t port = 0;
  NI_NODEADDR a{};
  ASSERT_EQ(NiHdlGetName(listen_, &a, &port, nullptr), WEQ_O_K);
  peers::Fd second = peers::Connect(AF_INET, port);
  EXPECT_EQ(NiPeekEx(listen_, 5000), WEQ_O_K);

  struct Bad {
    const char* name;
    NI_RC rc;
    const char* text;
  };
  const Bad bad[] = {
      {"write null", NiWrite(hdl_, nullptr, 3, 0, &n), "NiWrite: parameter invalid (pData == NULL && dataLen != 0)"},
      {"write negative", NiWrite(hdl_, buf, -1, 0, &n), "NiWrite: parameter invalid (dataLen < 0)"},
      {"write no count", NiWrite(hdl_, buf, 1, 0, nullptr), "NiWrite: parameter invalid (pWritten == NULL)"},
      {"read null", NiRead(hdl_, nullptr, 3, 0, &n),
       "NiRead: parameter invalid (pBuffer == NULL && bufferLen != 0)"},
      {"read negative", NiRead(hdl_, buf, -2, 0, &n), "NiRead: parameter invalid (bufferLen < 0)"},
      {"read no count", NiRead(hdl_, buf, 8, 0, nullptr), "NiRead: parameter invalid (pRead == NULL)"},
  };
  for (const Bad& b : bad) EXPECT_EQ(b.rc, NIEINVAL) << b.name;
  EXPECT_EQ(ErrText(), bad[5].text);
}

TEST_F(NiMsg, WaitsOnMasksAndPollArrays) {
  int32_t fd = -1;
  ASSERT_EQ(NiHdlToSock(hdl_, &fd), WEQ_O_K);
  SI_POLL_FD pfd{fd, SI_POLLIN, 0};
  uint32_t count = 9;
  EXPECT_EQ(NiIPoll(&pfd, 1, 0, &count), NIETIMEOUT);
  EXPECT_EQ(count, 0u);
  PeerSend("x");
  EXPECT_EQ(NiIPoll(&pfd, 1, 2000, &count), WEQ_O_K);
  EXPECT_EQ(count, 1u);
  EXPECT_TRUE(pfd.revents & SI_POLLIN);

  SI_FD_SET* rd = SiFdAlloc(64);
  SI_FD_SET* wr = SiFdAlloc(64);
  ASSERT_NE(rd, nullptr);
  SI_SOCKET s{fd, SI_AF_INET, SI_SOCK_STREAM, 0};
  SiFdSet(&s, rd, 64);
  SiFdSet(&s, wr, 64);
  EXPECT_EQ(NiISelect(rd, wr, 1000, &count), WEQ_O_K);
  EXPECT_EQ(count, 2u);
  SiFdZero(rd);
  EXPECT_EQ(NiISelect(rd, nullptr, 0, &count), NIETIMEOUT);
  SiFdFree(rd);
  SiFdFree(wr);
}

}  // namespace
