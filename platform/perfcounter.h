// The performance counter: a count that only grows, at a fixed frequency,
// and the processor's time-stamp counter.
#ifndef PLATFORM_PERFCOUNTER_H
#define PLATFORM_PERFCOUNTER_H

#include <stdint.h>

// Counts per second of PlatPerfCounter.
int64_t PlatPerfFrequency(void);

// The monotonic count (nanoseconds since an arbitrary start, unaffected by
// changes of the wall clock). Nonzero on success.
int PlatPerfCounter(int64_t* count);

// The processor's time-stamp counter, or 0 where the processor has none.
uint64_t PlatTimeStampCounter(void);

#endif
