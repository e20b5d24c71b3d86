// Natives of com.weq.conn.rfc.driver.CpicDriver that run CPI-C
// conversations: the client's (initialise, allocate, send, receive, partner
// LU name, deallocate, cancel, close) and the registered server program's
// (register, listen, next handle, accept, unregister, count). Each converts
// its Java arguments into fixed buffers on its stack, calls one verb of the
// CPI-C layer and hands the verb's return code to Java; results go back
// through the Java arrays.
//
// Arrays are checked before they are used: a conversation id other than a
// byte[8], a result int[] shorter than 3 and a handle int[] shorter than 1
// count as NULL. Every element pinned is released on every path. The
// natives take no lock; the layer guards what threads share.
#include <string.h>

#include <algorithm>

#include "i18n/wequ16/u16str.h"
#include "krn/cpic/cpic.h"
#include "krn/dptrc/dptrc.h"
#include "krn/rfc/jrfc_int.h"

namespace {

// Capacities of the Java strings in units, terminator included.
constexpr int kDestUnits = 128;
constexpr int kInitNameUnits = 1025;  // LU, TP and gateway host of the initialise
constexpr int kGwServUnits = 33;
constexpr int kProtUnits = 32;
constexpr int kSncFieldUnits = 257;
constexpr int kRegNameUnits = 2049;   // TP and gateway host of register and count
constexpr int kLuNameUnits = 2048;

constexpr jsize kRcvResultInts = 3;
constexpr jsize kCountInts = 4;
constexpr int32_t kListenLength = 28000;
constexpr int32_t kBlocking = -1;  // all bits set: the receive waits without limit
constexpr uint8_t kDefaultQop = 8;
constexpr uint8_t kRoleInitiator = 1;
constexpr uint8_t kRoleAcceptor = 2;

// An int[] that holds at least n elements; shorter ones count as NULL.
bool HoldsInts(JNIEnv* env, jintArray array, jsize n) {
  return array != nullptr && jrfcIArrayLength(env, array) >= n;
}

// The elements of a Java array that the native itself pins (buffers and
// int arrays); released on every path, with copy-back unless told.
template <class JArray, class Elem, Elem* (JNIEnv::*Get)(JArray, jboolean*),
          void (JNIEnv::*Put)(JArray, Elem*, jint)>
class Pinned {
 public:
  Pinned(JNIEnv* env, JArray array) : env_(env), array_(array) {
    if (array_ != nullptr) elems_ = (env_->*Get)(array_, nullptr);
    if (elems_ == nullptr) jrfcIClearPending(env_);
  }
  ~Pinned() { Release(0); }
  Pinned(const Pinned&) = delete;
  Pinned& operator=(const Pinned&) = delete;
  Elem* get() const { return elems_; }
  void Release(jint mode) {
    if (elems_ == nullptr) return;
    (env_->*Put)(array_, elems_, mode);
    elems_ = nullptr;
  }

