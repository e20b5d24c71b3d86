// Send and receive buffer sizes of NI's sockets, read back from the system:
// at the default minimum a TCP buffer that the system grows by itself is
// left to it and goes on growing while data flows; a minimum that a caller
// sets holds for every buffer; where the system's growth stops below the
// minimum (a network namespace with lowered limits, or limits supplied
// through the platform seam), and for datagram sockets, the minimum is set.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdio.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "krn/ni/ni.h"
#include "krn/ni/niparam_int.h"
#include "krn/ni/nixx_int.h"
#include "krn/thr/thr.h"
#include "peers/netns.h"
#include "peers/niframe.h"
#include "peers/peers.h"
#include "platform/tcpbuf.h"
#include "support/testsupport.h"

namespace {

constexpr int kMin = 32768;                 // the default minimum
constexpr size_t kTransfer = size_t{8} << 20;  // enough for the system to grow a buffer

int BufOpt(int fd, int opt) {
  int v = -1;
  socklen_t len = sizeof v;
  if (getsockopt(fd, SOL_SOCKET, opt, &v, &len) != 0) return -2;
  return v;
}

int FdOf(NI_HDL h) {
  int32_t fd = -1;
  NiHdlToSock(h, &fd);
  return fd;
}

// What a fresh socket of the kind has before anyone sets a size.
int PlainBuf(int type, int opt) {
  peers::Fd plain(socket(AF_INET, type, 0));
  return BufOpt(plain.get(), opt);
}

NI_RC SetMinimum(uint32_t value) {
  NI_PARAM_DATA d{};
  d.param = NIP_MIN_SOCKBUF;
  d.datatype = NI_DT_UINT;
  d.value.uint_val = value;
  return NiSetParamEx(&d);
}

// A TCP stream socket and a datagram socket set up by NI.
struct Fresh {
  SI_SOCKET stream{-1, SI_AF_INET, SI_SOCK_STREAM, 0};
  SI_SOCKET dgram{-1, SI_AF_INET, SI_SOCK_DGRAM, 0};
  bool ok = NiIInitSocket(nullptr, &stream) == WEQ_O_K && NiIInitSocket(nullptr, &dgram) == WEQ_O_K;
  ~Fresh() {
    if (stream.socketNo >= 0) SiClose(&stream);
    if (dgram.socketNo >= 0) SiClose(&dgram);
  }
};

// NI connected to a raw loopback end.
struct Pair {
  Pair() {
    uint16_t port = 0;
    peers::Fd lis = peers::Listener(AF_INET, &port);
    std::u16string serv = tovtest::FromUtf8(std::to_string(port));
    if (NiHandle(u"127.0.0.1", serv.c_str(), 5000, &hdl) != WEQ_O_K) return;
    raw = peers::Fd(accept(lis.get(), nullptr, nullptr));
  }
  ~Pair() {
    if (hdl != NI_INVALID_HDL) NiCloseHandle(hdl);
  }
  NI_HDL hdl = NI_INVALID_HDL;
  peers::Fd raw;
};

// kTransfer bytes from NI to a raw reader that takes them in small bites,
// so that the writer keeps finding its send buffer full; then the same
// amount the other way, framed by the peer toolkit.
void TransferBothWays(Pair* p) {
  const std::string data(kTransfer, 's');
  std::thread reader([&] {
    std::string got = peers::ReadFor(p->raw.get(), 4 + kTransfer, 30000);
    EXPECT_EQ(got.size(), 4 + kTransfer);
  });
  uint32_t written = 0;
  EXPECT_EQ(NiWrite(p->hdl, data.data(), static_cast<int>(kTransfer), 30000, &written), WEQ_O_K);
  reader.join();
  std::thread writer([&] { EXPECT_TRUE(peers::WriteAll(p->raw.get(), peers::FrameEncode(data))); });
  std::vector<char> buf(kTransfer);
  uint32_t got = 0, total = 0;
  NI_RC rc = NIETIMEOUT;
  while (rc == NIETIMEOUT) {
    rc = NiRead(p->hdl, buf.data() + total, static_cast<int>(kTransfer - total), 30000, &got);
    total += got;
  }
  EXPECT_EQ(rc, WEQ_O_K);
  EXPECT_EQ(total, kTransfer);
  writer.join();
}

class NiSockBuf : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(ThrProcInit(), THR_ERR_OK);
    ASSERT_EQ(NiInit3(64), WEQ_O_K);
    NiIResetParams();
  }
  void TearDown() override {
    NiIResetParams();
    NiExit();
    PlatTcpBufSetProvider(&PlatTcpBufSystem);
  }
  // NI started anew with the TCP limits of provider.
  void RestartWith(PlatTcpBufFn provider) {
    ASSERT_EQ(NiExit(), WEQ_O_K);
    PlatTcpBufSetProvider(provider);
    ASSERT_EQ(NiInit3(64), WEQ_O_K);
  }
};

