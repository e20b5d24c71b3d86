// The profile parameter store: records, string pool, substitution,
// directory assembly, building and the queries.
#include "flat/weqparam.h"

#include <errno.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <iterator>
#include <mutex>

#include "flat/weqparam_int.h"
#include "i18n/wequ16/u16file.h"
#include "i18n/wequ16/u16fmt.h"
#include "i18n/wequ16/u16str.h"
#include "krn/rscp/rscpu.h"

namespace {

// The program-name prefix of every message; this library has none.
constexpr WEQ_UC kPrefix[] = u"";

constexpr WEQ_UC kDefaultMarker[] = u"(Default)";
constexpr WEQ_UC kNotInTable[] = u"(not_in_weqparam)";

constexpr size_t kChunkUnits = 8192;  // plus one spare unit per chunk
constexpr size_t kMaxString = 8192;   // longest string the pool stores (see g_maxString)
constexpr int kMaxDepth = 21;         // substitution depth that ends with (12)
constexpr size_t kLastNameUnits = 498;
constexpr size_t kPartUnits = 799;     // each part of an assembled directory
constexpr size_t kTargetUnits = 19;    // the GetDsCtrl target word
constexpr size_t kDirDefaultUnits = 511;
constexpr size_t kEnvNameBytes = 1024;  // longer names are never set

// Pool chunks hang in a list so that a reset can free them.
struct Chunk {
  Chunk* next;
  WEQ_UC units[kChunkUnits + 1];
};

// When a chunk cannot be allocated the pool continues here; a string that
// does not fit into what is left of it is not stored.
constexpr size_t kReserveUnits = kChunkUnits + 1;
WEQ_UC g_reserve[kReserveUnits];

struct Pool {
  Chunk* chunks = nullptr;
  WEQ_UC* at = nullptr;  // next free unit of the current chunk or reserve
  size_t room = 0;       // free units behind at
  size_t reserveUsed = 0;
};

struct Pair {
  WEQ_UC* name;
  WEQ_UC* value;
};

struct PairList {
  Pair* items = nullptr;
  size_t count = 0;
};

// Guards the building of the store and its reset. A first query takes it
// and builds; queries of other threads wait for it; the building thread's
// own queries pass through (recursive, with g_building). Only the building
// itself is called under it: file reads, the environment, the local-host
// test of the host paths, the bound memory entry and g_lastMtx.
std::recursive_mutex g_initMtx;
bool g_building = false;  // under g_initMtx
std::atomic<bool> g_ready{false};

std::atomic<bool> g_warnings{true};
std::atomic<bool> g_messages{true};
std::atomic<size_t> g_maxString{kMaxString};  // lowered by tests only
std::atomic<uint32_t> g_calls{0};

// Guards the texts of __WEQPROFILE_CALLS and __WEQPROFILE_CALL_LAST_NAME,
// which every query rewrites. A leaf: nothing else is called under it.
std::mutex g_lastMtx;

WeqpState g_st;
Pool g_pool;
PairList g_args;
PairList g_overrides;
void* (*g_alloc)(size_t) = malloc;
void* (*g_realloc)(void*, size_t) = realloc;

// --- Layers ------------------------------------------------------------------

using RecText = const WEQ_UC* weqparamRec::*;
using RecFlag = uint8_t weqparamRec::*;

struct LayerTraits {
  RecText text;    // the stage that substitution works on
  int substStage;  // where substituted text goes
  RecText final;   // the assembled value (system and current layers)
  int finalStage;
  RecFlag done;
};

constexpr LayerTraits kLayers[] = {
    {&weqparamRec::defaultValue, kWeqpDefaultValue, nullptr, 0, nullptr},
    {&weqparamRec::systemSubst, kWeqpSystemSubst, &weqparamRec::systemFinal, kWeqpSystemFinal,
     &weqparamRec::systemDone},
    {&weqparamRec::currentSubst, kWeqpCurrentSubst, &weqparamRec::currentFinal,
     kWeqpCurrentFinal, &weqparamRec::currentDone},
};

// Where each stage is stored, and the later stages that take a new value
// of it along while they still share its string, in the order they are set.
struct StageRow {
  int stage;
  RecText field;
  int next[2];
};

constexpr StageRow kStages[] = {
    {kWeqpDefaultRaw, &weqparamRec::defaultRaw, {kWeqpSystemRaw, kWeqpDefaultValue}},
    {kWeqpDefaultOverride, &weqparamRec::defaultOverride, {kWeqpSystemRaw, 0}},
    {kWeqpDefaultValue, &weqparamRec::defaultValue, {0, 0}},
    {kWeqpSystemRaw, &weqparamRec::systemRaw, {kWeqpInstanceRaw, kWeqpSystemSubst}},
    {kWeqpSystemSubst, &weqparamRec::systemSubst, {kWeqpSystemFinal, 0}},
    {kWeqpSystemFinal, &weqparamRec::systemFinal, {0, 0}},
    {kWeqpInstanceRaw, &weqparamRec::instanceRaw, {kWeqpCurrentRaw, 0}},
    {kWeqpCurrentRaw, &weqparamRec::currentRaw, {kWeqpCurrentSubst, 0}},
    {kWeqpCurrentSubst, &weqparamRec::currentSubst, {kWeqpCurrentFinal, 0}},
    {kWeqpCurrentFinal, &weqparamRec::currentFinal, {0, 0}},  // and value
};

constexpr RecText StageField(int stage) {
  for (const StageRow& row : kStages) {
    if (row.stage == stage) return row.field;
  }
  return nullptr;
}

// --- Small helpers -----------------------------------------------------------

size_t Len(const WEQ_UC* s) { return s ? strlenU(s) : 0; }

// Code-unit order of a counted key against a terminated name.
int CompareN(const WEQ_UC* key, size_t n, const WEQ_UC* name) {
  for (size_t i = 0; i < n; ++i) {
    if (name[i] == 0) return 1;
    if (key[i] != name[i]) return key[i] < name[i] ? -1 : 1;
  }
  return name[n] == 0 ? 0 : -1;
}

bool EqualsN(const WEQ_UC* key, size_t n, const WEQ_UC* name) {
  return CompareN(key, n, name) == 0;
}

bool RecLess(const weqparamRec& a, const weqparamRec& b) { return strcmpU(a.name, b.name) < 0; }

// perrorU16 keeps errno, which building the text must not change.
template <class... A>
void Perror(U16Format<A...> format, const A&... args) {
  int saved = errno;
  WEQ_UC text[600];
  snprintfTruncU16(text, std::size(text), format, args...);
  errno = saved;
  perrorU16(text);
}

void ReportRecursive(const WEQ_UC* code, const weqparamRec* r, const WEQ_UC* text) {
  WEQP_MSG(u"%sweqparam(%s): %s = %s recursive.\n", kPrefix, code, r->name,
           text ? text : u"");
}

void AddMallocs(int64_t n) {
  g_st.mallocs += n;
  snprintfTruncU16(weqparamIBuf(WeqpBuf::kMallocs), weqparamIBufUnits(WeqpBuf::kMallocs),
                   u"%ld", g_st.mallocs);
}

// --- Lookups -----------------------------------------------------------------

weqparamRec* FindN(const WEQ_UC* key, size_t n) {
  size_t lo = 0, hi = g_st.count;
  while (lo < hi) {
    size_t mid = lo + (hi - lo) / 2;
    int c = CompareN(key, n, g_st.recs[mid].name);
    if (c == 0) return &g_st.recs[mid];
    if (c < 0) hi = mid;
    else lo = mid + 1;
  }
  return nullptr;
}

void CountLookupN(const WEQ_UC* key, size_t n) {
  if (key == nullptr || (n > 0 && key[0] == u'$')) return;
  g_calls.fetch_add(1, std::memory_order_relaxed);
  std::lock_guard<std::mutex> lock(g_lastMtx);
  // Formatted from the counter as it stands under the lock, so that the
  // text never goes backwards when two queries overtake each other.
  weqparamISetCount(WeqpBuf::kCalls, g_calls.load(std::memory_order_relaxed));
  WEQ_UC* last = weqparamIBuf(WeqpBuf::kLastName);
  size_t k = std::min(n, kLastNameUnits);
  memcpy(last, key, k * sizeof(WEQ_UC));
  last[k] = 0;
}

weqparamRec* LookupN(const WEQ_UC* key, size_t n) {
  CountLookupN(key, n);
  return FindN(key, n);
}

void EnsureBuilt();

// --- Substitution --------------------------------------------------------------

void ResolveLayer(weqparamRec* r, WeqpLayer layer, int depth);

// The value of ref in layer for a reference at depth d; resolves ref's layer
// first when needed. NULL also when the depth is exhausted (with the (?)
// message naming r).
const WEQ_UC* ReferencedValue(weqparamRec* r, weqparamRec* ref, WeqpLayer layer, int d,
                              bool* stop) {
  const LayerTraits& L = kLayers[layer];
  *stop = false;
  if (layer == kWeqpLayerDefault) return ref->defaultValue;
  if (ref->*L.done) return ref->*L.final;
  if (d > kMaxDepth - 1) {
    ReportRecursive(u"?", r, r->*L.text);
    *stop = true;
    return nullptr;
  }
  ResolveLayer(ref, layer, d + 1);
  return ref->*L.final;
}

// Replaces [from, to) of text by the n units at with; the new text becomes
// the layer's substituted stage. false when it could not be stored.
bool Replace(weqparamRec* r, WeqpLayer layer, const WEQ_UC* text, size_t from, size_t to,
             const WEQ_UC* with, size_t n) {
  size_t len = Len(text);
  WEQ_UC* out = weqparamIPoolAlloc(len - (to - from) + n);
  if (out == nullptr) return false;
  memcpy(out, text, from * sizeof(WEQ_UC));
  memcpy(out + from, with, n * sizeof(WEQ_UC));
  memcpy(out + from + n, text + to, (len - to + 1) * sizeof(WEQ_UC));
  weqparamISetStage(r, kLayers[layer].substStage, out);
  return true;
}

// "$$" becomes the system number.
void ReplaceSystemNumber(weqparamRec* r, WeqpLayer layer) {
  const WEQ_UC* text = r->*kLayers[layer].text;
  if (text == nullptr || strstrU(text, u"$$") == nullptr) return;
  // A stage may share its string with others, so the digits go into a copy.
  size_t len = strlenU(text);
  WEQ_UC* copy = weqparamIPoolAlloc(len);
  if (copy == nullptr) return;
  memcpy(copy, text, (len + 1) * sizeof(WEQ_UC));
  for (size_t i = 0; i + 1 < len; ++i) {
    if (copy[i] == u'$' && copy[i + 1] == u'$') {
      copy[i] = g_st.sysNo[0];
      copy[i + 1] = g_st.sysNo[1];
      ++i;
    }
  }
  weqparamISetStage(r, kLayers[layer].substStage, copy);
}

// What a reference stands for: a text to put in its place, nothing (the
// reference stays and the scan goes on) or the end of the substitution.
struct RefValue {
  enum Action { kUse, kSkip, kStop } action;
  const WEQ_UC* text = nullptr;
  WEQ_UC* owned = nullptr;  // a heap text to free after use
};

// The references of one layer's text: each is found by kind.Next, then
// replaced by kind.Value; after each replacement the scan starts again one
// level deeper, so that references brought in by a value resolve too.
template <class Kind>
void Substitute(weqparamRec* r, WeqpLayer layer, int d, const Kind& kind) {
  for (;; ++d) {
    const WEQ_UC* text = r->*kLayers[layer].text;
    if (d >= kMaxDepth) {
      ReportRecursive(u"12", r, text);
      return;
    }
    if (text == nullptr) return;
    typename Kind::Scan scan(text);
    for (;;) {
      const WEQ_UC* open = nullptr;
      const WEQ_UC* close = nullptr;
      if (!kind.Next(r, &scan, &open, &close)) return;
      const WEQ_UC* key = open + 2;
      const size_t n = static_cast<size_t>(close - key);
      if (EqualsN(key, n, r->name)) {
        ReportRecursive(u"13", r, text);
        return;
      }
      RefValue v = kind.Value(r, layer, d, key, n);
      if (v.action == RefValue::kStop) return;
      if (v.action == RefValue::kSkip) continue;
      bool stored = Replace(r, layer, text, static_cast<size_t>(open - text),
                            static_cast<size_t>(close - text) + 1, v.text, strlenU(v.text));
      free(v.owned);
      if (!stored) return;
      break;
    }
  }
}

void ReportUnclosed(const weqparamRec* r) {
  WEQP_MSG(u"%sweqparam(15): %s: '%c' missing.\n", kPrefix, r->name, u')');
}

constexpr size_t kNoClose = SIZE_MAX;

// $(NAME): the rightmost reference first, so that a reference whose name
// holds a reference resolves from the inside out. Its name ends at the
// first ')' behind it, which the scan keeps track of as it moves left, so
// that a text full of unclosed references is read once, not once for each.
struct ParameterRefs {
  struct Scan {
    explicit Scan(const WEQ_UC* t) : text(t), end(strlenU(t)) {}
    const WEQ_UC* text;
    size_t end;                // the next "$(" starts before end - 1
    size_t close = kNoClose;   // the first ')' at or after end
  };

