// ConverterJNI natives of set-up, errors and conversion: the version, the
// creation and end of a converter, the error stack as text, the system
// code page, the shortcut type, and the seven conversions.
//
// Conversions. A whole-object native (ConvertCToX, ConvertXToC,
// ConvertXToX) gives the converter 3 output bytes per input byte and, while
// the converter reports a full output (32), twice the room, converting
// again from the start with the object as it was before the first attempt,
// so that shift states and substitution counts are not taken twice. A range
// native converts once into the room its output range gives. Inputs up to
// 10240 bytes or characters are copied to the stack, outputs up to 1024
// bytes are made there; larger ones go to the heap, and an output buffer
// that the heap cannot give is the stack's, its capacity with it.
//
// Write-back: ConvertCToX and ConvertXToX always copy the converter back to
// Java; the others only when its state (cache_version and the shift states)
// changed during the call.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <iterator>

#include "i18n/rscp4j/rscp4j_int.h"

namespace {

constexpr jint kCnvMajor = 3;
constexpr jint kCnvMinor = 1;

// Input units (bytes or characters) copied to the stack; output bytes made
// there.
constexpr size_t kCnvStackIn = 10240;
constexpr size_t kCnvStackOut = 1024;
// The copying method, which moves bytes without looking at characters.
constexpr uint32_t kCnvDirect = 2;
// The largest output a Java array or String takes from one call, in bytes:
// the engine's own limit for one buffer, kept even for 16-bit output.
constexpr size_t kCnvMaxOut = 0x7FFFFFFE;

// Report sites of this module.
enum : int {
  kCnvInitResult = 1,
  kCnvXToCInput = 2,
  kCnvXToCResult = 3,
  kCnvXToCArrInput = 4,
  kCnvStringChars = 5,
  kCnvCToXResult = 6,
  kCnvCToXArrInput = 7,
  kCnvXToXInput = 8,
  kCnvXToXResult = 9,
  kCnvOutput = 10,     // a larger output buffer for a whole-object native
  kCnvCodePage = 11,   // the code page characters of ConvertInit
  kCnvTextResult = 12, // GetLastError's String, GetSystemCodePage's char[4]
};

// An input copy: the stack area or a heap block of the exact size.
template <class T>
class CnvInput {
 public:
  CnvInput() = default;
  CnvInput(const CnvInput&) = delete;
  CnvInput& operator=(const CnvInput&) = delete;
  ~CnvInput() { free(heap_); }
  // Room for n units; NULL when the heap cannot give it.
  T* Take(size_t n) {
    if (n <= kCnvStackIn) return stack_;
    heap_ = static_cast<T*>(rscp4jIAlloc(n * sizeof(T)));
    return heap_;
  }

 private:
  T stack_[kCnvStackIn];
  T* heap_ = nullptr;
};

// The output buffer: 1024 bytes on the stack, or a heap block.
class CnvOutput {
 public:
  CnvOutput() = default;
  CnvOutput(const CnvOutput&) = delete;
  CnvOutput& operator=(const CnvOutput&) = delete;
  ~CnvOutput() { free(heap_); }
  uint8_t* data() { return heap_ != nullptr ? heap_ : stack_; }
  size_t capacity() const { return capacity_; }
  // At least want bytes, in a heap block when more than the stack area;
  // when the heap cannot give it, the stack area (false).
  bool Reserve(size_t want) {
    if (want <= kCnvStackOut) {
      capacity_ = want;
      return true;
    }
    heap_ = static_cast<uint8_t*>(rscp4jIAlloc(want));
    capacity_ = heap_ != nullptr ? want : kCnvStackOut;
    return heap_ != nullptr;
  }
  // A heap block of want bytes in place of the buffer in use; false (the
  // buffer and what it holds unchanged) when the heap cannot give it.
  bool Replace(size_t want) {
    auto* fresh = static_cast<uint8_t*>(rscp4jIAlloc(want));
    if (fresh == nullptr) return false;
    free(heap_);
    heap_ = fresh;
    capacity_ = want;
    return true;
  }

