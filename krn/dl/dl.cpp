// Dynamic library loader over dlopen, dlsym, dlclose and dlinfo.
#include "krn/dl/dl.h"

#include <dlfcn.h>
#include <errno.h>
#include <limits.h>
#include <link.h>
#include <string.h>

#include <algorithm>
#include <array>
#include <atomic>

#include "i18n/wequ16/u16fmt.h"
#include "i18n/wequ16/u16str.h"
#include "krn/dl/dl_int.h"
#include "krn/dptrc/dptrc.h"
#include "krn/dptrc/err.h"
#include "krn/rscp/rscpu.h"
#include "krn/thr/thr.h"

namespace {

enum : uint8_t {
  kSlotFree = 1,
  kSlotLoaded = 2,
};

struct DlSlot {
  uint8_t state = kSlotFree;
  WEQ_UC path[DL_MAX_PATH] = {};  // as the caller gave it, for the trace
  void* module = nullptr;
};

// Guards gSlots: every read and change of a slot, and the system calls that
// load, resolve and unload (so a module is never used while another thread
// closes it). Taken before the trace lock and before the system loader's own
// lock; a library's constructors and destructors run under it.
ThrCS gDlCS;

// Every slot starts free: a slot that never held a library is not a valid
// handle.
std::array<DlSlot, DL_MAX_LIBS> gSlots;

std::atomic<int (*)(void*)> gUnloadHook{nullptr};

// Room for a path or symbol name in UTF-8: three bytes per unit at most.
constexpr size_t kUtf8Path = 3 * DL_MAX_PATH;
constexpr size_t kMaxName = 256;  // units of a symbol name, terminator included

// Lengths of the system message and of the texts built from it.
constexpr size_t kSysText = 257;
constexpr size_t kDetail = 512;

struct NameRow {
  int32_t rc;
  const WEQ_UC* name;
};
constexpr NameRow kNames[] = {
    {DL_OK, u"WEQ_O_K"},
    {DLENOACCESS, u"DLENOACCESS"},
    {DLEINVAL, u"DLEINVAL"},
    {DLEOVERFLOW, u"DLEOVERFLOW"},
    {DLEUNLOAD, u"DLEUNLOAD"},
};

// Holds gDlCS for a scope; a failure to take it is traced with the
// caller's name.
class SlotLock {
 public:
  explicit SlotLock(const WEQ_UC* caller) : rc_(ThrCSLock(&gDlCS)) {
    if (rc_ != THR_ERR_OK) DPTRC_ERROR(CTrcGlobalHdl, u"%s: ThrCSLock failed (%u)\n", caller, rc_);
  }
  ~SlotLock() {
    if (rc_ == THR_ERR_OK) ThrCSUnlock(&gDlCS);
  }
  SlotLock(const SlotLock&) = delete;
  SlotLock& operator=(const SlotLock&) = delete;
  bool held() const { return rc_ == THR_ERR_OK; }

 private:
  ThrRc rc_;
};

bool ValidHandle(DL_HDL hdl) {
  return hdl >= 0 && hdl < DL_MAX_LIBS && gSlots[hdl].state == kSlotLoaded;
}

// 16-bit text as UTF-8 into out (cap bytes); false for text that has no
// UTF-8 form (a lone surrogate) or does not fit.
bool ToUtf8(const WEQ_UC* text, char* out, int cap) {
  int written = 0;
  return U16sToUtf8s(out, cap, &written, text) == 0;
}

// The calling thread's last failure of the system loader: its message as
// 16-bit text in buf ("(no message)" when it has none) and its error number,
// which glibc's dlerror() puts into errno.
struct SysError {
  const WEQ_UC* text;
  unsigned long code;
};
SysError LastSysError(WEQ_UC* buf) {
  errno = 0;
  const char* text = dlerror();
  unsigned long code = static_cast<unsigned long>(errno);
  const WEQ_UC* t = DlIGetErrText(buf, kSysText, text);
  return {t != nullptr ? t : u"(no message)", code};
}

}  // namespace

