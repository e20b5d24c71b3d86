// NI select sets over each socket set implementation (select; poll, which
// WEQ_USE_WSAPOLL chooses; the fast-chain select), with plain, listen and
// buffered handles connected to the test's own socket ends: the edge cases
// of creation and membership, a model run where select and next give
// exactly the readable handles once each with their user data, changes
// while walking, buffered readiness without socket events, the socket modes
// a buffered handle registers, stored errors, and handles closed without
// leaving the set whose descriptor a new connection takes over.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <deque>
#include <thread>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "krn/dptrc/err.h"
#include "krn/ni/nisel_int.h"
#include "krn/si/si_int.h"
#include "krn/thr/thr.h"
#include "niconn.h"
#include "support/testsupport.h"

namespace {

using niconn::Conn;
using niconn::Ext;
using niconn::Rec;
using Clock = std::chrono::steady_clock;

std::string SelErr() { return tovtest::ToUtf8(ErrGetFld(ERR_FLD_ERROR)); }

struct Ready {
  NI_HDL hdl;
  uint8_t rd, wr, cn;
  void* data;
};

// Every handle one select reports.
std::vector<Ready> Walk(NISEL* set) {
  std::vector<Ready> out;
  Ready r{};
  while ((r.hdl = NiSelNext(set, &r.rd, &r.wr, &r.cn, &r.data)) != -1) out.push_back(r);
  return out;
}

class NiSel : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    ASSERT_EQ(ThrProcInit(), THR_ERR_OK);
    ASSERT_EQ(NiInit3(1024), WEQ_O_K);
    // Fixed socket buffers, so that queued output stays queued while the
    // peer does not read (left to the system they grow to megabytes).
    NI_PARAM_DATA minBuf{NIP_MIN_SOCKBUF, NI_DT_UINT, {}};
    minBuf.value.uint_val = 32768;
    ASSERT_EQ(NiSetParamEx(&minBuf), WEQ_O_K);
    SiITestReset();
  }
  void TearDown() override {
    delete set_;
    for (Conn& c : conns_) c.Close();
    unsetenv("WEQ_USE_WSAPOLL");
    SiITestReset();
    NiExit();
  }
  // A set of the parameter's socket set implementation.
  NISEL* NewSet(int32_t max) {
    if (GetParam() == SISEL_TYPE_SEL_NT_FC) {
      const uint8_t type = SISEL_TYPE_SEL_NT_FC;
      NISEL_IMPL* s = NiSelICreateSet(&type);
      EXPECT_EQ(s->NiSelIInit(max), WEQ_O_K);
      return s;
    }
    if (GetParam() == SISEL_TYPE_POLL)
      setenv("WEQ_USE_WSAPOLL", "1", 1);
    else
      unsetenv("WEQ_USE_WSAPOLL");
    NISEL* s = nullptr;
    EXPECT_EQ(NiSelNewSet2(&s, max), WEQ_O_K);
    return s;
  }
  Conn& Open(bool buffered) {
    conns_.emplace_back();
    EXPECT_TRUE(ep_.Open(&conns_.back(), buffered));
    return conns_.back();
  }
  SISEL_SPEC* Spec() { return static_cast<NISEL_IMPL*>(set_)->Spec(); }
  uint8_t SockMode(NI_HDL h) {
    uint8_t m = 0xFF;
    Spec()->GetMode(&Rec(h)->con.mSocket, &m);
    return m;
  }
  niconn::Endpoint ep_;
  std::deque<Conn> conns_;
  NISEL* set_ = nullptr;
};

