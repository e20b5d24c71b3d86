// Natives of com.weq.conn.rfc.engine.Compress: the compression handle pool
// and stream calls over fixed buffers on the native's stack. Each native
// copies the Java arrays in, makes one call and copies the results back; the
// call's own result reaches Java in result[2] and never fails the native.
// A stream call reads only its input range and writes only the first bytes
// of its output range that it reports written, so only those cross: the
// Java arrays come out as copies of the whole buffers would leave them.
//
// Ranges are checked before anything is copied: an offset or length that is
// negative or reaches past the fixed buffer or the Java array, and a result
// array that is missing or shorter than 3, give -1 with the arrays
// unchanged; so do a start of decompression from fewer than 8 bytes and a
// header array shorter than the 8-byte header.
#include <algorithm>

#include "compression/csr.h"
#include "krn/dptrc/dptrc.h"
#include "krn/rfc/jrfc_int.h"

namespace {

constexpr int kPackedBytes = 2080;  // compressed side
constexpr int kPlainBytes = 4128;   // uncompressed side
constexpr int kHeaderBytes = 8;
constexpr jsize kResultInts = 3;

// [offset, offset + length) lies within the first min(buffer, array) bytes.
bool InRange(int offset, int length, int buffer, jsize array) {
  if (offset < 0 || length < 0) return false;
  long end = static_cast<long>(offset) + length;
  return end <= std::min<long>(buffer, array);
}

// The error lines about the result array; the decompression's lines name
// no native (name NULL).
void NoResult(const WEQ_UC* name) {
  if (name != nullptr) {
    DPTRC_ERROR(jrfcTrc(), u"JRFC> %s res_iarr is NULL\n", name);
  } else {
    DPTRC_ERROR(jrfcTrc(), u"JRFC> res_iarr is NULL\n");
  }
}
void NoElements(const WEQ_UC* name) {
  if (name != nullptr) {
    DPTRC_ERROR(jrfcTrc(), u"JRFC> %s GetIntArrayElements failed\n", name);
  } else {
    DPTRC_ERROR(jrfcTrc(), u"JRFC> GetIntArrayElements failed\n");
  }
}

// The result array exists and holds [0..2].
bool ResultUsable(JNIEnv* env, jintArray result, const WEQ_UC* name) {
  if (result == nullptr) {
    NoResult(name);
    return false;
  }
  if (jrfcIArrayLength(env, result) < kResultInts) {
    NoElements(name);
    return false;
  }
  return true;
}

// Writes read, written and the call's code into result[0..2]: true, or
// false when the elements cannot be had.
bool PutResult(JNIEnv* env, jintArray result, int read, int written, int code, const WEQ_UC* name) {
  jint* r = env->GetIntArrayElements(result, nullptr);
  if (r == nullptr) {
    jrfcIClearPending(env);
    NoElements(name);
    return false;
  }
  r[0] = read;
  r[1] = written;
  r[2] = code;
  env->ReleaseIntArrayElements(result, r, 0);
  return true;
}

// The call's input range into the input buffer; of the output array,
// whose bytes the call does not read, nothing but what its copy traces.
bool CopyIn(JNIEnv* env, jbyteArray in, jsize inArr, WEQ_RAW* inBuf, int inSize, int inOffset,
            int inLength, jbyteArray out, jsize outArr, WEQ_RAW* outBuf, int outSize) {
  return jrfcICopyFromBytePart(env, in, inArr, inBuf, inSize, inOffset, inLength, JRFC_WHERE) == 0 &&
         jrfcICopyFromBytePart(env, out, outArr, outBuf, outSize, 0, 0, JRFC_WHERE) == 0;
}

// The bytes the call reports written, at most the room it was given.
int Written(int written, int room) { return std::clamp(written, 0, room); }

// A range check failed: one line, and the native returns -1.
void Refused(const WEQ_UC* name) {
  DPTRC_ERROR(jrfcTrc(), u"JRFC> %s buffer == NULL (out of native memory): %s %d\n", name,
              JRFC_WHERE);
}

}  // namespace

WEQ_EXPORT jint JNICALL Java_com_weq_conn_rfc_engine_Compress_CsRGetHandle(JNIEnv* /*env*/,
                                                                         jclass /*cls*/) {
  CSR_HANDLE handle = 0;
  CsRGetHandle(&handle);
  return handle;
}

WEQ_EXPORT void JNICALL Java_com_weq_conn_rfc_engine_Compress_CsRCloseHandle(JNIEnv* /*env*/,
                                                                           jclass /*cls*/,
                                                                           jint handle) {
  CsRCloseHandle(handle);
}

