// Internals of the SNC layer shared by its source files and its tests: the
// global state and configuration, the SNC trace, the adapter record and the
// GSS-API function table, the loader, the frames and the names.
//
// Everything here runs under the global lock "SNC_GLOBAL_MTX" once the layer
// is initialised (the API takes it); before that only the initialising call
// touches the state. Texts are 8-bit; trace lines are widened into DpTrc.
#ifndef KRN_SNC_SNC_INT_H
#define KRN_SNC_SNC_INT_H

#include <stddef.h>
#include <stdint.h>

#include <atomic>

#include "krn/dl/dl.h"
#include "krn/snc/snc.h"
#include "krn/snc/sncgss.h"
#include "krn/thr/thr.h"

// --- Trace -----------------------------------------------------------------------

// The handle of every SNC trace line; NULL is standard error.
extern std::atomic<CTRC_HDL> gSncTrcHdl;

// One trace entry: the 8-bit text (cut to 1023 characters) widened byte by
// byte and written with DpTrc under the trace lock. Callers test the level.
void SncPTrc(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// An error line "*** ERROR => <text> [<module> <line>]".
void SncPTrcErr(const char* module, int line, const char* fmt, ...) __attribute__((format(printf, 3, 4)));

#define SNC_TRC_ON(level) DPTRC_ON(level)
#define SNC_TRC(level, ...)                 \
  do {                                      \
    if (SNC_TRC_ON(level)) SncPTrc(__VA_ARGS__); \
  } while (0)
// Each source file defines SNC_MODULE ("sncxx", "sncxxdl", ...) and
// undefines it at its end, so that files compiled together keep their own.
#define SNC_TRCERR(...)                                            \
  do {                                                             \
    if (SNC_TRC_ON(1)) SncPTrcErr(SNC_MODULE, __LINE__, __VA_ARGS__); \
  } while (0)

// --- Call tracing and exit reports -------------------------------------------------

// What an exit report value is (bits may combine).
enum : unsigned {
  SNC_VAL_TEXT = 0x01,   // a text; length 0: up to its terminator
  SNC_VAL_IN = 0x02,     // an input of the entry
  SNC_VAL_OUT = 0x04,    // an output: left out after a failure
  SNC_VAL_ADDR = 0x08,   // an address
  SNC_VAL_FMT = 0x10,    // a number (the length) in a format ("%lu" without one)
  SNC_VAL_NOTRC = 0x20,  // not traced
};

// One value of an exit report; a value that is neither a text, an address
// nor a format is hex-dumped.
struct SncExitValue {
  unsigned desc;
  const char* label;
  const void* value;
  unsigned long len;
  const char* fmt;
};

// The end of an entry: a failure is recorded in the thread's error
// information (module "sncxx.c", the first value as detail) unless it holds
// the SNC component with rc already; then, after a failure or at trace
// level 2 or more, the head line "<<- [ERROR: ]entry()==name" and the
// values (level 1 lines after a failure, level 2 otherwise). Returns rc.
SNC_RC SncPExitReport(const char* entry, SNC_RC rc, int line, const SncExitValue* vals, size_t count);

// A hex dump of len bytes at p under label, its rows of 16 bytes at trace
// level "level": all of them when limit is 0 or not reached, else the
// first limit bytes ("head-only"); "no" rows for no bytes.
void SncPHexDump(int level, const char* label, const void* p, size_t len, size_t limit);

// The most bytes a dump shows: of an entry's input at trace level 3 256,
// of an exit report's value below level 4 1024; above level 3 all (0).
size_t SncPDumpLimit(bool exitReport);

// 8-bit text widened byte by byte into dst (size units), cut to size - 1
// and terminated.
void SncPWiden(WEQ_UC* dst, size_t size, const char* src);

// 16-bit text narrowed into dst (limit + 1 bytes): at most limit units, up
// to the terminator; Latin-1 units keep their byte. False, with dst empty,
// for a unit above 0xFF.
bool SncPNarrow(const WEQ_UC* src, size_t limit, char* dst);

// Whether the thread's error information holds the SNC component with code.
bool SncPErrRecorded(SNC_RC code);

// Records an SNC failure in the calling thread's error information:
// component "SNC (Secure Network Communication)", version 5, module and
// line, the code's name as the error text, detail the 8-bit detail text.
void SncPSetErrInfo(const char* module, int line, SNC_RC code, const char* detail);

// --- Global state and configuration ---------------------------------------------

// Where the library name came from.
enum : int {
  SNC_LIB_BUILTIN = 1,
  SNC_LIB_ENV = 2,
  SNC_LIB_PROFILE = 3,
  SNC_LIB_USER = 4,
};

#define SNC_DEFAULT_LIB "libgssapi_krb5.so.2"
#define SNC_LIBNAME_MAX 1025  // bytes with the terminator
#define SNC_PATH_MAX 1025

struct SncGlobal {
  std::atomic<bool> initialized{false};  // SncInit got as far as the lock
  std::atomic<bool> active{false};       // a library is loaded and SNC enabled
  std::atomic<bool> mtxExists{false};
  ThrMtx mtx{};  // "SNC_GLOBAL_MTX"
  int progType = 0;

  int32_t refWatermark = 600;          // seconds
  uint32_t ctxLifetime = 0xFFFFFFFFu;  // seconds; indefinite, 0 mechanism default
  int qopMin = 2, qopMax = 3, qopUse = 3;

  char libName[SNC_LIBNAME_MAX] = {};  // chosen library name
  int libSource = 0;
  char userLib[SNC_LIBNAME_MAX] = {};  // from SncSetParam, empty when none
  char profileFile[SNC_PATH_MAX] = {};  // given to SncInit, empty when none

  uint32_t maxOverhead = 0;  // largest per-message overhead of a loaded adapter
  SNC_RC initRc = WEQ_O_K;   // the result of the first successful SncInit
  struct SncSession* dflt = nullptr;  // the default session of the loaded adapter
  bool profileNarrowFailed = false;   // a 16-bit profile value had a unit above 0xFF
};
extern SncGlobal gSnc;

// Takes and releases the global lock when it exists.
class SncGlobalLock {
 public:
  SncGlobalLock() : held_(gSnc.mtxExists.load(std::memory_order_acquire)) {
    if (held_) ThrMtxLock(&gSnc.mtx);
  }
  ~SncGlobalLock() {
    if (held_) ThrMtxUnlock(&gSnc.mtx);
  }
  SncGlobalLock(const SncGlobalLock&) = delete;
  SncGlobalLock& operator=(const SncGlobalLock&) = delete;

 private:
  bool held_;
};

// One row of the program types.
struct SncProgRow {
  const char* ownNameKey;  // "identity/as" ...; NULL for none
  bool checkInitCred, checkAcceptCred, strict, readEnable, libInProfile;
};
extern const SncProgRow kSncProgRows[10];

// The protection level names: 0 "None" ... 3 "Privacy", 7/8/9 the
// symbolic values, "????" for anything else.
const char* SncPQopName(int level);

// Reads SNC_REF_WATERMARK, SNC_CTX_LIFETIME and SNC_QOP into gSnc, with
// their trace lines: watermark, lifetime and default QOP (minimum, use;
// maximum 3).
void SncIReadEnvConfig(void);

// Reads "enable" (when the row says so) and the data protection values for
// program type progType into gSnc. *enabled is false when "enable" is 0.
void SncIReadProfileConfig(int progType, bool* enabled);

// Chooses gSnc.libName and gSnc.libSource (built-in, SNC_LIB, profile
// snc/gssapi_lib, then a name given through SncSetParam), tracing the
// choice; the profile report follows when the row expects the name there.
void SncIChooseLibName(int progType);

// One parameter of section "snc": the text (at most 254 bytes) into
// text[255], its number (0 when the text does not begin, after white space,
// with a digit or sign), and whether it is the default. Reads the profile
// file given to SncInit when there is one, else the parameter store.
void SncIProfileParam(const char* section, const char* key, const char* dflt, bool* isDefault,
                      char text[255], int* number);

// The default session of the loaded adapter, from the configured QOP.
SNC_RC SncIInit(void);

// Acquires credentials of usage for the default session's own name, takes
// the name they carry as the default session's own name and reports their
// lifetime.
SNC_RC SncPNameFromCred(int usage, OM_uint32* lifetime);

// The quality of protection that SncSetQOP stores: from the session's
// current minimum m0, maximum x0 and use u0, the adapter's best level best
// and the request min, max, use (levels 1..3 or the symbolic 7, 8, 9).
// SNCERR_BAD_QOP_VALUE, SNCERR_FUNC_ARGS or SNCERR_QOP_UNAVAIL leave the
// outputs alone.
struct SncQop {
  int min, max, use;
};
SNC_RC SncPResolveQop(SncQop cur, int best, SncQop req, SncQop* out);

// Resets gSnc and the adapter slot to the state of a fresh process, the
// loaded library unloaded (tests).
void SncIResetGlobal(void);

// --- Adapter record and GSS-API function table -----------------------------------

enum : int {
  SNC_ADAPTER_IGNORE = 0,
  SNC_ADAPTER_KRB5 = 2,
  SNC_ADAPTER_SECUDE = 3,
  SNC_ADAPTER_NTLM = 4,
};

// What an adapter's initialisation function fills in: the record that
// "weqsnc_init_adapter" of an external adapter library receives, with its
// size (96). Layout on x86-64, all fields native byte order:
//    0  uint32  status (1 for the built-in adapters)
//    4  int32   adapter type (0: ignore this adapter)
//    8  char*   identification text (the adapter's storage; 159 kept)
//   16  char*   mechanism prefix (the adapter's storage; 7 kept)
//   24  uint8   integrity available, privacy available, two further flags
//   28  uint32  per-message overhead in bytes
//   32  gss_OID name types of the letters c, p, x, y, z (NULL: none)
//   72  uint8   mutual authentication, replay detection
//   74  ...     reserved, zero
struct SncAdapterInfo {
  uint32_t status;
  int32_t type;
  const char* idText;
  const char* mechPrefix;
  uint8_t integAvail, confAvail, service3, service4;
  uint32_t overhead;
  gss_OID nameTypes[5];
  uint8_t mutual, replay;
  uint8_t reserved[22];
};
static_assert(sizeof(SncAdapterInfo) == 96, "the external adapter's record is 96 bytes");
typedef int SncAdapterInitFn(SncAdapterInfo* info, size_t size);

// Function slots: 0 the adapter's initialisation, 1..29 the GSS-API.
#define SNC_GSS_FUNCS(X)                                                        \
  X(1, acquire_cred, kSncFnRequired)                                           \
  X(2, release_cred, kSncFnRequired)                                           \
  X(3, init_sec_context, kSncFnRequired)                                       \
  X(4, accept_sec_context, kSncFnRequired)                                     \
  X(5, process_context_token, kSncFnOptional)                                  \
  X(6, delete_sec_context, kSncFnRequired)                                     \
  X(7, context_time, kSncFnRequired)                                           \
  X(8, get_mic, kSncFnV1)                                                      \
  X(9, verify_mic, kSncFnV1)                                                   \
  X(10, wrap, kSncFnV1)                                                        \
  X(11, unwrap, kSncFnV1)                                                      \
  X(12, display_status, kSncFnRequired)                                        \
  X(13, indicate_mechs, kSncFnRequired)                                        \
  X(14, compare_name, kSncFnRequired)                                          \
  X(15, display_name, kSncFnRequired)                                          \
  X(16, import_name, kSncFnRequired)                                           \
  X(17, release_name, kSncFnRequired)                                          \
  X(18, release_buffer, kSncFnRequired)                                        \
  X(19, release_oid_set, kSncFnRequired)                                       \
  X(20, inquire_cred, kSncFnRequired)                                          \
  X(21, inquire_cred_by_mech, kSncFnOptional)                                  \
  X(22, inquire_context, kSncFnRequired)                                       \
  X(23, wrap_size_limit, kSncFnOptional)                                       \
  X(24, export_sec_context, kSncFnStrict)                                      \
  X(25, import_sec_context, kSncFnStrict)                                      \
  X(26, inquire_names_for_mech, kSncFnOptional)                                \
  X(27, inquire_mechs_for_name, kSncFnOptional)                                \
  X(28, canonicalize_name, kSncFnRequired)                                     \
  X(29, export_name, kSncFnRequired)

enum SncFnRule : uint8_t {
  kSncFnRequired,  // missing: the load fails
  kSncFnOptional,  // missing: the stand-by stays
  kSncFnV1,        // missing: the version-1 names are tried
  kSncFnStrict,    // missing: the load fails under the strict check
};

enum SncGssSlot : int {
  SNC_FN_INIT_ADAPTER = 0,
#define SNC_SLOT_ENUM(n, name, rule) SNC_FN_##name = n,
  SNC_GSS_FUNCS(SNC_SLOT_ENUM)
#undef SNC_SLOT_ENUM
  SNC_FN_COUNT = 30,
};

template <int Slot>
struct SncGssType;
template <>
struct SncGssType<SNC_FN_INIT_ADAPTER> {
  using type = SncAdapterInitFn;
};
#define SNC_SLOT_TYPE(n, name, rule) \
  template <>                        \
  struct SncGssType<n> {             \
    using type = gss_##name##_fn;    \
  };
SNC_GSS_FUNCS(SNC_SLOT_TYPE)
#undef SNC_SLOT_TYPE

// One row of a name table.
struct SncFnName {
  int slot;
  const char* name;
  SncFnRule rule;
};
extern const SncFnName kSncGssNames[29];  // slots 1..29
extern const SncFnName kSncGssV1Names[4];  // seal, unseal, sign, verify

// The stand-by of a slot: the slot's own signature, minor status 0 and the
// major status GSS_S_FAILURE.
DL_FUNC SncPStandBy(int slot);

struct SncAdapter {
  SncAdapterInfo info;
  char idText[160];
  char mechPrefix[8];
  gss_OID_desc nameTypes[5];  // copies of info.nameTypes (elements point at nameTypeBytes)
  uint8_t nameTypeBytes[5][32];
  DL_FUNC fn[SNC_FN_COUNT];
  gss_OID_set mechs;  // from gss_indicate_mechs, released with the record
  gss_OID mech;       // the chosen mechanism, an element of mechs
  int bestLevel;
  gss_OID ntUser, ntService, ntExport;  // the standard name types
  bool builtin;
  const char* libKind;  // "GSS-API v2 library", "GSS-API v1 library", "external SNC-Adapter"
};

// The one adapter slot and its library.
extern SncAdapter* gSncAdapter[1];
extern DL_HDL gSncLib[1];

// The slot's function with its own type.
template <int Slot>
inline typename SncGssType<Slot>::type* SncGss(const SncAdapter* a) {
  return reinterpret_cast<typename SncGssType<Slot>::type*>(a->fn[Slot]);
}

// The standard name types and the built-in adapters' mechanisms.
extern const gss_OID_desc kSncNtUser, kSncNtService, kSncNtExport;

// One built-in adapter: its mechanism and initialisation.
struct SncBuiltin {
  gss_OID_desc mech;
  SncAdapterInitFn* init;
};
extern const SncBuiltin kSncBuiltins[4];

// Loads library name into adapter slot index, resolves its functions
// (strict: export/import_sec_context required), picks the adapter and
// finishes the record. An external adapter that reports type 0 leaves the
// slot empty with success.
SNC_RC SncPDLInit(int index, const char* name, bool strict);

// Resolves count rows of names with prefix into table; *missing gets bit
// slot for every function not found. SNCERR_INIT when a row's rule makes a
// missing function fatal (kSncFnStrict only when strict), or the loader
// fails otherwise; SNCERR_INTERNAL for a name over 62 characters.
SNC_RC SncIResolveFunctions(DL_HDL lib, DL_FUNC* table, const SncFnName* names, size_t count,
                            const char* prefix, bool strict, uint32_t* missing);

// Frees adapter slot index: releases its mechanism set, frees the record
// and unloads its library.
void SncPFreeAdapter(int index);

// --- Sessions (the parts that frames and names use) -------------------------------

// The output buffer of a session: the frames it builds. room is the most
// extension, token and data that a frame may carry in it.
struct SncOutBuf {
  uint8_t* data;
  uint32_t capacity;
  uint32_t room;
  uint32_t used;
};

// Kind of a canonical form.
enum : uint8_t { SNC_XPNAME_NONE = 0, SNC_XPNAME_EXPORTED = 3 };
#define SNC_PRNAME_MAX 256  // bytes of a printable name with its terminator

// A name in its canonical and printable forms.
struct SncName {
  uint8_t* xpName;  // owned; the adapter type (BE16) and the exported name
  uint16_t xpLen;
  uint8_t xpKind;
  uint8_t ntIndex;       // 1..9, name-type letter index
  uint8_t adapterIndex;
  char prName[SNC_PRNAME_MAX];  // letter ':' name, terminated; empty when none
};

#define SNC_HDL_MARK 0x0CAFFEE0u

// Session states.
enum : int32_t {
  SNC_STATE_NONE = 0,
  SNC_STATE_UNDECIDED = 1,
  SNC_STATE_DO_INITIATE = 2,
  SNC_STATE_DO_ACCEPT = 3,
  SNC_STATE_DO_INI_REFR = 4,
  SNC_STATE_DO_ACC_REFR = 5,
  SNC_STATE_INITIATING = 6,
  SNC_STATE_ACCEPTING = 7,
  SNC_STATE_INI_REFR = 8,
  SNC_STATE_ACC_REFR = 9,
  SNC_STATE_ESTABLISHED = 10,
  SNC_STATE_SHUTDOWN = 11,
  SNC_STATE_SHUTDOWN_MSG = 12,
  SNC_STATE_DEAD = 13,
  SNC_STATE_ERROR = 14,
};

// A copy of a peer name form handed out by a query; the session keeps
// every copy until it is done, so that a later change of its names leaves
// what callers hold intact.
struct SncKept {
  SncKept* next;
  int kind;  // SNC_KEPT_*
  size_t len;     // bytes of data
  uint8_t* data;  // right behind the record, in the same allocation
};
enum : int { SNC_KEPT_PRNAME = 1, SNC_KEPT_ACLKEY = 2, SNC_KEPT_PRNAME16 = 3 };

struct SncSession {
  uint32_t mark;
  int32_t adapterIndex;
  int32_t transport;
  int32_t state;
  int32_t role;
  int32_t authType;
  uint16_t adapterType;
  int32_t lastErr[3];
  uint16_t frameFlags;  // bit 0 while a refresh runs
  bool integAvail, confAvail;
  int32_t qopUse, qopMin, qopMax, qopMaxAvail, ctxLevel;
  int32_t lastDataLevel;
  int32_t peerQopMin, peerQopMax, peerQopUse;
  uint32_t framesOut, framesIn;
  SncOutBuf out;
  gss_ctx_id_t ctx;
  gss_name_t peerGssName;  // the target (initiator) or the source (acceptor)
  gss_cred_id_t cred;
  SncName myName, peerName;
  gss_buffer_desc unwrapped;  // the last unwrapped message, released before the next
  int32_t refWatermark;       // seconds; -1: no refresh
  uint16_t peerAdapterType;
  char peerIdText[160];
  uint8_t peerVersion;
  bool ackFlag;  // INIT_REQ sent or received, establishment not yet acknowledged
  // What the last SncPFrameIn delivered (action 8).
  const uint8_t* dataOut;
  uint32_t dataOutLen;
  int32_t dataLevel;
  SncKept* kept;  // newest first; freed with the session
};

// Roles.
enum : int32_t { SNC_NO_ROLE = 0, SNC_INITIATE = 1, SNC_ACCEPT = 2, SNC_HIDDEN_INITIATE = 3 };

// Action bits of the state machine's steps.
enum : int { SNC_ACT_SEND = 2, SNC_ACT_MORE = 4, SNC_ACT_DATA = 8 };

// Names of states and roles without their prefixes ("ESTABLISHED", "INITIATE").
const char* SncPStateName(int state);
const char* SncPRoleName(int role);

// Lifetimes as "%02uh %02um %02us", "Expired" for 0, "Indefinite" for
// 0xFFFFFFFF, in buf.
const char* SncPLifetimeText(uint32_t seconds, char* buf, size_t size);

// Takes a role (SNC_INITIATE with the target already in peerName, or
// SNC_ACCEPT): state NONE or UNDECIDED only.
SNC_RC SncPSetRole(SncSession* s, int role, uint32_t sizeHint);

// Credentials of usage GSS_C_INITIATE or GSS_C_ACCEPT for the own name (or
// the default ones) into s->cred. With lifetime, none or expired ones give
// success, no credential and lifetime 0.
SNC_RC SncPAcquireCred(SncSession* s, int usage, OM_uint32* lifetime);
SNC_RC SncPCheckCred(SncSession* s, int usage, OM_uint32* lifetime);

// The remaining lifetime of an established context (0 when expired).
SNC_RC SncPContextTime(SncSession* s, OM_uint32* seconds);

// One establishment step with the peer's token (NULL for none); *out is the
// token to send (release with SncPReleaseBuffer), *complete whether the
// context is established.
SNC_RC SncPEstablishContext(SncSession* s, const uint8_t* token, uint32_t len, gss_buffer_desc* out, bool* complete);

// Deletes the context and releases credential and peer internal name,
// then takes the role again in target state 2 or 4 (initiator) or 3 or 5
// (acceptor).
SNC_RC SncPReplaceContext(SncSession* s, int target);

// The sending step with a block of user data (may be empty): *action is 2
// (a data frame; the block consumed), 6 (a context frame; the block not
// consumed) or 4 (nothing to send now).
SNC_RC SncPFrameOut(SncSession* s, const uint8_t* data, uint32_t len, int* action);

// The receiving step on the frame at the start of in: *used the bytes of
// the frame, *action the bits above; delivered data in s->dataOut.
SNC_RC SncPFrameIn(SncSession* s, const uint8_t* in, uint32_t len, int* action, uint32_t* used);

// Frees the copies of names that the session's queries handed out.
void SncPFreeKept(SncSession* s);

// Releases everything a session holds (context, names, credential,
// buffers, handed-out copies), the record itself excepted.
void SncPSessionRelease(SncSession* s);

// --- Frames ------------------------------------------------------------------------

enum SNC_FRAME_T : uint8_t {
  FR_REVERSE_REQ = 0,
  FR_INIT_REQ = 1,
  FR_INIT = 2,
  FR_INIT_ACK = 3,
  FR_ACCEPT = 4,
  FR_ACCEPT_ACK = 5,
  FR_ACCEPT_FAILED = 6,
  FR_DATA_OPEN = 7,
  FR_DATA_MIC = 8,
  FR_DATA_WRAP = 9,
  FR_SHUTDOWN = 10,
  FR_SHUTDOWN_MSG = 11,
  FR_REJECTED = 12,
  FR_ERROR = 13,
  FR_COUNT = 14,
};

#define SNC_FRAME_HDR 24
#define SNC_FRAME_VERSION 5
#define SNC_FRAME_ITEMS 8
#define SNC_FLAG_REFRESH 0x0001u

// The name of a frame type without its "FR_" ("INIT" ...), "????" beyond.
const char* SncPFrameName(int type);

// A byte range; no bytes (NULL or length 0) means absent.
struct SncBytes {
  const uint8_t* p;
  uint32_t len;
};

struct SncParsedFrame {
  uint8_t type, version;
  uint16_t adapterType, flags, hdrLen;
  uint32_t tokenLen, dataLen;
  const uint8_t* token;
  const uint8_t* data;
  uint32_t frameLen;  // bytes the frame takes of the input
  uint8_t qopMin, qopMax, qopUse;  // 0 when the frame carries no QOP
  uint32_t itemMask;
  SncBytes item[SNC_FRAME_ITEMS];
};

// Whether token and data lengths obey the rules of type (0..13).
bool SncPCheckFrame(int type, uint32_t tokenLen, uint32_t dataLen);

// Makes room in out for a frame of need bytes: a new buffer of ((need +
// 2087) rounded down to 2048) - 40 bytes when need exceeds the capacity.
SNC_RC SncPGrowOutBuf(SncOutBuf* out, uint64_t need);
void SncPFreeOutBuf(SncOutBuf* out);

// Builds one frame into out. items is NULL or SNC_FRAME_ITEMS ranges.
SNC_RC MakeFrame(SncSession* s, SncBytes token, SncBytes data, int type, uint16_t flags, const SncBytes* items,
                 SncOutBuf* out);

// Parses the frame at the start of in (len bytes) into *f; positions point
// into in. s (may be NULL) counts it.
SNC_RC UnFrame(SncSession* s, const uint8_t* in, size_t len, SncParsedFrame* f);

// An ERROR frame from the peer: its code (item 3, two bytes) negated, or
// -10 without one; for SNCERR_WRONG_TARGET the peer's texts go into the
// error information and item 0 becomes the peer's canonical name. The
// session is in state ERROR afterwards.
SNC_RC SncPReceiveErrorFrame(SncSession* s, const SncParsedFrame* f);

// Local text to network form and back: at most size - 1 bytes, terminated;
// bytes outside 0x20..0x7E become '?'. Return the bytes written.
size_t SncPStringToNet(const char* src, size_t srcLen, char* dst, size_t size);
size_t SncPNetToString(const char* src, size_t srcLen, char* dst, size_t size);

// --- Names ---------------------------------------------------------------------------

// Parses a printable name (len 0: up to the terminator) into rec.
SNC_RC SncPImportPrName(const char* text, size_t len, SncName* rec);

// Stores one form in rec: ntIndex 3 the canonical form's exported name
// (bytes without the type), any other the printable form.
SNC_RC SncPSetName(int ntIndex, int adapterIndex, const uint8_t* bytes, size_t len, SncName* rec);

// An application's printable name or a peer's canonical form into rec with
// both forms, through the GSS-API. NULL or an empty name clears rec.
SNC_RC SncPSetNewName(SncSession* s, SncName* rec, const char* name, size_t len, bool canonical);

// Between name records and GSS internal names.
SNC_RC SncPGSSImportName(SncSession* s, const SncName* rec, gss_name_t* out);
SNC_RC SncPExportGSSName(SncSession* s, gss_name_t name, SncName* rec);
SNC_RC SncPDisplayGSSName(SncSession* s, gss_name_t name, SncName* rec);

// Whether two object identifiers (either may be NULL) are the same.
bool SncPSameOid(const gss_OID_desc* a, const gss_OID_desc* b);

// Whether two canonical forms are equal.
SNC_RC SncPCompareNames(const SncName* a, const SncName* b, bool* equal);

// Empties rec and frees its canonical form.
void SncPClearName(SncName* rec);

// Releases a GSS name or buffer, recording SNCERR_PLAUSI when the library
// refuses; the handle is cleared in any case.
void SncPReleaseName(const SncAdapter* a, gss_name_t* name);
void SncPReleaseBuffer(const SncAdapter* a, gss_buffer_t buf);

// Records a GSS-API failure: the texts of the major and minor status, the
// error trace lines and the thread's error information under code.
void SncPErrFunc(const SncAdapter* a, const char* func, const char* gssCall, SNC_RC code, OM_uint32 major,
                 OM_uint32 minor, const char* text, const char* object);

#endif