TEST_P(NiSel, CreationMembershipAndTheirRefusals) {
  NISEL* s = nullptr;
  EXPECT_EQ(NiSelNewSet2(nullptr, 1), NIEINVAL);
  EXPECT_EQ(NiSelNewSet2(&s, -1), NIEINVAL);
  EXPECT_EQ(NiSelNewSet2(&s, 32769), NIEINVAL);
  EXPECT_EQ(SelErr(), "NiSelIInit: param maxSockets invalid (32769)");
  EXPECT_EQ(s, nullptr);
  set_ = NewSet(0);
  EXPECT_EQ(set_->NiSelIGetMaxEntries(), 2u);
  delete set_;
  set_ = NewSet(3);
  std::vector<NI_HDL> h;
  for (int i = 0; i < 4; ++i) h.push_back(Open(i % 2).hdl);
  EXPECT_EQ(NiSelSet(set_, h[0], 4, nullptr), NIEINVAL);
  EXPECT_EQ(SelErr(), "NiSelISet: invalid flags for none listen hdl " + std::to_string(h[0]));
  EXPECT_EQ(NiSelSet(set_, h[1], 8, nullptr), NIEINVAL);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(NiSelSet(set_, h[i], NI_READ, nullptr), WEQ_O_K);
  EXPECT_EQ(NiSelSet(set_, h[3], NI_READ, nullptr), NIEINVAL);
  const std::string name = tovtest::ToUtf8(static_cast<NISEL_IMPL*>(set_)->Name());
  EXPECT_EQ(SelErr(), "NiBufISelUpdate: set failed for hdl " + std::to_string(h[3]) + " set" + name +
                          "; maxSockets reached (3)");
  EXPECT_FALSE(set_->NiSelIIsMember(h[3]));
  EXPECT_EQ(NiSelClear(set_, h[3], 255), WEQ_O_K);  // not a member
  EXPECT_EQ(NiSelClear(set_, h[2], NI_WRITE), WEQ_O_K);
  EXPECT_TRUE(set_->NiSelIIsMember(h[2]));
  EXPECT_EQ(NiSelClear(set_, h[2], 255), WEQ_O_K);
  EXPECT_FALSE(set_->NiSelIIsMember(h[2]));
  EXPECT_EQ(NiSelSet(set_, h[3], NI_READ, nullptr), WEQ_O_K);  // room again
  auto start = Clock::now();
  EXPECT_EQ(NiSelSelect(set_, 0), NIETIMEOUT);
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(100));
  EXPECT_EQ(NiSelNext(set_, nullptr, nullptr, nullptr, nullptr), -1);
  EXPECT_EQ(NiSelSet(nullptr, h[0], NI_READ, nullptr), NIEINVAL);
  EXPECT_EQ(NiSelClear(nullptr, h[0], 255), NIEINVAL);
  EXPECT_EQ(NiSelSelect(nullptr, 0), NIEINVAL);
  EXPECT_EQ(NiSelNext(nullptr, nullptr, nullptr, nullptr, nullptr), NIEINVAL);
  EXPECT_EQ(NiSelClear(set_, -1, 255), NIEINVAL);
  // A second set is refused for a buffered handle that belongs to one.
  NISEL* other = NewSet(4);
  EXPECT_EQ(NiSelSet(other, h[1], NI_READ, nullptr), NIEINVAL);
  EXPECT_EQ(SelErr().substr(0, 28), "NiBufISelSet:  invalid set (");
  delete other;
}

TEST_P(NiSel, AListenHandleIsReadyWhenAConnectionWaits) {
  set_ = NewSet(8);
  uint16_t port = 0;
  NI_HDL lis = NI_INVALID_HDL;
  ASSERT_EQ(NiServerHandleForPort(&port, &lis), WEQ_O_K);
  EXPECT_EQ(NiSelSet(set_, lis, NI_READ, nullptr), NIEINVAL);
  EXPECT_EQ(SelErr(), "NiSelISet: invalid flags for listen hdl " + std::to_string(lis));
  int tag = 0;
  ASSERT_EQ(NiSelSet(set_, lis, NI_CONNECT, &tag), WEQ_O_K);
  EXPECT_EQ(NiSelSelect(set_, 0), NIETIMEOUT);
  peers::Fd client = peers::Connect(AF_INET, port);
  ASSERT_EQ(NiSelSelect(set_, 5000), WEQ_O_K);
  auto ready = Walk(set_);
  ASSERT_EQ(ready.size(), 1u);
  EXPECT_EQ(ready[0].hdl, lis);
  EXPECT_EQ(ready[0].cn, 1);
  EXPECT_EQ(ready[0].rd, 0);
  EXPECT_EQ(ready[0].data, &tag);
  EXPECT_EQ(NiSelNext(set_, nullptr, nullptr, nullptr, nullptr), -1);
  NI_HDL acc = NI_INVALID_HDL;
  EXPECT_EQ(NiAccept(lis, 0, &acc, nullptr, nullptr), WEQ_O_K);
  EXPECT_EQ(NiSelClear(set_, lis, 255), WEQ_O_K);
  NiCloseHandle(acc);
  NiCloseHandle(lis);
}

