// SNC on conversations: the conversation's SNC settings completed from the
// environment, the SNC session started as initiator or acceptor, the
// establishment of the security context through token messages of the
// conversation's own, the protection of sent data, the unprotection and
// piecewise delivery of received messages, the SNC part of a handed-over
// conversation, the end of the session, and the three questions of the
// Java side about the partner (mode, name, ACL key).
//
// Every call into the SNC layer runs under snc_cs, which is taken before
// the SNC layer's own lock; only the naming of a code runs outside it. The
// context is established lazily: nothing protected travels before the
// first send with data or the first protected answer.
#include <errno.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>

#include "i18n/wequ16/u16fmt.h"
#include "i18n/wequ16/u16str.h"
#include "krn/cpic/cpic.h"
#include "krn/cpic/cpic_int.h"
#include "krn/snc/snc.h"

namespace {

constexpr WEQ_UC kGetEnv[] = u"STISncGetEnv";
constexpr WEQ_UC kCheckMode[] = u"STSncCheckMode";
constexpr WEQ_UC kSncInit[] = u"STISncInit";
constexpr WEQ_UC kSncDone[] = u"STISncDone";
constexpr WEQ_UC kSncOut[] = u"STISncOut";
constexpr WEQ_UC kSncIn[] = u"STISncIn";
constexpr WEQ_UC kSncMode[] = u"WEQ_CMSNCMODE";
constexpr WEQ_UC kSncName[] = u"WEQ_CMSNCNAME";
constexpr WEQ_UC kAclKey[] = u"WEQ_CMACLKEY";

// Units of an SNC code's name as the error lines show it.
constexpr size_t kSncNameUnits = 128;
// The 8-byte parameter block behind a token: its length and the length
// asked for the answer.
constexpr int kTokenBlockLen = 8;
// The most protected bytes (a token or a data frame) that fit behind the
// header with the block of a send that asks for an answer.
constexpr int kProtectedRoom = CPIC_MSG_BUF_LEN - APPC_HDR_LEN - kTokenBlockLen;
// Offsets in the SNC part of a handover.
constexpr int kPartPartner = 2, kPartMine = 259, kPartLib = 516, kPartQop = 773, kPartMode = 774,
              kPartRole = 775, kPartNameLen = 257;
// Role of an SNC block, and of STISncInit.
constexpr uint8_t kInitiator = 1, kAcceptor = 2;

// Set once the process's first SncInit through this layer succeeded, also
// when it found no security. Written outside snc_cs: two threads may both
// call SncInit, and the SNC layer answers the second with the first's
// result.
std::atomic<uint8_t> g_sncStarted{0};

// snc_cs for the life of one SNC call.
class SncSection {
 public:
  SncSection() { ThrCSLock(&snc_cs); }
  ~SncSection() { ThrCSUnlock(&snc_cs); }
  SncSection(const SncSection&) = delete;
  SncSection& operator=(const SncSection&) = delete;
};

SNC_HDL Hdl(const CPIC_CONV_ENTRY* e) { return static_cast<SNC_HDL>(e->f.sncHdl); }

// A failed SNC call: the error line naming the call (none for call NULL)
// and the code, the code recorded, the error information traced; 20.
CM_RETURN_CODE SncFailed(CPIC_CONV_ENTRY* e, const WEQ_UC* fn, const WEQ_UC* call, SNC_RC code) {
  if (call != nullptr) {
    WEQ_UC name[kSncNameUnits];
    SncErrNameU16(code, name, kSncNameUnits);
    CPIC_ENTRY_ERR(e, u"%s: %s (%s)", fn, call, static_cast<const WEQ_UC*>(name));
  }
  {
    SncSection lock;
    SncErrSet(code);
  }
  CPIC_ENTRY_TRC(e, 2, u"%s\n", ErrGetAllTxt());
  return CM_PRODUCT_SPECIFIC_ERROR;
}

// The environment variable name when it is set; traced as found.
const WEQ_UC* EnvValue(CPIC_CONV_ENTRY* e, const WEQ_UC* name) {
  const WEQ_UC* v = STIGetenv(name);
  if (v != nullptr) CPIC_ENTRY_TRC(e, 2, u"%s: %s from env\n", kGetEnv, name);
  return v;
}

// A name field from the environment while it is empty: a value of 257
// units or more leaves it empty.
void EnvName(CPIC_CONV_ENTRY* e, const WEQ_UC* name, WEQ_UC* field) {
  if (field[0] != 0) return;
  const WEQ_UC* v = EnvValue(e, name);
  if (v == nullptr) return;
  strcpy_sU16(field, 257, v);
  CPIC_ENTRY_TRC(e, 2, u"%s: %s=%s\n", kGetEnv, name, static_cast<const WEQ_UC*>(field));
}

// A byte field from a decimal environment value (its low 8 bits).
void EnvByte(CPIC_CONV_ENTRY* e, const WEQ_UC* name, uint8_t* field) {
  const WEQ_UC* v = EnvValue(e, name);
  if (v == nullptr) return;
  *field = static_cast<uint8_t>(strtolU(v, nullptr, 10));
  CPIC_ENTRY_TRC(e, 2, u"%s: %s=%d\n", kGetEnv, name, static_cast<int>(*field));
}

// A name in the set-up without the double quotes around it: one at its
// start is dropped, and then one at its end.
const WEQ_UC* Unquoted(CPIC_CONV_ENTRY* e, const WEQ_UC* name, WEQ_UC (&copy)[257], const WEQ_UC* var) {
  if (name[0] != u'"') return name;
  CPIC_ENTRY_TRC(e, 2, u"%s: strip off quotes %s\n", kSncInit, var);
  strcpy_sU16(copy, 257, name + 1);
  size_t n = strlenU(copy);
  if (n > 0 && copy[n - 1] == u'"') copy[n - 1] = 0;
  return copy;
}

// The steps of STISncInit from the new session on: 0, or the failed call's
// code with *call naming it.
SNC_RC ConfigureSession(CPIC_CONV_ENTRY* e, SNC_HDL h, int role, const WEQ_UC** call) {
  const CPIC_SNC_PARAMS& p = *e->f.sncParams;
  WEQ_UC partnerCopy[257], mineCopy[257];
  const WEQ_UC* partner = Unquoted(e, p.partnerName, partnerCopy, u"SNC_PARTNERNAME");
  const WEQ_UC* mine = Unquoted(e, p.myName, mineCopy, u"SNC_MYNAME");
  int q = p.qop;
  SncSection lock;
  SNC_RC rc = WEQ_O_K;
  if (mine[0] != 0 && (rc = SncSetMyNameU16(h, mine)) != WEQ_O_K) return *call = u"SncSetIdentity", rc;
  if (role == kInitiator) {
    if ((rc = SncSessionInitiatorU16(h, 1, 0, partner)) != WEQ_O_K) return *call = u"SncSessionInitiator", rc;
    if (q != 0 && (rc = SncSetQOP(h, q, 9, q)) != WEQ_O_K) return *call = u"SncSetQOP", rc;
    return WEQ_O_K;
  }
  // Without a level of its own the acceptor keeps the default minimum and
  // maximum and uses the maximum.
  rc = q != 0 ? SncSetQOP(h, q, 9, q) : SncSetQOP(h, 8, 9, 9);
  if (rc != WEQ_O_K) return *call = u"SncSetQOP", rc;
  if ((rc = SncSessionAcceptor(h, 0)) != WEQ_O_K) return *call = u"SncSessionAcceptor", rc;
  return WEQ_O_K;
}

// Whether p lies in the entry's message buffer (its room in front
// included).
bool InMsgBuf(const CPIC_CONV_ENTRY* e, const void* p) {
  auto base = reinterpret_cast<uintptr_t>(e->f.msgBuf), at = reinterpret_cast<uintptr_t>(p);
  return base != 0 && at >= base && at < base + CPIC_MSG_FRONT + CPIC_MSG_BUF_LEN;
}

// Protected bytes that do not fit behind the header with a send's block.
bool TooLong(CPIC_CONV_ENTRY* e, const WEQ_UC* fn, size_t len) {
  if (len <= static_cast<size_t>(kProtectedRoom)) return false;
  CPIC_ENTRY_ERR(e, u"%s: %d protected bytes exceed %d", fn, static_cast<int>(len), kProtectedRoom);
  CPIC_ERR(INVALID_LEN);
  return true;
}

// One token to the partner in a gateway request of its own, and the
// answer read into msg. 0 with the answer's data length in *dataLen (the
// data lies behind the header); otherwise the code to return: 20 for a
// token that does not fit (the conversation stays), 20 after a failed send
// or receive, or the answer's non-zero code (the conversation released).
// With takeEnd, an answer that brings the partner's data together with its
// normal end (18) keeps the conversation and returns 18 with *dataLen set:
// the data is the partner's last message, to be unprotected and delivered
// before the end is.
CM_RETURN_CODE Exchange(CPIC_CONV_ENTRY* e, const WEQ_UC* fn, uint8_t* msg, const void* token, size_t tokenLen,
                        int* dataLen, bool takeEnd) {
  CpicConvFields& f = e->f;
  if (TooLong(e, fn, tokenLen)) return CM_PRODUCT_SPECIFIC_ERROR;
  int len = static_cast<int>(tokenLen);
  STIFillHdr(msg, e, F_WEQ_SEND);
  msg[APPC_OFF_INFO2] = GW_SNC_ACTIVE | SNC_INIT_PHASE;
  msg[APPC_OFF_INFO] = SYNC_CPIC_FUNCTION | WITH_GW_WEQ_PARAMS_HDR;
  msg[APPC_OFF_VECTOR] = F_V_SEND_DATA | F_V_RECEIVE;
  CpicIPutBe16(msg + APPC_OFF_PARAM_LEN, kTokenBlockLen);
  CpicIPutBe32(msg + APPC_OFF_REQ_AREA, CPIC_RCV_CAPACITY);
  uint8_t* block = msg + APPC_HDR_LEN + len;
  memcpy(msg + APPC_HDR_LEN, token, tokenLen);
  CpicIPutBe32(block, static_cast<uint32_t>(len));
  CpicIPutBe32(block + 4, CPIC_RCV_CAPACITY);
  if (STIAsSendToGw(e, msg, block, f.hdrVersion, STIHdrLen(e), APPC_HDR_LEN + len + kTokenBlockLen) != CM_OK) {
    STIDEAL(e);
    return CM_PRODUCT_SPECIFIC_ERROR;
  }
  CM_RETURN_CODE appcRc = CM_OK;
  int got = 0, r;
  // A keep-alive of the gateway on a conversation of the select set ends a
  // read early; the answer is still to come.
  do {
    r = STIAsRcvFromGw(e, msg, nullptr, CPIC_RCV_CAPACITY, &got, NI_BLOCK, nullptr, &appcRc);
  } while (r == -3);
  if (r != 0) {
    STIDEAL(e);
    return CM_PRODUCT_SPECIFIC_ERROR;
  }
  int hl = STIHdrLen(e);
  *dataLen = got > hl ? got - hl : 0;
  // An error record behind the header is the gateway's, not the partner's.
  bool errInfo = (msg[APPC_OFF_INFO] & WITH_ERR_INFO) && CpicIGetBe32(msg + APPC_OFF_WEQ_RC) != 0;
  if (takeEnd && appcRc == CM_DEALLOCATED_NORMAL && !errInfo && *dataLen > 0) return appcRc;
  if (appcRc != CM_OK) {
    STIDEAL(e);
    return appcRc;
  }
  return CM_OK;
}

// SncProcessInput on one received message.
SNC_RC ProcessInput(CPIC_CONV_ENTRY* e, const void* in, size_t len, const void** data, size_t* dataLen,
                    const void** back, size_t* backLen) {
  SncSection lock;
  return SncProcessInput(Hdl(e), in, len, data, dataLen, back, backLen);
}

SNC_RC ProcessOutput(CPIC_CONV_ENTRY* e, const void* in, size_t len, uint8_t* done, const void** out,
                     size_t* outLen) {
  SncSection lock;
  return SncProcessOutput(Hdl(e), in, len, done, out, outLen);
}

// A failure of STISncOut or STISncIn: code also stored through rc.
int OutFail(CM_RETURN_CODE* rc, CM_RETURN_CODE code) { return CpicIRc(rc, code); }

// The partner learns why the conversation ends (766, CM_SECURITY_NOT_VALID)
// unless a step before released it already.
void TellPartner(CPIC_CONV_ENTRY* e, const CpicIHold& hold) {
  if (!hold.alive()) return;
  char own[8];
  CpicIU64ToId(e->id.load(), own);
  WEQ_CMSENDERRINFO(own, C_SNC_ERROR, CM_SECURITY_NOT_VALID, nullptr);
}

// The entry's buffer of an unprotected message, made on first need.
uint8_t* PendingBuf(CPIC_CONV_ENTRY* e) {
  if (e->f.sncPending == nullptr) {
    e->f.sncPending = malloc(CPIC_RCV_CAPACITY);
    if (e->f.sncPending == nullptr) CPIC_ERR_SYS(C_NO_MEM, u"malloc", ENOMEM, CPIC_RCV_CAPACITY);
  }
  return static_cast<uint8_t*>(e->f.sncPending);
}

// How a question verb on a conversation begins: 0 with *e, or its code.
CM_RETURN_CODE QueryStart(const WEQ_UC* name, const char* convId, uint8_t func, const void* out,
                          const WEQ_UC* outName, CPIC_CONV_ENTRY** e) {
  CM_RETURN_CODE code;
  *e = STIVerbStart(name, convId, func, 1, &code, nullptr, false);
  if (*e == nullptr) return code;
  if (out == nullptr) return STINullArg(name, outName);
  return CM_OK;
}

void QueryBanner(CPIC_CONV_ENTRY* e, const WEQ_UC* name, const char* convId) {
  CPIC_ENTRY_TRC(e, 2, u"************ %s ************\n", name);
  CPIC_ENTRY_TRC(e, 2, u"%s: conversation_ID: %.8s\n", name, CpicIIdText(convId).s);
}

// The part the name and key questions share after their NULL checks: the
// thread's record, SNC on and a session. 0, or the code to return.
CM_RETURN_CODE QuerySession(CPIC_CONV_ENTRY* e, const WEQ_UC* name, const char* convId) {
  STI_GLOB* glob = STIGetGlob();
  if (glob == nullptr) {
    CPIC_ENTRY_TRC(e, 2, u"%s\n", ErrGetAllTxt());
    return CM_RESOURCE_FAILURE_RETRY;
  }
  QueryBanner(e, name, convId);
  if (e->f.sncState == 2) {
    CPIC_ERR(C_SNC_DISABLED, CpicIIdText(convId).s, static_cast<const WEQ_UC*>(glob->tpName));
    return CM_PRODUCT_SPECIFIC_ERROR;
  }
  if (e->f.sncHdl == nullptr) {
    CPIC_ERR(C_SNC_INV_HANDLE, CpicIIdText(convId).s);
    return CM_PRODUCT_SPECIFIC_ERROR;
  }
  return CM_OK;
}

// The SNC trace handle is the process's: the conversation set up last
// receives every later SNC line.
void SncTraceTo(CPIC_CONV_ENTRY* e) {
  SncSection lock;
  SncSetTraceFile(e->f.traceHdl);
}

}  // namespace

