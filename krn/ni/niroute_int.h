// Internals of routing: the NI_ROUTE message that names every hop of a
// route, its building from a route string, the reading of its entries, and
// the connect of the buffered layer that serves every connect entry.
//
// NI_ROUTE, multi-byte numbers big-endian:
//    0  "NI_ROUTE"            8  0                9  route version, 2
//   10  NI version, 40       11  entry count     12  mode: 0 framed at the far end, else raw
//   13  0 (2 bytes)          15  hop counter     16  length of the entry area
//   20  offset of the next entry within the area 24  the entry area
// An entry is host, service and password, each 7-bit text ended by a 0
// byte (units of 128 and above become '#'). The connecting side lowers the
// hop counter by one and sets the offset behind the first entry, the hop
// it connects to itself. Both counts are bytes: a route has at most 255
// hops.
//
// Route strings: hops introduced by "/H/", each "host" followed in any
// order by "/S/service", "/P/password" (this hop's) and "/W/password" (the
// next hop's). Each marker counts at its first place in the hop, and a
// field runs to the next marker that counts or the hop's end. A hop that
// receives a password by "/W/" has no "/P/" of its own, and in a hop with
// "/P/" a "/W/" is no marker: either stays text of the field it lies in.
// A hop without "/S/" gets the router service "3299", the last one the
// caller's service. A string not beginning with "/H/" is one hop, whole.
#ifndef KRN_NI_NIROUTE_INT_H
#define KRN_NI_NIROUTE_INT_H

#include <stdint.h>

#include "krn/ni/ni.h"
#include "krn/ni/nixx_int.h"

#define NI_ROUTE_HDR_LEN 24
#define NI_ROUTE_MAX_ENTRIES_LEN 10000
#define NI_ROUTE_MAX_HOPS 255
#define NI_ROUTE_VERSION 2
#define NI_ROUTE_NI_VERSION 40
// The router service of a hop without "/S/".
#define NI_ROUTE_DEFAULT_SERV u"3299"

// Widths of the outputs of NiBufIRouteGetNext, terminator included.
#define NI_ROUTE_HOST_OUT 60
#define NI_ROUTE_SERV_OUT 30
#define NI_ROUTE_PASS_OUT 20

// One message: header and the largest entry area.
struct NI_ROUTE_MSG {
  WEQ_RAW data[NI_ROUTE_HDR_LEN + NI_ROUTE_MAX_ENTRIES_LEN];
};

// Header fields.
inline uint8_t NiIRouteCount(const NI_ROUTE_MSG* m) { return m->data[11]; }
inline uint8_t NiIRouteHops(const NI_ROUTE_MSG* m) { return m->data[15]; }
uint32_t NiIRouteEntriesLen(const NI_ROUTE_MSG* m);
uint32_t NiIRouteNextOffset(const NI_ROUTE_MSG* m);
void NiIRouteSetNext(NI_ROUTE_MSG* m, uint32_t offset, uint8_t hops);
// Bytes of the whole message as built: header and entry area.
inline uint32_t NiIRouteMsgLen(const NI_ROUTE_MSG* m) { return NI_ROUTE_HDR_LEN + NiIRouteEntriesLen(m); }

// Builds the message of a route string (or a plain host name) with the
// caller's service (NULL: none) and mode.
NI_RC NiBufIHostToRoute(const WEQ_UC* pRoute, const WEQ_UC* pServName, uint8_t mode, CTRC_HDL trc,
                        NI_ROUTE_MSG* pMsg);
// Appends one entry: NIETOO_SMALL when the area has no room or the route
// has NI_ROUTE_MAX_HOPS entries already.
NI_RC NiBufIAddRouteEntry(const WEQ_UC* pHost, const WEQ_UC* pServName, const WEQ_UC* pPassword, CTRC_HDL trc,
                          NI_ROUTE_MSG* pMsg);
// Reads the entry at *pOffset and moves *pOffset behind it. Each output may
// be NULL: host, service and password cut to their widths above; the
// address of the whole host text through the host cache (protoMask: its
// IPv4 and IPv6 bits) and the port of the service (network order). A
// malformed entry is NIEINVAL; look-up failures come as they are.
NI_RC NiBufIRouteGetNext(const NI_ROUTE_MSG* pMsg, uint32_t* pOffset, uint32_t protoMask, CTRC_HDL trc,
                         WEQ_UC* pHost, WEQ_UC* pServName, WEQ_UC* pPassword, NI_NODEADDR* pAddr,
                         uint16_t* pPort);
// The entries as table rows: *pCount all of them, the table the last
// tableSize.
NI_RC NiBufIRouteToTable(int32_t* pCount, const NI_ROUTE_MSG* pMsg, NI_ROUTE_ENTRY* pTable, int32_t tableSize,
                         CTRC_HDL trc);

// The connect of every connect entry: to a route string or host name with
// a service (through the routers a route names), or without a host to
// pAddr and servNo (network order). Unbuffered (buffered 0): timeout 0
// waits without limit for each step; *ppHdl is set on success only.
// Buffered: a non-zero mode makes the handle's talk mode NI_RAW_IO; the
// handle is handed out also with NIECONN_PENDING, and a routed one stays
// waiting for the last router's answer unless timeout is NI_BLOCK. Every
// failure after the socket exists closes the handle.
NI_RC NiBufIConnect(const WEQ_UC* pHostName, const WEQ_UC* pServName, const NI_NODEADDR* pAddr, uint16_t servNo,
                    uint32_t protoMask, int32_t timeout, uint8_t mode, uint8_t buffered, CTRC_HDL* trcHdl,
                    NITAB** ppHdl);

#endif