 private:
  JNIEnv* env_;
  JArray array_;
  Elem* elems_ = nullptr;
};
using PinnedBytes = Pinned<jbyteArray, jbyte, &JNIEnv::GetByteArrayElements, &JNIEnv::ReleaseByteArrayElements>;
using PinnedInts = Pinned<jintArray, jint, &JNIEnv::GetIntArrayElements, &JNIEnv::ReleaseIntArrayElements>;

// A receive's results into result[0..2]: false when the elements cannot be
// had.
bool PutResults(JNIEnv* env, jintArray result, int32_t dataReceived, int32_t statusReceived, int32_t length) {
  PinnedInts r(env, result);
  if (r.get() == nullptr) return false;
  r.get()[0] = dataReceived;
  r.get()[1] = statusReceived;
  r.get()[2] = length;
  return true;
}

// One receive into the pinned Java buffer, requested bytes at most (not
// more than the array holds). Only the bytes received are copied back: the
// rest of the array stays as Java had it. The buffer is released.
struct Received {
  CM_RETURN_CODE rc = 0;
  int32_t dataReceived = 0, length = 0, status = 0, rts = 0;
};
Received ReceiveInto(JNIEnv* env, char* convId, jbyteArray buffer, PinnedBytes* buf, int32_t requested) {
  Received r;
  STRCV(convId, buf->get(), &requested, &r.dataReceived, &r.length, &r.status, &r.rts, &r.rc);
  if (r.length > 0) {
    jsize back = std::min<jsize>(r.length, std::max<int32_t>(requested, 0));
    env->SetByteArrayRegion(buffer, 0, back, buf->get());
    jrfcIClearPending(env);
  }
  buf->Release(JNI_ABORT);
  return r;
}

// Unregisters (version 2, the socket handle) unless told not to.
void Unregister(jboolean unregister, jint handle) {
  if (!unregister) return;
  CM_RETURN_CODE rc = 0;
  WEQ_CMUNREGTP(handle, &rc);
}

// The SNC strings of a registration into its block, which is zeroed first.
// With SNC on a string that does not convert leaves its field empty and the
// registration goes on.
void RegSncBlock(JNIEnv* env, CPIC_SNC_PARAMS* block, jstring ownName, jstring library, jbyte qop, jboolean sncOn) {
  memset(block, 0, sizeof *block);
  if (!sncOn) return;
  block->first = 1;
  block->mode = 1;
  block->role = kRoleAcceptor;
  if (jrfcStringToUcs(env, library, block->libPath, kSncFieldUnits, JRFC_WHERE) != 0) block->libPath[0] = 0;
  if (jrfcStringToUcs(env, ownName, block->myName, kSncFieldUnits, JRFC_WHERE) != 0) block->myName[0] = 0;
  block->qop = qop == 0 ? kDefaultQop : static_cast<uint8_t>(qop);
}

using RegVerb = CM_RETURN_CODE (*)(const WEQ_UC*, const WEQ_UC*, const WEQ_UC*, int32_t*, const CPIC_SNC_PARAMS*,
                                   CM_RETURN_CODE*);

// Both register natives: the handle array is checked and pinned before
// anything registers, so that a registration never stays behind without a
// handle that Java holds.
jint Register(JNIEnv* env, const WEQ_UC* fn, RegVerb verb, jstring jtp, jstring jhost, jstring jserv,
              jintArray handle, jstring ownName, jstring library, jbyte qop, jboolean sncOn) {
  jrfcIEnter(fn);
  if (!HoldsInts(env, handle, 1)) {
    DPTRC_ERROR(jrfcTrc(), u"JRFC> %s reghandle_iarr is NULL\n", fn);
    return 1;
  }
  PinnedInts out(env, handle);
  if (out.get() == nullptr) {
    DPTRC_ERROR(jrfcTrc(), u"JRFC> %s GetIntArrayElements failed\n", fn);
    return 1;
  }
  CPIC_SNC_PARAMS block;
  RegSncBlock(env, &block, ownName, library, qop, sncOn);
  WEQ_UC tp[kRegNameUnits], host[kRegNameUnits], serv[kGwServUnits];
  int crc = jrfcStringToUcs(env, jtp, tp, kRegNameUnits, JRFC_WHERE);
  if (crc == 0) crc = jrfcStringToUcs(env, jhost, host, kRegNameUnits, JRFC_WHERE);
  if (crc == 0) crc = jrfcStringToUcs(env, jserv, serv, kGwServUnits, JRFC_WHERE);
  if (crc != 0) {
    out.Release(JNI_ABORT);
    return crc;
  }
  int32_t h = 0;
  CM_RETURN_CODE rc = 0;
  verb(tp, host, serv, &h, &block, &rc);
  if (rc != CM_OK) {
    out.Release(JNI_ABORT);
    return 1;
  }
  out.get()[0] = h;
  return 0;
}

using AcceptVerb = CM_RETURN_CODE (*)(int32_t handle, int32_t option, char* convId, CM_RETURN_CODE* rc);

CM_RETURN_CODE Accept2(int32_t handle, int32_t option, char* convId, CM_RETURN_CODE* rc) {
  return WEQ_CMACCPTP(handle, option, convId, rc);
}
CM_RETURN_CODE Accept3(int32_t handle, int32_t option, char* convId, CM_RETURN_CODE* rc) {
  return WEQ_CMACCPTP3(handle, option, convId, nullptr, rc);
}

// Both accept natives: the id goes back to Java only with a conversation.
jint AcceptNative(JNIEnv* env, const WEQ_UC* fn, AcceptVerb verb, jbyteArray jconv, jint handle, jint option,
                  bool traceFailure) {
  jrfcIEnter(fn);
  JrfcConvId id(env, jconv);
  char* conv = id.Pin(fn, JRFC_WHERE);
  if (conv == nullptr) return 1;
  CM_RETURN_CODE rc = 0;
  verb(handle, option, conv, &rc);
  id.Release(rc == CM_OK ? 0 : JNI_ABORT);
  if (traceFailure && rc != CM_OK && rc != CM_DEALLOCATED_NORMAL && rc != CM_WEQ_TIMEOUT_RETRY) {
    DPTRC_ERROR(jrfcTrc(), u"JRFC> %s WEQ_CMACCPTP returned %d\n", fn, rc);
  }
  return rc;
}

// nativeCoxclose and nativeCoxabort: deallocate unless skipped, then
// unregister when asked. An id that cannot be pinned skips the
// deallocation; close then ends at once, abort still unregisters.
void CloseNative(JNIEnv* env, const WEQ_UC* fn, bool abort, jbyteArray jconv, jint handle, jboolean skipDeallocate,
                 jboolean unregister) {
  jrfcIEnter(fn);
  if (!skipDeallocate) {
    JrfcConvId id(env, jconv);
    char* conv = id.Pin(fn, JRFC_WHERE);
    if (conv == nullptr && !abort) return;
    if (conv != nullptr) {
      CM_RETURN_CODE rc = 0;
      STDEAL(conv, &rc);
      id.Release(abort ? JNI_ABORT : 0);
      if (abort && rc != CM_OK) DPTRC_ERROR(jrfcTrc(), u"JRFC> %s CMDEAL returned %d\n", fn, rc);
    }
  }
  Unregister(unregister, handle);
}

}  // namespace

