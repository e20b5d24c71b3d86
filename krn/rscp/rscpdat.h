// Built-in code page data and the arithmetic that reads it: the catalogue
// rows, the character map of the system's own characters, the segment
// directory with its segments (all generated from public charset definitions
// by krn/rscp/rscpgen.py), the enumerators of code ranges and icon codes that
// the rule loaders walk, and the Japanese double-byte kernels.
//
// Everything here is pure: no function keeps state between calls except in
// records that the caller owns, the built-in data is read-only, and the icon
// introducer is one atomic process value. Any number of threads may call
// every function at once.
#ifndef KRN_RSCP_RSCPDAT_H
#define KRN_RSCP_RSCPDAT_H

#include <stdint.h>

#include "krn/rscp/rscp.h"
#include "weq_types.h"

// ===========================================================================
// Built-in code page tables
// ===========================================================================

enum {
  RSCP_TCP00_ROW = 97,      // bytes of one built-in catalogue row
  RSCP_TCP00_RECORD = 113,  // units of the 16-bit catalogue record
  RSCP_TCP01_ROW = 5,       // bytes of one built-in character record
  RSCP_TCP01_RECORD = 41,   // units of the 16-bit character record
  RSCP_SEGDIR_ENTRY = 24,   // bytes of one segment directory entry
};

// Segment kinds (bits 0-1 of an entry's kind word).
enum { RSCP_SEG_POINTS = 1, RSCP_SEG_RULE = 2, RSCP_SEG_BUILD = 3 };

// One segment directory entry. The id is five ASCII bytes ("1100T",
// "ASCII", "CTSA "); a blank first byte ends the directory.
struct rscpSegDirEntry_t {
  char id[5];
  uint8_t zero1[3];
  uint32_t kind;
  uint32_t zero2;
  const void* data;
};
static_assert(sizeof(rscpSegDirEntry_t) == RSCP_SEGDIR_ENTRY, "entry layout");

// A character segment: counts of points with 1-byte, 2-byte, 3- or 4-byte
// and long codes, then the four lists. A point of the first three lists is
// 8 bytes: a word whose low 24 bits are the value (above 0x10FFFF an own
// character) and, in the third list, whose bits 24-28 give the code length;
// then the code's bytes, first byte first.
struct rscpSegPoint_t {
  uint32_t value;
  uint8_t code[4];
};
// A long point: the value, the code length (5 to 126) and the code.
struct rscpSegLongPoint_t {
  uint32_t value;
  uint8_t len;
  uint8_t code[127];
};
struct rscpSegPoints_t {
  uint32_t count[4];
  const rscpSegPoint_t* one;
  const rscpSegPoint_t* two;
  const rscpSegPoint_t* threeFour;
  const rscpSegLongPoint_t* longs;
};
static_assert(sizeof(rscpSegPoints_t) == 48, "segment header layout");

// A rule segment: a header word (bits 0-6 rule kind, 7-11 length of the
// first name, 12-16 length of the second name, each at most 20), the first
// name at byte 4, the second at byte 24, as 8-bit text.
struct rscpSegRule_t {
  uint32_t header;
  char name1[20];
  char name2[20];
};

// One build-list row: a segment id, three zero bytes and an attribute word
// (bits 0-6 sequence number, 7-9 inclusion mode, 0x400 and 0x800 flags). A
// row whose id begins with a blank or a zero byte ends the list.
struct rscpSegBuildRow_t {
  char id[5];
  uint8_t zero[3];
  uint32_t attr;
};
// Flag 0x400: the row's segments, and everything below them, are entered
// into the input tables only (codes that are read but never written: a
// value's further codes, the sequences a stateful page reads).
enum : uint32_t { RSCP_SEG_ROW_READ_ONLY = 0x400 };

// The built-in objects. The catalogue ends at the first row whose first
// byte is a blank, the character map at the first record whose weqcode is 0,
// the directory at the first entry whose id begins with a blank.
extern const char rscpF5Tcp00[];            // rows of RSCP_TCP00_ROW bytes
extern const uint8_t rscpF5Tcp01[];         // records of RSCP_TCP01_ROW bytes
extern const uint32_t rscpF5Tcp01LastMax;   // highest reserved weqcode, 65278
extern const rscpSegDirEntry_t rscpF5SegDir[];
// The date of the data: year, month, day.
extern const int32_t rscpF5Date[3];

// Fills the 113-unit record from one 97-byte catalogue row: bytes 0-85 to
// units 0-85, sixteen "0" units for the columns not stored, bytes 86-91 to
// units 102-107, bytes 92-96 (the segment id) to units 108-112.
void build_TCP00_record(WEQ_UC* record, const char* row);

// Fills the 41-unit record from the 5-byte record at *cursor: units 0-4 the
// weqcode as "%05ld", units 35-40 the value as "%06lX", blanks elsewhere.
// Returns false with the cursor unchanged when the weqcode is 0 (the end of
// the map); else advances the cursor by 5 bytes and returns true.
bool build_TCP01_record(WEQ_UC* record, const uint8_t** cursor);

