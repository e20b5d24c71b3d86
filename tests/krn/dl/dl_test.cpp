// Dynamic library loader: real libraries (the Kerberos GSS-API library with
// every gss_ symbol that nm lists, libm's cos called through the pointer),
// the slot table's limits, handles that name no library, path limits and
// forms, and the error information and trace lines of failures. Each test
// unloads what it loaded, so every slot is free between tests.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <link.h>
#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "krn/dl/dl.h"
#include "krn/dl/dl_int.h"
#include "krn/dptrc/dptrc.h"
#include "krn/dptrc/err.h"
#include "krn/thr/thr.h"
#include "support/testsupport.h"

namespace {

using tovtest::FromUtf8;
using tovtest::ToUtf8;
using Rcs = std::vector<int32_t>;  // results of calls in order

void Dummy() {}
// An address that no lookup returns: a failed lookup must leave it alone.
const DL_FUNC kUntouched = &Dummy;

// The file that the system loader uses for name, as the system loader says.
std::string SystemFile(const char* name) {
  void* h = dlopen(name, RTLD_NOW | RTLD_LOCAL);
  struct link_map* map = nullptr;
  std::string file = h != nullptr && dlinfo(h, RTLD_DI_LINKMAP, &map) == 0 ? map->l_name : "";
  if (h != nullptr) dlclose(h);
  return file;
}

class DlTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ThrProcInit(); }
};

