// Internals of the buffered layer: buffers, the extension of a buffered
// handle with its out-queue and stored error, and the select state that
// the select sets read. For the NI sources and their tests.
//
// Out-queue. The entries are NIBUFs linked oldest to newest through prev
// and next. pendWrite, when set, is the oldest entry: the message being
// written. The entries from pendWrite up to, not including, nextUser are
// the ready-queue (bytes that must go out first: the rest of a message
// begun, keep-alive answers); nextUser and the newer entries are the user
// queue of userQueueLen messages not yet begun. newest is the newest entry.
//
// A buffered handle is used by one thread at a time: the extension has no
// lock. Only the heap counter ("NI heap section") and reference counts
// ("NI ref section") are shared; the two are never held together.
#ifndef KRN_NI_NIBUF_INT_H
#define KRN_NI_NIBUF_INT_H

#include <stdint.h>

#include "krn/ni/ni.h"
#include "krn/ni/nixx_int.h"

class NISEL_IMPL;

// --- Buffers ----------------------------------------------------------------------------

NI_RC NiBufIAlloc(NIBUF** ppBuffer, int32_t length, const WEQ_UC* text, CTRC_HDL trc);
// Drops one reference; *ppBuffer becomes NULL. A kind-0 buffer with a hook
// reaches the hook at its last reference instead of being freed.
void NiBufFree(NIBUF** ppBuffer);
// The buffered layer's share of the process-wide parameters (30).
NI_RC NiBufISetParam(const NI_PARAM_DATA* pParamData, bool* pHandled);
// Start and end of the buffered layer, with NI's.
NI_RC NiBufIInit(void);
void NiBufIExit(void);
// Bytes held in data areas now, and the limit of parameter 30 (0: none).
uint64_t NiBufIHeapUsed(void);
uint32_t NiBufIMaxHeap(void);

// The marker that stands as ready buffer for a keep-alive answer or an
// accepted passed handle: never a buffer, never freed or handed out.
NIBUF* NiBufIPongMarker(void);

// --- Buffered handles -------------------------------------------------------------------

enum : uint8_t {
  NIBUF_STAT_OFF = 0,
  NIBUF_STAT_CONN_WAIT = 1,
  NIBUF_STAT_OK = 2,
  NIBUF_STAT_ERR = 3,
  NIBUF_STAT_ACCEPTING = 4,
  NIBUF_STAT_SENDING = 5,
};

struct NIBUF_EXT {
  uint8_t status;    // NIBUF_STAT_*
  uint8_t talkMode;  // NI_MESG_IO, NI_RAW_IO, NI_ROUT_IO
  uint8_t hsCount;   // > 0: a control exchange owns the connection
  NI_ALLOC_FUNC allocFunc;
  uint32_t maxMsgLen;
  uint8_t progress;  // queued bytes were written since parameter 62 cleared it
  NIBUF* newest;     // out-queue (see above)
  NIBUF* nextUser;
  NIBUF* pendWrite;
  uint32_t userQueueLen;
  uint32_t maxQueue;
  uint32_t warnQueue;
  NIBUF* readBuf;   // the message being read
  NIBUF* readyBuf;  // a whole message, the saved error information, or the pong marker
  NI_RC storedRc;   // in ERR: the code reported with the saved error information
  uint8_t localPeer;
  WEQ_RAW* passData;  // six bytes while a passed handle is received
  NITAB* accepted;    // a passed handle until the user takes it
  // Select state: the set the handle belongs to, what its user waits for
  // (NI_READ, NI_WRITE, NI_CONNECT), the socket mode registered (NI_READ,
  // NI_WRITE), the readiness reported through the set's ready list, and
  // whether the set last found the socket writable.
  NISEL_IMPL* set;
  uint8_t wantMode;
  uint8_t sockMode;
  uint8_t bufStat;
  uint8_t sockWritable;
};

// Status names ("OK"; "???" for an unknown value).
const WEQ_UC* NiBufIStatusName(uint8_t status);

