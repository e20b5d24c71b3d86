// Inside the conversion engine: the frame of one conversion call, the
// per-character steps that every table method shares, written once as
// inline templates over the method's policy, and the internal forms of the
// single-character writer. Only the converter's own sources and tests
// include this header.
//
// Cache reads. A call pins one cache generation at its entry and reads it
// through one base pointer (rscpcTables), taken again only after a refresh
// or an output-table check that chose anew. Every table word that names
// another table (a T1 block, a T3, a long code) is checked against that
// generation's bounds before it is followed, so neither a damaged word nor
// an object that names foreign offsets leads a read outside the cache.
//
// Positions. While a character is converted, f.in stays at its first byte
// and f.out behind the last whole character written; a step that finishes
// a character moves f.in past it. Every exit names its character through
// f.in, so a call that stops can be resumed with the rest of the input.
#ifndef KRN_RSCP_RSCPCV_INT_H
#define KRN_RSCP_RSCPCV_INT_H

#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <atomic>

#include "krn/rscp/rscpc_int.h"
#include "krn/rscp/rscpcc_int.h"
#include "krn/rscp/rscpdat.h"
#include "krn/rscp/rscpmc_int.h"

// The module under which the conversion call reports.
inline constexpr const WEQ_UC* kRscpcCvModule = u" $Id: krn/rscp/rscpcv.cpp $";

// --- One cache generation's tables ------------------------------------------------------

// The bounds come from header fields that a generation fixes when it is
// built (the table area [first_t1, end_t2), the length, the highest
// character number): loads into the generation move end_t1 and first_t2
// while calls read, so those are not read here. A word that names free
// space inside the area reads zeros or stale words, never memory outside.
struct rscpcTables {
  const uint8_t* base = nullptr;
  uint32_t maxUchar = 0;  // highest character number with a page index entry
  uint32_t firstT1 = 0;   // T1 blocks, T3s and T2s lie in [firstT1, endT2)
  uint32_t endT2 = 0;
  uint32_t t2Bytes = 0;   // bytes of one T2
  uint32_t length = 0;    // long codes lie in [endT2, length)

  void Take(const rscpCCC_t* c) {
    *this = rscpcTables{};
    if (c == nullptr) return;
    base = reinterpret_cast<const uint8_t*>(c);
    maxUchar = c->max_enhanced_uchar;
    firstT1 = c->first_t1;
    endT2 = c->end_t2;
    const uint64_t blocks = (uint64_t{maxUchar} >> 7) + 1;
    t2Bytes = static_cast<uint32_t>((blocks * 4 + 7) / 8 * 8);
    length = c->length;
  }
  bool BlockOk(uint32_t block) const {
    const uint64_t off = uint64_t{block} * RSCP_T1_BYTES;
    return block != 0 && off >= firstT1 && off + RSCP_T1_BYTES <= endT2;
  }
  bool T3Ok(uint32_t t3) const {
    const uint64_t off = uint64_t{t3} * RSCP_T3_BYTES;
    return t3 != 0 && off >= firstT1 && off + RSCP_T3_BYTES <= endT2;
  }
  bool T2Ok(uint32_t t2) const {
    return t2Bytes != 0 && (t2 & 1) == 0 && t2 >= firstT1 && uint64_t{t2} + t2Bytes <= endT2;
  }
  bool LongOk(uint32_t offset, uint32_t n) const { return offset >= endT2 && uint64_t{offset} + n <= length; }
  const uint32_t* T1(uint32_t block) const {
    return reinterpret_cast<const uint32_t*>(base + size_t{block} * RSCP_T1_BYTES);
  }
  const uint32_t* T3(uint32_t t3) const {
    return reinterpret_cast<const uint32_t*>(base + size_t{t3} * RSCP_T3_BYTES);
  }
  uint16_t T2Entry(uint32_t t2, uint32_t c) const {
    return reinterpret_cast<const uint16_t*>(base + t2)[(c >> 7) & 0x1FFFF];
  }
};

// The multi-byte option of the cache (0..3), as the method chooser last
// read it from the header.
int32_t rscpcIMbcCopy(void);
void rscpcISetMbcCopy(int32_t value);

// --- Output lookup and output rules (shared with the single-character writer) ------------

enum class rscpcOut : uint8_t {
  kDone,     // written, the position advanced
  kFull,     // need bytes do not fit; nothing written
  kNone,     // no code: the character is unconvertible
  kDropT2,   // the page's rule 72: unconvertible for the writer, dropped by the walk
  kDropT3,   // a word with rule 72: the drop handler
  kError,    // rc reported
};
// The outcome of writing one character, in one register: the kind, the
// bytes it needed (kFull), or the code of the report (kError).
class rscpcOutResult {
 public:
  constexpr rscpcOutResult(rscpcOut kind, int need = 0) : v_(static_cast<uint32_t>(kind) | static_cast<uint32_t>(need) << 8) {}
  static constexpr rscpcOutResult Error(rscpRc_t rc) {
    rscpcOutResult r(rscpcOut::kError);
    r.v_ |= static_cast<uint32_t>(rc) << 8;
    return r;
  }
  constexpr rscpcOut kind() const { return static_cast<rscpcOut>(v_ & 0xFF); }
  constexpr int need() const { return static_cast<int>(v_ >> 8); }
  constexpr rscpRc_t rc() const { return static_cast<rscpRc_t>(v_ >> 8); }

 private:
  uint32_t v_;
};

// The output of the current call as the ISO-2022 writers see it: where it
// starts, and where the last return sequence that a framed writer put into
// it ends. Only that return sequence is ever taken back: the output shift
// state survives characters written without a frame, so trailing bytes that
// merely equal a return sequence may belong to such a character. A plain
// output start (no memory) takes nothing back.
struct rscpcOutMark {
  uint8_t* start;
  uint8_t** backEnd;  // the call's memory; nullptr: none kept
  rscpcOutMark(uint8_t* s, uint8_t** b = nullptr) : start(s), backEnd(b) {}  // NOLINT: a plain start converts
};

// Output rules 53-68 and 73-82 (icons, ISO-2022 designations, ranges) and
// input rules 68 (ranges) and 71 (ISO-2022 state), which need the helpers
// of the ISO-2022 and range writers.
rscpcOutResult rscpcIOutRule40(rscpCObj_t* o, const rscpcTables& t, rscpcOutMark outStart, uint8_t** pos,
                               uint8_t* end, uint32_t c, uint32_t rule, uint32_t param);
enum class rscpcIn40 : uint8_t { kChar, kComplete, kCut, kBroken, kError };
// Decodes the sequence at first by the input rule word w, whose byte the
// walk read just before rd (bytes up to end): kChar with *c and the
// sequence length in *len, kComplete (a sequence without output that set the
// input state; its length in *len), kCut, kBroken (broken length in *len),
// or kError with *rc.
rscpcIn40 rscpcIInRule40(rscpCObj_t* o, const rscpcTables& t, uint32_t w, const uint8_t* first, const uint8_t* rd,
                         const uint8_t* end, uint32_t* c, int* len, rscpRc_t* rc);

// --- ISO-2022 output sequences and range rules -----------------------------------------

