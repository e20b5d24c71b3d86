// Stand-ins of niaddr_standin.h.
#include "krn/ni/niaddr_standin.h"

#include <arpa/inet.h>
#include <string.h>

#include "i18n/wequ16/u16fmt.h"

namespace {

constexpr WEQ_RAW kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};

}  // namespace

NI_RC NiAddrToStr(const NI_NODEADDR* pNodeAddr, WEQ_UC* buffer, int32_t bufferLen, uint8_t) {
  if (buffer == nullptr) return NIEINVAL;
  static const NI_NODEADDR kNull = {{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0, 0, 0, 0}};
  const NI_NODEADDR* a = pNodeAddr != nullptr ? pNodeAddr : &kNull;
  if (memcmp(a->addr, kMappedPrefix, sizeof(kMappedPrefix)) == 0) {
    if (bufferLen < NI_IPv4ADDR_STR_LEN) return NIEINVAL;
    snprintfU16(buffer, static_cast<size_t>(bufferLen), u"%d.%d.%d.%d", a->addr[12], a->addr[13], a->addr[14],
                a->addr[15]);
    return WEQ_O_K;
  }
  if (bufferLen < NI_NODEADDR_STR_LEN) return NIEINVAL;
  char text[INET6_ADDRSTRLEN];
  inet_ntop(AF_INET6, a->addr, text, sizeof(text));
  int i = 0;
  for (; text[i] != 0; ++i) buffer[i] = static_cast<WEQ_UC>(text[i]);
  buffer[i] = 0;
  return WEQ_O_K;
}

NI_RC NiIGetHostName(const NI_NODEADDR* pNodeAddr, WEQ_UC* pHostName, int32_t bufferLen, uint8_t, uint8_t,
                     CTRC_HDL) {
  if (pHostName == nullptr || bufferLen < 1) return NIEINVAL;
  pHostName[0] = 0;
  NiAddrToStr(pNodeAddr, pHostName, bufferLen, 0);
  return NIEHOST_UNKNOWN;
}

NI_RC NiIGetServName(uint16_t servNo, WEQ_UC* pServName, int32_t bufferLen, uint8_t, CTRC_HDL) {
  if (pServName == nullptr || bufferLen < 1) return NIEINVAL;
  pServName[0] = 0;
  snprintfTruncU16(pServName, static_cast<size_t>(bufferLen), u"%d", static_cast<int32_t>(ntohs(servNo)));
  return NIESERV_UNKNOWN;
}
