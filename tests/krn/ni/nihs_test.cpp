// The host and service caches over a resolver with fixed answers and a
// clock the test moves: what is answered from the cache and what asks the
// resolver (counted), negative entries and their lifetimes, the ring and the
// packed table, the length limits, buffer-only look-ups, the policy, the
// tuning operations and the dump.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <memory>
#include <string>
#include <vector>

#include "krn/dptrc/err.h"
#include "krn/dptrc/trc_checker.h"
#include "krn/ni/ni_int.h"
#include "nihs_fake.h"
#include "support/testsupport.h"

using nihsfake::FakeScope;
using nihsfake::S;
using nihsfake::V4;
using nihsfake::V6;
using tovtest::Show;

namespace {

std::u16string Descr() { return ErrGetFld(ERR_FLD_ERROR); }

std::u16string Name(char c, size_t n) { return std::u16string(n, static_cast<char16_t>(c)); }

bool Same(const NI_NODEADDR& a, const NI_NODEADDR& b) { return memcmp(a.addr, b.addr, 16) == 0; }

// --- Service cache -------------------------------------------------------------

struct ServCache : ::testing::Test {
  FakeScope fake;
  NISIMPL_LINEAR cache;
  void SetUp() override { ASSERT_EQ(cache.Init(100, 86400, 600, 600), WEQ_O_K); }
  NI_RC No(const std::u16string& name, uint16_t* port, int mode = NI_HS_MODE_DEFAULT) {
    return cache.GetServNo(name.c_str(), port, mode, NiITrcHdl());
  }
};

TEST_F(ServCache, NegativeEntryAnswersUntilItsLifetimeEnds) {
  uint16_t port = 0;
  EXPECT_EQ(No(u"nosuch", &port), NIESERV_UNKNOWN);
  EXPECT_EQ(S().servByName, 1);
  fake.AddServ(u"nosuch", 3300);  // the system learns it meanwhile
  fake.Advance(600);
  EXPECT_EQ(No(u"nosuch", &port), NIESERV_UNKNOWN);
  EXPECT_EQ(Descr(), u"NiSrvLGetServNo: service name cached as unknown");
  EXPECT_EQ(S().servByName, 1);
  fake.Advance(1);
  ASSERT_EQ(No(u"nosuch", &port), WEQ_O_K);
  EXPECT_EQ(ntohs(port), 3300);
  EXPECT_EQ(S().servByName, 2);
  // Refreshed in its own slot, no second one used.
  NISIMPL_LINEAR::Entry e;
  ASSERT_TRUE(cache.PeekEntry(0, &e));
  EXPECT_EQ(e.status, STAT_VALID_ADDR);
  EXPECT_EQ(cache.NextSlot(), 1u);
  ASSERT_TRUE(cache.PeekEntry(1, &e));
  EXPECT_EQ(e.status, STAT_SLOT_FREE);
}

TEST_F(ServCache, TheHundredAndFirstNameReplacesSlotZero) {
  trccheck::TraceFile trace(2);
  for (int i = 0; i <= 100; ++i)
    fake.AddServ(u"svc" + tovtest::FromUtf8(std::to_string(i)), static_cast<uint16_t>(4000 + i));
  uint16_t port;
  for (int i = 0; i < 100; ++i) ASSERT_EQ(No(u"svc" + tovtest::FromUtf8(std::to_string(i)), &port), WEQ_O_K);
  EXPECT_NE(trace.Read().find("NiSrvLGetServNo: servbuf overflow\n"), std::string::npos);
  EXPECT_EQ(cache.NextSlot(), 0u);
  ASSERT_EQ(No(u"svc100", &port), WEQ_O_K);
  NISIMPL_LINEAR::Entry e;
  ASSERT_TRUE(cache.PeekEntry(0, &e));
  EXPECT_EQ(std::u16string(e.name), u"svc100");
  // svc0 is gone and asks the resolver again; svc1 still answers from the cache.
  int before = S().servByName;
  ASSERT_EQ(No(u"svc1", &port), WEQ_O_K);
  EXPECT_EQ(S().servByName, before);
  ASSERT_EQ(No(u"svc0", &port), WEQ_O_K);
  EXPECT_EQ(S().servByName, before + 1);
}

TEST_F(ServCache, NamesOfNineteenAreCachedTwentyAreNot) {
  fake.AddServ(Name('a', 19), 1019);
  fake.AddServ(Name('b', 20), 1020);
  uint16_t port;
  for (int round = 0; round < 2; ++round) {
    ASSERT_EQ(No(Name('a', 19), &port), WEQ_O_K);
    ASSERT_EQ(No(Name('b', 20), &port), WEQ_O_K);
    EXPECT_EQ(ntohs(port), 1020);
  }
  EXPECT_EQ(S().servByName, 3);  // the 19 once, the 20 twice
  EXPECT_EQ(No(Name('a', 19), &port, NI_HS_MODE_BUFONLY), WEQ_O_K);
  EXPECT_EQ(No(Name('b', 20), &port, NI_HS_MODE_BUFONLY), NIESERV_UNKNOWN);
  EXPECT_EQ(Descr(), u"NiSrvLGetServNo: service name too long for buffer");
  EXPECT_EQ(S().servByName, 3);
}

TEST_F(ServCache, BufferOnlyNeverAsksAndCountsExpiredAsMiss) {
  fake.AddServ(u"sapgw00", 3300);
  uint16_t port;
  EXPECT_EQ(No(u"sapgw00", &port, NI_HS_MODE_BUFONLY), NIESERV_UNKNOWN);
  EXPECT_EQ(Descr(), u"NiSrvLGetServNo: service name not cached");
  ASSERT_EQ(No(u"sapgw00", &port), WEQ_O_K);
  fake.Advance(86401);
  EXPECT_EQ(No(u"sapgw00", &port, NI_HS_MODE_BUFONLY), NIESERV_UNKNOWN);
  EXPECT_EQ(S().servByName, 1);
  // No-buffer mode asks every time and stores nothing.
  NISIMPL_LINEAR fresh;
  ASSERT_EQ(fresh.Init(10, 86400, 600, 600), WEQ_O_K);
  for (int i = 0; i < 3; ++i)
    ASSERT_EQ(fresh.GetServNo(u"sapgw00", &port, NI_HS_MODE_NOBUF, nullptr), WEQ_O_K);
  EXPECT_EQ(S().servByName, 4);
  NISIMPL_LINEAR::Entry e;
  ASSERT_TRUE(fresh.PeekEntry(0, &e));
  EXPECT_EQ(e.status, STAT_SLOT_FREE);
}

TEST_F(ServCache, PortsToNamesWithLimitsAndNegatives) {
  fake.AddServ(u"sapdp00", 3200);
  fake.AddServ(Name('n', 20), 3201);
  WEQ_UC buf[32];
  ASSERT_EQ(cache.GetServName(htons(3200), buf, 32, NI_HS_MODE_DEFAULT, nullptr), WEQ_O_K);
  EXPECT_EQ(std::u16string(buf), u"sapdp00");
  ASSERT_EQ(cache.GetServName(htons(3200), buf, 32, NI_HS_MODE_BUFONLY, nullptr), WEQ_O_K);
  EXPECT_EQ(cache.GetServName(htons(3200), buf, 7, NI_HS_MODE_BUFONLY, nullptr), NIETOO_SMALL);
  EXPECT_EQ(Descr(), u"NiSrvLGetServName: buffer too small (7<=7)");
  // A long name is returned but not cached.
  for (int i = 0; i < 2; ++i)
    ASSERT_EQ(cache.GetServName(htons(3201), buf, 32, NI_HS_MODE_DEFAULT, nullptr), WEQ_O_K);
  EXPECT_EQ(S().servByPort, 3);
  // An unknown port is cached as unknown for its own time.
  EXPECT_EQ(cache.GetServName(htons(9), buf, 32, NI_HS_MODE_DEFAULT, nullptr), NIESERV_UNKNOWN);
  EXPECT_EQ(cache.GetServName(htons(9), buf, 32, NI_HS_MODE_DEFAULT, nullptr), NIESERV_UNKNOWN);
  EXPECT_EQ(S().servByPort, 4);
  // The name look-up passes over the port's negative entry.
  uint16_t port;
  EXPECT_EQ(No(u"sapdp00", &port), WEQ_O_K);
  EXPECT_EQ(S().servByName, 0);
}

// --- Front end ---------------------------------------------------------------------

TEST(HsFront, NumericTextsBypassTheCaches) {
  FakeScope fake;
  uint16_t port = 1;
  ASSERT_EQ(NiIGetServNo(u"3299", &port, NI_HS_MODE_DEFAULT, nullptr), WEQ_O_K);
  EXPECT_EQ(ntohs(port), 3299);
  ASSERT_EQ(NiIGetServNo(u"0", &port, NI_HS_MODE_BUFONLY, nullptr), WEQ_O_K);
  EXPECT_EQ(S().servByName, 0);
  EXPECT_EQ(NiIGetServNo(u"3299x", &port, NI_HS_MODE_DEFAULT, nullptr), NIESERV_UNKNOWN);
  EXPECT_EQ(NiIGetServNo(u"70000", &port, NI_HS_MODE_DEFAULT, nullptr), NIESERV_UNKNOWN);
  EXPECT_EQ(port, 0);
  EXPECT_EQ(S().servByName, 2);

  NI_NODEADDR a;
  ASSERT_EQ(NiIGetNodeAddr(u"10.1.2.3", 0, &a, NI_HS_MODE_DEFAULT, nullptr), WEQ_O_K);
  EXPECT_TRUE(Same(a, V4(10, 1, 2, 3)));
  EXPECT_EQ(NiIGetNodeAddr(u"10.1.2.3", NI_PROTO_FAM_IPv6, &a, 0, nullptr), NIEINVAL);
  EXPECT_EQ(Descr(), u"NiIGetNodeAddr: invalid IPv6 address passed (10.1.2.3)");
  EXPECT_EQ(NiIGetNodeAddr(u"::1", 0, &a, 0, nullptr), NIEINVAL);
  EXPECT_EQ(Descr(), u"NiIGetNodeAddr: invalid address passed (::1) IPv6 not active");
  EXPECT_EQ(S().byName, 0);
  // Text that is no address is a name: the address text's refusal is cleared.
  fake.AddHost(u"1host", {V4(10, 9, 9, 9)});
  ErrClear();
  ASSERT_EQ(NiIGetNodeAddr(u"1host", 0, &a, 0, nullptr), WEQ_O_K);
  EXPECT_FALSE(ErrIsSet());
  EXPECT_TRUE(Same(a, V4(10, 9, 9, 9)));
}

TEST(HsFront, ReverseLookupsAlwaysLeaveText) {
  FakeScope fake;
  WEQ_UC buf[64];
  ASSERT_EQ(NiIGetHostName(nullptr, buf, 64, 0, 0, nullptr), WEQ_O_K);
  EXPECT_EQ(std::u16string(buf), u"localhost");
  EXPECT_EQ(NiIGetHostName(nullptr, buf, 9, 0, 0, nullptr), NIETOO_SMALL);
  EXPECT_EQ(Descr(), u"NiIGetHostName: buffer too small (9<9)");
  NI_NODEADDR zero = V4(0, 0, 0, 0);
  ASSERT_EQ(NiIGetHostName(&zero, buf, 64, 0, 0, nullptr), WEQ_O_K);
  EXPECT_EQ(std::u16string(buf), u"0.0.0.0");
  NI_NODEADDR a = V4(192, 0, 2, 7);
  EXPECT_EQ(NiIGetHostName(&a, buf, 64, 0, 0, nullptr), NIEHOST_UNKNOWN);
  EXPECT_EQ(std::u16string(buf), u"192.0.2.7");
  WEQ_UC serv[8];
  EXPECT_EQ(NiIGetServName(htons(3299), serv, 8, 0, nullptr), NIESERV_UNKNOWN);
  EXPECT_EQ(std::u16string(serv), u"3299");
  // Empty buffers get nothing written, not even a terminator.
  WEQ_UC guard[2] = {u'#', u'#'};
  EXPECT_EQ(NiIGetHostName(&a, guard, 0, 0, 0, nullptr), NIETOO_SMALL);
  EXPECT_EQ(NiIGetServName(htons(1), guard, 0, 0, nullptr), NIETOO_SMALL);
  EXPECT_EQ(NiIGetLocalName(guard, 0), NIETOO_SMALL);
  EXPECT_EQ(guard[0], u'#');
  uint16_t port;
  EXPECT_EQ(NiIGetServNo(nullptr, &port, 0, nullptr), NIEINVAL);
  EXPECT_EQ(Descr(), u"NiIGetServNo: parameter invalid (pServName == NULL)");
  EXPECT_EQ(NiIGetNodeAddr(u"h", 0, nullptr, 0, nullptr), NIEINVAL);
  EXPECT_EQ(NiIGetHostName(&a, nullptr, 8, 0, 0, nullptr), NIEINVAL);
}

// Buffer-only look-ups (trace code, the failure reporter) answer a miss
// when the caches do not exist yet, and leave them uncreated.
TEST(HsFront, BufferOnlyLookupsCreateNoCaches) {
  FakeScope fake;
  NI_NODEADDR a = V4(10, 2, 3, 4);
  WEQ_UC buf[64];
  uint16_t port;
  EXPECT_EQ(NiIGetHostName(&a, buf, 64, 0, NI_HS_MODE_BUFONLY, nullptr), NIEHOST_UNKNOWN);
  EXPECT_EQ(std::u16string(buf), u"10.2.3.4");
  EXPECT_EQ(NiIGetServName(htons(3300), buf, 64, NI_HS_MODE_BUFONLY, nullptr), NIESERV_UNKNOWN);
  EXPECT_EQ(std::u16string(buf), u"3300");
  EXPECT_EQ(NiIGetNodeAddr(u"h", 0, &a, NI_HS_MODE_BUFONLY, nullptr), NIEHOST_UNKNOWN);
  EXPECT_EQ(NiIGetServNo(u"sapgw00", &port, NI_HS_MODE_BUFONLY, nullptr), NIESERV_UNKNOWN);
  ASSERT_EQ(NiIGetServNo(u"3300", &port, NI_HS_MODE_BUFONLY, nullptr), WEQ_O_K);
  ASSERT_EQ(NiIGetNodeAddr(u"10.0.0.1", 0, &a, NI_HS_MODE_BUFONLY, nullptr), WEQ_O_K);
  EXPECT_EQ(NiIHostCache(), nullptr);
  EXPECT_EQ(NiIServCache(), nullptr);
  EXPECT_EQ(S().byName + S().byAddr + S().servByName + S().servByPort, 0);
}

TEST(HsFront, CreationTimesAndMissingCaches) {
  FakeScope fake;
  EXPECT_EQ(NiISetHSBufIndexSize(10), NIECALL);
  EXPECT_EQ(Descr(), u"NiISetHSBufIndexSize: not initialized");
  EXPECT_EQ(NiISetHBufTimeout(10, 1), NIECALL);
  EXPECT_EQ(NiISetHostInvalid(u"h", nullptr), NIECALL);
  EXPECT_EQ(NiISetHSBufTraceLimit(5), NIECALL);
  EXPECT_EQ(NiISetHSBufTimeFunc(nullptr), NIECALL);
  EXPECT_EQ(NiIHSBufFlush(), NIECALL);
  WEQ_UC buf[8];
  int len = 8, done = 0;
  EXPECT_EQ(NiHBufPrintBuf(buf, &len, &done), NIECALL);
  EXPECT_EQ(NiIHostCache(), nullptr);

  ASSERT_EQ(NiIHSBufInit(100, 0, 90000, 600, 86401, 0, 1), WEQ_O_K);
  EXPECT_EQ(NiIHSBufInit(100, 0, 600, 600, 0, 600, 600), NIECALL);
  EXPECT_EQ(Descr(), u"NiIHSBufInit: already initialized");
  NIHIMPL* host = NiIHostCache();
  NISIMPL* serv = NiIServCache();
  EXPECT_EQ(host->ValidTime(), 86400u);
  EXPECT_EQ(host->UnknownNameTime(), 86400u);
  EXPECT_EQ(host->UnknownAddrTime(), 600u);
  EXPECT_EQ(serv->ValidTime(), 86400u);
  EXPECT_EQ(serv->UnknownNameTime(), 86400u);
  EXPECT_EQ(serv->UnknownAddrTime(), 1u);
  EXPECT_NE(dynamic_cast<NIHIMPL_LINEAR*>(host), nullptr);

  EXPECT_EQ(NiISetHBufTimeout(86401, 1), NIEINVAL);
  EXPECT_EQ(NiISetHBufTimeout(10, 8), NIEINVAL);
  ASSERT_EQ(NiISetHBufTimeout(30, 6), WEQ_O_K);
  EXPECT_EQ(host->UnknownNameTime(), 30u);
  EXPECT_EQ(host->UnknownAddrTime(), 30u);
  EXPECT_EQ(host->ValidTime(), 86400u);
  // A capacity that cannot be sized is refused before anything changes.
  EXPECT_EQ(NiISetHSBufIndexSize(0xFFFFFFFFu), NIEINVAL);
  EXPECT_EQ(host->Capacity(), 100u);
  ASSERT_EQ(NiISetHSBufIndexSize(7), WEQ_O_K);
  EXPECT_EQ(host->Capacity(), 7u);
  EXPECT_EQ(serv->Capacity(), 7u);
}

TEST(HsFront, LazyCreationChoosesTheCacheOfTheUsage) {
  for (uint32_t usage : {2u, 6u}) {
    FakeScope fake(usage);
    uint16_t port;
    EXPECT_EQ(NiIGetServNo(u"nosuch", &port, 0, nullptr), NIESERV_UNKNOWN);
    NIHIMPL* host = NiIHostCache();
    ASSERT_NE(host, nullptr);
    EXPECT_EQ(dynamic_cast<NIHIMPL_LINEAR6*>(host) != nullptr, usage == 6);
    EXPECT_EQ(host->Capacity(), 100u);
    EXPECT_EQ(host->UnknownNameTime(), 600u);
  }
}

TEST(HsFront, PrintBufFromTinyToDoubled) {
  FakeScope fake;
  fake.AddHost(u"alpha", {V4(10, 0, 0, 1)}, u"alpha");
  fake.AddServ(u"sapgw00", 3300);
  NI_NODEADDR a;
  ASSERT_EQ(NiIGetNodeAddr(u"alpha", 0, &a, 0, nullptr), WEQ_O_K);
  EXPECT_EQ(NiIGetNodeAddr(u"beta", 0, &a, 0, nullptr), NIEHOST_UNKNOWN);
  uint16_t port;
  ASSERT_EQ(NiIGetServNo(u"sapgw00", &port, 0, nullptr), WEQ_O_K);

  std::vector<WEQ_UC> buf(16);
  int len = 16, done = 7;
  ASSERT_EQ(NiHBufPrintBuf(buf.data(), &len, &done), WEQ_O_K);
  EXPECT_EQ(len, 0);
  EXPECT_EQ(done, 0);
  // The caller doubles its buffer until the whole table fits.
  int rounds = 0;
  for (size_t size = 16; !done; size *= 2, ++rounds) {
    buf.assign(size, u'#');
    len = static_cast<int>(size);
    ASSERT_EQ(NiHBufPrintBuf(buf.data(), &len, &done), WEQ_O_K);
    ASSERT_LT(len, static_cast<int>(size));
  }
  EXPECT_GE(rounds, 4);
  std::u16string want =
      u"---------------------------------------------\n"
      u"#   status  t address IPv4    hostname\n"
      u"---------------------------------------------\n"
      u"0   VALID   A 10.0.0.1        alpha\n"
      u"1   UNKNOWN   -               beta\n"
      u"\n---------------------------------------\n"
      u"#   status  port        service\n"
      u"---------------------------------------\n"
      u"0   VALID   3300        sapgw00\n";
  EXPECT_EQ(std::u16string(buf.data(), static_cast<size_t>(len)), want);
  int minus = -1;
  EXPECT_EQ(NiHBufPrintBuf(buf.data(), &minus, &done), NIEINVAL);
  EXPECT_EQ(Descr(), u"NiHBufPrintBuf: parameter invalid (*pBufferLen < 0)");
}

// --- IPv4 host cache ----------------------------------------------------------------

struct HostCache4 : ::testing::Test {
  FakeScope fake;
  NIHIMPL_LINEAR cache;
  void SetUp() override { ASSERT_EQ(cache.Init(100, 86400, 600, 600), WEQ_O_K); }
  NI_RC Get(const std::u16string& name, NI_NODEADDR* a, int mode = NI_HS_MODE_DEFAULT) {
    return cache.GetNodeAddr(name.c_str(), a, mode, 0, nullptr);
  }
};

TEST_F(HostCache4, CanonicalNamesAnswerBothWays) {
  fake.AddHost(u"canon", {V4(10, 0, 0, 1), V4(10, 0, 0, 2)}, u"canon");
  fake.AddHost(u"alias", {V4(10, 0, 0, 3)}, u"other.example");
  NI_NODEADDR a;
  ASSERT_EQ(Get(u"canon", &a), WEQ_O_K);
  EXPECT_TRUE(Same(a, V4(10, 0, 0, 1)));
  ASSERT_EQ(Get(u"alias", &a), WEQ_O_K);
  NIHIMPL_LINEAR::Entry e;
  ASSERT_TRUE(cache.PeekEntry(0, &e));
  EXPECT_EQ(e.status, STAT_VALID_NAME | STAT_VALID_ADDR);
  ASSERT_TRUE(cache.PeekEntry(1, &e));
  EXPECT_EQ(e.status, STAT_VALID_NAME);
  WEQ_UC buf[64];
  NI_NODEADDR one = V4(10, 0, 0, 1), three = V4(10, 0, 0, 3);
  ASSERT_EQ(cache.GetHostName(&one, buf, 64, 0, NI_HS_MODE_BUFONLY, nullptr), WEQ_O_K);
  EXPECT_EQ(std::u16string(buf), u"canon");
  EXPECT_EQ(cache.GetHostName(&three, buf, 64, 0, NI_HS_MODE_BUFONLY, nullptr), NIEHOST_UNKNOWN);
  EXPECT_EQ(S().byAddr, 0);
  NI_NODEADDR six = V6(0x2001, 1);
  EXPECT_EQ(cache.GetHostName(&six, buf, 64, 0, 0, nullptr), NIEINVAL);
}

TEST_F(HostCache4, ValidTimeZeroSwitchesTheCacheOff) {
  fake.AddHost(u"h", {V4(10, 0, 0, 1)}, u"h");
  ASSERT_EQ(NiHsetHostBufTimeout(&cache, 0, 1), WEQ_O_K);
  NI_NODEADDR a;
  for (int i = 0; i < 3; ++i) ASSERT_EQ(Get(u"h", &a), WEQ_O_K);
  EXPECT_EQ(S().byName, 3);
  NIHIMPL_LINEAR::Entry e;
  ASSERT_TRUE(cache.PeekEntry(0, &e));
  EXPECT_EQ(e.status, STAT_SLOT_FREE);
  EXPECT_EQ(Get(u"h", &a, NI_HS_MODE_BUFONLY), NIEHOST_UNKNOWN);
  EXPECT_EQ(S().byName, 3);
}

TEST_F(HostCache4, NamesOfFiftyNineAreCachedSixtyAreNot) {
  fake.AddHost(Name('a', 59), {V4(10, 0, 0, 59)});
  fake.AddHost(Name('b', 60), {V4(10, 0, 0, 60)});
  NI_NODEADDR a;
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(Get(Name('a', 59), &a), WEQ_O_K);
    ASSERT_EQ(Get(Name('b', 60), &a), WEQ_O_K);
    EXPECT_TRUE(Same(a, V4(10, 0, 0, 60)));
  }
  EXPECT_EQ(S().byName, 3);
  EXPECT_EQ(Get(Name('b', 60), &a, NI_HS_MODE_BUFONLY), NIEHOST_UNKNOWN);
  EXPECT_EQ(Descr(), u"NiHLGetNodeAddr: hostname too long for buffer");
}

