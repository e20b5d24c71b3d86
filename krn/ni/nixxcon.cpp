// NI connections: listen handles, outgoing connects (with the completion of
// a connect still in progress) and accepts.
#include <string.h>

#include "i18n/wequ16/u16fmt.h"
#include "i18n/wequ16/u16str.h"
#include "krn/ni/niaddr_int.h"
#include "krn/ni/nibuf_int.h"
#include "krn/ni/nictl_int.h"
#include "krn/ni/nimsg_int.h"
#include "krn/ni/niroute_int.h"
#include "krn/ni/niparam_int.h"
#include "krn/ni/nisockaddr_int.h"
#include "krn/ni/nixx_int.h"

namespace {

constexpr const WEQ_UC* kXxconModule = u"nixxi";
constexpr const WEQ_UC* kModulePub = u"nixx";
constexpr int kConnectTries = 20;
constexpr int kEmptyAccepts = 12;


// "address<sep>port" of a node address and a network-order port.
void AddrText(const NI_NODEADDR* pAddr, uint16_t servNo, WEQ_UC* out, size_t size) {
  out[0] = 0;
  if (pAddr == nullptr) return;
  NiAddrToStr(pAddr, out, static_cast<int32_t>(size), 0);
  NiIAddAddrServSep(out);
  size_t l = strlenU(out);
  snprintfTruncU16(out + l, size - l, u"%d", static_cast<int32_t>(SiNtohs(servNo)));
}

// A line with the handle's peer in place of "%s" of the message built from
// fmt (which writes "%%s" there); at level (1 for a traced handle).
template <class... A>
void TracePeer(const NITAB* pHdl, int level, U16Format<A...> fmt, const A&... args) {
  int lvl = NiIHdlLevel(pHdl, level);
  if (!DPTRC_ON(lvl)) return;
  WEQ_UC msg[256], addr[NI_NODEADDR_STR_LEN + 8], line[320];
  vsnprintfTruncU16(msg, std::size(msg), fmt.str, U16FmtMakeArgs(args...).args());
  AddrText(&pHdl->con.mPeerAddr, pHdl->con.mPeerServNo, addr, std::size(addr));
  snprintfTruncU16(line, std::size(line), msg, +addr);
  DpTrcLock();
  DpTrc(NiIHdlTrc(pHdl), u"%s\n", +line);
  DpTrcUnlock();
}

// The local name of a connection's socket in place of "%s".
template <class... A>
void TraceLocal(NITAB* pHdl, int level, U16Format<A...> fmt, const A&... args) {
  int lvl = NiIHdlLevel(pHdl, level);
  if (!DPTRC_ON(lvl)) return;
  WEQ_UC msg[256], addr[NI_NODEADDR_STR_LEN + 8], line[320];
  vsnprintfTruncU16(msg, std::size(msg), fmt.str, U16FmtMakeArgs(args...).args());
  NI_RC rc = NiIGetSockName(pHdl, &pHdl->con.mSocket, nullptr, nullptr, addr, 0);
  if (rc != WEQ_O_K) {
    DPTRC_LINE(lvl, NiIHdlTrc(pHdl), u"%s: SiGetSockName failed (sirc=%d)\n", u"NiITraceAddr", rc);
    return;
  }
  snprintfTruncU16(line, std::size(line), msg, +addr);
  DpTrcLock();
  DpTrc(NiIHdlTrc(pHdl), u"%s\n", +line);
  DpTrcUnlock();
}

bool IsUnset(const NI_NODEADDR& a) {
  NI_NODEADDR zero{};
  NI_NODEADDR mapped{};
  mapped.addr[10] = mapped.addr[11] = 0xFF;
  return memcmp(a.addr, zero.addr, 16) == 0 || memcmp(a.addr, mapped.addr, 16) == 0;
}

}  // namespace

