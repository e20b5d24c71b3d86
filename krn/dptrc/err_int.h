// Internals of the error information shared by its sources and its tests.
#ifndef KRN_DPTRC_ERR_INT_H
#define KRN_DPTRC_ERR_INT_H

#include <stdint.h>

#include <atomic>

#include "krn/dptrc/err.h"
#include "weq_types.h"

// Units of the labelled text of ErrGetAllTxt, terminator included.
inline constexpr size_t kErrTextUnits = 683;
// Units of a formatted description, detail or argument list before it is
// stored.
inline constexpr size_t kErrFmtUnits = 2000;
// Units of an errno text inside a record, terminator excluded.
inline constexpr size_t kErrErrnoTextMax = 128;
// Width of a message number "(nnnnn)".
inline constexpr int32_t kErrMsgNoWidth = 5;

// One thread's administration, under the error information's key; zeroed
// at creation.
struct ErrThrAdm {
  WEQ_UC* record;      // ERR_INFO_MAX_UNITS + 1 units; 0 from length on
  WEQ_UC* text;        // kErrTextUnits units for ErrGetAllTxt
  uint32_t counter;    // records set or installed on this thread
  WEQ_UC* location;    // heap copy of the LOCATION text, or NULL
  int32_t msgNoWidth;  // width of a message number, kErrMsgNoWidth
  uint32_t length;     // units of the record, 0: none
};

// The calling thread's administration with its buffers, created when
// missing; NULL without memory or key.
ErrThrAdm* ErrIAdm(void);

// The labels of the fields ("" for the eyecatchers and the record version).
extern const WEQ_UC* const ErrFieldLabel[ERR_FLD_COUNT];

// Validates the stored record without dumping or tracing: the ErrIGet
// codes. fields (when not NULL) receives the 21 strings.
int ErrICheck(const ErrThrAdm* adm, const WEQ_UC** fields);

// Whether units[0..len) starts with "*ERR*" and ends with "*ERR*" and its
// terminator (at least 12 units, so that both fit apart).
bool ErrIHasEyecatchers(const WEQ_UC* units, size_t len);

// Builds the record from 21 field texts into adm: 0, or -1 when it would be
// too large (the record is then unchanged).
int ErrIStore(ErrThrAdm* adm, const WEQ_UC* const* fields);

// The damaged-record dump: at trace level 1 or more, an empty line, the
// bytes as a hex dump titled "bad err info" and another empty line.
void ErrIDumpDamaged(const void* bytes, size_t len);

// Administrations alive in the process (for the leak check of the tests).
extern std::atomic<long> ErrIAdmAlive;

// One row of the system error text table, ordered by code as unsigned.
struct ErrSysTxtRow {
  uint32_t code;
  const WEQ_UC* text;
};
extern const ErrSysTxtRow ErrSysTxtTable[];
extern const size_t ErrSysTxtTableSize;

#endif
