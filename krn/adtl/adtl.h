// Storage requests: the bodies of the AD_RZL_STRG records with which the
// logon-group layer reads the message server's storage of named entries
// (texts of 40 characters, entries of ten 32-bit integers), and the readers
// of the reply bodies.
//
// Builders and readers work on the internal body of an AD_REC (100
// characters, seen as 200 bytes with the storage layout of ad.h) and return
// 0, or AD_STRG_INVALID_ARG. The readers hand out names and values in
// process-wide buffers that their next call overwrites; they take no lock,
// so callers serialise (the logon-group layer calls them under its mutex).
#ifndef KRN_ADTL_ADTL_H
#define KRN_ADTL_ADTL_H

#include <stdint.h>

#include "weq_types.h"

// Storage return codes.
enum : int32_t {
  AD_STRG_OK = WEQ_O_K,
  AD_STRG_ERROR = 1,
  AD_STRG_INVALID_ARG = 2,
  AD_STRG_NOT_INITED = 3,
  AD_RZL_STRG_NOT_FOUND = 4,
  AD_RZL_STRG_EXISTS = 5,
  AD_RZL_STRG_ERROR = 8,
  AD_RZL_ACCESS_DENIED = 9,
};

// Characters of a name and of a text value; integers of an integer entry.
#define ADTL_NAME_CHARS 20
#define ADTL_TEXT_CHARS 40
#define ADTL_INTEGERS 10

// Read all text entries (type 12).
int AdtlStrgBldRqReadallText(WEQ_UC* body);
// Read count text entries from index start on (type 16): the value holds a
// marker, start and count big-endian, and the marker again.
int AdtlStrgBldRqReadallText2(WEQ_UC* body, uint32_t start, uint32_t count);
// Read the text entry (type 22) or the integer entry (type 21) of a name of
// exactly ADTL_NAME_CHARS characters; a NULL or empty name is refused.
int AdtlStrgBldRqReadText(WEQ_UC* body, const WEQ_UC* name);
int AdtlStrgBldRqReadIntg(WEQ_UC* body, const WEQ_UC* name);

// A text reply (type 22 or 12): name and value (not terminated), their
// widths (20, 40) and lengths (up to the first 0 character, without
// trailing blanks).
int AdtlStrgRspGetText(const WEQ_UC* body, const WEQ_UC** name, int* nameWidth, int* nameLen,
                       const WEQ_UC** value, int* valueWidth, int* valueLen);
// An integer reply (type 21 or 11): the name as above and the ten
// big-endian integers of the value.
int AdtlStrgRspGetIntg(const WEQ_UC* body, const WEQ_UC** name, int* nameWidth, int* nameLen,
                       int32_t values[ADTL_INTEGERS]);

// The code's name, or its decimal text, in buffer (at least 32 units);
// returns buffer.
WEQ_UC* AdtlStrgErrName(int32_t code, WEQ_UC* buffer);

#endif