TEST_F(HostCache4, NegativeEntriesAndBufferOnlyMisses) {
  NI_NODEADDR a;
  EXPECT_EQ(Get(u"gone", &a, NI_HS_MODE_BUFONLY), NIEHOST_UNKNOWN);
  EXPECT_EQ(Descr(), u"NiHLGetNodeAddr: hostname not cached");
  EXPECT_EQ(S().byName, 0);
  EXPECT_EQ(Get(u"gone", &a), NIEHOST_UNKNOWN);
  EXPECT_EQ(Get(u"gone", &a), NIEHOST_UNKNOWN);
  EXPECT_EQ(Descr(), u"NiHLGetNodeAddr: hostname cached as unknown");
  EXPECT_EQ(S().byName, 1);
  fake.AddHost(u"gone", {V4(10, 1, 1, 1)});
  fake.Advance(601);
  EXPECT_EQ(Get(u"gone", &a, NI_HS_MODE_BUFONLY), NIEHOST_UNKNOWN);
  ASSERT_EQ(Get(u"gone", &a), WEQ_O_K);
  EXPECT_EQ(S().byName, 2);
  EXPECT_EQ(cache.NextSlot(), 1u);
}

// Invalidation packs the ring before it wraps; after the wrap it frees the
// slot in place and the entries behind it stay reachable.
TEST_F(HostCache4, SetHostInvalidBeforeAndAfterTheRingWrapped) {
  ASSERT_EQ(cache.SetIndexSize(4), WEQ_O_K);
  NI_NODEADDR a;
  for (int i = 0; i < 4; ++i) {
    fake.AddHost(u"h" + tovtest::FromUtf8(std::to_string(i)), {V4(10, 0, 0, static_cast<uint8_t>(i))});
  }
  for (int i = 0; i < 3; ++i) ASSERT_EQ(Get(u"h" + tovtest::FromUtf8(std::to_string(i)), &a), WEQ_O_K);
  ASSERT_EQ(cache.SetHostInvalid(u"h0", nullptr), WEQ_O_K);
  NIHIMPL_LINEAR::Entry e;
  ASSERT_TRUE(cache.PeekEntry(0, &e));
  EXPECT_EQ(std::u16string(e.name), u"h2");
  EXPECT_EQ(cache.NextSlot(), 2u);
  EXPECT_EQ(cache.SetHostInvalid(u"h0", nullptr), NIEHOST_UNKNOWN);
  EXPECT_EQ(Descr(), u"NiHLsetHostInvalid: hostname not cached");

  ASSERT_EQ(Get(u"h0", &a), WEQ_O_K);
  ASSERT_EQ(Get(u"h3", &a), WEQ_O_K);  // fills slot 3; the ring wraps
  EXPECT_EQ(cache.NextSlot(), 0u);
  ASSERT_EQ(cache.SetHostInvalid(u"h1", nullptr), WEQ_O_K);
  EXPECT_EQ(cache.NextSlot(), 0u);
  int before = S().byName;
  for (const char16_t* n : {u"h2", u"h0", u"h3"})
    ASSERT_EQ(Get(n, &a, NI_HS_MODE_BUFONLY), WEQ_O_K) << Show(n);
  EXPECT_EQ(S().byName, before);
}

