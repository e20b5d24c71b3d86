// The NI library and its handle table: nesting, generations, exhaustion,
// re-initialisation, per-thread data, the IPv6 decision in namespaces of
// the test's own, and the implicit start of NI.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "krn/dptrc/err.h"
#include "krn/dptrc/trc_checker.h"
#include "krn/ni/ni.h"
#include "krn/ni/niaddr_int.h"
#include "krn/ni/nixx_int.h"
#include "krn/si/si_int.h"
#include "krn/thr/thr.h"
#include "peers/netns.h"
#include "support/testsupport.h"

namespace {

using tovtest::ToUtf8;

std::string Fld(int f) { return ToUtf8(ErrGetFld(f)); }

// A check inside a child process: a failure names its line on standard
// error and ends the child with 1.
#define CHILD_CHECK(cond)                                                      \
  do {                                                                         \
    if (!(cond)) {                                                             \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      return 1;                                                                \
    }                                                                          \
  } while (0)

void ExpectChildOk(const tovtest::ChildResult& r) { EXPECT_EQ(r.exit_code, 0) << r.err << r.out; }

// A record taken and brought to a working state without a socket.
NI_HDL Take(uint8_t state = NI_CONNECTED) {
  NITAB* rec = nullptr;
  if (NiICreateHandle(&rec, NI_INITIAL_CON, nullptr) != WEQ_O_K) return NI_INVALID_HDL;
  NiISetState(rec, state, u"test");
  return rec->mHdl.load();
}

class NiLib : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(ThrProcInit(), THR_ERR_OK); }
};

// --- Nesting --------------------------------------------------------------------------

TEST_F(NiLib, NestingCountsCallsAndKeepsTheFirstSize) {
  ExpectChildOk(tovtest::RunInChild([] {
    trccheck::TraceFile trace{2};
    CHILD_CHECK(NiInit3(32769) == NIEINVAL);
    CHILD_CHECK(Fld(ERR_FLD_ERROR) == "NiInit3: parameter invalid (maxHandles > NI_MAX_HDLS)");
    CHILD_CHECK(NiInit2(0) == NIEINVAL);
    CHILD_CHECK(Fld(ERR_FLD_ERROR) == "NiInit2: parameter invalid (maxHandles <= 0)");
    CHILD_CHECK(NiIInitCount() == 0 && NiIMaxHandles() == 0);
    CHILD_CHECK(NiInit3(32768) == WEQ_O_K);
    CHILD_CHECK(NiIMaxHandles() == 32768 && NiIFreeHandles() == 32768);
    CHILD_CHECK(NiInit3(16) == WEQ_O_K);
    CHILD_CHECK(NiIMaxHandles() == 32768 && NiIInitCount() == 2);
    CHILD_CHECK(trace.Read().find("NiInit3: NI already initialized; param 'maxHandles' ignored "
                                  "(init=1;par=16;cur=32768)") != std::string::npos);
    CHILD_CHECK(NiInit() == WEQ_O_K);  // the default size nests quietly
    CHILD_CHECK(trace.Read().find("NiInit3: NI already initializes (init=2;cur=32768)") != std::string::npos);
    CHILD_CHECK(NiExit() == WEQ_O_K && NiExit() == WEQ_O_K);
    CHILD_CHECK(NiIMaxHandles() == 32768);
    CHILD_CHECK(trace.Read().find("NiExit: NI library still in use (1)") != std::string::npos);
    CHILD_CHECK(NiExit() == WEQ_O_K);
    CHILD_CHECK(NiIMaxHandles() == 0 && NiIFreeHandles() == -1);
    // One release too many leaves the counter negative; the next start
    // warns and counts from 1.
    CHILD_CHECK(NiExit() == WEQ_O_K && NiIInitCount() == -1);
    CHILD_CHECK(trace.Read().find("NiExit: NI library already released (-1)") != std::string::npos);
    CHILD_CHECK(NiThrInit() == NIECALL);
    CHILD_CHECK(Fld(ERR_FLD_ERROR) == "NiThrInit: NI library not initialized (-1)");
    CHILD_CHECK(NiInit() == WEQ_O_K && NiIInitCount() == 1 && NiIMaxHandles() == 2048);
    CHILD_CHECK(trace.Read().find("NiInit3: NI initialization negative (-1)") != std::string::npos);
    CHILD_CHECK(NiExit() == WEQ_O_K && NiIInitCount() == 0);
    return 0;
  }));
}

