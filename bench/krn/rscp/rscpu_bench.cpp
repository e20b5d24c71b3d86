// UTF-8 <-> UTF-16 through the converters and the string adapters, beside
// ICU's u_strFromUTF8/u_strToUTF8 and glibc iconv, on 1 MiB of ASCII, of
// mixed Latin and CJK text, and of emoji.
#include <benchmark/benchmark.h>
#include <iconv.h>
#include <unicode/ustring.h>

#include <random>
#include <string>
#include <vector>

#include "krn/rscp/rscpu.h"

namespace {

constexpr size_t kSize = 1 << 20;

// About kSize bytes of UTF-8, whole characters only.
std::string MakeText(const std::string& kind) {
  std::mt19937 rng(42);
  std::u32string cps;
  size_t bytes = 0;
  while (bytes < kSize - 4) {
    char32_t c;
    if (kind == "ascii") {
      c = static_cast<char32_t>(rng() % 10 == 0 ? ' ' : 'a' + rng() % 26);
    } else if (kind == "mixed") {
      // Words of Latin-1 text and runs of CJK ideographs.
      uint32_t r = rng() % 100;
      c = r < 45 ? U'a' + rng() % 26 : r < 55 ? U' ' : r < 65 ? 0xC0 + rng() % 0x40 : 0x4E00 + rng() % 0x5000;
    } else {
      c = rng() % 8 == 0 ? U' ' : 0x1F600 + rng() % 0x50;
    }
    bytes += c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
    cps.push_back(c);
  }
  std::string out;
  for (char32_t c : cps) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

struct Texts {
  std::string utf8;
  std::u16string utf16;
};

const Texts& Get(const std::string& kind) {
  static std::vector<std::pair<std::string, Texts>> cache;
  for (auto& [k, t] : cache)
    if (k == kind) return t;
  Texts t;
  t.utf8 = MakeText(kind);
  t.utf16.resize(t.utf8.size());
  int32_t len = 0;
  UErrorCode err = U_ZERO_ERROR;
  u_strFromUTF8(t.utf16.data(), static_cast<int32_t>(t.utf16.size()), &len, t.utf8.data(),
                static_cast<int32_t>(t.utf8.size()), &err);
  t.utf16.resize(static_cast<size_t>(len));
  cache.emplace_back(kind, std::move(t));
  return cache.back().second;
}

// Runs fn (which returns false on failure) once per iteration; throughput
// is counted in bytes of UTF-8.
template <class Fn>
void Loop(benchmark::State& st, size_t utf8Bytes, Fn fn) {
  for (auto _ : st) {
    if (!fn()) {
      st.SkipWithError("conversion failed");
      break;
    }
  }
  st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * utf8Bytes));
}

bool IcuOk(UErrorCode err) { return U_SUCCESS(err) || err == U_STRING_NOT_TERMINATED_WARNING; }

void IconvLoop(benchmark::State& st, const char* to, const char* from, const void* in,
               size_t inLen, size_t outLen, size_t utf8Bytes) {
  iconv_t cd = iconv_open(to, from);
  std::vector<char> out(outLen);
  Loop(st, utf8Bytes, [&] {
    char* ip = const_cast<char*>(static_cast<const char*>(in));
    char* op = out.data();
    size_t il = inLen, ol = out.size();
    size_t r = iconv(cd, &ip, &il, &op, &ol);
    benchmark::DoNotOptimize(op);
    return r != static_cast<size_t>(-1);
  });
  iconv_close(cd);
}

// --- UTF-8 to UTF-16 -------------------------------------------------------
void U8ToU6(benchmark::State& st, std::string kind) {
  const Texts& t = Get(kind);
  std::vector<WEQ_UC> out(t.utf16.size());
  Loop(st, t.utf8.size(), [&] {
    const WEQ_RAW* s = reinterpret_cast<const WEQ_RAW*>(t.utf8.data());
    WEQ_UC* d = out.data();
    int rc = rscpu_U8_to_U6(&s, s + t.utf8.size(), &d, d + out.size(), nullptr, nullptr);
    benchmark::DoNotOptimize(d);
    return rc == 0;
  });
}

void U8ToU6Icu(benchmark::State& st, std::string kind) {
  const Texts& t = Get(kind);
  std::vector<UChar> out(t.utf16.size());
  Loop(st, t.utf8.size(), [&] {
    int32_t len = 0;
    UErrorCode err = U_ZERO_ERROR;
    u_strFromUTF8(out.data(), static_cast<int32_t>(out.size()), &len, t.utf8.data(),
                  static_cast<int32_t>(t.utf8.size()), &err);
    benchmark::DoNotOptimize(len);
    return IcuOk(err);
  });
}

void U8ToU6Iconv(benchmark::State& st, std::string kind) {
  const Texts& t = Get(kind);
  IconvLoop(st, "UTF-16LE", "UTF-8", t.utf8.data(), t.utf8.size(), t.utf16.size() * 2, t.utf8.size());
}

