// Error information as text: the labelled text of ErrGetAllTxt and the
// trace banner of ErrTrace.
#include <string.h>

#include "i18n/wequ16/u16str.h"
#include "krn/dptrc/dptrc_int.h"
#include "krn/dptrc/err.h"
#include "krn/dptrc/err_int.h"

namespace {

constexpr size_t kLabelUnits = 12;
constexpr size_t kWrapUnits = 62;
constexpr WEQ_UC kStars[] =
    u"*****************************************************************************";
static_assert(sizeof(kStars) / sizeof(WEQ_UC) == 77 + 1, "the banner's rule is 77 asterisks");
constexpr WEQ_UC kBannerPrefix[] = u"*  ";

// Calls emit(line, length, first) for each line of value: its own lines,
// each broken into pieces of at most 62 units at the last blank within the
// first 62 (which is dropped), or at 62 without one. A final newline ends
// the last line.
template <class Emit>
void WrapValue(const WEQ_UC* value, Emit&& emit) {
  bool first = true;
  const WEQ_UC* p = value;
  for (;;) {
    const WEQ_UC* eol = p;
    while (*eol != 0 && *eol != u'\n') ++eol;
    size_t n = static_cast<size_t>(eol - p);
    while (n > kWrapUnits) {
      size_t cut = kWrapUnits;
      size_t skip = kWrapUnits;
      for (size_t i = kWrapUnits; i-- > 0;) {
        if (p[i] == u' ') {
          cut = i;
          skip = i + 1;
          break;
        }
      }
      emit(p, cut, first);
      first = false;
      p += skip;
      n -= skip;
    }
    emit(p, n, first);
    first = false;
    if (*eol == 0 || eol[1] == 0) return;
    p = eol + 1;
  }
}

// Appends to a bounded text; what does not fit is dropped.
class TextOut {
 public:
  TextOut(WEQ_UC* buf, size_t cap) : buf_(buf), cap_(cap) { buf_[0] = 0; }

  void Put(const WEQ_UC* s, size_t n) {
    size_t room = cap_ - 1 - len_;
    if (n > room) n = room;
    memcpy(buf_ + len_, s, n * sizeof(WEQ_UC));
    len_ += n;
    buf_[len_] = 0;
  }
  void Put(const WEQ_UC* s) { Put(s, strlenU(s)); }
  // "%-12.12s"
  void Label(const WEQ_UC* label) {
    size_t n = strnlenU16(label, kLabelUnits);
    Put(label, n);
    for (; n < kLabelUnits; ++n) Put(u" ", 1);
  }

 private:
  WEQ_UC* buf_;
  size_t cap_;
  size_t len_ = 0;
};

// Fields in the order of the labelled text.
constexpr int kAllTxtOrder[] = {
    ERR_FLD_LOCATION, ERR_FLD_ERROR, ERR_FLD_TIME,       ERR_FLD_RELEASE, ERR_FLD_COMPONENT,
    ERR_FLD_VERSION,  ERR_FLD_RC,    ERR_FLD_MODULE,     ERR_FLD_LINE,    ERR_FLD_DETAIL,
    ERR_FLD_SYSCALL,  ERR_FLD_ERRNO, ERR_FLD_ERRNO_TEXT, ERR_FLD_COUNTER,
};

}  // namespace

const WEQ_UC* ErrGetAllTxt(void) {
  const WEQ_UC* f[ERR_FLD_COUNT];
  if (ErrIGet(f) != ERR_OK) return u"";
  ErrThrAdm* adm = ErrIAdm();
  if (adm == nullptr) return u"";
  TextOut out(adm->text, kErrTextUnits);
  for (int idx : kAllTxtOrder) {
    const WEQ_UC* v = f[idx];
    if (*v == 0 && idx != ERR_FLD_TIME) continue;
    out.Put(u"\n");
    out.Label(ErrFieldLabel[idx]);
    if (idx == ERR_FLD_TIME || idx == ERR_FLD_COUNTER) {
      out.Put(v);
      continue;
    }
    WrapValue(v, [&](const WEQ_UC* line, size_t n, bool first) {
      if (!first) out.Label(u"");
      out.Put(line, n);
      out.Put(u"\n");
    });
  }
  out.Put(u"\n");
  return adm->text;
}

int ErrTrace(CTRC_HDL hdl) {
  int level = CTrcLevel.load(std::memory_order_relaxed);
  if (hdl == CTrcGlobalHdl.load(std::memory_order_relaxed) && level == 0) return 0;
  const WEQ_UC* f[ERR_FLD_COUNT];
  int rc = ErrIGet(f);
  if (level < 1) return rc;
  DpTrcHold hold;
  if (rc == ERR_NO_INFO) DpTrc(hdl, u"ErrTrace: no error info available\n");
  if (rc != ERR_OK) return rc;

  auto single = [&](int idx) {
    if (*f[idx] != 0) DpTrc(hdl, u"%s%-12.12s%s\n", kBannerPrefix, ErrFieldLabel[idx], f[idx]);
  };
  auto wrapped = [&](int idx) {
    if (*f[idx] == 0) return;
    WrapValue(f[idx], [&](const WEQ_UC* line, size_t n, bool first) {
      DpTrc(hdl, u"%s%-12.12s%.*s\n", kBannerPrefix, first ? ErrFieldLabel[idx] : u"",
            static_cast<int>(n), line);
    });
  };
  DpTrc(hdl, u"\n");
  DpTrc(hdl, u"%s\n*\n", kStars);
  wrapped(ERR_FLD_LOCATION);
  wrapped(ERR_FLD_ERROR);
  if (*f[ERR_FLD_TIME] != 0) {
    DpTrc(hdl, u"*\n%s%-12.12s%s\n", kBannerPrefix, ErrFieldLabel[ERR_FLD_TIME], f[ERR_FLD_TIME]);
  }
  for (int idx : {ERR_FLD_RELEASE, ERR_FLD_COMPONENT, ERR_FLD_VERSION, ERR_FLD_RC, ERR_FLD_MODULE,
                  ERR_FLD_LINE}) {
    single(idx);
  }
  wrapped(ERR_FLD_DETAIL);
  single(ERR_FLD_SYSCALL);
  single(ERR_FLD_ERRNO);
  wrapped(ERR_FLD_ERRNO_TEXT);
  single(ERR_FLD_COUNTER);
  DpTrc(hdl, u"*\n");
  DpTrc(hdl, u"%s\n\n", kStars);
  return ERR_OK;
}
