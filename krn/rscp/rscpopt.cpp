// The converter's numbered options and the invalidation of the cache's
// tables. Process switches (the database switches 7 to 14, the loader
// switches 25 to 27, protect) are relaxed atomics written without a lock;
// header options are written under the 'CCC' mutex and the write
// permission, so that they never race a rebuild of the header.
#include <stdio.h>
#include <unistd.h>

#include <atomic>
#include <iterator>

#include "i18n/wequ16/u16fmt.h"
#include "krn/ntport/ntport.h"
#include "krn/rscp/rscp_int.h"
#include "krn/rscp/rscpld_int.h"
#include "krn/rscp/rscpmc_int.h"

namespace {

constexpr const WEQ_UC* kOptModule = u" $Id: krn/rscp/rscpopt.cpp $";

// Switches by option number; 7 is not a switch of its own.
constexpr int kOptSwitches = 28;
constexpr bool kOptDefault[kOptSwitches] = {
    false, false, false, false, false, false, false, false,
    true,  true,  false, true,  true,  true,  true,  false,  // 8-15
    false, false, false, false, true,  false, false, false,  // 16-23
    false, true,  false, true};                              // 24-27
std::atomic<bool> gOptSwitch[kOptSwitches];

struct OptSwitchText {
  const WEQ_UC* running;    // switched off in states 2 and 5
  int runningLoc;
  const WEQ_UC* retrying;   // switched off in states 1, 3 and 4
  int retryLoc;
};
// Options 7 to 14.
constexpr OptSwitchText kOptTexts[8] = {
    {u"(Warning) rscpso: disconnecting from database", 61, u"Trying again without database", 62},
    {u"(Warning) disconnecting TCP00,.. from database", 103, u"Trying again without TCP00,.. from database", 110},
    {u"(Warning) disconnecting TCP01,.. from database", 104, u"Trying again without TCP01,.. from database", 111},
    {u"(Warning) disconnecting TCP02,.. from database", 105, u"Trying again without TCP02,.. from database", 112},
    {u"(Warning) disconnecting TCP0C from database", 106, u"Trying again without TCP0C from database", 113},
    {u"(Warning) disconnecting TCPSEG,.. from database", 107, u"Trying again without TCPSEG,.. from database", 114},
    {u"(Warning) disconnecting UMG* from database", 108, u"Trying again without UMG* from database", 115},
    {u"(Warning) disconnecting some tables from database", 109, u"Trying again without some tables from database",
     116},
};
constexpr const WEQ_UC* kNeverTcp02 = u"(Warning) this release never reads TCP02/03/07";

rscpRc_t OptReport(int rc, int location, int line, const WEQ_UC* text, const WEQ_UC* code, const WEQ_UC* param1,
                int mask = -1) {
  return rscpIReport(kOptModule, rc, location, line, text, code, param1, nullptr, mask);
}

bool OptGet(int n) { return gOptSwitch[n].load(std::memory_order_relaxed); }
void OptPut(int n, bool on) { gOptSwitch[n].store(on, std::memory_order_relaxed); }

// Option 7: every database switch but 10, which this release never reads.
void SetAllDb(bool on) {
  for (int n : {8, 9, 11, 12, 13, 14}) OptPut(n, on);
  OptPut(10, false);
}

bool AnyDbOn() {
  for (int n : {8, 9, 11, 12, 13, 14})
    if (OptGet(n)) return true;
  return false;
}

// Options 7 to 14 in any state. Once started, the warning of a switch
// turned off comes first (retrying: the start failed, so the cache is marked
// for rebuilding with the same text as the reason).
rscpRc_t SetDbSwitch(int n, long v, bool started, bool retrying, int tcp02Loc) {
  rscpRc_t result = 0;
  const OptSwitchText& t = kOptTexts[n - 7];
  const bool wasOn = n == 7 ? AnyDbOn() : OptGet(n);
  if (started && wasOn && v == 0) {
    const WEQ_UC* text = retrying ? t.retrying : t.running;
    result = OptReport(RSCPECALL, retrying ? t.retryLoc : t.runningLoc, __LINE__, text, u"CP6", text);
  }
  if (n == 7) {
    SetAllDb(v != 0);
  } else if (n == 10) {
    if (v != 0) result = OptReport(RSCPECALL, tcp02Loc, __LINE__, kNeverTcp02, u"CP6", kNeverTcp02);
    OptPut(10, false);
  } else {
    OptPut(n, v != 0);
  }
  if (retrying) {
    if (rscpRc_t rc = rscpict3_invalidate_convert_tables(nullptr, nullptr, t.retrying, -1, -1)) result = rc;
  }
  return result;
}

rscpRc_t OptionParamReport(int rc, int location, int line, const WEQ_UC* text, const WEQ_UC* code, int n, long v) {
  WEQ_UC param[48];
  snprintfU16(param, std::size(param), u"option[%d] = %ld", n, v);
  return OptReport(rc, location, line, text, code, param);
}

// Options 18 to 23: every state.
void SetAnyState(int n, long v) {
  const int level = rscpeGetVerbose();
  switch (n) {
    case 18:
      rscpeSetVerbose(v == 0 ? 0 : level >= 2 ? 2 : 1);
      break;
    case 19:
      rscpeSetVerbose(v != 0 ? 2 : level >= 1 ? 1 : 0);
      break;
    case 20:
      OptPut(20, v == 1);
      break;
    case 21:
      rscpeSetPrintStyle(static_cast<int>(v));
      break;
    case 22:
      rscpeSetShowSeqNo(static_cast<int>(v));
      break;
    default:
      rscpeSetShowClassC(static_cast<int>(v));
      break;
  }
}

// States 2 and 5, under the 'CCC' mutex and the write permission.
rscpRc_t SetStarted(rscpCCC_t* c, int n, long v) {
  switch (n) {
    case 1:
      c->mbc_in_sbcs = static_cast<uint8_t>(v);
      return 0;
    case 2:
      c->mbc_copy = static_cast<int32_t>(v);
      return 0;
    case 16:
      c->option16 = static_cast<uint32_t>(v);
      return 0;
    case 17:
      c->option17 = static_cast<uint32_t>(v);
      return 0;
    case 3:
      c->cache07 = static_cast<uint32_t>(v);
      return rscpInvalidateLocked(nullptr, nullptr, u"Size 'cache07' changed", -1, -1);
    case 4: {
      WEQ_UC param[64];
      snprintfU16(param, std::size(param), u"intu&=&%ld&(cannot switch intu any longer)&&&", v);
      return OptReport(RSCPEINTERN, 67, __LINE__, u"Only intu == 2 compiled into converter", u"CP9", param);
    }
    case 5:
      c->verbose = static_cast<int32_t>(v);
      rscpeSetVerbose(static_cast<int>(v));
      return 0;
    case 6:
      c->err_trace = static_cast<int32_t>(v);
      rscpeSetOnError(static_cast<int>(v));
      return 0;
    case 24: {
      // Four digits with leading zeros: a wider value would not fit the field.
      if (v < 0 || v > 9999) {
        return OptionParamReport(RSCPEINVAL, 146, __LINE__, u"rscpso: legacy code page out of range", u"CP6", n, v);
      }
      WEQ_UC digits[8];
      snprintfU16(digits, std::size(digits), u"%0*ld", 4, v);
      for (int i = 0; i < 4; ++i) c->legacy_cp[i] = digits[i];
      return 0;
    }
    case 25:
    case 26:
    case 27:
      return OptionParamReport(RSCPECALL, 144, __LINE__, u"rscpso: set option ignored after startup, CCC: initialized",
                               u"CP6", n, v);
    default:
      if (n >= 7 && n <= 14) return SetDbSwitch(n, v, true, false, 118);
      return OptionParamReport(RSCPEINTERN, 60, __LINE__, u"rscpso: illegal option", u"F44", n, v);
  }
}

}  // namespace

