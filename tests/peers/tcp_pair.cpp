// Loopback TCP pairs of tcp_pair.h.
#include "peers/tcp_pair.h"

#include <poll.h>
#include <sys/socket.h>

#include <chrono>

namespace peers {

short WaitEvents(int fd, short events, int deadline_ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(deadline_ms);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    pollfd p{fd, events, 0};
    const int r = poll(&p, 1, left.count() < 0 ? 0 : (int)left.count());
    if (r > 0) return p.revents;
    if (r == 0 || std::chrono::steady_clock::now() >= end) return 0;
  }
}

bool TcpPair(int family, Fd* ours, Fd* theirs, int deadline_ms) {
  uint16_t port = 0;
  Fd l = Listener(family, &port);
  if (!l.valid()) return false;
  Fd c = Connect(family, port);
  if (!c.valid() || (WaitEvents(l.get(), POLLIN, deadline_ms) & POLLIN) == 0) return false;
  Fd a(accept4(l.get(), nullptr, nullptr, SOCK_CLOEXEC));
  if (!a.valid()) return false;
  *ours = std::move(c);
  *theirs = std::move(a);
  return true;
}

}  // namespace peers
