// CPI-C layer over the gateway protocol: the process and thread attach
// entries, the layer's one-time start and its CPIC_* options, the CPI-C
// trace, the conversation table with its ids, route strings, and the return
// codes and name tables that every operation of the layer reports with.
//
// Codes. Every verb returns a CM_RETURN_CODE to its caller; what went wrong
// in the system's own terms is a GW_RETURN_CODE, the RC of the error
// information that the layer records for the calling thread whenever it
// fails (component "CPIC (TCP/IP) with Unicode", version 3).
//
// Threads. Any number of threads call the layer at once. The process-wide
// state is made once under conv_proto_cs; the trace level and stream are
// atomics; each thread has a small record of its own under a thread-local
// key, freed by the key's destructor when the thread ends. The name
// functions and the texts keep no state and take no lock.
#ifndef KRN_CPIC_CPIC_H
#define KRN_CPIC_CPIC_H

#include <stddef.h>
#include <stdint.h>

#include "krn/dptrc/dptrc.h"
#include "weq_types.h"

// --- CPI-C return codes ---------------------------------------------------------

typedef int32_t CM_RETURN_CODE;

enum : CM_RETURN_CODE {
  CM_OK = 0,
  CM_ALLOCATE_FAILURE_NO_RETRY = 1,
  CM_ALLOCATE_FAILURE_RETRY = 2,
  CM_CONVERSATION_TYPE_MISMATCH = 3,
  CM_SECURITY_NOT_VALID = 6,
  CM_SYNC_LVL_NOT_SUPPORTED_PGM = 8,
  CM_TPN_NOT_RECOGNIZED = 9,
  CM_TP_NOT_AVAILABLE_NO_RETRY = 10,
  CM_TP_NOT_AVAILABLE_RETRY = 11,
  CM_DEALLOCATED_ABEND = 17,
  CM_DEALLOCATED_NORMAL = 18,
  CM_PARAMETER_ERROR = 19,
  CM_PRODUCT_SPECIFIC_ERROR = 20,
  CM_PROGRAM_ERROR_NO_TRUNC = 21,
  CM_PROGRAM_ERROR_PURGING = 22,
  CM_PROGRAM_ERROR_TRUNC = 23,
  CM_PROGRAM_PARAMETER_CHECK = 24,
  CM_PROGRAM_STATE_CHECK = 25,
  CM_RESOURCE_FAILURE_NO_RETRY = 26,
  CM_RESOURCE_FAILURE_RETRY = 27,
  CM_UNSUCCESSFUL = 28,
  CM_OPERATION_INCOMPLETE = 35,
  CM_SYSTEM_EVENT = 36,
  CM_WEQ_TIMEOUT_RETRY = 10001,
  CM_CANCEL_REQUEST = 10002,
  CM_WEQ_PING_RECEIVED = 10003,
};

// Results of a receive, as X/Open CPI-C defines them.
enum : int32_t {
  CM_NO_DATA_RECEIVED = 0,
  CM_DATA_RECEIVED = 1,
  CM_COMPLETE_DATA_RECEIVED = 2,
  CM_INCOMPLETE_DATA_RECEIVED = 3,
};
enum : int32_t {
  CM_NO_STATUS_RECEIVED = 0,
  CM_SEND_RECEIVED = 1,
  CM_CONFIRM_RECEIVED = 2,
  CM_CONFIRM_SEND_RECEIVED = 3,
  CM_CONFIRM_DEALLOC_RECEIVED = 4,
};

// --- Gateway return codes (the ones the layer raises by number) -------------

typedef int32_t GW_RETURN_CODE;

enum : GW_RETURN_CODE {
  INVALID_REQUEST = 225,
  WRONG_COMM_TYPE = 233,
  GW_DISCONNECTED = 237,
  READ_FROM_GW_FAILED = 239,
  INVALID_LEN = 240,
  WRONG_APPCHDR_VERSION = 246,
  C_NO_MEM = 450,
  C_NO_SIDE_INFO = 451,
  C_MAX_CONV = 466,
  C_STATE_CHECK = 471,
  C_NO_SIDE_INFO_ENTRY = 472,
  C_NO_CONV = 473,
  C_MANUAL_CANCELD = 474,
  C_NO_HOST_IN_SIDE_INFO = 479,
  C_NO_SERV_IN_SIDE_INFO = 480,
  C_NO_PROT_IN_SIDE_INFO = 481,
  C_GETHOSTNAME = 485,
  GW_SHUTDOWN = 731,
  C_SNC_INV_HANDLE = 764,
  C_SNC_DISABLED = 765,
  C_SNC_ERROR = 766,
  C_SNC_MODE_ON = 767,
  C_SNC_NOT_AVAILABLE = 768,
  C_ILLEGAL_PARAMETER2 = 769,
  C_AREA_TOO_SMALL = 770,
  C_SNC_INV_STATE = 771,
  C_RETURN_CODES = 772,
  C_REG_STATE_CHECK = 773,
  C_NO_SYMDEST = 775,
  C_NET_CONV_ERROR = 777,
  C_TIMEOUT_BLOCK = 779,
  C_CS_ERROR = 784,
};

