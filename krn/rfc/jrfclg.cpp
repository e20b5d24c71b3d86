// Natives of com.weq.conn.rfc.driver.LG: which application server of a
// logon group to use. Each converts its strings, runs its worker under the
// bindings' LG lock and copies the server's address, port and, for the SNC
// form, SNC name into the Java arrays.
//
// Lock order: the LG lock, then the logon-group layer's mutex inside it.
// The lock makes at most one lookup run in the library at a time, whatever
// the message server, and keeps the lists that LgApplSrvInfo hands out
// valid while the worker reads them.
#include <string.h>

#include <atomic>

#include "i18n/wequ16/u16str.h"
#include "krn/dptrc/dptrc.h"
#include "krn/lg/lg.h"
#include "krn/rfc/jrfc_int.h"
#include "krn/rscp/rscpu.h"
#include "krn/thr/thr.h"

namespace {

constexpr int kGroupUnits = 100;
constexpr int kHostUnits = 2049;
constexpr int kServUnits = 14;
constexpr int kAddrUnits = 46;  // the address text the layer gives
constexpr int kAddrBytes = 100;
constexpr int kSncUnits = 257;
constexpr int kSncBytes = 256;

// The LG lock: a zero-filled static section, set up by its first lock.
ThrCS gLgLock;

constexpr JrfcLgCalls kRealLg = {LgSetParam, LgApplSrvInfo, LgGroupSec, LgGroupSncSec, LgCallDone, LgErrSet};
std::atomic<const JrfcLgCalls*> gLg{&kRealLg};

const JrfcLgCalls& Lg() { return *gLg.load(); }

// A group that begins with "any" or "ANY" asks for the first group listed.
bool AnyGroup(const WEQ_UC* group) {
  return strncmpU(group, u"any", 3) == 0 || strncmpU(group, u"ANY", 3) == 0;
}

// Sets the time-out every lookup runs with: 0, or 1 after the error line.
int LgStart(const WEQ_UC* fn) {
  DPTRC_LINE(2, jrfcTrc(), u"JRFC> %s\n", fn);
  LG_RC rc = Lg().setParam(LG_PARAM_TIMEOUT, 10000);
  if (rc == WEQ_O_K) return 0;
  DPTRC_ERROR(jrfcTrc(), u"JRFC> Error %s LgSetParam failed(%d)\n", fn, rc);
  return 1;
}

// The end of a failed layer call: LgCallDone, then the code into the
// thread's error information.
int LgFailed(LG_RC rc) {
  Lg().callDone();
  Lg().errSet(rc);
  return 1;
}

// The address text as UTF-8 with a terminator in out (kAddrBytes).
int AddrOut(const WEQ_UC* fn, const WEQ_UC* addr, char* out) {
  int rc = UcsToUtf8s(out, kAddrBytes, nullptr, addr);
  if (rc != 0) {
    DPTRC_ERROR(jrfcTrc(), u"JRFC> Error %s UcsToUtf8s failed(%d)\n", fn, rc);
    DPTRC_ERROR(jrfcTrc(), u"      for ipadr=%s\n", addr);
  }
  return rc;
}

// The steps of both natives around their worker: the strings, the worker
// under the LG lock, and the address with its port back to Java. The SNC
// name is copied by the caller in between (sncCopy), as its native has it.
template <class Worker, class SncCopy>
jint LgNative(JNIEnv* env, jstring jgroup, jstring jhost, jstring jserv, jbyteArray jaddr, jintArray jport,
              bool addrMustCopy, Worker worker, SncCopy sncCopy) {
  WEQ_UC group[kGroupUnits], host[kHostUnits], serv[kServUnits];
  char addr[kAddrBytes];
  memset(addr, 0, sizeof addr);
  uint16_t port = 0;
  if (jrfcStringToUcs(env, jgroup, group, kGroupUnits, JRFC_WHERE) != 0 ||
      jrfcStringToUcs(env, jhost, host, kHostUnits, JRFC_WHERE) != 0 ||
      jrfcStringToUcs(env, jserv, serv, kServUnits, JRFC_WHERE) != 0) {
    return 1;
  }
  ThrCSLock(&gLgLock);
  int rc = worker(group, host, serv, &port, addr);
  ThrCSUnlock(&gLgLock);
  if (rc != 0) return rc;
  int copied = jrfcCopyToByteArray(addr, kAddrBytes, env, jaddr, JRFC_WHERE);
  if (addrMustCopy && copied != 0) return 1;
  if (sncCopy() != 0) return 1;
  jint jp = port;
  return jrfcCopyToIntArray(&jp, 1, env, jport, JRFC_WHERE);
}

}  // namespace

void jrfcISetLgCalls(const JrfcLgCalls* calls) { gLg.store(calls != nullptr ? calls : &kRealLg); }

