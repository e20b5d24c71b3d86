// Error information: the per-thread administration, setting and replacing
// fields, the validated readers and installing a copied record.
#include "krn/dptrc/err.h"

#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <memory>
#include <mutex>
#include <new>

#include "i18n/wequ16/u16str.h"
#include "krn/dptrc/dptrc_int.h"
#include "krn/dptrc/err_int.h"
#include "krn/perf/pfclock.h"
#include "krn/thr/thr.h"

std::atomic<long> ErrIAdmAlive{0};

const WEQ_UC* const ErrFieldLabel[ERR_FLD_COUNT] = {
    u"",
    u"",
    u"ERROR",
    u"RC",
    u"COMPONENT",
    u"RELEASE",
    u"VERSION",
    u"MODULE",
    u"LINE",
    u"DETAIL",
    u"TIME",
    u"SYSTEM CALL",
    u"ERRNO",
    u"ERRNO TEXT",
    u"COUNTER",
    u"LOCATION",
    u"DESCR MSG NO",
    u"DESCR VARGS",
    u"DETAIL MSG NO",
    u"DETAIL VARGS",
    u"",
};

namespace {

constexpr WEQ_UC kEyecatcher[] = u"*ERR*";
constexpr size_t kEyecatcherUnits = 6;  // with its terminator
constexpr WEQ_UC kRecordVersion[] = u"1";
constexpr WEQ_UC kVargsSeparator[] = u";;;;";
constexpr size_t kNumberUnits = 24;

// The key of the administrations. Created once; ErrDeleteThrKey may delete
// it at process detach, after which the next use creates a new one.
std::atomic<ThrKey> g_key{THR_KEY_NONE};
// Guards creating and deleting g_key; a leaf lock (nothing is called under
// it that takes another).
std::mutex g_keyMutex;

void FreeAdm(ErrThrAdm* adm) {
  free(adm->record);
  free(adm->text);
  free(adm->location);
  free(adm);
  ErrIAdmAlive.fetch_sub(1, std::memory_order_relaxed);
}

void KeyDestructor(void* value) { ErrFreeThrAdm(static_cast<ErrThrAdm*>(value)); }

ThrKey Key(bool create) {
  ThrKey k = g_key.load(std::memory_order_acquire);
  if (k != THR_KEY_NONE || !create) return k;
  std::lock_guard<std::mutex> hold(g_keyMutex);
  k = g_key.load(std::memory_order_relaxed);
  if (k == THR_KEY_NONE) {
    ThrRc rc = ThrKeyGet(&k, KeyDestructor);
    if (rc != THR_ERR_OK && rc != THR_ERR_EXISTS) return THR_KEY_NONE;
    g_key.store(k, std::memory_order_release);
  }
  return k;
}

// The calling thread's administration when it has one; creates nothing.
ErrThrAdm* PeekAdm() {
  ThrKey k = Key(false);
  if (k == THR_KEY_NONE) return nullptr;
  return static_cast<ErrThrAdm*>(ThrKeyVarGet(&k));
}

bool HasRecord(const ErrThrAdm* adm) { return adm != nullptr && adm->length != 0; }

void ClearRecord(ErrThrAdm* adm) {
  memset(adm->record, 0, (ERR_INFO_MAX_UNITS + 1) * sizeof(WEQ_UC));
  adm->length = 0;
}

// A text split into its message number "(nnnnn)" and the rest.
struct MsgText {
  WEQ_UC number[16] = {};
  const WEQ_UC* text = u"";
};

MsgText SplitMsgNo(const WEQ_UC* text, int32_t width) {
  MsgText m;
  if (text == nullptr) return m;
  m.text = text;
  if (width < 1 || width >= 16 || text[0] != u'(') return m;
  for (int32_t i = 1; i <= width; ++i) {
    if (text[i] == 0) return m;
  }
  if (text[width + 1] != u')') return m;
  memcpy(m.number, text + 1, static_cast<size_t>(width) * sizeof(WEQ_UC));
  m.text = text + width + 2;
  return m;
}

// The arguments after the first n.
U16FmtArgs Rest(U16FmtArgs args, int n) {
  size_t skip = n < 0 ? 0 : static_cast<size_t>(n);
  if (skip > args.count) skip = args.count;
  return U16FmtArgs{args.items + skip, args.count - skip};
}

// The conversion specifications of fmt, joined by ";;;;", into out (cap
// units). A format error ends the list.
void CollectSpecs(const WEQ_UC* fmt, WEQ_UC* out, size_t cap) {
  size_t n = 0;
  bool first = true;
  out[0] = 0;
  for (const WEQ_UC* p = fmt; *p != 0;) {
    if (*p++ != u'%') continue;
    const WEQ_UC* start = p - 1;
    U16FmtSpec spec;
    if (!U16FmtParseSpec(p, spec)) return;
    if (spec.conversion == u'%') continue;
    size_t specLen = static_cast<size_t>(p - start);
    size_t sepLen = first ? 0 : 4;
    if (n + sepLen + specLen >= cap) return;
    if (!first) memcpy(out + n, kVargsSeparator, 4 * sizeof(WEQ_UC));
    memcpy(out + n + sepLen, start, specLen * sizeof(WEQ_UC));
    n += sepLen + specLen;
    out[n] = 0;
    first = false;
  }
}

// Formats into out (kErrFmtUnits units); a cut or a format error keeps what
// was formatted.
void Format(WEQ_UC* out, const WEQ_UC* fmt, U16FmtArgs args) {
  out[0] = 0;
  vsnprintfTruncU16(out, kErrFmtUnits, fmt, args);
}

// The scratch texts of a set or replace: heap, so that threads with small
// stacks can record errors.
struct Scratch {
  WEQ_UC error[kErrFmtUnits];
  WEQ_UC detail[kErrFmtUnits];
  WEQ_UC specs[kErrFmtUnits];
  WEQ_UC descrVargs[kErrFmtUnits];
  WEQ_UC detailVargs[kErrFmtUnits];
};

std::unique_ptr<Scratch> NewScratch() {
  return std::unique_ptr<Scratch>(new (std::nothrow) Scratch);
}

// The text of a message (number split off) and, when it has a number, its
// arguments formatted one by one, joined by ";;;;".
void FormatMessage(const MsgText& m, U16FmtArgs args, WEQ_UC* text, WEQ_UC* specs, WEQ_UC* vargs) {
  Format(text, m.text, args);
  vargs[0] = 0;
  if (m.number[0] != 0) {
    CollectSpecs(m.text, specs, kErrFmtUnits);
    Format(vargs, specs, args);
  }
}

WEQ_UC* Number(WEQ_UC* buf, int64_t v, bool emptyWhenZero) {
  buf[0] = 0;
  if (v != 0 || !emptyWhenZero) snprintfU16(buf, kNumberUnits, u"%lld", static_cast<long long>(v));
  return buf;
}

WEQ_UC* ErrnoText(WEQ_UC* buf, int32_t err) {
  buf[0] = 0;
  if (err != 0) ErrGetSysTxt(err, buf, kErrErrnoTextMax + 1);
  return buf;
}

void TraceTooLarge(const WEQ_UC* what, const WEQ_UC* const* fields) {
  if (!DPTRC_ON(1)) return;
  DpTrcHold hold;
  DPTRC_ERROR(CTrcGlobalHdl, u"%s: error info too large", what);
  if (fields == nullptr) return;
  for (int i = 0; i < ERR_FLD_COUNT; ++i) {
    DpTrc(CTrcGlobalHdl, u"%-12.12s%s\n", ErrFieldLabel[i], fields[i]);
  }
}

// The system-log copy of a record set with the log flag.
void TraceLog(const WEQ_UC* const* f, const WEQ_UC* module, uint32_t line, int32_t err) {
  if (!DPTRC_ON(1)) return;
  DpTrcHold hold;
  DpTrc(CTrcGlobalHdl, u"***LOG Q0I=> %s: %s ", f[ERR_FLD_DETAIL], f[ERR_FLD_SYSCALL]);
  if (err != 0) DpTrcCont(CTrcGlobalHdl, u"(%d: %s) ", err, f[ERR_FLD_ERRNO_TEXT]);
  DpTrcCont(CTrcGlobalHdl, u"[%s %d]\n", module, line);
  DpTrcSetLocation(module, static_cast<int>(line));
}

// The message of ErrIGet for a failed validation.
void TraceInvalid(int rc, const ErrThrAdm* adm, int strings) {
  switch (rc) {
    case ERR_NO_INFO:
      DPTRC_LINE(2, CTrcGlobalHdl, u"ErrIGet: no WEQ error info available\n");
      break;
    case ERR_BAD_LENGTH:
      DPTRC_ERROR(CTrcGlobalHdl, u"ErrIGet: bad length (%d)\n", adm->length);
      break;
    case ERR_DAMAGED:
      DPTRC_ERROR(CTrcGlobalHdl, u"ErrIGet: eyecatcher destroyed");
      ErrIDumpDamaged(adm->record, adm->length * sizeof(WEQ_UC));
      break;
    case ERR_INCOMPLETE:
      DPTRC_ERROR(CTrcGlobalHdl, u"ErrIGet: error info incomplete (%d fields only)", strings);
      break;
    default:
      break;
  }
}

int CheckRecord(const ErrThrAdm* adm, const WEQ_UC** fields, int* strings) {
  if (fields != nullptr) {
    for (int i = 0; i < ERR_FLD_COUNT; ++i) fields[i] = u"";
  }
  *strings = 0;
  if (!HasRecord(adm)) return ERR_NO_INFO;
  if (adm->length > ERR_INFO_MAX_UNITS) return ERR_BAD_LENGTH;
  if (!ErrIHasEyecatchers(adm->record, adm->length)) return ERR_DAMAGED;
  const WEQ_UC* rec = adm->record;
  size_t start = 0;
  for (size_t i = 0; i < adm->length; ++i) {
    if (rec[i] != 0) continue;
    if (fields != nullptr && *strings < ERR_FLD_COUNT) fields[*strings] = rec + start;
    ++*strings;
    start = i + 1;
  }
  return *strings < ERR_FLD_COUNT ? ERR_INCOMPLETE : ERR_OK;
}

}  // namespace

