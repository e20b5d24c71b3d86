// Code page converter: the services that every part of the converter and its
// callers share. This is the module's front door; the UTF transforms of
// rscpu.h are part of it.
//
// Errors. Every converter failure goes through rscpe__error, which records it
// on the calling thread's error stack, writes the system log when the return
// code asks for it, and returns the code for the caller to return. A caller
// passes an accept mask of the return-code bits it handles (-1: all); a code
// outside the mask is fatal and ends the process. Stacks are per thread; the
// sequence counter and the print and report options are process-wide relaxed
// atomics (a race costs at most a repeated sequence number).
//
// Per-thread context. rscpGetThrCtx never fails: each thread gets its own
// record under a thread-local key, freed when the thread ends; threads that
// cannot get a key share one fallback record.
//
// Hooks. The converter reaches memory, the system log, time, sleeping,
// trace, profile parameters, default code pages, the cache mutex and the
// cache memory through the constant table rscpHooks. Its defaults make the
// converter self-contained: every profile parameter is unset, the write
// permission is always granted, the cache is heap memory, and system-log
// entries become lines on standard error.
//
// The 'CCC' mutex (slots 25 to 27) guards the converter cache. No code locks
// it twice on one thread (debug builds assert that); nothing that takes it
// may be called while it is held except the converter's own cache work.
//
// All texts are WEQ_UC; fixed-width fields are blank-padded and carry no
// terminator.
#ifndef KRN_RSCP_RSCP_H
#define KRN_RSCP_RSCP_H

#include <stddef.h>
#include <stdint.h>

#include "krn/rscp/rscpu.h"
#include "weq_types.h"

// --- Return codes -------------------------------------------------------------

typedef int rscpRc_t;

enum : rscpRc_t {
  RSCPEINTERN = 1,       // some other internal error
  RSCPEIO = 8,           // some I/O error
  RSCPEINVAL = 16,       // invalid arguments
  RSCPETOOLONG = 32,     // the data was longer than the buffer (callers double and retry)
  RSCPECALL = 64,        // illegal mixture of procedure calls
  RSCPENOOBJ = 128,      // no such object
  RSCPEBUSY = 256,       // object is busy or locked
  RSCPEUNIQ = 512,       // selects more than one object
  RSCPENOCONV = 2048,    // wanted conversion not available
  RSCPEBADO = 4096,      // a handle is invalid or corrupted
  RSCPEODATA = 8192,     // there is no more data
  RSCPEROLLBACK = 16384, // a data base roll back happened
};

// A code page id: four decimal digits, no terminator ("4103"; "0000" unset).
typedef WEQ_UC rscpCp_t[4];

// --- Error stack ----------------------------------------------------------------

#define RSCP_ERR_ENTRIES 5
#define RSCP_ERR_PARAM_LEN 64

typedef struct rscpErrEntry_t {
  WEQ_UC errClass;       // 'C' converter, 'J' Java bindings, 'F' OS error, ...
  int32_t rc;
  WEQ_UC module[8];      // module name
  int32_t location;      // report site within the module
  int32_t line;          // source line of the report
  WEQ_UC msgArea[20];    // "TS"
  WEQ_UC msgNumber[3];   // from the return code's row ("006")
  WEQ_UC msgCode[3];     // such as "F24"
  WEQ_UC param1[RSCP_ERR_PARAM_LEN];
  uint8_t param1Len;     // 0..64
  WEQ_UC param2[RSCP_ERR_PARAM_LEN];
  uint8_t param2Len;
  WEQ_UC text[68];
  uint8_t logged;        // 1 once the entry went to the system log
  uint32_t seqNo;        // from the process-wide error counter
} rscpErrEntry_t;

typedef struct rscpErrStack_t {
  uint16_t count;        // reports since the stack was started; may exceed 5
  rscpErrEntry_t entries[RSCP_ERR_ENTRIES];  // oldest first; the fifth is overwritten
  int32_t osErrno;       // the first errno seen since the stack was cleared
  WEQ_UC osText[72];
  WEQ_UC initName[30];   // who started the converter impromptu; blank otherwise
} rscpErrStack_t;

// --- Per-thread context -----------------------------------------------------------

#define RSCP_CLONE_COUNTERS 18
#define RSCP_TABLES 32

