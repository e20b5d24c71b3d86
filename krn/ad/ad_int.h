// Internals of the AD layer shared by its files and the tests: decimal
// fields, the header, the registration of every converter pair, the AD
// trace level, and the converters that have names of their own. No other
// module includes this header.
#ifndef KRN_AD_AD_INT_H
#define KRN_AD_AD_INT_H

#include <stdint.h>

#include "krn/ad/ad.h"
#include "krn/dptrc/dptrc.h"
#include "weq_types.h"

// A signed value as decimal text right-aligned in width bytes (characters),
// blanks before it, '-' directly before the first digit. When the digits and
// sign do not fit, or for INT32_MIN, the first byte becomes '*' (the digits
// that fit stay behind it) and the result is -1; else 0. A width below 1
// writes nothing and gives -1.
int AdIIntToField(int32_t value, char* field, int width);
int AdIIntToUcsField(int32_t value, WEQ_UC* field, int width);

// Reads such a field: leading blanks, one '-', then digits up to a
// non-digit or the end of the field. -1 for a field of blanks, one without a
// digit where the number begins, and a number outside 32 bits.
int32_t AdIFieldToInt(const char* field, int width);
int32_t AdIUcsFieldToInt(const WEQ_UC* field, int width);

// A fresh header: eye catcher, version 1, AD_REQUEST, rec_size 104, rec_no 0.
void AdIInitHead(AD_HEADER* head);

// Registers every converter pair of the layer (also over pairs registered
// before). The first record conversion of the process does it.
void AdIRegisterAllCvt(void);

// The AD trace level (ad/TRACE as a decimal number, 0 when unset), read
// once per process.
int AdITraceLevel(void);

// Whether an ordinary or a detail line of the layer is written now.
inline bool AdIOrdinaryOn() {
  int level = CTrcLevel.load(std::memory_order_relaxed);
  return level >= 1 && level >= (AdITraceLevel() >= 2 ? 1 : 2);
}
inline bool AdIDetailOn() {
  int level = CTrcLevel.load(std::memory_order_relaxed);
  return level >= 1 && level >= (AdITraceLevel() >= 4 ? 1 : 3);
}

#define AD_TRC_IF_(on, fmt, ...)                               \
  do {                                                         \
    if (on) {                                                  \
      DpTrcLock();                                             \
      DpTrc(CTrcGlobalHdl, fmt __VA_OPT__(, ) __VA_ARGS__);    \
      DpTrcUnlock();                                           \
    }                                                          \
  } while (0)
// An ordinary line and a detail line of the layer.
#define AD_TRC(fmt, ...) AD_TRC_IF_(AdIOrdinaryOn(), fmt __VA_OPT__(, ) __VA_ARGS__)
#define AD_TRC_DETAIL(fmt, ...) AD_TRC_IF_(AdIDetailOn(), fmt __VA_OPT__(, ) __VA_ARGS__)

// Converters with names of their own. AdCvtNone copies the first 100 bytes
// of the source body to the destination body, in both directions.
int AdCvtNone(void* src, void* dst);
int AdCvtRecRzlStrgToExt(void* src, void* dst);
int AdCvtRecRzlStrgToInt(void* src, void* dst);
int EmAdmCvtToExt(void* src, void* dst);
int EmAdmCvtToInt(void* src, void* dst);

// Forgets the block being read, so that a test starts from a clean reader.
void AdIResetReader(void);

#endif
