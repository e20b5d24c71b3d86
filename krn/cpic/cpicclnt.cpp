// The client's road into a conversation and out of it: the initialise
// (WEQ_STINIT3) with its side information, route and gateway connect, the
// allocate (STALLC), the release of a conversation (STIDEAL) that every
// verb ends with, and the steps that the verbs share.
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <memory>

#include "i18n/wequ16/u16fmt.h"
#include "i18n/wequ16/u16str.h"
#include "krn/cpic/cpic.h"
#include "krn/cpic/cpic_int.h"

namespace {

constexpr WEQ_UC kInit3[] = u"WEQ_STINIT3";
constexpr WEQ_UC kAllc[] = u"STALLC";

// Bytes of the initialise request: the header and its parameter block.
constexpr int kInitBlockLen = 340;
constexpr int kInitMsgLen = APPC_HDR_LEN + kInitBlockLen;
// Offsets in the initialise request's parameter block.
constexpr int kBlkTrace = 0, kBlkLongLu = 72, kBlkAddr16 = 200, kBlkUser = 216, kBlkIpv4 = 268, kBlkLongTp = 276;
constexpr int kLuLen = 128, kTpLen = 64, kUserLen = 12;
// Units of the route's outputs.
constexpr size_t kRouteUnits = 129;

size_t Units(const WEQ_UC* s) { return s != nullptr ? strlenU(s) : 0; }
bool Empty(const WEQ_UC* s) { return s == nullptr || s[0] == 0; }

// A text into a blank-padded 8-bit field of the header or its block: the
// first units that fit. A short field takes a cut name (false only for a
// converter failure); a long one must take the whole name.
bool NetField(uint8_t* field, int width, const WEQ_UC* text, int units, bool whole, int* crc) {
  memset(field, ' ', static_cast<size_t>(width));
  *crc = GwConvToNet(reinterpret_cast<char*>(field), nullptr, width, text, units, 0, 0);
  return *crc == 0 || (*crc == 32 && !whole);
}

// The working record of one initialise: every value that the side
// information may fill, each with its key.
struct InitWork {
  WEQ_UC lu[kLuLen + 1] = {};
  WEQ_UC tp[kTpLen + 1] = {};
  std::unique_ptr<WEQ_UC, void (*)(void*)> host{nullptr, free};  // CPIC_GW_HOST_LEN + 1 units
  WEQ_UC serv[CPIC_GW_SERV_LEN] = {};
  WEQ_UC protocol[2] = {u' ', 0};
  int32_t trace = -1;
  CPIC_SNC_PARAMS snc{};
  int32_t buffering = 0;
  int32_t connectTimeout = 0;
  int32_t traceRaw = 0;
  int32_t traceAppcHdr = 0;
  CPIC_SI_PARAM keys[17] = {};

  enum Key { kHost, kServ, kLu, kTp, kProt, kTrace, kPartner, kMine, kLib, kMode, kQop, kRole, kBuffering,
             kConnTimeout, kTraceRaw, kTraceHdr, kCount };
  // The keys that the verb's arguments can give: the file is read only
  // when one of them is still open.
  static constexpr int kArgKeys = kBuffering;

  CPIC_SI_PARAM& key(Key k) { return keys[k]; }
  bool given(Key k) const { return keys[k].assigned != 0; }
  void Give(Key k) { keys[k].assigned = 1; }