// Framed characters of a stateful output code page: a double-byte value
// (rules 58-67) or a byte (73-82) of STRT/BACK pair rule - 58 or rule - 73,
// framed by the pair's start and return sequences, so that the output is
// back in its initial state after every character. A character of the pair
// whose return sequence ends this call's output (outStart's memory) takes
// that sequence back and shares one frame with the one before it; another
// pair's start sequence replaces it. Bits 24-27 of shift_state name the
// pair of the last framed character plus one. 0, or RSCPETOOLONG when the
// framed character does not fit (nothing written, nothing changed). The
// character number is not used.
rscpRc_t rscpPut2022Double(rscpCObj_t* obj, uint32_t c, rscpcOutMark outStart, uint8_t** pos, uint8_t* end,
                           uint32_t rule, uint16_t value);
rscpRc_t rscpPut2022Single(rscpCObj_t* obj, uint32_t c, rscpcOutMark outStart, uint8_t** pos, uint8_t* end,
                           uint32_t rule, uint8_t byte);
// An icon in the Unicode form of output rule 53-57 (UTF-16 big or little
// endian, UTF-8, UTF-32 big or little endian): the introducer and the two
// code characters. *full 1 and nothing written when it does not fit; any
// other rule writes nothing (*full 0). The third argument is not used.
void rscpPutIconUnicode(uint32_t c, uint32_t rule, uint32_t unused, uint8_t** pos, uint8_t* end, int* full);
// A character of an algorithmic range as its byte sequence: 0 with the
// bytes and *count, 1 fewer than the rule's byte count available, 2 below
// the base code, 3 above the last code, 4 a byte count other than 1 to 4 (or
// a position that divides by a weight of 0).
int rscpRangeRuleEncode(const rscpRangeRec_t* rule, uint32_t c, uint8_t* bytes, int* count, int available);
// The character of a byte sequence of the range: 0 with *c, 1 fewer bytes
// available than the rule's byte count or a byte outside its position's
// bounds, 3 below the first code, 4 above the last code, 5 a byte count
// other than 1 to 4.
int rscpRangeRuleDecode(const rscpRangeRec_t* rule, uint32_t* c, const uint8_t* bytes, int available);

// Damaged tables: a rule without a meaning, a word naming something outside
// the cache. Report RSCPEINTERN and return its result.
rscpRc_t rscpcIBadRule(uint32_t rule, int line);
rscpRc_t rscpcIBadWord(uint32_t word, int line);

// Writes the n bytes of b when they fit.
inline rscpcOutResult rscpcIPutBytes(uint8_t*& pos, uint8_t* end, const uint8_t* b, int n) {
  if (end - pos < n) return rscpcOutResult(rscpcOut::kFull, n);
  memcpy(pos, b, static_cast<size_t>(n));
  pos += n;
  return rscpcOutResult(rscpcOut::kDone);
}

// Writes c by output rule `rule` with its parameter.
inline rscpcOutResult rscpcIOutRule(rscpCObj_t* o, const rscpcTables& t, rscpcOutMark outStart, uint8_t*& pos,
                                    uint8_t* end, uint32_t c, uint32_t rule, uint32_t param) {
  uint8_t b[4];
  int n;
  const uint32_t v = c & 0xFFFFFF;
  switch (rule) {
    case 14:  // U2l
      if (end - pos < 2) return rscpcOutResult(rscpcOut::kFull, 2);
      pos[0] = static_cast<uint8_t>(c), pos[1] = static_cast<uint8_t>(c >> 8);
      pos += 2;
      return rscpcOutResult(rscpcOut::kDone);
    case 10:  // U2h
      b[0] = static_cast<uint8_t>(c >> 8), b[1] = static_cast<uint8_t>(c), n = 2;
      break;
    case 11:  // U4h
      b[0] = 0, b[1] = static_cast<uint8_t>(c >> 16), b[2] = static_cast<uint8_t>(c >> 8);
      b[3] = static_cast<uint8_t>(c), n = 4;
      break;
    case 15:  // U4l
      b[0] = static_cast<uint8_t>(c), b[1] = static_cast<uint8_t>(c >> 8), b[2] = static_cast<uint8_t>(c >> 16);
      b[3] = 0, n = 4;
      break;
    case 13:  // U22h
    case 16: {  // U22l
      const uint32_t u = v - 0x10000;
      const uint8_t hi = static_cast<uint8_t>(0xD8 | ((u >> 18) & 3)), h2 = static_cast<uint8_t>(u >> 10);
      const uint8_t lo = static_cast<uint8_t>(0xDC | ((u >> 8) & 3)), l2 = static_cast<uint8_t>(u);
      if (rule == 13) {
        b[0] = hi, b[1] = h2, b[2] = lo, b[3] = l2;
      } else {
        b[0] = h2, b[1] = hi, b[2] = l2, b[3] = lo;
      }
      n = 4;
      break;
    }
    case 12:  // U8_1
      b[0] = static_cast<uint8_t>(c & 0x7F), n = 1;
      break;
    case 50:
      b[0] = static_cast<uint8_t>(0xC0 | ((c >> 6) & 0x1F)), b[1] = static_cast<uint8_t>(0x80 | (c & 0x3F)), n = 2;
      break;
    case 51:
      b[0] = static_cast<uint8_t>(0xE0 | ((c >> 12) & 0x0F)), b[1] = static_cast<uint8_t>(0x80 | ((c >> 6) & 0x3F));
      b[2] = static_cast<uint8_t>(0x80 | (c & 0x3F)), n = 3;
      break;
    case 52:
      b[0] = static_cast<uint8_t>(0xF0 | ((c >> 18) & 7)), b[1] = static_cast<uint8_t>(0x80 | ((c >> 12) & 0x3F));
      b[2] = static_cast<uint8_t>(0x80 | ((c >> 6) & 0x3F)), b[3] = static_cast<uint8_t>(0x80 | (c & 0x3F)), n = 4;
      break;
    case 72:
      return rscpcOutResult(rscpcOut::kDropT3);
    default:
      if ((rule >= 53 && rule <= 68) || (rule >= 73 && rule <= 82)) {
        return rscpcIOutRule40(o, t, outStart, &pos, end, c, rule, param);
      }
      return rscpcOutResult::Error(rscpcIBadRule(rule, __LINE__));
  }
  return rscpcIPutBytes(pos, end, b, n);
}

// Encodes c through the output table at outT2 (checked by the caller). c
// must not exceed t.maxUchar.
inline rscpcOutResult rscpcIEncode(rscpCObj_t* o, const rscpcTables& t, uint32_t outT2, rscpcOutMark outStart,
                                   uint8_t*& pos, uint8_t* end, uint32_t c) {
  const uint16_t e = t.T2Entry(outT2, c);
  if ((e & RSCP_T2_T3) != 0) {
    const uint32_t k = e & 0x7FFF;
    if (!t.T3Ok(k)) return rscpcOutResult::Error(rscpcIBadWord(e, __LINE__));
    const uint32_t w = t.T3(k)[c & 0x7F];
    if ((w & RSCP_T3_RULE) != 0) return rscpcIOutRule(o, t, outStart, pos, end, c, w & 0x7F, (w >> 8) & 0xFFFF);
    const int n = static_cast<int>((w >> 24) & 0x7F);
    if (n == 0) return rscpcOutResult(rscpcOut::kNone);
    if (end - pos < n) return rscpcOutResult(rscpcOut::kFull, n);
    if (n == 1) {
      *pos++ = static_cast<uint8_t>(w >> 16);
    } else if (n == 2) {
      pos[0] = static_cast<uint8_t>(w >> 16), pos[1] = static_cast<uint8_t>(w >> 8);
      pos += 2;
    } else if (n == 3) {
      pos[0] = static_cast<uint8_t>(w >> 16), pos[1] = static_cast<uint8_t>(w >> 8), pos[2] = static_cast<uint8_t>(w);
      pos += 3;
    } else {
      const uint32_t off = w & 0xFFFFFF;
      if (!t.LongOk(off, static_cast<uint32_t>(n))) return rscpcOutResult::Error(rscpcIBadWord(w, __LINE__));
      memcpy(pos, t.base + off, static_cast<size_t>(n));
      pos += n;
    }
    return rscpcOutResult(rscpcOut::kDone);
  }
  if ((e >> 13) == 2) {
    const uint32_t rule = e & 0x7F;
    if (rule == 72) return rscpcOutResult(rscpcOut::kDropT2);
    return rscpcIOutRule(o, t, outStart, pos, end, c, rule, (e >> 7) & 0x3F);
  }
  return rscpcOutResult(rscpcOut::kNone);
}

