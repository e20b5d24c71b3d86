#include "lzh_test_util.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>

namespace lzhtest {

SizeFn Fixed(size_t n) {
  return [n] { return n; };
}

SizeFn RandomSizes(uint32_t seed, size_t min) {
  auto rng = std::make_shared<std::mt19937>(seed);
  return [rng, min] {
    uint32_t r = (*rng)();
    size_t n;
    switch (r % 10) {
      case 0: case 1: case 2: n = 1 + (r >> 8) % 4; break;
      case 3: case 4: case 5: n = 1 + (r >> 8) % 64; break;
      case 6: case 7: case 8: n = 1 + (r >> 8) % 4096; break;
      default: n = 1 + (r >> 8) % 70000; break;
    }
    return std::max(n, min);
  };
}

Bytes RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto& c : b) c = static_cast<uint8_t>(rng());
  return b;
}

Bytes Text(size_t n, uint32_t seed) {
  static const char* const kWords[] = {
      "the", "of", "and", "to", "in", "a", "is", "that", "for", "it", "as", "was", "with", "be",
      "by", "on", "not", "he", "this", "are", "or", "his", "from", "at", "which", "but", "have",
      "an", "had", "they", "you", "were", "their", "one", "all", "we", "can", "her", "has",
      "there", "been", "if", "more", "when", "will", "would", "who", "so", "no", "compression",
      "window", "stream", "handle", "block", "literal", "distance", "Huffman", "gateway",
      "conversation", "server", "message", "protocol"};
  std::mt19937 rng(seed);
  std::string s;
  while (s.size() < n) {
    s += kWords[rng() % (sizeof kWords / sizeof kWords[0])];
    uint32_t r = rng() % 20;
    s += r == 0 ? ".\n" : r == 1 ? ", " : " ";
  }
  return Bytes(s.begin(), s.begin() + static_cast<std::ptrdiff_t>(n));
}

Bytes Runs(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes b;
  b.reserve(n);
  while (b.size() < n) {
    switch (rng() % 3) {
      case 0:
        b.insert(b.end(), 1 + rng() % 600, static_cast<uint8_t>(rng()));
        break;
      case 1: {  // a little-endian counter record
        uint32_t v = rng() % 1000;
        for (int i = 0; i < 40; ++i, ++v)
          for (int k = 0; k < 4; ++k) b.push_back(static_cast<uint8_t>(v >> (8 * k)));
        break;
      }
      default:
        for (uint32_t i = 1 + rng() % 30; i; --i) b.push_back(static_cast<uint8_t>(rng() % 4));
        break;
    }
  }
  b.resize(n);
  return b;
}

std::unique_ptr<CsRLzhDeflateState> NewDeflateState() { return std::make_unique<CsRLzhDeflateState>(); }
std::unique_ptr<CsRLzhInflateState> NewInflateState() { return std::make_unique<CsRLzhInflateState>(); }

CompressResult Compress(CsRLzhDeflateState* st, const Bytes& data, int options, const SizeFn& in_size,
                        const SizeFn& out_room) {
  CompressResult r;
  uint8_t hdr[8];
  unsigned rd = 99, wr = 99;
  uint8_t dummy = 0;
  int rc = CsRLzhCompress(st, static_cast<unsigned>(data.size()), &dummy, 0, hdr, 8, options | 1, &rd, &wr);
  ++r.calls;
  EXPECT_EQ(rc, 2);
  EXPECT_EQ(rd, 0u);
  EXPECT_EQ(wr, 8u);
  if (rc != 2) {
    r.rc = rc;
    return r;
  }
  r.stream.assign(hdr, hdr + 8);
  size_t pos = 0;
  size_t idle = 0;
  Bytes out;
  for (;;) {
    size_t k = std::min(in_size(), data.size() - pos);
    size_t room = out_room();
    out.assign(room + 1, 0xEE);
    rc = CsRLzhCompress(st, static_cast<unsigned>(data.size()), data.data() + pos, static_cast<unsigned>(k),
                        out.data(), static_cast<unsigned>(room), 0, &rd, &wr);
    ++r.calls;
    if (rc < 0) {
      r.rc = rc;
      return r;
    }
    EXPECT_LE(rd, k);
    EXPECT_LE(wr, room);
    EXPECT_EQ(out[room], 0xEE) << "wrote past the room";
    r.stream.insert(r.stream.end(), out.begin(), out.begin() + wr);
    pos += rd;
    if (rc == 1) break;
    if (rc == 3) {
      EXPECT_EQ(rd, k) << "result 3 with input left";
    }
    idle = (rd == 0 && wr == 0) ? idle + 1 : 0;
    if (idle > 3) {
      ADD_FAILURE() << "no progress at input " << pos;
      r.rc = rc;
      return r;
    }
  }
  EXPECT_EQ(pos, data.size());
  r.rc = 1;
  return r;
}

