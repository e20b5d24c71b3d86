// Stand-in for the NI parameters that the handle table, the socket set-up
// and the connections read, until the parameter functions arrive: the
// stored values with their defaults, read without a lock and written by
// tests. It goes (this header and niparam_standin.cpp) when they arrive.
#ifndef KRN_NI_NIPARAM_STANDIN_H
#define KRN_NI_NIPARAM_STANDIN_H

#include <stdint.h>

#include <atomic>

struct NiIParamValues {
  std::atomic<uint8_t> portRange{0};  // search [minPort, maxPort] instead of 10000..65000
  std::atomic<uint16_t> maxPort{1023};
  std::atomic<uint16_t> minPort{1};        // 0 and 1 are stored as 1
  std::atomic<int32_t> queueLen{20};       // listen queue length, at least 5
  std::atomic<uint8_t> traceAll{0};        // trace flag of every new handle
  std::atomic<uint8_t> incServNo{0};       // port search counts up
  std::atomic<uint8_t> contInRange{1};     // port search continues from the last port
  std::atomic<uint32_t> pollTolerance{0};  // seconds a wait may overrun before a warning
  std::atomic<int32_t> minSockBuf{32768};  // smallest send and receive buffer of a new socket
};

// The process-wide values.
NiIParamValues& NiIParams(void);

// Back to the defaults (tests).
void NiIResetParams(void);

#endif
