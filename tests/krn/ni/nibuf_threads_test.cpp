// The buffered layer's shared counters under threads: eight threads
// allocate and release buffers, drop their references to shared buffers,
// and each sends and receives over a buffered handle of its own. The heap
// count ends where it began, every shared buffer reaches its hook exactly
// once, and every message arrives.
#include <gtest/gtest.h>

#include <string.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "krn/thr/thr.h"
#include "niconn.h"
#include "support/testsupport.h"

namespace {

std::atomic<int> g_sharedReleased{0};
void SharedHook(NIBUF** pp) {
  g_sharedReleased.fetch_add(1);
  NiBufFree2(pp);
}

TEST(NiBufThreads, CountersStayExactAcrossEightThreads) {
  constexpr int kThreads = 8;
  ASSERT_EQ(ThrProcInit(), THR_ERR_OK);
  ASSERT_EQ(NiInit3(64), WEQ_O_K);
  const uint64_t heap0 = NiBufIHeapUsed();
  const int rounds = 200 * tovtest::HeavyFactor();
  // Shared buffers with one reference per thread; the last release of each
  // reaches its hook.
  std::vector<NIBUF*> shared(rounds, nullptr);
  for (NIBUF*& b : shared) {
    ASSERT_EQ(NiBufAlloc2(&b, 100, u"shared", SharedHook), WEQ_O_K);
    b->refCount = kThreads;
  }
  niconn::Endpoint ep;
  std::vector<niconn::Conn> conns(kThreads);
  for (auto& c : conns) ASSERT_TRUE(ep.Open(&c, true));
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      niconn::Conn& c = conns[t];
      for (int i = 0; i < rounds; ++i) {
        NIBUF* own = nullptr;
        if (NiBufAlloc2(&own, 1 + (i * 37 + t) % 5000, u"own", nullptr) != WEQ_O_K) failures.fetch_add(1);
        NIBUF* mine = shared[i];
        NiBufFree(&mine);
        std::string m = "thread " + std::to_string(t) + " message " + std::to_string(i);
        memcpy(own->data, m.data(), m.size() < static_cast<size_t>(own->buflen) ? m.size() : own->buflen);
        own->len = static_cast<int32_t>(m.size()) < own->buflen ? static_cast<int32_t>(m.size()) : own->buflen;
        std::string sent(reinterpret_cast<char*>(own->data), own->len);
        if (NiBufSend(c.hdl, &own, 5000) != WEQ_O_K || own != nullptr) failures.fetch_add(1);
        if (c.Frame() != sent) failures.fetch_add(1);
        if (!c.SendMsg(sent)) failures.fetch_add(1);
        NIBUF* back = nullptr;
        if (NiBufReceive(c.hdl, &back, 5000) != WEQ_O_K ||
            std::string(reinterpret_cast<char*>(back->data), back->len) != sent)
          failures.fetch_add(1);
        NiBufFree2(&back);
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(g_sharedReleased.load(), rounds);
  for (auto& c : conns) c.Close();
  EXPECT_EQ(NiBufIHeapUsed(), heap0);
  NiExit();
}

}  // namespace
