// The front end of the host and service caches: creation and destruction of
// the pair, the look-ups the rest of NI calls, the tuning operations, the
// dump, and what every cache shares (clocks, lookup-time trace, dump lines).
#include <arpa/inet.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <atomic>

#include "krn/ni/nihs_int.h"
#include "krn/si/si.h"

namespace {

constexpr const WEQ_UC* kHsModule = u"nixxhs.cpp";
constexpr uint32_t kDayS = 86400;

std::atomic<NIHIMPL*> g_host{nullptr};
std::atomic<NISIMPL*> g_serv{nullptr};

// Serialises the creation and destruction of the pair. Taken before a
// cache's own mutex, never after it.
ThrCS g_createCs;

int64_t SystemSeconds() { return static_cast<int64_t>(time(nullptr)); }
std::atomic<NI_HS_SECONDS_FUNC> g_seconds{&SystemSeconds};

// The built-in millisecond clock counts whole seconds and wraps at 2^16 s;
// a caller's microsecond clock divided by 1000 wraps at 2^32 / 1000 ms.
constexpr uint32_t kOwnWrapMs = 65536000u;
constexpr uint32_t kFuncWrapMs = 4294967u;

NI_RC NotInit(const WEQ_UC* fn, int line) {
  NiIErrInfo(kHsModule, line, u"%s: not initialized", NIECALL, fn);
  DPTRC_LINE(1, NiITrcHdl(), u"%s: not initialized\n", fn);
  return NIECALL;
}

NI_RC NullParam(const WEQ_UC* fn, const WEQ_UC* param, int line) {
  return NiIErrTrace(kHsModule, line, 1, u"%s: parameter invalid (%s == NULL)", NIEINVAL, fn, param);
}

uint32_t ClampTime(uint32_t t) { return t == 0 || t > kDayS ? kDayS : t; }

// Lazy creation for the look-ups: true when the caches exist. A buffer-only
// look-up does not create them (empty caches could not answer it anyway):
// false with *rc 0, a miss. A failed creation is traced: false, NIEINTERN.
bool EnsureCaches(const WEQ_UC* fn, int mode, NI_RC* rc) {
  *rc = WEQ_O_K;
  if (g_host.load(std::memory_order_acquire) != nullptr &&
      g_serv.load(std::memory_order_acquire) != nullptr) {
    return true;
  }
  if (mode == NI_HS_MODE_BUFONLY) return false;
  NI_RC init = NiIHSBufInit(100, 0, 600, 600, 0, 600, 600);
  if ((init == WEQ_O_K || init == NIECALL) && g_host.load(std::memory_order_acquire) != nullptr) return true;
  DPTRC_LINE(1, NiITrcHdl(), u"%s: NiIHSBufInit failed (rc=%d)\n", fn, init);
  *rc = NIEINTERN;
  return false;
}

// Copies text into a caller buffer when it is longer than the text.
NI_RC CopyName(const WEQ_UC* fn, const WEQ_UC* name, WEQ_UC* buf, int bufferLen, int line) {
  int len = static_cast<int>(strlenU(name));
  if (bufferLen <= len) {
    NiIErrInfo(kHsModule, line, u"%s: buffer too small (%d<%d)", NIETOO_SMALL, fn, bufferLen, len);
    DPTRC_LINE(1, NiITrcHdl(), u"%s: buffer too small for '%s' (%d<%d)\n", fn, name, bufferLen, len);
    return NIETOO_SMALL;
  }
  memcpy(buf, name, (static_cast<size_t>(len) + 1) * sizeof(WEQ_UC));
  return WEQ_O_K;
}

bool IsUnspecified(const NI_NODEADDR& a) {
  static constexpr WEQ_RAW kZero[16] = {};
  NI_NODEADDR mapped0 = NiIPv4ToAddr(0);
  return memcmp(a.addr, kZero, 16) == 0 || memcmp(a.addr, mapped0.addr, 16) == 0;
}

// Appends text to the dump buffer; false when it did not fit.
bool Append(WEQ_UC* buf, int size, int* used, const WEQ_UC* text) {
  int len = static_cast<int>(strlenU(text));
  if (*used + len >= size) return false;
  memcpy(buf + *used, text, static_cast<size_t>(len) * sizeof(WEQ_UC));
  *used += len;
  buf[*used] = 0;
  return true;
}

// Lines of one cache into the dump; *fitted is false when a line did not.
NI_RC DumpLines(NIHSIMPL* cache, const WEQ_UC* what, WEQ_UC* buf, int size, int* used, bool* fitted) {
  static WEQ_UC const* const kFn = u"NiHBufPrintBuf";
  WEQ_UC line[2048];
  for (;;) {
    int done = 0;
    NI_RC rc = cache->DumpBufLine(line, 2048, &done, NI_HS_DUMP_TABLE);
    if (rc != WEQ_O_K) {
      DPTRC_LINE(1, NiITrcHdl(), u"%s: %s failed (rc=%d; %d)\n", kFn, what, rc, size - *used);
      return rc;
    }
    if (done) return WEQ_O_K;
    if (!Append(buf, size, used, line)) {
      *fitted = false;
      return WEQ_O_K;
    }
  }
}

}  // namespace