TEST_P(NiSel, SelectAndNextGiveExactlyTheReadableHandlesOnce) {
  constexpr int kHandles = 200;
  set_ = NewSet(kHandles);
  std::vector<Conn*> c;
  std::vector<int> tags(kHandles);
  for (int i = 0; i < kHandles; ++i) {
    c.push_back(&Open(i % 2 == 1));
    tags[i] = i;
    ASSERT_EQ(NiSelSet(set_, c[i]->hdl, NI_READ, &tags[i]), WEQ_O_K);
  }
  std::map<NI_HDL, int> index;
  for (int i = 0; i < kHandles; ++i) index[c[i]->hdl] = i;
  std::mt19937 rng(7);
  const int rounds = 8 * tovtest::HeavyFactor();
  for (int round = 0; round < rounds; ++round) {
    std::set<int> want;
    for (int k = 0; k < 1 + static_cast<int>(rng() % 20); ++k) want.insert(static_cast<int>(rng() % kHandles));
    for (int i : want) {
      std::string m = "round " + std::to_string(round) + " to " + std::to_string(i);
      std::string framed = peers::FrameEncode(m);
      // Buffered handles are ready only once the whole message is there.
      if (i % 2) {
        ASSERT_TRUE(c[i]->Send(framed.substr(0, 3)));
      }
      ASSERT_TRUE(c[i]->Send(i % 2 ? framed.substr(3) : framed));
    }
    std::multiset<int> seen;
    auto end = Clock::now() + std::chrono::seconds(10);
    while (seen.size() < want.size() && Clock::now() < end) {
      NI_RC rc = NiSelSelect(set_, 1000);
      if (rc == NIETIMEOUT) continue;
      ASSERT_EQ(rc, WEQ_O_K);
      for (const Ready& r : Walk(set_)) {
        int i = index.at(r.hdl);
        seen.insert(i);
        EXPECT_EQ(r.data, &tags[i]);
        EXPECT_EQ(r.rd, 1);
        // Take the message, so that the handle is not ready again.
        if (i % 2) {
          NIBUF* b = nullptr;
          EXPECT_EQ(NiBufReceive(r.hdl, &b, 0), WEQ_O_K);
          NiBufFree2(&b);
        } else {
          char buf[64];
          uint32_t n = 0;
          EXPECT_EQ(NiRead(r.hdl, buf, sizeof buf, 5000, &n), WEQ_O_K);
        }
      }
    }
    EXPECT_EQ(seen, std::multiset<int>(want.begin(), want.end())) << round;
  }
  EXPECT_EQ(set_->NiSelIGetErrCount(), 0u);
}

TEST_P(NiSel, HandlesLeavingDuringTheWalkAreNotReported) {
  set_ = NewSet(32);
  std::vector<NI_HDL> h;
  for (int i = 0; i < 12; ++i) {
    Conn& c = Open(i % 3 == 0);
    h.push_back(c.hdl);
    ASSERT_EQ(NiSelSet(set_, c.hdl, NI_READ, nullptr), WEQ_O_K);
    ASSERT_TRUE(c.SendMsg("x"));
  }
  std::set<NI_HDL> all(h.begin(), h.end()), seen;
  auto end = Clock::now() + std::chrono::seconds(10);
  bool cleared = false;
  while (!all.empty() && Clock::now() < end) {
    if (NiSelSelect(set_, 1000) != WEQ_O_K) continue;
    NI_HDL r;
    while ((r = NiSelNext(set_, nullptr, nullptr, nullptr, nullptr)) != -1) {
      EXPECT_TRUE(seen.insert(r).second);
      EXPECT_EQ(all.erase(r), 1u) << r;
      if (!cleared) {
        // Half of the others leave now: the set compacts under the walk.
        cleared = true;
        for (NI_HDL o : std::vector<NI_HDL>(all.begin(), all.end())) {
          if (o % 2) continue;
          EXPECT_EQ(NiSelClear(set_, o, 255), WEQ_O_K);
          all.erase(o);
        }
      }
      EXPECT_EQ(NiSelClear(set_, r, 255), WEQ_O_K);
    }
  }
  EXPECT_TRUE(all.empty());
}

