// SNC API: the global state, the SNC trace and the settings that may be
// made before the layer is initialised.
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "i18n/wequ16/u16str.h"
#include "krn/dptrc/dptrc.h"
#include "krn/snc/snc.h"
#include "krn/snc/snc_int.h"

namespace {
#define SNC_MODULE "sncxx"
constexpr size_t kTrcLine = 1024;  // an 8-bit line with its terminator
}  // namespace

SncGlobal gSnc;
std::atomic<CTRC_HDL> gSncTrcHdl{nullptr};

namespace {

void WriteLine(const char* text) {
  WEQ_UC wide[kTrcLine];
  SncPWiden(wide, kTrcLine, text);
  DpTrcLock();
  DpTrc(gSncTrcHdl.load(std::memory_order_acquire), u"%s", wide);
  DpTrcUnlock();
}

}  // namespace

void SncPWiden(WEQ_UC* dst, size_t size, const char* src) {
  size_t i = 0;
  for (; i + 1 < size && src[i] != 0; ++i) dst[i] = static_cast<unsigned char>(src[i]);
  dst[i] = 0;
}

void SncPTrc(const char* fmt, ...) {
  char line[kTrcLine];
  va_list ap;
  va_start(ap, fmt);
  const int n = vsnprintf(line, sizeof line, fmt, ap);
  va_end(ap);
  // A cut entry still ends its line, so that the next entry starts a line.
  if (n >= static_cast<int>(sizeof line)) line[sizeof line - 2] = '\n';
  WriteLine(line);
}

void SncPTrcErr(const char* module, int line, const char* fmt, ...) {
  char text[kTrcLine];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(text, sizeof text, fmt, ap);
  va_end(ap);
  size_t n = strlen(text);
  if (n > 0 && text[n - 1] == '\n') text[n - 1] = 0;
  char out[kTrcLine];
  snprintf(out, sizeof out, "*** ERROR => %.980s [%-10.10s %3d]\n", text, module, line);
  WriteLine(out);
}

SNC_RC SncSetTraceFile(CTRC_HDL hdl) {
  SncGlobalLock lock;
  gSncTrcHdl.store(hdl, std::memory_order_release);
  return WEQ_O_K;
}

SNC_RC SncSetParam(int32_t param, const void* value, size_t length) {
  SncGlobalLock lock;
  SNC_TRC(3, "->> %.32s(param=%d, value=%p, length=%lu)\n", "SncSetParam", param, value,
          static_cast<unsigned long>(length));
  SNC_RC rc = WEQ_O_K;
  if (param != SNC_PARAM_GSSAPI_LIB) {
    rc = SNCERR_UNKNOWN_PARAM;
  } else if (gSnc.initialized.load(std::memory_order_acquire)) {
    rc = SNCERR_PARAM_DENIED;
  } else {
    const char* text = static_cast<const char*>(value);
    size_t n = text == nullptr ? 0 : length != 0 ? strnlen(text, length) : strlen(text);
    if (n >= sizeof gSnc.userLib) {
      rc = SNCERR_FUNC_ARGS;
    } else {
      // An empty value forgets the name, so that the configured one applies.
      if (n > 0) memcpy(gSnc.userLib, text, n);
      gSnc.userLib[n] = 0;
    }
  }
  if (rc != WEQ_O_K) {
    SncPSetErrInfo(SNC_MODULE, __LINE__, rc, "SncSetParam()");
    SNC_TRC(1, "%.32s%.32s()==%.40s\n", "<<- ERROR: ", "SncSetParam", SncErrName(rc));
  } else {
    SNC_TRC(2, "%.32s%.32s()==%.40s\n", "<<- ", "SncSetParam", SncErrName(rc));
  }
  return rc;
}

SNC_RC SncSetParamU16(int32_t param, const void* value, size_t length) {
  if (param != SNC_PARAM_GSSAPI_LIB || value == nullptr) return SncSetParam(param, value, length);
  constexpr size_t kMax = 1024;
  char narrow[kMax + 1];
  const WEQ_UC* text = static_cast<const WEQ_UC*>(value);
  size_t limit = length != 0 && length < kMax ? length : kMax;
  size_t i = 0;
  for (; i < limit && text[i] != 0; ++i) narrow[i] = static_cast<char>(text[i] & 0xFF);
  narrow[i] = 0;
  return SncSetParam(param, narrow, 0);
}

