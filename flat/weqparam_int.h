// Internals of the profile parameter store, shared by the store, its
// profile sources and the tests. No other module includes this header.
//
// A record carries a value through three layers, default, system and
// current, each with a raw, a substituted and a final stage. A stage
// inherits from the one before it as long as both refer to the very same
// string (identity, not equal text); weqparamISetStage pushes a new string
// on to the stages that still inherit before storing it.
#ifndef FLAT_WEQPARAM_INT_H
#define FLAT_WEQPARAM_INT_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "weq_types.h"

struct weqparamRec {
  const WEQ_UC* name;             // sort and search key
  const WEQ_UC* defaultRaw;       // stage 11: built-in default
  const WEQ_UC* defaultOverride;  // stage 12: from the override list
  const WEQ_UC* defaultValue;     // stage 13: built-in default substituted
  const WEQ_UC* systemRaw;        // stage 21: DEFAULT.PFL, else inherited
  const WEQ_UC* systemSubst;      // stage 23: "$$", $(NAME), %(NAME) done
  const WEQ_UC* systemFinal;      // stage 24: assembled; weqparamGetDefault
  uint8_t systemDone;             // system layer fully resolved
  const WEQ_UC* instanceRaw;      // stage 31: instance profile, else inherited
  const WEQ_UC* currentRaw;       // stage 32: command line, else inherited
  const WEQ_UC* currentSubst;     // stage 33
  const WEQ_UC* currentFinal;     // stage 34
  uint8_t currentDone;            // current layer fully resolved
  const WEQ_UC* value;            // weqparamGet's answer; set with stage 34
};

enum WeqpStage {
  kWeqpDefaultRaw = 11,
  kWeqpDefaultOverride = 12,
  kWeqpDefaultValue = 13,
  kWeqpSystemRaw = 21,
  kWeqpSystemSubst = 23,
  kWeqpSystemFinal = 24,
  kWeqpInstanceRaw = 31,
  kWeqpCurrentRaw = 32,
  kWeqpCurrentSubst = 33,
  kWeqpCurrentFinal = 34,
};

enum WeqpLayer { kWeqpLayerDefault = 0, kWeqpLayerSystem = 1, kWeqpLayerCurrent = 2 };

// --- The built-in tables ------------------------------------------------------

// Writable default buffers: rows whose default the store overwrites in place
// (counters, paths, derived values). Every stage that still shares the
// buffer shows the new text.
enum class WeqpBuf : uint8_t {
  kNone,
  kNDefault,          // __WEQPROFILE_n_DEFAULT
  kNPfFile,           // __WEQPROFILE_n_PF_FILE
  kCalls,             // __WEQPROFILE_CALLS
  kLastName,          // __WEQPROFILE_CALL_LAST_NAME
  kMallocs,           // __WEQPROFILE_MALLOCS
  kProfileInEffect,   // WEQPROFILE_IN_EFFECT
  kDefaultPfl,        // __WEQPROFILE_DEFAULT
  kSystemName,        // WEQSYSTEMNAME
  kLocalHostPath,     // LOCALHOSTPATH
  kLocalHostSidPath,  // LOCALHOSTSIDPATH
  kGlobalHostPath,    // GLOBALHOSTPATH
  kEmInitial,         // em/initial_size_MB
  kEmGlobal,          // em/global_area_MB
  kRollShm,           // rdisp/ROLL_SHM
  kRollMaxfs,         // rdisp/ROLL_MAXFS
  kPgShm,             // rdisp/PG_SHM
  kPgMaxfs,           // rdisp/PG_MAXFS
  kHeapTotal,         // qema/heap_area_total
  kProperties,        // jstartup/instance_properties
  kCount
};

struct WeqpDefaultRow {
  const WEQ_UC* name;
  const WEQ_UC* value;  // the default, or a buffer's first text
  WeqpBuf buf;
};

extern const WeqpDefaultRow kWeqpDefaults[];
extern const size_t kWeqpDefaultCount;
inline constexpr size_t kWeqpDefaultMax = 64;  // room for kWeqpDefaultCount

// Whether name is a directory parameter, which "(Default)" assembles from
// "__1_<name>" and "__2_<name>".
bool weqparamIIsDirParam(const WEQ_UC* name);

// The default of the properties-file row, extended and plain.
extern const WEQ_UC kWeqpPropertiesExt[];
extern const WEQ_UC kWeqpPropertiesPlain[];

// Capacity in units, terminator included, and the buffer itself.
size_t weqparamIBufUnits(WeqpBuf b);
WEQ_UC* weqparamIBuf(WeqpBuf b);

// Writes text into a buffer, cut to its capacity.
void weqparamISetBuf(WeqpBuf b, const WEQ_UC* text);

