// The entry points of libtovnative.so that the JVM calls when it loads and
// unloads the library. The natives themselves are found by their exported
// JNI names; nothing is registered.
#include <jni.h>

#include "krn/rfc/jrfc.h"
#include "weq_types.h"

WEQ_EXPORT jint JNI_OnLoad(JavaVM* /*vm*/, void* /*reserved*/) {
  LibraryProcessAttach();
  return JNI_VERSION_1_8;
}

WEQ_EXPORT void JNI_OnUnload(JavaVM* /*vm*/, void* /*reserved*/) { LibraryProcessDetach(); }
