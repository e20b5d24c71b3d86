// NI message I/O: framed and raw reads and writes that resume across
// time-outs, the keep-alive send and the waits on sockets.
#include "krn/ni/nimsg_int.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>

#include <atomic>
#include <thread>

#include "i18n/wequ16/u16fmt.h"
#include "i18n/wequ16/u16str.h"
#include "krn/ni/ni_int.h"
#include "krn/ni/niaddr_int.h"
#include "krn/ni/nibuf_int.h"
#include "krn/ni/nictl_int.h"
#include "krn/ni/niparam_int.h"

namespace {

constexpr const WEQ_UC* kMsgModule = u"nimsg";
constexpr const WEQ_UC* kModeText[] = {u"MESG_IO", u"RAW_IO", u"ROUT_IO"};
constexpr WEQ_RAW kPing[NI_KEEPALIVE_LEN] = {'N', 'I', '_', 'P', 'I', 'N', 'G', 0};
constexpr WEQ_RAW kPong[NI_KEEPALIVE_LEN] = {'N', 'I', '_', 'P', 'O', 'N', 'G', 0};

std::atomic<uint32_t> g_sendBlocked{0};
std::atomic<uint32_t> g_recvBlocked{0};
std::atomic<uint32_t> g_qBlocked{0};
std::atomic<int (*)(void)> g_random{nullptr};

int BuiltinRandom() {
  thread_local uint32_t state = 0;
  if (state == 0) {
    state = static_cast<uint32_t>(NiIMonoMs()) ^ static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&state));
    if (state == 0) state = 1;
  }
  state ^= state << 13;
  state ^= state >> 17;
  state ^= state << 5;
  return static_cast<int>(state & 0x7FFF);
}

int Random() {
  int (*fn)(void) = g_random.load(std::memory_order_relaxed);
  return fn != nullptr ? fn() : BuiltinRandom();
}

int MsgLvl(const NITAB* pHdl, int level) { return pHdl->mTrace ? 1 : level; }
int32_t MsgHdlNo(const NITAB* pHdl) { return pHdl->mHdl.load(std::memory_order_relaxed); }

// Whether a handle is a connection whose socket these functions may use.
bool IsListenType(uint8_t type) { return type == NI_LISTEN || type == NI_RI_LISTEN; }

NI_RC RefuseListen(int line, const WEQ_UC* fn, uint8_t type) {
  return NiIErrTrace(kMsgModule, line, 1, u"%s: parameter invalid (pHdl->mType == %s)", NIEINVAL, fn,
                     type == NI_LISTEN ? u"NI_LISTEN" : u"NI_RI_LISTEN");
}

// The thinned-out trace of a socket that would block after a wait had
// reported it ready.
void CountBlocked(std::atomic<uint32_t>* counter, const NITAB* pHdl, const WEQ_UC* fn, const WEQ_UC* op) {
  uint32_t n = counter->fetch_add(1, std::memory_order_relaxed) + 1;
  bool loud = n <= 10 || n == 100 || n == 1000 || n == 10000 || n == 100000 || n % 1000000 == 0;
  if (loud) {
    DPTRC_ERROR(NiIHdlTrc(pHdl),
                u"%s: hdl %d %s got EAGAIN after select socket successfully; call operating system-supplier "
                u"(count=%u)\n",
                fn, MsgHdlNo(pHdl), op, n);
  } else {
    DPTRC_LINE(2, NiIHdlTrc(pHdl),
               u"%s: hdl %d %s got EAGAIN after select socket successfully; call operating system-supplier "
               u"(count=%u)\n",
               fn, MsgHdlNo(pHdl), op, n);
  }
}

// --- The writing side's claim and the owed keep-alive answers -------------------------

// A copy of the handle's socket for one call: the reading and the writing
// thread each note their own system error in it, never in the shared record.
SI_SOCKET OwnSocket(const NITAB* pHdl) {
  const SI_SOCKET& s = pHdl->con.mSocket;
  return SI_SOCKET{s.socketNo, s.family, s.type, 0};
}

bool TryClaimWrite(NITAB* pHdl) { return pHdl->mWriteBusy.exchange(1, std::memory_order_acquire) == 0; }

void ClaimWrite(NITAB* pHdl) {
  // The only other claimant is a keep-alive answer, which never waits.
  while (!TryClaimWrite(pHdl)) std::this_thread::yield();
}

bool MessagePending(const NITAB* pHdl) { return pHdl->mPendHdrLenToWrite != 0 || pHdl->mPendDataLenToWrite != 0; }

// Room of the control bytes: one answer with the longest error
// information (three bytes a unit) and a few PONGs.
constexpr uint32_t kCtlCap = 2048;

// The control bytes made on first use and their unsent rest moved to the
// front; false when there is no memory for them.
bool CtlReady(NITAB* pHdl) {
  if (pHdl->mCtlOut == nullptr) {
    pHdl->mCtlOut = static_cast<WEQ_RAW*>(malloc(kCtlCap));
    if (pHdl->mCtlOut == nullptr) return false;
    pHdl->mCtlLen = pHdl->mCtlOff = 0;
  }
  if (pHdl->mCtlOff != 0) {
    memmove(pHdl->mCtlOut, pHdl->mCtlOut + pHdl->mCtlOff, pHdl->mCtlLen - pHdl->mCtlOff);
    pHdl->mCtlLen = static_cast<uint16_t>(pHdl->mCtlLen - pHdl->mCtlOff);
    pHdl->mCtlOff = 0;
  }
  return true;
}

// Appends one framed message to the control bytes when it fits.
bool CtlAppend(NITAB* pHdl, const void* pData, uint32_t dataLen) {
  if (!CtlReady(pHdl) || uint64_t{pHdl->mCtlLen} + NI_HDR_LEN + dataLen > kCtlCap) return false;
  WEQ_RAW* p = pHdl->mCtlOut + pHdl->mCtlLen;
  p[0] = static_cast<WEQ_RAW>(dataLen >> 24);
  p[1] = static_cast<WEQ_RAW>(dataLen >> 16);
  p[2] = static_cast<WEQ_RAW>(dataLen >> 8);
  p[3] = static_cast<WEQ_RAW>(dataLen);
  if (dataLen != 0) memcpy(p + NI_HDR_LEN, pData, dataLen);
  pHdl->mCtlLen = static_cast<uint16_t>(pHdl->mCtlLen + NI_HDR_LEN + dataLen);
  return true;
}

// Moves owed answers into the control bytes (claim held, no message pending).
void QueueOwedPongs(NITAB* pHdl) {
  while (pHdl->mPongOwed.load(std::memory_order_acquire) != 0) {
    uint32_t owed = pHdl->mPongOwed.load(std::memory_order_acquire);
    if (!CtlReady(pHdl) || uint32_t{pHdl->mCtlLen} + NI_HDR_LEN + NI_KEEPALIVE_LEN > kCtlCap) break;
    if (!pHdl->mPongOwed.compare_exchange_weak(owed, owed - 1, std::memory_order_acq_rel)) continue;
    CtlAppend(pHdl, kPong, NI_KEEPALIVE_LEN);
    pHdl->mCtlPong = 1;
  }
}

// Sends owed answers and control bytes without waiting (claim held, no
// message pending); what the socket does not take stays for later.
NI_RC SendControl(NITAB* pHdl) {
  static constexpr const WEQ_UC* kFn = u"NiIAnswerPing";
  SI_SOCKET own = OwnSocket(pHdl);
  SI_SOCKET* sock = &own;
  for (;;) {
    QueueOwedPongs(pHdl);
    uint32_t rest = static_cast<uint32_t>(pHdl->mCtlLen - pHdl->mCtlOff);
    if (rest == 0) return WEQ_O_K;
    uint32_t sent = 0;
    SI_RC si;
    while ((si = SiSend(sock, pHdl->mCtlOut + pHdl->mCtlOff, rest, MSG_DONTWAIT, &sent)) == SI_EINTR) {
    }
    if (si == SI_ETIMEOUT) return WEQ_O_K;
    if (si != SI_OK) {
      NI_RC rc = NiIReportSiError(si, SI_FN_SEND, pHdl, sock, sock->sysErr, nullptr, nullptr, nullptr, kFn,
                                  kMsgModule, __LINE__, 1);
      return rc == NIEINVAL ? NIEINTERN : rc;
    }
    pHdl->mCtlOff = static_cast<uint16_t>(pHdl->mCtlOff + sent);
    if (pHdl->mCtlOff == pHdl->mCtlLen) {
      pHdl->mCtlOff = pHdl->mCtlLen = 0;
      if (pHdl->mCtlPong != 0)
        DPTRC_LINE(MsgLvl(pHdl, 2), NiIHdlTrc(pHdl), u"%s: hdl %d sent %s to partner\n", kFn, MsgHdlNo(pHdl),
                   u"NI_PONG");
      pHdl->mCtlPong = 0;
    } else if (sent == 0) {
      return WEQ_O_K;
    }
  }
}

