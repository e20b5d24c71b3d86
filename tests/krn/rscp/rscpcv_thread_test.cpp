// Conversions on eight threads at once, each its own pair and object, in
// rounds; between rounds the cache is invalidated, and every stale object
// chooses again in its first call of the next round.
#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <string>
#include <thread>
#include <vector>

#include "rscpcv_fixture.h"
#include "support/testsupport.h"

namespace rscptest {
namespace {

struct Job {
  const char* from;
  const char* to;
  std::string text;
};

// Some text of every page, repeated so that a call takes a while.
std::vector<Job> Jobs() {
  const std::string latin = "Gr\xFC\xDF" "e aus K\xF6ln, 25\xB0";
  const std::string sjis = "\x93\xFA\x96\x7B\x8C\xEA abc \xB1\xB2\xB3";
  const std::string euc = "\xC6\xFC\xCB\xDC\xB8\xEC abc";
  const std::string big5 = "\xA4\xA4\xA4\xE5 abc";
  const std::string utf8 = "Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC \xF0\x9F\x98\x80";
  std::vector<Job> jobs = {{"1100", "4103", latin}, {"0100", "4103", "\xC7\x99\xDC\x59\x85"},
                           {"8000", "4103", sjis},  {"8100", "4103", euc},
                           {"8300", "4103", big5},  {"4110", "1100", utf8},
                           {"1100", "8000", latin}, {"1100", "1100", latin}};
  for (Job& j : jobs) {
    std::string t;
    for (int i = 0; i < 40; ++i) t += j.text;
    j.text = t;
  }
  return jobs;
}

class ConvertThreads : public EngineTest {};

TEST_F(ConvertThreads, EightPairsAtOnceAndStaleObjectsChooseAgain) {
  const std::vector<Job> jobs = Jobs();
  // The one-thread results.
  std::vector<std::string> want;
  for (const Job& j : jobs) {
    rscpCObj_t o = Chosen(j.from, j.to);
    const Call c = Convert(o, j.text, j.text.size() * 4);
    ASSERT_EQ(c.rc, 0) << j.from << "->" << j.to;
    want.push_back(c.bytes);
  }
  rscpInvalidateLocked(nullptr, nullptr, u"fresh start", -1, -1);
  const int rounds = 6 * tovtest::HeavyFactor();
  std::atomic<int> failures{0};
  std::atomic<uint32_t> version{0};
  std::barrier sync(static_cast<std::ptrdiff_t>(jobs.size() + 1));
  std::vector<std::thread> threads;
  for (size_t t = 0; t < jobs.size(); ++t) {
    threads.emplace_back([&, t] {
      const Job& j = jobs[t];
      rscpCObj_t o = JavaObject(j.from, j.to);
      if (rscpCLoadTables(&o) != 0) failures.fetch_add(1);  // eight choices at once
      for (int r = 0; r < rounds; ++r) {
        sync.arrive_and_wait();  // the cache was invalidated before this
        for (int k = 0; k < 10; ++k) {
          const Call c = Convert(o, j.text, j.text.size() * 4);
          if (c.rc != 0 || c.bytes != want[t]) failures.fetch_add(1);
          // The first call of a round has chosen again on the new cache.
          if (k == 0 && o.method != RSCP_M_DIRECT && o.cache_version != version.load()) failures.fetch_add(1);
        }
        sync.arrive_and_wait();
      }
    });
  }
  for (int r = 0; r < rounds; ++r) {
    // Rebuild now, so that every thread finds the version it will compare.
    rscpCObj_t probe = Chosen("1100", "4103");
    version = probe.cache_version;
    sync.arrive_and_wait();
    sync.arrive_and_wait();
    ASSERT_EQ(rscpInvalidateLocked(nullptr, nullptr, u"between rounds", -1, -1), 0);
  }
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
}

}  // namespace
}  // namespace rscptest
