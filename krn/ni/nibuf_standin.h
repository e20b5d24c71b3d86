// Stand-ins for what the connections need of the buffered layer and the
// routed connect, until they arrive: the start and release of the buffer
// layer (nothing to do yet), the connect of host and service names (the
// direct path only: names through the caches, then NiIConnect; route
// strings are not understood), and the receipt of a handle passed by
// another process (no handle is ever buffered yet, so none arrives). They
// go (this header and nibuf_standin.cpp) when the buffered layer and the
// routing arrive.
#ifndef KRN_NI_NIBUF_STANDIN_H
#define KRN_NI_NIBUF_STANDIN_H

#include <stdint.h>

#include "krn/ni/nixx_int.h"

NI_RC NiBufIInit(void);
void NiBufIExit(void);

// Connects to host/service (or, without a host, to pAddr/servNo). Unbuffered:
// timeout 0 waits without limit and a connect still pending after the
// time-out closes the handle with NIECONN_REFUSED. Buffered: a pending
// connect is handed out with NIECONN_PENDING.
NI_RC NiBufIConnect(const WEQ_UC* pHostName, const WEQ_UC* pServName, const NI_NODEADDR* pAddr,
                    uint16_t servNo, uint32_t protoMask, int32_t timeout, uint8_t mode, uint8_t buffered,
                    CTRC_HDL* trcHdl, NITAB** ppHdl);

// A handle passed by another process over a buffered handle: NIEINVAL.
NI_RC NiBufGetSentHdl(NI_HDL hdl, int32_t timeout, NI_HDL* pNewHdl);

#endif
