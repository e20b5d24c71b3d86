// Base types shared by every subsystem of the library.
//
// WEQ_UC is one UTF-16 code unit in native byte order; all text inside the
// library is a WEQ_UC string ended by a 0 unit, written as u"..." literals.
// wchar_t is never used for it: it is 32 bits wide on Linux.
#ifndef WEQ_TYPES_H
#define WEQ_TYPES_H

#include <stddef.h>
#include <stdint.h>

typedef char16_t WEQ_UC;        // one UTF-16 code unit
typedef unsigned char WEQ_RAW;  // one byte of uninterpreted data

#define WEQ_O_K 0  // the common success return code

// Marks the few functions that leave libtovnative.so (the JNI natives,
// JNI_OnLoad and JNI_OnUnload). Everything else has hidden visibility, and
// the link's version script hides whatever is not a JNI name.
#define WEQ_EXPORT extern "C" __attribute__((visibility("default")))

#endif
