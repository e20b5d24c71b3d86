// The NI library's life and its handle table: nested initialisation, the
// table of records with its free list and generations, the per-thread NI
// data, closing a record, and the socket behind a handle.
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <new>

#include "i18n/wequ16/u16str.h"
#include "krn/fi/fi.h"
#include "krn/ni/niaddr_int.h"
#include "krn/ni/nibuf_int.h"
#include "krn/ni/nimsg_int.h"
#include "krn/ni/nihs_int.h"
#include "krn/ni/niparam_int.h"
#include "krn/ni/nixx_int.h"

namespace {

constexpr const WEQ_UC* kXxModule = u"nixx";
constexpr const WEQ_UC* kModuleI = u"nixxi";
constexpr int32_t kDefaultHandles = 2048;
constexpr int kLocalAddrs = 32;

struct NiState {
  int16_t count = 0;  // nested initialisations; guarded by g_initCs
  std::atomic<int32_t> maxHandles{0};
  NITAB* nitab = nullptr;
  void* freeBlock = nullptr;
  FT_TABLE* freeList = nullptr;
  NITAB* usedHead = nullptr;  // under hdlMtx
  ThrMtx hdlMtx{};
  ThrMtx paramMtx{};
  ThrMtx wakeupMtx{};
  ThrKey key = THR_KEY_NONE;
  std::atomic<bool> keyValid{false};
  std::atomic<bool> ready{false};  // set once a start has finished, cleared at release
  std::atomic<int32_t> highSlot{0};
  std::atomic<int32_t> highSock{-1};
  std::atomic<int32_t> freeCount{-1};
  bool ownCaches = false;  // the caches were made by this initialisation
  NI_NODEADDR defaultLocal{};
  WEQ_UC udsPath[64] = {};
};

NiState g_ni;
// Orders initialisation and release between threads. Zero-filled: it sets
// itself up on its first lock.
ThrCS g_initCs;

NI_NODEADDR MappedAny() {
  NI_NODEADDR a{};
  a.addr[10] = a.addr[11] = 0xFF;
  return a;
}

bool IsLoopback6(const NI_NODEADDR& a) {
  static constexpr WEQ_RAW kLo[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  return memcmp(a.addr, kLo, 16) == 0;
}

void DeleteLocks() {
  // The calling thread's data goes with the key; no destructor would find it.
  if (g_ni.keyValid.load()) {
    void* own = ThrKeyVarGet(&g_ni.key);
    if (own != nullptr) {
      NiIThrGlobAlive.fetch_sub(1, std::memory_order_relaxed);
      free(own);
      ThrKeyVarSet(&g_ni.key, nullptr);
    }
  }
  ThrMtxDelete(&g_ni.hdlMtx);
  ThrMtxDelete(&g_ni.paramMtx);
  ThrMtxDelete(&g_ni.wakeupMtx);
  if (g_ni.keyValid.exchange(false)) ThrKeyDelete(&g_ni.key);
  g_ni.key = THR_KEY_NONE;
}

void FreeTable() {
  if (g_ni.freeBlock != nullptr) {
    FtResetName(g_ni.freeBlock);
    free(g_ni.freeBlock);
  }
  if (g_ni.nitab != nullptr) {
    for (int32_t i = 0; i < g_ni.maxHandles.load(std::memory_order_relaxed); ++i) NiICtlFree(&g_ni.nitab[i]);
    DPTRC_LINE(2, NiITrcHdl(), u"%s: free nitab %p\n", u"NiIExit", static_cast<const void*>(g_ni.nitab));
    free(g_ni.nitab);
  }
  g_ni.freeBlock = nullptr;
  g_ni.freeList = nullptr;
  g_ni.nitab = nullptr;
  g_ni.usedHead = nullptr;
  g_ni.maxHandles.store(0, std::memory_order_release);
  g_ni.freeCount.store(-1, std::memory_order_relaxed);
  g_ni.highSlot.store(0, std::memory_order_relaxed);
}

// The IPv6 decision: IPv6 stays on only when this host has ::1 and another
// IPv6 address.
NI_RC DecideIPv6(const WEQ_UC* fn) {
  NiISetIPProtoUsage();
  if (!NiIIPv6Active()) return WEQ_O_K;
  NI_NODEADDR addrs[kLocalAddrs];
  WEQ_RAW states[kLocalAddrs];
  int total = 0;
  NI_RC rc = NiPGetNodeAddrList(addrs, states, kLocalAddrs, 1, &total);
  if (rc != WEQ_O_K) {
    DPTRC_LINE(1, NiITrcHdl(), u"%s: failed to read local adresses (rc=%d)\n", fn, rc);
    return rc;
  }
  if (total > kLocalAddrs) {
    DPTRC_LINE(2, NiITrcHdl(), u"%s: found more than %d (%d) local address\n", fn, kLocalAddrs, total);
    total = kLocalAddrs;
  }
  bool loopback = false, other = false;
  for (int i = 0; i < total; ++i) {
    if (NiIIsMapped(addrs[i])) continue;
    if (IsLoopback6(addrs[i])) {
      loopback = true;
    } else {
      other = true;
    }
  }
  if (loopback && other) {
    NiISetLoopbackIPv6(true);
    g_ni.defaultLocal = NI_NODEADDR{};
    return WEQ_O_K;
  }
  NiIPProtoUsage.store(NI_PROTO_FAM_IPv4, std::memory_order_release);
  if (other) {
    DPTRC_LINE(1, NiITrcHdl(),
               u"%s: no IPv6 localhost address '::1' configured, IPv6 will not be initialized\n", fn);
  } else {
    DPTRC_LINE(1, NiITrcHdl(), u"%s: no IPv6 address configured, IPv6 will not be initialized\n", fn);
  }
  return WEQ_O_K;
}

// Whether the host cache that exists serves the IP usage now chosen.
bool CacheFitsUsage() {
  NIHIMPL* host = NiIHostCache();
  if (host == nullptr) return true;
  bool six = dynamic_cast<NIHIMPL_LINEAR6*>(host) != nullptr;
  return six == NiIIPv6Active();
}

NI_RC NiIInit(int32_t maxHandles) {
  static constexpr const WEQ_UC* kFn = u"NiIInit";
  // 1. Locks and the thread key.
  ThrMtxInit(&g_ni.hdlMtx, u"NI hdl section");
  ThrMtxInit(&g_ni.paramMtx, u"NI param section");
  ThrMtxInit(&g_ni.wakeupMtx, u"NI wakeup mutex");
  if (!g_ni.keyValid.load()) {
    g_ni.key = THR_KEY_NONE;
    if (ThrKeyGet(&g_ni.key, &NiIThrGlobFree) == THR_ERR_OK) g_ni.keyValid.store(true);
  }

  // 2. The socket layer.
  int32_t err = 0;
  SI_RC si = SiInit(&err);
  if (si != SI_OK) {
    return NiIReportSiError(si, SI_FN_INIT, nullptr, nullptr, err, nullptr, nullptr, nullptr, kFn, kModuleI,
                            __LINE__, 1);
  }
  NiIReadTcpBufLimits();

  // 3. The table; every record free.
  size_t bytes = sizeof(NITAB) * static_cast<size_t>(maxHandles);
  g_ni.nitab = static_cast<NITAB*>(malloc(bytes));
  if (g_ni.nitab == nullptr) {
    NiIErrTrace(kModuleI, __LINE__, 1, u"%s: malloc failed for %d bytes", NIEINTERN, kFn,
                static_cast<int32_t>(bytes));
    SiExit(nullptr);
    return NIEINTERN;
  }
  for (int32_t i = 0; i < maxHandles; ++i) new (&g_ni.nitab[i]) NITAB{};
  DPTRC_LINE(2, NiITrcHdl(), u"%s: allocated nitab (%d at %p)\n", kFn, maxHandles,
             static_cast<const void*>(g_ni.nitab));

  // 4. The free list, in a block zeroed first so that no name of an earlier
  // table makes FtInit take it for set up.
  size_t ftBytes = FtSize(static_cast<uint32_t>(maxHandles), 4);
  g_ni.freeBlock = ftBytes == 0 ? nullptr : aligned_alloc(16, (ftBytes + 15) & ~static_cast<size_t>(15));
  if (g_ni.freeBlock == nullptr) {
    NiIErrTrace(kModuleI, __LINE__, 1, u"%s: malloc failed for %d bytes", NIEINTERN, kFn,
                static_cast<int32_t>(ftBytes));
    FreeTable();
    SiExit(nullptr);
    return NIEINTERN;
  }
  memset(g_ni.freeBlock, 0, ftBytes);
  int32_t frc =
      FtInit(g_ni.freeBlock, u"NITAB_FREE", 0, static_cast<uint32_t>(maxHandles), 4, &g_ni.freeList);
  if (frc != FI_OK) {
    NiIErrTrace(kModuleI, __LINE__, 1, u"%s: FtInit failed (rc=%d)", NIEINTERN, kFn, frc);
    FreeTable();
    SiExit(nullptr);
    return NIEINTERN;
  }
  g_ni.maxHandles.store(maxHandles, std::memory_order_release);
  g_ni.freeCount.store(maxHandles, std::memory_order_relaxed);

  // 5. IPv6 only where this host has ::1 and another IPv6 address.
  g_ni.defaultLocal = MappedAny();
  NI_RC rc = DecideIPv6(kFn);
  if (rc != WEQ_O_K) {
    FreeTable();
    SiExit(nullptr);
    NiIPProtoUsage.store(0, std::memory_order_release);
    return rc;
  }

  // 6. The caches. Ones made earlier for another IP usage are made anew.
  if (!CacheFitsUsage()) {
    DPTRC_LINE(2, NiITrcHdl(), u"%s: host/serv bufs made for %s: made anew\n", kFn,
               NiIIPv6Active() ? u"IPv4" : u"IPv4/IPv6");
    NiIHSBufExit();
  }
  rc = NiIHSBufInit(100, 0, 600, 600, 0, 600, 600);
  if (rc == NIECALL) {
    DPTRC_LINE(2, NiITrcHdl(), u"%s: host/serv bufs already initialized\n", kFn);
    g_ni.ownCaches = false;
  } else if (rc != WEQ_O_K) {
    DPTRC_LINE(1, NiITrcHdl(), u"%s: failed to create host/serv bufs (rc=%d)\n", kFn, rc);
    FreeTable();
    SiExit(nullptr);
    NiIPProtoUsage.store(0, std::memory_order_release);
    NiISetLoopbackIPv6(false);
    return rc;
  } else {
    g_ni.ownCaches = true;
  }

  // 7. The local host table.
  rc = NiILHInit();
  if (rc == NIECALL) {
    DPTRC_WARNING(NiITrcHdl(), u"%s: localhost structures already initialized\n", kFn);
  } else if (rc != WEQ_O_K) {
    DPTRC_LINE(1, NiITrcHdl(), u"%s: NiLHInit failed (rc=%d)\n", kFn, rc);
    if (g_ni.ownCaches) NiIHSBufExit();
    FreeTable();
    SiExit(nullptr);
    NiIPProtoUsage.store(0, std::memory_order_release);
    NiISetLoopbackIPv6(false);
    return rc;
  }

  // 8. The local-domain path template.
  strcpy_sU16(g_ni.udsPath, 64, u"/tmp/.weqstream%d");
  return WEQ_O_K;
}

NI_RC NiIExit() {
  static constexpr const WEQ_UC* kFn = u"NiIExit";
  NiIRiExit();
  // Records still open go with the table; their sockets stay open.
  NiIHSBufExit();
  g_ni.ownCaches = false;
  DeleteLocks();
  int32_t err = 0;
  NI_RC result = WEQ_O_K;
  SI_RC si = SiExit(&err);
  if (si != SI_OK) {
    result = NiIReportSiError(si, SI_FN_EXIT, nullptr, nullptr, err, nullptr, nullptr, nullptr, kFn, kModuleI,
                              __LINE__, 1);
  }
  NiILHFree();
  FreeTable();
  NiIPProtoUsage.store(0, std::memory_order_release);
  NiISetLoopbackIPv6(false);
  g_ni.defaultLocal = MappedAny();
  return result;
}

// Both under g_initCs.
NI_RC Init3Locked(int32_t maxHandles, bool quietNesting) {
  static constexpr const WEQ_UC* kFn = u"NiInit3";
  if (maxHandles > NI_MAX_HDLS) {
    return NiIErrTrace(kXxModule, __LINE__, 1, u"%s: parameter invalid (maxHandles > NI_MAX_HDLS)", NIEINVAL,
                       kFn);
  }
  if (g_ni.count >= 1) {
    if (quietNesting || maxHandles == kDefaultHandles) {
      DPTRC_LINE(2, NiITrcHdl(), u"%s: NI already initializes (init=%d;cur=%d)\n", kFn,
                 static_cast<int32_t>(g_ni.count), g_ni.maxHandles.load());
    } else {
      DPTRC_WARNING(NiITrcHdl(),
                    u"%s: NI already initialized; param 'maxHandles' ignored (init=%d;par=%d;cur=%d)\n", kFn,
                    static_cast<int32_t>(g_ni.count), maxHandles, g_ni.maxHandles.load());
    }
    ++g_ni.count;
    return WEQ_O_K;
  }
  if (g_ni.count < 0) {
    DPTRC_WARNING(NiITrcHdl(), u"%s: NI initialization negative (%d)\n", kFn,
                  static_cast<int32_t>(g_ni.count));
  }
  g_ni.count = 1;
  NI_RC rc = NiIInit(maxHandles);
  if (rc != WEQ_O_K) {
    g_ni.count = 0;
    return rc;
  }
  rc = NiBufIInit();
  if (rc != WEQ_O_K) {
    NiIExit();
    g_ni.count = 0;
    return rc;
  }
  g_ni.ready.store(true, std::memory_order_release);
  return WEQ_O_K;
}

struct InitLock {
  InitLock() { ThrCSLock(&g_initCs); }
  ~InitLock() { ThrCSUnlock(&g_initCs); }
  InitLock(const InitLock&) = delete;
  InitLock& operator=(const InitLock&) = delete;
};

// True only after a start has completed: an implicit start that finds it
// set sees everything the start built.
bool Initialised() { return g_ni.ready.load(std::memory_order_acquire); }

void TraceHdl(const NITAB* pHdl, int level, const WEQ_UC* fmt, const WEQ_UC* fn, int32_t hdl,
              const WEQ_UC* name) {
  int lvl = pHdl->mTrace ? 1 : level;
  if (DPTRC_ON(lvl)) {
    DpTrcLock();
    DpTrc(NiIHdlTrc(pHdl), fmt, fn, hdl, name);
    DpTrcUnlock();
  }
}

}  // namespace

// --- Library --------------------------------------------------------------------------

CTRC_HDL NiITrcHdl(void) { return CTrcGlobalHdl.load(); }

CTRC_HDL NiIHdlTrc(const NITAB* pHdl) {
  if (pHdl != nullptr && pHdl->mTrcHdl != nullptr && *pHdl->mTrcHdl != nullptr) return *pHdl->mTrcHdl;
  return NiITrcHdl();
}

int32_t NiIOwnHighHdl(void) { return g_ni.highSlot.load(std::memory_order_relaxed); }
int32_t NiIMaxHandles(void) { return g_ni.maxHandles.load(std::memory_order_acquire); }
int32_t NiIFreeHandles(void) { return g_ni.freeCount.load(std::memory_order_relaxed); }

int32_t NiIInitCount(void) {
  InitLock lock;
  return g_ni.count;
}

ThrMtx* NiIParamMutex(void) { return &g_ni.paramMtx; }
ThrMtx* NiIWakeupMutex(void) { return &g_ni.wakeupMtx; }
const WEQ_UC* NiIUdsPathTemplate(void) { return g_ni.udsPath; }

void NiINoteSocket(int32_t socketNo) {
  int32_t high = g_ni.highSock.load(std::memory_order_relaxed);
  while (socketNo > high && !g_ni.highSock.compare_exchange_weak(high, socketNo, std::memory_order_relaxed)) {
  }
}

int32_t NiIHighSocket(void) { return g_ni.highSock.load(std::memory_order_relaxed); }

NI_RC NiInit3(int32_t maxHandles) {
  InitLock lock;
  return Init3Locked(maxHandles, false);
}

NI_RC NiInit(void) {
  InitLock lock;
  return Init3Locked(kDefaultHandles, true);
}

NI_RC NiInit2(int32_t maxHandles) {
  if (maxHandles <= 0) {
    return NiIErrTrace(kXxModule, __LINE__, 1, u"%s: parameter invalid (maxHandles <= 0)", NIEINVAL,
                       u"NiInit2");
  }
  return NiInit3(maxHandles);
}

NI_RC NiIEnsureInit(const WEQ_UC* fn) {
  if (Initialised()) return WEQ_O_K;
  InitLock lock;
  if (Initialised()) return WEQ_O_K;
  NI_RC rc = Init3Locked(kDefaultHandles, true);
  if (rc != WEQ_O_K) DPTRC_LINE(1, NiITrcHdl(), u"%s: NiInit failed (rc=%d)\n", fn, rc);
  return rc;
}

NI_RC NiExit(void) {
  static constexpr const WEQ_UC* kFn = u"NiExit";
  InitLock lock;
  --g_ni.count;
  if (g_ni.count == 0) {
    g_ni.ready.store(false, std::memory_order_release);
    NiBufIExit();
    return NiIExit();
  }
  if (g_ni.count < 0) {
    DPTRC_LINE(2, NiITrcHdl(), u"%s: NI library already released (%d)\n", kFn,
               static_cast<int32_t>(g_ni.count));
  } else {
    DPTRC_LINE(2, NiITrcHdl(), u"%s: NI library still in use (%d)\n", kFn, static_cast<int32_t>(g_ni.count));
  }
  return WEQ_O_K;
}

// --- Per-thread data --------------------------------------------------------------------

std::atomic<long> NiIThrGlobAlive{0};

NI_RC NiIThrInit(void) {
  if (!g_ni.keyValid.load(std::memory_order_acquire)) {
    return NiIErrTrace(kModuleI, __LINE__, 1, u"%s: NI library not initialized (%d)", NIECALL, u"NiIThrInit",
                       static_cast<int32_t>(-1));
  }
  if (ThrKeyVarGet(&g_ni.key) != nullptr) return WEQ_O_K;
  auto* glob = static_cast<NI_THR_GLOB*>(calloc(1, sizeof(NI_THR_GLOB)));
  if (glob == nullptr) {
    return NiIErrTrace(kModuleI, __LINE__, 1, u"%s: calloc failed for %d bytes", NIEINTERN, u"NiIThrInit",
                       static_cast<int32_t>(sizeof(NI_THR_GLOB)));
  }
  NiIThrGlobAlive.fetch_add(1, std::memory_order_relaxed);
  glob->mLocalAddr = g_ni.defaultLocal;
  if (ThrKeyVarSet(&g_ni.key, glob) != THR_ERR_OK) {
    free(glob);
    NiIThrGlobAlive.fetch_sub(1, std::memory_order_relaxed);
    return NiIErrTrace(kModuleI, __LINE__, 1, u"%s: ThrKeyVarSet failed", NIEINTERN, u"NiIThrInit");
  }
  return WEQ_O_K;
}

NI_RC NiThrInit(void) {
  int32_t count;
  {
    InitLock lock;
    count = g_ni.count;
  }
  if (count < 1) {
    return NiIErrTrace(kXxModule, __LINE__, 1, u"%s: NI library not initialized (%d)", NIECALL, u"NiThrInit",
                       count);
  }
  return NiIThrInit();
}

void NiIThrGlobFree(void* pThreadData) {
  if (!g_ni.keyValid.load(std::memory_order_acquire)) {
    // The key's destructor of a thread that ends after NiExit: the block is
    // the thread's own and nobody else frees it.
    if (pThreadData != nullptr) NiIThrGlobAlive.fetch_sub(1, std::memory_order_relaxed);
    free(pThreadData);
    return;
  }
  void* own = ThrKeyVarGet(&g_ni.key);
  void* block = pThreadData != nullptr ? pThreadData : own;
  if (block == nullptr) return;
  NiIThrGlobAlive.fetch_sub(1, std::memory_order_relaxed);
  free(block);
  if (block == own) ThrKeyVarSet(&g_ni.key, nullptr);
}

void NiThrExit(void* pThreadData) {
  if (!Initialised()) return;
  NiIThrGlobFree(pThreadData);
}

NI_THR_GLOB* NiIGetThrGlob(void) {
  static constexpr const WEQ_UC* kFn = u"NiIGetThrGlob";
  if (NiIEnsureInit(kFn) != WEQ_O_K) return nullptr;
  auto* glob = static_cast<NI_THR_GLOB*>(ThrKeyVarGet(&g_ni.key));
  if (glob != nullptr) return glob;
  NI_RC rc = NiIThrInit();
  if (rc != WEQ_O_K) {
    DPTRC_LINE(1, NiITrcHdl(), u"%s: NiThrInit failed (rc=%d)\n", kFn, rc);
    return nullptr;
  }
  return static_cast<NI_THR_GLOB*>(ThrKeyVarGet(&g_ni.key));
}

// --- Handle table ---------------------------------------------------------------------------

const WEQ_UC* NiIHdlStateName(uint8_t state) {
  switch (state) {
    case NI_FREE: return u"NI_FREE";
    case NI_INITIAL_LIS: return u"NI_INITIAL_LIS";
    case NI_INITIAL_RIL: return u"NI_INITIAL_RIL";
    case NI_INITIAL_CON: return u"NI_INITIAL_CON";
    case NI_LISTEN: return u"NI_LISTEN";
    case NI_RI_LISTEN: return u"NI_RI_LISTEN";
    case NI_CONN_WAIT: return u"NI_CONN_WAIT";
    case NI_CONNECTED: return u"NI_CONNECTED";
    case NI_ACCEPTED: return u"NI_ACCEPTED";
    case NI_DG_CONNECTED: return u"NI_DG_CONNECTED";
    case NI_DG_UNCONNECTED: return u"NI_DG_UNCONNECTED";
    default: return u"INVALID";
  }
}

NITAB* NiIHdlLookup(NI_HDL hdl) {
  int32_t max = g_ni.maxHandles.load(std::memory_order_acquire);
  if (hdl >= 0 && max > 0 && hdl < max * 8) {
    NITAB* rec = &g_ni.nitab[hdl >> 3];
    if (rec->mType.load(std::memory_order_acquire) >= 0x10 && rec->mHdl.load(std::memory_order_acquire) == hdl)
      return rec;
  }
  return nullptr;
}

NI_RC NiIHdlCheck(NI_HDL hdl, const WEQ_UC* fn, NITAB** ppHdl) {
  *ppHdl = NiIHdlLookup(hdl);
  if (*ppHdl != nullptr) return WEQ_O_K;
  return NiIErrTrace(kXxModule, __LINE__, hdl == -1 ? 2 : 1, u"%s: invalid hdl %d", NIEINVAL, fn, hdl);
}

void NiISetState(NITAB* pHdl, uint8_t state, const WEQ_UC* fn) {
  TraceHdl(pHdl, 2, u"%s: state of hdl %d %s\n", fn, pHdl->mHdl.load(std::memory_order_relaxed),
           NiIHdlStateName(state));
  pHdl->mType.store(state, std::memory_order_release);
}

NI_RC NiICreateHandle(NITAB** ppHdl, uint8_t type, CTRC_HDL* trcHdl) {
  static constexpr const WEQ_UC* kFn = u"NiICreateHandle";
  NI_RC rc = NiIEnsureInit(kFn);
  if (rc != WEQ_O_K) return rc;
  if (*ppHdl != nullptr) DPTRC_ERROR(NiITrcHdl(), u"%s: *ppHdl should be NULL\n", kFn);
  // The type first: a refused type takes no slot.
  if (type != NI_INITIAL_LIS && type != NI_INITIAL_RIL && type != NI_INITIAL_CON) {
    return NiIErrTrace(kModuleI, __LINE__, 1, u"%s: invalid type (%d)", NIEINVAL, kFn,
                       static_cast<int32_t>(type));
  }
  if (g_ni.freeList == nullptr) {
    DPTRC_WARNING(NiITrcHdl(), u"%s: nitab_free_hdl=NULL; niIsInitialized=%d\n", kFn, NiIInitCount());
  }

  ThrMtxLock(&g_ni.hdlMtx);
  uint32_t slot = 0;
  if (g_ni.freeList == nullptr || FtTake(g_ni.freeList, &slot, nullptr) != FI_OK) {
    ThrMtxUnlock(&g_ni.hdlMtx);
    return NiIErrTrace(kModuleI, __LINE__, 1, u"%s: no more free handles (%d)", NIEINVAL, kFn,
                       g_ni.maxHandles.load());
  }
  NITAB* rec = &g_ni.nitab[slot];
  int32_t old = rec->mHdl.load(std::memory_order_relaxed);
  // Zero everything but the two fields the handle check reads unlocked.
  rec->mNext = rec->mPrev = nullptr;
  memset(static_cast<void*>(&rec->mBlockMode), 0,
         sizeof(NITAB) - (reinterpret_cast<char*>(&rec->mBlockMode) - reinterpret_cast<char*>(rec)));
  rec->mHdl.store(static_cast<int32_t>(slot) * 8 + ((old + 1) & 7), std::memory_order_release);
  rec->mType.store(type, std::memory_order_release);
  rec->mNext = g_ni.usedHead;
  if (g_ni.usedHead != nullptr) g_ni.usedHead->mPrev = rec;
  g_ni.usedHead = rec;
  g_ni.freeCount.fetch_sub(1, std::memory_order_relaxed);
  int32_t high = g_ni.highSlot.load(std::memory_order_relaxed);
  if (static_cast<int32_t>(slot) > high)
    g_ni.highSlot.store(static_cast<int32_t>(slot), std::memory_order_relaxed);
  ThrMtxUnlock(&g_ni.hdlMtx);

  rec->mCreateTime = static_cast<int64_t>(time(nullptr));
  rec->mTrace = NiIParams().traceAll.load(std::memory_order_relaxed) ? 1 : 0;
  rec->mTrcHdl = trcHdl;
  rec->mBlockMode = 1;
  NI_NODEADDR any = NiIAnyAddr();
  if (type == NI_INITIAL_LIS) {
    rec->lis.mIPSocket.socketNo = NI_INVALID_SOCK;
    rec->lis.mUDSocket.socketNo = NI_INVALID_SOCK;
  } else if (type == NI_INITIAL_RIL) {
    rec->ri.mSocket.socketNo = NI_INVALID_SOCK;
    rec->ri.mLocalAddr = any;
    rec->ri.mPeerAddr = any;
  } else {
    rec->con.mSocket.socketNo = NI_INVALID_SOCK;
    rec->con.mPeerAddr = any;
  }
  TraceHdl(rec, 2, u"%s: hdl %d state %s\n", kFn, rec->mHdl.load(std::memory_order_relaxed),
           NiIHdlStateName(type));
  *ppHdl = rec;
  return WEQ_O_K;
}

namespace {

// Closes an open socket of a record, retrying on SI_EINTR; a failure is
// reported and returned.
NI_RC CloseSock(NITAB* pHdl, SI_SOCKET* pSock, const WEQ_UC* fn) {
  if (pSock->socketNo == NI_INVALID_SOCK) return WEQ_O_K;
  SI_RC si;
  while ((si = SiClose(pSock)) == SI_EINTR) {
  }
  NI_RC rc = WEQ_O_K;
  if (si != SI_OK) {
    rc = NiIReportSiError(si, SI_FN_CLOSE, pHdl, pSock, pSock->sysErr, nullptr, nullptr, nullptr, fn,
                          kModuleI, __LINE__, 1);
  }
  pSock->socketNo = NI_INVALID_SOCK;
  return rc;
}

}  // namespace

NI_RC NiICloseHandle(NITAB* pHdl, uint8_t removeUdsFile, int8_t lockHeld) {
  static constexpr const WEQ_UC* kFn = u"NiICloseHandle";
  (void)removeUdsFile;  // no local-domain listen socket is ever opened
  uint8_t state = pHdl->mType.load(std::memory_order_acquire);
  int32_t hdl = pHdl->mHdl.load(std::memory_order_relaxed);
  int lvl = pHdl->mTrace ? 1 : 2;
  CTRC_HDL trc = NiIHdlTrc(pHdl);
  if (state == NI_CONN_WAIT)
    DPTRC_LINE(lvl, trc, u"%s: called for hdl %d while waiting for connection\n", kFn, hdl);
  NI_RC rc = WEQ_O_K;
  if ((state & 0xF0) == 0 && state != NI_FREE) {
    DPTRC_LINE(lvl, trc, u"%s: closing initial hdl %d\n", kFn, hdl);
  } else if (state == NI_LISTEN) {
    DPTRC_LINE(lvl, trc, u"%s: shutdown and close hdl %d/sock %d - sock %d\n", kFn, hdl,
               pHdl->lis.mIPSocket.socketNo, pHdl->lis.mUDSocket.socketNo);
  } else if (state == NI_RI_LISTEN) {
    DPTRC_LINE(lvl, trc, u"%s: shutdown and close pseudo listen hdl %d/sock %d\n", kFn, hdl,
               pHdl->ri.mSocket.socketNo);
  } else if (state != NI_FREE) {
    DPTRC_LINE(lvl, trc, u"%s: shutdown and close hdl %d/sock %d\n", kFn, hdl, pHdl->con.mSocket.socketNo);
  }
  uint8_t kind = state & 0x0F;
  if (state == NI_FREE) {
    // Closed meanwhile: nothing of the record is touched below.
  } else if (kind == 1) {
    rc = CloseSock(pHdl, &pHdl->lis.mIPSocket, kFn);
  } else if (kind == 2) {
    rc = NiIRiSrvCloseHandle(pHdl);
  } else {
    if (pHdl->mBuf != nullptr && pHdl->mBufOps != nullptr && pHdl->mBufOps->close != nullptr) {
      pHdl->mBufOps->close(pHdl, pHdl->mBuf);
    }
    rc = CloseSock(pHdl, &pHdl->con.mSocket, kFn);
    pHdl->mPendDataLenToRead = 0;
    pHdl->mPendHdrLenToRead = 0;
    pHdl->mPendDataLenToWrite = 0;
    pHdl->mPendHdrLenToWrite = 0;
    pHdl->mBuf = nullptr;
    pHdl->mBufOps = nullptr;
    NiICtlFree(pHdl);
  }

  if (!lockHeld) ThrMtxLock(&g_ni.hdlMtx);
  if (pHdl->mType.load(std::memory_order_acquire) != NI_FREE) {
    pHdl->mType.store(NI_FREE, std::memory_order_release);
    FtGive(g_ni.freeList, static_cast<uint32_t>(pHdl - g_ni.nitab));
    g_ni.freeCount.fetch_add(1, std::memory_order_relaxed);
    if (pHdl->mPrev != nullptr) pHdl->mPrev->mNext = pHdl->mNext;
    if (pHdl->mNext != nullptr) pHdl->mNext->mPrev = pHdl->mPrev;
    if (g_ni.usedHead == pHdl) g_ni.usedHead = pHdl->mNext;
    pHdl->mNext = pHdl->mPrev = nullptr;
  } else {
    if (!lockHeld) ThrMtxUnlock(&g_ni.hdlMtx);
    DPTRC_WARNING(trc, u"%s: hdl %d closed in the meantime; race? (old rc=%d)\n", kFn, hdl, rc);
    return NIEINVAL;
  }
  if (!lockHeld) ThrMtxUnlock(&g_ni.hdlMtx);
  return rc;
}

NI_RC NiCloseHandle(NI_HDL hdl) {
  static constexpr const WEQ_UC* kFn = u"NiCloseHandle";
  NITAB* rec = nullptr;
  NI_RC rc = NiIHdlCheck(hdl, kFn, &rec);
  if (rc != WEQ_O_K) return rc;
  uint8_t state = rec->mType.load(std::memory_order_acquire);
  if (state == NI_DG_UNCONNECTED) {
    return NiIErrTrace(kXxModule, __LINE__, 1, u"%s: parameter invalid (pHdl->mType == NI_DG_UNCONNECTED)",
                       NIEINVAL, kFn);
  }
  if (state == NI_DG_CONNECTED) {
    return NiIErrTrace(kXxModule, __LINE__, 1, u"%s: parameter invalid (pHdl->mType == NI_DG_CONNECTED)",
                       NIEINVAL, kFn);
  }
  return NiICloseHandle(rec, 1, 0);
}

NI_RC NiHdlToSock(NI_HDL hdl, int32_t* pSocketNo) {
  static constexpr const WEQ_UC* kFn = u"NiHdlToSock";
  NITAB* rec = nullptr;
  NI_RC rc = NiIHdlCheck(hdl, kFn, &rec);
  if (rc != WEQ_O_K) return rc;
  if (pSocketNo == nullptr) {
    return NiIErrTrace(kXxModule, __LINE__, 1, u"%s: parameter invalid (pSocketNo == NULL)", NIEINVAL, kFn);
  }
  *pSocketNo = -1;
  uint8_t state = rec->mType.load(std::memory_order_acquire);
  if (state == NI_RI_LISTEN) {
    return NiIErrTrace(kXxModule, __LINE__, 1, u"%s: parameter invalid (pHdl->mType == NI_RI_LISTEN)", NIEINVAL,
                       kFn);
  }
  if (state == NI_CONN_WAIT) {
    rc = NiICheckPendConnection(rec, NI_BLOCK, 1);
    if (rc == NIESERV_USED) return NIECONN_REFUSED;
    if (rc != WEQ_O_K) return rc;
    state = rec->mType.load(std::memory_order_acquire);
  }
  int32_t sock = state == NI_LISTEN ? rec->lis.mIPSocket.socketNo : rec->con.mSocket.socketNo;
  if (sock == NI_INVALID_SOCK) {
    return NiIErrTrace(kXxModule, __LINE__, 1,
                       u"%s: parameter invalid (pHdl->con.mSocket.socketNo == NI_INVALID_SOCK)", NIEINVAL,
                       kFn);
  }
  *pSocketNo = sock;
  return WEQ_O_K;
}

NI_RC NiSockToHdl(int32_t socketNo, NI_HDL* pHandle) {
  static constexpr const WEQ_UC* kFn = u"NiSockToHdl";
  if (socketNo < 0) {
    return NiIErrTrace(kXxModule, __LINE__, 1, u"%s: parameter invalid (socketNo < 0)", NIEINVAL, kFn);
  }
  if (pHandle == nullptr) {
    return NiIErrTrace(kXxModule, __LINE__, 1, u"%s: parameter invalid (pHandle == NULL)", NIEINVAL, kFn);
  }
  *pHandle = -1;
  int32_t max = g_ni.maxHandles.load(std::memory_order_acquire);
  for (int32_t i = 0; i < max; ++i) {
    const NITAB& rec = g_ni.nitab[i];
    uint8_t state = rec.mType.load(std::memory_order_acquire);
    if (state < 0x10 || state == NI_RI_LISTEN) continue;
    int32_t sock = state == NI_LISTEN ? rec.lis.mIPSocket.socketNo : rec.con.mSocket.socketNo;
    if (sock == socketNo) {
      *pHandle = rec.mHdl.load(std::memory_order_acquire);
      return WEQ_O_K;
    }
  }
  DPTRC_ERROR(NiITrcHdl(), u"%s: sock %d not found\n", kFn, socketNo);
  return NIEINVAL;
}
