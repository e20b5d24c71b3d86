// Network interface (NI): integer handles over TCP on IPv4 and IPv6 and
// over datagram sockets, with message framing, keep-alive, select sets,
// wakeups, a buffered layer, routing and cached name resolution, all over
// the socket layer (krn/si).
//
// Every NI operation returns an NI_RC: WEQ_O_K (0) or a negative code of
// the table below. A failing operation also records the calling thread's
// error information under the component "NI (network interface)" and
// writes one trace line.
#ifndef KRN_NI_NI_H
#define KRN_NI_NI_H

#include <stdint.h>

#include "krn/dptrc/dptrc.h"
#include "weq_types.h"

// --- Return codes -------------------------------------------------------------

typedef int32_t NI_RC;

enum : NI_RC {
  NIEINTERN = -1,             // internal error
  NIEHOST_UNKNOWN = -2,       // host name unknown
  NIESERV_UNKNOWN = -3,       // service unknown
  NIESERV_USED = -4,          // service (port) in use
  NIETIMEOUT = -5,            // time-out
  NIECONN_BROKEN = -6,        // connection broken
  NIETOO_SMALL = -7,          // data too small (caller's business)
  NIEINVAL = -8,              // invalid parameters
  NIECONN_REFUSED = -10,      // partner not reached
  NIEPING = -11,              // a PING arrived
  NIECONN_PENDING = -12,      // connect to the partner or a router still pending
  NIEVERSION = -13,           // invalid client version
  NIENOFREEPORT = -15,        // no free local port in the range
  NIEMYHOST_VERIFY = -16,     // own host name or address not verified
  NIESNC_FAILURE = -17,       // SNC failed (SNC recorded the error)
  NIEOPCODE = -18,            // control message received
  NIEQUE_FULL = -19,          // queue full
  NIETOO_BIG = -20,           // packet too big
  NIEACCEPT = -21,            // accepted handle pending
  NIEPASSED = -22,            // handle passed to another process
  NIENO_ANSWER = -23,         // no answer
  NIECALL = -24,              // unexpected call
  NIEROUT_HOST_UNKNOWN = -90,
  NIEROUT_SERV_UNKNOWN = -91,
  NIEROUT_CONN_REFUSED = -92,
  NIEROUT_INTERN = -93,
  NIEROUT_PERM_DENIED = -94,
  NIEROUT_CONN_BROKEN = -95,
  NIEROUT_VERSION = -96,
  NIEROUT_CANCELED = -97,
  NIEROUT_SHUTDOWN = -98,
  NIEROUT_INFO_DENIED = -99,
  NIEROUT_OVERFLOW = -100,
  NIEROUT_MODE_DENIED = -101,
  NIEROUT_NOCLIENT = -102,
  NIEROUT_EXTERN = -103,
  NIEROUT_SNC_FAILURE = -104,
};

// Component and version of every NI error record.
#define NI_COMPONENT u"NI (network interface)"
#define NI_COMPONENT_VERSION 40

// The name of rc ("NIETIMEOUT"; "WEQ_O_K" for 0), or "*** ERROR ***" for a
// code outside the table, which is also traced to the NI trace file.
const WEQ_UC* NiErrorName(NI_RC rc);

// Records rc in the calling thread's error information, unless the same
// code is recorded already at the thread's current location. For the SNC
// codes only the code and the component of the existing record change.
void NiErrSet(NI_RC rc);

// --- Addresses, names and the host and service caches ----------------------
//
// A node address (NI_NODEADDR) is 16 bytes in network order: an IPv6 address
// as it is, an IPv4 address IPv4-mapped (ten zero bytes, FF FF, the four
// address bytes). A mask has one bit per address bit, 1 = must match.
// Ports are in host order at these functions.
//
// Every translation of a host name, address, service name or port goes
// through the host and service caches, which remember answers and failures
// for their own times; only the caches ask the system resolver. All strings
// are WEQ_UC. Every NULL pointer argument is refused with NIEINVAL and error
// information naming the parameter. Functions that return text never fail:
// they return "<ERR>" or "*** ERROR ***". All functions are reentrant.

// Lengths in units, terminator included where a buffer is meant.
#define NI_MAX_HOSTNAME_LEN 64  // a host name must be shorter
#define NI_MAX_SERVNAME_LEN 32  // a service name must be shorter
#define NI_IPv4ADDR_STR_LEN 16  // dotted IPv4 text
#define NI_NODEADDR_STR_LEN 46  // any node address text
#define NI_SERVNO_STR_LEN 6     // a decimal port
#define NI_ADDRMASK_STR_LEN 92  // address and mask text

