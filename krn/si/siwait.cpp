// Socket layer: waiting. Select masks, single-socket peeks and the outcome
// of connects in progress all run over poll(2), which has no limit on
// descriptor numbers.
#include <errno.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <new>
#include <vector>

#include "krn/dptrc/dptrc.h"
#include "krn/perf/pfclock.h"
#include "krn/si/si.h"
#include "krn/si/si_int.h"

using namespace si;

namespace {

constexpr short kReadReady = POLLIN | POLLHUP | POLLERR;
constexpr short kWriteReady = POLLOUT | POLLERR | POLLHUP;

// Poll entries on the stack up to this many sockets, else on the heap.
constexpr uint32_t kStackFds = 64;

// A poll array that lives on the stack while small.
class PollArray {
 public:
  ~PollArray() {
    if (heap_ != nullptr) free(heap_);
  }
  bool Reserve(size_t n) {
    if (n <= kStackFds) return true;
    heap_ = static_cast<pollfd*>(malloc(n * sizeof(pollfd)));
    data_ = heap_;
    return heap_ != nullptr;
  }
  pollfd* data() { return data_; }

 private:
  pollfd small_[kStackFds];
  pollfd* heap_ = nullptr;
  pollfd* data_ = small_;
};

using Clock = std::chrono::steady_clock;

// Milliseconds left of a wait that started at start; negative timeouts wait
// without limit.
int Remaining(int32_t timeoutMs, Clock::time_point start) {
  if (timeoutMs < 0) return -1;
  auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  return spent >= timeoutMs ? 0 : static_cast<int>(timeoutMs - spent);
}

void SleepFor(int32_t timeoutMs) { NT_SleepMs(timeoutMs < 0 ? NT_SLEEP_INFINITE : static_cast<uint32_t>(timeoutMs)); }

uint32_t CountOf(const SI_FD_SET* m) { return m != nullptr ? m->fd_count : 0; }

bool IsSorted(const SI_FD_SET* m) {
  return m == nullptr || std::is_sorted(m->fd_array, m->fd_array + m->fd_count,
                                        [](int64_t a, int64_t b) { return static_cast<int32_t>(a) < static_cast<int32_t>(b); });
}

// One poll entry per distinct socket of the three masks, in ascending
// order, requesting POLLIN for the read mask, POLLOUT for the write mask
// and POLLPRI for the except mask. Returns the number of entries.
uint32_t BuildPoll(SI_FD_SET* const masks[3], pollfd* out) {
  static constexpr short kEv[3] = {POLLIN, POLLOUT, POLLPRI};
  uint32_t n = 0;
  if (IsSorted(masks[0]) && IsSorted(masks[1]) && IsSorted(masks[2])) {
    uint32_t at[3] = {0, 0, 0};
    for (;;) {
      int64_t low = INT64_MAX;
      for (int k = 0; k < 3; ++k) {
        if (at[k] < CountOf(masks[k])) low = std::min(low, static_cast<int64_t>(static_cast<int32_t>(masks[k]->fd_array[at[k]])));
      }
      if (low == INT64_MAX) break;
      pollfd& p = out[n++];
      p.fd = static_cast<int>(low);
      p.events = 0;
      p.revents = 0;
      for (int k = 0; k < 3; ++k) {
        while (at[k] < CountOf(masks[k]) && static_cast<int32_t>(masks[k]->fd_array[at[k]]) == low) {
          p.events |= kEv[k];
          ++at[k];
        }
      }
    }
    return n;
  }
  // Masks in any order (the plain wait): gather, sort, merge duplicates.
  for (int k = 0; k < 3; ++k) {
    for (uint32_t i = 0; i < CountOf(masks[k]); ++i) {
      out[n++] = pollfd{static_cast<int32_t>(masks[k]->fd_array[i]), kEv[k], 0};
    }
  }
  std::sort(out, out + n, [](const pollfd& a, const pollfd& b) { return a.fd < b.fd; });
  uint32_t w = 0;
  for (uint32_t i = 0; i < n; ++i) {
    if (w > 0 && out[w - 1].fd == out[i].fd) {
      out[w - 1].events |= out[i].events;
    } else {
      out[w++] = out[i];
    }
  }
  return w;
}

// Appends socketNo to a mask being refilled in ascending order, within
// its capacity.
void Append(SI_FD_SET* m, int32_t socketNo) {
  if (m != nullptr && m->fd_count < m->fd_capacity) m->fd_array[m->fd_count++] = socketNo;
}

// Waits on the poll array; SI_OK, or the failure with *err.
SI_RC PollWait(pollfd* fds, uint32_t n, int32_t timeoutMs, int* ready, int* err) {
  int r = poll(fds, n, timeoutMs < 0 ? -1 : timeoutMs);
  if (r < 0) {
    *err = errno;
    return SiIMapErrno(SI_OPC_SELECT, *err);
  }
  for (uint32_t i = 0; i < n; ++i) {
    if ((fds[i].revents & POLLNVAL) != 0) {
      *err = EBADF;
      return SI_EINVAL_SOCK;
    }
  }
  *ready = r;
  return SI_OK;
}

// The error a connect in progress failed with, read once: SO_ERROR is
// cleared by reading it.
int32_t TakeSoError(int fd) {
  int value = 0;
  socklen_t len = sizeof(value);
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &value, &len) != 0) return 0;
  return value;
}

