// The converter's control: start, impromptu start, finish, the rebuild of an
// invalidated cache, the diagnostic switches, the check after a start, the
// private-use parameters and the database code page list.
//
// Starts and finishes are serialised by a process lock that needs no
// initialisation (two threads that start from state 0 build one cache). The
// rebuild runs under the 'CCC' mutex and builds a new generation in a fresh
// block while conversions keep reading the old one (rscpmc_int.h).
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <iterator>
#include <string>

#include "i18n/wequ16/u16fmt.h"
#include "i18n/wequ16/u16str.h"
#include "krn/ntport/ntport.h"
#include "krn/rscp/rscp_int.h"
#include "krn/rscp/rscpdat.h"
#include "krn/rscp/rscpld_int.h"
#include "krn/rscp/rscpmc_int.h"
#include "krn/thr/thr.h"

namespace {

constexpr const WEQ_UC* kMcModule = u" $Id: krn/rscp/rscpmc.cpp $";

constinit ThrRecMtx gMcStartLock = {0, -1, PTHREAD_MUTEX_INITIALIZER, nullptr};

std::atomic<uint8_t> gMcReleased{0};
std::atomic<int32_t> gMcNesting{0};
std::atomic<uint32_t> gMcDdSeen{0};
// The reorg_version that rscpGetDBCodePages saw last; -1 none.
std::atomic<int64_t> gMcDbSeen{-1};

// Test seam: builds that end with an injected rc.
std::atomic<int> gMcFailBuilds{0};
std::atomic<rscpRc_t> gMcFailRc{0};

constexpr uint32_t kMcPuaDefaults[4] = {0xF8FC, 0xF8FD, 0xF8FE, 0xF8FF};
std::atomic<uint32_t> gMcPua[4] = {0xF8FC, 0xF8FD, 0xF8FE, 0xF8FF};
std::atomic<uint32_t> gMcIconUtf8{0xEFA3BD};

rscpRc_t McReport(int rc, int location, int line, const WEQ_UC* text, const WEQ_UC* code,
                  const WEQ_UC* param1, const WEQ_UC* param2 = nullptr, int mask = -1) {
  return rscpIReport(kMcModule, rc, location, line, text, code, param1, param2, mask);
}

class StartGuard {
 public:
  StartGuard() { ThrRecMtxLock(&gMcStartLock); }
  ~StartGuard() { ThrRecMtxUnlock(&gMcStartLock); }
  StartGuard(const StartGuard&) = delete;
  StartGuard& operator=(const StartGuard&) = delete;
};

template <class... A>
void McErr(const WEQ_UC* fmt, A... a) {
  WEQ_UC line[200];
  int n = snprintfTruncU16(line, std::size(line), fmt, a...);
  rscph_ErrorOutput(line, std::clamp(n, 0, static_cast<int>(std::size(line)) - 1));
}
template <class... A>
void McWarn(const WEQ_UC* fmt, A... a) {
  WEQ_UC line[200];
  int n = snprintfTruncU16(line, std::size(line), fmt, a...);
  rscph_WarningOutput(line, std::clamp(n, 0, static_cast<int>(std::size(line)) - 1));
}

// A system log entry whose 64 units of data are formatted and blank-padded.
template <class... A>
void McSyslog(WEQ_UC type, const WEQ_UC* code, const WEQ_UC* fmt, A... a) {
  WEQ_UC data[65];
  int n = std::clamp(snprintfTruncU16(data, std::size(data), fmt, a...), 0, 64);
  std::fill(data + n, data + 64, u' ');
  rscpHooks.syslog(type, code, data);
}

rscpRc_t McBuild(long size, long c07, uint32_t codeMax, const WEQ_UC* method, int mask) {
  rscpRc_t rc = rscpBuildCache(size, c07, codeMax, method, mask);
  if (rc == 0 && gMcFailBuilds.load(std::memory_order_relaxed) > 0) {
    gMcFailBuilds.fetch_sub(1, std::memory_order_relaxed);
    rc = gMcFailRc.load(std::memory_order_relaxed);
  }
  return rc;
}

WEQ_UC Flag(uint8_t v) { return v != 0 ? u'T' : u'f'; }

// A decimal parameter or environment variable, when one is set.
bool DecimalParamOrEnv(const WEQ_UC* param, const char* env, long* value) {
  if (const WEQ_UC* v = rscpHooks.param(param); v != nullptr && v[0] != 0) {
    *value = strtolU(v, nullptr, 10);
    return true;
  }
  if (const char* e = env != nullptr ? getenv(env) : nullptr; e != nullptr && e[0] != 0) {
    *value = strtol(e, nullptr, 10);
    return true;
  }
  return false;
}

void ReadOnError() {
  long v = 0;
  if (DecimalParamOrEnv(u"rscp/on_error", "RSCP_ON_ERROR", &v)) rscpso_set_option(6, v);
}

void SwitchedBack(int number) {
  rscpCCC_t* c = rscpGetCache();
  McErr(u"Code page converter switched back to initialized state. CCC.reorg_done=%c.",
        Flag(c != nullptr ? c->reorg_done : 0));
  McSyslog(u' ', u"CQE", u"%-53.53s%-8.8s%d", u"CCC in initialized state.", u"rscpmc", number);
}

void ReadPuaParams() {
  static constexpr struct {
    const WEQ_UC* name;
    int which;
  } kOrder[] = {{u"rscp/pua/icon2intro", RSCP_PUA_ICON2},
                {u"rscp/pua/printcontrol5intro", RSCP_PUA_PRINT5},
                {u"rscp/pua/DBC_replacement", RSCP_PUA_DBC_REPL},
                {u"rscp/pua/frame1intro", RSCP_PUA_FRAME1}};
  for (const auto& p : kOrder) {
    uint32_t v = kMcPuaDefaults[p.which];
    rscpReadPuaParam(p.name, &v);
    gMcPua[p.which].store(v, std::memory_order_relaxed);
  }
  const uint32_t icon = gMcPua[RSCP_PUA_ICON2].load(std::memory_order_relaxed);
  WEQ_RAW utf8[3];
  WEQ_UC src[1] = {static_cast<WEQ_UC>(icon)};
  const WEQ_UC* s = src;
  WEQ_RAW* d = utf8;
  if (rscpu_U6_to_U8(&s, src + 1, &d, utf8 + 3) == 0 && d == utf8 + 3) {
    gMcIconUtf8.store(uint32_t{utf8[0]} << 16 | uint32_t{utf8[1]} << 8 | utf8[2], std::memory_order_relaxed);
  }
  rscpSetIconIntroducer(static_cast<WEQ_UC>(icon));
}

bool OldSizesUsable(const rscpCCC_t& s) {
  if (s.length < RSCP_CACHESIZE_MIN || s.length > RSCP_CACHESIZE_MAX) return false;
  const uint32_t c07 = s.cache07 == 0 || s.cache07 >= s.length / 2 ? s.length - s.end_t2 : s.cache07;
  if (c07 < RSCP_CACHE07_MIN || c07 > s.length / 2) return false;
  if (s.max_weq_code < RSCP_WEQCODE_FLOOR || s.max_enhanced_uchar < 1200000) return false;
  if (memcmp(s.eyeCatcher, u">>RSCPCCC<<", 11 * sizeof(WEQ_UC)) != 0) return false;
  return s.version != RSCP_CCC_VERSION_HALF && s.version != RSCP_CCC_VERSION_3Q;
}

void AddCounters(uint32_t* into, const uint32_t* from, int n) {
  for (int i = 0; i < n; ++i) into[i] += from[i];
}

void CarryOverOld(rscpCCC_t* c, const rscpCCC_t& s) {
  c->kind = s.kind;
  memcpy(c->createdate, s.createdate, sizeof c->createdate);
  c->pidCreate = s.pidCreate;
  c->ppidCreate = s.ppidCreate;
  c->reorg_version = s.reorg_version;
  c->pidReorg = s.pidReorg;
  c->ppidReorg = s.ppidReorg;
  c->pidInval = s.pidInval;
  c->ppidInval = s.ppidInval;
  c->noof_reorgs = s.noof_reorgs;
  c->attaches = s.attaches;
  c->lookups = s.lookups;
  c->createObject = s.createObject;
  c->bytesIn = s.bytesIn;
  c->bytesOut = s.bytesOut;
  c->fillSpace = s.fillSpace;
  c->fillBytes = s.fillBytes;
  c->truncBytes = s.truncBytes;
  c->max_weq_code = s.max_weq_code;
  c->max_enhanced_uchar = s.max_enhanced_uchar;
  c->mbc_in_sbcs = s.mbc_in_sbcs;
  c->mbc_copy = s.mbc_copy;
  AddCounters(c->clones, s.clones, RSCP_CLONE_COUNTERS);
}

// What every rebuild keeps besides: options 16 and 17, the legacy code page,
// and the reason and diagnostic options that the option reader and the
// rebuild's own edge cases read afterwards.
void CarryOverAlways(rscpCCC_t* c, const rscpCCC_t& s) {
  c->option16 = s.option16;
  c->option17 = s.option17;
  memcpy(c->legacy_cp, s.legacy_cp, sizeof c->legacy_cp);
  memcpy(c->reorg_reason, s.reorg_reason, sizeof c->reorg_reason);
  c->verbose = s.verbose;
  c->err_trace = s.err_trace;
  AddCounters(c->tableReads, s.tableReads, RSCP_TABLES);
}

void FreeBlock(rscpCCC_t* b) {
  uint8_t released = 0;
  rscpHooks.releaseCache(b, __LINE__, &released);
}

// Builds the next generation from the snapshot of the current one and
// publishes it on 0 or RSCPEIO. The caller holds the mutex and the write
// permission.
rscpRc_t Rebuild(const rscpCCC_t& snap, int mask) {
  rscpCCC_t* old = rscpGetCache();
  const bool oldSizes = OldSizesUsable(snap);
  long size = 0, c07 = 0;
  uint32_t codeMax = 0, ucharMax = 0, newVersion = 0;
  if (oldSizes) {
    size = snap.length;
    c07 = snap.cache07 == 0 || snap.cache07 >= snap.length / 2 ? snap.length - snap.end_t2 : snap.cache07;
    codeMax = snap.max_weq_code;
  } else {
    if (rscpRc_t rc = find_cachesizes(&size, &c07)) return rc;
    find_weqcode_max(&codeMax);
    find_uchar_max(&ucharMax);
    newVersion = rscpINextReorgVersion(rscpGetLastVersion(), snap.reorg_version, snap.noof_reorgs);
  }
  void* block = nullptr;
  const WEQ_UC* method = nullptr;
  uint8_t shared = 0, attached = 0;
  if (rscpRc_t rc = rscpHooks.allocCache(&block, &shared, &attached, &method, static_cast<size_t>(size),
                                         __LINE__)) {
    return rc;
  }
  auto* fresh = static_cast<rscpCCC_t*>(block);
  rscpSetBuildTarget(fresh);
  const rscpRc_t rc = McBuild(size, c07, codeMax, method, mask);
  rscpSetBuildTarget(nullptr);
  if (rc != 0 && rc != RSCPEIO) {
    // The old generation stays published; the converter is damaged.
    FreeBlock(fresh);
    return rc;
  }
  CarryOverAlways(fresh, snap);
  if (oldSizes) {
    CarryOverOld(fresh, snap);
    rscpSetLastVersion(fresh->reorg_version);
  } else {
    fresh->max_enhanced_uchar = ucharMax;
    fresh->reorg_version = newVersion;
    rscpSetLastVersion(newVersion);
    fresh->pidReorg = static_cast<uint32_t>(getpid());
    fresh->ppidReorg = static_cast<uint32_t>(NT_getppid());
    fresh->noof_reorgs = snap.noof_reorgs;
    McSyslog(u'i', u"E10", u"%-8.8s%*ld", u"RSCPCCC", 9, size);
    McWarn(u"CCC cache with %ld bytes reorganized.", size);
  }
  rscpSetCache(fresh);
  rscpMovePin();
  rscpRetireCache(old);
  return rc;
}

void DumpLine(const WEQ_UC* line, int length) { fprintfU16(stderr, u"%*.*s\r\n", length, length, line); }

}  // namespace

