// Processors and the calling thread's processor affinity. Masks name
// processors 0 to 63, bit i for processor i.
#ifndef PLATFORM_AFFINITY_H
#define PLATFORM_AFFINITY_H

#include <stdint.h>

// Processors online, at least 1.
int PlatProcessorCount(void);

// The processors among 0..63 that the calling thread may run on. false when
// the system does not tell.
bool PlatThreadAffinityGet(uint64_t* mask);

// Restricts the calling thread to the processors of mask. false when the
// system refuses (for instance a mask of processors the thread may not use).
bool PlatThreadAffinitySet(uint64_t mask);

#endif
