// 16-bit strings: length, bounded copy and append, tokenizer, 7-bit and
// EBCDIC conversions.
//
// Every function is reentrant over caller-owned memory and allocates
// nothing. Sizes and counts are in WEQ_UC units unless a name ends in R
// (bytes).
#ifndef WEQU16_U16STR_H
#define WEQU16_U16STR_H

#include "weq_types.h"

// Units before the first 0 among the first max units; max when there is none.
size_t strnlenU16(const WEQ_UC* s, size_t max);

#endif
