// Wakeup servers and clients: a datagram handle bound to the loopback
// address that its owner waits on, and connected datagram handles of other
// threads that send it short datagrams. See nixxwu_int.h for the locks.
#include <string.h>

#include <algorithm>
#include <new>

#include "i18n/wequ16/u16fmt.h"
#include "krn/ni/niaddr_int.h"
#include "krn/ni/nimsg_int.h"
#include "krn/ni/nisockaddr_int.h"
#include "krn/ni/nixx_int.h"
#include "krn/ni/nixxwu_int.h"

namespace {

constexpr const WEQ_UC* kXxwuModule = u"nixx";
constexpr int kWuMaxDrops = 64;

// Frees a server record whose handle is closed and whose mutex the caller
// holds (with "NI wakeup mutex"): no other thread can reach it any more.
void WuFreeServer(NI_WAKEUP_SERVER* srv) {
  ThrMtxUnlock(&srv->mMtx);
  ThrMtxDelete(&srv->mMtx);
  delete srv;
}

// Whether a datagram came from an attached client: the server's loopback
// address and the port of one of its clients.
bool WuFromClient(NI_WAKEUP_SERVER* srv, const NI_NODEADDR& from, uint16_t fromPort) {
  if (memcmp(from.addr, srv->mNodeAddr.addr, sizeof from.addr) != 0) return false;
  ThrMtxLock(&srv->mMtx);
  bool known = std::find(srv->mClientPorts.begin(), srv->mClientPorts.end(), fromPort) != srv->mClientPorts.end();
  ThrMtxUnlock(&srv->mMtx);
  return known;
}

}  // namespace

NI_RC NiIWakeupBind(const NI_NODEADDR* pAddr, uint16_t* pServNo, NITAB** ppHdl) {
  static constexpr const WEQ_UC* kFn = u"NiIWakeupBind";
  NITAB* rec = nullptr;
  NI_RC rc = NiIDgHdlNew(&rec, kFn);
  if (rc != WEQ_O_K) return rc;
  rc = NiIBind(rec, pAddr, pServNo, 0);
  if (rc != WEQ_O_K) {
    DPTRC_LINE(1, NiIHdlTrc(rec), u"%s: NiIBind failed (rc=%d)\n", kFn, rc);
    NiICloseHandle(rec, 1, 0);
    return rc;
  }
  NiISetState(rec, NI_DG_UNCONNECTED, kFn);
  *ppHdl = rec;
  return WEQ_O_K;
}

NI_RC NiIWakeupConnect(const NI_NODEADDR* pAddr, uint16_t servNo, NITAB** ppHdl, uint16_t* pOwnPort) {
  static constexpr const WEQ_UC* kFn = u"NiIWakeupConnect";
  NITAB* rec = nullptr;
  NI_RC rc = NiIDgHdlNew(&rec, kFn);
  if (rc != WEQ_O_K) return rc;
  rc = NiIConnectSocket(rec, pAddr, servNo, NI_BLOCK, 1);
  if (rc != WEQ_O_K) {
    DPTRC_LINE(1, NiIHdlTrc(rec), u"%s: NiIConnectSocket failed (rc=%d)\n", kFn, rc);
    NiICloseHandle(rec, 1, 0);
    return NIECONN_REFUSED;
  }
  rc = NiIGetSockName(rec, &rec->con.mSocket, nullptr, pOwnPort, nullptr, 1);
  if (rc != WEQ_O_K) {
    DPTRC_LINE(1, NiIHdlTrc(rec), u"%s: NiIGetSockName failed (rc=%d)\n", kFn, rc);
    NiICloseHandle(rec, 1, 0);
    return NIECONN_REFUSED;
  }
  NiISetState(rec, NI_DG_CONNECTED, kFn);
  *ppHdl = rec;
  return WEQ_O_K;
}

