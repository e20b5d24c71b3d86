// The ICU binding in fresh child processes: normal load against direct ICU
// calls, the trace levels, missing and broken libraries, the 7-bit
// fallbacks, the trace file, the fallback directory and the dl wrappers.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>
#include <wctype.h>

#include <cstdio>
#include <string>
#include <vector>

#include "flat/nlsui.h"
#include "flat/nlsui_int.h"
#include "nlsui_testutil.h"

using nlsuitest::ChildPid;
using nlsuitest::Count;
using nlsuitest::IcuFile;
using nlsuitest::kSlotCases;
using nlsuitest::LoadSetup;
using nlsuitest::Msg;
using nlsuitest::Normalised;
using nlsuitest::RunLoad;

namespace {

const std::string kMissingUc = "libtovtest-missing-uc.so";
const std::string kMissingIn = "libtovtest-missing-in.so";

std::string CouldNotOpenCommon(const std::string& common) {
  return "Could not open the ICU common library.\n"
         "   The following files must be in the path described by\n"
         "   the environment variable \"LD_LIBRARY_PATH\":\n   " +
         common + ", " + IcuFile("libicudata") + ", " + IcuFile("libicui18n");
}

std::string Padded(std::string text) {
  text.resize(std::max<size_t>(text.size(), 79), ' ');
  return text;
}

TEST(NlsuiLoad, EverySlotEqualsIcuForEveryUnitAndStaysQuiet) {
  auto r = RunLoad({}, [] {
    if (NlsuiIGetState().attempted) return 10;
    for (const auto& s : kSlotCases) {
      for (unsigned c = 0; c <= 0xFFFF; ++c) {
        if ((*s.slot)(c) != s.icu(static_cast<UChar32>(c))) {
          std::printf("%s(U+%04X) = %d, ICU %d\n", s.name, c, (*s.slot)(c), s.icu(c));
          return 1;
        }
      }
    }
    NlsuiIState st = NlsuiIGetState();
    bool families = true;
    for (bool f : st.family) families = families && f;
    if (loadIcu(0) != 0 || !st.attempted || !st.i18nAttempted || !st.loaded || !st.common ||
        !st.i18n || !families)
      return 2;
    return 0;
  });
  EXPECT_EQ(r.exit_code, 0) << r.out;
  EXPECT_EQ(r.err, "");
}

struct LevelCase {
  const char* value;  // NLSUI_INIT_TRACE_LEVEL, "" when unset
  int level;
  std::vector<std::string> shown;  // messages expected (unpadded texts)
};

class NlsuiTraceLevel : public testing::TestWithParam<LevelCase> {};

TEST_P(NlsuiTraceLevel, SelectsMessagesAndLayout) {
  const LevelCase& c = GetParam();
  auto r = RunLoad({{{"NLSUI_INIT_TRACE_LEVEL", c.value}}},
                   [] { return toupperU('a') == 'A' ? NlsuiITraceLevel() : 100; });
  ASSERT_EQ(r.exit_code, c.level) << r.err;
  const std::string trace = Normalised(r.err);
  const std::string pid = ChildPid(r);
  for (const auto& text : c.shown) {
    EXPECT_EQ(Count(trace, Msg(c.level >= 4 ? Padded(text) : text, pid)), 1) << text << trace;
  }
  if (c.shown.empty()) {
    EXPECT_EQ(r.err, "");
  }
}

const std::string kMajor = std::to_string(U_ICU_VERSION_MAJOR_NUM);

INSTANTIATE_TEST_SUITE_P(
    Levels, NlsuiTraceLevel,
    testing::Values(
        LevelCase{"", 1, {}}, LevelCase{"none", 0, {}}, LevelCase{"low", 1, {}},
        LevelCase{"HIGH", 1, {}}, LevelCase{"4", 1, {}},
        LevelCase{"medium",
                  4,
                  {"Compiled with ICU version " + kMajor,
                   std::string("Running with ICU version ") + U_ICU_VERSION,
                   std::string("ICU uses Unicode version ") + U_UNICODE_VERSION,
                   "Searching for libicuuc in environment path LD_LIBRARY_PATH",
                   "Loaded ICU common lib: " + IcuFile("libicuuc"),
                   "Loaded ICU i18n lib: " + IcuFile("libicui18n") + " from environment path"}},
        LevelCase{"high",
                  16,
                  {"NLSUI_INIT_TRACE_LEVEL set to 'high'", "loadIcu() is called",
                   "Program is compiled with ICU version " + kMajor,
                   "Required ICU library files: " + IcuFile("libicuuc") + " " +
                       IcuFile("libicudata") + " " + IcuFile("libicui18n")}}));

// Without the common library: the exact lines, then the end (status 255)
// or, with NLSUI_7BIT_FALLBACK, the fallbacks.
struct MissingCase {
  const char* level;
  const char* ldPath;
  bool fallback;
};

class NlsuiMissingCommon : public testing::TestWithParam<MissingCase> {};

TEST_P(NlsuiMissingCommon, ExactLinesThenEndOrFallback) {
  const MissingCase& c = GetParam();
  LoadSetup setup{{{"NLSUI_INIT_TRACE_LEVEL", c.level},
                   {"LD_LIBRARY_PATH", c.ldPath},
                   {"NLSUI_7BIT_FALLBACK", c.fallback ? "yes" : ""}},
                  kMissingUc};
  auto r = RunLoad(setup, [] {
    std::printf("calling\n");
    return toupperU('a') == 'A' && toupperU(0xE4) == 0xE4 && loadIcu(0) == 1 ? 0 : 1;
  });
  const std::string pid = ChildPid(r);
  const bool padded = *c.level != 0;  // the case with a level sets it to "high"
  std::string ld = std::string("LD_LIBRARY_PATH is currently set to ") +
                   (*c.ldPath ? c.ldPath : "<not set>") + " ";
  std::string want = Msg(CouldNotOpenCommon(kMissingUc), pid) + Msg(padded ? Padded(ld) : ld, pid);
  const std::string trace = Normalised(r.err);
  if (!c.fallback) {
    EXPECT_EQ(r.exit_code, 255);
    EXPECT_EQ(r.out, pid + "\ncalling\n");
    if (padded) {
      // Level 16 adds progress lines before; the end is fixed.
      want += Msg("Terminating.\n   You may set the environment variable NLSUI_7BIT_FALLBACK "
                  "to run the program\n   without the ICU libraries in an emergency mode.",
                  pid);
      ASSERT_GE(trace.size(), want.size());
      EXPECT_EQ(trace.substr(trace.size() - want.size()), want);
    } else {
      EXPECT_EQ(trace, want);
    }
    return;
  }
  EXPECT_EQ(r.exit_code, 0);
  want += Msg("Environment variable NLSUI_7BIT_FALLBACK is set.", pid) +
          Msg("ICU shared libraries are not loaded", pid) +
          Msg("ERROR: Non 7-bit character U+00E4 encountered in function toupperU\n", pid) +
          Msg("This is not supported in 7-bit mode.\n", pid) +
          Msg("ICU shared libraries are not loaded", pid);
  EXPECT_EQ(trace, want);
}

INSTANTIATE_TEST_SUITE_P(Cases, NlsuiMissingCommon,
                         testing::Values(MissingCase{"", "", false},
                                         MissingCase{"", "/opt/a:/opt/b", false},
                                         MissingCase{"high", "", false},
                                         MissingCase{"", "/opt/a", true}));

// The fallbacks against hand-made ASCII classes, under a host locale that
// classifies more than ASCII.
TEST(NlsuiFallback, SevenBitClassesIgnoreHostLocale) {
  LoadSetup setup{{{"NLSUI_7BIT_FALLBACK", "1"}, {"NLSUI_INIT_TRACE_LEVEL", "none"}}, kMissingUc};
  auto r = RunLoad(setup, [] {
    if (!setlocale(LC_ALL, "C.UTF-8") || !iswalpha(0xE4)) return 10;
    for (unsigned c = 0; c < 0x80; ++c) {
      for (int k = 0; k < 9; ++k) {
        if ((*kSlotCases[k].slot)(c) != nlsuitest::SevenBit(k, c)) {
          std::printf("%s(0x%02X)\n", kSlotCases[k].name, c);
          return 1;
        }
      }
    }
    for (const auto& s : kSlotCases) {
      const int want = s.slot == &tolowerU || s.slot == &toupperU ? 0xE4 : 0;
      if ((*s.slot)(0xE4) != want || (*s.slot)(0x2603) != (want ? 0x2603 : 0)) return 2;
    }
    return 0;
  });
  EXPECT_EQ(r.exit_code, 0) << r.out;
  EXPECT_EQ(r.err, "");
}

TEST(NlsuiI18n, MissingLibraryIsReleasedAndSlotsWork) {
  auto r = RunLoad({{}, "", kMissingIn}, [] {
    if (toupperU(0xE4) != 0xC4 || loadIcu(0) != 0) return 1;
    NlsuiIState s = NlsuiIGetState();
    for (int f = 0; f < kNlsuiFamilyCount; ++f) {
      if (s.family[f] != (f < kNlsuiCollation)) return 2;
    }
    return s.common && !s.i18n && s.i18nAttempted ? 0 : 3;
  });
  const std::string pid = ChildPid(r);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(Normalised(r.err), Msg("Could not open the ICU i18n library", pid) +
                                   Msg(kMissingIn + " is closed again", pid));
}

std::vector<std::string> g_events;

TEST(NlsuiTraceFile, ClosedStandardErrorWritesFileAndEvents) {
  tovtest::TempDir dir;
  auto r = RunLoad({{{"NLSUI_INIT_TRACE_LEVEL", "medium"}}, "", kMissingIn}, [&] {
    NlsuiISetEventSink([](const char* text) { g_events.push_back(text); });
    if (chdir(dir.path().c_str()) != 0) return 1;
    close(2);
    if (toupperU('a') != 'A') return 2;
    for (const auto& e : g_events) std::printf("event: %s\n", e.c_str());
    return fcntl(2, F_GETFD) == -1 ? 0 : 3;
  });
  const std::string pid = ChildPid(r);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, pid + "\nevent: Could not open the ICU i18n library\nevent: " + kMissingIn +
                       " is closed again\n");
  const std::string file = tovtest::ReadFile(dir.File("nlsui_init_trc_file_" + pid + ".trc"));
  EXPECT_EQ(Count(Normalised(file), Msg(Padded("Compiled with ICU version " + kMajor), pid)), 1)
      << file;
  EXPECT_EQ(Count(Normalised(file), Msg(Padded(kMissingIn + " is closed again"), pid)), 1);
}

