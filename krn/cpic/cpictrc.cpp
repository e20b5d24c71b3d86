// The CPI-C trace: the layer's own trace level and stream, set from the
// environment, the program's arguments, the verbs and the Java side, and
// mirrored into the process trace (CTrcLevel, CTrcGlobalHdl) so that every
// module writes into the CPI-C trace file from then on.
#include <stdio.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

#include "i18n/wequ16/u16fmt.h"
#include "i18n/wequ16/u16str.h"
#include "krn/cpic/cpic.h"
#include "krn/cpic/cpic_int.h"

namespace {

constexpr int64_t kEnvUnread = INT64_MIN;
constexpr int64_t kEnvAbsent = INT64_MIN + 1;
constexpr size_t kNameUnits = 30;
constexpr size_t kPathUnits = 100;
#define CPIC_TRC_VERSION u"2009.09.30"

std::atomic<int> g_level{0};
std::atomic<CTRC_HDL> g_hdl{nullptr};  // none until set; standard error is stderr itself
std::atomic<bool> g_initialised{false};
std::atomic<int64_t> g_envTrace{kEnvUnread};
std::atomic<WEQ_UC**> g_argv{nullptr};
std::atomic<bool> g_argsDone{false};
// Serialises the first-use set-up, so that two verbs that start at once do
// not both open (and truncate) the trace file.
std::recursive_mutex g_setupMtx;

// CPIC_TRACE, read once per process.
int64_t EnvTrace() {
  int64_t v = g_envTrace.load();
  if (v != kEnvUnread) return v;
  const WEQ_UC* s = STIGetenv(u"CPIC_TRACE");
  v = s != nullptr ? strtolU(s, nullptr, 10) : kEnvAbsent;
  g_envTrace.store(v);
  return v;
}

// Opens "CPICTRC<pid>" as the CPI-C stream and marks the trace set up.
void OpenDefault(const WEQ_UC* caller) {
  WEQ_UC name[kNameUnits];
  snprintfU16(name, kNameUnits, u"CPICTRC%d", static_cast<int>(getpid()));
  CpicISetHdl(CpicTrcOpen(name, caller));
  g_initialised.store(true);
}

}  // namespace

int CpicTrcLevel(void) { return g_level.load(std::memory_order_relaxed); }
CTRC_HDL CpicTrcHdl(void) { return g_hdl.load(std::memory_order_acquire); }

void CpicISetLevel(int level, bool onlyCpic) {
  g_level.store(level);
  if (!onlyCpic) CTrcLevel.store(level);
}

void CpicISetHdl(CTRC_HDL hdl) {
  g_hdl.store(hdl, std::memory_order_release);
  CTrcGlobalHdl.store(hdl);
}

WEQ_UC** CpicISavedArgv(void) { return g_argv.load(); }
void CpicISetSavedArgv(WEQ_UC** argv) { g_argv.store(argv); }
bool CpicITrcInitialised(void) { return g_initialised.load(); }
void CpicITrcMarkUninitialised(void) { g_initialised.store(false); }

CTRC_HDL CpicTrcOpen(const WEQ_UC* fileName, const WEQ_UC* caller) {
  CTRC_HDL set = CpicTrcHdl();
  int level = CpicTrcLevel();
  if (set != nullptr) {
    if (level == 0) return stderr;
    if (level >= 2) {
      DpTrcLock();
      DpTrc(set, u"%s: trace already initialized\n", u"CpicTrcOpen");
      DpTrcUnlock();
    }
    return set;
  }
  if (level == 0) return stderr;

  // The path is built in a larger buffer to tell a path that does not fit
  // the 100 units apart and to name it in the message.
  WEQ_UC path[4 * kPathUnits];
  const WEQ_UC* dir = STIGetenv(u"CPIC_TRACE_DIR");
  const WEQ_UC* file = fileName != nullptr ? fileName : u"";
  int len = dir != nullptr ? snprintfTruncU16(path, sizeof(path) / sizeof(path[0]), u"%s/%s", dir, file)
                           : snprintfTruncU16(path, sizeof(path) / sizeof(path[0]), u"%s", file);
  CTRC_HDL hdl = stderr;
  if (fileName != nullptr && len >= 0 && static_cast<size_t>(len) < kPathUnits) {
    hdl = CTrcOpenGlobal(path, 1, level);
  }
  if (hdl == stderr || hdl == nullptr) {
    fprintfU16(stderr, u"*** ERROR => %s: fopen %s\n", u"CpicTrcOpen", path);
    fflush(stderr);
    hdl = stderr;
  }
  if (level >= 1) {
    DpTrcLock();
    DpTrc(hdl, u"opened by %s (version=%s.%s)\n", caller != nullptr ? caller : u"", CTRC_RELEASE,
          CPIC_TRC_VERSION);
    DpTrcUnlock();
  }
  return hdl;
}

