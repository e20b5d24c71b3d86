// Compression natives on the in-process JNI host: streams through the
// natives in pieces, the bounds that are refused before anything is copied,
// and each JNI failure turned into -1 with nothing pending.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "compression/csr.h"
#include "krn/dptrc/dptrc.h"
#include "krn/rfc/jrfc_int.h"
#include "krn/thr/thr.h"
#include "support/jnihost.h"
#include "support/testsupport.h"

namespace {

using Bytes = std::vector<uint8_t>;
using tovtest::JniHost;
using tovtest::JniOp;

constexpr int kPlain = 4128;
constexpr int kPacked = 2080;

Bytes Text(size_t n) {
  static const char kWords[] = "the gateway sends the conversation data in pieces; ";
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(kWords[(i * 7 + i / 97) % 51]);
  return b;
}
Bytes Binary(size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>((i % 251) ^ ((i >> 9) & 0x0F));
  return b;
}
Bytes Random(size_t n, unsigned seed) {
  std::mt19937 g(seed);
  Bytes b(n);
  for (auto& x : b) x = static_cast<uint8_t>(g());
  return b;
}

// Drives the six natives as the Java side does.
class Natives {
 public:
  explicit Natives(JniHost& host) : host_(host), env_(host.env()) {}

  jint GetHandle() { return Java_com_weq_conn_rfc_engine_Compress_CsRGetHandle(env_, nullptr); }
  void Close(jint h) { Java_com_weq_conn_rfc_engine_Compress_CsRCloseHandle(env_, nullptr, h); }

  // A whole stream: the header by CsRInitCompress (options 0) or by a
  // new-stream call with the given options, then pieces of at most maxIn
  // bytes into rooms of at most maxOut.
  Bytes Compress(const Bytes& data, int newStreamOptions, std::mt19937& g, int maxIn = kPlain,
                 int maxOut = kPacked) {
    jint h = GetHandle();
    EXPECT_GE(h, CSR_HANDLE_FIRST);
    const int total = static_cast<int>(data.size());
    Bytes stream;
    jintArray res = host_.NewInts({0, 0, 0});
    if (newStreamOptions == 0) {
      jbyteArray hdr = host_.NewBytes(Bytes(8));
      EXPECT_EQ(Java_com_weq_conn_rfc_engine_Compress_CsRInitCompress(env_, nullptr, h, hdr, total), 0);
      stream = host_.Bytes(hdr);
    } else {
      jbyteArray out = host_.NewBytes(Bytes(8));
      jbyteArray in = host_.NewBytes(Bytes(1));
      EXPECT_EQ(Java_com_weq_conn_rfc_engine_Compress_CsRCompress(env_, nullptr, h, total, in, 0, 0,
                                                                  out, 0, 8, newStreamOptions | 1, res),
                0);
      Bytes o = host_.Bytes(out);
      stream.assign(o.begin(), o.begin() + host_.Ints(res)[1]);
    }
    size_t pos = 0;
    for (int guard = 0; guard < 1000000; ++guard) {
      int inLen = std::min<int>(1 + static_cast<int>(g() % maxIn), total - static_cast<int>(pos));
      // LZC owes up to a whole code group: rooms of at least 16 bytes.
      int outLen = 16 + static_cast<int>(g() % (maxOut - 15));
      Bytes piece(data.begin() + static_cast<long>(pos), data.begin() + static_cast<long>(pos) + inLen);
      int off = static_cast<int>(g() % 3);
      if (off + inLen > kPlain) off = 0;
      piece.insert(piece.begin(), static_cast<size_t>(off), 0xAA);
      jbyteArray in = host_.NewBytes(piece);
      jbyteArray out = host_.NewBytes(Bytes(static_cast<size_t>(outLen)));
      EXPECT_EQ(Java_com_weq_conn_rfc_engine_Compress_CsRCompress(env_, nullptr, h, total, in, off,
                                                                  inLen, out, 0, outLen, 0, res),
                0);
      std::vector<int32_t> r = host_.Ints(res);
      Bytes o = host_.Bytes(out);
      stream.insert(stream.end(), o.begin(), o.begin() + r[1]);
      pos += static_cast<size_t>(r[0]);
      if (r[2] == CSR_END_OF_STREAM) break;
      if (r[2] < 0) {
        ADD_FAILURE() << "compression code " << r[2];
        break;
      }
    }
    EXPECT_EQ(pos, data.size());
    Close(h);
    return stream;
  }

