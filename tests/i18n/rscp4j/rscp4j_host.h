// The ConverterJNI natives driven on the in-process JNI host as the Java
// side calls them: converters as byte[172], results and err arrays read
// back, and the calling thread's newest error entry.
#ifndef TESTS_I18N_RSCP4J_RSCP4J_HOST_H
#define TESTS_I18N_RSCP4J_RSCP4J_HOST_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "i18n/rscp4j/rscp4j.h"
#include "krn/rscp/rscp.h"
#include "support/jnihost.h"

namespace rscp4jtest {

using Bytes = std::vector<uint8_t>;
using Ints = std::vector<int32_t>;

inline std::u16string Cp(const char* cp) { return std::u16string(cp, cp + 4); }

// A converter image: its bytes, and the Java array that holds them.
struct Conv {
  jbyteArray array = nullptr;
  Bytes bytes;
};

class Natives {
 public:
  explicit Natives(tovtest::JniHost& host) : h_(host), env_(host.env()) {}

  tovtest::JniHost& host() { return h_; }
  JNIEnv* env() { return env_; }

  // ConvertInit of from -> to with mode true; err into *err when given.
  Conv Init(const char* from, const char* to, Ints* err = nullptr) {
    jintArray e = h_.NewInts({-1, -1});
    jbyteArray a = Java_com_weq_i18n_cp_ConverterJNI_ConvertInit(env_, nullptr, h_.NewChars(Cp(from)),
                                                                 h_.NewChars(Cp(to)), JNI_TRUE, e);
    if (err != nullptr) *err = h_.Ints(e);
    return {a, h_.Bytes(a)};
  }
  Conv Chosen(const char* from, const char* to) {
    Ints err;
    Conv c = Init(from, to, &err);
    EXPECT_EQ(err, (Ints{0, 0})) << from << "->" << to;
    return c;
  }

  // The whole-object natives: result and err.
  struct Out {
    Bytes bytes;
    std::u16string text;
    Ints err;
    bool null = false;
  };
  Out CToX(jbyteArray conv, const std::u16string& text) {
    return FromBytes(
        [&](jintArray e) { return Java_com_weq_i18n_cp_ConverterJNI_ConvertCToX(env_, nullptr, conv, h_.NewString(text), e); });
  }
  Out XToX(jbyteArray conv, const Bytes& in) {
    return FromBytes(
        [&](jintArray e) { return Java_com_weq_i18n_cp_ConverterJNI_ConvertXToX(env_, nullptr, conv, h_.NewBytes(in), e); });
  }
  Out XToC(jbyteArray conv, const Bytes& in) {
    jintArray e = h_.NewInts({-1, -1});
    jstring s = Java_com_weq_i18n_cp_ConverterJNI_ConvertXToC(env_, nullptr, conv, h_.NewBytes(in), e);
    return {{}, h_.Text(s), h_.Ints(e), s == nullptr};
  }

  // The range natives into an output of room units (filled with 0xEE or
  // U+EEEE); returns the native's result, the output array, err.
  struct Range {
    jint rc = 0;
    Bytes bytes;
    std::u16string text;
    Ints err;
  };
  Range XToCArr(jbyteArray conv, const Bytes& in, jint s, jint e, jint room, jint os, jint oe, bool withErr) {
    jcharArray out = h_.NewChars(std::u16string(static_cast<size_t>(room), u'\xEEEE'));
    jintArray err = h_.NewInts({-1, -1});
    jbyteArray src = h_.NewBytes(in);
    Range r;
    r.rc = withErr ? Java_com_weq_i18n_cp_ConverterJNI_ConvertXToCArrR(env_, nullptr, conv, src, s, e, out, os, oe, err)
                   : Java_com_weq_i18n_cp_ConverterJNI_ConvertXToCArr(env_, nullptr, conv, src, s, e, out, os, oe);
    r.text = CharsOf(out);
    r.err = h_.Ints(err);
    return r;
  }
  Range CToXArr(jbyteArray conv, const std::u16string& in, jint s, jint e, jint room, jint os, jint oe, bool withErr) {
    jbyteArray out = h_.NewBytes(Bytes(static_cast<size_t>(room), 0xEE));
    jintArray err = h_.NewInts({-1, -1});
    jcharArray src = h_.NewChars(in);
    Range r;
    r.rc = withErr ? Java_com_weq_i18n_cp_ConverterJNI_ConvertCToXArrR(env_, nullptr, conv, src, s, e, out, os, oe, err)
                   : Java_com_weq_i18n_cp_ConverterJNI_ConvertCToXArr(env_, nullptr, conv, src, s, e, out, os, oe);
    r.bytes = h_.Bytes(out);
    r.err = h_.Ints(err);
    return r;
  }

  std::u16string LastError() { return h_.Text(Java_com_weq_i18n_cp_ConverterJNI_GetLastError(env_, nullptr)); }

  std::u16string CharsOf(jcharArray a) { return h_.Chars(a); }

 private:
  template <class F>
  Out FromBytes(F call) {
    jintArray e = h_.NewInts({-1, -1});
    jbyteArray a = call(e);
    return {h_.Bytes(a), {}, h_.Ints(e), a == nullptr};
  }

  tovtest::JniHost& h_;
  JNIEnv* env_;
};

// The calling thread's newest error entry.
inline rscpErrEntry_t Newest() {
  const rscpErrStack_t* s = rscpeg__get_thr_errors();
  if (s->count == 0) return rscpErrEntry_t{};
  return s->entries[(s->count > RSCP_ERR_ENTRIES ? RSCP_ERR_ENTRIES : s->count) - 1];
}
inline std::u16string Field(const WEQ_UC* f, size_t n) { return std::u16string(f, n); }
inline std::u16string Param1(const rscpErrEntry_t& e) { return std::u16string(e.param1, e.param1Len); }

// Bytes of a 16-bit text in the machine's order (UTF-16LE here).
inline Bytes Le(const std::u16string& s) {
  Bytes b;
  for (char16_t c : s) b.push_back(static_cast<uint8_t>(c)), b.push_back(static_cast<uint8_t>(c >> 8));
  return b;
}

}  // namespace rscp4jtest

#endif
