// The conversation table: taking and resetting entries, exhaustion and reuse,
// searches with the per-thread cache, the new-id rules for duplicate gateway
// ids, the size verb, the trace level recomputation and the traced NI
// wrappers.
#include <gtest/gtest.h>
#include <limits.h>
#include <string.h>

#include <set>
#include <string>
#include <vector>

#include "krn/cpic/cpic.h"
#include "krn/cpic/cpic_int.h"
#include "krn/dptrc/err.h"
#include "krn/dptrc/trc_checker.h"
#include "krn/thr/thr.h"
#include "support/testsupport.h"

namespace {

using tovtest::ToUtf8;

std::string Fld(int f) { return ToUtf8(ErrGetFld(f)); }

std::string Id(const CPIC_CONV_ENTRY* e, bool gw = false) {
  char id[8];
  CpicIU64ToId(gw ? e->gwId.load() : e->id.load(), id);
  return std::string(id, 8);
}

class Table : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(ThrProcInit(), 0u);
    CpicIResetProcess();
    ErrClear();
  }
  void TearDown() override {
    STISetAllocHook(nullptr);
    CpicIResetProcess();
    ErrClear();
  }

  // Takes an entry and gives it gwId through the gateway-id rule.
  CPIC_CONV_ENTRY* Take(const std::string& gwId) {
    int32_t index = -1;
    EXPECT_EQ(STIGetFreeConv(u"test", &index), CM_OK);
    CPIC_CONV_ENTRY* e = STIConvAt(index);
    if (e != nullptr && !gwId.empty()) STIAssignConvId(e, gwId.data(), u"test");
    return e;
  }
};

TEST_F(Table, ExhaustionAndLowestFreeReuse) {
  ASSERT_EQ(STIAllocConvMem(5), CM_OK);
  for (int i = 0; i < 5; ++i) {
    int32_t index = -1;
    ASSERT_EQ(STIGetFreeConv(u"test", &index), CM_OK);
    EXPECT_EQ(index, i);
    CPIC_CONV_ENTRY* e = STIConvAt(index);
    EXPECT_EQ(e->f.index, i);
    EXPECT_NE(e->f.sncParams, nullptr);
    EXPECT_EQ(e->f.sncParams->first, 1);
    EXPECT_EQ(e->f.sncParams->mode, 2);
    EXPECT_NE(e->f.traceRecord, nullptr);
    EXPECT_EQ(ToUtf8(e->f.closeFnName), "STINiCloseHandle");
    EXPECT_EQ(STIGetGlob()->lastIndex, i);
  }
  EXPECT_EQ(STIActiveConvs(), 5);
  int32_t index = 77;
  EXPECT_EQ(STIGetFreeConv(u"test", &index), CM_PRODUCT_SPECIFIC_ERROR);
  EXPECT_EQ(index, 77);
  EXPECT_EQ(Fld(ERR_FLD_RC), "466");
  EXPECT_EQ(Fld(ERR_FLD_ERROR), "max no of 5 conversations exceeded");

  STIResetConv(STIConvAt(3), true);
  STIResetConv(STIConvAt(1), true);
  STIResetConv(STIConvAt(1), true);  // already free: counted once
  EXPECT_EQ(STIActiveConvs(), 3);
  EXPECT_EQ(STIHighestConvs(), 5);
  ASSERT_EQ(STIGetFreeConv(u"test", &index), CM_OK);
  EXPECT_EQ(index, 1);
  ASSERT_EQ(STIGetFreeConv(u"test", &index), CM_OK);
  EXPECT_EQ(index, 3);
  EXPECT_EQ(STIGetFreeConv(u"test", &index), CM_PRODUCT_SPECIFIC_ERROR);
}

TEST_F(Table, ResetValues) {
  ASSERT_EQ(STIAllocConvMem(2), CM_OK);
  CPIC_CONV_ENTRY* e = Take("12345678");
  ASSERT_NE(e, nullptr);
  e->f.msgBuf = malloc(100);
  e->f.gwHost = static_cast<WEQ_UC*>(malloc(10));
  e->f.readHdl = 5;
  STIResetConv(e, true);
  EXPECT_EQ(e->inUse.load(), 0);
  EXPECT_EQ(Id(e), "        ");
  EXPECT_EQ(Id(e, true), "        ");
  EXPECT_EQ(e->f.hdrVersion, 6);
  EXPECT_EQ(e->f.connIdx, 0xFFFF);
  EXPECT_EQ(e->f.readHdl, -1);
  EXPECT_EQ(e->f.writeHdl, -1);
  EXPECT_EQ(e->f.regIndex, -1);
  EXPECT_EQ(e->f.sncState, 2);
  EXPECT_EQ(e->f.bufferState, BUFFER_EMPTY);
  EXPECT_EQ(e->f.connectTimeout, 60000);
  EXPECT_EQ(e->f.msgBuf, nullptr);
  EXPECT_EQ(e->f.sncParams, nullptr);
  EXPECT_EQ(STIActiveConvs(), 0);
}