TEST_P(NiSel, BufferedReadinessNeedsNoSocketEventAndWriteIsRegisteredOnlyWhileNeeded) {
  set_ = NewSet(8);
  Conn& a = Open(true);
  ASSERT_TRUE(a.SendMsg("waiting"));
  ASSERT_EQ(NiPeekEx(a.hdl, 5000), WEQ_O_K);  // the message now waits in the handle
  ASSERT_EQ(NiSelSet(set_, a.hdl, NI_READ, nullptr), WEQ_O_K);
  EXPECT_EQ(SockMode(a.hdl), 0);  // nothing to read from the socket now
  uint64_t recvs = SiITestCalls(SI_FN_RECV);
  auto start = Clock::now();
  ASSERT_EQ(NiSelSelect(set_, NI_BLOCK), WEQ_O_K);
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(200));
  EXPECT_EQ(SiITestCalls(SI_FN_RECV), recvs);
  auto ready = Walk(set_);
  ASSERT_EQ(ready.size(), 1u);
  EXPECT_EQ(ready[0].rd, 1);
  NIBUF* b = nullptr;
  ASSERT_EQ(NiBufReceive(a.hdl, &b, 0), WEQ_O_K);
  NiBufFree2(&b);
  EXPECT_EQ(SockMode(a.hdl), SISEL_READ);

  // Queued data registers write although the user asked for read only.
  NIBUF* big = nullptr;
  ASSERT_EQ(NiBufAlloc2(&big, 1 << 20, nullptr, nullptr), WEQ_O_K);
  big->len = 1 << 20;
  ASSERT_EQ(NiBufSend(a.hdl, &big, 0), WEQ_O_K);
  EXPECT_EQ(SockMode(a.hdl), SISEL_READ | SISEL_WRITE);
  std::thread reader([&] { EXPECT_EQ(a.Frame().size(), size_t{1} << 20); });
  auto end = Clock::now() + std::chrono::seconds(10);
  // Each select goes on until a handle is ready for its user: the queue
  // drains inside selects that then time out.
  while (Ext(a.hdl)->newest != nullptr && Clock::now() < end) NiSelSelect(set_, 20);
  reader.join();
  EXPECT_EQ(SockMode(a.hdl), SISEL_READ);
  EXPECT_EQ(NiSelSelect(set_, 0), NIETIMEOUT);
  // Asked for write, with an empty queue: reported through the ready list
  // once the set has seen the socket writable.
  ASSERT_EQ(NiSelSet(set_, a.hdl, NI_WRITE, nullptr), WEQ_O_K);
  ASSERT_EQ(NiSelSelect(set_, 1000), WEQ_O_K);
  ready = Walk(set_);
  ASSERT_EQ(ready.size(), 1u);
  EXPECT_EQ(ready[0].wr, 1);
}

