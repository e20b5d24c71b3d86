// Internals of the network interface shared by its sources and tests.
#ifndef KRN_NI_NI_INT_H
#define KRN_NI_NI_INT_H

#include <stdint.h>

#include "krn/dptrc/dptrc.h"
#include "krn/ni/ni.h"
#include "krn/ni/nihs_front.h"
#include "krn/ni/nixx_int.h"
#include "krn/si/si.h"
#include "weq_types.h"

// Big-endian 32-bit numbers of NI's wire formats.
inline uint32_t NiIGet32(const WEQ_RAW* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | p[3];
}
inline void NiIPut32(WEQ_RAW* p, uint32_t v) {
  p[0] = static_cast<WEQ_RAW>(v >> 24);
  p[1] = static_cast<WEQ_RAW>(v >> 16);
  p[2] = static_cast<WEQ_RAW>(v >> 8);
  p[3] = static_cast<WEQ_RAW>(v);
}

// --- Return codes and the failure reporter ----------------------------------------

// The text returned for codes outside the tables.
#define NI_UNKNOWN_TEXT u"*** ERROR ***"

// Name and text (a format whose placeholders the caller fills) of rc; an
// unknown code, or one without text, gives NI_UNKNOWN_TEXT and the line
// "<function>: unknown error <rc>" in trc at trace level 1 or more.
const WEQ_UC* NiIErrorName(NI_RC rc, CTRC_HDL trc);
const WEQ_UC* NiIErrorText(NI_RC rc, CTRC_HDL trc);

// Names of the socket layer's codes ("SI_EINVAL"), and of a record's family
// ("AF_INET") and type ("SOCK_STREAM"); NULL for values without a name.
const WEQ_UC* NiISiRcName(SI_RC rc);
const WEQ_UC* NiISiFamilyName(const SI_SOCKET* pSock);
const WEQ_UC* NiISiTypeName(const SI_SOCKET* pSock);

// Turns a failed socket-layer call into an NI code, the thread's error
// information and one trace line (the handle's trace file, else the NI
// one; at level 2, or at level 1 as an error line located at module/line
// when errorFlag is 1).
//   siRc, siFunc   the SI code and the failed SI function's id
//   pHdl, pSock    the NI handle record and its socket (each may be NULL)
//   sysErr         the system error number
//   extra          text appended to the trace line (may be NULL)
//   pSockAddr, pPort  the address concerned, raw bytes of the socket's
//                  family (a 16-byte node address without socket record),
//                  and its network-order port (may be NULL)
//   funcName, module, line  the caller
// Always returns a negative code.
NI_RC NiIReportSiError(SI_RC siRc, uint16_t siFunc, const NITAB* pHdl, const SI_SOCKET* pSock,
                       int32_t sysErr, const WEQ_UC* extra, const WEQ_RAW* pSockAddr, const uint16_t* pPort,
                       const WEQ_UC* funcName, const WEQ_UC* module, int32_t line, uint8_t errorFlag);

#endif
