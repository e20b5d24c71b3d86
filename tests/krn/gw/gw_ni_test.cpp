// The gateway's layer over NI: the operation table and its seam, the choice
// between plain and family-restricted connects, and the host-name rules.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <string>
#include <thread>

#include "krn/dptrc/err.h"
#include "krn/gw/gw.h"
#include "krn/gw/gw_int.h"
#include "krn/ni/ni.h"
#include "krn/ni/nixx_int.h"
#include "krn/thr/thr.h"
#include "peers/peers.h"
#include "support/testsupport.h"

namespace {

using tovtest::FromUtf8;
using tovtest::ToUtf8;

class GwNi : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(ThrProcInit(), THR_ERR_OK);
    ASSERT_EQ(NiInit3(64), WEQ_O_K);
    fdsBefore_ = peers::OpenFdCount();
  }
  void TearDown() override {
    GwISetOps(nullptr);
    EXPECT_EQ(peers::OpenFdCount(), fdsBefore_) << "a descriptor was left open";
    NiExit();
  }
  int fdsBefore_ = 0;
};

TEST_F(GwNi, HostToAddrRules) {
  NI_NODEADDR a{};
  EXPECT_EQ(GwHostToAddr(nullptr, &a), NIEINVAL);
  EXPECT_EQ(GwHostToAddr(u"localhost", nullptr), NIEINVAL);
  ErrClear();
  EXPECT_EQ(GwHostToAddr(u"%%gateway", &a), NIEHOST_UNKNOWN);
  EXPECT_EQ(ToUtf8(ErrGetFld(ERR_FLD_RC)), "-2");
  // One percent sign is an ordinary name: a numeric one resolves.
  EXPECT_EQ(GwHostToAddr(u"127.0.0.1", &a), WEQ_O_K);
  NI_NODEADDR b{};
  ASSERT_EQ(NiHostToAddr(u"127.0.0.1", &b), WEQ_O_K);
  EXPECT_EQ(memcmp(&a, &b, sizeof a), 0);
}

TEST_F(GwNi, AddrToHostOfAnUnnamedAddressIsNull) {
  NI_NODEADDR a{};
  WEQ_UC buf[64];
  EXPECT_EQ(GwAddrToHost(&a, nullptr, 64), nullptr);
  // The loopback address has its name in the host files.
  ASSERT_EQ(NiHostToAddr(u"127.0.0.1", &a), WEQ_O_K);
  WEQ_UC* name = GwAddrToHost(&a, buf, 64);
  ASSERT_EQ(name, buf);
  EXPECT_FALSE(ToUtf8(name).empty());
}

// Family 0 takes the plain connect, which reaches an IPv4 listener; the
// IPv6 family alone cannot reach it by its IPv4 address.
TEST_F(GwNi, ConnectChoosesThePlainOrTheFamilyConnect) {
  uint16_t port = 0;
  peers::Fd lis = peers::Listener(AF_INET, &port);
  ASSERT_TRUE(lis.valid());
  std::u16string serv = FromUtf8(std::to_string(port));
  NI_HDL h = NI_INVALID_HDL;
  ASSERT_EQ(GwNiConnect(u"127.0.0.1", serv.c_str(), 2000, &h, 0), WEQ_O_K);
  EXPECT_NE(h, NI_INVALID_HDL);
  EXPECT_EQ(GwNiCloseHandle(h), WEQ_O_K);
  ASSERT_EQ(GwNiConnect(u"127.0.0.1", serv.c_str(), 2000, &h, NI_PROTO_FAM_IPv4), WEQ_O_K);
  EXPECT_EQ(GwNiCloseHandle(h), WEQ_O_K);
  h = 5;
  EXPECT_NE(GwNiConnect(u"127.0.0.1", serv.c_str(), 2000, &h, NI_PROTO_FAM_IPv6), WEQ_O_K);
  EXPECT_EQ(h, NI_INVALID_HDL);
}

TEST_F(GwNi, AcceptThroughTheWrapper) {
  uint16_t port = 0;
  NI_HDL lis = NI_INVALID_HDL;
  ASSERT_EQ(NiServerHandleForPort(&port, &lis), WEQ_O_K);
  NI_HDL con = NI_INVALID_HDL, acc = NI_INVALID_HDL;
  ASSERT_EQ(GwNiConnect(u"127.0.0.1", FromUtf8(std::to_string(port)).c_str(), 2000, &con, 0), WEQ_O_K);
  NI_NODEADDR peer{};
  ASSERT_EQ(GwNiAccept(lis, 2000, &acc, &peer), WEQ_O_K);
  NI_NODEADDR loop{};
  ASSERT_EQ(NiHostToAddr(u"127.0.0.1", &loop), WEQ_O_K);
  EXPECT_EQ(memcmp(&peer, &loop, sizeof peer), 0);
  // Nobody connects again: the wait ends by its time-out.
  NI_HDL none = NI_INVALID_HDL;
  EXPECT_EQ(GwNiAccept(lis, 50, &none, nullptr), NIETIMEOUT);
  for (NI_HDL x : {acc, con, lis}) EXPECT_EQ(GwNiCloseHandle(x), WEQ_O_K);
}

