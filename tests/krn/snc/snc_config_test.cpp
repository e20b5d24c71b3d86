// SNC configuration, each case in a child process: environment values,
// profile file and parameter store with the program types' rows, the name
// of the GSS-API library from its four sources, one profile parameter, the
// profile file lookup, and the settings allowed before initialisation.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>

#include <map>
#include <string>
#include <vector>

#include "flat/weqparam.h"
#include "flat/weqparam_int.h"
#include "krn/snc/snc.h"
#include "krn/snc/snc_int.h"
#include "platform/profile.h"
#include "snc_test_util.h"

namespace {

using namespace snctest;
using tovtest::FromUtf8;

struct ConfigCase {
  const char* what;
  int progType;
  std::map<std::string, std::string> env;
  const char* profile;                           // file contents, or NULL for none
  std::map<std::string, std::string> store;      // command-line values of the store
  const char* userLib;                           // SncSetParam's value, or NULL
  std::string want;                              // the values as Values() prints them
  std::vector<std::string> trace;                // pieces of the trace
};

std::string Values(bool enabled) {
  char buf[1400];
  snprintf(buf, sizeof buf, "wm=%d life=%u min=%d max=%d use=%d on=%d lib=%s src=%d", gSnc.refWatermark,
           gSnc.ctxLifetime, gSnc.qopMin, gSnc.qopMax, gSnc.qopUse, enabled ? 1 : 0, gSnc.libName, gSnc.libSource);
  return buf;
}

TEST(SncConfig, EnvironmentProfileAndStore) {
  const std::string dflt = "lib=libgssapi_krb5.so.2 src=1";
  const ConfigCase cases[] = {
      {"defaults", 0, {}, nullptr, {}, nullptr, "wm=600 life=4294967295 min=2 max=3 use=3 on=1 " + dflt, {}},
      {"watermark below 600", 0, {{"SNC_REF_WATERMARK", "300"}}, nullptr, {}, nullptr, "wm=600 ",
       {"SncInit(): security context refresh watermark at 00h 10m 00s\n"}},
      {"watermark capped", 0, {{"SNC_REF_WATERMARK", "30000"}}, nullptr, {}, nullptr, "wm=21600 ",
       {"refresh watermark at 06h 00m 00s\n"}},
      {"watermark taken", 0, {{"SNC_REF_WATERMARK", "5000"}, {"SNC_CTX_LIFETIME", "100"}}, nullptr, {}, nullptr,
       "wm=5000 life=5010 ", {"will ask for security context lifetime 01h 23m 30s\n"}},
      {"lifetime above the floor", 0, {{"SNC_CTX_LIFETIME", "100"}}, nullptr, {}, nullptr, "wm=600 life=610 ",
       {"lifetime 00h 10m 10s\n"}},
      {"lifetime negative", 0, {{"SNC_CTX_LIFETIME", "-5"}}, nullptr, {}, nullptr, "wm=600 life=4294967295 ",
       {"will ask for security context lifetime indefinite\n"}},
      {"lifetime of the mechanism", 0, {{"SNC_CTX_LIFETIME", "0"}}, nullptr, {}, nullptr, "wm=600 life=0 ",
       {"lifetime mechanism default\n"}},
      {"QOP 2", 0, {{"SNC_QOP", "2"}}, nullptr, {}, nullptr, "wm=600 life=4294967295 min=2 max=3 use=2 ",
       {"SncInit(): from environment SNC_QOP=2 (Integrity Level)\n"}},
      {"QOP 1", 0, {{"SNC_QOP", "1"}}, nullptr, {}, nullptr, "min=1 max=3 use=1 ", {"(Authentication Level)"}},
      {"QOP 7 ignored", 0, {{"SNC_QOP", "7"}}, nullptr, {}, nullptr, "min=2 max=3 use=3 ", {}},
      {"store rows before SNC_QOP", 9, {{"SNC_QOP", "1"}}, nullptr, {}, nullptr, "min=2 max=3 use=3 on=1",
       {"SncInit():   found snc/data_protection/min=2, using 2 (Integrity)\n",
        "SncInit():   found snc/data_protection/use=9, using 3 (Privacy)\n"}},
      {"store values", 9, {}, nullptr,
       {{"snc/data_protection/max", "2"}, {"snc/data_protection/min", "3"}, {"snc/data_protection/use", "1"}}, nullptr,
       "min=2 max=2 use=2 ", {"SncInit():   found snc/data_protection/max=2, using 2 (Integrity)\n"}},
      {"profile min above max", 9, {}, "[snc]\ndata_protection/min = 3\ndata_protection/max = 2\n", {}, nullptr,
       "min=2 max=2 use=2 ", {}},
      {"profile without values takes SNC_QOP", 9, {{"SNC_QOP", "1"}}, "[snc]\n", {}, nullptr, "min=1 max=3 use=1 ",
       {"missing snc/data_protection/use=1, using 1 (Open)\n"}},
      {"profile max out of range", 9, {}, "[SNC]\nDATA_PROTECTION/MAX=7\ndata_protection/use=void\n", {}, nullptr,
       "min=2 max=3 use=3 ", {}},
      {"profile max below 1", 9, {}, "[snc]\ndata_protection/max=0\n", {}, nullptr, "min=1 max=1 use=1 ", {}},
      {"enable missing", 3, {}, "[snc]\ndata_protection/max=1\n", {}, nullptr, "min=2 max=3 use=3 on=0 ",
       {"SncInit(): snc/enable=0, external security disabled\n"}},
      {"enabled", 3, {}, "[snc]\nenable=1\ndata_protection/max=1\ngssapi_lib=/opt/pf.so\n", {}, nullptr,
       "min=1 max=1 use=1 on=1 lib=/opt/pf.so src=3", {"SncInit(): found  snc/gssapi_lib=/opt/pf.so\n"}},
      {"enable from the store", 6, {}, nullptr, {{"snc/enable", "1"}}, nullptr, "on=1 " + dflt, {}},
      {"SNC_LIB", 0, {{"SNC_LIB", "/opt/env.so"}}, nullptr, {}, nullptr, "lib=/opt/env.so src=2",
       {"SncInit(): Trying environment variable SNC_LIB as a\n      gssapi library name: \"/opt/env.so\".\n"}},
      {"profile name over SNC_LIB", 9, {{"SNC_LIB", "/opt/env.so"}}, "[snc]\ngssapi_lib = \"/opt/pf.so\"\n", {},
       nullptr, "lib=/opt/pf.so src=3", {"Trying profile parameter snc/gssapi_lib as a"}},
      {"empty profile name keeps SNC_LIB", 0, {{"SNC_LIB", "/opt/env.so"}}, nullptr, {{"snc/gssapi_lib", ""}}, nullptr,
       "lib=/opt/env.so src=2", {}},
      {"store name", 0, {}, nullptr, {{"snc/gssapi_lib", "/opt/store.so"}}, nullptr, "lib=/opt/store.so src=3", {}},
      {"user name over all", 9, {{"SNC_LIB", "/opt/env.so"}}, "[snc]\ngssapi_lib=/opt/pf.so\n", {}, "/opt/user.so",
       "lib=/opt/user.so src=4", {"Trying user/application supplied as a"}},
      {"expected in the profile", 1, {}, nullptr, {}, nullptr, dflt,
       {"SncInit(): snc/gssapi_lib UNDEFINED in profile!\n      YOU DEFINITELY SHOULD SET snc/gssapi_lib !!\n"}},
      {"expected and found", 7, {}, nullptr, {{"snc/gssapi_lib", "/opt/gw.so"}}, nullptr, "lib=/opt/gw.so src=3",
       {"SncInit(): found  snc/gssapi_lib=/opt/gw.so\n"}},
  };
  for (const ConfigCase& c : cases) {
    SCOPED_TRACE(c.what);
    tovtest::TempDir tmp;
    tovtest::ChildResult r = InChild(4, [&] {
      for (const char* v : {"SNC_REF_WATERMARK", "SNC_CTX_LIFETIME", "SNC_QOP", "SNC_LIB"}) unsetenv(v);
      for (const auto& [k, v] : c.env) setenv(k.c_str(), v.c_str(), 1);
      weqparamIReset();
      weqparamQuiet();
      for (const auto& [k, v] : c.store) weqparamIAddArg(FromUtf8(k).c_str(), FromUtf8(v).c_str());
      if (c.profile != nullptr) {
        tovtest::WriteFile(tmp.File("snc.ini"), c.profile);
        snprintf(gSnc.profileFile, sizeof gSnc.profileFile, "%s", tmp.File("snc.ini").c_str());
      }
      if (c.userLib != nullptr && SncSetParam(SNC_PARAM_GSSAPI_LIB, c.userLib, 0) != WEQ_O_K) return 1;
      bool enabled = true;
      SncIReadEnvConfig();
      if (c.progType != 0) SncIReadProfileConfig(c.progType, &enabled);
      SncIChooseLibName(c.progType);
      printf("%s\n", Values(enabled).c_str());
      return 0;
    });
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find(c.want), std::string::npos) << r.out;
    for (const std::string& piece : c.trace) EXPECT_NE(Untagged(r.err).find(piece), std::string::npos) << piece << "\n" << r.err;
  }
}

