// Code page lookups outside the method chooser: a directory entry copied
// out, the byte-level kind of a code page, the shortcut type that tells the
// Java side whether it may convert a chosen pair itself, and the Unicode
// value of the system's own character numbers.
#include <string.h>

#include <iterator>

#include "i18n/wequ16/u16fmt.h"
#include "krn/rscp/rscp_int.h"
#include "krn/rscp/rscpc_int.h"
#include "krn/rscp/rscpmc_int.h"

namespace {

constexpr const WEQ_UC* kLkModule = u" $Id: krn/rscp/rscpclk.cpp $";

rscpRc_t LkReport(int rc, int location, int line, const WEQ_UC* text, const WEQ_UC* code, const WEQ_UC* param1) {
  return rscpIReport(kLkModule, rc, location, line, text, code, param1);
}

constexpr const WEQ_UC* kLkKindNames[] = {u"Unknown", u"Strange",  u"EBCDIC",      u"ASCII",   u"Utf8",
                                          u"2ByteBig", u"2ByteLittle", u"4ByteBig", u"4ByteLittle"};
enum LkKind { kKindUnknown, kKindStrange, kKindEbcdic, kKindAscii, kKindUtf8, kKind2Big, kKind2Little,
              kKind4Big, kKind4Little };

const WEQ_UC* LkKindName(int kind) {
  return kind >= 0 && kind < static_cast<int>(std::size(kLkKindNames)) ? kLkKindNames[kind] : u"<strange value>";
}

// The kind of an NLS kind without looking at blank or minor (kinds 0 and 2
// need them).
constexpr int LkKindOfNls(uint32_t nls) {
  switch (nls) {
    case 1: case 3: case 4: case 5: case 6: case 7: case 8: case 20: case 25: case 30: case 34: case 35:
    case 36: case 39:
      return kKindAscii;
    case 21: return kKindEbcdic;
    case 12: return kKindUtf8;
    case 10: case 13: case 19: return kKind2Big;
    case 14: case 16: return kKind2Little;
    case 11: return kKind4Big;
    case 15: return kKind4Little;
    default: return kKindUnknown;
  }
}

bool LkStateUsable(int32_t state) {
  return state == RSCP_STATE_INIT || state == RSCP_STATE_WRONG_VERSION || state == RSCP_STATE_REINIT;
}

// One reason line (at most 200 units) to the error output.
template <typename... Args>
void LkReason(const WEQ_UC* format, Args... args) {
  WEQ_UC line[201];
  const int n = snprintfTruncU16(line, std::size(line), format, args...);
  rscph_ErrorOutput(line, n < 0 ? 0 : (n > 200 ? 200 : n));
}

}  // namespace

const rscpCpEntry_t* rscpcIFindEntry(const rscpCCC_t* c, const WEQ_UC* cp) {
  if (c == nullptr) return nullptr;
  const rscpCpEntry_t* dir = rscpDirectory(const_cast<rscpCCC_t*>(c));
  int lo = 0, hi = static_cast<int>(c->noof_char_codes) - 1;
  const rscpCp_t* key = reinterpret_cast<const rscpCp_t*>(cp);
  while (lo <= hi) {
    const int mid = lo + (hi - lo) / 2;
    const int cmp = rscpCompareCodePage(&dir[mid].cp, key);
    if (cmp == 0) return &dir[mid];
    if (cmp < 0) lo = mid + 1; else hi = mid - 1;
  }
  return nullptr;
}

rscpRc_t GetCPInfo(const rscpCp_t* cp, rscpCpEntry_t* entry) {
  if (!LkStateUsable(rscpGetState())) {
    return LkReport(RSCPENOCONV, 1, __LINE__, u"CCC not proper initialized", u"F34", nullptr);
  }
  rscpCachePin pin;
  if (rscpCCC_t* c = pin.readable(); c == nullptr || rscpReorgDone(c) == 0) {
    if (rscpRc_t rc = rscpINeedReorgLabelled()) return rc;
    rscpMovePin();
    if (rscpGetState() != RSCP_STATE_INIT) {
      return LkReport(RSCPENOCONV, 2, __LINE__, u"CCC not proper initialized", u"F34", nullptr);
    }
  }
  if (rscpRc_t rc = rscpHooks.lock(__LINE__)) return rc;
  rscpMovePin();
  rscpRegisterCacheUser(1, 0, nullptr);
  rscpGetThrCtx()->lookups += 1;
  const rscpCpEntry_t* e = rscpcIFindEntry(rscpGetCache(), *cp);
  rscpRc_t rc = 0;
  if (e != nullptr) {
    memcpy(entry, e, sizeof(rscpCpEntry_t));
  } else {
    WEQ_UC text[64];
    snprintfTruncU16(text, std::size(text), u"character code \"%*.*s\" unknown", 4, 4, *cp);
    rc = LkReport(RSCPENOCONV, 3, __LINE__, text, u"F43", text);
  }
  const rscpRc_t unlocked = rscpHooks.unlock(__LINE__);
  return rc != 0 ? rc : unlocked;
}

