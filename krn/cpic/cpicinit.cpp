// The frame of the CPI-C layer: attach and detach of the process and of
// threads, the one-time start of the layer's process state with its CPIC_*
// options, environment reads, the per-thread record and the layer's locks.
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <atomic>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>

#include "i18n/wequ16/u16fmt.h"
#include "i18n/wequ16/u16str.h"
#include "krn/cpic/cpic.h"
#include "krn/cpic/cpic_int.h"
#include "krn/dptrc/err.h"
#include "krn/ntport/ntport.h"
#include "krn/rscp/rscpu.h"

ThrCS conv_proto_cs;
ThrCS getenv_cs;
ThrCS wakeup_cs;
ThrCS sideinfo_cs;
ThrCS snc_cs;

namespace {

CpicGlobals* g_globals = new CpicGlobals();
// Set once the per-thread key exists; the key's value is published with it.
std::atomic<uint8_t> g_keyReady{0};
std::once_flag* g_getenvOnce = new std::once_flag();
// Environment values handed out by STIGetenv, kept for the process under
// getenv_cs: key "name\0value" (UTF-8), the value as WEQ_UC text.
std::unordered_map<std::string, std::u16string>* g_envValues =
    new std::unordered_map<std::string, std::u16string>();

#define CPIC_STINIT u"WEQ_STINIT"
#define CPIC_STINITGLOBALS u"STInitGlobals"

// An information line of the start to the given handle at its level.
#define CPIC_GTRC(fmt, ...)                       \
  do {                                            \
    if (lvl >= 2) {                               \
      DpTrcLock();                                \
      DpTrc(trc, fmt __VA_OPT__(, ) __VA_ARGS__); \
      DpTrcUnlock();                              \
    }                                             \
  } while (0)

// A decimal option value as the layer reads it.
int Number(const WEQ_UC* v) { return strtolU(v, nullptr, 10); }

// Reads the CPIC_* options in their order (under conv_proto_cs).
void ReadOptions(CpicGlobals& g, CTRC_HDL trc, int lvl) {
  const WEQ_UC* v;
  if (g.useUds == -1) {
    v = STIGetenv(u"CPIC_USE_UDS");
    g.useUds = v == nullptr || Number(v) > 0 ? 1 : 0;
    CPIC_GTRC(u"%s: use unix domain sockets=%s\n", CPIC_STINITGLOBALS, g.useUds ? u"TRUE" : u"FALSE");
  }
  NiSetParam(NIP_CONNLOCAL, static_cast<uint32_t>(g.useUds));
  if ((v = STIGetenv(u"CPIC_COMPATIBILITY")) != nullptr) g.gwCompatibility = v[0] == u'1' ? 1 : 0;
  CPIC_GTRC(u"%s: gw_compatibility=%d\n", CPIC_STINITGLOBALS, g.gwCompatibility);
  if ((v = STIGetenv(u"CPIC_TRACE_LEN")) != nullptr) {
    g.rawTraceLen = Number(v);
    if (g.rawTraceLen < 0) g.rawTraceLen = 32000;
    CPIC_GTRC(u"%s: CPIC_TRACE_LEN=%d\n", CPIC_STINITGLOBALS, g.rawTraceLen);
  }
  if ((v = STIGetenv(u"CPIC_BUFFERING")) != nullptr) {
    g.buffering = v[0] == u'0' ? 0 : 1;
    g.bufferingGiven = 1;
  }
  CPIC_GTRC(u"%s: cpic_buffering=%d\n", CPIC_STINITGLOBALS, g.buffering);
  if ((v = STIGetenv(u"CPIC_WITH_LU_ADDR")) != nullptr) g.withLuAddr = Number(v) == 1 ? 1 : 0;
  if (g.withLuAddr) CPIC_GTRC(u"%s: with lu addr\n", CPIC_STINITGLOBALS);
  if ((v = STIGetenv(u"CPIC_CONNECT_TIMEOUT")) != nullptr) g.connectTimeout = Number(v);
  if ((v = STIGetenv(u"CPIC_TRACE_RAW")) != nullptr) {
    g.traceRaw = Number(v);
    g.traceRawGiven = 1;
  }
  CPIC_GTRC(u"%s: cpic_trace_raw=%d\n", CPIC_STINITGLOBALS, g.traceRaw);
  if ((v = STIGetenv(u"CPIC_TRACE_APPCHDR")) != nullptr) {
    g.traceAppcHdr = Number(v);
    g.traceAppcHdrGiven = 1;
  }
  CPIC_GTRC(u"%s: cpic_trace_appchdr=%d\n", CPIC_STINITGLOBALS, g.traceAppcHdr);
  if (!g.pingSetByCall) {
    if ((v = STIGetenv(u"CPIC_PING")) != nullptr) g.pingActive = static_cast<uint8_t>(Number(v));
    CPIC_GTRC(u"%s: cpic_ping=%d\n", CPIC_STINITGLOBALS, g.pingActive);
    if ((v = STIGetenv(u"CPIC_PING_REPLY")) != nullptr) g.pingReply = Number(v);
    CPIC_GTRC(u"%s: cpic_ping_reply=%d\n", CPIC_STINITGLOBALS, g.pingReply);
    if ((v = STIGetenv(u"CPIC_PING_PERIOD")) != nullptr) g.pingPeriod = Number(v);
    CPIC_GTRC(u"%s: cpic_ping_period=%d\n", CPIC_STINITGLOBALS, g.pingPeriod);
    if ((v = STIGetenv(u"CPIC_PING_TIMEOUT")) != nullptr) g.pingTimeout = Number(v);
    CPIC_GTRC(u"%s: cpic_ping_timeout=%d\n", CPIC_STINITGLOBALS, g.pingTimeout);
  }
}

// The default TP name from the saved argument vector (under conv_proto_cs).
bool TakeDefaultTp(CpicGlobals& g) {
  WEQ_UC base[CPIC_TP_NAME_LEN + 1];
  if (!CpicIBaseName(CpicISavedArgv(), base)) return false;
  strcpy_sU16(g.defaultTp, CPIC_TP_NAME_LEN + 1, base);
  return true;
}

// Step of the start that creates one of the later locks.
bool InitCs(ThrCS* cs, const WEQ_UC* tag, const WEQ_UC* failText, CTRC_HDL trc, int lvl, uint32_t line) {
  ThrRc rc = ThrCSInit(cs, tag);
  if (rc == 0 || rc == 3) return true;
  WEQ_UC text[64];
  snprintfU16(text, 64, u"%s failed (%d)", failText, static_cast<int>(rc));
  CpicIFailCs(text, trc, lvl, line);
  return false;
}

bool IsOneOf(WEQ_UC c, const WEQ_UC* set) {
  for (; *set != 0; ++set) {
    if (*set == c) return true;
  }
  return false;
}

}  // namespace

