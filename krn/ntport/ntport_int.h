// Internals of the portability services, for this module and its tests.
#ifndef KRN_NTPORT_NTPORT_INT_H
#define KRN_NTPORT_NTPORT_INT_H

#include <stdint.h>

#include "weq_types.h"

// One resolved address: family AF_INET (4 bytes used) or AF_INET6 (16).
struct NtIAddr {
  int family;
  unsigned char bytes[16];
};

// Resolves an 8-bit host name into at most max addresses: their count, or
// -1 when the name does not resolve.
typedef int (*NtIResolveFn)(const char* name, NtIAddr* out, int max);

// The resolver of the address test: getaddrinfo unless a test installed
// another (NULL restores getaddrinfo).
void NtISetResolver(NtIResolveFn fn);
int NtIResolveSystem(const char* name, NtIAddr* out, int max);

// The address test behind NT_IsLocalHost: 1 when one of the name's
// addresses belongs to an interface of this machine.
int NtIAddressIsLocal(const char* name);

// Forgets what was learnt once per process (the NI_USEIPv6 answer and the
// bindings of the bound entries), so that a test can observe the first call
// again. Not for concurrent use.
void NtIReset(void);
void NtIResetLocal(void);  // the NI_USEIPv6 answer only

#endif
