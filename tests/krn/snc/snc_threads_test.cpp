// SNC return codes from several threads at once: each thread names codes
// without a row and always reads its own code's text, and records codes in
// its own error information.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "krn/dptrc/err.h"
#include "krn/snc/snc.h"
#include "krn/thr/thr.h"
#include "support/testsupport.h"

namespace {

TEST(SncCodesThreads, UnknownCodesNamedAtOnce) {
  ASSERT_EQ(ThrProcInit(), THR_ERR_OK);
  constexpr int kThreads = 8;
  const int rounds = 20000 * tovtest::HeavyFactor();
  std::atomic<int> ready{0};
  std::vector<int> wrong(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      ready.fetch_add(1);
      while (ready.load() < kThreads) std::this_thread::yield();
      for (int i = 0; i < rounds; ++i) {
        const int code = -1000 - t * 100000 - i % 977;
        const char* name = SncErrName(code);
        if (std::string(name) != "Unknown errorcode " + std::to_string(code)) ++wrong[t];
        if (i % 1000 == 0) {
          SncErrSet(code);
          if (tovtest::ToUtf8(ErrGetFld(ERR_FLD_RC)) != std::to_string(code)) ++wrong[t];
        }
      }
    });
  }
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(wrong, std::vector<int>(kThreads, 0));
}

}  // namespace
