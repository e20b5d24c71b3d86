// NI socket set-up and connections over loopback against the test's own
// raw sockets: default options read back from the system, the port search,
// connect and accept over both families, refused and pending connects, the
// reverse-invoke hooks, and failures injected at every socket step without
// a record or descriptor left behind.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <future>
#include <string>
#include <vector>

#include "krn/dptrc/err.h"
#include "krn/dptrc/trc_checker.h"
#include "krn/ni/ni.h"
#include "krn/ni/niaddr_int.h"
#include "krn/ni/niparam_int.h"
#include "krn/ni/nixx_int.h"
#include "krn/si/si_int.h"
#include "krn/thr/thr.h"
#include "peers/netns.h"
#include "peers/peers.h"
#include "support/testsupport.h"

namespace {

using tovtest::FromUtf8;
using tovtest::ToUtf8;

std::string Fld(int f) { return ToUtf8(ErrGetFld(f)); }

std::u16string U(const std::string& s) { return FromUtf8(s); }

int IntOpt(int fd, int level, int opt) {
  int v = -1;
  socklen_t len = sizeof v;
  if (getsockopt(fd, level, opt, &v, &len) != 0) return -2;
  return v;
}

int ProcInt(const char* path) {
  std::ifstream in(path);
  int v = 0;
  in >> v;
  return v;
}

// The local port of a descriptor (host order).
uint16_t LocalPort(int fd) {
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len);
  return ss.ss_family == AF_INET ? ntohs(reinterpret_cast<sockaddr_in*>(&ss)->sin_port)
                                 : ntohs(reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port);
}

int Family(int fd) {
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len);
  return ss.ss_family;
}

// A raw socket bound to port (host order) on the IPv4 any address, holding
// it; not listening.
peers::Fd Hold(uint16_t port) {
  peers::Fd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  if (bind(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return peers::Fd();
  return fd;
}

// Whether nothing holds port on the IPv4 any address.
bool PortFree(uint16_t port) { return Hold(port).valid(); }

int32_t SockOf(NI_HDL h) {
  int32_t fd = -1;
  NiHdlToSock(h, &fd);
  return fd;
}

class NiNet : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(ThrProcInit(), THR_ERR_OK);
    ASSERT_EQ(NiInit3(64), WEQ_O_K);
    NiIResetParams();
    NiISetPortSearchNext(0);
    SiITestReset();
    freeBefore_ = NiIFreeHandles();
    fdsBefore_ = peers::OpenFdCount();
  }
  void TearDown() override {
    SiITestReset();
    NiIResetParams();
    NiExit();
  }
  // No record and no descriptor of the test's NI work left open.
  void ExpectNothingLeft() {
    EXPECT_EQ(NiIFreeHandles(), freeBefore_);
    EXPECT_EQ(peers::OpenFdCount(), fdsBefore_);
  }
  NI_HDL Listen(uint16_t* port) {
    *port = 0;
    NI_HDL h = NI_INVALID_HDL;
    EXPECT_EQ(NiServerHandleForPort(port, &h), WEQ_O_K);
    return h;
  }
  int32_t freeBefore_ = 0;
  int fdsBefore_ = 0;
};

// --- Socket set-up --------------------------------------------------------------------

TEST(NiSockOptNames, LevelsAndOptions) {
  const std::pair<int32_t, const char*> levels[] = {
      {65535, "SOL_SOCKET"}, {0, "IPPROTO_IP"}, {41, "IPPROTO_IPV6"},
      {6, "SI_IPPROTO_TCP"}, {1, "?"},          {-1, "?"}};
  for (const auto& [v, n] : levels) EXPECT_EQ(ToUtf8(NiISockOptLevelName(v)), n) << v;
  const std::pair<int32_t, const char*> options[] = {{4097, "SO_SNDBUF"},
                                                     {4098, "SO_RCVBUF"},
                                                     {4103, "SO_ERROR"},
                                                     {4, "SO_REUSEADDR"},
                                                     {8, "SO_KEEPALIVE"},
                                                     {128, "SO_LINGER"},
                                                     {9, "IP_MULTICAST_IF"},
                                                     {10, "IP_MULTICAST_TTL"},
                                                     {11, "IP_MULTICAST_LOOP"},
                                                     {12, "IP_ADD_MEMBERSHIP"},
                                                     {13, "IP_DROP_MEMBERSHIP"},
                                                     {1, "TCP_NODELAY"},
                                                     {27, "?"},
                                                     {0, "?"},
                                                     {4099, "?"}};
  for (const auto& [v, n] : options) EXPECT_EQ(ToUtf8(NiISockOptName(v)), n) << v;
}

TEST_F(NiNet, DefaultOptionsOfListenConnectedAndAcceptedSockets) {
  // A minimum that a caller sets above the system's defaults makes the
  // set-up raise both buffers; Linux caps a request at the maximum and
  // reports it doubled.
  int32_t min = 200000;
  NI_PARAM_DATA param{};
  param.param = NIP_MIN_SOCKBUF;
  param.datatype = NI_DT_UINT;
  param.value.uint_val = static_cast<uint32_t>(min);
  ASSERT_EQ(NiSetParamEx(&param), WEQ_O_K);
  int want = 2 * std::min(min, ProcInt("/proc/sys/net/core/rmem_max"));
  int wantSnd = 2 * std::min(min, ProcInt("/proc/sys/net/core/wmem_max"));
  uint16_t port = 0;
  NI_HDL lis = Listen(&port);
  NI_HDL con = NI_INVALID_HDL;
  ASSERT_EQ(NiHandle(u"127.0.0.1", U(std::to_string(port)).c_str(), 2000, &con), WEQ_O_K);
  NI_HDL acc = NI_INVALID_HDL;
  ASSERT_EQ(NiAccept(lis, 2000, &acc, nullptr, nullptr), WEQ_O_K);
  for (NI_HDL h : {lis, con, acc}) {
    int fd = SockOf(h);
    ASSERT_GE(fd, 0);
    SCOPED_TRACE(h);
    EXPECT_EQ(IntOpt(fd, SOL_SOCKET, SO_RCVBUF), want);
    EXPECT_EQ(IntOpt(fd, SOL_SOCKET, SO_SNDBUF), wantSnd);
    EXPECT_EQ(IntOpt(fd, IPPROTO_TCP, TCP_NODELAY), 1);
    EXPECT_EQ(IntOpt(fd, SOL_SOCKET, SO_KEEPALIVE), 0);
    EXPECT_EQ(IntOpt(fd, SOL_SOCKET, SO_REUSEADDR), 1);
    EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
    EXPECT_TRUE(fcntl(fd, F_GETFL) & O_NONBLOCK);
    NITAB* rec = nullptr;
    ASSERT_EQ(NiIHdlCheck(h, u"test", &rec), WEQ_O_K);
    EXPECT_EQ(rec->mBlockMode, 0);
  }
  EXPECT_GE(NiIHighSocket(), SockOf(acc));
  for (NI_HDL h : {acc, con, lis}) EXPECT_EQ(NiCloseHandle(h), WEQ_O_K);
  ExpectNothingLeft();
}

