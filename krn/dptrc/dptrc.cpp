// Developer trace: lock, trace files, time stamps and the line writers.
#include "krn/dptrc/dptrc.h"

#include <stdarg.h>
#include <string.h>
#include <time.h>

#include <algorithm>

#include "i18n/wequ16/u16file.h"
#include "i18n/wequ16/u16str.h"
#include "krn/dptrc/dptrc_int.h"
#include "krn/perf/pfclock.h"
#include "krn/thr/thr.h"

std::atomic<int> CTrcLevel{0};
std::atomic<CTRC_HDL> CTrcGlobalHdl{nullptr};

namespace {

constexpr WEQ_UC kErrorPrefix[] = u"*** ERROR => ";
constexpr WEQ_UC kWarningPrefix[] = u"*** WARNING => ";
constexpr WEQ_UC kModule[] = u"dptrc.cpp";
constexpr size_t kLine8Bytes = 8192;
constexpr size_t kTagUnits = 32;
constexpr size_t kErrnoTextMax = 255;

// Process-wide state of the trace. Guarded by the trace lock, which every
// function here holds while it touches any field.
struct TraceState {
  WEQ_UC line[kDpTrcLineUnits];    // the entry being assembled
  char line8[kLine8Bytes];         // 8-bit formatting of DpTrcErrorA
  WEQ_UC fmt[kDpTrcFmtUnits + 1];  // the format of a located line, cut
  char fmt8[kDpTrcFmtUnits + 1];
  WEQ_UC location[kDpTrcLocUnits];  // "%-12.12s%d": file field, then line
  time_t lastSecond;                // second of the last time-stamp line
  FILE* defaultFile;                // first stream of CTrcOpenGlobal
};

TraceState g_trc;

// The trace lock "dptrace": recursive, created once by whichever thread
// comes first. Guards g_trc; nothing called under it takes another lock of
// the library, so it is the last lock in every order.
ThrRecMtx& TraceLock() {
  static ThrRecMtx* lock = [] {
    static ThrRecMtx m;
    ThrRecMtxInit(&m, u"dptrace");
    return &m;
  }();
  return *lock;
}

// The calling thread's tag, computed once per thread (a forked child gets a
// new id and so a new tag).
struct CachedTag {
  ThrId id = 0;
  size_t len = 0;
  WEQ_UC text[kTagUnits] = {};
};

const WEQ_UC* ThreadTag(size_t* len) {
  thread_local CachedTag tag;
  ThrId id = ThrCurrentId();
  if (tag.len == 0 || tag.id != id) {
    WEQ_UC idText[kTagUnits];
    if (id == static_cast<ThrId>(-1)) {
      strcpy_sU16(idText, kTagUnits, u"???");
    } else {
      ThrIIdToStr(idText, id);
    }
    int r = snprintfTruncU16(tag.text, kTagUnits, u"[Thr %02s] ", +idText);
    tag.len = r < 0 ? 0 : std::min<size_t>(static_cast<size_t>(r), kTagUnits - 1);
    tag.id = id;
  }
  *len = tag.len;
  return tag.text;
}

void Put(FILE* f, const WEQ_UC* text, size_t len) {
  if (len != 0) fwriteU16(text, len, 1, f);
}

// Writes text; with a tag, every newline that does not end the text (nor
// precede only its final '\r') is followed by the tag.
void PutLines(FILE* f, const WEQ_UC* text, size_t len, const WEQ_UC* tag, size_t tagLen) {
  size_t start = 0;
  if (tag != nullptr) {
    for (size_t i = 0; i < len; ++i) {
      if (text[i] != u'\n') continue;
      size_t rest = len - i - 1;
      if (rest == 0 || (rest == 1 && text[i + 1] == u'\r')) break;
      Put(f, text + start, i + 1 - start);
      Put(f, tag, tagLen);
      start = i + 1;
    }
  }
  Put(f, text + start, len - start);
}

// The time-stamp record: once per second, before the entry.
void TimeStamp(FILE* f, bool tagged) {
  DpTrcKeepErrno keep;
  time_t now = time(nullptr);
  if (now == g_trc.lastSecond) return;
  g_trc.lastSecond = now;
  WEQ_UC rec[kTagUnits + 48];
  size_t n = 0;
  if (CTrcLevel.load(std::memory_order_relaxed) == 1) rec[n++] = u'\n';
  if (tagged) {
    size_t tagLen;
    const WEQ_UC* tag = ThreadTag(&tagLen);
    memcpy(rec + n, tag, tagLen * sizeof(WEQ_UC));
    n += tagLen;
  }
  WEQ_UC asc[26];
  struct tm* tm = ContLocaltime(&now);
  const WEQ_UC* text = tm != nullptr ? ThrAsctime(tm, asc) : nullptr;
  size_t textLen = text != nullptr ? strnlenU16(text, 24) : 0;
  if (text == nullptr) {
    text = u"ERROR IN THRASCTIME";
    textLen = strlenU(text);
  }
  memcpy(rec + n, text, textLen * sizeof(WEQ_UC));
  n += textLen;
  rec[n++] = u'\n';
  Put(f, rec, n);
  fflush(f);
}

void PutTruncated(FILE* f) { fprintfU16(f, u"\n%sdata was truncated\n", kWarningPrefix); }

// The text of a formatting failure, with the writer's own location.
void PutFormatFailure(FILE* f, const WEQ_UC* what, int err, int line) {
  fprintfU16(f, u"*** ERROR => %s err, errno=%d [%s %d]\n", what, err, kModule, line);
  fflush(f);
}

size_t Append(size_t used, const WEQ_UC* text) {
  size_t n = std::min(strlenU(text), kDpTrcLineUnits - 1 - used);
  memcpy(g_trc.line + used, text, n * sizeof(WEQ_UC));
  return used + n;
}

// Formats into the rest of the entry buffer; sets *cut when the text did not
// fit. Returns the new length, or -1 on a format error.
template <class... A>
long AppendFmt(size_t used, bool* cut, U16Format<A...> fmt, const A&... args) {
  size_t room = kDpTrcLineUnits - used;
  int r = snprintfTruncU16(g_trc.line + used, room, fmt, args...);
  if (r < 0) return -1;
  if (static_cast<size_t>(r) >= room) {
    *cut = true;
    return static_cast<long>(kDpTrcLineUnits - 1);
  }
  return static_cast<long>(used + static_cast<size_t>(r));
}

// Information writers: DpTrc (stamp, tags), DpTrcCont (stamp), DpTrcHex
// (tags).
void WriteInfo(CTRC_HDL hdl, const WEQ_UC* fmt, U16FmtArgs args, bool stamp, bool tagged) {
  DpTrcKeepErrno keep;
  DpTrcHold hold;
  FILE* f = CTrcHdlToFile(hdl);
  if (stamp) TimeStamp(f, tagged);
  size_t tagLen = 0;
  const WEQ_UC* tag = tagged ? ThreadTag(&tagLen) : nullptr;
  if (tag != nullptr) memcpy(g_trc.line, tag, tagLen * sizeof(WEQ_UC));
  size_t room = kDpTrcLineUnits - tagLen;
  int r = vsnprintfTruncU16(g_trc.line + tagLen, room, fmt, args);
  if (r < 0) {
    PutFormatFailure(f, u"vsnprintfU", errno, __LINE__);
    return;
  }
  bool cut = static_cast<size_t>(r) >= room;
  size_t len = cut ? kDpTrcLineUnits - 1 : tagLen + static_cast<size_t>(r);
  PutLines(f, g_trc.line, len, tag, tagLen);
  if (cut) PutTruncated(f);
  fflush(f);
}

// Copies fmt into dst (cap units and a terminator) and drops a final
// newline; returns whether the format had to be cut.
template <class C>
bool CopyFormat(C* dst, const C* fmt) {
  size_t n = 0;
  while (n <= kDpTrcFmtUnits && fmt[n] != 0) ++n;
  bool cut = n > kDpTrcFmtUnits;
  if (cut) n = kDpTrcFmtUnits;
  memcpy(dst, fmt, n * sizeof(C));
  if (n > 0 && dst[n - 1] == '\n') --n;
  dst[n] = 0;
  return cut;
}

// An 8-bit format cut inside a conversion specification would hand the C
// library an incomplete one; the cut moves back to its '%'.
void DropIncompleteSpec(char* fmt) {
  for (char* p = fmt; *p != 0;) {
    if (*p++ != '%') continue;
    char* start = p - 1;
    while (*p != 0 && strchr("-+ #0'I123456789.*hlLqjzZt", *p) != nullptr) ++p;
    if (*p == 0) {
      *start = 0;
      return;
    }
    ++p;
  }
}

// The C library's text for err as the errno writer shows it.
const WEQ_UC* ErrnoText(int err) {
  if (strerrordesc_np(err) == nullptr) return u"illegal errno";
  const WEQ_UC* text = strerrorU16(err);
  if (text == nullptr) return u"illegal errno";
  if (strnlenU16(text, kErrnoTextMax + 1) > kErrnoTextMax) return u"error text too long";
  return text;
}

// Completes and writes a located line whose text ends at used: the errno
// part (when errnoPart), the location suffix, the truncation note.
void FinishLocated(FILE* f, size_t used, bool cut, bool errnoPart, int err) {
  long n = static_cast<long>(used);
  if (!cut && errnoPart)
    n = AppendFmt(static_cast<size_t>(n), &cut, u" (%d: %s)", err, ErrnoText(err));
  if (n >= 0 && !cut) {
    n = AppendFmt(static_cast<size_t>(n), &cut, u" [%-12.12s %.5s]\n", +g_trc.location,
                  g_trc.location + 12);
  }
  if (n < 0) n = static_cast<long>(used);  // the suffix formats cannot fail
  Put(f, g_trc.line, static_cast<size_t>(n));
  if (cut) PutTruncated(f);
  fflush(f);
}

// DpTrcError, DpTrcWarning and DpTrcErrno (errnoPart set; it cuts a long
// format without saying so).
void WriteLocated(CTRC_HDL hdl, const WEQ_UC* prefix, const WEQ_UC* fmt, U16FmtArgs args,
                  bool errnoPart) {
  DpTrcKeepErrno keep;
  DpTrcHold hold;
  FILE* f = CTrcHdlToFile(hdl);
  TimeStamp(f, true);
  if (fmt == nullptr) {
    PutFormatFailure(f, u"vsnprintfU", EINVAL, __LINE__);
    return;
  }
  if (CopyFormat(g_trc.fmt, fmt) && !errnoPart) {
    fprintfU16(f, u"*** ERROR => Dptrc fmt string truncated\n");
  }
  size_t tagLen;
  const WEQ_UC* tag = ThreadTag(&tagLen);
  memcpy(g_trc.line, tag, tagLen * sizeof(WEQ_UC));
  size_t used = Append(tagLen, prefix);
  size_t room = kDpTrcLineUnits - used;
  int r = vsnprintfTruncU16(g_trc.line + used, room, g_trc.fmt, args);
  if (r < 0) {
    PutFormatFailure(f, u"vsnprintfU", errno, __LINE__);
    return;
  }
  bool cut = static_cast<size_t>(r) >= room;
  used = cut ? kDpTrcLineUnits - 1 : used + static_cast<size_t>(r);
  FinishLocated(f, used, cut, errnoPart, keep.value());
}

}  // namespace

