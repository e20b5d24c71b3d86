// Prints an error stack, boxed (every line 72 units wide) or plain, one line
// at a time through a callback.
#include <string.h>

#include <algorithm>

#include "i18n/wequ16/u16file.h"
#include "i18n/wequ16/u16fmt.h"
#include "krn/rscp/rscp_int.h"

namespace {

constexpr int kLineMax = 100;

// Formats each line into its own bounded buffer and hands it on; a line
// that would exceed 100 units is cut there.
class Printer {
 public:
  Printer(rscpPrintLine_t cb, void* arg) : cb_(cb), arg_(arg) {}

  template <class... A>
  void operator()(U16Format<A...> format, const A&... args) {
    int n = vsnprintfTruncU16(buf_, kLineMax + 1, format.str, U16FmtMakeArgs(args...).args());
    n = std::clamp(n, 0, kLineMax);
    if (cb_ != nullptr) cb_(buf_, n, arg_);
  }

 private:
  rscpPrintLine_t cb_;
  void* arg_;
  WEQ_UC buf_[kLineMax + 1];
};

// How a parameter shows: its label and text, an empty one as one blank
// under a blank label.
struct Shown {
  const WEQ_UC* label;
  const WEQ_UC* text;
  int len;
};

Shown ShowParam(const WEQ_UC* label, const WEQ_UC* field, uint8_t len) {
  if (len == 0) return {u"   ", u" ", 1};
  return {label, field, std::min<int>(len, RSCP_ERR_PARAM_LEN)};
}

const WEQ_UC* ErrnoText(int err) { return err < 1 ? u"" : strerrorU16(err); }

// Entries of the converter and of its Java bindings print their code,
// text, module and parameters; the bindings' class line names no area.
bool WithBody(const rscpErrEntry_t& e) { return e.errClass == u'C' || e.errClass == u'J'; }

bool Blank(const WEQ_UC* s, size_t n) {
  return std::all_of(s, s + n, [](WEQ_UC c) { return c == u' '; });
}

constexpr const WEQ_UC* kBoxSep =
    u"|----------------------------------------------------------------------|";
constexpr const WEQ_UC* kPlainSep = u"----------------------------------------";

void BoxClassLine(Printer& out, const rscpErrEntry_t& e, bool newest, bool showSeq) {
  const long seq = static_cast<long>(e.seqNo);
  if (e.errClass == u'C' && !rscpeGetShowClassC()) {
    if (showSeq) out(u"|                                                 %20ld |", seq);
    return;
  }
  const WEQ_UC* cls = rscpeIClassText(e.errClass);
  if (newest) {
    if (showSeq && seq <= 99999999) {
      out(u"| Error from: %47.47s %8ld |", cls, seq);
    } else {
      out(u"| Error from: %47.47s          |", cls);
    }
  } else {
    if (showSeq && seq <= 99999999) {
      out(u"| Error propagation from: %35.35s %8ld |", cls, seq);
    } else {
      out(u"| Error propagation from: %35.35s          |", cls);
    }
  }
  if (showSeq && seq > 99999999) out(u"|                                                 %20ld |", seq);
}

void BoxParams(Printer& out, const rscpErrEntry_t& e) {
  Shown p = ShowParam(u"p3:", e.param1, e.param1Len);
  Shown q = ShowParam(u"p4:", e.param2, e.param2Len);
  if (p.len + q.len < 47) {
    const int pad = 47 - p.len - q.len;
    out(u"| TSL01: %-3.3s  %-3s %-*.*s  %-3s %-*.*s%-*.*s|", e.msgCode, p.label, p.len, p.len, p.text,
        q.label, q.len, q.len, q.text, pad, pad, u"");
    return;
  }
  if (p.len >= 53) {
    out(u"| TSL01: %-3.3s  %-3s %.53s|", e.msgCode, p.label, p.text);
  } else {
    out(u"| TSL01: %-3.3s  %-3s %-*.*s%-*.*s|", e.msgCode, p.label, p.len, p.len, p.text, 53 - p.len,
        53 - p.len, u"");
  }
  if (q.len >= 53) {
    out(u"|             %-3s %.53s|", q.label, q.text);
  } else {
    out(u"|             %-3s %-*.*s%-*.*s|", q.label, q.len, q.len, q.text, 53 - q.len, 53 - q.len, u"");
  }
}

void PrintBoxed(Printer& out, const rscpErrStack_t& st, int n, bool showSeq) {
  out(u".------------------------------============----------------------------.");
  out(u"|                              RSCP - Error                            |");
  bool errnoShown = false;
  for (int i = n - 1; i >= 0; --i) {
    const rscpErrEntry_t& e = st.entries[i];
    if (i != n - 1) out(kBoxSep);
    BoxClassLine(out, e, i == n - 1, showSeq);
    if (WithBody(e)) {
      out(u"| code:%5d  %-51.51s      |", static_cast<int>(e.rc), rscpeIRowText(e.rc));
      out(u"| %-68.68s |", e.text);
      out(u"| module: %-8.8s no:%5d line:%6d                    T100: %-2.2s%-3.3s |", e.module,
          static_cast<int>(e.location), static_cast<int>(e.line), e.msgArea, e.msgNumber);
      BoxParams(out, e);
    } else if (e.errClass == u'F') {
      out(u"| %-68.68s |", st.osText);
      out(u"| errno%6d  %-55.55s |", static_cast<int>(st.osErrno), ErrnoText(st.osErrno));
      errnoShown = true;
    }
  }
  if (st.osErrno != 0 && !errnoShown) {
    out(kBoxSep);
    out(u"| Some OS information, which may or may not belong to this error:      |");
    out(u"| errno%6d  %-55.55s |", static_cast<int>(st.osErrno), ErrnoText(st.osErrno));
  }
  if (!Blank(st.initName, 30)) {
    out(kBoxSep);
    out(u"| Impromptu CCC initialization by %-30.30s       |", st.initName);
  }
  out(u"`----------------------------------------------------------------------'");
}

void PrintPlain(Printer& out, const rscpErrStack_t& st, int n, bool showSeq) {
  bool anyF = false;
  for (int i = 0; i < n; ++i) anyF |= st.entries[i].errClass == u'F';
  if (!Blank(st.initName, 30)) {
    out(kPlainSep);
    out(u"Impromptu CCC initialization by %-.30s", st.initName);
  }
  if (st.osErrno != 0 && !anyF) {
    out(kPlainSep);
    out(u"from: OS: (maybe not related) errno: %d  %s", static_cast<int>(st.osErrno),
        ErrnoText(st.osErrno));
  }
  WEQ_UC osText[73];
  memcpy(osText, st.osText, sizeof st.osText);
  osText[72] = 0;
  for (int i = 0; i < n; ++i) {
    const rscpErrEntry_t& e = st.entries[i];
    if (showSeq) {
      out(u"------------------ %20ld-", static_cast<long>(e.seqNo));
    } else {
      out(kPlainSep);
    }
    if (e.errClass != u'C' || rscpeGetShowClassC()) {
      if (i == n - 1) {
        out(u"from: %s", rscpeIClassText(e.errClass));
      } else {
        out(u"propagated from: %s", rscpeIClassText(e.errClass));
      }
    }
    if (WithBody(e)) {
      Shown p = ShowParam(u"p3:", e.param1, e.param1Len);
      Shown q = ShowParam(u"p4:", e.param2, e.param2Len);
      out(u"code:%5d  %-13.13s", static_cast<int>(e.rc), rscpeIRowText(e.rc));
      out(u"%-.*s", 68, e.text);
      out(u"module: %-8.8s location:%5d line:%6d", e.module, static_cast<int>(e.location),
          static_cast<int>(e.line));
      out(u"TSL01: %-3.3s  %-3s %-*.*s  %-3s %-*.*s", e.msgCode, p.label, p.len, p.len, p.text,
          q.label, q.len, q.len, q.text);
    } else if (e.errClass == u'F') {
      out(u"%-.100s", static_cast<const WEQ_UC*>(osText));
      out(u"errno: %d  %s", static_cast<int>(st.osErrno), ErrnoText(st.osErrno));
    }
  }
  out(u"---------------------------------------.");
}

}  // namespace

void rscpeps__print_error_stack(const rscpErrStack_t* st, rscpPrintLine_t cb, void* arg) {
  if (st == nullptr) return;
  Printer out(cb, arg);
  // The count goes on past the five entries that exist; print those five.
  const int n = std::min<int>(st->count, RSCP_ERR_ENTRIES);
  const bool showSeq = rscpeGetShowSeqNo() != 0;
  if (rscpeGetPrintStyle() == 2) {
    PrintPlain(out, *st, n, showSeq);
  } else {
    PrintBoxed(out, *st, n, showSeq);
  }
}
