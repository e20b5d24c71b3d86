// Internals of the NI library and its handle table, socket set-up and
// connections, shared by the NI sources and their tests.
//
// A handle number is slot * 8 + generation: slot is the record's index in
// the table, generation a 3-bit count per slot that advances on every reuse,
// so the eight most recent numbers of a slot differ. The check of a number
// reads the record's state and number without a lock (both are atomics);
// "NI hdl section" guards only the taking and returning of records. All
// other fields of a record belong to the one thread that uses the handle.
#ifndef KRN_NI_NIXX_INT_H
#define KRN_NI_NIXX_INT_H

#include <stdint.h>

#include <atomic>

#include "krn/dptrc/dptrc.h"
#include "krn/ni/ni.h"
#include "krn/ni/nihs_front.h"
#include "krn/si/si.h"
#include "krn/thr/thr.h"
#include "weq_types.h"

// --- Handle record ------------------------------------------------------------------

// Handle states; the high nibble 0 marks an initial state that no public
// function accepts, the low nibble the kind (1 listen, 2 reverse invoke,
// any other connection or datagram).
enum : uint8_t {
  NI_FREE = 0x00,
  NI_INITIAL_LIS = 0x01,
  NI_INITIAL_RIL = 0x02,
  NI_INITIAL_CON = 0x03,
  NI_LISTEN = 0x11,
  NI_RI_LISTEN = 0x22,
  NI_CONN_WAIT = 0x34,
  NI_CONNECTED = 0x35,
  NI_ACCEPTED = 0x36,
  NI_DG_CONNECTED = 0x47,
  NI_DG_UNCONNECTED = 0x48,
};

#define NI_MAX_HDLS 32768
#define NI_INVALID_SOCK SI_INVALID_SOCK

// Bits of a record's flag byte.
enum : uint8_t {
  NI_HDLFLAG_MARK = 0x01,          // set by the handle parameter 51
  NI_HDLFLAG_STATUS_ERROR = 0x02,  // a select set reported the handle's status error
  NI_HDLFLAG_BUF_ACCEPT = 0x04,    // a listen handle whose accepted handles are buffered
};

struct NITAB;
struct NIBUF_EXT;
// The buffered layer's operation table of a buffered handle: the only way
// the NI core reaches a handle's extension.
typedef struct NI_BUF_OPS {
  void (*close)(struct NITAB* pHdl, NIBUF_EXT* pExt);
  NI_RC (*read)(struct NITAB* pHdl, NIBUF_EXT* pExt, void* pBuffer, uint32_t bufferLen, int32_t timeout,
                uint32_t* pRead);
  NI_RC (*write)(struct NITAB* pHdl, NIBUF_EXT* pExt, const void* pData, uint32_t dataLen, int32_t timeout,
                 uint32_t* pWritten);
  NI_RC (*getParam)(struct NITAB* pHdl, NIBUF_EXT* pExt, NI_PARAM_DATA* pParamData, bool* pHandled);
  NI_RC (*setParam)(struct NITAB* pHdl, NIBUF_EXT* pExt, const NI_PARAM_DATA* pParamData, bool* pHandled);
  // mode NI_READ: *pLength (may be NULL) the ready message's length or the
  // bytes of a read begun; otherwise 0 after emptying the out-queue.
  NI_RC (*peek)(struct NITAB* pHdl, NIBUF_EXT* pExt, int32_t timeout, uint32_t* pLength, uint8_t mode);
} NI_BUF_OPS;

