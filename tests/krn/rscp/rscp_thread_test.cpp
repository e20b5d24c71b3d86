// Threads meet the converter's control part at once: per-thread records and
// error stacks, the process-wide sequence counter, the numeric name
// fallbacks, and the 'CCC' mutex.
#include <barrier>
#include <future>
#include <set>
#include <thread>

#include "rscp_testutil.h"
#include "support/testsupport.h"

namespace {

using namespace rscptest;
using Lines = std::vector<std::u16string>;

class ConverterThreads : public ConverterTest {};

bool Contains(const Lines& lines, const std::u16string& piece) {
  return std::any_of(lines.begin(), lines.end(),
                     [&](const std::u16string& l) { return l.find(piece) != std::u16string::npos; });
}

// Each thread prints only its own errors; the main thread's stack stays empty.
TEST_F(ConverterThreads, TwoThreadsKeepSeparateStacks) {
  std::barrier reported(2);
  auto run = [&](const WEQ_UC* code, bool push) {
    rscpeClearThrErrors();
    if (push) rscpePushOsError(5, u"read error", -1);
    rscpe__error(RSCPETOOLONG, u'C', -1, kTestModule, 1, 1, u"t", code, nullptr, 0, nullptr, 0);
    reported.arrive_and_wait();  // both stacks filled before either is read
    Lines lines = PrintLines(*rscpeg__get_thr_errors());
    return std::make_tuple(Contains(lines, u"TSL01: AAA"), Contains(lines, u"TSL01: BBB"),
                           Contains(lines, u"| read error"));
  };
  auto a = std::async(std::launch::async, run, u"AAA", false);
  auto b = std::async(std::launch::async, run, u"BBB", true);
  EXPECT_EQ(a.get(), std::make_tuple(true, false, false));
  EXPECT_EQ(b.get(), std::make_tuple(false, true, true));
  EXPECT_EQ(rscpeg__get_thr_errors()->count, 0);
}

// Short-lived threads each start from a zeroed record of their own and
// leave nothing behind (the leak check of the sanitizer build); reports of
// all threads draw distinct sequence numbers.
TEST_F(ConverterThreads, ShortLivedThreadsGetFreshRecords) {
  constexpr int kBatch = 50;
  const int batches = 10 * tovtest::HeavyFactor();
  std::set<uint32_t> seqs;
  for (int n = 0; n < batches; ++n) {
    std::barrier alive(kBatch);
    std::vector<rscpThrCtx_t*> ctxs(kBatch);
    std::vector<uint32_t> batchSeqs(kBatch);
    std::vector<int> dirty(kBatch);
    std::vector<std::thread> threads;
    for (int t = 0; t < kBatch; ++t)
      threads.emplace_back([&, t] {
        rscpThrCtx_t* ctx = rscpGetThrCtx();
        dirty[t] = ctx->errors.count + ctx->append + static_cast<int>(ctx->bytesIn) + ctx->lookups;
        rscpe__error(RSCPETOOLONG, u'C', -1, kTestModule, t, n, u"t", u"X", nullptr, 0, nullptr, 0);
        ctx->bytesIn = 1;
        ctxs[t] = ctx;
        batchSeqs[t] = ctx->errors.entries[0].seqNo;
        alive.arrive_and_wait();  // all records of the batch exist at once
      });
    for (auto& th : threads) th.join();
    EXPECT_EQ(std::set<rscpThrCtx_t*>(ctxs.begin(), ctxs.end()).size(), size_t{kBatch});
    EXPECT_EQ(std::count(dirty.begin(), dirty.end(), 0), kBatch);
    seqs.insert(batchSeqs.begin(), batchSeqs.end());
  }
  EXPECT_EQ(seqs.size(), static_cast<size_t>(batches * kBatch));
  EXPECT_EQ(rscpGetThrCtxFailures(), 0u);
}

// The numeric fallbacks live in each thread's own buffer.
TEST(ConverterNames, UnknownValuesPerThread) {
  constexpr int kThreads = 8;
  std::barrier start(kThreads);
  std::vector<int> wrong(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      start.arrive_and_wait();
      for (int i = 0; i < 2000; ++i) {
        const int v = 100 + t * 5000 + i;  // unknown to every table, within 16 bits
        const std::u16string num = tovtest::FromUtf8(std::to_string(v));
        const WEQ_UC* m = rscpNameOfMethod(static_cast<uint32_t>(v));
        const WEQ_UC* n = rscpNameOfNLS(static_cast<uint32_t>(v));
        const WEQ_UC* r = rscpNameOfOutRule(static_cast<uint16_t>(v));
        wrong[t] += std::u16string(m) != u"unknown(" + num + u")";
        wrong[t] += std::u16string(n) != u"unknown(" + num + u")";
        wrong[t] += std::u16string(r) != u"unknown_out_rule(" + num + u")";
      }
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(wrong, std::vector<int>(kThreads, 0));
}

// Another start while a thread holds the mutex leaves the holder's lock in
// place; meanwhile a third thread waits for it.
TEST_F(ConverterThreads, CccMutexSurvivesASecondStart) {
  ASSERT_EQ(rscpHooks.semaStep2(46), 0);
  std::promise<void> locked, release;
  std::future<void> releaseNow = release.get_future();
  auto holder = std::async(std::launch::async, [&] {
    int rc = rscpHooks.lock(26);
    locked.set_value();
    releaseNow.wait();
    return rc + rscpHooks.unlock(64);
  });
  locked.get_future().wait();
  EXPECT_EQ(rscpHooks.semaStep2(46), 0);
  std::atomic<bool> got{false};
  auto waiter = std::async(std::launch::async, [&] {
    int rc = rscpHooks.lock(122);
    got = true;
    return rc + rscpHooks.unlock(123);
  });
  EXPECT_FALSE(got);  // whenever it is looked at, the holder still has it
  release.set_value();
  ASSERT_EQ(holder.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(holder.get(), 0);
  ASSERT_EQ(waiter.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(waiter.get(), 0);
}

// The mutex excludes: a plain counter raised under it by several threads
// ends exact.
TEST_F(ConverterThreads, CccMutexExcludes) {
  long counter = 0;
  std::vector<std::future<int>> workers;
  for (int t = 0; t < 4; ++t)
    workers.push_back(std::async(std::launch::async, [&] {
      int rcs = 0;
      for (int i = 0; i < 5000; ++i) {
        rcs += rscpHooks.lock(26);
        ++counter;
        rcs += rscpHooks.unlock(27);
      }
      return rcs;
    }));
  for (auto& w : workers) EXPECT_EQ(w.get(), 0);
  EXPECT_EQ(counter, 4 * 5000);
}

}  // namespace
