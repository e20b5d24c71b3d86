// Three inputs from one byte string, chosen by the first byte modulo 3:
//   0: an incoming field with flags and a capacity for GwConvFromNet and
//      GwNetStrForTrc: nothing written past the capacity, the length within
//      it, the trace text terminated within the field length + 1;
//   1: 16-bit text for GwConvToNet into a field of exactly its capacity;
//   2: a header of a random version converted to another in a block with
//      exactly the room the conversion needs: it ends where the data begins
//      and the data is untouched.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <vector>

#include "krn/gw/gw.h"

#define GW_FUZZ_CHECK(c) \
  do {                   \
    if (!(c)) abort();   \
  } while (0)

namespace {

void FromNet(const uint8_t* data, size_t size) {
  if (size < 2) return;
  int capacity = data[0] % 40;
  int terminate = data[1] & 1, blank = (data[1] >> 1) & 1;
  data += 2, size -= 2;
  std::vector<char> field(data, data + size);
  std::vector<WEQ_UC> dst(static_cast<size_t>(capacity) + 1, 0xBEEF);
  int len = -77;
  int rc = GwConvFromNet(dst.data(), &len, capacity, field.data(), static_cast<int>(size), terminate, blank);
  GW_FUZZ_CHECK(dst[static_cast<size_t>(capacity)] == 0xBEEF);
  if (rc == 0 || rc == 32) {
    GW_FUZZ_CHECK(len >= 0 && len <= capacity);
    if (terminate && capacity > 0) GW_FUZZ_CHECK(len < capacity && dst[static_cast<size_t>(len)] == 0);
  } else {
    GW_FUZZ_CHECK(len == -77);
  }
  const WEQ_UC* t = GwNetStrForTrc(field.data(), static_cast<int>(size), terminate, blank);
  size_t n = 0;
  while (t[n] != 0) ++n;
  GW_FUZZ_CHECK(n <= size);
}

void ToNet(const uint8_t* data, size_t size) {
  if (size < 2) return;
  int capacity = data[0] % 40;
  int terminate = data[1] & 1, blank = (data[1] >> 1) & 1;
  data += 2, size -= 2;
  std::vector<WEQ_UC> src(size / 2);
  memcpy(src.data(), data, src.size() * 2);
  std::vector<char> field(static_cast<size_t>(capacity) + 1, '#');
  int len = -77;
  int rc = GwConvToNet(field.data(), &len, capacity, src.data(), static_cast<int>(src.size()), terminate, blank);
  GW_FUZZ_CHECK(field[static_cast<size_t>(capacity)] == '#');
  if (rc == 0 || rc == 32) {
    GW_FUZZ_CHECK(len >= 0 && len <= capacity);
    if (terminate && capacity > 0) GW_FUZZ_CHECK(len >= 1 && field[static_cast<size_t>(len - 1)] == 0);
  } else {
    GW_FUZZ_CHECK(len == -77);
  }
}

void Header(const uint8_t* data, size_t size) {
  if (size < 2) return;
  uint8_t from = data[0] % 9, to = data[1] % 9;
  data += 2, size -= 2;
  int oldLen = GwAppcHdrLen(from);
  int newLen = from == to ? oldLen : GwAppcHdrLen(to);
  int front = newLen > oldLen ? newLen - oldLen : 0;
  size_t dataLen = size + 1;  // the version byte of a header without length lies here
  std::unique_ptr<uint8_t[]> block(new uint8_t[static_cast<size_t>(front + oldLen) + dataLen]);
  uint8_t* hdr = block.get() + front;
  for (int i = 0; i < oldLen; ++i) hdr[i] = static_cast<uint8_t>(i < static_cast<int>(size) ? data[i] : i);
  memcpy(hdr + oldLen, data, size);
  hdr[oldLen + static_cast<int>(size)] = 0x5A;
  hdr[0] = from;
  int msgLen = oldLen + static_cast<int>(dataLen);
  uint8_t* out = GwOutCheck(hdr, to, &msgLen);
  GW_FUZZ_CHECK(out + newLen == hdr + oldLen);
  GW_FUZZ_CHECK(msgLen == newLen + static_cast<int>(dataLen));
  GW_FUZZ_CHECK(out[newLen + static_cast<int>(size)] == 0x5A);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  switch (data[0] % 3) {
    case 0: FromNet(data + 1, size - 1); break;
    case 1: ToNet(data + 1, size - 1); break;
    default: Header(data + 1, size - 1); break;
  }
  return 0;
}
