// LZH decompressor: the resumable raw-deflate decoder behind the filler bits.
//
// Decoded bytes go into a 16 KB ring window, which is also the history that
// matches copy from; the caller receives the window whole each time it
// fills, and the rest after the final block. Every step that lacks input
// bits returns 3 with the bits taken so far kept in the bit buffer, and
// every window hand-out that does not fit returns 2; the next call resumes
// at the same step.
#include <climits>
#include <cstring>

#include "compression/lzh.h"
#include "compression/csr.h"
#include "compression/csr_stream.h"

namespace {

using namespace lzh;

enum Mode : uint8_t {
  kFiller,           // the 2-bit filler count and the filler bits
  kBlockHeader,      // BFINAL and BTYPE
  kDynCounts,        // HLIT, HDIST, HCLEN
  kDynCodeLenLens,   // the code-length code lengths, `index` of them read
  kDynLens,          // the literal/length and distance code lengths
  kDynRepeat,        // the extra bits of repeat code `base`
  kCodes,            // a literal/length code
  kLenBits,          // the extra bits of a length
  kDist,             // a distance code
  kDistBits,         // the extra bits of a distance
  kCopy,             // copying `copy_len` bytes from `copy_dist` back
  kDone,             // final block decoded
  kError,            // stream ended by `error`
};

constexpr int kLitRootBits = 9;
constexpr int kDistRootBits = 6;
constexpr int kCodeLenRootBits = 7;
constexpr uint32_t kWindowMask = kWindowSize - 1;

// Outcome of a step that is not a stream result.
constexpr int kStepDone = 0;

inline uint64_t Load64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;  // little-endian host
}

inline uint32_t Mask(unsigned n) { return (1u << n) - 1; }

// The slot of symbol sym with a code of b bits (see BuildTable).
constexpr TableEntry SymbolEntry(int sym, unsigned b, int first_base, const uint16_t* base,
                                 const uint8_t* extra, int nbase) {
  if (sym < first_base)
    return {sym == kEndOfBlock ? kEntryEndOfBlock : kEntryLiteral, static_cast<uint8_t>(b),
            static_cast<uint16_t>(sym)};
  int k = sym - first_base;
  if (k >= nbase) return {kEntryInvalid, static_cast<uint8_t>(b), 0};
  return {extra[k], static_cast<uint8_t>(b), base[k]};
}

// The tables of the fixed codes, built at compile time and copied to the
// pool's start for each fixed block: the literal/length table one level of
// 9 bits, the distance table 5 bits, whose codes 30 and 31 are invalid.
constexpr unsigned kFixedLitBits = 9;
constexpr unsigned kFixedDistBits = kFixedDistLength;
constexpr uint16_t kFixedDistAt = (1u << kFixedLitBits) + 1;
constexpr uint32_t kFixedPoolUsed = kFixedDistAt + (1u << kFixedDistBits) + 1;
constexpr std::array<TableEntry, kFixedPoolUsed> kFixedPool = [] {
  std::array<TableEntry, kFixedPoolUsed> p{};
  for (int sym = 0; sym < kFixedLitLenCodes; ++sym) {
    const unsigned len = kFixedLitLenLengths[sym];
    const TableEntry e = SymbolEntry(sym, len, kLiterals + 1, kLengthBase.data(), kLengthExtra.data(),
                                     kLengthCodes);
    for (unsigned j = kFixedLitLenCodesRev[sym]; j < 1u << kFixedLitBits; j += 1u << len) p[j] = e;
  }
  for (unsigned j = 0; j < 1u << kFixedDistBits; ++j)
    p[kFixedDistAt + j] = {kEntryInvalid, static_cast<uint8_t>(kFixedDistBits), 0};
  for (int sym = 0; sym < kDistCodes; ++sym)
    p[kFixedDistAt + ReverseBits(sym, kFixedDistBits)] =
        SymbolEntry(sym, kFixedDistBits, 0, kDistBase.data(), kDistExtra.data(), kDistCodes);
  return p;
}();
static_assert(kFixedPoolUsed <= static_cast<uint32_t>(kTablePoolSize));