// --- Process values ---------------------------------------------------------------------------

uint8_t rscpIGetReleased(void) { return gMcReleased.load(std::memory_order_relaxed); }
int32_t rscpIGetReorgNesting(void) { return gMcNesting.load(std::memory_order_relaxed); }

uint32_t rscpINextReorgVersion(uint32_t lastKnown, uint32_t oldVersion, uint32_t oldReorgs) {
  uint32_t v = oldVersion >= 2 && oldVersion <= 999999 ? oldVersion : 1;
  if (oldReorgs > v && oldReorgs < 1000000) v = oldReorgs;
  return std::max(lastKnown, v) + 1;
}

void rscpmcTestFailBuilds(int count, rscpRc_t rc) {
  gMcFailRc.store(rc, std::memory_order_relaxed);
  gMcFailBuilds.store(count, std::memory_order_relaxed);
}

void rscpmcIReset(void) {
  gMcFailBuilds.store(0, std::memory_order_relaxed);
  gMcReleased.store(0, std::memory_order_relaxed);
  gMcNesting.store(0, std::memory_order_relaxed);
  gMcDdSeen.store(0, std::memory_order_relaxed);
  gMcDbSeen.store(-1, std::memory_order_relaxed);
  for (int i = 0; i < 4; ++i) gMcPua[i].store(kMcPuaDefaults[i], std::memory_order_relaxed);
  gMcIconUtf8.store(0xEFA3BD, std::memory_order_relaxed);
}

