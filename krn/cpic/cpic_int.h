// Internals of the CPI-C layer shared by its sources and tests: the code
// table with the compile-time checked "record error N" helper, the layer's
// process-wide state and locks, the per-thread record, the conversation
// entry and table, and the process reset for tests.
#ifndef KRN_CPIC_CPIC_INT_H
#define KRN_CPIC_CPIC_INT_H

#include <stdint.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <type_traits>

#include "i18n/wequ16/u16fmt.h"
#include "krn/cpic/cpic.h"
#include "krn/ni/ni.h"
#include "krn/dptrc/dptrc.h"
#include "krn/dptrc/err.h"
#include "krn/gw/gw.h"
#include "krn/thr/thr.h"
#include "weq_types.h"

// --- Codes and the error pattern ------------------------------------------------

struct CpicGwRow {
  GW_RETURN_CODE code;
  const WEQ_UC* name;
  const WEQ_UC* text;    // "" when the code has none
  const WEQ_UC* detail;  // "" when the code has none
};

inline constexpr CpicGwRow kCpicGwRows[] = {
#include "krn/cpic/cpicrc.inc"
};
inline constexpr size_t kCpicGwRowCount = sizeof(kCpicGwRows) / sizeof(kCpicGwRows[0]);

// The index of code's row, or -1. (An index, not a pointer: the
// compile-time checks compare it, and sanitized builds do not allow pointer
// comparisons in constant expressions.)
constexpr int CpicIGwIndex(GW_RETURN_CODE code) {
  for (size_t i = 0; i < kCpicGwRowCount; ++i) {
    if (kCpicGwRows[i].code == code) return static_cast<int>(i);
  }
  return -1;
}

// The row of code, or NULL.
inline const CpicGwRow* CpicIGwRow(GW_RETURN_CODE code) {
  int i = CpicIGwIndex(code);
  return i >= 0 ? &kCpicGwRows[i] : nullptr;
}

#define CPIC_COMPONENT u"CPIC (TCP/IP) with Unicode"
#define CPIC_COMPONENT_VERSION 3
#define CPIC_MODULE u"t8cpic"

// Number of arguments that a format takes.
constexpr size_t CpicIFmtUsed(const WEQ_UC* fmt) {
  size_t used = 0;
  U16FmtWalk(fmt, [&](WEQ_UC) { return ++used, true; });
  return used;
}

// Whether n arguments of the given kinds serve text's conversions first and
// then detail's, all of them used.
constexpr bool CpicIArgsFit(const WEQ_UC* text, const WEQ_UC* detail, const U16FmtKind* kinds, size_t n) {
  size_t used = CpicIFmtUsed(text);
  if (used > n) return false;
  return U16FmtCheckKinds(text, kinds, used) == U16FmtCheck::kOk &&
         U16FmtCheckKinds(detail, kinds + used, n - used) == U16FmtCheck::kOk;
}

// Where and how an error is recorded.
struct CpicErrSite {
  const WEQ_UC* module;
  uint32_t line;
  const WEQ_UC* sysCall = nullptr;  // a failed system call: recorded with sysErr
  int32_t sysErr = 0;
  // After recording: write the whole error information to the CPI-C trace at
  // level 2 (true), or leave the trace to the caller (false).
  bool traceAll = true;
};

// Records code with the given text and detail formats and the arguments of
// both; writes the error information to the CPI-C trace when the site asks.
void CpicIRecordV(const CpicErrSite& site, GW_RETURN_CODE code, const WEQ_UC* text, const WEQ_UC* detail,
                  U16FmtArgs args);

// Records error N: its text and detail formats, checked at compile time
// against the arguments.
template <GW_RETURN_CODE N, class... A>
inline void CpicIRecordError(const CpicErrSite& site, const A&... args) {
  constexpr int idx = CpicIGwIndex(N);
  static_assert(idx >= 0 && kCpicGwRows[idx].text[0] != 0, "the code has no error text");
  constexpr const CpicGwRow& row = kCpicGwRows[idx];
  static constexpr U16FmtKind kinds[] = {U16FmtKindOf<std::decay_t<A>>()..., U16FmtKind::kMissing};
  static_assert(CpicIArgsFit(row.text, row.detail, kinds, sizeof...(A)),
                "the arguments do not fit the code's error text and detail format");
  CpicIRecordV(site, N, row.text, row.detail, U16FmtMakeArgs(args...).args());
}

// As CpicIRecordError with a detail format of the site's own in place of the
// code's: the first arguments serve the code's text, the rest the detail.
template <GW_RETURN_CODE N, class... A>
inline void CpicIRecordErrorDetail(const CpicErrSite& site, ErrDetailFmt<A...> detail, const A&... args) {
  constexpr int idx = CpicIGwIndex(N);
  static_assert(idx >= 0 && kCpicGwRows[idx].text[0] != 0, "the code has no error text");
  constexpr const CpicGwRow& row = kCpicGwRows[idx];
  static constexpr U16FmtKind kinds[] = {U16FmtKindOf<std::decay_t<A>>()..., U16FmtKind::kMissing};
  static_assert(
      CpicIFmtUsed(row.text) <= sizeof...(A) && CpicIArgsFit(row.text, u"", kinds, CpicIFmtUsed(row.text)),
      "the first arguments do not fit the code's error text");
  CpicIRecordV(site, N, row.text, detail.str, U16FmtMakeArgs(args...).args());
}

