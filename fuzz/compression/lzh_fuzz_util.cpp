#include "lzh_fuzz_util.h"

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace lzhfuzz {

namespace {

constexpr uint32_t kMaxRoom = 1 << 18;  // the largest output room a call is given

// Output room of n bytes at the end of a block taken once, so that a write
// beyond the room meets the sanitizer's redzone behind the block. A buffer
// made per call (a zeroed 256 KiB for the whole-stream calls, new pages
// under the sanitizer each time) took half the round-trip target's time.
uint8_t* Room(uint32_t n) {
  static const std::unique_ptr<uint8_t[]> block(new uint8_t[kMaxRoom]);
  return block.get() + (kMaxRoom - n);
}

}  // namespace

void Fail(const char* what) {
  std::fprintf(stderr, "%s\n", what);
  std::abort();
}

uint32_t Pieces::Next(uint32_t left) {
  if (max_ == 0) return left;
  x_ ^= x_ << 13;
  x_ ^= x_ >> 17;
  x_ ^= x_ << 5;
  uint32_t n = 1 + x_ % max_;
  return std::min(n, left);
}

Result Inflate(CsRLzhInflateState* st, const Bytes& stream, Pieces in, Pieces room) {
  Result r;
  if (stream.size() < 8) return r;
  unsigned rd, wr;
  uint8_t dummy;
  r.rc = CsRLzhDecompress(st, stream.data(), 8, &dummy, 0, 1, &rd, &wr);
  if (r.rc != 3) return r;
  size_t pos = 8;
  for (int idle = 0; idle < 4;) {
    uint32_t k = in.Next(static_cast<uint32_t>(stream.size() - pos));
    uint32_t n = room.Next(kMaxRoom);
    uint8_t* buf = Room(n);
    r.rc = CsRLzhDecompress(st, stream.data() + pos, k, buf, n, 0, &rd, &wr);
    if (r.rc < 0) return r;
    if (rd > k || wr > n) Fail("counts beyond the buffers");
    if (r.rc == 3 && rd != k) Fail("more input asked with input left");
    r.out.insert(r.out.end(), buf, buf + wr);
    pos += rd;
    if (r.rc == 1) return r;
    if (r.rc == 3 && k == 0) return r;  // cut short
    idle = (rd == 0 && wr == 0) ? idle + 1 : 0;
  }
  Fail("no progress");
}

Result Deflate(CsRLzhDeflateState* st, const Bytes& data, int level, Pieces in, Pieces room) {
  Result r;
  unsigned rd, wr;
  uint8_t dummy = 0;
  r.out.resize(8);
  r.rc = CsRLzhCompress(st, static_cast<unsigned>(data.size()), &dummy, 0, r.out.data(), 8, 1 | level << 4, &rd,
                        &wr);
  if (r.rc != 2 || wr != 8) Fail("header call");
  size_t pos = 0;
  for (int idle = 0; idle < 4;) {
    uint32_t k = in.Next(static_cast<uint32_t>(data.size() - pos));
    uint32_t n = room.Next(kMaxRoom);
    uint8_t* buf = Room(n);
    r.rc = CsRLzhCompress(st, static_cast<unsigned>(data.size()), data.data() + pos, k, buf, n, 0, &rd, &wr);
    if (r.rc < 0) Fail("compression error");
    if (rd > k || wr > n) Fail("counts beyond the buffers");
    if (r.rc == 3 && rd != k) Fail("more input asked with input left");
    r.out.insert(r.out.end(), buf, buf + wr);
    pos += rd;
    if (r.rc == 1) {
      if (pos != data.size()) Fail("ended before the input");
      return r;
    }
    idle = (rd == 0 && wr == 0) ? idle + 1 : 0;
  }
  Fail("no progress");
}

ZResult ZlibInflateLzh(const Bytes& s) {
  ZResult z;
  if (s.size() < 9) return z;
  int k = 2 + (s[8] & 3);
  Bytes raw;
  for (size_t i = 8; i < s.size(); ++i)
    raw.push_back(static_cast<uint8_t>((s[i] >> k) | (i + 1 < s.size() ? s[i + 1] << (8 - k) : 0)));
  z_stream zs{};
  if (inflateInit2(&zs, -15) != Z_OK) return z;
  zs.next_in = raw.data();
  zs.avail_in = static_cast<uInt>(raw.size());
  uint8_t buf[1 << 15];
  int rc;
  do {
    zs.next_out = buf;
    zs.avail_out = sizeof buf;
    rc = inflate(&zs, Z_NO_FLUSH);
    z.out.insert(z.out.end(), buf, zs.next_out);
  } while (rc == Z_OK && z.out.size() < (64u << 20));
  z.ok = rc == Z_STREAM_END;
  inflateEnd(&zs);
  return z;
}

}  // namespace lzhfuzz