// --- Private-use parameters --------------------------------------------------------------------

uint32_t rscpGetPua(int which) {
  return which >= 0 && which < 4 ? gMcPua[which].load(std::memory_order_relaxed) : 0;
}

void rscpGetFramePair(uint8_t pair[2]) {
  const uint32_t v = gMcPua[RSCP_PUA_FRAME1].load(std::memory_order_relaxed);
  pair[0] = static_cast<uint8_t>(v >> 8);
  pair[1] = static_cast<uint8_t>(v);
}

void rscpGetIconPair(uint8_t pair[2]) {
  const uint32_t v = gMcPua[RSCP_PUA_ICON2].load(std::memory_order_relaxed);
  pair[0] = static_cast<uint8_t>(v >> 8);
  pair[1] = static_cast<uint8_t>(v);
}

void rscpGetIconUtf8(uint8_t bytes[3]) {
  const uint32_t v = gMcIconUtf8.load(std::memory_order_relaxed);
  bytes[0] = static_cast<uint8_t>(v >> 16);
  bytes[1] = static_cast<uint8_t>(v >> 8);
  bytes[2] = static_cast<uint8_t>(v);
}

rscpRc_t rscpReadPuaParam(const WEQ_UC* name, uint32_t* value) {
  const WEQ_UC* v = rscpHooks.param(name);
  if (v == nullptr) return 0;
  const WEQ_UC* reason = nullptr;
  uint32_t cp = 0;
  if (strnlenU16(v, 5) != 4) {
    reason = u"length != 4";
  } else {
    for (int i = 0; i < 4 && reason == nullptr; ++i) {
      const WEQ_UC ch = v[i];
      int d = ch >= u'0' && ch <= u'9' ? ch - u'0' : ch >= u'A' && ch <= u'F' ? ch - u'A' + 10
                                                    : ch >= u'a' && ch <= u'f' ? ch - u'a' + 10 : -1;
      if (d < 0) reason = u"range:E000..F8FF";
      cp = cp << 4 | static_cast<uint32_t>(d);
    }
    if (reason == nullptr && (cp < 0xE000 || cp > 0xF8FF)) reason = u"range:E000..F8FF";
  }
  if (reason != nullptr) {
    McSyslog(u'i', u"E16", u"%s&%s&", name, reason);
    return 0;
  }
  *value = cp;
  return 0;
}

