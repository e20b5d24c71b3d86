// The buffered layer against the test's own end of each connection, which
// frames and parses with the peer toolkit's codec: buffers of each kind with
// their hooks and the heap count; sends that never block, the queue limits
// and the order of everything that drains; whole messages received with the
// handle's allocator and limits; stored errors reported once; keep-alive
// requests; the handle parameters.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <deque>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "krn/dptrc/err.h"
#include "krn/ni/niaddr_int.h"
#include "krn/ni/nimsg_int.h"
#include "krn/ni/niparam_int.h"
#include "krn/si/si_int.h"
#include "krn/thr/thr.h"
#include "niconn.h"
#include "peers/nictlcodec.h"
#include "support/testsupport.h"
#include "../dptrc/trc_checker.h"

namespace {

using niconn::Conn;
using niconn::Ext;
using Clock = std::chrono::steady_clock;

std::string ErrText() { return tovtest::ToUtf8(ErrGetFld(ERR_FLD_ERROR)); }

std::string Bytes(size_t n, uint32_t seed) {
  std::string s(n, '\0');
  std::mt19937 rng(seed);
  for (auto& c : s) c = static_cast<char>(rng());
  return s;
}

NIBUF* BufOf(const std::string& data) {
  NIBUF* b = nullptr;
  EXPECT_EQ(NiBufAlloc2(&b, static_cast<int32_t>(data.size()), u"test", nullptr), WEQ_O_K);
  memcpy(b->data, data.data(), data.size());
  b->len = static_cast<int32_t>(data.size());
  return b;
}

std::string Text(const NIBUF* b) { return std::string(reinterpret_cast<const char*>(b->data), b->len); }

NI_RC SetHdl(NI_HDL h, uint8_t param, uint8_t type, uint32_t value) {
  NI_PARAM_DATA d{};
  d.param = param;
  d.datatype = type;
  if (type == NI_DT_RAW) d.value.raw_val = static_cast<uint8_t>(value); else d.value.uint_val = value;
  return NiSetHdlParamEx(h, &d);
}

std::deque<int> g_script;
int ScriptRandom() {
  if (g_script.empty()) return 0;
  int v = g_script.front();
  g_script.pop_front();
  return v;
}

int g_hookCalls = 0;
int32_t g_hookLen = -1;
uint16_t g_hookRefs = 0;
void CountingHook(NIBUF** pp) {
  ++g_hookCalls;
  g_hookLen = (*pp)->len;
  g_hookRefs = (*pp)->refCount;
  NiBufFree2(pp);
}
// A message-server-like allocator: always 32110 bytes, released through the hook.
NI_RC FixedAlloc(NIBUF** pp, int32_t, const WEQ_UC*) { return NiBufAlloc2(pp, 32110, u"MSLIB-BUF", CountingHook); }

class NiBuf : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(ThrProcInit(), THR_ERR_OK);
    ASSERT_EQ(NiInit3(64), WEQ_O_K);
    NiIResetParams();
    // Fixed socket buffers: left to the system they grow to megabytes, and a
    // peer that does not read would never fill them.
    NI_PARAM_DATA minBuf{NIP_MIN_SOCKBUF, NI_DT_UINT, {}};
    minBuf.value.uint_val = 32768;
    ASSERT_EQ(NiSetParamEx(&minBuf), WEQ_O_K);
    SiITestReset();
    g_script.clear();
    g_hookCalls = 0;
    heap0_ = NiBufIHeapUsed();
  }
  void TearDown() override {
    for (Conn* c : {&a_, &b_}) c->Close();
    NiISetRandom(nullptr);
    NI_PARAM_DATA d{NIP_BUF_MAXHEAP, NI_DT_UINT, {}};
    NiSetParamEx(&d);
    NiIResetParams();
    SiITestReset();
    EXPECT_EQ(NiBufIHeapUsed(), heap0_);
    NiExit();
  }
  // Sends more than the sockets hold while the peer does not read: the
  // rest waits in the queue.
  void Clog(Conn* c) {
    NIBUF* big = BufOf(Bytes(1 << 20, 1));
    ASSERT_EQ(NiBufSend(c->hdl, &big, 0), WEQ_O_K);
    ASSERT_EQ(big, nullptr);
    ASSERT_NE(Ext(c->hdl)->pendWrite, nullptr);
  }
  // Lets the peer read everything while the handle writes its queue out.
  std::vector<std::string> Drain(Conn* c, size_t frames) {
    std::vector<std::string> got;
    std::thread reader([&] {
      for (size_t i = 0; i < frames; ++i) got.push_back(c->Frame());
    });
    auto end = Clock::now() + std::chrono::seconds(20);
    while (Ext(c->hdl)->newest != nullptr && Clock::now() < end) {
      NI_RC rc = NiPeekExWrite(c->hdl, 100);
      EXPECT_TRUE(rc == WEQ_O_K || rc == NIETIMEOUT) << rc;
    }
    reader.join();
    return got;
  }
  niconn::Endpoint ep_;
  Conn a_, b_;
  uint64_t heap0_ = 0;
};