CM_RETURN_CODE STSncCheckMode(CPIC_CONV_ENTRY* e) {
  uint8_t mode = e->f.sncParams->mode;
  if (mode < 3) return CM_OK;
  WEQ_UC value[16];
  snprintfU16(value, 16, u"0x%X", static_cast<unsigned>(mode));
  CPIC_ERR(C_ILLEGAL_PARAMETER2, kCheckMode, u"snc_mode", static_cast<const WEQ_UC*>(value));
  return CM_PARAMETER_ERROR;
}

CM_RETURN_CODE STISncGetEnv(CPIC_CONV_ENTRY* e) {
  CPIC_SNC_PARAMS& p = *e->f.sncParams;
  if (p.mode == 2) EnvByte(e, u"SNC_MODE", &p.mode);
  if (STSncCheckMode(e) != CM_OK) {
    CPIC_ENTRY_TRC(e, 2, u"%s: invalid mode (%d)\n", kGetEnv, static_cast<int>(p.mode));
    return CM_PARAMETER_ERROR;
  }
  if (p.mode == 0) return CM_OK;
  EnvName(e, u"SNC_PARTNERNAME", p.partnerName);
  EnvName(e, u"SNC_MYNAME", p.myName);
  EnvName(e, u"SNC_LIB", p.libPath);
  if (p.qop == 0) EnvByte(e, u"SNC_QOP", &p.qop);
  if (p.role == 0) {
    const WEQ_UC* v = EnvValue(e, u"SNC_ROLE");
    if (v != nullptr) {
      p.role = strcmpU(v, u"INITIATOR") == 0 ? kInitiator : static_cast<uint8_t>(strtolU(v, nullptr, 10));
      CPIC_ENTRY_TRC(e, 2, u"%s: %s=%d\n", kGetEnv, u"SNC_ROLE", static_cast<int>(p.role));
    }
  }
  return CM_OK;
}

