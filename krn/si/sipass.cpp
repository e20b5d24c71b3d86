// Socket layer: passing a socket to another process. A socket cannot be
// duplicated into a record here, so the record names the sender's process
// and descriptor, and the receiver takes the descriptor from the sender with
// pidfd_getfd(2) while the sender keeps it open.
#include <errno.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>

#include "krn/dptrc/dptrc.h"
#include "krn/si/si.h"
#include "krn/si/si_int.h"

using namespace si;

namespace {

constexpr char kMagic[8] = {'T', 'O', 'V', 'S', 'O', 'C', 'K', '1'};
constexpr size_t kFixedPart = 116;  // fields before the protocol name

// How long the rest of a record may take once its first bytes are in.
constexpr int kRestMs = 5000;

void Put32(WEQ_RAW* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<WEQ_RAW>(v >> (8 * i));
}

uint32_t Get32(const WEQ_RAW* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

const WEQ_UC* FamilyName(int32_t f) {
  return f == SI_AF_UNIX ? u"AF_UNIX" : f == SI_AF_INET ? u"AF_INET" : f == SI_AF_INET6 ? u"AF_INET6" : u"-";
}

const WEQ_UC* TypeName(int32_t t) {
  return t == SI_SOCK_STREAM ? u"SOCK_STREAM" : t == SI_SOCK_DGRAM ? u"SOCK_DGRAM" : t == SI_SOCK_RAW ? u"SOCK_RAW" : u"-";
}

}  // namespace

uint32_t SiIEncodeHandoff(const SiHandoff& h, WEQ_RAW (&record)[SI_HANDOFF_LEN]) {
  memset(record, 0, sizeof(record));
  memcpy(record, kMagic, sizeof(kMagic));
  Put32(record + 8, h.pid);
  Put32(record + 12, static_cast<uint32_t>(h.fd));
  Put32(record + 16, static_cast<uint32_t>(h.family));
  Put32(record + 20, static_cast<uint32_t>(h.type));
  Put32(record + 24, static_cast<uint32_t>(h.protocol));
  const char name[] = "TCP/IP";
  memcpy(record + kFixedPart, name, sizeof(name) - 1);
  return SI_HANDOFF_LEN;
}

SiHandoffVerdict SiIDecodeHandoff(const void* data, size_t len, pid_t self, SiHandoff* out) {
  if (len != SI_HANDOFF_LEN && len != SI_HANDOFF_SHORT_LEN) return SI_HANDOFF_BAD_LENGTH;
  const auto* p = static_cast<const WEQ_RAW*>(data);
  if (memcmp(p, kMagic, sizeof(kMagic)) != 0) return SI_HANDOFF_BAD_MAGIC;
  SiHandoff h;
  h.pid = Get32(p + 8);
  h.fd = static_cast<int32_t>(Get32(p + 12));
  h.family = static_cast<int32_t>(Get32(p + 16));
  h.type = static_cast<int32_t>(Get32(p + 20));
  h.protocol = static_cast<int32_t>(Get32(p + 24));
  if (h.pid == 0 || h.pid > INT32_MAX || static_cast<pid_t>(h.pid) == self) return SI_HANDOFF_SELF;
  if (h.fd < 0) return SI_HANDOFF_BAD_FD;
  if ((h.family != SI_AF_INET && h.family != SI_AF_INET6) || h.type < SI_SOCK_STREAM || h.type > SI_SOCK_RAW) {
    return SI_HANDOFF_BAD_KIND;
  }
  *out = h;
  return SI_HANDOFF_OK;
}

SI_RC SiSendSocket(SI_SOCKET* pChannel, SI_SOCKET* pSockToPass, const uint32_t* pTargetProcessId) {
  SI_SEAM(SI_FN_SENDSOCKET, pChannel);
  (void)pTargetProcessId;  // the receiver takes the socket; no copy is made for it
  // What the record says of the socket must be true of it.
  int domain = 0, type = 0;
  socklen_t len = sizeof(int);
  if (getsockopt(pSockToPass->socketNo, SOL_SOCKET, SO_DOMAIN, &domain, &len) != 0 ||
      getsockopt(pSockToPass->socketNo, SOL_SOCKET, SO_TYPE, &type, &len) != 0) {
    pSockToPass->sysErr = errno;
    return errno == EBADF || errno == ENOTSOCK ? SI_EINVAL_SOCK : SI_ESYSCALL;
  }
  SiHandoff h{static_cast<uint32_t>(getpid()), pSockToPass->socketNo, pSockToPass->family, pSockToPass->type, 0};
  WEQ_RAW record[SI_HANDOFF_LEN];
  SiIEncodeHandoff(h, record);
  ssize_t n = send(pChannel->socketNo, record, sizeof(record), MSG_NOSIGNAL);
  if (n < 0) return Fail(pChannel, SI_OPC_SEND, errno);
  if (n != SI_HANDOFF_LEN) {
    DPTRC_ERROR(CTrcGlobalHdl.load(), u"%s: invalid sent data length (%u<>%u)\n", u"SiSendSocket",
                static_cast<uint32_t>(n), static_cast<uint32_t>(SI_HANDOFF_LEN));
    return Intern(pChannel);
  }
  return SI_OK;
}

namespace {

// Reads a record from a stream channel until 628 bytes are in or the
// sender has closed; datagram channels deliver it in one receive. SI_OK
// with *got bytes, or the receive's failure.
SI_RC ReadRecord(SI_SOCKET* pChannel, WEQ_RAW* buf, size_t* got) {
  int type = 0;
  socklen_t len = sizeof(type);
  if (getsockopt(pChannel->socketNo, SOL_SOCKET, SO_TYPE, &type, &len) != 0) {
    return Fail(pChannel, SI_OPC_RECV, errno);
  }
  *got = 0;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kRestMs);
  for (;;) {
    // Once part of a record is in, the rest is read without blocking, so
    // that the deadline below also holds on a blocking channel.
    ssize_t n = recv(pChannel->socketNo, buf + *got, SI_HANDOFF_LEN - *got, *got > 0 ? MSG_DONTWAIT : 0);
    if (n > 0) {
      *got += static_cast<size_t>(n);
      if (type != SOCK_STREAM || *got == SI_HANDOFF_LEN) return SI_OK;
      continue;
    }
    if (n == 0) return SI_OK;
    int err = errno;
    if (err == EINTR && *got > 0) continue;
    if ((err != EAGAIN && err != EWOULDBLOCK) || *got == 0) return Fail(pChannel, SI_OPC_RECV, err);
    // Part of a record is in: wait for the rest within the deadline.
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return SI_OK;
    pollfd p{pChannel->socketNo, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) < 0 && errno != EINTR) {
      return Fail(pChannel, SI_OPC_RECV, errno);
    }
  }
}

}  // namespace

