// Test helpers for the compression module: generated corpora, one driver
// that feeds any of the resumable coders piece by piece (each piece in a heap
// block of its exact size, so that the sanitizers see any overrun), zlib and
// the .Z tools as independent references, the bit shift between an LZH
// stream and raw deflate, a raw-deflate bit writer for crafted streams, and a
// reader of block-mode streams. Nothing here shares code with the library.
#ifndef TESTS_COMPRESSION_CSR_TEST_UTIL_H
#define TESTS_COMPRESSION_CSR_TEST_UTIL_H

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "compression/lzc.h"
#include "compression/lzh.h"

namespace csrtest {

using Bytes = std::vector<uint8_t>;
using SizeFn = std::function<size_t()>;  // size of the next piece or output room

inline SizeFn Fixed(size_t n) { return [n] { return n; }; }
SizeFn Seq(std::vector<size_t> first, size_t then);  // the sizes given, then `then`
SizeFn RandomSizes(uint32_t seed, size_t min = 1);   // mostly tiny, sometimes large

Bytes RandomBytes(size_t n, uint32_t seed);
Bytes Text(size_t n, uint32_t seed);
Bytes Runs(size_t n, uint32_t seed);  // runs and counter records: highly compressible
Bytes Mixed(size_t n, uint32_t seed);  // text, random bytes, runs and text
template <typename T>
std::vector<T> Cat(std::vector<T> a, const std::vector<T>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
inline Bytes Le32(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }
inline Bytes Header(uint32_t length, uint8_t alg, uint8_t param) {
  return Cat(Le32(length), {alg, 0x1F, 0x9D, param});
}

// A resumable coder as its callers see it. `first` marks the call that
// starts the stream; that call gets at least first_in bytes and first_room
// bytes of room.
struct Coder {
  std::function<int(const uint8_t* in, int n, uint8_t* out, int room, bool first, int* read,
                    int* written)>
      call;
  size_t first_in = 0, first_room = 0;
  std::function<void()> done;  // after the run
};

// Makes the pool lock work (the thread library's locks are inert before).
void InitThreads();

// The library's coders. The state (work area) stays with the coder, so a
// second run starts a new stream on what the first one left.
Coder LzcCompressor(int total);
Coder LzcDecompressor();
// options: level << 4, block bit. state: shared with other coders (a fresh one when null).
Coder LzhCompressor(int total, int options, std::shared_ptr<CsRLzhDeflateState> state = nullptr);
Coder LzhDecompressor();
// Through the handle pool: a new handle per run, closed at its end.
Coder PoolCompressor(int total, int options);
Coder PoolDecompressor(bool whole_first = false);  // whole_first: one new-stream call with it all

struct Result {
  Bytes out;
  int rc = 0;        // the last result: 1, or the error that stopped the run
  size_t read = 0;   // input taken over the run
  std::vector<int> results;
};
// Calls the coder until the end, an error, or three calls in a row that take
// and give nothing (input that has run out is passed as empty pieces).
Result Drive(const Coder& c, const Bytes& in, const SizeFn& piece, const SizeFn& room);
inline Result Drive(const Coder& c, const Bytes& in) {  // in one piece, ample room
  return Drive(c, in, Fixed(in.size() + 8), Fixed(2 * in.size() + 1024));
}
// Every split of the input in two, and every first output room from
// min_room on, make the coder produce `want` and end the stream.
void ExpectAnySplit(const Coder& c, const Bytes& in, const Bytes& want, size_t min_room = 0);
// A damaged stream and the error it raises.
struct Damaged {
  const char* what;
  Bytes stream;
  int rc;
};
// Each stream, whole and in pieces of one byte into rooms of one byte, gives
// its error on a decompressor that has just decoded `earlier`; an error
// behind the header stays on the next call.
void ExpectRefused(const Coder& c, const Bytes& earlier, const std::vector<Damaged>& cases);

// --- references
uint32_t Register(const Bytes& data);  // the stream's CRC register: ~crc32
Bytes Tool(const std::string& cmd, const Bytes& input);  // a shell command as a filter
Bytes ZlibDeflate(const Bytes& data, int level, int strategy, int mem_level = 8);  // raw, -14
struct ZlibInflated {
  Bytes data;
  int rc = 0;      // zlib's last code
  Bytes leftover;  // input behind the end of the stream
};
ZlibInflated ZlibInflate(const Bytes& raw);  // raw, -15

// --- LZH streams and raw deflate
inline int FillerCount(const Bytes& lzh_stream) { return lzh_stream.at(8) & 3; }
Bytes ToRawDeflate(const Bytes& lzh_stream);  // behind the header, shifted by 2 + n bits

// Writes a raw-deflate bit stream, least significant bit first.
class BitWriter {
 public:
  BitWriter& Bits(uint32_t value, int n);
  BitWriter& Code(uint32_t code, int len);  // a Huffman code, most significant bit first
  BitWriter& Lit(int sym);                  // fixed literal/length code
  BitWriter& Dist(int sym);                 // fixed distance code
  BitWriter& Match(int length, int distance);  // fixed codes with their extra bits
  // The counts and the code-length code cl (19 lengths in symbol order) of
  // a dynamic block header; then code lengths, each sent as its own symbol.
  BitWriter& DynamicHeader(size_t nlit, size_t ndist, const std::vector<int>& cl);
  BitWriter& Lengths(const std::vector<int>& lens, const std::vector<int>& cl);
  Bytes Finish();  // pads the last byte with zero bits
  // An LZH stream of `length` (level 2): header, then these bits.
  Bytes Lzh(uint32_t length) { return Cat(Header(length, 0x12, 2), Finish()); }

 private:
  Bytes out_;
  uint64_t acc_ = 0;
  int n_ = 0;
};
// An LZH stream with filler count n (bits `filler`) around raw deflate.
Bytes FromRawDeflate(const Bytes& raw, uint32_t length, int level, int n = 0, unsigned filler = 0);

// --- block mode
struct Framed {
  Bytes header;
  std::vector<Bytes> payloads;
  std::vector<uint32_t> crcs;  // as stored in the block headers
  uint32_t trailer_total = 0, trailer_crc = 0;
};
Framed Parse(const Bytes& stream);  // a failure when the stream is not well framed

}  // namespace csrtest

#endif