// --- UTF-16 to UTF-8 -------------------------------------------------------
void U6ToU8(benchmark::State& st, std::string kind) {
  const Texts& t = Get(kind);
  std::vector<WEQ_RAW> out(t.utf8.size());
  Loop(st, t.utf8.size(), [&] {
    const WEQ_UC* s = t.utf16.data();
    WEQ_RAW* d = out.data();
    int rc = rscpu_U6_to_U8(&s, s + t.utf16.size(), &d, d + out.size());
    benchmark::DoNotOptimize(d);
    return rc == 0;
  });
}

void U6ToU8Icu(benchmark::State& st, std::string kind) {
  const Texts& t = Get(kind);
  std::vector<char> out(t.utf8.size());
  Loop(st, t.utf8.size(), [&] {
    int32_t len = 0;
    UErrorCode err = U_ZERO_ERROR;
    u_strToUTF8(out.data(), static_cast<int32_t>(out.size()), &len, t.utf16.data(),
                static_cast<int32_t>(t.utf16.size()), &err);
    benchmark::DoNotOptimize(len);
    return IcuOk(err);
  });
}

void U6ToU8Iconv(benchmark::State& st, std::string kind) {
  const Texts& t = Get(kind);
  IconvLoop(st, "UTF-8", "UTF-16LE", t.utf16.data(), t.utf16.size() * 2, t.utf8.size(), t.utf8.size());
}

// --- The terminated string adapters (JNI strings) --------------------------
void Utf8sToUcsBench(benchmark::State& st, std::string kind) {
  const Texts& t = Get(kind);
  std::vector<WEQ_UC> out(t.utf16.size() + 1);
  Loop(st, t.utf8.size(), [&] {
    int n = 0;
    int rc = Utf8sToUcs(out.data(), static_cast<int>(out.size()), &n, t.utf8.c_str());
    benchmark::DoNotOptimize(n);
    return rc == 0;
  });
}

// ICU's nearest: terminated input, U+FFFD for invalid sequences.
void Utf8sToUcsIcu(benchmark::State& st, std::string kind) {
  const Texts& t = Get(kind);
  std::vector<UChar> out(t.utf16.size() + 1);
  Loop(st, t.utf8.size(), [&] {
    int32_t len = 0;
    UErrorCode err = U_ZERO_ERROR;
    u_strFromUTF8WithSub(out.data(), static_cast<int32_t>(out.size()), &len, t.utf8.c_str(), -1,
                         0xFFFD, nullptr, &err);
    benchmark::DoNotOptimize(len);
    return IcuOk(err);
  });
}

void UcsToUtf8sBench(benchmark::State& st, std::string kind) {
  const Texts& t = Get(kind);
  std::vector<char> out(t.utf8.size() + 1);
  Loop(st, t.utf8.size(), [&] {
    int n = 0;
    int rc = UcsToUtf8s(out.data(), static_cast<int>(out.size()), &n, t.utf16.c_str());
    benchmark::DoNotOptimize(n);
    return rc == 0;
  });
}

void UcsToUtf8sIcu(benchmark::State& st, std::string kind) {
  const Texts& t = Get(kind);
  std::vector<char> out(t.utf8.size() + 1);
  Loop(st, t.utf8.size(), [&] {
    int32_t len = 0;
    UErrorCode err = U_ZERO_ERROR;
    u_strToUTF8(out.data(), static_cast<int32_t>(out.size()), &len, t.utf16.c_str(), -1, &err);
    benchmark::DoNotOptimize(len);
    return IcuOk(err);
  });
}

const int kRegistered = [] {
  for (const char* kind : {"ascii", "mixed", "emoji"}) {
    std::string k = kind;
    benchmark::RegisterBenchmark(("BM_U8_to_U6/" + k).c_str(), U8ToU6, k);
    benchmark::RegisterBenchmark(("BM_U8_to_U6__icu/" + k).c_str(), U8ToU6Icu, k);
    benchmark::RegisterBenchmark(("BM_U8_to_U6__iconv/" + k).c_str(), U8ToU6Iconv, k);
    benchmark::RegisterBenchmark(("BM_U6_to_U8/" + k).c_str(), U6ToU8, k);
    benchmark::RegisterBenchmark(("BM_U6_to_U8__icu/" + k).c_str(), U6ToU8Icu, k);
    benchmark::RegisterBenchmark(("BM_U6_to_U8__iconv/" + k).c_str(), U6ToU8Iconv, k);
    benchmark::RegisterBenchmark(("BM_Utf8sToUcs/" + k).c_str(), Utf8sToUcsBench, k);
    benchmark::RegisterBenchmark(("BM_Utf8sToUcs__icu/" + k).c_str(), Utf8sToUcsIcu, k);
    benchmark::RegisterBenchmark(("BM_UcsToUtf8s/" + k).c_str(), UcsToUtf8sBench, k);
    benchmark::RegisterBenchmark(("BM_UcsToUtf8s__icu/" + k).c_str(), UcsToUtf8sIcu, k);
  }
  return 0;
}();

}  // namespace

BENCHMARK_MAIN();
