// SNC context establishment and the session state machine: credentials,
// one establishment step over the GSS-API, the refresh of a context in
// place, the protection of user data, and the two steps that the API
// drives, SncPFrameOut for what goes to the peer and SncPFrameIn for what
// comes from it.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "krn/snc/snc_int.h"

namespace {
#define SNC_MODULE "sncxxctx"
constexpr uint32_t kDefaultOutBuf = 3500;

const SncAdapter* A(const SncSession* s) { return gSncAdapter[s->adapterIndex == 0 ? 0 : 0]; }

const char* const kStates[] = {"NONE",       "UNDECIDED", "DO_INITIATE", "DO_ACCEPT",   "DO_INI_REFR",
                               "DO_ACC_REFR", "INITIATING", "ACCEPTING", "INI_REFR",    "ACC_REFR",
                               "ESTABLISHED", "SHUTDOWN",  "SHUTDOWN_MSG", "DEAD",       "ERROR"};

SncBytes Bytes(const void* p, size_t n) { return {static_cast<const uint8_t*>(p), static_cast<uint32_t>(n)}; }

// Releases the context and records a refusing library.
void DeleteContext(SncSession* s) {
  if (s->ctx == GSS_C_NO_CONTEXT) return;
  OM_uint32 minor = 0;
  if (GSS_ERROR(SncGss<SNC_FN_delete_sec_context>(A(s))(&minor, &s->ctx, GSS_C_NO_BUFFER)) != 0) {
    SncPSetErrInfo(SNC_MODULE, __LINE__, SNCERR_PLAUSI, "Cleanup: trying to delete security context failed");
    SNC_TRC(1, "%.32s(): gss_delete_context failed\n", "SncPDeleteContext");
  }
  s->ctx = GSS_C_NO_CONTEXT;
}

void ReleaseCred(const SncAdapter* a, gss_cred_id_t* cred) {
  if (*cred == GSS_C_NO_CREDENTIAL) return;
  OM_uint32 minor = 0;
  if (GSS_ERROR(SncGss<SNC_FN_release_cred>(a)(&minor, cred)) != 0)
    SncPSetErrInfo(SNC_MODULE, __LINE__, SNCERR_PLAUSI, "Cleanup: trying to release credentials failed");
  *cred = GSS_C_NO_CREDENTIAL;
}

// Sends one frame: MakeFrame into the session's buffer; a failure puts the
// session in ERROR.
SNC_RC Send(SncSession* s, int type, SncBytes token, SncBytes data, const SncBytes* items = nullptr,
            uint16_t flags = 0) {
  SNC_RC rc = MakeFrame(s, token, data, type, flags, items, &s->out);
  if (rc != WEQ_O_K) s->state = SNC_STATE_ERROR;
  return rc;
}

SncBytes OwnId(const SncSession* s) {
  const SncAdapter* a = A(s);
  return Bytes(a->idText, strlen(a->idText));
}

// The refresh rule of the initiator: credentials of lifetime L, context of
// remaining lifetime R.
bool WorthRefreshing(uint32_t L, uint32_t R) {
  if (L == GSS_C_INDEFINITE) return true;
  const uint64_t l = L, r = R;
  return (r < uint64_t(gSnc.refWatermark) + 600 && l > r + 600) || (r <= 300 && l > r + 300);
}

}  // namespace

const char* SncPStateName(int state) { return state >= 0 && state <= SNC_STATE_ERROR ? kStates[state] : "????"; }

const char* SncPRoleName(int role) {
  switch (role) {
    case SNC_NO_ROLE: return "NO_ROLE";
    case SNC_INITIATE: return "INITIATE";
    case SNC_ACCEPT: return "ACCEPT";
    case SNC_HIDDEN_INITIATE: return "HIDDEN_INITIATE";
    default: return "????";
  }
}

const char* SncPLifetimeText(uint32_t s, char* buf, size_t size) {
  if (s == 0) return "Expired";
  if (s == 0xFFFFFFFFu) return "Indefinite";
  snprintf(buf, size, "%02uh %02um %02us", s / 3600, s / 60 % 60, s % 60);
  return buf;
}

void SncPSessionRelease(SncSession* s) {
  const SncAdapter* a = A(s);
  if (a != nullptr) {
    DeleteContext(s);
    ReleaseCred(a, &s->cred);
    SncPReleaseName(a, &s->peerGssName);
    SncPReleaseBuffer(a, &s->unwrapped);
  }
  SncPClearName(&s->myName);
  SncPClearName(&s->peerName);
  SncPFreeOutBuf(&s->out);
  SncPFreeKept(s);
}

