// Branches of the conversion call that convert without the cache's
// multi-level tables: the Unicode forms to and from UTF-8 (one template over
// the rows of kUtfRows, each row naming its pair of UTF transforms), the
// byte-order swaps of 2- and 4-byte units, the brute widenings and
// narrowings between one-byte text and UCS-2, 7-bit ASCII to UTF-16, and
// the byte-to-byte method over one 256-byte table in the cache (F1).
//
// Units are read and written through memcpy. A UTF-8 branch still refuses
// a misaligned buffer on its aligned side when it is longer than
// kRscpcAlignBuffer, and converts a shorter one through an aligned private
// buffer by calling the conversion once more, so that callers see the same
// results whatever the alignment of a short buffer.
#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <array>
#include <iterator>
#include <utility>

#include "i18n/wequ16/u16fmt.h"
#include "krn/rscp/rscpcvu_int.h"
#include "krn/rscp/rscpu.h"

namespace {

rscpRc_t UniReport(int rc, int location, int line, const WEQ_UC* text, const WEQ_UC* code, const WEQ_UC* p1,
                   const WEQ_UC* p2 = nullptr) {
  return rscpIReport(kRscpcCvModule, rc, location, line, text, code, p1, p2);
}

// "Unicode requires aligned addresses" for the buffer at p.
rscpRc_t UniMisaligned(int location, int line, const void* p) {
  WEQ_UC p1[40];
  snprintfTruncU16(p1, std::size(p1), u"%p&", p);
  return UniReport(RSCPEINVAL, location, line, u"Unicode requires aligned addresses", u"CP7", p1);
}

// --- UTF-8 forms ------------------------------------------------------------------------
// One transform over byte positions. The aligned side has been checked, so
// the casts to its unit type are aligned; the transforms read and write
// units through memcpy.
using UniFn = int (*)(const uint8_t** in, const uint8_t* inEnd, uint8_t** out, uint8_t* outEnd, rscpCObj_t* o);

template <class In, auto Fn>
int UniToU8(const uint8_t** in, const uint8_t* inEnd, uint8_t** out, uint8_t* outEnd, rscpCObj_t*) {
  const In* s = reinterpret_cast<const In*>(*in);
  const int rc = Fn(&s, reinterpret_cast<const In*>(inEnd), out, outEnd);
  *in = reinterpret_cast<const uint8_t*>(s);
  return rc;
}

// From UTF-8 the transform substitutes illegal sequences itself when the
// object substitutes: the low 16 bits of subst_char for the 2-byte forms.
template <class Out, auto Fn>
int UniFromU8(const uint8_t** in, const uint8_t* inEnd, uint8_t** out, uint8_t* outEnd, rscpCObj_t* o) {
  const Out subst = static_cast<Out>(o->subst_char);
  Out* d = reinterpret_cast<Out*>(*out);
  const int rc = Fn(in, inEnd, &d, reinterpret_cast<Out*>(outEnd), o->use_subst == 1 ? &subst : nullptr,
                    &o->subst_count);
  *out = reinterpret_cast<uint8_t*>(d);
  return rc;
}

struct UtfRow {
  uint32_t method;
  UniFn illegal;  // rscpCtrlCodeCv 0: control codes refused
  UniFn tryCtrl;  // rscpCtrlCodeCv 1
  bool alignIn;   // the aligned buffer: the input (forms to UTF-8) or the output
  int unit;       // bytes of the aligned side's unit
  int skip;       // input bytes skipped for a substituted unit
  const WEQ_UC* other;
  int alignLoc;
  int otherLoc;
};

constexpr const WEQ_UC* kUniU2 = u"other error in UCS-2 to UTF-8 conversion";
constexpr const WEQ_UC* kUniToU2 = u"other error in UTF-8 to UCS-2 conversion";
constexpr const WEQ_UC* kUniU4 = u"other error in UCS-4 to UTF-8 conversion";
constexpr const WEQ_UC* kUniToU4 = u"other error in UTF-8 to UCS-4 conversion";
constexpr const WEQ_UC* kUniU6 = u"other error in UTF-16 to UTF-8 conversion";
constexpr const WEQ_UC* kUniToU6 = u"other error in UTF-8 to UTF-16 conversion";

constexpr UtfRow kUtfRows[] = {
    {13, UniToU8<WEQ_UC, rscpu_U2_to_U8_noctrl>, UniToU8<WEQ_UC, rscpu_U2_to_U8>, true, 2, 2, kUniU2, 136, 187},
    {14, UniToU8<WEQ_UC, rscpu_U2sw_to_U8_noctrl>, UniToU8<WEQ_UC, rscpu_U2sw_to_U8>, true, 2, 2, kUniU2, 138, 191},
    {15, UniFromU8<WEQ_UC, rscpu_U8_to_U2_noctrl>, UniFromU8<WEQ_UC, rscpu_U8_to_U2>, false, 2, 1, kUniToU2, 137,
     195},
    {16, UniFromU8<WEQ_UC, rscpu_U8_to_U2sw_noctrl>, UniFromU8<WEQ_UC, rscpu_U8_to_U2sw>, false, 2, 1, kUniToU2,
     231, 199},
    {17, UniToU8<uint32_t, rscpu_U4_to_U8_noctrl>, UniToU8<uint32_t, rscpu_U4_to_U8>, true, 4, 4, kUniU4, 156, 203},
    {18, UniToU8<uint32_t, rscpu_U4sw_to_U8_noctrl>, UniToU8<uint32_t, rscpu_U4sw_to_U8>, true, 4, 4, kUniU4, 160,
     207},
    {19, UniFromU8<uint32_t, rscpu_U8_to_U4_noctrl>, UniFromU8<uint32_t, rscpu_U8_to_U4>, false, 4, 1, kUniToU4, 158,
     211},
    {20, UniFromU8<uint32_t, rscpu_U8_to_U4sw_noctrl>, UniFromU8<uint32_t, rscpu_U8_to_U4sw>, false, 4, 1,
     kUniToU4, 241, 215},
    {21, UniToU8<WEQ_UC, rscpu_U6_to_U8_noctrl>, UniToU8<WEQ_UC, rscpu_U6_to_U8>, true, 2, 2, kUniU6, 157, 219},
    {22, UniToU8<WEQ_UC, rscpu_U6sw_to_U8_noctrl>, UniToU8<WEQ_UC, rscpu_U6sw_to_U8>, true, 2, 2, kUniU6, 161, 223},
    {23, UniFromU8<WEQ_UC, rscpu_U8_to_U6_noctrl>, UniFromU8<WEQ_UC, rscpu_U8_to_U6>, false, 2, 1, kUniToU6, 159,
     183},
    {24, UniFromU8<WEQ_UC, rscpu_U8_to_U6sw_noctrl>, UniFromU8<WEQ_UC, rscpu_U8_to_U6sw>, false, 2, 1, kUniToU6,
     242, 227},
};
constexpr uint32_t kUtfFirst = 13;
static_assert(std::size(kUtfRows) == 12);
constexpr bool UtfRowsInOrder() {
  for (size_t i = 0; i < std::size(kUtfRows); ++i) {
    if (kUtfRows[i].method != kUtfFirst + i) return false;
  }
  return true;
}
static_assert(UtfRowsInOrder(), "one row per method, in method order");

// A misaligned buffer of at most kRscpcAlignBuffer bytes: the same call
// once more with that side in an aligned private buffer. The inner call
// counts into the thread's counters itself. Only out_len bytes of the
// private buffer are offered, so that nothing lands behind the caller's
// output when it is copied back.
rscpcBranchEnd UniRealigned(rscpcFrame& f, bool input) {
  alignas(8) uint8_t priv[kRscpcAlignBuffer];
  const ptrdiff_t inLen = f.inEnd - f.inStart, outLen = f.outEnd - f.outStart;
  const WEQ_RAW* ip;
  WEQ_RAW* op;
  if (input) {
    memcpy(priv, f.inStart, static_cast<size_t>(inLen));
    ip = priv;
    op = f.outStart;
    f.rc = rscpCConvert(f.o, &op, f.outEnd, &ip, priv + inLen);
    f.in = f.inStart + (ip - priv);
    f.out = op;
  } else {
    ip = f.inStart;
    op = priv;
    f.rc = rscpCConvert(f.o, &op, priv + outLen, &ip, f.inEnd);
    const ptrdiff_t produced = op - priv;
    memcpy(f.outStart, priv, static_cast<size_t>(produced));
    f.in = ip;
    f.out = f.outStart + produced;
  }
  return {rscpcEnd::kEnd, false};
}

// subst_char through the single-character writer in place of the unit at
// f.in; kNext when written.
rscpcStep UniSubstitute(rscpcFrame& f, uint8_t* outEnd) {
  f.Pin();
  rscpRc_t rc = rscpcICheckOutTab(f.o, f.t);
  if (rc == 0) rc = rscpcIPutChar(f.o, f.t, f.outStart, &f.out, outEnd, f.o->subst_char);
  if (rc == RSCPETOOLONG) return rscpcStep::kFull;
  if (rc != 0) {
    f.rc = rc;
    return rscpcStep::kError;
  }
  return rscpcStep::kNext;
}

template <size_t R>
rscpcBranchEnd UtfBranch(rscpcFrame& f) {
  constexpr const UtfRow& row = kUtfRows[R];
  rscpCObj_t* o = f.o;
  const uint8_t* aligned = row.alignIn ? f.inStart : f.outStart;
  if (reinterpret_cast<uintptr_t>(aligned) % row.unit != 0) {
    const ptrdiff_t len = row.alignIn ? f.inEnd - f.inStart : f.outEnd - f.outStart;
    if (len <= kRscpcAlignBuffer) return UniRealigned(f, row.alignIn);
    f.rc = UniMisaligned(row.alignLoc, __LINE__, aligned);
    return {rscpcEnd::kEnd, false};
  }
  // Whole units only: the input of the fixed-width forms, every output.
  const int inUnit = row.alignIn ? row.unit : 1, outUnit = row.alignIn ? 1 : row.unit;
  const uint8_t* const inEnd = f.inStart + (f.inEnd - f.inStart) / inUnit * inUnit;
  uint8_t* const outEnd = f.outStart + (f.outEnd - f.outStart) / outUnit * outUnit;
  const UniFn convert = o->rscpCtrlCodeCv == 0 ? row.illegal : row.tryCtrl;
  for (;;) {
    const int rc = convert(&f.in, inEnd, &f.out, outEnd, o);
    switch (rc) {
      case 0:
        if (f.in == f.inEnd) return {rscpcEnd::kEnd, true};
        f.charRead = f.inEnd;  // bytes behind the last whole unit
        return {rscpcEnd::kBroken, true};
      case RSCPEUNIQ:
        f.charRead = f.inEnd;
        return {rscpcEnd::kBroken, true};
      case RSCPETOOLONG:
        return {rscpcEnd::kFull, true};
      case RSCPENOCONV:
        if (o->use_subst != 1) {
          f.charLen = static_cast<uint32_t>(std::min<ptrdiff_t>(row.skip, f.inEnd - f.in));
          return {rscpcEnd::kUnconv, true};
        }
        switch (UniSubstitute(f, outEnd)) {
          case rscpcStep::kNext: break;
          case rscpcStep::kFull: return {rscpcEnd::kFull, true};
          default: return {rscpcEnd::kEnd, true};
        }
        f.in = std::min(f.in + row.skip, f.inEnd);
        o->subst_count += 1;
        if (f.in >= f.inEnd) return {rscpcEnd::kEnd, true};
        continue;
      default:
        f.rc = UniReport(rc, row.otherLoc, __LINE__, row.other, nullptr, nullptr);
        return {rscpcEnd::kEnd, true};
    }
  }
}

template <size_t... R>
constexpr auto UtfBranches(std::index_sequence<R...>) {
  return std::array<rscpcBranchEnd (*)(rscpcFrame&), sizeof...(R)>{UtfBranch<R>...};
}
constexpr auto kUtfBranches = UtfBranches(std::make_index_sequence<std::size(kUtfRows)>());

// --- Byte-order swaps -------------------------------------------------------------------

// Swaps the bytes of n units of 2 or 4 bytes, eight bytes at a time.
template <int kUnit>
void UniSwapUnits(const uint8_t* s, uint8_t* d, ptrdiff_t n) {
  const ptrdiff_t bytes = n * kUnit;
  ptrdiff_t i = 0;
  for (; i + 8 <= bytes; i += 8) {
    uint64_t x;
    memcpy(&x, s + i, 8);
    if constexpr (kUnit == 2) {
      x = (x & 0x00FF00FF00FF00FFull) << 8 | (x >> 8 & 0x00FF00FF00FF00FFull);
    } else {
      x = __builtin_bswap64(x);
      x = x << 32 | x >> 32;
    }
    memcpy(d + i, &x, 8);
  }
  for (; i < bytes; i += kUnit) {
    for (int k = 0; k < kUnit; ++k) d[i + k] = s[i + kUnit - 1 - k];
  }
}

// --- Brute widenings and narrowings ----------------------------------------------------

// Every byte b becomes the unit 0, b (high) or b, 0 (low) while two output
// bytes remain.
void UniWiden(const uint8_t* s, uint8_t* d, ptrdiff_t n, bool high) {
  if (high) {
    for (ptrdiff_t i = 0; i < n; ++i) d[2 * i] = 0, d[2 * i + 1] = s[i];
  } else {
    for (ptrdiff_t i = 0; i < n; ++i) d[2 * i] = s[i], d[2 * i + 1] = 0;
  }
}

// Every 2-byte unit becomes its byte at index `keep`; the other is dropped
// unseen.
void UniNarrow(const uint8_t* s, uint8_t* d, ptrdiff_t n, int keep) {
  for (ptrdiff_t i = 0; i < n; ++i) d[i] = s[2 * i + keep];
}

}  // namespace

