// Work areas of the handle pool and the block framing (private to
// compression/).
//
// A work area is one heap block per pool slot: the state of the algorithm
// that its stream uses, then the stream's framing fields. It may outlive
// the handle (the pool keeps the work areas of busy slots); a kept one has
// its kind tag cleared, so that no call continues the previous stream.
#ifndef COMPRESSION_CSR_POOL_INT_H
#define COMPRESSION_CSR_POOL_INT_H

#include <stddef.h>
#include <stdint.h>

#include "compression/csr_stream.h"
#include "compression/lzc.h"
#include "compression/lzh.h"
#include "weq_types.h"

struct CSR_WORKAREA {
  // One algorithm state at a time; each begins with its kind tag, which is
  // 0 until a stream of that kind starts.
  union {
    CSR_LZC_CSTATE lzc_c;
    CSR_LZC_DSTATE lzc_d;
    CsRLzhDeflateState lzh_c;
    CsRLzhInflateState lzh_d;
  } alg;
  CSR_CRC* crc_plain;   // block mode: uncompressed data; NULL without a stream
  CSR_CRC* crc_packed;  // block mode: stream header and block payloads
  WEQ_RAW* block;       // block mode: the block buffer; NULL without a stream
  int32_t block_fill;   // bytes held in the block buffer
  // Compression: the result of the block waiting in the block buffer, 0
  // when none. Decompression: the expected CRC of the block under way.
  uint32_t block_state;
  int32_t last_result;    // result of the previous call; 0 after a new stream
  uint8_t header_awaited; // decompression: the next bytes are a block header or the trailer
  uint8_t alg_ended;      // decompression: the algorithm has produced the whole stream
};

// One algorithm behind the pool, as the framing calls it.
struct CsRIAlgorithm {
  int (*compress)(CSR_WORKAREA* wa, int total, const WEQ_RAW* in, int inlen, WEQ_RAW* out,
                  int outlen, int options, int* read, int* written);
  int (*decompress)(CSR_WORKAREA* wa, const WEQ_RAW* in, int inlen, WEQ_RAW* out, int outlen,
                    int options, int* read, int* written);
  bool lzh;  // LZH refuses a second call without input that asks for input again
};

// Block mode, the framed paths of CsRCompress and CsRDecompress. Both are
// called with valid pointers for read and written, zeroed, and after the
// pool's checks of the handle and of a repeated empty output.
int CsRIFrameCompress(CSR_WORKAREA* wa, const CsRIAlgorithm& alg, int total, const WEQ_RAW* in,
                      int inlen, WEQ_RAW* out, int outlen, int options, int* read, int* written);
int CsRIFrameDecompress(CSR_WORKAREA* wa, const CsRIAlgorithm& alg, const WEQ_RAW* in, int inlen,
                        WEQ_RAW* out, int outlen, int options, int* read, int* written);

// Releases the CRC contexts and the block buffer of the stream, if any.
void CsRIEndStream(CSR_WORKAREA* wa);

// Memory of work areas and block buffers; CsRIFree releases it.
void* CsRIAlloc(size_t n);
void CsRIFree(void* p);

// Test hooks, process-wide. The allocator replaces malloc for work areas
// and block buffers (NULL restores it; what it returns must be released by
// free()). The rest read the pool's bookkeeping of a slot (0..499).
void CsRISetAllocHook(void* (*alloc)(size_t));
bool CsRIHasWorkArea(int slot);
uint32_t CsRIUseCount(int slot);
uint32_t CsRIAllocCount(void);
void CsRISetAllocCount(uint32_t n);

#endif
