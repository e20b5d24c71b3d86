// Socket layer (SI): the network interface's only contact with the socket
// calls of the operating system. Every operation turns one socket call into
// a small SI_RC code and keeps the system's error number in the socket
// record for the NI failure reporter; addresses travel as raw network-order
// bytes (4 for SI_AF_INET, 16 for SI_AF_INET6) with a network-order port.
//
// Numbers at this interface are the layer's own, the same on every
// platform: families 2 and 23, socket types 1..3, option levels 0, 6, 41
// and 65535 with their option numbers, and the poll bits below. They are
// mapped to the system's values inside the layer only.
//
// sysErr holds the system's errno of the last failing call on the record,
// or one of the private numbers 2048..2051 where the system reports nothing
// usable. SI never retries a failed call (only SiPeek and SiPeekPendConn
// repeat an interrupted wait) and never closes the caller's socket.
//
// Descriptors are created close-on-exec; sends never raise SIGPIPE. Waiting
// runs over poll(2), so descriptors above 1024 are fine everywhere.
//
// Select masks are sorted arrays of socket numbers with a capacity stated
// by whoever allocates them (never the system's fd_set): membership is a
// binary search, insertion a block move.
//
// Process-wide state: two sets of sockets (connects in progress, connects
// seen to fail) guarded by the SI lock, a leaf lock that is never held
// across a blocking call; the initialised flag and the poll availability.
// SiInit and SiExit are called by the network interface's start and end,
// not concurrently with socket operations. Any thread may call any other
// operation; operations on one socket are serialised by its owner.
#ifndef KRN_SI_SI_H
#define KRN_SI_SI_H

#include <stddef.h>
#include <stdint.h>

#include "weq_types.h"

// --- Codes -------------------------------------------------------------------

typedef int32_t SI_RC;

enum : SI_RC {
  SI_OK = 0,
  SI_EINVAL = 1,        // invalid argument or state
  SI_EINVAL_SOCK = 2,   // not a valid socket
  SI_EINVAL_FAMI = 3,   // family of the record neither 2 nor 23
  SI_EINVAL_OPT = 4,    // option level or option not supported
  SI_EINTR = 5,         // interrupted by a signal
  SI_ESYSCALL = 6,      // any other failure of a system call
  SI_EADDR_NAVAIL = 7,  // address not available, network unreachable
  SI_EPORT_INUSE = 8,   // address or port in use
  // 9 is no code
  SI_ECONN_REFUSE = 10,  // connection refused
  SI_ECONN_INPROG = 11,  // non-blocking connect in progress
  SI_ECONN_BROKEN = 12,  // connection reset, aborted or shut down
  SI_ETIMEOUT = 13,      // nothing ready in time, or the call would block
  SI_EINTERN = 14,       // inconsistent answer of the system
  SI_ENOTIMPL = 15,      // not available on this platform
  SI_EMEMORY = 16,       // no buffer space, or message too large
  SI_EMFILE = 17,        // too many open descriptors
};

// Private system error numbers (sysErr).
enum : int32_t {
  SI_ERR_FAMILY = 2048,    // "protocol family not supported"
  SI_ERR_OPTION = 2049,    // "protocol level or option not supported"
  SI_ERR_INTERNAL = 2050,  // inconsistent system answer, short buffer, no memory
  SI_ERR_NOIMPL = 2051,    // "platform does not support a implementation"
};

// sysErr of a failed connect whose error could not be read.
#define SI_ERR_UNSPECIFIED ((int32_t)0x80004005)

// --- Socket record -------------------------------------------------------------

enum : int32_t {
  SI_AF_UNIX = 1,  // named in traces; no operation accepts it
  SI_AF_INET = 2,
  SI_AF_INET6 = 23,
};

enum : int32_t {
  SI_SOCK_STREAM = 1,
  SI_SOCK_DGRAM = 2,
  SI_SOCK_RAW = 3,
};

#define SI_INVALID_SOCK (-1)

typedef struct SI_SOCKET {
  int32_t socketNo;  // the descriptor; SI_INVALID_SOCK when none
  int32_t family;    // SI_AF_*
  int32_t type;      // SI_SOCK_*
  int32_t sysErr;    // errno of the last failing call, or 2048..2051
} SI_SOCKET;

