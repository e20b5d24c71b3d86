#include "platform/affinity.h"

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

int PlatProcessorCount(void) {
  long n = sysconf(_SC_NPROCESSORS_ONLN);
  return n < 1 ? 1 : static_cast<int>(n);
}

bool PlatThreadAffinityGet(uint64_t* mask) {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (pthread_getaffinity_np(pthread_self(), sizeof set, &set) != 0) return false;
  uint64_t m = 0;
  for (int i = 0; i < 64; ++i) {
    if (CPU_ISSET(i, &set)) m |= uint64_t{1} << i;
  }
  *mask = m;
  return true;
}

bool PlatThreadAffinitySet(uint64_t mask) {
  cpu_set_t set;
  CPU_ZERO(&set);
  for (int i = 0; i < 64; ++i) {
    if (mask & (uint64_t{1} << i)) CPU_SET(i, &set);
  }
  return pthread_setaffinity_np(pthread_self(), sizeof set, &set) == 0;
}