typedef struct rscpThrCtx_t {
  uint8_t fileFlag;                   // 1 once this thread read a table file
  uint32_t words1[32];
  uint32_t words2[32];
  uint32_t tableReads[RSCP_TABLES];   // moved into the cache header by the flush
  rscpErrStack_t errors;
  uint8_t append;                     // the next report appends (after an OS-error push)
  uint64_t bytesIn;
  uint64_t bytesOut;
  uint32_t lookups;
  uint32_t createObject;
  uint32_t clones[RSCP_CLONE_COUNTERS];
  uint32_t spare[3];
  uint8_t spareByte;
} rscpThrCtx_t;

// The calling thread's record; never NULL.
rscpThrCtx_t* rscpGetThrCtx(void);
// Frees the calling thread's record and deletes the key (the library's
// unload, after the converter's finish). The next rscpGetThrCtx starts over.
void rscpFreeThrCtx(void);

// --- Error reporting ----------------------------------------------------------------

// Reports one error and returns rc, or ends the process when rc & acceptMask
// is 0. moduleId is the reporting module's identification text without
// its "@(#)" marker, such as u" $Id: krn/rscp/rscphook.cpp $": the module
// name is the path's last component up to its first '.', blank, '#' or tab,
// cut to 8 units (NULL gives "?modul?"); trace lines show the text up to its
// first '#'. A parameter
// length of -1 means a 0-terminated parameter; 0 or a NULL parameter is
// empty; parameters are cut at 64 units. NULL text gives "?text?".
// Has the signature rscpuErrFunc_t.
int rscpe__error(int rc, WEQ_UC errClass, int acceptMask, const WEQ_UC* moduleId,
                 int location, int line, const WEQ_UC* text, const WEQ_UC* msgCode,
                 const WEQ_UC* param1, int param1Len, const WEQ_UC* param2, int param2Len);

// Records an operating-system error so that the next report appends to it;
// pushes in a row append to each other (six give a count of 6). length < 1:
// text is 0-terminated.
void rscpePushOsError(int err, const WEQ_UC* text, int length);

rscpErrStack_t* rscpeg__get_thr_errors(void);
void rscpeClearErrors(rscpErrStack_t* stack);
void rscpeClearThrErrors(void);

// A print callback receives one line (at most 100 units, no terminator).
typedef void (*rscpPrintLine_t)(const WEQ_UC* line, int length, void* arg);
// A line output takes one text of length units (-1: 0-terminated).
typedef void (*rscpLineOut_t)(const WEQ_UC* text, int length);

void rscpeps__print_error_stack(const rscpErrStack_t* stack, rscpPrintLine_t cb, void* arg);
// Writes the entries not yet logged to the system log, newest first.
void rscpeSyslogErrors(rscpErrStack_t* stack);
// Print callback that hands each line to the rscpLineOut_t passed as arg.
void rscpeLineAdapter(const WEQ_UC* text, int length, void* output);

// Print options: style 2 plain, anything else boxed (default); sequence
// numbers on when n is 1 (default off); the "from" line of class 'C' shown
// when n is not 0 (default on).
void rscpeSetPrintStyle(int n);
int rscpeGetPrintStyle(void);
void rscpeSetShowSeqNo(int n);
int rscpeGetShowSeqNo(void);
void rscpeSetShowClassC(int n);
int rscpeGetShowClassC(void);
// level < 1 clears both flags, 1 sets the first, 2 or more both; each
// returns how many of its two flags were set before. With on-error level 1
// every report prints the stack to the error output.
int rscpeSetVerbose(int level);
int rscpeSetOnError(int level);
// How many of the two verbosity flags are set (0, 1 or 2).
int rscpeGetVerbose(void);

// --- Line outputs --------------------------------------------------------------------

// The error output writes the text and a new line to standard error as
// UTF-8; the warning output writes nothing.
void rscph_ErrorOutput(const WEQ_UC* text, int length);
void rscph_WarningOutput(const WEQ_UC* text, int length);

// --- Hook table ------------------------------------------------------------------------

typedef struct rscpSyslogParam_t {
  int length;            // < 0: 0-terminated
  const WEQ_UC* text;
} rscpSyslogParam_t;

// Free tag that releases a block; any other tag keeps it.
#define RSCPH_FREE_TAG 254
// Fill byte that leaves a new block as malloc gives it.
#define RSCPH_NO_FILL 222