  bool Setup() {
    host.reset(static_cast<WEQ_UC*>(calloc(CPIC_GW_HOST_LEN + 1, sizeof(WEQ_UC))));
    if (host == nullptr) return false;
    auto def = [&](Key k, const WEQ_UC* name, void* target, int32_t cap, CPIC_SI_TYPE type) {
      keys[k] = CPIC_SI_PARAM{name, static_cast<int32_t>(strlenU(name)), target, cap, type, 0, 0, 0};
    };
    def(kHost, u"GWHOST", host.get(), CPIC_GW_HOST_LEN, CPIC_SI_STRING);
    def(kServ, u"GWSERV", serv, CPIC_GW_SERV_LEN - 1, CPIC_SI_STRING);
    def(kLu, u"LU", lu, kLuLen, CPIC_SI_STRING);
    def(kTp, u"TP", tp, kTpLen, CPIC_SI_STRING);
    def(kProt, u"PROTOCOL", protocol, 1, CPIC_SI_STRING);
    def(kTrace, u"CPIC_TRACE", &trace, 0, CPIC_SI_INT);
    def(kPartner, u"SNC_PARTNERNAME", snc.partnerName, 256, CPIC_SI_STRING);
    def(kMine, u"SNC_MYNAME", snc.myName, 256, CPIC_SI_STRING);
    def(kLib, u"SNC_LIB", snc.libPath, 256, CPIC_SI_STRING);
    def(kMode, u"SNC_MODE", &snc.mode, 0, CPIC_SI_DIGIT);
    def(kQop, u"SNC_QOP", &snc.qop, 0, CPIC_SI_DIGIT);
    def(kRole, u"SNC_ROLE", &snc.role, 0, CPIC_SI_DIGIT);
    def(kBuffering, u"BUFFERING", &buffering, 0, CPIC_SI_INT);
    def(kConnTimeout, u"CONNECT_TIMEOUT", &connectTimeout, 0, CPIC_SI_INT);
    def(kTraceRaw, u"TRACE_RAW", &traceRaw, 0, CPIC_SI_INT);
    def(kTraceHdr, u"TRACE_APPCHDR", &traceAppcHdr, 0, CPIC_SI_INT);
    keys[kCount] = CPIC_SI_PARAM{};
    snc.first = 1;
    snc.mode = 2;
    snc.role = 1;
    return true;
  }