// --- Branches -----------------------------------------------------------------------------

rscpcBranchEnd rscpcIUtf8Form(rscpcFrame& f) { return kUtfBranches[f.o->method - kUtfFirst](f); }

rscpcBranchEnd rscpcISwap(rscpcFrame& f) {
  const int unit = f.o->method == 25 ? 2 : 4;
  const ptrdiff_t n = std::min(f.inEnd - f.inStart, f.outEnd - f.outStart) / unit;
  if (unit == 2) {
    UniSwapUnits<2>(f.inStart, f.outStart, n);
  } else {
    UniSwapUnits<4>(f.inStart, f.outStart, n);
  }
  f.in = f.inStart + n * unit;
  f.out = f.outStart + n * unit;
  const ptrdiff_t rest = f.inEnd - f.in;
  if (rest >= unit) return {rscpcEnd::kFull, true};
  if (rest > 0) f.rc = UniReport(RSCPEUNIQ, unit == 2 ? 98 : 99, __LINE__, u"Unicode and odd bytes", u"F40", nullptr);
  return {rscpcEnd::kEnd, true};
}

// A full output with input left takes the output-full exit, so that a
// caller that retries on 32 gets the rest; an odd last byte of a narrowing
// stays unconsumed without a report.
rscpcBranchEnd rscpcIBrute(rscpcFrame& f) {
  const uint32_t m = f.o->method;
  const ptrdiff_t inLen = f.inEnd - f.inStart, outLen = f.outEnd - f.outStart;
  if (m == 29 || m == 30) {
    const ptrdiff_t n = std::min(inLen, outLen / 2);
    UniWiden(f.inStart, f.outStart, n, m == 29);
    f.in = f.inStart + n;
    f.out = f.outStart + 2 * n;
    return {f.in < f.inEnd ? rscpcEnd::kFull : rscpcEnd::kEnd, true};
  }
  const ptrdiff_t n = std::min(inLen / 2, outLen);
  UniNarrow(f.inStart, f.outStart, n, m == 31 ? 1 : 0);
  f.in = f.inStart + 2 * n;
  f.out = f.outStart + n;
  return {f.inEnd - f.in >= 2 ? rscpcEnd::kFull : rscpcEnd::kEnd, true};
}