// --- Client ----------------------------------------------------------------------------------

WEQ_EXPORT jint JNICALL Java_com_weq_conn_rfc_driver_CpicDriver_nativeWEQ_1CMINIT3(
    JNIEnv* env, jobject /*self*/, jbyteArray jconv, jstring jdest, jstring jlu, jstring jtp, jstring jhost,
    jstring jserv, jstring jprot, jint traceLevel, jint sncMode, jint qop, jstring ownName, jstring partnerName,
    jstring library) {
  static constexpr WEQ_UC kFn[] = JRFC_DRIVER_NATIVE(u"nativeWEQ_1CMINIT3");
  jrfcIEnter(kFn);
  WEQ_UC dest[kDestUnits], lu[kInitNameUnits], tp[kInitNameUnits], host[kInitNameUnits], serv[kGwServUnits],
      prot[kProtUnits];
  if (jrfcStringToUcs(env, jdest, dest, kDestUnits, JRFC_WHERE) != 0 ||
      jrfcStringToUcs(env, jlu, lu, kInitNameUnits, JRFC_WHERE) != 0 ||
      jrfcStringToUcs(env, jtp, tp, kInitNameUnits, JRFC_WHERE) != 0 ||
      jrfcStringToUcs(env, jhost, host, kInitNameUnits, JRFC_WHERE) != 0 ||
      jrfcStringToUcs(env, jserv, serv, kGwServUnits, JRFC_WHERE) != 0 ||
      jrfcStringToUcs(env, jprot, prot, kProtUnits, JRFC_WHERE) != 0) {
    return 1;
  }
  // Only SNC mode 1 reads the SNC strings; any other mode passes no block.
  CPIC_SNC_PARAMS block;
  const CPIC_SNC_PARAMS* snc = nullptr;
  if (sncMode == 1) {
    memset(&block, 0, sizeof block);
    if (jrfcStringToUcs(env, ownName, block.myName, kSncFieldUnits, JRFC_WHERE) != 0 ||
        jrfcStringToUcs(env, partnerName, block.partnerName, kSncFieldUnits, JRFC_WHERE) != 0 ||
        jrfcStringToUcs(env, library, block.libPath, kSncFieldUnits, JRFC_WHERE) != 0) {
      return 1;
    }
    block.first = 1;
    block.mode = 1;
    block.role = kRoleInitiator;
    // A single blank asks the layer for the default identity.
    if (block.myName[0] == 0) strcpy_sU16(block.myName, kSncFieldUnits, u" ");
    block.qop = qop == 0 ? kDefaultQop : static_cast<uint8_t>(qop);
    snc = &block;
  }
  JrfcConvId id(env, jconv);
  char* conv = id.Pin(kFn, JRFC_WHERE);
  if (conv == nullptr) return 1;
  CM_RETURN_CODE rc = 0;
  WEQ_STINIT3(conv, dest, lu, tp, host, serv, prot[0], traceLevel, snc, &rc);
  return rc;
}

