// The look-ups of the host and service caches that the rest of NI calls
// (the caches themselves: nihs_int.h). Ports are in network order. With
// NI_HS_MODE_BUFONLY a look-up answers from the cache alone and never waits
// for the resolver: trace code and the failure reporter use it. On failure
// NiIGetHostName leaves the address text and NiIGetServName the decimal
// port in the buffer, so that callers printing a peer always have a text.
#ifndef KRN_NI_NIHS_FRONT_H
#define KRN_NI_NIHS_FRONT_H

#include <stdint.h>

#include "krn/dptrc/dptrc.h"
#include "krn/ni/ni.h"

// Host name, address text or NULL (the loopback address) to an address;
// protocol 0, NI_PROTO_FAM_IPv4 or NI_PROTO_FAM_IPv6.
NI_RC NiIGetNodeAddr(const WEQ_UC* pHostName, int protocol, NI_NODEADDR* pNodeAddr, int mode, CTRC_HDL trc);
// Address (NULL: "localhost") to host name; fq only marks the trace line.
NI_RC NiIGetHostName(const NI_NODEADDR* pNodeAddr, WEQ_UC* pHostName, int bufferLen, uint8_t fq, int mode,
                     CTRC_HDL trc);
// Service name or decimal text to a port.
NI_RC NiIGetServNo(const WEQ_UC* pServName, uint16_t* pServNo, int mode, CTRC_HDL trc);
// Port to service name.
NI_RC NiIGetServName(uint16_t servNo, WEQ_UC* pServName, int bufferLen, int mode, CTRC_HDL trc);

#endif
