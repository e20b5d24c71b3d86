// The shared state of the 16-bit runtime under concurrent callers.
#include <errno.h>
#include <gtest/gtest.h>
#include <string.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "i18n/wequ16/u16file.h"
#include "i18n/wequ16/u16str.h"
#include "support/testsupport.h"

namespace {

// Eight threads ask for different errors at once: each keeps seeing its own
// text in its own buffer while the others overwrite theirs.
TEST(Threads, StrerrorTextsStayPerThread) {
  const int errors[] = {EINVAL, ENOENT, EACCES, EILSEQ, ENOMEM, ERANGE, EPIPE, ENAMETOOLONG};
  std::atomic<int> ready{0};
  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int e : errors) {
    threads.emplace_back([&, e] {
      const std::u16string want = tovtest::FromUtf8(strerror(e));
      ready.fetch_add(1);
      while (ready.load() < 8) {
      }
      const WEQ_UC* first = strerrorU16(e);
      for (int round = 0; round < 2000; ++round) {
        const WEQ_UC* text = strerrorU16(e);
        if (text != first || std::u16string(text) != want) mismatches.fetch_add(1);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(mismatches.load(), 0);
}

// No substitution is lost when many threads narrow at once.
TEST(Threads, SubstitutionCountLosesNothing) {
  const uint32_t before = A7SubstCount.load();
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < 20000; ++i) {
        if (UcsCharToA7(static_cast<WEQ_UC>(0x80 + i % 0x100)) != '#') std::abort();
        UcsCharToA7(u'a');
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(A7SubstCount.load() - before, 8u * 20000u);
}

}  // namespace
