#include "platform/perfcounter.h"

#include <time.h>

#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#endif

int64_t PlatPerfFrequency(void) { return 1000000000; }

int PlatPerfCounter(int64_t* count) {
  struct timespec ts;
  if (clock_gettime(CLOCK_MONOTONIC, &ts) != 0) return 0;
  *count = static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
  return 1;
}

uint64_t PlatTimeStampCounter(void) {
#if defined(__x86_64__) || defined(__i386__)
  return __rdtsc();
#else
  return 0;
#endif
}
