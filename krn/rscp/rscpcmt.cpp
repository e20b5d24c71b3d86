// The table walks without direct paths.
//
// tab_mbtunnel (10) and tab_mbcopy (11) take every character of a
// multi-byte input page through the tables alone and pass what the tables
// cannot carry through unchanged: method 11 copies every multi-byte
// character that has no output and every sequence the input table does not
// know; method 10 copies a sequence the input table does not know only when
// substitution or copying is on, and counts it as one substitution.
//
// 2022_tab (41) reads a stateful ISO-2022 input page: each character
// starts in the table of the group that the input shift state names, and
// the designation sequences of the tables switch the state for the
// characters that follow.
#include <stdint.h>
#include <string.h>

#include "krn/rscp/rscp_int.h"
#include "krn/rscp/rscpcv_int.h"

namespace {

// The length of the character at f.in by the input page's kind, as many
// bytes as are left at most.
int TnCharLen(const rscpcFrame& f) {
  const ptrdiff_t avail = f.inEnd - f.in;
  return rscpCharLenByNls(f.in, static_cast<int32_t>(avail > INT32_MAX ? INT32_MAX : avail),
                          static_cast<int32_t>(f.o->in_nls));
}

rscpcStep TnCopy(rscpcFrame& f, ptrdiff_t n) {
  if (f.outEnd - f.out < n) return rscpcStep::kFull;
  memcpy(f.out, f.in, static_cast<size_t>(n));
  f.out += n;
  f.in += n;
  return rscpcStep::kNext;
}

struct TnCopyPolicy : rscpcWalkPolicy<TnCopyPolicy> {
  static constexpr bool kFastRun = true;
  // A multi-byte character without output is copied.
  static rscpcStep NoOutput(rscpcFrame& f, const uint8_t* end) {
    if (end - f.in >= 2) return TnCopy(f, end - f.in);
    return rscpcINoOutput(f, end);
  }
  // An unknown sequence: a character of two or more bytes by the page's
  // kind is copied uncounted; a single byte follows the options.
  static rscpcStep UnknownWord(rscpcFrame& f, const rscpcChar&) {
    const int len = TnCharLen(f);
    if (len > f.inEnd - f.in) {
      f.charRead = f.inEnd;
      return rscpcStep::kBroken;
    }
    if (f.outEnd - f.out < (len > 1 ? len : 1)) return rscpcStep::kFull;
    if (len >= 2) return TnCopy(f, len);
    if (f.o->use_subst != 0) {
      rscpRc_t code = 0;
      const int r = rscpcISubstitute(f.o, f.t, f.Mark(), &f.out, f.outEnd, 1, &code);
      return rscpcIHandled(f, r, code, f.in + 1);
    }
    if (f.o->use_1_copy != 0) return TnCopy(f, 1);
    f.charLen = 1;
    return rscpcStep::kUnconv;
  }
};

struct TnTunnelPolicy : rscpcWalkPolicy<TnTunnelPolicy> {
  static constexpr bool kFastRun = true;
  // An unknown sequence with substitution or copying on: a character of
  // two or more bytes (by the page's kind, bounded by the input) is
  // copied, a single byte substituted (or copied), and either counts as
  // one substitution. A character that the output cannot take whole is
  // the output-full exit, not one byte: the result must not depend on the
  // room of the call.
  static rscpcStep UnknownWord(rscpcFrame& f, const rscpcChar&) {
    rscpCObj_t* o = f.o;
    int len = TnCharLen(f);
    if (len < 1 || len > f.inEnd - f.in) len = 1;
    if (o->use_subst == 0 && o->use_1_copy == 0) {
      f.charLen = static_cast<uint32_t>(len);
      return rscpcStep::kUnconv;
    }
    if (o->use_subst != 0 && len == 1) {
      rscpRc_t code = 0;
      const int r = rscpcISubstitute(o, f.t, f.Mark(), &f.out, f.outEnd, 1, &code);
      return rscpcIHandled(f, r, code, f.in + 1);
    }
    const rscpcStep s = TnCopy(f, len);
    if (s == rscpcStep::kNext) o->subst_count += 1;
    return s;
  }
};

// Every character starts in the table of the input shift state's group;
// the state is read again for each character, so that a designation
// takes effect for the next one.
struct Tn2022Policy : rscpcWalkPolicy<Tn2022Policy> {
  static constexpr bool kEndOfInputWord = true;
  static uint32_t StartBlock(rscpcFrame& f) { return rscpcIGroupStart(f, 251); }
  static rscpcStep UnknownWord(rscpcFrame& f, const rscpcChar& ch) { return rscpcIUnknownIn2022<Tn2022Policy>(f, ch); }
};

}  // namespace

rscpcBranchEnd rscpcITunnel(rscpcFrame& f) {
  const bool copy = f.o->method == 11;
  const rscpcBranchEnd r = rscpcIRefresh(f, copy ? 162 : 91, copy ? 163 : 86);
  if (r.kind != rscpcEnd::kEnd) return r;
  return rscpcIEndOfStep(copy ? rscpcIRun<TnCopyPolicy>(f) : rscpcIRun<TnTunnelPolicy>(f));
}

rscpcBranchEnd rscpcI2022Tab(rscpcFrame& f) {
  const rscpcBranchEnd r = rscpcIRefresh(f, 67, 34);
  if (r.kind != rscpcEnd::kEnd) return r;
  // The state the call starts in must have its table before anything is
  // converted.
  if (rscpcIGroupStart(f, 250) == 0) return {rscpcEnd::kEnd, true};
  return rscpcIEndOfStep(rscpcIRun<Tn2022Policy>(f));
}
