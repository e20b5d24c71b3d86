#include "i18n/wequ16/u16str.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "flat/nlsui.h"

#include "i18n/wequ16/u16ebcdic.inc"

std::atomic<uint32_t> A7SubstCount{0};

namespace {

// The bounded string algorithms, written once for 16-bit units and bytes.
// The scan tests the bound once per eight units and each unit only after
// the one before it was not the terminator, so that it never reads beyond
// the terminator, as a word-at-a-time scan would.
template <class C>
size_t BoundedLen(const C* s, size_t max) {
  size_t n = 0;
  for (; max - n >= 8; n += 8) {
    if (s[n] == 0) return n;
    if (s[n + 1] == 0) return n + 1;
    if (s[n + 2] == 0) return n + 2;
    if (s[n + 3] == 0) return n + 3;
    if (s[n + 4] == 0) return n + 4;
    if (s[n + 5] == 0) return n + 5;
    if (s[n + 6] == 0) return n + 6;
    if (s[n + 7] == 0) return n + 7;
  }
  while (n < max && s[n] != 0) ++n;
  return n;
}

template <class C>
int CopyS(C* dst, size_t size, const C* src) {
  if (size == 0) return 0;
  if (dst == nullptr) return EINVAL;
  if (src == nullptr) {
    dst[0] = 0;
    return EINVAL;
  }
  size_t n = BoundedLen(src, size);
  if (n == size) {
    dst[0] = 0;
    return ERANGE;
  }
  memmove(dst, src, (n + 1) * sizeof(C));
  return 0;
}

// Appends at most count units; strcat_s is the unbounded count.
template <class C>
int CatS(C* dst, size_t size, const C* src, size_t count) {
  if (dst == nullptr) return size == 0 ? ERANGE : EINVAL;
  size_t used = BoundedLen(dst, size);
  if (used == size) return ERANGE;
  if (src == nullptr) {
    dst[0] = 0;
    return EINVAL;
  }
  size_t room = size - used;
  // n == room means src holds at least room units; otherwise n is len(src).
  size_t n = BoundedLen(src, room);
  if (count >= room && n == room) {
    dst[0] = 0;
    return ERANGE;
  }
  n = std::min(count, n);
  memmove(dst + used, src, n * sizeof(C));
  dst[used + n] = 0;
  return 0;
}

template <class T>
int MemCopyS(T* dst, size_t size, const T* src, size_t n) {
  if (n <= size) {
    if (n == 0) return 0;
    if (dst == nullptr) return EINVAL;
    if (src == nullptr) {
      memset(dst, 0, size * sizeof(T));
      return EINVAL;
    }
    memmove(dst, src, n * sizeof(T));
    return 0;
  }
  if (size > 0 && dst != nullptr) memset(dst, 0, size * sizeof(T));
  return ERANGE;
}

bool IsDelimiter(WEQ_UC c, const WEQ_UC* delimiters) {
  for (const WEQ_UC* d = delimiters; *d != 0; ++d)
    if (*d == c) return true;
  return false;
}

template <class C>
C* FindFirst(C* s, WEQ_UC c) {
  for (;; ++s) {
    if (*s == c) return s;
    if (*s == 0) return nullptr;
  }
}

template <class C>
C* FindLast(C* s, WEQ_UC c) {
  C* last = nullptr;
  for (;; ++s) {
    if (*s == c) last = s;
    if (*s == 0) return last;
  }
}

template <class C>
C* FindText(C* hay, const WEQ_UC* needle) {
  if (needle[0] == 0) return hay;
  for (; *hay != 0; ++hay) {
    if (*hay != needle[0]) continue;
    size_t i = 1;
    while (needle[i] != 0 && hay[i] == needle[i]) ++i;
    if (needle[i] == 0) return hay;
  }
  return nullptr;
}

constexpr char kA7Subst = '#';
constexpr WEQ_RAW kEbcdicSubst = 0x7B;  // '#' in code page 500

}  // namespace

size_t strnlenU16(const WEQ_UC* s, size_t max) { return BoundedLen(s, max); }
int strcpy_sU16(WEQ_UC* dst, size_t size, const WEQ_UC* src) { return CopyS(dst, size, src); }
int strcat_sU16(WEQ_UC* dst, size_t size, const WEQ_UC* src) {
  return CatS(dst, size, src, SIZE_MAX);
}
size_t strnlenR(const char* s, size_t max) { return BoundedLen(s, max); }
int strcpy_sR(char* dst, size_t size, const char* src) { return CopyS(dst, size, src); }
int strcat_sR(char* dst, size_t size, const char* src) { return CatS(dst, size, src, SIZE_MAX); }

int strncpy_sU16(WEQ_UC* dst, size_t size, const WEQ_UC* src, size_t count) {
  if (size == 0) return 0;
  if (dst == nullptr) return EINVAL;
  if (src == nullptr) {
    dst[0] = 0;
    return EINVAL;
  }
  size_t n = BoundedLen(src, std::min(count, size - 1));
  memmove(dst, src, n * sizeof(WEQ_UC));
  dst[n] = 0;
  return 0;
}

