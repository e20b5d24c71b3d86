// LZH compressor: lazy LZ77 matching over a 32 KB window with hash chains,
// literals and matches tallied per block, each block sent with dynamic or
// fixed Huffman codes, whichever is shorter (never stored).
//
// The compressor takes input as far as the caller gives it and writes
// output as far as there is room; a block that does not fit waits in the
// overflow area, which later calls hand out before they take more input.
#include <atomic>
#include <chrono>
#include <climits>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "compression/lzh.h"
#include "compression/csr.h"
#include "compression/csr_stream.h"

namespace {

using namespace lzh;

constexpr uint32_t kHashMask = kHashSize - 1;
constexpr int kHashShift = 5;
constexpr int kRep3To6 = 16;      // repeat the previous length 3..6 times
constexpr int kRepZero3To10 = 17;
constexpr int kRepZero11To138 = 18;

struct LevelConfig {
  uint16_t good_length;  // from this previous match length on, search a quarter of the chain
  uint16_t max_lazy;     // look for a better match only below this length
  uint16_t max_chain;    // chain entries examined
};
constexpr LevelConfig kLevels[10] = {
    {0, 0, 0},    {4, 4, 16},    {6, 8, 16},     {8, 16, 32},    {8, 32, 64},
    {8, 64, 128}, {8, 128, 256}, {8, 128, 512},  {32, 258, 1024}, {32, 258, 4096}};

// Length code (0..28) of a match length − 3.
constexpr std::array<uint8_t, 256> kLengthCode = [] {
  std::array<uint8_t, 256> t{};
  for (int code = 0; code < kLengthCodes - 1; ++code)
    for (int n = 0; n < (1 << kLengthExtra[code]); ++n) t[kLengthBase[code] - kMinMatch + n] = static_cast<uint8_t>(code);
  // 258 could also be sent as code 27 with all extra bits set; it has a
  // code of its own.
  t[255] = kLengthCodes - 1;
  return t;
}();

// Distance code of a distance − 1: entries 0..255 directly, then by
// 256 + ((distance − 1) >> 7).
constexpr std::array<uint8_t, 512> kDistCode = [] {
  std::array<uint8_t, 512> t{};
  for (int code = 0; code < 16; ++code)
    for (int n = 0; n < (1 << kDistExtra[code]); ++n) t[kDistBase[code] - 1 + n] = static_cast<uint8_t>(code);
  for (int code = 16; code < kDistCodes; ++code)
    for (int n = 0; n < (1 << (kDistExtra[code] - 7)); ++n)
      t[256 + ((kDistBase[code] - 1) >> 7) + n] = static_cast<uint8_t>(code);
  return t;
}();

// Without a branch: whether a distance is short is data no predictor
// guesses. dist is below 2^16.
inline unsigned DistCode(unsigned dist) {
  const unsigned far = 0u - static_cast<unsigned>((dist >> 8) != 0);
  return kDistCode[(dist & ~far) | ((256 + (dist >> 7)) & far)];
}

constexpr std::array<uint8_t, kCodeLenCodes> kCodeLenExtra = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                                              0, 0, 0, 0, 0, 0, 2, 3, 7};

constexpr std::array<uint16_t, kDistCodes> kFixedDistCodesRev = [] {
  std::array<uint16_t, kDistCodes> t{};
  for (int n = 0; n < kDistCodes; ++n) t[n] = ReverseBits(n, kFixedDistLength);
  return t;
}();
constexpr std::array<uint8_t, kDistCodes> kFixedDistLengths = [] {
  std::array<uint8_t, kDistCodes> t{};
  for (auto& l : t) l = kFixedDistLength;
  return t;
}();

// What BuildTree needs to know of a tree beyond its nodes.
struct TreeDesc {
  const uint8_t* fixed_len;  // lengths of the fixed counterpart, or null
  const uint8_t* extra;      // extra bits of symbols from extra_base on
  int extra_base;
  int max_length;
};
constexpr TreeDesc kLitLenDesc{kFixedLitLenLengths.data(), kLengthExtra.data(), kLiterals + 1, kMaxBits};
constexpr TreeDesc kDistDesc{kFixedDistLengths.data(), kDistExtra.data(), 0, kMaxBits};
constexpr TreeDesc kCodeLenDesc{nullptr, kCodeLenExtra.data(), 0, kMaxCodeLenBits};

inline uint64_t Load64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;  // little-endian host
}

inline uint16_t Load16(const uint8_t* p) {
  uint16_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// Length of the common prefix of two strings whose first bytes are equal,
// at most kMaxMatch.
inline unsigned MatchLength(const uint8_t* a, const uint8_t* b) {
#if defined(__SSE2__)
  // 16 bytes a step, reading up to 31 bytes past kMaxMatch.
  for (unsigned i = 1; i < static_cast<unsigned>(kMaxMatch); i += 16) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + i));
    const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i));
    const unsigned equal = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, y)));
    if (equal != 0xFFFF) {
      i += static_cast<unsigned>(__builtin_ctz(~equal));
      return i < static_cast<unsigned>(kMaxMatch) ? i : kMaxMatch;
    }
  }
#else
  for (unsigned i = 1; i < static_cast<unsigned>(kMaxMatch); i += 8) {
    uint64_t x = Load64(a + i) ^ Load64(b + i);
    if (x) {
      i += static_cast<unsigned>(__builtin_ctzll(x)) >> 3;
      return i < static_cast<unsigned>(kMaxMatch) ? i : kMaxMatch;
    }
  }
#endif
  return kMaxMatch;
}

// Positions as the window slides: to[i] is from[i] moved down by
// kWindowSize, 0 for those that fall out of it (which ends a chain); n is
// a multiple of 8, and to may be from.
inline void Rebase(uint16_t* to, const uint16_t* from, size_t n) {
#if defined(__SSE2__)
  const __m128i step = _mm_set1_epi16(static_cast<short>(kWindowSize));
  for (size_t i = 0; i < n; i += 8) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + i));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(to + i), _mm_subs_epu16(v, step));
  }