// Releases the claim, then sends what a reader left owed meanwhile.
void ReleaseWrite(NITAB* pHdl) {
  pHdl->mWriteBusy.store(0, std::memory_order_release);
  while (pHdl->mPongOwed.load(std::memory_order_acquire) != 0) {
    if (!TryClaimWrite(pHdl)) return;  // the new holder sends them
    bool sendable = !MessagePending(pHdl);
    NI_RC rc = sendable ? SendControl(pHdl) : WEQ_O_K;
    pHdl->mWriteBusy.store(0, std::memory_order_release);
    if (!sendable || rc != WEQ_O_K) return;
  }
}

struct WriteClaim {
  explicit WriteClaim(NITAB* h) : hdl(h) { ClaimWrite(h); }
  ~WriteClaim() { ReleaseWrite(hdl); }
  WriteClaim(const WriteClaim&) = delete;
  WriteClaim& operator=(const WriteClaim&) = delete;
  NITAB* hdl;
};

// The queue test of a write: true when this write is to fail.
bool QTestFails(const WEQ_UC* fn) {
  uint32_t prop = NiIParams().qTestProp.load(std::memory_order_relaxed);
  uint32_t count = NiIParams().qTestCount.load(std::memory_order_relaxed);
  if (prop == 0 || count == 0) return false;
  uint32_t blocked = g_qBlocked.load(std::memory_order_relaxed);
  DPTRC_LINE(3, NiITrcHdl(), u"%s: qtest_count = %d, qtest_prop = %d, blocked_count = %d\n", fn,
             static_cast<int32_t>(count), static_cast<int32_t>(prop), static_cast<int32_t>(blocked));
  if (blocked == 0) {
    // r * 100 / 32767 < P / C, compared without truncation.
    uint64_t r = static_cast<uint64_t>(Random());
    if (r * 100u * count >= static_cast<uint64_t>(prop) * 32767u) return false;
    blocked = 1;
  } else if (blocked < count) {
    ++blocked;
  } else {
    g_qBlocked.store(0, std::memory_order_relaxed);
    return false;
  }
  g_qBlocked.store(blocked, std::memory_order_relaxed);
  DPTRC_LINE(2, NiITrcHdl(), u"%s: return NIETIMEOUT due to NIP_QTEST\n", fn);
  return true;
}

// The fragmentation test's limit of one send or receive: 0 forces a
// time-out; UINT32_MAX leaves the pass alone.
uint32_t FragLimit(int timeout) {
  uint32_t f = NiIParams().fragTest.load(std::memory_order_relaxed);
  if (f == 0 || timeout < 0) return UINT32_MAX;
  int r = Random();
  if ((r & 1) == 0) return UINT32_MAX;
  // Wide: F may be the largest number, whose F + 1 is 0 in 32 bits.
  return static_cast<uint32_t>(static_cast<uint64_t>(Random()) % (uint64_t{f} + 1));
}

// The start of a read or write: a connect still pending is completed, and
// the talk mode must be known.
NI_RC StartIo(NITAB* pHdl, int timeout, uint8_t talkMode, const WEQ_UC* fn) {
  if (pHdl->mType.load(std::memory_order_acquire) == NI_CONN_WAIT) {
    NI_RC rc = NiICheckPendConnection(pHdl, timeout, 1);
    if (rc != WEQ_O_K) return rc == NIESERV_USED ? NIECONN_REFUSED : rc;
  }
  if (talkMode > NI_ROUT_IO) {
    return NiIErrTrace(kMsgModule, __LINE__, 1, u"%s: invalid mode %d for hdl %d", NIEINTERN, fn,
                       static_cast<int32_t>(talkMode), MsgHdlNo(pHdl));
  }
  return WEQ_O_K;
}

}  // namespace

