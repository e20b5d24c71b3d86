// Kernels, enumerators and icon codes on eight threads at once: each thread
// must see exactly what a lone thread sees, while the icon introducer is
// switched between two values underneath them.
#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <thread>
#include <vector>

#include "krn/rscp/rscpdat_int.h"

namespace {

using rscpdat::Jk;
using Bytes = std::vector<uint8_t>;

Bytes Text() {
  Bytes t;
  for (int j1 = 0x30; j1 < 0x50; ++j1)
    for (int j2 = 0x21; j2 < 0x7F; j2 += 7) t.insert(t.end(), {uint8_t(j1 + 0x80), uint8_t(j2 + 0x80), 0x41, 0x8E, 0xB1});
  return t;
}

Bytes RunKernel(Jk k, const Bytes& in) {
  Bytes out(in.size() * 4 + 16);
  int32_t ol = int32_t(out.size()), il = int32_t(in.size());
  if (rscpdat::JkPublic(k)(out.data(), &ol, in.data(), &il) != 0) return {};
  out.resize(size_t(ol));
  return out;
}

TEST(RscpDatThreads, KernelsAndIconsAgreeWithALoneThread) {
  // One chain per start form: EUC -> Shift-JIS -> every other kernel.
  const Bytes euc = Text();
  const Bytes sjis = RunKernel(Jk::kEucToSjis, euc);
  std::vector<Bytes> expect(rscpdat::kJkCount);
  std::vector<Bytes> inputs(rscpdat::kJkCount);
  for (int k = 0; k < rscpdat::kJkCount; ++k) {
    const Jk j = Jk(k);
    inputs[size_t(k)] = j == Jk::kEucToSjis || j == Jk::kEucToJis ? euc
                        : j == Jk::kJisToSjis || j == Jk::kJisToSjisL1 || j == Jk::kJisToEuc
                            ? RunKernel(Jk::kEucToJis, euc)
                            : sjis;
    expect[size_t(k)] = RunKernel(j, inputs[size_t(k)]);
  }
  constexpr int kThreads = 8;
  std::barrier go(kThreads + 1);
  std::atomic<bool> stop{false};
  std::atomic<int> wrong{0}, icons{0};
  std::vector<std::thread> ts;
  for (int t = 0; t < kThreads; ++t)
    ts.emplace_back([&, t] {
      go.arrive_and_wait();
      for (int round = 0; round < 40; ++round) {
        const int k = (round + t) % rscpdat::kJkCount;
        wrong += RunKernel(Jk(k), inputs[size_t(k)]) != expect[size_t(k)];
        rscpIterIcon_t rec;
        rscpIterIconInit(&rec, 0);
        uint32_t n;
        uint8_t c1, c2;
        while (rscpIterIconNext(&rec, &n, &c1, &c2)) {
          const rscpIconCode_t f = rscpCharToIconCode(n);
          const bool intro = (f.bytes[0] == 0xF8 && f.bytes[1] == 0xFD) || (f.bytes[0] == 0xE0 && f.bytes[1] == 0x00);
          wrong += !intro || f.bytes[3] != c1 || f.bytes[5] != c2 || rscpIconCodeToChar(c1, c2) != n;
          ++icons;
        }
      }
    });
  std::thread switcher([&] {
    go.arrive_and_wait();
    for (int i = 0; !stop; ++i) rscpSetIconIntroducer(i % 2 ? 0xE000 : 0xF8FD);
  });
  for (auto& th : ts) th.join();
  stop = true;
  switcher.join();
  rscpSetIconIntroducer(0xF8FD);
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(icons, kThreads * 40 * int(RSCP_ICON_COUNT));
}

}  // namespace