  bool Next(const weqparamRec* r, Scan* s, const WEQ_UC** open, const WEQ_UC** close) const {
    for (;;) {
      size_t at = s->end;
      while (at >= 2 && !(s->text[at - 2] == u'$' && s->text[at - 1] == u'(')) {
        if (s->text[--at] == u')') s->close = at;
      }
      if (at < 2) return false;
      s->end = at - 1;  // the '(' there is no ')': s->close stays right
      *open = s->text + at - 2;
      *close = s->close != kNoClose ? s->text + s->close : nullptr;
      if (*close != nullptr) return true;
      ReportUnclosed(r);
    }
  }

  RefValue Value(weqparamRec* r, WeqpLayer layer, int d, const WEQ_UC* key, size_t n) const {
    weqparamRec* ref = LookupN(key, n);
    const WEQ_UC* value = nullptr;
    if (ref != nullptr) {
      bool stop = false;
      value = ReferencedValue(r, ref, layer, d, &stop);
      if (stop) return {RefValue::kStop};
    }
    if (value == nullptr) {
      if (weqparamIWarnings()) {
        WEQP_MSG(u"%sweqparam(14): %.*s (ref.by %s) missing.\n", kPrefix,
                 static_cast<int>(n), key, r->name);
      }
      return {RefValue::kSkip};
    }
    return {RefValue::kUse, value};
  }
};

// %(NAME): the first reference that has a closing ')' first; the value is
// the environment variable's, an unset one gives "".
struct EnvironmentRefs {
  struct Scan {
    explicit Scan(const WEQ_UC* t) : text(t) {}
    const WEQ_UC* text;
    size_t from = 0;
    size_t noClose = kNoClose;  // no ')' from here on
  };

