// Socket layer over real sockets: loopback, descriptors above 1024, a
// namespace of the test's own, and raw peers that place every byte.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "krn/dptrc/err.h"
#include "krn/dptrc/trc_checker.h"
#include "krn/si/si.h"
#include "krn/si/si_int.h"
#include "peers/netns.h"
#include "peers/peer_spawn.h"
#include "peers/peers.h"
#include "support/testsupport.h"

namespace {

using peers::Fd;

int SysFamily(int32_t f) { return f == SI_AF_INET ? AF_INET : AF_INET6; }

std::string Loop(int32_t f) { return peers::LoopbackBytes(SysFamily(f)); }

const WEQ_RAW* Raw(const std::string& s) { return reinterpret_cast<const WEQ_RAW*>(s.data()); }

// An SI socket closed at the end of the scope.
struct Sock {
  SI_SOCKET s{SI_INVALID_SOCK, 0, 0, 0};
  Sock() = default;
  Sock(int32_t family, int32_t type) { EXPECT_EQ(SiSocket(family, type, 0, &s), SI_OK); }
  ~Sock() {
    if (s.socketNo >= 0) SiClose(&s);
  }
  Sock(const Sock&) = delete;
  Sock& operator=(const Sock&) = delete;
  SI_SOCKET* operator->() { return &s; }
  SI_SOCKET* get() { return &s; }
};

// A record for a descriptor the test owns (the record does not close it).
SI_SOCKET Rec(int fd, int32_t family = SI_AF_INET, int32_t type = SI_SOCK_STREAM) {
  return SI_SOCKET{fd, family, type, 0};
}

// Listens on loopback through the layer; *port in network order.
void ListenOn(Sock* l, int32_t family, uint16_t* port, int backlog = 16) {
  std::string any = Loop(family);
  uint16_t zero = 0;
  ASSERT_EQ(SiBind(l->get(), Raw(any), static_cast<uint32_t>(any.size()), &zero), SI_OK);
  ASSERT_EQ(SiListen(l->get(), backlog), SI_OK);
  WEQ_RAW addr[16];
  ASSERT_EQ(SiGetSockName(l->get(), addr, sizeof(addr), port), SI_OK);
  EXPECT_EQ(memcmp(addr, any.data(), any.size()), 0);
  EXPECT_NE(*port, 0);
}

class SiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(SiInit(nullptr), SI_OK);
    SiITestReset();
  }
  void TearDown() override {
    SiITestReset();
    EXPECT_EQ(SiIPendingCount(), 0u);
    EXPECT_EQ(SiIBrokenCount(), 0u);
  }
};

// --- A round trip ---------------------------------------------------------------

class SiRoundTrip : public SiTest, public ::testing::WithParamInterface<int32_t> {};

TEST_P(SiRoundTrip, NonBlockingConnectAcceptGatheredSendAndReceive) {
  int32_t fam = GetParam();
  Sock l(fam, SI_SOCK_STREAM);
  uint16_t port = 0;
  ASSERT_NO_FATAL_FAILURE(ListenOn(&l, fam, &port));

  Sock c(fam, SI_SOCK_STREAM);
  ASSERT_EQ(SiSetBlockMode(c.get(), 0), SI_OK);
  EXPECT_NE(fcntl(c->socketNo, F_GETFL) & O_NONBLOCK, 0);
  EXPECT_NE(fcntl(c->socketNo, F_GETFD) & FD_CLOEXEC, 0);
  std::string dst = Loop(fam);
  SI_RC rc = SiConnect(c.get(), Raw(dst), static_cast<uint32_t>(dst.size()), &port);
  ASSERT_TRUE(rc == SI_OK || rc == SI_ECONN_INPROG) << rc;
  if (rc == SI_ECONN_INPROG) {
    EXPECT_TRUE(SiIIsPending(c->socketNo));
    SiFdMask<4> w;
    SiFdSet(c.get(), w, 4);
    int32_t count = 0;
    ASSERT_EQ(SiSelect(c->socketNo + 1, nullptr, w, nullptr, 5000, &count, nullptr), SI_OK);
    EXPECT_EQ(count, 1);
    EXPECT_TRUE(SiFdIsSet(c.get(), w));
    EXPECT_EQ(SiPeekPendConn(c.get(), 0), SI_OK);
  }
  EXPECT_FALSE(SiIIsPending(c->socketNo));
  EXPECT_EQ(SiPeekPendConn(c.get(), 0), SI_OK);  // no longer connecting

  ASSERT_EQ(SiPeek(l.get(), SI_PEEK_READ, 5000), SI_OK);
  Sock a;
  WEQ_RAW peer[16] = {};
  uint16_t peerPort = 0;
  ASSERT_EQ(SiAccept(l.get(), peer, sizeof(peer), &peerPort, a.get()), SI_OK);
  EXPECT_EQ(a->family, fam);
  EXPECT_EQ(a->type, SI_SOCK_STREAM);
  EXPECT_EQ(a->sysErr, 0);
  EXPECT_NE(fcntl(a->socketNo, F_GETFD) & FD_CLOEXEC, 0);
  EXPECT_EQ(memcmp(peer, dst.data(), dst.size()), 0);
  uint16_t clientPort = 0;
  ASSERT_EQ(SiGetSockName(c.get(), nullptr, 0, &clientPort), SI_OK);
  EXPECT_EQ(peerPort, clientPort);
  uint16_t seenPort = 0;
  ASSERT_EQ(SiGetPeerName(c.get(), nullptr, 0, &seenPort), SI_OK);
  EXPECT_EQ(SiNtohs(seenPort), SiNtohs(port));

  // A length header, a body and a trailer in one gathered send.
  std::string body(3000, '\0');
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i % 251);
  const char hdr[4] = {0, 0, 0x0b, static_cast<char>(0xb8)};
  SI_IOVEC v[3] = {{hdr, 4}, {body.data(), static_cast<uint32_t>(body.size())}, {"end", 3}};
  uint32_t sent = 0;
  ASSERT_EQ(SiSendV(c.get(), v, 3, &sent), SI_OK);
  ASSERT_EQ(sent, 4 + body.size() + 3);
  std::string got;
  while (got.size() < sent) {
    ASSERT_EQ(SiPeek(a.get(), SI_PEEK_READ, 5000), SI_OK);
    char buf[1024];
    uint32_t n = 0;
    ASSERT_EQ(SiRecv(a.get(), buf, sizeof(buf), 0, &n), SI_OK);
    ASSERT_GT(n, 0u);
    got.append(buf, n);
  }
  EXPECT_EQ(got, std::string(hdr, 4) + body + "end");

  // The peer's end of stream is a receive of 0 bytes.
  SiClose(c.get());
  c->socketNo = SI_INVALID_SOCK;
  ASSERT_EQ(SiPeek(a.get(), SI_PEEK_READ, 5000), SI_OK);
  uint32_t n = 99;
  char ch;
  EXPECT_EQ(SiRecv(a.get(), &ch, 1, 0, &n), SI_OK);
  EXPECT_EQ(n, 0u);
}

