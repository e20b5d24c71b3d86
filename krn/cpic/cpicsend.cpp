// The client's sends: STSEND with the held first block and the rhythm of
// asynchronous and synchronous sends, the synchronisation STSYNC, the
// partner LU name STSPLN, the deallocate STDEAL and WEQ_CMSENDERRINFO,
// which tells the gateway why a conversation ends.
#include <string.h>

#include "i18n/wequ16/u16str.h"
#include "krn/cpic/cpic.h"
#include "krn/cpic/cpic_int.h"

namespace {

constexpr WEQ_UC kSend[] = u"STSEND";
constexpr WEQ_UC kSync[] = u"STSYNC";
constexpr WEQ_UC kSpln[] = u"STSPLN";
constexpr WEQ_UC kDealVerb[] = u"STDEAL";
constexpr WEQ_UC kSendErr[] = u"WEQ_CMSENDERRINFO";

// The partner LU request: the header and a block of the name and 16 zeros.
constexpr int kLuNameLen = 128;
constexpr int kSplnBlockLen = 144;

bool EndsConversation(CM_RETURN_CODE code) {
  return code == CM_DEALLOCATED_ABEND || code == CM_DEALLOCATED_NORMAL || code == CM_RESOURCE_FAILURE_NO_RETRY ||
         code == CM_RESOURCE_FAILURE_RETRY;
}

void TraceOk(CPIC_CONV_ENTRY* e, const WEQ_UC* name, CM_RETURN_CODE code) {
  if (code == CM_DEALLOCATED_NORMAL) {
    CPIC_TRC(2, u"%s: ok (CM_DEALLOCATED_NORMAL)\n", name);
  } else if (code == CM_OK) {
    CPIC_ENTRY_TRC(e, 2, u"%s: ok\n", name);
  }
}

// The wait of a synchronous send for the gateway's answer (step 8 and 9).
CM_RETURN_CODE SendWait(CPIC_CONV_ENTRY* e, const WEQ_UC* name, uint8_t* msg, int32_t* rts) {
  CpicConvFields& f = e->f;
  if (f.interruptedFunc == CPIC_FN_CM_WEQ_SYNC) return STISyncCore(e, name);
  CPIC_ENTRY_TRC(e, 2, u"%s: synchronize with partner\n", name);
  CM_RETURN_CODE appcRc = CM_OK;
  uint8_t pings = 0;
  int r;
  for (;;) {
    r = STIAsRcvFromGw(e, msg, nullptr, CPIC_RCV_CAPACITY, nullptr, NI_BLOCK, &pings, &appcRc);
    if (r != -3 || pings == 0 || !f.inSelectSet) break;
    CPIC_ENTRY_TRC(e, 2, u"%s: received ping from partner\n", name);
    CPIC_ENTRY_TRC(e, 2, u"%s: attempt to synchronize again\n", name);
  }
  CM_RETURN_CODE code;
  if (!STIAnswered(e, name, r, CPIC_FN_CMSEND, &code)) return code;
  *rts = 0;
  bool syncReq = (msg[APPC_OFF_INFO] & CPIC_SYNC_REQ) != 0;
  uint16_t connIdx = 0xFFFF;
  bool hasConnIdx = STIAnswerConnIdx(e, msg, &connIdx);
  if (syncReq && appcRc == CM_OK) {
    CM_RETURN_CODE s = STISyncCore(e, name);
    if (s != CM_OK) return s;
  }
  f.asyncSendCount = 0;
  if (f.connIdx == 0xFFFF && hasConnIdx) {
    f.connIdx = connIdx;
    CPIC_ENTRY_TRC(e, 2, u"%s: set conn_idx (%d)\n", name, static_cast<int>(connIdx));
  }
  if (EndsConversation(appcRc)) STIDEAL(e);
  return appcRc;
}

}  // namespace

