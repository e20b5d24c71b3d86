// Graphical frontend launcher and the native CpicDriver.nativeLaunchWeqGui.
#include "krn/rfc/tov3/rfcweqgui.h"

#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "krn/dptrc/dptrc.h"
#include "krn/rfc/jrfc.h"
#include "krn/rfc/tov3/rfcweqgui_int.h"
#include "i18n/wequ16/u16str.h"
#include "krn/rscp/rscpu.h"
#include "platform/namedobj.h"
#include "platform/process.h"
#include "platform/registry.h"

namespace {

constexpr long kGuiWaitMs = 180000;
// Registry values are read into at most this many bytes of 16-bit text,
// terminator included: 511 units.
constexpr int kGuiRegPathBytes = 1024;
constexpr int kGuiOkUnits = 1024;
constexpr int kGuiErrorUnits = 512;
constexpr int kGuiRfcIdUnits = 33;

const char kGuiPathKey[] = "Software\\WEQ\\RFC\\Weqgui\\ZK5L";
const char kGuiModeKey[] = "Software\\WEQ\\Weqgui";

std::atomic<long> gGuiWaitMs{kGuiWaitMs};
std::atomic<int> gGuiFailStep{RFCGUI_STEP_NONE};
thread_local pid_t tGuiLastPid = -1;

// The id names in use by calls of this process, with their count of users.
std::mutex gGuiNamesLock;
std::map<std::string, int> gGuiNames;

CTRC_HDL GuiTrc() { return CTrcGlobalHdl.load(std::memory_order_relaxed); }

bool GuiInjected(RfcGuiStep step) { return gGuiFailStep.load(std::memory_order_relaxed) == step; }

// Sets the reply text (cut to the buffer) and writes it as an error line.
template <class... A>
int GuiFailWith(WEQ_UC* reply, U16Format<A...> format, const A&... args) {
  snprintfTruncU16(reply, RFCGUI_REPLY_UNITS, format, args...);
  DPTRC_ERROR(GuiTrc(), u"%s\n", reply);
  return 1;
}

// UTF-8 form of 16-bit text; false when it has none.
bool GuiUtf8(const WEQ_UC* text, std::string* out) {
  size_t units = text != nullptr ? strlenU(text) : 0;
  std::string buf(units * 3 + 1, '\0');
  if (UcsToUtf8s(buf.data(), static_cast<int>(buf.size()), nullptr, text) != 0) return false;
  buf.resize(strlen(buf.c_str()));
  *out = buf;
  return true;
}

enum class GuiKind { Sem, Shm };

std::string GuiKey(GuiKind kind, const std::string& name) {
  return (kind == GuiKind::Sem ? "sem:" : "shm:") + name;
}

// The named objects of one start; everything is closed and unlinked when it
// goes, shared id names only by their last user.
class GuiObjects {
 public:
  ~GuiObjects() {
    for (int i = 0; i < count_; ++i) PlatSemClose(sems_[i]);
    if (shmFd_ >= 0) close(shmFd_);
    for (const Made& m : made_) {
      if (m.shared) {
        std::lock_guard<std::mutex> lock(gGuiNamesLock);
        auto it = gGuiNames.find(GuiKey(m.kind, m.name));
        if (it == gGuiNames.end() || --it->second > 0) continue;
        gGuiNames.erase(it);
      }
      if (m.kind == GuiKind::Sem) {
        PlatSemUnlink(m.name.c_str());
      } else {
        PlatShmUnlink(m.name.c_str());
      }
    }
  }

  // 0, or the errno of the refusal.
  int AddSem(const std::string& name, bool shared) {
    sem_t* s = nullptr;
    int rc = Make(GuiKind::Sem, name, shared, [&](bool create) {
      return create ? PlatSemCreate(name.c_str(), &s) : PlatSemOpen(name.c_str(), &s);
    });
    if (rc == 0) sems_[count_++] = s;
    return rc;
  }

