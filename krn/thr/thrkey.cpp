// Thread-local keys and the thread-detach sequence.
//
// Each thread keeps its values in its own table, indexed by the key's index
// and tagged with the whole key, so that the value of a deleted key is never
// seen through a new key that reuses the index. The system's own
// thread-specific data serves only to learn that a thread ends: one pthread
// key, whose value a thread sets when it first stores a value, runs the
// thread-detach sequence from its destructor. (The system clears the values
// of its keys in index order before calling destructors, so our values could
// not live there and still reach our destructors.)
#include <stdlib.h>

#include <mutex>

#include "krn/thr/thr_int.h"

namespace thr {

std::atomic<long> ThrIThreadTablesAlive{0};

namespace {

struct KeyNode {
  ThrKeyDestructor destructor;
  ThrKey key;
  KeyNode* next;
};

// Key-list lock: guards g_keyHead, g_generation and the writes of
// g_liveKey. Taken always, active or not, since the list is the library's
// own. Key destructors run under it (ThrKeyCleanup), so they may read and
// set values but must not create or delete keys; it is never taken under the
// creation lock.
pthread_mutex_t g_keyListLock = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;
KeyNode* g_keyHead = nullptr;  // newest first
uint32_t g_generation[kMaxKeys];

// The live key of each index, 0 when the index is free (a live key is never
// 0: its generation is at least 1). Read without the lock by ThrKeyVarSet.
std::atomic<uint32_t> g_liveKey[kMaxKeys];

constexpr uint32_t kMaxGeneration = (0xFFFFFFFFu >> kIndexBits) - 1;  // keeps keys off THR_KEY_NONE

struct Slot {
  void* value;
  ThrKey key;  // the key the value was stored under
};

struct ThreadTable {
  Slot* slots = nullptr;
  uint32_t cap = 0;
  uint32_t armedGen = 0;  // g_detachGen when this thread set the detach key
};

thread_local ThreadTable tls_table;


// Detach mutex: guards g_detachKey and g_detachKeyLive. Leaf lock.
std::mutex g_detachMutex;
pthread_key_t g_detachKey;
bool g_detachKeyLive = false;
// Changes whenever the detach key is created or dropped; a thread whose
// armedGen differs has to set it (again). Starts at 1 so that a new thread
// (armedGen 0) is never taken for armed.
std::atomic<uint32_t> g_detachGen{1};

std::atomic<void (*)(void)> g_detachHook{nullptr};

std::atomic_ref<ThrKey> KeyRef(ThrKey* key) { return std::atomic_ref<ThrKey>(*key); }

// The thread-detach sequence: the hook, then ThrKeyCleanup.
void ThreadDetach() {
  if (void (*hook)(void) = g_detachHook.load(std::memory_order_acquire)) hook();
  ThrKeyCleanup();
}

void FreeTable() {
  if (tls_table.slots != nullptr) ThrIThreadTablesAlive.fetch_sub(1, std::memory_order_relaxed);
  free(tls_table.slots);
  tls_table.slots = nullptr;
  tls_table.cap = 0;
}

void DetachAtThreadEnd(void* /*marker*/) {
  // The system has cleared the marker; values stored from here on set it
  // again, and the system gives the destructors another round, up to its
  // limit of rounds.
  thread_local unsigned rounds = 0;
  tls_table.armedGen = 0;
  ThreadDetach();
  if (tls_table.armedGen == 0 || ++rounds >= PTHREAD_DESTRUCTOR_ITERATIONS) {
    // What is left belongs to keys without destructors, whose owners free
    // their values themselves.
    FreeTable();
  }
}

// Sets the detach key for the calling thread, creating it when needed.
bool Arm() {
  std::lock_guard<std::mutex> hold(g_detachMutex);
  if (!g_detachKeyLive) {
    if (pthread_key_create(&g_detachKey, DetachAtThreadEnd) != 0) return false;
    g_detachKeyLive = true;
    g_detachGen.fetch_add(1, std::memory_order_acq_rel);
  }
  if (pthread_setspecific(g_detachKey, &tls_table) != 0) return false;
  tls_table.armedGen = g_detachGen.load(std::memory_order_acquire);
  return true;
}

bool Grow(uint32_t need) {
  uint32_t cap = tls_table.cap < 8 ? 8 : tls_table.cap;
  while (cap < need) cap *= 2;
  auto* slots = static_cast<Slot*>(realloc(tls_table.slots, cap * sizeof(Slot)));
  if (slots == nullptr) return false;
  if (tls_table.slots == nullptr) ThrIThreadTablesAlive.fetch_add(1, std::memory_order_relaxed);
  for (uint32_t i = tls_table.cap; i < cap; ++i) slots[i] = Slot{nullptr, THR_KEY_NONE};
  tls_table.slots = slots;
  tls_table.cap = cap;
  return true;
}

KeyNode* FindNode(ThrKey k) {
  for (KeyNode* n = g_keyHead; n != nullptr; n = n->next) {
    if (n->key == k) return n;
  }
  return nullptr;
}

// Lowest free index, or kMaxKeys when none is left. Under the key-list lock.
uint32_t FreeIndex() {
  for (uint32_t i = 0; i < kMaxKeys; ++i) {
    if (g_liveKey[i].load(std::memory_order_relaxed) == 0) return i;
  }
  return kMaxKeys;
}

}  // namespace

uint32_t ThrIKeyCount() {
  pthread_mutex_lock(&g_keyListLock);
  uint32_t n = 0;
  for (KeyNode* k = g_keyHead; k != nullptr; k = k->next) ++n;
  pthread_mutex_unlock(&g_keyListLock);
  return n;
}

void ThrIReleaseThreadTable() {
  for (uint32_t i = 0; i < tls_table.cap; ++i) {
    if (tls_table.slots[i].value != nullptr) return;
  }
  FreeTable();
}


void ThrIDetachKeyDrop() {
  std::lock_guard<std::mutex> hold(g_detachMutex);
  if (g_detachKeyLive) {
    pthread_key_delete(g_detachKey);
    g_detachKeyLive = false;
  }
  g_detachGen.fetch_add(1, std::memory_order_acq_rel);
}

}  // namespace thr