TEST_P(SiRoundTrip, EchoPeerSeesEveryByteOfOneAndTwoElementSends) {
  int32_t fam = GetParam();
  peers::PeerProcess peer("echo", {"--family", fam == SI_AF_INET ? "4" : "6"});
  ASSERT_TRUE(peer.ok());
  Sock c(fam, SI_SOCK_STREAM);
  std::string dst = Loop(fam);
  uint16_t port = SiHtons(static_cast<uint16_t>(peer.port()));
  ASSERT_EQ(SiConnect(c.get(), Raw(dst), static_cast<uint32_t>(dst.size()), &port), SI_OK);
  std::string expect;
  for (uint32_t elems = 1; elems <= 2; ++elems) {
    std::string a(elems * 10, 'a'), b(7, static_cast<char>('0' + elems));
    SI_IOVEC v[2] = {{a.data(), static_cast<uint32_t>(a.size())}, {b.data(), static_cast<uint32_t>(b.size())}};
    uint32_t sent = 0;
    ASSERT_EQ(SiSendV(c.get(), v, elems, &sent), SI_OK);
    expect += elems == 1 ? a : a + b;
    EXPECT_EQ(sent, elems == 1 ? a.size() : a.size() + b.size());
  }
  uint32_t sent = 0;
  ASSERT_EQ(SiSend(c.get(), "tail", 4, 0, &sent), SI_OK);
  expect += "tail";
  EXPECT_EQ(peers::ReadFor(c->socketNo, expect.size(), 5000), expect);
}

INSTANTIATE_TEST_SUITE_P(Families, SiRoundTrip, ::testing::Values(SI_AF_INET, SI_AF_INET6),
                         [](const auto& info) { return info.param == SI_AF_INET ? "IPv4" : "IPv6"; });

// --- Every row of the error table made for real ------------------------------------

struct Outcome {
  SI_RC rc;
  int32_t err;
};

struct ErrCase {
  const char* name;
  SI_RC rc;
  int32_t err;
  std::function<Outcome()> make;
};

// A connected loopback pair: c is the layer's end, s the raw end.
struct Conn {
  Sock c{SI_AF_INET, SI_SOCK_STREAM};
  Fd l, s;
  Conn() {
    uint16_t port = 0;
    l = peers::Listener(AF_INET, &port);
    std::string dst = Loop(SI_AF_INET);
    uint16_t net = SiHtons(port);
    EXPECT_EQ(SiConnect(c.get(), Raw(dst), 4, &net), SI_OK);
    s = Fd(accept(l.get(), nullptr, nullptr));
  }
};

Outcome Of(SI_RC rc, const SI_SOCKET& s) { return {rc, s.sysErr}; }

const std::vector<ErrCase>& ErrCases() {
  static const std::vector<ErrCase> cases = {
      {"ConnectRefused", SI_ECONN_REFUSE, ECONNREFUSED,
       [] {
         Sock c(SI_AF_INET, SI_SOCK_STREAM);
         uint16_t port = SiHtons(peers::FreePort(AF_INET));
         return Of(SiConnect(c.get(), Raw(Loop(SI_AF_INET)), 4, &port), c.s);
       }},
      {"BindPortInUse", SI_EPORT_INUSE, EADDRINUSE,
       [] {
         uint16_t port = 0;
         Fd held = peers::Listener(AF_INET6, &port);
         Sock c(SI_AF_INET6, SI_SOCK_STREAM);
         uint16_t net = SiHtons(port);
         return Of(SiBind(c.get(), Raw(Loop(SI_AF_INET6)), 16, &net), c.s);
       }},
      {"BindAddressNotAvailable", SI_EADDR_NAVAIL, EADDRNOTAVAIL,
       [] {
         Sock c(SI_AF_INET, SI_SOCK_STREAM);
         const WEQ_RAW doc[4] = {192, 0, 2, 1};  // not an address of this host
         return Of(SiBind(c.get(), doc, 4, nullptr), c.s);
       }},
      {"ConnectAgainWhileConnected", SI_EINVAL, EISCONN,
       [] {
         Conn k;
         uint16_t port = 0;
         SiGetPeerName(k.c.get(), nullptr, 0, &port);
         return Of(SiConnect(k.c.get(), Raw(Loop(SI_AF_INET)), 4, &port), k.c.s);
       }},
      {"ReceiveWouldBlock", SI_ETIMEOUT, EAGAIN,
       [] {
         Conn k;
         SiSetBlockMode(k.c.get(), 0);
         char b;
         return Of(SiRecv(k.c.get(), &b, 1, 0, nullptr), k.c.s);
       }},
      {"AcceptWouldBlock", SI_ETIMEOUT, EAGAIN,
       [] {
         Sock l(SI_AF_INET, SI_SOCK_STREAM);
         uint16_t port = 0;
         ListenOn(&l, SI_AF_INET, &port);
         SiSetBlockMode(l.get(), 0);
         Sock a;
         return Of(SiAccept(l.get(), nullptr, 0, nullptr, a.get()), l.s);
       }},
      {"SendWouldBlock", SI_ETIMEOUT, EAGAIN,
       [] {
         Conn k;
         peers::SmallBuffers(k.s.get());
         SiSetBlockMode(k.c.get(), 0);
         std::string chunk(65536, 'z');
         SI_RC rc = SI_OK;
         for (int i = 0; i < 1000 && rc == SI_OK; ++i) rc = SiSend(k.c.get(), chunk.data(), 65536, 0, nullptr);
         return Of(rc, k.c.s);
       }},
      {"SendOnClosedDescriptor", SI_EINVAL_SOCK, EBADF,
       [] {
         Fd a, b;
         peers::SocketPair(&a, &b);
         SI_SOCKET s = Rec(a.get());
         a.Reset();
         return Of(SiSend(&s, "x", 1, 0, nullptr), s);
       }},
      {"ReceiveOnAPipe", SI_EINVAL_SOCK, ENOTSOCK,
       [] {
         int p[2];
         EXPECT_EQ(pipe(p), 0);
         Fd r(p[0]), w(p[1]);
         SI_SOCKET s = Rec(r.get());
         char b;
         return Of(SiRecv(&s, &b, 1, 0, nullptr), s);
       }},
      {"SendAfterShutdownNoSignal", SI_ECONN_BROKEN, EPIPE,
       [] {
         Conn k;
         shutdown(k.c->socketNo, SHUT_WR);
         return Of(SiSend(k.c.get(), "x", 1, 0, nullptr), k.c.s);
       }},
      {"ReceiveAfterReset", SI_ECONN_BROKEN, ECONNRESET,
       [] {
         Conn k;
         peers::ResetClose(&k.s);
         peers::WaitReadable(k.c->socketNo, 2000);
         char b;
         return Of(SiRecv(k.c.get(), &b, 1, 0, nullptr), k.c.s);
       }},
      {"ReceiveNotConnected", SI_EINVAL, ENOTCONN,
       [] {
         Sock c(SI_AF_INET, SI_SOCK_STREAM);
         char b;
         return Of(SiRecv(c.get(), &b, 1, 0, nullptr), c.s);
       }},
      {"PeerNameNotConnected", SI_EINVAL, ENOTCONN,
       [] {
         Sock c(SI_AF_INET6, SI_SOCK_STREAM);
         WEQ_RAW a[16];
         return Of(SiGetPeerName(c.get(), a, 16, nullptr), c.s);
       }},
      {"DatagramTooLarge", SI_EMEMORY, EMSGSIZE,
       [] {
         Sock u(SI_AF_INET, SI_SOCK_DGRAM);
         std::string big(70000, 'd');
         uint16_t port = SiHtons(peers::FreePort(AF_INET));
         return Of(SiSendTo(u.get(), big.data(), static_cast<uint32_t>(big.size()), 0, Raw(Loop(SI_AF_INET)), 4,
                            &port, nullptr),
                   u.s);
       }},
      {"ListenOnClosedDescriptor", SI_EINVAL_SOCK, EBADF,
       [] {
         SI_SOCKET s = Rec(1 << 20);
         return Of(SiListen(&s, 1), s);
       }},
      {"UnknownFamily", SI_EINVAL, EAFNOSUPPORT,
       [] {
         SI_SOCKET s{};
         return Of(SiSocket(SI_AF_UNIX, SI_SOCK_STREAM, 0, &s), s);
       }},
      {"UnknownType", SI_EINVAL, ESOCKTNOSUPPORT,
       [] {
         SI_SOCKET s{};
         return Of(SiSocket(SI_AF_INET, 9, 0, &s), s);
       }},
      {"UnknownOptionLevel", SI_EINVAL_OPT, SI_ERR_OPTION,
       [] {
         Sock c(SI_AF_INET, SI_SOCK_STREAM);
         int32_t v = 0;
         SI_OPTVAL ov{};
         ov.pValue1 = &v;
         ov.length1 = 4;
         return Of(SiGetSockOpt(c.get(), 7, SI_SO_SNDBUF, &ov), c.s);
       }},
      {"PendingErrorCannotBeSet", SI_EINVAL_OPT, SI_ERR_OPTION,
       [] {
         Sock c(SI_AF_INET, SI_SOCK_STREAM);
         int32_t v = 0;
         SI_OPTVAL ov{};
         ov.pValue1 = &v;
         ov.length1 = 4;
         return Of(SiSetSockOpt(c.get(), SI_SOL_SOCKET, SI_SO_ERROR, &ov), c.s);
       }},
      {"BindAddressOfWrongLength", SI_EINTERN, SI_ERR_INTERNAL,
       [] {
         Sock c(SI_AF_INET6, SI_SOCK_STREAM);
         return Of(SiBind(c.get(), Raw(Loop(SI_AF_INET)), 4, nullptr), c.s);
       }},
      {"TooManyDescriptors", SI_EMFILE, EMFILE,
       [] {
         // In a child: the limit is the process's own.
         tovtest::ChildResult r = tovtest::RunInChild([] {
           rlimit lim{8, 8};
           setrlimit(RLIMIT_NOFILE, &lim);
           SI_SOCKET s{};
           SI_RC rc = SI_OK;
           for (int i = 0; i < 16 && rc == SI_OK; ++i) rc = SiSocket(SI_AF_INET, SI_SOCK_DGRAM, 0, &s);
           printf("%d", s.sysErr);
           return rc;
         });
         return Outcome{r.exit_code, atoi(r.out.c_str())};
       }},
      {"UnreachableInANamespace", SI_EADDR_NAVAIL, ENETUNREACH,
       [] {
         if (!peers::NetnsAvailable()) return Outcome{SI_EADDR_NAVAIL, ENETUNREACH};
         // The namespace has no route beyond its loopback: nothing leaves it.
         tovtest::ChildResult r = peers::RunInNetns([] {
           SI_SOCKET s{};
           if (SiSocket(SI_AF_INET, SI_SOCK_STREAM, 0, &s) != SI_OK) return 99;
           const WEQ_RAW doc[4] = {192, 0, 2, 1};
           uint16_t port = SiHtons(9);
           SI_RC rc = SiConnect(&s, doc, 4, &port);
           return rc * 10 + (s.sysErr == ENETUNREACH ? 1 : 0);
         });
         return Outcome{r.exit_code / 10, r.exit_code % 10 == 1 ? ENETUNREACH : -1};
       }},
  };
  return cases;
}

