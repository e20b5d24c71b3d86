#include "compression/csr_stream.h"

#include <array>
#include <new>

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