int jrfc_lg(const WEQ_UC* group, const WEQ_UC* mshost, const WEQ_UC* msserv, uint16_t* port, char* addrOut) {
  static constexpr WEQ_UC kFn[] = u"jrfc_lg";
  if (LgStart(kFn) != 0) return 1;
  const WEQ_UC* ask = group;
  if (AnyGroup(group)) {
    DPTRC_LINE(2, jrfcTrc(), u"JRFC> %s LgApplSrvInfo mshost: %s, msserv: %s\n", kFn, mshost, msserv);
    LG_APPSRV_ENTRY* servers = nullptr;
    LG_CLASS_ENTRY* groups = nullptr;
    int32_t serverCount = 0, groupCount = 0;
    LG_RC rc = Lg().applSrvInfo(mshost, msserv, &servers, &serverCount, &groups, &groupCount);
    if (rc != WEQ_O_K) {
      LgFailed(rc);
      DPTRC_ERROR(jrfcTrc(), u"JRFC> Error %s LgApplSrvInfo failed(%d)\n", kFn, rc);
      DPTRC_ERROR(jrfcTrc(), u"      mshost: %s, msserv %s\n", mshost, msserv);
      return 1;
    }
    if (groupCount < 1 || groups == nullptr) {
      Lg().callDone();
      return 3;
    }
    ask = groups[0].name;
  }
  WEQ_UC rgroup[kGroupUnits];
  strncpy_sU16(rgroup, kGroupUnits, ask, kGroupUnits - 1);
  DPTRC_LINE(2, jrfcTrc(), u"JRFC> %s LgGroup mshost: %s, msserv: %s, group: %s\n", kFn, mshost, msserv, rgroup);
  WEQ_UC addr[kAddrUnits] = {};
  LG_RC rc = Lg().groupSec(mshost, msserv, rgroup, addr, kAddrUnits, port, nullptr, 0, nullptr, nullptr, 0);
  if (rc != WEQ_O_K) {
    DPTRC_ERROR(jrfcTrc(), u"JRFC> Error %s LgGroup failed(%d)\n", kFn, rc);
    DPTRC_ERROR(jrfcTrc(), u"      mshost: %s, msserv: %s, r_group: %s\n", mshost, msserv, rgroup);
    return LgFailed(rc);
  }
  int crc = AddrOut(kFn, addr, addrOut);
  Lg().callDone();
  return crc;
}

int jrfc_lg_snc(const WEQ_UC* group, const WEQ_UC* mshost, const WEQ_UC* msserv, uint16_t* port, char* addrOut,
                char* sncOut) {
  static constexpr WEQ_UC kFn[] = u"jrfc_lg_snc";
  if (LgStart(kFn) != 0) return 1;
  DPTRC_LINE(2, jrfcTrc(), u"JRFC> %s LgGroupSnc mshost: %s, msserv: %s\n", kFn, mshost, msserv);
  WEQ_UC addr[kAddrUnits] = {};
  WEQ_UC snc[kSncUnits] = {};
  LG_RC rc = Lg().groupSncSec(mshost, msserv, group, addr, kAddrUnits, port, nullptr, 0, snc, kSncUnits, nullptr,
                              nullptr, 0);
  if (rc != WEQ_O_K) {
    DPTRC_ERROR(jrfcTrc(), u"JRFC> Error %s LgGroupSnc failed(%d)\n", kFn, rc);
    DPTRC_ERROR(jrfcTrc(), u"      for mshost: %s, msserv: %s, r_group %s\n", mshost, msserv, group);
    return LgFailed(rc);
  }
  int crc = AddrOut(kFn, addr, addrOut);
  if (crc == 0) {
    crc = UcsToUtf8s(sncOut, kSncBytes, nullptr, snc);
    if (crc != 0) {
      DPTRC_ERROR(jrfcTrc(), u"JRFC> Error %s UcsToUtf8s failed(%d)\n", kFn, crc);
      DPTRC_ERROR(jrfcTrc(), u"      for sncname_app=%s\n", snc);
    }
  }
  Lg().callDone();
  return crc;
}

WEQ_EXPORT jint JNICALL Java_com_weq_conn_rfc_driver_LG_nativeGet_1MS(JNIEnv* env, jclass /*cls*/, jstring group,
                                                                     jstring host, jstring serv, jbyteArray addr,
                                                                     jintArray port) {
  return LgNative(env, group, host, serv, addr, port, false, jrfc_lg, [] { return 0; });
}

WEQ_EXPORT jint JNICALL Java_com_weq_conn_rfc_driver_LG_nativeGet_1MS_1SNC(JNIEnv* env, jclass /*cls*/,
                                                                          jstring group, jstring host, jstring serv,
                                                                          jstring /*unused*/, jbyteArray sncName,
                                                                          jbyteArray addr, jintArray port) {
  char snc[kSncBytes];
  memset(snc, 0, sizeof snc);
  return LgNative(
      env, group, host, serv, addr, port, true,
      [&](const WEQ_UC* g, const WEQ_UC* h, const WEQ_UC* s, uint16_t* p, char* a) {
        return jrfc_lg_snc(g, h, s, p, a, snc);
      },
      // The name's bytes without its terminator; the array's tail stays.
      [&] { return jrfcCopyToByteArray(snc, static_cast<int>(strnlen(snc, kSncBytes)), env, sncName, JRFC_WHERE); });
}
