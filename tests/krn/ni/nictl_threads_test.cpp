// Control messages under threads: the reading thread of an unbuffered
// handle answers version requests and unknown opcodes while another thread
// writes large messages on the same handle. The peer's parser must see
// whole frames only: the writer's messages in order and intact, and
// answers that are whole NI_RTERR messages, never one inside a message.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <string>
#include <thread>

#include "krn/ni/ni.h"
#include "krn/thr/thr.h"
#include "niconn.h"
#include "peers/niframe.h"
#include "peers/nictlcodec.h"
#include "peers/peers.h"

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kSlow = 5;
#else
constexpr int kSlow = 1;
#endif

// Mostly short messages, every tenth one long enough to stay half-written
// for a while.
std::string Payload(int i) {
  size_t n = i % 10 == 9 ? 200000 : static_cast<size_t>(1 + (i * 7919) % 3000);
  return std::string(n, static_cast<char>('a' + i % 26));
}

TEST(NiCtlThreads, AnswersFromTheReaderNeverCutIntoTheWritersMessages) {
  ASSERT_EQ(ThrProcInit(), THR_ERR_OK);
  ASSERT_EQ(NiInit3(64), WEQ_O_K);
  uint16_t port = 0;
  NI_HDL listen = NI_INVALID_HDL, hdl = NI_INVALID_HDL;
  ASSERT_EQ(NiServerHandleForPort(&port, &listen), WEQ_O_K);
  peers::Fd peer = peers::Connect(AF_INET, port);
  ASSERT_TRUE(peer.valid());
  ASSERT_EQ(NiAccept(listen, 5000, &hdl, nullptr, nullptr), WEQ_O_K);
  const int kRequests = 300 / kSlow;
  const int kMessages = 600 / kSlow;
  std::atomic<bool> failed{false};

  std::thread peerSend([&] {
    for (int i = 0; i < kRequests; ++i) {
      peers::RtErr req;
      req.opcode = i % 2 == 0 ? 1 : 9;
      req.rc = -13;
      std::string bytes = peers::EncodeRtErr(req);
      if (req.opcode == 1) bytes.resize(24);
      std::string out = peers::FrameEncode(bytes) + peers::FrameEncode("u" + std::to_string(i));
      if (!peers::SendAll(peer.get(), out.data(), out.size())) failed = true;
    }
    std::string stop = peers::FrameEncode("stop");
    if (!peers::SendAll(peer.get(), stop.data(), stop.size())) failed = true;
  });
  int consumed = 0, userSeen = 0;
  std::thread reader([&] { niconn::ReadTaggedUntilStop(hdl, &consumed, &userSeen); });
  std::thread writer([&] {
    for (int i = 0; i < kMessages; ++i) {
      std::string data = Payload(i);
      uint32_t written = 0;
      NI_RC rc = NiWrite(hdl, data.data(), static_cast<int>(data.size()), NI_BLOCK, &written);
      if (rc != WEQ_O_K) {
        ADD_FAILURE() << "NiWrite " << rc;
        return;
      }
    }
    uint32_t written = 0;
    EXPECT_EQ(NiWrite(hdl, "done", 4, NI_BLOCK, &written), WEQ_O_K);
  });

  peers::FrameParser parser;
  int next = 0, versions = 0, errors = 0;
  for (bool done = false; !done;) {
    std::string m;
    if (!peers::RecvFrame(peer.get(), &parser, &m, 20000)) {
      ADD_FAILURE() << "stalled: next " << next << " bad " << parser.bad();
      break;
    }
    peers::RtErr a;
    if (m == "done") {
      done = true;
    } else if (peers::DecodeRtErr(m, &a)) {
      EXPECT_EQ(a.niVersion, 40);
      EXPECT_EQ(a.rc, -13);
      if (a.opcode == 2) {
        EXPECT_EQ(m.size(), 24u);
        ++versions;
      } else {
        EXPECT_EQ(a.opcode, 0);
        ++errors;
      }
    } else {
      ASSERT_LT(next, kMessages);
      ASSERT_TRUE(m == Payload(next)) << next;
      ++next;
    }
  }
  peerSend.join();
  reader.join();
  writer.join();
  EXPECT_FALSE(failed);
  EXPECT_EQ(next, kMessages);
  EXPECT_EQ(userSeen, kRequests);
  EXPECT_EQ(consumed, kRequests);
  // An answer is left out only while the writer holds the connection.
  EXPECT_LE(versions, kRequests / 2);
  EXPECT_LE(errors, kRequests / 2);
  // Answers sent after "done": all were written before the reader returned.
  std::string m;
  while (peers::RecvFrame(peer.get(), &parser, &m, 0)) {
    peers::RtErr a;
    EXPECT_TRUE(peers::DecodeRtErr(m, &a));
  }
  NiCloseHandle(hdl);
  NiCloseHandle(listen);
  NiExit();
}

}  // namespace
