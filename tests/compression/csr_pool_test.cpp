// The handle pool and its calls: handles and their exhaustion, the rule that
// keeps or frees a closed handle's work area, failed allocations, every error
// code a caller can meet, and block-mode streams checked block by block
// against zlib's crc32.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <tuple>

#include "compression/csr.h"
#include "compression/csr_pool_int.h"
#include "csr_test_util.h"

namespace {

using namespace csrtest;

class PoolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    InitThreads();
    CsRLzhISetFiller(1, 1);  // LZH streams comparable from run to run
  }
  void TearDown() override {
    CsRISetAllocHook(nullptr);
    CsRLzhISetFiller(-1, 0);
  }
};

int Get() {
  int h = 0;
  EXPECT_EQ(CsRGetHandle(&h), 0);
  return h;
}

// Handles lowest first until all 498 are taken. Closing what is not a taken
// handle changes nothing.
TEST_F(PoolTest, HandlesLowestFirstAndCloses) {
  for (int i = 0; i < 498; ++i) ASSERT_EQ(Get(), 302 + i);  // 300 and 301 are never handed out
  int h = 0;
  EXPECT_EQ(CsRGetHandle(&h), CSR_E_NO_HANDLE);
  EXPECT_EQ(h, CSR_E_NO_HANDLE);
  EXPECT_EQ(CsRGetHandle(nullptr), CSR_E_HANDLE);
  for (int x : {600, 500, 299, 300, 301, 800, -1, INT_MIN, INT_MAX}) CsRCloseHandle(x);
  EXPECT_EQ(Get(), 500);
  EXPECT_EQ(Get(), 600);
  EXPECT_EQ(CsRGetHandle(&h), CSR_E_NO_HANDLE);
  for (int i = 302; i < 800; ++i) CsRCloseHandle(i);
}

// A closed handle's work area stays with its slot when the slot below has
// one, the slot has been handed out 10 times or more, and (beyond the first
// 256 handles of the pool) at least once in 128 handles; else it is freed.
TEST_F(PoolTest, WorkAreaKeptOrFreedOnClose) {
  const int a = Get(), b = Get();
  CsRISetAllocCount(0x80000000u);  // the counters start over at this limit
  int h = Get();
  EXPECT_EQ(CsRIAllocCount(), 1u);
  EXPECT_EQ(CsRIUseCount(a - 300) + CsRIUseCount(b - 300), 0u);
  EXPECT_EQ(CsRIUseCount(h - 300), 1u);
  for (int x : {a, b, h}) CsRCloseHandle(x);
  for (int i = 0; i < 12; ++i) CsRCloseHandle(Get());
  EXPECT_FALSE(CsRIHasWorkArea(2));  // no slot below it with a work area
  const int low = Get();
  for (uint32_t use = 1; use <= 12; ++use) {  // slot 3: freed for 9 uses, kept from the 10th
    ASSERT_EQ(h = Get(), 303);
    EXPECT_EQ(CsRIUseCount(3), use);
    CsRCloseHandle(h);
    EXPECT_EQ(CsRIHasWorkArea(3), use >= 10) << "use " << use;
  }
  // A second close of a free slot decides nothing, whatever the counts.
  CsRISetAllocCount(1u << 30);
  CsRCloseHandle(303);
  EXPECT_TRUE(CsRIHasWorkArea(3));
  // A kept work area is handed out again without an allocation, and
  // without the stream it had.
  CsRISetAllocHook([](size_t) -> void* { return nullptr; });
  h = Get();
  Bytes buf(64);
  int r = 0, w = 0;
  EXPECT_EQ(CsRCompress(h, 10, buf.data(), 1, buf.data() + 8, 32, 0, &r, &w), CSR_E_NO_STREAM);
  CsRISetAllocHook(nullptr);
  // Handed out 13, 14 and 15 times: below a share of 1/128, a share of 1/128
  // exactly, and 256 handles in all, where 10 uses are enough.
  const std::pair<uint32_t, bool> shares[] = {{13 * 128 + 128, false}, {14 * 128, true}, {256, true}};
  for (auto [count, kept] : shares) {
    CsRISetAllocCount(count);
    CsRCloseHandle(h);
    EXPECT_EQ(CsRIHasWorkArea(3), kept) << count;
    h = Get();
  }
  CsRCloseHandle(low);
  CsRCloseHandle(h);  // without a work area below, nothing is kept
  EXPECT_FALSE(CsRIHasWorkArea(2) || CsRIHasWorkArea(3));
}

