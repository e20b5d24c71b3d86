// The LZH stream byte by byte: header and filler, the compressor's call
// protocol and overflow area, block choice and code lengths, the
// decompressor's resume points and window hand-out, and every error a
// damaged stream can raise.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <numeric>
#include <set>
#include <utility>

#include "compression/csr.h"
#include "lzh_test_util.h"

namespace {

using namespace lzhtest;

class LzhTest : public ::testing::Test {
 protected:
  void TearDown() override { CsRLzhISetFiller(-1, 0); }
};

// One call of the compressor with a fresh output buffer.
struct Call {
  int rc;
  unsigned read, written;
  Bytes out;
};
Call CompressCall(CsRLzhDeflateState* st, unsigned total, const uint8_t* in, unsigned inlen, unsigned room,
                  int options) {
  Call c{0, 99, 99, Bytes(room + 1, 0xEE)};
  uint8_t dummy = 0;
  c.rc = CsRLzhCompress(st, total, in ? in : &dummy, inlen, c.out.data(), room, options, &c.read, &c.written);
  EXPECT_EQ(c.out[room], 0xEE);
  c.out.resize(c.rc >= 0 ? c.written : 0);
  return c;
}
Call DecompressCall(CsRLzhInflateState* st, const uint8_t* in, unsigned inlen, unsigned room, int options) {
  Call c{0, 99, 99, Bytes(room + 1, 0xEE)};
  c.rc = CsRLzhDecompress(st, in, inlen, c.out.data(), room, static_cast<WEQ_RAW>(options), &c.read, &c.written);
  EXPECT_EQ(c.out[room], 0xEE);
  c.out.resize(c.rc >= 0 ? c.written : 0);
  return c;
}

// --- header, filler and the new-stream call ------------------------------------

// An empty stream is one fixed block holding only the end-of-block code:
// 2 bits n, n filler bits, BFINAL 1, BTYPE 01, seven zero bits, padding,
// then the extra zero byte. Expected bytes worked out by hand.
TEST_F(LzhTest, EmptyStreamBytes) {
  struct Case {
    int n;
    unsigned filler;
    Bytes body;
  } cases[] = {{0, 0, {0x0C, 0x00, 0x00}}, {3, 5, {0x77, 0x00, 0x00}}, {1, 1, {0x1D, 0x00, 0x00}}};
  auto st = NewDeflateState();
  for (const Case& c : cases) {
    CsRLzhISetFiller(c.n, c.filler);
    Call h = CompressCall(st.get(), 0, nullptr, 0, 8, 1 | 0x20);
    ASSERT_EQ(h.rc, CSR_OUTPUT_FULL);
    EXPECT_EQ(h.out, (Bytes{0, 0, 0, 0, 0x12, 0x1F, 0x9D, 2}));
    Call b = CompressCall(st.get(), 0, nullptr, 0, 100, 0);
    EXPECT_EQ(b.rc, CSR_END_OF_STREAM);
    EXPECT_EQ(b.read, 0u);
    EXPECT_EQ(b.out, c.body) << "n " << c.n;
    DecompressResult d = DecompressSimple(Bytes{0, 0, 0, 0, 0x12, 0x1F, 0x9D, 2, c.body[0], 0, 0});
    EXPECT_EQ(d.rc, 1);
    EXPECT_TRUE(d.data.empty());
  }
}

TEST_F(LzhTest, NewStreamCallOptions) {
  struct Case {
    int options;
    uint8_t algorithm, level;
  } cases[] = {{0x22, 0x12, 2}, {0x92, 0x12, 9}, {0xA2, 0x12, 2}, {0x02, 0x12, 2}, {0x12, 0x12, 1},
               {0x1A, 0x1A, 1}, {0x6A, 0x1A, 6}, {-0x70 | 2, 0x12, 2}};
  auto st = NewDeflateState();
  const Bytes data = Text(5000, 1);
  for (const Case& c : cases) {
    Call h = CompressCall(st.get(), 5000, nullptr, 0, 8, c.options | 1);
    ASSERT_EQ(h.rc, CSR_OUTPUT_FULL);
    EXPECT_EQ(h.read, 0u);
    EXPECT_EQ(h.out, (Bytes{0x88, 0x13, 0, 0, c.algorithm, 0x1F, 0x9D, c.level})) << c.options;
  }
  // With more room the new-stream call goes on compressing what it is given.
  Call all = CompressCall(st.get(), 5000, data.data(), 5000, 10000, 0x31);
  ASSERT_EQ(all.rc, CSR_END_OF_STREAM);
  EXPECT_EQ(all.read, 5000u);
  EXPECT_EQ(DecompressSimple(all.out).data, data);
  // Input beyond the total is not taken.
  all = CompressCall(st.get(), 100, data.data(), 5000, 10000, 0x31);
  ASSERT_EQ(all.rc, CSR_END_OF_STREAM);
  EXPECT_EQ(all.read, 100u);
  EXPECT_EQ(DecompressSimple(all.out).data, Bytes(data.begin(), data.begin() + 100));
}

TEST_F(LzhTest, NewStreamCallErrors) {
  auto st = NewDeflateState();
  EXPECT_EQ(CompressCall(st.get(), 10, nullptr, 0, 4, 0x21).rc, CSR_E_OUT_ROOM);
  EXPECT_EQ(CompressCall(st.get(), 10, nullptr, 0, 7, 0x21).rc, CSR_E_OUT_ROOM);
  EXPECT_EQ(CompressCall(st.get(), 0x80000000u, nullptr, 0, 8, 0x21).rc, CSR_E_TOTAL_LEN);
  EXPECT_EQ(CompressCall(st.get(), 0xFFFFFFFFu, nullptr, 0, 8, 0x21).rc, CSR_E_TOTAL_LEN);
  // Continuing calls on a state that never started a stream, whose start
  // failed, or that holds some other algorithm's bytes.
  EXPECT_EQ(CompressCall(st.get(), 10, nullptr, 0, 100, 0).rc, CSR_E_NO_STREAM);
  ASSERT_EQ(CompressCall(st.get(), 10, nullptr, 0, 8, 0x21).rc, CSR_OUTPUT_FULL);
  ASSERT_EQ(CompressCall(st.get(), 10, nullptr, 0, 7, 0x21).rc, CSR_E_OUT_ROOM);
  EXPECT_EQ(CompressCall(st.get(), 10, nullptr, 0, 100, 0).rc, CSR_E_NO_STREAM);
  std::memset(st.get(), 0x5A, sizeof(CsRLzhDeflateState));
  EXPECT_EQ(CompressCall(st.get(), 10, nullptr, 0, 100, 0).rc, CSR_E_NO_STREAM);
  // Lengths that stand for negative ints, and missing buffers.
  uint8_t buf[16] = {};
  unsigned rd, wr;
  EXPECT_EQ(CsRLzhCompress(st.get(), 10, buf, 0x80000000u, buf, 16, 0x21, &rd, &wr), CSR_E_IN_LEN);
  EXPECT_EQ(CsRLzhCompress(st.get(), 10, buf, 4, buf, 0x90000000u, 0x21, &rd, &wr), CSR_E_OUT_ROOM);
  EXPECT_EQ(CsRLzhCompress(st.get(), 10, nullptr, 4, buf, 16, 0x21, &rd, &wr), CSR_E_NULL_BUFFER);
  EXPECT_EQ(CsRLzhDecompress(nullptr, buf, 4, buf, 16, 0, &rd, &wr), CSR_E_NULL_BUFFER);
}

// Without a forced filler every count 0..3 turns up, each filler decodes
// the same, and two streams of the same input differ.
TEST_F(LzhTest, FillerFromTheGenerator) {
  const Bytes data = Text(3000, 5);
  std::set<int> counts;
  std::set<Bytes> streams;
  for (int i = 0; i < 64; ++i) {
    Bytes s = CompressSimple(data, 4);
    counts.insert(FillerCount(s));
    streams.insert(s);
    ASSERT_EQ(DecompressSimple(s).data, data);
  }
  EXPECT_EQ(counts, (std::set<int>{0, 1, 2, 3}));
  EXPECT_GT(streams.size(), 4u);
}

// --- the compressor's output ------------------------------------------------------

// A block that does not fit waits in the overflow area; later calls hand it
// out without taking input until it is empty.
TEST_F(LzhTest, OverflowAreaHandsOutInRoomSizedPieces) {
  CsRLzhISetFiller(0, 0);
  const Bytes data = Text(600, 8);
  auto st = NewDeflateState();
  ASSERT_EQ(CompressCall(st.get(), 600, nullptr, 0, 8, 0x61).rc, CSR_OUTPUT_FULL);
  Bytes stream = {0x58, 0x02, 0, 0, 0x12, 0x1F, 0x9D, 6};
  Call c = CompressCall(st.get(), 600, data.data(), 600, 16, 0);
  ASSERT_EQ(c.rc, CSR_OUTPUT_FULL);
  EXPECT_EQ(c.read, 600u);
  EXPECT_EQ(c.written, 16u);
  stream.insert(stream.end(), c.out.begin(), c.out.end());
  int calls = 0;
  for (;;) {
    c = CompressCall(st.get(), 600, data.data() + 600, 0, 16, 0);
    ++calls;
    stream.insert(stream.end(), c.out.begin(), c.out.end());
    EXPECT_EQ(c.read, 0u);
    if (c.rc != CSR_OUTPUT_FULL) break;
    EXPECT_EQ(c.written, 16u);
  }
  EXPECT_EQ(c.rc, CSR_END_OF_STREAM);
  EXPECT_GT(calls, 10);
  EXPECT_EQ(stream, CompressSimple(data, 6));
  // After the end a further call writes nothing and still reports the end.
  c = CompressCall(st.get(), 600, data.data(), 0, 16, 0);
  EXPECT_EQ(c.rc, CSR_END_OF_STREAM);
  EXPECT_EQ(c.written, 0u);
}

// The output depends on the input and the filler only: not on how the
// input is cut, and not on what an earlier stream left in the state.
TEST_F(LzhTest, OutputIndependentOfPiecesAndOldState) {
  CsRLzhISetFiller(2, 1);
  Bytes data = Runs(50000, 4);
  Bytes tail = Text(3000, 4);
  data.insert(data.end(), tail.begin(), tail.end());
  for (int level : {1, 5, 9}) {
    auto fresh = NewDeflateState();
    Bytes want = Compress(fresh.get(), data, level << 4, Fixed(1 << 20), Fixed(1 << 20)).stream;
    auto dirty = NewDeflateState();
    std::memset(dirty.get(), 0xA5, sizeof(CsRLzhDeflateState));
    Compress(dirty.get(), RandomBytes(70000, 1), level << 4, RandomSizes(1), RandomSizes(2));
    EXPECT_EQ(Compress(dirty.get(), data, level << 4, Fixed(1), RandomSizes(3)).stream, want) << level;
    EXPECT_EQ(Compress(dirty.get(), data, level << 4, RandomSizes(4), Fixed(7)).stream, want) << level;
  }
}

// With a first piece of one byte the hash of the first strings must not be
// built from a window byte that has not been read yet: "aBcdefgh" would then
// be taken as a copy of "abcdefgh".
TEST_F(LzhTest, FirstPieceOfOneByte) {
  const std::string text = "xabcdefgh1234QaB5678zzz9@#$QaBcdefgh%^&*";
  const Bytes data(text.begin(), text.end());
  for (int level = 1; level <= 9; ++level) {
    auto st = NewDeflateState();
    size_t first = 1;
    SizeFn pieces = [&first] { return std::exchange(first, 100); };
    CompressResult r = Compress(st.get(), data, level << 4, pieces, Fixed(100));
    ASSERT_EQ(r.rc, 1);
    EXPECT_EQ(DecompressSimple(r.stream).data, data) << "level " << level;
    EXPECT_EQ(ZlibInflate(ToRawDeflate(r.stream)).data, data) << "level " << level;
  }
}

// Tiny blocks go out with fixed codes, larger text with dynamic ones; no
// block is ever stored, not even for random bytes.
TEST_F(LzhTest, BlockTypes) {
  struct Case {
    Bytes data;
    int want;  // 1 fixed, 2 dynamic
  } cases[] = {{Bytes{'a'}, 1}, {Text(40, 1), 1}, {Text(20000, 2), 2}, {RandomBytes(50000, 3), 2}};
  for (const Case& c : cases) {
    ZlibInflateResult z = ZlibInflate(ToRawDeflate(CompressSimple(c.data, 6)));
    ASSERT_EQ(z.rc, Z_STREAM_END);
    ASSERT_FALSE(z.blocks.empty());
    EXPECT_EQ(z.blocks[0], c.want) << c.data.size();
    for (int t : z.blocks) EXPECT_NE(t, 0);
  }
}

// Literal frequencies that make the Huffman tree 16 deep: a Fibonacci
// chain 1, 2, 3, 5, ... 233 beside 60 symbols of 150 each. No 3-byte string
// occurs twice, so the compressor finds no match and the block holds
// exactly these literals. The code lengths must be cut to 15 and still form
// a complete code.
TEST_F(LzhTest, SkewedFrequenciesGiveFifteenBitCodes) {
  Bytes pool;
  uint32_t a = 1, b = 2;
  for (int sym = 0; sym < 12; ++sym) {
    pool.insert(pool.end(), a, static_cast<uint8_t>(sym));
    uint32_t next = a + b;
    a = b;
    b = next;
  }
  for (int sym = 12; sym < 72; ++sym) pool.insert(pool.end(), 150, static_cast<uint8_t>(sym * 3));
  std::mt19937 rng(7);
  std::shuffle(pool.begin(), pool.end(), rng);
  std::set<uint32_t> seen;
  for (size_t i = 2; i < pool.size(); ++i) {
    auto key = [&] { return static_cast<uint32_t>(pool[i - 2] << 16 | pool[i - 1] << 8 | pool[i]); };
    for (size_t tries = 0; seen.count(key()) && tries < 1000 && i + 1 < pool.size(); ++tries)
      std::swap(pool[i], pool[i + 1 + rng() % (pool.size() - i - 1)]);
    ASSERT_TRUE(seen.insert(key()).second);
  }
  const Bytes& data = pool;
  auto kraft = [](const std::vector<int>& lens) {
    double k = 0;
    for (int l : lens)
      if (l) k += std::ldexp(1.0, -l);
    return k;
  };
  for (int level : {1, 6, 9}) {
    Bytes s = CompressSimple(data, level);
    BlockLengths bl = FirstBlockLengths(ToRawDeflate(s));
    ASSERT_FALSE(bl.lit.empty());
    EXPECT_EQ(*std::max_element(bl.lit.begin(), bl.lit.end()), 15) << level;
    EXPECT_DOUBLE_EQ(kraft(bl.lit), 1.0);
    EXPECT_EQ(ZlibInflate(ToRawDeflate(s)).data, data);
    EXPECT_EQ(DecompressSimple(s).data, data);
  }
  // zlib's own 15-bit codes decode too.
  Bytes raw = ZlibDeflate(data, 9, Z_HUFFMAN_ONLY);
  BlockLengths zl = FirstBlockLengths(raw);
  ASSERT_FALSE(zl.lit.empty());
  EXPECT_EQ(*std::max_element(zl.lit.begin(), zl.lit.end()), 15);
  auto st = NewInflateState();
  EXPECT_EQ(Decompress(st.get(), FromRawDeflate(raw, static_cast<uint32_t>(data.size()), 9), Fixed(3), Fixed(5)).data,
            data);
}

// Long repeats give 258-byte matches and distances up to the farthest the
// compressor uses.
TEST_F(LzhTest, LongMatchesAndFarDistances) {
  Bytes unit = RandomBytes(16122, 9);
  Bytes data = unit;
  data.insert(data.end(), unit.begin(), unit.end());
  data.insert(data.end(), 5000, 'q');
  Bytes s = CompressSimple(data, 9);
  EXPECT_LT(s.size(), unit.size() + 500);
  EXPECT_EQ(DecompressSimple(s).data, data);
  EXPECT_EQ(ZlibInflate(ToRawDeflate(s)).data, data);
}

// Sizes against zlib at the same level and window: within a few percent.
TEST_F(LzhTest, SizesCloseToZlib) {
  Bytes data = Text(200000, 77);
  Bytes runs = Runs(100000, 78);
  data.insert(data.end(), runs.begin(), runs.end());
  for (int level : {4, 6, 9}) {
    double ours = static_cast<double>(CompressSimple(data, level).size());
    double zlib = static_cast<double>(ZlibDeflate(data, level, Z_DEFAULT_STRATEGY).size());
    EXPECT_LT(ours, zlib * 1.03) << level;
  }
}

// --- the decompressor: resume points and hand-out ----------------------------------

Bytes CraftedFixed(uint32_t length, const std::function<void(BitWriter&)>& body) {
  BitWriter w;
  w.Bits(0, 2);  // no filler
  body(w);
  Bytes bits = w.Finish();
  bits.push_back(0);
  return LzhStream(length, bits);
}

// 20000 equal bytes come out as one window of 16384 and, after the final
// block, the remaining 3616; with 1000 bytes of room every call hands out
// 1000 and the call that delivers the last byte ends the stream.
TEST_F(LzhTest, WindowHandOutInRoomSizedPieces) {
  const Bytes data(20000, 'z');
  const Bytes s = CompressSimple(data, 6);
  auto st = NewInflateState();
  ASSERT_EQ(DecompressCall(st.get(), s.data(), 8, 0, 1).rc, CSR_MORE_INPUT);
  Call c = DecompressCall(st.get(), s.data() + 8, static_cast<unsigned>(s.size() - 8), 1 << 16, 0);
  ASSERT_EQ(c.rc, CSR_END_OF_STREAM);
  EXPECT_EQ(c.out, data);

  ASSERT_EQ(DecompressCall(st.get(), s.data(), 8, 0, 1).rc, CSR_MORE_INPUT);
  size_t pos = 8;
  Bytes out;
  for (int i = 1; i <= 20; ++i) {
    c = DecompressCall(st.get(), s.data() + pos, static_cast<unsigned>(s.size() - pos), 1000, 0);
    pos += c.read;
    out.insert(out.end(), c.out.begin(), c.out.end());
    EXPECT_EQ(c.written, 1000u) << i;
    EXPECT_EQ(c.rc, i < 20 ? CSR_OUTPUT_FULL : CSR_END_OF_STREAM) << i;
  }
  EXPECT_EQ(out, data);
  EXPECT_EQ(pos, s.size());
}

TEST_F(LzhTest, FillerFromAOneByteCall) {
  CsRLzhISetFiller(3, 6);
  const Bytes data = Text(1000, 3);
  const Bytes s = CompressSimple(data, 5);
  auto st = NewInflateState();
  ASSERT_EQ(DecompressCall(st.get(), s.data(), 8, 0, 1).rc, CSR_MORE_INPUT);
  Call c = DecompressCall(st.get(), s.data() + 8, 1, 100, 0);
  EXPECT_EQ(c.rc, CSR_MORE_INPUT);
  EXPECT_EQ(c.read, 1u);
  // A call without input neither fails nor takes anything.
  c = DecompressCall(st.get(), s.data() + 9, 0, 100, 0);
  EXPECT_EQ(c.rc, CSR_MORE_INPUT);
  EXPECT_EQ(c.read, 0u);
  c = DecompressCall(st.get(), s.data() + 9, static_cast<unsigned>(s.size() - 9), 5000, 0);
  EXPECT_EQ(c.rc, CSR_END_OF_STREAM);
  EXPECT_EQ(c.read, s.size() - 9);
  EXPECT_EQ(c.out, data);
  // The whole stream in the new-stream call, trailing bytes included: all
  // of it counts as read.
  Bytes more = s;
  more.insert(more.end(), {0, 0, 7});
  c = DecompressCall(st.get(), more.data(), static_cast<unsigned>(more.size()), 5000, 1);
  EXPECT_EQ(c.rc, CSR_END_OF_STREAM);
  EXPECT_EQ(c.read, more.size());
  EXPECT_EQ(c.out, data);
}

// A distance of exactly 16384 copies the byte at the write position, as
// zlib (with its larger window) agrees.
TEST_F(LzhTest, DistanceOfAWholeWindow) {
  const Bytes lits = RandomBytes(16384, 12);
  Bytes s = CraftedFixed(16384 + 300, [&](BitWriter& w) {
    w.Bits(1, 1);
    w.Bits(1, 2);
    for (uint8_t b : lits) w.FixedLitLen(b);
    w.FixedMatch(258, 16384);
    w.FixedMatch(42, 16384);
    w.FixedLitLen(256);
  });
  Bytes want = lits;
  want.insert(want.end(), lits.begin(), lits.begin() + 300);
  auto st = NewInflateState();
  DecompressResult r = Decompress(st.get(), s, RandomSizes(5), RandomSizes(6));
  ASSERT_EQ(r.rc, 1);
  EXPECT_EQ(r.data, want);
  EXPECT_EQ(ZlibInflate(ToRawDeflate(s)).data, want);
}

// Whatever the header's length says, the stream ends with the final
// block: bytes behind it are never read as another block, also when the
// final hand-out spans several calls.
TEST_F(LzhTest, NothingIsDecodedAfterTheFinalBlock) {
  const Bytes data = Text(20000, 21);
  Bytes s = CompressSimple(data, 6);
  s.insert(s.end(), {0xFF, 0xFF, 0x07, 0x00, 0xFF});  // would be a stored block, then garbage
  for (uint32_t length : {20000u, 20001u, 100000u, 0x7FFFFFFFu}) {
    for (int k = 0; k < 4; ++k) s[k] = static_cast<uint8_t>(length >> (8 * k));
    for (size_t room : {1000u, 7u, 1u << 16}) {
      auto st = NewInflateState();
      DecompressResult r = Decompress(st.get(), s, Fixed(1 << 20), Fixed(room));
      EXPECT_EQ(r.rc, 1) << length << " room " << room;
      EXPECT_EQ(r.data, data) << length << " room " << room;
    }
  }
}

// --- the decompressor: damaged streams ------------------------------------------------

struct ErrorCase {
  const char* what;
  std::function<Bytes()> stream;
  int rc;
};

Bytes FixedBlock(uint32_t length, const std::function<void(BitWriter&)>& symbols) {
  return CraftedFixed(length, [&](BitWriter& w) {
    w.Bits(1, 1);
    w.Bits(1, 2);
    symbols(w);
  });
}

Bytes Dynamic(const std::vector<int>& lit, const std::vector<int>& dist, const std::vector<int>& cl,
              const std::function<void(BitWriter&, const DynamicCodes&)>& codes = nullptr) {
  return CraftedFixed(100, [&](BitWriter& w) {
    DynamicCodes dc = WriteDynamicHeader(w, true, lit, dist, cl);
    if (codes) codes(w, dc);
  });
}

// Code lengths for all 19 code-length symbols: 4 bits each for 0..15, so
// that 16..18 have no code (a complete code of 16 symbols).
std::vector<int> PlainCl() {
  std::vector<int> cl(19, 0);
  for (int i = 0; i < 16; ++i) cl[i] = 4;
  return cl;
}
// A complete literal/length code over 0..257: 254 codes of 8 bits and
// 4 of 9 bits.
std::vector<int> CompleteLit() {
  std::vector<int> lit(258, 8);
  lit[254] = lit[255] = lit[256] = lit[257] = 9;
  return lit;
}

TEST_F(LzhTest, DamagedStreams) {
  auto header_with = [](std::initializer_list<uint8_t> h) { return Bytes(h); };
  const std::vector<int> lit = CompleteLit();
  const std::vector<int> dist2 = {1, 1};
  const ErrorCase cases[] = {
      {"bad magic", [&] { return header_with({5, 0, 0, 0, 0x12, 0x1F, 0x9C, 2, 0}); }, CSR_E_HEADER},
      {"negative length", [&] { return header_with({0, 0, 0, 0x80, 0x12, 0x1F, 0x9D, 2, 0}); }, CSR_E_HEADER},
      {"stored block", [&] { return CraftedFixed(5, [](BitWriter& w) { w.Bits(1, 1); w.Bits(0, 2); }); },
       CSR_E_BLOCK_TYPE},
      {"block type 3", [&] { return CraftedFixed(5, [](BitWriter& w) { w.Bits(0, 1); w.Bits(3, 2); }); },
       CSR_E_BLOCK_TYPE},
      {"287 literal/length codes",
       [&] { return CraftedFixed(5, [](BitWriter& w) { w.Bits(1, 1); w.Bits(2, 2); w.Bits(30, 5); w.Bits(0, 5); w.Bits(0, 4); }); },
       CSR_E_ALPHABET},
      {"31 distance codes",
       [&] { return CraftedFixed(5, [](BitWriter& w) { w.Bits(1, 1); w.Bits(2, 2); w.Bits(0, 5); w.Bits(30, 5); w.Bits(0, 4); }); },
       CSR_E_ALPHABET},
      {"code-length codes all zero", [&] { return Dynamic(lit, dist2, std::vector<int>(19, 0)); },
       CSR_E_CODE_LENGTHS},
      {"code-length code over-subscribed",
       [&] { std::vector<int> cl = PlainCl(); cl[0] = 1; cl[1] = 1; cl[2] = 1; return Dynamic(lit, dist2, cl); },
       CSR_E_CODE_LENGTHS},
      {"code-length code incomplete",
       [&] { std::vector<int> cl = PlainCl(); cl[15] = 0; return Dynamic(lit, dist2, cl); }, CSR_E_CODE_LENGTHS},
      {"literal/length code over-subscribed",
       [&] { std::vector<int> l = lit; l[0] = 1; return Dynamic(l, dist2, PlainCl()); }, CSR_E_CODE_LENGTHS},
      {"literal/length code incomplete",
       [&] { std::vector<int> l = lit; l[257] = 0; return Dynamic(l, dist2, PlainCl()); }, CSR_E_CODE_LENGTHS},
      {"literal/length lengths all zero",
       [&] { return Dynamic(std::vector<int>(257, 0), dist2, PlainCl()); }, CSR_E_CODE_LENGTHS},
      {"distance lengths all zero", [&] { return Dynamic(lit, {0}, PlainCl()); }, CSR_E_CODE_LENGTHS},
      {"distance code incomplete", [&] { return Dynamic(lit, {1, 2}, PlainCl()); }, CSR_E_CODE_LENGTHS},
      {"repeat past the declared count",
       [&] {
         std::vector<int> cl = PlainCl();
         cl[15] = 5;
         cl[18] = 5;
         return CraftedFixed(5, [&](BitWriter& w) {
           std::vector<int> l = lit;
           w.Bits(1, 1);
           w.Bits(2, 2);
           w.Bits(1, 5);
           w.Bits(1, 5);
           w.Bits(15, 4);
           static const int kOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
           for (int i = 0; i < 19; ++i) w.Bits(static_cast<uint32_t>(cl[kOrder[i]]), 3);
           std::vector<uint32_t> codes = CanonicalCodes(cl);
           for (int i = 0; i < 250; ++i) w.Code(codes[8], cl[8]);
           w.Code(codes[18], cl[18]);  // 11 zeros where 10 lengths remain
           w.Bits(0, 7);
         });
       },
       CSR_E_BAD_CODE},
      {"fixed literal/length code 286", [&] { return FixedBlock(5, [](BitWriter& w) { w.FixedLitLen(286); }); },
       CSR_E_BAD_CODE},
      {"fixed literal/length code 287", [&] { return FixedBlock(5, [](BitWriter& w) { w.FixedLitLen(287); }); },
       CSR_E_BAD_CODE},
      {"fixed distance code 30",
       [&] { return FixedBlock(5, [](BitWriter& w) { w.FixedLitLen('a'); w.FixedLitLen(257); w.FixedDist(30); }); },
       CSR_E_BAD_CODE},
      {"fixed distance code 31",
       [&] { return FixedBlock(5, [](BitWriter& w) { w.FixedLitLen('a'); w.FixedLitLen(257); w.FixedDist(31); }); },
       CSR_E_BAD_CODE},
      {"distance before the stream's start",
       [&] { return FixedBlock(5, [](BitWriter& w) { w.FixedMatch(5, 1); }); }, CSR_E_BAD_CODE},
      {"distance beyond the data decoded",
       [&] {
         return FixedBlock(500, [](BitWriter& w) {
           for (int i = 0; i < 100; ++i) w.FixedLitLen(i);
           w.FixedMatch(10, 101);
         });
       },
       CSR_E_BAD_CODE},
      {"distance beyond the window",
       [&] {
         return FixedBlock(40000, [](BitWriter& w) {
           for (int i = 0; i < 20000; ++i) w.FixedLitLen(i & 0xFF);
           w.FixedMatch(10, 16385);
         });
       },
       CSR_E_BAD_CODE},
      {"distance code 29",
       [&] {
         return FixedBlock(40000, [](BitWriter& w) {
           for (int i = 0; i < 30000; ++i) w.FixedLitLen(i & 0xFF);
           w.FixedMatch(10, 24577);
         });
       },
       CSR_E_BAD_CODE},
  };
  for (const ErrorCase& c : cases) {
    Bytes s = c.stream();
    // Whole, and in single bytes with single-byte rooms.
    for (int pieces = 0; pieces < 2; ++pieces) {
      auto st = NewInflateState();
      DecompressResult r = pieces ? Decompress(st.get(), s, Fixed(1), Fixed(1))
                                  : Decompress(st.get(), s, Fixed(1 << 20), Fixed(1 << 20));
      EXPECT_EQ(r.rc, c.rc) << c.what << (pieces ? " in pieces" : "");
      // The error stays: a further call reports it again.
      if (r.rc < 0 && r.rc != CSR_E_HEADER) {
        uint8_t buf[4];
        unsigned rd, wr;
        EXPECT_EQ(CsRLzhDecompress(st.get(), s.data(), 1, buf, 4, 0, &rd, &wr), c.rc) << c.what;
      }
    }
  }
}

TEST_F(LzhTest, CallErrors) {
  auto st = NewInflateState();
  const Bytes s = CompressSimple(Text(100, 1), 2);
  uint8_t buf[16];
  unsigned rd, wr;
  EXPECT_EQ(CsRLzhDecompress(st.get(), s.data(), 7, buf, 16, 1, &rd, &wr), CSR_E_IN_LEN);
  EXPECT_EQ(CsRLzhDecompress(st.get(), s.data(), 0, buf, 0, 1, &rd, &wr), CSR_E_NO_DATA);
  // Never started, other bytes in the state, or a start that failed: no
  // stream to continue.
  auto idle = NewInflateState();
  EXPECT_EQ(CsRLzhDecompress(idle.get(), s.data(), 4, buf, 16, 0, &rd, &wr), CSR_E_NO_STREAM);
  std::memset(idle.get(), 0x5A, sizeof(CsRLzhInflateState));
  EXPECT_EQ(CsRLzhDecompress(idle.get(), s.data(), 4, buf, 16, 0, &rd, &wr), CSR_E_NO_STREAM);
  Bytes bad = s;
  bad[5] = 0;
  ASSERT_EQ(CsRLzhDecompress(st.get(), s.data(), 8, buf, 0, 1, &rd, &wr), CSR_MORE_INPUT);
  EXPECT_EQ(CsRLzhDecompress(st.get(), bad.data(), 8, buf, 0, 1, &rd, &wr), CSR_E_HEADER);
  EXPECT_EQ(CsRLzhDecompress(st.get(), s.data() + 8, 4, buf, 16, 0, &rd, &wr), CSR_E_NO_STREAM);
  ASSERT_EQ(CsRLzhDecompress(st.get(), s.data(), 8, buf, 0, 1, &rd, &wr), CSR_MORE_INPUT);
  EXPECT_EQ(CsRLzhDecompress(st.get(), s.data() + 8, 0, buf, 0, 0, &rd, &wr), CSR_E_NO_DATA);
  EXPECT_EQ(CsRLzhDecompress(st.get(), s.data() + 8, 0x80000000u, buf, 1, 0, &rd, &wr), CSR_E_IN_LEN);
  EXPECT_EQ(CsRLzhDecompress(st.get(), s.data() + 8, 1, buf, 0x80000000u, 0, &rd, &wr), CSR_E_OUT_ROOM);
  EXPECT_EQ(CsRLzhDecompress(st.get(), nullptr, 1, buf, 1, 0, &rd, &wr), CSR_E_NULL_BUFFER);
}

// A new stream starts with an empty history: a first match that reaches
// back is refused, not filled from the previous stream's window.
TEST_F(LzhTest, NoHistoryFromAnEarlierStream) {
  auto st = NewInflateState();
  ASSERT_EQ(Decompress(st.get(), CompressSimple(Text(30000, 2), 6), Fixed(999), Fixed(1 << 20)).rc, 1);
  Bytes s = FixedBlock(10, [](BitWriter& w) { w.FixedMatch(10, 5); });
  EXPECT_EQ(Decompress(st.get(), s, Fixed(1 << 20), Fixed(1 << 20)).rc, CSR_E_BAD_CODE);
}

// The table pool's bound: with the pool nearly used up, the next table of
// the block does not fit.
TEST_F(LzhTest, TablePoolExhausted) {
  const Bytes s = CompressSimple(Text(20000, 30), 6);
  auto st = NewInflateState();
  unsigned rd, wr;
  Bytes out(1 << 16);
  ASSERT_EQ(CsRLzhDecompress(st.get(), s.data(), 8, out.data(), 0, 1, &rd, &wr), CSR_MORE_INPUT);
  // Two bytes: the filler count and the first block header, not yet the
  // code-length codes.
  ASSERT_EQ(CsRLzhDecompress(st.get(), s.data() + 8, 2, out.data(), 0, 0, &rd, &wr), CSR_MORE_INPUT);
  st->pool_used = lzh::kTablePoolSize - 100;
  EXPECT_EQ(CsRLzhDecompress(st.get(), s.data() + 10, static_cast<unsigned>(s.size() - 10), out.data(),
                             static_cast<unsigned>(out.size()), 0, &rd, &wr),
            CSR_E_TABLE_SPACE);
}

}  // namespace
