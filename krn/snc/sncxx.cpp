// SNC API: the global state, the SNC trace and the settings that may be
// made before the layer is initialised.
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <initializer_list>

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
  SNC_TRC(3, "->> %.32s(trc_hdl=%p)\n", "SncSetTraceFile", static_cast<void*>(hdl));
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
  return SncPExitReport("SncSetParam", rc, __LINE__, nullptr, 0);
}

SNC_RC SncSetParamU16(int32_t param, const void* value, size_t length) {
  if (param != SNC_PARAM_GSSAPI_LIB || value == nullptr) return SncSetParam(param, value, length);
  constexpr size_t kMax = 1024;
  char narrow[kMax + 1];
  const size_t limit = length != 0 && length < kMax ? length : kMax;
  if (!SncPNarrow(static_cast<const WEQ_UC*>(value), limit, narrow)) {
    SncGlobalLock lock;
    return SncPExitReport("SncSetParamU16", SNCERR_UNICODE_CONVERSION, __LINE__, nullptr, 0);
  }
  return SncSetParam(param, narrow, 0);
}

bool SncPNarrow(const WEQ_UC* src, size_t limit, char* dst) {
  size_t i = 0;
  for (; i < limit && src[i] != 0; ++i) {
    // A unit above 0xFF has no byte: keeping its low byte would name
    // something else.
    if (src[i] > 0xFF) {
      dst[0] = 0;
      return false;
    }
    dst[i] = static_cast<char>(src[i]);
  }
  dst[i] = 0;
  return true;
}

// --- Initialisation ------------------------------------------------------------------

