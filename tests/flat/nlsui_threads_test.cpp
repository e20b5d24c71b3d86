// The first call of the slots from 32 threads at once, each time in a fresh
// process: with ICU, with the 7-bit fallbacks, and without either.
#include <gtest/gtest.h>

#include <barrier>
#include <thread>

#include "nlsui_testutil.h"

namespace {

using namespace nlsuitest;

constexpr int kThreads = 32;
int gWant[9][0x300];  // what each slot must give, per unit

// Thread t calls slot t % 9 for the units below `units` right after the
// others start; the result is how many answers differed from gWant.
int Race(unsigned units) {
  std::barrier start(kThreads);
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      start.arrive_and_wait();
      for (unsigned c = 0; c < units; ++c) wrong += (*kSlots[t % 9].slot)(c) != gWant[t % 9][c];
    });
  for (auto& th : threads) th.join();
  return wrong;
}

#ifdef __SANITIZE_THREAD__
constexpr int kShare = 4;  // a process costs some ten times as much under ThreadSanitizer
#else
constexpr int kShare = 1;
#endif

// With ICU, with the 7-bit fallbacks and without either, in fresh processes
// (more with TOV_TEST_HEAVY): no crash, every answer right, the load's
// messages once.
TEST(NlsuiFirstCall, ThirtyTwoThreadsLoadOnce) {
  const struct {
    Load load;
    int rounds, status;
    const char* once;  // a message the load writes exactly once, or none for no output
  } cases[] = {{{}, 100, 0, nullptr},
               {{{{"NLSUI_7BIT_FALLBACK", "1"}}, kMissing}, 10, 0, "Environment variable NLSUI_7BIT_FALLBACK is set."},
               {{{}, kMissing}, 10, 255, "Could not open the ICU common library."}};
  for (const auto& c : cases) {
    for (int round = 0; round < (c.rounds + kShare - 1) / kShare * tovtest::HeavyFactor(); ++round) {
      const auto r = RunLoad(c.load, [] {
        // The answers first, so that no thread waits on ICU's own start.
        const bool fallback = getenv("NLSUI_7BIT_FALLBACK") != nullptr;
        for (int k = 0; k < 9; ++k)
          for (unsigned u = 0; u < 0x300; ++u) gWant[k][u] = fallback ? SevenBit(k, u) : kSlots[k].icu(static_cast<UChar32>(u));
        return Race(fallback ? 0x80 : 0x300) == 0 ? 0 : 1;
      });
      ASSERT_EQ(r.exit_code, c.status) << "round " << round << " signal " << r.signal << "\n" << r.err;
      const size_t at = c.once ? r.err.find(c.once) : std::string::npos;
      ASSERT_TRUE(c.once ? at != std::string::npos && r.err.find(c.once, at + 1) == std::string::npos : r.err.empty())
          << r.err;
    }
  }
}

}  // namespace

#ifdef __SANITIZE_THREAD__
// ThreadSanitizer waits a second in a process that ends while other threads
// run, which the case without ICU does on purpose.
extern "C" const char* __tsan_default_options() { return "atexit_sleep_ms=0"; }
#endif
