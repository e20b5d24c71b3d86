#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <charconv>
#include <cmath>
#include <memory>
#include <new>

#include "i18n/wequ16/u16file.h"
#include "i18n/wequ16/u16fmt_int.h"
#include "i18n/wequ16/u16str.h"

namespace {

std::atomic<bool> g_strict_args{
#ifdef NDEBUG
    false
#else
    true
#endif
};

constexpr WEQ_UC kLowerDigits[] = u"0123456789abcdef";
constexpr WEQ_UC kUpperDigits[] = u"0123456789ABCDEF";
constexpr WEQ_UC kNil[] = u"(nil)";
constexpr WEQ_UC kNull[] = u"(null)";
constexpr WEQ_UC kBadArgument[] = u"(bad argument)";
constexpr WEQ_UC kMissingArgument[] = u"(missing argument)";

constexpr size_t Len(const WEQ_UC* s) {
  size_t n = 0;
  while (s[n]) ++n;
  return n;
}

bool IsHighSurrogate(WEQ_UC c) { return c >= 0xD800 && c <= 0xDBFF; }

// A source of units for the sinks: copy(dst, from, k) writes its units
// from..from+k to dst.
auto Units(const WEQ_UC* p) {
  return [p](WEQ_UC* d, size_t from, size_t k) {
    if (k <= 8) {  // most runs and numbers: cheaper than a call
      for (size_t i = 0; i < k; ++i) d[i] = p[from + i];
    } else {
      memcpy(d, p + from, k * sizeof(WEQ_UC));
    }
  };
}

auto Repeat(WEQ_UC c) {
  return [c](WEQ_UC* d, size_t, size_t k) {
    for (size_t i = 0; i < k; ++i) d[i] = c;
  };
}

auto Widen(const char* p) {
  return [p](WEQ_UC* d, size_t from, size_t k) {
    for (size_t i = 0; i < k; ++i) d[i] = static_cast<unsigned char>(p[from + i]);
  };
}

template <class Sink>
bool Put(Sink& out, const WEQ_UC* p, size_t n) { return out.Store(n, Units(p)); }
template <class Sink>
bool Fill(Sink& out, WEQ_UC c, size_t n) { return out.Store(n, Repeat(c)); }
template <class Sink>
bool Narrow(Sink& out, const char* p, size_t n) { return out.Store(n, Widen(p)); }

// The pieces of one converted value, delivered in this order: padding
// spaces, sign, prefix, padding zeros, precision zeros, text, trailing
// padding.
struct Piece {
  WEQ_UC sign = 0;
  const WEQ_UC* prefix = nullptr;
  size_t prefix_len = 0;
  size_t zeros = 0;
  const WEQ_UC* wide = nullptr;  // the text, as 16-bit units ...
  const char* narrow = nullptr;  // ... or as 8-bit text (floating point)
  size_t len = 0;
  bool single = false;  // %c: one unit, delivered on its own
  WEQ_UC unit = 0;
  bool text_lost = false;  // the text could not be built: deliver up to the zeros
  bool zero_pad = false;
};

template <class Sink>
bool Deliver(Sink& out, uint8_t flags, int64_t width, const Piece& pc) {
  int64_t body = static_cast<int64_t>(pc.prefix_len) + (pc.sign ? 1 : 0);
  if (!pc.text_lost) {
    body += static_cast<int64_t>(pc.zeros) + static_cast<int64_t>(pc.single ? 1 : pc.len);
  }
  size_t pad = width > body ? static_cast<size_t>(width - body) : 0;
  bool left = flags & kU16FlgMinus;
  if (!left && !pc.zero_pad && pad && !Fill(out, u' ', pad)) return false;
  if (pc.sign && !out.Unit(pc.sign)) return false;
  if (pc.prefix_len && !Put(out, pc.prefix, pc.prefix_len)) return false;
  if (!left && pc.zero_pad && pad && !Fill(out, u'0', pad)) return false;
  if (pc.text_lost) return true;
  if (pc.zeros && !Fill(out, u'0', pc.zeros)) return false;
  if (pc.single) {
    if (!out.Unit(pc.unit)) return false;
  } else if (pc.narrow) {
    if (!Narrow(out, pc.narrow, pc.len)) return false;
  } else if (pc.len && !Put(out, pc.wide, pc.len)) {
    return false;
  }
  if (left && pad && !Fill(out, u' ', pad)) return false;
  return true;
}

// Arguments are taken in order; running past the end yields NULL.
struct ArgCursor {
  U16FmtArgs list;
  size_t next = 0;
  const U16FmtArg* Take() { return next < list.count ? &list.items[next++] : nullptr; }
};

int64_t SignedValue(const U16FmtArg& a) {
  switch (a.kind) {
    case U16FmtKind::kU32: return static_cast<int32_t>(static_cast<uint32_t>(a.u));
    case U16FmtKind::kU64: return static_cast<int64_t>(a.u);
    default: return a.i;
  }
}

uint64_t UnsignedValue(const U16FmtArg& a) {
  switch (a.kind) {
    case U16FmtKind::kI32: return static_cast<uint32_t>(a.i);
    case U16FmtKind::kI64: return static_cast<uint64_t>(a.i);
    default: return a.u;
  }
}

int32_t ClampToInt(const U16FmtArg& a) {
  if (a.kind == U16FmtKind::kU32 || a.kind == U16FmtKind::kU64) {
    return a.u > INT32_MAX ? INT32_MAX : static_cast<int32_t>(a.u);
  }
  if (a.i > INT32_MAX) return INT32_MAX;
  if (a.i < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(a.i);
}

// Digits of an integer conversion, right-aligned in a small array.
struct Digits {
  WEQ_UC buf[24];
  WEQ_UC* begin = buf + 24;
  size_t count() const { return static_cast<size_t>(buf + 24 - begin); }

  // The base is a constant so that the division becomes a multiplication
  // or a shift.
  template <unsigned kBase>
  void Of(uint64_t v, const WEQ_UC* table) {
    do {
      *--begin = table[v % kBase];
      v /= kBase;
    } while (v);
  }

  void Of(uint64_t v, unsigned base, const WEQ_UC* table) {
    switch (base) {
      case 8: Of<8>(v, table); break;
      case 16: Of<16>(v, table); break;
      default: Of<10>(v, table); break;
    }
  }
};

// The C library's text of a floating-point magnitude. strfromd, which
// skips the parsing of a whole printf format, serves every form but '#'.
class FloatFormat {
 public:
  FloatFormat(bool alt, char conv, int precision) : alt_(alt), conv_(conv), precision_(precision) {
    char* f = format_;
    *f++ = '%';
    if (alt) *f++ = '#';
    *f++ = '.';
    if (alt) {
      *f++ = '*';
    } else {
      char digits[12];
      char* d = digits + sizeof digits;
      int v = precision;
      do {
        *--d = static_cast<char>('0' + v % 10);
        v /= 10;
      } while (v);
      while (d != digits + sizeof digits) *f++ = *d++;
    }
    *f++ = conv;
    *f = 0;
  }

  // As snprintf: the length of the whole text, of which at most size - 1
  // bytes and a terminator are stored.
  int Render(char* buf, size_t size, double v) const {
    if (size > 1 && !alt_ && Shortcut(buf, size - 1, v)) return static_cast<int>(strlen(buf));
    return alt_ ? snprintf(buf, size, format_, precision_, v) : strfromd(buf, size, format_, v);
  }

 private:
  // %f, %e and %g through std::to_chars, which gives the C library's text
  // (exact decimal value, ties to even) without parsing a format: true
  // when the text, terminated, fits in room + 1 bytes.
  bool Shortcut(char* buf, size_t room, double v) const {
    std::chars_format form;
    char lower;
    switch (conv_) {
      case 'f': case 'F': form = std::chars_format::fixed; break;
      case 'e': case 'E': form = std::chars_format::scientific; break;
      case 'g': case 'G': form = std::chars_format::general; break;
      default: return false;
    }
    lower = static_cast<char>(conv_ | 0x20);
    const std::to_chars_result r = std::to_chars(buf, buf + room, v, form, precision_);
    if (r.ec != std::errc()) return false;
    *r.ptr = 0;
    if (conv_ != lower) {
      for (char* c = buf; c != r.ptr; ++c)
        if (*c >= 'a' && *c <= 'z') *c = static_cast<char>(*c - 0x20);
    }
    return true;
  }

  bool alt_;
  char conv_;
  int precision_;
  char format_[24];
};

// One conversion. Returns 1 to go on, 0 when the sink stops the run, -1 for
// a format error (already reported).
template <class Sink>
int Convert(Sink& out, const U16FmtSpec& spec, ArgCursor& args, const WEQ_UC* format) {
  const bool strict = g_strict_args.load(std::memory_order_relaxed);
  const WEQ_UC conv = spec.conversion;

  // A width or precision from the list; one that does not fit counts as
  // not given, or is a format error under strict arguments.
  bool failed = false;
  auto star = [&](int32_t given) -> int32_t {
    if (given != kU16FmtStar) return given;
    const U16FmtArg* a = args.Take();
    if (a && U16FmtFits(u'*', a->kind)) return ClampToInt(*a);
    if (strict) {
      U16ReportFormatError(format, u'*', kU16FmtModule, __LINE__);
      failed = true;
    }
    return -1;
  };
  int64_t width = star(spec.width);
  int32_t precision = star(spec.precision);
  if (failed) return -1;
  if (precision < 0) precision = -1;  // a negative precision counts as none

  Piece pc;
  pc.zero_pad = (spec.flags & kU16FlgZero) && !(width != -1 && precision != -1 && precision < width);
  const bool alt = spec.flags & kU16FlgAlt;

  if (conv == u'%') {
    pc.wide = u"%";
    pc.len = 1;
    return Deliver(out, spec.flags, width, pc) ? 1 : 0;
  }

  const U16FmtArg* a = args.Take();
  if (!a || !U16FmtFits(conv, a->kind)) {
    if (strict) {
      U16ReportFormatError(format, conv, kU16FmtModule, __LINE__);
      return -1;
    }
    pc.wide = a ? kBadArgument : kMissingArgument;
    pc.len = Len(pc.wide);
    return Deliver(out, spec.flags, width, pc) ? 1 : 0;
  }

  auto sign_of = [&](bool negative) -> WEQ_UC {
    if (negative) return u'-';
    if (spec.flags & kU16FlgPlus) return u'+';
    if (spec.flags & kU16FlgSpace) return u' ';
    return 0;
  };

  Digits dg;
  switch (conv) {
    case u'd': case u'i': case u'u': case u'x': case u'X': case u'o': case u'p': {
      uint64_t mag;
      unsigned base = 10;
      const WEQ_UC* table = kLowerDigits;
      if (conv == u'd' || conv == u'i') {
        int64_t v = SignedValue(*a);
        mag = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
        pc.sign = sign_of(v < 0);
      } else if (conv == u'p') {
        if (a->p == nullptr) {
          pc.wide = kNil;
          pc.len = Len(kNil);
          break;
        }
        mag = reinterpret_cast<uintptr_t>(a->p);
        base = 16;
      } else {
        mag = UnsignedValue(*a);
        if (conv == u'o') {
          base = 8;
          pc.sign = sign_of(false);
        } else if (conv != u'u') {
          base = 16;
          if (conv == u'X') table = kUpperDigits;
        }
      }
      // The value 0 with precision 0 has no digits, except that "%#o" keeps
      // its one "0".
      if (mag != 0 || precision != 0) {
        dg.Of(mag, base, table);
      } else if (conv == u'o' && alt) {
        *--dg.begin = u'0';
      }
      size_t nd = dg.count();
      if (precision > 0 && static_cast<size_t>(precision) > nd) {
        pc.zeros = static_cast<size_t>(precision) - nd;
        if (conv == u'o' && alt) --pc.zeros;  // the prefix "0" is one of them
      }
      bool is_zero_text = pc.zeros == 0 && (nd == 0 || (nd == 1 && dg.begin[0] == u'0'));
      if (alt && !is_zero_text) {
        if (conv == u'x') { pc.prefix = u"0x"; pc.prefix_len = 2; }
        else if (conv == u'X') { pc.prefix = u"0X"; pc.prefix_len = 2; }
        else if (conv == u'o') { pc.prefix = u"0"; pc.prefix_len = 1; }
      }
      pc.wide = dg.begin;
      pc.len = nd;
      break;
    }
    case u'c':
      pc.single = true;
      pc.unit = static_cast<WEQ_UC>(UnsignedValue(*a));
      break;
    case u's': {
      const WEQ_UC* s = a->kind == U16FmtKind::kNull || a->s == nullptr ? kNull : a->s;
      pc.wide = s;
      if (precision >= 0) {
        pc.len = strnlenU16(s, static_cast<size_t>(precision));
      } else {
        while (s[pc.len]) ++pc.len;
      }
      break;
    }
    case u'n':
      if (a->kind == U16FmtKind::kIntPtr && a->n) {
        size_t c = out.Count();
        *a->n = c > INT_MAX ? INT_MAX : static_cast<int>(c);
      }
      return 1;
    default: {  // floating point
      double v = a->d;
      pc.sign = sign_of(std::signbit(v));
      double mag = std::fabs(v);
      if (!std::isfinite(mag)) pc.zero_pad = false;  // "inf" and "nan" pad with spaces
      int prec = precision < 0 ? 6 : precision;
      if (prec > kU16FmtMaxFloatPrecision) prec = kU16FmtMaxFloatPrecision;
      FloatFormat cf(alt, static_cast<char>(conv), prec);
      char small[336];
      int n = cf.Render(small, sizeof small, mag);
      std::unique_ptr<char[]> large;
      const char* text = small;
      if (n < 0) {
        n = 0;
      } else if (static_cast<size_t>(n) >= sizeof small) {
        large.reset(new (std::nothrow) char[static_cast<size_t>(n) + 1]);
        if (!large) {
          U16ReportNoMemory(kU16FmtEngine, kU16FmtModule, __LINE__);
          pc.text_lost = true;
          return Deliver(out, spec.flags, width, pc) ? 1 : 0;
        }
        n = cf.Render(large.get(), static_cast<size_t>(n) + 1, mag);
        text = large.get();
      }
      // Zeros of "%0a" go after the text's own "0x".
      if ((conv == u'a' || conv == u'A') && n >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        pc.prefix = text[1] == 'x' ? u"0x" : u"0X";
        pc.prefix_len = 2;
        text += 2;
        n -= 2;
      }
      pc.narrow = text;
      pc.len = static_cast<size_t>(n);
      return Deliver(out, spec.flags, width, pc) ? 1 : 0;
    }
  }
  return Deliver(out, spec.flags, width, pc) ? 1 : 0;
}

// A conversion without flags, width or precision of a string or a decimal
// integer whose argument fits: delivered straight, as Convert would.
// Returns 1 when done, 0 when Convert must do it, -1 when the sink stops.
template <class Sink>
int Plain(Sink& out, WEQ_UC conv, ArgCursor& args) {
  if (conv != u's' && conv != u'd' && conv != u'i' && conv != u'u') return 0;
  if (args.next >= args.list.count) return 0;
  const U16FmtArg& a = args.list.items[args.next];
  if (!U16FmtFits(conv, a.kind)) return 0;
  ++args.next;
  if (conv == u's') {
    const WEQ_UC* s = a.kind == U16FmtKind::kNull || a.s == nullptr ? kNull : a.s;
    return Put(out, s, strlenU(s)) ? 1 : -1;
  }
  Digits dg;
  if (conv == u'u') {
    dg.Of<10>(UnsignedValue(a), kLowerDigits);
  } else {
    const int64_t v = SignedValue(a);
    dg.Of<10>(v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v), kLowerDigits);
    if (v < 0) *--dg.begin = u'-';
  }
  return Put(out, dg.begin, dg.count()) ? 1 : -1;
}

template <class Sink>
int Run(Sink& out, const WEQ_UC* format, U16FmtArgs list) {
  ArgCursor args{list};
  const WEQ_UC* p = format;
  for (;;) {
    const WEQ_UC* run = p;
    while (*p && *p != u'%') ++p;
    if (p != run && !Put(out, run, static_cast<size_t>(p - run))) break;
    if (!*p) break;
    ++p;
    U16FmtSpec spec;
    if (U16FmtIsConversion(*p)) {
      // The plain "%d", "%s": nothing else to parse, and with an argument
      // that fits, nothing to pad.
      const int plain = Plain(out, *p, args);
      if (plain < 0) break;
      if (plain > 0) {
        ++p;
        continue;
      }
      spec.conversion = *p++;
    } else if (!U16FmtParseSpec(p, spec)) {
      U16ReportFormatError(format, *p, kU16FmtModule, __LINE__);
      return -1;
    }
    int r = Convert(out, spec, args, format);
    if (r < 0) return -1;
    if (r == 0) break;
  }
  return 0;
}

// A refused call: errno and -1.
int Refuse(int err) {
  errno = err;
  return -1;
}

// A count as the int result, or -1 with EOVERFLOW when it does not fit.
int CountResult(size_t count) {
  if (count > INT_MAX) return Refuse(EOVERFLOW);
  return static_cast<int>(count);
}

}  // namespace