  bool Next(const weqparamRec* r, Scan* s, const WEQ_UC** open, const WEQ_UC** close) const {
    while ((*open = strstrU(s->text + s->from, u"%(")) != nullptr) {
      s->from = static_cast<size_t>(*open - s->text) + 2;
      *close = s->from >= s->noClose ? nullptr : strchrU(*open + 2, u')');
      if (*close != nullptr) return true;
      if (s->from < s->noClose) s->noClose = s->from;
      ReportUnclosed(r);
    }
    return false;
  }

  RefValue Value(weqparamRec*, WeqpLayer, int, const WEQ_UC* key, size_t n) const {
    char name[kEnvNameBytes];
    int used = 0;
    const char* value = nullptr;
    if (U16nToUtf8n(name, sizeof name - 1, &used, key, static_cast<int>(n)) == 0) {
      name[used] = 0;
      // A NUL or '=' cannot be part of a variable's name.
      if (strlen(name) == static_cast<size_t>(used) && strchr(name, '=') == nullptr)
        value = getenv(name);
    }
    if (value == nullptr) return {RefValue::kUse, u""};
    size_t bytes = strlen(value);
    auto* out = static_cast<WEQ_UC*>(malloc((bytes + 2) * sizeof(WEQ_UC)));
    if (out == nullptr) return {RefValue::kStop};
    int units = 0;
    if (Utf8sToU16s(out, static_cast<int>(bytes + 1), &units, value) == RSCPU_SRC_PARTIAL)
      out[units++] = 0xFFFD;
    out[units] = 0;
    return {RefValue::kUse, out, out};
  }
};

void SubstituteReferences(weqparamRec* r, WeqpLayer layer, int d) {
  Substitute(r, layer, d, ParameterRefs{});
}

void SubstituteEnvironment(weqparamRec* r, WeqpLayer layer, int d) {
  Substitute(r, layer, d, EnvironmentRefs{});
}

// --- Directory assembly ------------------------------------------------------

// The second half of the assembly, once both parts are known: kept out of
// line so that its buffers are not on the stack while parts resolve
// recursively.
__attribute__((noinline)) void StoreAssembled(weqparamRec* r, WeqpLayer layer,
                                              const WEQ_UC* const part[2],
                                              const WEQ_UC (*partName)[64]) {
  size_t partLen[2];
  for (int k = 0; k < 2; ++k) partLen[k] = std::min(strlenU(part[k]), kPartUnits);

  WEQ_UC target[kTargetUnits + 1];
  const WEQ_UC* ctrl = weqparamGet(u"GetDsCtrl");
  strncpy_sU16(target, std::size(target), ctrl && *ctrl ? ctrl : u"WEQonNT", kTargetUnits);
  WEQ_UC sep = 0;
  if (strcmpU(target, u"WEQonUNIX") == 0 || strcmpU(target, u"WEQonNT") == 0 ||
      strcmpU(target, u"WEQonOS2x") == 0)
    sep = u'\\';
  else if (strcmpU(target, u"WEQonOS400") == 0)
    sep = u'/';

  WEQ_UC result[2 * kPartUnits + 2];
  if (sep != 0) {
    memcpy(result, part[0], partLen[0] * sizeof(WEQ_UC));
    size_t n = partLen[0];
    if (partLen[0] > 0 && partLen[1] > 0) result[n++] = sep;
    memcpy(result + n, part[1], partLen[1] * sizeof(WEQ_UC));
    result[n + partLen[1]] = 0;
  } else {
    strcpy_sU16(result, std::size(result), u"weqparam: target not implemented in Function GetDsSpec");
    WEQP_MSG(u"%s%s\n", kPrefix, static_cast<const WEQ_UC*>(result));
  }

  const WEQ_UC* s;
  if (layer == kWeqpLayerCurrent && r->systemFinal && strcmpU(result, r->systemFinal) == 0)
    s = r->systemFinal;
  else
    s = weqparamIPoolCopy(result, strlenU(result));
  if (s == nullptr) return;
  weqparamISetStage(r, kLayers[layer].finalStage, s);

  if (r->defaultValue && strcmpU(r->defaultValue, kDefaultMarker) == 0) {
    WEQ_UC def[kDirDefaultUnits + 1];
    if (snprintfU16(def, std::size(def), u"$(%s)\\$(%s)", partName[0], partName[1]) >= 0) {
      if (const WEQ_UC* c = weqparamIPoolCopy(def, strlenU(def)))
        weqparamISetStage(r, kWeqpDefaultValue, c);
    }
  }
  r->*kLayers[layer].done = 1;
}

// Directories assembled from two parts: "(Default)" in the layer's text
// stands for part 1, a separator and part 2, by the target platform word.
void AssembleDirectory(weqparamRec* r, WeqpLayer layer, int d) {
  const LayerTraits& L = kLayers[layer];
  const WEQ_UC* text = r->*L.text;
  if (text == nullptr || strstrU(text, kDefaultMarker) == nullptr) {
    r->*L.done = 1;
    return;
  }
  if (!weqparamIIsDirParam(r->name)) return;  // stays open: resolved again when asked

  // Directory names are short table entries; the part names are theirs
  // behind "__1_" and "__2_".
  WEQ_UC partName[2][64];
  const WEQ_UC* part[2];
  for (int k = 0; k < 2; ++k) {
    if (snprintfU16(partName[k], std::size(partName[k]), u"__%d_%s", k + 1, r->name) < 0) return;
    part[k] = u"";
    if (weqparamRec* ref = weqparamILookup(partName[k])) {
      bool stop = false;
      const WEQ_UC* v = ReferencedValue(r, ref, layer, d, &stop);
      if (stop) return;
      if (v != nullptr) part[k] = v;
    }
  }
  StoreAssembled(r, layer, part, partName);
}

void ResolveLayer(weqparamRec* r, WeqpLayer layer, int depth) {
  ReplaceSystemNumber(r, layer);
  SubstituteReferences(r, layer, depth);
  AssembleDirectory(r, layer, depth);
}

// Steps 11 and 12 of the build: one layer over all records. A record that
// is already resolved (as a reference of another) is not substituted again,
// so that its messages are not repeated.
void ResolveAll(WeqpLayer layer) {
  const LayerTraits& L = kLayers[layer];
  for (size_t i = 0; i < g_st.count; ++i) ReplaceSystemNumber(&g_st.recs[i], layer);
  for (size_t i = 0; i < g_st.count; ++i) {
    if (!(g_st.recs[i].*L.done)) SubstituteReferences(&g_st.recs[i], layer, 1);
  }
  for (size_t i = 0; i < g_st.count; ++i) SubstituteEnvironment(&g_st.recs[i], layer, 1);
  for (size_t i = 0; i < g_st.count; ++i) {
    if (!(g_st.recs[i].*L.done)) AssembleDirectory(&g_st.recs[i], layer, 1);
  }
}

// --- Building ------------------------------------------------------------------

void EmptyStore() {
  g_st.count = 0;
  g_st.broken = true;
}

size_t RowIndex(const WEQ_UC* name) {
  for (size_t i = 0; i < kWeqpDefaultCount; ++i) {
    if (strcmpU(kWeqpDefaults[i].name, name) == 0) return i;
  }
  return kWeqpDefaultCount;
}

// Step 1 without registered arguments: the environment chooses the host
// path templates.
void ApplyEnvironmentFlags(const WEQ_UC** defaults) {
  WEQP_MSG(u"%sweqparam: weqargv(argc, argv) has not been called!\n", kPrefix);
  g_st.flag700 = getenv("WEQPARAM700") != nullptr;
  g_st.flagMsid = getenv("WEQPARAMMSID") != nullptr;
  if (g_st.flagMsid) {
    weqparamISetBuf(WeqpBuf::kGlobalHostPath, u"\\\\$(WEQGLOBALHOST)\\weqmnt$(WEQSYSTEMNAME)\\");
    weqparamISetBuf(WeqpBuf::kLocalHostSidPath,
                    u"\\\\$(WEQLOCALHOST)\\weqloc$(WEQSYSTEMNAME)_$(WEQSYSTEM)\\");
  } else {
    weqparamISetBuf(WeqpBuf::kGlobalHostPath, u"\\\\$(WEQGLOBALHOST)\\weqmnt\\");
    weqparamISetBuf(WeqpBuf::kLocalHostSidPath, u"\\\\$(WEQLOCALHOST)\\weqloc\\");
  }
  if (!g_st.flag700) {
    size_t trans = RowIndex(u"WEQTRANSHOST");
    size_t exe = RowIndex(u"DIR_EXECUTABLE");
    if (trans < kWeqpDefaultCount) defaults[trans] = u"";
    if (exe < kWeqpDefaultCount) defaults[exe] = u"$(DIR_EXE_ROOT)\\$(EXETYPE)";
  }
}

bool BuildArray(const WEQ_UC** defaults) {
  size_t cap = kWeqpDefaultCount + g_overrides.count;
  auto* recs = static_cast<weqparamRec*>(g_alloc(cap * sizeof(weqparamRec)));
  if (recs == nullptr) {
    perrorU16(u"weqparam(3): malloc");
    EmptyStore();
    return false;
  }
  for (size_t i = 0; i < kWeqpDefaultCount; ++i) {
    const WEQ_UC* v = defaults[i];
    recs[i] = weqparamRec{kWeqpDefaults[i].name, v, v, v, v, v, v, 0, v, v, v, v, 0, v};
  }
  g_st.recs = recs;
  g_st.count = kWeqpDefaultCount;
  g_st.cap = cap;
  AddMallocs(static_cast<int64_t>(cap * sizeof(weqparamRec)));
  std::sort(recs, recs + kWeqpDefaultCount, RecLess);
  return true;
}

void ApplyOverrides() {
  for (size_t i = 0; i < g_overrides.count && !g_st.broken; ++i) {
    const Pair& p = g_overrides.items[i];
    const WEQ_UC* v = weqparamIPoolCopy(p.value, strlenU(p.value));
    if (v == nullptr) continue;
    if (weqparamRec* r = weqparamIFind(p.name)) {
      weqparamISetStage(r, kWeqpDefaultOverride, v);
      weqparamISetStage(r, kWeqpInstanceRaw, v);
    } else if (weqparamRec* added = weqparamIAppend(p.name, 1, false)) {
      // An entry the table lacks: its system layer starts with the value.
      weqparamISetStage(added, kWeqpSystemRaw, v);
    }
  }
}

void CheckDuplicates() {
  for (size_t i = 1; i < g_st.count; ++i) {
    if (strcmpU(g_st.recs[i - 1].name, g_st.recs[i].name) == 0) {
      WEQP_MSG(u"%sweqparam: Duplicate Profile Parameter \"%s\"\n", kPrefix,
               g_st.recs[i].name);
      return;
    }
  }
}

void CheckConsistency() {
  const WEQ_UC* name = u"WEQSYSTEMNAME";
  const weqparamRec* r = weqparamILookup(name);
  if (r == nullptr) {
    WEQP_MSG(u"%sweqparam: parameter \"%s\" not found.\n", kPrefix, name);
  } else if (r->currentFinal == nullptr) {
    WEQP_MSG(u"%sweqparam: parameter \"%s\" empty.\n", kPrefix, name);
  } else {
    for (const WEQ_UC* stage :
         {r->currentSubst, r->currentRaw, r->instanceRaw, r->systemRaw, r->defaultRaw}) {
      if (stage != nullptr && strcmpU(stage, r->currentFinal) != 0) {
        WEQP_MSG(u"%sweqparam: \"%s\": \"%s\" <--> \"%s\"\n", kPrefix, name, stage,
                 r->currentFinal);
      }
    }
  }
  const weqparamRec* dir = weqparamIFind(u"DIR_PROFILE");
  if (dir != nullptr && dir->systemRaw != dir->defaultRaw) {
    WEQP_MSG(u"%sweqparam: \"%s\": must not be in \"%s\"\n", kPrefix, dir->name,
             static_cast<const WEQ_UC*>(weqparamIBuf(WeqpBuf::kDefaultPfl)));
  }
}

void Build() {
  weqparamIResetBuffers();
  const WEQ_UC* defaults[kWeqpDefaultMax];
  for (size_t i = 0; i < kWeqpDefaultCount; ++i) {
    WeqpBuf b = kWeqpDefaults[i].buf;
    defaults[i] = b == WeqpBuf::kNone ? kWeqpDefaults[i].value : weqparamIBuf(b);
  }
  if (!g_st.argsRegistered && weqparamIWarnings()) ApplyEnvironmentFlags(defaults);
  if (!BuildArray(defaults)) return;

  // Default layer; the system number is still "??".
  for (size_t i = 0; i < g_st.count; ++i) ReplaceSystemNumber(&g_st.recs[i], kWeqpLayerDefault);
  for (size_t i = 0; i < g_st.count; ++i)
    SubstituteReferences(&g_st.recs[i], kWeqpLayerDefault, 1);
  for (size_t i = 0; i < g_st.count; ++i)
    SubstituteEnvironment(&g_st.recs[i], kWeqpLayerDefault, 1);

  // Command-line layer.
  for (size_t i = 0; i < g_args.count; ++i) {
    if (weqparamRec* r = weqparamIFind(g_args.items[i].name)) {
      const WEQ_UC* v = weqparamIPoolCopy(g_args.items[i].value, strlenU(g_args.items[i].value));
      if (v != nullptr) weqparamISetStage(r, kWeqpCurrentRaw, v);
    }
  }

  weqparamIReadInstanceProfile();
  if (g_st.broken) return;
  weqparamIHostPaths();
  weqparamIMemoryDefaults();
  const WEQ_UC* instance = weqparamGet(u"INSTANCE_NAME");
  if (instance && (instance[0] == u'J' || instance[0] == u'j'))
    weqparamISetBuf(WeqpBuf::kProperties, kWeqpPropertiesPlain);
  weqparamIReadDefaultPfl();
  ApplyOverrides();
  if (g_st.broken) return;

  if (weqparamRec* sys = weqparamIFind(u"WEQSYSTEM")) {
    if (const WEQ_UC* copy = weqparamIPoolCopy(sys->systemRaw, Len(sys->systemRaw)))
      weqparamISetStage(sys, kWeqpSystemSubst, copy);
  }
  ResolveAll(kWeqpLayerSystem);
  ResolveAll(kWeqpLayerCurrent);
  CheckDuplicates();
  CheckConsistency();
}

void EnsureBuilt() {
  if (g_ready.load(std::memory_order_acquire)) return;
  std::lock_guard<std::recursive_mutex> lock(g_initMtx);
  if (g_ready.load(std::memory_order_relaxed) || g_building) return;
  g_building = true;
  Build();
  g_building = false;
  g_ready.store(true, std::memory_order_release);
}

int AddPair(PairList* list, const WEQ_UC* name, const WEQ_UC* value) {
  if (name == nullptr || value == nullptr) return -1;
  auto* items = static_cast<Pair*>(realloc(list->items, (list->count + 1) * sizeof(Pair)));
  if (items == nullptr) return -1;
  list->items = items;
  WEQ_UC* n = strdupU(name);
  WEQ_UC* v = strdupU(value);
  if (n == nullptr || v == nullptr) {
    free(n);
    free(v);
    return -1;
  }
  items[list->count++] = Pair{n, v};
  return 0;
}

void FreePairs(PairList* list) {
  for (size_t i = 0; i < list->count; ++i) {
    free(list->items[i].name);
    free(list->items[i].value);
  }
  free(list->items);
  *list = PairList{};
}

}  // namespace

