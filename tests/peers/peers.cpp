// Raw POSIX helpers of peers.h.
#include "peers/peers.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>

namespace peers {

void Fd::Reset(int fd) {
  if (fd_ >= 0) close(fd_);
  fd_ = fd;
}

std::string LoopbackBytes(int family) {
  if (family == AF_INET) return std::string("\x7f\x00\x00\x01", 4);
  std::string b(16, '\0');
  b[15] = 1;
  return b;
}

socklen_t LoopbackAddr(int family, uint16_t port, sockaddr_storage* out) {
  memset(out, 0, sizeof(*out));
  if (family == AF_INET) {
    auto* in = reinterpret_cast<sockaddr_in*>(out);
    in->sin_family = AF_INET;
    in->sin_port = htons(port);
    in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return sizeof(sockaddr_in);
  }
  auto* in6 = reinterpret_cast<sockaddr_in6*>(out);
  in6->sin6_family = AF_INET6;
  in6->sin6_port = htons(port);
  in6->sin6_addr = in6addr_loopback;
  return sizeof(sockaddr_in6);
}

bool SocketPair(Fd* a, Fd* b, int type) {
  int fds[2];
  if (socketpair(AF_UNIX, type | SOCK_CLOEXEC, 0, fds) != 0) return false;
  a->Reset(fds[0]);
  b->Reset(fds[1]);
  return true;
}

Fd Listener(int family, uint16_t* port, int backlog) {
  Fd fd(socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_storage sa;
  socklen_t len = LoopbackAddr(family, 0, &sa);
  if (!fd.valid() || bind(fd.get(), reinterpret_cast<sockaddr*>(&sa), len) != 0 ||
      listen(fd.get(), backlog) != 0 || getsockname(fd.get(), reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
    return Fd();
  }
  *port = ntohs(family == AF_INET ? reinterpret_cast<sockaddr_in&>(sa).sin_port
                                  : reinterpret_cast<sockaddr_in6&>(sa).sin6_port);
  return fd;
}

Fd Connect(int family, uint16_t port) {
  Fd fd(socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_storage sa;
  socklen_t len = LoopbackAddr(family, port, &sa);
  if (!fd.valid() || connect(fd.get(), reinterpret_cast<sockaddr*>(&sa), len) != 0) return Fd();
  return fd;
}

uint16_t FreePort(int family) {
  uint16_t port = 0;
  Fd l = Listener(family, &port);
  return l.valid() ? port : 0;
}

void SmallBuffers(int fd) {
  int size = 1;  // the system rounds up to its minimum
  setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof(size));
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
}

void ResetClose(Fd* fd) {
  linger l{1, 0};
  setsockopt(fd->get(), SOL_SOCKET, SO_LINGER, &l, sizeof(l));
  fd->Reset();
}

Fd DupAbove(int fd, int min) {
  rlimit lim;
  if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur <= static_cast<rlim_t>(min) + 16) {
    rlim_t want = static_cast<rlim_t>(min) + 64;
    if (lim.rlim_max != RLIM_INFINITY && lim.rlim_max < want) return Fd();
    lim.rlim_cur = want;
    if (setrlimit(RLIMIT_NOFILE, &lim) != 0) return Fd();
  }
  return Fd(fcntl(fd, F_DUPFD_CLOEXEC, min));
}

int OpenFdCount() {
  DIR* d = opendir("/proc/self/fd");
  if (d == nullptr) return -1;
  int n = 0;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] != '.') ++n;
  }
  closedir(d);
  return n - 1;  // the directory's own descriptor
}

bool WaitReadable(int fd, int ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    int left = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count());
    pollfd p{fd, POLLIN, 0};
    int r = poll(&p, 1, left < 0 ? 0 : left);
    if (r > 0) return true;
    if (r == 0 || (r < 0 && errno != EINTR)) return false;
  }
}

std::string ReadFor(int fd, size_t n, int ms) {
  std::string got;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (got.size() < n) {
    int left = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count());
    if (left <= 0 || !WaitReadable(fd, left)) break;
    char buf[4096];
    ssize_t r = recv(fd, buf, std::min(sizeof(buf), n - got.size()), MSG_DONTWAIT);
    if (r > 0) {
      got.append(buf, static_cast<size_t>(r));
    } else if (r == 0 || (errno != EAGAIN && errno != EINTR)) {
      break;
    }
  }
  return got;
}

bool WriteAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t r = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    done += static_cast<size_t>(r);
  }
  return true;
}

void SetNonBlocking(int fd, bool on) {
  int flags = fcntl(fd, F_GETFL);
  fcntl(fd, F_SETFL, on ? flags | O_NONBLOCK : flags & ~O_NONBLOCK);
}

}  // namespace peers