Bytes CompressSimple(const Bytes& data, int level) {
  auto st = NewDeflateState();
  return Compress(st.get(), data, level << 4, Fixed(1 << 20), Fixed(1 << 20)).stream;
}

DecompressResult Decompress(CsRLzhInflateState* st, const Bytes& stream, const SizeFn& in_size,
                            const SizeFn& out_room) {
  DecompressResult r;
  unsigned rd = 99, wr = 99;
  uint8_t dummy = 0;
  int rc = CsRLzhDecompress(st, stream.data(), 8, &dummy, 0, 1, &rd, &wr);
  ++r.calls;
  if (rc != 3) {
    r.rc = rc;
    return r;
  }
  EXPECT_EQ(rd, 8u);
  EXPECT_EQ(wr, 0u);
  size_t pos = 8;
  size_t idle = 0;
  Bytes out;
  for (;;) {
    size_t k = std::min(in_size(), stream.size() - pos);
    size_t room = out_room();
    if (k == 0 && room == 0) room = 1;
    out.assign(room + 1, 0xEE);
    rc = CsRLzhDecompress(st, stream.data() + pos, static_cast<unsigned>(k), out.data(),
                          static_cast<unsigned>(room), 0, &rd, &wr);
    ++r.calls;
    if (rc < 0) {
      r.rc = rc;
      r.read = pos;
      return r;
    }
    EXPECT_LE(rd, k);
    EXPECT_LE(wr, room);
    EXPECT_EQ(out[room], 0xEE) << "wrote past the room";
    r.data.insert(r.data.end(), out.begin(), out.begin() + wr);
    pos += rd;
    if (rc == 1) {
      EXPECT_EQ(rd, k) << "end of stream reports all input read";
      break;
    }
    if (rc == 3) {
      EXPECT_EQ(rd, k) << "result 3 with input left";
      if (k == 0) break;  // the stream is cut short
    }
    idle = (rd == 0 && wr == 0) ? idle + 1 : 0;
    if (idle > 3) {
      ADD_FAILURE() << "no progress at input " << pos;
      break;
    }
  }
  r.rc = rc;
  r.read = pos;
  return r;
}

DecompressResult DecompressSimple(const Bytes& stream) {
  auto st = NewInflateState();
  return Decompress(st.get(), stream, Fixed(1 << 20), Fixed(1 << 20));
}

int FillerCount(const Bytes& s) { return s.size() > 8 ? s[8] & 3 : -1; }

Bytes ToRawDeflate(const Bytes& s) {
  int k = 2 + FillerCount(s);
  Bytes raw;
  for (size_t i = 8; i < s.size(); ++i) {
    unsigned v = s[i] >> k;
    if (i + 1 < s.size()) v |= static_cast<unsigned>(s[i + 1]) << (8 - k);
    raw.push_back(static_cast<uint8_t>(v));
  }
  return raw;
}

namespace {

// An LZH stream header followed by `body`.
Bytes WithHeader(uint32_t length, int level, const Bytes& body) {
  Bytes s;
  s.reserve(8 + body.size());
  for (int k = 0; k < 4; ++k) s.push_back(static_cast<uint8_t>(length >> (8 * k)));
  s.push_back(0x12);
  s.push_back(0x1F);
  s.push_back(0x9D);
  s.push_back(static_cast<uint8_t>(level));
  s.insert(s.end(), body.begin(), body.end());
  return s;
}

}  // namespace