TEST_F(NiLib, AFailedStartLeavesTheCounterAtZero) {
  ExpectChildOk(tovtest::RunInChild([] {
    SiITestFail(SI_FN_INIT, 1, SI_ESYSCALL, EIO);
    CHILD_CHECK(NiInit() == NIEINTERN);
    CHILD_CHECK(Fld(ERR_FLD_SYSCALL) == "TcpipInit");
    CHILD_CHECK(NiIInitCount() == 0 && NiIMaxHandles() == 0);
    NITAB* rec = nullptr;
    SiITestFail(SI_FN_INIT, 1, SI_ESYSCALL, EIO);
    CHILD_CHECK(NiICreateHandle(&rec, NI_INITIAL_CON, nullptr) == NIEINTERN && rec == nullptr);
    CHILD_CHECK(NiIInitCount() == 0);
    // The next start succeeds.
    CHILD_CHECK(NiInit() == WEQ_O_K && NiIInitCount() == 1 && NiIFreeHandles() == 2048);
    CHILD_CHECK(NiExit() == WEQ_O_K);
    return 0;
  }));
}

TEST_F(NiLib, ReinitialisationAfterExitGivesAFullTableEveryTime) {
  ExpectChildOk(tovtest::RunInChild([] {
    // Sizes that make the allocator hand back earlier table blocks.
    for (int32_t size : {8, 8, 16, 8, 4, 16, 16, 8}) {
      CHILD_CHECK(NiInit3(size) == WEQ_O_K);
      CHILD_CHECK(NiIFreeHandles() == size);
      for (int32_t i = 0; i < size; ++i) CHILD_CHECK(Take() != NI_INVALID_HDL);
      CHILD_CHECK(NiIFreeHandles() == 0);
      CHILD_CHECK(Take() == NI_INVALID_HDL);
      CHILD_CHECK(NiExit() == WEQ_O_K);
    }
    return 0;
  }));
}

// --- Generations and the handle check ---------------------------------------------------

class NiTable : public NiLib {
 protected:
  void SetUp() override {
    NiLib::SetUp();
    ASSERT_EQ(NiInit3(4), WEQ_O_K);
  }
  void TearDown() override { NiExit(); }
};

TEST_F(NiTable, ASlotReusedAdvancesItsGenerationAndStaleNumbersFail) {
  NI_HDL first = Take();
  ASSERT_NE(first, NI_INVALID_HDL);
  int32_t slot = first >> 3;
  std::vector<NI_HDL> seen{first};
  NI_HDL cur = first;
  for (int i = 0; i < 9; ++i) {
    ASSERT_EQ(NiCloseHandle(cur), WEQ_O_K);
    NI_HDL next = Take();
    ASSERT_EQ(next >> 3, slot) << "the free list gives the slot just returned";
    EXPECT_EQ(next & 7, ((cur & 7) + 1) & 7);
    NITAB* rec = nullptr;
    EXPECT_EQ(NiIHdlCheck(cur, u"test", &rec), NIEINVAL);
    EXPECT_EQ(rec, nullptr);
    EXPECT_EQ(NiIHdlCheck(next, u"test", &rec), WEQ_O_K);
    cur = next;
    seen.push_back(next);
  }
  // Eight consecutive numbers of a slot are distinct; the ninth repeats
  // the first.
  for (size_t i = 0; i + 1 < seen.size(); ++i) {
    for (size_t j = i + 1; j < seen.size() && j < i + 8; ++j) EXPECT_NE(seen[i], seen[j]);
  }
  EXPECT_EQ(seen[8], seen[0]);
  EXPECT_EQ(NiCloseHandle(cur), WEQ_O_K);
}

TEST_F(NiTable, InvalidNumbersAreRefusedWithTheirOwnTraceLevel) {
  trccheck::TraceFile trace{1};
  struct Case {
    NI_HDL hdl;
    bool traced;
  } cases[] = {{-1, false}, {4 * 8, true}, {-2, true}, {1 << 30, true}, {5, true}};
  for (const Case& c : cases) {
    size_t before = trace.Read().size();
    int32_t sock = 7;
    EXPECT_EQ(NiHdlToSock(c.hdl, &sock), NIEINVAL) << c.hdl;
    EXPECT_EQ(Fld(ERR_FLD_ERROR), "NiHdlToSock: invalid hdl " + std::to_string(c.hdl));
    EXPECT_EQ(Fld(ERR_FLD_COMPONENT), "NI (network interface)");
    bool traced = trace.Read().size() > before;
    EXPECT_EQ(traced, c.traced) << c.hdl;
  }
  // An initial record is not valid for public functions.
  NITAB* rec = nullptr;
  ASSERT_EQ(NiICreateHandle(&rec, NI_INITIAL_CON, nullptr), WEQ_O_K);
  EXPECT_EQ(NiCloseHandle(rec->mHdl.load()), NIEINVAL);
  EXPECT_EQ(NiICloseHandle(rec, 1, 0), WEQ_O_K);
}