// The error text and detail format of a code ("" for codes without one).
const WEQ_UC* CpicErrTxt(GW_RETURN_CODE code);
const WEQ_UC* CpicErrDetailFmt(GW_RETURN_CODE code);

// --- Names for traces ----------------------------------------------------------
// Each writes the value's name (a value without a name in decimal) into buf,
// which holds at least CPIC_NAME_LEN units, and returns buf.
#define CPIC_NAME_LEN 30

// A NULL buffer gives "" and writes nothing.
const WEQ_UC* CpicRcName(CM_RETURN_CODE rc, WEQ_UC* buf);
// A NULL buffer gives NULL.
const WEQ_UC* CpicGwRcName(GW_RETURN_CODE rc, WEQ_UC* buf);
// Copies with strcpy_sU16: a name that does not fit leaves buf empty.
const WEQ_UC* CpicFuncName(uint8_t func, WEQ_UC* buf, size_t size);
const WEQ_UC* CpicStatusRcvName(uint32_t value, WEQ_UC* buf);
const WEQ_UC* CpicDataRcvName(uint32_t value, WEQ_UC* buf);
const WEQ_UC* CpicRtsRcvName(uint32_t value, WEQ_UC* buf);
const WEQ_UC* CpicCancelTypeName(uint32_t value, WEQ_UC* buf);

// The calling thread's error information as labelled text, or "no WEQ
// ErrInfo available".
const WEQ_UC* WEQ_CMPERR(void);

// A fixed 8-bit (UTF-8) field into WEQ_UC. Without flags the whole field is
// converted and no terminator is written; with either flag the field ends at
// its first NUL byte (or, stopAtBlank, its first blank), and terminate keeps
// one unit of capacity for the terminator. *outLen (when given) receives the
// units, a trailing 0 unit excluded. Returns 0, 32 when the text was cut, or
// another converter code (then *outLen is not written).
int CpicFieldToU16(WEQ_UC* dst, int* outLen, int capacity, const char* src, int srcLen, int terminate,
                   int stopAtBlank);

// --- CPI-C trace ------------------------------------------------------------------

// A stream for the CPI-C trace; never NULL-as-none (standard error stands in
// when no file can be had). The callers store it.
CTRC_HDL CpicTrcOpen(const WEQ_UC* fileName, const WEQ_UC* caller);
// First-use set-up of the trace, called by the verbs on entry.
void CpicTrcInit(int readEnv, int useLevel, int level, int markInit, const WEQ_UC* caller);
CM_RETURN_CODE WEQ_CMTRACE(int level, const WEQ_UC* fileName);
CM_RETURN_CODE WEQ_CMGETTRACE(int* level);
// Keeps argv (the caller's pointer, not a copy) and reads the trace level
// from it: 0 or CM_UNSUCCESSFUL.
CM_RETURN_CODE WEQ_CMACCP(WEQ_UC** argv);
// Scans the saved arguments for CPIC_TRACE= / TRACE=, once per process.
void CpicTrcArgs(void);

// The CPI-C trace level and stream (none: NULL).
int CpicTrcLevel(void);
CTRC_HDL CpicTrcHdl(void);

// --- Attach, detach and start ------------------------------------------------------

// 1 on success, 0 on failure.
int WEQ_CPIC_PROCESS_ATTACH(WEQ_UC** argv);
int WEQ_CPIC_THREAD_ATTACH(void);
int WEQ_CPIC_THREAD_DETACH(void);
int WEQ_CPIC_PROCESS_DETACH(void);

// Host and service may be NULL or empty (left as they were); protocol ' '
// for none.
CM_RETURN_CODE WEQ_STINIT(WEQ_UC** argv, const WEQ_UC* gwhost, const WEQ_UC* gwserv, WEQ_UC protocol);
// hostNameFlag 1 makes a failing own-host-name look-up fatal; a NULL trace
// handle means the CPI-C trace handle and level.
CM_RETURN_CODE STInitGlobals(CM_RETURN_CODE* rc, int hostNameFlag, CTRC_HDL trc, int trcLevel);
// The variable's current value (UTF-16, kept for the process) or NULL.
const WEQ_UC* STIGetenv(const WEQ_UC* name);
bool STICheckProtocol(WEQ_UC letter);

// --- Conversation table -------------------------------------------------------------

