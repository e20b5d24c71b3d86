// Entry points of libtovnative.so that the JVM calls when it loads and
// unloads the library.
//
// For now the load switches the profile parameter store's warnings off
// (nothing of the library may write them to the JVM's standard error), lets
// the continuous local time read its switch from the profile, and starts the
// thread library, and the unload runs the thread library's part
// of the detach; the trace file, INIT's layers and their
// detach steps join these bodies when the Java bindings arrive. A thread's
// own detach runs from the thread library when the thread ends.
#include <jni.h>

#include "flat/weqparam.h"
#include "krn/perf/pfclock.h"
#include "krn/thr/thr.h"
#include "weq_types.h"

WEQ_EXPORT jint JNI_OnLoad(JavaVM* /*vm*/, void* /*reserved*/) {
  weqparamQuiet();
  ContLocaltimeSetParamGetter(weqparamGet);
  ThrSetNoAtexit();
  ThrProcInit();
  return JNI_VERSION_1_8;
}

WEQ_EXPORT void JNI_OnUnload(JavaVM* /*vm*/, void* /*reserved*/) {
  ThrKeyCleanup();
  ThrThreadExit();
  ThrProcExit();
}