WEQ_UC NiIAddrServSep(const WEQ_UC* text) {
  bool dot = false, colon = false;
  for (const WEQ_UC* p = text; *p != 0; ++p) {
    dot = dot || *p == u'.';
    colon = colon || *p == u':';
  }
  return dot ? u':' : colon ? u'.' : u':';
}

void NiIAddAddrServSep(WEQ_UC* text) {
  size_t l = strlenU(text);
  WEQ_UC sep = NiIAddrServSep(text);
  text[l] = sep;
  text[l + 1] = 0;
}

int32_t NiIFamilyOfMask(uint32_t protoMask) {
  uint32_t ip = protoMask & (NI_PROTO_FAM_IPv4 | NI_PROTO_FAM_IPv6);
  if (ip == NI_PROTO_FAM_IPv6) return SI_AF_INET6;
  if (ip == NI_PROTO_FAM_IPv4) return SI_AF_INET;
  return NiIIPv6Active() ? SI_AF_INET6 : SI_AF_INET;
}

int NiIIsLocalPeer(const NITAB* pHdl) { return NiILocalCheck(&pHdl->con.mPeerAddr, NiIHdlTrc(pHdl)) ? 1 : 0; }

NI_RC NiIPeekListen(NITAB* pListen, int32_t timeout, SI_SOCKET** ppReady) {
  static constexpr const WEQ_UC* kFn = u"NiIPeekListen";
  static constexpr int kPollLoops = 5000;
  SI_SOCKET* sock = &pListen->lis.mIPSocket;
  CTRC_HDL trc = NiIHdlTrc(pListen);
  int64_t start = NiIMonoMs();
  int32_t count = 0;
  int32_t err = 0;
  SI_RC si;
  bool usePoll = SiPollAvailable() != 0;
  SI_POLL_FD fd{sock->socketNo, SI_POLLIN, 0};
  SiFdMask<1> readMask;
  if (usePoll) {
    // A poll that answers "try again" is repeated, a bounded number of times.
    int loops = 0;
    for (;;) {
      fd.revents = 0;
      si = SiPoll(&fd, 1, timeout, &count, &err);
      if (si == SI_EINTR) continue;
      if (si == SI_ETIMEOUT && loops < kPollLoops) {
        ++loops;
        continue;
      }
      break;
    }
    if (loops > 0)
      DPTRC_ERROR(trc, u"%s: poll looped %d times, caused by EAGAIN (limit=%d)\n", kFn, loops, kPollLoops);
    if (si == SI_EINVAL)
      DPTRC_ERROR(trc, u"%s: poll(%p,%d,%d) caused EFAULT\n", kFn, static_cast<const void*>(&fd), 1, timeout);
  } else {
    do {
      SiFdZero(readMask);
      SiFdSet(sock, readMask, 1);
      si = SiSelect(sock->socketNo + 1, readMask, nullptr, nullptr, timeout, &count, &err);
    } while (si == SI_EINTR);
  }
  NiIWaitOverrun(start, timeout);
  if (si != SI_OK) {
    NI_RC rc = NiIReportSiError(si, usePoll ? SI_FN_POLL : SI_FN_SELECT, pListen, sock, err, nullptr, nullptr,
                                nullptr, kFn, kXxconModule, __LINE__, 1);
    return rc == NIEINVAL ? NIEINTERN : rc;
  }
  if (count == 0) {
    DPTRC_LINE(NiIHdlLevel(pListen, 3), trc, u"%s: peek for hdl %d timed out (%dms)\n", kFn, NiIHdlNo(pListen),
               timeout);
    return NIETIMEOUT;
  }
  if (ppReady != nullptr) {
    *ppReady = sock;
    if (usePoll && (fd.revents & SI_POLLIN) == 0) {
      DPTRC_ERROR(trc, u"%s: invalid status (%d-%d-%d-%d)\n", kFn, static_cast<int32_t>(fd.fd),
                  static_cast<int32_t>(fd.events), static_cast<int32_t>(fd.revents), count);
      return NIETIMEOUT;
    }
    if (!usePoll && !SiFdIsSet(sock, readMask)) {
      DPTRC_ERROR(trc, u"%s: invalid status (%d)\n", kFn, count);
      return NIETIMEOUT;
    }
  }
  DPTRC_LINE(3, trc, u"%s: peek successful for hdl %d\n", kFn, NiIHdlNo(pListen));
  return WEQ_O_K;
}

