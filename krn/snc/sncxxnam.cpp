// SNC names: the printable syntax with its name-type letters, the name
// record with its canonical (exported) form, and the conversions between
// them through the GSS-API. Every GSS name and buffer taken here is
// released before the function returns.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "krn/snc/snc_int.h"

namespace {
#define SNC_MODULE "sncxxnam"
constexpr size_t kMaxExported = 1021;  // bytes of an exported name
constexpr size_t kPrLimit = 254;       // a printable form must stay below this

// Name-type letters by index; index 3 (exported) has none, 5 never matches.
constexpr char kLetters[10] = {0, 'n', 'u', 0, 's', 'c', 'p', 'x', 'y', 'z'};

const SncAdapter* Adapter(int index) { return index == 0 ? gSncAdapter[0] : nullptr; }

// The name type of index for adapter a; NULL when the adapter defines none.
gss_OID NameType(const SncAdapter* a, int index) {
  if (a == nullptr) return nullptr;
  switch (index) {
    case 2: return a->ntUser;
    case 3: return a->ntExport;
    case 4: return a->ntService;
    case 6: case 7: case 8: case 9: {
      const gss_OID_desc& nt = a->nameTypes[index - 5];
      return nt.length > 0 ? const_cast<gss_OID>(&nt) : nullptr;
    }
    default: return nullptr;
  }
}

bool Blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

void RecordParseError(SNC_RC rc, const char* text, size_t len) {
  char detail[320];
  snprintf(detail, sizeof detail, "SncPImportPrName() parsing error\n\"%.*s\"", static_cast<int>(len < 260 ? len : 260),
           text);
  SncPSetErrInfo(SNC_MODULE, __LINE__, rc, detail);
  SNC_TRCERR("SncPImportPrName(\"%.*s\")==%s", static_cast<int>(len < 260 ? len : 260), text, SncErrName(rc));
}

SNC_RC Parse(const char* text, size_t len, SncName* rec) {
  const char* b = text;
  const char* e = text + len;
  while (b < e && Blank(*b)) ++b;
  while (e > b && Blank(e[-1])) --e;
  if (e - b < 2) return SNCERR_BAD_NT_PREFIX;
  if ((*b == '"' || *b == '\'') && e[-1] == *b) {
    ++b, --e;
    while (b < e && (*b == ' ' || *b == '\t')) ++b;
    while (e > b && (e[-1] == ' ' || e[-1] == '\t')) --e;
    if (e - b < 2) return SNCERR_BAD_NT_PREFIX;
  }
  const char letter = b[0];
  const char* name;
  int adapterIndex = 0;
  if (b[1] == ':') {
    name = b + 2;
  } else if (b[1] == '/') {
    const char* colon = static_cast<const char*>(memchr(b + 2, ':', static_cast<size_t>(e - (b + 2))));
    if (colon == nullptr) return SNCERR_BAD_MECH_PREFIX;
    const size_t plen = static_cast<size_t>(colon - (b + 2));
    const SncAdapter* a = Adapter(0);
    if (plen > 0 && (a == nullptr || strlen(a->mechPrefix) != plen || memcmp(a->mechPrefix, b + 2, plen) != 0)) {
      return SNCERR_UNKNOWN_MECH;
    }
    if (e - colon < 2) return SNCERR_INVALID_NAME;
    name = colon + 1;
  } else {
    return SNCERR_BAD_NT_PREFIX;
  }
  int index = 0;
  for (int i = 1; i <= 9 && index == 0; ++i) {
    if (i != 5 && kLetters[i] == letter && NameType(Adapter(adapterIndex), i) != nullptr) index = i;
  }
  if (index == 0) return SNCERR_INVALID_NAMETYPE;
  char pr[SNC_PRNAME_MAX];
  const size_t nlen = static_cast<size_t>(e - name);
  if (nlen + 2 >= kPrLimit) return SNCERR_NAME_TOO_LONG;
  pr[0] = letter;
  pr[1] = ':';
  memcpy(pr + 2, name, nlen);
  return SncPSetName(index, adapterIndex, reinterpret_cast<const uint8_t*>(pr), nlen + 2, rec);
}

}  // namespace

