// Socket set-up of NI handles: creation with the default options, blocking
// mode, single options, binding with the search of a free local port, and
// the local and peer names of a handle's socket.
#include <string.h>

#include "i18n/wequ16/u16fmt.h"
#include "i18n/wequ16/u16str.h"
#include "krn/ni/niaddr_int.h"
#include "krn/ni/niparam_int.h"
#include "krn/ni/nisockaddr_int.h"
#include "krn/ni/nixx_int.h"
#include "platform/tcpbuf.h"

namespace {

constexpr const WEQ_UC* kXxsockModule = u"nixxi";
constexpr uint16_t kSearchPort = 65535;
constexpr uint16_t kBuiltinLow = 10000;
constexpr uint16_t kBuiltinHigh = 65000;

// Where the next port search starts (host order; 0: nothing remembered).
std::atomic<uint16_t> g_nextPort{0};

const WEQ_UC* FamText(int32_t family) {
  return family == SI_AF_UNIX ? u"UD" : family == SI_AF_INET ? u"I4" : family == SI_AF_INET6 ? u"I6" : u"??";
}

const WEQ_UC* TypeText(int32_t type) {
  return type == SI_SOCK_STREAM ? u"ST" : type == SI_SOCK_DGRAM ? u"DG" : u"??";
}



// The socket of a record for option and mode calls: the listen socket, the
// connection socket, or NULL for a reverse-invoke record.
SI_SOCKET* SockOf(NITAB* pHdl) {
  uint8_t kind = pHdl->mType.load(std::memory_order_relaxed) & 0x0F;
  if (kind == 1) return &pHdl->lis.mIPSocket;
  if (kind == 2) return nullptr;
  return &pHdl->con.mSocket;
}

SI_RC SetOptRetry(SI_SOCKET* pSock, int32_t level, int32_t option, SI_OPTVAL* v) {
  SI_RC rc;
  while ((rc = SiSetSockOpt(pSock, level, option, v)) == SI_EINTR) {
  }
  return rc;
}

SI_RC GetOptRetry(SI_SOCKET* pSock, int32_t level, int32_t option, SI_OPTVAL* v) {
  SI_RC rc;
  while ((rc = SiGetSockOpt(pSock, level, option, v)) == SI_EINTR) {
  }
  return rc;
}

NI_RC ReportOpt(SI_RC si, uint16_t fn, NITAB* pHdl, SI_SOCKET* pSock, int32_t level, int32_t option,
                const WEQ_UC* func, int line) {
  WEQ_UC detail[64];
  snprintfTruncU16(detail, 64, u"%s-%s", NiISockOptLevelName(level), NiISockOptName(option));
  return NiIReportSiError(si, fn, pHdl, pSock, pSock->sysErr, detail, nullptr, nullptr, func, kXxsockModule, line,
                          1);
}

// Sets a boolean option (one byte) on a fresh socket.
SI_RC SetBool(SI_SOCKET* pSock, int32_t level, int32_t option, uint8_t on) {
  SI_OPTVAL v{};
  v.pValue1 = &on;
  v.length1 = 1;
  return SetOptRetry(pSock, level, option, &v);
}

// Up to which size the system grows TCP send and receive buffers by
// itself (0: not, or not known), read at NI start.
std::atomic<int64_t> g_autoSendMax{0};
std::atomic<int64_t> g_autoRecvMax{0};

int32_t SizeForTrace(int64_t v) { return v > INT32_MAX ? INT32_MAX : static_cast<int32_t>(v); }

// Gives a buffer below the minimum the minimum, unless the system grows
// it to the minimum by itself: setting a size would end that growth, and
// a fixed buffer of a few segments makes a large message wait on the
// peer's delayed acknowledgements. A minimum that a caller set holds for
// every buffer.
void SizeBuffer(NITAB* pHdl, SI_SOCKET* pSock, int32_t option, const WEQ_UC* fn) {
  int32_t size = 0;
  SI_OPTVAL v{};
  v.pValue1 = &size;
  v.length1 = sizeof size;
  SI_RC si = GetOptRetry(pSock, SI_SOL_SOCKET, option, &v);
  if (si != SI_OK) {
    ReportOpt(si, SI_FN_GETSOCKOPT, pHdl, pSock, SI_SOL_SOCKET, option, fn, __LINE__);
    return;
  }
  const NiIParamValues& par = NiIParams();
  int32_t min = par.minSockBuf.load(std::memory_order_relaxed);
  int lvl = NiIHdlLevel(pHdl, 2);
  CTRC_HDL trc = NiIHdlTrc(pHdl);
  const WEQ_UC* name = NiISockOptName(option);
  if (size >= min) {
    DPTRC_LINE(lvl, trc, u"%s: %s of hdl %d/sock %d is %d (minimum %d)\n", fn, name, NiIHdlNo(pHdl),
               pSock->socketNo, size, min);
    return;
  }
  int64_t grows = 0;
  if (pSock->type == SI_SOCK_STREAM && par.minSockBufSet.load(std::memory_order_relaxed) == 0)
    grows = (option == SI_SO_SNDBUF ? g_autoSendMax : g_autoRecvMax).load(std::memory_order_relaxed);
  if (grows >= min) {
    DPTRC_LINE(lvl, trc, u"%s: %s of hdl %d/sock %d left to the system (%d, grows up to %d; minimum %d)\n", fn,
               name, NiIHdlNo(pHdl), pSock->socketNo, size, SizeForTrace(grows),
               min);
    return;
  }
  v.pValue1 = &min;
  v.length1 = sizeof min;
  si = SetOptRetry(pSock, SI_SOL_SOCKET, option, &v);
  if (si != SI_OK) {
    ReportOpt(si, SI_FN_SETSOCKOPT, pHdl, pSock, SI_SOL_SOCKET, option, fn, __LINE__);
    return;
  }
  DPTRC_LINE(lvl, trc, u"%s: %s of hdl %d/sock %d set to %d (was %d)\n", fn, name, NiIHdlNo(pHdl),
             pSock->socketNo, min, size);
}

}  // namespace