TEST_F(NiNet, SmallBuffersAreLeftWhenAboveTheMinimumAndIPv6IsDualStack) {
  NiIParams().minSockBuf = 1;  // below any system default: nothing set
  SI_SOCKET s{-1, SI_AF_INET6, SI_SOCK_STREAM, 0};
  ASSERT_EQ(NiIInitSocket(nullptr, &s), WEQ_O_K);
  {
    peers::Fd plain(socket(AF_INET6, SOCK_STREAM, 0));
    EXPECT_EQ(IntOpt(s.socketNo, SOL_SOCKET, SO_RCVBUF), IntOpt(plain.get(), SOL_SOCKET, SO_RCVBUF));
  }
  EXPECT_EQ(IntOpt(s.socketNo, IPPROTO_IPV6, IPV6_V6ONLY), 0);
  SiClose(&s);
  // A datagram socket reuses addresses; no stream option is set on it.
  SI_SOCKET d{-1, SI_AF_INET, SI_SOCK_DGRAM, 0};
  ASSERT_EQ(NiIInitSocket(nullptr, &d), WEQ_O_K);
  EXPECT_EQ(IntOpt(d.socketNo, SOL_SOCKET, SO_REUSEADDR), 1);
  SiClose(&d);
  // A socket of another type is closed again and refused.
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  SI_SOCKET r{fd, SI_AF_INET, SI_SOCK_RAW, 0};
  EXPECT_EQ(NiIInitSocket(nullptr, &r), NIEINVAL);
  EXPECT_EQ(r.socketNo, -1);
  EXPECT_EQ(fcntl(fd, F_GETFD), -1);
  EXPECT_EQ(Fld(ERR_FLD_ERROR), "NiIInitSocket: invalid socket type (3)");
  ExpectNothingLeft();
}

TEST_F(NiNet, BlockModeOnlyIfChangedMakesNoSystemCall) {
  uint16_t port = 0;
  NI_HDL lis = Listen(&port);
  NITAB* rec = nullptr;
  ASSERT_EQ(NiIHdlCheck(lis, u"test", &rec), WEQ_O_K);
  uint64_t calls = SiITestCalls(SI_FN_SETBLOCKMODE);
  EXPECT_EQ(NiIBlockMode(rec, 0, 1), WEQ_O_K);
  EXPECT_EQ(SiITestCalls(SI_FN_SETBLOCKMODE), calls);
  EXPECT_EQ(NiIBlockMode(rec, 1, 1), WEQ_O_K);
  EXPECT_EQ(SiITestCalls(SI_FN_SETBLOCKMODE), calls + 1);
  EXPECT_FALSE(fcntl(SockOf(lis), F_GETFL) & O_NONBLOCK);
  EXPECT_EQ(rec->mBlockMode, 1);
  int one = 1;
  SI_OPTVAL v{};
  v.pValue1 = &one;
  v.length1 = sizeof one;
  one = 100000;
  EXPECT_EQ(NiISetSockOpt(rec, SI_SOL_SOCKET, SI_SO_SNDBUF, &v, u"100000"), WEQ_O_K);
  EXPECT_EQ(IntOpt(SockOf(lis), SOL_SOCKET, SO_SNDBUF),
            2 * std::min(100000, ProcInt("/proc/sys/net/core/wmem_max")));
  EXPECT_EQ(NiCloseHandle(lis), WEQ_O_K);
  ExpectNothingLeft();
}

// --- Port search ------------------------------------------------------------------------

struct SearchCase {
  const char* name;
  uint16_t low, high;
  bool up;
  std::vector<uint16_t> held;  // ports held by raw sockets
  std::vector<int> expect;     // ports of successive listens; -1: NIENOFREEPORT
  uint64_t bindsOfLast;        // bind calls of the last listen
};

class NiPortSearch : public NiNet, public ::testing::WithParamInterface<SearchCase> {};

