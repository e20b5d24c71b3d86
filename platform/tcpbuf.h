// Automatic sizing of TCP connection buffers.
//
// Some systems grow the send and receive buffer of each TCP connection by
// themselves as the connection needs them, up to a limit, for as long as no
// program fixes that buffer's size: setting a size ends the growth of that
// buffer for good. The system provider tells up to which size each kind of
// buffer grows (0: it does not grow, or the system does not say). The
// provider is pluggable for processes and tests that need other figures; a
// NULL provider means the system does not tell. The provider slot is
// atomic; a provider must be callable from any thread.
#ifndef PLATFORM_TCPBUF_H
#define PLATFORM_TCPBUF_H

#include <stdint.h>

typedef struct PlatTcpBufAuto {
  int64_t sendMax;  // largest size a send buffer grows to, as the socket reports sizes; 0: no growth
  int64_t recvMax;  // the same for receive buffers
} PlatTcpBufAuto;

// Fills *out: true, or false when the system's sizing is not known.
typedef bool (*PlatTcpBufFn)(PlatTcpBufAuto* out);

// The installed provider; NULL when nothing is known.
PlatTcpBufFn PlatTcpBufProvider(void);

// Installs fn (NULL: not known). PlatTcpBufSystem is the default.
void PlatTcpBufSetProvider(PlatTcpBufFn fn);

// The system provider: the calling process's view (its network
// namespace's settings).
bool PlatTcpBufSystem(PlatTcpBufAuto* out);

#endif