// --- Function ids ----------------------------------------------------------------
// The failure reporter names the failed operation by these ids. Only the
// operations declared below exist; the other ids are names callers may
// report.

enum : uint16_t {
  SI_FN_NONE = 0,
  SI_FN_INIT = 1,
  SI_FN_EXIT = 2,
  SI_FN_SOCKET = 3,
  SI_FN_SOCKET_IPV4 = 4,
  SI_FN_SOCKET_IPV6 = 5,
  SI_FN_SOCKET_UDS = 6,
  SI_FN_CLOSE = 7,
  SI_FN_BIND = 8,
  SI_FN_BIND2 = 9,
  SI_FN_LISTEN = 10,
  SI_FN_ACCEPT = 11,
  SI_FN_ACCEPT2 = 12,
  SI_FN_CONNECT = 13,
  SI_FN_CONNECT2 = 14,
  SI_FN_SEND = 15,
  SI_FN_SENDV = 16,
  SI_FN_SENDTO = 17,
  SI_FN_SENDTO2 = 18,
  SI_FN_SENDMSG = 19,
  SI_FN_SENDMSG2 = 20,
  SI_FN_RECV = 21,
  SI_FN_RECVV = 22,
  SI_FN_RECVFROM = 23,
  SI_FN_RECVFROM2 = 24,
  SI_FN_RECVMSG = 25,
  SI_FN_RECVMSG2 = 26,
  SI_FN_GETPENDDATALEN = 27,
  SI_FN_SHUTDOWN = 28,
  SI_FN_GETSOCKNAME = 29,
  SI_FN_GETSOCKNAME2 = 30,
  SI_FN_GETPEERNAME = 31,
  SI_FN_GETPEERNAME2 = 32,
  SI_FN_GETSOCKOPT = 33,
  SI_FN_GETSOCKOPT2 = 34,
  SI_FN_SETSOCKOPT = 35,
  SI_FN_SETSOCKOPT2 = 36,
  SI_FN_GETBLOCKMODE = 37,
  SI_FN_SETBLOCKMODE = 38,
  SI_FN_GETCLOSEEXEC = 39,
  SI_FN_SETCLOSEEXEC = 40,
  SI_FN_SELECT = 41,
  SI_FN_POLL = 42,
  SI_FN_PEEK = 43,
  SI_FN_PEEKPENDCONN = 44,
  SI_FN_SENDSOCKET = 45,
  SI_FN_RECVSOCKET = 46,
  SI_FN_COUNT = 47,
};

// The system call text of a function id ("bind", "WSASocket, socket"...),
// NULL for an id outside the table.
const WEQ_UC* SiSysCallName(uint16_t id);

// The operation's name of a function id ("SiInit" ... "SiRecvSocket", "(none)"
// for 0), NULL outside the table.
const WEQ_UC* SiFuncName(uint16_t id);

// The text of a system error number into buffer (length units, terminator
// included): the private texts for 2048..2051, the error information's
// system text for any other. Nothing is written when buffer is NULL or
// length is 0. Returns buffer.
WEQ_UC* SiErrText(int32_t err, WEQ_UC* buffer, size_t length);

// --- Life of the layer -----------------------------------------------------------

// Starts the layer; SI_OK at once when it runs already. On the first start
// of the process it decides whether poll is available: not when the
// environment variable NOPOLL is set, for the life of the process. A
// failure stores the start's error in *pErr (when given): SI_ESYSCALL.
SI_RC SiInit(int32_t* pErr);

// Stops the layer when it runs; SI_OK.
SI_RC SiExit(int32_t* pErr);

// Non-zero when SiInit found poll available (the socket select sets read
// it to choose their implementation).
int SiPollAvailable(void);

// --- Sockets ---------------------------------------------------------------------

// Creates a socket; on success *pSock becomes (descriptor, family, type, 0).
// Family 1 and unknown families or types give SI_EINVAL.
SI_RC SiSocket(int32_t family, int32_t type, int32_t protocol, SI_SOCKET* pSock);