Bytes FromRawDeflate(const Bytes& raw, uint32_t length, int level, int n, unsigned filler) {
  BitWriter w;
  w.Bits(static_cast<uint32_t>(n), 2);
  if (n) w.Bits(filler, n);
  for (uint8_t b : raw) w.Bits(b, 8);
  return WithHeader(length, level, w.Finish());
}

Bytes ZlibDeflate(const Bytes& data, int level, int strategy, int mem_level) {
  z_stream z{};
  EXPECT_EQ(deflateInit2(&z, level, Z_DEFLATED, -14, mem_level, strategy), Z_OK);
  Bytes out(deflateBound(&z, data.size()) + 16);
  z.next_in = const_cast<Bytef*>(data.data());
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

ZlibInflateResult ZlibInflate(const Bytes& raw) {
  ZlibInflateResult r;
  z_stream z{};
  EXPECT_EQ(inflateInit2(&z, -15), Z_OK);
  z.next_in = const_cast<Bytef*>(raw.data());
  z.avail_in = static_cast<uInt>(raw.size());
  Bytes buf(1 << 16);
  bool at_header = true;
  for (;;) {
    if (at_header && z.avail_in > 0) {
      // At a block boundary: the next block's 3 header bits start in the
      // unused high bits of the last byte taken, or in the next byte.
      int unused = z.data_type & 7;
      uint32_t bits = unused ? static_cast<uint32_t>(z.next_in[-1]) >> (8 - unused) : 0;
      bits |= static_cast<uint32_t>(z.next_in[0]) << unused;
      if (z.avail_in > 1) bits |= static_cast<uint32_t>(z.next_in[1]) << (unused + 8);
      r.blocks.push_back(static_cast<int>((bits >> 1) & 3));
    }
    z.next_out = buf.data();
    z.avail_out = static_cast<uInt>(buf.size());
    r.rc = inflate(&z, Z_BLOCK);
    r.data.insert(r.data.end(), buf.data(), z.next_out);
    if (r.rc == Z_STREAM_END || (r.rc != Z_OK && r.rc != Z_BUF_ERROR)) break;
    if (r.rc == Z_BUF_ERROR && z.avail_in == 0) break;
    at_header = (z.data_type & 128) != 0 && (z.data_type & 64) == 0;
  }
  r.leftover.assign(z.next_in, z.next_in + z.avail_in);
  inflateEnd(&z);
  return r;
}

void BitWriter::Bits(uint32_t value, int n) {
  acc_ |= static_cast<uint64_t>(value & ((n == 32) ? 0xFFFFFFFFu : ((1u << n) - 1))) << n_;
  n_ += n;
  while (n_ >= 8) {
    out_.push_back(static_cast<uint8_t>(acc_));
    acc_ >>= 8;
    n_ -= 8;
  }
}

void BitWriter::Code(uint32_t code, int len) {
  for (int i = len - 1; i >= 0; --i) Bits((code >> i) & 1, 1);
}

void BitWriter::FixedLitLen(int sym) {
  if (sym < 144) Code(0x30 + sym, 8);
  else if (sym < 256) Code(0x190 + sym - 144, 9);
  else if (sym < 280) Code(sym - 256, 7);
  else Code(0xC0 + sym - 280, 8);
}

void BitWriter::FixedDist(int sym) { Code(static_cast<uint32_t>(sym), 5); }

void BitWriter::FixedMatch(int length, int distance) {
  static const int kLenBase[29] = {3, 4, 5, 6, 7, 8, 9, 10, 11, 13, 15, 17, 19, 23, 27,
                                   31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
  static const int kLenExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                    2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
  int lc = 28;
  while (kLenBase[lc] > length) --lc;
  FixedLitLen(257 + lc);
  Bits(static_cast<uint32_t>(length - kLenBase[lc]), kLenExtra[lc]);
  // Distance codes come in pairs per extra-bit count: 1,2,3,4 then 5-6, 7-8, ...
  int dc = 0, base = 1, extra = 0;
  for (int c = 0; c < 32; ++c) {
    int e = c < 4 ? 0 : c / 2 - 1;
    int b = c < 4 ? c + 1 : ((2 + (c & 1)) << e) + 1;
    if (b > distance) break;
    dc = c, base = b, extra = e;
  }
  FixedDist(dc);
  Bits(static_cast<uint32_t>(distance - base), extra);
}

Bytes BitWriter::Finish() {
  Bytes r = out_;
  if (n_) r.push_back(static_cast<uint8_t>(acc_));
  return r;
}

std::vector<uint32_t> CanonicalCodes(const std::vector<int>& lens) {
  int count[16] = {};
  for (int l : lens) ++count[l];
  count[0] = 0;
  uint32_t next[16] = {};
  uint32_t code = 0;
  for (int b = 1; b < 16; ++b) {
    code = (code + count[b - 1]) << 1;
    next[b] = code;
  }
  std::vector<uint32_t> codes(lens.size());
  for (size_t i = 0; i < lens.size(); ++i)
    if (lens[i]) codes[i] = next[lens[i]]++;
  return codes;
}

namespace {

class BitReader {
 public:
  explicit BitReader(const Bytes& b) : b_(b) {}
  uint32_t Bits(int n) {
    uint32_t v = 0;
    for (int i = 0; i < n; ++i, ++pos_)
      if (pos_ / 8 < b_.size()) v |= static_cast<uint32_t>((b_[pos_ / 8] >> (pos_ % 8)) & 1) << i;
    return v;
  }
  // One symbol of a canonical code, read bit by bit.
  int Symbol(const std::vector<int>& lens) {
    std::vector<uint32_t> codes = CanonicalCodes(lens);
    uint32_t code = 0;
    for (int len = 1; len <= 15; ++len) {
      code = (code << 1) | Bits(1);
      for (size_t s = 0; s < lens.size(); ++s)
        if (lens[s] == len && codes[s] == code) return static_cast<int>(s);
    }
    return -1;
  }

 private:
  const Bytes& b_;
  size_t pos_ = 0;
};

}  // namespace

BlockLengths FirstBlockLengths(const Bytes& raw) {
  static const int kOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
  BitReader r(raw);
  r.Bits(1);
  if (r.Bits(2) != 2) return {};
  int nlit = static_cast<int>(r.Bits(5)) + 257;
  int ndist = static_cast<int>(r.Bits(5)) + 1;
  int ncl = static_cast<int>(r.Bits(4)) + 4;
  std::vector<int> cl(19, 0);
  for (int i = 0; i < ncl; ++i) cl[kOrder[i]] = static_cast<int>(r.Bits(3));
  std::vector<int> lens;
  while (static_cast<int>(lens.size()) < nlit + ndist) {
    int sym = r.Symbol(cl);
    if (sym < 0) return {};
    if (sym < 16) {
      lens.push_back(sym);
    } else if (sym == 16) {
      if (lens.empty()) return {};
      lens.insert(lens.end(), 3 + r.Bits(2), lens.back());
    } else {
      lens.insert(lens.end(), sym == 17 ? 3 + r.Bits(3) : 11 + r.Bits(7), 0);
    }
  }
  BlockLengths b;
  b.lit.assign(lens.begin(), lens.begin() + nlit);
  b.dist.assign(lens.begin() + nlit, lens.end());
  return b;
}

DynamicCodes WriteDynamicHeader(BitWriter& w, bool final, const std::vector<int>& lit,
                                const std::vector<int>& dist, const std::vector<int>& cl_lens) {
  static const int kOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
  w.Bits(final ? 1 : 0, 1);
  w.Bits(2, 2);
  w.Bits(static_cast<uint32_t>(lit.size() - 257), 5);
  w.Bits(static_cast<uint32_t>(dist.size() - 1), 5);
  w.Bits(19 - 4, 4);
  for (int i = 0; i < 19; ++i) w.Bits(static_cast<uint32_t>(cl_lens[kOrder[i]]), 3);
  std::vector<uint32_t> cl_codes = CanonicalCodes(cl_lens);
  for (int l : lit) w.Code(cl_codes[l], cl_lens[l]);
  for (int l : dist) w.Code(cl_codes[l], cl_lens[l]);
  return {CanonicalCodes(lit), CanonicalCodes(dist)};
}

Bytes LzhStream(uint32_t length, const Bytes& bits) { return WithHeader(length, 2, bits); }

}  // namespace lzhtest