// One parameter: text, number and whether it is the default, from the
// profile file ("void" means not set) and from the store; the text is cut
// to 254 bytes; a NULL default is traced and read as empty.
TEST(SncConfig, ProfileParam) {
  struct Case {
    const char* key;
    const char* dflt;
    std::string want;
  };
  const std::string longValue(300, 'v');
  const Case cases[] = {
      {"num", "5", "custom| 12x|12"},    {"neg", "5", "custom|-3|-3"},     {"word", "5", "custom|abc|0"},
      {"void", "7", "default|7|7"},       {"absent", "+8", "default|+8|8"}, {"absent", nullptr, "default||0"},
      {"long", "", "custom|" + std::string(253, 'v') + "|0"},
  };
  tovtest::TempDir tmp;
  tovtest::WriteFile(tmp.File("p.ini"), "[other]\nnum=99\n[snc]\nnum=\" 12x\"\nneg=-3\nword=abc\nvoid=void\nlong=" +
                                            longValue + "\n");
  tovtest::ChildResult r = InChild(4, [&] {
    snprintf(gSnc.profileFile, sizeof gSnc.profileFile, "%s", tmp.File("p.ini").c_str());
    for (const Case& c : cases) {
      bool isDefault = false;
      char text[255];
      int n = -1;
      SncIProfileParam("snc", c.key, c.dflt, &isDefault, text, &n);
      printf("%s|%s|%d\n", isDefault ? "default" : "custom", text, n);
    }
    // The store: a value of the store counts as custom, whether set or the
    // row's default; a parameter the store lacks takes the caller's.
    gSnc.profileFile[0] = 0;
    weqparamIReset();
    weqparamQuiet();
    weqparamIAddArg(u"snc/enable", u"1");
    for (const char* key : {"enable", "data_protection/use", "no_such_key"}) {
      bool isDefault = false;
      char text[255];
      int n = -1;
      SncIProfileParam("snc", key, "4", &isDefault, text, &n);
      printf("%s|%s|%d\n", isDefault ? "default" : "custom", text, n);
    }
    return 0;
  });
  ASSERT_EQ(r.exit_code, 0) << r.err;
  std::string want;
  for (const Case& c : cases) want += c.want + "\n";
  want += "custom|1|1\ncustom|9|9\ndefault|4|4\n";
  EXPECT_EQ(r.out, want);
  EXPECT_NE(r.err.find("SncIProfileParam(): p_default = (NULL) !?"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("  <<- SncIProfileParam(): (custom) snc/neg = \"-3\" value=-3\n"), std::string::npos) << r.err;
}

// The profile file lookup: sections and keys without regard to case,
// blanks and one pair of quotes removed, comments and other sections
// skipped, the first match wins, the value cut to the buffer, and the
// caller's default for whatever is missing.
TEST(SncConfig, ProfileFileLookup) {
  tovtest::TempDir tmp;
  const std::string file = tmp.File("f.ini");
  tovtest::WriteFile(file,
                     "; comment\nkey=outside\n[First]\nkey = one \n# key=comment\n[ second ]\nKEY\t=\t'two'\n"
                     "key=again\nempty=\nquote=\"a'\nnoequals\n[third\nkey=broken-section\n");
  struct Case {
    const char* section;
    const char* key;
    const char* dflt;
    size_t size;
    const char* file;
    std::string want;
  };
  const Case cases[] = {
      {"first", "key", "d", 64, file.c_str(), "one"},     {"SECOND", "key", "d", 64, file.c_str(), "two"},
      {"second", "empty", "d", 64, file.c_str(), ""},     {"second", "quote", "d", 64, file.c_str(), "\"a'"},
      {"second", "missing", "d", 64, file.c_str(), "d"},  {"nosuch", "key", "d", 64, file.c_str(), "d"},
      {"second", "noequals", "d", 64, file.c_str(), "d"}, {"first", "key", "d", 3, file.c_str(), "on"},
      {"first", "key", nullptr, 64, "/nonexistent/f.ini", ""}, {"first", "key", "dflt", 3, nullptr, "df"},
  };
  for (const Case& c : cases) {
    char buf[64];
    EXPECT_EQ(PlatProfileGetString(c.section, c.key, c.dflt, buf, c.size, c.file), c.want.size()) << c.key;
    EXPECT_EQ(std::string(buf), c.want) << c.section << "/" << c.key;
  }
  char one = 'x';
  EXPECT_EQ(PlatProfileGetString("first", "key", "d", &one, 0, file.c_str()), 0u);
  EXPECT_EQ(one, 'x');
}

// A physical line longer than one read stays one line: the tail of a long
// comment or of a long value is never read as an entry of its own, and a
// long value is cut to the buffer.
TEST(SncConfig, ProfileFileLongLines) {
  tovtest::TempDir tmp;
  const std::string file = tmp.File("long.ini");
  // Each tail starts where a read of 4095 bytes ends.
  const std::string pad(4093, 'x');
  tovtest::WriteFile(file, "[s]\n; " + pad + "key=from-comment\nbig = " + pad.substr(4) +
                               "key=from-value\n; " + pad + "[t]\nkey2=s-value\n");
  char buf[64];
  EXPECT_EQ(PlatProfileGetString("s", "key", "d", buf, sizeof buf, file.c_str()), 1u);
  EXPECT_EQ(std::string(buf), "d");
  EXPECT_EQ(PlatProfileGetString("s", "big", "d", buf, 8, file.c_str()), 7u);
  EXPECT_EQ(std::string(buf), "xxxxxxx");
  EXPECT_EQ(PlatProfileGetString("s", "key2", "d", buf, sizeof buf, file.c_str()), 7u);
  EXPECT_EQ(std::string(buf), "s-value");
  EXPECT_EQ(PlatProfileGetString("t", "key2", "d", buf, sizeof buf, file.c_str()), 1u);
}

// The library name may be set before initialisation only; other parameter
// numbers are unknown; the 16-bit form narrows each unit; an empty value
// forgets the name.
TEST(SncConfig, SetParam) {
  tovtest::ChildResult r = InChild(1, [] {
    std::vector<int> rc;
    rc.push_back(SncSetParam(2, "x", 0));
    rc.push_back(SncSetParam(SNC_PARAM_GSSAPI_LIB, "/opt/a.so-and-more", 9));
    std::string a = gSnc.userLib;
    rc.push_back(SncSetParamU16(SNC_PARAM_GSSAPI_LIB, u"/opt/\u0162.so", 0));
    std::string b = gSnc.userLib;
    std::u16string longName(1500, u'n');
    rc.push_back(SncSetParamU16(SNC_PARAM_GSSAPI_LIB, longName.c_str(), 0));
    size_t longLen = strlen(gSnc.userLib);
    rc.push_back(SncSetParam(SNC_PARAM_GSSAPI_LIB, "", 0));
    std::string c = gSnc.userLib;
    gSnc.initialized = true;
    rc.push_back(SncSetParam(SNC_PARAM_GSSAPI_LIB, "/opt/late.so", 0));
    rc.push_back(SncSetParamU16(SNC_PARAM_GSSAPI_LIB, u"/opt/late.so", 0));
    rc.push_back(SncSetParamU16(3, nullptr, 0));
    for (int v : rc) printf("%d ", v);
    printf("|%s|%s|%zu|%s|%s\n", a.c_str(), b.c_str(), longLen, c.c_str(), gSnc.userLib);
    return 0;
  });
  // A unit above 0xFF has no byte: the name is refused and the earlier one
  // stays.
  EXPECT_EQ(r.out, "-32 0 -44 0 0 -33 -33 -32 |/opt/a.so|/opt/a.so|1024||\n") << r.err;
  EXPECT_NE(r.err.find("<<- ERROR: SncSetParam()==SNCERR_PARAM_DENIED"), std::string::npos) << r.err;
}

}  // namespace

