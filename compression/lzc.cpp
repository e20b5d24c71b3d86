#include "compression/lzc.h"

#include <assert.h>
#include <string.h>

#include <algorithm>
#include <bit>
#include <iterator>

#include "compression/csr.h"
#include "compression/csr_stream.h"

namespace {

constexpr int kInitBits = 9;
constexpr int kClear = 256;     // CLEAR: the table is reset
constexpr int kFirstFree = 257;  // first code of a new string
constexpr int kCheckGap = 4096;  // input bytes between two checks of the ratio

// Shift of the compressor's first probe: 8 minus the doublings that bring
// the table size to 65536 or more.
constexpr int HashShift(int hsize) {
  int shift = 0;
  for (long f = hsize; f < 65536; f *= 2) ++shift;
  return 8 - shift;
}
constexpr int kHShift = HashShift(CSR_LZC_HSIZE);
static_assert(((255 << kHShift) ^ (CSR_LZC_CODES - 1)) < CSR_LZC_HSIZE);

// Largest code of a width; at the stream's widest width it is the table
// size itself, so the width never grows beyond it.
constexpr int MaxCode(int n_bits, int maxbits) {
  return n_bits == maxbits ? 1 << maxbits : (1 << n_bits) - 1;
}

// ---------------------------------------------------------------------------
// Compressor

// End states of a compression stream; an interrupted ending goes on from
// here on the next call.
enum : int32_t {
  kRunning = 0,
  kClearOwed = 1,   // the table was reset; CLEAR still has to be placed
  kLastPlaced = 3,  // the last code has been placed
  kFlushed = 4,     // the partial group has been written
  kFinished = 5,    // CSR_END_OF_STREAM was returned
};

struct Sink {
  WEQ_RAW* p;
  WEQ_RAW* end;
};

// Copies a whole group of 9 to 13 bytes as two overlapping 8-byte words.
inline void CopyGroup(WEQ_RAW* to, const WEQ_RAW* group, int n) {
  uint64_t head, tail;
  memcpy(&head, group, 8);
  memcpy(&tail, group + n - 8, 8);
  memcpy(to, &head, 8);
  memcpy(to + n - 8, &tail, 8);
}

// Writes the group's first n bytes, as far as there is room; the rest is
// owed to the next call. The group counts as made either way, so the ratio
// check does not depend on how the caller cuts the output.
void EmitGroup(CSR_LZC_CSTATE* s, Sink& o, int n) {
  int k = std::min<int>(n, static_cast<int>(o.end - o.p));
  memcpy(o.p, s->group, k);
  o.p += k;
  if (k < n) {
    s->owed_start = k;
    s->owed_count = n - k;
  }
  s->bytes_out += n;
  s->offset = 0;
}

// After a code that filled the width's last code, or CLEAR: the width
// grows, or falls back to 9 bits after CLEAR. The decoder changes width
// only at a group boundary, so the group is written whole first.
void NextWidth(CSR_LZC_CSTATE* s, Sink& o) {
  if (s->offset > 0) EmitGroup(s, o, s->n_bits);
  if (s->clear_flg > 0) {
    s->n_bits = kInitBits;
    s->clear_flg = 0;
  } else {
    ++s->n_bits;
  }
  s->maxcode = MaxCode(s->n_bits, CSR_LZC_BITS);
}

// Places a code (or, for -1, ends the stream's last group). The caller
// ends its call as soon as bytes are owed, so none are owed here.
inline void PutCode(CSR_LZC_CSTATE* s, Sink& o, int code) {
  if (code < 0) {
    if (s->offset > 0) EmitGroup(s, o, (s->offset + 7) / 8);
    return;
  }
  // The byte at offset / 8 keeps its low offset % 8 bits; the code fills the
  // rest of it and up to two more bytes.
  int r = s->offset & 7;
  WEQ_RAW* bp = s->group + (s->offset >> 3);
  uint32_t v = (bp[0] & ((1u << r) - 1)) | static_cast<uint32_t>(code) << r;
  bp[0] = static_cast<WEQ_RAW>(v);
  bp[1] = static_cast<WEQ_RAW>(v >> 8);
  if (r + s->n_bits > 16) bp[2] = static_cast<WEQ_RAW>(v >> 16);
  s->offset += s->n_bits;
  if (s->offset == s->n_bits * 8) EmitGroup(s, o, s->n_bits);
  if (s->free_ent > s->maxcode || s->clear_flg > 0) NextWidth(s, o);
}

void ClearDictionary(CSR_LZC_CSTATE* s) {
  memset(s->slots, 0, s->lsize * sizeof s->slots[0]);
  if (s->pairs_on) memset(s->pairs, 0, sizeof s->pairs);
  memset(s->used, 0, sizeof s->used);
  s->zero_code = s->zero_slot = -1;
  s->slot0_taken = 0;
  s->placed = kFirstFree;
}

// Home slot of the string (c, ent) in the lookup table: (ent ^
// ByteHash(c)) & lmask. The byte's half is ready long before ent is known,
// so after a match the next home is one xor away; codes that follow each
// other stay close.
inline uint32_t ByteHash(uint32_t c) { return (c * 0x9E3779B1u) >> (32 - CSR_LZC_FBITS); }

// Strings of two bytes (ent below 256) have their own table when pairs_on
// is set: one entry per pair, ent's row holding the codes of ent + c by c,
// so that the lookup after each new string, which the failed match before
// it has made hard to predict, mostly meets the cache.
inline uint32_t PairIndex(uint32_t c, uint32_t ent) { return ent << 8 | c; }
constexpr int kPairsFrom = 8192;  // streams of this many bytes or more use the pairs

inline bool Used(const CSR_LZC_CSTATE* s, int i) { return (s->used[i >> 5] >> (i & 31)) & 1; }

// The slot of the open-addressing table where a string that is not in the
// dictionary lands: its first probe when that is free, else the first free
// slot or the slot of key 0 along its probe sequence.
int LandingSlot(const CSR_LZC_CSTATE* s, uint32_t c, int32_t ent) {
  int i = static_cast<int>(c << kHShift) ^ ent;
  if (!Used(s, i)) return i;
  const int disp = i == 0 ? 1 : CSR_LZC_HSIZE - i;
  do {
    i -= disp;
    if (i < 0) i += CSR_LZC_HSIZE;
  } while (Used(s, i) && i != s->zero_slot);
  return i;
}

// Places the codes from s->placed up to end in the open-addressing table,
// in the order they were given: each may push key 0 out, and key 0 itself
// takes the slot where it lands.
void PlaceCodes(CSR_LZC_CSTATE* s, int32_t end) {
  for (int32_t code = s->placed; code < end; ++code) {
    const uint32_t key = s->keyof[code];
    const int landing = LandingSlot(s, key >> CSR_LZC_BITS, static_cast<int32_t>(key & (CSR_LZC_CODES - 1)));
    if (landing == s->zero_slot) s->zero_code = s->zero_slot = -1;
    s->used[landing >> 5] |= 1u << (landing & 31);
    if (key == 0) {
      s->zero_code = code;
      s->zero_slot = landing;
    }
  }
  s->placed = end;
}

// Enters the string ent + c, which is not in the dictionary, with the
// given code: at slot, the pair's entry when pair is set, else the free
// lookup slot where its search ended.
inline void AddString(CSR_LZC_CSTATE* s, uint32_t c, uint32_t ent, uint32_t slot, int code,
                      bool pair) {
  const uint32_t key = c << CSR_LZC_BITS | ent;
  s->keyof[code] = key;
  if (key == 0) {
    if (s->slot0_taken) {
      PlaceCodes(s, code + 1);
    } else {
      s->zero_code = code;
      s->zero_slot = 0;
    }
  } else {
    if (ent == c << kHShift) s->slot0_taken = 1;  // first probe: slot 0
    if (pair) {
      s->pairs[slot] = static_cast<uint16_t>(code);
    } else {
      s->slots[slot] = static_cast<uint16_t>(code);
    }
  }
}

// Runs when the table is full and the next check is due: resets the table
// when the compression ratio has stopped improving. Returns whether it did.
bool ClearBlock(CSR_LZC_CSTATE* s, int32_t in_count) {
  s->checkpoint = static_cast<int32_t>(std::min<int64_t>(int64_t{in_count} + kCheckGap, INT32_MAX));
  int32_t rat;
  // An incompressible stream near the largest total makes more than 2^31
  // bytes, so the output count is wider than in_count; the ratio is not
  // above in_count << 8 and fits.
  if (in_count >= 0x800000) {  // in_count << 8 would overflow
    const int64_t per256 = s->bytes_out >> 8;
    rat = per256 == 0 ? 0x7FFFFFFF : static_cast<int32_t>(in_count / per256);
  } else {
    rat = static_cast<int32_t>((int64_t{in_count} << 8) / s->bytes_out);  // 8 fraction bits; bytes_out >= 8
  }
  if (rat > s->ratio) {
    s->ratio = rat;
    return false;
  }
  s->ratio = 0;
  s->free_ent = kFirstFree;
  s->clear_flg = 1;
  ClearDictionary(s);
  return true;
}

void StartCompress(CSR_LZC_CSTATE* s, int total) {
  s->kind = CSR_LZC_CKIND;
  s->n_bits = kInitBits;
  s->maxcode = MaxCode(kInitBits, CSR_LZC_BITS);
  s->free_ent = kFirstFree;
  s->clear_flg = 0;
  s->ratio = 0;
  s->checkpoint = kCheckGap;
  s->in_count = 0;
  s->bytes_out = CSR_HEADER_SIZE;
  s->ent = -1;
  s->total = total;
  s->offset = 0;
  s->owed_start = 0;
  s->owed_count = 0;
  s->end_state = kRunning;
  memset(s->group, 0, sizeof s->group);
  // Each input byte adds at most one string: a short stream needs only a
  // small lookup table, and clearing it costs no more than its input.
  const uint32_t strings = static_cast<uint32_t>(std::min(total, CSR_LZC_CODES - kFirstFree));
  s->lsize = std::max<uint32_t>(std::bit_ceil(8 * strings), 64);
  s->pairs_on = total >= kPairsFrom;
  assert(!s->pairs_on || s->lsize == CSR_LZC_FSIZE);
  ClearDictionary(s);
}

// Takes bytes from [ip, iend) until they run out or bytes are owed.
//
// The state that every byte touches lives in locals: the group and the
// output are written byte by byte, and such stores could change any field
// of the state as far as the compiler knows. The rare steps (a group that
// does not fit, a new width, the ratio check) run on the state itself.
template <bool kPairs, bool kPrefetch>
void CompressBytes(CSR_LZC_CSTATE* s, Sink& o, const WEQ_RAW*& ip, const WEQ_RAW* iend) {
  // The tables are reached through s: one register for all of them.
  // With the pairs the lookup table has all its slots.
  const uint32_t lmask = kPairs ? CSR_LZC_FSIZE - 1 : s->lsize - 1;
  WEQ_RAW* const group = s->group;
  WEQ_RAW* const oend = o.end;
  uint32_t ent = static_cast<uint32_t>(s->ent);
  int32_t free_ent = s->free_ent;
  int32_t offset = s->offset;
  int32_t n_bits = s->n_bits;
  int32_t maxcode = s->maxcode;
  // Codes below this one are entered at the current width; from it on the
  // width grows, or the table is full.
  int32_t limit = std::min(maxcode + 1, CSR_LZC_CODES);
  int64_t bytes_out = s->bytes_out;
  WEQ_RAW* op = o.p;
  // Bits of the group's last byte when it is partly filled (its low
  // offset % 8 bits), else 0.
  uint32_t partial = offset & 7 ? group[offset >> 3] : 0u;
  const WEQ_RAW* p = ip;
  // Bytes of this call that come before the next ratio check.
  int32_t check_at = s->checkpoint - s->in_count;
  auto save = [&] {
    s->free_ent = free_ent;
    s->offset = offset;
    s->n_bits = n_bits;
    s->maxcode = maxcode;
    s->bytes_out = bytes_out;
    o.p = op;
  };
  auto load = [&] {
    free_ent = s->free_ent;
    offset = s->offset;
    n_bits = s->n_bits;
    maxcode = s->maxcode;
    limit = std::min(maxcode + 1, CSR_LZC_CODES);
    bytes_out = s->bytes_out;
    op = o.p;
    partial = offset & 7 ? group[offset >> 3] : 0u;
  };
  // With kPrefetch (the pairs, and two bytes or more in this call) the
  // pair of the next two bytes is fetched early: should the next byte end
  // a string, the lookup of that pair follows a mispredicted branch and
  // would otherwise wait for the cache.
  const WEQ_RAW* const pf_last = kPrefetch ? iend - 2 : ip;
  while (p < iend) {
    const uint32_t c = *p++;
    if (kPrefetch) {
      uint16_t two;  // the next two bytes, the first one high
      memcpy(&two, std::min(p, pf_last), 2);
      if constexpr (std::endian::native == std::endian::little) two = __builtin_bswap16(two);
      __builtin_prefetch(&s->pairs[two]);
    }
    const uint32_t key = (c << CSR_LZC_BITS) + ent;
    uint32_t i = 0;
    const bool pair = kPairs && ent < 256;
    if (pair) {
      i = PairIndex(c, ent);
      const uint32_t code = s->pairs[i];
      if (code != 0) {
        ent = code;
        continue;
      }
    } else {
      // With the pairs every code is below the table's size.
      i = kPairs ? ent ^ ByteHash(c) : (ent ^ ByteHash(c)) & lmask;
      uint32_t e = s->slots[i];
      for (;;) {
        if (e == 0) goto missing;
        if (s->keyof[e] == key) break;
        i = (i + 1) & lmask;
        e = s->slots[i];
      }
      ent = e;
      continue;
    }
  missing:
    if (key == 0) {
      // Only strings placed since could have pushed key 0 out.
      if (s->zero_code >= 0 && s->zero_slot != 0) PlaceCodes(s, free_ent);
      if (s->zero_code >= 0) {
        ent = static_cast<uint32_t>(s->zero_code);
        continue;
      }
    }

    // Place ent: the byte at offset / 8 keeps its low offset % 8 bits, the
    // code fills the rest of it and up to two more bytes; the group has room
    // for a whole word there. The bytes behind the code that the word zeroes
    // are written again by the next code, or by CLEAR when a group is
    // written short of its codes (a width's codes fill whole groups).
    {
      const uint32_t r = static_cast<uint32_t>(offset) & 7;
      const uint32_t v = partial | ent << r;
      memcpy(group + (offset >> 3), &v, 4);
      partial = v >> ((r + static_cast<uint32_t>(n_bits)) & ~7u);
    }
    offset += n_bits;
    bool owed = false;
    if (offset == n_bits * 8) {
      if (oend - op >= n_bits) {
        CopyGroup(op, group, n_bits);
        op += n_bits;
        bytes_out += n_bits;
        offset = 0;
      } else {
        save();
        EmitGroup(s, o, n_bits);
        load();
        owed = true;
      }
    }
    if (free_ent < limit) {
      AddString(s, c, ent, i, free_ent++, pair);
    } else if (free_ent < CSR_LZC_CODES) {  // the width grows first
      save();
      NextWidth(s, o);
      load();
      owed = s->owed_count > 0;
      AddString(s, c, ent, i, free_ent++, pair);
    } else if (p - ip >= check_at) {  // this byte included
      save();
      if (ClearBlock(s, s->in_count + static_cast<int32_t>(p - ip))) {
        if (s->owed_count > 0) {
          s->end_state = kClearOwed;
        } else {
          PutCode(s, o, kClear);
        }
      }
      load();
      owed = s->owed_count > 0;
      check_at = s->checkpoint - s->in_count;
    }
    ent = c;
    if (owed) break;
  }
  save();
  s->ent = static_cast<int32_t>(ent);
  s->in_count += static_cast<int32_t>(p - ip);
  ip = p;
}

// ---------------------------------------------------------------------------
// Decompressor

enum : int32_t {
  kFirstCode = 1,  // the next code starts the stream or follows CLEAR
  kCodes = 2,      // decoding codes
  kPadding = 3,    // all bytes produced; taking the stream's last bits
  kDone = 4,       // CSR_END_OF_STREAM was returned
  kFailed = 5,     // the stream is damaged; every call returns s->error
};

// Bits from the caller's input, least-significant first. Whole bytes are
// moved into the state's accumulator as needed.
struct Source {
  const WEQ_RAW* p;
  const WEQ_RAW* end;
};

inline uint64_t Load64(const WEQ_RAW* p) {
  uint64_t v;
  memcpy(&v, p, 8);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
  return v;  // the stream is little-endian
}

// Makes at least k bits available in the accumulator; false when the input
// ran out first (the bits taken so far stay in the accumulator).
inline bool Need(CSR_LZC_DSTATE* s, Source& in, int k) {
  if (s->nacc >= k) return true;
  if (in.end - in.p >= 8) {
    // Whole bytes only: the partly loaded next byte is loaded again, into
    // the same bit positions, by the next refill.
    s->acc |= Load64(in.p) << s->nacc;
    in.p += (63 - s->nacc) >> 3;
    s->nacc |= 56;
    return true;
  }
  while (s->nacc < k) {
    if (in.p == in.end) return false;
    s->acc |= uint64_t{*in.p++} << s->nacc;
    s->nacc += 8;
  }
  return true;
}

inline void Drop(CSR_LZC_DSTATE* s, int n) {
  s->acc >>= n;
  s->nacc -= n;
}

// Drops the bits of s->skip; false when the input ran out first.
bool SkipBits(CSR_LZC_DSTATE* s, Source& in) {
  while (s->skip > 0) {
    if (!Need(s, in, 1)) return false;
    int d = std::min(s->skip, s->nacc);
    Drop(s, d);
    s->skip -= d;
  }
  return true;
}

// The encoder finishes the current group before the width changes; the
// rest of the group is padding.
void EndGroup(CSR_LZC_DSTATE* s) {
  s->skip = s->gbits > 0 ? s->n_bits * 8 - s->gbits : 0;
  s->gbits = 0;
}

// All bytes are out: what is left of the stream is the padding behind its
// last code. The encoder wrote the last group whole when that code made the
// width grow (EndGroup has then set skip), else up to the byte that holds
// the code's last bit, which is taken already.
void StartPadding(CSR_LZC_DSTATE* s) {
  s->str_len = s->str_pos = 0;
  s->phase = kPadding;
}

int Fail(CSR_LZC_DSTATE* s) {
  s->phase = kFailed;
  s->error = CSR_E_BAD_CODE;
  return s->error;
}

// Writes the string of code (L bytes) to dst, last byte first along the
// prefix chain. A code equal to free_ent is the string of oldcode followed
// by its own first byte.
inline void Expand(CSR_LZC_DSTATE* s, int code, int L, WEQ_RAW* dst) {
  int c = code;
  int k = L - 1;
  if (code == s->free_ent) {
    dst[k--] = static_cast<WEQ_RAW>(s->finchar);
    c = s->oldcode;
  }
  for (; k > 0; --k) {
    dst[k] = s->suffix[c];
    c = s->prefix[c];
  }
  dst[0] = static_cast<WEQ_RAW>(c);
  s->finchar = c;
}

int DecodeCodes(CSR_LZC_DSTATE* s, Source& in, WEQ_RAW*& op, WEQ_RAW* oend, bool no_input) {
  for (;;) {
    if (s->str_pos < s->str_len) {
      int n = std::min<int>(s->str_len - s->str_pos, static_cast<int>(oend - op));
      n = std::min(n, s->remaining);
      memcpy(op, s->str + s->str_pos, n);
      op += n;
      s->str_pos += n;
      s->remaining -= n;
      if (s->remaining == 0) {
        StartPadding(s);
      } else if (s->str_pos < s->str_len) {
        return CSR_OUTPUT_FULL;
      }
    }
    if (s->phase == kPadding) {
      // A call without input after the last byte ends the stream even when
      // the padding never came.
      if (!SkipBits(s, in) && !no_input) return CSR_MORE_INPUT;
      s->skip = 0;
      s->phase = kDone;
    }
    if (s->phase == kDone) return CSR_END_OF_STREAM;
    if (op == oend) return CSR_OUTPUT_FULL;

    if (s->skip > 0 && !SkipBits(s, in)) return CSR_MORE_INPUT;
    int n_bits = s->n_bits;
    if (!Need(s, in, n_bits)) return CSR_MORE_INPUT;
    int code = static_cast<int>(s->acc & ((1u << n_bits) - 1));
    Drop(s, n_bits);
    s->gbits += n_bits;
    if (s->gbits == n_bits * 8) s->gbits = 0;

    if (s->phase == kFirstCode) {
      if (code >= 256) return Fail(s);  // nothing to refer to yet
      s->oldcode = s->finchar = code;
      *op++ = static_cast<WEQ_RAW>(code);
      s->phase = kCodes;
      if (--s->remaining == 0) StartPadding(s);
      continue;
    }
    if (code == kClear && s->block_compress) {
      // The table restarts; the code after CLEAR is again a first code.
      s->free_ent = kFirstFree;
      s->phase = kFirstCode;
      EndGroup(s);
      s->n_bits = kInitBits;
      s->maxcode = MaxCode(kInitBits, s->maxbits);
      continue;
    }
    if (code > s->free_ent) return Fail(s);  // not in the table yet
    int L = code == s->free_ent ? s->length[s->oldcode] + 1 : s->length[code];
    if (L > CSR_LZC_DCODES) return Fail(s);
    bool direct = oend - op >= L && s->remaining >= L;
    Expand(s, code, L, direct ? op : s->str);
    if (s->free_ent < s->maxmaxcode) {
      int e = s->free_ent++;
      s->prefix[e] = static_cast<uint16_t>(s->oldcode);
      s->suffix[e] = static_cast<WEQ_RAW>(s->finchar);
      s->length[e] = static_cast<uint16_t>(s->length[s->oldcode] + 1);
    }
    s->oldcode = code;
    if (s->free_ent > s->maxcode) {
      EndGroup(s);
      ++s->n_bits;
      s->maxcode = MaxCode(s->n_bits, s->maxbits);
    }
    if (direct) {
      op += L;
      s->remaining -= L;
      if (s->remaining == 0) StartPadding(s);
    } else {
      s->str_len = L;
      s->str_pos = 0;
    }
  }
}

}  // namespace

