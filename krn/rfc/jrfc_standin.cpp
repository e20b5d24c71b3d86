// STAND-IN bodies; see jrfc_standin.h.
#include "krn/rfc/jrfc_standin.h"

#include <atomic>

namespace {
std::atomic<int> gConverterState{0};
}  // namespace

rscpRc_t rscpi_init(int /*acceptMask*/) {
  gConverterState.store(2, std::memory_order_release);
  return 0;
}

rscpRc_t rscpf_finish(int /*acceptMask*/) {
  rscpeClearErrors(rscpeg__get_thr_errors());
  gConverterState.store(0, std::memory_order_release);
  return 0;
}

int rscpIStandinState(void) { return gConverterState.load(std::memory_order_acquire); }

long jrfcIStandinNiThreadsAlive(void) { return 0; }
long jrfcIStandinCpicThreadsAlive(void) { return 0; }