// --- Listen -------------------------------------------------------------------------------

NI_RC NiIListen(const NI_NODEADDR* pAddr, uint16_t* pServNo, uint32_t protoMask, NITAB** ppHdl) {
  static constexpr const WEQ_UC* kFn = u"NiIListen";
  NITAB* rec = nullptr;
  NI_RC rc = NiICreateHandle(&rec, NI_INITIAL_LIS, nullptr);
  if (rc != WEQ_O_K) return rc;
  if (protoMask & NI_PROTO_FAM_LOCAL) {
    NiIErrTrace(kXxconModule, __LINE__, 1, u"%s: invalid protocol %d (%d/%d)", NIEINVAL, kFn,
                static_cast<int32_t>(protoMask), pAddr != nullptr ? 1 : 0, 0);
    NiICloseHandle(rec, 1, 0);
    return NIEINVAL;
  }
  SI_SOCKET* sock = &rec->lis.mIPSocket;
  sock->family = NiIFamilyOfMask(protoMask);
  sock->type = SI_SOCK_STREAM;
  rc = NiIInitSocket(rec, sock);
  if (rc != WEQ_O_K) {
    DPTRC_LINE(1, NiITrcHdl(), u"%s: NiIInitSocket failed (rc=%d)\n", kFn, rc);
    NiICloseHandle(rec, 1, 0);
    return rc;
  }
  rc = NiIBind(rec, pAddr, pServNo, 0);
  if (rc != WEQ_O_K) {
    NiICloseHandle(rec, 1, 0);
    return rc;
  }
  rc = NiIBlockMode(rec, 0, 0);
  if (rc != WEQ_O_K) DPTRC_LINE(1, NiITrcHdl(), u"%s: NiIBlockMode failed (rc=%d)\n", kFn, rc);
  int32_t queue = NiIParams().queueLen.load(std::memory_order_relaxed);
  SI_RC si;
  while ((si = SiListen(sock, queue)) == SI_EINTR) {
  }
  if (si != SI_OK) {
    NiIReportSiError(si, SI_FN_LISTEN, rec, sock, sock->sysErr, nullptr, nullptr, nullptr, kFn, kXxconModule,
                     __LINE__, 1);
    NiICloseHandle(rec, 1, 0);
    return NIEINTERN;
  }
  NiISetState(rec, NI_LISTEN, kFn);
  *ppHdl = rec;
  return WEQ_O_K;
}

NI_RC NiServerHandleForPort(uint16_t* pServNo, NI_HDL* pHandle) {
  static constexpr const WEQ_UC* kFn = u"NiServerHandleForPort";
  if (pServNo == nullptr) {
    return NiIErrTrace(kModulePub, __LINE__, 1, u"%s: parameter invalid (pServNo == NULL)", NIEINVAL, kFn);
  }
  if (pHandle == nullptr) {
    return NiIErrTrace(kModulePub, __LINE__, 1, u"%s: parameter invalid (pHandle == NULL)", NIEINVAL, kFn);
  }
  *pHandle = NI_INVALID_HDL;
  uint16_t port = *pServNo == 65535 ? 65535 : SiHtons(*pServNo);
  NITAB* rec = nullptr;
  NI_RC rc = NiIListen(nullptr, &port, NI_PROTO_FAM_UNSPEC, &rec);
  if (rc != WEQ_O_K) return rc;
  *pServNo = SiNtohs(port);
  *pHandle = rec->mHdl.load(std::memory_order_acquire);
  return WEQ_O_K;
}

// --- Connect ------------------------------------------------------------------------------