typedef struct NI_NODEADDR {
  WEQ_RAW addr[16];
} NI_NODEADDR;

// Protocol choice of the host look-ups and bits of the IP usage word.
#define NI_PROTO_FAM_UNSPEC 0
#define NI_PROTO_FAM_LOCAL 1  // local-domain sockets: refused
#define NI_PROTO_FAM_IPv4 2
#define NI_PROTO_FAM_IPv6 4

// Look-up modes of the caches.
enum {
  NI_HS_MODE_DEFAULT = 0,  // cache first, the resolver on a miss or an expired entry
  NI_HS_MODE_BUFONLY = 1,  // the cache only: a miss is an error
  NI_HS_MODE_NOBUF = 2,    // the resolver only
};

// Host name (or address text; NULL: the loopback address) to an address.
// A name of NI_MAX_HOSTNAME_LEN units or more is NIEINVAL; a route string
// ("/H/...") is NIEHOST_UNKNOWN without error information.
NI_RC NiHostToAddr(const WEQ_UC* pHostName, NI_NODEADDR* pNodeAddr);

// The address of "localhost", resolved once; 127.0.0.1 when that failed.
NI_RC NiGetLoopbackAddr(NI_NODEADDR* pNodeAddr);

// Address to host name through the host cache (no numeric fallback).
NI_RC NiAddrToHost2(const NI_NODEADDR* pNodeAddr, WEQ_UC* pHostName, int bufferLen);

// Service name or decimal text to a port in host order.
NI_RC NiServToNo(const WEQ_UC* pServName, uint16_t* pServNo);

// The port as decimal text; the buffer needs NI_SERVNO_STR_LEN units.
NI_RC NiServToStr(uint16_t servNo, WEQ_UC* pServNoStr, int bufferLen);

// The address as text: dotted for IPv4-mapped addresses (and "0.0.0.0" for
// NULL; NI_IPv4ADDR_STR_LEN units), otherwise numeric IPv6 text
// (NI_NODEADDR_STR_LEN units). The flag has no effect.
NI_RC NiAddrToStr(const NI_NODEADDR* pNodeAddr, WEQ_UC* pNodeAddrStr, int bufferLen, int flag);
// As NiAddrToStr; returns the buffer, or "<ERR>" on failure.
const WEQ_UC* NiAddrToStr2(const NI_NODEADDR* pNodeAddr, WEQ_UC* pNodeAddrStr, int bufferLen,
                           int flag);
// The text in the calling thread's own buffer, overwritten by its next call;
// "*** ERROR ***" on failure.
const WEQ_UC* NiAddrToStrStatic(const NI_NODEADDR* pNodeAddr, int flag);

// Address-and-mask text: IPv6 groups (one "::"; an IPv4 tail), dotted IPv4
// parts that may be "*" or eight binary digits with 'x' wildcards, and an
// optional "/prefix". *pFlag (when given) is 1 when a prefix or a wildcard
// was used.
NI_RC NiStrToAddrMask(const WEQ_UC* pInStr, NI_NODEADDR* pNodeAddr, NI_NODEADDR* pNodeAddrMask,
                      int* pFlag);
// A plain address; text with a prefix or wildcard is NIEINVAL.
NI_RC NiStrToAddr(NI_NODEADDR* pNodeAddr, const WEQ_UC* pInStr);
// Address, "/", then a prefix length or a mask; NI_ADDRMASK_STR_LEN units.
NI_RC NiAddrMaskToStr(const NI_NODEADDR* pNodeAddr, const NI_NODEADDR* pNodeAddrMask,
                      WEQ_UC* pNodeAddrStr, int bufferLen);
// Whether A and B agree in every bit the mask sets; false for NULL.
bool NiAddrMatch(const NI_NODEADDR* pNodeAddrA, const NI_NODEADDR* pNodeAddrB,
                 const NI_NODEADDR* pNodeAddrMask);

// A route string with its passwords ("/P/", "/W/") hidden as "***" where
// room allows; the output must be longer than the input (else NIETOO_SMALL).
NI_RC NiSecStr2(const WEQ_UC* pInStr, WEQ_UC* pSecStr, int bufferLen);