  Bytes Decompress(const Bytes& stream, std::mt19937& g, int maxIn = kPacked, int maxOut = kPlain) {
    jint h = GetHandle();
    jbyteArray hdr = host_.NewBytes(Bytes(stream.begin(), stream.begin() + 8));
    EXPECT_EQ(Java_com_weq_conn_rfc_engine_Compress_CsRInitDecompress(env_, nullptr, h, hdr), 0);
    Bytes data;
    size_t pos = 8;
    jintArray res = host_.NewInts({0, 0, 0});
    bool done = false;
    for (int guard = 0; guard < 1000000 && !done; ++guard) {
      // No input after "more input" only once everything was given.
      int inLen = std::min<int>(1 + static_cast<int>(g() % maxIn), static_cast<int>(stream.size() - pos));
      int outLen = 1 + static_cast<int>(g() % maxOut);
      jbyteArray in = host_.NewBytes(Bytes(stream.begin() + static_cast<long>(pos),
                                           stream.begin() + static_cast<long>(pos) + inLen));
      jbyteArray out = host_.NewBytes(Bytes(static_cast<size_t>(outLen)));
      EXPECT_EQ(Java_com_weq_conn_rfc_engine_Compress_CsRDecompress(env_, nullptr, h, in, 0, inLen,
                                                                    out, outLen, 0, res),
                0);
      std::vector<int32_t> r = host_.Ints(res);
      Bytes o = host_.Bytes(out);
      data.insert(data.end(), o.begin(), o.begin() + r[1]);
      pos += static_cast<size_t>(r[0]);
      done = r[2] == CSR_END_OF_STREAM;
      if (r[2] < 0) {
        ADD_FAILURE() << "decompression code " << r[2];
        break;
      }
    }
    EXPECT_TRUE(done);
    Close(h);
    return data;
  }

 private:
  JniHost& host_;
  JNIEnv* env_;
};

class CompressNatives : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ThrProcInit(); }
  void TearDown() override {
    host.EndNative();
    EXPECT_TRUE(host.Violations().empty()) << host.Violations().front();
  }
  JniHost host;
  Natives n{host};
};

struct StreamCase {
  const char* name;
  Bytes data;
  int options;  // 0: header by CsRInitCompress (LZH level 2)
};

TEST_F(CompressNatives, StreamsRoundTripInPieces) {
  const StreamCase cases[] = {
      {"text lzh", Text(200000), 0},
      {"binary lzh", Binary(150000), 0},
      {"random lzh", Random(90000, 1), 0},
      {"text lzc", Text(120000), CSR_OPT_LZC},
      {"random lzc", Random(50000, 2), CSR_OPT_LZC},
      {"text lzh block", Text(100000), CSR_OPT_LZH | CSR_OPT_BLOCK},
      {"binary lzc block", Binary(70000), CSR_OPT_LZC | CSR_OPT_BLOCK},
      {"text lzh level 9", Text(60000), CSR_OPT_LZH | (9 << CSR_OPT_LEVEL_SHIFT)},
      {"one byte", Bytes{42}, 0},
  };
  unsigned seed = 7;
  for (const StreamCase& c : cases) {
    std::mt19937 g(seed++);
    Bytes stream = n.Compress(c.data, c.options, g);
    ASSERT_GE(stream.size(), 8u) << c.name;
    EXPECT_EQ(n.Decompress(stream, g), c.data) << c.name;
    host.EndNative();
  }
}

// Streams of `compress -b14` (the 8-byte header is the length, the LZC
// algorithm byte and compress's own three bytes) in pieces of at most 1, 7
// and 2080 bytes.
TEST_F(CompressNatives, FourteenBitLzcStreamsDecode) {
  unsigned seed = 30;
  for (const Bytes& data : {Text(120000), Binary(100000), Random(40000, 3)}) {
    int status = -1;
    const std::string z = tovtest::Filter("compress -c -b14", std::string(data.begin(), data.end()), &status);
    ASSERT_TRUE(status == 0 || status == 2) << status;  // 2: not smaller, written all the same
    const uint32_t len = static_cast<uint32_t>(data.size());
    Bytes stream = {uint8_t(len), uint8_t(len >> 8), uint8_t(len >> 16), uint8_t(len >> 24), 0x11};
    stream.insert(stream.end(), z.begin(), z.end());
    ASSERT_EQ(stream[7], 0x8E);
    for (int maxIn : {1, 7, kPacked}) {
      std::mt19937 g(seed++);
      EXPECT_EQ(n.Decompress(stream, g, maxIn), data) << data.size() << " " << maxIn;
      host.EndNative();
    }
  }
}

