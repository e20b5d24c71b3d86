// Loading the GSS-API library: the function table with a stand-by in every
// slot, the resolution of the names, the choice of the adapter and the
// finished adapter record.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "i18n/wequ16/u16str.h"
#include "krn/dptrc/err.h"
#include "krn/snc/snc_int.h"

namespace {
#define SNC_MODULE "sncxxdl"
constexpr const char* kFn = "SncPDLInit(";
constexpr size_t kMaxFnName = 62;  // prefix and name together

// The stand-by of a GSS-API slot: its own signature, minor status 0 and
// GSS_S_FAILURE, so that a call through a slot never jumps into nothing.
template <class F>
struct StandByOf;
template <class... A>
struct StandByOf<OM_uint32(OM_uint32*, A...)> {
  static OM_uint32 Fn(OM_uint32* minor, A...) {
    if (minor != nullptr) *minor = 0;
    return GSS_S_FAILURE;
  }
};
int StandByInit(SncAdapterInfo*, size_t) { return 1; }

}  // namespace

const SncFnName kSncGssNames[29] = {
#define SNC_NAME_ROW(n, name, rule) {n, #name, rule},
    SNC_GSS_FUNCS(SNC_NAME_ROW)
#undef SNC_NAME_ROW
};

const SncFnName kSncGssV1Names[4] = {
    {SNC_FN_wrap, "seal", kSncFnRequired},
    {SNC_FN_unwrap, "unseal", kSncFnRequired},
    {SNC_FN_get_mic, "sign", kSncFnRequired},
    {SNC_FN_verify_mic, "verify", kSncFnRequired},
};

SncAdapter* gSncAdapter[1] = {nullptr};
DL_HDL gSncLib[1] = {DL_HDL_NONE};