WEQ_EXPORT jint JNICALL Java_com_weq_conn_rfc_driver_CpicDriver_nativeCMALLC(JNIEnv* env, jobject /*self*/,
                                                                            jbyteArray jconv) {
  static constexpr WEQ_UC kFn[] = JRFC_DRIVER_NATIVE(u"nativeCMALLC");
  jrfcIEnter(kFn);
  JrfcConvId id(env, jconv);
  char* conv = id.Pin(kFn, JRFC_WHERE);
  if (conv == nullptr) return 1;
  CM_RETURN_CODE rc = 0;
  STALLC(conv, &rc);
  return rc;
}

WEQ_EXPORT jint JNICALL Java_com_weq_conn_rfc_driver_CpicDriver_nativeCMSEND(JNIEnv* env, jobject /*self*/,
                                                                            jbyteArray jconv, jbyteArray data,
                                                                            jint length) {
  static constexpr WEQ_UC kFn[] = JRFC_DRIVER_NATIVE(u"nativeCMSEND");
  jrfcIEnter(kFn);
  JrfcConvId id(env, jconv);
  char* conv = id.Pin(kFn, JRFC_WHERE);
  if (conv == nullptr) return 1;
  // Never more than the array holds: the layer would read past it.
  jsize held = jrfcIArrayLength(env, data);
  int32_t most = std::min<int32_t>(std::max<jsize>(held, 0), CPIC_MAX_DATA);
  if (length < 0 || length > most) return CpicRefuseLength(u"STSEND", u"send_length", length, most);
  PinnedBytes buf(env, data);
  if (buf.get() == nullptr) {
    DPTRC_ERROR(jrfcTrc(), u"JRFC> %s buffer == NULL (out of native memory): %s %d\n", kFn, JRFC_WHERE);
    return 1;
  }
  int32_t len = length, rts = 0;
  CM_RETURN_CODE rc = 0;
  STSEND(conv, buf.get(), &len, &rts, &rc);
  buf.Release(JNI_ABORT);
  return rc;
}

WEQ_EXPORT jint JNICALL Java_com_weq_conn_rfc_driver_CpicDriver_nativeCpic_1coxread(JNIEnv* env,
                                                                                   jobject /*self*/,
                                                                                   jbyteArray jconv, jint timeout,
                                                                                   jbyteArray buffer,
                                                                                   jintArray result) {
  static constexpr WEQ_UC kFn[] = u"Java_com_weq_conn_rfc_driver_CpicNative_cpic_1coxread";
  jrfcIEnter(kFn);
  if (!HoldsInts(env, result, kRcvResultInts)) {
    DPTRC_ERROR(jrfcTrc(), u"JRFC> %s res_iarr is NULL\n", kFn);
    return 1;
  }
  JrfcConvId id(env, jconv);
  char* conv = id.Pin(kFn, JRFC_WHERE);
  if (conv == nullptr) return 1;
  // The buffer is pinned before the time-out is set: a buffer that cannot
  // be had must not leave the conversation with a time-out nobody resets.
  PinnedBytes buf(env, buffer);
  if (buf.get() == nullptr) {
    DPTRC_ERROR(jrfcTrc(), u"JRFC> %s buffer == NULL (out of native memory): %s %d\n", kFn, JRFC_WHERE);
    return 1;
  }
  // A buffer beyond the largest receive is refused by the layer before it
  // asks anything; no time-out is set for it, since that refusal would
  // leave the time-out behind for the next read.
  jsize held = std::max<jsize>(jrfcIArrayLength(env, buffer), 0);
  bool timed = timeout > 0 && held <= CPIC_MAX_DATA;
  CM_RETURN_CODE rc2 = 0;
  if (timed) {
    // 1 ms asks for what is there already: a receive that does not wait.
    WEQ_CMTIMEOUT2(conv, timeout == 1 ? 0 : timeout, &rc2);
    if (rc2 != CM_OK) DPTRC_ERROR(jrfcTrc(), u"JRFC> %s WEQ_CMTIMEOUT2 returns %d\n", kFn, rc2);
  }
  Received r = ReceiveInto(env, conv, buffer, &buf, held);
  if (timed && (r.rc == CM_OK || r.rc == CM_WEQ_TIMEOUT_RETRY)) {
    WEQ_CMTIMEOUT2(conv, kBlocking, &rc2);
    if (rc2 != CM_OK) DPTRC_ERROR(jrfcTrc(), u"JRFC> %s WEQ_CMTIMEOUT2 returns %d\n", kFn, rc2);
  }
  id.Release(0);
  if (r.rc == CM_WEQ_TIMEOUT_RETRY) return -1;
  if (!PutResults(env, result, r.dataReceived, r.status, r.length)) {
    DPTRC_ERROR(jrfcTrc(), u"JRFC> %s GetIntArrayElements failed\n", kFn);
    return 1;
  }
  return r.rc;
}

