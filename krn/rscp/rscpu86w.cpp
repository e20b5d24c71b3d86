// UTF-8 to and from UTF-16 in swapped byte order.
#include "krn/rscp/rscpu_int.h"

namespace {
using FormT = rscpu::Form<rscpu::Family::kUtf16, true>;
rscpu::RscpuIModule gModule{"@(#) $Id: krn/rscp/rscpu86w.cpp $"};
}  // namespace

RSCPU_DEFINE_FORM(U6sw, FormT, gModule)
