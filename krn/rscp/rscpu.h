// UTF transforms: stream converters between UTF-8 and the fixed-width
// Unicode forms, their replaceable error hook, and string adapters.
//
// Form letters: U8 UTF-8 (bytes); U6 UTF-16 (WEQ_UC units, pairs for values
// above U+FFFF); U4 UCS-4 (uint32_t units, values up to 0x7FFFFFFF, 5- and
// 6-byte UTF-8 sequences); U2 UCS-2 (WEQ_UC units, no surrogate pairing).
// "sw" forms hold their units in swapped byte order, the others in native
// order. "_noctrl" converters refuse U+0000..U+001F and U+007F..U+009F.
//
// Stream converters take the address of the source position, the source end,
// the address of the destination position and the destination end (ends
// exclusive), and advance both positions in place. They never allocate and
// never write at or past the destination end. Result: 0 with both positions
// at their ends when all input was converted (an empty source returns 0 and
// changes nothing); otherwise the result of the error hook, with the source
// position on the first unit (or the lead byte) of the character that could
// not be converted and the destination position just behind the last
// character written. Units are read and written unaligned-safe, but callers
// are expected to pass buffers aligned to their unit size.
//
// Decoders (UTF-8 input) also take a substitute and a counter, each may be
// NULL. With a substitute, each invalid sequence is replaced by it (written
// in the output's byte order) and the counter, when given, is raised by one;
// a sequence cut short by the source end and a full destination are still
// errors. Without a substitute an invalid sequence goes to the hook.
//
// Error hook contract: every error calls the hook in the slot once, as
//   hook(kind, 'O', -1, module, location, line, message, NULL, NULL, 0, NULL, 0)
// and the converter returns exactly what the hook returns.
//   kind     RSCPU_DEST_FULL (32), RSCPU_SRC_PARTIAL (512: the input ends
//            inside a character; supply the rest and call again) or
//            RSCPU_NO_CONV (2048: invalid or unconvertible input);
//   third    the caller's accept mask in the converter's terms; the
//            transforms always pass -1 (every code accepted);
//   module   the identification text of the reporting module without its
//            four-character marker "@(#)", e.g. u" $Id: krn/rscp/rscpu86r.cpp $":
//            a keyword "$Id:", then a path; the module name is what follows
//            the last '/' up to the first '.', blank, '#' or tab. The text
//            lives as long as the process;
//   location distinct per check, line the source line of the check;
//   message  a fixed WEQ_UC text such as u"dest buffer overflow".
// All texts are const WEQ_UC*. The slot starts at rscpuErrDefault, which
// returns its first argument. The slot is atomic: it may be replaced while
// other threads convert; each error uses the hook it read at that moment.
#ifndef KRN_RSCP_RSCPU_H
#define KRN_RSCP_RSCPU_H

#include <stdint.h>

#include "weq_types.h"

// Error kinds; the values of the converter's return codes for a full
// destination, a character cut short, and input it cannot convert.
enum {
  RSCPU_DEST_FULL = 32,
  RSCPU_SRC_PARTIAL = 512,
  RSCPU_NO_CONV = 2048,
};

typedef int (*rscpuErrFunc_t)(int kind, WEQ_UC errClass, int acceptMask,
                              const WEQ_UC* module, int location, int line,
                              const WEQ_UC* text, const WEQ_UC* msgCode,
                              const WEQ_UC* param1, int param1Len,
                              const WEQ_UC* param2, int param2Len);

// The default hook: returns kind.
int rscpuErrDefault(int kind, WEQ_UC errClass, int acceptMask, const WEQ_UC* module,
                    int location, int line, const WEQ_UC* text, const WEQ_UC* msgCode,
                    const WEQ_UC* param1, int param1Len, const WEQ_UC* param2,
                    int param2Len);

// Installs fn as the hook of every converter; NULL restores rscpuErrDefault.
void rscpuSetErrorFunc(rscpuErrFunc_t fn);

