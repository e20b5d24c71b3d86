// STAND-IN, TO BE REPLACED: the two network-interface address helpers that
// the storage converter's favourite trace line needs, until the network
// interface's own address functions land. Delete this header and
// adxx_nistandin.cpp, and include the network interface's header in
// adxxcvt.cpp instead; the names and signatures are the same, so nothing
// else changes. The names live in a namespace of their own so that they
// never clash with the real ones at link time.
#ifndef KRN_AD_ADXX_NISTANDIN_H
#define KRN_AD_ADXX_NISTANDIN_H

#include <stdint.h>

#include "weq_types.h"

namespace adnistandin {

// A node address: 16 bytes, an IPv4 address IPv4-mapped.
typedef struct NI_NODEADDR {
  WEQ_RAW addr[16];
} NI_NODEADDR;

// The IPv4 value (network order, unchanged) in IPv4-mapped form.
NI_NODEADDR NiIPv4ToAddr(uint32_t ipv4);

// The address as text (dotted for IPv4-mapped, else numeric IPv6) in the
// buffer; "<ERR>" when it cannot be formatted.
const WEQ_UC* NiAddrToStr2(const NI_NODEADDR* pNodeAddr, WEQ_UC* pNodeAddrStr, int bufferLen,
                           int flag);

}  // namespace adnistandin

using adnistandin::NI_NODEADDR;
using adnistandin::NiAddrToStr2;
using adnistandin::NiIPv4ToAddr;

#endif