CM_RETURN_CODE STISncInit(CPIC_CONV_ENTRY* e, int role) {
  CpicConvFields& f = e->f;
  if (f.sncState == 1) return CM_OK;
  if (!g_sncStarted.load(std::memory_order_acquire)) {
    uint8_t avail = 0;
    SNC_RC rc;
    {
      SncSection lock;
      if (f.sncParams->libPath[0] != 0) SncSetParamU16(SNC_PARAM_GSSAPI_LIB, f.sncParams->libPath, 0);
      rc = SncInit(role == kInitiator ? 9 : 0, nullptr, &avail);
    }
    if (rc != WEQ_O_K) return SncFailed(e, kSncInit, u"SncInit", rc);
    g_sncStarted.store(1, std::memory_order_release);
    if (!avail) {
      CPIC_ERR(C_SNC_NOT_AVAILABLE, kSncInit);
      CPIC_ENTRY_TRC(e, 2, u"%s\n", ErrGetAllTxt());
      return CM_PRODUCT_SPECIFIC_ERROR;
    }
  }
  SNC_HDL h = nullptr;
  SNC_RC rc;
  {
    SncSection lock;
    rc = SncSessionInit(&h);
  }
  if (rc != WEQ_O_K) return SncFailed(e, kSncInit, u"SncSessionInit", rc);
  const WEQ_UC* call = nullptr;
  rc = ConfigureSession(e, h, role, &call);
  if (rc != WEQ_O_K) {
    CM_RETURN_CODE code = SncFailed(e, kSncInit, call, rc);
    // The entry never held this session: it ends here.
    SncSection lock;
    SncSessionDone(&h);
    return code;
  }
  f.sncHdl = h;
  f.sncState = 1;
  CPIC_ENTRY_TRC(e, 2, u"%s: set snc state to SNC_ENABLED\n", kSncInit);
  return CM_OK;
}

