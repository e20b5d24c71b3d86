// The ICU binding, each case in a fresh child process: the slots against
// direct ICU calls, the trace levels, missing and broken libraries, the
// 7-bit fallbacks, the trace file, the site directory and the dl wrappers.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <locale.h>
#include <sys/stat.h>
#include <wctype.h>

#include <algorithm>

#include "nlsui_testutil.h"

namespace {

using namespace nlsuitest;

const std::string kMajor = std::to_string(U_ICU_VERSION_MAJOR_NUM);
std::string Lib(const char* stem) { return std::string(stem) + ".so." + kMajor; }

// A message's text as the trace writes it from level 4 on: padded to 79 columns.
std::string Pad(std::string text) { return text.resize(std::max<size_t>(text.size(), 79), ' '), text; }

int MatchesIcu() {
  if (NlsuiIGetState().attempted) return 10;  // nothing is loaded before the first call
  for (const SlotCase& s : kSlots)
    for (unsigned c = 0; c <= 0xFFFF; ++c)
      if ((*s.slot)(c) != s.icu(static_cast<UChar32>(c))) return std::printf("%s(U+%04X)\n", s.name, c), 1;
  return NlsuiIGetState().i18n && loadIcu(0) == 0 ? 0 : 2;
}

int Level() { return toupperU('a') == 'A' ? NlsuiITraceLevel() : 100; }

// Under a host locale that classifies more than ASCII: the ASCII chart,
// nothing beyond it, and ICU let go.
int SevenBitClasses() {
  if (!setlocale(LC_ALL, "C.UTF-8") || !iswalpha(0xE4)) return 10;
  for (int k = 0; k < 9; ++k) {
    for (unsigned c = 0; c < 0x80; ++c)
      if ((*kSlots[k].slot)(c) != SevenBit(k, c)) return std::printf("%s(0x%02X)\n", kSlots[k].name, c), 1;
    for (unsigned c : {0xE4u, 0x2603u})
      if ((*kSlots[k].slot)(c) != (k >= 7 ? static_cast<int>(c) : 0)) return 2;
  }
  return NlsuiIGetState().common == nullptr && loadIcu(0) == 1 ? 0 : 3;
}

int OneNonAscii() { return toupperU('a') == 'A' && toupperU(0x80) == 0x80 && loadIcu(0) == 1 ? 0 : 1; }

int WithoutI18n() {
  return toupperU(0xE4) == 0xC4 && loadIcu(0) == 0 && !NlsuiIGetState().i18n ? 0 : 1;
}

int FallsBack() { return toupperU('a') == 'A' && isalphaU(0x2603) == 0 && !NlsuiIGetState().common ? 0 : 1; }

// The stand-in's classes say "yes" for U+2603 only, as a one-byte boolean
// with junk above it; its library counts as not loaded.
int StandInClasses() {
  const bool ok = isalphaU(0x2603) == 1 && isalphaU('A') == 0 && isspaceU(' ') == 0 && toupperU(0x101) == 0x100;
  return ok && loadIcu(0) == 1 ? 0 : 1;
}

struct Case {
  std::string name;
  Load load;
  int (*body)();
  int status;                      // the child's exit status
  std::vector<std::string> lines;  // messages expected, in this order
  bool exact;                      // and no others
};

class NlsuiLoad : public testing::TestWithParam<Case> {};

// Every message ends in " [nlsui0 <line>] pid = <pid>".
TEST_P(NlsuiLoad, StatusTraceAndSlots) {
  const Case& c = GetParam();
  const auto r = RunLoad(c.load, c.body);
  EXPECT_EQ(r.exit_code, c.status) << r.out << r.err;
  std::string want;
  for (const std::string& line : c.lines) {
    want += line + "\n";
    EXPECT_NE(r.err.find(line), std::string::npos) << line << "\n" << r.err;
  }
  // Without the endings, which name this process, the trace is exactly the texts.
  std::string texts = r.err;
  const std::string head = " [nlsui0 ", tail = "] pid = " + r.out.substr(0, r.out.find('\n') + 1);
  for (size_t at = 0; (at = texts.find(head, at)) != std::string::npos; ++at) {
    const size_t end = texts.find_first_not_of("0123456789", at + head.size());
    if (end > at + head.size() && texts.compare(end, tail.size(), tail) == 0) texts.replace(at, end + tail.size() - at, "\n");
  }
  if (c.exact) {
    EXPECT_EQ(texts, want);
  }
}

const std::string kLevel = "NLSUI_INIT_TRACE_LEVEL", kFallback = "NLSUI_7BIT_FALLBACK";
const std::string kLd = "LD_LIBRARY_PATH is currently set to ";
const std::string kFbSet = "Environment variable NLSUI_7BIT_FALLBACK is set.";
const std::string kNotLoaded = "ICU shared libraries are not loaded";
const std::string kNoData = "ICU data shared lib does not behave correctly.";
const std::string kNoCommon =
    "Could not open the ICU common library.\n   The following files must be in the path described by\n"
    "   the environment variable \"LD_LIBRARY_PATH\":\n   " + kMissing + ", " + Lib("libicudata") + ", " +
    Lib("libicui18n");

INSTANTIATE_TEST_SUITE_P(
    Cases, NlsuiLoad,
    testing::Values(
        Case{"Icu", {}, MatchesIcu, 0, {}, true},
        Case{"LevelNone", {{{kLevel, "none"}}}, Level, 0, {}, true},
        Case{"LevelUpperCase", {{{kLevel, "HIGH"}}}, Level, 1, {}, true},
        Case{"LevelNumber", {{{kLevel, "4"}}}, Level, 1, {}, true},
        Case{"LevelMedium", {{{kLevel, "medium"}}}, Level, 4,
             {"Searching for libicuuc in environment path LD_LIBRARY_PATH", "Loaded ICU common lib: " + Lib("libicuuc"),
              "Compiled with ICU version " + kMajor, "Running with ICU version " U_ICU_VERSION,
              "ICU uses Unicode version " U_UNICODE_VERSION,
              "Loaded ICU i18n lib: " + Lib("libicui18n") + " from environment path"}, false},
        Case{"LevelHigh", {{{kLevel, "high"}}}, Level, 16,
             {"NLSUI_INIT_TRACE_LEVEL set to 'high'", "loadIcu() is called", "Program is compiled with ICU version " + kMajor,
              "Required ICU library files: " + Lib("libicuuc") + " " + Lib("libicudata") + " " + Lib("libicui18n")}, false},
        Case{"NoCommonPath", {{{"LD_LIBRARY_PATH", "/opt/a:/opt/b"}}, kMissing}, OneNonAscii, 255,
             {kNoCommon, kLd + "/opt/a:/opt/b "}, true},
        Case{"NoCommonHigh", {{{kLevel, "high"}, {"LD_LIBRARY_PATH", ""}}, kMissing}, OneNonAscii, 255,
             {kNoCommon, kLd + "<not set> ", "Terminating.\n   You may set the environment variable NLSUI_7BIT_FALLBACK "
              "to run the program\n   without the ICU libraries in an emergency mode."}, false},
        Case{"NoCommonFallback", {{{kFallback, "yes"}, {"LD_LIBRARY_PATH", "/opt/a"}}, kMissing}, OneNonAscii, 0,
             {kNoCommon, kLd + "/opt/a ", kFbSet, kNotLoaded,
              "ERROR: Non 7-bit character U+0080 encountered in function toupperU\n",
              "This is not supported in 7-bit mode.\n", kNotLoaded}, true},
        Case{"SevenBitClasses", {{{kFallback, "1"}, {kLevel, "none"}}, kMissing}, SevenBitClasses, 0, {}, true},
        Case{"NoI18n", {{}, "", kMissing}, WithoutI18n, 0,
             {"Could not open the ICU i18n library", kMissing + " is closed again"}, true},
        Case{"BadData", {{}, NLSUI_FAKE_BADDATA_PATH}, FallsBack, 255, {kNoData}, false},
        Case{"BadDataFallback", {{{kFallback, "1"}}, NLSUI_FAKE_BADDATA_PATH}, FallsBack, 0, {kNoData, kFbSet}, false},
        Case{"CommonFamilyShort", {{}, NLSUI_FAKE_NOCOMMON_PATH}, FallsBack, 255,
             {"symbol load \"u_cleanup_" + kMajor + "\" failed"}, false},
        Case{"CommonFamilyShortFallback", {{{kFallback, "1"}}, NLSUI_FAKE_NOCOMMON_PATH}, FallsBack, 0, {kFbSet}, false},
        Case{"BidiFamilyShort", {{}, NLSUI_FAKE_NOBIDI_PATH}, StandInClasses, 0,
             {"symbol load \"ubidi_close_" + kMajor + "\" failed"}, false}),
    [](const testing::TestParamInfo<Case>& i) { return i.param.name; });

// With standard error closed the trace goes to the file
// nlsui_init_trc_file_<pid>.trc in the current directory, on a descriptor of
// its own, and each level-1 message also to the event log.
TEST(NlsuiTraceFile, ClosedStandardErrorWritesFileAndEvents) {
  static tovtest::TempDir dir;
  static std::string events;
  const auto r = RunLoad({{{kLevel, "medium"}}, "", kMissing}, [] {
    NlsuiISetEventSink([](const char* text) { events += std::string(text) + "\n"; });
    if (chdir(dir.path().c_str()) != 0 || close(2) != 0 || toupperU('a') != 'A') return 1;
    std::printf("%s", events.c_str());
    return fcntl(2, F_GETFD) == -1 ? 0 : 2;
  });
  const std::string pid = r.out.substr(0, r.out.find('\n'));
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, pid + "\nCould not open the ICU i18n library\n" + kMissing + " is closed again\n");
  const std::string file = tovtest::ReadFile(dir.File("nlsui_init_trc_file_" + pid + ".trc"));
  for (const std::string& line : {"Compiled with ICU version " + kMajor, kMissing + " is closed again"})
    EXPECT_NE(file.find(Pad(line) + " [nlsui0 "), std::string::npos) << file;
}

