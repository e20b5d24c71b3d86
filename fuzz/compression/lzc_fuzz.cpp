// LZC under libFuzzer. The first byte picks what the rest is:
//   0: a stream body, decoded behind a header made of the next 3 bytes;
//   1: plain data, compressed and decoded again, which must give it back;
//      with bit 0 of first byte / 3 set, the data is first stretched beyond
//      8 KiB, where the compressor keeps strings of two bytes apart;
//   2: plain data, compressed, then damaged at spots the data chooses, and
//      decoded.
// Pieces and output rooms come from a generator seeded by the data. Every
// call must report counts within its buffers, and no decode may produce
// more than the header's length.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <memory>
#include <vector>

#include "compression/csr.h"
#include "compression/lzc.h"

namespace {

struct Rng {
  uint64_t x;
  uint32_t Next() {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    return static_cast<uint32_t>(x >> 11);
  }
  int Upto(int n) { return 1 + static_cast<int>(Next() % n); }
};

// A copy in a heap block of exactly n bytes (never NULL, even for 0), so
// that the sanitizer sees a read beyond the piece.
std::unique_ptr<WEQ_RAW[]> Exact(const WEQ_RAW* p, int n) {
  std::unique_ptr<WEQ_RAW[]> b(new WEQ_RAW[n]);
  memcpy(b.get(), p, n);
  return b;
}

// What every input uses, taken once: the states (400 KB; each stream's
// first call sets up all that it reads of them) and the buffers of the
// stretched data, the stream and the output, which keep their capacity.
// Fresh ones were cleared and faulted in again for each input. The pieces
// and rooms of each call stay blocks of their own, freed after the call,
// so that the sanitizer sees a read beyond one or a use of an old one.
struct Work {
  CSR_LZC_CSTATE c;
  CSR_LZC_DSTATE d;
  std::vector<WEQ_RAW> stretched, z, out;
};
Work& gWork = *new Work;

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

// Compresses n bytes into *out.
void Compress(const uint8_t* data, int n, Rng& rng, std::vector<WEQ_RAW>* out) {
  out->clear();
  int pos = 0;
  for (int first = 1;; first = 0) {
    int piece = std::min(rng.Upto(300) - 1, n - pos);
    int room = first ? 8 + rng.Upto(40) : 13 + rng.Upto(200);
    auto in = Exact(data + pos, piece);
    std::unique_ptr<WEQ_RAW[]> buf(new WEQ_RAW[room]);
    int read, written;
    int rc = CsRLzcCompress(&gWork.c, n, in.get(), piece, buf.get(), room, first, &read, &written);
    Check(rc > 0 && read >= 0 && read <= piece && written >= 0 && written <= room);
    out->insert(out->end(), buf.get(), buf.get() + written);
    pos += read;
    if (rc == CSR_END_OF_STREAM) return;
  }
}

// Decodes in random pieces into *out: the data, or what came before an
// error.
void Decompress(const std::vector<WEQ_RAW>& z, Rng& rng, int* result, std::vector<WEQ_RAW>* out) {
  out->clear();
  size_t pos = 0;
  bool last = false;
  for (int first = 1; first || out->size() < (4u << 20); first = 0) {
    int piece = static_cast<int>(std::min<size_t>(rng.Upto(200) - 1, z.size() - pos));
    if (first) piece = static_cast<int>(z.size());
    int room = rng.Upto(300);
    auto in = Exact(z.data() + pos, piece);
    std::unique_ptr<WEQ_RAW[]> buf(new WEQ_RAW[room]);
    int read, written;
    int rc = CsRLzcDecompress(&gWork.d, in.get(), piece, buf.get(), room, first, &read, &written);
    Check(read >= 0 && read <= piece && written >= 0 && written <= room);
    out->insert(out->end(), buf.get(), buf.get() + written);
    pos += read;
    *result = rc;
    if (rc == CSR_MORE_INPUT) {
      if (last) break;
      last = pos == z.size();
    } else if (rc != CSR_OUTPUT_FULL) {
      break;
    }
  }
}

// Copies of the data, each with one byte changed, and random runs between
// them, into *v: 8 to 24 KiB, as the generator picks. Random runs fill the
// dictionary within that and let the ratio check reset it; each byte costs
// a compression and a decoding, so that longer data only slows the target.
void Stretch(const uint8_t* data, int n, Rng& rng, std::vector<WEQ_RAW>* v) {
  v->clear();
  const size_t want = 8192 + rng.Next() % 16384;
  while (v->size() < want) {
    if (rng.Next() % 4 == 0) {
      const size_t at = v->size();
      v->resize(at + static_cast<size_t>(rng.Upto(3000)));
      for (size_t i = at; i < v->size(); ++i) (*v)[i] = static_cast<WEQ_RAW>(rng.Next());
    } else {
      const size_t at = v->size();
      v->insert(v->end(), data, data + n);
      (*v)[at + rng.Next() % n] ^= static_cast<WEQ_RAW>(1 + rng.Next() % 255);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4 || size > 200000) return 0;
  Rng rng{0x9E3779B97F4A7C15ull};
  for (size_t i = 0; i < size; ++i) rng.x = (rng.x ^ data[i]) * 0x100000001B3ull;
  if (rng.x == 0) rng.x = 1;
  int mode = data[0] % 3;
  const uint8_t* body = data + 1;
  int n = static_cast<int>(size - 1);
  int rc;
  std::vector<WEQ_RAW>& z = gWork.z;
  std::vector<WEQ_RAW>& out = gWork.out;
  if (mode == 0) {
    uint32_t length = static_cast<uint32_t>(body[0]) | static_cast<uint32_t>(body[1]) << 8;
    z.assign({static_cast<WEQ_RAW>(length), static_cast<WEQ_RAW>(length >> 8), 0, 0, 0x11, 0x1F, 0x9D, body[2]});
    z.insert(z.end(), body + 3, body + n);
    Decompress(z, rng, &rc, &out);
    Check(out.size() <= length);
    return 0;
  }
  if (mode == 1 && (data[0] / 3) & 1) {
    Stretch(body, n, rng, &gWork.stretched);
    body = gWork.stretched.data();
    n = static_cast<int>(gWork.stretched.size());
  }
  Compress(body, n, rng, &z);
  if (mode == 1) {
    Decompress(z, rng, &rc, &out);
    Check(rc == CSR_END_OF_STREAM && out.size() == static_cast<size_t>(n) && memcmp(out.data(), body, n) == 0);
    return 0;
  }
  for (int k = rng.Upto(4); k > 0; --k) {
    size_t at = rng.Next() % z.size();
    z[at] = static_cast<WEQ_RAW>(z[at] ^ (1u << (rng.Next() % 8)));
  }
  uint32_t length = z[0] | z[1] << 8 | z[2] << 16 | static_cast<uint32_t>(z[3]) << 24;
  Decompress(z, rng, &rc, &out);
  Check(out.size() <= length);
  return 0;
}