// The site directory <dir>/<major>/ with the data and common libraries, under
// a common name that the loader's own search does not find.
class NlsuiFallbackDir : public testing::TestWithParam<bool> {};

TEST_P(NlsuiFallbackDir, LoadsFromSiteDirectoryUnlessSwitchedOff) {
  const bool off = GetParam();
  Dl_info info{};
  ASSERT_NE(dladdr(reinterpret_cast<void*>(&u_toupper), &info), 0);
  const std::string real = info.dli_fname;
  const std::string realDir = real.substr(0, real.rfind('/') + 1);
  tovtest::TempDir site;
  const std::string sub = site.File(kMajor);
  const std::string uc = "libtovtest-site-uc.so." + kMajor;
  ASSERT_EQ(mkdir(sub.c_str(), 0700), 0);
  ASSERT_EQ(symlink(real.c_str(), (sub + "/" + uc).c_str()), 0);
  ASSERT_EQ(symlink((realDir + IcuFile("libicudata")).c_str(),
                    (sub + "/" + IcuFile("libicudata")).c_str()),
            0);
  LoadSetup setup{{{"NLSUI_INIT_TRACE_LEVEL", "medium"},
                   {"NO_WEQ_ICU_PATH", off ? "1" : ""}},
                  uc, "", site.path()};
  auto r = RunLoad(setup, [] { return toupperU(0xE4) == 0xC4 ? 0 : 1; });
  const std::string pid = ChildPid(r);
  const std::string trace = Normalised(r.err);
  EXPECT_EQ(r.exit_code, off ? 255 : 0) << r.err;
  const std::vector<std::string> lines = {
      "Searching for " + uc + " in directory " + sub,
      "Loaded ICU data lib: " + sub + "/" + IcuFile("libicudata"),
      "Loaded ICU common lib: " + sub + "/" + uc};
  for (const auto& line : lines) EXPECT_EQ(Count(trace, Msg(Padded(line), pid)), off ? 0 : 1);
}

