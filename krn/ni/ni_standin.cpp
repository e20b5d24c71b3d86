// Stand-ins of ni_standin.h.
#include "krn/ni/ni_standin.h"

#include <arpa/inet.h>
#include <string.h>

#include "i18n/wequ16/u16fmt.h"

CTRC_HDL NiITrcHdl(void) { return CTrcGlobalHdl.load(); }

int32_t NiIOwnHighHdl(void) { return 0; }

int32_t NiIMaxHandles(void) { return 0; }
