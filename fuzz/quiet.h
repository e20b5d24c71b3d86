// Silences what the code under test writes to standard error on conditions
// that fuzz inputs bring about all the time (format errors, the Unicode
// interface's reports, converter and profile messages), so that no target
// writes for each input. The formatted text still goes through the
// library's writers, into /dev/null. libFuzzer and the sanitizers write to
// descriptor 2 themselves and are not affected.
#ifndef FUZZ_QUIET_H
#define FUZZ_QUIET_H

#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>

#include "i18n/wequ16/u16file.h"

namespace tovfuzz {

inline void DropReport(const char*, size_t) {}

inline void Quiet() {
  static FILE* const sink = fopen("/dev/null", "w");
  if (sink == nullptr) abort();
  stderr = sink;
  U16ReportWriter = DropReport;
}

}  // namespace tovfuzz

#endif
