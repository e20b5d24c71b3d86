// Stand-ins for what the failure reporter needs of the address and cache
// parts of NI, which are not built yet: the node address and its numeric
// text, and the buffer-only look-ups of the host and service caches. They
// go (this header, niaddr_standin.cpp and its include in ni_int.h) when
// those parts arrive.
#ifndef KRN_NI_NIADDR_STANDIN_H
#define KRN_NI_NIADDR_STANDIN_H

#include <stdint.h>

#include "krn/dptrc/dptrc.h"
#include "krn/ni/ni.h"
#include "weq_types.h"

// --- Node addresses (addresses and address strings) -------------------------------

// A network address in IPv6 form; IPv4 addresses IPv4-mapped (10 zero
// bytes, two 0xFF bytes, the 4 address bytes).
typedef struct NI_NODEADDR {
  WEQ_RAW addr[16];
} NI_NODEADDR;

#define NI_NODEADDR_STR_LEN 46
#define NI_IPv4ADDR_STR_LEN 16

// The numeric text of an address: dotted for IPv4-mapped addresses (and
// "0.0.0.0" for NULL), else the IPv6 text. NIEINVAL for a short buffer.
NI_RC NiAddrToStr(const NI_NODEADDR* pNodeAddr, WEQ_UC* buffer, int32_t bufferLen, uint8_t flag);

// --- Cache look-ups (host and service caches) ---------------------------------------

#define NI_HS_MODE_DEFAULT 0
#define NI_HS_MODE_BUFONLY 1
#define NI_HS_MODE_NOBUF 2

// Address to host name. Without caches every look-up misses: the address
// text is written and NIEHOST_UNKNOWN returned.
NI_RC NiIGetHostName(const NI_NODEADDR* pNodeAddr, WEQ_UC* pHostName, int32_t bufferLen, uint8_t fq,
                     uint8_t mode, CTRC_HDL trc);

// Port (network order) to service name. Without caches every look-up
// misses: the port is written in decimal and NIESERV_UNKNOWN returned.
NI_RC NiIGetServName(uint16_t servNo, WEQ_UC* pServName, int32_t bufferLen, uint8_t mode, CTRC_HDL trc);

#endif
