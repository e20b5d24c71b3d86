// The conversion call: rscpCConvert's frame (its checks, the dispatch over
// the methods, the table refresh, the shared exits and the write-back of the
// caller's pointers) and the branches of the copying and single-byte table
// methods. The per-character steps of the table methods live in
// rscpcv_int.h.
//
// The frame allocates nothing: the input copy of a same-buffer call and
// every report's text are fixed-size locals.
#include <stdint.h>
#include <string.h>

#include <atomic>
#include <iterator>

#include "i18n/wequ16/u16fmt.h"
#include "krn/rscp/rscp_int.h"
#include "krn/rscp/rscpcv_int.h"
#include "krn/rscp/rscpcvu_int.h"
#include "krn/rscp/rscpmc_int.h"

namespace {

rscpRc_t CvReport(int rc, int location, int line, const WEQ_UC* text, const WEQ_UC* code, const WEQ_UC* p1,
                  const WEQ_UC* p2 = nullptr) {
  return rscpIReport(kRscpcCvModule, rc, location, line, text, code, p1, p2);
}

// The same-buffer copy holds this many input bytes.
constexpr ptrdiff_t kCvPrivate = 512;

std::atomic<int32_t> gCvMbcCopy{2};
std::atomic<rscpLineOut_t> gCvMessageLine{nullptr};

// --- Branches ------------------------------------------------------------------------------

using CvBranch = rscpcBranchEnd (*)(rscpcFrame&);

// No branch for the method (3, 43 to 47, and every method not built).
rscpcBranchEnd CvDefault(rscpcFrame& f) {
  WEQ_UC p2[32];
  snprintfTruncU16(p2, std::size(p2), u"&%*.*s->%*.*s&", 4, 4, f.o->from_cp, 4, 4, f.o->to_cp);
  f.rc = CvReport(RSCPENOCONV, 68, __LINE__, u"unsupported table/NLS codepages pair", u"F38",
                  rscpNameOfMethod(f.o->method), p2);
  return {rscpcEnd::kEnd, false};
}

// direct (2): one block copy; no thread counters.
rscpcBranchEnd CvDirect(rscpcFrame& f) {
  ptrdiff_t n = f.inEnd - f.in;
  const bool shortOut = n > f.outEnd - f.out;
  if (shortOut) n = f.outEnd - f.out;
  if (n > 0) memmove(f.out, f.in, static_cast<size_t>(n));
  f.in += n;
  f.out += n;
  return {shortOut ? rscpcEnd::kFull : rscpcEnd::kEnd, false};
}

// tab (4) and l_tab (5, behind the l_ check): every character through the
// tables.
rscpcBranchEnd CvTab(rscpcFrame& f) {
  const rscpcBranchEnd r = rscpcIRefresh(f, 67, 34);
  if (r.kind != rscpcEnd::kEnd) return r;
  return rscpcIEndOfStep(rscpcIRun<rscpcTabPolicy>(f));
}

// The methods 0 to 49. lang: the l_ check runs before the branch.
struct CvMethod {
  CvBranch branch;
  bool lang;
};
constexpr CvMethod kCvMethods[] = {
    {CvDefault, false},  // 0 unknownMeth
    {CvDefault, false},  // 1 deactivated
    {CvDirect, false},   // 2 direct
    {CvDefault, false},  // 3 static
    {CvTab, false},      // 4 tab
    {CvTab, true},       // 5 l_tab
    {rscpcIMbconvTab, false},  // 6 mbconv_tab
    {rscpcIMbconvTab, true},   // 7 l_mbconv_tab
    {rscpcIGetTab, false},  // 8 mbget_tab
    {rscpcIGetTab, true},   // 9 l_mbget_tab
    {rscpcITunnel, false},  // 10 tab_mbtunnel
    {rscpcITunnel, false},  // 11 tab_mbcopy
    {rscpcIOneByte, false},  // 12 1B_to_1B
    {rscpcIUtf8Form, false},  // 13 U2_to_U8
    {rscpcIUtf8Form, false},  // 14 U2sw_to_U8
    {rscpcIUtf8Form, false},  // 15 U8_to_U2
    {rscpcIUtf8Form, false},  // 16 U8_to_U2sw
    {rscpcIUtf8Form, false},  // 17 U4_to_U8
    {rscpcIUtf8Form, false},  // 18 U4sw_to_U8
    {rscpcIUtf8Form, false},  // 19 U8_to_U4
    {rscpcIUtf8Form, false},  // 20 U8_to_U4sw
    {rscpcIUtf8Form, false},  // 21 U6_to_U8
    {rscpcIUtf8Form, false},  // 22 U6sw_to_U8
    {rscpcIUtf8Form, false},  // 23 U8_to_U6
    {rscpcIUtf8Form, false},  // 24 U8_to_U6sw
    {rscpcISwap, false},  // 25 U2_swap
    {rscpcISwap, false},  // 26 U4_swap
    {rscpcISixteen, false},  // 27 mbs16_tab
    {rscpcISixteen, true},   // 28 l_mbs16_tab
    {rscpcIBrute, false},  // 29 BRUTE_A_U2B
    {rscpcIBrute, false},  // 30 BRUTE_A_U2L
    {rscpcIBrute, false},  // 31 BRUTE_U2B_A
    {rscpcIBrute, false},  // 32 BRUTE_U2L_A
    {rscpcISixteen, false},  // 33 nu16be_get_tab
    {rscpcISixteen, true},   // 34 l_nu16be_get_tab
    {rscpcISixteen, false},  // 35 nu16le_get_tab
    {rscpcISixteen, true},   // 36 l_nu16le_get_tab
    {rscpcISixteen, false},  // 37 ncu16get_tab
    {rscpcISixteen, true},   // 38 l_ncu16get_tab
    {rscpcISixteen, false},  // 39 su16get_tab
    {rscpcISixteen, true},   // 40 l_su16get_tab
    {rscpcI2022Tab, false},  // 41 2022_tab
    {rscpcIMbconvTab, false},  // 42 mbconv_2022tab
    {CvDefault, false},  // 43 tab_i1b
    {CvDefault, false},  // 44 tab_i1b_o1b
    {CvDefault, false},  // 45 tab_i1b_o1s
    {CvDefault, false},  // 46 tab_o1b
    {CvDefault, false},  // 47 tab_o1s
    {rscpcIAscii7, false},  // 48 A7_to_U6
    {rscpcIAscii7, false},  // 49 A7_to_U6sw
};
static_assert(std::size(kCvMethods) == 50);

// The l_ check: a choice that depended on the language key or the locale
// code page is made again when the hooks answer otherwise now.
void CvLangCheck(rscpCObj_t* o) {
  if (o->lang_key_set == 0) {
    WEQ_UC key = static_cast<WEQ_UC>(o->lang_key);
    rscpHooks.getKeyChar(&key);
    if (key != o->lang_key) o->cache_version = 0;
  }
  if (o->lang_cp_used == 1 && o->lang_cp_set == 0) {
    rscpCp_t cp;
    memcpy(cp, o->lang_cp, sizeof cp);
    rscpHooks.getUnsetCp(&cp);
    if (memcmp(cp, o->lang_cp, sizeof cp) != 0) o->cache_version = 0;
  }
}

// --- Exits -----------------------------------------------------------------------------------

// One call: the frame and where the caller's pointers go.
struct CvCall {
  rscpcFrame f;
  rscpThrCtx_t* ctx;
  const WEQ_RAW** in;
  WEQ_RAW** out;
  const WEQ_RAW* callerIn;  // the caller's *in at entry (the frame may read a private copy)
  uint8_t* callerOut;