// An 8-byte message read with a smaller buffer stays in the handle, and the
// socket shows nothing more: the handle is readable all the same, where
// its user waits for read, and reported once also when its socket brings
// more.
TEST_P(NiSel, APlainHandleHoldingInputIsReadableWithoutASocketEvent) {
  set_ = NewSet(8);
  Conn& a = Open(false);
  Conn& idle = Open(false);
  int tag = 0;
  ASSERT_EQ(NiSelSet(set_, a.hdl, NI_READ, &tag), WEQ_O_K);
  ASSERT_EQ(NiSelSet(set_, idle.hdl, NI_READ, nullptr), WEQ_O_K);
  char buf[16];
  uint32_t n = 0;
  auto holdPart = [&] {
    ASSERT_TRUE(a.SendMsg("12345678"));
    ASSERT_EQ(NiRead(a.hdl, buf, 3, 5000, &n), NIETOO_SMALL);
    ASSERT_EQ(std::string(buf, n), "123");
  };
  holdPart();
  auto start = Clock::now();
  ASSERT_EQ(NiSelSelect(set_, 3000), WEQ_O_K);
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1500));
  auto ready = Walk(set_);
  ASSERT_EQ(ready.size(), 1u);
  EXPECT_EQ(ready[0].hdl, a.hdl);
  EXPECT_EQ(ready[0].rd, 1);
  EXPECT_EQ(ready[0].data, &tag);
  uint8_t stat = 0;
  ASSERT_EQ(set_->NiSelIGetStat(a.hdl, &stat), WEQ_O_K);
  EXPECT_EQ(stat & NI_READ, NI_READ);
  ASSERT_EQ(NiRead(a.hdl, buf, sizeof buf, 0, &n), WEQ_O_K);
  EXPECT_EQ(std::string(buf, n), "45678");
  EXPECT_EQ(NiSelSelect(set_, 0), NIETIMEOUT);

  // Held input and a socket event together: one report.
  holdPart();
  ASSERT_TRUE(a.SendMsg("next"));
  ASSERT_TRUE(peers::WaitReadable(Rec(a.hdl)->con.mSocket.socketNo, 5000));
  ASSERT_EQ(NiSelSelect(set_, 1000), WEQ_O_K);
  ready = Walk(set_);
  ASSERT_EQ(ready.size(), 1u);
  EXPECT_EQ(ready[0].rd, 1);
  EXPECT_EQ(set_->NiSelIGetErrCount(), 0u);
  ASSERT_EQ(NiRead(a.hdl, buf, sizeof buf, 0, &n), WEQ_O_K);
  ASSERT_EQ(NiRead(a.hdl, buf, sizeof buf, 5000, &n), WEQ_O_K);
  EXPECT_EQ(std::string(buf, n), "next");

  // Waiting for write only, the held input is not the user's event.
  holdPart();
  ASSERT_EQ(NiSelSet(set_, a.hdl, NI_WRITE, nullptr), WEQ_O_K);
  ASSERT_EQ(NiSelClear(set_, a.hdl, NI_READ), WEQ_O_K);
  ASSERT_EQ(NiSelSelect(set_, 1000), WEQ_O_K);
  ready = Walk(set_);
  ASSERT_EQ(ready.size(), 1u);
  EXPECT_EQ(ready[0].rd, 0);
  EXPECT_EQ(ready[0].wr, 1);
}

TEST_P(NiSel, StoredErrorsAndKeepAliveAnswersReachTheUserThroughTheSet) {
  set_ = NewSet(8);
  Conn& a = Open(true);
  Conn& b = Open(true);
  ASSERT_EQ(NiSelSet(set_, a.hdl, NI_READ, nullptr), WEQ_O_K);
  ASSERT_EQ(NiSelSet(set_, b.hdl, NI_READ, nullptr), WEQ_O_K);
  ASSERT_EQ(NiCheckEx(b.hdl, 1000, 1, nullptr), WEQ_O_K);
  EXPECT_EQ(b.Frame(), peers::kNiPing);
  ASSERT_TRUE(b.SendMsg(peers::kNiPong));
  peers::ResetClose(&a.peer);
  std::map<NI_HDL, Ready> got;
  auto end = Clock::now() + std::chrono::seconds(10);
  while (got.size() < 2 && Clock::now() < end) {
    if (NiSelSelect(set_, 1000) == WEQ_O_K)
      for (const Ready& r : Walk(set_)) got[r.hdl] = r;
  }
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[a.hdl].rd + got[a.hdl].wr, 1);  // the user asked for read only
  NIBUF* m = nullptr;
  EXPECT_EQ(NiBufReceive(a.hdl, &m, 0), NIECONN_BROKEN);
  EXPECT_EQ(NiBufReceive(a.hdl, &m, 0), NIEINTERN);
  EXPECT_EQ(NiBufReceive(b.hdl, &m, 0), NIEPING);
  EXPECT_EQ(NiBufReceive(b.hdl, &m, 0), NIETIMEOUT);
}