// A work area that cannot be allocated leaves its slot free for the next
// caller; a block buffer that cannot be allocated leaves no stream.
TEST_F(PoolTest, FailedAllocations) {
  const int a = Get();
  CsRISetAllocHook([](size_t n) -> void* { return n >= sizeof(CSR_WORKAREA) ? nullptr : malloc(n); });
  int h = 0;
  EXPECT_EQ(CsRGetHandle(&h), CSR_E_NO_MEMORY);
  EXPECT_EQ(h, CSR_E_NO_MEMORY);
  CsRISetAllocHook(nullptr);
  EXPECT_EQ(h = Get(), a + 1);
  Bytes buf(64);
  int r = 0, w = 0;
  CsRISetAllocHook([](size_t n) -> void* { return n < sizeof(CSR_WORKAREA) ? nullptr : malloc(n); });
  for (int alg : {CSR_OPT_LZC, CSR_OPT_LZH}) {
    EXPECT_EQ(CsRInitCompress(h, buf.data(), 10, alg | CSR_OPT_BLOCK), CSR_E_NO_MEMORY);
    EXPECT_EQ(CsRCompress(h, 10, buf.data() + 32, 10, buf.data(), 32, 0, &r, &w), CSR_E_NO_STREAM);
  }
  EXPECT_EQ(CsRInitDecompress(h, Header(1, 0x19, 0x8D).data()), CSR_E_NO_MEMORY);
  EXPECT_EQ(CsRDecompress(h, buf.data(), 10, buf.data() + 32, 32, 0, &r, &w), CSR_E_NO_STREAM);
  CsRCloseHandle(a);
  CsRCloseHandle(h);
}

// The header that CsRInitCompress writes (LZC: 13 bits with resets; LZH: the
// level, where level bits outside 1..9 mean 2), and input beyond the total
// length that is never taken.
TEST_F(PoolTest, HeaderAndTotalLength) {
  const std::tuple<int, uint8_t, uint8_t> cases[] = {  // options, then the header's bytes 4 and 7
      {CSR_OPT_LZC, 0x11, 0x8D},     {CSR_OPT_LZC | CSR_OPT_BLOCK | 0x50, 0x19, 0x8D},
      {CSR_OPT_LZH, 0x12, 2},        {CSR_OPT_LZH | 0x10, 0x12, 1},
      {CSR_OPT_LZH | 0x90, 0x12, 9}, {CSR_OPT_LZH | 0xA0, 0x12, 2},
      {CSR_OPT_LZH | CSR_OPT_BLOCK | 0x50, 0x1A, 5}, {CSR_OPT_LZH | -16, 0x12, 2},  // level bits -1
  };
  const int h = Get();
  for (auto [options, alg, param] : cases) {
    Bytes out(8);
    ASSERT_EQ(CsRInitCompress(h, out.data(), 0x01020304, options), 0) << options;
    EXPECT_EQ(out, Header(0x01020304, alg, param)) << options;
  }
  CsRCloseHandle(h);
  const Bytes data = Text(1000, 9);
  for (int alg : {CSR_OPT_LZC, CSR_OPT_LZH}) {
    Result c = Drive(PoolCompressor(600, alg), data);
    EXPECT_EQ(c.read, 600u);
    EXPECT_TRUE(Drive(PoolDecompressor(), c.out).out == Bytes(data.begin(), data.begin() + 600)) << alg;
  }
}