// The layer's call sites: error N at this line of the conversation code.
#define CPIC_ERR(N, ...) CpicIRecordError<N>(CpicErrSite{CPIC_MODULE, __LINE__} __VA_OPT__(, ) __VA_ARGS__)
#define CPIC_ERR_SYS(N, call, err, ...) \
  CpicIRecordError<N>(CpicErrSite{CPIC_MODULE, __LINE__, (call), (err)} __VA_OPT__(, ) __VA_ARGS__)

// --- CPI-C trace ----------------------------------------------------------------------

// Where the layer's lines go: the CPI-C stream, else the process trace.
inline CTRC_HDL CpicIOutHdl(void) {
  CTRC_HDL h = CpicTrcHdl();
  return h != nullptr ? h : CTrcGlobalHdl.load();
}

// Lines of the layer at a CPI-C trace level; the writers test CTrcLevel too.
#define CPIC_TRC_ON(level) (CpicTrcLevel() >= (level))

#define CPIC_TRC(level, fmt, ...)                           \
  do {                                                      \
    if (CPIC_TRC_ON(level)) {                               \
      DpTrcLock();                                          \
      DpTrc(CpicIOutHdl(), fmt __VA_OPT__(, ) __VA_ARGS__); \
      DpTrcUnlock();                                        \
    }                                                       \
  } while (0)

#define CPIC_TRC_ERR(fmt, ...)                                   \
  do {                                                           \
    if (CPIC_TRC_ON(1)) {                                        \
      DpTrcLock();                                               \
      DpTrcSetLocation(DPTRC_WIDE_(__FILE__), __LINE__);         \
      DpTrcError(CpicIOutHdl(), fmt __VA_OPT__(, ) __VA_ARGS__); \
      DpTrcUnlock();                                             \
    }                                                            \
  } while (0)

// A line of a conversation's own trace at its trace level.
#define CPIC_ENTRY_TRC(e, level, fmt, ...)                     \
  do {                                                         \
    if ((e) != nullptr && (e)->traceLevel.load() >= (level)) { \
      DpTrcLock();                                             \
      DpTrc((e)->f.traceHdl, fmt __VA_OPT__(, ) __VA_ARGS__);  \
      DpTrcUnlock();                                           \
    }                                                          \
  } while (0)

// An error line of a conversation's trace (its level 1 and more).
#define CPIC_ENTRY_ERR(e, fmt, ...)                                 \
  do {                                                              \
    if ((e) != nullptr && (e)->traceLevel.load() >= 1) {            \
      DpTrcLock();                                                  \
      DpTrcSetLocation(DPTRC_WIDE_(__FILE__), __LINE__);            \
      DpTrcError((e)->f.traceHdl, fmt __VA_OPT__(, ) __VA_ARGS__);  \
      DpTrcUnlock();                                                \
    }                                                               \
  } while (0)

// Sets the CPI-C level, and CTrcLevel with it unless onlyCpic.
void CpicISetLevel(int level, bool onlyCpic = false);
// Sets the CPI-C stream and CTrcGlobalHdl.
void CpicISetHdl(CTRC_HDL hdl);
// The saved argument vector (NULL when none).
WEQ_UC** CpicISavedArgv(void);
void CpicISetSavedArgv(WEQ_UC** argv);
// Whether the trace has been set up once.
bool CpicITrcInitialised(void);
// Marks the trace as not set up (the accept of a conversation without a
// stream does so before its CpicTrcInit).
void CpicITrcMarkUninitialised(void);

// Forgets the trace state (tests).
void CpicITrcReset(void);

// --- Process-wide state and locks ---------------------------------------------------

// Locks, all recursive. Order: conv_proto_cs before the others; getenv_cs
// and the trace lock are taken last.
//   conv_proto_cs  the start, the conversation table, its counts, the
//                  entries' in-use marks and ids
//   getenv_cs      environment reads and the kept values
//   wakeup_cs      the select set and the wakeup server
//   sideinfo_cs    the side-information file
//   snc_cs         the SNC glue
extern ThrCS conv_proto_cs;
extern ThrCS getenv_cs;
extern ThrCS wakeup_cs;
extern ThrCS sideinfo_cs;
extern ThrCS snc_cs;

#define CPIC_TP_NAME_LEN 64
#define CPIC_GW_HOST_LEN 2048
#define CPIC_GW_SERV_LEN 20
#define CPIC_HOST_NAME_LEN 129
#define CPIC_LOCATION_LEN 512

// The layer's globals. Written under conv_proto_cs while the layer starts
// (and the options by the verbs that set them); read by the verbs after the
// initialised mark, whose store releases them.
struct CpicGlobals {
  // What a conversation entry copies when it is taken.
  struct ConvDefaults {
    int connectTimeout;
    int rcvTimeout;
    uint8_t pingActive;
    int pingReply;
    int pingPeriod;
    int pingTimeout;
    uint8_t buffering;
  };

