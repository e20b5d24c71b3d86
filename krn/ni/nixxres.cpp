// NI's only contact with the system's name services: host names and
// addresses, service names and ports through getaddrinfo/getnameinfo, the
// own host name, the machine's own addresses from getifaddrs, and the local
// host table built from them.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>

#include "i18n/wequ16/u16file.h"
#include "krn/ni/niaddr_int.h"
#include "krn/rscp/rscpu.h"
#include "krn/thr/thr.h"

namespace {

constexpr const WEQ_UC* kResModule = u"nixxres.cpp";

// Names are converted to UTF-8 whole: a name that does not fit here is
// refused rather than cut into another name.
constexpr int kUtf8Units = 1024;

constexpr NiIResolverOps kSystemOps = {&NiPGetHostByName, &NiPGetHostByAddr, &NiPGetServByName,
                                       &NiPGetServByPort};
std::atomic<const NiIResolverOps*> g_ops{&kSystemOps};
std::atomic<NiIAddrListFn> g_listFn{&NiPGetNodeAddrList};

bool NotFound(int eai) { return eai == EAI_NONAME || eai == EAI_NODATA; }

// Text of an EAI code as 16-bit text.
void EaiText(int eai, WEQ_UC* buf, int size) { Utf8sToU16s(buf, size, nullptr, gai_strerror(eai)); }

bool ToUtf8(const WEQ_UC* name, char* out) {
  return U16sToUtf8s(out, kUtf8Units, nullptr, name) == 0 && strlen(out) < kUtf8Units - 4;
}

NI_NODEADDR FromSockAddr(const sockaddr* sa, bool* ok) {
  NI_NODEADDR a{};
  *ok = true;
  if (sa->sa_family == AF_INET) {
    a = NiIPv4ToAddr(reinterpret_cast<const sockaddr_in*>(sa)->sin_addr.s_addr);
  } else if (sa->sa_family == AF_INET6) {
    memcpy(a.addr, &reinterpret_cast<const sockaddr_in6*>(sa)->sin6_addr, 16);
  } else {
    *ok = false;
  }
  return a;
}

// The local host table; published whole once built.
struct LocalHost {
  WEQ_UC name[NI_MAX_HOSTNAME_LEN];
  int nameLen;
  int count;
  NI_NODEADDR* addrs;
  WEQ_RAW* states;
};
std::atomic<LocalHost*> g_local{nullptr};
ThrCS g_localCs;  // serialises building and freeing the table

void FreeLocal(LocalHost* lh) {
  if (lh == nullptr) return;
  free(lh->addrs);
  free(lh->states);
  free(lh);
}

// Inserts one system address; the count goes up whether it is stored or not.
void NiPInsertSockAddr(const sockaddr* sa, NI_NODEADDR* pAddrs, WEQ_RAW* pStates, int capacity,
                    int withLinkLocal, int* pCount, WEQ_RAW state, const WEQ_UC* kind) {
  static constexpr const WEQ_UC* kFn = u"NiPInsertSockAddr";
  bool ok = false;
  NI_NODEADDR a = FromSockAddr(sa, &ok);
  if (!ok) {
    DPTRC_LINE(2, NiITrcHdl(), u"%s: invalid address family %d (len=%d)\n", kFn, sa->sa_family,
               static_cast<int>(sizeof(sockaddr)));
    return;
  }
  WEQ_UC text[NI_NODEADDR_STR_LEN];
  DPTRC_LINE(3, NiITrcHdl(), u"%s: got address '%s' (%s)\n", kFn,
             NiAddrToStr2(&a, text, NI_NODEADDR_STR_LEN, 0), kind);
  static constexpr WEQ_RAW kZero4[4] = {};
  if (!withLinkLocal && a.addr[0] == 0xFE && a.addr[1] == 0x80 && memcmp(a.addr + 4, kZero4, 4) == 0) {
    return;
  }
  if (*pCount < capacity) {
    pAddrs[*pCount] = a;
    if (pStates != nullptr) pStates[*pCount] = state;
  }
  ++*pCount;
}

LocalHost* BuildLocal(NI_RC* rcOut) {
  static constexpr const WEQ_UC* kFn = u"NiILHInit";
  LocalHost* lh = static_cast<LocalHost*>(calloc(1, sizeof(LocalHost)));
  if (lh == nullptr) {
    *rcOut = NiIErrTrace(kResModule, __LINE__, 1, u"%s: malloc failed for %d/%d bytes", NIEINTERN, kFn,
                         static_cast<int>(sizeof(LocalHost)), 0);
    return nullptr;
  }
  NI_RC rc = NiPMyHostName(lh->name, NI_MAX_HOSTNAME_LEN);
  if (rc != WEQ_O_K) {
    DPTRC_LINE(1, NiITrcHdl(), u"%s: NiPMyHostName failed (rc=%d)\n", kFn, rc);
    FreeLocal(lh);
    *rcOut = rc;
    return nullptr;
  }
  lh->nameLen = static_cast<int>(strlenU(lh->name));
  // Asked again with room for the total until the list fits: it may grow
  // between two queries.
  int capacity = 10;
  for (int round = 0;; ++round) {
    free(lh->addrs);
    free(lh->states);
    lh->addrs = static_cast<NI_NODEADDR*>(malloc(static_cast<size_t>(capacity) * sizeof(NI_NODEADDR)));
    lh->states = static_cast<WEQ_RAW*>(malloc(static_cast<size_t>(capacity)));
    if (lh->addrs == nullptr || lh->states == nullptr) {
      *rcOut = NiIErrTrace(kResModule, __LINE__, 1, u"%s: malloc failed for %d/%d bytes", NIEINTERN, kFn,
                           static_cast<int>(capacity * sizeof(NI_NODEADDR)), capacity);
      FreeLocal(lh);
      return nullptr;
    }
    int total = 0;
    rc = g_listFn.load(std::memory_order_acquire)(lh->addrs, lh->states, capacity, 1, &total);
    if (rc != WEQ_O_K) {
      DPTRC_LINE(1, NiITrcHdl(), u"%s: NiPGetNodeAddrList failed (rc=%d)\n", kFn, rc);
      FreeLocal(lh);
      *rcOut = rc;
      return nullptr;
    }
    if (total <= capacity || round >= 16) {
      lh->count = total < capacity ? total : capacity;
      break;
    }
    capacity = total;
  }
  *rcOut = WEQ_O_K;
  return lh;
}

LocalHost* Local(NI_RC* rc) {
  LocalHost* lh = g_local.load(std::memory_order_acquire);
  *rc = WEQ_O_K;
  if (lh == nullptr) {
    *rc = NiILHInit();
    if (*rc == NIECALL) *rc = WEQ_O_K;
    lh = g_local.load(std::memory_order_acquire);
  }
  return lh;
}

}  // namespace