// --- Diagnostic switches and the check after a start ------------------------------------------

void rscpReadTraceOptions(void) {
  const WEQ_UC* value = nullptr;
  const WEQ_UC* dflt = nullptr;
  rscpHooks.paramDetail(u"rsts/ccc/max_weqcode", &value, &dflt);
  if (value != nullptr && dflt != nullptr && strcmpU(value, dflt) != 0) {
    McReport(RSCPEINTERN, 52, __LINE__, u"WEQPARAM(rsts/ccc/max_weqcode) ignored", u"CP6",
             u"rsts/ccc/max_weqcode not used");
  }
  ReadOnError();
  long v = 0;
  if (const char* e = getenv("RSCPTRACE"); e != nullptr && e[0] != 0) {
    rscpso_set_option(5, strtol(e, nullptr, 10));
  } else if (DecimalParamOrEnv(u"rdisp/TRACE", nullptr, &v)) {
    rscpso_set_option(5, v);
  }
}

void reinit(void) {
  auto isOne = [](const WEQ_UC* v) { return v[0] == u'1' && (v[1] == 0 || v[1] == u' '); };
  const WEQ_UC* qema = rscpHooks.param(u"qema/set_text_env_at_new_mode");
  const WEQ_UC* collate = rscpHooks.param(u"install/collate/active");
  if (qema != nullptr && !isOne(qema)) {
    McReport(RSCPEINTERN, 81, __LINE__, u"WEQPARAM(qema/set_text_env_at_new_mode) != '1'", u"CP6",
             u"qema/set_text_env_at_new_mode != 1");
  }
  if (collate != nullptr && !isOne(collate)) {
    McReport(RSCPEINTERN, 82, __LINE__, u"WEQPARAM(install/collate/active) != '1'", u"CP6",
             u"install/collate/active != 1");
  }
  if (qema != nullptr && collate != nullptr && strcmpU(qema, collate) != 0) {
    McReport(RSCPEINTERN, 83, __LINE__, u"WEQPARAM: qema/set_text_env_at_new_mode vs. install/collate/active",
             u"CP6", u"qema/set_text_env_at_new_mode != install/collate/active");
  }
  long errors = 0, warnings = 0;
  rscpqc_quality_check(rscpeLineAdapter, reinterpret_cast<void*>(rscph_ErrorOutput), rscpeLineAdapter,
                       reinterpret_cast<void*>(rscph_WarningOutput), nullptr, &errors, &warnings);
  if (errors > 0) {
    McErr(u"rscpmc:reinit: %9ld errors and %9ld warnings", errors, warnings);
  } else if (warnings > 0) {
    McWarn(u"rscpmc:reinit: %9ld warnings", warnings);
  }
}

