// The library's process and thread attach and detach, and INIT.
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <mutex>

#include "flat/weqparam.h"
#include "krn/cpic/cpic.h"
#include "krn/dptrc/dptrc.h"
#include "krn/dptrc/err_int.h"
#include "krn/perf/pfclock.h"
#include "krn/rfc/jrfc_int.h"
#include "krn/rfc/jrfc_standin.h"
#include "krn/rscp/rscp_int.h"
#include "krn/thr/thr_int.h"

namespace {

constexpr size_t kTrcNameUnits = 30;
constexpr size_t kTrcPathUnits = 1024;

// Created by INIT; guards what the natives share among threads.
ThrCS gJrfcMutex;

// Serialises INIT, so that two first calls cannot start every layer twice
// at once. Taken before any lock of the layers below.
std::mutex gInitLock;
std::atomic<int> gInitialised{0};
// The CPI-C layer attaches once per process and answers 1 to every later
// call, a failed first one included: its failure is kept here.
std::atomic<int> gCpicAttachFailed{0};

constexpr JrfcLayerCalls kRealCalls = {ThrProcInit, rscpi_init, WEQ_CPIC_PROCESS_ATTACH,
                                      WEQ_CPIC_THREAD_ATTACH, ThrCSInit};
std::atomic<const JrfcLayerCalls*> gCalls{&kRealCalls};

// Text of an environment variable as WEQ_UC; false when unset or when it
// does not fit.
bool GetenvU16(const char* name, WEQ_UC* out, int units) {
  const char* v = getenv(name);
  return v != nullptr && Utf8sToUcs(out, units, nullptr, v) == 0;
}

// The trace file that TOVNATIVE_TRACE asks for: "TOVNATIVE_<pid>.TRC" in
// TOVNATIVE_TRACE_DIR or the current directory, opened for writing.
void OpenTraceFile() {
  const char* value = getenv("TOVNATIVE_TRACE");
  if (value == nullptr) return;
  // wcstol's reading: blanks, a sign, digits; no digits read as 0.
  long level = strtol(value, nullptr, 10);
  if (level < 0) return;
  // The library was unloaded and loaded again while it stayed mapped: the
  // first load's file is still open; writing it anew would drop its lines.
  if (jrfcTrc() != nullptr) return;
  WEQ_UC name[kTrcNameUnits];
  if (snprintfU16(name, kTrcNameUnits, u"TOVNATIVE_%.6d.TRC", static_cast<int>(getpid())) < 0) {
    return;
  }
  WEQ_UC path[kTrcPathUnits];
  WEQ_UC dir[kTrcPathUnits];
  const WEQ_UC* file = name;
  if (getenv("TOVNATIVE_TRACE_DIR") != nullptr) {
    if (!GetenvU16("TOVNATIVE_TRACE_DIR", dir, kTrcPathUnits) ||
        snprintfU16(path, kTrcPathUnits, u"%s/%s", dir, name) < 0) {
      return;
    }
    file = path;
  }
  int lvl = level > INT_MAX ? INT_MAX : static_cast<int>(level);
  CTrcGlobalHdl.store(CTrcOpenGlobal(file, 1, lvl), std::memory_order_relaxed);
}

// Runs first in the detach of every ending thread; the thread library then
// runs the key destructors.
void ThreadDetachHook() { WEQ_CPIC_THREAD_DETACH(); }

void LibraryStart() {
  ThrSetNoAtexit();
  ThrProcInit();
}

}  // namespace

void LibraryProcessAttach(void) {
  weqparamQuiet();
  ContLocaltimeSetParamGetter(weqparamGet);
  OpenTraceFile();
  LibraryStart();
  ThrSetThreadDetachHook(ThreadDetachHook);
}

void LibraryThreadDetach(void) {
  WEQ_CPIC_THREAD_DETACH();
  ThrKeyCleanup();
}

void LibraryProcessDetach(void) {
  // The hook goes first: no thread that ends from here on reaches a layer
  // that is being taken down.
  ThrSetThreadDetachHook(nullptr);
  WEQ_CPIC_THREAD_DETACH();
  ThrKeyCleanup();
  rscpf_finish(-1);
  rscpFreeThrCtx();
  CTrcExitLib();
  ThrThreadExit();
  ThrProcExit();
  // A later load in this process (a new class loader) starts over with INIT.
  gInitialised.store(0, std::memory_order_release);
}

