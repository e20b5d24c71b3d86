// Buffered NI handles: the extension with its out-queue, the writes that
// queue what the socket does not take, the input step that assembles whole
// messages in buffers, stored errors, the handle parameters 60 to 66 and
// the operation table through which the NI core reaches all of it.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "krn/dptrc/err.h"
#include "krn/ni/niaddr_int.h"
#include "krn/ni/nibuf_int.h"
#include "krn/ni/nictl_int.h"
#include "krn/ni/nimsg_int.h"

namespace {

constexpr const WEQ_UC* kNiBufHdlModule = u"nibuf";
constexpr const WEQ_UC* kBufTalkName[] = {u"MESG_IO", u"RAW_IO", u"ROUT_IO"};
constexpr const WEQ_UC* kBufStatusName[] = {u"OFF", u"CONN_WAIT", u"OK", u"ERR", u"ACCEPTING", u"SENDING"};
// Raw reads take one TCP segment: 1460 bytes, 1440 over IPv6 proper.
constexpr int32_t kRawSegment4 = 1460;
constexpr int32_t kRawSegment6 = 1440;

NI_RC DefaultAlloc(NIBUF** ppBuffer, int32_t length, const WEQ_UC* text) {
  return NiBufAlloc2(ppBuffer, length, text, nullptr);
}

// A control exchange reads and writes framed messages whatever the mode.
uint8_t IoMode(const NIBUF_EXT* pExt) { return pExt->hsCount > 0 ? static_cast<uint8_t>(NI_MESG_IO) : pExt->talkMode; }

bool IsMarker(const NIBUF* buf) { return buf == NiBufIPongMarker(); }

void LinkNewest(NIBUF_EXT* pExt, NIBUF* buf) {
  buf->prev = pExt->newest;
  buf->next = nullptr;
  if (pExt->newest != nullptr) pExt->newest->next = buf;
  pExt->newest = buf;
}

void LinkBefore(NIBUF_EXT* pExt, NIBUF* buf, NIBUF* before) {
  if (before == nullptr) {
    LinkNewest(pExt, buf);
    return;
  }
  buf->next = before;
  buf->prev = before->prev;
  if (before->prev != nullptr) before->prev->next = buf;
  before->prev = buf;
}

void Unlink(NIBUF_EXT* pExt, NIBUF* buf) {
  if (buf->prev != nullptr) buf->prev->next = buf->next;
  if (buf->next != nullptr) buf->next->prev = buf->prev;
  if (pExt->newest == buf) pExt->newest = buf->prev;
  buf->prev = buf->next = nullptr;
}

// A buffer of at least length bytes from the handle's allocator, data at
// its start; a smaller one is refused.
NI_RC AllocFor(NITAB* pHdl, NIBUF_EXT* pExt, int32_t length, const WEQ_UC* text, NIBUF** ppBuffer) {
  static constexpr const WEQ_UC* kFn = u"NiBufIIn";
  *ppBuffer = nullptr;
  NI_RC rc = pExt->allocFunc(ppBuffer, length, text);
  if (rc != WEQ_O_K) return rc;
  NIBUF* buf = *ppBuffer;
  if (buf == nullptr || buf->buflen < length) {
    int32_t got = buf != nullptr ? buf->buflen : 0;
    if (buf != nullptr) NiBufFree(ppBuffer);
    DPTRC_LINE(1, NiIHdlTrc(pHdl), u"%s: retured buffer too small (%d<%d)\n", kFn, got, length);
    return NiIErrInfo(kNiBufHdlModule, __LINE__, u"%s: retured buffer too small (%d<%d)", NIETOO_BIG, kFn, got, length);
  }
  buf->data = buf->buffer;
  buf->len = 0;
  return WEQ_O_K;
}

NI_RC UpdateAfter(NITAB* pHdl, NIBUF_EXT* pExt, NI_RC rc) {
  NI_RC u = NiBufISelUpdate(pHdl, pExt, nullptr, false);
  return u != WEQ_O_K && (rc == WEQ_O_K || rc == NIEQUE_FULL) ? NIEINTERN : rc;
}

// --- Stored errors ---------------------------------------------------------------------

}  // namespace

NI_RC NiBufICheckError(NITAB* pHdl, NIBUF_EXT* pExt) {
  static constexpr const WEQ_UC* kFn = u"NiBufICheckError";
  if (pExt->status != NIBUF_STAT_ERR) return WEQ_O_K;
  NIBUF* saved = pExt->readyBuf;
  if (saved == nullptr || IsMarker(saved)) {
    return NiIErrTrace(kNiBufHdlModule, __LINE__, 1, u"%s: buffer of hdl %d in stat err without errinfo", NIEINTERN,
                       kFn, NiIHdlNo(pHdl));
  }
  ErrCpTo(reinterpret_cast<const WEQ_UC*>(saved->data), static_cast<size_t>(saved->len) / sizeof(WEQ_UC));
  NI_RC rc = pExt->storedRc;
  NiBufFree(&pExt->readyBuf);
  DPTRC_LINE(NiIHdlLevel(pHdl, 2), NiIHdlTrc(pHdl), u"%s: setting errInfo for hdl %d (rc=%d)\n", kFn,
             NiIHdlNo(pHdl), rc);
  return rc;
}