// IPv4 values (network order, unchanged) and IPv4-mapped addresses.
NI_NODEADDR NiIPv4ToAddr(uint32_t ipv4);
uint32_t NiAddrToIPv4(const NI_NODEADDR* pNodeAddr);

// 16-bit values between host and network order.
uint16_t NiHtons(uint16_t value);
uint16_t NiNtohs(uint16_t value);

// The own host name.
NI_RC NiMyHostName(WEQ_UC* pHostName, int bufferLen);

// --- Library and handles ---------------------------------------------------------
//
// NI_HDL names an entry of the handle table; -1 is no handle. Time-outs
// are milliseconds: NI_BLOCK (-1) waits without limit, 0 returns at once.
// Ports are in host order at these functions.

typedef int32_t NI_HDL;
#define NI_INVALID_HDL (-1)
#define NI_BLOCK (-1)

// Nested initialisation: the first call builds the handle table (maxHandles
// records, at most 32768; NiInit: 2048), later calls only count up; NiExit
// counts down and releases everything at 0. NI functions that need the
// library initialise it on demand, counted like any other call. Any thread
// may call them; one lock orders them.
NI_RC NiInit(void);
NI_RC NiInit2(int32_t maxHandles);  // NIEINVAL for maxHandles <= 0
NI_RC NiInit3(int32_t maxHandles);
NI_RC NiExit(void);

// The calling thread's NI data: NiThrInit creates it (NIECALL before
// initialisation); NiThrExit frees the given block, or the caller's own
// when NULL. A thread's block is also freed when the thread ends.
NI_RC NiThrInit(void);
void NiThrExit(void* pThreadData);

// Closes a stream or listen handle (datagram handles: NIEINVAL).
NI_RC NiCloseHandle(NI_HDL hdl);

// The socket behind a handle; a connect still in progress is completed
// first (waiting without limit).
NI_RC NiHdlToSock(NI_HDL hdl, int32_t* pSocketNo);
// The handle that owns a socket number.
NI_RC NiSockToHdl(int32_t socketNo, NI_HDL* pHandle);

// --- Connections -------------------------------------------------------------------

// A listen handle on all local addresses at *pServNo (65535: NI searches a
// free port in its range; 0: the system chooses); *pServNo receives the
// port bound.
NI_RC NiServerHandleForPort(uint16_t* pServNo, NI_HDL* pHandle);

// An unbuffered connection to host and service (names, address texts or
// port numbers). protoMask: NI_PROTO_FAM_UNSPEC, NI_PROTO_FAM_IPv4 or
// NI_PROTO_FAM_IPv6 (NI_PROTO_FAM_LOCAL is refused). timeout 0 waits
// without limit; a connect still pending after the time-out is
// NIECONN_REFUSED. *pHandle is -1 on any failure.
NI_RC NiHandle(const WEQ_UC* pHostName, const WEQ_UC* pServName, int32_t timeout, NI_HDL* pHandle);
NI_RC NiHandleForProto(const WEQ_UC* pHostName, const WEQ_UC* pServName, uint32_t protoMask, int32_t timeout,
                       NI_HDL* pHandle);
// The same for a buffered handle: NIECONN_PENDING hands out the handle with
// its connect in progress.
NI_RC NiBufHandle(const WEQ_UC* pHostName, const WEQ_UC* pServName, int32_t timeout, NI_HDL* pHandle);
NI_RC NiBufHandleForProto(const WEQ_UC* pHostName, const WEQ_UC* pServName, uint32_t protoMask,
                          int32_t timeout, NI_HDL* pHandle);

// Accepts one connection on a listen handle; peer address and port (host
// order) are stored where given. NIETIMEOUT when none came in time.
NI_RC NiAcceptEx2(NI_HDL listenHdl, int32_t timeout, CTRC_HDL* trcHdl, NI_HDL* pNewHdl,
                  NI_NODEADDR* pPeerAddr, uint16_t* pPeerServNo);
NI_RC NiAccept(NI_HDL listenHdl, int32_t timeout, NI_HDL* pNewHdl, NI_NODEADDR* pPeerAddr,
               uint16_t* pPeerServNo);