int CsRLzcCompress(CSR_LZC_CSTATE* s, int total, const WEQ_RAW* in, int inlen, WEQ_RAW* out,
                   int outlen, int options, int* read, int* written) {
  *read = *written = 0;
  if (inlen < 0) return CSR_E_IN_LEN;
  if (outlen < 0) return CSR_E_OUT_ROOM;
  if (in == nullptr || out == nullptr) return CSR_E_NULL_BUFFER;
  if (in == out) return CSR_E_SAME_BUFFER;
  Sink o{out, out + outlen};
  if (options & CSR_OPT_NEW_STREAM) {
    if (outlen < CSR_HEADER_SIZE) return CSR_E_OUT_ROOM;
    if (total < 1) return CSR_E_TOTAL_LEN;
    StartCompress(s, total);
    CsRWriteHeader(out, total, static_cast<WEQ_RAW>(CSR_ALG_LZC | (options & CSR_OPT_BLOCK)),
                   CSR_LZC_PARAM);
    o.p += CSR_HEADER_SIZE;
    if (inlen == 0) {
      *written = CSR_HEADER_SIZE;
      return CSR_MORE_INPUT;
    }
  } else {
    if (s->kind != CSR_LZC_CKIND) return CSR_E_NO_STREAM;
    if (s->end_state == kFinished) return CSR_END_OF_STREAM;
    if (s->owed_count > 0) {
      // Owed bytes go out first, whole, or the call changes nothing.
      if (outlen < s->owed_count) return CSR_E_OUT_ROOM;
      memcpy(o.p, s->group + s->owed_start, s->owed_count);
      o.p += s->owed_count;
      s->owed_start = s->owed_count = 0;
    }
  }

  // Input beyond the stream's total length is not taken.
  const WEQ_RAW* ip = in;
  const WEQ_RAW* iend = in + std::min(inlen, s->total - s->in_count);
  int rc = CSR_MORE_INPUT;
  auto finish = [&](int result) {
    *read = static_cast<int>(ip - in);
    *written = static_cast<int>(o.p - out);
    return result;
  };

  if (s->ent == -1) {
    if (ip == iend) return finish(CSR_MORE_INPUT);
    s->ent = *ip++;
    ++s->in_count;
  }
  if (s->end_state == kClearOwed) {
    PutCode(s, o, kClear);
    s->end_state = kRunning;
    if (s->owed_count > 0) return finish(CSR_OUTPUT_FULL);
  }
  if (!s->pairs_on) {
    CompressBytes<false, false>(s, o, ip, iend);
  } else if (iend - ip >= 2) {
    CompressBytes<true, true>(s, o, ip, iend);
  } else {
    CompressBytes<true, false>(s, o, ip, iend);
  }
  if (s->owed_count > 0) return finish(CSR_OUTPUT_FULL);
  if (s->in_count < s->total) return finish(rc);

  if (s->end_state < kLastPlaced) {
    PutCode(s, o, s->ent);
    s->end_state = kLastPlaced;
    if (s->owed_count > 0) return finish(CSR_OUTPUT_FULL);
  }
  if (s->end_state < kFlushed) {
    PutCode(s, o, -1);
    s->end_state = kFlushed;
    if (s->owed_count > 0) return finish(CSR_OUTPUT_FULL);
  }
  s->end_state = kFinished;
  return finish(CSR_END_OF_STREAM);
}

