// The peer toolkit checked on its own: what the network tests rely on.
#include <errno.h>
#include <net/if.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "peers/netns.h"
#include "peers/niframe.h"
#include "peers/peer_spawn.h"
#include "peers/peers.h"

namespace {

using peers::Fd;

TEST(PeersRaw, DescriptorsAboveTheSelectLimitAndTheirCount) {
  Fd a, b;
  ASSERT_TRUE(peers::SocketPair(&a, &b));
  int before = peers::OpenFdCount();
  Fd high = peers::DupAbove(a.get(), 2000);
  ASSERT_TRUE(high.valid());
  EXPECT_GE(high.get(), 2000);
  EXPECT_EQ(peers::OpenFdCount(), before + 1);
  ASSERT_TRUE(peers::WriteAll(b.get(), "ping"));
  EXPECT_EQ(peers::ReadFor(high.get(), 4, 2000), "ping");
  high.Reset();
  EXPECT_EQ(peers::OpenFdCount(), before);
}

TEST(PeersRaw, ResetCloseReachesThePeerAsAReset) {
  for (int family : {AF_INET, AF_INET6}) {
    uint16_t port = 0;
    Fd l = peers::Listener(family, &port);
    ASSERT_TRUE(l.valid());
    Fd c = peers::Connect(family, port);
    ASSERT_TRUE(c.valid());
    Fd s(accept(l.get(), nullptr, nullptr));
    ASSERT_TRUE(s.valid());
    peers::ResetClose(&s);
    ASSERT_TRUE(peers::WaitReadable(c.get(), 2000));
    char ch;
    EXPECT_EQ(recv(c.get(), &ch, 1, 0), -1);
    EXPECT_EQ(errno, ECONNRESET);
  }
}

TEST(PeersRaw, GatheredFramesReadBackWholeBothWays) {
  Fd a, b;
  ASSERT_TRUE(peers::SocketPair(&a, &b));
  std::string big(300000, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
  std::thread writer([&] {
    for (const std::string& m : {std::string(), std::string("x"), big}) peers::SendFrame(a.get(), m.data(), m.size());
  });
  std::string got;
  for (const std::string& m : {std::string(), std::string("x"), big}) {
    ASSERT_TRUE(peers::ReadFrame(b.get(), &got));
    EXPECT_EQ(got, m);
  }
  writer.join();
  // The same bytes as the encoder's.
  ASSERT_TRUE(peers::SendFrame(a.get(), "abc", 3));
  EXPECT_EQ(peers::ReadFor(b.get(), 7, 2000), peers::FrameEncode("abc"));
  a.Reset();
  EXPECT_FALSE(peers::ReadFrame(b.get(), &got));
}

TEST(PeersProcess, EchoRoleOverBothFamiliesAndTeardown) {
  for (const char* fam : {"4", "6"}) {
    peers::PeerProcess peer("echo", {"--family", fam});
    ASSERT_TRUE(peer.ok());
    Fd c = peers::Connect(fam[0] == '4' ? AF_INET : AF_INET6, static_cast<uint16_t>(peer.port()));
    ASSERT_TRUE(c.valid());
    std::string data(100000, 'x');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
    ASSERT_TRUE(peers::WriteAll(c.get(), data));
    EXPECT_EQ(peers::ReadFor(c.get(), data.size(), 5000), data);
    pid_t pid = peer.pid();
    c.Reset();
    std::string log = peer.Stop();
    EXPECT_NE(log.find("LOG accepted"), std::string::npos) << log;
    EXPECT_EQ(kill(pid, 0), -1);  // reaped: the number is gone
  }
}

TEST(PeersProcess, EndsByItselfAfterItsLifetimeAndRefusesUnknownRoles) {
  peers::PeerProcess peer("hold", {"--lifetime", "1"});
  ASSERT_TRUE(peer.ok());
  int status = 0;
  ASSERT_TRUE(peer.WaitExit(5000, &status));
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM);

  peers::PeerProcess bad("no-such-role");
  EXPECT_FALSE(bad.ok());
  ASSERT_TRUE(bad.WaitExit(5000, &status));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2);
}

TEST(PeersNamespace, OnlyItsOwnLoopback) {
  if (!peers::NetnsAvailable()) GTEST_SKIP() << "no network namespaces here";
  tovtest::ChildResult r = peers::RunInNetns([] {
    struct if_nameindex* names = if_nameindex();
    int count = 0;
    for (struct if_nameindex* n = names; n != nullptr && n->if_index != 0; ++n) ++count;
    if_freenameindex(names);
    if (count != 1) return 10;
    uint16_t port = 0;
    peers::Fd l = peers::Listener(AF_INET, &port);
    peers::Fd c = peers::Connect(AF_INET, port);
    return l.valid() && c.valid() ? 0 : 11;
  });
  EXPECT_EQ(r.exit_code, 0) << r.err;
}

}  // namespace
