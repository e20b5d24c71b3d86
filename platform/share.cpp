#include "platform/share.h"

#include <atomic>

namespace {
std::atomic<PlatShareLookupFn> g_provider{&PlatShareSystemLookup};
}  // namespace

PlatShareLookupFn PlatShareProvider(void) { return g_provider.load(std::memory_order_acquire); }

void PlatShareSetProvider(PlatShareLookupFn fn) {
  g_provider.store(fn, std::memory_order_release);
}

int PlatShareSystemLookup(const WEQ_UC* /*share*/, WEQ_UC* /*dir*/, size_t /*size*/) {
  return PLAT_SHARE_NOT_FOUND;
}