// --- Initialisation ------------------------------------------------------------------

namespace {

bool Valid(const SncSession* s) { return s != nullptr && s->mark == SNC_HDL_MARK; }

bool Initialized() { return gSnc.initialized.load(std::memory_order_acquire); }
bool Active() { return gSnc.active.load(std::memory_order_acquire); }

// The end of every entry: a failure is recorded unless the thread already
// holds it, and the head line names the entry and the code.
SNC_RC Exit(const char* entry, SNC_RC rc, int line) {
  if (rc != WEQ_O_K) {
    const bool recorded = SncPErrRecorded(rc);
    if (!recorded) SncPSetErrInfo("sncxx.c", line, rc, entry);
    SNC_TRC(1, "%.32s%.32s()==%.40s\n", recorded ? "<<- " : "<<- ERROR: ", entry, SncErrName(rc));
  } else {
    SNC_TRC(2, "%.32s%.32s()==%.40s\n", "<<- ", entry, SncErrName(rc));
  }
  return rc;
}

void FreeSession(SncSession* s) {
  if (s == nullptr) return;
  SncPSessionRelease(s);
  s->mark = 0;
  free(s);
}

// The credential check of a program type: the default session's own name
// from the credentials, traced with their lifetime.
SNC_RC CheckCred(int usage) {
  OM_uint32 life = 0;
  const SNC_RC rc = SncPNameFromCred(usage, &life);
  const char* what = usage == GSS_C_ACCEPT ? "Accepting " : "Initiating";
  char buf[64];
  if (rc != WEQ_O_K) {
    SNC_TRC(1, "%.32s(): Fatal -- %s Credentials not available!\n", "SncInit", usage == GSS_C_ACCEPT ? "Accepting" : what);
  } else {
    SNC_TRC(2, "%.32s(): %s Credentials available, lifetime=%.64s\n", "SncInit", what, SncPLifetimeText(life, buf, sizeof buf));
  }
  return rc;
}

SNC_RC FirstInit(int progType) {
  SNC_TRC(1, "%.32s(): Initializing Secure Network Communication (SNC)\n", "SncInit");
  SNC_TRC(1, "      %.80s (mt,ascii,WEQ_UC/size_t/void* = %u/%u/%u)\n", "PC with Linux x86_64", 16u,
          static_cast<unsigned>(sizeof(size_t) * 8), static_cast<unsigned>(sizeof(void*) * 8));
  gSnc.progType = progType;
  gSnc.active = false;
  const ThrRc trc = ThrMtxInit(&gSnc.mtx, u"SNC_GLOBAL_MTX");
  if (trc != THR_ERR_OK) {
    char text[128];
    const WEQ_UC* t = ThrErrTxt(trc);
    size_t i = 0;
    for (; i + 1 < sizeof text && t[i] != 0; ++i) text[i] = static_cast<char>(t[i] & 0x7F);
    text[i] = 0;
    SNC_TRC(1, "%.32s(): ThrMtxInit(snc_global_mtx) failed: %.64s\n", "SncInit", text);
    return SNCERR_THREAD_MALFUNCT;
  }
  gSnc.mtxExists = true;
  gSnc.initialized = true;
  SncIReadEnvConfig();
  const SncProgRow& row = kSncProgRows[progType];
  SNC_RC rc = WEQ_O_K;
  if (progType == 0) {
    gSnc.qopMax = 3;
    SncIChooseLibName(progType);
    rc = SncPDLInit(0, gSnc.libName, row.strict);
    if (rc == WEQ_O_K && gSncAdapter[0] != nullptr) rc = SncIInit();
  } else {
    if (gSnc.profileFile[0] != 0)
      SNC_TRC(2, "%.32s(): Reading configuration from '%.256s'.\n", "SncInit", gSnc.profileFile);
    bool enabled = true;
    SncIReadProfileConfig(progType, &enabled);
    if (!enabled) return WEQ_O_K;
    SncIChooseLibName(progType);
    rc = SncPDLInit(0, gSnc.libName, row.strict);
    if (rc == WEQ_O_K && gSncAdapter[0] != nullptr) rc = SncIInit();
    if (rc == WEQ_O_K && gSncAdapter[0] != nullptr && row.ownNameKey != nullptr) {
      bool isDefault = true;
      char text[255];
      int n = 0;
      SncIProfileParam("snc", row.ownNameKey, "void", &isDefault, text, &n);
      if (strcmp(text, "void") == 0 || text[0] == 0) {
        SNC_TRC(1, "%.32s(): Missing profile paramter \"%.16s/%.40s\" !\n", "SncInit", "snc", row.ownNameKey);
        char detail[96];
        snprintf(detail, sizeof detail, "Missing profile parameter snc/%.40s", row.ownNameKey);
        SncPSetErrInfo(SNC_MODULE, __LINE__, SNCERR_INIT, detail);
        rc = SNCERR_INIT;
      } else {
        rc = SncPSetNewName(gSnc.dflt, &gSnc.dflt->myName, text, 0, false);
      }
      if (rc == WEQ_O_K && row.checkAcceptCred) rc = CheckCred(GSS_C_ACCEPT);
    }
    if (rc == WEQ_O_K && gSncAdapter[0] != nullptr && row.checkInitCred) rc = CheckCred(GSS_C_INITIATE);
  }
  if (rc == WEQ_O_K && gSncAdapter[0] != nullptr) gSnc.active = true;
  return rc;
}

}  // namespace

