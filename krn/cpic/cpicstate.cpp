// Whether a verb may work on a conversation now, the receive timeout of a
// conversation, the process-wide keep-alive settings, the keep-alive of one
// conversation and the names of the buffer states.
#include <string.h>

#include "i18n/wequ16/u16fmt.h"
#include "i18n/wequ16/u16str.h"
#include "krn/cpic/cpic.h"
#include "krn/cpic/cpic_int.h"

namespace {

constexpr const WEQ_UC* kBufferStateNames[] = {
    u"BUFFER_DISABLED", u"BUFFER_EMPTY", u"BUFFER_DEACT",  u"BUFFER_DATA2",
    u"BUFFER_FLUSH",    u"BUFFER_DATA",  u"BUFFER_LISTEN", u"BUFFER_LISTEN3",
};

CM_RETURN_CODE StateStore(CM_RETURN_CODE* out, CM_RETURN_CODE rc) {
  if (out != nullptr) *out = rc;
  return rc;
}

}  // namespace

CM_RETURN_CODE STIT8LocCheckState(const char* convId, uint8_t code, CPIC_CONV_ENTRY* e, CM_RETURN_CODE* rc) {
  static constexpr WEQ_UC kFn[] = u"STIT8LocCheckState";
  StateStore(rc, CM_OK);
  switch (code) {
    case CPIC_FN_CMSRT:
    case CPIC_FN_CM_SNCNAME:
    case CPIC_FN_CM_ACLKEY:
    case CPIC_FN_CM_SNCNAMETOACLKEY:
    case CPIC_FN_CM_ACLKEYTOSNCNAME:
    case CPIC_FN_CM_SNCMODE:
      return CM_OK;
    default:
      break;
  }
  if (e == nullptr) {
    CPIC_TRC_ERR(u"%s: no conversation", kFn);
    return StateStore(rc, CM_PRODUCT_SPECIFIC_ERROR);
  }
  uint8_t interrupted = e->f.interruptedFunc;
  if (interrupted != 0) {
    bool allowed = code == CPIC_FN_CM_CANCEL || interrupted == CPIC_FN_CMRCV || code == interrupted ||
                   code == CPIC_FN_CMDEAL || (code == CPIC_FN_CMSEND && interrupted == CPIC_FN_CM_WEQ_SYNC);
    if (!allowed) {
      WEQ_UC was[CPIC_NAME_LEN], now[CPIC_NAME_LEN];
      CPIC_ENTRY_ERR(e, u"%s: continue with interrupted function %s instead of %s", kFn,
                     CpicFuncName(interrupted, was, CPIC_NAME_LEN), CpicFuncName(code, now, CPIC_NAME_LEN));
      return StateStore(rc, CM_PRODUCT_SPECIFIC_ERROR);
    }
  }
  if (e->f.sendRcvState == 2) {
    if (code == CPIC_FN_CMRCV) {
      e->f.sendRcvState = 1;
    } else if (code != CPIC_FN_CM_ACCPTP) {
      WEQ_UC fn[CPIC_NAME_LEN];
      CPIC_ERR(C_STATE_CHECK, CpicIIdText(convId).s, CpicFuncName(code, fn, CPIC_NAME_LEN), u"RECEIVE");
      return StateStore(rc, CM_PROGRAM_STATE_CHECK);
    }
  }
  return CM_OK;
}