  ptrdiff_t Consumed() const { return f.in - f.inStart; }
  ptrdiff_t Produced() const { return f.out - f.outStart; }
  void Count() {
    ctx->bytesIn += static_cast<uint64_t>(Consumed());
    // A compiler barrier: one vector add of both counters would reload a
    // count just stored and stall every call.
    std::atomic_signal_fence(std::memory_order_seq_cst);
    ctx->bytesOut += static_cast<uint64_t>(Produced());
  }
  void Advance(ptrdiff_t consumed, uint8_t* out) {
    *in = callerIn + consumed;
    *this->out = out;
  }
};

// The end-of-output fill; result 0 unless a fill pattern does not divide
// the rest.
rscpRc_t CvFill(CvCall& call) {
  rscpcFrame& f = call.f;
  const rscpCObj_t* o = f.o;
  uint8_t* p = f.out;
  const ptrdiff_t rest = f.outEnd - p;
  uint8_t* done = p;
  rscpRc_t rc = 0;
  if (rest > 0) {
    if (o->rscpfill == 1) {
      memset(p, 0, static_cast<size_t>(rest));
      done = f.outEnd;
    } else if (o->rscpfill == 2 || o->rscpfill == 3) {
      const uint32_t n = o->out_space_len;
      if ((n == 2 || n == 4) && rest % n != 0) {
        WEQ_UC p1[24];
        snprintfTruncU16(p1, std::size(p1), u"%ld", static_cast<long>(rest));
        rc = CvReport(RSCPEUNIQ, n == 2 ? 234 : 235, __LINE__, u"spaces don't fit into rest", u"F39", p1);
      } else if (n == 1 || n == 2 || n == 4) {
        for (ptrdiff_t i = 0; i < rest; i += n) memcpy(p + i, o->out_space, n);
        done = f.outEnd;
      }
    }
  }
  call.Advance(call.Consumed(), done);
  return rc;
}

// Whether the rest of the input is blanks of the input code page.
bool CvRestIsBlank(const rscpcFrame& f) {
  const uint32_t n = f.o->in_space_len;
  const ptrdiff_t rest = f.inEnd - f.in;
  if (rest % n != 0) return false;
  for (ptrdiff_t i = 0; i < rest; i += n) {
    if (memcmp(f.in + i, f.o->in_space, n) != 0) return false;
  }
  return true;
}

rscpRc_t CvFull(CvCall& call) {
  rscpcFrame& f = call.f;
  if (f.o->rscpfill == 3 || f.o->rscpfill == 4) {
    const uint32_t n = f.o->in_space_len;
    if (n == 1 || n == 2 || n == 4) {
      if (CvRestIsBlank(f)) {
        call.Advance(f.inEnd - f.inStart, f.out);  // the blanks count as consumed
        return 0;
      }
    } else {
      CvReport(RSCPETOOLONG, 232, __LINE__, u"convert output buffer overflow and no space", u"F39", nullptr);
    }
  }
  WEQ_UC p1[100];
  snprintfTruncU16(p1, std::size(p1), u"inlen&%d&outlen&%d&", f.inLen, f.outLen);
  const rscpRc_t rc = CvReport(RSCPETOOLONG, 20, __LINE__, u"convert output buffer overflow", u"F39", p1);
  call.Advance(call.Consumed(), f.out);
  call.Count();
  return rc;
}

rscpRc_t CvBroken(CvCall& call) {
  rscpcFrame& f = call.f;
  rscpCObj_t* o = f.o;
  if (o->rscpbroken == 1) {
    // like_miss: one substitution character stands for the rest.
    f.Pin();
    rscpRc_t rc = rscpcICheckOutTab(o, f.t);
    if (rc == 0) rc = rscpcIPutChar(o, f.t, f.Mark(), &f.out, f.outEnd, o->subst_char);
    if (rc == RSCPETOOLONG) return CvFull(call);
    if (rc != 0) {
      call.Advance(call.Consumed(), f.out);
      return rc;
    }
    o->subst_count += 1;
    call.Advance(f.inEnd - f.inStart, f.out);
    return 0;
  }
  const rscpRc_t rc = rscpcIBrokenReport(f);
  call.Advance(call.Consumed(), f.out);
  return rc;
}

rscpRc_t CvUnconvertible(CvCall& call) {
  rscpcFrame& f = call.f;
  WEQ_UC p1[RSCPC_DATA_UNITS], p2[16];
  rscpCFormatData(p1, f.in, static_cast<int>(f.charLen));
  snprintfTruncU16(p2, std::size(p2), u"&%*.*s&%*.*s&", 4, 4, f.o->from_cp, 4, 4, f.o->to_cp);
  const rscpRc_t rc = CvReport(RSCPENOCONV, 21, __LINE__, u"character not convertable", u"F40", p1, p2);
  call.Advance(call.Consumed(), f.out);
  call.Count();
  return rc;
}

rscpRc_t CvExit(CvCall& call, rscpcBranchEnd e) {
  rscpcFrame& f = call.f;
  switch (e.kind) {
    case rscpcEnd::kUnchanged:
    case rscpcEnd::kAgain:
      return f.rc;
    case rscpcEnd::kFull:
      return CvFull(call);
    case rscpcEnd::kBroken:
      return CvBroken(call);
    case rscpcEnd::kUnconv:
      return CvUnconvertible(call);
    case rscpcEnd::kEnd:
      break;
  }
  if (e.counts) call.Count();
  if (f.rc != 0) {
    call.Advance(call.Consumed(), f.out);
    return f.rc;
  }
  return CvFill(call);
}

// A length that a call refuses: negative (the end before the start) or
// beyond 32 bits.
bool CvBadLength(ptrdiff_t n) { return n < 0 || n > INT32_MAX; }

}  // namespace

