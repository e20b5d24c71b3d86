// The side-information file: the entry of a symbolic destination read into
// the caller's table of keys, defaults from the entry COMMON_PART (read
// once per process), and the match of an entry's name, also as a numbered
// range, against a destination.
//
// The reader's state (the file it keeps open, COMMON_PART) belongs to the
// process and is guarded by sideinfo_cs, which the reader takes itself
// (callers that hold it already take it again).
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "i18n/wequ16/u16file.h"
#include "i18n/wequ16/u16fmt.h"
#include "i18n/wequ16/u16str.h"
#include "krn/cpic/cpic.h"
#include "krn/cpic/cpic_int.h"

namespace {

constexpr WEQ_UC kSiFn[] = u"STIReadSideInfo";
constexpr WEQ_UC kSiModule[] = u"cpicside";
constexpr WEQ_UC kCommonPart[] = u"COMMON_PART";
constexpr int kSiLineUnits = 256;
constexpr int kSiValueMax = 256;

// The keys of COMMON_PART, each with its own storage.
struct SiCommon {
  WEQ_UC lu[129], tp[65], gwHost[130], gwServ[21], sncPartner[257], sncMy[257], sncLib[257];
  uint8_t sncMode, sncQop, sncRole, protocol;
  int32_t cpicTrace;
  WEQ_UC secUser[11], secPassword[11];
  int32_t secType;
  WEQ_UC modeName[9], localLu[9], uniqueSession[17];
  int32_t keepSession, convType;
  WEQ_UC profile[4];
  int32_t buffering, traceRaw, traceAppcHdr;
  CPIC_SI_PARAM table[25];
};

struct SiState {
  FILE* file = nullptr;
  WEQ_UC fileName[kSiLineUnits] = {};
  bool commonRead = false;
  bool commonFound = false;
  SiCommon common = {};
};

SiState* g_si = new SiState();

CM_RETURN_CODE SiRead(const WEQ_UC* fileName, const WEQ_UC* dest, CPIC_SI_PARAM* table, int keepOpen,
                      GW_RETURN_CODE* gwRc, int trcLevel, CTRC_HDL trc);

#define SI_TRC(level, fmt, ...)                 \
  do {                                          \
    if (trcLevel >= (level)) {                  \
      DpTrcLock();                              \
      DpTrc(trc, fmt __VA_OPT__(, ) __VA_ARGS__); \
      DpTrcUnlock();                            \
    }                                           \
  } while (0)

#define SI_ERR(fmt, ...)                                   \
  do {                                                     \
    if (trcLevel >= 1) {                                   \
      DpTrcLock();                                         \
      DpTrcSetLocation(DPTRC_WIDE_(__FILE__), __LINE__);   \
      DpTrcError(trc, fmt __VA_OPT__(, ) __VA_ARGS__);     \
      DpTrcUnlock();                                       \
    }                                                      \
  } while (0)

CPIC_SI_PARAM SiKey(const WEQ_UC* name, void* target, int32_t capacity, CPIC_SI_TYPE type) {
  return CPIC_SI_PARAM{name, static_cast<int32_t>(strlenU(name)), target, capacity, type, 0, 0, 0};
}

void SiSetUpCommon(SiCommon& c) {
  c = SiCommon{};
  CPIC_SI_PARAM* t = c.table;
  int i = 0;
  t[i++] = SiKey(u"LU", c.lu, 128, CPIC_SI_STRING);
  t[i++] = SiKey(u"TP", c.tp, 64, CPIC_SI_STRING);
  t[i++] = SiKey(u"GWHOST", c.gwHost, 129, CPIC_SI_STRING);
  t[i++] = SiKey(u"GWSERV", c.gwServ, 20, CPIC_SI_STRING);
  t[i++] = SiKey(u"SNC_PARTNERNAME", c.sncPartner, 256, CPIC_SI_STRING);
  t[i++] = SiKey(u"SNC_MYNAME", c.sncMy, 256, CPIC_SI_STRING);
  t[i++] = SiKey(u"SNC_LIB", c.sncLib, 256, CPIC_SI_STRING);
  t[i++] = SiKey(u"SNC_MODE", &c.sncMode, 0, CPIC_SI_DIGIT);
  t[i++] = SiKey(u"SNC_QOP", &c.sncQop, 0, CPIC_SI_DIGIT);
  t[i++] = SiKey(u"SNC_ROLE", &c.sncRole, 0, CPIC_SI_DIGIT);
  t[i++] = SiKey(u"PROTOCOL", &c.protocol, 0, CPIC_SI_CHAR);
  t[i++] = SiKey(u"CPIC_TRACE", &c.cpicTrace, 0, CPIC_SI_INT);
  t[i++] = SiKey(u"SEC_USER_ID", c.secUser, 10, CPIC_SI_STRING);
  t[i++] = SiKey(u"SEC_PASSWORD", c.secPassword, 10, CPIC_SI_STRING);
  t[i++] = SiKey(u"SEC_TYPE", &c.secType, 0, CPIC_SI_INT);
  t[i++] = SiKey(u"MODE_NAME", c.modeName, 8, CPIC_SI_STRING);
  t[i++] = SiKey(u"LOCAL_LU", c.localLu, 8, CPIC_SI_STRING);
  t[i++] = SiKey(u"UNIQUE_SESSION_NAME", c.uniqueSession, 16, CPIC_SI_STRING);
  t[i++] = SiKey(u"KEEP_SESSION", &c.keepSession, 0, CPIC_SI_INT);
  t[i++] = SiKey(u"CONV_TYPE", &c.convType, 0, CPIC_SI_INT);
  t[i++] = SiKey(u"PROFILE", c.profile, 3, CPIC_SI_STRING);
  t[i++] = SiKey(u"BUFFERING", &c.buffering, 0, CPIC_SI_INT);
  t[i++] = SiKey(u"TRACE_RAW", &c.traceRaw, 0, CPIC_SI_INT);
  t[i++] = SiKey(u"TRACE_APPCHDR", &c.traceAppcHdr, 0, CPIC_SI_INT);
  t[i] = CPIC_SI_PARAM{};
}

bool SiBlankOrTab(WEQ_UC c) { return c == u' ' || c == u'\t'; }
bool SiTrailing(WEQ_UC c) { return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r'; }
bool SiCuts(WEQ_UC c) {
  return c == u';' || c == u'#' || c == u'*' || c == u'"' || c == u'\t' || c == u'\r' || c == u'\n';
}

// Removes trailing blanks, tabs, LF and CR, never the first unit.
void SiTrimEnd(WEQ_UC* s) {
  size_t n = strlenU(s);
  while (n > 1 && SiTrailing(s[n - 1])) s[--n] = 0;
}

// Splits a line into key and value in place: false for a comment or a
// line without '='.
bool SiSplit(WEQ_UC* line, WEQ_UC** key, WEQ_UC** value) {
  if (line[0] == u'#' || line[0] == u'*' || line[0] == 0) return false;
  WEQ_UC* k = line;
  while (SiBlankOrTab(*k)) ++k;
  WEQ_UC* eq = strchrU(k, u'=');
  if (eq == nullptr) return false;
  *eq = 0;
  SiTrimEnd(k);
  WEQ_UC* v = eq + 1;
  while (SiBlankOrTab(*v)) ++v;
  // Cut characters before the first other one stay part of the value.
  bool other = false;
  for (WEQ_UC* p = v; *p != 0; ++p) {
    if (!SiCuts(*p)) {
      other = true;
    } else if (other) {
      *p = 0;
      break;
    }
  }
  if (v[0] == u'\n' && v[1] == 0) v[0] = 0;
  SiTrimEnd(v);
  *key = k;
  *value = v;
  return true;
}

CPIC_SI_PARAM* SiFind(CPIC_SI_PARAM* table, const WEQ_UC* key) {
  for (CPIC_SI_PARAM* p = table; p->name != nullptr; ++p)
    if (strcmpU(p->name, key) == 0) return p;
  return nullptr;
}

// Stores one value of the file into its key.
void SiAssign(CPIC_SI_PARAM* p, const WEQ_UC* key, const WEQ_UC* value, int trcLevel, CTRC_HDL trc) {
  int32_t len = static_cast<int32_t>(strnlenU16(value, kSiValueMax));
  switch (p->type) {
    case CPIC_SI_STRING: {
      int32_t cap = p->capacity < 0 ? 0 : p->capacity;
      int32_t n = len < cap ? len : cap;
      auto* dst = static_cast<WEQ_UC*>(p->target);
      memcpy(dst, value, static_cast<size_t>(n) * sizeof(WEQ_UC));
      dst[n] = 0;
      p->capacity = n;
      p->valueLen = len;
      if (n < len) SI_TRC(2, u"%s: truncated value %s from %s to %s\n", kSiFn, key, value, static_cast<const WEQ_UC*>(dst));
      SI_TRC(2, u"%s: assign %s=%s\n", kSiFn, key, static_cast<const WEQ_UC*>(dst));
      break;
    }
    case CPIC_SI_CHAR: {
      auto c = static_cast<uint8_t>(value[0] & 0xFF);
      *static_cast<uint8_t*>(p->target) = c;
      p->capacity = 1;
      p->valueLen = len;
      if (len > 1) SI_TRC(2, u"%s: truncated value %s from %s to %c\n", kSiFn, key, value, static_cast<int>(c));
      SI_TRC(2, u"%s: assign %s=%c\n", kSiFn, key, static_cast<int>(c));
      break;
    }
    case CPIC_SI_DIGIT: {
      auto d = static_cast<uint8_t>(value[0] - u'0');
      *static_cast<uint8_t*>(p->target) = d;
      p->capacity = 1;
      p->valueLen = len;
      if (len > 1) SI_TRC(2, u"%s: truncated value %s from %s to %d\n", kSiFn, key, value, static_cast<int>(d));
      SI_TRC(2, u"%s: assign %s=%d\n", kSiFn, key, static_cast<int>(d));
      break;
    }
    case CPIC_SI_SHORT:
    case CPIC_SI_INT: {
      int32_t v = strtolU(value, nullptr, 10);
      if (p->type == CPIC_SI_SHORT) {
        *static_cast<int16_t*>(p->target) = static_cast<int16_t>(v);
        p->valueLen = 8;
      } else {
        *static_cast<int32_t*>(p->target) = v;
      }
      p->capacity = 8;
      SI_TRC(2, u"%s: assign %s=%d\n", kSiFn, key, p->type == CPIC_SI_SHORT ? static_cast<int>(static_cast<int16_t>(v)) : v);
      break;
    }
    default:
      SI_ERR(u"%s: unknown CPIC_SI_TYPE %d\n", kSiFn, static_cast<int>(p->type));
      return;
  }
  p->assigned = 1;
}

// Fills an unassigned key of the caller from the same key of COMMON_PART.
void SiFromCommon(CPIC_SI_PARAM* p, const CPIC_SI_PARAM* c, int trcLevel, CTRC_HDL trc) {
  if (p->type != c->type) {
    SI_ERR(u"%s: incompatible types (%d%d) for %s\n", kSiFn, static_cast<int>(p->type), static_cast<int>(c->type),
           p->name);
    return;
  }
  switch (p->type) {
    case CPIC_SI_STRING: {
      auto* src = static_cast<const WEQ_UC*>(c->target);
      int32_t cap = p->capacity < 0 ? 0 : p->capacity;
      int32_t n = c->capacity < cap ? c->capacity : cap;
      auto* dst = static_cast<WEQ_UC*>(p->target);
      memcpy(dst, src, static_cast<size_t>(n) * sizeof(WEQ_UC));
      dst[n] = 0;
      p->capacity = n;
      if (n < c->capacity)
        SI_TRC(2, u"%s: truncated value %s from %s to %s (from COMMON_PART)\n", kSiFn, p->name, src,
               static_cast<const WEQ_UC*>(dst));
      SI_TRC(2, u"%s: assign %s=%s (from COMMON_PART)\n", kSiFn, p->name, static_cast<const WEQ_UC*>(dst));
      break;
    }
    case CPIC_SI_CHAR:
    case CPIC_SI_DIGIT: {
      uint8_t b = *static_cast<const uint8_t*>(c->target);
      *static_cast<uint8_t*>(p->target) = b;
      if (p->type == CPIC_SI_CHAR) {
        SI_TRC(2, u"%s: assign %s=%c (from COMMON_PART)\n", kSiFn, p->name, static_cast<int>(b));
      } else {
        SI_TRC(2, u"%s: assign %s=%d (from COMMON_PART)\n", kSiFn, p->name, static_cast<int>(b));
      }
      break;
    }
    case CPIC_SI_SHORT: {
      int16_t v = *static_cast<const int16_t*>(c->target);
      *static_cast<int16_t*>(p->target) = v;
      SI_TRC(2, u"%s: assign %s=%d (from COMMON_PART)\n", kSiFn, p->name, static_cast<int>(v));
      break;
    }
    case CPIC_SI_INT: {
      int32_t v = *static_cast<const int32_t*>(c->target);
      *static_cast<int32_t*>(p->target) = v;
      SI_TRC(2, u"%s: assign %s=%d (from COMMON_PART)\n", kSiFn, p->name, v);
      break;
    }
    default:
      return;
  }
  p->assigned = 1;
  p->fromCommon = 1;
}

// The digits of s from its start to its end: false when a unit is none.
bool SiAllDigits(const WEQ_UC* s) {
  for (; *s != 0; ++s)
    if (*s < u'0' || *s > u'9') return false;
  return true;
}

// A run of digits from s (possibly none); returns the unit after it.
const WEQ_UC* SiSkipDigits(const WEQ_UC* s) {
  while (*s >= u'0' && *s <= u'9') ++s;
  return s;
}

}  // namespace

bool STIDestFound(const WEQ_UC* dest, const WEQ_UC* entryName, int trcLevel, CTRC_HDL trc) {
  if (dest == nullptr || entryName == nullptr) return false;
  if (trc == nullptr) trc = CTrcGlobalHdl.load();
  if (strcmpU(dest, entryName) == 0) return true;
  // entryName: prefix '_' '[' low '-' high ']' ...
  const WEQ_UC* us = strchrU(entryName, u'_');
  if (us == nullptr || us[1] != u'[') return false;
  const WEQ_UC* lowAt = us + 2;
  const WEQ_UC* dash = SiSkipDigits(lowAt);
  if (*dash != u'-') return false;
  const WEQ_UC* highAt = dash + 1;
  const WEQ_UC* close = SiSkipDigits(highAt);
  if (*close != u']') return false;
  // The bounds are read as numbers from where they begin: an empty low
  // bound reads the '-' and the high digits, an empty high bound 0.
  int32_t low = strtolU(lowAt, nullptr, 10);
  int32_t high = strtolU(highAt, nullptr, 10);
  // dest: the same prefix, '_' at the same place, digits to its end.
  size_t prefix = static_cast<size_t>(us - entryName);
  const WEQ_UC* dus = strchrU(dest, u'_');
  if (dus == nullptr || static_cast<size_t>(dus - dest) != prefix || strncmpU(dest, entryName, prefix) != 0) return false;
  if (!SiAllDigits(dus + 1)) return false;
  int32_t n = strtolU(dus + 1, nullptr, 10);
  if (n < low || n > high) return false;
  SI_TRC(2, u"STIDestFound: dest %s matches %s\n", dest, entryName);
  return true;
}

CM_RETURN_CODE STIReadSideInfo(const WEQ_UC* fileName, const WEQ_UC* dest, CPIC_SI_PARAM* table, int keepOpen,
                               GW_RETURN_CODE* gwRc, int trcLevel, CTRC_HDL trc) {
  ThrCSLock(&sideinfo_cs);
  CM_RETURN_CODE rc = SiRead(fileName, dest, table, keepOpen, gwRc, trcLevel, trc);
  ThrCSUnlock(&sideinfo_cs);
  return rc;
}

namespace {

CM_RETURN_CODE SiRead(const WEQ_UC* fileName, const WEQ_UC* dest, CPIC_SI_PARAM* table, int keepOpen,
                      GW_RETURN_CODE* gwRc, int trcLevel, CTRC_HDL trc) {
  SiState& st = *g_si;
  if (trc == nullptr) trc = CTrcGlobalHdl.load();
  GW_RETURN_CODE dummy = 0;
  if (gwRc == nullptr) gwRc = &dummy;
  if (dest == nullptr || dest[0] == 0) {
    ErrSetInfo(CPIC_COMPONENT, CPIC_COMPONENT_VERSION, kSiModule, __LINE__, u"no sideinfo entry specified",
               C_NO_SYMDEST, nullptr);
    CPIC_TRC(2, u"%s\n", ErrGetAllTxt());
    *gwRc = C_NO_SYMDEST;
    return CM_PROGRAM_PARAMETER_CHECK;
  }
  *gwRc = 0;
  bool isCommon = table == st.common.table;
  if (!st.commonRead) {
    st.commonRead = true;
    SiSetUpCommon(st.common);
    CM_RETURN_CODE rc = SiRead(fileName, kCommonPart, st.common.table, keepOpen, gwRc, trcLevel, trc);
    if (rc != CM_OK) return rc;
  }

  if (st.file == nullptr) {
    const WEQ_UC* name = fileName;
    if (name == nullptr) name = STIGetenv(u"SIDE_INFO");
    if (name == nullptr) name = u"sideinfo";
    strcpy_sU16(st.fileName, kSiLineUnits, name);
    st.file = fopenU16(st.fileName, u"r");
    if (st.file == nullptr) {
      ErrSetInfoSys(CPIC_COMPONENT, CPIC_COMPONENT_VERSION, kSiModule, __LINE__, 0, u"failed to open file %s",
                    C_NO_SIDE_INFO, nullptr, u"fopen", errno, static_cast<const WEQ_UC*>(st.fileName));
      CPIC_TRC(2, u"%s\n", ErrGetAllTxt());
      *gwRc = C_NO_SIDE_INFO;
      return CM_PRODUCT_SPECIFIC_ERROR;
    }
    SI_TRC(2, u"%s: file %s opened\n", kSiFn, static_cast<const WEQ_UC*>(st.fileName));
  }

  WEQ_UC search[13];
  size_t most = strcmpU(dest, kCommonPart) == 0 ? 12 : 8;
  size_t n = 0;
  while (n < most && dest[n] != 0 && dest[n] != u' ') {
    search[n] = dest[n];
    ++n;
  }
  search[n] = 0;
  SI_TRC(2, u"%s: search for destination >%s<\n", kSiFn, static_cast<const WEQ_UC*>(search));

  WEQ_UC line[kSiLineUnits];
  WEQ_UC *key = nullptr, *value = nullptr;
  bool found = false;
  while (!found && fgetsU16(line, kSiLineUnits, st.file) != nullptr) {
    if (!SiSplit(line, &key, &value)) continue;
    SI_TRC(3, u"%s: %s=%s\n", kSiFn, key, value);
    found = strcmpU(key, u"DEST") == 0 && STIDestFound(search, value, trcLevel, trc);
  }
  if (found) {
    SI_TRC(2, u"%s: destination >%s< found\n", kSiFn, static_cast<const WEQ_UC*>(search));
    while (fgetsU16(line, kSiLineUnits, st.file) != nullptr) {
      if (!SiSplit(line, &key, &value)) continue;
      if (strcmpU(key, u"DEST") == 0) break;
      CPIC_SI_PARAM* p = SiFind(table, key);
      if (p == nullptr) {
        SI_TRC(3, u"%s: unknown parameter %s=%s ignored\n", kSiFn, key, value);
      } else if (!p->assigned) {
        SiAssign(p, key, value, trcLevel, trc);
      }
    }
  }

  if (keepOpen) {
    rewind(st.file);
    fflush(st.file);
    SI_TRC(2, u"%s: rewind sideinfo file %s\n", kSiFn, static_cast<const WEQ_UC*>(st.fileName));
  } else {
    int closed = fclose(st.file);
    st.file = nullptr;
    SI_TRC(2, u"%s: close sideinfo file %s (%d)\n", kSiFn, static_cast<const WEQ_UC*>(st.fileName), closed);
  }

  if (isCommon) {
    st.commonFound = found;
    if (!found) SI_TRC(2, u"%s: no COMMON_PART found\n", kSiFn);
    return CM_OK;
  }
  if (!found) {
    ErrSetInfo(CPIC_COMPONENT, CPIC_COMPONENT_VERSION, kSiModule, __LINE__, u"no sideinfo entry %-8.8s found",
               C_NO_SIDE_INFO_ENTRY, nullptr, static_cast<const WEQ_UC*>(search));
    CPIC_TRC(2, u"%s\n", ErrGetAllTxt());
    *gwRc = C_NO_SIDE_INFO_ENTRY;
    return CM_PRODUCT_SPECIFIC_ERROR;
  }
  if (st.commonFound) {
    for (CPIC_SI_PARAM* p = table; p->name != nullptr; ++p) {
      if (p->assigned) continue;
      const CPIC_SI_PARAM* c = SiFind(st.common.table, p->name);
      if (c != nullptr && c->assigned) SiFromCommon(p, c, trcLevel, trc);
    }
  }
  return CM_OK;
}

}  // namespace

void STIResetSideInfo(void) {
  if (g_si->file != nullptr) fclose(g_si->file);
  delete g_si;
  g_si = new SiState();
}

#undef SI_TRC
#undef SI_ERR
