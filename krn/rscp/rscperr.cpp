// Converter error reports: the one reporter, the OS-error push, clearing,
// the system log of a stack, and the process-wide report options.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <mutex>

#include "i18n/wequ16/blankfld.h"
#include "i18n/wequ16/u16fmt.h"
#include "i18n/wequ16/u16str.h"
#include "krn/rscp/rscp_int.h"

namespace {

// One row per return code; the final row answers every other code.
struct RcRow {
  int code;
  const WEQ_UC* text;  // name padded to 13, description, blanks: 51 units
  const WEQ_UC* number;
  bool syslog;
};

constexpr RcRow kRows[] = {
    {1, u"RSCPEINTERN  Some other internal error             ", u"001", true},
    {8, u"RSCPEIO      Some I/O error.                       ", u"004", true},
    {16, u"RSCPEINVAL   Invalid arguments                     ", u"005", true},
    {32, u"RSCPETOOLONG The data was longer than the buffer.  ", u"006", false},
    {64, u"RSCPECALL    Illegal mixture of procedure calls.   ", u"007", true},
    {128, u"RSCPENOOBJ   No such object                        ", u"008", false},
    {256, u"RSCPEBUSY    Object is busy or locked              ", u"009", false},
    {512, u"RSCPEUNIQ    Selects more than one object          ", u"010", false},
    {2048, u"RSCPENOCONV  Wanted conversion not available.      ", u"012", false},
    {4096, u"RSCPEBADO    A handle is invalid or corrupted.     ", u"013", true},
    {8192, u"RSCPEODATA   There is no more data.                ", u"014", false},
    {16384, u"RSCPEROLLBACK  There happened a data base roll back", u"015", true},
    {0, u"                                                   ", u"   ", false},
};

constexpr size_t Len(const WEQ_UC* s) {
  size_t n = 0;
  while (s[n] != 0) ++n;
  return n;
}

constexpr bool RowsWellFormed() {
  for (const RcRow& r : kRows) {
    if (Len(r.text) != 51 || Len(r.number) != 3) return false;
  }
  return true;
}
static_assert(RowsWellFormed());

const RcRow& Row(int rc) {
  for (const RcRow& r : kRows) {
    if (r.code == rc) return r;
  }
  return kRows[std::size(kRows) - 1];
}

// Areas of the server system by error class letter, 35 units each; a letter
// without a row prints as "stranger". Of these the library reports 'C', 'F'
// and 'O' (the UTF transforms); the texts of the other letters only name
// their area.
struct ClassRow {
  WEQ_UC letter;
  const WEQ_UC* text;
};

constexpr ClassRow kClasses[] = {
    {u'C', u"Codepage handling (RSCP)           "},
    {u'F', u"Filesystem (FS or NFS) usage       "},
    {u'I', u"Internal (not further specified)   "},
    {u'E', u"Environment and configuration      "},
    {u'P', u"Program logic                      "},
    {u'T', u"Tables and table access            "},
    {u'N', u"Network communication              "},
    {u'S', u"Operating system services          "},
    {u'Q', u"Queue handling                     "},
    {u'O', u"Unicode transformation (UTF)       "},
};

constexpr bool ClassesWellFormed() {
  for (const ClassRow& c : kClasses) {
    if (Len(c.text) != 35) return false;
  }
  return true;
}
static_assert(ClassesWellFormed());

// Process-wide counters and options; relaxed, since a race costs at most a
// repeated sequence number or one report under the previous option.
std::atomic<uint32_t> gSeqNo{0};
std::atomic<uint32_t> gFatalCount{0};
std::atomic<bool> gVerbose1{false}, gVerbose2{false};
std::atomic<bool> gOnError1{false}, gOnError2{false};

// The initialiser: written by the converter's start, read by every report.
// Leaf lock; nothing is called while it is held.
std::mutex gInitMutex;
WEQ_UC gInitName[30];
uint8_t gInitByInit = 0;
bool gInitSet = false;  // false until the first set: the name is "compile_time"

void InitDefaultLocked() {
  if (!gInitSet) {
    U16sToBlankField(gInitName, u"compile_time", 30);
    gInitByInit = 0;
    gInitSet = true;
  }
}

// Copies a parameter into its 64-unit field: length -1 is 0-terminated, 0
// or NULL empty (64 blanks), anything else cut at 64.
uint8_t StoreParam(WEQ_UC* field, const WEQ_UC* p, int len) {
  size_t n = 0;
  if (p != nullptr) {
    if (len == -1) {
      n = strnlenU16(p, RSCP_ERR_PARAM_LEN);
    } else if (len > 0) {
      n = std::min<size_t>(static_cast<size_t>(len), RSCP_ERR_PARAM_LEN);
    }
  }
  U16nToBlankField(field, RSCP_ERR_PARAM_LEN, n ? p : nullptr, static_cast<int>(n));
  return static_cast<uint8_t>(n);
}

// Takes the stack slot of a new entry. A set append flag (an OS-error push
// came just before) adds an entry, at most into the fifth slot; otherwise
// the stack starts over.
rscpErrEntry_t& TakeSlot(rscpThrCtx_t& ctx, bool push) {
  rscpErrStack_t& st = ctx.errors;
  int slot = 0;
  if (ctx.append) {
    slot = std::min<int>(st.count, RSCP_ERR_ENTRIES - 1);
    if (st.count < UINT16_MAX) ++st.count;
  } else {
    st.count = 1;
  }
  ctx.append = push ? 1 : 0;
  return st.entries[slot];
}

void ClearEntry(rscpErrEntry_t& e) {
  e.errClass = u' ';
  e.rc = 0;
  e.location = 0;
  e.line = 0;
  U16sToBlankField(e.module, nullptr, 8);
  U16sToBlankField(e.msgArea, nullptr, 20);
  U16sToBlankField(e.msgNumber, nullptr, 3);
  U16sToBlankField(e.msgCode, nullptr, 3);
  U16sToBlankField(e.param1, nullptr, RSCP_ERR_PARAM_LEN);
  U16sToBlankField(e.param2, nullptr, RSCP_ERR_PARAM_LEN);
  U16sToBlankField(e.text, nullptr, 68);
  e.param1Len = 0;
  e.param2Len = 0;
  e.logged = 0;
  e.seqNo = 0;
}

void PrintToErrorOutput(const rscpErrStack_t& st) {
  rscpeps__print_error_stack(&st, rscpeLineAdapter,
                             reinterpret_cast<void*>(&rscph_ErrorOutput));
}

[[noreturn]] void Fatal(rscpErrStack_t& st, const rscpErrEntry_t& e) {
  uint32_t n = gFatalCount.fetch_add(1, std::memory_order_relaxed) + 1;
  fflush(stdout);
  if (n <= 19) {
    rscph_ErrorOutput(u" ", 1);
    PrintToErrorOutput(st);
  }
  rscpeSyslogErrors(&st);
  WEQ_UC area[21];
  BlankFieldToUcs(area, e.msgArea, 20);
  int number = 0;
  for (WEQ_UC c : e.msgNumber) {
    if (c >= u'0' && c <= u'9') number = number * 10 + (c - u'0');
  }
  rscpHooks.abortProcess(e.rc == RSCPEBUSY ? 8 : 10, area, number, 0, 2, e.param1,
                         e.param1Len, e.param2, e.param2Len);
  abort();
}

}  // namespace

