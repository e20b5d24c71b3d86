// 16-bit strings: length, bounded copy and append, a re-entrant tokenizer,
// the C library's string helpers over WEQ_UC, and the 7-bit and EBCDIC
// conversions.
//
// Every function is reentrant over caller-owned memory; only strdupU
// allocates. Sizes and counts are in WEQ_UC units unless a name ends in R
// (bytes). The 7-bit and EBCDIC functions take a signed 32-bit count, and a
// count of 0 or less does nothing.
//
// The bounded "_s" functions return 0 or ERANGE (34) and never set errno;
// on ERANGE the destination is left empty (dst[0] = 0), or zero-filled for
// the memory functions. A NULL destination or source where text is needed
// gives EINVAL (22) instead of a crash.
//
// The only shared state is the statistic A7SubstCount (a relaxed atomic).
#ifndef WEQU16_U16STR_H
#define WEQU16_U16STR_H

#include <time.h>

#include <atomic>

#include "weq_types.h"

// --- Bounded length, copy and append --------------------------------------

// Units before the first 0 among the first max units; max when there is none.
size_t strnlenU16(const WEQ_UC* s, size_t max);

// Copies src with its terminator when it fits in size units: 0. Otherwise
// dst[0] = 0 and ERANGE. size 0 writes nothing and returns 0.
int strcpy_sU16(WEQ_UC* dst, size_t size, const WEQ_UC* src);

// Appends src to the text in dst: 0 exactly when len(dst) + len(src) + 1 <=
// size. dst without a terminator in its first size units: ERANGE, dst
// untouched. Too long: dst[0] = 0 and ERANGE.
int strcat_sU16(WEQ_UC* dst, size_t size, const WEQ_UC* src);

// Copies at most min(count, size - 1) units, stopping at src's terminator,
// and always terminates. Never fails (returns 0); size 0 writes nothing.
int strncpy_sU16(WEQ_UC* dst, size_t size, const WEQ_UC* src, size_t count);

// Appends min(count, len(src)) units and a terminator. dst without a
// terminator in size units: ERANGE, untouched. With room = size - len(dst),
// count >= room and len(src) >= room: dst[0] = 0 and ERANGE.
int strncat_sU16(WEQ_UC* dst, size_t size, const WEQ_UC* src, size_t count);

// Re-entrant tokenizer. str NULL continues at *context; *context NULL as
// well sets errno EINVAL and returns NULL. Leading delimiters are skipped;
// the first delimiter after the token is overwritten with 0 and *context
// points behind it; at the end of the string *context becomes NULL.
WEQ_UC* strtok_sU16(WEQ_UC* str, const WEQ_UC* delimiters, WEQ_UC** context);
WEQ_UC* strtok_rU(WEQ_UC* str, const WEQ_UC* delimiters, WEQ_UC** context);

// n <= size: copies n (the areas may overlap), 0. Otherwise, when size > 0,
// all size elements of dst become 0; ERANGE.
int memcpy_sR(void* dst, size_t size, const void* src, size_t n);
int memmove_sR(void* dst, size_t size, const void* src, size_t n);
int memcpy_sU16(WEQ_UC* dst, size_t size, const WEQ_UC* src, size_t n);

// The time in the C library's fixed asctime form (24 characters, a newline,
// the terminator: 26 units) copied into buf, which holds at least 26 units.
// Returns buf, or NULL when the C library gives no text (year out of range).
WEQ_UC* ThrAsctime(const struct tm* t, WEQ_UC* buf);

// 8-bit twins with the same rules in bytes, for the library's own use.
size_t strnlenR(const char* s, size_t max);
int strcpy_sR(char* dst, size_t size, const char* src);
int strcat_sR(char* dst, size_t size, const char* src);

// --- The C library's string helpers over 16-bit units ---------------------

