// SNC return codes: one table of code, name and text, the lookups over it
// and the recording of a code in the thread's error information.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "i18n/wequ16/u16str.h"
#include "krn/dptrc/err.h"
#include "krn/snc/snc.h"
#include "krn/snc/snc_int.h"

namespace {

struct SncErrRow {
  SNC_RC code;
  const char* name;
  const char* text;
};

// Searched from the top: -41 stands twice and its first text wins; the row
// of code 1 ends the table and answers for codes without a row.
constexpr SncErrRow kSncErrors[] = {
    {SNCERR_INIT, "SNCERR_INIT", "Resource problem or gssapi library invalid/missing"},
    {SNCERR_NO_SEC, "SNCERR_NO_SEC", "BUG: SNC not active -- the app mustn't call this routine"},
    {SNCERR_NO_RESOURCE, "SNCERR_NO_RESOURCE", "Resource shortage -- memory allocation failed"},
    {SNCERR_GSSAPI, "SNCERR_GSSAPI", "An operation failed at the GSS-API level"},
    {SNCERR_QOP_UNAVAIL, "SNCERR_QOP_UNAVAIL", "Installed product lacks requested protection level"},
    {SNCERR_AUTH_FAILED, "SNCERR_AUTH_FAILED", "Authentication failure, no peer name available"},
    {SNCERR_AUTH_MISMATCH, "SNCERR_AUTH_MISMATCH", "Authenticated user differs from expected peer (ACLentry)"},
    {SNCERR_FUNC_ARGS, "SNCERR_FUNC_ARGS", "(bug) Invalid arguments supplied for SNC-API call"},
    {SNCERR_NI, "SNCERR_NI", "NI layer returned an error"},
    {SNCERR_INTERNAL, "SNCERR_INTERNAL", "(bug) SNC-layer is confused."},
    {SNCERR_DEAD, "SNCERR_DEAD", "The referenced session has already been shut down"},
    {SNCERR_INVALID_FRAME, "SNCERR_INVALID_FRAME", "A received frame is invalid/truncated or is no SNC-frame"},
    {SNCERR_CONTEXT_EXPIRED, "SNCERR_CONTEXT_EXPIRED", "The security context of the current session has expired"},
    {SNCERR_TRY_LATER, "SNCERR_TRY_LATER", "(bug) information not yet available -- must be handled gracefully"},
    {SNCERR_NOT_AVAIL, "SNCERR_NOT_AVAIL", "(bug) The requested service/info is not available"},
    {SNCERR_WRONG_FRAME, "SNCERR_WRONG_FRAME", "(bug) Received frame(-type) unexpected for current state"},
    {SNCERR_NAME_TOO_LONG, "SNCERR_NAME_TOO_LONG", "Name exceeds the size of the internal static buffer"},
    {SNCERR_INVALID_NAME, "SNCERR_INVALID_NAME", "The supplied name looks invalid (syntax error?)"},
    {SNCERR_INVALID_NAMETYPE, "SNCERR_INVALID_NAMETYPE", "Nametype prefix is not recognized or missing"},
    {SNCERR_SESSION_ACTIVE, "SNCERR_SESSION_ACTIVE", "(bug) Invalid operation for an active session was requested"},
    {SNCERR_MISSING_FEATURE, "SNCERR_MISSING_FEATURE", "Established context lacks requested data protection services"},
    {SNCERR_BUFFER_TOO_SMALL, "SNCERR_BUFFER_TOO_SMALL", "(bug) The requested information exceeds the buffer size"},
    {SNCERR_INIT_FIRST, "SNCERR_INIT_FIRST", "(bug) SncInit() has to be called first!"},
    {SNCERR_WRONG_TRANSPORT, "SNCERR_WRONG_TRANSPORT", "(bug) A session handle is used with inappropriate API calls"},
    {SNCERR_BAD_SNC_HDL, "SNCERR_BAD_SNC_HDL", "(bug) Bad/invalid session handle passed to SNC-call"},
    {SNCERR_SHLIBS_UNSUP, "SNCERR_SHLIBS_UNSUP", "Runtime loading of shared libs not avail on this platform"},
    {SNCERR_INSECURE, "SNCERR_INSECURE", "A message with insufficient data protection was received"},
    {SNCERR_OVERSECURE, "SNCERR_OVERSECURE", "A message with excessive data protection was received"},
    {SNCERR_SHUTDOWN_MSG, "SNCERR_SHUTDOWN_MSG", "Peer has terminated the session and sent a notification"},
    {SNCERR_SHUTDOWN, "SNCERR_SHUTDOWN", "Peer has terminated the session"},
    {SNCERR_REFRESH_WRONG_CRED, "SNCERR_REFRESH_WRONG_CRED", "The new security context authenticated a different user"},
    {SNCERR_UNKNOWN_PARAM, "SNCERR_UNKNOWN_PARAM", "(bug) The specified parameter type is unknown/undefined"},
    {SNCERR_PARAM_DENIED, "SNCERR_PARAM_DENIED", "(bug) A parameter can't be set/changed in current state"},
    {SNCERR_BAD_QOP_VALUE, "SNCERR_BAD_QOP_VALUE", "(bug) An invalid QOP value was requested"},
    {SNCERR_BAD_NT_PREFIX, "SNCERR_BAD_NT_PREFIX", "The nametype prefix is garbled or missing in name"},
    {SNCERR_BAD_MECH_PREFIX, "SNCERR_BAD_MECH_PREFIX", "The mechanism prefix is garbled or missing in name"},
    {SNCERR_PLAUSI, "SNCERR_PLAUSI", "Releasing a gssapi object failed.  (bug in SNC or GSSAPI)"},
    {SNCERR_UNKNOWN_MECH, "SNCERR_UNKNOWN_MECH", "The mechanism within the name is not known/available"},
    {SNCERR_STRANGE_GSSAPI, "SNCERR_STRANGE_GSSAPI", "(bug) The GSS-API mechanism exercises unexpected behaviour"},
    {SNCERR_WRONG_TARGET, "SNCERR_WRONG_TARGET", "The target's name differs from the name that you provided"},
    {SNCERR_AUTH_MISMATCH, "SNCERR_AUTH_MISMATCH", "The authenticated user doesn't match the given AclEntry"},
    {SNCERR_EXPNAME_UNSUPP, "SNCERR_EXPNAME_UNSUPP", "The loaded gssapi library doesn't support exported names"},
    {SNCERR_UNICODE_MISSING, "SNCERR_UNICODE_MISSING", "This function is not implementted for the WEQ UNICODE environment"},
    {SNCERR_UNICODE_CONVERSION, "SNCERR_UNICODE_CONVERSION",
     "A printable string could not be converted from UNICODE to 8-bit chars"},
    {SNCERR_THREAD_MALFUNCT, "SNCERR_THREAD_MALFUNCT", "The SNC Mutex could not be initialized"},
    {WEQ_O_K, "WEQ_O_K", ""},
    {1, "Unknown error", ""},
};
static_assert(sizeof kSncErrors / sizeof kSncErrors[0] == 47);

const SncErrRow* Find(SNC_RC code) {
  for (const SncErrRow& row : kSncErrors)
    if (row.code == code) return &row;
  return nullptr;
}

constexpr const WEQ_UC* kSncComponent = u"SNC (Secure Network Communication)";

}  // namespace