SNC_RC SncPAcquireCred(SncSession* s, int usage, OM_uint32* lifetime) {
  const SncAdapter* a = A(s);
  gss_name_t name = GSS_C_NO_NAME;
  const bool named = s->myName.xpName != nullptr || s->myName.prName[0] != 0;
  if (named) {
    SNC_RC rc = SncPGSSImportName(s, &s->myName, &name);
    if (rc != WEQ_O_K) return rc;
  }
  gss_OID_set_desc mechs = {1, a->mech};
  OM_uint32 minor = 0, timeRec = 0;
  gss_cred_id_t cred = GSS_C_NO_CREDENTIAL;
  const OM_uint32 major = SncGss<SNC_FN_acquire_cred>(a)(&minor, name, GSS_C_INDEFINITE, &mechs, usage, &cred,
                                                         nullptr, &timeRec);
  SncPReleaseName(a, &name);
  if (GSS_ERROR(major) != 0) {
    if (lifetime != nullptr && (GSS_ERROR(major) == GSS_S_CREDENTIALS_EXPIRED || GSS_ERROR(major) == GSS_S_NO_CRED)) {
      *lifetime = 0;
      ReleaseCred(a, &s->cred);
      return WEQ_O_K;
    }
    char text[160], object[300];
    snprintf(text, sizeof text, "Could't acquire %.16s%.16scredentials%.8s\n", named ? "" : "DEFAULT ",
             usage == GSS_C_INITIATE ? "INITIATING " : "ACCEPTING ", named ? " for" : "");
    snprintf(object, sizeof object, "%s", named ? s->myName.prName : "");
    SncPErrFunc(a, "SncPAcquireCred", "gss_acquire_cred", SNCERR_GSSAPI, major, minor, text, named ? object : nullptr);
    return SNCERR_GSSAPI;
  }
  ReleaseCred(a, &s->cred);
  s->cred = cred;
  if (lifetime != nullptr) *lifetime = timeRec;
  return WEQ_O_K;
}

SNC_RC SncPCheckCred(SncSession* s, int usage, OM_uint32* lifetime) {
  OM_uint32 life = 0;
  SNC_RC rc = SncPAcquireCred(s, usage, &life);
  if (rc != WEQ_O_K) return rc;
  char buf[64];
  SNC_TRC(2, "%.32s(): Credentials available, lifetime = %.64s\n", "SncPCheckCred", SncPLifetimeText(life, buf, sizeof buf));
  ReleaseCred(A(s), &s->cred);
  if (lifetime != nullptr) *lifetime = life;
  return WEQ_O_K;
}

SNC_RC SncPContextTime(SncSession* s, OM_uint32* seconds) {
  *seconds = 0;
  if (s->state != SNC_STATE_ESTABLISHED) return SNCERR_INTERNAL;
  OM_uint32 minor = 0;
  const OM_uint32 major = SncGss<SNC_FN_context_time>(A(s))(&minor, s->ctx, seconds);
  if (GSS_ERROR(major) == GSS_S_CONTEXT_EXPIRED || GSS_ERROR(major) == GSS_S_CREDENTIALS_EXPIRED) {
    *seconds = 0;
    return WEQ_O_K;
  }
  if (GSS_ERROR(major) != 0) {
    SncPErrFunc(A(s), "SncPContextTime", "gss_context_time", SNCERR_GSSAPI, major, minor,
                "Inquiry of the security context's lifetime failed", nullptr);
    return SNCERR_GSSAPI;
  }
  return WEQ_O_K;
}

SNC_RC SncPSetRole(SncSession* s, int role, uint32_t sizeHint) {
  if (s->state != SNC_STATE_NONE && s->state != SNC_STATE_UNDECIDED) return SNCERR_SESSION_ACTIVE;
  SNC_RC rc = SncPGrowOutBuf(&s->out, sizeHint != 0 ? sizeHint : kDefaultOutBuf);
  if (rc != WEQ_O_K) return rc;
  const SncAdapter* a = A(s);
  s->role = role;
  DeleteContext(s);
  SncPReleaseName(a, &s->peerGssName);
  ReleaseCred(a, &s->cred);
  s->framesIn = s->framesOut = 0;
  s->ackFlag = false;
  s->refWatermark = gSnc.refWatermark;
  if (role != SNC_INITIATE) return WEQ_O_K;
  rc = SncPGSSImportName(s, &s->peerName, &s->peerGssName);
  if (rc == WEQ_O_K) rc = SncPAcquireCred(s, GSS_C_INITIATE, nullptr);
  return rc;
}

