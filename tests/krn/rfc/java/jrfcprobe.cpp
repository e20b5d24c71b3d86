// Natives of com.weq.test.Probe, built only into the test copy of the
// library: the live per-thread records of the layers, and a way to make a
// thread hold one in each; errors stacked on the converter's error stack;
// the frontend launcher's wait; the logon-group layer under the LG natives.
#include <jni.h>

#include <atomic>

#include "i18n/wequ16/u16str.h"
#include "krn/dptrc/err.h"
#include "krn/rfc/jrfc_int.h"
#include "krn/rfc/tov3/rfcweqgui_int.h"
#include "krn/rscp/rscp.h"
#include "weq_types.h"

WEQ_EXPORT void JNICALL Java_com_weq_test_Probe_liveCounts(JNIEnv* env, jclass, jintArray out) {
  JrfcLiveCounts c = jrfcILiveCounts();
  jint v[5] = {static_cast<jint>(c.thrTables), static_cast<jint>(c.errInfo), static_cast<jint>(c.ni),
               static_cast<jint>(c.cpic), static_cast<jint>(c.rscpCtx)};
  jrfcCopyToIntArray(v, 5, env, out, JRFC_WHERE);
}

WEQ_EXPORT void JNICALL Java_com_weq_test_Probe_touchLayers(JNIEnv*, jclass) {
  rscpGetThrCtx();
  ErrSetLocation(u"probe");
}

// Stacks n operating-system errors on the calling thread's converter error
// stack, so that the next report joins them.
WEQ_EXPORT void JNICALL Java_com_weq_test_Probe_pushOsErrors(JNIEnv*, jclass, jint n) {
  for (jint i = 0; i < n; ++i) rscpePushOsError(2, u"open TCPDB.DAT", 0);
}

WEQ_EXPORT void JNICALL Java_com_weq_test_Probe_setGuiWaitMs(JNIEnv*, jclass, jlong ms) {
  rfcGuiISetWaitMs(static_cast<long>(ms));
}

namespace {

std::atomic<int> gCallDones{0};
WEQ_UC gSncName[300];

LG_RC CountedCallDone(void) {
  gCallDones.fetch_add(1);
  return LgCallDone();
}

LG_RC StandInSnc(const WEQ_UC*, const WEQ_UC*, const WEQ_UC*, WEQ_UC* addr, int addrLen, uint16_t* port, WEQ_UC*, int,
                 WEQ_UC* snc, int sncLen, uint8_t*, WEQ_UC*, int) {
  strcpy_sU16(addr, static_cast<size_t>(addrLen), u"10.0.0.1");
  strcpy_sU16(snc, static_cast<size_t>(sncLen), gSncName);
  *port = 3300;
  return 0;
}

constexpr JrfcLgCalls kCounted = {LgSetParam, LgApplSrvInfo, LgGroupSec, LgGroupSncSec, CountedCallDone, LgErrSet};
constexpr JrfcLgCalls kStandIn = {LgSetParam, LgApplSrvInfo, LgGroupSec, StandInSnc, CountedCallDone, LgErrSet};

}  // namespace

WEQ_EXPORT void JNICALL Java_com_weq_test_Probe_lgSeam(JNIEnv* env, jclass, jint mode, jstring sncName) {
  gCallDones.store(0);
  if (jrfcStringToUcs(env, sncName, gSncName, 300, JRFC_WHERE) != 0) gSncName[0] = 0;
  jrfcISetLgCalls(mode == 1 ? &kCounted : mode == 2 ? &kStandIn : nullptr);
}

WEQ_EXPORT jint JNICALL Java_com_weq_test_Probe_lgCallDones(JNIEnv*, jclass) { return gCallDones.load(); }