  bool AnyArgKeyOpen() const {
    for (int k = 0; k < kArgKeys; ++k)
      if (!keys[k].assigned) return true;
    return false;
  }
};

// Takes the arguments' values as the keys' given values. False (19
// recorded) for a gateway host or service that does not fit.
bool TakeArguments(InitWork& w, const WEQ_UC* lu, const WEQ_UC* tp, const WEQ_UC* gwHost, const WEQ_UC* gwServ,
                   WEQ_UC protocol, int32_t traceLevel, const CPIC_SNC_PARAMS* snc) {
  const CpicGlobals& g = CpicIGlobals();
  size_t hostLen = Units(gwHost), servLen = Units(gwServ);
  if (hostLen > CPIC_GW_HOST_LEN) {
    STIBadLength(kInit3, u"gwhost_length", static_cast<int32_t>(hostLen), CPIC_GW_HOST_LEN);
    return false;
  }
  if (servLen >= CPIC_GW_SERV_LEN) {
    STIBadLength(kInit3, u"gwserv_length", static_cast<int32_t>(servLen), CPIC_GW_SERV_LEN);
    return false;
  }
  if (hostLen > 0 || g.gwHostGiven) {
    strcpy_sU16(w.host.get(), CPIC_GW_HOST_LEN + 1, hostLen > 0 ? gwHost : g.gwHost);
    w.Give(InitWork::kHost);
  }
  if (servLen > 0 || g.gwServGiven) {
    strncpy_sU16(w.serv, CPIC_GW_SERV_LEN, servLen > 0 ? gwServ : g.gwServ, CPIC_GW_SERV_LEN - 1);
    w.Give(InitWork::kServ);
  }
  if (!Empty(lu)) {
    strncpy_sU16(w.lu, kLuLen + 1, lu, kLuLen);
    w.Give(InitWork::kLu);
  }
  if (!Empty(tp)) {
    strncpy_sU16(w.tp, kTpLen + 1, tp, kTpLen);
    w.Give(InitWork::kTp);
  }
  if (protocol != u' ' || g.protocolGiven) {
    w.protocol[0] = protocol != u' ' ? protocol : g.protocol;
    w.Give(InitWork::kProt);
  }
  if (w.protocol[0] == u'R') {
    w.lu[0] = 0;
    w.Give(InitWork::kLu);
  }
  if (traceLevel != -1) {
    w.trace = traceLevel;
    w.Give(InitWork::kTrace);
  }
  const InitWork::Key sncKeys[] = {InitWork::kPartner, InitWork::kMine, InitWork::kLib,
                                   InitWork::kMode,    InitWork::kQop,  InitWork::kRole};
  if (snc == nullptr || snc->mode == 0 || snc->mode == 2) {
    // Side information never turns SNC on for such a call.
    for (InitWork::Key k : sncKeys) w.Give(k);
    w.snc.mode = snc == nullptr ? 0 : snc->mode;
  }
  if (snc != nullptr) {
    if (snc->partnerName[0] != 0) {
      strncpy_sU16(w.snc.partnerName, 257, snc->partnerName, 256);
      w.Give(InitWork::kPartner);
    }
    if (snc->myName[0] != 0) {
      // A name that begins with a blank asks for the default identity.
      if (snc->myName[0] != u' ') strncpy_sU16(w.snc.myName, 257, snc->myName, 256);
      w.Give(InitWork::kMine);
    }
    if (snc->libPath[0] != 0) {
      strncpy_sU16(w.snc.libPath, 257, snc->libPath, 256);
      w.Give(InitWork::kLib);
    }
    if (snc->mode <= 2) {
      w.snc.mode = snc->mode;
      w.Give(InitWork::kMode);
    }
    if (snc->qop != 0) {
      w.snc.qop = snc->qop;
      w.Give(InitWork::kQop);
    }
    if (snc->role != 0) {
      w.snc.role = snc->role;
      w.Give(InitWork::kRole);
    }
  }
  if (g.bufferingGiven) {
    w.buffering = g.buffering;
    w.Give(InitWork::kBuffering);
  }
  if (g.traceRawGiven) {
    w.traceRaw = g.traceRaw;
    w.Give(InitWork::kTraceRaw);
  }
  if (g.traceAppcHdrGiven) {
    w.traceAppcHdr = g.traceAppcHdr;
    w.Give(InitWork::kTraceHdr);
  }
  return true;
}

// The initialise from its step 4 on; *connected tells the caller whether
// the connection stands (release) or not (reset).
CM_RETURN_CODE Init3(CPIC_CONV_ENTRY* e, char* convId, const WEQ_UC* dest, const WEQ_UC* luArg, const WEQ_UC* tpArg,
                     const WEQ_UC* gwHost, const WEQ_UC* gwServ, WEQ_UC protocol, int32_t traceLevel,
                     const CPIC_SNC_PARAMS* snc, bool* connected) {
  CpicConvFields& f = e->f;
  const CpicGlobals& g = CpicIGlobals();
  STI_GLOB* glob = STIGetGlob();
  if (glob == nullptr) return CM_RESOURCE_FAILURE_RETRY;
  if (convId == nullptr) return STINullArg(kInit3, u"convid");
  InitWork w;
  if (!w.Setup()) {
    CPIC_ERR_SYS(C_NO_MEM, u"malloc", ENOMEM, CPIC_GW_HOST_LEN + 1);
    return CM_RESOURCE_FAILURE_NO_RETRY;
  }
  if (!TakeArguments(w, luArg, tpArg, gwHost, gwServ, protocol, traceLevel, snc)) return CM_PARAMETER_ERROR;

  strcpy_sU16(glob->tpName, CPIC_TP_NAME_LEN + 1, g.defaultTp);
  glob->tpNameLen = static_cast<uint32_t>(strlenU(glob->tpName));
  CPIC_ENTRY_TRC(e, 2, u"%s: my TP_name: >%s<\n", kInit3, static_cast<const WEQ_UC*>(glob->tpName));
  STIMakeTraceRecord(kInit3, nullptr, e);
  STITraceStart(e, kInit3);
  f.traceRaw = g.traceRaw;
  f.traceAppcHdr = g.traceAppcHdr;

  uint8_t* msg = STIMsgBuf(e);
  if (msg == nullptr) return CM_RESOURCE_FAILURE_NO_RETRY;
  uint8_t* block = msg + APPC_HDR_LEN;
  STIFillHdr(msg, e, F_NO_REQUEST);
  msg[APPC_OFF_INFO] = WITH_GW_WEQ_PARAMS_HDR;
  CpicIPutBe16(msg + APPC_OFF_PARAM_LEN, kInitBlockLen);
  msg[APPC_OFF_INFO2] = 0;
  memset(block, 0, kInitBlockLen);
  memset(msg + 56, ' ', 16);

  // Side information.
  if (w.AnyArgKeyOpen()) {
    if (Empty(dest)) {
      CPIC_ERR(C_NO_SYMDEST);
      return C_NO_SYMDEST;
    }
    GW_RETURN_CODE gwRc = 0;
    CM_RETURN_CODE src = STIReadSideInfo(nullptr, dest, w.keys, 0, &gwRc, e->traceLevel.load(), f.traceHdl);
    bool complete = w.given(InitWork::kHost) && w.given(InitWork::kServ) && w.given(InitWork::kProt);
    if (src == CM_OK && !complete) {
      WEQ_UC d[9];
      strncpy_sU16(d, 9, dest, 8);
      if (!w.given(InitWork::kHost)) {
        CPIC_ERR(C_NO_HOST_IN_SIDE_INFO, static_cast<const WEQ_UC*>(d));
      } else if (!w.given(InitWork::kServ)) {
        CPIC_ERR(C_NO_SERV_IN_SIDE_INFO, static_cast<const WEQ_UC*>(d));
      } else {
        CPIC_ERR(C_NO_PROT_IN_SIDE_INFO, static_cast<const WEQ_UC*>(d));
      }
      return CM_PRODUCT_SPECIFIC_ERROR;
    }
    if (src != CM_OK && !complete) return CM_PRODUCT_SPECIFIC_ERROR;
    if (w.given(InitWork::kBuffering)) {
      f.bufferState = w.buffering != 0 ? BUFFER_EMPTY : BUFFER_DISABLED;
      WEQ_UC name[CPIC_NAME_LEN];
      CPIC_ENTRY_TRC(e, 2, u"%s: new buffer state = %s\n", kInit3,
                     STIBufferStateName(f.bufferState, name, CPIC_NAME_LEN));
    }
    if (w.given(InitWork::kConnTimeout)) f.connectTimeout = w.connectTimeout;
    if (w.given(InitWork::kTraceRaw)) f.traceRaw = w.traceRaw;
    if (w.given(InitWork::kTraceHdr)) f.traceAppcHdr = w.traceAppcHdr;
  }

  // A route in the LU names the gateway through routers.
  if (w.protocol[0] == u'I' && strnlenU16(w.lu, 4) >= 4 && strncmpU(w.lu, u"/H/", 3) == 0) {
    std::unique_ptr<WEQ_UC[]> out[4];
    for (auto& o : out) {
      o.reset(new (std::nothrow) WEQ_UC[kRouteUnits]());
      if (o == nullptr) return CM_RESOURCE_FAILURE_RETRY;
    }
    if (STIAnalyzeRoute(w.lu, w.tp, out[0].get(), kRouteUnits, out[1].get(), kRouteUnits, out[2].get(),
                        kRouteUnits, out[3].get(), kRouteUnits)) {
      size_t servLen = strlenU(out[3].get());
      if (servLen >= CPIC_GW_SERV_LEN)
        return STIBadLength(kInit3, u"gwserv_length", static_cast<int32_t>(servLen), CPIC_GW_SERV_LEN);
      strncpy_sU16(w.lu, kLuLen + 1, out[0].get(), kLuLen);
      strncpy_sU16(w.tp, kTpLen + 1, out[1].get(), kTpLen);
      strcpy_sU16(w.host.get(), CPIC_GW_HOST_LEN + 1, out[2].get());
      strcpy_sU16(w.serv, CPIC_GW_SERV_LEN, out[3].get());
    }
  }

  // The long names in net form.
  int luUnits = static_cast<int>(strlenU(w.lu)), tpUnits = static_cast<int>(strlenU(w.tp)), crc = 0;
  if (luUnits > 0) {
    if (!NetField(msg + 56, 8, w.lu, luUnits < 8 ? luUnits : 8, false, &crc) ||
        !NetField(block + kBlkLongLu, kLuLen, w.lu, luUnits, true, &crc)) {
      CPIC_ERR(C_NET_CONV_ERROR, u"weq_params->weq_cminit.long_LU_name", crc);
      return CM_PRODUCT_SPECIFIC_ERROR;
    }
    msg[APPC_OFF_INFO2] |= WITH_LONG_LU_NAME;
  }
  if (tpUnits > 0) {
    if (!NetField(msg + 64, 8, w.tp, tpUnits < 8 ? tpUnits : 8, false, &crc) ||
        !NetField(block + kBlkLongTp, kTpLen, w.tp, tpUnits, true, &crc)) {
      CPIC_ERR(C_NET_CONV_ERROR, u"weq_params->weq_cminit.long_TP_name", crc);
      return CM_PRODUCT_SPECIFIC_ERROR;
    }
  }

  bool levelGiven = w.given(InitWork::kTrace);
  int level = levelGiven ? w.trace : 0;
  if (!CpicITrcInitialised() || levelGiven) {
    CpicTrcInit(0, 1, level, 1, kInit3);
    e->traceLevel.store(level);
  }
  ErrClear();
  CPIC_ENTRY_TRC(e, 2, u"%s: GWHOST=%s\n", kInit3, static_cast<const WEQ_UC*>(w.host.get()));
  CPIC_ENTRY_TRC(e, 2, u"%s: GWSERV=%s\n", kInit3, static_cast<const WEQ_UC*>(w.serv));
  CPIC_ENTRY_TRC(e, 2, u"%s: PROTOCOL=%c\n", kInit3, static_cast<int>(w.protocol[0]));
  if (w.protocol[0] == u'R') CPIC_ENTRY_TRC(e, 2, u"%s: SERVERID=%s\n", kInit3, static_cast<const WEQ_UC*>(w.tp));

  CM_RETURN_CODE prc = CM_OK;
  uint32_t protNo = STIConvProtocol(w.protocol[0], &prc, 1);
  if (prc != CM_OK) return CM_PARAMETER_ERROR;
  f.protocol = static_cast<uint8_t>(protNo);

  // SNC point: only a final mode of exactly 1 sets SNC up.
  if (w.snc.mode == 1) {
    *f.sncParams = w.snc;
    STISncGetEnv(e);
    bool acceptor = f.sncParams->role == 2;
    CM_RETURN_CODE r = acceptor ? STISncSetUpAccp(e) : STISncSetUpInit(e, dest);
    if (r != CM_OK) {
      if (acceptor) {
        CPIC_ENTRY_ERR(e, u"%s:STISncSetUpAccp failed %d\n", kInit3, static_cast<int>(r));
      } else {
        CPIC_ENTRY_ERR(e, u"%s:STISncSetUpInit failed %d\n", kInit3, static_cast<int>(r));
      }
      return r;
    }
  }

  int32_t index = f.index;
  int gwrc = GwIConnect(3, w.host.get(), nullptr, w.serv, g.ownHost, &g.ownAddr, glob->tpName, &f.readHdl,
                        &f.writeHdl, 0, &f.hdrVersion, &f.gwOptions, f.connectTimeout, g.gwCompatibility, -1,
                        u"1100", reinterpret_cast<void*>(static_cast<intptr_t>(index)));
  if (gwrc != 0) {
    f.readHdl = f.writeHdl = NI_INVALID_HDL;
    return CM_PRODUCT_SPECIFIC_ERROR;
  }
  *connected = true;
  f.gwHost = strdupU(w.host.get());
  f.gwServ = strdupU(w.serv);

  // The initialise request.
  msg[APPC_OFF_REQ] = F_INITIALIZE_CONVERSATION;
  msg[APPC_OFF_PROTOCOL] = f.protocol;
  msg[APPC_OFF_INFO] |= SYNC_CPIC_FUNCTION;
  int process = CTrcLevel.load(std::memory_order_relaxed);
  msg[APPC_OFF_TRACE] = static_cast<uint8_t>(level > process ? level : process);
  if (f.gwOptions & GW_ACCEPT_DIST_TRACE) {
    msg[APPC_OFF_INFO3] |= GW_DIST_TRACE;
    memcpy(block + kBlkTrace, f.traceRecord, CPIC_TRACE_RECORD_LEN);
  } else {
    CpicIPutBe32(msg + APPC_OFF_GW_REQ_VALUE, 0);
  }
  int destUnits = static_cast<int>(Units(dest));
  NetField(msg + APPC_OFF_REQ_AREA, 8, dest != nullptr ? dest : u"", destUnits < 8 ? destUnits : 8, false, &crc);
  const WEQ_UC* user = STIGetenv(u"USERNAME");
  if (Empty(user)) user = g.ownHost[0] != 0 ? g.ownHost : u"?";
  int userUnits = static_cast<int>(strlenU(user));
  NetField(block + kBlkUser, kUserLen, user, userUnits < kUserLen ? userUnits : kUserLen, false, &crc);
  msg[72] = static_cast<uint8_t>(w.protocol[0]);
  msg[73] = GW_EXTERNAL_CLIENT;
  CpicIPutBe16(msg + APPC_OFF_COMM_IDX, static_cast<uint16_t>(index));
  CpicIPutBe16(msg + APPC_OFF_CONN_IDX, 0xFFFF);
  NI_NODEADDR addr;
  if (g.withLuAddr && (protNo == 2 || protNo == 3) && w.lu[0] != 0 && w.lu[0] != u' ' && strcmpU(w.lu, u"*") != 0 &&
      NiHostToAddr(w.lu, &addr) == WEQ_O_K) {
    static constexpr uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    if (memcmp(addr.addr, kMapped, sizeof kMapped) == 0) {
      msg[APPC_OFF_INFO] |= WITH_HOSTADDR;
      uint32_t v4 = NiAddrToIPv4(&addr);
      memcpy(block + kBlkIpv4, &v4, 4);
    } else {
      msg[APPC_OFF_INFO2] |= WITH_LONG_HOSTADDR;
      memcpy(block + kBlkAddr16, addr.addr, 16);
    }
  }
  if (f.sncState == 1) msg[APPC_OFF_INFO2] |= SNC_INIT_PHASE;
  memcpy(msg + APPC_OFF_CONV_ID, kCpicBlankId, 8);

  f.hdrLen = GwAppcHdrLen(f.hdrVersion);
  if (STIAsSendToGw(e, msg, block, f.hdrVersion, f.hdrLen, kInitMsgLen) != CM_OK) return CM_PRODUCT_SPECIFIC_ERROR;
  CM_RETURN_CODE appcRc = CM_OK;
  if (STIAsRcvFromGw(e, msg, nullptr, CPIC_RCV_CAPACITY, nullptr, STIRcvTimeout(e), nullptr, &appcRc) != 0)
    return CM_PRODUCT_SPECIFIC_ERROR;
  if (appcRc != CM_OK) return appcRc;

  STIAssignConvId(e, reinterpret_cast<const char*>(msg + APPC_OFF_CONV_ID), kInit3);
  uint16_t connIdx;
  if (STIAnswerConnIdx(e, msg, &connIdx)) f.connIdx = connIdx;
  CpicIU64ToId(e->id.load(), convId);
  CPIC_ENTRY_TRC(e, 2, u"%s: ok, conversation_ID: %.8s\n", kInit3, CpicIIdText(convId).s);
  return CM_OK;
}

}  // namespace