// Copies n bytes forward from src to dst within the window, src before dst
// and possibly overlapping (an overlapping copy repeats bytes).
inline void ForwardCopy(uint8_t* dst, const uint8_t* src, size_t n) {
  size_t d = static_cast<size_t>(dst - src);
  if (d >= n) {
    std::memcpy(dst, src, n);
  } else if (d >= 8) {
    size_t i = 0;
    for (; i + 8 <= n; i += 8) std::memcpy(dst + i, src + i, 8);
    for (; i < n; ++i) dst[i] = src[i];
  } else if (d == 1) {
    std::memset(dst, src[0], n);
  } else {
    for (size_t i = 0; i < n; ++i) dst[i] = src[i];
  }
}

struct Inflater {
  CsRLzhInflateState& s;
  const uint8_t* in;
  size_t in_len;
  size_t in_pos;
  uint8_t* out;
  size_t out_room;
  size_t out_pos;

  // --- bits, taken from the input a byte at a time as far as needed
  bool Need(unsigned n) {
    while (s.bitcnt < n) {
      if (in_pos == in_len) return false;
      s.bitbuf |= static_cast<uint32_t>(in[in_pos++]) << s.bitcnt;
      s.bitcnt += 8;
    }
    return true;
  }
  uint32_t Bits(unsigned n) const { return s.bitbuf & Mask(n); }
  void Drop(unsigned n) {
    s.bitbuf >>= n;
    s.bitcnt -= n;
  }

  int Fail(int rc) {
    s.mode = kError;
    s.error = rc;
    return rc;
  }

  // Looks up one code. The slot is chosen with the bits at hand (the missing
  // high bits read as 0) and accepted once it consumes no more than that, so
  // a short code at the very end of the input is never held up waiting for
  // bits that do not exist. Returns 1 with the slot, 0 for more input, or
  // an error.
  int Decode(uint16_t table, unsigned bits, TableEntry& got) {
    TableEntry e;
    for (;;) {
      e = s.pool[table + Bits(bits)];
      if (e.b <= s.bitcnt) break;
      if (!Need(s.bitcnt + 1)) return 0;
    }
    if (e.e == kEntryInvalid) return Fail(CSR_E_BAD_CODE);
    if (e.e > kEntryLiteral) {
      unsigned sub_bits = e.e - kEntryLiteral;
      uint16_t sub = e.v;
      for (;;) {
        e = s.pool[sub + ((s.bitbuf >> bits) & Mask(sub_bits))];
        if (bits + e.b <= s.bitcnt) break;
        if (!Need(s.bitcnt + 1)) return 0;
      }
      if (e.e == kEntryInvalid) return Fail(CSR_E_BAD_CODE);
      Drop(bits);
    }
    Drop(e.b);
    got = e;
    return 1;
  }

  // --- window hand-out

  // Hands window[0, count) to the caller; what does not fit stays pending.
  // The write position starts over either way. False when bytes are pending.
  bool HandOut(uint32_t count) {
    size_t n = out_room - out_pos;
    if (n > count) n = count;
    if (n) std::memcpy(out + out_pos, s.window, n);
    out_pos += n;
    s.total_out += static_cast<uint32_t>(n);
    s.wpos = 0;
    s.pending = count - static_cast<uint32_t>(n);
    s.pending_off = static_cast<uint32_t>(n);
    return s.pending == 0;
  }

  bool HandOutPending() {
    size_t n = out_room - out_pos;
    if (n > s.pending) n = s.pending;
    if (n) std::memcpy(out + out_pos, s.window + s.pending_off, n);
    out_pos += n;
    s.total_out += static_cast<uint32_t>(n);
    s.pending -= static_cast<uint32_t>(n);
    s.pending_off += static_cast<uint32_t>(n);
    return s.pending == 0;
  }

  // --- tables

