// Graphical frontend launcher: seams for the tests.
#ifndef KRN_RFC_TOV3_RFCWEQGUI_INT_H
#define KRN_RFC_TOV3_RFCWEQGUI_INT_H

#include <jni.h>
#include <sys/types.h>

#include "krn/rfc/tov3/rfcweqgui.h"

// The wait for the reply in milliseconds; 0 restores the 180 seconds.
void rfcGuiISetWaitMs(long ms);

// Makes one step of the start fail as if the system refused it.
enum RfcGuiStep {
  RFCGUI_STEP_NONE = 0,
  RFCGUI_STEP_ID_SEM,   // the RFC id's semaphore
  RFCGUI_STEP_PID_SEM,  // the process id's semaphore
  RFCGUI_STEP_MAPPING,  // the shared memory
  RFCGUI_STEP_VIEW,     // its mapping for reading
};
void rfcGuiISetFailStep(RfcGuiStep step);

// The process id of the calling thread's last started frontend, -1 when
// none was started.
pid_t rfcGuiILastPid(void);

extern "C" jobjectArray Java_com_weq_conn_rfc_driver_CpicDriver_nativeLaunchWeqGui(
    JNIEnv* env, jobject self, jstring parameters, jstring rfcId, jstring unused, jint unusedInt);

#endif