namespace {

// --- Writing ---------------------------------------------------------------------------

// Writes the ready-queue: 0 when it drained, NIETIMEOUT when the socket
// took only part, or the failure.
NI_RC WriteReadyQueue(NITAB* pHdl, NIBUF_EXT* pExt, int32_t timeout) {
  while (pExt->pendWrite != nullptr) {
    NIBUF* buf = pExt->pendWrite;
    uint32_t written = 0;
    NI_RC rc = NiIWrite(pHdl, buf->data, static_cast<uint32_t>(buf->len), timeout, IoMode(pExt), &written);
    if (rc == NIETIMEOUT) {
      if (written != 0) {
        buf->data += written;
        buf->len -= static_cast<int32_t>(written);
        pExt->progress = 1;
      }
      return NIETIMEOUT;
    }
    if (rc != WEQ_O_K) return rc;
    pExt->progress = 1;
    NIBUF* next = buf->next;
    Unlink(pExt, buf);
    NiBufFree(&buf);
    if (next == nullptr || next == pExt->nextUser) {
      pExt->pendWrite = nullptr;
      NiBufISelUpdate(pHdl, pExt, nullptr, false);
      break;
    }
    pExt->pendWrite = next;
  }
  return WEQ_O_K;
}

// Writes data now, or keeps what the socket did not take at the end of the
// ready-queue: in *ppBuffer itself when the data lies there (no copy), else
// copied. NIETIMEOUT then, with *ppBuffer taken; a given buffer is freed on
// any other result.
NI_RC PrivateWrite(NITAB* pHdl, NIBUF_EXT* pExt, NIBUF** ppBuffer, const void* pData, uint32_t length,
                   int32_t timeout) {
  static constexpr const WEQ_UC* kFn = u"NiBufIPrivateWrite";
  NI_RC rc = WEQ_O_K;
  uint32_t written = 0;
  if (pExt->pendWrite != nullptr) rc = WriteReadyQueue(pHdl, pExt, timeout);
  if (rc == WEQ_O_K) rc = NiIWrite(pHdl, pData, length, timeout, IoMode(pExt), &written);
  if (rc != NIETIMEOUT) {
    if (ppBuffer != nullptr && *ppBuffer != nullptr) NiBufFree(ppBuffer);
    return rc;
  }
  const WEQ_RAW* rest = static_cast<const WEQ_RAW*>(pData) + written;
  auto restLen = static_cast<int32_t>(length - written);
  NIBUF* buf = ppBuffer != nullptr ? *ppBuffer : nullptr;
  CTRC_HDL trc = NiIHdlTrc(pHdl);
  auto at = reinterpret_cast<uintptr_t>(rest);
  if (buf != nullptr && at >= reinterpret_cast<uintptr_t>(buf->buffer) &&
      at + static_cast<uintptr_t>(restLen) <= reinterpret_cast<uintptr_t>(buf->buffer + buf->buflen)) {
    buf->data = const_cast<WEQ_RAW*>(rest);
    buf->len = restLen;
    DPTRC_LINE(3, trc, u"%s: Adjusting data in NIBUF len=%d\n", kFn, restLen);
  } else {
    if (buf != nullptr && buf->buflen >= restLen) {
      memmove(buf->buffer, rest, static_cast<size_t>(restLen));
    } else {
      NIBUF* fresh = nullptr;
      NI_RC arc = AllocFor(pHdl, pExt, restLen, u"NIBUF", &fresh);
      if (arc != WEQ_O_K) {
        if (buf != nullptr) NiBufFree(ppBuffer);
        return arc;
      }
      memcpy(fresh->buffer, rest, static_cast<size_t>(restLen));
      if (buf != nullptr) NiBufFree(ppBuffer);
      buf = fresh;
    }
    buf->data = buf->buffer;
    buf->len = restLen;
    DPTRC_LINE(3, trc, u"%s: save data in NIBUF len=%d\n", kFn, restLen);
  }
  LinkBefore(pExt, buf, pExt->nextUser);
  if (pExt->pendWrite == nullptr) pExt->pendWrite = buf;
  if (ppBuffer != nullptr) *ppBuffer = nullptr;
  DPTRC_LINE(NiIHdlLevel(pHdl, 2), trc, u"%s: put buffer %p in ready-queue for hdl %d\n", kFn,
             static_cast<const void*>(buf), NiIHdlNo(pHdl));
  return NIETIMEOUT;
}

// Adds a message to the user queue: 0, NIEQUE_FULL (queued, nearly full),
// or NIETIMEOUT (full: nothing queued, the caller keeps its buffer).
NI_RC AddUserQueue(NITAB* pHdl, NIBUF_EXT* pExt, NIBUF** ppBuffer, const void* pData, uint32_t length) {
  static constexpr const WEQ_UC* kFn = u"NiBufIAddUserQueue";
  CTRC_HDL trc = NiIHdlTrc(pHdl);
  int32_t hdl = NiIHdlNo(pHdl);
  if (pExt->userQueueLen >= pExt->maxQueue) {
    DPTRC_LINE(NiIHdlLevel(pHdl, 2), trc, u"%s: queue for hdl %d full (%d packets)\n", kFn, hdl,
               static_cast<int32_t>(pExt->userQueueLen));
    return NIETIMEOUT;
  }
  NIBUF* buf = nullptr;
  if (ppBuffer != nullptr) {
    buf = *ppBuffer;
    *ppBuffer = nullptr;
  } else {
    NI_RC rc = AllocFor(pHdl, pExt, static_cast<int32_t>(length), u"NIBUF", &buf);
    if (rc != WEQ_O_K) return rc;
    if (length != 0) memcpy(buf->buffer, pData, length);
    buf->len = static_cast<int32_t>(length);
  }
  LinkNewest(pExt, buf);
  if (pExt->nextUser == nullptr) pExt->nextUser = buf;
  pExt->userQueueLen += 1;
  if (pExt->hsCount == 0) NiBufISelUpdate(pHdl, pExt, nullptr, false);
  uint64_t heap = NiBufIHeapUsed();
  DPTRC_LINE(NiIHdlLevel(pHdl, 2), trc, u"%s: added buffer %p to out-queue (hdl %d, %d packets, heap %d)\n", kFn,
             static_cast<const void*>(buf), hdl, static_cast<int32_t>(pExt->userQueueLen),
             static_cast<int32_t>(heap > INT32_MAX ? INT32_MAX : heap));
  if (static_cast<uint64_t>(pExt->userQueueLen) + pExt->warnQueue >= pExt->maxQueue) {
    DPTRC_LINE(NiIHdlLevel(pHdl, 2), trc, u"%s: out-queue for hdl %d down to %d packets\n", kFn, hdl,
               static_cast<int32_t>(pExt->maxQueue - pExt->userQueueLen));
    return NIEQUE_FULL;
  }
  uint32_t limit = NiBufIMaxHeap();
  if (limit != 0 && heap >= limit) {
    DPTRC_LINE(NiIHdlLevel(pHdl, 2), trc, u"%s: heap-space exhausted (%d > limit %d)\n", kFn,
               static_cast<int32_t>(heap > INT32_MAX ? INT32_MAX : heap), static_cast<int32_t>(limit));
    return NIEQUE_FULL;
  }
  return WEQ_O_K;
}

// While a control exchange owns the connection: writes the ready-queue and
// reads in turn until it ends. finish: an exchange's own wait, which hands
// back NIEPING and NIEACCEPT; otherwise a keep-alive answer is kept for the
// user's next read and NIEACCEPT ends the exchange's part.
NI_RC RunHandshake(NITAB* pHdl, NIBUF_EXT* pExt, int32_t timeout, bool finish) {
  static constexpr const WEQ_UC* kFn = u"NiBufIEmptyOutQueue";
  while (pExt->hsCount > 0) {
    NI_RC rc;
    if (pExt->pendWrite != nullptr) {
      rc = WriteReadyQueue(pHdl, pExt, timeout);
    } else if (pExt->readyBuf != nullptr) {
      // A message waits for the user: nothing more can be read now.
      return NIETIMEOUT;
    } else {
      rc = NiBufIIn(pHdl, pExt, timeout);
    }
    if (rc == NIEPING) {
      DPTRC_WARNING(NiIHdlTrc(pHdl), u"%s: PONG received during handshake\n", finish ? u"NiBufIFinishHandshake" : kFn);
      if (finish) return NIEPING;
      if (pExt->readyBuf == nullptr) pExt->readyBuf = NiBufIPongMarker();
      return NIETIMEOUT;
    }
    if (rc == NIEACCEPT) return finish ? NIEACCEPT : WEQ_O_K;
    if (rc != WEQ_O_K) return rc;
  }
  return WEQ_O_K;
}

// --- Reading ---------------------------------------------------------------------------

// Waits until the socket can be read or written (poll where available).
NI_RC WaitReadWrite(NITAB* pHdl, int32_t timeout, bool* pReadable, bool* pWritable) {
  *pReadable = *pWritable = false;
  SI_SOCKET* sock = &pHdl->con.mSocket;
  if (SiPollAvailable()) {
    SI_POLL_FD fd{sock->socketNo, static_cast<int16_t>(SI_POLLRDNORM | SI_POLLRDBAND | SI_POLLWRNORM), 0};
    NI_RC rc = NiIPoll(&fd, 1, timeout, nullptr);
    if (rc != WEQ_O_K) return rc;
    *pReadable = (fd.revents & (SI_POLLIN | SI_POLLPRI | SI_POLLERR | SI_POLLHUP | SI_POLLNVAL)) != 0;
    *pWritable = (fd.revents & SI_POLLWRNORM) != 0;
    return WEQ_O_K;
  }
  SiFdMask<1> rd, wr;
  SiFdSet(sock, rd, 1);
  SiFdSet(sock, wr, 1);
  NI_RC rc = NiISelect(rd, wr, timeout, nullptr);
  if (rc != WEQ_O_K) return rc;
  *pReadable = SiFdIsSet(sock, rd) != 0;
  *pWritable = SiFdIsSet(sock, wr) != 0;
  return WEQ_O_K;
}

// Reads while a write waits, so that neither side blocks the other: the
// out-queue moves whenever the socket takes data, and the input step runs
// when data came or nothing waits to be written any more. It returns when
// a message is ready, when a keep-alive request was answered
// (*pPingAnswered), on a failure, or with NIETIMEOUT when the time-out is
// over: a control message taken on the way that leaves nothing to report
// (a version request, a PONG nobody waited for) does not end the wait.
NI_RC TryToRead(NITAB* pHdl, NIBUF_EXT* pExt, int32_t timeout, bool* pPingAnswered) {
  static constexpr const WEQ_UC* kFn = u"NiBufITryToRead";
  *pPingAnswered = false;
  const int64_t deadline = timeout > 0 ? NiIMonoMs() + timeout : 0;
  for (;;) {
    int32_t left = timeout;
    if (timeout > 0) {
      int64_t now = NiIMonoMs();
      left = now >= deadline ? 0 : static_cast<int32_t>(deadline - now);
    }
    NI_RC rc;
    if (pExt->pendWrite == nullptr) {
      rc = NiBufIIn(pHdl, pExt, left, pPingAnswered);
      if (rc != WEQ_O_K) return rc;
    } else {
      bool readable = false, writable = false;
      rc = WaitReadWrite(pHdl, left, &readable, &writable);
      if (rc != WEQ_O_K) return rc;
      if (writable) {
        rc = NiBufIEmptyOutQueue(pHdl, pExt, 0);
        if (rc != WEQ_O_K && rc != NIETIMEOUT) {
          DPTRC_LINE(1, NiIHdlTrc(pHdl), u"%s: NiBufIEmptyOutQueue failed (rc=%d)\n", kFn, rc);
          return rc;
        }
      }
      rc = readable ? NiBufIIn(pHdl, pExt, pExt->pendWrite != nullptr ? 0 : left, pPingAnswered) : NIETIMEOUT;
      if (rc != WEQ_O_K && rc != NIETIMEOUT) return rc;
    }
    if (pExt->readyBuf != nullptr || *pPingAnswered) return WEQ_O_K;
    // After a control message (rc 0) the socket is read again at once,
    // even with time-out 0: what follows it may be there already.
    if (rc != WEQ_O_K && left == 0) return NIETIMEOUT;
    if (timeout > 0 && NiIMonoMs() >= deadline) return NIETIMEOUT;
  }
}

// A ready message for the user, or why there is none; *ppReady receives it.
// A read that found no message but answered a keep-alive request reports
// NIEPING.
NI_RC ReadyMessage(NITAB* pHdl, NIBUF_EXT* pExt, int32_t timeout, NIBUF** ppReady) {
  *ppReady = nullptr;
  NI_RC rc = NiBufICheckError(pHdl, pExt);
  if (rc != WEQ_O_K) return rc;
  if (pExt->readyBuf == nullptr) {
    bool pinged = false;
    rc = TryToRead(pHdl, pExt, timeout, &pinged);
    if (rc != WEQ_O_K) return rc;
    if (pExt->readyBuf == nullptr) return NIEPING;
  }
  if (IsMarker(pExt->readyBuf)) {
    if (pExt->accepted != nullptr) return NIEACCEPT;
    pExt->readyBuf = nullptr;
    return NIEPING;
  }
  *ppReady = pExt->readyBuf;
  return WEQ_O_K;
}

// --- Table operations ------------------------------------------------------------------

void OpClose(NITAB* pHdl, NIBUF_EXT* pExt) { NiBufICloseExt(pHdl, pExt, true); }

NI_RC OpRead(NITAB* pHdl, NIBUF_EXT* pExt, void* pBuffer, uint32_t bufferLen, int32_t timeout, uint32_t* pRead) {
  static constexpr const WEQ_UC* kFn = u"NiBufIRead";
  if (pRead != nullptr) *pRead = 0;
  NIBUF* msg = nullptr;
  NI_RC rc = ReadyMessage(pHdl, pExt, timeout, &msg);
  if (rc != WEQ_O_K) return UpdateAfter(pHdl, pExt, rc);
  uint32_t n = static_cast<uint32_t>(msg->len) < bufferLen ? static_cast<uint32_t>(msg->len) : bufferLen;
  if (n != 0) memcpy(pBuffer, msg->data, n);
  if (pRead != nullptr) *pRead = n;
  if (n < static_cast<uint32_t>(msg->len)) {
    // The rest stays for the next read.
    int32_t whole = msg->len;
    msg->data += n;
    msg->len -= static_cast<int32_t>(n);
    return NiIErrInfo(kNiBufHdlModule, __LINE__, u"%s: buffer too small (%d<%d)", NIETOO_SMALL, kFn,
                      static_cast<int32_t>(bufferLen), whole);
  }
  NiBufFree(&pExt->readyBuf);
  return UpdateAfter(pHdl, pExt, WEQ_O_K);
}

NI_RC OpWrite(NITAB* pHdl, NIBUF_EXT* pExt, const void* pData, uint32_t dataLen, int32_t timeout,
              uint32_t* pWritten) {
  if (pWritten != nullptr) *pWritten = 0;
  NI_RC rc = NiBufICheckError(pHdl, pExt);
  if (rc != WEQ_O_K) return rc;
  rc = NiBufIEmptyOutQueue(pHdl, pExt, timeout);
  // While a control exchange owns the connection, user messages wait.
  if (rc == WEQ_O_K && pExt->hsCount > 0) rc = NIETIMEOUT;
  if (rc == NIETIMEOUT) {
    rc = AddUserQueue(pHdl, pExt, nullptr, pData, dataLen);
    // A full queue took nothing: the caller writes the whole message again.
    if (rc == NIETIMEOUT) return UpdateAfter(pHdl, pExt, rc);
  } else if (rc == WEQ_O_K) {
    rc = PrivateWrite(pHdl, pExt, nullptr, pData, dataLen, timeout);
    if (rc == NIETIMEOUT) rc = WEQ_O_K;
  }
  if (rc != WEQ_O_K && rc != NIEQUE_FULL) return UpdateAfter(pHdl, pExt, rc);
  if (pWritten != nullptr) *pWritten = dataLen;
  return UpdateAfter(pHdl, pExt, rc);
}

NI_RC OpPeek(NITAB* pHdl, NIBUF_EXT* pExt, int32_t timeout, uint32_t* pLength, uint8_t mode) {
  if (pLength != nullptr) *pLength = 0;
  NI_RC rc = NiBufICheckError(pHdl, pExt);
  if (rc != WEQ_O_K) return rc;
  if (mode != NI_READ) return UpdateAfter(pHdl, pExt, NiBufIEmptyOutQueue(pHdl, pExt, timeout));
  if (pExt->readBuf != nullptr || pExt->readyBuf == nullptr) {
    bool pinged = false;
    rc = TryToRead(pHdl, pExt, timeout, &pinged);
    if (rc != WEQ_O_K && rc != NIETIMEOUT && rc != NIEPING) return UpdateAfter(pHdl, pExt, rc);
    // A keep-alive request answered on the way, or an answer to the
    // handle's own check, is what came in: the marker reports it to the
    // next read (NIEPING) without a second PONG.
    if ((rc == NIEPING || pinged) && pExt->readyBuf == nullptr) pExt->readyBuf = NiBufIPongMarker();
  }
  NIBUF* ready = pExt->readyBuf;
  if (ready != nullptr) {
    if (pLength != nullptr && !IsMarker(ready)) *pLength = static_cast<uint32_t>(ready->len);
    return UpdateAfter(pHdl, pExt, WEQ_O_K);
  }
  if (pLength != nullptr && pExt->readBuf != nullptr) *pLength = static_cast<uint32_t>(pExt->readBuf->len);
  return UpdateAfter(pHdl, pExt, NIETIMEOUT);
}

NI_RC ParamType(const NI_PARAM_DATA* pParamData, uint8_t want) {
  static constexpr const WEQ_UC* kFn = u"NiBufISetHdlParam";
  if (pParamData->datatype == want) return WEQ_O_K;
  if (want == NI_DT_RAW)
    return NiIErrTrace(kNiBufHdlModule, __LINE__, 1, u"%s: parameter invalid (pParamData->datatype != NI_DT_RAW)",
                       NIEINVAL, kFn);
  if (want == NI_DT_ALLOCFUNC)
    return NiIErrTrace(kNiBufHdlModule, __LINE__, 1,
                       u"%s: parameter invalid (pParamData->datatype != NI_DT_ALLOCFUNC)", NIEINVAL, kFn);
  return NiIErrTrace(kNiBufHdlModule, __LINE__, 1, u"%s: parameter invalid (pParamData->datatype != NI_DT_UINT)",
                     NIEINVAL, kFn);
}

NI_RC OpGetParam(NITAB*, NIBUF_EXT* pExt, NI_PARAM_DATA* pParamData, bool* pHandled) {
  *pHandled = true;
  switch (pParamData->param) {
    case NIHP_BUF_TALKMODE:
      pParamData->datatype = NI_DT_RAW;
      pParamData->value.raw_val = pExt->talkMode;
      break;
    case NIHP_BUF_PROGRESS:
      pParamData->datatype = NI_DT_RAW;
      pParamData->value.raw_val = pExt->newest == nullptr ? 0 : (pExt->progress ? 1 : 2);
      break;
    case NIHP_ALLOC_FUNC:
      pParamData->datatype = NI_DT_ALLOCFUNC;
      pParamData->value.allocfunc_val = pExt->allocFunc;
      break;
    case NIHP_MAXQUEUE:
    case NIHP_WARNQUEUE:
    case NIHP_MAXMSGLEN:
      pParamData->datatype = NI_DT_UINT;
      pParamData->value.uint_val = pParamData->param == NIHP_MAXQUEUE    ? pExt->maxQueue
                                   : pParamData->param == NIHP_WARNQUEUE ? pExt->warnQueue
                                                                          : pExt->maxMsgLen;
      break;
    default:
      *pHandled = false;
      break;
  }
  return WEQ_O_K;
}

NI_RC OpSetParam(NITAB* pHdl, NIBUF_EXT* pExt, const NI_PARAM_DATA* pParamData, bool* pHandled) {
  static constexpr const WEQ_UC* kFn = u"NiBufISetHdlParam";
  *pHandled = true;
  CTRC_HDL trc = NiIHdlTrc(pHdl);
  int32_t hdl = NiIHdlNo(pHdl);
  int lvl = NiIHdlLevel(pHdl, 2);
  NI_RC rc;
  switch (pParamData->param) {
    case NIHP_BUF_TALKMODE: {
      if ((rc = ParamType(pParamData, NI_DT_RAW)) != WEQ_O_K) return rc;
      uint8_t mode = pParamData->value.raw_val;
      if (mode != NI_MESG_IO && mode != NI_ROUT_IO && mode != NI_RAW_IO)
        return NiIErrTrace(kNiBufHdlModule, __LINE__, 1,
                           u"%s: parameter invalid (pParamData->value.raw_val != NI_MESG_IO && "
                           u"pParamData->value.raw_val != NI_ROUT_IO && pParamData->value.raw_val != NI_RAW_IO)",
                           NIEINVAL, kFn);
      pExt->talkMode = mode;
      DPTRC_LINE(lvl, trc, u"%s: set talkmode of hdl %d to %s%s\n", kFn, hdl, kBufTalkName[mode],
                 pExt->hsCount > 0 ? u" (saved)" : u"");
      return WEQ_O_K;
    }
    case NIHP_BUFSTAT:
      if ((rc = ParamType(pParamData, NI_DT_RAW)) != WEQ_O_K) return rc;
      if (pParamData->value.raw_val != NI_BUFSTAT_OFF)
        return NiIErrTrace(kNiBufHdlModule, __LINE__, 1,
                           u"%s: parameter invalid (pParamData->value.raw_val != NI_BUFSTAT_OFF)", NIEINVAL, kFn);
      NiBufICloseExt(pHdl, pExt, false);
      DPTRC_LINE(lvl, trc, u"%s: hdl %d, bufstat %d\n", kFn, hdl, static_cast<int32_t>(NI_BUFSTAT_OFF));
      return WEQ_O_K;
    case NIHP_BUF_PROGRESS:
      if (pExt->newest != nullptr) pExt->progress = 0;
      return WEQ_O_K;
    case NIHP_ALLOC_FUNC:
      if ((rc = ParamType(pParamData, NI_DT_ALLOCFUNC)) != WEQ_O_K) return rc;
      // Called for every message received: there must be one.
      if (pParamData->value.allocfunc_val == nullptr)
        return NiIErrTrace(kNiBufHdlModule, __LINE__, 1, u"%s: parameter invalid (pParamData->value.allocfunc_val == NULL)",
                           NIEINVAL, kFn);
      pExt->allocFunc = pParamData->value.allocfunc_val;
      DPTRC_LINE(lvl, trc, u"%s: set alloc function for hdl %d to %p\n", kFn, hdl,
                 reinterpret_cast<const void*>(pExt->allocFunc));
      return WEQ_O_K;
    case NIHP_MAXQUEUE:
      if ((rc = ParamType(pParamData, NI_DT_UINT)) != WEQ_O_K) return rc;
      pExt->maxQueue = pParamData->value.uint_val;
      DPTRC_LINE(lvl, trc, u"%s: set max queue for hdl %d to %d\n", kFn, hdl, static_cast<int32_t>(pExt->maxQueue));
      return UpdateAfter(pHdl, pExt, WEQ_O_K);
    case NIHP_WARNQUEUE:
      if ((rc = ParamType(pParamData, NI_DT_UINT)) != WEQ_O_K) return rc;
      pExt->warnQueue = pParamData->value.uint_val;
      DPTRC_LINE(lvl, trc, u"%s: set warn queue for hdl %d to %d\n", kFn, hdl, static_cast<int32_t>(pExt->warnQueue));
      return WEQ_O_K;
    case NIHP_MAXMSGLEN:
      if ((rc = ParamType(pParamData, NI_DT_UINT)) != WEQ_O_K) return rc;
      pExt->maxMsgLen = pParamData->value.uint_val;
      DPTRC_LINE(lvl, trc, u"%s: set max message length for hdl %d to %d\n", kFn, hdl,
                 static_cast<int32_t>(pExt->maxMsgLen));
      return WEQ_O_K;
    default:
      *pHandled = false;
      return WEQ_O_K;
  }
}

constexpr NI_BUF_OPS kBufOps = {OpClose, OpRead, OpWrite, OpGetParam, OpSetParam, OpPeek};

// The checks of the public entries: handle, buffer pointer, extension.
NI_RC PublicHdl(NI_HDL hdl, NIBUF** ppBuffer, bool sending, const WEQ_UC* fn, NITAB** ppHdl, NIBUF_EXT** ppExt) {
  NI_RC rc = NiIHdlCheck(hdl, fn, ppHdl);
  if (rc != WEQ_O_K) return rc;
  if (ppBuffer == nullptr)
    return NiIErrTrace(kNiBufHdlModule, __LINE__, 1, u"%s: parameter invalid (ppBuffer == NULL)", NIEINVAL, fn);
  if (sending && *ppBuffer == nullptr)
    return NiIErrTrace(kNiBufHdlModule, __LINE__, 1, u"%s: parameter invalid (*ppBuffer == NULL)", NIEINVAL, fn);
  *ppExt = (*ppHdl)->mBuf;
  if (*ppExt != nullptr) return WEQ_O_K;
  return NiIErrTrace(kNiBufHdlModule, __LINE__, 1, u"%s: parameter invalid (*ppBufHdl == NULL)", NIEINVAL, fn);
}

}  // namespace

