// Stand-ins of nictl_standin.h.
#include "krn/ni/nictl_standin.h"


#include "krn/ni/ni_int.h"
#include "krn/ni/niaddr_int.h"
#include "krn/ni/nimsg_int.h"

NI_RC NiBufIProcMsg(NITAB* pHdl, void* pExt, void* pMsg, uint32_t* pLength, NI_RC* pPeerRc, uint8_t* pVersion) {
  static constexpr const WEQ_UC* kFn = u"NiBufIProcMsg";
  (void)pVersion;
  if (pPeerRc != nullptr) *pPeerRc = 0;
  uint8_t kind = NiIKeepAliveKind(pMsg, *pLength);
  if (kind == NI_KA_NONE) return WEQ_O_K;
  int32_t hdl = pHdl->mHdl.load(std::memory_order_relaxed);
  int lvl = pHdl->mTrace ? 1 : 2;
  *pLength = 0;
  if (kind == NI_KA_PING) {
    DPTRC_LINE(lvl, NiIHdlTrc(pHdl), u"%s: hdl %d received NI_PING, reply NI_PONG\n", kFn, hdl);
    if (pExt == nullptr) return NiIAnswerPing(pHdl);
    NI_RC rc = NiICheck(pHdl, 0, 0, nullptr);
    if (rc != WEQ_O_K) {
      DPTRC_LINE(1, NiIHdlTrc(pHdl), u"%s: NiICheck failed (rc=%d)\n", kFn, rc);
      return rc;
    }
    return NIEOPCODE;
  }
  if (pHdl->mCheck == 1) {
    pHdl->mCheck = 0;
    DPTRC_LINE(lvl, NiIHdlTrc(pHdl), u"%s: hdl %d received NI_PONG, check o.k.\n", kFn, hdl);
    return NIEPING;
  }
  if (pHdl->mCheck == 2) {
    pHdl->mWaitCount += 1;
    DPTRC_LINE(lvl, NiIHdlTrc(pHdl), u"%s: hdl %d received NI_PONG: wait_count: %d\n", kFn, hdl,
               static_cast<int32_t>(pHdl->mWaitCount));
    return NIEOPCODE;
  }
  DPTRC_LINE(lvl, NiIHdlTrc(pHdl), u"%s: hdl %d received NI_PONG\n", kFn, hdl);
  return NIEOPCODE;
}