TEST_F(CompressNatives, HandlesRunOutAndClosedOnesAreRefused) {
  std::vector<jint> handles;
  for (int i = 0; i < 498; ++i) handles.push_back(n.GetHandle());
  EXPECT_EQ(*std::min_element(handles.begin(), handles.end()), CSR_HANDLE_FIRST);
  EXPECT_EQ(*std::max_element(handles.begin(), handles.end()), CSR_HANDLE_LAST);
  EXPECT_EQ(n.GetHandle(), CSR_E_NO_HANDLE);
  for (jint h : handles) n.Close(h);
  jint h = n.GetHandle();
  n.Close(h);
  jbyteArray hdr = host.NewBytes(Bytes(8));
  EXPECT_EQ(Java_com_weq_conn_rfc_engine_Compress_CsRInitCompress(host.env(), nullptr, h, hdr, 10),
            CSR_E_HANDLE);
  EXPECT_EQ(host.Bytes(hdr), Bytes(8));
  jintArray res = host.NewInts({5, 5, 5});
  jbyteArray in = host.NewBytes(Bytes(10, 1));
  jbyteArray out = host.NewBytes(Bytes(100));
  EXPECT_EQ(Java_com_weq_conn_rfc_engine_Compress_CsRCompress(host.env(), nullptr, h, 10, in, 0, 10,
                                                              out, 0, 100, 0, res),
            0);
  EXPECT_EQ(host.Ints(res), (std::vector<int32_t>{0, 0, CSR_E_HANDLE}));
}

// A stream under way on a handle, for the bounds checks.
class Bounds : public CompressNatives {
 protected:
  void SetUp() override {
    h = n.GetHandle();
    jbyteArray hdr = host.NewBytes(Bytes(8));
    ASSERT_EQ(Java_com_weq_conn_rfc_engine_Compress_CsRInitCompress(host.env(), nullptr, h, hdr, 100),
              0);
  }
  void TearDown() override {
    n.Close(h);
    CompressNatives::TearDown();
  }
  jint h = 0;
};

struct CompressBound {
  const char* name;
  int inArr, inOff, inLen, outArr, outOff, outLen, resLen;
};

TEST_F(Bounds, CompressRefusesRangesBeforeCopying) {
  const CompressBound cases[] = {
      {"negative in offset", 100, -1, 10, 100, 0, 100, 3},
      {"negative in length", 100, 0, -1, 100, 0, 100, 3},
      {"in past the array", 100, 50, 51, 100, 0, 100, 3},
      {"in past the buffer", 5000, 100, kPlain - 99, 100, 0, 100, 3},
      {"negative out offset", 100, 0, 10, 100, -1, 10, 3},
      {"negative out length", 100, 0, 10, 100, 0, -1, 3},
      {"out past the array", 100, 0, 10, 100, 60, 41, 3},
      {"out past the buffer", 100, 0, 10, 3000, 1000, kPacked - 999, 3},
      {"no in array", -1, 0, 0, 100, 0, 100, 3},
      {"no out array", 100, 0, 10, -1, 0, 100, 3},
      {"no result array", 100, 0, 10, 100, 0, 100, -1},
      {"short result array", 100, 0, 10, 100, 0, 100, 2},
  };
  for (const CompressBound& c : cases) {
    Bytes inData = Binary(c.inArr < 0 ? 0 : static_cast<size_t>(c.inArr));
    Bytes outData = Random(c.outArr < 0 ? 0 : static_cast<size_t>(c.outArr), 3);
    jbyteArray in = c.inArr < 0 ? nullptr : host.NewBytes(inData);
    jbyteArray out = c.outArr < 0 ? nullptr : host.NewBytes(outData);
    jintArray res = c.resLen < 0 ? nullptr : host.NewInts(std::vector<int32_t>(static_cast<size_t>(c.resLen), 77));
    EXPECT_EQ(Java_com_weq_conn_rfc_engine_Compress_CsRCompress(host.env(), nullptr, h, 100, in,
                                                                c.inOff, c.inLen, out, c.outOff,
                                                                c.outLen, 0, res),
              -1)
        << c.name;
    if (out) {
      EXPECT_EQ(host.Bytes(out), outData) << c.name;
    }
    if (res) {
      EXPECT_EQ(host.Ints(res), std::vector<int32_t>(static_cast<size_t>(c.resLen), 77));
    }
    host.EndNative();
  }
  // The stream was not touched: it takes its 100 bytes as before.
  jbyteArray in = host.NewBytes(Text(100));
  jbyteArray out = host.NewBytes(Bytes(kPacked));
  jintArray res = host.NewInts({0, 0, 0});
  EXPECT_EQ(Java_com_weq_conn_rfc_engine_Compress_CsRCompress(host.env(), nullptr, h, 100, in, 0,
                                                              100, out, 0, kPacked, 0, res),
            0);
  EXPECT_EQ(host.Ints(res)[0], 100);
  EXPECT_EQ(host.Ints(res)[2], CSR_END_OF_STREAM);
}