// --- Internal interface ----------------------------------------------------------

WeqpState& weqparamIState(void) { return g_st; }

bool weqparamIWarnings(void) { return g_warnings.load(std::memory_order_relaxed); }

void weqparamISetMessages(bool on) { g_messages.store(on, std::memory_order_relaxed); }

void weqparamISetMaxString(size_t units) {
  g_maxString.store(units == 0 || units > kMaxString ? kMaxString : units, std::memory_order_relaxed);
}

FILE* weqparamIMessages(void) { return g_messages.load(std::memory_order_relaxed) ? stderr : nullptr; }

weqparamRec* weqparamIFind(const WEQ_UC* name) {
  return name == nullptr ? nullptr : FindN(name, strlenU(name));
}

weqparamRec* weqparamILookup(const WEQ_UC* name) {
  if (name == nullptr) return nullptr;
  return LookupN(name, strlenU(name));
}

void weqparamISetStage(weqparamRec* r, int stage, const WEQ_UC* v) {
  const StageRow* row = std::find_if(std::begin(kStages), std::end(kStages),
                                     [stage](const StageRow& x) { return x.stage == stage; });
  if (row == std::end(kStages)) return;
  for (int next : row->next) {
    if (next == 0) continue;
    if (r->*(StageField(next)) == r->*(row->field)) weqparamISetStage(r, next, v);
  }
  r->*(row->field) = v;
  if (stage == kWeqpCurrentFinal) r->value = v;
}

