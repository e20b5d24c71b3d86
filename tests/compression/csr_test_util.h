// Test helpers for the compression handle pool: callers that drive a whole
// stream through the pool's calls piece by piece (each piece in a heap block
// of its exact size, so that the sanitizers see any overrun), and a reader of
// block-mode streams written from the stream format alone, with zlib's
// crc32 as the reference CRC.
#ifndef TESTS_COMPRESSION_CSR_TEST_UTIL_H
#define TESTS_COMPRESSION_CSR_TEST_UTIL_H

#include <cstdint>
#include <string>
#include <vector>

#include "lzh_test_util.h"

namespace csrtest {

using lzhtest::Bytes;
using lzhtest::SizeFn;

// Makes the pool lock work (the thread library's locks are inert before).
void InitThreads();

struct Run {
  Bytes out;               // compression: the stream, header included
  int rc = 0;              // the last result: 1, or the error that stopped the run
  size_t read = 0;         // input bytes taken over the run
  size_t calls = 0;        // calls after the stream's start
  std::vector<int> results;  // result of each call after the start
};

// Compresses data as one stream on a new handle: CsRInitCompress with
// options, then CsRCompress with pieces and rooms from the functions, then
// the handle is closed.
Run Compress(const Bytes& data, int options, const SizeFn& in_size, const SizeFn& out_room);

// Decompresses a stream on a new handle: CsRInitDecompress with its first 8
// bytes (or, with whole_first, one new-stream call with the whole stream),
// then CsRDecompress with pieces and rooms from the functions; after the
// input has run out, calls without input while they make progress.
Run Decompress(const Bytes& stream, const SizeFn& in_size, const SizeFn& out_room,
               bool whole_first = false);

// A block-mode stream taken apart.
struct Framed {
  Bytes header;
  std::vector<Bytes> payloads;
  std::vector<uint32_t> crcs;  // as stored in the block headers
  uint32_t trailer_total = 0;
  uint32_t trailer_crc = 0;
};

// Splits a block-mode stream; returns "" or what is wrong with it.
std::string Parse(const Bytes& stream, Framed* f);

// The stream's CRC register after data: the complement of zlib's crc32.
uint32_t Register(const Bytes& data);

// The header with block mode cleared, followed by the payloads: the
// algorithm's own stream inside a block-mode stream.
Bytes Unframed(const Framed& f);

Bytes Mixed(size_t n, uint32_t seed);  // text, runs and random bytes in turn

}  // namespace csrtest

#endif
