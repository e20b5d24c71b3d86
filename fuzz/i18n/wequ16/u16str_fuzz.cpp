// The bounded string functions over arbitrary 16-bit data: no write beyond
// the size (the buffers are exactly that large), only the result codes
// 0 and ERANGE, and the text each rule promises. Also the bounded length,
// the tokenizer and the number parser.
#include <errno.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <vector>

#include "i18n/wequ16/u16str.h"
#include "fuzz/check.h"

namespace {

struct Input {
  const uint8_t* p;
  size_t n;
  size_t Take(size_t limit) {  // a number below limit from the next byte
    if (n == 0 || limit == 0) return 0;
    --n;
    return *p++ % limit;
  }
  std::vector<WEQ_UC> Units(size_t count) {  // the next count units (fewer at the end)
    std::vector<WEQ_UC> u;
    while (u.size() < count && n >= 2) {
      u.push_back(static_cast<WEQ_UC>(p[0] | (p[1] << 8)));
      p += 2;
      n -= 2;
    }
    return u;
  }
};

size_t Len(const std::vector<WEQ_UC>& v) { return std::find(v.begin(), v.end(), 0) - v.begin(); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in{data, size};
  const size_t cap = 1 + in.Take(24);
  const size_t count = in.Take(32);
  std::vector<WEQ_UC> src = in.Units(in.Take(32));
  src.push_back(0);  // a terminated source of exactly its own size
  std::vector<WEQ_UC> dst = in.Units(cap);
  dst.resize(cap, 0x4141);
  const std::vector<WEQ_UC> before = dst;
  const size_t srcLen = Len(src);
  const size_t dstLen = std::min(Len(before), cap);

  size_t n = strnlenU16(dst.data(), cap);
  FUZZ_CHECK(n == dstLen);

  std::vector<WEQ_UC> d = before;
  int rc = strcpy_sU16(d.data(), cap, src.data());
  FUZZ_CHECK(rc == (srcLen < cap ? 0 : ERANGE));
  FUZZ_CHECK(rc != 0 ? d[0] == 0 : std::equal(src.begin(), src.begin() + srcLen + 1, d.begin()));

  d = before;
  rc = strcat_sU16(d.data(), cap, src.data());
  if (dstLen == cap) {
    FUZZ_CHECK(rc == ERANGE && d == before);
  } else if (dstLen + srcLen < cap) {
    FUZZ_CHECK(rc == 0 && std::equal(src.begin(), src.begin() + srcLen + 1, d.begin() + dstLen));
    FUZZ_CHECK(std::equal(before.begin(), before.begin() + dstLen, d.begin()));
  } else {
    FUZZ_CHECK(rc == ERANGE && d[0] == 0);
  }

  d = before;
  FUZZ_CHECK(strncpy_sU16(d.data(), cap, src.data(), count) == 0);
  size_t k = std::min({count, cap - 1, srcLen});
  FUZZ_CHECK(d[k] == 0 && std::equal(src.begin(), src.begin() + k, d.begin()));

  d = before;
  rc = strncat_sU16(d.data(), cap, src.data(), count);
  if (dstLen == cap) {
    FUZZ_CHECK(rc == ERANGE && d == before);
  } else if (count >= cap - dstLen && srcLen >= cap - dstLen) {
    FUZZ_CHECK(rc == ERANGE && d[0] == 0);
  } else {
    k = std::min(count, srcLen);
    FUZZ_CHECK(rc == 0 && d[dstLen + k] == 0);
    FUZZ_CHECK(std::equal(src.begin(), src.begin() + k, d.begin() + dstLen));
  }

  d = before;
  rc = memcpy_sU16(d.data(), cap, src.data(), std::min(count, src.size()));
  if (std::min(count, src.size()) <= cap) {
    FUZZ_CHECK(rc == 0 && std::equal(src.begin(), src.begin() + std::min(count, src.size()), d.begin()));
  } else {
    FUZZ_CHECK(rc == ERANGE && std::all_of(d.begin(), d.end(), [](WEQ_UC u) { return u == 0; }));
  }

  // Tokens hold no delimiter and appear in order in the text.
  std::vector<WEQ_UC> text = src;
  std::vector<WEQ_UC> delims = {before[0], static_cast<WEQ_UC>(count), 0};
  if (delims[0] == 0) delims[0] = ',';
  WEQ_UC* ctx = nullptr;
  for (WEQ_UC* t = strtok_sU16(text.data(), delims.data(), &ctx); t != nullptr;
       t = ctx ? strtok_sU16(nullptr, delims.data(), &ctx) : nullptr) {
    FUZZ_CHECK(t >= text.data() && t < text.data() + text.size());
    FUZZ_CHECK(*t != 0);
    for (WEQ_UC* q = t; *q != 0; ++q) FUZZ_CHECK(*q != delims[0] && *q != delims[1]);
  }

  WEQ_UC* end = nullptr;
  errno = 0;
  int32_t v = strtolU(src.data(), &end, static_cast<int>(count % 37));
  FUZZ_CHECK(end >= src.data() && end <= src.data() + srcLen);
  if (end == src.data()) FUZZ_CHECK(v == 0);
  return 0;
}