// A site directory <dir>/<major>/ with the data and common libraries, under
// a common name that the loader's own search does not find; NO_WEQ_ICU_PATH
// keeps the loader out of it.
TEST(NlsuiSiteDirectory, LoadsFromItUnlessSwitchedOff) {
  Dl_info info{};
  ASSERT_NE(dladdr(reinterpret_cast<void*>(&u_toupper), &info), 0);
  const std::string real = info.dli_fname, realDir = real.substr(0, real.rfind('/') + 1);
  tovtest::TempDir site;
  const std::string sub = site.File(kMajor), uc = "libtovtest-site-uc.so." + kMajor;
  ASSERT_EQ(mkdir(sub.c_str(), 0700), 0);
  ASSERT_EQ(symlink(real.c_str(), (sub + "/" + uc).c_str()), 0);
  ASSERT_EQ(symlink((realDir + Lib("libicudata")).c_str(), (sub + "/" + Lib("libicudata")).c_str()), 0);
  for (bool off : {false, true}) {
    const auto r = RunLoad({{{kLevel, "medium"}, {"NO_WEQ_ICU_PATH", off ? "1" : ""}}, uc, "", site.path()},
                           [] { return toupperU(0xE4) == 0xC4 ? 0 : 1; });
    EXPECT_EQ(r.exit_code, off ? 255 : 0) << r.err;
    for (const std::string& line : {"Searching for " + uc + " in directory " + sub,
                                    "Loaded ICU data lib: " + sub + "/" + Lib("libicudata"),
                                    "Loaded ICU common lib: " + sub + "/" + uc})
      EXPECT_EQ(r.err.find(Pad(line) + " [nlsui0 ") == std::string::npos, off) << line << "\n" << r.err;
  }
}

