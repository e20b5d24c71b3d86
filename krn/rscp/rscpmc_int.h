// Inside the converter's control: the start, finish and rebuild of the
// cache, its generations and the pins of the calls that read it, and the
// private-use parameters. Only the converter's own sources and tests include
// this header.
//
// Generations. Conversions read the cache without a lock. A rebuild
// therefore never touches the block that calls may be reading: it builds a
// new generation in a fresh block under the 'CCC' mutex, publishes it, and
// retires the old block, which is freed once no call has it pinned.
//
// A call pins the current generation for its duration (rscpPinCache /
// rscpUnpinCache, or rscpCachePin). A pin writes only the calling thread's
// own slot; pins nest on one thread. A call that runs a rebuild itself moves
// its pin to the new generation. Loads and choices made under the mutex
// first check with rscpPinIsCurrent that the caller's generation is still
// the published one.
#ifndef KRN_RSCP_RSCPMC_INT_H
#define KRN_RSCP_RSCPMC_INT_H

#include <stdint.h>

#include <atomic>

#include "krn/rscp/rscpcc_int.h"

// --- Generations ------------------------------------------------------------------------

// Pins the published generation (NULL when there is none) for the calling
// thread and returns it; a nested pin returns the generation pinned already.
rscpCCC_t* rscpPinCache(void);
// Ends one pin; the outermost unpin frees retired generations that nobody
// pins any more.
void rscpUnpinCache(void);
// The calling thread's pinned generation, NULL without a pin.
rscpCCC_t* rscpPinnedCache(void);
// True without a pin, or when the pinned generation is the published one.
bool rscpPinIsCurrent(void);
// Moves the calling thread's pin (if any) to the published generation.
void rscpMovePin(void);

// Hands a block that is no longer published over for freeing (hook slot 32,
// without touching the released flag of the finish).
void rscpRetireCache(rscpCCC_t* old);
// Frees the retired blocks that no thread pins; returns how many wait still.
int rscpReclaimRetired(void);

// While set, rscpGetCache on the calling thread answers this block: the
// rebuild fills a fresh block through the same loaders that fill the
// published one. NULL ends it.
void rscpSetBuildTarget(rscpCCC_t* block);

class rscpCachePin {
 public:
  rscpCachePin() : cache_(rscpPinCache()) {}
  ~rscpCachePin() { rscpUnpinCache(); }
  rscpCachePin(const rscpCachePin&) = delete;
  rscpCachePin& operator=(const rscpCachePin&) = delete;
  rscpCCC_t* get() const { return cache_; }
  // What the call may read without the lock: the block this thread builds
  // during a rebuild, else the generation it pins now (after a move too).
  // The published pointer may name a newer generation that nobody pins,
  // which a rebuild on another thread can retire and free at any time.
  rscpCCC_t* readable() const {
    if (rscpCCC_t* target = rscpIBuildTarget()) return target;
    return rscpPinnedCache();
  }

 private:
  rscpCCC_t* cache_;
};

// The generation's reorg_version as an engine entry compares it with its
// object's: an invalidation raises it under the mutex while calls read it.
inline uint32_t rscpCacheVersion(const rscpCCC_t* c) {
  return std::atomic_ref<uint32_t>(const_cast<rscpCCC_t*>(c)->reorg_version).load(std::memory_order_acquire);
}
inline void rscpSetCacheVersion(rscpCCC_t* c, uint32_t v) {
  std::atomic_ref<uint32_t>(c->reorg_version).store(v, std::memory_order_release);
}

// reorg_done as the unlocked checks of the lookups read it: a thread that
// invalidates (under the mutex) clears it while they read.
inline uint8_t rscpReorgDone(const rscpCCC_t* c) {
  return std::atomic_ref<uint8_t>(const_cast<rscpCCC_t*>(c)->reorg_done).load(std::memory_order_acquire);
}
inline void rscpSetReorgDone(rscpCCC_t* c, uint8_t v) {
  std::atomic_ref<uint8_t>(c->reorg_done).store(v, std::memory_order_release);
}

// --- Private-use parameters ---------------------------------------------------------------

enum : int { RSCP_PUA_FRAME1 = 0, RSCP_PUA_ICON2 = 1, RSCP_PUA_DBC_REPL = 2, RSCP_PUA_PRINT5 = 3 };
uint32_t rscpGetPua(int which);
// The frame and icon introducers as big-endian byte pairs, the icon
// introducer as its three UTF-8 bytes.
void rscpGetFramePair(uint8_t pair[2]);
void rscpGetIconPair(uint8_t pair[2]);
void rscpGetIconUtf8(uint8_t bytes[3]);
// Reads one parameter: a value of exactly four hexadecimal digits from
// E000 to F8FF replaces *value; otherwise *value stays and a report names
// the parameter and the reason. Returns 0.
rscpRc_t rscpReadPuaParam(const WEQ_UC* name, uint32_t* value);

// --- Control ----------------------------------------------------------------------------------

// The released flag (set when the finish freed the cache) and the nesting
// counter of rebuild calls.
uint8_t rscpIGetReleased(void);
int32_t rscpIGetReorgNesting(void);
// The reorganisation as lookups call it: nesting counter and trace labels
// around rscpnr__need_reorg(0, -1).
rscpRc_t rscpINeedReorgLabelled(void);
// The version of a rebuild with fresh sizes: one above the larger of the
// last known version and the old version (2 to 999999, else 1; an old
// number of rebuilds above that and below 1000000 takes its place).
uint32_t rscpINextReorgVersion(uint32_t lastKnown, uint32_t oldVersion, uint32_t oldReorgs);
// The second line of an impromptu start's notice.
#define RSCP_IMPROMPTU_REFERENCE \
  u"Reference: the converter is started by INIT; a conversion before INIT starts it impromptu."
void reinit(void);

// Test seam: the next count cache builds of a start or rebuild end with rc
// after building.
void rscpmcTestFailBuilds(int count, rscpRc_t rc);

#endif
