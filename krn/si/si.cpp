// Socket layer: life of the layer, sockets, addresses, options, masks and
// the two connect sets.
#include "krn/si/si.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>

#include "krn/dptrc/dptrc.h"
#include "krn/ntport/ntport.h"
#include "krn/si/si_int.h"
#include "krn/thr/thr.h"

// --- Process-wide state ----------------------------------------------------------

namespace {

// The SI lock guards gPending and gBroken. It is a leaf: nothing that takes
// another lock or blocks is called under it (the trace only after release).
ThrCS gSiCS;

std::atomic<bool> gInit{false};
// Whether poll may be used: decided at the first start of the process.
std::atomic<bool> gPollAvailable{false};
std::atomic<bool> gPollDecided{false};

}  // namespace

namespace si {

ConnSets gSets;

void Lock() { ThrCSLock(&gSiCS); }
void Unlock() { ThrCSUnlock(&gSiCS); }

// --- Sorted socket arrays ----------------------------------------------------------

int64_t* Find(int64_t* first, int64_t* last, int32_t socketNo) {
  int64_t* at = std::lower_bound(first, last, static_cast<int64_t>(socketNo));
  return at != last && *at == socketNo ? at : nullptr;
}

bool SortedInsert(int64_t* array, uint32_t* count, uint32_t capacity, int32_t socketNo, uint32_t* pos) {
  int64_t* end = array + *count;
  int64_t* at = std::lower_bound(array, end, static_cast<int64_t>(socketNo));
  if (pos != nullptr) *pos = static_cast<uint32_t>(at - array);
  if (at != end && *at == socketNo) return true;
  if (*count >= capacity) return false;
  memmove(at + 1, at, static_cast<size_t>(end - at) * sizeof(int64_t));
  *at = socketNo;
  ++*count;
  return true;
}

bool SortedErase(int64_t* array, uint32_t* count, int32_t socketNo, uint32_t* pos) {
  int64_t* end = array + *count;
  int64_t* at = Find(array, end, socketNo);
  if (at == nullptr) return false;
  if (pos != nullptr) *pos = static_cast<uint32_t>(at - array);
  memmove(at, at + 1, static_cast<size_t>(end - at - 1) * sizeof(int64_t));
  --*count;
  return true;
}

void ConnSets::AddPending(int32_t s) {
  SortedInsert(pending, &pendingCount, SI_FD_SETSIZE, s, nullptr);
  pendingSeen.store(pendingCount, std::memory_order_relaxed);
}

bool ConnSets::RemovePending(int32_t s) {
  bool was = SortedErase(pending, &pendingCount, s, nullptr);
  pendingSeen.store(pendingCount, std::memory_order_relaxed);
  return was;
}

void ConnSets::AddBroken(int32_t s, int32_t err) {
  uint32_t pos = 0;
  uint32_t before = brokenCount;
  if (!SortedInsert(broken, &brokenCount, SI_FD_SETSIZE, s, &pos)) return;
  if (brokenCount != before) {
    memmove(brokenErr + pos + 1, brokenErr + pos, (brokenCount - 1 - pos) * sizeof(int32_t));
  }
  brokenErr[pos] = err;
}

bool ConnSets::RemoveBroken(int32_t s) {
  uint32_t pos = 0;
  if (!SortedErase(broken, &brokenCount, s, &pos)) return false;
  memmove(brokenErr + pos, brokenErr + pos + 1, (brokenCount - pos) * sizeof(int32_t));
  return true;
}

bool ConnSets::IsBroken(int32_t s, int32_t* err) const {
  const int64_t* at = Find(const_cast<int64_t*>(broken), const_cast<int64_t*>(broken) + brokenCount, s);
  if (at == nullptr) return false;
  if (err != nullptr) *err = brokenErr[at - broken];
  return true;
}

bool ConnSets::IsPending(int32_t s) const {
  return Find(const_cast<int64_t*>(pending), const_cast<int64_t*>(pending) + pendingCount, s) != nullptr;
}

// --- Addresses -----------------------------------------------------------------------

bool FamilyOk(SI_SOCKET* pSock) {
  if (pSock->family == SI_AF_INET || pSock->family == SI_AF_INET6) return true;
  pSock->sysErr = SI_ERR_FAMILY;
  return false;
}

uint32_t AddrBytes(int32_t family) { return family == SI_AF_INET ? 4 : 16; }

socklen_t MakeSockAddr(int32_t family, const WEQ_RAW* addr, uint16_t portNet, sockaddr_storage* out) {
  memset(out, 0, sizeof(*out));
  if (family == SI_AF_INET) {
    auto* in = reinterpret_cast<sockaddr_in*>(out);
    in->sin_family = AF_INET;
    in->sin_port = portNet;
    if (addr != nullptr) memcpy(&in->sin_addr, addr, 4);
    return sizeof(sockaddr_in);
  }
  auto* in6 = reinterpret_cast<sockaddr_in6*>(out);
  in6->sin6_family = AF_INET6;
  in6->sin6_port = portNet;
  if (addr != nullptr) memcpy(&in6->sin6_addr, addr, 16);
  return sizeof(sockaddr_in6);
}

bool SplitSockAddr(int32_t family, const sockaddr_storage& sa, socklen_t len, WEQ_RAW* addr,
                   uint16_t* portNet) {
  if (family == SI_AF_INET) {
    if (sa.ss_family != AF_INET || len != sizeof(sockaddr_in)) return false;
    const auto& in = reinterpret_cast<const sockaddr_in&>(sa);
    if (addr != nullptr) memcpy(addr, &in.sin_addr, 4);
    if (portNet != nullptr) *portNet = in.sin_port;
    return true;
  }
  if (sa.ss_family != AF_INET6 || len != sizeof(sockaddr_in6)) return false;
  const auto& in6 = reinterpret_cast<const sockaddr_in6&>(sa);
  if (addr != nullptr) memcpy(addr, &in6.sin6_addr, 16);
  if (portNet != nullptr) *portNet = in6.sin6_port;
  return true;
}

SI_RC Fail(SI_SOCKET* pSock, SiOpClass op, int err) {
  pSock->sysErr = err;
  return SiIMapErrno(op, err);
}

SI_RC Intern(SI_SOCKET* pSock) {
  pSock->sysErr = SI_ERR_INTERNAL;
  return SI_EINTERN;
}

}  // namespace si