TEST_F(DlTest, GssapiLibraryResolvesEverySymbolNmLists) {
  DL_HDL hdl = 77;
  ASSERT_EQ(DlLoadLib(u"libgssapi_krb5.so.2", &hdl), DL_OK);
  void* own = dlopen("libgssapi_krb5.so.2", RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(own, nullptr) << "the loader's load did not stay";
  FILE* p = popen(("nm -D --defined-only " + SystemFile("libgssapi_krb5.so.2")).c_str(), "r");
  ASSERT_NE(p, nullptr);
  char line[512], sym[400];
  int n = 0;
  while (fgets(line, sizeof line, p) != nullptr) {
    if (sscanf(line, "%*s %*s %399[^@\n]", sym) != 1 || strncmp(sym, "gss_", 4) != 0) continue;
    DL_FUNC f = nullptr;
    ++n;
    ASSERT_EQ(DlLoadFunc(hdl, FromUtf8(sym).c_str(), &f), DL_OK) << sym;
    EXPECT_EQ(reinterpret_cast<void*>(f), dlsym(own, sym)) << sym;
  }
  EXPECT_EQ(pclose(p), 0);
  EXPECT_GE(n, 40) << "nm listed too few gss_ symbols";
  DL_FUNC f = kUntouched;
  EXPECT_EQ(DlLoadFunc(hdl, u"gss_no_such_function_anywhere", &f), DLENOACCESS);
  EXPECT_EQ(f, kUntouched);
  dlclose(own);
  EXPECT_EQ(DlUnloadLib(&hdl), DL_OK);
  EXPECT_EQ(hdl, DL_HDL_NONE);
}

// 32 libraries fit, each resolving a cos that gives libm's results; the 33rd
// finds no slot (before its path is looked at) and leaves the handle at -1;
// a freed slot is the next one taken.
TEST_F(DlTest, ThirtyTwoSlotsLowestFreeFirst) {
  std::vector<DL_HDL> hdls(DL_MAX_LIBS);
  for (int i = 0; i < DL_MAX_LIBS; ++i) {
    ASSERT_EQ(DlLoadLib(u"libm.so.6", &hdls[i]), DL_OK) << i;
    EXPECT_EQ(hdls[i], i);
  }
  DL_HDL extra = 55;
  EXPECT_EQ((Rcs{DlLoadLib(u"libm.so.6", &extra), extra, DlLoadLib(u"", &extra)}),
            (Rcs{DLEOVERFLOW, DL_HDL_NONE, DLEOVERFLOW}));
  EXPECT_EQ((Rcs{DlUnloadLib(&hdls[7]), DlUnloadLib(&hdls[3]), DlLoadLib(u"libm.so.6", &hdls[3]), hdls[3],
                 DlLoadLib(u"libm.so.6", &hdls[7]), hdls[7]}),
            (Rcs{DL_OK, DL_OK, DL_OK, 3, DL_OK, 7}));
  for (DL_HDL& h : hdls) {
    DL_FUNC f = nullptr;
    ASSERT_EQ(DlLoadFunc(h, u"cos", &f), DL_OK) << h;
    for (double x : {0.5, -2.25, 3.141592653589793, 1e6}) {
      EXPECT_EQ(reinterpret_cast<double (*)(double)>(f)(x), std::cos(x)) << x;
    }
    EXPECT_EQ(DlUnloadLib(&h), DL_OK);
  }
}

// Paths up to 99 units load; longer, empty, NULL and unconvertible ones are
// refused before the system sees them.
TEST_F(DlTest, PathLimitsAndForms) {
  const std::string file = SystemFile("libm.so.6");
  ASSERT_FALSE(file.empty());
  // Repeated slashes name the same directory, so the path grows unit by unit.
  auto padded = [&](size_t len) { return FromUtf8(std::string(file).insert(file.rfind('/'), len - file.size(), '/')); };
  std::string back = file;
  std::replace(back.begin(), back.end(), '/', '\\');
  tovtest::TempDir tmp;
  const std::string link = tmp.File("libm-\xC3\xA9\xE2\x82\xAC.so");
  ASSERT_EQ(symlink(file.c_str(), link.c_str()), 0);
  const std::pair<std::u16string, int32_t> cases[] = {
      {padded(99), DL_OK}, {padded(100), DLEINVAL}, {padded(180), DLEINVAL},
      {FromUtf8(back), DL_OK},  // a backslash stands for a slash
      {FromUtf8(link), DL_OK},  // beyond ASCII, the file system sees UTF-8
      {FromUtf8(std::string(99 - 12, '/') + "nothere.so.1"), DLENOACCESS},
      {u"", DLEINVAL}, {u"libm.so.6\xD800", DLEINVAL},  // a lone surrogate names no file
  };
  for (const auto& [path, want] : cases) {
    DL_HDL hdl = 9;
    DL_FUNC f = nullptr;
    EXPECT_EQ(DlLoadLib(path.c_str(), &hdl), want) << ToUtf8(path);
    if (want == DL_OK) {
      EXPECT_EQ((Rcs{DlLoadFunc(hdl, u"cos", &f), DlUnloadLib(&hdl)}), (Rcs{DL_OK, DL_OK})) << ToUtf8(path);
    } else {
      EXPECT_EQ(hdl, DL_HDL_NONE) << ToUtf8(path);
    }
  }
  DL_HDL hdl = 9;
  EXPECT_EQ((Rcs{DlLoadLib(nullptr, &hdl), hdl, DlLoadLib(u"libm.so.6", nullptr)}), (Rcs{DLEINVAL, -1, DLEINVAL}));
}

// A handle is valid only while its slot holds a library: free slots (also
// those that never held one), -1 and numbers beyond the table are refused,
// and so is a second unload. A refused unload keeps the library usable.
TEST_F(DlTest, HandlesThatNameNoLibrary) {
  auto refused = [](DL_HDL h) {
    DL_FUNC f = kUntouched;
    DL_HDL u = h;
    return DlLoadFunc(h, u"printf", &f) == DLEINVAL && f == kUntouched && DlUnloadLib(&u) == DLEINVAL && u == h;
  };
  for (DL_HDL h : {-2, -1, 0, 1, 17, 31, 32, 1000}) EXPECT_TRUE(refused(h)) << h;
  DL_HDL hdl;
  ASSERT_EQ(DlLoadLib(u"libm.so.6", &hdl), DL_OK);
  const DL_HDL kept = hdl;
  DL_FUNC f = kUntouched;
  EXPECT_EQ((Rcs{DlLoadFunc(hdl, nullptr, &f), DlLoadFunc(hdl, u"", &f), DlLoadFunc(hdl, u"cos", nullptr),
                 DlLoadFunc(hdl, std::u16string(300, u'x').c_str(), &f), DlUnloadLib(nullptr)}),
            (Rcs{DLEINVAL, DLEINVAL, DLEINVAL, DLEINVAL, DLEINVAL}));
  EXPECT_EQ(f, kUntouched);
  DlITestSetUnload([](void*) { return -1; });
  EXPECT_EQ((Rcs{DlUnloadLib(&hdl), hdl}), (Rcs{DLEUNLOAD, kept}));
  DlITestSetUnload(nullptr);
  EXPECT_EQ((Rcs{DlLoadFunc(hdl, u"cos", &f), DlUnloadLib(&hdl), hdl, DlUnloadLib(&hdl)}),
            (Rcs{DL_OK, DL_OK, DL_HDL_NONE, DLEINVAL}));
  EXPECT_TRUE(refused(kept));
  // Names of the codes; any other value has none.
  const std::pair<int32_t, const char*> names[] = {{DL_OK, "WEQ_O_K"},         {DLENOACCESS, "DLENOACCESS"},
                                                   {DLEINVAL, "DLEINVAL"},     {DLEOVERFLOW, "DLEOVERFLOW"},
                                                   {DLEUNLOAD, "DLEUNLOAD"},   {-1, "(none)"}, {1, "(none)"}};
  for (const auto& [rc, name] : names) {
    EXPECT_EQ(DlErrName(rc) ? ToUtf8(DlErrName(rc)) : "(none)", name) << rc;
  }
}

// The error information of a failed load names the component, the call, the
// path, the error number and the system loader's own message for that path;
// a percent sign in the path stays as it is.
TEST_F(DlTest, FailedLoadRecordsErrorInformation) {
  tovtest::TempDir tmp;
  const std::string notElf = tmp.File("not-a-library.so");
  tovtest::WriteFile(notElf, "just text\n");
  const std::pair<std::string, int> cases[] = {
      {"/nonexistent-dir/100%s%d%%/lib.so", 2},
      {"libnothing-at-all.so.4", 2},
      {"/nonexistent-dir/" + std::string(99 - 17 - 3, 'x') + ".so", 2},  // the longest path
      {notElf, 0},
  };
  for (const auto& [path, err] : cases) {
    ASSERT_EQ(dlopen(path.c_str(), RTLD_NOW), nullptr);
    const std::string sys = dlerror();
    ErrClear();
    DL_HDL hdl = 5;
    EXPECT_EQ((Rcs{DlLoadLib(FromUtf8(path).c_str(), &hdl), hdl, ErrIsSet()}), (Rcs{DLENOACCESS, DL_HDL_NONE, 1}));
    const std::pair<int, std::string> fields[] = {
        {2, "DlLoadLib()==DLENOACCESS"}, {3, "-2"}, {4, "DL (Dynamic Loader)"}, {6, "4"}, {7, "dlnt"},
        {9, "dlopen(\"" + path + "\")\n  Error " + std::to_string(err) + " = \"" + sys + "\""}};
    for (const auto& [n, want] : fields) EXPECT_EQ(ToUtf8(ErrGetFld(n)), want) << n << " " << path;
  }
}

// Trace lines at the levels that carry them, read from standard error; each
// carries the thread's tag in front.
TEST(DlTrace, LinesOfSuccessAndFailure) {
  tovtest::ChildResult r = tovtest::RunInChild([] {
    ThrProcInit();
    CTrcLevel = 3;
    DL_HDL hdl, none = DL_HDL_NONE;
    DL_FUNC f;
    DlLoadLib(u"libm.so.6", &hdl);
    DlLoadFunc(hdl, u"no_such_fn", &f);
    DlUnloadLib(&hdl);
    DlUnloadLib(&none);
    DlLoadLib(u"/nonexistent-dir/lib%x.so", &hdl);
    CTrcLevel = 1;  // no line for success
    DlLoadLib(u"libm.so.6", &hdl);
    DlUnloadLib(&hdl);
    return 0;
  });
  const std::string lines[] = {
      "] DlLoadLib success: dlopen(\"libm.so.6\"), hdl 0, addr ",
      "]     using \"" + SystemFile("libm.so.6") + "\"\n",
      "] DlLoadFunc failed dlsym(\"no_such_fn\") from \"libm.so.6\"\n",
      "]         with error 0 = \"", "undefined symbol: no_such_fn\"\n",
      "] DlUnloadLib successful dlclose(\"libm.so.6\") hdl 0\n",
      "] *** ERROR => DlUnloadLib: invalid handle (-1) [dl.cpp",
      // The failure's text, escaped, goes on without a tag of its own.
      "] *** ERROR => DlLoadLib()==DLENOACCESS - dlopen(\"/nonexistent-dir/lib%%x.so\")\n"
      "  Error 2 = \"/nonexistent-dir/lib%%x.so: cannot open shared object file",
  };
  size_t at = 0;
  for (const std::string& line : lines) {
    at = r.err.find(line, at);
    ASSERT_NE(at, std::string::npos) << line << "\nin\n" << r.err;
  }
  EXPECT_EQ(r.err.find("success", at), std::string::npos) << r.err;
}

TEST(DlErrText, MessageWithoutLineBreaksCutToTheBuffer) {
  WEQ_UC buf[16];
  const struct {
    const char* text;
    size_t size;
    const char* want;  // NULL: no message
  } cases[] = {
      {"two\r\nlines\n", 16, "twolines"}, {"\n\r\n", 16, ""},
      {"caf\xC3\xA9 \xE2\x82\xAC", 16, "caf\xC3\xA9 \xE2\x82\xAC"},
      {"a much longer message than fits", 10, "a much lo"}, {"ab", 2, "a"}, {"ab", 1, nullptr}, {nullptr, 16, nullptr},
  };
  for (const auto& c : cases) {
    WEQ_UC* out = DlIGetErrText(buf, c.size, c.text);
    EXPECT_EQ(out ? ToUtf8(out) : "NULL", c.want ? c.want : "NULL") << c.size << " " << (c.text ? c.text : "");
  }
}

}  // namespace
