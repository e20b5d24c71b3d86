// Datagram handles: creation of an unbound datagram socket of the IP
// usage's family, one datagram to an address, and the close of such a
// handle. The wakeup servers and clients are built on the same creation.
#include "i18n/wequ16/u16fmt.h"
#include "krn/ni/niaddr_int.h"
#include "krn/ni/nisockaddr_int.h"
#include "krn/ni/nixx_int.h"
#include "krn/ni/nixxwu_int.h"

namespace {

constexpr const WEQ_UC* kXxdgModule = u"nixx";

// The socket family of the IP usage: AF_INET6 while IPv6 is in use.
int32_t DgFamily() { return NiIIPv6Active() ? SI_AF_INET6 : SI_AF_INET; }

// The record of a datagram handle of the current family, else NIEINVAL
// with the condition that failed.
NI_RC DgCheckHdl(NI_HDL hdl, const WEQ_UC* fn, NITAB** ppHdl) {
  NITAB* rec = nullptr;
  NI_RC rc = NiIHdlCheck(hdl, fn, &rec);
  if (rc != WEQ_O_K) return rc;
  uint8_t state = rec->mType.load(std::memory_order_acquire);
  if (state != NI_DG_UNCONNECTED && state != NI_DG_CONNECTED) {
    return NiIErrTrace(kXxdgModule, __LINE__, 1,
                       u"%s: parameter invalid (pHdl->mType != NI_DG_UNCONNECTED && pHdl->mType != "
                       u"NI_DG_CONNECTED)",
                       NIEINVAL, fn);
  }
  if (rec->con.mSocket.family != DgFamily()) {
    return NiIErrTrace(kXxdgModule, __LINE__, 1, u"%s: parameter invalid (pHdl->con.mSocket.family != SI_AF_INET_X)",
                       NIEINVAL, fn);
  }
  if (rec->con.mSocket.type != SI_SOCK_DGRAM) {
    return NiIErrTrace(kXxdgModule, __LINE__, 1, u"%s: parameter invalid (pHdl->con.mSocket.type != SI_SOCK_DGRAM)",
                       NIEINVAL, fn);
  }
  *ppHdl = rec;
  return WEQ_O_K;
}

}  // namespace

NI_RC NiIDgHdlNew(NITAB** ppHdl, const WEQ_UC* fn) {
  NITAB* rec = nullptr;
  NI_RC rc = NiICreateHandle(&rec, NI_INITIAL_CON, nullptr);
  if (rc != WEQ_O_K) return rc;
  rec->con.mSocket.family = DgFamily();
  rec->con.mSocket.type = SI_SOCK_DGRAM;
  rc = NiIInitSocket(rec, &rec->con.mSocket);
  if (rc != WEQ_O_K) {
    DPTRC_LINE(1, NiIHdlTrc(rec), u"%s: NiIInitSocket failed (rc=%d)\n", fn, rc);
    NiICloseHandle(rec, 1, 0);
    return rc;
  }
  *ppHdl = rec;
  return WEQ_O_K;
}

void NiIDgWarnNotDgram(const NITAB* pHdl, const WEQ_UC* fn) {
  if (pHdl == nullptr || pHdl->con.mSocket.type == SI_SOCK_DGRAM) return;
  DPTRC_WARNING(NiIHdlTrc(pHdl), u"%s: no datagram sock %d (fam=%d; type=%d); hdl %d (state=0x%x)\n", fn,
                pHdl->con.mSocket.socketNo, pHdl->con.mSocket.family, pHdl->con.mSocket.type, NiIHdlNo(pHdl),
                static_cast<int32_t>(pHdl->mType.load(std::memory_order_relaxed)));
}

NI_RC NiDgHdlCreate(NI_HDL* pHandle) {
  static constexpr const WEQ_UC* kFn = u"NiDgHdlCreate";
  if (pHandle == nullptr) {
    return NiIErrTrace(kXxdgModule, __LINE__, 1, u"%s: parameter invalid (pHandle == NULL)", NIEINVAL, kFn);
  }
  *pHandle = NI_INVALID_HDL;
  NITAB* rec = nullptr;
  NI_RC rc = NiIDgHdlNew(&rec, kFn);
  if (rc != WEQ_O_K) return rc;
  NiISetState(rec, NI_DG_UNCONNECTED, kFn);
  *pHandle = NiIHdlNo(rec);
  return WEQ_O_K;
}

NI_RC NiDgHdlSendTo(NI_HDL hdl, const NI_NODEADDR* pNodeAddr, uint16_t servNo, const void* pData,
                    uint32_t length, uint32_t* pSent) {
  static constexpr const WEQ_UC* kFn = u"NiDgHdlSendTo";
  NITAB* rec = nullptr;
  NI_RC rc = NiIHdlCheck(hdl, kFn, &rec);
  if (rc != WEQ_O_K) return rc;
  if (pNodeAddr == nullptr) {
    return NiIErrTrace(kXxdgModule, __LINE__, 1, u"%s: parameter invalid (pNodeAddr == NULL)", NIEINVAL, kFn);
  }
  if (pData == nullptr) {
    return NiIErrTrace(kXxdgModule, __LINE__, 1, u"%s: parameter invalid (pData == NULL)", NIEINVAL, kFn);
  }
  rc = DgCheckHdl(hdl, kFn, &rec);
  if (rc != WEQ_O_K) return rc;
  SI_SOCKET* sock = &rec->con.mSocket;
  WEQ_RAW raw[16];
  uint32_t addrLen = 0;
  uint16_t port = SiHtons(servNo);
  rc = NiIMakeSockAddr(rec, sock, pNodeAddr, port, raw, &addrLen);
  if (rc != WEQ_O_K) {
    return NiIErrTrace(kXxdgModule, __LINE__, 1, u"%s: NiIMakeSockAddr failed (rc=%d)", NIEINTERN, kFn, rc);
  }
  uint32_t sent = 0;
  SI_RC si;
  while ((si = SiSendTo(sock, pData, length, 0, raw, addrLen, &port, &sent)) == SI_EINTR) {
  }
  if (si != SI_OK) {
    return NiIReportSiError(si, SI_FN_SENDTO, rec, sock, sock->sysErr, nullptr, raw, &port, kFn, kXxdgModule,
                            __LINE__, 1);
  }
  if (pSent != nullptr) *pSent = sent;
  NiITraceSockAddr(rec, sock, raw, port, 0, 0, 0, NiIHdlLevel(rec, 2), u"%s: hdl %d sent %d of %d bytes to %%s\n",
                   kFn, NiIHdlNo(rec), static_cast<int32_t>(sent), static_cast<int32_t>(length));
  return WEQ_O_K;
}

NI_RC NiDgHdlClose(NI_HDL hdl) {
  static constexpr const WEQ_UC* kFn = u"NiDgHdlClose";
  NITAB* rec = nullptr;
  NI_RC rc = DgCheckHdl(hdl, kFn, &rec);
  if (rc != WEQ_O_K) return rc;
  return NiICloseHandle(rec, 1, 0);
}