  // Builds a decoding table from code lengths lens[0, n). Symbols below
  // first_base are literals (256 the end of block); symbol first_base + k
  // has base[k] and extra[k] when k < nbase and is invalid otherwise.
  // A set that leaves codes unused is refused, so the codes cover every
  // slot of the table and of its sub-tables. Returns kStepDone or an error.
  int BuildTable(const uint8_t* lens, int n, int first_base, const uint16_t* base,
                 const uint8_t* extra, int nbase, unsigned want_bits, uint16_t& table,
                 uint8_t& root_bits) {
    // Four tallies taken in turn: runs of equal lengths would otherwise
    // make each increment wait for the one before.
    uint16_t tally[4][kMaxBits + 1] = {};
    for (int i = 0; i < n; ++i) ++tally[i & 3][lens[i]];
    uint16_t count[kMaxBits + 1];
    for (int l = 0; l <= kMaxBits; ++l)
      count[l] = static_cast<uint16_t>(tally[0][l] + tally[1][l] + tally[2][l] + tally[3][l]);
    count[0] = 0;
    int min_len = 0, max_len = 0;
    for (int l = 1; l <= kMaxBits; ++l)
      if (count[l]) {
        if (!min_len) min_len = l;
        max_len = l;
      }
    if (max_len == 0) return CSR_E_CODE_LENGTHS;
    int left = 1;
    for (int l = 1; l <= kMaxBits; ++l) {
      left = (left << 1) - count[l];
      if (left < 0) return CSR_E_CODE_LENGTHS;  // over-subscribed
    }
    if (left > 0) return CSR_E_CODE_LENGTHS;
    // A complete set of at most 288 codes has a code of 8 bits or fewer, so
    // the first level never exceeds 9 bits.
    unsigned root = want_bits;
    if (root > static_cast<unsigned>(max_len)) root = max_len;
    if (root < static_cast<unsigned>(min_len)) root = min_len;
    if (root > static_cast<unsigned>(kLitRootBits)) return CSR_E_CODE_LENGTHS;

    // Canonical codes: next[l] is the next code of l bits, taken in symbol
    // order and bit-reversed for lookup.
    uint16_t next[kMaxBits + 2] = {};
    unsigned code = 0;
    for (int l = 1; l <= kMaxBits; ++l) {
      code = (code + count[l - 1]) << 1;
      next[l] = static_cast<uint16_t>(code);
    }

    const uint32_t size = 1u << root;
    if (s.pool_used + size + 1 > static_cast<uint32_t>(kTablePoolSize)) return CSR_E_TABLE_SPACE;
    const uint16_t top = static_cast<uint16_t>(s.pool_used);
    s.pool_used += size + 1;
    TableEntry* t = s.pool + top;

    auto entry = [&](int sym, unsigned b) {
      return SymbolEntry(sym, b, first_base, base, extra, nbase);
    };

    // Sub-table widths: the longest code behind each first-level prefix.
    uint8_t sub_bits[1u << kLitRootBits];
    if (max_len > static_cast<int>(root)) {
      uint16_t next_long[kMaxBits + 2];
      std::memcpy(next_long, next, sizeof next);
      std::memset(sub_bits, 0, size);
      for (int i = 0; i < n; ++i) {
        const unsigned len = lens[i];
        if (len <= root) continue;
        uint32_t p = ReverseBits(next_long[len]++, len) & (size - 1);
        uint8_t w = static_cast<uint8_t>(len - root);
        if (w > sub_bits[p]) sub_bits[p] = w;
      }
      for (uint32_t p = 0; p < size; ++p) {
        if (!sub_bits[p]) continue;
        uint32_t sub_size = 1u << sub_bits[p];
        if (s.pool_used + sub_size + 1 > static_cast<uint32_t>(kTablePoolSize))
          return CSR_E_TABLE_SPACE;
        uint16_t at = static_cast<uint16_t>(s.pool_used);
        s.pool_used += sub_size + 1;
        t[p] = {static_cast<uint8_t>(kEntryLiteral + sub_bits[p]), static_cast<uint8_t>(root), at};
      }
    }
    for (int i = 0; i < n; ++i) {
      const unsigned len = lens[i];
      if (!len) continue;
      const uint32_t rev = ReverseBits(next[len]++, len);
      if (len <= root) {
        TableEntry e = entry(i, len);
        for (uint32_t j = rev; j < size; j += 1u << len) t[j] = e;
      } else {
        uint32_t p = rev & (size - 1);
        TableEntry* st = s.pool + t[p].v;
        unsigned w = len - root;
        TableEntry e = entry(i, w);
        for (uint32_t j = rev >> root; j < (1u << sub_bits[p]); j += 1u << w) st[j] = e;
      }
    }
    table = top;
    root_bits = static_cast<uint8_t>(root);
    return kStepDone;
  }