#else
  for (size_t i = 0; i < n; ++i) to[i] = static_cast<uint16_t>(from[i] >= kWindowSize ? from[i] - kWindowSize : 0);
#endif
}

inline uint32_t Load32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// Prefix length of each prefix chain, its hash and its equality test.
constexpr std::array<uint32_t, kPrefixChains> kPrefixLen = {4, 8, 16};
static_assert(kPrefixLen[0] == kMinMatch + 1);

template <int T>
inline uint32_t PrefixHash(const uint8_t* p) {
  constexpr int kShift = 64 - kPrefixHashBits;
  if constexpr (T == 0) {
    return (Load32(p) * 0x9E3779B1u) >> (32 - kPrefixHashBits);
  } else if constexpr (T == 1) {
    return static_cast<uint32_t>((Load64(p) * 0x9E3779B97F4A7C15ull) >> kShift);
  } else {
    return static_cast<uint32_t>(((Load64(p) * 0x9E3779B97F4A7C15ull) ^ (Load64(p + 8) * 0xC2B2AE3D27D4EB4Full)) >>
                                 kShift);
  }
}

template <int T>
inline bool PrefixEqual(const uint8_t* a, const uint8_t* b) {
  if constexpr (T == 0) return Load32(a) == Load32(b);
  else if constexpr (T == 1) return Load64(a) == Load64(b);
  else return ((Load64(a) ^ Load64(b)) | (Load64(a + 8) ^ Load64(b + 8))) == 0;
}

// --- filler bits ------------------------------------------------------------

// -1: drawn from the generator; otherwise count | bits << 2.
std::atomic<int> g_forced_filler{-1};

