// Developer trace: the one diagnostic output of the library. Every module
// writes information lines, warnings, errors and memory dumps through it into
// a UTF-8 file (or standard error), each line starting with the writer's
// thread tag "[Thr <id>] ", with a time-stamp line before the first entry of
// every second and, on error, warning and log lines, the source location.
//
// Calling pattern. Every call site tests CTrcLevel first (one relaxed load;
// nothing else happens when tracing is off), takes the trace lock, records
// the source location for error, warning, errno and log lines, makes one
// writer call and releases the lock. The DPTRC_* macros below do exactly
// that; use them rather than the writers. Levels: 1 errors and warnings,
// 2 information, 3 details.
//
// Writers never test the level and never fail; a text that does not fit the
// 8191-unit entry is cut and followed by a "data was truncated" warning.
// Formats are the 16-bit formatted output's, checked at compile time against
// the argument types when they are literals; "%s" takes WEQ_UC text.
// Writers keep errno as they found it.
//
// Locking. The trace lock "dptrace" is a recursive mutex created once on
// first use. It guards the entry buffers, the location text, the last
// time-stamp second and the default trace file; it is the last lock taken:
// nothing that is called under it takes another lock of the library. Entries
// are written and flushed under it, so entries of different threads never
// interleave.
//
// Ownership. Trace streams are opened here and never closed; CTrcOpen marks
// them not inherited by child processes.
#ifndef KRN_DPTRC_DPTRC_H
#define KRN_DPTRC_DPTRC_H

#include <errno.h>
#include <stdint.h>
#include <stdio.h>

#include <atomic>

#include "i18n/wequ16/u16fmt.h"
#include "weq_types.h"

// A trace handle: NULL stands for standard error, anything else is a stream
// returned by CTrcOpen or CTrcOpenGlobal.
typedef FILE* CTRC_HDL;

// Process-wide trace level: 0 off, 1 errors, 2 full, 3 detailed. Read with
// a relaxed load at every call site; set by CTrcOpenGlobal and by layers
// that run their own level.
extern std::atomic<int> CTrcLevel;

// The handle every module writes to; set at load when tracing is asked for.
extern std::atomic<CTRC_HDL> CTrcGlobalHdl;

// Release text printed in the trace file header.
#define CTRC_RELEASE u"720"

// --- Life cycle and handles --------------------------------------------------

// Creates the trace lock when it does not exist; returns 0.
int CTrcInitLib(void);
// Library unload; nothing to do.
void CTrcExitLib(void);

// Opens path with the C open mode ("w" or "a") as a UTF-8 trace file and
// writes the file header. A NULL path returns standard error and writes
// nothing; a file that cannot be opened is reported on standard error, which
// then serves as the stream (and gets the header). The next entry carries a
// time stamp.
FILE* CTrcOpen(const WEQ_UC* path, const WEQ_UC* mode);

// Opens a trace file with CTrcOpen (mode 1 "w", else "a"). The first call
// fixes CTrcLevel to level (before the header is written) and makes the
// stream the default trace file; later calls leave both alone.
CTRC_HDL CTrcOpenGlobal(const WEQ_UC* path, int mode, int level);

// The stream behind a handle: standard error for NULL.
FILE* CTrcHdlToFile(CTRC_HDL hdl);

// --- Lock and location -------------------------------------------------------

// Takes the recursive trace lock (creating it once); a thread may nest.
void DpTrcLock(void);
void DpTrcUnlock(void);

// Records the location of the next error, warning, errno or log line: the
// base name of file (after the last '\' or '/') blank-padded or cut to 12
// units, followed by the line number. Call under the same hold of the lock as
// the writer.
void DpTrcSetLocation(const WEQ_UC* file, int line);

// --- Writers over typed argument lists (what the templates below call) ------

void DpTrcV(CTRC_HDL hdl, const WEQ_UC* fmt, U16FmtArgs args);
void DpTrcContV(CTRC_HDL hdl, const WEQ_UC* fmt, U16FmtArgs args);
void DpTrcHexV(CTRC_HDL hdl, const WEQ_UC* fmt, U16FmtArgs args);
void DpTrcErrorV(CTRC_HDL hdl, const WEQ_UC* fmt, U16FmtArgs args);
void DpTrcWarningV(CTRC_HDL hdl, const WEQ_UC* fmt, U16FmtArgs args);
void DpTrcErrnoV(CTRC_HDL hdl, const WEQ_UC* fmt, U16FmtArgs args);
void DpTrcSysLogV(CTRC_HDL hdl, const WEQ_UC* msgId, const WEQ_UC* fmt, U16FmtArgs args);

// --- Writers -------------------------------------------------------------------

// An information entry: time stamp when the second changed, then the text,
// every line of it after the thread tag. The text carries its own newlines.
template <class... A>
inline void DpTrc(CTRC_HDL hdl, U16Format<A...> fmt, const A&... args) {
  DpTrcV(hdl, fmt.str, U16FmtMakeArgs(args...).args());
}

// As DpTrc without any thread tag: continues the line of the entry before.
template <class... A>
inline void DpTrcCont(CTRC_HDL hdl, U16Format<A...> fmt, const A&... args) {
  DpTrcContV(hdl, fmt.str, U16FmtMakeArgs(args...).args());
}

// As DpTrc without the time stamp (the lines of memory dumps).
template <class... A>
inline void DpTrcHex(CTRC_HDL hdl, U16Format<A...> fmt, const A&... args) {
  DpTrcHexV(hdl, fmt.str, U16FmtMakeArgs(args...).args());
}

