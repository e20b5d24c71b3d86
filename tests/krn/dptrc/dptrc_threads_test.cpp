// Threads writing one trace file at once, and the per-thread error records
// with their release when a thread ends.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "krn/dptrc/err.h"
#include "krn/dptrc/err_int.h"
#include "trc_checker.h"

namespace {

using namespace trccheck;

template <class Fn>
void OnThreads(int n, Fn fn) {
  std::vector<std::thread> threads;
  for (int i = 0; i < n; ++i) threads.emplace_back(fn, i);
  for (std::thread& t : threads) t.join();
}

// Every line carries its thread's tag, two-line entries stay together in
// order, and each error line shows its own thread's location.
TEST(TraceThreads, EntriesOfEightThreadsNeverInterleave) {
  const int kEntries = 2000 * tovtest::HeavyFactor();
  TraceFile t(2);
  std::vector<std::string> tags(8);
  OnThreads(8, [&](int n) {
    tags[n] = Tag();
    for (int i = 0; i < kEntries; ++i) {
      DPTRC_LINE(2, t.f, u"t%d first %d\nt%d second %d \u00e4\U0001F600\n", n, i, n, i);
      if (i % 500 == 0) {
        DpTrcLock();
        DpTrcSetLocation(u"file.c", n);
        DpTrcError(t.f, u"thread %d", n);
        DpTrcUnlock();
      }
    }
  });
  ASSERT_TRUE(ValidUtf8(t.Read()));
  std::vector<Line> b = t.Body(true);
  std::vector<int> next(8, 0);
  for (size_t i = 0; i < b.size(); ++i) {
    const size_t n = std::find(tags.begin(), tags.end(), "[Thr " + b[i].tag + "] ") - tags.begin();
    ASSERT_LT(n, 8u) << "line " << i << " without a thread's tag: " << b[i].raw;
    const std::string t = std::to_string(n), k = std::to_string(next[n]);
    if (b[i].kind == 'E') {
      EXPECT_EQ(b[i].text + "@" + b[i].where, "thread " + t + "@file.c       " + t);
    }
    if (b[i].body[0] != 't') continue;
    ASSERT_EQ(b[i].body + "|" + b.at(i + 1).body + b[i + 1].tag,
              "t" + t + " first " + k + "|t" + t + " second " + k + " \xc3\xa4\xf0\x9f\x98\x80" + b[i].tag)
        << "line " << i;
    ++next[n];
    ++i;
  }
  EXPECT_EQ(next, std::vector<int>(8, kEntries));
}

// The lock is made once, also when the first uses come from many threads.
TEST(TraceThreads, FirstUseOfTheLockFromManyThreads) {
  auto r = tovtest::RunInChild([] {
    std::atomic<int> inside{0}, overlap{0};
    OnThreads(8, [&](int) {
      for (int i = 0; i < 200; ++i) {
        DpTrcLock();
        overlap += inside.fetch_add(1) != 0;
        inside.fetch_sub(1);
        DpTrcUnlock();
      }
    });
    return overlap.load();
  });
  EXPECT_EQ(r.exit_code, 0) << r.err;
}

TEST(ErrThreads, RecordsArePerThreadAndFreedAtThreadEnd) {
  ErrFreeThrAdm(nullptr);  // this thread's, from earlier tests
  const long before = ErrIAdmAlive.load();
  std::atomic<int> failures{0};
  OnThreads(4, [&](int n) {
    for (int i = 0; i < 200; ++i) {
      ErrSetLocation(u"thread %d", n);
      ErrSetInfo(u"C", 1, u"m", 1, u"error %d of %d", n, nullptr, i, n);
      failures += std::u16string(ErrGetFld(ERR_FLD_ERROR)) + u"|" + ErrGetFld(ERR_FLD_COUNTER) + u"|" +
                      ErrGetLocation() !=
                  tovtest::FromUtf8("error " + std::to_string(i) + " of " + std::to_string(n) + "|" +
                                    std::to_string(i + 1) + "|thread " + std::to_string(n));
    }
  });
  // A reading thread creates nothing.
  OnThreads(1, [&](int) { failures += std::u16string(ErrGetFld(2)) + ErrGetAllTxt() != u""; });
  EXPECT_EQ((std::vector<long>{failures.load(), ErrIAdmAlive.load()}), (std::vector<long>{0, before}));
}

}  // namespace
