// Network interface (NI): integer handles over TCP on IPv4 and IPv6 and
// over datagram sockets, with message framing, keep-alive, select sets,
// wakeups, a buffered layer, routing and cached name resolution, all over
// the socket layer (krn/si).
//
// Every NI operation returns an NI_RC: WEQ_O_K (0) or a negative code of
// the table below. A failing operation also records the calling thread's
// error information under the component "NI (network interface)" and
// writes one trace line.
#ifndef KRN_NI_NI_H
#define KRN_NI_NI_H

#include <stdint.h>

#include "weq_types.h"

// --- Return codes -------------------------------------------------------------

typedef int32_t NI_RC;

enum : NI_RC {
  NIEINTERN = -1,             // internal error
  NIEHOST_UNKNOWN = -2,       // host name unknown
  NIESERV_UNKNOWN = -3,       // service unknown
  NIESERV_USED = -4,          // service (port) in use
  NIETIMEOUT = -5,            // time-out
  NIECONN_BROKEN = -6,        // connection broken
  NIETOO_SMALL = -7,          // data too small (caller's business)
  NIEINVAL = -8,              // invalid parameters
  NIECONN_REFUSED = -10,      // partner not reached
  NIEPING = -11,              // a PING arrived
  NIECONN_PENDING = -12,      // connect to the partner or a router still pending
  NIEVERSION = -13,           // invalid client version
  NIENOFREEPORT = -15,        // no free local port in the range
  NIEMYHOST_VERIFY = -16,     // own host name or address not verified
  NIESNC_FAILURE = -17,       // SNC failed (SNC recorded the error)
  NIEOPCODE = -18,            // control message received
  NIEQUE_FULL = -19,          // queue full
  NIETOO_BIG = -20,           // packet too big
  NIEACCEPT = -21,            // accepted handle pending
  NIEPASSED = -22,            // handle passed to another process
  NIENO_ANSWER = -23,         // no answer
  NIECALL = -24,              // unexpected call
  NIEROUT_HOST_UNKNOWN = -90,
  NIEROUT_SERV_UNKNOWN = -91,
  NIEROUT_CONN_REFUSED = -92,
  NIEROUT_INTERN = -93,
  NIEROUT_PERM_DENIED = -94,
  NIEROUT_CONN_BROKEN = -95,
  NIEROUT_VERSION = -96,
  NIEROUT_CANCELED = -97,
  NIEROUT_SHUTDOWN = -98,
  NIEROUT_INFO_DENIED = -99,
  NIEROUT_OVERFLOW = -100,
  NIEROUT_MODE_DENIED = -101,
  NIEROUT_NOCLIENT = -102,
  NIEROUT_EXTERN = -103,
  NIEROUT_SNC_FAILURE = -104,
};

// Component and version of every NI error record.
#define NI_COMPONENT u"NI (network interface)"
#define NI_COMPONENT_VERSION 40

// The name of rc ("NIETIMEOUT"; "WEQ_O_K" for 0), or "*** ERROR ***" for a
// code outside the table, which is also traced to the NI trace file.
const WEQ_UC* NiErrorName(NI_RC rc);

// Records rc in the calling thread's error information, unless the same
// code is recorded already at the thread's current location. For the SNC
// codes only the code and the component of the existing record change.
void NiErrSet(NI_RC rc);

#endif