// The value of two hexadecimal digits; only "0"-"9" and "A"-"F" count, any
// other unit counts as 0.
int hex_pair_value(WEQ_UC high, WEQ_UC low);

// The directory entry whose five-byte id equals key, or NULL.
const rscpSegDirEntry_t* rscpFindBuiltinSegment(const char* key);

// ===========================================================================
// Code ranges and icon codes
// ===========================================================================

// Icons: 3844 internal character numbers from 0x110100, each with a code of
// two characters from "0"-"9", "A"-"Z", "a"-"z".
enum : uint32_t { RSCP_ICON_BASE = 0x110100, RSCP_ICON_COUNT = 3844 };

struct rscpIterCode_t {
  uint32_t next;
  uint32_t spare[3];  // set to 0 by the initialisers, read by nothing
};

struct rscpIterByteRange_t {
  uint32_t code;
  uint32_t last;
  int32_t n;  // 1 to 4; any other value makes the enumerator empty
  int32_t low[4];
  int32_t high[4];
  int32_t cur[4];
};

struct rscpIterIcon_t {
  uint32_t state;  // 9 or more: exhausted
  uint32_t count;  // icons delivered
  uint8_t c1, c2;  // the code characters of the next icon
};

enum {
  RSCP_ICON_PREFIX_MAX = 10,
  RSCP_ICON_SUFFIX_MAX = 12,
};

struct rscpIterIconForm_t {
  rscpIterIcon_t icon;
  uint16_t kind;  // 40 single bytes, 41 EBCDIC, 42 UTF-16BE, 43 UTF-16LE
  uint8_t prefix[RSCP_ICON_PREFIX_MAX];
  uint8_t suffix[RSCP_ICON_SUFFIX_MAX];
  int32_t prefixLen;
  int32_t suffixLen;
};

// Printable BMP: 0x20-0x7E, then 0xA0-0xFFFD. The caller stores First's
// result in rec->next.
uint32_t rscpIterBmpPrintFirst(void);
bool rscpIterBmpPrintNext(rscpIterCode_t* rec, uint32_t* code);

// BMP characters: 0x20-0x7E, 0xA0-0xD7FF, 0xE000-0xFDCF, 0xFDF0-0xFFFD.
void rscpIterBmpCharInit(rscpIterCode_t* rec);
bool rscpIterBmpCharNext(rscpIterCode_t* rec, uint32_t* code);

// Supplementary: 0x10000-0x10FFFF with the UTF-16BE bytes of the pair.
uint32_t rscpIterSupplFirst(void);
bool rscpIterSupplNext(rscpIterCode_t* rec, uint32_t* code, uint8_t* hs1, uint8_t* hs2,
                       uint8_t* ls1, uint8_t* ls2);

// All characters: the BMP characters, then 0x10000-0x10FFFF.
void rscpIterAllCharInit(rscpIterCode_t* rec);
bool rscpIterAllCharNext(rscpIterCode_t* rec, uint32_t* code);

// Codes first..last mapped onto an odometer of n byte positions, each from
// low to high, starting at start. Outputs b2..b4 are written only when n
// reaches their position.
void rscpIterByteRangeInit(rscpIterByteRange_t* rec, uint32_t first, uint32_t last, int32_t n,
                           const int32_t* start, const int32_t* low, const int32_t* high);
bool rscpIterByteRangeNext(rscpIterByteRange_t* rec, uint32_t* code, uint8_t* b1, uint8_t* b2,
                           uint8_t* b3, uint8_t* b4);

// Icons in the order "00", "01", ... "0z", "10", ... "zz".
void rscpIterIconInit(rscpIterIcon_t* rec, uint32_t state);
bool rscpIterIconNext(rscpIterIcon_t* rec, uint32_t* number, uint8_t* c1, uint8_t* c2);

// Icons with their whole byte form: prefix, code characters by kind,
// suffix. Prefix and suffix are texts of hexadecimal digits (others are
// skipped); bytes beyond 10 (prefix) or 12 (suffix) are dropped. Next
// stores the form's length in *len and returns false without advancing
// when it exceeds cap.
void rscpIterIconFormInit(rscpIterIconForm_t* rec, uint32_t state, uint16_t kind,
                          const WEQ_UC* prefix, int32_t prefixLen, const WEQ_UC* suffix,
                          int32_t suffixLen);
bool rscpIterIconFormNext(rscpIterIconForm_t* rec, uint32_t* number, uint8_t* buf, int32_t cap,
                          int32_t* len);

// Icons with the introducer's three UTF-8 bytes.
void rscpIterIconUtf8Init(rscpIterIcon_t* rec, uint32_t state);
bool rscpIterIconUtf8Next(rscpIterIcon_t* rec, uint32_t* number, uint8_t* u1, uint8_t* u2,
                          uint8_t* u3, uint8_t* c1, uint8_t* c2);