const WEQ_UC* NiISockOptLevelName(int32_t level) {
  switch (level) {
    case SI_SOL_SOCKET: return u"SOL_SOCKET";
    case SI_IPPROTO_IP: return u"IPPROTO_IP";
    case SI_IPPROTO_IPV6: return u"IPPROTO_IPV6";
    case SI_IPPROTO_TCP: return u"SI_IPPROTO_TCP";
    default: return u"?";
  }
}

const WEQ_UC* NiISockOptName(int32_t option) {
  switch (option) {
    case SI_SO_SNDBUF: return u"SO_SNDBUF";
    case SI_SO_RCVBUF: return u"SO_RCVBUF";
    case SI_SO_ERROR: return u"SO_ERROR";
    case SI_SO_REUSEADDR: return u"SO_REUSEADDR";
    case SI_SO_KEEPALIVE: return u"SO_KEEPALIVE";
    case SI_SO_LINGER: return u"SO_LINGER";
    case SI_IP_MULTICAST_IF: return u"IP_MULTICAST_IF";
    case SI_IP_MULTICAST_TTL: return u"IP_MULTICAST_TTL";
    case SI_IP_MULTICAST_LOOP: return u"IP_MULTICAST_LOOP";
    case SI_IP_ADD_MEMBERSHIP: return u"IP_ADD_MEMBERSHIP";
    case SI_IP_DROP_MEMBERSHIP: return u"IP_DROP_MEMBERSHIP";
    case SI_TCP_NODELAY: return u"TCP_NODELAY";
    default: return u"?";
  }
}