const char* SncErrName(SNC_RC code) {
  if (const SncErrRow* row = Find(code)) return row->name;
  // The CPI-C layer names codes outside any lock: each thread its own text.
  thread_local char unknown[64];
  snprintf(unknown, sizeof unknown, "Unknown errorcode %d", code);
  return unknown;
}

const char* SncErrText(SNC_RC code) {
  const SncErrRow* row = Find(code);
  return row != nullptr ? row->text : kSncErrors[sizeof kSncErrors / sizeof kSncErrors[0] - 1].text;
}

WEQ_UC* SncErrNameU16(SNC_RC code, WEQ_UC* buf, size_t len) {
  if (buf == nullptr || len == 0) return nullptr;
  SncPWiden(buf, len, SncErrName(code));
  return buf;
}


bool SncPErrRecorded(SNC_RC code) {
  if (!ErrIsSet() || strcmpU(ErrGetFld(ERR_FLD_COMPONENT), kSncComponent) != 0) return false;
  const WEQ_UC* rc = ErrGetFld(ERR_FLD_RC);
  WEQ_UC* end = nullptr;
  int32_t v = strtolU(rc, &end, 10);
  return end != rc && *end == 0 && v == code;
}

void SncPSetErrInfo(const char* module, int line, SNC_RC code, const char* detail) {
  WEQ_UC mod[16], name[64], det[256];
  SncPWiden(mod, 16, module);
  SncPWiden(name, 64, SncErrName(code));
  SncPWiden(det, 256, detail != nullptr ? detail : "");
  // The record has room for 500 units with the location text: a detail
  // that does not fit is cut until it does, never dropped whole.
  for (size_t n = strlen(detail != nullptr ? detail : "") + 1; n > 0; n /= 2) {
    if (n < 256) det[n - 1] = 0;
    if (ErrSetInfo(kSncComponent, 5, mod, static_cast<uint32_t>(line), u"%s", code, u"%s", name, det) != ERR_TOO_LARGE)
      return;
  }
}

void SncErrSet(SNC_RC code) {
  SncGlobalLock lock;
  SNC_TRC(3, "->> %.32s(rc=%d)\n", "SncErrSet", code);
  if (SncPErrRecorded(code)) return;
  SncPSetErrInfo("", 0, code, SncErrText(code));
}
