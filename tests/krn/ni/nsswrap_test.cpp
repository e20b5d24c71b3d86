// Resolution through nss_wrapper (preloaded for this executable only) with
// the hosts of nsswrap_hosts: a name with 60 addresses of both families, more
// than the 48 the host caches look at, canonical names, and the policy over
// a real resolver's answers.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "krn/dptrc/trc_checker.h"
#include "krn/ni/nihs_int.h"
#include "support/testsupport.h"

using tovtest::ToUtf8;

namespace {

std::string Text(const NI_NODEADDR& a) {
  char buf[INET6_ADDRSTRLEN];
  if (NiIIsMapped(a)) return inet_ntop(AF_INET, a.addr + 12, buf, sizeof buf);
  return inet_ntop(AF_INET6, a.addr, buf, sizeof buf);
}

// Fresh caches for the given usage, with the system's resolver.
struct Fresh {
  explicit Fresh(uint32_t usage, const char* policy = nullptr) {
    if (policy)
      setenv("NI_ADDR_POLICY", policy, 1);
    else
      unsetenv("NI_ADDR_POLICY");
    NiIHSBufExit();
    NiIResetAddrState();
    NiIPProtoUsage.store(usage);
    EXPECT_EQ(NiIHSBufInit(100, 0, 600, 600, 0, 600, 600), WEQ_O_K);
  }
  ~Fresh() {
    NiIHSBufExit();
    NiIResetAddrState();
    unsetenv("NI_ADDR_POLICY");
  }
};

TEST(NssWrapper, TheWrapperIsInPlace) {
  ASSERT_NE(getenv("NSS_WRAPPER_HOSTS"), nullptr);
  NI_NODEADDR a[4];
  int count = 4;
  ASSERT_EQ(NiPGetHostByName(u"canon.test", 0, 0, a, &count, nullptr, 0, nullptr), WEQ_O_K);
  EXPECT_EQ(Text(a[0]), "10.60.0.1");
}

TEST(NssWrapper, SixtyAddressesOfBothFamilies) {
  NI_NODEADDR a[48];
  WEQ_UC canon[64];
  int count = 48;
  ASSERT_EQ(NiPGetHostByName(u"many.test", 0, 0, a, &count, canon, 64, nullptr), NIETOO_SMALL);
  EXPECT_EQ(count, 60);
  EXPECT_EQ(ToUtf8(canon), "many.test");
  for (int i = 0; i < 48; ++i) {
    std::string want = i % 2 ? "fd00::" + std::to_string(i / 2 + 1) : "10.50.0." + std::to_string(i / 2 + 1);
    ASSERT_EQ(Text(a[i]), want) << i;
  }
  count = 48;
  ASSERT_EQ(NiPGetHostByName(u"many.test", 1, 0, a, &count, nullptr, 0, nullptr), WEQ_O_K);
  EXPECT_EQ(count, 30);
  EXPECT_EQ(Text(a[29]), "10.50.0.30");
}

// Names are handed to the resolver whole: one whose first 64 bytes name
// another host does not resolve to that host.
TEST(NssWrapper, NamesAreNeverCutToAnotherName) {
  NI_NODEADDR a[4];
  int count = 4;
  std::u16string longer(64, u'a');
  longer += u'b';
  EXPECT_EQ(NiPGetHostByName(longer.c_str(), 0, 0, a, &count, nullptr, 0, nullptr), NIEHOST_UNKNOWN);
  count = 4;
  ASSERT_EQ(NiPGetHostByName(std::u16string(64, u'a').c_str(), 0, 0, a, &count, nullptr, 0, nullptr),
            WEQ_O_K);
  EXPECT_EQ(Text(a[0]), "10.80.0.1");
}

TEST(NssWrapper, HostCachesOverManyAddresses) {
  {
    Fresh f(6);
    trccheck::TraceFile trace(2);
    NI_NODEADDR a;
    ASSERT_EQ(NiIGetNodeAddr(u"many.test", 0, &a, NI_HS_MODE_DEFAULT, NiITrcHdl()), WEQ_O_K);
    EXPECT_EQ(Text(a), "10.50.0.1");
    EXPECT_NE(trace.Read().find("more than 48 addresses found (60)"), std::string::npos);
    ASSERT_EQ(NiIGetNodeAddr(u"many.test", NI_PROTO_FAM_IPv6, &a, NI_HS_MODE_DEFAULT, NiITrcHdl()), WEQ_O_K);
    EXPECT_EQ(Text(a), "fd00::1");
    ASSERT_EQ(NiIGetNodeAddr(u"many.test", 0, &a, NI_HS_MODE_BUFONLY, NiITrcHdl()), WEQ_O_K);
    EXPECT_EQ(Text(a), "10.50.0.1");
  }
  {
    // Only the first 48 addresses (up to fd00::24) are weighed.
    Fresh f(6, "fd00::1e/128,90;fd00::18/128,80;10.50.0.0/24,10");
    NI_NODEADDR a;
    ASSERT_EQ(NiIGetNodeAddr(u"many.test", 0, &a, NI_HS_MODE_DEFAULT, NiITrcHdl()), WEQ_O_K);
    EXPECT_EQ(Text(a), "fd00::18");
    ASSERT_EQ(NiIGetNodeAddr(u"many.test", NI_PROTO_FAM_IPv4, &a, NI_HS_MODE_DEFAULT, NiITrcHdl()), WEQ_O_K);
    EXPECT_EQ(Text(a), "10.50.0.1");
  }
  {
    Fresh f(2);
    NI_NODEADDR a;
    ASSERT_EQ(NiIGetNodeAddr(u"alias.test", 0, &a, NI_HS_MODE_DEFAULT, nullptr), WEQ_O_K);
    ASSERT_EQ(NiIGetNodeAddr(u"canon.test", 0, &a, NI_HS_MODE_DEFAULT, nullptr), WEQ_O_K);
    ASSERT_EQ(NiIGetNodeAddr(u"many", 0, &a, NI_HS_MODE_DEFAULT, nullptr), WEQ_O_K);
    EXPECT_EQ(Text(a), "10.50.0.1");
    auto* c = dynamic_cast<NIHIMPL_LINEAR*>(NiIHostCache());
    ASSERT_NE(c, nullptr);
    NIHIMPL_LINEAR::Entry e;
    ASSERT_TRUE(c->PeekEntry(0, &e));
    EXPECT_EQ(e.status, STAT_VALID_NAME);
    ASSERT_TRUE(c->PeekEntry(1, &e));
    EXPECT_EQ(e.status, STAT_VALID_NAME | STAT_VALID_ADDR);
    ASSERT_TRUE(c->PeekEntry(2, &e));
    EXPECT_EQ(e.status, STAT_VALID_NAME);  // "many" is not its canonical name
    // The canonical entry answers the reverse look-up without the resolver.
    WEQ_UC name[64];
    NI_NODEADDR canon = NiIPv4ToAddr(htonl(0x0A3C0001u));
    ASSERT_EQ(NiIGetHostName(&canon, name, 64, 0, NI_HS_MODE_BUFONLY, nullptr), WEQ_O_K);
    EXPECT_EQ(ToUtf8(name), "canon.test");
  }
}

}  // namespace
