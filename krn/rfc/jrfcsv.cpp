// Natives of com.weq.conn.rfc.driver.CpicDriver that move no conversation
// data: the CPI-C trace, the thread's error text, the SNC facts of a
// conversation, the library's version, the size of the conversation table,
// the gateway keep-alive, the name of a trace file and UUIDs. Each is a thin
// call into the CPI-C layer or the runtime; none throws.
#include <string.h>
#include <unistd.h>

#include "i18n/wequ16/u16fmt.h"
#include "krn/cpic/cpic.h"
#include "krn/dptrc/dptrc.h"
#include "krn/perf/pfuuid.h"
#include "krn/rfc/jrfc_int.h"
#include "krn/thr/thr.h"

namespace {

constexpr int kTraceDirUnits = 2049;
constexpr int kTraceFileUnits = 256;
constexpr int kSncNameUnits = 2048;
constexpr jint kVersion[] = {720, 38};  // release, level
constexpr jint kUuidBadLength = 6;
constexpr jint kUuidNoElements = 10;

}  // namespace

WEQ_EXPORT jstring JNICALL Java_com_weq_conn_rfc_driver_CpicDriver_WEQ_1CMPERR(JNIEnv* env, jobject /*self*/) {
  jrfcIEnter(JRFC_DRIVER_NATIVE(u"WEQ_1CMPERR"));
  const WEQ_UC* text = WEQ_CMPERR();
  return text == nullptr ? nullptr : jrfcUcsToString(env, text, JRFC_WHERE);
}

WEQ_EXPORT jint JNICALL Java_com_weq_conn_rfc_driver_CpicDriver_nativeSetCpicTrace(JNIEnv* env, jobject /*self*/,
                                                                                  jint level, jstring jdir) {
  static constexpr WEQ_UC kFn[] = JRFC_DRIVER_NATIVE(u"nativeSetCpicTrace");
  jrfcIEnter(kFn);
  WEQ_UC dir[kTraceDirUnits];
  int crc = jrfcStringToUcs(env, jdir, dir, kTraceDirUnits, JRFC_WHERE);
  if (crc != 0) return crc;
  CM_RETURN_CODE rc = WEQ_CMTRACE(level, dir);
  if (rc != CM_OK) DPTRC_ERROR(jrfcTrc(), u"JRFC> %s WEQ_CMTRACE returned %d\n", kFn, rc);
  return rc;
}

WEQ_EXPORT jint JNICALL Java_com_weq_conn_rfc_driver_CpicDriver_nativeGetCpicTrace(JNIEnv* /*env*/,
                                                                                  jobject /*self*/) {
  static constexpr WEQ_UC kFn[] = JRFC_DRIVER_NATIVE(u"nativeGetCpicTrace");
  jrfcIEnter(kFn);
  int level = 0;
  CM_RETURN_CODE rc = WEQ_CMGETTRACE(&level);
  if (rc == CM_OK) return level;
  DPTRC_ERROR(jrfcTrc(), u"JRFC> %s WEQ_CMGETTRACE returned %d\n", kFn, rc);
  return rc;
}

WEQ_EXPORT jstring JNICALL Java_com_weq_conn_rfc_driver_CpicDriver_getTraceFileName(JNIEnv* env, jobject /*self*/) {
  jrfcIEnter(JRFC_DRIVER_NATIVE(u"getTraceFileName"));
  WEQ_UC name[kTraceFileUnits];
  snprintfTruncU16(name, kTraceFileUnits, u"jrfc%.5d_%05d.trc", static_cast<int>(getpid()),
                   static_cast<int>(ThrCurrentId()));
  return jrfcUcsToString(env, name, JRFC_WHERE);
}

WEQ_EXPORT jint JNICALL Java_com_weq_conn_rfc_driver_CpicDriver_nativeSncMode(JNIEnv* env, jobject /*self*/,
                                                                             jbyteArray jconv) {
  static constexpr WEQ_UC kFn[] = JRFC_DRIVER_NATIVE(u"nativeSncMode");
  jrfcIEnter(kFn);
  JrfcConvId id(env, jconv);
  char* conv = id.Pin(kFn, JRFC_WHERE);
  if (conv == nullptr) return 1;
  uint8_t mode = 0;
  CM_RETURN_CODE rc = 0;
  WEQ_CMSNCMODE(conv, &mode, &rc);
  if (rc == CM_OK) return mode;
  DPTRC_ERROR(jrfcTrc(), u"JRFC > Error %s error WEQ_CMSNCMODE failed (%d)\n", kFn, rc);
  return 0;
}

