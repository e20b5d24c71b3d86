// Internals of the thread library, shared by its sources and its tests.
#ifndef KRN_THR_THR_INT_H
#define KRN_THR_THR_INT_H

#include <atomic>
#include <cstdint>

#include "krn/thr/thr.h"

namespace thr {

// Process-wide state. initialised: the thread list and atexit registration
// are done. active: ThrProcInit succeeded; the locks work.
extern std::atomic<bool> g_initialised;
extern std::atomic<bool> g_active;

inline bool Active() { return g_active.load(std::memory_order_acquire); }

// The library's own initialisation (thread list entry, atexit), once.
ThrRc ThrIInit();

// Creation lock: serialises the first-time initialisation and the deletion
// of every ThrCS. Only section set-up and tag copies run under it; it is
// taken inside no other lock of this library, and the key-list lock is never
// taken under it.
void CreationLock();
void CreationUnlock();

// Heap copy of a 0-terminated tag; *out is NULL for a NULL tag. false when
// the copy cannot be allocated.
bool DupTag(const WEQ_UC* tag, WEQ_UC** out);

// Initialises m as a recursive mutex: 0 or 12.
ThrRc InitRecursive(pthread_mutex_t* m);

// Unlock of a recursive section whose lock count the caller keeps beside it.
// Checks ownership with a trylock (which succeeds at once, without an atomic
// operation, for the owner) so that the count is read only while held.
// Returns 0, 10 when another thread holds the section, or aborts with the
// panic line "<who>: PANIC: #unlock > #lock, tag: "<tag>"" when the count
// would fall below 0.
ThrRc UnlockCounted(pthread_mutex_t* m, int32_t* count, const WEQ_UC* tag, const WEQ_UC* who);

// --- Keys -----------------------------------------------------------------

// A key handle is (generation << kIndexBits) | index; the generation tells a
// reused index apart from its former key.
constexpr unsigned kIndexBits = 10;
constexpr uint32_t kMaxKeys = 1u << kIndexBits;
constexpr uint32_t kIndexMask = kMaxKeys - 1;

// Number of values the calling thread currently holds in its key table
// (non-NULL values of live keys), and the table's capacity.
uint32_t ThrIThreadValueCount();
uint32_t ThrIThreadTableCapacity();

// The thread-detach sequence: the hook, then ThrKeyCleanup. When the thread
// ends, its key table is released after it.
void ThrIThreadDetach();

// Number of keys alive (nodes in the key list).
uint32_t ThrIKeyCount();

// Releases the process's pthread key that triggers the thread-detach
// sequence; threads re-arm it on their next stored value.
void ThrIDetachKeyDrop();

// Frees the calling thread's key table when it holds no value.
void ThrIReleaseThreadTable();

}  // namespace thr

#endif
