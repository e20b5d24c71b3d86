// Random and mutated network forms of the error information, then every
// reader of the installed record. With tracing on, damaged records go
// through the trace and its dumps as well (written to /dev/null).
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <vector>

#include "krn/dptrc/err.h"

namespace {

FILE* TraceSink() {
  static FILE* f = [] {
    FILE* s = fopen("/dev/null", "w");
    CTrcGlobalHdl.store(s);
    CTrcLevel.store(2);
    return s;
  }();
  return f;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TraceSink();
  // The first byte picks a form: raw bytes, or the input framed by the
  // UTF-8 or the EBCDIC eyecatchers so that most inputs get past them.
  std::vector<uint8_t> in;
  uint8_t form = size > 0 ? data[0] % 3 : 0;
  const uint8_t* body = size > 0 ? data + 1 : data;
  size_t n = size > 0 ? size - 1 : 0;
  static const uint8_t kUtf8[6] = {'*', 'E', 'R', 'R', '*', 0};
  static const uint8_t kEbcdic[6] = {0x5C, 0xC5, 0xD9, 0xD9, 0x5C, 0};
  const uint8_t* eye = form == 2 ? kEbcdic : kUtf8;
  if (form != 0) in.insert(in.end(), eye, eye + 6);
  in.insert(in.end(), body, body + n);
  if (form != 0) in.insert(in.end(), eye, eye + 6);

  ErrCpNetToInt(in.data(), in.size());
  for (int i = -1; i <= ERR_FLD_COUNT + 1; ++i) {
    const WEQ_UC* f = ErrGetFld(i);
    size_t len = 0;
    while (f[len] != 0) ++len;
    if (len > ERR_INFO_MAX_UNITS) __builtin_trap();
  }
  const WEQ_UC* fields[ERR_FLD_COUNT];
  ErrIGet(fields);
  ErrGetAllTxt();
  ErrTrace(CTrcGlobalHdl);
  const WEQ_UC* rec;
  size_t len;
  if (ErrGetAttr(&rec, &len) == 0) {
    std::vector<WEQ_UC> copy(rec, rec + len);
    ErrCpTo(copy.data(), copy.size());
    uint8_t net[2000];
    size_t netLen = 0;
    if (ErrCpIntToNet(net, &netLen, sizeof net) == 0 && ErrIGet(nullptr) == 0 &&
        ErrGetAttr(&rec, &len) == 0) {
      // A valid record survives the round trip.
      std::vector<WEQ_UC> before(rec, rec + len);
      if (ErrCpNetToInt(net, netLen) != 0) __builtin_trap();
      const WEQ_UC* after;
      size_t afterLen;
      if (ErrGetAttr(&after, &afterLen) != 0 || afterLen != before.size() ||
          memcmp(after, before.data(), afterLen * sizeof(WEQ_UC)) != 0) {
        __builtin_trap();
      }
    }
  }
  return 0;
}