// --- Internals shared with the dumps and the tests ------------------------------

size_t DpTrcIThreadTag(WEQ_UC* buf) {
  size_t len;
  const WEQ_UC* tag = ThreadTag(&len);
  memcpy(buf, tag, len * sizeof(WEQ_UC));
  buf[len] = 0;
  return len;
}

void DpTrcIWriteTagged(FILE* f, const WEQ_UC* text, size_t len, bool flush) {
  size_t tagLen;
  const WEQ_UC* tag = ThreadTag(&tagLen);
  Put(f, tag, tagLen);
  PutLines(f, text, len, tag, tagLen);
  if (flush) fflush(f);
}

void DpTrcIResetForTest(void) {
  DpTrcHold hold;
  g_trc.defaultFile = nullptr;
  g_trc.lastSecond = 0;
  g_trc.location[0] = 0;
}

// --- Life cycle and handles --------------------------------------------------------

int CTrcInitLib(void) {
  DpTrcKeepErrno keep;
  TraceLock();
  return 0;
}

void CTrcExitLib(void) {}

FILE* CTrcHdlToFile(CTRC_HDL hdl) { return hdl != nullptr ? hdl : stderr; }

FILE* CTrcOpen(const WEQ_UC* path, const WEQ_UC* mode) {
  DpTrcKeepErrno keep;
  DpTrcHold hold;
  g_trc.lastSecond = 0;
  if (path == nullptr) return stderr;
  // 'N' opens the file not inherited by child processes; only the streams
  // opened here are marked, never the process's own standard error.
  WEQ_UC openMode[8];
  strncpy_sU16(openMode, 7, mode != nullptr ? mode : u"a", 6);
  strcat_sU16(openMode, 8, u"N");
  FILE* f = fopenU16(path, openMode);
  if (f == nullptr) {
    fprintfU16(stderr, u"*** ERROR => CTrcOpen: fopen %s\n", path);
    f = stderr;
  }
  const WEQ_UC* base = path;
  for (const WEQ_UC* p = path; *p != 0; ++p) {
    if (*p == u'\\' || *p == u'/') base = p + 1;
  }
  fprintfU16(f, u"\n---------------------------------------------------\n");
  fprintfU16(f, u"trc file: \"%s\", trc level: %d, release: \"%s\"\n", base,
             CTrcLevel.load(std::memory_order_relaxed), CTRC_RELEASE);
  fprintfU16(f, u"---------------------------------------------------\n");
  fflush(f);
  return f;
}