// --- Internal forms of the single-character writer and its handlers --------------------
// They read the tables of t (the caller's generation) and the object's
// out_t1, which the caller has checked against t; outStart as above. Those
// that run the output-table check take t anew from the calling thread's pin
// when the check chose again.

rscpRc_t rscpcIPutChar(rscpCObj_t* o, const rscpcTables& t, rscpcOutMark outStart, uint8_t** pos, uint8_t* end,
                       uint32_t c);
// The output-table check, then t taken anew and the object's output table
// checked against it.
rscpRc_t rscpcICheckOutTab(rscpCObj_t* o, rscpcTables& t);
// The drop handler: *result 0 done, 1 stop, 2 output full or unknown drop
// value, 3 failed with the returned code.
rscpRc_t rscpcIDropChar(rscpCObj_t* o, rscpcTables& t, rscpcOutMark outStart, uint8_t** pos, uint8_t* end,
                        int* result);
// subst_char count times after the check, subst_count raised once: 0, 1
// (the check or the writer failed with *code) or 2 (output full). On 1 and
// 2 the position and subst_count are as on entry.
int rscpcISubstitute(rscpCObj_t* o, rscpcTables& t, rscpcOutMark outStart, uint8_t** pos, uint8_t* end, int count,
                     rscpRc_t* code);
// The unconvertible-character handler for the bytes charStart..charEnd: 0
// done, 1 the check or the writer failed (*code), 2 output full, 3 neither
// substitution nor copy. On 1 and 2 the position and subst_count are as on
// entry.
int rscpcIUnconvertible(rscpCObj_t* o, rscpcTables& t, rscpcOutMark outStart, uint8_t** pos, uint8_t* end,
                        const uint8_t* charEnd, const uint8_t* charStart, rscpRc_t* code);

// Whether the object's input (block) and output (T2) tables lie inside t.
bool rscpcIInside(const rscpcTables& t, const rscpCObj_t* o, bool input, bool output);
// RSCPEINVAL: the object names tables outside the cache.
rscpRc_t rscpcIOutsideReport(const rscpCObj_t* o, int line);

// --- The frame of one call --------------------------------------------------------------

struct rscpcFrame {
  rscpCObj_t* o = nullptr;
  rscpcTables t;
  uint32_t inT1 = 0;  // checked against t
  uint32_t outT2 = 0;
  int32_t mbcCopy = 2;
  // (in and out are kept apart: a vector load of both after their separate
  // stores would stall on every call.)
  const uint8_t* inStart = nullptr;
  const uint8_t* in = nullptr;  // the first byte of the character at work
  const uint8_t* inEnd = nullptr;
  uint8_t* outStart = nullptr;
  uint8_t* outEnd = nullptr;
  uint8_t* out = nullptr;       // behind the last whole character written
  rscpRc_t rc = 0;              // the branch's result so far
  int32_t inLen = 0;            // as taken at entry, for the reports
  int32_t outLen = 0;
  const uint8_t* charRead = nullptr;  // read position of a cut character
  uint32_t charLen = 0;               // bytes of an unconvertible character
  bool pinned = false;                // the call pinned a cache generation (Pin)
  uint8_t* backEnd = nullptr;         // behind the last return sequence written (Mark)

  // Pins the published cache generation for the rest of the call (once)
  // and takes its tables; the call unpins at its end. Branches that read no
  // table never pin.
  void Pin() {
    if (!pinned) {
      t.Take(rscpPinCache());
      pinned = true;
    }
  }

  // The output of this call for the framed writers.
  rscpcOutMark Mark() { return rscpcOutMark(outStart, &backEnd); }

  // After a handler that ran the output-table check: the object's tables
  // again when the check chose anew; 0 or the bounds report's code.
  rscpRc_t Follow() {
    if (o->in_t1 == inT1 && o->out_t1 == outT2) return 0;
    if (!rscpcIInside(t, o, true, true)) return rscpcIOutsideReport(o, __LINE__);
    inT1 = o->in_t1;
    outT2 = o->out_t1;
    return 0;
  }
};

// What a step or a branch asks of the frame.
enum class rscpcStep : uint8_t {
  kNext,    // the character is done; f.in is behind it
  kWalk,    // (direct paths) not handled: walk the tables
  kFull,    // output full at f.in / f.out
  kBroken,  // the input ends inside the character at f.in (read to f.charRead)
  kUnconv,  // the f.charLen bytes at f.in have no output and no replacement
  kError,   // stop with f.rc
};

// --- The walk ----------------------------------------------------------------------------

// One character in the making.
struct rscpcChar {
  const uint8_t* rd;  // read position; the first byte is f.in
  uint32_t block;     // current input block
  uint32_t start;     // the block the character started in
  int brokenLen;      // broken length (in_space_len, or a rule's own)
};

// brokenLen: the broken length to start with (0: in_space_len).
template <class P>
rscpcStep rscpcIWalkChar(rscpcFrame& f, int brokenLen = 0);

// The points where the table methods differ. A method's policy derives
// from rscpcWalkPolicy<itself> and hides the members it changes; the walk
// calls them through the policy type, so each instance is compiled with its
// own choices inline.
template <class P>
struct rscpcWalkPolicy {
  // The block where a character starts; 0 ends the call with f.rc set.
  static uint32_t StartBlock(rscpcFrame& f) { return f.inT1; }
  // A character handled without the tables: kNext after moving f.in, an
  // exit, or kWalk for the table walk.
  static rscpcStep Direct(rscpcFrame&) { return rscpcStep::kWalk; }
  // The unit reader: one character from f.in. Byte-oriented methods take
  // the direct path, else the walk; sixteen-bit methods decode units first.
  static rscpcStep ReadChar(rscpcFrame& f) {
    const rscpcStep s = P::Direct(f);
    return s == rscpcStep::kWalk ? rscpcIWalkChar<P>(f) : s;
  }
  // A broken entry or sequence of len bytes at f.in.
  static rscpcStep Broken(rscpcFrame& f, int len);
  // A character (f.in up to end) without output.
  static rscpcStep NoOutput(rscpcFrame& f, const uint8_t* end);
  // A table word that is no character, block, rule or output bytes: a
  // sequence the input code page does not know (read up to ch.rd).
  static rscpcStep UnknownWord(rscpcFrame& f, const rscpcChar& ch);
  // A next-block word that names the start block: the sequence up to
  // ch.rd is complete without output.
  static rscpcStep Complete(rscpcFrame& f, const rscpcChar& ch) {
    f.in = ch.rd;
    return rscpcStep::kNext;
  }
  // The input ended inside a next-block sequence.
  static rscpcStep AtEnd(rscpcFrame& f, rscpcChar& ch);
  // At the input end inside a sequence: with like_miss, the current block's
  // end-of-input character (word 256) stands for what was read.
  static constexpr bool kEndOfInputWord = false;
  // Runs of common characters take rscpcIFastRun first: only for methods
  // that start every character in the input table's root (in_t1). The
  // first bytes of direct paths stop it (nullptr: none).
  static constexpr bool kFastRun = false;
  static const uint64_t* FastRunStops(rscpcFrame&) { return nullptr; }
};