  std::atomic<uint8_t> attached{0};
  std::atomic<uint8_t> initialised{0};
  std::atomic<uint8_t> tableLockMark{0};
  WEQ_UC defaultTp[CPIC_TP_NAME_LEN + 1] = u"WEQCPIC";
  WEQ_UC gwHost[CPIC_GW_HOST_LEN + 1] = {};
  uint8_t gwHostGiven = 0;
  WEQ_UC gwServ[CPIC_GW_SERV_LEN + 1] = {};
  uint8_t gwServGiven = 0;
  WEQ_UC protocol = u' ';
  uint8_t protocolGiven = 0;
  ThrKey key = THR_KEY_NONE;
  int useUds = -1;
  int rawTraceLen = 32000;
  int pingPeriod = 10;
  int pingTimeout = 50;
  uint8_t pingActive = 0;
  int pingReply = 0;
  uint8_t pingSetByCall = 0;
  int connectTimeout = 60000;
  int defaultRcvTimeout = -1;
  uint8_t buffering = 1;
  uint8_t bufferingGiven = 0;
  int traceRaw = 0;
  uint8_t traceRawGiven = 0;
  int traceAppcHdr = 0;
  uint8_t traceAppcHdrGiven = 0;
  int withLuAddr = 0;
  uint8_t gwCompatibility = 0;
  WEQ_UC ownHost[CPIC_HOST_NAME_LEN] = {};
  NI_NODEADDR ownAddr = {};
  WEQ_UC location[CPIC_LOCATION_LEN] = {};
  uint8_t trcRecVersion = 0;
  char componentId[8] = {};
  char rootId[16] = {};
};

CpicGlobals& CpicIGlobals(void);

// Creates conv_proto_cs once: 0, or 20 with error 784 recorded (traced to
// trc at trcLevel 1 and more).
CM_RETURN_CODE CpicICreateProtoCs(CTRC_HDL trc, int trcLevel);

// Records error 784 for a failed lock or key step of the start (the text
// names the step and its code), traces it as "STInitGlobals: <text>" at
// trcLevel 1 and more, and returns 20.
CM_RETURN_CODE CpicIFailCs(const WEQ_UC* text, CTRC_HDL trc, int trcLevel, uint32_t line);

// Cuts the program's base name out of a copy of argv[0] into out (at most
// CPIC_TP_NAME_LEN units): false (out unchanged) without a vector or first
// element.
bool CpicIBaseName(WEQ_UC* const* argv, WEQ_UC out[CPIC_TP_NAME_LEN + 1]);

// The root id text: the seconds value in "%X", twice, exactly 16 characters
// (longer texts keep their last 8 characters each); no terminator.
void CpicIMakeRootId(int64_t seconds, char out[16]);

// --- Per-thread record ----------------------------------------------------------------

struct STI_GLOB {
  int32_t lastIndex;
  uint32_t tpNameLen;
  WEQ_UC tpName[CPIC_TP_NAME_LEN + 1];
};

static_assert(sizeof(STI_GLOB) == 140);

STI_GLOB* STIGetGlob(void);
void STIFreeGlob(void* glob);
// Per-thread records alive now (tests count them across ending threads).
extern std::atomic<long> STIGlobAlive;
void STIExitGlobals(void);

// --- Conversation table ------------------------------------------------------------------

typedef NI_RC (*STI_READ_FN)(NI_HDL, void*, int, int, uint32_t*, int32_t);
typedef NI_RC (*STI_WRITE_FN)(NI_HDL, const void*, int, int, uint32_t*, int32_t);
typedef NI_RC (*STI_CLOSE_FN)(NI_HDL, int32_t);

// Registration states: REG_* of the gateway library.

// Buffer states of an entry (names: STIBufferStateName).
enum : int32_t {
  BUFFER_DISABLED = 0,
  BUFFER_EMPTY = 1,
  BUFFER_DEACT = 2,
  BUFFER_DATA2 = 3,
  BUFFER_FLUSH = 4,
  BUFFER_DATA = 5,
  BUFFER_LISTEN = 6,
  BUFFER_LISTEN3 = 7,
};

// CPI-C function codes that the state check names (CpicFuncName).
enum : uint8_t {
  CPIC_FN_CMALLC = 5,
  CPIC_FN_CMSEND = 7,
  CPIC_FN_CMRCV = 9,
  CPIC_FN_CMDEAL = 11,
  CPIC_FN_CMSPLN = 19,
  CPIC_FN_CM_WEQ_SYNC = 46,
  CPIC_FN_CMSRT = 47,
  CPIC_FN_CM_ACCPTP = 49,
  CPIC_FN_CM_UNREGTP = 51,
  CPIC_FN_CM_SNCNAME = 52,
  CPIC_FN_CM_ACLKEY = 53,
  CPIC_FN_CM_SNCNAMETOACLKEY = 54,
  CPIC_FN_CM_ACLKEYTOSNCNAME = 55,
  CPIC_FN_CM_SNCMODE = 57,
  CPIC_FN_CM_CANCEL = 59,
  CPIC_FN_CM_SENDERRINFO = 61,
  CPIC_FN_CM_LISTEN3 = 62,
};