NI_RC NiIWakeupSend(NITAB* pHdl, const void* pData, uint32_t length) {
  static constexpr const WEQ_UC* kFn = u"NiIWakeupSend";
  NiIDgWarnNotDgram(pHdl, kFn);
  SI_SOCKET* sock = &pHdl->con.mSocket;
  uint32_t sent = 0;
  SI_RC si;
  while ((si = SiSend(sock, pData, length, 0, &sent)) == SI_EINTR) {
  }
  if (si != SI_OK) {
    return NiIReportSiError(si, SI_FN_SEND, pHdl, sock, sock->sysErr, nullptr, nullptr, nullptr, kFn, kXxwuModule,
                            __LINE__, 1);
  }
  if (sent != length) {
    NiIErrTrace(kXxwuModule, __LINE__, 1, u"%s: invalid length (%d<>%d) for hdl %d", NIEINVAL, kFn,
                static_cast<int32_t>(sent), static_cast<int32_t>(length), NiIHdlNo(pHdl));
    return NIEINTERN;
  }
  return WEQ_O_K;
}

NI_RC NiIWakeupReceive(NITAB* pHdl, void* pBuffer, uint32_t length, uint32_t* pReceived,
                       NI_NODEADDR* pFromAddr, uint16_t* pFromPort) {
  static constexpr const WEQ_UC* kFn = u"NiIWakeupReceive";
  NiIDgWarnNotDgram(pHdl, kFn);
  NI_RC prc = NiIPeek(pHdl, NI_READ, 0);
  if (prc != WEQ_O_K) return prc;
  SI_SOCKET* sock = &pHdl->con.mSocket;
  SI_RC si;
  WEQ_RAW raw[16] = {};
  uint16_t port = 0;
  uint32_t got = 0;
  while ((si = SiRecvFrom(sock, pBuffer, length, 0, raw, sizeof raw, &port, &got)) == SI_EINTR) {
  }
  if (si == SI_ETIMEOUT) return NIETIMEOUT;  // another reader took it first
  if (si != SI_OK) {
    return NiIReportSiError(si, SI_FN_RECVFROM, pHdl, sock, sock->sysErr, nullptr, nullptr, nullptr, kFn,
                            kXxwuModule, __LINE__, 1);
  }
  NiITraceSockAddr(pHdl, sock, raw, port, 0, 0, 0, NiIHdlLevel(pHdl, 2), u"%s: hdl %d received %u bytes from %%s\n",
                   kFn, NiIHdlNo(pHdl), got);
  NI_NODEADDR from{};
  NI_RC rc = NiISolveSockAddr(pHdl, sock, raw, port, 0, 0, &from, &port, nullptr);
  if (rc != WEQ_O_K) return rc;
  if (pReceived != nullptr) *pReceived = got;
  if (pFromAddr != nullptr) *pFromAddr = from;
  if (pFromPort != nullptr) *pFromPort = port;
  return WEQ_O_K;
}

NI_RC NiWakeupOpen(NI_WAKEUP_SERVER** ppServer) {
  static constexpr const WEQ_UC* kFn = u"NiWakeupOpen";
  if (ppServer == nullptr) {
    return NiIErrTrace(kXxwuModule, __LINE__, 1, u"%s: parameter invalid (ppServer == NULL)", NIEINVAL, kFn);
  }
  if (*ppServer != nullptr) {
    return NiIErrTrace(kXxwuModule, __LINE__, 1, u"%s: parameter invalid (*ppServer != NULL)", NIEINVAL, kFn);
  }
  NI_WAKEUP_SERVER* srv = new (std::nothrow) NI_WAKEUP_SERVER;
  if (srv == nullptr) {
    return NiIErrTrace(kXxwuModule, __LINE__, 1, u"%s: malloc failed for %d bytes", NIEINTERN, kFn,
                       static_cast<int32_t>(sizeof(NI_WAKEUP_SERVER)));
  }
  NI_RC rc = NiGetLoopbackAddr(&srv->mNodeAddr);
  NITAB* hdl = nullptr;
  if (rc == WEQ_O_K) rc = NiIWakeupBind(&srv->mNodeAddr, &srv->mPort, &hdl);
  if (rc != WEQ_O_K) {
    DPTRC_LINE(1, NiITrcHdl(), u"%s: NiIWakeupBind failed (rc=%d)\n", kFn, rc);
    delete srv;
    return rc;
  }
  int32_t port = SiNtohs(srv->mPort);
  WEQ_UC name[32];
  snprintfTruncU16(name, std::size(name), u"wakeup server %d", port);
  if (ThrMtxInit(&srv->mMtx, name) != THR_ERR_OK) {
    NiICloseHandle(hdl, 1, 0);
    delete srv;
    return NiIErrTrace(kXxwuModule, __LINE__, 1, u"%s: ThrMtxInit failed for wakeup server %d", NIEINTERN, kFn,
                       port);
  }
  srv->mHdl.store(hdl, std::memory_order_release);
  DPTRC_LINE(NiIHdlLevel(hdl, 2), NiIHdlTrc(hdl), u"%s: new datagram wakeup server %d\n", kFn, port);
  *ppServer = srv;
  return WEQ_O_K;
}

