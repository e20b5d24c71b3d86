// The error hook slot of the UTF transforms and the module texts it gets.
#include <atomic>

#include "i18n/wequ16/u16file.h"
#include "krn/rscp/rscpu_int.h"

namespace {

// The installed hook. Written by rscpuSetErrorFunc at converter start, read
// at every error, possibly on other threads at the same time; release/acquire
// so that whatever the installer prepared before is visible to the hook.
std::atomic<rscpuErrFunc_t> gHook{rscpuErrDefault};

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
  // The copy is kept for the life of the process.
  std::call_once(m.once, [&m] { m.text = ConvertSCCSID_w(m.id); });
  // The hook sees the text without the "@(#)" marker.
  return m.text + 4;
}

int RscpuIError(RscpuIModule& m, int kind, int location, int line, const WEQ_UC* message) {
  const WEQ_UC* text = RscpuIModuleText(m);
  rscpuErrFunc_t hook = gHook.load(std::memory_order_acquire);
  return hook(kind, u'O', -1, text, location, line, message, nullptr, nullptr, 0, nullptr, 0);
}

}  // namespace rscpu