void NiIReadTcpBufLimits(void) {
  static constexpr const WEQ_UC* kFn = u"NiIReadTcpBufLimits";
  PlatTcpBufAuto lim{0, 0};
  PlatTcpBufFn provider = PlatTcpBufProvider();
  if (provider == nullptr || !provider(&lim)) {
    lim = PlatTcpBufAuto{0, 0};
    DPTRC_LINE(2, NiITrcHdl(), u"%s: automatic TCP buffer sizes not known\n", kFn);
  } else {
    DPTRC_LINE(2, NiITrcHdl(), u"%s: TCP buffers grow by themselves: send up to %d, receive up to %d\n", kFn,
               SizeForTrace(lim.sendMax),
               SizeForTrace(lim.recvMax));
  }
  g_autoSendMax.store(lim.sendMax, std::memory_order_relaxed);
  g_autoRecvMax.store(lim.recvMax, std::memory_order_relaxed);
}

uint16_t NiIPortSearchNext(void) { return g_nextPort.load(std::memory_order_relaxed); }
void NiISetPortSearchNext(uint16_t port) { g_nextPort.store(port, std::memory_order_relaxed); }

NI_RC NiIInitSocket(NITAB* pHdl, SI_SOCKET* pSock) {
  static constexpr const WEQ_UC* kFn = u"NiIInitSocket";
  bool created = false;
  if (pSock->socketNo == NI_INVALID_SOCK) {
    int32_t family = pSock->family, type = pSock->type;
    SI_RC si;
    while ((si = SiSocket(family, type, 0, pSock)) == SI_EINTR) {
    }
    if (si != SI_OK) {
      pSock->family = family;
      pSock->type = type;
      if (DPTRC_ON(1)) {
        WEQ_UC errText[128];
        SiErrText(pSock->sysErr, errText, 128);
        DPTRC_ERROR(NiIHdlTrc(pHdl), u"%s: SiSocket failed (sirc=%d; %s; %s; errno=%d: %s)\n", kFn, si,
                    FamText(family), TypeText(type), pSock->sysErr, +errText);
      }
      NiIReportSiError(si, SI_FN_SOCKET, pHdl, pSock, pSock->sysErr, nullptr, nullptr, nullptr, kFn, kXxsockModule,
                       __LINE__, 1);
      pSock->socketNo = NI_INVALID_SOCK;
      return NIEINTERN;
    }
    created = true;
  }
  if (pSock->type != SI_SOCK_STREAM && pSock->type != SI_SOCK_DGRAM) {
    NiIErrInfo(kXxsockModule, __LINE__, u"%s: invalid socket type (%d)", NIEINVAL, kFn, pSock->type);
    DPTRC_ERROR(NiIHdlTrc(pHdl), u"%s: invalid socket type for %shdl %d/sock %d (%d)\n", kFn,
                created ? u"new " : u"", NiIHdlNo(pHdl), pSock->socketNo, pSock->type);
    SiClose(pSock);
    pSock->socketNo = NI_INVALID_SOCK;
    return NIEINVAL;
  }
  NiINoteSocket(pSock->socketNo);
  SI_RC si;
  while ((si = SiSetCloseExec(pSock, 1)) == SI_EINTR) {
  }
  if (si != SI_OK) {
    NiIReportSiError(si, SI_FN_SETCLOSEEXEC, pHdl, pSock, pSock->sysErr, nullptr, nullptr, nullptr, kFn,
                     kXxsockModule, __LINE__, 1);
  }

  SizeBuffer(pHdl, pSock, SI_SO_RCVBUF, kFn);
  SizeBuffer(pHdl, pSock, SI_SO_SNDBUF, kFn);
  if (pSock->family == SI_AF_INET6) {
    SetBool(pSock, SI_IPPROTO_IPV6, SI_IPV6_V6ONLY, 0);  // dual stack; a failure is of no account
  }
  if (pSock->type == SI_SOCK_DGRAM) {
    si = SetBool(pSock, SI_SOL_SOCKET, SI_SO_REUSEADDR, 1);
    if (si != SI_OK)
      ReportOpt(si, SI_FN_SETSOCKOPT, pHdl, pSock, SI_SOL_SOCKET, SI_SO_REUSEADDR, kFn, __LINE__);
  } else {
    si = SetBool(pSock, SI_IPPROTO_TCP, SI_TCP_NODELAY, 1);
    if (si != SI_OK && si != SI_EINVAL) {
      ReportOpt(si, SI_FN_SETSOCKOPT, pHdl, pSock, SI_IPPROTO_TCP, SI_TCP_NODELAY, kFn, __LINE__);
    }
    si = SetBool(pSock, SI_SOL_SOCKET, SI_SO_REUSEADDR, 1);
    if (si != SI_OK && si != SI_EINVAL) {
      ReportOpt(si, SI_FN_SETSOCKOPT, pHdl, pSock, SI_SOL_SOCKET, SI_SO_REUSEADDR, kFn, __LINE__);
    }
    si = SetBool(pSock, SI_SOL_SOCKET, SI_SO_KEEPALIVE, 0);
    if (si == SI_EINVAL) {
      if (pHdl != nullptr) {
        NiITracePeerAddr(pHdl, 0, 0, 0, 1,
                         u"*** WARNING => %s: connection from %%s has been already shut down (hdl %d)", kFn,
                         NiIHdlNo(pHdl));
      }
    } else if (si != SI_OK) {
      ReportOpt(si, SI_FN_SETSOCKOPT, pHdl, pSock, SI_SOL_SOCKET, SI_SO_KEEPALIVE, kFn, __LINE__);
    }
  }
  DPTRC_LINE(NiIHdlLevel(pHdl, 2), NiIHdlTrc(pHdl), u"%s: set default settings for %shdl %d/sock %d (%s; %s)\n",
             kFn, created ? u"new " : u"", NiIHdlNo(pHdl), pSock->socketNo, FamText(pSock->family),
             TypeText(pSock->type));
  return WEQ_O_K;
}