// A slot remembered for a refresh is not written once the table was
// replaced while the resolver ran.
TEST_F(HostCache4, RefreshAfterAConcurrentResizeTakesANewSlot) {
  NI_NODEADDR a;
  for (int i = 0; i < 6; ++i) {
    fake.AddHost(u"h" + tovtest::FromUtf8(std::to_string(i)), {V4(10, 0, 0, static_cast<uint8_t>(i))});
    ASSERT_EQ(Get(u"h" + tovtest::FromUtf8(std::to_string(i)), &a), WEQ_O_K);
  }
  fake.Advance(86401);
  fake.During([&] { ASSERT_EQ(cache.SetIndexSize(2), WEQ_O_K); });
  ASSERT_EQ(Get(u"h5", &a), WEQ_O_K);
  fake.During(nullptr);
  NIHIMPL_LINEAR::Entry e;
  ASSERT_TRUE(cache.PeekEntry(0, &e));
  EXPECT_EQ(std::u16string(e.name), u"h5");
  EXPECT_EQ(cache.NextSlot(), 1u);
}

TEST_F(HostCache4, SetHostEntryChecksAndReplaces) {
  EXPECT_EQ(cache.SetHostEntry(Name('x', 60).c_str(), nullptr, 8, 0), NIEINVAL);
  EXPECT_EQ(cache.SetHostEntry(u"h", u"1.2.3", 8, 0), NIEINVAL);
  EXPECT_EQ(cache.SetHostEntry(u"h", u"1.2.3.4", 3, 0), NIEINVAL);
  EXPECT_EQ(cache.SetHostEntry(u"h", u"2001:db8::1", 8, 0), NIEINVAL);
  ASSERT_EQ(cache.SetHostEntry(u"h", u"1.2.3.4", STAT_VALID_NAME, 0), WEQ_O_K);
  NI_NODEADDR a;
  ASSERT_EQ(Get(u"h", &a, NI_HS_MODE_BUFONLY), WEQ_O_K);
  EXPECT_TRUE(Same(a, V4(1, 2, 3, 4)));
  ASSERT_EQ(cache.SetHostEntry(nullptr, u"1.2.3.4", STAT_UNKNOWN_NAME, 0), WEQ_O_K);
  EXPECT_EQ(Get(u"h", &a, NI_HS_MODE_BUFONLY), NIEHOST_UNKNOWN);
  EXPECT_EQ(cache.NextSlot(), 1u);
}

