// Node addresses in and out of the socket layer's address form (the 4 or 16
// address bytes of the socket's family beside a network-order port), and
// the trace lines that show a socket's or a handle's peer address.
//
// Local-domain sockets are never made by NI: the socket layer accepts no
// such family, so an AF_UNIX record is refused like any unknown family when
// an address is to be built, and shows the loopback address when one is
// read back.
#include <string.h>

#include <atomic>

#include "krn/ni/nihs_int.h"
#include "krn/ni/nisockaddr_int.h"
#include "krn/si/si.h"

namespace {

constexpr const WEQ_UC* kSockAddrModule = u"nisockaddr.cpp";

std::atomic<bool> g_byteOrderTraced{false};

void TraceByteOrder() {
  if (g_byteOrderTraced.exchange(true, std::memory_order_relaxed)) return;
  static constexpr const WEQ_UC* kFn = u"NiITraceByteOrder";
  const uint16_t probe = 0x0102;
  WEQ_RAW first;
  memcpy(&first, &probe, 1);
  if (first == 0x02) {
    DPTRC_LINE(2, NiITrcHdl(), u"%s: CPU byte order: little endian, reverse network, low val .. high val\n",
               kFn);
  } else if (first == 0x01) {
    DPTRC_LINE(2, NiITrcHdl(), u"%s: CPU byte order: big endian, network, high val..low val\n", kFn);
  } else {
    DPTRC_LINE(2, NiITrcHdl(), u"%s: CPU byte order: ???? (%d)\n", kFn, first);
  }
}

NI_RC InvalidFamily(const WEQ_UC* fn, int32_t family, const NITAB* pHdl, const SI_SOCKET* pSock, int line) {
  return NiIErrTrace(kSockAddrModule, line, 1, u"%s: invalid family %d for hdl %d/sock %d", NIEINVAL, fn, family,
                     pHdl != nullptr ? pHdl->mHdl.load() : -1, pSock != nullptr ? pSock->socketNo : -1);
}

// "address<sep>port", or with names "host<sep>service" from the caches in
// buffer-only mode.
void AddressText(const NI_NODEADDR& a, uint16_t port, bool names, WEQ_UC* out, size_t size) {
  WEQ_UC host[NI_MAX_HOSTNAME_LEN];
  WEQ_UC serv[NI_MAX_SERVNAME_LEN];
  if (names) {
    NiIGetHostName(&a, host, NI_MAX_HOSTNAME_LEN, 0, NI_HS_MODE_BUFONLY, NiITrcHdl());
    NiIGetServName(port, serv, NI_MAX_SERVNAME_LEN, NI_HS_MODE_BUFONLY, NiITrcHdl());
  } else {
    NiAddrToStr2(&a, host, NI_MAX_HOSTNAME_LEN, 0);
    NiServToStr(NiNtohs(port), serv, NI_MAX_SERVNAME_LEN);
  }
  // The separator follows the address text: ':' after dotted IPv4.
  bool dotted = NiIIsMapped(a) && !names;
  if (names) dotted = strchrU(host, u':') == nullptr;
  snprintfTruncU16(out, size, u"%s%c%s", +host, dotted ? u':' : u'.', +serv);
}

}  // namespace

void NiIResetByteOrderTrace(void) { g_byteOrderTraced.store(false, std::memory_order_relaxed); }

NI_RC NiIMakeSockAddr(const NITAB* pHdl, const SI_SOCKET* pSock, const NI_NODEADDR* pNodeAddr,
                      uint16_t servNo, WEQ_RAW* pSockAddr, uint32_t* pAddrLen) {
  static constexpr const WEQ_UC* kFn = u"NiIMakeSockAddr";
  (void)servNo;
  TraceByteOrder();
  int32_t hdl = pHdl != nullptr ? pHdl->mHdl.load() : -1;
  if (pSock->family == SI_AF_INET) {
    if (!NiIIsMapped(*pNodeAddr)) {
      WEQ_UC text[NI_NODEADDR_STR_LEN];
      return NiIErrTrace(kSockAddrModule, __LINE__, 1,
                         u"%s: IPv6 address '%s' not supported by hdl %d with AF_INET sock %d (probably "
                         u"IPv6 not enabled (%s))",
                         NIEINVAL, kFn, NiAddrToStr2(pNodeAddr, text, NI_NODEADDR_STR_LEN, 0), hdl,
                         pSock->socketNo, NiIIPProtoUsageText());
    }
    memcpy(pSockAddr, pNodeAddr->addr + 12, 4);
    *pAddrLen = 4;
    return WEQ_O_K;
  }
  if (pSock->family == SI_AF_INET6) {
    if (NiIIsMapped(*pNodeAddr) && NiAddrToIPv4(pNodeAddr) == 0) {
      DPTRC_WARNING(NiITrcHdl(),
                    u"%s: probably requested address 0.0.0.0 can't be assign to IPv6 socket (hdl %d/sock "
                    u"%d; NI_USE_IP_PROTO=%s)\n",
                    kFn, hdl, pSock->socketNo, NiIIPProtoUsageText());
    }
    memcpy(pSockAddr, pNodeAddr->addr, 16);
    *pAddrLen = 16;
    return WEQ_O_K;
  }
  return InvalidFamily(kFn, pSock->family, pHdl, pSock, __LINE__);
}

