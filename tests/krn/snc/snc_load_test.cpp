// Loading the GSS-API library, each case in a child process: the variants
// of the test library (version 2, version 1, a required or the optional
// functions missing, an external adapter), the choice among reported
// mechanisms, failures of the library and of the loader, repeated loads,
// and MIT Kerberos as the real library.
#include <gtest/gtest.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "krn/dptrc/err.h"
#include "krn/snc/snc_int.h"
#include "snc_test_util.h"

namespace {

using namespace snctest;
using tovtest::ToUtf8;

const std::string kKrb5Hex = "2a 86 48 86 f7 12 01 02 02";

// The adapter slot after a load as one line: code, kind, type, mechanism,
// prefix, best level, overhead, identification, and the error record.
std::string Describe(SNC_RC rc) {
  const SncAdapter* a = gSncAdapter[0];
  std::string s = "rc=" + std::to_string(rc);
  if (a != nullptr) {
    s += "|kind=" + std::string(a->libKind) + "|type=" + std::to_string(a->info.type) +
         "|mech=" + (a->mech ? Hex(static_cast<uint8_t*>(a->mech->elements), a->mech->length) : "-") +
         "|prefix=" + a->mechPrefix + "|best=" + std::to_string(a->bestLevel) +
         "|over=" + std::to_string(gSnc.maxOverhead) + "|id=" + a->idText + "|lib=" + (gSncLib[0] >= 0 ? "1" : "0");
  } else {
    s += "|none|lib=" + std::string(gSncLib[0] >= 0 ? "1" : "0");
  }
  if (rc != WEQ_O_K)
    s += "|err=" + ToUtf8(ErrGetFld(ERR_FLD_COMPONENT)) + "/" + ToUtf8(ErrGetFld(ERR_FLD_DETAIL));
  return s;
}

struct LoadCase {
  const char* what;
  const char* path;
  bool strict;
  std::vector<int> mechs;  // empty: the library's default (Kerberos 5)
  void (*setup)(FakeGssCtl*);
  std::vector<std::string> out;    // pieces of the description
  std::vector<std::string> trace;  // pieces of the trace
};

TEST(SncLoad, Variants) {
  const std::string v2 = SNC_FAKEGSS_V2, ext = SNC_FAKEGSS_EXT;
  const LoadCase cases[] = {
      {"version 2", SNC_FAKEGSS_V2, false, {}, nullptr,
       {"rc=0|kind=GSS-API v2 library|type=2|mech=" + kKrb5Hex + "|prefix=krb5|best=3|over=100|id=Internal SNC-Adapter "
        "(Rev 1.0) to Kerberos 5/GSS-API v2|lib=1"},
       {"  File \"" + v2 + "\" dynamically loaded as GSS-API v2 library.\n",
        "  The internal Adapter for the loaded GSS-API mechanism identifies as:\n"
        "  Internal SNC-Adapter (Rev 1.0) to Kerberos 5/GSS-API v2\n",
        "  <<- SncPDLInit()==WEQ_O_K\n"}},
      {"version 2 strict", SNC_FAKEGSS_V2, true, {}, nullptr, {"rc=0|kind=GSS-API v2 library"}, {}},
      {"version 1", SNC_FAKEGSS_V1, true, {}, nullptr, {"rc=0|kind=GSS-API v1 library|type=2"},
       {"dynamically loaded as GSS-API v1 library.\n"}},
      {"required missing", SNC_FAKEGSS_NOREQ, false, {}, nullptr,
       {"rc=-1|none|lib=0|err=SNC (Secure Network Communication)/Missing GSS-API Function Pointers\nin DLL \""},
       {"SncPDLInit(): Unresolved GSS-API function: gss_context_time [sncxxdl",
        "SncPDLInit()==SNCERR_INIT, Adapter #0 ("}},
      {"optional missing", SNC_FAKEGSS_NOOPT, false, {}, nullptr, {"rc=0|kind=GSS-API v2 library"}, {}},
      {"optional missing, strict", SNC_FAKEGSS_NOOPT, true, {}, nullptr, {"rc=-1|none|lib=0"},
       {"Unresolved GSS-API function: gss_export_sec_context", "Unresolved GSS-API function: gss_import_sec_context"}},
      {"external adapter", SNC_FAKEGSS_EXT, false, {kFakeNtlm, kFakeKrb5}, nullptr,
       {"rc=0|kind=external SNC-Adapter|type=7|mech=2b 06 01 04 01 82 37 02 02 0a|prefix=fakemec|best=2|over=300|id="
        "Fake SNC-Adapter with a long identification text that goes on and on past the hundred and fifty-nine "
        "characters that the layer keeps of it, ending right here: |lib=1"},
       {"  File \"" + ext + "\" dynamically loaded as external SNC-Adapter.\n", "  The SNC-Adapter identifies as:\n"}},
      {"external adapter ignored", SNC_FAKEGSS_EXT, false, {}, [](FakeGssCtl* c) { c->extType = 0; },
       {"rc=0|none|lib=0"}, {"  ... and will be ignored.\n"}},
      {"external adapter refuses", SNC_FAKEGSS_EXT, false, {}, [](FakeGssCtl* c) { c->extInitFail = 1; },
       {"rc=-1|none|lib=0|err=SNC (Secure Network Communication)/snc_init_adapter() failed"},
       {"SncPDLInit(): snc_init_adapter() failed"}},
      {"mechanisms unavailable", SNC_FAKEGSS_V2, false, {}, [](FakeGssCtl* c) { c->failIndicate = 1; },
       {"rc=-1|none|lib=0|err=SNC (Secure Network Communication)/STOP! -- initial call to gss_indicate_mechs() "
        "failed\nGSS-API(maj): fake major status 0x000d0000\nGSS-API(min): fake minor status 0x0000002a"},
       {"SncPDLInit(): gss_indicate_mechs() failed"}},
      {"unknown mechanism", SNC_FAKEGSS_V2, false, {kFakeUnknown}, nullptr, {"rc=-1|none|lib=0"},
       {"SncPDLInit(): None of the gss-api mechanisms\n    in \"" + v2 + "\" are recognized"}},
      {"no mechanism", SNC_FAKEGSS_V2, false, {-1}, nullptr, {"rc=-1|none"}, {"None of the gss-api mechanisms"}},
      {"Kerberos before NTLM", SNC_FAKEGSS_V2, false, {kFakeUnknown, kFakeKrb5, kFakeNtlm}, nullptr,
       {"rc=0|kind=GSS-API v2 library|type=2|mech=" + kKrb5Hex}, {}},
      {"NTLM before Kerberos", SNC_FAKEGSS_V2, false, {kFakeNtlm, kFakeKrb5}, nullptr,
       {"rc=0|kind=GSS-API v2 library|type=4|mech=2b 06 01 04 01 82 37 02 02 0a|prefix=weqntlm|best=1|over=100|id="
        "Internal SNC-Adapter (Rev 1.0) to WEQ's GSS-API v2 over NTLM(SSPI) Adapter"},
       {}},
      {"SECUDE before the old Kerberos", SNC_FAKEGSS_V2, false, {kFakeSecude, kFakeKrb5Old}, nullptr,
       {"rc=0|kind=GSS-API v2 library|type=3|mech=2b 24 03 01 25 01|prefix=secude|best=3"}, {}},
      {"old Kerberos identifier", SNC_FAKEGSS_V2, false, {kFakeKrb5Old, kFakeKrb5}, nullptr,
       {"rc=0|kind=GSS-API v2 library|type=2|mech=2b 05 01 05 02|prefix=krb5"}, {}},
      {"no such library", "/nonexistent/libgss-none.so", false, {}, nullptr,
       {"rc=-1|none|lib=0|err=DL (Dynamic Loader)/dlopen(\"/nonexistent/libgss-none.so\")"},
       {"SncPDLInit()==SNCERR_INIT\nUnable to load GSS-API library\nnamed \"/nonexistent/libgss-none.so\""}},
      {"path over the loader's limit", "/tmp/0123456789012345678901234567890123456789012345678901234567890123456789"
       "0123456789012345678901234567890.so", false, {}, nullptr,
       {"rc=-1|none|lib=0|err=SNC (Secure Network Communication)/DlLoadLib(\"/tmp/0123456789"}, {}},
  };
  for (const LoadCase& c : cases) {
    SCOPED_TRACE(c.what);
    tovtest::ChildResult r = InChild(3, [&c] {
      FakeGssCtl* ctl = std::string(c.path).find("fakegss") != std::string::npos ? FakeCtl(c.path) : nullptr;
      if (ctl != nullptr && !c.mechs.empty()) {
        ctl->nmechs = c.mechs[0] < 0 ? 0 : static_cast<int>(c.mechs.size());
        for (size_t i = 0; i < c.mechs.size() && c.mechs[0] >= 0; ++i) ctl->mechs[i] = c.mechs[i];
      }
      if (ctl != nullptr && c.setup != nullptr) c.setup(ctl);
      const SNC_RC rc = SncPDLInit(0, c.path, c.strict);
      std::string d = Describe(rc);
      SncPFreeAdapter(0);
      if (ctl != nullptr) d += "|live=" + std::to_string(ctl->liveSets + ctl->liveBuffers + ctl->liveNames);
      printf("%s\n", d.c_str());
      return 0;
    });
    ASSERT_EQ(r.exit_code, 0) << r.err;
    for (const std::string& piece : c.out) EXPECT_NE(r.out.find(piece), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("|live=") == std::string::npos || r.out.find("|live=0\n") != std::string::npos, true) << r.out;
    for (const std::string& piece : c.trace) EXPECT_NE(Untagged(r.err).find(piece), std::string::npos) << piece << "\n" << r.err;
  }
}

// A missing optional function keeps its stand-by: the slot's own signature,
// minor status 0 and GSS_S_FAILURE. The stand-bys of the other slots
// answer the same before resolution.
TEST(SncLoad, StandByFunctions) {
  tovtest::ChildResult r = InChild(0, [] {
    if (SncPDLInit(0, SNC_FAKEGSS_NOOPT, false) != WEQ_O_K) return 1;
    const SncAdapter* a = gSncAdapter[0];
    OM_uint32 minor = 77, limit = 5;
    gss_ctx_id_t ctx = GSS_C_NO_CONTEXT;
    gss_buffer_desc buf = GSS_C_EMPTY_BUFFER;
    bool ok = SncGss<SNC_FN_process_context_token>(a)(&minor, ctx, &buf) == 0xD0000u && minor == 0;
    minor = 77;
    ok = ok && SncGss<SNC_FN_wrap_size_limit>(a)(&minor, ctx, 1, 0, 100, &limit) == 0xD0000u && minor == 0 && limit == 5;
    ok = ok && SncGss<SNC_FN_export_sec_context>(a)(nullptr, &ctx, &buf) == GSS_S_FAILURE;
    for (int slot = 1; slot < SNC_FN_COUNT; ++slot) {
      minor = 77;
      auto f = reinterpret_cast<OM_uint32 (*)(OM_uint32*)>(SncPStandBy(slot));
      ok = ok && f != nullptr && f(&minor) == GSS_S_FAILURE && minor == 0;
    }
    ok = ok && reinterpret_cast<SncAdapterInitFn*>(SncPStandBy(0))(nullptr, 96) != 0;
    SncPFreeAdapter(0);
    return ok ? 0 : 2;
  });
  EXPECT_EQ(r.exit_code, 0) << r.err;
}

// Index 1 is refused; 40 loads in a row each replace the slot and give
// its library back, so the loader still has room afterwards.
TEST(SncLoad, RepeatedLoadsKeepLoaderSlots) {
  tovtest::ChildResult r = InChild(1, [] {
    if (SncPDLInit(1, SNC_FAKEGSS_V2, false) != SNCERR_INTERNAL) return 1;
    for (int i = 0; i < 40; ++i)
      if (SncPDLInit(0, SNC_FAKEGSS_V2, false) != WEQ_O_K) return 10 + i;
    DL_HDL h = DL_HDL_NONE;
    if (DlLoadLib(u"libm.so.6", &h) != DL_OK) return 2;
    DlUnloadLib(&h);
    SncPFreeAdapter(0);
    return 0;
  });
  EXPECT_EQ(r.exit_code, 0) << r.err;
  size_t n = 0;
  for (size_t at = 0; (at = r.err.find("SncPDLInit(): Adapter structure 0 non-empty?!!", at)) != std::string::npos; ++at)
    ++n;
  EXPECT_EQ(n, 39u);
}

// MIT Kerberos loads as a version-2 library and its first known mechanism
// is Kerberos 5's standard identifier; no KDC is needed for that.
TEST(SncLoad, MitKerberos) {
  tovtest::ChildResult r = InChild(1, [] {
    const SNC_RC rc = SncPDLInit(0, "libgssapi_krb5.so.2", true);
    printf("%s\n", Describe(rc).c_str());
    SncPFreeAdapter(0);
    return 0;
  });
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_NE(r.out.find("rc=0|kind=GSS-API v2 library|type=2|mech=" + kKrb5Hex + "|prefix=krb5|best=3|over=100|"),
            std::string::npos)
      << r.out << r.err;
}

// The identifiers as MIT's gss_str_to_oid encodes them from their dotted
// forms.
TEST(SncLoad, ObjectIdentifiersMatchMit) {
  void* mit = dlopen("libgssapi_krb5.so.2", RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(mit, nullptr);
  auto strToOid = reinterpret_cast<OM_uint32 (*)(OM_uint32*, gss_buffer_t, gss_OID*)>(dlsym(mit, "gss_str_to_oid"));
  auto releaseOid = reinterpret_cast<OM_uint32 (*)(OM_uint32*, gss_OID*)>(dlsym(mit, "gss_release_oid"));
  ASSERT_TRUE(strToOid != nullptr && releaseOid != nullptr);
  auto printable = [](int i) {
    static SncAdapterInfo info[4];
    kSncBuiltins[i].init(&info[i], sizeof info[i]);
    return info[i].nameTypes[1];
  };
  const std::pair<const char*, const gss_OID_desc*> oids[] = {
      {"{ 1 3 5 1 5 2 }", &kSncBuiltins[0].mech},
      {"{ 1 2 840 113554 1 2 2 }", &kSncBuiltins[1].mech},
      {"{ 1 3 36 3 1 37 1 }", &kSncBuiltins[2].mech},
      {"{ 1 3 6 1 4 1 311 2 2 10 }", &kSncBuiltins[3].mech},
      {"{ 1 2 840 113554 1 2 1 1 }", &kSncNtUser},
      {"{ 1 2 840 113554 1 2 1 4 }", &kSncNtService},
      {"{ 1 3 6 1 5 6 4 }", &kSncNtExport},
      {"{ 1 2 840 113554 1 2 2 1 }", printable(0)},
      {"{ 1 2 840 113554 1 2 2 1 }", printable(1)},
      {"{ 1 3 36 3 1 38 1 }", printable(2)},
      {"{ 1 3 6 1 4 1 311 2 2 10 1 }", printable(3)},
  };
  for (const auto& [text, ours] : oids) {
    OM_uint32 minor = 0;
    gss_buffer_desc in = {strlen(text), const_cast<char*>(text)};
    gss_OID mitOid = GSS_C_NO_OID;
    ASSERT_EQ(strToOid(&minor, &in, &mitOid), GSS_S_COMPLETE) << text;
    EXPECT_EQ(Hex(static_cast<uint8_t*>(ours->elements), ours->length),
              Hex(static_cast<uint8_t*>(mitOid->elements), mitOid->length))
        << text;
    releaseOid(&minor, &mitOid);
  }
  dlclose(mit);
}

}  // namespace