// Binds to pAddr (NULL: any address) and *pPort (NULL: port 0). addrLen
// must be 4 (family 2) or 16 (family 23), else sysErr 2050 and SI_EINTERN.
SI_RC SiBind(SI_SOCKET* pSock, const WEQ_RAW* pAddr, uint32_t addrLen, const uint16_t* pPort);

SI_RC SiListen(SI_SOCKET* pSock, int32_t backlog);

// Connects to pAddr/pPort (both required). A connect that would block
// gives SI_ECONN_INPROG and enters the set of pending connects, whose
// outcome SiPeekPendConn or SiSelect reports later.
SI_RC SiConnect(SI_SOCKET* pSock, const WEQ_RAW* pAddr, uint32_t addrLen, const uint16_t* pPort);

// Accepts one connection into *pNewSock (family and type of the listen
// socket, sysErr 0; non-blocking when the listen socket is). pAddr (room
// for addrLen bytes, at least 4 or 16 by family) and pPort receive the
// peer when given. A connection the peer dropped before the accept gives
// SI_ECONN_BROKEN; nothing to accept (also the system's transient network
// errors) SI_ETIMEOUT.
SI_RC SiAccept(SI_SOCKET* pListenSock, WEQ_RAW* pAddr, uint32_t addrLen, uint16_t* pPort,
               SI_SOCKET* pNewSock);

// One send; *pSent (when given) receives the bytes sent.
SI_RC SiSend(SI_SOCKET* pSock, const void* data, uint32_t length, int32_t flags, uint32_t* pSent);

// One vector element of SiSendV.
typedef struct SI_IOVEC {
  const void* data;
  uint32_t length;
} SI_IOVEC;

// One gathered send of count elements.
SI_RC SiSendV(SI_SOCKET* pSock, const SI_IOVEC* vector, uint32_t count, uint32_t* pSent);

SI_RC SiSendTo(SI_SOCKET* pSock, const void* data, uint32_t length, int32_t flags,
               const WEQ_RAW* pAddr, uint32_t addrLen, const uint16_t* pPort, uint32_t* pSent);

// One receive; a closed peer gives SI_OK with 0 bytes.
SI_RC SiRecv(SI_SOCKET* pSock, void* buffer, uint32_t length, int32_t flags, uint32_t* pReceived);

SI_RC SiRecvFrom(SI_SOCKET* pSock, void* buffer, uint32_t length, int32_t flags, WEQ_RAW* pAddr,
                 uint32_t addrLen, uint16_t* pPort, uint32_t* pReceived);

// Local and peer address: pAddr needs addrLen of at least 4 or 16 by family.
SI_RC SiGetSockName(SI_SOCKET* pSock, WEQ_RAW* pAddr, uint32_t addrLen, uint16_t* pPort);
SI_RC SiGetPeerName(SI_SOCKET* pSock, WEQ_RAW* pAddr, uint32_t addrLen, uint16_t* pPort);

// Option levels and options.
enum : int32_t {
  SI_IPPROTO_IP = 0,
  SI_IPPROTO_TCP = 6,
  SI_IPPROTO_IPV6 = 41,
  SI_SOL_SOCKET = 65535,
};

enum : int32_t {
  SI_TCP_NODELAY = 1,         // level 6
  SI_IP_MULTICAST_IF = 9,     // levels 0 and 41 (41: interface index)
  SI_IP_MULTICAST_TTL = 10,   // level 0; level 41: multicast hops
  SI_IP_MULTICAST_LOOP = 11,  // levels 0 and 41
  SI_IP_ADD_MEMBERSHIP = 12,  // levels 0 and 41 (41: join group)
  SI_IP_DROP_MEMBERSHIP = 13, // levels 0 and 41 (41: leave group)
  SI_IPV6_V6ONLY = 27,        // level 41
  SI_SO_REUSEADDR = 4,
  SI_SO_KEEPALIVE = 8,
  SI_SO_EXCLUSIVEADDRUSE = -5,
  SI_SO_LINGER = 128,
  SI_SO_SNDBUF = 4097,
  SI_SO_RCVBUF = 4098,
  SI_SO_SNDLOWAT = 4099,
  SI_SO_RCVLOWAT = 4100,
  SI_SO_ERROR = 4103,  // get only
};