rscpRc_t rscpcIBrokenReport(const rscpcFrame& f) {
  const ptrdiff_t read = f.charRead > f.in ? f.charRead - f.in : f.inEnd - f.in;
  WEQ_UC p1[RSCPC_DATA_UNITS], p2[48];
  rscpCFormatData(p1, f.in, static_cast<int>(read));
  snprintfTruncU16(p2, std::size(p2), u"&%d&%-*.*s&%-*.*s&", static_cast<int>(f.in - f.inStart), 4, 4,
                   f.o->from_cp, 4, 4, f.o->to_cp);
  return CvReport(RSCPEUNIQ, 65, __LINE__, u"input character broken", u"F40", p1, p2);
}

// --- Refresh ---------------------------------------------------------------------------------

rscpcBranchEnd rscpcIRefresh(rscpcFrame& f, int noTable, int notInit, rscpcTabs tabs) {
  rscpCObj_t* o = f.o;
  const bool shortcut = tabs == rscpcTabs::kShortcut;
  const auto named = [&] { return shortcut ? o->shortcut_t1 != 0 : o->in_t1 != 0 && o->out_t1 != 0; };
  const auto missing = [&]() -> rscpcBranchEnd {
    WEQ_UC p1[24], p2[24];
    snprintfTruncU16(p1, 21, u"%ld", static_cast<long>(o->in_t1));
    snprintfTruncU16(p2, 21, u"%ld", static_cast<long>(o->out_t1));
    f.rc = CvReport(RSCPENOCONV, noTable, __LINE__, u"missing char code param", u"F38", p1, p2);
    return {rscpcEnd::kUnchanged, false};
  };
  if (!named()) return missing();
  f.Pin();
  const int32_t state = rscpGetState();
  if ((state != RSCP_STATE_INIT && state != RSCP_STATE_WRONG_VERSION && state != RSCP_STATE_REINIT) ||
      rscpPinnedCache() == nullptr) {
    f.rc = CvReport(RSCPENOCONV, notInit, __LINE__, u"CCC not proper initialized", u"F34", nullptr);
    return {rscpcEnd::kUnchanged, false};
  }
  const uint32_t method = o->method;
  // The second round chooses again for tables that lie outside the cache
  // (an object from outside that names foreign offsets).
  for (int round = 0; round < 2; ++round) {
    if (round == 1 || o->cache_version != rscpCacheVersion(rscpPinnedCache())) {
      // A failed choice has released the cache mutex already: nothing to
      // unlock here.
      rscpRc_t rc = rscpINeedReorgLabelled();
      if (rc == 0) rc = lookup_convert_tables(o, 0, 1, 1, -1);
      if (rc != 0) {
        f.rc = rc;
        return {rscpcEnd::kUnchanged, false};
      }
      if (o->method != method) return {rscpcEnd::kAgain, false};
      if (!named()) return missing();
    }
    // The choice may have moved the pin to a new generation.
    f.t.Take(rscpPinnedCache());
    if (shortcut && f.t.LongOk(o->shortcut_t1, 256)) return {rscpcEnd::kEnd, false};
    if (!shortcut && rscpcIInside(f.t, o, true, true)) {
      f.inT1 = o->in_t1;
      f.outT2 = o->out_t1;
      return {rscpcEnd::kEnd, false};
    }
  }
  f.rc = rscpcIOutsideReport(o, __LINE__);
  return {rscpcEnd::kUnchanged, false};
}

