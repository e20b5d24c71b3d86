// UTF-8 to UTF-16 on the way in from C streams.
#include <errno.h>
#include <stdio.h>

#include "i18n/wequ16/u16file.h"
#include "i18n/wequ16/u16file_int.h"

namespace {

constexpr const char* kModule = "u16_get";

// Holds a stream's lock for the reads of one call, so that a character or a
// line is never interleaved with another thread's read.
class StreamLock {
 public:
  explicit StreamLock(FILE* f) : f_(f) { flockfile(f_); }
  ~StreamLock() { funlockfile(f_); }
  StreamLock(const StreamLock&) = delete;
  StreamLock& operator=(const StreamLock&) = delete;

 private:
  FILE* f_;
};

void ReportInvalid(const char* function, FILE* stream, const char* module, int line,
                   const U16BadSequence& bad, const WEQ_UC* start, const WEQ_UC* cur,
                   bool withContext) {
  if (U16ReportLevel < 1) return;
  char message[96];
  snprintf(message, sizeof message, "Invalid UTF-8 encountered by %s (fileno 0x%x)", function,
           static_cast<unsigned>(fileno(stream)));
  U16Report(message, module, line, 0);
  if (withContext) {
    U16ReportReadContext(&bad, start, cur);
  } else {
    U16ReportBytes(bad.bytes, static_cast<size_t>(bad.len));
  }
  U16ReportEnd();
}

}  // namespace

int Utf8GetChar(FILE* stream, U16BadSequence* bad, int* err) {
  if (err != nullptr) *err = 0;
  if (stream == nullptr) {
    errno = EINVAL;
    return -1;
  }
  U16BadSequence local;
  int32_t c;
  {
    StreamLock lock(stream);
    u16file::StreamBytes in{stream};
    c = u16file::DecodeUtf8(in, bad != nullptr ? *bad : local);
  }
  if (c == u16file::kUtf8Bad) {
    errno = EILSEQ;
    if (err != nullptr) *err = EILSEQ;
    return u16file::kBadUnit;
  }
  return c;
}

int fgetcU16(FILE* stream) {
  U16BadSequence bad;
  int err = 0;
  int c = Utf8GetChar(stream, &bad, &err);
  if (err != 0) {
    ReportInvalid("fgetcU16", stream, kModule, __LINE__, bad, nullptr, nullptr, false);
    errno = EILSEQ;
    return u16file::kBadUnit;
  }
  return c > 0xFFFF ? 0xFFFD : c;
}

WEQ_UC* fgetsU16(WEQ_UC* buf, int n, FILE* stream) {
  if (n <= 0 || buf == nullptr) return nullptr;
  if (n == 1) {
    buf[0] = 0;
    return buf;
  }
  if (stream == nullptr) {
    errno = EINVAL;
    return nullptr;
  }
  const int limit = n - 1;
  int stored = 0;
  bool invalid = false;
  U16BadSequence bad;
  {
    StreamLock lock(stream);
    u16file::StreamBytes in{stream};
    while (stored < limit) {
      if (stored == limit - 1 && stored > 0) {
        // One unit of room: a 4-byte character would not fit whole, so the
        // line ends before it and the next call reads it.
        int b = getc_unlocked(stream);
        if (b == EOF) break;
        ungetc(b, stream);
        if (b >= 0xF0 && b <= 0xF7) break;
      }
      int32_t c = u16file::DecodeUtf8(in, bad);
      if (c == u16file::kUtf8Eof) break;
      if (c == u16file::kUtf8Bad) {
        invalid = true;
        c = u16file::kBadUnit;
      } else if (c > 0xFFFF) {
        if (stored == limit - 1) {
          // Only a buffer of two units gets here: the character can never
          // fit, and it is replaced rather than read again without end.
          buf[stored++] = 0xFFFD;
          continue;
        }
        c -= 0x10000;
        buf[stored++] = static_cast<WEQ_UC>(0xD800 + (c >> 10));
        buf[stored++] = static_cast<WEQ_UC>(0xDC00 + (c & 0x3FF));
        continue;
      }
      buf[stored++] = static_cast<WEQ_UC>(c);
      if (c == '\n') break;
    }
  }
  if (invalid) {
    ReportInvalid("fgetsU16", stream, kModule, __LINE__, bad, buf, buf + stored, true);
    errno = EILSEQ;
  }
  if (stored == 0) return nullptr;
  buf[stored] = 0;
  return ferror(stream) ? nullptr : buf;
}
