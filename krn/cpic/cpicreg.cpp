// The registered server program: registering a TP name at the gateway
// (versions 2 and 3), accepting the conversations the gateway hands over,
// unregistering, the count of registrations, the listen on one
// conversation, and the hand-back of a conversation's connection to its
// registration when the conversation is released.
//
// A registration is an entry whose gateway connection carries it; its id
// is 'H' (version 2) or 'N' (version 3) and its NI handle's number. An
// accepted conversation takes over the connection until its release gives
// it back; only one of the two uses it at a time.
#include <errno.h>
#include <string.h>

#include "i18n/wequ16/u16fmt.h"
#include "i18n/wequ16/u16str.h"
#include "krn/cpic/cpic.h"
#include "krn/cpic/cpic_int.h"

namespace {

constexpr WEQ_UC kRegTp2[] = u"WEQ_CMREGTP2";
constexpr WEQ_UC kRegTp3[] = u"WEQ_CMREGTP3";
constexpr WEQ_UC kAccTp2[] = u"WEQ_CMACCPTP";
constexpr WEQ_UC kAccTp3[] = u"WEQ_CMACCPTP3";
constexpr WEQ_UC kUnregTp2[] = u"WEQ_CMUNREGTP";
constexpr WEQ_UC kUnregTp3[] = u"WEQ_CMUNREGTP3";
constexpr WEQ_UC kNoRegTp[] = u"WEQ_CMNOREGTP";
constexpr WEQ_UC kListen3[] = u"WEQ_CMLISTEN3";
constexpr WEQ_UC kDealRel[] = u"STDEAL";

constexpr NI_HDL kMaxRegHdl = 9999999;
constexpr int kSncPartLen = 776;
constexpr int kCountLen = 8;  // the count answer: four 16-bit counts
constexpr int32_t kNoWait = -2;

// The registration's id of an NI handle: the version's letter and the
// number, blank-padded.
bool RegId(int version, NI_HDL hdl, char id[8]) {
  if (hdl < 0 || hdl > kMaxRegHdl) return false;
  memset(id, ' ', 8);
  id[0] = version == 3 ? 'N' : 'H';
  WEQ_UC digits[12];
  int n = snprintfU16(digits, 12, u"%d", hdl);
  for (int i = 0; i < n && i < 7; ++i) id[1 + i] = static_cast<char>(digits[i]);
  return true;
}

int VersionOf(const CPIC_CONV_ENTRY* e) {
  char id[8];
  CpicIU64ToId(e->id.load(), id);
  return id[0] == 'N' ? 3 : 2;
}

// "REG_" and the state's name.
struct RegStateText {
  WEQ_UC s[CPIC_NAME_LEN];
  explicit RegStateText(uint32_t state) { snprintfU16(s, CPIC_NAME_LEN, u"REG_%s", GwRegStateName(static_cast<int>(state))); }
};

// Whether the listener's sweep pings the registration while it waits.
void ArmSweep(CPIC_CONV_ENTRY* e) {
  const CpicConvFields& f = e->f;
  bool wanted = f.regState == REG_WAITING && f.inSelectSet && f.pingActive && (f.gwOptions & NIPING) != 0;
  e->sweepPing.store(wanted ? 1 : 0);
}

// Closes an entry's connection and resets it.
void CloseAndReset(CPIC_CONV_ENTRY* e) {
  STIStopSweep(e);
  CpicConvFields& f = e->f;
  if (f.readHdl != NI_INVALID_HDL) f.closeFn(f.readHdl, f.index);
  if (f.writeHdl != NI_INVALID_HDL && f.writeHdl != f.readHdl) f.closeFn(f.writeHdl, f.index);
  f.readHdl = f.writeHdl = NI_INVALID_HDL;
  STIResetConv(e, true);
}

// The checks of a TP name, a host and a service of the register and count
// verbs: 0 or 19 (recorded).
CM_RETURN_CODE CheckNames(const WEQ_UC* name, const WEQ_UC* tp, const WEQ_UC* tpParam, const WEQ_UC* gwHost,
                          const WEQ_UC* gwServ, bool noStar) {
  size_t tpLen = strlenU(tp), hostLen = strlenU(gwHost);
  if (tpLen == 0) return STINullArg(name, tpParam);
  if (tpLen > CPIC_TP_NAME_LEN) return STIBadLength(name, u"tp_name_length", static_cast<int32_t>(tpLen), CPIC_TP_NAME_LEN);
  if (noStar && strchrU(tp, u'*') != nullptr) {
    CPIC_ERR(C_ILLEGAL_PARAMETER2, name, u"tpname", tp);
    return CM_PARAMETER_ERROR;
  }
  if (hostLen == 0) return STINullArg(name, u"gwhost");
  if (hostLen > CPIC_GW_HOST_LEN)
    return STIBadLength(name, u"gwhost_length", static_cast<int32_t>(hostLen), CPIC_GW_HOST_LEN);
  if (gwServ == nullptr || gwServ[0] == 0) return STINullArg(name, u"gwserv");
  return CM_OK;
}

// The own host name for the connect of a registration, "Unknown" when NI
// has none.
void OwnHost(WEQ_UC host[CPIC_HOST_NAME_LEN]) {
  if (NiMyHostName(host, CPIC_HOST_NAME_LEN) != WEQ_O_K) strcpy_sU16(host, CPIC_HOST_NAME_LEN, u"Unknown");
}

int Connect(CPIC_CONV_ENTRY* e, uint8_t type, const WEQ_UC* tp, const WEQ_UC* gwHost, const WEQ_UC* gwServ) {
  CpicConvFields& f = e->f;
  WEQ_UC host[CPIC_HOST_NAME_LEN];
  OwnHost(host);
  int rc = GwIConnect(type, gwHost, nullptr, gwServ, host, &CpicIGlobals().ownAddr, tp, &f.readHdl, &f.writeHdl, 0,
                      &f.hdrVersion, &f.gwOptions, f.connectTimeout, 0, -1, u"1100",
                      reinterpret_cast<void*>(static_cast<intptr_t>(f.index)));
  if (rc != 0) f.readHdl = f.writeHdl = NI_INVALID_HDL;
  f.hdrLen = GwAppcHdrLen(f.hdrVersion);
  return rc;
}

// The entry of a registration, with the part of a verb that finds it.
// Version 2 names it by socket, 3 by NI handle. NULL with *code set (19
// with *missing for a registration that is not in the table).
CPIC_CONV_ENTRY* FindRegistration(const WEQ_UC* name, int version, int32_t handle, int report, NI_HDL* hdl,
                                  CM_RETURN_CODE* code, bool* missing) {
  *hdl = handle;
  *missing = false;
  if (version == 2 && NiSockToHdl(handle, hdl) != WEQ_O_K) {
    WEQ_UC value[16];
    snprintfU16(value, 16, u"%d", handle);
    CPIC_ERR(C_ILLEGAL_PARAMETER2, name, u"handle", static_cast<const WEQ_UC*>(value));
    *code = CM_PARAMETER_ERROR;
    return nullptr;
  }
  char id[8];
  if (!RegId(version, *hdl, id)) {
    CPIC_TRC(2, u"%s: NiHdlToSock too large (%d)\n", name, *hdl);
    *code = CM_PRODUCT_SPECIFIC_ERROR;
    return nullptr;
  }
  CPIC_CONV_ENTRY* e = STISearchConv(id, report, 0);
  *code = CM_PARAMETER_ERROR;
  *missing = e == nullptr;
  return e;
}

CM_RETURN_CODE Register(const WEQ_UC* name, int version, const WEQ_UC* tp, const WEQ_UC* gwHost,
                        const WEQ_UC* gwServ, int32_t* handle, const CPIC_SNC_PARAMS* snc) {
  CpicTrcInit(1, 0, 0, 1, name);
  if (tp == nullptr) return STINullArg(name, u"tpname");
  if (gwHost == nullptr) return STINullArg(name, u"gwhost");
  if (handle == nullptr) return STINullArg(name, u"handle");
  ErrClear();
  CM_RETURN_CODE code = CM_OK;
  if (!CpicIGlobals().initialised.load(std::memory_order_acquire) && STInitGlobals(&code, 1, nullptr, 0) != CM_OK)
    return code;
  int32_t index = -1;
  if ((code = STIGetFreeConv(name, &index)) != CM_OK) return code;
  CPIC_CONV_ENTRY* e = STIConvAt(index);
  CpicConvFields& f = e->f;
  STI_GLOB* glob = STIGetGlob();
  if (glob == nullptr) {
    STIResetConv(e, true);
    return CM_RESOURCE_FAILURE_RETRY;
  }
  if ((code = CheckNames(name, tp, u"tpname", gwHost, gwServ, true)) != CM_OK) {
    STIResetConv(e, true);
    return code;
  }
  CPIC_ENTRY_TRC(e, 2, u"%s: tpname: >%s<\n", name, tp);
  CPIC_ENTRY_TRC(e, 2, u"%s: gwhost: >%s<\n", name, gwHost);
  CPIC_ENTRY_TRC(e, 2, u"%s: gwserv: >%s<\n", name, gwServ);
  f.regText = strdupU(glob->tpName[0] != 0 ? glob->tpName : tp);
  if (snc != nullptr) {
    *f.sncParams = *snc;
    CPIC_ENTRY_TRC(e, 2, u"%s: SNC data stored\n", name);
  }
  if (Connect(e, 11, tp, gwHost, gwServ) != 0) {
    STIResetConv(e, true);
    return CM_PRODUCT_SPECIFIC_ERROR;
  }
  f.gwHost = strdupU(gwHost);
  f.gwServ = strdupU(gwServ);
  f.protocol = 7;
  f.sendRcvState = 3;
  f.regState = REG_INIT;
  strcpy_sU16(glob->tpName, CPIC_TP_NAME_LEN + 1, tp);
  glob->tpNameLen = static_cast<uint32_t>(strlenU(glob->tpName));
  int32_t out = f.readHdl;
  char id[8];
  if (version == 2) {
    if (NiHdlToSock(f.readHdl, &out) != WEQ_O_K) {
      CPIC_ENTRY_TRC(e, 2, u"%s: NiHdlToSock failed (%d/%d)\n", name, f.readHdl, out);
      CloseAndReset(e);
      return CM_PRODUCT_SPECIFIC_ERROR;
    }
  }
  if (!RegId(version, f.readHdl, id)) {
    CPIC_ENTRY_TRC(e, 2, u"%s: NiHdlToSock too large (%d)\n", name, f.readHdl);
    CloseAndReset(e);
    return CM_PRODUCT_SPECIFIC_ERROR;
  }
  *handle = out;
  if (version == 3) f.inSelectSet = 1;
  STIAssignConvId(e, id, name);
  CPIC_ENTRY_TRC(e, 2, u"%s: handle: (%d/%d) ok\n", name, out, f.readHdl);
  return CM_OK;
}

// Unregisters a registration's entry in its own version (steps 3 to 5 of
// the unregister).
CM_RETURN_CODE UnregisterEntry(CPIC_CONV_ENTRY* e, const WEQ_UC* name, NI_HDL hdl) {
  CpicConvFields& f = e->f;
  STIStopSweep(e);
  f.readHdl = f.writeHdl = hdl;
  if (!f.broken) STISendToGw(F_WEQ_UNREGTP, e);
  if (f.pingActive && f.pingReply) {
    uint8_t buf[64];
    uint32_t got = 0;
    while (f.readFn(f.readHdl, buf, sizeof buf, f.pingTimeout, &got, f.index) == NIEPING) {
    }
  }
  int32_t sock = -1;
  NiHdlToSock(hdl, &sock);
  if (f.closeFn(f.readHdl, f.index) != WEQ_O_K) {
    CPIC_ENTRY_TRC(e, 2, u"%s: STINiCloseHandle failed\n", name);
    f.readHdl = f.writeHdl = NI_INVALID_HDL;
    STIResetConv(e, true);
    return CM_PRODUCT_SPECIFIC_ERROR;
  }
  CPIC_ENTRY_TRC(e, 2, u"%s: handle: (%d/%d) ok\n", name, sock, hdl);
  f.readHdl = f.writeHdl = NI_INVALID_HDL;
  STIResetConv(e, true);
  return CM_OK;
}

CM_RETURN_CODE Unregister(const WEQ_UC* name, int version, int32_t handle) {
  CPIC_TRC(2, u"*************** %s ***************\n", name);
  NI_HDL hdl;
  CM_RETURN_CODE code;
  bool missing;
  CPIC_CONV_ENTRY* e = FindRegistration(name, version, handle, 0, &hdl, &code, &missing);
  if (e == nullptr) return missing ? CM_OK : code;
  char id[8];
  CpicIU64ToId(e->id.load(), id);
  if ((code = STIT8LocCheckState(id, CPIC_FN_CM_UNREGTP, e, nullptr)) != CM_OK) return code;
  if (e->f.regState != REG_INIT && e->f.regState != REG_WAITING) {
    CPIC_ERR(C_REG_STATE_CHECK, RegStateText(e->f.regState).s, name);
    return CM_PARAMETER_ERROR;
  }
  return UnregisterEntry(e, name, hdl);
}

// The new conversation of a handover: it takes the registration's
// connection and settings.
void TakeOver(CPIC_CONV_ENTRY* n, CPIC_CONV_ENTRY* reg, int version) {
  CpicConvFields& f = n->f;
  const CpicConvFields& r = reg->f;
  f.readHdl = r.readHdl;
  f.writeHdl = r.writeHdl;
  f.hdrVersion = r.hdrVersion;
  f.hdrLen = r.hdrLen;
  f.protocol = r.protocol;
  f.regState = REG_RUNNING;
  f.regIndex = r.index;
  f.regGeneration = reg->generation.load();
  f.selectUserValue = r.selectUserValue;
  n->traceLevel.store(reg->traceLevel.load());
  f.traceHdl = r.traceHdl;
  f.savedTraceLevel = r.savedTraceLevel;
  f.gwOptions = r.gwOptions;
  f.pingActive = r.pingActive;
  f.pingReply = r.pingReply;
  f.pingPeriod = r.pingPeriod;
  f.pingTimeout = r.pingTimeout;
  f.pingTimedOut = r.pingTimedOut;
  f.inSelectSet = version == 3 ? 1 : 0;
  *f.sncParams = *r.sncParams;
  f.gwHost = r.gwHost != nullptr ? strdupU(r.gwHost) : nullptr;
  f.gwServ = r.gwServ != nullptr ? strdupU(r.gwServ) : nullptr;
}

// The registration inherits a higher trace level of the partner.
void InheritTrace(CPIC_CONV_ENTRY* reg, const WEQ_UC* name, int partner) {
  CpicConvFields& r = reg->f;
  if (partner <= reg->traceLevel.load()) return;
  if (CpicITrcInitialised() && r.traceHdl == nullptr) {
    int before = CpicTrcLevel();
    CpicITrcMarkUninitialised();
    CpicTrcInit(0, 1, partner, 1, name);
    r.traceHdl = CpicIOutHdl();
    r.savedTraceLevel = before;
  } else {
    r.savedTraceLevel = reg->traceLevel.load();
  }
  reg->traceLevel.store(partner);
  r.inheritedTrace = 1;
  CPIC_ENTRY_TRC(reg, 2, u"%s: partner send trace level %d\n", name, partner);
}

// Tells the partner why the handed-over conversation ends, and ends it.
CM_RETURN_CODE RefuseConversation(CPIC_CONV_ENTRY* n, CM_RETURN_CODE code) {
  char own[8];
  CpicIU64ToId(n->id.load(), own);
  WEQ_CMSENDERRINFO(own, C_SNC_ERROR, CM_SECURITY_NOT_VALID, nullptr);
  return code;
}

CM_RETURN_CODE Accept(const WEQ_UC* name, int version, int32_t handle, int32_t timeout, char* convId,
                      void* userValue) {
  if (convId == nullptr) return STINullArg(name, u"convid");
  NI_HDL hdl;
  CM_RETURN_CODE code;
  bool missing;
  CPIC_CONV_ENTRY* reg = FindRegistration(name, version, handle, 1, &hdl, &code, &missing);
  if (reg == nullptr) return code;
  CpicConvFields& r = reg->f;
  char regId[8];
  CpicIU64ToId(reg->id.load(), regId);
  if ((code = STIT8LocCheckState(regId, CPIC_FN_CM_ACCPTP, reg, nullptr)) != CM_OK) return code;
  // The registration stays as it is: only this call lacks its record.
  STI_GLOB* glob = STIGetGlob();
  if (glob == nullptr) return CM_RESOURCE_FAILURE_RETRY;
  if (r.regText != nullptr) {
    strcpy_sU16(glob->tpName, CPIC_TP_NAME_LEN + 1, r.regText);
    glob->tpNameLen = static_cast<uint32_t>(strlenU(glob->tpName));
  }
  CPIC_ENTRY_TRC(reg, 2, u"%s: reg_hook  = %d\n", name, r.index);
  CPIC_ENTRY_TRC(reg, 2, u"%s: handle    = %d\n", name, handle);
  CPIC_ENTRY_TRC(reg, 2, u"%s: NI handle = %d\n", name, hdl);
  CPIC_ENTRY_TRC(reg, 2, u"%s: timeout   = %d\n", name, timeout);
  CPIC_ENTRY_TRC(reg, 2, u"%s: convid    = %.*s\n", name, 8, CpicIIdText(regId).s);
  if (r.regState != REG_INIT && r.regState != REG_WAITING) {
    CPIC_ERR(C_REG_STATE_CHECK, RegStateText(r.regState).s, name);
    return CM_PROGRAM_STATE_CHECK;
  }
  memset(convId, ' ', 8);
  if (r.regState == REG_INIT) {
    r.readHdl = r.writeHdl = hdl;
    if (STISendToGw(F_WEQ_ACCPTP, reg) != CM_OK) {
      CPIC_ENTRY_ERR(reg, u"%s: failed to send REG_WAITING request", name);
      CloseAndReset(reg);
      return CM_PRODUCT_SPECIFIC_ERROR;
    }
    r.regState = REG_WAITING;
  }
  if (timeout == kNoWait) {
    r.selectUserValue = reinterpret_cast<uintptr_t>(userValue);
    ArmSweep(reg);
    STISelSetEntry(reg, hdl, NI_READ, r.selectUserValue);
    CPIC_ENTRY_TRC(reg, 2, u"%s: return immediatly\n", name);
    return CM_OK;
  }
  uint8_t* msg = STIMsgBuf(reg);
  if (msg == nullptr) return CM_RESOURCE_FAILURE_NO_RETRY;
  int hl = STIHdrLen(reg);
  memset(msg + hl, 0, kSncPartLen);
  ArmSweep(reg);
  int len = 0;
  uint8_t pings = 0;
  CM_RETURN_CODE appcRc = CM_OK;
  // Seconds to milliseconds, at most the longest wait a read can be given.
  int64_t waitMs = int64_t{timeout} * 1000;
  int wait = timeout < 0 ? NI_BLOCK : waitMs > INT32_MAX ? INT32_MAX : static_cast<int>(waitMs);
  int rr = STIAsRcvFromGw(reg, msg, nullptr, CPIC_MAX_DATA, &len, wait, &pings, &appcRc);
  if (rr == -3 && pings > 0 && version == 3) {
    STISelSetEntry(reg, hdl, NI_READ, r.selectUserValue);
    CPIC_ENTRY_TRC(reg, 2, u"%s: return after ping from STIAsRcvFromGw\n", name);
    return CM_WEQ_PING_RECEIVED;
  }
  if (rr == -3) {
    ++r.timeoutCount;
    CPIC_ENTRY_TRC(reg, 2, u"%s: timeout after %d secs\n", name, timeout);
    NI_RC prc = STISendConvNiping(reg);
    if (prc != WEQ_O_K && prc != NIETIMEOUT) {
      CloseAndReset(reg);
      return CM_PRODUCT_SPECIFIC_ERROR;
    }
    if (version == 3) {
      STISelSetEntry(reg, hdl, NI_READ, r.selectUserValue);
      CPIC_ENTRY_TRC(reg, 2, u"%s: return after timeout from STIAsRcvFromGw\n", name);
    }
    return CM_WEQ_TIMEOUT_RETRY;
  }
  if (rr != 0) {
    CloseAndReset(reg);
    return CM_PRODUCT_SPECIFIC_ERROR;
  }
  InheritTrace(reg, name, msg[APPC_OFF_TRACE]);
  uint8_t req = msg[APPC_OFF_REQ];
  if (req == F_WEQ_CANCTP) {
    if (static_cast<GW_RETURN_CODE>(CpicIGetBe32(msg + APPC_OFF_WEQ_RC)) == GW_SHUTDOWN) {
      CPIC_ENTRY_TRC(reg, 2, u"%s: gateway shutdown\n", name);
      CPIC_ERR(GW_SHUTDOWN);
    } else {
      CPIC_ENTRY_TRC(reg, 2, u"%s: program manually canceled\n", name);
      CPIC_ERR(C_MANUAL_CANCELD);
    }
    CloseAndReset(reg);
    return CM_DEALLOCATED_NORMAL;
  }
  if (req != F_WEQ_REGTP) {
    // Not a handover: no conversation came, whatever code the request has.
    CPIC_ENTRY_TRC(reg, 2, u"%s: rqtype %s", name, GwRequestName(req));
    CPIC_ERR(INVALID_REQUEST);
    CloseAndReset(reg);
    return CM_PRODUCT_SPECIFIC_ERROR;
  }
  bool sncPart = (msg[APPC_OFF_INFO2] & SNC_INIT_PHASE) != 0, dt = (msg[APPC_OFF_INFO3] & GW_DIST_TRACE) != 0;
  int need = hl + (sncPart ? kSncPartLen : 0) + (dt ? CPIC_TRACE_RECORD_LEN : 0);
  if (len < need) {
    CPIC_ENTRY_TRC(reg, 2, u"%s: not all data received, expected = %d bytes, received %d bytes\n", name, need, len);
    CloseAndReset(reg);
    return CM_DEALLOCATED_ABEND;
  }
  char gwId[8];
  memcpy(gwId, msg + APPC_OFF_CONV_ID, 8);
  int32_t index = -1;
  if ((code = STIGetFreeConv(name, &index)) != CM_OK) {
    CPIC_ENTRY_TRC(reg, 2, u"%s: no free slot found\n", name);
    STISendErrInfo(reg, gwId, r.hdrVersion, F_DEALLOCATE, C_NO_MEM, CM_DEALLOCATED_ABEND);
    // The registration's connection is closed: the registration goes too.
    CloseAndReset(reg);
    return code;
  }
  STIStopSweep(reg);
  r.regState = REG_RUNNING;
  r.timeoutCount = 0;
  CPIC_CONV_ENTRY* n = STIConvAt(index);
  TakeOver(n, reg, version);
  CpicConvFields& f = n->f;
  if (f.pingTimedOut) {
    for (int i = 0; i < 100; ++i) {
      NI_RC prc = STISendConvNiping(n);
      if (prc == WEQ_O_K) break;
      if (prc != NIETIMEOUT) {
        STIDEAL(n);
        return CM_PRODUCT_SPECIFIC_ERROR;
      }
      CPIC_ENTRY_TRC(n, 2, u"%s: NiCheckEx() timeout\n", name);
      NiWait(50);
    }
  }
  STIAssignConvId(n, gwId, name);
  CpicIU64ToId(n->id.load(), convId);
  uint16_t connIdx;
  if (STIAnswerConnIdx(n, msg, &connIdx)) f.connIdx = connIdx;
  // The trace record first: every message of the conversation, a refusal
  // of it included, carries its sequence number.
  if (dt) {
    const uint8_t* rec = msg + hl + (sncPart ? kSncPartLen : 0);
    memcpy(f.traceRecord, rec, CPIC_TRACE_RECORD_LEN);
    STISetRequestValue(n, CpicIGetBe32(rec + 41));
    CPIC_ENTRY_TRC(n, 2, u"%s: dt copied\n", name);
  } else {
    STIMakeTraceRecord(name, nullptr, n);
  }
  CPIC_SNC_PARAMS& snc = *f.sncParams;
  if (!sncPart && snc.mode == 1) {
    CPIC_ERR(C_SNC_MODE_ON, CpicIIdText(convId).s, glob->tpName);
    memset(convId, ' ', 8);
    return RefuseConversation(n, CM_DEALLOCATED_ABEND);
  }
  if (sncPart && snc.mode == 0) {
    CPIC_ERR(C_SNC_DISABLED, CpicIIdText(convId).s, glob->tpName);
    memset(convId, ' ', 8);
    return RefuseConversation(n, CM_DEALLOCATED_ABEND);
  }
  if (sncPart) {
    CPIC_ENTRY_TRC(n, 2, u"%s: SNC required\n", name);
    CpicIHold hold(n);
    CM_RETURN_CODE src = STISncAccept(n, name, msg + hl);
    if (src != CM_OK) {
      memset(convId, ' ', 8);
      return hold.alive() ? RefuseConversation(n, src) : src;
    }
  }
  const CpicGlobals& g = CpicIGlobals();
  f.traceRaw = g.traceRaw;
  f.traceAppcHdr = g.traceAppcHdr;
  f.sendRcvState = 2;
  CPIC_ENTRY_TRC(n, 2, u"%s: conversation id = >%*.*s< ok\n", name, 8, 8, CpicIIdText(convId).s);
  return CM_OK;
}

}  // namespace