// The local address and port (host order, required) of a handle; pPath
// (NI_MAX_PATH_LEN units) receives the local-domain path of a listen
// handle, which this library never has: it is left empty.
#define NI_MAX_PATH_LEN 108
NI_RC NiHdlGetName(NI_HDL hdl, NI_NODEADDR* pNodeAddr, uint16_t* pServNo, WEQ_UC* pPath);

// --- Routes -----------------------------------------------------------------------
//
// A host name may be a route string instead: "/H/host" per hop, each with
// an optional "/S/service" (default: the router service 3299; the last
// hop: the caller's service), "/P/password" for its own router and
// "/W/password" for the next hop's. The connect entries above connect to
// the first hop and wait until the last router answers (for NiBufHandle
// and NiBufHandleForProto only with timeout NI_BLOCK); a router's refusal
// comes back as its code (NIEROUT_*) with the router's error information.
// At most 255 hops in at most 10000 bytes of hop texts.

typedef struct NI_ROUTE_ENTRY {
  WEQ_UC host[60];    // cut to 59 units, always terminated
  WEQ_UC service[30];  // cut to 29 units, always terminated
} NI_ROUTE_ENTRY;

// The hops of a route string: *pCount receives their number, pRouteTable
// (tableSize rows; NULL with size 0 counts only) the last tableSize hops.
NI_RC NiRouteToTable(int32_t* pCount, const WEQ_UC* pRouteString, NI_ROUTE_ENTRY* pRouteTable, int32_t tableSize);

// --- Message I/O ------------------------------------------------------------------
//
// A stream connection carries framed messages: 4 bytes of length, big-endian
// (the top bit must be clear), then the data. Calls that stop on their
// time-out return NIETIMEOUT and keep their progress in the handle: a write
// is resumed with the rest of the same message (pData + *pWritten, the same
// remaining length), a read with the rest of the buffer. One thread at a
// time may read and one may write a handle.

#define NI_READ 1
#define NI_WRITE 2

// Writes one message; *pWritten counts the data bytes this call sent.
NI_RC NiWrite(NI_HDL hdl, const void* pData, int dataLen, int timeout, uint32_t* pWritten);
// Reads one message; NIETOO_SMALL when it does not fit (the rest follows
// with the next call). Keep-alive messages are answered and consumed:
// NIEPING reports one.
NI_RC NiRead(NI_HDL hdl, void* pBuffer, int bufferLen, int timeout, uint32_t* pRead);
// Waits until the handle can be read (a listen handle: accepted) or written.
NI_RC NiPeekEx(NI_HDL hdl, int timeout);
NI_RC NiPeekExWrite(NI_HDL hdl, int timeout);
// Sends the keep-alive "NI_PING" (flag 1) or "NI_PONG"; *pCount (0..8) is
// the part of that 8-byte message sent by earlier calls.
NI_RC NiCheckEx(NI_HDL hdl, int timeout, uint8_t flag, uint32_t* pCount);
// Data bytes of the current outgoing message not yet written; -1 for an
// invalid or a listen handle.
int NiWritePending(NI_HDL hdl);
// Sleeps milliSec milliseconds.
void NiWait(int milliSec);
// Single-read mode: a read returns NIETIMEOUT after one receive that left
// part of the message pending.
NI_RC NiSetSingleRead(NI_HDL hdl, int8_t on);

// --- Parameters -------------------------------------------------------------------

enum : uint8_t {
  NI_DT_BOOL = 1,
  NI_DT_RAW = 2,
  NI_DT_USHORT = 3,
  NI_DT_UINT = 4,
  NI_DT_NODEADDR = 5,
  NI_DT_VOIDPTR = 6,
  NI_DT_UCPTR = 7,
  NI_DT_ALLOCFUNC = 8,
};