size_t strlenU(const WEQ_UC* s);
// Compare as unsigned 16-bit units: < 0, 0 or > 0.
int strcmpU(const WEQ_UC* a, const WEQ_UC* b);
int strncmpU(const WEQ_UC* a, const WEQ_UC* b, size_t n);
// As strcmpU and strncmpU over the units' upper-case forms (toupperU,
// which binds ICU on its first use).
int strcasecmpU(const WEQ_UC* a, const WEQ_UC* b);
int strncasecmpU(const WEQ_UC* a, const WEQ_UC* b, size_t n);
// First (last) occurrence of c, the terminator included when c is 0; NULL
// when there is none.
const WEQ_UC* strchrU(const WEQ_UC* s, WEQ_UC c);
WEQ_UC* strchrU(WEQ_UC* s, WEQ_UC c);
const WEQ_UC* strrchrU(const WEQ_UC* s, WEQ_UC c);
WEQ_UC* strrchrU(WEQ_UC* s, WEQ_UC c);
// First occurrence of needle in hay; hay itself for an empty needle.
const WEQ_UC* strstrU(const WEQ_UC* hay, const WEQ_UC* needle);
WEQ_UC* strstrU(WEQ_UC* hay, const WEQ_UC* needle);
// A heap copy (free() it), or NULL with errno ENOMEM.
WEQ_UC* strdupU(const WEQ_UC* s);
// Sets n units to c; returns dst.
WEQ_UC* memsetU(WEQ_UC* dst, WEQ_UC c, size_t n);

// wcstol over 16-bit text: skips blanks (space, \t \n \v \f \r), an
// optional sign, base 0 (decimal, 0x hex or 0 octal) or 2..36. The value
// range is that of a 32-bit long, as the texts parsed with it were
// specified for: out of range gives INT32_MAX or INT32_MIN and errno ERANGE.
// *end (when end is not NULL) points behind the last digit used, or at s
// when there is no number. An invalid base gives 0 and errno EINVAL.
int32_t strtolU(const WEQ_UC* s, WEQ_UC** end, int base);

// --- 7-bit and EBCDIC conversions -----------------------------------------

// Times a 16-bit unit was narrowed to '#' by UcsCharToA7; a statistic only.
extern std::atomic<uint32_t> A7SubstCount;

// Code page 500 with the controls U+001D..U+001F, U+0080..U+009F and U+00AD
// mapped to blanks (U+0020, EBCDIC 0x40), so that both tables are inverse
// on all other characters.
extern const WEQ_UC EbcdicToUcsTable[256];
extern const WEQ_RAW UcsToEbcdicTable[256];

// Zero-extends n bytes to n units; no terminator.
void A7nToUcsn(WEQ_UC* dst, const char* src, int n);
void A7nToU16n(WEQ_UC* dst, const char* src, int n);
// Zero-extends a 0-terminated byte string, terminator included.
void A7sToUcs(WEQ_UC* dst, const char* src);
void A7sToU16s(WEQ_UC* dst, const char* src);
// Units below 128 give their byte, any other '#'; no terminator.
void UcsnToA7n(char* dst, const WEQ_UC* src, int n);
// As UcsnToA7n over a 0-terminated string, terminator included.
void UcsToA7s(char* dst, const WEQ_UC* src);
// c below 128, else '#' (counted in A7SubstCount).
char UcsCharToA7(WEQ_UC c);
// Narrows while units are <= 127; at the first one above, stops and
// returns 1 (the bytes before it are written). 0 when all n were converted.
int U16nToA7nStrict(char* dst, const WEQ_UC* src, int n);
// A 0-terminated string: units below 128 as their byte, others become subst
// when subst < 128, else '#'; terminator written.
void U16sToA7sSubst(char* dst, const WEQ_UC* src, WEQ_UC subst);
// UcsToEbcdicTable[c] for c <= 255, 0x7B (EBCDIC '#') above.
WEQ_RAW U16CharToEbcdic(WEQ_UC c);
// Each byte through EbcdicToUcsTable; no terminator.
void EbcdicnToU16n(WEQ_UC* dst, const WEQ_RAW* src, int n);
// Each unit <= 255 through UcsToEbcdicTable; stops at the first unit above
// 255 and returns 1, else 0.
int U16nToEbcdicnStrict(WEQ_RAW* dst, const WEQ_UC* src, int n);
// Bytes below 128 through UcsToEbcdicTable, others become 0x7B.
void A7ToEbcdicInPlace(WEQ_RAW* buf, int n);
// Each byte becomes EbcdicToUcsTable[byte] when that is below 128, else '#'.
void EbcdicToA7InPlace(WEQ_RAW* buf, int n);

#endif