SNC_RC SncIInit(void) {
  const SncAdapter* a = gSncAdapter[0];
  SncSession* s = static_cast<SncSession*>(calloc(1, sizeof(SncSession)));
  if (s == nullptr) return SNCERR_NO_RESOURCE;
  s->mark = SNC_HDL_MARK;
  s->transport = 1;
  s->state = SNC_STATE_NONE;
  s->adapterType = static_cast<uint16_t>(a->info.type);
  const int best = a->bestLevel;
  s->qopMaxAvail = best;
  s->qopMax = gSnc.qopMax < best ? gSnc.qopMax : best;
  if (best < gSnc.qopMax)
    SNC_TRC(2, "%.32s(): \"%.32s\" limits snc/data_protection/max = %d (%.30s)\n", "SncIInit", a->mechPrefix, best,
            SncPQopName(best));
  s->qopMin = gSnc.qopMin < best ? gSnc.qopMin : best;
  if (best < gSnc.qopMin) {
    gSnc.qopMin = best;
    SNC_TRC(2, "%.32s(): \"%.32s\" limits snc/data_protection/min = %d (%.30s)\n", "SncIInit", a->mechPrefix, best,
            SncPQopName(best));
  }
  s->qopUse = gSnc.qopUse < s->qopMax ? gSnc.qopUse : s->qopMax;
  FreeSession(gSnc.dflt);
  gSnc.dflt = s;
  return WEQ_O_K;
}

SNC_RC SncPNameFromCred(int usage, OM_uint32* lifetime) {
  SncSession* s = gSnc.dflt;
  const SncAdapter* a = gSncAdapter[0];
  SNC_RC rc = SncPAcquireCred(s, usage, nullptr);
  if (rc != WEQ_O_K) return rc;
  OM_uint32 minor = 0, life = 0;
  gss_name_t name = GSS_C_NO_NAME;
  const OM_uint32 major = SncGss<SNC_FN_inquire_cred>(a)(&minor, s->cred, &name, &life, nullptr, nullptr);
  if (GSS_ERROR(major) != 0 && GSS_ERROR(major) != GSS_S_CREDENTIALS_EXPIRED) {
    char text[96];
    snprintf(text, sizeof text, "Could't inquire %.16s%.16scredentials%.8s\n", "",
             usage == GSS_C_INITIATE ? "INITIATING " : "ACCEPTING ", "");
    SncPErrFunc(a, "SncPNameFromCred", "gss_inquire_cred", SNCERR_GSSAPI, major, minor, text, nullptr);
    rc = SNCERR_GSSAPI;
  } else if (name != GSS_C_NO_NAME) {
    SncName own{};
    rc = SncPExportGSSName(s, name, &own);
    if (rc == WEQ_O_K) rc = SncPDisplayGSSName(s, name, &own);
    if (rc == WEQ_O_K) {
      SncPClearName(&s->myName);
      s->myName = own;
    } else {
      SncPClearName(&own);
    }
  }
  SncPReleaseName(a, &name);
  OM_uint32 m2 = 0;
  if (s->cred != GSS_C_NO_CREDENTIAL && GSS_ERROR(SncGss<SNC_FN_release_cred>(a)(&m2, &s->cred)) != 0)
    SncPSetErrInfo(SNC_MODULE, __LINE__, SNCERR_PLAUSI, "Cleanup: trying to release credentials failed");
  s->cred = GSS_C_NO_CREDENTIAL;
  if (lifetime != nullptr) *lifetime = life;
  return rc;
}