// --- Extension -------------------------------------------------------------------------

const NI_BUF_OPS* NiBufIOps(void) { return &kBufOps; }

const WEQ_UC* NiBufIStatusName(uint8_t status) {
  if (status < sizeof(kBufStatusName) / sizeof(kBufStatusName[0])) return kBufStatusName[status];
  DPTRC_LINE(1, NiITrcHdl(), u"%s: unknown status %d\n", u"NiBufIStatusName", static_cast<int32_t>(status));
  return u"???";
}

NI_RC NiBufIHdlInit(NITAB* pHdl) {
  static constexpr const WEQ_UC* kFn = u"NiBufIHdlInit";
  if (pHdl->mBuf != nullptr || pHdl->mBufOps != nullptr)
    return NiIErrTrace(kNiBufHdlModule, __LINE__, 1, u"%s: called with filled extension", NIEINTERN, kFn);
  auto* ext = static_cast<NIBUF_EXT*>(calloc(1, sizeof(NIBUF_EXT)));
  if (ext == nullptr)
    return NiIErrTrace(kNiBufHdlModule, __LINE__, 1, u"%s: malloc failed for %d bytes", NIEINTERN, kFn,
                       static_cast<int32_t>(sizeof(NIBUF_EXT)));
  ext->status = NIBUF_STAT_OK;
  ext->talkMode = NI_MESG_IO;
  ext->allocFunc = DefaultAlloc;
  ext->maxMsgLen = NIBUF_MAXALLOC;
  ext->localPeer = static_cast<uint8_t>(NiIIsLocalPeer(pHdl));
  pHdl->mBuf = ext;
  pHdl->mBufOps = &kBufOps;
  return WEQ_O_K;
}

