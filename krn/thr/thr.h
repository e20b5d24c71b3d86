// Thread library: the locks, thread-local keys, thread ids and return codes
// that every other module takes, and the library's thread and process life
// cycle.
//
// Locks. ThrMtx, ThrCS and ThrRecMtx are recursive: the owning thread may
// lock again and must unlock as often. Until ThrProcInit has run (and after
// ThrProcExit) ThrMtxLock/Unlock and ThrCSLock/Unlock/Delete do nothing and
// return 0, so code that shares data between threads must run after the
// library's load has called ThrProcInit. ThrRecMtx ignores that state. A ThrCS
// may be a zero-filled static object: its first lock initialises it once,
// also when several threads race for it.
//
// Keys. A ThrKey is a 32-bit handle, THR_KEY_NONE until created; the get and
// set functions create it on demand. Each thread has its own value per key.
// When a thread that stored a value under any key ends, the thread-detach
// sequence runs for it: the hook installed with ThrSetThreadDetachHook, then
// ThrKeyCleanup, which hands each key's value to that key's destructor,
// newest key first. Destructors must accept NULL and must not create or
// delete keys. ThrProcExit ends this for threads still alive (the library
// may be unloaded next); a later ThrProcInit starts over.
//
// Every function returns a ThrRc (0 success) unless stated otherwise and
// traces nothing; ThrErrTxt gives the text of a code. Callers treat 3 from
// ThrKeyGet and ThrCSInit as success.
#ifndef KRN_THR_THR_H
#define KRN_THR_THR_H

#include <pthread.h>
#include <stdint.h>

#include "weq_types.h"

typedef uint32_t ThrRc;

enum : ThrRc {
  THR_ERR_OK = 0,
  THR_ERR_ALIVE = 1,           // thread still alive
  THR_ERR_INVALID_PARAM = 2,   // invalid parameter
  THR_ERR_EXISTS = 3,          // item exists already (callers: success)
  THR_ERR_INTERNAL = 4,        // internal error
  THR_ERR_INVALID_ID = 5,      // unknown thread id
  THR_ERR_INVALID_KEY = 6,     // thread-specific data key invalid
  THR_ERR_NO_MEMORY = 7,       // allocation failed
  THR_ERR_NOT_INIT = 8,        // library or object not initialised
  THR_ERR_NOT_LOCKED = 9,      // unlock of a section that is not locked
  THR_ERR_NOT_OWNER = 10,      // unlock of a section another thread holds
  THR_ERR_NOT_SUPPORTED = 11,  // threads not supported
  THR_ERR_OS = 12,             // operating system error
  THR_ERR_DEADLOCK = 13,       // would deadlock
  THR_ERR_NO_RESOURCES = 14,   // out of keys or other resources
  THR_ERR_TIMEOUT = 15,        // timed out
};

// Text of rc (0..15); any other value gives "Error code not defined by the
// thread library.". The texts are constant.
const WEQ_UC* ThrErrTxt(ThrRc rc);

// --- Process and thread life cycle ------------------------------------------

// Initialises the library for the process and makes it active: locks start
// to work. A repeated call returns 0 and changes nothing.
ThrRc ThrProcInit(void);

// Keeps initialisation from registering ThrProcExit with atexit(); the
// library's load calls this first, and its unload calls ThrProcExit itself.
void ThrSetNoAtexit(void);

// 1 while the library is active (after ThrProcInit), else 0.
uint32_t ThrIsInit(void);

// Makes the library inactive and uninitialised: drops the thread list and
// stops running the thread-detach sequence for threads alive now. Nothing
// when not initialised, apart from the latter.
void ThrProcExit(void);

// Removes the calling thread's entry from the thread list (only the thread
// that initialised the library has one): 0, or 5 when it has none.
ThrRc ThrThreadExit(void);

// For the calling thread: every key's destructor, newest key first, gets the
// thread's value (NULL too) after that value has been cleared.
void ThrKeyCleanup(void);

// Installs the step that runs first in the thread-detach sequence of every
// ending thread, before ThrKeyCleanup (NULL removes it). The library's entry
// puts the layers' own thread detach here. The hook runs on the ending
// thread and may use keys; values it stores are cleaned up as well.
void ThrSetThreadDetachHook(void (*hook)(void));

// --- Plain mutex ------------------------------------------------------------

