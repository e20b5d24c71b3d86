// UUID creation from several threads at once: every identifier distinct, and
// the system generator never entered by two threads together.
#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "krn/perf/pfuuid.h"
#include "krn/perf/pfuuid_int.h"
#include "krn/thr/thr.h"

namespace {

using Bytes = std::array<uint8_t, 16>;

class UuidThreads : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ThrProcInit(); }
};

TEST_F(UuidThreads, HundredThousandFromFourThreadsAllDistinct) {
  constexpr int kThreads = 4;
  constexpr int kTotal = 100000;
  std::vector<Bytes> all(kTotal);
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = t; i < kTotal; i += kThreads) {
        if (UuidGenerate(all[i].data()) != UUID_RC_OK) failures.fetch_add(1);
      }
    });
  }
  for (auto& th : threads) th.join();
  ASSERT_EQ(failures.load(), 0);
  for (const Bytes& b : all) {
    ASSERT_TRUE((b[7] >> 4) == 0xD || (b[7] >> 4) == 0xE);
    ASSERT_EQ(b[8] & 0xC0, 0x80);
    ASSERT_EQ(b[9] & 0x80, 0x80);
  }
  std::sort(all.begin(), all.end());
  EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end());
}

// A generator that notices when a second thread enters it.
std::atomic<int> gInside{0};
std::atomic<int> gOverlaps{0};
std::atomic<uint32_t> gSerial{0};

void WatchingGenerator(unsigned char out[16]) {
  if (gInside.fetch_add(1) != 0) gOverlaps.fetch_add(1);
  uint32_t n = gSerial.fetch_add(1);
  for (int spin = 0; spin < 200; ++spin) std::atomic_signal_fence(std::memory_order_seq_cst);
  const unsigned char base[16] = {0, 0, 0, 0, 0, 0, 0x10, 0, 0x80, 0, 1, 2, 3, 4, 5, 6};
  std::copy(base, base + 16, out);
  out[0] = static_cast<unsigned char>(n >> 24);
  out[1] = static_cast<unsigned char>(n >> 16);
  out[2] = static_cast<unsigned char>(n >> 8);
  out[3] = static_cast<unsigned char>(n);
  gInside.fetch_sub(1);
}

TEST_F(UuidThreads, GeneratorIsNeverEnteredTwice) {
  UuidITestSetGenerator(WatchingGenerator);
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      Bytes b;
      for (int i = 0; i < 5000; ++i)
        if (UuidGenerate(b.data()) != UUID_RC_OK) failures.fetch_add(1);
    });
  }
  for (auto& th : threads) th.join();
  UuidITestRestore();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(gSerial.load(), 20000u);
  EXPECT_EQ(gOverlaps.load(), 0);
}

}  // namespace