// --- Sinks -----------------------------------------------------------------


template <class Copy>
bool U16OutBuf::Store(size_t n, Copy copy) {
  size_t room = size - 1 - count;
  bool fits = n <= room;
  if (!fits) {
    n = room;
    cut = true;
  }
  copy(buffer + count, 0, n);
  count += n;
  return fits;
}


bool U16OutBuf::Unit(WEQ_UC c) {
  if (count + 1 >= size) {
    cut = true;
    return false;
  }
  buffer[count++] = c;
  return true;
}

bool U16OutStream::Flush(bool last) {
  size_t n = pending;
  if (!last && n > 0 && IsHighSurrogate(block[n - 1])) --n;
  if (n == 0 || failed) return !failed;
  long r = U16WriteUtf8(block, 1, n, stream, nullptr, 0);
  if (r < 0 || static_cast<size_t>(r) < n) {
    failed = true;
    return false;
  }
  written += n;
  pending -= n;
  if (pending) block[0] = block[n];
  return true;
}

template <class Copy>
inline bool U16OutStream::Store(size_t n, Copy copy) {
  constexpr size_t cap = sizeof block / sizeof block[0];
  if (n <= cap - pending) {  // the common case: room in the block
    copy(block + pending, 0, n);
    pending += n;
    return true;
  }
  for (size_t done = 0; done < n;) {
    if (pending == cap && !Flush(false)) return false;
    size_t k = n - done < cap - pending ? n - done : cap - pending;
    copy(block + pending, done, k);
    pending += k;
    done += k;
  }
  return true;
}


