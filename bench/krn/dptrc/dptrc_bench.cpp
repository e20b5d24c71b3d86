// The trace's costs: an entry written to a file beside fprintf and fflush of
// the same text, a call site with tracing off, and a 64 KiB memory dump
// beside a plain snprintf loop that writes the same lines.
#include <benchmark/benchmark.h>
#include <stdio.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "krn/dptrc/dptrc.h"

namespace {

// A scratch file that the benchmark writes to and removes at the end.
class ScratchFile {
 public:
  ScratchFile() {
    char name[] = "/tmp/dptrc_bench_XXXXXX";
    int fd = mkstemp(name);
    path_ = name;
    f_ = fdopen(fd, "w");
  }
  ~ScratchFile() {
    fclose(f_);
    unlink(path_.c_str());
  }
  FILE* get() const { return f_; }

 private:
  std::string path_;
  FILE* f_;
};

void BM_TraceEntry(benchmark::State& st) {
  ScratchFile f;
  CTrcLevel.store(2);
  int hdl = 17;
  for (auto _ : st) {
    DPTRC_LINE(2, f.get(), u"%s: hdl %d got %d bytes from %s\n", u"NiIRead", hdl, 4096, u"host42");
  }
  CTrcLevel.store(0);
}

void BM_TraceEntry__fprintf_fflush(benchmark::State& st) {
  ScratchFile f;
  long tid = static_cast<long>(syscall(SYS_gettid));
  int hdl = 17;
  for (auto _ : st) {
    fprintf(f.get(), "[Thr %ld] %s: hdl %d got %d bytes from %s\n", tid, "NiIRead", hdl, 4096,
            "host42");
    fflush(f.get());
  }
}

void BM_TraceDisabled(benchmark::State& st) {
  CTrcLevel.store(0);
  int hdl = 17;
  for (auto _ : st) {
    DPTRC_LINE(2, CTrcGlobalHdl, u"%s: hdl %d\n", u"NiIRead", hdl);
    benchmark::ClobberMemory();
  }
}

std::vector<unsigned char> DumpData(size_t n) {
  std::vector<unsigned char> d(n);
  for (size_t i = 0; i < n; ++i) d[i] = static_cast<unsigned char>(i * 7 + 3);
  return d;
}

void BM_HexDump(benchmark::State& st) {
  ScratchFile f;
  std::vector<unsigned char> data = DumpData(static_cast<size_t>(st.range(0)));
  for (auto _ : st) DpTrcHexDump(f.get(), u"buffer", data.data(), data.size(), DPTRC_TXT_PLAIN);
  st.SetBytesProcessed(st.iterations() * st.range(0));
}

// The same lines formatted byte by byte with snprintf and written with
// fputs, flushed once at the end.
void BM_HexDump__snprintf_loop(benchmark::State& st) {
  ScratchFile f;
  std::vector<unsigned char> data = DumpData(static_cast<size_t>(st.range(0)));
  long tid = static_cast<long>(syscall(SYS_gettid));
  char line[160];
  for (auto _ : st) {
    fprintf(f.get(), "[Thr %ld] Adresse   Offset  %s\n", tid, "buffer");
    for (size_t off = 0; off < data.size(); off += 16) {
      int n = snprintf(line, sizeof line, "[Thr %ld] %p  %6.6d  ", tid,
                       static_cast<void*>(data.data() + off), static_cast<int>(off));
      for (size_t j = 0; j < 16; ++j) {
        n += snprintf(line + n, sizeof line - n, j % 4 == 3 ? "%02x " : "%02x", data[off + j]);
      }
      n += snprintf(line + n, sizeof line - n, "|");
      for (size_t j = 0; j < 16; ++j) {
        unsigned char c = data[off + j];
        n += snprintf(line + n, sizeof line - n, "%c", c >= 32 && c <= 126 ? c : '.');
      }
      snprintf(line + n, sizeof line - n, "|\n");
      fputs(line, f.get());
    }
    fflush(f.get());
  }
  st.SetBytesProcessed(st.iterations() * st.range(0));
}

BENCHMARK(BM_TraceEntry);
BENCHMARK(BM_TraceEntry__fprintf_fflush);
BENCHMARK(BM_TraceDisabled);
BENCHMARK(BM_HexDump)->Arg(65536);
BENCHMARK(BM_HexDump__snprintf_loop)->Arg(65536);

}  // namespace

BENCHMARK_MAIN();
