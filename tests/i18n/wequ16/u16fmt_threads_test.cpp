// Formatted output from several threads at once: every call keeps its state
// to itself, and a line written to a shared stream leaves in one write.
#include <gtest/gtest.h>

#include <stdio.h>

#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "i18n/wequ16/u16fmt.h"
#include "support/testsupport.h"

namespace {

constexpr int kThreads = 4;

TEST(FormatThreads, CallsDoNotShareState) {
  std::vector<int> bad(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &bad] {
      std::u16string name(static_cast<size_t>(t + 1), static_cast<char16_t>(u'a' + t));
      for (int i = 0; i < 2000; ++i) {
        WEQ_UC buf[64];
        int n = snprintfU16(buf, 64, u"%s:%05d:%.2f", name.c_str(), i, i / 4.0);
        char want[64];
        int m = snprintf(want, sizeof want, "%s:%05d:%.2f", std::string(name.begin(), name.end()).c_str(), i,
                         i / 4.0);
        if (n != m || std::u16string(buf) != std::u16string(want, want + m)) ++bad[t];
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(bad[t], 0) << "thread " << t;
}

TEST(FormatThreads, LinesToOneStreamStayWhole) {
  tovtest::TempDir dir;
  std::string path = dir.File("lines");
  FILE* f = fopen(path.c_str(), "w");
  ASSERT_NE(f, nullptr);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, f] {
      for (int i = 0; i < 500; ++i)
        fprintfU16(f, u"thread %d line %04d \u00e9\U0001F600 %s\n", t, i, u"--------------------");
    });
  }
  for (auto& th : threads) th.join();
  fclose(f);
  std::istringstream in(tovtest::ReadFile(path));
  std::set<std::string> lines;
  std::string line;
  while (std::getline(in, line)) lines.insert(line);
  EXPECT_EQ(lines.size(), static_cast<size_t>(kThreads * 500));
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < 500; i += 97) {
      char want[96];
      snprintf(want, sizeof want, "thread %d line %04d \xc3\xa9\xf0\x9f\x98\x80 --------------------", t, i);
      EXPECT_EQ(lines.count(want), 1u) << want;
    }
  }
}

}  // namespace
