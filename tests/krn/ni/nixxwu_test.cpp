// Wakeup servers and datagram handles over loopback: a thread blocked in a
// select set that holds the server wakes on a client's send and the message arrives intact;
// the server's socket is checked against the system (UDP, loopback, port
// search without SO_REUSEADDR); a closed server lives until its last client
// detaches; strangers' datagrams are dropped; argument refusals; datagram
// handles against raw UDP peers on 127.0.0.1 and, in a namespace of the
// test's own, on ::1. No record or descriptor is left behind.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <future>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "krn/dptrc/err.h"
#include "krn/dptrc/trc_checker.h"
#include "krn/ni/ni.h"
#include "krn/ni/niaddr_int.h"
#include "krn/ni/nixx_int.h"
#include "krn/ni/nixxwu_int.h"
#include "krn/si/si.h"
#include "krn/thr/thr.h"
#include "peers/netns.h"
#include "peers/peers.h"
#include "support/testsupport.h"

namespace {

using Clock = std::chrono::steady_clock;
using tovtest::ToUtf8;

std::string Fld(int f) { return ToUtf8(ErrGetFld(f)); }

int32_t SockOf(NI_HDL h) {
  int32_t fd = -1;
  NiHdlToSock(h, &fd);
  return fd;
}

int IntOpt(int fd, int level, int opt) {
  int v = -1;
  socklen_t len = sizeof v;
  if (getsockopt(fd, level, opt, &v, &len) != 0) return -2;
  return v;
}

// Address text and port (host order) of a descriptor's own or peer name.
std::pair<std::string, uint16_t> Name(int fd, bool peer) {
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  if ((peer ? getpeername(fd, reinterpret_cast<sockaddr*>(&ss), &len)
            : getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len)) != 0) {
    return {"", 0};
  }
  char text[INET6_ADDRSTRLEN] = {};
  if (ss.ss_family == AF_INET) {
    auto* a = reinterpret_cast<sockaddr_in*>(&ss);
    inet_ntop(AF_INET, &a->sin_addr, text, sizeof text);
    return {text, ntohs(a->sin_port)};
  }
  auto* a = reinterpret_cast<sockaddr_in6*>(&ss);
  inet_ntop(AF_INET6, &a->sin6_addr, text, sizeof text);
  return {text, ntohs(a->sin6_port)};
}

// A raw UDP socket of family bound to its loopback address, any port.
peers::Fd RawUdp(int family) {
  peers::Fd fd(socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_storage ss{};
  socklen_t len = peers::LoopbackAddr(family, 0, &ss);
  if (bind(fd.get(), reinterpret_cast<sockaddr*>(&ss), len) != 0) return peers::Fd();
  return fd;
}

bool SendRaw(int fd, int family, uint16_t port, const std::string& data) {
  sockaddr_storage ss{};
  socklen_t len = peers::LoopbackAddr(family, port, &ss);
  return sendto(fd, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&ss), len) ==
         static_cast<ssize_t>(data.size());
}

// Waits up to ms for the server's socket to become readable.
bool ServerReadable(NI_WAKEUP_SERVER* srv, int ms) {
  return peers::WaitReadable(SockOf(NiWakeupGetNiHdl(srv)), ms);
}

// A 24-byte wakeup message naming its sender and sequence.
std::string Message(int sender, int seq) {
  char m[25];
  snprintf(m, sizeof m, "WAKE-%04d-%06d-%07d", sender, seq, sender * 1000 + seq);
  return std::string(m, 24);
}

// Collects one message, waiting up to ms for one to arrive.
NI_RC Collect(NI_WAKEUP_SERVER* srv, std::string* out, int ms) {
  char buf[64];
  uint32_t got = 0;
  NI_RC rc = NiWakeupCollect2(srv, buf, sizeof buf, &got);
  auto end = Clock::now() + std::chrono::milliseconds(ms);
  while (rc == NIETIMEOUT && Clock::now() < end) {
    ServerReadable(srv, 50);
    rc = NiWakeupCollect2(srv, buf, sizeof buf, &got);
  }
  if (rc == WEQ_O_K) out->assign(buf, got);
  return rc;
}

