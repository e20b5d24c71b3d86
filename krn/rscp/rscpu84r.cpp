// UTF-8 to and from UCS-4 in native byte order.
#include "krn/rscp/rscpu_int.h"

namespace {
using FormT = rscpu::Form<rscpu::Family::kUcs4, false>;
rscpu::RscpuIModule gModule{"@(#) $Id: krn/rscp/rscpu84r.cpp $"};
}  // namespace

RSCPU_DEFINE_FORM(U4, FormT, gModule)