NI_RC NiISetSockOpt(NITAB* pHdl, int32_t level, int32_t option, SI_OPTVAL* pValue, const WEQ_UC* valueText) {
  static constexpr const WEQ_UC* kFn = u"NiISetSockOpt";
  SI_SOCKET* sock = SockOf(pHdl);
  if (sock == nullptr) {
    return NiIErrTrace(kXxsockModule, __LINE__, 1, u"%s: not supported for RI hdl %d", NIEINVAL, kFn, NiIHdlNo(pHdl));
  }
  SI_RC si = SetOptRetry(sock, level, option, pValue);
  if (si != SI_OK) return ReportOpt(si, SI_FN_SETSOCKOPT, pHdl, sock, level, option, kFn, __LINE__);
  DPTRC_LINE(NiIHdlLevel(pHdl, 2), NiIHdlTrc(pHdl), u"%s: set option %s-%s of hdl %d to %s\n", kFn,
             NiISockOptLevelName(level), NiISockOptName(option), NiIHdlNo(pHdl),
             valueText != nullptr ? valueText : u"?");
  return WEQ_O_K;
}

NI_RC NiIBlockMode(NITAB* pHdl, uint8_t blocking, int8_t onlyIfChanged) {
  static constexpr const WEQ_UC* kFn = u"NiIBlockMode";
  const WEQ_UC* text = blocking ? u"TRUE" : u"FALSE";
  if (onlyIfChanged && pHdl->mBlockMode == blocking) {
    DPTRC_LINE(NiIHdlLevel(pHdl, 3), NiIHdlTrc(pHdl), u"%s: leave blockmode for hdl %d %s\n", kFn, NiIHdlNo(pHdl),
               text);
    return WEQ_O_K;
  }
  SI_SOCKET* sock = SockOf(pHdl);
  if (sock == nullptr) {
    return NiIErrTrace(kXxsockModule, __LINE__, 1, u"%s: not supported for RI hdl %d", NIEINVAL, kFn, NiIHdlNo(pHdl));
  }
  SI_RC si;
  while ((si = SiSetBlockMode(sock, blocking ? 1 : 0)) == SI_EINTR) {
  }
  if (si != SI_OK) {
    return NiIReportSiError(si, SI_FN_SETBLOCKMODE, pHdl, sock, sock->sysErr, nullptr, nullptr, nullptr, kFn,
                            kXxsockModule, __LINE__, 1);
  }
  pHdl->mBlockMode = blocking ? 1 : 0;
  DPTRC_LINE(NiIHdlLevel(pHdl, 2), NiIHdlTrc(pHdl), u"%s: set blockmode for hdl %d %s\n", kFn, NiIHdlNo(pHdl),
             text);
  return WEQ_O_K;
}

