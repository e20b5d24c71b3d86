// UCS-4 to UTF-16, both in native byte order.
#include "krn/rscp/rscpu_int.h"

namespace {
rscpu::RscpuIModule gModule{"@(#) $Id: krn/rscp/rscpu46r.cpp $"};
}  // namespace

int rscpu_U4_to_U6(const uint32_t** pSrc, const uint32_t* srcEnd, WEQ_UC** pDst,
                   WEQ_UC* dstEnd) {
  using U4 = rscpu::Form<rscpu::Family::kUcs4, false>;
  using U6 = rscpu::Form<rscpu::Family::kUtf16, false>;
  const uint32_t* s = *pSrc;
  WEQ_UC* d = *pDst;
  int rc = 0;
  for (; s < srcEnd; ++s) {
    if (d >= dstEnd) {
      rc = rscpu::RscpuIError(gModule, RSCPU_DEST_FULL, rscpu::kLocU46Full, __LINE__,
                              rscpu::kMsgFull);
      break;
    }
    uint32_t c = rscpu::Get<U4>(s);
    if (c > 0x10FFFF) c = 0xFFFD;
    if (c <= 0xFFFF) {
      rscpu::Put<U6>(d++, c);
      continue;
    }
    if (dstEnd - d < 2) {
      rc = rscpu::RscpuIError(gModule, RSCPU_DEST_FULL, rscpu::kLocU46FullPair, __LINE__,
                              rscpu::kMsgFull);
      break;
    }
    rscpu::PutPair<U6>(d, c);
  }
  *pSrc = s;
  *pDst = d;
  return rc;
}