int CsRLzcDecompress(CSR_LZC_DSTATE* s, const WEQ_RAW* in, int inlen, WEQ_RAW* out, int outlen,
                     int options, int* read, int* written) {
  *read = *written = 0;
  if (inlen < 0) return CSR_E_IN_LEN;
  if (in == nullptr || out == nullptr) return CSR_E_NULL_BUFFER;
  if (in == out) return CSR_E_SAME_BUFFER;
  if (outlen < 0) return CSR_E_OUT_ROOM;
  Source src{in, in + inlen};
  const WEQ_RAW* body = in;  // where this call's bits start
  if (options & CSR_OPT_NEW_STREAM) {
    if (inlen < CSR_HEADER_SIZE) return CSR_E_IN_LEN;
    int length = CsRReadHeader(in);
    if (length < 0) return CSR_E_HEADER;
    int maxbits = in[7] & 0x1F;
    // The tables hold 2^14 codes; codes start at 9 bits.
    if (maxbits < kInitBits || maxbits > CSR_LZC_DBITS) return CSR_E_CODE_BITS;
    s->kind = CSR_LZC_DKIND;
    s->phase = kFirstCode;
    s->error = 0;
    s->maxbits = maxbits;
    s->maxmaxcode = 1 << maxbits;
    s->n_bits = kInitBits;
    s->maxcode = MaxCode(kInitBits, maxbits);
    s->block_compress = in[7] & 0x80;
    s->free_ent = s->block_compress ? kFirstFree : 256;
    s->oldcode = s->finchar = 0;
    s->remaining = length;
    s->acc = 0;
    s->nacc = s->gbits = s->skip = 0;
    s->str_len = s->str_pos = 0;
    std::fill(s->length, s->length + 256, uint16_t{1});
    body = src.p = in + CSR_HEADER_SIZE;
    *read = CSR_HEADER_SIZE;
    if (length == 0) {
      s->phase = kDone;
      return CSR_END_OF_STREAM;
    }
    if (outlen == 0) return CSR_OUTPUT_FULL;
    if (inlen == CSR_HEADER_SIZE) return CSR_MORE_INPUT;
  } else {
    if (s->kind != CSR_LZC_DKIND) return CSR_E_NO_STREAM;
    if (s->phase == kFailed) return s->error;
    if (outlen < 1) return CSR_E_OUT_ROOM;
  }

  WEQ_RAW* op = out;
  // A call without input ends a stream whose padding never came only when
  // the stream was waiting for nothing else; a call that hands out what an
  // earlier one held asks for the padding first.
  int rc = DecodeCodes(s, src, op, out + outlen, inlen == 0 && s->phase == kPadding);
  if (rc != CSR_MORE_INPUT) {
    // Whole bytes of this call that the accumulator holds unused are not
    // taken: the caller passes them again, or they lie behind the stream.
    int back = std::min<int>(s->nacc / 8, static_cast<int>(src.p - body));
    src.p -= back;
    s->nacc -= back * 8;
  }
  s->acc &= s->nacc >= 64 ? ~uint64_t{0} : (uint64_t{1} << s->nacc) - 1;
  *read = static_cast<int>(src.p - in);
  *written = static_cast<int>(op - out);
  return rc;
}
