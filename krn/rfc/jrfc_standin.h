// STAND-IN: the code page converter's start and finish, with the names and
// signatures the converter's control will export, until that control lands
// in krn/rscp. It replaces this header and jrfc_standin.cpp; the callers in
// this module keep their calls.
#ifndef KRN_RFC_JRFC_STANDIN_H
#define KRN_RFC_JRFC_STANDIN_H

#include "krn/rscp/rscp.h"

// Starts the converter: 0 (and at once when it runs already).
rscpRc_t rscpi_init(int acceptMask);
// Finishes the converter: clears the thread's error stack; 0.
rscpRc_t rscpf_finish(int acceptMask);

// Stand-in state for the tests: 0 none, 2 started.
int rscpIStandinState(void);

// Live per-thread records of layers that do not count theirs yet (the
// network interface and the CPI-C layer): 0 until they do.
long jrfcIStandinNiThreadsAlive(void);
long jrfcIStandinCpicThreadsAlive(void);

#endif
