// A fuzz target's own checks: a broken invariant ends the run with abort(),
// which the fuzzer reports with the input that broke it.
#ifndef FUZZ_CHECK_H
#define FUZZ_CHECK_H

#include <stdlib.h>

#define FUZZ_CHECK(c)  \
  do {                 \
    if (!(c)) abort(); \
  } while (0)

#endif
