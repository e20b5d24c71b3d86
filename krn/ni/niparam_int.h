// The NI parameters as the NI sources read them: the stored process-wide
// values (atomics, read without the "NI param section" that guards their
// writes) and their reset for tests.
#ifndef KRN_NI_NIPARAM_INT_H
#define KRN_NI_NIPARAM_INT_H

#include <stdint.h>

#include <atomic>

#include "weq_types.h"

// Longest local-domain path pattern, terminator included.
#define NI_UDS_PATH_LEN 105

struct NiIParamValues {
  std::atomic<uint8_t> portRange{0};  // search [minPort, maxPort] instead of 10000..65000
  std::atomic<uint16_t> maxPort{1023};
  std::atomic<uint16_t> minPort{0};        // a set 0 or 1 is stored as 1; the search never tries 0
  std::atomic<int32_t> queueLen{20};       // listen queue length, at least 5
  std::atomic<uint8_t> traceAll{0};        // trace flag of every new handle
  std::atomic<uint8_t> incServNo{0};       // port search counts up
  std::atomic<uint8_t> contInRange{1};     // port search continues from the last port
  std::atomic<uint32_t> pollTolerance{0};  // seconds a wait may overrun before a warning
  std::atomic<int32_t> minSockBuf{32768};  // smallest send and receive buffer of a new socket
  std::atomic<uint8_t> minSockBufSet{0};   // a caller set minSockBuf: it holds for buffers the system grows too
  std::atomic<uint32_t> fragTest{0};       // write/read fragmentation test F (0 off)
  std::atomic<uint32_t> qTestProp{0};      // queue test: proportion 1..100 (0 off)
  std::atomic<uint32_t> qTestCount{0};     // queue test: failed writes per block
  std::atomic<uint8_t> connLocal{1};       // stored and traced only
};

// The process-wide values.
NiIParamValues& NiIParams(void);

// Back to the defaults (tests).
void NiIResetParams(void);

// The local-domain path pattern (empty by default); the text is copied
// into buffer (NI_UDS_PATH_LEN units).
void NiIUdsPath(WEQ_UC* buffer);

#endif