// --- The resolver table ----------------------------------------------------------------

const NiIResolverOps& NiIResolver(void) { return *g_ops.load(std::memory_order_acquire); }

void NiISetResolver(const NiIResolverOps* ops) {
  g_ops.store(ops != nullptr ? ops : &kSystemOps, std::memory_order_release);
}

void NiISetAddrListFn(NiIAddrListFn fn) {
  g_listFn.store(fn != nullptr ? fn : &NiPGetNodeAddrList, std::memory_order_release);
}

// --- System look-ups --------------------------------------------------------------------

void NiITraceAddrInfo(const addrinfo* list, const WEQ_UC* name, CTRC_HDL trc, int level) {
  if (!DPTRC_ON(level)) return;
  DpTrcLock();
  DpTrc(trc, u"addrinfo of '%s':\n", name);
  int i = 0;
  for (const addrinfo* ai = list; ai != nullptr; ai = ai->ai_next, ++i) {
    WEQ_UC line[512];
    int used = 0;
    bool ok = false;
    NI_NODEADDR a{};
    if (ai->ai_addr != nullptr) a = FromSockAddr(ai->ai_addr, &ok);
    if (ok) {
      WEQ_UC text[NI_NODEADDR_STR_LEN];
      int port =
          ntohs(ai->ai_family == AF_INET ? reinterpret_cast<const sockaddr_in*>(ai->ai_addr)->sin_port
                                         : reinterpret_cast<const sockaddr_in6*>(ai->ai_addr)->sin6_port);
      used = snprintfTruncU16(line, 512, u"%d: %s%c%d ", i, NiAddrToStr2(&a, text, NI_NODEADDR_STR_LEN, 0),
                              NiIAddrPortSep(a), port);
    } else {
      used = snprintfTruncU16(line, 512, u"%d: <unknown family %d> ", i, ai->ai_family);
    }
    if (ai->ai_canonname != nullptr) {
      WEQ_UC canon[256];
      Utf8sToU16s(canon, 256, nullptr, ai->ai_canonname);
      used += snprintfTruncU16(line + used, static_cast<size_t>(512 - used), u"'%s' ", +canon);
    }
    const WEQ_UC* type = ai->ai_socktype == SOCK_STREAM  ? u"STREAM "
                         : ai->ai_socktype == SOCK_DGRAM ? u"DGRAM "
                         : ai->ai_socktype == SOCK_RAW   ? u"RAW "
                                                         : nullptr;
    if (type != nullptr) {
      used += snprintfTruncU16(line + used, static_cast<size_t>(512 - used), u"%s", type);
    } else {
      used += snprintfTruncU16(line + used, static_cast<size_t>(512 - used), u"<unknown socket type %d> ",
                               ai->ai_socktype);
    }
    snprintfTruncU16(line + used, static_cast<size_t>(512 - used), u"(%d-%d-%d-%d-%d)\n", ai->ai_flags,
                     ai->ai_family, ai->ai_socktype, ai->ai_protocol, static_cast<int>(ai->ai_addrlen));
    DpTrc(trc, u"%s", +line);
  }
  DpTrcUnlock();
}