TEST_F(Bounds, DecompressRefusesRangesBeforeCopying) {
  struct Case {
    const char* name;
    int inArr, inOff, inLen, outArr, outLen, resLen;
  };
  const Case cases[] = {
      {"negative in offset", 100, -1, 10, 100, 100, 3},
      {"negative in length", 100, 0, -1, 100, 100, 3},
      {"in past the array", 100, 90, 11, 100, 100, 3},
      {"in past the buffer", 3000, 1000, kPacked - 999, 100, 100, 3},
      {"negative out length", 100, 0, 10, 100, -1, 3},
      {"out past the array", 100, 0, 10, 100, 101, 3},
      {"out past the buffer", 100, 0, 10, 5000, kPlain + 1, 3},
      {"no result array", 100, 0, 10, 100, 100, -1},
      {"short result array", 100, 0, 10, 100, 100, 0},
  };
  for (const Case& c : cases) {
    Bytes outData = Random(static_cast<size_t>(c.outArr), 4);
    jbyteArray in = host.NewBytes(Binary(static_cast<size_t>(c.inArr)));
    jbyteArray out = host.NewBytes(outData);
    jintArray res = c.resLen < 0 ? nullptr : host.NewInts(std::vector<int32_t>(static_cast<size_t>(c.resLen), 77));
    EXPECT_EQ(Java_com_weq_conn_rfc_engine_Compress_CsRDecompress(host.env(), nullptr, h, in,
                                                                  c.inOff, c.inLen, out, c.outLen,
                                                                  0, res),
              -1)
        << c.name;
    EXPECT_EQ(host.Bytes(out), outData) << c.name;
    host.EndNative();
  }
}

TEST_F(Bounds, StreamStartsNeedTheirEightBytes) {
  CTrcLevel.store(2);
  tovtest::CaptureFd err;
  EXPECT_EQ(Java_com_weq_conn_rfc_engine_Compress_CsRInitDecompress(host.env(), nullptr, h, nullptr), -1);
  jbyteArray seven = host.NewBytes(Bytes(7, 0x1F));
  EXPECT_EQ(Java_com_weq_conn_rfc_engine_Compress_CsRInitDecompress(host.env(), nullptr, h, seven), -1);
  jbyteArray badMagic = host.NewBytes({10, 0, 0, 0, 0x12, 0x1F, 0x9C, 2});
  EXPECT_EQ(Java_com_weq_conn_rfc_engine_Compress_CsRInitDecompress(host.env(), nullptr, h, badMagic),
            CSR_E_HEADER);
  jbyteArray four = host.NewBytes(Bytes(4, 9));
  EXPECT_EQ(Java_com_weq_conn_rfc_engine_Compress_CsRInitCompress(host.env(), nullptr, h, four, 10), 1);
  EXPECT_EQ(host.Bytes(four), Bytes(4, 9));
  EXPECT_EQ(Java_com_weq_conn_rfc_engine_Compress_CsRInitCompress(host.env(), nullptr, h, nullptr, 10), 1);
  std::string text = err.Take();
  CTrcLevel.store(0);
  EXPECT_NE(text.find("CsRInitDecompress failed (-50)"), std::string::npos) << text;
}