WEQ_UC* DlIGetErrText(WEQ_UC* buf, size_t size, const char* sysText) {
  if (buf == nullptr || size < 2 || sysText == nullptr) return nullptr;
  int written = 0;
  // A message cut to the buffer is still worth showing.
  Utf8sToU16s(buf, static_cast<int>(std::min<size_t>(size, INT_MAX)), &written, sysText);
  WEQ_UC* to = buf;
  for (const WEQ_UC* from = buf; *from != 0; ++from)
    if (*from != u'\r' && *from != u'\n') *to++ = *from;
  *to = 0;
  return buf;
}

void DlITestSetUnload(int (*unload)(void* module)) {
  gUnloadHook.store(unload, std::memory_order_release);
}

const WEQ_UC* DlErrName(int32_t rc) {
  for (const NameRow& row : kNames)
    if (row.rc == rc) return row.name;
  return nullptr;
}

int32_t DlLoadLib(const WEQ_UC* path, DL_HDL* hdl) {
  if (hdl == nullptr) {
    DPTRC_ERROR(CTrcGlobalHdl, u"%s: parameter invalid (hdl == NULL)\n", u"DlLoadLib");
    return DLEINVAL;
  }
  *hdl = DL_HDL_NONE;
  SlotLock lock(u"DlLoadLib");
  if (!lock.held()) return DLEINVAL;
  DL_HDL slot = 0;
  while (slot < DL_MAX_LIBS && gSlots[slot].state != kSlotFree) ++slot;
  if (slot == DL_MAX_LIBS) {
    DPTRC_ERROR(CTrcGlobalHdl, u"%s: no free handle (max %d)\n", u"DlLoadLib", DL_MAX_LIBS);
    return DLEOVERFLOW;
  }
  if (path == nullptr || path[0] == 0) {
    // dlopen would hand out the main program for an empty name.
    DPTRC_ERROR(CTrcGlobalHdl, u"%s: parameter invalid (%s)\n", u"DlLoadLib",
                path == nullptr ? u"path == NULL" : u"path empty");
    return DLEINVAL;
  }
  if (strnlenU16(path, DL_MAX_PATH) >= DL_MAX_PATH) {
    DPTRC_ERROR(CTrcGlobalHdl, u"%s: path too long (max %d)\n", u"DlLoadLib", DL_MAX_PATH);
    return DLEINVAL;
  }
  char file[kUtf8Path + 1];
  if (!ToUtf8(path, file, sizeof file)) {
    DPTRC_ERROR(CTrcGlobalHdl, u"%s: parameter invalid (path not convertible)\n", u"DlLoadLib");
    return DLEINVAL;
  }
  for (char* p = file; *p != 0; ++p)
    if (*p == '\\') *p = '/';

  void* module = dlopen(file, RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    WEQ_UC sys[kSysText];
    SysError err = LastSysError(sys);
    WEQ_UC text[kDetail];
    snprintfTruncU16(text, kDetail, u"%.32s(\"%.128s\")\n  Error %lu = \"%.256s\"", u"dlopen",
                     path, err.code, err.text);
    // The text becomes a format of the error information.
    WEQ_UC escapedBuf[kDetail];
    const WEQ_UC* escaped = ErrEscapePercent(text, escapedBuf, kDetail);
    DPTRC_ERROR(CTrcGlobalHdl, u"%s - %s\n", u"DlLoadLib()==DLENOACCESS", escaped);
    ErrSetInfo(u"DL (Dynamic Loader)", 4, u"dlnt", __LINE__, u"DlLoadLib()==DLENOACCESS",
               DLENOACCESS, escaped);
    return DLENOACCESS;
  }

  DlSlot& s = gSlots[slot];
  s.state = kSlotLoaded;
  strncpy_sU16(s.path, DL_MAX_PATH, path, DL_MAX_PATH - 1);
  s.module = module;
  *hdl = slot;
  if (DPTRC_ON(2)) {
    WEQ_UC used[256] = u"";
    struct link_map* map = nullptr;
    if (dlinfo(module, RTLD_DI_LINKMAP, &map) == 0 && map != nullptr && map->l_name != nullptr) {
      int written = 0;
      Utf8sToU16s(used, 256, &written, map->l_name);
    }
    DpTrcLock();
    DpTrc(CTrcGlobalHdl, u"%s success: %s(\"%.256s\"), hdl %d, addr %p\n", u"DlLoadLib",
          u"dlopen", path, slot, module);
    DpTrc(CTrcGlobalHdl, u"    using \"%s\"\n", used);
    DpTrcUnlock();
  }
  return DL_OK;
}