NI_RC NiWakeupAttach(NI_WAKEUP_SERVER* pServer, NI_WAKEUP_CLIENT** ppClient) {
  static constexpr const WEQ_UC* kFn = u"NiWakeupAttach";
  ThrMtx* global = NiIWakeupMutex();
  ThrMtxLock(global);
  if (ppClient == nullptr || *ppClient != nullptr || pServer == nullptr) {
    ThrMtxUnlock(global);
    return NIEINVAL;
  }
  NITAB* srvHdl = pServer->mHdl.load(std::memory_order_acquire);
  if (srvHdl == nullptr) {
    // Closed: its record lives only for the clients still attached.
    ThrMtxUnlock(global);
    return NiIErrTrace(kXxwuModule, __LINE__, 1, u"%s: wakeup server %d already closed", NIECONN_BROKEN, kFn,
                       static_cast<int32_t>(SiNtohs(pServer->mPort)));
  }
  ThrMtxLock(&pServer->mMtx);
  ThrMtxUnlock(global);
  NiIDgWarnNotDgram(srvHdl, kFn);
  NI_WAKEUP_CLIENT* cli = new (std::nothrow) NI_WAKEUP_CLIENT;
  bool listed = false;
  if (cli != nullptr) {
    try {
      pServer->mClientPorts.reserve(pServer->mClientPorts.size() + 1);
      listed = true;
    } catch (const std::bad_alloc&) {
    }
  }
  if (cli == nullptr || !listed) {
    ThrMtxUnlock(&pServer->mMtx);
    delete cli;
    return NiIErrTrace(kXxwuModule, __LINE__, 1, u"%s: malloc failed for %d bytes", NIEINTERN, kFn,
                       static_cast<int32_t>(sizeof(NI_WAKEUP_CLIENT)));
  }
  NI_RC rc = NiIWakeupConnect(&pServer->mNodeAddr, pServer->mPort, &cli->mHdl, &cli->mPort);
  if (rc != WEQ_O_K) {
    ThrMtxUnlock(&pServer->mMtx);
    DPTRC_LINE(1, NiITrcHdl(), u"%s: NiIWakeupConnect failed (%d)\n", kFn, rc);
    delete cli;
    return rc;
  }
  cli->mServer = pServer;
  pServer->mClientPorts.push_back(cli->mPort);  // room reserved above
  int32_t count = ++pServer->mClients;
  DPTRC_LINE(NiIHdlLevel(cli->mHdl, 2), NiIHdlTrc(cli->mHdl), u"%s: new wakeup client attached to %d->%d (%d)\n",
             kFn, static_cast<int32_t>(SiNtohs(cli->mPort)), static_cast<int32_t>(SiNtohs(pServer->mPort)), count);
  ThrMtxUnlock(&pServer->mMtx);
  *ppClient = cli;
  return WEQ_O_K;
}

NI_HDL NiWakeupGetNiHdl(NI_WAKEUP_SERVER* pServer) {
  static constexpr const WEQ_UC* kFn = u"NiWakeupGetNiHdl";
  if (pServer == nullptr) {
    NiIErrTrace(kXxwuModule, __LINE__, 1, u"%s: parameter invalid (pServer == NULL)", NIEINVAL, kFn);
    return NI_INVALID_HDL;
  }
  NITAB* hdl = pServer->mHdl.load(std::memory_order_acquire);
  NiIDgWarnNotDgram(hdl, kFn);
  return NiIHdlNo(hdl);
}