  int AddShm(const std::string& name, bool shared) {
    return Make(GuiKind::Shm, name, shared, [&](bool create) {
      return create ? PlatShmCreate(name.c_str(), RFCGUI_SHM_BYTES, &shmFd_)
                    : PlatShmOpen(name.c_str(), &shmFd_);
    });
  }

  sem_t* const* sems() const { return sems_; }
  int count() const { return count_; }
  int shmFd() const { return shmFd_; }

 private:
  struct Made {
    GuiKind kind;
    std::string name;
    bool shared;
  };

  template <class F>
  int Make(GuiKind kind, const std::string& name, bool shared, F make) {
    if (!shared) {
      int rc = make(true);
      if (rc == 0) made_.push_back({kind, name, false});
      return rc;
    }
    std::lock_guard<std::mutex> lock(gGuiNamesLock);
    int& uses = gGuiNames[GuiKey(kind, name)];
    // The first user replaces whatever an ended process left under the name.
    int rc = make(uses == 0);
    if (rc != 0) {
      if (uses == 0) gGuiNames.erase(GuiKey(kind, name));
      return rc;
    }
    ++uses;
    made_.push_back({kind, name, true});
    return 0;
  }

  sem_t* sems_[2] = {nullptr, nullptr};
  int count_ = 0;
  int shmFd_ = -1;
  std::vector<Made> made_;
};

// Widens bytes to units up to a 0 byte or max units.
void GuiWiden(WEQ_UC* out, const unsigned char* in, int avail, int max) {
  int n = 0;
  while (n < avail && n < max && in[n] != 0) {
    out[n] = in[n];
    ++n;
  }
  out[n] = 0;
}

void GuiCopy(WEQ_UC* out, const WEQ_UC* in, int avail, int max) {
  int n = 0;
  while (n < avail && n < max && in[n] != 0) {
    out[n] = in[n];
    ++n;
  }
  out[n] = 0;
}

bool GuiUnitsAre(const WEQ_UC* units, const char* ascii) {
  for (int i = 0; ascii[i] != 0; ++i) {
    if (units[i] != static_cast<unsigned char>(ascii[i])) return false;
  }
  return true;
}

}  // namespace

void rfcGuiISetWaitMs(long ms) { gGuiWaitMs.store(ms > 0 ? ms : kGuiWaitMs); }
void rfcGuiISetFailStep(RfcGuiStep step) { gGuiFailStep.store(step); }
pid_t rfcGuiILastPid(void) { return tGuiLastPid; }

unsigned rfcGuiLaunchMode(void) {
  unsigned mode = 0;
  for (PlatRegHive hive : {PLAT_REG_MACHINE, PLAT_REG_USER}) {
    for (const char* name : {"LaunchWeqlogon", "StartWeqlogon"}) {
      uint32_t v = 0;
      if (PlatRegGetDword(hive, kGuiModeKey, name, &v) == PLAT_REG_OK) mode = v;
    }
  }
  return mode;
}

int rfcGuiParseReply(WEQ_UC* reply, const void* shm) {
  reply[0] = 0;
  int rc = 1;
  const auto* bytes = static_cast<const unsigned char*>(shm);
  // The mapping as 16-bit units, whatever its alignment.
  WEQ_UC units[RFCGUI_SHM_BYTES / 2];
  memcpy(units, shm, sizeof units);
  constexpr int kUnits = RFCGUI_SHM_BYTES / 2;
  if (memcmp(bytes, "RFC_OK", 6) == 0) {
    // A reply that ends at the keyword carries no connect string.
    if (bytes[6] != 0) GuiWiden(reply, bytes + 7, RFCGUI_SHM_BYTES - 7, kGuiOkUnits);
    rc = 0;
  } else if (GuiUnitsAre(units, "RFC_OK")) {
    // Up to the end of the mapping: 1017 units, taken whole without a
    // terminator.
    if (units[6] != 0) GuiCopy(reply, units + 7, kUnits - 7, kGuiOkUnits - 1);
    rc = 0;
  } else if (memcmp(bytes, "RFC_ERROR=", 10) == 0) {
    GuiWiden(reply, bytes + 10, RFCGUI_SHM_BYTES - 10, kGuiErrorUnits);
  } else if (GuiUnitsAre(units, "RFC_ERROR=")) {
    GuiCopy(reply, units + 10, kUnits - 10, kGuiErrorUnits);
  }
  DPTRC_LINE(2, GuiTrc(), u"WEQGUI %s: %s\n", rc == 0 ? u"ConnectString" : u"Error", reply);
  if (rc != 0) DPTRC_ERROR(GuiTrc(), u"WEQGUI Error: %s\n", reply);
  return rc;
}