// --- Clocks ------------------------------------------------------------------------

void NiISetHSSecondsClock(NI_HS_SECONDS_FUNC fn) {
  g_seconds.store(fn != nullptr ? fn : &SystemSeconds, std::memory_order_release);
}

int64_t NiIHSNow(void) { return g_seconds.load(std::memory_order_acquire)(); }

// --- Base class -------------------------------------------------------------------

NIHSIMPL::NIHSIMPL(const WEQ_UC* mutexName) : lastFlush_(NiIHSNow()) { ThrMtxInit(&mtx_, mutexName); }

NIHSIMPL::~NIHSIMPL() { ThrMtxDelete(&mtx_); }

NI_RC NIHSIMPL::SetTimeFunc(NI_HS_TIME_FUNC fn) {
  timeFunc_.store(fn, std::memory_order_release);
  return WEQ_O_K;
}

NI_RC NIHSIMPL::Lock() {
  ThrMtxLock(&mtx_);
  cursor_ = 0;
  return WEQ_O_K;
}

NI_RC NIHSIMPL::Unlock() {
  ThrMtxUnlock(&mtx_);
  return WEQ_O_K;
}

NI_RC NIHSIMPL::SetTimes(uint32_t seconds, uint32_t flags) {
  static constexpr const WEQ_UC* kFn = u"NiHsetHostBufTimeout";
  struct Field {
    uint32_t bit;
    uint32_t NIHSIMPL::*time;
    const WEQ_UC* what;
  };
  static constexpr Field kFields[] = {
      {1, &NIHSIMPL::validTime_, u"valid entry"},
      {2, &NIHSIMPL::unknownNameTime_, u"unknown name"},
      {4, &NIHSIMPL::unknownAddrTime_, u"unknown address"},
  };
  ThrMtxLock(&mtx_);
  for (const Field& f : kFields) {
    if ((flags & f.bit) == 0) continue;
    DPTRC_LINE(3, NiITrcHdl(), u"%s: set timeout (%s) = '%d' (prev = '%d')\n", kFn, f.what, seconds,
               this->*f.time);
    this->*f.time = seconds;
  }
  ThrMtxUnlock(&mtx_);
  return WEQ_O_K;
}

NIHSIMPL::Millis NIHSIMPL::MilliClock() {
  NI_HS_TIME_FUNC fn = timeFunc_.load(std::memory_order_acquire);
  if (fn != nullptr) return {fn(this) / 1000u, kFuncWrapMs};
  return {static_cast<uint32_t>(static_cast<uint64_t>(NiIHSNow()) & 0xFFFFu) * 1000u, kOwnWrapMs};
}

uint32_t NIHSIMPL::Elapsed(Millis t0, Millis t1) {
  if (t1.ms >= t0.ms) return t1.ms - t0.ms;
  return t1.ms + t1.wrap - t0.ms;
}

void NIHSIMPL::TraceLookupTime(const WEQ_UC* fn, const WEQ_UC* key, bool byName, bool ok, Millis t0) {
  uint32_t limit = TraceLimit();
  if (limit == 0) return;
  uint32_t took = Elapsed(t0, MilliClock());
  if (took <= limit) return;
  const WEQ_UC* result = ok ? u"succeeded" : u"failed";
  if (byName) {
    DPTRC_LINE(1, NiITrcHdl(), u"%s: to get '%s' %s in %dms (tl=%dms%s%s)\n", fn, key, result, took, limit,
               u"; MT", u"; UC");
  } else {
    DPTRC_LINE(1, NiITrcHdl(), u"%s: to get %s %s in %dms (tl=%dms%s%s)\n", fn, key, result, took, limit,
               u"; MT", u"; UC");
  }
}