SNC_RC SncPEstablishContext(SncSession* s, const uint8_t* token, uint32_t len, gss_buffer_desc* out, bool* complete) {
  const SncAdapter* a = A(s);
  *out = GSS_C_EMPTY_BUFFER;
  *complete = false;
  const bool wasRefresh = s->state == SNC_STATE_ACC_REFR || s->state == SNC_STATE_INI_REFR;
  OM_uint32 req = GSS_C_SEQUENCE_FLAG | GSS_C_CONF_FLAG | GSS_C_INTEG_FLAG;
  if (a->info.mutual && s->authType == 1) req |= GSS_C_MUTUAL_FLAG;
  if (a->info.replay) req |= GSS_C_REPLAY_FLAG;
  gss_buffer_desc in = {token != nullptr ? len : 0, const_cast<uint8_t*>(token)};
  OM_uint32 minor = 0, retFlags = 0, timeRec = 0, major;
  if (s->role == SNC_INITIATE) {
    major = SncGss<SNC_FN_init_sec_context>(a)(&minor, s->cred, &s->ctx, s->peerGssName, a->mech, req,
                                                gSnc.ctxLifetime, GSS_C_NO_CHANNEL_BINDINGS,
                                                token != nullptr ? &in : GSS_C_NO_BUFFER, nullptr, out, &retFlags,
                                                &timeRec);
  } else {
    SncPReleaseName(a, &s->peerGssName);
    major = SncGss<SNC_FN_accept_sec_context>(a)(&minor, &s->ctx, s->cred, &in, GSS_C_NO_CHANNEL_BINDINGS,
                                                  &s->peerGssName, nullptr, out, &retFlags, &timeRec, nullptr);
  }
  if (GSS_ERROR(major) == 0 && (major & GSS_S_CONTINUE_NEEDED) != 0) return WEQ_O_K;

  SNC_RC rc = WEQ_O_K;
  if (GSS_ERROR(major) != 0) {
    rc = SNCERR_GSSAPI;
    const bool ini = s->role == SNC_INITIATE;
    if (ini) {
      SNC_TRCERR("%.32s() failed for target='%.260s'", "gss_init_sec_context", s->peerName.prName);
    } else if (s->peerGssName != GSS_C_NO_NAME) {
      SncName src{};
      src.adapterIndex = static_cast<uint8_t>(s->adapterIndex);
      if (SncPDisplayGSSName(s, s->peerGssName, &src) == WEQ_O_K) {
        SncPClearName(&s->peerName);
        s->peerName = src;
      } else {
        SncPClearName(&src);
      }
    }
    char object[300];
    snprintf(object, sizeof object, "%s \"%.256s\"", ini ? "target" : "source", s->peerName.prName);
    SncPErrFunc(a, "SncPEstablishContext", ini ? "gss_init_sec_context" : "gss_accept_sec_context", rc, major, minor,
                "Unable to establish the security context", object);
    SncPReleaseBuffer(a, out);
  } else {
    // Complete: expiry, the peer's identity and the services are checked
    // before any data may flow.
    s->frameFlags &= static_cast<uint16_t>(~SNC_FLAG_REFRESH);
    s->state = SNC_STATE_ESTABLISHED;
    OM_uint32 R = 0;
    rc = SncPContextTime(s, &R);
    if (rc == WEQ_O_K && R == 0) rc = SNCERR_CONTEXT_EXPIRED;
    if (rc == WEQ_O_K) {
      if (R != GSS_C_INDEFINITE && s->refWatermark >= 0 && R < static_cast<uint32_t>(s->refWatermark))
        s->refWatermark = static_cast<int32_t>(R / 2);
      if (s->peerVersion < 2) s->refWatermark = -1;
    }
    if (rc == WEQ_O_K && s->role == SNC_ACCEPT) {
      if (s->peerGssName == GSS_C_NO_NAME) {
        rc = SNCERR_AUTH_FAILED;
        SncPSetErrInfo(SNC_MODULE, __LINE__, rc, "Authentication failure, no peer name available");
      } else {
        SncName src{};
        src.adapterIndex = static_cast<uint8_t>(s->adapterIndex);
        rc = SncPExportGSSName(s, s->peerGssName, &src);
        if (rc == WEQ_O_K) rc = SncPDisplayGSSName(s, s->peerGssName, &src);
        if (rc == WEQ_O_K && s->peerName.xpName == nullptr) {
          SncPClearName(&s->peerName);
          s->peerName = src;
          src = SncName{};
        } else if (rc == WEQ_O_K) {
          bool equal = false;
          rc = SncPCompareNames(&s->peerName, &src, &equal);
          if (rc == WEQ_O_K && !equal) {
            rc = wasRefresh ? SNCERR_REFRESH_WRONG_CRED : SNCERR_AUTH_MISMATCH;
            SNC_TRC(1, "%.16s%.32s(): %.32s -- wrong peer!\n   expecting   = \"%.260s\"\n   but peer is = \"%.260s\"\n",
                    "*** ", "SncPEstablishContext", SncErrName(rc), s->peerName.prName, src.prName);
            char detail[600];
            snprintf(detail, sizeof detail, "wrong peer \"%.256s\", expecting \"%.256s\"", src.prName,
                     s->peerName.prName);
            SncPSetErrInfo(SNC_MODULE, __LINE__, rc, detail);
          } else if (rc == WEQ_O_K) {
            SNC_TRC(2, "  %.32s(): %.32s authentication succeeded for\n    peer = \"%.260s\"\n",
                    "SncPEstablishContext", wasRefresh ? "refresh" : "requested", s->peerName.prName);
          }
        }
        SncPClearName(&src);
      }
    }
    if (rc == WEQ_O_K) {
      s->integAvail = (retFlags & GSS_C_INTEG_FLAG) != 0;
      s->confAvail = (retFlags & GSS_C_CONF_FLAG) != 0;
      s->ctxLevel = s->confAvail ? 3 : s->integAvail ? 2 : 1;
      const bool mutualAsked = (req & GSS_C_MUTUAL_FLAG) != 0;
      if ((mutualAsked && (retFlags & GSS_C_MUTUAL_FLAG) == 0) || (s->qopUse >= 3 && !s->confAvail) ||
          (s->qopUse >= 2 && !s->integAvail)) {
        rc = SNCERR_MISSING_FEATURE;
        char detail[160];
        snprintf(detail, sizeof detail, "context flags 0x%x lack the requested services (use=%d, mutual=%d)",
                 retFlags, s->qopUse, mutualAsked ? 1 : 0);
        SncPSetErrInfo(SNC_MODULE, __LINE__, rc, detail);
      }
    }
    if (rc == WEQ_O_K) {
      if (s->role == SNC_ACCEPT) SncPReleaseName(a, &s->peerGssName);
      ReleaseCred(a, &s->cred);
      *complete = true;
      return WEQ_O_K;
    }
    SncPReleaseBuffer(a, out);
  }
  DeleteContext(s);
  s->state = SNC_STATE_ERROR;
  SncPReleaseName(a, &s->peerGssName);
  ReleaseCred(a, &s->cred);
  return rc;
}

