// The client's receive: STRCV and STIRCV with the held first send, the
// receive request, the wait with its time-outs and the delivery of the
// partner's data and results; STISEND, which sends data and a receive
// request in one request and, when asked, waits for the answer.
#include <string.h>

#include "i18n/wequ16/u16fmt.h"
#include "i18n/wequ16/u16str.h"
#include "krn/cpic/cpic.h"
#include "krn/cpic/cpic_int.h"

namespace {

constexpr WEQ_UC kRcv[] = u"STRCV";
constexpr WEQ_UC kISend[] = u"STISEND";

// The parameter block of a send with a receive request: the send length
// and the requested length.
constexpr int kSendBlockLen = 8;
constexpr uint8_t kOpBits = F_V_ALLOCATE | F_V_SEND_DATA | F_V_RECEIVE | F_V_FLUSH;

// Offsets of the results in an answer's request area.
constexpr int kOffDataRcv = 52, kOffRcvLen = 56, kOffStatus = 60, kOffRts = 64;

void ClearOut(const CPIC_RCV_OUT& out) {
  for (int32_t* p : {out.dataReceived, out.receivedLength, out.statusReceived, out.rts}) *p = 0;
}

// The wait for an answer and its delivery (the receive's steps 5 to 9).
// sent: the request went out with this call (a time-out then counts).
CM_RETURN_CODE WaitDeliver(CPIC_CONV_ENTRY* e, const WEQ_UC* name, void* buffer, int32_t requested,
                           const CPIC_RCV_OUT& out, int extra, uint8_t pendFunc) {
  CpicConvFields& f = e->f;
  uint8_t* msg = STIMsgBuf(e);
  if (msg == nullptr) return CM_RESOURCE_FAILURE_NO_RETRY;
  bool snc = f.sncState == 1;
  bool partly = STISncPartly(e);
  CM_RETURN_CODE appcRc = CM_OK;
  int len = 0;
  if (!partly) {
    int timeout = STIRcvTimeout(e);
    int r = -3;
    uint8_t pings = 0;
    if (timeout == 0 && f.timeoutCount == 0) {
      CPIC_ENTRY_TRC(e, 2, u"%s:  don't return data in CMRCV's first call with timeout == 0\n", name);
    } else {
      // With SNC the message stays behind the header until it is unprotected.
      r = STIAsRcvFromGw(e, msg, snc ? nullptr : buffer, snc ? CPIC_RCV_CAPACITY : requested, &len, timeout, &pings,
                         &appcRc);
    }
    if (r == -3 && pings > 0 && f.inSelectSet) {
      STISelSetEntry(e, f.readHdl, NI_READ, f.selectUserValue);
      f.bufferState = BUFFER_LISTEN;
      CPIC_ENTRY_TRC(e, 2, u"%s: return after ping from STIAsRcvFromGw\n", name);
      return CM_WEQ_PING_RECEIVED;
    }
    if (r == -3) {
      if (extra == 0) {
        ++f.timeoutCount;
        f.interruptedFunc = pendFunc;
        CPIC_ENTRY_TRC(e, 2, u"%s: return after %d. timeout\n", name, static_cast<int>(f.timeoutCount));
      } else {
        CPIC_ENTRY_TRC(e, 2, u"%s: return ok after pending data\n", name);
      }
      if (f.inSelectSet) {
        STISelSetEntry(e, f.readHdl, NI_READ, f.selectUserValue);
        CPIC_ENTRY_TRC(e, 2, u"%s: return after timeout from STIAsRcvFromGw\n", name);
      }
      return CM_WEQ_TIMEOUT_RETRY;
    }
    if (r != 0) {
      STIDEAL(e);
      return CM_PRODUCT_SPECIFIC_ERROR;
    }
    STISetRequestValue(e, CpicIGetBe32(msg + APPC_OFF_GW_REQ_VALUE));
    if (appcRc == CM_OK || appcRc == CM_DEALLOCATED_NORMAL) {
      STIKeepCodePage(e, name, msg);
      f.timeoutCount = 0;
      f.interruptedFunc = 0;
      f.asyncSendCount = 0;
      uint16_t connIdx;
      if (f.connIdx == 0xFFFF && STIAnswerConnIdx(e, msg, &connIdx)) f.connIdx = connIdx;
    }
  }

  CM_RETURN_CODE code = appcRc;
  if (snc) {
    CpicIHold hold(e);
    code = STISncDeliver(e, name, msg, len, !partly, buffer, requested, out, appcRc);
    if (!hold.alive()) return code;
  } else {
    // The results as the gateway states them; the length never more than
    // the data that arrived for the caller and the caller asked for.
    int hl = STIHdrLen(e);
    bool errInfo = (msg[APPC_OFF_INFO] & WITH_ERR_INFO) && appcRc != 0 &&
                   CpicIGetBe32(msg + APPC_OFF_WEQ_RC) != 0;
    int arrived = errInfo || len < hl ? 0 : len - hl;
    int32_t rcvLen = static_cast<int32_t>(CpicIGetBe32(msg + kOffRcvLen));
    if (rcvLen < 0 || rcvLen > arrived || rcvLen > requested) {
      CPIC_ERR(READ_FROM_GW_FAILED, arrived);
      STIDEAL(e);
      return CM_PRODUCT_SPECIFIC_ERROR;
    }
    *out.receivedLength = rcvLen;
    *out.dataReceived = static_cast<int32_t>(CpicIGetBe32(msg + kOffDataRcv));
    *out.statusReceived = static_cast<int32_t>(CpicIGetBe32(msg + kOffStatus));
    *out.rts = static_cast<int32_t>(CpicIGetBe32(msg + kOffRts));
  }
  if (e->traceLevel.load() >= 2) {
    WEQ_UC n[CPIC_NAME_LEN];
    CPIC_ENTRY_TRC(e, 2, u"%s: data_received: %s\n", name,
                   CpicDataRcvName(static_cast<uint32_t>(*out.dataReceived), n));
    CPIC_ENTRY_TRC(e, 2, u"%s: received_length: %d\n", name, *out.receivedLength);
    CPIC_ENTRY_TRC(e, 2, u"%s: status_received: %s\n", name,
                   CpicStatusRcvName(static_cast<uint32_t>(*out.statusReceived), n));
    CPIC_ENTRY_TRC(e, 2, u"%s: request_to_send_received: %s\n", name,
                   CpicRtsRcvName(static_cast<uint32_t>(*out.rts), n));
    STIDumpUserData(e, u"received raw data from gateway (user data)", buffer, *out.receivedLength);
  }
  switch (code) {
    case CM_DEALLOCATED_NORMAL:
      CPIC_ENTRY_TRC(e, 2, u"%s : %s (ok)\n", name, u"CM_DEALLOCATED_NORMAL");
      STIDEAL(e);
      return code;
    case CM_DEALLOCATED_ABEND:
    case CM_RESOURCE_FAILURE_NO_RETRY:
    case CM_RESOURCE_FAILURE_RETRY:
      STIDEAL(e);
      return code;
    default:
      CPIC_ENTRY_TRC(e, 2, u"%s: ok\n", name);
      return code;
  }
}

}  // namespace

