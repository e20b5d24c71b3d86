// Inside the UTF transforms: the one encoder and the one decoder that every
// form instantiates, the form traits, and the error path to the hook.
// Only the rscpu* sources include this header.
#ifndef KRN_RSCP_RSCPU_INT_H
#define KRN_RSCP_RSCPU_INT_H

#include <array>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <type_traits>

#include "krn/rscp/rscpu.h"

namespace rscpu {

// One reporting module: its identification string and, made at its first
// error, the WEQ_UC copy that the hook receives.
struct RscpuIModule {
  constexpr explicit RscpuIModule(const char* identification) : id(identification) {}
  const char* const id;
  std::once_flag once;
  const WEQ_UC* text = nullptr;  // written once under `once`, then read only
};

// Calls the hook in the slot for one error of module m; returns its result.
[[gnu::cold, gnu::noinline]] int RscpuIError(RscpuIModule& m, int kind, int location,
                                             int line, const WEQ_UC* message);

// The module text passed to the hook (for tests: the same pointer each time).
const WEQ_UC* RscpuIModuleText(RscpuIModule& m);

// Location numbers: one per check, shared by all modules.
enum Loc : int {
  kLocEncFull = 1,
  kLocHalfAtEnd = 2,
  kLocHalfInMiddle = 3,
  kLocLowInMiddle = 4,
  kLoc31Bits = 5,
  kLocEncCtrl = 6,
  kLocDecFull = 11,
  kLocDecFullPair = 12,
  kLocExhausted = 13,
  kLocIllegalStart = 14,
  kLocIllegalFollow = 15,
  kLocOverlong = 16,
  kLocRange = 17,
  kLocDecCtrlByte = 18,
  kLocDecCtrlPair = 19,
  kLocU46Full = 21,
  kLocU46FullPair = 22,
  kLocAdapterNoRoom = 31,
};

inline constexpr const WEQ_UC* kMsgFull = u"dest buffer overflow";

// --- Forms --------------------------------------------------------------
// Unit: the storage unit; kSwap: units in swapped byte order; kPairs: UTF-16
// surrogate pairing; k31Bits: encoder refuses values above 0x7FFFFFFF; kMax:
// largest value a decoder stores; kRangeMsg: the decoder's message beyond it.
enum class Family { kUtf16, kUcs4, kUcs2 };

template <Family F, bool Swapped>
struct Form {
  using Unit = std::conditional_t<F == Family::kUcs4, uint32_t, WEQ_UC>;
  static constexpr bool kSwap = Swapped;
  static constexpr bool kPairs = F == Family::kUtf16;
  static constexpr bool k31Bits = F == Family::kUcs4;
  static constexpr uint32_t kMax = F == Family::kUtf16  ? 0x10FFFF
                                   : F == Family::kUcs4 ? 0x7FFFFFFF
                                                        : 0xFFFF;
  static constexpr const WEQ_UC* kRangeMsg = F == Family::kUtf16  ? u"UTF-8 bejond UTF-32"
                                             : F == Family::kUcs4 ? u"UTF-8 bejond UCS-4"
                                                                  : u"UTF-8 bejond UCS-2";
};

// --- Unit access ----------------------------------------------------------
template <class U>
constexpr U ByteSwap(U v) {
  if constexpr (sizeof(U) == 2)
    return static_cast<U>(__builtin_bswap16(v));
  else
    return __builtin_bswap32(v);
}

template <class F, class P>
inline uint32_t Get(const P* p) {
  typename F::Unit u;
  std::memcpy(&u, p, sizeof u);
  return F::kSwap ? ByteSwap(u) : u;
}

template <class F, class P>
inline void Put(P* p, uint32_t v) {
  auto u = static_cast<typename F::Unit>(v);
  if constexpr (F::kSwap) u = ByteSwap(u);
  std::memcpy(p, &u, sizeof u);
}

// Writes a value above U+FFFF as a surrogate pair; needs two free units.
template <class F, class P>
inline void PutPair(P*& d, uint32_t v) {
  v -= 0x10000;
  Put<F>(d++, 0xD800 + (v >> 10));
  Put<F>(d++, 0xDC00 + (v & 0x3FF));
}

inline constexpr bool IsCtrl(uint32_t c) { return c < 0x20 || (c >= 0x7F && c <= 0x9F); }

// --- UTF-8 tables ---------------------------------------------------------
// Continuation bytes a lead byte announces, -1 for a byte that cannot start
// a character. Without control codes C0 and C1 cannot start one either.
constexpr std::array<int8_t, 256> MakeLeadTable(bool noCtrl) {
  std::array<int8_t, 256> t{};
  for (int b = 0; b < 256; ++b) {
    int8_t n = -1;
    if (b < 0x80) n = 0;
    else if (b >= 0xC0 && b <= 0xDF) n = 1;
    else if (b >= 0xE0 && b <= 0xEF) n = 2;
    else if (b >= 0xF0 && b <= 0xF7) n = 3;
    else if (b >= 0xF8 && b <= 0xFB) n = 4;
    else if (b >= 0xFC && b <= 0xFD) n = 5;
    if (noCtrl && (b == 0xC0 || b == 0xC1)) n = -1;
    t[static_cast<size_t>(b)] = n;
  }
  return t;
}
inline constexpr std::array<int8_t, 256> kLead = MakeLeadTable(false);
inline constexpr std::array<int8_t, 256> kLeadNoCtrl = MakeLeadTable(true);

// Value bits of a lead byte, and the smallest value, per continuation count.
inline constexpr uint8_t kLeadBits[6] = {0x7F, 0x1F, 0x0F, 0x07, 0x03, 0x01};
inline constexpr uint32_t kMinValue[6] = {0, 0x80, 0x800, 0x10000, 0x200000, 0x4000000};
// Lead byte marker per total length 1..6.
inline constexpr uint8_t kMarker[7] = {0, 0x00, 0xC0, 0xE0, 0xF0, 0xF8, 0xFC};

inline constexpr int EncodedLength(uint32_t c) {
  return c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : c < 0x200000 ? 4 : c < 0x4000000 ? 5 : 6;
}

// Writes c as n bytes (n from EncodedLength): continuation bytes from the
// end, then the lead byte.
inline void EncodeUtf8(WEQ_RAW* d, uint32_t c, int n) {
  for (int i = n - 1; i > 0; --i) {
    d[i] = static_cast<WEQ_RAW>(0x80 | (c & 0x3F));
    c >>= 6;
  }
  d[0] = static_cast<WEQ_RAW>(kMarker[n] | c);
}

// --- Runs of ASCII ----------------------------------------------------------
// Eight characters at a time while all are plain 7-bit characters (no
// control codes for the _noctrl forms); the decoder also takes a word that
// holds another character up to that character. Everything else goes
// through the character-wise code, so results, stop positions and hook calls
// do not depend on the runs.
constexpr int kRun = 8;
constexpr uint64_t kOnes = 0x0101010101010101ull;
constexpr uint64_t kHigh = 0x8080808080808080ull;

// Flags (top bit of the byte) the bytes of w that are not plain characters;
// the lowest flag is exact, flags above it may be spurious.
template <bool kNoCtrl>
inline uint64_t OddBytes(uint64_t w) {
  uint64_t odd = w & kHigh;
  if constexpr (kNoCtrl) {
    uint64_t below20 = (w - kOnes * 0x20) & ~w & kHigh;
    uint64_t x = w ^ (kOnes * 0x7F);
    odd |= below20 | ((x - kOnes) & ~x & kHigh);
  }
  return odd;
}

inline int PlainPrefix(uint64_t odd) { return odd ? __builtin_ctzll(odd) / 8 : kRun; }

// Whole words of kRun plain units only: in mixed text most runs are short,
// and the character-wise code is quicker there than a partial word.
template <class F, bool kNoCtrl>
inline void EncodeRun(const typename F::Unit*& s, const typename F::Unit* se, WEQ_RAW*& d,
                      WEQ_RAW* de) {
  using Unit = typename F::Unit;
  constexpr Unit kHighBits = F::kSwap ? ByteSwap(static_cast<Unit>(~Unit{0x7F}))
                                      : static_cast<Unit>(~Unit{0x7F});
  while (se - s >= kRun && de - d >= kRun) {
    Unit u[kRun];
    std::memcpy(u, s, sizeof u);
    Unit any = 0;
    for (int i = 0; i < kRun; ++i) any |= u[i];
    if (any & kHighBits) return;
    WEQ_RAW b[kRun];
    for (int i = 0; i < kRun; ++i) b[i] = static_cast<WEQ_RAW>(F::kSwap ? ByteSwap(u[i]) : u[i]);
    if constexpr (kNoCtrl) {
      uint64_t w;
      std::memcpy(&w, b, sizeof w);
      if (OddBytes<true>(w)) return;
    }
    std::memcpy(d, b, sizeof b);
    s += kRun;
    d += kRun;
  }
}

// Needs kRun bytes of source and units of room, and a plain first byte.
template <class F, bool kNoCtrl>
inline void DecodeRun(const WEQ_RAW*& s, const WEQ_RAW* se, typename F::Unit*& d,
                      typename F::Unit* de) {
  while (se - s >= kRun && de - d >= kRun) {
    uint64_t w;
    std::memcpy(&w, s, sizeof w);
    uint64_t odd = OddBytes<kNoCtrl>(w);
    if (odd == 0) {
      typename F::Unit u[kRun];
      for (int i = 0; i < kRun; ++i) Put<F>(u + i, s[i]);
      std::memcpy(d, u, sizeof u);
      s += kRun;
      d += kRun;
      continue;
    }
    int n = PlainPrefix(odd);
    for (int i = 0; i < n; ++i) Put<F>(d + i, s[i]);
    s += n;
    d += n;
    return;
  }
}

// --- The encoder ------------------------------------------------------------
template <class F, bool kNoCtrl>
int Encode(RscpuIModule& mod, const typename F::Unit** pSrc, const typename F::Unit* srcEnd,
           WEQ_RAW** pDst, WEQ_RAW* dstEnd) {
  const typename F::Unit* s = *pSrc;
  WEQ_RAW* d = *pDst;
  int rc = 0;
  while (s < srcEnd) {
    uint32_t c = Get<F>(s);
    // Valid characters with room to spare, by length; anything else, and
    // every error, is left to the general steps below.
    if (c < 0x80) {
      if (!(kNoCtrl && IsCtrl(c)) && d < dstEnd) {
        const typename F::Unit* from = s;
        EncodeRun<F, kNoCtrl>(s, srcEnd, d, dstEnd);
        if (s == from) {
          *d++ = static_cast<WEQ_RAW>(c);
          ++s;
        }
        continue;
      }
    } else if (c < 0x800) {
      if (!(kNoCtrl && c <= 0x9F) && dstEnd - d >= 2) {
        EncodeUtf8(d, c, 2);
        d += 2;
        ++s;
        continue;
      }
    } else if (c < 0x10000) {
      if ((!F::kPairs || c - 0xD800 >= 0x800) && dstEnd - d >= 3) {
        EncodeUtf8(d, c, 3);
        d += 3;
        ++s;
        continue;
      }
      if (F::kPairs && c < 0xDC00 && srcEnd - s >= 2 && dstEnd - d >= 4) {
        uint32_t low = Get<F>(s + 1);
        if (low - 0xDC00 < 0x400) {
          EncodeUtf8(d, 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00), 4);
          d += 4;
          s += 2;
          continue;
        }
      }
    } else if (c < 0x200000 && dstEnd - d >= 4) {
      EncodeUtf8(d, c, 4);
      d += 4;
      ++s;
      continue;
    }
    int used = 1;
    if constexpr (F::kPairs) {
      if (c - 0xD800 < 0x800) {
        if (c >= 0xDC00) {
          rc = RscpuIError(mod, RSCPU_NO_CONV, kLocLowInMiddle, __LINE__,
                           u"Half low surrogate in middle");
          break;
        }
        if (s + 1 == srcEnd) {
          rc = RscpuIError(mod, RSCPU_SRC_PARTIAL, kLocHalfAtEnd, __LINE__,
                           u"Half surrogate at end");
          break;
        }
        uint32_t low = Get<F>(s + 1);
        if (low - 0xDC00 >= 0x400) {
          rc = RscpuIError(mod, RSCPU_NO_CONV, kLocHalfInMiddle, __LINE__,
                           u"Half surrogate in middle");
          break;
        }
        c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        used = 2;
      }
    }
    if constexpr (F::k31Bits) {
      if (c > 0x7FFFFFFF) {
        rc = RscpuIError(mod, RSCPU_NO_CONV, kLoc31Bits, __LINE__, u"UCS-4 has only 31 bits.");
        break;
      }
    }
    if (kNoCtrl && IsCtrl(c)) {
      rc = RscpuIError(mod, RSCPU_NO_CONV, kLocEncCtrl, __LINE__, u"control code not allowed");
      break;
    }
    int n = EncodedLength(c);
    if (dstEnd - d < n) {
      rc = RscpuIError(mod, RSCPU_DEST_FULL, kLocEncFull, __LINE__, kMsgFull);
      break;
    }
    EncodeUtf8(d, c, n);
    d += n;
    s += used;
  }
  *pSrc = s;
  *pDst = d;
  return rc;
}

