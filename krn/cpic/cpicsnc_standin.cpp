// Stand-in of SNC on conversations until the layer protects them: the
// verbs' SNC points reach these with the interfaces they will keep. A
// conversation that asks for SNC is refused as the layer refuses one whose
// GSS-API library offers no security (error 768, 20), so nothing travels
// unprotected that was meant to be protected; every entry keeps SNC state 2.
// The Java side's questions about a conversation's SNC answer for such an
// entry: mode off, and no partner name or ACL key (765, 20).
#include "krn/cpic/cpic.h"
#include "krn/cpic/cpic_int.h"

namespace {

constexpr WEQ_UC kSncInit[] = u"STISncInit";
constexpr WEQ_UC kSncMode[] = u"WEQ_CMSNCMODE";
constexpr WEQ_UC kSncName[] = u"WEQ_CMSNCNAME";
constexpr WEQ_UC kAclKey[] = u"WEQ_CMACLKEY";

// The questions about the partner of a conversation without SNC: the
// conversation must exist; 765 and 20 then, since no entry has SNC on.
CM_RETURN_CODE SncDisabled(const WEQ_UC* name, const char* convId, uint8_t func, const void* out,
                           const WEQ_UC* param) {
  CM_RETURN_CODE code;
  CPIC_CONV_ENTRY* e = STIVerbStart(name, convId, func, 1, &code);
  if (e == nullptr) return code;
  if (out == nullptr) return STINullArg(name, param);
  STI_GLOB* glob = STIGetGlob();
  if (glob == nullptr) return CM_RESOURCE_FAILURE_RETRY;
  CPIC_ERR(C_SNC_DISABLED, CpicIIdText(convId).s, glob->tpName);
  return CM_PRODUCT_SPECIFIC_ERROR;
}

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

CM_RETURN_CODE WEQ_CMSNCMODE(const char* convId, uint8_t* mode, CM_RETURN_CODE* rc) {
  CM_RETURN_CODE code;
  CPIC_CONV_ENTRY* e = STIVerbStart(kSncMode, convId, CPIC_FN_CM_SNCMODE, 1, &code);
  if (e == nullptr) return CpicIRc(rc, code);
  if (mode == nullptr) return CpicIRc(rc, STINullArg(kSncMode, u"snc_mode"));
  *mode = e->f.sncState == 1 ? 1 : 0;
  return CpicIRc(rc, CM_OK);
}

CM_RETURN_CODE WEQ_CMSNCNAME(const char* convId, WEQ_UC* name, int32_t, CM_RETURN_CODE* rc) {
  return CpicIRc(rc, SncDisabled(kSncName, convId, CPIC_FN_CM_SNCNAME, name, u"sncname"));
}

CM_RETURN_CODE WEQ_CMACLKEY(const char* convId, void* key, int32_t, uint32_t* keyLength, CM_RETURN_CODE* rc) {
  if (keyLength != nullptr) *keyLength = 0;
  const void* out = key == nullptr ? nullptr : keyLength;
  return CpicIRc(rc, SncDisabled(kAclKey, convId, CPIC_FN_CM_ACLKEY, out, key == nullptr ? u"aclkey" : u"retlen"));
}
