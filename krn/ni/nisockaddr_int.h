// Node addresses in and out of the socket layer's address form, and the
// address trace lines of sockets and handles. Internal to NI.
#ifndef KRN_NI_NISOCKADDR_INT_H
#define KRN_NI_NISOCKADDR_INT_H

#include <stdint.h>

#include "krn/ni/ni_int.h"
#include "krn/si/si.h"

// The socket layer's address of a node address for the socket's family:
// the 4 bytes of an IPv4-mapped address for AF_INET (another address is
// NIEINVAL), the 16 bytes for AF_INET6; any other family is NIEINVAL. The
// port travels beside it in the socket layer's calls. pSockAddr has room
// for 16 bytes; *pAddrLen receives 4 or 16.
NI_RC NiIMakeSockAddr(const NITAB* pHdl, const SI_SOCKET* pSock, const NI_NODEADDR* pNodeAddr,
                      uint16_t servNo, WEQ_RAW* pSockAddr, uint32_t* pAddrLen);

// Forgets that the processor's byte order was traced (tests).
void NiIResetByteOrderTrace(void);

// The reverse: a node address and port from a socket-layer address of the
// socket's family, or, with ask 1, from the socket's own name (local 1) or
// its peer's, asked again while interrupted. pPath (may be NULL) is set
// empty. A failed question goes to the failure reporter.
NI_RC NiISolveSockAddr(const NITAB* pHdl, SI_SOCKET* pSock, const WEQ_RAW* pSockAddr, uint16_t servNo,
                       int ask, int local, NI_NODEADDR* pNodeAddr, uint16_t* pServNo, WEQ_UC* pPath);

// Trace lines with an address: the caller's message (at most 256 units) is
// formatted first and must leave one "%s" (written "%%s" in the format),
// which then receives "address<sep>port" (':' after dotted IPv4, '.' after
// IPv6 text), or with names 1 "host<sep>service" from the caches in
// buffer-only mode, or "*** ERROR ***" when the address cannot be had.
void NiITraceSockAddrV(const NITAB* pHdl, SI_SOCKET* pSock, const WEQ_RAW* pSockAddr, uint16_t servNo,
                       int ask, int local, int names, int level, const WEQ_UC* format, U16FmtArgs args);
template <class... A>
inline void NiITraceSockAddr(const NITAB* pHdl, SI_SOCKET* pSock, const WEQ_RAW* pSockAddr, uint16_t servNo,
                             int ask, int local, int names, int level, U16Format<A...> format,
                             const A&... args) {
  NiITraceSockAddrV(pHdl, pSock, pSockAddr, servNo, ask, local, names, level, format.str,
                    U16FmtMakeArgs(args...).args());
}

// As NiITraceSockAddr for a handle's peer: its kept peer address, or with
// ask 1 the name of its connection socket (local 1: its own).
void NiITracePeerAddrV(const NITAB* pHdl, int ask, int local, int names, int level, const WEQ_UC* format,
                       U16FmtArgs args);
template <class... A>
inline void NiITracePeerAddr(const NITAB* pHdl, int ask, int local, int names, int level,
                             U16Format<A...> format, const A&... args) {
  NiITracePeerAddrV(pHdl, ask, local, names, level, format.str, U16FmtMakeArgs(args...).args());
}

#endif
