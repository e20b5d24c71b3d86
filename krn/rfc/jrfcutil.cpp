// Marshalling between Java strings and arrays and the natives' fixed
// buffers. Every JNI call that may leave an exception pending is followed by
// clearing it, so that the next JNI call is legal and nothing reaches Java.
#include <algorithm>

#include "krn/dptrc/dptrc.h"
#include "krn/rfc/jrfc_int.h"
#include "krn/rscp/rscpu.h"

namespace {

// The UTF-8 form of a text given back to Java may take this many bytes,
// terminator included.
constexpr int kUtf8Bytes = 2048;
// A conversation id: 8 bytes, no terminator.
constexpr jsize kConvIdBytes = 8;

void WarnCut(jsize length, int count, const WEQ_UC* file, int line) {
  DPTRC_LINE(1, jrfcTrc(), u"JRFC> Warning GetArrayLength %d does not match with leng %d %s %d\n",
             static_cast<int>(length), count, file, line);
}

// Copies min(array length, count) elements into the Java array: 0, or 1
// when the JNI side fails.
template <class JArray, class JElem, class Set>
int CopyToArray(const JElem* src, int count, JNIEnv* env, JArray arr, Set set, const WEQ_UC* file,
                int line) {
  jsize length = env->GetArrayLength(arr);
  if (jrfcIClearPending(env)) return 1;
  if (count < 0) count = 0;
  if (count > length) WarnCut(length, count, file, line);
  (env->*set)(arr, 0, std::min<jsize>(length, count), src);
  return jrfcIClearPending(env) ? 1 : 0;
}

}  // namespace

int jrfcStringToUcs(JNIEnv* env, jstring jstr, WEQ_UC* dest, int capacity, const WEQ_UC* file,
                    int line) {
  CTRC_HDL trc = jrfcTrc();
  if (env == nullptr) {
    DPTRC_ERROR(trc, u"JRFC> env == NULL: %s %d\n", file, line);
    return 1;
  }
  if (jstr == nullptr) {
    DPTRC_ERROR(trc, u"JRFC> jstr == NULL: %s %d\n", file, line);
    return 1;
  }
  const char* utf8 = env->GetStringUTFChars(jstr, nullptr);
  if (utf8 == nullptr) {
    jrfcIClearPending(env);
    DPTRC_ERROR(trc, u"JRFC> GetStringUTFChars failed: %s %d\n", file, line);
    return 1;
  }
  // Java's modified UTF-8 writes a supplementary character as its two
  // surrogates, which the converter joins again.
  int rc = Utf8sToUcs(dest, capacity, nullptr, utf8);
  env->ReleaseStringUTFChars(jstr, utf8);
  if (rc != 0) DPTRC_ERROR(trc, u"JRFC> Utf8sToUcs failed (%d): %s %d\n", rc, file, line);
  return rc;
}

jstring jrfcUcsToString(JNIEnv* env, const WEQ_UC* src, const WEQ_UC* file, int line) {
  CTRC_HDL trc = jrfcTrc();
  if (env == nullptr) {
    DPTRC_ERROR(trc, u"JRFC> env == NULL: %s %d\n", file, line);
    return nullptr;
  }
  if (src == nullptr) {
    DPTRC_LINE(3, trc, u"JRFC> warning: source is NULL: %s %d\n", file, line);
    src = u"";
  }
  // The text must have a UTF-8 form within the limit; Java is given the
  // 16-bit units themselves, since its UTF-8 reading is the modified one
  // that takes no 4-byte sequence.
  char utf8[kUtf8Bytes];
  int units = 0;
  while (src[units] != 0) ++units;
  int rc = UcsToUtf8s(utf8, kUtf8Bytes, nullptr, src);
  if (rc != 0) {
    DPTRC_LINE(1, trc, u"Could not convert String: %s to Utf8 (%d)\n", src, rc);
    return nullptr;
  }
  jstring s = env->NewString(reinterpret_cast<const jchar*>(src), units);
  if (s == nullptr) {
    jrfcIClearPending(env);
    if (DPTRC_ON(1)) {
      DpTrcLock();
      DpTrcSetLocation(DPTRC_WIDE_(__FILE__), __LINE__);
      DpTrcError(trc, u"JRFC> NewStringUTF failed: %s %d\n", file, line);
      DpTrc(trc, u"      could not convert Utf8-String: %s to jstring\n", src);
      DpTrc(trc, u"      No enough memory available?");
      DpTrcUnlock();
    }
    return nullptr;
  }
  return s;
}

