// UUID creation over libuuid's time-based generator, bound at run time so
// that a system without libuuid still loads the library (creation then
// fails with UUID_RC_NO_SYSTEM).
#include "krn/perf/pfuuid.h"

#include <dlfcn.h>
#include <string.h>

#include <atomic>

#include "krn/perf/pfuuid_int.h"
#include "krn/thr/thr.h"

namespace {

// Serialises creation: the first binding of the generator and every call of
// it. Nothing else is called while it is held; it is a leaf lock.
ThrCS gUuidCS;

// Names bound at first use. Not the "_safe" entry: that one fails whenever
// the uuidd daemon is not running.
const char* gLibName = "libuuid.so.1";
const char* gEntryName = "uuid_generate_time";

// Test replacement of the generator; read without the lock.
std::atomic<bool> gInjected{false};
std::atomic<UuidISysGenFn> gInjectedFn{nullptr};

// The bound generator, NULL when libuuid or its entry is missing. The
// library stays loaded for the life of the process.
UuidISysGenFn BoundGenerator() {
  static const UuidISysGenFn fn = []() -> UuidISysGenFn {
    void* lib = dlopen(gLibName, RTLD_NOW | RTLD_LOCAL);
    if (lib == nullptr) return nullptr;
    void* entry = dlsym(lib, gEntryName);
    if (entry == nullptr) {
      dlclose(lib);
      return nullptr;
    }
    return reinterpret_cast<UuidISysGenFn>(entry);
  }();
  return fn;
}

}  // namespace

int32_t UuidICheck(const WEQ_RAW sys[16]) {
  if ((sys[8] & 0xC0) != 0x80) return UUID_RC_NO_SYSTEM;  // variant
  if ((sys[6] >> 4) != 1) return UUID_RC_NO_SYSTEM;       // version
  return UUID_RC_OK;
}

void UuidIRearrange(const WEQ_RAW u[16], WEQ_RAW o[16]) {
  memcpy(o, u + 10, 6);
  o[6] = static_cast<WEQ_RAW>(((u[6] & 0x0F) << 4) | (u[7] >> 4));
  o[7] = static_cast<WEQ_RAW>(((u[8] & 0x20) ? 0xE0 : 0xD0) | (u[7] & 0x0F));
  o[8] = static_cast<WEQ_RAW>(0x80 | (u[4] >> 2));
  o[9] = static_cast<WEQ_RAW>(0x80 | ((u[4] & 0x03) << 5) | (u[5] >> 3));
  o[10] = static_cast<WEQ_RAW>((u[5] << 5) | (u[0] >> 3));
  o[11] = static_cast<WEQ_RAW>((u[0] << 5) | (u[1] >> 3));
  o[12] = static_cast<WEQ_RAW>((u[1] << 5) | (u[2] >> 3));
  o[13] = static_cast<WEQ_RAW>((u[2] << 5) | (u[3] >> 3));
  o[14] = static_cast<WEQ_RAW>((u[3] << 5) | (u[8] & 0x1F));
  o[15] = u[9];
}

int32_t UuidISystemUuid(WEQ_RAW sys[16]) {
  UuidISysGenFn fn = gInjected.load(std::memory_order_acquire)
                         ? gInjectedFn.load(std::memory_order_acquire)
                         : BoundGenerator();
  if (fn == nullptr) return UUID_RC_NO_SYSTEM;
  fn(sys);  // libuuid's uuid_t is already in network byte order
  return UuidICheck(sys);
}

int32_t UuidGenerate(WEQ_RAW* uuid) {
  if (uuid == nullptr) return UUID_RC_NO_SYSTEM;
  WEQ_RAW sys[UUID_LEN] = {};
  int32_t rc = UUID_RC_LOCK;
  if (ThrCSLock(&gUuidCS) == THR_ERR_OK) {
    rc = UuidISystemUuid(sys);
    if (ThrCSUnlock(&gUuidCS) != THR_ERR_OK) rc = UUID_RC_LOCK;
  }
  if (rc != UUID_RC_OK) {
    // Never hand back bytes that are no identifier.
    memset(uuid, 0, UUID_LEN);
    return rc;
  }
  UuidIRearrange(sys, uuid);
  return UUID_RC_OK;
}

void UuidITestSetGenerator(UuidISysGenFn fn) {
  gInjectedFn.store(fn, std::memory_order_release);
  gInjected.store(true, std::memory_order_release);
}

void UuidITestRestore(void) {
  gInjected.store(false, std::memory_order_release);
  gInjectedFn.store(nullptr, std::memory_order_release);
}

void UuidITestBindNames(const char* library, const char* entry) {
  gLibName = library;
  gEntryName = entry;
}
