// NI return codes: names, texts and recording a code in the thread's error
// information.
#include <algorithm>

#include "i18n/wequ16/u16str.h"
#include "krn/dptrc/err.h"
#include "krn/ni/ni.h"
#include "krn/ni/ni_int.h"

namespace {

constexpr const WEQ_UC* kCallerHandled =
    u"internal error\n(this retcode should be handled by caller of NI-layer)";

struct CodeRow {
  NI_RC rc;
  const WEQ_UC* name;
  const WEQ_UC* text;  // NULL: the text function treats the code as unknown
};

constexpr CodeRow kCodes[] = {
    {WEQ_O_K, u"WEQ_O_K", nullptr},
    {NIEINTERN, u"NIEINTERN", u"internal error"},
    {NIEHOST_UNKNOWN, u"NIEHOST_UNKNOWN", u"hostname '%s' unknown"},
    {NIESERV_UNKNOWN, u"NIESERV_UNKNOWN", u"service '%s' unknown"},
    {NIESERV_USED, u"NIESERV_USED", u"service '%s' in use"},
    {NIETIMEOUT, u"NIETIMEOUT", u"timeout occured"},
    {NIECONN_BROKEN, u"NIECONN_BROKEN", u"connection to partner '%s' broken"},
    {NIETOO_SMALL, u"NIETOO_SMALL", kCallerHandled},
    {NIEINVAL, u"NIEINVAL", kCallerHandled},
    {NIECONN_REFUSED, u"NIECONN_REFUSED", u"partner '%s' not reached"},
    {NIEPING, u"NIEPING", kCallerHandled},
    {NIECONN_PENDING, u"NIECONN_PENDING", u"timeout while pending for route completion"},
    {NIEVERSION, u"NIEVERSION", u"invalid client version"},
    {NIENOFREEPORT, u"NIENOFREEPORT", u"no free connect port found within range"},
    {NIEMYHOST_VERIFY, u"NIEMYHOST_VERIFY", u"verify own hostname '%s' failed"},
    {NIESNC_FAILURE, u"NIESNC_FAILURE", u"SNC processing failed:\n%s"},
    {NIEOPCODE, u"NIEOPCODE", u"Opcode received"},
    {NIEQUE_FULL, u"NIEQUE_FULL", u"Queue overflow"},
    {NIETOO_BIG, u"NIETOO_BIG", u"Network packet too big"},
    {NIEACCEPT, u"NIEACCEPT", u"Accepted handle pending"},
    {NIEPASSED, u"NIEPASSED", u"Handle passed to other process"},
    {NIENO_ANSWER, u"NIENO_ANSWER", nullptr},
    {NIECALL, u"NIECALL", u"Unexpected function call"},
    {NIEROUT_HOST_UNKNOWN, u"NIEROUT_HOST_UNKNOWN", u"hostname '%s' unknown"},
    {NIEROUT_SERV_UNKNOWN, u"NIEROUT_SERV_UNKNOWN", u"service '%s' unknown"},
    {NIEROUT_CONN_REFUSED, u"NIEROUT_CONN_REFUSED", u"partner '%s' not reached"},
    {NIEROUT_INTERN, u"NIEROUT_INTERN", u"internal error"},
    {NIEROUT_PERM_DENIED, u"NIEROUT_PERM_DENIED", u"%s: route permission denied (%s to %s, %s)"},
    {NIEROUT_CONN_BROKEN, u"NIEROUT_CONN_BROKEN", u"connection to %s, %s broken"},
    {NIEROUT_VERSION, u"NIEROUT_VERSION", u"invalid client version"},
    {NIEROUT_CANCELED, u"NIEROUT_CANCELED", u"route canceled by administator"},
    {NIEROUT_SHUTDOWN, u"NIEROUT_SHUTDOWN", u"router shutdown"},
    {NIEROUT_INFO_DENIED, u"NIEROUT_INFO_DENIED", u"info access denied (%s to %s, %s)"},
    {NIEROUT_OVERFLOW, u"NIEROUT_OVERFLOW", u"maximum number of clients reached"},
    {NIEROUT_MODE_DENIED, u"NIEROUT_MODE_DENIED", u"talkmode Native2 not allowed"},
    {NIEROUT_NOCLIENT, u"NIEROUT_NOCLIENT", u"invalid client requested"},
    {NIEROUT_EXTERN, u"NIEROUT_EXTERN", nullptr},
    {NIEROUT_SNC_FAILURE, u"NIEROUT_SNC_FAILURE", u"SNC processing failed:\n%s"},
};

const CodeRow* FindCode(NI_RC rc) {
  for (const CodeRow& r : kCodes) {
    if (r.rc == rc) return &r;
  }
  return nullptr;
}

const WEQ_UC* Unknown(const WEQ_UC* func, NI_RC rc, CTRC_HDL trc) {
  DPTRC_LINE(1, trc, u"%s: unknown error %d\n", func, rc);
  return NI_UNKNOWN_TEXT;
}

constexpr const WEQ_UC* kSiRcNames[] = {
    u"SI_OK",           u"SI_EINVAL",       u"SI_EINVAL_SOCK",  u"SI_EINVAL_FAMI", u"SI_EINVAL_OPT",
    u"SI_EINTR",        u"SI_ESYSCALL",     u"SI_EADDR_NAVAIL", u"SI_EPORT_INUSE", nullptr,
    u"SI_ECONN_REFUSE", u"SI_ECONN_INPROG", u"SI_ECONN_BROKEN", u"SI_ETIMEOUT",    u"SI_EINTERN",
    u"SI_ENOTIMPL",     u"SI_EMEMORY",      u"SI_EMFILE",
};

}  // namespace