CM_RETURN_CODE STINullArg(const WEQ_UC* fn, const WEQ_UC* param) {
  CPIC_ERR(C_ILLEGAL_PARAMETER2, fn, param, u"<NULL>");
  return CM_PARAMETER_ERROR;
}

CM_RETURN_CODE STIBadLength(const WEQ_UC* fn, const WEQ_UC* param, int32_t value, int32_t max) {
  WEQ_UC text[48];
  snprintfU16(text, 48, u"%d (max: %d)", value, max);
  CPIC_ERR(C_ILLEGAL_PARAMETER2, fn, param, static_cast<const WEQ_UC*>(text));
  return CM_PARAMETER_ERROR;
}

CM_RETURN_CODE STISendRequest(CPIC_CONV_ENTRY* e, uint8_t req, uint8_t* msg) {
  STIFillHdr(msg, e, req);
  msg[APPC_OFF_INFO] = SYNC_CPIC_FUNCTION;
  if (STIAsSendToGw(e, msg, nullptr, e->f.hdrVersion, STIHdrLen(e), APPC_HDR_LEN) == CM_OK) return CM_OK;
  STIDEAL(e);
  return CM_PRODUCT_SPECIFIC_ERROR;
}

bool STIAnswered(CPIC_CONV_ENTRY* e, const WEQ_UC* name, int r, uint8_t func, CM_RETURN_CODE* code) {
  CpicConvFields& f = e->f;
  if (r == -3) {
    ++f.timeoutCount;
    f.interruptedFunc = func;
    CPIC_ENTRY_TRC(e, 2, u"%s: return after %d. timeout\n", name, static_cast<int>(f.timeoutCount));
    *code = CM_WEQ_TIMEOUT_RETRY;
    return false;
  }
  if (r != 0) {
    STIDEAL(e);
    *code = CM_PRODUCT_SPECIFIC_ERROR;
    return false;
  }
  f.timeoutCount = 0;
  f.interruptedFunc = 0;
  *code = CM_OK;
  return true;
}

