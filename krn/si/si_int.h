// Internals of the socket layer shared by its sources and its tests: the
// error mapping, the connect sets, the hand-off record's decoder, and the
// test seam that makes rare failures happen on demand. Not for other
// modules.
#ifndef KRN_SI_SI_INT_H
#define KRN_SI_SI_INT_H

#include <stdint.h>
#include <sys/types.h>

#include "krn/si/si.h"

// --- Error mapping ---------------------------------------------------------------

// The operation classes of the error table: each operation maps an errno
// through one column.
enum SiOpClass : uint8_t {
  SI_OPC_SOCKET,
  SI_OPC_BIND,
  SI_OPC_CONNECT,
  SI_OPC_ACCEPT,
  SI_OPC_SEND,      // SiSend, SiSendV, the send of SiSendSocket
  SI_OPC_SENDTO,
  SI_OPC_RECV,      // SiRecv, the receive of SiRecvSocket
  SI_OPC_RECVFROM,
  SI_OPC_PLAIN,     // SiListen, SiGetSockName, SiSetBlockMode, SiClose
  SI_OPC_PEERNAME,
  SI_OPC_GETOPT,
  SI_OPC_SETOPT,
  SI_OPC_SELECT,    // SiSelect, SiSelectInt, SiPeek, SiPeekPendConn
  SI_OPC_POLL,
  SI_OPC_COUNT,
};

// The SI code of errno err for an operation class; SI_ESYSCALL for every
// errno the class does not name.
SI_RC SiIMapErrno(SiOpClass op, int err);

// --- Connect sets ------------------------------------------------------------------

// Whether the socket is in the set of pending connects / broken connects
// (under the SI lock); the error a broken one was seen to fail with (0 when
// it is not broken or its error was not read).
bool SiIIsPending(int32_t socketNo);
bool SiIIsBroken(int32_t socketNo, int32_t* pErr);

// Sizes of both sets.
uint32_t SiIPendingCount(void);
uint32_t SiIBrokenCount(void);

// --- Hand-off record ------------------------------------------------------------

// What a hand-off record says. Our own layout, little-endian:
//   0  magic "TOVSOCK1" (8 bytes)      8  sender process id (u32)
//  12  descriptor in the sender (i32) 16  family, SI number (i32)
//  20  type, SI number (i32)          24  protocol (i32)
//  28  reserved, zero (88 bytes)     116  protocol name: 256 bytes in the
//  short form, 512 in the full form, zero-filled.
struct SiHandoff {
  uint32_t pid;
  int32_t fd;
  int32_t family;
  int32_t type;
  int32_t protocol;
};

enum SiHandoffVerdict : uint8_t {
  SI_HANDOFF_OK,
  SI_HANDOFF_BAD_LENGTH,  // neither 372 nor 628 bytes
  SI_HANDOFF_BAD_MAGIC,
  SI_HANDOFF_SELF,        // names the receiving process (or no process)
  SI_HANDOFF_BAD_FD,      // negative descriptor
  SI_HANDOFF_BAD_KIND,    // family not 2 or 23, or type not 1..3
};

// Fills a full-length record; returns its length (628).
uint32_t SiIEncodeHandoff(const SiHandoff& h, WEQ_RAW (&record)[SI_HANDOFF_LEN]);

// Checks len bytes as a record received by process self and fills *out
// on SI_HANDOFF_OK. Takes no descriptor.
SiHandoffVerdict SiIDecodeHandoff(const void* data, size_t len, pid_t self, SiHandoff* out);

// --- Test seam ---------------------------------------------------------------------

// Arms function id fn: its next n calls fail with code rc and sysErr err
// (for the waits: *pErrno) before any system call. n 0 disarms it.
void SiITestFail(uint16_t fn, uint32_t n, SI_RC rc, int32_t err);

// Disarms every function id and sets every call counter to 0.
void SiITestReset(void);

// Calls of function id fn since the last reset (every call, failed or not).
uint64_t SiITestCalls(uint16_t fn);

// At the start of every operation: counts the call and, when armed, gives
// the armed code and error (true) instead of running it.
bool SiITestHit(uint16_t fn, SI_RC* rc, int32_t* err);

// Sets the poll availability flag as SiInit's first start would have set
// it (tests of the implementations' choice).
void SiITestSetPoll(bool available);

// Makes the next SiInit the process's first start again (in a child that
// a test forked).
void SiITestForgetStart(void);

// --- Shared by the layer's sources -------------------------------------------------

#include <sys/socket.h>

#include <atomic>

namespace si {

// The two process-wide sets, each a sorted array of capacity SI_FD_SETSIZE;
// a broken socket keeps the error its connect failed with (0: not read).
// Guarded by the SI lock; pendingSeen mirrors pendingCount for the
// unlocked look of SiSelect.
struct ConnSets {
  int64_t pending[SI_FD_SETSIZE];
  uint32_t pendingCount = 0;
  std::atomic<uint32_t> pendingSeen{0};
  int64_t broken[SI_FD_SETSIZE];
  int32_t brokenErr[SI_FD_SETSIZE];
  uint32_t brokenCount = 0;

  void AddPending(int32_t s);
  bool RemovePending(int32_t s);
  bool IsPending(int32_t s) const;
  void AddBroken(int32_t s, int32_t err);
  bool RemoveBroken(int32_t s);
  bool IsBroken(int32_t s, int32_t* err) const;
};

extern ConnSets gSets;

// The SI lock.
void Lock();
void Unlock();

// Sorted arrays of socket numbers: insert (true when present afterwards;
// false when full), erase (true when it was present), find.
bool SortedInsert(int64_t* array, uint32_t* count, uint32_t capacity, int32_t socketNo, uint32_t* pos);
bool SortedErase(int64_t* array, uint32_t* count, int32_t socketNo, uint32_t* pos);
int64_t* Find(int64_t* first, int64_t* last, int32_t socketNo);

// sysErr = err, and the class's code for it.
SI_RC Fail(SI_SOCKET* pSock, SiOpClass op, int err);
// sysErr 2050, SI_EINTERN.
SI_RC Intern(SI_SOCKET* pSock);

}  // namespace si

#endif