// --- Encoders: (&src, srcEnd, &dst, dstEnd) -------------------------------
// UTF-16: a high surrogate as the last unit gives 512 "Half surrogate at
// end"; an unpaired high or low surrogate 2048. UCS-4: a value above
// 0x7FFFFFFF gives 2048. UCS-2: every unit is a character.
int rscpu_U6_to_U8(const WEQ_UC** src, const WEQ_UC* srcEnd, WEQ_RAW** dst, WEQ_RAW* dstEnd);
int rscpu_U6_to_U8_noctrl(const WEQ_UC** src, const WEQ_UC* srcEnd, WEQ_RAW** dst, WEQ_RAW* dstEnd);
int rscpu_U6sw_to_U8(const WEQ_UC** src, const WEQ_UC* srcEnd, WEQ_RAW** dst, WEQ_RAW* dstEnd);
int rscpu_U6sw_to_U8_noctrl(const WEQ_UC** src, const WEQ_UC* srcEnd, WEQ_RAW** dst, WEQ_RAW* dstEnd);
int rscpu_U4_to_U8(const uint32_t** src, const uint32_t* srcEnd, WEQ_RAW** dst, WEQ_RAW* dstEnd);
int rscpu_U4_to_U8_noctrl(const uint32_t** src, const uint32_t* srcEnd, WEQ_RAW** dst, WEQ_RAW* dstEnd);
int rscpu_U4sw_to_U8(const uint32_t** src, const uint32_t* srcEnd, WEQ_RAW** dst, WEQ_RAW* dstEnd);
int rscpu_U4sw_to_U8_noctrl(const uint32_t** src, const uint32_t* srcEnd, WEQ_RAW** dst, WEQ_RAW* dstEnd);
int rscpu_U2_to_U8(const WEQ_UC** src, const WEQ_UC* srcEnd, WEQ_RAW** dst, WEQ_RAW* dstEnd);
int rscpu_U2_to_U8_noctrl(const WEQ_UC** src, const WEQ_UC* srcEnd, WEQ_RAW** dst, WEQ_RAW* dstEnd);
int rscpu_U2sw_to_U8(const WEQ_UC** src, const WEQ_UC* srcEnd, WEQ_RAW** dst, WEQ_RAW* dstEnd);
int rscpu_U2sw_to_U8_noctrl(const WEQ_UC** src, const WEQ_UC* srcEnd, WEQ_RAW** dst, WEQ_RAW* dstEnd);

// UCS-4 (native) to UTF-16 (native): values above U+10FFFF become U+FFFD,
// surrogate values pass as single units; only a full destination fails.
int rscpu_U4_to_U6(const uint32_t** src, const uint32_t* srcEnd, WEQ_UC** dst, WEQ_UC* dstEnd);

// --- Decoders: (&src, srcEnd, &dst, dstEnd, substitute, counter) ----------
// Sequences of 1 to 6 bytes; three-byte encodings of surrogate values are
// accepted and stored as single units (modified UTF-8 relies on it). Beyond
// the output's range (U6 above U+10FFFF, U2 above U+FFFF) is 2048.
int rscpu_U8_to_U6(const WEQ_RAW** src, const WEQ_RAW* srcEnd, WEQ_UC** dst, WEQ_UC* dstEnd,
                   const WEQ_UC* subst, uint32_t* count);
int rscpu_U8_to_U6_noctrl(const WEQ_RAW** src, const WEQ_RAW* srcEnd, WEQ_UC** dst,
                          WEQ_UC* dstEnd, const WEQ_UC* subst, uint32_t* count);
int rscpu_U8_to_U6sw(const WEQ_RAW** src, const WEQ_RAW* srcEnd, WEQ_UC** dst, WEQ_UC* dstEnd,
                     const WEQ_UC* subst, uint32_t* count);
int rscpu_U8_to_U6sw_noctrl(const WEQ_RAW** src, const WEQ_RAW* srcEnd, WEQ_UC** dst,
                            WEQ_UC* dstEnd, const WEQ_UC* subst, uint32_t* count);
