// Natives of com.weq.test.Probe, built only into the test copy of the
// library: the live per-thread records of the layers, and a way to make a
// thread hold one in each.
#include <jni.h>

#include "krn/dptrc/err.h"
#include "krn/rfc/jrfc_int.h"
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
