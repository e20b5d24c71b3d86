// Stand-ins of nictl_standin.h.
#include "krn/ni/nictl_standin.h"

#include <string.h>

#include "krn/ni/ni_int.h"
#include "krn/ni/niaddr_int.h"
#include "krn/ni/nimsg_int.h"

NI_RC NiBufIProcMsg(NITAB* pHdl, void* pExt, void* pMsg, uint32_t* pLength, NI_RC* pPeerRc, uint8_t* pVersion) {
  static constexpr const WEQ_UC* kFn = u"NiBufIProcMsg";
  (void)pVersion;
  if (pPeerRc != nullptr) *pPeerRc = 0;
  if (*pLength != NI_KEEPALIVE_LEN) return WEQ_O_K;
  const WEQ_RAW* m = static_cast<const WEQ_RAW*>(pMsg);
  int32_t hdl = pHdl->mHdl.load(std::memory_order_relaxed);
  int lvl = pHdl->mTrace ? 1 : 2;
  if (memcmp(m, "NI_PING", NI_KEEPALIVE_LEN) == 0) {
    *pLength = 0;
    DPTRC_LINE(lvl, NiIHdlTrc(pHdl), u"%s: hdl %d received NI_PING, reply NI_PONG\n", kFn, hdl);
    if (pExt == nullptr) return NiIAnswerPing(pHdl);
    NI_RC rc = NiICheck(pHdl, 0, 0, nullptr);
    if (rc != WEQ_O_K) {
      DPTRC_LINE(1, NiIHdlTrc(pHdl), u"%s: NiICheck failed (rc=%d)\n", kFn, rc);
      return rc;
    }
    return NIEOPCODE;
  }
  if (memcmp(m, "NI_PONG", NI_KEEPALIVE_LEN) != 0) return WEQ_O_K;
  *pLength = 0;
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
