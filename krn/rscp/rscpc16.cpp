// The sixteen-bit input methods.
//
// mbget_tab and l_mbget_tab (8, 9) read UTF-16BE of a code page that
// enters characters of its own into the private-use range: units, pairs
// and icon forms are decoded here, private-use characters (planes 15 and 16
// included) take the page's input table walk, and each character number
// goes to the single-character writer.
//
// mbs16_tab .. l_su16get_tab (27, 28, 33 to 40) are one template over the
// members table: the unit reader (weqcode, or UTF-16 in a fixed order or by
// in_nls), the handling of control units, icon forms, and the private-use
// walk. The l_ forms run the l_ check in the frame and then their plain
// member.
#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <array>
#include <iterator>

#include "krn/rscp/rscp_int.h"
#include "krn/rscp/rscpcv_int.h"
#include "krn/rscp/rscpdat.h"

namespace {

// One unit of two bytes in the given order.
template <bool kBig>
inline uint32_t SxUnit(const uint8_t* p) {
  return kBig ? uint32_t{p[0]} << 8 | p[1] : uint32_t{p[1]} << 8 | p[0];
}

inline bool SxHigh(uint32_t u) { return (u & 0xFC00) == 0xD800; }
inline bool SxLow(uint32_t u) { return (u & 0xFC00) == 0xDC00; }
inline uint32_t SxPair(uint32_t hi, uint32_t lo) { return 0x10000 + ((hi - 0xD800) << 10) + (lo - 0xDC00); }
// Controls: 0x00-0x1F and 0x7F-0x9F.
inline bool SxControl(uint32_t u) { return u < 0x20 || u - 0x7F < 0x21; }
inline bool SxPrivate(uint32_t c) { return c - 0xE000 < 0x1900 || c >= 0xF0000; }

// The icon form behind an introducer at p: two units whose high bytes are
// 0; their low bytes are the code characters.
template <bool kBig>
inline bool SxIconForm(const uint8_t* p, const uint8_t* end, uint8_t* c1, uint8_t* c2) {
  if (end - p < 6) return false;
  const int hi = kBig ? 0 : 1;
  if (p[2 + hi] != 0 || p[4 + hi] != 0) return false;
  *c1 = p[3 - hi];
  *c2 = p[5 - hi];
  return true;
}

// --- mbget_tab ------------------------------------------------------------------------------

// The character at f.in as units and pairs alone give it (no icon form, no
// walk), and where it ends.
inline uint32_t GtItself(const rscpcFrame& f, const uint8_t** next) {
  const uint8_t* p = f.in;
  const uint32_t u = SxUnit<true>(p);
  if (SxHigh(u) && f.inEnd - p >= 4 && SxLow(SxUnit<true>(p + 2))) {
    *next = p + 4;
    return SxPair(u, SxUnit<true>(p + 2));
  }
  *next = p + 2;
  return u;
}

// A private-use character whose walk gives nothing (the table does not know
// it, or the input ends inside a longer code) is written as itself and
// ends after its own units; a sequence that returns to the start block ends
// where the walk stopped reading.
struct GtPolicy : rscpcWalkPolicy<GtPolicy> {
  static rscpcStep Itself(rscpcFrame& f, const uint8_t* end) {
    const uint8_t* next;
    const uint32_t c = GtItself(f, &next);
    return rscpcIPutStep(f, c, end != nullptr ? end : next, true);
  }
  static rscpcStep UnknownWord(rscpcFrame& f, const rscpcChar&) { return Itself(f, nullptr); }
  static rscpcStep Complete(rscpcFrame& f, const rscpcChar& ch) { return Itself(f, ch.rd); }
  static rscpcStep AtEnd(rscpcFrame& f, rscpcChar&) { return Itself(f, nullptr); }

