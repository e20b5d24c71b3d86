// STAND-IN bodies; see jrfc_standin.h.
#include "krn/rfc/jrfc_standin.h"

#include "krn/rscp/rscpcc_int.h"

int rscpIStandinState(void) { return rscpGetState(); }

long jrfcIStandinNiThreadsAlive(void) { return 0; }
long jrfcIStandinCpicThreadsAlive(void) { return 0; }