NI_RC NIHSIMPL::CheckCapacity(const WEQ_UC* fn, uint32_t capacity) {
  if (capacity <= NI_HS_MAX_ENTRIES) return WEQ_O_K;
  return NiIErrTrace(kHsModule, __LINE__, 1, u"%s: parameter invalid (capacity %u > %u)", NIEINVAL, fn,
                     capacity, NI_HS_MAX_ENTRIES);
}

NI_RC NIHSIMPL::InitTable(void** table, size_t entrySize, uint32_t capacity, uint32_t validTime,
                          uint32_t unknownNameTime, uint32_t unknownAddrTime, const TableTexts& texts) {
  if (*table != nullptr) {
    NiIErrInfo(kHsModule, __LINE__, u"%s: already initialized", NIECALL, texts.fn);
    DPTRC_LINE(1, NiITrcHdl(), u"%s: already initialized)\n", texts.fn);
    return NIECALL;
  }
  NI_RC rc = CheckCapacity(texts.fn, capacity);
  if (rc != WEQ_O_K) return rc;
  capacity_ = 0;
  validTime_ = validTime;
  unknownNameTime_ = unknownNameTime;
  unknownAddrTime_ = unknownAddrTime;
  ++generation_;
  if (capacity == 0) {
    DPTRC_LINE(2, NiITrcHdl(), texts.disabled, texts.fn);
    return WEQ_O_K;
  }
  size_t bytes = static_cast<size_t>(capacity) * entrySize;
  *table = calloc(capacity, entrySize);
  if (*table == nullptr) {
    NiIErrInfo(kHsModule, __LINE__, u"%s: malloc failed for %d bytes", NIEINTERN, texts.fn, bytes);
    DPTRC_LINE(1, NiITrcHdl(), u"%s: malloc failed for %d bytes (%d)\n", texts.fn, bytes, capacity);
    return NIEINTERN;
  }
  capacity_ = capacity;
  DPTRC_LINE(2, NiITrcHdl(), texts.allocated, texts.fn, capacity);
  return WEQ_O_K;
}

NI_RC NIHSIMPL::Resize(const WEQ_UC* fn, uint32_t capacity) {
  NiIMtxHold hold(&mtx_);
  NI_RC rc = CheckCapacity(fn, capacity);
  if (rc != WEQ_O_K) return rc;
  FreeTablesLocked();
  rc = InitLocked(capacity, validTime_, unknownNameTime_, unknownAddrTime_);
  if (rc != WEQ_O_K) DPTRC_LINE(1, NiITrcHdl(), u"%s: init failed (rc=%d)\n", fn, rc);
  return rc;
}

void NIHSIMPL::FlushTable(void* table, size_t entrySize, const WEQ_UC* fn, const WEQ_UC* text) {
  for (uint32_t i = 0; i < capacity_; ++i) static_cast<WEQ_RAW*>(table)[i * entrySize] = STAT_SLOT_FREE;
  ++generation_;
  lastFlush_ = NiIHSNow();
  DPTRC_LINE(2, NiITrcHdl(), text, fn);
}

uint32_t NIHSIMPL::StoreSlot(Ring* ring, int64_t remembered, uint32_t gen, CTRC_HDL trc, const WEQ_UC* fn,
                             const WEQ_UC* overflowText) {
  if (remembered >= 0 && gen == generation_ && static_cast<uint32_t>(remembered) < capacity_) {
    return static_cast<uint32_t>(remembered);
  }
  if (ring->next >= capacity_) ring->next = 0;
  uint32_t slot = ring->next++;
  if (ring->next >= capacity_) {
    ring->next = 0;
    ring->wrapped = true;
    DPTRC_LINE(2, trc, overflowText, fn);
  }
  return slot;
}

NI_RC NIHSIMPL::DumpEntry(const WEQ_UC* fn, WEQ_UC* buffer, int bufferLen, int* pDone, int format,
                          const WEQ_UC* tableFormat, U16FmtArgs tableArgs, const WEQ_UC* tabFormat,
                          U16FmtArgs tabArgs) {
  NI_RC rc;
  if (format == NI_HS_DUMP_TABLE) {
    rc = DumpPut(fn, buffer, bufferLen, cursor_, tableFormat, tableArgs);
  } else if (format == NI_HS_DUMP_TAB) {
    rc = DumpPut(fn, buffer, bufferLen, cursor_, tabFormat, tabArgs);
  } else {
    return NIEINVAL;
  }
  if (rc != WEQ_O_K) return rc;
  ++cursor_;
  *pDone = 0;
  return WEQ_O_K;
}

