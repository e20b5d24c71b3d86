// Sleeping that a signal can cut short: the counterpart of a sleep that
// wakes for completed asynchronous work.
#ifndef PLATFORM_ALERTSLEEP_H
#define PLATFORM_ALERTSLEEP_H

#include <stdint.h>

#define PLAT_SLEEP_SIGNALLED 192  // a signal handler ran on the thread

// Sleeps ms milliseconds, measured on the monotonic clock; a negative ms
// sleeps until a signal and 0 only yields the processor. Returns 0 after
// the full time, PLAT_SLEEP_SIGNALLED when a signal handler ended the sleep
// early.
int PlatSleepAlertable(int64_t ms);

#endif