WEQ_EXPORT jint JNICALL Java_com_weq_conn_rfc_driver_CpicDriver_nativeRflushCMRCV(JNIEnv* env, jobject /*self*/,
                                                                                 jbyteArray jconv,
                                                                                 jbyteArray buffer,
                                                                                 jint requested,
                                                                                 jintArray result) {
  static constexpr WEQ_UC kFn[] = JRFC_DRIVER_NATIVE(u"nativeRflushCMRCV");
  jrfcIEnter(kFn);
  if (!HoldsInts(env, result, kRcvResultInts)) {
    DPTRC_ERROR(jrfcTrc(), u"JRFC> %s result_iarr is NULL\n", kFn);
    return 1;
  }
  JrfcConvId id(env, jconv);
  char* conv = id.Pin(kFn, JRFC_WHERE);
  if (conv == nullptr) return 1;
  // More than the array holds is cut to it; the rest of the message waits
  // for the next receive. Other values reach the layer, which refuses what
  // it cannot take.
  jsize held = jrfcIArrayLength(env, buffer);
  PinnedBytes buf(env, buffer);
  if (buf.get() == nullptr) {
    DPTRC_ERROR(jrfcTrc(), u"JRFC> %s buffer == NULL (out of native memory): %s %d\n", kFn, JRFC_WHERE);
    return 1;
  }
  Received r = ReceiveInto(env, conv, buffer, &buf, requested > held ? std::max<jsize>(held, 0) : requested);
  id.Release(0);
  if (!PutResults(env, result, r.dataReceived, r.status, r.length)) {
    DPTRC_ERROR(jrfcTrc(), u"JRFC> %s rc_arr == NULL (out of native memory): %s %d\n", kFn, JRFC_WHERE);
    return 1;
  }
  return r.rc;
}

WEQ_EXPORT jint JNICALL Java_com_weq_conn_rfc_driver_CpicDriver_nativeCMSPLN(JNIEnv* env, jobject /*self*/,
                                                                            jbyteArray jconv, jstring jname) {
  static constexpr WEQ_UC kFn[] = JRFC_DRIVER_NATIVE(u"nativeCMSPLN");
  jrfcIEnter(kFn);
  WEQ_UC name[kLuNameUnits];
  if (jrfcStringToUcs(env, jname, name, kLuNameUnits, JRFC_WHERE) != 0) return 1;
  JrfcConvId id(env, jconv);
  char* conv = id.Pin(kFn, JRFC_WHERE);
  if (conv == nullptr) return 1;
  int32_t length = static_cast<int32_t>(strnlenU16(name, kLuNameUnits));
  CM_RETURN_CODE rc = 0;
  STSPLN(conv, name, &length, &rc);
  return rc;
}

WEQ_EXPORT jint JNICALL Java_com_weq_conn_rfc_driver_CpicDriver_nativeCMDEAL(JNIEnv* env, jobject /*self*/,
                                                                            jbyteArray jconv) {
  static constexpr WEQ_UC kFn[] = JRFC_DRIVER_NATIVE(u"nativeCMDEAL");
  jrfcIEnter(kFn);
  JrfcConvId id(env, jconv);
  char* conv = id.Pin(kFn, JRFC_WHERE);
  if (conv == nullptr) return 1;
  CM_RETURN_CODE rc = 0;
  STDEAL(conv, &rc);
  return rc;
}

