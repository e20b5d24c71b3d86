#include "compression/csr_stream.h"

#include <array>
#include <new>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "compression/csr.h"

namespace {

constexpr uint32_t kPoly = 0xEDB88320u;  // CRC-32 of ISO 3309 / IEEE 802.3, reflected

// kCrcTable[0] is the byte-wise table; kCrcTable[k][b] advances the register
// over byte b followed by k zero bytes, which lets the loop below fold eight
// bytes at a time.
constexpr std::array<std::array<uint32_t, 256>, 8> MakeCrcTables() {
  std::array<std::array<uint32_t, 256>, 8> t{};
  for (uint32_t b = 0; b < 256; ++b) {
    uint32_t c = b;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ kPoly : c >> 1;
    t[0][b] = c;
  }
  for (uint32_t b = 0; b < 256; ++b) {
    for (int k = 1; k < 8; ++k) t[k][b] = t[0][t[k - 1][b] & 0xFF] ^ (t[k - 1][b] >> 8);
  }
  return t;
}

constexpr auto kCrcTable = MakeCrcTables();

uint32_t TableCrc(uint32_t crc, const WEQ_RAW* data, size_t n) {
  while (n >= 8) {
    uint32_t lo = crc ^ CsRGetLe32(data);
    uint32_t hi = CsRGetLe32(data + 4);
    crc = kCrcTable[7][lo & 0xFF] ^ kCrcTable[6][(lo >> 8) & 0xFF] ^
          kCrcTable[5][(lo >> 16) & 0xFF] ^ kCrcTable[4][lo >> 24] ^
          kCrcTable[3][hi & 0xFF] ^ kCrcTable[2][(hi >> 8) & 0xFF] ^
          kCrcTable[1][(hi >> 16) & 0xFF] ^ kCrcTable[0][hi >> 24];
    data += 8;
    n -= 8;
  }
  while (n-- > 0) crc = kCrcTable[0][(crc ^ *data++) & 0xFF] ^ (crc >> 8);
  return crc;
}

#if defined(__x86_64__)

// Folding with carry-less multiplication. The data is a polynomial over
// GF(2), its first bit the highest term, and the register's CRC of it is
// that polynomial times x^32 modulo the CRC polynomial: any 16-byte piece X
// may be replaced by X * x^D mod P when the D bits behind it take its
// place. In a 128-bit lane loaded little-endian the low half H and the high
// half L stand for H * x^64 + L, and the product of two 64-bit halves
// carries one extra factor x; so the fold over D bits multiplies H by
// x^(D+63) mod P and L by x^(D-1) mod P. The last lane is then stored and
// run through the table with a zero register, which gives the same CRC.

// x^n modulo the CRC polynomial, as a 64-bit multiplier half: the term x^d
// at bit 63 - d.
constexpr uint64_t FoldFactor(int n) {
  uint64_t v = 1;  // bit d: x^d
  for (int i = 0; i < n; ++i) {
    v <<= 1;
    if (v >> 32) v ^= 0x104C11DB7ull;  // the polynomial, highest term first
  }
  uint64_t r = 0;
  for (int d = 0; d < 32; ++d) r |= ((v >> d) & 1) << (63 - d);
  return r;
}

__attribute__((target("pclmul"))) inline __m128i Fold(__m128i x, __m128i k) {
  return _mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11));
}

inline __m128i Load128(const WEQ_RAW* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }

// n >= 64. Four lanes run 64 bytes apart while 64 bytes remain, are folded
// into one, which then takes the rest 16 bytes at a time.
__attribute__((target("pclmul"))) uint32_t FoldCrc(uint32_t crc, const WEQ_RAW* data, size_t n) {
  constexpr uint64_t k512_lo = FoldFactor(575), k512_hi = FoldFactor(511);
  constexpr uint64_t k128_lo = FoldFactor(191), k128_hi = FoldFactor(127);
  const __m128i k512 = _mm_set_epi64x(static_cast<long long>(k512_hi), static_cast<long long>(k512_lo));
  const __m128i k128 = _mm_set_epi64x(static_cast<long long>(k128_hi), static_cast<long long>(k128_lo));
  __m128i x0 = _mm_xor_si128(Load128(data), _mm_cvtsi32_si128(static_cast<int>(crc)));
  __m128i x1 = Load128(data + 16), x2 = Load128(data + 32), x3 = Load128(data + 48);
  data += 64;
  n -= 64;
  for (; n >= 64; data += 64, n -= 64) {
    x0 = _mm_xor_si128(Fold(x0, k512), Load128(data));
    x1 = _mm_xor_si128(Fold(x1, k512), Load128(data + 16));
    x2 = _mm_xor_si128(Fold(x2, k512), Load128(data + 32));
    x3 = _mm_xor_si128(Fold(x3, k512), Load128(data + 48));
  }
  __m128i x = _mm_xor_si128(Fold(x0, k128), x1);
  x = _mm_xor_si128(Fold(x, k128), x2);
  x = _mm_xor_si128(Fold(x, k128), x3);
  for (; n >= 16; data += 16, n -= 16) x = _mm_xor_si128(Fold(x, k128), Load128(data));
  WEQ_RAW last[16];
  _mm_storeu_si128(reinterpret_cast<__m128i*>(last), x);
  return TableCrc(TableCrc(0, last, sizeof last), data, n);
}

bool HasClmul() {
  static const bool has = (__builtin_cpu_init(), __builtin_cpu_supports("pclmul"));
  return has;
}

#endif

}  // namespace

int CsRWriteHeader(WEQ_RAW* out, int length, WEQ_RAW algorithm, WEQ_RAW parameter) {
  if (length < 0) return CSR_E_TOTAL_LEN;
  CsRPutLe32(out, static_cast<uint32_t>(length));
  out[4] = algorithm;
  out[5] = CSR_MAGIC0;
  out[6] = CSR_MAGIC1;
  out[7] = parameter;
  return 0;
}

int CsRReadHeader(const WEQ_RAW* header) {
  if (header[5] != CSR_MAGIC0 || header[6] != CSR_MAGIC1) return CSR_E_HEADER;
  return static_cast<int>(CsRGetLe32(header));
}

uint32_t CsRCrcRegister(uint32_t crc, const WEQ_RAW* data, size_t n) {
#if defined(__x86_64__)
  if (n >= 64 && HasClmul()) return FoldCrc(crc, data, n);
#endif
  return TableCrc(crc, data, n);
}

CSR_CRC* CsRCrcCreate(int segment) {
  CSR_CRC* c = new (std::nothrow) CSR_CRC;
  if (c == nullptr) return nullptr;
  c->crc = CSR_CRC_INIT;
  c->position = 0;
  c->segment = segment == 0 ? CSR_CRC_DEFAULT_SEGMENT : static_cast<uint32_t>(segment);
  c->total = 0;
  return c;
}

uint32_t CsRCrcUpdate(CSR_CRC* crc, const WEQ_RAW* data, uint32_t n, int stop) {
  if (crc == nullptr) return 0;
  if (crc->segment != 0) {
    // A framer may shrink the segment; the position is taken within it.
    uint32_t pos = crc->position % crc->segment;
    if (stop && n > crc->segment - pos) n = crc->segment - pos;
    crc->position = static_cast<uint32_t>((uint64_t{pos} + n) % crc->segment);
  }
  crc->total += n;
  crc->crc = CsRCrcRegister(crc->crc, data, n);
  return n;
}

void CsRCrcFree(CSR_CRC* crc) { delete crc; }