typedef struct rscpHooks_t {
  // 1: block of size bytes filled with fill (unless RSCPH_NO_FILL), or NULL.
  void* (*alloc)(const WEQ_UC* label, int tag, int location, size_t size, int fill);
  // 2: frees block when tag is RSCPH_FREE_TAG and returns 0; else -1.
  int (*freeBlock)(const WEQ_UC* label, void* block, int tag);
  // 3: entry of one type character, a 3-unit code and 64 units of data.
  void (*syslog)(WEQ_UC type, const WEQ_UC* code, const WEQ_UC* data);
  // 4, 5: free text and numbered parameters.
  void (*syslogText)(const WEQ_UC* text, int length);
  void (*syslogParams)(int count, const rscpSyslogParam_t* params);
  // 6: local time as 16 digits YYYYMMDDhhmmss00 (no terminator).
  void (*timeStamp)(WEQ_UC* stamp);
  // 7: option bytes; the second switches the function trace of 12 and 13 on.
  const uint8_t* optionBytes;
  // 8: sleeps; returns the sleep's result.
  int (*sleep)(uint32_t seconds);
  // 9 to 15: trace.
  int (*traceActive)(void);
  void (*debugStop)(void);
  void (*trace)(const WEQ_UC* line, int length);
  void (*funcEnter)(const WEQ_UC* name, int nameLen, int a, int b, void* frame);
  void (*funcExit)(int rc, int a, int b, void* frame);
  void (*labelBegin)(const WEQ_UC* label, void* frame);
  void (*labelEnd)(void* frame);
  // 16: locale of the process.
  const WEQ_UC* (*setLocale)(int category, const WEQ_UC* locale);
  // 17: ends the process after a fatal report.
  void (*abortProcess)(int severity, const WEQ_UC* area, int number, int a, int b,
                       const WEQ_UC* p1, int p1Len, const WEQ_UC* p2, int p2Len);
  // 18: a profile parameter's value, NULL when unset.
  const WEQ_UC* (*param)(const WEQ_UC* name);
  // 19: value and built-in default (each out pointer may be NULL); 0.
  int (*paramDetail)(const WEQ_UC* name, const WEQ_UC** value, const WEQ_UC** dflt);
  // 20 to 23: default code page, language letter, unset code page.
  const WEQ_UC* defaultCp;  // 4 units
  rscpRc_t (*getDefaultCp)(rscpCp_t* cp);
  rscpRc_t (*getKeyChar)(WEQ_UC* key);
  rscpRc_t (*getUnsetCp)(rscpCp_t* cp);
  // 24 to 28: the 'CCC' mutex; location numbers name the caller in reports.
  rscpRc_t (*semaStep1)(int location);
  rscpRc_t (*semaStep2)(int location);
  rscpRc_t (*lock)(int location);
  rscpRc_t (*unlock)(int location);
  rscpRc_t (*describeSema)(const WEQ_UC* holder, int location, rscpPrintLine_t out,
                           void* outArg, int detail, uint8_t* notInit);
  // 29, 30: write permission of the cache.
  rscpRc_t (*getWritePermission)(int location);
  rscpRc_t (*releaseWritePermission)(int location);
  // 31, 32: cache memory.
  rscpRc_t (*allocCache)(void** cache, uint8_t* shared, uint8_t* attached,
                         const WEQ_UC** method, size_t size, int location);
  rscpRc_t (*releaseCache)(void* cache, int location, uint8_t* released);
  // 33: announces, sleeps through slot 8 and announces again.
  int (*waitBeforeClearing)(uint32_t seconds);
} rscpHooks_t;

extern const rscpHooks_t rscpHooks;

// Defaults of the slots that other parts call by name.
rscpRc_t rscph_GetDefaultCodePage(rscpCp_t* cp);
rscpRc_t rscph_GetKeyChar(WEQ_UC* key);
rscpRc_t rscph_GetUnsetCodePage(rscpCp_t* cp);
// One line about the 'CCC' mutex (holder may be NULL, location < 1 means
// none); *notInit becomes 1 when the thread library is not initialised.
rscpRc_t rscph_DescrSemaphore(const WEQ_UC* holder, int location, rscpPrintLine_t out,
                              void* outArg, int detail, uint8_t* notInit);
// Heap memory for the cache; *method becomes u"malloc". F33 on failure.
rscpRc_t rscph_AllocateCCCC(void** cache, uint8_t* shared, uint8_t* attached,
                            const WEQ_UC** method, size_t size, int location);