CM_RETURN_CODE STISncSetUpInit(CPIC_CONV_ENTRY* e, const WEQ_UC*) {
  e->f.sncState = 2;
  e->f.sncHdl = nullptr;
  if (e->f.sncParams->mode == 0) return CM_OK;
  SncTraceTo(e);
  return STISncInit(e, kInitiator);
}

CM_RETURN_CODE STISncSetUpAccp(CPIC_CONV_ENTRY* e) {
  SncTraceTo(e);
  return STISncInit(e, kAcceptor);
}

int STISncDone(CPIC_CONV_ENTRY* e) {
  SNC_HDL h = Hdl(e);
  SNC_RC rc;
  {
    SncSection lock;
    rc = SncSessionDone(&h);
  }
  // The layer refuses no live session: the entry holds none after this.
  e->f.sncHdl = nullptr;
  if (rc != WEQ_O_K) {
    WEQ_UC name[kSncNameUnits];
    SncErrNameU16(rc, name, kSncNameUnits);
    CPIC_ENTRY_ERR(e, u"%s: SncSessionDone (%s)", kSncDone, static_cast<const WEQ_UC*>(name));
    SncSection lock;
    SncErrSet(rc);
  }
  return rc;
}

int STISncOut(CPIC_CONV_ENTRY* e, uint8_t* msgBuf, const void* data, int32_t length, void** out, int32_t* outLength,
              CM_RETURN_CODE* rc) {
  CpicIHold hold(e);
  uint8_t done = 0;
  const void* o = nullptr;
  size_t olen = 0;
  SNC_RC src = ProcessOutput(e, data, static_cast<size_t>(length), &done, &o, &olen);
  if (src != WEQ_O_K) return OutFail(rc, SncFailed(e, kSncOut, nullptr, src));
  for (;;) {
    CPIC_ENTRY_TRC(e, 2, u"%s: snc_done=%d,snc_outbuflen=%d\n", kSncOut, static_cast<int>(done),
                   static_cast<int>(olen));
    if (done) break;
    if (olen == 0) {
      // Nothing to send while the context is not established: the partner
      // has nothing to answer, and asking again would give the same.
      CPIC_ENTRY_ERR(e, u"%s: SncProcessOutput(snc_outbuflen=0)", kSncOut);
      return OutFail(rc, SncFailed(e, kSncOut, nullptr, SNCERR_TRY_LATER));
    }
    // The context is not established yet and the output is a token. Its
    // exchange reads the answers into the message buffer: data that lies
    // there (the held first block, a flush before the deallocate) is kept
    // aside meanwhile.
    void* saved = nullptr;
    if (InMsgBuf(e, data) && length > 0) {
      saved = malloc(static_cast<size_t>(length));
      if (saved == nullptr) {
        CPIC_ERR_SYS(C_NO_MEM, u"malloc", errno ? errno : ENOMEM, length);
        return OutFail(rc, CM_PRODUCT_SPECIFIC_ERROR);
      }
      CPIC_ENTRY_TRC(e, 2, u"%s: save data %d\n", kSncOut, length);
      memcpy(saved, data, static_cast<size_t>(length));
    }
    const void* token = o;
    size_t tokenLen = olen;
    size_t plainLen = 0;
    CM_RETURN_CODE code = CM_OK;
    while (tokenLen > 0) {
      int answerLen = 0;
      code = Exchange(e, kSncOut, msgBuf, token, tokenLen, &answerLen, false);
      if (code != CM_OK) break;
      const void *plain = nullptr, *back = nullptr;
      size_t backLen = 0;
      src = ProcessInput(e, msgBuf + STIHdrLen(e), static_cast<size_t>(answerLen), &plain, &plainLen, &back,
                         &backLen);
      if (src != WEQ_O_K) {
        code = SncFailed(e, kSncOut, nullptr, src);
        break;
      }
      CPIC_ENTRY_TRC(e, 2, u"%s:SncProcessInput: snc_rbuflen=%d,snc_backbuflen=%d\n", kSncOut,
                     static_cast<int>(plainLen), static_cast<int>(backLen));
      token = back;
      tokenLen = backLen;
    }
    if (code == CM_OK && plainLen > 0) {
      CPIC_ENTRY_ERR(e, u"%s: SncProcessInput(snc_rbuflen>0)", kSncOut);
      code = CM_PRODUCT_SPECIFIC_ERROR;
    }
    if (saved != nullptr) {
      // A released conversation's buffer is gone with it.
      if (hold.alive()) {
        memcpy(const_cast<void*>(data), saved, static_cast<size_t>(length));
        CPIC_ENTRY_TRC(e, 2, u"%s: restore data %d\n", kSncOut, length);
      }
      free(saved);
    }
    if (code != CM_OK) return OutFail(rc, code);
    src = ProcessOutput(e, data, static_cast<size_t>(length), &done, &o, &olen);
    if (src != WEQ_O_K) return OutFail(rc, SncFailed(e, kSncOut, nullptr, src));
  }
  CPIC_ENTRY_TRC(e, 2, u"%s: recalculate send_length (%d/%d)\n", kSncOut, length, static_cast<int>(olen));
  if (TooLong(e, kSncOut, olen)) return OutFail(rc, CM_PRODUCT_SPECIFIC_ERROR);
  *out = const_cast<void*>(o);
  *outLength = static_cast<int32_t>(olen);
  return OutFail(rc, CM_OK);
}

