// The handle pool and its calls: handles and their exhaustion, the rule
// that keeps or frees a closed handle's work area, failed allocations, and
// every error code that a caller can meet.
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <vector>

#include "compression/csr.h"
#include "compression/csr_pool_int.h"
#include "csr_test_util.h"

namespace {

using csrtest::Bytes;
using lzhtest::Fixed;

class PoolTest : public ::testing::Test {
 protected:
  void SetUp() override { csrtest::InitThreads(); }
  void TearDown() override { CsRISetAllocHook(nullptr); }

  // Starts the counters over: the next handle finds the allocation count at
  // its limit. Afterwards slot 2 has been handed out once and is free.
  static void RestartCounters() {
    CsRISetAllocCount(0x80000000u);
    int h = 0;
    ASSERT_EQ(CsRGetHandle(&h), 0);
    ASSERT_EQ(h, 302);
    CsRCloseHandle(h);
    ASSERT_EQ(CsRIAllocCount(), 1u);
  }
};

TEST_F(PoolTest, HandlesLowestFirstUntilExhausted) {
  std::vector<int> handles;
  for (int i = 0; i < 498; ++i) {
    int h = 0;
    ASSERT_EQ(CsRGetHandle(&h), 0);
    ASSERT_EQ(h, 302 + i);  // 300 and 301 are never handed out
    handles.push_back(h);
  }
  int h = 0;
  EXPECT_EQ(CsRGetHandle(&h), CSR_E_NO_HANDLE);
  EXPECT_EQ(h, CSR_E_NO_HANDLE);
  EXPECT_EQ(CsRGetHandle(nullptr), CSR_E_HANDLE);

  // A handle given back is the next one handed out, lowest first.
  CsRCloseHandle(600);
  CsRCloseHandle(500);
  EXPECT_EQ(CsRGetHandle(&h), 0);
  EXPECT_EQ(h, 500);
  EXPECT_EQ(CsRGetHandle(&h), 0);
  EXPECT_EQ(h, 600);
  for (int x : handles) CsRCloseHandle(x);
  EXPECT_EQ(CsRGetHandle(&h), 0);
  EXPECT_EQ(h, 302);
  CsRCloseHandle(h);
}

// Closing what is not a taken handle changes nothing: not the pool, not
// the stream of a taken handle.
TEST_F(PoolTest, CloseIgnoresWhatIsNotTaken) {
  int a = 0, b = 0;
  ASSERT_EQ(CsRGetHandle(&a), 0);
  ASSERT_EQ(CsRGetHandle(&b), 0);
  const Bytes plain = lzhtest::Text(3000, 1);
  Bytes out(4000);
  ASSERT_EQ(CsRInitCompress(b, out.data(), static_cast<int>(plain.size()), CSR_OPT_LZC), 0);
  int r = 0, w = 0;
  ASSERT_EQ(CsRCompress(b, 3000, plain.data(), 1000, out.data() + 8, 3992, 0, &r, &w), CSR_MORE_INPUT);
  size_t made = 8 + w;
  CsRCloseHandle(a);
  for (int h : {299, 300, 301, 800, -1, INT_MIN, INT_MAX, a, b + 1, b + 100}) CsRCloseHandle(h);
  // b goes on with its stream; a is free again, and only a.
  ASSERT_EQ(CsRCompress(b, 3000, plain.data() + 1000, 2000, out.data() + made,
                        static_cast<int>(out.size() - made), 0, &r, &w),
            CSR_END_OF_STREAM);
  made += w;
  out.resize(made);
  csrtest::Run d = csrtest::Decompress(out, Fixed(1 << 16), Fixed(1 << 16));
  EXPECT_TRUE(d.out == plain);
  int c = 0;
  ASSERT_EQ(CsRGetHandle(&c), 0);
  EXPECT_EQ(c, a);
  ASSERT_EQ(CsRGetHandle(&c), 0);
  EXPECT_EQ(c, b + 1);
  for (int h : {a, b, c}) CsRCloseHandle(h);
}

// A closed handle's work area stays with its slot when the slot below has
// one, the slot has been handed out 10 times or more, and it is busy enough
// among all handles handed out; otherwise it is freed.
TEST_F(PoolTest, WorkAreaKeptOrFreedOnClose) {
  RestartCounters();
  int low = 0, h = 0;
  // Slot 2 has no slot below with a work area: never kept.
  for (int i = 0; i < 12; ++i) {
    ASSERT_EQ(CsRGetHandle(&low), 0);
    ASSERT_EQ(low, 302);
    CsRCloseHandle(low);
    EXPECT_FALSE(CsRIHasWorkArea(2));
  }
  ASSERT_EQ(CsRGetHandle(&low), 0);
  // Slot 3: freed for its first 9 uses, kept from the 10th.
  for (uint32_t use = 1; use <= 12; ++use) {
    ASSERT_EQ(CsRGetHandle(&h), 0);
    ASSERT_EQ(h, 303);
    EXPECT_EQ(CsRIUseCount(3), use);
    CsRCloseHandle(h);
    EXPECT_EQ(CsRIHasWorkArea(3), use >= 10) << "use " << use;
  }
  // A kept work area is handed out again without an allocation, and
  // without the stream it had.
  static std::atomic<int> allocations;
  allocations = 0;
  CsRISetAllocHook([](size_t n) { return ++allocations, malloc(n); });
  ASSERT_EQ(CsRGetHandle(&h), 0);
  EXPECT_EQ(allocations, 0);
  Bytes out(64);
  int r = 0, w = 0;
  EXPECT_EQ(CsRCompress(h, 10, out.data(), 1, out.data() + 8, 32, 0, &r, &w), CSR_E_NO_STREAM);
  EXPECT_EQ(CsRDecompress(h, out.data(), 1, out.data() + 8, 32, 0, &r, &w), CSR_E_ALGORITHM);
  CsRISetAllocHook(nullptr);

  // Among many handles a slot must have a share of 1/128 of them.
  const uint32_t uses = CsRIUseCount(3);  // 13
  CsRISetAllocCount(uses * 128 + 128);
  CsRCloseHandle(h);
  EXPECT_FALSE(CsRIHasWorkArea(3));
  ASSERT_EQ(CsRGetHandle(&h), 0);  // uses + 1
  CsRISetAllocCount((uses + 1) * 128);
  CsRCloseHandle(h);
  EXPECT_TRUE(CsRIHasWorkArea(3));
  // Up to 256 handles in all, 10 uses are enough.
  ASSERT_EQ(CsRGetHandle(&h), 0);
  CsRISetAllocCount(256);
  CsRCloseHandle(h);
  EXPECT_TRUE(CsRIHasWorkArea(3));
  // Without a work area below, nothing is kept.
  CsRCloseHandle(low);
  ASSERT_EQ(CsRGetHandle(&h), 0);
  ASSERT_EQ(h, 302);
  int h3 = 0;
  ASSERT_EQ(CsRGetHandle(&h3), 0);
  CsRCloseHandle(h);
  EXPECT_FALSE(CsRIHasWorkArea(2));
  CsRCloseHandle(h3);
  EXPECT_FALSE(CsRIHasWorkArea(3));
}

TEST_F(PoolTest, CountersStartOverAtTheLimit) {
  int a = 0, b = 0;
  ASSERT_EQ(CsRGetHandle(&a), 0);
  ASSERT_EQ(CsRGetHandle(&b), 0);
  CsRISetAllocCount(0x80000000u);
  int c = 0;
  ASSERT_EQ(CsRGetHandle(&c), 0);
  EXPECT_EQ(CsRIAllocCount(), 1u);
  EXPECT_EQ(CsRIUseCount(a - 300), 0u);
  EXPECT_EQ(CsRIUseCount(b - 300), 0u);
  EXPECT_EQ(CsRIUseCount(c - 300), 1u);
  for (int h : {a, b, c}) CsRCloseHandle(h);
}

// A work area that cannot be allocated leaves its slot free for the next
// caller; a block buffer that cannot be allocated leaves no stream.
TEST_F(PoolTest, FailedAllocations) {
  int a = 0;
  ASSERT_EQ(CsRGetHandle(&a), 0);
  CsRISetAllocHook([](size_t n) -> void* { return n >= sizeof(CSR_WORKAREA) ? nullptr : malloc(n); });
  int h = 0;
  EXPECT_EQ(CsRGetHandle(&h), CSR_E_NO_MEMORY);
  EXPECT_EQ(h, CSR_E_NO_MEMORY);
  CsRISetAllocHook(nullptr);
  ASSERT_EQ(CsRGetHandle(&h), 0);
  EXPECT_EQ(h, a + 1);

  Bytes buf(64);
  int r = 0, w = 0;
  CsRISetAllocHook([](size_t n) -> void* { return n < sizeof(CSR_WORKAREA) ? nullptr : malloc(n); });
  for (int alg : {CSR_OPT_LZC, CSR_OPT_LZH}) {
    EXPECT_EQ(CsRInitCompress(h, buf.data(), 10, alg | CSR_OPT_BLOCK), CSR_E_NO_MEMORY);
    EXPECT_EQ(CsRCompress(h, 10, buf.data() + 32, 10, buf.data(), 32, 0, &r, &w), CSR_E_NO_STREAM);
  }
  Bytes header = {1, 0, 0, 0, 0x19, 0x1F, 0x9D, 0x8D};
  EXPECT_EQ(CsRInitDecompress(h, header.data()), CSR_E_NO_MEMORY);
  EXPECT_EQ(CsRDecompress(h, buf.data(), 10, buf.data() + 32, 32, 0, &r, &w), CSR_E_NO_STREAM);
  CsRISetAllocHook(nullptr);
  CsRCloseHandle(a);
  CsRCloseHandle(h);
}

// The stream header that CsRInitCompress writes: length, algorithm byte with
// the block-mode bit, magic, and the parameter (LZC: 13 bits with resets;
// LZH: the level, where level bits outside 1..9 mean 2).
TEST_F(PoolTest, InitCompressWritesTheHeader) {
  struct Case {
    int options;
    uint8_t alg, param;
  };
  const Case cases[] = {
      {CSR_OPT_LZC, 0x11, 0x8D},           {CSR_OPT_LZC | CSR_OPT_BLOCK | 0x50, 0x19, 0x8D},
      {CSR_OPT_LZH, 0x12, 2},              {CSR_OPT_LZH | 0x10, 0x12, 1},
      {CSR_OPT_LZH | 0x90, 0x12, 9},       {CSR_OPT_LZH | 0xA0, 0x12, 2},
      {CSR_OPT_LZH | CSR_OPT_BLOCK | 0x50, 0x1A, 5},
      {CSR_OPT_LZH | static_cast<int>(0xFFFFFFF0u), 0x12, 2},  // level bits -1
  };
  int h = 0;
  ASSERT_EQ(CsRGetHandle(&h), 0);
  for (const Case& c : cases) {
    Bytes out(8);
    ASSERT_EQ(CsRInitCompress(h, out.data(), 0x01020304, c.options), 0) << c.options;
    EXPECT_EQ(out, (Bytes{4, 3, 2, 1, c.alg, 0x1F, 0x9D, c.param})) << c.options;
  }
  CsRCloseHandle(h);
}

// --- Error codes ---------------------------------------------------------------

// A stream header: length, algorithm byte, magic, parameter.
Bytes Header(uint32_t length, uint8_t alg, uint8_t param, uint8_t magic1 = 0x9D) {
  return {static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8),
          static_cast<uint8_t>(length >> 16), static_cast<uint8_t>(length >> 24),
          alg, 0x1F, magic1, param};
}