void rscpldIResetOptions() {
  for (int n = 0; n < kOptSwitches; ++n) OptPut(n, kOptDefault[n]);
}

int rscpIGetSwitch(int option) {
  if (option == 7) option = 8;
  return option > 0 && option < kOptSwitches && OptGet(option) ? 1 : 0;
}

uint8_t rscpIProtectOption(void) { return OptGet(20) ? 1 : 0; }
uint8_t rscpIOption25(void) { return OptGet(25) ? 1 : 0; }

rscpRc_t rscpso_set_option(int n, long v) {
  if (n >= 18 && n <= 23) {
    SetAnyState(n, v);
    return 0;
  }
  const int32_t state = rscpGetState();
  if (state == RSCP_STATE_NONE) {
    if (n >= 7 && n <= 14) return SetDbSwitch(n, v, false, false, 117);
    if (n >= 25 && n <= 27) OptPut(n, v != 0);
    return 0;
  }
  if (state == RSCP_STATE_INIT || state == RSCP_STATE_REINIT) {
    if (state == RSCP_STATE_REINIT) {
      const rscpCachePin pin;
      const rscpCCC_t* seen = pin.readable();
      WEQ_UC line[120];
      const WEQ_UC done = seen == nullptr ? u'?' : rscpReorgDone(seen) != 0 ? u'T' : u'f';
      snprintfU16(line, std::size(line), u"rscpso_set_option(%d,%d,.) while I am in reinitialize state. CCC.reorg_done=%c.",
                  n, static_cast<int>(v), done);
      rscph_WarningOutput(line, -1);
    }
    if (rscpRc_t rc = rscpGetSemaAndWritePermission(__LINE__)) return rc;
    // The generation published under the mutex: a rebuild that ran while
    // this thread waited for it has retired (and maybe freed) the one
    // published before.
    rscpCCC_t* c = rscpGetCache();
    const rscpRc_t result = c == nullptr ? OptionParamReport(RSCPEINTERN, 60, __LINE__, u"rscpso: illegal option",
                                                             u"F44", n, v)
                                         : SetStarted(c, n, v);
    const rscpRc_t released = rscpReleaseWritePermissionAndSema(__LINE__);
    return result != 0 ? result : released;
  }
  // Starting, damaged or of the wrong layout version.
  if (n == 6) {
    rscpeSetOnError(static_cast<int>(v));
    return 0;
  }
  if (n >= 7 && n <= 14) return SetDbSwitch(n, v, true, true, 112);
  if (n >= 25 && n <= 27) {
    return OptionParamReport(RSCPECALL, 145, __LINE__, u"rscpso: set option ignored after startup, CCC: wrong version",
                             u"CP6", n, v);
  }
  return OptionParamReport(RSCPEINTERN, 142, __LINE__, u"rscpso: illegal option", u"F44", n, v);
}

