// LZH: LZ77 matching with Huffman coding, the second algorithm of the
// compression module. Private to the module: the handle pool keeps one state
// per handle in its work area and calls these functions.
//
// Stream: the 8-byte stream header (algorithm byte 0x12, 0x1A in block mode;
// the level in byte 7), then 2 bits n (0..3), n filler bits, then raw deflate
// blocks with fixed or dynamic codes over a 16 KB window; the last byte is
// padded with zero bits and followed by one zero byte.
//
// Both directions are resumable at any point: a call stops when the input or
// the output room runs out and the next call continues from the state. The
// results are 1 (end of stream), 2 (output full), 3 (more input) or a
// negative error code; `read` and `written` report the bytes taken and
// produced. Input not taken is passed again at the start of the next call.
//
// A state is plain data without pointers that outlive a call. It begins
// with a kind tag that a successful new-stream call sets, so that a work
// area last used by another algorithm, or a stream whose start failed, is
// refused (CSR_E_NO_STREAM) instead of being read as a stream. One state
// is used by one thread at a time; the only shared object is the filler
// generator, which is lock-free.
#ifndef COMPRESSION_LZH_H
#define COMPRESSION_LZH_H

#include <cstdint>

#include "compression/lzh_tables.h"
#include "weq_types.h"

namespace lzh {

// One decoding table slot. e: 0..13 extra bits of a length or distance
// code, 15 end of block, 16 literal, 16 + j a link to a sub-table indexed by
// j more bits, 99 an invalid code. b: bits this slot consumes (for a link,
// the first-level bits). v: base value, literal byte, or sub-table index.
struct TableEntry {
  uint8_t e;
  uint8_t b;
  uint16_t v;
};
inline constexpr uint8_t kEntryEndOfBlock = 15;
inline constexpr uint8_t kEntryLiteral = 16;
inline constexpr uint8_t kEntryInvalid = 99;

inline constexpr int kTablePoolSize = 4096;

// Compressor sizes.
inline constexpr int kDeflateWindow = 2 * kWindowSize;       // 32768
inline constexpr int kMinLookahead = kMaxMatch + kMinMatch + 1;  // 262
inline constexpr int kMaxDist = kWindowSize - kMinLookahead;     // 16122
inline constexpr int kTooFar = 4096;
inline constexpr int kHashBits = 14;
inline constexpr int kHashSize = 1 << kHashBits;
// Prefix chains: beside the hash chain, every position sits in one chain
// per prefix length, linking the earlier positions whose first 4, 8 or 16
// bytes hash alike. A search that already holds a match of n bytes walks
// the chain of the longest prefix not above n, which skips the many
// candidates that cannot beat it.
inline constexpr int kPrefixChains = 3;
inline constexpr int kPrefixHashBits = 14;
inline constexpr int kPrefixHashSize = 1 << kPrefixHashBits;
inline constexpr int kLitBufSize = 16384;
inline constexpr int kDistBufSize = 16384;
inline constexpr int kOverflowSize = 122880;
// A block never costs more than its fixed coding, at most 31 bits a tally
// (an 8-bit length code with 5 extra bits, a 5-bit distance code with 13),
// so one block and the bits held before it always fit. The block's symbols
// are put together there, behind the block header and trees that wait (at
// most 2 KB), with up to 8 bytes stored past the end.
static_assert(kOverflowSize >= (kLitBufSize * 31 + 7) / 8 + 2048 + 8);
// At the end of the input the match search and the hash look up to 258
// bytes (plus 16, read as one vector) past it: the window has this much
// room behind its 32 KB, and a stream keeps this much zeroed behind the
// bytes it has read.
inline constexpr int kDeflateWindowSlack = 512;
static_assert(kDeflateWindowSlack >= kMaxMatch + 16 + 16);
inline constexpr int kHeapSize = 2 * kLitLenCodes + 1;  // 573

// A dynamic Huffman tree under construction: frequencies and parents of
// leaves and inner nodes, code lengths and codes of the leaves.
template <int Elems>
struct HuffTree {
  static constexpr int kNodes = 2 * Elems + 1;
  uint16_t freq[kNodes];
  uint16_t dad[kNodes];
  uint8_t len[kNodes];
  uint16_t code[Elems];
  int max_code;  // largest symbol with a code, -1 for none
};

}  // namespace lzh

constexpr uint32_t CSR_LZH_CKIND = 0x4C5A4843;  // "LZHC"
constexpr uint32_t CSR_LZH_DKIND = 0x4C5A4844;  // "LZHD"

