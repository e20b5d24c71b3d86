// The converter cache's frame: the process values that a build reads, the
// sizes, the build in its fixed order of steps, the cache07 allocator, the
// store of shift-out/shift-in pairs, the user slots, the flush of the
// per-thread counters, and the mutex-and-permission pair of every writer.
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>

#include "i18n/wequ16/u16fmt.h"
#include "i18n/wequ16/u16str.h"
#include "krn/ntport/ntport.h"
#include "krn/rscp/rscp_int.h"
#include "krn/rscp/rscpcc_int.h"

namespace {

constexpr const WEQ_UC* kCcModule = u" $Id: krn/rscp/rscpcc.cpp $";

// Read without a lock by conversions (see rscpcc_int.h).
std::atomic<int32_t> gState{RSCP_STATE_NONE};
std::atomic<rscpCCC_t*> gCache{nullptr};
std::atomic<uint32_t> gLastVersion{0};
std::atomic<uint8_t> gMbcInSbcs{0};

rscpRc_t Report(int rc, int location, int line, const WEQ_UC* text, const WEQ_UC* code, const WEQ_UC* param1,
                const WEQ_UC* param2 = nullptr, int mask = -1) {
  return rscpIReport(kCcModule, rc, location, line, text, code, param1, param2, mask);
}

// A parameter's value when it is set and not empty.
const WEQ_UC* NonEmptyParam(const WEQ_UC* name) {
  const WEQ_UC* v = rscpHooks.param(name);
  return v != nullptr && v[0] != 0 ? v : nullptr;
}

long RoundUp16(long v) { return (v + 15) / 16 * 16; }

uint32_t MaxWithFloor(const WEQ_UC* name, uint32_t floor) {
  const WEQ_UC* v = NonEmptyParam(name);
  if (v == nullptr) return floor;
  return std::max(static_cast<uint32_t>(strtolU(v, nullptr, 10)), floor);
}

void FillBlank(WEQ_UC* dst, size_t n, const WEQ_UC* src) {
  size_t len = src != nullptr ? strnlenU16(src, n) : 0;
  std::fill(dst, dst + n, u' ');
  if (len > 0) memcpy(dst, src, len * sizeof(WEQ_UC));
}

}  // namespace

// --- Process values -------------------------------------------------------------------

int32_t rscpGetState(void) { return gState.load(std::memory_order_acquire); }
void rscpSetState(int32_t state) { gState.store(state, std::memory_order_release); }
rscpCCC_t* rscpGetCache(void) {
  if (rscpCCC_t* target = rscpIBuildTarget()) return target;
  return gCache.load(std::memory_order_acquire);
}
void rscpSetCache(rscpCCC_t* cache) { gCache.store(cache, std::memory_order_seq_cst); }
rscpCCC_t* rscpIGetPublishedCache(void) { return gCache.load(std::memory_order_seq_cst); }
uint32_t rscpGetLastVersion(void) { return gLastVersion.load(std::memory_order_acquire); }
void rscpSetLastVersion(uint32_t version) { gLastVersion.store(version, std::memory_order_release); }
uint8_t rscpGetMbcInSbcs(void) { return gMbcInSbcs.load(std::memory_order_relaxed); }

void rscpccIReset(void) {
  rscpSetState(RSCP_STATE_NONE);
  rscpSetCache(nullptr);
  rscpSetLastVersion(0);
  gMbcInSbcs.store(0, std::memory_order_relaxed);
  rscpmlIReset();
}

int rscpCompareCodePage(const rscpCp_t* a, const rscpCp_t* b) {
  for (int i = 0; i < 4; ++i) {
    if ((*a)[i] != (*b)[i]) return (*a)[i] < (*b)[i] ? -1 : 1;
  }
  return 0;
}

// --- Sizes ---------------------------------------------------------------------------