TEST_F(NiTable, ExhaustionRecoveryAndDoubleClose) {
  std::vector<NI_HDL> h;
  for (int i = 0; i < 4; ++i) h.push_back(Take());
  for (NI_HDL x : h) ASSERT_NE(x, NI_INVALID_HDL);
  EXPECT_EQ(NiIFreeHandles(), 0);
  NITAB* rec = nullptr;
  EXPECT_EQ(NiICreateHandle(&rec, NI_INITIAL_CON, nullptr), NIEINVAL);
  EXPECT_EQ(rec, nullptr);
  EXPECT_EQ(Fld(ERR_FLD_ERROR), "NiICreateHandle: no more free handles (4)");
  EXPECT_EQ(Fld(ERR_FLD_DETAIL), "internal error\n(this retcode should be handled by caller of NI-layer)");
  ASSERT_EQ(NiCloseHandle(h[2]), WEQ_O_K);
  NI_HDL again = Take();
  EXPECT_EQ(again >> 3, h[2] >> 3);
  // Closing a record that is free already changes nothing.
  NITAB* stale = nullptr;
  ASSERT_EQ(NiIHdlCheck(h[0], u"test", &stale), WEQ_O_K);
  ASSERT_EQ(NiICloseHandle(stale, 1, 0), WEQ_O_K);
  int32_t free = NiIFreeHandles();
  EXPECT_EQ(NiICloseHandle(stale, 1, 0), NIEINVAL);
  EXPECT_EQ(NiIFreeHandles(), free);
  EXPECT_EQ(NiCloseHandle(h[0]), NIEINVAL);
}

TEST_F(NiTable, ARefusedTypeTakesNoSlot) {
  for (uint8_t type : {0, 4, 0x11, 0x35, 0xFF}) {
    NITAB* rec = nullptr;
    EXPECT_EQ(NiICreateHandle(&rec, type, nullptr), NIEINVAL) << int(type);
    EXPECT_EQ(Fld(ERR_FLD_ERROR), "NiICreateHandle: invalid type (" + std::to_string(type) + ")");
    EXPECT_EQ(NiIFreeHandles(), 4);
  }
}

TEST_F(NiTable, DatagramHandlesCloseOnlyThroughTheirOwnFunctions) {
  for (uint8_t state : {NI_DG_CONNECTED, NI_DG_UNCONNECTED}) {
    NI_HDL h = Take(state);
    EXPECT_EQ(NiCloseHandle(h), NIEINVAL);
    std::string name = state == NI_DG_CONNECTED ? "NI_DG_CONNECTED" : "NI_DG_UNCONNECTED";
    EXPECT_EQ(Fld(ERR_FLD_ERROR), "NiCloseHandle: parameter invalid (pHdl->mType == " + name + ")");
    NITAB* rec = nullptr;
    ASSERT_EQ(NiIHdlCheck(h, u"test", &rec), WEQ_O_K);
    EXPECT_EQ(NiICloseHandle(rec, 1, 0), WEQ_O_K);
  }
  EXPECT_EQ(NiIFreeHandles(), 4);
}

TEST(NiStates, NamesOfEveryStateAndOfOthers) {
  const std::pair<uint8_t, const char*> names[] = {
      {0x00, "NI_FREE"},         {0x01, "NI_INITIAL_LIS"},    {0x02, "NI_INITIAL_RIL"},
      {0x03, "NI_INITIAL_CON"},  {0x11, "NI_LISTEN"},         {0x22, "NI_RI_LISTEN"},
      {0x34, "NI_CONN_WAIT"},    {0x35, "NI_CONNECTED"},      {0x36, "NI_ACCEPTED"},
      {0x47, "NI_DG_CONNECTED"}, {0x48, "NI_DG_UNCONNECTED"}, {0x04, "INVALID"},
      {0x10, "INVALID"},         {0x33, "INVALID"},           {0xFF, "INVALID"}};
  for (const auto& [state, name] : names) EXPECT_EQ(ToUtf8(NiIHdlStateName(state)), name) << int(state);
}