// --- Start ------------------------------------------------------------------------------------

rscpRc_t rscpi_init(int acceptMask) {
  if (rscpGetState() == RSCP_STATE_INIT) return 0;
  StartGuard guard;
  WEQ_UC saved[30];
  const uint8_t flag = rscpGetInitializer(saved);
  rscpSetInitializer(nullptr, 0, 1);
  const rscpRc_t rc = rscpi__init(acceptMask);
  if (rc != 0) rscpSetInitializer(saved, 30, flag);
  return rc;
}

rscpRc_t rscpi_init_just_in_case(const WEQ_UC* caller) {
  if (rscpGetState() == RSCP_STATE_INIT) return 0;
  StartGuard guard;
  if (rscpGetState() == RSCP_STATE_INIT) return 0;
  const char* env = getenv("RSCP_CATCH_INIT");
  const bool abortNow = env != nullptr && (env[0] == 'a' || env[0] == 'A');
  const bool quiet = env != nullptr && env[0] == '0';
  if (caller == nullptr) caller = u"";
  if (!quiet) {
    McErr(u"Impromptu CCC initialization by '%.100s'.", caller);
    rscph_ErrorOutput(RSCP_IMPROMPTU_REFERENCE, -1);
  }
  const bool marker = access("RSCP_CATCH_INIT", F_OK) == 0;
  if (!abortNow && !marker) {
    rscpSetInitializer(caller, -1, 0);
    return rscpi__init(-1);
  }
  if (marker) unlink("RSCP_CATCH_INIT");
  fprintfU16(stderr, u"%s\nAbort in rscpi_init_just_in_case.\n", RSCP_IMPROMPTU_REFERENCE);
  fflush(stderr);
  abort();
}