  // No table is in use at a block header: the pool starts over.
  void UseFixed() {
    std::memcpy(s.pool, kFixedPool.data(), sizeof kFixedPool);
    s.pool_used = kFixedPoolUsed;
    s.lit_table = 0;
    s.lit_bits = kFixedLitBits;
    s.dist_table = kFixedDistAt;
    s.dist_bits = kFixedDistBits;
  }

  int BuildDynamic() {
    int rc = BuildTable(s.lens, s.nlit, kLiterals + 1, kLengthBase.data(), kLengthExtra.data(),
                        kLengthCodes, kLitRootBits, s.lit_table, s.lit_bits);
    if (rc == kStepDone)
      rc = BuildTable(s.lens + s.nlit, s.ndist, 0, kDistBase.data(), kDistExtra.data(),
                      kDistCodes, kDistRootBits, s.dist_table, s.dist_bits);
    return rc < 0 ? Fail(rc) : kStepDone;
  }

  // --- the window

  // Stores one decoded byte. False when the window filled and its hand-out
  // did not fit or ended the stream.
  bool Put(uint8_t b) {
    s.window[s.wpos++] = b;
    ++s.decoded;
    return s.wpos < static_cast<uint32_t>(kWindowSize) || HandOutWindow();
  }

  // Hands out the full window. False when it did not fit, and also when it
  // brought the output to the stream's length: the stream ends there, as it
  // does when a pending hand-out completes on a later call, so that where
  // the caller cuts the output never changes what the stream gives.
  bool HandOutWindow() { return HandOut(kWindowSize) && s.total_out < s.length; }

  // Continues the copy under way, in pieces that end at the window's end or
  // the source's end. False when the window filled and its hand-out did
  // not fit or ended the stream.
  bool Copy() {
    while (s.copy_len) {
      uint32_t src = (s.wpos - s.copy_dist) & kWindowMask;
      uint32_t far = src > s.wpos ? src : s.wpos;
      uint32_t n = kWindowSize - far;
      if (n > s.copy_len) n = s.copy_len;
      if (src < s.wpos)
        ForwardCopy(s.window + s.wpos, s.window + src, n);
      else
        std::memmove(s.window + s.wpos, s.window + src, n);
      s.wpos += n;
      s.decoded += n;
      s.copy_len -= n;
      if (s.wpos == static_cast<uint32_t>(kWindowSize) && !HandOutWindow()) return false;
    }
    return true;
  }

  // A distance reaches no further back than the window and the data decoded
  // so far in this stream.
  bool DistanceOk(uint32_t dist) const {
    return dist <= static_cast<uint32_t>(kWindowSize) && dist <= s.decoded;
  }