enum : uint8_t {
  NIP_PORTRANGE = 1,
  NIP_MAXPORT = 2,
  NIP_MINPORT = 3,
  NIP_HSBUF_CMD = 4,          // RAW opcode: 0 prints the caches, 1 flushes them
  NIP_HSBUF_INDEX_SIZE = 5,   // UINT: index size of both caches
  NIP_FRAGTEST = 9,
  NIP_CONNLOCAL = 10,
  NIP_UDS_PATH = 11,
  NIP_QUEUE_LEN = 12,
  NIP_QTEST = 13,
  NIP_LOCAL_ADDR = 14,
  NIP_HSBUF_TRACE_LIMIT = 15,  // UINT
  NIP_HSBUF_TIME_FUNC = 16,    // VOIDPTR
  NIP_TRACE_ALL = 17,
  NIP_INC_SERV_NO = 18,
  NIP_CONT_IN_RANDE = 19,
  NIP_POLL_TRACE = 20,         // UINT seconds of tolerance of a wait
  NIP_HBUF_TIMEOUT = 21,       // UINT
  NIP_HBUF_INV_TIMEOUT = 22,   // UINT
  NIP_MIN_SOCKBUF = 23,        // UINT
  NIP_BUF_MAXHEAP = 30,        // UINT, the buffered layer's heap limit (0: none)
  // per handle
  NIHP_SINGLE_READ = 50,
  NIHP_MARK = 51,
  NIHP_BUF_TALKMODE = 60,     // RAW, NI_MESG_IO, NI_RAW_IO or NI_ROUT_IO
  NIHP_BUFSTAT = 61,          // RAW: NI_BUFSTAT_ON makes a handle buffered, OFF plain again
  NIHP_BUF_PROGRESS = 62,     // out-queue progress (buffered handles only)
  NIHP_ALLOC_FUNC = 63,       // ALLOCFUNC: the allocator of received messages
  NIHP_MAXQUEUE = 64,         // UINT: most messages waiting in the user queue
  NIHP_WARNQUEUE = 65,        // UINT: free places below which a send warns
  NIHP_MAXMSGLEN = 66,        // UINT: longest message a buffered handle accepts
};

#define NI_BUFSTAT_OFF 0
#define NI_BUFSTAT_ON 1

// Talk modes of a buffered handle (parameter 60).
enum : uint8_t {
  NI_MESG_IO = 0,  // framed messages
  NI_RAW_IO = 1,   // bytes without framing
  NI_ROUT_IO = 2,  // framed like NI_MESG_IO; control messages reach the user
};

typedef struct NIBUF NIBUF;
// Delivers a buffer of at least length bytes for a message the buffered
// layer receives; text names it in trace lines. A non-zero result fails
// the receive with it.
typedef NI_RC (*NI_ALLOC_FUNC)(NIBUF** ppBuffer, int32_t length, const WEQ_UC* text);

typedef struct NI_PARAM_DATA {
  uint8_t param;
  uint8_t datatype;
  union {
    uint8_t raw_val;  // also BOOL
    uint16_t ushort_val;
    uint32_t uint_val;
    NI_NODEADDR nodeaddr_val;
    void* voidptr_val;
    const WEQ_UC* ucptr_val;
    NI_ALLOC_FUNC allocfunc_val;
  } value;
} NI_PARAM_DATA;

// Sets a process-wide parameter (NIP_LOCAL_ADDR: of the calling thread);
// starts NI when needed. NIEINVAL for an unknown number or a wrong type.
NI_RC NiSetParamEx(NI_PARAM_DATA* pParamData);
// The same from a number and a 32-bit value (numbers 1-5, 9, 10, 13, 17).
NI_RC NiSetParam(uint8_t param, uint32_t value);
// Sets a parameter of one handle.
NI_RC NiSetHdlParamEx(NI_HDL hdl, NI_PARAM_DATA* pParamData);
// The same from a pointer to the value (numbers 60, 61, 63, 64, 65).
// Numbers 62 to 66 are taken by buffered handles only.
NI_RC NiSetHdlParam(NI_HDL hdl, uint8_t param, void* pValue);

// --- Buffers and buffered handles ---------------------------------------------------
//
// An NIBUF is one allocation: this header, then the data area. A buffered
// handle (NiBufHandle, or parameter 61 set to NI_BUFSTAT_ON) never blocks
// its caller on a slow peer: what cannot be written at once waits in the
// handle's out-queue and goes out whenever the handle is used or its socket
// turns writable in a select set; received messages are handed out whole.
// An error found outside a call of the user (in a select set) is stored and
// reported once by the handle's next call. NiRead and NiWrite work on
// buffered handles too.
//
// The bytes held in data areas are counted process-wide; parameter 30 sets
// an advisory limit (an allocation beyond it succeeds and traces a line; a
// send then warns with NIEQUE_FULL).

#define NIBUF_MAXALLOC 0x800000  // data bytes of one buffer

// Kinds of buffers.
enum : int32_t {
  NIBUF_HEAP = 0,   // allocated here, reference counted
  NIBUF_REF = 1,    // a reference to another buffer (refBuf)
  NIBUF_EXTERN = 2, // released by its owner's function (externFree)
};

