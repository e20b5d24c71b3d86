#include "i18n/wequ16/u16str.h"

size_t strnlenU16(const WEQ_UC* s, size_t max) {
  size_t n = 0;
  while (n < max && s[n] != 0) ++n;
  return n;
}
