// NI message I/O under threads: a reader and a writer thread on one handle
// while the peer sends keep-alive PINGs (whole frames only, one PONG per
// PING), a soak of randomly sized messages each way with the
// fragmentation test on, checked byte for byte, and 16 MiB messages at the
// default parameters through the echo peer.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <stdlib.h>

#include <atomic>
#include <cmath>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "krn/ni/ni.h"
#include "krn/ni/nimsg_int.h"
#include "krn/ni/niparam_int.h"
#include "krn/thr/thr.h"
#include "niconn.h"
#include "peers/niframe.h"
#include "peers/peer_spawn.h"
#include "peers/peers.h"

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kSlow = 5;  // sanitizers: a fifth of the volume
#else
constexpr int kSlow = 1;
#endif

// Message i of a stream: its size (0 B to 1 MiB, sizes spread over the
// powers of two) and its bytes, made again by whoever checks it.
size_t SoakSize(std::mt19937* rng) {
  std::uniform_real_distribution<double> e(0.0, 20.0);
  return static_cast<size_t>(std::exp2(e(*rng))) - 1;
}
std::string SoakBytes(size_t n, uint32_t seed) {
  std::string s(n, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (auto& c : s) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    c = static_cast<char>(x);
  }
  return s;
}

class NiMsgThreads : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(ThrProcInit(), THR_ERR_OK);
    ASSERT_EQ(NiInit3(64), WEQ_O_K);
    NiIResetParams();
    uint16_t port = 0;
    ASSERT_EQ(NiServerHandleForPort(&port, &listen_), WEQ_O_K);
    peer_ = peers::Connect(AF_INET, port);
    ASSERT_TRUE(peer_.valid());
    ASSERT_EQ(NiAccept(listen_, 5000, &hdl_, nullptr, nullptr), WEQ_O_K);
  }
  void TearDown() override {
    NiCloseHandle(hdl_);
    NiCloseHandle(listen_);
    NiIResetParams();
    NiExit();
  }
  NI_HDL listen_ = NI_INVALID_HDL;
  NI_HDL hdl_ = NI_INVALID_HDL;
  peers::Fd peer_;
};

TEST_F(NiMsgThreads, PongsFromTheReaderNeverCutIntoTheWritersFrames) {
  const int kPings = 400 / kSlow;
  const int kMessages = 1500 / kSlow;
  std::atomic<bool> failed{false};

  std::thread peerSend([&] {
    for (int i = 0; i < kPings; ++i) {
      std::string out = peers::FrameEncode(peers::kNiPing) + peers::FrameEncode("u" + std::to_string(i));
      if (!peers::SendAll(peer_.get(), out.data(), out.size())) failed = true;
    }
    std::string stop = peers::FrameEncode("stop");
    if (!peers::SendAll(peer_.get(), stop.data(), stop.size())) failed = true;
  });
  int pingsSeen = 0;
  int userSeen = 0;
  std::thread reader([&] { niconn::ReadTaggedUntilStop(hdl_, &pingsSeen, &userSeen); });
  std::thread writer([&] {
    std::mt19937 rng(11);
    for (int i = 0; i < kMessages; ++i) {
      std::string data = SoakBytes(rng() % 70000, static_cast<uint32_t>(i));
      uint32_t written = 0;
      NI_RC rc = NiWrite(hdl_, data.data(), static_cast<int>(data.size()), NI_BLOCK, &written);
      if (rc != WEQ_O_K) {
        ADD_FAILURE() << "NiWrite " << rc;
        return;
      }
    }
    uint32_t written = 0;
    EXPECT_EQ(NiWrite(hdl_, "done", 4, NI_BLOCK, &written), WEQ_O_K);
  });

  // The peer's parser: every frame whole, the user messages in order and
  // intact, exactly one PONG per PING.
  peers::FrameParser parser;
  std::mt19937 rng(11);
  int next = 0, pongs = 0;
  bool done = false;
  while (!done || pongs < kPings) {
    std::string m;
    if (!peers::RecvFrame(peer_.get(), &parser, &m, 20000)) {
      ADD_FAILURE() << "stalled: next " << next << " pongs " << pongs << " bad " << parser.bad();
      break;
    }
    if (m == peers::kNiPong) {
      ++pongs;
    } else if (m == "done") {
      done = true;
    } else {
      ASSERT_LT(next, kMessages);
      ASSERT_EQ(m, SoakBytes(rng() % 70000, static_cast<uint32_t>(next))) << next;
      ++next;
    }
  }
  peerSend.join();
  reader.join();
  writer.join();
  EXPECT_FALSE(failed);
  EXPECT_EQ(next, kMessages);
  EXPECT_EQ(pongs, kPings);
  EXPECT_EQ(pingsSeen, kPings);
  EXPECT_EQ(userSeen, kPings);
  // Nothing more follows: a last message arrives alone.
  uint32_t written = 0;
  ASSERT_EQ(NiWrite(hdl_, "last", 4, 2000, &written), WEQ_O_K);
  std::string m;
  ASSERT_TRUE(peers::RecvFrame(peer_.get(), &parser, &m, 5000));
  EXPECT_EQ(m, "last");
  EXPECT_EQ(parser.partial(), 0u);
}