static_assert(sizeof(CPIC_SNC_PARAMS) == 1548);

#define CPIC_TRACE_RECORD_LEN 45

// An entry's fields that nothing reads without the entry's owner; a reset
// value-initialises them and sets the few that are not 0.
struct CpicConvFields {
  int32_t index;
  uint8_t hdrVersion;
  uint8_t interruptedFunc;
  uint8_t protocol;
  uint8_t rcvTimeoutGiven;
  uint8_t broken;
  uint16_t connIdx;
  int32_t hdrLen;
  uint32_t asyncSendCount;
  uint32_t timeoutCount;
  int32_t sendRcvState;
  WEQ_UC* gwHost;
  WEQ_UC* gwServ;
  NI_HDL readHdl;
  NI_HDL writeHdl;
  uint8_t inSelectSet;
  void* msgBuf;
  int32_t rcvTimeout;
  int32_t partialLen;
  WEQ_UC* regText;
  uint32_t regState;
  int32_t regIndex;
  uint32_t regGeneration;  // of the registration's entry when the conversation was handed over
  int32_t bufferState;
  int32_t bufferedLen;
  void* sncHdl;
  int32_t sncState;  // 1 on, 2 off
  CPIC_SNC_PARAMS* sncParams;
  // The delivery of an unprotected message: sncPending (CPIC_RCV_CAPACITY
  // bytes, made on first need) holds it, sncOffset is its next byte,
  // sncBytesLeft what is still to hand out; savedRcv the message's
  // data_received, status_received, request_to_send_received and code.
  int32_t sncOffset;
  int32_t sncBytesLeft;
  void* sncPending;
  uint32_t savedRcv[4];
  uint8_t cancelReceived;
  char partnerCp[4];  // the partner's code page as the gateway named it; 0 bytes until then
  int32_t connectTimeout;
  int32_t traceRaw;
  int32_t traceAppcHdr;
  uint8_t gwOptions;
  int32_t savedTraceLevel;
  uint8_t inheritedTrace;
  CTRC_HDL traceHdl;
  int64_t creationTime;
  uint8_t pingActive;
  uint32_t pingCount;
  uint8_t pingTimedOut;
  int32_t pingReply;
  int32_t pingPeriod;
  int32_t pingTimeout;
  int64_t lastPing;  // monotonic seconds of the last keep-alive sent, 0 before the first
  WEQ_RAW* traceRecord;
  uint32_t gwRequestValue;
  uint64_t selectUserValue;
  STI_READ_FN readFn;
  const WEQ_UC* readFnName;
  STI_WRITE_FN writeFn;
  const WEQ_UC* writeFnName;
  STI_CLOSE_FN closeFn;
  const WEQ_UC* closeFnName;
};

// One conversation. Entries never move: the table grows by adding blocks.
// The in-use mark, both ids and the trace level are read by the unlocked
// scans and are atomics; they change under conv_proto_cs.
struct CPIC_CONV_ENTRY {
  std::atomic<uint64_t> id;    // CONVERSATION_ID bytes
  std::atomic<uint64_t> gwId;  // CONVERSATION_ID bytes
  std::atomic<uint8_t> inUse;
  std::atomic<int32_t> traceLevel;
  // Counts the resets: a verb that called a step which may release the
  // conversation tells by it whether the entry is still its own.
  std::atomic<uint32_t> generation;
  // The listener's ping sweep: sweepPing is set while the entry is a
  // registration that waits in the select set for a gateway that takes NI
  // pings; pingBusy is held by whichever thread pings the entry (the ping
  // fields and lastPing belong to it meanwhile).
  std::atomic<uint8_t> sweepPing;
  std::atomic_flag pingBusy;
  // Hands the entry from the thread that put its connection into the
  // select set to the one that works on it next: released there, acquired
  // by the search that finds the entry.
  std::atomic<uint32_t> handoff;
  CpicConvFields f;
};

// An entry as a verb holds it: alive() until a step released it.
struct CpicIHold {
  CPIC_CONV_ENTRY* e;
  uint32_t generation;
  explicit CpicIHold(CPIC_CONV_ENTRY* entry) : e(entry), generation(entry->generation.load()) {}
  bool alive() const { return e->generation.load() == generation; }
};

inline uint64_t CpicIIdToU64(const char* id) {
  uint64_t v;
  memcpy(&v, id, 8);
  return v;
}
inline void CpicIU64ToId(uint64_t v, char* id) { memcpy(id, &v, 8); }
inline constexpr char kCpicBlankId[8] = {' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};
// The same id as CpicIIdToU64 reads it (eight equal bytes: either byte order).
inline constexpr uint64_t kCpicBlankIdU64 = 0x2020202020202020u;

// An id as terminated text for traces and messages ("<NULL>" for NULL).
struct CpicIIdText {
  WEQ_UC s[9];
  explicit CpicIIdText(const char* id);
  explicit CpicIIdText(uint64_t v);
};

// Seconds of the monotonic clock.
inline int64_t CpicIMonoSeconds(void) {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Big-endian fields of the gateway's records.
inline uint32_t CpicIGetBe32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}
inline uint16_t CpicIGetBe16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
inline void CpicIPutBe32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}
inline void CpicIPutBe16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}