NI_RC NiICheckPendConnection(NITAB* pHdl, int32_t timeout, uint8_t setState) {
  static constexpr const WEQ_UC* kFn = u"NiICheckPendConnection";
  int64_t start = NiIMonoMs();
  SI_RC si = SiPeekPendConn(&pHdl->con.mSocket, timeout);
  NiIWaitOverrun(start, timeout);
  if (si == SI_OK) {
    TracePeer(pHdl, 2, u"%s: connection of hdl %d to %%s established", kFn, NiIHdlNo(pHdl));
    if (setState) {
      NiISetState(pHdl, pHdl->con.mSocket.type == SI_SOCK_STREAM ? NI_CONNECTED : NI_DG_CONNECTED, kFn);
    }
    return WEQ_O_K;
  }
  if (si == SI_ETIMEOUT) {
    TracePeer(pHdl, 2, u"%s: connection of hdl %d to %%s still in progress (%d)", kFn, NiIHdlNo(pHdl), timeout);
    uint8_t state = pHdl->mType.load(std::memory_order_relaxed);
    if (setState && state != NI_CONN_WAIT) {
      DPTRC_ERROR(NiIHdlTrc(pHdl), u"%s: invalid state of hdl %d (%d)\n", kFn, NiIHdlNo(pHdl),
                  static_cast<int32_t>(state));
      NiISetState(pHdl, NI_CONN_WAIT, kFn);
    }
    return NIETIMEOUT;
  }
  WEQ_RAW raw[16];
  uint32_t len = 0;
  const WEQ_RAW* pRaw = nullptr;
  if (NiIMakeSockAddr(pHdl, &pHdl->con.mSocket, &pHdl->con.mPeerAddr, pHdl->con.mPeerServNo, raw, &len) ==
      WEQ_O_K) {
    pRaw = raw;
  }
  NI_RC rc =
      NiIReportSiError(si, SI_FN_PEEKPENDCONN, pHdl, &pHdl->con.mSocket, pHdl->con.mSocket.sysErr, nullptr,
                       pRaw, pRaw != nullptr ? &pHdl->con.mPeerServNo : nullptr, kFn, kXxconModule, __LINE__, 1);
  return rc == NIEINVAL ? NIEINTERN : rc;
}

NI_RC NiIConnectSocket(NITAB* pHdl, const NI_NODEADDR* pAddr, uint16_t servNo, int32_t timeout,
                       int8_t reportFlag) {
  static constexpr const WEQ_UC* kFn = u"NiIConnectSocket";
  SI_SOCKET* sock = &pHdl->con.mSocket;
  WEQ_RAW raw[16];
  uint32_t len = 0;
  NI_RC rc = NiIMakeSockAddr(pHdl, sock, pAddr, servNo, raw, &len);
  if (rc != WEQ_O_K) return rc;
  pHdl->con.mPeerAddr = *pAddr;
  pHdl->con.mPeerServNo = servNo;
  TracePeer(pHdl, 3, u"%s: hdl %d is connecting to %%s (timeout=%d)", kFn, NiIHdlNo(pHdl), timeout);
  SI_RC si = SI_OK;
  int inUse = 0;
  for (int tries = 0; tries < kConnectTries; ++tries) {
    si = SiConnect(sock, raw, len, &servNo);
    if (si != SI_EPORT_INUSE) break;
    ++inUse;
  }
  if (si == SI_OK) {
    TracePeer(pHdl, 2, u"%s: connection of hdl %d established to %%s", kFn, NiIHdlNo(pHdl));
    return WEQ_O_K;
  }
  if (si == SI_EINTR || si == SI_ECONN_INPROG) {
    if (timeout == 0) {
      TracePeer(pHdl, 2, u"%s: connection of hdl %d to %%s in progress (timeout=0)", kFn, NiIHdlNo(pHdl));
      return NIECONN_PENDING;
    }
    rc = NiICheckPendConnection(pHdl, timeout, 0);
    return rc == NIETIMEOUT ? NIECONN_PENDING : rc;
  }
  if (inUse >= kConnectTries) {
    DPTRC_ERROR(NiIHdlTrc(pHdl), u"%s: port still in use after %d tries\n", kFn, inUse);
    DPTRC_ERROR(NiIHdlTrc(pHdl),
                u"please check WEQ-note 734095 (WSAEADDRINUSE error during connection setup)\n");
  } else if (inUse >= 2) {
    const WEQ_UC* name = NiISiRcName(si);
    DPTRC_WARNING(NiIHdlTrc(pHdl), u"%s: error %s after %d SI_EPORT_INUSE\n", kFn,
                  name != nullptr ? name : u"?", inUse);
  }
  rc = NiIReportSiError(si, SI_FN_CONNECT, pHdl, sock, sock->sysErr, nullptr, raw, &servNo, kFn, kXxconModule,
                        __LINE__, reportFlag ? 1 : 0);
  return rc == NIEINVAL ? NIEINTERN : rc;
}

