// Formatted output over 16-bit text: one printf-style engine that reads a
// WEQ_UC format and writes into a bounded WEQ_UC buffer, an unbounded one,
// or a C stream as UTF-8.
//
// Arguments travel typed. The variadic entry points are templates that
// record each argument's own type next to its value, so a conversion prints
// the value the caller holds whatever its length modifier says: "%ld" with
// an int, "%d" with a 64-bit value or "%lu" with a size_t all print the
// number itself. Modifiers are parsed but do not choose the width that is
// read; signed conversions read the argument's bits as signed and unsigned
// ones as unsigned, at the argument's own width after C's promotions.
//
// A literal format is checked when the call is compiled: a bad
// specification, an argument whose type cannot serve its conversion, or a
// count of arguments that differs from what the format takes is a compile
// error naming the fault. A format that is a pointer is checked while it
// runs: a bad specification is a format error (-1 and a report on standard
// error); an argument that does not fit, or one that is missing, is a
// format error in builds without NDEBUG and prints "(bad argument)" or
// "(missing argument)" in release builds. Arguments beyond what a runtime
// format takes are ignored.
//
// %s and %p take WEQ_UC strings; there is no conversion of 8-bit text, and
// an 8-bit string under %s does not fit. Where the rules are not C's: '+'
// and ' ' give %o a sign; the '0' flag pads every conversion, %s and %c
// included, but not a number whose precision is below its width (so
// "%08.3f" pads with blanks) nor inf and nan; %p prints bare hexadecimal
// digits and "(nil)"; a NULL %s prints "(null)", cut by the precision; a
// negative '*' width pads nothing; every floating-point conversion, %a
// too, has 6 digits when no precision is given, and precisions beyond 1100
// are taken as 1100; %c of 0 stores a 0 unit (not written to a stream);
// %n stores the units delivered so far, and h, hh do not narrow a value.
//
// Bounded output never writes at or beyond the given size and always
// terminates within it (a size of 0 or a NULL buffer is never touched). A
// run that cuts any unit is known as cut: snprintfU16 then returns -1 with
// an empty buffer, snprintfTruncU16 returns the size with the cut text.
//
// Everything is reentrant; state lives in the call. Integer and string
// conversions allocate nothing; a floating-point text longer than 335 bytes
// takes one heap buffer.
#ifndef WEQU16_U16FMT_H
#define WEQU16_U16FMT_H

#include <stdint.h>
#include <stdio.h>

#include <type_traits>

#include "weq_types.h"

// ---------------------------------------------------------------------------
// The typed argument list.

// What an argument is, after C's promotions. Integers narrower than int
// become I32; float becomes F64 and long double is narrowed to it.
enum class U16FmtKind : uint8_t {
  kMissing = 0,  // no argument left
  kI32,          // signed, 32 bits
  kU32,          // unsigned, 32 bits
  kI64,          // signed, 64 bits
  kU64,          // unsigned, 64 bits
  kF64,          // double
  kStr16,        // pointer to a 0-terminated WEQ_UC string
  kIntPtr,       // int*, the target of %n (also a pointer for %p)
  kPtr,          // any other pointer, 8-bit strings included
  kNull,         // nullptr
};

struct U16FmtArg {
  union {
    int64_t i;
    uint64_t u;
    double d;
    const void* p;
    const WEQ_UC* s;
    int* n;
  };
  U16FmtKind kind;
};

// A view of the arguments of one call; the array outlives the call.
struct U16FmtArgs {
  const U16FmtArg* items;
  size_t count;
};

// ---------------------------------------------------------------------------
// Entry points over a typed argument list (for callers that forward their
// own arguments). Sizes and results count WEQ_UC units; a result never
// counts the terminator.