int32_t DlUnloadLib(DL_HDL* hdl) {
  if (hdl == nullptr) {
    DPTRC_ERROR(CTrcGlobalHdl, u"%s: parameter invalid (hdl == NULL)\n", u"DlUnloadLib");
    return DLEINVAL;
  }
  SlotLock lock(u"DlUnloadLib");
  if (!lock.held()) return DLEINVAL;
  DL_HDL h = *hdl;
  if (!ValidHandle(h)) {
    DPTRC_ERROR(CTrcGlobalHdl, u"DlUnloadLib: invalid handle (%d)\n", h);
    return DLEINVAL;
  }
  DlSlot& s = gSlots[h];
  int (*unload)(void*) = gUnloadHook.load(std::memory_order_acquire);
  int rc = unload != nullptr ? unload(s.module) : dlclose(s.module);
  if (rc != 0) {
    WEQ_UC sys[kSysText];
    SysError err = LastSysError(sys);
    DPTRC_ERROR(CTrcGlobalHdl,
                u"DlUnloadLib FAILED dlclose(\"%.256s\") -> Error %lu = \"%.256s\"\n", s.path,
                err.code, err.text);
    return DLEUNLOAD;
  }
  DPTRC_LINE(2, CTrcGlobalHdl, u"DlUnloadLib successful dlclose(\"%.256s\") hdl %d\n", s.path, h);
  s = DlSlot{};
  *hdl = DL_HDL_NONE;
  return DL_OK;
}

int32_t DlLoadFunc(DL_HDL hdl, const WEQ_UC* name, DL_FUNC* func) {
  SlotLock lock(u"DlLoadFunc");
  if (!lock.held()) return DLEINVAL;
  if (!ValidHandle(hdl)) {
    DPTRC_ERROR(CTrcGlobalHdl, u"%s: invalid handle (%d)\n", u"DlLoadFunc", hdl);
    return DLEINVAL;
  }
  if (name == nullptr || name[0] == 0 || func == nullptr) {
    DPTRC_ERROR(CTrcGlobalHdl, u"%s: parameter invalid (%s)\n", u"DlLoadFunc",
                func == nullptr ? u"func == NULL" : name == nullptr ? u"name == NULL" : u"name empty");
    return DLEINVAL;
  }
  char symbol[3 * kMaxName + 1];
  if (strnlenU16(name, kMaxName) >= kMaxName || !ToUtf8(name, symbol, sizeof symbol)) {
    DPTRC_ERROR(CTrcGlobalHdl, u"%s: function name invalid or too long (max %d)\n",
                u"DlLoadFunc", static_cast<int>(kMaxName - 1));
    return DLEINVAL;
  }
  const DlSlot& s = gSlots[hdl];
  dlerror();  // forget an earlier failure of this thread
  void* addr = dlsym(s.module, symbol);
  // A symbol whose address is NULL is of no use to a caller that will call
  // it: it counts as not found.
  if (addr == nullptr) {
    if (DPTRC_ON(3)) {
      WEQ_UC sys[kSysText];
      SysError err = LastSysError(sys);
      DpTrcLock();
      DpTrc(CTrcGlobalHdl, u"%s failed dlsym(\"%.256s\") from \"%.256s\"\n", u"DlLoadFunc",
            name, s.path);
      DpTrc(CTrcGlobalHdl, u"        with error %lu = \"%.256s\"\n", err.code, err.text);
      DpTrcUnlock();
    }
    return DLENOACCESS;
  }
  *func = reinterpret_cast<DL_FUNC>(addr);
  DPTRC_LINE(3, CTrcGlobalHdl, u"%s successful dlsym(\"%.256s\") from \"%.256s\"\n",
             u"DlLoadFunc", name, s.path);
  return DL_OK;
}