// A replaced slot is what the table hands out, under its name; restoring
// gives back the defaults.
struct Recorded {
  int connects = 0;
  int closes = 0;
};
Recorded g_rec;

TEST_F(GwNi, SeamReplacesSlotsAndRestores) {
  const GwNiOps& def = GwIDefaultOps();
  EXPECT_EQ(ToUtf8(def.connect.name), "GwConnect");
  EXPECT_EQ(ToUtf8(def.write.name), "GwWrite");
  EXPECT_EQ(ToUtf8(def.read.name), "GwRead");
  EXPECT_EQ(ToUtf8(def.close.name), "GwClose");
  GwNiOps fake = def;
  fake.connect.fn = [](const WEQ_UC*, const WEQ_UC*, int32_t, NI_HDL* h, uint32_t, void* ctx) -> NI_RC {
    static_cast<Recorded*>(ctx)->connects++;
    *h = 42;
    return WEQ_O_K;
  };
  fake.close.fn = [](NI_HDL h, void* ctx) -> NI_RC {
    static_cast<Recorded*>(ctx)->closes += h == 42;
    return WEQ_O_K;
  };
  GwNiOps before = GwISetOps(&fake);
  EXPECT_EQ(before.connect.fn, def.connect.fn);
  NI_HDL h = -1;
  EXPECT_EQ(GwIOps().connect.fn(u"x", u"1", 0, &h, 0, &g_rec), WEQ_O_K);
  EXPECT_EQ(h, 42);
  EXPECT_EQ(GwIOps().close.fn(h, &g_rec), WEQ_O_K);
  EXPECT_EQ(g_rec.connects, 1);
  EXPECT_EQ(g_rec.closes, 1);
  GwISetOps(nullptr);
  EXPECT_EQ(GwIOps().connect.fn, def.connect.fn);
  // The default slots reach NI: an invalid handle is refused there.
  uint32_t n = 7;
  char buf[4];
  EXPECT_NE(GwIOps().read.fn(NI_INVALID_HDL, buf, 4, 0, &n, nullptr), WEQ_O_K);
  EXPECT_NE(GwIOps().write.fn(NI_INVALID_HDL, buf, 4, 0, &n, nullptr), WEQ_O_K);
  EXPECT_NE(GwIOps().close.fn(NI_INVALID_HDL, nullptr), WEQ_O_K);
}

// The connect through the default slots on loopback: a refused port, an
// unknown service, and a gateway that takes the connection and closes it at
// once. Every failure leaves no handle and no descriptor behind.
TEST_F(GwNi, ConnectThroughNiFailsCleanly) {
  int32_t freeBefore = NiIFreeHandles();
  NI_HDL h = 1, h2 = 1;
  uint8_t version = 0;
  std::u16string closedPort = FromUtf8(std::to_string(peers::FreePort(AF_INET)));
  EXPECT_EQ(GwIConnect(3, u"127.0.0.1", nullptr, closedPort.c_str(), u"me", nullptr, u"prog", &h, &h2, 0,
                       &version, nullptr, 2000, 0, -1, nullptr, nullptr),
            236);
  EXPECT_EQ(h, NI_INVALID_HDL);
  EXPECT_EQ(h2, NI_INVALID_HDL);
  EXPECT_EQ(ToUtf8(ErrGetFld(ERR_FLD_RC)), std::to_string(NIECONN_REFUSED));
  EXPECT_EQ(GwIConnect(3, u"127.0.0.1", nullptr, u"no_such_gw_service", u"me", nullptr, u"prog", &h, &h2, 0,
                       &version, nullptr, 2000, 0, -1, nullptr, nullptr),
            665);

  uint16_t port = 0;
  peers::Fd lis = peers::Listener(AF_INET, &port);
  ASSERT_TRUE(lis.valid());
  std::thread gateway([&] {
    if (peers::WaitReadable(lis.get(), 5000)) peers::Fd(accept(lis.get(), nullptr, nullptr));
  });
  int rc = GwIConnect(3, u"127.0.0.1", nullptr, FromUtf8(std::to_string(port)).c_str(), u"me", nullptr, u"prog",
                      &h, &h2, 0, &version, nullptr, 2000, 0, -1, nullptr, nullptr);
  gateway.join();
  EXPECT_TRUE(rc == 223 || rc == 224) << rc;
  EXPECT_EQ(h, NI_INVALID_HDL);
  EXPECT_EQ(h2, NI_INVALID_HDL);
  EXPECT_EQ(version, 0);
  EXPECT_EQ(NiIFreeHandles(), freeBefore);
}

}  // namespace