  static rscpcStep ReadChar(rscpcFrame& f) {
    const uint8_t* p = f.in;
    const ptrdiff_t avail = f.inEnd - p;
    const int len = rscpCharLenByNls(p, static_cast<int32_t>(avail > INT32_MAX ? INT32_MAX : avail),
                                     static_cast<int32_t>(f.o->in_nls));
    // A unit is two bytes whatever length the object's input kind gives.
    if (len > avail || avail < 2) {
      f.charRead = f.inEnd;
      return rscpcStep::kBroken;
    }
    if (len == 0) {  // a low surrogate without its high one
      f.charRead = p;
      f.rc = rscpcIBrokenReport(f);
      return rscpcStep::kError;
    }
    const uint32_t u = SxUnit<true>(p);
    uint8_t c1, c2;
    if (SxHigh(u) && avail >= 4 && SxLow(SxUnit<true>(p + 2))) {
      const uint32_t c = SxPair(u, SxUnit<true>(p + 2));
      if (c >= 0xF0000) return rscpcIWalkChar<GtPolicy>(f);
      return rscpcIPutStep(f, c, p + 4, true);
    }
    if (u == rscpGetIconIntroducer() && SxIconForm<true>(p, f.inEnd, &c1, &c2)) {
      if (const uint32_t icon = rscpIconCodeToChar(c1, c2)) return rscpcIPutStep(f, icon, p + 6, true);
    }
    if (SxPrivate(u)) return rscpcIWalkChar<GtPolicy>(f);
    return rscpcIPutStep(f, u, p + 2, true);
  }
};

// --- The sixteen-bit table methods ----------------------------------------------------------

enum class SxUnits : uint8_t { kWeqcode, kBig, kLittle, kByNls };
enum class SxCtrl : uint8_t { kAsCharacters, kAlways, kUnlessTry };

struct SxMember {
  uint32_t method;
  SxUnits units;
  SxCtrl ctrl;
  bool icons;
  bool walk;       // private-use characters through the input table walk
  bool checkEach;  // the output-table check before every write, not once
};

constexpr SxMember kSxMembers[] = {
    {27, SxUnits::kWeqcode, SxCtrl::kAsCharacters, false, false, true},
    {33, SxUnits::kBig, SxCtrl::kAsCharacters, false, false, false},
    {35, SxUnits::kLittle, SxCtrl::kAsCharacters, false, false, false},
    {37, SxUnits::kByNls, SxCtrl::kAlways, false, false, true},
    {39, SxUnits::kByNls, SxCtrl::kUnlessTry, true, true, true},
};

// A control unit by the object's options: substitution (one character,
// more for mbc_copy 2 and 3 when a unit is wider than the input blank), a
// copy of its two bytes, or the unconvertible exit.
inline rscpcStep SxControlUnit(rscpcFrame& f, const uint8_t* next) {
  rscpCObj_t* o = f.o;
  if (o->use_subst != 0) {
    int count = 1;
    if ((f.mbcCopy == 2 || f.mbcCopy == 3) && o->in_space_len >= 1 && o->in_space_len <= 2) {
      count = static_cast<int>(2 / o->in_space_len);
    }
    rscpRc_t code = 0;
    const int r = rscpcISubstitute(o, f.t, f.Mark(), &f.out, f.outEnd, count, &code);
    return rscpcIHandled(f, r, code, next);
  }
  if (o->use_1_copy != 0) {
    if (f.outEnd - f.out < 2) return rscpcStep::kFull;
    memcpy(f.out, f.in, 2);
    f.out += 2;
    f.in = next;
    o->subst_count += 1;
    return rscpcStep::kNext;
  }
  f.charLen = 2;
  return rscpcStep::kUnconv;
}

// The private-use characters from f.in through the input table walk: the
// run of them in one walk, bounded by the run's end. A character that the
// bound cuts (its code goes on behind the run) is walked once more up to
// the input end, so that the result is that of a walk of each character
// alone.
template <bool kBig>
rscpcStep SxWalk(rscpcFrame& f) {
  const uint32_t intro = rscpGetIconIntroducer();
  const uint8_t* q = f.in;
  for (;;) {
    if (f.inEnd - q < 2) break;
    const uint32_t u = SxUnit<kBig>(q);
    uint8_t c1, c2;
    if (u >= 0xDB80 && u <= 0xDBFF && f.inEnd - q >= 4 && SxLow(SxUnit<kBig>(q + 2))) {
      q += 4;
    } else if (u >= 0xE000 && u <= 0xF8FF && !(u == intro && SxIconForm<kBig>(q, f.inEnd, &c1, &c2))) {
      q += 2;
    } else {
      break;
    }
  }
  const uint8_t* in = f.in;
  uint8_t* out = f.out;
  rscpRc_t code = 0;
  int status = rscpCWalkRun(&f, &in, q, &out, &code);
  if (status == 2 && q < f.inEnd) status = rscpCWalkChar(&f, &in, f.inEnd, &out, &code);
  switch (status) {
    case 0: return rscpcStep::kNext;
    case 1: return rscpcStep::kFull;
    case 2: return rscpcStep::kBroken;
    case 4: return rscpcStep::kUnconv;
    default: f.rc = code; return rscpcStep::kError;
  }
}

// --- The fast run of the UTF-16 members --------------------------------------------------------

// The units that the general step treats specially in a member: surrogates
// (pairs and lone ones), controls when the member substitutes or copies
// them, the icon introducer, and private-use units that take the walk.
struct SxSpecial {
  bool controls;
  bool walk;
  uint32_t intro;  // 0x10000: no icon forms
  bool Is(uint32_t u) const {
    return (u & 0xF800) == 0xD800 || (controls && SxControl(u)) || u == intro || (walk && u - 0xE000 < 0x1900);
  }
};

// What the fast run keeps for one call, for the tables it was made for.
// Once a long input asks for it, the widest range [lo, hi] of units below
// 0x100 that are not special and whose code is the single byte of the unit
// itself (ASCII into most pages, all of ISO 8859-1 into it): runs of those
// narrow sixteen at a time.
// The codes of units met so far are kept by a hash of the unit (code 0: an
// empty slot) once a batch of 64 units or more leaves the narrow runs: a
// lookup there stays in the first level cache where the output table's
// words of a large page do not.
struct SxFastMemo {
  const uint8_t* base = nullptr;
  uint32_t outT2 = 0;
  bool filled = false;
  bool hashed = false;
  uint32_t lo = 1, hi = 0;  // empty
  uint16_t key[1024];
  uint32_t code[1024];
};

typedef uint8_t SxBytes16 __attribute__((vector_size(16)));

// Narrows the units at in while sixteen of them lie in [lo, hi] and 16
// bytes of room are left; returns the units taken.
template <bool kBig>
inline size_t SxNarrow(const uint8_t* in, size_t units, uint8_t* out, size_t room, uint8_t lo, uint8_t hi) {
  const SxBytes16 zero = {}, base = zero + lo, span = zero + static_cast<uint8_t>(hi - lo);
  size_t i = 0;
  for (; i + 16 <= units && i + 16 <= room; i += 16) {
    SxBytes16 a, b;
    memcpy(&a, in + 2 * i, 16);
    memcpy(&b, in + 2 * i + 16, 16);
    SxBytes16 low, high;
    if constexpr (kBig) {
      low = __builtin_shufflevector(a, b, 1, 3, 5, 7, 9, 11, 13, 15, 17, 19, 21, 23, 25, 27, 29, 31);
      high = __builtin_shufflevector(a, b, 0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30);
    } else {
      low = __builtin_shufflevector(a, b, 0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30);
      high = __builtin_shufflevector(a, b, 1, 3, 5, 7, 9, 11, 13, 15, 17, 19, 21, 23, 25, 27, 29, 31);
    }
    const SxBytes16 bad = (high != zero) | (low - base > span);
    uint64_t any[2];
    memcpy(any, &bad, 16);
    if ((any[0] | any[1]) != 0) break;
    memcpy(out + i, &low, 16);
  }
  return i;
}

// Runs of ordinary units without the general steps: units that are not
// special and whose code rscpcIFastCode gives, written while 4 bytes of
// room are left. It stops, with f.in and f.out moved past what it wrote,
// at the first unit that needs anything else, which the general step then
// takes; for every unit it takes, the general step writes the same bytes.
template <bool kBig>
inline void SxFastRun(rscpcFrame& f, SxFastMemo& m, const SxSpecial& sp) {
  const uint8_t* in = f.in;
  uint8_t* out = f.out;
  const uint8_t* const inEnd = f.inEnd;
  if (inEnd - in < 2 || f.outEnd - out < 4) return;
  const rscpcTables& t = f.t;
  const uint16_t* const t2 = reinterpret_cast<const uint16_t*>(t.base + f.outT2);
  const auto codeOf = [&](uint32_t u) __attribute__((always_inline)) -> uint32_t {
    return sp.Is(u) || u > t.maxUchar ? 0 : rscpcIFastCode(t, t2, u);
  };
  if (m.base != t.base || m.outT2 != f.outT2) {
    m.base = t.base, m.outT2 = f.outT2;
    m.filled = m.hashed = false;
    m.lo = 1, m.hi = 0;
  }
  if (!m.filled && inEnd - in >= 512) {
    m.filled = true;
    uint32_t from = 0;
    for (uint32_t u = 0; u <= 0x100; ++u) {
      if (u < 0x100 && codeOf(u) == (1u << 24 | u)) continue;
      if (u > from && u - from > m.hi + 1 - m.lo) m.lo = from, m.hi = u - 1;
      from = u + 1;
    }
  }
  uint8_t* const outLast = f.outEnd - 4;
  while (inEnd - in >= 2 && out <= outLast) {
    if (m.lo <= m.hi) {
      const size_t n = SxNarrow<kBig>(in, static_cast<size_t>(inEnd - in) / 2, out, static_cast<size_t>(f.outEnd - out),
                                      static_cast<uint8_t>(m.lo), static_cast<uint8_t>(m.hi));
      in += 2 * n;
      out += n;
      if (inEnd - in < 2 || out > outLast) break;
    }
    // As many units as certainly fit (3 bytes each at most) without a test
    // of the room.
    const ptrdiff_t batch = std::min<ptrdiff_t>((inEnd - in) / 2, (outLast - out) / 3 + 1);
    const uint8_t* const batchEnd = in + 2 * batch;
    const uint8_t* const from = in;
    if (m.filled && !m.hashed && batch >= 64) {
      memset(m.code, 0, sizeof m.code);
      m.hashed = true;
    }
    if (m.hashed) {
      while (in < batchEnd) {
        const uint32_t u = SxUnit<kBig>(in);
        const uint32_t slot = (u ^ u >> 10) & 1023;
        uint32_t code = m.code[slot];
        if (code == 0 || m.key[slot] != u) {
          code = codeOf(u);
          if (code == 0) break;
          m.key[slot] = static_cast<uint16_t>(u);
          m.code[slot] = code;
        }
        out = rscpcIFastPut(out, code);
        in += 2;
      }
    } else {
      while (in < batchEnd) {
        const uint32_t code = codeOf(SxUnit<kBig>(in));
        if (code == 0) break;
        out = rscpcIFastPut(out, code);
        in += 2;
      }
    }
    if (in < batchEnd || in == from) break;
  }
  f.in = in;
  f.out = out;
}

// UTF-16 in the order kBig.
template <size_t M, bool kBig>
rscpcBranchEnd SxUtf16(rscpcFrame& f) {
  constexpr SxMember m = kSxMembers[M];
  const bool controls = m.ctrl == SxCtrl::kAlways || (m.ctrl == SxCtrl::kUnlessTry && f.o->rscpCtrlCodeCv != 1);
  const uint32_t intro = m.icons ? rscpGetIconIntroducer() : 0x10000;
  const SxSpecial special{controls, m.walk, intro};
  SxFastMemo memo;
  while (f.inEnd - f.in >= 2) {
    // A member that checks the output table before every write checks it
    // once before a run that starts with an ordinary unit, as the general
    // step would before that unit.
    if (!m.checkEach || !special.Is(SxUnit<kBig>(f.in))) {
      if constexpr (m.checkEach) {
        rscpRc_t rc = rscpcICheckOutTab(f.o, f.t);
        if (rc == 0) rc = f.Follow();
        if (rc != 0) {
          f.rc = rc;
          return rscpcIEndOfStep(rscpcStep::kError);
        }
      }
      SxFastRun<kBig>(f, memo, special);
      if (f.inEnd - f.in < 2) break;
    }
    const uint8_t* p = f.in;
    const uint32_t u = SxUnit<kBig>(p);
    uint32_t c = u;
    const uint8_t* next = p + 2;
    if (SxHigh(u)) {
      if (f.inEnd - p < 4) break;
      const uint32_t v = SxUnit<kBig>(p + 2);
      if (SxLow(v)) c = SxPair(u, v), next = p + 4;
    }
    rscpcStep s;
    uint8_t c1, c2;
    if (controls && SxControl(c)) {
      s = SxControlUnit(f, next);
    } else if (u == intro && SxIconForm<kBig>(p, f.inEnd, &c1, &c2)) {
      const uint32_t icon = rscpIconCodeToChar(c1, c2);
      s = icon != 0 ? rscpcIPutStep(f, icon, p + 6, true) : rscpcIPutStep(f, u, next, true);
    } else if (m.walk && SxPrivate(c)) {
      s = SxWalk<kBig>(f);
    } else {
      s = rscpcIPutStep(f, c, next, m.checkEach);
    }
    if (s != rscpcStep::kNext) return rscpcIEndOfStep(s);
  }
  if (f.in < f.inEnd) {  // an odd byte, or a high surrogate without room for its pair
    f.charRead = f.inEnd;
    return {rscpcEnd::kBroken, true};
  }
  return {rscpcEnd::kEnd, true};
}

// weqcode values, big-endian, each through the weqcode writer, which counts
// one character in and its bytes out; any failure ends the branch with its
// code at the failing unit.
rscpcBranchEnd SxWeqcode(rscpcFrame& f) {
  uint64_t chars = 0;
  uint8_t* const outFrom = f.out;
  rscpcBranchEnd e{rscpcEnd::kEnd, false};
  while (f.inEnd - f.in >= 2) {
    uint32_t c = 0;
    f.rc = rscpcIWeqcodeChar(static_cast<uint16_t>(SxUnit<true>(f.in)), &c);
    if (f.rc != 0) break;
    const rscpcStep s = rscpcIPutStep(f, c, f.in + 2, true);
    if (s == rscpcStep::kFull) f.rc = RSCPETOOLONG;
    if (s != rscpcStep::kNext) break;
    ++chars;
  }
  if (f.rc == 0 && f.in < f.inEnd) {
    f.charRead = f.inEnd;
    e.kind = rscpcEnd::kBroken;
  }
  rscpThrCtx_t* ctx = rscpGetThrCtx();
  ctx->bytesIn += chars;
  ctx->bytesOut += static_cast<uint64_t>(f.out - outFrom);
  return e;
}

template <size_t M>
rscpcBranchEnd SxBranch(rscpcFrame& f) {
  constexpr SxMember m = kSxMembers[M];
  const rscpcBranchEnd r = rscpcIRefresh(f, 93, 94);
  if (r.kind != rscpcEnd::kEnd) return r;
  if (!m.checkEach) {
    rscpRc_t rc = rscpcICheckOutTab(f.o, f.t);
    if (rc == 0) rc = f.Follow();
    if (rc != 0) {
      f.rc = rc;
      return {rscpcEnd::kEnd, false};
    }
  }
  if constexpr (m.units == SxUnits::kWeqcode) {
    return SxWeqcode(f);
  } else if constexpr (m.units == SxUnits::kBig) {
    return SxUtf16<M, true>(f);
  } else if constexpr (m.units == SxUnits::kLittle) {
    return SxUtf16<M, false>(f);
  } else {
    return f.o->in_nls == 16 ? SxUtf16<M, false>(f) : SxUtf16<M, true>(f);
  }
}

template <size_t... M>
constexpr auto SxBranches(std::index_sequence<M...>) {
  return std::array<rscpcBranchEnd (*)(rscpcFrame&), sizeof...(M)>{SxBranch<M>...};
}
constexpr auto kSxBranches = SxBranches(std::make_index_sequence<std::size(kSxMembers)>());

// The member of a method (its l_ form shares it).
constexpr size_t SxMemberOf(uint32_t method) {
  for (size_t i = 0; i < std::size(kSxMembers); ++i) {
    if (method == kSxMembers[i].method || method == kSxMembers[i].method + 1) return i;
  }
  return 0;
}
static_assert(SxMemberOf(28) == 0 && SxMemberOf(34) == 1 && SxMemberOf(36) == 2 && SxMemberOf(38) == 3 &&
              SxMemberOf(40) == 4);

}  // namespace

rscpcBranchEnd rscpcIGetTab(rscpcFrame& f) {
  const rscpcBranchEnd r = rscpcIRefresh(f, 90, 94);
  if (r.kind != rscpcEnd::kEnd) return r;
  return rscpcIEndOfStep(rscpcIRun<GtPolicy>(f));
}

rscpcBranchEnd rscpcISixteen(rscpcFrame& f) { return kSxBranches[SxMemberOf(f.o->method)](f); }
