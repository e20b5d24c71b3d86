// Block-mode streams through the pool's calls: the framing of every call
// pattern checked block by block against zlib's crc32, the algorithm's own
// stream inside it, split block headers and trailers, damaged streams.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <string>
#include <tuple>

#include "compression/csr.h"
#include "compression/lzh.h"
#include "csr_test_util.h"

namespace {

using csrtest::Bytes;
using csrtest::Framed;
using csrtest::SizeFn;
using lzhtest::Fixed;

// Input pieces and output rooms larger than any stream here. (Rooms are
// allocated at their exact size; a large one is slow under the sanitizers.)
constexpr size_t kWhole = 1 << 16;

std::string AlgName(int alg) { return alg == CSR_OPT_LZH ? "LZH" : "LZC"; }

class FrameTest : public ::testing::Test {
 protected:
  void SetUp() override {
    csrtest::InitThreads();
    // Fixed filler bits make LZH streams comparable from run to run.
    CsRLzhISetFiller(1, 1);
    // Slot 2 never keeps its work area; holding it lets the runs below reuse
    // theirs.
    ASSERT_EQ(CsRGetHandle(&held_), 0);
  }
  void TearDown() override {
    CsRCloseHandle(held_);
    CsRLzhISetFiller(-1, 0);
  }
  int held_ = 0;
};

// Every block's CRC is the register over the stream header and the
// payloads up to its end; the trailer holds the length and register of the
// data. The payloads joined are the unframed stream of the same data.
void ExpectFraming(const Bytes& stream, const Bytes& plain, int alg) {
  Framed f;
  ASSERT_EQ(csrtest::Parse(stream, &f), "");
  uLong crc = crc32(0, f.header.data(), 8);
  for (size_t i = 0; i < f.payloads.size(); ++i) {
    crc = crc32(crc, f.payloads[i].data(), static_cast<uInt>(f.payloads[i].size()));
    ASSERT_EQ(f.crcs[i], ~static_cast<uint32_t>(crc)) << "block " << i;
  }
  EXPECT_EQ(f.trailer_total, plain.size());
  EXPECT_EQ(f.trailer_crc, csrtest::Register(plain));
  csrtest::Run ref = csrtest::Compress(plain, alg, Fixed(kWhole), Fixed(kWhole));
  ASSERT_EQ(ref.rc, CSR_END_OF_STREAM);
  EXPECT_TRUE(csrtest::Unframed(f) == ref.out) << "payloads differ from the unframed stream";
}

// --- The round-trip matrix ------------------------------------------------------

enum Piece { kOne, kSeven, kNative, kRandom };
constexpr int kExactRoom = -1;

SizeFn Pieces(Piece p, uint32_t seed) {
  switch (p) {
    case kOne: return Fixed(1);
    case kSeven: return Fixed(7);
    case kNative: return Fixed(4128);  // the plain-side buffer of the Java natives
    default: return lzhtest::RandomSizes(seed);
  }
}

class FrameMatrix : public FrameTest,
                    public ::testing::WithParamInterface<std::tuple<int, int, Piece>> {};

TEST_P(FrameMatrix, RoundTrip) {
  auto [alg, room_arg, piece] = GetParam();
  const Bytes plain = csrtest::Mixed(20000, 11);
  const int options = alg | CSR_OPT_BLOCK;
  csrtest::Run whole = csrtest::Compress(plain, options, Fixed(kWhole), Fixed(kWhole));
  ASSERT_EQ(whole.rc, CSR_END_OF_STREAM);
  // Exact fit: the room that the stream behind its header needs in one call.
  const size_t room = room_arg == kExactRoom ? whole.out.size() - 8 : room_arg;

  csrtest::Run c = csrtest::Compress(plain, options, Pieces(piece, 5), Fixed(room));
  ASSERT_EQ(c.rc, CSR_END_OF_STREAM);
  EXPECT_EQ(c.read, plain.size());
  ExpectFraming(c.out, plain, alg);
  if (HasFatalFailure()) return;
  Framed f;
  csrtest::Parse(c.out, &f);
  for (const Bytes& p : f.payloads) EXPECT_LE(p.size(), room < 1024 ? 1016u : room - 8);

  const size_t plain_room = room_arg == kExactRoom ? plain.size() : room;
  csrtest::Run d = csrtest::Decompress(c.out, Pieces(piece, 6), Fixed(plain_room));
  EXPECT_EQ(d.rc, CSR_END_OF_STREAM);
  EXPECT_EQ(d.read, c.out.size());
  EXPECT_TRUE(d.out == plain);
}

std::string MatrixName(const ::testing::TestParamInfo<std::tuple<int, int, Piece>>& info) {
  static const char* const kPieces[] = {"in1", "in7", "in4128", "inRandom"};
  int room = std::get<1>(info.param);
  return AlgName(std::get<0>(info.param)) + "_" +
         (room == kExactRoom ? std::string("exact") : "room" + std::to_string(room)) + "_" +
         kPieces[std::get<2>(info.param)];
}

INSTANTIATE_TEST_SUITE_P(Rooms, FrameMatrix,
                         ::testing::Combine(::testing::Values(CSR_OPT_LZC, CSR_OPT_LZH),
                                            ::testing::Values(1000, 1024, 1032, 4096, kExactRoom),
                                            ::testing::Values(kOne, kSeven, kNative, kRandom)),
                         MatrixName);

// --- Cuts of the framing over calls ---------------------------------------------

class FrameAlg : public FrameTest, public ::testing::WithParamInterface<int> {};

// The trailer that does not fit behind the last block waits for the next
// call, which returns the end; with room for both, one call makes them.
TEST_P(FrameAlg, LastBlockFillsTheRoomExactly) {
  const int alg = GetParam();
  const Bytes plain = csrtest::Mixed(20000, 3);
  csrtest::Run whole = csrtest::Compress(plain, alg | CSR_OPT_BLOCK, Fixed(kWhole), Fixed(kWhole));
  ASSERT_EQ(whole.rc, CSR_END_OF_STREAM);
  const size_t body = whole.out.size() - 8;
  ASSERT_GE(body, 1024u + 16);

  csrtest::Run exact = csrtest::Compress(plain, alg | CSR_OPT_BLOCK, Fixed(kWhole), Fixed(body));
  EXPECT_EQ(exact.results, std::vector<int>{CSR_END_OF_STREAM});
  EXPECT_TRUE(exact.out == whole.out);

  for (size_t trailer_room : {8u, 5u}) {
    size_t rooms[] = {body - 8, trailer_room, 8};
    size_t i = 0;
    csrtest::Run cut = csrtest::Compress(plain, alg | CSR_OPT_BLOCK, Fixed(kWhole),
                                         [&] { return rooms[std::min<size_t>(i++, 2)]; });
    std::vector<int> expected = {CSR_OUTPUT_FULL, CSR_END_OF_STREAM};
    if (trailer_room < 8) expected.insert(expected.begin() + 1, CSR_OUTPUT_FULL);
    EXPECT_EQ(cut.results, expected) << "trailer room " << trailer_room;
    EXPECT_TRUE(cut.out == whole.out);
  }
}

// A block header over three calls (3, 4, 1 bytes) and a trailer over two.
TEST_P(FrameAlg, SplitBlockHeaderAndTrailer) {
  const int alg = GetParam();
  const Bytes plain = lzhtest::Text(3000, 4);
  csrtest::Run c = csrtest::Compress(plain, alg | CSR_OPT_BLOCK, Fixed(kWhole), Fixed(kWhole));
  ASSERT_EQ(c.rc, CSR_END_OF_STREAM);
  Framed f;
  ASSERT_EQ(csrtest::Parse(c.out, &f), "");
  ASSERT_EQ(f.payloads.size(), 1u);
  const size_t payload = f.payloads[0].size();

  const size_t pieces[] = {3, 4, 1, payload, 5, 3};
  size_t i = 0;
  csrtest::Run d = csrtest::Decompress(c.out, [&] { return pieces[std::min<size_t>(i++, 5)]; },
                                       Fixed(plain.size()));
  EXPECT_EQ(d.rc, CSR_END_OF_STREAM);
  EXPECT_TRUE(d.out == plain);
  // The header's pieces are taken and ask for more; the block ends the data
  // with the trailer still to come; the trailer's second piece ends it.
  EXPECT_EQ(d.results, (std::vector<int>{CSR_MORE_INPUT, CSR_MORE_INPUT, CSR_MORE_INPUT,
                                         CSR_MORE_INPUT, CSR_MORE_INPUT, CSR_END_OF_STREAM}));
}

// Output rooms below a block's size: the block waits in the block buffer
// and goes out over several calls; only hand-outs that leave bytes behind
// return CSR_OUTPUT_FULL.
TEST_P(FrameAlg, SmallRoomsHandOutWholeBlocks) {
  const int alg = GetParam();
  const Bytes plain = lzhtest::RandomBytes(5000, 9);
  for (size_t room : {1u, 100u, 1000u}) {
    csrtest::Run c = csrtest::Compress(plain, alg | CSR_OPT_BLOCK, Fixed(kWhole), Fixed(room));
    ASSERT_EQ(c.rc, CSR_END_OF_STREAM) << "room " << room;
    ExpectFraming(c.out, plain, alg);
    Framed f;
    csrtest::Parse(c.out, &f);
    for (const Bytes& p : f.payloads) EXPECT_LE(p.size(), 1016u);
    for (int rc : c.results) EXPECT_TRUE(rc >= 0 && rc <= 3);
  }
}

// A stream handed whole to the new-stream call: the algorithm sees its
// header only, the blocks are read as blocks.
TEST_P(FrameAlg, WholeStreamToTheNewStreamCall) {
  const int alg = GetParam();
  const Bytes plain = csrtest::Mixed(9000, 2);
  csrtest::Run c = csrtest::Compress(plain, alg | CSR_OPT_BLOCK, Fixed(600), Fixed(2000));
  ASSERT_EQ(c.rc, CSR_END_OF_STREAM);
  for (size_t room : {plain.size(), size_t{4096}}) {
    csrtest::Run d = csrtest::Decompress(c.out, Fixed(kWhole), Fixed(room), true);
    EXPECT_EQ(d.rc, CSR_END_OF_STREAM);
    EXPECT_TRUE(d.out == plain) << "room " << room;
  }
}

INSTANTIATE_TEST_SUITE_P(Algorithms, FrameAlg, ::testing::Values(CSR_OPT_LZC, CSR_OPT_LZH),
                         [](const auto& info) { return AlgName(info.param); });

// The LZH compressor can hand out its last bytes in a call that fills the
// room exactly and report the end on the next call, which writes nothing
// more of its own: that call still ends the stream with its trailer.
TEST_F(FrameTest, LzhEndAfterExactHandOutGetsTrailer) {
  const Bytes plain = csrtest::Mixed(20000, 8);
  csrtest::Run plain_lzh = csrtest::Compress(plain, CSR_OPT_LZH, Fixed(kWhole), Fixed(kWhole));
  ASSERT_EQ(plain_lzh.rc, CSR_END_OF_STREAM);
  const size_t body = plain_lzh.out.size() - 8;
  ASSERT_GE(body, 1024u + 1024u);
  // First call: 1024 payload bytes, the rest waits in the compressor; second
  // call: exactly that rest.
  size_t rooms[] = {1024 + 8, body - 1024 + 8, 64};
  size_t i = 0;
  csrtest::Run c = csrtest::Compress(plain, CSR_OPT_LZH | CSR_OPT_BLOCK, Fixed(kWhole),
                                     [&] { return rooms[std::min<size_t>(i++, 2)]; });
  EXPECT_EQ(c.results, (std::vector<int>{CSR_OUTPUT_FULL, CSR_OUTPUT_FULL, CSR_END_OF_STREAM}));
  ExpectFraming(c.out, plain, CSR_OPT_LZH);
  csrtest::Run d = csrtest::Decompress(c.out, Fixed(kWhole), Fixed(kWhole));
  EXPECT_EQ(d.rc, CSR_END_OF_STREAM);
  EXPECT_TRUE(d.out == plain);
}

// --- Damaged streams -------------------------------------------------------------

// Every single-bit change of a block-mode stream is refused, except that of
// the block-mode bit itself, which makes the blocks read as compressed data
// (the stream format cannot tell). A damaged block is refused before any of
// its data comes out.
TEST_F(FrameTest, EveryBitFlipIsDetected) {
  Bytes plain = lzhtest::Text(700, 12);
  const Bytes noise = lzhtest::RandomBytes(1200, 12);
  plain.insert(plain.end(), noise.begin(), noise.end());
  for (int alg : {CSR_OPT_LZC, CSR_OPT_LZH}) {
    SCOPED_TRACE(AlgName(alg));
    csrtest::Run c = csrtest::Compress(plain, alg | CSR_OPT_BLOCK, Fixed(250), Fixed(1000));
    ASSERT_EQ(c.rc, CSR_END_OF_STREAM);
    Framed f;
    ASSERT_EQ(csrtest::Parse(c.out, &f), "");
    ASSERT_GE(f.payloads.size(), 2u);
    // Payload ranges: where a change must be caught before decoding.
    std::vector<std::pair<size_t, size_t>> payloads;
    for (size_t pos = 8, i = 0; i < f.payloads.size(); ++i) {
      payloads.emplace_back(pos + 8, pos + 8 + f.payloads[i].size());
      pos += 8 + f.payloads[i].size();
    }
    for (size_t bit = 0; bit < c.out.size() * 8; ++bit) {
      if (bit == 4 * 8 + 3) continue;
      Bytes bad = c.out;
      bad[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
      csrtest::Run d = csrtest::Decompress(bad, Fixed(kWhole), Fixed(kWhole));
      ASSERT_NE(d.rc, CSR_END_OF_STREAM) << "bit " << bit << " went unnoticed";
      size_t byte = bit / 8;
      bool in_payload = std::any_of(payloads.begin(), payloads.end(),
                                    [&](auto r) { return byte >= r.first && byte < r.second; });
      if (in_payload) {
        EXPECT_EQ(d.rc, CSR_E_CRC) << "bit " << bit;
        EXPECT_TRUE(std::equal(d.out.begin(), d.out.end(), plain.begin()))
            << "bit " << bit << ": damaged data came out";
      }
    }
  }
}

// Block lengths that no compressor writes are refused.
TEST_F(FrameTest, BlockLengthZeroOrHugeIsRefused) {
  const Bytes plain = lzhtest::Text(500, 1);
  csrtest::Run c = csrtest::Compress(plain, CSR_OPT_LZC | CSR_OPT_BLOCK, Fixed(kWhole), Fixed(kWhole));
  ASSERT_EQ(c.rc, CSR_END_OF_STREAM);
  for (uint32_t length : {0u, 0x80000000u, 0xFFFFFFFFu}) {
    Bytes bad = c.out;
    for (int k = 0; k < 4; ++k) bad[8 + k] = static_cast<uint8_t>(length >> (8 * k));
    csrtest::Run d = csrtest::Decompress(bad, Fixed(kWhole), Fixed(kWhole));
    EXPECT_EQ(d.rc, CSR_E_CRC) << length;
    EXPECT_TRUE(d.out.empty());
  }
}

// A stream whose input ends before its trailer is not reported complete.
TEST_F(FrameTest, MissingTrailerIsNotTheEnd) {
  const Bytes plain = lzhtest::Text(2000, 6);
  for (int alg : {CSR_OPT_LZC, CSR_OPT_LZH}) {
    csrtest::Run c = csrtest::Compress(plain, alg | CSR_OPT_BLOCK, Fixed(kWhole), Fixed(kWhole));
    ASSERT_EQ(c.rc, CSR_END_OF_STREAM);
    for (size_t cut : {8u, 3u}) {
      Bytes bad(c.out.begin(), c.out.end() - cut);
      csrtest::Run d = csrtest::Decompress(bad, Fixed(kWhole), Fixed(kWhole));
      EXPECT_EQ(d.rc, CSR_E_CRC) << AlgName(alg) << " cut " << cut;
      EXPECT_TRUE(d.out == plain);
    }
  }
}

// --- Streams without framing through the pool -------------------------------------

TEST_F(FrameTest, UnframedRoundTripInPieces) {
  const Bytes plain = csrtest::Mixed(30000, 21);
  for (int alg : {CSR_OPT_LZC, CSR_OPT_LZH}) {
    SCOPED_TRACE(AlgName(alg));
    csrtest::Run whole = csrtest::Compress(plain, alg, Fixed(kWhole), Fixed(kWhole));
    ASSERT_EQ(whole.rc, CSR_END_OF_STREAM);
    // LZC hands out a written group whole: rooms of at least 13 bytes.
    csrtest::Run c = csrtest::Compress(plain, alg, lzhtest::RandomSizes(1), lzhtest::RandomSizes(2, 13));
    ASSERT_EQ(c.rc, CSR_END_OF_STREAM);
    EXPECT_TRUE(c.out == whole.out);
    csrtest::Run d = csrtest::Decompress(c.out, lzhtest::RandomSizes(3), lzhtest::RandomSizes(4));
    EXPECT_EQ(d.rc, CSR_END_OF_STREAM);
    EXPECT_TRUE(d.out == plain);
  }
}

}  // namespace