// --- IPv4/IPv6 host cache ----------------------------------------------------------

struct HostCache6 : ::testing::Test {
  FakeScope fake{6};
  NIHIMPL_LINEAR6 cache;
  void SetUp() override {
    unsetenv("NI_ADDR_POLICY");
    ASSERT_EQ(cache.Init(100, 86400, 600, 600), WEQ_O_K);
  }
  NI_RC Get(const std::u16string& name, NI_NODEADDR* a, int mode = 0, int protocol = 0) {
    return cache.GetNodeAddr(name.c_str(), a, mode, protocol, nullptr);
  }
};

TEST_F(HostCache6, BufferOnlyMissNeverAsksTheResolver) {
  fake.AddHost(u"dual", {V6(0x2001, 1), V4(10, 0, 0, 1)});
  NI_NODEADDR a;
  EXPECT_EQ(Get(u"dual", &a, NI_HS_MODE_BUFONLY), NIEHOST_UNKNOWN);
  EXPECT_EQ(S().byName, 0);
  WEQ_UC buf[64];
  NI_NODEADDR v6 = V6(0x2001, 1);
  EXPECT_EQ(cache.GetHostName(&v6, buf, 64, 0, NI_HS_MODE_BUFONLY, nullptr), NIEHOST_UNKNOWN);
  EXPECT_EQ(S().byAddr, 0);
  ASSERT_EQ(Get(u"dual", &a), WEQ_O_K);
  EXPECT_TRUE(Same(a, V6(0x2001, 1)));
  ASSERT_EQ(Get(u"dual", &a, NI_HS_MODE_BUFONLY), WEQ_O_K);
  EXPECT_EQ(S().byName, 1);
}

