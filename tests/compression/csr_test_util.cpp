#include "csr_test_util.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>

#include "compression/csr.h"
#include "krn/thr/thr.h"
#include "support/testsupport.h"

namespace csrtest {

SizeFn Seq(std::vector<size_t> first, size_t then) {
  auto i = std::make_shared<size_t>(0);
  return [first, then, i] { return *i < first.size() ? first[(*i)++] : then; };
}

SizeFn RandomSizes(uint32_t seed, size_t min) {
  auto rng = std::make_shared<std::mt19937>(seed);
  return [rng, min] {
    uint32_t r = (*rng)();
    static const size_t kLimit[] = {4, 4, 4, 64, 64, 64, 4096, 4096, 4096, 70000};
    return std::max<size_t>(1 + (r >> 8) % kLimit[r % 10], min);
  };
}

Bytes RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto& c : b) c = static_cast<uint8_t>(rng());
  return b;
}

Bytes Text(size_t n, uint32_t seed) {
  static const char* const kWords[] = {"the", "of", "and", "to", "in", "a", "is", "that", "for", "it", "as",
                                       "was", "with", "be", "by", "on", "not", "this", "are", "or", "from",
                                       "compression", "window", "stream", "handle", "block", "literal"};
  std::mt19937 rng(seed);
  std::string s;
  while (s.size() < n) {
    s += kWords[rng() % std::size(kWords)];
    uint32_t r = rng() % 20;
    s += r == 0 ? ".\n" : r == 1 ? ", " : " ";
  }
  return Bytes(s.begin(), s.begin() + static_cast<std::ptrdiff_t>(n));
}

Bytes Runs(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes b;
  while (b.size() < n) {
    if (rng() % 2) {
      b.insert(b.end(), 1 + rng() % 600, static_cast<uint8_t>(rng()));
    } else {  // little-endian counter records
      for (uint32_t v = rng() % 1000, i = 0; i < 40; ++i) b = Cat(std::move(b), Le32(v + i));
    }
  }
  b.resize(n);
  return b;
}

Bytes Mixed(size_t n, uint32_t seed) {
  const Bytes head = Cat(Cat(Text(n / 2, seed), RandomBytes(n / 8, seed)), Runs(n / 4, seed));
  return Cat(head, Text(n - head.size(), seed + 1));
}

void InitThreads() { static const bool ready = (ThrProcInit(), true); (void)ready; }

// The coders' calls take (in, n, out, room, first, read, written).

Coder LzcCompressor(int total) {
  auto s = std::make_shared<CSR_LZC_CSTATE>();
  return {[=](auto in, auto n, auto out, auto room, auto first, auto r, auto w) {
            return CsRLzcCompress(s.get(), total, in, n, out, room, first, r, w);
          }, 0, 8, nullptr};
}

Coder LzcDecompressor() {
  auto s = std::make_shared<CSR_LZC_DSTATE>();
  return {[=](auto in, auto n, auto out, auto room, auto first, auto r, auto w) {
            return CsRLzcDecompress(s.get(), in, n, out, room, first, r, w);
          }, 8, 0, nullptr};
}

// LZH counts in unsigned numbers.
Coder LzhCompressor(int total, int options, std::shared_ptr<CsRLzhDeflateState> s) {
  if (!s) s = std::make_shared<CsRLzhDeflateState>();
  return {[=](auto in, auto n, auto out, auto room, auto first, auto r, auto w) {
            unsigned ur = 0, uw = 0;
            int rc = CsRLzhCompress(s.get(), total, in, n, out, room, first ? options | 1 : 0, &ur, &uw);
            *r = static_cast<int>(ur), *w = static_cast<int>(uw);
            return rc;
          }, 0, 8, nullptr};
}

Coder LzhDecompressor() {
  std::shared_ptr<CsRLzhInflateState> s = std::make_unique<CsRLzhInflateState>();
  return {[=](auto in, auto n, auto out, auto room, auto first, auto r, auto w) {
            unsigned ur = 0, uw = 0;
            int rc = CsRLzhDecompress(s.get(), in, n, out, room, first, &ur, &uw);
            *r = static_cast<int>(ur), *w = static_cast<int>(uw);
            return rc;
          }, 8, 0, nullptr};
}

// The pool's coders take a handle on the first call of a run, and give it
// back after the run.
Coder PoolCompressor(int total, int options) {
  auto h = std::make_shared<int>(0);
  return {[=](auto in, auto n, auto out, auto room, auto first, auto r, auto w) {
            if (!first) return CsRCompress(*h, total, in, n, out, room, 0, r, w);
            InitThreads();
            int rc = CsRGetHandle(h.get());
            if (rc == 0) rc = CsRInitCompress(*h, out, total, options);
            *r = 0, *w = rc == 0 ? 8 : 0;
            return rc;
          }, 0, 8, [h] { CsRCloseHandle(*h); }};
}

