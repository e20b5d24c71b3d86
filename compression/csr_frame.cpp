// Block framing of compressed streams.
//
// A block-mode stream is the 8-byte stream header, then one block per
// compression call that produced output (LE32 payload length n > 0, LE32
// block CRC, n bytes of the algorithm's output), then the trailer (LE32
// uncompressed length, LE32 CRC of the uncompressed data). A block CRC is
// the running register over the stream header and every payload up to the
// end of that block; block headers and the trailer are not counted. The
// payloads joined are the algorithm's stream behind its header.
#include <string.h>

#include <algorithm>

#include "compression/csr.h"
#include "compression/csr_pool_int.h"
#include "compression/csr_stream.h"

namespace {

constexpr int kFrame = 8;  // a block header, and the trailer
// The compression block buffer: a block header, up to 1016 payload bytes
// and room for the trailer behind them.
constexpr int kCompressBuffer = 1032;
constexpr int kBufferedPayload = kCompressBuffer - 2 * kFrame;
constexpr int kDirectRoom = 1024;  // from this output room on, blocks go straight to it
constexpr uint32_t kMaxBlock = 0x7FFFFFFF;

// Creates the stream's CRC contexts and its block buffer of n bytes; false
// (with nothing held) without memory.
bool StartStream(CSR_WORKAREA* wa, int n) {
  CsRIEndStream(wa);
  wa->crc_plain = CsRCrcCreate(0);
  wa->crc_packed = CsRCrcCreate(0);
  wa->block = static_cast<WEQ_RAW*>(CsRIAlloc(n));
  wa->block_fill = 0;
  wa->block_state = 0;
  wa->header_awaited = wa->alg_ended = 0;
  if (wa->crc_plain == nullptr || wa->crc_packed == nullptr || wa->block == nullptr) {
    CsRIEndStream(wa);
    return false;
  }
  return true;
}

void PutTrailer(const CSR_WORKAREA* wa, WEQ_RAW* to) {
  CsRPutLe32(to, wa->crc_plain->total);
  CsRPutLe32(to + 4, wa->crc_plain->crc);
}

// The stream is complete: its framing buffers go, and the result is kept.
int EndOfStream(CSR_WORKAREA* wa) {
  CsRIEndStream(wa);
  wa->last_result = CSR_END_OF_STREAM;
  return CSR_END_OF_STREAM;
}

// --- Compression ---------------------------------------------------------------

// Hands out the block (or trailer) waiting in the block buffer. all_taken:
// the call took all the input it was given.
int HandOut(CSR_WORKAREA* wa, WEQ_RAW* out, int outlen, bool all_taken, int* written) {
  int fill = wa->block_fill;
  if (outlen < fill) {
    if (outlen > 0) memcpy(out, wa->block, outlen);
    memmove(wa->block, wa->block + outlen, fill - outlen);
    wa->block_fill = fill - outlen;
    *written = outlen;
    return CSR_OUTPUT_FULL;
  }
  memcpy(out, wa->block, fill);
  *written = fill;
  int rc = wa->block_state == CSR_END_OF_STREAM ? CSR_END_OF_STREAM
           : all_taken                           ? CSR_MORE_INPUT
           : fill == outlen                      ? CSR_OUTPUT_FULL
                                                 : CSR_BLOCK_AGAIN;
  wa->block_fill = 0;
  wa->block_state = 0;
  return rc;
}

int Compress(CSR_WORKAREA* wa, const CsRIAlgorithm& alg, int total, const WEQ_RAW* in, int inlen,
             WEQ_RAW* out, int outlen, int* read, int* written) {
  if (outlen < 0) return CSR_E_OUT_ROOM;
  if (out == nullptr && outlen > 0) return CSR_E_NULL_BUFFER;
  int rc;
  if (wa->block_state != 0) {
    // A waiting block goes out before any new input is taken.
    rc = HandOut(wa, out, outlen, inlen == 0, written);
  } else {
    // With room for a full block the algorithm writes behind the block
    // header in the caller's buffer, else into the block buffer.
    const bool direct = outlen >= kDirectRoom;
    WEQ_RAW* const base = direct ? out : wa->block;
    const int room = direct ? outlen - kFrame : kBufferedPayload;
    int r = 0, w = 0;
    rc = alg.compress(wa, total, in, inlen, base + kFrame, room, 0, &r, &w);
    if (rc < 0) return rc;
    if (inlen == 0 && wa->last_result == CSR_MORE_INPUT && rc == CSR_MORE_INPUT && alg.lzh)
      return CSR_E_NO_PROGRESS;
    CsRCrcUpdate(wa->crc_plain, in, static_cast<uint32_t>(r), 0);
    int at = 0;  // bytes of this call at base
    if (w > 0) {
      CsRCrcUpdate(wa->crc_packed, base + kFrame, static_cast<uint32_t>(w), 0);
      CsRPutLe32(base, static_cast<uint32_t>(w));
      CsRPutLe32(base + 4, wa->crc_packed->crc);
      wa->crc_packed->total += kFrame;
      at = w + kFrame;
    }
    *read = r;
    // Every end of the stream gets its trailer, also one whose last output
    // went out on an earlier call.
    if (rc == CSR_END_OF_STREAM) {
      if (direct && at + kFrame > outlen) {
        // The trailer waits alone for the next call.
        PutTrailer(wa, wa->block);
        wa->block_fill = kFrame;
        wa->block_state = CSR_END_OF_STREAM;
        *written = at;
        wa->last_result = CSR_OUTPUT_FULL;
        return CSR_OUTPUT_FULL;
      }
      PutTrailer(wa, base + at);
      at += kFrame;
      wa->crc_packed->total += kFrame;
    }
    if (direct) {
      *written = at;
    } else if (at > 0) {
      wa->block_fill = at;
      wa->block_state = static_cast<uint32_t>(rc);
      rc = HandOut(wa, out, outlen, r == inlen, written);
    }
  }
  if (rc == CSR_END_OF_STREAM) return EndOfStream(wa);
  wa->last_result = rc;
  return rc;
}

// --- Decompression -------------------------------------------------------------

// The trailer in t ends the stream when its CRC matches the data produced.
// Its length field is not checked: peers write it in more than one way.
int CheckTrailer(CSR_WORKAREA* wa, const WEQ_RAW* t) {
  if (CsRGetLe32(t + 4) != wa->crc_plain->crc) return CSR_E_CRC;
  return EndOfStream(wa);
}

// After the algorithm's end: reads the trailer at in + pos when it is there
// whole; otherwise it comes through the block-header path of a later call.
int AfterEnd(CSR_WORKAREA* wa, const WEQ_RAW* in, int inlen, int pos, int* read) {
  if (wa->header_awaited && inlen - pos >= kFrame) {
    int rc = CheckTrailer(wa, in + pos);
    if (rc < 0) return rc;
    *read = pos + kFrame;
    return rc;
  }
  *read = pos;
  return pos < inlen ? CSR_BLOCK_AGAIN : CSR_MORE_INPUT;
}

// Counts n bytes of the block under way into the compressed-data CRC; a
// block header is awaited once the block is complete.
void CountBlockBytes(CSR_WORKAREA* wa, const WEQ_RAW* p, int n) {
  if (n <= 0) return;
  CsRCrcUpdate(wa->crc_packed, p, static_cast<uint32_t>(n), 1);
  if (wa->crc_packed->position == 0) wa->header_awaited = 1;
}

// One call on a started stream: a block header (or the trailer) if one is
// awaited, then the bytes of one block for the algorithm.
int Decompress(CSR_WORKAREA* wa, const CsRIAlgorithm& alg, const WEQ_RAW* in, int inlen,
               WEQ_RAW* out, int outlen, int* read, int* written) {
  if (wa->block == nullptr) {
    return inlen == 0 && wa->last_result == CSR_END_OF_STREAM ? CSR_END_OF_STREAM
                                                              : CSR_E_NO_STREAM;
  }
  if (inlen < 0) return CSR_E_IN_LEN;
  if (outlen < 0) return CSR_E_OUT_ROOM;
  if ((in == nullptr && inlen > 0) || (out == nullptr && outlen > 0)) return CSR_E_NULL_BUFFER;

  int pos = 0;
  int drained = 0;
  if (wa->header_awaited && !wa->alg_ended && wa->last_result == CSR_OUTPUT_FULL) {
    // The algorithm has taken the whole block but still holds output of it.
    // That goes out before the next 8 bytes are read: only the algorithm's
    // end tells whether they are a block header or the trailer.
    const WEQ_RAW none = 0;
    int r = 0;
    int rc = alg.decompress(wa, &none, 0, out, outlen, 0, &r, &drained);
    if (rc < 0) return rc;
    CsRCrcUpdate(wa->crc_plain, out, static_cast<uint32_t>(drained), 0);
    *written = drained;
    wa->last_result = rc;
    wa->alg_ended = rc == CSR_END_OF_STREAM;
    if (rc == CSR_OUTPUT_FULL || inlen == 0) return rc == CSR_OUTPUT_FULL ? rc : CSR_MORE_INPUT;
    out += drained;
    outlen -= drained;
  }
  if (wa->header_awaited && inlen > 0) {
    int n = std::min(inlen, kFrame - wa->block_fill);
    memcpy(wa->block + wa->block_fill, in, n);
    wa->block_fill += n;
    pos = n;
    if (wa->block_fill < kFrame) {
      *read = pos;
      return CSR_MORE_INPUT;
    }
    wa->block_fill = 0;
    if (wa->alg_ended) {
      int rc = CheckTrailer(wa, wa->block);
      if (rc >= 0) *read = pos;
      return rc;
    }
    uint32_t length = CsRGetLe32(wa->block);
    if (length == 0 || length > kMaxBlock) return CSR_E_CRC;
    wa->crc_packed->segment = length;
    wa->crc_packed->position = 0;
    wa->crc_packed->total += kFrame;
    wa->block_state = CsRGetLe32(wa->block + 4);
    wa->header_awaited = 0;
    if (pos == inlen) {
      *read = pos;
      return CSR_MORE_INPUT;
    }
    if (outlen == 0) {  // used up by the algorithm's held output
      *read = pos;
      wa->last_result = CSR_OUTPUT_FULL;
      return CSR_OUTPUT_FULL;
    }
  } else if (inlen == 0 && wa->alg_ended) {
    // The caller has no more input, and the trailer has not come: the
    // stream is cut short and cannot be checked.
    return CSR_E_CRC;
  }

  // The part of this input that belongs to the block under way. Its CRC is
  // checked before any of it is decoded once the block's last byte is here.
  int k = 0;
  CSR_CRC probe = *wa->crc_packed;
  if (!wa->header_awaited && pos < inlen) {
    k = static_cast<int>(CsRCrcUpdate(&probe, in + pos, static_cast<uint32_t>(inlen - pos), 1));
    if (probe.position == 0 && probe.crc != wa->block_state) return CSR_E_CRC;
  }
  if (wa->alg_ended) {
    // The rest of the last block, behind what the algorithm needed.
    CountBlockBytes(wa, in + pos, k);
    return AfterEnd(wa, in, inlen, pos + k, read);
  }

  int r = 0, w = 0;
  int rc = alg.decompress(wa, in + pos, k, out, outlen, 0, &r, &w);
  if (rc < 0) return rc;
  if (inlen == 0 && wa->last_result == CSR_MORE_INPUT && rc == CSR_MORE_INPUT && alg.lzh)
    return CSR_E_NO_PROGRESS;
  if (r > 0) {
    if (r == k) {
      *wa->crc_packed = probe;
    } else {
      CsRCrcUpdate(wa->crc_packed, in + pos, static_cast<uint32_t>(r), 0);
    }
    if (wa->crc_packed->position == 0) wa->header_awaited = 1;
  }
  CsRCrcUpdate(wa->crc_plain, out, static_cast<uint32_t>(w), 0);
  *written = drained + w;
  wa->last_result = rc;
  if (rc == CSR_END_OF_STREAM) {
    wa->alg_ended = 1;
    if (!wa->header_awaited) CountBlockBytes(wa, in + pos + r, k - r);
    return AfterEnd(wa, in, inlen, pos + k, read);
  }
  *read = pos + r;
  return rc == CSR_MORE_INPUT && *read < inlen ? CSR_BLOCK_AGAIN : rc;
}

}  // namespace