NI_RC NiBufIHdlInit(NITAB* pHdl);
NI_RC NiBufIGetBufHdl(NITAB* pHdl, NIBUF_EXT** ppExt);
void NiBufISetStatus(NITAB* pHdl, NIBUF_EXT* pExt, uint8_t status);
NI_RC NiBufISetHS(NITAB* pHdl, NIBUF_EXT* pExt, bool up);
NI_RC NiBufIFinishHandshake(NITAB* pHdl, NIBUF_EXT* pExt, int32_t timeout);
void NiBufIDumpOutQueue(NITAB* pHdl, NIBUF_EXT* pExt, int level);
// A keep-alive message through the private write; queued counts as sent.
NI_RC NiBufIWriteUserMsg(NITAB* pHdl, NIBUF_EXT* pExt, const void* pData, uint32_t length, int32_t timeout);
// Whether limit entries or more wait in the ready-queue behind the message
// being written: answers the peer has not taken.
bool NiBufIAnswersWaiting(const NIBUF_EXT* pExt, uint32_t limit);
// In status ERR: the stored error, reported once with its error
// information restored; 0 otherwise.
NI_RC NiBufICheckError(NITAB* pHdl, NIBUF_EXT* pExt);
// Stores rc as the handle's error with the thread's error information
// (reported once by the next call) and returns rc; an older error wins.
NI_RC NiBufISetError(NITAB* pHdl, NIBUF_EXT* pExt, NI_RC rc);
// The input step: reads at most one message without a ready one waiting.
// *pPingAnswered (when given) is set when a keep-alive request was answered.
NI_RC NiBufIIn(NITAB* pHdl, NIBUF_EXT* pExt, int32_t timeout, bool* pPingAnswered = nullptr);
NI_RC NiBufIEmptyOutQueue(NITAB* pHdl, NIBUF_EXT* pExt, int32_t timeout);
// Closes the extension; handleCloses tells that the handle itself is being
// closed (its socket then leaves a select set) rather than made plain.
void NiBufICloseExt(NITAB* pHdl, NIBUF_EXT* pExt, bool handleCloses);
// The operation table of buffered handles.
const NI_BUF_OPS* NiBufIOps(void);

// --- Buffered handles in select sets -----------------------------------------------------

// Recomputes the socket mode and the buffered readiness and brings the set
// (when the handle belongs to one) in step: force registers the socket
// even when its mode did not change. pData goes with a new registration.
NI_RC NiBufISelUpdate(NITAB* pHdl, NIBUF_EXT* pExt, void* pData, bool force);
NI_RC NiBufISelSet(NITAB* pHdl, NIBUF_EXT* pExt, NISEL_IMPL* pSet, uint8_t mode, void* pData, uint8_t replace);
NI_RC NiBufISelClear(NITAB* pHdl, NIBUF_EXT* pExt, NISEL_IMPL* pSet, uint8_t mode);
NI_RC NiBufISelRemove(NITAB* pHdl, NIBUF_EXT* pExt, NISEL_IMPL* pSet);
NI_RC NiBufISelGetMode(NITAB* pHdl, NIBUF_EXT* pExt, NISEL_IMPL* pSet, uint8_t* pMode);
NI_RC NiBufISelGetStat(NITAB* pHdl, NIBUF_EXT* pExt, NISEL_IMPL* pSet, uint8_t* pStat);
bool NiBufISelIsMember(NITAB* pHdl, NIBUF_EXT* pExt, NISEL_IMPL* pSet);
// Socket events the set found: a hang-up or an error counts as a read event.
NI_RC NiBufISelProcess(NITAB* pHdl, NIBUF_EXT* pExt, NISEL_IMPL* pSet, void* pData, bool readEvent,
                       bool writeEvent);
// The extension's part of its close: out of the ready list, and the socket
// out of the set (handleCloses) or registered with its user's plain modes.
void NiBufISelLeave(NITAB* pHdl, NIBUF_EXT* pExt, bool handleCloses);

#endif