weqparamRec* weqparamIAppend(const WEQ_UC* name, size_t growBy, bool fatal) {
  if (g_st.broken || name == nullptr) return nullptr;
  const WEQ_UC* key = weqparamIPoolCopy(name, strlenU(name));
  if (key == nullptr) return nullptr;
  if (g_st.count == g_st.cap) {
    size_t cap = g_st.cap + growBy;
    auto* recs = static_cast<weqparamRec*>(g_realloc(g_st.recs, cap * sizeof(weqparamRec)));
    if (recs == nullptr) {
      if (fatal) {
        perrorU16(u"weqparam(5): realloc");
        EmptyStore();
      }
      return nullptr;
    }
    g_st.recs = recs;
    g_st.cap = cap;
    if (growBy > 1) AddMallocs(static_cast<int64_t>(growBy * sizeof(weqparamRec)));
  }
  weqparamRec rec{};
  rec.name = key;
  weqparamISetStage(&rec, kWeqpDefaultRaw, kNotInTable);
  weqparamRec* at = std::upper_bound(g_st.recs, g_st.recs + g_st.count, rec, RecLess);
  memmove(at + 1, at, static_cast<size_t>(g_st.recs + g_st.count - at) * sizeof(weqparamRec));
  *at = rec;
  ++g_st.count;
  return at;
}

