// Stream header and CRC-32 of the compression module (private to
// compression/).
//
// Every stream begins with CSR_HEADER: the uncompressed length (LE32, below
// 0x80000000), the algorithm byte, the magic 1F 9D and the algorithm's
// parameter byte. All multi-byte numbers of the stream are little-endian.
#ifndef COMPRESSION_CSR_STREAM_H
#define COMPRESSION_CSR_STREAM_H

#include <stdint.h>

#include "weq_types.h"

struct CSR_HEADER {
  WEQ_RAW length[4];  // uncompressed length, LE32
  WEQ_RAW algorithm;  // CSR_ALG_LZC or CSR_ALG_LZH, | CSR_ALG_BLOCK in block mode
  WEQ_RAW magic[2];   // CSR_MAGIC0, CSR_MAGIC1
  WEQ_RAW parameter;  // LZC: reset flag and code bits; LZH: the level
};
static_assert(sizeof(CSR_HEADER) == 8);

constexpr int CSR_HEADER_SIZE = 8;
constexpr WEQ_RAW CSR_ALG_LZC = 0x11;
constexpr WEQ_RAW CSR_ALG_LZH = 0x12;
constexpr WEQ_RAW CSR_ALG_BLOCK = 0x08;
constexpr WEQ_RAW CSR_MAGIC0 = 0x1F;
constexpr WEQ_RAW CSR_MAGIC1 = 0x9D;

// A decompressor keeps the header's algorithm byte & CSR_ALG_KEEP: bits 0-2
// name the algorithm (1 LZC, 2 LZH), bit 3 is block mode.
constexpr int CSR_ALG_KEEP = 15;

// Writes the 8 header bytes to out; CSR_E_TOTAL_LEN for a negative length.
int CsRWriteHeader(WEQ_RAW* out, int length, WEQ_RAW algorithm, WEQ_RAW parameter);

// The header's uncompressed length as a signed number (negative when the
// stream carries 0x80000000 or more, which callers refuse with
// CSR_E_HEADER), or CSR_E_HEADER when the magic is wrong.
int CsRReadHeader(const WEQ_RAW* header);

inline uint32_t CsRGetLe32(const WEQ_RAW* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

inline void CsRPutLe32(WEQ_RAW* p, uint32_t v) {
  p[0] = static_cast<WEQ_RAW>(v);
  p[1] = static_cast<WEQ_RAW>(v >> 8);
  p[2] = static_cast<WEQ_RAW>(v >> 16);
  p[3] = static_cast<WEQ_RAW>(v >> 24);
}

// Running CRC-32 (reflected, polynomial 0xEDB88320) over a sequence of
// pieces. The register starts at 0xFFFFFFFF and is never complemented: after
// some data it is the complement of the usual CRC-32 of that data.
//
// position counts bytes modulo segment, so that a framer can tell where a
// block of segment bytes ends; segment 0 turns the counting off. A plain
// struct: a framer may copy it to test a piece without committing it.
struct CSR_CRC {
  uint32_t crc;       // the register
  uint32_t position;  // bytes counted modulo segment
  uint32_t segment;   // segment size; 0 means no segments
  uint32_t total;     // bytes counted, plus what the framer adds itself
};

constexpr uint32_t CSR_CRC_INIT = 0xFFFFFFFFu;
constexpr uint32_t CSR_CRC_DEFAULT_SEGMENT = 65536;

// A new context (register CSR_CRC_INIT, position and total 0, the given
// segment size or CSR_CRC_DEFAULT_SEGMENT for 0), or NULL without memory.
CSR_CRC* CsRCrcCreate(int segment);

// Runs n bytes through the context and returns how many it counted. With
// stop set (and a segment size), n is first cut to the bytes left in the
// current segment. A NULL context counts nothing and returns 0.
uint32_t CsRCrcUpdate(CSR_CRC* crc, const WEQ_RAW* data, uint32_t n, int stop);

// Frees a context made by CsRCrcCreate; NULL is ignored.
void CsRCrcFree(CSR_CRC* crc);

// The register after running n bytes through the register value crc.
uint32_t CsRCrcRegister(uint32_t crc, const WEQ_RAW* data, size_t n);

#endif
