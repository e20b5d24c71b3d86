// The error hook slot of the UTF transforms and the module texts it gets.
#include <atomic>
#include <cstring>
#include <new>

#include "krn/rscp/rscpu_int.h"

namespace {

// The installed hook. Written by rscpuSetErrorFunc at converter start, read
// at every error, possibly on other threads at the same time; release/acquire
// so that whatever the installer prepared before is visible to the hook.
std::atomic<rscpuErrFunc_t> gHook{rscpuErrDefault};

// Widens the 7-bit identification string; kept for the life of the process.
const WEQ_UC* WidenId(const char* id) {
  size_t n = std::strlen(id);
  WEQ_UC* w = new (std::nothrow) WEQ_UC[n + 1];
  if (w == nullptr) return u"@(#) $Id: rscpu?.cpp $";
  for (size_t i = 0; i <= n; ++i) w[i] = static_cast<unsigned char>(id[i]);
  return w;
}

}  // namespace

int rscpuErrDefault(int kind, WEQ_UC, int, const WEQ_UC*, int, int, const WEQ_UC*,
                    const WEQ_UC*, const WEQ_UC*, int, const WEQ_UC*, int) {
  return kind;
}

void rscpuSetErrorFunc(rscpuErrFunc_t fn) {
  gHook.store(fn ? fn : rscpuErrDefault, std::memory_order_release);
}

namespace rscpu {

const WEQ_UC* RscpuIModuleText(RscpuIModule& m) {
  std::call_once(m.once, [&m] { m.text = WidenId(m.id); });
  // The hook sees the text without the "@(#)" marker.
  return m.text + 4;
}

int RscpuIError(RscpuIModule& m, int kind, int location, int line, const WEQ_UC* message) {
  const WEQ_UC* text = RscpuIModuleText(m);
  rscpuErrFunc_t hook = gHook.load(std::memory_order_acquire);
  return hook(kind, u'O', -1, text, location, line, message, nullptr, nullptr, 0, nullptr, 0);
}

}  // namespace rscpu