TEST_P(NiSel, AFailedConnectIsStoredAsRefused) {
  set_ = NewSet(8);
  peers::Fd lis = peers::Listener(AF_INET, &ep_.port, 0);
  std::vector<peers::Fd> fillers;
  fillers.push_back(peers::Connect(AF_INET, ep_.port));  // the queue holds one
  NI_HDL h = NI_INVALID_HDL;
  std::u16string serv = niconn::U16(std::to_string(ep_.port));
  NI_RC rc = NiBufHandle(u"127.0.0.1", serv.c_str(), 0, &h);
  if (rc == WEQ_O_K) NiCloseHandle(h);
  if (rc == WEQ_O_K) GTEST_SKIP() << "the system accepted past the queue";
  ASSERT_EQ(rc, NIECONN_PENDING);
  ASSERT_EQ(NiSelSet(set_, h, NI_READ, nullptr), WEQ_O_K);
  EXPECT_EQ(SockMode(h), SISEL_READ | SISEL_WRITE);  // the connect's end is awaited
  SiITestFail(SI_FN_PEEKPENDCONN, 1, SI_EPORT_INUSE, EADDRINUSE);
  for (int i = 0; i < 2 && peers::WaitReadable(lis.get(), 1000); ++i) fillers.emplace_back(accept(lis.get(), nullptr, nullptr));
  auto end = Clock::now() + std::chrono::seconds(10);
  std::vector<Ready> ready;
  while (ready.empty() && Clock::now() < end) {
    if (NiSelSelect(set_, 1000) == WEQ_O_K) ready = Walk(set_);
  }
  ASSERT_EQ(ready.size(), 1u);
  EXPECT_EQ(ready[0].rd, 1);
  NIBUF* m = nullptr;
  EXPECT_EQ(NiBufReceive(h, &m, 0), NIECONN_REFUSED);
  NiCloseHandle(h);
}

TEST_P(NiSel, AHandleClosedInTheSetNeverReportsItsSuccessorsEvents) {
  set_ = NewSet(8);
  for (bool buffered : {false, true}) {
    for (bool addSuccessor : {false, true}) {
      Conn& old = Open(buffered);
      int tag = 1;
      ASSERT_EQ(NiSelSet(set_, old.hdl, NI_READ, &tag), WEQ_O_K);
      int32_t fd = -1;
      ASSERT_EQ(NiHdlToSock(old.hdl, &fd), WEQ_O_K);
      NI_HDL gone = old.hdl;
      old.Close();  // without NiSelClear
      Conn& next = Open(false);
      int32_t nfd = -1;
      ASSERT_EQ(NiHdlToSock(next.hdl, &nfd), WEQ_O_K);
      EXPECT_EQ(nfd, fd) << "the system did not reuse the descriptor";
      int tag2 = 2;
      if (addSuccessor) {
        ASSERT_EQ(NiSelSet(set_, next.hdl, NI_READ, &tag2), WEQ_O_K);
      }
      ASSERT_TRUE(next.SendMsg("for the successor"));
      NI_RC rc = NiSelSelect(set_, addSuccessor ? 5000 : 200);
      auto ready = Walk(set_);
      if (!addSuccessor) {
        EXPECT_EQ(rc, NIETIMEOUT);
        EXPECT_TRUE(ready.empty());
      } else {
        ASSERT_EQ(ready.size(), 1u);
        EXPECT_EQ(ready[0].hdl, next.hdl);
        EXPECT_EQ(ready[0].data, &tag2);
        EXPECT_NE(ready[0].hdl, gone);
      }
      EXPECT_EQ(set_->NiSelIGetErrCount(), 0u);
      next.Close();
    }
  }
}

