// Internals of the UTF-8 file functions: one encoder step and one decoder
// shared by the stream writer, the readers, the name conversion of fopenU16
// and mbstowcsU16. Not for other modules.
#ifndef WEQU16_U16FILE_INT_H
#define WEQU16_U16FILE_INT_H

#include <errno.h>
#include <stdio.h>

#include "i18n/wequ16/u16file.h"
#include "weq_types.h"

namespace u16file {

constexpr WEQ_UC kBadUnit = '#';
constexpr int32_t kUtf8Eof = -1;
constexpr int32_t kUtf8Bad = -2;

// Encodes the unit at u[i] (and its low surrogate, when u[i] is a high
// surrogate followed by one before end) into out, which has room for 4
// bytes; advances i over what it used and returns the bytes written. A
// surrogate unit without its partner becomes '#'.
inline size_t EncodeUnit(const WEQ_UC* u, size_t end, size_t& i, unsigned char* out) {
  uint32_t c = u[i++];
  if (c < 0x80) {
    out[0] = static_cast<unsigned char>(c);
    return 1;
  }
  if (c < 0x800) {
    out[0] = static_cast<unsigned char>(0xC0 | (c >> 6));
    out[1] = static_cast<unsigned char>(0x80 | (c & 0x3F));
    return 2;
  }
  if (c >= 0xD800 && c <= 0xDFFF) {
    if (c <= 0xDBFF && i < end && u[i] >= 0xDC00 && u[i] <= 0xDFFF) {
      uint32_t cp = 0x10000 + ((c - 0xD800) << 10) + (u[i++] - 0xDC00u);
      out[0] = static_cast<unsigned char>(0xF0 | (cp >> 18));
      out[1] = static_cast<unsigned char>(0x80 | ((cp >> 12) & 0x3F));
      out[2] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
      out[3] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
      return 4;
    }
    out[0] = static_cast<unsigned char>(kBadUnit);
    return 1;
  }
  out[0] = static_cast<unsigned char>(0xE0 | (c >> 12));
  out[1] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
  out[2] = static_cast<unsigned char>(0x80 | (c & 0x3F));
  return 3;
}

// Byte sources for DecodeUtf8: Get() gives 0..255 or -1 at the end, and
// Unget(b) gives back the byte just read.
struct StreamBytes {  // the caller holds the stream's lock
  FILE* f;
  int Get() { return getc_unlocked(f); }
  void Unget(int b) { ungetc(b, f); }
};

struct MemoryBytes {  // a 0-terminated text; a 0 byte always ends a sequence
  const unsigned char* p;
  int Get() { return *p++; }
  void Unget(int) { --p; }
};

// One character: the code point, kUtf8Eof, or kUtf8Bad with bad holding the
// bytes consumed. Leads 110xxxxx, 1110xxxx and 11110xxx take 1, 2 and 3
// continuation bytes; a value must stay below 0x110000. Overlong forms and
// surrogate values pass. A byte that is not a continuation is given back,
// so that it begins the next character.
template <class Bytes>
inline int32_t DecodeUtf8(Bytes& in, U16BadSequence& bad) {
  int b = in.Get();
  if (b < 0x80) return b < 0 ? kUtf8Eof : b;
  int need;
  int32_t cp;
  if ((b & 0xE0) == 0xC0) {
    need = 1;
    cp = b & 0x1F;
  } else if ((b & 0xF0) == 0xE0) {
    need = 2;
    cp = b & 0x0F;
  } else if ((b & 0xF8) == 0xF0) {
    need = 3;
    cp = b & 0x07;
  } else {
    need = -1;
    cp = 0;
  }
  unsigned char seq[4] = {static_cast<unsigned char>(b)};
  int len = 1;
  for (int k = 0; k < need; ++k) {
    int c = in.Get();
    if (c < 0 || (c & 0xC0) != 0x80) {
      if (c >= 0) in.Unget(c);
      need = -1;
      break;
    }
    seq[len++] = static_cast<unsigned char>(c);
    cp = (cp << 6) | (c & 0x3F);
  }
  if (need >= 0 && cp < 0x110000) return cp;
  for (int k = 0; k < len; ++k) bad.bytes[k] = seq[k];
  bad.len = len;
  bad.err = EILSEQ;
  return kUtf8Bad;
}

// The text of strerrorU16 for errnum from the C library's text into out
// (512 units).
constexpr size_t kErrorTextUnits = 512;
void ErrorTextToU16(int errnum, const char* text, WEQ_UC* out);

}  // namespace u16file

#endif
