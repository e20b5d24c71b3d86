// The ConverterJNI natives on many threads at once, each with its own JNI
// environment: different pairs give what one thread alone gives, and each
// thread's error text shows its own errors only.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "krn/thr/thr.h"
#include "rscp4j_host.h"

namespace rscp4jtest {
namespace {

struct Pair {
  const char* from;
  const char* to;
  Bytes in;
};

Bytes Sample(size_t n, unsigned seed, bool asciiOnly) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) {
    const auto v = static_cast<uint8_t>((i * 131 + seed * 17 + i / 7) & 0xFF);
    b[i] = asciiOnly ? static_cast<uint8_t>(0x20 + v % 0x5F) : v;
  }
  return b;
}

// One round of a pair: the whole output, and the range output in pieces.
Bytes Round(Natives& n, const Pair& p) {
  const Conv c = n.Chosen(p.from, p.to);
  Bytes out = n.XToX(c.array, p.in).bytes;
  const Natives::Range r = n.XToCArr(c.array, p.in, 0, static_cast<jint>(p.in.size()), 64, 0, 64, true);
  out.insert(out.end(), r.err.begin(), r.err.end());
  return out;
}

TEST(ConverterThreads, PairsAtOnceGiveWhatOneThreadGives) {
  ThrProcInit();
  ASSERT_EQ(rscpi_init(-1), 0);
  const std::vector<Pair> pairs = {
      {"1100", "4110", Sample(5000, 1, false)}, {"0100", "4103", Sample(3000, 2, false)},
      {"4110", "4102", Sample(4000, 3, true)},  {"8000", "4103", Sample(2000, 4, true)},
      {"8300", "4110", Sample(2000, 5, true)},  {"8400", "4102", Sample(2000, 6, true)},
      {"8500", "4103", Sample(2000, 7, true)},  {"1100", "4104", Sample(3000, 8, false)},
  };
  std::vector<Bytes> expected;
  {
    tovtest::JniHost host;
    Natives n(host);
    for (const Pair& p : pairs) expected.push_back(Round(n, p));
  }
  std::atomic<int> bad{0}, ready{0};
  std::vector<std::thread> threads;
  for (size_t t = 0; t < pairs.size(); ++t) {
    threads.emplace_back([&, t] {
      tovtest::JniHost host;
      Natives n(host);
      ready++;
      while (ready.load() < static_cast<int>(pairs.size())) std::this_thread::yield();
      for (int round = 0; round < 20; ++round) {
        if (Round(n, pairs[t]) != expected[t]) bad++;
        // Only odd threads fail; the others' error texts stay empty.
        rscpeClearThrErrors();
        if (t % 2 == 1) n.XToC(nullptr, Bytes{1});
        const std::u16string text = n.LastError();
        const bool shows = text.find(u"Incorrect array size") != std::u16string::npos;
        if (shows != (t % 2 == 1)) bad++;
      }
      host.EndNative();
      if (!host.Violations().empty()) bad++;
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(bad.load(), 0);
}

}  // namespace
}  // namespace rscp4jtest
