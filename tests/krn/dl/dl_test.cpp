// Dynamic library loader: real libraries (the Kerberos GSS-API library and
// every gss_ symbol nm lists, libm's cos called through the pointer), the
// slot table's limits, handles that are not valid, path limits and forms, the
// error information and the trace lines of failures.
//
// Each test unloads what it loaded, so the slot table is empty between
// tests; tests that need a fresh process run in a child.
#include <ctype.h>
#include <dlfcn.h>
#include <link.h>
#include <stdio.h>
#include <unistd.h>

#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "krn/dl/dl.h"
#include "krn/dl/dl_int.h"
#include "krn/dptrc/dptrc.h"
#include "krn/dptrc/err.h"
#include "krn/thr/thr.h"
#include "support/testsupport.h"

namespace {

using tovtest::FromUtf8;
using tovtest::ToUtf8;

// The file the system loader uses for name, read through the system
// loader itself; empty when it cannot load it.
std::string SystemFile(const char* name) {
  void* h = dlopen(name, RTLD_NOW | RTLD_LOCAL);
  if (h == nullptr) return "";
  struct link_map* map = nullptr;
  std::string file;
  if (dlinfo(h, RTLD_DI_LINKMAP, &map) == 0 && map != nullptr) file = map->l_name;
  dlclose(h);
  return file;
}

std::string Name(int32_t rc) {
  const WEQ_UC* n = DlErrName(rc);
  return n != nullptr ? ToUtf8(n) : "(none)";
}

void DummyFunction() {}
// An address that no lookup returns, to show that a failed lookup leaves
// the caller's variable alone.
const DL_FUNC kUntouched = &DummyFunction;

class DlTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ThrProcInit(); }
};

