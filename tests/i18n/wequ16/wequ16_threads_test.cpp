// The 16-bit runtime under concurrent callers: per-thread error texts, a
// statistic that loses no count, formatting that keeps its state to each
// call, and lines to one stream that stay whole.
#include <errno.h>
#include <gtest/gtest.h>
#include <string.h>

#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "i18n/wequ16/u16file.h"
#include "i18n/wequ16/u16fmt.h"
#include "i18n/wequ16/u16str.h"
#include "support/testsupport.h"

namespace {

// Eight threads ask for different errors at once and each keeps seeing its
// own text in its own buffer; meanwhile each narrows units and formats
// lines of its own.
TEST(Threads, PerThreadTextsAndSharedCounts) {
  const int errors[] = {EINVAL, ENOENT, EACCES, EILSEQ, ENOMEM, ERANGE, EPIPE, ENAMETOOLONG};
  const uint32_t before = A7SubstCount.load();
  std::vector<int> wrong(8, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      const std::string narrow = strerror(errors[t]);
      const std::u16string want = tovtest::FromUtf8(narrow);
      const WEQ_UC* first = strerrorU16(errors[t]);
      for (int i = 0; i < 2000; ++i) {
        const WEQ_UC* text = strerrorU16(errors[t]);
        wrong[t] += text != first || std::u16string(text) != want;
        for (int k = 0; k < 10; ++k) wrong[t] += UcsCharToA7(static_cast<WEQ_UC>(0x80 + i % 0x100 + k)) != '#';
        WEQ_UC buf[64];
        char line[64];
        const int n = snprintfU16(buf, 64, u"%s:%05d:%.2f", want.c_str(), i, i / 4.0);
        wrong[t] += n != snprintf(line, sizeof line, "%s:%05d:%.2f", narrow.c_str(), i, i / 4.0);
        wrong[t] += std::u16string(buf) != tovtest::FromUtf8(line).substr(0, 63);
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(wrong, std::vector<int>(8, 0));
  EXPECT_EQ(A7SubstCount.load() - before, 8u * 2000u * 10u);
}

TEST(Threads, LinesToOneStreamStayWhole) {
  tovtest::TempDir dir;
  FILE* f = fopen(dir.File("lines").c_str(), "w");
  ASSERT_NE(f, nullptr);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([f, t] {
      for (int i = 0; i < 500; ++i) fprintfU16(f, u"thread %d line %04d \u00e9\U0001F600 %s\n", t, i, u"----------");
    });
  }
  for (auto& th : threads) th.join();
  fclose(f);
  std::istringstream in(tovtest::ReadFile(dir.File("lines")));
  std::set<std::string> lines, want;
  for (std::string line; std::getline(in, line);) lines.insert(line);
  for (int k = 0; k < 4 * 500; ++k) {
    char line[96];
    snprintf(line, sizeof line, "thread %d line %04d \xc3\xa9\xf0\x9f\x98\x80 ----------", k / 500, k % 500);
    want.insert(line);
  }
  EXPECT_EQ(lines, want);
}

}  // namespace