bool U16OutStream::Unit(WEQ_UC c) {
  if (c == 0) return true;  // a lone 0 unit is not written to a stream
  return Store(1, Units(&c));
}

// --- Engine ----------------------------------------------------------------

int U16FmtIRunBuf(U16OutBuf& out, const WEQ_UC* format, U16FmtArgs args) {
  int r = Run(out, format, args);
  out.Finish();
  return r < 0 ? r : CountResult(out.count);
}

int U16FmtIRunStream(U16OutStream& out, const WEQ_UC* format, U16FmtArgs args) {
  int r = Run(out, format, args);
  bool ok = out.Flush(true);
  if (r < 0 || !ok) return -1;
  return CountResult(out.Count());
}

void U16FmtISetStrictArgs(bool strict) { g_strict_args.store(strict, std::memory_order_relaxed); }
bool U16FmtIStrictArgs() { return g_strict_args.load(std::memory_order_relaxed); }

// --- Entry points ----------------------------------------------------------

int vsnprintfU16(FILE* stream, WEQ_UC* buffer, size_t* size, const WEQ_UC* format,
                 U16FmtArgs args) {
  if (stream) {
    if (!format) return Refuse(EINVAL);
    U16OutStream out(stream);
    return U16FmtIRunStream(out, format, args);
  }
  if (!size) return Refuse(EINVAL);
  if (*size == 0) return 0;
  if (!buffer) return Refuse(EBADF);
  if (!format) return Refuse(EINVAL);
  U16OutBuf out(buffer, *size);
  return U16FmtIRunBuf(out, format, args);
}