TEST_F(DlTest, GssapiLibraryResolvesEverySymbolNmLists) {
  DL_HDL hdl = 77;
  ASSERT_EQ(DlLoadLib(u"libgssapi_krb5.so.2", &hdl), DL_OK);
  ASSERT_GE(hdl, 0);
  ASSERT_LT(hdl, DL_MAX_LIBS);

  void* own = dlopen("libgssapi_krb5.so.2", RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(own, nullptr) << "the loader's load did not stay";
  struct link_map* map = nullptr;
  ASSERT_EQ(dlinfo(own, RTLD_DI_LINKMAP, &map), 0);
  std::string cmd = std::string("nm -D --defined-only ") + map->l_name;
  FILE* p = popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::vector<std::string> names;
  char line[512];
  while (fgets(line, sizeof line, p) != nullptr) {
    char addr[64], type[8], sym[400];
    if (sscanf(line, "%63s %7s %399s", addr, type, sym) != 3) continue;
    std::string s = sym;
    s = s.substr(0, s.find('@'));
    if (s.rfind("gss_", 0) == 0) names.push_back(s);
  }
  ASSERT_EQ(pclose(p), 0);
  ASSERT_GE(names.size(), 40u) << "nm listed too few gss_ symbols";

  for (const std::string& s : names) {
    DL_FUNC f = nullptr;
    ASSERT_EQ(DlLoadFunc(hdl, FromUtf8(s).c_str(), &f), DL_OK) << s;
    EXPECT_EQ(reinterpret_cast<void*>(f), dlsym(own, s.c_str())) << s;
  }
  DL_FUNC f = kUntouched;
  int32_t rc = DlLoadFunc(hdl, u"gss_no_such_function_anywhere", &f);
  EXPECT_EQ(rc, DLENOACCESS);
  EXPECT_EQ(Name(rc), "DLENOACCESS");
  EXPECT_EQ(f, kUntouched);

  dlclose(own);
  EXPECT_EQ(DlUnloadLib(&hdl), DL_OK);
  EXPECT_EQ(hdl, DL_HDL_NONE);
}

TEST_F(DlTest, CosFromLibmCalledThroughThePointer) {
  DL_HDL hdl;
  ASSERT_EQ(DlLoadLib(u"libm.so.6", &hdl), DL_OK);
  DL_FUNC f = nullptr;
  ASSERT_EQ(DlLoadFunc(hdl, u"cos", &f), DL_OK);
  auto cosFn = reinterpret_cast<double (*)(double)>(f);
  for (double x : {0.0, 0.5, 1.0, -2.25, 3.141592653589793, 1e6, -1e-300})
    EXPECT_EQ(cosFn(x), std::cos(x)) << x;
  EXPECT_EQ(DlUnloadLib(&hdl), DL_OK);
}

// 32 libraries fit; the 33rd finds no slot and leaves the handle at -1; a
// freed slot is the next one taken.
TEST_F(DlTest, ThirtyThirdLoadFindsNoSlot) {
  std::vector<DL_HDL> hdls(DL_MAX_LIBS);
  for (int i = 0; i < DL_MAX_LIBS; ++i) {
    ASSERT_EQ(DlLoadLib(u"libm.so.6", &hdls[i]), DL_OK) << i;
    EXPECT_EQ(hdls[i], i);  // the lowest free slot
  }
  DL_HDL extra = 55;
  int32_t rc = DlLoadLib(u"libm.so.6", &extra);
  EXPECT_EQ(rc, DLEOVERFLOW);
  EXPECT_EQ(Name(rc), "DLEOVERFLOW");
  EXPECT_EQ(extra, DL_HDL_NONE);
  // A full table is reported before a path that is wrong as well.
  EXPECT_EQ(DlLoadLib(u"", &extra), DLEOVERFLOW);

  ASSERT_EQ(DlUnloadLib(&hdls[7]), DL_OK);
  ASSERT_EQ(DlUnloadLib(&hdls[3]), DL_OK);
  DL_HDL again;
  ASSERT_EQ(DlLoadLib(u"libm.so.6", &again), DL_OK);
  EXPECT_EQ(again, 3);
  hdls[3] = again;
  ASSERT_EQ(DlLoadLib(u"libm.so.6", &again), DL_OK);
  EXPECT_EQ(again, 7);
  hdls[7] = again;

  // Every slot still resolves on its own.
  for (DL_HDL h : hdls) {
    DL_FUNC f = nullptr;
    EXPECT_EQ(DlLoadFunc(h, u"sqrt", &f), DL_OK) << h;
  }
  for (DL_HDL& h : hdls) EXPECT_EQ(DlUnloadLib(&h), DL_OK);
}

// Paths up to 99 units load; 100 units and more, empty and NULL paths are
// refused before the system sees them.
TEST_F(DlTest, PathLimitsAndForms) {
  std::string file = SystemFile("libm.so.6");
  ASSERT_FALSE(file.empty());
  size_t slash = file.rfind('/');
  std::string dir = file.substr(0, slash), base = file.substr(slash + 1);
  // Repeated slashes name the same directory, so the path grows unit by unit.
  auto padded = [&](size_t len) {
    std::string p = dir + "/" + base;
    p.insert(dir.size(), len - p.size(), '/');
    return p;
  };
  struct Case {
    std::u16string path;
    int32_t rc;
  } cases[] = {
      {FromUtf8(padded(99)), DL_OK},
      {FromUtf8(padded(100)), DLEINVAL},
      {FromUtf8(padded(180)), DLEINVAL},
      {FromUtf8(std::string(99 - 12, '/') + "nothere.so.1"), DLENOACCESS},
      {u"", DLEINVAL},
      {u"libm.so.6\xD800", DLEINVAL},  // a lone surrogate has no file name
  };
  for (const Case& c : cases) {
    DL_HDL hdl = 9;
    int32_t rc = DlLoadLib(c.path.c_str(), &hdl);
    EXPECT_EQ(rc, c.rc) << ToUtf8(c.path);
    if (rc == DL_OK) {
      EXPECT_EQ(DlUnloadLib(&hdl), DL_OK);
    } else {
      EXPECT_EQ(hdl, DL_HDL_NONE) << ToUtf8(c.path);
    }
  }
  DL_HDL hdl = 9;
  EXPECT_EQ(DlLoadLib(nullptr, &hdl), DLEINVAL);
  EXPECT_EQ(hdl, DL_HDL_NONE);
  EXPECT_EQ(DlLoadLib(u"libm.so.6", nullptr), DLEINVAL);
  EXPECT_EQ(Name(DLEINVAL), "DLEINVAL");

  // A backslash stands for a slash; a name beyond ASCII reaches the file
  // system as UTF-8.
  std::string back = file;
  for (char& ch : back)
    if (ch == '/') ch = '\\';
  tovtest::TempDir tmp;
  std::string link = tmp.File("libm-\xC3\xA9\xE2\x82\xAC.so");
  ASSERT_EQ(symlink(file.c_str(), link.c_str()), 0);
  for (const std::string& p : {back, link}) {
    ASSERT_LT(FromUtf8(p).size(), 100u) << p;
    ASSERT_EQ(DlLoadLib(FromUtf8(p).c_str(), &hdl), DL_OK) << p;
    DL_FUNC f = nullptr;
    EXPECT_EQ(DlLoadFunc(hdl, u"cos", &f), DL_OK) << p;
    EXPECT_EQ(DlUnloadLib(&hdl), DL_OK) << p;
  }
}

// A handle is valid only while its slot holds a library: -1, numbers beyond
// the table, a slot that was unloaded, and one unloaded twice are refused.
TEST_F(DlTest, HandlesThatNameNoLibrary) {
  DL_HDL hdl;
  ASSERT_EQ(DlLoadLib(u"libm.so.6", &hdl), DL_OK);
  DL_HDL kept = hdl;
  ASSERT_EQ(DlUnloadLib(&hdl), DL_OK);
  EXPECT_EQ(hdl, DL_HDL_NONE);
  EXPECT_EQ(DlUnloadLib(&hdl), DLEINVAL);  // -1
  DL_HDL stale = kept;
  EXPECT_EQ(DlUnloadLib(&stale), DLEINVAL);  // unloaded before
  EXPECT_EQ(stale, kept);
  for (DL_HDL h : {kept, DL_HDL(-1), DL_HDL(-2), DL_HDL(DL_MAX_LIBS), DL_HDL(1000)}) {
    DL_FUNC f = kUntouched;
    EXPECT_EQ(DlLoadFunc(h, u"cos", &f), DLEINVAL) << h;
    EXPECT_EQ(f, kUntouched) << h;
    DL_HDL u = h;
    EXPECT_EQ(DlUnloadLib(&u), DLEINVAL) << h;
  }
  EXPECT_EQ(DlUnloadLib(nullptr), DLEINVAL);

  ASSERT_EQ(DlLoadLib(u"libm.so.6", &hdl), DL_OK);
  DL_FUNC f = kUntouched;
  EXPECT_EQ(DlLoadFunc(hdl, nullptr, &f), DLEINVAL);
  EXPECT_EQ(DlLoadFunc(hdl, u"", &f), DLEINVAL);
  EXPECT_EQ(DlLoadFunc(hdl, std::u16string(300, u'x').c_str(), &f), DLEINVAL);
  EXPECT_EQ(f, kUntouched);
  EXPECT_EQ(DlLoadFunc(hdl, u"cos", nullptr), DLEINVAL);
  EXPECT_EQ(DlUnloadLib(&hdl), DL_OK);
}

// In a process that never loaded anything no slot is a library: slot 0 must
// not reach the system's global symbol lookup.
TEST(DlFresh, NeverLoadedSlotsAreNoHandles) {
  auto r = tovtest::RunInChild([] {
    ThrProcInit();
    int bad = 0;
    for (DL_HDL h = 0; h < DL_MAX_LIBS; ++h) {
      DL_FUNC f = kUntouched;
      if (DlLoadFunc(h, u"printf", &f) != DLEINVAL || f != kUntouched) ++bad;
      DL_HDL u = h;
      if (DlUnloadLib(&u) != DLEINVAL || u != h) ++bad;
    }
    return bad;
  });
  EXPECT_EQ(r.exit_code, 0) << r.err;
}

// A refused unload keeps the library usable under its handle.
TEST_F(DlTest, RefusedUnloadKeepsTheSlot) {
  DL_HDL hdl;
  ASSERT_EQ(DlLoadLib(u"libm.so.6", &hdl), DL_OK);
  DL_HDL kept = hdl;
  DlITestSetUnload([](void*) { return -1; });
  int32_t rc = DlUnloadLib(&hdl);
  DlITestSetUnload(nullptr);
  EXPECT_EQ(rc, DLEUNLOAD);
  EXPECT_EQ(Name(rc), "DLEUNLOAD");
  EXPECT_EQ(hdl, kept);
  DL_FUNC f = nullptr;
  EXPECT_EQ(DlLoadFunc(hdl, u"cos", &f), DL_OK);
  EXPECT_EQ(DlUnloadLib(&hdl), DL_OK);
}

// The error information of a failed load names the component, the call,
// the path and the error code; a percent sign in the path stays as it is.
TEST_F(DlTest, FailedLoadRecordsErrorInformation) {
  tovtest::TempDir tmp;
  std::string notElf = tmp.File("not-a-library.so");
  tovtest::WriteFile(notElf, "just text\n");
  struct Case {
    std::string path;
    unsigned long err;    // errno the system loader leaves
  } cases[] = {
      {"/nonexistent-dir/libnothing.so.1", 2},
      {"/nonexistent-dir/100%s%d%%/lib.so", 2},
      {"libnothing-at-all.so.4", 2},
      // The longest path, with its repetition in the system's message.
      {"/nonexistent-dir/" + std::string(99 - 17 - 3, 'x') + ".so", 2},
      {notElf, 0},
  };
  for (const Case& c : cases) {
    // The system loader's own message for the same path.
    ASSERT_EQ(dlopen(c.path.c_str(), RTLD_NOW), nullptr);
    std::string sys = dlerror();

    ErrClear();
    DL_HDL hdl = 5;
    int32_t rc = DlLoadLib(FromUtf8(c.path).c_str(), &hdl);
    EXPECT_EQ(rc, DLENOACCESS) << c.path;
    EXPECT_EQ(hdl, DL_HDL_NONE);
    ASSERT_TRUE(ErrIsSet()) << c.path;
    EXPECT_EQ(ToUtf8(ErrGetFld(2)), "DlLoadLib()==DLENOACCESS");
    EXPECT_EQ(ToUtf8(ErrGetFld(3)), "-2");
    EXPECT_EQ(ToUtf8(ErrGetFld(4)), "DL (Dynamic Loader)");
    EXPECT_EQ(ToUtf8(ErrGetFld(6)), "4");
    EXPECT_EQ(ToUtf8(ErrGetFld(7)), "dlnt");
    EXPECT_EQ(ToUtf8(ErrGetFld(9)), "dlopen(\"" + c.path + "\")\n  Error " +
                                        std::to_string(c.err) + " = \"" + sys + "\"");
  }
}

// Trace lines at the levels that carry them, read from standard error in a
// child process.
TEST(DlTrace, LinesOfSuccessAndFailure) {
  std::string libm = SystemFile("libm.so.6");
  auto r = tovtest::RunInChild([] {
    ThrProcInit();
    CTrcLevel = 3;
    DL_HDL hdl, none = DL_HDL_NONE;
    DlLoadLib(u"libm.so.6", &hdl);
    DL_FUNC f;
    DlLoadFunc(hdl, u"cos", &f);
    DlLoadFunc(hdl, u"no_such_fn", &f);
    DlLoadFunc(31, u"cos", &f);
    DlUnloadLib(&hdl);
    DlUnloadLib(&none);
    DlLoadLib(std::u16string(100, u'a').c_str(), &hdl);
    DlLoadLib(u"/nonexistent-dir/lib%x.so", &hdl);
    CTrcLevel = 1;
    DlLoadLib(u"libm.so.6", &hdl);
    DlUnloadLib(&hdl);
    return 0;
  });
  ASSERT_EQ(r.exit_code, 0);
  const std::string& t = r.err;
  auto has = [&t](const std::string& s) { return t.find(s) != std::string::npos; };
  std::string success = "DlLoadLib success: dlopen(\"libm.so.6\"), hdl 0, addr ";
  size_t at = t.find(success);
  ASSERT_NE(at, std::string::npos) << t;
  EXPECT_TRUE(isxdigit(static_cast<unsigned char>(t[at + success.size()]))) << t;
  EXPECT_TRUE(has("    using \"" + libm + "\"\n")) << t;
  EXPECT_TRUE(has("DlLoadFunc successful dlsym(\"cos\") from \"libm.so.6\"\n")) << t;
  EXPECT_TRUE(has("DlLoadFunc failed dlsym(\"no_such_fn\") from \"libm.so.6\"\n")) << t;
  EXPECT_TRUE(has("        with error 0 = \"")) << t;
  EXPECT_TRUE(has("undefined symbol: no_such_fn\"\n")) << t;
  EXPECT_TRUE(has("*** ERROR => DlLoadFunc: invalid handle (31) [dl.cpp")) << t;
  EXPECT_TRUE(has("DlUnloadLib successful dlclose(\"libm.so.6\") hdl 0\n")) << t;
  EXPECT_TRUE(has("*** ERROR => DlUnloadLib: invalid handle (-1) [dl.cpp")) << t;
  EXPECT_TRUE(has("*** ERROR => DlLoadLib: path too long (max 100) [dl.cpp")) << t;
  // The failure line carries the escaped text.
  EXPECT_TRUE(has("*** ERROR => DlLoadLib()==DLENOACCESS - dlopen(\"/nonexistent-dir/lib%%x.so\")\n"
                  "  Error 2 = \"/nonexistent-dir/lib%%x.so: cannot open shared object file")) << t;
  // At level 1 a successful load and unload leave no line.
  EXPECT_EQ(t.find("DlLoadLib success:"), t.rfind("DlLoadLib success:")) << t;
  EXPECT_EQ(t.find("DlUnloadLib successful"), t.rfind("DlUnloadLib successful")) << t;
}

TEST(DlErrText, MessageWithoutLineBreaksCutToTheBuffer) {
  WEQ_UC buf[16];
  struct Case {
    const char* text;
    size_t size;
    const char* expected;  // NULL: no message
  } cases[] = {
      {"plain", 16, "plain"},
      {"two\r\nlines\n", 16, "twolines"},
      {"\n\r\n", 16, ""},
      {"caf\xC3\xA9 \xE2\x82\xAC", 16, "caf\xC3\xA9 \xE2\x82\xAC"},
      {"a much longer message than fits", 10, "a much lo"},
      {"ab", 2, "a"},
      {"ab", 1, nullptr},
      {"ab", 0, nullptr},
      {nullptr, 16, nullptr},
  };
  for (const Case& c : cases) {
    WEQ_UC* out = DlIGetErrText(buf, c.size, c.text);
    if (c.expected == nullptr) {
      EXPECT_EQ(out, nullptr) << c.size;
    } else {
      ASSERT_EQ(out, buf) << c.text;
      EXPECT_EQ(ToUtf8(out), c.expected) << c.text;
    }
  }
  // Unknown codes have no name and print as numbers.
  for (int32_t rc : {-1, 1, -6, 32})
    EXPECT_EQ(DlErrName(rc), nullptr) << rc;
  EXPECT_EQ(Name(0), "WEQ_O_K");
}

}  // namespace