// --- Buffers ------------------------------------------------------------------------

TEST_F(NiBuf, BuffersOfEachKindAreReleasedByTheirRule) {
  NIBUF* b = nullptr;
  ASSERT_EQ(NiBufAlloc2(&b, 0, u"zero", nullptr), WEQ_O_K);
  EXPECT_EQ(b->data, b->buffer);
  EXPECT_EQ(b->buflen, 0);
  EXPECT_EQ(b->refCount, 1);
  NiBufFree2(&b);
  EXPECT_EQ(b, nullptr);
  ASSERT_EQ(NiBufAlloc2(&b, NIBUF_MAXALLOC, nullptr, nullptr), WEQ_O_K);
  EXPECT_EQ(NiBufIHeapUsed(), heap0_ + NIBUF_MAXALLOC);
  NiBufFree2(&b);
  EXPECT_EQ(NiBufAlloc2(&b, NIBUF_MAXALLOC + 1, nullptr, nullptr), NIETOO_BIG);
  EXPECT_EQ(ErrText(), "NiBufIAlloc: required size too big (8388609>8388608)");
  EXPECT_EQ(b, nullptr);
  EXPECT_EQ(NiBufAlloc2(nullptr, 1, nullptr, nullptr), NIEINVAL);
  EXPECT_EQ(NiBufAlloc2(&b, -1, nullptr, nullptr), NIEINVAL);
  EXPECT_EQ(ErrText(), "NiBufAlloc2: parameter invalid (length < 0)");

  // Kind 0 with a hook: NiBufFree hands it over reset, NiBufFree2 frees it.
  ASSERT_EQ(NiBufAlloc2(&b, 64, u"hooked", CountingHook), WEQ_O_K);
  b->len = 10;
  b->data += 3;
  b->refCount = 2;  // a second holder
  NIBUF* second = b;
  NiBufFree(&b);
  EXPECT_EQ(b, nullptr);
  EXPECT_EQ(g_hookCalls, 0);
  NiBufFree(&second);
  EXPECT_EQ(g_hookCalls, 1);
  EXPECT_EQ(g_hookLen, 0);
  EXPECT_EQ(g_hookRefs, 1);
  ASSERT_EQ(NiBufAlloc2(&b, 64, u"hooked", CountingHook), WEQ_O_K);
  NiBufFree2(&b);
  EXPECT_EQ(g_hookCalls, 1);

  // Kind 1 releases what it refers to, kind 2 calls its owner.
  NIBUF* target = BufOf("target");
  auto* ref = static_cast<NIBUF*>(calloc(1, sizeof(NIBUF)));
  ref->type = NIBUF_REF;
  ref->refBuf = target;
  NiBufFree(&ref);
  EXPECT_EQ(ref, nullptr);
  static NIBUF* s_externSeen = nullptr;
  NIBUF ext{};
  ext.type = NIBUF_EXTERN;
  ext.externFree = [](NIBUF** pp, NIBUF* buf) { s_externSeen = *pp == buf ? buf : nullptr; };
  NIBUF* pe = &ext;
  NiBufFree(&pe);
  EXPECT_EQ(s_externSeen, &ext);
  EXPECT_EQ(pe, nullptr);

  NiBufFree2(nullptr);
  EXPECT_EQ(ErrText(), "NiBufFree2: parameter invalid (ppBuffer == NULL)");
  NIBUF* none = nullptr;
  NiBufFree2(&none);
  EXPECT_EQ(ErrText(), "NiBufFree2: parameter invalid (*ppBuffer == NULL)");
}

TEST_F(NiBuf, TheHeapLimitOnlyWarnsAndTheCounterIsWide) {
  NI_PARAM_DATA d{NIP_BUF_MAXHEAP, NI_DT_RAW, {}};
  EXPECT_EQ(NiSetParamEx(&d), NIEINVAL);
  d.datatype = NI_DT_UINT;
  d.value.uint_val = static_cast<uint32_t>(heap0_ + 1000);
  ASSERT_EQ(NiSetParamEx(&d), WEQ_O_K);
  NIBUF* a = nullptr;
  NIBUF* b = nullptr;
  std::vector<trccheck::Line> lines;
  {
    trccheck::TraceFile trace{2};
    ASSERT_EQ(NiBufAlloc2(&a, 2000, nullptr, nullptr), WEQ_O_K);
    ASSERT_EQ(NiBufAlloc2(&b, 10, nullptr, nullptr), WEQ_O_K);
    lines = trace.Body();
  }
  bool warned = false;
  for (const auto& l : lines) warned |= l.text == "NiBufIAlloc: Heap-space " + std::to_string(heap0_ + 1000) + " exhausted by 1000 bytes";
  EXPECT_TRUE(warned);
  NiBufFree2(&a);
  NiBufFree2(&b);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  // Beyond 4 GiB held at once (pages never touched): the count stays exact.
  std::vector<NIBUF*> held(520, nullptr);
  for (NIBUF*& h : held) ASSERT_EQ(NiBufAlloc2(&h, NIBUF_MAXALLOC, nullptr, nullptr), WEQ_O_K);
  EXPECT_EQ(NiBufIHeapUsed(), heap0_ + 520ull * NIBUF_MAXALLOC);
  for (NIBUF*& h : held) NiBufFree2(&h);
#endif
}