TEST_F(Table, AllocationRefusalsAndBounds) {
  EXPECT_EQ(STIAllocConvMem(-1), CM_RESOURCE_FAILURE_NO_RETRY);
  EXPECT_EQ(Fld(ERR_FLD_RC), "769");
  EXPECT_EQ(STIAllocConvMem(-5), CM_RESOURCE_FAILURE_NO_RETRY);
  EXPECT_EQ(STIMaxConv(), -1);
  // Far more than memory holds: refused with error 450 and no table.
  EXPECT_EQ(STIAllocConvMem(INT_MAX), CM_RESOURCE_FAILURE_NO_RETRY);
  EXPECT_EQ(Fld(ERR_FLD_RC), "450");
  EXPECT_EQ(Fld(ERR_FLD_SYSCALL), "malloc");
  EXPECT_EQ(STIMaxConv(), -1);
  EXPECT_EQ(WEQ_CMMAXCONV(-1), CM_PARAMETER_ERROR);

  ASSERT_EQ(STIAllocConvMem(100), CM_OK);
  EXPECT_EQ(STIAllocConvMem(100), CM_OK);
  EXPECT_EQ(STIAllocConvMem(7), CM_OK);
  EXPECT_EQ(STIAllocConvMem(101), CM_RESOURCE_FAILURE_RETRY);
  EXPECT_EQ(STIMaxConv(), 100);
  EXPECT_EQ(STIConvAt(100), nullptr);
  EXPECT_EQ(STIConvAt(-1), nullptr);
}

TEST_F(Table, GrowingKeepsEntriesWhereTheyAre) {
  ASSERT_EQ(STIAllocConvMem(100), CM_OK);
  std::vector<CPIC_CONV_ENTRY*> held;
  for (const char* id : {"00000011", "00000012", "00000013"}) held.push_back(Take(id));
  EXPECT_EQ(WEQ_CMMAXCONV(50), CM_OK);
  EXPECT_EQ(STIMaxConv(), 100);
  EXPECT_EQ(WEQ_CMMAXCONV(150), CM_OK);
  EXPECT_EQ(STIMaxConv(), 150);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(STIConvAt(i), held[i]);
    EXPECT_EQ(held[i]->f.index, i);
    EXPECT_EQ(Id(held[i]), "0000001" + std::to_string(i + 1));
  }
  EXPECT_EQ(STIConvAt(149)->inUse.load(), 0);
  EXPECT_EQ(STIConvAt(149)->f.hdrVersion, 6);
  // Every slot can be taken, and only those.
  int32_t index = -1;
  for (int i = 3; i < 150; ++i) ASSERT_EQ(STIGetFreeConv(u"test", &index), CM_OK);
  EXPECT_EQ(index, 149);
  EXPECT_EQ(STIGetFreeConv(u"test", &index), CM_PRODUCT_SPECIFIC_ERROR);
  EXPECT_EQ(Fld(ERR_FLD_ERROR), "max no of 150 conversations exceeded");
  // Growing far past memory fails and leaves the table.
  EXPECT_EQ(WEQ_CMMAXCONV(INT_MAX), CM_UNSUCCESSFUL);
  EXPECT_EQ(Fld(ERR_FLD_SYSCALL), "realloc");
  EXPECT_EQ(STIMaxConv(), 150);
}

TEST_F(Table, FailedAllocationsOfATakenEntryFreeItAgain) {
  ASSERT_EQ(STIAllocConvMem(3), CM_OK);
  // The first owned block, then the second, cannot be had.
  static int calls;
  static int failAt;
  for (int fail : {1, 2}) {
    calls = 0;
    failAt = fail;
    STISetAllocHook(
        [](size_t n, size_t size) -> void* { return ++calls == failAt ? nullptr : calloc(n, size); });
    int32_t index = -1;
    EXPECT_EQ(STIGetFreeConv(u"WEQ_STINIT3", &index), CM_PRODUCT_SPECIFIC_ERROR) << fail;
    EXPECT_EQ(Fld(ERR_FLD_RC), "450");
    EXPECT_EQ(Fld(ERR_FLD_SYSCALL), "WEQ_STINIT3");
    EXPECT_EQ(Fld(ERR_FLD_ERROR),
              fail == 1 ? "no memory available (1548 bytes)" : "no memory available (45 bytes)");
    EXPECT_EQ(STIConvAt(0)->inUse.load(), 0);
    EXPECT_EQ(STIActiveConvs(), 0);
  }
  STISetAllocHook(nullptr);
  int32_t index = -1;
  EXPECT_EQ(STIGetFreeConv(u"test", &index), CM_OK);
  EXPECT_EQ(index, 0);
}

