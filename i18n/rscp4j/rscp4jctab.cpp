// ConverterJNI natives of the exported conversion tables: each builds its
// table into native buffers through the engine and hands it to Java, in the
// caller's arrays of fixed length and in a new array of the blocks that the
// engine filled. The converter is not written back.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <memory>

#include "i18n/rscp4j/rscp4j_int.h"

namespace {

// Entries per input byte (lead-length, lead and fallback tables) and per
// double-byte block; blocks of the double-byte input table; index entries
// and entries per block of the double-byte output table.
constexpr jsize kTabBytes = 256;
constexpr size_t kTabDbBlocks = 256;
constexpr jsize kTabUnits = 65536;
constexpr size_t kTabUcBlock = 1024;
constexpr size_t kTabUcBlocks = 1024;

// Report sites of this module.
enum : int {
  kTabSb2UcTable = 0,
  kTabDbBlocksArea = 1,
  kTabDbLeadLength = 2,
  kTabDbLeadValue = 3,
  kTabDbBroken = 4,
  kTabDbResult = 5,
  kTabUc2SbArea = 11,
  kTabUc2SbResult = 12,
  kTabUc2DbIndex = 21,
  kTabUc2DbBlocks = 22,
  kTabUc2DbIndexTable = 23,
  kTabUc2DbResult = 24,
};

struct TabFree {
  void operator()(void* p) const { free(p); }
};
template <class T>
using TabBuffer = std::unique_ptr<T[], TabFree>;

// n zeroed entries from the natives' heap; empty when it cannot give them.
template <class T>
TabBuffer<T> TabAlloc(size_t n) {
  TabBuffer<T> b(static_cast<T*>(rscp4jIAlloc(n * sizeof(T))));
  if (b) memset(b.get(), 0, n * sizeof(T));
  return b;
}

// A refused or failed table call: err {rc, 0} and NULL.
template <class A>
A TabFail(JNIEnv* env, jintArray err, rscpRc_t rc) {
  SetErrorResult(env, err, rc);
  return nullptr;
}

// A Java table of exactly n entries receives the native one; false after
// ReportArraySize.
bool TabCopy(JNIEnv* env, jbyteArray a, const uint8_t* v, jsize n, int site, const WEQ_UC* name) {
  const jsize len = rscp4jILength(env, a);
  if (len != n) {
    ReportArraySize(site, kRscp4jTabModule, __LINE__, name, n, len);
    return false;
  }
  env->SetByteArrayRegion(a, 0, n, reinterpret_cast<const jbyte*>(v));
  return !rscp4jIFailed(env);
}
bool TabCopy(JNIEnv* env, jcharArray a, const WEQ_UC* v, jsize n, int site, const WEQ_UC* name) {
  const jsize len = rscp4jILength(env, a);
  if (len != n) {
    ReportArraySize(site, kRscp4jTabModule, __LINE__, name, n, len);
    return false;
  }
  env->SetCharArrayRegion(a, 0, n, reinterpret_cast<const jchar*>(v));
  return !rscp4jIFailed(env);
}

// New Java arrays of n entries filled from v; NULL when they cannot be made.
jintArray TabNew(JNIEnv* env, const uint32_t* v, jsize n) {
  jintArray a = env->NewIntArray(n);
  if (rscp4jIFailed(env)) return nullptr;
  env->SetIntArrayRegion(a, 0, n, reinterpret_cast<const jint*>(v));
  return rscp4jIFailed(env) ? nullptr : a;
}
jbyteArray TabNew(JNIEnv* env, const uint8_t* v, jsize n) {
  jbyteArray a = env->NewByteArray(n);
  if (rscp4jIFailed(env)) return nullptr;
  env->SetByteArrayRegion(a, 0, n, reinterpret_cast<const jbyte*>(v));
  return rscp4jIFailed(env) ? nullptr : a;
}
jcharArray TabNew(JNIEnv* env, const WEQ_UC* v, jsize n) {
  jcharArray a = env->NewCharArray(n);
  if (rscp4jIFailed(env)) return nullptr;
  env->SetCharArrayRegion(a, 0, n, reinterpret_cast<const jchar*>(v));
  return rscp4jIFailed(env) ? nullptr : a;
}

// The engine's block count within the area it was given.
jsize TabBlocks(int32_t count, size_t most) { return static_cast<jsize>(std::clamp<int64_t>(count, 0, most)); }

}  // namespace

WEQ_EXPORT jint JNICALL Java_com_weq_i18n_cp_ConverterJNI_GetSb2UcTab(JNIEnv* env, jclass, jbyteArray converter,
                                                                   jcharArray table) {
  static const WEQ_UC kName[] = u"Java_com_weq_i18n_cp_ConverterJNI_GetSb2UcTab";
  rscpCObj_t o;
  if (!rscp4jIGetConverter(env, converter, &o, kRscp4jTabModule, kName)) return RSCPEINVAL;
  WEQ_UC tab[kTabBytes] = {};
  const rscpRc_t rc = rscpCGetSb2UcTab(&o, tab);
  if (!TabCopy(env, table, tab, kTabBytes, kTabSb2UcTable, u"acSb2UcTab")) return 0;
  return rc;
}