// --- Shared steps ------------------------------------------------------------------------

// Maps a handler's result (0 done, 1 failed, 2 full, 3 neither) to a step,
// with f.in moved to end when done.
inline rscpcStep rscpcIHandled(rscpcFrame& f, int result, rscpRc_t code, const uint8_t* end) {
  if (result == 0 || result == 1) {
    if (rscpRc_t rc = f.Follow()) code = rc, result = 1;
  }
  switch (result) {
    case 0: f.in = end; return rscpcStep::kNext;
    case 2: return rscpcStep::kFull;
    case 3: f.charLen = static_cast<uint32_t>(end - f.in); return rscpcStep::kUnconv;
    default: f.rc = code; return rscpcStep::kError;
  }
}

// Unconvertible character f.in .. end: substitution, copy or the exit.
inline rscpcStep rscpcINoOutput(rscpcFrame& f, const uint8_t* end) {
  rscpRc_t code = 0;
  const int r = rscpcIUnconvertible(f.o, f.t, f.Mark(), &f.out, f.outEnd, end, f.in, &code);
  return rscpcIHandled(f, r, code, end);
}

// Broken sequence of len bytes at f.in: one substitution character (up to
// len / in_space_len of them with mbc_copy 2 and 3), a copy, or the exit.
inline rscpcStep rscpcIBrokenSeq(rscpcFrame& f, int len) {
  // A sequence longer than the rest of the input is cut: its rest may come
  // with the next call, and a stream in pieces converts as it does whole.
  if (len > f.inEnd - f.in) {
    f.charRead = f.inEnd;
    return rscpcStep::kBroken;
  }
  if (len < 1) len = 1;
  const uint8_t* end = f.in + len;
  if (f.o->use_subst != 0) {
    int count = 1;
    if (f.mbcCopy == 2 || f.mbcCopy == 3) {
      const int unit = f.o->in_space_len >= 1 && f.o->in_space_len <= 4 ? static_cast<int>(f.o->in_space_len) : 1;
      count = len / unit > 1 ? len / unit : 1;
    }
    rscpRc_t code = 0;
    const int r = rscpcISubstitute(f.o, f.t, f.Mark(), &f.out, f.outEnd, count, &code);
    return rscpcIHandled(f, r, code, end);
  }
  if (f.o->use_1_copy != 0) {
    if (f.outEnd - f.out < len) return rscpcStep::kFull;
    memcpy(f.out, f.in, static_cast<size_t>(len));
    f.out += len;
    f.o->subst_count += 1;
    f.in = end;
    return rscpcStep::kNext;
  }
  f.charLen = static_cast<uint32_t>(len);
  return rscpcStep::kUnconv;
}

template <class P>
rscpcStep rscpcWalkPolicy<P>::Broken(rscpcFrame& f, int len) {
  return rscpcIBrokenSeq(f, len);
}
template <class P>
rscpcStep rscpcWalkPolicy<P>::NoOutput(rscpcFrame& f, const uint8_t* end) {
  return rscpcINoOutput(f, end);
}

// The length of a broken sequence: the bytes read less the one that broke
// it when they are more than the broken length, else the broken length.
inline int rscpcIBrokenLength(const rscpcFrame& f, const rscpcChar& ch) {
  const int read = static_cast<int>(ch.rd - f.in);
  const int len = read > ch.brokenLen ? read - 1 : ch.brokenLen;
  return len < 1 ? 1 : len;
}

template <class P>
rscpcStep rscpcWalkPolicy<P>::UnknownWord(rscpcFrame& f, const rscpcChar& ch) {
  return P::Broken(f, rscpcIBrokenLength(f, ch));
}

// Output of character c that ends at end.
template <class P>
inline rscpcStep rscpcIOutput(rscpcFrame& f, rscpcChar& ch, uint32_t c, const uint8_t* end) {
  if (c > f.t.maxUchar) return P::Broken(f, rscpcIBrokenLength(f, ch));
  const rscpcOutResult r = rscpcIEncode(f.o, f.t, f.outT2, f.Mark(), f.out, f.outEnd, c);
  switch (r.kind()) {
    case rscpcOut::kDone:
      f.in = end;
      return rscpcStep::kNext;
    case rscpcOut::kFull:
      return rscpcStep::kFull;
    case rscpcOut::kNone:
      return P::NoOutput(f, end);
    case rscpcOut::kDropT2:
    case rscpcOut::kDropT3: {
      // The handler's 1 (stop) is the unconvertible exit, 3 its failure.
      int result = 0;
      const rscpRc_t rc = rscpcIDropChar(f.o, f.t, f.Mark(), &f.out, f.outEnd, &result);
      return rscpcIHandled(f, result == 1 ? 3 : result == 3 ? 1 : result, rc, end);
    }
    case rscpcOut::kError:
      f.rc = r.rc();
      return rscpcStep::kError;
  }
  return rscpcStep::kError;
}

// A word of the input state's table that knows no control byte (C0 or
// DEL) starting a character: controls are not designated in ISO-2022, so
// the initial state's table reads it (text written as "ESC ( B" and a
// line end). Anything else is the policy's broken sequence.
template <class P>
inline rscpcStep rscpcIUnknownIn2022(rscpcFrame& f, const rscpcChar& ch) {
  const uint8_t b = *f.in;
  if (ch.rd - f.in == 1 && (b < 0x20 || b == 0x7F)) {
    const uint32_t g0 = f.t.T1(f.inT1)[0];
    const uint32_t block = g0 & RSCP_T1_VALUE;
    if ((g0 & RSCP_T1_TYPE) == RSCP_T1_NEXT && block != ch.start && f.t.BlockOk(block)) {
      const uint32_t w = f.t.T1(block)[b];
      if ((w & 0xFF000000) == RSCP_T1_CHAR) {  // a character of this byte alone
        rscpcChar one = ch;
        return rscpcIOutput<P>(f, one, w & RSCP_T1_VALUE, f.in + 1);
      }
    }
  }
  return P::Broken(f, rscpcIBrokenLength(f, ch));
}

