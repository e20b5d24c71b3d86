// Compression of protocol data: byte streams compressed and decompressed
// piece by piece with LZC (LZW, 9- to 13-bit codes) or LZH (LZ77 with
// Huffman codes), in one stream format that starts with an 8-byte header.
//
// Every call works on the caller's buffers: it reports how many bytes it
// took and wrote and returns one of the results below, or a negative error
// code. Input that a call did not take is passed again at the start of the
// next call's input. A stream's state lives in the work area of its handle
// (CSR_HANDLE); one handle is used by one thread at a time, different
// handles are independent. The module writes no messages and no trace.
#ifndef COMPRESSION_CSR_H
#define COMPRESSION_CSR_H

#include "weq_types.h"

// A compression handle: slot + 300 of the handle pool.
typedef int CSR_HANDLE;

// Results that are not errors.
constexpr int CSR_BLOCK_AGAIN = 0;    // block mode: input left over, output not full
constexpr int CSR_END_OF_STREAM = 1;  // the whole stream was produced or decoded
constexpr int CSR_OUTPUT_FULL = 2;    // call again with output room
constexpr int CSR_MORE_INPUT = 3;     // all input was taken; call again with more

// Error codes.
constexpr int CSR_E_OUTLEN_REPEAT = -2;   // output room 0 on the call after CSR_OUTPUT_FULL
constexpr int CSR_E_NO_PROGRESS = -3;     // LZH: no input after CSR_MORE_INPUT, and it asks again
constexpr int CSR_E_OUT_ROOM = -10;       // output room negative or too small
constexpr int CSR_E_IN_LEN = -11;         // input length negative, or below 8 at stream start
constexpr int CSR_E_TOTAL_LEN = -13;      // total length negative (LZC: below 1)
constexpr int CSR_E_SAME_BUFFER = -14;    // LZC: input and output are one buffer
constexpr int CSR_E_NULL_BUFFER = -15;    // LZC: input or output pointer missing
constexpr int CSR_E_NO_DATA = -20;        // LZH decompressor: no input and no output room
constexpr int CSR_E_ALGORITHM = -21;      // the stream options name no algorithm
constexpr int CSR_E_BLOCK_TYPE = -22;     // LZH: block type neither fixed nor dynamic
constexpr int CSR_E_HEADER = -50;         // stream header: bad magic or negative length
constexpr int CSR_E_CODE_BITS = -51;      // LZC: code width outside 9..13
constexpr int CSR_E_CODE_LENGTHS = -52;   // LZH: code lengths over-subscribed or all zero
constexpr int CSR_E_TABLE_SPACE = -53;    // LZH: decoding-table space exhausted
constexpr int CSR_E_BAD_CODE = -54;       // a code that the data cannot hold (corrupt stream)
constexpr int CSR_E_ALPHABET = -55;       // LZH: too many literal/length or distance codes
constexpr int CSR_E_CRC = -56;            // block mode: CRC mismatch
constexpr int CSR_E_NO_STREAM = -71;      // no stream started on the handle, or it has ended
constexpr int CSR_E_HANDLE = -81;         // invalid handle
constexpr int CSR_E_NO_MEMORY = -82;      // out of memory
constexpr int CSR_E_LOCK = -83;           // taking the pool lock failed
constexpr int CSR_E_UNLOCK = -84;         // releasing the pool lock failed
constexpr int CSR_E_NO_HANDLE = -85;      // no free handle

// The options word of the compression calls. Only the new-stream call's
// options define the stream; later calls look at CSR_OPT_NEW_STREAM only.
constexpr int CSR_OPT_NEW_STREAM = 1;  // start a new stream on the handle
constexpr int CSR_OPT_ALG_MASK = 6;    // algorithm bits
constexpr int CSR_OPT_LZC = 0;
constexpr int CSR_OPT_LZH = 2;
constexpr int CSR_OPT_BLOCK = 8;       // wrap each call's output in a block with a CRC
constexpr int CSR_OPT_LEVEL_SHIFT = 4; // LZH level 1..9 in options >> 4; other values mean 2

#endif