rscpRc_t rscpi__init(int mask) {
  StartGuard guard;
  rscpeClearThrErrors();
  const int32_t entry = rscpGetState();
  switch (entry) {
    case RSCP_STATE_INIT:
      return 0;
    case RSCP_STATE_DAMAGED:
      return McReport(RSCPEINTERN, 43, __LINE__, u"char code converter damaged", u"F36", nullptr, nullptr,
                      mask);
    case RSCP_STATE_STARTING:
      return McReport(RSCPEINTERN, 80, __LINE__, u"char code converter init loop", u"F6P", nullptr, nullptr,
                      mask);
    case RSCP_STATE_REINIT:
      McErr(u"Try CCC initialization in state: %d . (CCC not in reach.)", static_cast<int>(entry));
      break;
    default:
      rscpSetState(RSCP_STATE_STARTING);
      break;
  }
  const bool reinitState = entry == RSCP_STATE_REINIT;
  ReadPuaParams();
  ReadOnError();
  if (!reinitState) {
    if (rscpRc_t rc = rscpHooks.semaStep1(__LINE__)) {
      McErr(u"Semaphore initialization step 1 failed with %d", rc);
      return rc;
    }
    McWarn(u"Semaphore initialization step 1 done.");
  }
  rscpli__load_init(__LINE__);
  if (!reinitState) {
    if (rscpRc_t rc = rscpHooks.semaStep2(__LINE__)) {
      McErr(u"Semaphore initialization step 2 failed with %d", rc);
      return rc;
    }
    McWarn(u"Semaphore initialization step 2 done.");
  }
  if (rscpRc_t rc = rscpHooks.lock(__LINE__)) return rc;
  if (const WEQ_UC* v = rscpHooks.param(u"rscp/ccc/protect"); v != nullptr && v[0] != 0) {
    rscpso_set_option(20, strtolU(v, nullptr, 10));
  }
  auto unlockWith = [](rscpRc_t rc) {
    rscpHooks.unlock(__LINE__);
    return rc;
  };
  auto releaseAndUnlock = []() {
    const rscpRc_t released = rscpHooks.releaseWritePermission(__LINE__);
    const rscpRc_t unlocked = rscpHooks.unlock(__LINE__);
    return unlocked != 0 ? unlocked : released;
  };
  bool fresh = false;
  long size = 0, c07 = 0;
  const WEQ_UC* method = nullptr;
  if (!reinitState || rscpGetCache() == nullptr) {
    if (rscpRc_t rc = find_cachesizes(&size, &c07)) return unlockWith(rc);
    void* block = nullptr;
    uint8_t shared = 0, attached = 0;
    if (rscpRc_t rc = rscpHooks.allocCache(&block, &shared, &attached, &method, static_cast<size_t>(size),
                                           __LINE__)) {
      return unlockWith(rc);
    }
    // A start after a wrong layout version replaces that block; calls that
    // still read it keep it until they end.
    rscpCCC_t* old = rscpIGetPublishedCache();
    rscpSetCache(static_cast<rscpCCC_t*>(block));
    rscpRetireCache(old);
    fresh = true;
  } else {
    if (rscpRc_t rc = rscpHooks.getWritePermission(__LINE__)) return unlockWith(rc);
    McErr(u"In reinitialize state reuse shared memory at %p. CCC.reorg_done=%c.",
          static_cast<void*>(rscpGetCache()), Flag(rscpGetCache()->reorg_done));
  }
  if (fresh) {
    if (rscpRc_t rc = rscpHooks.getWritePermission(__LINE__)) return unlockWith(rc);
    uint32_t codeMax = 0, ucharMax = 0;
    find_weqcode_max(&codeMax);
    find_uchar_max(&ucharMax);
    const rscpRc_t rc = McBuild(size, c07, codeMax, method, mask);
    if (rc != 0 && rc != RSCPEIO) {
      rscpSetState(RSCP_STATE_DAMAGED);
      releaseAndUnlock();
      McErr(u"CCC-cache init failed.");
      return rc;
    }
    if (rc == RSCPEIO) {
      const uint8_t done = rscpGetCache()->reorg_done;
      if (rscpGetState() == RSCP_STATE_REINIT) {
        McWarn(u"I/O error again. Code page converter stays in reinitialize state. CCC.reorg_done=%c.",
               Flag(done));
      } else {
        rscpSetState(RSCP_STATE_REINIT);
        McReport(RSCPEIO, 133, __LINE__, u"Code page converter switched to reinitialize state.", u"CQD",
                 nullptr,
                 nullptr, mask);
        McErr(u"I/O error. Code page converter switched to reinitialize state. CCC.reorg_done=%c.",
              Flag(done));
      }
      releaseAndUnlock();
      return rc;
    }
    rscpGetCache()->max_enhanced_uchar = ucharMax;
    WEQ_UC number[16];
    snprintfU16(number, std::size(number), u"%*ld", 9, size);
    McSyslog(u'i', u"E10", u"%-8.8s%s", u"RSCPCCC", number);
    McWarn(u"CCC cache initialized with %s bytes.", number);
  } else {
    rscpCCC_t* c = rscpGetCache();
    const uint32_t last = rscpGetLastVersion();
    const bool released = gMcReleased.load(std::memory_order_relaxed) != 0;
    if (last > c->reorg_version || (last == c->reorg_version && released)) {
      rscpSetCacheVersion(c, last + 1);
    }
  }
  if (!reinitState) rscpGetCache()->attaches += 1;
  if (rscpGetCache()->reorg_done == 0) {
    gMcNesting.fetch_add(1, std::memory_order_relaxed);
    rscpHooks.labelBegin(u"rscpmreorg", nullptr);
    const rscpRc_t rc = rscpnr__need_reorg(2, mask);
    rscpHooks.labelEnd(nullptr);
    gMcNesting.fetch_sub(1, std::memory_order_relaxed);
    if (rc != 0) {
      releaseAndUnlock();
      return rc;
    }
  }
  rscpRc_t rc = 0;
  rscpCCC_t* c = rscpGetCache();
  if (c->version != RSCP_CCC_VERSION) {
    WEQ_UC text[68], p1[16], p2[16];
    snprintfU16(text, std::size(text), u"CCC buffer version should be %9ld but is %9ld",
                static_cast<long>(RSCP_CCC_VERSION),
                static_cast<long>(c->version));
    snprintfU16(p1, std::size(p1), u"%9ld", static_cast<long>(RSCP_CCC_VERSION));
    snprintfU16(p2, std::size(p2), u"%9ld", static_cast<long>(c->version));
    rc = McReport(RSCPEINTERN, 30, __LINE__, text, u"F37", p1, p2, mask);
    rscph_ErrorOutput(text, -1);
    rscpSetState(RSCP_STATE_WRONG_VERSION);
    releaseAndUnlock();
  } else {
    if (reinitState) SwitchedBack(132);
    rscpSetState(RSCP_STATE_INIT);
    // The check reads header fields that loaders write under the mutex.
    if (fresh) reinit();
    rc = releaseAndUnlock();
    set_db_cp_func(rscpGetDBCodePages);
  }
  rscpuSetErrorFunc(rscpe__error);
  rscpReadTraceOptions();
  gMcReleased.store(0, std::memory_order_relaxed);
  return rc;
}