// An LZH stream of length 10 whose first block starts with the given bits.
Bytes LzhBlock(const std::function<void(lzhtest::BitWriter&)>& bits) {
  lzhtest::BitWriter bw;
  bw.Bits(0, 2);  // no filler
  bits(bw);
  return lzhtest::LzhStream(10, bw.Finish());
}

// Decompresses stream on h in one new-stream call and, when asked for more
// input, once more without input.
int DecodeAll(int h, const Bytes& stream) {
  Bytes out(64);
  int r = 0, w = 0;
  int rc = CsRDecompress(h, stream.data(), static_cast<int>(stream.size()), out.data(),
                         static_cast<int>(out.size()), CSR_OPT_NEW_STREAM, &r, &w);
  return rc;
}

struct ErrorCase {
  const char* what;
  int expected;
  std::function<int(int h)> run;  // on a fresh handle
};

TEST_F(PoolTest, EveryReachableErrorCode) {
  Bytes buf(4096), out(4096);
  WEQ_RAW* const b = buf.data();
  WEQ_RAW* const o = out.data();
  int r = 0, w = 0;
  const Bytes text = lzhtest::Text(3000, 2);
  const Bytes lzc = csrtest::Compress(text, CSR_OPT_LZC, Fixed(1 << 16), Fixed(1 << 16)).out;
  const Bytes lzh = csrtest::Compress(text, CSR_OPT_LZH, Fixed(1 << 16), Fixed(1 << 16)).out;
  const Bytes lzc_block =
      csrtest::Compress(text, CSR_OPT_LZC | CSR_OPT_BLOCK, Fixed(1 << 16), Fixed(1 << 16)).out;

  const ErrorCase cases[] = {
      {"handle 300", CSR_E_HANDLE,
       [&](int) { return CsRCompress(300, 10, b, 10, o, 100, 1, &r, &w); }},
      {"handle 301 decompress", CSR_E_HANDLE,
       [&](int) { return CsRDecompress(301, b, 10, o, 100, 1, &r, &w); }},
      {"handle 800", CSR_E_HANDLE, [&](int) { return CsRInitCompress(800, o, 10, 0); }},
      {"handle INT_MIN", CSR_E_HANDLE,
       [&](int) { return CsRDecompress(INT_MIN, b, 10, o, 100, 0, &r, &w); }},
      {"closed handle", CSR_E_HANDLE,
       [&](int h) {
         CsRCloseHandle(h);
         return CsRInitDecompress(h, lzc.data());
       }},
      {"repeated empty room after output full", CSR_E_OUTLEN_REPEAT,
       [&](int h) {
         CsRDecompress(h, lzc.data(), static_cast<int>(lzc.size()), o, 100, 1, &r, &w);  // 2
         EXPECT_EQ(CsRDecompress(h, b, 0, o, 0, 0, &r, &w), CSR_E_OUTLEN_REPEAT);
         return CsRDecompress(h, b, 0, o, 0, 0, &r, &w);  // the last result is still 2
       }},
      {"LZH compress without input twice", CSR_E_NO_PROGRESS,
       [&](int h) {
         CsRInitCompress(h, o, 3000, CSR_OPT_LZH);
         EXPECT_EQ(CsRCompress(h, 3000, text.data(), 1000, o, 4096, 0, &r, &w), CSR_MORE_INPUT);
         return CsRCompress(h, 3000, text.data(), 0, o, 4096, 0, &r, &w);
       }},
      {"LZH decompress without input twice", CSR_E_NO_PROGRESS,
       [&](int h) {
         CsRInitDecompress(h, lzh.data());  // 3
         return CsRDecompress(h, b, 0, o, 100, 0, &r, &w);
       }},
      {"compression room below 8", CSR_E_OUT_ROOM,
       [&](int h) { return CsRCompress(h, 10, b, 0, o, 4, CSR_OPT_NEW_STREAM, &r, &w); }},
      {"LZH compression room negative", CSR_E_OUT_ROOM,
       [&](int h) {
         CsRInitCompress(h, o, 10, CSR_OPT_LZH);
         return CsRCompress(h, 10, b, 10, o, -1, 0, &r, &w);
       }},
      {"LZC decompression room 0", CSR_E_OUT_ROOM,
       [&](int h) {
         CsRDecompress(h, lzc.data(), 8, o, 100, 1, &r, &w);  // 3
         return CsRDecompress(h, lzc.data() + 8, 10, o, 0, 0, &r, &w);
       }},
      {"decompression header of 7 bytes", CSR_E_IN_LEN,
       [&](int h) { return CsRDecompress(h, lzc.data(), 7, o, 100, 1, &r, &w); }},
      {"LZH input length negative", CSR_E_IN_LEN,
       [&](int h) {
         CsRInitCompress(h, o, 10, CSR_OPT_LZH);
         return CsRCompress(h, 10, b, -1, o, 100, 0, &r, &w);
       }},
      {"LZC input length negative", CSR_E_IN_LEN,
       [&](int h) {
         CsRInitDecompress(h, lzc.data());
         return CsRDecompress(h, b, -5, o, 100, 0, &r, &w);
       }},
      {"LZC total 0", CSR_E_TOTAL_LEN, [&](int h) { return CsRInitCompress(h, o, 0, CSR_OPT_LZC); }},
      {"LZH total negative", CSR_E_TOTAL_LEN,
       [&](int h) { return CsRInitCompress(h, o, -1, CSR_OPT_LZH | CSR_OPT_BLOCK); }},
      {"LZC input is output", CSR_E_SAME_BUFFER,
       [&](int h) {
         CsRInitCompress(h, o, 10, CSR_OPT_LZC);
         return CsRCompress(h, 10, o, 10, o, 100, 0, &r, &w);
       }},
      {"LZC output missing", CSR_E_NULL_BUFFER,
       [&](int h) { return CsRInitCompress(h, nullptr, 10, CSR_OPT_LZC); }},
      {"LZH output missing", CSR_E_NULL_BUFFER,
       [&](int h) { return CsRInitCompress(h, nullptr, 10, CSR_OPT_LZH); }},
      {"header missing", CSR_E_NULL_BUFFER, [&](int h) { return CsRInitDecompress(h, nullptr); }},
      {"read count missing", CSR_E_NULL_BUFFER,
       [&](int h) { return CsRCompress(h, 10, b, 10, o, 100, 1, nullptr, &w); }},
      {"LZH decompression without input or room", CSR_E_NO_DATA,
       [&](int h) {
         CsRInitDecompress(h, lzh.data());
         return CsRDecompress(h, b, 0, o, 0, 0, &r, &w);
       }},
      {"compression algorithm 4, later calls too", CSR_E_ALGORITHM,
       [&](int h) {
         EXPECT_EQ(CsRInitCompress(h, o, 10, 4), CSR_E_ALGORITHM);
         return CsRCompress(h, 10, b, 10, o, 100, 0, &r, &w);
       }},
      {"compression algorithm 6", CSR_E_ALGORITHM,
       [&](int h) { return CsRInitCompress(h, o, 10, 6 | CSR_OPT_BLOCK); }},
      {"header algorithm 3", CSR_E_ALGORITHM,
       [&](int h) { return CsRInitDecompress(h, Header(5, 0x13, 0x8D).data()); }},
      {"header algorithm 0 in block mode", CSR_E_ALGORITHM,
       [&](int h) { return CsRInitDecompress(h, Header(5, 0x18, 0x8D).data()); }},
      {"LZH stored block", CSR_E_BLOCK_TYPE,
       [&](int h) { return DecodeAll(h, LzhBlock([](auto& bw) { bw.Bits(1, 1), bw.Bits(0, 2); })); }},
      {"LZH block type 3", CSR_E_BLOCK_TYPE,
       [&](int h) { return DecodeAll(h, LzhBlock([](auto& bw) { bw.Bits(1, 1), bw.Bits(3, 2); })); }},
      {"bad magic", CSR_E_HEADER,
       [&](int h) { return CsRInitDecompress(h, Header(5, 0x11, 0x8D, 0x9E).data()); }},
      {"length 0x80000000", CSR_E_HEADER,
       [&](int h) { return CsRInitDecompress(h, Header(0x80000000u, 0x12, 2).data()); }},
      {"LZC 15 code bits", CSR_E_CODE_BITS,
       [&](int h) { return CsRInitDecompress(h, Header(5, 0x11, 0x8F).data()); }},
      {"LZH code-length code all zero", CSR_E_CODE_LENGTHS,
       [&](int h) {
         return DecodeAll(h, LzhBlock([](auto& bw) {
           bw.Bits(1, 1), bw.Bits(2, 2);              // final, dynamic
           bw.Bits(0, 5), bw.Bits(0, 5), bw.Bits(0, 4);  // HLIT, HDIST, HCLEN
           for (int i = 0; i < 4; ++i) bw.Bits(0, 3);
         }));
       }},
      {"LZH literal/length code 286", CSR_E_BAD_CODE,
       [&](int h) {
         return DecodeAll(h, LzhBlock([](auto& bw) { bw.Bits(1, 1), bw.Bits(1, 2), bw.FixedLitLen(286); }));
       }},
      {"LZH 287 literal/length codes", CSR_E_ALPHABET,
       [&](int h) {
         return DecodeAll(h, LzhBlock([](auto& bw) { bw.Bits(1, 1), bw.Bits(2, 2), bw.Bits(30, 5), bw.Bits(0, 5), bw.Bits(0, 4); }));
       }},
      {"block CRC", CSR_E_CRC,
       [&](int h) {
         Bytes bad = lzc_block;
         bad[20] ^= 0x40;
         return DecodeAll(h, bad);
       }},
      {"compression after the end of a block-mode stream", CSR_E_NO_STREAM,
       [&](int h) {
         CsRInitCompress(h, o, 10, CSR_OPT_LZC | CSR_OPT_BLOCK);
         EXPECT_EQ(CsRCompress(h, 10, text.data(), 10, o, 100, 0, &r, &w), CSR_END_OF_STREAM);
         return CsRCompress(h, 10, text.data(), 10, o, 100, 0, &r, &w);
       }},
      {"decompression after the end of a block-mode stream", CSR_E_NO_STREAM,
       [&](int h) {
         CsRInitDecompress(h, lzc_block.data());
         EXPECT_EQ(CsRDecompress(h, lzc_block.data() + 8, static_cast<int>(lzc_block.size() - 8), o,
                                 4096, 0, &r, &w),
                   CSR_END_OF_STREAM);
         EXPECT_EQ(CsRDecompress(h, b, 0, o, 4096, 0, &r, &w), CSR_END_OF_STREAM);
         return CsRDecompress(h, b, 1, o, 4096, 0, &r, &w);
       }},
      {"compression without a stream", CSR_E_NO_STREAM,
       [&](int h) { return CsRCompress(h, 10, b, 10, o, 100, 0, &r, &w); }},
      {"decompression without a stream", CSR_E_ALGORITHM,
       [&](int h) { return CsRDecompress(h, b, 10, o, 100, 0, &r, &w); }},
  };
  for (const ErrorCase& c : cases) {
    int h = 0;
    ASSERT_EQ(CsRGetHandle(&h), 0);
    r = w = -1;
    EXPECT_EQ(c.run(h), c.expected) << c.what;
    CsRCloseHandle(h);
  }
}