namespace {

// STISncIn; with end given, an answer to a token that brings the partner's
// last data with its normal end is unprotected like any other and *end
// becomes 18: the conversation stays until the data is delivered. A token
// the partner's end leaves unanswered is dropped, since nobody waits for
// it. Without end such an answer releases the conversation and 18 is
// returned.
int SncIn(CPIC_CONV_ENTRY* e, uint8_t* msgBuf, void* data, int32_t length, void** out, int32_t* outLength,
          CM_RETURN_CODE* rc, CM_RETURN_CODE* end) {
  bool ended = false;
  *out = nullptr;
  *outLength = 0;
  const void *plain = nullptr, *back = nullptr;
  size_t plainLen = 0, backLen = 0;
  SNC_RC src = ProcessInput(e, data, static_cast<size_t>(length), &plain, &plainLen, &back, &backLen);
  if (src != WEQ_O_K) return OutFail(rc, SncFailed(e, kSncIn, nullptr, src));
  for (;;) {
    CPIC_ENTRY_TRC(e, 2, u"%s: SncProcessInput: snc_rbuflen=%d,snc_backbuflen=%d\n", kSncIn,
                   static_cast<int>(plainLen), static_cast<int>(backLen));
    if (backLen == 0 || ended) break;
    int answerLen = 0;
    CM_RETURN_CODE code = Exchange(e, kSncIn, msgBuf, back, backLen, &answerLen, end != nullptr);
    if (code == CM_DEALLOCATED_NORMAL && end != nullptr && answerLen > 0) {
      *end = code;
      ended = true;
    } else if (code != CM_OK) {
      return OutFail(rc, code);
    }
    if (answerLen == 0) {
      CPIC_ENTRY_ERR(e, u"%s: no SNC data received\n", kSncIn);
      return OutFail(rc, CM_PRODUCT_SPECIFIC_ERROR);
    }
    src = ProcessInput(e, msgBuf + STIHdrLen(e), static_cast<size_t>(answerLen), &plain, &plainLen, &back,
                       &backLen);
    if (src != WEQ_O_K) return OutFail(rc, SncFailed(e, kSncIn, nullptr, src));
  }
  *out = const_cast<void*>(plain);
  *outLength = static_cast<int32_t>(plainLen);
  return OutFail(rc, CM_OK);
}

}  // namespace