CpicGlobals& CpicIGlobals(void) { return *g_globals; }

CM_RETURN_CODE CpicIFailCs(const WEQ_UC* text, CTRC_HDL trc, int trcLevel, uint32_t line) {
  CpicIRecordError<C_CS_ERROR>(CpicErrSite{CPIC_MODULE, line, CPIC_STINITGLOBALS, 0, false}, text);
  if (trcLevel >= 1) {
    DpTrcLock();
    DpTrcSetLocation(DPTRC_WIDE_(__FILE__), static_cast<int>(line));
    DpTrcError(trc, u"%s: %s", CPIC_STINITGLOBALS, text);
    DpTrcUnlock();
  }
  return CM_PRODUCT_SPECIFIC_ERROR;
}

CM_RETURN_CODE CpicICreateProtoCs(CTRC_HDL trc, int trcLevel) {
  CpicGlobals& g = CpicIGlobals();
  if (g.tableLockMark.load()) return CM_OK;
  ThrRc rc = ThrCSInit(&conv_proto_cs, u"conv_proto_cs");
  if (rc != 0 && rc != 3) {
    WEQ_UC text[64];
    snprintfU16(text, 64, u"ThrCSInit(conv_proto_cs) failed (%d)", static_cast<int>(rc));
    return CpicIFailCs(text, trc, trcLevel, __LINE__);
  }
  g.tableLockMark.store(1);
  return CM_OK;
}