// The entry at index (0 .. cpic_max_conv - 1), or NULL outside the table.
CPIC_CONV_ENTRY* STIConvAt(int32_t index);
// Number of slots; -1 before the table exists.
int32_t STIMaxConv(void);
// Active and highest counts.
int32_t STIActiveConvs(void);
int32_t STIHighestConvs(void);

CM_RETURN_CODE STIAllocConvMem(int32_t count);
void STIResetConv(CPIC_CONV_ENTRY* entry, bool countDown);
CM_RETURN_CODE STIGetFreeConv(const WEQ_UC* caller, int32_t* index);
// The in-use entry whose own id (or, with gwIdFlag, gateway id) is id;
// NULL for a miss (error 473 with report 1). Eight blanks name none: they
// are the id of every entry that has none yet.
CPIC_CONV_ENTRY* STISearchConv(const char* id, int report, int gwIdFlag);
void STIGenerateNewConvId(CPIC_CONV_ENTRY* entry);
// The gateway's id for a conversation it confirmed: it becomes the entry's
// gateway id, and its own id unless another in-use entry holds it or it is
// blank (then a new one is made). All under conv_proto_cs. true when a new
// id was made.
bool STIAssignConvId(CPIC_CONV_ENTRY* entry, const char* gwId, const WEQ_UC* caller);
void STIRecalcTraceLevel(int32_t index);
NI_RC STINiRead(NI_HDL hdl, void* buffer, int length, int timeout, uint32_t* readLen, int32_t index);
NI_RC STINiWrite(NI_HDL hdl, const void* buffer, int length, int timeout, uint32_t* written, int32_t index);
NI_RC STINiCloseHandle(NI_HDL hdl, int32_t index);
// Allocation of an entry's owned blocks; tests replace it to make them fail
// (NULL restores calloc).
void STISetAllocHook(void* (*alloc)(size_t count, size_t size));
// Test and fuzz seam: the I/O functions that entries taken from now on
// use (NULL each: the traced NI wrappers).
void STISetIoFns(STI_READ_FN read, STI_WRITE_FN write, STI_CLOSE_FN close);
// Frees the table (process detach).
void STIFreeConvTable(void);
// The id counter of the generator (tests set it to reach the wrap).
void STISetIdCounter(uint32_t value);

// --- Conversation state and keep-alive ------------------------------------------------------

// Whether a call of function code may work on the conversation now: 0, 20
// (an interrupted call must be continued first) or 25 (the partner has the
// right to send; error 471). Also stored in *rc.
CM_RETURN_CODE STIT8LocCheckState(const char* convId, uint8_t code, CPIC_CONV_ENTRY* entry, CM_RETURN_CODE* rc);
// One keep-alive message on the write handle when pings are on and the
// gateway takes NI pings: "NI_PING" with reply, else "NI_PONG"; nothing
// waits for an answer. NIETIMEOUT marks the entry.
NI_RC STISendConvNiping(CPIC_CONV_ENTRY* entry);
// Stops the listener's sweep of the entry and waits for a ping of it that
// is under way (the owner calls it before the registration changes).
void STIStopSweep(CPIC_CONV_ENTRY* entry);
// The buffer state's name, or its number in buf (size units).
const WEQ_UC* STIBufferStateName(int32_t state, WEQ_UC* buf, size_t size);

// --- Select set and wakeup server ------------------------------------------------------------
//
// One select set for the process, made on demand, with a wakeup server in
// it. Only the thread that listens (WEQ_CMLISTEN, WEQ_CMGETNEXTHDL) touches
// the set once it is ready; other threads send it requests through the
// wakeup client. Ready is set once and never cleared.

// Makes the select set, the wakeup server and its client: 0, 20 or 26
// (also in *rc).
CM_RETURN_CODE STIInitSelSet(CM_RETURN_CODE* rc);
bool STISelReady(void);
// Asks the set's owner to set the handle's modes with the user value.
NI_RC STISelSet(NI_HDL hdl, uint8_t mode, uint64_t userValue);
// STISelSet for an entry's connection: what the caller wrote into the
// entry is published to the thread that finds the entry next, which may be
// another than the caller once the listener reported the handle.
NI_RC STISelSetEntry(CPIC_CONV_ENTRY* entry, NI_HDL hdl, uint8_t mode, uint64_t userValue);
// Asks the set's owner to remove the handle from the set and close it.
NI_RC STISelDelete(CPIC_CONV_ENTRY* entry, NI_HDL hdl);
// Forgets the set (tests; only without a listener).
void STIResetSelSet(void);
// Test seam: the next set-up fails at step 1 (the set), 2 (the wakeup
// server), 3 (its client) or 4 (the server's place in the set).
void STISetSelFault(int step);

// --- Gateway I/O -------------------------------------------------------------------------------
//
// Messages are an APPC header in the gateway's version followed by data,
// one NI message each. Headers are built in version 6 (80 bytes) and
// converted on the way out; a longer version grows in front of the header,
// so every message is built with CPIC_MSG_FRONT bytes of room before it.