class NiWakeup : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(ThrProcInit(), THR_ERR_OK);
    ASSERT_EQ(NiInit3(64), WEQ_O_K);
    freeBefore_ = NiIFreeHandles();
    fdsBefore_ = peers::OpenFdCount();
  }
  void TearDown() override { NiExit(); }
  // No record and no descriptor of the test's NI work left open.
  void ExpectNothingLeft() {
    EXPECT_EQ(NiIFreeHandles(), freeBefore_);
    EXPECT_EQ(peers::OpenFdCount(), fdsBefore_);
  }
  int32_t freeBefore_ = 0;
  int fdsBefore_ = 0;
};

TEST_F(NiWakeup, TheServerIsAUdpSocketOnLoopbackFromThePortSearch) {
  NI_WAKEUP_SERVER* srv = nullptr;
  ASSERT_EQ(NiWakeupOpen(&srv), WEQ_O_K);
  ASSERT_NE(srv, nullptr);
  int fd = SockOf(NiWakeupGetNiHdl(srv));
  ASSERT_GE(fd, 0);
  EXPECT_EQ(IntOpt(fd, SOL_SOCKET, SO_TYPE), SOCK_DGRAM);
  // The search switches SO_REUSEADDR off: otherwise a second UDP socket
  // that sets it could share the port.
  EXPECT_EQ(IntOpt(fd, SOL_SOCKET, SO_REUSEADDR), 0);
  auto [addr, port] = Name(fd, false);
  EXPECT_EQ(addr, "127.0.0.1");
  EXPECT_GE(port, 10000);
  EXPECT_LE(port, 65000);
  peers::Fd other(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  int on = 1;
  setsockopt(other.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_storage ss{};
  socklen_t len = peers::LoopbackAddr(AF_INET, port, &ss);
  EXPECT_NE(bind(other.get(), reinterpret_cast<sockaddr*>(&ss), len), 0);
  other.Reset();

  NI_WAKEUP_CLIENT* cli = nullptr;
  ASSERT_EQ(NiWakeupAttach(srv, &cli), WEQ_O_K);
  int cfd = cli->mHdl->con.mSocket.socketNo;
  EXPECT_EQ(IntOpt(cfd, SOL_SOCKET, SO_TYPE), SOCK_DGRAM);
  EXPECT_EQ(Name(cfd, true), std::make_pair(std::string("127.0.0.1"), port));
  EXPECT_EQ(ntohs(cli->mPort), Name(cfd, false).second);
  EXPECT_EQ(cli->mHdl->mType.load(), NI_DG_CONNECTED);
  EXPECT_EQ(srv->mHdl.load()->mType.load(), NI_DG_UNCONNECTED);
  EXPECT_EQ(NiWakeupDetach(&cli), WEQ_O_K);
  EXPECT_EQ(cli, nullptr);
  EXPECT_EQ(NiWakeupClose(&srv), WEQ_O_K);
  EXPECT_EQ(srv, nullptr);
  ExpectNothingLeft();
}

TEST_F(NiWakeup, ABlockedWaiterWakesOnExecAndCollectsTheMessageIntact) {
  NI_WAKEUP_SERVER* srv = nullptr;
  ASSERT_EQ(NiWakeupOpen(&srv), WEQ_O_K);
  NI_WAKEUP_CLIENT* cli = nullptr;
  ASSERT_EQ(NiWakeupAttach(srv, &cli), WEQ_O_K);
  const NI_HDL wake = NiWakeupGetNiHdl(srv);
  struct Woke {
    NI_RC select;
    NI_HDL next;
    uint8_t read;
    Clock::time_point at;
  };
  std::promise<void> waiting;
  std::promise<Woke> woke;
  std::thread waiter([&] {
    // The set belongs to the thread that waits on it.
    NISEL* set = nullptr;
    NiSelNewSet2(&set, 4);
    NiSelSet(set, wake, NI_READ, nullptr);
    waiting.set_value();
    NI_RC rc = NiSelSelect(set, NI_BLOCK);  // without limit
    Clock::time_point at = Clock::now();
    uint8_t rd = 0;
    NI_HDL h = NiSelNext(set, &rd, nullptr, nullptr, nullptr);
    woke.set_value({rc, h, rd, at});
    delete set;
  });
  waiting.get_future().wait();
  // The waiter is blocked: nothing is readable yet.
  auto result = woke.get_future();
  EXPECT_EQ(result.wait_for(std::chrono::milliseconds(20)), std::future_status::timeout);
  std::string msg = Message(1, 1);
  Clock::time_point sent = Clock::now();
  ASSERT_EQ(NiWakeupExec2(cli, msg.data(), 24), WEQ_O_K);
  ASSERT_EQ(result.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  Woke w = result.get();
  waiter.join();
  EXPECT_EQ(w.select, WEQ_O_K);
  EXPECT_EQ(w.next, wake);
  EXPECT_EQ(w.read, 1);
  EXPECT_LT(w.at - sent, std::chrono::milliseconds(50));
  std::string got;
  ASSERT_EQ(Collect(srv, &got, 0), WEQ_O_K);
  EXPECT_EQ(got, msg);
  // Nothing else is pending, and asking returns at once.
  char buf[24];
  Clock::time_point t0 = Clock::now();
  EXPECT_EQ(NiWakeupCollect2(srv, buf, sizeof buf, nullptr), NIETIMEOUT);
  EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(50));
  EXPECT_EQ(NiWakeupDetach(&cli), WEQ_O_K);
  EXPECT_EQ(NiWakeupClose(&srv), WEQ_O_K);
  ExpectNothingLeft();
}

TEST_F(NiWakeup, SeveralClientsOnSeveralThreadsDeliverEveryMessageOnce) {
  constexpr int kThreads = 4, kEach = 25;
  NI_WAKEUP_SERVER* srv = nullptr;
  ASSERT_EQ(NiWakeupOpen(&srv), WEQ_O_K);
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  // Clients stay attached until everything is collected: datagrams of a
  // client that has left are dropped.
  std::promise<void> collected;
  std::shared_future<void> done = collected.get_future().share();
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      NI_WAKEUP_CLIENT* cli = nullptr;
      if (NiWakeupAttach(srv, &cli) != WEQ_O_K) {
        failures.fetch_add(1);
        return;
      }
      for (int i = 0; i < kEach; ++i) {
        std::string m = Message(t, i);
        if (NiWakeupExec2(cli, m.data(), 24) != WEQ_O_K) failures.fetch_add(1);
      }
      done.wait_for(std::chrono::seconds(20));
      if (NiWakeupDetach(&cli) != WEQ_O_K) failures.fetch_add(1);
    });
  }
  std::multiset<std::string> got;
  for (int i = 0; i < kThreads * kEach; ++i) {
    std::string m;
    NI_RC rc = Collect(srv, &m, 2000);
    EXPECT_EQ(rc, WEQ_O_K) << i;
    if (rc != WEQ_O_K) break;
    got.insert(m);
  }
  collected.set_value();
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
  std::multiset<std::string> want;
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kEach; ++i) want.insert(Message(t, i));
  }
  EXPECT_EQ(got, want);
  EXPECT_EQ(srv->mClients, 0);
  EXPECT_TRUE(srv->mClientPorts.empty());
  EXPECT_EQ(NiWakeupClose(&srv), WEQ_O_K);
  ExpectNothingLeft();
}