SNC_RC SncPReplaceContext(SncSession* s, int target) {
  const bool acceptor = target == SNC_STATE_DO_ACCEPT || target == SNC_STATE_DO_ACC_REFR;
  if (acceptor && s->peerName.xpName == nullptr) {
    SNC_TRCERR("%.32s(): BUG! peer aclkey requiredto validate refresh!", "SncPReplaceContext");
    s->state = SNC_STATE_ERROR;
    return SNCERR_INTERNAL;
  }
  const SncAdapter* a = A(s);
  DeleteContext(s);
  ReleaseCred(a, &s->cred);
  SncPReleaseName(a, &s->peerGssName);
  s->state = SNC_STATE_NONE;
  if (target == SNC_STATE_DO_INI_REFR || target == SNC_STATE_DO_ACC_REFR) {
    s->frameFlags |= SNC_FLAG_REFRESH;
  } else {
    s->frameFlags &= static_cast<uint16_t>(~SNC_FLAG_REFRESH);
  }
  const bool ack = s->ackFlag;
  SNC_RC rc;
  if (acceptor) {
    rc = SncPGrowOutBuf(&s->out, kDefaultOutBuf);
    s->role = SNC_ACCEPT;
    s->framesIn = s->framesOut = 0;
    s->refWatermark = gSnc.refWatermark;
  } else {
    rc = SncPSetRole(s, SNC_INITIATE, s->out.capacity);
  }
  s->ackFlag = ack;
  s->state = rc == WEQ_O_K ? target : SNC_STATE_ERROR;
  return rc;
}

namespace {

// INIT from the initiator: the establishment step and, with a token, the
// ACCEPT frame.
SNC_RC SendInit(SncSession* s, int* action) {
  // A context that completes at once has cleared the session's refresh
  // bit; the INIT of a refresh still carries it.
  const uint16_t refresh = s->state == SNC_STATE_INI_REFR ? SNC_FLAG_REFRESH : 0;
  gss_buffer_desc tok;
  bool complete = false;
  SNC_RC rc = SncPEstablishContext(s, nullptr, 0, &tok, &complete);
  if (rc != WEQ_O_K) return rc;
  SncBytes items[SNC_FRAME_ITEMS] = {};
  if (s->peerName.xpName != nullptr && s->peerName.xpLen > 2) {
    items[0] = Bytes(s->peerName.xpName, s->peerName.xpLen);
  } else {
    SNC_TRC(1, "OOPS!: Where is my canonical peer name?\n");
  }
  rc = Send(s, FR_INIT, Bytes(tok.value, tok.length), OwnId(s), items, refresh);
  SncPReleaseBuffer(A(s), &tok);
  if (rc != WEQ_O_K) return rc;
  *action = complete ? SNC_ACT_SEND : SNC_ACT_SEND | SNC_ACT_MORE;
  return WEQ_O_K;
}

// Protects one block by the QOP in use and sends it.
SNC_RC SendData(SncSession* s, const uint8_t* data, uint32_t len) {
  const SncAdapter* a = A(s);
  gss_buffer_desc msg = {len, const_cast<uint8_t*>(data)}, tok = GSS_C_EMPTY_BUFFER;
  OM_uint32 minor = 0, major = 0;
  SNC_RC rc;
  switch (s->qopUse) {
    case 1:
      return Send(s, FR_DATA_OPEN, {}, Bytes(data, len));
    case 2:
      major = SncGss<SNC_FN_get_mic>(a)(&minor, s->ctx, GSS_C_QOP_DEFAULT, &msg, &tok);
      if (GSS_ERROR(major) != 0) {
        rc = GSS_ERROR(major) == GSS_S_CONTEXT_EXPIRED ? SNCERR_CONTEXT_EXPIRED : SNCERR_GSSAPI;
        SncPErrFunc(a, "SncPFrameOut", "gss_get_mic", rc, major, minor, "Integrity protection of data failed", nullptr);
        SncPReleaseBuffer(a, &tok);
        return rc;
      }
      rc = Send(s, FR_DATA_MIC, Bytes(tok.value, tok.length), Bytes(data, len));
      SncPReleaseBuffer(a, &tok);
      return rc;
    case 3: {
      int conf = 0;
      major = SncGss<SNC_FN_wrap>(a)(&minor, s->ctx, 1, GSS_C_QOP_DEFAULT, &msg, &conf, &tok);
      if (GSS_ERROR(major) != 0 || conf == 0) {
        rc = GSS_ERROR(major) == GSS_S_CONTEXT_EXPIRED ? SNCERR_CONTEXT_EXPIRED : SNCERR_GSSAPI;
        SncPErrFunc(a, "SncPFrameOut", "gss_wrap", rc, major, minor,
                    GSS_ERROR(major) != 0 ? "Privacy protection of data failed"
                                          : "Privacy protection refused? (*conf_state==FALSE)!",
                    nullptr);
        SncPReleaseBuffer(a, &tok);
        return rc;
      }
      rc = Send(s, FR_DATA_WRAP, Bytes(tok.value, tok.length), {});
      SncPReleaseBuffer(a, &tok);
      return rc;
    }
    default:
      SNC_TRCERR("%.32s(): QOP use %d unknown", "SncPFrameOut", s->qopUse);
      return SNCERR_INTERNAL;
  }
}

// The refresh check before data goes out; may send the frame that starts
// the refresh instead (*sent).
SNC_RC RefreshCheck(SncSession* s, int* action, bool* sent) {
  *sent = false;
  OM_uint32 R = 0;
  SNC_RC rc = SncPContextTime(s, &R);
  if (rc != WEQ_O_K) return rc;
  int32_t& W = s->refWatermark;
  if (W < 0 || R > static_cast<uint32_t>(W)) return WEQ_O_K;
  char buf[64];
  if (R == 0 || W < 1) {
    W = -1;
    SNC_TRC(1, "%.32s(): Security context expired\n", "SncPFrameOut");
  } else {
    const int32_t step = s->role == SNC_ACCEPT ? 240 : gSnc.progType == 5 ? 5 : 120;
    W = W > step ? W - step : 0;
    SNC_TRC(2, "%.32s(): *** security context expires in %.64s\n", "SncPFrameOut", SncPLifetimeText(R, buf, sizeof buf));
  }
  if (s->role == SNC_ACCEPT) {
    s->state = SNC_STATE_DO_ACC_REFR;
    SNC_TRC(2, "%.32s(): REQUESTING security context refresh\n", "SncPFrameOut");
    s->frameFlags |= SNC_FLAG_REFRESH;
    rc = Send(s, FR_INIT_REQ, {}, {});
    if (rc != WEQ_O_K) return rc;
    s->ackFlag = true;
    *action = SNC_ACT_SEND | SNC_ACT_MORE;
    *sent = true;
    return WEQ_O_K;
  }
  OM_uint32 L = 0;
  rc = SncPAcquireCred(s, GSS_C_INITIATE, &L);
  if (rc != WEQ_O_K) return rc;
  if (!WorthRefreshing(L, R)) {
    SNC_TRC(2, "%.32s(): Credentials too old! (lifetime = %.64s)\n", "SncPFrameOut", SncPLifetimeText(L, buf, sizeof buf));
    return WEQ_O_K;
  }
  s->ackFlag = false;
  SNC_TRC(2, "%.32s(): INITIATING security context refresh\n", "SncPFrameOut");
  rc = SncPReplaceContext(s, SNC_STATE_DO_INI_REFR);
  if (rc != WEQ_O_K) return rc;
  s->state = SNC_STATE_INI_REFR;
  rc = SendInit(s, action);
  if (rc != WEQ_O_K) s->state = SNC_STATE_ERROR;
  *sent = true;
  return rc;
}

}  // namespace