 private:
  alignas(8) uint8_t stack_[kCnvStackOut];
  uint8_t* heap_ = nullptr;
  size_t capacity_ = 0;
};

// What one conversion gave: its code and the bytes consumed and produced.
struct CnvResult {
  rscpRc_t rc = 0;
  size_t consumed = 0;
  size_t produced = 0;
};

CnvResult CnvOnce(rscpCObj_t* o, const uint8_t* in, size_t n, uint8_t* out, size_t capacity) {
  const WEQ_RAW* ip = in;
  WEQ_RAW* op = out;
  CnvResult r;
  r.rc = rscpCConvert(o, &op, out + capacity, &ip, in + n);
  r.consumed = static_cast<size_t>(ip - in);
  r.produced = static_cast<size_t>(op - out);
  return r;
}

// A whole-object conversion of n input bytes: 3 output bytes per input
// byte to start with, doubled on every full output up to the largest Java
// array, each attempt from the start with the object as it came.
CnvResult CnvWhole(rscpCObj_t* o, const uint8_t* in, size_t n, CnvOutput& out) {
  size_t want = n > kCnvMaxOut / 3 ? kCnvMaxOut : 3 * n;
  out.Reserve(std::max(want, kCnvStackOut));
  const rscpCObj_t start = *o;
  CnvResult r = CnvOnce(o, in, n, out.data(), out.capacity());
  while (r.rc == RSCPETOOLONG) {
    want = std::min(out.capacity() * 2, kCnvMaxOut);
    if (want <= out.capacity() || !out.Replace(want)) {
      r.rc = ReportOutOfMemory(kCnvOutput, kRscp4jCnvModule, __LINE__, static_cast<long>(want));
      break;
    }
    *o = start;
    r = CnvOnce(o, in, n, out.data(), out.capacity());
  }
  return r;
}

// Every side of these natives that is Java text holds 16-bit characters.
// A copy that stops inside one (an odd room, an odd input) gives its first
// byte back to the input, so that the count consumed tells where the next
// call starts and no half character is dropped.
void CnvHalfBack(const rscpCObj_t& o, CnvResult& r) {
  if (r.produced % 2 != 0 && o.method == kCnvDirect) {
    --r.consumed;
    --r.produced;
  }
}

// The empty result of the byte natives; NULL when not even that can be had.
jbyteArray CnvEmptyBytes(JNIEnv* env) {
  jbyteArray a = env->NewByteArray(0);
  return rscp4jIFailed(env) ? nullptr : a;
}

// The output as a new byte[]; on failure the report and the empty result.
jbyteArray CnvBytes(JNIEnv* env, const CnvResult& r, const uint8_t* out, long consumed, int site, jintArray err) {
  if (r.produced == 0) {
    SetErrorResult(env, err, r.rc);
    return CnvEmptyBytes(env);
  }
  const auto n = static_cast<jsize>(r.produced);
  jbyteArray a = env->NewByteArray(n);
  if (!rscp4jIFailed(env)) {
    env->SetByteArrayRegion(a, 0, n, reinterpret_cast<const jbyte*>(out));
    if (!rscp4jIFailed(env)) {
      SetResultArray(env, err, r.rc, consumed);
      return a;
    }
  }
  SetErrorResult(env, err, ReportOutOfMemory(site, kRscp4jCnvModule, __LINE__, static_cast<long>(r.produced)));
  return CnvEmptyBytes(env);
}

jstring CnvEmptyString(JNIEnv* env) {
  jstring s = env->NewString(nullptr, 0);
  return rscp4jIFailed(env) ? nullptr : s;
}

// The byte[] input of a whole-object native, copied whole; false (the
// report and err written) when it cannot be held.
template <class In>
const uint8_t* CnvTakeBytes(JNIEnv* env, jbyteArray input, jsize n, In& buf, int site, jintArray err) {
  uint8_t* p = buf.Take(static_cast<size_t>(n));
  if (p == nullptr) {
    SetErrorResult(env, err, ReportOutOfMemory(site, kRscp4jCnvModule, __LINE__, n));
    return nullptr;
  }
  env->GetByteArrayRegion(input, 0, n, reinterpret_cast<jbyte*>(p));
  return rscp4jIFailed(env) ? nullptr : p;
}

// The converter's state before a call, and its write-back when the state
// changed.
class CnvState {
 public:
  explicit CnvState(const rscpCObj_t* o) { rscpCSaveState(o, snapshot_); }
  void PutBackIfChanged(JNIEnv* env, jbyteArray converter, const rscpCObj_t* o) const {
    if (!rscpCSameState(o, snapshot_)) rscp4jIPutConverter(env, converter, o);
  }