// The input rules. The rule reads from the character's first byte.
template <class P>
inline rscpcStep rscpcIInRule(rscpcFrame& f, rscpcChar& ch, uint32_t w) {
  const uint8_t* p = f.in;
  const ptrdiff_t avail = f.inEnd - p;
  const uint32_t rule = w & 0x1FFF;
  // Fixed byte counts of the rules.
  int need;
  switch (rule) {
    case 12: need = 1; break;
    case 10: case 14: case 50: need = 2; break;
    case 51: need = 3; break;
    case 11: case 15: case 13: case 16: case 52: need = 4; break;
    case 55: need = 5; break;
    case 53: case 54: need = 6; break;
    case 56: case 57: need = 12; break;
    case 68:
    case 71: {
      uint32_t c = 0;
      int len = 0;
      rscpRc_t rc = 0;
      switch (rscpcIInRule40(f.o, f.t, w, p, ch.rd, f.inEnd, &c, &len, &rc)) {
        case rscpcIn40::kChar: ch.rd = p + len; return rscpcIOutput<P>(f, ch, c, ch.rd);
        case rscpcIn40::kComplete: f.in = p + len; return rscpcStep::kNext;
        case rscpcIn40::kCut: f.charRead = f.inEnd; return rscpcStep::kBroken;
        case rscpcIn40::kBroken: return P::Broken(f, len);
        case rscpcIn40::kError: f.rc = rc; return rscpcStep::kError;
      }
      return rscpcStep::kError;
    }
    default:
      return P::Broken(f, rscpcIBrokenLength(f, ch));
  }
  uint32_t c;
  if (rule == 12 || (rule >= 50 && rule <= 52)) {
    // Only well-formed UTF-8 (the ranges of Unicode's table 3-7): no
    // overlong forms, no surrogates, nothing above U+10FFFF. A byte that
    // breaks the form ends the sequence before it.
    const uint8_t b0 = p[0];
    uint8_t lo = 0x80, hi = 0xBF;
    bool leadOk;
    switch (need) {
      case 1: leadOk = b0 < 0x80; break;
      case 2: leadOk = b0 >= 0xC2 && b0 <= 0xDF; break;
      case 3:
        leadOk = b0 >= 0xE0 && b0 <= 0xEF;
        if (b0 == 0xE0) lo = 0xA0;
        if (b0 == 0xED) hi = 0x9F;
        break;
      default:
        leadOk = b0 >= 0xF0 && b0 <= 0xF4;
        if (b0 == 0xF0) lo = 0x90;
        if (b0 == 0xF4) hi = 0x8F;
        break;
    }
    if (!leadOk) {
      ch.rd = p + 1;
      return P::Broken(f, rscpcIBrokenLength(f, ch));
    }
    c = need == 1 ? b0 : need == 2 ? b0 & 0x1Fu : need == 3 ? b0 & 0x0Fu : b0 & 0x07u;
    for (int k = 1; k < need; ++k) {
      if (k >= avail) {
        f.charRead = f.inEnd;
        return rscpcStep::kBroken;
      }
      const uint8_t b = p[k];
      if (b < lo || b > hi) {
        ch.rd = p + k + 1;
        return P::Broken(f, rscpcIBrokenLength(f, ch));
      }
      lo = 0x80, hi = 0xBF;
      c = c << 6 | (b & 0x3Fu);
    }
    ch.rd = p + need;
    return rscpcIOutput<P>(f, ch, c, ch.rd);
  }
  if (avail < need) {
    f.charRead = f.inEnd;
    return rscpcStep::kBroken;
  }
  switch (rule) {
    case 10: c = uint32_t{p[0]} << 8 | p[1]; break;
    case 14: c = uint32_t{p[1]} << 8 | p[0]; break;
    case 11: c = uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3]; break;
    case 15: c = uint32_t{p[3]} << 24 | uint32_t{p[2]} << 16 | uint32_t{p[1]} << 8 | p[0]; break;
    case 13:
    case 16: {
      // A high surrogate takes only a low surrogate as its second unit.
      const uint8_t h1 = rule == 13 ? p[0] : p[1], h2 = rule == 13 ? p[1] : p[0];
      const uint8_t l1 = rule == 13 ? p[2] : p[3], l2 = rule == 13 ? p[3] : p[2];
      if ((h1 & 0xFC) != 0xD8 || (l1 & 0xFC) != 0xDC) {
        ch.brokenLen = 2;
        ch.rd = p + 2;
        return P::Broken(f, rscpcIBrokenLength(f, ch));
      }
      c = 0x10000 + ((uint32_t{h1} & 3) << 18) + (uint32_t{h2} << 10) + ((uint32_t{l1} & 3) << 8) + l2;
      break;
    }
    default: {  // icons
      uint8_t c1, c2;
      int blen;
      switch (rule) {
        case 53: c1 = p[3], c2 = p[5], blen = 2; break;
        case 54: c1 = p[2], c2 = p[4], blen = 2; break;
        case 55: c1 = p[3], c2 = p[4], blen = 3; break;
        case 56: c1 = p[7], c2 = p[11], blen = 4; break;
        default: c1 = p[4], c2 = p[8], blen = 4; break;
      }
      c = rscpIconCodeToChar(c1, c2);
      if (c == 0) {
        ch.brokenLen = blen;
        return P::Broken(f, rscpcIBrokenLength(f, ch));
      }
      break;
    }
  }
  ch.rd = p + need;
  return rscpcIOutput<P>(f, ch, c, ch.rd);
}

// Direct output bytes of a combined table (one or two).
inline rscpcStep rscpcIDirectBytes(rscpcFrame& f, uint32_t w, const uint8_t* end) {
  if ((w >> 29) == 4) {
    if (f.out >= f.outEnd) return rscpcStep::kFull;
    *f.out++ = static_cast<uint8_t>(w);
  } else {
    if (f.outEnd - f.out < 2) return rscpcStep::kFull;
    f.out[0] = static_cast<uint8_t>(w >> 8), f.out[1] = static_cast<uint8_t>(w);
    f.out += 2;
  }
  f.in = end;
  return rscpcStep::kNext;
}

// Where a character with length field L ends: first byte + L, or the read
// position when L is 0. NULL when that lies beyond the input end.
inline const uint8_t* rscpcIEndOf(const rscpcFrame& f, const rscpcChar& ch, uint32_t w) {
  const uint32_t l = (w & RSCP_T1_LEN) >> 24;
  if (l == 0) return ch.rd;
  return static_cast<ptrdiff_t>(l) <= f.inEnd - f.in ? f.in + l : nullptr;
}

// The input ended inside a next-block sequence.
template <class P>
inline rscpcStep rscpcIAtEndInside(rscpcFrame& f, rscpcChar& ch) {
  if (P::kEndOfInputWord && f.o->rscpbroken == 1) {
    const uint32_t w = f.t.T1(ch.block)[RSCP_T1_END_OF_INPUT];
    if ((w & RSCP_T1_TYPE) == RSCP_T1_CHAR) {
      const uint8_t* end = rscpcIEndOf(f, ch, w);
      if (end != nullptr && end > f.in) return rscpcIOutput<P>(f, ch, w & RSCP_T1_VALUE, end);
    }
  }
  f.charRead = ch.rd;
  return rscpcStep::kBroken;
}

template <class P>
rscpcStep rscpcWalkPolicy<P>::AtEnd(rscpcFrame& f, rscpcChar& ch) {
  return rscpcIAtEndInside<P>(f, ch);
}

