// The input and output rules of the conversion tables as a conversion reads
// them, written from the rule tables (codes, bytes, character numbers) and
// independent of the loaders: what a rule word in a T1 decodes to, and what
// an output rule writes for a character. Range rules are read from their two
// attribute texts.
#ifndef TESTS_KRN_RSCP_RSCPLD_CODEC_H
#define TESTS_KRN_RSCP_RSCPLD_CODEC_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace rscpldtest {

using Bytes = std::vector<uint8_t>;

// A range rule from its texts: "first,last,code" and "min,max" in hex.
struct Range {
  uint32_t first = 0, last = 0;
  Bytes code, lo, hi;
  static std::optional<Range> Parse(const std::string& a1, const std::string& a2) {
    Range r;
    size_t i = 0;
    auto num = [&](uint32_t& v) {
      size_t d = 0;
      v = 0;
      while (i < a1.size() && d < 6 && isxdigit(static_cast<unsigned char>(a1[i])))
        v = v * 16 + static_cast<uint32_t>(std::stoi(a1.substr(i++, 1), nullptr, 16)), ++d;
      if (d < 6) ++i;  // its separator
      return d > 0;
    };
    if (!num(r.first) || !num(r.last)) return std::nullopt;
    for (; i + 1 < a1.size(); i += 2) r.code.push_back(static_cast<uint8_t>(std::stoi(a1.substr(i, 2), nullptr, 16)));
    const size_t comma = a2.find(',');
    if (comma == std::string::npos) return std::nullopt;
    for (size_t k = 0; k + 1 < comma; k += 2) r.lo.push_back(static_cast<uint8_t>(std::stoi(a2.substr(k, 2), nullptr, 16)));
    for (size_t k = comma + 1; k + 1 < a2.size(); k += 2)
      r.hi.push_back(static_cast<uint8_t>(std::stoi(a2.substr(k, 2), nullptr, 16)));
    return r;
  }
  // Mixed-radix position of a code (each byte counted from its lowest value).
  uint64_t Linear(const Bytes& b) const {
    uint64_t v = 0;
    for (size_t k = 0; k < lo.size(); ++k) v = v * static_cast<uint64_t>(hi[k] - lo[k] + 1) + (b[k] - lo[k]);
    return v;
  }
  std::optional<uint32_t> Decode(const Bytes& b) const {
    if (b.size() < lo.size()) return std::nullopt;
    for (size_t k = 0; k < lo.size(); ++k)
      if (b[k] < lo[k] || b[k] > hi[k]) return std::nullopt;
    const int64_t v = int64_t(first) + int64_t(Linear(b)) - int64_t(Linear(code));
    if (v < first || v > last) return std::nullopt;
    return static_cast<uint32_t>(v);
  }
  Bytes Encode(uint32_t v) const {
    uint64_t n = Linear(code) + (v - first);
    Bytes b(lo.size());
    for (size_t k = lo.size(); k-- > 0;) {
      const uint64_t w = hi[k] - lo[k] + 1u;
      b[k] = static_cast<uint8_t>(lo[k] + n % w);
      n /= w;
    }
    return b;
  }
};

inline int IconValue(uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
  if (c >= 'a' && c <= 'z') return c - 'a' + 36;
  return -1;
}
inline constexpr uint32_t kIconBase = 0x110100;
inline std::optional<uint32_t> Icon(uint8_t c1, uint8_t c2) {
  if (IconValue(c1) < 0 || IconValue(c2) < 0) return std::nullopt;
  return kIconBase + static_cast<uint32_t>(IconValue(c1) * 62 + IconValue(c2));
}
inline uint8_t IconChar(int v) {
  return static_cast<uint8_t>(v < 10 ? '0' + v : v < 36 ? 'A' + v - 10 : 'a' + v - 36);
}

inline Bytes Utf8(uint32_t v) {
  if (v < 0x80) return {uint8_t(v)};
  if (v < 0x800) return {uint8_t(0xC0 | v >> 6), uint8_t(0x80 | (v & 63))};
  if (v < 0x10000) return {uint8_t(0xE0 | v >> 12), uint8_t(0x80 | (v >> 6 & 63)), uint8_t(0x80 | (v & 63))};
  return {uint8_t(0xF0 | v >> 18), uint8_t(0x80 | (v >> 12 & 63)), uint8_t(0x80 | (v >> 6 & 63)), uint8_t(0x80 | (v & 63))};
}