namespace {

// The SNC trace: each entry formatted as 8-bit text of at most 1023
// characters (a cut one still ends its line) and widened byte by byte (a Latin-1 byte shows as its
// character in the UTF-8 file); error lines carry the module and line; the
// entries go to the handle SncSetTraceFile named, standard error before.
TEST(SncConfig, TraceLines) {
  tovtest::TempDir tmp;
  const std::string file = tmp.File("snc.trc");
  tovtest::ChildResult r = InChild(1, [&] {
    SncPTrc("before the handle\n");
    FILE* f = fopen(file.c_str(), "w");
    if (f == nullptr || SncSetTraceFile(f) != WEQ_O_K) return 1;
    SncPTrc("%s|\n", std::string(1100, 'a').c_str());
    SncPTrc("caf\xe9 %d\n", 42);
    SncPTrcErr("sncxxpar", 7, "boom %s\n", "here");
    SncPTrcErr("a-very-long-module", 12345, "long");
    fflush(f);
    return 0;
  });
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(Untagged(r.err).find("before the handle\n"), std::string::npos) << r.err;
  const std::string got = Untagged(tovtest::ReadFile(file));
  EXPECT_NE(("\n" + got).find("\n" + std::string(1022, 'a') + "\n"), std::string::npos) << got.substr(0, 200);
  EXPECT_EQ(got.find(std::string(1023, 'a')), std::string::npos);
  EXPECT_NE(got.find("caf\xc3\xa9 42\n"), std::string::npos) << got;
  EXPECT_NE(got.find("*** ERROR => boom here [sncxxpar     7]\n"), std::string::npos) << got;
  EXPECT_NE(got.find("*** ERROR => long [a-very-lon 12345]\n"), std::string::npos) << got;
}

}  // namespace