rscpRc_t find_cachesizes(long* cachesize, long* cache07) {
  WEQ_UC param[64];
  long size = RSCP_CACHESIZE_DEFAULT;
  if (const WEQ_UC* v = NonEmptyParam(u"rsts/ccc/cachesize")) size = strtolU(v, nullptr, 10);
  if (size < static_cast<long>(RSCP_CACHESIZE_MIN)) {
    snprintfU16(param, std::size(param), u"cachesize&%ld&%ld&", size, static_cast<long>(RSCP_CACHESIZE_MIN));
    return Report(RSCPEINTERN, 11, __LINE__, u"WEQPARAM(rsts/ccc/cachesize) too small", u"F24", param);
  }
  if (size > static_cast<long>(RSCP_CACHESIZE_MAX)) {
    snprintfU16(param, std::size(param), u"cachesize&%ld&%ld&", size, static_cast<long>(RSCP_CACHESIZE_MAX));
    Report(RSCPEINTERN, 143, __LINE__, u"WEQPARAM(rsts/ccc/cachesize) too large", u"CQH", param);
    size = RSCP_CACHESIZE_MAX;
  }
  size = RoundUp16(size);
  long c07 = size / 10;
  if (const WEQ_UC* v = NonEmptyParam(u"rsts/ccc/cache07")) c07 = strtolU(v, nullptr, 10);
  if (c07 < static_cast<long>(RSCP_CACHE07_MIN)) {
    snprintfU16(param, std::size(param), u"cache07&%ld&%ld&", c07, static_cast<long>(RSCP_CACHE07_MIN));
    return Report(RSCPEINTERN, 11, __LINE__, u"WEQPARAM(rsts/ccc/cache07) too small", u"F24", param);
  }
  c07 = RoundUp16(c07);
  // Above half the length the T2 area's bottom would wrap below the T1 area.
  if (c07 > size / 2) {
    snprintfU16(param, std::size(param), u"cache07&%ld&%ld&", c07, size / 2);
    return Report(RSCPEINTERN, 11, __LINE__, u"WEQPARAM(rsts/ccc/cache07) too large", u"F24", param);
  }
  *cachesize = size;
  *cache07 = c07;
  return 0;
}

rscpRc_t find_weqcode_max(uint32_t* value) {
  *value = MaxWithFloor(u"rscp/ccc/max_intern_code", RSCP_WEQCODE_FLOOR);
  return 0;
}

rscpRc_t find_uchar_max(uint32_t* value) {
  *value = MaxWithFloor(u"rscp/ccc/max_intern_uchar", RSCP_UCHAR_FLOOR);
  return 0;
}

// --- Build ---------------------------------------------------------------------------

rscpRc_t rscpBuildCache(long size, long cache07, uint32_t codeMax, const WEQ_UC* method, int acceptMask) {
  rscpCCC_t* c = rscpGetCache();
  WEQ_UC param[64];
  if (c == nullptr || size < static_cast<long>(sizeof(rscpCCC_t)) ||
      size > static_cast<long>(RSCP_CACHESIZE_MAX) || cache07 < 0 || cache07 > size / 2) {
    snprintfU16(param, std::size(param), u"rscpBuildCache(%p,%ld,%ld)", static_cast<void*>(c), size, cache07);
    return Report(RSCPEINTERN, 18, __LINE__, u"assertion failed", u"F6S", param, nullptr, acceptMask);
  }
  // Marks and the rollback point describe the tables of the block's old
  // contents; a fresh build starts without them.
  rscpmlIReset();
  memset(static_cast<void*>(c), 0, static_cast<size_t>(size));

  c->kind = RSCP_CCC_KIND;
  c->protect = rscpIProtectOption();
  memcpy(c->eyeCatcher, u">>RSCPCCC<< ", sizeof c->eyeCatcher);
  FillBlank(c->allocMethod, std::size(c->allocMethod), method);
  c->version = RSCP_CCC_VERSION_HALF;
  rscpHooks.timeStamp(c->createdate);
  memcpy(c->lastreorgdate, c->createdate, sizeof c->lastreorgdate);
  c->pidCreate = static_cast<uint32_t>(getpid());
  c->ppidCreate = static_cast<uint32_t>(NT_getppid());
  c->noof_reorgs = 0;
  c->reorg_done = rscpGetState() == RSCP_STATE_REINIT ? 0 : 1;
  c->users[0] = reinterpret_cast<uintptr_t>(c);
  c->max_weq_code = codeMax;
  c->max_enhanced_uchar = RSCP_UCHAR_FLOOR;
  const WEQ_UC* mis = rscpHooks.param(u"rscp/mbc_in_sbcs");
  c->mbc_in_sbcs = mis != nullptr && mis[0] == u'1' ? 1 : 0;
  gMbcInSbcs.store(c->mbc_in_sbcs, std::memory_order_relaxed);
  c->mbc_copy = 2;
  if (const WEQ_UC* v = NonEmptyParam(u"rscp/mbc_copy")) c->mbc_copy = strtolU(v, nullptr, 10);
  for (auto& cp : c->db_cp_list) std::fill(std::begin(cp), std::end(cp), u' ');
  std::fill(std::begin(c->legacy_cp), std::end(c->legacy_cp), u' ');
  c->length = c->first_t7 = c->end_t7 = static_cast<uint32_t>(size);
  c->cache07 = static_cast<uint32_t>(cache07);
  c->first_t2 = c->end_t2 = static_cast<uint32_t>(size - cache07);

  if (rscpRc_t rc = read_TCP00()) return rc;

  rscpCpEntry_t* dir = rscpDirectory(c);
  std::stable_sort(dir, dir + c->noof_char_codes, [](const rscpCpEntry_t& a, const rscpCpEntry_t& b) {
    return rscpCompareCodePage(&a.cp, &b.cp) < 0;
  });
  c->tcp01_map = static_cast<uint32_t>(sizeof(rscpCCC_t) + c->noof_char_codes * sizeof(rscpCpEntry_t));
  c->tcp01_mappings = 0;

  for (rscpRc_t (*step)(void) : {rscplrc__reset_counters, read_TCP01, read_TCP0D, read_TCPDB, read_TCP0I}) {
    if (rscpRc_t rc = step()) return rc;
  }
  if (rscpIOption25() != 0) {
    if (rscpRc_t rc = read_RFCDES()) return rc;
    if (rscpRc_t rc = consolidate_TCP0I_RFCDES()) return rc;
  }
  c->version = RSCP_CCC_VERSION_3Q;

  const uint64_t mapEnd = uint64_t{c->tcp01_map} + 3 * (uint64_t{c->tcp01_mappings} + 1);
  c->first_t1 = c->end_t1 =
      static_cast<uint32_t>((mapEnd + RSCP_T1_BYTES - 1) / RSCP_T1_BYTES * RSCP_T1_BYTES);
  if (mapEnd <= c->end_t2) {
    c->version = RSCP_CCC_VERSION;
    c->reorg_version = rscpGetLastVersion() + 1;
    rscpSetLastVersion(c->reorg_version);
    rscpsv__save_marks();
    return 0;
  }
  snprintfU16(param, std::size(param), u"cachesize&%ld&?&", static_cast<long>(c->length));
  return Report(RSCPEINTERN, 17, __LINE__, u"WEQPARAM(rsts/ccc/cachesize) too small", u"F24", param, nullptr,
                acceptMask);
}