using namespace si;

// --- Test seam -------------------------------------------------------------------------

namespace {

struct Armed {
  std::atomic<uint32_t> left{0};
  std::atomic<SI_RC> rc{0};
  std::atomic<int32_t> err{0};
  std::atomic<uint64_t> calls{0};
};

Armed gArmed[SI_FN_COUNT];
std::atomic<uint32_t> gArmedAny{0};

}  // namespace

void SiITestFail(uint16_t fn, uint32_t n, SI_RC rc, int32_t err) {
  if (fn >= SI_FN_COUNT) return;
  gArmed[fn].rc.store(rc);
  gArmed[fn].err.store(err);
  uint32_t old = gArmed[fn].left.exchange(n);
  if (old == 0 && n != 0) gArmedAny.fetch_add(1);
  if (old != 0 && n == 0) gArmedAny.fetch_sub(1);
}

void SiITestReset(void) {
  for (uint16_t fn = 0; fn < SI_FN_COUNT; ++fn) {
    SiITestFail(fn, 0, 0, 0);
    gArmed[fn].calls.store(0);
  }
}

uint64_t SiITestCalls(uint16_t fn) { return fn < SI_FN_COUNT ? gArmed[fn].calls.load() : 0; }

bool SiITestHit(uint16_t fn, SI_RC* rc, int32_t* err) {
  Armed& a = gArmed[fn];
  a.calls.fetch_add(1, std::memory_order_relaxed);
  if (gArmedAny.load(std::memory_order_relaxed) == 0) return false;
  uint32_t left = a.left.load();
  while (left != 0) {
    if (a.left.compare_exchange_weak(left, left - 1)) {
      if (left == 1) gArmedAny.fetch_sub(1);
      *rc = a.rc.load();
      *err = a.err.load();
      return true;
    }
  }
  return false;
}

void SiITestSetPoll(bool available) { gPollAvailable.store(available); }

void SiITestForgetStart(void) {
  gInit.store(false);
  gPollDecided.store(false);
  gPollAvailable.store(false);
}

// --- Life of the layer -----------------------------------------------------------------

SI_RC SiInit(int32_t* pErr) {
  SI_RC rc;
  int32_t err;
  if (SiITestHit(SI_FN_INIT, &rc, &err)) {
    if (pErr != nullptr) *pErr = err;
    return rc;
  }
  if (gInit.load()) return SI_OK;
  gInit.store(true);
  ThrCSInit(&gSiCS, u"SI section");
  Lock();
  gSets.pendingCount = 0;
  gSets.pendingSeen.store(0);
  gSets.brokenCount = 0;
  Unlock();
  // The QoS start stands for the platform's socket start; it cannot fail
  // here, but its result is honoured.
  if (SiQosInit() != 0) {
    gInit.store(false);
    if (pErr != nullptr) *pErr = errno;
    return SI_ESYSCALL;
  }
  if (!gPollDecided.exchange(true)) gPollAvailable.store(getenv("NOPOLL") == nullptr);
  return SI_OK;
}