 private:
  uint32_t snapshot_[2] = {0, 0};
};

// One range conversion: in[inStart, inEnd) of unit InT into out[outStart,
// outEnd) of unit OutT; the units written, or 1 when refused or the input
// cannot be held.
template <class InT, class OutT, class InArr, class OutArr>
jint CnvRange(JNIEnv* env, jbyteArray converter, InArr in, jint inStart, jint inEnd, OutArr out, jint outStart,
              jint outEnd, jintArray err, int inputSite, const WEQ_UC* native) {
  rscpCObj_t o;
  if (!rscp4jIGetConverter(env, converter, &o, kRscp4jCnvModule, native) ||
      !rscp4jIRangeOk(rscp4jILength(env, in), inStart, inEnd, u"in", kRscp4jCnvModule, native) ||
      !rscp4jIRangeOk(rscp4jILength(env, out), outStart, outEnd, u"out", kRscp4jCnvModule, native)) {
    SetErrorResult(env, err, RSCPEINVAL);
    return 1;
  }
  const auto n = static_cast<size_t>(inEnd - inStart);
  CnvInput<InT> input;
  InT* p = input.Take(n);
  if (p == nullptr) {
    ReportOutOfMemory(inputSite, kRscp4jCnvModule, __LINE__, static_cast<long>(n * sizeof(InT)));
    return 1;
  }
  if constexpr (sizeof(InT) == 1) {
    env->GetByteArrayRegion(in, inStart, inEnd - inStart, reinterpret_cast<jbyte*>(p));
  } else {
    env->GetCharArrayRegion(in, inStart, inEnd - inStart, reinterpret_cast<jchar*>(p));
  }
  if (rscp4jIFailed(env)) return 1;
  CnvOutput output;
  output.Reserve(std::min(static_cast<size_t>(outEnd - outStart) * sizeof(OutT), kCnvMaxOut));
  const CnvState state(&o);
  CnvResult r = CnvOnce(&o, reinterpret_cast<const uint8_t*>(p), n * sizeof(InT), output.data(), output.capacity());
  CnvHalfBack(o, r);
  const auto written = static_cast<jsize>(r.produced / sizeof(OutT));
  if constexpr (sizeof(OutT) == 1) {
    env->SetByteArrayRegion(out, outStart, written, reinterpret_cast<const jbyte*>(output.data()));
  } else {
    env->SetCharArrayRegion(out, outStart, written, reinterpret_cast<const jchar*>(output.data()));
  }
  rscp4jIFailed(env);
  SetResultArray(env, err, r.rc, static_cast<long>(r.consumed / sizeof(InT)));
  state.PutBackIfChanged(env, converter, &o);
  return written;
}

// The four characters of a code page array; "0000" stands for "4103".
// false when the array is not 4 long (err {16, 0}) or its characters cannot
// be had.
bool CnvCodePage(JNIEnv* env, jcharArray a, const WEQ_UC* name, rscpCp_t* cp, jintArray err, const WEQ_UC* native) {
  if (!rscp4jISizeOk(rscp4jILength(env, a), 4, name, kRscp4jCodePageSite, kRscp4jCnvModule, native)) {
    SetErrorResult(env, err, RSCPEINVAL);
    return false;
  }
  jchar* c = env->GetCharArrayElements(a, nullptr);
  if (c == nullptr) {
    rscp4jIFailed(env);
    SetErrorResult(env, err, ReportOutOfMemory(kCnvCodePage, kRscp4jCnvModule, __LINE__, 8));
    return false;
  }
  memcpy(*cp, c, sizeof(rscpCp_t));
  env->ReleaseCharArrayElements(a, c, JNI_ABORT);
  if (memcmp(*cp, u"0000", sizeof(rscpCp_t)) == 0) memcpy(*cp, u"4103", sizeof(rscpCp_t));
  return true;
}

// A converter's 172 bytes as a new byte[] (zero bytes for NULL); NULL when
// the array cannot be made.
jbyteArray CnvNewConverter(JNIEnv* env, const rscpCObj_t* o) {
  jbyteArray a = env->NewByteArray(kRscp4jObjBytes);
  if (rscp4jIFailed(env)) return nullptr;
  if (o != nullptr) rscp4jIPutConverter(env, a, o);
  return a;
}

}  // namespace