// --- Initialiser ------------------------------------------------------------------------

void rscpSetInitializer(const WEQ_UC* name, int length, uint8_t byInit) {
  std::lock_guard<std::mutex> hold(gInitMutex);
  U16nToBlankField(gInitName, 30, name,
                   name == nullptr ? 0 : length < 0 ? static_cast<int>(strnlenU16(name, 30)) : length);
  gInitByInit = byInit;
  gInitSet = true;
}

uint8_t rscpGetInitializer(WEQ_UC* name30) {
  std::lock_guard<std::mutex> hold(gInitMutex);
  InitDefaultLocked();
  memcpy(name30, gInitName, sizeof gInitName);
  return gInitByInit;
}

// --- Pieces -------------------------------------------------------------------------------

void rscpeIModuleName(const WEQ_UC* id, WEQ_UC* name8) {
  if (id == nullptr) {
    U16sToBlankField(name8, u"?modul?", 8);
    return;
  }
  auto skipBlanks = [](const WEQ_UC* p) {
    while (*p == u' ' || *p == u'\t') ++p;
    return p;
  };
  const WEQ_UC* p = skipBlanks(id);
  if (p[0] == u'@' && p[1] == u'(' && p[2] == u'#' && p[3] == u')') p = skipBlanks(p + 4);
  if (*p == u'$') {  // a keyword such as "$Id:" or "$Header:"
    const WEQ_UC* q = p + 1;
    while ((*q >= u'A' && *q <= u'Z') || (*q >= u'a' && *q <= u'z')) ++q;
    if (*q == u':') p = skipBlanks(q + 1);
  }
  const WEQ_UC* start = p;
  for (const WEQ_UC* q = p; *q != 0 && *q != u' ' && *q != u'\t'; ++q) {
    if (*q == u'/') start = q + 1;
  }
  int n = 0;
  while (n < 8 && start[n] != 0 && start[n] != u'.' && start[n] != u' ' && start[n] != u'#' &&
         start[n] != u'\t') {
    ++n;
  }
  U16nToBlankField(name8, 8, start, n);
}