void weqparamIResolve(weqparamRec* r, WeqpLayer layer, int depth) {
  ResolveLayer(r, layer, depth);
}

WEQ_UC* weqparamIPoolAlloc(size_t len) {
  if (len > g_maxString.load(std::memory_order_relaxed)) {
    WEQP_MSG(u"%sweqparam(10): line or value too long\n", kPrefix);
    return nullptr;
  }
  if (g_pool.room < len + 1) {
    if (auto* c = static_cast<Chunk*>(g_alloc(sizeof(Chunk)))) {
      c->next = g_pool.chunks;
      g_pool.chunks = c;
      g_pool.at = c->units;
      g_pool.room = kChunkUnits + 1;
      AddMallocs(static_cast<int64_t>(kChunkUnits));
    } else {
      perrorU16(u"weqparam(11): malloc");
      g_pool.at = g_reserve + g_pool.reserveUsed;
      g_pool.room = kReserveUnits - g_pool.reserveUsed;
      if (g_pool.room < len + 1) return nullptr;
    }
  }
  WEQ_UC* s = g_pool.at;
  s[len] = 0;
  g_pool.at += len + 1;
  g_pool.room -= len + 1;
  if (s >= g_reserve && s < g_reserve + kReserveUnits)
    g_pool.reserveUsed = static_cast<size_t>(g_pool.at - g_reserve);
  return s;
}