void CsRIEndStream(CSR_WORKAREA* wa) {
  CsRCrcFree(wa->crc_plain);
  CsRCrcFree(wa->crc_packed);
  CsRIFree(wa->block);
  wa->crc_plain = wa->crc_packed = nullptr;
  wa->block = nullptr;
  wa->block_fill = 0;
  wa->block_state = 0;
}

int CsRIFrameCompress(CSR_WORKAREA* wa, const CsRIAlgorithm& alg, int total, const WEQ_RAW* in,
                      int inlen, WEQ_RAW* out, int outlen, int options, int* read, int* written) {
  if (!(options & CSR_OPT_NEW_STREAM)) {
    if (wa->block == nullptr) return CSR_E_NO_STREAM;
    return Compress(wa, alg, total, in, inlen, out, outlen, read, written);
  }
  if (!StartStream(wa, kCompressBuffer)) return CSR_E_NO_MEMORY;
  // The new-stream call makes the stream header alone; the stream's data
  // goes into blocks from the next call on, so no input is taken here.
  int r = 0, w = 0;
  int rc = alg.compress(wa, total, in, 0, out, std::min(outlen, CSR_HEADER_SIZE), options, &r, &w);
  if (rc < 0) {
    CsRIEndStream(wa);
    return rc;
  }
  CsRCrcUpdate(wa->crc_packed, out, static_cast<uint32_t>(w), 0);
  *written = w;
  // Input handed to this call was not taken: the caller must pass it again.
  if (rc == CSR_MORE_INPUT && inlen > 0) rc = w == outlen ? CSR_OUTPUT_FULL : CSR_BLOCK_AGAIN;
  wa->last_result = rc;
  return rc;
}