class SiErrorTable : public SiTest, public ::testing::WithParamInterface<size_t> {};

TEST_P(SiErrorTable, MadeForReal) {
  const ErrCase& c = ErrCases()[GetParam()];
  Outcome o = c.make();
  EXPECT_EQ(o.rc, c.rc) << c.name;
  EXPECT_EQ(o.err, c.err) << c.name;
}

INSTANTIATE_TEST_SUITE_P(Rows, SiErrorTable, ::testing::Range<size_t>(0, ErrCases().size()),
                         [](const auto& info) { return std::string(ErrCases()[info.param].name); });

TEST_F(SiTest, FamilyOutsideTwoAndTwentyThreeIsRefusedBeforeAnySystemCall) {
  SI_SOCKET s{-1, SI_AF_UNIX, SI_SOCK_STREAM, 0};  // no descriptor: a system call would say EBADF
  WEQ_RAW a[16] = {};
  uint16_t port = 0;
  char buf[4];
  SI_SOCKET n{};
  const std::vector<std::pair<const char*, std::function<SI_RC()>>> ops = {
      {"bind", [&] { return SiBind(&s, a, 4, &port); }},
      {"connect", [&] { return SiConnect(&s, a, 4, &port); }},
      {"accept", [&] { return SiAccept(&s, a, 16, &port, &n); }},
      {"sendto", [&] { return SiSendTo(&s, buf, 1, 0, a, 4, &port, nullptr); }},
      {"recvfrom", [&] { return SiRecvFrom(&s, buf, 1, 0, a, 16, &port, nullptr); }},
      {"sockname", [&] { return SiGetSockName(&s, a, 16, &port); }},
      {"peername", [&] { return SiGetPeerName(&s, a, 16, &port); }},
  };
  for (const auto& [name, op] : ops) {
    s.sysErr = 0;
    EXPECT_EQ(op(), SI_EINVAL_FAMI) << name;
    EXPECT_EQ(s.sysErr, SI_ERR_FAMILY) << name;
  }
}

TEST_F(SiTest, SendsNeverRaiseSigpipe) {
  // With SIGPIPE at its default the process would end here.
  struct sigaction old {}, dfl {};
  dfl.sa_handler = SIG_DFL;
  sigaction(SIGPIPE, &dfl, &old);
  Conn k;
  k.s.Reset();
  ASSERT_TRUE(peers::WaitReadable(k.c->socketNo, 2000));
  SI_RC rc = SI_OK;
  for (int i = 0; i < 50 && rc == SI_OK; ++i) {
    SI_IOVEC v[3] = {{"a", 1}, {"b", 1}, {"c", 1}};
    rc = SiSendV(k.c.get(), v, 3, nullptr);
  }
  sigaction(SIGPIPE, &old, nullptr);
  EXPECT_EQ(rc, SI_ECONN_BROKEN);
  EXPECT_TRUE(k.c->sysErr == EPIPE || k.c->sysErr == ECONNRESET) << k.c->sysErr;
}

// --- Connects in progress ----------------------------------------------------------