NI_RC NiIConnect(const NI_NODEADDR* pAddr, uint16_t servNo, uint32_t protoMask, int32_t timeout,
                 CTRC_HDL* trcHdl, NITAB** ppHdl) {
  static constexpr const WEQ_UC* kFn = u"NiIConnect";
  NITAB* rec = nullptr;
  NI_RC rc = NiICreateHandle(&rec, NI_INITIAL_CON, trcHdl);
  if (rc != WEQ_O_K) return rc;
  if (kNiRiClientActive) {
    NI_HDL riHdl = NI_INVALID_HDL;
    if (NiIRiCliConnect(pAddr, servNo, timeout, &riHdl)) {
      NiICloseHandle(rec, 1, 0);
      return NIEINTERN;
    }
  }
  if (protoMask == NI_PROTO_FAM_LOCAL) {
    WEQ_UC partner[NI_MAX_HOSTNAME_LEN + 8];
    snprintfTruncU16(partner, std::size(partner), u"%s%c%d", u"localhost", u':',
                     static_cast<int32_t>(SiNtohs(servNo)));
    ErrSetInfo(NI_COMPONENT, NI_COMPONENT_VERSION, kXxconModule, static_cast<uint32_t>(__LINE__),
               u"%s: UDS connect only", NIECONN_REFUSED, u"partner '%s' not reached", kFn, +partner);
    DPTRC_ERROR(NiIHdlTrc(rec), u"%s: force UDS connect to '%s' failed (%d; %d)\n", kFn, +partner,
                static_cast<int32_t>(protoMask), NIECONN_REFUSED);
    NiICloseHandle(rec, 1, 0);
    return NIECONN_REFUSED;
  }
  SI_SOCKET* sock = &rec->con.mSocket;
  sock->family = NiIFamilyOfMask(protoMask);
  sock->type = SI_SOCK_STREAM;
  rc = NiIInitSocket(rec, sock);
  if (rc != WEQ_O_K) {
    NiICloseHandle(rec, 1, 0);
    return rc;
  }
  rc = NiIBlockMode(rec, 0, 0);
  if (rc != WEQ_O_K) {
    NiICloseHandle(rec, 1, 0);
    return rc;
  }

  NI_THR_GLOB* glob = NiIGetThrGlob();
  if (glob == nullptr) {
    NiIErrTrace(kXxconModule, __LINE__, 1, u"%s: NiIGetThrGlob failed", NIEINTERN, kFn);
    NiICloseHandle(rec, 1, 0);
    return NIEINTERN;
  }
  NI_NODEADDR local = glob->mLocalAddr;
  bool localSet = !IsUnset(local);
  bool range = NiIParams().portRange.load(std::memory_order_relaxed) != 0;
  if (range || localSet) {
    if (localSet && NiIIsMapped(local) != NiIIsMapped(*pAddr) && DPTRC_ON(1)) {
      WEQ_UC to[NI_NODEADDR_STR_LEN], via[NI_NODEADDR_STR_LEN];
      NiAddrToStr(pAddr, to, NI_NODEADDR_STR_LEN, 0);
      NiAddrToStr(&local, via, NI_NODEADDR_STR_LEN, 0);
      DPTRC_WARNING(NiIHdlTrc(rec), u"%s: hdl %d tries to connect to '%s' over interface '%s'\n", kFn,
                    NiIHdlNo(rec), +to, +via);
    }
    uint16_t port = range ? 65535 : 0;
    rc = NiIBind(rec, localSet ? &local : nullptr, &port, 0);
    if (rc != WEQ_O_K) {
      DPTRC_LINE(1, NiIHdlTrc(rec), u"%s: NiIBind failed (rc=%d)\n", kFn, rc);
      NiICloseHandle(rec, 1, 0);
      return rc;
    }
  }

  rc = NiIConnectSocket(rec, pAddr, servNo, timeout, 1);
  if (rc == WEQ_O_K || rc == NIECONN_PENDING) {
    TraceLocal(rec, 2, u"%s: hdl %d took local address %%s", kFn, NiIHdlNo(rec));
  }
  if (rc == NIECONN_PENDING) {
    NiISetState(rec, NI_CONN_WAIT, kFn);
    *ppHdl = rec;
    return rc;
  }
  if (rc != WEQ_O_K) {
    NiICloseHandle(rec, 1, 0);
    return rc;
  }
  NiISetState(rec, NI_CONNECTED, kFn);
  *ppHdl = rec;
  return WEQ_O_K;
}

