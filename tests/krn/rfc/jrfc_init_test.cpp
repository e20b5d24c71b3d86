// The library's load, INIT and unload, each case in a child process of its
// own: the trace file that TOVNATIVE_TRACE asks for, INIT's failures and
// retries with failing layers put in, concurrent first calls, and the
// layers' states after the unload and a second load.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "krn/cpic/cpic_int.h"
#include "krn/dptrc/dptrc.h"
#include "krn/rfc/jrfc_int.h"
#include "krn/rscp/rscp_int.h"
#include "krn/rscp/rscpcc_int.h"
#include "support/testsupport.h"

namespace {

using tovtest::ChildResult;
using tovtest::RunInChild;

std::string TraceName() {
  char name[32];
  snprintf(name, sizeof name, "TOVNATIVE_%.6d.TRC", static_cast<int>(getpid()));
  return name;
}

// Each case: TOVNATIVE_TRACE's value (NULL: unset), whether a directory is
// given, and the file and level expected.
struct TraceCase {
  const char* value;
  bool dir;
  bool file;
  int level;
};

TEST(Load, TraceFileFollowsTheVariable) {
  const TraceCase cases[] = {
      {nullptr, false, false, 0}, {"-1", false, false, 0}, {"x", false, true, 0},
      {"2", true, true, 2},       {" 3", false, true, 3},  {"1junk", true, true, 1},
  };
  for (const TraceCase& c : cases) {
    tovtest::TempDir tmp;
    ChildResult r = RunInChild([&] {
      if (chdir(tmp.path().c_str()) != 0) return 10;
      unsetenv("TOVNATIVE_TRACE");
      unsetenv("TOVNATIVE_TRACE_DIR");
      if (c.value) setenv("TOVNATIVE_TRACE", c.value, 1);
      std::string dir = tmp.File("trc");
      if (c.dir) {
        mkdir(dir.c_str(), 0700);
        setenv("TOVNATIVE_TRACE_DIR", dir.c_str(), 1);
      }
      std::string path = (c.dir ? dir : tmp.path()) + "/" + TraceName();
      // Opened for writing: what an earlier process of the same id left goes.
      if (c.file) tovtest::WriteFile(path, "LEFT BEHIND\n");
      LibraryProcessAttach();
      if (jrfcInit() != 0) return 11;
      if (c.file && tovtest::ReadFile(path).find("LEFT BEHIND") != std::string::npos) return 15;
      bool exists = access(path.c_str(), F_OK) == 0;
      if (exists != c.file) return 12;
      if (c.file && CTrcLevel.load() != c.level) return 13;
      if (c.file && c.level >= 2 &&
          tovtest::ReadFile(path).find("JRFC> INIT: initialized") == std::string::npos) {
        return 14;
      }
      LibraryProcessDetach();
      return 0;
    });
    EXPECT_EQ(r.exit_code, 0) << (c.value ? c.value : "unset") << "\n" << r.err;
  }
}

// Layer calls that fail on demand and count their calls.
std::atomic<int> gConverterRc{0}, gConverterCalls{0};
std::atomic<int> gAttachAnswer{1}, gAttachCalls{0};
std::atomic<int> gThreadAnswer{1};
std::atomic<ThrRc> gCsRc{0};

rscpRc_t FakeConverter(int) {
  gConverterCalls++;
  // Long enough for concurrent first calls to meet here.
  std::this_thread::yield();
  return gConverterRc.load();
}
int FakeAttach(WEQ_UC**) {
  gAttachCalls++;
  return gAttachAnswer.load();
}
int FakeThreadAttach() { return gThreadAnswer.load(); }
ThrRc FakeCsInit(ThrCS*, const WEQ_UC*) { return gCsRc.load(); }
const JrfcLayerCalls kFakes = {ThrProcInit, FakeConverter, FakeAttach, FakeThreadAttach, FakeCsInit};

// Runs fn in a child with the fakes in place and trace level 1 on stderr.
ChildResult WithFakes(const std::function<int()>& fn) {
  return RunInChild([&] {
    LibraryProcessAttach();
    CTrcLevel.store(1);
    jrfcISetLayerCalls(&kFakes);
    return fn();
  });
}

TEST(Init, ConverterFailureIsReturnedAndRetried) {
  ChildResult r = WithFakes([] {
    gConverterRc = 16;
    if (jrfcInit() != 16 || jrfcIInitialised()) return 1;
    gConverterRc = 0;
    if (jrfcInit() != 0 || !jrfcIInitialised() || gConverterCalls != 2) return 2;
    return 0;
  });
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.err.find("JRFC> Error: could not initalize RSCP-Converter (16)"), std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("jrfc.cpp"), std::string::npos) << r.err;
}