SNC_RC SncInit(int progType, const char* profileFile, uint8_t* secAvail) {
  if (progType < 0 || progType > 9 || secAvail == nullptr) return Exit("SncInit", SNCERR_FUNC_ARGS, __LINE__);
  snprintf(gSnc.profileFile, sizeof gSnc.profileFile, "%s", profileFile != nullptr ? profileFile : "");
  *secAvail = Active() ? 1 : 0;
  if (Initialized()) {
    SNC_TRC(3, "%.32s(): already initialized, ignoring this call\n", "SncInit");
    *secAvail = Active() ? 1 : 0;
    return gSnc.initRc;
  }
  SNC_RC rc = FirstInit(progType);
  if (rc != WEQ_O_K && gSnc.mtxExists.load()) {
    // The next call starts over.
    FreeSession(gSnc.dflt);
    gSnc.dflt = nullptr;
    gSnc.mtxExists = false;
    ThrMtxDelete(&gSnc.mtx);
    gSnc.initialized = false;
    gSnc.active = false;
  }
  gSnc.initRc = rc;
  *secAvail = Active() ? 1 : 0;
  SNC_TRC(rc != WEQ_O_K ? 1 : 2, "    %.16s %.32s = \"%.*s\"\n", "", "sec_avail", *secAvail ? 4 : 5,
          *secAvail ? "true" : "false");
  return Exit("SncInit", rc, __LINE__);
}

// --- Sessions -------------------------------------------------------------------------

SNC_RC SncSessionInit(SNC_HDL* hdl) {
  SncGlobalLock lock;  // the whole entry, GSS-API calls included
  if (!Initialized()) return Exit("SncSessionInit", SNCERR_INIT_FIRST, __LINE__);
  if (hdl == nullptr) return Exit("SncSessionInit", SNCERR_FUNC_ARGS, __LINE__);
  SncSession* s = static_cast<SncSession*>(calloc(1, sizeof(SncSession)));
  if (s == nullptr) return Exit("SncSessionInit", SNCERR_NO_RESOURCE, __LINE__);
  if (Active() && gSnc.dflt != nullptr) {
    const SncSession& d = *gSnc.dflt;
    s->adapterType = d.adapterType;
    s->qopUse = d.qopUse, s->qopMin = d.qopMin, s->qopMax = d.qopMax, s->qopMaxAvail = d.qopMaxAvail;
    s->myName = d.myName;
    s->myName.xpName = nullptr;
    if (d.myName.xpName != nullptr) {
      s->myName.xpName = static_cast<uint8_t*>(malloc(d.myName.xpLen));
      if (s->myName.xpName == nullptr) {
        free(s);
        return Exit("SncSessionInit", SNCERR_NO_RESOURCE, __LINE__);
      }
      memcpy(s->myName.xpName, d.myName.xpName, d.myName.xpLen);
    }
  }
  s->mark = SNC_HDL_MARK;
  s->adapterIndex = 0;
  s->state = SNC_STATE_NONE;
  s->transport = 1;
  *hdl = s;
  return Exit("SncSessionInit", WEQ_O_K, __LINE__);
}

SNC_RC SncSessionDone(SNC_HDL* hdl) {
  SncGlobalLock lock;  // the whole entry, GSS-API calls included
  if (!Initialized()) return Exit("SncSessionDone", SNCERR_INIT_FIRST, __LINE__);
  if (hdl == nullptr) return Exit("SncSessionDone", SNCERR_FUNC_ARGS, __LINE__);
  if (!Valid(*hdl)) return Exit("SncSessionDone", SNCERR_BAD_SNC_HDL, __LINE__);
  SncSession* s = *hdl;
  s->lastErr[0] = s->lastErr[1] = s->lastErr[2] = 0;
  FreeSession(s);
  *hdl = nullptr;
  return Exit("SncSessionDone", WEQ_O_K, __LINE__);
}

