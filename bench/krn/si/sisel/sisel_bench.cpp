// One Select and the walk of Next over sets of 1,000 and 10,000 members of
// which 1% are readable, for each implementation, beside poll() and a scan
// of the same descriptors in one pollfd array.
//
// The readable members are socket pairs with a byte waiting; the idle ones
// are duplicates of one idle socket, so that 10,000 members fit the
// descriptor limit.
#include <benchmark/benchmark.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

#include "krn/si/si.h"
#include "krn/si/sisel/sisel.h"

namespace {

struct Members {
  std::vector<int> fds;  // the members, ready ones spread evenly
  std::vector<int> own;  // every descriptor to close
  explicit Members(int n) {
    rlimit lim;
    getrlimit(RLIMIT_NOFILE, &lim);
    lim.rlim_cur = lim.rlim_max;
    setrlimit(RLIMIT_NOFILE, &lim);
    int idle[2];
    socketpair(AF_UNIX, SOCK_STREAM, 0, idle);
    own = {idle[0], idle[1]};
    for (int i = 0; i < n; ++i) {
      if (i % 100 == 50) {
        int p[2];
        socketpair(AF_UNIX, SOCK_STREAM, 0, p);
        (void)!write(p[1], "x", 1);
        fds.push_back(p[0]);
        own.push_back(p[0]);
        own.push_back(p[1]);
      } else {
        fds.push_back(dup(idle[0]));
        own.push_back(fds.back());
      }
    }
  }
  ~Members() {
    for (int fd : own) close(fd);
  }
  bool ok() const {
    for (int fd : fds)
      if (fd < 0) return false;
    return true;
  }
};

void RunSet(benchmark::State& st, uint8_t type) {
  SiInit(nullptr);
  const int n = (int)st.range(0);
  Members m(n);
  if (!m.ok()) return st.SkipWithError("descriptors");
  std::vector<SI_SOCKET> recs(n);
  SISEL_IMPL set;
  set.SiSelAddSpecImpl(&type);
  set.Init((uint32_t)n);
  for (int i = 0; i < n; ++i) {
    recs[i] = SI_SOCKET{m.fds[i], SI_AF_INET, SI_SOCK_STREAM, 0};
    set.Set(&recs[i], SISEL_READ, nullptr, 0);
  }
  size_t found = 0;
  for (auto _ : st) {
    uint32_t count = 0;
    set.Select(0, &count);
    uint8_t rd = 0;
    SI_SOCKET* s = nullptr;
    for (;;) {
      set.Next(&rd, nullptr, nullptr, &s, nullptr);
      if (s == nullptr) break;
      ++found;
    }
  }
  if (found != st.iterations() * (size_t)(n / 100)) st.SkipWithError("wrong ready count");
}

void PollScan(benchmark::State& st) {
  const int n = (int)st.range(0);
  Members m(n);
  if (!m.ok()) return st.SkipWithError("descriptors");
  std::vector<pollfd> p(n);
  for (int i = 0; i < n; ++i) p[i] = pollfd{m.fds[i], POLLIN, 0};
  size_t found = 0;
  for (auto _ : st) {
    benchmark::DoNotOptimize(poll(p.data(), p.size(), 0));
    for (const pollfd& e : p)
      if (e.revents & POLLIN) ++found;
  }
  if (found != st.iterations() * (size_t)(n / 100)) st.SkipWithError("wrong ready count");
}

void BM_SiSelPoll(benchmark::State& st) { RunSet(st, SISEL_TYPE_POLL); }
void BM_SiSelSelNt(benchmark::State& st) { RunSet(st, SISEL_TYPE_SEL_NT); }
void BM_SiSelSelNtFc(benchmark::State& st) { RunSet(st, SISEL_TYPE_SEL_NT_FC); }
void BM_SiSelPoll__poll_scan(benchmark::State& st) { PollScan(st); }
void BM_SiSelSelNt__poll_scan(benchmark::State& st) { PollScan(st); }
void BM_SiSelSelNtFc__poll_scan(benchmark::State& st) { PollScan(st); }

BENCHMARK(BM_SiSelPoll)->Arg(1000)->Arg(10000);
BENCHMARK(BM_SiSelPoll__poll_scan)->Arg(1000)->Arg(10000);
BENCHMARK(BM_SiSelSelNt)->Arg(1000)->Arg(10000);
BENCHMARK(BM_SiSelSelNt__poll_scan)->Arg(1000)->Arg(10000);
BENCHMARK(BM_SiSelSelNtFc)->Arg(1000)->Arg(10000);
BENCHMARK(BM_SiSelSelNtFc__poll_scan)->Arg(1000)->Arg(10000);

}  // namespace

BENCHMARK_MAIN();
