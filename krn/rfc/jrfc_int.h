// Java bindings: internals shared by the module's files and seams for the
// tests. Nothing outside krn/rfc and its tests includes this header.
#ifndef KRN_RFC_JRFC_INT_H
#define KRN_RFC_JRFC_INT_H

#include "krn/dptrc/dptrc.h"
#include "krn/lg/lg.h"
#include "krn/rfc/jrfc.h"
#include "krn/rscp/rscp.h"
#include "krn/thr/thr.h"

// The handle the bindings trace to.
inline CTRC_HDL jrfcTrc(void) { return CTrcGlobalHdl.load(std::memory_order_relaxed); }

// The name a native of CpicDriver traces with: its exported symbol.
#define JRFC_DRIVER_NATIVE(method) u"Java_com_weq_conn_rfc_driver_CpicDriver_" method

// The progress line of a native's start (level 2).
inline void jrfcIEnter(const WEQ_UC* native) { DPTRC_LINE(2, jrfcTrc(), u"JRFC> %s\n", native); }

// True when a JNI call left an exception pending; it is cleared.
bool jrfcIClearPending(JNIEnv* env);
// Elements of a Java array: 0 for NULL, -1 when the length cannot be had.
jsize jrfcIArrayLength(JNIEnv* env, jarray array);

// The copies of jrfcCopyFromByteArray and jrfcCopyToByteArray between a
// Java array of `length` elements and a buffer of `size` bytes, cut to
// elements [from, from + count), which the caller has checked lie within
// both: for a call that reads and writes no byte of the buffer outside
// that range, the array comes out as the whole copies leave it. Each
// traces the warning of the whole copy it stands for; a count of 0 copies
// nothing. 0, or 1 when the JNI copy fails.
int jrfcICopyFromBytePart(JNIEnv* env, jbyteArray jbarr, jsize length, void* buffer, int size,
                          int from, int count, const WEQ_UC* file, int line);
int jrfcICopyToBytePart(const void* buffer, int size, int from, int count, JNIEnv* env,
                        jbyteArray jbarr, jsize length, const WEQ_UC* file, int line);

// A conversation id pinned for a native: the elements of the Java byte[8],
// which the CPI-C layer reads and writes in place. NULL, an array of any
// other length and elements that cannot be had all count as a failed pin.
// Whatever path the native takes, the elements are released: by Release
// with its mode, else by the destructor with copy-back.
class JrfcConvId {
 public:
  JrfcConvId(JNIEnv* env, jbyteArray array) : env_(env), array_(array) {}
  ~JrfcConvId() { Release(0); }
  JrfcConvId(const JrfcConvId&) = delete;
  JrfcConvId& operator=(const JrfcConvId&) = delete;
  // The 8 bytes, or NULL after the error line naming native, file and line.
  char* Pin(const WEQ_UC* native, const WEQ_UC* file, int line);
  // 0: copy back and free; JNI_ABORT: free only. Does nothing unpinned.
  void Release(jint mode);

 private:
  JNIEnv* env_;
  jbyteArray array_;
  jbyte* elems_ = nullptr;
};

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

// The logon-group calls of the LG natives, replaceable by the tests to
// count them or to answer in place of a message server.
// jrfcISetLgCalls(NULL) restores the real ones.
struct JrfcLgCalls {
  LG_RC (*setParam)(uint8_t id, int32_t value);
  LG_RC (*applSrvInfo)(const WEQ_UC* mshost, const WEQ_UC* msserv, LG_APPSRV_ENTRY** asList, int32_t* asCount,
                       LG_CLASS_ENTRY** clList, int32_t* clCount);
  LG_RC (*groupSec)(const WEQ_UC* mshost, const WEQ_UC* msserv, const WEQ_UC* group, WEQ_UC* addr, int addrLen,
                    uint16_t* port, WEQ_UC* release, int releaseLen, uint8_t* lbUsed, WEQ_UC* name, int nameLen);
  LG_RC (*groupSncSec)(const WEQ_UC* mshost, const WEQ_UC* msserv, const WEQ_UC* group, WEQ_UC* addr, int addrLen,
                       uint16_t* port, WEQ_UC* release, int releaseLen, WEQ_UC* sncName, int sncNameLen,
                       uint8_t* lbUsed, WEQ_UC* name, int nameLen);
  LG_RC (*callDone)(void);
  void (*errSet)(LG_RC rc);
};
void jrfcISetLgCalls(const JrfcLgCalls* calls);