CTRC_HDL CTrcOpenGlobal(const WEQ_UC* path, int mode, int level) {
  DpTrcKeepErrno keep;
  DpTrcHold hold;
  if (g_trc.defaultFile == nullptr) CTrcLevel.store(level, std::memory_order_relaxed);
  FILE* f = CTrcOpen(path, mode == 1 ? u"w" : u"a");
  if (g_trc.defaultFile == nullptr) g_trc.defaultFile = f;
  return f;
}

// --- Lock and location ---------------------------------------------------------------

void DpTrcLock(void) {
  DpTrcKeepErrno keep;
  ThrRecMtxLock(&TraceLock());
}

void DpTrcUnlock(void) {
  DpTrcKeepErrno keep;
  ThrRecMtxUnlock(&TraceLock());
}

void DpTrcSetLocation(const WEQ_UC* file, int line) {
  DpTrcKeepErrno keep;
  DpTrcHold hold;
  const WEQ_UC* base = file != nullptr ? file : u"";
  for (const WEQ_UC* p = base; *p != 0; ++p) {
    if (*p == u'\\' || *p == u'/') base = p + 1;
  }
  snprintfTruncU16(g_trc.location, kDpTrcLocUnits, u"%-12.12s%d", base, line);
}

// --- Writers ---------------------------------------------------------------------------