// One error line: tag, "*** ERROR => ", the text without its final newline
// and the location " [file12 line]". A format longer than 1024 units is cut
// (and says so in the trace first).
template <class... A>
inline void DpTrcError(CTRC_HDL hdl, U16Format<A...> fmt, const A&... args) {
  DpTrcErrorV(hdl, fmt.str, U16FmtMakeArgs(args...).args());
}

// As DpTrcError with "*** WARNING => ".
template <class... A>
inline void DpTrcWarning(CTRC_HDL hdl, U16Format<A...> fmt, const A&... args) {
  DpTrcWarningV(hdl, fmt.str, U16FmtMakeArgs(args...).args());
}

// As DpTrcError, with " (errno: its text)" before the location. errno is
// the value at the call.
template <class... A>
inline void DpTrcErrno(CTRC_HDL hdl, U16Format<A...> fmt, const A&... args) {
  DpTrcErrnoV(hdl, fmt.str, U16FmtMakeArgs(args...).args());
}

// As DpTrcError over an 8-bit format with 8-bit string arguments, formatted
// by the C library and widened byte by byte.
void DpTrcErrorA(CTRC_HDL hdl, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// A copy of a system-log message: tag, "***LOG <id>=> ", the text as
// formatted (final newline kept, no length limit) and the location. Always
// preceded by the time-stamp check.
template <class... A>
inline void DpTrcSysLog(CTRC_HDL hdl, const WEQ_UC* msgId, U16Format<A...> fmt, const A&... args) {
  DpTrcSysLogV(hdl, msgId, fmt.str, U16FmtMakeArgs(args...).args());
}

// The system log has no sink in this library: the call does nothing.
template <class... A>
inline void DpSysLogHook(CTRC_HDL, const WEQ_UC*, U16Format<A...>, const A&...) {}

// --- Memory dumps --------------------------------------------------------------

// Text column modes of the dumps.
enum : uint8_t {
  DPTRC_TXT_PLAIN = 0,     // bytes shown as they are
  DPTRC_TXT_EBCDIC = 1,    // EBCDIC bytes shown translated to Latin-1
  DPTRC_TXT_TOEBCDIC = 2,  // Latin-1 bytes shown translated to EBCDIC
};

// Writes "Adresse   Offset  <title>", a rule, one line per 16 bytes
// (address, decimal offset, hex bytes in groups of four, text column) and
// the rule again, under one hold of the trace lock, without time stamp.
// Session identifiers ("SID:ANON:" or "SID%3aANON%3a" up to and including
// the next "-ATT" or "-NEW") show as "xx". Nothing for NULL data, length 0
// or an unknown mode. Callers test CTrcLevel >= 2 themselves.
void DpTrcHexDump(CTRC_HDL hdl, const WEQ_UC* title, const void* data, size_t len, uint8_t mode);

// As DpTrcHexDump; in an EBCDIC connect block ("CONN", at least 37 bytes)
// the password bytes 27 to 34 show as X. The data is changed while the dump
// runs and restored before the call returns: it must be writable and not be
// read by other threads meanwhile.
void DpTrcHexDumpMasked(CTRC_HDL hdl, const WEQ_UC* title, void* data, size_t len, uint8_t mode);

// --- The calling pattern -------------------------------------------------------

#define DPTRC_ON(level) (__builtin_expect(CTrcLevel.load(std::memory_order_relaxed) >= (level), 0))

#define DPTRC_WIDE_(s) u"" s

// An information line at the given level (2 or 3).
#define DPTRC_LINE(level, hdl, fmt, ...)            \
  do {                                              \
    if (DPTRC_ON(level)) {                          \
      DpTrcLock();                                  \
      DpTrc((hdl), fmt __VA_OPT__(, ) __VA_ARGS__); \
      DpTrcUnlock();                                \
    }                                               \
  } while (0)

// A located line (error, warning, errno) at level 1.
#define DPTRC_LOCATED_(writer, hdl, fmt, ...)            \
  do {                                                   \
    if (DPTRC_ON(1)) {                                   \
      DpTrcLock();                                       \
      DpTrcSetLocation(DPTRC_WIDE_(__FILE__), __LINE__); \
      writer((hdl), fmt __VA_OPT__(, ) __VA_ARGS__);     \
      DpTrcUnlock();                                     \
    }                                                    \
  } while (0)

#define DPTRC_ERROR(hdl, fmt, ...) DPTRC_LOCATED_(DpTrcError, hdl, fmt __VA_OPT__(, ) __VA_ARGS__)
#define DPTRC_WARNING(hdl, fmt, ...) \
  DPTRC_LOCATED_(DpTrcWarning, hdl, fmt __VA_OPT__(, ) __VA_ARGS__)
#define DPTRC_ERRNO(hdl, fmt, ...) DPTRC_LOCATED_(DpTrcErrno, hdl, fmt __VA_OPT__(, ) __VA_ARGS__)
#define DPTRC_ERROR_A(hdl, fmt, ...) \
  DPTRC_LOCATED_(DpTrcErrorA, hdl, fmt __VA_OPT__(, ) __VA_ARGS__)

// A system-log copy line with its 3-character message id, at level 1.
#define DPTRC_SYSLOG(hdl, msgId, fmt, ...)                         \
  do {                                                             \
    if (DPTRC_ON(1)) {                                             \
      DpTrcLock();                                                 \
      DpTrcSetLocation(DPTRC_WIDE_(__FILE__), __LINE__);           \
      DpTrcSysLog((hdl), (msgId), fmt __VA_OPT__(, ) __VA_ARGS__); \
      DpTrcUnlock();                                               \
    }                                                              \
  } while (0)

#endif