// --- Administration ---------------------------------------------------------------

ErrThrAdm* ErrIAdm(void) {
  ThrKey k = Key(true);
  if (k == THR_KEY_NONE) return nullptr;
  auto* adm = static_cast<ErrThrAdm*>(ThrKeyVarGet(&k));
  if (adm == nullptr) {
    adm = static_cast<ErrThrAdm*>(calloc(1, sizeof(ErrThrAdm)));
    if (adm == nullptr) return nullptr;
    adm->msgNoWidth = kErrMsgNoWidth;
    ErrIAdmAlive.fetch_add(1, std::memory_order_relaxed);
    if (ThrKeyVarSet(&k, adm) != THR_ERR_OK) {
      FreeAdm(adm);
      return nullptr;
    }
  }
  if (adm->record == nullptr) {
    adm->record = static_cast<WEQ_UC*>(calloc(ERR_INFO_MAX_UNITS + 1, sizeof(WEQ_UC)));
    adm->text = static_cast<WEQ_UC*>(calloc(kErrTextUnits, sizeof(WEQ_UC)));
    if (adm->record == nullptr || adm->text == nullptr) {
      free(adm->record);
      free(adm->text);
      adm->record = adm->text = nullptr;
      return nullptr;
    }
  }
  return adm;
}

void ErrFreeThrAdm(ErrThrAdm* adm) {
  ErrThrAdm* mine = PeekAdm();
  if (adm == nullptr) adm = mine;
  if (adm == nullptr) return;
  if (adm == mine) {
    ThrKey k = Key(false);
    ThrKeyVarSet(&k, nullptr);
  }
  FreeAdm(adm);
}

