// Blank-padded fields: fixed-width text fields of records, filled to their
// width with blanks and carrying no terminator.
//
// A field of n WEQ_UC units (or n bytes for UTF-8 fields) holds its text
// left-aligned and U+0020 (0x20) behind it; only U+0020 counts as a blank.
// Widths are signed counts and a width below 1 is an empty field. Writers
// never fail and always leave every unit of the field defined; a text longer
// than the field is cut at the width. Readers write a terminated copy into a
// destination of at least n + 1 units. All functions are reentrant over
// caller memory. Each pair of names is two entry points with one behaviour.
#ifndef WEQU16_BLANKFLD_H
#define WEQU16_BLANKFLD_H

#include "weq_types.h"

// The first min(len(src), n) units of src, then blanks up to n units; a NULL
// src gives n blanks; a NULL dst or n < 1 writes nothing.
void U16sToBlankField(WEQ_UC* dst, const WEQ_UC* src, int n);
void UcsToBlankField(WEQ_UC* dst, const WEQ_UC* src, int n);

// The first min(dstWidth, srcLen) units of src, then blanks up to dstWidth;
// a NULL src gives dstWidth blanks.
void U16nToBlankField(WEQ_UC* dst, int dstWidth, const WEQ_UC* src, int srcLen);
void UcsnToBlankField(WEQ_UC* dst, int dstWidth, const WEQ_UC* src, int srcLen);

// Transcoding writers: convert from *src up to srcEnd into the field from
// *dst up to dstEnd, stopping at the first error (UTF-8 input substitutes
// U+FFFD for invalid sequences), then pad to dstEnd in every case. Afterwards
// *dst == dstEnd and *src is where the conversion stopped. Result: the
// converter's (0, or the error hook's result, e.g. 32 when the field is too
// short).
int Utf8ToUcsBlankPad(WEQ_UC** dst, WEQ_UC* dstEnd, const char** src, const char* srcEnd);
int UcsToUtf8BlankPad(char** dst, char* dstEnd, const WEQ_UC** src, const WEQ_UC* srcEnd);
// One-time initialisers of the two writers above; they have nothing to do.
int Utf8ToUcsBlankPadInit();
int UcsToUtf8BlankPadInit();

// The field without its trailing blanks, terminated; an all-blank field,
// a NULL field or n < 1 gives the empty string.
void BlankFieldToUcs(WEQ_UC* dst, const WEQ_UC* field, int n);
// The units up to the first blank or 0 unit, at most n, terminated.
void BlankFieldWordToUcs(WEQ_UC* dst, const WEQ_UC* field, int n);
// Length without trailing blanks; 0 for a NULL field, n < 1 or all blanks.
int BlankFieldLen(const WEQ_UC* field, int n);
// The field without trailing blanks equals str; with a NULL pointer, true
// only when both are NULL.
bool BlankFieldEqUcs(const WEQ_UC* field, const WEQ_UC* str, int n);

#endif