NI_RC NiIBindSocket(NITAB* pHdl, SI_SOCKET* pSock, const NI_NODEADDR* pAddr, uint16_t* pServNo,
                    int8_t reportInUse) {
  static constexpr const WEQ_UC* kFn = u"NiIBindSocket";
  // Without an address: the any address of the socket's own family.
  NI_NODEADDR any{};
  if (pAddr == nullptr) {
    if (pSock->family == SI_AF_INET) any.addr[10] = any.addr[11] = 0xFF;
    pAddr = &any;
  }
  WEQ_RAW raw[16];
  uint32_t len = 0;
  NI_RC rc = NiIMakeSockAddr(pHdl, pSock, pAddr, *pServNo, raw, &len);
  if (rc != WEQ_O_K) return rc;
  SI_RC si;
  while ((si = SiBind(pSock, raw, len, pServNo)) == SI_EINTR) {
  }
  if (si != SI_OK) {
    uint8_t asError = (si == SI_EPORT_INUSE && !reportInUse) ? 0 : 1;
    rc = NiIReportSiError(si, SI_FN_BIND, pHdl, pSock, pSock->sysErr, nullptr, raw, pServNo, kFn, kXxsockModule,
                          __LINE__, asError);
    return rc == NIEINVAL ? NIEINTERN : rc;
  }
  if (*pServNo == 0) {
    WEQ_RAW got[16];
    while ((si = SiGetSockName(pSock, got, sizeof got, pServNo)) == SI_EINTR) {
    }
    if (si != SI_OK) {
      NiIReportSiError(si, SI_FN_GETSOCKNAME, pHdl, pSock, pSock->sysErr, nullptr, nullptr, nullptr, kFn,
                       kXxsockModule, __LINE__, 1);
      return NIEINTERN;
    }
  }
  return WEQ_O_K;
}