SI_RC SiExit(int32_t* pErr) {
  SI_RC rc;
  int32_t err;
  if (SiITestHit(SI_FN_EXIT, &rc, &err)) {
    if (pErr != nullptr) *pErr = err;
    return rc;
  }
  if (!gInit.exchange(false)) return SI_OK;
  // The lock stays usable: a zero-filled section would set itself up
  // again, and sockets closed after the end still leave the sets.
  return SI_OK;
}

int SiPollAvailable(void) { return gPollAvailable.load() ? 1 : 0; }

// --- Sockets -----------------------------------------------------------------------------

#define SI_SEAM(fn, pSock)                          \
  do {                                              \
    SI_RC seamRc_;                                  \
    int32_t seamErr_;                               \
    if (SiITestHit((fn), &seamRc_, &seamErr_)) {    \
      (pSock)->sysErr = seamErr_;                   \
      return seamRc_;                               \
    }                                               \
  } while (0)

SI_RC SiSocket(int32_t family, int32_t type, int32_t protocol, SI_SOCKET* pSock) {
  SI_SEAM(SI_FN_SOCKET, pSock);
  int domain = family == SI_AF_INET ? AF_INET : family == SI_AF_INET6 ? AF_INET6 : -1;
  int kind = type == SI_SOCK_STREAM ? SOCK_STREAM
             : type == SI_SOCK_DGRAM ? SOCK_DGRAM
             : type == SI_SOCK_RAW   ? SOCK_RAW
                                     : -1;
  if (domain < 0) return Fail(pSock, SI_OPC_SOCKET, EAFNOSUPPORT);
  if (kind < 0) return Fail(pSock, SI_OPC_SOCKET, ESOCKTNOSUPPORT);
  // Quality of service would choose the protocol entry of stream sockets;
  // it is never active here, so every socket comes from socket(2).
  (void)SiQosActive();
  int fd = socket(domain, kind | SOCK_CLOEXEC, protocol);
  if (fd < 0) return Fail(pSock, SI_OPC_SOCKET, errno);
  *pSock = SI_SOCKET{fd, family, type, 0};
  return SI_OK;
}

SI_RC SiBind(SI_SOCKET* pSock, const WEQ_RAW* pAddr, uint32_t addrLen, const uint16_t* pPort) {
  SI_SEAM(SI_FN_BIND, pSock);
  if (!FamilyOk(pSock)) return SI_EINVAL_FAMI;
  if (pAddr != nullptr && addrLen != AddrBytes(pSock->family)) return Intern(pSock);
  sockaddr_storage sa;
  socklen_t len = MakeSockAddr(pSock->family, pAddr, pPort != nullptr ? *pPort : 0, &sa);
  if (bind(pSock->socketNo, reinterpret_cast<sockaddr*>(&sa), len) != 0) {
    return Fail(pSock, SI_OPC_BIND, errno);
  }
  return SI_OK;
}

SI_RC SiListen(SI_SOCKET* pSock, int32_t backlog) {
  SI_SEAM(SI_FN_LISTEN, pSock);
  if (listen(pSock->socketNo, backlog) != 0) return Fail(pSock, SI_OPC_PLAIN, errno);
  return SI_OK;
}

SI_RC SiConnect(SI_SOCKET* pSock, const WEQ_RAW* pAddr, uint32_t addrLen, const uint16_t* pPort) {
  SI_SEAM(SI_FN_CONNECT, pSock);
  if (!FamilyOk(pSock)) return SI_EINVAL_FAMI;
  if (pAddr == nullptr || pPort == nullptr) return Fail(pSock, SI_OPC_CONNECT, EINVAL);
  if (addrLen != AddrBytes(pSock->family)) return Intern(pSock);
  sockaddr_storage sa;
  socklen_t len = MakeSockAddr(pSock->family, pAddr, *pPort, &sa);
  if (connect(pSock->socketNo, reinterpret_cast<sockaddr*>(&sa), len) == 0) return SI_OK;
  SI_RC rc = Fail(pSock, SI_OPC_CONNECT, errno);
  if (rc == SI_ECONN_INPROG) {
    Lock();
    gSets.AddPending(pSock->socketNo);
    Unlock();
  }
  return rc;
}

