// Independent references for code page tests: glibc iconv and ICU (linked
// directly), each turning bytes of a named charset into Unicode values and
// back. A conversion that meets an invalid or unmappable sequence gives
// nothing, so a caller can tell "no character" from a wrong one.
#ifndef TESTS_KRN_RSCP_RSCPDAT_ORACLE_H
#define TESTS_KRN_RSCP_RSCPDAT_ORACLE_H

#include <iconv.h>
#include <unicode/ucnv.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace rscpdattest {

using Bytes = std::vector<uint8_t>;
using Text = std::u32string;

// One iconv direction, opened once and reset before each call.
class Iconv {
 public:
  Iconv(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
  ~Iconv() {
    if (ok()) iconv_close(cd_);
  }
  Iconv(const Iconv&) = delete;
  Iconv& operator=(const Iconv&) = delete;
  bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

  std::optional<Bytes> Run(const uint8_t* in, size_t n) {
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    Bytes out(n * 8 + 64);
    char* ip = reinterpret_cast<char*>(const_cast<uint8_t*>(in));
    char* op = reinterpret_cast<char*>(out.data());
    size_t il = n, ol = out.size();
    if (iconv(cd_, &ip, &il, &op, &ol) == size_t(-1)) return std::nullopt;
    if (iconv(cd_, nullptr, nullptr, &op, &ol) == size_t(-1)) return std::nullopt;
    out.resize(out.size() - ol);
    return out;
  }

 private:
  iconv_t cd_;
};

inline Text FromU32le(const Bytes& b) {
  Text t(b.size() / 4, 0);
  std::memcpy(t.data(), b.data(), t.size() * 4);
  return t;
}

// Decoder and encoder of one charset through iconv.
class IconvCharset {
 public:
  explicit IconvCharset(const char* name) : dec_("UTF-32LE", name), enc_(name, "UTF-32LE") {}
  bool ok() const { return dec_.ok() && enc_.ok(); }
  std::optional<Text> Decode(const Bytes& b) {
    auto r = dec_.Run(b.data(), b.size());
    if (!r) return std::nullopt;
    return FromU32le(*r);
  }
  std::optional<Bytes> Encode(const Text& t) {
    return enc_.Run(reinterpret_cast<const uint8_t*>(t.data()), t.size() * 4);
  }

 private:
  Iconv dec_, enc_;
};

// Decoder and encoder of one charset through ICU; callbacks stop at the
// first invalid or unmappable sequence.
class IcuCharset {
 public:
  explicit IcuCharset(const char* name) {
    UErrorCode e = U_ZERO_ERROR;
    cnv_ = ucnv_open(name, &e);
    if (U_FAILURE(e)) {
      cnv_ = nullptr;
      return;
    }
    ucnv_setToUCallBack(cnv_, UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &e);
    ucnv_setFromUCallBack(cnv_, UCNV_FROM_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &e);
  }
  ~IcuCharset() {
    if (cnv_) ucnv_close(cnv_);
  }
  IcuCharset(const IcuCharset&) = delete;
  IcuCharset& operator=(const IcuCharset&) = delete;
  bool ok() const { return cnv_ != nullptr; }

  std::optional<Text> Decode(const Bytes& b) {
    ucnv_reset(cnv_);
    std::u16string u(b.size() * 2 + 8, 0);
    UErrorCode e = U_ZERO_ERROR;
    int32_t n = ucnv_toUChars(cnv_, u.data(), int32_t(u.size()),
                              reinterpret_cast<const char*>(b.data()), int32_t(b.size()), &e);
    if (U_FAILURE(e)) return std::nullopt;
    Text t;
    for (int32_t i = 0; i < n; ++i) {
      char32_t c = u[size_t(i)];
      if (c >= 0xD800 && c < 0xDC00 && i + 1 < n) c = 0x10000 + ((c - 0xD800) << 10) + (u[size_t(++i)] - 0xDC00);
      t.push_back(c);
    }
    return t;
  }
  std::optional<Bytes> Encode(const Text& t) {
    ucnv_reset(cnv_);
    std::u16string u;
    for (char32_t c : t) {
      if (c >= 0x10000) {
        u.push_back(char16_t(0xD800 + ((c - 0x10000) >> 10)));
        u.push_back(char16_t(0xDC00 + (c & 0x3FF)));
      } else {
        u.push_back(char16_t(c));
      }
    }
    Bytes out(t.size() * 8 + 16);
    UErrorCode e = U_ZERO_ERROR;
    int32_t n = ucnv_fromUChars(cnv_, reinterpret_cast<char*>(out.data()), int32_t(out.size()),
                                u.data(), int32_t(u.size()), &e);
    if (U_FAILURE(e)) return std::nullopt;
    out.resize(size_t(n));
    return out;
  }

 private:
  UConverter* cnv_ = nullptr;
};

}  // namespace rscpdattest

#endif