namespace {

// The common checks of the entries that need SNC active: the session (NULL
// stands for the default one where allowed).
SNC_RC ActiveSession(SNC_HDL hdl, bool nullIsDefault, SncSession** s) {
  if (!Initialized()) return SNCERR_INIT_FIRST;
  if (!Active()) return SNCERR_NO_SEC;
  *s = hdl == nullptr && nullIsDefault ? gSnc.dflt : hdl;
  if (!Valid(*s)) return SNCERR_BAD_SNC_HDL;
  (*s)->lastErr[0] = (*s)->lastErr[1] = (*s)->lastErr[2] = 0;
  return WEQ_O_K;
}

}  // namespace

SNC_RC SncSetMyName(SNC_HDL hdl, const char* name) {
  SncGlobalLock lock;  // the whole entry, GSS-API calls included
  SncSession* s = nullptr;
  SNC_RC rc = ActiveSession(hdl, true, &s);
  if (rc == WEQ_O_K && s->state != SNC_STATE_NONE) rc = SNCERR_NOT_AVAIL;
  if (rc == WEQ_O_K) rc = SncPSetNewName(s, &s->myName, name, 0, false);
  SNC_TRC(2, "    %.16s %.32s = \"%.*s\"\n", " in:", "myname", 256, name != nullptr ? name : "");
  return Exit("SncSetMyName", rc, __LINE__);
}

SNC_RC SncSessionAcceptor(SNC_HDL hdl, uint32_t sizeHint) {
  SncGlobalLock lock;  // the whole entry, GSS-API calls included
  SncSession* s = nullptr;
  SNC_RC rc = ActiveSession(hdl, false, &s);
  if (rc == WEQ_O_K) rc = SncPSetRole(s, SNC_ACCEPT, sizeHint);
  if (rc == WEQ_O_K) s->state = SNC_STATE_DO_ACCEPT;
  return Exit("SncSessionAcceptor", rc, __LINE__);
}

SNC_RC SncSessionInitiator(SNC_HDL hdl, int authType, uint32_t sizeHint, const char* target) {
  SncGlobalLock lock;  // the whole entry, GSS-API calls included
  SncSession* s = nullptr;
  SNC_RC rc = ActiveSession(hdl, false, &s);
  if (rc == WEQ_O_K && (target == nullptr || target[0] == 0 || (authType != 0 && authType != 1)))
    rc = SNCERR_FUNC_ARGS;
  if (rc == WEQ_O_K && s->state != SNC_STATE_NONE && s->state != SNC_STATE_UNDECIDED) rc = SNCERR_SESSION_ACTIVE;
  if (rc == WEQ_O_K) rc = SncPSetNewName(s, &s->peerName, target, 0, false);
  if (rc == WEQ_O_K) {
    s->authType = authType;
    rc = SncPSetRole(s, SNC_INITIATE, sizeHint);
  }
  if (rc == WEQ_O_K) s->state = SNC_STATE_DO_INITIATE;
  SNC_TRC(2, "    %.16s %.32s = \"%.*s\"\n", " in:", "target   ", 256, target != nullptr ? target : "");
  if (s != nullptr) SNC_TRC(2, "    %.16s %.32s = \"%.*s\"\n", " in:", "parses to", 256, s->peerName.prName);
  return Exit("SncSessionInitiator", rc, __LINE__);
}

// --- Data ---------------------------------------------------------------------------