void AppendErrorLine(const WEQ_UC* line, int length, void* arg) {
  auto* t = static_cast<rscp4jErrorText*>(arg);
  constexpr int kMax = static_cast<int>(std::size(rscp4jErrorText{}.text));
  const int n = std::min(length, kMax - t->count);
  if (n > 0) {
    memcpy(t->text + t->count, line, static_cast<size_t>(n) * sizeof(WEQ_UC));
    t->count += n;
  }
  if (t->count < kMax) t->text[t->count++] = 10;
}

WEQ_EXPORT jint JNICALL Java_com_weq_i18n_cp_ConverterJNI_CheckRequiredVersion(JNIEnv*, jclass, jint major,
                                                                               jint minor) {
  return major < kCnvMajor || (major == kCnvMajor && minor <= kCnvMinor) ? 1 : 0;
}

WEQ_EXPORT jstring JNICALL Java_com_weq_i18n_cp_ConverterJNI_GetVersion(JNIEnv* env, jclass) {
  jstring s = env->NewStringUTF("3.1.0");
  return rscp4jIFailed(env) ? nullptr : s;
}

WEQ_EXPORT jbyteArray JNICALL Java_com_weq_i18n_cp_ConverterJNI_ConvertInit(JNIEnv* env, jclass, jcharArray from,
                                                                         jcharArray to, jboolean mode,
                                                                         jintArray err) {
  static const WEQ_UC kName[] = u"Java_com_weq_i18n_cp_ConverterJNI_ConvertInit";
  rscpCp_t f, t;
  if (!CnvCodePage(env, from, u"acFrom", &f, err, kName) || !CnvCodePage(env, to, u"acTo", &t, err, kName)) {
    return CnvNewConverter(env, nullptr);
  }
  rscpCObj_t o;
  rscpRc_t rc = rscpCInit(&o, &f, &t, mode ? 1 : 0, 1, 0);
  if (rc == 0) rc = rscpCSetCtrlCodeCv(&o, 1);
  if (rc == 0) rc = rscpCSetOwnChCv(&o, 0);
  if (rc == 0) rc = rscpCLoadTables(&o);
  if (rc != 0) {
    SetErrorResult(env, err, rc);
    return CnvNewConverter(env, nullptr);
  }
  jbyteArray a = CnvNewConverter(env, &o);
  if (a != nullptr) {
    SetErrorResult(env, err, 0);
    return a;
  }
  SetErrorResult(env, err, ReportOutOfMemory(kCnvInitResult, kRscp4jCnvModule, __LINE__, kRscp4jObjBytes));
  return CnvNewConverter(env, nullptr);
}

WEQ_EXPORT void JNICALL Java_com_weq_i18n_cp_ConverterJNI_ConvertFinish(JNIEnv* env, jclass, jbyteArray converter) {
  static const WEQ_UC kName[] = u"Java_com_weq_i18n_cp_ConverterJNI_ConvertFinish";
  rscpCObj_t o;
  if (!rscp4jIGetConverter(env, converter, &o, kRscp4jCnvModule, kName)) return;
  rscpCDeactivate(&o);
  rscp4jIPutConverter(env, converter, &o);
}

WEQ_EXPORT jstring JNICALL Java_com_weq_i18n_cp_ConverterJNI_GetLastError(JNIEnv* env, jclass) {
  rscp4jErrorText t;
  rscpeps__print_error_stack(rscpeg__get_thr_errors(), AppendErrorLine, &t);
  jstring s = env->NewString(reinterpret_cast<const jchar*>(t.text), t.count);
  if (!rscp4jIFailed(env)) return s;
  ReportOutOfMemory(kCnvTextResult, kRscp4jCnvModule, __LINE__, t.count);
  return nullptr;
}