INSTANTIATE_TEST_SUITE_P(Switch, NlsuiFallbackDir, testing::Bool());

// Broken common libraries: no case data, a missing common function, a
// missing bidi function.
struct FakeCase {
  const char* path;
  bool fallback;
  int status;
  std::vector<std::string> lines;
  int (*check)();
};

class NlsuiBrokenIcu : public testing::TestWithParam<FakeCase> {};

TEST_P(NlsuiBrokenIcu, EndsFallsBackOrKeepsClassFunctions) {
  const FakeCase& c = GetParam();
  auto r = RunLoad({{{"NLSUI_7BIT_FALLBACK", c.fallback ? "1" : ""}}, c.path}, c.check);
  EXPECT_EQ(r.exit_code, c.status) << r.err;
  const std::string trace = Normalised(r.err);
  for (const auto& line : c.lines) EXPECT_EQ(Count(trace, Msg(line, ChildPid(r))), 1) << trace;
}

int FallsBack() {
  return toupperU('a') == 'A' && isalphaU(0x2603) == 0 && !NlsuiIGetState().common ? 0 : 1;
}

int KeepsFakeClasses() {
  const int snowman = isalphaU(0x2603);
  NlsuiIState s = NlsuiIGetState();
  for (bool f : s.family) {
    if (f) return 1;
  }
  return snowman == 1 && isalphaU('A') == 0 && isspaceU(' ') == 0 &&
                 isprintU(0x2603) == 1 && toupperU(0x101) == 0x100 && s.common && !s.loaded &&
                 loadIcu(0) == 1
             ? 0
             : 2;
}