// Streams left unfinished, by a close or by a new stream on the handle,
// release what their framing held (the leak checker of the sanitizer
// builds sees any rest), and the next stream runs as if none had been.
TEST_F(PoolTest, AbandonedStreamsLeaveNothingBehind) {
  const Bytes plain = csrtest::Mixed(8000, 4);
  csrtest::Run c = csrtest::Compress(plain, CSR_OPT_LZH | CSR_OPT_BLOCK, Fixed(1 << 16), Fixed(1 << 16));
  ASSERT_EQ(c.rc, CSR_END_OF_STREAM);
  Bytes out(20000);
  int r = 0, w = 0;
  for (int round = 0; round < 12; ++round) {
    int h = 0;
    ASSERT_EQ(CsRGetHandle(&h), 0);
    ASSERT_EQ(CsRInitCompress(h, out.data(), 8000, CSR_OPT_LZC | CSR_OPT_BLOCK), 0);
    ASSERT_GE(CsRCompress(h, 8000, plain.data(), 3000, out.data(), 500, 0, &r, &w), 0);
    ASSERT_EQ(CsRInitDecompress(h, c.out.data()), 0);
    ASSERT_GE(CsRDecompress(h, c.out.data() + 8, 100, out.data(), 20000, 0, &r, &w), 0);
    ASSERT_EQ(CsRInitDecompress(h, c.out.data()), 0);  // starts over
    ASSERT_EQ(CsRDecompress(h, c.out.data() + 8, static_cast<int>(c.out.size() - 8), out.data(),
                            20000, 0, &r, &w),
              CSR_END_OF_STREAM);
    CsRCloseHandle(h);
  }
  csrtest::Run d = csrtest::Decompress(c.out, Fixed(1 << 16), Fixed(1 << 16));
  EXPECT_EQ(d.rc, CSR_END_OF_STREAM);
  EXPECT_TRUE(d.out == plain);
}

}  // namespace
