// The fuzzer's bytes read front to back. Reads past the end give zeros, so
// that every input, however short, drives a whole run of the target.
#ifndef FUZZ_INPUT_H
#define FUZZ_INPUT_H

#include <stddef.h>
#include <stdint.h>

#include <algorithm>
#include <string>
#include <vector>

namespace tovfuzz {

struct Input {
  const uint8_t* p;
  size_t n;

  uint8_t Byte() {
    if (n == 0) return 0;
    --n;
    return *p++;
  }
  // Two bytes, the first the high one.
  uint16_t Be16() {
    const unsigned hi = Byte();
    return static_cast<uint16_t>(hi << 8 | Byte());
  }
  // Up to k bytes as they stand.
  std::string Take(size_t k) {
    k = std::min(k, n);
    std::string s(reinterpret_cast<const char*>(p), k);
    p += k, n -= k;
    return s;
  }
  std::vector<uint8_t> Rest() const { return std::vector<uint8_t>(p, p + n); }
  // bytes (at most 4) as a number, the first the highest.
  uint32_t U(int bytes) {
    uint32_t v = 0;
    for (int i = 0; i < bytes; ++i) v = v << 8 | Byte();
    return v;
  }
  // An index or length for an array of limit elements: mostly in range,
  // sometimes negative or past the limit.
  int Bound(int limit) {
    const uint32_t sel = U(1);
    if (sel < 16) return -static_cast<int>(U(1)) - 1;
    if (sel < 32) return limit + static_cast<int>(U(1));
    return static_cast<int>(U(2) % static_cast<uint32_t>(limit + 1));
  }
};

}  // namespace tovfuzz

#endif
