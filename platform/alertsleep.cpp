#include "platform/alertsleep.h"

#include <errno.h>
#include <sched.h>
#include <time.h>
#include <unistd.h>

int PlatSleepAlertable(int64_t ms) {
  if (ms == 0) {
    sched_yield();
    return 0;
  }
  if (ms < 0) {
    pause();  // returns only after a signal handler
    return PLAT_SLEEP_SIGNALLED;
  }
  struct timespec until;
  clock_gettime(CLOCK_MONOTONIC, &until);
  until.tv_sec += static_cast<time_t>(ms / 1000);
  until.tv_nsec += static_cast<long>(ms % 1000) * 1000000;
  if (until.tv_nsec >= 1000000000) {
    until.tv_nsec -= 1000000000;
    ++until.tv_sec;
  }
  int rc = clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr);
  return rc == EINTR ? PLAT_SLEEP_SIGNALLED : 0;
}
