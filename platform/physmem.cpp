#include "platform/physmem.h"

#include <sys/sysinfo.h>

#include <atomic>

namespace {
std::atomic<PlatPhysMemFn> g_provider{&PlatPhysMemSystem};
}  // namespace

PlatPhysMemFn PlatPhysMemProvider(void) { return g_provider.load(std::memory_order_acquire); }

void PlatPhysMemSetProvider(PlatPhysMemFn fn) { g_provider.store(fn, std::memory_order_release); }

bool PlatPhysMemSystem(uint64_t* bytes) {
  struct sysinfo si;
  if (sysinfo(&si) != 0) return false;
  uint64_t unit = si.mem_unit ? si.mem_unit : 1;
  *bytes = static_cast<uint64_t>(si.totalram) * unit;
  return true;
}