int64_t NiIMonoMs(void) {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void NiIWaitOverrun(int64_t startMs, int timeout) {
  uint32_t tol = NiIParams().pollTolerance.load(std::memory_order_relaxed);
  if (tol == 0 || timeout < 0) return;
  // Wide: the longest time-out and tolerance overflow 32 bits.
  int64_t secs = (NiIMonoMs() - startMs) / 1000;
  if (secs > (int64_t{timeout} + 500) / 1000 + tol) {
    DPTRC_WARNING(NiITrcHdl(), u"passed over poll/select timeout (%ds>=%dms+%ds)\n", static_cast<int32_t>(secs),
                  timeout, static_cast<int32_t>(tol));
  }
}

void NiIQTestRestart(void) { g_qBlocked.store(0, std::memory_order_relaxed); }
uint32_t NiISendBlockedCount(void) { return g_sendBlocked.load(std::memory_order_relaxed); }
uint32_t NiIRecvBlockedCount(void) { return g_recvBlocked.load(std::memory_order_relaxed); }
void NiISetRandom(int (*fn)(void)) { g_random.store(fn, std::memory_order_relaxed); }

// --- Waits ------------------------------------------------------------------------------

NI_RC NiIPeek(NITAB* pHdl, uint8_t mode, int timeout) {
  static constexpr const WEQ_UC* kFn = u"NiIPeek";
  WEQ_UC modeChar = mode == NI_READ ? u'r' : u'w';
  SI_SOCKET own = OwnSocket(pHdl);
  SI_SOCKET* sock = &own;
  int64_t start = NiIMonoMs();
  SI_RC si = SiPeek(sock, mode == NI_READ ? SI_PEEK_READ : SI_PEEK_WRITE, timeout);
  NiIWaitOverrun(start, timeout);
  CTRC_HDL trc = NiIHdlTrc(pHdl);
  switch (si) {
    case SI_OK:
      DPTRC_LINE(3, trc, u"%s: peek successful for hdl %d (%c)\n", kFn, MsgHdlNo(pHdl), modeChar);
      return WEQ_O_K;
    case SI_ETIMEOUT:
      DPTRC_LINE(MsgLvl(pHdl, 3), trc, u"%s: peek for hdl %d timed out (%c; %dms)\n", kFn, MsgHdlNo(pHdl),
                 modeChar, timeout);
      return NIETIMEOUT;
    case SI_EINVAL:
    case SI_EINVAL_SOCK:
    case SI_EINTERN:
      // The following receive or send reports the condition.
      DPTRC_LINE(MsgLvl(pHdl, 2), trc, u"%s: peek for hdl %d failed (%c; rc=%d)\n", kFn, MsgHdlNo(pHdl),
                 modeChar, static_cast<int32_t>(si));
      return WEQ_O_K;
    default: {
      WEQ_UC extra[32];
      snprintfTruncU16(extra, 32, u"%c; %d", modeChar, timeout);
      return NiIReportSiError(si, SI_FN_PEEK, pHdl, sock, sock->sysErr, extra, nullptr, nullptr, kFn, kMsgModule,
                              __LINE__, 1);
    }
  }
}

namespace {

void TraceMask(int level, const WEQ_UC* fn, const WEQ_UC* name, SI_FD_SET* mask, int32_t high) {
  if (!DPTRC_ON(level)) return;
  if (mask == nullptr) {
    DPTRC_LINE(level, NiITrcHdl(), u"%s: %s-mask is NULL\n", fn, name);
    return;
  }
  WEQ_UC line[512];
  snprintfTruncU16(line, 512, u"%s: fds in %s-mask: ", fn, name);
  size_t pos = strnlenU16(line, 512);
  int32_t limit = high + 1 < 32768 ? high + 1 : 32768;
  for (int32_t fd = 0; fd < limit && pos < 480; ++fd) {
    SI_SOCKET s{fd, 0, 0, 0};
    if (SiFdIsSet(&s, mask)) {
      snprintfTruncU16(line + pos, 512 - pos, u"%d ", fd);
      pos = strnlenU16(line, 512);
    }
  }
  DPTRC_LINE(level, NiITrcHdl(), u"%s\n", line);
}

}  // namespace

NI_RC NiISelect(SI_FD_SET* pRead, SI_FD_SET* pWrite, int timeout, uint32_t* pCount) {
  static constexpr const WEQ_UC* kFn = u"NiISelect";
  int32_t high = NiIHighSocket();
  if (DPTRC_ON(3)) {
    if (timeout < 0)
      DPTRC_LINE(3, NiITrcHdl(), u"%s: timeout NI_BLOCK\n", kFn);
    else
      DPTRC_LINE(3, NiITrcHdl(), u"%s: timeout %dms\n", kFn, timeout);
    DPTRC_LINE(3, NiITrcHdl(), u"%s: maximum fd=%d\n", kFn, high);
    TraceMask(3, kFn, u"read", pRead, high);
    TraceMask(3, kFn, u"write", pWrite, high);
  }
  int64_t start = NiIMonoMs();
  int32_t count = 0, err = 0;
  SI_RC si;
  while ((si = SiSelect(high + 1, pRead, pWrite, nullptr, timeout, &count, &err)) == SI_EINTR) {
  }
  NiIWaitOverrun(start, timeout);
  if (si == SI_OK || si == SI_ETIMEOUT) {
    if (si == SI_OK && count > 0) {
      if (pCount != nullptr) *pCount = static_cast<uint32_t>(count);
      return WEQ_O_K;
    }
    if (pCount != nullptr) *pCount = 0;
    if (timeout != 0) DPTRC_LINE(3, NiITrcHdl(), u"%s: TIMEOUT occured (%dms)\n", kFn, timeout);
    return NIETIMEOUT;
  }
  if (si == SI_EINVAL_SOCK) {
    TraceMask(1, kFn, u"read", pRead, high);
    TraceMask(1, kFn, u"write", pWrite, high);
  }
  NiIReportSiError(si, SI_FN_SELECT, nullptr, nullptr, err, nullptr, nullptr, nullptr, kFn, kMsgModule, __LINE__,
                   1);
  return NIEINTERN;
}

namespace {

void TracePollArray(const WEQ_UC* fn, SI_POLL_FD* fds, uint32_t count) {
  if (!DPTRC_ON(2)) return;
  DPTRC_LINE(2, NiITrcHdl(), u"%s: pfd at %p:\n", fn, static_cast<void*>(fds));
  for (uint32_t i = 0; i < count; ++i) {
    int16_t r = fds[i].revents;
    DPTRC_LINE(2, NiITrcHdl(), u"index %d: sock %d, events = %d revents = %d (%s%s%s%s%s)\n",
               static_cast<int32_t>(i), static_cast<int32_t>(fds[i].fd), static_cast<int32_t>(fds[i].events),
               static_cast<int32_t>(r), (r & SI_POLLIN) ? u"POLLIN " : u"", (r & SI_POLLOUT) ? u"POLLOUT " : u"",
               (r & SI_POLLHUP) ? u"POLLHUP " : u"", (r & SI_POLLERR) ? u"POLLERR " : u"",
               (r & ~(SI_POLLIN | SI_POLLOUT | SI_POLLHUP | SI_POLLERR)) ? u"... " : u"");
  }
}

constexpr int kPollLoopLimit = 5000;

}  // namespace

NI_RC NiIPoll(SI_POLL_FD* pFds, uint32_t count, int timeout, uint32_t* pCount) {
  static constexpr const WEQ_UC* kFn = u"NiIPoll";
  TracePollArray(kFn, pFds, count);
  int64_t start = NiIMonoMs();
  int32_t n = 0, err = 0;
  int loops = 0;
  SI_RC si;
  for (;;) {
    si = SiPoll(pFds, count, timeout, &n, &err);
    if (si == SI_EINTR) continue;
    if (si == SI_ETIMEOUT && loops < kPollLoopLimit) {
      ++loops;
      continue;
    }
    break;
  }
  if (loops > 0)
    DPTRC_ERROR(NiITrcHdl(), u"%s: poll looped %d times, caused by EAGAIN (limit=%d)\n", kFn, loops,
                kPollLoopLimit);
  NiIWaitOverrun(start, timeout);
  TracePollArray(kFn, pFds, count);
  if (si == SI_OK) {
    if (pCount != nullptr) *pCount = static_cast<uint32_t>(n);
    if (n > 0) return WEQ_O_K;
    if (timeout != 0) DPTRC_LINE(3, NiITrcHdl(), u"%s: TIMEOUT occured (%d ms)\n", kFn, timeout);
    return NIETIMEOUT;
  }
  if (si == SI_EINVAL)
    DPTRC_LINE(1, NiITrcHdl(), u"%s: poll(%p,%d,%d) caused EFAULT\n", kFn, static_cast<void*>(pFds),
               static_cast<int32_t>(count), timeout);
  NiIReportSiError(si, SI_FN_POLL, nullptr, nullptr, err, nullptr, nullptr, nullptr, kFn, kMsgModule, __LINE__, 1);
  return NIEINTERN;
}

void NiWait(int milliSec) {
  static constexpr const WEQ_UC* kFn = u"NiWait";
  if (milliSec < 0) {
    DPTRC_WARNING(NiITrcHdl(), u"%s: parameter invalid (milliSec < 0)\n", kFn);
    return;
  }
  DPTRC_LINE(2, NiITrcHdl(), u"%s: sleep (%dms) ...\n", kFn, milliSec);
  NI_RC rc = NiISelect(nullptr, nullptr, milliSec, nullptr);
  if (rc != NIETIMEOUT) DPTRC_LINE(1, NiITrcHdl(), u"%s: NiISelect failed (rc=%d;to=%dms)\n", kFn, rc, milliSec);
}

// --- Write ------------------------------------------------------------------------------

namespace {

// The write of NiIWrite once the writing side is claimed.
NI_RC WriteClaimed(NITAB* pHdl, const void* pData, uint32_t dataLen, int timeout, uint8_t talkMode,
                   uint32_t* pWritten) {
  static constexpr const WEQ_UC* kFn = u"NiIWrite";
  NI_RC rc = WEQ_O_K;
  CTRC_HDL trc = NiIHdlTrc(pHdl);
  int32_t hdl = MsgHdlNo(pHdl);
  const WEQ_UC* modeText = kModeText[talkMode];
  if (talkMode == NI_RAW_IO) {
    pHdl->mPendHdrLenToWrite = 0;
    pHdl->mPendDataLenToWrite = dataLen;
  } else if (!MessagePending(pHdl)) {
    pHdl->mPendHdrLenToWrite = NI_HDR_LEN;
    pHdl->mPendDataLenToWrite = dataLen;
    pHdl->mHdrToWrite[0] = static_cast<WEQ_RAW>(dataLen >> 24);
    pHdl->mHdrToWrite[1] = static_cast<WEQ_RAW>(dataLen >> 16);
    pHdl->mHdrToWrite[2] = static_cast<WEQ_RAW>(dataLen >> 8);
    pHdl->mHdrToWrite[3] = static_cast<WEQ_RAW>(dataLen);
  } else if (dataLen != pHdl->mPendDataLenToWrite) {
    DPTRC_LINE(1, trc, u"%s: dataLen <> mPendDataLenToWrite (hdl %d;%d<>%d;%d)\n", kFn, hdl,
               static_cast<int32_t>(dataLen), static_cast<int32_t>(pHdl->mPendDataLenToWrite),
               static_cast<int32_t>(pHdl->mPendHdrLenToWrite));
    NiIErrInfo(kMsgModule, __LINE__, u"%s: data not equal with pending data length (%d<>%d)", NIEINVAL, kFn,
               static_cast<int32_t>(dataLen), static_cast<int32_t>(pHdl->mPendDataLenToWrite));
    return NIEINVAL;
  }
  // Answers owed to the peer go out ahead of a new message.
  if (pHdl->mPendHdrLenToWrite == NI_HDR_LEN || talkMode == NI_RAW_IO) QueueOwedPongs(pHdl);

  SI_SOCKET own = OwnSocket(pHdl);
  SI_SOCKET* sock = &own;
  const WEQ_RAW* data = static_cast<const WEQ_RAW*>(pData);
  bool blockedBefore = false;
  uint32_t memLimit = UINT32_MAX;
  bool timedOut = false;
  while (pHdl->mPendHdrLenToWrite != 0 || pHdl->mPendDataLenToWrite != 0 || pHdl->mCtlLen != pHdl->mCtlOff) {
    uint32_t ctl = static_cast<uint32_t>(pHdl->mCtlLen - pHdl->mCtlOff);
    uint32_t hdr = pHdl->mPendHdrLenToWrite;
    uint32_t pend = pHdl->mPendDataLenToWrite;
    uint32_t limit = FragLimit(timeout);
    if (limit == 0) {
      DPTRC_LINE(2, trc, u"%s: return NIETIMEOUT due to fragmentation test\n", kFn);
      timedOut = true;
      break;
    }
    if (limit != UINT32_MAX)
      DPTRC_LINE(3, trc, u"%s: fragmentation %d-%d -> %d-%d (%d)\n", kFn, static_cast<int32_t>(hdr),
                 static_cast<int32_t>(pend), static_cast<int32_t>(limit < hdr ? limit : hdr),
                 static_cast<int32_t>(limit <= ctl + hdr ? 0 : (limit - ctl - hdr < pend ? limit - ctl - hdr : pend)),
                 static_cast<int32_t>(limit));
    if (timeout >= 0 && QTestFails(kFn)) {
      timedOut = true;
      break;
    }
    if (blockedBefore || (pHdl->mBlockMode == 1 && timeout >= 0)) {
      rc = NiIPeek(pHdl, NI_WRITE, timeout);
      if (rc == NIETIMEOUT) {
        timedOut = true;
        break;
      }
      if (rc != WEQ_O_K) return rc;
    }
    bool afterWait = blockedBefore || (pHdl->mBlockMode == 1 && timeout >= 0);
    for (;;) {  // sends of this pass, smaller after SI_EMEMORY
      uint32_t room = limit < memLimit ? limit : memLimit;
      SI_IOVEC iov[3];
      uint32_t n = 0;
      uint32_t take = ctl < room ? ctl : room;
      if (take > 0) iov[n++] = {pHdl->mCtlOut + pHdl->mCtlOff, take};
      room -= take;
      uint32_t takeHdr = hdr < room ? hdr : room;
      if (takeHdr > 0) iov[n++] = {pHdl->mHdrToWrite + (NI_HDR_LEN - hdr), takeHdr};
      room -= takeHdr;
      uint32_t takeData = pend < room ? pend : room;
      if (takeData > 0) iov[n++] = {data + *pWritten, takeData};
      uint32_t amount = take + takeHdr + takeData;
      uint32_t sent = 0;
      SI_RC si;
      if (n == 1 && take == 0 && takeHdr == 0) {
        while ((si = SiSend(sock, iov[0].data, iov[0].length, 0, &sent)) == SI_EINTR) {
        }
      } else {
        while ((si = SiSendV(sock, iov, n, &sent)) == SI_EINTR) {
        }
      }
      if (si == SI_OK) {
        if (sent > amount) {
          return NiIErrTrace(kMsgModule, __LINE__, 1, u"%s: more data written as passed (hdl %d)", NIEINTERN, kFn,
                             hdl);
        }
        uint32_t c = sent < take ? sent : take;
        pHdl->mCtlOff = static_cast<uint16_t>(pHdl->mCtlOff + c);
        if (pHdl->mCtlOff == pHdl->mCtlLen) pHdl->mCtlOff = pHdl->mCtlLen = pHdl->mCtlPong = 0;
        sent -= c;
        uint32_t h = sent < hdr ? sent : hdr;
        pHdl->mPendHdrLenToWrite = static_cast<uint8_t>(hdr - h);
        sent -= h;
        *pWritten += sent;
        pHdl->mPendDataLenToWrite = pend - sent;
        if (pHdl->mPendHdrLenToWrite != 0) {
          DPTRC_LINE(MsgLvl(pHdl, 2), trc, u"%s: hdl %d sent incomplete hdr (wrt=%d,pnd=%d,pac=%d)\n", kFn, hdl,
                     static_cast<int32_t>(h), static_cast<int32_t>(pHdl->mPendHdrLenToWrite),
                     static_cast<int32_t>(pHdl->mMsgOut));
        } else if (pHdl->mPendDataLenToWrite != 0) {
          DPTRC_LINE(MsgLvl(pHdl, 2), trc, u"%s: hdl %d sent incomplete data (wrt=%d,pnd=%d,pac=%d)\n", kFn, hdl,
                     static_cast<int32_t>(*pWritten), static_cast<int32_t>(pHdl->mPendDataLenToWrite),
                     static_cast<int32_t>(pHdl->mMsgOut));
        }
        blockedBefore = false;
        break;
      }
      if (si == SI_ETIMEOUT) {
        if (!afterWait && pHdl->mBlockMode == 0)
          DPTRC_LINE(MsgLvl(pHdl, 3), trc, u"%s: hdl %d %s would block (errno=EAGAIN)\n", kFn, hdl, u"send");
        else
          CountBlocked(&g_sendBlocked, pHdl, kFn, u"send");
        blockedBefore = true;
        if (timeout == 0) timedOut = true;
        break;
      }
      if (si == SI_EMEMORY) {
        WEQ_UC peer[NI_NODEADDR_STR_LEN];
        NiAddrToStr2(&pHdl->con.mPeerAddr, peer, NI_NODEADDR_STR_LEN, 0);
        DPTRC_ERROR(trc, u"%s: hdl %d %s failed (errno=%d; hdlLen=%d; dataLen=%d; %s; %s; %s%c%d)\n", kFn, hdl,
                    u"send", sock->sysErr, static_cast<int32_t>(take + takeHdr), static_cast<int32_t>(takeData),
                    NiISiFamilyName(sock) ? NiISiFamilyName(sock) : u"?",
                    NiISiTypeName(sock) ? NiISiTypeName(sock) : u"?", peer, NiIAddrServSep(peer),
                    static_cast<int32_t>(NiNtohs(pHdl->con.mPeerServNo)));
        if (amount <= 32) {
          DPTRC_ERROR(trc, u"%s: MTU size reached (%d+%d<=%d) for hdl %d; flag connection as broken\n", kFn,
                      static_cast<int32_t>(take + takeHdr), static_cast<int32_t>(takeData), 32, hdl);
          return NiIErrInfo(kMsgModule, __LINE__, u"%s: MTU size reached (%d+%d<=%d;hdl %d)", NIECONN_BROKEN, kFn,
                            static_cast<int32_t>(take + takeHdr), static_cast<int32_t>(takeData), 32, hdl);
        }
        static constexpr uint32_t kSizes[] = {4096, 1024, 512, 128, 32};
        for (uint32_t s : kSizes) {
          if (s < amount) {
            memLimit = s;
            break;
          }
        }
        DPTRC_LINE(MsgLvl(pHdl, 2), trc, u"%s: reduce data length (hdlLen=%d; dataLen=%d)\n", kFn,
                   static_cast<int32_t>(take + takeHdr),
                   static_cast<int32_t>(memLimit > take + takeHdr ? memLimit - take - takeHdr : 0));
        continue;
      }
      rc = NiIReportSiError(si, n == 1 && take == 0 && takeHdr == 0 ? SI_FN_SEND : SI_FN_SENDV, pHdl, sock,
                            sock->sysErr, nullptr, nullptr, nullptr, kFn, kMsgModule, __LINE__, 1);
      return rc == NIEINVAL ? NIEINTERN : rc;
    }
    if (timedOut) break;
  }
  if (timedOut) {
    if (pHdl->mPendHdrLenToWrite != 0)
      DPTRC_LINE(MsgLvl(pHdl, 2), trc, u"%s: hdl %d sent incomplete hdr (wrt=%d,pnd=%d)\n", kFn, hdl,
                 static_cast<int32_t>(*pWritten), static_cast<int32_t>(pHdl->mPendHdrLenToWrite));
    else
      DPTRC_LINE(MsgLvl(pHdl, 2), trc, u"%s: hdl %d sent incomplete data (wrt=%d,pnd=%d,pac=%d,%s,%dms)\n", kFn,
                 hdl, static_cast<int32_t>(*pWritten), static_cast<int32_t>(pHdl->mPendDataLenToWrite),
                 static_cast<int32_t>(pHdl->mMsgOut), modeText, timeout);
    if (talkMode == NI_RAW_IO) pHdl->mPendDataLenToWrite = 0;
    return NIETIMEOUT;
  }
  pHdl->mMsgOut += 1;
  pHdl->mBytesOut += *pWritten;
  pHdl->mSentSinceRead.store(1, std::memory_order_relaxed);
  DPTRC_LINE(MsgLvl(pHdl, 2), trc, u"%s: hdl %d sent data (wrt=%d,pac=%d,%s)\n", kFn, hdl,
             static_cast<int32_t>(*pWritten), static_cast<int32_t>(pHdl->mMsgOut), modeText);
  return WEQ_O_K;
}

}  // namespace

NI_RC NiIWrite(NITAB* pHdl, const void* pData, uint32_t dataLen, int timeout, uint8_t talkMode,
               uint32_t* pWritten) {
  *pWritten = 0;
  NI_RC rc = StartIo(pHdl, timeout, talkMode, u"NiIWrite");
  if (rc != WEQ_O_K) return rc;
  WriteClaim claim(pHdl);
  return WriteClaimed(pHdl, pData, dataLen, timeout, talkMode, pWritten);
}

NI_RC NiIWriteCtl(NITAB* pHdl, const void* pData, uint32_t dataLen, const WEQ_UC* what) {
  static constexpr const WEQ_UC* kFn = u"NiBufIProcMsg";
  NI_RC rc = StartIo(pHdl, 0, NI_MESG_IO, u"NiIWrite");
  if (rc != WEQ_O_K) return rc;
  if (!TryClaimWrite(pHdl)) {
    DPTRC_LINE(MsgLvl(pHdl, 2), NiIHdlTrc(pHdl), u"%s: hdl %d write in progress, do not send %s\n", kFn,
               MsgHdlNo(pHdl), what);
    return NIETIMEOUT;
  }
  if (MessagePending(pHdl)) {
    DPTRC_WARNING(NiIHdlTrc(pHdl), u"%s: hdl %d mPendDataLenToWrite > 0 (%d), do not send %s\n", kFn,
                  MsgHdlNo(pHdl), static_cast<int32_t>(pHdl->mPendDataLenToWrite), what);
    rc = NIETIMEOUT;
  } else if (!CtlAppend(pHdl, pData, dataLen)) {
    // The peer has not taken the earlier answers: it is not reading.
    DPTRC_WARNING(NiIHdlTrc(pHdl), u"%s: hdl %d %d bytes of answers not taken by partner, do not send %s\n", kFn,
                  MsgHdlNo(pHdl), static_cast<int32_t>(pHdl->mCtlLen), what);
    rc = NIETIMEOUT;
  } else {
    pHdl->mMsgOut += 1;
    pHdl->mBytesOut += dataLen;
    pHdl->mSentSinceRead.store(1, std::memory_order_relaxed);
    rc = SendControl(pHdl);
  }
  ReleaseWrite(pHdl);
  return rc;
}

void NiICtlFree(NITAB* pHdl) {
  free(pHdl->mCtlOut);
  pHdl->mCtlOut = nullptr;
  pHdl->mCtlLen = pHdl->mCtlOff = 0;
  pHdl->mCtlPong = 0;
}

// --- Read -------------------------------------------------------------------------------

namespace {

// The data length in a read header (big-endian).
uint32_t HdrLen(const WEQ_RAW* h) {
  return (static_cast<uint32_t>(h[0]) << 24) | (static_cast<uint32_t>(h[1]) << 16) |
         (static_cast<uint32_t>(h[2]) << 8) | h[3];
}

}  // namespace

uint8_t NiIKeepAliveKind(const void* pMsg, uint32_t len) {
  if (len != NI_KEEPALIVE_LEN || pMsg == nullptr) return NI_KA_NONE;
  if (memcmp(pMsg, kPing, NI_KEEPALIVE_LEN) == 0) return NI_KA_PING;
  if (memcmp(pMsg, kPong, NI_KEEPALIVE_LEN) == 0) return NI_KA_PONG;
  return NI_KA_NONE;
}

bool NiIHeldInput(const NITAB* pHdl) {
  return pHdl->mHoldState == NI_HOLD_WHOLE || pHdl->mHoldState == NI_HOLD_USER;
}

namespace {

// The end of an incoming message: nothing pending, the counters.
NI_RC ReadComplete(NITAB* pHdl, uint32_t read, const WEQ_UC* modeText) {
  pHdl->mPendHdrLenToRead = 0;
  pHdl->mPendDataLenToRead = 0;
  pHdl->mMsgIn += 1;
  pHdl->mBytesIn += read;
  DPTRC_LINE(MsgLvl(pHdl, 2), NiIHdlTrc(pHdl), u"%s: hdl %d received data (rcd=%d,pac=%d,%s)\n", u"NiIRead",
             MsgHdlNo(pHdl), static_cast<int32_t>(read), static_cast<int32_t>(pHdl->mMsgIn), modeText);
  return WEQ_O_K;
}

// The bytes of a held message that the caller has not had.
uint32_t HeldOwed(const NITAB* pHdl) {
  switch (pHdl->mHoldState) {
    case NI_HOLD_GATHER: return pHdl->mHoldLen;
    case NI_HOLD_WHOLE: return NI_KEEPALIVE_LEN;
    case NI_HOLD_USER: return NI_KEEPALIVE_LEN - pHdl->mHoldLen;
    default: return 0;
  }
}

// Hands out a held message that is whole: all of it when the buffer takes
// it, which completes the message. A checked one (user data) goes out in
// the parts that fit, with NIETOO_SMALL as for any message; an unchecked
// one that does not fit gives NIETOO_SMALL with nothing, for the check.
NI_RC HandOutHeld(NITAB* pHdl, WEQ_RAW* buf, uint32_t bufferLen, uint32_t* pRead, const WEQ_UC* modeText) {
  uint32_t from = pHdl->mHoldState == NI_HOLD_USER ? pHdl->mHoldLen : 0;
  uint32_t rest = NI_KEEPALIVE_LEN - from;
  if (pHdl->mHoldState == NI_HOLD_WHOLE && bufferLen < rest) return NIETOO_SMALL;
  uint32_t n = bufferLen < rest ? bufferLen : rest;
  if (n > 0) memcpy(buf, pHdl->mHoldIn + from, n);
  *pRead = n;
  if (n < rest) {
    pHdl->mHoldState = NI_HOLD_USER;
    pHdl->mHoldLen = static_cast<uint8_t>(from + n);
    int32_t hdl = MsgHdlNo(pHdl);
    DPTRC_LINE(MsgLvl(pHdl, 2), NiIHdlTrc(pHdl), u"%s: hdl %d receive reached bufferLen (rcd=%d,pnd=%d,pac=%d)\n",
               u"NiIRead", hdl, static_cast<int32_t>(n), static_cast<int32_t>(rest - n),
               static_cast<int32_t>(pHdl->mMsgIn));
    return NiIErrInfo(kMsgModule, __LINE__, u"%s: hdl %d buffer too small (%d<%d)", NIETOO_SMALL, u"NiIRead", hdl,
                      static_cast<int32_t>(bufferLen), static_cast<int32_t>(bufferLen + rest - n));
  }
  pHdl->mHoldState = NI_HOLD_NONE;
  pHdl->mHoldLen = 0;
  return ReadComplete(pHdl, n, modeText);
}

}  // namespace

NI_RC NiIRead(NITAB* pHdl, void* pBuffer, uint32_t bufferLen, int timeout, uint8_t talkMode, uint32_t* pRead) {
  static constexpr const WEQ_UC* kFn = u"NiIRead";
  *pRead = 0;
  NI_RC rc = StartIo(pHdl, timeout, talkMode, kFn);
  if (rc != WEQ_O_K) return rc;
  CTRC_HDL trc = NiIHdlTrc(pHdl);
  int32_t hdl = MsgHdlNo(pHdl);
  const WEQ_UC* modeText = kModeText[talkMode];
  bool raw = talkMode == NI_RAW_IO;
  if (raw) {
    if (bufferLen == 0) {
      DPTRC_LINE(1, trc, u"%s: RAW_MODE read with buffer length 0 (hdl %d)\n", kFn, hdl);
      return NiIErrInfo(kMsgModule, __LINE__, u"%s: buffer length 0", NIETOO_SMALL, kFn);
    }
  } else if (NiIHeldInput(pHdl)) {
    return HandOutHeld(pHdl, static_cast<WEQ_RAW*>(pBuffer), bufferLen, pRead, modeText);
  } else if (pHdl->mPendHdrLenToRead == 0 && pHdl->mPendDataLenToRead == 0) {
    pHdl->mPendHdrLenToRead = NI_HDR_LEN;
    // A gathering always has data pending: one left here was cut off by a
    // raw read, and must not take the next message into mHoldIn.
    pHdl->mHoldState = NI_HOLD_NONE;
    pHdl->mHoldLen = 0;
  } else if (pHdl->mPendHdrLenToRead == 0 && bufferLen == 0) {
    return NIETOO_SMALL;
  }
  SI_SOCKET own = OwnSocket(pHdl);
  SI_SOCKET* sock = &own;
  WEQ_RAW* buf = static_cast<WEQ_RAW*>(pBuffer);
  // A non-blocking socket is read first and waited on when it would block;
  // but right after the handle sent a message, the answer is rarely there
  // yet, and a wait first saves the receive that would find nothing.
  bool sent = pHdl->mSentSinceRead.load(std::memory_order_relaxed) != 0;
  if (sent) pHdl->mSentSinceRead.store(0, std::memory_order_relaxed);
  bool blockedBefore = sent && timeout != 0 && pHdl->mBlockMode == 0;
  bool timedOut = false;
  bool complete = false;
  while (!complete) {
    uint32_t limit = FragLimit(timeout);
    if (limit == 0) {
      DPTRC_LINE(2, trc, u"%s: return NIETIMEOUT due to fragmentation test\n", kFn);
      timedOut = true;
      break;
    }
    bool waited = blockedBefore || (pHdl->mBlockMode == 1 && timeout >= 0);
    if (waited) {
      rc = NiIPeek(pHdl, NI_READ, timeout);
      if (rc == NIETIMEOUT) {
        timedOut = true;
        break;
      }
      if (rc != WEQ_O_K) return rc;
    }
    bool inHdr = !raw && pHdl->mPendHdrLenToRead != 0;
    bool inHold = !raw && !inHdr && pHdl->mHoldState == NI_HOLD_GATHER;
    WEQ_RAW* dst;
    uint32_t want;
    if (inHdr) {
      dst = pHdl->mHdrToRead + (NI_HDR_LEN - pHdl->mPendHdrLenToRead);
      want = pHdl->mPendHdrLenToRead;
    } else if (inHold) {
      dst = pHdl->mHoldIn + pHdl->mHoldLen;
      want = pHdl->mPendDataLenToRead;
    } else {
      dst = buf + *pRead;
      want = bufferLen - *pRead;
      if (!raw && pHdl->mPendDataLenToRead < want) want = pHdl->mPendDataLenToRead;
    }
    if (want > limit) want = limit;
    uint32_t got = 0;
    SI_RC si;
    while ((si = SiRecv(sock, dst, want, 0, &got)) == SI_EINTR) {
    }
    if (si == SI_OK && got == 0) {
      rc = NiIReportSiError(SI_ECONN_BROKEN, SI_FN_RECV, pHdl, sock, 0, nullptr, nullptr, nullptr, kFn, kMsgModule,
                            __LINE__, 0);
      *pRead = 0;
      return rc;
    }
    if (si == SI_ETIMEOUT) {
      if (!waited && pHdl->mBlockMode == 0)
        DPTRC_LINE(MsgLvl(pHdl, 3), trc, u"%s: hdl %d %s would block (errno=EAGAIN)\n", kFn, hdl, u"recv");
      else
        CountBlocked(&g_recvBlocked, pHdl, kFn, u"recv");
      blockedBefore = true;
      if (timeout == 0) {
        timedOut = true;
        break;
      }
      continue;
    }
    if (si != SI_OK) {
      if (sock->sysErr == EFAULT)
        DPTRC_LINE(1, trc, u"%s: recv(%d,%p,%d,0) caused EFAULT\n", kFn, sock->socketNo, static_cast<void*>(dst),
                   static_cast<int32_t>(want));
      rc = NiIReportSiError(si, SI_FN_RECV, pHdl, sock, sock->sysErr, nullptr, nullptr, nullptr, kFn, kMsgModule,
                            __LINE__, 1);
      *pRead = UINT32_MAX;
      return rc == NIEINVAL ? NIEINTERN : rc;
    }
    blockedBefore = false;
    if (inHdr) {
      pHdl->mPendHdrLenToRead = static_cast<uint8_t>(pHdl->mPendHdrLenToRead - got);
      if (pHdl->mPendHdrLenToRead != 0) {
        DPTRC_LINE(MsgLvl(pHdl, 2), trc, u"%s: hdl %d received incomplete hdr (rcd=%d,pnd=%d,pac=%d)\n", kFn, hdl,
                   static_cast<int32_t>(got), static_cast<int32_t>(pHdl->mPendHdrLenToRead),
                   static_cast<int32_t>(pHdl->mMsgIn));
      } else {
        uint32_t len = HdrLen(pHdl->mHdrToRead);
        if (got < NI_HDR_LEN)
          DPTRC_LINE(MsgLvl(pHdl, 2), trc, u"%s: hdl %d received fragmented hdr (rcd=%d,pac=%d,len=%d)\n", kFn,
                     hdl, static_cast<int32_t>(got), static_cast<int32_t>(pHdl->mMsgIn), static_cast<int32_t>(len));
        if (len & 0x80000000u) {
          // Unframed data: the stream cannot be read as messages any more.
          pHdl->mPendHdrLenToRead = 0;
          pHdl->mPendDataLenToRead = 0;
          WEQ_UC peer[NI_NODEADDR_STR_LEN];
          NiAddrToStr2(&pHdl->con.mPeerAddr, peer, NI_NODEADDR_STR_LEN, 0);
          uint16_t local = 0;
          NI_NODEADDR localAddr{};
          NiIGetSockName(pHdl, sock, &localAddr, &local, nullptr, 0);
          DPTRC_ERROR(trc, u"%s: invalid data (0x%x;mode=%d;hdl %d;peer=%s%c%d;local=%d)\n", kFn, len,
                      static_cast<int32_t>(talkMode), hdl, peer, NiIAddrServSep(peer),
                      static_cast<int32_t>(NiNtohs(pHdl->con.mPeerServNo)), static_cast<int32_t>(NiNtohs(local)));
          return NiIErrInfo(kMsgModule, __LINE__, u"%s: invalid data (0x%x); probably RAW_IO", NIEINTERN, kFn, len);
        }
        pHdl->mPendDataLenToRead = len;
        if (len == NI_KEEPALIVE_LEN && talkMode == NI_MESG_IO) {
          pHdl->mHoldState = NI_HOLD_GATHER;
          pHdl->mHoldLen = 0;
        }
        if (len == 0) {
          complete = true;
        } else if (bufferLen == 0) {
          return NIETOO_SMALL;
        }
      }
    } else if (inHold) {
      pHdl->mHoldLen = static_cast<uint8_t>(pHdl->mHoldLen + got);
      pHdl->mPendDataLenToRead -= got;
      if (pHdl->mPendDataLenToRead == 0) {
        pHdl->mHoldState = NI_HOLD_WHOLE;
        return HandOutHeld(pHdl, buf, bufferLen, pRead, modeText);
      }
      DPTRC_LINE(MsgLvl(pHdl, 2), trc, u"%s: hdl %d received incomplete data (rcd=%d,pnd=%d,pac=%d)\n", kFn, hdl,
                 static_cast<int32_t>(pHdl->mHoldLen), static_cast<int32_t>(pHdl->mPendDataLenToRead),
                 static_cast<int32_t>(pHdl->mMsgIn));
    } else {
      *pRead += got;
      if (raw) {
        complete = true;
      } else {
        pHdl->mPendDataLenToRead -= got;
        if (pHdl->mPendDataLenToRead == 0) {
          complete = true;
        } else if (*pRead == bufferLen) {
          DPTRC_LINE(MsgLvl(pHdl, 2), trc, u"%s: hdl %d receive reached bufferLen (rcd=%d,pnd=%d,pac=%d)\n", kFn,
                     hdl, static_cast<int32_t>(*pRead), static_cast<int32_t>(pHdl->mPendDataLenToRead),
                     static_cast<int32_t>(pHdl->mMsgIn));
          return NiIErrInfo(kMsgModule, __LINE__, u"%s: hdl %d buffer too small (%d<%d)", NIETOO_SMALL, kFn, hdl,
                            static_cast<int32_t>(bufferLen),
                            static_cast<int32_t>(bufferLen + pHdl->mPendDataLenToRead));
        } else {
          DPTRC_LINE(MsgLvl(pHdl, 2), trc, u"%s: hdl %d received incomplete data (rcd=%d,pnd=%d,pac=%d)\n", kFn,
                     hdl, static_cast<int32_t>(*pRead), static_cast<int32_t>(pHdl->mPendDataLenToRead),
                     static_cast<int32_t>(pHdl->mMsgIn));
        }
      }
    }
    if (!complete && pHdl->con.mSingleRead == 1) {
      timedOut = true;
      break;
    }
  }
  if (timedOut) {
    if (raw)
      DPTRC_LINE(MsgLvl(pHdl, 2), trc, u"%s: raw read for hdl %d timed out (%dms)\n", kFn, hdl, timeout);
    else if (pHdl->mPendHdrLenToRead == NI_HDR_LEN)
      DPTRC_LINE(MsgLvl(pHdl, 2), trc, u"%s: read for hdl %d timed out (%dms)\n", kFn, hdl, timeout);
    else if (pHdl->mPendHdrLenToRead != 0)
      DPTRC_LINE(MsgLvl(pHdl, 2), trc, u"%s: hdl %d received incomplete hdr (rcd=%d,pnd=%d)\n", kFn, hdl,
                 static_cast<int32_t>(NI_HDR_LEN - pHdl->mPendHdrLenToRead),
                 static_cast<int32_t>(pHdl->mPendHdrLenToRead));
    else
      DPTRC_LINE(MsgLvl(pHdl, 2), trc, u"%s: hdl %d received incomplete data (rcd=%d,pnd=%d,pac=%d,%s,%dms)\n", kFn,
                 hdl, static_cast<int32_t>(*pRead), static_cast<int32_t>(pHdl->mPendDataLenToRead),
                 static_cast<int32_t>(pHdl->mMsgIn), modeText, timeout);
    return NIETIMEOUT;
  }
  return ReadComplete(pHdl, *pRead, modeText);
}

// --- Keep-alive -------------------------------------------------------------------------

NI_RC NiICheck(NITAB* pHdl, int timeout, int8_t flag, uint32_t* pCount) {
  static constexpr const WEQ_UC* kFn = u"NiICheck";
  const WEQ_RAW* msg = flag == 1 ? kPing : kPong;
  const WEQ_UC* name = flag == 1 ? u"NI_PING" : u"NI_PONG";
  uint32_t from = pCount != nullptr ? *pCount : 0;
  if (pHdl->mBuf != nullptr) {
    NI_RC rc = NiBufIWriteUserMsg(pHdl, pHdl->mBuf, msg + from, NI_KEEPALIVE_LEN - from, timeout);
    if (rc != WEQ_O_K) {
      DPTRC_LINE(1, NiIHdlTrc(pHdl), u"%s: NiBufIWriteUserMsg failed (rc=%d)\n", kFn, rc);
      return rc;
    }
    DPTRC_LINE(MsgLvl(pHdl, 2), NiIHdlTrc(pHdl), u"%s: hdl %d sent %s to partner\n", kFn, MsgHdlNo(pHdl), name);
    return WEQ_O_K;
  }
  uint32_t written = 0;
  NI_RC rc = NiIWrite(pHdl, msg + from, NI_KEEPALIVE_LEN - from, timeout, NI_MESG_IO, &written);
  if (rc == NIETIMEOUT && pCount != nullptr) {
    *pCount += written;
    DPTRC_LINE(MsgLvl(pHdl, 2), NiIHdlTrc(pHdl), u"%s: send incomplete (%d)\n", kFn, static_cast<int32_t>(*pCount));
    return NIETIMEOUT;
  }
  if (rc != WEQ_O_K) {
    DPTRC_LINE(1, NiIHdlTrc(pHdl), u"%s: NiIWrite failed (rc=%d)\n", kFn, rc);
    return rc;
  }
  DPTRC_LINE(MsgLvl(pHdl, 2), NiIHdlTrc(pHdl), u"%s: hdl %d sent %s to partner\n", kFn, MsgHdlNo(pHdl), name);
  return WEQ_O_K;
}

NI_RC NiIAnswerPing(NITAB* pHdl) {
  static constexpr const WEQ_UC* kFn = u"NiBufIProcMsg";
  pHdl->mPongOwed.fetch_add(1, std::memory_order_acq_rel);
  if (!TryClaimWrite(pHdl)) {
    // The writer sends it after its message.
    DPTRC_LINE(MsgLvl(pHdl, 2), NiIHdlTrc(pHdl), u"%s: hdl %d write in progress, NI_PONG follows it\n", kFn,
               MsgHdlNo(pHdl));
    return NIEOPCODE;
  }
  NI_RC rc = WEQ_O_K;
  if (MessagePending(pHdl)) {
    pHdl->mPongOwed.fetch_sub(1, std::memory_order_acq_rel);
    DPTRC_WARNING(NiIHdlTrc(pHdl), u"%s: hdl %d mPendDataLenToWrite > 0 (%d), do not send PONG\n", kFn,
                  MsgHdlNo(pHdl), static_cast<int32_t>(pHdl->mPendDataLenToWrite));
  } else {
    rc = SendControl(pHdl);
  }
  ReleaseWrite(pHdl);
  if (rc != WEQ_O_K) {
    DPTRC_LINE(1, NiIHdlTrc(pHdl), u"%s: NiICheck failed (rc=%d)\n", kFn, rc);
    return rc;
  }
  return NIEOPCODE;
}

int NiIPendLen(NITAB* pHdl, uint8_t mode, int8_t ignoreBuffer) {
  if (pHdl->mBuf != nullptr && !ignoreBuffer) {
    uint32_t count = 0;
    pHdl->mBufOps->peek(pHdl, pHdl->mBuf, 0, &count, mode);
    return count > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(count);
  }
  uint32_t n = mode == NI_READ ? pHdl->mPendDataLenToRead + HeldOwed(pHdl) : pHdl->mPendDataLenToWrite;
  return n > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(n);
}

// --- Public functions -------------------------------------------------------------------

namespace {

// The handle check and the refusal of handles without a connection socket.
NI_RC ConnHdl(NI_HDL hdl, const WEQ_UC* fn, NITAB** ppHdl) {
  NI_RC rc = NiIHdlCheck(hdl, fn, ppHdl);
  if (rc != WEQ_O_K) return rc;
  uint8_t type = (*ppHdl)->mType.load(std::memory_order_acquire);
  if (IsListenType(type)) return RefuseListen(__LINE__, fn, type);
  return WEQ_O_K;
}

NI_RC PeekWait(NI_HDL hdl, int timeout, uint8_t mode, const WEQ_UC* fn) {
  NITAB* rec = nullptr;
  NI_RC rc = NiIHdlCheck(hdl, fn, &rec);
  if (rc != WEQ_O_K) return rc;
  if (rec->mBuf != nullptr) return rec->mBufOps->peek(rec, rec->mBuf, timeout, nullptr, mode);
  uint8_t type = rec->mType.load(std::memory_order_acquire);
  if (type == NI_LISTEN) {
    if (mode == NI_WRITE) {
      DPTRC_LINE(MsgLvl(rec, 2), NiIHdlTrc(rec), u"%s: invalid call for listen hdl %d\n", fn, hdl);
      return NIETIMEOUT;
    }
    rc = NiIPeekListen(rec, timeout);
    return rc == NIEINVAL ? NIEINTERN : rc;
  }
  if (type == NI_RI_LISTEN) {
    if (mode == NI_WRITE) {
      DPTRC_LINE(MsgLvl(rec, 2), NiIHdlTrc(rec), u"%s: invalid call for pseudo listen hdl %d\n", fn, hdl);
      return NIETIMEOUT;
    }
    return NiIRiSrvPeek();
  }
  if (mode == NI_READ && NiIHeldInput(rec)) {
    DPTRC_LINE(3, NiIHdlTrc(rec), u"%s: peek successful for hdl %d (%c)\n", fn, hdl, u'r');
    return WEQ_O_K;
  }
  return NiIPeek(rec, mode, timeout);
}

// The framed read of an unbuffered handle with its control messages. Only
// a message that reaches the caller whole in one call is offered to the
// control-message processing: the last piece of a message whose earlier
// pieces the caller already has is user data, whatever its bytes. A
// message of a keep-alive frame's size is gathered in the handle until
// whole (NiIRead), so it always comes whole; when it does not fit the
// caller's buffer it is checked in the handle before any of it goes out.
NI_RC ReadUnbuffered(NITAB* rec, void* pBuffer, uint32_t bufferLen, int timeout, uint32_t* pRead) {
  bool checked = rec->mHoldState == NI_HOLD_USER;
  NI_RC rc = NiIRead(rec, pBuffer, bufferLen, timeout, NI_MESG_IO, pRead);
  bool held = rc == NIETOO_SMALL && rec->mHoldState == NI_HOLD_WHOLE;
  // The header of the message just completed is still in mHdrToRead.
  if (!held && (rc != WEQ_O_K || checked || *pRead != HdrLen(rec->mHdrToRead))) return rc;
  NI_RC peerRc = 0;
  uint32_t heldLen = NI_KEEPALIVE_LEN;
  rc = held ? NiBufIProcMsg(rec, nullptr, rec->mHoldIn, &heldLen, &peerRc, nullptr)
            : NiBufIProcMsg(rec, nullptr, pBuffer, pRead, &peerRc, nullptr);
  if (held) {
    if (rc == WEQ_O_K) {  // user data: the part that fits goes out now
      rec->mHoldState = NI_HOLD_USER;
      rec->mHoldLen = 0;
      return NiIRead(rec, pBuffer, bufferLen, timeout, NI_MESG_IO, pRead);
    }
    rec->mHoldState = NI_HOLD_NONE;
    rec->mHoldLen = 0;
    ReadComplete(rec, NI_KEEPALIVE_LEN, kModeText[NI_MESG_IO]);
  }
  if (rc == NIEOPCODE) return peerRc != 0 ? peerRc : NIEPING;
  return rc;
}

}  // namespace

NI_RC NiWrite(NI_HDL hdl, const void* pData, int dataLen, int timeout, uint32_t* pWritten) {
  static constexpr const WEQ_UC* kFn = u"NiWrite";
  NITAB* rec = nullptr;
  NI_RC rc = ConnHdl(hdl, kFn, &rec);
  if (rc != WEQ_O_K) return rc;
  if (pData == nullptr && dataLen != 0)
    return NiIErrTrace(kMsgModule, __LINE__, 1, u"%s: parameter invalid (pData == NULL && dataLen != 0)", NIEINVAL,
                       kFn);
  if (dataLen < 0)
    return NiIErrTrace(kMsgModule, __LINE__, 1, u"%s: parameter invalid (dataLen < 0)", NIEINVAL, kFn);
  if (rec->mBuf != nullptr)
    return rec->mBufOps->write(rec, rec->mBuf, pData, static_cast<uint32_t>(dataLen), timeout, pWritten);
  if (pWritten == nullptr)
    return NiIErrTrace(kMsgModule, __LINE__, 1, u"%s: parameter invalid (pWritten == NULL)", NIEINVAL, kFn);
  return NiIWrite(rec, pData, static_cast<uint32_t>(dataLen), timeout, NI_MESG_IO, pWritten);
}

NI_RC NiRead(NI_HDL hdl, void* pBuffer, int bufferLen, int timeout, uint32_t* pRead) {
  static constexpr const WEQ_UC* kFn = u"NiRead";
  NITAB* rec = nullptr;
  NI_RC rc = ConnHdl(hdl, kFn, &rec);
  if (rc != WEQ_O_K) return rc;
  if (pBuffer == nullptr && bufferLen != 0)
    return NiIErrTrace(kMsgModule, __LINE__, 1, u"%s: parameter invalid (pBuffer == NULL && bufferLen != 0)",
                       NIEINVAL, kFn);
  if (bufferLen < 0)
    return NiIErrTrace(kMsgModule, __LINE__, 1, u"%s: parameter invalid (bufferLen < 0)", NIEINVAL, kFn);
  if (pRead == nullptr)
    return NiIErrTrace(kMsgModule, __LINE__, 1, u"%s: parameter invalid (pRead == NULL)", NIEINVAL, kFn);
  if (rec->mBuf != nullptr)
    return rec->mBufOps->read(rec, rec->mBuf, pBuffer, static_cast<uint32_t>(bufferLen), timeout, pRead);
  return ReadUnbuffered(rec, pBuffer, static_cast<uint32_t>(bufferLen), timeout, pRead);
}

NI_RC NiPeekEx(NI_HDL hdl, int timeout) { return PeekWait(hdl, timeout, NI_READ, u"NiPeekEx"); }

NI_RC NiPeekExWrite(NI_HDL hdl, int timeout) { return PeekWait(hdl, timeout, NI_WRITE, u"NiPeekExWrite"); }

NI_RC NiCheckEx(NI_HDL hdl, int timeout, uint8_t flag, uint32_t* pCount) {
  static constexpr const WEQ_UC* kFn = u"NiCheckEx";
  NITAB* rec = nullptr;
  NI_RC rc = ConnHdl(hdl, kFn, &rec);
  if (rc != WEQ_O_K) return rc;
  if (pCount != nullptr && *pCount > NI_KEEPALIVE_LEN)
    return NiIErrTrace(kMsgModule, __LINE__, 1, u"%s: parameter invalid (*pCount > %d)", NIEINVAL, kFn,
                       static_cast<int32_t>(NI_KEEPALIVE_LEN));
  if (pCount != nullptr && *pCount == NI_KEEPALIVE_LEN) return WEQ_O_K;  // sent whole already
  if (flag == 1) rec->mCheck = 1;
  return NiICheck(rec, timeout, static_cast<int8_t>(flag), pCount);
}

int NiWritePending(NI_HDL hdl) {
  static constexpr const WEQ_UC* kFn = u"NiWritePending";
  NITAB* rec = nullptr;
  if (ConnHdl(hdl, kFn, &rec) != WEQ_O_K) return -1;
  return NiIPendLen(rec, NI_WRITE, 0);
}

NI_RC NiSetSingleRead(NI_HDL hdl, int8_t on) {
  static constexpr const WEQ_UC* kFn = u"NiSetSingleRead";
  NITAB* rec = nullptr;
  NI_RC rc = ConnHdl(hdl, kFn, &rec);
  if (rc != WEQ_O_K) return rc;
  rec->con.mSingleRead = on ? 1 : 0;
  DPTRC_LINE(2, NiIHdlTrc(rec), u"%s: switch %s SINGLE READ MODE for hdl %d/sock %d\n", kFn, on ? u"on" : u"off",
             hdl, rec->con.mSocket.socketNo);
  return WEQ_O_K;
}