TEST_P(NiPortSearch, FindsTheNextFreePortInOrder) {
  const SearchCase& c = GetParam();
  // Ports below the ephemeral range, so that no connect of this host takes
  // them meanwhile.
  int ephemeralLow = ProcInt("/proc/sys/net/ipv4/ip_local_port_range");
  ASSERT_LT(c.high, ephemeralLow == 0 ? 32768 : ephemeralLow);
  for (uint16_t p = c.low; p <= c.high && c.low <= c.high; ++p) {
    if (!PortFree(p)) GTEST_SKIP() << "port " << p << " is in use on this host";
  }
  std::vector<peers::Fd> holds;
  for (uint16_t p : c.held) {
    holds.push_back(Hold(p));
    ASSERT_TRUE(holds.back().valid());
  }
  NiIParams().portRange = 1;
  NiIParams().minPort = c.low;
  NiIParams().maxPort = c.high;
  NiIParams().incServNo = c.up ? 1 : 0;
  std::vector<NI_HDL> open;
  uint64_t binds = 0;
  for (int want : c.expect) {
    uint16_t port = 65535;
    NI_HDL h = NI_INVALID_HDL;
    binds = SiITestCalls(SI_FN_BIND);
    NI_RC rc = NiServerHandleForPort(&port, &h);
    binds = SiITestCalls(SI_FN_BIND) - binds;
    if (want < 0) {
      EXPECT_EQ(rc, NIENOFREEPORT);
      EXPECT_EQ(h, NI_INVALID_HDL);
      EXPECT_EQ(Fld(ERR_FLD_DETAIL), "no free connect port found within range");
      continue;
    }
    ASSERT_EQ(rc, WEQ_O_K);
    EXPECT_EQ(port, want);
    EXPECT_EQ(LocalPort(SockOf(h)), want);
    // The search switched address reuse off.
    EXPECT_EQ(IntOpt(SockOf(h), SOL_SOCKET, SO_REUSEADDR), 0);
    open.push_back(h);
  }
  EXPECT_EQ(binds, c.bindsOfLast);
  for (NI_HDL h : open) EXPECT_EQ(NiCloseHandle(h), WEQ_O_K);
  holds.clear();
  ExpectNothingLeft();
}

INSTANTIATE_TEST_SUITE_P(
    Ranges, NiPortSearch,
    ::testing::Values(
        // Down from the upper end, past held ports, wrapping to the top.
        SearchCase{"DownWraps", 20100, 20104, false, {20104, 20102}, {20103, 20101, 20100, -1}, 5},
        SearchCase{"UpWraps", 20110, 20114, true, {20110, 20113}, {20111, 20112, 20114, -1}, 5},
        SearchCase{"OnePortFree", 20120, 20120, false, {}, {20120, -1}, 1},
        SearchCase{"OnePortHeld", 20121, 20121, true, {20121}, {-1}, 1},
        SearchCase{"UpperBelowLower", 20131, 20130, false, {}, {-1}, 0},
        // Port 0 is never tried: the range [0, 0] is empty.
        SearchCase{"ZeroNeverTried", 0, 0, false, {}, {-1}, 0}),
    [](const ::testing::TestParamInfo<SearchCase>& i) { return std::string(i.param.name); });

TEST_F(NiNet, SearchContinuesAfterTheLastPortAndRestartsOutsideTheRange) {
  for (uint16_t p = 20140; p <= 20145; ++p) {
    if (!PortFree(p)) GTEST_SKIP() << "port " << p << " is in use on this host";
  }
  NiIParams().portRange = 1;
  NiIParams().minPort = 20140;
  NiIParams().maxPort = 20145;
  uint16_t port = 65535;
  NI_HDL a = NI_INVALID_HDL, b = NI_INVALID_HDL;
  ASSERT_EQ(NiServerHandleForPort(&port, &a), WEQ_O_K);
  EXPECT_EQ(port, 20145);
  EXPECT_EQ(NiIPortSearchNext(), 20144);
  ASSERT_EQ(NiCloseHandle(a), WEQ_O_K);
  // The freed port is not taken again at once: the search goes on.
  port = 65535;
  ASSERT_EQ(NiServerHandleForPort(&port, &b), WEQ_O_K);
  EXPECT_EQ(port, 20144);
  ASSERT_EQ(NiCloseHandle(b), WEQ_O_K);
  // Without continuation, every search starts at the upper end.
  NiIParams().contInRange = 0;
  port = 65535;
  ASSERT_EQ(NiServerHandleForPort(&port, &a), WEQ_O_K);
  EXPECT_EQ(port, 20145);
  ASSERT_EQ(NiCloseHandle(a), WEQ_O_K);
  ExpectNothingLeft();
}

TEST_F(NiNet, SystemChosenPortAndTheBuiltInRange) {
  uint16_t port = 0;
  NI_HDL h = Listen(&port);
  EXPECT_NE(port, 0);
  EXPECT_EQ(LocalPort(SockOf(h)), port);
  uint16_t named = 0;
  NI_NODEADDR addr{};
  EXPECT_EQ(NiHdlGetName(h, &addr, &named, nullptr), WEQ_O_K);
  EXPECT_EQ(named, port);
  EXPECT_EQ(NiHdlGetName(h, &addr, nullptr, nullptr), NIEINVAL);
  EXPECT_EQ(Fld(ERR_FLD_ERROR), "NiHdlGetName: parameter invalid (pServNo == NULL)");
  EXPECT_EQ(NiHdlGetName(-1, &addr, &named, nullptr), NIEINVAL);
  EXPECT_EQ(Fld(ERR_FLD_ERROR), "NiHdlGetName: invalid hdl -1");
  EXPECT_EQ(NiCloseHandle(h), WEQ_O_K);
  // The built-in range counts down from 65000.
  uint16_t expect = 65000;
  while (expect >= 64990 && !PortFree(expect)) --expect;
  if (expect < 64990) GTEST_SKIP() << "the top of the built-in range is in use";
  port = 65535;
  ASSERT_EQ(NiServerHandleForPort(&port, &h), WEQ_O_K);
  EXPECT_EQ(port, expect);
  EXPECT_EQ(NiCloseHandle(h), WEQ_O_K);
  ExpectNothingLeft();
}

// --- Connect and accept -----------------------------------------------------------------------

struct MatrixCase {
  int peerFamily;    // the raw listener's family
  uint32_t mask;     // protocol mask of the connect
  bool connects;     // whether the connect succeeds
  int socketFamily;  // family of NI's socket when it does
};

class NiConnectMatrix : public NiNet, public ::testing::WithParamInterface<MatrixCase> {};

