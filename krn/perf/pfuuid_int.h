// Internal parts of UUID creation, open to its tests: the checks and the
// byte rearrangement, and hooks that replace the system generator.
#ifndef KRN_PERF_PFUUID_INT_H
#define KRN_PERF_PFUUID_INT_H

#include <stdint.h>

#include "weq_types.h"

// The form of libuuid's uuid_generate_time: 16 bytes in network byte order.
typedef void (*UuidISysGenFn)(unsigned char out[16]);

// UUID_RC_OK when sys holds a version-1 UUID of variant binary 10, else
// UUID_RC_NO_SYSTEM.
int32_t UuidICheck(const WEQ_RAW sys[16]);

// Writes the output layout (see pfuuid.h) of a system UUID.
void UuidIRearrange(const WEQ_RAW sys[16], WEQ_RAW out[16]);

// Obtains a system UUID into sys: UUID_RC_OK, or UUID_RC_NO_SYSTEM when the
// generator is unavailable or its UUID fails UuidICheck. Caller holds the
// creation lock.
int32_t UuidISystemUuid(WEQ_RAW sys[16]);

// Test hooks. UuidITestSetGenerator makes fn the system generator of the
// process (NULL: the generator is unavailable) until UuidITestRestore.
// UuidITestBindNames changes the library and the entry that the first use
// binds; it has an effect only before the process's first UuidGenerate.
void UuidITestSetGenerator(UuidISysGenFn fn);
void UuidITestRestore(void);
void UuidITestBindNames(const char* library, const char* entry);

#endif
