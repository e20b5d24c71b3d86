// LZC: adaptive LZW with codes of 9 to 13 bits (private to compression/);
// the decompressor also reads streams of up to 14 bits (`compress -b14`).
//
// Codes 0-255 are single bytes, 256 (CLEAR) resets the table, new strings
// are numbered from 257. Codes are packed least-significant bit first in
// groups of 8 codes (n_bits bytes); a group is written whole before the
// width grows and before CLEAR returns it to 9 bits, and the stream's last
// group is cut after its last code's byte. Behind the first five bytes of
// its header an LZC stream is a classic 13-bit .Z stream.
//
// Both directions are resumable at every byte: a call takes any piece of
// input and any output room, stops where either runs out, and the next call
// goes on from the state. The states are plain data without pointers that
// outlive a call, so the handle pool can keep them in a shared work area;
// each begins with a kind tag that its new-stream call sets.
#ifndef COMPRESSION_LZC_H
#define COMPRESSION_LZC_H

#include <stdint.h>

#include "weq_types.h"

constexpr WEQ_RAW CSR_LZC_PARAM = 0x8D;  // table resets enabled, 13 code bits
constexpr int CSR_LZC_BITS = 13;
constexpr int CSR_LZC_CODES = 1 << CSR_LZC_BITS;  // codes of a 13-bit table
constexpr int CSR_LZC_HSIZE = 9001;               // prime, above CSR_LZC_CODES
constexpr int CSR_LZC_FBITS = 16;                 // the lookup table: 2^16 slots,
constexpr int CSR_LZC_FSIZE = 1 << CSR_LZC_FBITS; // under an eighth of them ever used
constexpr int CSR_LZC_DBITS = 14;                 // widest stream the decompressor reads
constexpr int CSR_LZC_DCODES = 1 << CSR_LZC_DBITS;  // codes of its tables

struct CSR_LZC_CSTATE {
  uint32_t kind;        // CSR_LZC_CKIND once a stream was started
  int32_t n_bits;       // current code width
  int32_t maxcode;      // largest code of the width; CSR_LZC_CODES at 13 bits
  int32_t free_ent;     // next code to assign
  int32_t clear_flg;    // 1 from a table reset until CLEAR has been placed
  int32_t ratio;        // last ratio seen by the reset check, 8 fraction bits
  int32_t checkpoint;   // input count of the next reset check
  int32_t in_count;     // bytes taken over the stream
  int64_t bytes_out;    // bytes of the stream made so far (header, groups); can pass 2^31
  int32_t ent;          // code of the string matched so far; -1 before the first byte
  int32_t total;        // uncompressed length of the stream
  int32_t offset;       // bits used in the group buffer
  int32_t owed_start;   // a written group's bytes that found no room ...
  int32_t owed_count;   // ... and are handed out first by the next call
  int32_t end_state;    // CSR_LZC_RUN .. CSR_LZC_FINISHED
  WEQ_RAW group[16];    // the group under construction (n_bits bytes used)
  // The dictionary. A string is the key (c << 13) + ent: its last byte c
  // and the code ent of the rest. Which strings it holds follows an
  // open-addressing table of CSR_LZC_HSIZE slots with double hashing whose
  // probes also stop at the slot of key 0 (the string of two zero bytes),
  // so that a new string can land there and push key 0 out. Of that table
  // only what decides about key 0 is kept: which slots are used, and where
  // key 0 is; and it is brought up to date (from keyof, in code order) only
  // when key 0 is looked up or entered. Key 0 in slot 0 stays until the
  // table is reset (no other probe sequence passes slot 0 after its first
  // probe), so nothing needs to be placed then. The strings are found in a
  // linear-probing table of lsize slots that hold their codes (a slot's
  // string is the one keyof gives for its code), and on streams with
  // pairs_on those of two bytes in a direct table; key 0 is kept apart.
  int32_t zero_code;  // code of key 0, -1 while it is not in the dictionary
  int32_t zero_slot;  // its slot in the open-addressing table, or -1
  int32_t slot0_taken;  // a string whose first probe is slot 0 has come
  int32_t placed;     // codes below this one have their slots in used
  uint32_t lsize;     // slots of the lookup table in use: a power of 2, 8 per possible string
  uint32_t pairs_on;  // strings of two bytes are found in pairs, not in slots
  uint32_t used[(CSR_LZC_HSIZE + 31) / 32];  // used slots of the open-addressing table
  uint32_t keyof[CSR_LZC_CODES];  // key of each code below free_ent
  uint16_t slots[CSR_LZC_FSIZE];  // lookup slots: the code of a string, 0 when empty
  uint16_t pairs[256 * 256];  // code of the string ent + c at (ent << 8 | c), 0 when absent
};

struct CSR_LZC_DSTATE {
  uint32_t kind;       // CSR_LZC_DKIND once a stream was started
  int32_t phase;       // where the next call goes on (see lzc.cpp)
  int32_t error;       // the error that stopped a damaged stream
  int32_t n_bits;      // current code width
  int32_t maxbits;     // the header's code width, 9..14
  int32_t maxcode;     // largest code of the width
  int32_t maxmaxcode;  // 2^maxbits
  int32_t free_ent;    // next code to assign
  int32_t block_compress;  // CLEAR codes are table resets
  int32_t oldcode;     // previous code
  int32_t finchar;     // first byte of the previous string
  int32_t remaining;   // bytes still to produce
  uint64_t acc;        // bits read but not yet used, next bit lowest
  int32_t nacc;        // bit count in acc
  int32_t gbits;       // bits of codes taken from the current group
  int32_t skip;        // bits to drop before the next code (group end, padding)
  int32_t str_len;     // a decoded string still being handed out: its length ...
  int32_t str_pos;     // ... and the bytes of it already handed out
  uint16_t prefix[CSR_LZC_DCODES];  // code of the string without its last byte
  uint16_t length[CSR_LZC_DCODES];  // bytes of each code's string
  WEQ_RAW suffix[CSR_LZC_DCODES];   // last byte of each code's string
  WEQ_RAW str[CSR_LZC_DCODES];      // the string being handed out
};

constexpr uint32_t CSR_LZC_CKIND = 0x4C5A4343;  // "LZCC"
constexpr uint32_t CSR_LZC_DKIND = 0x4C5A4344;  // "LZCD"

// Compresses the next piece of a stream of total bytes. options bit 0
// (CSR_OPT_NEW_STREAM) starts a new stream and writes the 8-byte header;
// options & CSR_OPT_BLOCK marks it in the header. Input beyond total is not
// taken. Returns CSR_END_OF_STREAM, CSR_OUTPUT_FULL, CSR_MORE_INPUT or a
// negative CSR_E_ code; *read and *written count this call's bytes.
int CsRLzcCompress(CSR_LZC_CSTATE* s, int total, const WEQ_RAW* in, int inlen, WEQ_RAW* out,
                   int outlen, int options, int* read, int* written);

// Decompresses the next piece. With options bit 0 the input starts with the
// 8-byte header. Returns CSR_END_OF_STREAM once the header's length has been
// produced and the stream's last bytes taken, CSR_OUTPUT_FULL, CSR_MORE_INPUT
// or a negative CSR_E_ code. A damaged stream gives CSR_E_BAD_CODE on this
// and every later call of the stream.
int CsRLzcDecompress(CSR_LZC_DSTATE* s, const WEQ_RAW* in, int inlen, WEQ_RAW* out, int outlen,
                     int options, int* read, int* written);

#endif
