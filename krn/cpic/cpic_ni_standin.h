// Stand-ins for the NI services that the CPI-C layer calls and that the
// network interface does not offer yet: the library's start and end, the
// per-thread data, parameters (NIP_CONNLOCAL), and reads, writes and
// closes of handles. Each has the name and signature of the real service
// and is a weak definition, so the real one
// replaces it at link time as soon as it exists; this header, its source and
// its include in cpic_int.h go when all of them have arrived.
#ifndef KRN_CPIC_CPIC_NI_STANDIN_H
#define KRN_CPIC_CPIC_NI_STANDIN_H

#include <stdint.h>

#include "krn/ni/ni.h"
#include "weq_types.h"

typedef int32_t NI_HDL;
#define NI_INVALID_HDL (-1)

// Parameter numbers of NiSetParam.
#define NIP_CONNLOCAL 10

// Counted start of the library: NIEINVAL for a count below 1.
NI_RC NiInit2(int maxHandles);
// Counts the start down.
NI_RC NiExit(void);
// The calling thread's NI data: NIECALL before NiInit2.
NI_RC NiThrInit(void);
// Frees a thread's NI data (NULL: the calling thread's).
void NiThrExit(void* thrData);
// Stores a parameter; NIEINVAL for an unknown number.
NI_RC NiSetParam(uint8_t param, uint32_t value);
// The stored value of a parameter (-1 for an unknown number).
int64_t NiGetParam(uint8_t param);
// Handle operations. Without a handle table no handle is valid: each
// refuses with NIEINVAL.
NI_RC NiRead(NI_HDL hdl, void* pBuffer, int bufferLen, int timeout, uint32_t* pRead);
NI_RC NiWrite(NI_HDL hdl, const void* pData, int dataLen, int timeout, uint32_t* pWritten);
NI_RC NiCloseHandle(NI_HDL hdl);

#endif