void ErrDeleteThrKey(void) {
  std::lock_guard<std::mutex> hold(g_keyMutex);
  ThrKey k = g_key.load(std::memory_order_relaxed);
  if (k == THR_KEY_NONE) return;
  ThrKeyDelete(&k);
  g_key.store(THR_KEY_NONE, std::memory_order_release);
}

// --- Record building and validation -----------------------------------------------------

bool ErrIHasEyecatchers(const WEQ_UC* units, size_t len) {
  if (units == nullptr || len < 2 * kEyecatcherUnits) return false;
  size_t bytes = kEyecatcherUnits * sizeof(WEQ_UC);
  return memcmp(units, kEyecatcher, bytes) == 0 &&
         memcmp(units + len - kEyecatcherUnits, kEyecatcher, bytes) == 0;
}

int ErrIStore(ErrThrAdm* adm, const WEQ_UC* const* fields) {
  // Built apart first: the fields may point into the stored record.
  WEQ_UC built[ERR_INFO_MAX_UNITS + 1];
  size_t total = 0;
  for (int i = 0; i < ERR_FLD_COUNT; ++i) {
    const WEQ_UC* f = fields[i] != nullptr ? fields[i] : u"";
    size_t n = strnlenU16(f, ERR_INFO_MAX_UNITS + 1);
    if (total + n + 1 > ERR_INFO_MAX_UNITS) return ERR_TOO_LARGE;
    memcpy(built + total, f, n * sizeof(WEQ_UC));
    total += n;
    built[total++] = 0;
  }
  ClearRecord(adm);
  memcpy(adm->record, built, total * sizeof(WEQ_UC));
  adm->length = static_cast<uint32_t>(total);
  return ERR_OK;
}