NI_RC NiPGetHostByName(const WEQ_UC* pHostName, int ipv4Only, int numericOnly, NI_NODEADDR* pAddrs,
                       int* pCount, WEQ_UC* pCanon, int canonLen, CTRC_HDL trc) {
  static constexpr const WEQ_UC* kFn = u"NiPGetHostByName";
  int capacity = *pCount;
  *pCount = 0;
  if (pCanon != nullptr && canonLen > 0) pCanon[0] = 0;
  char name[kUtf8Units];
  if (!ToUtf8(pHostName, name)) {
    return NiIErrInfo(kResModule, __LINE__, u"%s: '%s' not found", NIEHOST_UNKNOWN, kFn, pHostName, pHostName);
  }
  addrinfo hints;
  memset(&hints, 0, sizeof hints);
  hints.ai_family = ipv4Only ? AF_INET : AF_UNSPEC;
  // One stream entry per address; without a socket type each comes three times.
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = (numericOnly ? AI_NUMERICHOST : 0) | (pCanon != nullptr ? AI_CANONNAME : 0);
  addrinfo* list = nullptr;
  int eai = getaddrinfo(name, nullptr, &hints, &list);
  if (eai != 0) {
    WEQ_UC why[128];
    EaiText(eai, why, 128);
    NI_RC rc = NotFound(eai) ? NIEHOST_UNKNOWN : NIEINTERN;
    ErrSetInfoSys(NI_COMPONENT, NI_COMPONENT_VERSION, kResModule, __LINE__, 0, u"%s: '%s' not found", rc,
                  u"hostname '%s' unknown", u"getaddrinfo", eai, kFn, pHostName, pHostName);
    DPTRC_LINE(2, trc, u"%s: getaddrinfo('%s') failed (%d: %s)\n", kFn, pHostName, eai, +why);
    return rc;
  }
  NiITraceAddrInfo(list, pHostName, trc, 3);
  if (pCanon != nullptr && canonLen > 0) {
    if (list->ai_canonname != nullptr) {
      Utf8sToU16s(pCanon, canonLen, nullptr, list->ai_canonname);
    } else {
      pCanon[0] = 0;
    }
  }
  int total = 0;
  for (addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
    bool ok = false;
    NI_NODEADDR a{};
    if (ai->ai_addr != nullptr) a = FromSockAddr(ai->ai_addr, &ok);
    if (!ok) {
      const int family = ai->ai_family;  // the entry goes with the list
      freeaddrinfo(list);
      return NiIErrTrace(kResModule, __LINE__, 1, u"%s: invalid family %d", NIEINTERN, kFn, family);
    }
    if (total < capacity) pAddrs[total] = a;
    ++total;
  }
  freeaddrinfo(list);
  *pCount = total;
  if (total > capacity) {
    *pCount = total;
    return NIETOO_SMALL;
  }
  return WEQ_O_K;
}

