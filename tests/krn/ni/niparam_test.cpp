// NI parameters: one table of number x data type with the result and the
// stored value, the packing of the short forms, the per-handle numbers,
// and one effect per family seen from outside (listen backlog, socket
// buffers, the trace flag of new handles, the thread's local address as
// the peer sees it, the port range).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <functional>
#include <string>
#include <thread>

#include "krn/dptrc/err.h"
#include "krn/ni/ni.h"
#include "krn/ni/nibuf_int.h"
#include "krn/ni/nimsg_int.h"
#include "krn/ni/niparam_int.h"
#include "krn/ni/nixx_int.h"
#include "krn/thr/thr.h"
#include "peers/peers.h"
#include "support/testsupport.h"

namespace {

std::string ErrText() { return tovtest::ToUtf8(ErrGetFld(ERR_FLD_ERROR)); }

NI_PARAM_DATA Rec(uint8_t param, uint8_t type, uint32_t v) {
  NI_PARAM_DATA d{};
  d.param = param;
  d.datatype = type;
  switch (type) {
    case NI_DT_BOOL:
    case NI_DT_RAW:
      d.value.raw_val = static_cast<uint8_t>(v);
      break;
    case NI_DT_USHORT:
      d.value.ushort_val = static_cast<uint16_t>(v);
      break;
    default:
      d.value.uint_val = v;
  }
  return d;
}

class NiParam : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(ThrProcInit(), THR_ERR_OK);
    ASSERT_EQ(NiInit3(64), WEQ_O_K);
    NiIResetParams();
  }
  void TearDown() override {
    NiIResetParams();
    NiExit();
  }
};