WEQ_EXPORT jintArray JNICALL Java_com_weq_i18n_cp_ConverterJNI_GetDb2UcTab(JNIEnv* env, jclass, jbyteArray converter,
                                                                        jbyteArray leadLength, jcharArray leadValue,
                                                                        jcharArray broken, jintArray err) {
  static const WEQ_UC kName[] = u"Java_com_weq_i18n_cp_ConverterJNI_GetDb2UcTab";
  rscpCObj_t o;
  if (!rscp4jIGetConverter(env, converter, &o, kRscp4jTabModule, kName)) return TabFail<jintArray>(env, err, RSCPEINVAL);
  const size_t area = kTabDbBlocks * kTabBytes;
  TabBuffer<uint32_t> blocks = TabAlloc<uint32_t>(area);
  if (!blocks) {
    return TabFail<jintArray>(
        env, err, ReportOutOfMemory(kTabDbBlocksArea, kRscp4jTabModule, __LINE__, static_cast<long>(area * 4)));
  }
  uint8_t length[kTabBytes] = {};
  WEQ_UC lead[kTabBytes] = {};
  WEQ_UC fallback[kTabBytes] = {};
  int32_t count = 0;
  const rscpRc_t rc = rscpCGetDb2UcTab(&o, length, lead, blocks.get(), &count, fallback);
  const jsize entries = TabBlocks(count, kTabDbBlocks) * kTabBytes;
  if (entries > 0) rscp4jICorrectSurrogates(blocks.get(), static_cast<size_t>(entries), rscpKindiOfCP(&o.to_cp) == 5);
  if (!TabCopy(env, leadLength, length, kTabBytes, kTabDbLeadLength, u"abLeadByte2LengthTab") ||
      !TabCopy(env, leadValue, lead, kTabBytes, kTabDbLeadValue, u"acLeadByte2ValueTab") ||
      !TabCopy(env, broken, fallback, kTabBytes, kTabDbBroken, u"acBrokenDb2UcTab")) {
    return TabFail<jintArray>(env, err, RSCPEINTERN);
  }
  jintArray result = TabNew(env, blocks.get(), entries);
  if (result == nullptr) {
    return TabFail<jintArray>(env, err, ReportOutOfMemory(kTabDbResult, kRscp4jTabModule, __LINE__, entries));
  }
  SetErrorResult(env, err, rc);
  return result;
}

WEQ_EXPORT jbyteArray JNICALL Java_com_weq_i18n_cp_ConverterJNI_GetUc2SbTab(JNIEnv* env, jclass,
                                                                         jbyteArray converter, jintArray err) {
  static const WEQ_UC kName[] = u"Java_com_weq_i18n_cp_ConverterJNI_GetUc2SbTab";
  rscpCObj_t o;
  if (!rscp4jIGetConverter(env, converter, &o, kRscp4jTabModule, kName)) return TabFail<jbyteArray>(env, err, RSCPEINVAL);
  TabBuffer<uint8_t> table = TabAlloc<uint8_t>(kTabUnits);
  if (!table) {
    return TabFail<jbyteArray>(env, err, ReportOutOfMemory(kTabUc2SbArea, kRscp4jTabModule, __LINE__, kTabUnits));
  }
  int32_t used = 0;
  const rscpRc_t rc = rscpCGetUc2SbTab(&o, table.get(), &used);
  const jsize n = TabBlocks(used, kTabUnits);
  jbyteArray result = TabNew(env, table.get(), n);
  if (result == nullptr) {
    return TabFail<jbyteArray>(env, err, ReportOutOfMemory(kTabUc2SbResult, kRscp4jTabModule, __LINE__, n));
  }
  SetErrorResult(env, err, rc);
  return result;
}

WEQ_EXPORT jcharArray JNICALL Java_com_weq_i18n_cp_ConverterJNI_GetUc2DbTab(JNIEnv* env, jclass,
                                                                         jbyteArray converter, jcharArray index,
                                                                         jintArray err) {
  static const WEQ_UC kName[] = u"Java_com_weq_i18n_cp_ConverterJNI_GetUc2DbTab";
  rscpCObj_t o;
  if (!rscp4jIGetConverter(env, converter, &o, kRscp4jTabModule, kName)) return TabFail<jcharArray>(env, err, RSCPEINVAL);
  TabBuffer<WEQ_UC> values = TabAlloc<WEQ_UC>(kTabUnits);
  if (!values) {
    return TabFail<jcharArray>(
        env, err, ReportOutOfMemory(kTabUc2DbIndex, kRscp4jTabModule, __LINE__, kTabUnits * sizeof(WEQ_UC)));
  }
  const size_t area = kTabUcBlocks * kTabUcBlock;
  TabBuffer<WEQ_UC> blocks = TabAlloc<WEQ_UC>(area);
  if (!blocks) {
    return TabFail<jcharArray>(
        env, err, ReportOutOfMemory(kTabUc2DbBlocks, kRscp4jTabModule, __LINE__, static_cast<long>(area * 2)));
  }
  int32_t count = 0;
  const rscpRc_t rc = rscpCGetUc2DbTab(&o, values.get(), blocks.get(), &count);
  if (!TabCopy(env, index, values.get(), kTabUnits, kTabUc2DbIndexTable, u"anUc2ValueTab")) {
    return TabFail<jcharArray>(env, err, RSCPEINTERN);
  }
  const jsize n = TabBlocks(count, kTabUcBlocks) * static_cast<jsize>(kTabUcBlock);
  jcharArray result = TabNew(env, blocks.get(), n);
  if (result == nullptr) {
    return TabFail<jcharArray>(env, err, ReportOutOfMemory(kTabUc2DbResult, kRscp4jTabModule, __LINE__, n));
  }
  SetErrorResult(env, err, rc);
  return result;
}
