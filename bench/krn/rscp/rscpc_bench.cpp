// The conversion engine. BM_choose sets up a converter object and chooses
// the method for a pair whose tables are loaded already (8000 -> 4103), as
// every ConverterJNI set-up does; beside it, opening and closing a converter
// for the same pair in ICU and in glibc iconv.
#include <benchmark/benchmark.h>
#include <iconv.h>
#include <unicode/ucnv.h>

#include "krn/rscp/rscp_int.h"
#include "krn/rscp/rscpc_int.h"
#include "krn/thr/thr.h"

namespace {

bool StartConverter() {
  static const bool ok = [] {
    ThrProcInit();
    return rscpi_init(-1) == 0;
  }();
  return ok;
}

void BM_choose(benchmark::State& state) {
  if (!StartConverter()) {
    state.SkipWithError("converter start failed");
    return;
  }
  rscpCp_t from = {u'8', u'0', u'0', u'0'}, to = {u'4', u'1', u'0', u'3'};
  rscpCObj_t o;
  rscpCInit(&o, &from, &to, 1, 1, 0);
  rscpCSetCtrlCodeCv(&o, 1);
  rscpCSetOwnChCv(&o, 0);
  if (rscpCLoadTables(&o) != 0) {  // the first choice loads the tables
    state.SkipWithError("choice failed");
    return;
  }
  for (auto _ : state) {
    rscpCInit(&o, &from, &to, 1, 1, 0);
    rscpCSetCtrlCodeCv(&o, 1);
    rscpCSetOwnChCv(&o, 0);
    benchmark::DoNotOptimize(rscpCLoadTables(&o));
    benchmark::DoNotOptimize(o.method);
  }
}
BENCHMARK(BM_choose);

void BM_choose__icu(benchmark::State& state) {
  for (auto _ : state) {
    UErrorCode st = U_ZERO_ERROR;
    UConverter* a = ucnv_open("windows-31j", &st);
    UConverter* b = ucnv_open("UTF-16LE", &st);
    benchmark::DoNotOptimize(a);
    benchmark::DoNotOptimize(b);
    ucnv_close(b);
    ucnv_close(a);
  }
}
BENCHMARK(BM_choose__icu);

void BM_choose__iconv(benchmark::State& state) {
  for (auto _ : state) {
    iconv_t cd = iconv_open("UTF-16LE", "CP932");
    benchmark::DoNotOptimize(cd);
    iconv_close(cd);
  }
}
BENCHMARK(BM_choose__iconv);

}  // namespace

BENCHMARK_MAIN();