NI_RC NiICopyName(const WEQ_UC* module, int line, const WEQ_UC* fn, const WEQ_UC* name, WEQ_UC* buffer,
                  int bufferLen, CTRC_HDL trc) {
  int len = static_cast<int>(strlenU(name));
  if (bufferLen > len) {
    memcpy(buffer, name, (static_cast<size_t>(len) + 1) * sizeof(WEQ_UC));
    return WEQ_O_K;
  }
  NiIErrInfo(module, line, u"%s: buffer too small (%d<=%d)", NIETOO_SMALL, fn, bufferLen, len);
  DPTRC_LINE(1, trc, u"%s: buffer too small (%d<=%d)\n", fn, bufferLen, len);
  return NIETOO_SMALL;
}

NI_RC NIHSIMPL::DumpPut(const WEQ_UC* fn, WEQ_UC* buffer, int bufferLen, uint32_t slot, const WEQ_UC* format,
                        U16FmtArgs args) {
  if (bufferLen > 0 && vsnprintfFitU16(buffer, static_cast<size_t>(bufferLen), format, args) >= 0) {
    return WEQ_O_K;
  }
  WEQ_UC probe[2048];
  int needed = vsnprintfFitU16(probe, sizeof probe / sizeof probe[0], format, args);
  NiIErrInfo(kHsModule, __LINE__, u"%s: buffer too small", NIETOO_SMALL, fn);
  DPTRC_LINE(1, NiITrcHdl(), u"%s: buffer too small (%d<%d;%d)\n", fn, bufferLen, needed + 1, slot);
  return NIETOO_SMALL;
}

void NISIMPL::TraceServEntry(const NI_SERVENT* entry, int level) {
  if (entry == nullptr || !DPTRC_ON(level)) return;
  WEQ_UC line[1024];
  int used = snprintfTruncU16(line, 1024, u"SN='%s'", entry->name);
  for (uint32_t i = 0; entry->aliases != nullptr && entry->aliases[i] != nullptr; ++i) {
    used += snprintfTruncU16(line + used, static_cast<size_t>(1024 - used), u"; Ali[%u]='%s'", i,
                             entry->aliases[i]);
  }
  used += snprintfTruncU16(line + used, static_cast<size_t>(1024 - used), u"; Port=%d",
                           static_cast<int>(ntohs(entry->port)));
  snprintfTruncU16(line + used, static_cast<size_t>(1024 - used), u"; PC=%s\n", entry->proto);
  DPTRC_LINE(level, NiITrcHdl(), u"%s", +line);
}

// --- Creation and destruction -------------------------------------------------------------

NI_RC NiIHSBufInit(uint32_t capacity, uint32_t hostValid, uint32_t hostUnknownName, uint32_t hostUnknownAddr,
                   uint32_t servValid, uint32_t servUnknownName, uint32_t servUnknownPort) {
  static constexpr const WEQ_UC* kFn = u"NiIHSBufInit";
  ThrCSLock(&g_createCs);
  struct Unlock {
    ~Unlock() { ThrCSUnlock(&g_createCs); }
  } unlock;
  if (g_host.load(std::memory_order_acquire) != nullptr ||
      g_serv.load(std::memory_order_acquire) != nullptr) {
    return NiIErrInfo(kHsModule, __LINE__, u"%s: already initialized", NIECALL, kFn);
  }
  NiISetIPProtoUsage();
  NIHIMPL* host = nullptr;
  const WEQ_UC* kind = NiIIPv6Active() ? u"IPv6" : u"IPv4";
  if (NiIIPv6Active()) {
    DPTRC_LINE(2, NiITrcHdl(), u"%s: initialize hostname buffer (IPv4/IPv6)\n", kFn);
    host = new (std::nothrow) NIHIMPL_LINEAR6();
  } else {
    DPTRC_LINE(2, NiITrcHdl(), u"%s: initialize hostname buffer (IPv4)\n", kFn);
    host = new (std::nothrow) NIHIMPL_LINEAR();
  }
  if (host == nullptr) {
    return NiIErrTrace(kHsModule, __LINE__, 1, u"%s: malloc failed for %s buffer implementation", NIEINTERN,
                       kFn, kind);
  }
  NISIMPL* serv = new (std::nothrow) NISIMPL_LINEAR();
  if (serv == nullptr) {
    delete host;
    return NiIErrTrace(kHsModule, __LINE__, 1, u"%s: malloc failed for service buffer implementation",
                       NIEINTERN, kFn);
  }
  NI_RC rc =
      host->Init(capacity, ClampTime(hostValid), ClampTime(hostUnknownName), ClampTime(hostUnknownAddr));
  if (rc == WEQ_O_K) {
    rc = serv->Init(capacity, ClampTime(servValid), ClampTime(servUnknownName), ClampTime(servUnknownPort));
  }
  if (rc == WEQ_O_K) {
    int32_t err = 0;
    SI_RC si = SiInit(&err);
    if (si != SI_OK) {
      rc = NiIReportSiError(si, SI_FN_INIT, nullptr, nullptr, err, nullptr, nullptr, nullptr, kFn, kHsModule,
                            __LINE__, 1);
    }
  }
  if (rc != WEQ_O_K) {
    delete host;
    delete serv;
    return rc;
  }
  g_serv.store(serv, std::memory_order_release);
  g_host.store(host, std::memory_order_release);
  return WEQ_O_K;
}