void STIKeepCodePage(CPIC_CONV_ENTRY* e, const WEQ_UC* name, const uint8_t* msg) {
  if ((msg[APPC_OFF_INFO3] & GW_WITH_CODE_PAGE) == 0) return;
  memcpy(e->f.partnerCp, msg + 69, 4);
  CPIC_ENTRY_TRC(e, 2, u"%s: rem code page = >%.*s<\n", name, 4, GwNetStrForTrc(e->f.partnerCp, 4, 0, 0));
}

int STIRcvTimeout(const CPIC_CONV_ENTRY* e) {
  return e->f.rcvTimeoutGiven ? e->f.rcvTimeout : CpicIGlobals().defaultRcvTimeout;
}

CPIC_CONV_ENTRY* STIVerbStart(const WEQ_UC* name, const char* convId, uint8_t func, int report, CM_RETURN_CODE* code,
                              bool* unknown, bool banner) {
  if (unknown != nullptr) *unknown = false;
  ErrClear();
  if (convId == nullptr) {
    *code = STINullArg(name, u"convid");
    return nullptr;
  }
  CPIC_CONV_ENTRY* e = STISearchConv(convId, report, 0);
  if (e == nullptr) {
    if (unknown != nullptr) *unknown = true;
    *code = CM_PARAMETER_ERROR;
    return nullptr;
  }
  if (func != 0) {
    CM_RETURN_CODE rc = STIT8LocCheckState(convId, func, e, nullptr);
    if (rc != CM_OK) {
      *code = rc;
      return nullptr;
    }
  }
  if (e->traceLevel.load() >= 2) {
    uint64_t own = e->id.load(), gw = e->gwId.load();
    if (own != gw)
      CPIC_ENTRY_TRC(e, 2, u"%s: map ext to gw %.8s ==> %.8s\n", name, CpicIIdText(own).s, CpicIIdText(gw).s);
    STITraceStart(e, name);
    if (banner) {
      CPIC_ENTRY_TRC(e, 2, u"*************** %s ***************\n", name);
      CPIC_ENTRY_TRC(e, 2, u"%s: conversation_ID: %.8s\n", name, CpicIIdText(own).s);
    }
  }
  *code = CM_OK;
  return e;
}