// --- Sending --------------------------------------------------------------------------

TEST_F(NiBuf, ASendNeverBlocksAndAFullQueueLeavesTheBufferWithTheCaller) {
  ASSERT_TRUE(ep_.Open(&a_, true));
  auto start = Clock::now();
  Clog(&a_);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));
  NIBUF* second = BufOf("second");
  EXPECT_EQ(NiBufSend(a_.hdl, &second, 0), NIETIMEOUT);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(Text(second), "second");
  // NiWrite says nothing was written, so that its caller writes it again.
  uint32_t written = 99;
  EXPECT_EQ(NiWrite(a_.hdl, "write", 5, 0, &written), NIETIMEOUT);
  EXPECT_EQ(written, 0u);
  auto got = Drain(&a_, 1);
  EXPECT_EQ(got[0], Bytes(1 << 20, 1));
  EXPECT_EQ(NiBufSend(a_.hdl, &second, 1000), WEQ_O_K);
  EXPECT_EQ(NiWrite(a_.hdl, "write", 5, 1000, &written), WEQ_O_K);
  EXPECT_EQ(written, 5u);
  EXPECT_EQ(a_.Frame(), "second");
  EXPECT_EQ(a_.Frame(), "write");
  EXPECT_EQ(a_.Frame(300), "<none>");
}

TEST_F(NiBuf, QueueLimitsWarnThenRefuseAndEverythingDrainsInOrder) {
  ASSERT_TRUE(ep_.Open(&a_, true));
  ASSERT_EQ(SetHdl(a_.hdl, NIHP_MAXQUEUE, NI_DT_UINT, 10), WEQ_O_K);
  ASSERT_EQ(SetHdl(a_.hdl, NIHP_WARNQUEUE, NI_DT_UINT, 2), WEQ_O_K);
  Clog(&a_);
  std::vector<std::string> want = {Bytes(1 << 20, 1)};
  for (int i = 1; i <= 11; ++i) {
    std::string m = "queued " + std::to_string(i);
    NIBUF* b = BufOf(m);
    NI_RC rc = i % 2 ? NiBufSend(a_.hdl, &b, 0) : WEQ_O_K;
    if (i % 2 == 0) {  // half of them through NiWrite, which copies
      uint32_t w = 0;
      rc = NiWrite(a_.hdl, m.data(), static_cast<int>(m.size()), 0, &w);
      EXPECT_EQ(w, rc == NIETIMEOUT ? 0u : m.size());
      NiBufFree2(&b);
    }
    EXPECT_EQ(rc, i <= 7 ? WEQ_O_K : i <= 10 ? NIEQUE_FULL : NIETIMEOUT) << i;
    if (i <= 10) want.push_back(m);
    if (b != nullptr) NiBufFree2(&b);
  }
  NI_PARAM_DATA q{NIHP_BUF_PROGRESS, NI_DT_RAW, {}};
  ASSERT_EQ(NiSetHdlParamEx(a_.hdl, &q), WEQ_O_K);
  bool handled = false;
  niconn::Rec(a_.hdl)->mBufOps->getParam(niconn::Rec(a_.hdl), Ext(a_.hdl), &q, &handled);
  EXPECT_EQ(q.value.raw_val, 2);  // queued, nothing written since the clear
  EXPECT_EQ(Drain(&a_, want.size()), want);
  niconn::Rec(a_.hdl)->mBufOps->getParam(niconn::Rec(a_.hdl), Ext(a_.hdl), &q, &handled);
  EXPECT_EQ(q.value.raw_val, 0);
  EXPECT_EQ(Ext(a_.hdl)->userQueueLen, 0u);
}

TEST_F(NiBuf, HeadersCutAfterOneToThreeBytesResumeWhole) {
  ASSERT_TRUE(ep_.Open(&a_, true));
  ASSERT_EQ(SetHdl(a_.hdl, NIHP_MAXQUEUE, NI_DT_UINT, 100), WEQ_O_K);
  NiISetRandom(ScriptRandom);
  ASSERT_EQ(NiSetParam(NIP_FRAGTEST, 3), WEQ_O_K);
  for (int cut = 1; cut <= 3; ++cut) {
    // One send of `cut` header bytes, then a forced time-out; the rest
    // waits in the queue behind a second message.
    g_script = {1, cut, 1, 0};
    std::string m = Bytes(50 + cut, static_cast<uint32_t>(cut));
    NIBUF* b = BufOf(m);
    EXPECT_EQ(NiBufSend(a_.hdl, &b, 0), WEQ_O_K) << cut;
    EXPECT_EQ(b, nullptr);
    EXPECT_EQ(niconn::Rec(a_.hdl)->mPendHdrLenToWrite, 4 - cut);
    b = BufOf("next");
    EXPECT_EQ(NiBufSend(a_.hdl, &b, 0), WEQ_O_K);
    EXPECT_EQ(Drain(&a_, 2), (std::vector<std::string>{m, "next"})) << cut;
  }
  EXPECT_FALSE(a_.parser.bad());
}