TEST_F(SiTest, RefusedConnectIsReadableAndWritableThenReportedEveryTime) {
  for (int32_t fam : {SI_AF_INET, SI_AF_INET6}) {
    Sock c(fam, SI_SOCK_STREAM);
    SiSetBlockMode(c.get(), 0);
    uint16_t port = SiHtons(peers::FreePort(SysFamily(fam)));
    std::string dst = Loop(fam);
    SI_RC rc = SiConnect(c.get(), Raw(dst), static_cast<uint32_t>(dst.size()), &port);
    ASSERT_EQ(rc, SI_ECONN_INPROG);
    ASSERT_TRUE(SiIIsPending(c->socketNo));

    // The caller asks for writing only; an empty read mask receives it too.
    SiFdMask<8> r, w;
    SiFdSet(c.get(), w, 8);
    int32_t count = 0, err = -1;
    ASSERT_EQ(SiSelect(c->socketNo + 1, r, w, nullptr, 5000, &count, &err), SI_OK);
    EXPECT_TRUE(SiFdIsSet(c.get(), r));
    EXPECT_TRUE(SiFdIsSet(c.get(), w));
    EXPECT_GT(count, 0);
    EXPECT_FALSE(SiIIsPending(c->socketNo));
    int32_t kept = 0;
    ASSERT_TRUE(SiIIsBroken(c->socketNo, &kept));
    EXPECT_EQ(kept, ECONNREFUSED);

    // The system's pending error is read once; every later peek reports it.
    for (int i = 0; i < 2; ++i) {
      c->sysErr = 0;
      EXPECT_EQ(SiPeekPendConn(c.get(), 1000), SI_ECONN_REFUSE);
      EXPECT_EQ(c->sysErr, ECONNREFUSED);
    }
    EXPECT_EQ(SiClose(c.get()), SI_OK);
    EXPECT_FALSE(SiIIsBroken(c->socketNo, nullptr));
    c->socketNo = SI_INVALID_SOCK;
  }
}

TEST_F(SiTest, RefusedConnectSeenByPeekPendConnDirectly) {
  Sock c(SI_AF_INET, SI_SOCK_STREAM);
  SiSetBlockMode(c.get(), 0);
  uint16_t port = SiHtons(peers::FreePort(AF_INET));
  ASSERT_EQ(SiConnect(c.get(), Raw(Loop(SI_AF_INET)), 4, &port), SI_ECONN_INPROG);
  EXPECT_EQ(SiPeekPendConn(c.get(), 5000), SI_ECONN_REFUSE);
  EXPECT_EQ(c->sysErr, ECONNREFUSED);
  EXPECT_TRUE(SiIIsBroken(c->socketNo, nullptr));
  EXPECT_EQ(SiPeekPendConn(c.get(), 0), SI_ECONN_REFUSE);
  EXPECT_EQ(c->sysErr, ECONNREFUSED);
}

TEST_F(SiTest, ExceptMaskTakesOnlyPendingConnectsForFailures) {
  // A connected socket with an error pending is not a failed connect: it
  // stays out of the except mask and is not marked broken.
  Conn k;
  peers::ResetClose(&k.s);
  ASSERT_TRUE(peers::WaitReadable(k.c->socketNo, 2000));
  Sock c(SI_AF_INET, SI_SOCK_STREAM);
  SiSetBlockMode(c.get(), 0);
  uint16_t port = SiHtons(peers::FreePort(AF_INET));
  ASSERT_EQ(SiConnect(c.get(), Raw(Loop(SI_AF_INET)), 4, &port), SI_ECONN_INPROG);
  ASSERT_EQ(SiPeek(c.get(), SI_PEEK_WRITE, 5000), SI_OK);  // the refusal has arrived
  SiFdMask<8> w, e;
  SiFdSet(k.c.get(), w, 8);
  SiFdSet(c.get(), w, 8);
  SiFdSet(k.c.get(), e, 8);
  int32_t count = 0;
  ASSERT_EQ(SiSelect(0, nullptr, w, e, 5000, &count, nullptr), SI_OK);
  EXPECT_FALSE(SiFdIsSet(k.c.get(), e));
  EXPECT_TRUE(SiFdIsSet(c.get(), e));
  EXPECT_FALSE(SiIIsBroken(k.c->socketNo, nullptr));
  EXPECT_TRUE(SiIIsBroken(c->socketNo, nullptr));
}

TEST_F(SiTest, ConnectPendingOnAFullBacklogStaysPendingUntilAccepted) {
  // A raw listener with backlog 0 holds one finished connection; the next
  // handshake gets no answer until the queue has room again.
  uint16_t port = 0;
  Fd l = peers::Listener(AF_INET, &port, 0);
  ASSERT_TRUE(l.valid());
  Fd first = peers::Connect(AF_INET, port);
  ASSERT_TRUE(first.valid());
  Sock c(SI_AF_INET, SI_SOCK_STREAM);
  SiSetBlockMode(c.get(), 0);
  uint16_t net = SiHtons(port);
  ASSERT_EQ(SiConnect(c.get(), Raw(Loop(SI_AF_INET)), 4, &net), SI_ECONN_INPROG);
  EXPECT_EQ(SiPeekPendConn(c.get(), 300), SI_ETIMEOUT);
  EXPECT_TRUE(SiIIsPending(c->socketNo));
  SiFdMask<2> w;
  SiFdSet(c.get(), w, 2);
  int32_t count = -1;
  EXPECT_EQ(SiSelect(0, nullptr, w, nullptr, 100, &count, nullptr), SI_OK);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(w->fd_count, 0u);

  Fd taken(accept(l.get(), nullptr, nullptr));
  ASSERT_TRUE(taken.valid());
  // The handshake is repeated by the system after about a second.
  EXPECT_EQ(SiPeekPendConn(c.get(), 8000), SI_OK);
  EXPECT_FALSE(SiIIsPending(c->socketNo));
}

TEST_F(SiTest, PendingSocketClosedUnderneathIsNotASocket) {
  uint16_t port = 0;
  Fd l = peers::Listener(AF_INET, &port, 0);
  Fd first = peers::Connect(AF_INET, port);
  SI_SOCKET s{};
  ASSERT_EQ(SiSocket(SI_AF_INET, SI_SOCK_STREAM, 0, &s), SI_OK);
  SiSetBlockMode(&s, 0);
  uint16_t net = SiHtons(port);
  ASSERT_EQ(SiConnect(&s, Raw(Loop(SI_AF_INET)), 4, &net), SI_ECONN_INPROG);
  close(s.socketNo);
  s.sysErr = 0;
  EXPECT_EQ(SiPeekPendConn(&s, 1000), SI_EINVAL_SOCK);
  EXPECT_EQ(s.sysErr, 0);  // not stored
  EXPECT_TRUE(SiIIsPending(s.socketNo));
  EXPECT_EQ(SiClose(&s), SI_EINVAL_SOCK);  // the number is gone, the set entry too
  EXPECT_EQ(s.sysErr, EBADF);
  EXPECT_FALSE(SiIIsPending(s.socketNo));
}

TEST_F(SiTest, ClosingAPendingSocketLeavesTheSet) {
  uint16_t port = 0;
  Fd l = peers::Listener(AF_INET, &port, 0);
  Fd first = peers::Connect(AF_INET, port);
  SI_SOCKET s{};
  ASSERT_EQ(SiSocket(SI_AF_INET, SI_SOCK_STREAM, 0, &s), SI_OK);
  SiSetBlockMode(&s, 0);
  uint16_t net = SiHtons(port);
  ASSERT_EQ(SiConnect(&s, Raw(Loop(SI_AF_INET)), 4, &net), SI_ECONN_INPROG);
  EXPECT_EQ(SiIPendingCount(), 1u);
  EXPECT_EQ(SiClose(&s), SI_OK);
  EXPECT_EQ(SiIPendingCount(), 0u);
}

// --- Masks ------------------------------------------------------------------------------

