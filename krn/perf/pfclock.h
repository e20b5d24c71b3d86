// Time services: the microsecond statistics clock, the wall clock, sleeps
// that outlast signals, and local time that stays continuous when daylight
// saving time ends.
//
// PfStatClock's source is chosen once per process from PFSTATCLOCK (unset or
// "weq_clock": the high-resolution counter; "gettimeofday": the wall clock
// in 32-bit microseconds). Callers keep the low 32 bits as time stamps and
// take an elapsed time t1 - t0 as (PfClockWrap - t0) + 1 + t1 when t1 < t0.
// Sleeps measure on the monotonic clock, so setting the wall clock neither
// shortens nor stretches them.
//
// ContLocaltime runs local time at half speed through the two hours around
// the end of daylight saving time (for a one-hour shift), so that it never
// goes back: within [S - d, S + d), S the first second of standard time and
// d the shift, t shows as the local time of S - d + (t - (S - d)) / 2.
// Elsewhere it equals localtime(). Its result and its cached window belong
// to the calling thread; ThrLocaltime writes into the caller's buffer and
// caches nothing.
//
// Everything may be called from any thread; the one-time choices are made
// on first use without a lock (a race only repeats a choice). The local-time
// functions read each zone's transitions once per process, under a lock.
#ifndef KRN_PERF_PFCLOCK_H
#define KRN_PERF_PFCLOCK_H

#include <stdint.h>
#include <sys/time.h>
#include <time.h>

#include <atomic>

#include "weq_types.h"

// Microseconds from the chosen source.
int64_t PfStatClock(void);

// The largest 32-bit time stamp: 0 until the high-resolution source first
// ran, then 0xFFFFFFFF.
extern std::atomic<uint32_t> PfClockWrap;

// Wall time in seconds and microseconds, in steps of a millisecond. With tz:
// minutes west of UTC of standard time, and in tz_dsttime the minutes added
// while daylight saving time holds (-60 for a one-hour shift), both of the
// zone at first use. Returns 0.
int NT_gettimeofday(struct timeval* tv, struct timezone* tz);

#define NT_WAIT_TIMEOUT 258         // a signal woke the sleep after its time
#define NT_SLEEP_INFINITE 0xFFFFFFFFu  // NT_SleepMs without end

// Sleep the given time. A signal handler that interrupts the sleep does not
// end it early: the sleep goes on for the rest of the time. Returns 0, or
// NT_WAIT_TIMEOUT when a signal woke it once the time had passed.
int NT_SleepSec(uint32_t seconds);
int NT_SleepMs(uint32_t milliseconds);

// Local time of *t, continuous across the end of daylight saving time (see
// above). The result belongs to the calling thread until its next call.
// NULL when the time cannot be converted; errno 34 when the search for the
// daylight-saving window failed.
struct tm* ContLocaltime(const time_t* t);

// As ContLocaltime, into *out; returns out or NULL.
struct tm* ThrLocaltime(const time_t* t, struct tm* out);

// Installs the lookup of profile parameters that decides, at the first
// conversion near a switch, whether local time stays continuous: the value
// "off" of zdate/DSTswitch_contloctime makes it plain localtime(). Without a
// lookup it stays continuous.
void ContLocaltimeSetParamGetter(const WEQ_UC* (*getter)(const WEQ_UC* name));

#endif
