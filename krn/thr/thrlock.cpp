// Plain mutexes, guarded critical sections and the recursive mutex. All
// three are recursive. The last two keep their holder and lock count beside
// their lock, which their unlock checks need anyway; a nested lock or
// unlock by the holder is counted there and never reaches the lock, so the
// lock is taken once, by the outermost lock. The plain and the recursive
// mutex lock recursive pthread mutexes; a guarded section locks a futex
// word of its own (Linux): taking and leaving it uncontended is one atomic
// operation each, with no call into the C library.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>

#include "i18n/wequ16/u16fmt.h"
#include "krn/thr/thr_int.h"

namespace thr {

namespace {

// Creation lock (see thr_int.h).
pthread_mutex_t g_creationLock = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;

[[noreturn]] void Panic(const WEQ_UC* who, const WEQ_UC* tag) {
  fprintfU16(stderr, u"%s: PANIC: #unlock > #lock, tag: \"%s\"\n", who, tag != nullptr ? tag : u"not set");
  fflush(stderr);
  abort();
}

// The lock word of a guarded section: 0 free, 1 held, 2 held while threads
// wait (or may wait) in the kernel, so that leaving wakes one of them.
std::atomic_ref<uint32_t> Word(uint32_t* w) { return std::atomic_ref<uint32_t>(*w); }

void Futex(uint32_t* w, int op, uint32_t value) {
  syscall(SYS_futex, w, op | FUTEX_PRIVATE_FLAG, value, nullptr, nullptr, 0);
}

// Taking a held word: marked as waited for, then sleeping in the kernel
// until it is free. No spinning: under contention the threads that spin
// only pull the word's cache line away from the holder.
[[gnu::noinline]] void TakeContended(uint32_t* w) {
  auto word = Word(w);
  while (word.exchange(2, std::memory_order_acquire) != 0) Futex(w, FUTEX_WAIT, 2);
}

inline void Take(uint32_t* w) {
  uint32_t c = 0;
  if (!Word(w).compare_exchange_strong(c, 1, std::memory_order_acquire, std::memory_order_relaxed))
    TakeContended(w);
}

inline void Leave(uint32_t* w) {
  if (Word(w).exchange(0, std::memory_order_release) == 2) Futex(w, FUTEX_WAKE, 1);
}

inline void Take(pthread_mutex_t* m) { pthread_mutex_lock(m); }
inline void Leave(pthread_mutex_t* m) { pthread_mutex_unlock(m); }

std::atomic_ref<uint32_t> Magic(ThrCS* cs) { return std::atomic_ref<uint32_t>(cs->magic); }

// Under the creation lock: initialises cs unless it is initialised already.
ThrRc CSInitLocked(ThrCS* cs, const WEQ_UC* tag) {
  if (Magic(cs).load(std::memory_order_relaxed) == THR_CS_MAGIC) return THR_ERR_EXISTS;
  WEQ_UC* copy = nullptr;
  if (!DupTag(tag, &copy)) return THR_ERR_NO_MEMORY;
  cs->cs = 0;
  cs->owner = -1;
  cs->count = 0;
  cs->tag = copy;
  // Readers that see the magic without the creation lock see the section.
  Magic(cs).store(THR_CS_MAGIC, std::memory_order_release);
  return THR_ERR_OK;
}

}  // namespace

void CreationLock() { pthread_mutex_lock(&g_creationLock); }
void CreationUnlock() { pthread_mutex_unlock(&g_creationLock); }

bool DupTag(const WEQ_UC* tag, WEQ_UC** out) {
  *out = nullptr;
  if (tag == nullptr) return true;
  size_t n = 0;
  while (tag[n] != 0) ++n;
  auto* copy = static_cast<WEQ_UC*>(malloc((n + 1) * sizeof(WEQ_UC)));
  if (copy == nullptr) return false;
  memcpy(copy, tag, (n + 1) * sizeof(WEQ_UC));
  *out = copy;
  return true;
}

ThrRc InitRecursive(pthread_mutex_t* m) {
  pthread_mutexattr_t attr;
  if (pthread_mutexattr_init(&attr) != 0) return THR_ERR_OS;
  int rc = pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  if (rc == 0) rc = pthread_mutex_init(m, &attr);
  pthread_mutexattr_destroy(&attr);
  return rc == 0 ? THR_ERR_OK : THR_ERR_OS;
}

namespace {

std::atomic_ref<int32_t> Owner(int32_t* owner) { return std::atomic_ref<int32_t>(*owner); }

// Lock and unlock of a section that keeps its lock count and its owner
// beside the mutex (ThrCS, ThrRecMtx). The owner (the holder's
// thread id, -1 when free) is set by the outermost lock and cleared by the
// last unlock, and read by any thread without the mutex: only the holder can
// find its own id there, so a nested lock or an unlock that does find it
// needs nothing more. The count is changed only by the holder. An unlock by a
// thread that does not hold the section returns 10 when another thread
// holds it, and when nobody does writes the panic line
// "<who>: PANIC: #unlock > #lock, tag: "<tag>"" to stderr and aborts.

template <class Section>
ThrRc LockCounted(Section* s) {
  auto me = static_cast<int32_t>(ThrICurrentId());
  if (Owner(&s->owner).load(std::memory_order_relaxed) == me) {
    ++s->count;
    return THR_ERR_OK;
  }
  Take(&s->cs);
  Owner(&s->owner).store(me, std::memory_order_relaxed);
  s->count = 1;
  return THR_ERR_OK;
}

template <class Section>
ThrRc UnlockCounted(Section* s, const WEQ_UC* who) {
  int32_t owner = Owner(&s->owner).load(std::memory_order_relaxed);
  if (owner != static_cast<int32_t>(ThrICurrentId())) {
    if (owner == -1) Panic(who, s->tag);
    return THR_ERR_NOT_OWNER;
  }
  if (--s->count == 0) {
    Owner(&s->owner).store(-1, std::memory_order_relaxed);
    Leave(&s->cs);
  }
  return THR_ERR_OK;
}

}  // namespace

}  // namespace thr