// --- Finish -----------------------------------------------------------------------------------

rscpRc_t rscpf_finish(int) {
  StartGuard guard;
  rscpeClearThrErrors();
  const int32_t state = rscpGetState();
  if (state == RSCP_STATE_NONE) return 0;
  rscpCCC_t* c = rscpIGetPublishedCache();
  if ((state == RSCP_STATE_INIT || state == RSCP_STATE_REINIT) && c != nullptr &&
      c->reorg_version > rscpGetLastVersion()) {
    rscpSetLastVersion(c->reorg_version);
  }
  rscpli__load_finish(__LINE__);
  rscpReclaimRetired();
  rscpRc_t rc = 0;
  if (c != nullptr) {
    uint8_t released = 0;
    rc = rscpHooks.releaseCache(c, __LINE__, &released);
    gMcReleased.store(released, std::memory_order_relaxed);
  }
  rscpSetCache(nullptr);
  rscpSetState(RSCP_STATE_NONE);
  return rc;
}

// --- Rebuild ----------------------------------------------------------------------------------

rscpRc_t rscpnr__need_reorg(int mode, int mask) {
  bool locked = false, permission = false, attempted = false;
  if (mode == 0) {
    if (rscpRc_t rc = rscpHooks.lock(__LINE__)) return rc;
    locked = true;
  } else if (mode == 2) {
    rscpRegisterCacheUser(2, 0, nullptr);
  }
  rscpRc_t result = 0;
  rscpCCC_t* c = rscpGetCache();
  if (c == nullptr) {
    result = McReport(RSCPEBUSY, 5, __LINE__, u"Shared mem CCC not yet initialized", u"CP6",
                      u"CCC not yet initialized", nullptr, mask);
    if (locked) rscpHooks.unlock(__LINE__);
    return result;
  }
  rscpeSetVerbose(c->verbose);
  if (c->reorg_done == 0) {
    if (mode != 2) {
      if (rscpRc_t rc = rscpHooks.getWritePermission(__LINE__)) {
        if (locked) rscpHooks.unlock(__LINE__);
        return rc;
      }
      permission = true;
    }
    rscpFlushThrCounters();
    const rscpCCC_t snap = *c;
    if (const WEQ_UC* d = rscpHooks.param(u"rscp/ccc/dump"); d != nullptr && d[0] != 0 && d[0] != u'0') {
      fputs("rscpmc:rscpnr__need_reorg()\n", stderr);
      fputs("      : Last state before reorganizing:\n", stderr);
      rscpcs_cache_status(0xFFFF, [](const WEQ_UC* line, int length, void*) { DumpLine(line, length); },
                          nullptr);
    }
    McSyslog(u'i', u"E14", u"%-8.8s%*ld%-47.36s", u"RSCPCCC", 9, static_cast<long>(snap.length),
             std::u16string(snap.reorg_reason, 36).c_str());
    McWarn(u"CCC cache with %ld bytes reorganizing because of %.*s.", static_cast<long>(snap.length), 36,
           std::u16string(snap.reorg_reason, 36).c_str());
    rscpHooks.waitBeforeClearing(2);
    attempted = true;
    const int32_t before = rscpGetState();
    result = Rebuild(snap, mask);
    c = rscpGetCache();
    if (result == 0) {
      rscpSetReorgDone(c, 1);
      c->pidReorg = static_cast<uint32_t>(getpid());
      c->ppidReorg = static_cast<uint32_t>(NT_getppid());
      c->noof_reorgs += 1;
      if (before == RSCP_STATE_REINIT) SwitchedBack(135);
      rscpSetState(RSCP_STATE_INIT);
    } else if (result == RSCPEIO && before == RSCP_STATE_REINIT) {
      McWarn(u"I/O error again. Code page converter stays in reinitialize state. CCC.reorg_done=%c.",
             Flag(c->reorg_done));
    } else if (result == RSCPEIO) {
      rscpSetState(RSCP_STATE_REINIT);
      rscpSetReorgDone(c, 0);
      McErr(u"Code page converter switched to reinitialize state. CCC.reorg_done:%c->f.",
            Flag(snap.reorg_done));
      McReport(RSCPEIO, 137, __LINE__, u"converter switched to reinitialize state", u"CQD", nullptr,
               nullptr, mask);
    } else {
      rscpSetState(RSCP_STATE_DAMAGED);
    }
  }
  if (gMcDdSeen.load(std::memory_order_relaxed) < c->dd_reorg_version) {
    if (rscpRc_t rc = rscpgdi__general_db_init(mask)) {
      result = rc;
    } else {
      gMcDdSeen.store(c->dd_reorg_version, std::memory_order_relaxed);
      if (c->dd_reorg_done == 0) c->dd_reorg_done = 1;
    }
  }
  // The check reads header fields that loaders write under the mutex, so it
  // runs before this call lets go of it.
  if (attempted) reinit();
  if (locked) {
    if (permission) {
      if (rscpRc_t rc = rscpReleaseWritePermissionAndSema(__LINE__)) result = rc;
    } else if (rscpRc_t rc = rscpHooks.unlock(__LINE__)) {
      result = rc;
    }
  } else if (permission) {
    rscpHooks.releaseWritePermission(__LINE__);
  }
  return result;
}

