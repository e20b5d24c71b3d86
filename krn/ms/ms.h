// Message server client: talks to the server system's message server, which
// knows the application servers, their logon groups and a small storage of
// named entries. The client opens one buffered NI connection, logs on under
// a client name, exchanges messages that each begin with a 110-byte header
// ("**MESSAGE**", version, error, receiver, types, key, flags, sender,
// port) and logs off. The public calls work on one process-wide default
// handle.
//
// Locking: none. The handle, its buffer and the process-wide buffers serve
// one caller at a time; the logon-group layer makes every call under its
// own mutex. Every call returns 0 or a negative code below (requests may
// also return a positive op return code of the reply); a failure writes an
// error trace line, and MsErrSet enters a code into the calling thread's
// error information on request. A failure that leaves the connection
// unusable detaches the handle.
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

#include "krn/ni/ni.h"
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

// --- The client -----------------------------------------------------------------

// One message-server connection (ms_int.h holds its fields).
typedef struct MS_HDL MS_HDL;

#define MS_HEADER_LEN 110    // header of every message
#define MS_MAX_DATA_LEN 32000  // data bytes behind it
#define MS_BUFFER_LEN 32110  // the message buffer
#define MS_NAME_FIELD 40     // characters of a client name
#define MS_KEY_LEN 8         // bytes of a message key

// msflag values of a message.
enum : uint8_t {
  MS_MSG = 1,      // a plain message
  MS_REQUEST = 2,  // a request to the message server
  MS_REPLY = 3,
  MS_ADMIN = 4,    // an administration message
};

// Parameters of MsSetParam (milliseconds): the write time-out, the
// connect and login time-out, the buffer length (read only) and the second
// chance of a timed-out write (0 none, -1 blocking).
enum : int {
  TIME_S = 1,
  TIME_L = 2,
  BUFFER_LN = 3,
  TIME_R = 4,
};

// The process-wide handle of the public calls.
MS_HDL* MsGetDefaultHdl(void);

// Connects to host and service (names, address texts, a route string) and
// logs on as myname ("-": anonymous) with the own service myserv ("-":
// none) and message types msgtypes; blocking, within TIME_L.
int MsAttach(const WEQ_UC* myname, const WEQ_UC* myserv, uint8_t msgtypes, const WEQ_UC* mshost,
             const WEQ_UC* msserv);
// Logs off (when the connection is healthy) and closes; 0.
int MsDetach(void);
// 1 while the default handle is attached, else 0: a failure that leaves
// the connection unusable detaches it.
int MsIsAttached(void);
// Sets a parameter of the default handle: 0 or MSEINVAL.
int MsSetParam(int param, int32_t value);

// Waits up to timeout ms (-1: no limit) for one message: the received
// mserrno (normally 0) or a failure. *data points behind the header into
// the handle's buffer until the next read or write; fromname receives 40
// characters and a terminator.
int MsReceive(WEQ_RAW** data, int32_t* dataLen, WEQ_RAW key[MS_KEY_LEN], uint8_t* msflag,
              WEQ_UC fromname[MS_NAME_FIELD + 1], int32_t timeout);
// Sends an administration block to the message server.
int MsSndAdmin(const void* data, int32_t dataLen, const WEQ_RAW key[MS_KEY_LEN]);

// Records code in the calling thread's error information (MSENILAYER: the
// NI code behind it), unless an error of another place or the same code is
// recorded already.
void MsErrSet(int32_t code);

// The key as 16 upper-case hexadecimal digits, or "-" for eight zero
// bytes, in a buffer of the calling thread that its next call overwrites.
const WEQ_UC* MsKeyToHex(const WEQ_RAW key[MS_KEY_LEN]);

// --- Requests -------------------------------------------------------------------
//
// Opcode requests go to "MSG_SERVER" and come back as a reply in the same
// form; they return 0, the reply's op return code (1 to 255) or a negative
// code. wait 0 only sends the request. Time-outs are milliseconds, -1 for
// none; a time-out bounds the whole wait, wakeups included.

// A client-list record, the same for every wire version: texts blank-padded
// without terminator, the IPv4 address and port in network order, the IPv6
// address IPv4-mapped for older records, the system services as four bytes
// of one big-endian mask.
struct MSXXLIST {
  WEQ_UC client[40];
  WEQ_UC host[64];
  WEQ_UC service[20];
  uint8_t msgtypes;
  NI_NODEADDR hostaddr;
  uint8_t hostaddrv4[4];
  uint8_t servno[2];
  uint8_t status;  // MsStateName
  uint8_t sysservice[4];
};

// Most records of the client list, and most parts of one list: a list
// beyond either gives MSENOMEM.
#define MS_CLIENT_LIST_MAX 65536

// The clients logged on to the message server: *list points to a
// process-wide array (valid until the next list) of *count records. With
// onlyWithTypes the clients without message types are left out.
int MsClientList(MSXXLIST** list, int32_t* count, int32_t timeout, uint8_t onlyWithTypes);

// The logon data of the next server for a protocol (2 to 37; else
// MSOP_EINVAL): host and misc texts cut to their capacities and terminated,
// the address (IPv6, or IPv4-mapped) and the port (host order).
int MsGetNextLogon(int32_t protocol, WEQ_UC* host, int32_t hostCapacity, NI_NODEADDR* addr, uint16_t* port,
                   WEQ_UC* misc, int32_t miscCapacity, uint8_t wait, int32_t timeout);
// The same for one named server (name NULL or protocol outside 0-37:
// MSOP_EINVAL).
int MsGetLogon(const WEQ_UC* name, int32_t protocol, WEQ_UC* host, int32_t hostCapacity, NI_NODEADDR* addr,
               uint16_t* port, WEQ_UC* misc, int32_t miscCapacity, uint8_t wait, int32_t timeout);

// The security key (an SNC name) of the client at address and port (host
// order): *key points to a process-wide text of at most 256 characters,
// valid until the next key request. MSOP_SECURITY_KEY_NOTSET for an answer
// that holds no key.
int MsGetSecurityKeyByNodeAddr(const NI_NODEADDR* addr, uint16_t port, const WEQ_UC** key, uint8_t wait,
                               int32_t timeout);

// The name of the client at address and port: *name points to a
// process-wide text, valid until the next name request.
int MsGetNameByIpAdr(const NI_NODEADDR* addr, uint16_t port, const WEQ_UC** name, uint8_t wait,
                     int32_t timeout);

// A profile parameter of the message server: the answer's status (0, 3 or
// 6 when a value was found; the value then goes to value, trailing blanks
// removed, empty when it does not fit capacity units), another status as
// it came, MSENOTFOUND for an answer without a record, or a failure. The
// wait is bounded by TIME_L.
int MsGetParamValue(const WEQ_UC* name, WEQ_UC* value, int32_t capacity);

#endif