int ErrICheck(const ErrThrAdm* adm, const WEQ_UC** fields) {
  int strings;
  return CheckRecord(adm, fields, &strings);
}

void ErrIDumpDamaged(const void* bytes, size_t len) {
  if (!DPTRC_ON(1)) return;
  DpTrcHold hold;
  DpTrc(CTrcGlobalHdl, u"\n");
  DpTrcHexDump(CTrcGlobalHdl, u"bad err info", bytes, len, DPTRC_TXT_PLAIN);
  DpTrc(CTrcGlobalHdl, u"\n");
}

// --- Setting -----------------------------------------------------------------------------

int ErrSetInfoSysV(const WEQ_UC* component, uint32_t version, const WEQ_UC* module, uint32_t line,
                   uint8_t logFlag, const WEQ_UC* descr, int32_t rc, const WEQ_UC* detail,
                   const WEQ_UC* sysCall, int32_t err, U16FmtArgs args) {
  ErrThrAdm* adm = ErrIAdm();
  std::unique_ptr<Scratch> s = NewScratch();
  if (adm == nullptr || s == nullptr) return ERR_NO_MEMORY;
  ++adm->counter;

  MsgText d = SplitMsgNo(descr, adm->msgNoWidth);
  MsgText t = SplitMsgNo(detail, adm->msgNoWidth);
  // The detail's arguments follow those the description takes.
  U16FmtArgs detailArgs = Rest(args, U16FmtArgsUsed(d.text));
  FormatMessage(d, args, s->error, s->specs, s->descrVargs);
  FormatMessage(t, detailArgs, s->detail, s->specs, s->detailVargs);

  WEQ_UC timeText[32] = u"error in ThrLocaltime";
  time_t now = time(nullptr);
  struct tm tm;
  if (ThrLocaltime(&now, &tm) != nullptr) {
    WEQ_UC asc[26];
    if (ThrAsctime(&tm, asc) != nullptr) {
      strncpy_sU16(timeText, 32, asc, 24);
    } else {
      strcpy_sU16(timeText, 32, u"error in ThrAsctime");
    }
  }
  WEQ_UC rcText[kNumberUnits], versionText[kNumberUnits], lineText[kNumberUnits];
  WEQ_UC errnoText[kNumberUnits], counterText[kNumberUnits];
  WEQ_UC errnoSysText[kErrErrnoTextMax + 1];
  const WEQ_UC* f[ERR_FLD_COUNT] = {
      kEyecatcher,
      kRecordVersion,
      s->error,
      Number(rcText, rc, true),
      component,
      CTRC_RELEASE,
      Number(versionText, version, true),
      module,
      Number(lineText, line, true),
      s->detail,
      timeText,
      sysCall,
      Number(errnoText, err, true),
      ErrnoText(errnoSysText, err),
      Number(counterText, adm->counter, false),
      adm->location,
      d.number,
      s->descrVargs,
      t.number,
      s->detailVargs,
      kEyecatcher,
  };
  if (ErrIStore(adm, f) != ERR_OK) {
    TraceTooLarge(u"ErrISetSys", f);
    ClearRecord(adm);
    return ERR_TOO_LARGE;
  }
  if (logFlag == 1) TraceLog(f, module != nullptr ? module : u"", line, err);
  return ERR_OK;
}