#define CPIC_MSG_BUF_LEN 34548
#define CPIC_MSG_FRONT 58  // the longest header (138 bytes) less 80
// Room for the network form of error information: what the reader takes.
#define CPIC_ERRINFO_NET_MAX 1500

// The entry's message buffer (CPIC_MSG_BUF_LEN bytes with CPIC_MSG_FRONT
// before them), made on first need; NULL with error 450 recorded.
uint8_t* STIMsgBuf(CPIC_CONV_ENTRY* entry);
// The length of the gateway's headers: the entry's, else by its version.
int STIHdrLen(const CPIC_CONV_ENTRY* entry);

// Sends msg (a version-6 header and its data, totalLen bytes) converted to
// hdrVersion/hdrLen: 0, or 20 with the error recorded. ext (may be NULL) is
// the header's extension block, for the header dump only.
int STIAsSendToGw(CPIC_CONV_ENTRY* entry, uint8_t* msg, const uint8_t* ext, uint8_t hdrVersion, int hdrLen,
                  int totalLen);
// A request of the layer's own (an 80-byte header): 0 or 20.
int STISendToGw(uint8_t req, CPIC_CONV_ENTRY* entry);
// The thread's error information to the gateway, behind a header with the
// given codes; the thread keeps its record. 0, 20 when it was not sent, 26
// without message buffer.
int STISendErrInfo(CPIC_CONV_ENTRY* entry, const char* convId, uint8_t hdrVersion, uint8_t req,
                   GW_RETURN_CODE gwRc, CM_RETURN_CODE cmRc);
// Receives one message into msg (header, then at most capacity data bytes,
// moved to dst when given). timeout in ms, negative blocks. 0 received
// (*cmRc: its AppcRc), -1 error, -2 wrong header version, -3 timed out
// (what arrived stays for the next call) or returned after a ping (in the
// select set). *rcvLen: bytes of the message with its header.
int STIAsRcvFromGw(CPIC_CONV_ENTRY* entry, uint8_t* msg, void* dst, int capacity, int* rcvLen, int timeout,
                   uint8_t* pingCount, CM_RETURN_CODE* cmRc);
// Reads what the gateway sent meanwhile until a read of it has waited
// 10 ms in vain: 0, 17 (manual cancel) or 18 (gateway shutdown).
int StIReadPendingData(CPIC_CONV_ENTRY* entry);
// The header dump (direction 1 request, other response) at the entry's
// trace level 2 and more.
void STIAnalyzeAppcHdr(CPIC_CONV_ENTRY* entry, const uint8_t* hdr, const uint8_t* ext, int direction);
// The raw dump of a message (direction 1 sent, 2 received). msg is changed
// while the dump masks it.
void STITraceRawData(CPIC_CONV_ENTRY* entry, uint8_t* msg, int protocol, int len, int direction, int withHeader);

// A distributed-trace record as the Java side gives it.
struct CPIC_DT_RECORD {
  uint8_t version;
  WEQ_UC component[8];
  uint8_t rootId[16];
  uint8_t connId[16];
  uint32_t sequence;
};
// The entry's distributed-trace record: a copy of rec, or a new one.
void STIMakeTraceRecord(const WEQ_UC* caller, const CPIC_DT_RECORD* rec, CPIC_CONV_ENTRY* entry);

// The common request header in version 6 at h (80 bytes): zeros, version
// 6, mode 0, UID -1, the process trace level, the entry's gateway request
// value, CommIdx and ConnIdx -1. A request on the conversation (req not 0)
// also carries req, the protocol, the gateway id and the connection index.
void STIFillHdr(uint8_t* h, const CPIC_CONV_ENTRY* entry, uint8_t req);
// The ConnIdx of a received header, when the gateway's version has one.
bool STIAnswerConnIdx(const CPIC_CONV_ENTRY* entry, const uint8_t* msg, uint16_t* connIdx);
// The value of header bytes 22-25 from now on, also the sequence number of
// the distributed-trace record.
void STISetRequestValue(CPIC_CONV_ENTRY* entry, uint32_t value);
// The user data of a message at the entry's level 2 (the title line) and 3
// (at most the raw-trace length), while its raw trace setting is 0.
void STIDumpUserData(CPIC_CONV_ENTRY* entry, const WEQ_UC* title, void* data, int len);
// The start line of the distributed-trace record at the entry's level 2.
void STITraceStart(CPIC_CONV_ENTRY* entry, const WEQ_UC* name);

// --- Verbs -----------------------------------------------------------------------------------
//
// The verbs of the client (cpicclnt.cpp, cpicsend.cpp, cpicrcv.cpp) and of
// the registered server program (cpicreg.cpp) over one set of internal
// steps. A conversation belongs to the thread that calls its verb; no lock
// is held across the gateway's I/O.

// Room of a received message's data: the most the gateway sends.
#define CPIC_RCV_CAPACITY 34048
// Asynchronous sends in a row before one waits for the gateway's answer.
constexpr uint32_t CPIC_ASYNC_SENDS = 5;