SNC_RC SncProcessOutput(SNC_HDL hdl, const void* in, size_t inLen, uint8_t* done, const void** out,
                        size_t* outLen) {
  SncGlobalLock lock;  // the whole entry, GSS-API calls included
  constexpr const char* kE = "SncProcessOutput";
  if (!Initialized()) return Exit(kE, SNCERR_INIT_FIRST, __LINE__);
  SncSession* s = hdl;
  if (!Valid(s)) return Exit(kE, SNCERR_BAD_SNC_HDL, __LINE__);
  if (done == nullptr || out == nullptr || outLen == nullptr || (inLen > 0 && in == nullptr) || inLen > UINT32_MAX)
    return Exit(kE, SNCERR_FUNC_ARGS, __LINE__);
  *out = nullptr, *outLen = 0, *done = 0;
  if (!Active() || s->state == SNC_STATE_NONE) {
    if (Active() && s->transport != 1) return Exit(kE, SNCERR_WRONG_TRANSPORT, __LINE__);
    *out = in, *outLen = inLen, *done = 1;
    return Exit(kE, WEQ_O_K, __LINE__);
  }
  if (s->transport != 1) return Exit(kE, SNCERR_WRONG_TRANSPORT, __LINE__);
  int action = 0;
  s->out.used = 0;
  const SNC_RC rc = SncPFrameOut(s, static_cast<const uint8_t*>(in), static_cast<uint32_t>(inLen), &action);
  if (rc == WEQ_O_K) {
    // Only a data frame takes the block: an INIT that completed the
    // context at once leaves it for the next call.
    const bool dataFrame = s->out.used > 8 && s->out.data[8] >= FR_DATA_OPEN && s->out.data[8] <= FR_DATA_WRAP;
    *done = (inLen > 0 && action == SNC_ACT_SEND && dataFrame) ||
            (inLen == 0 && (action & SNC_ACT_SEND) == 0 && s->state == SNC_STATE_ESTABLISHED);
    if ((action & SNC_ACT_SEND) != 0 && s->out.used > 0) *out = s->out.data, *outLen = s->out.used;
  }
  return Exit(kE, rc, __LINE__);
}

SNC_RC SncProcessInput(SNC_HDL hdl, const void* in, size_t inLen, const void** data, size_t* dataLen,
                       const void** back, size_t* backLen) {
  SncGlobalLock lock;  // the whole entry, GSS-API calls included
  constexpr const char* kE = "SncProcessInput";
  if (!Initialized()) return Exit(kE, SNCERR_INIT_FIRST, __LINE__);
  SncSession* s = hdl;
  if (!Valid(s)) return Exit(kE, SNCERR_BAD_SNC_HDL, __LINE__);
  if (s->transport != 1) return Exit(kE, SNCERR_WRONG_TRANSPORT, __LINE__);
  if (in == nullptr || data == nullptr || dataLen == nullptr || back == nullptr || backLen == nullptr ||
      inLen > UINT32_MAX)
    return Exit(kE, SNCERR_FUNC_ARGS, __LINE__);
  *data = nullptr, *dataLen = 0, *back = nullptr, *backLen = 0;
  if (!Active() || s->state == SNC_STATE_NONE) {
    *data = in, *dataLen = inLen;
    return Exit(kE, WEQ_O_K, __LINE__);
  }
  if (inLen == 0) return Exit(kE, WEQ_O_K, __LINE__);
  const uint8_t* p = static_cast<const uint8_t*>(in);
  const uint32_t len = static_cast<uint32_t>(inLen);
  int action = 0;
  uint32_t used = 0;
  s->out.used = 0;
  SNC_RC rc = SncPFrameIn(s, p, len, &action, &used);
  const uint8_t* d = (action & SNC_ACT_DATA) != 0 ? s->dataOut : nullptr;
  uint32_t dl = (action & SNC_ACT_DATA) != 0 ? s->dataOutLen : 0;
  bool frame = (action & SNC_ACT_SEND) != 0;
  if (frame && s->out.used == 0) {
    SNC_TRCERR("%.32s(): a frame to send without bytes", kE);
    return Exit(kE, SNCERR_INTERNAL, __LINE__);
  }
  if (rc == WEQ_O_K && frame && used < len) {
    // The frame the first step built stays in the buffer unless the second
    // step builds one too; then neither can be handed out.
    int action2 = 0;
    uint32_t used2 = 0;
    const uint32_t keep = s->out.used;
    rc = SncPFrameIn(s, p + used, len - used, &action2, &used2);
    used += used2;
    if ((action2 & SNC_ACT_SEND) != 0) {
      SNC_TRCERR("%.32s(): Ooops! I've messed up my buffer !?", kE);
      return Exit(kE, SNCERR_INTERNAL, __LINE__);
    }
    s->out.used = keep;
    if ((action2 & SNC_ACT_DATA) != 0) d = s->dataOut, dl = s->dataOutLen;
  }
  if (rc == WEQ_O_K && used < len) SNC_TRC(1, "%.32s(): Ooops, remaining input data= %u !?\n", kE, len - used);
  if (frame) *back = s->out.data, *backLen = s->out.used;
  if (d != nullptr) *data = d, *dataLen = dl;
  return Exit(kE, rc, __LINE__);
}

#undef SNC_MODULE