SNC_RC SncPFrameOut(SncSession* s, const uint8_t* data, uint32_t len, int* action) {
  *action = 0;
  SNC_RC rc = WEQ_O_K;
  switch (s->state) {
    case SNC_STATE_DO_INI_REFR:
      rc = SncPReplaceContext(s, SNC_STATE_DO_INI_REFR);
      if (rc != WEQ_O_K) return rc;
      s->state = SNC_STATE_INI_REFR;
      rc = SendInit(s, action);
      if (rc != WEQ_O_K) s->state = SNC_STATE_ERROR;
      return rc;
    case SNC_STATE_DO_INITIATE:
      s->state = SNC_STATE_INITIATING;
      rc = SendInit(s, action);
      if (rc != WEQ_O_K) s->state = SNC_STATE_ERROR;
      return rc;
    case SNC_STATE_DO_ACCEPT:
    case SNC_STATE_DO_ACC_REFR:
      if (s->state == SNC_STATE_DO_ACC_REFR) s->frameFlags |= SNC_FLAG_REFRESH;
      rc = Send(s, FR_INIT_REQ, {}, {});
      if (rc != WEQ_O_K) return rc;
      s->ackFlag = true;
      *action = SNC_ACT_SEND | SNC_ACT_MORE;
      return WEQ_O_K;
    case SNC_STATE_INITIATING:
    case SNC_STATE_ACCEPTING:
    case SNC_STATE_INI_REFR:
    case SNC_STATE_ACC_REFR:
      *action = SNC_ACT_MORE;
      return WEQ_O_K;
    case SNC_STATE_DEAD:
    case SNC_STATE_ERROR:
      return SNCERR_DEAD;
    case SNC_STATE_ESTABLISHED:
      break;
    default:
      return SNCERR_INTERNAL;
  }
  if (len == 0) return WEQ_O_K;
  if (s->lastDataLevel == 0 && s->role == SNC_INITIATE && s->peerVersion >= 4) s->qopMin = s->qopUse;
  bool sent = false;
  rc = RefreshCheck(s, action, &sent);
  if (rc != WEQ_O_K || sent) {
    if (rc != WEQ_O_K) s->state = SNC_STATE_ERROR;
    return rc;
  }
  rc = SendData(s, data, len);
  if (rc != WEQ_O_K) return rc;
  *action = SNC_ACT_SEND;
  return WEQ_O_K;
}

