// UTF-8 to and from UCS-2 in native byte order.
#include "krn/rscp/rscpu_int.h"

namespace {
using FormT = rscpu::Form<rscpu::Family::kUcs2, false>;
rscpu::RscpuIModule gModule{"@(#) $Id: krn/rscp/rscpu82r.cpp $"};
}  // namespace

RSCPU_DEFINE_FORM(U2, FormT, gModule)
