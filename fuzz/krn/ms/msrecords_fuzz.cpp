// The readers of received records: MsConvMsxxlist on random records and
// versions (byte 0 bit 0 clear; byte 1 the server version, the rest the
// record, given at the largest record size) and MsIExtractLogon on random
// records and capacities (byte 0 bit 0 set; byte 1 the capacities, the rest
// the record in a buffer of its exact size). Converted texts must keep
// their widths and the extracted texts stay within their capacities.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "krn/ms/ms_int.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2 || size > 4096) return 0;
  if ((data[0] & 1) == 0) {
    std::vector<WEQ_RAW> rec(160, 0);
    memcpy(rec.data(), data + 2, size - 2 < 160 ? size - 2 : 160);
    MSXXLIST out;
    int32_t version = static_cast<int8_t>(data[1]);
    int rc = MsConvMsxxlist(&out, 4, rec.data(), version);
    if ((rc == 0) != (version >= 1 && version <= 4)) abort();
    return 0;
  }
  std::vector<WEQ_RAW> rec(data + 2, data + size);
  int32_t hostCap = data[1] & 15, miscCap = data[1] >> 4;
  std::vector<WEQ_UC> host(static_cast<size_t>(hostCap) + 1, u'#'), misc(static_cast<size_t>(miscCap) + 1, u'#');
  NI_NODEADDR addr;
  int32_t prot;
  uint32_t ipv4;
  uint16_t port;
  int rc = MsIExtractLogon(rec.data(), static_cast<int32_t>(rec.size()), &prot, host.data(), hostCap, &addr, &ipv4,
                           &port, misc.data(), miscCap);
  if (rc != 0 && rc != MSEINVAL) abort();
  // The unit behind each capacity is never written.
  if (host[static_cast<size_t>(hostCap)] != u'#' || misc[static_cast<size_t>(miscCap)] != u'#') abort();
  return 0;
}