// The table walk of one character from f.in.
template <class P>
rscpcStep rscpcIWalkChar(rscpcFrame& f, int brokenLen) {
  rscpcChar ch;
  ch.start = ch.block = P::StartBlock(f);
  if (ch.start == 0) return rscpcStep::kError;
  ch.rd = f.in;
  ch.brokenLen = brokenLen > 0 ? brokenLen : static_cast<int>(f.o->in_space_len);
  for (;;) {
    if (ch.rd >= f.inEnd) return P::AtEnd(f, ch);
    const uint32_t w = f.t.T1(ch.block)[*ch.rd++];
    switch (w >> 29) {
      case 1: {  // a character
        const uint8_t* end = rscpcIEndOf(f, ch, w);
        if (end == nullptr) {
          f.charRead = f.inEnd;
          return rscpcStep::kBroken;
        }
        return rscpcIOutput<P>(f, ch, w & RSCP_T1_VALUE, end);
      }
      case 2: {  // the next block
        const uint32_t next = w & RSCP_T1_VALUE;
        if (next == ch.start) return P::Complete(f, ch);  // a complete sequence without output
        if (!f.t.BlockOk(next)) {
          f.rc = rscpcIBadWord(w, __LINE__);
          return rscpcStep::kError;
        }
        ch.block = next;
        continue;
      }
      case 3:
        return rscpcIInRule<P>(f, ch, w);
      case 4:
      case 5: {
        const uint8_t* end = rscpcIEndOf(f, ch, w);
        if (end == nullptr) {
          f.charRead = f.inEnd;
          return rscpcStep::kBroken;
        }
        return rscpcIDirectBytes(f, w, end);
      }
      default:
        return P::UnknownWord(f, ch);
    }
  }
}

// Widens n bytes into the units 00 b (high) or b 00, sixteen at a time
// with the compiler's generic vectors; input and output do not overlap (the
// call converts a same-buffer input from a copy).
inline void rscpcIWiden(const uint8_t* __restrict in, uint8_t* __restrict out, ptrdiff_t n, bool high) {
  typedef uint8_t Bytes16 __attribute__((vector_size(16)));
  const Bytes16 zero = {};
  ptrdiff_t i = 0;
  for (; i + 16 <= n; i += 16) {
    Bytes16 v, a, b;
    memcpy(&v, in + i, 16);
    if (high) {
      a = __builtin_shufflevector(zero, v, 0, 16, 1, 17, 2, 18, 3, 19, 4, 20, 5, 21, 6, 22, 7, 23);
      b = __builtin_shufflevector(zero, v, 8, 24, 9, 25, 10, 26, 11, 27, 12, 28, 13, 29, 14, 30, 15, 31);
    } else {
      a = __builtin_shufflevector(v, zero, 0, 16, 1, 17, 2, 18, 3, 19, 4, 20, 5, 21, 6, 22, 7, 23);
      b = __builtin_shufflevector(v, zero, 8, 24, 9, 25, 10, 26, 11, 27, 12, 28, 13, 29, 14, 30, 15, 31);
    }
    memcpy(out + 2 * i, &a, 16);
    memcpy(out + 2 * i + 16, &b, 16);
  }
  for (; i < n; ++i) out[2 * i] = high ? 0 : in[i], out[2 * i + 1] = high ? in[i] : 0;
}

// The common characters without the general steps: a run of characters
// whose table walk ends in a character word, direct output bytes (no
// length field) or a range rule that decodes, and whose output is a code of
// one to three bytes or a Unicode form rule, while 4 bytes of room are
// left. It stops, with f.in and f.out moved past what it wrote, at the
// first character that needs anything else; that character then takes the
// general steps, which give the same result for everything the run takes.
//
// What a one-byte character writes is remembered per byte in m for the
// rest of the call, as long as the tables stay those it was made for. A
// first byte in stops (a bit per byte value; nullptr: none) starts a
// character that the general steps take (a direct path).
struct rscpcFastMemo {
  const uint8_t* base = nullptr;  // the tables that seen and known describe
  uint32_t inT1 = 0;
  uint32_t outT2 = 0;
  // seen[b]: 0 not looked up yet; 1 known[b] is b's code; 2 b needs the
  // general steps; 3 b leads into block known[b] (checked, not the start);
  // 4 b starts a unit of two bytes that input rule known[b] (10 or 14)
  // decodes.
  uint8_t seen[256];
  uint32_t known[256];
  // lane[b]: the two bytes of b's code when b is a known character with a
  // two-byte code, else a value with bit 16 set. Filled only once a long
  // input (512 bytes or more) asks for it: it costs a fill of 1 KiB.
  bool laneFilled = false;
  uint32_t lane[256];
  // Two-byte characters met so far, by a hash of their bytes: code 0 an
  // empty slot. Kept from the 16th two-byte character of the call on (a
  // short input does not pay for clearing it).
  uint32_t pairsMet = 0;
  uint16_t pairKey[256];
  uint32_t pairCode[256];
};

// The code of character c (at most t.maxUchar) through the output table t2
// as the fast runs write it: n << 24 | b0 | b1 << 8 | b2 << 16 for a code of
// n = 1 to 3 bytes that the table holds or that a Unicode form rule (UTF-16,
// one- or two-byte UTF-8) gives; 0 when the character needs the general
// steps. The bytes are those rscpcIEncode writes for c.
__attribute__((always_inline)) inline uint32_t rscpcIFastCode(const rscpcTables& t, const uint16_t* t2, uint32_t c) {
  const uint16_t e = t2[c >> 7];
  uint32_t rule;
  if ((e & RSCP_T2_T3) != 0) {
    const uint32_t k = e & 0x7FFF;
    if (!t.T3Ok(k)) return 0;
    const uint32_t word = t.T3(k)[c & 0x7F];
    if ((word & RSCP_T3_RULE) == 0) {
      const uint32_t n = word >> 24;
      if (n - 1 >= 3) return 0;
      return n << 24 | (word >> 16 & 0xFF) | (word & 0xFF00) | (word & 0xFF) << 16;
    }
    rule = word & 0x7F;
  } else if ((e >> 13) == 2) {
    rule = e & 0x7F;
  } else {
    return 0;
  }
  switch (rule) {
    case 14: return 2u << 24 | (c & 0xFFFF);
    case 10: return 2u << 24 | (c >> 8 & 0xFF) | (c & 0xFF) << 8;
    case 12: return 1u << 24 | (c & 0x7F);
    case 50: return 2u << 24 | (0xC0 | (c >> 6 & 0x1F)) | (0x80 | (c & 0x3F)) << 8;
    default: return 0;
  }
}

// Writes a code of rscpcIFastCode at out (room checked by the caller) and
// returns the position behind it.
__attribute__((always_inline)) inline uint8_t* rscpcIFastPut(uint8_t* out, uint32_t code) {
  const uint32_t n = code >> 24;
  if (n == 2) {
    const uint16_t two = static_cast<uint16_t>(code);
    memcpy(out, &two, 2);
  } else {
    out[0] = static_cast<uint8_t>(code);
    if (n > 1) out[1] = static_cast<uint8_t>(code >> 8);
    if (n > 2) out[2] = static_cast<uint8_t>(code >> 16);
  }
  return out + n;
}