NI_RC NiBufIGetBufHdl(NITAB* pHdl, NIBUF_EXT** ppExt) {
  *ppExt = pHdl->mBuf;
  if (*ppExt != nullptr) return WEQ_O_K;
  return NiIErrTrace(kNiBufHdlModule, __LINE__, 1, u"%s: parameter invalid (*ppBufHdl == NULL)", NIEINVAL,
                     u"NiBufIGetBufHdl");
}

void NiBufISetStatus(NITAB* pHdl, NIBUF_EXT* pExt, uint8_t status) {
  DPTRC_LINE(NiIHdlLevel(pHdl, 3), NiIHdlTrc(pHdl), u"%s: hdl %d changed from %s to %s\n", u"NiBufISetStatus",
             NiIHdlNo(pHdl), NiBufIStatusName(pExt->status), NiBufIStatusName(status));
  pExt->status = status;
}

NI_RC NiBufISetError(NITAB* pHdl, NIBUF_EXT* pExt, NI_RC rc) {
  static constexpr const WEQ_UC* kFn = u"NiBufISetError";
  if (pExt->status == NIBUF_STAT_ERR) {
    DPTRC_LINE(NiIHdlLevel(pHdl, 2), NiIHdlTrc(pHdl), u"%s: discarding error %d due to older error\n", kFn, rc);
    return rc;
  }
  NiBufFree(&pExt->readBuf);
  if (IsMarker(pExt->readyBuf))
    pExt->readyBuf = nullptr;
  else
    NiBufFree(&pExt->readyBuf);
  NiBufISetStatus(pHdl, pExt, NIBUF_STAT_ERR);
  // The code itself is kept: the saved record may hold another one.
  pExt->storedRc = rc;
  if (!ErrIsSet()) NiIErrInfo(kNiBufHdlModule, __LINE__, u"%s: no error information found", NIEINTERN, kFn);
  const WEQ_UC* record = nullptr;
  size_t units = 0;
  if (ErrGetAttr(&record, &units) == 0 &&
      DefaultAlloc(&pExt->readyBuf, static_cast<int32_t>(units * sizeof(WEQ_UC)), u"NIBUF-ERR") == WEQ_O_K) {
    memcpy(pExt->readyBuf->buffer, record, units * sizeof(WEQ_UC));
    pExt->readyBuf->len = static_cast<int32_t>(units * sizeof(WEQ_UC));
  }
  NiBufISelUpdate(pHdl, pExt, nullptr, false);
  return rc;
}