CM_RETURN_CODE STISendCore(CPIC_CONV_ENTRY* e, const WEQ_UC* name, const void* data, int32_t length, int32_t* rts) {
  CpicConvFields& f = e->f;
  int32_t rtsDummy = 0;
  if (rts == nullptr) rts = &rtsDummy;
  *rts = 0;
  if (f.cancelReceived) {
    CpicIRecordErrorDetail<C_STATE_CHECK>(CpicErrSite{CPIC_MODULE, __LINE__}, u"cancel request received",
                                          CpicIIdText(e->id.load()).s);
    return CM_PROGRAM_STATE_CHECK;
  }
  if (f.timeoutCount != 0) {
    CPIC_ENTRY_TRC(e, 2, u"%s after timeout\n", name);
    uint8_t* msg = STIMsgBuf(e);
    if (msg == nullptr) return CM_RESOURCE_FAILURE_NO_RETRY;
    return SendWait(e, name, msg, rts);
  }
  if (length < 0 || length > CPIC_MAX_DATA) return STIBadLength(name, u"send_length", length, CPIC_MAX_DATA);
  uint8_t* msg = STIMsgBuf(e);
  if (msg == nullptr) return CM_RESOURCE_FAILURE_NO_RETRY;
  uint8_t* area = msg + APPC_HDR_LEN;
  const void* follow = nullptr;
  int32_t followLen = 0;
  WEQ_UC stateName[CPIC_NAME_LEN];
  switch (f.bufferState) {
    case BUFFER_DISABLED:
    case BUFFER_DEACT:
    case BUFFER_FLUSH:
      break;
    case BUFFER_EMPTY:
      f.bufferState = BUFFER_DATA;
      if (length > 0 && data != area) memcpy(area, data, static_cast<size_t>(length));
      f.bufferedLen = length;
      CPIC_ENTRY_TRC(e, 2, u"%s: %d bytes buffered\n", name, length);
      return CM_OK;
    case BUFFER_DATA:
      // The held block goes first; the caller's data follows it.
      f.bufferState = BUFFER_DATA2;
      follow = data;
      followLen = length;
      data = area;
      length = f.bufferedLen;
      CPIC_ENTRY_TRC(e, 2, u"%s: sending %d bytes\n", name, length);
      break;
    default:
      CpicIRecordErrorDetail<C_STATE_CHECK>(CpicErrSite{CPIC_MODULE, __LINE__}, u"state=%s",
                                            CpicIIdText(e->id.load()).s,
                                            STIBufferStateName(f.bufferState, stateName, CPIC_NAME_LEN));
      return CM_PROGRAM_STATE_CHECK;
  }
  if (length > 0 && data != area) memcpy(area, data, static_cast<size_t>(length));
  uint8_t info2;
  CM_RETURN_CODE src = STISncProtect(e, name, msg, &length, &info2);
  if (src != CM_OK) return src;

  bool sync = f.asyncSendCount >= CPIC_ASYNC_SENDS;
  STIFillHdr(msg, e, sync ? F_SEND_DATA : F_ASEND_DATA);
  if (sync) {
    msg[APPC_OFF_INFO] = SYNC_CPIC_FUNCTION;
    CPIC_ENTRY_TRC(e, 2, u"%s: send synchronously\n", name);
  } else {
    CPIC_ENTRY_TRC(e, 2, u"%s: send asynchronously\n", name);
  }
  msg[APPC_OFF_INFO2] = info2;
  CpicIPutBe32(msg + APPC_OFF_REQ_AREA, static_cast<uint32_t>(length));
  if (STIAsSendToGw(e, msg, nullptr, f.hdrVersion, STIHdrLen(e), APPC_HDR_LEN + length) != CM_OK) {
    STIDEAL(e);
    return CM_PRODUCT_SPECIFIC_ERROR;
  }
  if (f.sncState == 1) STIDumpUserData(e, u"data after snc", area, length);
  if (f.bufferState == BUFFER_DATA2) {
    f.bufferState = BUFFER_DEACT;
    CPIC_ENTRY_TRC(e, 2, u"%s: switch off buffering\n", name);
    CPIC_ENTRY_TRC(e, 2, u"%s: send %d bytes buffered data now\n", name, followLen);
    CM_RETURN_CODE code = STISendCore(e, kSend, follow, followLen, rts);
    if (code == CM_DEALLOCATED_NORMAL) TraceOk(e, name, code);
    return code;
  }
  if (!sync) {
    *rts = 0;
    ++f.asyncSendCount;
    return CM_OK;
  }
  return SendWait(e, name, msg, rts);
}

