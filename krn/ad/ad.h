// Administration (AD) records: the blocks in which administration requests
// and their replies travel to and from the message server.
//
// A block is a 36-byte header (AD_HEADER) followed by records of 104 bytes:
// four header bytes (opcode, serial, executed, errno) and a 100-byte body
// whose layout depends on the opcode. Inside the library a record is an
// AD_REC, whose body is 100 WEQ_UC characters; on the wire (AD_REC_EXT) text
// is blank-padded UTF-8 and binary fields travel in the byte order in which
// they are held. A converter pair per opcode moves a body between the two
// forms; opcodes without a pair are unknown and their bodies are not
// converted.
//
// AdWriteRec builds one block at a time in a process-wide scratch area;
// AdReadRec takes one received block apart at a time and hands out each
// record in a process-wide internal record. Neither takes a lock: callers
// (the logon-group layer, under its mutex) build or read one block at a time
// and finish it before the next. The one-time steps (scratch area, converter
// registry, the reverse opcode index, the AD trace level) run once per
// process and are safe to race.
//
// Trace. The profile parameter ad/TRACE, read once, raises the layer's
// lines: ordinary lines are written at trace level 2 and detail lines at 3;
// with ad/TRACE 2 or more ordinary lines come from level 1, with 4 or more
// detail lines too. Error lines come at level 1 in any case. Failures are
// reported by their code and an error line; no error information is
// recorded.
//
// Storage values (opcode AD_RZL_STRG) of a text type hold 76 characters
// whatever their value length VL says: a VL above 76 is carried as it is and
// does not widen the value.
#ifndef KRN_AD_AD_H
#define KRN_AD_AD_H

#include <stdint.h>

#include "weq_types.h"

#define AD_HEADER_LEN 36
#define AD_REC_LEN 104
#define AD_BODY_LEN 100  // characters internal, bytes external
#define AD_EYECATCHER "AD-EYECATCH"
#define AD_VERSION 1
// Records of one block, the self-identification record included.
#define AD_MAX_RECORDS 295
// Bytes of the write scratch area: the header and 297 records.
#define AD_SCRATCH_LEN (AD_HEADER_LEN + 297 * AD_REC_LEN)

// Block types.
enum : uint8_t {
  AD_REQUEST = 1,
  AD_REPLY = 2,
};

// The block header as it is on the wire. rec_size and rec_no are decimal
// text, right-aligned and blank-filled.
struct AD_HEADER {
  char eyecatcher[12];  // "AD-EYECATCH" and a 0 byte
  uint8_t version;
  uint8_t type;
  char rec_size[11];  // always 104
  char rec_no[11];
};
static_assert(sizeof(AD_HEADER) == AD_HEADER_LEN, "AD_HEADER is 36 bytes");

// A record inside the library. errnum is the errno byte of the record: the
// result of executing it at the receiver (0 success, ADCALLBACKNOTDEFINED
// when the receiver has nothing that executes the opcode).
struct AD_REC {
  uint8_t opcode;
  uint8_t serial;    // number among the reply records of one request, from 0
  uint8_t executed;  // 1 when the receiver executed the record
  uint8_t errnum;
  WEQ_UC body[AD_BODY_LEN];
};
static_assert(sizeof(AD_REC) == 204, "AD_REC is 4 bytes and 100 characters");

// A record as it is on the wire.
struct AD_REC_EXT {
  uint8_t opcode;
  uint8_t serial;
  uint8_t executed;
  uint8_t errnum;
  uint8_t body[AD_BODY_LEN];
};
static_assert(sizeof(AD_REC_EXT) == AD_REC_LEN, "AD_REC_EXT is 104 bytes");

// Opcodes with a name.
enum : uint8_t {
  AD_GENERAL = 0,
  AD_PROFILE = 1,
  AD_WPSTAT = 2,
  AD_QUEUE = 3,
  AD_STARTSTOP = 4,
  AD_WPCONF = 5,
  AD_USRLST = 6,
  AD_WPKILL = 7,
  AD_TIMEINFO = 8,
  AD_TM_RECONNECT = 9,
  AD_ALRT_GET_STATE = 10,
  AD_ALRT_OPERATION = 11,
  AD_ALRT_SET_PARAM = 12,
  AD_DB_RECONNECT = 13,
  AD_ECHO = 14,
  AD_MSGSERVER = 15,
  AD_WPCONF2 = 16,
  AD_GENERAL2 = 17,
  AD_SET_LIST_PARAM = 18,
  AD_DUMP_STATUS = 19,
  AD_RZL = 20,
  AD_RZL_STRG = 21,
  AD_COUNT_WPS = 22,
  AD_QUEUE2 = 23,
  AD_EM = 25,
  AD_ES = 26,
  AD_SHUTDOWN_STATE = 27,
  AD_SHUTDOWN_INFO = 28,
  AD_SHUTDOWN_ERROR = 29,
  AD_DISPLACE = 31,
  AD_GET_TIMETAB = 32,
  AD_SET_TIMETAB = 33,
  AD_MSBUF = 40,
  AD_ARFC_NOREQ = 41,
  AD_ENQID_INFO = 42,
  AD_DEL_USER = 43,
  AD_SPO_ADM = 44,
  AD_NTAB_SYNC = 45,
  AD_SHARED_PARAMETER = 46,
  AD_RESET_TRACE = 47,
  AD_RESET_USR02 = 48,
  AD_WALL_CREATE = 49,
  AD_WALL_DELETE = 50,
  AD_WALL_MODIFY = 51,
  AD_SERVER_STATE = 52,
  AD_SELFIDENT = 60,
  AD_DP_TRACE_CHANGE = 61,
  AD_DP_DUMP_NIHDL = 62,
  AD_DP_CALL_DELAYED = 63,
  AD_GW_ADM = 64,
  AD_DP_WAKEUP_MODE = 65,
  AD_SYSTEM_EVENT = 66,  // a system event; its body is copied as it is
  AD_SHARED_PARAM_ALL_WPS = 67,
  AD_SECSESSION_UPDATE = 68,
  AD_SECSESSION_TERMINATE = 69,
};

