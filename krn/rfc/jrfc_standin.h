// STAND-IN: what the tests of this module read of layers that do not
// report it yet. The converter's start and finish (rscpi_init,
// rscpf_finish) are the converter's own now.
#ifndef KRN_RFC_JRFC_STANDIN_H
#define KRN_RFC_JRFC_STANDIN_H

#include "krn/rscp/rscp.h"

// The converter's state for the tests: 0 none, 2 started.
int rscpIStandinState(void);

// Live per-thread records of layers that do not count theirs yet (the
// network interface and the CPI-C layer): 0 until they do.
long jrfcIStandinNiThreadsAlive(void);
long jrfcIStandinCpicThreadsAlive(void);

#endif