int strncat_sU16(WEQ_UC* dst, size_t size, const WEQ_UC* src, size_t count) {
  return CatS(dst, size, src, count);
}

WEQ_UC* strtok_sU16(WEQ_UC* str, const WEQ_UC* delimiters, WEQ_UC** context) {
  if (context == nullptr || delimiters == nullptr) {
    errno = EINVAL;
    return nullptr;
  }
  WEQ_UC* p = str != nullptr ? str : *context;
  if (p == nullptr) {
    errno = EINVAL;
    return nullptr;
  }
  while (*p != 0 && IsDelimiter(*p, delimiters)) ++p;
  if (*p == 0) {
    *context = nullptr;
    return nullptr;
  }
  WEQ_UC* token = p;
  while (*p != 0 && !IsDelimiter(*p, delimiters)) ++p;
  if (*p != 0) {
    *p = 0;
    *context = p + 1;
  } else {
    *context = nullptr;
  }
  return token;
}

WEQ_UC* strtok_rU(WEQ_UC* str, const WEQ_UC* delimiters, WEQ_UC** context) {
  return strtok_sU16(str, delimiters, context);
}

int memcpy_sR(void* dst, size_t size, const void* src, size_t n) {
  return MemCopyS(static_cast<WEQ_RAW*>(dst), size, static_cast<const WEQ_RAW*>(src), n);
}
int memmove_sR(void* dst, size_t size, const void* src, size_t n) {
  return MemCopyS(static_cast<WEQ_RAW*>(dst), size, static_cast<const WEQ_RAW*>(src), n);
}
int memcpy_sU16(WEQ_UC* dst, size_t size, const WEQ_UC* src, size_t n) {
  return MemCopyS(dst, size, src, n);
}

WEQ_UC* ThrAsctime(const struct tm* t, WEQ_UC* buf) {
  if (t == nullptr || buf == nullptr) return nullptr;
  // asctime_r writes at most 26 bytes and fails when the year does not fit.
  char text[32];
  if (asctime_r(t, text) == nullptr) return nullptr;
  size_t n = strnlen(text, 26);
  if (n == 26) return nullptr;
  for (size_t i = 0; i <= n; ++i) buf[i] = static_cast<unsigned char>(text[i]);
  return buf;
}

size_t strlenU(const WEQ_UC* s) { return BoundedLen(s, SIZE_MAX); }

int strcmpU(const WEQ_UC* a, const WEQ_UC* b) {
  while (*a != 0 && *a == *b) ++a, ++b;
  return static_cast<int>(*a) - static_cast<int>(*b);
}

int strncmpU(const WEQ_UC* a, const WEQ_UC* b, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (a[i] != b[i]) return static_cast<int>(a[i]) - static_cast<int>(b[i]);
    if (a[i] == 0) return 0;
  }
  return 0;
}

int strncasecmpU(const WEQ_UC* a, const WEQ_UC* b, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (a[i] != b[i]) {
      int d = toupperU(a[i]) - toupperU(b[i]);
      if (d != 0) return d;
    }
    if (a[i] == 0) return 0;
  }
  return 0;
}

int strcasecmpU(const WEQ_UC* a, const WEQ_UC* b) { return strncasecmpU(a, b, SIZE_MAX); }

const WEQ_UC* strchrU(const WEQ_UC* s, WEQ_UC c) { return FindFirst(s, c); }
WEQ_UC* strchrU(WEQ_UC* s, WEQ_UC c) { return FindFirst(s, c); }
const WEQ_UC* strrchrU(const WEQ_UC* s, WEQ_UC c) { return FindLast(s, c); }
WEQ_UC* strrchrU(WEQ_UC* s, WEQ_UC c) { return FindLast(s, c); }
const WEQ_UC* strstrU(const WEQ_UC* hay, const WEQ_UC* needle) { return FindText(hay, needle); }
WEQ_UC* strstrU(WEQ_UC* hay, const WEQ_UC* needle) { return FindText(hay, needle); }

WEQ_UC* strdupU(const WEQ_UC* s) {
  if (s == nullptr) {
    errno = EINVAL;
    return nullptr;
  }
  size_t bytes = (strlenU(s) + 1) * sizeof(WEQ_UC);
  auto* copy = static_cast<WEQ_UC*>(malloc(bytes));
  if (copy == nullptr) {
    errno = ENOMEM;
    return nullptr;
  }
  memcpy(copy, s, bytes);
  return copy;
}

WEQ_UC* memsetU(WEQ_UC* dst, WEQ_UC c, size_t n) {
  std::fill_n(dst, n, c);
  return dst;
}

namespace {

bool IsBlank(WEQ_UC c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Value of an ASCII digit or letter in bases up to 36; 99 for anything else.
int DigitValue(WEQ_UC c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'z') return c - 'a' + 10;
  if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
  return 99;
}

}  // namespace

