// Run-time binding of the ICU character functions, the 7-bit fallbacks and
// the initialisation trace.
#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <locale.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>
#include <wctype.h>

#include <array>
#include <atomic>
#include <mutex>
#include <string_view>
#include <utility>

#include "flat/nlsui.h"
#include "flat/nlsui_int.h"

#define NLSUI_STR2(x) #x
#define NLSUI_STR(x) NLSUI_STR2(x)

namespace {

// The ICU major version the library is built for: it names the libraries,
// suffixes every function name and names the fallback subdirectory.
constexpr const char kIcuVersion[] = NLSUI_STR(TOV_ICU_MAJOR);
constexpr const char kCommonFile[] = "libicuuc.so." NLSUI_STR(TOV_ICU_MAJOR);
constexpr const char kI18nFile[] = "libicui18n.so." NLSUI_STR(TOV_ICU_MAJOR);
constexpr const char kDataFile[] = "libicudata.so." NLSUI_STR(TOV_ICU_MAJOR);
// A site may keep its own ICU in <kFallbackDir>/<major>/ for hosts whose
// loader does not find one.
constexpr const char kFallbackDir[] = "/opt/tovnative/icu";

// ---------------------------------------------------------------------------
// Initialisation trace

constexpr size_t kMaxText = 1024;  // longest formatted message
constexpr int kPadColumn = 79;     // messages are padded to it from level 4 on

std::atomic<int> g_trcLevel{1};

void SyslogSink(const char* text) { syslog(LOG_USER | LOG_ERR, "WEQ-UNICODE: %s", text); }

std::atomic<void (*)(const char*)> g_eventSink{&SyslogSink};

// Guards g_trcFile and g_trcFileTried and keeps each message whole. A leaf
// lock: only stdio runs under it.
std::mutex g_trcMutex;
FILE* g_trcFile = nullptr;
bool g_trcFileTried = false;

// The trace file takes a descriptor above standard error: were it to get
// number 2 (free because standard error is closed), later messages would
// take standard error for usable and bypass the file.
FILE* OpenTraceFile() {
  char name[64];
  snprintf(name, sizeof name, "nlsui_init_trc_file_%u.trc", static_cast<unsigned>(getpid()));
  int fd = open(name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  if (fd <= STDERR_FILENO) {
    int high = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    close(fd);
    if (high < 0) return nullptr;
    fd = high;
  }
  FILE* f = fdopen(fd, "w");
  if (!f) close(fd);
  return f;
}

bool StderrUsable() { return fcntl(STDERR_FILENO, F_GETFD) != -1; }

__attribute__((format(printf, 3, 4))) void Trc(int level, int line, const char* fmt, ...) {
  const int current = g_trcLevel.load(std::memory_order_relaxed);
  if (current < level) return;
  char text[kMaxText + 1];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(text, sizeof text, fmt, ap);
  va_end(ap);
  char out[sizeof text + kPadColumn + 64];
  snprintf(out, sizeof out, "%-*s [nlsui0 %d] pid = %d\n", current >= 4 ? kPadColumn : 0, text,
           line, static_cast<int>(getpid()));
  bool toFile = false;
  {
    std::lock_guard<std::mutex> lock(g_trcMutex);
    if (StderrUsable()) {
      fputs(out, stderr);
      fflush(stderr);
    } else {
      toFile = true;
      if (!g_trcFileTried) {
        g_trcFileTried = true;
        g_trcFile = OpenTraceFile();
      }
      if (g_trcFile) {
        fputs(out, g_trcFile);
        fflush(g_trcFile);
      }
    }
  }
  // Without a console an error would go unseen in a file nobody expects.
  if (toFile && level == 1) g_eventSink.load(std::memory_order_acquire)(text);
}

#define NLSUI_TRC(level, ...) Trc(level, __LINE__, __VA_ARGS__)

void ReadTraceLevel() {
  const char* v = getenv("NLSUI_INIT_TRACE_LEVEL");
  if (!v) return;
  static constexpr struct {
    std::string_view text;
    int level;
  } kLevels[] = {{"none", 0}, {"low", 1}, {"medium", 4}, {"high", 16}};
  for (const auto& l : kLevels) {
    if (l.text == v) g_trcLevel.store(l.level, std::memory_order_relaxed);
  }
  NLSUI_TRC(16, "NLSUI_INIT_TRACE_LEVEL set to 'high'");
}

const char* EnvOrNotSet(const char* name) {
  const char* v = getenv(name);
  return v ? v : "<not set>";
}

// dlerror() text of this thread's last failed dlopen/dlsym/dlclose here.
thread_local char t_dlError[512];

const char* KeepDlError() {
  const char* e = dlerror();
  snprintf(t_dlError, sizeof t_dlError, "%s", e ? e : "unknown error");
  return t_dlError;
}

// ---------------------------------------------------------------------------
// The ICU functions, one family after another in resolving order.

constexpr const char* kIcuNames[] = {
    // common
    "u_versionToString", "u_errorName", "u_getVersion", "u_getUnicodeVersion", "u_charType",
    "u_getIntPropertyValue", "u_charDirection", "u_getPropertyEnum", "u_getPropertyValueName",
    "u_setMemoryFunctions", "u_init", "u_cleanup", "uenum_unext", "uenum_count", "ubidi_open",
    // character class
    "u_isalnum", "u_isalpha", "u_iscntrl", "u_islower", "u_isprint", "u_isspace", "u_isupper",
    "u_toupper", "u_tolower",
    // bidi
    "ubidi_open", "ubidi_close", "ubidi_setInverse", "ubidi_setPara", "ubidi_writeReordered",
    "ubidi_getLogicalMap", "ubidi_getVisualMap", "ubidi_getLevelAt", "u_charMirror",
    // shaping
    "u_shapeArabic",
    // normalisation
    "unorm_normalize", "unorm_quickCheck", "unorm_quickCheckWithOptions", "unorm_isNormalized",
    "unorm_isNormalizedWithOptions", "unorm_next", "unorm_previous", "unorm_concatenate",
    "unorm_compare",
    // break iteration
    "ubrk_open", "ubrk_openRules", "ubrk_safeClone", "ubrk_close", "ubrk_setText", "ubrk_current",
    "ubrk_next", "ubrk_previous", "ubrk_first", "ubrk_last", "ubrk_preceding", "ubrk_following",
    "ubrk_getAvailable", "ubrk_countAvailable", "ubrk_isBoundary", "ubrk_getRuleStatus",
    "ubrk_getLocaleByType", "uloc_getDefault",
    // IDNA
    "uidna_toASCII", "uidna_toUnicode", "uidna_IDNToASCII", "uidna_IDNToUnicode", "uidna_compare",
    // collation
    "ucol_open", "ucol_strcoll", "ucol_close", "ucol_setStrength", "ucol_getSortKey",
    "ucol_getLocaleByType",
    // transliteration
    "utrans_openU", "utrans_openInverse", "utrans_getUnicodeID", "utrans_setFilter",
    "utrans_countAvailableIDs", "utrans_openIDs", "utrans_transUChars",
    // calendar
    "ucal_getAvailable", "ucal_countAvailable", "ucal_open", "ucal_close", "ucal_set",
    "ucal_setDate", "ucal_get", "ucal_getMillis", "ucal_setMillis"};
constexpr int kIcuCount = static_cast<int>(std::size(kIcuNames));

struct FamilyDef {
  int first;  // index into kIcuNames
  int count;
};
constexpr FamilyDef kFamilies[kNlsuiFamilyCount] = {{0, 15},  {15, 9}, {24, 9}, {33, 1},
                                                     {34, 9},  {43, 18}, {61, 5}, {66, 6},
                                                     {72, 7},  {79, 9}};
static_assert(kFamilies[kNlsuiFamilyCount - 1].first + kFamilies[kNlsuiFamilyCount - 1].count ==
              kIcuCount);

constexpr int IcuIndex(std::string_view name) {
  for (int i = 0; i < kIcuCount; ++i) {
    if (name == kIcuNames[i]) return i;
  }
  return -1;
}

// Real prototypes: UBool is one byte, UChar32 a signed 32-bit value,
// UVersionInfo four bytes.
using IcuBoolFn = int8_t (*)(int32_t);
using IcuMapFn = int32_t (*)(int32_t);
using IcuVersionFn = void (*)(uint8_t*);
using IcuVersionTextFn = void (*)(const uint8_t*, char*);

// Resolved addresses. Written only inside the once-only load, before the
// slots that lead to them are published.
void* g_icu[kIcuCount];

template <typename Fn>
Fn IcuFn(std::string_view name) {
  return reinterpret_cast<Fn>(g_icu[IcuIndex(name)]);
}

struct LoaderState {
  NlsuiILibNames names{kCommonFile, kI18nFile, kDataFile, kFallbackDir};
  std::atomic<void*> common{nullptr};
  std::atomic<void*> i18n{nullptr};
  std::atomic<bool> attempted{false};
  std::atomic<bool> i18nAttempted{false};
  std::atomic<bool> loaded{false};
  std::atomic<bool> family[kNlsuiFamilyCount]{};
};
constinit LoaderState g;

std::once_flag g_levelOnce;
std::once_flag g_loadOnce;

// ---------------------------------------------------------------------------
// The slots and what they hold: lazy entries, ICU wrappers, 7-bit fallbacks.

enum Slot { kAlnum, kAlpha, kCntrl, kLower, kPrint, kSpace, kUpper, kToLower, kToUpper, kSlotCount };

constexpr const char* kSlotNames[kSlotCount] = {"isalnumU", "isalphaU", "iscntrlU",
                                                "islowerU", "isprintU", "isspaceU",
                                                "isupperU", "tolowerU", "toupperU"};
constexpr int kSlotIcu[kSlotCount] = {
    IcuIndex("u_isalnum"), IcuIndex("u_isalpha"), IcuIndex("u_iscntrl"),
    IcuIndex("u_islower"), IcuIndex("u_isprint"), IcuIndex("u_isspace"),
    IcuIndex("u_isupper"), IcuIndex("u_tolower"), IcuIndex("u_toupper")};

NlsuiCharSlot* const kSlots[kSlotCount] = {&isalnumU, &isalphaU, &iscntrlU, &islowerU, &isprintU,
                                           &isspaceU, &isupperU, &tolowerU, &toupperU};

template <int K>
int IcuEntry(unsigned int c) {
  if constexpr (K == kToLower || K == kToUpper) {
    return reinterpret_cast<IcuMapFn>(g_icu[kSlotIcu[K]])(static_cast<int32_t>(c));
  } else {
    return reinterpret_cast<IcuBoolFn>(g_icu[kSlotIcu[K]])(static_cast<int32_t>(c)) != 0;
  }
}

// glibc answers newlocale(..., "C", ...) with its built-in C locale object:
// nothing is allocated and it cannot fail. Being fixed, the fallbacks do not
// change with whatever locale the host sets.
locale_t CLocale() {
  static const locale_t loc = newlocale(LC_ALL_MASK, "C", locale_t{});
  return loc;
}

int Fallback7(int k, unsigned int c) {
  const wint_t w = c;
  switch (k) {
    case kAlnum: return iswalnum_l(w, CLocale()) != 0;
    case kAlpha: return iswalpha_l(w, CLocale()) != 0;
    case kCntrl: return iswcntrl_l(w, CLocale()) != 0;
    case kLower: return iswlower_l(w, CLocale()) != 0;
    case kPrint: return iswprint_l(w, CLocale()) != 0;
    case kSpace: return iswspace_l(w, CLocale()) != 0;
    case kUpper: return iswupper_l(w, CLocale()) != 0;
    case kToLower: return static_cast<int>(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c);
    default: return static_cast<int>(c >= 'a' && c <= 'z' ? c - ('a' - 'A') : c);
  }
}

template <int K>
int FallbackEntry(unsigned int c) {
  if (c > 0x7F) {
    NLSUI_TRC(1, "ERROR: Non 7-bit character U+%04X encountered in function %s\n", c, kSlotNames[K]);
    NLSUI_TRC(1, "This is not supported in 7-bit mode.\n");
  }
  return Fallback7(K, c);
}

template <int K>
int LazyEntry(unsigned int c) {
  loadIcu(0);
  // Every outcome of the load replaces the lazy entries (or ends the
  // process); continuing into this entry again would recurse without end.
  if (NlsuiIGetSlot(*kSlots[K]) == &LazyEntry<K>) abort();
  return (*kSlots[K])(c);
}

template <size_t... K>
constexpr std::array<NlsuiCharFn, kSlotCount> IcuEntries(std::index_sequence<K...>) {
  return {&IcuEntry<K>...};
}
template <size_t... K>
constexpr std::array<NlsuiCharFn, kSlotCount> FallbackEntries(std::index_sequence<K...>) {
  return {&FallbackEntry<K>...};
}
constexpr auto kIcuEntries = IcuEntries(std::make_index_sequence<kSlotCount>());
constexpr auto kFallbackEntries = FallbackEntries(std::make_index_sequence<kSlotCount>());

void Publish(const std::array<NlsuiCharFn, kSlotCount>& entries) {
  for (int k = 0; k < kSlotCount; ++k) NlsuiISetSlot(*kSlots[k], entries[k]);
}

// ---------------------------------------------------------------------------
// Loading

void ClearFamilies(int first, int last) {
  for (int f = first; f <= last; ++f) {
    g.family[f].store(false, std::memory_order_relaxed);
    for (int i = kFamilies[f].first; i < kFamilies[f].first + kFamilies[f].count; ++i) {
      g_icu[i] = nullptr;
    }
  }
}

int ResolveFamily(int f, void* lib) {
  for (int i = kFamilies[f].first; i < kFamilies[f].first + kFamilies[f].count; ++i) {
    char sym[64];
    snprintf(sym, sizeof sym, "%s_%s", kIcuNames[i], kIcuVersion);
    void* p = nlsui_dlsym(lib, sym);
    if (!p) {
      NLSUI_TRC(1, "symbol load \"%s\" failed", sym);
      NLSUI_TRC(1, "Last error text: %s ", t_dlError);
      return -1;
    }
    g_icu[i] = p;
  }
  g.family[f].store(true, std::memory_order_relaxed);
  return 0;
}

bool FallbackDirUsable() {
  struct stat st;
  const char* dir = g.names.fallbackDir;
  return dir && *dir && !getenv("NO_WEQ_ICU_PATH") && stat(dir, &st) == 0 && S_ISDIR(st.st_mode);
}

// What the two library searches say when they succeed.
struct FoundTexts {
  const char* onSearchPath;
  const char* inDirectory;
};

// Loads file through the loader's own search, then from the site's fallback
// directory (with the data library first when data is given: the common
// library needs it, and once loaded it satisfies that dependency).
void* OpenIcuLib(const char* file, const char* data, const FoundTexts& found) {
  if (void* lib = nlsui_dlopen(file, "ICU")) {
    NLSUI_TRC(4, found.onSearchPath, file);
    return lib;
  }
  if (!FallbackDirUsable()) return nullptr;
  char dir[PATH_MAX];
  char path[PATH_MAX];
  if (NlsuiIPathJoin(dir, sizeof dir, g.names.fallbackDir, kIcuVersion) != 0) return nullptr;
  NLSUI_TRC(4, "Searching for %s in directory %s", file, dir);
  void* dataLib = nullptr;
  if (data && NlsuiIPathJoin(path, sizeof path, dir, data) == 0) {
    dataLib = nlsui_dlopen(path, "ICU");
    if (dataLib) NLSUI_TRC(4, "Loaded ICU data lib: %s", path);
  }
  void* lib = nullptr;
  if (NlsuiIPathJoin(path, sizeof path, dir, file) == 0) {
    lib = nlsui_dlopen(path, "ICU");
    if (lib) NLSUI_TRC(4, found.inDirectory, path);
  }
  // The data library's handle is not kept: the common library holds it as a
  // dependency, and without the common library it is of no use.
  if (dataLib) nlsui_dlclose(dataLib);
  return lib;
}

void* OpenCommon() {
  const NlsuiILibNames& n = g.names;
  NLSUI_TRC(16, "Program is compiled with ICU version %s", kIcuVersion);
  NLSUI_TRC(16, "Required ICU library files: %s %s %s", n.common, n.data, n.i18n);
  NLSUI_TRC(4, "Searching for libicuuc in environment path LD_LIBRARY_PATH");
  NLSUI_TRC(16, "LD_LIBRARY_PATH is set to %s ", EnvOrNotSet("LD_LIBRARY_PATH"));
  void* lib = OpenIcuLib(n.common, n.data, {"Loaded ICU common lib: %s", "Loaded ICU common lib: %s"});
  if (!lib) {
    NLSUI_TRC(1,
              "Could not open the ICU common library.\n"
              "   The following files must be in the path described by\n"
              "   the environment variable \"LD_LIBRARY_PATH\":\n"
              "   %s, %s, %s",
              n.common, n.data, n.i18n);
    NLSUI_TRC(1, "LD_LIBRARY_PATH is currently set to %s ", EnvOrNotSet("LD_LIBRARY_PATH"));
  }
  return lib;
}

// ICU cannot serve the slots: the 7-bit fallbacks if allowed, else the end.
void IcuMissing(int alwaysFallBack) {
  if (!alwaysFallBack) {
    if (!getenv("NLSUI_7BIT_FALLBACK")) {
      NLSUI_TRC(16,
                "Terminating.\n"
                "   You may set the environment variable NLSUI_7BIT_FALLBACK to run the program\n"
                "   without the ICU libraries in an emergency mode.");
      // _exit, not exit: this runs inside the once-only load on any host
      // thread, and exit handlers that call a slot would wait on the load
      // forever, while other host threads still use what exit destroys.
      fflush(nullptr);
      _exit(-1);
    }
    NLSUI_TRC(1, "Environment variable NLSUI_7BIT_FALLBACK is set.");
  }
  Publish(kFallbackEntries);
  NLSUI_TRC(16, "Unicode ctype functions are replaced with 7bit fallback functions");
  if (void* lib = g.common.exchange(nullptr)) {
    ClearFamilies(kNlsuiCommon, kNlsuiIdna);
    nlsui_dlclose(lib);
  }
}

bool DataCheckPasses() {
  if (IcuFn<IcuMapFn>("u_toupper")(0x101) != 0x101) return true;
  NLSUI_TRC(1, "ICU data shared lib does not behave correctly.");
  return false;
}

void TraceVersions() {
  if (g_trcLevel.load(std::memory_order_relaxed) < 4) return;
  NLSUI_TRC(4, "Compiled with ICU version %s", kIcuVersion);
  uint8_t v[4];
  char text[32];  // ICU writes at most 20 bytes
  IcuFn<IcuVersionFn>("u_getVersion")(v);
  IcuFn<IcuVersionTextFn>("u_versionToString")(v, text);
  NLSUI_TRC(4, "Running with ICU version %s", text);
  IcuFn<IcuVersionFn>("u_getUnicodeVersion")(v);
  IcuFn<IcuVersionTextFn>("u_versionToString")(v, text);
  NLSUI_TRC(4, "ICU uses Unicode version %s", text);
}

void LoadCommon(int alwaysFallBack) {
  void* lib = OpenCommon();
  if (!lib) {
    IcuMissing(alwaysFallBack);
    return;
  }
  g.common.store(lib, std::memory_order_release);
  // Without the common family the library is as good as missing.
  if (ResolveFamily(kNlsuiCommon, lib) != 0 || ResolveFamily(kNlsuiCharClass, lib) != 0 ||
      !DataCheckPasses()) {
    IcuMissing(alwaysFallBack);
    return;
  }
  Publish(kIcuEntries);
  for (int f = kNlsuiBidi; f <= kNlsuiIdna; ++f) {
    if (ResolveFamily(f, lib) != 0) return;
  }
  TraceVersions();
  g.loaded.store(true, std::memory_order_release);
}

void* OpenI18n() {
  NLSUI_TRC(4, "Searching for libicui18n in environment path LD_LIBRARY_PATH");
  void* lib = OpenIcuLib(g.names.i18n, nullptr,
                         {"Loaded ICU i18n lib: %s from environment path", "Loaded ICU i18n lib: %s"});
  if (!lib) NLSUI_TRC(1, "Could not open the ICU i18n library");
  return lib;
}

void LoadI18n() {
  void* lib = OpenI18n();
  if (lib && ResolveFamily(kNlsuiCollation, lib) == 0 &&
      ResolveFamily(kNlsuiTransliteration, lib) == 0 && ResolveFamily(kNlsuiCalendar, lib) == 0) {
    g.i18n.store(lib, std::memory_order_release);
    return;
  }
  NLSUI_TRC(1, "%s is closed again", g.names.i18n);
  ClearFamilies(kNlsuiCollation, kNlsuiCalendar);
  if (lib) nlsui_dlclose(lib);
}

void LoadOnce(int alwaysFallBack) {
  LoadCommon(alwaysFallBack);
  g.attempted.store(true, std::memory_order_release);
  if (g.common.load(std::memory_order_acquire)) LoadI18n();
  g.i18nAttempted.store(true, std::memory_order_release);
  if (!g.loaded.load(std::memory_order_acquire)) {
    for (auto& f : g.family) f.store(false, std::memory_order_relaxed);
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// Public entry points

constinit NlsuiCharSlot isalnumU{&LazyEntry<kAlnum>};
constinit NlsuiCharSlot isalphaU{&LazyEntry<kAlpha>};
constinit NlsuiCharSlot iscntrlU{&LazyEntry<kCntrl>};
constinit NlsuiCharSlot islowerU{&LazyEntry<kLower>};
constinit NlsuiCharSlot isprintU{&LazyEntry<kPrint>};
constinit NlsuiCharSlot isspaceU{&LazyEntry<kSpace>};
constinit NlsuiCharSlot isupperU{&LazyEntry<kUpper>};
constinit NlsuiCharSlot tolowerU{&LazyEntry<kToLower>};
constinit NlsuiCharSlot toupperU{&LazyEntry<kToUpper>};

void NlsuiISetSlot(NlsuiCharSlot& slot, NlsuiCharFn fn) {
  slot.fn_.store(fn, std::memory_order_release);
}

NlsuiCharFn NlsuiIGetSlot(const NlsuiCharSlot& slot) {
  return slot.fn_.load(std::memory_order_acquire);
}

int loadIcu(int alwaysFallBack) {
  std::call_once(g_levelOnce, ReadTraceLevel);
  NLSUI_TRC(16, "loadIcu() is called");
  std::call_once(g_loadOnce, LoadOnce, alwaysFallBack);
  if (g.loaded.load(std::memory_order_acquire)) return 0;
  NLSUI_TRC(1, "ICU shared libraries are not loaded");
  return 1;
}

void* nlsui_dlopen(const char* fileName, const char* kind) {
  if (!kind) kind = "";
  if (!fileName || !*fileName) {
    // dlopen would hand out the main program for an empty name.
    NLSUI_TRC(16, "Could not open %s shared library %s", kind, "");
    NLSUI_TRC(16, "Error text: %s", "empty library name");
    return nullptr;
  }
  if (strnlen(fileName, PATH_MAX) >= PATH_MAX) {
    NLSUI_TRC(1, "Length of libname %s exceeds MAX_PATH_LN %u. nlsui_dlopen failed.", fileName,
              static_cast<unsigned>(PATH_MAX));
    return nullptr;
  }
  void* lib = dlopen(fileName, RTLD_NOW | RTLD_LOCAL);
  if (lib) {
    NLSUI_TRC(16, "Library handle for %s: %p", fileName, lib);
    return lib;
  }
  const char* err = KeepDlError();
  NLSUI_TRC(16, "Could not open %s shared library %s", kind, fileName);
  NLSUI_TRC(16, "Error text: %s", err);
  return nullptr;
}

void* nlsui_dlsym(void* handle, const char* name) {
  if (!name) name = "";
  if (!handle) {
    // A null handle is RTLD_DEFAULT to dlsym: the whole process, not a library.
    snprintf(t_dlError, sizeof t_dlError, "%s", "no library handle");
    NLSUI_TRC(4, "dlsym %s failed with error: %s", name, t_dlError);
    return nullptr;
  }
  dlerror();
  void* p = dlsym(handle, name);
  if (p) {
    NLSUI_TRC(16, "Function pointer for %s: %p", name, p);
    return p;
  }
  NLSUI_TRC(4, "dlsym %s failed with error: %s", name, KeepDlError());
  return nullptr;
}

int nlsui_dlclose(void* handle) {
  if (handle && dlclose(handle) == 0) return 0;
  const char* err = handle ? KeepDlError() : "no library handle";
  NLSUI_TRC(16, "Could not close shared library handle %p", handle);
  NLSUI_TRC(16, "Error text: %s", err);
  return -1;
}

// ---------------------------------------------------------------------------
// Internal interface

void NlsuiISetLibNames(const NlsuiILibNames& names) {
  if (names.common) g.names.common = names.common;
  if (names.i18n) g.names.i18n = names.i18n;
  if (names.data) g.names.data = names.data;
  if (names.fallbackDir) g.names.fallbackDir = names.fallbackDir;
}

void NlsuiISetEventSink(void (*sink)(const char* text)) {
  g_eventSink.store(sink ? sink : &SyslogSink, std::memory_order_release);
}

NlsuiIState NlsuiIGetState() {
  NlsuiIState s{};
  s.attempted = g.attempted.load(std::memory_order_acquire);
  s.i18nAttempted = g.i18nAttempted.load(std::memory_order_acquire);
  s.loaded = g.loaded.load(std::memory_order_acquire);
  s.common = g.common.load(std::memory_order_acquire);
  s.i18n = g.i18n.load(std::memory_order_acquire);
  for (int f = 0; f < kNlsuiFamilyCount; ++f) s.family[f] = g.family[f].load(std::memory_order_relaxed);
  return s;
}

int NlsuiITraceLevel() { return g_trcLevel.load(std::memory_order_relaxed); }

int NlsuiIPathJoin(char* out, size_t size, const char* dir, const char* file) {
  const size_t dirLen = strlen(dir);
  const size_t sep = dirLen > 0 && dir[dirLen - 1] == '/' ? 0 : 1;
  if (dirLen + sep + strlen(file) + 1 > size) {
    if (size > 0) out[0] = '\0';
    NLSUI_TRC(1, "Path %s/%s exceeds MAX_PATH_LN", dir, file);
    return -1;
  }
  snprintf(out, size, "%s%s%s", dir, sep ? "/" : "", file);
  return 0;
}