TEST_P(NiConnectMatrix, FamiliesAndMasksAgainstRawListeners) {
  const MatrixCase& c = GetParam();
  uint16_t port = 0;
  peers::Fd lis = peers::Listener(c.peerFamily, &port);
  if (!lis.valid()) GTEST_SKIP() << "no loopback of this family";
  std::u16string host = c.peerFamily == AF_INET ? u"127.0.0.1" : u"::1";
  NI_HDL h = 77;
  NI_RC rc = NiHandleForProto(host.c_str(), U(std::to_string(port)).c_str(), c.mask, 2000, &h);
  if (!c.connects) {
    lis.Reset();
    EXPECT_NE(rc, WEQ_O_K);
    EXPECT_EQ(h, NI_INVALID_HDL);
    ExpectNothingLeft();
    return;
  }
  ASSERT_EQ(rc, WEQ_O_K) << Fld(ERR_FLD_ERROR);
  int fd = SockOf(h);
  EXPECT_EQ(Family(fd), c.socketFamily);
  ASSERT_TRUE(peers::WaitReadable(lis.get(), 2000));
  peers::Fd acc(accept(lis.get(), nullptr, nullptr));
  ASSERT_TRUE(acc.valid());
  // Both ends agree on NI's local port.
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  getpeername(acc.get(), reinterpret_cast<sockaddr*>(&ss), &len);
  uint16_t seen = ss.ss_family == AF_INET ? ntohs(reinterpret_cast<sockaddr_in*>(&ss)->sin_port)
                                          : ntohs(reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port);
  uint16_t mine = 0;
  EXPECT_EQ(NiHdlGetName(h, nullptr, &mine, nullptr), WEQ_O_K);
  EXPECT_EQ(mine, seen);
  NITAB* rec = nullptr;
  ASSERT_EQ(NiIHdlCheck(h, u"test", &rec), WEQ_O_K);
  EXPECT_EQ(rec->mType.load(), NI_CONNECTED);
  EXPECT_EQ(SiNtohs(rec->con.mPeerServNo), port);
  EXPECT_EQ(NiCloseHandle(h), WEQ_O_K);
  lis.Reset();
  acc.Reset();
  ExpectNothingLeft();
}

INSTANTIATE_TEST_SUITE_P(
    Ipv4Only, NiConnectMatrix,
    ::testing::Values(MatrixCase{AF_INET, NI_PROTO_FAM_UNSPEC, true, AF_INET},
                      MatrixCase{AF_INET, NI_PROTO_FAM_IPv4, true, AF_INET},
                      MatrixCase{AF_INET, NI_PROTO_FAM_IPv4 | NI_PROTO_FAM_IPv6, true, AF_INET},
                      // Without IPv6 active no name or address becomes an IPv6
                      // target (the dual-stack cases run in their own namespace).
                      MatrixCase{AF_INET, NI_PROTO_FAM_IPv6, false, 0},
                      MatrixCase{AF_INET6, NI_PROTO_FAM_IPv6, false, 0},
                      MatrixCase{AF_INET6, NI_PROTO_FAM_UNSPEC, false, 0},
                      MatrixCase{AF_INET6, NI_PROTO_FAM_IPv4, false, 0},
                      MatrixCase{AF_INET, NI_PROTO_FAM_LOCAL, false, 0}, MatrixCase{AF_INET, 8, false, 0}));

TEST_F(NiNet, AcceptGivesPeersOfBothFamiliesAndAllowsNullPeerPointers) {
  uint16_t port = 0;
  NI_HDL lis = Listen(&port);
  NI_HDL acc = NI_INVALID_HDL;
  EXPECT_EQ(NiAccept(lis, 0, &acc, nullptr, nullptr), NIETIMEOUT);
  EXPECT_EQ(acc, NI_INVALID_HDL);
  peers::Fd c4 = peers::Connect(AF_INET, port);
  ASSERT_TRUE(c4.valid());
  NI_NODEADDR peer{};
  uint16_t peerPort = 0;
  ASSERT_EQ(NiAccept(lis, 2000, &acc, &peer, &peerPort), WEQ_O_K);
  EXPECT_EQ(ToUtf8(NiAddrToStrStatic(&peer, 0)), "127.0.0.1");
  EXPECT_EQ(peerPort, LocalPort(c4.get()));
  NITAB* rec = nullptr;
  ASSERT_EQ(NiIHdlCheck(acc, u"test", &rec), WEQ_O_K);
  EXPECT_EQ(rec->mType.load(), NI_ACCEPTED);
  NI_HDL found = NI_INVALID_HDL;
  EXPECT_EQ(NiSockToHdl(SockOf(acc), &found), WEQ_O_K);
  EXPECT_EQ(found, acc);
  EXPECT_EQ(NiSockToHdl(SockOf(lis), &found), WEQ_O_K);
  EXPECT_EQ(found, lis);
  // Accepting on a connection is refused; peers may be left out.
  NI_HDL bad = 5;
  EXPECT_EQ(NiAcceptEx2(acc, 0, nullptr, &bad, nullptr, nullptr), NIEINVAL);
  EXPECT_EQ(Fld(ERR_FLD_ERROR),
            "NiAcceptEx2: parameter invalid (pListenHdl->mType != NI_LISTEN && "
            "pListenHdl->mType != NI_RI_LISTEN)");
  EXPECT_EQ(NiAcceptEx2(lis, 0, nullptr, nullptr, nullptr, nullptr), NIEINVAL);
  EXPECT_EQ(Fld(ERR_FLD_ERROR), "NiAcceptEx2: parameter invalid (pOutHandle == NULL)");
  peers::Fd c4b = peers::Connect(AF_INET, port);
  NI_HDL acc2 = NI_INVALID_HDL;
  ASSERT_EQ(NiAcceptEx2(lis, 2000, nullptr, &acc2, nullptr, nullptr), WEQ_O_K);
  for (NI_HDL h : {acc, acc2, lis}) EXPECT_EQ(NiCloseHandle(h), WEQ_O_K);
  c4.Reset();
  c4b.Reset();
  ExpectNothingLeft();
}