const std::string kNoData = "ICU data shared lib does not behave correctly.";
const std::string kFbSet = "Environment variable NLSUI_7BIT_FALLBACK is set.";

INSTANTIATE_TEST_SUITE_P(
    Fakes, NlsuiBrokenIcu,
    testing::Values(
        FakeCase{NLSUI_FAKE_BADDATA_PATH, false, 255, {kNoData}, FallsBack},
        FakeCase{NLSUI_FAKE_BADDATA_PATH, true, 0, {kNoData, kFbSet}, FallsBack},
        FakeCase{NLSUI_FAKE_NOCOMMON_PATH, false, 255,
                 {"symbol load \"u_cleanup_" + kMajor + "\" failed"}, FallsBack},
        FakeCase{NLSUI_FAKE_NOCOMMON_PATH, true, 0, {kFbSet}, FallsBack},
        FakeCase{NLSUI_FAKE_NOBIDI_PATH, false, 0,
                 {"symbol load \"ubidi_close_" + kMajor + "\" failed"}, KeepsFakeClasses}));

TEST(NlsuiDl, PathJoinAndWhatDlopenOrDlsymWouldMisread) {
  EXPECT_EQ(nlsui_dlopen("", "ICU"), nullptr);  // not the main program
  EXPECT_EQ(nlsui_dlopen(nullptr, "ICU"), nullptr);
  EXPECT_EQ(nlsui_dlsym(nullptr, "malloc"), nullptr);  // not the global scope
  EXPECT_NE(nlsui_dlclose(nullptr), 0);
  void* lib = nlsui_dlopen(IcuFile("libicuuc").c_str(), "ICU");
  ASSERT_NE(lib, nullptr);
  EXPECT_EQ(nlsui_dlsym(lib, ("u_toupper_" + kMajor).c_str()), reinterpret_cast<void*>(&u_toupper));
  EXPECT_EQ(nlsui_dlsym(lib, "u_toupper_0"), nullptr);
  EXPECT_EQ(nlsui_dlclose(lib), 0);

  const struct {
    const char *dir, *file;
    size_t size;
    const char* want;  // NULL: does not fit
  } cases[] = {{"/a", "b", 16, "/a/b"},  {"/a/", "b", 16, "/a/b"},
                            {"/a", "bc", 6, "/a/bc"}, {"/a/", "bcd", 6, nullptr},
                            {"/a", "bcd", 6, nullptr}, {"", "b", 3, "/b"}};
  for (const auto& c : cases) {
    char out[32] = "junk";
    testing::internal::CaptureStderr();
    const int rc = NlsuiIPathJoin(out, c.size, c.dir, c.file);
    const std::string err = testing::internal::GetCapturedStderr();
    if (c.want) {
      EXPECT_EQ(rc, 0) << c.dir << " " << c.file;
      EXPECT_STREQ(out, c.want);
      EXPECT_EQ(err, "");
    } else {
      EXPECT_EQ(rc, -1) << c.dir << " " << c.file;
      EXPECT_STREQ(out, "");
      EXPECT_EQ(Count(err, std::string("Path ") + c.dir + "/" + c.file + " exceeds MAX_PATH_LN"),
                1);
    }
  }
}

}  // namespace