NI_RC NiPGetHostByAddr(const NI_NODEADDR* pNodeAddr, int numeric, WEQ_UC* pHostName, int bufferLen,
                       CTRC_HDL trc) {
  static constexpr const WEQ_UC* kFn = u"NiPGetHostByAddr";
  sockaddr_storage ss;
  memset(&ss, 0, sizeof ss);
  socklen_t len;
  if (NiIIsMapped(*pNodeAddr)) {
    sockaddr_in* in = reinterpret_cast<sockaddr_in*>(&ss);
    in->sin_family = AF_INET;
    memcpy(&in->sin_addr, pNodeAddr->addr + 12, 4);
    len = sizeof(sockaddr_in);
  } else {
    sockaddr_in6* in6 = reinterpret_cast<sockaddr_in6*>(&ss);
    in6->sin6_family = AF_INET6;
    memcpy(&in6->sin6_addr, pNodeAddr->addr, 16);
    len = sizeof(sockaddr_in6);
  }
  char host[NI_MAXHOST];
  int eai = getnameinfo(reinterpret_cast<sockaddr*>(&ss), len, host, sizeof host, nullptr, 0,
                        numeric ? NI_NUMERICHOST : NI_NAMEREQD);
  if (eai != 0) {
    NI_RC rc = NotFound(eai) ? NIEHOST_UNKNOWN : NIEINTERN;
    WEQ_UC text[64] = u"";
    if (!numeric) {
      // The address's own text; numeric text needs no resolver.
      char num[INET6_ADDRSTRLEN] = "";
      if (NiIIsMapped(*pNodeAddr)) {
        inet_ntop(AF_INET, pNodeAddr->addr + 12, num, sizeof num);
      } else {
        inet_ntop(AF_INET6, pNodeAddr->addr, num, sizeof num);
      }
      Utf8sToU16s(text, 64, nullptr, num);
    }
    ErrSetInfoSys(NI_COMPONENT, NI_COMPONENT_VERSION, kResModule, __LINE__, 0, u"%s: '%s' not found", rc,
                  u"hostname '%s' unknown", u"getnameinfo", eai, kFn, +text, +text);
    return rc;
  }
  WEQ_UC name[NI_MAXHOST];
  Utf8sToU16s(name, NI_MAXHOST, nullptr, host);
  int n = static_cast<int>(strlenU(name));
  if (n >= bufferLen) {
    DPTRC_LINE(1, trc, u"NiPGetHostByAddr: name '%s' too long (%d>=%d)\n", +name, n, bufferLen);
    return NIETOO_SMALL;
  }
  memcpy(pHostName, name, (static_cast<size_t>(n) + 1) * sizeof(WEQ_UC));
  return WEQ_O_K;
}

