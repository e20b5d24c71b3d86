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

// The calling thread's id, cached per thread (0: not asked yet; the kernel
// never gives 0).
inline thread_local ThrId tls_threadId = 0;
ThrId ThrIFetchId();
inline ThrId ThrICurrentId() {
  ThrId id = tls_threadId;
  return id != 0 ? id : ThrIFetchId();
}

// --- Keys -----------------------------------------------------------------

// A key handle is (generation << kIndexBits) | index; the generation tells a
// reused index apart from its former key.
constexpr unsigned kIndexBits = 10;
constexpr uint32_t kMaxKeys = 1u << kIndexBits;
constexpr uint32_t kIndexMask = kMaxKeys - 1;

// Number of keys alive (nodes in the key list).
uint32_t ThrIKeyCount();

// Releases the process's pthread key that triggers the thread-detach
// sequence; threads re-arm it on their next stored value.
void ThrIDetachKeyDrop();

// Threads that hold a key table now (for the leak checks of the tests).
extern std::atomic<long> ThrIThreadTablesAlive;

// Frees the calling thread's key table when it holds no value.
void ThrIReleaseThreadTable();

}  // namespace thr

#endif
