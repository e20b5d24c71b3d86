// Generations of the converter cache: the per-thread pins of the calls that
// read it, the retired blocks that wait for their last pin, and the build
// target of a rebuild (see rscpmc_int.h).
//
// Each thread that pins owns one slot of a process-wide list; a slot is
// claimed once per thread and handed back when the thread ends, never freed.
// A pin stores the generation in the thread's own slot and reads the
// published pointer again: if that still names the same block, a rebuild
// that publishes later must see the slot when it scans for pins (both sides
// are sequentially consistent), so the block outlives the pin.
#include <pthread.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "krn/rscp/rscp_int.h"
#include "krn/rscp/rscpmc_int.h"

namespace {

// A slot fills a cache line of its own: pins of different threads never
// write a line that another thread's pin writes.
struct alignas(64) PinSlot {
  std::atomic<rscpCCC_t*> held{nullptr};
  std::atomic<bool> used{true};
  PinSlot* next = nullptr;
};

std::atomic<PinSlot*> gPinSlots{nullptr};
// Blocks waiting for their last pin; the count lets an unpin skip the lock.
std::mutex gRetireMutex;
std::vector<rscpCCC_t*>* gRetired = nullptr;  // under gRetireMutex
std::atomic<int> gRetiredCount{0};

// Trivially destructible, so that the fast path reads them without a guard.
constinit thread_local PinSlot* tPinSlot = nullptr;
constinit thread_local int tPinDepth = 0;
constinit thread_local rscpCCC_t* tBuildTarget = nullptr;

// Hands the slot back when the thread ends.
struct SlotOwner {
  PinSlot* slot = nullptr;
  ~SlotOwner() {
    if (slot == nullptr) return;
    slot->held.store(nullptr, std::memory_order_release);
    slot->used.store(false, std::memory_order_release);
  }
};
thread_local SlotOwner tSlotOwner;

PinSlot* ClaimSlot() {
  for (PinSlot* s = gPinSlots.load(std::memory_order_acquire); s != nullptr; s = s->next) {
    bool expected = false;
    if (!s->used.load(std::memory_order_relaxed) &&
        s->used.compare_exchange_strong(expected, true, std::memory_order_acq_rel)) {
      tPinSlot = tSlotOwner.slot = s;
      return s;
    }
  }
  auto* s = new PinSlot;
  PinSlot* head = gPinSlots.load(std::memory_order_relaxed);
  do {
    s->next = head;
  } while (!gPinSlots.compare_exchange_weak(head, s, std::memory_order_release, std::memory_order_relaxed));
  tPinSlot = tSlotOwner.slot = s;
  return s;
}

bool Pinned(const rscpCCC_t* block);
int Reclaim(bool wait);

bool Pinned(const rscpCCC_t* block) {
  for (PinSlot* s = gPinSlots.load(std::memory_order_acquire); s != nullptr; s = s->next) {
    if (s->held.load(std::memory_order_seq_cst) == block) return true;
  }
  return false;
}

rscpCCC_t* Published() { return rscpIGetPublishedCache(); }

// Stores the published generation in the slot and returns it once the
// published pointer, read again after the store, still names it: a rebuild
// that retires it later then sees the slot when it scans for pins.
rscpCCC_t* HoldPublished(PinSlot* s) {
  rscpCCC_t* c = Published();
  for (;;) {
    s->held.store(c, std::memory_order_seq_cst);
    rscpCCC_t* again = Published();
    if (again == c) return c;
    c = again;
  }
}

}  // namespace

rscpCCC_t* rscpIBuildTarget(void) { return tBuildTarget; }
void rscpSetBuildTarget(rscpCCC_t* block) { tBuildTarget = block; }

rscpCCC_t* rscpPinCache(void) {
  PinSlot* s = tPinSlot != nullptr ? tPinSlot : ClaimSlot();
  if (tPinDepth++ > 0) return s->held.load(std::memory_order_relaxed);
  return HoldPublished(s);
}

void rscpUnpinCache(void) {
  if (tPinDepth <= 0) return;
  if (--tPinDepth > 0) return;
  tPinSlot->held.store(nullptr, std::memory_order_release);
  if (gRetiredCount.load(std::memory_order_relaxed) > 0) Reclaim(false);
}

rscpCCC_t* rscpPinnedCache(void) {
  return tPinDepth > 0 ? tPinSlot->held.load(std::memory_order_relaxed) : nullptr;
}

bool rscpPinIsCurrent(void) {
  return tPinDepth == 0 || tPinSlot->held.load(std::memory_order_relaxed) == Published();
}

// Outside the mutex too: a rebuild may retire the generation read before
// the slot holds it, which HoldPublished sees.
void rscpMovePin(void) {
  if (tPinDepth > 0) HoldPublished(tPinSlot);
}

void rscpRetireCache(rscpCCC_t* old) {
  if (old == nullptr) return;
  {
    std::lock_guard<std::mutex> lock(gRetireMutex);
    if (gRetired == nullptr) gRetired = new std::vector<rscpCCC_t*>;
    gRetired->push_back(old);
    gRetiredCount.store(static_cast<int>(gRetired->size()), std::memory_order_relaxed);
  }
  rscpReclaimRetired();
}

int rscpReclaimRetired(void) { return Reclaim(true); }

namespace {

// An unpin does not wait for another thread's reclaim: that one frees what
// it can, and the next unpin tries again.
int Reclaim(bool wait) {
  std::vector<rscpCCC_t*> toFree;
  int left = 0;
  {
    std::unique_lock<std::mutex> lock(gRetireMutex, std::defer_lock);
    if (wait) {
      lock.lock();
    } else if (!lock.try_lock()) {
      return gRetiredCount.load(std::memory_order_relaxed);
    }
    if (gRetired == nullptr) return 0;
    std::vector<rscpCCC_t*> keep;
    for (rscpCCC_t* b : *gRetired) (Pinned(b) ? keep : toFree).push_back(b);
    gRetired->swap(keep);
    left = static_cast<int>(gRetired->size());
    gRetiredCount.store(left, std::memory_order_relaxed);
  }
  for (rscpCCC_t* b : toFree) {
    uint8_t released = 0;  // a retired generation is no finish: the process flag stays
    rscpHooks.releaseCache(b, __LINE__, &released);
  }
  return left;
}

}  // namespace

void rscppinIReset(void) {
  rscpReclaimRetired();
  tBuildTarget = nullptr;
}