TEST_F(NiWakeup, AClosedServerLivesUntilItsLastClientDetaches) {
  NI_WAKEUP_SERVER* srv = nullptr;
  ASSERT_EQ(NiWakeupOpen(&srv), WEQ_O_K);
  NI_WAKEUP_SERVER* kept = srv;
  int port = ntohs(srv->mPort);
  NI_WAKEUP_CLIENT *a = nullptr, *b = nullptr, *c = nullptr;
  ASSERT_EQ(NiWakeupAttach(srv, &a), WEQ_O_K);
  ASSERT_EQ(NiWakeupAttach(srv, &b), WEQ_O_K);
  std::vector<trccheck::Line> lines;
  {
    trccheck::TraceFile trace{2};
    EXPECT_EQ(NiWakeupClose(&srv), WEQ_O_K);
    EXPECT_EQ(srv, nullptr);
    // The record lives on for its clients: a send is refused without being
    // made, and so is a new client.
    std::string m = Message(9, 9);
    EXPECT_EQ(NiWakeupExec2(a, m.data(), 24), NIECONN_BROKEN);
    EXPECT_EQ(NiWakeupAttach(kept, &c), NIECONN_BROKEN);
    EXPECT_EQ(c, nullptr);
    EXPECT_EQ(Fld(ERR_FLD_ERROR), "NiWakeupAttach: wakeup server " + std::to_string(port) + " already closed");
    EXPECT_EQ(NiWakeupDetach(&a), WEQ_O_K);
    EXPECT_EQ(NiWakeupDetach(&b), WEQ_O_K);
    lines = trace.Body();
  }
  std::vector<std::string> want = {
      "NiWakeupClose: close wakup server " + std::to_string(port),
      "NiWakeupExec2: wakeup server " + std::to_string(port) + " already closed",
      "NiWakeupAttach: wakeup server " + std::to_string(port) + " already closed",
      "NiWakeupDetach: wakeup client detached from " + std::to_string(port) + " (1)",
      "NiWakeupDetach: last wakeup client detached from " + std::to_string(port),
  };
  std::vector<std::string> seen;
  for (const trccheck::Line& l : lines) {
    for (const std::string& w : want) {
      if (l.text == w) seen.push_back(w);
    }
  }
  EXPECT_EQ(seen, want);
  ExpectNothingLeft();
}

