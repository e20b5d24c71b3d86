// APPC header lengths by version and the conversion of an outgoing header to
// the version that the gateway speaks.
#include <string.h>

#include "krn/dptrc/dptrc.h"
#include "krn/gw/gw.h"

namespace {

constexpr int kGwHdrLens[] = {0, 76, 100, 100, 138, 78, 80};

}  // namespace

int GwAppcHdrLen(uint8_t version) {
  return version < sizeof(kGwHdrLens) / sizeof(kGwHdrLens[0]) ? kGwHdrLens[version] : 0;
}

uint8_t* GwOutCheck(uint8_t* hdr, uint8_t version, int* msgLen) {
  if (hdr == nullptr || hdr[APPC_OFF_VERSION] == version) return hdr;
  DPTRC_LINE(2, CTrcGlobalHdl.load(), u"%s: corrected input/output\n", u"GwOutCheck");
  int oldLen = GwAppcHdrLen(hdr[APPC_OFF_VERSION]);
  int newLen = GwAppcHdrLen(version);
  hdr[APPC_OFF_VERSION] = version;
  if (oldLen == newLen) return hdr;
  int diff = newLen - oldLen;
  if (msgLen != nullptr) *msgLen += diff;
  // Either way the header keeps ending where the data begins.
  uint8_t* start = hdr - diff;
  if (diff > 0) {
    memmove(start, hdr, static_cast<size_t>(oldLen));
    memset(start + oldLen, 0, static_cast<size_t>(diff));
  } else {
    memmove(start, hdr, static_cast<size_t>(newLen));
  }
  // A header whose old version had no length brings no version byte along.
  if (newLen > 0) start[APPC_OFF_VERSION] = version;
  return start;
}
