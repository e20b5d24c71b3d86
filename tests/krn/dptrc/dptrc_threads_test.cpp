// Threads writing one trace file at once, and the per-thread error records
// with their release when a thread ends.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>
#include <thread>

#include "krn/dptrc/dptrc.h"
#include "krn/dptrc/err.h"
#include "krn/dptrc/err_int.h"
#include "trc_testutil.h"

namespace {

using trccheck::Kind;
using trccheck::Line;

template <class Fn>
void OnThreads(int n, Fn fn) {
  std::vector<std::thread> threads;
  for (int i = 0; i < n; ++i) threads.emplace_back(fn, i);
  for (std::thread& t : threads) t.join();
}

TEST(TraceThreads, EntriesOfEightThreadsNeverInterleave) {
  const int kEntries = 2000 * tovtest::HeavyFactor();
  trctest::TraceFile t(2);
  std::map<std::string, int> threadOf;
  std::mutex m;
  OnThreads(8, [&](int n) {
    {
      std::lock_guard<std::mutex> hold(m);
      threadOf[trctest::KernelTid()] = n;
    }
    for (int i = 0; i < kEntries; ++i) {
      DPTRC_LINE(2, t.hdl(), u"t%d first %d\nt%d second %d \u00e4\U0001F600\n", n, i, n, i);
      if (i % 500 == 0) {
        DpTrcLock();
        DpTrcSetLocation(u"file.c", n);
        DpTrcError(t.hdl(), u"thread %d", n);
        DpTrcHexDump(t.hdl(), u"dump", &i, sizeof i, 0);
        DpTrcUnlock();
      }
    }
  });
  ASSERT_TRUE(trccheck::ValidUtf8(t.Read()));
  std::vector<Line> b = t.Body();
  std::vector<int> next(8, 0);
  for (size_t i = 0; i < b.size(); ++i) {
    ASSERT_TRUE(threadOf.count(b[i].tag))
        << "line " << i << " without a thread's tag: " << b[i].raw;
    int n = threadOf[b[i].tag];
    if (b[i].kind == Kind::kError) {
      EXPECT_EQ(b[i].text + "@" + b[i].lineNo,
                "thread " + std::to_string(n) + "@" + std::to_string(n));
    }
    if (b[i].body.rfind("t", 0) != 0) continue;
    std::string entry = "t" + std::to_string(n) + " first " + std::to_string(next[n]) + "|t" +
                        std::to_string(n) + " second " + std::to_string(next[n]) +
                        " \xc3\xa4\xf0\x9f\x98\x80";
    ASSERT_LT(i + 1, b.size());
    ASSERT_EQ(b[i].body + "|" + b[i + 1].body, entry) << "line " << i;
    ASSERT_EQ(b[i + 1].tag, b[i].tag);
    ++next[n];
    ++i;
  }
  EXPECT_EQ(next, std::vector<int>(8, kEntries));
}

TEST(TraceThreads, FirstUseOfTheLockFromManyThreads) {
  auto r = tovtest::RunInChild([] {
    std::atomic<int> inside{0}, overlap{0};
    OnThreads(8, [&](int) {
      for (int i = 0; i < 200; ++i) {
        DpTrcLock();
        DpTrcLock();
        if (inside.fetch_add(1) != 0) ++overlap;
        inside.fetch_sub(1);
        DpTrcUnlock();
        DpTrcUnlock();
      }
    });
    return overlap.load();
  });
  EXPECT_EQ(r.exit_code, 0) << r.err;
}

TEST(ErrThreads, RecordsArePerThreadAndFreedAtThreadEnd) {
  ErrFreeThrAdm(nullptr);  // this thread's, from earlier tests
  long before = ErrIAdmAlive.load();
  std::atomic<int> failures{0};
  OnThreads(4, [&](int n) {
    auto num = [](int v) { return tovtest::FromUtf8(std::to_string(v)); };
    for (int i = 0; i < 200; ++i) {
      ErrSetLocation(u"thread %d", n);
      ErrSetInfo(u"C", 1, u"m", 1, u"error %d of %d", n, nullptr, i, n);
      failures += ErrGetFld(ERR_FLD_ERROR) != u"error " + num(i) + u" of " + num(n);
      failures += ErrGetFld(ERR_FLD_COUNTER) != num(i + 1);
      failures += ErrGetLocation() != u"thread " + num(n);
    }
  });
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(ErrIAdmAlive.load(), before);
  // A copy installed on another thread counts there; a reading thread
  // creates nothing.
  ASSERT_EQ(ErrSetInfo(u"C", 1, u"m", 1, u"from main", 1, nullptr), 0);
  const WEQ_UC* rec;
  size_t len;
  ASSERT_EQ(ErrGetAttr(&rec, &len), 0);
  std::u16string copy(rec, len), counter, error;
  OnThreads(1, [&](int) {
    ErrGetFld(2);
    ErrGetAllTxt();
    if (ErrIAdmAlive.load() != before + 1) ++failures;
    ErrSetInfo(u"C", 1, u"m", 1, u"own", 1, nullptr);
    ErrCpTo(copy.data(), copy.size());
    counter = ErrGetFld(ERR_FLD_COUNTER);
    error = ErrGetFld(ERR_FLD_ERROR);
  });
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(counter + u" " + error, u"2 from main");
  EXPECT_EQ(ErrIAdmAlive.load(), before + 1);
  ErrFreeThrAdm(nullptr);  // clears this thread's key value as well
  EXPECT_FALSE(ErrIsSet());
  EXPECT_EQ(ErrIAdmAlive.load(), before);
}

}  // namespace