TEST_F(HostCache6, AProtocolChoiceBypassesTheCache) {
  fake.AddHost(u"dual", {V6(0x2001, 1), V4(10, 0, 0, 1)});
  NI_NODEADDR a;
  ASSERT_EQ(Get(u"dual", &a, 0, NI_PROTO_FAM_IPv4), WEQ_O_K);
  EXPECT_TRUE(Same(a, V4(10, 0, 0, 1)));
  ASSERT_EQ(Get(u"dual", &a, 0, NI_PROTO_FAM_IPv6), WEQ_O_K);
  EXPECT_TRUE(Same(a, V6(0x2001, 1)));
  NIHIMPL_LINEAR6::Entry e;
  ASSERT_TRUE(cache.PeekEntry(0, &e));
  EXPECT_EQ(e.status, STAT_SLOT_FREE);
  ASSERT_EQ(Get(u"dual", &a, 0, 6), WEQ_O_K);  // both families count as any
  ASSERT_TRUE(cache.PeekEntry(0, &e));
  EXPECT_EQ(e.status, STAT_VALID_NAME);
  fake.AddHost(u"only4", {V4(10, 0, 0, 4)});
  EXPECT_EQ(Get(u"only4", &a, 0, NI_PROTO_FAM_IPv6), NIEHOST_UNKNOWN);
}