NI_RC NiIBind(NITAB* pHdl, const NI_NODEADDR* pAddr, uint16_t* pServNo, uint8_t localRequested) {
  static constexpr const WEQ_UC* kFn = u"NiIBind";
  (void)localRequested;
  // On Linux a socket whose bind met a port in use stays usable for the
  // next port: it is not made anew.
  uint8_t state = pHdl->mType.load(std::memory_order_relaxed);
  SI_SOCKET* sock;
  if (state == NI_INITIAL_LIS) {
    sock = &pHdl->lis.mIPSocket;
  } else if (state == NI_INITIAL_CON || state == NI_DG_CONNECTED || state == NI_DG_UNCONNECTED) {
    sock = &pHdl->con.mSocket;
  } else {
    return NiIErrTrace(kXxsockModule, __LINE__, 1, u"%s: invalid type (%d) of hdl %d", NIEINTERN, kFn,
                       static_cast<int32_t>(state), NiIHdlNo(pHdl));
  }
  NI_RC rc;
  if (*pServNo != kSearchPort) {
    rc = NiIBindSocket(pHdl, sock, pAddr, pServNo, 1);
    if (rc != WEQ_O_K) return rc;
  } else {
    const NiIParamValues& p = NiIParams();
    uint32_t low = kBuiltinLow, high = kBuiltinHigh;
    if (p.portRange.load(std::memory_order_relaxed)) {
      low = p.minPort.load(std::memory_order_relaxed);
      high = p.maxPort.load(std::memory_order_relaxed);
    }
    // Port 0 would let the system choose a port outside the range.
    if (low == 0) low = 1;
    SetBool(sock, SI_SOL_SOCKET, SI_SO_REUSEADDR, 0);
    bool up = p.incServNo.load(std::memory_order_relaxed) != 0;
    uint32_t remembered = g_nextPort.load(std::memory_order_relaxed);
    uint32_t current;
    if (p.contInRange.load(std::memory_order_relaxed) && remembered >= low && remembered <= high) {
      current = remembered;
    } else {
      current = up ? low : high;
    }
    uint32_t attempts = high >= low ? high - low + 1 : 0;
    uint32_t candidate = 0;
    bool bound = false;
    for (uint32_t i = 0; i < attempts; ++i) {
      candidate = current;
      if (up) {
        current = current >= high ? low : current + 1;
      } else {
        current = current <= low ? high : current - 1;
      }
      uint16_t port = SiHtons(static_cast<uint16_t>(candidate));
      rc = NiIBindSocket(pHdl, sock, pAddr, &port, 0);
      if (rc == WEQ_O_K) {
        *pServNo = port;
        g_nextPort.store(static_cast<uint16_t>(current), std::memory_order_relaxed);
        bound = true;
        break;
      }
      if (rc != NIESERV_USED) return rc;
      DPTRC_LINE(NiIHdlLevel(pHdl, 2), NiIHdlTrc(pHdl), u"%s: port %u already used (errno=%d) ...\n", kFn,
                 candidate, sock->sysErr);
    }
    if (!bound) {
      WEQ_UC errText[128];
      SiErrText(sock->sysErr, errText, 128);
      ErrSetInfo(NI_COMPONENT, NI_COMPONENT_VERSION, kXxsockModule, static_cast<uint32_t>(__LINE__),
                 u"%s: no free port for hdl %d within min %d max %d", NIENOFREEPORT,
                 u"no free connect port found within range", kFn, NiIHdlNo(pHdl), static_cast<int32_t>(low),
                 static_cast<int32_t>(high));
      DPTRC_ERROR(NiIHdlTrc(pHdl), u"%s: no more free ports (hdl %d; [%d,%d]; last port: %d; %d: %s)\n", kFn,
                  NiIHdlNo(pHdl), static_cast<int32_t>(low), static_cast<int32_t>(high),
                  static_cast<int32_t>(candidate), sock->sysErr, +errText);
      return NIENOFREEPORT;
    }
  }
  if (DPTRC_ON(NiIHdlLevel(pHdl, 2))) {
    WEQ_UC addr[NI_NODEADDR_STR_LEN + 8];
    NI_NODEADDR shown{};
    if (pAddr != nullptr) {
      shown = *pAddr;
    } else if (sock->family == SI_AF_INET) {
      shown.addr[10] = shown.addr[11] = 0xFF;
    }
    NiAddrToStr(&shown, addr, NI_NODEADDR_STR_LEN, 0);
    NiIAddAddrServSep(addr);
    size_t l = strlenU(addr);
    snprintfTruncU16(addr + l, std::size(addr) - l, u"%d", static_cast<int32_t>(SiNtohs(*pServNo)));
    DPTRC_LINE(NiIHdlLevel(pHdl, 2), NiIHdlTrc(pHdl), u"%s: hdl %d bound to %s%s\n", kFn, NiIHdlNo(pHdl), +addr,
               state == NI_INITIAL_LIS ? u" (IP only)" : u"");
  }
  return WEQ_O_K;
}

