// Internal parts of NI's addresses and name resolution: the IP usage word,
// the resolver functions behind their replaceable table, the local host
// table, and the error helper these files share. Other NI files and the
// tests include it; no other module does.
#ifndef KRN_NI_NIADDR_INT_H
#define KRN_NI_NIADDR_INT_H

#include <stdint.h>
#include <string.h>

#include <atomic>

#include "i18n/wequ16/u16fmt.h"
#include "i18n/wequ16/u16str.h"
#include "krn/dptrc/dptrc.h"
#include "krn/dptrc/err.h"
#include "krn/ni/ni.h"
#include "krn/ni/ni_int.h"

// Records NI error information for rc (detail: the code's text) and returns
// rc; descr's conversions take the first arguments, the detail's the rest.
template <class... A>
inline NI_RC NiIErrInfo(const WEQ_UC* module, int line, ErrDescrFmt<A...> descr, NI_RC rc, const A&... args) {
  ErrSetInfoSysV(NI_COMPONENT, NI_COMPONENT_VERSION, module, static_cast<uint32_t>(line), 0, descr.str, rc,
                 NiIErrorText(rc, nullptr), nullptr, 0, U16FmtMakeArgs(args...).args());
  return rc;
}

// As NiIErrInfo, and the same text as one trace line: an error line at
// level 1, an information line at level 2 or 3.
NI_RC NiIErrTraceV(const WEQ_UC* module, int line, int level, NI_RC rc, const WEQ_UC* descr, U16FmtArgs args);
template <class... A>
inline NI_RC NiIErrTrace(const WEQ_UC* module, int line, int level, ErrDescrFmt<A...> descr, NI_RC rc,
                         const A&... args) {
  return NiIErrTraceV(module, line, level, rc, descr.str, U16FmtMakeArgs(args...).args());
}

// Keeps the thread's error information over a call that may record its
// own, so that the failure being reported keeps its text.
class NiIErrKeep {
 public:
  NiIErrKeep() {
    const WEQ_UC* rec = nullptr;
    if (ErrGetAttr(&rec, &units_) == 0 && units_ <= ERR_INFO_MAX_UNITS)
      memcpy(saved_, rec, units_ * sizeof(WEQ_UC));
    else
      units_ = 0;
  }
  ~NiIErrKeep() {
    if (units_ == 0) return;
    const WEQ_UC* rec = nullptr;
    size_t now = 0;
    if (ErrGetAttr(&rec, &now) != 0 || now != units_ || memcmp(rec, saved_, units_ * sizeof(WEQ_UC)) != 0)
      ErrCpTo(saved_, units_);
  }
  NiIErrKeep(const NiIErrKeep&) = delete;
  NiIErrKeep& operator=(const NiIErrKeep&) = delete;

 private:
  WEQ_UC saved_[ERR_INFO_MAX_UNITS];
  size_t units_ = 0;
};

// --- IP protocol usage ------------------------------------------------------

// 0 until set; 2 (IPv4), 6 (IPv4 and IPv6). NI initialisation may lower it
// to 2 when IPv6 sockets are not available, and NI shutdown stores 0.
extern std::atomic<uint32_t> NiIPProtoUsage;

// Sets the word once from WEQ_IPv6_ACTIVE (1: 6, 0 or unset: 2, else 2 with
// a trace line); nothing while it is non-zero.
void NiISetIPProtoUsage(void);
inline bool NiIIPv6Active() {
  return (NiIPProtoUsage.load(std::memory_order_relaxed) & NI_PROTO_FAM_IPv6) != 0;
}
// "IPv4/IPv6" or "IPv4".
const WEQ_UC* NiIIPProtoUsageText(void);

// The loopback address given to local-domain sockets: the IPv4-mapped
// 127.0.0.1 until NI initialisation turns IPv6 on (::1 then).
NI_NODEADDR NiILoopbackAddr(void);
void NiISetLoopbackIPv6(bool ipv6);