TEST_F(NiWakeup, CloseWithoutClientsDeletesTheServerAtOnce) {
  NI_WAKEUP_SERVER* srv = nullptr;
  ASSERT_EQ(NiWakeupOpen(&srv), WEQ_O_K);
  int port = ntohs(srv->mPort);
  std::string text;
  {
    trccheck::TraceFile trace{2};
    EXPECT_EQ(NiWakeupClose(&srv), WEQ_O_K);
    text = trace.Read();
  }
  EXPECT_NE(text.find("NiWakeupClose: delete wakup server " + std::to_string(port) + "\n"), std::string::npos);
  // No socket of this process holds the port any more. (Binding it again
  // would race with other test processes taking ephemeral ports.)
  for (int fd = 0; fd < 4096; ++fd) {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    int type = 0;
    socklen_t tlen = sizeof type;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len) != 0 || ss.ss_family != AF_INET ||
        getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &tlen) != 0 || type != SOCK_DGRAM)
      continue;
    EXPECT_NE(ntohs(reinterpret_cast<const sockaddr_in*>(&ss)->sin_port), port) << "descriptor " << fd;
  }
  ExpectNothingLeft();
}

TEST_F(NiWakeup, DatagramsOfStrangersAreDroppedAndClientsStillDelivered) {
  NI_WAKEUP_SERVER* srv = nullptr;
  ASSERT_EQ(NiWakeupOpen(&srv), WEQ_O_K);
  uint16_t port = ntohs(srv->mPort);
  NI_WAKEUP_CLIENT* cli = nullptr;
  ASSERT_EQ(NiWakeupAttach(srv, &cli), WEQ_O_K);
  peers::Fd stranger = RawUdp(AF_INET);
  ASSERT_TRUE(stranger.valid());
  std::string forged = Message(66, 66);
  {
    trccheck::TraceFile trace{1};
    ASSERT_TRUE(SendRaw(stranger.get(), AF_INET, port, forged));
    ASSERT_TRUE(ServerReadable(srv, 2000));
    char buf[64];
    uint32_t got = 99;
    EXPECT_EQ(NiWakeupCollect2(srv, buf, sizeof buf, &got), NIETIMEOUT);
    EXPECT_EQ(got, 99u);
    std::vector<trccheck::Line> lines = trace.Body();
    ASSERT_EQ(trccheck::Kinds(lines), "W");
    EXPECT_NE(lines[0].text.find("dropped 24 bytes from 127.0.0.1 port " + std::to_string(Name(stranger.get(), false).second)),
              std::string::npos)
        << lines[0].text;
  }
  // A stranger's datagram ahead of a client's is skipped over.
  ASSERT_TRUE(SendRaw(stranger.get(), AF_INET, port, forged));
  std::string real = Message(1, 2);
  ASSERT_EQ(NiWakeupExec2(cli, real.data(), 24), WEQ_O_K);
  std::string got;
  ASSERT_EQ(Collect(srv, &got, 2000), WEQ_O_K);
  EXPECT_EQ(got, real);
  // A flood of strangers' datagrams ends one collect after 64 of them as
  // if nothing were pending; the next one reaches the client's.
  for (int i = 0; i < 70; ++i) ASSERT_TRUE(SendRaw(stranger.get(), AF_INET, port, forged));
  std::string second = Message(1, 3);
  ASSERT_EQ(NiWakeupExec2(cli, second.data(), 24), WEQ_O_K);
  ASSERT_TRUE(ServerReadable(srv, 2000));
  EXPECT_EQ(NiWakeupCollect2(srv, &got[0], 24, nullptr), NIETIMEOUT);
  EXPECT_TRUE(ServerReadable(srv, 0));
  ASSERT_EQ(Collect(srv, &got, 2000), WEQ_O_K);
  EXPECT_EQ(got, second);
  // A detached client's port is a stranger's too: what it sent before it
  // left is dropped.
  ASSERT_EQ(NiWakeupExec2(cli, real.data(), 24), WEQ_O_K);
  ASSERT_TRUE(ServerReadable(srv, 2000));
  EXPECT_EQ(NiWakeupDetach(&cli), WEQ_O_K);
  EXPECT_EQ(NiWakeupCollect2(srv, &got[0], 24, nullptr), NIETIMEOUT);
  stranger.Reset();
  EXPECT_EQ(NiWakeupClose(&srv), WEQ_O_K);
  ExpectNothingLeft();
}

