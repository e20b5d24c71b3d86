// The multi-byte methods on eight threads at once, each with its own
// objects: Shift-JIS into ISO-2022-JP in runs, ISO-2022-JP by the JIS
// kernel and through method 42's group tables in pieces that end behind
// every escape sequence (the input state waits in each thread's own
// object), and GB 18030. Every thread's results equal the one-thread ones.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "rscpcv_fixture.h"
#include "support/testsupport.h"

namespace rscptest {
namespace {

struct MbJob {
  const char* from;
  const char* to;
  const char* unit;
  bool groups;  // through the group tables (no direct path), in pieces, stop_restartable
};

std::string ConvertJob(const MbJob& j) {
  rscpCObj_t o = Chosen(j.from, j.to);
  if (j.groups) o.out_nls = 4, o.rscpbroken = 2;
  std::string text, out;
  for (int i = 0; i < 60; ++i) text += j.unit;
  for (size_t at = 0, end; at < text.size(); at = end) {
    end = j.groups ? std::min(text.find('\x1B', at + 1), text.size()) : text.size();
    out += Convert(o, text.substr(at, end - at), (end - at) * 4).bytes;
  }
  return out;
}

TEST_F(EngineTest, EightThreadsKeepTheirOwnShiftStates) {
  const char* jis = "A\x1B$BF|K\\\x1B(Bxy\x1B$B8l\x1B(B ";
  const MbJob jobs[] = {{"8000", "8200", "\x93\xFA\x96\x7B\x8C\xEA abc \x95\xB6\x8E\x9A ", false},
                        {"8200", "8000", jis, true},
                        {"8450", "4103", "\xD6\xD0\xCE\xC4 \x81\x30\x8B\x37 \x94\x39\xFC\x36 ", false},
                        {"8200", "8000", jis, false}};
  std::vector<std::string> want;
  for (const MbJob& j : jobs) want.push_back(ConvertJob(j));
  // The pieces through the group tables read as the JIS kernel reads the
  // whole text: the state crossed every cut.
  EXPECT_EQ(want[1], want[3]);
  std::atomic<int> failures{0};
  std::vector<std::future<void>> done;
  for (int t = 0; t < 8; ++t) {
    done.push_back(std::async(std::launch::async, [&, t] {
      for (int r = 0; r < 20 * tovtest::HeavyFactor(); ++r) failures += ConvertJob(jobs[t % 4]) != want[t % 4];
    }));
  }
  for (auto& d : done) ASSERT_EQ(d.wait_for(std::chrono::seconds(120)), std::future_status::ready);
  EXPECT_EQ(failures.load(), 0);
}

}  // namespace
}  // namespace rscptest