CM_RETURN_CODE WEQ_CMREGTP2(const WEQ_UC* tp, const WEQ_UC* gwHost, const WEQ_UC* gwServ, int32_t* handle,
                            const CPIC_SNC_PARAMS* snc, CM_RETURN_CODE* rc) {
  return CpicIRc(rc, Register(kRegTp2, 2, tp, gwHost, gwServ, handle, snc));
}

CM_RETURN_CODE WEQ_CMREGTP3(const WEQ_UC* tp, const WEQ_UC* gwHost, const WEQ_UC* gwServ, int32_t* handle,
                            const CPIC_SNC_PARAMS* snc, CM_RETURN_CODE* rc) {
  CM_RETURN_CODE code = STIInitSelSet(nullptr);
  if (code != CM_OK) return CpicIRc(rc, code);
  return CpicIRc(rc, Register(kRegTp3, 3, tp, gwHost, gwServ, handle, snc));
}

CM_RETURN_CODE WEQ_CMACCPTP(int32_t handle, int32_t timeout, char* convId, CM_RETURN_CODE* rc) {
  return CpicIRc(rc, Accept(kAccTp2, 2, handle, timeout, convId, nullptr));
}

CM_RETURN_CODE WEQ_CMACCPTP3(int32_t handle, int32_t timeout, char* convId, void* userValue, CM_RETURN_CODE* rc) {
  CM_RETURN_CODE code = STIInitSelSet(nullptr);
  if (code != CM_OK) return CpicIRc(rc, code);
  return CpicIRc(rc, Accept(kAccTp3, 3, handle, timeout, convId, userValue));
}