// Stores code through rc (when given) and returns it.
inline CM_RETURN_CODE CpicIRc(CM_RETURN_CODE* rc, CM_RETURN_CODE code) {
  if (rc != nullptr) *rc = code;
  return code;
}
// Error 769 for a NULL argument (value "<NULL>"): 19.
CM_RETURN_CODE STINullArg(const WEQ_UC* fn, const WEQ_UC* param);
// Error 769 for an argument out of range, its value as "%d (max: %d)": 19.
CM_RETURN_CODE STIBadLength(const WEQ_UC* fn, const WEQ_UC* param, int32_t value, int32_t max);
// The receive time-out of a conversation: its own when one was set, else
// the layer's.
int STIRcvTimeout(const CPIC_CONV_ENTRY* entry);

// How a verb on an existing conversation begins: the error information
// cleared, a NULL id refused (769), the conversation found by its own id
// (with report: 473 on a miss), the state check for func (0: none) and the
// level-2 lines (the verb's banner and id only with banner). NULL with
// *code set when the verb ends here; *unknown tells a missing conversation
// apart.
CPIC_CONV_ENTRY* STIVerbStart(const WEQ_UC* name, const char* convId, uint8_t func, int report,
                              CM_RETURN_CODE* code, bool* unknown = nullptr, bool banner = true);

// Sends a request of its own on the conversation (req, Info 0x01, 80
// bytes): 0, or 20 with the conversation released.
CM_RETURN_CODE STISendRequest(CPIC_CONV_ENTRY* entry, uint8_t req, uint8_t* msg);
// The outcome r of STIAsRcvFromGw for a verb of function func: true for an
// answer (the time-out count and the interrupted function cleared); false
// with *code 10001 after a time-out (func left pending) or 20 after any
// other failure (the conversation released).
bool STIAnswered(CPIC_CONV_ENTRY* entry, const WEQ_UC* name, int r, uint8_t func, CM_RETURN_CODE* code);
// The partner's code page of an answer that names one.
void STIKeepCodePage(CPIC_CONV_ENTRY* entry, const WEQ_UC* name, const uint8_t* msg);
// The user data behind the header on its way out: dumped as the caller
// gave it, then, with SNC on, protected in place (*length becomes the
// protected length) and *info2 set to the SNC flag of the header (else 0).
// 0, or the code of a failure after the error information went to the
// partner.
CM_RETURN_CODE STISncProtect(CPIC_CONV_ENTRY* entry, const WEQ_UC* name, uint8_t* msg, int32_t* length,
                             uint8_t* info2);
// The registration point of the release: an entry of a registration, or
// accepted through one, hands its connection back. true when the release
// is finished (*result: the pending-data read's code); false when the
// release goes on without a second pending-data read.
bool STIRegHandBack(CPIC_CONV_ENTRY* entry, int* result);
// The registration an accepted conversation was handed over by, while that
// registration still exists; NULL otherwise.
CPIC_CONV_ENTRY* STIRegistrationOf(const CPIC_CONV_ENTRY* entry);
// Releases a conversation and its connection (NULL: 0): the code of the
// read of what the gateway still had pending (0, 17 or 18).
int STIDEAL(CPIC_CONV_ENTRY* entry);
// The send core on a checked conversation (the name in its trace lines).
CM_RETURN_CODE STISendCore(CPIC_CONV_ENTRY* entry, const WEQ_UC* name, const void* data, int32_t length,
                           int32_t* rts);
// The synchronisation on a checked conversation.
CM_RETURN_CODE STISyncCore(CPIC_CONV_ENTRY* entry, const WEQ_UC* name);

// Results of a receive.
struct CPIC_RCV_OUT {
  int32_t* dataReceived;
  int32_t* receivedLength;
  int32_t* statusReceived;
  int32_t* rts;
};
// STRCV with extra: non-zero when the receive request went out already.
CM_RETURN_CODE STIRCV(const char* convId, void* buffer, const int32_t* requested, int32_t* dataReceived,
                      int32_t* receivedLength, int32_t* statusReceived, int32_t* rts, CM_RETURN_CODE* rc,
                      int extra);
// Data and a receive request in one request: opBits of F_V_ALLOCATE,
// F_V_SEND_DATA, F_V_RECEIVE, F_V_FLUSH; pendFunc is left as the
// interrupted function after a time-out.
CM_RETURN_CODE STISEND(const char* convId, const void* data, void* rcvBuffer, const int32_t* sendLength,
                       const int32_t* requested, int32_t* dataReceived, int32_t* receivedLength,
                       int32_t* statusReceived, int32_t* rts, CM_RETURN_CODE* rc, uint8_t pendFunc,
                       uint8_t opBits);
// The receive on a checked conversation (its steps from the buffer state on).
CM_RETURN_CODE STIRcvCore(CPIC_CONV_ENTRY* entry, const WEQ_UC* name, void* buffer, int32_t requested,
                          const CPIC_RCV_OUT& out, int extra);
// STISEND on a checked conversation.
CM_RETURN_CODE STISendRcvCore(CPIC_CONV_ENTRY* entry, const WEQ_UC* name, const void* data, void* rcvBuffer,
                              int32_t sendLength, int32_t requested, const CPIC_RCV_OUT& out, uint8_t pendFunc,
                              uint8_t opBits);

