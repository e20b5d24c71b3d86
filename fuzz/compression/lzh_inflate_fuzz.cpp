// The decompressor on arbitrary and on damaged streams, whole and in
// random pieces: no call reports more than its buffers hold, the pieces
// give a prefix of the whole decode (the same output when it succeeds),
// and a stream that both we and zlib decode gives the same bytes, up to the
// window that reaches the header's length.
#include <algorithm>
#include <cstring>
#include <memory>

#include "lzh_fuzz_util.h"

using namespace lzhfuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  const uint8_t mode = data[0];
  const uint32_t seed = data[1] | data[2] << 8 | data[3] << 16;
  data += 4;
  size -= 4;
  static auto inf = std::make_unique<CsRLzhInflateState>();
  static auto def = std::make_unique<CsRLzhDeflateState>();

  Bytes stream = {0, 0, 0, 0, 0x12, 0x1F, 0x9D, 6};
  if (mode & 1) {
    // A valid stream of the input's second half, damaged at the places the
    // first half names.
    size_t half = size / 2;
    Bytes plain(data + half, data + size);
    Result c = Deflate(def.get(), plain, 1 + mode % 9, Pieces(seed, 0), Pieces(seed, 0));
    stream = c.out;
    for (size_t i = 0; i + 2 < half; i += 3) {
      size_t at = 8 + (data[i] | data[i + 1] << 8) % (stream.size() - 8);
      stream[at] ^= data[i + 2];
    }
  } else {
    uint32_t len = (mode & 2) ? 0x7FFFFFFFu : static_cast<uint32_t>(size * 4);
    std::memcpy(stream.data(), &len, 4);
    stream.resize(8 + size);
    std::copy(data, data + size, stream.begin() + 8);
  }

  Result whole = Inflate(inf.get(), stream, Pieces(seed, 0), Pieces(seed, 0));
  Result parts = Inflate(inf.get(), stream, Pieces(seed, 1 + mode % 64), Pieces(seed >> 3, 1 + (seed & 0x3FF)));
  const Bytes& shorter = whole.out.size() < parts.out.size() ? whole.out : parts.out;
  const Bytes& longer = whole.out.size() < parts.out.size() ? parts.out : whole.out;
  if (!std::equal(shorter.begin(), shorter.end(), longer.begin())) Fail("pieces decode differently");
  if (whole.rc == 1 && (parts.rc != 1 || parts.out != whole.out)) Fail("pieces end differently");
  if (whole.rc == 1) {
    ZResult z = ZlibInflateLzh(stream);
    // A header length below the data ends the stream with the window of
    // 16384 bytes that reaches it.
    const uint64_t length = stream[0] | stream[1] << 8 | stream[2] << 16 | uint64_t{stream[3]} << 24;
    const uint64_t cut = std::max<uint64_t>(1, (length + 16383) / 16384) * 16384;
    if (z.out.size() > cut) z.out.resize(cut);
    if (z.ok && z.out != whole.out) Fail("zlib decodes differently");
  }
  return 0;
}