namespace {

NI_RC ConnectPublic(const WEQ_UC* fn, const WEQ_UC* pHostName, const WEQ_UC* pServName, uint32_t protoMask,
                    int32_t timeout, NI_HDL* pHandle, uint8_t buffered) {
  if (pHostName == nullptr) {
    return NiIErrTrace(kModulePub, __LINE__, 1, u"%s: parameter invalid (pHostName == NULL)", NIEINVAL, fn);
  }
  if (pServName == nullptr) {
    return NiIErrTrace(kModulePub, __LINE__, 1, u"%s: parameter invalid (pServName == NULL)", NIEINVAL, fn);
  }
  if (pHandle == nullptr) {
    return NiIErrTrace(kModulePub, __LINE__, 1, u"%s: parameter invalid (pHandle == NULL)", NIEINVAL, fn);
  }
  *pHandle = NI_INVALID_HDL;
  NITAB* rec = nullptr;
  NI_RC rc = NiBufIConnect(pHostName, pServName, nullptr, 0, protoMask, timeout, 0, buffered, nullptr, &rec);
  if (rec != nullptr && (rc == WEQ_O_K || (buffered && rc == NIECONN_PENDING))) {
    *pHandle = rec->mHdl.load(std::memory_order_acquire);
  }
  return rc;
}

}  // namespace

NI_RC NiHandle(const WEQ_UC* pHostName, const WEQ_UC* pServName, int32_t timeout, NI_HDL* pHandle) {
  return ConnectPublic(u"NiHandle", pHostName, pServName, NI_PROTO_FAM_UNSPEC, timeout, pHandle, 0);
}

NI_RC NiHandleForProto(const WEQ_UC* pHostName, const WEQ_UC* pServName, uint32_t protoMask, int32_t timeout,
                       NI_HDL* pHandle) {
  return ConnectPublic(u"NiHandleForProto", pHostName, pServName, protoMask, timeout, pHandle, 0);
}

NI_RC NiBufHandle(const WEQ_UC* pHostName, const WEQ_UC* pServName, int32_t timeout, NI_HDL* pHandle) {
  return ConnectPublic(u"NiBufHandle", pHostName, pServName, NI_PROTO_FAM_UNSPEC, timeout, pHandle, 1);
}

NI_RC NiBufHandleForProto(const WEQ_UC* pHostName, const WEQ_UC* pServName, uint32_t protoMask,
                          int32_t timeout, NI_HDL* pHandle) {
  return ConnectPublic(u"NiBufHandleForProto", pHostName, pServName, protoMask, timeout, pHandle, 1);
}