int rscpKindiOfCP(const rscpCp_t* cp) {
  rscpCpEntry_t e;
  if (GetCPInfo(cp, &e) != 0) return kKindUnknown;
  if (e.major == 0) {
    if (e.blankLen == 0) return kKindUnknown;
    if (e.blankLen > 1) return kKindStrange;
    return e.blank[0] == 0x40 ? kKindEbcdic : e.blank[0] == 0x20 ? kKindAscii : kKindStrange;
  }
  if (e.major == 2) return e.minor == 0 ? kKindAscii : kKindStrange;
  return LkKindOfNls(e.major);
}

int rscpNoShortCutConversion(const rscpCObj_t* o) {
  const int in = rscpKindiOfCP(&o->from_cp);
  const int out = rscpKindiOfCP(&o->to_cp);
  const WEQ_UC* from = o->from_cp;
  const WEQ_UC* to = o->to_cp;
  const bool javaOptions = o->rscpCtrlCodeCv == 1 && o->rscpWEQOwnChCv == 0 && o->drop == 1;
  const auto options = [&](const WEQ_UC* format) {
    LkReason(format, 4, from, 4, to, rscpNameOfCtrlCodeCv(static_cast<int32_t>(o->rscpCtrlCodeCv)),
             rscpNameOfOwnChCv(static_cast<int32_t>(o->rscpWEQOwnChCv)), rscpNameOfMethod(o->method),
             rscpNameOfDrop(static_cast<int32_t>(o->drop)), u"rscpc", __LINE__);
  };
  const auto length = [&](int type1, int maxln, const WEQ_UC* format) {
    if (maxln == 1) return type1;
    if (maxln == 2) return type1 + 1;
    LkReason(format, 4, from, 4, to, maxln, u"rscpc", __LINE__);
    return 0;
  };
  const auto outKind = [&]() {
    LkReason(u"rscpNoShortCutConversion (%.*s->%.*s): out_cp_kind = %s in  [%s:%d]", 4, from, 4, to,
             LkKindName(out), u"rscpc", __LINE__);
    return 0;
  };
  if (in == kKindEbcdic || in == kKindAscii) {
    if (o->method == 48 || o->method == 49) return 1;
    if (o->method == 4 && javaOptions) {
      if (out == kKind2Big || out == kKind2Little) {
        return length(1, o->in_maxln, u"rscpNoShortCutConversion (%.*s->%.*s): in_maxln = %d in  [%s:%d]");
      }
      return outKind();
    }
    options(u"rscpNoShortCutConversion (%.*s->%.*s): ctrl: %s, own: %s, meth: %s, drop: %s  in  [%s:%d]");
    return 0;
  }
  if (in == kKind2Big || in == kKind2Little) {
    if (out == kKind2Big || out == kKind2Little) return in == out ? 6 : 5;
    if (javaOptions && (o->method == 35 || o->method == 33)) {
      if (out == kKindAscii || out == kKindEbcdic) {
        return length(3, o->out_maxln, u"rscpNoShortCutConversion (%.*s->%.*s): out_maxln = %d in  [%s:%d]");
      }
      return outKind();
    }
    options(u"rscpNoShortCutConversion (%.*s->%.*s): ctrl: %s, own: %s, meth: %s, drop: %s in  [%s:%d]");
    return 0;
  }
  LkReason(u"rscpNoShortCutConversion (%.*s->%.*s ): in_cp_kind = %s in  [%s:%d]", 4, from, 4, to, LkKindName(in),
           u"rscpc", __LINE__);
  return 0;
}

uint32_t rscpCharNumberToUnicode(uint16_t weqcode) {
  rscpCachePin pin;
  const rscpCCC_t* c = pin.get();
  const long max = c != nullptr ? c->tcp01_mappings : 0;
  if (c == nullptr || weqcode > max) {
    WEQ_UC param[64];
    snprintfTruncU16(param, std::size(param), u"WEQchar %ld > %ld (TCP01mapMax)", static_cast<long>(weqcode), max);
    LkReport(RSCPENOCONV, 4, __LINE__, u"character number out of range", u"F40", param);
    return 0;
  }
  const uint8_t* p = reinterpret_cast<const uint8_t*>(c) + c->tcp01_map + 3u * weqcode;
  return static_cast<uint32_t>(p[0]) << 16 | static_cast<uint32_t>(p[1]) << 8 | p[2];
}