CM_RETURN_CODE STIRcvCore(CPIC_CONV_ENTRY* e, const WEQ_UC* name, void* buffer, int32_t requested,
                          const CPIC_RCV_OUT& out, int extra) {
  CpicConvFields& f = e->f;
  switch (f.bufferState) {
    case BUFFER_DATA: {
      CPIC_ENTRY_TRC(e, 2, u"%s: send %d buffered bytes before receive\n", name, f.bufferedLen);
      f.bufferState = BUFFER_DATA2;
      uint8_t* msg = STIMsgBuf(e);
      if (msg == nullptr) return CM_RESOURCE_FAILURE_NO_RETRY;
      CpicIHold hold(e);
      CM_RETURN_CODE code = STISendRcvCore(e, kISend, msg + APPC_HDR_LEN, buffer, f.bufferedLen, requested, out,
                                           CPIC_FN_CMRCV, F_V_SEND_DATA | F_V_RECEIVE);
      if (!hold.alive()) {
        if (code == CM_DEALLOCATED_NORMAL) CPIC_TRC(2, u"%s: ok (CM_DEALLOCATED_NORMAL)\n", name);
        return code;
      }
      f.bufferState = BUFFER_EMPTY;
      if (code == CM_OK) CPIC_ENTRY_TRC(e, 2, u"%s: ok\n", name);
      return code;
    }
    case BUFFER_LISTEN:
      // The receive request went out with the listen; only its answer is
      // read now.
      CPIC_ENTRY_TRC(e, 2, u"%s: after WEQ_CMLISTEN3()\n", name);
      f.bufferState = BUFFER_EMPTY;
      if (requested < 0 || requested > CPIC_MAX_DATA)
        return STIBadLength(name, u"requested_length", requested, CPIC_MAX_DATA);
      return WaitDeliver(e, name, buffer, requested, out, extra, CPIC_FN_CMRCV);
    case BUFFER_DISABLED:
    case BUFFER_LISTEN3:
      break;
    default:
      f.bufferState = BUFFER_EMPTY;
      break;
  }
  if (requested < 0 || requested > CPIC_MAX_DATA)
    return STIBadLength(name, u"requested_length", requested, CPIC_MAX_DATA);
  if (STISncPartly(e)) {
    CPIC_ENTRY_TRC(e, 2, u"%s after SNC (offset=%d,bytes_to_read=%d)\n", name, f.sncOffset, f.sncBytesLeft);
  } else if (f.timeoutCount != 0) {
    CPIC_ENTRY_TRC(e, 2, u"%s after timeout\n", name);
    // The request of the receive that timed out is still out: the listen
    // leaves its answer to the receive after the select set reported it.
    if (f.bufferState == BUFFER_LISTEN3) return CM_OK;
  } else {
    uint8_t* msg = STIMsgBuf(e);
    if (msg == nullptr) return CM_RESOURCE_FAILURE_NO_RETRY;
    if (extra == 0) {
      STIFillHdr(msg, e, F_RECEIVE);
      msg[APPC_OFF_INFO] = SYNC_CPIC_FUNCTION;
      CpicIPutBe32(msg + APPC_OFF_REQ_AREA, static_cast<uint32_t>(f.sncState == 1 ? CPIC_RCV_CAPACITY : requested));
      if (STIAsSendToGw(e, msg, nullptr, f.hdrVersion, STIHdrLen(e), APPC_HDR_LEN) != CM_OK) {
        STIDEAL(e);
        return CM_PRODUCT_SPECIFIC_ERROR;
      }
    }
    if (f.bufferState == BUFFER_LISTEN3) {
      CPIC_ENTRY_TRC(e, 2, u"%s: send only rcv request, return immediatly\n", name);
      return CM_OK;
    }
  }
  return WaitDeliver(e, name, buffer, requested, out, extra, CPIC_FN_CMRCV);
}

