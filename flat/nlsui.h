// Character classes and case mapping of 16-bit text through ICU, bound at
// run time, with a 7-bit emergency fallback.
//
// The nine slots (isalnumU ... toupperU) take one UTF-16 code unit and return
// an int: non-zero when the unit has the class, or the mapped unit. Each slot
// starts with a lazy entry; the first call of any slot runs loadIcu once for
// the whole process, which dlopens the system's ICU ("libicuuc.so.NN",
// "libicui18n.so.NN", NN being the ICU major version the library was built
// against) and fills the slots. When ICU cannot be used the slots get the
// 7-bit fallbacks if NLSUI_7BIT_FALLBACK is set; otherwise the process ends
// with exit status 255 (-1).
//
// Threads: the slots may be called from any thread at any time. The load
// runs exactly once (threads that arrive during it wait for it) and each slot
// is published with a release store, so a caller never sees a slot that
// leads to a half-loaded library. Libraries loaded here stay loaded for the
// life of the process.
//
// Diagnostics of the load go to the initialisation trace, apart from the
// developer trace: standard error, or the file
// "nlsui_init_trc_file_<pid>.trc" in the current directory when standard
// error is closed. Its level comes from NLSUI_INIT_TRACE_LEVEL.
#ifndef FLAT_NLSUI_H
#define FLAT_NLSUI_H

#include <atomic>

// What a slot holds: one code unit (widened to 32 bits) -> int.
typedef int (*NlsuiCharFn)(unsigned int c);

// A process-wide, atomically replaced function pointer that is called like a
// function: toupperU(c).
class NlsuiCharSlot {
 public:
  constexpr explicit NlsuiCharSlot(NlsuiCharFn entry) : fn_(entry) {}
  NlsuiCharSlot(const NlsuiCharSlot&) = delete;
  NlsuiCharSlot& operator=(const NlsuiCharSlot&) = delete;

  int operator()(unsigned int c) const { return fn_.load(std::memory_order_acquire)(c); }

 private:
  // Only the loader fills slots.
  friend void NlsuiISetSlot(NlsuiCharSlot& slot, NlsuiCharFn fn);
  friend NlsuiCharFn NlsuiIGetSlot(const NlsuiCharSlot& slot);

  std::atomic<NlsuiCharFn> fn_;
};

extern NlsuiCharSlot isalnumU;
extern NlsuiCharSlot isalphaU;
extern NlsuiCharSlot iscntrlU;
extern NlsuiCharSlot islowerU;
extern NlsuiCharSlot isprintU;
extern NlsuiCharSlot isspaceU;
extern NlsuiCharSlot isupperU;
extern NlsuiCharSlot tolowerU;
extern NlsuiCharSlot toupperU;

// Loads ICU (once per process; later calls only report the outcome).
// Returns 0 when ICU is loaded with every function family of the common
// library, 1 otherwise. With alwaysFallBack non-zero a missing ICU installs
// the 7-bit fallbacks without looking at NLSUI_7BIT_FALLBACK, instead of
// ending the process; it counts only on the call that performs the load.
int loadIcu(int alwaysFallBack);

// dlopen(fileName, RTLD_NOW | RTLD_LOCAL) with the initialisation trace;
// kind names the library in the failure line. NULL for a failure, for a
// NULL or empty name (never the main program) and for a name of PATH_MAX
// characters or more.
void* nlsui_dlopen(const char* fileName, const char* kind);

// The address of name in handle, or NULL (also for a NULL handle, which
// never means the global scope here).
void* nlsui_dlsym(void* handle, const char* name);

// Releases a handle of nlsui_dlopen: 0, or non-zero when dlclose failed.
int nlsui_dlclose(void* handle);

#endif