// The icon number of a code, 0 when either character is not in the
// alphabet.
uint32_t rscpIconCodeToChar(uint8_t c1, uint8_t c2);

// The six-byte form of an icon: the introducer and the two code characters
// as three big-endian 16-bit units. The top byte of ch is ignored; a number
// outside the icons gives the form of "00".
struct rscpIconCode_t {
  uint8_t bytes[6];
  int32_t len;  // always 6
};
rscpIconCode_t rscpCharToIconCode(uint32_t ch);

// The icon introducer, U+F8FD until the converter's start sets another.
void rscpSetIconIntroducer(WEQ_UC intro);
WEQ_UC rscpGetIconIntroducer(void);

// ===========================================================================
// Japanese double-byte kernels
// ===========================================================================
//
// Buffer kernels take (out, &outlen, in, &inlen): outlen is the capacity on
// entry and the bytes produced on return; inlen is not changed, except by
// rscpSjisToEuc, which stores the input bytes it consumed. Results: 0,
// RSCPETOOLONG (32) when the output is full (outlen then keeps its entry
// value unless stated), RSCPENOCONV (2048, rscpSjisL1ToEuc only), RSCPEINVAL
// (16) when a length or a buffer it needs is missing. No kernel reads past
// in + inlen: a lead byte without its second byte is copied like any byte
// that starts no pair, except in the 7-bit JIS readers and the fixed
// two-byte writers, which leave it unconsumed (the internal forms report
// the input consumed).

// In place: a Shift-JIS pair to JIS; an EUC pair to Shift-JIS (lead bytes
// computed with 0x70 only).
void rscpSjisPairToJis(uint8_t* b1, uint8_t* b2);
void rscpEucPairToSjis(uint8_t* b1, uint8_t* b2);

// Shift-JIS (lead bytes 0x81-0x9F, 0xE0-0xEF) to EUC-JP. When out == in the
// first 256 input bytes at most are converted. A half-width katakana byte
// that is the first of the last two input bytes ends the call after it.
rscpRc_t rscpSjisToEuc(uint8_t* out, int32_t* outlen, const uint8_t* in, int32_t* inlen);
// Level-1 Shift-JIS pairs (lead bytes 0x81-0x9F) to EUC-JP; 2048 with the
// bytes produced at the first byte that starts no such pair.
rscpRc_t rscpSjisL1ToEuc(uint8_t* out, int32_t* outlen, const uint8_t* in, int32_t* inlen);
rscpRc_t rscpEucToSjis(uint8_t* out, int32_t* outlen, const uint8_t* in, int32_t* inlen);
// 7-bit JIS readers. When the output fills before the input ends: 32 with
// the bytes produced; a pair that does not fit: 32, outlen unchanged.
rscpRc_t rscpJisToSjis(uint8_t* out, int32_t* outlen, const uint8_t* in, int32_t* inlen);
rscpRc_t rscpJisToSjisL1(uint8_t* out, int32_t* outlen, const uint8_t* in, int32_t* inlen);
rscpRc_t rscpJisToEuc(uint8_t* out, int32_t* outlen, const uint8_t* in, int32_t* inlen);
rscpRc_t rscpEucToJis(uint8_t* out, int32_t* outlen, const uint8_t* in, int32_t* inlen);
// Shift-JIS to the printer code pages 8200 (ESC $ B / ESC ( J), 8210
// (FS & / FS .) and 8211 (GS 1;1smM / GS 0;1smM).
rscpRc_t rscpSjisTo8200(uint8_t* out, int32_t* outlen, const uint8_t* in, int32_t* inlen);
rscpRc_t rscpSjisL1To8200(uint8_t* out, int32_t* outlen, const uint8_t* in, int32_t* inlen);
rscpRc_t rscpSjisTo8210(uint8_t* out, int32_t* outlen, const uint8_t* in, int32_t* inlen);
rscpRc_t rscpSjisL1To8210(uint8_t* out, int32_t* outlen, const uint8_t* in, int32_t* inlen);
rscpRc_t rscpSjisTo8211(uint8_t* out, int32_t* outlen, const uint8_t* in, int32_t* inlen);
rscpRc_t rscpSjisL1To8211(uint8_t* out, int32_t* outlen, const uint8_t* in, int32_t* inlen);
// Shift-JIS to fixed two-byte JIS (a JIS pair, or 0x00 and a single byte);
// on 32 outlen holds the bytes produced.
rscpRc_t rscpSjisToJis16(uint8_t* out, int32_t* outlen, const uint8_t* in, int32_t* inlen);
rscpRc_t rscpSjisL1ToJis16(uint8_t* out, int32_t* outlen, const uint8_t* in, int32_t* inlen);

// The length of the EUC-JP character at the start (0, 1 or 2), and of the
// next 7-bit JIS unit (a byte, an escape, or an escape with the double-byte
// run behind it; one more than available when the run stops inside a pair).
int rscpEucCharLen(const uint8_t* bytes, int32_t available);
int rscpJisCharLen(const uint8_t* bytes, int32_t available);

#endif
