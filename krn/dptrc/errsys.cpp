// System error texts and percent escaping.
#include <string.h>

#include <algorithm>

#include "i18n/wequ16/u16str.h"
#include "krn/dptrc/err.h"
#include "krn/dptrc/err_int.h"

// The generated table, declared in err_int.h.
#include "krn/dptrc/errsystxt.inc"

static_assert(std::is_sorted(std::begin(ErrSysTxtTable), std::end(ErrSysTxtTable),
                             [](const ErrSysTxtRow& a, const ErrSysTxtRow& b) {
                               return a.code < b.code;
                             }),
              "the system error texts are looked up by binary search");

WEQ_UC* ErrGetSysTxt(int code, WEQ_UC* dst, size_t length) {
  if (dst == nullptr || length < 1) return nullptr;
  dst[0] = 0;
  uint32_t key = static_cast<uint32_t>(code);
  const ErrSysTxtRow* end = ErrSysTxtTable + ErrSysTxtTableSize;
  const ErrSysTxtRow* row = std::lower_bound(
      ErrSysTxtTable, end, key, [](const ErrSysTxtRow& r, uint32_t k) { return r.code < k; });
  if (code != 0 && row != end && row->code == key) strncpy_sU16(dst, length, row->text, length - 1);
  return dst;
}

WEQ_UC* ErrEscapePercent(const WEQ_UC* src, WEQ_UC* dst, size_t n) {
  if (src == nullptr || dst == nullptr || n == 0) return nullptr;
  size_t out = 0;
  for (const WEQ_UC* p = src; *p != 0; ++p) {
    size_t need = *p == u'%' ? 2 : 1;
    if (out + need > n - 1) break;
    dst[out++] = *p;
    if (need == 2) dst[out++] = u'%';
  }
  dst[out] = 0;
  return dst;
}
