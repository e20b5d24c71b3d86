// Weak stand-ins of cpic_ni_standin.h over POSIX.
#include "krn/cpic/cpic_ni_standin.h"

#include <atomic>

#define CPIC_STANDIN __attribute__((weak))

namespace {

std::atomic<int32_t> g_initCount{0};
std::atomic<uint32_t> g_connLocal{0};

}  // namespace

CPIC_STANDIN NI_RC NiInit2(int maxHandles) {
  if (maxHandles < 1) return NIEINVAL;
  g_initCount.fetch_add(1);
  return WEQ_O_K;
}

CPIC_STANDIN NI_RC NiExit(void) {
  int32_t n = g_initCount.load();
  while (n > 0 && !g_initCount.compare_exchange_weak(n, n - 1)) {
  }
  return WEQ_O_K;
}

CPIC_STANDIN NI_RC NiThrInit(void) { return g_initCount.load() > 0 ? WEQ_O_K : NIECALL; }

CPIC_STANDIN void NiThrExit(void*) {}

CPIC_STANDIN NI_RC NiSetParam(uint8_t param, uint32_t value) {
  if (param != NIP_CONNLOCAL) return NIEINVAL;
  g_connLocal.store(value);
  return WEQ_O_K;
}

CPIC_STANDIN int64_t NiGetParam(uint8_t param) { return param == NIP_CONNLOCAL ? g_connLocal.load() : -1; }

CPIC_STANDIN NI_RC NiRead(NI_HDL, void*, int, int, uint32_t* pRead) {
  if (pRead != nullptr) *pRead = 0;
  return NIEINVAL;
}

CPIC_STANDIN NI_RC NiWrite(NI_HDL, const void*, int, int, uint32_t* pWritten) {
  if (pWritten != nullptr) *pWritten = 0;
  return NIEINVAL;
}

CPIC_STANDIN NI_RC NiCloseHandle(NI_HDL) { return NIEINVAL; }