namespace {

// Only with a quality-of-service entry: a scratch socket tells whether the
// peer is one of this host's addresses; the flow settings that would then
// be set have no counterpart here.
void SiAcceptQos(SI_SOCKET* pNew, const sockaddr_storage& peer, socklen_t peerLen) {
  if (!SiQosActive()) return;
  int scratch = socket(peer.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (scratch < 0) return;
  sockaddr_storage local = peer;
  if (local.ss_family == AF_INET) reinterpret_cast<sockaddr_in&>(local).sin_port = 0;
  if (local.ss_family == AF_INET6) reinterpret_cast<sockaddr_in6&>(local).sin6_port = 0;
  bool own = bind(scratch, reinterpret_cast<sockaddr*>(&local), peerLen) == 0;
  close(scratch);
  if (own) pNew->sysErr = SI_ERR_INTERNAL;
}

}  // namespace

SI_RC SiAccept(SI_SOCKET* pListenSock, WEQ_RAW* pAddr, uint32_t addrLen, uint16_t* pPort,
               SI_SOCKET* pNewSock) {
  SI_SEAM(SI_FN_ACCEPT, pListenSock);
  if (!FamilyOk(pListenSock)) return SI_EINVAL_FAMI;
  if (pAddr != nullptr && addrLen < AddrBytes(pListenSock->family)) return Intern(pListenSock);
  // An accepted socket takes the listen socket's blocking mode, as callers
  // of this layer expect.
  int flags = fcntl(pListenSock->socketNo, F_GETFL);
  if (flags < 0) return Fail(pListenSock, SI_OPC_ACCEPT, errno);
  sockaddr_storage sa;
  socklen_t len = sizeof(sa);
  int fd = accept4(pListenSock->socketNo, reinterpret_cast<sockaddr*>(&sa), &len,
                   SOCK_CLOEXEC | ((flags & O_NONBLOCK) != 0 ? SOCK_NONBLOCK : 0));
  if (fd < 0) return Fail(pListenSock, SI_OPC_ACCEPT, errno);
  if (!SplitSockAddr(pListenSock->family, sa, len, pAddr, pPort)) {
    close(fd);
    return Intern(pListenSock);
  }
  *pNewSock = SI_SOCKET{fd, pListenSock->family, pListenSock->type, 0};
  SiAcceptQos(pNewSock, sa, len);
  return SI_OK;
}

SI_RC SiSend(SI_SOCKET* pSock, const void* data, uint32_t length, int32_t flags, uint32_t* pSent) {
  SI_SEAM(SI_FN_SEND, pSock);
  ssize_t n = send(pSock->socketNo, data, length, flags | MSG_NOSIGNAL);
  if (n < 0) return Fail(pSock, SI_OPC_SEND, errno);
  if (pSent != nullptr) *pSent = static_cast<uint32_t>(n);
  return SI_OK;
}

SI_RC SiSendV(SI_SOCKET* pSock, const SI_IOVEC* vector, uint32_t count, uint32_t* pSent) {
  SI_SEAM(SI_FN_SENDV, pSock);
  iovec small[2];
  iovec* iov = small;
  if (count > 2) {
    iov = static_cast<iovec*>(malloc(count * sizeof(iovec)));
    if (iov == nullptr) {
      pSock->sysErr = SI_ERR_INTERNAL;
      return SI_EMEMORY;
    }
  }
  for (uint32_t i = 0; i < count; ++i) {
    iov[i].iov_base = const_cast<void*>(vector[i].data);
    iov[i].iov_len = vector[i].length;
  }
  msghdr msg{};
  msg.msg_iov = iov;
  msg.msg_iovlen = count;
  ssize_t n = sendmsg(pSock->socketNo, &msg, MSG_NOSIGNAL);
  int err = errno;
  if (iov != small) free(iov);
  if (n < 0) return Fail(pSock, SI_OPC_SEND, err);
  if (pSent != nullptr) *pSent = static_cast<uint32_t>(n);
  return SI_OK;
}

SI_RC SiSendTo(SI_SOCKET* pSock, const void* data, uint32_t length, int32_t flags,
               const WEQ_RAW* pAddr, uint32_t addrLen, const uint16_t* pPort, uint32_t* pSent) {
  SI_SEAM(SI_FN_SENDTO, pSock);
  if (!FamilyOk(pSock)) return SI_EINVAL_FAMI;
  if (pAddr == nullptr || addrLen != AddrBytes(pSock->family)) return Intern(pSock);
  if (pPort == nullptr) return Fail(pSock, SI_OPC_SENDTO, EINVAL);
  sockaddr_storage sa;
  socklen_t len = MakeSockAddr(pSock->family, pAddr, *pPort, &sa);
  ssize_t n = sendto(pSock->socketNo, data, length, flags | MSG_NOSIGNAL,
                     reinterpret_cast<sockaddr*>(&sa), len);
  if (n < 0) return Fail(pSock, SI_OPC_SENDTO, errno);
  if (pSent != nullptr) *pSent = static_cast<uint32_t>(n);
  return SI_OK;
}

SI_RC SiRecv(SI_SOCKET* pSock, void* buffer, uint32_t length, int32_t flags, uint32_t* pReceived) {
  SI_SEAM(SI_FN_RECV, pSock);
  ssize_t n = recv(pSock->socketNo, buffer, length, flags);
  if (n < 0) return Fail(pSock, SI_OPC_RECV, errno);
  if (pReceived != nullptr) *pReceived = static_cast<uint32_t>(n);
  return SI_OK;
}

SI_RC SiRecvFrom(SI_SOCKET* pSock, void* buffer, uint32_t length, int32_t flags, WEQ_RAW* pAddr,
                 uint32_t addrLen, uint16_t* pPort, uint32_t* pReceived) {
  SI_SEAM(SI_FN_RECVFROM, pSock);
  if (!FamilyOk(pSock)) return SI_EINVAL_FAMI;
  if (pAddr != nullptr && addrLen < AddrBytes(pSock->family)) return Intern(pSock);
  sockaddr_storage sa;
  socklen_t len = sizeof(sa);
  ssize_t n = recvfrom(pSock->socketNo, buffer, length, flags, reinterpret_cast<sockaddr*>(&sa), &len);
  if (n < 0) return Fail(pSock, SI_OPC_RECVFROM, errno);
  if (!SplitSockAddr(pSock->family, sa, len, pAddr, pPort)) return Intern(pSock);
  if (pReceived != nullptr) *pReceived = static_cast<uint32_t>(n);
  return SI_OK;
}

namespace {

SI_RC NameOf(SI_SOCKET* pSock, bool peer, WEQ_RAW* pAddr, uint32_t addrLen, uint16_t* pPort) {
  if (!FamilyOk(pSock)) return SI_EINVAL_FAMI;
  if (pAddr != nullptr && addrLen < AddrBytes(pSock->family)) return Intern(pSock);
  sockaddr_storage sa;
  socklen_t len = sizeof(sa);
  int r = peer ? getpeername(pSock->socketNo, reinterpret_cast<sockaddr*>(&sa), &len)
               : getsockname(pSock->socketNo, reinterpret_cast<sockaddr*>(&sa), &len);
  if (r != 0) return Fail(pSock, peer ? SI_OPC_PEERNAME : SI_OPC_PLAIN, errno);
  if (!SplitSockAddr(pSock->family, sa, len, pAddr, pPort)) return Intern(pSock);
  return SI_OK;
}

}  // namespace

SI_RC SiGetSockName(SI_SOCKET* pSock, WEQ_RAW* pAddr, uint32_t addrLen, uint16_t* pPort) {
  SI_SEAM(SI_FN_GETSOCKNAME, pSock);
  return NameOf(pSock, false, pAddr, addrLen, pPort);
}

SI_RC SiGetPeerName(SI_SOCKET* pSock, WEQ_RAW* pAddr, uint32_t addrLen, uint16_t* pPort) {
  SI_SEAM(SI_FN_GETPEERNAME, pSock);
  return NameOf(pSock, true, pAddr, addrLen, pPort);
}

// --- Options ------------------------------------------------------------------------------

namespace {

enum class OptKind : uint8_t {
  kInt,         // 32-bit value, 4 bytes to the system
  kBool,        // one byte 0/1, a 4-byte integer to the system
  kInverseBool, // as kBool, the system's option meaning the opposite
  kIfAddr,      // IPv4 multicast interface: 4 address bytes
  kMreq4,       // group and interface, 4 + 4 bytes
  kMreq6,       // 16-byte group and 32-bit interface index
  kLinger,      // on flag and 16-bit time
  kGetInt,      // 32-bit value, get only
};

struct OptRow {
  int32_t level, option;
  int sysLevel, sysOption;
  OptKind kind;
};

constexpr OptRow kOpts[] = {
    {SI_IPPROTO_IP, SI_IP_MULTICAST_IF, IPPROTO_IP, IP_MULTICAST_IF, OptKind::kIfAddr},
    {SI_IPPROTO_IP, SI_IP_MULTICAST_TTL, IPPROTO_IP, IP_MULTICAST_TTL, OptKind::kInt},
    {SI_IPPROTO_IP, SI_IP_MULTICAST_LOOP, IPPROTO_IP, IP_MULTICAST_LOOP, OptKind::kBool},
    {SI_IPPROTO_IP, SI_IP_ADD_MEMBERSHIP, IPPROTO_IP, IP_ADD_MEMBERSHIP, OptKind::kMreq4},
    {SI_IPPROTO_IP, SI_IP_DROP_MEMBERSHIP, IPPROTO_IP, IP_DROP_MEMBERSHIP, OptKind::kMreq4},
    {SI_IPPROTO_TCP, SI_TCP_NODELAY, IPPROTO_TCP, TCP_NODELAY, OptKind::kBool},
    {SI_IPPROTO_IPV6, SI_IP_MULTICAST_IF, IPPROTO_IPV6, IPV6_MULTICAST_IF, OptKind::kInt},
    {SI_IPPROTO_IPV6, SI_IP_MULTICAST_TTL, IPPROTO_IPV6, IPV6_MULTICAST_HOPS, OptKind::kInt},
    {SI_IPPROTO_IPV6, SI_IP_MULTICAST_LOOP, IPPROTO_IPV6, IPV6_MULTICAST_LOOP, OptKind::kBool},
    {SI_IPPROTO_IPV6, SI_IPV6_V6ONLY, IPPROTO_IPV6, IPV6_V6ONLY, OptKind::kBool},
    {SI_IPPROTO_IPV6, SI_IP_ADD_MEMBERSHIP, IPPROTO_IPV6, IPV6_ADD_MEMBERSHIP, OptKind::kMreq6},
    {SI_IPPROTO_IPV6, SI_IP_DROP_MEMBERSHIP, IPPROTO_IPV6, IPV6_DROP_MEMBERSHIP, OptKind::kMreq6},
    {SI_SOL_SOCKET, SI_SO_REUSEADDR, SOL_SOCKET, SO_REUSEADDR, OptKind::kBool},
    {SI_SOL_SOCKET, SI_SO_KEEPALIVE, SOL_SOCKET, SO_KEEPALIVE, OptKind::kBool},
    // Exclusive use of an address is what a socket without address reuse
    // has here.
    {SI_SOL_SOCKET, SI_SO_EXCLUSIVEADDRUSE, SOL_SOCKET, SO_REUSEADDR, OptKind::kInverseBool},
    {SI_SOL_SOCKET, SI_SO_LINGER, SOL_SOCKET, SO_LINGER, OptKind::kLinger},
    {SI_SOL_SOCKET, SI_SO_SNDBUF, SOL_SOCKET, SO_SNDBUF, OptKind::kInt},
    {SI_SOL_SOCKET, SI_SO_RCVBUF, SOL_SOCKET, SO_RCVBUF, OptKind::kInt},
    {SI_SOL_SOCKET, SI_SO_SNDLOWAT, SOL_SOCKET, SO_SNDLOWAT, OptKind::kInt},
    {SI_SOL_SOCKET, SI_SO_RCVLOWAT, SOL_SOCKET, SO_RCVLOWAT, OptKind::kInt},
    {SI_SOL_SOCKET, SI_SO_ERROR, SOL_SOCKET, SO_ERROR, OptKind::kGetInt},
};

const OptRow* FindOpt(int32_t level, int32_t option) {
  for (const OptRow& r : kOpts) {
    if (r.level == level && r.option == option) return &r;
  }
  return nullptr;
}

// The system's answer of len bytes where want were expected: a 1-byte
// answer stands for a 4-byte one.
bool AnswerFits(socklen_t len, socklen_t want) { return len == want || (want == 4 && len == 1); }

int32_t AnswerInt(const unsigned char* buf, socklen_t len) {
  if (len == 1) return buf[0];
  int32_t v;
  memcpy(&v, buf, 4);
  return v;
}

}  // namespace

SI_RC SiGetSockOpt(SI_SOCKET* pSock, int32_t level, int32_t option, SI_OPTVAL* pValue) {
  SI_SEAM(SI_FN_GETSOCKOPT, pSock);
  const OptRow* row = FindOpt(level, option);
  if (row == nullptr) {
    pSock->sysErr = SI_ERR_OPTION;
    return SI_EINVAL_OPT;
  }
  if (pValue == nullptr || pValue->pValue1 == nullptr) return Fail(pSock, SI_OPC_GETOPT, EINVAL);
  alignas(8) unsigned char buf[32] = {};
  socklen_t want = 4;
  switch (row->kind) {
    case OptKind::kIfAddr:
      if (pValue->length1 < 4) return Intern(pSock);
      break;
    case OptKind::kMreq4:
      if (pValue->length1 < 4 || pValue->pValue2 == nullptr || pValue->length2 < 4) return Intern(pSock);
      want = sizeof(ip_mreq);
      break;
    case OptKind::kMreq6:
      if (pValue->length1 < 16 || pValue->pValue2 == nullptr) return Intern(pSock);
      want = sizeof(ipv6_mreq);
      break;
    case OptKind::kLinger:
      want = sizeof(linger);
      break;
    default:
      break;
  }
  socklen_t len = want;
  if (getsockopt(pSock->socketNo, row->sysLevel, row->sysOption, buf, &len) != 0) {
    return Fail(pSock, SI_OPC_GETOPT, errno);
  }
  if (!AnswerFits(len, want)) return Intern(pSock);
  switch (row->kind) {
    case OptKind::kInt:
    case OptKind::kGetInt:
    case OptKind::kIfAddr: {
      int32_t v = AnswerInt(buf, len);
      memcpy(pValue->pValue1, row->kind == OptKind::kIfAddr && len == 4 ? buf : reinterpret_cast<unsigned char*>(&v),
             4);
      break;
    }
    case OptKind::kBool:
      *static_cast<uint8_t*>(pValue->pValue1) = AnswerInt(buf, len) != 0 ? 1 : 0;
      break;
    case OptKind::kInverseBool:
      *static_cast<uint8_t*>(pValue->pValue1) = AnswerInt(buf, len) != 0 ? 0 : 1;
      break;
    case OptKind::kMreq4:
      memcpy(pValue->pValue1, buf, 4);
      memcpy(pValue->pValue2, buf + 4, 4);
      break;
    case OptKind::kMreq6: {
      const auto* m = reinterpret_cast<const ipv6_mreq*>(buf);
      memcpy(pValue->pValue1, &m->ipv6mr_multiaddr, 16);
      uint32_t index = m->ipv6mr_interface;
      memcpy(pValue->pValue2, &index, 4);
      break;
    }
    case OptKind::kLinger: {
      const auto* l = reinterpret_cast<const linger*>(buf);
      *static_cast<uint8_t*>(pValue->pValue1) = l->l_onoff != 0 ? 1 : 0;
      if (pValue->pLingerTime != nullptr) *pValue->pLingerTime = static_cast<uint16_t>(l->l_linger);
      break;
    }
  }
  return SI_OK;
}

SI_RC SiSetSockOpt(SI_SOCKET* pSock, int32_t level, int32_t option, SI_OPTVAL* pValue) {
  SI_SEAM(SI_FN_SETSOCKOPT, pSock);
  const OptRow* row = FindOpt(level, option);
  if (row == nullptr || row->kind == OptKind::kGetInt) {
    pSock->sysErr = SI_ERR_OPTION;
    return SI_EINVAL_OPT;
  }
  if (pValue == nullptr || pValue->pValue1 == nullptr) return Fail(pSock, SI_OPC_SETOPT, EINVAL);
  alignas(8) unsigned char buf[32] = {};
  socklen_t len = 4;
  switch (row->kind) {
    case OptKind::kInt:
    case OptKind::kIfAddr:
      if (pValue->length1 != 4) return Intern(pSock);
      memcpy(buf, pValue->pValue1, 4);
      break;
    case OptKind::kBool:
    case OptKind::kInverseBool: {
      if (pValue->length1 != 1) return Intern(pSock);
      bool on = *static_cast<const uint8_t*>(pValue->pValue1) != 0;
      int32_t v = (row->kind == OptKind::kInverseBool ? !on : on) ? 1 : 0;
      memcpy(buf, &v, 4);
      break;
    }
    case OptKind::kMreq4:
      if (pValue->length1 != 4 || pValue->pValue2 == nullptr || pValue->length2 != 4) return Intern(pSock);
      memcpy(buf, pValue->pValue1, 4);
      memcpy(buf + 4, pValue->pValue2, 4);
      len = sizeof(ip_mreq);
      break;
    case OptKind::kMreq6: {
      if (pValue->length1 != 16 || pValue->pValue2 == nullptr || pValue->length2 != 4) return Intern(pSock);
      ipv6_mreq m{};
      memcpy(&m.ipv6mr_multiaddr, pValue->pValue1, 16);
      uint32_t index;
      memcpy(&index, pValue->pValue2, 4);
      m.ipv6mr_interface = index;
      memcpy(buf, &m, sizeof(m));
      len = sizeof(m);
      break;
    }
    case OptKind::kLinger: {
      if (pValue->pLingerTime == nullptr) return Intern(pSock);
      linger l{};
      l.l_onoff = *static_cast<const uint8_t*>(pValue->pValue1) != 0 ? 1 : 0;
      l.l_linger = *pValue->pLingerTime;
      memcpy(buf, &l, sizeof(l));
      len = sizeof(l);
      break;
    }
    case OptKind::kGetInt:
      break;
  }
  if (setsockopt(pSock->socketNo, row->sysLevel, row->sysOption, buf, len) != 0) {
    return Fail(pSock, SI_OPC_SETOPT, errno);
  }
  return SI_OK;
}

SI_RC SiSetBlockMode(SI_SOCKET* pSock, int blocking) {
  SI_SEAM(SI_FN_SETBLOCKMODE, pSock);
  int flags = fcntl(pSock->socketNo, F_GETFL);
  if (flags < 0) return Fail(pSock, SI_OPC_PLAIN, errno);
  int want = blocking == 1 ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
  if (want != flags && fcntl(pSock->socketNo, F_SETFL, want) != 0) return Fail(pSock, SI_OPC_PLAIN, errno);
  return SI_OK;
}

SI_RC SiSetCloseExec(SI_SOCKET* pSock, int on) {
  SI_SEAM(SI_FN_SETCLOSEEXEC, pSock);
  int flags = fcntl(pSock->socketNo, F_GETFD);
  if (flags >= 0) {
    int want = on != 0 ? (flags | FD_CLOEXEC) : (flags & ~FD_CLOEXEC);
    if (want == flags || fcntl(pSock->socketNo, F_SETFD, want) == 0) return SI_OK;
  }
  pSock->sysErr = errno;
  return errno == EBADF ? SI_EINVAL_SOCK : SI_ESYSCALL;
}

SI_RC SiClose(SI_SOCKET* pSock) {
  SI_SEAM(SI_FN_CLOSE, pSock);
  Lock();
  gSets.RemovePending(pSock->socketNo);
  gSets.RemoveBroken(pSock->socketNo);
  Unlock();
  // An interrupted close has released the descriptor all the same; the
  // caller's retry could close a number another thread has been given
  // since, so EINTR counts as done.
  if (close(pSock->socketNo) != 0 && errno != EINTR) return Fail(pSock, SI_OPC_PLAIN, errno);
  return SI_OK;
}

uint16_t SiHtons(uint16_t value) { return htons(value); }
uint16_t SiNtohs(uint16_t value) { return ntohs(value); }

// --- Masks ---------------------------------------------------------------------------------

SI_FD_SET* SiFdAlloc(uint32_t capacity) {
  if (capacity < 1 || capacity > SI_FD_SETSIZE) return nullptr;
  auto* m = static_cast<SI_FD_SET*>(malloc(SI_FD_SET_BYTES(capacity)));
  if (m == nullptr) return nullptr;
  m->fd_count = 0;
  m->fd_capacity = capacity;
  return m;
}

void SiFdFree(SI_FD_SET* mask) { free(mask); }

void SiFdZero(SI_FD_SET* mask) { mask->fd_count = 0; }

void SiFdSet(const SI_SOCKET* pSock, SI_FD_SET* mask, uint32_t capacity) {
  uint32_t cap = std::min(capacity, mask->fd_capacity);
  if (!SortedInsert(mask->fd_array, &mask->fd_count, cap, pSock->socketNo, nullptr)) {
    DPTRC_WARNING(CTrcGlobalHdl.load(), u"select mask %p full (%d)\n", static_cast<const void*>(mask),
                  static_cast<int32_t>(mask->fd_count));
  }
}

void SiFdClr(const SI_SOCKET* pSock, SI_FD_SET* mask) {
  SortedErase(mask->fd_array, &mask->fd_count, pSock->socketNo, nullptr);
}

int SiFdIsSet(const SI_SOCKET* pSock, const SI_FD_SET* mask) {
  int64_t* first = const_cast<int64_t*>(mask->fd_array);
  return Find(first, first + mask->fd_count, pSock->socketNo) != nullptr ? 1 : 0;
}

int SiFdCompare(const void* a, const void* b) {
  int32_t x = static_cast<int32_t>(*static_cast<const int64_t*>(a));
  int32_t y = static_cast<int32_t>(*static_cast<const int64_t*>(b));
  return x < y ? -1 : x > y ? 1 : 0;
}

// --- Connect sets for tests ------------------------------------------------------------------

bool SiIIsPending(int32_t socketNo) {
  Lock();
  bool r = gSets.IsPending(socketNo);
  Unlock();
  return r;
}

bool SiIIsBroken(int32_t socketNo, int32_t* pErr) {
  Lock();
  bool r = gSets.IsBroken(socketNo, pErr);
  Unlock();
  return r;
}

uint32_t SiIPendingCount(void) {
  Lock();
  uint32_t n = gSets.pendingCount;
  Unlock();
  return n;
}

uint32_t SiIBrokenCount(void) {
  Lock();
  uint32_t n = gSets.brokenCount;
  Unlock();
  return n;
}