TEST_F(SiTest, MasksStaySortedWithoutDuplicatesAgainstASetModel) {
  std::mt19937 rng(17);
  SiFdMask<64> m;
  std::set<int32_t> model;
  for (int i = 0; i < 2000; ++i) {
    SI_SOCKET s = Rec(static_cast<int32_t>(rng() % 100));
    if (rng() % 3 != 0) {
      SiFdSet(&s, m, 64);
      if (model.size() < 64) model.insert(s.socketNo);
    } else {
      SiFdClr(&s, m);
      model.erase(s.socketNo);
    }
    ASSERT_EQ(m->fd_count, model.size());
    ASSERT_TRUE(std::equal(model.begin(), model.end(), m->fd_array));
    SI_SOCKET probe = Rec(static_cast<int32_t>(rng() % 100));
    ASSERT_EQ(SiFdIsSet(&probe, m) != 0, model.count(probe.socketNo) == 1);
  }
  // A full mask: unchanged, and one warning per refused insertion.
  trccheck::TraceFile trace(1);
  SiFdZero(m);
  for (int32_t k = 0; k < 64; ++k) {
    SI_SOCKET s = Rec(1000 - k);
    SiFdSet(&s, m, 64);
  }
  SI_SOCKET present = Rec(990), extra = Rec(5);
  SiFdSet(&present, m, 64);
  SiFdSet(&extra, m, 64);
  EXPECT_EQ(m->fd_count, 64u);
  EXPECT_FALSE(SiFdIsSet(&extra, m));
  EXPECT_TRUE(std::is_sorted(m->fd_array, m->fd_array + 64));
  // A capacity below the mask's own is honoured as well.
  SiFdMask<8> small;
  for (int32_t k = 0; k < 4; ++k) {
    SI_SOCKET s = Rec(k);
    SiFdSet(&s, small, 3);
  }
  EXPECT_EQ(small->fd_count, 3u);
  std::vector<trccheck::Line> lines = trace.Body();
  ASSERT_EQ(lines.size(), 2u) << trace.After();
  char expect[64];
  snprintf(expect, sizeof(expect), "select mask %lx full (64)", reinterpret_cast<unsigned long>(m.get()));
  EXPECT_EQ(lines[0].kind, 'W');
  EXPECT_EQ(lines[0].text, expect);
  EXPECT_EQ(lines[1].text.rfind("select mask ", 0), 0u);
  EXPECT_NE(lines[1].text.find("full (3)"), std::string::npos);
  // The comparison orders by socket number.
  std::vector<int64_t> v = {5, -1, 3000, 2, 17};
  qsort(v.data(), v.size(), sizeof(int64_t), SiFdCompare);
  EXPECT_EQ(v, (std::vector<int64_t>{-1, 2, 5, 17, 3000}));
}

TEST_F(SiTest, SelectReturnsTheReadySocketsOfEveryMaskInOrder) {
  constexpr int kPairs = 40;
  std::vector<Fd> ours(kPairs), theirs(kPairs);
  for (int i = 0; i < kPairs; ++i) ASSERT_TRUE(peers::SocketPair(&ours[i], &theirs[i]));
  std::mt19937 rng(5);
  for (int round = 0; round < 20; ++round) {
    SiFdMask<kPairs> r, w;
    std::set<int32_t> readable;
    std::vector<int> order(kPairs);
    for (int i = 0; i < kPairs; ++i) order[i] = i;
    std::shuffle(order.begin(), order.end(), rng);
    for (int i : order) {
      SI_SOCKET s = Rec(ours[i].get());
      SiFdSet(&s, r, kPairs);
      if (i % 4 == 0) SiFdSet(&s, w, kPairs);
      char tmp[64];
      while (recv(ours[i].get(), tmp, sizeof(tmp), MSG_DONTWAIT) > 0) {
      }
      if (rng() % 3 == 0) {
        send(theirs[i].get(), "r", 1, 0);
        readable.insert(ours[i].get());
      }
    }
    size_t writers = w->fd_count;
    int32_t count = 0;
    ASSERT_EQ(SiSelect(0, r, w, nullptr, 1000, &count, nullptr), SI_OK);
    EXPECT_EQ(static_cast<size_t>(count), readable.size() + writers);
    ASSERT_EQ(r->fd_count, readable.size());
    EXPECT_TRUE(std::equal(readable.begin(), readable.end(), r->fd_array));
    EXPECT_EQ(w->fd_count, writers);
    EXPECT_TRUE(std::is_sorted(w->fd_array, w->fd_array + w->fd_count));
  }
}

TEST_F(SiTest, PlainSelectTakesMasksInAnyOrder) {
  // The fixed-table select sets hand their masks over unsorted.
  constexpr int kPairs = 12;
  std::vector<Fd> ours(kPairs), theirs(kPairs);
  for (int i = 0; i < kPairs; ++i) ASSERT_TRUE(peers::SocketPair(&ours[i], &theirs[i]));
  SiFdMask<kPairs> r, e;
  std::set<int32_t> readable;
  for (int i = kPairs - 1; i >= 0; --i) {  // descending
    r->fd_array[r->fd_count++] = ours[i].get();
    if (i % 3 == 0) {
      send(theirs[i].get(), "r", 1, 0);
      readable.insert(ours[i].get());
    }
  }
  e->fd_array[e->fd_count++] = ours[1].get();
  e->fd_array[e->fd_count++] = ours[0].get();
  int32_t count = 0;
  ASSERT_EQ(SiSelectInt(0, r, nullptr, e, 1000, &count, nullptr), SI_OK);
  EXPECT_EQ(static_cast<size_t>(count), readable.size());
  EXPECT_EQ(std::set<int32_t>(r->fd_array, r->fd_array + r->fd_count), readable);
  EXPECT_EQ(r->fd_count, readable.size());
  EXPECT_EQ(e->fd_count, 0u);  // nothing urgent, nothing failed
}

TEST_F(SiTest, SelectHonoursTheCapacityOfTheCallersMasks) {
  // A failed connect is added to the read mask after the wait; a read
  // mask of capacity 1 already holding a ready socket keeps its bound.
  struct Guarded {
    SiFdMask<1> mask;
    int64_t canary[4] = {0x5a5a, 0x5a5a, 0x5a5a, 0x5a5a};
  } r;
  Fd a, b;
  ASSERT_TRUE(peers::SocketPair(&a, &b));
  send(b.get(), "x", 1, 0);
  SI_SOCKET ready = Rec(a.get());
  SiFdSet(&ready, r.mask, 1);
  Sock c(SI_AF_INET, SI_SOCK_STREAM);
  SiSetBlockMode(c.get(), 0);
  uint16_t port = SiHtons(peers::FreePort(AF_INET));
  ASSERT_EQ(SiConnect(c.get(), Raw(Loop(SI_AF_INET)), 4, &port), SI_ECONN_INPROG);
  ASSERT_EQ(SiPeek(c.get(), SI_PEEK_WRITE, 5000), SI_OK);  // the refusal has arrived
  SiFdMask<1> w;
  SiFdSet(c.get(), w, 1);
  int32_t count = 0;
  ASSERT_EQ(SiSelect(0, r.mask, w, nullptr, 5000, &count, nullptr), SI_OK);
  EXPECT_EQ(r.mask->fd_count, 1u);
  EXPECT_EQ(r.mask->fd_array[0], std::min<int64_t>(a.get(), c->socketNo));
  EXPECT_TRUE(SiFdIsSet(c.get(), w));
  for (int64_t v : r.canary) EXPECT_EQ(v, 0x5a5a);
}