rscpRc_t rscpINeedReorgLabelled(void) {
  gMcNesting.fetch_add(1, std::memory_order_relaxed);
  rscpHooks.labelBegin(u"rscpmreorg", nullptr);
  const rscpRc_t rc = rscpnr__need_reorg(0, -1);
  rscpHooks.labelEnd(nullptr);
  gMcNesting.fetch_sub(1, std::memory_order_relaxed);
  return rc;
}

// --- Database code pages ----------------------------------------------------------------------

rscpRc_t rscpGetDBCodePages(rscpCp_t* out, int max, int* count) {
  // Read without the mutex: the pin keeps the generation from being freed
  // by a rebuild on another thread.
  const rscpCachePin pin;
  const rscpCCC_t* c = pin.readable();
  if (c == nullptr) {
    if (count != nullptr) *count = 0;
    return McReport(RSCPEBUSY, 3, __LINE__, u"Shared mem CCC not yet initialized", u"CP6",
                    u"CCC not yet initialized");
  }
  if (gMcDbSeen.load(std::memory_order_relaxed) != static_cast<int64_t>(rscpCacheVersion(c))) {
    if (rscpRc_t rc = rscpINeedReorgLabelled()) return rc;
    rscpMovePin();
    c = pin.readable();
    gMcDbSeen.store(rscpCacheVersion(c), std::memory_order_relaxed);
  }
  rscpRc_t rc = 0;
  long n = std::min<long>(c->db_cp_count, RSCP_DB_CPS);
  if (n > max) {
    WEQ_UC p1[32];
    snprintfU16(p1, std::size(p1), u"%ld code pages", n);
    rc = McReport(RSCPETOOLONG, 4, __LINE__, u"Too many code pages for output", u"CP8", p1, u"&");
    n = std::max(max, 0);
  }
  for (long i = 0; i < n; ++i) memcpy(out[i], c->db_cp_list[i], sizeof(rscpCp_t));
  if (count != nullptr) *count = static_cast<int>(n);
  return rc;
}