TEST_F(NiParam, NumberAndTypeTable) {
  NiIParamValues& p = NiIParams();
  struct Case {
    uint8_t param;
    uint8_t type;
    uint32_t value;
    NI_RC rc;
    std::function<int64_t()> stored;  // read back after the call
    int64_t expect;
    const char* text;                 // error text for a refusal
  };
  auto u = [](auto& a) { return [&a] { return static_cast<int64_t>(a.load()); }; };
  const Case cases[] = {
      {1, NI_DT_BOOL, 7, WEQ_O_K, u(p.portRange), 1, nullptr},
      {1, NI_DT_UINT, 1, NIEINVAL, u(p.portRange), 0,
       "NiSetParamEx: parameter invalid (pParamData->datatype != NI_DT_BOOL)"},
      {2, NI_DT_USHORT, 40000, WEQ_O_K, u(p.maxPort), 40000, nullptr},
      {2, NI_DT_BOOL, 1, NIEINVAL, u(p.maxPort), 1023,
       "NiSetParamEx: parameter invalid (pParamData->datatype != NI_DT_USHORT)"},
      {3, NI_DT_BOOL, 1, NIEINVAL, u(p.minPort), 0,
       "NiSetParamEx: parameter invalid (pParamData->datatype != NI_DT_USHORT)"},
      {3, NI_DT_USHORT, 0, WEQ_O_K, u(p.minPort), 1, nullptr},
      {3, NI_DT_USHORT, 1, WEQ_O_K, u(p.minPort), 1, nullptr},
      {3, NI_DT_USHORT, 2, WEQ_O_K, u(p.minPort), 2, nullptr},
      {0, NI_DT_UINT, 1, NIEINVAL, nullptr, 0, "NiSetParamEx: param 0"},
      {6, NI_DT_UINT, 1, NIEINVAL, nullptr, 0, "NiSetParamEx: param 6"},
      {7, NI_DT_BOOL, 1, NIEINVAL, nullptr, 0, "NiSetParamEx: param 7"},
      {8, NI_DT_UINT, 1, NIEINVAL, nullptr, 0, "NiSetParamEx: param 8"},
      {24, NI_DT_UINT, 1, NIEINVAL, nullptr, 0, "NiSetParamEx: param 24"},
      {29, NI_DT_UINT, 1, NIEINVAL, nullptr, 0, "NiSetParamEx: param 29"},
      {31, NI_DT_UINT, 1, NIEINVAL, nullptr, 0, "NiSetParamEx: param 31"},
      {30, NI_DT_UINT, 123456, WEQ_O_K, [] { return static_cast<int64_t>(NiBufIMaxHeap()); }, 123456, nullptr},
      {9, NI_DT_UINT, 17, WEQ_O_K, u(p.fragTest), 17, nullptr},
      {9, NI_DT_RAW, 17, NIEINVAL, u(p.fragTest), 0,
       "NiSetParamEx: parameter invalid (pParamData->datatype != NI_DT_UINT)"},
      {10, NI_DT_BOOL, 0, WEQ_O_K, u(p.connLocal), 0, nullptr},
      {12, NI_DT_UINT, 3, WEQ_O_K, u(p.queueLen), 5, nullptr},
      {12, NI_DT_USHORT, 70, WEQ_O_K, u(p.queueLen), 70, nullptr},
      {12, NI_DT_BOOL, 9, WEQ_O_K, u(p.queueLen), 9, nullptr},
      {13, NI_DT_UINT, (4u << 8) | 50, WEQ_O_K, u(p.qTestProp), 50, nullptr},
      {13, NI_DT_UINT, (4u << 8) | 0, WEQ_O_K, u(p.qTestProp), 0, nullptr},
      {13, NI_DT_UINT, (4u << 8) | 101, WEQ_O_K, u(p.qTestProp), 0, nullptr},
      {13, NI_DT_UINT, 50, WEQ_O_K, u(p.qTestCount), 0, nullptr},
      {17, NI_DT_BOOL, 1, WEQ_O_K, u(p.traceAll), 1, nullptr},
      {18, NI_DT_BOOL, 2, WEQ_O_K, u(p.incServNo), 1, nullptr},
      {19, NI_DT_BOOL, 0, WEQ_O_K, u(p.contInRange), 0, nullptr},
      {20, NI_DT_UINT, 3, WEQ_O_K, u(p.pollTolerance), 3, nullptr},
      {23, NI_DT_UINT, 65536, WEQ_O_K, u(p.minSockBuf), 65536, nullptr},
      {23, NI_DT_USHORT, 100, NIEINVAL, u(p.minSockBuf), 32768,
       "NiSetParamEx: parameter invalid (pParamData->datatype != NI_DT_UINT)"},
      {14, NI_DT_UINT, 1, NIEINVAL, nullptr, 0,
       "NiSetParamEx: parameter invalid (pParamData->datatype != NI_DT_NODEADDR)"},
      {16, NI_DT_UINT, 1, NIEINVAL, nullptr, 0,
       "NiSetParamEx: parameter invalid (pParamData->datatype != NI_DT_VOIDPTR)"},
      {11, NI_DT_UINT, 1, NIEINVAL, nullptr, 0,
       "NiSetParamEx: parameter invalid (pParamData->datatype != NI_DT_UCPTR)"},
      {4, NI_DT_RAW, 2, NIEINVAL, nullptr, 0, "NiSetParamEx: opcode 2 unknown"},
      {4, NI_DT_RAW, 1, WEQ_O_K, nullptr, 0, nullptr},
      {4, NI_DT_RAW, 0, WEQ_O_K, nullptr, 0, nullptr},
  };
  for (const Case& c : cases) {
    NiIResetParams();
    NI_PARAM_DATA d = Rec(c.param, c.type, c.value);
    EXPECT_EQ(NiSetParamEx(&d), c.rc) << int(c.param) << "/" << int(c.type) << "/" << c.value;
    if (c.stored) {
      EXPECT_EQ(c.stored(), c.expect) << int(c.param) << "/" << c.value;
    }
    if (c.text != nullptr) {
      EXPECT_EQ(ErrText(), c.text) << int(c.param);
    }
  }
  EXPECT_EQ(NiSetParamEx(nullptr), NIEINVAL);
  EXPECT_EQ(ErrText(), "NiSetParamEx: parameter invalid (pParamData == NULL)");
}