NI_RC NiBufIIn(NITAB* pHdl, NIBUF_EXT* pExt, int32_t timeout, bool* pPingAnswered) {
  static constexpr const WEQ_UC* kFn = u"NiBufIIn";
  if (pPingAnswered != nullptr) *pPingAnswered = false;
  if (pExt->status == NIBUF_STAT_ACCEPTING) {
    NI_RC rc = NiBufIAcceptSentHdl(pHdl, pExt, timeout);
    if (rc == WEQ_O_K) return NIEACCEPT;
    if (rc == NIETIMEOUT) rc = NIEINTERN;
    // The sender learns why and closes its copies; the caller keeps the
    // error information that the send passes on.
    NiIErrKeep keep;
    NiBufISendErr(pHdl, pExt, 0, rc);
    return rc;
  }
  // One message at a time: the next waits in the socket until this one is taken.
  if (pExt->readyBuf != nullptr) return WEQ_O_K;
  const uint8_t mode = IoMode(pExt);
  const bool raw = mode == NI_RAW_IO;
  CTRC_HDL trc = NiIHdlTrc(pHdl);
  // A framed message has a buffer only once its data is due. Another one
  // here is the empty segment of a raw read that found nothing before the
  // talk mode changed: the header sizes the buffer instead.
  if (pExt->readBuf != nullptr && !raw && pHdl->mPendDataLenToRead == 0) NiBufFree(&pExt->readBuf);
  if (pExt->readBuf == nullptr && raw) {
    const SI_SOCKET& s = pHdl->con.mSocket;
    const WEQ_RAW* a = pHdl->con.mPeerAddr.addr;
    static constexpr WEQ_RAW kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    bool ipv6 = s.family == SI_AF_INET6 && memcmp(a, kMapped, sizeof kMapped) != 0;
    NI_RC rc = AllocFor(pHdl, pExt, ipv6 ? kRawSegment6 : kRawSegment4, u"NIBUF-IN", &pExt->readBuf);
    if (rc != WEQ_O_K) return rc;
  }
  for (;;) {
    NIBUF* rb = pExt->readBuf;
    WEQ_RAW* dst = rb != nullptr ? rb->data + rb->len : nullptr;
    uint32_t room = rb != nullptr ? static_cast<uint32_t>(rb->buflen - (rb->data - rb->buffer) - rb->len) : 0;
    uint32_t got = 0;
    NI_RC rc = NiIRead(pHdl, dst, room, timeout, mode, &got);
    if (rc == NIETOO_SMALL) {
      if (rb != nullptr || raw)
        return NiIErrTrace(kNiBufHdlModule, __LINE__, 1, u"%s: NIETOO_SMALL with allocated buffer", NIEINTERN, kFn);
      // An 8-byte message begun in the handle counts whole (what it holds
      // and what is still due).
      auto need = static_cast<uint32_t>(NiIPendLen(pHdl, NI_READ, 1));
      if (need > pExt->maxMsgLen) {
        WEQ_UC peer[NI_NODEADDR_STR_LEN];
        NiAddrToStr2(&pHdl->con.mPeerAddr, peer, NI_NODEADDR_STR_LEN, 0);
        uint16_t local = 0;
        NiIGetSockName(pHdl, &pHdl->con.mSocket, nullptr, &local, nullptr, 0);
        DPTRC_ERROR(trc, u"%s: message length %d exceeds max (%d) (hdl %d;peer=%s%c%d;local=%d)\n", kFn,
                    static_cast<int32_t>(need), static_cast<int32_t>(pExt->maxMsgLen), NiIHdlNo(pHdl), +peer,
                    NiIAddrServSep(peer), static_cast<int32_t>(NiNtohs(pHdl->con.mPeerServNo)),
                    static_cast<int32_t>(NiNtohs(local)));
        return NiIErrInfo(kNiBufHdlModule, __LINE__, u"%s: message length %d exceeds max (%d)", NIETOO_BIG, kFn,
                          static_cast<int32_t>(need), static_cast<int32_t>(pExt->maxMsgLen));
      }
      rc = AllocFor(pHdl, pExt, static_cast<int32_t>(need), u"NIBUF-IN", &pExt->readBuf);
      if (rc != WEQ_O_K) return rc;
      continue;
    }
    if (rc == NIETIMEOUT) {
      if (rb != nullptr) rb->len += static_cast<int32_t>(got);
      return NIETIMEOUT;
    }
    if (rc != WEQ_O_K) return rc;
    if (rb == nullptr) {
      // A message of length 0.
      rc = AllocFor(pHdl, pExt, 0, u"NIBUF-IN", &pExt->readBuf);
      if (rc != WEQ_O_K) return rc;
    } else {
      rb->len += static_cast<int32_t>(got);
    }
    break;
  }
  NIBUF* msg = pExt->readBuf;
  if (mode == NI_MESG_IO || pExt->status == NIBUF_STAT_CONN_WAIT) {
    bool ping = NiIKeepAliveKind(msg->data, static_cast<uint32_t>(msg->len)) == NI_KA_PING;
    uint32_t len = static_cast<uint32_t>(msg->len);
    NI_RC peerRc = 0;
    uint8_t version = 0;
    NI_RC rc = NiBufIProcMsg(pHdl, pExt, msg->data, &len, &peerRc, &version);
    if (rc == NIEOPCODE) {
      NiBufFree(&pExt->readBuf);
      if (ping && pPingAnswered != nullptr) *pPingAnswered = true;
      return peerRc;
    }
    if (rc == NIEPING) {
      NiBufFree(&pExt->readBuf);
      if (pExt->status != NIBUF_STAT_CONN_WAIT) return NIEPING;
      NiBufISetStatus(pHdl, pExt, NIBUF_STAT_OK);
      return NiBufISetHS(pHdl, pExt, false);
    }
    if (rc != WEQ_O_K) {
      NiBufFree(&pExt->readBuf);
      return rc;
    }
    if (pExt->status == NIBUF_STAT_CONN_WAIT) {
      NiBufFree(&pExt->readBuf);
      return NiIErrTrace(kNiBufHdlModule, __LINE__, 1, u"%s: invalid data received", NIEINTERN, kFn);
    }
  }
  pExt->readyBuf = msg;
  pExt->readBuf = nullptr;
  return WEQ_O_K;
}