CM_RETURN_CODE WEQ_STINIT3(char* convId, const WEQ_UC* dest, const WEQ_UC* lu, const WEQ_UC* tp,
                           const WEQ_UC* gwHost, const WEQ_UC* gwServ, WEQ_UC protocol, int32_t traceLevel,
                           const CPIC_SNC_PARAMS* snc, CM_RETURN_CODE* rc) {
  ErrSetLocation(u"CPIC (TCP/IP) on local host with Unicode");
  ErrClear();
  CpicTrcInit(1, 1, traceLevel, 0, kInit3);
  if (!CpicIGlobals().initialised.load(std::memory_order_acquire)) {
    CM_RETURN_CODE grc = CM_OK;
    if (STInitGlobals(&grc, 1, nullptr, 0) != CM_OK) return CpicIRc(rc, grc);
  }
  int32_t index = -1;
  CM_RETURN_CODE code = STIGetFreeConv(kInit3, &index);
  if (code != CM_OK) return CpicIRc(rc, code);
  CPIC_CONV_ENTRY* e = STIConvAt(index);
  if (traceLevel >= 0) e->traceLevel.store(traceLevel);
  CPIC_ENTRY_TRC(e, 2, u"*************** %s ***************\n", kInit3);
  bool connected = false;
  code = Init3(e, convId, dest, lu, tp, gwHost, gwServ, protocol, traceLevel, snc, &connected);
  if (code != CM_OK) {
    if (ErrIsSet()) CPIC_ENTRY_TRC(e, 2, u"%s\n", ErrGetAllTxt());
    if (connected) {
      STIDEAL(e);
    } else {
      STIResetConv(e, true);
    }
  }
  return CpicIRc(rc, code);
}

