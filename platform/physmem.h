// The machine's total physical memory.
//
// The system provider reads it from the kernel (the figure that
// /proc/meminfo shows as MemTotal). The provider is pluggable for processes
// (and tests) that need another figure; a NULL provider means the system
// does not tell. The provider slot is atomic; a provider must be callable
// from any thread.
#ifndef PLATFORM_PHYSMEM_H
#define PLATFORM_PHYSMEM_H

#include <stdint.h>

// Total physical memory in bytes into *bytes: true, or false when unknown.
typedef bool (*PlatPhysMemFn)(uint64_t* bytes);

// The installed provider; NULL when the figure is not available.
PlatPhysMemFn PlatPhysMemProvider(void);

// Installs fn (NULL: not available). PlatPhysMemSystem is the default.
void PlatPhysMemSetProvider(PlatPhysMemFn fn);

// The system provider.
bool PlatPhysMemSystem(uint64_t* bytes);

#endif