  // Decodes codes with a 64-bit bit buffer while at least 8 input bytes
  // remain and no match can fill the window. Whole bytes still in the bit
  // buffer at the end go back to the input. Returns kStepDone to go on with
  // the careful path, 1 at the end of the block, or an error.
  int FastCodes() {
    if (in_len - in_pos < 8 || s.wpos >= static_cast<uint32_t>(kWindowSize - kMaxMatch)) return kStepDone;
    const uint8_t* ip = in + in_pos;
    const uint8_t* const ip_first = in;
    const uint8_t* const ip_last = in + in_len - 8;
    uint64_t bb = s.bitbuf;
    unsigned bc = s.bitcnt;
    uint8_t* const win = s.window;
    uint32_t wp = s.wpos;
    uint64_t decoded = s.decoded;
    const TableEntry* const lt = s.pool + s.lit_table;
    const TableEntry* const dt = s.pool + s.dist_table;
    const uint64_t lmask = Mask(s.lit_bits), dmask = Mask(s.dist_bits);
    const unsigned lbits = s.lit_bits, dbits = s.dist_bits;
    // One code with its sub-table link followed; false for an invalid code.
    auto lookup = [&](const TableEntry* t, uint64_t mask, unsigned bits, TableEntry& e) {
      e = t[bb & mask];
      if (e.e > kEntryLiteral) {
        if (e.e == kEntryInvalid) return false;
        bb >>= bits;
        bc -= bits;
        e = s.pool[e.v + (bb & Mask(e.e - kEntryLiteral))];
        if (e.e == kEntryInvalid) return false;
      }
      bb >>= e.b;
      bc -= e.b;
      return true;
    };
    int rc = kStepDone;
    while (ip <= ip_last && wp < static_cast<uint32_t>(kWindowSize - kMaxMatch)) {
      bb |= Load64(ip) << bc;
      ip += (63 - bc) >> 3;
      bc |= 56;
      TableEntry e;
      if (!lookup(lt, lmask, lbits, e)) { rc = CSR_E_BAD_CODE; break; }
      if (e.e == kEntryLiteral) {
        win[wp++] = static_cast<uint8_t>(e.v);
        ++decoded;
        continue;
      }
      if (e.e == kEntryEndOfBlock) { rc = 1; break; }
      uint32_t len = e.v + static_cast<uint32_t>(bb & Mask(e.e));
      bb >>= e.e;
      bc -= e.e;
      if (!lookup(dt, dmask, dbits, e)) { rc = CSR_E_BAD_CODE; break; }
      uint32_t dist = e.v + static_cast<uint32_t>(bb & Mask(e.e));
      bb >>= e.e;
      bc -= e.e;
      if (dist > static_cast<uint32_t>(kWindowSize) || dist > decoded) { rc = CSR_E_BAD_CODE; break; }
      decoded += len;
      if (dist <= wp) {
        ForwardCopy(win + wp, win + wp - dist, len);
        wp += len;
      } else {
        // The source wraps round the ring; wp + len stays below the end.
        uint32_t src = wp + kWindowSize - dist;
        uint32_t first = kWindowSize - src;
        if (first > len) first = len;
        std::memmove(win + wp, win + src, first);
        wp += first;
        if (len > first) {
          ForwardCopy(win + wp, win, len - first);
          wp += len - first;
        }
      }
    }
    // Give whole unused bytes of this call's input back.
    size_t back = bc >> 3;
    if (back > static_cast<size_t>(ip - ip_first)) back = static_cast<size_t>(ip - ip_first);
    ip -= back;
    bc -= static_cast<unsigned>(back * 8);
    bb &= (bc == 64 ? ~0ull : (1ull << bc) - 1);
    s.bitbuf = static_cast<uint32_t>(bb);
    s.bitcnt = bc;
    in_pos = static_cast<size_t>(ip - in);
    s.wpos = wp;
    s.decoded = decoded;
    if (rc < 0) return Fail(rc);
    return rc;
  }

  // Decodes the codes of the block under way. Returns kStepDone at its end,
  // 2, 3 or an error.
  int Codes() {
    for (;;) {
      switch (s.mode) {
        case kCodes: {
          int fr = FastCodes();
          if (fr < 0) return fr;
          TableEntry e;
          if (fr == 1) {
            e = {kEntryEndOfBlock, 0, 0};
          } else {
            int r = Decode(s.lit_table, s.lit_bits, e);
            if (r <= 0) return r < 0 ? r : CSR_MORE_INPUT;
          }
          if (e.e == kEntryLiteral) {
            if (!Put(static_cast<uint8_t>(e.v))) return CSR_OUTPUT_FULL;
            continue;
          }
          if (e.e == kEntryEndOfBlock) {
            s.pool_used = 0;
            s.mode = kBlockHeader;
            return kStepDone;
          }
          s.base = e.v;
          s.extra = e.e;
          s.mode = kLenBits;
          [[fallthrough]];
        }
        case kLenBits:
          if (!Need(s.extra)) return CSR_MORE_INPUT;
          s.copy_len = s.base + Bits(s.extra);
          Drop(s.extra);
          s.mode = kDist;
          [[fallthrough]];
        case kDist: {
          TableEntry e;
          int r = Decode(s.dist_table, s.dist_bits, e);
          if (r <= 0) return r < 0 ? r : CSR_MORE_INPUT;
          s.base = e.v;
          s.extra = e.e;
          s.mode = kDistBits;
          [[fallthrough]];
        }
        case kDistBits: {
          if (!Need(s.extra)) return CSR_MORE_INPUT;
          uint32_t dist = s.base + Bits(s.extra);
          Drop(s.extra);
          if (!DistanceOk(dist)) return Fail(CSR_E_BAD_CODE);
          s.copy_dist = dist;
          s.mode = kCopy;
          [[fallthrough]];
        }
        case kCopy:
          if (!Copy()) return CSR_OUTPUT_FULL;
          s.mode = kCodes;
          continue;
        default:
          return Fail(CSR_E_BAD_CODE);
      }
    }
  }