CM_RETURN_CODE WEQ_CMUNREGTP(int32_t handle, CM_RETURN_CODE* rc) {
  return CpicIRc(rc, Unregister(kUnregTp2, 2, handle));
}

CM_RETURN_CODE WEQ_CMUNREGTP3(int32_t handle, CM_RETURN_CODE* rc) {
  if (!STISelReady()) {
    CPIC_TRC(2, u"%s: not initialized\n", kUnregTp3);
    return CpicIRc(rc, CM_UNSUCCESSFUL);
  }
  return CpicIRc(rc, Unregister(kUnregTp3, 3, handle));
}

CM_RETURN_CODE WEQ_CMNOREGTP(const WEQ_UC* tp, const WEQ_UC* gwHost, const WEQ_UC* gwServ, int32_t* total,
                             int32_t* init, int32_t* waiting, int32_t* running, CM_RETURN_CODE* rc) {
  CpicTrcInit(1, 0, 0, 1, kNoRegTp);
  const struct {
    const void* p;
    const WEQ_UC* name;
  } args[] = {{tp, u"tpname"},     {gwHost, u"gwhost"},         {total, u"reg_total"},
              {init, u"reg_init"}, {waiting, u"reg_waiting"}, {running, u"reg_running"}};
  for (const auto& a : args)
    if (a.p == nullptr) return CpicIRc(rc, STINullArg(kNoRegTp, a.name));
  CM_RETURN_CODE code = CM_OK;
  if (!CpicIGlobals().initialised.load(std::memory_order_acquire) && STInitGlobals(&code, 1, nullptr, 0) != CM_OK)
    return CpicIRc(rc, code);
  int32_t index = -1;
  if ((code = STIGetFreeConv(kNoRegTp, &index)) != CM_OK) return CpicIRc(rc, code);
  CPIC_CONV_ENTRY* e = STIConvAt(index);
  // Every way out below gives the entry back.
  if (STIGetGlob() == nullptr) {
    STIResetConv(e, true);
    return CpicIRc(rc, CM_RESOURCE_FAILURE_RETRY);
  }
  *total = *init = *waiting = *running = 0;
  ErrClear();
  if ((code = CheckNames(kNoRegTp, tp, u"tp", gwHost, gwServ, false)) != CM_OK) {
    STIResetConv(e, true);
    return CpicIRc(rc, code);
  }
  CPIC_ENTRY_TRC(e, 2, u"%s: tpname: >%s<\n", kNoRegTp, tp);
  CPIC_ENTRY_TRC(e, 2, u"%s: gwhost: >%s<\n", kNoRegTp, gwHost);
  CPIC_ENTRY_TRC(e, 2, u"%s: gwserv: >%s<\n", kNoRegTp, gwServ);
  if (Connect(e, 14, tp, gwHost, gwServ) != 0) {
    STIResetConv(e, true);
    return CpicIRc(rc, CM_PRODUCT_SPECIFIC_ERROR);
  }
  CpicConvFields& f = e->f;
  uint8_t counts[64];
  uint32_t got = 0;
  NI_RC nrc = f.readFn(f.readHdl, counts, sizeof counts, STIRcvTimeout(e), &got, f.index);
  if (nrc != WEQ_O_K) {
    NiErrSet(nrc);
    STIDEAL(e);
    return CpicIRc(rc, CM_PRODUCT_SPECIFIC_ERROR);
  }
  if (got != kCountLen) {
    CPIC_ENTRY_TRC(e, 2, u"%s: readlen(%d) <> GW_NO_REGISTRATION_LN(%d)", kNoRegTp, static_cast<int>(got), kCountLen);
    STIDEAL(e);
    return CpicIRc(rc, CM_PRODUCT_SPECIFIC_ERROR);
  }
  *total = CpicIGetBe16(counts);
  *init = CpicIGetBe16(counts + 2);
  *waiting = CpicIGetBe16(counts + 4);
  *running = CpicIGetBe16(counts + 6);
  CPIC_ENTRY_TRC(e, 2, u"%s: %s ( %d / %d / %d / %d )\n", kNoRegTp, tp, *total, *init, *waiting, *running);
  STIDEAL(e);
  return CpicIRc(rc, CM_OK);
}