int rfcGuiStart(const WEQ_UC* cmdLine, const WEQ_UC* rfcId, WEQ_UC* reply) {
  if (cmdLine == nullptr) cmdLine = u"";
  if (rfcId == nullptr) rfcId = u"";
  reply[0] = 0;
  DPTRC_LINE(2, GuiTrc(), u"Starting WEQGUI: %s\n", cmdLine);
  unsigned mode = rfcGuiLaunchMode();
  std::string cmd8;
  std::string id8;
  if (!GuiUtf8(cmdLine, &cmd8) || !GuiUtf8(rfcId, &id8)) {
    return GuiFailWith(reply, u"Failed to start WEQGUI: %s", cmdLine);
  }
  // An id names objects in logon-pad mode: it must be a name.
  if (mode != 0 && id8.find('/') != std::string::npos) {
    return GuiFailWith(reply, u"Invalid RFC id for WEQGUI: %s", rfcId);
  }
  PlatProc proc;
  if (PlatProcCreateSuspended(cmd8.c_str(), &proc) != 0) {
    return GuiFailWith(reply, u"Failed to start WEQGUI: %s", cmdLine);
  }
  tGuiLastPid = proc.pid;
  std::string pidName = std::to_string(static_cast<long>(proc.pid));
  std::string semName = pidName + "_RfcGuiSem";
  std::string shmName = (mode != 0 ? id8 : pidName) + "_RfcGuiShm";
  WEQ_UC shmText[96];
  Utf8sToUcs(shmText, 96, nullptr, shmName.c_str());
  int rc = 0;
  {
    GuiObjects objects;
    WEQ_UC nameText[96];
    if (mode != 0) {
      std::string idSem = id8 + "_RfcGuiSem";
      Utf8sToUcs(nameText, 96, nullptr, idSem.c_str());
      if (GuiInjected(RFCGUI_STEP_ID_SEM) || objects.AddSem(idSem, true) != 0) {
        PlatProcDiscard(&proc);
        return GuiFailWith(reply, u"Failed to create semaphore %s", nameText);
      }
    }
    Utf8sToUcs(nameText, 96, nullptr, semName.c_str());
    if (GuiInjected(RFCGUI_STEP_PID_SEM) || objects.AddSem(semName, false) != 0) {
      PlatProcDiscard(&proc);
      return GuiFailWith(reply, u"Failed to create semaphore %s", nameText);
    }
    if (GuiInjected(RFCGUI_STEP_MAPPING) || objects.AddShm(shmName, mode != 0) != 0) {
      PlatProcDiscard(&proc);
      return GuiFailWith(reply, u"Failed to create shared memory %s", shmText);
    }
    if (PlatProcResume(&proc) != 0) {
      return GuiFailWith(reply, u"Failed to start WEQGUI: %s", cmdLine);
    }
    int which = PlatSemWaitAny(objects.sems(), objects.count(), gGuiWaitMs.load());
    if (which < 0) return GuiFailWith(reply, u"Communication with WEQGUI timed out");
    const void* view = GuiInjected(RFCGUI_STEP_VIEW)
                           ? nullptr
                           : PlatShmMapRead(objects.shmFd(), RFCGUI_SHM_BYTES);
    if (view == nullptr) return GuiFailWith(reply, u"Failed to map shared memory %s", shmText);
    rc = rfcGuiParseReply(reply, view);
    PlatShmUnmap(view, RFCGUI_SHM_BYTES);
  }
  return rc;
}