WEQ_EXPORT jcharArray JNICALL Java_com_weq_i18n_cp_ConverterJNI_GetSystemCodePage(JNIEnv* env, jclass) {
  rscpCp_t cp;
  rscpGetSystemCodePage(&cp);
  jcharArray a = env->NewCharArray(4);
  if (!rscp4jIFailed(env)) {
    env->SetCharArrayRegion(a, 0, 4, reinterpret_cast<const jchar*>(cp));
    if (!rscp4jIFailed(env)) return a;
  }
  ReportOutOfMemory(kCnvTextResult, kRscp4jCnvModule, __LINE__, 4);
  return nullptr;
}

WEQ_EXPORT jint JNICALL Java_com_weq_i18n_cp_ConverterJNI_GetShortcutType(JNIEnv* env, jclass,
                                                                        jbyteArray converter) {
  static const WEQ_UC kName[] = u"Java_com_weq_i18n_cp_ConverterJNI_GetShortcutType";
  rscpCObj_t o;
  if (!rscp4jIGetConverter(env, converter, &o, kRscp4jCnvModule, kName)) return 0;
  return rscpNoShortCutConversion(&o);
}

WEQ_EXPORT jbyteArray JNICALL Java_com_weq_i18n_cp_ConverterJNI_ConvertCToX(JNIEnv* env, jclass,
                                                                         jbyteArray converter, jstring text,
                                                                         jintArray err) {
  static const WEQ_UC kName[] = u"Java_com_weq_i18n_cp_ConverterJNI_ConvertCToX";
  rscpCObj_t o;
  if (!rscp4jIGetConverter(env, converter, &o, kRscp4jCnvModule, kName) ||
      !rscp4jIRangeOk(text == nullptr ? -1 : 0, 0, 0, u"text", kRscp4jCnvModule, kName)) {
    SetErrorResult(env, err, RSCPEINVAL);
    return CnvEmptyBytes(env);
  }
  const size_t n = static_cast<size_t>(env->GetStringLength(text)) * 2;
  const jchar* chars = env->GetStringChars(text, nullptr);
  if (chars == nullptr) {
    rscp4jIFailed(env);
    SetErrorResult(env, err, ReportOutOfMemory(kCnvStringChars, kRscp4jCnvModule, __LINE__, static_cast<long>(n)));
    return CnvEmptyBytes(env);
  }
  CnvOutput out;
  const CnvResult r = CnvWhole(&o, reinterpret_cast<const uint8_t*>(chars), n, out);
  env->ReleaseStringChars(text, chars);
  rscp4jIPutConverter(env, converter, &o);
  return CnvBytes(env, r, out.data(), static_cast<long>(r.consumed / 2), kCnvCToXResult, err);
}

WEQ_EXPORT jstring JNICALL Java_com_weq_i18n_cp_ConverterJNI_ConvertXToC(JNIEnv* env, jclass, jbyteArray converter,
                                                                      jbyteArray input, jintArray err) {
  static const WEQ_UC kName[] = u"Java_com_weq_i18n_cp_ConverterJNI_ConvertXToC";
  rscpCObj_t o;
  const jsize n = rscp4jILength(env, input);
  if (!rscp4jIGetConverter(env, converter, &o, kRscp4jCnvModule, kName) ||
      !rscp4jIRangeOk(n, 0, std::max(n, 0), u"input", kRscp4jCnvModule, kName)) {
    SetErrorResult(env, err, RSCPEINVAL);
    return CnvEmptyString(env);
  }
  CnvInput<uint8_t> buf;
  const uint8_t* in = CnvTakeBytes(env, input, n, buf, kCnvXToCInput, err);
  if (in == nullptr) return CnvEmptyString(env);
  const CnvState state(&o);
  CnvOutput out;
  CnvResult r = CnvWhole(&o, in, static_cast<size_t>(n), out);
  CnvHalfBack(o, r);
  state.PutBackIfChanged(env, converter, &o);
  if (r.produced == 0) {
    SetErrorResult(env, err, r.rc);
    return CnvEmptyString(env);
  }
  jstring s = env->NewString(reinterpret_cast<const jchar*>(out.data()), static_cast<jsize>(r.produced / 2));
  if (!rscp4jIFailed(env)) {
    SetResultArray(env, err, r.rc, static_cast<long>(r.consumed));
    return s;
  }
  SetErrorResult(env, err, ReportOutOfMemory(kCnvXToCResult, kRscp4jCnvModule, __LINE__, static_cast<long>(r.produced)));
  return CnvEmptyString(env);
}

