// Loading a code page's control-code variant (slot 1) both ways into a
// fresh cache, beside ICU opening the same charset and converting its whole
// repertoire both ways. The counter "cache_bytes" is what the page's tables
// take of the cache (T1 blocks, T2s with their T3s, long codes).
#include <benchmark/benchmark.h>
#include <unicode/ucnv.h>
#include <unicode/uset.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "krn/rscp/rscp_int.h"
#include "krn/rscp/rscpld_int.h"
#include "krn/thr/thr.h"

namespace {

struct Page {
  const char* cp;
  const char* icu;
};
constexpr Page kPages[] = {{"8000", "windows-31j"}, {"8300", "windows-950-2000"}, {"8450", "gb18030"}};

rscpCCC_t* FreshCache() {
  static void* block = [] {
    ThrProcInit();
    return calloc(1, RSCP_CACHESIZE_DEFAULT);
  }();
  rscpSetCache(static_cast<rscpCCC_t*>(block));
  rscpBuildCache(RSCP_CACHESIZE_DEFAULT, RSCP_CACHESIZE_DEFAULT / 10, RSCP_WEQCODE_FLOOR, u"malloc", -1);
  rscpSetState(RSCP_STATE_INIT);
  return static_cast<rscpCCC_t*>(block);
}

rscpCpEntry_t* Entry(rscpCCC_t* c, const char* cp) {
  rscpCpEntry_t* dir = rscpDirectory(c);
  for (int i = 0; i < c->noof_char_codes; ++i)
    if (std::u16string(dir[i].cp, 4) == std::u16string(cp, cp + 4)) return &dir[i];
  return nullptr;
}

void BM_LoadSlot1(benchmark::State& st) {
  const Page& pg = kPages[st.range(0)];
  st.SetLabel(pg.cp);
  long used = 0;
  for (auto _ : st) {
    st.PauseTiming();
    rscpCCC_t* c = FreshCache();
    const uint32_t t1 = c->end_t1, t2 = c->first_t2, t7 = c->first_t7;
    rscpCpEntry_t* e = Entry(c, pg.cp);
    st.ResumeTiming();
    if (rscplcp__load_codepage(6, e) != 0 || rscplcp__load_codepage(22, e) != 0) st.SkipWithError("load failed");
    used = static_cast<long>(c->end_t1 - t1) + static_cast<long>(t2 - c->first_t2) + static_cast<long>(t7 - c->first_t7);
  }
  st.counters["cache_bytes"] = static_cast<double>(used);
}

// ICU: open the converter and take every character of its repertoire to
// bytes and back.
void BM_LoadSlot1__icu(benchmark::State& st) {
  const Page& pg = kPages[st.range(0)];
  st.SetLabel(pg.cp);
  std::u16string all;
  {
    UErrorCode e = U_ZERO_ERROR;
    UConverter* cnv = ucnv_open(pg.icu, &e);
    USet* set = uset_openEmpty();
    ucnv_getUnicodeSet(cnv, set, UCNV_ROUNDTRIP_SET, &e);
    const int32_t n = uset_size(set);
    for (int32_t i = 0; i < n; ++i) {
      const UChar32 c = uset_charAt(set, i);
      if (c >= 0x10000) {
        all.push_back(char16_t(0xD800 + ((c - 0x10000) >> 10)));
        all.push_back(char16_t(0xDC00 + (c & 0x3FF)));
      } else {
        all.push_back(char16_t(c));
      }
    }
    uset_close(set);
    ucnv_close(cnv);
  }
  std::string bytes(all.size() * 4 + 16, '\0');
  std::u16string back(all.size() + 16, u'\0');
  for (auto _ : st) {
    UErrorCode e = U_ZERO_ERROR;
    UConverter* cnv = ucnv_open(pg.icu, &e);
    const int32_t nb = ucnv_fromUChars(cnv, bytes.data(), int32_t(bytes.size()), all.data(), int32_t(all.size()), &e);
    const int32_t nu = ucnv_toUChars(cnv, back.data(), int32_t(back.size()), bytes.data(), nb, &e);
    if (U_FAILURE(e) || nu != int32_t(all.size())) st.SkipWithError("icu failed");
    ucnv_close(cnv);
    benchmark::DoNotOptimize(back.data());
  }
  st.counters["characters"] = static_cast<double>(all.size());
}

}  // namespace

BENCHMARK(BM_LoadSlot1)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadSlot1__icu)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