// A kind-0 buffer's release hook: called at its last release instead of
// freeing, with the buffer reset (no data, one reference) in *ppBuffer,
// which the hook may keep.
typedef void (*NIBUF_FREE_FUNC)(NIBUF** ppBuffer);
// Releases a kind-2 buffer.
typedef void (*NIBUF_EXTERN_FUNC)(NIBUF** ppBuffer, NIBUF* pBuffer);

struct NIBUF {
  WEQ_RAW* data;     // start of the valid data; moves on as a reader consumes
  int32_t len;       // valid bytes from data
  WEQ_RAW* buffer;   // start of the data area
  int32_t buflen;    // capacity of the data area
  int32_t type;      // NIBUF_HEAP, NIBUF_REF or NIBUF_EXTERN
  uint16_t refCount; // starts at 1
  union {
    NIBUF_FREE_FUNC freeFunc;      // NIBUF_HEAP: NULL or the release hook
    NIBUF* refBuf;                 // NIBUF_REF: the buffer referred to
    NIBUF_EXTERN_FUNC externFree;  // NIBUF_EXTERN
  };
  void* uptr;    // 0 at allocation; the owner's
  NIBUF* prev;   // older neighbour on an out-queue
  NIBUF* next;   // newer neighbour on an out-queue
};

// A buffer for length bytes (0 to NIBUF_MAXALLOC; above: NIETOO_BIG) with
// an optional release hook; text names it in trace lines.
NI_RC NiBufAlloc2(NIBUF** ppBuffer, int32_t length, const WEQ_UC* text, NIBUF_FREE_FUNC freeFunc);
// Releases a buffer without calling its hook: freed at its last reference.
// *ppBuffer becomes NULL. NULL pointers are refused (NIEINVAL recorded).
void NiBufFree2(NIBUF** ppBuffer);

// Sends one message and takes the buffer over (*ppBuffer becomes NULL):
// it is written, queued or freed. NIEQUE_FULL: queued, the queue is nearly
// full. Only a refused argument, a stored error and a full queue
// (NIETIMEOUT) leave the buffer with the caller.
NI_RC NiBufSend(NI_HDL hdl, NIBUF** ppBuffer, int32_t timeout);
// Hands over the next whole message; the caller releases it with
// NiBufFree2. NIETIMEOUT: none in time; NIEPING: only a keep-alive came.
NI_RC NiBufReceive(NI_HDL hdl, NIBUF** ppBuffer, int32_t timeout);

// --- Select sets ------------------------------------------------------------------
//
// A select set lets one thread wait for many handles and then take the
// ready ones one by one: NiSelNewSet2, NiSelSet, then loops of NiSelSelect
// and NiSelNext until it returns -1. A set belongs to the thread that waits
// on it and takes no lock; other threads reach that thread through a wakeup
// server. A handle in a set is closed only by that thread. A set is
// destroyed with delete.
//
// Modes: NI_READ, NI_WRITE and NI_CONNECT: a connection waits on a listen
// handle (the only mode a listen handle takes), or a buffered handle's
// connection event. Plain handles take NI_READ and NI_WRITE. A buffered
// handle whose message waits complete is ready without any socket event.

#define NI_CONNECT 4

struct SI_SOCKET;

class NISEL {
 public:
  virtual NI_RC NiSelIInit(int32_t maxSockets) = 0;
  virtual NI_RC NiSelISet(NI_HDL hdl, uint8_t mode, void* pData, uint8_t replace) = 0;
  virtual NI_RC NiSelIClear(NI_HDL hdl, uint8_t mode) = 0;
  virtual NI_RC NiSelIRemove(NI_HDL hdl, uint8_t mayCompact) = 0;
  virtual NI_RC NiSelIRemoveAll() = 0;
  virtual NI_RC NiSelISelect(int32_t timeout, uint32_t* pCount) = 0;
  virtual NI_RC NiSelIStartLoop() = 0;
  virtual NI_RC NiSelINext(uint8_t* pRead, uint8_t* pWrite, uint8_t* pConnect, NI_HDL* pHdl, void** ppData) = 0;
  virtual NI_RC NiSelINext2(uint8_t* pRead, uint8_t* pExcept, uint8_t* pWrite, uint8_t* pConnect,
                            SI_SOCKET** ppSock, NI_HDL* pHdl, void** ppData) = 0;
  virtual NI_RC NiSelIGetMode(NI_HDL hdl, uint8_t* pMode) = 0;
  virtual NI_RC NiSelIGetStat(NI_HDL hdl, uint8_t* pStat) = 0;
  virtual uint32_t NiSelIGetMaxEntries() = 0;
  virtual bool NiSelIIsMember(NI_HDL hdl) = 0;
  virtual NI_RC NiSelIGetData(NI_HDL hdl, void** ppData) = 0;
  virtual NI_RC NiSelISetData(NI_HDL hdl, void* pData) = 0;
  virtual NI_RC NiSelIDump(CTRC_HDL hdl) = 0;
  virtual uint32_t NiSelIGetErrCount() = 0;
  virtual ~NISEL() = default;
};

