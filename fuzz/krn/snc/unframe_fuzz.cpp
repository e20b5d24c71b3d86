// The frame parser on arbitrary input: every position it reports lies in
// the input, the frame never claims more than the input holds, the rest is
// parsed again as the next frame, and a frame it accepts is rebuilt by the
// builder into one that parses to the same parts.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "krn/snc/snc_int.h"

namespace {

void Check(bool ok) {
  if (!ok) abort();
}

bool Inside(const uint8_t* p, size_t n, const uint8_t* lo, const uint8_t* hi) {
  return n == 0 || (p >= lo && p <= hi && n <= static_cast<size_t>(hi - p));
}

bool Same(SncBytes a, SncBytes b) { return a.len == b.len && (a.len == 0 || memcmp(a.p, b.p, a.len) == 0); }

void Rebuild(const SncParsedFrame& f) {
  if (f.type >= FR_COUNT) return;
  SncSession s{};
  s.adapterType = f.adapterType;
  s.qopMin = f.qopMin, s.qopMax = f.qopMax, s.qopUse = f.qopUse;
  SncBytes items[SNC_FRAME_ITEMS] = {};
  for (int i = 0; i < SNC_FRAME_ITEMS; ++i) items[i] = f.item[i];
  const SNC_RC rc = MakeFrame(&s, {f.token, f.tokenLen}, {f.data, f.dataLen}, f.type,
                              static_cast<uint16_t>(f.flags & SNC_FLAG_REFRESH), items, &s.out);
  Check(rc == WEQ_O_K);
  SncParsedFrame g;
  Check(UnFrame(&s, s.out.data, s.out.used, &g) == WEQ_O_K);
  Check(g.type == f.type && g.frameLen == s.out.used && Same({g.token, g.tokenLen}, {f.token, f.tokenLen}) &&
        Same({g.data, g.dataLen}, {f.data, f.dataLen}));
  for (int i = 0; i < SNC_FRAME_ITEMS; ++i) Check(Same(g.item[i], f.item[i]));
  SncPFreeOutBuf(&s.out);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  SncSession s{};
  size_t at = 0;
  while (at < size) {
    const uint8_t* in = data + at;
    const size_t len = size - at;
    SncParsedFrame f;
    if (UnFrame(&s, in, len, &f) != WEQ_O_K) break;
    const uint8_t* end = in + f.frameLen;
    Check(f.frameLen >= SNC_FRAME_HDR && f.frameLen <= len && f.hdrLen >= SNC_FRAME_HDR);
    Check(f.token == in + f.hdrLen && f.data == f.token + f.tokenLen && f.data + f.dataLen == end);
    for (int i = 0; i < SNC_FRAME_ITEMS; ++i) {
      Check(Inside(f.item[i].p, f.item[i].len, in + SNC_FRAME_HDR, in + f.hdrLen));
      Check(f.item[i].len == 0 || (f.itemMask & 1u << i) != 0);
    }
    Check(f.qopMin == 0 || (f.qopMin <= f.qopUse && f.qopUse <= f.qopMax));
    Rebuild(f);
    at += f.frameLen;
  }
  return 0;
}
