// Character length by NLS kind: how many bytes the character at the start
// of an input buffer takes, from its lead bytes alone, so that the
// conversion loop never splits a character. Nothing past the available
// length is read.
#include "krn/rscp/rscp.h"
#include "krn/rscp/rscpdat.h"
#include "krn/rscp/rscpmc_int.h"

namespace {

// Shift-JIS level 1: only 0x81-0x9F lead.
int LenSjisL1(const uint8_t* b) {
  if (b[0] < 0x81 || b[0] > 0x9F) return 1;
  if (b[1] >= 0x40 && b[1] <= 0x7E) return 2;
  if (b[1] < 0x80) return 1;
  return b[1] < 0xFD ? 2 : 1;
}

// UTF-16 in either order: hi and lo name the positions of the high and
// low byte of a unit. The icon rule needs six bytes and the frame rule the
// unit after the introducer; with fewer bytes the character counts as one
// unit, so a cut one is seen by the caller comparing with the length.
int LenUtf16(const uint8_t* b, int32_t n, int hi, int lo) {
  if (n <= hi) return 2;
  if (b[hi] >= 0xD8 && b[hi] <= 0xDB) return 4;
  if (b[hi] >= 0xDC && b[hi] <= 0xDF) return 0;
  if (n < 2) return 2;
  uint8_t icon[2], frame[2];
  rscpGetIconPair(icon);
  rscpGetFramePair(frame);
  if (n >= 6 && b[hi] == icon[0] && b[lo] == icon[1] && b[2 + hi] == 0 && b[4 + hi] == 0) return 6;
  if (n >= 3 + hi && b[hi] == frame[0] && b[lo] == frame[1] && (b[2 + hi] == 0x25 || b[2 + hi] == 0x26)) return 4;
  return 2;
}

}  // namespace

int rscpCharLenByNls(const uint8_t* b, int32_t n, int32_t nls) {
  if (n < 1 || nls < 1 || nls > 39) return 0;
  const uint8_t b0 = b[0];
  switch (nls) {
    case 1:
      return rscpEucCharLen(b, n);
    case 2:
      return rscpJisCharLen(b, n);
    case 3:
      if (!((b0 >= 0x81 && b0 <= 0x9F) || b0 >= 0xE0)) return 1;
      if (n == 1) return 2;
      if (b[1] >= 0x40 && b[1] <= 0x7E) return 2;
      return b[1] < 0x80 ? 1 : 2;
    case 6:
      if (n == 1) return b0 < 0xA0 ? 1 : 2;
      [[fallthrough]];
    case 4:
    case 5:
    case 7:
    case 39:
      if (n == 1) return b0 < 0x81 ? 1 : 2;
      return b0 < 0x81 || b[1] < 0x40 ? 1 : 2;
    case 10:
    case 14:
    case 19:
      return 2;
    case 11:
    case 15:
      return 4;
    case 12:
      if (b0 < 0x80) return 1;
      if (b0 < 0xC0) return 0;
      if (b0 < 0xE0) return 2;
      if (b0 < 0xF0) return 3;
      if (b0 < 0xF8) return 4;
      if (b0 < 0xFC) return 5;
      return b0 < 0xFE ? 6 : 0;
    case 13:
      return LenUtf16(b, n, 0, 1);
    case 16:
      return LenUtf16(b, n, 1, 0);
    case 20:
      return b0 == 0x23 ? 4 : b0 == 0x40 ? 5 : b0 == 0x5E ? 6 : 1;
    case 21:
      return b0 == 0x7B ? 4 : b0 == 0xB5 ? 5 : b0 == 0x5F ? 6 : 1;
    case 25:
      if (n == 1) return b0 < 0xA1 ? 1 : 2;
      return b0 < 0xA1 || b[1] < 0xA1 ? 1 : 2;
    case 29: {
      if (b0 < 0x81) return 1;
      if (n == 1) return 2;
      const auto digit = [](uint8_t c) { return c >= 0x30 && c <= 0x39; };
      if (n < 4 && b0 < 0xFF && digit(b[1])) return 4;
      if (n >= 4 && b0 < 0xFF && digit(b[1]) && b[2] >= 0x81 && b[2] <= 0xFE && digit(b[3])) return 4;
      return b[1] < 0x40 ? 1 : 2;
    }
    case 30:
      if (n == 1) return b0 >= 0x81 && b0 <= 0x9F ? 2 : 1;
      return LenSjisL1(b);
    case 34:
      if (n == 1) return b0 >= 0x81 ? 2 : 1;
      return b0 >= 0xA0 && b[1] >= 0x40 ? 2 : LenSjisL1(b);
    case 35:
      if (n == 1) return b0 >= 0xA1 || (b0 >= 0x81 && b0 <= 0x9F) ? 2 : 1;
      return b0 >= 0xA1 && b[1] >= 0xA1 ? 2 : LenSjisL1(b);
    case 36:
      if (n == 1) return b0 >= 0x81 ? 2 : 1;
      if (b0 < 0x81) return 1;
      return b[1] >= 0x40 ? 2 : 1;
    default:
      return 0;
  }
}
