// Stand-ins of nibuf_standin.h.
#include "krn/ni/nibuf_standin.h"

#include "krn/dptrc/err.h"
#include "krn/ni/niaddr_int.h"
#include "krn/ni/nibuf_int.h"
#include "krn/ni/nixx_int.h"

namespace {
constexpr const WEQ_UC* kBufStandinModule = u"nibuf";
}  // namespace

NI_RC NiBufIConnect(const WEQ_UC* pHostName, const WEQ_UC* pServName, const NI_NODEADDR* pAddr,
                    uint16_t servNo, uint32_t protoMask, int32_t timeout, uint8_t mode, uint8_t buffered,
                    CTRC_HDL* trcHdl, NITAB** ppHdl) {
  static constexpr const WEQ_UC* kFn = u"NiBufIConnect";
  *ppHdl = nullptr;
  if ((protoMask & ~static_cast<uint32_t>(NI_PROTO_FAM_UNSPEC | NI_PROTO_FAM_LOCAL | NI_PROTO_FAM_IPv4 |
                                          NI_PROTO_FAM_IPv6)) != 0) {
    return NiIErrTrace(kBufStandinModule, __LINE__, 1,
                       u"%s: parameter invalid ((protocol & ~(NI_PROTO_FAM_UNSPEC | NI_PROTO_FAM_LOCAL | "
                       u"NI_PROTO_FAM_IPv4 | NI_PROTO_FAM_IPv6)) != 0)",
                       NIEINVAL, kFn);
  }
  NI_NODEADDR addr{};
  uint16_t port = servNo;
  if (pHostName != nullptr) {
    NI_RC rc = NiIEnsureInit(kFn);
    if (rc != WEQ_O_K) return rc;
    int proto = static_cast<int>(protoMask & (NI_PROTO_FAM_IPv4 | NI_PROTO_FAM_IPv6));
    if (proto == (NI_PROTO_FAM_IPv4 | NI_PROTO_FAM_IPv6)) proto = 0;
    rc = NiIGetNodeAddr(pHostName, proto, &addr, NI_HS_MODE_DEFAULT, NiITrcHdl());
    if (rc != WEQ_O_K) return rc;
    rc = NiIGetServNo(pServName, &port, NI_HS_MODE_DEFAULT, NiITrcHdl());
    if (rc != WEQ_O_K) return rc;
  } else if (pAddr != nullptr) {
    addr = *pAddr;
  } else {
    return NiIErrTrace(kBufStandinModule, __LINE__, 1, u"%s: parameter invalid (pNodeAddr == NULL)", NIEINVAL, kFn);
  }
  // Unbuffered: 0 waits without limit, and no handle stays pending.
  int32_t wait = !buffered && timeout == 0 ? NI_BLOCK : timeout;
  NITAB* rec = nullptr;
  NI_RC rc = NiIConnect(&addr, port, protoMask, wait, trcHdl, &rec);
  if (rc == NIECONN_PENDING && !buffered) {
    int32_t err = rec->con.mSocket.sysErr;
    ErrSetInfoSys(NI_COMPONENT, NI_COMPONENT_VERSION, kBufStandinModule, static_cast<uint32_t>(__LINE__), 0,
                  u"%s: connection pending after %dms", NIECONN_REFUSED, u"partner not reached", u"connect",
                  err, kFn, wait);
    DPTRC_LINE(1, NiITrcHdl(), u"%s: non-buffered connect pending after %dms (hdl %d;%s)\n", kFn, wait,
               rec->mHdl.load(std::memory_order_relaxed), pHostName != nullptr ? pHostName : u"");
    NiICloseHandle(rec, 1, 0);
    return NIECONN_REFUSED;
  }
  if (rc != WEQ_O_K && rc != NIECONN_PENDING) return rc;
  if (buffered) {
    NI_RC brc = NiBufIHdlInit(rec);
    if (brc == WEQ_O_K && mode != 0) rec->mBuf->talkMode = NI_RAW_IO;
    if (brc != WEQ_O_K) {
      NiICloseHandle(rec, 1, 0);
      return brc;
    }
  }
  *ppHdl = rec;
  return rc;
}

NI_RC NiBufGetSentHdl(NI_HDL, int32_t, NI_HDL* pNewHdl) {
  if (pNewHdl != nullptr) *pNewHdl = NI_INVALID_HDL;
  return NiIErrTrace(kBufStandinModule, __LINE__, 1, u"%s: no handle passed", NIEINVAL, u"NiBufGetSentHdl");
}

NI_RC NiBufIAcceptSentHdl(NITAB* pHdl, NIBUF_EXT*, int32_t) {
  return NiIErrTrace(kBufStandinModule, __LINE__, 1, u"%s: no handle passed to hdl %d", NIEINTERN,
                     u"NiBufIAcceptSentHdl", NiIHdlNo(pHdl));
}