int rscpu_U8_to_U4(const WEQ_RAW** src, const WEQ_RAW* srcEnd, uint32_t** dst, uint32_t* dstEnd,
                   const uint32_t* subst, uint32_t* count);
int rscpu_U8_to_U4_noctrl(const WEQ_RAW** src, const WEQ_RAW* srcEnd, uint32_t** dst,
                          uint32_t* dstEnd, const uint32_t* subst, uint32_t* count);
int rscpu_U8_to_U4sw(const WEQ_RAW** src, const WEQ_RAW* srcEnd, uint32_t** dst,
                     uint32_t* dstEnd, const uint32_t* subst, uint32_t* count);
int rscpu_U8_to_U4sw_noctrl(const WEQ_RAW** src, const WEQ_RAW* srcEnd, uint32_t** dst,
                            uint32_t* dstEnd, const uint32_t* subst, uint32_t* count);
int rscpu_U8_to_U2(const WEQ_RAW** src, const WEQ_RAW* srcEnd, WEQ_UC** dst, WEQ_UC* dstEnd,
                   const WEQ_UC* subst, uint32_t* count);
int rscpu_U8_to_U2_noctrl(const WEQ_RAW** src, const WEQ_RAW* srcEnd, WEQ_UC** dst,
                          WEQ_UC* dstEnd, const WEQ_UC* subst, uint32_t* count);
int rscpu_U8_to_U2sw(const WEQ_RAW** src, const WEQ_RAW* srcEnd, WEQ_UC** dst, WEQ_UC* dstEnd,
                     const WEQ_UC* subst, uint32_t* count);
int rscpu_U8_to_U2sw_noctrl(const WEQ_RAW** src, const WEQ_RAW* srcEnd, WEQ_UC** dst,
                            WEQ_UC* dstEnd, const WEQ_UC* subst, uint32_t* count);

// --- String adapters -------------------------------------------------------
// Each pair of names is two entry points with one behaviour. Sizes are in
// the destination's units (bytes or WEQ_UC); out receives what was written
// up to the stop, terminator excluded, and may be NULL. A NULL source is an
// empty text; a NULL destination has no room. Results are the converter's.
//
// 0-terminated source into size - 1 units and a terminator where the output
// stopped, also after an error; a size below 1 writes nothing and gives 32.
int U16sToUtf8s(char* dst, int size, int* out, const WEQ_UC* src);
int UcsToUtf8s(char* dst, int size, int* out, const WEQ_UC* src);
// UTF-8 to WEQ_UC substitutes U+FFFD for invalid sequences.
int Utf8sToU16s(WEQ_UC* dst, int size, int* out, const char* src);
int Utf8sToUcs(WEQ_UC* dst, int size, int* out, const char* src);

// Counted source into all size units, no terminator.
int U16nToUtf8n(char* dst, int size, int* out, const WEQ_UC* src, int srcLen);
int UcsnToUtf8n(char* dst, int size, int* out, const WEQ_UC* src, int srcLen);
// Substitutes U+FFFD; a sequence cut short by the end gives 512.
int Utf8nToU16n(WEQ_UC* dst, int size, int* out, const char* src, int srcLen);
int Utf8nToUcsn(WEQ_UC* dst, int size, int* out, const char* src, int srcLen);

// Stream forms with pointers advanced in place; the first argument is
// ignored (callers pass NULL). UTF-8 to WEQ_UC substitutes U+FFFD.
int U16ToUtf8Range(void* unused, char** dst, char* dstEnd, const WEQ_UC** src,
                   const WEQ_UC* srcEnd);
int UcsToUtf8Range(void* unused, char** dst, char* dstEnd, const WEQ_UC** src,
                   const WEQ_UC* srcEnd);
int Utf8ToU16Range(void* unused, WEQ_UC** dst, WEQ_UC* dstEnd, const char** src,
                   const char* srcEnd);
int Utf8ToUcsRange(void* unused, WEQ_UC** dst, WEQ_UC* dstEnd, const char** src,
                   const char* srcEnd);

#endif