int STISncIn(CPIC_CONV_ENTRY* e, uint8_t* msgBuf, void* data, int32_t length, void** out, int32_t* outLength,
             CM_RETURN_CODE* rc) {
  return SncIn(e, msgBuf, data, length, out, outLength, rc, nullptr);
}

CM_RETURN_CODE STISncProtect(CPIC_CONV_ENTRY* e, const WEQ_UC* name, uint8_t* msg, int32_t* length,
                             uint8_t* info2) {
  uint8_t* area = msg + APPC_HDR_LEN;
  STIDumpUserData(e, u"send raw data to gateway (user data)", area, *length);
  *info2 = 0;
  if (e->f.sncState != 1) return CM_OK;
  *info2 = GW_SNC_ACTIVE;
  if (*length <= 0) return CM_OK;
  void* out = nullptr;
  int32_t outLen = 0;
  CM_RETURN_CODE src = CM_OK;
  CPIC_ENTRY_TRC(e, 2, u"---> start snc processing\n");
  CpicIHold hold(e);
  if (STISncOut(e, msg, area, *length, &out, &outLen, &src) != CM_OK) {
    CPIC_ENTRY_ERR(e, u"%s:STISncOut failed %d\n", name, static_cast<int>(src));
    TellPartner(e, hold);
    return src;
  }
  CPIC_ENTRY_TRC(e, 2, u"<--- end snc processing\n");
  memmove(area, out, static_cast<size_t>(outLen));
  *length = outLen;
  return CM_OK;
}

