// Java bindings: the library's load and unload, INIT, and the marshalling
// routines that every native of the bindings shares.
//
// Life cycle. JNI_OnLoad runs LibraryProcessAttach (trace file, thread
// library); the Java side then calls CpicDriver.INIT once, which starts the
// code page converter and the CPI-C layer and creates the jrfc mutex. Every
// other native relies on that. A thread's own detach (its CPI-C data, then
// every thread-local key's destructor) runs from the thread library when the
// thread ends; the process detach runs in JNI_OnUnload only.
//
// Natives never throw: a Java exception that a JNI call leaves pending is
// cleared before the next JNI call, and the native returns its failure
// value (1, -1 or NULL as each native states).
//
// Marshalling. Java strings become WEQ_UC text in fixed buffers on the
// native's stack (capacity in units, terminator included); results go back
// through Java arrays. The routines keep no state.
#ifndef KRN_RFC_JRFC_H
#define KRN_RFC_JRFC_H

#include <jni.h>

#include "weq_types.h"

// --- Library entry -----------------------------------------------------------

// Quiet profile store, the trace file that TOVNATIVE_TRACE asks for, the
// thread library and the thread-detach hook. Never fails.
void LibraryProcessAttach(void);
// The calling thread's CPI-C data, then its thread-local keys.
void LibraryThreadDetach(void);
// Tears the layers down in their fixed order; the CPI-C layer stays attached.
void LibraryProcessDetach(void);

// CpicDriver.INIT: 0 success (or already done), the converter's return code
// when it failed to start, 1 when the CPI-C layer or the jrfc mutex failed.
// Serialised: concurrent first calls start the layers once.
jint jrfcInit(void);

// --- Marshalling ---------------------------------------------------------------
// file and line name the caller; they appear only in the trace lines.

// Java String -> WEQ_UC in dest (capacity units, terminator included): 0; 1
// when env or the string is NULL or the string's text cannot be had; else
// Utf8sToUcs's non-zero code (such as a text too long for the capacity).
int jrfcStringToUcs(JNIEnv* env, jstring jstr, WEQ_UC* dest, int capacity, const WEQ_UC* file,
                    int line);
// A new Java String of the 0-terminated text (NULL gives ""); NULL on failure.
jstring jrfcUcsToString(JNIEnv* env, const WEQ_UC* src, const WEQ_UC* file, int line);
// min(array length, count) elements from index 0: 0, or 1 when a pointer is
// NULL or the JNI copy fails. A cut copy writes a level-1 warning line.
int jrfcCopyToByteArray(const void* src, int count, JNIEnv* env, jbyteArray jbarr,
                        const WEQ_UC* file, int line);
int jrfcCopyToIntArray(const jint* src, int count, JNIEnv* env, jintArray jiarr,
                       const WEQ_UC* file, int line);
int jrfcCopyFromByteArray(JNIEnv* env, jbyteArray jbarr, void* target, int size,
                          const WEQ_UC* file, int line);

// The caller's source file and line for the routines above.
#define JRFC_WHERE u"" __FILE__, __LINE__

#endif