// --- The decoder ------------------------------------------------------------
// Every error without a substitute leaves the source on the lead byte of the
// offending sequence, so that a caller can skip exactly that character.
template <class F, bool kNoCtrl>
int Decode(RscpuIModule& mod, const WEQ_RAW** pSrc, const WEQ_RAW* srcEnd,
           typename F::Unit** pDst, typename F::Unit* dstEnd, const typename F::Unit* subst,
           uint32_t* count) {
  const auto& lead = kNoCtrl ? kLeadNoCtrl : kLead;
  const WEQ_RAW* s = *pSrc;
  typename F::Unit* d = *pDst;
  int rc = 0;
  while (s < srcEnd) {
    if (d >= dstEnd) {
      rc = RscpuIError(mod, RSCPU_DEST_FULL, kLocDecFull, __LINE__, kMsgFull);
      break;
    }
    const uint32_t b = *s;
    // Valid sequences of 1 to 4 bytes, by lead byte; anything else, and
    // every error, is left to the general steps below.
    if (b < 0x80) {
      if (!(kNoCtrl && (b < 0x20 || b == 0x7F))) {
        if (srcEnd - s >= kRun && dstEnd - d >= kRun) {
          DecodeRun<F, kNoCtrl>(s, srcEnd, d, dstEnd);
        } else {
          Put<F>(d++, b);
          ++s;
        }
        continue;
      }
    } else if (b >= 0xC2 && b < 0xE0) {
      if (srcEnd - s >= 2 && (s[1] & 0xC0) == 0x80) {
        uint32_t v = ((b & 0x1F) << 6) | (s[1] & 0x3F);
        if (!(kNoCtrl && v <= 0x9F)) {
          Put<F>(d++, v);
          s += 2;
          continue;
        }
      }
    } else if (b >= 0xE0 && b < 0xF0) {
      if (srcEnd - s >= 3 && ((s[1] & 0xC0) | ((s[2] & 0xC0) >> 2)) == 0xA0) {
        uint32_t v = ((b & 0x0F) << 12) | ((s[1] & 0x3F) << 6) | (s[2] & 0x3F);
        if (v >= 0x800) {
          Put<F>(d++, v);
          s += 3;
          continue;
        }
      }
    } else if (b >= 0xF0 && b < 0xF8) {
      if (srcEnd - s >= 4 && ((s[1] & 0xC0) | ((s[2] & 0xC0) >> 2) | ((s[3] & 0xC0) >> 4)) == 0xA8) {
        uint32_t v = ((b & 0x07) << 18) | ((s[1] & 0x3F) << 12) | ((s[2] & 0x3F) << 6) | (s[3] & 0x3F);
        if (v >= 0x10000 && v <= F::kMax) {
          if constexpr (F::kPairs) {
            if (dstEnd - d >= 2) {
              PutPair<F>(d, v);
              s += 4;
              continue;
            }
          } else {
            Put<F>(d++, v);
            s += 4;
            continue;
          }
        }
      }
    }
    const int extra = lead[b];
    // Where to go on after substituting: behind the sequence, except after
    // a bad continuation byte, which may start the next character.
    const WEQ_RAW* next = s + 1;
    int kind = RSCPU_NO_CONV, loc = 0, line = 0;
    const WEQ_UC* msg = nullptr;
    if (extra == 0) {
      if (!(kNoCtrl && (b < 0x20 || b == 0x7F))) {
        Put<F>(d++, b);
        ++s;
        continue;
      }
      loc = kLocDecCtrlByte, line = __LINE__, msg = u"control codes not allowed here";
    } else if (extra < 0) {
      loc = kLocIllegalStart, line = __LINE__, msg = u"illegal start byte";
    } else if (srcEnd - s <= extra) {
      rc = RscpuIError(mod, RSCPU_SRC_PARTIAL, kLocExhausted, __LINE__,
                       u"source exhausted within a char");
      break;
    } else {
      uint32_t v = b & kLeadBits[extra];
      int i = 1;
      for (; i <= extra; ++i) {
        uint32_t c = s[i];
        if ((c & 0xC0) != 0x80) break;
        v = (v << 6) | (c & 0x3F);
      }
      if (i <= extra) {
        loc = kLocIllegalFollow, line = __LINE__, msg = u"illegal follow-up byte";
      } else {
        next = s + extra + 1;
        if (v < kMinValue[extra]) {
          loc = kLocOverlong, line = __LINE__, msg = u"overlong UTF-8 sequence";
        } else if (v > F::kMax) {
          loc = kLocRange, line = __LINE__, msg = F::kRangeMsg;
        } else if (kNoCtrl && v <= 0x9F) {
          loc = kLocDecCtrlPair, line = __LINE__, msg = u"control codes not allowed here";
        } else if (F::kPairs && v > 0xFFFF) {
          if (dstEnd - d < 2) {
            rc = RscpuIError(mod, RSCPU_DEST_FULL, kLocDecFullPair, __LINE__, kMsgFull);
            break;
          }
          PutPair<F>(d, v);
          s = next;
          continue;
        } else {
          Put<F>(d++, v);
          s = next;
          continue;
        }
      }
    }
    if (subst == nullptr) {
      rc = RscpuIError(mod, kind, loc, line, msg);
      break;
    }
    Put<F>(d++, *subst);
    if (count) ++*count;
    s = next;
  }
  *pSrc = s;
  *pDst = d;
  return rc;
}

}  // namespace rscpu

