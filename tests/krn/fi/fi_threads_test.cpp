// The index handle slots under concurrent use: the process-wide slots are
// handed out once each to racing threads, and block-local slots do not
// depend on other threads at all.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <latch>
#include <set>
#include <thread>
#include <vector>

#include "krn/fi/fi.h"
#include "krn/fi/fi_int.h"
#include "krn/thr/thr.h"

namespace {

struct Opener {
  void* block = nullptr;
  FI_HEADER* h = nullptr;
  std::vector<FI_HDL*> hdls;
  int32_t lastRc = FI_OK;

  explicit Opener(uint32_t entries) {
    const size_t n = FiSize(entries, 2, 2, 0);
    block = aligned_alloc(16, (n + 15) & ~size_t{15});
    memset(block, 0, n);
    EXPECT_EQ(FiInit(block, u"RACE", 0, entries, 2, 2, 0, 0, &h), FI_OK);
  }
  ~Opener() { free(block); }
  // Opens indexes until a refusal.
  void Run(uint32_t mode, int limit) {
    for (int id = 0; id < limit; ++id) {
      FI_HDL* x = nullptr;
      lastRc = FiOpenIndex(h, id, mode, nullptr, 2, &x);
      if (lastRc != FI_OK) break;
      hdls.push_back(x);
    }
  }
};

class FiThreads : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(ThrProcInit(), 0u); }
};

TEST_F(FiThreads, SharedSlotsGoOnceEachUnderARace) {
  for (int round = 0; round < 50; ++round) {
    Opener a(80), b(80);
    std::latch go(2);
    std::thread ta([&] {
      go.arrive_and_wait();
      a.Run(0, 80);
    });
    std::thread tb([&] {
      go.arrive_and_wait();
      b.Run(0, 80);
    });
    ta.join();
    tb.join();
    ASSERT_EQ(a.lastRc, FI_ENOROOM);
    ASSERT_EQ(b.lastRc, FI_ENOROOM);
    std::set<FI_HDL*> all(a.hdls.begin(), a.hdls.end());
    all.insert(b.hdls.begin(), b.hdls.end());
    ASSERT_EQ(a.hdls.size() + b.hdls.size(), (size_t)FI_MAX_HDLS);
    ASSERT_EQ(all.size(), (size_t)FI_MAX_HDLS);
    for (FI_HDL* x : a.hdls) ASSERT_EQ(x->block, a.h);
    for (FI_HDL* x : b.hdls) ASSERT_EQ(x->block, b.h);
    ASSERT_EQ(a.h->openCount, a.hdls.size());
    ASSERT_EQ(b.h->openCount, b.hdls.size());
    for (FI_HDL* x : a.hdls) ASSERT_EQ(FiCloseIndex(x), FI_OK);
    for (FI_HDL* x : b.hdls) ASSERT_EQ(FiCloseIndex(x), FI_OK);
    ASSERT_EQ(FiISharedInUse(), 0u);
  }
}

TEST_F(FiThreads, LocalSlotsAreEachBlocksOwn) {
  std::vector<std::unique_ptr<Opener>> op;
  for (int i = 0; i < 4; ++i) op.push_back(std::make_unique<Opener>(70));
  std::latch go(4);
  std::vector<std::thread> t;
  for (auto& o : op)
    t.emplace_back([&go, &o] {
      go.arrive_and_wait();
      o->Run(FI_MODE_LOCAL, 65);
    });
  for (auto& x : t) x.join();
  for (auto& o : op) {
    EXPECT_EQ(o->hdls.size(), (size_t)FI_MAX_HDLS);
    EXPECT_EQ(o->lastRc, FI_ENOROOM);
    for (FI_HDL* x : o->hdls) EXPECT_FALSE(FiIIsSharedHdl(x));
  }
  EXPECT_EQ(FiISharedInUse(), 0u);
}

}  // namespace
