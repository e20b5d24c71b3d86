// Entry points of libtovnative.so that the JVM calls when it loads and
// unloads the library.
//
// For now the load only tells the JVM which JNI version the library needs;
// the process attach (trace file, thread library) and the detach sequence
// replace these bodies when the Java bindings arrive.
#include <jni.h>

#include "weq_types.h"

WEQ_EXPORT jint JNI_OnLoad(JavaVM* /*vm*/, void* /*reserved*/) { return JNI_VERSION_1_8; }

WEQ_EXPORT void JNI_OnUnload(JavaVM* /*vm*/, void* /*reserved*/) {}
