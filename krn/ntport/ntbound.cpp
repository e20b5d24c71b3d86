// System entries bound on first use to the platform's provider of their
// service, with a fixed fallback when there is none.
#include <atomic>

#include "krn/ntport/ntport.h"
#include "krn/ntport/ntport_int.h"
#include "platform/physmem.h"
#include "platform/share.h"

namespace {

// One entry: callers always call through ref_, which starts at Bind. The
// first call clears the one-shot flag and asks the platform for the
// provider; found, the provider goes into ref_ and later calls reach it
// directly; not found, ref_ keeps Bind, which from then on answers the
// fallback at once. Threads racing through the first call all ask the
// platform, which only repeats the same answer.
template <class Traits, class Sig = typename Traits::Sig>
class NtBound;

template <class Traits, class R, class... A>
class NtBound<Traits, R(A...)> {
 public:
  static R Call(A... a) { return ref_.load(std::memory_order_acquire)(a...); }

  static void Reset() {
    unbound_.store(true, std::memory_order_relaxed);
    ref_.store(&Bind, std::memory_order_release);
  }

 private:
  static R Bind(A... a) {
    if (unbound_.exchange(false, std::memory_order_acq_rel)) {
      if (R (*fn)(A...) = Traits::Provider()) {
        ref_.store(fn, std::memory_order_release);
        return fn(a...);
      }
    }
    return Traits::Fallback(a...);
  }

  static inline std::atomic<R (*)(A...)> ref_{&Bind};
  static inline std::atomic<bool> unbound_{true};
};

struct ShareTraits {
  using Sig = int(const WEQ_UC*, WEQ_UC*, size_t);
  static PlatShareLookupFn Provider() { return PlatShareProvider(); }
  static int Fallback(const WEQ_UC*, WEQ_UC*, size_t) { return PLAT_SHARE_NOT_FOUND; }
};

struct PhysMemTraits {
  using Sig = bool(uint64_t*);
  static PlatPhysMemFn Provider() { return PlatPhysMemProvider(); }
  static bool Fallback(uint64_t*) { return false; }
};

using ShareEntry = NtBound<ShareTraits>;
using PhysMemEntry = NtBound<PhysMemTraits>;

}  // namespace

int NT_ShareGetPath(const WEQ_UC* share, WEQ_UC* dir, size_t size) {
  return ShareEntry::Call(share, dir, size);
}

bool NT_PhysMemTotal(uint64_t* bytes) { return PhysMemEntry::Call(bytes); }

void NtIReset(void) {
  NtIResetLocal();
  ShareEntry::Reset();
  PhysMemEntry::Reset();
}