void NiIHSBufExit(void) {
  ThrCSLock(&g_createCs);
  delete g_host.exchange(nullptr, std::memory_order_acq_rel);
  delete g_serv.exchange(nullptr, std::memory_order_acq_rel);
  ThrCSUnlock(&g_createCs);
}

NIHIMPL* NiIHostCache(void) { return g_host.load(std::memory_order_acquire); }
NISIMPL* NiIServCache(void) { return g_serv.load(std::memory_order_acquire); }

// --- Look-ups --------------------------------------------------------------------------

NI_RC NiIGetNodeAddr(const WEQ_UC* pHostName, int protocol, NI_NODEADDR* pNodeAddr, int mode, CTRC_HDL trc) {
  static constexpr const WEQ_UC* kFn = u"NiIGetNodeAddr";
  if (pNodeAddr == nullptr) return NullParam(kFn, u"pNodeAddr", __LINE__);
  *pNodeAddr = NiIAnyAddr();
  NI_RC rc = WEQ_O_K;
  bool caches = EnsureCaches(kFn, mode, &rc);
  if (rc != WEQ_O_K) return rc;
  WEQ_UC text[NI_NODEADDR_STR_LEN];
  if (pHostName == nullptr) {
    NI_NODEADDR loop;
    NiGetLoopbackAddr(&loop);
    if (protocol == NI_PROTO_FAM_IPv4 && !NiIIsMapped(loop)) {
      DPTRC_LINE(1, trc, u"%s: default loopback address is IPv6 (%s)\n", kFn,
                 NiAddrToStr2(&loop, text, NI_NODEADDR_STR_LEN, 0));
      loop = NiIPv4ToAddr(htonl(0x7F000001u));
    } else if (protocol == NI_PROTO_FAM_IPv6 && NiIIsMapped(loop)) {
      DPTRC_LINE(1, trc, u"%s: default loopback address is IPv4 (%s)\n", kFn,
                 NiAddrToStr2(&loop, text, NI_NODEADDR_STR_LEN, 0));
      loop = NI_NODEADDR{};
      loop.addr[15] = 1;
    }
    *pNodeAddr = loop;
    DPTRC_LINE(2, trc, u"%s: hostname 'NULL' = addr %s\n", kFn,
               NiAddrToStr2(pNodeAddr, text, NI_NODEADDR_STR_LEN, 0));
    return WEQ_O_K;
  }
  bool addressText = pHostName[0] >= u'0' && pHostName[0] <= u'9';
  for (const WEQ_UC* p = pHostName; !addressText && *p != 0; ++p) addressText = *p == u':';
  if (addressText) {
    NI_NODEADDR a;
    if (NiStrToAddr(&a, pHostName) == WEQ_O_K) {
      bool mapped = NiIIsMapped(a);
      if (protocol == NI_PROTO_FAM_IPv4 && !mapped) {
        return NiIErrTrace(kHsModule, __LINE__, 1, u"%s: invalid IPv4 address passed (%s)", NIEINVAL, kFn,
                           pHostName);
      }
      if (protocol == NI_PROTO_FAM_IPv6 && mapped) {
        return NiIErrTrace(kHsModule, __LINE__, 1, u"%s: invalid IPv6 address passed (%s)", NIEINVAL, kFn,
                           pHostName);
      }
      if (!mapped && !NiIIPv6Active()) {
        return NiIErrTrace(kHsModule, __LINE__, 1, u"%s: invalid address passed (%s) IPv6 not active", NIEINVAL,
                           kFn, pHostName);
      }
      *pNodeAddr = a;
      return WEQ_O_K;
    }
    ErrClear();
  }
  if (!caches) return NIEHOST_UNKNOWN;
  rc = NiIHostCache()->GetNodeAddr(pHostName, pNodeAddr, mode, protocol, trc);
  if (rc != WEQ_O_K) return rc;
  bool mapped = NiIIsMapped(*pNodeAddr);
  if (protocol == NI_PROTO_FAM_IPv4 && !mapped) {
    return NiIErrInfo(kHsModule, __LINE__, u"%s: only IPv6 addresses available", NIEHOST_UNKNOWN, kFn,
                      pHostName);
  }
  if (protocol == NI_PROTO_FAM_IPv6 && mapped) {
    return NiIErrInfo(kHsModule, __LINE__, u"%s: only IPv4 addresses available", NIEHOST_UNKNOWN, kFn,
                      pHostName);
  }
  DPTRC_LINE(2, trc, u"%s: hostname '%s' = addr %s\n", kFn, pHostName,
             NiAddrToStr2(pNodeAddr, text, NI_NODEADDR_STR_LEN, 0));
  return WEQ_O_K;
}