// Each error code through the pool's calls, on a fresh handle.
TEST_F(PoolTest, EveryReachableErrorCode) {
  uint8_t b[4096], o[4096];
  int r = 0, w = 0;
  const Bytes text = Text(3000, 2);
  const Bytes lzc = Drive(PoolCompressor(3000, CSR_OPT_LZC), text).out;
  const Bytes lzh = Drive(PoolCompressor(3000, CSR_OPT_LZH), text).out;
  const Bytes framed = Drive(PoolCompressor(3000, CSR_OPT_LZC | CSR_OPT_BLOCK), text).out;
  // The calls: a new compression stream, a compression or decompression
  // call, a new decompression stream from a header or from a whole stream.
  auto start = [&](int h, int opt, int room) { return CsRCompress(h, 3000, b, 0, o, room, opt | 1, &r, &w); };
  auto c = [&](int h, const uint8_t* p, int n, int m) { return CsRCompress(h, 3000, p, n, o, m, 0, &r, &w); };
  auto d = [&](int h, const uint8_t* p, int n, int m) { return CsRDecompress(h, p, n, o, m, 0, &r, &w); };
  auto head = [&](int h, const Bytes& s) { return CsRInitDecompress(h, s.data()); };
  auto whole = [&](int h, const Bytes& s, int room = 4096) {
    return CsRDecompress(h, s.data(), static_cast<int>(s.size()), o, room, 1, &r, &w);
  };
  // Streams started on the handle, which they return.
  auto lzc_c = [&](int h) { return start(h, CSR_OPT_LZC, 8), h; };
  auto lzh_c = [&](int h) { return start(h, CSR_OPT_LZH, 8), h; };
  auto lzc_d = [&](int h) { return CsRDecompress(h, lzc.data(), 8, o, 100, 1, &r, &w), h; };  // 3, not 2
  auto lzh_d = [&](int h) { return head(h, lzh), h; };
  // An LZH stream without filler, from BFINAL and BTYPE on.
  auto block = [](int type) { return BitWriter().Bits(0, 2).Bits(1, 1).Bits(type, 2); };
  const struct {
    const char* what;
    int expected;
    std::function<int(int h)> run;
  } cases[] = {
      {"handle 800", CSR_E_HANDLE, [&](int) { return CsRInitCompress(800, o, 10, 0); }},
      {"handle INT_MIN", CSR_E_HANDLE, [&](int) { return d(INT_MIN, b, 10, 100); }},
      {"closed handle", CSR_E_HANDLE, [&](int h) { return CsRCloseHandle(h), c(h, b, 10, 100); }},
      {"empty room twice after output full", CSR_E_OUTLEN_REPEAT,
       [&](int h) { return whole(h, lzc, 100), d(h, b, 0, 0), d(h, b, 0, 0); }},
      {"LZH compression without input twice", CSR_E_NO_PROGRESS,
       [&](int h) { return c(lzh_c(h), text.data(), 1000, 4096), c(h, b, 0, 4096); }},
      {"LZH decompression without input", CSR_E_NO_PROGRESS, [&](int h) { return d(lzh_d(h), b, 0, 9); }},
      {"compression room below 8", CSR_E_OUT_ROOM, [&](int h) { return start(h, 0, 4); }},
      {"LZH compression room negative", CSR_E_OUT_ROOM, [&](int h) { return c(lzh_c(h), b, 10, -1); }},
      {"LZC decompression room 0", CSR_E_OUT_ROOM, [&](int h) { return d(lzc_d(h), lzc.data() + 8, 10, 0); }},
      {"header of 7 bytes", CSR_E_IN_LEN, [&](int h) { return CsRDecompress(h, b, 7, o, 100, 1, &r, &w); }},
      {"LZH input length negative", CSR_E_IN_LEN, [&](int h) { return d(lzh_d(h), b, -5, 100); }},
      {"LZC total 0", CSR_E_TOTAL_LEN, [&](int h) { return CsRInitCompress(h, o, 0, CSR_OPT_LZC); }},
      {"LZH total negative", CSR_E_TOTAL_LEN, [&](int h) { return CsRInitCompress(h, o, -1, CSR_OPT_LZH); }},
      {"LZC input is output", CSR_E_SAME_BUFFER, [&](int h) { return c(lzc_c(h), o, 10, 100); }},
      {"header missing", CSR_E_NULL_BUFFER, [&](int h) { return CsRInitDecompress(h, nullptr); }},
      {"no read count", CSR_E_NULL_BUFFER, [&](int h) { return CsRCompress(h, 1, b, 1, o, 9, 1, 0, &w); }},
      {"LZH input missing", CSR_E_NULL_BUFFER, [&](int h) { return d(lzh_d(h), nullptr, 1, 100); }},
      {"LZH no input and no room", CSR_E_NO_DATA, [&](int h) { return d(lzh_d(h), b, 0, 0); }},
      {"algorithm 4, also later", CSR_E_ALGORITHM, [&](int h) { return start(h, 4, 8), c(h, b, 1, 9); }},
      {"header algorithm 3", CSR_E_ALGORITHM, [&](int h) { return head(h, Header(5, 0x13, 0x8D)); }},
      {"decompression without a stream", CSR_E_ALGORITHM, [&](int h) { return d(h, b, 10, 100); }},
      {"LZH stored block", CSR_E_BLOCK_TYPE, [&](int h) { return whole(h, block(0).Lzh(10)); }},
      {"LZH 287 codes", CSR_E_ALPHABET, [&](int h) { return whole(h, block(2).Bits(30, 14).Lzh(9)); }},
      {"LZH empty CL code", CSR_E_CODE_LENGTHS, [&](int h) { return whole(h, block(2).Bits(0, 26).Lzh(9)); }},
      {"LZH code 286", CSR_E_BAD_CODE, [&](int h) { return whole(h, block(1).Lit(286).Lzh(9)); }},
      {"bad magic", CSR_E_HEADER, [&](int h) { return head(h, Cat(Le32(5), {0x11, 0x1F, 0x9E, 0x8D})); }},
      {"LZC 15 code bits", CSR_E_CODE_BITS, [&](int h) { return head(h, Header(5, 0x11, 0x8F)); }},
      {"block CRC", CSR_E_CRC, [&](int h) {
         Bytes bad = framed;
         bad[20] ^= 0x40;
         return whole(h, bad);
       }},
      {"compression after the end of a block-mode stream", CSR_E_NO_STREAM, [&](int h) {
         start(h, CSR_OPT_LZC | CSR_OPT_BLOCK, 8);
         EXPECT_EQ(CsRCompress(h, 3000, text.data(), 3000, o, 4096, 0, &r, &w), CSR_END_OF_STREAM);
         return c(h, text.data(), 10, 100);
       }},
      {"decompression after the end of a block-mode stream", CSR_E_NO_STREAM, [&](int h) {
         EXPECT_EQ(whole(h, framed), CSR_END_OF_STREAM);
         EXPECT_EQ(d(h, b, 0, 4096), CSR_END_OF_STREAM);
         return d(h, b, 1, 4096);
       }},
      {"compression without a stream", CSR_E_NO_STREAM, [&](int h) { return c(h, b, 10, 100); }},
      {"after a failed start", CSR_E_NO_STREAM, [&](int h) { return start(h, 2, 4), c(h, b, 1, 9); }},
      {"compression on a decompression stream", CSR_E_NO_STREAM, [&](int h) { return c(lzh_d(h), b, 1, 9); }},
  };
  for (const auto& k : cases) {
    int h = Get();
    EXPECT_EQ(k.run(h), k.expected) << k.what;
    CsRCloseHandle(h);
  }
}

