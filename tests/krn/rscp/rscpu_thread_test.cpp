// Threads meeting the converters' process-wide state at once: the module
// texts made at a module's first error, and the hook slot replaced while
// other threads report errors.
#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <map>
#include <thread>
#include <vector>

#include "rscpu_harness.h"

namespace {

using namespace rscputest;

int PlusOne(int kind, WEQ_UC, int, const WEQ_UC*, int, int, const WEQ_UC*, const WEQ_UC*,
            const WEQ_UC*, int, const WEQ_UC*, int) {
  return kind + 1;
}

// One bad input per converter, behind one good character.
Bytes BadInput(const Conv& c) {
  if (c.decoder) return {0x41, 0xFF};
  if (c.u4ToU6) return UnitsToBytes({0x41, 0x10000}, 4, false);
  return UnitsToBytes({0x41, c.fam == Fam::kU4 ? 0x80000000u : 0xDC00u}, c.unitIn(), c.swapped);
}

TEST(RscpuThreads, FirstErrorsRaceWhileTheHookChanges) {
  const std::vector<Conv>& convs = AllConvs();
  constexpr int kThreads = 8;
  std::barrier start(kThreads + 1);
  std::atomic<bool> stop{false};
  std::atomic<int> wrong{0};
  // Per thread: the text each module handed to the recording hook.
  std::vector<std::map<std::string, const char16_t*>> texts(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      start.arrive_and_wait();
      for (int round = 0; round < 100; ++round) {
        for (size_t i = 0; i < convs.size(); ++i) {
          const Conv& c = convs[(i + static_cast<size_t>(t) * 3) % convs.size()];
          // UCS-2 and UCS-4 to UTF-16 can only run out of room.
          bool full = c.u4ToU6 || (!c.decoder && c.fam == Fam::kU2);
          int kind = full ? 32 : 2048;
          Result r = Convert(c, BadInput(c), full ? 2 : 8);
          // Whichever hook was in the slot answered, once.
          if (r.rc != kind && r.rc != kind + 1) wrong.fetch_add(1);
          if (r.consumed != 1 || r.calls.size() > 1) wrong.fetch_add(1);
          if (r.calls.empty()) continue;
          auto [it, fresh] = texts[static_cast<size_t>(t)].emplace(c.module, r.calls[0].module);
          if (it->second != r.calls[0].module || ModuleName(it->second) != c.module) wrong.fetch_add(1);
        }
      }
    });
  }
  std::thread switcher([&] {
    start.arrive_and_wait();
    for (int i = 0; !stop.load(); ++i)
      rscpuSetErrorFunc(i % 3 == 0 ? RecordingHook : i % 3 == 1 ? PlusOne : nullptr);
  });
  for (auto& th : threads) th.join();
  stop = true;
  switcher.join();
  rscpuSetErrorFunc(nullptr);
  EXPECT_EQ(wrong.load(), 0);
  // All threads saw one and the same text per module.
  std::map<std::string, const char16_t*> all;
  for (const auto& m : texts)
    for (const auto& [module, text] : m) {
      auto [it, fresh] = all.emplace(module, text);
      EXPECT_EQ(it->second, text) << module;
    }
}

}  // namespace