NI_RC NiIGetHostName(const NI_NODEADDR* pNodeAddr, WEQ_UC* pHostName, int bufferLen, uint8_t fq, int mode,
                     CTRC_HDL trc) {
  static constexpr const WEQ_UC* kFn = u"NiIGetHostName";
  if (pHostName == nullptr) return NullParam(kFn, u"pHostName", __LINE__);
  if (bufferLen <= 0) {
    return NiIErrTrace(kHsModule, __LINE__, 1, u"%s: buffer too small (%d<=%d)", NIETOO_SMALL, kFn, bufferLen,
                       0);
  }
  pHostName[0] = 0;
  NI_RC rc = WEQ_O_K;
  bool caches = EnsureCaches(kFn, mode, &rc);
  if (rc != WEQ_O_K) return rc;
  const WEQ_UC* fqText = fq == 1 ? u" (fq)" : u"";
  WEQ_UC text[NI_NODEADDR_STR_LEN];
  if (pNodeAddr == nullptr || IsUnspecified(*pNodeAddr)) {
    const WEQ_UC* name = u"localhost";
    if (pNodeAddr != nullptr) name = NiAddrToStr2(pNodeAddr, text, NI_NODEADDR_STR_LEN, 0);
    rc = CopyName(kFn, name, pHostName, bufferLen, __LINE__);
    if (rc != WEQ_O_K) return rc;
    if (pNodeAddr == nullptr) {
      DPTRC_LINE(2, trc, u"%s: addr NULL = hostname '%s'%s\n", kFn, pHostName, fqText);
    } else {
      DPTRC_LINE(2, trc, u"%s: addr %s = hostname '%s'%s\n", kFn, +text, pHostName, fqText);
    }
    return WEQ_O_K;
  }
  rc = caches ? NiIHostCache()->GetHostName(pNodeAddr, pHostName, bufferLen, fq, mode, trc)
              : NIEHOST_UNKNOWN;
  if (rc != WEQ_O_K) {
    if (NiAddrToStr(pNodeAddr, text, NI_NODEADDR_STR_LEN, 0) == WEQ_O_K) {
      strncpy_sU16(pHostName, static_cast<size_t>(bufferLen), text, NI_NODEADDR_STR_LEN);
    }
    return rc;
  }
  DPTRC_LINE(2, trc, u"%s: addr %s = hostname '%s'%s\n", kFn,
             NiAddrToStr2(pNodeAddr, text, NI_NODEADDR_STR_LEN, 0), pHostName, fqText);
  return WEQ_O_K;
}

