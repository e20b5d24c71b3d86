// Bytes as a received hand-off record: the decoder gives a verdict and,
// only for a record of an accepted length that names another process, a
// socket of family 2 or 23 and type 1..3 and a non-negative descriptor.
// No descriptor is ever taken.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "krn/si/si.h"
#include "krn/si/si_int.h"
#include "fuzz/check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const pid_t self = getpid();
  SiHandoff h{0x7777, -7, 99, 99, 99};
  SiHandoffVerdict v = SiIDecodeHandoff(data, size, self, &h);
  if (v != SI_HANDOFF_OK) {
    FUZZ_CHECK(h.pid == 0x7777 && h.fd == -7);  // nothing filled in
    FUZZ_CHECK(v != SI_HANDOFF_BAD_LENGTH || (size != SI_HANDOFF_LEN && size != SI_HANDOFF_SHORT_LEN));
    return 0;
  }
  FUZZ_CHECK(size == SI_HANDOFF_LEN || size == SI_HANDOFF_SHORT_LEN);
  FUZZ_CHECK(h.pid != 0 && static_cast<pid_t>(h.pid) != self);
  FUZZ_CHECK(h.fd >= 0);
  FUZZ_CHECK(h.family == SI_AF_INET || h.family == SI_AF_INET6);
  FUZZ_CHECK(h.type >= SI_SOCK_STREAM && h.type <= SI_SOCK_RAW);
  // The encoder's record of what was read decodes to the same fields.
  WEQ_RAW again[SI_HANDOFF_LEN];
  SiIEncodeHandoff(h, again);
  SiHandoff back{};
  FUZZ_CHECK(SiIDecodeHandoff(again, sizeof(again), self, &back) == SI_HANDOFF_OK);
  FUZZ_CHECK(memcmp(&back, &h, sizeof(h)) == 0);
  FUZZ_CHECK(memcmp(again, data, 28) == 0);
  return 0;
}
