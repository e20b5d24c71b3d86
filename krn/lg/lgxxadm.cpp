// Logon groups: the parameters, the mutex, the clock and the generator, the
// attachment to one message server at a time and the group cache.
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <mutex>

#include "i18n/wequ16/u16fmt.h"
#include "i18n/wequ16/u16file.h"
#include "i18n/wequ16/u16str.h"
#include "krn/dptrc/err.h"
#include "krn/lg/lg.h"
#include "krn/lg/lg_int.h"
#include "krn/ms/ms.h"

std::atomic<int32_t> lg_timeout{10000};
std::atomic<int32_t> lg_lb_timeout{60000};
std::atomic<int32_t> lg_lb_requests{1000};

WEQ_UC* lg_mshost = nullptr;
WEQ_UC* lg_msserv = nullptr;
bool lg_attached = false;

namespace {

// The mutex and whether it exists; gMtxCreate orders threads that create
// it at the same time (the Java bindings' lock does so too).
ThrMtx gMtx;
std::atomic<bool> gMtxExists{false};
std::mutex gMtxCreate;

// The group cache and its first-use marker (all ones until the first use).
LG_GROUP_REC gCache[LG_CACHE_SIZE];
uint32_t gCacheMarker = 0xFFFFFFFFu;

// The C standard's sample generator; its state is guarded by the mutex.
uint32_t gRandState = 1;
std::atomic<int64_t (*)(void)> gClock{nullptr};
std::atomic<int (*)(void)> gRandom{nullptr};

const WEQ_UC* Show(const WEQ_UC* s) { return s != nullptr ? s : u"(null)"; }

// Clears the attached state and frees the stored texts.
void LgIForget() {
  lg_attached = false;
  free(lg_mshost);
  free(lg_msserv);
  lg_mshost = lg_msserv = nullptr;
}

// The MsSetParam and MsAttach steps of an attach to the stored texts.
LG_RC LgIConnect() {
  static constexpr WEQ_UC kFn[] = u"LgIAttach";
  WEQ_UC name[MS_NAME_LEN];
  int32_t t = lg_timeout.load();
  int rc = MsSetParam(TIME_S, t);
  if (rc != 0) {
    LgIKeptMsRc.store(rc);
    LgIDetach(lg_mshost);
    DPTRC_ERROR(LgITrc(), u"%s: MsSetParam TIME_S (rc=%s)", kFn, MsErrorName(rc, name));
    return LGEMSLAYER;
  }
  rc = MsSetParam(TIME_L, t);
  if (rc != 0) {
    LgIKeptMsRc.store(rc);
    LgIDetach(lg_mshost);
    DPTRC_ERROR(LgITrc(), u"%s: MsSetParam TIME_L (rc=%s)", kFn, MsErrorName(rc, name));
    return LGEMSLAYER;
  }
  rc = MsAttach(u"-", u"-", 0, lg_mshost, lg_msserv);
  if (rc != 0) {
    LgIKeptMsRc.store(rc);
    LgIDetach(lg_mshost);
    DPTRC_ERROR(LgITrc(), u"%s: MsAttach (rc=%s)", kFn, MsErrorName(rc, name));
    return LGEMSLAYER;
  }
  lg_attached = true;
  return WEQ_O_K;
}

// Stores the texts and attaches; an LgIAllocAdm failure is traced.
LG_RC LgIStoreAndConnect(const WEQ_UC* mshost, const WEQ_UC* msserv) {
  LG_RC rc = LgIAllocAdm(mshost, msserv);
  if (rc != WEQ_O_K) {
    WEQ_UC name[LG_ERR_NAME_LEN];
    DPTRC_LINE(2, LgITrc(), u"%s: LgIAllocAdm(%s,%s) failed (rc=%s)\n", u"LgIAttach", mshost, msserv,
               LgErrorName(rc, name));
    return rc;
  }
  return LgIConnect();
}

}  // namespace

// --- Parameters --------------------------------------------------------------------

LG_RC LgSetParam(uint8_t id, int32_t value) {
  switch (id) {
    case LG_PARAM_TIMEOUT:
      lg_timeout.store(value);
      DPTRC_LINE(2, LgITrc(), u"set lg_timeout to %d\n", value);
      return WEQ_O_K;
    case LG_PARAM_LB_TIMEOUT:
      lg_lb_timeout.store(value);
      DPTRC_LINE(2, LgITrc(), u"set lg_lb_timeout to %d\n", value);
      return WEQ_O_K;
    case LG_PARAM_LB_REQUESTS:
      lg_lb_requests.store(value);
      DPTRC_LINE(2, LgITrc(), u"set lg_lb_requests to %d\n", value);
      return WEQ_O_K;
    default:
      break;
  }
  LG_ERR_RECORD(LGEINVAL, u"LgSetParam", LgISetReason(u"unknown param %d", static_cast<int32_t>(id)), 0);
  return LGEINVAL;
}

// --- Mutex, clock, generator ----------------------------------------------------------