// The workers of the LG natives, run under the LG lock: 0; 1 for a failed
// logon-group call (its code goes into the thread's error information); 3
// when "any" finds no group; a failed conversion's code. addrOut takes 100
// bytes, sncOut 256.
int jrfc_lg(const WEQ_UC* group, const WEQ_UC* mshost, const WEQ_UC* msserv, uint16_t* port, char* addrOut);
int jrfc_lg_snc(const WEQ_UC* group, const WEQ_UC* mshost, const WEQ_UC* msserv, uint16_t* port, char* addrOut,
                char* sncOut);

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
jint Java_com_weq_conn_rfc_driver_LG_nativeGet_1MS(JNIEnv* env, jclass cls, jstring group, jstring host,
                                                  jstring serv, jbyteArray addr, jintArray port);
jint Java_com_weq_conn_rfc_driver_LG_nativeGet_1MS_1SNC(JNIEnv* env, jclass cls, jstring group, jstring host,
                                                       jstring serv, jstring unused, jbyteArray sncName,
                                                       jbyteArray addr, jintArray port);

// CpicDriver: conversations.
jint Java_com_weq_conn_rfc_driver_CpicDriver_nativeWEQ_1CMINIT3(JNIEnv* env, jobject self, jbyteArray convId,
                                                               jstring dest, jstring lu, jstring tp, jstring host,
                                                               jstring service, jstring protocol, jint traceLevel,
                                                               jint sncMode, jint qop, jstring sncOwnName,
                                                               jstring sncPartnerName, jstring sncLibrary);
jint Java_com_weq_conn_rfc_driver_CpicDriver_nativeCMALLC(JNIEnv* env, jobject self, jbyteArray convId);
jint Java_com_weq_conn_rfc_driver_CpicDriver_nativeCMSEND(JNIEnv* env, jobject self, jbyteArray convId,
                                                         jbyteArray data, jint length);
jint Java_com_weq_conn_rfc_driver_CpicDriver_nativeCpic_1coxread(JNIEnv* env, jobject self, jbyteArray convId,
                                                                jint timeout, jbyteArray buffer, jintArray result);
jint Java_com_weq_conn_rfc_driver_CpicDriver_nativeRflushCMRCV(JNIEnv* env, jobject self, jbyteArray convId,
                                                              jbyteArray buffer, jint requested, jintArray result);
jint Java_com_weq_conn_rfc_driver_CpicDriver_nativeCMSPLN(JNIEnv* env, jobject self, jbyteArray convId,
                                                         jstring partnerLu);
jint Java_com_weq_conn_rfc_driver_CpicDriver_nativeCMDEAL(JNIEnv* env, jobject self, jbyteArray convId);
jint Java_com_weq_conn_rfc_driver_CpicDriver_nativeWEQ_1CMCANCEL(JNIEnv* env, jobject self, jbyteArray convId,
                                                                jint cancelType);
void Java_com_weq_conn_rfc_driver_CpicDriver_nativeCoxclose(JNIEnv* env, jobject self, jbyteArray convId,
                                                           jint regHandle, jboolean skipDeallocate,
                                                           jboolean unregister);
void Java_com_weq_conn_rfc_driver_CpicDriver_nativeCoxabort(JNIEnv* env, jobject self, jbyteArray convId,
                                                           jint regHandle, jboolean skipDeallocate,
                                                           jboolean unregister);