typedef struct NITAB {
  struct NITAB* mNext;  // used list, newest first
  struct NITAB* mPrev;
  std::atomic<int32_t> mHdl;  // kept after closing: the next generation follows it
  std::atomic<uint8_t> mType;
  uint8_t mBlockMode;  // 1 blocking, 0 non-blocking
  uint8_t mTrace;      // 1: the handle's lines appear at trace level 1
  uint8_t mFlags;      // NI_HDLFLAG_*
  CTRC_HDL* mTrcHdl;   // where this handle's lines go
  int64_t mCreateTime;
  union {
    struct {
      NI_NODEADDR mPeerAddr;
      uint16_t mPeerServNo;  // network order
      SI_SOCKET mSocket;
      uint8_t mSingleRead;
    } con;
    struct {
      SI_SOCKET mIPSocket;
      SI_SOCKET mUDSocket;  // never opened here: stays -1
    } lis;
    struct {  // reverse-invoke pseudo listen handle
      SI_SOCKET mSocket;
      NI_NODEADDR mLocalAddr;
      NI_NODEADDR mPeerAddr;
      uint16_t mServNo;  // network order
    } ri;
  };
  uint32_t mPendDataLenToRead;
  uint8_t mPendHdrLenToRead;
  WEQ_RAW mHdrToRead[4];
  // An incoming message of 8 bytes (the size of a keep-alive frame) is
  // gathered here, out of the caller's sight, until it is whole and
  // checked; mHoldState is one of NI_HOLD_* (nimsg_int.h), mHoldLen the
  // bytes gathered or, once it is known to be user data, handed out.
  WEQ_RAW mHoldIn[8];
  uint8_t mHoldState;
  uint8_t mHoldLen;
  // Set by each message the handle sends, cleared by the next read: a read
  // after a request waits for the answer before its first receive.
  std::atomic<uint8_t> mSentSinceRead;
  uint32_t mPendDataLenToWrite;
  uint8_t mPendHdrLenToWrite;
  WEQ_RAW mHdrToWrite[4];
  uint8_t mCheck;
  uint32_t mWaitCount;
  uint64_t mBytesOut;
  uint64_t mBytesIn;
  uint32_t mMsgOut;
  uint32_t mMsgIn;
  NIBUF_EXT* mBuf;  // the buffered layer's extension; NULL: unbuffered
  const NI_BUF_OPS* mBufOps;
  // The writing side: a user write and a keep-alive answer sent by the
  // reading thread claim mWriteBusy, so that their frames never interleave.
  // Answers owed while the writer was busy go out after its message;
  // mCtlOut holds framed control bytes not yet sent (the reading thread's
  // answers, which never wait for the peer), which go out before the next
  // message. It is made at its first use and freed with the record.
  std::atomic<uint8_t> mWriteBusy;
  std::atomic<uint32_t> mPongOwed;
  WEQ_RAW* mCtlOut;
  uint16_t mCtlLen;
  uint16_t mCtlOff;
  uint8_t mCtlPong;  // a PONG is among the control bytes
} NITAB;

// The handle number of a record for trace lines (-1 without a record), and
// the level of a line about it: 1 when its trace switch is on.
inline int32_t NiIHdlNo(const NITAB* pHdl) { return pHdl != nullptr ? pHdl->mHdl.load(std::memory_order_relaxed) : -1; }
inline int NiIHdlLevel(const NITAB* pHdl, int level) { return pHdl != nullptr && pHdl->mTrace ? 1 : level; }

// Per-thread NI data.
typedef struct NI_THR_GLOB {
  WEQ_UC mAddrText[NI_NODEADDR_STR_LEN];  // the text of NiAddrToStrStatic
  NI_NODEADDR mLocalAddr;                 // local address of outgoing connections
} NI_THR_GLOB;

// --- Library and handle table ------------------------------------------------------------

// The NI trace file.
CTRC_HDL NiITrcHdl(void);
// The trace file of a record (its own, else the NI one).
CTRC_HDL NiIHdlTrc(const NITAB* pHdl);

// The highest slot taken so far (0 before any) and the size of the table (0 while NI is
// not initialised).
int32_t NiIOwnHighHdl(void);
int32_t NiIMaxHandles(void);

// The init counter (negative after more releases than initialisations).
int32_t NiIInitCount(void);
// Free slots of the free list; -1 while there is none.
int32_t NiIFreeHandles(void);

// The state's name; "INVALID" for any other value.
const WEQ_UC* NiIHdlStateName(uint8_t state);

// The handle check: the record of a valid number, else NIEINVAL with error
// information and the line "<fn>: invalid hdl <n>" (level 2 for -1).
NI_RC NiIHdlCheck(NI_HDL hdl, const WEQ_UC* fn, NITAB** ppHdl);
// The same without error information or trace: NULL for an invalid number.
NITAB* NiIHdlLookup(NI_HDL hdl);

NI_RC NiICreateHandle(NITAB** ppHdl, uint8_t type, CTRC_HDL* trcHdl);
NI_RC NiICloseHandle(NITAB* pHdl, uint8_t removeUdsFile, int8_t lockHeld);
void NiISetState(NITAB* pHdl, uint8_t state, const WEQ_UC* fn);

NI_THR_GLOB* NiIGetThrGlob(void);
NI_RC NiIThrInit(void);
void NiIThrGlobFree(void* pThreadData);
// Per-thread records alive now (tests count them across ending threads).
extern std::atomic<long> NiIThrGlobAlive;

// Remembers a socket number opened for a handle (the width of select masks).
void NiINoteSocket(int32_t socketNo);
int32_t NiIHighSocket(void);