bool CpicIBaseName(WEQ_UC* const* argv, WEQ_UC out[CPIC_TP_NAME_LEN + 1]) {
  if (argv == nullptr || argv[0] == nullptr) return false;
  std::u16string copy(argv[0]);
  size_t start = 0;
  for (size_t i = copy.size(); i > 0; --i) {
    WEQ_UC c = copy[i - 1];
    if (IsOneOf(c, u"]>:/\\")) {
      start = i;
      break;
    }
    if ((c == u'.' || c == u';') && i - 1 != 0) copy[i - 1] = 0;
  }
  strncpy_sU16(out, CPIC_TP_NAME_LEN + 1, copy.c_str() + start, CPIC_TP_NAME_LEN);
  return true;
}

void CpicIMakeRootId(int64_t seconds, char out[16]) {
  WEQ_UC half[24];
  int n = snprintfU16(half, 24, u"%llX", static_cast<unsigned long long>(seconds));
  // Beyond eight hex digits only the last eight are kept.
  const WEQ_UC* p = n > 8 ? half + (n - 8) : half;
  int len = n > 8 ? 8 : (n < 0 ? 0 : n);
  for (int i = 0; i < 8; ++i) out[i] = i < len ? static_cast<char>(p[i]) : ' ';
  // Shorter texts (times before 1970 + 2^28 s) are not expected; they are
  // blank-filled rather than leaving bytes undefined.
  memcpy(out + 8, out, 8);
}

// --- Environment ----------------------------------------------------------------------

const WEQ_UC* STIGetenv(const WEQ_UC* name) {
  std::call_once(*g_getenvOnce, [] {
    ThrRc rc = ThrCSInit(&getenv_cs, u"getenv_cs");
    if (rc != 0 && rc != 3)
      CPIC_TRC_ERR(u"%s: ThrCSInit(getenv_cs) failed (%d)", u"STIGetenv", static_cast<int>(rc));
  });
  if (name == nullptr) return nullptr;
  char narrow[256];
  size_t n = strnlenU16(name, sizeof(narrow));
  if (n >= sizeof(narrow) || U16nToA7nStrict(narrow, name, static_cast<int>(n)) != 0) return nullptr;
  narrow[n] = 0;
  const WEQ_UC* result = nullptr;
  ThrCSLock(&getenv_cs);
  const char* value = getenv(narrow);
  if (value != nullptr) {
    try {
      std::string key(narrow);
      key.push_back('\0');
      key.append(value);
      auto it = g_envValues->find(key);
      if (it == g_envValues->end()) {
        size_t bytes = strlen(value);
        std::u16string v(bytes + 1, u'\0');
        int units = 0;
        Utf8nToU16n(v.data(), static_cast<int>(bytes), &units, value, static_cast<int>(bytes));
        v.resize(static_cast<size_t>(units));
        it = g_envValues->emplace(std::move(key), std::move(v)).first;
      }
      result = it->second.c_str();
    } catch (const std::bad_alloc&) {
      result = nullptr;
    }
  }
  ThrCSUnlock(&getenv_cs);
  return result;
}

// --- Per-thread record ---------------------------------------------------------------

STI_GLOB* STIGetGlob(void) {
  CpicGlobals& g = CpicIGlobals();
  if (!g_keyReady.load(std::memory_order_acquire)) {
    // The key is normally made by the start; a verb that runs before it
    // makes it here, with its destructor.
    ThrCSLock(&conv_proto_cs);
    if (!g_keyReady.load()) {
      ThrRc rc = ThrKeyGet(&g.key, STIFreeGlob);
      if (rc == 0 || rc == 3) g_keyReady.store(1, std::memory_order_release);
    }
    ThrCSUnlock(&conv_proto_cs);
    if (!g_keyReady.load(std::memory_order_acquire)) return nullptr;
  }
  STI_GLOB* rec = static_cast<STI_GLOB*>(ThrKeyVarGet(&g.key));
  if (rec != nullptr) return rec;
  rec = static_cast<STI_GLOB*>(malloc(sizeof(STI_GLOB)));
  if (rec == nullptr) {
    CPIC_ERR_SYS(C_NO_MEM, u"STIGetGlob", errno, static_cast<int>(sizeof(STI_GLOB)));
    return nullptr;
  }
  rec->lastIndex = -1;
  rec->tpNameLen = 0;
  rec->tpName[0] = 0;
  if (ThrKeyVarSet(&g.key, rec) != 0) {
    free(rec);
    return nullptr;
  }
  return rec;
}