NI_RC NiISolveSockAddr(const NITAB* pHdl, SI_SOCKET* pSock, const WEQ_RAW* pSockAddr, uint16_t servNo,
                       int ask, int local, NI_NODEADDR* pNodeAddr, uint16_t* pServNo, WEQ_UC* pPath) {
  static constexpr const WEQ_UC* kFn = u"NiISolveSockAddr";
  WEQ_RAW asked[16];
  if (pPath != nullptr) pPath[0] = 0;
  if (ask == 1) {
    SI_RC rc;
    do {
      rc = local ? SiGetSockName(pSock, asked, sizeof asked, &servNo)
                 : SiGetPeerName(pSock, asked, sizeof asked, &servNo);
    } while (rc == SI_EINTR);
    if (rc != SI_OK) {
      return NiIReportSiError(rc, local ? SI_FN_GETSOCKNAME : SI_FN_GETPEERNAME, pHdl, pSock, pSock->sysErr,
                              nullptr, nullptr, nullptr, kFn, kSockAddrModule, __LINE__, 0);
    }
    pSockAddr = asked;
  }
  if (pSock->family == SI_AF_INET) {
    uint32_t v4;
    memcpy(&v4, pSockAddr, 4);
    *pNodeAddr = NiIPv4ToAddr(v4);
  } else if (pSock->family == SI_AF_INET6) {
    memcpy(pNodeAddr->addr, pSockAddr, 16);
  } else if (pSock->family == SI_AF_UNIX) {
    *pNodeAddr = NiILoopbackAddr();
    servNo = 0;
  } else {
    return InvalidFamily(kFn, pSock->family, pHdl, pSock, __LINE__);
  }
  if (pServNo != nullptr) *pServNo = servNo;
  return WEQ_O_K;
}

void NiITraceSockAddrV(const NITAB* pHdl, SI_SOCKET* pSock, const WEQ_RAW* pSockAddr, uint16_t servNo,
                       int ask, int local, int names, int level, const WEQ_UC* format, U16FmtArgs args) {
  if (!DPTRC_ON(level)) return;
  WEQ_UC message[257];
  vsnprintfTruncU16(message, sizeof message / sizeof message[0], format, args);
  WEQ_UC text[NI_MAX_HOSTNAME_LEN + NI_MAX_SERVNAME_LEN + 2];
  if (pSock != nullptr && pSock->family == SI_AF_UNIX) {
    if (ask == 1) {
      strcpy_sU16(text, sizeof text / sizeof text[0], u"*** ERROR ***");
    } else {
      snprintfTruncU16(text, sizeof text / sizeof text[0], u"UDS addr (%d)", NiNtohs(servNo));
    }
  } else {
    NI_NODEADDR a;
    uint16_t port = 0;
    if (pSock == nullptr || (pSockAddr == nullptr && ask != 1) ||
        NiISolveSockAddr(pHdl, pSock, pSockAddr, servNo, ask, local, &a, &port, nullptr) != WEQ_O_K) {
      strcpy_sU16(text, sizeof text / sizeof text[0], u"*** ERROR ***");
    } else {
      AddressText(a, port, names != 0, text, sizeof text / sizeof text[0]);
    }
  }
  CTRC_HDL trc = pHdl != nullptr && pHdl->mTrcHdl != nullptr ? *pHdl->mTrcHdl : NiITrcHdl();
  DpTrcLock();
  DpTrc(trc, +message, +text);
  DpTrcUnlock();
}

void NiITracePeerAddrV(const NITAB* pHdl, int ask, int local, int names, int level, const WEQ_UC* format,
                       U16FmtArgs args) {
  if (!DPTRC_ON(level) || pHdl == nullptr) return;
  SI_SOCKET sock = pHdl->con.mSocket;
  if (ask == 1) {
    NiITraceSockAddrV(pHdl, &sock, nullptr, 0, ask, local, names, level, format, args);
    return;
  }
  WEQ_RAW raw[16];
  if (sock.family == SI_AF_INET && NiIIsMapped(pHdl->con.mPeerAddr)) {
    memcpy(raw, pHdl->con.mPeerAddr.addr + 12, 4);
  } else {
    memcpy(raw, pHdl->con.mPeerAddr.addr, 16);
    if (sock.family != SI_AF_UNIX) sock.family = SI_AF_INET6;
  }
  NiITraceSockAddrV(pHdl, &sock, raw, pHdl->con.mPeerServNo, 0, local, names, level, format, args);
}
