// UTF-8 to and from UTF-16 in native byte order.
#include "krn/rscp/rscpu_int.h"

namespace {
using FormT = rscpu::Form<rscpu::Family::kUtf16, false>;
rscpu::RscpuIModule gModule{"@(#) $Id: krn/rscp/rscpu86r.cpp $"};
}  // namespace

RSCPU_DEFINE_FORM(U6, FormT, gModule)