uint64_t NextRandom() {
  // A Weyl sequence stepped atomically and scrambled: lock-free, and
  // independent of the C library's generator, which the host may use.
  static std::atomic<uint64_t> state{
      static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
      reinterpret_cast<uintptr_t>(&g_forced_filler)};
  uint64_t z = state.fetch_add(0x9E3779B97F4A7C15ull, std::memory_order_relaxed) + 0x9E3779B97F4A7C15ull;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

// Prefix chains kept at a level. Below level 4 the hash chain walks are
// short and keeping the prefix chains costs more than they save.
constexpr uint32_t PrefixChainsOf(int level) {
  return level <= 3 ? 0 : level <= 7 ? 2 : 3;
}

struct Deflater {
  CsRLzhDeflateState& s;

  // --- output

  void PutByte(uint8_t b) {
    if (s.out_count < s.out_room)
      s.out[s.out_count++] = b;
    else
      s.overflow[s.ovf_fill++] = b;  // one block at most: always fits
  }

  void PutPair() {
    PutByte(static_cast<uint8_t>(s.bitbuf));
    PutByte(static_cast<uint8_t>(s.bitbuf >> 8));
    s.bitbuf >>= 16;
    s.bitcnt -= 16;
  }

  // Bits leave in 16-bit units, low byte first; len is at most 16.
  void SendBits(uint32_t value, unsigned len) {
    s.bitbuf |= static_cast<uint64_t>(value) << s.bitcnt;
    s.bitcnt += len;
    if (s.bitcnt >= 48) {
      PutPair();
      PutPair();
    }
  }

  // Leaves 1 to 16 bits in the buffer, as a 16-bit buffer would hold them,
  // so that each call writes the same bytes whatever the buffer's width.
  void SettleBits() {
    while (s.bitcnt > 16) PutPair();
  }

  void Windup() {
    SettleBits();
    if (s.bitcnt > 8) {
      PutPair();
    } else if (s.bitcnt > 0) {
      PutByte(static_cast<uint8_t>(s.bitbuf));
    }
    s.bitbuf = 0;
    s.bitcnt = 0;
    PutByte(0);
  }

  // --- trees

  void InitBlock() {
    std::memset(s.ltree.freq, 0, sizeof(uint16_t) * kLitLenCodes);
    std::memset(s.dtree.freq, 0, sizeof(uint16_t) * kDistCodes);
    std::memset(s.bltree.freq, 0, sizeof(uint16_t) * kCodeLenCodes);
    s.ltree.freq[kEndOfBlock] = 1;
    s.opt_len = 0;
    s.static_len = 0;
    s.last_lit = 0;
    s.last_dist = 0;
    s.last_flags = 0;
    s.flags = 0;
    s.flag_bit = 1;
  }

  // heap_len is passed in: the stores into the heap, ints as the count
  // is, would otherwise make the compiler reload it after each one.
  template <int E>
  void DownHeap(const HuffTree<E>& t, int k, const int heap_len) {
    auto smaller = [&](int n, int m) {
      return t.freq[n] < t.freq[m] || (t.freq[n] == t.freq[m] && s.depth[n] <= s.depth[m]);
    };
    int v = s.heap[k];
    int j = k << 1;
    while (j <= heap_len) {
      if (j < heap_len && smaller(s.heap[j + 1], s.heap[j])) ++j;
      if (smaller(v, s.heap[j])) break;
      s.heap[k] = s.heap[j];
      k = j;
      j <<= 1;
    }
    s.heap[k] = v;
  }

  // Code lengths from the finished tree, limited to the tree's maximum; the
  // block's bit counts with these codes and with the fixed ones grow by the
  // leaves' share.
  template <int E>
  void GenBitLen(HuffTree<E>& t, const TreeDesc& d) {
    for (auto& c : s.bl_count) c = 0;
    t.len[s.heap[s.heap_max]] = 0;  // the root
    int overflow = 0;
    for (int h = s.heap_max + 1; h < kHeapSize; ++h) {
      int n = s.heap[h];
      int bits = t.len[t.dad[n]] + 1;
      if (bits > d.max_length) {
        bits = d.max_length;
        ++overflow;
      }
      t.len[n] = static_cast<uint8_t>(bits);
      if (n > t.max_code) continue;  // inner node
      ++s.bl_count[bits];
      int xbits = n >= d.extra_base ? d.extra[n - d.extra_base] : 0;
      uint32_t f = t.freq[n];
      s.opt_len += f * static_cast<uint32_t>(bits + xbits);
      if (d.fixed_len) s.static_len += f * static_cast<uint32_t>(d.fixed_len[n] + xbits);
    }
    if (overflow == 0) return;
    // Move codes down from the maximum: each step turns one leaf of the
    // deepest level below the maximum into an inner node with two leaves.
    do {
      int bits = d.max_length - 1;
      while (s.bl_count[bits] == 0) --bits;
      --s.bl_count[bits];
      s.bl_count[bits + 1] += 2;
      --s.bl_count[d.max_length];
      overflow -= 2;
    } while (overflow > 0);
    // Hand the lengths out again, longest first, to the leaves in heap
    // order from the end (least frequent first).
    int h = kHeapSize;
    for (int bits = d.max_length; bits != 0; --bits) {
      int n = s.bl_count[bits];
      while (n != 0) {
        int m = s.heap[--h];
        if (m > t.max_code) continue;
        if (t.len[m] != bits) {
          s.opt_len += static_cast<uint32_t>((bits - t.len[m]) * static_cast<int>(t.freq[m]));
          t.len[m] = static_cast<uint8_t>(bits);
        }
        --n;
      }
    }
  }

  template <int E>
  void GenCodes(HuffTree<E>& t) {
    uint16_t next[kMaxBits + 1];
    unsigned code = 0;
    for (int bits = 1; bits <= kMaxBits; ++bits) {
      code = (code + s.bl_count[bits - 1]) << 1;
      next[bits] = static_cast<uint16_t>(code);
    }
    for (int n = 0; n <= t.max_code; ++n)
      if (t.len[n]) t.code[n] = ReverseBits(next[t.len[n]]++, t.len[n]);
  }

  // Huffman tree over the frequencies, ties broken by depth.
  template <int E>
  void BuildTree(HuffTree<E>& t, const TreeDesc& d) {
    int max_code = -1;
    s.heap_len = 0;
    s.heap_max = kHeapSize;
    for (int n = 0; n < E; ++n) {
      if (t.freq[n]) {
        s.heap[++s.heap_len] = max_code = n;
        s.depth[n] = 0;
      } else {
        t.len[n] = 0;
      }
    }
    // A code needs two symbols: add dummies of frequency 1, whose bits the
    // counts do not owe.
    while (s.heap_len < 2) {
      int node = s.heap[++s.heap_len] = (max_code < 2 ? ++max_code : 0);
      t.freq[node] = 1;
      s.depth[node] = 0;
      --s.opt_len;
      if (d.fixed_len) s.static_len -= d.fixed_len[node];
    }
    t.max_code = max_code;
    int heap_len = s.heap_len, heap_max = s.heap_max;
    for (int n = heap_len / 2; n >= 1; --n) DownHeap(t, n, heap_len);
    int node = E;
    do {
      int n = s.heap[1];
      s.heap[1] = s.heap[heap_len--];
      DownHeap(t, 1, heap_len);
      int m = s.heap[1];
      s.heap[--heap_max] = n;
      s.heap[--heap_max] = m;
      t.freq[node] = static_cast<uint16_t>(t.freq[n] + t.freq[m]);
      s.depth[node] = static_cast<uint8_t>((s.depth[n] >= s.depth[m] ? s.depth[n] : s.depth[m]) + 1);
      t.dad[n] = t.dad[m] = static_cast<uint16_t>(node);
      s.heap[1] = node++;
      DownHeap(t, 1, heap_len);
    } while (heap_len >= 2);
    s.heap[--heap_max] = s.heap[1];
    s.heap_len = heap_len;
    s.heap_max = heap_max;
    GenBitLen(t, d);
    GenCodes(t);
  }

  // Walks a code-length list as the repeat codes send it, calling
  // emit(symbol, extra value, extra bits) for each code-length code.
  template <class Emit>
  static void WalkLengths(const uint8_t* len, int max_code, Emit emit) {
    int prevlen = -1;
    int nextlen = len[0];
    int count = 0;
    int max_count = nextlen == 0 ? 138 : 7;
    int min_count = nextlen == 0 ? 3 : 4;
    for (int n = 0; n <= max_code; ++n) {
      int curlen = nextlen;
      nextlen = n + 1 <= max_code ? len[n + 1] : 0xFFFF;
      if (++count < max_count && curlen == nextlen) continue;
      if (count < min_count) {
        for (; count; --count) emit(curlen, 0, 0);
      } else if (curlen != 0) {
        if (curlen != prevlen) {
          emit(curlen, 0, 0);
          --count;
        }
        emit(kRep3To6, count - 3, 2);
      } else if (count <= 10) {
        emit(kRepZero3To10, count - 3, 3);
      } else {
        emit(kRepZero11To138, count - 11, 7);
      }
      count = 0;
      prevlen = curlen;
      if (nextlen == 0) {
        max_count = 138;
        min_count = 3;
      } else if (curlen == nextlen) {
        max_count = 6;
        min_count = 3;
      } else {
        max_count = 7;
        min_count = 4;
      }
    }
  }

  void ScanTree(const uint8_t* len, int max_code) {
    WalkLengths(len, max_code, [&](int sym, int, int) { ++s.bltree.freq[sym]; });
  }

  void SendTree(const uint8_t* len, int max_code) {
    WalkLengths(len, max_code, [&](int sym, int value, int bits) {
      SendBits(s.bltree.code[sym], s.bltree.len[sym]);
      if (bits) SendBits(static_cast<uint32_t>(value), static_cast<unsigned>(bits));
    });
  }

  // Builds the code-length tree; returns the index in kCodeLenOrder of the
  // last code-length code to send (at least 3).
  int BuildCodeLenTree() {
    ScanTree(s.ltree.len, s.ltree.max_code);
    ScanTree(s.dtree.len, s.dtree.max_code);
    BuildTree(s.bltree, kCodeLenDesc);
    int max_blindex;
    for (max_blindex = kCodeLenCodes - 1; max_blindex >= 3; --max_blindex)
      if (s.bltree.len[kCodeLenOrder[max_blindex]] != 0) break;
    s.opt_len += 3 * (max_blindex + 1) + 5 + 5 + 4;
    return max_blindex;
  }

  void SendAllTrees(int lcodes, int dcodes, int blcodes) {
    SendBits(lcodes - 257, 5);
    SendBits(dcodes - 1, 5);
    SendBits(blcodes - 4, 4);
    for (int rank = 0; rank < blcodes; ++rank) SendBits(s.bltree.len[kCodeLenOrder[rank]], 3);
    SendTree(s.ltree.len, lcodes - 1);
    SendTree(s.dtree.len, dcodes - 1);
  }

  // Sends the block's literals and matches and its end code. The bits are
  // put together in the overflow area behind what waits there, 8 bytes
  // stored at a time of which the whole bytes count, with no branch per
  // symbol; then they go where PutByte would put them: into the output as
  // far as there is room, the rest into the overflow area. The bit buffer
  // is left as SettleBits leaves it, which depends only on the number of
  // bits sent since the stream began.
  void CompressBlock(const uint16_t* lcode, const uint8_t* llen, const uint16_t* dcode,
                     const uint8_t* dlen) {
    // This block's code of each literal (entries 0..255) and of each match
    // length − 3 with its extra bits (256..511): the bits in the low 24,
    // their count above. Per distance code: the code less the extra base,
    // shifted to where the extra bits go, so that adding the distance
    // shifted the same way gives the code with its extra bits.
    uint32_t sym[2 * 256];
    for (unsigned lc = 0; lc < 256; ++lc) sym[lc] = lcode[lc] | static_cast<uint32_t>(llen[lc]) << 24;
    for (unsigned lc = 0; lc < 256; ++lc) {
      const unsigned code = kLengthCode[lc], n = code + kLiterals + 1;
      sym[256 + lc] = (lcode[n] | (lc - (kLengthBase[code] - kMinMatch)) << llen[n]) |
                      static_cast<uint32_t>(llen[n] + kLengthExtra[code]) << 24;
    }
    // (Offset in the low 32 bits, shift in the next 8, bit count above.)
    uint64_t du[kDistCodes];
    for (int code = 0; code < kDistCodes; ++code)
      du[code] = (dcode[code] - ((kDistBase[code] - 1u) << dlen[code])) | uint64_t{dlen[code]} << 32 |
                 uint64_t{static_cast<uint32_t>(dlen[code] + kDistExtra[code])} << 40;

    uint8_t* const stage = s.overflow + s.ovf_fill;
    uint8_t* dst = stage;
    uint64_t bb = s.bitbuf;
    unsigned bc = s.bitcnt;  // up to 47 after the block header
    // Stores the buffer and keeps the bits short of a whole byte.
    auto flush = [&] {
      std::memcpy(dst, &bb, 8);  // little-endian host
      dst += bc >> 3;
      bb >>= bc & ~7u;
      bc &= 7;
    };
    flush();
    const uint8_t* const l_buf = s.l_buf;
    const uint16_t* const d_buf = s.d_buf;
    const uint8_t* const flag_buf = s.flag_buf;
    const uint32_t last_lit = s.last_lit;
    uint32_t dx = 0;
    for (uint32_t lx = 0; lx < last_lit; ++lx) {
      // At most 7 + 20 + 28 bits: a length code with 5 extra bits, a
      // distance code with 13.
      const uint32_t match = (flag_buf[lx >> 3] >> (lx & 7)) & 1;
      const uint32_t e = sym[l_buf[lx] | match << 8];
      bb |= static_cast<uint64_t>(e & 0xFFFFFF) << bc;
      bc += e >> 24;
      // A literal reads the next distance too, and sends none of it. The
      // unused part of d_buf may hold anything: the mask keeps its code in
      // the table.
      const uint32_t dist = d_buf[dx] & (kWindowSize - 1);
      dx += match;
      const uint64_t u = du[DistCode(dist)];
      const uint32_t keep = 0u - match;
      bb |= static_cast<uint64_t>((static_cast<uint32_t>(u) + (dist << ((u >> 32) & 0xFF))) & keep) << bc;
      bc += static_cast<uint32_t>(u >> 40) & keep;
      flush();
    }
    bb |= static_cast<uint64_t>(lcode[kEndOfBlock]) << bc;
    bc += llen[kEndOfBlock];
    flush();
    // As SettleBits leaves it: whole 16-bit units out (counted from the
    // stream's start, which the units before this block were), 1 to 16
    // bits held back; the last one or two bytes stored may go back into
    // the buffer.
    uint32_t staged = static_cast<uint32_t>(dst - stage);
    const uint32_t bits = staged * 8 + bc;
    const uint32_t sent = (bits - 1) / 16 * 2;
    while (staged > sent) {
      bb = (bb << 8) | stage[--staged];
      bc += 8;
    }
    s.bitbuf = bb;
    s.bitcnt = bc;
    if (s.ovf_fill == 0) {
      const uint32_t room = s.out_room - s.out_count;
      const uint32_t n = sent < room ? sent : room;
      std::memcpy(s.out + s.out_count, stage, n);
      s.out_count += n;
      if (n < sent) std::memmove(s.overflow, stage + n, sent - n);
      s.ovf_fill = sent - n;
    } else {
      s.ovf_fill += sent;
    }
  }

  void FlushBlock(bool last) {
    s.flag_buf[s.last_flags] = static_cast<uint8_t>(s.flags);
    BuildTree(s.ltree, kLitLenDesc);
    BuildTree(s.dtree, kDistDesc);
    int max_blindex = BuildCodeLenTree();
    // Both counts in whole bytes with the 3 header bits; ties go to the
    // fixed codes.
    if (((s.static_len + 10) & ~7u) > ((s.opt_len + 10) & ~7u)) {
      SendBits(4 + last, 3);
      SendAllTrees(s.ltree.max_code + 1, s.dtree.max_code + 1, max_blindex + 1);
      CompressBlock(s.ltree.code, s.ltree.len, s.dtree.code, s.dtree.len);
    } else {
      SendBits(2 + last, 3);
      CompressBlock(kFixedLitLenCodesRev.data(), kFixedLitLenLengths.data(), kFixedDistCodesRev.data(),
                    kFixedDistLengths.data());
    }
    InitBlock();
    if (last)
      Windup();
    else
      SettleBits();
  }

  // The tallies of the block under way. The matching loop holds them in
  // locals: its byte stores may alias any field of the state, and would
  // otherwise make the compiler reload and store each counter around them.
  // (The buffers are reached through the state: their addresses are the
  // state's plus a constant, which costs no register.)
  struct Tallies {
    uint32_t last_lit, last_dist, last_flags, flags, flag_bit;
  };

  Tallies LoadTallies() { return {s.last_lit, s.last_dist, s.last_flags, s.flags, s.flag_bit}; }

  void StoreTallies(const Tallies& t) {
    s.last_lit = t.last_lit;
    s.last_dist = t.last_dist;
    s.last_flags = t.last_flags;
    s.flags = t.flags;
    s.flag_bit = t.flag_bit;
  }

  // Records a literal (kMatch false, lc the byte) or a match (dist ≥ 1, lc
  // = length − 3) found at strstart. True when the block should end here.
  // kEstimate: from level 3 on, a block ends early when matches are rare
  // and the estimate says it already halves its input.
  template <bool kEstimate, bool kMatch>
  bool Tally(Tallies& t, unsigned dist, unsigned lc, uint32_t strstart) {
    s.l_buf[t.last_lit++] = static_cast<uint8_t>(lc);
    if constexpr (!kMatch) {
      ++s.ltree.freq[lc];
    } else {
      --dist;
      s.d_buf[t.last_dist++] = static_cast<uint16_t>(dist);
      ++s.ltree.freq[kLengthCode[lc] + kLiterals + 1];
      ++s.dtree.freq[DistCode(dist)];
      t.flags |= t.flag_bit;
    }
    t.flag_bit <<= 1;
    if ((t.last_lit & 7) == 0) {
      s.flag_buf[t.last_flags++] = static_cast<uint8_t>(t.flags);
      t.flags = 0;
      t.flag_bit = 1;
    }
    if (kEstimate && (t.last_lit & 0xFFF) == 0) {
      uint64_t out_length = static_cast<uint64_t>(t.last_lit) * 8;
      int64_t in_length = static_cast<int64_t>(strstart) - s.block_start;
      for (int code = 0; code < kDistCodes; ++code)
        out_length += static_cast<uint64_t>(s.dtree.freq[code]) * (5 + kDistExtra[code]);
      out_length >>= 3;
      if (t.last_dist < t.last_lit / 2 && static_cast<int64_t>(out_length) < in_length / 2) return true;
    }
    // A literal leaves last_dist as it was, below its limit.
    return t.last_lit == static_cast<uint32_t>(kLitBufSize - 1) ||
           (kMatch && t.last_dist == static_cast<uint32_t>(kDistBufSize));
  }

  // --- matching

  // Puts pos into the hash chain of the 3 bytes from it, ins_h the hash
  // of the 2 bytes before its third; returns the chain's previous head.
  // With prefix chains, the position's rank in the chain goes in too.
  template <bool kPrefix>
  uint32_t InsertString(uint32_t& ins_h, uint32_t pos) {
    ins_h = ((ins_h << kHashShift) ^ s.window[pos + kMinMatch - 1]) & kHashMask;
    uint32_t hash_head = s.head[ins_h];
    s.prev[pos] = static_cast<uint16_t>(hash_head);
    s.head[ins_h] = static_cast<uint16_t>(pos);
    if constexpr (kPrefix) s.rank[pos] = s.chain_count[ins_h]++;
    return hash_head;
  }

  // The rest of a match goes into the hash chains one position after the
  // other, or from kLongRun positions on by InsertLongRun. Runs of one
  // byte give equal hashes to neighbouring positions, and a load of a head
  // that the position before is still storing costs more than the rolling
  // hash saves in short runs.
  static constexpr uint32_t kLongRun = 64;

  // Puts the n positions from `from` on into the hash chains and returns
  // the hash of the last. The hashes come from the 3 bytes of each
  // position (which is all the rolling hash keeps), 8 at a time, so that
  // the links do not wait on the rolling hash from one to the next.
  template <bool kPrefix>
  uint32_t InsertLongRun(uint32_t from, uint32_t n) {
    alignas(16) uint16_t hs[kMaxMatch + 8];
    const uint8_t* const w = s.window + from;
#if defined(__SSE2__)
    // 8 hashes from the 10 bytes from the first of them, in 16-bit lanes;
    // the last group may run past the match, into bytes that are read but
    // not used (the window has room behind its end).
    const __m128i zero = _mm_setzero_si128();
    const __m128i low4 = _mm_set1_epi16(0xF);
    for (uint32_t i = 0; i < n; i += 8) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(w + i));
      const __m128i b0 = _mm_unpacklo_epi8(v, zero);
      const __m128i b1 = _mm_unpacklo_epi8(_mm_srli_si128(v, 1), zero);
      const __m128i b2 = _mm_unpacklo_epi8(_mm_srli_si128(v, 2), zero);
      const __m128i h = _mm_xor_si128(
          _mm_xor_si128(_mm_slli_epi16(_mm_and_si128(b0, low4), 2 * kHashShift), _mm_slli_epi16(b1, kHashShift)), b2);
      _mm_store_si128(reinterpret_cast<__m128i*>(hs + i), h);
    }
#else
    for (uint32_t i = 0; i < n; ++i)
      hs[i] = static_cast<uint16_t>(((w[i] & 0xF) << (2 * kHashShift)) ^ (w[i + 1] << kHashShift) ^ w[i + 2]);
#endif
    uint16_t* const head = s.head;
    uint16_t* const prev = s.prev + from;
    for (uint32_t i = 0; i < n; ++i) {
      const uint32_t h = hs[i];
      prev[i] = head[h];
      head[h] = static_cast<uint16_t>(from + i);
      if constexpr (kPrefix) s.rank[from + i] = s.chain_count[h]++;
    }
    return hs[n - 1];
  }

  // Puts the positions up to strstart into the prefix chains. They go in
  // only when a search needs them, when all the bytes that their hashes
  // read have been read and no longer change; positions too far behind
  // for any search are left out.
  void CatchUpPrefixes(uint32_t end) {
    uint32_t p = s.prefix_next;
    if (end > static_cast<uint32_t>(kMaxDist) && p < end - kMaxDist) p = end - kMaxDist;
    const uint32_t n = s.prefix_chains;
    for (; p <= end; ++p) {
      const uint8_t* w = s.window + p;
      const uint32_t slot = p;
      uint32_t h = PrefixHash<0>(w);
      s.prefix_prev[0][slot] = s.prefix_head[0][h];
      s.prefix_head[0][h] = static_cast<uint16_t>(p);
      if (n < 2) continue;
      h = PrefixHash<1>(w);
      s.prefix_prev[1][slot] = s.prefix_head[1][h];
      s.prefix_head[1][h] = static_cast<uint16_t>(p);
      if (n < 3) continue;
      h = PrefixHash<2>(w);
      s.prefix_prev[2][slot] = s.prefix_head[2][h];
      s.prefix_head[2][h] = static_cast<uint16_t>(p);
    }
    s.prefix_next = end + 1;
  }

  // A search under way: the longest match so far and the bounds of the
  // hash chain entries that the search examines.
  struct Search {
    const uint8_t* win;
    const uint8_t* scan;
    uint32_t pos;        // the position searched for
    uint32_t bound;      // positions at or below it are not examined
    uint32_t chain;      // entries of the hash chain examined, at most
    uint16_t rank;       // rank of the position searched for
    uint32_t best_len, best_start;
  };

  // Walks prefix chain T from cur. Its entries are the positions whose
  // prefix hashes alike; those with an equal prefix are in the hash chain
  // as well, and their rank tells whether the hash chain walk would have
  // reached them. Returns false when the search is over, true when the
  // match found is long enough for the next prefix chain.
  template <int T>
  bool WalkPrefix(uint32_t cur, Search& q) {
    const uint8_t* const scan = q.scan;
    const uint16_t* const prev = s.prefix_prev[T];
    uint16_t scan_end = Load16(scan + q.best_len - 1);
    for (; cur > q.bound; cur = prev[cur]) {
      const uint8_t* match = q.win + cur;
      if (!PrefixEqual<T>(match, scan)) continue;
      if (static_cast<uint16_t>(q.rank - s.rank[cur]) > q.chain) return false;
      if (Load16(match + q.best_len - 1) != scan_end) continue;
      uint32_t len = MatchLength(scan, match);
      if (len > q.best_len) {
        q.best_start = cur;
        q.best_len = len;
        if (len >= static_cast<uint32_t>(kMaxMatch)) return false;
        if (T + 1 < kPrefixChains && T + 1 < static_cast<int>(s.prefix_chains) && len >= kPrefixLen[T + 1])
          return true;
        scan_end = Load16(scan + len - 1);
      }
    }
    return false;
  }

  // Continues the search in the longest prefix chain that holds the
  // matches longer than the best one: from the position searched for when
  // its prefix is at most best_len + 1 long, from the best match when at
  // most best_len (which puts the best match in that chain).
  void WalkPrefixes(Search& q, bool from_best) {
    CatchUpPrefixes(q.pos);
    for (;;) {
      const uint32_t reach = from_best ? q.best_len : q.best_len + 1;
      int t = 0;
      while (t + 1 < static_cast<int>(s.prefix_chains) && kPrefixLen[t + 1] <= reach) ++t;
      const uint32_t from = from_best ? q.best_start : q.pos;
      bool more;
      switch (t) {
        case 0: more = WalkPrefix<0>(s.prefix_prev[0][from], q); break;
        case 1: more = WalkPrefix<1>(s.prefix_prev[1][from], q); break;
        default: more = WalkPrefix<2>(s.prefix_prev[2][from], q); break;
      }
      if (!more) return;
      from_best = true;
    }
  }

  // The first of the longest matches among the entries of the hash chain
  // from hash_head that are examined: at most max_chain of them (a quarter
  // from a previous match of good_length on), none kMaxDist or more behind
  // except hash_head itself. Only a match longer than prev_length counts;
  // match_start is where the best one starts. Kept out of the matching
  // loop, which holds more values than there are registers: the walk
  // keeps its own in registers.
  template <bool kPrefix>
  __attribute__((noinline)) uint32_t LongestMatch(uint32_t hash_head, uint32_t strstart, uint32_t prev_length, uint32_t& match_start,
                        unsigned chain) {
    if (prev_length >= static_cast<uint32_t>(s.good_length)) chain >>= 2;
    const uint8_t* const win = s.window;
    const uint32_t limit = strstart > static_cast<uint32_t>(kMaxDist) ? strstart - kMaxDist : 0;
    Search q{win,   win + strstart, strstart, hash_head == limit ? limit - 1 : limit, chain,
             kPrefix ? s.rank[strstart] : uint16_t{0}, prev_length, match_start};
    if (kPrefix && q.best_len >= kPrefixLen[0] - 1) {
      WalkPrefixes(q, false);
      match_start = q.best_start;
      return q.best_len;
    }
    // The hash chain itself, collisions and all, while the best match is
    // shorter than the shortest prefix.
    const uint16_t* const prev = s.prev;
    const uint8_t* const scan = q.scan;
    uint32_t cur_match = hash_head;
    uint32_t best_len = q.best_len;
    uint32_t best_start = q.best_start;
    // The bytes at best_len − 1 and best_len, compared as one unit.
    uint16_t scan_end = Load16(scan + best_len - 1);
    const uint8_t scan_start = scan[0];
    do {
      const uint8_t* match = win + cur_match;
      if (Load16(match + best_len - 1) != scan_end || match[0] != scan_start) continue;
      // Offset 1 is compared too: equal hashes imply it only when the hash
      // of both strings covered their real bytes.
      uint32_t len = MatchLength(scan, match);
      if (len > best_len) {
        best_start = cur_match;
        best_len = len;
        if (len >= static_cast<uint32_t>(kMaxMatch)) break;
        if (kPrefix && len >= kPrefixLen[0]) {
          q.best_len = best_len;
          q.best_start = best_start;
          WalkPrefixes(q, true);
          best_len = q.best_len;
          best_start = q.best_start;
          break;
        }
        scan_end = Load16(scan + best_len - 1);
      }
    } while ((cur_match = prev[cur_match]) > limit && --chain != 0);
    match_start = best_start;
    return best_len;
  }

  // What the match search reads past the bytes taken is zero unless this
  // stream has written it before, as if the window had started zeroed; the
  // zeros are laid just ahead of the input, so a short stream touches only
  // the front of the window.
  void ZeroAhead() {
    const uint32_t end = s.strstart + s.lookahead;  // the bytes read so far end here
    uint32_t want = end + kDeflateWindowSlack;
    if (want > sizeof s.window) want = sizeof s.window;
    if (want <= s.window_ready) return;
    const uint32_t from = end > s.window_ready ? end : s.window_ready;
    std::memset(s.window + from, 0, want - from);
    s.window_ready = want;
  }

  void FillWindow() {
    uint32_t more = kDeflateWindow - s.lookahead - s.strstart;
    if (more == 0) {
      // Slide the upper half down; positions in the lower half are gone.
      std::memcpy(s.window, s.window + kWindowSize, kWindowSize);
      s.match_start -= kWindowSize;
      s.strstart -= kWindowSize;
      s.block_start -= kWindowSize;
      Rebase(s.head, s.head, kHashSize);
      Rebase(s.prev, s.prev + kWindowSize, kWindowSize);
      if (s.prefix_chains != 0) std::memcpy(s.rank, s.rank + kWindowSize, sizeof(uint16_t) * kWindowSize);
      for (uint32_t t = 0; t < s.prefix_chains; ++t) {
        Rebase(s.prefix_head[t], s.prefix_head[t], kPrefixHashSize);
        Rebase(s.prefix_prev[t], s.prefix_prev[t] + kWindowSize, kWindowSize);
      }
      s.prefix_next = s.prefix_next > static_cast<uint32_t>(kWindowSize) ? s.prefix_next - kWindowSize : 0;
      more = kWindowSize;
    }
    if (s.consumed + s.taken < s.total) {
      if (s.taken < s.in_limit) {
        uint32_t n = s.in_limit - s.taken;
        if (n > more) n = more;
        std::memcpy(s.window + s.strstart + s.lookahead, s.in + s.taken, n);
        s.taken += n;
        s.lookahead += n;
        ZeroAhead();
        return;
      }
      s.input_used_up = 1;
    } else {
      s.eofile = 1;
    }
  }

  // Reads input until a full lookahead is present or the stream's input
  // ends. False when this call's input ran out first.
  bool Fill() {
    do {
      FillWindow();
      if (s.input_used_up) return false;
    } while (s.lookahead < static_cast<uint32_t>(kMinLookahead) && !s.eofile);
    return true;
  }

  void Deflate() {
    if (s.prefix_chains != 0)
      Run<true, true>();
    else if (s.level > 2)
      Run<false, true>();
    else
      Run<false, false>();
  }

  // The lazy matching loop: a match found at a position is taken only when
  // the next position has none longer. Levels that keep prefix chains
  // (kPrefix) rank the hash chain entries; kEstimate as in Tally.
  //
  // The loop's state lives in locals, stored back before each call that
  // reads it from the state and at each return.
  template <bool kPrefix, bool kEstimate>
  void Run() {
    if (!s.eofile && s.lookahead < static_cast<uint32_t>(kMinLookahead) && !Fill()) return;
    if (!s.hash_primed) {
      // Primed once the first two bytes are in the window (or the input has
      // ended), never from bytes not yet read.
      s.ins_h = ((static_cast<uint32_t>(s.window[0]) << kHashShift) ^ s.window[1]) & kHashMask;
      s.hash_primed = 1;
    }
    const uint8_t* const win = s.window;
    const uint32_t max_lazy = static_cast<uint32_t>(s.max_lazy);
    const unsigned max_chain = static_cast<unsigned>(s.max_chain);
    uint32_t strstart = s.strstart;
    uint32_t lookahead = s.lookahead;
    uint32_t match_start = s.match_start;
    uint32_t match_length = s.match_length;
    uint32_t match_available = s.match_available;
    uint32_t ins_h = s.ins_h;
    uint32_t eofile = s.eofile;
    Tallies t = LoadTallies();
    auto store = [&] {
      s.strstart = strstart;
      s.lookahead = lookahead;
      s.match_start = match_start;
      s.match_length = match_length;
      s.match_available = match_available;
      s.ins_h = ins_h;
      StoreTallies(t);
    };
    while (lookahead > 0) {
      uint32_t hash_head = InsertString<kPrefix>(ins_h, strstart);
      // The next position's chain head, fetched while this one is searched.
      __builtin_prefetch(&s.head[((ins_h << kHashShift) ^ win[strstart + kMinMatch]) & kHashMask]);
      const uint32_t prev_length = match_length;
      const uint32_t prev_match = match_start;
      match_length = kMinMatch - 1;
      if (hash_head != 0 && prev_length < max_lazy && strstart - hash_head <= static_cast<uint32_t>(kMaxDist)) {
        match_length = LongestMatch<kPrefix>(hash_head, strstart, prev_length, match_start, max_chain);
        if (match_length > lookahead) match_length = lookahead;
        if (match_length == static_cast<uint32_t>(kMinMatch) && strstart - match_start > static_cast<uint32_t>(kTooFar))
          match_length = kMinMatch - 1;
      }
      bool flush;
      if (prev_length >= static_cast<uint32_t>(kMinMatch) && match_length <= prev_length) {
        flush = Tally<kEstimate, true>(t, strstart - 1 - prev_match, prev_length - kMinMatch, strstart);
        lookahead -= prev_length - 1;
        if (prev_length - 2 >= kLongRun) {
          ins_h = InsertLongRun<kPrefix>(strstart + 1, prev_length - 2);
          strstart += prev_length - 2;
        } else {
          for (uint32_t n = prev_length - 2; n != 0; --n) InsertString<kPrefix>(ins_h, ++strstart);
        }
        match_available = 0;
        match_length = kMinMatch - 1;
      } else if (match_available) {
        flush = Tally<kEstimate, false>(t, 0, win[strstart - 1], strstart);
        --lookahead;
      } else {
        match_available = 1;
        --lookahead;
        flush = false;
      }
      if (flush) {
        store();
        FlushBlock(false);
        s.block_start = static_cast<int32_t>(strstart);
        s.strstart = ++strstart;
        if (s.ovf_fill) return;
        t.last_lit = t.last_dist = t.last_flags = t.flags = 0;  // as InitBlock left them
        t.flag_bit = 1;
      } else {
        ++strstart;
      }
      if (!eofile && lookahead < static_cast<uint32_t>(kMinLookahead)) {
        store();
        const bool more = Fill();
        strstart = s.strstart;
        lookahead = s.lookahead;
        match_start = s.match_start;
        eofile = s.eofile;
        if (!more) return;
      }
    }
    if (match_available) {
      Tally<kEstimate, false>(t, 0, win[strstart - 1], strstart);
      match_available = 0;
    }
    store();
    FlushBlock(true);
    s.final_done = 1;
  }
};

}  // namespace