NI_RC NiPGetServByName(const WEQ_UC* pServName, uint16_t* pServNo, CTRC_HDL trc) {
  static constexpr const WEQ_UC* kFn = u"NiPGetServByName";
  char name[kUtf8Units];
  if (!ToUtf8(pServName, name)) {
    return NiIErrInfo(kResModule, __LINE__, u"%s: '%s' not found", NIESERV_UNKNOWN, kFn, pServName, pServName);
  }
  addrinfo hints;
  memset(&hints, 0, sizeof hints);
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  int eai = getaddrinfo(nullptr, name, &hints, &list);
  if (eai != 0) {
    NI_RC rc = NotFound(eai) || eai == EAI_SERVICE ? NIESERV_UNKNOWN : NIEINTERN;
    ErrSetInfoSys(NI_COMPONENT, NI_COMPONENT_VERSION, kResModule, __LINE__, 0, u"%s: '%s' not found", rc,
                  u"service '%s' unknown", u"getaddrinfo", eai, kFn, pServName, pServName);
    return rc;
  }
  NI_RC rc = WEQ_O_K;
  if (list == nullptr) {
    rc = NiIErrTrace(kResModule, __LINE__, 1, u"%s: result for '%s' is NULL", NIEINTERN, kFn, pServName);
  } else {
    NiITraceAddrInfo(list, pServName, trc, 3);
    if (list->ai_family == AF_INET) {
      *pServNo = reinterpret_cast<const sockaddr_in*>(list->ai_addr)->sin_port;
    } else if (list->ai_family == AF_INET6) {
      *pServNo = reinterpret_cast<const sockaddr_in6*>(list->ai_addr)->sin6_port;
    } else {
      rc = NiIErrTrace(kResModule, __LINE__, 1, u"%s: invalid family %d", NIEINTERN, kFn, list->ai_family);
    }
    freeaddrinfo(list);
  }
  return rc;
}

NI_RC NiPGetServByPort(uint16_t servNo, WEQ_UC* pServName, int bufferLen, CTRC_HDL trc) {
  static constexpr const WEQ_UC* kFn = u"NiPGetServByPort";
  sockaddr_in in;
  memset(&in, 0, sizeof in);
  in.sin_family = AF_INET;
  in.sin_port = servNo;
  char serv[NI_MAX_SERVNAME_LEN];
  WEQ_UC portText[NI_SERVNO_STR_LEN];
  snprintfU16(portText, NI_SERVNO_STR_LEN, u"%d", static_cast<int>(ntohs(servNo)));
  int eai =
      getnameinfo(reinterpret_cast<sockaddr*>(&in), sizeof in, nullptr, 0, serv, sizeof serv, NI_NAMEREQD);
  if (eai != 0) {
    NI_RC rc = NotFound(eai) ? NIESERV_UNKNOWN : NIEINTERN;
    ErrSetInfoSys(NI_COMPONENT, NI_COMPONENT_VERSION, kResModule, __LINE__, 0, u"%s: '%s' not found", rc,
                  u"service '%s' unknown", u"getnameinfo", eai, kFn, +portText, +portText);
    return rc;
  }
  // The system gives the number itself when it knows no name.
  char* end = nullptr;
  unsigned long v = strtoul(serv, &end, 10);
  if (serv[0] >= '0' && serv[0] <= '9' && *end == 0 && v < 65536) {
    return NiIErrInfo(kResModule, __LINE__, u"%s: '%s' not found", NIESERV_UNKNOWN, kFn, +portText, +portText);
  }
  WEQ_UC name[NI_MAX_SERVNAME_LEN];
  Utf8sToU16s(name, NI_MAX_SERVNAME_LEN, nullptr, serv);
  int n = static_cast<int>(strlenU(name));
  if (n >= bufferLen) {
    DPTRC_LINE(1, trc, u"NiPGetServByPort: name '%s' too long (%d>=%d)\n", +name, n, bufferLen);
    return NIETOO_SMALL;
  }
  memcpy(pServName, name, (static_cast<size_t>(n) + 1) * sizeof(WEQ_UC));
  DPTRC_LINE(2, trc, u"%s: servname of %s is '%s'\n", kFn, +portText, pServName);
  return WEQ_O_K;
}

NI_RC NiPMyHostName(WEQ_UC* pHostName, int bufferLen) {
  static constexpr const WEQ_UC* kFn = u"NiPMyHostName";
  if (bufferLen <= 0 || gethostnameU16(pHostName, static_cast<size_t>(bufferLen)) != 0) {
    int err = errno;
    ErrSetInfoSys(NI_COMPONENT, NI_COMPONENT_VERSION, kResModule, __LINE__, 0, u"%s: gethostnameU failed",
                  NIEINTERN, NiIErrorText(NIEINTERN, nullptr), u"gethostname", err, kFn);
    DPTRC_LINE(1, NiITrcHdl(), u"%s: gethostnameU failed\n", kFn);
    return NIEINTERN;
  }
  return WEQ_O_K;
}

