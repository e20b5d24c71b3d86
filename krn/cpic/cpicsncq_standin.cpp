// STAND-IN: the Java side's questions about a conversation's SNC until SNC
// on conversations is built. No conversation has SNC on (the SNC points
// refuse it), so the answers are those for an entry without SNC: mode off,
// and no partner name or ACL key (765, 20). Goes when the real verbs come.
#include "krn/cpic/cpic.h"
#include "krn/cpic/cpic_int.h"

namespace {

constexpr WEQ_UC kSncModeQ[] = u"WEQ_CMSNCMODE";
constexpr WEQ_UC kSncNameQ[] = u"WEQ_CMSNCNAME";
constexpr WEQ_UC kAclKeyQ[] = u"WEQ_CMACLKEY";

// The conversation must exist; then 765 and 20.
CM_RETURN_CODE SncDisabledQ(const WEQ_UC* name, const char* convId, uint8_t func, const void* out,
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

}  // namespace

CM_RETURN_CODE WEQ_CMSNCMODE(const char* convId, uint8_t* mode, CM_RETURN_CODE* rc) {
  CM_RETURN_CODE code;
  CPIC_CONV_ENTRY* e = STIVerbStart(kSncModeQ, convId, CPIC_FN_CM_SNCMODE, 1, &code);
  if (e == nullptr) return CpicIRc(rc, code);
  if (mode == nullptr) return CpicIRc(rc, STINullArg(kSncModeQ, u"snc_mode"));
  *mode = e->f.sncState == 1 ? 1 : 0;
  return CpicIRc(rc, CM_OK);
}

CM_RETURN_CODE WEQ_CMSNCNAME(const char* convId, WEQ_UC* name, int32_t, CM_RETURN_CODE* rc) {
  return CpicIRc(rc, SncDisabledQ(kSncNameQ, convId, CPIC_FN_CM_SNCNAME, name, u"sncname"));
}

CM_RETURN_CODE WEQ_CMACLKEY(const char* convId, void* key, int32_t, uint32_t* keyLength, CM_RETURN_CODE* rc) {
  if (keyLength != nullptr) *keyLength = 0;
  const void* out = key == nullptr ? nullptr : keyLength;
  return CpicIRc(rc, SncDisabledQ(kAclKeyQ, convId, CPIC_FN_CM_ACLKEY, out, key == nullptr ? u"aclkey" : u"retlen"));
}