// The "NI param section" and "NI wakeup mutex" (valid while initialised).
ThrMtx* NiIParamMutex(void);
ThrMtx* NiIWakeupMutex(void);

// The initialisation and release of the library with the counter guarded
// by one lock; the implicit initialisations of NI functions use this.
NI_RC NiIEnsureInit(const WEQ_UC* fn);

// Tests: the template path of local-domain sockets copied at start-up.
const WEQ_UC* NiIUdsPathTemplate(void);

// --- Socket set-up ------------------------------------------------------------------------

// Reads up to which size the system grows TCP buffers by itself (at NI
// start); the set-up of a stream socket leaves such a buffer alone while
// the minimum buffer size is at its default.
void NiIReadTcpBufLimits(void);
NI_RC NiIInitSocket(NITAB* pHdl, SI_SOCKET* pSock);
NI_RC NiIBind(NITAB* pHdl, const NI_NODEADDR* pAddr, uint16_t* pServNo, uint8_t localRequested);
NI_RC NiIBindSocket(NITAB* pHdl, SI_SOCKET* pSock, const NI_NODEADDR* pAddr, uint16_t* pServNo,
                    int8_t reportInUse);
NI_RC NiISetSockOpt(NITAB* pHdl, int32_t level, int32_t option, SI_OPTVAL* pValue, const WEQ_UC* valueText);
NI_RC NiIBlockMode(NITAB* pHdl, uint8_t blocking, int8_t onlyIfChanged);
NI_RC NiIGetSockName(NITAB* pHdl, SI_SOCKET* pSock, NI_NODEADDR* pAddr, uint16_t* pServNo, WEQ_UC* pText,
                     int8_t report);
NI_RC NiIGetPeerName(NITAB* pHdl, SI_SOCKET* pSock, NI_NODEADDR* pAddr, uint16_t* pServNo, WEQ_UC* pText,
                     int8_t report);
const WEQ_UC* NiISockOptLevelName(int32_t level);
const WEQ_UC* NiISockOptName(int32_t option);
// The port search's next start (0: none remembered), for tests.
uint16_t NiIPortSearchNext(void);
void NiISetPortSearchNext(uint16_t port);

// --- Connections ----------------------------------------------------------------------------

NI_RC NiIListen(const NI_NODEADDR* pAddr, uint16_t* pServNo, uint32_t protoMask, NITAB** ppHdl);
NI_RC NiIConnect(const NI_NODEADDR* pAddr, uint16_t servNo, uint32_t protoMask, int32_t timeout,
                 CTRC_HDL* trcHdl, NITAB** ppHdl);
NI_RC NiIAccept(NITAB* pListen, int32_t timeout, CTRC_HDL* trcHdl, NITAB** ppNew);
NI_RC NiIConnectSocket(NITAB* pHdl, const NI_NODEADDR* pAddr, uint16_t servNo, int32_t timeout,
                       int8_t reportFlag);
NI_RC NiICheckPendConnection(NITAB* pHdl, int32_t timeout, uint8_t setState);
int NiIIsLocalPeer(const NITAB* pHdl);
// The family (2 or 23) of an IP socket for a protocol mask.
int32_t NiIFamilyOfMask(uint32_t protoMask);
// The separator between an address text and its port, and its appending.
WEQ_UC NiIAddrServSep(const WEQ_UC* text);
void NiIAddAddrServSep(WEQ_UC* text);
// Waits until a listen socket has a connection to accept: 0, or NIETIMEOUT
// when none came in time. Polls where poll is available, else selects.
// ppReady, when given, receives the listen socket that is ready.
NI_RC NiIPeekListen(NITAB* pListen, int32_t timeout, SI_SOCKET** ppReady = nullptr);

// --- Reverse invoke hooks ---------------------------------------------------------------------

// Whether the reverse-invoke client is active: nothing sets it.
inline constexpr bool kNiRiClientActive = false;
NITAB* NiIRiCliGetHdl(void);
NI_RC NiIRiCliAccept(NITAB* pListen, int32_t timeout, CTRC_HDL* trcHdl, NITAB** ppNew);
bool NiIRiCliConnect(const NI_NODEADDR* pAddr, uint16_t servNo, int32_t timeout, NI_HDL* pHandle);
NI_RC NiIRiSrvAccept(NITAB* pHdl, int32_t timeout, CTRC_HDL* trcHdl, NITAB** ppNew);
NI_RC NiIRiSrvPeek(void);
NI_RC NiIRiSrvCloseHandle(NITAB* pHdl);
bool NiIRiSrvProcEvent(void* pSet, int32_t socketNo);
NI_RC NiIRiExit(void);

#endif