TEST_F(NiParam, ShortFormsPackTheirValues) {
  struct Case {
    uint8_t param;
    uint32_t value;
    NI_RC rc;
  };
  for (Case c : {Case{1, 0x100, WEQ_O_K}, Case{2, 0x12345, WEQ_O_K}, Case{3, 0x10001, WEQ_O_K},
                 Case{9, 70000, WEQ_O_K}, Case{10, 1, WEQ_O_K}, Case{13, 0, WEQ_O_K}, Case{17, 1, WEQ_O_K},
                 Case{6, 1, NIEINVAL}, Case{12, 1, NIEINVAL}, Case{30, 1, NIEINVAL}}) {
    EXPECT_EQ(NiSetParam(c.param, c.value), c.rc) << int(c.param);
  }
  EXPECT_EQ(ErrText(), "NiSetParam: param 30 unknown");
  EXPECT_EQ(NiIParams().portRange.load(), 0);  // 0x100: the low byte only
  EXPECT_EQ(NiIParams().maxPort.load(), 0x2345);
  EXPECT_EQ(NiIParams().minPort.load(), 1);
  EXPECT_EQ(NiIParams().fragTest.load(), 70000u);
  EXPECT_EQ(NiIParams().traceAll.load(), 1);
}

TEST_F(NiParam, LocalDomainPathLimit) {
  std::u16string ok(104, u'p'), tooLong(105, u'p');
  NI_PARAM_DATA d{};
  d.param = NIP_UDS_PATH;
  d.datatype = NI_DT_UCPTR;
  d.value.ucptr_val = ok.c_str();
  EXPECT_EQ(NiSetParamEx(&d), WEQ_O_K);
  WEQ_UC back[NI_UDS_PATH_LEN];
  NiIUdsPath(back);
  EXPECT_EQ(std::u16string(back), ok);
  d.value.ucptr_val = tooLong.c_str();
  EXPECT_EQ(NiSetParamEx(&d), NIEINVAL);
  EXPECT_EQ(ErrText(), "NiSetParamEx: path too long for param NIP_UDS_PATH (105>=105)");
  d.value.ucptr_val = nullptr;
  EXPECT_EQ(NiSetParamEx(&d), NIEINVAL);
  NiIUdsPath(back);
  EXPECT_EQ(std::u16string(back), ok);
}

TEST_F(NiParam, PerHandleNumbers) {
  uint16_t port = 0;
  NI_HDL lis = NI_INVALID_HDL, con = NI_INVALID_HDL;
  ASSERT_EQ(NiServerHandleForPort(&port, &lis), WEQ_O_K);
  peers::Fd peer = peers::Connect(AF_INET, port);
  ASSERT_EQ(NiAccept(lis, 5000, &con, nullptr, nullptr), WEQ_O_K);
  NITAB* rec = nullptr;
  ASSERT_EQ(NiIHdlCheck(con, u"test", &rec), WEQ_O_K);

  NI_PARAM_DATA d = Rec(NIHP_SINGLE_READ, NI_DT_BOOL, 1);
  EXPECT_EQ(NiSetHdlParamEx(con, &d), WEQ_O_K);
  EXPECT_EQ(rec->con.mSingleRead, 1);
  d = Rec(NIHP_SINGLE_READ, NI_DT_UINT, 0);
  EXPECT_EQ(NiSetHdlParamEx(con, &d), NIEINVAL);
  EXPECT_EQ(rec->con.mSingleRead, 1);
  d = Rec(NIHP_MARK, NI_DT_UINT, 0);
  EXPECT_EQ(NiSetHdlParamEx(con, &d), WEQ_O_K);
  EXPECT_TRUE(rec->mFlags & NI_HDLFLAG_MARK);

  uint8_t zero = 0;
  uint32_t n = 5;
  struct Case {
    uint8_t param;
    void* value;
    const char* text;
  };
  const Case refused[] = {
      {62, &n, "NiSetHdlParam: invalid param 62 for hdl %d"},
      {NIHP_BUFSTAT, &zero, "NiSetHdlParamEx: parameter invalid (pParamData->value.raw_val != NI_BUFSTAT_ON)"},
      {NIHP_BUF_TALKMODE, &zero, "NiSetHdlParamEx: invalid param 60 for hdl %d"},
      {NIHP_MAXQUEUE, &n, "NiSetHdlParamEx: invalid param 64 for hdl %d"},
      {NIHP_WARNQUEUE, &n, "NiSetHdlParamEx: invalid param 65 for hdl %d"},
      {NIHP_BUFSTAT, nullptr, "NiSetHdlParam: parameter invalid (pValue == NULL)"},
  };
  for (const Case& c : refused) {
    EXPECT_EQ(NiSetHdlParam(con, c.param, c.value), NIEINVAL) << int(c.param);
    if (c.text != nullptr) {
      std::string want = c.text;
      size_t at = want.find("%d");
      if (at != std::string::npos) want.replace(at, 2, std::to_string(con));
      EXPECT_EQ(ErrText(), want);
    }
  }
  EXPECT_EQ(rec->mBuf, nullptr);
  EXPECT_EQ(NiSetHdlParamEx(-1, &d), NIEINVAL);
  EXPECT_EQ(NiSetHdlParamEx(con, nullptr), NIEINVAL);
  NiCloseHandle(con);
  NiCloseHandle(lis);
}

