// Compression of protocol data: byte streams compressed and decompressed
// piece by piece with LZC (LZW, 9- to 13-bit codes) or LZH (LZ77 with
// Huffman codes), in one stream format that starts with an 8-byte header.
// In block mode each call's compressed output travels in a block with its
// length and a CRC-32, and a trailer carries the length and CRC-32 of the
// uncompressed data; decompression checks both.
//
// Every call works on the caller's buffers: it reports how many bytes it
// took and wrote and returns one of the results below, or a negative error
// code. Input that a call did not take is passed again at the start of the
// next call's input. A stream's state lives in the work area of its handle
// (CSR_HANDLE); one handle is used by one thread at a time, different
// handles are independent. The module writes no messages and no trace.
//
// Handles come from a fixed pool of 498 (302..799), lowest free first; the
// pool lock guards only taking and giving back handles, never a stream's
// work. The lock works once the thread library is initialised (ThrProcInit,
// run by the library's load).
#ifndef COMPRESSION_CSR_H
#define COMPRESSION_CSR_H

#include "weq_types.h"

// A compression handle: slot + 300 of the handle pool. Slots 0 and 1 are
// never handed out, so handles run from 302 to 799.
typedef int CSR_HANDLE;
constexpr CSR_HANDLE CSR_HANDLE_FIRST = 302;
constexpr CSR_HANDLE CSR_HANDLE_LAST = 799;

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
constexpr int CSR_E_NULL_BUFFER = -15;    // input, output or result pointer missing
constexpr int CSR_E_NO_DATA = -20;        // LZH decompressor: no input and no output room
constexpr int CSR_E_ALGORITHM = -21;      // the stream options name no algorithm
constexpr int CSR_E_BLOCK_TYPE = -22;     // LZH: block type neither fixed nor dynamic
constexpr int CSR_E_HEADER = -50;         // stream header: bad magic or negative length
constexpr int CSR_E_CODE_BITS = -51;      // LZC: code width outside 9..14
constexpr int CSR_E_CODE_LENGTHS = -52;   // LZH: code lengths over-subscribed or all zero
constexpr int CSR_E_TABLE_SPACE = -53;    // LZH: decoding-table space exhausted
constexpr int CSR_E_BAD_CODE = -54;       // a code that the data cannot hold (corrupt stream)
constexpr int CSR_E_ALPHABET = -55;       // LZH: too many literal/length or distance codes
constexpr int CSR_E_CRC = -56;            // block mode: CRC mismatch or a damaged block header
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


// --- Handle pool and stream calls --------------------------------------------
//
// Compression: CsRGetHandle; CsRInitCompress (writes the 8-byte header);
// CsRCompress with options 0 and the same total length until it returns
// CSR_END_OF_STREAM, the input taken over all calls being exactly the total
// length; CsRCloseHandle. Decompression: CsRGetHandle; CsRInitDecompress with
// the stream's first 8 bytes; CsRDecompress with options 0 and the following
// bytes until it returns CSR_END_OF_STREAM (after the whole stream was given
// and the result is CSR_MORE_INPUT, once more with no input); CsRCloseHandle.
// A handle may start a new stream at any time (CSR_OPT_NEW_STREAM); errors
// leave the handle taken.

// Takes the lowest free handle. Stores it, or the negative code, in *handle
// and returns 0 or that code (CSR_E_NO_HANDLE when all are taken,
// CSR_E_NO_MEMORY when its work area cannot be made).
int CsRGetHandle(CSR_HANDLE* handle);

// Gives the handle back and releases what its stream holds. A handle outside
// 300..799, or one that is not taken, is ignored.
void CsRCloseHandle(CSR_HANDLE handle);

// Starts a compression stream of total bytes with options (algorithm, block
// mode, level; CSR_OPT_NEW_STREAM is added) and writes its 8-byte header to
// out. Returns 0 or a negative code.
int CsRInitCompress(CSR_HANDLE handle, WEQ_RAW* out, int total, int options);

// Compresses the next piece; *read and *written count this call's bytes.
int CsRCompress(CSR_HANDLE handle, int total, const WEQ_RAW* in, int inlen, WEQ_RAW* out,
                int outlen, int options, int* read, int* written);

// Starts a decompression stream from its 8-byte header. Returns 0 or a
// negative code.
int CsRInitDecompress(CSR_HANDLE handle, const WEQ_RAW* header);

// Decompresses the next piece. With CSR_OPT_NEW_STREAM the input starts with
// the stream header, which defines the algorithm and the mode; otherwise
// only that bit of options counts.
int CsRDecompress(CSR_HANDLE handle, const WEQ_RAW* in, int inlen, WEQ_RAW* out, int outlen,
                  int options, int* read, int* written);

#endif