Coder PoolDecompressor(bool whole_first) {
  auto h = std::make_shared<int>(0);
  return {[=](auto in, auto n, auto out, auto room, auto first, auto r, auto w) {
            if (!first) return CsRDecompress(*h, in, n, out, room, 0, r, w);
            InitThreads();
            int rc = CsRGetHandle(h.get());
            if (rc == 0 && whole_first) return CsRDecompress(*h, in, n, out, room, CSR_OPT_NEW_STREAM, r, w);
            if (rc == 0) rc = CsRInitDecompress(*h, in);
            *r = rc == 0 ? 8 : 0, *w = 0;
            return rc;
          }, 8, 0, [h] { CsRCloseHandle(*h); }};
}

Result Drive(const Coder& c, const Bytes& in, const SizeFn& piece, const SizeFn& room) {
  Result run;
  int idle = 0;  // calls in a row that took and gave nothing
  for (size_t calls = 0; calls < 4 * in.size() + 10000 && idle < 3; ++calls) {
    const bool first = calls == 0;
    const size_t n = std::min(first ? std::max(piece(), c.first_in) : piece(), in.size() - run.read);
    const size_t m = first ? std::max(room(), c.first_room) : room();
    // Blocks of exactly n and m bytes (one for 0, so that no pointer is NULL).
    std::unique_ptr<uint8_t[]> ib(new uint8_t[n + !n]), ob(new uint8_t[m + !m]);
    std::copy_n(in.data() + run.read, n, ib.get());
    int r = -1, w = -1;
    run.rc = c.call(ib.get(), static_cast<int>(n), ob.get(), static_cast<int>(m), first, &r, &w);
    if (!first) run.results.push_back(run.rc);
    if (run.rc < 0) break;
    EXPECT_TRUE(r >= 0 && static_cast<size_t>(r) <= n && w >= 0 && static_cast<size_t>(w) <= m)
        << "read " << r << " of " << n << ", wrote " << w << " into " << m;
    EXPECT_TRUE(run.rc != CSR_MORE_INPUT || static_cast<size_t>(r) == n) << "more input asked, input left";
    run.read += r;
    run.out.insert(run.out.end(), ob.get(), ob.get() + w);
    if (run.rc == CSR_END_OF_STREAM) break;
    idle = r == 0 && w == 0 ? idle + 1 : 0;
  }
  if (c.done) c.done();
  return run;
}

void ExpectAnySplit(const Coder& c, const Bytes& in, const Bytes& want, size_t min_room) {
  const size_t big = in.size() + want.size() + 64;
  for (size_t k = 0; k <= std::max(in.size(), want.size()); ++k) {
    Result split = Drive(c, in, Seq({k}, big), Fixed(big));
    Result room = Drive(c, in, Fixed(big), Seq({std::max(k, min_room)}, big));
    ASSERT_TRUE(split.rc == CSR_END_OF_STREAM && split.out == want) << "input split " << k;
    ASSERT_TRUE(room.rc == CSR_END_OF_STREAM && room.out == want) << "first room " << k;
  }
}

void ExpectRefused(const Coder& c, const Bytes& earlier, const std::vector<Damaged>& cases) {
  for (const Damaged& k : cases) {
    for (size_t piece : {k.stream.size(), size_t{1}}) {
      ASSERT_EQ(Drive(c, earlier, Fixed(999), Fixed(1 << 16)).rc, CSR_END_OF_STREAM);
      EXPECT_EQ(Drive(c, k.stream, Fixed(piece), Fixed(piece)).rc, k.rc) << k.what << ", pieces " << piece;
      uint8_t buf[4];
      int r, w;
      const bool header = k.rc == CSR_E_HEADER || k.rc == CSR_E_CODE_BITS;
      EXPECT_TRUE(header || c.call(buf, 1, buf + 1, 3, false, &r, &w) == k.rc) << k.what;
    }
  }
}

uint32_t Register(const Bytes& data) {
  return ~static_cast<uint32_t>(crc32(0, data.data(), static_cast<uInt>(data.size())));
}

