// Blank-padded fields.
#include "i18n/wequ16/blankfld.h"

#include <algorithm>
#include <string>

#include "krn/rscp/rscpu.h"

namespace {

constexpr WEQ_UC kBlank = u' ';

// Copies up to n units of src and blank-fills the field to its width.
void Fill(WEQ_UC* dst, int width, const WEQ_UC* src, int n) {
  if (dst == nullptr || width < 1) return;
  int copied = src == nullptr ? 0 : std::clamp(n, 0, width);
  std::copy_n(src, copied, dst);
  std::fill(dst + copied, dst + width, kBlank);
}

template <class T>
void PadTo(T** dst, T* dstEnd, T blank) {
  if (*dst < dstEnd) std::fill(*dst, dstEnd, blank);
  *dst = dstEnd;
}

}  // namespace

void U16sToBlankField(WEQ_UC* dst, const WEQ_UC* src, int n) {
  int len = 0;
  if (src != nullptr && dst != nullptr)
    while (len < n && src[len] != 0) ++len;
  Fill(dst, n, src, len);
}
void UcsToBlankField(WEQ_UC* dst, const WEQ_UC* src, int n) { U16sToBlankField(dst, src, n); }

void U16nToBlankField(WEQ_UC* dst, int dstWidth, const WEQ_UC* src, int srcLen) {
  Fill(dst, dstWidth, src, srcLen);
}
void UcsnToBlankField(WEQ_UC* dst, int dstWidth, const WEQ_UC* src, int srcLen) {
  U16nToBlankField(dst, dstWidth, src, srcLen);
}

int Utf8ToUcsBlankPad(WEQ_UC** dst, WEQ_UC* dstEnd, const char** src, const char* srcEnd) {
  if (dst == nullptr || *dst == nullptr || src == nullptr) return 0;
  int rc = *src == nullptr ? 0 : Utf8ToUcsRange(nullptr, dst, dstEnd, src, srcEnd);
  PadTo(dst, dstEnd, kBlank);
  return rc;
}

int UcsToUtf8BlankPad(char** dst, char* dstEnd, const WEQ_UC** src, const WEQ_UC* srcEnd) {
  if (dst == nullptr || *dst == nullptr || src == nullptr) return 0;
  int rc = *src == nullptr ? 0 : UcsToUtf8Range(nullptr, dst, dstEnd, src, srcEnd);
  PadTo(dst, dstEnd, ' ');
  return rc;
}

int Utf8ToUcsBlankPadInit() { return 0; }
int UcsToUtf8BlankPadInit() { return 0; }

int BlankFieldLen(const WEQ_UC* field, int n) {
  if (field == nullptr) return 0;
  while (n > 0 && field[n - 1] == kBlank) --n;
  return std::max(n, 0);
}

void BlankFieldToUcs(WEQ_UC* dst, const WEQ_UC* field, int n) {
  if (dst == nullptr) return;
  int len = BlankFieldLen(field, n);
  std::copy_n(field, len, dst);
  dst[len] = 0;
}

void BlankFieldWordToUcs(WEQ_UC* dst, const WEQ_UC* field, int n) {
  if (dst == nullptr) return;
  int len = 0;
  if (field != nullptr)
    while (len < n && field[len] != kBlank && field[len] != 0) ++len;
  std::copy_n(field, len, dst);
  dst[len] = 0;
}

bool BlankFieldEqUcs(const WEQ_UC* field, const WEQ_UC* str, int n) {
  if (field == nullptr || str == nullptr) return field == str;
  int len = BlankFieldLen(field, n);
  return std::equal(field, field + len, str, str + std::char_traits<WEQ_UC>::length(str));
}
