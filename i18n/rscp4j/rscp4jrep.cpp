// What the ConverterJNI natives share: their reports on the converter's
// error stack, the result arrays, the checks of their Java arguments and
// their heap memory.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <iterator>

#include "i18n/rscp4j/rscp4j_int.h"
#include "i18n/wequ16/u16fmt.h"
#include "krn/dptrc/dptrc.h"

const WEQ_UC kRscp4jCnvModule[] = u" $Id: i18n/rscp4j/rscp4jcnv.cpp $";
const WEQ_UC kRscp4jTabModule[] = u" $Id: i18n/rscp4j/rscp4jctab.cpp $";

namespace {

rscpRc_t RepJava(rscpRc_t rc, int location, const WEQ_UC* module, int line, const WEQ_UC* text,
                 const WEQ_UC* code, const WEQ_UC* param) {
  return rscpe__error(rc, u'J', -1, module, location, line, text, code, param, -1, nullptr, 0);
}

// A refused call: its report and one trace line naming the native.
bool RepRefuse(const WEQ_UC* module, int location, int line, const WEQ_UC* text, const WEQ_UC* param,
               const WEQ_UC* native) {
  RepJava(RSCPEINVAL, location, module, line, text, u"CQ4", param);
  DPTRC_ERROR(CTrcGlobalHdl.load(std::memory_order_relaxed), u"JRFC> %s: %s %s\n", native, text, param);
  return false;
}

// The calling thread's countdown to a failing allocation (0: none).
thread_local int tRepFailAt = 0;

}  // namespace

rscpRc_t ReportOutOfMemory(int location, const WEQ_UC* module, int line, long size) {
  WEQ_UC p1[21];
  snprintfTruncU16(p1, std::size(p1), u"%ld&", size);
  return RepJava(RSCPEINTERN, location, module, line, u"Out of memory", u"CP8", p1);
}

rscpRc_t ReportArraySize(int location, const WEQ_UC* module, int line, const WEQ_UC* name, long expected,
                         long actual) {
  WEQ_UC p1[54];
  snprintfTruncU16(p1, std::size(p1), u"buf %s&%ld&!=&%ld", name, expected, actual);
  return RepJava(RSCPEINTERN, location, module, line, u"Incorrect array size", u"CQ4", p1);
}

bool rscp4jIFailed(JNIEnv* env) {
  if (!env->ExceptionCheck()) return false;
  env->ExceptionClear();
  return true;
}

jsize rscp4jILength(JNIEnv* env, jarray array) {
  if (array == nullptr) return -1;
  const jsize n = env->GetArrayLength(array);
  return rscp4jIFailed(env) ? -1 : n;
}

void SetResultArray(JNIEnv* env, jintArray err, rscpRc_t rc, long count) {
  const jsize n = std::min<jsize>(rscp4jILength(env, err), 2);
  if (n <= 0) return;
  const jint v[2] = {rc, static_cast<jint>(count)};
  env->SetIntArrayRegion(err, 0, n, v);
  rscp4jIFailed(env);
}

void SetErrorResult(JNIEnv* env, jintArray err, rscpRc_t rc) { SetResultArray(env, err, rc, 0); }

bool rscp4jISizeOk(jsize length, jsize expected, const WEQ_UC* name, int location, const WEQ_UC* module,
                   const WEQ_UC* native) {
  if (length == expected && length >= 0) return true;
  WEQ_UC p1[54];
  snprintfTruncU16(p1, std::size(p1), u"buf %s&%d&!=&%d", name, expected, length);
  return RepRefuse(module, location, __LINE__, u"Incorrect array size", p1, native);
}

bool rscp4jIGetConverter(JNIEnv* env, jbyteArray converter, rscpCObj_t* obj, const WEQ_UC* module,
                         const WEQ_UC* native) {
  if (!rscp4jISizeOk(rscp4jILength(env, converter), kRscp4jObjBytes, u"abConverter", kRscp4jConverterSite, module,
                     native)) {
    return false;
  }
  env->GetByteArrayRegion(converter, 0, kRscp4jObjBytes, reinterpret_cast<jbyte*>(obj));
  return !rscp4jIFailed(env);
}

void rscp4jIPutConverter(JNIEnv* env, jbyteArray converter, const rscpCObj_t* obj) {
  env->SetByteArrayRegion(converter, 0, kRscp4jObjBytes, reinterpret_cast<const jbyte*>(obj));
  rscp4jIFailed(env);
}

bool rscp4jIRangeOk(jsize length, jint start, jint end, const WEQ_UC* name, const WEQ_UC* module,
                    const WEQ_UC* native) {
  if (length >= 0 && start >= 0 && start <= end && end <= length) return true;
  WEQ_UC p1[64];
  snprintfTruncU16(p1, std::size(p1), u"buf %s&%d..%d&!<=&%d", name, start, end, length);
  return RepRefuse(module, kRscp4jRangeSite, __LINE__, u"Incorrect array range", p1, native);
}

void* rscp4jIAlloc(size_t size) {
  if (tRepFailAt > 0 && --tRepFailAt == 0) return nullptr;
  return malloc(size);
}

void rscp4jITestFailAlloc(int nth) { tRepFailAt = nth > 0 ? nth : 0; }

size_t rscp4jICorrectSurrogates(uint32_t* entries, size_t n, bool bigEndian) {
  // The low 16 bits hold the low surrogate's two output bytes b1 | b2 << 8;
  // b1 is its high byte in big-endian output.
  const uint32_t mask = bigEndian ? 0x00FC : 0xFC00;
  const uint32_t low = bigEndian ? 0x00DC : 0xDC00;
  size_t cut = 0;
  for (size_t i = 0; i < n; ++i) {
    const uint32_t v = entries[i];
    if (v < 0x10000 || (v & mask) == low) continue;
    entries[i] = v & 0xFFFF;
    fprintf(stderr, "Correct wrong surrogate: %zx %x\n", i, v);
    ++cut;
  }
  if (cut > 0) fflush(stderr);
  return cut;
}