// The "any" address of the chosen usage: IPv4-mapped 0.0.0.0 or ::.
inline NI_NODEADDR NiIAnyAddr(void) {
  NI_NODEADDR a{};
  if (!NiIIPv6Active()) a.addr[10] = a.addr[11] = 0xFF;
  return a;
}

inline bool NiIIsMapped(const NI_NODEADDR& a) {
  static constexpr WEQ_RAW kPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  return memcmp(a.addr, kPrefix, 12) == 0;
}

// Process-wide resets for tests: the usage word, the kept "localhost"
// address.
void NiIResetAddrState(void);

// --- Resolver ---------------------------------------------------------------

// The four look-ups the caches make, with the system's resolver behind them.
//   hostByName(name, ipv4Only, numericOnly, addrs, *count (capacity in,
//              stored or total out), canon or NULL, canonLen, trc)
//   hostByAddr(addr, numeric, name, nameLen, trc)
//   servByName(name, *port network order, trc)
//   servByPort(port network order, name, nameLen, trc)
struct NiIResolverOps {
  NI_RC (*hostByName)(const WEQ_UC*, int, int, NI_NODEADDR*, int*, WEQ_UC*, int, CTRC_HDL);
  NI_RC (*hostByAddr)(const NI_NODEADDR*, int, WEQ_UC*, int, CTRC_HDL);
  NI_RC (*servByName)(const WEQ_UC*, uint16_t*, CTRC_HDL);
  NI_RC (*servByPort)(uint16_t, WEQ_UC*, int, CTRC_HDL);
};

// The system's functions.
NI_RC NiPGetHostByName(const WEQ_UC* pHostName, int ipv4Only, int numericOnly, NI_NODEADDR* pAddrs,
                       int* pCount, WEQ_UC* pCanon, int canonLen, CTRC_HDL trc);
NI_RC NiPGetHostByAddr(const NI_NODEADDR* pNodeAddr, int numeric, WEQ_UC* pHostName, int bufferLen,
                       CTRC_HDL trc);
NI_RC NiPGetServByName(const WEQ_UC* pServName, uint16_t* pServNo, CTRC_HDL trc);
NI_RC NiPGetServByPort(uint16_t servNo, WEQ_UC* pServName, int bufferLen, CTRC_HDL trc);
NI_RC NiPMyHostName(WEQ_UC* pHostName, int bufferLen);
NI_RC NiPGetPid(uint32_t* pPid);

// The table the caches call through; tests put fakes in (NULL restores the
// system's functions).
const NiIResolverOps& NiIResolver(void);
void NiISetResolver(const NiIResolverOps* ops);

// --- Local host -------------------------------------------------------------

// The local address list: addresses (and states, 1 = up) into arrays of
// capacity entries; *pCount receives the total found, which may exceed the
// capacity (then only capacity entries are stored). Link-local addresses
// (fe80::/64 form) only with the flag.
typedef NI_RC (*NiIAddrListFn)(NI_NODEADDR* pAddrs, WEQ_RAW* pStates, int capacity, int withLinkLocal,
                               int* pCount);
NI_RC NiPGetNodeAddrList(NI_NODEADDR* pAddrs, WEQ_RAW* pStates, int capacity, int withLinkLocal, int* pCount);
// Tests replace the list (NULL: the system's).
void NiISetAddrListFn(NiIAddrListFn fn);

NI_RC NiILHInit(void);
void NiILHFree(void);
NI_RC NiIGetLocalName(WEQ_UC* pHostName, int bufferLen);
bool NiILocalCheck(const NI_NODEADDR* pNodeAddr, CTRC_HDL trc);
// Number of addresses in the table, -1 when it is not built (tests).
int NiILHAddrCount(void);

// Writes a resolver result list to the trace (level 3).
struct addrinfo;
void NiITraceAddrInfo(const struct addrinfo* list, const WEQ_UC* name, CTRC_HDL trc, int level);

// --- Addresses --------------------------------------------------------------

// Separator between an address text and a port: ':' after dotted IPv4,
// '.' after IPv6 text.
inline WEQ_UC NiIAddrPortSep(const NI_NODEADDR& a) { return NiIIsMapped(a) ? u':' : u'.'; }

#endif
