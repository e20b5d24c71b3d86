// Stand-ins for what message I/O and the parameters need of the buffered
// layer and of the control-message processing, until they arrive: the
// buffered layer's share of the parameters (it takes the process-wide 30
// and, on a buffered handle, the per-handle ones; no handle is buffered
// yet, so a request to make one is refused), and the processing of a
// received message, which here knows the keep-alive pair only (every other
// message is user data). They go (this header and nictl_standin.cpp) when
// the buffered layer and the control messages arrive.
#ifndef KRN_NI_NICTL_STANDIN_H
#define KRN_NI_NICTL_STANDIN_H

#include <stdint.h>

#include "krn/ni/ni.h"
#include "krn/ni/nixx_int.h"

// Offers a process-wide parameter to the buffered layer: *pTaken tells
// whether it took it; an error of its own is returned.
NI_RC NiBufISetParam(const NI_PARAM_DATA* pParamData, bool* pTaken);
// The same for a buffered handle's parameter.
NI_RC NiBufIHdlSetParam(NITAB* pHdl, const NI_PARAM_DATA* pParamData, bool* pTaken);
// Makes an unbuffered connection handle a buffered one.
NI_RC NiBufIHdlInit(NITAB* pHdl);
// The buffered layer's maximum heap as last set (0: never), for tests.
uint32_t NiBufIMaxHeap(void);

// Processes a message that a handle read, whole (the read never offers a
// piece of one; keep-alive frames are told by NiIKeepAliveKind): 0 user
// data (length and bytes unchanged),
// NIEOPCODE a consumed control message (length 0; *pPeerRc a code the peer
// sent, else 0), NIEPING the answer to this handle's own keep-alive check,
// any other code a failure.
NI_RC NiBufIProcMsg(NITAB* pHdl, void* pExt, void* pMsg, uint32_t* pLength, NI_RC* pPeerRc,
                    uint8_t* pVersion);

#endif