WEQ_EXPORT jstring JNICALL Java_com_weq_conn_rfc_driver_CpicDriver_nativeSncPartnerName(JNIEnv* env,
                                                                                       jobject /*self*/,
                                                                                       jbyteArray jconv) {
  static constexpr WEQ_UC kFn[] = JRFC_DRIVER_NATIVE(u"nativeSncPartnerName");
  jrfcIEnter(kFn);
  JrfcConvId id(env, jconv);
  char* conv = id.Pin(kFn, JRFC_WHERE);
  if (conv == nullptr) return nullptr;
  // The last unit stays 0 whatever the layer writes: the name is read to
  // its terminator.
  WEQ_UC name[kSncNameUnits];
  memset(name, 0, sizeof name);
  CM_RETURN_CODE rc = 0;
  WEQ_CMSNCNAME(conv, name, kSncNameUnits - 1, &rc);
  id.Release(0);
  if (rc != CM_OK) {
    DPTRC_ERROR(jrfcTrc(), u"JRFC> %s WEQ_CMSNCNAME failed (%d)", kFn, rc);
    return nullptr;
  }
  return jrfcUcsToString(env, name, JRFC_WHERE);
}

WEQ_EXPORT jint JNICALL Java_com_weq_conn_rfc_driver_CpicDriver_nativeSncPartnerAclKey(JNIEnv* env,
                                                                                      jobject /*self*/,
                                                                                      jbyteArray jconv,
                                                                                      jbyteArray jkey) {
  static constexpr WEQ_UC kFn[] = JRFC_DRIVER_NATIVE(u"nativeSncPartnerAclKey");
  jrfcIEnter(kFn);
  if (jkey == nullptr) {
    DPTRC_ERROR(jrfcTrc(), u"JRFC> aclkey_barr is NULL in %s\n", kFn);
    return -1;
  }
  jsize size = jrfcIArrayLength(env, jkey);
  if (size < 0) return -1;
  JrfcConvId id(env, jconv);
  char* conv = id.Pin(kFn, JRFC_WHERE);
  if (conv == nullptr) return -1;
  jbyte* key = env->GetByteArrayElements(jkey, nullptr);
  if (key == nullptr) {
    jrfcIClearPending(env);
    DPTRC_ERROR(jrfcTrc(), u"JRFC> %s buffer == NULL (out of native memory): %s %d\n", kFn, JRFC_WHERE);
    return -1;
  }
  uint32_t length = 0;
  CM_RETURN_CODE rc = 0;
  WEQ_CMACLKEY(conv, reinterpret_cast<uint8_t*>(key), size, &length, &rc);
  env->ReleaseByteArrayElements(jkey, key, 0);
  if (rc != CM_OK) {
    DPTRC_ERROR(jrfcTrc(), u"JRFC> %s WEQ_CMACLKEY failed (%d)\n", kFn, rc);
    return -1;
  }
  if (length == 0) {
    DPTRC_ERROR(jrfcTrc(), u"JRFC> %s WEQ_CMACLKEY Ok but acl_key is 0\n", kFn);
    return 0;
  }
  return static_cast<jint>(length);
}

WEQ_EXPORT jint JNICALL Java_com_weq_conn_rfc_driver_CpicDriver_nativeCpicGetVersion(JNIEnv* env,
                                                                                    jobject /*self*/,
                                                                                    jintArray version) {
  return jrfcCopyToIntArray(kVersion, 2, env, version, JRFC_WHERE);
}

WEQ_EXPORT jint JNICALL Java_com_weq_conn_rfc_driver_CpicDriver_nativeWEQ_1CMMAXCONV(JNIEnv* /*env*/,
                                                                                    jobject /*self*/,
                                                                                    jint count) {
  jrfcIEnter(JRFC_DRIVER_NATIVE(u"nativeWEQ_1CMMAXCONV"));
  return WEQ_CMMAXCONV(count);
}

WEQ_EXPORT jint JNICALL Java_com_weq_conn_rfc_driver_CpicDriver_nativeWEQ_1CMSETPING(JNIEnv* /*env*/,
                                                                                    jobject /*self*/,
                                                                                    jint active, jint withReply,
                                                                                    jint period, jint timeout) {
  jrfcIEnter(JRFC_DRIVER_NATIVE(u"nativeWEQ_1CMSETPING"));
  CM_RETURN_CODE rc = 0;
  return WEQ_CMSETPING(static_cast<uint8_t>(active), withReply, period, timeout, &rc);
}

WEQ_EXPORT jint JNICALL Java_com_weq_conn_rfc_driver_CpicDriver_nativeCreateUUID(JNIEnv* env, jobject /*self*/,
                                                                                jbyteArray juuid) {
  static constexpr WEQ_UC kFn[] = JRFC_DRIVER_NATIVE(u"nativeCreateUUID");
  jrfcIEnter(kFn);
  if (juuid == nullptr || jrfcIArrayLength(env, juuid) != UUID_LEN) return kUuidBadLength;
  jbyte* uuid = env->GetByteArrayElements(juuid, nullptr);
  if (uuid == nullptr) {
    jrfcIClearPending(env);
    DPTRC_ERROR(jrfcTrc(), u"JRFC> %s uuid == NULL (out of native memory): %s %d\n", kFn, JRFC_WHERE);
    return kUuidNoElements;
  }
  int32_t rc = UuidGenerate(reinterpret_cast<WEQ_RAW*>(uuid));
  env->ReleaseByteArrayElements(juuid, uuid, 0);
  return rc;
}