// --- Receiving ------------------------------------------------------------------------

TEST_F(NiBuf, MessagesArriveWholeInTheHandlesBuffersWithinItsLimits) {
  ASSERT_TRUE(ep_.Open(&a_, true));
  ASSERT_TRUE(ep_.Open(&b_, true));
  // Pieces of a header and of the data arrive apart.
  std::string m = Bytes(3000, 7);
  std::string framed = peers::FrameEncode(m);
  NIBUF* got = nullptr;
  ASSERT_TRUE(a_.Send(framed.substr(0, 2)));
  EXPECT_EQ(NiBufReceive(a_.hdl, &got, 0), NIETIMEOUT);
  ASSERT_TRUE(a_.Send(framed.substr(2, 1000)));
  EXPECT_EQ(NiBufReceive(a_.hdl, &got, 50), NIETIMEOUT);
  ASSERT_TRUE(a_.Send(framed.substr(1002)));
  ASSERT_EQ(NiBufReceive(a_.hdl, &got, 5000), WEQ_O_K);
  EXPECT_EQ(Text(got), m);
  EXPECT_EQ(got->buflen, 3000);
  NiBufFree2(&got);

  // The allocator of parameter 63: fixed buffers released through a hook.
  ASSERT_EQ(NiSetHdlParam(a_.hdl, NIHP_ALLOC_FUNC, reinterpret_cast<void*>(FixedAlloc)), WEQ_O_K);
  ASSERT_TRUE(a_.SendMsg("small"));
  ASSERT_EQ(NiBufReceive(a_.hdl, &got, 5000), WEQ_O_K);
  EXPECT_EQ(got->buflen, 32110);
  EXPECT_EQ(Text(got), "small");
  NIBUF* held = got;
  NiBufFree(&held);
  EXPECT_EQ(g_hookCalls, 1);
  ASSERT_TRUE(a_.SendMsg(std::string(40000, 'x')));
  EXPECT_EQ(NiBufReceive(a_.hdl, &got, 5000), NIETOO_BIG);
  EXPECT_EQ(ErrText(), "NiBufIIn: retured buffer too small (32110<40000)");
  NI_PARAM_DATA nul{NIHP_ALLOC_FUNC, NI_DT_ALLOCFUNC, {}};
  EXPECT_EQ(NiSetHdlParamEx(a_.hdl, &nul), NIEINVAL);
  EXPECT_EQ(Ext(a_.hdl)->allocFunc, FixedAlloc);

  // Parameter 66: one byte over the maximum is refused.
  ASSERT_EQ(SetHdl(b_.hdl, NIHP_MAXMSGLEN, NI_DT_UINT, 1000), WEQ_O_K);
  ASSERT_TRUE(b_.SendMsg(std::string(1000, 'a')));
  ASSERT_TRUE(b_.SendMsg(std::string(1001, 'b')));
  ASSERT_EQ(NiBufReceive(b_.hdl, &got, 5000), WEQ_O_K);
  EXPECT_EQ(got->len, 1000);
  NiBufFree2(&got);
  EXPECT_EQ(NiBufReceive(b_.hdl, &got, 5000), NIETOO_BIG);
  EXPECT_EQ(ErrText(), "NiBufIIn: message length 1001 exceeds max (1000)");
  EXPECT_EQ(got, nullptr);
}

TEST_F(NiBuf, ReadsOfFortyBytesTakeAHundredByteMessageInPieces) {
  ASSERT_TRUE(ep_.Open(&a_, true));
  std::string m = Bytes(100, 3);
  ASSERT_TRUE(a_.SendMsg(m));
  std::string whole;
  char buf[40];
  uint32_t n = 0;
  for (NI_RC want : {NI_RC{NIETOO_SMALL}, NI_RC{NIETOO_SMALL}, NI_RC{WEQ_O_K}}) {
    EXPECT_EQ(NiRead(a_.hdl, buf, 40, 5000, &n), want);
    whole.append(buf, n);
  }
  EXPECT_EQ(n, 20u);
  EXPECT_EQ(whole, m);
  EXPECT_EQ(NiRead(a_.hdl, buf, 40, 0, &n), NIETIMEOUT);
}

