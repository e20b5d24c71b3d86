// Test helpers for LZH streams: callers that drive the compressor and the
// decompressor piece by piece as the handle pool's users do, zlib as an
// independent raw-deflate producer and consumer, the bit shift between an
// LZH stream and raw deflate, a raw-deflate bit writer for crafted streams,
// and generated corpora. Nothing here shares code with the library.
#ifndef TESTS_COMPRESSION_LZH_TEST_UTIL_H
#define TESTS_COMPRESSION_LZH_TEST_UTIL_H

#include <cstdint>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "compression/lzh.h"

namespace lzhtest {

using Bytes = std::vector<uint8_t>;
// Size of the next piece (input length or output room).
using SizeFn = std::function<size_t()>;

SizeFn Fixed(size_t n);
// Mostly tiny, sometimes large pieces, down to `min` bytes.
SizeFn RandomSizes(uint32_t seed, size_t min = 1);

// --- corpora
Bytes RandomBytes(size_t n, uint32_t seed);
Bytes Text(size_t n, uint32_t seed);
// Runs of repeated bytes and repeated short records: highly compressible.
Bytes Runs(size_t n, uint32_t seed);

// --- drivers
struct CompressResult {
  Bytes stream;      // header included
  int rc = 0;        // last result: 1, or the error that stopped it
  size_t calls = 0;
};
// Compresses `data` as one stream with the given new-stream options (level
// and block bits; bit 0 is added), taking input pieces and output rooms from
// the functions. The new-stream call has an 8-byte room, as the pool's
// caller gives it.
CompressResult Compress(CsRLzhDeflateState* st, const Bytes& data, int options, const SizeFn& in_size,
                        const SizeFn& out_room);
Bytes CompressSimple(const Bytes& data, int level);

struct DecompressResult {
  Bytes data;
  int rc = 0;        // 1, or the error (or 3 when the input ran out)
  size_t read = 0;   // stream bytes taken, header included
  size_t calls = 0;
};
DecompressResult Decompress(CsRLzhInflateState* st, const Bytes& stream, const SizeFn& in_size,
                            const SizeFn& out_room);
DecompressResult DecompressSimple(const Bytes& stream);

std::unique_ptr<CsRLzhDeflateState> NewDeflateState();
std::unique_ptr<CsRLzhInflateState> NewInflateState();

// --- raw deflate and the LZH bit stream
// The raw deflate inside an LZH stream: the bytes behind the header shifted
// down by 2 + n filler bits.
Bytes ToRawDeflate(const Bytes& lzh_stream);
// An LZH stream around raw deflate: header, filler count n with the filler
// bits, then the raw bits.
Bytes FromRawDeflate(const Bytes& raw, uint32_t length, int level, int n = 0, unsigned filler = 0);
// The filler count of an LZH stream.
int FillerCount(const Bytes& lzh_stream);

// zlib raw deflate, window bits -14, at the given level and strategy.
Bytes ZlibDeflate(const Bytes& data, int level, int strategy, int mem_level = 8);
struct ZlibInflateResult {
  Bytes data;
  int rc = 0;               // zlib's last code
  Bytes leftover;           // input not consumed after the end of the stream
  std::vector<int> blocks;  // block types in stream order
};
// zlib raw inflate, window bits -15, recording each block's type.
ZlibInflateResult ZlibInflate(const Bytes& raw);

// Writes a raw-deflate bit stream, least significant bit first.
class BitWriter {
 public:
  void Bits(uint32_t value, int n);
  // A Huffman code given most significant bit first.
  void Code(uint32_t code, int len);
  void FixedLitLen(int sym);
  void FixedDist(int sym);
  // A length or distance with its code and extra bits (fixed codes).
  void FixedMatch(int length, int distance);
  Bytes Finish();  // pads the last byte with zero bits

 private:
  Bytes out_;
  uint64_t acc_ = 0;
  int n_ = 0;
};

// Canonical codes (most significant bit first) of a list of code lengths.
std::vector<uint32_t> CanonicalCodes(const std::vector<int>& lens);

// The literal/length and distance code lengths of a raw-deflate stream's
// first block when it is a dynamic one; empty otherwise.
struct BlockLengths {
  std::vector<int> lit, dist;
};
BlockLengths FirstBlockLengths(const Bytes& raw);

// Writes a dynamic block header for literal/length lengths `lit` and
// distance lengths `dist`, with the code lengths sent one symbol each
// (no repeat codes) under a code-length code of `cl_lens` (19 entries in
// symbol order). Returns the codes of both alphabets.
struct DynamicCodes {
  std::vector<uint32_t> lit, dist;
};
DynamicCodes WriteDynamicHeader(BitWriter& w, bool final, const std::vector<int>& lit,
                                const std::vector<int>& dist, const std::vector<int>& cl_lens);

// An LZH stream: header with `length` (level 2), then the bits, which
// start with the filler count.
Bytes LzhStream(uint32_t length, const Bytes& bits);

}  // namespace lzhtest

#endif
