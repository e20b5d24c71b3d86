// The buffered layer and the NI select sets over loopback.
//
// BM_NiBufSend: NiBufSend of 1 KiB and 64 KiB messages while a thread of
// the peer reads them, beside a framed sendmsg loop read by the same
// reader. The message buffer comes back through its release hook and is
// sent again; "bufs/msg" counts buffers allocated per message (0: nothing
// is copied on the way).
//
// BM_NiSelSelect: NiSelSelect and NiSelNext over 1,000 handles of which 10
// stay readable, with the select set (0) and the poll set (1), beside
// poll() over the same sockets and a scan of its results.
#include <benchmark/benchmark.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "krn/ni/nibuf_int.h"
#include "krn/ni/niparam_int.h"
#include "krn/thr/thr.h"
#include "peers/niframe.h"
#include "peers/peers.h"

namespace {

std::u16string Serv(uint16_t port) {
  std::u16string s;
  for (char c : std::to_string(port)) s.push_back(static_cast<char16_t>(c));
  return s;
}

// Reads messages until a 1-byte one ends the run.
std::thread Reader(int fd) {
  return std::thread([fd] {
    std::string m;
    while (peers::ReadFrame(fd, &m) && m.size() != 1) {
    }
  });
}

NIBUF* g_kept = nullptr;
void KeepHook(NIBUF** pp) { g_kept = *pp; }

void BM_NiBufSend(benchmark::State& st) {
  ThrProcInit();
  NiInit3(64);
  NiIParams().minSockBuf = 1;  // the system's automatic buffer sizes, as the reference has
  const int32_t size = static_cast<int32_t>(st.range(0));
  uint16_t port = 0;
  peers::Fd lis = peers::Listener(AF_INET, &port);
  NI_HDL h = NI_INVALID_HDL;
  NiBufHandle(u"127.0.0.1", Serv(port).c_str(), 5000, &h);
  peers::Fd peer(accept(lis.get(), nullptr, nullptr));
  std::thread reader = Reader(peer.get());
  NiBufAlloc2(&g_kept, size, u"bench", KeepHook);
  memset(g_kept->buffer, 'x', static_cast<size_t>(size));
  uint64_t heap = NiBufIHeapUsed();
  int64_t n = 0;
  for (auto _ : st) {
    NIBUF* b = g_kept;
    g_kept = nullptr;
    b->len = size;
    if (NiBufSend(h, &b, NI_BLOCK) != WEQ_O_K || g_kept == nullptr) {
      st.SkipWithError("send failed");
      break;
    }
    ++n;
  }
  st.counters["bufs/msg"] = static_cast<double>(NiBufIHeapUsed() - heap) / static_cast<double>(size) /
                            static_cast<double>(n > 0 ? n : 1);
  if (g_kept != nullptr) NiBufFree2(&g_kept);
  uint32_t w = 0;
  NiWrite(h, "e", 1, NI_BLOCK, &w);
  reader.join();
  st.SetBytesProcessed(n * size);
  NiCloseHandle(h);
  NiIResetParams();
  NiExit();
}
BENCHMARK(BM_NiBufSend)->Arg(1024)->Arg(65536)->UseRealTime();

void BM_NiBufSend__ref(benchmark::State& st) {
  const size_t size = static_cast<size_t>(st.range(0));
  uint16_t port = 0;
  peers::Fd lis = peers::Listener(AF_INET, &port);
  peers::Fd a = peers::Connect(AF_INET, port);
  peers::Fd b(accept(lis.get(), nullptr, nullptr));
  std::thread reader = Reader(b.get());
  std::string data(size, 'x');
  int64_t n = 0;
  for (auto _ : st) {
    peers::SendFrame(a.get(), data.data(), size);
    ++n;
  }
  peers::SendFrame(a.get(), "e", 1);
  reader.join();
  st.SetBytesProcessed(n * static_cast<int64_t>(size));
}
BENCHMARK(BM_NiBufSend__ref)->Arg(1024)->Arg(65536)->UseRealTime();

// 1,000 connections, the first 10 of which have a byte waiting that
// nobody reads.
struct Thousand {
  static constexpr int kHandles = 1000;
  static constexpr int kReady = 10;
  Thousand() {
    rlimit rl{};
    getrlimit(RLIMIT_NOFILE, &rl);
    if (rl.rlim_cur < 4096 && rl.rlim_max >= 4096) {
      rl.rlim_cur = 4096;
      setrlimit(RLIMIT_NOFILE, &rl);
    }
    ThrProcInit();
    NiInit3(4096);
    uint16_t port = 0;
    NiServerHandleForPort(&port, &lis);
    for (int i = 0; i < kHandles; ++i) {
      peers.push_back(peers::Connect(AF_INET, port));
      NI_HDL h = NI_INVALID_HDL;
      if (NiAccept(lis, 5000, &h, nullptr, nullptr) != WEQ_O_K) return;
      hdls.push_back(h);
      int32_t fd = -1;
      NiHdlToSock(h, &fd);
      fds.push_back(pollfd{fd, POLLIN, 0});
    }
    for (int i = 0; i < kReady; ++i) peers::SendAll(peers[i].get(), "r", 1);
    for (int i = 0; i < kReady; ++i) peers::WaitReadable(fds[i].fd, 5000);
    ok = true;
  }
  ~Thousand() {
    for (NI_HDL h : hdls) NiCloseHandle(h);
    NiCloseHandle(lis);
    NiExit();
  }
  NI_HDL lis = NI_INVALID_HDL;
  std::vector<peers::Fd> peers;
  std::vector<NI_HDL> hdls;
  std::vector<pollfd> fds;
  bool ok = false;
};

void BM_NiSelSelect(benchmark::State& st) {
  Thousand t;
  if (st.range(0) == 1)
    setenv("WEQ_USE_WSAPOLL", "1", 1);
  else
    unsetenv("WEQ_USE_WSAPOLL");
  NISEL* set = nullptr;
  if (!t.ok || NiSelNewSet2(&set, Thousand::kHandles) != WEQ_O_K) {
    st.SkipWithError("no handles");
    return;
  }
  unsetenv("WEQ_USE_WSAPOLL");
  for (NI_HDL h : t.hdls) NiSelSet(set, h, NI_READ, nullptr);
  int64_t found = 0;
  for (auto _ : st) {
    NiSelSelect(set, 0);
    while (NiSelNext(set, nullptr, nullptr, nullptr, nullptr) != -1) ++found;
  }
  if (found != Thousand::kReady * static_cast<int64_t>(st.iterations())) st.SkipWithError("wrong count");
  delete set;
}
BENCHMARK(BM_NiSelSelect)->Arg(0)->Arg(1);

void BM_NiSelSelect__ref(benchmark::State& st) {
  Thousand t;
  if (!t.ok) {
    st.SkipWithError("no handles");
    return;
  }
  int64_t found = 0;
  for (auto _ : st) {
    poll(t.fds.data(), t.fds.size(), 0);
    for (const pollfd& p : t.fds) found += (p.revents & POLLIN) ? 1 : 0;
  }
  benchmark::DoNotOptimize(found);
}
BENCHMARK(BM_NiSelSelect__ref)->Arg(0)->Arg(1);

}  // namespace
BENCHMARK_MAIN();
