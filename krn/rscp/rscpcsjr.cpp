// Shift-JIS runs: the leading run of double-byte characters of an input,
// written by the Japanese kernel of the target code page (the printer pages
// 8200, 8210 and 8211, else fixed two-byte JIS).
#include "krn/rscp/rscp.h"
#include "krn/rscp/rscpcv_int.h"
#include "krn/rscp/rscpdat_int.h"

namespace {

using rscpdat::Jk;

// The cut: the run's lead bytes are wider than the writers' (0xF0 and above
// pass the full form's cut), so that such pairs reach the writer whole.
// The input length written back is what the writer took: the run, or less
// when the output filled at a character boundary (the rest is not lost).
template <bool kL1>
rscpRc_t SjrRun(uint8_t* out, int32_t* outlen, const uint8_t* in, int32_t* inlen, const rscpCp_t* target) {
  if (outlen == nullptr || inlen == nullptr || target == nullptr || (out == nullptr && *outlen > 0)) {
    return RSCPEINVAL;
  }
  const WEQ_UC* d = *target;
  const int number = (d[0] - u'0') * 1000 + (d[1] - u'0') * 100 + (d[2] - u'0') * 10 + (d[3] - u'0');
  const int32_t n = *inlen > 0 && in != nullptr ? *inlen : 0;
  const int32_t run = rscpcISjisRun(in, n, kL1);
  Jk k;
  switch (number) {
    case 8200: k = kL1 ? Jk::kSjisL1To8200 : Jk::kSjisTo8200; break;
    case 8210: k = kL1 ? Jk::kSjisL1To8210 : Jk::kSjisTo8210; break;
    case 8211: k = kL1 ? Jk::kSjisL1To8211 : Jk::kSjisTo8211; break;
    default: k = kL1 ? Jk::kSjisL1ToJis16 : Jk::kSjisToJis16; break;
  }
  const rscpdat::JkResult r = rscpdat::JkRun(k, out, *outlen, in, run < n ? run : *inlen);
  if (!(r.rc == RSCPETOOLONG && r.keep)) *outlen = r.produced;
  *inlen = r.rc == 0 ? r.consumed : run < n ? run : *inlen;
  return r.rc;
}

}  // namespace

int32_t rscpcISjisRun(const uint8_t* in, int32_t n, bool l1) {
  int32_t run = 0;
  while (n - run >= 2) {
    const uint8_t lead = in[run], trail = in[run + 1];
    const bool leadOk = l1 ? lead >= 0x81 && lead <= 0x9F : (lead >= 0x81 && lead <= 0x9F) || lead >= 0xE0;
    const bool trailOk = (trail >= 0x40 && trail <= 0x7E) || (l1 ? trail >= 0x80 && trail <= 0xFC : trail >= 0x80);
    if (!leadOk || !trailOk) break;
    run += 2;
  }
  return run;
}

rscpRc_t rscpSjisRunTo82xx(uint8_t* out, int32_t* outlen, const uint8_t* in, int32_t* inlen, const rscpCp_t* target) {
  return SjrRun<false>(out, outlen, in, inlen, target);
}

rscpRc_t rscpSjisL1RunTo82xx(uint8_t* out, int32_t* outlen, const uint8_t* in, int32_t* inlen,
                             const rscpCp_t* target) {
  return SjrRun<true>(out, outlen, in, inlen, target);
}
