// One wakeup: a client's send and the owner's collect of the 24 bytes,
// beside the same exchange over two raw loopback UDP sockets (the floor the
// NI layers, the sender check and the traces add to).
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "krn/ni/ni.h"
#include "krn/thr/thr.h"

namespace {

void BM_NiWakeupExecCollect(benchmark::State& st) {
  ThrProcInit();
  NiInit();
  NI_WAKEUP_SERVER* srv = nullptr;
  NI_WAKEUP_CLIENT* cli = nullptr;
  if (NiWakeupOpen(&srv) != WEQ_O_K || NiWakeupAttach(srv, &cli) != WEQ_O_K) {
    st.SkipWithError("no wakeup server");
    return;
  }
  char msg[24] = "wakeup", buf[24];
  for (auto _ : st) {
    NiWakeupExec2(cli, msg, 24);
    uint32_t got = 0;
    while (NiWakeupCollect2(srv, buf, sizeof buf, &got) == NIETIMEOUT) {
    }
    benchmark::DoNotOptimize(got);
  }
  NiWakeupDetach(&cli);
  NiWakeupClose(&srv);
  NiExit();
}
BENCHMARK(BM_NiWakeupExecCollect);

void BM_NiWakeupExecCollect__ref(benchmark::State& st) {
  int rx = socket(AF_INET, SOCK_DGRAM, 0), tx = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  bind(rx, reinterpret_cast<sockaddr*>(&a), sizeof a);
  getsockname(rx, reinterpret_cast<sockaddr*>(&a), &len);
  connect(tx, reinterpret_cast<sockaddr*>(&a), sizeof a);
  char msg[24] = "wakeup", buf[24];
  for (auto _ : st) {
    send(tx, msg, 24, 0);
    sockaddr_in from{};
    socklen_t fromLen = sizeof from;
    ssize_t n = recvfrom(rx, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &fromLen);
    benchmark::DoNotOptimize(n);
  }
  close(tx);
  close(rx);
}
BENCHMARK(BM_NiWakeupExecCollect__ref);

}  // namespace

BENCHMARK_MAIN();
