// A stand-in for the ICU common library with the versioned names the binding
// resolves, built in variants that fail in one way each:
//   NLSUI_FAKE_BADDATA   case mapping without data (u_toupper maps nothing)
//   NLSUI_FAKE_NOCOMMON  u_cleanup missing from the common family
//   NLSUI_FAKE_NOBIDI    every family up to bidi, which lacks ubidi_close
// Its class functions say "yes" for U+2603 only, and they return their
// one-byte boolean with junk in the upper bits of the register, as the
// calling convention allows: a caller that reads an int gets non-zero for
// "no".
#include <stdint.h>

#define FAKE_CAT2(a, b) a##_##b
#define FAKE_CAT(a, b) FAKE_CAT2(a, b)
#define FAKE_NAME(n) FAKE_CAT(n, TOV_ICU_MAJOR)
#define FAKE_API extern "C" __attribute__((visibility("default")))
#define FAKE_STUB(n) \
  FAKE_API void FAKE_NAME(n)() {}
#define FAKE_CLASS(n)                                          \
  FAKE_API __attribute__((naked)) int8_t FAKE_NAME(n)(int32_t) { \
    __asm__(                                                   \
        "xor %eax, %eax\n\t"                                   \
        "cmp $0x2603, %edi\n\t"                                \
        "sete %al\n\t"                                         \
        "or $0x5a5a5a00, %eax\n\t"                             \
        "ret");                                                \
  }

FAKE_STUB(u_versionToString) FAKE_STUB(u_errorName) FAKE_STUB(u_getVersion)
FAKE_STUB(u_getUnicodeVersion) FAKE_STUB(u_charType) FAKE_STUB(u_getIntPropertyValue)
FAKE_STUB(u_charDirection) FAKE_STUB(u_getPropertyEnum) FAKE_STUB(u_getPropertyValueName)
FAKE_STUB(u_setMemoryFunctions) FAKE_STUB(u_init) FAKE_STUB(uenum_unext) FAKE_STUB(uenum_count)
FAKE_STUB(ubidi_open)
#ifndef NLSUI_FAKE_NOCOMMON
FAKE_STUB(u_cleanup)
#endif

FAKE_CLASS(u_isalnum) FAKE_CLASS(u_isalpha) FAKE_CLASS(u_iscntrl) FAKE_CLASS(u_islower)
FAKE_CLASS(u_isprint) FAKE_CLASS(u_isspace) FAKE_CLASS(u_isupper)

FAKE_API int32_t FAKE_NAME(u_tolower)(int32_t c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; }
FAKE_API int32_t FAKE_NAME(u_toupper)(int32_t c) {
#ifdef NLSUI_FAKE_BADDATA
  return c;
#else
  return (c >= 'a' && c <= 'z') ? c - 32 : c == 0x101 ? 0x100 : c;
#endif
}