TEST_F(Table, SearchesCacheAndReport) {
  trccheck::TraceFile file(2);
  CpicISetLevel(2);
  CpicISetHdl(file.f);
  ASSERT_EQ(STIAllocConvMem(4), CM_OK);
  CPIC_CONV_ENTRY* a = Take("11111111");
  CPIC_CONV_ENTRY* b = Take("22222222");
  CPIC_CONV_ENTRY* c = Take("11111111");  // a duplicate: new own id
  EXPECT_EQ(Id(c), "21111111");
  EXPECT_EQ(Id(c, true), "11111111");
  // The last index is c's (taken last).
  EXPECT_EQ(STISearchConv("21111111", 1, 0), c);
  EXPECT_EQ(STISearchConv("11111111", 1, 0), a);
  EXPECT_EQ(STIGetGlob()->lastIndex, a->f.index);
  EXPECT_EQ(STISearchConv("22222222", 0, 1), b);
  EXPECT_EQ(STIGetGlob()->lastIndex, a->f.index) << "a gateway-id search leaves the cache";
  EXPECT_EQ(STISearchConv("22222222", 0, 0), b);
  EXPECT_EQ(STIGetGlob()->lastIndex, b->f.index);
  STIResetConv(a, true);
  EXPECT_EQ(STISearchConv("11111111", 0, 1), c) << "found by its gateway id";
  EXPECT_EQ(STISearchConv("11111111", 0, 0), nullptr);
  ErrClear();
  EXPECT_EQ(STISearchConv("99999999", 0, 1), nullptr);
  EXPECT_FALSE(ErrIsSet());
  EXPECT_EQ(STISearchConv("99999999", 1, 0), nullptr);
  EXPECT_EQ(Fld(ERR_FLD_RC), "473");
  EXPECT_EQ(Fld(ERR_FLD_ERROR), "no conversation found with id 99999999");

  std::string body = file.After();
  for (const char* line :
       {"STISearchConv: found conv without search", "STISearchConv: found conv after search (0)",
        "STISearchConv: found gwy conv after search (2)",
        "STIGenerateNewConvId: generate new conversation id "
        "11111111 => 21111111",
        "test: found duplicate conversation id"}) {
    EXPECT_NE(body.find(line), std::string::npos) << line << "\n" << body;
  }
  CpicISetLevel(0);
  CpicISetHdl(nullptr);
}

// Duplicate gateway ids: the ids other entries hold, the gateway id that
// arrives, and the own id the newcomer gets.
TEST_F(Table, NewIdsForDuplicateGatewayIds) {
  struct Case {
    const char* what;
    std::vector<std::string> held;
    std::string gw;
    uint32_t counter;
    std::string want;
  };
  std::vector<std::string> allPositions = {"10000000"};
  // Every candidate of the eight positions, in the order they are tried.
  {
    std::string c = "10000000";
    for (int pos = 0; pos < 8; ++pos) {
      for (int t = 0; t < 10; ++t) {
        c[pos] = c[pos] == '9' ? '0' : static_cast<char>(c[pos] + 1);
        allPositions.push_back(c);
      }
    }
  }
  std::set<std::string> unique(allPositions.begin(), allPositions.end());
  std::vector<std::string> everyCandidate(unique.begin(), unique.end());
  const std::vector<Case> cases = {
      {"first digit up", {"10000000"}, "10000000", 0, "20000000"},
      {"first digit 9 wraps to 0", {"99999999"}, "99999999", 0, "09999999"},
      {"next free of the first digit", {"10000000", "20000000", "30000000"}, "10000000", 0, "40000000"},
      {"a gateway id blocks too", {"50000000"}, "50000000", 0, "70000000"},
      {"second position after all first digits",
       {"10000000", "20000000", "30000000", "40000000", "50000000", "60000000", "70000000", "80000000",
        "90000000", "00000000"},
       "10000000",
       0,
       "11000000"},
      {"all positions taken: the counter", everyCandidate, "10000000", 0, "00000001"},
      {"the counter counts on", everyCandidate, "10000000", 41, "00000042"},
      {"the counter wraps after 99999999", everyCandidate, "10000000", 99999999, "00000001"},
      {"a blank gateway id: the counter", {}, "        ", 0, "00000001"},
      {"a blank gateway id: the counter past a held id", {"00000001"}, "        ", 0, "00000002"},
  };
  for (const Case& c : cases) {
    CpicIResetProcess();
    ASSERT_EQ(STIAllocConvMem(static_cast<int32_t>(c.held.size()) + 2), CM_OK);
    for (const std::string& h : c.held) {
      CPIC_CONV_ENTRY* e = Take(h);
      ASSERT_EQ(Id(e), h) << c.what;
    }
    if (std::string(c.what) == "a gateway id blocks too") {
      // The holder of 50000000 got it as a gateway id from a duplicate.
      CPIC_CONV_ENTRY* d = Take("50000000");
      ASSERT_EQ(Id(d), "60000000");
      STIResetConv(STIConvAt(0), true);
      // 50000000 is still held as d's gateway id, 60000000 as its own.
    }
    STISetIdCounter(c.counter);
    CPIC_CONV_ENTRY* e = Take(c.gw);
    EXPECT_EQ(Id(e), c.want) << c.what;
    EXPECT_EQ(Id(e, true), c.gw) << c.what;
  }
}