CM_RETURN_CODE STISncDeliver(CPIC_CONV_ENTRY* e, const WEQ_UC* name, uint8_t* msg, int msgLen, bool fresh,
                             void* buffer, int32_t requested, const CPIC_RCV_OUT& out, CM_RETURN_CODE appcRc) {
  CpicConvFields& f = e->f;
  if (fresh) {
    int hl = STIHdrLen(e);
    int dataLen = msgLen > hl ? msgLen - hl : 0;
    int32_t plainLen = 0;
    // The code the message is delivered with: an answer to a token may
    // have brought the partner's last data with its end.
    CM_RETURN_CODE code = appcRc;
    uint8_t* pending = PendingBuf(e);
    if (pending == nullptr) return CM_RESOURCE_FAILURE_NO_RETRY;
    // The raw trace setting chooses the dumps only: a protected message is
    // always unprotected, whatever the trace shows.
    if (appcRc == CM_OK || appcRc == CM_DEALLOCATED_NORMAL) {
      STIDumpUserData(e, u"data before snc", msg + hl, dataLen);
      CPIC_ENTRY_TRC(e, 2, u"---> start snc processing\n");
      void* plain = nullptr;
      CM_RETURN_CODE src = CM_OK;
      CpicIHold hold(e);
      if (SncIn(e, msg, msg + hl, dataLen, &plain, &plainLen, &src, &code) != CM_OK) {
        CPIC_ENTRY_ERR(e, u"%s:STISncIn failed %d\n", name, static_cast<int>(src));
        TellPartner(e, hold);
        return src;
      }
      CPIC_ENTRY_TRC(e, 2, u"<--- end snc processing\n");
      if (plainLen > CPIC_RCV_CAPACITY) {
        // More plain data than a message may hold: the partner's protection
        // is broken, and nothing of it is handed out.
        CPIC_ERR(READ_FROM_GW_FAILED, static_cast<int>(plainLen));
        STIDEAL(e);
        return CM_PRODUCT_SPECIFIC_ERROR;
      }
      if (plainLen > 0) memcpy(pending, plain, static_cast<size_t>(plainLen));
    }
    // A message with another code is not unprotected: it delivers its own
    // results and no data. After token exchanges msg holds the last
    // answer, whose results go with the data it brought.
    f.sncOffset = 0;
    f.sncBytesLeft = plainLen;
    f.savedRcv[0] = CpicIGetBe32(msg + 52);
    f.savedRcv[1] = CpicIGetBe32(msg + 60);
    f.savedRcv[2] = CpicIGetBe32(msg + 64);
    f.savedRcv[3] = static_cast<uint32_t>(code);
  }
  const uint8_t* from = static_cast<const uint8_t*>(f.sncPending) + f.sncOffset;
  if (f.sncBytesLeft > requested) {
    if (requested > 0) memcpy(buffer, from, static_cast<size_t>(requested));
    *out.receivedLength = requested;
    *out.dataReceived = CM_INCOMPLETE_DATA_RECEIVED;
    *out.statusReceived = CM_NO_STATUS_RECEIVED;
    *out.rts = 0;
    f.sncOffset += requested;
    f.sncBytesLeft -= requested;
    return CM_OK;
  }
  if (f.sncBytesLeft > 0) memcpy(buffer, from, static_cast<size_t>(f.sncBytesLeft));
  *out.receivedLength = f.sncBytesLeft;
  *out.dataReceived = static_cast<int32_t>(f.savedRcv[0]);
  *out.statusReceived = static_cast<int32_t>(f.savedRcv[1]);
  *out.rts = static_cast<int32_t>(f.savedRcv[2]);
  f.sncOffset = 0;
  f.sncBytesLeft = 0;
  return static_cast<CM_RETURN_CODE>(f.savedRcv[3]);
}

CM_RETURN_CODE STISncAccept(CPIC_CONV_ENTRY* e, const WEQ_UC* name, const uint8_t* part) {
  CPIC_SNC_PARAMS& p = *e->f.sncParams;
  STISncGetEnv(e);
  const struct {
    WEQ_UC* field;
    int at;
    const WEQ_UC* label;
  } names[] = {{p.partnerName, kPartPartner, u"conv->snc_data->partnername"},
               {p.myName, kPartMine, u"conv->snc_data->myname"},
               {p.libPath, kPartLib, u"conv->snc_data->lib"}};
  for (const auto& n : names) {
    if (n.field[0] != 0) continue;
    int crc = GwConvFromNet(n.field, nullptr, 257, reinterpret_cast<const char*>(part + n.at), kPartNameLen, 1, 0);
    if (crc != 0) {
      n.field[0] = 0;
      CPIC_ERR(C_NET_CONV_ERROR, n.label, crc);
      STIDEAL(e);
      return CM_PRODUCT_SPECIFIC_ERROR;
    }
  }
  if (p.mode == 2) p.mode = part[kPartMode];
  if (p.qop == 0) p.qop = part[kPartQop];
  if (p.role == 0) p.role = part[kPartRole];
  if (part[kPartRole] == kInitiator) {
    CM_RETURN_CODE r = STISncSetUpInit(e, nullptr);
    if (r != CM_OK) CPIC_ENTRY_ERR(e, u"%s:STISncSetUpInit failed %d\n", name, static_cast<int>(r));
    return r;
  }
  CM_RETURN_CODE r = STISncSetUpAccp(e);
  if (r != CM_OK) CPIC_ENTRY_ERR(e, u"%s:STISncSetUpAccp failed %d\n", name, static_cast<int>(r));
  return r;
}