// The core. With a stream, formats to it as UTF-8 (buffer and size are not
// used) and returns the units written, -1 when a write fails. Without one,
// formats into buffer, whose capacity *size is in units (SIZE_MAX means
// unbounded): *size 0 returns 0 at once; a NULL buffer with *size > 0 sets
// errno EBADF and returns -1; a NULL size sets errno EINVAL and returns -1.
// Returns the units stored, size - 1 at most when the text was cut. A NULL
// format sets errno EINVAL and returns -1; a format error returns -1 with
// the text before the bad specification stored and terminated.
int vsnprintfU16(FILE* stream, WEQ_UC* buffer, size_t* size, const WEQ_UC* format,
                 U16FmtArgs args);

// Rules of snprintfU16 and snprintfTruncU16, below.
int vsnprintfFitU16(WEQ_UC* buffer, size_t size, const WEQ_UC* format, U16FmtArgs args);
int vsnprintfTruncU16(WEQ_UC* buffer, size_t size, const WEQ_UC* format, U16FmtArgs args);

// Formats to stream as UTF-8; units written, or -1 (errno EINVAL for a NULL
// stream or format; -1 also when a write fails).
int vfprintfU16(FILE* stream, const WEQ_UC* format, U16FmtArgs args);

// Unbounded: the caller vouches for the room. Units stored, or -1 (errno
// EINVAL for a NULL buffer or format).
int vsprintfU16(WEQ_UC* buffer, const WEQ_UC* format, U16FmtArgs args);

// Number of arguments that format takes ('*' counts as one), or -1 for a
// format error. Lets a caller hand the rest of one list to a second format.
int U16FmtArgsUsed(const WEQ_UC* format);

// ---------------------------------------------------------------------------
// The specification parser and the type rules. Shared by the engine and by
// the compile-time check, hence constexpr and here; callers use the entry
// points at the end of this header.

// Flag bits of one specification.
enum : uint8_t {
  kU16FlgMinus = 1,
  kU16FlgPlus = 2,
  kU16FlgSpace = 4,
  kU16FlgAlt = 8,
  kU16FlgZero = 16,
};

// Length modifier kinds.
enum : uint16_t {
  kU16LenNone = 0,
  kU16LenHH = 2,
  kU16LenH = 4,
  kU16LenL = 8,
  kU16LenLL = 16,
  kU16LenJ = 32,
  kU16LenZ = 64,
  kU16LenT = 128,
  kU16LenBigL = 256,
  kU16LenI64 = 512,
};

// Width or precision taken from the next argument.
inline constexpr int32_t kU16FmtStar = -2;

// One parsed specification (the text after a '%').
struct U16FmtSpec {
  uint8_t flags = 0;
  int32_t width = -1;      // -1 not given, kU16FmtStar from an argument
  int32_t precision = -1;  // the same; ".": 0
  uint16_t length = kU16LenNone;
  WEQ_UC conversion = 0;
};

constexpr bool U16FmtIsFlag(WEQ_UC c) {
  return c == u'-' || c == u'+' || c == u' ' || c == u'#' || c == u'0';
}

constexpr uint8_t U16FmtFlagBit(WEQ_UC c) {
  switch (c) {
    case u'-': return kU16FlgMinus;
    case u'+': return kU16FlgPlus;
    case u' ': return kU16FlgSpace;
    case u'#': return kU16FlgAlt;
    default: return kU16FlgZero;
  }
}

constexpr bool U16FmtIsConversion(WEQ_UC c) {
  switch (c) {
    case u'%': case u'A': case u'E': case u'F': case u'G': case u'X':
    case u'a': case u'c': case u'd': case u'e': case u'f': case u'g':
    case u'i': case u'n': case u'o': case u'p': case u's': case u'u':
    case u'x':
      return true;
    default:
      return false;
  }
}

// Decimal digits at *p into *out; false when the value passes INT32_MAX.
constexpr bool U16FmtDigits(const WEQ_UC*& p, int32_t& out) {
  int64_t v = 0;
  while (*p >= u'0' && *p <= u'9') {
    v = v * 10 + (*p - u'0');
    if (v > INT32_MAX) return false;
    ++p;
  }
  out = static_cast<int32_t>(v);
  return true;
}