NI_RC NiIGetServNo(const WEQ_UC* pServName, uint16_t* pServNo, int mode, CTRC_HDL trc) {
  static constexpr const WEQ_UC* kFn = u"NiIGetServNo";
  if (pServNo == nullptr) return NullParam(kFn, u"pServNo", __LINE__);
  *pServNo = 0;
  if (pServName == nullptr) return NullParam(kFn, u"pServName", __LINE__);
  NI_RC rc = WEQ_O_K;
  bool caches = EnsureCaches(kFn, mode, &rc);
  if (rc != WEQ_O_K) return rc;
  bool numeric = false;
  if (pServName[0] >= u'0' && pServName[0] <= u'9') {
    uint32_t v = 0;
    const WEQ_UC* p = pServName;
    while (*p >= u'0' && *p <= u'9' && v < 65536) v = v * 10 + static_cast<uint32_t>(*p++ - u'0');
    if (*p == 0 && v < 65536) {
      *pServNo = htons(static_cast<uint16_t>(v));
      numeric = true;
    }
  }
  if (!numeric) {
    if (!caches) return NIESERV_UNKNOWN;
    rc = NiIServCache()->GetServNo(pServName, pServNo, mode, trc);
    if (rc != WEQ_O_K) return rc;
  }
  if (DPTRC_ON(2)) {
    WEQ_UC port[NI_SERVNO_STR_LEN];
    NiServToStr(ntohs(*pServNo), port, NI_SERVNO_STR_LEN);
    DPTRC_LINE(2, trc, u"%s: servicename '%s' = port %s\n", kFn, pServName, +port);
  }
  return WEQ_O_K;
}

NI_RC NiIGetServName(uint16_t servNo, WEQ_UC* pServName, int bufferLen, int mode, CTRC_HDL trc) {
  static constexpr const WEQ_UC* kFn = u"NiIGetServName";
  if (pServName == nullptr) return NullParam(kFn, u"pServName", __LINE__);
  if (bufferLen <= 0) {
    return NiIErrTrace(kHsModule, __LINE__, 1, u"%s: buffer too small (%d<=%d)", NIETOO_SMALL, kFn, bufferLen,
                       0);
  }
  pServName[0] = 0;
  NI_RC rc = WEQ_O_K;
  bool caches = EnsureCaches(kFn, mode, &rc);
  if (rc != WEQ_O_K) return rc;
  rc = caches ? NiIServCache()->GetServName(servNo, pServName, bufferLen, mode, trc) : NIESERV_UNKNOWN;
  if (rc != WEQ_O_K) {
    snprintfTruncU16(pServName, static_cast<size_t>(bufferLen), u"%d", static_cast<int>(ntohs(servNo)));
    return rc;
  }
  if (DPTRC_ON(2)) {
    WEQ_UC port[NI_SERVNO_STR_LEN];
    NiServToStr(ntohs(servNo), port, NI_SERVNO_STR_LEN);
    DPTRC_LINE(2, trc, u"%s: port %s = servicename '%s'\n", kFn, +port, pServName);
  }
  return WEQ_O_K;
}

// --- Tuning ------------------------------------------------------------------------------

NI_RC NiISetHSBufIndexSize(uint32_t capacity) {
  static constexpr const WEQ_UC* kFn = u"NiISetHSBufIndexSize";
  NIHIMPL* host = NiIHostCache();
  NISIMPL* serv = NiIServCache();
  if (host == nullptr || serv == nullptr) return NotInit(kFn, __LINE__);
  NI_RC rcServ = serv->SetIndexSize(capacity);
  NI_RC rcHost = host->SetIndexSize(capacity);
  return rcServ != WEQ_O_K ? rcServ : rcHost;
}

NI_RC NiHsetHostBufTimeout(NIHIMPL* cache, int32_t seconds, uint32_t flags) {
  if (cache == nullptr || seconds < 0 || static_cast<uint32_t>(seconds) > kDayS || (flags & ~7u) != 0) {
    return NIEINVAL;
  }
  return cache->SetTimes(static_cast<uint32_t>(seconds), flags);
}

NI_RC NiISetHBufTimeout(int32_t seconds, uint32_t flags) {
  NIHIMPL* host = NiIHostCache();
  if (host == nullptr) return NotInit(u"NiISetHBufTimeout", __LINE__);
  return NiHsetHostBufTimeout(host, seconds, flags);
}

NI_RC NiISetHostInvalid(const WEQ_UC* pHostName, CTRC_HDL trc) {
  NIHIMPL* host = NiIHostCache();
  if (host == nullptr) return NotInit(u"NiISetHostInvalid", __LINE__);
  if (pHostName == nullptr) {
    return NiIErrTrace(kHsModule, __LINE__, 1, u"%s: parameter invalid (%s == NULL)", NIEINVAL,
                       u"NiISetHostInvalid", u"pHostName");
  }
  return host->SetHostInvalid(pHostName, trc);
}