// 8 bytes of 8-bit characters, no terminator; a free entry holds blanks.
typedef char CONVERSATION_ID[8];

CM_RETURN_CODE WEQ_CMMAXCONV(int count);

// --- Timeouts and keep-alive ----------------------------------------------------------

// The receive timeout of a conversation in milliseconds; -1 (all bits set)
// blocks. 0, 19 (unknown conversation) or 20 (another negative value).
CM_RETURN_CODE WEQ_CMTIMEOUT2(const char* convId, int32_t timeout, CM_RETURN_CODE* rc);
// The keep-alive settings that conversations taken from now on copy; the
// CPIC_PING variables are read no more. 19 for a negative period or
// timeout, nothing stored then.
CM_RETURN_CODE WEQ_CMSETPING(uint8_t active, int withReply, int period, int timeout, CM_RETURN_CODE* rc);

// --- Client verbs ------------------------------------------------------------------------
//
// Every verb returns its CM_RETURN_CODE and also stores it through rc when
// rc is not NULL. A conversation is named by its own 8-byte id; a NULL or
// unknown id gives 19 (CM_PARAMETER_ERROR). A failed send to or receive from
// the gateway ends the conversation and gives 20. 10001 (after a time-out)
// asks for the same verb again, which then only waits.

// The most data one send or receive moves, in bytes.
#define CPIC_MAX_DATA 32000

// The layer's refusal of a length argument of a verb: error 769 naming the
// verb, the parameter and "value (max: max)" in the thread's error
// information; returns 19. For callers that bound a length more tightly
// than the verb does (the bytes a caller's array holds) before calling it.
CM_RETURN_CODE CpicRefuseLength(const WEQ_UC* verb, const WEQ_UC* param, int32_t value, int32_t max);

// The SNC parameter block of WEQ_STINIT3 and the registrations (1,548
// bytes): names of 257 units each, ended by a 0 unit.
struct CPIC_SNC_PARAMS {
  uint16_t first;
  WEQ_UC partnerName[257];
  WEQ_UC myName[257];
  WEQ_UC libPath[257];
  uint8_t mode;  // 0 off, 1 on, 2 as other sources give it
  uint8_t qop;   // 0: not given
  uint8_t role;  // 0: not given; 2 acceptor, else initiator
  uint8_t spare;
};

// Takes a conversation entry, settles the partner (arguments first, then
// the side-information file of dest), connects to the gateway and sends the
// initialise request; convId receives the conversation's 8-byte id. Texts
// may be NULL (as empty); protocol ' ' and traceLevel -1 mean "not given";
// snc may be NULL (SNC off).
CM_RETURN_CODE WEQ_STINIT3(char* convId, const WEQ_UC* dest, const WEQ_UC* lu, const WEQ_UC* tp,
                           const WEQ_UC* gwHost, const WEQ_UC* gwServ, WEQ_UC protocol, int32_t traceLevel,
                           const CPIC_SNC_PARAMS* snc, CM_RETURN_CODE* rc);
// Allocates the conversation to the partner program.
CM_RETURN_CODE STALLC(const char* convId, CM_RETURN_CODE* rc);
// Sends *length (0..32000) bytes. With buffering on, the first block is
// held until the next send or receive; each sixth send in a row waits for
// the gateway's answer.
CM_RETURN_CODE STSEND(const char* convId, const void* buffer, const int32_t* length, int32_t* rts,
                      CM_RETURN_CODE* rc);
// Synchronises with the partner (one request and its answer).
CM_RETURN_CODE STSYNC(const char* convId, CM_RETURN_CODE* rc);
// Sets the partner LU name (at most 128 units of name, *length units).
CM_RETURN_CODE STSPLN(const char* convId, const WEQ_UC* luName, const int32_t* length, CM_RETURN_CODE* rc);
// Sends what is held, deallocates and releases the conversation; an
// unknown id gives 0.
CM_RETURN_CODE STDEAL(const char* convId, CM_RETURN_CODE* rc);
// Tells the gateway why the conversation ends (the thread's error
// information goes with it) and releases it in every case: 0, or 20 when
// the message did not leave.
CM_RETURN_CODE WEQ_CMSENDERRINFO(const char* convId, int32_t gwRc, CM_RETURN_CODE cmRc, CM_RETURN_CODE* rc);
// Receives at most *requested (0..32000) bytes into buffer with the
// partner's results; the held first send goes out with the receive request.
CM_RETURN_CODE STRCV(const char* convId, void* buffer, const int32_t* requested, int32_t* dataReceived,
                     int32_t* receivedLength, int32_t* statusReceived, int32_t* rts, CM_RETURN_CODE* rc);

// --- Registered server program -------------------------------------------------------------

