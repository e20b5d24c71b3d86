// Weak stand-ins of cpic_ni_standin.h over POSIX.
#include "krn/cpic/cpic_ni_standin.h"

#include <netdb.h>
#include <netinet/in.h>
#include <string.h>
#include <unistd.h>

#include <atomic>

#include "i18n/wequ16/u16str.h"

#define CPIC_STANDIN __attribute__((weak))

namespace {

std::atomic<int32_t> g_initCount{0};
std::atomic<uint32_t> g_connLocal{0};
constexpr int kMaxHostNameLen = NI_MAX_HOSTNAME_LEN;

}  // namespace

CPIC_STANDIN NI_RC NiInit2(int maxHandles) {
  if (maxHandles < 1) return NIEINVAL;
  g_initCount.fetch_add(1);
  return WEQ_O_K;
}

CPIC_STANDIN NI_RC NiExit(void) {
  int32_t n = g_initCount.load();
  while (n > 0 && !g_initCount.compare_exchange_weak(n, n - 1)) {
  }
  return WEQ_O_K;
}

CPIC_STANDIN NI_RC NiThrInit(void) { return g_initCount.load() > 0 ? WEQ_O_K : NIECALL; }

CPIC_STANDIN void NiThrExit(void*) {}

CPIC_STANDIN NI_RC NiSetParam(uint8_t param, uint32_t value) {
  if (param != NIP_CONNLOCAL) return NIEINVAL;
  g_connLocal.store(value);
  return WEQ_O_K;
}

CPIC_STANDIN int64_t NiGetParam(uint8_t param) { return param == NIP_CONNLOCAL ? g_connLocal.load() : -1; }

CPIC_STANDIN NI_RC NiMyHostName(WEQ_UC* pHostName, int bufferLen) {
  if (pHostName == nullptr || bufferLen < 0) return NIEINVAL;
  char name[256] = {};
  if (gethostname(name, sizeof(name) - 1) != 0) return NIEINTERN;
  size_t len = strlen(name);
  if (bufferLen == 0 || len >= static_cast<size_t>(bufferLen)) return NIETOO_SMALL;
  A7sToU16s(pHostName, name);
  return WEQ_O_K;
}

CPIC_STANDIN NI_RC NiHostToAddr(const WEQ_UC* pHostName, NI_NODEADDR* pNodeAddr) {
  if (pHostName == nullptr || pNodeAddr == nullptr) return NIEINVAL;
  char name[kMaxHostNameLen];
  size_t len = strnlenU16(pHostName, kMaxHostNameLen);
  if (len >= kMaxHostNameLen) return NIEINVAL;
  if (U16nToA7nStrict(name, pHostName, static_cast<int>(len)) != 0) return NIEHOST_UNKNOWN;
  name[len] = 0;
  struct addrinfo hints = {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  struct addrinfo* res = nullptr;
  if (getaddrinfo(name, nullptr, &hints, &res) != 0 || res == nullptr) return NIEHOST_UNKNOWN;
  // The first IPv4 answer wins, as the resolver's own order gives it; an
  // IPv6 answer only when there is none.
  const struct addrinfo* pick = nullptr;
  for (const struct addrinfo* a = res; a != nullptr; a = a->ai_next) {
    if (a->ai_family == AF_INET) {
      pick = a;
      break;
    }
    if (pick == nullptr && a->ai_family == AF_INET6) pick = a;
  }
  NI_RC rc = NIEHOST_UNKNOWN;
  if (pick != nullptr) {
    memset(pNodeAddr, 0, sizeof(*pNodeAddr));
    if (pick->ai_family == AF_INET) {
      pNodeAddr->addr[10] = 0xFF;
      pNodeAddr->addr[11] = 0xFF;
      memcpy(pNodeAddr->addr + 12, &reinterpret_cast<const sockaddr_in*>(pick->ai_addr)->sin_addr, 4);
    } else {
      memcpy(pNodeAddr->addr, &reinterpret_cast<const sockaddr_in6*>(pick->ai_addr)->sin6_addr, 16);
    }
    rc = WEQ_O_K;
  }
  freeaddrinfo(res);
  return rc;
}

CPIC_STANDIN NI_RC NiRead(NI_HDL, void*, int, int, uint32_t* pRead) {
  if (pRead != nullptr) *pRead = 0;
  return NIEINVAL;
}

CPIC_STANDIN NI_RC NiWrite(NI_HDL, const void*, int, int, uint32_t* pWritten) {
  if (pWritten != nullptr) *pWritten = 0;
  return NIEINVAL;
}

CPIC_STANDIN NI_RC NiCloseHandle(NI_HDL) { return NIEINVAL; }
