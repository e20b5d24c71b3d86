// Internals of NI message I/O: the framed and raw reads and writes of a
// handle record, the keep-alive send and the waits on sockets.
#ifndef KRN_NI_NIMSG_INT_H
#define KRN_NI_NIMSG_INT_H

#include <stdint.h>

#include "krn/ni/ni.h"
#include "krn/ni/nixx_int.h"
#include "krn/si/si.h"

// Framing (the talk modes NI_MESG_IO, NI_RAW_IO and NI_ROUT_IO are in ni.h).
#define NI_HDR_LEN 4
#define NI_KEEPALIVE_LEN 8

// Keep-alive frames are whole messages of exactly NI_KEEPALIVE_LEN bytes:
// "NI_PING" or "NI_PONG" and the NUL. Every other message, whatever its
// bytes, is NI_KA_NONE; the control-message processing decides with this.
enum : uint8_t { NI_KA_NONE = 0, NI_KA_PING = 1, NI_KA_PONG = 2 };
uint8_t NiIKeepAliveKind(const void* pMsg, uint32_t len);

// States of an incoming message of NI_KEEPALIVE_LEN bytes (message mode),
// which the read gathers in the handle (mHoldIn) so that no piece of a
// keep-alive frame reaches a caller whatever cuts the stream has.
enum : uint8_t {
  NI_HOLD_NONE = 0,    // no such message under way
  NI_HOLD_GATHER = 1,  // mHoldLen of its bytes received
  NI_HOLD_WHOLE = 2,   // received whole but not checked: it did not fit the caller's buffer
  NI_HOLD_USER = 3,    // checked, user data; mHoldLen bytes of it handed out
};
// Whether the handle holds message bytes that a caller can read without
// the socket: a wait for input must count the handle as ready.
bool NiIHeldInput(const NITAB* pHdl);

NI_RC NiIWrite(NITAB* pHdl, const void* pData, uint32_t dataLen, int timeout, uint8_t talkMode,
               uint32_t* pWritten);
NI_RC NiIRead(NITAB* pHdl, void* pBuffer, uint32_t bufferLen, int timeout, uint8_t talkMode, uint32_t* pRead);
// Sends one whole framed message from the reading side of an unbuffered
// handle (a control message's answer, what names it in the trace):
// NIETIMEOUT, with nothing sent, while another write is under way, a
// message waits half-written (both judged with the writing side claimed)
// or the control bytes the peer has not taken leave no room for it;
// otherwise it joins the control bytes, which go out as far as the socket
// takes them without waiting, and the rest before the next message, so
// that no message of the user ever follows part of it.
NI_RC NiIWriteCtl(NITAB* pHdl, const void* pData, uint32_t dataLen, const WEQ_UC* what);
// Frees the control bytes of a record that closes.
void NiICtlFree(NITAB* pHdl);
// Sends "NI_PING" (flag 1) or "NI_PONG" from byte *pCount on.
NI_RC NiICheck(NITAB* pHdl, int timeout, int8_t flag, uint32_t* pCount);
// Waits until the handle's socket can be read (NI_READ) or written.
NI_RC NiIPeek(NITAB* pHdl, uint8_t mode, int timeout);
// Waits on socket masks (either may be NULL) and on a poll array.
NI_RC NiISelect(SI_FD_SET* pRead, SI_FD_SET* pWrite, int timeout, uint32_t* pCount);
NI_RC NiIPoll(SI_POLL_FD* pFds, uint32_t count, int timeout, uint32_t* pCount);
// Pending data bytes to read (NI_READ) or write.
int NiIPendLen(NITAB* pHdl, uint8_t mode, int8_t ignoreBuffer);

// Answers a received "NI_PING" with "NI_PONG" without waiting: at once
// when no write is in progress and none is pending, after the message
// of a writer busy on another thread otherwise; a PING that arrives while
// a message waits half-written is not answered (NIEOPCODE then too).
// Result NIEOPCODE, or the failure of the send.
NI_RC NiIAnswerPing(NITAB* pHdl);

// The overrun warning of a wait that started at startMs (monotonic).
void NiIWaitOverrun(int64_t startMs, int timeout);
int64_t NiIMonoMs(void);

// Restarts the queue test's block count (when the test is switched on).
void NiIQTestRestart(void);
// The counts of sends and receives that would block after a wait had
// reported the socket ready (tests).
uint32_t NiISendBlockedCount(void);
uint32_t NiIRecvBlockedCount(void);
// Replaces the random source of the test parameters (0..32767; NULL: the
// built-in one), for tests.
void NiISetRandom(int (*fn)(void));

#endif