int32_t rscpcIMbcCopy(void) { return gCvMbcCopy.load(std::memory_order_relaxed); }
void rscpcISetMbcCopy(int32_t value) { gCvMbcCopy.store(value, std::memory_order_relaxed); }
void rscpcISetMessageLine(rscpLineOut_t out) { gCvMessageLine.store(out, std::memory_order_release); }

// --- The call --------------------------------------------------------------------------------

rscpRc_t rscpCConvert(rscpCObj_t* obj, WEQ_RAW** out, WEQ_RAW* outEnd, const WEQ_RAW** in, const WEQ_RAW* inEnd) {
  if (in == nullptr || out == nullptr) {
    return CvReport(RSCPEINVAL, 141, __LINE__, u"invalid buffer length", u"CP9", u"rscpCConvert&NULL&");
  }
  const ptrdiff_t inLen = inEnd - *in;
  const ptrdiff_t outLen = outEnd - *out;
  if (CvBadLength(inLen) || CvBadLength(outLen) || (*in == nullptr && inLen != 0) ||
      (*out == nullptr && outLen != 0)) {
    WEQ_UC p1[80];
    snprintfTruncU16(p1, std::size(p1), u"rscpCConvert&inlen&%lld&outlen&%lld&", static_cast<long long>(inLen),
                     static_cast<long long>(outLen));
    return CvReport(RSCPEINVAL, 141, __LINE__, u"invalid buffer length", u"CP9", p1);
  }
  CvCall call;
  call.ctx = rscpGetThrCtx();
  call.in = in;
  call.out = out;
  call.callerIn = *in;
  call.callerOut = *out;
  rscpcFrame& f = call.f;
  f.inLen = static_cast<int32_t>(inLen);
  f.outLen = static_cast<int32_t>(outLen);
  f.inStart = f.in = *in;
  f.inEnd = inEnd;
  f.outStart = f.out = *out;
  f.outEnd = outEnd;

  // Input and output at one address: convert from a private copy, since
  // the output overwrites the input.
  uint8_t priv[kCvPrivate];
  if (inLen > 0 && static_cast<const void*>(*out) == static_cast<const void*>(*in)) {
    if (inLen > kCvPrivate) {
      WEQ_UC p1[81];
      snprintfTruncU16(p1, std::size(p1), u"rscpCConvert&%p&==&%p&", static_cast<const void*>(*out),
                       static_cast<const void*>(*in));
      return CvReport(RSCPEINVAL, 140, __LINE__, u"overlapping buffers", u"CP9", p1);
    }
    memcpy(priv, *in, static_cast<size_t>(inLen));
    f.inStart = f.in = priv;
    f.inEnd = priv + inLen;
    if (rscpLineOut_t line = gCvMessageLine.load(std::memory_order_acquire)) {
      WEQ_UC text[201];
      const int n = snprintfTruncU16(text, std::size(text), u"rscpCConvert(140;%d): input copied, out == in == %p",
                                     __LINE__, static_cast<const void*>(*out));
      line(text, n < 200 ? n : 200);
    }
  }
  if (obj == nullptr) {
    return CvReport(RSCPENOCONV, 18, __LINE__, u"missing char code param", u"F38", nullptr);
  }
  f.o = obj;
  f.mbcCopy = rscpcIMbcCopy();
  // A table branch pins a cache generation in its refresh; it ends here.
  struct Unpin {
    const rscpcFrame& f;
    ~Unpin() {
      if (f.pinned) rscpUnpinCache();
    }
  } unpin{f};

  rscpcBranchEnd e{rscpcEnd::kAgain, false};
  // A refresh that chose another method dispatches once more; the bound
  // keeps a choice that keeps changing from looping.
  for (int round = 0; round < 3 && e.kind == rscpcEnd::kAgain; ++round) {
    const CvMethod& m = obj->method < std::size(kCvMethods) ? kCvMethods[obj->method] : kCvMethods[0];
    if (m.lang) CvLangCheck(obj);
    e = m.branch(f);
  }
  if (e.kind == rscpcEnd::kAgain) e = CvDefault(f);
  const rscpRc_t rc = CvExit(call, e);
  if (e.kind != rscpcEnd::kUnchanged && obj->rscpbroken != 2) obj->shift_state &= ~(0xFu << 10);
  return rc;
}