// Parses the conversion specification that starts right after a '%'. On success p is
// left after the conversion character and true is returned; on a format
// error p is left at the offending unit (the terminator when the format
// ends inside the conversion specification).
constexpr bool U16FmtParseSpec(const WEQ_UC*& p, U16FmtSpec& spec) {
  spec = U16FmtSpec{};
  // At most four flag characters are taken; a fifth flag, or a repeated
  // one other than '-', is left for the next part and so rejected.
  for (int i = 0; i < 4 && U16FmtIsFlag(*p); ++i) {
    uint8_t bit = U16FmtFlagBit(*p);
    if ((spec.flags & bit) && bit != kU16FlgMinus) break;
    spec.flags |= bit;
    ++p;
  }
  if (*p == u'*') {
    spec.width = kU16FmtStar;
    ++p;
  } else if (*p >= u'1' && *p <= u'9') {
    if (!U16FmtDigits(p, spec.width)) return false;
  }
  if (*p == u'.') {
    ++p;
    if (*p == u'*') {
      spec.precision = kU16FmtStar;
      ++p;
    } else if (!U16FmtDigits(p, spec.precision)) {
      return false;
    }
  }
  switch (*p) {
    case u'h':
      if (p[1] == u'h') { spec.length = kU16LenHH; p += 2; } else { spec.length = kU16LenH; ++p; }
      break;
    case u'l':
      if (p[1] == u'l') { spec.length = kU16LenLL; p += 2; } else { spec.length = kU16LenL; ++p; }
      break;
    case u'j': spec.length = kU16LenJ; ++p; break;
    case u'z': spec.length = kU16LenZ; ++p; break;
    case u't': spec.length = kU16LenT; ++p; break;
    case u'L': spec.length = kU16LenBigL; ++p; break;
    case u'I':
      if (p[1] == u'6' && p[2] == u'4') { spec.length = kU16LenI64; p += 3; }
      break;
    default: break;
  }
  if (!U16FmtIsConversion(*p)) return false;
  spec.conversion = *p++;
  return true;
}

constexpr bool U16FmtIsInteger(U16FmtKind k) {
  return k == U16FmtKind::kI32 || k == U16FmtKind::kU32 || k == U16FmtKind::kI64 ||
         k == U16FmtKind::kU64;
}

// Whether an argument of kind k can serve conversion c ('*' for a width or
// precision taken from the argument list).
constexpr bool U16FmtFits(WEQ_UC c, U16FmtKind k) {
  switch (c) {
    case u'd': case u'i': case u'u': case u'x': case u'X': case u'o': case u'c': case u'*':
      return U16FmtIsInteger(k);
    case u'f': case u'F': case u'e': case u'E': case u'g': case u'G': case u'a': case u'A':
      return k == U16FmtKind::kF64;
    case u's':
      return k == U16FmtKind::kStr16 || k == U16FmtKind::kNull;
    case u'n':
      return k == U16FmtKind::kIntPtr || k == U16FmtKind::kNull;
    case u'p':
      return k == U16FmtKind::kStr16 || k == U16FmtKind::kIntPtr || k == U16FmtKind::kPtr ||
             k == U16FmtKind::kNull;
    default:
      return false;
  }
}

// Walks the specifications of a format and calls take(c) for each argument
// it takes, in order: '*' for a width or precision from the list, else the
// conversion character. Returns false at the first format error.
template <class Take>
constexpr bool U16FmtWalk(const WEQ_UC* p, Take&& take) {
  while (*p) {
    if (*p++ != u'%') continue;
    U16FmtSpec spec;
    if (!U16FmtParseSpec(p, spec)) return false;
    if (spec.width == kU16FmtStar && !take(u'*')) return true;
    if (spec.precision == kU16FmtStar && !take(u'*')) return true;
    if (spec.conversion != u'%' && !take(spec.conversion)) return true;
  }
  return true;
}