NI_RC NiBufIEmptyOutQueue(NITAB* pHdl, NIBUF_EXT* pExt, int32_t timeout) {
  static constexpr const WEQ_UC* kFn = u"NiBufIEmptyOutQueue";
  NI_RC rc;
  if (pExt->hsCount > 0 && (rc = RunHandshake(pHdl, pExt, timeout, false)) != WEQ_O_K) return rc;
  if ((rc = WriteReadyQueue(pHdl, pExt, timeout)) != WEQ_O_K) return rc;
  while (pExt->userQueueLen > 0 || pExt->nextUser != nullptr) {
    if (pExt->hsCount > 0) return NIETIMEOUT;
    NIBUF* buf = pExt->nextUser;
    if (buf == nullptr) {
      DPTRC_ERROR(NiIHdlTrc(pHdl), u"%s: no more packets in user- or ready-queue?\n", kFn);
      NiBufIDumpOutQueue(pHdl, pExt, 1);
      return NIETIMEOUT;
    }
    pExt->nextUser = buf->next;
    if (pExt->userQueueLen > 0) pExt->userQueueLen -= 1;
    pExt->pendWrite = buf;
    NiBufISelUpdate(pHdl, pExt, nullptr, false);
    uint64_t heap = NiBufIHeapUsed();
    int32_t heapShown = static_cast<int32_t>(heap > INT32_MAX ? INT32_MAX : heap);
    if (pExt->userQueueLen > 0)
      DPTRC_LINE(NiIHdlLevel(pHdl, 2), NiIHdlTrc(pHdl), u"%s: reduced user-queue (hdl %d, %d packets, heap now %d)\n",
                 kFn, NiIHdlNo(pHdl), static_cast<int32_t>(pExt->userQueueLen), heapShown);
    else
      DPTRC_LINE(NiIHdlLevel(pHdl, 2), NiIHdlTrc(pHdl), u"%s: free user-queue (hdl %d, heap now %d)\n", kFn,
                 NiIHdlNo(pHdl), heapShown);
    if ((rc = WriteReadyQueue(pHdl, pExt, timeout)) != WEQ_O_K) return rc;
  }
  return WEQ_O_K;
}