TEST_F(HostCache6, FullTableReplacesTheOldestAndCompactionPacks) {
  ASSERT_EQ(cache.SetIndexSize(4), WEQ_O_K);
  NI_NODEADDR a;
  for (int i = 0; i < 4; ++i) {
    std::u16string n = u"h" + tovtest::FromUtf8(std::to_string(i));
    fake.AddHost(n, {V6(0x2001, static_cast<uint16_t>(i))});
    ASSERT_EQ(Get(n, &a), WEQ_O_K);
    fake.Advance(10);
  }
  EXPECT_EQ(cache.LastIndex(), 3u);
  fake.AddHost(u"h4", {V6(0x2001, 4)});
  ASSERT_EQ(Get(u"h4", &a), WEQ_O_K);
  NIHIMPL_LINEAR6::Entry e;
  ASSERT_TRUE(cache.PeekEntry(0, &e));
  EXPECT_EQ(std::u16string(e.name), u"h4");
  // h1 and h3 expire as negative entries would; compaction packs the rest.
  ASSERT_EQ(cache.SetHostInvalid(u"h1", nullptr), WEQ_O_K);
  ASSERT_EQ(cache.SetHostInvalid(u"h2", nullptr), WEQ_O_K);
  cache.NiHL6Compact();
  EXPECT_EQ(cache.LastIndex(), 1u);
  std::vector<std::u16string> names;
  for (uint32_t i = 0; i < 4; ++i) {
    ASSERT_TRUE(cache.PeekEntry(i, &e));
    if (e.status != STAT_SLOT_FREE) names.push_back(e.name);
  }
  EXPECT_EQ(names, (std::vector<std::u16string>{u"h4", u"h3"}));
  // Entries past their time are freed by the compaction as well.
  fake.Advance(86401);
  cache.NiHL6Compact();
  ASSERT_TRUE(cache.PeekEntry(0, &e));
  EXPECT_EQ(e.status, STAT_SLOT_FREE);
  EXPECT_EQ(cache.LastIndex(), 0u);
}

TEST_F(HostCache6, SetHostInvalidAndNegativeAddresses) {
  fake.AddHost(u"only", {V4(10, 0, 0, 9)});
  NI_NODEADDR a;
  ASSERT_EQ(Get(u"only", &a), WEQ_O_K);
  ASSERT_EQ(cache.SetHostInvalid(u"only", nullptr), WEQ_O_K);
  EXPECT_EQ(cache.SetHostInvalid(u"only", nullptr), NIEHOST_UNKNOWN);
  EXPECT_EQ(Descr(), u"NiHL6SetHostInvalid: hostname not cached");
  WEQ_UC buf[64];
  NI_NODEADDR v = V6(0x2001, 0x99);
  EXPECT_EQ(cache.GetHostName(&v, buf, 64, 0, 0, nullptr), NIEHOST_UNKNOWN);
  EXPECT_EQ(cache.GetHostName(&v, buf, 64, 0, 0, nullptr), NIEHOST_UNKNOWN);
  EXPECT_EQ(Descr(), u"NiHL6GetHostName: address cached as unknown");
  EXPECT_EQ(S().byAddr, 1);
  fake.AddName(v, u"named");
  fake.Advance(601);
  ASSERT_EQ(cache.GetHostName(&v, buf, 64, 0, 0, nullptr), WEQ_O_K);
  EXPECT_EQ(std::u16string(buf), u"named");
  EXPECT_EQ(cache.GetHostName(&v, buf, 5, 0, NI_HS_MODE_BUFONLY, nullptr), NIETOO_SMALL);
  // 59 units are cached, 60 are not.
  fake.AddHost(Name('a', 59), {V4(1, 1, 1, 1)});
  fake.AddHost(Name('b', 60), {V4(1, 1, 1, 2)});
  int before = S().byName;
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(Get(Name('a', 59), &a), WEQ_O_K);
    ASSERT_EQ(Get(Name('b', 60), &a), WEQ_O_K);
  }
  EXPECT_EQ(S().byName, before + 3);
}

TEST_F(HostCache6, SetHostEntryUpdatesByNameOrAddress) {
  EXPECT_EQ(cache.SetHostEntry(u"h", u"not an address", 8, 0), NIEINVAL);
  EXPECT_EQ(cache.SetHostEntry(u"h", u"2001:db8::5", 13, 0), NIEINVAL);
  int64_t now = nihsfake::Now();
  ASSERT_EQ(cache.SetHostEntry(u"h", u"2001:db8::5", STAT_VALID_NAME, now), WEQ_O_K);
  NI_NODEADDR a;
  ASSERT_EQ(Get(u"h", &a, NI_HS_MODE_BUFONLY), WEQ_O_K);
  EXPECT_EQ(a.addr[15], 5);
  ASSERT_EQ(cache.SetHostEntry(nullptr, u"2001:db8::5", STAT_VALID_NAME | STAT_VALID_ADDR, now), WEQ_O_K);
  WEQ_UC buf[64];
  NI_NODEADDR five = a;
  ASSERT_EQ(cache.GetHostName(&five, buf, 64, 0, NI_HS_MODE_BUFONLY, nullptr), WEQ_O_K);
  EXPECT_EQ(std::u16string(buf), u"h");
  // An old time stamp makes the entry expire at the next look-up.
  ASSERT_EQ(cache.SetHostEntry(u"h", nullptr, 0, now - 86401), WEQ_O_K);
  EXPECT_EQ(Get(u"h", &a, NI_HS_MODE_BUFONLY), NIEHOST_UNKNOWN);
  EXPECT_EQ(S().byName + S().byAddr, 0);
}