void STIFreeGlob(void* glob) {
  CpicGlobals& g = CpicIGlobals();
  void* mine = g_keyReady.load(std::memory_order_acquire) ? ThrKeyVarGet(&g.key) : nullptr;
  if (glob == nullptr) glob = mine;
  if (glob != nullptr && glob == mine) ThrKeyVarSet(&g.key, nullptr);
  free(glob);
}

void STIExitGlobals(void) {
  CpicGlobals& g = CpicIGlobals();
  if (g_keyReady.exchange(0)) ThrKeyDelete(&g.key);
  g.key = THR_KEY_NONE;
  STIFreeConvTable();
  ThrCSDelete(&conv_proto_cs);
  ThrCSDelete(&snc_cs);
  ThrCSDelete(&sideinfo_cs);
  ThrCSDelete(&getenv_cs);
  ThrCSDelete(&wakeup_cs);
  // The saved vector may be the one NT_FreeArgv frees next.
  CpicISetSavedArgv(nullptr);
}

// --- Attach and detach -----------------------------------------------------------------

int WEQ_CPIC_PROCESS_ATTACH(WEQ_UC** argv) {
  if (CpicIGlobals().attached.exchange(1)) return 1;
  if (argv == nullptr) {
    int argc = 0;
    argv = NT_GetArgv(&argc);
  }
  if (ThrProcInit() != 0) return 0;
  if (argv != nullptr && WEQ_CMACCP(argv) != CM_OK) return 0;
  if (WEQ_STINIT(argv, nullptr, nullptr, u' ') != CM_OK) return 0;
  return NiThrInit() == WEQ_O_K ? 1 : 0;
}

int WEQ_CPIC_THREAD_ATTACH(void) { return NiThrInit() == WEQ_O_K ? 1 : 0; }

int WEQ_CPIC_THREAD_DETACH(void) {
  STIFreeGlob(nullptr);
  NiThrExit(nullptr);
  ErrClear();
  ErrFreeThrAdm(nullptr);
  return 1;
}

int WEQ_CPIC_PROCESS_DETACH(void) {
  WEQ_CPIC_THREAD_DETACH();
  NiExit();
  ErrDeleteThrKey();
  STIExitGlobals();
  NT_FreeArgv();
  return 1;
}

// --- Start --------------------------------------------------------------------------------

bool STICheckProtocol(WEQ_UC letter) {
  if (IsOneOf(letter, u"CEFIR")) return true;
  CPIC_ERR_SYS(WRONG_COMM_TYPE, u"STICheckProtocol", 0, letter);
  return false;
}

CM_RETURN_CODE WEQ_STINIT(WEQ_UC** argv, const WEQ_UC* gwhost, const WEQ_UC* gwserv, WEQ_UC protocol) {
  CpicTrcInit(1, 0, 0, 0, CPIC_STINIT);
  DPTRC_LINE(2, CpicIOutHdl(), u"*************** %s ***************\n", CPIC_STINIT);
  ErrClear();
  CpicGlobals& g = CpicIGlobals();

  // Every argument is checked before anything is stored, so that a refused
  // call changes nothing.
  size_t servLen = gwserv != nullptr ? strlenU(gwserv) : 0;
  size_t hostLen = gwhost != nullptr ? strlenU(gwhost) : 0;
  WEQ_UC value[48];
  if (servLen >= CPIC_GW_SERV_LEN) {
    snprintfU16(value, 48, u"%d (max: %d)", static_cast<int>(servLen), CPIC_GW_SERV_LEN);
    CPIC_ERR(C_ILLEGAL_PARAMETER2, CPIC_STINIT, u"gwserv_length", value);
    return CM_PARAMETER_ERROR;
  }
  if (hostLen >= CPIC_GW_HOST_LEN) {
    snprintfU16(value, 48, u"%d (max: %d)", static_cast<int>(hostLen), CPIC_GW_HOST_LEN);
    CPIC_ERR(C_ILLEGAL_PARAMETER2, CPIC_STINIT, u"gwhost_length", value);
    return CM_PARAMETER_ERROR;
  }
  if (protocol != u' ' && !STICheckProtocol(protocol)) return CM_PARAMETER_ERROR;

  if (CpicICreateProtoCs(CpicIOutHdl(), CpicTrcLevel()) != CM_OK) return CM_PRODUCT_SPECIFIC_ERROR;
  ThrCSLock(&conv_proto_cs);
  if (argv != nullptr) CpicISetSavedArgv(argv);
  TakeDefaultTp(g);
  if (servLen > 0) {
    strcpy_sU16(g.gwServ, CPIC_GW_SERV_LEN + 1, gwserv);
    g.gwServGiven = 1;
  }
  if (hostLen > 0) {
    strcpy_sU16(g.gwHost, CPIC_GW_HOST_LEN + 1, gwhost);
    g.gwHostGiven = 1;
  }
  if (protocol != u' ') {
    g.protocol = protocol;
    g.protocolGiven = 1;
  }
  ThrCSUnlock(&conv_proto_cs);

  if (!g.initialised.load(std::memory_order_acquire)) {
    CM_RETURN_CODE rc = CM_OK;
    STInitGlobals(&rc, 1, nullptr, 0);
    if (rc != CM_OK) return rc;
  }
  CPIC_TRC(2, u"%s: ok\n", CPIC_STINIT);
  return CM_OK;
}

