// SNC names over the test GSS-API library: the printable syntax as a table,
// the canonical form built from the exported-name layout of RFC 2743,
// failures of every GSS call and odd display answers (each leaving the
// record empty and no GSS object behind), canonical input, comparison, and
// the same through MIT Kerberos with a configuration that names only a
// default realm.
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "krn/dptrc/err.h"
#include "krn/snc/snc_int.h"
#include "snc_test_util.h"

namespace {

using namespace snctest;
using tovtest::ToUtf8;

// The canonical form of a Kerberos 5 name: the adapter type 2, then the
// exported name 04 01, the DER mechanism identifier's length (11), 06 09
// and 1.2.840.113554.1.2.2, the name's length in four bytes and the name.
Bytes Canonical(const std::string& name) {
  Bytes b = {0x00, 0x02, 0x04, 0x01, 0x00, 0x0B, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x12, 0x01, 0x02, 0x02};
  const size_t n = name.size();
  for (int shift : {24, 16, 8, 0}) b.push_back(static_cast<uint8_t>(n >> shift));
  b.insert(b.end(), name.begin(), name.end());
  return b;
}

class SncNames : public ::testing::Test {
 protected:
  void SetUp() override {
    ThrProcInit();
    ctl_ = FakeCtl(SNC_FAKEGSS_V2);
    ASSERT_NE(ctl_, nullptr);
    ASSERT_EQ(SncPDLInit(0, SNC_FAKEGSS_V2, false), WEQ_O_K);
  }
  void TearDown() override {
    SncPClearName(&rec_);
    SncIResetGlobal();
    EXPECT_EQ(ctl_->liveSets, 0);
    ResetFakeCtl(ctl_);
  }
  // No GSS name or buffer is left behind.
  void ExpectNothingLive(const std::string& what) {
    EXPECT_EQ((std::vector<long>{ctl_->liveNames, ctl_->liveBuffers}), (std::vector<long>{0, 0})) << what;
  }
  FakeGssCtl* ctl_ = nullptr;
  SncSession s_{};
  SncName rec_{};
};

TEST_F(SncNames, PrintableSyntax) {
  struct Case {
    std::string text;
    size_t len;
    SNC_RC rc;
    std::string stored;
    int index;
  };
  const std::string n251(251, 'a'), n252(252, 'a');
  const Case cases[] = {
      {"  'p:alice'  ", 0, WEQ_O_K, "p:alice", 6},
      {"\t\" p: bob \"\r\n", 0, WEQ_O_K, "p: bob", 6},
      {"p/krb5:carol", 0, WEQ_O_K, "p:carol", 6},
      {"p/:carol", 0, WEQ_O_K, "p:carol", 6},
      {"u:user", 0, WEQ_O_K, "u:user", 2},
      {"s:host@server", 0, WEQ_O_K, "s:host@server", 4},
      {"p:abcdef", 4, WEQ_O_K, "p:ab", 6},
      {"p:" + n251, 0, WEQ_O_K, "p:" + n251, 6},
      {"p:" + n252, 0, SNCERR_NAME_TOO_LONG, "", 0},
      {"p/kerberos:carol", 0, SNCERR_UNKNOWN_MECH, "", 0},
      {"p/krb5carol", 0, SNCERR_BAD_MECH_PREFIX, "", 0},
      {"p/krb5:", 0, SNCERR_INVALID_NAME, "", 0},
      {"x:name", 0, SNCERR_INVALID_NAMETYPE, "", 0},
      {"n:name", 0, SNCERR_INVALID_NAMETYPE, "", 0},
      {"c:name", 0, SNCERR_INVALID_NAMETYPE, "", 0},
      {"P:name", 0, SNCERR_INVALID_NAMETYPE, "", 0},
      {"p", 0, SNCERR_BAD_NT_PREFIX, "", 0},
      {"", 0, SNCERR_BAD_NT_PREFIX, "", 0},
      {"  ' p '  ", 0, SNCERR_BAD_NT_PREFIX, "", 0},
      {"pp:x", 0, SNCERR_BAD_NT_PREFIX, "", 0},
      {"'p:x\"", 0, SNCERR_BAD_NT_PREFIX, "", 0},
  };
  for (const Case& c : cases) {
    strcpy(rec_.prName, "old");
    EXPECT_EQ(SncPImportPrName(c.text.c_str(), c.len, &rec_), c.rc) << c.text;
    EXPECT_EQ((std::vector<std::string>{rec_.prName, std::to_string(rec_.ntIndex)}),
              (std::vector<std::string>{c.stored, std::to_string(c.index)}))
        << c.text;
    if (c.rc != WEQ_O_K) {
      EXPECT_EQ(ToUtf8(ErrGetFld(ERR_FLD_ERROR)), SncErrName(c.rc));
      EXPECT_EQ(ToUtf8(ErrGetFld(ERR_FLD_DETAIL)).rfind("SncPImportPrName() parsing error\n\"", 0), 0u) << c.text;
    }
  }
  ExpectNothingLive("parsing");
}

// Printable names through the GSS-API: the canonical form and the printable
// form that the library displays.
TEST_F(SncNames, BothFormsThroughTheLibrary) {
  struct Case {
    std::string in;
    std::string pr, xpName;
  };
  const Case cases[] = {
      {"p:user", "p:user@TEST.REALM", "user@TEST.REALM"},
      {"u:bob@OTHER", "p:bob@OTHER", "bob@OTHER"},
      {"s:host@server", "p:host/server@TEST.REALM", "host/server@TEST.REALM"},
      {" 'p/krb5:carol' ", "p:carol@TEST.REALM", "carol@TEST.REALM"},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(SncPSetNewName(&s_, &rec_, c.in.c_str(), 0, false), WEQ_O_K) << c.in;
    EXPECT_EQ(std::string(rec_.prName), c.pr);
    EXPECT_EQ(Hex(rec_.xpName, rec_.xpLen), Hex(Canonical(c.xpName).data(), Canonical(c.xpName).size()));
    EXPECT_EQ(rec_.xpKind, SNC_XPNAME_EXPORTED);
    ExpectNothingLive(c.in);
    // The canonical form leads back to the same record.
    SncName again{};
    const Bytes xp(rec_.xpName, rec_.xpName + rec_.xpLen);
    ASSERT_EQ(SncPSetNewName(&s_, &again, reinterpret_cast<const char*>(xp.data()), xp.size(), true), WEQ_O_K);
    bool equal = false;
    EXPECT_EQ(SncPCompareNames(&rec_, &again, &equal), WEQ_O_K);
    EXPECT_TRUE(equal && strcmp(again.prName, rec_.prName) == 0) << again.prName;
    SncPClearName(&again);
    ExpectNothingLive(c.in + " again");
  }
  ctl_->display = kFakeDisplayUser;
  ASSERT_EQ(SncPSetNewName(&s_, &rec_, "p:user", 0, false), WEQ_O_K);
  EXPECT_EQ(std::string(rec_.prName), "u:user@TEST.REALM");
  // No name or an empty one clears the record.
  for (const char* none : {static_cast<const char*>(nullptr), ""}) {
    ASSERT_EQ(SncPSetNewName(&s_, &rec_, "p:user", 0, false), WEQ_O_K);
    EXPECT_EQ(SncPSetNewName(&s_, &rec_, none, 0, false), WEQ_O_K);
    EXPECT_TRUE(rec_.xpName == nullptr && rec_.prName[0] == 0);
  }
  ExpectNothingLive("display as user");
}

// Every failure leaves the record empty, records the name concerned and
// releases every GSS object taken so far.
TEST_F(SncNames, FailuresReleaseEverything) {
  struct Case {
    const char* what;
    void (*set)(FakeGssCtl*);
    Bytes in;
    bool canonical;
    SNC_RC rc;
    const char* detail;
  };
  const auto text = [](const char* s) { return Bytes(s, s + strlen(s)); };
  const Bytes good = Canonical("user@TEST.REALM");
  Bytes otherType = good;
  otherType[1] = 3;
  const Case cases[] = {
      {"import fails", [](FakeGssCtl* c) { c->failImport = 1; }, text("p:user"), false, SNCERR_GSSAPI,
       "Import of a name failed"},
      {"canonicalize fails", [](FakeGssCtl* c) { c->failCanon = 1; }, text("p:user"), false, SNCERR_GSSAPI,
       "Import of a name failed"},
      {"export fails", [](FakeGssCtl* c) { c->failExport = 1; }, text("p:user"), false, SNCERR_GSSAPI,
       "Export of a name failed"},
      {"no name type", [](FakeGssCtl* c) { c->display = kFakeDisplayNoOid; }, text("p:user"), false,
       SNCERR_STRANGE_GSSAPI, "Display of a name failed\n\"user@TEST.REALM\""},
      {"odd name type", [](FakeGssCtl* c) { c->display = kFakeDisplayOddOid; }, text("p:user"), false,
       SNCERR_STRANGE_GSSAPI, "Display of a name failed"},
      {"empty display", [](FakeGssCtl* c) { c->display = kFakeDisplayEmpty; }, text("p:user"), false,
       SNCERR_STRANGE_GSSAPI, "Display of a name failed"},
      {"exported name without the type", nullptr, {0x04, 0x01, 0x00, 0x0b}, false, SNCERR_UNKNOWN_MECH, nullptr},
      {"canonical of one byte", nullptr, {0x00}, true, SNCERR_INVALID_NAME, nullptr},
      {"canonical of another adapter", nullptr, otherType, true, SNCERR_UNKNOWN_MECH, nullptr},
      {"canonical the library refuses", nullptr, {0x00, 0x02, 0x04, 0x01, 0x00}, true, SNCERR_GSSAPI,
       "Import of a name failed"},
      {"canonical too long", nullptr, Bytes(1024, 0x00), true, SNCERR_NAME_TOO_LONG, nullptr},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(SncPSetNewName(&s_, &rec_, "p:before", 0, false), WEQ_O_K) << c.what;
    FakeGssCtl saved = *ctl_;
    if (c.set != nullptr) c.set(ctl_);
    Bytes in = c.in;
    if (std::string(c.what) == "canonical too long") in[1] = 2;
    EXPECT_EQ(SncPSetNewName(&s_, &rec_, reinterpret_cast<const char*>(in.data()), in.size(), c.canonical), c.rc)
        << c.what;
    EXPECT_TRUE(rec_.xpName == nullptr && rec_.xpLen == 0 && rec_.prName[0] == 0) << c.what;
    EXPECT_EQ(ToUtf8(ErrGetFld(ERR_FLD_ERROR)), SncErrName(c.rc)) << c.what;
    if (c.detail != nullptr) {
      EXPECT_NE(ToUtf8(ErrGetFld(ERR_FLD_DETAIL)).find(c.detail), std::string::npos)
          << c.what << ": " << ToUtf8(ErrGetFld(ERR_FLD_DETAIL));
    }
    const long names = ctl_->liveNames, buffers = ctl_->liveBuffers;
    *ctl_ = saved;
    ctl_->liveNames = names, ctl_->liveBuffers = buffers;
    ExpectNothingLive(c.what);
  }
}

// Canonical forms compare byte for byte; a record without one, or of
// another kind, cannot be compared.
TEST_F(SncNames, Compare) {
  SncName a{}, b{};
  ASSERT_EQ(SncPSetNewName(&s_, &a, "p:user", 0, false), WEQ_O_K);
  ASSERT_EQ(SncPSetNewName(&s_, &b, "p:user@TEST.REALM", 0, false), WEQ_O_K);
  bool equal = false;
  EXPECT_EQ((std::vector<int>{SncPCompareNames(&a, &b, &equal), equal}), (std::vector<int>{WEQ_O_K, 1}));
  ASSERT_EQ(SncPSetNewName(&s_, &b, "p:userx", 0, false), WEQ_O_K);
  EXPECT_EQ((std::vector<int>{SncPCompareNames(&a, &b, &equal), equal}), (std::vector<int>{WEQ_O_K, 0}));
  b.xpKind = 1;
  EXPECT_EQ((std::vector<int>{SncPCompareNames(&a, &b, &equal), equal}), (std::vector<int>{SNCERR_INTERNAL, 0}));
  SncName empty{};
  EXPECT_EQ(SncPCompareNames(&empty, &a, &equal), SNCERR_INTERNAL);
  SncPClearName(&a);
  SncPClearName(&b);
  ExpectNothingLive("compare");
}

// MIT Kerberos with a configuration that names only a default realm: the
// user's name gets the realm, and the canonical form is the one written
// above by hand.
TEST(SncNamesMit, DefaultRealm) {
  tovtest::TempDir tmp;
  tovtest::WriteFile(tmp.File("krb5.conf"), "[libdefaults]\n  default_realm = TEST.REALM\n");
  tovtest::ChildResult r = InChild(1, [&] {
    setenv("KRB5_CONFIG", tmp.File("krb5.conf").c_str(), 1);
    setenv("KRB5CCNAME", ("FILE:" + tmp.File("cc")).c_str(), 1);
    if (SncPDLInit(0, "libgssapi_krb5.so.2", false) != WEQ_O_K) return 1;
    SncSession s{};
    SncName rec{};
    const SNC_RC rc = SncPSetNewName(&s, &rec, "p:user", 0, false);
    printf("%d|%s|%s\n", rc, rec.prName, rec.xpName != nullptr ? Hex(rec.xpName, rec.xpLen).c_str() : "");
    SncName back{};
    const SNC_RC rc2 = SncPSetNewName(&s, &back, reinterpret_cast<const char*>(rec.xpName), rec.xpLen, true);
    printf("%d|%s\n", rc2, back.prName);
    SncPClearName(&rec);
    SncPClearName(&back);
    SncPFreeAdapter(0);
    return 0;
  });
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const Bytes xp = Canonical("user@TEST.REALM");
  EXPECT_EQ(r.out, "0|p:user@TEST.REALM|" + Hex(xp.data(), xp.size()) + "\n0|p:user@TEST.REALM\n") << r.err;
}

}  // namespace