int rfcGuiLaunch(const WEQ_UC* parameters, const WEQ_UC* rfcId, WEQ_UC* reply) {
  if (parameters == nullptr) parameters = u"";
  if (rfcId == nullptr) rfcId = u"";
  reply[0] = 0;
  WEQ_UC path[RFCGUI_PATH_UNITS];
  WEQ_UC cmd[RFCGUI_CMD_UNITS];
  const char* env = getenv("WEQGUI");
  if (env != nullptr && *env != 0) {
    // The variable only names the frontend; it is not started from Java.
    path[0] = 0;
    Utf8sToUcs(path, RFCGUI_PATH_UNITS, nullptr, env);
    DPTRC_LINE(2, GuiTrc(), u"Path to WEQGUI: %s\n", path);
    snprintfTruncU16(cmd, RFCGUI_CMD_UNITS, u"%s %s /Rfc=%s", path, parameters, rfcId);
    snprintfTruncU16(reply, RFCGUI_REPLY_UNITS, u"Can't start WEQGUI for Java");
    DPTRC_LINE(2, GuiTrc(), u"Starting WEQGUI: %s\n", cmd);
    return 1;
  }
  // The value whole within its 1024 bytes of 16-bit text, or not at all.
  char path8[kGuiRegPathBytes / 2 * 3];
  if (PlatRegGetString(PLAT_REG_MACHINE, kGuiPathKey, "Path", path8, sizeof path8) != PLAT_REG_OK ||
      path8[0] == 0 || Utf8sToUcs(path, kGuiRegPathBytes / 2, nullptr, path8) != 0) {
    return GuiFailWith(reply, u"Can't find the path to WEQGUI");
  }
  DPTRC_LINE(2, GuiTrc(), u"Path to WEQGUI: %s\n", path);
  int n = snprintfTruncU16(cmd, RFCGUI_CMD_UNITS, u"\"%s\" %s /Rfc=%s /SplashScreenOff", path,
                           parameters, rfcId);
  // A command that does not fit is not cut into another one that runs.
  if (n < 0 || n >= RFCGUI_CMD_UNITS) return GuiFailWith(reply, u"Failed to start WEQGUI: %s", cmd);
  return rfcGuiStart(cmd, rfcId, reply);
}

WEQ_EXPORT jobjectArray JNICALL Java_com_weq_conn_rfc_driver_CpicDriver_nativeLaunchWeqGui(
    JNIEnv* env, jobject /*self*/, jstring parameters, jstring rfcId, jstring /*unused*/,
    jint /*unusedInt*/) {
  WEQ_UC params[RFCGUI_CMD_UNITS];
  WEQ_UC id[kGuiRfcIdUnits];
  WEQ_UC reply[RFCGUI_REPLY_UNITS];
  if (jrfcStringToUcs(env, parameters, params, RFCGUI_CMD_UNITS, JRFC_WHERE) != 0) return nullptr;
  if (jrfcStringToUcs(env, rfcId, id, kGuiRfcIdUnits, JRFC_WHERE) != 0) return nullptr;
  int rc = rfcGuiLaunch(params, id, reply);
  jclass stringClass = env->FindClass("java/lang/String");
  if (stringClass == nullptr) {
    if (env->ExceptionCheck()) env->ExceptionClear();
    return nullptr;
  }
  jobjectArray result = env->NewObjectArray(2, stringClass, nullptr);
  env->DeleteLocalRef(stringClass);
  if (result == nullptr) {
    if (env->ExceptionCheck()) env->ExceptionClear();
    return nullptr;
  }
  jstring text = jrfcUcsToString(env, reply, JRFC_WHERE);
  if (text != nullptr) {
    env->SetObjectArrayElement(result, rc == 0 ? 0 : 1, text);
    if (env->ExceptionCheck()) env->ExceptionClear();
    env->DeleteLocalRef(text);
  }
  return result;
}