// CpicDriver: registered server programs.
jint Java_com_weq_conn_rfc_driver_CpicDriver_nativeWEQ_1CMREGTP2(JNIEnv* env, jobject self, jstring tp,
                                                                jstring host, jstring service, jintArray handle,
                                                                jstring sncOwnName, jstring sncLibrary, jbyte qop,
                                                                jboolean sncOn);
jint Java_com_weq_conn_rfc_driver_CpicDriver_nativeWEQ_1CMREGTP3(JNIEnv* env, jobject self, jstring tp,
                                                                jstring host, jstring service, jintArray handle,
                                                                jstring sncOwnName, jstring sncLibrary, jbyte qop,
                                                                jboolean sncOn);
jint Java_com_weq_conn_rfc_driver_CpicDriver_nativeWEQ_1CMUNREGTP3(JNIEnv* env, jobject self, jint handle);
jint Java_com_weq_conn_rfc_driver_CpicDriver_nativeWEQ_1CMLISTEN(JNIEnv* env, jobject self, jint timeout);
jint Java_com_weq_conn_rfc_driver_CpicDriver_nativeWEQ_1CMLISTEN3(JNIEnv* env, jobject self, jbyteArray convId);
jint Java_com_weq_conn_rfc_driver_CpicDriver_nativeWEQ_1CMGETNEXTHDL(JNIEnv* env, jobject self, jintArray handle);
jint Java_com_weq_conn_rfc_driver_CpicDriver_nativeWEQ_1CMACCPTP(JNIEnv* env, jobject self, jbyteArray convId,
                                                                jint handle, jint option);
jint Java_com_weq_conn_rfc_driver_CpicDriver_nativeWEQ_1CMACCPTP3(JNIEnv* env, jobject self, jbyteArray convId,
                                                                 jint handle, jint option);
jint Java_com_weq_conn_rfc_driver_CpicDriver_nativeWEQ_1CMNOREGTP(JNIEnv* env, jobject self, jstring tp,
                                                                 jstring host, jstring service, jintArray counts);

// CpicDriver: trace, SNC, version, limits, keep-alive and UUIDs.
jstring Java_com_weq_conn_rfc_driver_CpicDriver_WEQ_1CMPERR(JNIEnv* env, jobject self);
jint Java_com_weq_conn_rfc_driver_CpicDriver_nativeSetCpicTrace(JNIEnv* env, jobject self, jint level,
                                                               jstring directory);
jint Java_com_weq_conn_rfc_driver_CpicDriver_nativeGetCpicTrace(JNIEnv* env, jobject self);
jstring Java_com_weq_conn_rfc_driver_CpicDriver_getTraceFileName(JNIEnv* env, jobject self);
jint Java_com_weq_conn_rfc_driver_CpicDriver_nativeSncMode(JNIEnv* env, jobject self, jbyteArray convId);
jstring Java_com_weq_conn_rfc_driver_CpicDriver_nativeSncPartnerName(JNIEnv* env, jobject self, jbyteArray convId);
jint Java_com_weq_conn_rfc_driver_CpicDriver_nativeSncPartnerAclKey(JNIEnv* env, jobject self, jbyteArray convId,
                                                                   jbyteArray key);
jint Java_com_weq_conn_rfc_driver_CpicDriver_nativeCpicGetVersion(JNIEnv* env, jobject self, jintArray version);
jint Java_com_weq_conn_rfc_driver_CpicDriver_nativeWEQ_1CMMAXCONV(JNIEnv* env, jobject self, jint count);
jint Java_com_weq_conn_rfc_driver_CpicDriver_nativeWEQ_1CMSETPING(JNIEnv* env, jobject self, jint active,
                                                                 jint withReply, jint period, jint timeout);
jint Java_com_weq_conn_rfc_driver_CpicDriver_nativeCreateUUID(JNIEnv* env, jobject self, jbyteArray uuid);
}

#endif
