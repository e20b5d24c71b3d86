// Portability services between the library and the operating system: the
// socket start with its quality-of-service set-up, the test whether a host
// name denotes this machine, the mapping of a share path on this machine to
// its local directory, the process's argument vector, the parent process id,
// a bounded copy, and the system entries bound on first use.
//
// Process-wide state (all built once, kept until the process ends): the
// quality-of-service flag, the answer to NI_USEIPv6, the argument vector and
// the bound entries. Each is guarded by an atomic or a lock of its own, so
// every function may be called from any thread; the argument vector's lock
// is a leaf. Nothing here writes the developer trace: failures give the
// documented result (0, NULL, an unchanged path).
//
// Linux specifics: there are no quality-of-service protocol entries, so
// quality of service stays off and QOSENABLE, QOSAPPNAME and
// QOSPOLICYLOCATOR are not read; the local addresses are those of
// getifaddrs; the argument vector is the process's own (/proc/self/cmdline);
// shares come from the platform's share provider, which on Linux knows none.
#ifndef KRN_NTPORT_NTPORT_H
#define KRN_NTPORT_NTPORT_H

#include <stddef.h>
#include <stdint.h>

#include "weq_types.h"

// --- Sockets and quality of service ------------------------------------------

// Starts the socket layer's platform part once per process; later calls
// return 0 at once. 0, or -1 when sockets cannot be started (never on
// Linux, where sockets need no start).
int SiQosInit(void);

// Non-zero when SiQosInit kept quality-of-service protocol entries, which
// the socket layer then uses for its stream sockets. Always 0 on Linux.
int SiQosActive(void);

// Non-zero on an NT-family system of major version 5 or later: 0 on Linux.
int NT_OsVersionCheck(void);

// --- Host names and share paths ----------------------------------------------

// 1 when name (a host name or a numeric address) denotes this machine, else
// 0. "localhost" and "127.0.0.1" are local at once, and so is "::1" when the
// environment variable NI_USEIPv6 exists (looked at once per process). Any
// other name (longer than 255 bytes in UTF-8: 0) is resolved and is local
// when one of its addresses is an address of one of this machine's
// interfaces; a resolution failure gives 0. Resolving may wait for the name
// service.
int NT_IsLocalHost(const WEQ_UC* name);

// Maps a share path "\\host\share\rest" in place to the share's local
// directory followed by "\rest", when host is "." or this machine (its name,
// ignoring case, or NT_IsLocalHost) and the share provider knows the share.
// The mapped text is taken only when it is shorter than the given path, so
// it always fits where the path was. A directory that ends in '\' or '/'
// does not double the separator; an empty one leaves "\rest". On any
// failure the path is unchanged.
void NT_UncToLocal(WEQ_UC* path);

// --- Process ---------------------------------------------------------------

// The process's arguments (argv[0] included) as 16-bit strings with a NULL
// entry at the end, built once from the command line and cached; *argc
// receives the count. Arguments that are not valid UTF-8 carry U+FFFD for
// the bad bytes. NULL with *argc 0 when the command line cannot be read or
// memory runs out. The array belongs to this module until NT_FreeArgv.
WEQ_UC** NT_GetArgv(int* argc);

// Frees the cached vector; the next NT_GetArgv builds it again.
void NT_FreeArgv(void);

// The parent process id as the environment variable PPID gives it (decimal,
// at most 19 characters taken); 0 when it is not set or not a number.
long NT_getppid(void);

// Copies min(length of src + 1, count) units of src to dst and returns that
// number; dst is terminated only when the whole of src fitted.
size_t NT_wcsncpyn(WEQ_UC* dst, const WEQ_UC* src, size_t count);

// --- Bound system entries ----------------------------------------------------
// Bound on their first call to the platform's provider of the service; when
// no provider is available they keep answering the fallback shown.

// The local directory of a share into dir (size units with terminator):
// 0, or the provider's failure code (2310, "no such share", as fallback).
int NT_ShareGetPath(const WEQ_UC* share, WEQ_UC* dir, size_t size);

// Total physical memory in bytes: true, or false (fallback) when unknown.
bool NT_PhysMemTotal(uint64_t* bytes);

#endif
