// An in-process JNI environment for testing natives without a JVM, written
// from the JNI specification. It holds its own strings and arrays, makes any
// Get/New call fail on demand the way a JVM does (NULL and a pending
// OutOfMemoryError; a region call out of range leaves an
// ArrayIndexOutOfBoundsException pending), and records each breach of JNI's
// rules the way -Xcheck:jni reports it: a call other than the exception and
// release calls while an exception is pending, a NULL or wrongly typed
// object, a release of elements never obtained, elements or strings still
// held when the native returns, and a 4-byte sequence given to NewStringUTF.
// Functions the natives do not use abort with their slot number.
#ifndef TESTS_SUPPORT_JNIHOST_H
#define TESTS_SUPPORT_JNIHOST_H

#include <jni.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace tovtest {

enum class JniOp {
  GetStringUTFChars,
  GetStringChars,
  NewString,
  NewStringUTF,
  GetArrayLength,
  GetByteArrayElements,
  GetIntArrayElements,
  GetCharArrayElements,
  GetByteArrayRegion,
  SetByteArrayRegion,
  GetIntArrayRegion,
  SetIntArrayRegion,
  GetCharArrayRegion,
  SetCharArrayRegion,
  NewByteArray,
  NewIntArray,
  NewCharArray,
  FindClass,
  NewObjectArray,
  SetObjectArrayElement,
  kCount
};

const char* JniOpName(JniOp op);

class JniHost {
 public:
  JniHost();
  ~JniHost();
  JniHost(const JniHost&) = delete;
  JniHost& operator=(const JniHost&) = delete;

  JNIEnv* env();

  jbyteArray NewBytes(const std::vector<uint8_t>& bytes);
  jintArray NewInts(const std::vector<int32_t>& ints);
  jcharArray NewChars(const std::u16string& units);
  jstring NewString(const std::u16string& text);

  std::vector<uint8_t> Bytes(jobject array) const;
  std::vector<int32_t> Ints(jobject array) const;
  std::u16string Chars(jobject array) const;
  // The elements of any primitive array as bytes (empty for anything else).
  std::vector<uint8_t> Raw(jobject array) const;
  std::u16string Text(jobject string) const;
  // The elements of an object array (empty for anything else).
  std::vector<jobject> Objects(jobject array) const;

  // The nth call of op from now on (1: the next) fails.
  void FailCall(JniOp op, int nth = 1);
  // Drops every failure not reached yet.
  void ClearFailures();
  // Calls of op so far.
  int Calls(JniOp op) const;

  // The class of the pending exception ("" when none).
  std::string Pending() const;
  // Closes a native call: a pending exception, held elements or strings are
  // breaches (cleared afterwards).
  void EndNative();
  // Breaches of JNI's rules so far.
  const std::vector<std::string>& Violations() const { return violations_; }

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
  std::vector<std::string>& violations_;
  std::unique_ptr<char[]> box_;  // the JNIEnv and a pointer back to impl_
  JNIEnv* env_ = nullptr;
};

// Modified UTF-8 of 16-bit units as JNI hands it out: U+0000 as C0 80, each
// surrogate on its own in three bytes.
std::string ModifiedUtf8(const std::u16string& units);

}  // namespace tovtest

#endif