rscpRc_t rscph_ReleaseCCCC(void* cache, int location, uint8_t* released);
int WaitBeforeClearing(uint32_t seconds);

// Load steps of the converter's start and finish; they only trace.
rscpRc_t rscpli__load_init(int location);
rscpRc_t rscpli__load_finish(int location);

// Sort order of segment records (12 bytes): the low 7 bits of their third
// 32-bit word.
int rscpCompareSegKey(const void* a, const void* b);

// --- Options, invalidation, status check -------------------------------------------------

// Sets or reads one numbered converter option; what a set does depends on
// the converter's state. Once started, a set takes the 'CCC' mutex and the
// write permission: never call it while holding the mutex.
// rscpgo_get_option returns 0, or 1 for an option it cannot answer in this
// state.
rscpRc_t rscpso_set_option(int option, long value);
int rscpgo_get_option(int option, long* value);

// Marks the cache for rebuilding (reason of length units; NULL: the
// function's own name). The plain form expects the 'CCC' mutex held; the
// locked form takes the mutex (when the calling thread does not hold it)
// and the write permission around it.
rscpRc_t rscpict3_invalidate_convert_tables(void* unused1, void* unused2, const WEQ_UC* reason,
                                            int length, int acceptMask);
rscpRc_t rscpInvalidateLocked(void* unused1, void* unused2, const WEQ_UC* reason, int length,
                              int acceptMask);

// Checks the cache header; each finding is one line of at most 100 units
// to the error or the warning output. Returns 1 when the check had to stop.
int rscpqc_quality_check(rscpPrintLine_t errOut, void* errArg, rscpPrintLine_t warnOut, void* warnArg,
                         void* reserved, long* errors, long* warnings);
// True when the 16 units are a plausible time stamp YYYYMMDDhhmmss00.
bool rscpCheckDate16(const WEQ_UC* text);

// --- Start, finish, rebuild -----------------------------------------------------------------

// Starts the converter (INIT passes -1); 0 at once when it runs already.
// Any number of threads may start at once: one builds the cache.
rscpRc_t rscpi_init(int acceptMask);
// The start that a conversion makes when nothing started the converter:
// writes a notice naming the caller and starts, or ends the process when
// RSCP_CATCH_INIT asks for it ("a") or a file of that name exists in the
// working directory (it is removed).
rscpRc_t rscpi_init_just_in_case(const WEQ_UC* caller);
rscpRc_t rscpi__init(int acceptMask);
// Frees the cache and returns to state 0. Only the library's unload calls
// it, when no other thread converts.
rscpRc_t rscpf_finish(int acceptMask);
// Rebuilds an invalidated cache. Mode 0: the function takes the 'CCC' mutex
// and the write permission itself; 1: the caller holds the mutex; 2: the
// caller holds both.
rscpRc_t rscpnr__need_reorg(int mode, int acceptMask);
// Reads RSCP_ON_ERROR, RSCPTRACE and their profile parameters.
void rscpReadTraceOptions(void);

// The database code pages of the cache: at most max into out, their number
// into *count; 32 when there were more.
rscpRc_t rscpGetDBCodePages(rscpCp_t* out, int max, int* count);

// A report of the cache, line by line (at most 100 units each) through cb.
// Section bits: 1 memory map, 2 code page table, 4 read statistics, 64
// reorganisation, counters, options, locales and rule data, 0x200 lookups,
// 0x80 language mappings, 0x100 legacy callers, 16 sources, 8 all of
// 0x40-0x200, 32 also code pages without loaded tables. Returns 0.
int rscpcs_cache_status(int sections, rscpPrintLine_t cb, void* arg);

// --- Enumeration names -------------------------------------------------------------------

// Constant names; the three with a numeric fallback ("unknown(%d)",
// "unknown_out_rule(%d)") write it into a buffer of the calling thread that
// its next call with an unknown value overwrites.
const WEQ_UC* rscpNameOfMethod(uint32_t method);
const WEQ_UC* rscpNameOfNLS(uint32_t nls);
const WEQ_UC* rscpNameOfOutRule(uint16_t rule);
const WEQ_UC* rscpNameOfFill(int32_t v);
const WEQ_UC* rscpNameOfBroken(int32_t v);
const WEQ_UC* rscpNameOfCtrlCodeCv(int32_t v);
const WEQ_UC* rscpNameOfOwnChCv(int32_t v);
const WEQ_UC* rscpNameOfUseF1(int32_t v);
const WEQ_UC* rscpNameOfDrop(int32_t v);
const WEQ_UC* rscpNameOfTable(int32_t index);