TEST_F(NiWakeup, BadArgumentsAreRefusedAndLeaveTheirPointers) {
  NI_WAKEUP_SERVER* srv = nullptr;
  ASSERT_EQ(NiWakeupOpen(&srv), WEQ_O_K);
  NI_WAKEUP_SERVER* set = srv;
  NI_WAKEUP_CLIENT* cli = nullptr;
  ASSERT_EQ(NiWakeupAttach(srv, &cli), WEQ_O_K);
  NI_WAKEUP_CLIENT* setCli = cli;
  NI_WAKEUP_CLIENT* none = nullptr;
  NI_WAKEUP_SERVER* noServer = nullptr;
  char buf[24];
  struct Case {
    const char* what;
    std::function<NI_RC()> call;
    const char* error;  // nullptr: no error information is asked for
  } cases[] = {
      {"open NULL", [] { return NiWakeupOpen(nullptr); }, "NiWakeupOpen: parameter invalid (ppServer == NULL)"},
      {"open set", [&] { return NiWakeupOpen(&set); }, "NiWakeupOpen: parameter invalid (*ppServer != NULL)"},
      {"attach NULL server", [&] { return NiWakeupAttach(nullptr, &none); }, nullptr},
      {"attach NULL pointer", [&] { return NiWakeupAttach(srv, nullptr); }, nullptr},
      {"attach set pointer", [&] { return NiWakeupAttach(srv, &setCli); }, nullptr},
      {"exec NULL", [&] { return NiWakeupExec2(nullptr, buf, 24); },
       "NiWakeupExec2: parameter invalid (pClient == NULL)"},
      {"collect NULL", [&] { return NiWakeupCollect2(nullptr, buf, 24, nullptr); },
       "NiWakeupCollect2: parameter invalid (pServer == NULL)"},
      {"detach NULL", [] { return NiWakeupDetach(nullptr); }, "NiWakeupDetach: parameter invalid (ppClient == NULL)"},
      {"detach unset", [&] { return NiWakeupDetach(&none); }, "NiWakeupDetach: parameter invalid (*ppClient == NULL)"},
      {"close NULL", [] { return NiWakeupClose(nullptr); }, "NiWakeupClose: parameter invalid (ppServer == NULL)"},
      {"close unset", [&] { return NiWakeupClose(&noServer); },
       "NiWakeupClose: parameter invalid (*ppServer == NULL)"},
      {"dg create NULL", [] { return NiDgHdlCreate(nullptr); }, "NiDgHdlCreate: parameter invalid (pHandle == NULL)"},
  };
  for (const Case& c : cases) {
    ErrClear();
    EXPECT_EQ(c.call(), NIEINVAL) << c.what;
    if (c.error != nullptr) {
      EXPECT_EQ(Fld(ERR_FLD_ERROR), c.error) << c.what;
    }
  }
  EXPECT_EQ(set, srv);
  EXPECT_EQ(setCli, cli);
  EXPECT_EQ(srv->mClients, 1);
  ErrClear();
  EXPECT_EQ(NiWakeupGetNiHdl(nullptr), NI_INVALID_HDL);
  EXPECT_EQ(Fld(ERR_FLD_ERROR), "NiWakeupGetNiHdl: parameter invalid (pServer == NULL)");
  EXPECT_EQ(Fld(ERR_FLD_RC), std::to_string(NIEINVAL));
  EXPECT_EQ(NiWakeupDetach(&cli), WEQ_O_K);
  EXPECT_EQ(NiWakeupClose(&srv), WEQ_O_K);
  ExpectNothingLeft();
}

