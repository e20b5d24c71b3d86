// Inside the converter's control part: the process state that the start
// owns and error reports read, the pieces of the reports that tests check
// one by one, and the test seams. Nothing outside krn/rscp and its tests
// includes this header; nothing here is exported from the shared library.
#ifndef KRN_RSCP_RSCP_INT_H
#define KRN_RSCP_RSCP_INT_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "krn/rscp/rscp.h"

// --- Who started the converter ----------------------------------------------------
// A 30-unit blank-padded name and a flag: 1 when the converter was started by
// rscpi_init. While the flag is 0 every report copies the name into its
// stack. Initially "compile_time" and 0.
void rscpSetInitializer(const WEQ_UC* name, int length, uint8_t byInit);
// Copies the name (30 units) and returns the flag, as one consistent pair.
uint8_t rscpGetInitializer(WEQ_UC* name30);

// --- Pieces of the reports ----------------------------------------------------------
// The module name of an identification text, blank-padded to 8 units.
void rscpeIModuleName(const WEQ_UC* moduleId, WEQ_UC* name8);
// The trace line of a report (at most size - 1 units, terminated); returns its length.
int rscpeITraceLine(WEQ_UC* buf, size_t size, int rc, const WEQ_UC* moduleId, int location,
                    int line, const WEQ_UC* text, const rscpErrEntry_t& entry);
// The 35-unit area text of an error class, or u"stranger".
const WEQ_UC* rscpeIClassText(WEQ_UC errClass);
// The 51-unit row text of a return code (blank row for unknown codes).
const WEQ_UC* rscpeIRowText(int rc);
// The 64-unit data of a 'k' system log entry.
void rscpeISyslogData(const rscpErrEntry_t& entry, WEQ_UC* data64);
uint32_t rscpeIFatalCount();
uint32_t rscpGetThrCtxFailures();
// Per-thread context records alive now (for the leak checks of the tests).
extern std::atomic<long> rscpIThrCtxAlive;

// --- Test seams --------------------------------------------------------------------------
// Outside tests nothing calls these.

// The profile parameters that slots 18 and 19 answer; an empty map gives the
// defaults (every parameter unset). Values stay valid until the next call.
struct rscphTestParam {
  std::optional<std::u16string> value;
  std::optional<std::u16string> dflt;
};
void rscphTestSetParams(const std::map<std::u16string, rscphTestParam>& params);

// Replaces what slot 8 does; NULL restores NT_SleepSec.
void rscphTestSetSleep(int (*sleep)(uint32_t seconds));

// What slot 23 (the locale code page) answers: the 4 units of cp with 0;
// NULL restores "0000" with RSCPENOOBJ. Set it while no converter call runs.
void rscphTestSetLocaleCp(const WEQ_UC* cp);

// The next count calls of slot 1 (slot 31 with cache true) fail as if
// malloc had no memory.
void rscphTestFailAllocs(int count, bool cache);

// The process-wide error sequence counter; the next report takes n + 1.
void rscpeTestSetSeqNo(uint32_t n);

// Returns the converter's process state to what a fresh load has: options,
// counters, the initialiser, the 'CCC' mutex (destroyed: call it while
// nobody holds it), the converter state, cache pointer and last known
// version (the cache memory itself stays with whoever allocated it), the
// marks and rollback point of the tables, and every seam.
void rscpResetProcess();
// Its parts, one per source file.
void rscpeIReset();
void rscphIReset();
// Whether the calling thread holds the 'CCC' mutex of the default hooks.
bool rscphICccHeld(void);
void rscpIResetCtx();
void rscpccIReset();
void rscpldIReset();
void rscppinIReset();
void rscpmcIReset();
void rscpcIReset();

#endif