// Streams left unfinished, by a new stream on the handle or by a close,
// release what their framing held (the leak checker of the sanitizer builds
// sees any rest), and the next stream runs as if none had been.
TEST_F(PoolTest, AbandonedStreamsLeaveNothingBehind) {
  const Bytes plain = Mixed(8000, 4);
  const Bytes z = Drive(PoolCompressor(8000, CSR_OPT_LZH | CSR_OPT_BLOCK), plain).out;
  Bytes out(8000);
  int r = 0, w = 0;
  for (int round = 0; round < 12; ++round) {
    const int h = Get();
    ASSERT_EQ(CsRInitCompress(h, out.data(), 8000, CSR_OPT_LZC | CSR_OPT_BLOCK), 0);
    ASSERT_GE(CsRCompress(h, 8000, plain.data(), 3000, out.data(), 500, 0, &r, &w), 0);
    ASSERT_EQ(CsRInitDecompress(h, z.data()), 0);
    ASSERT_GE(CsRDecompress(h, z.data() + 8, 100, out.data(), 8000, 0, &r, &w), 0);
    CsRCloseHandle(h);
  }
  EXPECT_TRUE(Drive(PoolDecompressor(), z).out == plain);
}

// --- Block mode -----------------------------------------------------------------

class FrameTest : public PoolTest, public ::testing::WithParamInterface<int> {
 protected:
  ~FrameTest() override { CsRCloseHandle(held_); }
  // Every block's CRC is the register over the stream header and the
  // payloads up to its end; the trailer holds the length and register of the
  // data; the payloads joined are the algorithm's own stream of the data.
  static void ExpectFraming(const Bytes& stream, const Bytes& plain, int alg, size_t max_payload) {
    const Framed f = Parse(stream);
    uLong crc = crc32(0, f.header.data(), 8);
    for (size_t i = 0; i < f.payloads.size(); ++i) {
      crc = crc32(crc, f.payloads[i].data(), static_cast<uInt>(f.payloads[i].size()));
      ASSERT_EQ(f.crcs[i], ~static_cast<uint32_t>(crc)) << "block " << i;
      EXPECT_LE(f.payloads[i].size(), max_payload);
    }
    EXPECT_EQ(f.trailer_total, plain.size());
    EXPECT_EQ(f.trailer_crc, Register(plain));
    Bytes unframed = f.header;
    unframed[4] &= ~CSR_ALG_BLOCK;
    for (const Bytes& p : f.payloads) unframed = Cat(unframed, p);
    EXPECT_TRUE(unframed == Drive(PoolCompressor(static_cast<int>(plain.size()), alg), plain).out);
  }
  const int held_ = Get();  // slot 2 never keeps its work area; the runs' slots do
};