// --- Datagram handles ----------------------------------------------------------

// Sends two datagrams from a new datagram handle to a raw UDP peer of
// family on its loopback address; 0 when the peer got both intact.
int DatagramExchange(int family) {
  peers::Fd peer = RawUdp(family);
  if (!peer.valid()) return 20;
  uint16_t port = Name(peer.get(), false).second;
  NI_HDL h = 5;
  if (NiDgHdlCreate(&h) != WEQ_O_K || h == NI_INVALID_HDL) return 21;
  int fd = SockOf(h);
  if (IntOpt(fd, SOL_SOCKET, SO_TYPE) != SOCK_DGRAM) return 22;
  sockaddr_storage own{};
  socklen_t ownLen = sizeof own;
  getsockname(fd, reinterpret_cast<sockaddr*>(&own), &ownLen);
  if (own.ss_family != family) return 23;
  NI_NODEADDR to{};
  if (NiStrToAddr(&to, family == AF_INET ? u"127.0.0.1" : u"::1") != WEQ_O_K) return 24;
  const std::string msgs[] = {std::string("first\0datagram", 14), std::string(1000, 'x')};
  for (const std::string& m : msgs) {
    uint32_t sent = 0;
    if (NiDgHdlSendTo(h, &to, port, m.data(), static_cast<uint32_t>(m.size()), &sent) != WEQ_O_K) return 25;
    if (sent != m.size()) return 26;
    if (!peers::WaitReadable(peer.get(), 2000)) return 27;
    char buf[2048];
    ssize_t n = recv(peer.get(), buf, sizeof buf, 0);
    if (n != static_cast<ssize_t>(m.size()) || memcmp(buf, m.data(), m.size()) != 0) return 28;
  }
  if (NiDgHdlClose(h) != WEQ_O_K) return 29;
  return 0;
}

TEST_F(NiWakeup, DatagramHandlesSendToARawPeerOnIPv4) {
  {
    trccheck::TraceFile trace{2};
    EXPECT_EQ(DatagramExchange(AF_INET), 0);
    EXPECT_NE(trace.Read().find("sent 14 of 14 bytes to 127.0.0.1:"), std::string::npos);
  }
  ExpectNothingLeft();
}