void CpicTrcInit(int readEnv, int useLevel, int level, int markInit, const WEQ_UC* caller) {
  std::lock_guard<std::recursive_mutex> hold(g_setupMtx);
  if (!g_initialised.load()) {
    if (CpicTrcLevel() != 0) {
      OpenDefault(caller);
    } else {
      if (readEnv) {
        int64_t v = EnvTrace();
        if (v != kEnvAbsent && v >= 0) {
          CpicISetLevel(static_cast<int>(v));
          if (v != 0) {
            OpenDefault(caller);
          } else {
            g_initialised.store(true);
          }
        }
      }
      if (useLevel && !g_initialised.load() && level > 0) {
        CpicISetLevel(level);
        OpenDefault(caller);
      }
    }
  }
  if (markInit) g_initialised.store(true);
  if (level > CpicTrcLevel()) CpicISetLevel(level);
}

CM_RETURN_CODE WEQ_CMTRACE(int level, const WEQ_UC* fileName) {
  std::lock_guard<std::recursive_mutex> hold(g_setupMtx);
  CpicISetLevel(level);
  g_initialised.store(true);
  CpicISetHdl(CpicTrcOpen(fileName, u"WEQ_CMTRACE"));
  return CM_OK;
}

CM_RETURN_CODE WEQ_CMGETTRACE(int* level) {
  if (level == nullptr) return CM_PARAMETER_ERROR;
  if (!g_initialised.load()) {
    *level = 0;
    return CM_PRODUCT_SPECIFIC_ERROR;
  }
  *level = CpicTrcLevel();
  return CM_OK;
}

CM_RETURN_CODE WEQ_CMACCP(WEQ_UC** argv) {
  std::lock_guard<std::recursive_mutex> hold(g_setupMtx);
  CpicISetSavedArgv(argv);
  if (CTrcInitLib() != 0) {
    fprintfU16(stderr, u"%s: CTrcInitLib() failed\n", u"WEQ_CMACCP");
    return CM_UNSUCCESSFUL;
  }
  CpicTrcArgs();
  if (CpicTrcLevel() == 0) return CM_OK;
  if (!g_initialised.load()) OpenDefault(u"WEQ_CMACCP");
  if (CpicTrcLevel() < 0) {
    CpicISetLevel(0);
    return CM_OK;
  }
  CPIC_TRC(2, u"%s(..)\n", u"WEQ_CMACCP");
  return CM_OK;
}

void CpicTrcArgs(void) {
  WEQ_UC** argv = CpicISavedArgv();
  // A call without a vector scans nothing and leaves the scan to a later one.
  if (argv == nullptr || argv[0] == nullptr || g_argsDone.exchange(true)) return;
  for (const WEQ_UC* prefix : {u"CPIC_TRACE=", u"TRACE="}) {
    size_t n = strlenU(prefix);
    for (WEQ_UC** a = argv + 1; *a != nullptr; ++a) {
      if (strncmpU(*a, prefix, n) == 0) {
        CpicISetLevel(strtolU(*a + n, nullptr, 10), true);
        return;
      }
    }
  }
}

void CpicITrcReset(void) {
  g_level.store(0);
  g_hdl.store(nullptr);
  g_initialised.store(false);
  g_envTrace.store(kEnvUnread);
  g_argv.store(nullptr);
  g_argsDone.store(false);
}
