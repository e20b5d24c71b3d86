// Method choices from many threads at once: first loads included, with the
// cache invalidated between rounds; every object equals the choice that one
// thread alone makes.
#include <gtest/gtest.h>

#include <barrier>
#include <thread>
#include <vector>

#include "rscpc_fixture.h"

namespace rscptest {
namespace {

constexpr const char* kPairs[][2] = {{"8000", "4103"}, {"4110", "4102"}, {"6100", "4103"}, {"8450", "4110"},
                                     {"8200", "8000"}, {"4103", "6200"}, {"1100", "0100"}, {"8500", "4103"}};

// The fields that do not depend on where in which generation the tables lie.
void ExpectSameChoice(const rscpCObj_t& a, const rscpCObj_t& b, const char* what) {
  EXPECT_EQ(a.method, b.method) << what;
  EXPECT_EQ(a.in_nls, b.in_nls) << what;
  EXPECT_EQ(a.out_nls, b.out_nls) << what;
  EXPECT_EQ(a.in_nls_loop, b.in_nls_loop) << what;
  EXPECT_EQ(a.in_maxln, b.in_maxln) << what;
  EXPECT_EQ(a.out_maxln, b.out_maxln) << what;
  EXPECT_EQ(a.in_mixed, b.in_mixed) << what;
  EXPECT_EQ(a.out_mixed, b.out_mixed) << what;
  EXPECT_EQ(a.shift_state, b.shift_state) << what;
  EXPECT_EQ(a.in_cp_substituted, b.in_cp_substituted) << what;
  EXPECT_EQ(a.out_cp_substituted, b.out_cp_substituted) << what;
  EXPECT_EQ(memcmp(a.in_cp_subst, b.in_cp_subst, 8), 0) << what;
  EXPECT_EQ(memcmp(a.out_cp_subst, b.out_cp_subst, 8), 0) << what;
  EXPECT_EQ(a.lang_key, b.lang_key) << what;
  EXPECT_EQ(memcmp(a.in_space, b.in_space, 4), 0) << what;
  EXPECT_EQ(memcmp(a.out_space, b.out_space, 4), 0) << what;
}

class ChooserThreads : public EngineTest {};

TEST_F(ChooserThreads, EightThreadsChooseWhileOneInvalidates) {
  constexpr int kThreads = 8, kRounds = 6;
  // The reference, alone, in a fresh converter.
  std::vector<rscpCObj_t> want;
  for (const auto& p : kPairs) {
    want.push_back(JavaObject(p[0], p[1]));
    ASSERT_EQ(rscpCLoadTables(&want.back()), 0) << p[0] << "->" << p[1];
  }
  rscpf_finish(-1);
  rscpResetProcess();
  rscpSetInitializer(nullptr, 0, 1);
  ASSERT_EQ(rscpi_init(-1), 0);

  std::barrier sync(kThreads);
  std::vector<std::vector<rscpCObj_t>> got(kThreads);
  std::vector<std::vector<rscpRc_t>> rcs(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int r = 0; r < kRounds; ++r) {
        sync.arrive_and_wait();
        const auto& p = kPairs[(t + r) % kThreads];
        rscpCObj_t o = JavaObject(p[0], p[1]);
        rcs[t].push_back(rscpCLoadTables(&o));
        got[t].push_back(o);
        sync.arrive_and_wait();
        if (t == 0 && r % 2 == 1) {
          ASSERT_EQ(rscpGetSemaAndWritePermission(1), 0);
          rscpict3_invalidate_convert_tables(nullptr, nullptr, u"test round", -1, -1);
          rscpReleaseWritePermissionAndSema(1);
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t) {
    for (int r = 0; r < kRounds; ++r) {
      const int pair = (t + r) % kThreads;
      const std::string what = std::string(kPairs[pair][0]) + "->" + kPairs[pair][1];
      EXPECT_EQ(rcs[t][r], 0) << what;
      ExpectSameChoice(got[t][r], want[pair], what.c_str());
    }
  }
}

TEST(SystemCodePageThreads, SameAnswerFromEveryThread) {
  std::vector<std::thread> threads;
  std::vector<int> ok(8, 0);
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&ok, t] {
      for (int i = 0; i < 1000; ++i) {
        rscpCp_t cp;
        ok[t] += rscpGetSystemCodePage(&cp) == RSCPENOOBJ && memcmp(cp, u"4103", 8) == 0;
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < 8; ++t) EXPECT_EQ(ok[t], 1000);
}

}  // namespace
}  // namespace rscptest