TEST_F(NiWakeup, StreamHandlesAreRefusedByTheDatagramCallsAndStayOpen) {
  uint16_t port = 0;
  NI_HDL lis = NI_INVALID_HDL;
  ASSERT_EQ(NiServerHandleForPort(&port, &lis), WEQ_O_K);
  NI_HDL con = NI_INVALID_HDL, acc = NI_INVALID_HDL;
  ASSERT_EQ(NiHandle(u"127.0.0.1", tovtest::FromUtf8(std::to_string(port)).c_str(), 2000, &con), WEQ_O_K);
  ASSERT_EQ(NiAccept(lis, 2000, &acc, nullptr, nullptr), WEQ_O_K);
  NI_NODEADDR lo{};
  ASSERT_EQ(NiStrToAddr(&lo, u"127.0.0.1"), WEQ_O_K);
  const char data[4] = {1, 2, 3, 4};
  const std::string stateMsg =
      "parameter invalid (pHdl->mType != NI_DG_UNCONNECTED && pHdl->mType != NI_DG_CONNECTED)";
  for (NI_HDL h : {lis, con, acc}) {
    int fd = SockOf(h);
    EXPECT_EQ(NiDgHdlSendTo(h, &lo, port, data, 4, nullptr), NIEINVAL);
    EXPECT_EQ(Fld(ERR_FLD_ERROR), "NiDgHdlSendTo: " + stateMsg);
    EXPECT_EQ(NiDgHdlClose(h), NIEINVAL);
    EXPECT_EQ(Fld(ERR_FLD_ERROR), "NiDgHdlClose: " + stateMsg);
    EXPECT_EQ(SockOf(h), fd);
    EXPECT_EQ(IntOpt(fd, SOL_SOCKET, SO_TYPE), SOCK_STREAM);
  }
  // The datagram calls' other refusals.
  NI_HDL dg = NI_INVALID_HDL;
  ASSERT_EQ(NiDgHdlCreate(&dg), WEQ_O_K);
  EXPECT_EQ(NiDgHdlSendTo(dg, nullptr, port, data, 4, nullptr), NIEINVAL);
  EXPECT_EQ(Fld(ERR_FLD_ERROR), "NiDgHdlSendTo: parameter invalid (pNodeAddr == NULL)");
  EXPECT_EQ(NiDgHdlSendTo(dg, &lo, port, nullptr, 4, nullptr), NIEINVAL);
  EXPECT_EQ(Fld(ERR_FLD_ERROR), "NiDgHdlSendTo: parameter invalid (pData == NULL)");
  EXPECT_EQ(NiCloseHandle(dg), NIEINVAL);
  EXPECT_EQ(NiDgHdlClose(dg), WEQ_O_K);
  // The closed number is no handle any more.
  EXPECT_EQ(NiDgHdlSendTo(dg, &lo, port, data, 4, nullptr), NIEINVAL);
  EXPECT_EQ(Fld(ERR_FLD_ERROR), "NiDgHdlSendTo: invalid hdl " + std::to_string(dg));
  EXPECT_EQ(NiDgHdlClose(dg), NIEINVAL);
  for (NI_HDL h : {acc, con, lis}) EXPECT_EQ(NiCloseHandle(h), WEQ_O_K);
  ExpectNothingLeft();
}

// IPv6 in a namespace whose lo also has a second IPv6 address, so that NI
// turns IPv6 on: the datagram handles and the wakeup run over AF_INET6.
TEST(NiWakeupIPv6, DatagramsAndWakeupsOverIPv6InANamespace) {
  if (!peers::NetnsAvailable()) GTEST_SKIP() << "no network namespaces here";
  tovtest::ChildResult r = peers::RunInNetns([] {
    if (system("ip -6 addr add fd00:5eed::1/64 dev lo nodad >/dev/null 2>&1") != 0) return 2;
    if (ThrProcInit() != THR_ERR_OK) return 3;
    setenv("WEQ_IPv6_ACTIVE", "1", 1);
    if (NiInit() != WEQ_O_K || !NiIIPv6Active()) return 4;
    int rc = DatagramExchange(AF_INET6);
    if (rc != 0) return rc;
    NI_WAKEUP_SERVER* srv = nullptr;
    NI_WAKEUP_CLIENT* cli = nullptr;
    if (NiWakeupOpen(&srv) != WEQ_O_K || NiWakeupAttach(srv, &cli) != WEQ_O_K) return 40;
    int fd = SockOf(NiWakeupGetNiHdl(srv));
    sockaddr_storage own{};
    socklen_t len = sizeof own;
    getsockname(fd, reinterpret_cast<sockaddr*>(&own), &len);
    if (own.ss_family != AF_INET6) return 41;
    std::string m = Message(6, 6), got;
    if (NiWakeupExec2(cli, m.data(), 24) != WEQ_O_K) return 42;
    if (Collect(srv, &got, 2000) != WEQ_O_K || got != m) return 43;
    if (NiWakeupDetach(&cli) != WEQ_O_K || NiWakeupClose(&srv) != WEQ_O_K) return 44;
    NiExit();
    return 0;
  });
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
}

}  // namespace
