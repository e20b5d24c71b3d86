// LZC against the classic .Z tools and a plain model of its dictionary: our
// streams, after their first five bytes, are what `gzip -dc` reads, every
// byte of them is the model's, and `compress` output with five bytes in
// front decodes here.
#include "compression/lzc.h"

#include <gtest/gtest.h>

#include <numeric>
#include <random>

#include "compression/csr.h"
#include "csr_test_util.h"
#include "support/testsupport.h"

namespace {

using namespace csrtest;

Bytes GzipDecode(const Bytes& stream) { return Tool("gzip -dc", Bytes(stream.begin() + 5, stream.end())); }

// The compressor written plainly from the stream definition: one
// open-addressing table of 9001 slots with double hashing, whose probes also
// stop at the slot that holds the string of two zero bytes; codes placed bit
// by bit in a group buffer that is written whole, with what it held before,
// when the width changes; the ratio checked every 4096 bytes once the table
// is full.
Bytes ModelCompress(const Bytes& in, int* clears) {
  constexpr int kHSize = 9001;
  int n_bits = 9, maxcode = 511, free_ent = 257, ratio = 0, checkpoint = 4096, offset = 0;
  bool clear = false;
  std::vector<int32_t> htab(kHSize, -1);
  std::vector<uint16_t> codetab(kHSize);
  uint8_t group[16] = {};
  Bytes out = Header(static_cast<uint32_t>(in.size()), 0x11, 0x8D);
  auto write = [&](int k) { out.insert(out.end(), group, group + k), offset = 0; };
  auto output = [&](int code) {
    for (int b = 0; b < n_bits; ++b, ++offset) {
      if (offset % 8 == 0) group[offset / 8] = 0;
      group[offset / 8] |= static_cast<uint8_t>(((code >> b) & 1) << (offset % 8));
    }
    if (offset == n_bits * 8) write(n_bits);
    if (free_ent > maxcode || clear) {
      if (offset > 0) write(n_bits);
      n_bits = clear ? 9 : n_bits + 1;
      clear = false;
      maxcode = n_bits == 13 ? 8192 : (1 << n_bits) - 1;
    }
  };
  int ent = in[0];
  for (size_t pos = 1; pos < in.size(); ++pos) {
    const int c = in[pos];
    const int32_t fcode = (c << 13) + ent;
    int i = (c << 5) ^ ent;
    if (htab[i] != fcode && htab[i] >= 0) {
      const int disp = i == 0 ? 1 : kHSize - i;
      do {
        i = (i - disp + kHSize) % kHSize;
      } while (htab[i] != fcode && htab[i] > 0);
    }
    if (htab[i] == fcode) {
      ent = codetab[i];
      continue;
    }
    output(ent);
    ent = c;
    const int in_count = static_cast<int>(pos + 1);
    if (free_ent < 8192) {
      codetab[i] = static_cast<uint16_t>(free_ent++);
      htab[i] = fcode;
    } else if (in_count >= checkpoint) {
      checkpoint = in_count + 4096;
      const int rat = (in_count << 8) / static_cast<int>(out.size());  // inputs here stay below 2^23
      if (rat > ratio) {
        ratio = rat;
      } else {
        ratio = 0;
        std::fill(htab.begin(), htab.end(), -1);
        free_ent = 257;
        clear = true;
        output(256);
        ++*clears;
      }
    }
  }
  output(ent);
  if (offset > 0) write((offset + 7) / 8);
  return out;
}

Bytes Ascending() {  // 0..255 and one more byte
  Bytes s(256);
  std::iota(s.begin(), s.end(), 0);
  return Cat(s, {'A'});
}

// Codes packed least-significant bit first at the given widths.
Bytes Pack(const std::vector<std::pair<int, int>>& codes) {
  BitWriter w;
  for (auto [c, width] : codes) w.Bits(static_cast<uint32_t>(c), width);
  return w.Finish();
}

// Codes in the layout of a stream without CLEAR whose header names maxbits:
// 9 bits at first, one more whenever the next entry would not fit, the
// group padded to its end before each change, no change at maxbits.
Bytes PackWidths(const std::vector<int>& codes, int maxbits) {
  BitWriter w;
  int n_bits = 9, maxcode = maxbits == 9 ? 512 : 511, used = 0;
  for (size_t i = 0; i < codes.size(); ++i) {
    w.Bits(static_cast<uint32_t>(codes[i]), n_bits);
    used = (used + n_bits) % (n_bits * 8);
    if (std::min(257 + static_cast<int>(i), 1 << maxbits) > maxcode) {
      for (; used > 0; used = (used + 8) % (n_bits * 8)) w.Bits(0, 8);
      ++n_bits;
      maxcode = n_bits == maxbits ? 1 << maxbits : (1 << n_bits) - 1;
    }
  }
  return w.Finish();
}

Bytes Compress(const Bytes& data) { return Drive(LzcCompressor(static_cast<int>(data.size())), data).out; }

// Every byte of the stream is the model's, in one piece or many. Inputs
// that make the key-0 slot matter: many zero pairs, and strings whose first
// probe is slot 0 (ent == c << 5).
TEST(LzcCompress, StreamsEqualThePlainModel) {
  std::vector<Bytes> corpora = {Ascending(), RandomBytes(150000, 11), Bytes{'x'}, Bytes(150000)};
  std::mt19937 rng(7);
  for (auto& c : corpora[3]) c = rng() % 5 == 0 ? static_cast<uint8_t>(rng()) : 0;
  corpora.push_back(Text(200000, 7));
  static const uint8_t kAlphabet[] = {0, 1, 32, 64, 2, 0, 0, 96, 3, 4, 128};
  for (uint32_t seed = 1; seed <= 24; ++seed) {
    rng.seed(seed);
    Bytes b(seed % 3 == 0 ? 20000 + rng() % 200000 : 500 + rng() % 6000);
    for (auto& c : b) c = kAlphabet[rng() % (2 + seed % 10)];
    corpora.push_back(b);
  }
  for (size_t i = 0; i < corpora.size(); ++i) {
    const Bytes& data = corpora[i];
    int clears = 0;
    const Bytes model = ModelCompress(data, &clears);
    Coder lzc = LzcCompressor(static_cast<int>(data.size()));
    EXPECT_TRUE(Drive(lzc, data).out == model) << "corpus " << i;
    EXPECT_TRUE(Drive(lzc, data, Fixed(999), Fixed(1000)).out == model) << "corpus " << i;
    EXPECT_TRUE(i >= 3 || GzipDecode(model) == data) << "corpus " << i;
    EXPECT_TRUE(i != 1 || clears > 0) << "a flat ratio on random data resets the table";
  }
}

// Every split of input and output in two, pieces of one byte, and random
// pieces of a large stream, in both directions.
TEST(Lzc, AnySplitOfInputAndOutput) {
  for (const Bytes& data : {Text(300, 1), Runs(260, 2), RandomBytes(120, 3), Ascending()}) {
    const int n = static_cast<int>(data.size());
    const Bytes z = Compress(data);
    ExpectAnySplit(LzcCompressor(n), data, z, 8);
    ExpectAnySplit(LzcDecompressor(), z, data);
    for (size_t room = 13; room <= 20; ++room)  // no room below a whole group
      ASSERT_TRUE(Drive(LzcCompressor(n), data, Fixed(1), Fixed(room)).out == z) << room;
    for (size_t room = 1; room <= 9; ++room)
      ASSERT_TRUE(Drive(LzcDecompressor(), z, Fixed(1), Fixed(room)).out == data) << room;
  }
  const Bytes data = Mixed(300000, 7);
  const Bytes z = Compress(data);
  EXPECT_TRUE(GzipDecode(z) == data);
  for (uint32_t seed = 0; seed < 3u * tovtest::HeavyFactor(); ++seed) {
    EXPECT_TRUE(Drive(LzcCompressor(300000), data, RandomSizes(seed), RandomSizes(seed + 9, 13)).out == z);
    EXPECT_TRUE(Drive(LzcDecompressor(), z, RandomSizes(seed + 50), RandomSizes(seed + 99)).out == data);
  }
}

// A group that finds too little room is owed to the next call, which must
// have room for all of it or changes nothing.
TEST(LzcCompress, OwedBytes) {
  const Bytes data = Text(40, 5);
  const Coder lzc = LzcCompressor(40);
  Bytes got, out(64);
  size_t pos = 0;
  auto call = [&](size_t n, int room, bool first = false) {
    int r = 0, w = 0;
    int rc = lzc.call(data.data() + pos, static_cast<int>(n), out.data(), room, first, &r, &w);
    pos += r;
    got.insert(got.end(), out.begin(), out.begin() + w);
    return rc;
  };
  EXPECT_EQ(call(40, 7, true), CSR_E_OUT_ROOM);
  EXPECT_EQ(call(0, 8, true), CSR_MORE_INPUT);
  int rc;
  while ((rc = call(1, 5)) == CSR_MORE_INPUT) {}
  ASSERT_EQ(rc, CSR_OUTPUT_FULL);  // the first 9-byte group: 5 out, 4 owed
  EXPECT_EQ(call(40 - pos, 3), CSR_E_OUT_ROOM);
  EXPECT_EQ(got.size(), 13u);
  EXPECT_EQ(call(40 - pos, 4), CSR_OUTPUT_FULL);
  while ((rc = call(40 - pos, 64)) == CSR_MORE_INPUT) {}
  EXPECT_EQ(rc, CSR_END_OF_STREAM);
  EXPECT_EQ(call(0, 64), CSR_END_OF_STREAM);  // after the end nothing more is made
  EXPECT_EQ(got, Compress(data));
}

// An incompressible stream near the largest total (some 1.5 GB in) has
// made more than 2^31 bytes of output. The count goes on past that, and the
// ratio check that follows a full table sees the true ratio: it records it
// rather than resetting the table as if the ratio had become negative.
TEST(LzcCompress, OutputCountBeyondTwoGigabytes) {
  auto s = std::make_unique<CSR_LZC_CSTATE>();
  const Bytes data = RandomBytes(40000, 31);
  Bytes out(64);
  int r = 0, w = 0;
  ASSERT_EQ(CsRLzcCompress(s.get(), INT32_MAX, data.data(), 0, out.data(), 8, CSR_OPT_NEW_STREAM, &r, &w),
            CSR_MORE_INPUT);
  // As a long stream leaves it: the next check is due, and some 13 KB of
  // codes will fill the table and pass 2^31 bytes made.
  s->in_count = 0x58000000;
  s->checkpoint = s->in_count;
  s->bytes_out = INT32_MAX - 2000;
  size_t pos = 0;
  while (s->checkpoint == 0x58000000 && pos < data.size()) {
    ASSERT_GE(CsRLzcCompress(s.get(), INT32_MAX, data.data() + pos, 1, out.data(), 64, 0, &r, &w), 0);
    pos += r;
  }
  ASSERT_GT(s->bytes_out, int64_t{INT32_MAX});
  EXPECT_EQ(s->free_ent, CSR_LZC_CODES) << "the first check after a full table keeps it";
  EXPECT_EQ(s->ratio, s->in_count / (s->bytes_out >> 8));
}

// `compress` outputs decode here, whole and in random pieces.
TEST(LzcDecompress, ReadsCompressOutput) {
  for (const Bytes& data : {Text(120000, 21), RandomBytes(100000, 22), Runs(90000, 23), Bytes{'q'}}) {
    for (const char* flags : {"-b14", "-b13", "-b10"}) {
      const Bytes stream = Cat(Cat(Le32(static_cast<uint32_t>(data.size())), {0x11}),
                               Tool(std::string("compress -c ") + flags, data));
      Result d = Drive(LzcDecompressor(), stream);
      EXPECT_EQ(d.rc, CSR_END_OF_STREAM) << flags;
      EXPECT_TRUE(d.out == data) << data.size() << " " << flags;
      d = Drive(LzcDecompressor(), stream, RandomSizes(5), RandomSizes(6));
      EXPECT_TRUE(d.out == data) << data.size() << " " << flags << " in pieces";
    }
  }
}

// The stream's bytes are taken exactly: nothing behind it, and a stream
// whose padding is missing ends on the call without input.
TEST(LzcDecompress, TakesExactlyTheStream) {
  // Without table resets (codes from 256 on) the 257th code makes the width
  // grow inside a group: the group is written whole, 63 bits of padding,
  // which gzip reads and we take.
  std::vector<std::pair<int, int>> lits;
  Bytes data;
  for (int i = 0; i < 257; ++i) lits.push_back({i * 7 % 256, 9}), data.push_back(static_cast<uint8_t>(i * 7));
  const Bytes z = Cat(Cat(Header(257, 0x11, 0x0D), Pack(lits)), Bytes(7, 0));
  ASSERT_EQ(z.size(), 8u + 297);
  EXPECT_TRUE(GzipDecode(z) == data);
  const Bytes trailed = Cat(z, {'T', 'R', 'A', 'I', 'L'});
  Result d = Drive(LzcDecompressor(), trailed, Seq({8, 150, 150}, 1000), Fixed(1000));
  EXPECT_TRUE(d.out == data);
  EXPECT_EQ(d.read, z.size());
  d = Drive(LzcDecompressor(), Bytes(z.begin(), z.end() - 5));  // padding cut short
  EXPECT_EQ(d.rc, CSR_END_OF_STREAM);
  EXPECT_TRUE(d.out == data);
  // A stream of length 0 ends before writing anything.
  d = Drive(LzcDecompressor(), Cat(Header(0, 0x11, 0x8D), Pack({{'z', 9}})));
  EXPECT_EQ(d.rc, CSR_END_OF_STREAM);
  EXPECT_TRUE(d.out.empty());
}

// Damaged headers and codes are refused, also in a work area that still
// holds the table of an earlier stream, and the stream stays refused.
TEST(LzcDecompress, RefusesBadHeadersAndCodes) {
  Coder lzc = LzcDecompressor();
  ExpectRefused(lzc, Compress(Text(5000, 41)), {
      {"magic", Cat(Cat(Le32(1), {0x11, 0x1E, 0x9D, 0x8D}), Pack({{'a', 9}})), CSR_E_HEADER},
      {"15 bits", Cat(Header(1, 0x11, 0x8F), Pack({{'a', 9}})), CSR_E_CODE_BITS},
      {"8 bits", Cat(Header(1, 0x11, 0x88), Pack({{'a', 9}})), CSR_E_CODE_BITS},
      {"first code 256", Cat(Header(5, 0x11, 0x8D), Pack({{256, 9}, {'a', 9}})), CSR_E_BAD_CODE},
      {"first code 300", Cat(Header(5, 0x11, 0x8D), Pack({{300, 9}})), CSR_E_BAD_CODE},
      {"beyond next", Cat(Header(5, 0x11, 0x8D), Pack({{'a', 9}, {'b', 9}, {259, 9}})), CSR_E_BAD_CODE},
      {"after CLEAR",
       Cat(Header(9, 0x11, 0x8D), Pack({{'a', 9}, {'b', 9}, {256, 9}, {0, 45}, {257, 9}})),
       CSR_E_BAD_CODE},
  });
  // The code right at the next free entry is the one valid code beyond the table.
  EXPECT_EQ(Drive(lzc, Cat(Header(4, 0x11, 0x8D), Pack({{'a', 9}, {257, 9}, {'b', 9}}))).out,
            (Bytes{'a', 'a', 'a', 'b'}));
}

// The code width a header names: 9 to 14 bits decode (9 never grows, 14
// reaches codes above 8191), 8 and 15 are refused. At 14 bits the code of
// the next entry is the previous string and its first byte again; a code
// beyond it is refused, and so is the stream after it.
TEST(LzcDecompress, CodeWidthsOfTheHeader) {
  std::vector<int> codes;
  Bytes data;
  for (int i = 0; i < 9000; ++i) codes.push_back(i * 7 % 256), data.push_back(static_cast<uint8_t>(i * 7));
  for (int bits : {9, 13, 14}) {
    SCOPED_TRACE(bits);
    const Bytes z = Cat(Header(9000, 0x11, static_cast<uint8_t>(0x80 | bits)), PackWidths(codes, bits));
    Result d = Drive(LzcDecompressor(), z);
    EXPECT_EQ(d.rc, CSR_END_OF_STREAM);
    EXPECT_TRUE(d.out == data);
    EXPECT_TRUE(Drive(LzcDecompressor(), z, RandomSizes(bits), RandomSizes(bits + 1)).out == data);
  }
  std::vector<int> kwk = codes;
  kwk.push_back(257 + 8999);
  Result d = Drive(LzcDecompressor(), Cat(Header(9002, 0x11, 0x8E), PackWidths(kwk, 14)));
  EXPECT_EQ(d.rc, CSR_END_OF_STREAM);
  EXPECT_TRUE(d.out == Cat(data, {data.back(), data.back()}));
  for (int beyond : {257 + 9000, 16383}) {
    std::vector<int> bad = codes;
    bad.push_back(beyond);
    bad.push_back('a');
    const Bytes z = Cat(Header(9005, 0x11, 0x8E), PackWidths(bad, 14));
    d = Drive(PoolDecompressor(), z, Fixed(100), Fixed(100));
    EXPECT_EQ(d.rc, CSR_E_BAD_CODE) << beyond;
    EXPECT_TRUE(std::equal(d.out.begin(), d.out.end(), data.begin()));
  }
  for (uint8_t param : {0x88, 0x8F, 0x08, 0x0F})
    EXPECT_EQ(Drive(PoolDecompressor(), Cat(Header(1, 0x11, param), Pack({{'a', 9}}))).rc, CSR_E_CODE_BITS);
}

// `compress -b14` streams of text, mixed binary and random data (whose
// table fills and is reset) through the handle pool, in the input pieces
// and output rooms of the block tests. Each stream needs its 14 bits: read
// as a 13-bit stream it does not decode.
TEST(LzcDecompress, FourteenBitStreamsInPieces) {
  for (const Bytes& data : {Text(100000, 61), Mixed(100000, 62), RandomBytes(40000, 63)}) {
    const Bytes z = Tool("compress -c -b14", data);
    const Bytes stream = Cat(Cat(Le32(static_cast<uint32_t>(data.size())), {0x11}), z);
    ASSERT_EQ(stream[7], 0x8E);
    Bytes as13 = stream;
    as13[7] = 0x8D;
    EXPECT_FALSE(Drive(LzcDecompressor(), as13).out == data);
    for (size_t room : {size_t{3}, size_t{1000}, size_t{1024}, size_t{1032}, size_t{4096}, data.size()}) {
      for (size_t piece : {1, 7, 4128, 0}) {
        SCOPED_TRACE("room " + std::to_string(room) + " piece " + std::to_string(piece));
        Result d = Drive(PoolDecompressor(), stream, piece ? Fixed(piece) : RandomSizes(room), Fixed(room));
        EXPECT_EQ(d.rc, CSR_END_OF_STREAM);
        EXPECT_EQ(d.read, stream.size());
        EXPECT_TRUE(d.out == data);
      }
    }
  }
}

// Flipped bits and cut streams never crash, never overrun the header's
// length, and end in an error, the end, or a request for more input.
TEST(LzcDecompress, DamagedStreamsAreSafe) {
  const Bytes data = Cat(Text(3000, 51), RandomBytes(500, 52));
  const Bytes z = Compress(data);
  std::mt19937 rng(53);
  int errors = 0;
  for (size_t bit = 0; bit < z.size() * 8; bit += 1 + rng() % (56 / tovtest::HeavyFactor() + 1)) {
    Bytes bad = z;
    bad[bit / 8] ^= static_cast<uint8_t>(1 << (bit % 8));
    Result d = Drive(LzcDecompressor(), bad, RandomSizes(static_cast<uint32_t>(bit)), Fixed(7000));
    EXPECT_LE(d.out.size(), bad[0] | bad[1] << 8 | bad[2] << 16 | size_t{bad[3]} << 24);
    errors += d.rc < 0;
  }
  EXPECT_GT(errors, 0);
  for (size_t cut = 8; cut < z.size(); cut += 1 + rng() % 40) {
    const Bytes cut_z(z.begin(), z.begin() + static_cast<std::ptrdiff_t>(cut));
    Result d = Drive(LzcDecompressor(), cut_z, RandomSizes(static_cast<uint32_t>(cut)), Fixed(5000));
    EXPECT_TRUE(d.rc == CSR_MORE_INPUT || (d.rc == CSR_END_OF_STREAM && d.out == data)) << cut;
    EXPECT_TRUE(std::equal(d.out.begin(), d.out.end(), data.begin())) << cut;
  }
}

}  // namespace