// Result of checking a format against the kinds of its arguments.
enum class U16FmtCheck : uint8_t { kOk, kBadSpec, kNoFit, kTooFew, kTooMany };

constexpr U16FmtCheck U16FmtCheckKinds(const WEQ_UC* p, const U16FmtKind* kinds, size_t n) {
  size_t next = 0;
  U16FmtCheck r = U16FmtCheck::kOk;
  // take() returning false ends the walk at the first misfit.
  bool parsed = U16FmtWalk(p, [&](WEQ_UC c) {
    if (next >= n) r = U16FmtCheck::kTooFew;
    else if (!U16FmtFits(c, kinds[next++])) r = U16FmtCheck::kNoFit;
    return r == U16FmtCheck::kOk;
  });
  if (!parsed) return U16FmtCheck::kBadSpec;
  if (r != U16FmtCheck::kOk) return r;
  return next == n ? U16FmtCheck::kOk : U16FmtCheck::kTooMany;
}

// ---------------------------------------------------------------------------
// Capturing argument types.

template <class T>
constexpr U16FmtKind U16FmtKindOf() {
  using U = std::remove_cv_t<T>;
  if constexpr (std::is_enum_v<U>) {
    return U16FmtKindOf<std::underlying_type_t<U>>();
  } else if constexpr (std::is_same_v<U, bool>) {
    return U16FmtKind::kI32;
  } else if constexpr (std::is_integral_v<U>) {
    if constexpr (sizeof(U) < sizeof(int)) return U16FmtKind::kI32;  // promoted to int
    else if constexpr (sizeof(U) == 4) return std::is_signed_v<U> ? U16FmtKind::kI32 : U16FmtKind::kU32;
    else {
      static_assert(sizeof(U) == 8, "integer type not supported by formatted output");
      return std::is_signed_v<U> ? U16FmtKind::kI64 : U16FmtKind::kU64;
    }
  } else if constexpr (std::is_floating_point_v<U>) {
    return U16FmtKind::kF64;
  } else if constexpr (std::is_same_v<U, std::nullptr_t>) {
    return U16FmtKind::kNull;
  } else if constexpr (std::is_pointer_v<U>) {
    using P = std::remove_cv_t<std::remove_pointer_t<U>>;
    if constexpr (std::is_same_v<P, WEQ_UC>) return U16FmtKind::kStr16;
    else if constexpr (std::is_same_v<std::remove_pointer_t<U>, int>) return U16FmtKind::kIntPtr;
    else return U16FmtKind::kPtr;
  } else {
    static_assert(sizeof(U) == 0, "argument type not supported by formatted output");
    return U16FmtKind::kMissing;
  }
}

template <class T>
inline U16FmtArg U16FmtMakeArg(const T& v) {
  constexpr U16FmtKind k = U16FmtKindOf<std::decay_t<T>>();
  U16FmtArg a;
  a.kind = k;
  if constexpr (k == U16FmtKind::kI32 || k == U16FmtKind::kI64) {
    a.i = static_cast<int64_t>(v);
  } else if constexpr (k == U16FmtKind::kU32 || k == U16FmtKind::kU64) {
    a.u = static_cast<uint64_t>(v);
  } else if constexpr (k == U16FmtKind::kF64) {
    a.d = static_cast<double>(v);
  } else if constexpr (k == U16FmtKind::kStr16) {
    a.s = v;
  } else if constexpr (k == U16FmtKind::kIntPtr) {
    a.n = v;
  } else if constexpr (k == U16FmtKind::kNull) {
    a.p = nullptr;
  } else {
    a.p = (const void*)(v);  // any object or function pointer, cv dropped
  }
  return a;
}

// A typed list built for a forwarding call; the U16FmtArgs taken from it
// is valid while the object lives. A writer of its own keeps the check and
// the types by taking the same parameters as the entry points below:
//   template <class... A>
//   void LogLine(U16Format<A...> format, const A&... args) {
//     LogLineV(format.str, U16FmtMakeArgs(args...).args());
//   }
template <size_t N>
struct U16FmtArgList {
  U16FmtArg items[N + 1];
  U16FmtArgs args() const { return U16FmtArgs{items, N}; }
};

