// The 16-bit runtime under concurrent callers: per-thread error texts, a
// statistic that loses no count, formatting that keeps its state to each
// call, and lines to one stream that stay whole.
#include <errno.h>
#include <gtest/gtest.h>
#include <string.h>

#include <set>
#include <sstream>
#include <thread>

#include "i18n/wequ16/u16file.h"
#include "i18n/wequ16/u16fmt.h"
#include "i18n/wequ16/u16str.h"
#include "support/testsupport.h"

namespace {

// Eight threads ask for different errors at once and each keeps seeing its
// own text in its own buffer; meanwhile each narrows units, formats lines
// of its own and writes them to one shared stream.
TEST(Threads, PerThreadTextsSharedCountsAndWholeLines) {
  const int errors[] = {EINVAL, ENOENT, EACCES, EILSEQ, ENOMEM, ERANGE, EPIPE, ENAMETOOLONG};
  const uint32_t before = A7SubstCount.load();
  tovtest::TempDir dir;
  FILE* f = fopen(dir.File("lines").c_str(), "w");
  std::vector<int> wrong(8, 0);
  std::vector<std::thread> threads;
  std::set<std::string> want;
  for (int t = 0; t < 8; ++t) {
    const std::string narrow = strerror(errors[t]);
    for (int i = 0; i < 1000; ++i) want.insert(narrow + ":" + std::to_string(i) + " \u00e9\U0001F600");
    threads.emplace_back([&, t, narrow] {
      const std::u16string text16 = tovtest::FromUtf8(narrow);
      const WEQ_UC* first = strerrorU16(errors[t]);
      for (int i = 0; i < 1000; ++i) {
        const WEQ_UC* text = strerrorU16(errors[t]);
        wrong[t] += text != first || std::u16string(text) != text16;
        for (int k = 0; k < 20; ++k) wrong[t] += UcsCharToA7(WEQ_UC(0x80 + i % 0x100 + k)) != '#';
        WEQ_UC buf[64];
        char line[64];
        wrong[t] += snprintfU16(buf, 64, u"%s:%05d:%.2f", text16.c_str(), i, i / 4.0) !=
                    snprintf(line, sizeof line, "%s:%05d:%.2f", narrow.c_str(), i, i / 4.0);
        wrong[t] += std::u16string(buf) != tovtest::FromUtf8(line).substr(0, 63);
        fprintfU16(f, u"%s:%d \u00e9\U0001F600\n", text16.c_str(), i);
      }
    });
  }
  for (auto& th : threads) th.join();
  fclose(f);
  EXPECT_EQ(wrong, std::vector<int>(8, 0));
  EXPECT_EQ(A7SubstCount.load() - before, 8u * 1000u * 20u);
  std::istringstream in(tovtest::ReadFile(dir.File("lines")));
  std::set<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.insert(line);
  EXPECT_EQ(lines, want);
}

}  // namespace