NI_RC NiPGetPid(uint32_t* pPid) {
  *pPid = static_cast<uint32_t>(getpid());
  return WEQ_O_K;
}

// --- Local addresses ------------------------------------------------------------------------

NI_RC NiPGetNodeAddrList(NI_NODEADDR* pAddrs, WEQ_RAW* pStates, int capacity, int withLinkLocal,
                         int* pCount) {
  static constexpr const WEQ_UC* kFn = u"NiPGetNodeAddrList";
  *pCount = 0;
  ifaddrs* ifs = nullptr;
  if (getifaddrs(&ifs) != 0) {
    int err = errno;
    ErrSetInfoSys(NI_COMPONENT, NI_COMPONENT_VERSION, kResModule, __LINE__, 0, u"%s: getifaddrs failed",
                  NIEINTERN, NiIErrorText(NIEINTERN, nullptr), u"getifaddrs", err, kFn);
    DPTRC_LINE(1, NiITrcHdl(), u"%s: getifaddrs failed (%d)\n", kFn, err);
    return NIEINTERN;
  }
  bool ipv6 = NiIIPv6Active();
  for (ifaddrs* ifa = ifs; ifa != nullptr; ifa = ifa->ifa_next) {
    if (ifa->ifa_addr == nullptr) continue;
    int fam = ifa->ifa_addr->sa_family;
    if (fam != AF_INET && !(fam == AF_INET6 && ipv6)) continue;
    WEQ_UC ifname[IF_NAMESIZE + 1];
    Utf8sToU16s(ifname, IF_NAMESIZE + 1, nullptr, ifa->ifa_name);
    DPTRC_LINE(3, NiITrcHdl(), u"%s: adapter: '%s' (%s / %d)\n", kFn, +ifname,
               (ifa->ifa_flags & IFF_UP) ? u"up" : u"down", fam);
    NiPInsertSockAddr(ifa->ifa_addr, pAddrs, pStates, capacity, withLinkLocal, pCount,
                   (ifa->ifa_flags & IFF_UP) ? 1 : 0, u"unicast");
  }
  freeifaddrs(ifs);
  DPTRC_LINE(2, NiITrcHdl(), u"%s: got %d interface(s) from operating system\n", kFn, *pCount);
  if (*pCount > capacity) {
    DPTRC_LINE(2, NiITrcHdl(), u"%s: returning only the first %d\n", kFn, capacity);
  }
  if (DPTRC_ON(2)) {
    WEQ_UC text[NI_NODEADDR_STR_LEN];
    for (int i = 0; i < *pCount && i < capacity; ++i) {
      DPTRC_LINE(2, NiITrcHdl(), u"\t\t[%d] IP-Address: %s\n", i,
                 NiAddrToStr2(&pAddrs[i], text, NI_NODEADDR_STR_LEN, 0));
    }
  }
  return WEQ_O_K;
}

// --- Local host table --------------------------------------------------------------------------

NI_RC NiILHInit(void) {
  ThrCSLock(&g_localCs);
  NI_RC rc = WEQ_O_K;
  if (g_local.load(std::memory_order_acquire) != nullptr) {
    rc = NiIErrTrace(kResModule, __LINE__, 2, u"%s: already initialized", NIECALL, u"NiILHInit");
  } else {
    LocalHost* lh = BuildLocal(&rc);
    if (lh != nullptr) g_local.store(lh, std::memory_order_release);
  }
  ThrCSUnlock(&g_localCs);
  return rc;
}

void NiILHFree(void) {
  ThrCSLock(&g_localCs);
  FreeLocal(g_local.exchange(nullptr, std::memory_order_acq_rel));
  ThrCSUnlock(&g_localCs);
}

int NiILHAddrCount(void) {
  LocalHost* lh = g_local.load(std::memory_order_acquire);
  return lh == nullptr ? -1 : lh->count;
}