// Return codes.
enum : int32_t {
  ADCALLBACKNOTDEFINED = 1,  // errno of a reply record only
  AD_OK = WEQ_O_K,
  ADEINVAL = -1,           // no converter for the opcode; a NULL argument
  ADEBLKTOOLARGE = -2,     // the block has no room for another record
  ADEHEAD_DESTROYED = -3,  // a received block's header or length is wrong
  ADEHEAPOVERFLOW = -4,    // the scratch area could not be allocated
  ADACCESSDENIED = -5,     // not returned here
};

// Read states that the caller of AdReadRec keeps between calls.
enum : uint8_t {
  AD_READ_FIRST = 1,  // first call for a block
  AD_READ_MORE = 2,   // more records follow
  AD_READ_DONE = 3,   // the block is done
};

// Storage types: the TY byte of an AD_RZL_STRG body.
enum : uint8_t {
  PERM_TYPE_READALL = 10,
  PERM_TYPE_READALL_I = 11,
  PERM_TYPE_READALL_C = 12,
  PERM_TYPE_READALL_LC = 13,
  PERM_TYPE_READALL_OFFSET_I = 15,
  PERM_TYPE_READALL_OFFSET_C = 16,
  PERM_TYPE_READALL_OFFSET_LC = 17,
  PERM_TYPE_READALL_OFFSET = 20,
  PERM_TYPE_READ_I = 21,
  PERM_TYPE_READ_C = 22,
  PERM_TYPE_READ_LC = 23,
  PERM_TYPE_WRITE_I = 31,
  PERM_TYPE_WRITE_C = 32,
  PERM_TYPE_WRITE_LC = 33,
  PERM_TYPE_DEL_I = 41,
  PERM_TYPE_DEL_C = 42,
  PERM_TYPE_DEL_LC = 43,
  PERM_TYPE_CREATE_I = 51,
  PERM_TYPE_CREATE_C = 52,
  PERM_TYPE_CREATE_LC = 53,
  PERM_TYPE_DUMP = 90,
};

// Byte offsets of the internal storage body (an AD_REC body seen as 200
// bytes): TY, NL, VO and VL bytes, the 20-character name, the value.
enum : int {
  AD_STRG_TY = 0,
  AD_STRG_NL = 1,
  AD_STRG_VO = 2,
  AD_STRG_VL = 3,
  AD_STRG_NAME = 4,
  AD_STRG_NAME_CHARS = 20,
  AD_STRG_VALUE = 44,
};

// A body converter: (source body, destination body). Its result is not
// used. A converter to the external form may change the source record.
typedef int (*AD_CVT_FUNC)(void* src, void* dst);

// Four 0 bytes and 100 blanks.
void AdInitRec(AD_REC* record);

// Converts record to the external form and appends it to the block under
// construction. first 1 starts a new block: unless the record's opcode is
// AD_SELFIDENT or AD_RZL_STRG, the self-identification record goes first. A
// NULL record with first 1 only starts the block (block and blockLen are not
// set). On success *block is the scratch area and *blockLen the block's
// length; both stay valid until the next block is started. ADEBLKTOOLARGE
// for the record after AD_MAX_RECORDS, ADEHEAPOVERFLOW when the scratch area
// cannot be had, ADEINVAL for a NULL argument otherwise.
int AdWriteRec(AD_REC* record, int first, WEQ_RAW** block, int32_t* blockLen);

// Delivers the next record of a received block. *state AD_READ_FIRST checks
// the block's header and length (ADEHEAD_DESTROYED) and starts it; later
// calls go on with the kept block. A record of opcode AD_SELFIDENT at index 0
// is skipped. *state becomes AD_READ_MORE while records follow and
// AD_READ_DONE with the last one or when none was left; *record points to
// the delivered record, valid until the next call, and is left as it was
// when the call delivered nothing, so callers clear it before each call.
int AdReadRec(const WEQ_RAW* block, int32_t blockLen, uint8_t* state, AD_REC** record);

// One record between the two forms; opcodes without a converter leave the
// destination body as it was.
void AdCvtRecToExt(AD_REC* intRec, AD_REC_EXT* extRec);
void AdCvtRecToInt(const AD_REC_EXT* extRec, AD_REC* intRec);

// Stores a converter pair under an opcode (0 to 255): 0, or ADEINVAL for
// another number.
int AdRegisterCvtFunctions(int opcode, AD_CVT_FUNC toExt, AD_CVT_FUNC toInt);

// Calls the opcode's converter: 0, or ADEINVAL when it has none.
int AdCallRegisteredCvtToExt(int opcode, void* intBody, void* extBody);
int AdCallRegisteredCvtToInt(int opcode, void* extBody, void* intBody);

// The self-identification record that opens a request block: 0.
int AdGetSelfIdentRecord(AD_REC* record);

// The name of a return code, or its decimal text, in buffer (at least 32
// units); returns buffer.
WEQ_UC* AdErrName(int32_t code, WEQ_UC* buffer);

// The opcode's name, or "AD_OPCODE_<n>" in a buffer of the calling thread
// that its next call overwrites.
const WEQ_UC* AdOpcodeName(int opcode);

// A storage type's name without its "PERM_" prefix ("TYPE_READ_C"), or its
// decimal text in a buffer of the calling thread that its next call
// overwrites.
const WEQ_UC* AdPermTypeName(int type);

#endif
