// The handle pool under threads: many threads taking, using and giving back
// handles at once (LZH streams among them, which share the filler
// generator), and two threads closing one handle at once.
#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <thread>
#include <vector>

#include "compression/csr.h"
#include "csr_test_util.h"
#include "support/testsupport.h"

namespace {

using namespace csrtest;

// Each cycle compresses a message on one handle and decompresses it on
// another; a handle that two threads held at once, or a work area freed
// under its holder, shows as a wrong result or a sanitizer report.
TEST(PoolThreads, ManyThreadsGetUseClose) {
  InitThreads();
  constexpr int kThreads = 8;
  const int cycles = 2000 * tovtest::HeavyFactor();
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const Bytes msg = Text(200 + 37 * t, static_cast<uint32_t>(t));
      for (int i = 0; i < cycles && failures == 0; ++i) {
        // LZC and LZH, framed or not, in turn.
        const int options = (i & 1 ? CSR_OPT_LZH : CSR_OPT_LZC) | (i & 2 ? CSR_OPT_BLOCK : 0);
        Result c = Drive(PoolCompressor(int(msg.size()), options), msg, Fixed(1 << 16), Fixed(4096));
        Result d = Drive(PoolDecompressor(), c.out, Fixed(1 << 16), Fixed(4096));
        if (c.rc != CSR_END_OF_STREAM || d.rc != CSR_END_OF_STREAM || d.out != msg) ++failures;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures, 0);
  // Every handle came back: the lowest is handed out again.
  int h = 0;
  ASSERT_EQ(CsRGetHandle(&h), 0);
  EXPECT_EQ(h, CSR_HANDLE_FIRST);
  CsRCloseHandle(h);
}

// Two threads close the same handle at the same moment: one gives it back,
// the other finds it free and does nothing, so the work area is freed once
// and the slot is handed out once afterwards.
TEST(PoolThreads, DoubleCloseRace) {
  InitThreads();
  constexpr int kRounds = 2000;
  int low = 0;
  ASSERT_EQ(CsRGetHandle(&low), 0);  // a work area below, so that some are kept
  std::atomic<int> handle{0};
  std::barrier sync(3);
  auto closer = [&] {
    for (int i = 0; i < kRounds; ++i) {
      sync.arrive_and_wait();
      CsRCloseHandle(handle.load());
      sync.arrive_and_wait();
    }
  };
  std::thread a(closer), b(closer);
  for (int i = 0; i < kRounds; ++i) {
    int h = 0, h2 = 0;
    ASSERT_EQ(CsRGetHandle(&h), 0);
    ASSERT_EQ(h, low + 1);
    Bytes out(64);
    ASSERT_EQ(CsRInitCompress(h, out.data(), 300, CSR_OPT_LZH | CSR_OPT_BLOCK), 0);
    handle = h;
    sync.arrive_and_wait();
    sync.arrive_and_wait();
    // Given back once: taken again by one caller only.
    ASSERT_EQ(CsRGetHandle(&h), 0);
    ASSERT_EQ(CsRGetHandle(&h2), 0);
    EXPECT_EQ(h, low + 1);
    EXPECT_EQ(h2, low + 2);
    CsRCloseHandle(h2);
    CsRCloseHandle(h);
    CsRCloseHandle(h);
  }
  a.join();
  b.join();
  CsRCloseHandle(low);
}

}  // namespace
