// Internals of the clocks, shared by their sources and tests.
#ifndef KRN_PERF_PFCLOCK_INT_H
#define KRN_PERF_PFCLOCK_INT_H

#include <stdint.h>
#include <time.h>

#include "krn/perf/pfclock.h"

namespace pf {

// The sources PfStatClock and the calibration choose from.
int64_t WeqClock();             // microseconds of the high-resolution counter
int64_t GettimeofdayClock();    // NT_gettimeofday in 32-bit microseconds

using ClockSource = int64_t (*)();

// Reads environment variable var once per call: WeqClock for unset or
// "weq_clock", GettimeofdayClock for "gettimeofday"; anything else is
// reported on stderr and gives WeqClock.
ClockSource ChooseSource(const char* var);

// floor(count * 1000000 / frequency) for count >= 0, exact for every count
// (rounded towards zero below 0).
int64_t CountToMicros(int64_t count, int64_t frequency);

// The high-resolution counter: nonzero on success.
int HighResCount(int64_t* count);

enum class Counter { kUndecided, kPerfCounter, kTimeStamp };
Counter HighResCounter();

// Whether a counter grows across every processor (and, for the time-stamp
// counter, runs at the performance counter's rate, within 10%). Restores the
// calling thread's affinity.
bool ProbeCounter(Counter which);

// What one read of the PFCLOCK clock costs, in its units, rounded: 0 until
// the high-resolution source first ran or when no round was cheap enough.
uint32_t ClockCostPerRead();

// Daylight-saving window around t: [*start, *end). Unless it fails, the
// search converts t itself on the way: then *local holds the local time of t
// and *converted is true (false when t was too far out to look).
enum class Window { kNone, kFound, kFailed };
Window SwitchWindow(time_t t, time_t* start, time_t* end, struct tm* local, bool* converted);

// Sleeps ms milliseconds (negative: without end), resuming after signals.
int SleepFor(int64_t ms);

}  // namespace pf

#endif
