// Random inputs through the conversion engine's entry points that take
// data from outside: character lengths of random bytes in exactly sized
// buffers with random NLS kinds, and random 172-byte converter objects (as
// the Java side could hand them over) through the method chooser and the
// shortcut type. Checked: lengths stay in 0..6 (for JIS, within the
// available bytes and one more: a run measured whole), the chooser's code is one
// it documents, a chosen object's method and blank lengths are in range and
// its sides were looked up unless a copying method or the F1
// route's byte-to-byte table needs none, and the
// shortcut type is 0..6.
#include <stdlib.h>
#include <string.h>

#include <cstdint>
#include <memory>

#include "krn/rscp/rscp_int.h"
#include "krn/rscp/rscpc_int.h"
#include "krn/thr/thr.h"
#include "rscpc_fuzz.h"

namespace {

using rscpcfuzz::Require;
using rscpcfuzz::Start;

bool Documented(rscpRc_t rc) {
  switch (rc) {
    case 0: case RSCPEINTERN: case RSCPEINVAL: case RSCPETOOLONG: case RSCPEBUSY: case RSCPENOCONV: case RSCPEIO:
      return true;
    default:
      return false;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  Start();
  rscpeClearThrErrors();
  const uint8_t* p = data + 2;
  const size_t n = size - 2;
  if ((data[0] & 1) == 0) {
    const int32_t kind = static_cast<int8_t>(data[1]);
    std::unique_ptr<uint8_t[]> buf(new uint8_t[n == 0 ? 1 : n]);
    memcpy(buf.get(), p, n);
    const int len = rscpCharLenByNls(buf.get(), static_cast<int32_t>(n), kind);
    Require(len >= 0 && len <= (kind == 2 ? static_cast<int>(n) + 1 : 6));
    if (n == 0 || kind < 1 || kind > 39) Require(len == 0);
    return 0;
  }
  rscpCObj_t o;
  memset(&o, 0, sizeof(o));
  memcpy(&o, p, n < sizeof(o) ? n : sizeof(o));
  // Code pages from a small alphabet so that real ones come up.
  if (data[1] & 1) {
    static const char* const kPages[] = {"1100", "4103", "4102", "4110", "8000", "6100", "6200",
                                         "6500", "8200", "0100", "4000", "8450", "1101", "0042"};
    const char* f = kPages[(n > 0 ? p[0] : 0) % 14];
    const char* t = kPages[(n > 1 ? p[1] : 0) % 14];
    for (int i = 0; i < 4; ++i) o.from_cp[i] = static_cast<WEQ_UC>(f[i]), o.to_cp[i] = static_cast<WEQ_UC>(t[i]);
  }
  const rscpRc_t rc = rscpCLoadTables(&o);
  Require(Documented(rc));
  if (rc == 0) {
    Require(o.method <= 49);
    Require(o.in_space_len <= 4 && o.out_space_len <= 4);
    // The F1 route's byte-to-byte table stands in for both sides' tables.
    Require(o.in_looked_up == 1 || o.method == RSCP_M_DIRECT || o.method == RSCP_M_1B_TO_1B || o.method >= 25);
  }
  const int type = rscpNoShortCutConversion(&o);
  Require(type >= 0 && type <= 6);
  return 0;
}
