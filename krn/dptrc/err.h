// Error information: the calling thread's record of its last error, set at
// the place a failure is detected, read back field by field or as labelled
// text, written to the trace, and passed between peers in a network form.
//
// The record (ErrInfo) is 21 0-terminated WEQ_UC strings back to back, at
// most ERR_INFO_MAX_UNITS units with their terminators, beginning and ending
// with the eyecatcher "*ERR*". Its network form is the same units as UTF-8
// (an EBCDIC form is read as well); nothing else is added.
//
// Every operation works on the calling thread's own record, created on
// first use and freed by a thread-local key's destructor when the thread
// ends: no locks, except the trace lock around trace output. A record stays
// until the next set, ErrCpTo, ErrCpNetToInt or ErrClear; reading never
// clears it. Results are 0 or one of the ERR_* codes below; nothing aborts.
// Texts returned by the readers belong to the thread's record and stay
// valid until its next change.
//
// Formats are the 16-bit formatted output's; literal formats are checked at
// compile time: the description's conversions against the first arguments,
// the detail's against the last ones.
#ifndef KRN_DPTRC_ERR_H
#define KRN_DPTRC_ERR_H

#include <stdint.h>

#include "i18n/wequ16/u16fmt.h"
#include "krn/dptrc/dptrc.h"
#include "weq_types.h"

// Units of a record, terminators included.
#define ERR_INFO_MAX_UNITS 500

// Field indexes of a record.
enum {
  ERR_FLD_EYECATCHER = 0,
  ERR_FLD_VERSION_OF_RECORD = 1,
  ERR_FLD_ERROR = 2,
  ERR_FLD_RC = 3,
  ERR_FLD_COMPONENT = 4,
  ERR_FLD_RELEASE = 5,
  ERR_FLD_VERSION = 6,
  ERR_FLD_MODULE = 7,
  ERR_FLD_LINE = 8,
  ERR_FLD_DETAIL = 9,
  ERR_FLD_TIME = 10,
  ERR_FLD_SYSCALL = 11,
  ERR_FLD_ERRNO = 12,
  ERR_FLD_ERRNO_TEXT = 13,
  ERR_FLD_COUNTER = 14,
  ERR_FLD_LOCATION = 15,
  ERR_FLD_DESCR_MSGNO = 16,
  ERR_FLD_DESCR_VARGS = 17,
  ERR_FLD_DETAIL_MSGNO = 18,
  ERR_FLD_DETAIL_VARGS = 19,
  ERR_FLD_END_EYECATCHER = 20,
  ERR_FLD_COUNT = 21,
};

// Results.
enum {
  ERR_OK = 0,
  ERR_TOO_LARGE = -1,   // record would exceed 500 units, or input too long
  ERR_NO_INFO = -2,     // the thread has no record
  ERR_BAD_FIELD = -3,   // bad field number, or a value of the wrong kind
  ERR_BAD_LENGTH = -4,  // stored length out of range
  ERR_NO_MEMORY = -5,   // no memory or no thread key
  ERR_DAMAGED = -6,     // eyecatcher missing
  ERR_INCOMPLETE = -7,  // fewer than 21 strings
  ERR_CONVERSION = -8,  // character conversion failed or buffer too small
};

// A thread's administration of its record.
struct ErrThrAdm;

// --- Setting -------------------------------------------------------------------

// Shared by ErrSetInfo and ErrSetInfoSys. Either format may begin with a
// message number "(nnnnn)"; detail NULL counts as "". The arguments serve
// the description's conversions first, then the detail's. logFlag 1 writes
// a system-log line ("***LOG Q0I=> ...") to the trace at level 1 or more.
int ErrSetInfoSysV(const WEQ_UC* component, uint32_t version, const WEQ_UC* module, uint32_t line,
                   uint8_t logFlag, const WEQ_UC* descr, int32_t rc, const WEQ_UC* detail,
                   const WEQ_UC* sysCall, int32_t err, U16FmtArgs args);

// A format checked against the first (Tail false) or the last (Tail true)
// of the call's argument kinds: as many as the format takes.
template <bool Tail, U16FmtKind... K>
struct ErrFmtStr {
  const WEQ_UC* str;

  template <size_t N>
  consteval ErrFmtStr(const WEQ_UC (&s)[N]) : str(s) {
    constexpr size_t kAll = sizeof...(K);
    constexpr U16FmtKind kinds[kAll + 1] = {K..., U16FmtKind::kMissing};
    size_t used = 0;
    if (!U16FmtWalk(s, [&](WEQ_UC) { return ++used, true; })) {
      U16FormatError_bad_conversion_specification();
    }
    if (used > kAll) U16FormatError_too_few_arguments_for_the_format();
    const U16FmtKind* first = Tail ? kinds + (kAll - used) : kinds;
    if (U16FmtCheckKinds(s, first, used) != U16FmtCheck::kOk) {
      U16FormatError_argument_type_does_not_fit_its_conversion();
    }
  }

  template <class P>
  requires(std::is_same_v<std::remove_cvref_t<P>, const WEQ_UC*> ||
           std::is_same_v<std::remove_cvref_t<P>, WEQ_UC*> ||
           (std::is_array_v<std::remove_reference_t<P>> &&
            std::is_same_v<std::remove_extent_t<std::remove_reference_t<P>>,
                           WEQ_UC>)) constexpr ErrFmtStr(P&& s)
      : str(s) {}

  constexpr ErrFmtStr(std::nullptr_t) : str(nullptr) {}
};