TEST_F(SiTest, EmptyMasksSleepForTheTimeout) {
  SiFdMask<4> r;
  int32_t count = -1;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(SiSelect(0, r, nullptr, nullptr, 250, &count, nullptr), SI_OK);
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(count, 0);
  EXPECT_GE(ms, 240);
  EXPECT_LT(ms, 2000);
  start = std::chrono::steady_clock::now();
  EXPECT_EQ(SiPoll(nullptr, 0, 100, &count, nullptr), SI_OK);
  ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  EXPECT_GE(ms, 90);
}

// --- Descriptors above 1024 ----------------------------------------------------------

TEST_F(SiTest, DescriptorTwoThousandInSelectPeekAndPoll) {
  Fd a, b;
  ASSERT_TRUE(peers::SocketPair(&a, &b));
  Fd high = peers::DupAbove(a.get(), 2000);
  ASSERT_TRUE(high.valid());
  ASSERT_GE(high.get(), 2000);
  SI_SOCKET s = Rec(high.get());
  EXPECT_EQ(SiPeek(&s, SI_PEEK_READ, 50), SI_ETIMEOUT);
  SiFdMask<2> r;
  SiFdSet(&s, r, 2);
  int32_t count = -1;
  EXPECT_EQ(SiSelect(high.get() + 1, r, nullptr, nullptr, 50, &count, nullptr), SI_OK);
  EXPECT_EQ(count, 0);
  send(b.get(), "y", 1, 0);
  EXPECT_EQ(SiPeek(&s, SI_PEEK_READ, 2000), SI_OK);
  EXPECT_EQ(SiPeek(&s, SI_PEEK_READ | SI_PEEK_WRITE, 0), SI_OK);
  SiFdSet(&s, r, 2);
  EXPECT_EQ(SiSelect(high.get() + 1, r, nullptr, nullptr, 2000, &count, nullptr), SI_OK);
  EXPECT_EQ(count, 1);
  EXPECT_TRUE(SiFdIsSet(&s, r));
  EXPECT_EQ(SiSelectInt(0, r, nullptr, nullptr, 2000, &count, nullptr), SI_OK);
  EXPECT_EQ(count, 1);
  SI_POLL_FD p[2] = {{high.get(), SI_POLLIN | SI_POLLOUT, 0}, {-1, SI_POLLIN, 0}};
  ASSERT_EQ(SiPoll(p, 2, 2000, &count, nullptr), SI_OK);
  EXPECT_EQ(count, 1);
  EXPECT_EQ(p[0].revents, SI_POLLRDNORM | SI_POLLWRNORM);
  EXPECT_EQ(p[1].revents, 0);

  // Closed underneath: the waits say so instead of waiting.
  int number = high.get();
  high.Reset();
  SI_SOCKET gone = Rec(number);
  int32_t err = 0;
  SiFdSet(&gone, r, 2);
  EXPECT_EQ(SiSelect(number + 1, r, nullptr, nullptr, 1000, &count, &err), SI_EINVAL_SOCK);
  EXPECT_EQ(err, EBADF);
  EXPECT_EQ(SiSelectInt(number + 1, r, nullptr, nullptr, 1000, &count, &err), SI_EINVAL_SOCK);
  EXPECT_EQ(SiPeek(&gone, SI_PEEK_READ, 1000), SI_EINVAL_SOCK);
  p[0].events = SI_POLLIN;
  ASSERT_EQ(SiPoll(p, 1, 1000, &count, nullptr), SI_OK);
  EXPECT_EQ(p[0].revents, SI_POLLNVAL);
}

TEST_F(SiTest, PollWithoutPollWhenNopollWasSetAtTheFirstStart) {
  tovtest::ChildResult r = tovtest::RunInChild([] {
    SiITestForgetStart();
    setenv("NOPOLL", "", 1);
    if (SiInit(nullptr) != SI_OK) return 1;
    unsetenv("NOPOLL");
    SiExit(nullptr);
    SiInit(nullptr);  // decided once for the process
    if (SiPollAvailable() != 0) return 2;
    SI_POLL_FD p{0, SI_POLLIN, 0};
    int32_t err = 0, count = 0;
    if (SiPoll(&p, 1, 0, &count, &err) != SI_ENOTIMPL) return 3;
    WEQ_UC text[64];
    SiErrText(err, text, 64);
    return err == SI_ERR_NOIMPL && tovtest::ToUtf8(text) == "platform does not support a implementation" ? 0 : 4;
  });
  EXPECT_EQ(r.exit_code, 0) << r.err;
  tovtest::ChildResult fresh = tovtest::RunInChild([] {
    SiITestForgetStart();
    unsetenv("NOPOLL");
    return SiInit(nullptr) == SI_OK && SiPollAvailable() == 1 ? 0 : 1;
  });
  EXPECT_EQ(fresh.exit_code, 0);
}

// --- Options ---------------------------------------------------------------------------

struct OptCase {
  const char* name;
  int32_t family, type, level, option;
  uint32_t value;     // what is set (a byte for booleans)
  bool boolean;
  int sysLevel, sysOption;
  int sysExpect;      // what getsockopt(2) then says; -1: at least value
};

class SiOptions : public SiTest, public ::testing::WithParamInterface<OptCase> {};

