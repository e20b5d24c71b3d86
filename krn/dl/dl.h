// Dynamic library loader: loads a library by path into one of 32 numbered
// slots, resolves symbols in it by name and unloads it again.
//
// A handle (DL_HDL) is a slot index 0..31 and is valid only while its slot
// holds a loaded library; DL_HDL_NONE (-1) means no library. Libraries are
// loaded with every symbol bound at once and kept local to themselves; they
// stay loaded until DlUnloadLib. Paths and names are 16-bit text; a path is
// 1 to 99 units long.
//
// Failures return the codes below and write one trace line at level 1; a
// failed load also records the calling thread's error information under the
// component "DL (Dynamic Loader)". Successes trace at level 2 (load, unload)
// and 3 (symbols).
//
// Locking: one lock guards the slot table, so any thread may load, resolve
// and unload at any time. A library's constructors and destructors run
// while it is held; they may use the loader on their own thread only.
#ifndef KRN_DL_DL_H
#define KRN_DL_DL_H

#include <stdint.h>

#include "weq_types.h"

typedef int32_t DL_HDL;
#define DL_HDL_NONE (-1)

// The address of a resolved symbol; callers convert it to the function type
// they know the symbol has.
typedef void (*DL_FUNC)(void);

#define DL_MAX_LIBS 32   // slots
#define DL_MAX_PATH 100  // units of a path, terminator included

enum : int32_t {
  DL_OK = WEQ_O_K,
  DLENOACCESS = -2,  // the library could not be loaded, or the symbol is not in it
  DLEINVAL = -3,     // invalid handle; path or name missing, empty or too long
  DLEOVERFLOW = -4,  // no free slot
  DLEUNLOAD = -5,    // the system refused to unload; the slot stays loaded
};

// Sets *hdl to DL_HDL_NONE, then loads path into the lowest free slot and
// sets *hdl to it. A '\' in the path stands for '/'.
int32_t DlLoadLib(const WEQ_UC* path, DL_HDL* hdl);

// Unloads the library of *hdl; on success frees the slot and sets *hdl to
// DL_HDL_NONE. DLEUNLOAD leaves slot and handle as they were.
int32_t DlUnloadLib(DL_HDL* hdl);

// Resolves name in the library of hdl into *func. DLENOACCESS (not found)
// leaves *func unchanged.
int32_t DlLoadFunc(DL_HDL hdl, const WEQ_UC* name, DL_FUNC* func);

// The name of a code above ("DLENOACCESS" ...; "WEQ_O_K" for 0), or NULL
// for any other value, which callers print as a number.
const WEQ_UC* DlErrName(int32_t rc);

#endif