// --- The walk for other branches -------------------------------------------------------------

namespace {

// The plain walk: no direct paths, the end of input inside a sequence is a
// cut character.
struct CvWalkPolicy : rscpcWalkPolicy<CvWalkPolicy> {};

int CvWalkStatus(rscpcStep s) {
  switch (s) {
    case rscpcStep::kNext: return 0;
    case rscpcStep::kFull: return 1;
    case rscpcStep::kBroken: return 2;
    case rscpcStep::kUnconv: return 4;
    default: return 3;
  }
}

template <bool kRun>
int CvWalk(rscpcFrame* f, const uint8_t** in, const uint8_t* inEnd, uint8_t** out, rscpRc_t* code) {
  const uint8_t* const savedEnd = f->inEnd;
  f->in = *in;
  f->inEnd = inEnd;
  f->out = *out;
  rscpcStep s = rscpcStep::kNext;
  do {
    if (f->in >= f->inEnd) break;
    s = rscpcIWalkChar<CvWalkPolicy>(*f);
  } while (kRun && s == rscpcStep::kNext);
  *in = f->in;
  *out = f->out;
  f->inEnd = savedEnd;
  if (code != nullptr) *code = s == rscpcStep::kError ? f->rc : 0;
  return CvWalkStatus(s);
}

}  // namespace

int rscpCWalkChar(rscpcFrame* f, const uint8_t** in, const uint8_t* inEnd, uint8_t** out, rscpRc_t* code) {
  return CvWalk<false>(f, in, inEnd, out, code);
}

int rscpCWalkRun(rscpcFrame* f, const uint8_t** in, const uint8_t* inEnd, uint8_t** out, rscpRc_t* code) {
  return CvWalk<true>(f, in, inEnd, out, code);
}