// --- Accept -------------------------------------------------------------------------------

NI_RC NiIAccept(NITAB* pListen, int32_t timeout, CTRC_HDL* trcHdl, NITAB** ppNew) {
  static constexpr const WEQ_UC* kFn = u"NiIAccept";
  uint8_t state = pListen->mType.load(std::memory_order_acquire);
  if (state != NI_LISTEN) {
    NiIErrInfo(kXxconModule, __LINE__, u"%s: invalid type %d", NIEINTERN, kFn, static_cast<int32_t>(state));
    DPTRC_ERROR(NiIHdlTrc(pListen), u"%s: invalid type %d for hdl %d\n", kFn, static_cast<int32_t>(state),
                NiIHdlNo(pListen));
    return NIEINTERN;
  }
  SI_SOCKET* lsock = &pListen->lis.mIPSocket;
  SI_SOCKET accepted{};
  WEQ_RAW raw[16];
  uint16_t port = 0;
  int empty = 0;
  for (;;) {
    SI_RC si;
    while ((si = SiAccept(lsock, raw, sizeof raw, &port, &accepted)) == SI_EINTR) {
    }
    if (si == SI_OK) break;
    if (si == SI_ECONN_BROKEN) {
      DPTRC_LINE(NiIHdlLevel(pListen, 2), NiIHdlTrc(pListen), u"%s: hdl %d accepted already closed connection\n",
                 kFn, NiIHdlNo(pListen));
    } else if (si == SI_ETIMEOUT) {
      ++empty;
      if (empty >= 2) {
        DPTRC_LINE(
            1, NiIHdlTrc(pListen),
            u"%s: hdl %d %s got EAGAIN after select socket successfully; call operating system-supplier\n",
            kFn, NiIHdlNo(pListen), u"SiAccept");
      }
      if (empty >= kEmptyAccepts) return NIETIMEOUT;
    } else {
      NI_RC rc = NiIReportSiError(si, SI_FN_ACCEPT, pListen, lsock, lsock->sysErr, nullptr, nullptr, nullptr,
                                  kFn, kXxconModule, __LINE__, 1);
      return rc;
    }
    NI_RC rc = NiIPeekListen(pListen, timeout);
    if (rc == NIETIMEOUT) return rc;
    if (rc != WEQ_O_K) {
      DPTRC_LINE(1, NiIHdlTrc(pListen), u"%s: NiIPeekListen failed (rc=%d)\n", kFn, rc);
      return rc;
    }
  }
  DPTRC_LINE(NiIHdlLevel(pListen, 3), NiIHdlTrc(pListen), u"%s: hdl %d accepted connection\n", kFn,
             NiIHdlNo(pListen));

  NITAB* rec = nullptr;
  NI_RC rc = NiICreateHandle(&rec, NI_INITIAL_CON, trcHdl);
  if (rc != WEQ_O_K) {
    SiClose(&accepted);
    return rc;
  }
  rec->con.mSocket = accepted;
  NI_NODEADDR peer{};
  uint16_t peerPort = 0;
  if (NiISolveSockAddr(rec, &rec->con.mSocket, raw, port, 0, 0, &peer, &peerPort, nullptr) == WEQ_O_K) {
    rec->con.mPeerAddr = peer;
    rec->con.mPeerServNo = peerPort;
  }
  rc = NiIInitSocket(rec, &rec->con.mSocket);
  if (rc != WEQ_O_K) {
    DPTRC_LINE(1, NiIHdlTrc(rec), u"%s: NiIInitSocket failed (rc=%d)\n", kFn, rc);
    NiICloseHandle(rec, 1, 0);
    return rc;
  }
  rc = NiIBlockMode(rec, 0, 0);
  if (rc != WEQ_O_K) DPTRC_LINE(1, NiIHdlTrc(rec), u"%s: NiIBlockMode failed (rc=%d)\n", kFn, rc);
  if (pListen->mTrace) rec->mTrace = 1;
  NiISetState(rec, NI_ACCEPTED, kFn);
  TracePeer(rec, 2, u"%s: hdl %d accepted hdl %d from %%s", kFn, NiIHdlNo(pListen), NiIHdlNo(rec));
  TraceLocal(rec, 2, u"%s: hdl %d took local address %%s", kFn, NiIHdlNo(rec));
  // A listen handle passed by another process may ask for buffered ones.
  if ((pListen->mFlags & NI_HDLFLAG_BUF_ACCEPT) != 0 && (rc = NiBufIHdlInit(rec)) != WEQ_O_K) {
    DPTRC_LINE(1, NiIHdlTrc(rec), u"%s: NiBufIHdlInit failed (rc=%d)\n", kFn, rc);
    NiICloseHandle(rec, 1, 0);
    return rc;
  }
  *ppNew = rec;
  return WEQ_O_K;
}