NI_RC NiBufISetHS(NITAB* pHdl, NIBUF_EXT* pExt, bool up) {
  static constexpr const WEQ_UC* kFn = u"NiBufISetHS";
  // What is half written goes out first, in the mode it was begun in.
  auto flushPending = [&] {
    if (pExt->pendWrite != nullptr && WriteReadyQueue(pHdl, pExt, 0) != WEQ_O_K)
      DPTRC_LINE(NiIHdlLevel(pHdl, 2), NiIHdlTrc(pHdl), u"%s: ready-queue could not be freed (hdl %d)\n", kFn,
                 NiIHdlNo(pHdl));
  };
  NI_RC rc = WEQ_O_K;
  if (up) {
    if (pExt->hsCount == 0) flushPending();
    pExt->hsCount += 1;
    if (pExt->hsCount == 1) NiBufISelUpdate(pHdl, pExt, nullptr, false);
  } else {
    if (pExt->hsCount == 0)
      return NiIErrTrace(kNiBufHdlModule, __LINE__, 1, u"%s: invalid status for hdl %d", NIEINTERN, kFn,
                         NiIHdlNo(pHdl));
    if (pExt->hsCount == 1) flushPending();
    pExt->hsCount -= 1;
    if (pExt->hsCount == 0) {
      NiBufISelUpdate(pHdl, pExt, nullptr, false);
      if (pExt->newest != nullptr) {
        rc = NiBufIEmptyOutQueue(pHdl, pExt, 0);
        if (rc == NIETIMEOUT) rc = WEQ_O_K;
      }
    }
  }
  DPTRC_LINE(NiIHdlLevel(pHdl, 2), NiIHdlTrc(pHdl), u"handshake for hdl %d = %d\n", NiIHdlNo(pHdl),
             static_cast<int32_t>(pExt->hsCount));
  return rc;
}

NI_RC NiBufIFinishHandshake(NITAB* pHdl, NIBUF_EXT* pExt, int32_t timeout) {
  return RunHandshake(pHdl, pExt, timeout, true);
}

