// Bounded length over arbitrary 16-bit data: the result never exceeds the
// bound and names the first 0 unit when there is one.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "i18n/wequ16/u16str.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<WEQ_UC> units(size / 2);
  if (!units.empty()) std::memcpy(units.data(), data, units.size() * 2);
  size_t n = strnlenU16(units.data(), units.size());
  if (n > units.size()) std::abort();
  for (size_t i = 0; i < n; ++i)
    if (units[i] == 0) std::abort();
  if (n < units.size() && units[n] != 0) std::abort();
  return 0;
}