// No empty name reaches dlopen (it would hand out the main program), no
// NULL handle dlsym (the whole process); paths are joined only when they fit.
TEST(NlsuiDl, WhatDlopenAndDlsymWouldMisreadAndPathJoin) {
  EXPECT_EQ(nlsui_dlopen("", "ICU"), nullptr);
  EXPECT_EQ(nlsui_dlopen(nullptr, "ICU"), nullptr);
  EXPECT_EQ(nlsui_dlsym(nullptr, "malloc"), nullptr);
  EXPECT_NE(nlsui_dlclose(nullptr), 0);
  void* lib = nlsui_dlopen(Lib("libicuuc").c_str(), "ICU");
  ASSERT_NE(lib, nullptr);
  EXPECT_EQ(nlsui_dlsym(lib, ("u_toupper_" + kMajor).c_str()), reinterpret_cast<void*>(&u_toupper));
  EXPECT_EQ(nlsui_dlclose(lib), 0);
  const struct {
    const char *dir, *file;
    size_t size;
    const char* want;  // NULL: does not fit
  } cases[] = {{"/a", "b", 16, "/a/b"}, {"/a/", "b", 16, "/a/b"}, {"/a", "bc", 6, "/a/bc"},
               {"/a/", "bcd", 6, nullptr}, {"/a", "bcd", 6, nullptr}, {"", "b", 3, "/b"}};
  for (const auto& c : cases) {
    char out[32] = "junk";
    testing::internal::CaptureStderr();
    EXPECT_EQ(NlsuiIPathJoin(out, c.size, c.dir, c.file), c.want ? 0 : -1) << c.dir << " " << c.file;
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_STREQ(out, c.want ? c.want : "");
    EXPECT_EQ(err.find(std::string("Path ") + c.dir + "/" + c.file + " exceeds MAX_PATH_LN") == 0, !c.want) << err;
  }
}

}  // namespace