CM_RETURN_CODE STSEND(const char* convId, const void* buffer, const int32_t* length, int32_t* rts,
                      CM_RETURN_CODE* rc) {
  CM_RETURN_CODE code;
  CPIC_CONV_ENTRY* e = STIVerbStart(kSend, convId, CPIC_FN_CMSEND, 1, &code);
  if (e == nullptr) return CpicIRc(rc, code);
  if (buffer == nullptr) return CpicIRc(rc, STINullArg(kSend, u"buffer"));
  if (length == nullptr) return CpicIRc(rc, STINullArg(kSend, u"send_length"));
  if (rts == nullptr) return CpicIRc(rc, STINullArg(kSend, u"rts"));
  if (STIGetGlob() == nullptr) return CpicIRc(rc, CM_RESOURCE_FAILURE_RETRY);
  code = STISendCore(e, kSend, buffer, *length, rts);
  TraceOk(e, kSend, code);
  return CpicIRc(rc, code);
}

CM_RETURN_CODE STISyncCore(CPIC_CONV_ENTRY* e, const WEQ_UC* name) {
  CpicConvFields& f = e->f;
  uint8_t* msg = STIMsgBuf(e);
  if (msg == nullptr) return CM_RESOURCE_FAILURE_NO_RETRY;
  if (f.timeoutCount != 0) {
    CPIC_ENTRY_TRC(e, 2, u"%s after timeout\n", name);
  } else if (STISendRequest(e, F_WEQ_SYNC, msg) != CM_OK) {
    return CM_PRODUCT_SPECIFIC_ERROR;
  }
  CM_RETURN_CODE appcRc = CM_OK, code;
  int r = STIAsRcvFromGw(e, msg, nullptr, CPIC_RCV_CAPACITY, nullptr, STIRcvTimeout(e), nullptr, &appcRc);
  if (!STIAnswered(e, name, r, CPIC_FN_CM_WEQ_SYNC, &code)) return code;
  f.asyncSendCount = 0;
  if (EndsConversation(appcRc)) STIDEAL(e);
  return appcRc;
}

CM_RETURN_CODE STSYNC(const char* convId, CM_RETURN_CODE* rc) {
  CM_RETURN_CODE code;
  CPIC_CONV_ENTRY* e = STIVerbStart(kSync, convId, CPIC_FN_CM_WEQ_SYNC, 1, &code);
  if (e == nullptr) return CpicIRc(rc, code);
  if (STIGetGlob() == nullptr) return CpicIRc(rc, CM_RESOURCE_FAILURE_RETRY);
  code = STISyncCore(e, kSync);
  TraceOk(e, kSync, code);
  return CpicIRc(rc, code);
}

CM_RETURN_CODE STSPLN(const char* convId, const WEQ_UC* luName, const int32_t* length, CM_RETURN_CODE* rc) {
  CM_RETURN_CODE code;
  CPIC_CONV_ENTRY* e = STIVerbStart(kSpln, convId, CPIC_FN_CMSPLN, 1, &code);
  if (e == nullptr) return CpicIRc(rc, code);
  if (luName == nullptr) return CpicIRc(rc, STINullArg(kSpln, u"luname"));
  if (length == nullptr) return CpicIRc(rc, STINullArg(kSpln, u"namelen"));
  if (*length < 0 || *length > kLuNameLen)
    return CpicIRc(rc, STIBadLength(kSpln, u"lu_name_length", *length, kLuNameLen));
  if (STIGetGlob() == nullptr) return CpicIRc(rc, CM_RESOURCE_FAILURE_RETRY);
  uint8_t* msg = STIMsgBuf(e);
  if (msg == nullptr) return CpicIRc(rc, CM_RESOURCE_FAILURE_NO_RETRY);
  // Never more than the name itself, whatever length the caller gave.
  int units = static_cast<int>(strnlenU16(luName, static_cast<size_t>(*length)));
  uint8_t* block = msg + APPC_HDR_LEN;
  STIFillHdr(msg, e, F_SET_PARTNER_LU_NAME);
  msg[APPC_OFF_INFO] = WITH_GW_WEQ_PARAMS_HDR;
  msg[APPC_OFF_INFO2] = WITH_LONG_LU_NAME;
  CpicIPutBe16(msg + APPC_OFF_PARAM_LEN, kSplnBlockLen);
  memset(msg + APPC_OFF_REQ_AREA, ' ', 8);
  int crc = GwConvToNet(reinterpret_cast<char*>(msg + APPC_OFF_REQ_AREA), nullptr, 8, luName, units < 8 ? units : 8,
                        0, 0);
  CpicIPutBe32(msg + 56, static_cast<uint32_t>(units));
  memset(block, 0, kSplnBlockLen);
  memset(block, ' ', kLuNameLen);
  if (crc == 0 || crc == 32)
    crc = GwConvToNet(reinterpret_cast<char*>(block), nullptr, kLuNameLen, luName, units, 0, 0);
  if (crc != 0) {
    CPIC_ERR(C_NET_CONV_ERROR, u"weq_params->weq_cmspln.long_LU_name", crc);
    return CpicIRc(rc, CM_PARAMETER_ERROR);
  }
  if (STIAsSendToGw(e, msg, block, e->f.hdrVersion, STIHdrLen(e), APPC_HDR_LEN + kSplnBlockLen) != CM_OK) {
    STIDEAL(e);
    return CpicIRc(rc, CM_PRODUCT_SPECIFIC_ERROR);
  }
  CPIC_ENTRY_TRC(e, 2, u"%s: ok\n", kSpln);
  return CpicIRc(rc, CM_OK);
}