jint jrfcInit(void) {
  std::lock_guard<std::mutex> hold(gInitLock);
  // Every line asks for the process trace handle afresh: the CPI-C layer's
  // start may set it (its CPICTRC file) half-way through.
  if (gInitialised.load(std::memory_order_acquire)) {
    DPTRC_LINE(2, jrfcTrc(), u"JRFC> INIT: already initialized\n");
    return 0;
  }
  const JrfcLayerCalls* calls = gCalls.load(std::memory_order_acquire);
  ThrRc trc_rc = calls->procInit();
  if (trc_rc != 0) DPTRC_ERROR(jrfcTrc(), u"JRFC> Error:  ThrProcInit failed(%u)\n", trc_rc);

  DPTRC_LINE(2, jrfcTrc(), u"JRFC> Initialize rscp part\n");
  rscpRc_t rc = calls->converterInit(-1);
  if (rc != 0) {
    DPTRC_ERROR(jrfcTrc(), u"JRFC> Error: could not initalize RSCP-Converter (%d)\n", rc);
    return rc;
  }

  DPTRC_LINE(2, jrfcTrc(), u"JRFC> Initalize CPIC-Layer\n");
  if (gCpicAttachFailed.load(std::memory_order_acquire) || calls->cpicProcessAttach(nullptr) != 1) {
    gCpicAttachFailed.store(1, std::memory_order_release);
    DPTRC_ERROR(jrfcTrc(), u"JRFC> could not initalize CPIC-Layer (WEQ_CPIC_PROCESS_ATTACH)\n");
    return 1;
  }
  if (calls->cpicThreadAttach() != 1) {
    DPTRC_ERROR(jrfcTrc(), u"JRFC> could not initalize CPIC-Layer (WEQ_CPIC_THREAD_ATTACH)\n");
    return 1;
  }

  DPTRC_LINE(2, jrfcTrc(), u"JRFC> Initialize jrfc mutex [%p]\n", static_cast<void*>(&gJrfcMutex));
  ThrRc cs = calls->csInit(&gJrfcMutex, nullptr);
  // 3: created by an earlier load of the library in this process.
  if (cs != 0 && cs != THR_ERR_EXISTS) {
    DPTRC_ERROR(jrfcTrc(), u"JRFC> Error: ThrCSInit failed (%u) [%p]\n", cs,
                static_cast<void*>(&gJrfcMutex));
    return 1;
  }

  gInitialised.store(1, std::memory_order_release);
  DPTRC_LINE(2, jrfcTrc(), u"JRFC> INIT: initialized\n");
  return 0;
}

WEQ_EXPORT jint JNICALL Java_com_weq_conn_rfc_driver_CpicDriver_INIT(JNIEnv* /*env*/,
                                                                    jobject /*self*/) {
  return jrfcInit();
}

// --- Internals and test seams --------------------------------------------------------

ThrCS* jrfcMutex(void) { return &gJrfcMutex; }

void jrfcISetLayerCalls(const JrfcLayerCalls* calls) {
  gCalls.store(calls != nullptr ? calls : &kRealCalls, std::memory_order_release);
}

int jrfcIInitialised(void) { return gInitialised.load(std::memory_order_acquire); }
int jrfcICpicAttachFailed(void) { return gCpicAttachFailed.load(std::memory_order_acquire); }

void jrfcIResetInit(void) {
  std::lock_guard<std::mutex> hold(gInitLock);
  gInitialised.store(0, std::memory_order_release);
  gCpicAttachFailed.store(0, std::memory_order_release);
}

JrfcLiveCounts jrfcILiveCounts(void) {
  JrfcLiveCounts c;
  c.thrTables = thr::ThrIThreadTablesAlive.load(std::memory_order_relaxed);
  c.errInfo = ErrIAdmAlive.load(std::memory_order_relaxed);
  c.ni = jrfcIStandinNiThreadsAlive();
  c.cpic = jrfcIStandinCpicThreadsAlive();
  c.rscpCtx = rscpIThrCtxAlive.load(std::memory_order_relaxed);
  return c;
}