namespace {

bool Valid(const SncSession* s) { return s != nullptr && s->mark == SNC_HDL_MARK; }

bool Initialized() { return gSnc.initialized.load(std::memory_order_acquire); }
bool Active() { return gSnc.active.load(std::memory_order_acquire); }

// The end of every entry: its exit report with the entry's values.
SNC_RC Exit(const char* entry, SNC_RC rc, int line, std::initializer_list<SncExitValue> vals = {}) {
  return SncPExitReport(entry, rc, line, vals.begin(), vals.size());
}

SncExitValue SecAvail(bool avail) {
  return {SNC_VAL_TEXT, "sec_avail", avail ? "true" : "false", 0, nullptr};
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
  gSnc.profileNarrowFailed = false;
  const SncProgRow& row = kSncProgRows[progType];
  SNC_RC rc = WEQ_O_K;
  if (progType == 0) {
    gSnc.qopMax = 3;
    SncIChooseLibName(progType);
    if (gSnc.profileNarrowFailed) return SNCERR_INIT;
    rc = SncPDLInit(0, gSnc.libName, row.strict);
    if (rc == WEQ_O_K && gSncAdapter[0] != nullptr) rc = SncIInit();
  } else {
    if (gSnc.profileFile[0] != 0)
      SNC_TRC(2, "%.32s(): Reading configuration from '%.256s'.\n", "SncInit", gSnc.profileFile);
    bool enabled = true;
    SncIReadProfileConfig(progType, &enabled);
    if (gSnc.profileNarrowFailed) return SNCERR_INIT;
    if (!enabled) return WEQ_O_K;
    SncIChooseLibName(progType);
    if (gSnc.profileNarrowFailed) return SNCERR_INIT;
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
  if (rc == WEQ_O_K && gSnc.profileNarrowFailed) rc = SNCERR_INIT;
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
  SNC_TRC(3, "->> %.32s(prog_type=%d, profile=%.256s, sec_avail=%p)\n", "SncInit", progType,
          profileFile != nullptr ? profileFile : "(NULL)", static_cast<void*>(secAvail));
  if (progType < 0 || progType > 9 || secAvail == nullptr)
    return Exit("SncInit", SNCERR_FUNC_ARGS, __LINE__, {SecAvail(Active())});
  snprintf(gSnc.profileFile, sizeof gSnc.profileFile, "%s", profileFile != nullptr ? profileFile : "");
  *secAvail = Active() ? 1 : 0;
  if (Initialized()) {
    SNC_TRC(3, "%.32s(): already initialized, ignoring this call\n", "SncInit");
    *secAvail = Active() ? 1 : 0;
    return Exit("SncInit", gSnc.initRc, __LINE__, {SecAvail(*secAvail != 0)});
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
  return Exit("SncInit", rc, __LINE__, {SecAvail(*secAvail != 0)});
}

// --- Sessions -------------------------------------------------------------------------

SNC_RC SncSessionInit(SNC_HDL* hdl) {
  SncGlobalLock lock;  // the whole entry, GSS-API calls included
  SNC_TRC(3, "->> %.32s(&snc_hdl=%p)\n", "SncSessionInit", static_cast<void*>(hdl));
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
  return Exit("SncSessionInit", WEQ_O_K, __LINE__, {{SNC_VAL_OUT | SNC_VAL_ADDR, "snc_hdl", s, 0, nullptr}});
}

SNC_RC SncSessionDone(SNC_HDL* hdl) {
  SncGlobalLock lock;  // the whole entry, GSS-API calls included
  SNC_TRC(3, "->> %.32s(snc_hdl=%p)\n", "SncSessionDone", hdl != nullptr ? static_cast<void*>(*hdl) : nullptr);
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
  SNC_TRC(3, "->> %.32s(snc_hdl=%p, myname=\"%.256s\")\n", "SncSetMyName", static_cast<void*>(hdl),
          name != nullptr ? name : "(NULL)");
  SncSession* s = nullptr;
  SNC_RC rc = ActiveSession(hdl, true, &s);
  if (rc == WEQ_O_K && s->state != SNC_STATE_NONE) rc = SNCERR_NOT_AVAIL;
  if (rc == WEQ_O_K) rc = SncPSetNewName(s, &s->myName, name, 0, false);
  return Exit("SncSetMyName", rc, __LINE__, {{SNC_VAL_IN | SNC_VAL_TEXT, "myname", name != nullptr ? name : "", 256, nullptr}});
}

SNC_RC SncSessionAcceptor(SNC_HDL hdl, uint32_t sizeHint) {
  SncGlobalLock lock;  // the whole entry, GSS-API calls included
  SNC_TRC(3, "->> %.32s(snc_hdl=%p, size_hint=%u)\n", "SncSessionAcceptor", static_cast<void*>(hdl), sizeHint);
  SncSession* s = nullptr;
  SNC_RC rc = ActiveSession(hdl, false, &s);
  if (rc == WEQ_O_K) rc = SncPSetRole(s, SNC_ACCEPT, sizeHint);
  if (rc == WEQ_O_K) s->state = SNC_STATE_DO_ACCEPT;
  return Exit("SncSessionAcceptor", rc, __LINE__);
}

SNC_RC SncSessionInitiator(SNC_HDL hdl, int authType, uint32_t sizeHint, const char* target) {
  SncGlobalLock lock;  // the whole entry, GSS-API calls included
  SNC_TRC(3, "->> %.32s(snc_hdl=%p, auth_type=%d, size_hint=%u, target=\"%.256s\")\n", "SncSessionInitiator",
          static_cast<void*>(hdl), authType, sizeHint, target != nullptr ? target : "(NULL)");
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
  return Exit("SncSessionInitiator", rc, __LINE__,
              {{SNC_VAL_IN | SNC_VAL_TEXT, "target   ", target != nullptr ? target : "", 256, nullptr},
               {SNC_VAL_IN | SNC_VAL_TEXT, "parses to", s != nullptr ? s->peerName.prName : "", 256, nullptr}});
}

// --- Data ---------------------------------------------------------------------------

namespace {

// The "return values" of the data entries.
SncExitValue ReturnValues(char* buf, size_t size, const char* fmt, const char* level, size_t a, size_t b, size_t c) {
  snprintf(buf, size, fmt, level, static_cast<unsigned long>(a), static_cast<unsigned long>(b),
           static_cast<unsigned long>(c));
  return {SNC_VAL_TEXT, "return values", buf, 0, nullptr};
}

}  // namespace

SNC_RC SncProcessOutput(SNC_HDL hdl, const void* in, size_t inLen, uint8_t* done, const void** out,
                        size_t* outLen) {
  SncGlobalLock lock;  // the whole entry, GSS-API calls included
  constexpr const char* kE = "SncProcessOutput";
  SNC_TRC(3, "->> %.32s(snc_hdl=%p, in=%p, in_len=%lu)\n", kE, static_cast<void*>(hdl), in,
          static_cast<unsigned long>(inLen));
  if (SNC_TRC_ON(3)) SncPHexDump(3, "output data", in, in != nullptr ? inLen : 0, SncPDumpLimit(false));
  SncSession* s = hdl;
  size_t taken = 0;
  auto ret = [&](SNC_RC rc, int line) {
    // A success below level 2 reports nothing: no values to format.
    if (rc == WEQ_O_K && !SNC_TRC_ON(2)) return rc;
    char buf[128];
    const bool isDone = done != nullptr && *done != 0;
    return Exit(kE, rc, line,
                {ReturnValues(buf, sizeof buf, "(%.32s) in=%lu of %lu, out=%lu",
                              isDone && Valid(s) ? SncPQopName(s->qopUse) : "no data", taken, inLen,
                              outLen != nullptr ? *outLen : 0)});
  };
  if (done != nullptr) *done = 0;
  if (!Initialized()) return ret(SNCERR_INIT_FIRST, __LINE__);
  if (!Valid(s)) return ret(SNCERR_BAD_SNC_HDL, __LINE__);
  if (done == nullptr || out == nullptr || outLen == nullptr || (inLen > 0 && in == nullptr) || inLen > UINT32_MAX)
    return ret(SNCERR_FUNC_ARGS, __LINE__);
  *out = nullptr, *outLen = 0, *done = 0;
  if (!Active() || s->state == SNC_STATE_NONE) {
    if (Active() && s->transport != 1) return ret(SNCERR_WRONG_TRANSPORT, __LINE__);
    *out = in, *outLen = inLen, *done = 1, taken = inLen;
    return ret(WEQ_O_K, __LINE__);
  }
  if (s->transport != 1) return ret(SNCERR_WRONG_TRANSPORT, __LINE__);
  int action = 0;
  s->out.used = 0;
  const SNC_RC rc = SncPFrameOut(s, static_cast<const uint8_t*>(in), static_cast<uint32_t>(inLen), &action);
  if (rc == WEQ_O_K) {
    // Only a data frame takes the block: an INIT that completed the
    // context at once leaves it for the next call.
    const bool dataFrame = s->out.used > 8 && s->out.data[8] >= FR_DATA_OPEN && s->out.data[8] <= FR_DATA_WRAP;
    *done = (inLen > 0 && action == SNC_ACT_SEND && dataFrame) ||
            (inLen == 0 && (action & SNC_ACT_SEND) == 0 && s->state == SNC_STATE_ESTABLISHED);
    if (*done) taken = inLen;
    if ((action & SNC_ACT_SEND) != 0 && s->out.used > 0) *out = s->out.data, *outLen = s->out.used;
  }
  return ret(rc, __LINE__);
}

SNC_RC SncProcessInput(SNC_HDL hdl, const void* in, size_t inLen, const void** data, size_t* dataLen,
                       const void** back, size_t* backLen) {
  SncGlobalLock lock;  // the whole entry, GSS-API calls included
  constexpr const char* kE = "SncProcessInput";
  SNC_TRC(3, "->> %.32s(snc_hdl=%p, in=%p, in_len=%lu)\n", kE, static_cast<void*>(hdl), in,
          static_cast<unsigned long>(inLen));
  if (SNC_TRC_ON(3)) SncPHexDump(3, "input data", in, in != nullptr ? inLen : 0, SncPDumpLimit(false));
  SncSession* s = hdl;
  const char* level = "no data";
  auto ret = [&](SNC_RC rc, int line) {
    if (rc == WEQ_O_K && !SNC_TRC_ON(2)) return rc;
    char buf[128];
    return Exit(kE, rc, line,
                {ReturnValues(buf, sizeof buf, "(%.32s) in=%lu, back=%lu, out=%lu", level, inLen,
                              backLen != nullptr ? *backLen : 0, dataLen != nullptr ? *dataLen : 0)});
  };
  if (dataLen != nullptr) *dataLen = 0;
  if (backLen != nullptr) *backLen = 0;
  if (!Initialized()) return ret(SNCERR_INIT_FIRST, __LINE__);
  if (!Valid(s)) return ret(SNCERR_BAD_SNC_HDL, __LINE__);
  if (s->transport != 1) return ret(SNCERR_WRONG_TRANSPORT, __LINE__);
  if (in == nullptr || data == nullptr || dataLen == nullptr || back == nullptr || backLen == nullptr ||
      inLen > UINT32_MAX)
    return ret(SNCERR_FUNC_ARGS, __LINE__);
  *data = nullptr, *dataLen = 0, *back = nullptr, *backLen = 0;
  if (!Active() || s->state == SNC_STATE_NONE) {
    *data = in, *dataLen = inLen;
    level = SncPQopName(0);
    return ret(WEQ_O_K, __LINE__);
  }
  if (inLen == 0) return ret(WEQ_O_K, __LINE__);
  const uint8_t* p = static_cast<const uint8_t*>(in);
  const uint32_t len = static_cast<uint32_t>(inLen);
  uint32_t used = 0;
  const uint8_t* d = nullptr;
  uint32_t dl = 0;
  bool frame = false;
  SNC_RC rc = WEQ_O_K;
  s->out.used = 0;
  // Frames that deliver nothing (a token, an acknowledgement) are followed
  // by the rest of the input. At most one frame to send back can be held:
  // its bytes stay in the buffer unless a later step builds one too, and
  // then neither can be handed out.
  do {
    int action = 0;
    uint32_t step = 0;
    const uint32_t keep = s->out.used;
    rc = SncPFrameIn(s, p + used, len - used, &action, &step);
    used += step;
    if ((action & SNC_ACT_SEND) != 0) {
      if (frame) {
        SNC_TRCERR("%.32s(): Ooops! I've messed up my buffer !?", kE);
        return ret(SNCERR_INTERNAL, __LINE__);
      }
      if (s->out.used == 0) {
        SNC_TRCERR("%.32s(): a frame to send without bytes", kE);
        return ret(SNCERR_INTERNAL, __LINE__);
      }
      frame = true;
    } else {
      s->out.used = keep;
    }
    if ((action & SNC_ACT_DATA) != 0) d = s->dataOut, dl = s->dataOutLen;
    if (step == 0) break;
  } while (rc == WEQ_O_K && used < len && d == nullptr);
  // Input left behind a frame that delivered data is not dropped silently:
  // the data goes out with a code that tells the caller the input was not
  // used whole; the rest has not been looked at and can be handed in again.
  if (rc == WEQ_O_K && used < len) {
    SNC_TRC(1, "%.32s(): Ooops, remaining input data= %u !?\n", kE, len - used);
    rc = SNCERR_BUFFER_TOO_SMALL;
  }
  if (frame) *back = s->out.data, *backLen = s->out.used;
  if (d != nullptr) {
    *data = d, *dataLen = dl;
    level = SncPQopName(s->dataLevel);
  }
  return ret(rc, __LINE__);
}

// --- Quality of protection ----------------------------------------------------------

namespace {

bool QopValue(int v) { return (v >= 1 && v <= 3) || (v >= 7 && v <= 9); }
bool Symbolic(int v) { return v >= 7; }

}  // namespace

SNC_RC SncPResolveQop(SncQop cur, int best, SncQop req, SncQop* out) {
  if (!QopValue(req.max) || !QopValue(req.min) || !QopValue(req.use)) return SNCERR_BAD_QOP_VALUE;
  // The maximum. "min default" takes the minimum that was asked for; when
  // that is symbolic too it resolves the way the minimum does below (the
  // current minimum, or the current maximum for "max default"), so that a
  // stored maximum is always a level. Only given levels are lowered to the
  // adapter's best.
  int x = req.max;
  bool givenX = !Symbolic(x);
  if (req.max == 8 || req.max == 9) {
    x = cur.max;
  } else if (req.max == 7) {
    givenX = !Symbolic(req.min);
    x = !givenX ? (req.min == 9 ? cur.max : cur.min) : req.min;
  }
  if (givenX && x > best) x = best;
  // The minimum, then the two compared.
  int m = req.min;
  if (req.min == 7 || req.min == 8) {
    m = cur.min;
  } else if (req.min == 9) {
    m = cur.max;
  } else if (m > x) {
    m = x;
  }
  if (x < m) return SNCERR_FUNC_ARGS;
  // The use; a given level above the maximum raises it.
  int u = req.use;
  if (req.use == 8) {
    const int low = x < cur.use ? x : cur.use;
    u = m > low ? m : low;
  } else if (req.use == 7) {
    u = m;
  } else if (req.use == 9) {
    u = x;
  } else if (u > best) {
    return SNCERR_QOP_UNAVAIL;
  } else if (u <= x) {
    if (u < m) u = m;
  } else {
    x = u;
  }
  *out = SncQop{m, x, u};
  return WEQ_O_K;
}

SNC_RC SncSetQOP(SNC_HDL hdl, int min, int max, int use) {
  SncGlobalLock lock;  // the whole entry
  constexpr const char* kE = "SncSetQOP";
  SNC_TRC(3, "->> %.32s(snc_hdl=%p, min=%.30s, max=%.30s, qop=%.30s)\n", kE, static_cast<void*>(hdl),
          SncPQopName(min), SncPQopName(max), SncPQopName(use));
  SncSession* s = nullptr;
  SNC_RC rc = ActiveSession(hdl, true, &s);
  SncQop old{}, now{};
  if (rc == WEQ_O_K) {
    old = now = SncQop{s->qopMin, s->qopMax, s->qopUse};
    rc = SncPResolveQop(old, s->qopMaxAvail, SncQop{min, max, use}, &now);
  }
  if (rc == WEQ_O_K) s->qopMin = now.min, s->qopMax = now.max, s->qopUse = now.use;
  char request[160], result[160];
  snprintf(request, sizeof request, "min=%u (%.30s), max=%u (%.30s), use=%u (%.30s)", static_cast<unsigned>(min),
           SncPQopName(min), static_cast<unsigned>(max), SncPQopName(max), static_cast<unsigned>(use),
           SncPQopName(use));
  snprintf(result, sizeof result, "min=%u (old:%u), max=%u (old:%u), use=%u (old:%u)", now.min, old.min, now.max,
           old.max, now.use, old.use);
  return Exit(kE, rc, __LINE__,
              {{SNC_VAL_IN | SNC_VAL_TEXT, "qop values", request, 0, nullptr},
               {SNC_VAL_IN | SNC_VAL_TEXT, " resulting", result, 0, nullptr}});
}

// --- Peer name queries ----------------------------------------------------------------

namespace {

// A copy of bytes of kind that lives as long as the session: the newest
// copy of that kind when it holds the same bytes, else a new one.
const uint8_t* Keep(SncSession* s, int kind, const void* bytes, size_t len) {
  for (SncKept* k = s->kept; k != nullptr; k = k->next) {
    if (k->kind != kind) continue;
    if (k->len == len && memcmp(k->data, bytes, len) == 0) return k->data;
    break;
  }
  SncKept* k = static_cast<SncKept*>(malloc(sizeof(SncKept) + len));
  if (k == nullptr) return nullptr;
  k->kind = kind;
  k->len = len;
  k->data = reinterpret_cast<uint8_t*>(k + 1);
  memcpy(k->data, bytes, len);
  k->next = s->kept;
  s->kept = k;
  return k->data;
}

// Why a session has no peer name (or key) to give: what is for the trace.
SNC_RC NoPeerName(const SncSession* s, const char* entry, const char* what) {
  if (s->state == SNC_STATE_ESTABLISHED) {
    SNC_TRCERR("%.32s(): Huh? state=ESTABLISHED, but no %s !?", entry, what);
    return SNCERR_INTERNAL;
  }
  if (s->role == SNC_INITIATE) {
    SNC_TRCERR("%.32s(): %s not set !?", entry, what);
    return SNCERR_NOT_AVAIL;
  }
  if (s->role == SNC_ACCEPT) return s->state < SNC_STATE_SHUTDOWN ? SNCERR_TRY_LATER : SNCERR_NOT_AVAIL;
  return SNCERR_INTERNAL;
}

}  // namespace

void SncPFreeKept(SncSession* s) {
  while (s->kept != nullptr) {
    SncKept* next = s->kept->next;
    free(s->kept);
    s->kept = next;
  }
}

SNC_RC SncGetPeerName(SNC_HDL hdl, const char** name) {
  SncGlobalLock lock;  // the whole entry
  constexpr const char* kE = "SncGetPeerName";
  SNC_TRC(3, "->> %.32s(snc_hdl=%p)\n", kE, static_cast<void*>(hdl));
  SncSession* s = nullptr;
  const char* peer = nullptr;
  SNC_RC rc = ActiveSession(hdl, false, &s);
  if (rc == WEQ_O_K && name == nullptr) rc = SNCERR_FUNC_ARGS;
  if (rc == WEQ_O_K && s->state == SNC_STATE_NONE) rc = SNCERR_TRY_LATER;
  if (rc == WEQ_O_K) {
    if (s->peerName.prName[0] == 0) {
      rc = NoPeerName(s, kE, "peer_name");
    } else {
      peer = reinterpret_cast<const char*>(Keep(s, SNC_KEPT_PRNAME, s->peerName.prName, strlen(s->peerName.prName) + 1));
      if (peer == nullptr) rc = SNCERR_NO_RESOURCE;
    }
  }
  if (name != nullptr) *name = peer;
  return Exit(kE, rc, __LINE__, {{SNC_VAL_OUT | SNC_VAL_TEXT, "peer_name", peer, 0, nullptr}});
}

SNC_RC SncGetPeerAclKey(SNC_HDL hdl, const uint8_t** key, size_t* len) {
  SncGlobalLock lock;  // the whole entry
  constexpr const char* kE = "SncGetPeerAclKey";
  SNC_TRC(3, "->> %.32s(snc_hdl=%p)\n", kE, static_cast<void*>(hdl));
  SncSession* s = nullptr;
  const uint8_t* k = nullptr;
  size_t n = 0;
  SNC_RC rc = ActiveSession(hdl, false, &s);
  if (rc == WEQ_O_K && (key == nullptr || len == nullptr)) rc = SNCERR_FUNC_ARGS;
  if (rc == WEQ_O_K && s->state == SNC_STATE_NONE) rc = SNCERR_TRY_LATER;
  if (rc == WEQ_O_K) {
    if (s->peerName.xpName == nullptr || s->peerName.xpLen == 0) {
      rc = NoPeerName(s, kE, "peer_aclkey");
    } else {
      k = Keep(s, SNC_KEPT_ACLKEY, s->peerName.xpName, s->peerName.xpLen);
      n = k != nullptr ? s->peerName.xpLen : 0;
      if (k == nullptr) rc = SNCERR_NO_RESOURCE;
    }
  }
  if (key != nullptr) *key = k;
  if (len != nullptr) *len = n;
  return Exit(kE, rc, __LINE__, {{SNC_VAL_OUT, "peer_aclkey", k, n, nullptr}});
}

// --- 16-bit entries ---------------------------------------------------------------------

namespace {

constexpr size_t kU16NameMax = 256;  // characters of a narrowed name

// The refusal of a 16-bit text that has no 8-bit form.
SNC_RC RefuseU16(const char* entry, int line) {
  SncGlobalLock lock;
  SNC_TRC(1, "%.32s(): name not convertible to 8-bit chars\n", entry);
  return Exit(entry, SNCERR_UNICODE_CONVERSION, line);
}

}  // namespace

SNC_RC SncSetMyNameU16(SNC_HDL hdl, const WEQ_UC* name) {
  if (name == nullptr) return SncSetMyName(hdl, nullptr);
  char narrow[kU16NameMax + 1];
  if (!SncPNarrow(name, kU16NameMax, narrow)) return RefuseU16("SncSetMyNameU16", __LINE__);
  return SncSetMyName(hdl, narrow);
}

SNC_RC SncSessionInitiatorU16(SNC_HDL hdl, int authType, uint32_t sizeHint, const WEQ_UC* target) {
  if (target == nullptr) return SncSessionInitiator(hdl, authType, sizeHint, nullptr);
  char narrow[kU16NameMax + 1];
  if (!SncPNarrow(target, kU16NameMax, narrow)) return RefuseU16("SncSessionInitiatorU16", __LINE__);
  return SncSessionInitiator(hdl, authType, sizeHint, narrow);
}

SNC_RC SncGetPeerNameU16(SNC_HDL hdl, const WEQ_UC** name) {
  const char* narrow = nullptr;
  SNC_RC rc = SncGetPeerName(hdl, name != nullptr ? &narrow : nullptr);
  if (name == nullptr) return rc;
  *name = nullptr;
  if (rc != WEQ_O_K) return rc;
  SncGlobalLock lock;
  WEQ_UC wide[kU16NameMax];  // 255 characters and the terminator
  SncPWiden(wide, kU16NameMax, narrow);
  size_t units = 0;
  while (wide[units] != 0) ++units;
  *name = reinterpret_cast<const WEQ_UC*>(Keep(hdl, SNC_KEPT_PRNAME16, wide, (units + 1) * sizeof(WEQ_UC)));
  if (*name == nullptr) return Exit("SncGetPeerNameU16", SNCERR_NO_RESOURCE, __LINE__);
  return WEQ_O_K;
}

#undef SNC_MODULE