TEST_F(NiTable, SocketsMapToTheirHandlesAndBack) {
  NI_HDL out = 5;
  EXPECT_EQ(NiSockToHdl(-1, &out), NIEINVAL);
  EXPECT_EQ(Fld(ERR_FLD_ERROR), "NiSockToHdl: parameter invalid (socketNo < 0)");
  EXPECT_EQ(NiSockToHdl(3, nullptr), NIEINVAL);
  EXPECT_EQ(Fld(ERR_FLD_ERROR), "NiSockToHdl: parameter invalid (pHandle == NULL)");
  NI_HDL a = Take(), b = Take();
  NITAB *ra = nullptr, *rb = nullptr;
  ASSERT_EQ(NiIHdlCheck(a, u"test", &ra), WEQ_O_K);
  ASSERT_EQ(NiIHdlCheck(b, u"test", &rb), WEQ_O_K);
  ra->con.mSocket.socketNo = 900;
  rb->con.mSocket.socketNo = 901;
  EXPECT_EQ(NiSockToHdl(901, &out), WEQ_O_K);
  EXPECT_EQ(out, b);
  EXPECT_EQ(NiSockToHdl(902, &out), NIEINVAL);
  EXPECT_EQ(out, NI_INVALID_HDL);
  int32_t sock = 0;
  EXPECT_EQ(NiHdlToSock(a, &sock), WEQ_O_K);
  EXPECT_EQ(sock, 900);
  EXPECT_EQ(NiHdlToSock(a, nullptr), NIEINVAL);
  EXPECT_EQ(Fld(ERR_FLD_ERROR), "NiHdlToSock: parameter invalid (pSocketNo == NULL)");
  ra->con.mSocket.socketNo = -1;
  EXPECT_EQ(NiHdlToSock(a, &sock), NIEINVAL);
  EXPECT_EQ(sock, -1);
  EXPECT_EQ(Fld(ERR_FLD_ERROR),
            "NiHdlToSock: parameter invalid (pHdl->con.mSocket.socketNo == NI_INVALID_SOCK)");
  rb->con.mSocket.socketNo = -1;  // nothing to close
  EXPECT_EQ(NiCloseHandle(a), WEQ_O_K);
  EXPECT_EQ(NiCloseHandle(b), WEQ_O_K);
}

// --- Per-thread data -------------------------------------------------------------------------

TEST_F(NiTable, ThreadDataIsPerThreadAndFreedWhenAsked) {
  NI_THR_GLOB* mine = NiIGetThrGlob();
  ASSERT_NE(mine, nullptr);
  EXPECT_EQ(NiIGetThrGlob(), mine);
  EXPECT_TRUE(NiIIsMapped(mine->mLocalAddr));
  EXPECT_EQ(ToUtf8(NiAddrToStrStatic(&mine->mLocalAddr, 0)), "0.0.0.0");
  NI_THR_GLOB* other = nullptr;
  std::thread t([&] {
    other = NiIGetThrGlob();
    EXPECT_EQ(NiThrInit(), WEQ_O_K);  // exists already: nothing to do
  });
  t.join();  // its block goes with the thread
  EXPECT_NE(other, nullptr);
  EXPECT_NE(other, mine);
  NiThrExit(nullptr);
  NI_THR_GLOB* fresh = NiIGetThrGlob();
  ASSERT_NE(fresh, nullptr);
  NiThrExit(fresh);
}

// --- Implicit start ------------------------------------------------------------------------

TEST_F(NiLib, AddressTextAndHostNameStartNiOnce) {
  ExpectChildOk(tovtest::RunInChild([] {
    CHILD_CHECK(NiIMaxHandles() == 0);
    NI_NODEADDR lo = NiIPv4ToAddr(htonl(0x7F000001u));
    CHILD_CHECK(ToUtf8(NiAddrToStrStatic(&lo, 0)) == "127.0.0.1");
    CHILD_CHECK(NiIInitCount() == 1 && NiIMaxHandles() == 2048);
    WEQ_UC host[NI_MAX_HOSTNAME_LEN];
    CHILD_CHECK(NiMyHostName(host, NI_MAX_HOSTNAME_LEN) == WEQ_O_K);
    CHILD_CHECK(host[0] != 0);
    CHILD_CHECK(NiIInitCount() == 1);
    CHILD_CHECK(NiExit() == WEQ_O_K && NiIMaxHandles() == 0);
    WEQ_UC again[NI_MAX_HOSTNAME_LEN];
    CHILD_CHECK(NiMyHostName(again, NI_MAX_HOSTNAME_LEN) == WEQ_O_K);
    CHILD_CHECK(NiIInitCount() == 1);
    CHILD_CHECK(ToUtf8(host) == ToUtf8(again));
    return 0;
  }));
}