  // Reads the literal/length and distance code lengths from the resume
  // point. The bit buffer, the input position and the count live in locals
  // meanwhile (the byte stores of the lengths would make the compiler reload
  // them from the state after each one); bytes are taken exactly as Need and
  // Decode take them. The code-length table has one level: its first level
  // is as wide as its longest code. Returns kStepDone, 3 or an error.
  int ReadLengths() {
    static_assert(kCodeLenRootBits >= kMaxCodeLenBits);
    uint32_t bb = s.bitbuf, bc = s.bitcnt, index = s.index;
    size_t ip = in_pos;
    uint8_t mode = s.mode, last_len = s.last_len;
    const uint32_t total = s.nlit + s.ndist;
    const TableEntry* const cl = s.pool + s.cl_table;
    const uint32_t cl_mask = Mask(s.cl_bits);
    uint8_t* const lens = s.lens;
    auto need = [&](unsigned n) {
      while (bc < n) {
        if (ip == in_len) return false;
        bb |= static_cast<uint32_t>(in[ip++]) << bc;
        bc += 8;
      }
      return true;
    };
    int rc = kStepDone;
    while (index < total) {
      if (mode == kDynLens) {
        TableEntry e;
        for (;;) {
          e = cl[bb & cl_mask];
          if (e.b <= bc) break;
          if (!need(bc + 1)) break;
        }
        if (e.b > bc) {
          rc = CSR_MORE_INPUT;
          break;
        }
        bb >>= e.b;
        bc -= e.b;
        if (e.v < 16) {
          lens[index++] = static_cast<uint8_t>(e.v);
          last_len = static_cast<uint8_t>(e.v);
          continue;
        }
        s.base = e.v;
        mode = kDynRepeat;
      }
      // 16: the last length 3..6 times; 17: 3..10 zeros; 18: 11..138 zeros.
      const unsigned xbits = s.base == 16 ? 2 : s.base == 17 ? 3 : 7;
      if (!need(xbits)) {
        rc = CSR_MORE_INPUT;
        break;
      }
      uint32_t count = (bb & Mask(xbits)) + (s.base == 18 ? 11 : 3);
      bb >>= xbits;
      bc -= xbits;
      if (s.base != 16) last_len = 0;
      if (index + count > total) {
        rc = CSR_E_BAD_CODE;
        break;
      }
      std::memset(lens + index, last_len, count);
      index += count;
      mode = kDynLens;
    }
    s.bitbuf = bb;
    s.bitcnt = bc;
    s.index = index;
    s.mode = mode;
    s.last_len = last_len;
    in_pos = ip;
    return rc < 0 ? Fail(rc) : rc;
  }

  // Decodes from the resume point to the end of the block under way.
  // Returns kStepDone at its end, 2, 3 or an error.
  int Block() {
    switch (s.mode) {
      case kBlockHeader:
        if (!Need(3)) return CSR_MORE_INPUT;
        s.last_block = static_cast<uint8_t>(Bits(1));
        s.block_type = static_cast<uint8_t>(Bits(3) >> 1);
        Drop(3);
        if (s.block_type == 1) {
          UseFixed();
          s.mode = kCodes;
          return Codes();
        }
        if (s.block_type != 2) return Fail(CSR_E_BLOCK_TYPE);
        s.mode = kDynCounts;
        [[fallthrough]];
      case kDynCounts:
        if (!Need(14)) return CSR_MORE_INPUT;
        s.nlit = Bits(5) + 257;
        s.ndist = (Bits(10) >> 5) + 1;
        s.ncodelen = (Bits(14) >> 10) + 4;
        Drop(14);
        if (s.nlit > static_cast<uint32_t>(kLitLenCodes) || s.ndist > static_cast<uint32_t>(kDistCodes))
          return Fail(CSR_E_ALPHABET);
        std::memset(s.cl_lens, 0, sizeof s.cl_lens);
        s.index = 0;
        s.mode = kDynCodeLenLens;
        [[fallthrough]];
      case kDynCodeLenLens: {
        while (s.index < s.ncodelen) {
          if (!Need(3)) return CSR_MORE_INPUT;
          s.cl_lens[kCodeLenOrder[s.index++]] = static_cast<uint8_t>(Bits(3));
          Drop(3);
        }
        int rc = BuildTable(s.cl_lens, kCodeLenCodes, kCodeLenCodes, nullptr, nullptr, 0,
                            kCodeLenRootBits, s.cl_table, s.cl_bits);
        if (rc < 0) return Fail(rc);
        s.index = 0;
        s.last_len = 0;
        s.mode = kDynLens;
      }
        [[fallthrough]];
      case kDynLens:
      case kDynRepeat:
        {
          int rc = ReadLengths();
          if (rc != kStepDone) return rc;
        }
        {
          int rc = BuildDynamic();
          if (rc < 0) return rc;
        }
        s.mode = kCodes;
        return Codes();
      case kCodes:
      case kLenBits:
      case kDist:
      case kDistBits:
      case kCopy:
        return Codes();
      default:
        return Fail(CSR_E_BAD_CODE);
    }
  }
};

}  // namespace