void SncPClearName(SncName* rec) {
  free(rec->xpName);
  *rec = SncName{};
}

SNC_RC SncPSetName(int ntIndex, int adapterIndex, const uint8_t* bytes, size_t len, SncName* rec) {
  if (ntIndex == 3) {
    const SncAdapter* a = Adapter(adapterIndex);
    if (a == nullptr) return SNCERR_INTERNAL;
    if (len > kMaxExported) return SNCERR_NAME_TOO_LONG;
    uint8_t* xp = static_cast<uint8_t*>(malloc(len + 2));
    if (xp == nullptr) return SNCERR_NO_RESOURCE;
    xp[0] = static_cast<uint8_t>(static_cast<uint32_t>(a->info.type) >> 8);
    xp[1] = static_cast<uint8_t>(a->info.type);
    if (len > 0) memcpy(xp + 2, bytes, len);
    free(rec->xpName);
    rec->xpName = xp;
    rec->xpLen = static_cast<uint16_t>(len + 2);
    rec->xpKind = SNC_XPNAME_EXPORTED;
  } else {
    if (len >= kPrLimit) return SNCERR_NAME_TOO_LONG;
    memcpy(rec->prName, bytes, len);
    rec->prName[len] = 0;
    rec->ntIndex = static_cast<uint8_t>(ntIndex);
  }
  rec->adapterIndex = static_cast<uint8_t>(adapterIndex);
  return WEQ_O_K;
}

SNC_RC SncPImportPrName(const char* text, size_t len, SncName* rec) {
  SncPClearName(rec);
  const size_t n = text == nullptr ? 0 : len != 0 ? strnlen(text, len) : strlen(text);
  SNC_RC rc = Parse(text != nullptr ? text : "", n, rec);
  if (rc != WEQ_O_K) {
    SncPClearName(rec);
    RecordParseError(rc, text != nullptr ? text : "", n);
  }
  return rc;
}

SNC_RC SncPGSSImportName(SncSession* s, const SncName* rec, gss_name_t* out) {
  (void)s;
  *out = GSS_C_NO_NAME;
  const SncAdapter* a = Adapter(rec->adapterIndex);
  const int index = rec->xpKind == SNC_XPNAME_EXPORTED ? 3 : rec->ntIndex;
  gss_OID type = NameType(a, index);
  if (type == nullptr) return SNCERR_INTERNAL;
  gss_buffer_desc buf;
  if (index == 3) {
    buf = {static_cast<size_t>(rec->xpLen - 2), rec->xpName + 2};
  } else {
    buf = {strlen(rec->prName) - 2, const_cast<char*>(rec->prName + 2)};
  }
  const char* shown = index == 3 ? "(canonical name)" : rec->prName;
  OM_uint32 minor = 0;
  gss_name_t imported = GSS_C_NO_NAME;
  OM_uint32 major = SncGss<SNC_FN_import_name>(a)(&minor, &buf, type, &imported);
  const char* call = "gss_import_name";
  if (GSS_ERROR(major) == 0) {
    major = SncGss<SNC_FN_canonicalize_name>(a)(&minor, imported, a->mech, out);
    call = "gss_canonicalize_name";
    if (GSS_ERROR(major) != 0) *out = GSS_C_NO_NAME;
  } else {
    imported = GSS_C_NO_NAME;
  }
  SncPReleaseName(a, &imported);
  if (GSS_ERROR(major) != 0) {
    SncPErrFunc(a, "SncPGSSImportName", call, SNCERR_GSSAPI, major, minor, "Import of a name failed", shown);
    return SNCERR_GSSAPI;
  }
  return WEQ_O_K;
}