// Whether a connect in progress is over and failed, judging the poll
// result; *err receives the error (0 when it was not readable).
bool ConnectFailed(const pollfd& p, int32_t* err) {
  *err = 0;
  if ((p.revents & (POLLERR | POLLHUP)) != 0) {
    *err = TakeSoError(p.fd);
    return true;
  }
  if ((p.revents & POLLOUT) != 0) {
    *err = TakeSoError(p.fd);
    return *err != 0;
  }
  return false;
}

void TraceSelectFault(int err, int32_t maxFDp1, const SI_FD_SET* r, const SI_FD_SET* w, const SI_FD_SET* e,
                      int32_t timeoutMs) {
  CTRC_HDL h = CTrcGlobalHdl.load();
  DPTRC_ERROR(h, u"select %d\n", err);
  DpTrcLock();
  const void* tmo = timeoutMs >= 0 ? &timeoutMs : nullptr;
  DpTrc(h, u"maxFDp1:    %d\n", maxFDp1);
  DpTrc(h, u"pReadSet:   %p\n", static_cast<const void*>(r));
  DpTrc(h, u"pWriteSet:  %p\n", static_cast<const void*>(w));
  DpTrc(h, u"pExceptSet: %p\n", static_cast<const void*>(e));
  DpTrc(h, u"pTimeout:   %p\n", tmo);
  DpTrc(h, u"\n");
  DpTrc(h, u"gPendingConnSet.fd_count: %d\n", static_cast<int32_t>(gSets.pendingSeen.load()));
  if (r != nullptr) DpTrc(h, u"pReadSet->fd_count:       %d\n", static_cast<int32_t>(r->fd_count));
  if (w != nullptr) DpTrc(h, u"pWriteSet->fd_count:      %d\n", static_cast<int32_t>(w->fd_count));
  if (e != nullptr) DpTrc(h, u"pExceptSet->fd_count:     %d\n", static_cast<int32_t>(e->fd_count));
  if (tmo != nullptr) {
    DpTrc(h, u"pTimeout->tv_sec:         %d\n", timeoutMs / 1000);
    DpTrc(h, u"pTimeout->tv_usec:        %d\n", (timeoutMs % 1000) * 1000);
  }
  DpTrc(h, u"\n");
  DpTrcUnlock();
}

