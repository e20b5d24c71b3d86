// Logon-group return codes: names, texts, the recording of an error and
// the setter of the bindings.
#include <string.h>

#include "i18n/wequ16/u16fmt.h"
#include "i18n/wequ16/u16str.h"
#include "krn/dptrc/err.h"
#include "krn/lg/lg.h"
#include "krn/lg/lg_int.h"
#include "krn/ms/ms.h"
#include "krn/ni/ni.h"

std::atomic<int32_t> LgIKeptMsRc{0};
std::atomic<int32_t> LgIKeptNiRc{0};

namespace {

// What the one placeholder of a text takes.
enum class Arg : uint8_t { kNone, kText, kNumber };

struct LgCodeRow {
  LG_RC code;
  const WEQ_UC* name;
  const WEQ_UC* text;
  Arg arg;
};

constexpr WEQ_UC kUnknown[] = u"unknown error";

constexpr LgCodeRow kCodes[] = {
    {WEQ_O_K, u"WEQ_O_K", kUnknown, Arg::kNone},
    {LGEINTERN, u"LGEINTERN", u"internal error", Arg::kNone},
    {LGENOMEM, u"LGENOMEM", u"out of memory (%s)", Arg::kText},
    {LGEINVAL, u"LGEINVAL",
     u"internal error (this retcode should be handled by caller of LG-layer) , %s", Arg::kText},
    {LGETIMEOUT, u"LGETIMEOUT", u"timeout (%d msecs) while waiting for info from message server",
     Arg::kNumber},
    {LGENOSNCACTIVE, u"LGENOSNCACTIVE", u"SNC not active for server %s", Arg::kText},
    {LGEGRPNOTFOUND, u"LGEGRPNOTFOUND", u"Group %s not found", Arg::kText},
    {LGESRVNOTFOUND, u"LGESRVNOTFOUND", u"Server %s not found", Arg::kText},
    {LGENOSERVER, u"LGENOSERVER", u"no server found", Arg::kNone},
    {LGENOGROUPS, u"LGENOGROUPS", u"no groups found", Arg::kNone},
    {LGENOSNCACTIVEG, u"LGENOSNCACTIVEG", u"no server with SNC found for group %s", Arg::kText},
    {LGENOENT, u"LGENOENT", u"no entry found", Arg::kNone},
    {LGEACCESSDENIED, u"LGEACCESSDENIED", u"access denied or not allowed to perform operation",
     Arg::kNone},
    {LGEINTERN2, u"LGEINTERN2", u"internal error (%s)", Arg::kText},
    {LGEMSLAYER, u"LGEMSLAYER", u"error in MS-layer", Arg::kNone},
    {LGENILAYER, u"LGENILAYER", u"error in NI-layer", Arg::kNone},
};

const LgCodeRow* Find(LG_RC code) {
  for (const LgCodeRow& row : kCodes)
    if (row.code == code) return &row;
  return nullptr;
}

// Written under the layer's mutex only (see lg_int.h).
WEQ_UC gReason[LG_REASON_LEN];

}  // namespace

const WEQ_UC* LgErrorText(LG_RC code) {
  const LgCodeRow* row = Find(code);
  return row != nullptr ? row->text : kUnknown;
}

WEQ_UC* LgErrorName(LG_RC code, WEQ_UC* buffer) {
  if (buffer == nullptr) return nullptr;
  const LgCodeRow* row = Find(code);
  if (row != nullptr)
    snprintfTruncU16(buffer, LG_ERR_NAME_LEN, u"%s", row->name);
  else
    snprintfTruncU16(buffer, LG_ERR_NAME_LEN, u"%d", code);
  return buffer;
}

WEQ_UC* LgIReason(void) { return gReason; }

WEQ_UC* LgISetReasonV(const WEQ_UC* fmt, U16FmtArgs args) {
  if (vsnprintfTruncU16(gReason, LG_REASON_LEN, fmt, args) < 0) gReason[0] = 0;
  return gReason;
}

int LgIErrRecord(uint32_t line, LG_RC code, const WEQ_UC* operation, const WEQ_UC* text,
                 int32_t number) {
  return LgIErrRecordAs(line, code, code, operation, text, number);
}

int LgIErrRecordAs(uint32_t line, LG_RC textCode, LG_RC rc, const WEQ_UC* operation,
                   const WEQ_UC* text, int32_t number) {
  const LgCodeRow* row = Find(textCode);
  const WEQ_UC* descr = row != nullptr ? row->text : kUnknown;
  // The operation's name serves as the detail format; a '%' in it would
  // take an argument that is not there.
  const WEQ_UC* detail = operation;
  if (detail != nullptr) {
    for (const WEQ_UC* p = detail; *p != 0; ++p)
      if (*p == u'%') {
        detail = u"(bad operation name)";
        break;
      }
  }
  switch (row != nullptr ? row->arg : Arg::kNone) {
    case Arg::kText:
      return ErrSetInfo(u"LG", 5, u"lgxx", line, descr, rc, detail, text != nullptr ? text : u"");
    case Arg::kNumber:
      return ErrSetInfo(u"LG", 5, u"lgxx", line, descr, rc, detail, number);
    case Arg::kNone:
      break;
  }
  return ErrSetInfo(u"LG", 5, u"lgxx", line, descr, rc, detail);
}

void LgErrSet(LG_RC rc) {
  if (rc == LGEMSLAYER) {
    MsErrSet(LgIKeptMsRc.load());
    return;
  }
  if (rc == LGENILAYER) {
    NiErrSet(LgIKeptNiRc.load());
    return;
  }
  if (ErrIsSet()) {
    // An error of another place stays, and so does this very one.
    if (strcmpU(ErrGetFld(ERR_FLD_LOCATION), ErrGetLocation()) != 0) return;
    if (strcmpU(ErrGetFld(ERR_FLD_COMPONENT), u"LG") == 0 &&
        strtolU(ErrGetFld(ERR_FLD_RC), nullptr, 10) == rc) {
      return;
    }
  }
  // Placeholders show "?": nothing here knows what filled them.
  const LgCodeRow* row = Find(rc);
  const WEQ_UC* descr = row != nullptr ? row->text : kUnknown;
  switch (row != nullptr ? row->arg : Arg::kNone) {
    case Arg::kText:
      ErrSetInfo(u"LG", 5, u"", 0, descr, rc, u"", u"?");
      return;
    case Arg::kNumber: {
      // "%d" takes a number; the "?" goes in as text of the same place.
      WEQ_UC text[128];
      const WEQ_UC* at = strstrU(descr, u"%d");
      snprintfTruncU16(text, std::size(text), u"%.*s?%s", static_cast<int>(at - descr), descr, at + 2);
      ErrSetInfo(u"LG", 5, u"", 0, text, rc, u"");
      return;
    }
    case Arg::kNone:
      break;
  }
  ErrSetInfo(u"LG", 5, u"", 0, descr, rc, u"");
}

LG_RC LgCallDone(void) { return WEQ_O_K; }