TEST_F(NiNet, AConnectionBrokenBeforeTheAcceptIsSkipped) {
  uint16_t port = 0;
  NI_HDL lis = Listen(&port);
  peers::Fd c = peers::Connect(AF_INET, port);
  ASSERT_TRUE(c.valid());
  // The system reports the first accept as a connection the peer dropped.
  SiITestFail(SI_FN_ACCEPT, 1, SI_ECONN_BROKEN, ECONNABORTED);
  NI_HDL acc = NI_INVALID_HDL;
  {
    trccheck::TraceFile trace{2};
    uint16_t peerPort = 0;
    ASSERT_EQ(NiAccept(lis, 2000, &acc, nullptr, &peerPort), WEQ_O_K);
    EXPECT_EQ(peerPort, LocalPort(c.get()));
    EXPECT_EQ(SiITestCalls(SI_FN_ACCEPT), 2u);
    EXPECT_NE(trace.Read().find("accepted already closed connection"), std::string::npos);
  }
  EXPECT_EQ(NiCloseHandle(acc), WEQ_O_K);
  EXPECT_EQ(NiCloseHandle(lis), WEQ_O_K);
  c.Reset();
  ExpectNothingLeft();
}

TEST_F(NiNet, ARefusedConnectLeavesNoHandle) {
  uint16_t port = peers::FreePort(AF_INET);
  NI_HDL h = 3;
  EXPECT_EQ(NiHandle(u"127.0.0.1", U(std::to_string(port)).c_str(), 2000, &h), NIECONN_REFUSED);
  EXPECT_EQ(h, NI_INVALID_HDL);
  EXPECT_EQ(Fld(ERR_FLD_DETAIL), "partner '127.0.0.1:" + std::to_string(port) + "' not reached");
  EXPECT_EQ(NiHandle(nullptr, u"1", 0, &h), NIEINVAL);
  EXPECT_EQ(Fld(ERR_FLD_ERROR), "NiHandle: parameter invalid (pHostName == NULL)");
  EXPECT_EQ(NiHandle(u"127.0.0.1", nullptr, 0, &h), NIEINVAL);
  EXPECT_EQ(Fld(ERR_FLD_ERROR), "NiHandle: parameter invalid (pServName == NULL)");
  EXPECT_EQ(NiHandle(u"127.0.0.1", u"1", 0, nullptr), NIEINVAL);
  EXPECT_EQ(Fld(ERR_FLD_ERROR), "NiHandle: parameter invalid (pHandle == NULL)");
  // A local-domain request is refused without a socket.
  NITAB* rec = nullptr;
  NI_NODEADDR lo = NiILoopbackAddr();
  EXPECT_EQ(NiIConnect(&lo, SiHtons(3300), NI_PROTO_FAM_LOCAL, 0, nullptr, &rec), NIECONN_REFUSED);
  EXPECT_EQ(Fld(ERR_FLD_DETAIL), "partner 'localhost:3300' not reached");
  uint16_t p = 0;
  EXPECT_EQ(NiIListen(nullptr, &p, NI_PROTO_FAM_LOCAL, &rec), NIEINVAL);
  EXPECT_EQ(Fld(ERR_FLD_ERROR), "NiIListen: invalid protocol 1 (0/0)");
  ExpectNothingLeft();
}

// A raw listener whose queue is full, so that a further connect stays in
// progress until the test accepts.
struct FullListener {
  explicit FullListener(int family) {
    lis = peers::Listener(family, &port, 0);
    // With a queue of 0 the system takes one connection into the queue.
    fillers.push_back(peers::Connect(family, port));
  }
  // Accepts everything queued, making room for the pending connect.
  void Drain() {
    for (int i = 0; i < 3; ++i) {
      if (!peers::WaitReadable(lis.get(), 100)) continue;
      accepted.emplace_back(accept(lis.get(), nullptr, nullptr));
    }
  }
  peers::Fd lis;
  uint16_t port = 0;
  std::vector<peers::Fd> fillers, accepted;
};

TEST_F(NiNet, APendingConnectCompletesThroughHdlToSock) {
  FullListener full(AF_INET);
  NI_HDL h = NI_INVALID_HDL;
  NI_RC rc = NiBufHandle(u"127.0.0.1", U(std::to_string(full.port)).c_str(), 0, &h);
  if (rc == WEQ_O_K) GTEST_SKIP() << "the system accepted past the queue";
  ASSERT_EQ(rc, NIECONN_PENDING);
  ASSERT_NE(h, NI_INVALID_HDL);
  NITAB* rec = nullptr;
  ASSERT_EQ(NiIHdlCheck(h, u"test", &rec), WEQ_O_K);
  EXPECT_EQ(rec->mType.load(), NI_CONN_WAIT);
  auto done = std::async(std::launch::async, [h] {
    int32_t fd = -1;
    NI_RC r = NiHdlToSock(h, &fd);
    return std::make_pair(r, fd);
  });
  full.Drain();
  ASSERT_EQ(done.wait_for(std::chrono::seconds(15)), std::future_status::ready);
  auto [r, fd] = done.get();
  EXPECT_EQ(r, WEQ_O_K);
  EXPECT_GE(fd, 0);
  EXPECT_EQ(rec->mType.load(), NI_CONNECTED);
  EXPECT_EQ(NiCloseHandle(h), WEQ_O_K);
}