// The select engine of SiSelect (bookkeeping true) and SiSelectInt.
SI_RC Select(bool bookkeeping, int32_t maxFDp1, SI_FD_SET* pRead, SI_FD_SET* pWrite, SI_FD_SET* pExcept,
             int32_t timeoutMs, int32_t* pCount, int32_t* pErrno) {
  uint32_t total = CountOf(pRead) + CountOf(pWrite) + CountOf(pExcept);
  if (total == 0) {
    SleepFor(timeoutMs);
    if (pCount != nullptr) *pCount = 0;
    return SI_OK;
  }
  // Sockets of the write mask whose connect is in progress, watched for
  // failure (ascending, as the write mask when it is sorted).
  std::vector<int32_t> watched;
  if (bookkeeping && pWrite != nullptr && gSets.pendingSeen.load(std::memory_order_relaxed) != 0) {
    Lock();
    for (uint32_t i = 0; i < pWrite->fd_count; ++i) {
      int32_t s = static_cast<int32_t>(pWrite->fd_array[i]);
      if (gSets.IsPending(s)) watched.push_back(s);
    }
    Unlock();
    std::sort(watched.begin(), watched.end());
  }
  PollArray fds;
  if (!fds.Reserve(total)) {
    if (pErrno != nullptr) *pErrno = ENOMEM;
    return SI_EMEMORY;
  }
  SI_FD_SET* const masks[3] = {pRead, pWrite, pExcept};
  uint32_t n = BuildPoll(masks, fds.data());
  int ready = 0, err = 0;
  SI_RC rc = PollWait(fds.data(), n, timeoutMs, &ready, &err);
  if (rc != SI_OK) {
    if (pErrno != nullptr) *pErrno = err;
    if (bookkeeping && err == EFAULT) {
      TraceSelectFault(err, maxFDp1, pRead, pWrite, pExcept, timeoutMs);
      return SI_ESYSCALL;
    }
    return rc;
  }
  // Refill the masks in ascending order with what is ready.
  if (pRead != nullptr) pRead->fd_count = 0;
  if (pWrite != nullptr) pWrite->fd_count = 0;
  if (pExcept != nullptr) pExcept->fd_count = 0;
  std::vector<std::pair<int32_t, int32_t>> failed;
  for (uint32_t i = 0; i < n; ++i) {
    const pollfd& p = fds.data()[i];
    bool pending = !watched.empty() && std::binary_search(watched.begin(), watched.end(), p.fd);
    int32_t connErr = 0;
    bool connFailed = pending && ConnectFailed(p, &connErr);
    if (connFailed) {
      // Seen as readable and writable, so that the caller's next read,
      // write or SiPeekPendConn reports the failure.
      failed.emplace_back(p.fd, connErr);
      Append(pRead, p.fd);
      Append(pWrite, p.fd);
      if ((p.events & POLLPRI) != 0) Append(pExcept, p.fd);
      continue;
    }
    if ((p.events & POLLIN) != 0 && (p.revents & kReadReady) != 0) Append(pRead, p.fd);
    if ((p.events & POLLOUT) != 0) {
      short want = pending ? POLLOUT : kWriteReady;
      if ((p.revents & want) != 0) Append(pWrite, p.fd);
    }
    if ((p.events & POLLPRI) != 0) {
      short want = bookkeeping ? POLLPRI : (POLLPRI | POLLERR);
      if ((p.revents & want) != 0) Append(pExcept, p.fd);
    }
  }
  if (!failed.empty()) {
    Lock();
    for (const auto& [s, e] : failed) {
      if (gSets.RemovePending(s)) gSets.AddBroken(s, e);
    }
    Unlock();
  }
  if (pCount != nullptr) *pCount = static_cast<int32_t>(CountOf(pRead) + CountOf(pWrite) + CountOf(pExcept));
  return SI_OK;
}

}  // namespace

SI_RC SiSelect(int32_t maxFDp1, SI_FD_SET* pReadSet, SI_FD_SET* pWriteSet, SI_FD_SET* pExceptSet,
               int32_t timeoutMs, int32_t* pCount, int32_t* pErrno) {
  SI_RC rc;
  int32_t err;
  if (SiITestHit(SI_FN_SELECT, &rc, &err)) {
    if (pErrno != nullptr) *pErrno = err;
    return rc;
  }
  try {
    return Select(true, maxFDp1, pReadSet, pWriteSet, pExceptSet, timeoutMs, pCount, pErrno);
  } catch (const std::bad_alloc&) {
    if (pErrno != nullptr) *pErrno = ENOMEM;
    return SI_EMEMORY;
  }
}

SI_RC SiSelectInt(int32_t maxFDp1, SI_FD_SET* pReadSet, SI_FD_SET* pWriteSet, SI_FD_SET* pExceptSet,
                  int32_t timeoutMs, int32_t* pCount, int32_t* pErrno) {
  return Select(false, maxFDp1, pReadSet, pWriteSet, pExceptSet, timeoutMs, pCount, pErrno);
}

// --- Poll ------------------------------------------------------------------------------

