// Route strings of destinations ("/H/host/S/service" hops, only the last one
// looked at) and the protocol letters with their APPC header values.
#include <errno.h>
#include <stdlib.h>

#include "i18n/wequ16/u16file.h"
#include "i18n/wequ16/u16fmt.h"
#include "i18n/wequ16/u16str.h"
#include "krn/cpic/cpic.h"
#include "krn/cpic/cpic_int.h"

namespace {

#define STI_ROUTE u"STIAnalyzeRoute"

struct Protocol {
  WEQ_UC letter;
  uint32_t value;
};
constexpr Protocol kProtocols[] = {{u'C', 4}, {u'E', 3}, {u'F', 6}, {u'I', 2}, {u'R', 7}};

// Copies src into dst of size units, cut to fit.
void CopyOut(WEQ_UC* dst, size_t size, const WEQ_UC* src) {
  if (dst == nullptr || size == 0) return;
  strncpy_sU16(dst, size, src, size - 1);
}

// The nearest '/' before p and not before begin, or NULL.
WEQ_UC* SlashBefore(WEQ_UC* begin, WEQ_UC* p) {
  while (p > begin) {
    if (*--p == u'/') return p;
  }
  return nullptr;
}

// "weqgw" and the characters of text from the sixth on.
void GatewayService(WEQ_UC* dst, size_t size, const WEQ_UC* text) {
  WEQ_UC serv[CPIC_NAME_LEN * 4];
  snprintfTruncU16(serv, sizeof(serv) / sizeof(serv[0]), u"weqgw%s", strlenU(text) > 5 ? text + 5 : u"");
  CopyOut(dst, size, serv);
}

}  // namespace

bool STIAnalyzeRoute(const WEQ_UC* route, const WEQ_UC* tpName, WEQ_UC* lu, size_t luSize, WEQ_UC* tp,
                     size_t tpSize, WEQ_UC* gwHost, size_t gwHostSize, WEQ_UC* gwServ, size_t gwServSize) {
  const WEQ_UC* tpText = tpName != nullptr ? tpName : u"";
  DPTRC_LINE(2, CpicIOutHdl(), u"%s: route=%s, tp=%s\n", STI_ROUTE, route != nullptr ? route : u"", tpText);
  if (route == nullptr) {
    DPTRC_LINE(2, CpicIOutHdl(), u"%s: no host in route(1)\n", STI_ROUTE);
    return false;
  }
  WEQ_UC* copy = strdupU(route);
  if (copy == nullptr) {
    DPTRC_LINE(2, CpicIOutHdl(), u"%s: strdupU failed (%s)\n", STI_ROUTE, strerrorU16(errno));
    return false;
  }
  WEQ_UC* last = strrchrU(copy, u'/');
  // The character before the last '/' decides the form; a route whose only
  // '/' is its first character has none.
  WEQ_UC form = last != nullptr && last > copy ? last[-1] : 0;
  bool ok = true;
  if (form == u'S') {
    WEQ_UC* sSlash = SlashBefore(copy, last - 1);
    WEQ_UC* hSlash = sSlash != nullptr ? SlashBefore(copy, sSlash) : nullptr;
    if (hSlash == nullptr || hSlash == copy || hSlash[-1] != u'H') {
      DPTRC_LINE(2, CpicIOutHdl(), u"%s: no host in route(2)\n", STI_ROUTE);
      ok = false;
    } else {
      *sSlash = 0;
      const WEQ_UC* service = last + 1;
      CopyOut(lu, luSize, hSlash + 1);
      CopyOut(tp, tpSize, service);
      CopyOut(gwHost, gwHostSize, copy);
      if (strncmpU(service, u"weqdp", 5) == 0) {
        GatewayService(gwServ, gwServSize, service);
      } else {
        CopyOut(gwServ, gwServSize, service);
      }
    }
  } else if (form == u'H') {
    if (strlenU(tpText) < 7) {
      DPTRC_LINE(2, CpicIOutHdl(), u"%s: no service found\n", STI_ROUTE);
      ok = false;
    } else {
      CopyOut(lu, luSize, last + 1);
      CopyOut(tp, tpSize, tpText);
      CopyOut(gwHost, gwHostSize, route);
      GatewayService(gwServ, gwServSize, tpText);
    }
  } else {
    DPTRC_LINE(2, CpicIOutHdl(), u"%s: no host in route(1)\n", STI_ROUTE);
    ok = false;
  }
  free(copy);
  if (ok) {
    DPTRC_LINE(2, CpicIOutHdl(),
               u"%s: parameters of route:\n%s: lu: %s\n%s: tp: %s\n%s: gw_hostname: %s\n%s: gw_service: %s\n",
               STI_ROUTE, STI_ROUTE, lu != nullptr ? lu : u"", STI_ROUTE, tp != nullptr ? tp : u"", STI_ROUTE,
               gwHost != nullptr ? gwHost : u"", STI_ROUTE, gwServ != nullptr ? gwServ : u"");
  }
  return ok;
}

uint32_t STIConvProtocol(uint32_t value, CM_RETURN_CODE* rc, int direction) {
  if (rc != nullptr) *rc = CM_OK;
  for (const Protocol& p : kProtocols) {
    if (direction == 1 && p.letter == value) return p.value;
    if (direction == 0 && p.value == value) return p.letter;
  }
  WEQ_UC text[16];
  snprintfU16(text, 16, u"0x%X", value);
  CPIC_ERR(C_ILLEGAL_PARAMETER2, u"STIConvProtocol", u"prot", text);
  if (rc != nullptr) *rc = CM_PARAMETER_ERROR;
  return 0;
}