struct CsRLzhInflateState {
  uint32_t kind;       // CSR_LZH_DKIND once a stream was started
  uint8_t mode;        // resume point
  uint8_t last_block;  // BFINAL of the block under way
  uint8_t block_type;
  uint8_t last_len;    // previous code length while reading a dynamic header
  int32_t error;       // the error that ended the stream, 0 while none
  uint32_t bitbuf;     // bits taken from the input, least significant first
  uint32_t bitcnt;
  uint32_t wpos;       // write position in the window
  uint32_t pending;    // bytes of a window hand-out still owed to the caller
  uint32_t pending_off;
  uint32_t total_out;  // bytes delivered over the stream
  uint32_t length;     // uncompressed length from the header
  uint64_t decoded;    // bytes decoded over the stream (bounds distances)
  // saved values of an interrupted step
  uint32_t copy_len;
  uint32_t copy_dist;
  uint32_t base;       // base value waiting for its extra bits
  uint32_t extra;      // extra bits still to read for `base`
  uint32_t nlit, ndist, ncodelen, index;
  // tables of the block under way, as offsets into the pool
  uint16_t lit_table, dist_table, cl_table;
  uint8_t lit_bits, dist_bits, cl_bits;
  uint32_t pool_used;
  uint8_t lens[lzh::kLitLenCodes + lzh::kDistCodes];
  uint8_t cl_lens[lzh::kCodeLenCodes];
  lzh::TableEntry pool[lzh::kTablePoolSize];
  uint8_t window[lzh::kWindowSize];
};

struct CsRLzhDeflateState {
  uint32_t kind;      // CSR_LZH_CKIND once a stream was started
  // stream
  uint32_t total;     // uncompressed length of the stream
  uint32_t consumed;  // input taken over the stream
  int level, good_length, max_lazy, max_chain;
  // the call under way
  const WEQ_RAW* in;
  uint32_t in_limit, taken;
  WEQ_RAW* out;
  uint32_t out_room, out_count;
  uint32_t ovf_start, ovf_fill;  // bytes waiting in the overflow area
  // Flags are words, not bytes: byte stores would make the compiler reload
  // every field around them in the matching loop.
  uint32_t eofile;         // all input of the stream is in the window
  uint32_t input_used_up;  // this call's input is exhausted
  uint32_t hash_primed;
  uint32_t final_done;     // the final block has been produced
  uint32_t match_available;
  uint32_t flags, flag_bit;  // flag byte being built and its next bit
  // matching
  uint32_t strstart, lookahead;
  int32_t block_start;  // may fall below 0 when the window slides
  uint32_t match_start, match_length, prev_length, prev_match;
  uint32_t ins_h;
  uint32_t window_ready;  // window[0, window_ready) holds this stream's bytes or zeros
  // tallies of the block under way
  uint32_t last_lit, last_dist, last_flags;
  // Huffman coding
  uint32_t opt_len, static_len;
  uint64_t bitbuf;  // bits not yet written, least significant first
  uint32_t bitcnt;
  int heap_len, heap_max;
  uint16_t bl_count[lzh::kMaxBits + 1];
  int heap[lzh::kHeapSize];
  uint8_t depth[lzh::kHeapSize];
  lzh::HuffTree<lzh::kLitLenCodes> ltree;
  lzh::HuffTree<lzh::kDistCodes> dtree;
  lzh::HuffTree<lzh::kCodeLenCodes> bltree;
  uint16_t head[lzh::kHashSize];
  // The entry before each position in its hash chain. This and the other
  // arrays per position (rank, prefix_prev) are indexed by the position
  // itself, which spares the walk from one entry to the next a mask; their
  // upper half moves down when the window slides.
  uint16_t prev[lzh::kDeflateWindow];
  // Insertions into each hash chain, counted modulo 2^16, and each
  // position's count when it went in: the difference of two positions of
  // one chain is how many entries apart they are.
  uint16_t chain_count[lzh::kHashSize];
  uint16_t rank[lzh::kDeflateWindow];
  uint32_t prefix_next;    // positions below it are in the prefix chains
  uint32_t prefix_chains;  // how many of the prefix chains this level keeps
  uint16_t prefix_head[lzh::kPrefixChains][lzh::kPrefixHashSize];
  uint16_t prefix_prev[lzh::kPrefixChains][lzh::kDeflateWindow];
  uint8_t l_buf[lzh::kLitBufSize];
  uint16_t d_buf[lzh::kDistBufSize];
  uint8_t flag_buf[lzh::kLitBufSize / 8];
  uint8_t window[lzh::kDeflateWindow + lzh::kDeflateWindowSlack];
  uint8_t overflow[lzh::kOverflowSize];
};

// Decompresses the next piece. options bit 0 starts a new stream, whose
// first 8 input bytes are the stream header.
int CsRLzhDecompress(CsRLzhInflateState* state, const WEQ_RAW* in, unsigned inlen, WEQ_RAW* out,
                     unsigned outlen, WEQ_RAW options, unsigned* read, unsigned* written);

// Compresses the next piece of a stream of `total` bytes. options bit 0
// starts a new stream (bit 3 block mode, bits 4 and up the level 1..9, any
// other level meaning 2); that call writes the 8-byte header.
int CsRLzhCompress(CsRLzhDeflateState* state, unsigned total, const WEQ_RAW* in, unsigned inlen,
                   WEQ_RAW* out, unsigned outlen, int options, unsigned* read, unsigned* written);

// Test hook: with count 0..3 every new compressed stream carries that many
// filler bits with the value `bits`; with a negative count the filler comes
// from the generator again. Process-wide.
void CsRLzhISetFiller(int count, unsigned bits);

#endif