TEST(Init, FailedCpicAttachStaysFailed) {
  ChildResult r = WithFakes([] {
    gAttachAnswer = 0;
    if (jrfcInit() != 1) return 1;
    // The layer answers 1 from now on, as it attaches only once.
    gAttachAnswer = 1;
    if (jrfcInit() != 1 || jrfcIInitialised()) return 2;
    return gAttachCalls == 1 ? 0 : 3;
  });
  EXPECT_EQ(r.exit_code, 0) << r.err;
  const std::string line = "JRFC> could not initalize CPIC-Layer (WEQ_CPIC_PROCESS_ATTACH)";
  size_t first = r.err.find(line);
  ASSERT_NE(first, std::string::npos) << r.err;
  EXPECT_NE(r.err.find(line, first + 1), std::string::npos) << r.err;
}

TEST(Init, ThreadAttachAndMutexFailures) {
  ChildResult r = WithFakes([] {
    gThreadAnswer = 0;
    if (jrfcInit() != 1) return 1;
    gThreadAnswer = 1;
    gCsRc = THR_ERR_NO_MEMORY;
    if (jrfcInit() != 1 || jrfcIInitialised()) return 2;
    // 3: the section exists already (an earlier load made it).
    gCsRc = THR_ERR_EXISTS;
    if (jrfcInit() != 0 || !jrfcIInitialised()) return 3;
    return 0;
  });
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.err.find("JRFC> could not initalize CPIC-Layer (WEQ_CPIC_THREAD_ATTACH)"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("JRFC> Error: ThrCSInit failed (7) ["), std::string::npos) << r.err;
}

TEST(Init, SecondCallChangesNothing) {
  ChildResult r = RunInChild([] {
    LibraryProcessAttach();
    CTrcLevel.store(2);
    if (jrfcInit() != 0) return 1;
    if (Java_com_weq_conn_rfc_driver_CpicDriver_INIT(nullptr, nullptr) != 0) return 2;
    return 0;
  });
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.err.find("JRFC> Initialize jrfc mutex ["), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("JRFC> INIT: already initialized"), std::string::npos) << r.err;
}

TEST(Unload, LayersAfterTheUnloadAndASecondLoad) {
  ChildResult r = RunInChild([] {
    LibraryProcessAttach();
    if (jrfcInit() != 0) return 1;
    rscpGetThrCtx();
    if (rscpGetState() != 2 || rscpIThrCtxAlive.load() != 1) return 2;
    LibraryProcessDetach();
    if (ThrIsInit() != 0) return 3;
    if (rscpGetState() != 0 || rscpIThrCtxAlive.load() != 0) return 4;
    if (jrfcIInitialised() != 0) return 5;
    // The CPI-C layer stays attached until the process ends.
    if (CpicIGlobals().attached.load() != 1) return 6;
    // A new class loader loads the library again.
    LibraryProcessAttach();
    if (ThrIsInit() != 1) return 7;
    if (jrfcInit() != 0 || jrfcIInitialised() != 1 || rscpGetState() != 2) return 8;
    LibraryProcessDetach();
    return 0;
  });
  EXPECT_EQ(r.exit_code, 0) << r.err;
}

}  // namespace
