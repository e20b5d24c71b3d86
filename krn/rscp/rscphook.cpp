// The converter's hook table with its defaults, the two line outputs, the
// 'CCC' mutex, and the test seams behind slots 1, 8, 18, 19 and 31.
#include <assert.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <shared_mutex>

#include "i18n/wequ16/u16fmt.h"
#include "i18n/wequ16/u16str.h"
#include "krn/perf/pfclock.h"
#include "krn/rscp/rscp_int.h"
#include "krn/thr/thr.h"

namespace {

constexpr const WEQ_UC* kHookModule = u" $Id: krn/rscp/rscphook.cpp $";

// --- Test seams ------------------------------------------------------------------------------

std::atomic<int (*)(uint32_t)> gSleep{nullptr};
// The locale code page that slot 23 answers in tests (no terminator);
// unset: "0000" with RSCPENOOBJ.
std::atomic<bool> gLocaleCpSet{false};
WEQ_UC gLocaleCp[4];
std::atomic<int> gFailAllocs{0}, gFailCacheAllocs{0};

// Parameters answered by slots 18 and 19; empty outside tests. The flag
// spares the lock on every lookup while there are none.
std::atomic<bool> gHaveParams{false};
std::shared_mutex gParamsLock;  // guards gParams; leaf lock
std::map<std::u16string, rscphTestParam> gParams;

bool TakeFailure(std::atomic<int>& left) {
  int n = left.load(std::memory_order_relaxed);
  while (n > 0 && !left.compare_exchange_weak(n, n - 1, std::memory_order_relaxed)) {
  }
  return n > 0;
}

// --- The 'CCC' mutex -----------------------------------------------------------------------

// Created once by slot 25 (or the first lock); guards the converter cache.
// gCccMaking serialises the creation only.
ThrMtx gCcc;
std::atomic<bool> gCccMade{false};
std::mutex gCccMaking;
// Holder's thread id, 0 while free: lets debug builds catch a second lock on
// one thread, which the recursive ThrMtx would otherwise allow.
std::atomic<ThrId> gCccOwner{0};

rscpRc_t MakeCcc(int location) {
  if (gCccMade.load(std::memory_order_acquire)) return 0;
  std::lock_guard<std::mutex> hold(gCccMaking);
  if (gCccMade.load(std::memory_order_relaxed)) return 0;
  if (ThrRc trc = ThrMtxInit(&gCcc, u"rscpmc")) {
    return rscpe__error(RSCPEINTERN, u'C', -1, kHookModule, location, __LINE__,
                        u"char code converter cannot init mutex (ThrMtxInit)", u"F5I",
                        ThrErrTxt(trc), -1, nullptr, 0);
  }
  gCccMade.store(true, std::memory_order_release);
  return 0;
}

rscpRc_t LockCcc(int location) {
  if (rscpRc_t rc = MakeCcc(location)) return rc;
  assert(gCccOwner.load(std::memory_order_relaxed) != ThrCurrentId() &&
         "the 'CCC' mutex is locked twice on one thread");
  if (ThrRc trc = ThrMtxLock(&gCcc)) {
    return rscpe__error(RSCPEINTERN, u'C', -1, kHookModule, location, __LINE__,
                        u"char code converter cannot get mutex (ThrMtxLock)", u"F28",
                        ThrErrTxt(trc), -1, nullptr, 0);
  }
  gCccOwner.store(ThrCurrentId(), std::memory_order_relaxed);
  return 0;
}

rscpRc_t UnlockCcc(int location) {
  ThrRc trc = THR_ERR_NOT_INIT;
  if (gCccMade.load(std::memory_order_acquire)) {
    ThrId self = ThrCurrentId();
    bool held = gCccOwner.load(std::memory_order_relaxed) == self;
    if (held) gCccOwner.store(0, std::memory_order_relaxed);
    trc = ThrMtxUnlock(&gCcc);
    if (trc != 0 && held) gCccOwner.store(self, std::memory_order_relaxed);
  } else if (!ThrIsInit()) {
    trc = 0;  // the thread library's locks do nothing yet
  }
  if (trc != 0) {
    return rscpe__error(RSCPEINTERN, u'C', -1, kHookModule, location, __LINE__,
                        u"char code converter cannot release mutex (ThrMtxUnlock)", u"F29",
                        ThrErrTxt(trc), -1, nullptr, 0);
  }
  return 0;
}

// --- Slot defaults ---------------------------------------------------------------------------

void* Alloc(const WEQ_UC*, int, int, size_t size, int fill) {
  if (TakeFailure(gFailAllocs)) return nullptr;
  void* p = malloc(size);
  if (p != nullptr && fill != RSCPH_NO_FILL) memset(p, fill, size);
  return p;
}

int Free(const WEQ_UC*, void* block, int tag) {
  if (tag != RSCPH_FREE_TAG) return -1;
  free(block);
  return 0;
}

bool WarningCode(const WEQ_UC* code) {
  static constexpr const WEQ_UC* kQuiet[] = {u"CPS", u"CPT", u"E10", u"E12"};
  return std::any_of(std::begin(kQuiet), std::end(kQuiet),
                     [code](const WEQ_UC* q) { return memcmp(q, code, 3 * sizeof(WEQ_UC)) == 0; });
}

void Syslog(WEQ_UC type, const WEQ_UC* code, const WEQ_UC* data) {
  WEQ_UC line[80];
  WEQ_UC* p = line;
  auto put = [&p](const WEQ_UC* s, size_t n) {
    for (size_t i = 0; i < n; ++i) *p++ = s ? s[i] : u' ';
  };
  put(u"Syslog: ", 8);
  *p++ = type;
  *p++ = u' ';
  put(code, 3);
  put(u" : ", 3);
  put(data, 64);
  if (code != nullptr && WarningCode(code)) {
    rscph_WarningOutput(line, 80);
  } else {
    rscph_ErrorOutput(line, 80);
  }
}

void SyslogText(const WEQ_UC* text, int length) {
  if (text == nullptr) return;
  WEQ_UC line[8 + 192];
  memcpy(line, u"Syslog: ", 8 * sizeof(WEQ_UC));
  size_t n = length < 0 ? strnlenU16(text, 192) : std::min(length, 192);
  memcpy(line + 8, text, n * sizeof(WEQ_UC));
  rscph_ErrorOutput(line, static_cast<int>(8 + n));
}

void SyslogParams(int count, const rscpSyslogParam_t* params) {
  for (int i = 0; params != nullptr && i < count; ++i) {
    const WEQ_UC* t = params[i].text ? params[i].text : u"";
    int n = params[i].length < 0 ? static_cast<int>(strnlenU16(t, 188)) : std::min(params[i].length, 188);
    WEQ_UC line[220];
    int len = snprintfTruncU16(line, std::size(line), u"Syslog: p%d: %.*s", i + 1, n, t);
    rscph_ErrorOutput(line, std::clamp(len, 0, static_cast<int>(std::size(line)) - 1));
  }
}

void TimeStamp(WEQ_UC* stamp) {
  time_t now = time(nullptr);
  struct tm tm;
  WEQ_UC buf[17];
  if (ThrLocaltime(&now, &tm) == nullptr ||
      snprintfU16(buf, std::size(buf), u"%04d%02d%02d%02d%02d%02d00", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec) != 16) {
    std::fill(buf, buf + 16, u'0');
  }
  memcpy(stamp, buf, 16 * sizeof(WEQ_UC));
}

constexpr uint8_t kOptionBytes[8] = {};

int Sleep(uint32_t seconds) {
  if (int (*fn)(uint32_t) = gSleep.load(std::memory_order_acquire)) return fn(seconds);
  return NT_SleepSec(seconds);
}

int TraceActive() { return 0; }
void DebugStop() {}
void Trace(const WEQ_UC*, int) {}
void FuncEnter(const WEQ_UC*, int, int, int, void*) {}
void FuncExit(int, int, int, void*) {}
void LabelBegin(const WEQ_UC*, void*) {}
void LabelEnd(void*) {}

// A process-wide locale change would change the locale of the JVM that
// hosts the library, and nothing of the converter asks for one.
const WEQ_UC* SetLocale(int, const WEQ_UC*) { return nullptr; }

void AbortProcess(int, const WEQ_UC*, int, int, int, const WEQ_UC*, int, const WEQ_UC*, int) {
  abort();
}

const WEQ_UC* Param(const WEQ_UC* name) {
  if (!gHaveParams.load(std::memory_order_acquire) || name == nullptr) return nullptr;
  std::shared_lock<std::shared_mutex> hold(gParamsLock);
  auto it = gParams.find(name);
  return it == gParams.end() || !it->second.value ? nullptr : it->second.value->c_str();
}

int ParamDetail(const WEQ_UC* name, const WEQ_UC** value, const WEQ_UC** dflt) {
  if (value != nullptr) *value = nullptr;
  if (dflt != nullptr) *dflt = nullptr;
  if (!gHaveParams.load(std::memory_order_acquire) || name == nullptr) return 0;
  std::shared_lock<std::shared_mutex> hold(gParamsLock);
  auto it = gParams.find(name);
  if (it != gParams.end()) {
    if (value != nullptr && it->second.value) *value = it->second.value->c_str();
    if (dflt != nullptr && it->second.dflt) *dflt = it->second.dflt->c_str();
  }
  return 0;
}

rscpRc_t SemaStep1(int) { return 0; }
rscpRc_t WritePermission(int) { return 0; }

}  // namespace

