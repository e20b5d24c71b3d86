// String adapters over the UTF-16 <-> UTF-8 converters.
#include <cstring>

#include "i18n/wequ16/u16str.h"
#include "krn/rscp/rscpu_int.h"

namespace {

rscpu::RscpuIModule gModule{"@(#) $Id: krn/rscp/rscpustr.cpp $"};

constexpr WEQ_UC kReplacement = 0xFFFD;

int ToUtf8(const WEQ_UC*& s, const WEQ_UC* se, char*& d, char* de) {
  WEQ_RAW* b = reinterpret_cast<WEQ_RAW*>(d);
  int rc = rscpu_U6_to_U8(&s, se, &b, reinterpret_cast<WEQ_RAW*>(de));
  d = reinterpret_cast<char*>(b);
  return rc;
}

int FromUtf8(const char*& s, const char* se, WEQ_UC*& d, WEQ_UC* de) {
  const WEQ_RAW* b = reinterpret_cast<const WEQ_RAW*>(s);
  int rc = rscpu_U8_to_U6(&b, reinterpret_cast<const WEQ_RAW*>(se), &d, de, &kReplacement,
                          nullptr);
  s = reinterpret_cast<const char*>(b);
  return rc;
}

// Terminated sources are converted block by block, so that the search for
// the terminator and the conversion read the same memory while it is in the
// cache. A block never ends inside a character: where the text goes on, the
// converter must not see a character cut short that is whole in the text.
constexpr size_t kBlock = 4096;

const WEQ_UC* BlockEnd(const WEQ_UC* s) {
  const WEQ_UC* e = s + strnlenU16(s, kBlock);
  if (*e != 0 && e[-1] >= 0xD800 && e[-1] < 0xDC00) ++e;
  return e;
}

const char* BlockEnd(const char* s) {
  const char* e = s + strnlen(s, kBlock);
  if (*e == 0) return e;
  // Back to the lead byte of a sequence that runs past the block.
  for (int back = 1; back <= 6; ++back) {
    uint8_t b = static_cast<uint8_t>(e[-back]);
    if ((b & 0xC0) == 0x80) continue;
    if (rscpu::kLead[b] >= back) e -= back;
    break;
  }
  return e;
}

// Units of room in a destination: a NULL one or a negative size has none.
template <class Out>
int Room(const Out* dst, int size) {
  return dst == nullptr || size < 0 ? 0 : size;
}

template <class Out, class In, class Conv>
int Counted(Out* dst, int size, int* out, const In* src, int srcLen, Conv conv) {
  Out* d = dst;
  int rc = 0;
  if (src != nullptr && srcLen > 0) {
    const In* s = src;
    rc = conv(s, src + srcLen, d, dst + Room(dst, size));
  }
  if (out) *out = static_cast<int>(d - dst);
  return rc;
}

// A 0-terminated source into size - 1 units and a terminator where the
// output stopped. Without room for the terminator nothing is written.
template <class Out, class In, class Conv>
int Terminated(Out* dst, int size, int* out, const In* src, Conv conv) {
  if (out) *out = 0;
  if (Room(dst, size) < 1)
    return rscpu::RscpuIError(gModule, RSCPU_DEST_FULL, rscpu::kLocAdapterNoRoom, __LINE__,
                              rscpu::kMsgFull);
  Out* d = dst;
  int rc = 0;
  for (const In* s = src; s != nullptr;) {
    const In* e = BlockEnd(s);
    rc = conv(s, e, d, dst + size - 1);
    if (rc != 0 || *e == 0) break;
  }
  *d = 0;
  if (out) *out = static_cast<int>(d - dst);
  return rc;
}

}  // namespace

int U16sToUtf8s(char* dst, int size, int* out, const WEQ_UC* src) {
  return Terminated(dst, size, out, src, ToUtf8);
}
int UcsToUtf8s(char* dst, int size, int* out, const WEQ_UC* src) {
  return U16sToUtf8s(dst, size, out, src);
}

int Utf8sToU16s(WEQ_UC* dst, int size, int* out, const char* src) {
  return Terminated(dst, size, out, src, FromUtf8);
}
int Utf8sToUcs(WEQ_UC* dst, int size, int* out, const char* src) {
  return Utf8sToU16s(dst, size, out, src);
}

int U16nToUtf8n(char* dst, int size, int* out, const WEQ_UC* src, int srcLen) {
  return Counted(dst, size, out, src, srcLen, ToUtf8);
}
int UcsnToUtf8n(char* dst, int size, int* out, const WEQ_UC* src, int srcLen) {
  return U16nToUtf8n(dst, size, out, src, srcLen);
}

int Utf8nToU16n(WEQ_UC* dst, int size, int* out, const char* src, int srcLen) {
  return Counted(dst, size, out, src, srcLen, FromUtf8);
}
int Utf8nToUcsn(WEQ_UC* dst, int size, int* out, const char* src, int srcLen) {
  return Utf8nToU16n(dst, size, out, src, srcLen);
}

int U16ToUtf8Range(void*, char** dst, char* dstEnd, const WEQ_UC** src, const WEQ_UC* srcEnd) {
  return ToUtf8(*src, srcEnd, *dst, dstEnd);
}
int UcsToUtf8Range(void* unused, char** dst, char* dstEnd, const WEQ_UC** src,
                   const WEQ_UC* srcEnd) {
  return U16ToUtf8Range(unused, dst, dstEnd, src, srcEnd);
}

int Utf8ToU16Range(void*, WEQ_UC** dst, WEQ_UC* dstEnd, const char** src, const char* srcEnd) {
  return FromUtf8(*src, srcEnd, *dst, dstEnd);
}
int Utf8ToUcsRange(void* unused, WEQ_UC** dst, WEQ_UC* dstEnd, const char** src,
                   const char* srcEnd) {
  return Utf8ToU16Range(unused, dst, dstEnd, src, srcEnd);
}