// The value of an option. Booleans are one byte 0 or 1, 32-bit values four
// bytes; memberships take the group in the first value and the interface
// (IPv4 address, or IPv6 interface index) in the second. The linger option
// takes its one-byte on flag in the first value and a pointer to its
// 16-bit time in place of the first length.
typedef struct SI_OPTVAL {
  void* pValue1;
  union {
    uint32_t length1;
    uint16_t* pLingerTime;
  };
  void* pValue2;
  uint32_t length2;
} SI_OPTVAL;

// Any other level or option gives sysErr 2049 and SI_EINVAL_OPT. Setting
// needs exactly the lengths of the option; getting checks them only for the
// memberships and the IPv4 multicast interface.
SI_RC SiGetSockOpt(SI_SOCKET* pSock, int32_t level, int32_t option, SI_OPTVAL* pValue);
SI_RC SiSetSockOpt(SI_SOCKET* pSock, int32_t level, int32_t option, SI_OPTVAL* pValue);

// Non-blocking exactly when blocking is not 1.
SI_RC SiSetBlockMode(SI_SOCKET* pSock, int blocking);

// on non-zero: the descriptor is not inherited by programs the process
// starts; 0: it is.
SI_RC SiSetCloseExec(SI_SOCKET* pSock, int on);

// Leaves both connect sets, then closes the descriptor once (never again
// on EINTR: the number may already belong to another thread's socket).
SI_RC SiClose(SI_SOCKET* pSock);

uint16_t SiHtons(uint16_t value);
uint16_t SiNtohs(uint16_t value);

// --- Masks -----------------------------------------------------------------------

// A select mask: the count, the capacity stated at allocation, then the
// socket numbers in ascending order without duplicates.
typedef struct SI_FD_SET {
  uint32_t fd_count;
  uint32_t fd_capacity;
  int64_t fd_array[];
} SI_FD_SET;

#define SI_FD_SETSIZE 32768  // capacity of the process-wide sets and of NI's masks

// Bytes of a mask of the given capacity.
#define SI_FD_SET_BYTES(capacity) (sizeof(SI_FD_SET) + (size_t)(capacity) * sizeof(int64_t))

// Allocates an empty mask of the given capacity (1..SI_FD_SETSIZE):
// NULL when out of memory or out of range. SiFdFree releases it.
SI_FD_SET* SiFdAlloc(uint32_t capacity);
void SiFdFree(SI_FD_SET* mask);

// An empty mask of N entries in automatic or static storage.
template <uint32_t N>
struct SiFdMask {
  static_assert(N >= 1 && N <= SI_FD_SETSIZE, "capacity of a mask");
  alignas(SI_FD_SET) unsigned char bytes[SI_FD_SET_BYTES(N)];
  SiFdMask() {
    SI_FD_SET* m = get();
    m->fd_count = 0;
    m->fd_capacity = N;
  }
  SiFdMask(const SiFdMask&) = delete;
  SiFdMask& operator=(const SiFdMask&) = delete;
  SI_FD_SET* get() { return reinterpret_cast<SI_FD_SET*>(bytes); }
  operator SI_FD_SET*() { return get(); }
  SI_FD_SET* operator->() { return get(); }
};

// Count 0.
void SiFdZero(SI_FD_SET* mask);

// Inserts the record's socket in sorted position; present already: no
// change. When the mask holds capacity sockets (or its own capacity,
// whichever is smaller) nothing is inserted and the warning "select mask %p
// full (%d)" is traced.
void SiFdSet(const SI_SOCKET* pSock, SI_FD_SET* mask, uint32_t capacity);

// Removes the socket where present.
void SiFdClr(const SI_SOCKET* pSock, SI_FD_SET* mask);

// Non-zero when present.
int SiFdIsSet(const SI_SOCKET* pSock, const SI_FD_SET* mask);

// The order of masks: the difference of the two 32-bit socket numbers (a
// qsort comparison over mask entries).
int SiFdCompare(const void* a, const void* b);

// --- Waiting ------------------------------------------------------------------------

