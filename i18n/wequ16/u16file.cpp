// Text conversions and system texts: mbstowcsU16, fopenU16, gethostnameU16,
// strerrorU16, ConvertSCCSID_w.
#include "i18n/wequ16/u16file.h"

#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "i18n/wequ16/u16file_int.h"
#include "i18n/wequ16/u16str.h"

namespace {

constexpr const char* kModule = "nlsui1";

WEQ_UC gConvertFailed[] = u"ConvertSCCSID_w failed";

// The file name as UTF-8 with '/' for '\'; false when it does not fit.
bool PathToUtf8(const WEQ_UC* name, char* out, size_t cap) {
  size_t n = strlenU(name);
  size_t used = 0;
  unsigned char piece[4];
  for (size_t i = 0; i < n;) {
    size_t len = u16file::EncodeUnit(name, n, i, piece);
    if (used + len >= cap) return false;
    memcpy(out + used, piece, len);
    used += len;
  }
  out[used] = 0;
  for (char* p = out; *p != 0; ++p)
    if (*p == '\\') *p = '/';
  return true;
}

// The mode letters this C library knows: r w a + b x, and 'e' for the
// other library's 'N' (not inherited by child processes). Text-mode,
// commit, caching and encoding flags mean nothing here and are dropped.
bool ModeToPosix(const WEQ_UC* mode, char* out, size_t cap) {
  size_t used = 0;
  for (; *mode != 0 && *mode != ','; ++mode) {
    char c;
    switch (*mode) {
      case 'r': case 'w': case 'a': case '+': case 'b': case 'x': c = static_cast<char>(*mode); break;
      case 'N': c = 'e'; break;
      default: continue;
    }
    if (used + 1 >= cap) return false;
    out[used++] = c;
  }
  out[used] = 0;
  return used > 0;
}

}  // namespace

WEQ_UC* const ConvertSCCSID_wFailed = gConvertFailed;

size_t mbstowcsU16(WEQ_UC* dst, const char* src, size_t n) {
  if (src == nullptr) {
    errno = EINVAL;
    return static_cast<size_t>(-1);
  }
  if (dst != nullptr && n == 0) return 0;
  u16file::MemoryBytes in{reinterpret_cast<const unsigned char*>(src)};
  U16BadSequence bad;
  size_t k = 0;
  for (;;) {
    int32_t c = u16file::DecodeUtf8(in, bad);
    if (c == u16file::kUtf8Bad) {
      errno = EILSEQ;
      return static_cast<size_t>(-1);
    }
    if (c > 0xFFFF) {
      c -= 0x10000;
      if (dst != nullptr) dst[k] = static_cast<WEQ_UC>(0xD800 + (c >> 10));
      if (++k == n && dst != nullptr) return n;
      if (dst != nullptr) dst[k] = static_cast<WEQ_UC>(0xDC00 + (c & 0x3FF));
      if (++k == n && dst != nullptr) return n;
      continue;
    }
    if (dst != nullptr) dst[k] = static_cast<WEQ_UC>(c);
    if (c == 0) return k;
    if (++k == n && dst != nullptr) return n;
  }
}

FILE* fopenU16(const WEQ_UC* name, const WEQ_UC* mode) {
  if (name == nullptr || mode == nullptr) {
    errno = EINVAL;
    return nullptr;
  }
  char path[PATH_MAX];
  if (!PathToUtf8(name, path, sizeof path)) {
    errno = ENAMETOOLONG;
    return nullptr;
  }
  char posixMode[16];
  if (!ModeToPosix(mode, posixMode, sizeof posixMode)) {
    errno = EINVAL;
    return nullptr;
  }
  FILE* f = fopen(path, posixMode);
  if (f != nullptr && U16ReportLevel >= 16) {
    int err = errno;
    U16ReportFileOpen(name, fileno(f), "fopenU16", kModule, __LINE__);
    errno = err;
  }
  return f;
}

int gethostnameU16(WEQ_UC* buf, size_t size) {
  char host[256];
  if (gethostname(host, sizeof host) != 0) return -1;
  host[sizeof host - 1] = 0;  // a truncated name comes without terminator
  if (buf == nullptr) {
    errno = EINVAL;
    return -1;
  }
  size_t r = mbstowcsU16(buf, host, size);
  if (r == static_cast<size_t>(-1)) {
    U16ReportBadUtf8(buf, host, size, kModule, __LINE__, "gethostnameU16");
    errno = EILSEQ;
    return -1;
  }
  if (r == size) {
    U16ReportArrayTooSmall("length", "gethostnameU16", "wname", kModule, __LINE__);
    errno = ENAMETOOLONG;
    return -1;
  }
  return 0;
}

namespace u16file {

void ErrorTextToU16(int errnum, const char* text, WEQ_UC* out) {
  size_t r = mbstowcsU16(out, text, kErrorTextUnits);
  if (r == static_cast<size_t>(-1)) {
    U16ReportBadUtf8(out, text, kErrorTextUnits, kModule, __LINE__, "strerrorU16");
    char fallback[80];
    // The '3' after the number is part of the fixed text.
    snprintf(fallback, sizeof fallback, "Could not convert error no. %d3 to UTF-16 characters",
             errnum);
    A7sToU16s(out, fallback);
    errno = EILSEQ;
  } else if (r == kErrorTextUnits) {
    U16ReportArrayTooSmall("MAX_ERROR_LN", "strerrorU16", "werror", kModule, __LINE__);
    // Cut to 511 units, and never between the two units of a pair.
    size_t end = kErrorTextUnits - 1;
    if (out[end - 1] >= 0xD800 && out[end - 1] <= 0xDBFF) --end;
    out[end] = 0;
    errno = ENAMETOOLONG;
  }
}

}  // namespace u16file

WEQ_UC* strerrorU16(int errnum) {
  // One buffer per thread: the text stays valid until the thread's next
  // call, whatever other threads ask for.
  thread_local WEQ_UC text[u16file::kErrorTextUnits];
  char narrow[1024];
  const char* message = strerror_r(errnum, narrow, sizeof narrow);
  if (message == nullptr) return nullptr;
  u16file::ErrorTextToU16(errnum, message, text);
  return text;
}

WEQ_UC* ConvertSCCSID_w(const char* src) {
  if (src == nullptr) {
    errno = EINVAL;
    return gConvertFailed;
  }
  size_t n = strlen(src) + 1;
  auto* copy = static_cast<WEQ_UC*>(malloc(n * sizeof(WEQ_UC)));
  if (copy == nullptr) {
    U16ReportNoMemory("ConvertSCCSID_w", kModule, __LINE__);
    return gConvertFailed;
  }
  size_t r = mbstowcsU16(copy, src, n);
  if (r == static_cast<size_t>(-1)) {
    U16ReportBadUtf8(copy, src, n, kModule, __LINE__, "ConvertSCCSID_w");
    free(copy);
    errno = EILSEQ;
    return gConvertFailed;
  }
  if (r == n) {
    U16ReportArrayTooSmall("inlen", "ConvertSCCSID_w", "wstr", kModule, __LINE__);
    free(copy);
    errno = ENAMETOOLONG;
    return gConvertFailed;
  }
  return copy;
}
