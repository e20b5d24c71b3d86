// Inside of the formatted output: the output sinks and the engine run.
// Only u16fmt*.cpp and the module's own tests include this header.
#ifndef WEQU16_U16FMT_INT_H
#define WEQU16_U16FMT_INT_H

#include <stdio.h>

#include "i18n/wequ16/u16fmt.h"

// Module name under which the engine reports.
inline constexpr const char kU16FmtModule[] = "u16_OutCon";
// Caller name of the engine's out-of-memory report.
inline constexpr const char kU16FmtEngine[] = "vvfprintfU16";

// Largest precision given to the C library for a floating-point text. Every
// digit a double has (at most 1074 after the point, 767 significant) lies
// within it; beyond it only zeros would follow, at the price of a buffer as
// large as the precision.
inline constexpr int kU16FmtMaxFloatPrecision = 1100;

// Bounded buffer sink. Keeps count <= size - 1, so that the terminator
// always fits; a unit that would pass that is dropped and the run is known
// as cut. size SIZE_MAX is the unbounded buffer.
struct U16OutBuf {
  WEQ_UC* buffer;
  size_t size;  // >= 1
  size_t count = 0;
  bool cut = false;

  U16OutBuf(WEQ_UC* b, size_t n) : buffer(b), size(n) {}

  // Each returns false once the run must stop (a unit was cut). Store
  // takes up to n units from copy(dst, from, k), as many as leave room for
  // the terminator; Unit takes one.
  template <class Copy>
  bool Store(size_t n, Copy copy);
  bool Unit(WEQ_UC c);
  size_t Count() const { return count; }
  // Terminates at buffer[count].
  void Finish() { buffer[count] = 0; }

};

// Stream sink: units gather in a small block and leave as UTF-8 through the
// library's writer whenever it fills. A high surrogate at the end of a block
// waits for the next one, so a pair is never split between two writes.
struct U16OutStream {
  FILE* stream;
  size_t written = 0;  // units the writer has taken
  bool failed = false;
  size_t pending = 0;
  WEQ_UC block[256];

  explicit U16OutStream(FILE* s) : stream(s) {}

  // As the buffer's; false once a write came up short.
  template <class Copy>
  bool Store(size_t n, Copy copy);
  bool Unit(WEQ_UC c);  // a 0 unit is dropped
  // Writes what is pending; false when a write came up short.
  bool Flush(bool last);
  size_t Count() const { return written + pending; }

};

// Runs the engine over format into the sink: units delivered, or -1 for a
// format error or a failed write (the sink then tells which).
int U16FmtIRunBuf(U16OutBuf& out, const WEQ_UC* format, U16FmtArgs args);
int U16FmtIRunStream(U16OutStream& out, const WEQ_UC* format, U16FmtArgs args);

// Whether an argument that does not fit its conversion, or a missing one,
// is a format error (true) or prints a marker text (false). Builds without
// NDEBUG start with true. For tests.
void U16FmtISetStrictArgs(bool strict);
bool U16FmtIStrictArgs();

#endif