CM_RETURN_CODE STALLC(const char* convId, CM_RETURN_CODE* rc) {
  CM_RETURN_CODE code;
  CPIC_CONV_ENTRY* e = STIVerbStart(kAllc, convId, CPIC_FN_CMALLC, 1, &code);
  if (e == nullptr) return CpicIRc(rc, code);
  CpicConvFields& f = e->f;
  if (STIGetGlob() == nullptr) return CpicIRc(rc, CM_RESOURCE_FAILURE_RETRY);
  uint8_t* msg = STIMsgBuf(e);
  if (msg == nullptr) return CpicIRc(rc, CM_RESOURCE_FAILURE_NO_RETRY);
  if (f.timeoutCount != 0) {
    CPIC_ENTRY_TRC(e, 2, u"%s after timeout\n", kAllc);
  } else if (STISendRequest(e, F_ALLOCATE, msg) != CM_OK) {
    return CpicIRc(rc, CM_PRODUCT_SPECIFIC_ERROR);
  }
  CM_RETURN_CODE appcRc = CM_OK;
  int r = STIAsRcvFromGw(e, msg, nullptr, CPIC_RCV_CAPACITY, nullptr, STIRcvTimeout(e), nullptr, &appcRc);
  if (!STIAnswered(e, kAllc, r, CPIC_FN_CMALLC, &code)) return CpicIRc(rc, code);
  STIKeepCodePage(e, kAllc, msg);
  if (appcRc != CM_OK) {
    STIDEAL(e);
    return CpicIRc(rc, appcRc);
  }
  CPIC_ENTRY_TRC(e, 2, u"%s: ok\n", kAllc);
  return CpicIRc(rc, CM_OK);
}