// Writes a number "%5.5d" (counts) into a buffer.
void weqparamISetCount(WeqpBuf b, int64_t n);

// Gives every buffer its first text again.
void weqparamIResetBuffers(void);

// --- Process-wide state -------------------------------------------------------

// Built by weqparamInit under the store's init lock; read-only afterwards.
struct WeqpState {
  weqparamRec* recs = nullptr;  // sorted by name
  size_t count = 0;
  size_t cap = 0;
  bool broken = false;          // an allocation failed: the store is empty
  bool argsRegistered = false;  // command-line pairs were registered
  bool flag700 = false;
  bool flagMsid = false;
  WEQ_UC sysNo[3] = {u'?', u'?', 0};  // the system number, "??" until known
  bool sysNoFromProfile = false;
  bool sysNameTaken = false;  // WEQSYSTEMNAME's first profile value copied
  int illegal = 0;            // illegal byte sequences met in profiles
  int64_t mallocs = 0;        // the figure of __WEQPROFILE_MALLOCS
};

WeqpState& weqparamIState(void);
bool weqparamIWarnings(void);

// Where the store's messages go: standard error, or nowhere once a test
// switches them off, which also saves formatting them (the fuzz target
// does, for every input). weqparamIReset leaves the switch as it is.
void weqparamISetMessages(bool on);
FILE* weqparamIMessages(void);  // stderr, or NULL while they are off

// The longest string the pool stores, in units: 8192, or less for a test
// (the fuzz target, whose values grow through references and are copied at
// each step); 0 restores 8192.
void weqparamISetMaxString(size_t units);

// One message of the store: a format and its arguments as for fprintfU16.
#define WEQP_MSG(...)                                                   \
  do {                                                                  \
    if (FILE* weqpOut_ = weqparamIMessages()) fprintfU16(weqpOut_, __VA_ARGS__); \
  } while (0)

// --- Records ---------------------------------------------------------------

// The record of name, or NULL; weqparamILookup counts it as a lookup (unless
// name is NULL or starts with '$'), weqparamIFind does not. The store must
// be built (or being built on this thread).
weqparamRec* weqparamIFind(const WEQ_UC* name);
weqparamRec* weqparamILookup(const WEQ_UC* name);

// Sets stage (a WeqpStage) to v with its cascade.
void weqparamISetStage(weqparamRec* r, int stage, const WEQ_UC* v);

// Appends a record for name, whose every stage holds the marker
// "(not_in_weqparam)", and keeps the array sorted. The array grows by
// growBy records when full. Returns the record (valid until the next
// append), or NULL when memory ran out: with fatal, "weqparam(5): realloc"
// is reported and the store becomes empty.
weqparamRec* weqparamIAppend(const WEQ_UC* name, size_t growBy, bool fatal);

// Resolves one layer of a record: "$$", $(NAME), directory assembly.
void weqparamIResolve(weqparamRec* r, WeqpLayer layer, int depth);

// --- String pool ------------------------------------------------------------

// Room for len units and a terminator, which the caller fills; never freed.
// NULL when len exceeds 8192 ("weqparam(10): line or value too long") or no
// memory is left.
WEQ_UC* weqparamIPoolAlloc(size_t len);
// A pool copy of the len units at s.
const WEQ_UC* weqparamIPoolCopy(const WEQ_UC* s, size_t len);

// --- Profile sources (weqprofile.cpp) ---------------------------------------

void weqparamIReadInstanceProfile(void);
void weqparamIHostPaths(void);
void weqparamIMemoryDefaults(void);
void weqparamIReadDefaultPfl(void);
// The derivation of one memory-derived row from a PHYS_MEMSIZE text: writes
// the row's buffer and returns true when name is one of those rows.
bool weqparamIDeriveMemory(const WEQ_UC* name, const WEQ_UC* memsize);

// --- Building, registration and test hooks (not exported) --------------------

// Builds the store once (what the first query does). Later calls return.
void weqparamInit(void);

// Registers a command-line pair (a command-line layer value; the pair
// "WEQPROFILE" names the instance profile) or an override-list entry.
// Before the first query only. 0, or -1 when memory ran out.
int weqparamIAddArg(const WEQ_UC* name, const WEQ_UC* value);
int weqparamIAddOverride(const WEQ_UC* name, const WEQ_UC* value);

// Discards the store and everything registered, restores the built-in
// buffers and switches warnings on again, so that the next query builds
// from scratch. Not for concurrent use.
void weqparamIReset(void);

// Replaces the allocator of the record array and the string pool (NULL:
// the C library's), so that tests can make allocations fail.
void weqparamISetAllocator(void* (*allocFn)(size_t), void* (*reallocFn)(void*, size_t));

#endif