int ErrSetLocationV(const WEQ_UC* fmt, U16FmtArgs args) {
  ErrThrAdm* adm = ErrIAdm();
  if (adm == nullptr) return ERR_NO_MEMORY;
  WEQ_UC text[ERR_INFO_MAX_UNITS + 1];
  text[0] = 0;
  if (fmt != nullptr) vsnprintfTruncU16(text, ERR_INFO_MAX_UNITS + 1, fmt, args);
  WEQ_UC* copy = strdupU(text);
  if (copy == nullptr) return ERR_NO_MEMORY;
  free(adm->location);
  adm->location = copy;
  return ERR_OK;
}

const WEQ_UC* ErrGetLocation(void) {
  ErrThrAdm* adm = PeekAdm();
  return adm != nullptr && adm->location != nullptr ? adm->location : u"";
}

int ErrClear(void) {
  ErrThrAdm* adm = PeekAdm();
  if (adm == nullptr || adm->record == nullptr) return ERR_OK;
  ClearRecord(adm);
  return ERR_OK;
}

int ErrReplaceV(int field, U16FmtArgs value) {
  if (field < ERR_FLD_ERROR || field > ERR_FLD_DETAIL_VARGS || field == ERR_FLD_TIME) {
    return ERR_BAD_FIELD;
  }
  ErrThrAdm* adm = PeekAdm();
  if (!HasRecord(adm)) {
    DPTRC_LINE(2, CTrcGlobalHdl, u"ErrReplace: no error info available\n");
    return ERR_NO_INFO;
  }
  const WEQ_UC* f[ERR_FLD_COUNT];
  int rc = ErrICheck(adm, f);
  if (rc != ERR_OK) return rc;
  if (value.count == 0) return ERR_BAD_FIELD;
  const U16FmtArg& v = value.items[0];
  bool isText = v.kind == U16FmtKind::kStr16 || v.kind == U16FmtKind::kNull;
  bool isInt = U16FmtIsInteger(v.kind);
  const WEQ_UC* text = v.kind == U16FmtKind::kStr16 && v.s != nullptr ? v.s : u"";
  U16FmtArgs args = Rest(value, 1);

  std::unique_ptr<Scratch> s = NewScratch();
  if (s == nullptr) return ERR_NO_MEMORY;
  MsgText m;  // its number must live until the record is stored
  WEQ_UC number[kNumberUnits];
  WEQ_UC sysText[kErrErrnoTextMax + 1];
  switch (field) {
    case ERR_FLD_ERROR:
    case ERR_FLD_DETAIL: {
      if (!isText) return ERR_BAD_FIELD;
      m = SplitMsgNo(text, adm->msgNoWidth);
      bool descr = field == ERR_FLD_ERROR;
      FormatMessage(m, args, s->error, s->specs, s->descrVargs);
      f[field] = s->error;
      f[descr ? ERR_FLD_DESCR_MSGNO : ERR_FLD_DETAIL_MSGNO] = m.number;
      f[descr ? ERR_FLD_DESCR_VARGS : ERR_FLD_DETAIL_VARGS] = s->descrVargs;
      break;
    }
    case ERR_FLD_LOCATION:
    case ERR_FLD_DESCR_MSGNO:
    case ERR_FLD_DETAIL_MSGNO:
      if (!isText) return ERR_BAD_FIELD;
      Format(s->error, text, args);
      f[field] = s->error;
      break;
    case ERR_FLD_RC:
    case ERR_FLD_COUNTER:
    case ERR_FLD_ERRNO: {
      if (!isInt) return ERR_BAD_FIELD;
      bool isSigned = v.kind == U16FmtKind::kI32 || v.kind == U16FmtKind::kI64;
      bool zero = isSigned ? v.i == 0 : v.u == 0;
      number[0] = 0;
      if (!zero || field == ERR_FLD_ERRNO) {
        if (isSigned)
          snprintfU16(number, kNumberUnits, u"%lld", static_cast<long long>(v.i));
        else
          snprintfU16(number, kNumberUnits, u"%llu", static_cast<unsigned long long>(v.u));
      }
      f[field] = number;
      if (field == ERR_FLD_ERRNO)
        f[ERR_FLD_ERRNO_TEXT] = ErrnoText(sysText, static_cast<int32_t>(v.i));
      break;
    }
    default:  // the fields taken unchanged
      if (!isText) return ERR_BAD_FIELD;
      f[field] = text;
      break;
  }
  if (ErrIStore(adm, f) != ERR_OK) {
    TraceTooLarge(u"ErrReplace", nullptr);
    return ERR_TOO_LARGE;
  }
  return ERR_OK;
}

