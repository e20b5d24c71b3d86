// Internal parts of the dynamic library loader, open to its tests.
#ifndef KRN_DL_DL_INT_H
#define KRN_DL_DL_INT_H

#include <stddef.h>

#include "weq_types.h"

// The system's message for a failed load, unload or lookup (the loader's
// own error text, UTF-8) as 16-bit text in buf of size units, cut to fit,
// with every carriage return and line feed removed. Returns buf, or NULL
// when size is below 2 or there is no message.
WEQ_UC* DlIGetErrText(WEQ_UC* buf, size_t size, const char* sysText);

// Test hook: unload replaces the system's unload (which returns 0 on
// success) until it is set back to NULL.
void DlITestSetUnload(int (*unload)(void* module));

#endif