using namespace thr;

// --- ThrMtx --------------------------------------------------------------------

ThrRc ThrMtxInit(ThrMtx* mtx, const WEQ_UC* /*name*/) {
  if (mtx == nullptr) return THR_ERR_INVALID_PARAM;
  return InitRecursive(&mtx->cs);
}

ThrRc ThrMtxLock(ThrMtx* mtx) {
  if (!Active()) return THR_ERR_OK;
  pthread_mutex_lock(&mtx->cs);
  return THR_ERR_OK;
}

ThrRc ThrMtxUnlock(ThrMtx* mtx) {
  if (!Active()) return THR_ERR_OK;
  return pthread_mutex_unlock(&mtx->cs) == 0 ? THR_ERR_OK : THR_ERR_NOT_OWNER;
}

ThrRc ThrMtxDelete(ThrMtx* mtx) {
  if (!g_initialised.load(std::memory_order_acquire)) return THR_ERR_NOT_INIT;
  pthread_mutex_destroy(&mtx->cs);
  return THR_ERR_OK;
}

// --- ThrCS ---------------------------------------------------------------------

ThrRc ThrCSInit(ThrCS* cs, const WEQ_UC* tag) {
  if (cs == nullptr) return THR_ERR_INVALID_PARAM;
  ThrRc rc = ThrIInit();
  if (rc != THR_ERR_OK) return rc;
  CreationLock();
  rc = CSInitLocked(cs, tag);
  CreationUnlock();
  return rc;
}

ThrRc ThrCSLock(ThrCS* cs) {
  if (!Active()) return THR_ERR_OK;
  if (Magic(cs).load(std::memory_order_acquire) != THR_CS_MAGIC) {
    if (ThrIInit() != THR_ERR_OK) return THR_ERR_INTERNAL;
    CreationLock();
    CSInitLocked(cs, nullptr);
    CreationUnlock();
    if (Magic(cs).load(std::memory_order_acquire) != THR_CS_MAGIC) return THR_ERR_INTERNAL;
  }
  return LockCounted(cs);
}

ThrRc ThrCSUnlock(ThrCS* cs) {
  if (!Active()) return THR_ERR_OK;
  if (!g_initialised.load(std::memory_order_acquire) ||
      Magic(cs).load(std::memory_order_acquire) != THR_CS_MAGIC) {
    return THR_ERR_NOT_INIT;
  }
  return UnlockCounted(cs, u"ThrCSUnlock");
}

ThrRc ThrCSDelete(ThrCS* cs) {
  if (!Active()) return THR_ERR_OK;
  if (!g_initialised.load(std::memory_order_acquire)) return THR_ERR_NOT_INIT;
  ThrRc rc = THR_ERR_NOT_INIT;
  CreationLock();
  if (Magic(cs).load(std::memory_order_relaxed) == THR_CS_MAGIC) {
    Magic(cs).store(0, std::memory_order_release);
    free(cs->tag);
    cs->tag = nullptr;
    rc = THR_ERR_OK;
  }
  CreationUnlock();
  return rc;
}

// --- ThrRecMtx -------------------------------------------------------------------

ThrRc ThrRecMtxInit(ThrRecMtx* mtx, const WEQ_UC* tag) {
  if (mtx == nullptr) return THR_ERR_INVALID_PARAM;
  WEQ_UC* copy = nullptr;
  if (!DupTag(tag, &copy)) return THR_ERR_NO_MEMORY;
  if (InitRecursive(&mtx->cs) != THR_ERR_OK) {
    free(copy);
    return THR_ERR_OS;
  }
  mtx->count = 0;
  mtx->owner = -1;
  mtx->tag = copy;
  return THR_ERR_OK;
}

ThrRc ThrRecMtxLock(ThrRecMtx* mtx) { return LockCounted(mtx); }

ThrRc ThrRecMtxUnlock(ThrRecMtx* mtx) {
  return UnlockCounted(mtx, u"ThrRecMtxUnlock");
}