bool rscphICccHeld(void) {
  return gCccMade.load(std::memory_order_acquire) && gCccOwner.load(std::memory_order_relaxed) == ThrCurrentId();
}


// --- Line outputs ------------------------------------------------------------------------------

void rscph_ErrorOutput(const WEQ_UC* text, int length) {
  if (text == nullptr) text = u"";
  fprintfU16(stderr, u"%*.*s\n", length, length, text);
}

void rscph_WarningOutput(const WEQ_UC*, int) {}

// --- Named defaults -------------------------------------------------------------------------

rscpRc_t rscph_GetDefaultCodePage(rscpCp_t* cp) {
  if (cp != nullptr) memcpy(*cp, rscpHooks.defaultCp, sizeof(rscpCp_t));
  return RSCPENOOBJ;
}

rscpRc_t rscph_GetKeyChar(WEQ_UC* key) {
  if (key != nullptr) *key = u'E';
  return RSCPENOOBJ;
}

rscpRc_t rscph_GetUnsetCodePage(rscpCp_t* cp) {
  if (gLocaleCpSet.load(std::memory_order_acquire)) {
    if (cp != nullptr) memcpy(*cp, gLocaleCp, sizeof(rscpCp_t));
    return 0;
  }
  if (cp != nullptr) memcpy(*cp, u"0000", sizeof(rscpCp_t));
  return RSCPENOOBJ;
}