// Bytes an input rule reads from the character's first byte.
inline size_t RuleBytes(int rule, const Range* range) {
  switch (rule) {
    case 12: return 1;
    case 10: case 14: case 50: return 2;
    case 51: return 3;
    case 11: case 15: case 13: case 16: case 52: return 4;
    case 55: return 5;
    case 53: case 54: return 6;
    case 56: case 57: return 12;
    case 68: return range != nullptr ? range->lo.size() : 0;
    default: return 0;
  }
}

// The character number an input rule makes of b (b holds at least the
// rule's bytes), or nothing for a broken sequence.
inline std::optional<uint32_t> DecodeRule(int rule, const Bytes& b, const Range* range = nullptr) {
  if (b.size() < RuleBytes(rule, range) || RuleBytes(rule, range) == 0) return std::nullopt;
  auto cont = [&](size_t k) { return (b[k] & 0xC0) == 0x80; };
  switch (rule) {
    case 10: return b[0] * 256u + b[1];
    case 14: return b[1] * 256u + b[0];
    case 11: return uint32_t(b[0]) << 24 | b[1] << 16 | b[2] << 8 | b[3];
    case 15: return uint32_t(b[3]) << 24 | b[2] << 16 | b[1] << 8 | b[0];
    case 13: return 0x10000 + ((b[0] & 3u) << 18) + (uint32_t(b[1]) << 10) + ((b[2] & 3u) << 8) + b[3];
    case 16: return 0x10000 + ((b[1] & 3u) << 18) + (uint32_t(b[0]) << 10) + ((b[3] & 3u) << 8) + b[2];
    case 12: return b[0] & 0x7Fu;
    case 50: if (!cont(1)) return std::nullopt; return (b[0] & 0x1Fu) << 6 | (b[1] & 0x3F);
    case 51: if (!cont(1) || !cont(2)) return std::nullopt; return (b[0] & 0x0Fu) << 12 | (b[1] & 0x3Fu) << 6 | (b[2] & 0x3F);
    case 52:
      if (!cont(1) || !cont(2) || !cont(3)) return std::nullopt;
      return (b[0] & 0x07u) << 18 | (b[1] & 0x3Fu) << 12 | (b[2] & 0x3Fu) << 6 | (b[3] & 0x3F);
    case 53: return Icon(b[3], b[5]);
    case 54: return Icon(b[2], b[4]);
    case 55: return Icon(b[3], b[4]);
    case 56: return Icon(b[7], b[11]);
    case 57: return Icon(b[4], b[8]);
    case 68: return range->Decode(b);
    default: return std::nullopt;
  }
}

// What an output rule writes for c (introducer U+F8FD for the icon forms).
inline std::optional<Bytes> EncodeRule(int rule, uint32_t c, const Range* range = nullptr) {
  const uint8_t ih = 0xF8, il = 0xFD;
  const uint8_t c1 = IconChar(int(c - kIconBase) / 62), c2 = IconChar(int(c - kIconBase) % 62);
  switch (rule) {
    case 10: return Bytes{uint8_t(c >> 8), uint8_t(c)};
    case 14: return Bytes{uint8_t(c), uint8_t(c >> 8)};
    case 11: return Bytes{uint8_t(c >> 24), uint8_t(c >> 16), uint8_t(c >> 8), uint8_t(c)};
    case 15: return Bytes{uint8_t(c), uint8_t(c >> 8), uint8_t(c >> 16), uint8_t(c >> 24)};
    case 13:
    case 16: {
      const uint32_t h = 0xD800 + ((c - 0x10000) >> 10), l = 0xDC00 + (c & 0x3FF);
      if (rule == 13) return Bytes{uint8_t(h >> 8), uint8_t(h), uint8_t(l >> 8), uint8_t(l)};
      return Bytes{uint8_t(h), uint8_t(h >> 8), uint8_t(l), uint8_t(l >> 8)};
    }
    case 12: case 50: case 51: case 52: return Utf8(c);
    case 53: return Bytes{ih, il, 0, c1, 0, c2};
    case 54: return Bytes{il, ih, c1, 0, c2, 0};
    case 55: return Bytes{0xEF, 0xA3, 0xBD, c1, c2};
    case 56: return Bytes{0, 0, ih, il, 0, 0, 0, c1, 0, 0, 0, c2};
    case 57: return Bytes{il, ih, 0, 0, c1, 0, 0, 0, c2, 0, 0, 0};
    case 68: return range->Encode(c);
    default: return std::nullopt;
  }
}

}  // namespace rscpldtest

#endif