DL_FUNC SncPStandBy(int slot) {
  switch (slot) {
    case SNC_FN_INIT_ADAPTER: return reinterpret_cast<DL_FUNC>(&StandByInit);
#define SNC_STANDBY_CASE(n, name, rule) \
  case n: return reinterpret_cast<DL_FUNC>(&StandByOf<gss_##name##_fn>::Fn);
      SNC_GSS_FUNCS(SNC_STANDBY_CASE)
#undef SNC_STANDBY_CASE
    default: return nullptr;
  }
}

SNC_RC SncIResolveFunctions(DL_HDL lib, DL_FUNC* table, const SncFnName* names, size_t count, const char* prefix,
                            bool strict, uint32_t* missing) {
  constexpr const char* kRes = "SncIResolveFunctions(";
  SNC_RC rc = WEQ_O_K;
  *missing = 0;
  for (size_t i = 0; i < count; ++i) {
    const SncFnName& row = names[i];
    char full[kMaxFnName + 1];
    if (strlen(prefix) + strlen(row.name) > kMaxFnName) {
      SNC_TRCERR("%s): function name %.150s exceeds buffer", kRes, row.name);
      return SNCERR_INTERNAL;
    }
    const size_t plen = strlen(prefix);
    memcpy(full, prefix, plen);
    memcpy(full + plen, row.name, strlen(row.name) + 1);
    WEQ_UC wide[kMaxFnName + 1];
    SncPWiden(wide, sizeof wide / sizeof wide[0], full);
    DL_FUNC f = nullptr;
    int32_t dl = DlLoadFunc(lib, wide, &f);
    if (dl == DL_OK) {
      table[row.slot] = f;
      continue;
    }
    if (dl != DLENOACCESS) {
      char num[16];
      snprintf(num, sizeof num, "%d", dl);
      SNC_TRCERR("%s): DlLoadFunc(%s)==%s", kRes, full,
                 dl == DLEOVERFLOW ? "DLEOVERFLOW" : dl == DLEINVAL ? "DLEINVAL" : num);
      return SNCERR_INIT;
    }
    *missing |= 1u << row.slot;
    if (row.rule == kSncFnRequired || (row.rule == kSncFnStrict && strict)) {
      SNC_TRCERR("%s): Unresolved GSS-API function: %s", kFn, full);
      rc = SNCERR_INIT;
    }
  }
  return rc;
}

void SncPFreeAdapter(int index) {
  SncAdapter* a = gSncAdapter[index];
  if (a != nullptr && a->mechs != GSS_C_NO_OID_SET) {
    OM_uint32 minor = 0;
    SncGss<SNC_FN_release_oid_set>(a)(&minor, &a->mechs);
  }
  free(a);
  gSncAdapter[index] = nullptr;
  if (gSncLib[index] != DL_HDL_NONE) DlUnloadLib(&gSncLib[index]);
  gSncLib[index] = DL_HDL_NONE;
}

namespace {

// Takes the adapter's texts and name types into the record's own storage:
// an external adapter's storage need not outlive its call.
void Finish(SncAdapter* a) {
  snprintf(a->idText, sizeof a->idText, "%s", a->info.idText != nullptr ? a->info.idText : "");
  snprintf(a->mechPrefix, sizeof a->mechPrefix, "%s", a->info.mechPrefix != nullptr ? a->info.mechPrefix : "");
  for (int i = 0; i < 5; ++i) {
    gss_OID nt = a->info.nameTypes[i];
    a->nameTypes[i] = {0, nullptr};
    if (nt != nullptr && nt->length > 0 && nt->length <= sizeof a->nameTypeBytes[i] && nt->elements != nullptr) {
      memcpy(a->nameTypeBytes[i], nt->elements, nt->length);
      a->nameTypes[i] = {nt->length, a->nameTypeBytes[i]};
    }
  }
  a->bestLevel = a->info.confAvail ? 3 : a->info.integAvail ? 2 : 1;
  a->ntUser = const_cast<gss_OID>(&kSncNtUser);
  a->ntService = const_cast<gss_OID>(&kSncNtService);
  a->ntExport = const_cast<gss_OID>(&kSncNtExport);
  if (a->info.overhead > gSnc.maxOverhead) gSnc.maxOverhead = a->info.overhead;
}

// Steps 4 to 8 of a load on a loaded library; the adapter slot is filled.
SNC_RC LoadAdapter(SncAdapter* a, DL_HDL lib, const char* name, bool strict, bool* ignored) {
  DL_FUNC init = nullptr;
  const bool external = DlLoadFunc(lib, u"weqsnc_init_adapter", &init) == DL_OK;
  if (external) a->fn[SNC_FN_INIT_ADAPTER] = init;
  const char* prefix = external ? "weqgss_" : "gss_";
  uint32_t missing = 0;
  SNC_RC rc = SncIResolveFunctions(lib, a->fn, kSncGssNames, 29, prefix, strict, &missing);
  a->libKind = external ? "external SNC-Adapter" : "GSS-API v2 library";
  constexpr uint32_t kV2Protection = 1u << SNC_FN_get_mic | 1u << SNC_FN_verify_mic | 1u << SNC_FN_wrap |
                                     1u << SNC_FN_unwrap;
  if (rc == WEQ_O_K && (missing & kV2Protection) != 0) {
    rc = SncIResolveFunctions(lib, a->fn, kSncGssV1Names, 4, prefix, strict, &missing);
    if (!external) a->libKind = "GSS-API v1 library";
  }
  if (rc != WEQ_O_K) {
    char detail[256];
    snprintf(detail, sizeof detail, "Missing GSS-API Function Pointers\nin DLL \"%.200s\"", name);
    SncPSetErrInfo(SNC_MODULE, __LINE__, rc, detail);
    return rc;
  }
  SNC_TRC(1, "  File \"%s\" dynamically loaded as %s.\n", name, a->libKind);

  if (external) {
    if (SncGss<SNC_FN_INIT_ADAPTER>(a)(&a->info, sizeof a->info) != 0) {
      SNC_TRCERR("%s): snc_init_adapter() failed", kFn);
      SncPSetErrInfo(SNC_MODULE, __LINE__, SNCERR_INIT, "snc_init_adapter() failed");
      return SNCERR_INIT;
    }
    SNC_TRC(1, "  The SNC-Adapter identifies as:\n  %s\n", a->info.idText != nullptr ? a->info.idText : "");
    if (a->info.type == SNC_ADAPTER_IGNORE) {
      SNC_TRC(1, "  ... and will be ignored.\n");
      *ignored = true;
      return WEQ_O_K;
    }
  }

  OM_uint32 minor = 0;
  OM_uint32 major = SncGss<SNC_FN_indicate_mechs>(a)(&minor, &a->mechs);
  if (GSS_ERROR(major) != 0) {
    SNC_TRCERR("%s): gss_indicate_mechs() failed", kFn);
    a->mechs = GSS_C_NO_OID_SET;
    SncPErrFunc(a, "SncPDLInit", "gss_indicate_mechs", SNCERR_INIT, major, minor,
                "STOP! -- initial call to gss_indicate_mechs() failed", nullptr);
    return SNCERR_INIT;
  }
  const size_t count = a->mechs != GSS_C_NO_OID_SET ? a->mechs->count : 0;
  if (external) {
    if (count > 0) a->mech = &a->mechs->elements[0];
  } else {
    // The library lists its mechanisms in its own order of preference; the
    // first one that a built-in adapter knows wins.
    for (size_t i = 0; i < count && a->mech == nullptr; ++i) {
      for (const SncBuiltin& b : kSncBuiltins) {
        if (!SncPSameOid(&a->mechs->elements[i], &b.mech)) continue;
        a->mech = &a->mechs->elements[i];
        a->fn[SNC_FN_INIT_ADAPTER] = reinterpret_cast<DL_FUNC>(b.init);
        a->builtin = true;
        break;
      }
    }
    if (a->builtin) {
      SncGss<SNC_FN_INIT_ADAPTER>(a)(&a->info, sizeof a->info);
      SNC_TRC(1, "  The internal Adapter for the loaded GSS-API mechanism identifies as:\n  %s\n", a->info.idText);
    }
  }
  if (a->mech == nullptr) {
    SNC_TRCERR("%s): None of the gss-api mechanisms\n    in \"%.128s\" are recognized", kFn, name);
    char detail[256];
    snprintf(detail, sizeof detail, "None of the gss-api mechanisms in \"%.128s\" are recognized", name);
    SncPSetErrInfo(SNC_MODULE, __LINE__, SNCERR_INIT, detail);
    return SNCERR_INIT;
  }
  Finish(a);
  return WEQ_O_K;
}

}  // namespace

SNC_RC SncPDLInit(int index, const char* name, bool strict) {
  if (index != 0) {
    SNC_TRCERR("%s): Adapter index %d out of range", kFn, index);
    return SNCERR_INTERNAL;
  }
  if (gSncAdapter[index] != nullptr || gSncLib[index] != DL_HDL_NONE) {
    SNC_TRCERR("%s): Adapter structure %d non-empty?!!", kFn, index);
    // Its library goes too, or every retry would keep one of the loader's
    // slots.
    SncPFreeAdapter(index);
  }
  SncAdapter* a = static_cast<SncAdapter*>(calloc(1, sizeof(SncAdapter)));
  if (a == nullptr) {
    SncPSetErrInfo(SNC_MODULE, __LINE__, SNCERR_NO_RESOURCE, "SncPDLInit(): calloc failed");
    return SNCERR_NO_RESOURCE;
  }
  for (int slot = 0; slot < SNC_FN_COUNT; ++slot) a->fn[slot] = SncPStandBy(slot);
  gSncAdapter[index] = a;

  WEQ_UC path[SNC_LIBNAME_MAX];
  SncPWiden(path, SNC_LIBNAME_MAX, name);
  int32_t dl = DlLoadLib(path, &gSncLib[index]);
  SNC_RC rc = WEQ_O_K;
  bool ignored = false;
  if (dl != DL_OK) {
    rc = SNCERR_INIT;
    WEQ_UC* end = nullptr;
    const bool dlRecorded = ErrIsSet() && strcmpU(ErrGetFld(ERR_FLD_COMPONENT), u"DL (Dynamic Loader)") == 0 &&
                            strtolU(ErrGetFld(ERR_FLD_RC), &end, 10) == dl;
    if (!dlRecorded) {
      char detail[256];
      snprintf(detail, sizeof detail, "DlLoadLib(\"%.128s\") FAILED", name);
      SncPSetErrInfo(SNC_MODULE, __LINE__, rc, detail);
    }
    SNC_TRCERR("%.32s)==SNCERR_INIT\nUnable to load GSS-API %.32s\nnamed \"%.128s\"", kFn, "library", name);
  } else {
    rc = LoadAdapter(a, gSncLib[index], name, strict, &ignored);
  }
  if (rc != WEQ_O_K) {
    SNC_TRCERR("%s)==%s, Adapter #%d (%.128s) not loaded", kFn, SncErrName(rc), index, name);
    SncPFreeAdapter(index);
    return rc;
  }
  if (ignored) {
    SncPFreeAdapter(index);
    return WEQ_O_K;
  }
  SNC_TRC(3, "  <<- %s)==WEQ_O_K\n", kFn);
  return WEQ_O_K;
}

void SncIResetGlobal(void) {
  if (gSnc.dflt != nullptr) {
    SncPSessionRelease(gSnc.dflt);
    free(gSnc.dflt);
    gSnc.dflt = nullptr;
  }
  gSnc.initRc = WEQ_O_K;
  SncPFreeAdapter(0);
  if (gSnc.mtxExists.exchange(false)) ThrMtxDelete(&gSnc.mtx);
  gSnc.initialized = false;
  gSnc.active = false;
  gSnc.progType = 0;
  gSnc.refWatermark = 600;
  gSnc.ctxLifetime = 0xFFFFFFFFu;
  gSnc.qopMin = 2;
  gSnc.qopMax = 3;
  gSnc.qopUse = 3;
  gSnc.libName[0] = gSnc.userLib[0] = gSnc.profileFile[0] = 0;
  gSnc.libSource = 0;
  gSnc.maxOverhead = 0;
  gSnc.profileNarrowFailed = false;
  gSncTrcHdl = nullptr;
}

#undef SNC_MODULE