int STIDEAL(CPIC_CONV_ENTRY* e) {
  if (e == nullptr) return 0;
  CpicConvFields& f = e->f;
  if (f.sncState == 1) STISncDone(e);
  int result = 0;
  bool pendingRead = false;
  // A conversation accepted through a registration gives the connection
  // back to it while the registration exists. A registration's own entry
  // closes its connection as any conversation does, unless a conversation
  // it handed over holds it now: that one closes it at its own release.
  if (f.regState != REG_NOT_USED && STIRegistrationOf(e) != nullptr) {
    if (STIRegHandBack(e, &result)) return result;
    pendingRead = true;
  } else if (f.regState == REG_RUNNING && f.regIndex < 0) {
    f.readHdl = f.writeHdl = NI_INVALID_HDL;
  }
  if (f.readHdl != NI_INVALID_HDL) {
    // The thread's error information survives the close.
    WEQ_UC kept[ERR_INFO_MAX_UNITS];
    size_t keptLen = 0;
    const WEQ_UC* rec = nullptr;
    if (ErrIsSet() && ErrGetAttr(&rec, &keptLen) == ERR_OK) {
      if (keptLen > ERR_INFO_MAX_UNITS) keptLen = ERR_INFO_MAX_UNITS;
      memcpy(kept, rec, keptLen * sizeof(WEQ_UC));
    } else {
      keptLen = 0;
    }
    if (!pendingRead) result = StIReadPendingData(e);
    f.closeFn(f.readHdl, f.index);
    if (f.writeHdl != NI_INVALID_HDL && f.writeHdl != f.readHdl) f.closeFn(f.writeHdl, f.index);
    f.readHdl = f.writeHdl = NI_INVALID_HDL;
    ErrClear();
    if (keptLen > 0) ErrCpTo(kept, keptLen);
  }
  STIResetConv(e, true);
  return result;
}