rscpcBranchEnd rscpcIAscii7(rscpcFrame& f) {
  rscpCObj_t* o = f.o;
  const bool swapped = o->method == 49;
  const ptrdiff_t inLen = f.inEnd - f.inStart;
  ptrdiff_t room = f.outEnd - f.outStart;
  uint8_t* out = f.outStart;
  alignas(2) uint8_t priv[kRscpcAlignBuffer];
  bool privUsed = false;
  if (!swapped && (reinterpret_cast<uintptr_t>(f.outStart) & 1) != 0) {
    if (room > kRscpcAlignBuffer) {
      f.rc = UniMisaligned(310, __LINE__, f.outStart);
      return {rscpcEnd::kEnd, false};
    }
    out = priv;
    privUsed = true;
  }
  const int location = swapped ? 313 : privUsed ? 309 : room >= 2 * inLen ? 311 : 312;
  const ptrdiff_t n = std::min(inLen, room / 2);
  ptrdiff_t i = 0;
  for (; i < n; ++i) {
    const uint8_t b = f.inStart[i];
    uint16_t u = b;
    if (b >= 0x80) {
      if (o->use_subst != 1) {
        WEQ_UC p1[11];
        snprintfTruncU16(p1, std::size(p1), u"0x%02X", b);
        f.rc = UniReport(RSCPENOCONV, location, __LINE__, u"Input is not 7-bit", u"F40", p1);
        break;
      }
      u = static_cast<uint16_t>(o->subst_char);
      o->subst_count += 1;
    }
    if (swapped) {
      out[2 * i] = static_cast<uint8_t>(u >> 8), out[2 * i + 1] = static_cast<uint8_t>(u);
    } else {
      memcpy(out + 2 * i, &u, 2);
    }
  }
  if (privUsed) memcpy(f.outStart, priv, static_cast<size_t>(2 * i));
  f.in = f.inStart + i;
  f.out = f.outStart + 2 * i;
  if (f.rc == 0 && i < inLen) {
    // The overflow report names the counts converted.
    f.inLen = static_cast<int32_t>(i);
    f.outLen = static_cast<int32_t>(2 * i);
    return {rscpcEnd::kFull, true};
  }
  return {rscpcEnd::kEnd, true};
}