// Waits up to timeout ms for an event on the registrations and their
// conversations: 0, 10001 after the time-out, 26 when the wait fails.
CM_RETURN_CODE WEQ_CMLISTEN(int32_t timeout, CM_RETURN_CODE* rc);
// The next handle with an event (-1 when none is left) and its user value
// (userValue may be NULL): 0, 19 for a NULL handle, 28 before the select
// set is ready.
CM_RETURN_CODE WEQ_CMGETNEXTHDL(int32_t* handle, void** userValue, CM_RETURN_CODE* rc);

// Registers the TP name tp at the gateway: *handle receives the handle of
// the registration (version 3: its NI handle; version 2: the handle's
// socket). snc may be NULL. WEQ_CMREGTP3 sets the select set up first.
CM_RETURN_CODE WEQ_CMREGTP2(const WEQ_UC* tp, const WEQ_UC* gwHost, const WEQ_UC* gwServ, int32_t* handle,
                            const CPIC_SNC_PARAMS* snc, CM_RETURN_CODE* rc);
CM_RETURN_CODE WEQ_CMREGTP3(const WEQ_UC* tp, const WEQ_UC* gwHost, const WEQ_UC* gwServ, int32_t* handle,
                            const CPIC_SNC_PARAMS* snc, CM_RETURN_CODE* rc);
// Accepts the conversation that the gateway hands to the registration:
// convId receives its id. timeout in seconds; negative blocks; -2 only tells
// the gateway that the registration waits and puts it into the select set
// (version 3) with userValue. 10001 after the time-out, 10003 after a ping.
CM_RETURN_CODE WEQ_CMACCPTP(int32_t handle, int32_t timeout, char* convId, CM_RETURN_CODE* rc);
CM_RETURN_CODE WEQ_CMACCPTP3(int32_t handle, int32_t timeout, char* convId, void* userValue, CM_RETURN_CODE* rc);
// Ends a registration (an unknown one: 0). WEQ_CMUNREGTP3 gives 28 before
// the select set is ready.
CM_RETURN_CODE WEQ_CMUNREGTP(int32_t handle, CM_RETURN_CODE* rc);
CM_RETURN_CODE WEQ_CMUNREGTP3(int32_t handle, CM_RETURN_CODE* rc);
// How many programs are registered under tp, in all and by state.
CM_RETURN_CODE WEQ_CMNOREGTP(const WEQ_UC* tp, const WEQ_UC* gwHost, const WEQ_UC* gwServ, int32_t* total,
                             int32_t* init, int32_t* waiting, int32_t* running, CM_RETURN_CODE* rc);
// Sends the conversation's held data with a receive request (requested may
// be NULL: 32000; no request when one is still out after a time-out) and
// puts its connection into the select set: the next receive reads the
// answer once the select set reported it. 25 while protected data is
// partly delivered (receive it first).
CM_RETURN_CODE WEQ_CMLISTEN3(const char* convId, const int32_t* requested, CM_RETURN_CODE* rc);
// Ends the wait of a send or receive that returned 10001: *cancelType 0
// hard, 1 soft. The conversation stays.
CM_RETURN_CODE WEQ_CMCANCEL(const char* convId, const int32_t* cancelType, CM_RETURN_CODE* rc);

// --- SNC of a conversation --------------------------------------------------------------
//
// What the partner of a conversation is: *mode 1 when the conversation is
// protected, 0 when not; the partner's SNC name (terminated, size units
// including the terminator); its ACL key (the canonical name's bytes, no
// terminator; *keyLen its length, also when the buffer is too small). 20
// with error 765 for a conversation without SNC, 770 for a buffer too
// small.
CM_RETURN_CODE WEQ_CMSNCMODE(const char* convId, uint8_t* mode, CM_RETURN_CODE* rc);
CM_RETURN_CODE WEQ_CMSNCNAME(const char* convId, WEQ_UC* name, int32_t size, CM_RETURN_CODE* rc);
CM_RETURN_CODE WEQ_CMACLKEY(const char* convId, uint8_t* key, int32_t size, uint32_t* keyLen, CM_RETURN_CODE* rc);

// --- Routes and protocol letters -----------------------------------------------------

bool STIAnalyzeRoute(const WEQ_UC* route, const WEQ_UC* tpName, WEQ_UC* lu, size_t luSize, WEQ_UC* tp,
                     size_t tpSize, WEQ_UC* gwHost, size_t gwHostSize, WEQ_UC* gwServ, size_t gwServSize);
// direction 1: letter to header value; 0: header value to letter. An
// unknown value gives 0 with *rc 19.
uint32_t STIConvProtocol(uint32_t value, CM_RETURN_CODE* rc, int direction);

#endif
