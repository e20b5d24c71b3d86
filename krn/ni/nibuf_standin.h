// Stand-ins for what the buffered layer and the connections need of the
// routing and of handle passing, until they arrive: the connect of host and
// service names (the direct path only: names through the caches, then
// NiIConnect; route strings are not understood), and the receipt of a
// handle passed by another process, which nothing here sends for (none ever
// arrives). They go (this header and nibuf_standin.cpp) when the routing and
// the control messages arrive.
#ifndef KRN_NI_NIBUF_STANDIN_H
#define KRN_NI_NIBUF_STANDIN_H

#include <stdint.h>

#include "krn/ni/nixx_int.h"

// Connects to host/service (or, without a host, to pAddr/servNo). Unbuffered:
// timeout 0 waits without limit and a connect still pending after the
// time-out closes the handle with NIECONN_REFUSED. Buffered: the handle gets
// its extension (talk mode NI_RAW_IO for a non-zero mode), and a pending
// connect is handed out with NIECONN_PENDING.
NI_RC NiBufIConnect(const WEQ_UC* pHostName, const WEQ_UC* pServName, const NI_NODEADDR* pAddr,
                    uint16_t servNo, uint32_t protoMask, int32_t timeout, uint8_t mode, uint8_t buffered,
                    CTRC_HDL* trcHdl, NITAB** ppHdl);

// A handle passed by another process over a buffered handle: NIEINVAL.
NI_RC NiBufGetSentHdl(NI_HDL hdl, int32_t timeout, NI_HDL* pNewHdl);

// The accept of a passed handle, run by the input step while a handle is
// receiving one: NIEINTERN (nothing starts such a receipt yet).
NI_RC NiBufIAcceptSentHdl(NITAB* pHdl, NIBUF_EXT* pExt, int32_t timeout);

#endif
