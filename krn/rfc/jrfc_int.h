// Java bindings: internals shared by the module's files and seams for the
// tests. Nothing outside krn/rfc and its tests includes this header.
#ifndef KRN_RFC_JRFC_INT_H
#define KRN_RFC_JRFC_INT_H

#include "krn/dptrc/dptrc.h"
#include "krn/rfc/jrfc.h"
#include "krn/rscp/rscp.h"
#include "krn/thr/thr.h"

// The handle the bindings trace to.
inline CTRC_HDL jrfcTrc(void) { return CTrcGlobalHdl.load(std::memory_order_relaxed); }

// The jrfc mutex that INIT creates.
ThrCS* jrfcMutex(void);

// The layer calls that INIT makes, replaceable by the tests to inject
// failures. jrfcISetLayerCalls(NULL) restores the real ones.
struct JrfcLayerCalls {
  ThrRc (*procInit)(void);
  rscpRc_t (*converterInit)(int acceptMask);
  int (*cpicProcessAttach)(WEQ_UC** argv);
  int (*cpicThreadAttach)(void);
  ThrRc (*csInit)(ThrCS* cs, const WEQ_UC* tag);
};
void jrfcISetLayerCalls(const JrfcLayerCalls* calls);

// 1 once INIT succeeded (until the unload), else 0.
int jrfcIInitialised(void);
// 1 when the CPI-C process attach failed once: INIT fails for the rest of
// the process without calling it again.
int jrfcICpicAttachFailed(void);
// Forgets INIT's flag and the remembered attach failure.
void jrfcIResetInit(void);

// Live per-thread records of the layers below, for the leak checks.
struct JrfcLiveCounts {
  long thrTables;   // thread-library key tables
  long errInfo;     // error information records
  long ni;          // network interface
  long cpic;        // CPI-C layer
  long rscpCtx;     // converter contexts
};
JrfcLiveCounts jrfcILiveCounts(void);

// The natives of this module, for the tests that call them on a host.
extern "C" {
jint Java_com_weq_conn_rfc_driver_CpicDriver_INIT(JNIEnv* env, jobject self);
jint Java_com_weq_conn_rfc_engine_Compress_CsRGetHandle(JNIEnv* env, jclass cls);
void Java_com_weq_conn_rfc_engine_Compress_CsRCloseHandle(JNIEnv* env, jclass cls, jint handle);
jint Java_com_weq_conn_rfc_engine_Compress_CsRInitCompress(JNIEnv* env, jclass cls, jint handle,
                                                           jbyteArray out, jint total);
jint Java_com_weq_conn_rfc_engine_Compress_CsRCompress(JNIEnv* env, jclass cls, jint handle,
                                                       jint total, jbyteArray in, jint inOffset,
                                                       jint inLength, jbyteArray out,
                                                       jint outOffset, jint outLength,
                                                       jint option, jintArray result);
jint Java_com_weq_conn_rfc_engine_Compress_CsRInitDecompress(JNIEnv* env, jclass cls, jint handle,
                                                             jbyteArray in);
jint Java_com_weq_conn_rfc_engine_Compress_CsRDecompress(JNIEnv* env, jclass cls, jint handle,
                                                         jbyteArray in, jint inOffset,
                                                         jint inLength, jbyteArray out,
                                                         jint outLength, jint option,
                                                         jintArray result);
}

#endif
