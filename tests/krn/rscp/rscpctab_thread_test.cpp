// Concurrency of the F1 filter's start, the single-byte shortcut builder and
// the exported tables: 32 threads make the first filter call of fresh
// processes at once; 8 threads choose one pair and export tables at once.
#include <gtest/gtest.h>

#include <latch>
#include <string>
#include <thread>
#include <vector>

#include "rscpcv_fixture.h"
#include "support/testsupport.h"

namespace rscptest {
namespace {

struct FilterCase {
  const char* from;
  const char* to;
  int enforce;
};
constexpr FilterCase kFilterCases[] = {{"0100", "1100", 0}, {"1100", "1101", 1}, {"8000", "1100", 1},
                                       {"4110", "0100", 0}, {"1810", "1800", 0}, {"9999", "1100", 0}};

int Filter(const FilterCase& k) {
  rscpCp_t f, t;
  SetCp(f, k.from);
  SetCp(t, k.to);
  return rscpF1Filter(&f, &t, nullptr, nullptr, k.enforce);
}

TEST(F1Start, ThirtyTwoThreadsMakeTheFirstCallOfFiftyFreshProcesses) {
  std::vector<int> want;
  for (const FilterCase& k : kFilterCases) want.push_back(Filter(k));
  for (int process = 0; process < 50; ++process) {
    const tovtest::ChildResult r = tovtest::RunInChild([&] {
      setenv("NLS_F1_STOP_UTF8", "1", 1);  // read by the start only: not seen
      rscpcF1IReset();
      std::latch go(32);
      std::vector<int> wrong(32, 0);
      std::vector<std::thread> threads;
      for (int i = 0; i < 32; ++i) {
        threads.emplace_back([&, i] {
          go.arrive_and_wait();
          for (size_t k = 0; k < std::size(kFilterCases); ++k) {
            // Each thread starts with another case; the start's environment
            // takes UTF-8 out.
            const size_t c = (k + i) % std::size(kFilterCases);
            wrong[i] += Filter(kFilterCases[c]) != (std::string(kFilterCases[c].from) == "4110" ? 2 : want[c]);
          }
        });
      }
      int sum = 0;
      for (int i = 0; i < 32; ++i) threads[i].join(), sum += wrong[i];
      return sum;
    });
    ASSERT_EQ(r.exit_code, 0) << "process " << process << r.out << r.err;
  }
}

class BuildThreads : public EngineTest {};

// Eight threads choose one pair at once (one record, one block for all),
// then export the four tables at once: each equal to one thread's alone.
TEST_F(BuildThreads, OnePairChosenAndTablesExportedFromEightThreads) {
  struct Tabs {
    uint32_t block = 0;
    std::vector<WEQ_UC> sb2uc = std::vector<WEQ_UC>(256), uc2db = std::vector<WEQ_UC>(65536 + 1024 * 1024);
    std::vector<uint32_t> db2uc = std::vector<uint32_t>(65536 + 768);
    std::vector<uint8_t> uc2sb = std::vector<uint8_t>(65536);
    rscpRc_t rc = 0;
    bool operator==(const Tabs&) const = default;
  };
  const auto run = [](Tabs& t) {
    rscpCObj_t sb = JavaObject("1100", "4103"), db = JavaObject("8000", "4103"), usb = JavaObject("4103", "1100"),
               udb = JavaObject("4103", "8000");
    for (rscpCObj_t* o : {&sb, &db, &usb, &udb}) t.rc |= rscpCLoadTables(o);
    t.block = sb.in_t1;
    int32_t n, used;
    uint32_t* d = t.db2uc.data();
    t.rc |= rscpCGetSb2UcTab(&sb, t.sb2uc.data());
    t.rc |= rscpCGetDb2UcTab(&db, reinterpret_cast<uint8_t*>(d + 65536), reinterpret_cast<WEQ_UC*>(d + 65536 + 64),
                             d, &n, reinterpret_cast<WEQ_UC*>(d + 65536 + 192));
    t.rc |= rscpCGetUc2SbTab(&usb, t.uc2sb.data(), &used);
    t.rc |= rscpCGetUc2DbTab(&udb, t.uc2db.data(), t.uc2db.data() + 65536, &n);
  };
  std::vector<Tabs> each(8);
  std::latch go(8);
  std::vector<std::thread> threads;
  for (Tabs& t : each) {
    threads.emplace_back([&] {
      go.arrive_and_wait();
      run(t);
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(Entry("1100")->shortcutInLen, 1);
  Tabs alone;
  run(alone);
  EXPECT_EQ(alone.rc, 0);
  for (const Tabs& t : each) EXPECT_TRUE(t == alone);
}

}  // namespace
}  // namespace rscptest