// Output rooms below a block buffer, at its edges and above it, and the
// exact fit; input pieces of 1, 7, 4128 (the natives' buffer) and random.
TEST_P(FrameTest, RoundTripMatrix) {
  const int alg = GetParam();
  const Bytes plain = Mixed(12000, 11);
  const Coder c = PoolCompressor(12000, alg | CSR_OPT_BLOCK);
  const size_t exact = Drive(c, plain).out.size() - 8;
  for (size_t room : {size_t{1}, size_t{1000}, size_t{1024}, size_t{1032}, size_t{4096}, exact}) {
    for (size_t piece : {1, 7, 4128, 0}) {
      SCOPED_TRACE("room " + std::to_string(room) + " piece " + std::to_string(piece));
      const SizeFn pieces = piece ? Fixed(piece) : RandomSizes(5);
      Result z = Drive(c, plain, pieces, Fixed(room));
      ASSERT_EQ(z.rc, CSR_END_OF_STREAM);
      EXPECT_EQ(z.read, plain.size());
      ExpectFraming(z.out, plain, alg, room < 1024 ? 1016 : room - 8);
      Result d = Drive(PoolDecompressor(), z.out, piece ? Fixed(piece) : RandomSizes(6),
                       Fixed(room == exact ? 12000 : room));
      EXPECT_EQ(d.rc, CSR_END_OF_STREAM);
      EXPECT_EQ(d.read, z.out.size());
      EXPECT_TRUE(d.out == plain);
    }
  }
}