TEST_F(NiSockBuf, AtTheDefaultMinimumTheSystemGrowsTcpBuffersOnWhileDataFlows) {
  PlatTcpBufAuto sys{};
  if (!PlatTcpBufSystem(&sys) || sys.sendMax < 4 * kMin || sys.recvMax < 4 * kMin)
    GTEST_SKIP() << "this system does not grow TCP buffers well beyond " << kMin;
  // Not set: a size that NI set would read back doubled.
  Fresh f;
  ASSERT_TRUE(f.ok);
  EXPECT_EQ(BufOpt(f.stream.socketNo, SO_SNDBUF), PlainBuf(SOCK_STREAM, SO_SNDBUF));
  EXPECT_EQ(BufOpt(f.stream.socketNo, SO_RCVBUF), PlainBuf(SOCK_STREAM, SO_RCVBUF));
  // A connection's buffers grow past what the minimum would have fixed.
  Pair p;
  ASSERT_TRUE(p.raw.valid());
  int fd = FdOf(p.hdl);
  TransferBothWays(&p);
  EXPECT_GT(BufOpt(fd, SO_SNDBUF), 2 * kMin);
  EXPECT_GT(BufOpt(fd, SO_RCVBUF), 2 * kMin);
}

TEST_F(NiSockBuf, AMinimumACallerSetsFixesEveryBufferBelowIt) {
  // Above both defaults, so that both buffers are set; Linux reports a
  // size it was given doubled, and keeps it fixed from then on.
  const int min = 200000;
  ASSERT_EQ(SetMinimum(min), WEQ_O_K);
  EXPECT_EQ(NiIParams().minSockBufSet.load(), 1);
  Pair p;
  ASSERT_TRUE(p.raw.valid());
  int fd = FdOf(p.hdl);
  const int snd = BufOpt(fd, SO_SNDBUF), rcv = BufOpt(fd, SO_RCVBUF);
  EXPECT_GE(snd, min);
  EXPECT_GE(rcv, min);
  TransferBothWays(&p);
  EXPECT_EQ(BufOpt(fd, SO_SNDBUF), snd);
  EXPECT_EQ(BufOpt(fd, SO_RCVBUF), rcv);
  // Set explicitly to the default value, the minimum is still the caller's.
  ASSERT_EQ(SetMinimum(kMin), WEQ_O_K);
  Fresh f;
  ASSERT_TRUE(f.ok);
  if (PlainBuf(SOCK_STREAM, SO_SNDBUF) < kMin) {
    EXPECT_EQ(BufOpt(f.stream.socketNo, SO_SNDBUF), 2 * kMin);
  }
}

// Limits supplied through the seam decide per buffer; datagram sockets and
// unknown limits get the minimum whatever the stream limits say.
bool LimitsSendLow(PlatTcpBufAuto* out) {
  *out = PlatTcpBufAuto{kMin / 2, int64_t{1} << 30};
  return true;
}
bool LimitsUnknown(PlatTcpBufAuto*) { return false; }
bool LimitsHigh(PlatTcpBufAuto* out) {
  *out = PlatTcpBufAuto{int64_t{1} << 30, int64_t{1} << 30};
  return true;
}

