// SNC frames: building a data frame of 4 KiB beside writing the same
// header fields and copying the data by hand, and parsing a frame with
// three extension items beside reading the header fields by hand.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <string.h>

#include <vector>

#include "krn/snc/snc_int.h"

namespace {

constexpr size_t kData = 4096;

void BM_MakeFrame(benchmark::State& st) {
  SncSession s{};
  std::vector<uint8_t> data(kData, 'd');
  for (auto _ : st) {
    MakeFrame(&s, {}, {data.data(), static_cast<uint32_t>(data.size())}, FR_DATA_OPEN, 0, nullptr, &s.out);
    benchmark::DoNotOptimize(s.out.data);
  }
  SncPFreeOutBuf(&s.out);
  st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * kData));
}

void BM_MakeFrame__ref(benchmark::State& st) {
  std::vector<uint8_t> data(kData, 'd'), out(kData + 200);
  for (auto _ : st) {
    uint8_t* p = out.data();
    memcpy(p, "SNCFRAME", 8);
    p[8] = FR_DATA_OPEN, p[9] = 5;
    const uint16_t hl = htons(24), at = 0, fl = 0;
    const uint32_t tl = 0, dl = htonl(kData);
    memcpy(p + 10, &hl, 2), memcpy(p + 12, &tl, 4), memcpy(p + 16, &dl, 4), memcpy(p + 20, &at, 2), memcpy(p + 22, &fl, 2);
    memcpy(p + 24, data.data(), kData);
    benchmark::DoNotOptimize(p);
  }
  st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * kData));
}

std::vector<uint8_t> ErrorFrame() {
  SncSession s{};
  const uint8_t canon[] = {0, 2, 4, 1, 0, 11, 6, 9, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0, 0, 0, 4, 'u', 's', 'e', 'r'};
  const char pr[] = "p:user@TEST.REALM";
  const uint8_t code[] = {0, 40}, zero[] = {0};
  SncBytes items[SNC_FRAME_ITEMS] = {{canon, sizeof canon}, {}, {reinterpret_cast<const uint8_t*>(pr), sizeof pr - 1},
                                     {code, 2}};
  MakeFrame(&s, {}, {zero, 1}, FR_ERROR, 0, items, &s.out);
  std::vector<uint8_t> f(s.out.data, s.out.data + s.out.used);
  SncPFreeOutBuf(&s.out);
  return f;
}

void BM_UnFrame(benchmark::State& st) {
  const std::vector<uint8_t> f = ErrorFrame();
  SncParsedFrame p;
  for (auto _ : st) {
    UnFrame(nullptr, f.data(), f.size(), &p);
    benchmark::DoNotOptimize(p);
  }
}

void BM_UnFrame__ref(benchmark::State& st) {
  const std::vector<uint8_t> f = ErrorFrame();
  uint32_t v[4];
  for (auto _ : st) {
    uint16_t hl;
    uint32_t tl, dl, mask;
    memcpy(&hl, f.data() + 10, 2), memcpy(&tl, f.data() + 12, 4), memcpy(&dl, f.data() + 16, 4);
    memcpy(&mask, f.data() + 24, 4);
    v[0] = memcmp(f.data(), "SNCFRAME", 8) == 0 ? ntohs(hl) : 0;
    v[1] = ntohl(tl), v[2] = ntohl(dl), v[3] = ntohl(mask);
    benchmark::DoNotOptimize(v);
  }
}

}  // namespace

BENCHMARK(BM_MakeFrame);
BENCHMARK(BM_MakeFrame__ref);
BENCHMARK(BM_UnFrame);
BENCHMARK(BM_UnFrame__ref);
BENCHMARK_MAIN();
