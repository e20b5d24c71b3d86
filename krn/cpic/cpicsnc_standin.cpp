// Stand-in of SNC on conversations until the layer protects them: the
// verbs' SNC points reach these with the interfaces they will keep. A
// conversation that asks for SNC is refused as the layer refuses one whose
// GSS-API library offers no security (error 768, 20), so nothing travels
// unprotected that was meant to be protected; every entry keeps SNC state 2.
#include "krn/cpic/cpic.h"
#include "krn/cpic/cpic_int.h"

namespace {

constexpr WEQ_UC kSncInit[] = u"STISncInit";

CM_RETURN_CODE SncUnavailable(CPIC_CONV_ENTRY* e) {
  e->f.sncState = 2;
  e->f.sncHdl = nullptr;
  CPIC_ERR(C_SNC_NOT_AVAILABLE, kSncInit);
  return CM_PRODUCT_SPECIFIC_ERROR;
}

}  // namespace

CM_RETURN_CODE STISncGetEnv(CPIC_CONV_ENTRY* e) {
  if (e == nullptr || e->f.sncParams == nullptr) return CM_OK;
  return e->f.sncParams->mode >= 3 ? CM_PARAMETER_ERROR : CM_OK;
}

CM_RETURN_CODE STISncSetUpInit(CPIC_CONV_ENTRY* e, const WEQ_UC*) {
  e->f.sncState = 2;
  e->f.sncHdl = nullptr;
  if (e->f.sncParams != nullptr && e->f.sncParams->mode == 0) return CM_OK;
  return SncUnavailable(e);
}

CM_RETURN_CODE STISncSetUpAccp(CPIC_CONV_ENTRY* e) { return SncUnavailable(e); }

int STISncDone(CPIC_CONV_ENTRY* e) {
  e->f.sncHdl = nullptr;
  return 0;
}

int STISncOut(CPIC_CONV_ENTRY* e, uint8_t*, const void*, int32_t, void** out, int32_t* outLength,
              CM_RETURN_CODE* rc) {
  if (out != nullptr) *out = nullptr;
  if (outLength != nullptr) *outLength = 0;
  return CpicIRc(rc, SncUnavailable(e));
}

int STISncIn(CPIC_CONV_ENTRY* e, uint8_t*, void*, int32_t, void** out, int32_t* outLength, CM_RETURN_CODE* rc) {
  if (out != nullptr) *out = nullptr;
  if (outLength != nullptr) *outLength = 0;
  return CpicIRc(rc, SncUnavailable(e));
}

CM_RETURN_CODE STISncDeliver(CPIC_CONV_ENTRY* e, const WEQ_UC*, uint8_t*, int, bool, void*, int32_t,
                             const CPIC_RCV_OUT& out, CM_RETURN_CODE) {
  for (int32_t* p : {out.dataReceived, out.receivedLength, out.statusReceived, out.rts}) *p = 0;
  return SncUnavailable(e);
}

CM_RETURN_CODE STISncAccept(CPIC_CONV_ENTRY* e, const WEQ_UC*, const uint8_t*) { return SncUnavailable(e); }