CM_RETURN_CODE STIRCV(const char* convId, void* buffer, const int32_t* requested, int32_t* dataReceived,
                      int32_t* receivedLength, int32_t* statusReceived, int32_t* rts, CM_RETURN_CODE* rc, int extra) {
  CM_RETURN_CODE code;
  CPIC_CONV_ENTRY* e = STIVerbStart(kRcv, convId, CPIC_FN_CMRCV, 1, &code);
  if (e == nullptr) return CpicIRc(rc, code);
  const struct {
    const void* p;
    const WEQ_UC* name;
  } args[] = {{buffer, u"buffer"},     {requested, u"requested_length"}, {dataReceived, u"data"},
              {receivedLength, u"received_length"}, {statusReceived, u"status"}, {rts, u"rts"}};
  for (const auto& a : args)
    if (a.p == nullptr) return CpicIRc(rc, STINullArg(kRcv, a.name));
  if (STIGetGlob() == nullptr) return CpicIRc(rc, CM_RESOURCE_FAILURE_RETRY);
  CPIC_RCV_OUT out{dataReceived, receivedLength, statusReceived, rts};
  ClearOut(out);
  CPIC_ENTRY_TRC(e, 2, u"%s: requested_length: %d bytes\n", kRcv, *requested);
  return CpicIRc(rc, STIRcvCore(e, kRcv, buffer, *requested, out, extra));
}