TEST_F(Bounds, LongInputArraysAreReadUpToTheBuffer) {
  // 10000 bytes given, the stream is 4128 long: the native's buffer holds
  // them all, and the rest of the array is never read.
  jint h2 = n.GetHandle();
  jbyteArray hdr = host.NewBytes(Bytes(8));
  ASSERT_EQ(Java_com_weq_conn_rfc_engine_Compress_CsRInitCompress(host.env(), nullptr, h2, hdr, kPlain), 0);
  Bytes data = Text(10000);
  jbyteArray in = host.NewBytes(data);
  jbyteArray out = host.NewBytes(Bytes(kPacked));
  jintArray res = host.NewInts({0, 0, 0});
  Bytes stream = host.Bytes(hdr);
  int taken = 0;
  for (int i = 0; i < 20 && taken < kPlain; ++i) {
    ASSERT_EQ(Java_com_weq_conn_rfc_engine_Compress_CsRCompress(host.env(), nullptr, h2, kPlain, in,
                                                                taken, kPlain - taken, out, 0,
                                                                kPacked, 0, res),
              0);
    std::vector<int32_t> r = host.Ints(res);
    taken += r[0];
    Bytes o = host.Bytes(out);
    stream.insert(stream.end(), o.begin(), o.begin() + r[1]);
    if (r[2] == CSR_END_OF_STREAM) break;
  }
  EXPECT_EQ(taken, kPlain);
  n.Close(h2);
  std::mt19937 g(5);
  EXPECT_EQ(n.Decompress(stream, g), Bytes(data.begin(), data.begin() + kPlain));
}

// Only the input range goes to the native and only the bytes written come
// back: the rest of both arrays keeps its values, and arrays of another
// length than the buffers are traced as the copies of whole buffers trace
// them (once per copy in and once per copy back).
TEST_F(Bounds, ArraysKeepTheBytesTheCallDoesNotWrite) {
  CTrcLevel.store(1);
  tovtest::CaptureFd err;
  // A second stream, whose 600 bytes come in two calls from the middle of a
  // long array into the middle of an output array of 3000 bytes.
  jint hc = n.GetHandle();
  jbyteArray hdr = host.NewBytes(Bytes(8));
  ASSERT_EQ(Java_com_weq_conn_rfc_engine_Compress_CsRInitCompress(host.env(), nullptr, hc, hdr, 600), 0);
  Bytes data = Text(10000);
  jbyteArray in = host.NewBytes(data);
  const Bytes outData = Random(3000, 8);
  jintArray res = host.NewInts({0, 0, 0});
  Bytes stream = host.Bytes(hdr);
  const int kOutOff = 11;
  for (int from : {1000, 1300}) {
    jbyteArray out = host.NewBytes(outData);
    ASSERT_EQ(Java_com_weq_conn_rfc_engine_Compress_CsRCompress(host.env(), nullptr, hc, 600, in, from,
                                                                300, out, kOutOff, 500, 0, res),
              0);
    std::vector<int32_t> r = host.Ints(res);
    EXPECT_EQ(r[0], 300);
    Bytes o = host.Bytes(out);
    Bytes expect = outData;
    std::copy(o.begin() + kOutOff, o.begin() + kOutOff + r[1], expect.begin() + kOutOff);
    EXPECT_EQ(o, expect) << "bytes outside the " << r[1] << " written changed";
    stream.insert(stream.end(), o.begin() + kOutOff, o.begin() + kOutOff + r[1]);
  }
  EXPECT_EQ(host.Ints(res)[2], CSR_END_OF_STREAM);
  n.Close(hc);
  EXPECT_EQ(host.Bytes(in), data);
  // Back through a short output array: the 600 bytes and nothing past them.
  jint hd = n.GetHandle();
  jbyteArray dhdr = host.NewBytes(Bytes(stream.begin(), stream.begin() + 8));
  ASSERT_EQ(Java_com_weq_conn_rfc_engine_Compress_CsRInitDecompress(host.env(), nullptr, hd, dhdr), 0);
  jbyteArray packed = host.NewBytes(Bytes(stream.begin() + 8, stream.end()));
  const Bytes plainData = Random(1000, 9);
  jbyteArray plain = host.NewBytes(plainData);
  ASSERT_EQ(Java_com_weq_conn_rfc_engine_Compress_CsRDecompress(
                host.env(), nullptr, hd, packed, 0, static_cast<jint>(stream.size() - 8), plain, 1000, 0, res),
            0);
  EXPECT_EQ(host.Ints(res), (std::vector<int32_t>{static_cast<int32_t>(stream.size() - 8), 600, CSR_END_OF_STREAM}));
  Bytes expect(data.begin() + 1000, data.begin() + 1600);
  expect.insert(expect.end(), plainData.begin() + 600, plainData.end());
  EXPECT_EQ(host.Bytes(plain), expect);
  n.Close(hd);
  std::string text = err.Take();
  CTrcLevel.store(0);
  auto count = [&](const std::string& line) {
    size_t k = 0;
    for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) ++k;
    return k;
  };
  // Compression, twice: in 10000 and out 3000 against their buffers when
  // copied in; decompression: the output array of 1000 when copied back.
  EXPECT_EQ(count("GetArrayLength 10000 does not match with leng 4128"), 2u) << text;
  EXPECT_EQ(count("GetArrayLength 3000 does not match with leng 2080"), 2u) << text;
  EXPECT_EQ(count("GetArrayLength 1000 does not match with leng 4128"), 1u) << text;
}

