// Internals of the ICU binding, for the binding itself and its tests only.
// Nothing here leaves libtovnative.so.
#ifndef FLAT_NLSUI_INT_H
#define FLAT_NLSUI_INT_H

#include <stddef.h>

#include "flat/nlsui.h"

// Fill and read a character class slot (release store, acquire load).
void NlsuiISetSlot(NlsuiCharSlot& slot, NlsuiCharFn fn);
NlsuiCharFn NlsuiIGetSlot(const NlsuiCharSlot& slot);

// The ICU function families, in the order the loader resolves them.
enum NlsuiIFamily {
  kNlsuiCommon,
  kNlsuiCharClass,
  kNlsuiBidi,
  kNlsuiShaping,
  kNlsuiNormalisation,
  kNlsuiBreakIteration,
  kNlsuiIdna,
  kNlsuiCollation,        // i18n library from here on
  kNlsuiTransliteration,
  kNlsuiCalendar,
  kNlsuiFamilyCount
};

// Library file names and the site's fallback directory (which holds a
// subdirectory named after the ICU major version). Tests replace them to
// simulate a missing or odd ICU; a NULL member keeps the built-in value.
// Takes effect only before the first load.
struct NlsuiILibNames {
  const char* common;
  const char* i18n;
  const char* data;
  const char* fallbackDir;
};
void NlsuiISetLibNames(const NlsuiILibNames& names);

// Receives each level-1 message that goes to the trace file because
// standard error is closed; by default it becomes a syslog error entry.
// NULL restores the default.
void NlsuiISetEventSink(void (*sink)(const char* text));

// Snapshot of the loader's state.
struct NlsuiIState {
  bool attempted;       // the load ran (whatever its outcome)
  bool i18nAttempted;   // the i18n library was handled
  bool loaded;          // every family of the common library resolved
  void* common;         // library handles, NULL when not loaded
  void* i18n;
  bool family[kNlsuiFamilyCount];
};
NlsuiIState NlsuiIGetState();

// The initialisation trace level (0, 1, 4 or 16).
int NlsuiITraceLevel();

// dir + "/" + file into out (size bytes); no separator is added after a
// dir that ends in '/'. When the result does not fit, out is left empty, a
// level-1 message is written and -1 returned; else 0.
int NlsuiIPathJoin(char* out, size_t size, const char* dir, const char* file);

#endif
