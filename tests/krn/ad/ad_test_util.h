// Helpers of the AD tests: records in both forms, text placed where the
// library holds it, and the external bytes that a text field must become,
// worked out from UTF-16 by hand and checked with ICU.
#ifndef TESTS_KRN_AD_AD_TEST_UTIL_H
#define TESTS_KRN_AD_AD_TEST_UTIL_H

#include <string.h>
#include <unicode/ustring.h>

#include <string>

#include "krn/ad/ad.h"
#include "support/testsupport.h"

namespace adtest {

inline AD_REC Rec(uint8_t opcode) {
  AD_REC r;
  AdInitRec(&r);
  r.opcode = opcode;
  return r;
}

// The internal body as bytes.
inline uint8_t* Bytes(AD_REC& r) { return reinterpret_cast<uint8_t*>(r.body); }
inline std::string BodyBytes(const AD_REC& r) {
  return std::string(reinterpret_cast<const char*>(r.body), sizeof r.body);
}

// w units of text at an internal byte offset: t cut to w, then blanks.
inline void PutText(AD_REC& r, int byteOffset, const std::u16string& t, int w) {
  std::u16string f = t.substr(0, static_cast<size_t>(w));
  f.resize(static_cast<size_t>(w), u' ');
  memcpy(Bytes(r) + byteOffset, f.data(), 2 * f.size());
}
inline std::u16string GetText(const AD_REC& r, int byteOffset, int w) {
  std::u16string f(static_cast<size_t>(w), u'\0');
  memcpy(f.data(), reinterpret_cast<const char*>(r.body) + byteOffset, 2 * f.size());
  return f;
}

// The record in external form, the way the writer prepares it: four 0
// bytes and 100 blanks before the conversion.
inline std::string ToExt(AD_REC& r) {
  AD_REC_EXT e;
  memset(&e, 0, 4);
  memset(e.body, ' ', sizeof e.body);
  AdCvtRecToExt(&r, &e);
  return std::string(reinterpret_cast<const char*>(&e), sizeof e);
}

// An external record (104 bytes) into r, which keeps what the body's layout
// does not cover.
inline void ToInt(const std::string& ext, AD_REC& r) {
  AD_REC_EXT e;
  memcpy(&e, ext.data(), sizeof e);
  AdCvtRecToInt(&e, &r);
}

// The UTF-8 of the whole characters among w units that fit into w bytes,
// stopping at a surrogate without its partner, then blanks.
inline std::string ExpectedField(const std::u16string& units, int w) {
  std::string out;
  for (size_t i = 0; i < units.size() && i < static_cast<size_t>(w);) {
    char32_t cp = units[i];
    size_t take = 1;
    if (cp >= 0xD800 && cp <= 0xDBFF) {
      if (i + 1 >= static_cast<size_t>(w) || units[i + 1] < 0xDC00 || units[i + 1] > 0xDFFF) break;
      cp = 0x10000 + ((cp - 0xD800) << 10) + (units[i + 1] - 0xDC00);
      take = 2;
    } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
      break;
    }
    std::string bytes = tovtest::ToUtf8(units.substr(i, take));
    if (out.size() + bytes.size() > static_cast<size_t>(w)) break;
    out += bytes;
    i += take;
  }
  out.resize(static_cast<size_t>(w), ' ');
  return out;
}

// Whether bytes are well-formed UTF-8, as ICU sees it.
inline bool IcuValidUtf8(const std::string& bytes) {
  UChar buf[512];
  int32_t len = 0;
  UErrorCode err = U_ZERO_ERROR;
  u_strFromUTF8(buf, 512, &len, bytes.data(), static_cast<int32_t>(bytes.size()), &err);
  return U_SUCCESS(err);
}

// The text that a field of w characters holds after the way back: what
// crossed the wire, blank-padded to w units.
inline std::u16string ExpectedBack(const std::string& field, int w) {
  std::u16string t = tovtest::FromUtf8(field);
  t.resize(static_cast<size_t>(w), u' ');
  return t;
}

}  // namespace adtest

#endif
