// Process life cycle, the thread list, thread ids and return-code texts.
#include <pthread.h>
#include <stdlib.h>
#include <unistd.h>

#include <mutex>

#include "i18n/wequ16/u16fmt.h"
#include "krn/thr/thr_int.h"

namespace thr {

std::atomic<bool> g_initialised{false};
std::atomic<bool> g_active{false};

namespace {

std::atomic<bool> g_noAtexit{false};

// Serialises initialisation and exit of the library as a whole. Taken
// before the thread-list lock; nothing else is called under it.
std::mutex g_lifeMutex;
bool g_atexitDone = false;  // guarded by g_lifeMutex

// One entry per thread that initialised the library. Its handle stands for
// the duplicated thread handle of other platforms; nothing needs closing.
struct ThreadNode {
  ThrId id;
  pthread_t handle;
  ThreadNode* next;
};

// Thread-list lock: guards g_threadHead and g_threadTail. Leaf lock; only
// list operations and free() run under it.
pthread_mutex_t g_threadListLock = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;
ThreadNode* g_threadHead = nullptr;
ThreadNode* g_threadTail = nullptr;

constexpr ThrId kAllThreads = 0xFFFFFFFFu;

void AppendThread(ThrId id) {
  auto* n = static_cast<ThreadNode*>(calloc(1, sizeof(ThreadNode)));
  if (n == nullptr) return;  // the list is informative only; go on without
  n->id = id;
  n->handle = pthread_self();
  pthread_mutex_lock(&g_threadListLock);
  if (g_threadTail != nullptr) {
    g_threadTail->next = n;
  } else {
    g_threadHead = n;
  }
  g_threadTail = n;
  pthread_mutex_unlock(&g_threadListLock);
}

// Removes the entries of id (the first only) or, with kAllThreads, all of
// them: 0 when at least one went, else 5.
ThrRc RemoveThreads(ThrId id) {
  ThrRc rc = THR_ERR_INVALID_ID;
  pthread_mutex_lock(&g_threadListLock);
  ThreadNode* prev = nullptr;
  ThreadNode* n = g_threadHead;
  while (n != nullptr) {
    ThreadNode* next = n->next;
    if (id == kAllThreads || n->id == id) {
      n->id = kAllThreads;
      if (prev != nullptr) {
        prev->next = next;
      } else {
        g_threadHead = next;
      }
      if (g_threadTail == n) g_threadTail = prev;
      free(n);
      rc = THR_ERR_OK;
      if (id != kAllThreads) break;
    } else {
      prev = n;
    }
    n = next;
  }
  pthread_mutex_unlock(&g_threadListLock);
  return rc;
}

ThrRc InitLocked() {
  if (g_initialised.load(std::memory_order_relaxed)) return THR_ERR_OK;
  AppendThread(ThrCurrentId());
  if (!g_noAtexit.load(std::memory_order_relaxed) && !g_atexitDone) {
    g_atexitDone = atexit(ThrProcExit) == 0;
  }
  g_initialised.store(true, std::memory_order_release);
  return THR_ERR_OK;
}

}  // namespace

ThrRc ThrIInit() {
  if (g_initialised.load(std::memory_order_acquire)) return THR_ERR_OK;
  std::lock_guard<std::mutex> hold(g_lifeMutex);
  return InitLocked();
}

}  // namespace thr

using namespace thr;

ThrRc ThrProcInit(void) {
  std::lock_guard<std::mutex> hold(g_lifeMutex);
  ThrRc rc = InitLocked();
  if (rc == THR_ERR_OK) g_active.store(true, std::memory_order_release);
  return rc;
}

void ThrSetNoAtexit(void) { g_noAtexit.store(true, std::memory_order_relaxed); }

uint32_t ThrIsInit(void) { return Active() ? 1 : 0; }

void ThrProcExit(void) {
  {
    std::lock_guard<std::mutex> hold(g_lifeMutex);
    if (g_initialised.load(std::memory_order_relaxed)) {
      RemoveThreads(kAllThreads);
      g_active.store(false, std::memory_order_release);
      g_initialised.store(false, std::memory_order_release);
    }
  }
  // The library may be unloaded next: no destructor of its key may run
  // after that, and the calling thread's own table must not be left behind.
  ThrIDetachKeyDrop();
  ThrIReleaseThreadTable();
}

ThrRc ThrThreadExit(void) { return RemoveThreads(ThrCurrentId()); }

// --- Thread ids -----------------------------------------------------------------

namespace thr {

namespace {
void ForgetIdInChild() { tls_threadId = 0; }
}  // namespace

ThrId ThrIFetchId() {
  // A forked child's thread has a new id but inherits the cached one.
  static const int atfork = pthread_atfork(nullptr, nullptr, ForgetIdInChild);
  (void)atfork;
  ThrId id = static_cast<ThrId>(gettid());
  tls_threadId = id;
  return id;
}

}  // namespace thr

ThrId ThrCurrentId(void) { return ThrICurrentId(); }

int ThrIdEqual(ThrId a, ThrId b) { return a == b ? 1 : 0; }

WEQ_UC* ThrIIdToStr(WEQ_UC* buf, ThrId id) {
  snprintfU16(buf, THR_ID_STR_LEN, u"%lu", id);
  return buf;
}

WEQ_UC* ThrIdToStr(WEQ_UC* buf, ThrId id) { return ThrIIdToStr(buf, id); }

// --- Return-code texts ------------------------------------------------------------

namespace {

constexpr const WEQ_UC* kRcText[] = {
    u"Operation completed successfully.",
    u"Thread still alive.",
    u"Invalid parameter passed.",
    u"Attempt was made to initialize an item which already exists.",
    u"Thread library internal error.",
    u"Thread ID is invalid.",
    u"Thread specific data key is invalid.",
    u"Error occurred while attempting to allocate memory.",
    u"Thread library not yet initialized.",
    u"Attempt was made to unlock a critical section which is not currently locked.",
    u"Attempt was made to unlock a critical section owned by another thread.",
    u"Threads not supported on this platform.",
    u"Operating system error occurred.",
    u"Operation would cause the calling thread to deadlock.",
    u"Operation failed due to lack of resources.",
    u"Operation timed out.",
};
static_assert(sizeof kRcText / sizeof kRcText[0] == THR_ERR_TIMEOUT + 1);

}  // namespace

const WEQ_UC* ThrErrTxt(ThrRc rc) {
  if (rc < sizeof kRcText / sizeof kRcText[0]) return kRcText[rc];
  return u"Error code not defined by the thread library.";
}
