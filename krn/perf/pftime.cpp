// The wall clock and the sleeps.
#include "krn/perf/pfclock_int.h"
#include "platform/alertsleep.h"
#include "platform/perfcounter.h"
#include "platform/timezone.h"

namespace {

int64_t MonotonicNs() {
  int64_t count = 0;
  PlatPerfCounter(&count);  // counts nanoseconds
  return count;
}

}  // namespace

int NT_gettimeofday(struct timeval* tv, struct timezone* tz) {
  if (tv != nullptr) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    tv->tv_sec = now.tv_sec;
    tv->tv_usec = static_cast<suseconds_t>(now.tv_nsec / 1000000 * 1000);
  }
  if (tz != nullptr) {
    static const PlatTimeZone zone = [] {
      PlatTimeZone z;
      PlatTimeZoneGet(&z);
      return z;
    }();
    tz->tz_minuteswest = zone.bias;
    tz->tz_dsttime = zone.daylightBias;
  }
  return 0;
}

namespace pf {

int SleepFor(int64_t ms) {
  const int64_t start = MonotonicNs();
  const int64_t whole = ms * 1000000;
  int64_t rest = ms;
  for (;;) {
    if (PlatSleepAlertable(rest) != PLAT_SLEEP_SIGNALLED) return 0;
    if (ms < 0) continue;
    // Woken by a signal: sleep what is left of the whole time, rounded up.
    int64_t elapsed = MonotonicNs() - start;
    if (elapsed >= whole) return NT_WAIT_TIMEOUT;
    rest = (whole - elapsed + 999999) / 1000000;
  }
}

}  // namespace pf

int NT_SleepMs(uint32_t milliseconds) {
  return pf::SleepFor(milliseconds == NT_SLEEP_INFINITE ? -1 : static_cast<int64_t>(milliseconds));
}

int NT_SleepSec(uint32_t seconds) { return pf::SleepFor(static_cast<int64_t>(seconds) * 1000); }