const WEQ_UC* weqparamIPoolCopy(const WEQ_UC* s, size_t len) {
  WEQ_UC* out = weqparamIPoolAlloc(len);
  if (out != nullptr) memcpy(out, s, len * sizeof(WEQ_UC));
  return out;
}

void weqparamInit(void) { EnsureBuilt(); }

int weqparamIAddArg(const WEQ_UC* name, const WEQ_UC* value) {
  std::lock_guard<std::recursive_mutex> lock(g_initMtx);
  if (AddPair(&g_args, name, value) != 0) return -1;
  g_st.argsRegistered = true;
  return 0;
}

int weqparamIAddOverride(const WEQ_UC* name, const WEQ_UC* value) {
  std::lock_guard<std::recursive_mutex> lock(g_initMtx);
  return AddPair(&g_overrides, name, value);
}

void weqparamIReset(void) {
  std::lock_guard<std::recursive_mutex> lock(g_initMtx);
  free(g_st.recs);
  for (Chunk* c = g_pool.chunks; c != nullptr;) {
    Chunk* next = c->next;
    free(c);
    c = next;
  }
  g_pool = Pool{};
  g_st = WeqpState{};
  FreePairs(&g_args);
  FreePairs(&g_overrides);
  weqparamIResetBuffers();
  g_calls.store(0, std::memory_order_relaxed);
  g_warnings.store(true, std::memory_order_relaxed);
  g_building = false;
  g_ready.store(false, std::memory_order_release);
}

void weqparamISetAllocator(void* (*allocFn)(size_t), void* (*reallocFn)(void*, size_t)) {
  g_alloc = allocFn ? allocFn : malloc;
  g_realloc = reallocFn ? reallocFn : realloc;
}

// --- Public interface --------------------------------------------------------

const WEQ_UC* weqparamGet(const WEQ_UC* name) {
  EnsureBuilt();
  const weqparamRec* r = weqparamILookup(name);
  return r ? r->value : nullptr;
}

const WEQ_UC* weqparamGetDefault(const WEQ_UC* name) {
  EnsureBuilt();
  const weqparamRec* r = weqparamIFind(name);
  return r ? r->systemFinal : nullptr;
}

void weqparamQuiet(void) { g_warnings.store(false, std::memory_order_relaxed); }