// --- Effects --------------------------------------------------------------------------------

TEST_F(NiParam, QueueLengthIsTheBacklogOfNewListenSockets) {
  for (uint32_t q : {3u, 7u, 40u}) {
    NI_PARAM_DATA d = Rec(NIP_QUEUE_LEN, NI_DT_UINT, q);
    ASSERT_EQ(NiSetParamEx(&d), WEQ_O_K);
    uint16_t port = 0;
    NI_HDL lis = NI_INVALID_HDL;
    ASSERT_EQ(NiServerHandleForPort(&port, &lis), WEQ_O_K);
    int32_t fd = -1;
    ASSERT_EQ(NiHdlToSock(lis, &fd), WEQ_O_K);
    tcp_info info{};
    socklen_t len = sizeof info;
    ASSERT_EQ(getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &len), 0);
    EXPECT_EQ(info.tcpi_sacked, q < 5 ? 5u : q);  // a listen socket's backlog
    NiCloseHandle(lis);
  }
}

TEST_F(NiParam, MinimumSocketBufferAndTraceFlagOfNewHandles) {
  for (uint32_t min : {65536u, 200000u}) {
    NI_PARAM_DATA d = Rec(NIP_MIN_SOCKBUF, NI_DT_UINT, min);
    ASSERT_EQ(NiSetParamEx(&d), WEQ_O_K);
    d = Rec(NIP_TRACE_ALL, NI_DT_BOOL, min > 100000 ? 1 : 0);
    ASSERT_EQ(NiSetParamEx(&d), WEQ_O_K);
    uint16_t port = 0;
    NI_HDL lis = NI_INVALID_HDL;
    ASSERT_EQ(NiServerHandleForPort(&port, &lis), WEQ_O_K);
    int32_t fd = -1;
    ASSERT_EQ(NiHdlToSock(lis, &fd), WEQ_O_K);
    int v = 0;
    socklen_t len = sizeof v;
    ASSERT_EQ(getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &v, &len), 0);
    EXPECT_GE(v, static_cast<int>(min));  // the system doubles what it is given
    ASSERT_EQ(getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &v, &len), 0);
    EXPECT_GE(v, static_cast<int>(min));
    NITAB* rec = nullptr;
    ASSERT_EQ(NiIHdlCheck(lis, u"test", &rec), WEQ_O_K);
    EXPECT_EQ(rec->mTrace, min > 100000 ? 1 : 0);
    NiCloseHandle(lis);
  }
}