rscpRc_t rscph_DescrSemaphore(const WEQ_UC* holder, int location, rscpPrintLine_t out,
                              void* outArg, int detail, uint8_t* notInit) {
  WEQ_UC line[101];
  int n;
  if (holder != nullptr && location >= 1) {
    n = snprintfTruncU16(line, std::size(line), u"ThrMtx'CCC' by %.40s at %d", holder, location);
  } else if (location >= 1) {
    n = snprintfTruncU16(line, std::size(line), u"ThrMtx'CCC' caller at %d", location);
  } else if (holder != nullptr) {
    n = snprintfTruncU16(line, std::size(line), u"ThrMtx'CCC' by %.56s", holder);
  } else {
    n = snprintfTruncU16(line, std::size(line), u"ThrMtx'CCC': rscph_DescrSemaphore was called");
  }
  auto emit = [&](const WEQ_UC* text, int len) {
    if (out != nullptr) out(text, std::clamp(len, 0, 100), outArg);
  };
  emit(line, n);
  const bool off = ThrIsInit() == 0;
  if (off) emit(u"Thread library is *not* initialized.", 36);
  if (notInit != nullptr) *notInit = off ? 1 : 0;
  if (detail >= 3) {
    WEQ_UC id[THR_ID_STR_LEN];
    n = snprintfTruncU16(line, std::size(line), u"This is thread '%s'", ThrIIdToStr(id, ThrCurrentId()));
    emit(line, n);
  }
  return 0;
}

rscpRc_t rscph_AllocateCCCC(void** cache, uint8_t* shared, uint8_t* attached,
                            const WEQ_UC** method, size_t size, int location) {
  if (cache != nullptr) *cache = nullptr;
  if (shared != nullptr) *shared = 0;
  if (attached != nullptr) *attached = 0;
  if (method != nullptr) *method = u"malloc";
  void* p = TakeFailure(gFailCacheAllocs) ? nullptr : malloc(size);
  if (p == nullptr) {
    return rscpe__error(RSCPEINTERN, u'C', -1, kHookModule, location, __LINE__,
                        u"cannot malloc for char code convert cache", u"F33", nullptr, 0,
                        nullptr, 0);
  }
  if (cache != nullptr) {
    *cache = p;
  } else {
    free(p);
  }
  return 0;
}

