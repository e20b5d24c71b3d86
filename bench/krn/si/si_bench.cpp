// SiSelect over 1,000 socket pairs of which 10 are readable, beside poll(2)
// over the same descriptors collecting the ready ones.
#include <benchmark/benchmark.h>
#include <poll.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

#include "krn/si/si.h"

namespace {

constexpr int kPairs = 1000;
constexpr int kReady = 10;

// The pairs, made once: our ends (ascending) and the ends that write.
struct Pairs {
  std::vector<int> ours, theirs;
  Pairs() {
    rlimit lim;
    getrlimit(RLIMIT_NOFILE, &lim);
    if (lim.rlim_cur < 4 * kPairs) {
      lim.rlim_cur = lim.rlim_max == RLIM_INFINITY || lim.rlim_max > 4 * kPairs ? 4 * kPairs : lim.rlim_max;
      setrlimit(RLIMIT_NOFILE, &lim);
    }
    for (int i = 0; i < kPairs; ++i) {
      int fds[2];
      if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) break;
      ours.push_back(fds[0]);
      theirs.push_back(fds[1]);
    }
    for (int i = 0; i < kReady && !theirs.empty(); ++i) {
      (void)!write(theirs[static_cast<size_t>(i) * (theirs.size() / kReady)], "r", 1);
    }
  }
};

Pairs& P() {
  static Pairs p;
  return p;
}

void BM_SiSelect(benchmark::State& st) {
  SiInit(nullptr);
  Pairs& p = P();
  SI_FD_SET* all = SiFdAlloc(kPairs);
  SI_FD_SET* work = SiFdAlloc(kPairs);
  for (int fd : p.ours) {
    SI_SOCKET s{fd, SI_AF_INET, SI_SOCK_STREAM, 0};
    SiFdSet(&s, all, kPairs);
  }
  int32_t count = 0;
  for (auto _ : st) {
    memcpy(work, all, SI_FD_SET_BYTES(all->fd_count));
    SiSelect(0, work, nullptr, nullptr, 0, &count, nullptr);
    benchmark::DoNotOptimize(work->fd_array[0]);
  }
  if (count != kReady) st.SkipWithError("not the ready count");
  SiFdFree(all);
  SiFdFree(work);
}

void BM_SiSelect__poll(benchmark::State& st) {
  Pairs& p = P();
  std::vector<pollfd> fds;
  for (int fd : p.ours) fds.push_back(pollfd{fd, POLLIN, 0});
  std::vector<int> ready(kPairs);
  size_t n = 0;
  for (auto _ : st) {
    poll(fds.data(), fds.size(), 0);
    n = 0;
    for (const pollfd& f : fds) {
      if (f.revents != 0) ready[n++] = f.fd;
    }
    benchmark::DoNotOptimize(ready[0]);
  }
  if (n != kReady) st.SkipWithError("not the ready count");
}

}  // namespace

BENCHMARK(BM_SiSelect);
BENCHMARK(BM_SiSelect__poll);
BENCHMARK_MAIN();
