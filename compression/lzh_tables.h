// Fixed tables of the LZH bit stream, shared by the compressor and the
// decompressor: the length and distance alphabets of raw deflate, the order
// in which a dynamic block sends its code-length code lengths, and the fixed
// literal/length and distance codes.
#ifndef COMPRESSION_LZH_TABLES_H
#define COMPRESSION_LZH_TABLES_H

#include <array>
#include <cstddef>
#include <cstdint>

namespace lzh {

inline constexpr int kMinMatch = 3;
inline constexpr int kMaxMatch = 258;
inline constexpr int kLiterals = 256;
inline constexpr int kEndOfBlock = 256;
inline constexpr int kLengthCodes = 29;
inline constexpr int kLitLenCodes = kLiterals + 1 + kLengthCodes;  // 286
inline constexpr int kFixedLitLenCodes = 288;  // 286 and 287 are never valid
inline constexpr int kDistCodes = 30;
inline constexpr int kFixedDistCodes = 32;  // 30 and 31 are never valid
inline constexpr int kCodeLenCodes = 19;
inline constexpr int kMaxBits = 15;     // longest literal/length or distance code
inline constexpr int kMaxCodeLenBits = 7;  // longest code-length code

// Decoded window of the decompressor and the history the compressor may
// reach back into.
inline constexpr int kWindowSize = 16384;

inline constexpr std::array<uint8_t, kLengthCodes> kLengthExtra = {
    0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
inline constexpr std::array<uint16_t, kLengthCodes> kLengthBase = {
    3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
    31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
inline constexpr std::array<uint8_t, kDistCodes> kDistExtra = {
    0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
inline constexpr std::array<uint16_t, kDistCodes> kDistBase = {
    1,    2,    3,    4,    5,    7,    9,    13,   17,   25,   33,    49,    65,    97,    129,
    193,  257,  385,  513,  769,  1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
inline constexpr std::array<uint8_t, kCodeLenCodes> kCodeLenOrder = {
    16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

// Code lengths of the fixed literal/length code.
constexpr uint8_t FixedLitLenLength(int sym) {
  return sym < 144 ? 8 : sym < 256 ? 9 : sym < 280 ? 7 : 8;
}
inline constexpr int kFixedDistLength = 5;

inline constexpr std::array<uint8_t, 256> kReversedByte = [] {
  std::array<uint8_t, 256> t{};
  for (unsigned b = 0; b < 256; ++b)
    for (int i = 0; i < 8; ++i) t[b] |= static_cast<uint8_t>(((b >> i) & 1) << (7 - i));
  return t;
}();

// Reverses the low `len` (0..16) bits of `code`: codes are defined most
// significant bit first but travel least significant bit first.
constexpr uint16_t ReverseBits(unsigned code, int len) {
  unsigned r = unsigned{kReversedByte[code & 0xFF]} << 8 | kReversedByte[(code >> 8) & 0xFF];
  return static_cast<uint16_t>(r >> (16 - len));
}

// Canonical codes for a list of code lengths, already bit-reversed for
// sending. Symbols of length 0 get code 0.
template <std::size_t N>
constexpr std::array<uint16_t, N> CanonicalCodes(const std::array<uint8_t, N>& len) {
  std::array<uint16_t, kMaxBits + 2> count{};
  for (uint8_t l : len) ++count[l];
  count[0] = 0;
  std::array<uint16_t, kMaxBits + 2> next{};
  unsigned code = 0;
  for (int bits = 1; bits <= kMaxBits; ++bits) {
    code = (code + count[bits - 1]) << 1;
    next[bits] = static_cast<uint16_t>(code);
  }
  std::array<uint16_t, N> out{};
  for (std::size_t n = 0; n < N; ++n)
    if (len[n] != 0) out[n] = ReverseBits(next[len[n]]++, len[n]);
  return out;
}

constexpr std::array<uint8_t, kFixedLitLenCodes> MakeFixedLitLenLengths() {
  std::array<uint8_t, kFixedLitLenCodes> l{};
  for (int n = 0; n < kFixedLitLenCodes; ++n) l[n] = FixedLitLenLength(n);
  return l;
}
inline constexpr std::array<uint8_t, kFixedLitLenCodes> kFixedLitLenLengths = MakeFixedLitLenLengths();
inline constexpr std::array<uint16_t, kFixedLitLenCodes> kFixedLitLenCodesRev =
    CanonicalCodes(kFixedLitLenLengths);

}  // namespace lzh

#endif