// Every end of the stream gets its trailer: in the call that fills the room
// with the last block exactly, in the next call when the trailer does not
// fit whole, and (LZH) in a call that finds the compressor done and writes
// nothing else.
TEST_P(FrameTest, TrailerAfterExactFits) {
  const int alg = GetParam();
  const Bytes plain = Mixed(20000, 3);
  const Coder c = PoolCompressor(20000, alg | CSR_OPT_BLOCK);
  const size_t body = Drive(c, plain).out.size() - 8;
  const size_t unframed = Drive(PoolCompressor(20000, alg), plain).out.size() - 8;
  ASSERT_GE(unframed, 2048u);
  // Rooms after the 8 of the header.
  std::vector<std::pair<std::vector<size_t>, std::vector<int>>> cases = {
      {{body}, {CSR_END_OF_STREAM}},
      {{body - 8, 8}, {CSR_OUTPUT_FULL, CSR_END_OF_STREAM}},
      {{body - 8, 5, 8}, {CSR_OUTPUT_FULL, CSR_OUTPUT_FULL, CSR_END_OF_STREAM}},
  };
  // 1024 payload bytes with the rest waiting in the compressor, then room
  // for exactly that rest.
  if (alg == CSR_OPT_LZH)
    cases.push_back({{1032, unframed - 1024 + 8}, {CSR_OUTPUT_FULL, CSR_OUTPUT_FULL, CSR_END_OF_STREAM}});
  for (auto& [rooms, results] : cases) {
    rooms.insert(rooms.begin(), 8);
    Result z = Drive(c, plain, Fixed(1 << 16), Seq(rooms, 64));
    EXPECT_EQ(z.results, results) << rooms[1];
    ExpectFraming(z.out, plain, alg, 1 << 16);
    EXPECT_TRUE(Drive(PoolDecompressor(), z.out).out == plain);
  }
}

// The decompression calls on block-mode streams: a block header over three
// calls (3, 4, 1 bytes) and a trailer over two, each piece taken; a stream
// handed whole to the new-stream call, whose algorithm sees the header only;
// block lengths that no compressor writes, refused before anything comes
// out; input that ends before the trailer, not reported complete.
TEST_P(FrameTest, DecompressionCalls) {
  const Bytes plain = Text(3000, 4);
  const Coder c = PoolCompressor(3000, GetParam() | CSR_OPT_BLOCK);
  const Bytes z = Drive(c, plain).out;
  const Framed f = Parse(z);
  Result d = Drive(PoolDecompressor(), z, Seq({8, 3, 4, 1, f.payloads.at(0).size(), 5, 3}, 0), Fixed(3000));
  EXPECT_TRUE(d.out == plain);
  EXPECT_EQ(d.results, (std::vector<int>{3, 3, 3, 3, 3, CSR_END_OF_STREAM}));
  const Bytes blocks = Drive(c, plain, Fixed(600), Fixed(1500)).out;
  for (size_t room : {size_t{3000}, size_t{1024}}) {
    d = Drive(PoolDecompressor(true), blocks, Fixed(1 << 16), Fixed(room));
    EXPECT_EQ(d.rc, CSR_END_OF_STREAM);
    EXPECT_TRUE(d.out == plain) << "room " << room;
  }
  for (uint32_t length : {0u, 0x80000000u, 0xFFFFFFFFu}) {
    Bytes bad = z;
    std::copy_n(Le32(length).begin(), 4, bad.begin() + 8);
    d = Drive(PoolDecompressor(), bad);
    EXPECT_EQ(d.rc, CSR_E_CRC) << length;
    EXPECT_TRUE(d.out.empty());
  }
  for (size_t cut : {8u, 3u}) {
    d = Drive(PoolDecompressor(), Bytes(z.begin(), z.end() - static_cast<std::ptrdiff_t>(cut)));
    EXPECT_EQ(d.rc, CSR_E_CRC) << "cut " << cut;
    EXPECT_TRUE(d.out == plain);
  }
}

// The trailer's length field is not checked: a stream whose trailer gives
// another length but the right CRC ends whole, whether the trailer comes
// with the last block or over two later calls.
TEST_P(FrameTest, TrailerLengthIsNotChecked) {
  const Bytes plain = Text(3000, 5);
  Bytes z = Drive(PoolCompressor(3000, GetParam() | CSR_OPT_BLOCK), plain).out;
  const size_t length_at = z.size() - 8;
  for (uint32_t length : {0u, 2999u, 0xFFFFFFFFu}) {
    std::copy_n(Le32(length).begin(), 4, z.begin() + static_cast<std::ptrdiff_t>(length_at));
    Result d = Drive(PoolDecompressor(), z);
    EXPECT_EQ(d.rc, CSR_END_OF_STREAM) << length;
    EXPECT_TRUE(d.out == plain) << length;
    d = Drive(PoolDecompressor(), z, Seq({8, length_at - 8, 5}, 3), Fixed(4096));
    EXPECT_EQ(d.rc, CSR_END_OF_STREAM) << length;
    EXPECT_TRUE(d.out == plain) << length;
  }
}