int CsRLzhDecompress(CsRLzhInflateState* state, const WEQ_RAW* in, unsigned inlen, WEQ_RAW* out,
                     unsigned outlen, WEQ_RAW options, unsigned* read, unsigned* written) {
  unsigned dummy_read, dummy_written;
  if (!read) read = &dummy_read;
  if (!written) written = &dummy_written;
  *read = 0;
  *written = 0;
  if (inlen > static_cast<unsigned>(INT_MAX)) return CSR_E_IN_LEN;
  if (outlen > static_cast<unsigned>(INT_MAX)) return CSR_E_OUT_ROOM;
  if (inlen == 0 && outlen == 0) return CSR_E_NO_DATA;
  if (!state || (inlen && !in) || (outlen && !out)) return CSR_E_NULL_BUFFER;
  CsRLzhInflateState& s = *state;
  Inflater z{s, in, inlen, 0, out, outlen, 0};

  if (options & CSR_OPT_NEW_STREAM) {
    s.kind = 0;
    s.pending = 0;
    s.pending_off = 0;
    s.pool_used = 0;
    s.last_block = 0;
    if (inlen < CSR_HEADER_SIZE) return CSR_E_IN_LEN;
    int length = CsRReadHeader(in);
    if (length < 0) return CSR_E_HEADER;
    s.length = static_cast<uint32_t>(length);
    s.total_out = 0;
    s.decoded = 0;
    s.wpos = 0;
    s.bitbuf = 0;
    s.bitcnt = 0;
    s.copy_len = 0;
    s.copy_dist = 0;
    s.base = 0;
    s.extra = 0;
    s.error = 0;
    s.mode = kFiller;
    s.kind = CSR_LZH_DKIND;
    z.in_pos = CSR_HEADER_SIZE;
    if (inlen == CSR_HEADER_SIZE) {
      *read = CSR_HEADER_SIZE;
      return CSR_MORE_INPUT;
    }
  }

  auto finish = [&](int rc) {
    *read = static_cast<unsigned>(z.in_pos);
    *written = static_cast<unsigned>(z.out_pos);
    return rc;
  };
  auto end_of_stream = [&] {
    *read = inlen;
    *written = static_cast<unsigned>(z.out_pos);
    return CSR_END_OF_STREAM;
  };

  if (s.kind != CSR_LZH_DKIND) return CSR_E_NO_STREAM;
  if (s.mode == kError) return s.error;
  if (s.mode == kFiller) {
    // One byte holds the 2-bit count and up to 3 filler bits.
    if (!z.Need(2)) return finish(CSR_MORE_INPUT);
    z.Drop(2 + z.Bits(2));
    s.mode = kBlockHeader;
  }
  if (s.pending) {
    if (!z.HandOutPending()) return finish(CSR_OUTPUT_FULL);
    if (s.total_out >= s.length) return end_of_stream();
  }
  while (s.mode != kDone) {
    int rc = z.Block();
    // Output full with nothing pending: the window that reached the length.
    if (rc == CSR_OUTPUT_FULL && s.pending == 0) return end_of_stream();
    if (rc != kStepDone) return finish(rc);
    if (s.last_block) {
      s.mode = kDone;
      if (!z.HandOut(s.wpos)) return finish(CSR_OUTPUT_FULL);
    }
  }
  return end_of_stream();
}
