// UTF-8 text files for 16-bit text, system texts as 16-bit text, and the
// Unicode interface reporter.
//
// Outside the process text is UTF-8: these are the WEQ_UC counterparts of
// the C library's file and text functions, converting UTF-16 to UTF-8 on the
// way out and back on the way in. Failures are reported through errno
// (EILSEQ invalid UTF-8, ENAMETOOLONG destination array too small, ENOMEM)
// and, when U16ReportLevel allows, through the reporter, which writes framed
// diagnostics to stderr. The reporter never fails and never allocates;
// texts that do not fit its buffers are cut.
//
// All functions are reentrant; strerrorU16's buffer is per thread. Report
// lines of different threads may interleave, but each writer call is one
// fwrite. Streams are locked by the C library, per chunk written and per
// line read.
#ifndef WEQU16_U16FILE_H
#define WEQU16_U16FILE_H

#include <stdio.h>

#include "weq_types.h"

// --- Writing UTF-8 -----------------------------------------------------------

// Encodes size x count units as UTF-8 and writes them to stream in chunks of
// about 507 bytes. A high surrogate followed by a low one becomes one 4-byte
// sequence; any other surrogate unit is written as '#'. *bytes (when not
// NULL) receives the bytes written. Returns the elements written: on a
// short write, the units not written are estimated (those of the failed
// chunk less a third of its bytes that were written, and all units after
// it) and (size x count - unwritten) / size is returned; with fail set and a
// chunk of which nothing was written, -1. size x count of 0 returns 0.
long U16WriteUtf8(const WEQ_UC* units, size_t size, size_t count, FILE* stream, size_t* bytes,
                  int fail);

// U16WriteUtf8 without byte count and fail flag.
size_t fwriteU16(const WEQ_UC* units, size_t size, size_t count, FILE* stream);

// Writes a 0-terminated string without its terminator: bytes written, or -1.
long fputsU16(const WEQ_UC* s, FILE* stream);

// Writes text, ": ", the strerrorU16 text of errno and a newline to stderr.
void perrorU16(const WEQ_UC* text);

// --- Reading UTF-8 -----------------------------------------------------------

// The last invalid UTF-8 sequence met by a read call, for its report.
struct U16BadSequence {
  int len = 0;                  // bytes in bytes[], 0..4
  unsigned char bytes[4] = {};  // the bytes consumed by the bad sequence
  int err = 0;                  // EILSEQ when len > 0
};

// One character: its code point, -1 at end of file, or '#' for invalid
// input; then errno and *err are EILSEQ and bad holds the bytes consumed.
// A byte that ends a sequence early is not consumed: it starts the next
// character. *err is 0 after every valid read. bad and err may be NULL.
int Utf8GetChar(FILE* stream, U16BadSequence* bad, int* err);

// One unit as int, -1 at end of file. Characters above U+FFFF give U+FFFD;
// invalid input gives '#' and a report.
int fgetcU16(FILE* stream);

// One line into buf: at most n - 1 units and a terminator, stopping after a
// '\n', which is kept. Returns buf; NULL when n <= 0 (nothing written), at
// end of file before any unit (buf unchanged) or when the stream's error
// flag is set. A character above U+FFFF is stored as a surrogate pair; when
// only one unit of room is left it is left for the next call, so that it is
// never split. Invalid input is stored as '#' and reported.
WEQ_UC* fgetsU16(WEQ_UC* buf, int n, FILE* stream);

// --- Text conversions and system texts ---------------------------------------

// UTF-8 to UTF-16 as Utf8GetChar decodes it. Stores at most n units and
// returns the units before the stored 0, or n when the n-th unit was stored
// (no terminator then: callers treat n as too small). dst NULL counts
// without limit. Invalid UTF-8: (size_t)-1 and errno EILSEQ.
size_t mbstowcsU16(WEQ_UC* dst, const char* src, size_t n);

// Opens the file; name and mode are converted to UTF-8, '\' in the name
// becomes '/', and mode letters that only mean something to another C
// library are dropped. Returns the stream, or NULL with errno set.
FILE* fopenU16(const WEQ_UC* name, const WEQ_UC* mode);

// The host name into buf of size units: 0, or -1 (errno EILSEQ, or
// ENAMETOOLONG when it does not fit with its terminator).
int gethostnameU16(WEQ_UC* buf, size_t size);

// The C library's text for errnum in a buffer of 512 units that belongs to
// the calling thread and is overwritten by its next call.
WEQ_UC* strerrorU16(int errnum);

// A new heap copy of an 8-bit (UTF-8) identification text, which the caller
// frees; on failure the constant ConvertSCCSID_wFailed, never to be freed.
WEQ_UC* ConvertSCCSID_w(const char* src);
extern WEQ_UC* const ConvertSCCSID_wFailed;  // the text "ConvertSCCSID_w failed"

// --- The Unicode interface reporter -----------------------------------------

// Reports are written at U16ReportLevel 1 or more for invalid UTF-8, memory
// shortage, short arrays and float overflow, 4 or more for format-string
// errors, 16 or more for file opens. It is 4; nothing in the library
// changes it.
extern int U16ReportLevel;

// Every report line goes through U16ReportWriter (text, length), which
// holds U16ReportWriteStderr: the bytes and a newline to stderr, as one
// fwrite.
typedef void (*U16ReportWriterFn)(const char* text, size_t len);
extern U16ReportWriterFn U16ReportWriter;
void U16ReportWriteStderr(const char* text, size_t len);

// The header "--- Unicode interface [module line N] pid = P :", a newline
// and the message, cut to 315 bytes (263 with the end line), in one writer
// call; with withEnd the end line follows in the same call.
void U16Report(const char* message, const char* module, int line, int withEnd);
// "--- Unicode interface ------ End of message ------".
void U16ReportEnd();
// n bytes, 16 a line, in hex and as characters.
void U16ReportBytes(const unsigned char* bytes, size_t n);
// n units, 8 a line, in hex and as characters.
void U16ReportUnits(const WEQ_UC* units, size_t n);
// The bad bytes, "Characters previously read:" and the units from start to
// cur, at most the last 80.
void U16ReportReadContext(const U16BadSequence* bad, const WEQ_UC* start, const WEQ_UC* cur);
// Level 1 or more: "<caller> encountered invalid UTF-8", the bad bytes found
// by scanning src again (storing the units before them into dst, at most n,
// when dst is not NULL), the units before them, and the end line.
void U16ReportBadUtf8(WEQ_UC* dst, const char* src, size_t n, const char* module, int line,
                      const char* caller);
// Sets errno ENOMEM; level 1 or more: "<caller> : malloc : Out of memory."
// to stderr and as a report.
void U16ReportNoMemory(const char* caller, const char* module, int line);
// Level 1 or more: "Function <function> :\nArray <array> length <length> is
// too small."
void U16ReportArrayTooSmall(const char* lengthName, const char* function, const char* array,
                            const char* module, int line);
// Level 4 or more: "Error in format string at or near '<c>':\n" and the
// format narrowed to 7 bits, at most 127 characters together.
void U16ReportFormatError(const WEQ_UC* format, WEQ_UC offending, const char* module, int line);
// "<caller> \"<name>\" (fileno 0x<n>)" with the last 80 units of the name
// ("..." before them when it is longer).
void U16ReportFileOpen(const WEQ_UC* name, int fileNumber, const char* caller, const char* module,
                       int line);

#endif
