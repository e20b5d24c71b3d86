// The UTF-8 stream writer and line reader beside ICU's converters with the C
// library's stream functions doing the same work.
#include <benchmark/benchmark.h>
#include <unicode/ustring.h>

#include <random>
#include <stdio.h>
#include <stdlib.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "i18n/wequ16/u16file.h"

namespace {

// Mostly ASCII with Latin letters, other scripts and some pairs, in lines
// of about 80 units.
std::u16string MixedText(size_t units) {
  std::mt19937 rng(1);
  std::u16string s;
  s.reserve(units + 2);
  while (s.size() < units) {
    unsigned r = rng() % 100;
    if (s.size() % 80 == 79) {
      s.push_back(u'\n');
    } else if (r < 70) {
      s.push_back(static_cast<char16_t>(0x20 + rng() % 0x5F));
    } else if (r < 85) {
      s.push_back(static_cast<char16_t>(0xC0 + rng() % 0x180));
    } else if (r < 97) {
      s.push_back(static_cast<char16_t>(0x4E00 + rng() % 0x5000));
    } else {
      s.push_back(0xD83D);
      s.push_back(static_cast<char16_t>(0xDE00 + rng() % 0x40));
    }
  }
  return s;
}

void BM_fwriteU16(benchmark::State& st) {
  std::u16string text = MixedText(2 << 20);  // 4 MiB of UTF-16
  FILE* f = fopen("/dev/null", "w");
  for (auto _ : st) benchmark::DoNotOptimize(fwriteU16(text.data(), text.size(), 1, f));
  fclose(f);
  st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * text.size() * 2));
}

void BM_fwriteU16__icu_strToUTF8_fwrite(benchmark::State& st) {
  std::u16string text = MixedText(2 << 20);
  std::vector<char> utf8(text.size() * 3);
  FILE* f = fopen("/dev/null", "w");
  for (auto _ : st) {
    UErrorCode ec = U_ZERO_ERROR;
    int32_t len = 0;
    u_strToUTF8(utf8.data(), static_cast<int32_t>(utf8.size()), &len, text.data(),
                static_cast<int32_t>(text.size()), &ec);
    benchmark::DoNotOptimize(fwrite(utf8.data(), 1, static_cast<size_t>(len), f));
  }
  fclose(f);
  st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * text.size() * 2));
}

// A 10 MB file of the mixed text, written once per process.
const std::string& TextFile() {
  static const std::string path = [] {
    std::u16string text = MixedText(6 << 20);
    std::vector<char> utf8(text.size() * 3);
    UErrorCode ec = U_ZERO_ERROR;
    int32_t len = 0;
    u_strToUTF8(utf8.data(), static_cast<int32_t>(utf8.size()), &len, text.data(),
                static_cast<int32_t>(text.size()), &ec);
    len = std::min<int32_t>(len, 10 << 20);
    char name[] = "/tmp/u16file_bench.XXXXXX";
    int fd = mkstemp(name);
    if (fd < 0 || write(fd, utf8.data(), static_cast<size_t>(len)) != len) abort();
    close(fd);
    return std::string(name);
  }();
  return path;
}

struct RemoveFile {
  ~RemoveFile() { unlink(TextFile().c_str()); }
} removeAtExit;

void BM_fgetsU16(benchmark::State& st) {
  FILE* f = fopen(TextFile().c_str(), "r");
  std::vector<WEQ_UC> line(1024);
  size_t bytes = 0;
  for (auto _ : st) {
    rewind(f);
    size_t units = 0;
    while (fgetsU16(line.data(), static_cast<int>(line.size()), f) != nullptr) ++units;
    benchmark::DoNotOptimize(units);
    bytes += static_cast<size_t>(ftell(f));
  }
  fclose(f);
  st.SetBytesProcessed(static_cast<int64_t>(bytes));
}

void BM_fgetsU16__fgets_icu_strFromUTF8(benchmark::State& st) {
  FILE* f = fopen(TextFile().c_str(), "r");
  std::vector<char> narrow(4096);
  std::vector<UChar> line(1024);
  size_t bytes = 0;
  for (auto _ : st) {
    rewind(f);
    size_t units = 0;
    while (fgets(narrow.data(), static_cast<int>(narrow.size()), f) != nullptr) {
      UErrorCode ec = U_ZERO_ERROR;
      int32_t len = 0;
      u_strFromUTF8(line.data(), static_cast<int32_t>(line.size()), &len, narrow.data(), -1, &ec);
      units += static_cast<size_t>(len);
    }
    benchmark::DoNotOptimize(units);
    bytes += static_cast<size_t>(ftell(f));
  }
  fclose(f);
  st.SetBytesProcessed(static_cast<int64_t>(bytes));
}

BENCHMARK(BM_fwriteU16)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_fwriteU16__icu_strToUTF8_fwrite)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_fgetsU16)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_fgetsU16__fgets_icu_strFromUTF8)->Unit(benchmark::kMillisecond);

}  // namespace