inline void rscpcIFastRun(rscpcFrame& f, rscpcFastMemo& m, const uint64_t* stops) {
  const uint8_t* in = f.in;
  uint8_t* __restrict out = f.out;  // never the memo's arrays
  const uint8_t* const inEnd = f.inEnd;
  uint8_t* const outLast = f.outEnd - 4;
  if (in >= inEnd || out > outLast) return;
  const rscpcTables t = f.t;
  const uint32_t start = f.inT1;
  if (m.base != t.base || m.inT1 != start || m.outT2 != f.outT2) {
    m.base = t.base, m.inT1 = start, m.outT2 = f.outT2;
    memset(m.seen, 0, sizeof m.seen);
    m.pairsMet = 0;
    m.laneFilled = false;
  }
  uint32_t* const known = m.known;
  uint8_t* const seen = m.seen;
  const uint32_t* const root = t.T1(start);
  const uint16_t* const t2 = reinterpret_cast<const uint16_t*>(t.base + f.outT2);

  const auto codeOf = [&](uint32_t c) __attribute__((always_inline)) -> uint32_t {
    return c > t.maxUchar ? 0 : rscpcIFastCode(t, t2, c);
  };
  // The code of a character that ends in table word w.
  const auto codeOfWord = [&](uint32_t w) __attribute__((always_inline)) -> uint32_t {
    if ((w & 0xFF000000) == RSCP_T1_CHAR) return codeOf(w & RSCP_T1_VALUE);
    if ((w & 0xFF000000) == 0x80000000) return 1u << 24 | (w & 0xFF);
    if ((w & 0xFF000000) == 0xA0000000) return 2u << 24 | (w >> 8 & 0xFF) | (w & 0xFF) << 8;
    return 0;
  };
  const auto put = [&out](uint32_t code) __attribute__((always_inline)) { out = rscpcIFastPut(out, code); };
  // The input rule of word w when it decodes a unit of the first two
  // bytes of the character (UTF-16 big or little endian), else 0.
  const auto unitRule = [](uint32_t w) -> uint32_t {
    const uint32_t r = w & (RSCP_T1_TYPE | 0x1FFF);
    return r == (RSCP_T1_RULE | 10) || r == (RSCP_T1_RULE | 14) ? r & 0x1FFF : 0;
  };
  const auto unitOf = [](uint32_t rule, const uint8_t* p) -> uint32_t {
    return rule == 14 ? uint32_t{p[1]} << 8 | p[0] : uint32_t{p[0]} << 8 | p[1];
  };

  uint32_t* const lane = m.lane;
  const bool lanes = inEnd - in >= 512;
  if (lanes && !m.laneFilled) {
    for (uint32_t b = 0; b < 256; ++b)
      lane[b] = seen[b] == 1 && (known[b] >> 24) == 2 ? known[b] & 0xFFFF : 0x10000u;
    m.laneFilled = true;
    // A block whose every byte b has the two-byte code 00 b (or b 00), as
    // ISO 8859-1 into UTF-16, and no byte that starts a direct path: the
    // input widens as it is.
    bool high = stops == nullptr, low = stops == nullptr;
    for (uint32_t b = 0; b < 256 && (high || low); ++b) {
      high = high && root[b] == (0xA0000000u | b);
      low = low && root[b] == (0xA0000000u | b << 8);
    }
    if (high || low) {
      const ptrdiff_t n = std::min<ptrdiff_t>(inEnd - in, (f.outEnd - out) / 2);
      rscpcIWiden(in, out, n, high);
      f.in = in + n;
      f.out = out + 2 * n;
      return;
    }
  }

  while (in < inEnd && out <= outLast) {
    // As many known characters as certainly fit (3 bytes each at most)
    // without a test of the room.
    const ptrdiff_t batch = std::min<ptrdiff_t>(inEnd - in, (outLast - out) / 3 + 1);
    const uint8_t* const batchEnd = in + batch;
    // Four one-byte characters with two-byte codes at a time (a batch of
    // four or more has room for at least 13 bytes).
    while (lanes && batchEnd - in >= 4) {
      const uint32_t l0 = lane[in[0]], l1 = lane[in[1]], l2 = lane[in[2]], l3 = lane[in[3]];
      if (((l0 | l1 | l2 | l3) >> 16) != 0) break;
      const uint64_t x = uint64_t{l0} | uint64_t{l1} << 16 | uint64_t{l2} << 32 | uint64_t{l3} << 48;
      memcpy(out, &x, 8);
      out += 8;
      in += 4;
    }
    while (in < batchEnd && seen[*in] == 1) {
      put(known[*in]);
      ++in;
    }
    if (in == batchEnd) continue;
    const uint8_t b = *in;
    if (seen[b] == 0 && stops != nullptr && (stops[b >> 6] >> (b & 63) & 1) != 0) seen[b] = 2;
    if (seen[b] == 0) {
      const uint32_t w = root[b];
      const uint32_t next = w & RSCP_T1_VALUE;
      if ((w >> 29) == 2) {
        const bool lead = next != start && t.BlockOk(next);
        known[b] = next;
        seen[b] = lead ? 3 : 2;
      } else if (const uint32_t rule = unitRule(w)) {
        known[b] = rule;
        seen[b] = 4;
      } else {
        const uint32_t code = codeOfWord(w);
        known[b] = code;
        seen[b] = code != 0 ? 1 : 2;
        if (m.laneFilled && (code >> 24) == 2) lane[b] = code & 0xFFFF;
        if (code != 0) continue;
      }
    }
    if (seen[b] < 3) break;
    // Sequences of more bytes, as long as they follow each other; two-byte
    // ones are remembered.
    do {
      const uint8_t lead = *in;
      if (seen[lead] == 4) {
        if (inEnd - in < 2) goto stop;
        const uint32_t code = codeOf(unitOf(known[lead], in));
        if (code == 0) goto stop;
        put(code);
        in += 2;
        continue;
      }
      uint32_t slot = 0;
      bool keep = false;
      if (inEnd - in >= 2 && ++m.pairsMet >= 16) {
        const uint32_t key = uint32_t{lead} << 8 | in[1];
        slot = (key ^ key >> 8) & 255;
        keep = true;
        if (m.pairsMet == 16) {
          memset(m.pairCode, 0, sizeof m.pairCode);
        } else if (m.pairKey[slot] == key && m.pairCode[slot] != 0) {
          put(m.pairCode[slot]);
          in += 2;
          continue;
        }
      }
      const uint8_t* rd = in + 1;
      uint32_t next = known[lead];
      uint32_t w;
      for (;;) {
        if (rd >= inEnd) goto stop;
        w = t.T1(next)[*rd++];
        if ((w >> 29) != 2) break;
        next = w & RSCP_T1_VALUE;
        if (next == start || !t.BlockOk(next)) goto stop;
      }
      uint32_t code = codeOfWord(w);
      if (const uint32_t rule = unitRule(w); rule != 0 && rd - in == 2) {
        // A unit of the two bytes the walk read (a rule met after more
        // bytes takes the general steps: the pair memory keys two bytes).
        code = codeOf(unitOf(rule, in));
      } else if (code == 0 && (w & (RSCP_T1_TYPE | 0x1FFF)) == (RSCP_T1_RULE | 68) && (w >> 13 & 0x3F) < RSCP_RANGE_RECS) {
        // A character of an algorithmic range: its rule decodes the bytes
        // from the first one.
        const rscpRangeRec_t& r = reinterpret_cast<const rscpCCC_t*>(t.base)->ranges[w >> 13 & 0x3F];
        uint32_t c;
        if (r.seqLen >= 1 && r.seqLen <= 4 && inEnd - in >= r.seqLen &&
            rscpRangeRuleDecode(&r, &c, in, r.seqLen) == 0) {
          code = codeOf(c);
          rd = in + r.seqLen;
        }
      }
      if (code == 0) goto stop;
      put(code);
      if (keep && rd - in == 2) {
        m.pairKey[slot] = static_cast<uint16_t>(lead << 8 | in[1]);
        m.pairCode[slot] = code;
      }
      in = rd;
    } while (in < inEnd && out <= outLast && seen[*in] >= 3);
  }
stop:
  f.in = in;
  f.out = out;
}