template <class... A>
inline U16FmtArgList<sizeof...(A)> U16FmtMakeArgs(const A&... args) {
  return U16FmtArgList<sizeof...(A)>{{U16FmtMakeArg(args)...}};
}

// Named so that the compiler's message says what is wrong with a literal
// format; never defined, only reached when the check fails.
void U16FormatError_bad_conversion_specification();
void U16FormatError_argument_type_does_not_fit_its_conversion();
void U16FormatError_too_few_arguments_for_the_format();
void U16FormatError_more_arguments_than_the_format_takes();

// A format as the entry points take it: a literal (a constant array of
// WEQ_UC) is checked at compile time against the kinds K; a pointer, or a
// non-constant array, is taken as it is and checked while it runs. A
// constant array that is not constexpr cannot be checked: pass it as a
// pointer (+array).
template <U16FmtKind... K>
struct U16FmtStr {
  const WEQ_UC* str;

  template <size_t N>
  consteval U16FmtStr(const WEQ_UC (&s)[N]) : str(s) {
    constexpr U16FmtKind kinds[sizeof...(K) + 1] = {K..., U16FmtKind::kMissing};
    switch (U16FmtCheckKinds(s, kinds, sizeof...(K))) {
      case U16FmtCheck::kOk: break;
      case U16FmtCheck::kBadSpec: U16FormatError_bad_conversion_specification(); break;
      case U16FmtCheck::kNoFit: U16FormatError_argument_type_does_not_fit_its_conversion(); break;
      case U16FmtCheck::kTooFew: U16FormatError_too_few_arguments_for_the_format(); break;
      case U16FmtCheck::kTooMany: U16FormatError_more_arguments_than_the_format_takes(); break;
    }
  }

  template <class P>
    requires(std::is_same_v<std::remove_cvref_t<P>, const WEQ_UC*> ||
             std::is_same_v<std::remove_cvref_t<P>, WEQ_UC*> ||
             (std::is_array_v<std::remove_reference_t<P>> &&
              std::is_same_v<std::remove_extent_t<std::remove_reference_t<P>>, WEQ_UC>))
  constexpr U16FmtStr(P&& s) : str(s) {}

  constexpr U16FmtStr(std::nullptr_t) : str(nullptr) {}
};

// The format type of a call with arguments A.
template <class... A>
using U16Format = U16FmtStr<U16FmtKindOf<std::decay_t<A>>()...>;

// ---------------------------------------------------------------------------
// The variadic entry points.

// Formats into buffer (size units). Returns the units stored when the whole
// text fits with its terminator; otherwise (cut, format error, size 0, NULL
// buffer or format) returns -1 and leaves an empty buffer when it has one.
template <class... A>
inline int snprintfU16(WEQ_UC* buffer, size_t size, U16Format<A...> format, const A&... args) {
  return vsnprintfFitU16(buffer, size, format.str, U16FmtMakeArgs(args...).args());
}

// As snprintfU16, but a cut text stays, terminated in the last unit, and
// the result is size. A format error keeps the text before the bad
// specification and returns -1. Size 0 returns 0 and touches nothing.
template <class... A>
inline int snprintfTruncU16(WEQ_UC* buffer, size_t size, U16Format<A...> format, const A&... args) {
  return vsnprintfTruncU16(buffer, size, format.str, U16FmtMakeArgs(args...).args());
}

template <class... A>
inline int fprintfU16(FILE* stream, U16Format<A...> format, const A&... args) {
  return vfprintfU16(stream, format.str, U16FmtMakeArgs(args...).args());
}

template <class... A>
inline int sprintfU16(WEQ_UC* buffer, U16Format<A...> format, const A&... args) {
  return vsprintfU16(buffer, format.str, U16FmtMakeArgs(args...).args());
}

#endif