SNC_RC SncPExportGSSName(SncSession* s, gss_name_t name, SncName* rec) {
  (void)s;
  const SncAdapter* a = Adapter(rec->adapterIndex);
  if (a == nullptr) return SNCERR_INTERNAL;
  if (name == GSS_C_NO_NAME) {
    SNC_TRCERR("%.32s(): Huh? Got a NULL name!", "SncPExportGSSName");
    return SNCERR_STRANGE_GSSAPI;
  }
  OM_uint32 minor = 0;
  gss_name_t canon = GSS_C_NO_NAME;
  OM_uint32 major = SncGss<SNC_FN_canonicalize_name>(a)(&minor, name, a->mech, &canon);
  if (GSS_ERROR(major) != 0) {
    SncPErrFunc(a, "SncPExportGSSName", "gss_canonicalize_name", SNCERR_GSSAPI, major, minor,
                "Canonicalization of a name failed", rec->prName);
    return SNCERR_GSSAPI;
  }
  gss_buffer_desc exported = GSS_C_EMPTY_BUFFER;
  major = SncGss<SNC_FN_export_name>(a)(&minor, canon, &exported);
  SncPReleaseName(a, &canon);
  SNC_RC rc = WEQ_O_K;
  if (GSS_ERROR(major) != 0) {
    SncPErrFunc(a, "SncPExportGSSName", "gss_export_name", SNCERR_GSSAPI, major, minor, "Export of a name failed",
                rec->prName);
    rc = SNCERR_GSSAPI;
  } else {
    rc = SncPSetName(3, rec->adapterIndex, static_cast<const uint8_t*>(exported.value), exported.length, rec);
  }
  SncPReleaseBuffer(a, &exported);
  return rc;
}

SNC_RC SncPDisplayGSSName(SncSession* s, gss_name_t name, SncName* rec) {
  (void)s;
  constexpr const char* kFn = "SncPDisplayGSSName";
  const SncAdapter* a = Adapter(rec->adapterIndex);
  if (a == nullptr) return SNCERR_INTERNAL;
  if (name == GSS_C_NO_NAME) {
    SNC_TRCERR("%.32s(): Huh? Got a NULL name!", kFn);
    return SNCERR_STRANGE_GSSAPI;
  }
  OM_uint32 minor = 0;
  gss_buffer_desc text = GSS_C_EMPTY_BUFFER;
  gss_OID type = GSS_C_NO_OID;
  OM_uint32 major = SncGss<SNC_FN_display_name>(a)(&minor, name, &text, &type);
  if (GSS_ERROR(major) != 0) {
    SncPErrFunc(a, kFn, "gss_display_name", SNCERR_GSSAPI, major, minor, "Display of a name failed", nullptr);
    SncPReleaseBuffer(a, &text);
    return SNCERR_GSSAPI;
  }
  SNC_RC rc = WEQ_O_K;
  const int shown = static_cast<int>(text.length < 256 ? text.length : 256);
  const char* value = text.value != nullptr ? static_cast<const char*>(text.value) : "";
  int index = 0;
  for (int i : {2, 4, 6, 7, 8, 9})
    if (index == 0 && SncPSameOid(type, NameType(a, i))) index = i;
  if (text.length == 0 || text.value == nullptr) {
    SNC_TRCERR("%.32s(): Huh? no printable name!", kFn);
    rc = SNCERR_STRANGE_GSSAPI;
  } else if (type == GSS_C_NO_OID) {
    SNC_TRCERR("%.32s(): Huh? no nametype OID for '%.*s'!", kFn, shown, value);
    rc = SNCERR_STRANGE_GSSAPI;
  } else if (index == 0) {
    SNC_TRCERR("%.32s(): Huh? Unregcognized nametype OID for '%.*s'!", kFn, shown, value);
    rc = SNCERR_STRANGE_GSSAPI;
  } else if (text.length + 2 >= kPrLimit) {
    rc = SNCERR_NAME_TOO_LONG;
  } else {
    char pr[SNC_PRNAME_MAX];
    pr[0] = kLetters[index];
    pr[1] = ':';
    memcpy(pr + 2, value, text.length);
    rc = SncPSetName(index, rec->adapterIndex, reinterpret_cast<const uint8_t*>(pr), text.length + 2, rec);
  }
  if (rc != WEQ_O_K) {
    char detail[320];
    snprintf(detail, sizeof detail, "Display of a name failed\n\"%.*s\"", shown, value);
    SncPSetErrInfo(SNC_MODULE, __LINE__, rc, detail);
  }
  SncPReleaseBuffer(a, &text);
  return rc;
}