TEST_P(SiOptions, SetReadBackAndSeenByTheSystem) {
  const OptCase& c = GetParam();
  Sock s(c.family, c.type);
  for (int round = 0; round < 2; ++round) {
    uint32_t value = round == 0 ? c.value : (c.boolean ? !c.value : c.value * 2);
    uint8_t b = static_cast<uint8_t>(value);
    SI_OPTVAL ov{};
    ov.pValue1 = c.boolean ? static_cast<void*>(&b) : static_cast<void*>(&value);
    ov.length1 = c.boolean ? 1 : 4;
    ASSERT_EQ(SiSetSockOpt(s.get(), c.level, c.option, &ov), SI_OK) << c.name << " " << s->sysErr;
    int sys = 0;
    socklen_t len = sizeof(sys);
    ASSERT_EQ(getsockopt(s->socketNo, c.sysLevel, c.sysOption, &sys, &len), 0);
    int want = round == 0 ? c.sysExpect : (c.boolean ? (c.sysExpect != 0 ? 0 : 1) : -1);
    if (want == -1) {
      EXPECT_GE(static_cast<uint32_t>(sys), value) << c.name;
    } else {
      EXPECT_EQ(sys, want) << c.name;
    }
    uint32_t back = 0xFFFFFFFF;
    uint8_t bback = 0xFF;
    SI_OPTVAL get{};
    get.pValue1 = c.boolean ? static_cast<void*>(&bback) : static_cast<void*>(&back);
    get.length1 = c.boolean ? 1 : 4;
    ASSERT_EQ(SiGetSockOpt(s.get(), c.level, c.option, &get), SI_OK) << c.name;
    if (c.boolean) {
      EXPECT_EQ(bback, value != 0 ? 1 : 0) << c.name;
    } else {
      EXPECT_EQ(back, static_cast<uint32_t>(sys)) << c.name;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, SiOptions,
    ::testing::Values(
        OptCase{"TcpNoDelay", SI_AF_INET, SI_SOCK_STREAM, SI_IPPROTO_TCP, SI_TCP_NODELAY, 1, true, IPPROTO_TCP,
                TCP_NODELAY, 1},
        OptCase{"ReuseAddress", SI_AF_INET6, SI_SOCK_STREAM, SI_SOL_SOCKET, SI_SO_REUSEADDR, 1, true, SOL_SOCKET,
                SO_REUSEADDR, 1},
        OptCase{"ExclusiveUseIsNoReuse", SI_AF_INET, SI_SOCK_STREAM, SI_SOL_SOCKET, SI_SO_EXCLUSIVEADDRUSE, 1, true,
                SOL_SOCKET, SO_REUSEADDR, 0},
        OptCase{"KeepAlive", SI_AF_INET, SI_SOCK_STREAM, SI_SOL_SOCKET, SI_SO_KEEPALIVE, 1, true, SOL_SOCKET,
                SO_KEEPALIVE, 1},
        OptCase{"V6Only", SI_AF_INET6, SI_SOCK_STREAM, SI_IPPROTO_IPV6, SI_IPV6_V6ONLY, 1, true, IPPROTO_IPV6,
                IPV6_V6ONLY, 1},
        OptCase{"MulticastLoop", SI_AF_INET, SI_SOCK_DGRAM, SI_IPPROTO_IP, SI_IP_MULTICAST_LOOP, 0, true, IPPROTO_IP,
                IP_MULTICAST_LOOP, 0},
        OptCase{"MulticastLoop6", SI_AF_INET6, SI_SOCK_DGRAM, SI_IPPROTO_IPV6, SI_IP_MULTICAST_LOOP, 0, true,
                IPPROTO_IPV6, IPV6_MULTICAST_LOOP, 0},
        OptCase{"MulticastTtl", SI_AF_INET, SI_SOCK_DGRAM, SI_IPPROTO_IP, SI_IP_MULTICAST_TTL, 7, false, IPPROTO_IP,
                IP_MULTICAST_TTL, 7},
        OptCase{"MulticastHops", SI_AF_INET6, SI_SOCK_DGRAM, SI_IPPROTO_IPV6, SI_IP_MULTICAST_TTL, 9, false,
                IPPROTO_IPV6, IPV6_MULTICAST_HOPS, 9},
        // The system doubles buffer sizes for its bookkeeping.
        OptCase{"ReceiveBuffer", SI_AF_INET, SI_SOCK_STREAM, SI_SOL_SOCKET, SI_SO_RCVBUF, 20000, false, SOL_SOCKET,
                SO_RCVBUF, 40000},
        OptCase{"SendBuffer", SI_AF_INET6, SI_SOCK_STREAM, SI_SOL_SOCKET, SI_SO_SNDBUF, 30000, false, SOL_SOCKET,
                SO_SNDBUF, 60000},
        OptCase{"ReceiveLowWater", SI_AF_INET, SI_SOCK_STREAM, SI_SOL_SOCKET, SI_SO_RCVLOWAT, 3, false, SOL_SOCKET,
                SO_RCVLOWAT, 3}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SiTest, LingerIsAByteFlagAndASixteenBitTime) {
  Sock s(SI_AF_INET, SI_SOCK_STREAM);
  uint8_t on = 1;
  uint16_t secs = 300;
  SI_OPTVAL ov{};
  ov.pValue1 = &on;
  ov.pLingerTime = &secs;
  ASSERT_EQ(SiSetSockOpt(s.get(), SI_SOL_SOCKET, SI_SO_LINGER, &ov), SI_OK);
  linger l{};
  socklen_t len = sizeof(l);
  ASSERT_EQ(getsockopt(s->socketNo, SOL_SOCKET, SO_LINGER, &l, &len), 0);
  EXPECT_EQ(l.l_onoff, 1);
  EXPECT_EQ(l.l_linger, 300);
  uint8_t gotOn = 0xEE;
  uint16_t gotSecs = 0;
  SI_OPTVAL get{};
  get.pValue1 = &gotOn;
  get.pLingerTime = &gotSecs;
  ASSERT_EQ(SiGetSockOpt(s.get(), SI_SOL_SOCKET, SI_SO_LINGER, &get), SI_OK);
  EXPECT_EQ(gotOn, 1);
  EXPECT_EQ(gotSecs, 300);
}

TEST_F(SiTest, OptionLengthsAreCheckedBeforeTheSystemIsAsked) {
  Sock u(SI_AF_INET, SI_SOCK_DGRAM);
  Sock u6(SI_AF_INET6, SI_SOCK_DGRAM);
  uint32_t v4 = 0, ifc = 0;
  WEQ_RAW group[16] = {0xff, 0x02};
  struct Row {
    SI_SOCKET* s;
    int32_t level, option;
    SI_OPTVAL ov;
    bool set;
  };
  std::vector<Row> rows = {
      {u.get(), SI_IPPROTO_IP, SI_IP_MULTICAST_IF, {&v4, {3}, nullptr, 0}, true},
      {u.get(), SI_IPPROTO_IP, SI_IP_MULTICAST_IF, {&v4, {2}, nullptr, 0}, false},
      {u.get(), SI_IPPROTO_IP, SI_IP_ADD_MEMBERSHIP, {&v4, {4}, &ifc, 3}, true},
      {u.get(), SI_IPPROTO_IP, SI_IP_DROP_MEMBERSHIP, {&v4, {4}, &ifc, 2}, false},
      {u6.get(), SI_IPPROTO_IPV6, SI_IP_ADD_MEMBERSHIP, {group, {15}, &ifc, 4}, true},
      {u6.get(), SI_IPPROTO_IPV6, SI_IP_DROP_MEMBERSHIP, {group, {8}, &ifc, 4}, false},
      {u.get(), SI_SOL_SOCKET, SI_SO_KEEPALIVE, {&v4, {4}, nullptr, 0}, true},
      {u.get(), SI_SOL_SOCKET, SI_SO_SNDBUF, {&v4, {1}, nullptr, 0}, true},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    Row& r = rows[i];
    r.s->sysErr = 0;
    SI_RC rc = r.set ? SiSetSockOpt(r.s, r.level, r.option, &r.ov) : SiGetSockOpt(r.s, r.level, r.option, &r.ov);
    EXPECT_EQ(rc, SI_EINTERN) << "row " << i;
    EXPECT_EQ(r.s->sysErr, SI_ERR_INTERNAL) << "row " << i;
  }
}

TEST_F(SiTest, CloseOnExecAndBlockingModeAreSeenByTheSystem) {
  Sock s(SI_AF_INET, SI_SOCK_STREAM);
  EXPECT_EQ(SiSetCloseExec(s.get(), 0), SI_OK);
  EXPECT_EQ(fcntl(s->socketNo, F_GETFD) & FD_CLOEXEC, 0);
  EXPECT_EQ(SiSetCloseExec(s.get(), 1), SI_OK);
  EXPECT_NE(fcntl(s->socketNo, F_GETFD) & FD_CLOEXEC, 0);
  EXPECT_EQ(SiSetBlockMode(s.get(), 0), SI_OK);
  EXPECT_NE(fcntl(s->socketNo, F_GETFL) & O_NONBLOCK, 0);
  EXPECT_EQ(SiSetBlockMode(s.get(), 2), SI_OK);  // anything but 1 is non-blocking
  EXPECT_NE(fcntl(s->socketNo, F_GETFL) & O_NONBLOCK, 0);
  EXPECT_EQ(SiSetBlockMode(s.get(), 1), SI_OK);
  EXPECT_EQ(fcntl(s->socketNo, F_GETFL) & O_NONBLOCK, 0);
  SI_SOCKET gone = Rec(1 << 20);
  EXPECT_EQ(SiSetCloseExec(&gone, 1), SI_EINVAL_SOCK);
  EXPECT_EQ(gone.sysErr, EBADF);
  EXPECT_EQ(SiSetBlockMode(&gone, 1), SI_EINVAL_SOCK);
}

TEST_F(SiTest, DatagramsCarryTheirSendersAddress) {
  for (int32_t fam : {SI_AF_INET, SI_AF_INET6}) {
    Sock a(fam, SI_SOCK_DGRAM), b(fam, SI_SOCK_DGRAM);
    std::string lo = Loop(fam);
    uint16_t zero = 0, pa = 0, pb = 0;
    ASSERT_EQ(SiBind(a.get(), Raw(lo), static_cast<uint32_t>(lo.size()), &zero), SI_OK);
    ASSERT_EQ(SiBind(b.get(), nullptr, 0, nullptr), SI_OK);
    ASSERT_EQ(SiGetSockName(a.get(), nullptr, 0, &pa), SI_OK);
    ASSERT_EQ(SiGetSockName(b.get(), nullptr, 0, &pb), SI_OK);
    uint32_t sent = 0;
    ASSERT_EQ(SiSendTo(b.get(), "dgram", 5, 0, Raw(lo), static_cast<uint32_t>(lo.size()), &pa, &sent), SI_OK);
    EXPECT_EQ(sent, 5u);
    ASSERT_EQ(SiPeek(a.get(), SI_PEEK_READ, 2000), SI_OK);
    char buf[16];
    WEQ_RAW from[16] = {};
    uint16_t fromPort = 0;
    uint32_t got = 0;
    ASSERT_EQ(SiRecvFrom(a.get(), buf, sizeof(buf), 0, from, 16, &fromPort, &got), SI_OK);
    EXPECT_EQ(std::string(buf, got), "dgram");
    EXPECT_EQ(memcmp(from, lo.data(), lo.size()), 0);
    EXPECT_EQ(fromPort, pb);
    // A short address buffer is refused before the system is asked.
    EXPECT_EQ(SiRecvFrom(a.get(), buf, sizeof(buf), 0, from, static_cast<uint32_t>(lo.size()) - 1, &fromPort, &got),
              SI_EINTERN);
    EXPECT_EQ(a->sysErr, SI_ERR_INTERNAL);
  }
}

// --- Texts -----------------------------------------------------------------------------

TEST(SiTexts, ErrorTextsPrivateAndSystemAndTheBufferBounds) {
  WEQ_UC buf[128];
  EXPECT_EQ(tovtest::ToUtf8(SiErrText(2048, buf, 128)), "protocol family not supported");
  EXPECT_EQ(tovtest::ToUtf8(SiErrText(2049, buf, 128)), "protocol level or option not supported");
  EXPECT_EQ(tovtest::ToUtf8(SiErrText(2050, buf, 128)),
            "unexpected value retured from system call, which cause invalid internal status");
  // Other numbers are the system's texts as the error information has them.
  WEQ_UC ref[128];
  EXPECT_EQ(tovtest::ToUtf8(SiErrText(ECONNREFUSED, buf, 128)), tovtest::ToUtf8(ErrGetSysTxt(ECONNREFUSED, ref, 128)));
  EXPECT_NE(tovtest::ToUtf8(buf).find("ECONNREFUSED"), std::string::npos);
  // Cut to length - 1 and terminated; length 0 touches nothing.
  WEQ_UC small[8];
  for (WEQ_UC& u : small) u = u'#';
  SiErrText(2048, small + 1, 5);
  EXPECT_EQ(tovtest::ToUtf8(small + 1), "prot");
  EXPECT_EQ(small[0], u'#');
  EXPECT_EQ(small[6], u'#');
  struct {
    WEQ_UC before = u'#';
    WEQ_UC cell = u'#';
    WEQ_UC after = u'#';
  } guard;
  EXPECT_EQ(SiErrText(2048, &guard.cell, 0), &guard.cell);
  EXPECT_EQ(guard.before, u'#');
  EXPECT_EQ(guard.cell, u'#');
  EXPECT_EQ(SiErrText(2048, nullptr, 10), nullptr);
}

TEST(SiTexts, FunctionIdsNameTheirOperationsAndSystemCalls) {
  struct Row {
    uint16_t id;
    const char* name;
    const char* call;
  } rows[] = {{0, "(none)", "(none)"},  {1, "SiInit", "TcpipInit"},       {3, "SiSocket", "WSASocket, socket"},
              {9, "SiBind2", "bind"},   {16, "SiSendV", "WSASend"},        {20, "SiSendMsg2", "send, WSASend, sendto"},
              {37, "SiGetBlockMode", "(none)"}, {41, "SiSelect", "select"}, {44, "SiPeekPendConn", "select, getsockopt"},
              {46, "SiRecvSocket", "recv, WSASocket, SetHandleInformation"}};
  for (const Row& r : rows) {
    EXPECT_EQ(tovtest::ToUtf8(SiFuncName(r.id)), r.name);
    EXPECT_EQ(tovtest::ToUtf8(SiSysCallName(r.id)), r.call);
  }
  EXPECT_EQ(SiSysCallName(47), nullptr);
  EXPECT_EQ(SiFuncName(0xFFFF), nullptr);
  for (uint16_t id = 1; id < SI_FN_COUNT; ++id) {
    EXPECT_EQ(tovtest::ToUtf8(SiFuncName(id)).rfind("Si", 0), 0u) << id;
  }
}

// --- The seam ------------------------------------------------------------------------

TEST_F(SiTest, SeamGivesTheArmedFailureForTheNextCallsAndCountsEveryCall) {
  Sock c(SI_AF_INET, SI_SOCK_STREAM);
  uint16_t port = SiHtons(peers::FreePort(AF_INET));
  SiITestFail(SI_FN_CONNECT, 3, SI_EPORT_INUSE, EADDRINUSE);
  for (int i = 0; i < 3; ++i) {
    c->sysErr = 0;
    EXPECT_EQ(SiConnect(c.get(), Raw(Loop(SI_AF_INET)), 4, &port), SI_EPORT_INUSE);
    EXPECT_EQ(c->sysErr, EADDRINUSE);
  }
  EXPECT_EQ(SiConnect(c.get(), Raw(Loop(SI_AF_INET)), 4, &port), SI_ECONN_REFUSE);
  EXPECT_EQ(SiITestCalls(SI_FN_CONNECT), 4u);
  SiITestFail(SI_FN_SELECT, 1, SI_EINTR, EINTR);
  int32_t err = 0;
  SiFdMask<1> r;
  SiFdSet(c.get(), r, 1);
  EXPECT_EQ(SiSelect(0, r, nullptr, nullptr, 0, nullptr, &err), SI_EINTR);
  EXPECT_EQ(err, EINTR);
  SiITestFail(SI_FN_SENDV, 1, SI_EMEMORY, SI_ERR_INTERNAL);
  SI_IOVEC v{"x", 1};
  EXPECT_EQ(SiSendV(c.get(), &v, 1, nullptr), SI_EMEMORY);
  EXPECT_EQ(c->sysErr, SI_ERR_INTERNAL);
}

}  // namespace