WEQ_EXPORT jint JNICALL Java_com_weq_conn_rfc_engine_Compress_CsRInitCompress(
    JNIEnv* env, jclass /*cls*/, jint handle, jbyteArray out, jint total) {
  static const WEQ_UC kName[] = u"Java_com_weq_conn_rfc_engine_Compress_CsRInitCompress";
  WEQ_RAW buffer[kPackedBytes];
  jsize outLen = jrfcIArrayLength(env, out);
  if (outLen >= 0 && outLen < kHeaderBytes) {
    Refused(kName);
    return 1;
  }
  int rc = jrfcCopyFromByteArray(env, out, buffer, kPackedBytes, JRFC_WHERE);
  if (rc != 0) return rc;
  int code = CsRInitCompress(handle, buffer, total, CSR_OPT_LZH);
  if (code != 0) return code;
  return jrfcCopyToByteArray(buffer, kPackedBytes, env, out, JRFC_WHERE);
}

WEQ_EXPORT jint JNICALL Java_com_weq_conn_rfc_engine_Compress_CsRCompress(
    JNIEnv* env, jclass /*cls*/, jint handle, jint total, jbyteArray in, jint inOffset,
    jint inLength, jbyteArray out, jint outOffset, jint outLength, jint option,
    jintArray result) {
  static const WEQ_UC kName[] = u"Java_com_weq_conn_rfc_engine_Compress_CsRCompress";
  if (!ResultUsable(env, result, kName)) return -1;
  jsize inArr = jrfcIArrayLength(env, in);
  jsize outArr = jrfcIArrayLength(env, out);
  if (in == nullptr || out == nullptr || !InRange(inOffset, inLength, kPlainBytes, inArr) ||
      !InRange(outOffset, outLength, kPackedBytes, outArr)) {
    Refused(kName);
    return -1;
  }
  WEQ_RAW plain[kPlainBytes];
  WEQ_RAW packed[kPackedBytes];
  if (!CopyIn(env, in, inArr, plain, kPlainBytes, inOffset, inLength, out, outArr, packed,
              kPackedBytes))
    return -1;
  int read = 0;
  int written = 0;
  int code = CsRCompress(handle, total, plain + inOffset, inLength, packed + outOffset, outLength,
                         option, &read, &written);
  if (jrfcICopyToBytePart(packed, kPackedBytes, outOffset, Written(written, outLength), env, out,
                          outArr, JRFC_WHERE) != 0)
    return -1;
  return PutResult(env, result, read, written, code, kName) ? 0 : -1;
}

WEQ_EXPORT jint JNICALL Java_com_weq_conn_rfc_engine_Compress_CsRInitDecompress(JNIEnv* env,
                                                                              jclass /*cls*/,
                                                                              jint handle,
                                                                              jbyteArray in) {
  static const WEQ_UC kName[] = u"Java_com_weq_conn_rfc_engine_Compress_CsRInitDecompress";
  jsize inArr = jrfcIArrayLength(env, in);
  if (in == nullptr || inArr < kHeaderBytes) {
    Refused(kName);
    return -1;
  }
  WEQ_RAW packed[kPackedBytes];
  if (jrfcCopyFromByteArray(env, in, packed, kPackedBytes, JRFC_WHERE) != 0) return -1;
  int code = CsRInitDecompress(handle, packed);
  if (code != 0) {
    DPTRC_LINE(2, jrfcTrc(), u"JRFC> %s CsRInitDecompress failed (%d)\n", kName, code);
    return code;
  }
  return jrfcCopyToByteArray(packed, kPackedBytes, env, in, JRFC_WHERE) != 0 ? -1 : 0;
}

WEQ_EXPORT jint JNICALL Java_com_weq_conn_rfc_engine_Compress_CsRDecompress(
    JNIEnv* env, jclass /*cls*/, jint handle, jbyteArray in, jint inOffset, jint inLength,
    jbyteArray out, jint outLength, jint option, jintArray result) {
  static const WEQ_UC kName[] = u"Java_com_weq_conn_rfc_engine_Compress_CsRDecompress";
  if (!ResultUsable(env, result, nullptr)) return -1;
  jsize inArr = jrfcIArrayLength(env, in);
  jsize outArr = jrfcIArrayLength(env, out);
  if (in == nullptr || out == nullptr || !InRange(inOffset, inLength, kPackedBytes, inArr) ||
      !InRange(0, outLength, kPlainBytes, outArr)) {
    Refused(kName);
    return -1;
  }
  WEQ_RAW packed[kPackedBytes];
  WEQ_RAW plain[kPlainBytes];
  if (!CopyIn(env, in, inArr, packed, kPackedBytes, inOffset, inLength, out, outArr, plain,
              kPlainBytes))
    return -1;
  int read = 0;
  int written = 0;
  int code = CsRDecompress(handle, packed + inOffset, inLength, plain, outLength, option, &read,
                           &written);
  if (!PutResult(env, result, read, written, code, nullptr)) return -1;
  return jrfcICopyToBytePart(plain, kPlainBytes, 0, Written(written, outLength), env, out, outArr,
                             JRFC_WHERE) != 0
             ? -1
             : 0;
}