TEST_F(NiBuf, RawModeReadsSegmentsAndControlMessagesAreData) {
  ASSERT_TRUE(ep_.Open(&a_, true));
  EXPECT_EQ(SetHdl(a_.hdl, NIHP_BUF_TALKMODE, NI_DT_RAW, 3), NIEINVAL);
  ASSERT_EQ(SetHdl(a_.hdl, NIHP_BUF_TALKMODE, NI_DT_RAW, NI_RAW_IO), WEQ_O_K);
  std::string stream = peers::FrameEncode(peers::kNiPing) + Bytes(5000, 9);
  ASSERT_TRUE(a_.Send(stream));
  std::string got;
  while (got.size() < stream.size()) {
    NIBUF* b = nullptr;
    ASSERT_EQ(NiBufReceive(a_.hdl, &b, 5000), WEQ_O_K);
    EXPECT_EQ(b->buflen, 1460);
    got += Text(b);
    NiBufFree2(&b);
  }
  EXPECT_EQ(got, stream);
  EXPECT_EQ(a_.Frame(200), "<none>");  // the ping was data: no answer
  // A raw send goes out without a header.
  NIBUF* b = BufOf("bare");
  ASSERT_EQ(NiBufSend(a_.hdl, &b, 1000), WEQ_O_K);
  EXPECT_EQ(peers::ReadFor(a_.peer.get(), 4, 2000), "bare");
}

// A message of a keep-alive's size, cut off by a switch to raw mode, must
// not leave its gathering behind: the next framed message lands in the
// caller's buffer, whole.
TEST_F(NiBuf, ASwitchToRawInsideAnEightByteMessageLeavesTheNextMessageWhole) {
  ASSERT_TRUE(ep_.Open(&a_, true));
  NIBUF* got = nullptr;
  ASSERT_TRUE(a_.Send(std::string("\0\0\0\x08" "abc", 7)));
  EXPECT_EQ(NiBufReceive(a_.hdl, &got, 100), NIETIMEOUT);
  ASSERT_EQ(SetHdl(a_.hdl, NIHP_BUF_TALKMODE, NI_DT_RAW, NI_RAW_IO), WEQ_O_K);
  ASSERT_TRUE(a_.Send("defgh"));
  ASSERT_EQ(NiBufReceive(a_.hdl, &got, 5000), WEQ_O_K);
  EXPECT_EQ(Text(got), "defgh");
  NiBufFree2(&got);
  ASSERT_EQ(SetHdl(a_.hdl, NIHP_BUF_TALKMODE, NI_DT_RAW, NI_MESG_IO), WEQ_O_K);
  std::string m = Bytes(4000, 11);
  ASSERT_TRUE(a_.SendMsg(m));
  ASSERT_EQ(NiBufReceive(a_.hdl, &got, 5000), WEQ_O_K);
  EXPECT_EQ(Text(got), m);
  NiBufFree2(&got);
}

// A raw read that found nothing leaves no segment buffer behind for the
// framed read after a switch back: a message of any size within the limit
// arrives whole in a buffer of its own size, and one above it is refused.
TEST_F(NiBuf, AFramedReadAfterAnEmptyRawReadSizesItsBufferByTheHeader) {
  ASSERT_TRUE(ep_.Open(&a_, true));
  ASSERT_EQ(SetHdl(a_.hdl, NIHP_MAXMSGLEN, NI_DT_UINT, 2500), WEQ_O_K);
  NIBUF* got = nullptr;
  for (size_t size : {3000u, 2000u}) {
    ASSERT_EQ(SetHdl(a_.hdl, NIHP_BUF_TALKMODE, NI_DT_RAW, NI_RAW_IO), WEQ_O_K);
    EXPECT_EQ(NiBufReceive(a_.hdl, &got, 0), NIETIMEOUT);
    ASSERT_EQ(SetHdl(a_.hdl, NIHP_BUF_TALKMODE, NI_DT_RAW, NI_MESG_IO), WEQ_O_K);
    std::string m = Bytes(size, static_cast<uint32_t>(size));
    ASSERT_TRUE(a_.SendMsg(m));
    if (size > 2500) {
      EXPECT_EQ(NiBufReceive(a_.hdl, &got, 5000), NIETOO_BIG);
      a_.Close();
      ASSERT_TRUE(ep_.Open(&a_, true));
      ASSERT_EQ(SetHdl(a_.hdl, NIHP_MAXMSGLEN, NI_DT_UINT, 2500), WEQ_O_K);
      continue;
    }
    ASSERT_EQ(NiBufReceive(a_.hdl, &got, 5000), WEQ_O_K);
    EXPECT_EQ(Text(got), m);
    EXPECT_EQ(got->buflen, static_cast<int32_t>(size));
    NiBufFree2(&got);
  }
}