// A new set for maxSockets sockets (0: 2; above 32768: NIEINVAL). *ppSet
// stays NULL on failure.
NI_RC NiSelNewSet2(NISEL** ppSet, int32_t maxSockets);
// Adds modes to those the handle waits for; a member keeps the user data
// of its first registration.
NI_RC NiSelSet(NISEL* pSet, NI_HDL hdl, uint8_t mode, void* pData);
// Clears modes (255: all); a handle left with none leaves the set. 0 also
// for a handle that is not a member.
NI_RC NiSelClear(NISEL* pSet, NI_HDL hdl, uint8_t mode);
// Waits up to timeout ms (negative: without limit): 0 when handles are
// ready, NIETIMEOUT when none became ready.
NI_RC NiSelSelect(NISEL* pSet, int32_t timeout);
// The next ready handle with its modes and user data (each output may be
// NULL); -1 when none is left or on an error, NIEINVAL for a NULL set. Each
// ready handle comes once per select.
NI_HDL NiSelNext(NISEL* pSet, uint8_t* pRead, uint8_t* pWrite, uint8_t* pConnect, void** ppData);

// --- Wakeup servers and datagram handles -------------------------------------------
//
// A wakeup server is a datagram handle bound to the loopback address that
// its owner puts into its select set; other threads attach clients to it
// and send short datagrams that make the handle readable. Only datagrams
// from the loopback address and the port of an attached client are
// delivered. A server closed while clients remain lives until the last
// client detaches; those clients' sends return NIECONN_BROKEN.

typedef struct NI_WAKEUP_SERVER NI_WAKEUP_SERVER;
typedef struct NI_WAKEUP_CLIENT NI_WAKEUP_CLIENT;

// Creates and binds a server (*ppServer must be NULL; it stays NULL on
// failure).
NI_RC NiWakeupOpen(NI_WAKEUP_SERVER** ppServer);
// Attaches a client to an open server (*ppClient must be NULL); a closed
// server gives NIECONN_BROKEN.
NI_RC NiWakeupAttach(NI_WAKEUP_SERVER* pServer, NI_WAKEUP_CLIENT** ppClient);
// The server's handle for a select set; -1 for NULL.
NI_HDL NiWakeupGetNiHdl(NI_WAKEUP_SERVER* pServer);
// Sends one wakeup datagram of length bytes.
NI_RC NiWakeupExec2(NI_WAKEUP_CLIENT* pClient, const void* pData, uint32_t length);
// Receives one pending datagram without waiting (NIETIMEOUT: none);
// *pReceived (when given) receives its length.
NI_RC NiWakeupCollect2(NI_WAKEUP_SERVER* pServer, void* pBuffer, uint32_t bufferLen, uint32_t* pReceived);
// Closes and frees a client; *ppClient becomes NULL.
NI_RC NiWakeupDetach(NI_WAKEUP_CLIENT** ppClient);
// Closes a server's handle; *ppServer becomes NULL.
NI_RC NiWakeupClose(NI_WAKEUP_SERVER** ppServer);

// A new unbound datagram handle of the IP usage's family.
NI_RC NiDgHdlCreate(NI_HDL* pHandle);
// One datagram to address and port (host order); *pSent (when given)
// receives the bytes sent.
NI_RC NiDgHdlSendTo(NI_HDL hdl, const NI_NODEADDR* pNodeAddr, uint16_t servNo, const void* pData,
                    uint32_t length, uint32_t* pSent);
// Closes a datagram handle (any other handle: NIEINVAL, left open).
NI_RC NiDgHdlClose(NI_HDL hdl);

#endif