TEST_F(NiSockBuf, BuffersThatCannotGrowToTheMinimumGetIt) {
  // A minimum above every default, written past the parameter's entry so
  // that it counts as the default: only the system's limits decide.
  const int min = 300000;
  const int plainDgSnd = PlainBuf(SOCK_DGRAM, SO_SNDBUF), plainDgRcv = PlainBuf(SOCK_DGRAM, SO_RCVBUF);
  struct Case {
    const char* name;
    PlatTcpBufFn provider;
    bool sendLeft, recvLeft;
  };
  const Case cases[] = {{"limits high", &LimitsHigh, true, true},
                        {"send limit low", &LimitsSendLow, false, true},
                        {"limits unknown", &LimitsUnknown, false, false},
                        {"no provider", nullptr, false, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RestartWith(c.provider);
    NiIParams().minSockBuf = min;
    Fresh f;
    ASSERT_TRUE(f.ok);
    const int snd = BufOpt(f.stream.socketNo, SO_SNDBUF), rcv = BufOpt(f.stream.socketNo, SO_RCVBUF);
    if (c.sendLeft)
      EXPECT_EQ(snd, PlainBuf(SOCK_STREAM, SO_SNDBUF));
    else
      EXPECT_GT(snd, PlainBuf(SOCK_STREAM, SO_SNDBUF));
    if (c.recvLeft)
      EXPECT_EQ(rcv, PlainBuf(SOCK_STREAM, SO_RCVBUF));
    else
      EXPECT_GT(rcv, PlainBuf(SOCK_STREAM, SO_RCVBUF));
    EXPECT_GT(BufOpt(f.dgram.socketNo, SO_SNDBUF), plainDgSnd);
    EXPECT_GT(BufOpt(f.dgram.socketNo, SO_RCVBUF), plainDgRcv);
  }
}

// The system's own settings changed in a network namespace: NI reads them
// at its start and sets the minimum on the buffers that cannot grow to it.
bool WriteSetting(const char* name, const char* value) {
  std::string path = std::string("/proc/sys/net/ipv4/") + name;
  FILE* f = fopen(path.c_str(), "we");
  if (f == nullptr) return false;
  bool ok = fputs(value, f) >= 0;
  return fclose(f) == 0 && ok;
}

// The buffer sizes of a stream socket that a fresh NI start sets up.
bool StreamBufsAfterStart(int* snd, int* rcv) {
  if (NiInit3(64) != WEQ_O_K) return false;
  SI_SOCKET s{-1, SI_AF_INET, SI_SOCK_STREAM, 0};
  bool ok = NiIInitSocket(nullptr, &s) == WEQ_O_K;
  if (ok) {
    *snd = BufOpt(s.socketNo, SO_SNDBUF);
    *rcv = BufOpt(s.socketNo, SO_RCVBUF);
    SiClose(&s);
  }
  NiExit();
  return ok;
}

TEST(NiSockBufNetns, SystemLimitsBelowTheMinimumGetTheMinimumSet) {
  if (!peers::NetnsAvailable()) GTEST_SKIP() << "no network namespaces here";
  tovtest::ChildResult r = peers::RunInNetns([] {
    if (ThrProcInit() != THR_ERR_OK) return 10;
    int snd = 0, rcv = 0;
    // Both buffers stop growing at 20000, below the minimum: both are set
    // (Linux reports a size it was given doubled).
    if (!WriteSetting("tcp_wmem", "4096 16384 20000") || !WriteSetting("tcp_rmem", "4096 16384 20000")) return 11;
    if (!StreamBufsAfterStart(&snd, &rcv)) return 12;
    printf("lowered: snd=%d rcv=%d\n", snd, rcv);
    if (snd != 2 * kMin || rcv != 2 * kMin) return 13;
    // Receive buffers that are not tuned at all, with a high limit: only the
    // receive buffer is set; the send buffer is left to grow.
    if (!WriteSetting("tcp_wmem", "4096 16384 4194304") || !WriteSetting("tcp_rmem", "4096 16384 6291456") ||
        !WriteSetting("tcp_moderate_rcvbuf", "0"))
      return 14;
    if (!StreamBufsAfterStart(&snd, &rcv)) return 15;
    printf("untuned: snd=%d rcv=%d plain=%d\n", snd, rcv, PlainBuf(SOCK_STREAM, SO_SNDBUF));
    return snd == PlainBuf(SOCK_STREAM, SO_SNDBUF) && rcv == 2 * kMin ? 0 : 16;
  });
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
}

}  // namespace
