// UUID creation: UuidGenerate writes a new 16-byte identifier built from a
// time-based (version 1) UUID of the system, rearranged into the library's
// own layout. The Java side receives these bytes as they are.
//
// Layout of the 16 output bytes, from the system UUID u[0..15] in network
// byte order (time_low u[0..3], time_mid u[4..5], time_hi_and_version
// u[6..7], clock_seq_hi_and_reserved u[8], clock_seq_low u[9], node
// u[10..15]):
//   0-5    the node
//   6, 7   the 12 bits of time_hi: byte 6 and the low nibble of byte 7; the
//          high nibble of byte 7 is 0xE when bit 0x20 of u[8] is set, else 0xD
//   8-14   time_mid and time_low as one 48-bit stream, most significant bit
//          first, from bit 5 of byte 8 to bit 5 of byte 14; bit 7 of bytes 8
//          and 9 is set and bit 6 of byte 8 is clear
//   14     the five low bits of u[8] in its low bits
//   15     clock_seq_low
//
// The system generator (libuuid's time-based one) is bound on the first call
// and kept for the life of the process; when it cannot be bound it stays
// unavailable. One lock serialises all creation. On any failure the 16 bytes
// are zero.
#ifndef KRN_PERF_PFUUID_H
#define KRN_PERF_PFUUID_H

#include <stdint.h>

#include "weq_types.h"

enum : int32_t {
  UUID_RC_OK = 0,
  UUID_RC_LOCK = 2,         // the lock could not be taken or released
  UUID_RC_NO_SYSTEM = 3,    // no usable system UUID (also for a NULL output)
};

#define UUID_LEN 16

// Writes a new identifier into uuid[0..15]; one of the codes above.
int32_t UuidGenerate(WEQ_RAW* uuid);

#endif