int jrfcCopyToByteArray(const void* src, int count, JNIEnv* env, jbyteArray jbarr,
                        const WEQ_UC* file, int line) {
  if (src == nullptr) {
    DPTRC_ERROR(jrfcTrc(), u"JRFC> src == NULL: %s %d\n", file, line);
    return 1;
  }
  if (env == nullptr || jbarr == nullptr) {
    DPTRC_ERROR(jrfcTrc(), u"JRFC> j_barr == NULL: %s %d\n", file, line);
    return 1;
  }
  return CopyToArray(static_cast<const jbyte*>(src), count, env, jbarr, &JNIEnv::SetByteArrayRegion,
                     file, line);
}

int jrfcCopyToIntArray(const jint* src, int count, JNIEnv* env, jintArray jiarr,
                       const WEQ_UC* file, int line) {
  if (src == nullptr) {
    DPTRC_ERROR(jrfcTrc(), u"JRFC> src == NULL: %s %d\n", file, line);
    return 1;
  }
  if (env == nullptr || jiarr == nullptr) {
    DPTRC_ERROR(jrfcTrc(), u"JRFC> j_iarr == NULL: %s %d\n", file, line);
    return 1;
  }
  return CopyToArray(src, count, env, jiarr, &JNIEnv::SetIntArrayRegion, file, line);
}

int jrfcCopyFromByteArray(JNIEnv* env, jbyteArray jbarr, void* target, int size,
                          const WEQ_UC* file, int line) {
  if (env == nullptr || jbarr == nullptr) {
    DPTRC_ERROR(jrfcTrc(), u"JRFC> j_barr == NULL: %s %d\n", file, line);
    return 1;
  }
  if (target == nullptr) {
    DPTRC_ERROR(jrfcTrc(), u"JRFC> target == NULL: %s %d\n", file, line);
    return 1;
  }
  jsize length = env->GetArrayLength(jbarr);
  if (jrfcIClearPending(env)) return 1;
  if (size < 0) size = 0;
  if (length > size) WarnCut(length, size, file, line);
  env->GetByteArrayRegion(jbarr, 0, std::min<jsize>(length, size), static_cast<jbyte*>(target));
  return jrfcIClearPending(env) ? 1 : 0;
}

// --- Shared by the natives ---------------------------------------------------------------

int jrfcICopyFromBytePart(JNIEnv* env, jbyteArray jbarr, jsize length, void* buffer, int size,
                          int from, int count, const WEQ_UC* file, int line) {
  if (length > size) WarnCut(length, size, file, line);
  if (count == 0) return 0;
  env->GetByteArrayRegion(jbarr, from, count, static_cast<jbyte*>(buffer) + from);
  return jrfcIClearPending(env) ? 1 : 0;
}

int jrfcICopyToBytePart(const void* buffer, int size, int from, int count, JNIEnv* env,
                        jbyteArray jbarr, jsize length, const WEQ_UC* file, int line) {
  if (size > length) WarnCut(length, size, file, line);
  if (count == 0) return 0;
  env->SetByteArrayRegion(jbarr, from, count, static_cast<const jbyte*>(buffer) + from);
  return jrfcIClearPending(env) ? 1 : 0;
}

bool jrfcIClearPending(JNIEnv* env) {
  if (!env->ExceptionCheck()) return false;
  env->ExceptionClear();
  return true;
}

jsize jrfcIArrayLength(JNIEnv* env, jarray array) {
  if (array == nullptr) return 0;
  jsize n = env->GetArrayLength(array);
  return jrfcIClearPending(env) ? -1 : n;
}

char* JrfcConvId::Pin(const WEQ_UC* native, const WEQ_UC* file, int line) {
  if (array_ != nullptr && jrfcIArrayLength(env_, array_) == kConvIdBytes) {
    elems_ = env_->GetByteArrayElements(array_, nullptr);
    if (elems_ == nullptr) jrfcIClearPending(env_);
  }
  if (elems_ == nullptr) {
    DPTRC_ERROR(jrfcTrc(), u"JRFC> %s conv_id == NULL (out of native memory): %s %d\n", native, file, line);
  }
  return reinterpret_cast<char*>(elems_);
}

void JrfcConvId::Release(jint mode) {
  if (elems_ == nullptr) return;
  env_->ReleaseByteArrayElements(array_, elems_, mode);
  elems_ = nullptr;
}