TEST_F(NiParam, LocalAddressHoldsForTheSettingThreadOnly) {
  peers::Fd lis;
  uint16_t port = 0;
  lis = peers::Listener(AF_INET, &port);
  ASSERT_TRUE(lis.valid());
  auto peerOf = [&](bool fromOtherThread) {
    std::string seen;
    auto run = [&] {
      NI_HDL h = NI_INVALID_HDL;
      std::u16string serv = tovtest::FromUtf8(std::to_string(port));
      ASSERT_EQ(NiHandle(u"127.0.0.1", serv.c_str(), 5000, &h), WEQ_O_K);
      sockaddr_in a{};
      socklen_t len = sizeof a;
      peers::Fd acc(accept(lis.get(), reinterpret_cast<sockaddr*>(&a), &len));
      char text[INET_ADDRSTRLEN] = {};
      inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
      seen = text;
      NiCloseHandle(h);
    };
    if (fromOtherThread) {
      std::thread t(run);
      t.join();
    } else {
      run();
    }
    return seen;
  };
  NI_PARAM_DATA d{};
  d.param = NIP_LOCAL_ADDR;
  d.datatype = NI_DT_NODEADDR;
  d.value.nodeaddr_val = NiIPv4ToAddr(htonl(0x7F000002));
  ASSERT_EQ(NiSetParamEx(&d), WEQ_O_K);
  EXPECT_EQ(peerOf(false), "127.0.0.2");
  EXPECT_EQ(peerOf(true), "127.0.0.1");
}

TEST_F(NiParam, PortRangeBoundsTheSearch) {
  ASSERT_EQ(NiSetParam(NIP_PORTRANGE, 1), WEQ_O_K);
  ASSERT_EQ(NiSetParam(NIP_MINPORT, 20190), WEQ_O_K);
  ASSERT_EQ(NiSetParam(NIP_MAXPORT, 20199), WEQ_O_K);
  uint16_t port = 65535;
  NI_HDL lis = NI_INVALID_HDL;
  ASSERT_EQ(NiServerHandleForPort(&port, &lis), WEQ_O_K);
  EXPECT_GE(port, 20190);
  EXPECT_LE(port, 20199);
  NiCloseHandle(lis);
}

TEST(NiQTest, BlocksOfFailedWritesAtTheGivenProportion) {
  // P 1 of C 2: a block of two failed writes starts when r * 100 / 32767 <
  // 0.5, compared without truncation (in integers 1 / 2 is 0 and nothing
  // would ever fire).
  ASSERT_EQ(ThrProcInit(), THR_ERR_OK);
  ASSERT_EQ(NiInit3(16), WEQ_O_K);
  NiIResetParams();
  static int next = 0;
  NiISetRandom([] { return next; });
  uint16_t port = 0;
  NI_HDL lis = NI_INVALID_HDL, con = NI_INVALID_HDL;
  ASSERT_EQ(NiServerHandleForPort(&port, &lis), WEQ_O_K);
  peers::Fd peer = peers::Connect(AF_INET, port);
  ASSERT_EQ(NiAccept(lis, 5000, &con, nullptr, nullptr), WEQ_O_K);
  ASSERT_EQ(NiSetParam(NIP_QTEST, (2u << 8) | 1), WEQ_O_K);
  uint32_t w = 0;
  next = 100;  // 100 * 100 < 32767 / 2: starts a block
  EXPECT_EQ(NiWrite(con, "a", 1, 100, &w), NIETIMEOUT);
  next = 30000;
  EXPECT_EQ(NiWrite(con, "a", 1, 100, &w), NIETIMEOUT);  // the second of the block
  EXPECT_EQ(NiWrite(con, "a", 1, 100, &w), WEQ_O_K);     // resets the count
  EXPECT_EQ(NiWrite(con, "a", 1, 100, &w), WEQ_O_K);     // no new block at r 30000
  next = 170;  // 17000 >= 16383.5: no block
  EXPECT_EQ(NiWrite(con, "a", 1, 100, &w), WEQ_O_K);
  EXPECT_EQ(NiWrite(con, "a", 1, NI_BLOCK, &w), WEQ_O_K);  // never with an unlimited wait
  next = 0;
  EXPECT_EQ(NiWrite(con, "a", 1, NI_BLOCK, &w), WEQ_O_K);
  NiISetRandom(nullptr);
  NiCloseHandle(con);
  NiCloseHandle(lis);
  NiIResetParams();
  NiExit();
}

}  // namespace
