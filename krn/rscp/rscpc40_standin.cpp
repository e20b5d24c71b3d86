// Stand-in for the rules that need the ISO-2022 and range writers (output
// rules 53-68 and 73-82, input rules 68 and 71) until those writers are
// built: each such rule ends the character's conversion with an internal
// error report, as a rule without a meaning does.
#include "krn/rscp/rscpcv_int.h"

rscpcOutResult rscpcIOutRule40(rscpCObj_t*, const rscpcTables&, uint8_t*, uint8_t**, uint8_t*, uint32_t,
                               uint32_t rule, uint32_t) {
  return rscpcOutResult::Error(rscpcIBadRule(rule, __LINE__));
}

rscpcIn40 rscpcIInRule40(rscpCObj_t*, const rscpcTables&, uint32_t rule, uint32_t, const uint8_t*, const uint8_t*,
                         uint32_t*, int*, rscpRc_t* rc) {
  *rc = rscpcIBadRule(rule, __LINE__);
  return rscpcIn40::kError;
}