int CsRIFrameDecompress(CSR_WORKAREA* wa, const CsRIAlgorithm& alg, const WEQ_RAW* in, int inlen,
                        WEQ_RAW* out, int outlen, int options, int* read, int* written) {
  if (!(options & CSR_OPT_NEW_STREAM)) return Decompress(wa, alg, in, inlen, out, outlen, read, written);
  if (!StartStream(wa, kFrame)) return CSR_E_NO_MEMORY;
  // The algorithm gets the stream header alone; what follows it is framed.
  int r = 0, w = 0;
  int rc = alg.decompress(wa, in, CSR_HEADER_SIZE, out, outlen, options, &r, &w);
  if (rc < 0) {
    CsRIEndStream(wa);
    return rc;
  }
  CsRCrcUpdate(wa->crc_packed, in, static_cast<uint32_t>(r), 0);
  wa->header_awaited = 1;
  wa->alg_ended = rc == CSR_END_OF_STREAM;
  wa->last_result = rc;
  *read = r;
  *written = w;
  if (rc == CSR_OUTPUT_FULL || inlen == r) return rc == CSR_END_OF_STREAM ? CSR_MORE_INPUT : rc;
  int r2 = 0, w2 = 0;
  rc = Decompress(wa, alg, in + r, inlen - r, out + w, outlen - w, &r2, &w2);
  if (rc >= 0) {
    *read += r2;
    *written += w2;
  }
  return rc;
}