CM_RETURN_CODE STInitGlobals(CM_RETURN_CODE* rcOut, int hostNameFlag, CTRC_HDL trc, int lvl) {
  if (trc == nullptr) {
    trc = CpicIOutHdl();
    lvl = CpicTrcLevel();
  }
  CM_RETURN_CODE dummy;
  CM_RETURN_CODE& rc = rcOut != nullptr ? *rcOut : dummy;
  rc = CM_OK;
  CpicGlobals& g = CpicIGlobals();
  if (g.initialised.load(std::memory_order_acquire)) {
    CPIC_GTRC(u"%s: already initialized\n", CPIC_STINITGLOBALS);
    return rc;
  }
  CTrcInitLib();
  CPIC_GTRC(u"%s: trace lib initialized\n", CPIC_STINITGLOBALS);
  if ((rc = CpicICreateProtoCs(trc, lvl)) != CM_OK) return rc;
  ThrRc trc_rc = ThrCSLock(&conv_proto_cs);
  if (trc_rc != 0) {
    WEQ_UC text[64];
    snprintfU16(text, 64, u"ThrCSLock(conv_proto_cs) failed (%d)", static_cast<int>(trc_rc));
    return rc = CpicIFailCs(text, trc, lvl, __LINE__);
  }
  if (g.initialised.load()) {
    CPIC_GTRC(u"%s: already initialized, after STInitCS\n", CPIC_STINITGLOBALS);
    ThrCSUnlock(&conv_proto_cs);
    return rc;
  }
  auto fail = [&](CM_RETURN_CODE code) {
    ThrCSUnlock(&conv_proto_cs);
    return rc = code;
  };

  ErrSetLocation(u"CPIC (TCP/IP) on local host with Unicode");
  g.trcRecVersion = 1;
  memcpy(g.componentId, "CPIC    ", 8);
  CpicIMakeRootId(static_cast<int64_t>(time(nullptr)) - 1, g.rootId);
  CPIC_GTRC(u"%s: cpic_root_id created\n", CPIC_STINITGLOBALS);

  if (STIMaxConv() < 0) {
    int maxConv = 100;
    if (const WEQ_UC* v = STIGetenv(u"CPIC_MAX_CONV")) {
      maxConv = Number(v);
      if (maxConv < 1) {
        CPIC_GTRC(u"%s: CPIC_MAX_CONV=%d below 1, taken as absent\n", CPIC_STINITGLOBALS, maxConv);
        maxConv = 100;
      }
    }
    CPIC_GTRC(u"%s: cpic_max_conv=%d\n", CPIC_STINITGLOBALS, maxConv);
    CM_RETURN_CODE arc = STIAllocConvMem(maxConv);
    if (arc != CM_OK) return fail(arc);
  } else {
    CPIC_GTRC(u"%s: conversation slots already allocated, cpic_max_conv=%d\n", CPIC_STINITGLOBALS,
              STIMaxConv());
  }

  if (NiInit2(32768) != WEQ_O_K) return fail(CM_PRODUCT_SPECIFIC_ERROR);

  NI_RC nrc = NiMyHostName(g.ownHost, CPIC_HOST_NAME_LEN);
  if (nrc != WEQ_O_K) {
    g.ownHost[0] = 0;
    memset(&g.ownAddr, 0, sizeof(g.ownAddr));
    if (hostNameFlag == 1) {
      CPIC_ERR_SYS(C_GETHOSTNAME, u"NiMyHostName", errno);
      return fail(CM_PRODUCT_SPECIFIC_ERROR);
    }
  } else if ((nrc = NiHostToAddr(g.ownHost, &g.ownAddr)) != WEQ_O_K) {
    memset(&g.ownAddr, 0, sizeof(g.ownAddr));
    NiErrSet(nrc);
    if (lvl >= 1) {
      DpTrcLock();
      DpTrcSetLocation(DPTRC_WIDE_(__FILE__), __LINE__);
      DpTrcError(trc, u"%s: NiHostToAddr (%s) failed", CPIC_STINITGLOBALS, g.ownHost);
      DpTrcUnlock();
    }
    return fail(CM_PRODUCT_SPECIFIC_ERROR);
  }
  snprintfTruncU16(g.location, CPIC_LOCATION_LEN, u"CPIC (TCP/IP) on local host %s with Unicode", g.ownHost);
  WEQ_UC addrText[NI_NODEADDR_STR_LEN];
  if (NiAddrToStr(&g.ownAddr, addrText, NI_NODEADDR_STR_LEN, 1) != WEQ_O_K) addrText[0] = 0;
  CPIC_GTRC(u"%s: hostname=%s\n", CPIC_STINITGLOBALS, g.ownHost);
  CPIC_GTRC(u"%s: hostaddr=%s\n", CPIC_STINITGLOBALS, addrText);
  ErrSetLocation(u"%s", g.location);

  if (!InitCs(&sideinfo_cs, u"sideinfo_cs", u"ThrCSInit(sideinfo_cs)", trc, lvl, __LINE__) ||
      !InitCs(&wakeup_cs, u"wakeup_cs", u"ThrCSInit(wakeup_cs)", trc, lvl, __LINE__) ||
      !InitCs(&snc_cs, u"snc_cs", u"ThrCSInit(snc_cs)", trc, lvl, __LINE__)) {
    return fail(CM_PRODUCT_SPECIFIC_ERROR);
  }
  if (!g_keyReady.load()) {
    ThrRc krc = ThrKeyGet(&g.key, STIFreeGlob);
    if (krc != 0 && krc != 3) {
      WEQ_UC text[64];
      snprintfU16(text, 64, u"ThrKeyGet failed (%d)", static_cast<int>(krc));
      CpicIFailCs(text, trc, lvl, __LINE__);
      return fail(CM_PRODUCT_SPECIFIC_ERROR);
    }
    g_keyReady.store(1, std::memory_order_release);
  }

  ReadOptions(g, trc, lvl);
  if (TakeDefaultTp(g)) CPIC_GTRC(u"%s: tpname=%s\n", CPIC_STINITGLOBALS, g.defaultTp);

  g.initialised.store(1, std::memory_order_release);
  ThrCSUnlock(&conv_proto_cs);
  CPIC_GTRC(u"%s: ok\n", CPIC_STINITGLOBALS);
  return rc;
}

// --- Test support ---------------------------------------------------------------------------

void CpicIResetProcess(void) {
  STIFreeGlob(nullptr);
  STIExitGlobals();
  memset(&conv_proto_cs, 0, sizeof(conv_proto_cs));
  memset(&getenv_cs, 0, sizeof(getenv_cs));
  memset(&wakeup_cs, 0, sizeof(wakeup_cs));
  memset(&sideinfo_cs, 0, sizeof(sideinfo_cs));
  memset(&snc_cs, 0, sizeof(snc_cs));
  delete g_globals;
  g_globals = new CpicGlobals();
  delete g_getenvOnce;
  g_getenvOnce = new std::once_flag();
  g_envValues->clear();
  CpicITrcReset();
  STIResetSideInfo();
  STIResetSelSet();
  STISncResetProcess();
}
