// Whether a host name denotes this machine, and share paths on this
// machine mapped to local directories.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>

#include <atomic>

#include "i18n/wequ16/u16file.h"
#include "i18n/wequ16/u16str.h"
#include "krn/ntport/ntport.h"
#include "krn/ntport/ntport_int.h"
#include "krn/rscp/rscpu.h"

namespace {

// -1 until NI_USEIPv6 was looked at, then 0 or 1.
std::atomic<int> g_useIPv6{-1};

std::atomic<NtIResolveFn> g_resolver{&NtIResolveSystem};

// Addresses of one name that the test compares; more are not looked at.
constexpr int kMaxAddrs = 64;

// Host names are compared in this many units at most: longer ones are never
// this machine's name and never fit the resolver's 255 bytes either.
constexpr size_t kHostUnits = 256;

// Share names and share directories: the share service's own bound.
constexpr size_t kShareUnits = 256;

bool UseIPv6() {
  int v = g_useIPv6.load(std::memory_order_relaxed);
  if (v < 0) {
    v = getenv("NI_USEIPv6") != nullptr ? 1 : 0;
    g_useIPv6.store(v, std::memory_order_relaxed);
  }
  return v == 1;
}

bool SameAddress(const NtIAddr& a, const sockaddr* sa) {
  if (sa == nullptr || sa->sa_family != a.family) return false;
  if (a.family == AF_INET) {
    return memcmp(&reinterpret_cast<const sockaddr_in*>(sa)->sin_addr, a.bytes, 4) == 0;
  }
  return memcmp(&reinterpret_cast<const sockaddr_in6*>(sa)->sin6_addr, a.bytes, 16) == 0;
}

// Copies the units [from, to) with a terminator into buf of kHostUnits or
// kShareUnits; false when they do not fit.
bool CopyPart(WEQ_UC* buf, size_t size, const WEQ_UC* from, const WEQ_UC* to) {
  size_t n = static_cast<size_t>(to - from);
  if (n >= size) return false;
  memcpy(buf, from, n * sizeof(WEQ_UC));
  buf[n] = 0;
  return true;
}

bool IsThisMachine(const WEQ_UC* host) {
  if (strcmpU(host, u".") == 0) return true;
  WEQ_UC own[kHostUnits];
  if (gethostnameU16(own, kHostUnits) == 0 && strcasecmpU(host, own) == 0) return true;
  return NT_IsLocalHost(host) == 1;
}

}  // namespace

int NtIResolveSystem(const char* name, NtIAddr* out, int max) {
  addrinfo hints;
  memset(&hints, 0, sizeof hints);
  addrinfo* list = nullptr;
  if (getaddrinfo(name, nullptr, &hints, &list) != 0) return -1;
  int n = 0;
  for (addrinfo* ai = list; ai != nullptr && n < max; ai = ai->ai_next) {
    if (ai->ai_addr == nullptr) continue;
    if (ai->ai_family == AF_INET) {
      out[n].family = AF_INET;
      memcpy(out[n].bytes, &reinterpret_cast<sockaddr_in*>(ai->ai_addr)->sin_addr, 4);
      ++n;
    } else if (ai->ai_family == AF_INET6) {
      out[n].family = AF_INET6;
      memcpy(out[n].bytes, &reinterpret_cast<sockaddr_in6*>(ai->ai_addr)->sin6_addr, 16);
      ++n;
    }
  }
  freeaddrinfo(list);
  return n;
}

void NtISetResolver(NtIResolveFn fn) {
  g_resolver.store(fn ? fn : &NtIResolveSystem, std::memory_order_release);
}

int NtIAddressIsLocal(const char* name) {
  if (name == nullptr || name[0] == 0) return 0;
  NtIAddr addrs[kMaxAddrs];
  int n = g_resolver.load(std::memory_order_acquire)(name, addrs, kMaxAddrs);
  if (n <= 0) return 0;
  ifaddrs* ifs = nullptr;
  if (getifaddrs(&ifs) != 0) return 0;
  int local = 0;
  for (int i = 0; i < n && !local; ++i) {
    for (ifaddrs* ifa = ifs; ifa != nullptr; ifa = ifa->ifa_next) {
      if (SameAddress(addrs[i], ifa->ifa_addr)) {
        local = 1;
        break;
      }
    }
  }
  freeifaddrs(ifs);
  return local;
}

void NtIResetLocal(void) { g_useIPv6.store(-1, std::memory_order_relaxed); }

int NT_IsLocalHost(const WEQ_UC* name) {
  if (name == nullptr || SiQosInit() != 0) return 0;
  if (strcmpU(name, u"localhost") == 0 || strcmpU(name, u"127.0.0.1") == 0) return 1;
  if (UseIPv6() && strcmpU(name, u"::1") == 0) return 1;
  char host[256];
  if (U16sToUtf8s(host, sizeof host, nullptr, name) != 0) return 0;
  return NtIAddressIsLocal(host);
}

void NT_UncToLocal(WEQ_UC* path) {
  if (path == nullptr || path[0] != u'\\' || path[1] != u'\\') return;
  const WEQ_UC* hostAt = path + 2;
  const WEQ_UC* hostEnd = strchrU(hostAt, u'\\');
  if (hostEnd == nullptr) return;
  const WEQ_UC* shareAt = hostEnd + 1;
  const WEQ_UC* rest = strchrU(shareAt, u'\\');
  if (rest == nullptr) return;

  WEQ_UC host[kHostUnits], share[kShareUnits], dir[kShareUnits];
  if (!CopyPart(host, kHostUnits, hostAt, hostEnd) || !CopyPart(share, kShareUnits, shareAt, rest))
    return;
  if (!IsThisMachine(host)) return;
  if (NT_ShareGetPath(share, dir, kShareUnits) != 0) return;
  dir[kShareUnits - 1] = 0;  // whatever a provider did, the text ends here

  size_t dirLen = strlenU(dir);
  const size_t restLen = strlenU(rest);
  // The mapped path must be shorter than the given one: it is written where
  // the given one stood, and the caller's buffer is known to hold only that.
  if (dirLen + restLen >= strlenU(path)) return;
  if (dirLen > 0 && (dir[dirLen - 1] == u'\\' || dir[dirLen - 1] == u'/')) --dirLen;
  // rest lies behind the place it moves to, so it moves first.
  memmove(path + dirLen, rest, (restLen + 1) * sizeof(WEQ_UC));
  memcpy(path, dir, dirLen * sizeof(WEQ_UC));
}
