// UTF-8 to and from UCS-2 in swapped byte order.
#include "krn/rscp/rscpu_int.h"

namespace {
using FormT = rscpu::Form<rscpu::Family::kUcs2, true>;
rscpu::RscpuIModule gModule{"@(#) $Id: krn/rscp/rscpu82w.cpp $"};
}  // namespace

RSCPU_DEFINE_FORM(U2sw, FormT, gModule)
