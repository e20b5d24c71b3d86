// Raw POSIX helpers for the network tests: the test's own socket ends,
// written without any of the library's code so that a test can place each
// byte itself and check what the library did from the outside.
//
// Targets are loopback addresses (127.0.0.1, ::1) or addresses inside a
// network namespace the test made (netns.h). Every wait takes a deadline.
#ifndef TESTS_PEERS_PEERS_H
#define TESTS_PEERS_PEERS_H

#include <stdint.h>
#include <sys/socket.h>

#include <string>

namespace peers {

// An owned descriptor, closed on destruction.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { Reset(); }
  Fd(Fd&& o) noexcept : fd_(o.Release()) {}
  Fd& operator=(Fd&& o) noexcept {
    if (this != &o) {
      Reset();
      fd_ = o.Release();
    }
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int Release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void Reset(int fd = -1);

 private:
  int fd_ = -1;
};

// AF_INET or AF_INET6 loopback as raw network-order bytes (4 or 16) and
// as a socket address with the given port (host order).
std::string LoopbackBytes(int family);
socklen_t LoopbackAddr(int family, uint16_t port, sockaddr_storage* out);

// A connected pair of AF_UNIX sockets of the given type (close-on-exec).
bool SocketPair(Fd* a, Fd* b, int type = SOCK_STREAM);

// A listening TCP socket on loopback, port chosen by the system; *port
// receives it (host order). backlog 0 keeps later connects pending once
// one waits in the queue.
Fd Listener(int family, uint16_t* port, int backlog = 16);

// A blocking TCP connect to loopback; invalid on failure.
Fd Connect(int family, uint16_t port);

// A loopback port (host order) on which nothing listens: bound once by the
// system's choice and released again.
uint16_t FreePort(int family);

// Send and receive buffers made as small as the system allows.
void SmallBuffers(int fd);

// Closes with an immediate reset (linger on, time 0) instead of a FIN.
void ResetClose(Fd* fd);

// A duplicate of fd at a number of at least min (close-on-exec), raising
// the soft descriptor limit when needed; invalid on failure.
Fd DupAbove(int fd, int min);

// Open descriptors of this process (entries of /proc/self/fd).
int OpenFdCount();

// Waits until fd is readable (or has an error or hang-up) within ms.
bool WaitReadable(int fd, int ms);

// Reads exactly n bytes within ms in all; what arrived otherwise.
std::string ReadFor(int fd, size_t n, int ms);

// Writes all of data (blocking descriptors); false on an error.
bool WriteAll(int fd, const std::string& data);

// Non-blocking on or off.
void SetNonBlocking(int fd, bool on);

}  // namespace peers

#endif