// --- Reading -------------------------------------------------------------------------------

bool ErrIsSet(void) { return HasRecord(PeekAdm()); }

const WEQ_UC* ErrGetFld(int index) {
  ErrThrAdm* adm = PeekAdm();
  if (!HasRecord(adm)) {
    DPTRC_LINE(2, CTrcGlobalHdl, u"ErrGetFld: no error info available\n");
    return u"";
  }
  // A received record may be damaged: the walk stays within the stored
  // length, and every string ends within the buffer, which is 0 from the
  // length on.
  size_t len = adm->length < ERR_INFO_MAX_UNITS ? adm->length : ERR_INFO_MAX_UNITS;
  const WEQ_UC* rec = adm->record;
  size_t pos = 0;
  for (int i = 0; i < index; ++i) {
    while (pos < len && rec[pos] != 0) ++pos;
    if (++pos >= len) return u"";
  }
  return rec + pos;
}

int ErrGetAttr(const WEQ_UC** record, size_t* length) {
  ErrThrAdm* adm = ErrIAdm();
  if (adm == nullptr) return ERR_NO_MEMORY;
  if (!HasRecord(adm)) return ERR_NO_INFO;
  if (record != nullptr) *record = adm->record;
  if (length != nullptr) *length = adm->length;
  return ERR_OK;
}

int ErrIGet(const WEQ_UC** fields) {
  ErrThrAdm* adm = PeekAdm();
  int strings;
  int rc = CheckRecord(adm, fields, &strings);
  if (rc != ERR_OK) TraceInvalid(rc, adm, strings);
  return rc;
}

// --- Installing a copy -----------------------------------------------------------------------

int ErrCpTo(const WEQ_UC* record, size_t length) {
  if (length > ERR_INFO_MAX_UNITS) {
    DPTRC_ERROR(CTrcGlobalHdl, u"ErrCpTo: error info too large (%d bytes)", length);
    return ERR_TOO_LARGE;
  }
  if (!ErrIHasEyecatchers(record, length)) {
    DPTRC_ERROR(CTrcGlobalHdl, u"ErrCpTo: bad err info (eyecatcher destroyed)");
    ErrIDumpDamaged(record, length * sizeof(WEQ_UC));
    return ERR_DAMAGED;
  }
  ErrThrAdm* adm = ErrIAdm();
  if (adm == nullptr) return ERR_NO_MEMORY;
  // The source may be this thread's own record.
  memmove(adm->record, record, length * sizeof(WEQ_UC));
  memset(adm->record + length, 0, (ERR_INFO_MAX_UNITS + 1 - length) * sizeof(WEQ_UC));
  adm->length = static_cast<uint32_t>(length);
  ++adm->counter;
  return ErrReplace(ERR_FLD_COUNTER, adm->counter);
}
