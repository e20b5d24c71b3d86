// The first call of the slots from 32 threads at once, each time in a fresh
// process: with ICU, with the 7-bit fallbacks, and without either.
#include <gtest/gtest.h>

#include <barrier>
#include <cstdio>
#include <thread>
#include <vector>

#include "flat/nlsui.h"
#include "nlsui_testutil.h"

using nlsuitest::Count;
using nlsuitest::kSlotCases;
using nlsuitest::LoadSetup;
using nlsuitest::RunLoad;

namespace {

constexpr int kThreads = 32;

// Thread t works on slot t % 9 over units from 0 upward; returns how many
// results differed from want(slot, unit).
template <typename Want>
int Race(Want want, unsigned units) {
  std::barrier start(kThreads);
  std::vector<int> wrong(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const int k = t % 9;
      start.arrive_and_wait();
      for (unsigned c = 0; c < units; ++c) wrong[t] += (*kSlotCases[k].slot)(c) != want(k, c);
    });
  }
  for (auto& th : threads) th.join();
  int sum = 0;
  for (int w : wrong) sum += w;
  return sum;
}

// Processes per test, more with TOV_TEST_HEAVY. A process under
// ThreadSanitizer costs some ten times as much; there a quarter of them.
int Rounds(int base) {
#ifdef __SANITIZE_THREAD__
  base = (base + 3) / 4;
#endif
  return base * tovtest::HeavyFactor();
}

TEST(NlsuiFirstCall, ThirtyTwoThreadsLoadIcuOnce) {
  for (int round = 0; round < Rounds(100); ++round) {
    auto r = RunLoad({}, [] {
      // Reference values first, so that no thread waits on ICU's own start.
      static int want[9][0x300];
      for (int k = 0; k < 9; ++k) {
        for (unsigned c = 0; c < 0x300; ++c) want[k][c] = kSlotCases[k].icu(static_cast<UChar32>(c));
      }
      return Race([](int k, unsigned c) { return want[k][c]; }, 0x300) == 0 ? 0 : 1;
    });
    ASSERT_EQ(r.exit_code, 0) << "round " << round << " signal " << r.signal << "\n" << r.err;
    ASSERT_EQ(r.err, "");
  }
}

TEST(NlsuiFirstCall, ThirtyTwoThreadsFallBackOnce) {
  for (int round = 0; round < Rounds(10); ++round) {
    auto r = RunLoad({{{"NLSUI_7BIT_FALLBACK", "1"}}, "libtovtest-missing-uc.so"}, [] {
      return Race(nlsuitest::SevenBit, 0x80) == 0 ? 0 : 1;
    });
    ASSERT_EQ(r.exit_code, 0) << "round " << round << " signal " << r.signal << "\n" << r.err;
    ASSERT_EQ(Count(r.err, "Environment variable NLSUI_7BIT_FALLBACK is set."), 1) << r.err;
    // Each thread that met a lazy entry asks for the load and hears the
    // outcome; one that came after the slots were filled does not ask.
    const int asked = Count(r.err, "ICU shared libraries are not loaded");
    ASSERT_TRUE(asked >= 1 && asked <= kThreads) << r.err;
  }
}

TEST(NlsuiFirstCall, ThirtyTwoThreadsEndTheProcessOnce) {
  for (int round = 0; round < Rounds(10); ++round) {
    auto r = RunLoad({{{"NLSUI_7BIT_FALLBACK", ""}}, "libtovtest-missing-uc.so"}, [] {
      Race([](int, unsigned) { return 0; }, 1);
      return 0;
    });
    ASSERT_EQ(r.exit_code, 255) << "round " << round << " signal " << r.signal;
    ASSERT_EQ(Count(r.err, "Could not open the ICU common library."), 1) << r.err;
  }
}

}  // namespace

#ifdef __SANITIZE_THREAD__
// ThreadSanitizer waits a second in a process that ends while other threads
// run, which the test ending the process does on purpose.
extern "C" const char* __tsan_default_options() { return "atexit_sleep_ms=0"; }
#endif