// Defines the four converters of one form: to UTF-8 and from UTF-8, each
// plain and without control codes. MOD is the module's RscpuIModule.
#define RSCPU_DEFINE_FORM(NAME, FORM, MOD)                                                   \
  int rscpu_##NAME##_to_U8(const FORM::Unit** s, const FORM::Unit* se, WEQ_RAW** d,         \
                           WEQ_RAW* de) {                                                   \
    return rscpu::Encode<FORM, false>(MOD, s, se, d, de);                                    \
  }                                                                                         \
  int rscpu_##NAME##_to_U8_noctrl(const FORM::Unit** s, const FORM::Unit* se, WEQ_RAW** d,  \
                                  WEQ_RAW* de) {                                            \
    return rscpu::Encode<FORM, true>(MOD, s, se, d, de);                                     \
  }                                                                                         \
  int rscpu_U8_to_##NAME(const WEQ_RAW** s, const WEQ_RAW* se, FORM::Unit** d,              \
                         FORM::Unit* de, const FORM::Unit* subst, uint32_t* count) {        \
    return rscpu::Decode<FORM, false>(MOD, s, se, d, de, subst, count);                      \
  }                                                                                         \
  int rscpu_U8_to_##NAME##_noctrl(const WEQ_RAW** s, const WEQ_RAW* se, FORM::Unit** d,     \
                                  FORM::Unit* de, const FORM::Unit* subst, uint32_t* count) { \
    return rscpu::Decode<FORM, true>(MOD, s, se, d, de, subst, count);                       \
  }

#endif