// --- The IPv6 decision ---------------------------------------------------------------------

struct Ipv6Case {
  const char* name;
  std::vector<std::string> commands;  // run inside the namespace first
  bool active;
  const char* line;  // expected trace line, "" for none
};

class NiIpv6Decision : public ::testing::TestWithParam<Ipv6Case> {};

TEST_P(NiIpv6Decision, FollowsTheAddressesOfTheNamespace) {
  if (!peers::NetnsAvailable()) GTEST_SKIP() << "no network namespaces here";
  const Ipv6Case& c = GetParam();
  tovtest::ChildResult r = peers::RunInNetns([&] {
    for (const std::string& cmd : c.commands) {
      if (system((cmd + " >/dev/null 2>&1").c_str()) != 0) {
        fprintf(stderr, "command failed: %s\n", cmd.c_str());
        return 2;
      }
    }
    CHILD_CHECK(ThrProcInit() == THR_ERR_OK);
    setenv("WEQ_IPv6_ACTIVE", "1", 1);
    trccheck::TraceFile trace{2};
    CHILD_CHECK(NiInit() == WEQ_O_K);
    CHILD_CHECK(NiIIPv6Active() == c.active);
    NI_NODEADDR lo = NiILoopbackAddr(), any = NiIAnyAddr();
    CHILD_CHECK(ToUtf8(NiAddrToStrStatic(&lo, 0)) == (c.active ? "::1" : "127.0.0.1"));
    CHILD_CHECK(NiIIsMapped(any) == !c.active);
    NI_THR_GLOB* glob = NiIGetThrGlob();
    CHILD_CHECK(glob != nullptr && NiIIsMapped(glob->mLocalAddr) == !c.active);
    if (c.line[0] != 0) CHILD_CHECK(trace.Read().find(c.line) != std::string::npos);
    // A listen handle takes the family of the decision.
    uint16_t port = 0;
    NI_HDL h = NI_INVALID_HDL;
    CHILD_CHECK(NiServerHandleForPort(&port, &h) == WEQ_O_K);
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    int32_t fd = -1;
    CHILD_CHECK(NiHdlToSock(h, &fd) == WEQ_O_K);
    CHILD_CHECK(getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len) == 0);
    CHILD_CHECK(ss.ss_family == (c.active ? AF_INET6 : AF_INET));
    // An IPv4-only listen binds the IPv4 any address whatever the decision.
    NITAB* rec = nullptr;
    uint16_t p4 = 0;
    CHILD_CHECK(NiIListen(nullptr, &p4, NI_PROTO_FAM_IPv4, &rec) == WEQ_O_K);
    CHILD_CHECK(rec->lis.mIPSocket.family == SI_AF_INET);
    CHILD_CHECK(NiICloseHandle(rec, 1, 0) == WEQ_O_K);
    CHILD_CHECK(NiCloseHandle(h) == WEQ_O_K);
    CHILD_CHECK(NiExit() == WEQ_O_K);
    // The release returns to the IPv4 forms.
    CHILD_CHECK(!NiIIPv6Active());
    lo = NiILoopbackAddr();
    CHILD_CHECK(NiIIsMapped(lo));
    return 0;
  });
  EXPECT_EQ(r.exit_code, 0) << r.err;
}

INSTANTIATE_TEST_SUITE_P(
    Namespaces, NiIpv6Decision,
    ::testing::Values(
        Ipv6Case{"LoopbackAndAnother", {"ip -6 addr add fd00:5eed::1/64 dev lo nodad"}, true, ""},
        Ipv6Case{"LoopbackRemoved",
                 {"ip -6 addr add fd00:5eed::1/64 dev lo nodad", "ip -6 addr del ::1/128 dev lo"},
                 false,
                 "NiIInit: no IPv6 localhost address '::1' configured, IPv6 will not be initialized"},
        Ipv6Case{
            "LoopbackOnly", {}, false, "NiIInit: no IPv6 address configured, IPv6 will not be initialized"},
        Ipv6Case{"Disabled",
                 {"sh -c 'echo 1 > /proc/sys/net/ipv6/conf/all/disable_ipv6'",
                  "sh -c 'echo 1 > /proc/sys/net/ipv6/conf/lo/disable_ipv6'"},
                 false,
                 "NiIInit: no IPv6 address configured, IPv6 will not be initialized"}),
    [](const ::testing::TestParamInfo<Ipv6Case>& i) { return std::string(i.param.name); });

}  // namespace
