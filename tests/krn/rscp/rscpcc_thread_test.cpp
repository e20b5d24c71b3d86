// Writers of the cache header meet under the 'CCC' mutex: every thread's
// counters reach the header once, whatever the interleaving.
#include <barrier>
#include <thread>

#include "rscpcc_fixture.h"
#include "support/testsupport.h"

namespace {

using namespace rscptest;

class CacheThreads : public CacheTest {};

TEST_F(CacheThreads, FlushFromEightThreadsSumsInTheHeader) {
  constexpr int kThreads = 8;
  const int rounds = 200 * tovtest::HeavyFactor();
  rscpCCC_t* c = Build();
  rscpSetState(RSCP_STATE_INIT);
  std::barrier start(kThreads);
  std::vector<int> failures(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      rscpThrCtx_t* ctx = rscpGetThrCtx();
      start.arrive_and_wait();
      for (int r = 0; r < rounds; ++r) {
        ctx->bytesIn += static_cast<uint64_t>(t + 1);
        ctx->bytesOut += 1u << 20;
        ctx->lookups += 1;
        ctx->clones[t] += 2;
        ctx->tableReads[31 - t] += 3;
        if (rscpGetSemaAndWritePermission(t) != 0) ++failures[t];
        if (ctx->bytesIn != 0 || ctx->clones[t] != 0) ++failures[t];  // moved, not copied
        if (rscpReleaseWritePermissionAndSema(t) != 0) ++failures[t];
      }
    });
  }
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(std::count(failures.begin(), failures.end(), 0), kThreads);
  const uint64_t n = static_cast<uint64_t>(rounds);
  EXPECT_EQ(c->bytesIn, n * (kThreads * (kThreads + 1) / 2));
  EXPECT_EQ(c->bytesOut, n * kThreads << 20);
  EXPECT_EQ(c->lookups, n * kThreads);
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(c->clones[t], 2 * n) << t;
    EXPECT_EQ(c->tableReads[31 - t], 3 * n) << t;
  }
}

}  // namespace