TEST_F(NiBuf, APingDuringAReceiveWithoutLimitIsAnsweredAndReported) {
  ASSERT_TRUE(ep_.Open(&a_, true));
  std::thread peer([&] { a_.SendMsg(peers::kNiPing); });
  NIBUF* b = nullptr;
  EXPECT_EQ(NiBufReceive(a_.hdl, &b, NI_BLOCK), NIEPING);
  peer.join();
  EXPECT_EQ(b, nullptr);
  EXPECT_EQ(a_.Frame(), peers::kNiPong);
  // The handle's own check: the answer reaches the read as NIEPING.
  ASSERT_EQ(NiCheckEx(a_.hdl, 1000, 1, nullptr), WEQ_O_K);
  EXPECT_EQ(a_.Frame(), peers::kNiPing);
  ASSERT_TRUE(a_.SendMsg(peers::kNiPong));
  char buf[8];
  uint32_t n = 0;
  EXPECT_EQ(NiRead(a_.hdl, buf, 8, 5000, &n), NIEPING);
}

// A peer that sends requests but never reads gets answers only as far as a
// bounded backlog: the rest are not sent, and nothing grows without end.
TEST_F(NiBuf, APeerThatNeverReadsCannotGrowTheAnswersWithoutEnd) {
  ASSERT_TRUE(ep_.Open(&a_, true));
  int small = 4096;
  ASSERT_EQ(setsockopt(niconn::Rec(a_.hdl)->con.mSocket.socketNo, SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
  ASSERT_EQ(setsockopt(a_.peer.get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small), 0);
  constexpr int kPings = 5000;
  std::string pings;
  for (int i = 0; i < kPings; ++i) pings += peers::FrameEncode(peers::kNiPing);
  std::thread peer([&] { EXPECT_TRUE(a_.Send(pings + peers::FrameEncode("last"))); });
  char buf[8];
  uint32_t n = 0;
  NI_RC rc = NIEPING;
  for (int i = 0; i <= kPings && rc == NIEPING; ++i) rc = NiRead(a_.hdl, buf, sizeof buf, 5000, &n);
  peer.join();
  ASSERT_EQ(rc, WEQ_O_K);
  EXPECT_EQ(std::string(buf, n), "last");
  size_t waiting = 0;
  for (NIBUF* q = Ext(a_.hdl)->pendWrite; q != nullptr && q != Ext(a_.hdl)->nextUser; q = q->next) ++waiting;
  EXPECT_LE(waiting, 300u);
  // What does go out is whole answers.
  std::string frame;
  size_t pongs = 0;
  std::thread drain([&] {
    while ((frame = a_.Frame(500)) == peers::kNiPong) ++pongs;
  });
  auto end = Clock::now() + std::chrono::seconds(20);
  while (Ext(a_.hdl)->pendWrite != nullptr && Clock::now() < end) NiPeekExWrite(a_.hdl, 100);
  drain.join();
  EXPECT_EQ(frame, "<none>");
  EXPECT_GT(pongs, 0u);
  EXPECT_LT(pongs, static_cast<size_t>(kPings));
  EXPECT_FALSE(a_.parser.bad());
}

// A peek that meets a keep-alive request ends with it, answered once, and
// leaves it for the next read; a control message that leaves nothing to
// report (a version request) does not end a peek or a read before its time.
TEST_F(NiBuf, APeekEndsWithAnAnsweredPingAndWaitsOutSilentControlMessages) {
  ASSERT_TRUE(ep_.Open(&a_, true));
  auto since = [](Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
  };
  ASSERT_TRUE(a_.SendMsg(peers::kNiPing));
  auto t0 = Clock::now();
  EXPECT_EQ(NiPeekEx(a_.hdl, 4000), WEQ_O_K);
  EXPECT_LT(since(t0), 3000);
  EXPECT_EQ(a_.Frame(), peers::kNiPong);
  EXPECT_EQ(NiPeekEx(a_.hdl, 0), WEQ_O_K);  // still there for the read
  char buf[16];
  uint32_t n = 0;
  EXPECT_EQ(NiRead(a_.hdl, buf, sizeof buf, 0, &n), NIEPING);
  EXPECT_EQ(NiPeekEx(a_.hdl, 0), NIETIMEOUT);
  EXPECT_EQ(a_.Frame(200), "<none>");  // answered once

  peers::RtErr ask;
  ask.opcode = 1;
  const std::string versionRequest = peers::EncodeRtErr(ask);
  peers::RtErr reply;
  for (int op = 0; op < 3; ++op) {
    SCOPED_TRACE(op);
    ASSERT_TRUE(a_.SendMsg(versionRequest));
    t0 = Clock::now();
    NIBUF* b = nullptr;
    NI_RC rc = op == 0 ? NiPeekEx(a_.hdl, 300) : op == 1 ? NiBufReceive(a_.hdl, &b, 300) : NiRead(a_.hdl, buf, 8, 300, &n);
    EXPECT_EQ(rc, NIETIMEOUT);
    EXPECT_GE(since(t0), 290);
    ASSERT_TRUE(peers::DecodeRtErr(a_.Frame(), &reply));
    EXPECT_EQ(reply.opcode, 2);
  }
  // What follows a silent control message ends the wait: at once with
  // time-out 0 when it is there already.
  ASSERT_TRUE(a_.Send(peers::FrameEncode(versionRequest) + peers::FrameEncode("after")));
  ASSERT_TRUE(peers::WaitReadable(niconn::Rec(a_.hdl)->con.mSocket.socketNo, 5000));
  EXPECT_EQ(NiPeekEx(a_.hdl, 0), WEQ_O_K);
  ASSERT_TRUE(peers::DecodeRtErr(a_.Frame(), &reply));
  NIBUF* b = nullptr;
  ASSERT_EQ(NiBufReceive(a_.hdl, &b, 0), WEQ_O_K);
  EXPECT_EQ(Text(b), "after");
  NiBufFree2(&b);
  // The message comes once the peek has answered the request and waits on.
  std::thread later([&] {
    a_.SendMsg(versionRequest);
    peers::RtErr r;
    EXPECT_TRUE(peers::DecodeRtErr(a_.Frame(), &r));
    a_.SendMsg("late");
  });
  EXPECT_EQ(NiPeekEx(a_.hdl, 5000), WEQ_O_K);
  later.join();
  ASSERT_EQ(NiBufReceive(a_.hdl, &b, 0), WEQ_O_K);
  EXPECT_EQ(Text(b), "late");
  NiBufFree2(&b);
}

// --- Stored errors and parameters -------------------------------------------------------

TEST_F(NiBuf, AStoredErrorIsReportedOnceWithItsOwnCode) {
  ASSERT_TRUE(ep_.Open(&a_, true));
  NITAB* rec = niconn::Rec(a_.hdl);
  NIBUF_EXT* ext = Ext(a_.hdl);
  // A keep-alive answer waits as the marker; the stored error must not free it.
  ext->readyBuf = NiBufIPongMarker();
  NiIErrInfo(u"test", 1, u"%s: partner gone", NIECONN_BROKEN, u"test");
  EXPECT_EQ(NiBufISetError(rec, ext, NIECONN_BROKEN), NIECONN_BROKEN);
  EXPECT_EQ(NiBufISetError(rec, ext, NIETIMEOUT), NIETIMEOUT);  // an older error wins
  ErrClear();
  NIBUF* b = BufOf("kept");
  EXPECT_EQ(NiBufSend(a_.hdl, &b, 0), NIECONN_BROKEN);
  EXPECT_NE(b, nullptr);
  EXPECT_EQ(ErrText(), "test: partner gone");
  NIBUF* none = nullptr;
  EXPECT_EQ(NiBufReceive(a_.hdl, &none, 0), NIEINTERN);
  NiBufFree2(&b);
  EXPECT_EQ(ErrText(), "NiBufICheckError: buffer of hdl " + std::to_string(a_.hdl) + " in stat err without errinfo");
  ASSERT_TRUE(ep_.Open(&b_, true));
  ext = Ext(b_.hdl);
  ErrClear();
  EXPECT_EQ(NiBufISetError(niconn::Rec(b_.hdl), ext, NIESNC_FAILURE), NIESNC_FAILURE);
  uint32_t n = 0;
  EXPECT_EQ(NiRead(b_.hdl, nullptr, 0, 0, &n), NIESNC_FAILURE);
  EXPECT_EQ(ErrText(), "NiBufISetError: no error information found");
}

TEST_F(NiBuf, HandleParametersAndTheWayBackToPlain) {
  Conn plain;
  ASSERT_TRUE(ep_.Open(&a_, true));
  ASSERT_TRUE(ep_.Open(&plain, false));
  struct Case {
    uint8_t param, type;
    uint32_t value;
    const char* text;
  };
  const Case refused[] = {
      {NIHP_BUF_TALKMODE, NI_DT_UINT, 0, "NiBufISetHdlParam: parameter invalid (pParamData->datatype != NI_DT_RAW)"},
      {NIHP_BUFSTAT, NI_DT_RAW, 1, "NiBufISetHdlParam: parameter invalid (pParamData->value.raw_val != NI_BUFSTAT_OFF)"},
      {NIHP_MAXQUEUE, NI_DT_RAW, 1, "NiBufISetHdlParam: parameter invalid (pParamData->datatype != NI_DT_UINT)"},
      {NIHP_ALLOC_FUNC, NI_DT_UINT, 1, "NiBufISetHdlParam: parameter invalid (pParamData->datatype != NI_DT_ALLOCFUNC)"},
  };
  for (const Case& c : refused) {
    EXPECT_EQ(SetHdl(a_.hdl, c.param, c.type, c.value), NIEINVAL) << int(c.param);
    EXPECT_EQ(ErrText(), c.text);
  }
  for (uint8_t p : {NIHP_BUF_PROGRESS, NIHP_MAXMSGLEN}) EXPECT_EQ(SetHdl(plain.hdl, p, NI_DT_UINT, 1), NIEINVAL);
  NI_PARAM_DATA q{NIHP_BUF_PROGRESS, 0, {}};
  bool handled = false;
  niconn::Rec(a_.hdl)->mBufOps->getParam(niconn::Rec(a_.hdl), Ext(a_.hdl), &q, &handled);
  EXPECT_TRUE(handled);
  EXPECT_EQ(q.value.raw_val, 0);
  // 61 on a plain handle makes it buffered, 0 on a buffered one plain again.
  uint8_t on = NI_BUFSTAT_ON, off = NI_BUFSTAT_OFF;
  ASSERT_EQ(NiSetHdlParam(plain.hdl, NIHP_BUFSTAT, &on), WEQ_O_K);
  ASSERT_NE(Ext(plain.hdl), nullptr);
  ASSERT_TRUE(plain.SendMsg("to buffered"));
  NIBUF* b = nullptr;
  ASSERT_EQ(NiBufReceive(plain.hdl, &b, 5000), WEQ_O_K);
  EXPECT_EQ(Text(b), "to buffered");
  NiBufFree2(&b);
  ASSERT_EQ(NiSetHdlParam(plain.hdl, NIHP_BUFSTAT, &off), WEQ_O_K);
  EXPECT_EQ(Ext(plain.hdl), nullptr);
  EXPECT_EQ(NiBufReceive(plain.hdl, &b, 0), NIEINVAL);
  EXPECT_EQ(ErrText(), "NiBufReceive: parameter invalid (*ppBufHdl == NULL)");
  uint32_t n = 0;
  ASSERT_EQ(NiWrite(plain.hdl, "plain", 5, 1000, &n), WEQ_O_K);
  EXPECT_EQ(plain.Frame(), "plain");
  plain.Close();
}

// An 8-byte message a plain read has begun (gathered in the handle, or
// partly handed out) goes on whole when the handle becomes buffered.
TEST_F(NiBuf, AHandleMadeBufferedInsideAnEightByteMessageDeliversItsRest) {
  uint8_t on = NI_BUFSTAT_ON;
  char buf[8];
  uint32_t n = 0;
  NIBUF* b = nullptr;
  // Partly handed out: 3 of 8 bytes.
  ASSERT_TRUE(ep_.Open(&a_, false));
  ASSERT_TRUE(a_.SendMsg("abcdefgh"));
  ASSERT_EQ(NiRead(a_.hdl, buf, 3, 5000, &n), NIETOO_SMALL);
  EXPECT_EQ(std::string(buf, n), "abc");
  ASSERT_EQ(NiSetHdlParam(a_.hdl, NIHP_BUFSTAT, &on), WEQ_O_K);
  ASSERT_EQ(NiBufReceive(a_.hdl, &b, 5000), WEQ_O_K);
  EXPECT_EQ(Text(b), "defgh");
  NiBufFree2(&b);
  // Gathered in part: 3 of its 8 bytes arrived.
  ASSERT_TRUE(ep_.Open(&b_, false));
  ASSERT_TRUE(b_.Send(std::string("\0\0\0\x08" "ijk", 7)));
  EXPECT_EQ(NiRead(b_.hdl, buf, 8, 100, &n), NIETIMEOUT);
  ASSERT_EQ(NiSetHdlParam(b_.hdl, NIHP_BUFSTAT, &on), WEQ_O_K);
  ASSERT_TRUE(b_.Send("lmnop"));
  ASSERT_EQ(NiBufReceive(b_.hdl, &b, 5000), WEQ_O_K);
  EXPECT_EQ(Text(b), "ijklmnop");
  NiBufFree2(&b);
}

TEST_F(NiBuf, TheHandshakeCountHoldsUserMessagesBack) {
  ASSERT_TRUE(ep_.Open(&a_, true));
  NITAB* rec = niconn::Rec(a_.hdl);
  NIBUF_EXT* ext = Ext(a_.hdl);
  ASSERT_EQ(SetHdl(a_.hdl, NIHP_MAXQUEUE, NI_DT_UINT, 5), WEQ_O_K);
  EXPECT_EQ(NiBufISetHS(rec, ext, false), NIEINTERN);
  ASSERT_EQ(NiBufISetHS(rec, ext, true), WEQ_O_K);
  NIBUF* b = BufOf("after the exchange");
  EXPECT_EQ(NiBufSend(a_.hdl, &b, 0), WEQ_O_K);  // queued while the exchange owns the line
  EXPECT_EQ(a_.Frame(200), "<none>");
  // A keep-alive answer during the exchange is kept for the user.
  ASSERT_TRUE(a_.SendMsg(peers::kNiPong));
  rec->mCheck = 1;
  EXPECT_EQ(NiBufIFinishHandshake(rec, ext, 2000), NIEPING);
  ASSERT_EQ(NiBufISetHS(rec, ext, false), WEQ_O_K);
  EXPECT_EQ(a_.Frame(), "after the exchange");
}

}  // namespace
