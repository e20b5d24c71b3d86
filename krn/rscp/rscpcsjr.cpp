// Shift-JIS runs: the leading run of double-byte characters of an input,
// written by the Japanese kernel of the target code page (the printer pages
// 8200, 8210 and 8211, else fixed two-byte JIS).
#include "krn/rscp/rscp.h"
#include "krn/rscp/rscpcv_int.h"
#include "krn/rscp/rscpdat_int.h"

namespace {

using rscpdat::Jk;

// The decimal value of the four digits.
int SjrNumber(const rscpCp_t* target) {
  const WEQ_UC* d = *target;
  return (d[0] - u'0') * 1000 + (d[1] - u'0') * 100 + (d[2] - u'0') * 10 + (d[3] - u'0');
}

// The printer pages frame JIS in shift sequences and copy every byte that
// their writer does not take as a pair.
bool SjrShifted(int number) { return number == 8200 || number == 8210 || number == 8211; }

// The input length written back is what the writer took: the run, or less
// when the output filled at a character boundary (the rest is not lost).
template <bool kL1>
rscpRc_t SjrRun(uint8_t* out, int32_t* outlen, const uint8_t* in, int32_t* inlen, const rscpCp_t* target) {
  if (outlen == nullptr || inlen == nullptr || target == nullptr || (out == nullptr && *outlen > 0)) {
    return RSCPEINVAL;
  }
  const int number = SjrNumber(target);
  const int32_t n = *inlen > 0 && in != nullptr ? *inlen : 0;
  const int32_t run = rscpcISjisRun(in, n, kL1, target);
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

// The full form's pairs (lead 0x81-0x9F or 0xE0 and above, trail 0x40-0x7E
// or 0x80 and above) are wider than the printer writers' (lead up to 0xEF,
// trail up to 0xFC). Those writers would copy the bytes of a user-defined
// or IBM extension code (lead 0xF0 and above), or of a trail byte 0xFD and
// above, as 8-bit single bytes into their 7-bit form, so their run ends
// before such a pair, which then takes the tables like any character the
// page lacks. The two-byte JIS writer takes every pair: beyond the writer's
// range the arithmetic lands outside the 94 x 94 JIS square, one to one, so
// nothing reads as another character.
int32_t rscpcISjisRun(const uint8_t* in, int32_t n, bool l1, const rscpCp_t* target) {
  const bool narrow = l1 || SjrShifted(SjrNumber(target));
  int32_t run = 0;
  while (n - run >= 2) {
    const uint8_t lead = in[run], trail = in[run + 1];
    const bool leadOk = (lead >= 0x81 && lead <= 0x9F) || (!l1 && lead >= 0xE0 && (!narrow || lead <= 0xEF));
    const bool trailOk = (trail >= 0x40 && trail <= 0x7E) || (trail >= 0x80 && (!narrow || trail <= 0xFC));
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