int32_t strtolU(const WEQ_UC* s, WEQ_UC** end, int base) {
  if (end != nullptr) *end = const_cast<WEQ_UC*>(s);
  if (s == nullptr || base < 0 || base == 1 || base > 36) {
    errno = EINVAL;
    return 0;
  }
  const WEQ_UC* p = s;
  while (IsBlank(*p)) ++p;
  bool negative = *p == '-';
  if (*p == '-' || *p == '+') ++p;
  // "0x" counts as a prefix only when a hexadecimal digit follows it;
  // otherwise the number is the 0 alone.
  if ((base == 0 || base == 16) && p[0] == '0' && (p[1] == 'x' || p[1] == 'X') &&
      DigitValue(p[2]) < 16) {
    p += 2;
    base = 16;
  } else if (base == 0) {
    base = p[0] == '0' ? 8 : 10;
  }
  const uint64_t limit = negative ? uint64_t{1} << 31 : (uint64_t{1} << 31) - 1;
  const WEQ_UC* digits = p;
  uint64_t value = 0;
  bool overflow = false;
  for (int d; (d = DigitValue(*p)) < base; ++p) {
    if (overflow) continue;
    value = value * static_cast<unsigned>(base) + static_cast<unsigned>(d);
    overflow = value > limit;
  }
  if (p == digits) return 0;
  if (end != nullptr) *end = const_cast<WEQ_UC*>(p);
  if (overflow) {
    errno = ERANGE;
    return negative ? INT32_MIN : INT32_MAX;
  }
  return static_cast<int32_t>(negative ? -static_cast<int64_t>(value) : static_cast<int64_t>(value));
}

// --- 7-bit and EBCDIC -------------------------------------------------------

void A7nToUcsn(WEQ_UC* dst, const char* src, int n) {
  for (int i = 0; i < n; ++i) dst[i] = static_cast<unsigned char>(src[i]);
}
void A7nToU16n(WEQ_UC* dst, const char* src, int n) { A7nToUcsn(dst, src, n); }

void A7sToUcs(WEQ_UC* dst, const char* src) {
  size_t i = 0;
  do {
    dst[i] = static_cast<unsigned char>(src[i]);
  } while (src[i++] != 0);
}
void A7sToU16s(WEQ_UC* dst, const char* src) { A7sToUcs(dst, src); }

void UcsnToA7n(char* dst, const WEQ_UC* src, int n) {
  for (int i = 0; i < n; ++i) dst[i] = src[i] < 0x80 ? static_cast<char>(src[i]) : kA7Subst;
}

void UcsToA7s(char* dst, const WEQ_UC* src) {
  size_t i = 0;
  do {
    dst[i] = src[i] < 0x80 ? static_cast<char>(src[i]) : kA7Subst;
  } while (src[i++] != 0);
}

char UcsCharToA7(WEQ_UC c) {
  if (c < 0x80) return static_cast<char>(c);
  A7SubstCount.fetch_add(1, std::memory_order_relaxed);
  return kA7Subst;
}

int U16nToA7nStrict(char* dst, const WEQ_UC* src, int n) {
  for (int i = 0; i < n; ++i) {
    if (src[i] > 0x7F) return 1;
    dst[i] = static_cast<char>(src[i]);
  }
  return 0;
}

void U16sToA7sSubst(char* dst, const WEQ_UC* src, WEQ_UC subst) {
  const char other = subst < 0x80 ? static_cast<char>(subst) : kA7Subst;
  size_t i = 0;
  do {
    dst[i] = src[i] < 0x80 ? static_cast<char>(src[i]) : other;
  } while (src[i++] != 0);
}

WEQ_RAW U16CharToEbcdic(WEQ_UC c) { return c <= 0xFF ? UcsToEbcdicTable[c] : kEbcdicSubst; }

void EbcdicnToU16n(WEQ_UC* dst, const WEQ_RAW* src, int n) {
  for (int i = 0; i < n; ++i) dst[i] = EbcdicToUcsTable[src[i]];
}

int U16nToEbcdicnStrict(WEQ_RAW* dst, const WEQ_UC* src, int n) {
  for (int i = 0; i < n; ++i) {
    if (src[i] > 0xFF) return 1;
    dst[i] = UcsToEbcdicTable[src[i]];
  }
  return 0;
}

void A7ToEbcdicInPlace(WEQ_RAW* buf, int n) {
  for (int i = 0; i < n; ++i) buf[i] = buf[i] < 0x80 ? UcsToEbcdicTable[buf[i]] : kEbcdicSubst;
}

void EbcdicToA7InPlace(WEQ_RAW* buf, int n) {
  for (int i = 0; i < n; ++i) {
    WEQ_UC u = EbcdicToUcsTable[buf[i]];
    buf[i] = u < 0x80 ? static_cast<WEQ_RAW>(u) : static_cast<WEQ_RAW>(kA7Subst);
  }
}