using namespace thr;

void ThrSetThreadDetachHook(void (*hook)(void)) { g_detachHook.store(hook, std::memory_order_release); }

ThrRc ThrKeyGet(ThrKey* key, ThrKeyDestructor destructor) {
  if (key == nullptr) return THR_ERR_INVALID_PARAM;
  pthread_mutex_lock(&g_keyListLock);
  ThrKey k = KeyRef(key).load(std::memory_order_relaxed);
  if (k != THR_KEY_NONE && FindNode(k) != nullptr) {
    pthread_mutex_unlock(&g_keyListLock);
    return THR_ERR_EXISTS;
  }
  ThrRc rc = THR_ERR_OK;
  uint32_t index = FreeIndex();
  if (index == kMaxKeys) {
    rc = THR_ERR_NO_RESOURCES;
  } else {
    auto* node = static_cast<KeyNode*>(calloc(1, sizeof(KeyNode)));
    if (node == nullptr) {
      rc = THR_ERR_NO_MEMORY;  // the index was not taken yet: nothing to give back
    } else {
      uint32_t gen = g_generation[index] >= kMaxGeneration ? 1 : g_generation[index] + 1;
      g_generation[index] = gen;
      k = (gen << kIndexBits) | index;
      g_liveKey[index].store(k, std::memory_order_release);
      node->destructor = destructor;
      node->key = k;
      node->next = g_keyHead;
      g_keyHead = node;
    }
  }
  KeyRef(key).store(rc == THR_ERR_OK ? k : THR_KEY_NONE, std::memory_order_release);
  pthread_mutex_unlock(&g_keyListLock);
  return rc;
}

ThrRc ThrKeyDelete(ThrKey* key) {
  if (key == nullptr) return THR_ERR_INVALID_PARAM;
  ThrKey k = KeyRef(key).load(std::memory_order_acquire);
  if (k == THR_KEY_NONE) return THR_ERR_INVALID_PARAM;
  pthread_mutex_lock(&g_keyListLock);
  ThrRc rc = THR_ERR_INVALID_KEY;
  uint32_t index = k & kIndexMask;
  if (g_liveKey[index].load(std::memory_order_relaxed) == k) {
    g_liveKey[index].store(0, std::memory_order_release);
    rc = THR_ERR_OK;
  }
  for (KeyNode** link = &g_keyHead; *link != nullptr; link = &(*link)->next) {
    if ((*link)->key == k) {
      KeyNode* n = *link;
      *link = n->next;
      free(n);
      break;
    }
  }
  KeyRef(key).store(THR_KEY_NONE, std::memory_order_release);
  pthread_mutex_unlock(&g_keyListLock);
  return rc;
}

ThrRc ThrKeyVarSet(ThrKey* key, void* value) {
  if (key == nullptr) return THR_ERR_INVALID_PARAM;
  ThrKey k = KeyRef(key).load(std::memory_order_acquire);
  if (k == THR_KEY_NONE) {
    ThrRc rc = ThrKeyGet(key, nullptr);
    if (rc != THR_ERR_OK && rc != THR_ERR_EXISTS) return rc;
    k = KeyRef(key).load(std::memory_order_acquire);
  }
  uint32_t index = k & kIndexMask;
  if (k == THR_KEY_NONE || g_liveKey[index].load(std::memory_order_acquire) != k) return THR_ERR_INVALID_KEY;
  if (index >= tls_table.cap) {
    if (value == nullptr) return THR_ERR_OK;  // nothing stored, nothing to clear
    if (!Grow(index + 1)) return THR_ERR_INVALID_KEY;
  }
  tls_table.slots[index] = Slot{value, k};
  if (value != nullptr && tls_table.armedGen != g_detachGen.load(std::memory_order_acquire) && !Arm()) {
    // Without the detach key the value would never reach its destructor.
    tls_table.slots[index].value = nullptr;
    return THR_ERR_NO_RESOURCES;
  }
  return THR_ERR_OK;
}

void* ThrKeyVarGet(ThrKey* key) {
  ThrKey k = KeyRef(key).load(std::memory_order_acquire);
  if (k == THR_KEY_NONE) [[unlikely]] {
    ThrRc rc = ThrKeyGet(key, nullptr);
    if (rc != THR_ERR_OK && rc != THR_ERR_EXISTS) return nullptr;
    k = KeyRef(key).load(std::memory_order_acquire);
  }
  uint32_t index = k & kIndexMask;
  const ThreadTable& t = tls_table;
  if (index < t.cap && t.slots[index].key == k) return t.slots[index].value;
  return nullptr;
}

void ThrKeyCleanup(void) {
  pthread_mutex_lock(&g_keyListLock);
  for (KeyNode* n = g_keyHead; n != nullptr; n = n->next) {
    if (n->destructor == nullptr) continue;
    uint32_t index = n->key & kIndexMask;
    void* value = nullptr;
    // The table is looked up anew for each key: a destructor may grow it.
    if (index < tls_table.cap && tls_table.slots[index].key == n->key) {
      value = tls_table.slots[index].value;
      tls_table.slots[index].value = nullptr;
    }
    n->destructor(value);
  }
  pthread_mutex_unlock(&g_keyListLock);
}