namespace {

NI_RC GetName(NITAB* pHdl, SI_SOCKET* pSock, NI_NODEADDR* pAddr, uint16_t* pServNo, WEQ_UC* pText,
              int8_t report, bool local) {
  const WEQ_UC* fn = local ? u"NiIGetSockName" : u"NiIGetPeerName";
  WEQ_RAW raw[16];
  uint16_t port = 0;
  SI_RC si;
  if (local) {
    while ((si = SiGetSockName(pSock, raw, sizeof raw, &port)) == SI_EINTR) {
    }
  } else {
    while ((si = SiGetPeerName(pSock, raw, sizeof raw, &port)) == SI_EINTR) {
    }
  }
  if (si == SI_EINVAL) si = SI_ECONN_BROKEN;
  if (si != SI_OK) {
    if (!report) return NIEINTERN;
    return NiIReportSiError(si, local ? SI_FN_GETSOCKNAME : SI_FN_GETPEERNAME, pHdl, pSock, pSock->sysErr,
                            nullptr, nullptr, nullptr, fn, kXxsockModule, __LINE__, si == SI_ECONN_BROKEN ? 0 : 1);
  }
  NI_NODEADDR addr{};
  uint16_t servNo = 0;
  NI_RC rc = NiISolveSockAddr(pHdl, pSock, raw, port, 0, local ? 1 : 0, &addr, &servNo, nullptr);
  if (rc != WEQ_O_K) {
    DPTRC_LINE(1, NiIHdlTrc(pHdl), u"%s: NiISolveSockAddr failed (rc=%d)\n", fn, rc);
    return NIEINTERN;
  }
  if (pAddr != nullptr) *pAddr = addr;
  if (pServNo != nullptr) *pServNo = servNo;
  if (pText != nullptr) {
    NiAddrToStr(&addr, pText, NI_NODEADDR_STR_LEN, 0);
    NiIAddAddrServSep(pText);
    size_t l = strlenU(pText);
    snprintfTruncU16(pText + l, NI_NODEADDR_STR_LEN + 8 - l, u"%d", static_cast<int32_t>(SiNtohs(servNo)));
  }
  return WEQ_O_K;
}

}  // namespace

NI_RC NiIGetSockName(NITAB* pHdl, SI_SOCKET* pSock, NI_NODEADDR* pAddr, uint16_t* pServNo, WEQ_UC* pText,
                     int8_t report) {
  return GetName(pHdl, pSock, pAddr, pServNo, pText, report, true);
}

NI_RC NiIGetPeerName(NITAB* pHdl, SI_SOCKET* pSock, NI_NODEADDR* pAddr, uint16_t* pServNo, WEQ_UC* pText,
                     int8_t report) {
  return GetName(pHdl, pSock, pAddr, pServNo, pText, report, false);
}

NI_RC NiHdlGetName(NI_HDL hdl, NI_NODEADDR* pNodeAddr, uint16_t* pServNo, WEQ_UC* pPath) {
  static constexpr const WEQ_UC* kFn = u"NiHdlGetName";
  NITAB* rec = nullptr;
  NI_RC rc = NiIHdlCheck(hdl, kFn, &rec);
  if (rc != WEQ_O_K) return rc;
  if (pServNo == nullptr) {
    return NiIErrTrace(u"nixx", __LINE__, 1, u"%s: parameter invalid (pServNo == NULL)", NIEINVAL, kFn);
  }
  if (pPath != nullptr) pPath[0] = 0;
  uint8_t state = rec->mType.load(std::memory_order_acquire);
  uint16_t port = 0;
  if (state == NI_LISTEN) {
    // No local-domain socket exists: the path stays empty. The port comes
    // with the address, and is read also when no address is asked for.
    if (rec->lis.mIPSocket.socketNo != NI_INVALID_SOCK) {
      NI_NODEADDR addr{};
      rc = NiIGetSockName(rec, &rec->lis.mIPSocket, &addr, &port, nullptr, 1);
      if (rc != WEQ_O_K) return rc;
      if (pNodeAddr != nullptr) *pNodeAddr = addr;
    }
  } else if (state == NI_RI_LISTEN) {
    if (pNodeAddr != nullptr) *pNodeAddr = rec->ri.mLocalAddr;
    port = rec->ri.mServNo;
  } else {
    NI_NODEADDR addr{};
    rc = NiIGetSockName(rec, &rec->con.mSocket, &addr, &port, nullptr, 1);
    if (rc != WEQ_O_K) return rc;
    if (pNodeAddr != nullptr) *pNodeAddr = addr;
  }
  *pServNo = SiNtohs(port);
  return WEQ_O_K;
}