CM_RETURN_CODE WEQ_CMTIMEOUT2(const char* convId, int32_t timeout, CM_RETURN_CODE* rc) {
  static constexpr WEQ_UC kFn[] = u"WEQ_CMTIMEOUT2";
  CPIC_CONV_ENTRY* e = convId != nullptr ? STISearchConv(convId, 1, 0) : nullptr;
  if (e == nullptr) {
    CPIC_ERR(C_ILLEGAL_PARAMETER2, kFn, u"conversation_ID", CpicIIdText(convId).s);
    return StateStore(rc, CM_PARAMETER_ERROR);
  }
  CPIC_ENTRY_TRC(e, 2, u"*************** %s ***************\n", kFn);
  CPIC_ENTRY_TRC(e, 2, u"%s: conversation_ID: %.8s\n", kFn, CpicIIdText(convId).s);
  if (timeout == -1) {
    CPIC_ENTRY_TRC(e, 2, u"%s: set timeout to WEQ_CMBLOCK\n", kFn);
  } else if (timeout < 0) {
    WEQ_UC value[24];
    snprintfU16(value, 24, u"%ld", static_cast<long>(timeout));
    CPIC_ERR(C_ILLEGAL_PARAMETER2, kFn, u"timeout", value);
    return StateStore(rc, CM_PRODUCT_SPECIFIC_ERROR);
  } else {
    CPIC_ENTRY_TRC(e, 2, u"%s: set timeout to %ld msec\n", kFn, static_cast<long>(timeout));
  }
  e->f.rcvTimeout = timeout;
  e->f.rcvTimeoutGiven = 1;
  CPIC_ENTRY_TRC(e, 2, u"%s: ok\n", kFn);
  return StateStore(rc, CM_OK);
}

CM_RETURN_CODE WEQ_CMSETPING(uint8_t active, int withReply, int period, int timeout, CM_RETURN_CODE* rc) {
  static constexpr WEQ_UC kFn[] = u"WEQ_CMSETPING";
  // Both values are checked before either is stored: a refused call
  // changes nothing.
  if (period < 0) {
    CPIC_TRC_ERR(u"%s: ping_period < 0", kFn);
    return StateStore(rc, CM_PARAMETER_ERROR);
  }
  if (timeout < 0) {
    CPIC_TRC_ERR(u"%s: ping_timeout < 0", kFn);
    return StateStore(rc, CM_PARAMETER_ERROR);
  }
  CpicGlobals& g = CpicIGlobals();
  ThrCSLock(&conv_proto_cs);
  g.pingPeriod = period;
  g.pingTimeout = timeout;
  g.pingActive = active;
  g.pingReply = withReply;
  g.pingSetByCall = 1;
  ThrCSUnlock(&conv_proto_cs);
  CPIC_TRC(2, u"%s: active=%d, withreply=%d, timeout=%d, timeout2 (write)=%d\n", kFn, static_cast<int>(active),
           withReply, period, timeout);
  return StateStore(rc, CM_OK);
}

NI_RC STISendConvNiping(CPIC_CONV_ENTRY* e) {
  static constexpr WEQ_UC kFn[] = u"STISendConvNiping";
  if (e == nullptr || !e->f.pingActive || (e->f.gwOptions & NIPING) == 0) return WEQ_O_K;
  // A ping that another thread sends this moment serves for both.
  if (e->pingBusy.test_and_set(std::memory_order_acquire)) return WEQ_O_K;
  NI_RC rc = NiCheckEx(e->f.writeHdl, e->f.pingTimeout, static_cast<uint8_t>(e->f.pingReply), &e->f.pingCount);
  e->f.lastPing = CpicIMonoSeconds();
  if (rc == NIETIMEOUT) {
    e->f.pingTimedOut = 1;
  } else if (rc == WEQ_O_K) {
    e->f.pingTimedOut = 0;
    e->f.pingCount = 0;
  } else {
    CPIC_ENTRY_ERR(e, u"%s: NiCheckEx failed (%s)\n", kFn, NiErrorName(rc));
  }
  e->pingBusy.clear(std::memory_order_release);
  return rc;
}

void STIStopSweep(CPIC_CONV_ENTRY* e) {
  e->sweepPing.store(0);
  while (e->pingBusy.test_and_set(std::memory_order_acquire)) NiWait(1);
  e->pingBusy.clear(std::memory_order_release);
}

const WEQ_UC* STIBufferStateName(int32_t state, WEQ_UC* buf, size_t size) {
  if (state >= 0 && state < static_cast<int32_t>(sizeof kBufferStateNames / sizeof kBufferStateNames[0]))
    return kBufferStateNames[state];
  if (buf == nullptr || size == 0) return u"";
  snprintfU16(buf, size, u"%d", state);
  return buf;
}