// --- SNC on conversations --------------------------------------------------------------------
//
// The points where the verbs protect a conversation (cpicsnc.cpp). Each
// runs only for an entry whose SNC state is 1 (or, at the initialise, whose
// final SNC mode is exactly 1). Every call into the SNC layer runs under
// snc_cs; a conversation's session lives from its set-up to its release or
// reset.

// Completes the entry's SNC block from the environment: 0, or 19 for a mode
// of 3 or more.
CM_RETURN_CODE STISncGetEnv(CPIC_CONV_ENTRY* entry);
// 0, or 19 with error 769 for a block mode of 3 or more.
CM_RETURN_CODE STSncCheckMode(CPIC_CONV_ENTRY* entry);
// Starts SNC on the entry as initiator (for dest) or acceptor: 0 or 20.
CM_RETURN_CODE STISncSetUpInit(CPIC_CONV_ENTRY* entry, const WEQ_UC* dest);
CM_RETURN_CODE STISncSetUpAccp(CPIC_CONV_ENTRY* entry);
// The SNC layer started once for the process, and a session of the role
// (1 initiator, 2 acceptor) made and kept with SNC state 1: 0 or 20. A
// session of a failed set-up is ended.
CM_RETURN_CODE STISncInit(CPIC_CONV_ENTRY* entry, int role);
// Ends the entry's SNC session (the entry holds none afterwards): the SNC
// layer's code.
int STISncDone(CPIC_CONV_ENTRY* entry);
// Protects data (length above 0) for the gateway, establishing the context
// first through token messages in msgBuf; the protected bytes stay valid
// until the next SNC call on the session and fit behind a header with an
// 8-byte block. 0, 20, or a gateway answer's code (conversation released),
// also stored through rc.
int STISncOut(CPIC_CONV_ENTRY* entry, uint8_t* msgBuf, const void* data, int32_t length, void** out,
              int32_t* outLength, CM_RETURN_CODE* rc);
// Unprotects the data of a received message (length bytes behind its
// header), answering tokens through msgBuf: as STISncOut.
int STISncIn(CPIC_CONV_ENTRY* entry, uint8_t* msgBuf, void* data, int32_t length, void** out, int32_t* outLength,
             CM_RETURN_CODE* rc);
// Whether a received message is handed out in pieces and has bytes left.
inline bool STISncPartly(const CPIC_CONV_ENTRY* entry) { return entry->f.sncBytesLeft > 0; }
// Forgets that the SNC layer was started (tests, with the SNC layer reset).
void STISncResetProcess(void);

// The SNC set-up of a conversation handed over with SNC_INIT_PHASE while
// its block allows SNC: part is the handover's SNC part (776 bytes). 0, or
// the code of a failure (the caller tells the partner).
CM_RETURN_CODE STISncAccept(CPIC_CONV_ENTRY* entry, const WEQ_UC* name, const uint8_t* part);
// The delivery of a received message on an entry with SNC state 1: a
// fresh message (msgLen bytes in msg, code appcRc) is unprotected and kept,
// then handed out in pieces of at most requested bytes. Returns the verb's
// code.
CM_RETURN_CODE STISncDeliver(CPIC_CONV_ENTRY* entry, const WEQ_UC* name, uint8_t* msg, int msgLen, bool fresh,
                             void* buffer, int32_t requested, const CPIC_RCV_OUT& out, CM_RETURN_CODE appcRc);

// --- Side information ----------------------------------------------------------------------------

enum CPIC_SI_TYPE : int32_t {
  CPIC_SI_STRING = 1,
  CPIC_SI_CHAR = 2,
  CPIC_SI_DIGIT = 3,
  CPIC_SI_SHORT = 4,
  CPIC_SI_INT = 5,
};

// The descriptor of one key; a table ends with a NULL name.
struct CPIC_SI_PARAM {
  const WEQ_UC* name;
  int32_t nameLen;
  void* target;
  int32_t capacity;  // strings: units without the terminator; after a store, what was stored
  CPIC_SI_TYPE type;
  int32_t valueLen;  // the value's length in the file
  uint8_t assigned;
  uint8_t fromCommon;
};

// Fills the keys of table from the destination's entry of the side
// information file (fileName, else SIDE_INFO, else "sideinfo") and from
// its COMMON_PART, under sideinfo_cs. 0; 24 with *gwRc 775; 20 with 451
// (no file) or 472 (no entry).
CM_RETURN_CODE STIReadSideInfo(const WEQ_UC* fileName, const WEQ_UC* dest, CPIC_SI_PARAM* table, int keepOpen,
                               GW_RETURN_CODE* gwRc, int trcLevel, CTRC_HDL trc);
bool STIDestFound(const WEQ_UC* dest, const WEQ_UC* entryName, int trcLevel, CTRC_HDL trc);
// Forgets the reader's state (tests): the file it keeps, COMMON_PART.
void STIResetSideInfo(void);

// --- Test support ---------------------------------------------------------------------------

// Forgets the layer's process state: globals, trace, table, key, kept
// environment values. Only for tests in a process without other users.
void CpicIResetProcess(void);

#endif