// --- Cache07 area ------------------------------------------------------------------------

uint32_t rscpITakeCache07(int64_t size, int align) {
  rscpCCC_t* c = rscpGetCache();
  if (c == nullptr) return 0;
  // Signed, so that a size beyond the area cannot wrap past the bound.
  int64_t first = size >= 0 ? int64_t{c->first_t7} - size : -1;
  if (first >= 0) first &= ~int64_t{align - 1};
  if (first < int64_t{c->end_t2} || first <= 0) {
    c->was_overflow = 1;
    return 0;
  }
  c->first_t7 = static_cast<uint32_t>(first);
  return c->first_t7;
}

rscpRc_t rscpAllocCache07(const void* data, long size, uint32_t* offset, void** address) {
  if (offset != nullptr) *offset = 0;
  if (address != nullptr) *address = nullptr;
  rscpCCC_t* c = rscpGetCache();
  WEQ_UC param[48];
  const uint32_t first = rscpITakeCache07(size, 8);
  if (first == 0) {
    snprintfU16(param, std::size(param), u"cache07&%ld&?&",
                c != nullptr ? static_cast<long>(c->end_t7) - static_cast<long>(c->end_t2) : 0L);
    return Report(RSCPETOOLONG, 92, __LINE__, u"WEQPARAM(rsts/ccc/cache07) small", u"F1A", param);
  }
  unsigned char* at = reinterpret_cast<unsigned char*>(c) + first;
  if (data != nullptr && size > 0) memcpy(at, data, static_cast<size_t>(size));
  if (offset != nullptr) *offset = c->first_t7;
  if (address != nullptr) *address = at;
  return 0;
}

// --- Shift pairs ----------------------------------------------------------------------------

rscpRc_t rscpAddShiftPair(int strtLen, const uint8_t* strt, int backLen, const uint8_t* back) {
  rscpCCC_t* c = rscpGetCache();
  WEQ_UC param[64];
  if (strtLen < 0 || backLen < 0 || strtLen > RSCP_SHIFT_SEQ || backLen > RSCP_SHIFT_SEQ) {
    snprintfU16(param, std::size(param), u"TCPSRULE&CPATTR*&?&%d/%d", strtLen, backLen);
    return Report(RSCPEINTERN, 88, __LINE__, u"Shift-Out or Shift-In too long", u"CPU", param);
  }
  if (c == nullptr || c->noof_shift_pairs >= RSCP_SHIFT_PAIRS) {
    snprintfU16(param, std::size(param), u"More than %d distinct STRT/BACK sequences",
                static_cast<int>(RSCP_SHIFT_PAIRS));
    return Report(RSCPETOOLONG, 89, __LINE__, u"Too many distinct Shift-Out or Shift-In sequences", u"CP6",
                  param);
  }
  rscpShiftPair_t& p = c->shiftPairs[c->noof_shift_pairs];
  p = rscpShiftPair_t{};
  p.strtLen = static_cast<uint16_t>(strtLen);
  p.backLen = static_cast<uint16_t>(backLen);
  if (strtLen > 0) memcpy(p.strt, strt, static_cast<size_t>(strtLen));
  if (backLen > 0) memcpy(p.back, back, static_cast<size_t>(backLen));
  ++c->noof_shift_pairs;
  return 0;
}