NI_RC NiWakeupExec2(NI_WAKEUP_CLIENT* pClient, const void* pData, uint32_t length) {
  static constexpr const WEQ_UC* kFn = u"NiWakeupExec2";
  if (pClient == nullptr) {
    return NiIErrTrace(kXxwuModule, __LINE__, 1, u"%s: parameter invalid (pClient == NULL)", NIEINVAL, kFn);
  }
  if (pData == nullptr && length > 0) {
    return NiIErrTrace(kXxwuModule, __LINE__, 1, u"%s: parameter invalid (pData == NULL)", NIEINVAL, kFn);
  }
  NI_WAKEUP_SERVER* srv = pClient->mServer;
  NITAB* hdl = pClient->mHdl;
  if (srv->mHdl.load(std::memory_order_acquire) == nullptr) {
    DPTRC_LINE(NiIHdlLevel(hdl, 2), NiIHdlTrc(hdl), u"%s: wakeup server %d already closed\n", kFn,
               static_cast<int32_t>(SiNtohs(srv->mPort)));
    NiErrSet(NIECONN_BROKEN);
    return NIECONN_BROKEN;
  }
  DPTRC_LINE(NiIHdlLevel(hdl, 2), NiIHdlTrc(hdl), u"%s: send wakeup signal to %d->%d (len=%d; sock %d)\n", kFn,
             static_cast<int32_t>(SiNtohs(pClient->mPort)), static_cast<int32_t>(SiNtohs(srv->mPort)),
             static_cast<int32_t>(length), hdl->con.mSocket.socketNo);
  return NiIWakeupSend(hdl, pData, length);
}

NI_RC NiWakeupCollect2(NI_WAKEUP_SERVER* pServer, void* pBuffer, uint32_t bufferLen, uint32_t* pReceived) {
  static constexpr const WEQ_UC* kFn = u"NiWakeupCollect2";
  if (pServer == nullptr) {
    return NiIErrTrace(kXxwuModule, __LINE__, 1, u"%s: parameter invalid (pServer == NULL)", NIEINVAL, kFn);
  }
  if (pBuffer == nullptr) {
    return NiIErrTrace(kXxwuModule, __LINE__, 1, u"%s: parameter invalid (pBuffer == NULL)", NIEINVAL, kFn);
  }
  NITAB* hdl = pServer->mHdl.load(std::memory_order_acquire);
  if (hdl == nullptr) {
    return NiIErrTrace(kXxwuModule, __LINE__, 1, u"%s: wakeup server %d already closed", NIECONN_BROKEN, kFn,
                       static_cast<int32_t>(SiNtohs(pServer->mPort)));
  }
  // Datagrams of anyone but an attached client are read and dropped: any
  // local user could otherwise send the owner requests of its own. A flood
  // of them ends the call after kWuMaxDrops as if nothing were pending; the
  // owner's next select comes back for the rest.
  for (int dropped = 0; dropped < kWuMaxDrops; ++dropped) {
    uint32_t got = 0;
    NI_NODEADDR from{};
    uint16_t fromPort = 0;
    NI_RC rc = NiIWakeupReceive(hdl, pBuffer, bufferLen, &got, &from, &fromPort);
    if (rc != WEQ_O_K) return rc;
    if (WuFromClient(pServer, from, fromPort)) {
      if (pReceived != nullptr) *pReceived = got;
      return WEQ_O_K;
    }
    if (DPTRC_ON(NiIHdlLevel(hdl, 1))) {
      WEQ_UC addr[NI_NODEADDR_STR_LEN];
      NiAddrToStr(&from, addr, NI_NODEADDR_STR_LEN, 0);
      DPTRC_WARNING(NiIHdlTrc(hdl), u"%s: hdl %d dropped %u bytes from %s port %d (no wakeup client)\n", kFn,
                    NiIHdlNo(hdl), got, +addr, static_cast<int32_t>(SiNtohs(fromPort)));
    }
  }
  return NIETIMEOUT;
}

