// Message server client: talks to the server system's message server, which
// knows the application servers, their logon groups and a small storage of
// named entries. This header holds the client's return codes and the name
// tables that its trace lines and the logon-group layer's messages use.
//
// Name functions copy the text into the caller's buffer (MS_NAME_LEN units
// at least unless said otherwise) and return it; a number without a name
// becomes its decimal text. Texts of MsErrorText are constants. All of it is
// reentrant.
//
// Mask bytes of several bytes (the system services of a client) are read as
// one big-endian number: bit 0 is the lowest bit of the last byte.
#ifndef KRN_MS_MS_H
#define KRN_MS_MS_H

#include <stddef.h>
#include <stdint.h>

#include "weq_types.h"

// Return codes of the client; a received header's mserrno carries the same.
enum : int32_t {
  MSEINTERN = -1,
  MSENOMSG = -2,
  MSEINVAL = -3,
  MSENOTFOUND = -4,
  MSEWAKEUP = -5,
  MSEWRONGNAME = -6,
  MSEWRONGTYPE = -7,
  MSEPARTNERDIED = -8,
  MSEPARTNERUNKNOWN = -9,
  MSENOTUNIQUE = -10,
  MSEMSGDESTROYED = -11,
  MSEWRONGVERSION = -12,
  MSEREPLYTOOLARGE = -13,
  MSESHUTDOWN = -14,
  MSENOSLOTFREE = -15,
  MSESOCKTOOLARGE = -16,
  MSEADMIN = -17,
  MSEREADINCOMPLETE = -18,
  MSEWRITEINCOMPLETE = -19,
  MSEACCESSDENIED = -20,
  MSETYPESNOTALLOWED = -21,
  MSEHEADERINCOMPLETE = -22,
  MSENOMEM = -23,
  MSEFREETEXT = -24,  // no name of its own; its text is the reporter's
  MSESOFTSHUTDOWN = -25,
  MSEDUPKEY = -26,
  MSESNDTYPEFAILED = -27,
  MSEMOREDATA = -28,
  MSEWRONGSERVER = -29,
  MSEINVHDL = -30,
  MSEALREADYINIT = -31,
  MSENOTINIT = -32,
  MSETESTSOFTSHUTDOWN = -33,
  MSENILAYER = -100,
  MSENIQUEUE = -101,
  MSENISELREAD = -102,
  MSENISELWRITE = -103,
  MSERECONNECTION = -104,
};

// Op return codes: the result byte of an opcode reply.
enum : int32_t {
  MSOP_OK = 0,
  MSOP_UNKNOWN_OPCODE = 1,
  MSOP_NOMEM = 2,
  MSOP_SECURITY_KEY_NOTSET = 3,
  MSOP_UNKNOWN_CLIENT = 4,
  MSOP_ACCESS_DENIED = 5,
  MSOP_REQUEST_REQUIRED = 6,
  MSOP_NAME_REQUIRED = 7,
  MSOP_SEND_FAILED = 9,
  MSOP_UNKNOWN_DOMAIN = 10,
  MSOP_UNKNOWN_SERVER = 11,
  MSOP_NO_DOMAIN_SERVER = 12,
  MSOP_INVALID_URL = 13,
  MSOP_UNKNOWN_DUMP_REQ = 14,
  MSOP_FILENOTFOUND = 15,
  MSOP_UNKNOWN_RELOAD_REQ = 16,
  MSOP_FILENOTDEFINED = 17,
  MSOP_CONVERT_FAILED = 18,
  MSOP_NOTSET = 19,
  MSOP_COUNTER_EXCEEDED = 20,
  MSOP_COUNTER_NOTFOUND = 21,
  MSOP_COUNTER_DELETED = 22,
  MSOP_COUNTER_EXISTS = 23,
  MSOP_EINVAL = 24,
  MSOP_NO_J2EE_CLUSTERNODE = 25,
  MSOP_UNKNOWN_PROPERTY = 26,
  MSOP_UNKNOWN_VERSION = 27,
  MSOP_ICTERROR = 28,
  MSOP_KERNEL_INCOMPATIBLE = 29,
};

// Room of a name buffer, terminator included; MsTypesText needs
// MS_TYPES_TEXT_LEN.
#define MS_NAME_LEN 32
#define MS_TYPES_TEXT_LEN 33

// The code's text: a constant, some of them formats ("%d", "%s") that the
// reporter fills. Every code without a text of its own, positive ones
// included, has "internal error".
const WEQ_UC* MsErrorText(int32_t code);

// A negative code's name from the return codes, 0 to 29 from the op return
// codes, anything else its decimal text.
WEQ_UC* MsErrorName(int32_t code, WEQ_UC* buffer);
// An opcode (1 to 76) of a request.
WEQ_UC* MsOpcodeName(int32_t opcode, WEQ_UC* buffer);
// A logon type (0 to 37) of a logon record.
WEQ_UC* MsLogonTypeName(int32_t type, WEQ_UC* buffer);
// A client's state ("ACTIVE" ...).
WEQ_UC* MsStateName(int32_t state, WEQ_UC* buffer);
// The words of a message-type mask, bit 0 first, each three letters and a
// blank ("SVA SVH "); "-" for 0.
WEQ_UC* MsTypesText(uint8_t mask, WEQ_UC* buffer);
// The words of the set bits of count mask bytes, from bit 0 up, each
// followed by a blank, as long as the text with its terminator fits into
// capacity units; the first word that does not fit ends it. Bit 0 "NONE",
// bit 1 "WEQ", bit 2 "J2EE", any other bit its number. NULL for a NULL
// buffer or capacity 0.
WEQ_UC* MsSysServicesText(const uint8_t* mask, int count, WEQ_UC* buffer, size_t capacity);

#endif
