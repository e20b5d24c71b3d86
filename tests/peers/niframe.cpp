// The NI framing of niframe.h over POSIX.
#include "peers/niframe.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <time.h>

namespace peers {

const std::string kNiPing("NI_PING\0", 8);
const std::string kNiPong("NI_PONG\0", 8);

std::string FrameEncode(const std::string& data) {
  uint32_t n = static_cast<uint32_t>(data.size());
  std::string out;
  out.reserve(4 + data.size());
  out.push_back(static_cast<char>(n >> 24));
  out.push_back(static_cast<char>(n >> 16));
  out.push_back(static_cast<char>(n >> 8));
  out.push_back(static_cast<char>(n));
  out += data;
  return out;
}

void FrameParser::Feed(const void* data, size_t len) {
  buf_.append(static_cast<const char*>(data), len);
  while (!bad_ && buf_.size() >= 4) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(buf_.data());
    uint32_t n = (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
    if (n & 0x80000000u) {
      bad_ = true;
      return;
    }
    if (buf_.size() < 4 + size_t{n}) return;
    frames_.push_back(buf_.substr(4, n));
    buf_.erase(0, 4 + size_t{n});
  }
}

bool FrameParser::Next(std::string* msg) {
  if (head_ >= frames_.size()) return false;
  *msg = std::move(frames_[head_++]);
  if (head_ == frames_.size()) {
    frames_.clear();
    head_ = 0;
  }
  return true;
}

bool SendAll(int fd, const void* data, size_t len) {
  const char* p = static_cast<const char*>(data);
  while (len > 0) {
    ssize_t n = send(fd, p, len, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd pfd{fd, POLLOUT, 0};
      poll(&pfd, 1, 1000);
      continue;
    }
    if (n <= 0) return false;
    p += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

bool SendFrame(int fd, const void* data, size_t len) {
  unsigned char hdr[4] = {static_cast<unsigned char>(len >> 24), static_cast<unsigned char>(len >> 16),
                          static_cast<unsigned char>(len >> 8), static_cast<unsigned char>(len)};
  iovec iov[2] = {{hdr, 4}, {const_cast<void*>(data), len}};
  msghdr m{};
  m.msg_iov = iov;
  m.msg_iovlen = 2;
  while (m.msg_iovlen > 0) {
    ssize_t n = sendmsg(fd, &m, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    auto left = static_cast<size_t>(n);
    while (m.msg_iovlen > 0 && left >= m.msg_iov->iov_len) {
      left -= m.msg_iov->iov_len;
      ++m.msg_iov;
      --m.msg_iovlen;
    }
    if (m.msg_iovlen > 0) {
      m.msg_iov->iov_base = static_cast<char*>(m.msg_iov->iov_base) + left;
      m.msg_iov->iov_len -= left;
    }
  }
  return true;
}

namespace {
bool ReadExactly(int fd, char* p, size_t n) {
  while (n > 0) {
    ssize_t r = recv(fd, p, n, 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}
}  // namespace

bool ReadFrame(int fd, std::string* data) {
  unsigned char h[4];
  if (!ReadExactly(fd, reinterpret_cast<char*>(h), 4)) return false;
  uint32_t n = (uint32_t{h[0]} << 24) | (uint32_t{h[1]} << 16) | (uint32_t{h[2]} << 8) | h[3];
  if (n & 0x80000000u) return false;
  data->resize(n);
  return ReadExactly(fd, data->data(), n);
}

namespace {
int64_t NowMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}
}  // namespace

bool RecvFrame(int fd, FrameParser* parser, std::string* msg, int deadline_ms, int wake_fd) {
  int64_t end = NowMs() + deadline_ms;
  char buf[65536];
  for (;;) {
    if (parser->Next(msg)) return true;
    if (parser->bad()) return false;
    int64_t left = deadline_ms < 0 ? -1 : end - NowMs();
    if (deadline_ms >= 0 && left < 0) return false;
    pollfd pfd[2] = {{fd, POLLIN, 0}, {wake_fd, POLLIN, 0}};
    int r = poll(pfd, wake_fd >= 0 ? 2 : 1, static_cast<int>(left));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0 || pfd[1].revents != 0) return false;
    ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) return false;
    parser->Feed(buf, static_cast<size_t>(n));
  }
}

}  // namespace peers
