// UTF-8 to and from UCS-4 in swapped byte order.
#include "krn/rscp/rscpu_int.h"

namespace {
using FormT = rscpu::Form<rscpu::Family::kUcs4, true>;
rscpu::RscpuIModule gModule{"@(#) $Id: krn/rscp/rscpu84w.cpp $"};
}  // namespace

RSCPU_DEFINE_FORM(U4sw, FormT, gModule)