CM_RETURN_CODE WEQ_CMLISTEN3(const char* convId, const int32_t* requested, CM_RETURN_CODE* rc) {
  int32_t asked = requested != nullptr ? *requested : CPIC_MAX_DATA;
  CM_RETURN_CODE code;
  CPIC_CONV_ENTRY* e = STIVerbStart(kListen3, convId, CPIC_FN_CM_LISTEN3, 1, &code);
  if (e == nullptr) return CpicIRc(rc, code);
  if (asked < 0 || asked > CPIC_MAX_DATA) return CpicIRc(rc, STIBadLength(kListen3, u"requested_length", asked, CPIC_MAX_DATA));
  if (!STISelReady()) {
    CPIC_ENTRY_TRC(e, 2, u"%s: not initialized\n", kListen3);
    return CpicIRc(rc, CM_UNSUCCESSFUL);
  }
  CpicConvFields& f = e->f;
  // The rest of a partly delivered message is here already: no request
  // goes out and nothing would wake the select set for it.
  if (STISncPartly(e)) {
    WEQ_UC fn[CPIC_NAME_LEN];
    CPIC_ERR(C_STATE_CHECK, CpicIIdText(e->id.load()).s, CpicFuncName(CPIC_FN_CM_LISTEN3, fn, CPIC_NAME_LEN),
             u"RECEIVE");
    return CpicIRc(rc, CM_PROGRAM_STATE_CHECK);
  }
  int32_t dr = 0, rl = 0, st = 0, rts = 0;
  CPIC_RCV_OUT out{&dr, &rl, &st, &rts};
  CpicIHold hold(e);
  if (f.bufferState == BUFFER_DATA) {
    f.bufferState = BUFFER_DATA2;
    CPIC_ENTRY_TRC(e, 2, u"%s: send %d buffered bytes\n", kListen3, f.bufferedLen);
    uint8_t* msg = STIMsgBuf(e);
    code = msg == nullptr ? CM_RESOURCE_FAILURE_NO_RETRY
                          : STISendRcvCore(e, kListen3, msg + APPC_HDR_LEN, nullptr, f.bufferedLen, asked, out,
                                           CPIC_FN_CMRCV, F_V_SEND_DATA | F_V_RECEIVE | F_V_FLUSH);
  } else if (f.bufferState == BUFFER_EMPTY || f.bufferState == BUFFER_DEACT || f.bufferState == BUFFER_DISABLED) {
    CPIC_ENTRY_TRC(e, 2, u"%s: send rcv request\n", kListen3);
    f.bufferState = BUFFER_LISTEN3;
    code = STIRcvCore(e, kListen3, nullptr, asked, out, 0);
  }
  // A request that did not leave arms nothing.
  if (code != CM_OK) return CpicIRc(rc, code);
  if (!hold.alive()) return CpicIRc(rc, CM_PRODUCT_SPECIFIC_ERROR);
  f.bufferState = BUFFER_LISTEN;
  STISelSetEntry(e, f.readHdl, NI_READ, f.selectUserValue);
  CPIC_ENTRY_TRC(e, 2, u"%s: ok\n", kListen3);
  return CpicIRc(rc, CM_OK);
}

