// Callers of the LZH functions for the fuzz targets: piece sizes drawn from
// a small generator, and every call's counts checked against its buffers.
#ifndef FUZZ_COMPRESSION_LZH_FUZZ_UTIL_H
#define FUZZ_COMPRESSION_LZH_FUZZ_UTIL_H

#include <cstdint>
#include <vector>

#include "compression/lzh.h"

namespace lzhfuzz {

using Bytes = std::vector<uint8_t>;

// Piece sizes 1..max from a seed; max 0 means "everything at once".
class Pieces {
 public:
  Pieces(uint32_t seed, uint32_t max) : x_(seed | 1), max_(max) {}
  uint32_t Next(uint32_t left);

 private:
  uint32_t x_, max_;
};

struct Result {
  Bytes out;
  int rc = 0;
};

// Decodes an LZH stream (header included); stops at the end, an error, or
// when the stream runs out.
Result Inflate(CsRLzhInflateState* st, const Bytes& stream, Pieces in, Pieces room);
// Compresses data at a level; the stream includes the header.
Result Deflate(CsRLzhDeflateState* st, const Bytes& data, int level, Pieces in, Pieces room);
// zlib's raw inflate of the bits behind the header and filler; empty
// optional-like flag in ok.
struct ZResult {
  bool ok = false;
  Bytes out;
};
ZResult ZlibInflateLzh(const Bytes& stream);

[[noreturn]] void Fail(const char* what);

}  // namespace lzhfuzz

#endif
