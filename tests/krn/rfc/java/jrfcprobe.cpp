// Natives of com.weq.test.Probe, built only into the test copy of the
// library: the live per-thread records of the layers, and a way to make a
// thread hold one in each; errors stacked on the converter's error stack;
// the frontend launcher's wait.
#include <jni.h>

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