ThrRc LgIInitMtx(void) {
  if (gMtxExists.load(std::memory_order_acquire)) return THR_ERR_OK;
  std::lock_guard<std::mutex> lock(gMtxCreate);
  if (gMtxExists.load(std::memory_order_relaxed)) return THR_ERR_OK;
  ThrRc rc = ThrMtxInit(&gMtx, u"LG");
  if (rc != THR_ERR_OK) {
    LG_ERR_RECORD(LGEINTERN2, u"LgIInitMtx", LgISetReason(u"ThrRwlInit failed (%s)", ThrErrTxt(rc)), 0);
    return rc;
  }
  DPTRC_LINE(2, LgITrc(), u"%s: ThrMtxInit ok\n", u"LgIInitMtx");
  gMtxExists.store(true, std::memory_order_release);
  return THR_ERR_OK;
}

ThrMtx* LgIMtx(void) { return &gMtx; }

int64_t LgINow(void) {
  int64_t (*clock)(void) = gClock.load();
  return clock != nullptr ? clock() : static_cast<int64_t>(time(nullptr));
}

int LgIRand(void) {
  int (*next)(void) = gRandom.load();
  if (next != nullptr) return next();
  gRandState = gRandState * 1103515245u + 12345u;
  return static_cast<int>((gRandState / 65536u) % 32768u);
}

void LgISrand(uint32_t seed) { gRandState = seed; }

void LgISetClock(int64_t (*now)(void)) { gClock.store(now); }
void LgISetRandom(int (*next)(void)) { gRandom.store(next); }

// --- Attachment ----------------------------------------------------------------------

LG_RC LgIAllocAdm(const WEQ_UC* mshost, const WEQ_UC* msserv) {
  static constexpr WEQ_UC kFn[] = u"LgIAllocAdm";
  // The new texts are copied before the stored ones go: a caller may pass
  // the stored text itself.
  WEQ_UC* host = mshost != nullptr ? strdupU(mshost) : nullptr;
  WEQ_UC* serv = msserv != nullptr ? strdupU(msserv) : nullptr;
  bool failed = (mshost != nullptr && host == nullptr) || (msserv != nullptr && serv == nullptr);
  int err = errno;
  LgIForget();
  if (mshost == nullptr || msserv == nullptr) {
    free(host);
    free(serv);
    LG_ERR_RECORD(LGEINVAL, kFn, mshost == nullptr ? u"mshost = NULL" : u"msserv = NULL", 0);
    return LGEINVAL;
  }
  if (failed) {
    const WEQ_UC* what = host == nullptr ? mshost : msserv;
    int32_t len = static_cast<int32_t>((strlenU(what) + 1) * sizeof(WEQ_UC));
    free(host);
    free(serv);
    LG_ERR_RECORD(LGENOMEM, kFn, LgISetReason(u"strdupU %d bytes failed (%s)", len, strerrorU16(err)), 0);
    DPTRC_ERROR(LgITrc(), u"%s: mallocU %d", kFn, err);
    return LGENOMEM;
  }
  lg_mshost = host;
  lg_msserv = serv;
  DPTRC_LINE(2, LgITrc(), u"%s: allocated %d bytes\n", kFn,
             static_cast<int32_t>((strlenU(host) + strlenU(serv) + 2) * sizeof(WEQ_UC)));
  return WEQ_O_K;
}

LG_RC LgIAttach(const WEQ_UC* mshost, const WEQ_UC* msserv) {
  static constexpr WEQ_UC kFn[] = u"LgIAttach";
  if (lg_attached && !MsIsAttached()) {
    // The client dropped the connection after a failure; an attachment
    // kept now would fail every request that follows.
    DPTRC_LINE(2, LgITrc(), u"%s: connection to (%s/%s) lost, attach again\n", kFn, Show(lg_mshost),
               Show(lg_msserv));
    lg_attached = false;
  }
  if (!lg_attached) {
    if (mshost == nullptr || msserv == nullptr) {
      LG_ERR_RECORD(LGEINVAL, kFn, mshost == nullptr ? u"mshost = NULL" : u"msserv = NULL", 0);
      return LGEINVAL;
    }
    return LgIStoreAndConnect(mshost, msserv);
  }
  if (mshost == nullptr || msserv == nullptr) {
    if (lg_mshost == nullptr || lg_msserv == nullptr) {
      DPTRC_LINE(2, LgITrc(), u"%s: attached but lg_mshost=%p, lg_msserv=%p\n", kFn,
                 static_cast<const void*>(lg_mshost), static_cast<const void*>(lg_msserv));
      LG_ERR_RECORD(LGEINVAL, kFn, mshost == nullptr ? u"mshost = NULL" : u"msserv = NULL", 0);
      return LGEINVAL;
    }
    DPTRC_LINE(2, LgITrc(), u"%s: already attached to (%s/%s)\n", kFn, lg_mshost, lg_msserv);
    return WEQ_O_K;
  }
  if (mshost == lg_mshost && msserv == lg_msserv) {
    DPTRC_LINE(2, LgITrc(), u"%s: already attached (identical) to (%s/%s)\n", kFn, lg_mshost, lg_msserv);
    return WEQ_O_K;
  }
  if (lg_mshost != nullptr && lg_msserv != nullptr && strcmpU(mshost, lg_mshost) == 0 &&
      strcmpU(msserv, lg_msserv) == 0) {
    DPTRC_LINE(2, LgITrc(), u"%s: already attached to (%s/%s)\n", kFn, lg_mshost, lg_msserv);
    return WEQ_O_K;
  }
  DPTRC_LINE(2, LgITrc(), u"%s: detach from (%s/%s)\n", kFn, Show(lg_mshost), Show(lg_msserv));
  // The given texts may be the stored ones, which the detach frees.
  WEQ_UC* host = strdupU(mshost);
  WEQ_UC* serv = strdupU(msserv);
  if (host == nullptr || serv == nullptr) {
    int err = errno;
    int32_t len = static_cast<int32_t>((strlenU(host == nullptr ? mshost : msserv) + 1) * sizeof(WEQ_UC));
    free(host);
    free(serv);
    LG_ERR_RECORD(LGENOMEM, kFn, LgISetReason(u"strdupU %d bytes failed (%s)", len, strerrorU16(err)), 0);
    return LGENOMEM;
  }
  // A real detach: the next message server gets a connection of its own.
  LgIDetach(lg_mshost);
  LG_RC rc = LgIStoreAndConnect(host, serv);
  free(host);
  free(serv);
  return rc;
}