CM_RETURN_CODE STRCV(const char* convId, void* buffer, const int32_t* requested, int32_t* dataReceived,
                     int32_t* receivedLength, int32_t* statusReceived, int32_t* rts, CM_RETURN_CODE* rc) {
  return STIRCV(convId, buffer, requested, dataReceived, receivedLength, statusReceived, rts, rc, 0);
}

CM_RETURN_CODE STISendRcvCore(CPIC_CONV_ENTRY* e, const WEQ_UC* name, const void* data, void* rcvBuffer,
                              int32_t sendLength, int32_t requested, const CPIC_RCV_OUT& out, uint8_t pendFunc,
                              uint8_t opBits) {
  CpicConvFields& f = e->f;
  *out.rts = 0;
  bool receive = (opBits & F_V_RECEIVE) != 0;
  if (STISncPartly(e)) {
    if (receive && sendLength == 0) return WaitDeliver(e, name, rcvBuffer, requested, out, 0, pendFunc);
    CPIC_ENTRY_TRC(e, 2, u"%s: read all data before send\n", name);
    CPIC_ERR(C_STATE_CHECK, CpicIIdText(e->id.load()).s, u"203", u"RECEIVE");
    *out.dataReceived = CM_INCOMPLETE_DATA_RECEIVED;
    *out.statusReceived = 0;
    *out.rts = 0;
    return CM_PROGRAM_STATE_CHECK;
  }
  if (f.timeoutCount != 0) return WaitDeliver(e, name, rcvBuffer, requested, out, 0, pendFunc);
  uint8_t* msg = STIMsgBuf(e);
  if (msg == nullptr) return CM_RESOURCE_FAILURE_NO_RETRY;
  if ((opBits & ~kOpBits) != 0 || opBits == 0) {
    WEQ_UC value[16];
    snprintfU16(value, 16, u"0x%X", static_cast<unsigned>(opBits));
    CPIC_ERR(C_ILLEGAL_PARAMETER2, name, u"opcode", static_cast<const WEQ_UC*>(value));
    return CM_PARAMETER_ERROR;
  }
  if (sendLength < 0 || sendLength > CPIC_MAX_DATA)
    return STIBadLength(name, u"send_length", sendLength, CPIC_MAX_DATA);
  if (receive && (requested < 0 || requested > CPIC_MAX_DATA))
    return STIBadLength(name, u"requested_length", requested, CPIC_MAX_DATA);

  bool sync = f.asyncSendCount >= CPIC_ASYNC_SENDS || receive;
  uint8_t* area = msg + APPC_HDR_LEN;
  if (sendLength > 0 && data != area) {
    CPIC_ENTRY_TRC(e, 2, u"%s: memcpy needed for %d bytes\n", name, sendLength);
    memcpy(area, data, static_cast<size_t>(sendLength));
  }
  uint8_t info2;
  CM_RETURN_CODE src = STISncProtect(e, name, msg, &sendLength, &info2);
  if (src != CM_OK) return src;
  STIFillHdr(msg, e, sync ? F_WEQ_SEND : F_AWEQ_SEND);
  CPIC_ENTRY_TRC(e, 2, sync ? u"%s: send synchronously\n" : u"%s: send asynchronously\n", name);
  msg[APPC_OFF_INFO] = static_cast<uint8_t>(WITH_GW_WEQ_PARAMS_HDR | (sync ? SYNC_CPIC_FUNCTION : 0));
  msg[APPC_OFF_INFO2] = info2;
  CpicIPutBe16(msg + APPC_OFF_PARAM_LEN, kSendBlockLen);
  uint8_t vector = 0;
  if (opBits & F_V_SEND_DATA) vector |= F_V_SEND_DATA;
  if ((opBits & F_V_ALLOCATE) && !receive) vector |= F_V_FLUSH;
  if (receive) vector |= F_V_RECEIVE;
  msg[APPC_OFF_VECTOR] = vector;
  uint8_t* block = area + sendLength;
  int32_t asked = !receive ? 0 : f.sncState == 1 ? CPIC_RCV_CAPACITY : requested;
  CpicIPutBe32(block, static_cast<uint32_t>(sendLength));
  CpicIPutBe32(block + 4, static_cast<uint32_t>(asked));
  CPIC_ENTRY_TRC(e, 2, u"%s GW_TOTAL_WEQSEND_HDR_LEN: %d\n", name, APPC_HDR_LEN + kSendBlockLen);
  if (STIAsSendToGw(e, msg, block, f.hdrVersion, STIHdrLen(e), APPC_HDR_LEN + sendLength + kSendBlockLen) !=
      CM_OK) {
    STIDEAL(e);
    return CM_PRODUCT_SPECIFIC_ERROR;
  }
  if (f.sncState == 1) STIDumpUserData(e, u"data after SNC", area, sendLength);

  if (opBits & F_V_FLUSH) {
    CPIC_ENTRY_TRC(e, 2, u"%s: return (V_LISTEN)\n", name);
    return CM_OK;
  }
  if (!receive && f.timeoutCount == 0 && f.asyncSendCount < CPIC_ASYNC_SENDS) {
    ClearOut(out);
    ++f.asyncSendCount;
    return CM_OK;
  }
  if (f.interruptedFunc == CPIC_FN_CM_WEQ_SYNC) {
    CM_RETURN_CODE code = STISyncCore(e, name);
    if (code != CM_WEQ_TIMEOUT_RETRY && code != CM_CANCEL_REQUEST) ClearOut(out);
    return code;
  }
  CpicIHold hold(e);
  CM_RETURN_CODE code = WaitDeliver(e, name, rcvBuffer, requested, out, 0, pendFunc);
  if (code == CM_OK && hold.alive() && (msg[APPC_OFF_INFO] & CPIC_SYNC_REQ)) code = STISyncCore(e, name);
  return code;
}

