// The cancel of a waiting verb: WEQ_CMCANCEL ends the wait of a send or
// receive that returned 10001. It asks the gateway to cancel the partner's
// work, hard or soft, and reads until the gateway confirms; the
// conversation stays, its interrupted verb is the next one called.
#include "i18n/wequ16/u16fmt.h"
#include "krn/cpic/cpic.h"
#include "krn/cpic/cpic_int.h"

namespace {

constexpr WEQ_UC kCancel[] = u"WEQ_CMCANCEL";

}  // namespace

CM_RETURN_CODE WEQ_CMCANCEL(const char* convId, const int32_t* cancelType, CM_RETURN_CODE* rc) {
  CM_RETURN_CODE code;
  CPIC_CONV_ENTRY* e = STIVerbStart(kCancel, convId, CPIC_FN_CM_CANCEL, 1, &code);
  if (e == nullptr) return CpicIRc(rc, code);
  if (cancelType == nullptr) return CpicIRc(rc, STINullArg(kCancel, u"cancel_type"));
  CpicConvFields& f = e->f;
  WEQ_UC typeName[CPIC_NAME_LEN];
  CPIC_ENTRY_TRC(e, 2, u"%s: type %s, conversation_ID: %.8s\n", kCancel,
                 CpicCancelTypeName(static_cast<uint32_t>(*cancelType), typeName), CpicIIdText(convId).s);
  if (*cancelType != 0 && *cancelType != 1) {
    WEQ_UC value[16];
    snprintfU16(value, 16, u"%d", *cancelType);
    CPIC_ERR(C_ILLEGAL_PARAMETER2, kCancel, u"cancel_type", static_cast<const WEQ_UC*>(value));
    return CpicIRc(rc, CM_PARAMETER_ERROR);
  }
  // Only a send or receive that timed out waits for something to cancel.
  if (f.timeoutCount < 1 || (f.interruptedFunc != CPIC_FN_CMSEND && f.interruptedFunc != CPIC_FN_CMRCV)) {
    CpicIIdText id(e->id.load());
    if (f.timeoutCount > 0) {
      WEQ_UC fn[CPIC_NAME_LEN];
      CpicIRecordErrorDetail<C_STATE_CHECK>(CpicErrSite{CPIC_MODULE, __LINE__}, u"interrupted=%s", id.s,
                                            CpicFuncName(f.interruptedFunc, fn, CPIC_NAME_LEN));
    } else {
      CpicIRecordErrorDetail<C_STATE_CHECK>(CpicErrSite{CPIC_MODULE, __LINE__}, u"without timeouts=%d", id.s,
                                            static_cast<int>(f.timeoutCount));
    }
    return CpicIRc(rc, CM_PROGRAM_STATE_CHECK);
  }
  uint8_t* msg = STIMsgBuf(e);
  if (msg == nullptr) return CpicIRc(rc, CM_RESOURCE_FAILURE_NO_RETRY);
  STIFillHdr(msg, e, F_WEQ_CANCEL);
  msg[APPC_OFF_INFO] = SYNC_CPIC_FUNCTION;
  msg[APPC_OFF_INFO3] = *cancelType == 0 ? GW_CANCEL_HARD : GW_CANCEL_SOFT;
  if (STIAsSendToGw(e, msg, nullptr, f.hdrVersion, STIHdrLen(e), APPC_HDR_LEN) != CM_OK) {
    STIDEAL(e);
    return CpicIRc(rc, CM_PRODUCT_SPECIFIC_ERROR);
  }
  // What the gateway sent before its confirmation is dropped.
  for (;;) {
    CM_RETURN_CODE appcRc = CM_OK;
    uint8_t pings = 0;
    int r = STIAsRcvFromGw(e, msg, nullptr, CPIC_RCV_CAPACITY, nullptr, NI_BLOCK, &pings, &appcRc);
    // A ping on a conversation in the select set ends the read; the
    // confirmation is still to come.
    if (r == -3 && pings > 0 && f.inSelectSet) continue;
    if (r != 0) {
      STIDEAL(e);
      return CpicIRc(rc, CM_PRODUCT_SPECIFIC_ERROR);
    }
    if (appcRc == CM_CANCEL_REQUEST) break;
    if (appcRc != CM_OK) {
      STIDEAL(e);
      return CpicIRc(rc, appcRc);
    }
  }
  CPIC_ENTRY_TRC(e, 2, u"%s: received cancel confirm request\n", kCancel);
  f.timeoutCount = 0;
  f.cancelReceived = 0;
  return CpicIRc(rc, CM_OK);
}