// --- Converter object -------------------------------------------------------------------
// One conversion from an input to an output code page: its options, the
// method chosen for the pair, the cache tables it uses (by number only) and
// the shift state that a stateful encoding carries between calls. It owns
// no memory and is copied byte for byte: the Java side keeps its 172 bytes
// between calls, so the layout is an external format (machine byte order).
// An object belongs to one caller at a time; nothing here locks it.

typedef struct rscpCObj_t {
  uint32_t cache_version;    // the cache's reorg_version when last chosen; 0 never
  rscpCp_t from_cp;
  rscpCp_t to_cp;
  uint16_t subst_char16;
  uint8_t use_subst;
  uint8_t ccci_use_1_subst;  // not supported: traced and ignored
  uint8_t reserved24;
  uint8_t use_1_copy;
  uint8_t reserved26[2];
  uint32_t subst_count;
  uint32_t rscpbroken;       // 0 stop_finally, 1 like_miss, 2 stop_restartable
  uint32_t rscpfill;         // 0 never, 1 nulls, 2 spaces, 3 and_trunc_spaces
  uint8_t no_direct;         // 1: never the copying methods
  uint8_t reserved41[3];
  uint32_t useF1;            // 1 not, 2 only, 3 enforce, 4 try, 5 customizable
  uint32_t drop;             // 0 stop, 1 like_miss, 2 remove, 3 space
  uint32_t rscpCtrlCodeCv;   // 0 illegal, 1 try
  uint32_t rscpWEQOwnChCv;   // 0 ignore, 1 try
  // From here on derived by the method chooser, except the language fields
  // and the shift states.
  uint32_t method;           // 0 not chosen, 1 deactivated, 2..49
  uint8_t in_looked_up;
  uint8_t out_looked_up;
  uint8_t reserved66[2];
  uint32_t in_t1;            // input root T1 block number
  uint32_t out_t1;           // output T2 offset from the cache start
  uint8_t reserved76[4];
  uint8_t in_maxln;
  uint8_t out_maxln;
  uint16_t lang_key;
  uint8_t lang_key_set;
  uint8_t lang_cp_used;
  uint8_t lang_cp_set;
  uint8_t reserved87;
  rscpCp_t lang_cp;
  uint32_t in_nls;
  uint16_t in_minor;
  uint8_t in_mixed;
  uint8_t reserved103;
  uint32_t out_nls;
  uint16_t out_minor;
  uint8_t reserved110[2];
  uint32_t h_last_NLS_to_4000;
  uint8_t out_mixed;
  uint8_t reserved117[3];
  uint32_t in_nls_loop;
  uint8_t in_space[4];
  uint32_t in_space_len;
  uint8_t out_space[4];
  uint32_t out_space_len;
  rscpCp_t in_cp_subst;
  uint8_t in_cp_substituted;
  uint8_t out_cp_substituted;
  rscpCp_t out_cp_subst;
  uint16_t reserved158;
  uint32_t subst_char;
  // Bits 0-9 input ISO-2022 groups, 10-13 input shift state, 14-23 output
  // groups, 24-27 output shift state.
  uint32_t shift_state;
  uint32_t shortcut_t1;
} rscpCObj_t;

// Starts the converter impromptu if needed, then sets the object from its
// template, the two code pages and the options (mode 0 plain, 1 substitute,
// 2 substitute and copy-one, 3 copy-one). Returns the start's code.
rscpRc_t rscpCInit(rscpCObj_t* obj, const rscpCp_t* from, const rscpCp_t* to, int32_t mode, int32_t broken,
                   int32_t fill);
// Chooses the method with a full reset of both sides.
rscpRc_t rscpCLoadTables(rscpCObj_t* obj);
rscpRc_t rscpCSetCtrlCodeCv(rscpCObj_t* obj, int32_t value);
rscpRc_t rscpCSetOwnChCv(rscpCObj_t* obj, int32_t value);
rscpRc_t rscpCDeactivate(rscpCObj_t* obj);
// An 8-byte snapshot: cache_version, then shift_state bits 0-27 (bits
// 28-31 of the snapshot's second word are kept).
void rscpCSaveState(const rscpCObj_t* obj, uint32_t snapshot[2]);
bool rscpCSameState(const rscpCObj_t* obj, const uint32_t snapshot[2]);