NI_RC NiWakeupDetach(NI_WAKEUP_CLIENT** ppClient) {
  static constexpr const WEQ_UC* kFn = u"NiWakeupDetach";
  if (ppClient == nullptr) {
    return NiIErrTrace(kXxwuModule, __LINE__, 1, u"%s: parameter invalid (ppClient == NULL)", NIEINVAL, kFn);
  }
  if (*ppClient == nullptr) {
    return NiIErrTrace(kXxwuModule, __LINE__, 1, u"%s: parameter invalid (*ppClient == NULL)", NIEINVAL, kFn);
  }
  NI_WAKEUP_CLIENT* cli = *ppClient;
  NI_WAKEUP_SERVER* srv = cli->mServer;
  NiIDgWarnNotDgram(cli->mHdl, kFn);
  // The client's handle is the caller's own: it is closed before the locks
  // are taken, so that no NI lock is held together with the table's.
  CTRC_HDL trc = NiIHdlTrc(cli->mHdl);
  int level = NiIHdlLevel(cli->mHdl, 2);
  NI_RC rc = NiICloseHandle(cli->mHdl, 1, 0);
  // This detach may free the server: like a close it takes the process-wide
  // mutex first, so that no attach is waiting on the server's own.
  ThrMtx* global = NiIWakeupMutex();
  ThrMtxLock(global);
  ThrMtxLock(&srv->mMtx);
  auto it = std::find(srv->mClientPorts.begin(), srv->mClientPorts.end(), cli->mPort);
  if (it != srv->mClientPorts.end()) srv->mClientPorts.erase(it);
  int32_t count = --srv->mClients;
  int32_t port = SiNtohs(srv->mPort);
  if (srv->mHdl.load(std::memory_order_acquire) == nullptr && count <= 0) {
    DPTRC_LINE(level, trc, u"%s: last wakeup client detached from %d\n", kFn, port);
    WuFreeServer(srv);
  } else {
    DPTRC_LINE(level, trc, u"%s: wakeup client detached from %d (%d)\n", kFn, port, count);
    ThrMtxUnlock(&srv->mMtx);
  }
  ThrMtxUnlock(global);
  delete cli;
  *ppClient = nullptr;
  return rc;
}

NI_RC NiWakeupClose(NI_WAKEUP_SERVER** ppServer) {
  static constexpr const WEQ_UC* kFn = u"NiWakeupClose";
  if (ppServer == nullptr) {
    return NiIErrTrace(kXxwuModule, __LINE__, 1, u"%s: parameter invalid (ppServer == NULL)", NIEINVAL, kFn);
  }
  if (*ppServer == nullptr) {
    return NiIErrTrace(kXxwuModule, __LINE__, 1, u"%s: parameter invalid (*ppServer == NULL)", NIEINVAL, kFn);
  }
  NI_WAKEUP_SERVER* srv = *ppServer;
  ThrMtx* global = NiIWakeupMutex();
  ThrMtxLock(global);
  ThrMtxLock(&srv->mMtx);
  NITAB* hdl = srv->mHdl.exchange(nullptr, std::memory_order_acq_rel);
  CTRC_HDL trc = NiIHdlTrc(hdl);
  int level = NiIHdlLevel(hdl, 2);
  int32_t port = SiNtohs(srv->mPort);
  if (srv->mClients > 0) {
    DPTRC_LINE(level, trc, u"%s: close wakup server %d\n", kFn, port);
    ThrMtxUnlock(&srv->mMtx);
  } else {
    DPTRC_LINE(level, trc, u"%s: delete wakup server %d\n", kFn, port);
    WuFreeServer(srv);
  }
  ThrMtxUnlock(global);
  *ppServer = nullptr;
  // The handle is the owner's own; no client sends on it, and the clients'
  // sends see it closed through the pointer cleared above.
  if (hdl == nullptr) return NIEINVAL;
  NiIDgWarnNotDgram(hdl, kFn);
  return NiICloseHandle(hdl, 1, 0);
}