namespace {

struct BitPair {
  int16_t si;
  short sys;
};

// Requested and returned bits; read band data is what the system calls
// priority data.
constexpr BitPair kPollBits[] = {
    {SI_POLLRDNORM, POLLIN},   {SI_POLLRDBAND, POLLPRI}, {SI_POLLPRI, POLLPRI},
    {SI_POLLWRNORM, POLLOUT},  {SI_POLLWRBAND, POLLWRBAND}, {SI_POLLERR, POLLERR},
    {SI_POLLHUP, POLLHUP},     {SI_POLLNVAL, POLLNVAL},
};

short ToSys(int16_t si) {
  short sys = 0;
  for (const BitPair& b : kPollBits) {
    if ((si & b.si) != 0) sys |= b.sys;
  }
  return sys;
}

int16_t ToSi(short sys, int16_t requested) {
  int16_t si = 0;
  for (const BitPair& b : kPollBits) {
    bool always = b.si == SI_POLLERR || b.si == SI_POLLHUP || b.si == SI_POLLNVAL;
    if ((sys & b.sys) != 0 && (always || (requested & b.si) != 0)) si |= b.si;
  }
  return si;
}

}  // namespace

SI_RC SiPoll(SI_POLL_FD* fds, uint32_t count, int32_t timeoutMs, int32_t* pCount, int32_t* pErrno) {
  SI_RC rc;
  int32_t err;
  if (SiITestHit(SI_FN_POLL, &rc, &err)) {
    if (pErrno != nullptr) *pErrno = err;
    return rc;
  }
  if (!SiPollAvailable()) {
    if (pErrno != nullptr) *pErrno = SI_ERR_NOIMPL;
    return SI_ENOTIMPL;
  }
  if (count == 0) {
    SleepFor(timeoutMs);
    if (pCount != nullptr) *pCount = 0;
    return SI_OK;
  }
  PollArray sys;
  if (!sys.Reserve(count)) {
    if (pErrno != nullptr) *pErrno = ENOMEM;
    return SI_EMEMORY;
  }
  for (uint32_t i = 0; i < count; ++i) {
    int64_t fd = fds[i].fd;
    sys.data()[i] = pollfd{fd < 0 || fd > INT32_MAX ? -1 : static_cast<int>(fd), ToSys(fds[i].events), 0};
  }
  int r = poll(sys.data(), count, timeoutMs < 0 ? -1 : timeoutMs);
  if (r < 0) {
    if (pErrno != nullptr) *pErrno = errno;
    return SiIMapErrno(SI_OPC_POLL, errno);
  }
  for (uint32_t i = 0; i < count; ++i) fds[i].revents = ToSi(sys.data()[i].revents, fds[i].events);
  if (pCount != nullptr) *pCount = r;
  return SI_OK;
}

// --- Peeks ----------------------------------------------------------------------------

namespace {

// Polls one socket for events, repeating an interrupted wait with the time
// left. SI_OK with *revents (0 when the time ran out), or a failure with
// *err.
SI_RC PollOne(int fd, short events, int32_t timeoutMs, short* revents, int* err) {
  Clock::time_point start = Clock::now();
  for (;;) {
    pollfd p{fd, events, 0};
    int ready = 0;
    SI_RC rc = PollWait(&p, 1, Remaining(timeoutMs, start), &ready, err);
    if (rc == SI_EINTR) continue;
    if (rc != SI_OK) return rc;
    *revents = ready > 0 ? p.revents : 0;
    return SI_OK;
  }
}

}  // namespace

SI_RC SiPeek(SI_SOCKET* pSock, int mode, int32_t timeoutMs) {
  SI_RC rc;
  int32_t err;
  if (SiITestHit(SI_FN_PEEK, &rc, &err)) {
    pSock->sysErr = err;
    return rc;
  }
  short events = static_cast<short>(((mode & SI_PEEK_READ) != 0 ? POLLIN : 0) |
                                    ((mode & SI_PEEK_WRITE) != 0 ? POLLOUT : 0));
  short revents = 0;
  int sysErr = 0;
  rc = PollOne(pSock->socketNo, events, timeoutMs, &revents, &sysErr);
  if (rc != SI_OK) {
    pSock->sysErr = sysErr;
    return rc;
  }
  return revents != 0 ? SI_OK : SI_ETIMEOUT;
}