int vsnprintfFitU16(WEQ_UC* buffer, size_t size, const WEQ_UC* format, U16FmtArgs args) {
  if (!buffer) return Refuse(EBADF);
  if (size == 0) return Refuse(ERANGE);
  if (!format) {
    buffer[0] = 0;
    return Refuse(EINVAL);
  }
  U16OutBuf out(buffer, size);
  int r = U16FmtIRunBuf(out, format, args);
  if (r >= 0 && !out.cut) return r;
  buffer[0] = 0;
  return r < 0 ? r : Refuse(ERANGE);
}

int vsnprintfTruncU16(WEQ_UC* buffer, size_t size, const WEQ_UC* format, U16FmtArgs args) {
  if (size == 0) return 0;
  if (!buffer) return Refuse(EBADF);
  if (!format) return Refuse(EINVAL);
  U16OutBuf out(buffer, size);
  int r = U16FmtIRunBuf(out, format, args);
  if (out.cut) return CountResult(size);
  return r;
}

int vfprintfU16(FILE* stream, const WEQ_UC* format, U16FmtArgs args) {
  if (!stream || !format) return Refuse(EINVAL);
  U16OutStream out(stream);
  return U16FmtIRunStream(out, format, args);
}

int vsprintfU16(WEQ_UC* buffer, const WEQ_UC* format, U16FmtArgs args) {
  if (!buffer || !format) return Refuse(EINVAL);
  U16OutBuf out(buffer, SIZE_MAX);
  return U16FmtIRunBuf(out, format, args);
}

int U16FmtArgsUsed(const WEQ_UC* format) {
  if (!format) return Refuse(EINVAL);
  int n = 0;
  return U16FmtWalk(format, [&](WEQ_UC) { return ++n, true; }) ? n : -1;
}
