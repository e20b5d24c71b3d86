// The local directories of this machine's server shares, by share name.
//
// Linux has no server shares: the system provider knows none and answers
// PLAT_SHARE_NOT_FOUND for every name. The provider is pluggable, so that a
// process that keeps a share table of its own (and the tests) can install
// one; a NULL provider means that no share service is available at all.
// The provider slot is atomic; a provider must be callable from any thread.
#ifndef PLATFORM_SHARE_H
#define PLATFORM_SHARE_H

#include <stddef.h>

#include "weq_types.h"

enum : int {
  PLAT_SHARE_OK = 0,
  PLAT_SHARE_NOT_FOUND = 2310,  // no share of that name
};

// Writes the directory of share into dir (size units with its terminator)
// and returns PLAT_SHARE_OK, or returns another code and leaves dir
// unspecified. A directory that does not fit is a failure, never cut.
typedef int (*PlatShareLookupFn)(const WEQ_UC* share, WEQ_UC* dir, size_t size);

// The installed provider; NULL when no share service is available.
PlatShareLookupFn PlatShareProvider(void);

// Installs fn (NULL: none available). PlatShareSystemLookup is the default.
void PlatShareSetProvider(PlatShareLookupFn fn);

// The system provider: this machine has no shares.
int PlatShareSystemLookup(const WEQ_UC* share, WEQ_UC* dir, size_t size);

#endif