int rscpgo_get_option(int n, long* v) {
  if ((n >= 7 && n <= 14) || (n >= 18 && n <= 23) || (n >= 25 && n <= 27)) {
    switch (n) {
      case 18:
        *v = rscpeGetVerbose() >= 1;
        break;
      case 19:
        *v = rscpeGetVerbose() >= 2;
        break;
      case 21:
        *v = rscpeGetPrintStyle();
        break;
      case 22:
        *v = rscpeGetShowSeqNo();
        break;
      case 23:
        *v = rscpeGetShowClassC();
        break;
      default:
        *v = rscpIGetSwitch(n);
        break;
    }
    return 0;
  }
  const int32_t state = rscpGetState();
  // Read without the mutex: the pin keeps the generation from being freed
  // by a rebuild on another thread.
  const rscpCachePin pin;
  const rscpCCC_t* c = pin.readable();
  if ((state == RSCP_STATE_INIT || state == RSCP_STATE_REINIT) && c != nullptr) {
    switch (n) {
      case 1: *v = c->mbc_in_sbcs; return 0;
      case 2: *v = c->mbc_copy; return 0;
      case 3: *v = c->cache07; return 0;
      case 4: *v = 2; return 0;
      case 5: *v = c->verbose; return 0;
      case 6: *v = c->err_trace; return 0;
      case 16: *v = c->option16; return 0;
      case 17: *v = c->option17; return 0;
      default: return 1;
    }
  }
  if (state == RSCP_STATE_NONE && (n == 16 || n == 17)) {
    *v = 0;
    return 0;
  }
  // Before the start no other option has a value to give.
  return 1;
}

// --- Invalidation -----------------------------------------------------------------------------

rscpRc_t rscpict3_invalidate_convert_tables(void*, void*, const WEQ_UC* reason, int length, int acceptMask) {
  static constexpr const WEQ_UC* kTables[] = {u"TCP00", u"TCP00A",    u"TCP01",  u"TCP09",  u"TCP0C",
                                              u"TCP0D", u"TCPDB",     u"TCP0F",  u"TCP0I",  u"TCPSBUILD",
                                              u"TCPSEG", u"TCPSPTL", u"TCPSPTS", u"TCPSRULE"};
  const int32_t state = rscpGetState();
  if (state == RSCP_STATE_NONE) return 0;
  if (state != RSCP_STATE_INIT && state != RSCP_STATE_WRONG_VERSION && state != RSCP_STATE_REINIT) {
    WEQ_UC param[16];
    snprintfU16(param, std::size(param), u"%d&", static_cast<int>(state));
    return OptReport(RSCPEINTERN, 40, __LINE__, u"CCC in illegal state", u"F44", param, acceptMask);
  }
  rscpRc_t result = 0;
  for (const WEQ_UC* t : kTables) {
    if (rscpRc_t rc = rscpf1t__flush_one_table(t)) result = rc;
  }
  rscpCCC_t* c = rscpGetCache();
  if (c == nullptr) return result;
  rscpSetReorgDone(c, 0);
  rscpSetCacheVersion(c, c->reorg_version + 1);
  rscpSetLastVersion(c->reorg_version);
  c->pidInval = static_cast<uint32_t>(getpid());
  c->ppidInval = static_cast<uint32_t>(NT_getppid());
  if (reason == nullptr) {
    reason = u"rscpict3_invalidate_convert_tables";
    length = -1;
  }
  int n = 0;
  for (; n < 36 && (length < 0 ? reason[n] != 0 : n < length); ++n) c->reorg_reason[n] = reason[n];
  for (; n < 36; ++n) c->reorg_reason[n] = u' ';
  return result;
}

// The header fields that an invalidation writes are read by a rebuild under
// the 'CCC' mutex: a caller that does not hold the mutex takes it here.
rscpRc_t rscpInvalidateLocked(void* a, void* b, const WEQ_UC* reason, int length, int acceptMask) {
  const bool lock = !rscphICccHeld();
  if (lock) {
    if (rscpRc_t rc = rscpHooks.lock(__LINE__)) return rc;
  }
  rscpRc_t result = rscpHooks.getWritePermission(__LINE__);
  if (result == 0) {
    result = rscpict3_invalidate_convert_tables(a, b, reason, length, acceptMask);
    const rscpRc_t released = rscpHooks.releaseWritePermission(__LINE__);
    if (result == 0) result = released;
  }
  if (lock) {
    const rscpRc_t unlocked = rscpHooks.unlock(__LINE__);
    if (result == 0) result = unlocked;
  }
  return result;
}
