// Stand-in of niparam_standin.h.
#include "krn/ni/niparam_standin.h"

namespace {
NiIParamValues g_params;
}  // namespace

NiIParamValues& NiIParams(void) { return g_params; }

void NiIResetParams(void) {
  g_params.portRange = 0;
  g_params.maxPort = 1023;
  g_params.minPort = 1;
  g_params.queueLen = 20;
  g_params.traceAll = 0;
  g_params.incServNo = 0;
  g_params.contInRange = 1;
  g_params.pollTolerance = 0;
  g_params.minSockBuf = 32768;
}