CM_RETURN_CODE STDEAL(const char* convId, CM_RETURN_CODE* rc) {
  CM_RETURN_CODE code;
  bool unknown = false;
  CPIC_CONV_ENTRY* e = STIVerbStart(kDealVerb, convId, 0, 0, &code, &unknown);
  if (e == nullptr) return CpicIRc(rc, unknown ? CM_OK : code);
  CpicConvFields& f = e->f;
  CM_RETURN_CODE flushed = CM_OK;
  if (f.bufferState == BUFFER_DATA) {
    CPIC_ENTRY_TRC(e, 2, u"%s: send %d buffered bytes before deallocate\n", kDealVerb, f.bufferedLen);
    f.bufferState = BUFFER_FLUSH;
    CpicIHold hold(e);
    uint8_t* msg = STIMsgBuf(e);
    flushed = msg == nullptr ? CM_RESOURCE_FAILURE_NO_RETRY
                             : STISendCore(e, kSend, msg + APPC_HDR_LEN, f.bufferedLen, nullptr);
    // A held block that cannot leave (a cancel request came, the gateway
    // refused it) does not keep the conversation: its code is returned once
    // the conversation is deallocated all the same.
    if (!hold.alive()) return CpicIRc(rc, flushed);
    if (f.bufferState != BUFFER_DISABLED) f.bufferState = BUFFER_EMPTY;
  }
  uint8_t* msg = STIMsgBuf(e);
  if (msg != nullptr) {
    STIFillHdr(msg, e, F_DEALLOCATE);
    STIAsSendToGw(e, msg, nullptr, f.hdrVersion, STIHdrLen(e), APPC_HDR_LEN);
  } else if (flushed == CM_OK) {
    flushed = CM_RESOURCE_FAILURE_NO_RETRY;
  }
  code = STIDEAL(e);
  if (flushed != CM_OK) code = flushed;
  WEQ_UC name[CPIC_NAME_LEN];
  CPIC_TRC(2, u"%s: %s\n", kDealVerb, CpicRcName(code, name));
  return CpicIRc(rc, code);
}

CM_RETURN_CODE WEQ_CMSENDERRINFO(const char* convId, int32_t gwRc, CM_RETURN_CODE cmRc, CM_RETURN_CODE* rc) {
  // The thread's error information is what goes to the gateway: it is not
  // cleared here.
  if (convId == nullptr) return CpicIRc(rc, STINullArg(kSendErr, u"convid"));
  CPIC_CONV_ENTRY* e = STISearchConv(convId, 0, 0);
  if (e == nullptr) return CpicIRc(rc, CM_PARAMETER_ERROR);
  CM_RETURN_CODE code = STIT8LocCheckState(convId, CPIC_FN_CM_SENDERRINFO, e, nullptr);
  if (code != CM_OK) return CpicIRc(rc, code);
  WEQ_UC gwName[CPIC_NAME_LEN], cmName[CPIC_NAME_LEN];
  CPIC_ENTRY_TRC(e, 2, u"%s: conversation_ID: %.8s\n", kSendErr, CpicIIdText(convId).s);
  CPIC_ENTRY_TRC(e, 2, u"%s: (%s / %s)\n", kSendErr, CpicGwRcName(gwRc, gwName), CpicRcName(cmRc, cmName));
  char gwId[8];
  CpicIU64ToId(e->gwId.load(), gwId);
  code = STISendErrInfo(e, gwId, e->f.hdrVersion, F_DEALLOCATE, gwRc, cmRc);
  STIDEAL(e);
  return CpicIRc(rc, code);
}