WEQ_EXPORT jint JNICALL Java_com_weq_conn_rfc_driver_CpicDriver_nativeWEQ_1CMCANCEL(JNIEnv* env, jobject /*self*/,
                                                                                   jbyteArray jconv,
                                                                                   jint cancelType) {
  static constexpr WEQ_UC kFn[] = JRFC_DRIVER_NATIVE(u"nativeWEQ_1CMCANCEL");
  jrfcIEnter(kFn);
  JrfcConvId id(env, jconv);
  char* conv = id.Pin(kFn, JRFC_WHERE);
  if (conv == nullptr) return 1;
  int32_t type = cancelType;
  CM_RETURN_CODE rc = 0;
  WEQ_CMCANCEL(conv, &type, &rc);
  return rc;
}

WEQ_EXPORT void JNICALL Java_com_weq_conn_rfc_driver_CpicDriver_nativeCoxclose(JNIEnv* env, jobject /*self*/,
                                                                              jbyteArray jconv, jint handle,
                                                                              jboolean skipDeallocate,
                                                                              jboolean unregister) {
  CloseNative(env, JRFC_DRIVER_NATIVE(u"nativeCoxclose"), false, jconv, handle, skipDeallocate, unregister);
}

WEQ_EXPORT void JNICALL Java_com_weq_conn_rfc_driver_CpicDriver_nativeCoxabort(JNIEnv* env, jobject /*self*/,
                                                                              jbyteArray jconv, jint handle,
                                                                              jboolean skipDeallocate,
                                                                              jboolean unregister) {
  CloseNative(env, JRFC_DRIVER_NATIVE(u"nativeCoxabort"), true, jconv, handle, skipDeallocate, unregister);
}

// --- Registered server program -------------------------------------------------------------

WEQ_EXPORT jint JNICALL Java_com_weq_conn_rfc_driver_CpicDriver_nativeWEQ_1CMREGTP2(
    JNIEnv* env, jobject /*self*/, jstring tp, jstring host, jstring serv, jintArray handle, jstring ownName,
    jstring library, jbyte qop, jboolean sncOn) {
  return Register(env, JRFC_DRIVER_NATIVE(u"nativeWEQ_1CMREGTP2"), WEQ_CMREGTP2, tp, host, serv, handle, ownName,
                  library, qop, sncOn);
}

WEQ_EXPORT jint JNICALL Java_com_weq_conn_rfc_driver_CpicDriver_nativeWEQ_1CMREGTP3(
    JNIEnv* env, jobject /*self*/, jstring tp, jstring host, jstring serv, jintArray handle, jstring ownName,
    jstring library, jbyte qop, jboolean sncOn) {
  return Register(env, JRFC_DRIVER_NATIVE(u"nativeWEQ_1CMREGTP3"), WEQ_CMREGTP3, tp, host, serv, handle, ownName,
                  library, qop, sncOn);
}

WEQ_EXPORT jint JNICALL Java_com_weq_conn_rfc_driver_CpicDriver_nativeWEQ_1CMUNREGTP3(JNIEnv* /*env*/,
                                                                                     jobject /*self*/,
                                                                                     jint handle) {
  jrfcIEnter(JRFC_DRIVER_NATIVE(u"nativeWEQ_1CMUNREGTP3"));
  CM_RETURN_CODE rc = 0;
  WEQ_CMUNREGTP3(handle, &rc);
  return rc;
}

WEQ_EXPORT jint JNICALL Java_com_weq_conn_rfc_driver_CpicDriver_nativeWEQ_1CMLISTEN(JNIEnv* /*env*/,
                                                                                   jobject /*self*/,
                                                                                   jint timeout) {
  jrfcIEnter(JRFC_DRIVER_NATIVE(u"nativeWEQ_1CMLISTEN"));
  CM_RETURN_CODE rc = 0;
  WEQ_CMLISTEN(timeout, &rc);
  return rc;
}

WEQ_EXPORT jint JNICALL Java_com_weq_conn_rfc_driver_CpicDriver_nativeWEQ_1CMLISTEN3(JNIEnv* env, jobject /*self*/,
                                                                                    jbyteArray jconv) {
  static constexpr WEQ_UC kFn[] = JRFC_DRIVER_NATIVE(u"nativeWEQ_1CMLISTEN3");
  jrfcIEnter(kFn);
  JrfcConvId id(env, jconv);
  char* conv = id.Pin(kFn, JRFC_WHERE);
  if (conv == nullptr) return 1;
  int32_t length = kListenLength;
  CM_RETURN_CODE rc = 0;
  WEQ_CMLISTEN3(conv, &length, &rc);
  return rc;
}