namespace {

constexpr const WEQ_UC* kPeekPend = u"SiPeekPendConn";

SI_RC BrokenCode(int32_t err) { return err == EADDRINUSE ? SI_EPORT_INUSE : SI_ECONN_REFUSE; }

// The pending error of a failed connect into sysErr: the one read when the
// failure was seen, else asked again while it reads 0.
SI_RC FetchPendingError(SI_SOCKET* pSock, int32_t known) {
  pSock->sysErr = known;
  for (int tries = 0; pSock->sysErr == 0 && tries < 100; ++tries) {
    if (tries > 0) NT_SleepMs(0);
    int32_t value = 0;
    SI_OPTVAL ov{};
    ov.pValue1 = &value;
    ov.length1 = 4;
    SI_RC rc;
    while ((rc = SiGetSockOpt(pSock, SI_SOL_SOCKET, SI_SO_ERROR, &ov)) == SI_EINTR) {
    }
    if (rc != SI_OK) {
      if (rc == SI_ESYSCALL) {
        WEQ_UC text[128];
        DPTRC_ERROR(CTrcGlobalHdl.load(), u"%s: SiGetSockOpt failed for sock %d(%d-%s)\n", kPeekPend,
                    pSock->socketNo, pSock->sysErr, SiErrText(pSock->sysErr, text, 128));
      }
      return rc;
    }
    pSock->sysErr = value;
    if (value != 0) {
      Lock();
      if (gSets.RemoveBroken(pSock->socketNo)) gSets.AddBroken(pSock->socketNo, value);
      Unlock();
    }
  }
  if (pSock->sysErr == 0) {
    DPTRC_LINE(2, CTrcGlobalHdl.load(), u"%s: could not get error code for sock %d\n", kPeekPend, pSock->socketNo);
    pSock->sysErr = SI_ERR_UNSPECIFIED;
  }
  return SI_OK;
}

}  // namespace

SI_RC SiPeekPendConn(SI_SOCKET* pSock, int32_t timeoutMs) {
  SI_RC rc;
  int32_t err;
  if (SiITestHit(SI_FN_PEEKPENDCONN, &rc, &err)) {
    pSock->sysErr = err;
    return rc;
  }
  CTRC_HDL h = CTrcGlobalHdl.load();
  int32_t s = pSock->socketNo;
  int32_t brokenErr = 0;
  Lock();
  bool pending = gSets.IsPending(s);
  bool broken = !pending && gSets.IsBroken(s, &brokenErr);
  Unlock();
  WEQ_UC text[128];
  if (pending) {
    short revents = 0;
    int sysErr = 0;
    rc = PollOne(s, POLLOUT, timeoutMs, &revents, &sysErr);
    if (rc != SI_OK) {
      if (rc == SI_EINVAL || rc == SI_EINVAL_SOCK) return rc;
      pSock->sysErr = sysErr;
      DPTRC_ERROR(h, u"%s: SiSelectInt failed for sock %d(%d-%s)\n", kPeekPend, s, sysErr,
                  SiErrText(sysErr, text, 128));
      return SI_ESYSCALL;
    }
    if (revents == 0) {
      DPTRC_LINE(3, h, u"%s: SiSelectInt timed out for sock %d (%dms)\n", kPeekPend, s, timeoutMs);
      return SI_ETIMEOUT;
    }
    pollfd p{s, POLLOUT, revents};
    int32_t connErr = 0;
    if (!ConnectFailed(p, &connErr)) {
      Lock();
      gSets.RemovePending(s);
      Unlock();
      DPTRC_LINE(3, h, u"%s: connection of sock %d established\n", kPeekPend, s);
      return SI_OK;
    }
    Lock();
    if (gSets.RemovePending(s)) gSets.AddBroken(s, connErr);
    Unlock();
    rc = FetchPendingError(pSock, connErr);
    if (rc != SI_OK) return rc;
    DPTRC_LINE(3, h, u"%s: connection of sock %d broke (%d-%s)\n", kPeekPend, s, pSock->sysErr,
               SiErrText(pSock->sysErr, text, 128));
    return BrokenCode(pSock->sysErr);
  }
  if (broken) {
    rc = FetchPendingError(pSock, brokenErr);
    if (rc != SI_OK) return rc;
    DPTRC_LINE(2, h, u"%s: connection of sock %d marked as broken (%d-%s)\n", kPeekPend, s, pSock->sysErr,
               SiErrText(pSock->sysErr, text, 128));
    return BrokenCode(pSock->sysErr);
  }
  DPTRC_LINE(2, h, u"%s: sock %d not in connecting status\n", kPeekPend, s);
  return SI_OK;
}
