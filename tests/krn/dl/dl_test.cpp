// Dynamic library loader: the Kerberos GSS-API library with every gss_ symbol
// that nm lists, libm's cos called through the pointer, the slot table's
// limits, handles that name no library, path limits and forms, the error
// information of a failed load, and loads from several threads at once.
// Each test unloads what it loaded.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <thread>

#include "krn/dl/dl.h"
#include "krn/dl/dl_int.h"
#include "krn/dptrc/err.h"
#include "krn/thr/thr.h"
#include "support/testsupport.h"

namespace {

using namespace tovtest;
using Rcs = std::vector<int32_t>;  // results of calls in order
const DL_FUNC kUntouched = &abort;  // a failed lookup leaves it alone

// The file that the system loader took for the library holding sym.
std::string FileOf(void* sym) {
  Dl_info info;
  return sym != nullptr && dladdr(sym, &info) != 0 ? info.dli_fname : "";
}

// Loads path, calls libm's cos through the resolved address and unloads: the
// result of the load, or -100 when a later step fails.
int32_t LoadCallCos(const WEQ_UC* path) {
  DL_HDL hdl = 9;
  DL_FUNC f = nullptr;
  int32_t rc = DlLoadLib(path, &hdl);
  if (rc != DL_OK) return hdl == DL_HDL_NONE ? rc : -100;
  bool ok = DlLoadFunc(hdl, u"cos", &f) == DL_OK;
  ok = ok && reinterpret_cast<double (*)(double)>(f)(0.5) == cos(0.5);
  return DlUnloadLib(&hdl) == DL_OK && ok ? DL_OK : -100;
}

TEST(Dl, GssapiLibraryResolvesEverySymbolNmLists) {
  DL_HDL hdl;
  ASSERT_EQ(DlLoadLib(u"libgssapi_krb5.so.2", &hdl), DL_OK);
  void* own = dlopen("libgssapi_krb5.so.2", RTLD_NOW | RTLD_NOLOAD);  // the loader's load
  FILE* p = popen(("nm -D --defined-only " + FileOf(dlsym(own, "gss_init_sec_context"))).c_str(), "r");
  char line[512], sym[400];
  int n = 0;
  for (DL_FUNC f = nullptr; p != nullptr && fgets(line, sizeof line, p) != nullptr;) {
    if (sscanf(line, "%*s %*s %399[^@\n]", sym) != 1 || strncmp(sym, "gss_", 4) != 0) continue;
    const int32_t rc = DlLoadFunc(hdl, FromUtf8(sym).c_str(), &f);
    EXPECT_EQ((Rcs{rc, reinterpret_cast<void*>(f) == dlsym(own, sym)}), (Rcs{DL_OK, 1})) << sym;
    ++n;
  }
  EXPECT_TRUE(p != nullptr && pclose(p) == 0 && n >= 40) << n << " gss_ symbols";
  DL_FUNC f = kUntouched;
  EXPECT_EQ((Rcs{DlLoadFunc(hdl, u"gss_no_such_function", &f), f == kUntouched, DlUnloadLib(&hdl), hdl}),
            (Rcs{DLENOACCESS, 1, DL_OK, DL_HDL_NONE}));
  dlclose(own);
}

// 32 libraries fit and the 33rd finds no slot; a freed slot is the next one
// taken. Paths up to 99 units load; longer, empty, NULL and unconvertible
// ones are refused before the system sees them. The error information of a
// failed load names the component, the call, the path (a percent sign stays
// as it is), the error number and the system's message without line breaks.
TEST(Dl, SlotTableAndPaths) {
  std::vector<DL_HDL> hdls(DL_MAX_LIBS);
  for (DL_HDL& h : hdls) ASSERT_EQ(DlLoadLib(u"libm.so.6", &h), DL_OK);
  DL_HDL extra = 55;
  EXPECT_EQ((Rcs{hdls[31], DlLoadLib(u"libm.so.6", &extra), extra, DlUnloadLib(&hdls[7]),
                 DlUnloadLib(&hdls[3]), DlLoadLib(u"libm.so.6", &hdls[3]), hdls[3],
                 DlLoadLib(u"libm.so.6", &hdls[7]), hdls[7]}),
            (Rcs{31, DLEOVERFLOW, DL_HDL_NONE, DL_OK, DL_OK, DL_OK, 3, DL_OK, 7}));
  for (DL_HDL& h : hdls) ASSERT_EQ(DlUnloadLib(&h), DL_OK);
  const std::string file = FileOf(dlsym(dlopen("libm.so.6", RTLD_NOW), "cos"));
  // Repeated slashes name the same directory, so the path grows unit by unit.
  auto padded = [&](size_t len) { return std::string(file).insert(file.rfind('/'), len - file.size(), '/'); };
  const std::string missing = "/nonexistent/1%s\r\n%d%%/lib.so";
  TempDir tmp;
  std::string link = tmp.File("libm-\xC3\xA9\xE2\x82\xAC.so");  // the file system sees UTF-8
  ASSERT_EQ(symlink(file.c_str(), link.c_str()), 0);
  std::replace(link.begin(), link.end(), '/', '\\');  // a backslash stands for a slash
  const std::pair<std::u16string, int32_t> cases[] = {
      {FromUtf8(padded(99)), DL_OK}, {FromUtf8(padded(100)), DLEINVAL}, {FromUtf8(link), DL_OK},
      {FromUtf8(missing), DLENOACCESS}, {u"", DLEINVAL}, {u"libm.so.6\xD800", DLEINVAL}};
  for (const auto& [path, want] : cases) EXPECT_EQ(LoadCallCos(path.c_str()), want) << ToUtf8(path);
  EXPECT_EQ((Rcs{LoadCallCos(nullptr), DlLoadLib(u"libm.so.6", nullptr)}), (Rcs{DLEINVAL, DLEINVAL}));
  std::string sys = (dlopen(missing.c_str(), RTLD_NOW), dlerror()), got;
  std::erase_if(sys, [](char c) { return c == '\r' || c == '\n'; });
  for (int n : {2, 3, 4, 6, 9}) got += ToUtf8(ErrGetFld(n)) + "|";
  EXPECT_EQ(got, "DlLoadLib()==DLENOACCESS|-2|DL (Dynamic Loader)|4|dlopen(\"" + missing +
                     "\")\n  Error 2 = \"" + sys + "\"|");
}

// A handle is valid only while its slot holds a library; a refused unload
// keeps the library usable.
TEST(Dl, HandlesThatNameNoLibrary) {
  DL_HDL hdl;
  DL_FUNC f = kUntouched;
  ASSERT_EQ(DlLoadLib(u"libm.so.6", &hdl), DL_OK);
  const DL_HDL kept = hdl;
  DlITestSetUnload([](void*) { return -1; });
  EXPECT_EQ((Rcs{DlUnloadLib(&hdl), hdl}), (Rcs{DLEUNLOAD, kept}));
  DlITestSetUnload(nullptr);
  EXPECT_EQ((Rcs{DlLoadFunc(hdl, u"", &f), DlLoadFunc(hdl, u"cos", &f), DlUnloadLib(&hdl), hdl}),
            (Rcs{DLEINVAL, DL_OK, DL_OK, DL_HDL_NONE}));
  // Unloaded, never loaded, none, beyond the table.
  for (DL_HDL h : {kept, 31, -1, 32}) {
    DL_HDL u = h;
    f = kUntouched;
    EXPECT_EQ((Rcs{DlLoadFunc(h, u"printf", &f), DlUnloadLib(&u), u, f == kUntouched}),
              (Rcs{DLEINVAL, DLEINVAL, h, 1})) << h;
  }
}

// Four threads load, resolve and unload at once: no slot is handed to two
// loads.
TEST(Dl, ThreadsLoadResolveAndUnloadAtOnce) {
  ASSERT_EQ(ThrProcInit(), 0);  // the loader's lock works from here on
  std::vector<std::atomic<int>> holders(DL_MAX_LIBS);
  std::atomic<int> faults{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 1000; ++i) {
        DL_HDL h;
        if (DlLoadLib(u"libm.so.6", &h) != DL_OK) return (void)++faults;
        faults += (holders[h]++ != 0) + (LoadCallCos(u"libm.so.6") != DL_OK);
        faults += (--holders[h] != 0) + (DlUnloadLib(&h) != DL_OK);
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(faults.load(), 0);
}

}  // namespace
