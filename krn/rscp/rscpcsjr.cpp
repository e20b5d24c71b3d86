// Shift-JIS runs: the leading run of double-byte characters of an input,
// written by the Japanese kernel of the target code page (the printer pages
// 8200, 8210 and 8211, else fixed two-byte JIS).
#include "krn/rscp/rscp.h"
#include "krn/rscp/rscpdat.h"

namespace {

using SjrKernel = rscpRc_t (*)(uint8_t*, int32_t*, const uint8_t*, int32_t*);

// The cut: the run's lead bytes are wider than the writers' (0xF0 and above
// pass the full form's cut), so that such pairs reach the writer whole.
template <bool kL1>
rscpRc_t SjrRun(uint8_t* out, int32_t* outlen, const uint8_t* in, int32_t* inlen, const rscpCp_t* target) {
  if (outlen == nullptr || inlen == nullptr || target == nullptr) return RSCPEINVAL;
  const WEQ_UC* d = *target;
  const int number = (d[0] - u'0') * 1000 + (d[1] - u'0') * 100 + (d[2] - u'0') * 10 + (d[3] - u'0');
  int32_t run = 0;
  const int32_t n = *inlen > 0 && in != nullptr ? *inlen : 0;
  while (n - run >= 2) {
    const uint8_t lead = in[run], trail = in[run + 1];
    const bool leadOk = kL1 ? lead >= 0x81 && lead <= 0x9F : (lead >= 0x81 && lead <= 0x9F) || lead >= 0xE0;
    const bool trailOk = (trail >= 0x40 && trail <= 0x7E) || (kL1 ? trail >= 0x80 && trail <= 0xFC : trail >= 0x80);
    if (!leadOk || !trailOk) break;
    run += 2;
  }
  if (run < n) *inlen = run;
  SjrKernel k;
  switch (number) {
    case 8200: k = kL1 ? rscpSjisL1To8200 : rscpSjisTo8200; break;
    case 8210: k = kL1 ? rscpSjisL1To8210 : rscpSjisTo8210; break;
    case 8211: k = kL1 ? rscpSjisL1To8211 : rscpSjisTo8211; break;
    default: k = kL1 ? rscpSjisL1ToJis16 : rscpSjisToJis16; break;
  }
  int32_t len = *inlen;
  return k(out, outlen, in, &len);
}

}  // namespace

rscpRc_t rscpSjisRunTo82xx(uint8_t* out, int32_t* outlen, const uint8_t* in, int32_t* inlen, const rscpCp_t* target) {
  return SjrRun<false>(out, outlen, in, inlen, target);
}

rscpRc_t rscpSjisL1RunTo82xx(uint8_t* out, int32_t* outlen, const uint8_t* in, int32_t* inlen,
                             const rscpCp_t* target) {
  return SjrRun<true>(out, outlen, in, inlen, target);
}