rscpcBranchEnd rscpcIOneByte(rscpcFrame& f) {
  const rscpcBranchEnd r = rscpcIRefresh(f, 67, 34, rscpcTabs::kShortcut);
  if (r.kind != rscpcEnd::kEnd) return r;
  const uint8_t* const table = f.t.base + f.o->shortcut_t1;
  const ptrdiff_t inLen = f.inEnd - f.inStart, outLen = f.outEnd - f.outStart;
  const ptrdiff_t n = std::min(inLen, outLen);
  const uint8_t* s = f.inStart;
  uint8_t* d = f.outStart;
  ptrdiff_t i = 0;
  for (; i + 4 <= n; i += 4) {
    d[i] = table[s[i]], d[i + 1] = table[s[i + 1]], d[i + 2] = table[s[i + 2]], d[i + 3] = table[s[i + 3]];
  }
  for (; i < n; ++i) d[i] = table[s[i]];
  f.in = s + n;
  f.out = d + n;
  if (inLen != outLen) {
    WEQ_UC p1[41], p2[81];
    snprintfTruncU16(p1, std::size(p1), u"%ld <> %ld", static_cast<long>(inLen), static_cast<long>(outLen));
    snprintfTruncU16(p2, std::size(p2), u"&%p..%p", static_cast<const void*>(f.inStart),
                     static_cast<const void*>(f.inEnd));
    f.rc = UniReport(RSCPEINVAL, 180, __LINE__, u"F1 requires equal sizes", u"CP7", p1, p2);
  }
  return {rscpcEnd::kEnd, true};
}
