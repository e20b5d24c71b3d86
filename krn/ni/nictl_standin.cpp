// Stand-ins of nictl_standin.h.
#include "krn/ni/nictl_standin.h"

#include <atomic>

#include "krn/ni/ni_int.h"
#include "krn/ni/niaddr_int.h"
#include "krn/ni/nimsg_int.h"

namespace {

constexpr const WEQ_UC* kCtlStandinModule = u"nibuf";
std::atomic<uint32_t> g_maxHeap{0};

}  // namespace

NI_RC NiBufISetParam(const NI_PARAM_DATA* pParamData, bool* pTaken) {
  *pTaken = false;
  if (pParamData->param != NIP_BUF_MAXHEAP) return WEQ_O_K;
  if (pParamData->datatype != NI_DT_UINT)
    return NiIErrTrace(kCtlStandinModule, __LINE__, 1, u"%s: parameter invalid (pParamData->datatype != NI_DT_UINT)",
                       NIEINVAL, u"NiBufISetParam");
  g_maxHeap.store(pParamData->value.uint_val, std::memory_order_relaxed);
  *pTaken = true;
  return WEQ_O_K;
}

NI_RC NiBufIHdlSetParam(NITAB* pHdl, const NI_PARAM_DATA* pParamData, bool* pTaken) {
  *pTaken = false;
  return NiIErrTrace(kCtlStandinModule, __LINE__, 1, u"%s: invalid param %d for hdl %d", NIEINVAL,
                     u"NiBufISetParam", static_cast<int32_t>(pParamData->param),
                     pHdl->mHdl.load(std::memory_order_relaxed));
}

NI_RC NiBufIHdlInit(NITAB* pHdl) {
  return NiIErrTrace(kCtlStandinModule, __LINE__, 1, u"%s: buffered handles not available (hdl %d)", NIEINVAL,
                     u"NiBufIHdlInit", pHdl->mHdl.load(std::memory_order_relaxed));
}

uint32_t NiBufIMaxHeap(void) { return g_maxHeap.load(std::memory_order_relaxed); }

NI_RC NiBufIProcMsg(NITAB* pHdl, void* pExt, void* pMsg, uint32_t* pLength, NI_RC* pPeerRc, uint8_t* pVersion) {
  static constexpr const WEQ_UC* kFn = u"NiBufIProcMsg";
  (void)pExt;
  (void)pVersion;
  if (pPeerRc != nullptr) *pPeerRc = 0;
  uint8_t kind = NiIKeepAliveKind(pMsg, *pLength);
  if (kind == NI_KA_NONE) return WEQ_O_K;
  int32_t hdl = pHdl->mHdl.load(std::memory_order_relaxed);
  int lvl = pHdl->mTrace ? 1 : 2;
  *pLength = 0;
  if (kind == NI_KA_PING) {
    DPTRC_LINE(lvl, NiIHdlTrc(pHdl), u"%s: hdl %d received NI_PING, reply NI_PONG\n", kFn, hdl);
    return NiIAnswerPing(pHdl);
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
