// STAND-IN, TO BE REPLACED by the network interface's address functions
// (see adxx_nistandin.h).
#include "krn/ad/adxx_nistandin.h"

#include <arpa/inet.h>
#include <string.h>

#include "krn/rscp/rscpu.h"

namespace adnistandin {

NI_NODEADDR NiIPv4ToAddr(uint32_t ipv4) {
  NI_NODEADDR a{};
  a.addr[10] = a.addr[11] = 0xFF;
  memcpy(a.addr + 12, &ipv4, 4);
  return a;
}

const WEQ_UC* NiAddrToStr2(const NI_NODEADDR* pNodeAddr, WEQ_UC* pNodeAddrStr, int bufferLen,
                           int /*flag*/) {
  static const WEQ_UC kErr[] = u"<ERR>";
  if (pNodeAddr == nullptr || pNodeAddrStr == nullptr || bufferLen < 1) return kErr;
  static const WEQ_RAW kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  char text[INET6_ADDRSTRLEN];
  const char* ok = memcmp(pNodeAddr->addr, kMapped, 12) == 0
                       ? inet_ntop(AF_INET, pNodeAddr->addr + 12, text, sizeof text)
                       : inet_ntop(AF_INET6, pNodeAddr->addr, text, sizeof text);
  int out = 0;
  if (ok == nullptr || Utf8sToU16s(pNodeAddrStr, bufferLen, &out, text) != 0) return kErr;
  return pNodeAddrStr;
}

}  // namespace adnistandin
