// Compress then decompress arbitrary input at a level, input pieces and
// output rooms chosen by the fuzzer: the stream inflates with zlib and
// decodes with ours to the input, and its bytes do not depend on the
// pieces.
#include <memory>

#include "lzh_fuzz_util.h"

using namespace lzhfuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  const int level = 1 + data[0] % 9;
  const uint32_t seed = data[1] | data[2] << 8 | data[3] << 16;
  const Bytes plain(data + 4, data + size);
  static auto def = std::make_unique<CsRLzhDeflateState>();
  static auto inf = std::make_unique<CsRLzhInflateState>();

  CsRLzhISetFiller(seed & 3, seed >> 2);
  Result c = Deflate(def.get(), plain, level, Pieces(seed, 1 + (seed >> 4) % 5000), Pieces(seed >> 8, 1 + seed % 300));
  Result whole = Deflate(def.get(), plain, level, Pieces(seed, 0), Pieces(seed, 0));
  if (c.out != whole.out) Fail("stream depends on the pieces");
  Result d = Inflate(inf.get(), c.out, Pieces(seed >> 5, 1 + seed % 97), Pieces(seed >> 7, 1 + seed % 5000));
  if (d.rc != 1 || d.out != plain) Fail("round trip");
  ZResult z = ZlibInflateLzh(c.out);
  if (!z.ok || z.out != plain) Fail("zlib round trip");
  return 0;
}