SNC_RC SncPSetNewName(SncSession* s, SncName* rec, const char* name, size_t len, bool canonical) {
  constexpr const char* kFn = "SncPSetNewName";
  if (name == nullptr || (len == 0 && name[0] == 0)) {
    SncPClearName(rec);
    return WEQ_O_K;
  }
  const size_t n = len != 0 ? len : strlen(name);
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(name);
  SncName tmp{};
  SNC_RC rc = WEQ_O_K;
  if (canonical || (n >= 3 && bytes[0] == 0x04 && bytes[1] == 0x01)) {
    const SncAdapter* a = Adapter(0);
    if (n < 2) {
      rc = SNCERR_INVALID_NAME;
    } else if (a == nullptr || (bytes[0] << 8 | bytes[1]) != a->info.type) {
      rc = SNCERR_UNKNOWN_MECH;
    } else {
      if (n == 2) SNC_TRC(1, "%.32s(): setting an empty name? expect trouble!\n", kFn);
      rc = SncPSetName(3, 0, bytes + 2, n - 2, &tmp);
    }
    if (rc != WEQ_O_K) {
      SncPSetErrInfo(SNC_MODULE, __LINE__, rc, "SncPSetNewName(): canonical name refused");
      SNC_TRCERR("%.32s(): canonical name of %lu bytes refused: %s", kFn, static_cast<unsigned long>(n),
                 SncErrName(rc));
    }
  } else {
    rc = SncPImportPrName(name, n, &tmp);
  }
  gss_name_t gname = GSS_C_NO_NAME;
  if (rc == WEQ_O_K) rc = SncPGSSImportName(s, &tmp, &gname);
  if (rc == WEQ_O_K) rc = SncPExportGSSName(s, gname, &tmp);
  if (rc == WEQ_O_K) rc = SncPDisplayGSSName(s, gname, &tmp);
  SncPReleaseName(Adapter(tmp.adapterIndex), &gname);
  SncPClearName(rec);
  if (rc != WEQ_O_K) {
    SncPClearName(&tmp);
    return rc;
  }
  *rec = tmp;
  return WEQ_O_K;
}

SNC_RC SncPCompareNames(const SncName* a, const SncName* b, bool* equal) {
  *equal = false;
  if (a->xpName == nullptr || b->xpName == nullptr) {
    SNC_TRCERR("%.32s(): Bug?! defect xp_name", "SncPCompareNames");
    return SNCERR_INTERNAL;
  }
  if (a->xpKind != SNC_XPNAME_EXPORTED || b->xpKind != SNC_XPNAME_EXPORTED) {
    SNC_TRCERR("%.32s(): Bug?! incomparable names!", "SncPCompareNames");
    return SNCERR_INTERNAL;
  }
  *equal = a->xpLen == b->xpLen && memcmp(a->xpName, b->xpName, a->xpLen) == 0;
  return WEQ_O_K;
}

bool SncPSameOid(const gss_OID_desc* a, const gss_OID_desc* b) {
  return a != nullptr && b != nullptr && a->length == b->length &&
         (a->length == 0 || memcmp(a->elements, b->elements, a->length) == 0);
}

#undef SNC_MODULE