namespace {

SNC_RC Confused(SncSession* s, const SncParsedFrame& f) {
  SNC_TRCERR("SncPFrameIn(): Unexpected situation -- I'm confused\n   I received frame FR_%.32s(len=%d/token=%d/data=%d)\n"
             "   during state=SNC_STATE_%.32s, role=SNC_%.32s",
             SncPFrameName(f.type), static_cast<int>(f.frameLen), static_cast<int>(f.tokenLen),
             static_cast<int>(f.dataLen), SncPStateName(s->state), SncPRoleName(s->role));
  SncPSetErrInfo(SNC_MODULE, __LINE__, SNCERR_WRONG_FRAME, "Received frame(-type) unexpected for current state");
  return SNCERR_WRONG_FRAME;
}

void KeepPeerId(SncSession* s, const SncParsedFrame& f) {
  const size_t n = f.dataLen < sizeof s->peerIdText - 1 ? f.dataLen : sizeof s->peerIdText - 1;
  memcpy(s->peerIdText, f.data, n);
  s->peerIdText[n] = 0;
}

bool PeerIsOwnAdapter(const SncSession* s) { return strstr(s->peerIdText, "sncxxiad.c") != nullptr; }

void Raise(SncSession* s, int use) {
  s->qopUse = use;
  if (s->qopMax < use) s->qopMax = use;
}

// Delivers a data frame of an established session.
SNC_RC ReceiveData(SncSession* s, const SncParsedFrame& f, int* action) {
  const SncAdapter* a = A(s);
  int level = 1;
  OM_uint32 minor = 0, major = 0;
  gss_buffer_desc tok = {f.tokenLen, const_cast<uint8_t*>(f.token)}, msg = {f.dataLen, const_cast<uint8_t*>(f.data)};
  if (f.type == FR_DATA_OPEN) {
    s->dataOut = f.data, s->dataOutLen = f.dataLen;
  } else if (f.type == FR_DATA_MIC) {
    level = 2;
    gss_qop_t qop = 0;
    major = SncGss<SNC_FN_verify_mic>(a)(&minor, s->ctx, &msg, &tok, &qop);
    // Frames travel in order: a replayed or reordered token is refused.
    if (major != GSS_S_COMPLETE) {
      const SNC_RC rc = GSS_ERROR(major) == GSS_S_CONTEXT_EXPIRED ? SNCERR_CONTEXT_EXPIRED : SNCERR_GSSAPI;
      SncPErrFunc(a, "SncPFrameIn", "gss_verify_mic", rc, major, minor, "Integrity check on data failed", nullptr);
      return rc;
    }
    s->dataOut = f.data, s->dataOutLen = f.dataLen;
  } else {
    level = 3;
    SncPReleaseBuffer(a, &s->unwrapped);
    int conf = 0;
    gss_qop_t qop = 0;
    major = SncGss<SNC_FN_unwrap>(a)(&minor, s->ctx, &tok, &s->unwrapped, &conf, &qop);
    const char* why = major != GSS_S_COMPLETE             ? "Recovery of privacy protected data failed"
                      : s->unwrapped.length > f.tokenLen ? "unexpected data growth when unwrapping"
                      : conf == 0                         ? "Privacy violation?? (*conf_state==FALSE)!"
                                                          : nullptr;
    if (why != nullptr) {
      const SNC_RC rc = GSS_ERROR(major) == GSS_S_CONTEXT_EXPIRED ? SNCERR_CONTEXT_EXPIRED : SNCERR_GSSAPI;
      SncPErrFunc(a, "SncPFrameIn", "gss_unwrap", rc, major, minor, why, nullptr);
      SncPReleaseBuffer(a, &s->unwrapped);
      return rc;
    }
    s->dataOut = static_cast<const uint8_t*>(s->unwrapped.value);
    s->dataOutLen = static_cast<uint32_t>(s->unwrapped.length);
  }
  *action |= SNC_ACT_DATA;
  s->dataLevel = level;
  if (s->role == SNC_ACCEPT && s->lastDataLevel == 0) {
    if (s->qopMin < level) s->qopMin = level;
    if (level != s->qopUse && level >= s->qopMin) {
      Raise(s, level);
      SNC_TRC(2, "  %.32s(): adjusting QOP to %u (%.30s)\n", "SncPFrameIn", static_cast<unsigned>(level), SncPQopName(level));
    }
  }
  s->lastDataLevel = level;
  if (level < s->qopMin) {
    SncPSetErrInfo(SNC_MODULE, __LINE__, SNCERR_INSECURE, "A message with insufficient data protection was received");
    return SNCERR_INSECURE;
  }
  return WEQ_O_K;
}

// The establishment step on the token of an INIT (acceptor) or ACCEPT
// (initiator) and the answer: the next token, or the acknowledgement when
// the context completed without one. The acceptor acknowledges when it did
// not ask for the establishment, the initiator when it was asked; the
// system's own adapter library acknowledges every time.
SNC_RC Answer(SncSession* s, const SncParsedFrame& f, bool acceptor, int* action) {
  const bool exchanging = s->state == (acceptor ? SNC_STATE_ACCEPTING : SNC_STATE_INITIATING);
  const uint16_t refresh = s->state == (acceptor ? SNC_STATE_ACC_REFR : SNC_STATE_INI_REFR) ? SNC_FLAG_REFRESH : 0;
  gss_buffer_desc tok;
  bool complete = false;
  SNC_RC rc = SncPEstablishContext(s, f.token, f.tokenLen, &tok, &complete);
  if (rc != WEQ_O_K) return rc;
  if (!complete && tok.length == 0) {
    SNC_TRCERR("%.32s(): while processing an FR_%.32s\n   %.32s() failed to return a token!", "SncPFrameIn",
               SncPFrameName(f.type), acceptor ? "gss_accept_sec_context" : "gss_init_sec_context");
    SncPReleaseBuffer(A(s), &tok);
    s->state = SNC_STATE_ERROR;
    return SNCERR_INTERNAL;
  }
  if (exchanging && !complete) *action |= SNC_ACT_MORE;
  const bool ack = acceptor ? !s->ackFlag || PeerIsOwnAdapter(s) : s->ackFlag && !PeerIsOwnAdapter(s);
  if (tok.length > 0) {
    rc = Send(s, acceptor ? FR_ACCEPT : FR_INIT, Bytes(tok.value, tok.length), OwnId(s), nullptr, refresh);
    SncPReleaseBuffer(A(s), &tok);
    if (rc != WEQ_O_K) return rc;
    *action |= SNC_ACT_SEND;
  } else if (complete && ack) {
    rc = Send(s, acceptor ? FR_ACCEPT_ACK : FR_INIT_ACK, {}, {});
    if (rc != WEQ_O_K) return rc;
    *action |= SNC_ACT_SEND;
  }
  if (complete) s->ackFlag = false;
  return WEQ_O_K;
}

SNC_RC OnInitReq(SncSession* s, const SncParsedFrame& f, int* action) {
  if (s->role != SNC_INITIATE) return Confused(s, f);
  s->ackFlag = true;
  if ((f.flags & SNC_FLAG_REFRESH) == 0) {
    if (f.qopMin != 0 && s->qopUse < f.qopMin) {
      Raise(s, f.qopMin);
      SNC_TRC(2, "  %.32s(): data_protection RAISED to acceptor's qop_min = %d (%.30s)\n", "SncPFrameIn", f.qopMin,
              SncPQopName(f.qopMin));
    }
    if (s->state == SNC_STATE_INITIATING) return WEQ_O_K;
    if (s->state > SNC_STATE_DO_INITIATE) {
      SNC_TRC(2, "%.32s(): FR_INIT_REQ received, %.32s sec_context.\n", "SncPFrameIn",
              s->state == SNC_STATE_ESTABLISHED ? "replacing existing" : "initiating new");
      SNC_RC rc = SncPReplaceContext(s, SNC_STATE_DO_INITIATE);
      if (rc != WEQ_O_K) return rc;
    }
    if (s->state != SNC_STATE_DO_INITIATE) return Confused(s, f);
  } else {
    if (s->state == SNC_STATE_INI_REFR) return WEQ_O_K;
    OM_uint32 L = 0, R = 0;
    SNC_RC rc = SncPAcquireCred(s, GSS_C_INITIATE, &L);
    if (rc == WEQ_O_K) rc = SncPContextTime(s, &R);
    if (rc != WEQ_O_K) return rc;
    if (gSnc.progType != 5 && s->refWatermark > 120) s->refWatermark -= 120;
    if (!WorthRefreshing(L, R)) {
      char buf[64];
      SNC_TRC(2, "%.32s(): Refresh Request ignored, Credentials near expiration (%.64s)\n", "SncPFrameIn",
              SncPLifetimeText(L, buf, sizeof buf));
      rc = MakeFrame(s, {}, {}, FR_REJECTED, SNC_FLAG_REFRESH, nullptr, &s->out);
      if (rc != WEQ_O_K) {
        s->state = SNC_STATE_ERROR;
        return rc;
      }
      s->frameFlags &= static_cast<uint16_t>(~SNC_FLAG_REFRESH);
      s->ackFlag = false;
      *action |= SNC_ACT_SEND;
      return WEQ_O_K;
    }
    s->state = SNC_STATE_DO_INI_REFR;
  }
  int out = 0;
  SNC_RC rc = SncPFrameOut(s, nullptr, 0, &out);
  *action |= out & SNC_ACT_SEND;
  return rc;
}

SNC_RC OnInit(SncSession* s, const SncParsedFrame& f, int* action) {
  if (s->state == SNC_STATE_UNDECIDED) {
    SNC_RC rc = SncPSetRole(s, SNC_ACCEPT, 0);
    if (rc != WEQ_O_K) return rc;
    s->state = SNC_STATE_DO_ACCEPT;
  }
  if (s->role != SNC_ACCEPT) return Confused(s, f);
  if ((f.flags & SNC_FLAG_REFRESH) != 0 &&
      (s->state == SNC_STATE_ESTABLISHED || s->state == SNC_STATE_DO_ACC_REFR)) {
    SNC_TRC(2, "%.32s(): ACCEPTING security context refresh cycle\n", "SncPFrameIn");
    SNC_RC rc = SncPReplaceContext(s, SNC_STATE_DO_ACC_REFR);
    if (rc != WEQ_O_K) return rc;
  }
  if (s->state == SNC_STATE_DO_ACCEPT || s->state == SNC_STATE_ACCEPTING) {
    s->state = SNC_STATE_ACCEPTING;
  } else if (s->state == SNC_STATE_DO_ACC_REFR || s->state == SNC_STATE_ACC_REFR) {
    s->state = SNC_STATE_ACC_REFR;
  } else {
    return Confused(s, f);
  }
  KeepPeerId(s, f);
  if (f.qopUse != 0) {
    if (f.qopUse > s->qopUse) {
      Raise(s, f.qopUse);
      SNC_TRC(2, "  %.32s(): data_protection raised to initiator's qop = %d (%.30s)\n", "SncPFrameIn", f.qopUse,
              SncPQopName(f.qopUse));
    } else if (f.qopUse < s->qopUse && f.qopUse >= s->qopMin && s->ackFlag && s->lastDataLevel == 0 &&
               s->peerVersion < 6) {
      s->qopUse = f.qopUse;
    }
  }
  if (f.item[0].len > 0) {
    SncName given{};
    SNC_RC rc = SncPSetNewName(s, &given, reinterpret_cast<const char*>(f.item[0].p), f.item[0].len, true);
    if (rc != WEQ_O_K) {
      SNC_TRC(1, "%.32s(): parsing of supplied\n    canonical name failed (%.32s)\n", "SncPFrameIn", SncErrName(rc));
    } else if (s->myName.xpName == nullptr && s->myName.prName[0] == 0) {
      SNC_TRC(2, "%.32s(): Trying acceptor name from FR_INIT frame (%.32s):\n    \"%.256s\"\n", "SncPFrameIn",
              SncPFrameName(f.type), given.prName);
      s->myName = given;
      given = SncName{};
    }
    SncPClearName(&given);
  }
  if (s->cred == GSS_C_NO_CREDENTIAL) {
    SNC_RC rc = SncPAcquireCred(s, GSS_C_ACCEPT, nullptr);
    if (rc != WEQ_O_K) {
      s->state = SNC_STATE_ERROR;
      return rc;
    }
  }
  return Answer(s, f, true, action);
}

SNC_RC OnAccept(SncSession* s, const SncParsedFrame& f, int* action) {
  const bool refresh = (f.flags & SNC_FLAG_REFRESH) != 0;
  if (s->role != SNC_INITIATE || !((s->state == SNC_STATE_INI_REFR && refresh) ||
                                   (s->state == SNC_STATE_INITIATING && !refresh))) {
    return Confused(s, f);
  }
  KeepPeerId(s, f);
  if (f.qopMin != 0 && s->qopUse < f.qopMin) Raise(s, f.qopMin);
  return Answer(s, f, false, action);
}

void Die(SncSession* s) {
  s->state = SNC_STATE_DEAD;
  DeleteContext(s);
}

}  // namespace

