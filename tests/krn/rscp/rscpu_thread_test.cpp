// Threads meet the converters' process-wide state at once: the module texts
// made at each module's first error, and the hook slot replaced while other
// threads report errors.
#include <gtest/gtest.h>

#include <barrier>
#include <map>
#include <thread>

#include "rscpu_harness.h"

namespace {

using namespace rscputest;

// One character converted, then no room for the next: whichever hook is in
// the slot (the default or one that adds 1) answers, once, and every
// converter of a module shows one text.
TEST(RscpuThreads, FirstErrorsRaceWhileTheHookChanges) {
  constexpr size_t kThreads = 8;
  std::barrier start(kThreads + 1);
  std::atomic<bool> stop{false};
  std::atomic<int> wrong{0};
  std::vector<std::atomic<const char16_t*>> texts(kConvs.size());  // the first text each converter gave
  std::vector<std::thread> threads;
  gOffset = 1;
  for (size_t t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      start.arrive_and_wait();
      for (size_t i = 0; i < 100 * kConvs.size(); ++i) {
        const size_t k = (i + t * 3) % kConvs.size();
        const Res& r = Convert(kConvs[k], Pack({0x41, 0x42}, kConvs[k].in(), kConvs[k].sw), 1);
        const char16_t* first = nullptr;
        wrong += (r.rc != 32 && r.rc != 33) || r.used != 1 || r.calls > 1 ||
                 (r.calls == 1 && !texts[k].compare_exchange_strong(first, r.module) && first != r.module);
      }
    });
  std::thread switcher([&] {
    start.arrive_and_wait();
    for (int i = 0; !stop; ++i) rscpuSetErrorFunc(i % 2 ? Hook : nullptr);
  });
  for (auto& th : threads) th.join();
  stop = true;
  switcher.join();
  rscpuSetErrorFunc(nullptr);
  EXPECT_EQ(wrong, 0);
  std::map<std::string, const char16_t*> byModule;
  for (size_t k = 0; k < kConvs.size(); ++k)
    EXPECT_TRUE(!texts[k] || byModule.emplace(kConvs[k].module, texts[k]).first->second == texts[k]);
}

}  // namespace