CPIC_CONV_ENTRY* STIRegistrationOf(const CPIC_CONV_ENTRY* e) {
  CPIC_CONV_ENTRY* reg = STIConvAt(e->f.regIndex);
  if (reg == nullptr || !reg->inUse.load() || reg->generation.load() != e->f.regGeneration) return nullptr;
  return reg;
}

bool STIRegHandBack(CPIC_CONV_ENTRY* e, int* result) {
  static constexpr WEQ_UC kFn[] = u"STIDEAL";
  CpicConvFields& f = e->f;
  int read = 0;
  bool readMade = false;
  if (f.readHdl != NI_INVALID_HDL) {
    read = StIReadPendingData(e);
    readMade = true;
  }
  bool keepQuiet = readMade && (read == CM_DEALLOCATED_ABEND || read == CM_DEALLOCATED_NORMAL);
  bool sent = !keepQuiet && STISendToGw(F_WEQ_UNACCPTP, e) == CM_OK;
  *result = read;
  CPIC_CONV_ENTRY* reg = STIRegistrationOf(e);
  if (reg != nullptr) {
    CPIC_ENTRY_TRC(e, 2, u"%s: conv[%d].reg_state (reg_hook) = REG_INIT\n", kFn, f.regIndex);
    if (reg->f.inheritedTrace && reg->traceLevel.load() != 0) {
      CPIC_ENTRY_TRC(e, 2, u"%s: reset inherited trace level\n", kFn);
      CPIC_ENTRY_TRC(e, 2, u"%s: ok\n", kDealRel);
      reg->traceLevel.store(0);
      reg->f.inheritedTrace = 0;
      STIRecalcTraceLevel(f.index);
    }
    reg->f.regState = REG_INIT;
  }
  if (sent || keepQuiet) {
    STIResetConv(e, true);
    return true;
  }
  if (reg != nullptr) {
    reg->f.broken = 1;
    CPIC_ENTRY_ERR(e, u"%s: failed to send REG_INIT request", kFn);
    int32_t sock = -1;
    if (NiHdlToSock(reg->f.writeHdl, &sock) != WEQ_O_K) sock = -1;
    if (sock >= 0) CPIC_ENTRY_TRC(e, 2, u"%s: ==> WEQ_CMUNREGTP(%d)\n", kFn, sock);
    // The registration ends in its own version, which closes the
    // connection both entries shared.
    UnregisterEntry(reg, VersionOf(reg) == 3 ? kUnregTp3 : kUnregTp2, reg->f.readHdl);
    f.readHdl = f.writeHdl = NI_INVALID_HDL;
  }
  return false;
}
