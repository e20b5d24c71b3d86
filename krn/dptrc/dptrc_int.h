// Internals of the developer trace shared by its sources and its tests.
#ifndef KRN_DPTRC_DPTRC_INT_H
#define KRN_DPTRC_DPTRC_INT_H

#include <stdint.h>
#include <stdio.h>

#include "krn/dptrc/dptrc.h"
#include "weq_types.h"

// Units of the entry buffer, terminator included.
inline constexpr size_t kDpTrcLineUnits = 8192;
// Units of a format kept by the error and warning writers.
inline constexpr size_t kDpTrcFmtUnits = 1024;
// Units of the location text.
inline constexpr size_t kDpTrcLocUnits = 32;

// Saves errno and puts it back at the end of the scope: trace calls sit
// between a failing call and the code that reads its errno.
class DpTrcKeepErrno {
 public:
  DpTrcKeepErrno() : saved_(errno) {}
  ~DpTrcKeepErrno() { errno = saved_; }
  DpTrcKeepErrno(const DpTrcKeepErrno&) = delete;
  DpTrcKeepErrno& operator=(const DpTrcKeepErrno&) = delete;
  int value() const { return saved_; }

 private:
  int saved_;
};

// Holds the trace lock for a scope.
class DpTrcHold {
 public:
  DpTrcHold() { DpTrcLock(); }
  ~DpTrcHold() { DpTrcUnlock(); }
  DpTrcHold(const DpTrcHold&) = delete;
  DpTrcHold& operator=(const DpTrcHold&) = delete;
};

// Writes len units of text as one tagged entry (the thread tag before every
// line), without time stamp; flushes only when flush is set. Caller holds the
// trace lock. The memory dump writes its lines through this and flushes once.
void DpTrcIWriteTagged(FILE* f, const WEQ_UC* text, size_t len, bool flush);

// The thread tag "[Thr <id>] " of the calling thread into buf (at least 32
// units); returns its length.
size_t DpTrcIThreadTag(WEQ_UC* buf);

// Forgets the default trace file and the last time-stamp second, so that a
// test can open a fresh global trace in the same process.
void DpTrcIResetForTest(void);

// The EBCDIC (code page 273) to Latin-1 table of the dump's text column,
// controls shown as blanks except tab and line feed, and its Latin-1 to
// EBCDIC counterpart.
extern const uint8_t DpTrcEbcdicToLatin1[256];
extern const uint8_t DpTrcLatin1ToEbcdic[256];

#endif