const WEQ_UC* NiIErrorName(NI_RC rc, CTRC_HDL trc) {
  const CodeRow* r = FindCode(rc);
  return r != nullptr ? r->name : Unknown(u"NiIErrorName", rc, trc);
}

const WEQ_UC* NiIErrorText(NI_RC rc, CTRC_HDL trc) {
  const CodeRow* r = FindCode(rc);
  return r != nullptr && r->text != nullptr ? r->text : Unknown(u"NiIErrorText", rc, trc);
}

const WEQ_UC* NiErrorName(NI_RC rc) { return NiIErrorName(rc, NiITrcHdl()); }

const WEQ_UC* NiISiRcName(SI_RC rc) {
  return rc >= 0 && rc < static_cast<SI_RC>(std::size(kSiRcNames)) ? kSiRcNames[rc] : nullptr;
}

const WEQ_UC* NiISiFamilyName(const SI_SOCKET* pSock) {
  switch (pSock->family) {
    case SI_AF_UNIX: return u"AF_UNIX";
    case SI_AF_INET: return u"AF_INET";
    case SI_AF_INET6: return u"AF_INET6";
    default: return nullptr;
  }
}

const WEQ_UC* NiISiTypeName(const SI_SOCKET* pSock) {
  switch (pSock->type) {
    case SI_SOCK_STREAM: return u"SOCK_STREAM";
    case SI_SOCK_DGRAM: return u"SOCK_DGRAM";
    case SI_SOCK_RAW: return u"SOCK_RAW";
    default: return nullptr;
  }
}

void NiErrSet(NI_RC rc) {
  if (rc == NIESNC_FAILURE || rc == NIEROUT_SNC_FAILURE) {
    // SNC has recorded its own error: only the code and the component change.
    ErrReplace(ERR_FLD_RC, rc);
    ErrReplace(ERR_FLD_COMPONENT, NI_COMPONENT);
    return;
  }
  if (ErrIsSet() && strcmpU(ErrGetFld(ERR_FLD_LOCATION), ErrGetLocation()) == 0 &&
      strcmpU(ErrGetFld(ERR_FLD_COMPONENT), NI_COMPONENT) == 0 &&
      strtolU(ErrGetFld(ERR_FLD_RC), nullptr, 10) == rc) {
    return;
  }
  // The text is a format whose placeholders nobody fills here: it is
  // recorded as it reads.
  WEQ_UC detail[160];
  ErrEscapePercent(NiIErrorText(rc, NiITrcHdl()), detail, std::size(detail));
  ErrSetInfo(NI_COMPONENT, NI_COMPONENT_VERSION, nullptr, 0, u"NiErrSet", rc, detail);
}