NI_RC NiISetHSBufTraceLimit(uint32_t ms) {
  NIHIMPL* host = NiIHostCache();
  if (host == nullptr) return NotInit(u"NiISetHSBufTraceLimit", __LINE__);
  host->SetTraceLimit(ms);
  // The service cache times its resolver calls the same way.
  if (NISIMPL* serv = NiIServCache()) serv->SetTraceLimit(ms);
  return WEQ_O_K;
}

NI_RC NiISetHSBufTimeFunc(NI_HS_TIME_FUNC fn) {
  NIHIMPL* host = NiIHostCache();
  NISIMPL* serv = NiIServCache();
  if (host == nullptr || serv == nullptr) return NotInit(u"NiISetHSBufTimeFunc", __LINE__);
  NI_RC rcServ = serv->SetTimeFunc(fn);
  NI_RC rcHost = host->SetTimeFunc(fn);
  return rcServ != WEQ_O_K ? rcServ : rcHost;
}

NI_RC NiIHSBufFlush(void) {
  NIHIMPL* host = NiIHostCache();
  NISIMPL* serv = NiIServCache();
  if (host == nullptr || serv == nullptr) return NotInit(u"NiIHSBufFlush", __LINE__);
  NI_RC rcHost = host->Flush();
  NI_RC rcServ = serv->Flush();
  return rcServ != WEQ_O_K ? rcServ : rcHost;
}

NI_RC NiHBufPrintBuf(WEQ_UC* pBuffer, int* pBufferLen, int* pDone) {
  static constexpr const WEQ_UC* kFn = u"NiHBufPrintBuf";
  if (pBuffer == nullptr) {
    return NiIErrTrace(kHsModule, __LINE__, 1, u"%s: parameter invalid (pBuffer == NULL)", NIEINVAL, kFn);
  }
  if (pBufferLen == nullptr) {
    return NiIErrTrace(kHsModule, __LINE__, 1, u"%s: parameter invalid (pBufferLen == NULL)", NIEINVAL, kFn);
  }
  if (pDone == nullptr) {
    return NiIErrTrace(kHsModule, __LINE__, 1, u"%s: parameter invalid (pDone == NULL)", NIEINVAL, kFn);
  }
  if (*pBufferLen < 0) {
    return NiIErrTrace(kHsModule, __LINE__, 1, u"%s: parameter invalid (*pBufferLen < 0)", NIEINVAL, kFn);
  }
  *pDone = 0;
  NIHIMPL* host = NiIHostCache();
  NISIMPL* serv = NiIServCache();
  if (host == nullptr || serv == nullptr) return NotInit(kFn, __LINE__);
  int size = *pBufferLen;
  int used = 0;
  if (size > 0) pBuffer[0] = 0;
  const WEQ_UC* header = NiIIPv6Active()
                             ? u"---------------------------------------------------------------------\n"
                               u"#   status  t address IPv4/IPv6                       hostname\n"
                               u"---------------------------------------------------------------------\n"
                             : u"---------------------------------------------\n"
                               u"#   status  t address IPv4    hostname\n"
                               u"---------------------------------------------\n";
  host->Lock();
  if (!Append(pBuffer, size, &used, header)) {
    host->Unlock();
    *pBufferLen = 0;
    return WEQ_O_K;
  }
  bool fitted = true;
  NI_RC rc = DumpLines(host, u"dumpHostLine", pBuffer, size, &used, &fitted);
  host->Unlock();
  if (rc != WEQ_O_K) return rc;
  if (!fitted) {
    *pBufferLen = used;
    return WEQ_O_K;
  }
  serv->Lock();
  if (!Append(pBuffer, size, &used,
              u"\n---------------------------------------\n"
              u"#   status  port        service\n"
              u"---------------------------------------\n")) {
    serv->Unlock();
    *pBufferLen = used;
    return WEQ_O_K;
  }
  rc = DumpLines(serv, u"dumpServLine", pBuffer, size, &used, &fitted);
  serv->Unlock();
  if (rc != WEQ_O_K) return rc;
  *pBufferLen = used;
  if (fitted) *pDone = 1;
  return WEQ_O_K;
}