CM_RETURN_CODE STISEND(const char* convId, const void* data, void* rcvBuffer, const int32_t* sendLength,
                       const int32_t* requested, int32_t* dataReceived, int32_t* receivedLength,
                       int32_t* statusReceived, int32_t* rts, CM_RETURN_CODE* rc, uint8_t pendFunc,
                       uint8_t opBits) {
  CM_RETURN_CODE code;
  CPIC_CONV_ENTRY* e = STIVerbStart(kISend, convId, CPIC_FN_CMSEND, 1, &code);
  if (e == nullptr) return CpicIRc(rc, code);
  bool receive = (opBits & F_V_RECEIVE) != 0;
  const struct {
    const void* p;
    const WEQ_UC* name;
  } args[] = {{sendLength, u"send_length"},
              {data != nullptr || (sendLength != nullptr && *sendLength == 0) ? u"" : nullptr, u"buffer"},
              {!receive || (rcvBuffer != nullptr && requested != nullptr) ? u"" : nullptr, u"buffer"},
              {dataReceived, u"data"},
              {receivedLength, u"received_length"},
              {statusReceived, u"status"},
              {rts, u"rts"}};
  for (const auto& a : args)
    if (a.p == nullptr) return CpicIRc(rc, STINullArg(kISend, a.name));
  if (STIGetGlob() == nullptr) return CpicIRc(rc, CM_RESOURCE_FAILURE_RETRY);
  CPIC_RCV_OUT out{dataReceived, receivedLength, statusReceived, rts};
  return CpicIRc(rc, STISendRcvCore(e, kISend, data, rcvBuffer, *sendLength, receive ? *requested : 0, out,
                                    pendFunc, opBits));
}