void CsRLzhISetFiller(int count, unsigned bits) {
  g_forced_filler.store(count < 0 ? -1 : static_cast<int>((count & 3) | ((bits & 7) << 2)),
                        std::memory_order_relaxed);
}

int CsRLzhCompress(CsRLzhDeflateState* state, unsigned total, const WEQ_RAW* in, unsigned inlen,
                   WEQ_RAW* out, unsigned outlen, int options, unsigned* read, unsigned* written) {
  unsigned dummy_read, dummy_written;
  if (!read) read = &dummy_read;
  if (!written) written = &dummy_written;
  *read = 0;
  *written = 0;
  if (inlen > static_cast<unsigned>(INT_MAX)) return CSR_E_IN_LEN;
  if (outlen > static_cast<unsigned>(INT_MAX)) return CSR_E_OUT_ROOM;
  if (!state || (inlen && !in) || (outlen && !out)) return CSR_E_NULL_BUFFER;
  CsRLzhDeflateState& s = *state;
  Deflater z{s};

  if (options & CSR_OPT_NEW_STREAM) {
    s.kind = 0;
    if (outlen < CSR_HEADER_SIZE) return CSR_E_OUT_ROOM;
    if (total > static_cast<unsigned>(INT_MAX)) return CSR_E_TOTAL_LEN;
    int level = options >> CSR_OPT_LEVEL_SHIFT;
    if (level < 1 || level > 9) level = 2;
    s.level = level;
    s.good_length = kLevels[level].good_length;
    s.max_lazy = kLevels[level].max_lazy;
    s.max_chain = kLevels[level].max_chain;
    s.total = total;
    s.consumed = 0;
    s.ovf_start = 0;
    s.ovf_fill = 0;
    CsRWriteHeader(out, static_cast<int>(total),
                   static_cast<WEQ_RAW>((options & CSR_OPT_BLOCK) | CSR_ALG_LZH), static_cast<WEQ_RAW>(level));
    s.out = out;
    s.out_room = outlen;
    s.out_count = CSR_HEADER_SIZE;
    s.bitbuf = 0;
    s.bitcnt = 0;
    int forced = g_forced_filler.load(std::memory_order_relaxed);
    uint64_t r = forced < 0 ? NextRandom() : static_cast<uint64_t>(forced);
    unsigned n = r & 3;
    z.SendBits(n, 2);
    if (n) z.SendBits(static_cast<uint32_t>(r >> 2) & ((1u << n) - 1), n);
    z.InitBlock();
    std::memset(s.head, 0, sizeof s.head);
    std::memset(s.chain_count, 0, sizeof s.chain_count);
    s.prefix_chains = PrefixChainsOf(level);
    for (uint32_t t = 0; t < s.prefix_chains; ++t) std::memset(s.prefix_head[t], 0, sizeof s.prefix_head[t]);
    s.prefix_next = 0;
    s.strstart = 0;
    s.block_start = 0;
    s.lookahead = 0;
    s.window_ready = 0;
    z.ZeroAhead();
    s.match_available = 0;
    s.prev_length = 0;
    s.match_start = 0;
    s.prev_match = 0;
    s.match_length = kMinMatch - 1;
    s.ins_h = 0;
    s.eofile = 0;
    s.hash_primed = 0;
    s.final_done = 0;
    s.kind = CSR_LZH_CKIND;
    if (s.out_count == outlen) {
      *written = CSR_HEADER_SIZE;
      return CSR_OUTPUT_FULL;
    }
  } else {
    if (s.kind != CSR_LZH_CKIND) return CSR_E_NO_STREAM;
    s.out = out;
    s.out_room = outlen;
    s.out_count = 0;
  }
  s.in = in;
  s.taken = 0;
  s.input_used_up = 0;
  s.in_limit = inlen;
  if (static_cast<uint64_t>(s.consumed) + inlen > s.total) s.in_limit = s.total - s.consumed;

  if (s.ovf_fill) {
    if (s.ovf_fill >= outlen) {
      std::memcpy(out, s.overflow + s.ovf_start, outlen);
      s.ovf_start += outlen;
      s.ovf_fill -= outlen;
      if (s.ovf_fill == 0) s.ovf_start = 0;
      *written = outlen;
      return CSR_OUTPUT_FULL;
    }
    std::memcpy(out, s.overflow + s.ovf_start, s.ovf_fill);
    s.out_count = s.ovf_fill;
    s.ovf_fill = 0;
    s.ovf_start = 0;
  }
  if (!s.final_done) z.Deflate();
  *read = s.taken;
  *written = s.out_count;
  s.consumed += s.taken;
  if (s.ovf_fill) return CSR_OUTPUT_FULL;
  return s.consumed >= s.total ? CSR_END_OF_STREAM : CSR_MORE_INPUT;
}