// --- Conversion ---------------------------------------------------------------------------
// rscpCConvert converts the bytes *in .. inEnd from the object's input code
// page into *out .. outEnd in its output code page by the object's method.
// Result 0: the whole input converted (the rest of the output filled as
// rscpfill says); 32 the output is full (call again with the rest of the
// input, or a larger output); 512 a broken input character; 2048 no method
// or a character that cannot be converted; 16 bad buffers; or the code of a
// failed choice of tables. Both pointers are advanced by the bytes
// consumed and produced, except for the early failures (bad buffers, no
// object, a refresh that failed, missing tables), which move neither.
// Input and output may start at the same address for at most 512 input
// bytes. The call allocates nothing; it reads the cache without a lock.
rscpRc_t rscpCConvert(rscpCObj_t* obj, WEQ_RAW** out, WEQ_RAW* outEnd, const WEQ_RAW** in, const WEQ_RAW* inEnd);

// Chooses the output side when it was not looked up, or both sides when the
// cache was rebuilt since the choice; 0 when the object has its output table.
rscpRc_t rscpCCheckOutTab(rscpCObj_t* obj);
// Writes one character number (a Unicode scalar value or one of the
// converter's own numbers) in the output code page and advances *pos; an
// unconvertible character becomes subst_char when use_subst is 1. 32 when
// the code does not fit (nothing written), 2048 when it cannot be written.
rscpRc_t rscpCPutChar(rscpCObj_t* obj, WEQ_RAW** pos, WEQ_RAW* end, uint32_t c);
// The same for the system's own character number, and for a character
// number after the output-table check; both count one character in and the
// bytes written in the thread's counters.
rscpRc_t rscpCPutCharNumber(rscpCObj_t* obj, WEQ_RAW** pos, WEQ_RAW* end, uint16_t weqcode);
rscpRc_t rscpCPutCharCounted(rscpCObj_t* obj, WEQ_RAW** pos, WEQ_RAW* end, uint32_t c);
// Applies the object's drop option to a character that a table drops:
// *result 0 handled, 1 stop (drop 0), 2 output full or an unknown drop
// value, 3 failed with the returned code.
rscpRc_t rscpCDropChar(rscpCObj_t* obj, WEQ_RAW** pos, WEQ_RAW* end, int* result);
// Handles the input character charStart .. charEnd that has no output:
// 0 substituted or copied, 1 the check or the writer failed (*code, may be
// NULL), 2 output full (nothing written), 3 neither substitution nor copy.
int rscpCUnconvertible(rscpCObj_t* obj, WEQ_RAW** pos, WEQ_RAW* end, const WEQ_RAW* charEnd,
                       const WEQ_RAW* charStart, rscpRc_t* code);
// "len=%d,data=" and at most the first 10 bytes as two hex digits each,
// terminated, into buf of RSCPC_DATA_UNITS units.
#define RSCPC_DATA_UNITS 48
void rscpCFormatData(WEQ_UC* buf, const WEQ_RAW* bytes, int length);

// --- Exported conversion tables ------------------------------------------------------------
// Flat tables for the shortcut types of rscpNoShortCutConversion, built for
// an object that the chooser completed for that direction (it chooses again
// when the cache was rebuilt since). The caller owns every buffer in the
// sizes given. 16-bit entries hold output bytes in output order (the first
// byte at the lower address); a value without a code gets subst_char (the
// low byte of subst_char16 for one-byte output). Output written before a
// failure stays. 16 when the method or options allow no flat table, 2048
// for a table word that a flat table cannot hold.
//
// Single-byte input to UTF-16: one entry per input byte (256).
rscpRc_t rscpCGetSb2UcTab(rscpCObj_t* obj, WEQ_UC* table);
// Double-byte input to UTF-16: per input byte its length (1, or 2 for a
// lead byte) and its entry (a single byte's output, or a lead byte's block
// index x 256); blocks of 256 entries, one per lead byte in byte order
// (room for 256 blocks): b1 | b2 << 8 for the output bytes b1 b2, a
// supplementary character as high surrogate << 16 | low surrogate, each in
// the output's byte order, 0xFFFF where the lead byte's own one-byte
// character (in fallback) stands; *blockCount the blocks written.
rscpRc_t rscpCGetDb2UcTab(rscpCObj_t* obj, uint8_t* leadLen, WEQ_UC* lead, uint32_t* blocks, int32_t* blockCount,
                          WEQ_UC* fallback);