// Entries without an id (free, or taken and not yet confirmed) hold eight
// blanks: no search finds one by them, the thread's last index included.
TEST_F(Table, TheBlankIdNamesNoEntry) {
  ASSERT_EQ(STIAllocConvMem(3), CM_OK);
  CPIC_CONV_ENTRY* held = Take("");
  ASSERT_EQ(STIGetGlob()->lastIndex, held->f.index);
  const char blank[8] = {' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};
  for (int gwFlag : {0, 1}) {
    ErrClear();
    EXPECT_EQ(STISearchConv(blank, 0, gwFlag), nullptr);
    EXPECT_FALSE(ErrIsSet());
    EXPECT_EQ(STISearchConv(blank, 1, gwFlag), nullptr);
    EXPECT_EQ(Fld(ERR_FLD_RC), "473");
  }
  EXPECT_EQ(STIActiveConvs(), 1);
  EXPECT_EQ(held->inUse.load(), 1);
}

TEST_F(Table, TheDuplicateCheckNeverFindsTheEntryItself) {
  ASSERT_EQ(STIAllocConvMem(2), CM_OK);
  CPIC_CONV_ENTRY* e = Take("31415926");
  EXPECT_EQ(Id(e), "31415926");
  // The gateway confirms the same id again (an accept on the same entry).
  EXPECT_FALSE(STIAssignConvId(e, "31415926", u"test"));
  EXPECT_EQ(Id(e), "31415926");
}

TEST_F(Table, TraceLevelRecomputation) {
  ASSERT_EQ(STIAllocConvMem(4), CM_OK);
  CPIC_CONV_ENTRY* reg = Take("10000001");
  CPIC_CONV_ENTRY* a = Take("10000002");
  CPIC_CONV_ENTRY* b = Take("10000003");
  reg->f.savedTraceLevel = 2;
  a->traceLevel.store(1);
  b->traceLevel.store(3);
  STIRecalcTraceLevel(reg->f.index);
  EXPECT_EQ(CpicTrcLevel(), 3);
  EXPECT_EQ(CTrcLevel.load(), 3);
  STIResetConv(b, true);
  STIRecalcTraceLevel(reg->f.index);
  EXPECT_EQ(CpicTrcLevel(), 1);
  STIResetConv(a, true);
  STIRecalcTraceLevel(reg->f.index);
  EXPECT_EQ(CpicTrcLevel(), 2) << "none left: the saved level";
  EXPECT_EQ(CTrcLevel.load(), 2);
  CpicISetLevel(0);
}

TEST_F(Table, TracedNiWrappers) {
  trccheck::TraceFile file(3);
  CpicISetLevel(3);
  CpicISetHdl(file.f);
  ASSERT_EQ(STIAllocConvMem(1), CM_OK);
  CPIC_CONV_ENTRY* e = Take("");
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->traceLevel.load(), 3);
  EXPECT_EQ(STINiCloseHandle(-1, 0), WEQ_O_K);
  char buf[4];
  uint32_t n = 99;
  // No handle is open: NI refuses the handle.
  EXPECT_EQ(e->f.readFn(7, buf, 4, 100, &n, 0), NIEINVAL);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(e->f.writeFn(7, buf, 4, 100, &n, 0), NIEINVAL);
  EXPECT_EQ(e->f.closeFn(7, 0), NIEINVAL);
  std::string body = file.After();
  for (const char* line :
       {"STINiCloseHandle: invalid handle", "STINiRead(7,", ",4,100)", "STINiRead (NIEINVAL)",
        "STINiWrite (NIEINVAL)", "STINiCloseHandle: handle 7 (NIEINVAL)"}) {
    EXPECT_NE(body.find(line), std::string::npos) << line << "\n" << body;
  }
  CpicISetLevel(0);
  CpicISetHdl(nullptr);
}

}  // namespace