// Every single-bit change of a block-mode stream is refused, except that of
// the block-mode bit itself, which makes the blocks read as compressed data
// (the stream format cannot tell), and those of the trailer's length field,
// which is not checked. A damaged block is refused before any of its data
// comes out.
TEST_P(FrameTest, EveryBitFlipIsDetected) {
  const Bytes plain = Cat(Text(700, 12), RandomBytes(1200, 12));
  const Bytes z = Drive(PoolCompressor(1900, GetParam() | CSR_OPT_BLOCK), plain, Fixed(250), Fixed(1000)).out;
  const Framed f = Parse(z);
  ASSERT_GE(f.payloads.size(), 2u);
  std::vector<bool> payload(z.size());  // where a change must be caught before decoding
  for (size_t pos = 8, i = 0; i < f.payloads.size(); pos += 8 + f.payloads[i++].size())
    std::fill_n(payload.begin() + static_cast<std::ptrdiff_t>(pos + 8), f.payloads[i].size(), true);
  const size_t trailer_length = (z.size() - 8) * 8;
  for (size_t bit = 0; bit < z.size() * 8; ++bit) {
    if (bit == 4 * 8 + 3 || (bit >= trailer_length && bit < trailer_length + 32)) continue;
    Bytes bad = z;
    bad[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
    Result d = Drive(PoolDecompressor(), bad, Fixed(1 << 12), Fixed(1 << 12));
    ASSERT_NE(d.rc, CSR_END_OF_STREAM) << "bit " << bit << " went unnoticed";
    if (payload[bit / 8]) {
      EXPECT_EQ(d.rc, CSR_E_CRC) << "bit " << bit;
      EXPECT_TRUE(std::equal(d.out.begin(), d.out.end(), plain.begin())) << "bit " << bit;
    }
  }
}

// A block-mode stream started by CsRCompress itself with input: the
// new-stream call makes the header alone and takes none of the input, so it
// must not answer that all input was taken; the input passed again on the
// next calls makes the stream.
TEST_P(FrameTest, NewStreamCallWithInput) {
  const Bytes plain = Text(3000, 8);
  const int h = Get();
  Bytes z(64);
  int r = -1, w = -1;
  const int first = CsRCompress(h, 3000, plain.data(), 3000, z.data(), 64,
                                GetParam() | CSR_OPT_BLOCK | CSR_OPT_NEW_STREAM, &r, &w);
  EXPECT_TRUE(first == CSR_BLOCK_AGAIN || first == CSR_OUTPUT_FULL) << first;
  EXPECT_EQ(r, 0);
  ASSERT_EQ(w, 8);
  z.resize(8);
  size_t pos = 0;
  int rc = CSR_BLOCK_AGAIN;
  for (int calls = 0; rc != CSR_END_OF_STREAM && calls < 100; ++calls) {
    uint8_t out[700];
    rc = CsRCompress(h, 3000, plain.data() + pos, static_cast<int>(plain.size() - pos), out, sizeof out,
                     0, &r, &w);
    ASSERT_GE(rc, 0);
    pos += static_cast<size_t>(r);
    z.insert(z.end(), out, out + w);
  }
  CsRCloseHandle(h);
  EXPECT_EQ(rc, CSR_END_OF_STREAM);
  EXPECT_TRUE(Drive(PoolDecompressor(), z).out == plain);
}

INSTANTIATE_TEST_SUITE_P(Algorithms, FrameTest, ::testing::Values(CSR_OPT_LZC, CSR_OPT_LZH),
                         [](const auto& info) { return info.param == CSR_OPT_LZH ? "LZH" : "LZC"; });

}  // namespace
