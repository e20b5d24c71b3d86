// Inside the built-in data, the code ranges and the Japanese kernels: the
// kernels' internal form that also reports the input consumed, and the seam
// through which tests put their own data set in place of the built-in one.
// Only rscpdat sources, the loaders of this module and tests include it.
#ifndef KRN_RSCP_RSCPDAT_INT_H
#define KRN_RSCP_RSCPDAT_INT_H

#include <cstdint>

#include "krn/rscp/rscpdat.h"

namespace rscpdat {

// The outcome of one kernel call. keep: on rc 32 the caller's outlen keeps
// its entry value (else it receives produced).
struct JkResult {
  int rc;
  int32_t produced;
  int32_t consumed;
  bool keep;
};

enum class Jk {
  kSjisToEuc,
  kSjisL1ToEuc,
  kEucToSjis,
  kJisToSjis,
  kJisToSjisL1,
  kJisToEuc,
  kEucToJis,
  kSjisTo8200,
  kSjisL1To8200,
  kSjisTo8210,
  kSjisL1To8210,
  kSjisTo8211,
  kSjisL1To8211,
  kSjisToJis16,
  kSjisL1ToJis16,
};
inline constexpr int kJkCount = 15;

// Runs one kernel on in[0..inlen) into out[0..cap). out == in is allowed
// for kSjisToEuc only.
JkResult JkRun(Jk kernel, uint8_t* out, int32_t cap, const uint8_t* in, int32_t inlen);

// A 7-bit JIS reader (kJisToSjis, kJisToSjisL1, kJisToEuc) that starts in
// the mode *db (double-byte) and leaves there the mode its input ends in,
// and leaves an escape sequence that the input cuts unconsumed: the
// conversion call carries the mode across calls of one stream. Other
// kernels run as JkRun.
JkResult JkRunJis(Jk kernel, uint8_t* out, int32_t cap, const uint8_t* in, int32_t inlen, bool* db);

// The public kernel of each Jk, for table-driven callers.
using JkFunc = int (*)(uint8_t*, int32_t*, const uint8_t*, int32_t*);
JkFunc JkPublic(Jk kernel);

// The built-in objects as one set; a test may install its own.
struct DataSet {
  const char* tcp00;
  const uint8_t* tcp01;
  uint32_t tcp01LastMax;
  const rscpSegDirEntry_t* segDir;
  const int32_t* date;  // year, month, day
};
const DataSet& BuiltinData();
// The set that the loaders read: the built-in one unless a test installed
// another (NULL restores the built-in set). Not for concurrent use with
// loads in progress.
const DataSet& ActiveData();
void SetActiveData(const DataSet* set);

// The segment look-up over any directory.
const rscpSegDirEntry_t* FindSegment(const rscpSegDirEntry_t* dir, const char* key);

}  // namespace rscpdat

#endif
