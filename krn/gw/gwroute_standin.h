// Stand-in for what the gateway library needs of NI's routing until that
// arrives: the hop record and the split of a route string into hops. It
// goes (this header and gwroute_standin.cpp) when NI's routing provides
// NI_ROUTE_ENTRY and NiRouteToTable; gw.h then takes them from ni.h.
#ifndef KRN_GW_GWROUTE_STANDIN_H
#define KRN_GW_GWROUTE_STANDIN_H

#include "krn/ni/ni.h"
#include "weq_types.h"

// One hop of a route: host and service, each ended by a 0 unit within its
// width.
#define NI_ROUTE_HOST_LEN 60
#define NI_ROUTE_SERV_LEN 30
typedef struct NI_ROUTE_ENTRY {
  WEQ_UC host[NI_ROUTE_HOST_LEN];
  WEQ_UC service[NI_ROUTE_SERV_LEN];
} NI_ROUTE_ENTRY;

// Splits a route string ("/H/host/S/service/H/...", passwords after "/P/"
// or "/W/") into hops: *pCount receives their number; the last tableSize
// hops go into the table (a hop without service gets "3299", the last one
// none). NULL table with size 0 only counts. NIEINVAL for a NULL count or
// route, a NULL table with a size, a negative size; NIETOO_SMALL for a
// route of more than 10000 bytes of entries.
NI_RC NiRouteToTable(int* pCount, const WEQ_UC* pRouteString, NI_ROUTE_ENTRY* pRouteTable, int tableSize);

#endif