// UTF-16 to single-byte output: one byte per unit value (65536), *used 1 +
// the highest value with a one-byte code.
rscpRc_t rscpCGetUc2SbTab(rscpCObj_t* obj, uint8_t* table, int32_t* used);
// UTF-16 to double-byte output: index (65536) of output codes (b1 << 8 | b2,
// or the single byte), where the high surrogates hold block numbers; blocks
// of 1024 codes indexed by the low surrogate's 10 bits (room for 1024
// blocks; one block of substitutions only is shared).
rscpRc_t rscpCGetUc2DbTab(rscpCObj_t* obj, WEQ_UC* index, WEQ_UC* blocks, int32_t* blockCount);

// --- Code page lookups ------------------------------------------------------------------
// The directory entry (184 bytes) of one code page, copied out.
struct rscpCpEntry_t;
rscpRc_t GetCPInfo(const rscpCp_t* cp, struct rscpCpEntry_t* entry);
// Byte-level kind of a code page: 0 Unknown, 1 Strange, 2 EBCDIC, 3 ASCII,
// 4 Utf8, 5 2ByteBig, 6 2ByteLittle, 7 4ByteBig, 8 4ByteLittle.
int rscpKindiOfCP(const rscpCp_t* cp);
// Whether the Java side may convert the chosen pair itself with exported
// tables: 0 no (the reason goes to the error output), 1 single-byte to
// UTF-16, 2 double-byte to UTF-16, 3 UTF-16 to single-byte, 4 UTF-16 to
// double-byte, 5 UTF-16 byte-swapped, 6 UTF-16 same order.
int rscpNoShortCutConversion(const rscpCObj_t* obj);
// Unicode value of the system's own character number, 0 when out of range.
uint32_t rscpCharNumberToUnicode(uint16_t weqcode);
// Always "4103" and RSCPENOOBJ, the normal answer.
rscpRc_t rscpGetSystemCodePage(rscpCp_t* cp);
// Bytes of the character at the start of bytes for a code page of NLS kind
// nls: 1 to 6, or 0 when they cannot start one or the kind is not handled.
// For kind 2 (JIS) the unit is an escape with the whole double-byte run
// behind it, so the length may exceed 6, and it is one more than available
// when the run stops inside a pair. Reads at most available bytes.
int rscpCharLenByNls(const uint8_t* bytes, int32_t available, int32_t nls);

// --- Unified code pages -------------------------------------------------------------------
// The member of the 61xx, 62xx or 65xx family that fits the language key
// (and for some keys the locale code page) on the input or output side.
// *asked becomes 0 for a family page and 1 when the locale code page was
// consulted; *localeCp, when not "0000", is used as the locale code page,
// else the hook is asked and its answer stored there. Other pages come back
// unchanged and leave the flag alone. Either pointer may be NULL.
void rscpUnifiedInCp(const rscpCp_t* cp, const WEQ_UC* key, uint8_t* asked, rscpCp_t* localeCp, rscpCp_t* out);
void rscpUnifiedOutCp(const rscpCp_t* cp, const WEQ_UC* key, uint8_t* asked, rscpCp_t* localeCp, rscpCp_t* out);

// --- Shift-JIS runs -----------------------------------------------------------------------
// Converts the leading run of Shift-JIS double-byte characters of in (lead
// bytes 0x81-0x9F and 0xE0 and above; level 1: 0x81-0x9F only, trail bytes
// up to 0xFC) with the writer of the target code page: 8200, 8210, 8211, or
// fixed two-byte JIS for any other number. On success *inlen becomes the
// bytes the writer took (the run, or less when the output filled at a
// character boundary), else the run's length; *outlen the writer's. Returns
// the writer's result (0 or RSCPETOOLONG).
rscpRc_t rscpSjisRunTo82xx(uint8_t* out, int32_t* outlen, const uint8_t* in, int32_t* inlen, const rscpCp_t* target);
rscpRc_t rscpSjisL1RunTo82xx(uint8_t* out, int32_t* outlen, const uint8_t* in, int32_t* inlen,
                             const rscpCp_t* target);

#endif