// The character loop of a table method: every character through the
// policy's unit reader until the input is used up or a step exits; with a
// policy that starts every character in the input table's root, runs of
// common characters that start no direct path first take the fast run.
template <class P>
inline rscpcStep rscpcIRun(rscpcFrame& f) {
  [[maybe_unused]] rscpcFastMemo memo;
  while (f.in < f.inEnd) {
    if constexpr (P::kFastRun) {
      rscpcIFastRun(f, memo, P::FastRunStops(f));
      if (f.in >= f.inEnd) break;
    }
    const rscpcStep s = P::ReadChar(f);
    if (s != rscpcStep::kNext) return s;
  }
  return rscpcStep::kNext;
}

// The walk of tab and l_tab.
struct rscpcTabPolicy : rscpcWalkPolicy<rscpcTabPolicy> {
  static constexpr bool kEndOfInputWord = true;
  static constexpr bool kFastRun = true;
};

// Writes character c as the single-character writer does, after the
// output-table check when check is set; f.in moves to next once it is
// written. The common case (a code the output table holds) takes the
// encoder inline; everything else goes to the writer.
inline rscpcStep rscpcIPutStep(rscpcFrame& f, uint32_t c, const uint8_t* next, bool check) {
  if (check) {
    rscpRc_t rc = rscpcICheckOutTab(f.o, f.t);
    if (rc == 0) rc = f.Follow();
    if (rc != 0) {
      f.rc = rc;
      return rscpcStep::kError;
    }
  }
  if (c <= f.t.maxUchar) {
    const rscpcOutResult r = rscpcIEncode(f.o, f.t, f.outT2, f.Mark(), f.out, f.outEnd, c);
    if (r.kind() == rscpcOut::kDone) {
      f.in = next;
      return rscpcStep::kNext;
    }
    if (r.kind() == rscpcOut::kError) {
      f.rc = r.rc();
      return rscpcStep::kError;
    }
  }
  const rscpRc_t rc = rscpcIPutChar(f.o, f.t, f.Mark(), &f.out, f.outEnd, c);
  if (rc == 0) {
    f.in = next;
    return rscpcStep::kNext;
  }
  if (rc == RSCPETOOLONG) return rscpcStep::kFull;
  f.rc = rc;
  return rscpcStep::kError;
}

// The report of the broken-character exit for the character at f.in
// (read up to f.charRead), whatever rscpbroken says.
rscpRc_t rscpcIBrokenReport(const rscpcFrame& f);

// The Unicode value of a weqcode: 0, or 2048 after a report (a number
// above the character map, or one inside it without a value).
rscpRc_t rscpcIWeqcodeChar(uint16_t weqcode, uint32_t* c);

// The walk of one character and of a run, as the sixteen-bit methods call
// it for a private-use character: status 0 done (positions moved), 1
// output full, 2 the input ended inside a character, 3 an error (*code), 4
// a character without output (neither substitution nor copy). The frame
// supplies the object, the tables (its refresh has pinned them) and the
// call's output start; in and out are the walk's positions.
int rscpCWalkChar(rscpcFrame* f, const uint8_t** in, const uint8_t* inEnd, uint8_t** out, rscpRc_t* code);
int rscpCWalkRun(rscpcFrame* f, const uint8_t** in, const uint8_t* inEnd, uint8_t** out, rscpRc_t* code);

// --- Branches of the conversion call -------------------------------------------------------

// How a branch ends; the frame takes the shared exit.
enum class rscpcEnd : uint8_t {
  kEnd,        // end of branch with f.rc (0: the end-of-output fill)
  kFull,       // output full at f.in / f.out
  kBroken,     // a cut character at f.in
  kUnconv,     // unconvertible character at f.in
  kUnchanged,  // an early failure: f.rc, pointers unchanged
  kAgain,      // the refresh chose another method: dispatch again
};
struct rscpcBranchEnd {
  rscpcEnd kind;
  bool counts;  // end of branch: the thread counters take the counts
};

// The tables a branch reads: the input and output tables, or the 256-byte
// table at shortcut_t1 (in the generation's cache07 area).
enum class rscpcTabs : uint8_t { kInOut, kShortcut };

// The table refresh of the table methods: the tables named, the converter
// usable, the object's choice current and its tables inside the cache.
// notInit is the location of "CCC not proper initialized", noTable of
// "missing char code param". kEnd on success (the frame rebased).
rscpcBranchEnd rscpcIRefresh(rscpcFrame& f, int noTable, int notInit, rscpcTabs tabs = rscpcTabs::kInOut);

// The start block of a character on an ISO-2022 input page: the table
// that the root (a group table) names for the input shift state (bits
// 10-13 of shift_state). 0 with f.rc set when the root names none for it
// (RSCPEINTERN, "T1 not prepared for ISO-2022 status" at location) or
// names a block outside the cache.
uint32_t rscpcIGroupStart(rscpcFrame& f, int location);

// The leading run of Shift-JIS double-byte characters of the n bytes at in
// that rscpSjisRunTo82xx (l1: rscpSjisL1RunTo82xx) hands to the writer of
// target, in bytes: only pairs that the writer converts as pairs (0 when the
// first pair is none of them).
int32_t rscpcISjisRun(const uint8_t* in, int32_t n, bool l1, const rscpCp_t* target);

// The multi-byte table methods mbconv_tab, l_mbconv_tab (behind the l_
// check) and mbconv_2022tab: the walk with direct paths.
rscpcBranchEnd rscpcIMbconvTab(rscpcFrame& f);

// The sixteen-bit input methods: mbget_tab and l_mbget_tab (behind the l_
// check), and mbs16_tab .. l_su16get_tab (27, 28, 33 to 40).
rscpcBranchEnd rscpcIGetTab(rscpcFrame& f);
rscpcBranchEnd rscpcISixteen(rscpcFrame& f);
// The walks without direct paths: tab_mbtunnel and tab_mbcopy, and the
// ISO-2022 table method 2022_tab.
rscpcBranchEnd rscpcITunnel(rscpcFrame& f);
rscpcBranchEnd rscpcI2022Tab(rscpcFrame& f);

// The exit that a step of the walk asks for.
inline rscpcBranchEnd rscpcIEndOfStep(rscpcStep s) {
  switch (s) {
    case rscpcStep::kNext: return {rscpcEnd::kEnd, true};
    case rscpcStep::kFull: return {rscpcEnd::kFull, true};
    case rscpcStep::kBroken: return {rscpcEnd::kBroken, true};
    case rscpcStep::kUnconv: return {rscpcEnd::kUnconv, true};
    default: return {rscpcEnd::kEnd, true};
  }
}

// The test seam for the message-line hook beside the hook table: one line
// per same-buffer call (nothing by default).
void rscpcISetMessageLine(rscpLineOut_t out);

#endif
