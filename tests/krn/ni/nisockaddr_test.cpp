// Node addresses in and out of the socket layer's address form over real
// loopback sockets (compared with getsockname and getpeername), and the
// address trace lines of sockets and handles.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "krn/dptrc/err.h"
#include "krn/dptrc/trc_checker.h"
#include "krn/ni/niaddr_int.h"
#include "krn/ni/nisockaddr_int.h"
#include "support/testsupport.h"

using tovtest::ToUtf8;

namespace {

std::u16string Descr() { return ErrGetFld(ERR_FLD_ERROR); }

// A connected pair on the loopback of one family; fds closed at the end.
struct Pair {
  explicit Pair(int family) : family(family) {
    sockaddr_storage ss{};
    socklen_t len = family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
    ss.ss_family = static_cast<sa_family_t>(family);
    if (family == AF_INET) {
      reinterpret_cast<sockaddr_in*>(&ss)->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    } else {
      reinterpret_cast<sockaddr_in6*>(&ss)->sin6_addr = in6addr_loopback;
    }
    lis = socket(family, SOCK_STREAM, 0);
    if (bind(lis, reinterpret_cast<sockaddr*>(&ss), len) != 0 || listen(lis, 1) != 0) return;
    getsockname(lis, reinterpret_cast<sockaddr*>(&ss), &len);
    cli = socket(family, SOCK_STREAM, 0);
    if (connect(cli, reinterpret_cast<sockaddr*>(&ss), len) != 0) return;
    srv = accept(lis, nullptr, nullptr);
  }
  ~Pair() {
    for (int fd : {lis, cli, srv})
      if (fd >= 0) close(fd);
  }
  uint16_t Port(int fd, bool peer) const {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    peer ? getpeername(fd, reinterpret_cast<sockaddr*>(&ss), &len)
         : getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len);
    return family == AF_INET ? reinterpret_cast<sockaddr_in*>(&ss)->sin_port
                             : reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port;
  }
  SI_SOCKET Record(int fd) const {
    return SI_SOCKET{fd, family == AF_INET ? SI_AF_INET : SI_AF_INET6, SI_SOCK_STREAM, 0};
  }
  int family, lis = -1, cli = -1, srv = -1;
};

NI_NODEADDR Loop(int family) {
  NI_NODEADDR a{};
  if (family == AF_INET) return NiIPv4ToAddr(htonl(INADDR_LOOPBACK));
  a.addr[15] = 1;
  return a;
}

TEST(NiSockAddr, MakeForEachFamily) {
  NITAB hdl{};
  hdl.mHdl = 7;
  SI_SOCKET v4{11, SI_AF_INET, SI_SOCK_STREAM, 0}, v6{12, SI_AF_INET6, SI_SOCK_STREAM, 0},
      uds{13, SI_AF_UNIX, SI_SOCK_STREAM, 0};
  NI_NODEADDR mapped = NiIPv4ToAddr(htonl(0x0A010203)), six{};
  six.addr[0] = 0x20;
  six.addr[1] = 0x01;
  six.addr[15] = 9;
  WEQ_RAW raw[16];
  uint32_t len = 0;
  ASSERT_EQ(NiIMakeSockAddr(&hdl, &v4, &mapped, htons(3300), raw, &len), WEQ_O_K);
  EXPECT_EQ(len, 4u);
  EXPECT_EQ(memcmp(raw, mapped.addr + 12, 4), 0);
  NiIPProtoUsage.store(2);
  EXPECT_EQ(NiIMakeSockAddr(&hdl, &v4, &six, 0, raw, &len), NIEINVAL);
  EXPECT_EQ(Descr(),
            u"NiIMakeSockAddr: IPv6 address '2001::9' not supported by hdl 7 with AF_INET sock 11 "
            u"(probably IPv6 not enabled (IPv4))");
  ASSERT_EQ(NiIMakeSockAddr(&hdl, &v6, &six, 0, raw, &len), WEQ_O_K);
  EXPECT_EQ(len, 16u);
  EXPECT_EQ(memcmp(raw, six.addr, 16), 0);
  {
    trccheck::TraceFile trace(1);
    NI_NODEADDR any = NiIPv4ToAddr(0);
    ASSERT_EQ(NiIMakeSockAddr(&hdl, &v6, &any, 0, raw, &len), WEQ_O_K);
    EXPECT_NE(trace.Read().find("NiIMakeSockAddr: probably requested address 0.0.0.0 can't be assign to IPv6 "
                                "socket (hdl 7/sock 12; NI_USE_IP_PROTO=IPv4)"),
              std::string::npos);
  }
  EXPECT_EQ(NiIMakeSockAddr(&hdl, &uds, &mapped, 0, raw, &len), NIEINVAL);
  EXPECT_EQ(Descr(), u"NiIMakeSockAddr: invalid family 1 for hdl 7/sock 13");
  NiIPProtoUsage.store(0);
}

