// Streams on several threads at once, each with its own states: the
// filler generator is the only thing they share.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include "lzh_test_util.h"

namespace {

using namespace lzhtest;

TEST(LzhThreads, IndependentStreamsShareTheFillerGenerator) {
  constexpr int kThreads = 4;
  constexpr int kStreams = 12;
  std::atomic<int> failures{0};
  std::vector<std::set<int>> fillers(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &failures, &fillers] {
      auto cst = NewDeflateState();
      auto dst = NewInflateState();
      for (int i = 0; i < kStreams; ++i) {
        Bytes data = (i % 2) ? Text(7000 + 100 * i, t * 100 + i) : Runs(9000, t * 100 + i);
        CompressResult c = Compress(cst.get(), data, (1 + (t + i) % 9) << 4, RandomSizes(t * 31 + i),
                                    RandomSizes(t * 37 + i, 64));
        DecompressResult d = Decompress(dst.get(), c.stream, RandomSizes(i), RandomSizes(i + 1));
        if (c.rc != 1 || d.rc != 1 || d.data != data) ++failures;
        fillers[t].insert(FillerCount(c.stream));
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
  std::set<int> all;
  for (const auto& f : fillers) all.insert(f.begin(), f.end());
  EXPECT_GE(all.size(), 3u);
}

}  // namespace