// Waits until a socket of the read mask can be read (data, end of stream,
// error, a connection to accept), one of the write mask written, or one of
// the except mask has urgent data or a failed connect. Negative timeoutMs
// waits without limit. Absent or empty masks: a plain sleep, *pCount 0.
// On success every given mask holds only its ready sockets, in ascending
// order, and *pCount the number of ready (socket, mask) pairs. A connect
// in progress that failed comes back in the read and the write mask and is
// remembered as broken for SiPeekPendConn. A closed descriptor gives
// SI_EINVAL_SOCK. maxFDp1 is accepted for its callers and not needed.
SI_RC SiSelect(int32_t maxFDp1, SI_FD_SET* pReadSet, SI_FD_SET* pWriteSet, SI_FD_SET* pExceptSet,
               int32_t timeoutMs, int32_t* pCount, int32_t* pErrno);

// The plain wait of SiSelect without the connect bookkeeping: masks may be
// in any order and keep it. *pErrno receives the error of a failure.
SI_RC SiSelectInt(int32_t maxFDp1, SI_FD_SET* pReadSet, SI_FD_SET* pWriteSet,
                  SI_FD_SET* pExceptSet, int32_t timeoutMs, int32_t* pCount, int32_t* pErrno);

// Poll bits of SI_POLL_FD.
enum : int16_t {
  SI_POLLERR = 0x0001,
  SI_POLLHUP = 0x0002,
  SI_POLLNVAL = 0x0004,
  SI_POLLWRNORM = 0x0010,
  SI_POLLOUT = SI_POLLWRNORM,
  SI_POLLWRBAND = 0x0020,
  SI_POLLRDNORM = 0x0100,
  SI_POLLRDBAND = 0x0200,
  SI_POLLIN = SI_POLLRDNORM | SI_POLLRDBAND,
  SI_POLLPRI = 0x0400,
};

typedef struct SI_POLL_FD {
  int64_t fd;  // negative: ignored, no events returned
  int16_t events;
  int16_t revents;
} SI_POLL_FD;

// Polls count descriptors; *pCount receives the number with returned
// events. Without poll (NOPOLL): sysErr 2051 in *pErrno and SI_ENOTIMPL.
// Count 0 sleeps for the time-out.
SI_RC SiPoll(SI_POLL_FD* fds, uint32_t count, int32_t timeoutMs, int32_t* pCount, int32_t* pErrno);

#define SI_PEEK_READ 1
#define SI_PEEK_WRITE 2

// Waits for one socket to become readable (mode bit 0) or writable (bit 1):
// SI_OK, SI_ETIMEOUT, SI_EINVAL_SOCK for a closed descriptor.
SI_RC SiPeek(SI_SOCKET* pSock, int mode, int32_t timeoutMs);

// The outcome of a connect in progress: SI_OK when established (or when
// the socket was never connecting), SI_ETIMEOUT while in progress,
// SI_ECONN_REFUSE or SI_EPORT_INUSE with the error in sysErr when it failed
// (again on every later call until the socket is closed).
SI_RC SiPeekPendConn(SI_SOCKET* pSock, int32_t timeoutMs);

// --- Passing sockets between processes ----------------------------------------

// Bytes of the hand-off record, and of its short form that is accepted too.
#define SI_HANDOFF_LEN 628
#define SI_HANDOFF_SHORT_LEN 372

// Sends a record naming pSockToPass to the process at the other end of
// pChannel in one send. The sender keeps its socket open until the
// receiver has taken it. pTargetProcessId is the receiver's process id
// (0: not known).
SI_RC SiSendSocket(SI_SOCKET* pChannel, SI_SOCKET* pSockToPass, const uint32_t* pTargetProcessId);

// Reads a record from pChannel fully and takes the socket it names from its
// sender's process into *pNewSock (close-on-exec, sysErr 0). Refused with
// sysErr 2050 and SI_EINTERN: a record of any length but 372 or 628, one
// that names this process, and a descriptor that is not a socket of the
// record's family and type. Taking a descriptor from another process needs
// the rights to trace it (same user, or privilege).
SI_RC SiRecvSocket(SI_SOCKET* pChannel, SI_SOCKET* pNewSock);

#endif