LG_RC LgIDetach(const WEQ_UC* mshost) {
  static constexpr WEQ_UC kFn[] = u"LgIDetach";
  if (mshost == nullptr && lg_mshost != nullptr && lg_msserv != nullptr) {
    DPTRC_LINE(2, LgITrc(), u"%s: don't detach from (%s/%s)\n", kFn, lg_mshost, lg_msserv);
    return WEQ_O_K;
  }
  MsDetach();
  if (lg_mshost != nullptr && lg_msserv != nullptr)
    DPTRC_LINE(2, LgITrc(), u"%s: detach from %s/%s\n", kFn, lg_mshost, lg_msserv);
  else
    DPTRC_LINE(2, LgITrc(), u"%s: reset lg_attached flag\n", kFn);
  LgIForget();
  return WEQ_O_K;
}

// --- Group cache ----------------------------------------------------------------------

LG_GROUP_REC* LgICache(void) { return gCache; }

void LgIClearCacheOnce(void) {
  if (gCacheMarker == 1) return;
  gCacheMarker = 1;
  memset(gCache, 0, sizeof gCache);
}

int LgIGroupFree(int index) {
  LG_GROUP_REC* e = &gCache[index];
  DPTRC_LINE(2, LgITrc(), u"%s: freeing index %d (%s/%d/%s)\n", u"LgIGroupFree", index, Show(e->mshost),
             static_cast<int32_t>(e->servNo), e->name);
  free(e->mshost);
  free(e->servers);
  memset(e, 0, sizeof *e);
  return WEQ_O_K;
}

int LgIGetEntry(int64_t now) {
  static constexpr WEQ_UC kFn[] = u"LgIGetEntry";
  for (int i = 0; i < LG_CACHE_SIZE; ++i)
    if (!gCache[i].inUse) {
      DPTRC_LINE(2, LgITrc(), u"%s: return free index %d\n", kFn, i);
      return i;
    }
  int chosen = -1;
  const WEQ_UC* reason = u"expired";
  for (int i = 0; i < LG_CACHE_SIZE && chosen < 0; ++i)
    if (static_cast<int64_t>(gCache[i].timeout) + gCache[i].firstRead < now) chosen = i;
  if (chosen < 0) {
    reason = u"longest unused";
    chosen = 0;
    for (int i = 1; i < LG_CACHE_SIZE; ++i)
      if (gCache[i].lastUse <= gCache[chosen].lastUse) chosen = i;
  }
  const LG_GROUP_REC& e = gCache[chosen];
  DPTRC_LINE(2, LgITrc(), u"%s: return index %d (prev=%s/%d/%s) (%s)\n", kFn, chosen, Show(e.mshost),
             static_cast<int32_t>(e.servNo), e.name, reason);
  LgIGroupFree(chosen);
  return chosen;
}

void LgIResetProcess(void) {
  for (int i = 0; i < LG_CACHE_SIZE; ++i) {
    free(gCache[i].mshost);
    free(gCache[i].servers);
  }
  memset(gCache, 0, sizeof gCache);
  gCacheMarker = 0xFFFFFFFFu;
  LgIFreeRings();
  MsDetach();
  LgIForget();
  lg_timeout.store(10000);
  lg_lb_timeout.store(60000);
  lg_lb_requests.store(1000);
  gRandState = 1;
  gClock.store(nullptr);
  gRandom.store(nullptr);
  LgIKeptMsRc.store(0);
  LgIKeptNiRc.store(0);
}