typedef struct ThrMtx {
  pthread_mutex_t cs;
} ThrMtx;

// Works active or not; name is for diagnostics only and not kept. 0, or 12.
ThrRc ThrMtxInit(ThrMtx* mtx, const WEQ_UC* name);
ThrRc ThrMtxLock(ThrMtx* mtx);
// 10 when the calling thread does not hold it.
ThrRc ThrMtxUnlock(ThrMtx* mtx);
// 8 when the library is not initialised.
ThrRc ThrMtxDelete(ThrMtx* mtx);

// --- Guarded critical section -------------------------------------------------

typedef struct ThrCS {
  uint32_t magic;  // THR_CS_MAGIC once initialised
  int32_t count;   // locks minus unlocks; changed only while held
  int32_t owner;   // id of the holding thread, -1 while free
  uint32_t cs;     // the lock: 0 free, 1 held, 2 held with threads waiting
  WEQ_UC* tag;     // owned copy of the tag given to ThrCSInit, or NULL
} ThrCS;

// The bytes "ENOD" in memory order.
#define THR_CS_MAGIC \
  ((uint32_t)'E' | ((uint32_t)'N' << 8) | ((uint32_t)'O' << 16) | ((uint32_t)'D' << 24))

// 0, 3 when initialised already (tag kept), 7 when the tag cannot be copied,
// or the failure of the library's initialisation, which it runs if needed.
ThrRc ThrCSInit(ThrCS* cs, const WEQ_UC* tag);
// Initialises the section on first use: 0, or 4 when that failed.
ThrRc ThrCSLock(ThrCS* cs);
// 8 when not initialised, 10 when another thread holds it. Unlocking more
// often than locked writes a panic line to stderr and aborts.
ThrRc ThrCSUnlock(ThrCS* cs);
// 8 when not initialised; frees the tag.
ThrRc ThrCSDelete(ThrCS* cs);

// --- Recursive mutex (the trace lock) -----------------------------------------

typedef struct ThrRecMtx {
  int32_t count;  // locks minus unlocks; changed only while held
  int32_t owner;  // id of the holding thread, -1 while free
  pthread_mutex_t cs;
  WEQ_UC* tag;    // owned copy of the tag, or NULL
} ThrRecMtx;

// 0, 7 when the tag cannot be copied, 12 when the system refuses.
ThrRc ThrRecMtxInit(ThrRecMtx* mtx, const WEQ_UC* tag);
ThrRc ThrRecMtxLock(ThrRecMtx* mtx);
// 10 when another thread holds it; unlocking more often than locked writes a
// panic line to stderr and aborts.
ThrRc ThrRecMtxUnlock(ThrRecMtx* mtx);

// --- Thread-local keys --------------------------------------------------------

typedef uint32_t ThrKey;
#define THR_KEY_NONE ((ThrKey)0xFFFFFFFFu)

typedef void (*ThrKeyDestructor)(void* value);

// Creates *key and records its destructor (may be NULL). 0; 3 when *key is
// a live key already (nothing changes); 14 when no key is left (*key becomes
// THR_KEY_NONE); 7 without memory (likewise).
ThrRc ThrKeyGet(ThrKey* key, ThrKeyDestructor destructor);
// Frees the key, forgets its destructor and sets *key to THR_KEY_NONE: 0,
// 2 for THR_KEY_NONE, 6 when *key was not a live key.
ThrRc ThrKeyDelete(ThrKey* key);
// Stores the calling thread's value, creating the key first when needed:
// 0, a code of ThrKeyGet, or 6 when the value cannot be stored.
ThrRc ThrKeyVarSet(ThrKey* key, void* value);
// The calling thread's value, NULL when none; creates the key first when
// needed (NULL when that fails).
void* ThrKeyVarGet(ThrKey* key);

// --- Thread ids -----------------------------------------------------------------

typedef uint32_t ThrId;  // the kernel's id of the thread; never (ThrId)-1

ThrId ThrCurrentId(void);
// 1 when a and b name the same thread, else 0.
int ThrIdEqual(ThrId a, ThrId b);
// Writes id in decimal into buf (at least THR_ID_STR_LEN units); returns buf.
WEQ_UC* ThrIdToStr(WEQ_UC* buf, ThrId id);
WEQ_UC* ThrIIdToStr(WEQ_UC* buf, ThrId id);
#define THR_ID_STR_LEN 11

#endif