NI_RC NiAcceptEx2(NI_HDL listenHdl, int32_t timeout, CTRC_HDL* trcHdl, NI_HDL* pNewHdl,
                  NI_NODEADDR* pPeerAddr, uint16_t* pPeerServNo) {
  static constexpr const WEQ_UC* kFn = u"NiAcceptEx2";
  NITAB* lis = nullptr;
  NI_RC rc = NiIHdlCheck(listenHdl, kFn, &lis);
  if (rc != WEQ_O_K) return rc;
  if (pNewHdl == nullptr) {
    return NiIErrTrace(kModulePub, __LINE__, 1, u"%s: parameter invalid (pOutHandle == NULL)", NIEINVAL, kFn);
  }
  *pNewHdl = NI_INVALID_HDL;
  uint8_t state = lis->mType.load(std::memory_order_acquire);
  if (state != NI_LISTEN && state != NI_RI_LISTEN) {
    if (lis->mBuf != nullptr) {
      rc = NiBufGetSentHdl(listenHdl, timeout, pNewHdl);
      if (rc == WEQ_O_K) {
        if (pPeerAddr != nullptr) *pPeerAddr = NiILoopbackAddr();
        if (pPeerServNo != nullptr) *pPeerServNo = 0;
      }
      return rc;
    }
    return NiIErrTrace(
        kModulePub, __LINE__, 1,
        u"%s: parameter invalid (pListenHdl->mType != NI_LISTEN && pListenHdl->mType != NI_RI_LISTEN)",
        NIEINVAL, kFn);
  }
  NITAB* rec = nullptr;
  if (state == NI_RI_LISTEN) {
    rc = NiIRiSrvAccept(lis, timeout, trcHdl, &rec);
  } else if (kNiRiClientActive && NiIRiCliGetHdl() == lis) {
    while ((rc = NiIRiCliAccept(lis, timeout, trcHdl, &rec)) == WEQ_O_K && rec == nullptr) {
    }
    if (rc != WEQ_O_K && rc != NIETIMEOUT) {
      DPTRC_LINE(1, NiITrcHdl(), u"%s: NiIRiCliAccept failed (rc=%d)\n", kFn, rc);
    }
  } else {
    rc = NiIAccept(lis, timeout, trcHdl, &rec);
  }
  if (rc != WEQ_O_K) return rc;
  *pNewHdl = rec->mHdl.load(std::memory_order_acquire);
  // Either peer pointer may be NULL.
  if (pPeerAddr != nullptr) *pPeerAddr = rec->con.mPeerAddr;
  if (pPeerServNo != nullptr) *pPeerServNo = SiNtohs(rec->con.mPeerServNo);
  return WEQ_O_K;
}

NI_RC NiAccept(NI_HDL listenHdl, int32_t timeout, NI_HDL* pNewHdl, NI_NODEADDR* pPeerAddr,
               uint16_t* pPeerServNo) {
  return NiAcceptEx2(listenHdl, timeout, nullptr, pNewHdl, pPeerAddr, pPeerServNo);
}
