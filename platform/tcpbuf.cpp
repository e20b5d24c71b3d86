#include "platform/tcpbuf.h"

#include <stdio.h>

#include <atomic>

namespace {

std::atomic<PlatTcpBufFn> g_tcpBufProvider{&PlatTcpBufSystem};

// The n-th of the numbers in a file of the kernel's settings.
bool ReadSetting(const char* path, int n, int64_t* value) {
  FILE* f = fopen(path, "re");
  if (f == nullptr) return false;
  long long v = 0;
  bool ok = true;
  for (int i = 0; i <= n && ok; ++i) ok = fscanf(f, "%lld", &v) == 1;
  fclose(f);
  if (ok) *value = v;
  return ok;
}

}  // namespace

PlatTcpBufFn PlatTcpBufProvider(void) { return g_tcpBufProvider.load(std::memory_order_acquire); }

void PlatTcpBufSetProvider(PlatTcpBufFn fn) { g_tcpBufProvider.store(fn, std::memory_order_release); }

bool PlatTcpBufSystem(PlatTcpBufAuto* out) {
  // Each of tcp_wmem and tcp_rmem holds "minimum default maximum"; a send
  // buffer always grows towards its maximum, a receive buffer only while
  // tcp_moderate_rcvbuf is on.
  int64_t sendMax = 0, recvMax = 0, moderate = 0;
  if (!ReadSetting("/proc/sys/net/ipv4/tcp_wmem", 2, &sendMax)) return false;
  if (!ReadSetting("/proc/sys/net/ipv4/tcp_rmem", 2, &recvMax)) return false;
  if (!ReadSetting("/proc/sys/net/ipv4/tcp_moderate_rcvbuf", 0, &moderate)) moderate = 0;
  out->sendMax = sendMax > 0 ? sendMax : 0;
  out->recvMax = moderate != 0 && recvMax > 0 ? recvMax : 0;
  return true;
}