WEQ_EXPORT jbyteArray JNICALL Java_com_weq_i18n_cp_ConverterJNI_ConvertXToX(JNIEnv* env, jclass,
                                                                         jbyteArray converter, jbyteArray input,
                                                                         jintArray err) {
  static const WEQ_UC kName[] = u"Java_com_weq_i18n_cp_ConverterJNI_ConvertXToX";
  rscpCObj_t o;
  const jsize n = rscp4jILength(env, input);
  if (!rscp4jIGetConverter(env, converter, &o, kRscp4jCnvModule, kName) ||
      !rscp4jIRangeOk(n, 0, std::max(n, 0), u"input", kRscp4jCnvModule, kName)) {
    SetErrorResult(env, err, RSCPEINVAL);
    return CnvEmptyBytes(env);
  }
  CnvInput<uint8_t> buf;
  const uint8_t* in = CnvTakeBytes(env, input, n, buf, kCnvXToXInput, err);
  if (in == nullptr) return CnvEmptyBytes(env);
  CnvOutput out;
  const CnvResult r = CnvWhole(&o, in, static_cast<size_t>(n), out);
  rscp4jIPutConverter(env, converter, &o);
  return CnvBytes(env, r, out.data(), static_cast<long>(r.consumed), kCnvXToXResult, err);
}

WEQ_EXPORT jint JNICALL Java_com_weq_i18n_cp_ConverterJNI_ConvertXToCArr(JNIEnv* env, jclass, jbyteArray converter,
                                                                      jbyteArray in, jint inStart, jint inEnd,
                                                                      jcharArray out, jint outStart, jint outEnd) {
  return CnvRange<uint8_t, jchar>(env, converter, in, inStart, inEnd, out, outStart, outEnd, nullptr,
                                  kCnvXToCArrInput, u"Java_com_weq_i18n_cp_ConverterJNI_ConvertXToCArr");
}

WEQ_EXPORT jint JNICALL Java_com_weq_i18n_cp_ConverterJNI_ConvertXToCArrR(JNIEnv* env, jclass,
                                                                       jbyteArray converter, jbyteArray in,
                                                                       jint inStart, jint inEnd, jcharArray out,
                                                                       jint outStart, jint outEnd, jintArray err) {
  return CnvRange<uint8_t, jchar>(env, converter, in, inStart, inEnd, out, outStart, outEnd, err,
                                  kCnvXToCArrInput, u"Java_com_weq_i18n_cp_ConverterJNI_ConvertXToCArrR");
}

WEQ_EXPORT jint JNICALL Java_com_weq_i18n_cp_ConverterJNI_ConvertCToXArr(JNIEnv* env, jclass, jbyteArray converter,
                                                                      jcharArray in, jint inStart, jint inEnd,
                                                                      jbyteArray out, jint outStart, jint outEnd) {
  return CnvRange<jchar, uint8_t>(env, converter, in, inStart, inEnd, out, outStart, outEnd, nullptr,
                                  kCnvCToXArrInput, u"Java_com_weq_i18n_cp_ConverterJNI_ConvertCToXArr");
}

WEQ_EXPORT jint JNICALL Java_com_weq_i18n_cp_ConverterJNI_ConvertCToXArrR(JNIEnv* env, jclass,
                                                                       jbyteArray converter, jcharArray in,
                                                                       jint inStart, jint inEnd, jbyteArray out,
                                                                       jint outStart, jint outEnd, jintArray err) {
  return CnvRange<jchar, uint8_t>(env, converter, in, inStart, inEnd, out, outStart, outEnd, err,
                                  kCnvCToXArrInput, u"Java_com_weq_i18n_cp_ConverterJNI_ConvertCToXArrR");
}