rscpRc_t rscph_ReleaseCCCC(void* cache, int, uint8_t* released) {
  free(cache);
  if (released != nullptr) *released = 1;
  return 0;
}

int WaitBeforeClearing(uint32_t seconds) {
  WEQ_UC line[38];
  rscpHooks.timeStamp(line);
  memcpy(line + 16, u" WaitBeforeClearing...", 22 * sizeof(WEQ_UC));
  rscph_ErrorOutput(line, 38);
  int rc = rscpHooks.sleep(seconds);
  rscpHooks.timeStamp(line);
  memcpy(line + 16, u" ...Clearing CCCC now.", 22 * sizeof(WEQ_UC));
  rscph_ErrorOutput(line, 38);
  return rc;
}

namespace {
// A load step that only traces: enter and exit through the function hooks
// when the option bytes switch the function trace on.
rscpRc_t TraceOnlyStep(const WEQ_UC* name) {
  char frame = 0;
  if (rscpHooks.optionBytes[1] != 0) {
    rscpHooks.funcEnter(name, -1, 0, 0, &frame);
    rscpHooks.funcExit(0, 0, 0, &frame);
  }
  return 0;
}
}  // namespace

rscpRc_t rscpli__load_init(int) { return TraceOnlyStep(u"rscpli__load_init"); }
rscpRc_t rscpli__load_finish(int) { return TraceOnlyStep(u"rscpli__load_finish"); }

int rscpCompareSegKey(const void* a, const void* b) {
  uint32_t wa, wb;
  memcpy(&wa, static_cast<const unsigned char*>(a) + 8, sizeof wa);
  memcpy(&wb, static_cast<const unsigned char*>(b) + 8, sizeof wb);
  return static_cast<int>(wa & 0x7F) - static_cast<int>(wb & 0x7F);
}

const rscpHooks_t rscpHooks = {
    Alloc,
    Free,
    Syslog,
    SyslogText,
    SyslogParams,
    TimeStamp,
    kOptionBytes,
    Sleep,
    TraceActive,
    DebugStop,
    Trace,
    FuncEnter,
    FuncExit,
    LabelBegin,
    LabelEnd,
    SetLocale,
    AbortProcess,
    Param,
    ParamDetail,
    u"4103",
    rscph_GetDefaultCodePage,
    rscph_GetKeyChar,
    rscph_GetUnsetCodePage,
    SemaStep1,
    MakeCcc,
    LockCcc,
    UnlockCcc,
    rscph_DescrSemaphore,
    WritePermission,
    WritePermission,
    rscph_AllocateCCCC,
    rscph_ReleaseCCCC,
    WaitBeforeClearing,
};

// Every slot is one pointer: the table has its 33 slots and no more.
static_assert(sizeof(rscpHooks_t) == 33 * sizeof(void*));

// --- Seams and reset ------------------------------------------------------------------------

void rscphTestSetParams(const std::map<std::u16string, rscphTestParam>& params) {
  std::unique_lock<std::shared_mutex> hold(gParamsLock);
  gParams = params;
  gHaveParams.store(!gParams.empty(), std::memory_order_release);
}

void rscphTestSetSleep(int (*sleep)(uint32_t)) { gSleep.store(sleep, std::memory_order_release); }

void rscphTestFailAllocs(int count, bool cache) {
  (cache ? gFailCacheAllocs : gFailAllocs).store(count, std::memory_order_relaxed);
}

void rscphTestSetLocaleCp(const WEQ_UC* cp) {
  if (cp == nullptr) {
    gLocaleCpSet.store(false, std::memory_order_release);
    return;
  }
  memcpy(gLocaleCp, cp, sizeof(gLocaleCp));
  gLocaleCpSet.store(true, std::memory_order_release);
}

void rscphIReset() {
  rscphTestSetParams({});
  rscphTestSetLocaleCp(nullptr);
  rscphTestSetSleep(nullptr);
  rscphTestFailAllocs(0, false);
  rscphTestFailAllocs(0, true);
  gCccOwner.store(0, std::memory_order_relaxed);
  if (gCccMade.exchange(false, std::memory_order_acq_rel)) ThrMtxDelete(&gCcc);
}

void rscpResetProcess() {
  rscppinIReset();
  rscpmcIReset();
  rscphIReset();
  rscpeIReset();
  rscpIResetCtx();
  rscpccIReset();
  rscpldIReset();
  rscpcIReset();
}