NI_RC NiIGetLocalName(WEQ_UC* pHostName, int bufferLen) {
  static constexpr const WEQ_UC* kFn = u"NiIGetLocalName";
  if (bufferLen <= 0) {
    return NiIErrTrace(kResModule, __LINE__, 1, u"%s: %d<=%d", NIETOO_SMALL, kFn, bufferLen, 0);
  }
  NI_RC rc;
  LocalHost* lh = Local(&rc);
  if (lh == nullptr) {
    DPTRC_LINE(1, NiITrcHdl(), u"%s: NiILHInit failed (rc=%d)\n", kFn, rc);
    return rc != WEQ_O_K ? rc : NIEINTERN;
  }
  strncpy_sU16(pHostName, static_cast<size_t>(bufferLen), lh->name, static_cast<size_t>(lh->nameLen));
  if (bufferLen <= lh->nameLen) {
    NiIErrInfo(kResModule, __LINE__, u"%s: %d<=%d", NIETOO_SMALL, kFn, bufferLen, lh->nameLen);
    DPTRC_LINE(1, NiITrcHdl(), u"%s: buffer too small (%d<=%d)\n", kFn, bufferLen, lh->nameLen);
    return NIETOO_SMALL;
  }
  return WEQ_O_K;
}

NI_RC NiMyHostName(WEQ_UC* pHostName, int bufferLen) {
  static constexpr const WEQ_UC* kFn = u"NiMyHostName";
  if (pHostName == nullptr) {
    return NiIErrTrace(kResModule, __LINE__, 1, u"%s: parameter invalid (pHostName == NULL)", NIEINVAL, kFn);
  }
  if (bufferLen < 0) {
    return NiIErrTrace(kResModule, __LINE__, 1, u"%s: parameter invalid (bufferLen < 0)", NIEINVAL, kFn);
  }
  NI_RC rc = NiIEnsureInit(kFn);  // NI initialises on demand
  if (rc != WEQ_O_K) return rc;
  rc = NiIGetLocalName(pHostName, bufferLen);
  if (rc == WEQ_O_K) DPTRC_LINE(2, NiITrcHdl(), u"%s: hostname = '%s'\n", kFn, pHostName);
  return rc;
}

bool NiILocalCheck(const NI_NODEADDR* pNodeAddr, CTRC_HDL trc) {
  static constexpr const WEQ_UC* kFn = u"NiILocalCheck";
  NI_RC rc;
  LocalHost* lh = Local(&rc);
  if (rc != WEQ_O_K) {
    DPTRC_LINE(1, trc, u"%s: NiILHInit failed (rc=%d)\n", kFn, rc);
    return false;
  }
  if (lh == nullptr) {
    DPTRC_LINE(2, trc, u"%s: local address list not initialized\n", kFn);
    return false;
  }
  WEQ_UC text[NI_NODEADDR_STR_LEN];
  static constexpr WEQ_RAW kLoop6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  if ((NiIIsMapped(*pNodeAddr) && pNodeAddr->addr[12] == 127) || memcmp(pNodeAddr->addr, kLoop6, 16) == 0) {
    DPTRC_LINE(3, trc, u"%s: local loopback address: %s\n", kFn,
               NiAddrToStr2(pNodeAddr, text, NI_NODEADDR_STR_LEN, 0));
    return true;
  }
  for (int i = 0; i < lh->count; ++i) {
    if (memcmp(lh->addrs[i].addr, pNodeAddr->addr, 16) != 0) continue;
    DPTRC_LINE(3, trc, u"%s: matched local address: %s (%s)\n", kFn,
               NiAddrToStr2(pNodeAddr, text, NI_NODEADDR_STR_LEN, 0), lh->states[i] == 1 ? u"up" : u"down");
    if (lh->states[i] == 1) return true;
  }
  DPTRC_LINE(3, trc, u"%s: %s not found in local address list\n", kFn,
             NiAddrToStr2(pNodeAddr, text, NI_NODEADDR_STR_LEN, 0));
  return false;
}