const WEQ_UC* rscpeIClassText(WEQ_UC errClass) {
  for (const ClassRow& c : kClasses) {
    if (c.letter == errClass) return c.text;
  }
  return u"stranger";
}

const WEQ_UC* rscpeIRowText(int rc) { return Row(rc).text; }

int rscpeITraceLine(WEQ_UC* buf, size_t size, int rc, const WEQ_UC* moduleId, int location,
                    int line, const WEQ_UC* text, const rscpErrEntry_t& e) {
  const WEQ_UC* id = moduleId ? moduleId : u"?modul?";
  int idLen = 0;
  while (idLen < 32 && id[idLen] != 0 && id[idLen] != u'#' && id[idLen] != u'\t') ++idLen;
  int n = snprintfTruncU16(buf, size, u"rscpe__error %ld at %.*s(%d;%d) \"%.100s\" (%.*s,%.*s)",
                           static_cast<long>(rc), idLen, id, location, line,
                           text ? text : u"?text?", static_cast<int>(e.param1Len), e.param1,
                           static_cast<int>(e.param2Len), e.param2);
  if (n < 0) return 0;
  return static_cast<int>(strnlenU16(buf, size));
}

void rscpeISyslogData(const rscpErrEntry_t& e, WEQ_UC* data) {
  // Parameters 1 and 2 side by side in 53 units, the module in 8 and the
  // location in the last 3; a location beyond 999 keeps its first digits.
  WEQ_UC params[53];
  int n = std::min<int>(e.param1Len, 53);
  memcpy(params, e.param1, n * sizeof(WEQ_UC));
  int m = std::min<int>(e.param2Len, 53 - n);
  memcpy(params + n, e.param2, m * sizeof(WEQ_UC));
  U16nToBlankField(data, 53, params, n + m);
  memcpy(data + 53, e.module, 8 * sizeof(WEQ_UC));
  WEQ_UC loc[4];
  snprintfTruncU16(loc, 4, u"%*d", 3, static_cast<int>(e.location));
  U16sToBlankField(data + 61, loc, 3);
}

uint32_t rscpeIFatalCount() { return gFatalCount.load(std::memory_order_relaxed); }

void rscpeTestSetSeqNo(uint32_t n) { gSeqNo.store(n, std::memory_order_relaxed); }

void rscpeIReset() {
  gSeqNo.store(0, std::memory_order_relaxed);
  gFatalCount.store(0, std::memory_order_relaxed);
  rscpeSetPrintStyle(1);
  rscpeSetShowSeqNo(0);
  rscpeSetShowClassC(1);
  rscpeSetVerbose(0);
  rscpeSetOnError(0);
  std::lock_guard<std::mutex> hold(gInitMutex);
  gInitSet = false;
  InitDefaultLocked();
}

// --- Reports --------------------------------------------------------------------------------

int rscpe__error(int rc, WEQ_UC errClass, int acceptMask, const WEQ_UC* moduleId, int location,
                 int line, const WEQ_UC* text, const WEQ_UC* msgCode, const WEQ_UC* param1,
                 int param1Len, const WEQ_UC* param2, int param2Len) {
  const int callerErrno = errno;  // before anything here can change it
  rscpThrCtx_t* ctx = rscpGetThrCtx();
  rscpErrStack_t& st = ctx->errors;
  const uint32_t seq = gSeqNo.fetch_add(1, std::memory_order_relaxed) + 1;
  rscpErrEntry_t& e = TakeSlot(*ctx, false);
  ClearEntry(e);

  e.errClass = errClass;
  if (st.osErrno == 0) st.osErrno = callerErrno;
  WEQ_UC init[30];
  if (!rscpGetInitializer(init)) memcpy(st.initName, init, sizeof init);
  rscpeIModuleName(moduleId, e.module);
  e.location = location;
  e.rc = rc;
  e.line = line;
  e.seqNo = seq;

  bool syslog = false;
  if (errClass != u'I') {
    const RcRow& row = Row(rc);
    U16sToBlankField(e.msgArea, u"TS", 20);
    memcpy(e.msgNumber, row.number, sizeof e.msgNumber);
    syslog = row.syslog;
  }
  U16nToBlankField(e.msgCode, 3, msgCode,
                   msgCode ? static_cast<int>(strnlenU16(msgCode, 3)) : 0);
  e.param1Len = StoreParam(e.param1, param1, param1Len);
  e.param2Len = StoreParam(e.param2, param2, param2Len);
  U16sToBlankField(e.text, text ? text : u"?text?", 68);

  if (rscpHooks.traceActive()) {
    if ((rc & acceptMask) == 0) rscpHooks.debugStop();
    WEQ_UC buf[300];
    int n = rscpeITraceLine(buf, std::size(buf), rc, moduleId, location, line, text, e);
    rscpHooks.trace(buf, n);
  }

  if (syslog) rscpeSyslogErrors(&st);
  // On-error level 2 would also call a stack-dump routine; none is installed.
  if (gOnError1.load(std::memory_order_relaxed)) PrintToErrorOutput(st);
  if ((rc & acceptMask) != 0) return rc;
  Fatal(st, e);
}