// Each injected failure's value and error line.
struct InjectCase {
  JniOp op;
  int nth;
  const char* line;
};

TEST_F(Bounds, JniFailuresGiveMinusOneAndNothingPending) {
  CTrcLevel.store(1);
  const InjectCase compress[] = {
      {JniOp::GetByteArrayRegion, 1, nullptr},
      {JniOp::SetByteArrayRegion, 1, nullptr},
      {JniOp::GetIntArrayElements, 1,
       "JRFC> Java_com_weq_conn_rfc_engine_Compress_CsRCompress GetIntArrayElements failed"}};
  // The whole stream in one call, so that the call writes what the copy
  // back then fails on.
  for (const InjectCase& c : compress) {
    tovtest::CaptureFd err;
    jbyteArray in = host.NewBytes(Text(100));
    jbyteArray out = host.NewBytes(Bytes(100));
    jintArray res = host.NewInts({7, 7, 7});
    host.FailCall(c.op, c.nth);
    EXPECT_EQ(Java_com_weq_conn_rfc_engine_Compress_CsRCompress(host.env(), nullptr, h, 100, in, 0,
                                                                100, out, 0, 100, 0, res),
              -1)
        << tovtest::JniOpName(c.op) << " " << c.nth;
    EXPECT_EQ(host.Pending(), "");
    std::string text = err.Take();
    if (c.line != nullptr) {
      EXPECT_NE(text.find(c.line), std::string::npos) << text;
    }
    host.EndNative();
  }
  const InjectCase decompress[] = {{JniOp::GetByteArrayRegion, 1, nullptr},
                                   {JniOp::GetIntArrayElements, 1, "JRFC> GetIntArrayElements failed"},
                                   {JniOp::SetByteArrayRegion, 1, nullptr}};
  // A whole stream of 10 bytes each time, so that the call writes what the
  // copy back then fails on.
  std::mt19937 g(3);
  const Bytes stream = n.Compress(Text(10), 0, g);
  const jint packedLen = static_cast<jint>(stream.size() - 8);
  jint hd = n.GetHandle();
  jbyteArray lzhHeader = host.NewBytes(Bytes(stream.begin(), stream.begin() + 8));
  for (const InjectCase& c : decompress) {
    ASSERT_EQ(Java_com_weq_conn_rfc_engine_Compress_CsRInitDecompress(host.env(), nullptr, hd, lzhHeader), 0);
    jbyteArray in = host.NewBytes(Bytes(stream.begin() + 8, stream.end()));
    jbyteArray out = host.NewBytes(Bytes(100));
    jintArray res = host.NewInts({7, 7, 7});
    host.FailCall(c.op, c.nth);
    tovtest::CaptureFd err;
    EXPECT_EQ(Java_com_weq_conn_rfc_engine_Compress_CsRDecompress(host.env(), nullptr, hd, in, 0,
                                                                  packedLen, out, 100, 0, res),
              -1)
        << tovtest::JniOpName(c.op) << " " << c.nth;
    std::string text = err.Take();
    if (c.line != nullptr) {
      EXPECT_NE(text.find(c.line), std::string::npos) << text;
    }
    host.EndNative();
  }
  n.Close(hd);
  jbyteArray hdr = host.NewBytes(Bytes(8));
  host.FailCall(JniOp::SetByteArrayRegion);
  EXPECT_EQ(Java_com_weq_conn_rfc_engine_Compress_CsRInitCompress(host.env(), nullptr, h, hdr, 10), 1);
  host.FailCall(JniOp::GetByteArrayRegion);
  jbyteArray header8 = host.NewBytes({10, 0, 0, 0, 0x12, 0x1F, 0x9D, 2});
  EXPECT_EQ(Java_com_weq_conn_rfc_engine_Compress_CsRInitDecompress(host.env(), nullptr, h, header8), -1);
  CTrcLevel.store(0);
}

}  // namespace