TEST_F(NiMsgThreads, FragmentationSoakEachWayIsByteExact) {
  const int kCount = 10000 / kSlow;
  NiIParams().fragTest = 70000;
  std::thread peerSend([&] {
    std::mt19937 rng(21);
    for (int i = 0; i < kCount; ++i) {
      std::string out = peers::FrameEncode(SoakBytes(SoakSize(&rng), static_cast<uint32_t>(i) + 77));
      ASSERT_TRUE(peers::SendAll(peer_.get(), out.data(), out.size()));
    }
  });
  std::thread peerRecv([&] {
    peers::FrameParser parser;
    std::mt19937 rng(22);
    for (int i = 0; i < kCount; ++i) {
      std::string m;
      ASSERT_TRUE(peers::RecvFrame(peer_.get(), &parser, &m, 30000)) << i;
      ASSERT_EQ(m, SoakBytes(SoakSize(&rng), static_cast<uint32_t>(i) + 99)) << i;
    }
  });
  std::thread writer([&] {
    std::mt19937 rng(22);
    for (int i = 0; i < kCount; ++i) {
      std::string data = SoakBytes(SoakSize(&rng), static_cast<uint32_t>(i) + 99);
      size_t done = 0;
      for (;;) {
        uint32_t w = 0;
        NI_RC rc = NiWrite(hdl_, data.data() + done, static_cast<int>(data.size() - done), 1000, &w);
        done += w;
        if (rc == WEQ_O_K) break;
        ASSERT_EQ(rc, NIETIMEOUT) << i;
      }
      ASSERT_EQ(done, data.size()) << i;
    }
  });
  std::mt19937 rng(21);
  std::string buf((size_t{1} << 20) + 8, '\0');
  for (int i = 0; i < kCount; ++i) {
    size_t got = 0;
    for (;;) {
      uint32_t r = 0;
      NI_RC rc = NiRead(hdl_, buf.data() + got, static_cast<int>(buf.size() - got), 1000, &r);
      got += r;
      if (rc == WEQ_O_K) break;
      ASSERT_EQ(rc, NIETIMEOUT) << i;
    }
    ASSERT_EQ(buf.substr(0, got), SoakBytes(SoakSize(&rng), static_cast<uint32_t>(i) + 77)) << i;
  }
  peerSend.join();
  writer.join();
  peerRecv.join();
}

// 16 MiB messages each way at the default parameters through the peer
// toolkit's echo peer: a writer thread and a reader thread on one handle,
// each message back whole and in order.
TEST(NiMsgEcho, SixteenMiBMessagesThroughTheEchoPeer) {
  constexpr size_t kBig = size_t{16} << 20;
  const int kCount = kSlow == 1 ? 2 : 1;
  ASSERT_EQ(ThrProcInit(), THR_ERR_OK);
  ASSERT_EQ(NiInit3(64), WEQ_O_K);
  NiIResetParams();
  {
    peers::PeerProcess echo("echo", {"--lifetime", "120"});
    ASSERT_TRUE(echo.ok());
    std::u16string serv;
    for (char c : std::to_string(echo.port())) serv.push_back(static_cast<char16_t>(c));
    NI_HDL h = NI_INVALID_HDL;
    ASSERT_EQ(NiHandle(u"127.0.0.1", serv.c_str(), 5000, &h), WEQ_O_K);
    std::thread writer([&] {
      for (int i = 0; i < kCount; ++i) {
        std::string data = SoakBytes(kBig, static_cast<uint32_t>(i) + 500);
        uint32_t written = 0;
        EXPECT_EQ(NiWrite(h, data.data(), static_cast<int>(kBig), 60000, &written), WEQ_O_K) << i;
        EXPECT_EQ(written, kBig);
      }
    });
    std::string buf(kBig + 1, '\0');
    for (int i = 0; i < kCount; ++i) {
      uint32_t got = 0;
      ASSERT_EQ(NiRead(h, buf.data(), static_cast<int>(buf.size()), 60000, &got), WEQ_O_K) << i;
      ASSERT_EQ(got, kBig) << i;
      EXPECT_TRUE(buf.compare(0, kBig, SoakBytes(kBig, static_cast<uint32_t>(i) + 500)) == 0) << i;
    }
    writer.join();
    EXPECT_EQ(NiCloseHandle(h), WEQ_O_K);
  }
  NiExit();
}

}  // namespace