template <class... A>
using ErrDescrFmt = ErrFmtStr<false, U16FmtKindOf<std::decay_t<A>>()...>;
template <class... A>
using ErrDetailFmt = ErrFmtStr<true, U16FmtKindOf<std::decay_t<A>>()...>;

// Records a new error for the calling thread: 0, -1 when the record would
// be too large (no record afterwards), -5.
template <class... A>
inline int ErrSetInfo(const WEQ_UC* component, uint32_t version, const WEQ_UC* module,
                      uint32_t line, ErrDescrFmt<A...> descr, int32_t rc, ErrDetailFmt<A...> detail,
                      const A&... args) {
  return ErrSetInfoSysV(component, version, module, line, 0, descr.str, rc, detail.str, nullptr, 0,
                        U16FmtMakeArgs(args...).args());
}

// As ErrSetInfo, with the failed call's name and its errno.
template <class... A>
inline int ErrSetInfoSys(const WEQ_UC* component, uint32_t version, const WEQ_UC* module,
                         uint32_t line, uint8_t logFlag, ErrDescrFmt<A...> descr, int32_t rc,
                         ErrDetailFmt<A...> detail, const WEQ_UC* sysCall, int32_t err,
                         const A&... args) {
  return ErrSetInfoSysV(component, version, module, line, logFlag, descr.str, rc, detail.str,
                        sysCall, err, U16FmtMakeArgs(args...).args());
}

// The thread's LOCATION text for the following records (at most 500 units):
// 0 or -5.
int ErrSetLocationV(const WEQ_UC* fmt, U16FmtArgs args);
template <class... A>
inline int ErrSetLocation(U16Format<A...> fmt, const A&... args) {
  return ErrSetLocationV(fmt.str, U16FmtMakeArgs(args...).args());
}

// The LOCATION text, or an empty text.
const WEQ_UC* ErrGetLocation(void);

// Removes the record: 0 or -5.
int ErrClear(void);

// Replaces one field of the record. The value is taken by field:
//   2, 9        a format with its arguments; its message number and
//               argument texts replace fields 16/17 or 18/19;
//   15, 16, 18  a format with its arguments;
//   3, 14       an integer (0 gives an empty field);
//   12          an integer, always shown, which also replaces ERRNO TEXT;
//   4-8, 11, 13, 17, 19  a text, taken unchanged.
// -3 for another field or a value of the wrong kind, -2 without record, -6
// or -7 for a damaged record, -1 when the record would be too large (it is
// then unchanged).
int ErrReplaceV(int field, U16FmtArgs value);
template <class... A>
inline int ErrReplace(int field, const A&... value) {
  return ErrReplaceV(field, U16FmtMakeArgs(value...).args());
}

// --- Reading ------------------------------------------------------------------------

// Whether the thread holds a record.
bool ErrIsSet(void);

// The index-th string of the record (index 0 and below: the first); an
// empty text when there is no record or no such field.
const WEQ_UC* ErrGetFld(int index);

// The record and its length in units: 0, -2 when empty, -5.
int ErrGetAttr(const WEQ_UC** record, size_t* length);

// Validates the record and, when fields is not NULL, points its 21 entries
// at the fields (all at an empty text first): 0, -2 empty, -4 bad length,
// -6 damaged (dumped to the trace), -7 incomplete, -5.
int ErrIGet(const WEQ_UC** fields);

// The record as labelled text (one field after another, long values
// wrapped at 62 units), at most 682 units; an empty text without a valid
// record.
const WEQ_UC* ErrGetAllTxt(void);

// Writes the record to the trace as a banner at level 1 or more: 0 without
// output when hdl is CTrcGlobalHdl and tracing is off; the ErrIGet result
// otherwise (-2 writes "ErrTrace: no error info available").
int ErrTrace(CTRC_HDL hdl);

// The system error text of code ("NAME: text"; empty for 0 and unknown
// codes) into dst, terminated and cut to length - 1 units. NULL when length
// is below 1 or dst is NULL.
WEQ_UC* ErrGetSysTxt(int code, WEQ_UC* dst, size_t length);

// Copies src doubling every '%', at most n units with the terminator; stops
// before a '%' whose doubled form does not fit. NULL when n is 0 or a
// pointer is NULL.
WEQ_UC* ErrEscapePercent(const WEQ_UC* src, WEQ_UC* dst, size_t n);

// --- Copying and network form --------------------------------------------------------

// Installs a complete record of length units (from another thread or
// layer) as the thread's record and counts it in COUNTER. -1 for 501 units
// or more, -6 when the eyecatchers are missing; both leave the record as it
// was.
int ErrCpTo(const WEQ_UC* record, size_t length);

// Writes the record in network form (UTF-8) into buf of size bytes; *length
// (when not NULL) receives the byte count. An empty record gives 0 bytes.
// -8 when it cannot be converted or does not fit.
int ErrCpIntToNet(void* buf, size_t* length, size_t size);

// Reads a record in network form (UTF-8, or EBCDIC when it begins with the
// EBCDIC "*ERR*") of length bytes as the thread's record. -1 when the
// record would exceed 500 units (record unchanged); -8 when the bytes are
// not convertible (record removed); -6 when the eyecatchers are missing
// (the damaged record stays, so that readers report it).
int ErrCpNetToInt(const void* buf, size_t length);

// --- Life cycle ------------------------------------------------------------------------

// Frees a thread's administration (NULL: the calling thread's) and clears
// the calling thread's key value when it pointed at it. Also the key's
// destructor at thread end.
void ErrFreeThrAdm(ErrThrAdm* adm);

// Deletes the thread-local key (process detach).
void ErrDeleteThrKey(void);

#endif