SNC_RC SncPFrameIn(SncSession* s, const uint8_t* in, uint32_t len, int* action, uint32_t* used) {
  *action = 0;
  *used = 0;
  s->dataOut = nullptr;
  s->dataOutLen = 0;
  if (in == nullptr || len == 0) return WEQ_O_K;
  if (s->state == SNC_STATE_DEAD || s->state == SNC_STATE_ERROR) return SNCERR_DEAD;
  SncParsedFrame f;
  SNC_RC rc = UnFrame(s, in, len, &f);
  if (rc != WEQ_O_K) {
    SNC_TRCERR("%.32s(): SNCFRAME header invalid, damaged or missing!", "SncPFrameIn");
    SncPSetErrInfo(SNC_MODULE, __LINE__, rc, "SNCFRAME header invalid, damaged or missing!");
    return rc;
  }
  *used = f.frameLen;
  s->peerVersion = f.version;
  s->peerAdapterType = f.adapterType;
  const bool dataFrame = f.type == FR_DATA_OPEN || f.type == FR_DATA_MIC || f.type == FR_DATA_WRAP;
  if (s->state == SNC_STATE_ESTABLISHED && dataFrame) return ReceiveData(s, f, action);
  if (f.qopMin != 0) s->peerQopMin = f.qopMin, s->peerQopMax = f.qopMax, s->peerQopUse = f.qopUse;
  switch (f.type) {
    case FR_REVERSE_REQ:
      if (s->state == SNC_STATE_UNDECIDED) return SNCERR_INTERNAL;
      return Confused(s, f);
    case FR_INIT_REQ:
      return OnInitReq(s, f, action);
    case FR_INIT:
      return OnInit(s, f, action);
    case FR_ACCEPT:
      return OnAccept(s, f, action);
    case FR_INIT_ACK:
    case FR_ACCEPT_ACK:
      // The initiator's acknowledgement goes to the acceptor and back.
      if (s->role == (f.type == FR_INIT_ACK ? SNC_ACCEPT : SNC_INITIATE) && s->state == SNC_STATE_ESTABLISHED) {
        s->ackFlag = false;
        return WEQ_O_K;
      }
      return Confused(s, f);
    case FR_ACCEPT_FAILED:
      if (s->role == SNC_INITIATE && (s->state == SNC_STATE_INITIATING || s->state == SNC_STATE_ESTABLISHED)) {
        Die(s);
        SncPSetErrInfo(SNC_MODULE, __LINE__, SNCERR_AUTH_FAILED, "The acceptor reports that authentication failed");
        return SNCERR_AUTH_FAILED;
      }
      return Confused(s, f);
    case FR_SHUTDOWN:
      Die(s);
      return SNCERR_SHUTDOWN;
    case FR_SHUTDOWN_MSG:
      Die(s);
      s->dataOut = f.data, s->dataOutLen = f.dataLen, s->dataLevel = 1;
      *action |= SNC_ACT_DATA;
      return SNCERR_SHUTDOWN_MSG;
    case FR_REJECTED:
      if (s->state == SNC_STATE_DO_ACC_REFR && (f.flags & SNC_FLAG_REFRESH) != 0) {
        SNC_TRC(2, "%.32s(): Refresh request rejected\n", "SncPFrameIn");
        s->frameFlags &= static_cast<uint16_t>(~SNC_FLAG_REFRESH);
        s->state = SNC_STATE_ESTABLISHED;
        return WEQ_O_K;
      }
      if (s->state == SNC_STATE_DO_ACC_REFR || s->state == SNC_STATE_DO_INITIATE ||
          s->state == SNC_STATE_DO_ACCEPT || s->state == SNC_STATE_DO_INI_REFR) {
        s->state = SNC_STATE_ERROR;
        return Confused(s, f);
      }
      return WEQ_O_K;
    case FR_ERROR:
      return SncPReceiveErrorFrame(s, &f);
    default:
      // Data outside ESTABLISHED and types this side does not know.
      return WEQ_O_K;
  }
}

#undef SNC_MODULE