void DpTrcV(CTRC_HDL hdl, const WEQ_UC* fmt, U16FmtArgs args) {
  WriteInfo(hdl, fmt, args, true, true);
}

void DpTrcContV(CTRC_HDL hdl, const WEQ_UC* fmt, U16FmtArgs args) {
  WriteInfo(hdl, fmt, args, true, false);
}

void DpTrcHexV(CTRC_HDL hdl, const WEQ_UC* fmt, U16FmtArgs args) {
  WriteInfo(hdl, fmt, args, false, true);
}

void DpTrcErrorV(CTRC_HDL hdl, const WEQ_UC* fmt, U16FmtArgs args) {
  WriteLocated(hdl, kErrorPrefix, fmt, args, false);
}

void DpTrcWarningV(CTRC_HDL hdl, const WEQ_UC* fmt, U16FmtArgs args) {
  WriteLocated(hdl, kWarningPrefix, fmt, args, false);
}

void DpTrcErrnoV(CTRC_HDL hdl, const WEQ_UC* fmt, U16FmtArgs args) {
  WriteLocated(hdl, kErrorPrefix, fmt, args, true);
}

void DpTrcErrorA(CTRC_HDL hdl, const char* fmt, ...) {
  DpTrcKeepErrno keep;
  DpTrcHold hold;
  FILE* f = CTrcHdlToFile(hdl);
  TimeStamp(f, true);
  if (fmt == nullptr) {
    PutFormatFailure(f, u"vsnprintf", EINVAL, __LINE__);
    return;
  }
  if (CopyFormat(g_trc.fmt8, fmt)) {
    DropIncompleteSpec(g_trc.fmt8);
    fprintfU16(f, u"*** ERROR => Dptrc fmt string truncated\n");
  }
  size_t tagLen;
  const WEQ_UC* tag = ThreadTag(&tagLen);
  memcpy(g_trc.line, tag, tagLen * sizeof(WEQ_UC));
  size_t used = Append(tagLen, kErrorPrefix);
  size_t room = std::min(kDpTrcLineUnits - used, kLine8Bytes);
  va_list ap;
  va_start(ap, fmt);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  int r = vsnprintf(g_trc.line8, room, g_trc.fmt8, ap);
#pragma GCC diagnostic pop
  va_end(ap);
  if (r < 0) {
    PutFormatFailure(f, u"vsnprintf", errno, __LINE__);
    return;
  }
  bool cut = static_cast<size_t>(r) >= room;
  size_t n = cut ? room - 1 : static_cast<size_t>(r);
  // Widened byte by byte: the 8-bit texts are taken as Latin-1.
  for (size_t i = 0; i < n; ++i) {
    g_trc.line[used + i] = static_cast<unsigned char>(g_trc.line8[i]);
  }
  FinishLocated(f, used + n, cut, false, 0);
}

void DpTrcSysLogV(CTRC_HDL hdl, const WEQ_UC* msgId, const WEQ_UC* fmt, U16FmtArgs args) {
  DpTrcKeepErrno keep;
  DpTrcHold hold;
  FILE* f = CTrcHdlToFile(hdl);
  TimeStamp(f, true);
  size_t tagLen;
  const WEQ_UC* tag = ThreadTag(&tagLen);
  Put(f, tag, tagLen);
  fprintfU16(f, u"***LOG %3.3s=> ", msgId != nullptr ? msgId : u"");
  if (fmt != nullptr) vfprintfU16(f, fmt, args);
  fprintfU16(f, u" [%-12.12s %.5s]\n", +g_trc.location, g_trc.location + 12);
  fflush(f);
}