void NiBufIDumpOutQueue(NITAB* pHdl, NIBUF_EXT* pExt, int level) {
  if (!DPTRC_ON(level)) return;
  CTRC_HDL trc = NiIHdlTrc(pHdl);
  DpTrcLock();
  DpTrc(trc, u"\n%s: mpOutQueue for hdl %d\n", u"NiBufIDumpOutQueue", NiIHdlNo(pHdl));
  bool metNextUser = false;
  int32_t counted = 0;
  bool broken = false;
  for (NIBUF* b = pExt->newest; b != nullptr && b != pExt->pendWrite; b = b->prev) {
    bool user = b == pExt->nextUser;
    metNextUser = metNextUser || user;
    DpTrcCont(trc, u"%c%p (%d)", user ? u'_' : u' ', static_cast<const void*>(b), b->len);
    if (!metNextUser || user) counted += 1;
    if (b->prev != nullptr && b->prev->next != b) {
      DpTrcCont(trc, u", prev %p, break loop\n", static_cast<const void*>(b->prev));
      broken = true;
      break;
    }
  }
  if (!broken) DpTrcCont(trc, u"\n");
  DpTrcCont(trc, u">%p (%d)\n", static_cast<const void*>(pExt->pendWrite),
            pExt->pendWrite != nullptr ? pExt->pendWrite->len : 0);
  if (!metNextUser && pExt->nextUser != nullptr)
    DpTrcCont(trc, u"mpNextUser %p: prev %p, next %p\n", static_cast<const void*>(pExt->nextUser),
              static_cast<const void*>(pExt->nextUser->prev), static_cast<const void*>(pExt->nextUser->next));
  if (counted != static_cast<int32_t>(pExt->userQueueLen))
    DpTrcCont(trc, u"mUserQueueLen %d<>%d\n", static_cast<int32_t>(pExt->userQueueLen), counted);
  DpTrcUnlock();
}

NI_RC NiBufIWriteUserMsg(NITAB* pHdl, NIBUF_EXT* pExt, const void* pData, uint32_t length, int32_t timeout) {
  static constexpr const WEQ_UC* kFn = u"NiBufIWriteUserMsg";
  if (pExt->hsCount == 0 && pExt->talkMode != NI_MESG_IO)
    return NiIErrTrace(kNiBufHdlModule, __LINE__, 1, u"%s: invalid talkmode of hdl %d", NIEINVAL, kFn, NiIHdlNo(pHdl));
  NI_RC rc = NiBufICheckError(pHdl, pExt);
  if (rc != WEQ_O_K) return rc;
  rc = PrivateWrite(pHdl, pExt, nullptr, pData, length, timeout);
  return UpdateAfter(pHdl, pExt, rc == NIETIMEOUT ? WEQ_O_K : rc);
}

bool NiBufIAnswersWaiting(const NIBUF_EXT* pExt, uint32_t limit) {
  uint32_t n = 0;
  for (const NIBUF* b = pExt->pendWrite; b != nullptr && b != pExt->nextUser && n < limit; b = b->next) {
    if (b != pExt->pendWrite) ++n;
  }
  return n >= limit;
}

void NiBufICloseExt(NITAB* pHdl, NIBUF_EXT* pExt, bool handleCloses) {
  static constexpr const WEQ_UC* kFn = u"NiBufIClose";
  CTRC_HDL trc = NiIHdlTrc(pHdl);
  if (pExt->accepted != nullptr) {
    NiICloseHandle(pExt->accepted, 1, 0);
    pExt->accepted = nullptr;
  }
  free(pExt->passData);
  pExt->passData = nullptr;
  NiBufISelLeave(pHdl, pExt, handleCloses);
  if (pExt->readBuf != nullptr || pExt->pendWrite != nullptr)
    DPTRC_WARNING(trc, u"%s: called while buffer filled %c%c\n", kFn, pExt->readBuf != nullptr ? u'r' : u'-',
                  pExt->pendWrite != nullptr ? u'w' : u'-');
  for (NIBUF* b = pExt->nextUser; b != nullptr; b = b->next) {
    if (pExt->userQueueLen > 0) pExt->userQueueLen -= 1;
  }
  for (NIBUF* b = pExt->newest; b != nullptr;) {
    NIBUF* older = b->prev;
    b->prev = b->next = nullptr;
    NiBufFree(&b);
    b = older;
  }
  if (pExt->userQueueLen != 0)
    DPTRC_ERROR(trc, u"%s: mUserQueueLen=%d after freeing queue\n", kFn, static_cast<int32_t>(pExt->userQueueLen));
  uint64_t heap = NiBufIHeapUsed();
  DPTRC_LINE(NiIHdlLevel(pHdl, 2), trc, u"%s: freed out-queue (hdl %d, heap %u)\n", kFn, NiIHdlNo(pHdl),
             static_cast<uint32_t>(heap > UINT32_MAX ? UINT32_MAX : heap));
  NiBufFree(&pExt->readBuf);
  if (IsMarker(pExt->readyBuf))
    pExt->readyBuf = nullptr;
  else
    NiBufFree(&pExt->readyBuf);
  pHdl->mBuf = nullptr;
  pHdl->mBufOps = nullptr;
  memset(pExt, 0x76, sizeof *pExt);
  free(pExt);
}

// --- Public -------------------------------------------------------------------------------

NI_RC NiBufSend(NI_HDL hdl, NIBUF** ppBuffer, int32_t timeout) {
  NITAB* rec = nullptr;
  NIBUF_EXT* ext = nullptr;
  NI_RC rc = PublicHdl(hdl, ppBuffer, true, u"NiBufSend", &rec, &ext);
  if (rc != WEQ_O_K) return rc;
  if ((rc = NiBufICheckError(rec, ext)) != WEQ_O_K) return rc;
  rc = NiBufIEmptyOutQueue(rec, ext, timeout);
  if (rc == WEQ_O_K && ext->hsCount > 0) rc = NIETIMEOUT;
  if (rc == NIETIMEOUT) {
    // Queued, or (NIETIMEOUT) left with the caller because the queue is full.
    rc = AddUserQueue(rec, ext, ppBuffer, nullptr, 0);
  } else if (rc != WEQ_O_K) {
    NiBufFree(ppBuffer);
  } else {
    NIBUF* buf = *ppBuffer;
    rc = PrivateWrite(rec, ext, ppBuffer, buf->data, static_cast<uint32_t>(buf->len), timeout);
    if (rc == NIETIMEOUT) rc = WEQ_O_K;
  }
  return UpdateAfter(rec, ext, rc);
}

NI_RC NiBufReceive(NI_HDL hdl, NIBUF** ppBuffer, int32_t timeout) {
  NITAB* rec = nullptr;
  NIBUF_EXT* ext = nullptr;
  if (ppBuffer != nullptr) *ppBuffer = nullptr;
  NI_RC rc = PublicHdl(hdl, ppBuffer, false, u"NiBufReceive", &rec, &ext);
  if (rc != WEQ_O_K) return rc;
  NIBUF* msg = nullptr;
  rc = ReadyMessage(rec, ext, timeout, &msg);
  if (rc == WEQ_O_K) {
    *ppBuffer = msg;
    ext->readyBuf = nullptr;
  }
  return UpdateAfter(rec, ext, rc);
}