// Every cache's dump lines in the table and the tab-separated form.
TEST(HsDump, LinesInBothFormatsAndTheirLimits) {
  FakeScope fake(6);
  unsetenv("NI_ADDR_POLICY");
  fake.AddHost(u"dual", {V6(0x2001, 1)});
  fake.AddHost(u"four", {V4(10, 0, 0, 4)});
  fake.AddName(V4(10, 0, 0, 4), u"four");
  fake.AddServ(u"sapgw00", 3300);
  NIHIMPL_LINEAR6 six;
  NIHIMPL_LINEAR ring4;
  NISIMPL_LINEAR serv;
  ASSERT_EQ(six.Init(8, 86400, 600, 600), WEQ_O_K);
  ASSERT_EQ(ring4.Init(8, 86400, 600, 600), WEQ_O_K);
  ASSERT_EQ(serv.Init(8, 86400, 600, 600), WEQ_O_K);
  NI_NODEADDR a, four = V4(10, 0, 0, 4);
  WEQ_UC name[64];
  uint16_t port;
  ASSERT_EQ(six.GetNodeAddr(u"dual", &a, 0, 0, nullptr), WEQ_O_K);
  ASSERT_EQ(six.GetHostName(&four, name, 64, 0, 0, nullptr), WEQ_O_K);
  EXPECT_EQ(six.GetNodeAddr(u"gone", &a, 0, 0, nullptr), NIEHOST_UNKNOWN);
  ASSERT_EQ(ring4.GetHostName(&four, name, 64, 0, 0, nullptr), WEQ_O_K);
  ASSERT_EQ(serv.GetServNo(u"sapgw00", &port, 0, nullptr), WEQ_O_K);
  EXPECT_EQ(serv.GetServName(htons(9), name, 64, 0, nullptr), NIESERV_UNKNOWN);
  auto lines = [](NIHSIMPL& c, int format) {
    std::u16string all;
    WEQ_UC line[256];
    c.Lock();
    for (int done = 0, guard = 0; guard < 20; ++guard) {
      NI_RC rc = c.DumpBufLine(line, 256, &done, format);
      if (rc != WEQ_O_K) {
        all += u"rc" + tovtest::FromUtf8(std::to_string(rc));
        break;
      }
      if (done) break;
      all += line;
    }
    c.Unlock();
    return all;
  };
  EXPECT_EQ(lines(six, NI_HS_DUMP_TABLE),
            u"0   VALID   A 2001::1                                 dual\n"
            u"1   VALID   R 10.0.0.4                                four\n"
            u"2   UNKNOWN   -                                       gone\n");
  EXPECT_EQ(lines(six, NI_HS_DUMP_TAB),
            u"0\tVALID\tA\t~\t2001::1\tdual\n1\tVALID\tR\t10.0.0.4\t~\tfour\n2\tUNKNOWN\t \t-\t-\tgone\n");
  EXPECT_EQ(lines(ring4, NI_HS_DUMP_TAB), u"0\tVALID\tA\t10.0.0.4\t~\tfour\n");
  EXPECT_EQ(lines(serv, NI_HS_DUMP_TAB), u"0\tVALID\t3300\tsapgw00\n1\tUNKNOWN\t9\t-\n");
  EXPECT_EQ(lines(serv, 3), u"rc-8");
  WEQ_UC small[10];
  int done = 0;
  serv.Lock();
  EXPECT_EQ(serv.DumpBufLine(small, 10, &done, NI_HS_DUMP_TABLE), NIETOO_SMALL);
  serv.Unlock();
  EXPECT_EQ(std::u16string(ErrGetFld(ERR_FLD_ERROR)), u"NiSrvLDumpBufLine: buffer too small");
  // An empty cache is done at once.
  NISIMPL_LINEAR empty;
  ASSERT_EQ(empty.Init(8, 86400, 600, 600), WEQ_O_K);
  EXPECT_EQ(lines(empty, NI_HS_DUMP_TABLE), u"");
}

TEST(HsDump, ServiceRecordTraceLine) {
  trccheck::TraceFile trace(2);
  NISIMPL_LINEAR serv;
  const WEQ_UC* aliases[] = {u"gw", u"gateway", nullptr};
  NI_SERVENT e = {u"sapgw00", aliases, htons(3300), u"tcp"};
  serv.TraceServEntry(&e, 2);
  NI_SERVENT bare = {nullptr, nullptr, htons(1), nullptr};
  serv.TraceServEntry(&bare, 2);
  serv.TraceServEntry(&e, 3);
  std::string t = trace.Read();
  EXPECT_NE(t.find("SN='sapgw00'; Ali[0]='gw'; Ali[1]='gateway'; Port=3300; PC=tcp\n"), std::string::npos) << t;
  EXPECT_NE(t.find("SN='(null)'; Port=1; PC=(null)\n"), std::string::npos) << t;
  EXPECT_EQ(t.find("SN='sapgw00'", t.find("SN='(null)'")), std::string::npos);
}

// --- Address policy ---------------------------------------------------------------

struct Policy : ::testing::Test {
  FakeScope fake{6};
  ~Policy() override { unsetenv("NI_ADDR_POLICY"); }
  // A cache that read value (NULL: unset) at Init.
  std::unique_ptr<NIHIMPL_LINEAR6> With(const char* value) {
    if (value)
      setenv("NI_ADDR_POLICY", value, 1);
    else
      unsetenv("NI_ADDR_POLICY");
    auto c = std::make_unique<NIHIMPL_LINEAR6>();
    EXPECT_EQ(c->Init(10, 86400, 600, 600), WEQ_O_K);
    return c;
  }
  NI_NODEADDR Pick(NIHIMPL_LINEAR6& c, int protocol = 0, NI_RC want = WEQ_O_K) {
    NI_NODEADDR a{};
    EXPECT_EQ(c.NiHL6OSLookupNameToAddr(u"h", &a, protocol, NiITrcHdl()), want);
    return a;
  }
};

TEST_F(Policy, ChoicesOverTheResolversOrder) {
  NI_NODEADDR v4a = V4(10, 1, 0, 1), v4b = V4(192, 168, 0, 1), v6a = V6(0x2001, 1), v6b = V6(0xfd00, 2);
  fake.AddHost(u"h", {v4a, v6a, v4b, v6b});
  struct Case {
    const char* policy;  // NULL: unset
    int protocol;
    NI_NODEADDR want;
    bool noMatch;
  };
  const Case cases[] = {
      {nullptr, 0, v4a, false},
      {"172.16.0.0/12,40", 0, v4a, true},
      {"fd00::/8,50;2001::/16,50", 0, v6a, false},  // equal precedence: resolver's first
      {"::/0,10;192.168.0.0/16,20", 0, v4b, false},
      {"2001::/16,10;::/0,20", 0, v4a, false},               // the short rule makes the first address best
      {"10.0.0.0/8,10;2001::/16,5;::/0,50", 0, v6a, false},  // long rule 5 passed over for the shorter 50
      {"::/0,10;10.0.0.0/8,30", NI_PROTO_FAM_IPv6, v6a, false},
      {"fd00::/8,1", NI_PROTO_FAM_IPv4, v4a, true},
      {"::ffff:0:0/96,100", NI_PROTO_FAM_IPv6, v6a, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.policy ? c.policy : "(unset)");
    trccheck::TraceFile trace(1);
    auto cache = With(c.policy);
    EXPECT_TRUE(Same(Pick(*cache, c.protocol), c.want));
    EXPECT_EQ(
        trace.Read().find("NiHL6OSLookupNameToAddr: 'policy table' does not match") != std::string::npos,
        c.noMatch);
  }
}

