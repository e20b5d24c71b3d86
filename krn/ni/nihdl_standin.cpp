// Stand-in of nihdl_standin.h.
#include "krn/ni/nihdl_standin.h"

CTRC_HDL NiITrcHdl(void) { return CTrcGlobalHdl.load(); }

int32_t NiIOwnHighHdl(void) { return 0; }

int32_t NiIMaxHandles(void) { return 0; }