SI_RC SiRecvSocket(SI_SOCKET* pChannel, SI_SOCKET* pNewSock) {
  SI_SEAM(SI_FN_RECVSOCKET, pChannel);
  SI_RC rc;
  CTRC_HDL trc = CTrcGlobalHdl.load();
  const WEQ_UC* self = u"SiRecvSocket";
  WEQ_RAW record[SI_HANDOFF_LEN];
  size_t got = 0;
  rc = ReadRecord(pChannel, record, &got);
  if (rc != SI_OK) return rc;
  SiHandoff h;
  SiHandoffVerdict verdict = SiIDecodeHandoff(record, got, getpid(), &h);
  if (verdict == SI_HANDOFF_BAD_LENGTH) {
    DPTRC_ERROR(trc, u"%s: invalid received data length (%u<>%u|%u)\n", self, static_cast<uint32_t>(got),
                static_cast<uint32_t>(SI_HANDOFF_SHORT_LEN), static_cast<uint32_t>(SI_HANDOFF_LEN));
    return Intern(pChannel);
  }
  int fd = -1;
  int sysErr = 0;
  if (verdict == SI_HANDOFF_OK) {
    int pidfd = static_cast<int>(syscall(SYS_pidfd_open, static_cast<pid_t>(h.pid), 0));
    if (pidfd >= 0) {
      fd = static_cast<int>(syscall(SYS_pidfd_getfd, pidfd, h.fd, 0));  // close-on-exec already
      sysErr = fd < 0 ? errno : 0;
      close(pidfd);
    } else {
      sysErr = errno;
    }
    // Only a socket of the family and type the record names is taken.
    int domain = 0, type = 0;
    socklen_t len = sizeof(int);
    if (fd >= 0 && (getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &len) != 0 ||
                    getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) != 0 ||
                    domain != (h.family == SI_AF_INET ? AF_INET : AF_INET6) ||
                    type != (h.type == SI_SOCK_STREAM ? SOCK_STREAM : h.type == SI_SOCK_DGRAM ? SOCK_DGRAM : SOCK_RAW))) {
      close(fd);
      fd = -1;
      sysErr = ENOTSOCK;
    }
  } else {
    sysErr = EINVAL;
  }
  if (fd < 0) {
    DPTRC_ERROR(trc, u"%s: no valid descriptor received; WSASocket failed (%d)\n", self, sysErr);
    return Intern(pChannel);
  }
  *pNewSock = SI_SOCKET{fd, h.family, h.type, 0};
  DPTRC_LINE(2, trc, u"%s: received sock %d (%s, %s)\n", self, fd, FamilyName(h.family), TypeName(h.type));
  return SI_OK;
}