TEST_F(Policy, RulesReadSortedAndBounded) {
  fake.AddHost(u"h", {V4(10, 0, 0, 1)});
  auto c = With("::/0,1;10.0.0.0/8,2;2001:db8::/32,3;10.1.0.0/16,4;10.0.0.0/8,5");
  NI_POLICY_RULE r[NI_POLICY_RULES];
  ASSERT_EQ(c->CopyPolicy(r), 5);
  std::vector<std::pair<int, int>> got;
  for (int i = 0; i < 5; ++i) got.emplace_back(r[i].prefixLen, r[i].precedence);
  EXPECT_EQ(got, (std::vector<std::pair<int, int>>{{32, 3}, {16, 4}, {8, 2}, {8, 5}, {0, 1}}));

  trccheck::TraceFile trace(1);
  c = With("::/129,1;::/0,1001;::/0,-1;::/0;/0,1;nonsense,2;::/0,1000");
  ASSERT_EQ(c->CopyPolicy(r), 1);
  EXPECT_EQ(r[0].precedence, 1000);
  std::string rule55 = "1234:5678:9abc:def0:1234:5678:9abc:def0/128,00000000";
  ASSERT_EQ(rule55.size(), 52u);
  rule55 += "001";
  EXPECT_EQ(c->NiHL6addPolicyRule(tovtest::FromUtf8(rule55).c_str()), WEQ_O_K);
  EXPECT_EQ(c->NiHL6addPolicyRule(tovtest::FromUtf8(rule55 + "0").c_str()), NIEINVAL);
  EXPECT_NE(
      trace.Read().find("NiHL6addPolicyRule: policy rule '" + rule55 + "0' too long for buffer (56>55)"),
      std::string::npos);

  std::string many;
  for (int i = 0; i < 21; ++i) many += "10." + std::to_string(i) + ".0.0/16," + std::to_string(i) + ";";
  c = With(many.c_str());
  ASSERT_EQ(c->CopyPolicy(r), 20);
  EXPECT_EQ(r[19].precedence, 19);
  EXPECT_NE(trace.Read().find("NiHL6InitPolicy: NI_ADDR_POLICY table overflow (20>=20)"), std::string::npos);

  std::string huge(1024, ';');
  c = With(huge.c_str());
  EXPECT_EQ(c->CopyPolicy(r), 0);
  EXPECT_NE(trace.Read().find("to large (1024>=1024)"), std::string::npos);
}

TEST_F(Policy, MoreThanFortyEightAddressesAndMissingFamilies) {
  std::vector<NI_NODEADDR> addrs;
  for (int i = 0; i < 60; ++i) addrs.push_back(V4(10, 0, 0, static_cast<uint8_t>(i)));
  addrs.push_back(V6(0x2001, 7));  // beyond the 48 that are looked at
  fake.AddHost(u"h", addrs);
  trccheck::TraceFile trace(2);
  auto c = With("::/0,9");
  EXPECT_TRUE(Same(Pick(*c), V4(10, 0, 0, 0)));
  EXPECT_NE(trace.Read().find("more than 48 addresses found (61)"), std::string::npos);
  Pick(*c, NI_PROTO_FAM_IPv6, NIEHOST_UNKNOWN);
  EXPECT_NE(trace.Read().find("NiHL6OSLookupNameToAddr: hostname 'h' (for protocol 'IPv6') not found by "
                              "operating system"),
            std::string::npos);
}

// --- Lookup-time trace -------------------------------------------------------------

std::atomic<uint32_t> g_micros{0};
uint32_t MicroClock(NIHSIMPL*) { return g_micros.load(); }

TEST(HsClock, LookupTimeTraceOverBothClocksAndTheirWraps) {
  FakeScope fake;
  NIHIMPL_LINEAR c;
  ASSERT_EQ(c.Init(4, 86400, 600, 600), WEQ_O_K);
  c.SetTraceLimit(1000);
  fake.AddHost(u"slow", {V4(10, 0, 0, 1)});
  // The caller's microsecond clock wraps at 2^32 us: 4294967 ms.
  c.SetTimeFunc(&MicroClock);
  g_micros = 4294000000u;
  fake.During([] { g_micros = 100000u; });
  trccheck::TraceFile trace(1);
  NI_NODEADDR a;
  ASSERT_EQ(c.GetNodeAddr(u"slow", &a, NI_HS_MODE_NOBUF, 0, nullptr), WEQ_O_K);
  EXPECT_NE(trace.Read().find("NiHLGetNodeAddr: to get 'slow' succeeded in 1067ms (tl=1000ms; MT; UC)"),
            std::string::npos)
      << trace.Read();
  // The built-in clock counts whole seconds modulo 2^16.
  c.SetTimeFunc(nullptr);
  nihsfake::Now() = (int64_t{1} << 32) + 65535;
  fake.During([] { nihsfake::Now() += 3; });
  EXPECT_EQ(c.GetNodeAddr(u"nosuch", &a, NI_HS_MODE_NOBUF, 0, nullptr), NIEHOST_UNKNOWN);
  EXPECT_NE(trace.Read().find("NiHLGetNodeAddr: to get 'nosuch' failed in 3000ms (tl=1000ms; MT; UC)"),
            std::string::npos);
  NIHSIMPL::Millis t0{65535000u, 65536000u}, t1{2000u, 65536000u};
  EXPECT_EQ(NIHSIMPL::Elapsed(t0, t1), 3000u);
}

}  // namespace

namespace {

// The failure reporter names a handle's partner through the caches in
// buffer-only mode: cached names when there are some, else the address and
// port, and never a resolver call.
TEST(HsReporter, PartnerTextsComeFromTheCachesOnly) {
  FakeScope fake;
  fake.AddHost(u"gwhost", {V4(10, 1, 1, 1)}, u"gwhost");
  fake.AddServ(u"sapgw00", 3300);
  NITAB hdl{};
  hdl.mHdl = 3;
  hdl.mType = NI_CONNECTED;
  hdl.con.mSocket = SI_SOCKET{5, SI_AF_INET, SI_SOCK_STREAM, 0};
  hdl.con.mPeerAddr = V4(10, 1, 1, 1);
  hdl.con.mPeerServNo = htons(3300);
  auto report = [&] {
    return NiIReportSiError(SI_ECONN_REFUSE, SI_FN_SEND, &hdl, &hdl.con.mSocket, 111, nullptr, nullptr,
                            nullptr, u"NiIWrite", u"test", 1, 0);
  };
  EXPECT_EQ(report(), NIECONN_REFUSED);
  EXPECT_EQ(std::u16string(ErrGetFld(ERR_FLD_DETAIL)), u"partner '10.1.1.1:3300' not reached");
  EXPECT_EQ(S().byName + S().byAddr + S().servByName + S().servByPort, 0);
  NI_NODEADDR a;
  uint16_t port;
  ASSERT_EQ(NiIGetNodeAddr(u"gwhost", 0, &a, NI_HS_MODE_DEFAULT, nullptr), WEQ_O_K);
  ASSERT_EQ(NiIGetServNo(u"sapgw00", &port, NI_HS_MODE_DEFAULT, nullptr), WEQ_O_K);
  int asked = S().byName + S().byAddr + S().servByName + S().servByPort;
  EXPECT_EQ(report(), NIECONN_REFUSED);
  EXPECT_EQ(std::u16string(ErrGetFld(ERR_FLD_DETAIL)), u"partner 'gwhost:sapgw00' not reached");
  EXPECT_EQ(S().byName + S().byAddr + S().servByName + S().servByPort, asked);
}

}  // namespace
