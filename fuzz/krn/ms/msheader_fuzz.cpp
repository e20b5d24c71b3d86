// MsIConvertHeaderIn on random messages and versions: byte 0 is the own
// version, byte 1 the header version, the rest the message, placed in a
// buffer with the 40 bytes of room a version-3 header needs to grow. The
// result must be -1 or the length the version's rule gives, the data must
// land behind the 110-byte header unchanged, and nothing may be read or
// written outside the message and its room.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "krn/ms/ms_int.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2 || size > 40000) return 0;
  uint8_t own = data[0] % 6;
  uint8_t version = data[1] % 6;
  size_t len = size - 2;
  std::vector<WEQ_RAW> buf(len + 40);
  memcpy(buf.data(), data + 2, len);
  int32_t n = 0;
  MsIConvertHeaderIn(buf.data(), static_cast<int32_t>(len), &n, own, version);
  int32_t want;
  if (own <= version)
    want = static_cast<int32_t>(len);
  else if (version == 3)
    want = len < MS_H3_LEN || len > MS_H3_MAX_LEN ? -1 : static_cast<int32_t>(len + 40);
  else if (version > 3)
    want = static_cast<int32_t>(len);
  else
    want = len < MS_H2_LEN ? -1 : static_cast<int32_t>(len - 118);
  if (n != want) abort();
  if (n > MS_HEADER_LEN && own > version && version <= 3) {
    size_t from = version == 3 ? MS_H3_LEN : MS_H2_LEN;
    if (memcmp(buf.data() + MS_HEADER_LEN, data + 2 + from, static_cast<size_t>(n - MS_HEADER_LEN)) != 0) abort();
  }
  return 0;
}