TEST(NiSockAddr, ByteOrderTracedOnceInTheProcess) {
  tovtest::ChildResult r = tovtest::RunInChild([] {
    CTrcLevel.store(2);
    NiIResetByteOrderTrace();
    NI_NODEADDR a = NiIPv4ToAddr(0x01020304);
    SI_SOCKET s{3, SI_AF_INET, SI_SOCK_STREAM, 0};
    WEQ_RAW raw[16];
    uint32_t len;
    NiIMakeSockAddr(nullptr, &s, &a, 0, raw, &len);
    NiIMakeSockAddr(nullptr, &s, &a, 0, raw, &len);
    return 0;
  });
  std::string line = "NiITraceByteOrder: CPU byte order: little endian, reverse network, low val .. high val";
  size_t at = r.err.find(line);
  EXPECT_NE(at, std::string::npos) << r.err;
  EXPECT_EQ(r.err.find(line, at + 1), std::string::npos);
}

TEST(NiSockAddr, SolveAsksTheSocketsOwnAndPeerNames) {
  for (int family : {AF_INET, AF_INET6}) {
    SCOPED_TRACE(family);
    Pair p(family);
    ASSERT_GE(p.srv, 0);
    SI_SOCKET cli = p.Record(p.cli);
    NI_NODEADDR a;
    uint16_t port = 0;
    WEQ_UC path[8] = u"x";
    ASSERT_EQ(NiISolveSockAddr(nullptr, &cli, nullptr, 0, 1, 1, &a, &port, path), WEQ_O_K);
    EXPECT_EQ(memcmp(a.addr, Loop(family).addr, 16), 0);
    EXPECT_EQ(port, p.Port(p.cli, false));
    EXPECT_EQ(path[0], 0);
    ASSERT_EQ(NiISolveSockAddr(nullptr, &cli, nullptr, 0, 1, 0, &a, &port, nullptr), WEQ_O_K);
    EXPECT_EQ(port, p.Port(p.cli, true));
    // Without asking, the given address bytes are solved.
    WEQ_RAW raw[16];
    NI_NODEADDR loop = Loop(family);
    if (family == AF_INET) {
      memcpy(raw, loop.addr + 12, 4);
    } else {
      memcpy(raw, loop.addr, 16);
    }
    ASSERT_EQ(NiISolveSockAddr(nullptr, &cli, raw, htons(77), 0, 0, &a, &port, nullptr), WEQ_O_K);
    EXPECT_EQ(memcmp(a.addr, Loop(family).addr, 16), 0);
    EXPECT_EQ(ntohs(port), 77);
  }
  // A socket that is gone: the reporter's code.
  SI_SOCKET gone{9999, SI_AF_INET, SI_SOCK_STREAM, 0};
  NI_NODEADDR a;
  uint16_t port;
  NI_RC rc = NiISolveSockAddr(nullptr, &gone, nullptr, 0, 1, 1, &a, &port, nullptr);
  EXPECT_LT(rc, 0);
  EXPECT_EQ(std::u16string(ErrGetFld(ERR_FLD_COMPONENT)), u"NI (network interface)");
}

TEST(NiSockAddr, TraceLinesWithAddressesAndNames) {
  for (int family : {AF_INET, AF_INET6}) {
    SCOPED_TRACE(family);
    Pair p(family);
    ASSERT_GE(p.srv, 0);
    SI_SOCKET cli = p.Record(p.cli);
    std::string addr = family == AF_INET ? "127.0.0.1:" : "::1.";
    std::string peer = addr + std::to_string(ntohs(p.Port(p.cli, true)));
    std::string mine = addr + std::to_string(ntohs(p.Port(p.cli, false)));
    trccheck::TraceFile trace(2);
    NiITraceSockAddr(nullptr, &cli, nullptr, 0, 1, 0, 0, 2, u"%s: connected to %%s (hdl %d)\n", u"NiIConnect",
                     3);
    NiITraceSockAddr(nullptr, &cli, nullptr, 0, 1, 1, 1, 2, u"local %%s\n");
    NITAB hdl{};
    hdl.mHdl = 4;
    hdl.con.mSocket = cli;
    hdl.con.mPeerAddr = Loop(family);
    hdl.con.mPeerServNo = htons(3300);
    NiITracePeerAddr(&hdl, 0, 0, 0, 2, u"peer %%s of %d\n", 4);
    NiITracePeerAddr(&hdl, 0, 0, 1, 3, u"not at level 2 %%s\n");
    SI_SOCKET uds{5, SI_AF_UNIX, SI_SOCK_STREAM, 0};
    NiITraceSockAddr(nullptr, &uds, nullptr, htons(3201), 0, 0, 0, 2, u"uds %%s\n");
    std::string t = trace.Read();
    EXPECT_NE(t.find("NiIConnect: connected to " + peer + " (hdl 3)\n"), std::string::npos) << t;
    // Names from the caches in buffer-only mode: none cached, so the
    // address and port texts stand in.
    EXPECT_NE(t.find("local " + mine + "\n"), std::string::npos) << t;
    EXPECT_NE(t.find("peer " + addr + "3300 of 4\n"), std::string::npos) << t;
    EXPECT_EQ(t.find("not at level 2"), std::string::npos);
    EXPECT_NE(t.find("uds UDS addr (3201)\n"), std::string::npos) << t;
  }
}

}  // namespace
