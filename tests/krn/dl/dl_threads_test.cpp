// The loader used from several threads at once: no slot is handed to two
// loads, handles stay usable while other threads load and unload, and
// lookups on handles that come and go never reach a closed library.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>
#include <vector>

#include "krn/dl/dl.h"
#include "krn/thr/thr.h"

namespace {

TEST(DlThreads, LoadResolveUnloadFromFourThreads) {
  ThrProcInit();
  std::vector<std::atomic<int>> owner(DL_MAX_LIBS);  // the thread holding each slot, -1: none
  for (auto& o : owner) o = -1;
  std::atomic<int> faults{0};
  std::atomic<bool> done{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 1000; ++i) {
        DL_HDL h[2];
        for (DL_HDL& x : h) {
          int none = -1;
          if (DlLoadLib(u"libm.so.6", &x) != DL_OK) {
            faults.fetch_add(1);
            return;
          }
          if (!owner[x].compare_exchange_strong(none, t)) faults.fetch_add(1);
        }
        for (DL_HDL& x : h) {
          DL_FUNC f = nullptr;
          if (DlLoadFunc(x, u"cos", &f) != DL_OK || reinterpret_cast<double (*)(double)>(f)(0.5) != std::cos(0.5)) {
            faults.fetch_add(1);
          }
          owner[x] = -1;
          if (DlUnloadLib(&x) != DL_OK) faults.fetch_add(1);
        }
      }
    });
  }
  // Lookups on every slot while they are taken and freed: either the slot
  // holds a library or the handle is refused.
  std::thread prober([&] {
    while (!done.load()) {
      for (DL_HDL x = 0; x < DL_MAX_LIBS; ++x) {
        DL_FUNC f = nullptr;
        const int32_t rc = DlLoadFunc(x, u"sin", &f);
        if ((rc != DL_OK && rc != DLEINVAL) || (rc == DL_OK && f == nullptr)) faults.fetch_add(1);
      }
    }
  });
  for (auto& th : threads) th.join();
  done = true;
  prober.join();
  EXPECT_EQ(faults.load(), 0);
  // Everything was unloaded again: a fresh load takes slot 0.
  DL_HDL h;
  ASSERT_EQ(DlLoadLib(u"libm.so.6", &h), DL_OK);
  EXPECT_EQ(h, 0);
  EXPECT_EQ(DlUnloadLib(&h), DL_OK);
}

}  // namespace