void rscpePushOsError(int err, const WEQ_UC* text, int length) {
  rscpThrCtx_t* ctx = rscpGetThrCtx();
  rscpErrStack_t& st = ctx->errors;
  const uint32_t seq = gSeqNo.fetch_add(1, std::memory_order_relaxed) + 1;
  rscpErrEntry_t& e = TakeSlot(*ctx, true);
  ClearEntry(e);
  e.errClass = u'F';
  e.seqNo = seq;
  st.osErrno = err;
  int n = 0;
  if (text != nullptr) {
    n = length < 1 ? static_cast<int>(strnlenU16(text, 72)) : std::min(length, 72);
  }
  U16nToBlankField(st.osText, 72, text, n);
}

rscpErrStack_t* rscpeg__get_thr_errors(void) { return &rscpGetThrCtx()->errors; }

void rscpeClearErrors(rscpErrStack_t* st) {
  if (st == nullptr) return;
  // The count may have run past the five entries that exist.
  for (int i = 0; i < std::min<int>(st->count, RSCP_ERR_ENTRIES); ++i) ClearEntry(st->entries[i]);
  st->count = 0;
  st->osErrno = 0;
  U16sToBlankField(st->osText, nullptr, 72);
  U16sToBlankField(st->initName, nullptr, 30);
}

void rscpeClearThrErrors(void) { rscpeClearErrors(rscpeg__get_thr_errors()); }

void rscpeSyslogErrors(rscpErrStack_t* st) {
  if (st == nullptr) return;
  for (int i = std::min<int>(st->count, RSCP_ERR_ENTRIES) - 1; i >= 0; --i) {
    rscpErrEntry_t& e = st->entries[i];
    if (e.logged) continue;
    switch (e.errClass) {
      case u'C':
      case u'E':
      case u'I':
      case u'O':
      case u'P': {
        WEQ_UC data[64];
        rscpeISyslogData(e, data);
        rscpHooks.syslog(u'k', e.msgCode, data);
        break;
      }
      case u'F': {
        int n = 72;
        while (n > 0 && st->osText[n - 1] == u' ') --n;
        if (n > 0) rscpHooks.syslogText(st->osText, n);
        break;
      }
      default:
        break;
    }
    e.logged = 1;
  }
}

void rscpeLineAdapter(const WEQ_UC* text, int length, void* output) {
  if (output != nullptr) reinterpret_cast<rscpLineOut_t>(output)(text, length);
}

// --- Options ----------------------------------------------------------------------------------

namespace {
std::atomic<int> gPrintStyle{1};
std::atomic<bool> gShowSeqNo{false};
std::atomic<bool> gShowClassC{true};

int SetPair(std::atomic<bool>& first, std::atomic<bool>& second, int level) {
  int before = first.load(std::memory_order_relaxed) + second.load(std::memory_order_relaxed);
  first.store(level >= 1, std::memory_order_relaxed);
  second.store(level >= 2, std::memory_order_relaxed);
  return before;
}
}  // namespace

void rscpeSetPrintStyle(int n) { gPrintStyle.store(n == 2 ? 2 : 1, std::memory_order_relaxed); }
int rscpeGetPrintStyle(void) { return gPrintStyle.load(std::memory_order_relaxed); }
void rscpeSetShowSeqNo(int n) { gShowSeqNo.store(n == 1, std::memory_order_relaxed); }
int rscpeGetShowSeqNo(void) { return gShowSeqNo.load(std::memory_order_relaxed); }
void rscpeSetShowClassC(int n) { gShowClassC.store(n != 0, std::memory_order_relaxed); }
int rscpeGetShowClassC(void) { return gShowClassC.load(std::memory_order_relaxed); }
int rscpeSetVerbose(int level) { return SetPair(gVerbose1, gVerbose2, level); }
int rscpeSetOnError(int level) { return SetPair(gOnError1, gOnError2, level); }
int rscpeGetVerbose(void) {
  return gVerbose1.load(std::memory_order_relaxed) + gVerbose2.load(std::memory_order_relaxed);
}
