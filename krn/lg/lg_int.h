// Internals of the logon-group layer shared by its files and the tests: the
// recording of an error, the two kept codes of the layers below and the
// reason buffer. No other module includes this header.
//
// All of it is process-wide. The layer uses it under its own mutex, or in
// operations that the Java bindings call under their logon-group lock.
#ifndef KRN_LG_LG_INT_H
#define KRN_LG_LG_INT_H

#include <stdint.h>

#include <atomic>

#include "i18n/wequ16/u16fmt.h"
#include "krn/lg/lg.h"
#include "weq_types.h"

// The cause of the last -101 of the process: the failed message-server
// request's code, or the code of an inner read that a list read turned into
// -101.
extern std::atomic<int32_t> LgIKeptMsRc;
// The NI code of the last -102 (a host or service name not resolvable).
extern std::atomic<int32_t> LgIKeptNiRc;

// Units of the reason buffer, terminator included.
#define LG_REASON_LEN 256

// The reason buffer: one formatted reason ("unknown param %d", "mshost =
// NULL" ...) between its formatting and its recording.
WEQ_UC* LgIReason(void);

// Formats the reason, cut to the buffer; returns the buffer.
WEQ_UC* LgISetReasonV(const WEQ_UC* fmt, U16FmtArgs args);
template <class... A>
inline WEQ_UC* LgISetReason(U16Format<A...> fmt, const A&... args) {
  return LgISetReasonV(fmt.str, U16FmtMakeArgs(args...).args());
}

// Records code in the calling thread's error information: component "LG",
// version 5, module "lgxx", the given source line, the code's text as the
// error text and operation as the detail. The code's one placeholder takes
// number where it is "%d" (the time-out of -4) and text where it is "%s"
// (NULL stands for ""); a text without one takes neither. Returns the
// result of the recording (0, or a negative error-information code).
int LgIErrRecord(uint32_t line, LG_RC code, const WEQ_UC* operation, const WEQ_UC* text,
                 int32_t number);

#define LG_ERR_RECORD(code, operation, text, number) \
  LgIErrRecord(__LINE__, (code), (operation), (text), (number))

#endif