CM_RETURN_CODE WEQ_CMSNCMODE(const char* convId, uint8_t* mode, CM_RETURN_CODE* rc) {
  CPIC_CONV_ENTRY* e = nullptr;
  CM_RETURN_CODE code = QueryStart(kSncMode, convId, CPIC_FN_CM_SNCMODE, mode, u"snc_mode", &e);
  if (code != CM_OK) return CpicIRc(rc, code);
  QueryBanner(e, kSncMode, convId);
  *mode = 2;
  switch (e->f.sncState) {
    case 1:
      *mode = 1;
      CPIC_ENTRY_TRC(e, 2, u"%s: snc mode : ON\n", kSncMode);
      break;
    case 2:
      *mode = 0;
      CPIC_ENTRY_TRC(e, 2, u"%s: snc mode : OFF\n", kSncMode);
      break;
    default:
      CPIC_ERR(C_SNC_INV_STATE, kSncMode, static_cast<int>(e->f.sncState));
      return CpicIRc(rc, CM_PARAMETER_ERROR);
  }
  CPIC_ENTRY_TRC(e, 2, u"%s: ok\n", kSncMode);
  return CpicIRc(rc, CM_OK);
}

CM_RETURN_CODE WEQ_CMSNCNAME(const char* convId, WEQ_UC* name, int32_t size, CM_RETURN_CODE* rc) {
  CPIC_CONV_ENTRY* e = nullptr;
  CM_RETURN_CODE code = QueryStart(kSncName, convId, CPIC_FN_CM_SNCNAME, name, u"sncname", &e);
  if (code == CM_OK) code = QuerySession(e, kSncName, convId);
  if (code != CM_OK) return CpicIRc(rc, code);
  const WEQ_UC* peer = nullptr;
  SNC_RC src;
  {
    SncSection lock;
    src = SncGetPeerNameU16(Hdl(e), &peer);
  }
  if (src != WEQ_O_K) return CpicIRc(rc, SncFailed(e, kSncName, u"SncGetPeerName", src));
  int len = static_cast<int>(strlenU(peer));
  if (size <= len) {
    CPIC_ERR(C_AREA_TOO_SMALL, u"sncname", kSncName, static_cast<int>(size), len);
    return CpicIRc(rc, CM_PRODUCT_SPECIFIC_ERROR);
  }
  memcpy(name, peer, (static_cast<size_t>(len) + 1) * sizeof(WEQ_UC));
  CPIC_ENTRY_TRC(e, 2, u"%s: SNC Name = %s\n", kSncName, static_cast<const WEQ_UC*>(name));
  CPIC_ENTRY_TRC(e, 2, u"%s: ok\n", kSncName);
  return CpicIRc(rc, CM_OK);
}

CM_RETURN_CODE WEQ_CMACLKEY(const char* convId, uint8_t* key, int32_t size, uint32_t* keyLen, CM_RETURN_CODE* rc) {
  CPIC_CONV_ENTRY* e = nullptr;
  CM_RETURN_CODE code = QueryStart(kAclKey, convId, CPIC_FN_CM_ACLKEY, key, u"aclkey", &e);
  if (code == CM_OK && keyLen == nullptr) code = STINullArg(kAclKey, u"retlen");
  if (code == CM_OK) code = QuerySession(e, kAclKey, convId);
  if (code != CM_OK) return CpicIRc(rc, code);
  const uint8_t* k = nullptr;
  size_t n = 0;
  SNC_RC src;
  {
    SncSection lock;
    src = SncGetPeerAclKey(Hdl(e), &k, &n);
  }
  *keyLen = static_cast<uint32_t>(n);
  if (src != WEQ_O_K) return CpicIRc(rc, SncFailed(e, kAclKey, u"SncGetPeerAclKey", src));
  if (size < 0 || n > static_cast<size_t>(size)) {
    CPIC_ERR(C_AREA_TOO_SMALL, u"aclkey", kAclKey, static_cast<int>(size), static_cast<int>(n));
    return CpicIRc(rc, CM_PRODUCT_SPECIFIC_ERROR);
  }
  CPIC_ENTRY_TRC(e, 2, u"%s: Aclkey len = %d\n", kAclKey, static_cast<int>(n));
  if (n > 0) memcpy(key, k, n);
  CPIC_ENTRY_TRC(e, 2, u"%s: ok\n", kAclKey);
  return CpicIRc(rc, CM_OK);
}

void STISncResetProcess(void) { g_sncStarted.store(0); }
