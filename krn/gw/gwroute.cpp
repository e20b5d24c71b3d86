// Route strings as the gateway connect reads them: the number of hops and
// the last hop.
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "i18n/wequ16/u16file.h"
#include "krn/dptrc/dptrc.h"
#include "krn/gw/gw.h"

namespace {

CTRC_HDL GwRouteTrc() { return CTrcGlobalHdl.load(); }

}  // namespace

int GwRouteNoHops(const WEQ_UC* route) {
  static constexpr WEQ_UC kFn[] = u"GwRouteNoHops";
  if (route == nullptr) {
    DPTRC_ERROR(GwRouteTrc(), u"%s: route is a NULL pointer\n", kFn);
    return -1;
  }
  int hops = 0;
  NI_RC rc = NiRouteToTable(&hops, route, nullptr, 0);
  if (rc != WEQ_O_K) {
    DPTRC_ERROR(GwRouteTrc(), u"%s: NiRouteToTable() failed (%s)\n", kFn, NiErrorName(rc));
    return -1;
  }
  return hops;
}

int GwRouteGetLastHop(const WEQ_UC* route, NI_ROUTE_ENTRY* lastHop) {
  static constexpr WEQ_UC kFn[] = u"GwRouteGetLastHop";
  if (route == nullptr || lastHop == nullptr) {
    DPTRC_ERROR(GwRouteTrc(), u"%s: route or last_hop is a NULL pointer\n", kFn);
    return -1;
  }
  int hops = GwRouteNoHops(route);
  if (hops < 1) {
    DPTRC_ERROR(GwRouteTrc(), u"%s: no route specified (%s)\n", kFn, route);
    return 740;  // GW_NO_HOST_IN_ROUTE
  }
  size_t bytes = static_cast<size_t>(hops) * sizeof(NI_ROUTE_ENTRY);
  auto* table = static_cast<NI_ROUTE_ENTRY*>(malloc(bytes));
  if (table == nullptr) {
    DPTRC_ERROR(GwRouteTrc(), u"%s: GwGetMemory(%d) failed (%s)\n", kFn, static_cast<int>(bytes),
                strerrorU16(errno));
    return 222;  // CANT_GET_MEMORY
  }
  int count = 0;
  NI_RC rc = NiRouteToTable(&count, route, table, hops);
  if (rc != WEQ_O_K) {
    DPTRC_ERROR(GwRouteTrc(), u"%s: NiRouteToTable(%s) failed (%s)\n", kFn, route, NiErrorName(rc));
    free(table);
    return rc;
  }
  *lastHop = table[hops - 1];
  free(table);
  return 0;
}