WEQ_EXPORT jint JNICALL Java_com_weq_conn_rfc_driver_CpicDriver_nativeWEQ_1CMGETNEXTHDL(JNIEnv* env,
                                                                                       jobject /*self*/,
                                                                                       jintArray handle) {
  static constexpr WEQ_UC kFn[] = JRFC_DRIVER_NATIVE(u"nativeWEQ_1CMGETNEXTHDL");
  jrfcIEnter(kFn);
  if (!HoldsInts(env, handle, 1)) {
    DPTRC_ERROR(jrfcTrc(), u"JRFC> %s reghandle_iarr is NULL\n", kFn);
    return 1;
  }
  PinnedInts h(env, handle);
  if (h.get() == nullptr) {
    DPTRC_ERROR(jrfcTrc(), u"JRFC> %s reg_handle_buff == NULL (out of native memory): %s %d\n", kFn,
                JRFC_WHERE);
    return 1;
  }
  CM_RETURN_CODE rc = 0;
  WEQ_CMGETNEXTHDL(h.get(), nullptr, &rc);
  h.Release(0);
  if (rc != CM_OK && rc != CM_WEQ_TIMEOUT_RETRY) {
    DPTRC_ERROR(jrfcTrc(), u"JRFC> %s WEQ_CMGETNEXTHDL returned %d\n", kFn, rc);
  }
  return rc;
}

WEQ_EXPORT jint JNICALL Java_com_weq_conn_rfc_driver_CpicDriver_nativeWEQ_1CMACCPTP(JNIEnv* env, jobject /*self*/,
                                                                                   jbyteArray jconv, jint handle,
                                                                                   jint option) {
  return AcceptNative(env, JRFC_DRIVER_NATIVE(u"nativeWEQ_1CMACCPTP"), Accept2, jconv, handle, option, true);
}

WEQ_EXPORT jint JNICALL Java_com_weq_conn_rfc_driver_CpicDriver_nativeWEQ_1CMACCPTP3(JNIEnv* env,
                                                                                    jobject /*self*/,
                                                                                    jbyteArray jconv, jint handle,
                                                                                    jint option) {
  return AcceptNative(env, JRFC_DRIVER_NATIVE(u"nativeWEQ_1CMACCPTP3"), Accept3, jconv, handle, option, false);
}

WEQ_EXPORT jint JNICALL Java_com_weq_conn_rfc_driver_CpicDriver_nativeWEQ_1CMNOREGTP(JNIEnv* env, jobject /*self*/,
                                                                                    jstring jtp, jstring jhost,
                                                                                    jstring jserv,
                                                                                    jintArray counts) {
  static constexpr WEQ_UC kFn[] = JRFC_DRIVER_NATIVE(u"nativeWEQ_1CMNOREGTP");
  jrfcIEnter(kFn);
  WEQ_UC tp[kRegNameUnits], host[kRegNameUnits], serv[kGwServUnits];
  int crc = jrfcStringToUcs(env, jtp, tp, kRegNameUnits, JRFC_WHERE);
  if (crc == 0) crc = jrfcStringToUcs(env, jhost, host, kRegNameUnits, JRFC_WHERE);
  if (crc == 0) crc = jrfcStringToUcs(env, jserv, serv, kGwServUnits, JRFC_WHERE);
  if (crc != 0) return crc;
  int32_t n[kCountInts] = {0, 0, 0, 0};
  CM_RETURN_CODE rc = 0;
  WEQ_CMNOREGTP(tp, host, serv, &n[0], &n[1], &n[2], &n[3], &rc);
  if (rc != CM_OK) {
    DPTRC_ERROR(jrfcTrc(), u"JRFC> %s WEQ_CMNOREGTP returned %d\n", kFn, rc);
    return rc;
  }
  if (counts == nullptr) {
    DPTRC_ERROR(jrfcTrc(), u"JRFC> %s regno_jarr is NULL\n", kFn);
    return 0;
  }
  jsize have = jrfcIArrayLength(env, counts);
  if (have <= 0) return 0;
  PinnedInts out(env, counts);
  if (out.get() == nullptr) {
    DPTRC_ERROR(jrfcTrc(), u"JRFC> %s GetIntArrayElements failed\n", kFn);
    return 1;
  }
  std::copy_n(n, std::min(have, kCountInts), out.get());
  return 0;
}