bool rscpGetShiftPair(int index, int* strtLen, const uint8_t** strt, int* backLen, const uint8_t** back) {
  rscpCCC_t* c = rscpGetCache();
  if (c == nullptr || index < 0 || index >= RSCP_SHIFT_PAIRS || index >= c->noof_shift_pairs) return false;
  const rscpShiftPair_t& p = c->shiftPairs[index];
  if (strtLen != nullptr) *strtLen = p.strtLen;
  if (strt != nullptr) *strt = p.strt;
  if (backLen != nullptr) *backLen = p.backLen;
  if (back != nullptr) *back = p.back;
  return true;
}

int rscpFindShiftPair(int strtLen, const uint8_t* strt, int backLen, const uint8_t* back) {
  rscpCCC_t* c = rscpGetCache();
  if (c == nullptr) return -1;
  const int n = std::min<int>(c->noof_shift_pairs, RSCP_SHIFT_PAIRS);
  for (int i = 0; i < n; ++i) {
    const rscpShiftPair_t& p = c->shiftPairs[i];
    if (p.strtLen != strtLen || p.backLen != backLen) continue;
    if ((strtLen == 0 || memcmp(p.strt, strt, static_cast<size_t>(strtLen)) == 0) &&
        (backLen == 0 || memcmp(p.back, back, static_cast<size_t>(backLen)) == 0)) {
      return i;
    }
  }
  return -1;
}

// --- Users, counters, locking -----------------------------------------------------------------

void rscpRegisterCacheUser(int mode, int takeLock, int32_t* state) {
  rscpCCC_t* c = rscpGetCache();
  if (c == nullptr) return;
  const uint64_t self = reinterpret_cast<uintptr_t>(c);
  uint64_t* freeSlot = nullptr;
  for (uint64_t& slot : c->users) {
    if (slot == self) return;
    if (slot == 0 && freeSlot == nullptr) freeSlot = &slot;
  }
  if (freeSlot == nullptr) return;
  if (mode == 1) {
    if (takeLock == 0) return;
    if (rscpHooks.getWritePermission(__LINE__) != 0) return;
    *freeSlot = self;
    if (state != nullptr) *state = RSCP_STATE_INIT;
    rscpFlushThrCounters();
    rscpHooks.releaseWritePermission(__LINE__);
  } else if (mode == 2) {
    *freeSlot = self;
    if (state != nullptr) *state = RSCP_STATE_INIT;
  }
}

void rscpFlushThrCounters(void) {
  rscpCCC_t* c = rscpGetCache();
  if (rscpGetState() != RSCP_STATE_INIT || c == nullptr) return;
  rscpThrCtx_t* t = rscpGetThrCtx();
  auto move = [](auto& into, auto& from) {
    if (from != 0) {
      into += from;
      from = 0;
    }
  };
  move(c->bytesIn, t->bytesIn);
  move(c->bytesOut, t->bytesOut);
  move(c->lookups, t->lookups);
  move(c->createObject, t->createObject);
  for (int i = 0; i < RSCP_CLONE_COUNTERS; ++i) move(c->clones[i], t->clones[i]);
  for (int i = 0; i < RSCP_TABLES; ++i) move(c->tableReads[i], t->tableReads[i]);
}

rscpRc_t rscpGetSemaAndWritePermission(int location) {
  if (rscpRc_t rc = rscpHooks.lock(location)) return rc;
  if (rscpRc_t rc = rscpHooks.getWritePermission(location)) {
    rscpHooks.unlock(location);
    return rc;
  }
  rscpFlushThrCounters();
  return 0;
}

rscpRc_t rscpReleaseWritePermissionAndSema(int location) {
  const rscpRc_t released = rscpHooks.releaseWritePermission(location);
  if (rscpRc_t rc = rscpHooks.unlock(location)) {
    rscpHooks.describeSema(u"after failing rscpReleaseWritePermissionAndSema", location, rscpeLineAdapter,
                           reinterpret_cast<void*>(rscph_ErrorOutput), 0, nullptr);
    return rc;
  }
  return released;
}