TEST_F(NiNet, APendingConnectCompletesAtTheFirstCheckOfItsUser) {
  FullListener full(AF_INET);
  NITAB* rec = nullptr;
  NI_NODEADDR lo = NiIPv4ToAddr(htonl(0x7F000001u));
  NI_RC rc = NiIConnect(&lo, SiHtons(full.port), NI_PROTO_FAM_IPv4, 0, nullptr, &rec);
  if (rc == WEQ_O_K) GTEST_SKIP() << "the system accepted past the queue";
  ASSERT_EQ(rc, NIECONN_PENDING);
  // What a read or write does first: a look without waiting, then a wait.
  EXPECT_EQ(NiICheckPendConnection(rec, 0, 1), NIETIMEOUT);
  EXPECT_EQ(rec->mType.load(), NI_CONN_WAIT);
  full.Drain();
  EXPECT_EQ(NiICheckPendConnection(rec, 15000, 1), WEQ_O_K);
  EXPECT_EQ(rec->mType.load(), NI_CONNECTED);
  EXPECT_EQ(NiICloseHandle(rec, 1, 0), WEQ_O_K);
}

TEST_F(NiNet, AnUnbufferedConnectNeverHandsOutAPendingHandle) {
  FullListener full(AF_INET);
  NI_HDL h = 9;
  int32_t freeBefore = NiIFreeHandles();
  NI_RC rc = NiHandle(u"127.0.0.1", U(std::to_string(full.port)).c_str(), 200, &h);
  if (rc == WEQ_O_K) GTEST_SKIP() << "the system accepted past the queue";
  EXPECT_EQ(rc, NIECONN_REFUSED);
  EXPECT_EQ(h, NI_INVALID_HDL);
  EXPECT_EQ(Fld(ERR_FLD_ERROR), "NiBufIConnect: connection pending after 200ms");
  EXPECT_EQ(NiIFreeHandles(), freeBefore);
  // Time-out 0 waits without limit: the connect completes once there is room.
  auto done = std::async(std::launch::async, [&full] {
    NI_HDL x = NI_INVALID_HDL;
    NI_RC r = NiHandle(u"127.0.0.1", U(std::to_string(full.port)).c_str(), 0, &x);
    return std::make_pair(r, x);
  });
  EXPECT_EQ(done.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
  full.Drain();
  ASSERT_EQ(done.wait_for(std::chrono::seconds(15)), std::future_status::ready);
  auto [r, x] = done.get();
  EXPECT_EQ(r, WEQ_O_K);
  EXPECT_EQ(NiCloseHandle(x), WEQ_O_K);
}

// --- Reverse invoke --------------------------------------------------------------------------

TEST_F(NiNet, ReverseInvokeHandlesReachOnlyTheHooks) {
  NITAB* rec = nullptr;
  ASSERT_EQ(NiICreateHandle(&rec, NI_INITIAL_RIL, nullptr), WEQ_O_K);
  NiISetState(rec, NI_RI_LISTEN, u"test");
  NI_HDL ri = rec->mHdl.load();
  struct Hook {
    const char* name;
    std::function<NI_RC()> call;
  } hooks[] = {
      {"NiIRiSrvAccept",
       [ri] {
         NI_HDL x = 0;
         return NiAccept(ri, 0, &x, nullptr, nullptr);
       }},
      {"NiIRiSrvPeek", [] { return NiIRiSrvPeek(); }},
      {"NiIRiCliAccept",
       [rec] {
         NITAB* n = nullptr;
         return NiIRiCliAccept(rec, 0, nullptr, &n);
       }},
  };
  for (const Hook& h : hooks) {
    ErrClear();
    EXPECT_EQ(h.call(), NIEINTERN) << h.name;
    EXPECT_EQ(Fld(ERR_FLD_MODULE), "nixxri");
    EXPECT_EQ(Fld(ERR_FLD_ERROR), std::string(h.name) + ": reverse invoke (RI) inactive");
  }
  EXPECT_EQ(NiIRiCliGetHdl(), nullptr);
  NI_HDL out = 4;
  EXPECT_TRUE(NiIRiCliConnect(nullptr, 0, 0, &out));
  EXPECT_EQ(out, NI_INVALID_HDL);
  EXPECT_FALSE(NiIRiSrvProcEvent(nullptr, 3));
  int32_t fd = 0;
  EXPECT_EQ(NiHdlToSock(ri, &fd), NIEINVAL);
  EXPECT_EQ(Fld(ERR_FLD_ERROR), "NiHdlToSock: parameter invalid (pHdl->mType == NI_RI_LISTEN)");
  EXPECT_EQ(NiIBlockMode(rec, 1, 0), NIEINVAL);
  NI_NODEADDR addr{};
  uint16_t port = 9;
  EXPECT_EQ(NiHdlGetName(ri, &addr, &port, nullptr), WEQ_O_K);
  EXPECT_EQ(port, 0);
  EXPECT_TRUE(NiIIsMapped(addr));
  // Closing calls the close hook, and the record is free afterwards.
  ErrClear();
  EXPECT_EQ(NiCloseHandle(ri), NIEINTERN);
  EXPECT_EQ(Fld(ERR_FLD_ERROR), "NiIRiSrvCloseHandle: reverse invoke (RI) inactive");
  ExpectNothingLeft();
  // Ordinary handles never reach a hook.
  ErrClear();
  uint16_t p = 0;
  NI_HDL lis = Listen(&p);
  NI_HDL con = NI_INVALID_HDL, acc = NI_INVALID_HDL;
  ASSERT_EQ(NiHandle(u"127.0.0.1", U(std::to_string(p)).c_str(), 2000, &con), WEQ_O_K);
  ASSERT_EQ(NiAccept(lis, 2000, &acc, nullptr, nullptr), WEQ_O_K);
  for (NI_HDL h : {acc, con, lis}) EXPECT_EQ(NiCloseHandle(h), WEQ_O_K);
  EXPECT_NE(Fld(ERR_FLD_MODULE), "nixxri");
}

// --- Injected failures ---------------------------------------------------------------------

struct Injection {
  const char* name;
  uint16_t fn;
  uint32_t count;
  SI_RC rc;
  int32_t err;
  int op;          // 0 listen, 1 connect, 2 accept
  NI_RC expected;  // result of the operation
};

class NiInjected : public NiNet, public ::testing::WithParamInterface<Injection> {};

TEST_P(NiInjected, NoRecordOrDescriptorStaysBehind) {
  const Injection& c = GetParam();
  uint16_t port = 0;
  NI_HDL lis = NI_INVALID_HDL;
  peers::Fd raw;
  if (c.op != 0) lis = Listen(&port);
  int32_t free = NiIFreeHandles();
  int fds = peers::OpenFdCount();
  if (c.op == 2) {
    raw = peers::Connect(AF_INET, port);
    ASSERT_TRUE(raw.valid());
    fds = peers::OpenFdCount();
  }
  SiITestFail(c.fn, c.count, c.rc, c.err);
  NI_HDL h = NI_INVALID_HDL;
  NI_RC rc;
  if (c.op == 0) {
    uint16_t p = 0;
    rc = NiServerHandleForPort(&p, &h);
  } else if (c.op == 1) {
    rc = NiHandle(u"127.0.0.1", U(std::to_string(port)).c_str(), 2000, &h);
  } else {
    rc = NiAccept(lis, 2000, &h, nullptr, nullptr);
  }
  EXPECT_EQ(rc, c.expected) << Fld(ERR_FLD_ERROR);
  SiITestReset();
  if (rc == WEQ_O_K) {
    EXPECT_NE(h, NI_INVALID_HDL);
    EXPECT_EQ(NiCloseHandle(h), WEQ_O_K);
  } else {
    EXPECT_EQ(h, NI_INVALID_HDL);
  }
  // The peer end of a refused connection may still be queued: drain it.
  if (c.op == 1) {
    NI_HDL acc = NI_INVALID_HDL;
    if (NiAccept(lis, 0, &acc, nullptr, nullptr) == WEQ_O_K) NiCloseHandle(acc);
  }
  EXPECT_EQ(NiIFreeHandles(), free);
  EXPECT_EQ(peers::OpenFdCount(), fds);
  if (lis != NI_INVALID_HDL) {
    EXPECT_EQ(NiCloseHandle(lis), WEQ_O_K);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Steps, NiInjected,
    ::testing::Values(
        Injection{"ListenSocket", SI_FN_SOCKET, 1, SI_EMFILE, EMFILE, 0, NIEINTERN},
        Injection{"ListenCloseExecOnlyReported", SI_FN_SETCLOSEEXEC, 1, SI_ESYSCALL, EIO, 0, WEQ_O_K},
        Injection{"ListenOptionsOnlyReported", SI_FN_SETSOCKOPT, 4, SI_ESYSCALL, EIO, 0, WEQ_O_K},
        Injection{"ListenBind", SI_FN_BIND, 1, SI_EPORT_INUSE, EADDRINUSE, 0, NIESERV_USED},
        Injection{"ListenBlockModeOnlyTraced", SI_FN_SETBLOCKMODE, 1, SI_ESYSCALL, EIO, 0, WEQ_O_K},
        Injection{"ListenListen", SI_FN_LISTEN, 1, SI_ESYSCALL, EIO, 0, NIEINTERN},
        Injection{"ListenPortRead", SI_FN_GETSOCKNAME, 1, SI_ESYSCALL, EIO, 0, NIEINTERN},
        Injection{"ConnectSocket", SI_FN_SOCKET, 1, SI_ESYSCALL, ENOBUFS, 1, NIEINTERN},
        Injection{"ConnectBlockMode", SI_FN_SETBLOCKMODE, 1, SI_ESYSCALL, EIO, 1, NIEINTERN},
        Injection{"ConnectRefused", SI_FN_CONNECT, 1, SI_ECONN_REFUSE, ECONNREFUSED, 1, NIECONN_REFUSED},
        Injection{"ConnectPortsInUse", SI_FN_CONNECT, 20, SI_EPORT_INUSE, EADDRINUSE, 1, NIESERV_USED},
        Injection{"ConnectPortsInUseThenFree", SI_FN_CONNECT, 19, SI_EPORT_INUSE, EADDRINUSE, 1, WEQ_O_K},
        Injection{"ConnectPendingFails", SI_FN_PEEKPENDCONN, 1, SI_ECONN_REFUSE, ECONNREFUSED, 1,
                  NIECONN_REFUSED},
        Injection{"AcceptFails", SI_FN_ACCEPT, 1, SI_ESYSCALL, EIO, 2, NIEINTERN},
        Injection{"AcceptedSocketOptionsOnlyReported", SI_FN_SETSOCKOPT, 4, SI_ESYSCALL, EIO, 2, WEQ_O_K},
        Injection{"AcceptedBlockModeOnlyTraced", SI_FN_SETBLOCKMODE, 1, SI_ESYSCALL, EIO, 2, WEQ_O_K}),
    [](const ::testing::TestParamInfo<Injection>& i) { return std::string(i.param.name); });

TEST_F(NiNet, PortsInUseOnConnectAreTriedTwentyTimesAndTraced) {
  uint16_t port = 0;
  NI_HDL lis = Listen(&port);
  std::string text;
  {
    trccheck::TraceFile trace{1};
    SiITestFail(SI_FN_CONNECT, 20, SI_EPORT_INUSE, EADDRINUSE);
    NI_HDL h = NI_INVALID_HDL;
    EXPECT_EQ(NiHandle(u"127.0.0.1", U(std::to_string(port)).c_str(), 2000, &h), NIESERV_USED);
    EXPECT_EQ(SiITestCalls(SI_FN_CONNECT), 20u);
    text = trace.Read();
  }
  EXPECT_NE(text.find("NiIConnectSocket: port still in use after 20 tries"), std::string::npos);
  EXPECT_NE(text.find("please check WEQ-note 734095 (WSAEADDRINUSE error during connection setup)"),
            std::string::npos);
  EXPECT_EQ(NiCloseHandle(lis), WEQ_O_K);
  ExpectNothingLeft();
}

// --- IPv6 active, in a namespace of the test's own ---------------------------------------------

TEST(NiDualStack, ListenAcceptAndConnectWithIPv6Active) {
  if (!peers::NetnsAvailable()) GTEST_SKIP() << "no network namespaces here";
  tovtest::ChildResult r = peers::RunInNetns([] {
    if (system("ip -6 addr add fd00:5eed::1/64 dev lo nodad >/dev/null 2>&1") != 0) return 2;
    if (ThrProcInit() != THR_ERR_OK) return 3;
    setenv("WEQ_IPv6_ACTIVE", "1", 1);
    if (NiInit() != WEQ_O_K || !NiIIPv6Active()) return 4;
    uint16_t port = 0;
    NI_HDL lis = NI_INVALID_HDL;
    if (NiServerHandleForPort(&port, &lis) != WEQ_O_K) return 5;
    // IPv4 and IPv6 peers on the one dual-stack listener; IPv4 ones appear
    // IPv4-mapped.
    struct Peer {
      int family;
      const char* text;
    } peersList[] = {{AF_INET, "127.0.0.1"}, {AF_INET6, "::1"}};
    for (const Peer& p : peersList) {
      peers::Fd c = peers::Connect(p.family, port);
      if (!c.valid()) return 6;
      NI_HDL acc = NI_INVALID_HDL;
      NI_NODEADDR peer{};
      uint16_t peerPort = 0;
      if (NiAccept(lis, 2000, &acc, &peer, &peerPort) != WEQ_O_K) return 7;
      if (ToUtf8(NiAddrToStrStatic(&peer, 0)) != p.text) return 8;
      if (NiIIsMapped(peer) != (p.family == AF_INET)) return 9;
      if (peerPort != LocalPort(c.get())) return 10;
      NiCloseHandle(acc);
    }
    // Connects over both families by name and by mask.
    const std::pair<const char16_t*, uint32_t> targets[] = {{u"127.0.0.1", NI_PROTO_FAM_UNSPEC},
                                                            {u"::1", NI_PROTO_FAM_UNSPEC},
                                                            {u"::1", NI_PROTO_FAM_IPv6},
                                                            {u"127.0.0.1", NI_PROTO_FAM_IPv4}};
    for (const auto& [host, mask] : targets) {
      NI_HDL con = NI_INVALID_HDL, acc = NI_INVALID_HDL;
      std::u16string serv = FromUtf8(std::to_string(port));
      if (NiHandleForProto(host, serv.c_str(), mask, 2000, &con) != WEQ_O_K) return 11;
      if (NiAccept(lis, 2000, &acc, nullptr, nullptr) != WEQ_O_K) return 12;
      int fam = Family(SockOf(con));
      if (fam != (mask == NI_PROTO_FAM_IPv4 ? AF_INET : AF_INET6)) return 13;
      NiCloseHandle(con);
      NiCloseHandle(acc);
    }
    NiCloseHandle(lis);
    return NiExit() == WEQ_O_K ? 0 : 14;
  });
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
}

}  // namespace

namespace {

// The listen wait through both socket-layer waits: a connection in the
// queue is ready and hands out the listen socket, none times out in time,
// and a poll answering "try again" is repeated and traced.
void PeekListenCases(NITAB* rec, uint16_t port, bool poll) {
  SI_SOCKET* ready = nullptr;
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(NiIPeekListen(rec, 150, &ready), NIETIMEOUT);
  auto waited = std::chrono::steady_clock::now() - t0;
  EXPECT_GE(waited, std::chrono::milliseconds(140));
  EXPECT_LT(waited, std::chrono::milliseconds(1500));
  EXPECT_EQ(ready, nullptr);
  EXPECT_EQ(NiIPeekListen(rec, 0, nullptr), NIETIMEOUT);

  peers::Fd c = peers::Connect(AF_INET, port);
  ASSERT_TRUE(c.valid());
  EXPECT_EQ(NiIPeekListen(rec, 2000, &ready), WEQ_O_K);
  EXPECT_EQ(ready, &rec->lis.mIPSocket);
  EXPECT_EQ(NiIPeekListen(rec, -1, nullptr), WEQ_O_K);
  if (!poll) return;
  SiITestFail(SI_FN_POLL, 3, SI_ETIMEOUT, EAGAIN);
  trccheck::TraceFile trace{1};
  uint32_t calls = SiITestCalls(SI_FN_POLL);
  EXPECT_EQ(NiIPeekListen(rec, 2000, nullptr), WEQ_O_K);
  EXPECT_EQ(SiITestCalls(SI_FN_POLL) - calls, 4u);
  EXPECT_NE(trace.Read().find("NiIPeekListen: poll looped 3 times, caused by EAGAIN (limit=5000)"),
            std::string::npos);
}

TEST_F(NiNet, PeekListenWaitsThroughPollOrSelect) {
  uint16_t port = 0;
  NI_HDL lis = Listen(&port);
  NITAB* rec = nullptr;
  ASSERT_EQ(NiIHdlCheck(lis, u"test", &rec), WEQ_O_K);
  PeekListenCases(rec, port, SiPollAvailable() != 0);
  // Without poll the same waits run through select.
  tovtest::ChildResult r = tovtest::RunInChild([] {
    setenv("NOPOLL", "1", 1);
    SiITestForgetStart();
    NiExit();
    if (NiInit3(64) != WEQ_O_K || SiPollAvailable() != 0) return 2;
    uint16_t p = 0;
    NI_HDL h = NI_INVALID_HDL;
    if (NiServerHandleForPort(&p, &h) != WEQ_O_K) return 3;
    NITAB* r2 = nullptr;
    if (NiIHdlCheck(h, u"test", &r2) != WEQ_O_K) return 4;
    PeekListenCases(r2, p, false);
    SiITestReset();
    return ::testing::Test::HasFailure() ? 1 : 0;
  });
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_EQ(NiCloseHandle(lis), WEQ_O_K);
  ExpectNothingLeft();
}

}  // namespace