Bytes Tool(const std::string& cmd, const Bytes& input) {
  int status = -1;
  const std::string out = tovtest::Filter(cmd, std::string(input.begin(), input.end()), &status);
  // compress exits with 2 when its output is not smaller, and writes it all the same.
  EXPECT_TRUE(status == 0 || status == 2) << cmd;
  return Bytes(out.begin(), out.end());
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

ZlibInflated ZlibInflate(const Bytes& raw) {
  ZlibInflated r;
  z_stream z{};
  EXPECT_EQ(inflateInit2(&z, -15), Z_OK);
  z.next_in = const_cast<Bytef*>(raw.data());
  z.avail_in = static_cast<uInt>(raw.size());
  Bytes buf(1 << 16);
  do {
    z.next_out = buf.data();
    z.avail_out = static_cast<uInt>(buf.size());
    r.rc = inflate(&z, Z_NO_FLUSH);
    r.data.insert(r.data.end(), buf.data(), z.next_out);
  } while (r.rc == Z_OK);
  r.leftover.assign(z.next_in, z.next_in + z.avail_in);
  inflateEnd(&z);
  return r;
}

Bytes ToRawDeflate(const Bytes& s) {
  int k = 2 + FillerCount(s);
  Bytes raw;
  for (size_t i = 8; i < s.size(); ++i)
    raw.push_back(static_cast<uint8_t>(s[i] >> k | (i + 1 < s.size() ? s[i + 1] << (8 - k) : 0)));
  return raw;
}

BitWriter& BitWriter::Bits(uint32_t value, int n) {
  acc_ |= static_cast<uint64_t>(value & static_cast<uint32_t>((uint64_t{1} << n) - 1)) << n_;
  for (n_ += n; n_ >= 8; n_ -= 8, acc_ >>= 8) out_.push_back(static_cast<uint8_t>(acc_));
  return *this;
}

BitWriter& BitWriter::Code(uint32_t code, int len) {
  for (int i = len - 1; i >= 0; --i) Bits((code >> i) & 1, 1);
  return *this;
}

BitWriter& BitWriter::Lit(int sym) {
  if (sym < 144) return Code(0x30 + sym, 8);
  if (sym < 256) return Code(0x190 + sym - 144, 9);
  if (sym < 280) return Code(sym - 256, 7);
  return Code(0xC0 + sym - 280, 8);
}

BitWriter& BitWriter::Dist(int sym) { return Code(static_cast<uint32_t>(sym), 5); }

BitWriter& BitWriter::Match(int length, int distance) {
  static const int kLenBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                   31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
  int lc = 28;
  while (kLenBase[lc] > length) --lc;
  int lextra = lc < 8 || lc == 28 ? 0 : lc / 4 - 1;
  Lit(257 + lc).Bits(static_cast<uint32_t>(length - kLenBase[lc]), lextra);
  // Distance codes: 1..4, then two codes per count of extra bits.
  int dc = 0, base = 1, extra = 0;
  for (int c = 0; c < 30; ++c) {
    int e = c < 4 ? 0 : c / 2 - 1;
    int b = c < 4 ? c + 1 : ((2 + (c & 1)) << e) + 1;
    if (b > distance) break;
    dc = c, base = b, extra = e;
  }
  return Dist(dc).Bits(static_cast<uint32_t>(distance - base), extra);
}

BitWriter& BitWriter::DynamicHeader(size_t nlit, size_t ndist, const std::vector<int>& cl) {
  static const int kOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
  Bits(static_cast<uint32_t>(nlit - 257), 5).Bits(static_cast<uint32_t>(ndist - 1), 5).Bits(19 - 4, 4);
  for (int i : kOrder) Bits(static_cast<uint32_t>(cl[i]), 3);
  return *this;
}

BitWriter& BitWriter::Lengths(const std::vector<int>& lens, const std::vector<int>& cl) {
  int count[8] = {};  // canonical codes of cl, most significant bit first
  for (int l : cl) ++count[l];
  uint32_t next[8] = {};
  for (int b = 1, code = 0; b < 8; ++b) next[b] = code = (code + (b > 1 ? count[b - 1] : 0)) << 1;
  std::vector<uint32_t> codes(cl.size());
  for (size_t i = 0; i < cl.size(); ++i) codes[i] = cl[i] ? next[cl[i]]++ : 0;
  for (int l : lens) Code(codes[l], cl[l]);
  return *this;
}

Bytes BitWriter::Finish() {
  Bytes r = out_;
  if (n_) r.push_back(static_cast<uint8_t>(acc_));
  return r;
}

Bytes FromRawDeflate(const Bytes& raw, uint32_t length, int level, int n, unsigned filler) {
  BitWriter w;
  w.Bits(static_cast<uint32_t>(n), 2).Bits(filler, n);
  for (uint8_t b : raw) w.Bits(b, 8);
  return Cat(Header(length, 0x12, static_cast<uint8_t>(level)), w.Finish());
}

Framed Parse(const Bytes& s) {
  Framed f;
  auto le32 = [&](size_t at) { return s[at] | s[at + 1] << 8 | s[at + 2] << 16 | uint32_t{s[at + 3]} << 24; };
  size_t pos = 8, n;
  for (; s.size() >= pos + 17 && (n = le32(pos)) > 0 && n <= s.size() - pos - 16; pos += 8 + n) {
    f.crcs.push_back(le32(pos + 4));
    f.payloads.emplace_back(s.begin() + pos + 8, s.begin() + pos + 8 + n);
  }
  EXPECT_TRUE(s.size() == pos + 8 && s[4] & 8) << "not a block-mode stream, or a bad block at " << pos;
  if (s.size() != pos + 8) return f;
  f.header.assign(s.begin(), s.begin() + 8);
  f.trailer_total = le32(pos);
  f.trailer_crc = le32(pos + 4);
  return f;
}

}  // namespace csrtest