TEST_P(NiSel, ASocketClosedUnderneathLeavesTheSet) {
  set_ = NewSet(8);
  Conn& a = Open(false);
  ASSERT_EQ(NiSelSet(set_, a.hdl, NI_READ, nullptr), WEQ_O_K);
  int32_t fd = -1;
  ASSERT_EQ(NiHdlToSock(a.hdl, &fd), WEQ_O_K);
  close(fd);
  EXPECT_EQ(NiSelSelect(set_, 200), NIETIMEOUT);
  EXPECT_FALSE(set_->NiSelIIsMember(a.hdl));
  Rec(a.hdl)->con.mSocket.socketNo = -1;  // closed already
}

INSTANTIATE_TEST_SUITE_P(Impl, NiSel, ::testing::Values(SISEL_TYPE_SEL_NT, SISEL_TYPE_POLL, SISEL_TYPE_SEL_NT_FC),
                         [](const auto& info) {
                           return std::string(info.param == SISEL_TYPE_POLL     ? "Poll"
                                              : info.param == SISEL_TYPE_SEL_NT ? "Select"
                                                                                : "SelectChain");
                         });

// The select state of a buffered handle: the socket mode it registers and
// the readiness it reports, for the states that decide them.
TEST(NiBufSelState, TruthTable) {
  ASSERT_EQ(ThrProcInit(), THR_ERR_OK);
  ASSERT_EQ(NiInit3(16), WEQ_O_K);
  niconn::Endpoint ep;
  Conn c;
  ASSERT_TRUE(ep.Open(&c, true));
  NITAB* rec = Rec(c.hdl);
  NIBUF_EXT* e = Ext(c.hdl);
  NIBUF dummy{};
  struct Row {
    bool connWait, err, ready, reading, queued;
    uint8_t hs, want, writable;
    uint8_t sock, stat;
  };
  const Row rows[] = {
      // connWait err  ready  reading queued hs want         writable sock     stat
      {false, false, false, false, false, 0, NI_READ, 0, NI_READ, 0},
      {false, false, true, false, false, 0, NI_READ, 0, 0, NI_READ},
      {false, false, false, true, false, 0, 0, 0, NI_READ, 0},
      {false, false, false, false, true, 0, NI_READ, 1, NI_READ | NI_WRITE, 0},
      {false, false, false, false, false, 0, NI_WRITE, 1, NI_WRITE, NI_WRITE},
      {false, false, false, false, true, 1, NI_WRITE, 1, NI_READ, 0},
      {true, false, false, false, false, 0, NI_WRITE, 1, NI_WRITE, 0},
      {true, false, false, false, false, 0, NI_READ, 0, NI_READ | NI_WRITE, 0},
      {true, true, false, false, false, 0, NI_WRITE, 0, 0, NI_WRITE},
      {true, true, false, false, false, 0, NI_READ | NI_WRITE, 0, 0, NI_READ | NI_WRITE},
      {false, true, false, false, false, 0, NI_WRITE, 0, 0, NI_WRITE},
      {false, true, false, false, false, 0, NI_READ, 0, 0, NI_READ},
  };
  uint8_t state = rec->mType.load();
  for (const Row& r : rows) {
    rec->mType.store(r.connWait ? static_cast<uint8_t>(NI_CONN_WAIT) : state);
    e->status = r.err ? NIBUF_STAT_ERR : NIBUF_STAT_OK;
    e->readyBuf = r.ready ? &dummy : nullptr;
    e->readBuf = r.reading ? &dummy : nullptr;
    e->newest = r.queued ? &dummy : nullptr;
    e->hsCount = r.hs;
    e->wantMode = r.want;
    e->sockWritable = r.writable;
    ASSERT_EQ(NiBufISelUpdate(rec, e, nullptr, false), WEQ_O_K);
    EXPECT_EQ(e->sockMode, r.sock) << &r - rows;
    EXPECT_EQ(e->bufStat, r.stat) << &r - rows;
  }
  rec->mType.store(state);
  e->readyBuf = e->readBuf = e->newest = nullptr;
  e->status = NIBUF_STAT_OK;
  e->hsCount = 0;
  c.Close();
  NiExit();
}

}  // namespace
