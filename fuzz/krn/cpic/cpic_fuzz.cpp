// Two inputs from one byte string, chosen by the first byte:
//   even: a fixed field for CpicFieldToU16 with a capacity and flags taken
//         from the next bytes; the output never passes the capacity, the
//         length fits it, a terminator stands where promised;
//   odd:  a route and a TP name (16-bit text) for STIAnalyzeRoute with small
//         outputs; every output stays terminated within its size.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "krn/cpic/cpic.h"
#include "fuzz/check.h"

namespace {

constexpr WEQ_UC kGuard = 0xBEEF;

void Fields(const uint8_t* data, size_t size) {
  if (size < 3) return;
  int capacity = data[0] % 24;
  int terminate = data[1] & 1;
  int blank = (data[1] >> 1) & 1;
  int srcLen = data[2] % 32;
  data += 3;
  size -= 3;
  if (static_cast<size_t>(srcLen) > size) srcLen = static_cast<int>(size);
  std::vector<char> src(data, data + srcLen);  // exactly srcLen bytes: reads beyond are caught
  std::vector<WEQ_UC> dst(static_cast<size_t>(capacity) + 1, kGuard);
  int len = -77;
  int rc = CpicFieldToU16(dst.data(), &len, capacity, src.data(), srcLen, terminate, blank);
  FUZZ_CHECK(dst[static_cast<size_t>(capacity)] == kGuard);
  if (rc != 0 && rc != 32) {
    FUZZ_CHECK(len == -77);
    return;
  }
  FUZZ_CHECK(len >= 0 && len <= capacity);
  if (terminate && capacity > 0) {
    FUZZ_CHECK(len < capacity);
    FUZZ_CHECK(dst[static_cast<size_t>(len)] == 0);
  }
  if (!terminate && !blank && rc == 0 && srcLen > 0) FUZZ_CHECK(len <= srcLen);
}

void Routes(const uint8_t* data, size_t size) {
  if (size < 2) return;
  size_t split = data[0] % (size);
  std::vector<WEQ_UC> route, tp;
  // Bytes stand for the characters routes are made of, mostly.
  static const char kAlpha[] = "/HS/weqdp0129.x";
  for (size_t i = 1; i < size; ++i) {
    WEQ_UC c = data[i] < 0xF0 ? static_cast<WEQ_UC>(kAlpha[data[i] % (sizeof(kAlpha) - 1)]) : data[i];
    (i <= split ? route : tp).push_back(c);
  }
  route.push_back(0);
  tp.push_back(0);
  size_t sizes[4] = {static_cast<size_t>(data[0] % 5), static_cast<size_t>(data[0] % 3 + 1),
                     static_cast<size_t>(data[0] % 7), static_cast<size_t>(data[0] % 4 + 2)};
  std::vector<WEQ_UC> out[4];
  for (int i = 0; i < 4; ++i) out[i].assign(sizes[i] + 1, kGuard);
  bool ok = STIAnalyzeRoute(route.data(), tp.data(), out[0].data(), sizes[0], out[1].data(), sizes[1],
                            out[2].data(), sizes[2], out[3].data(), sizes[3]);
  for (int i = 0; i < 4; ++i) {
    FUZZ_CHECK(out[i][sizes[i]] == kGuard);
    if (ok && sizes[i] > 0) {
      bool terminated = false;
      for (size_t k = 0; k < sizes[i]; ++k) terminated |= out[i][k] == 0;
      FUZZ_CHECK(terminated);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  if (data[0] & 1) {
    Routes(data + 1, size - 1);
  } else {
    Fields(data + 1, size - 1);
  }
  return 0;
}
