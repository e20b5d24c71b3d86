// Several threads use the trace ring and the decimal names at once: each
// keeps its own texts, and a thread's storage goes with it.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "krn/gw/gw.h"
#include "krn/thr/thr.h"
#include "support/testsupport.h"

namespace {

TEST(GwThreads, EachThreadKeepsItsOwnTexts) {
  ASSERT_EQ(ThrProcInit(), THR_ERR_OK);
  const int kThreads = 8;
  std::vector<int> failures(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &failures] {
      for (int round = 0; round < 2000; ++round) {
        // Ten texts of this thread, with growing lengths so buffers move.
        std::vector<std::string> fields;
        std::vector<const WEQ_UC*> texts;
        for (int i = 0; i < 10; ++i) {
          std::string f = "t" + std::to_string(t) + "r" + std::to_string(round) + std::string(static_cast<size_t>((round + i) % 50), 'x');
          fields.push_back(f);
          texts.push_back(GwNetStrForTrc(f.data(), static_cast<int>(f.size()), 0, 0));
        }
        const WEQ_UC* err = GwErrorName(1000 + t);
        const WEQ_UC* req = GwRequestName(static_cast<uint8_t>(100 + t));
        for (int i = 0; i < 10; ++i)
          if (tovtest::ToUtf8(texts[static_cast<size_t>(i)]) != fields[static_cast<size_t>(i)]) failures[static_cast<size_t>(t)]++;
        if (tovtest::ToUtf8(err) != std::to_string(1000 + t)) failures[static_cast<size_t>(t)]++;
        if (tovtest::ToUtf8(req) != std::to_string(100 + t)) failures[static_cast<size_t>(t)]++;
      }
    });
  }
  for (std::thread& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(failures[static_cast<size_t>(t)], 0) << "thread " << t;
}

}  // namespace
