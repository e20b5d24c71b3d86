// Reverse-invoke hooks: reverse invoke is inactive in this library, so
// every entry point the NI core keeps for it reports that and refuses.
#include "krn/dptrc/err.h"
#include "krn/ni/niaddr_int.h"
#include "krn/ni/nixx_int.h"

namespace {

constexpr const WEQ_UC* kRiModule = u"nixxri";

NI_RC Inactive(const WEQ_UC* fn, int line) {
  NiIErrInfo(kRiModule, line, u"%s: reverse invoke (RI) inactive", NIEINTERN, fn);
  if (DPTRC_ON(1)) {
    DpTrcLock();
    DpTrcSetLocation(kRiModule, line);
    DpTrcError(NiITrcHdl(), u"%s: reverse invoke (RI) inactive\n", fn);
    DpTrcUnlock();
  }
  return NIEINTERN;
}

}  // namespace

NITAB* NiIRiCliGetHdl(void) {
  DPTRC_LINE(1, NiITrcHdl(), u"%s: reverse invoke (RI) inactive\n", u"NiIRiCliGetHdl");
  return nullptr;
}

NI_RC NiIRiCliAccept(NITAB*, int32_t, CTRC_HDL*, NITAB**) { return Inactive(u"NiIRiCliAccept", __LINE__); }

bool NiIRiCliConnect(const NI_NODEADDR*, uint16_t, int32_t, NI_HDL* pHandle) {
  Inactive(u"NiIRiCliConnect", __LINE__);
  if (pHandle != nullptr) *pHandle = NI_INVALID_HDL;
  return true;
}

NI_RC NiIRiSrvAccept(NITAB*, int32_t, CTRC_HDL*, NITAB**) { return Inactive(u"NiIRiSrvAccept", __LINE__); }

NI_RC NiIRiSrvPeek(void) { return Inactive(u"NiIRiSrvPeek", __LINE__); }

NI_RC NiIRiSrvCloseHandle(NITAB*) { return Inactive(u"NiIRiSrvCloseHandle", __LINE__); }

bool NiIRiSrvProcEvent(void*, int32_t) {
  DPTRC_LINE(1, NiITrcHdl(), u"%s: reverse invoke (RI) inactive\n", u"NiIRiSrvProcEvent");
  return false;
}

NI_RC NiIRiExit(void) { return WEQ_O_K; }
