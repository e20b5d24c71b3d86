// The converter's hook table, its per-thread context on one thread, and the
// names of its enumerations.
#include <errno.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <set>

#include "krn/thr/thr.h"
#include "rscp_testutil.h"
#include "support/testsupport.h"

namespace {

using namespace rscptest;
using Lines = std::vector<std::u16string>;
using tovtest::ToUtf8;

class Hooks : public ConverterTest {};

bool AllBytes(const void* p, size_t n, unsigned char v) {
  auto* b = static_cast<const unsigned char*>(p);
  return std::all_of(b, b + n, [v](unsigned char c) { return c == v; });
}

TEST_F(Hooks, BlocksAreFilledAndFreedByTag) {
  struct Case {
    int fill;
    bool filled;
  };
  for (const Case& c : {Case{0, true}, Case{7, true}, Case{255, true}, Case{222, false}}) {
    void* p = rscpHooks.alloc(u"RSCPML  ", 0, 1, 4096, c.fill);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(AllBytes(p, 4096, static_cast<unsigned char>(c.fill)), c.filled) << c.fill;
    // Any tag but 254 keeps the block: it stays usable and is freed once.
    EXPECT_EQ(rscpHooks.freeBlock(u"RSCPML  ", p, 253), -1);
    memset(p, 1, 4096);
    EXPECT_EQ(rscpHooks.freeBlock(u"RSCPML  ", p, 0), -1);
    EXPECT_EQ(rscpHooks.freeBlock(u"RSCPML  ", p, RSCPH_FREE_TAG), 0);
  }
  rscphTestFailAllocs(2, false);
  EXPECT_EQ(rscpHooks.alloc(nullptr, 0, 1, 16, 0), nullptr);
  EXPECT_EQ(rscpHooks.alloc(nullptr, 0, 1, 16, 0), nullptr);
  void* p = rscpHooks.alloc(nullptr, 0, 1, 16, 0);
  EXPECT_NE(p, nullptr);
  rscpHooks.freeBlock(nullptr, p, RSCPH_FREE_TAG);
}

TEST_F(Hooks, CacheMemoryAndItsFailure) {
  void* cache = &cache;
  uint8_t shared = 9, attached = 9, released = 0;
  const WEQ_UC* method = nullptr;
  ASSERT_EQ(rscpHooks.allocCache(&cache, &shared, &attached, &method, 170000, 64), 0);
  EXPECT_NE(cache, nullptr);
  EXPECT_EQ(shared + attached, 0);
  EXPECT_EQ(std::u16string(method), u"malloc");
  memset(cache, 0, 170000);
  EXPECT_EQ(rscpHooks.releaseCache(cache, 64, &released), 0);
  EXPECT_EQ(released, 1);

  rscphTestFailAllocs(1, true);
  cache = &cache;
  method = nullptr;
  tovtest::CaptureFd err;
  EXPECT_EQ(rscpHooks.allocCache(&cache, &shared, &attached, &method, 6000000, 64), RSCPEINTERN);
  EXPECT_EQ(err.Take(), "Syslog: k F33 : " + std::string(53, ' ') + "rscphook 64\n");
  EXPECT_EQ(cache, nullptr);
  EXPECT_EQ(std::u16string(method), u"malloc");
  const rscpErrEntry_t& e = rscpeg__get_thr_errors()->entries[0];
  EXPECT_EQ(Field(e.msgCode, 3) + Field(e.module, 8), u"F33rscphook");
  EXPECT_EQ(e.location, 64);
  EXPECT_EQ(Field(e.text, 41), u"cannot malloc for char code convert cache");
}

TEST_F(Hooks, CodePagesLanguageAndQuietSlots) {
  rscpCp_t cp = {u'x', u'x', u'x', u'x'};
  WEQ_UC key = 0;
  EXPECT_EQ(rscpHooks.getDefaultCp(&cp), RSCPENOOBJ);
  EXPECT_EQ(Field(cp, 4), u"4103");
  EXPECT_EQ(Field(rscpHooks.defaultCp, 4), u"4103");
  EXPECT_EQ(rscpHooks.getUnsetCp(&cp), RSCPENOOBJ);
  EXPECT_EQ(Field(cp, 4), u"0000");
  EXPECT_EQ(rscpHooks.getKeyChar(&key), RSCPENOOBJ);
  EXPECT_EQ(key, u'E');
  EXPECT_EQ(rscpHooks.traceActive(), 0);
  EXPECT_EQ(rscpHooks.optionBytes[1], 0);
  EXPECT_EQ(rscpHooks.setLocale(6, u"de_DE"), nullptr);
  EXPECT_EQ(rscpHooks.getWritePermission(29) + rscpHooks.releaseWritePermission(30), 0);
  EXPECT_EQ(rscpHooks.semaStep1(24), 0);
  EXPECT_EQ(rscpli__load_init(7) + rscpli__load_finish(8), 0);
  EXPECT_EQ(rscpeg__get_thr_errors()->count, 0);
}

TEST_F(Hooks, ParametersAreUnsetUnlessATestSetsThem) {
  const WEQ_UC* value = u"junk";
  const WEQ_UC* dflt = u"junk";
  EXPECT_EQ(rscpHooks.param(u"rsts/ccc/cachesize"), nullptr);
  EXPECT_EQ(rscpHooks.paramDetail(u"rsts/ccc/cachesize", &value, &dflt), 0);
  EXPECT_EQ(value, nullptr);
  EXPECT_EQ(dflt, nullptr);

  rscphTestSetParams({{u"rsts/ccc/cachesize", {u"200000", u"6000000"}}, {u"rscp/x", {std::nullopt, u"1"}}});
  struct Case {
    const WEQ_UC* name;
    const WEQ_UC* value;
    const WEQ_UC* dflt;
  };
  for (const Case& c : {Case{u"rsts/ccc/cachesize", u"200000", u"6000000"}, Case{u"rscp/x", nullptr, u"1"},
                        Case{u"rscp/y", nullptr, nullptr}}) {
    auto str = [](const WEQ_UC* s) { return s ? std::u16string(s) : u"(unset)"; };
    EXPECT_EQ(str(rscpHooks.param(c.name)), str(c.value));
    rscpHooks.paramDetail(c.name, &value, &dflt);
    EXPECT_EQ(str(value) + u"|" + str(dflt), str(c.value) + u"|" + str(c.dflt));
    rscpHooks.paramDetail(c.name, nullptr, nullptr);  // out pointers may be missing
  }
  rscpResetProcess();
  EXPECT_EQ(rscpHooks.param(u"rsts/ccc/cachesize"), nullptr);
}

std::string LocalStamp(time_t t) {
  struct tm tm;
  localtime_r(&t, &tm);
  char buf[32];
  strftime(buf, sizeof buf, "%Y%m%d%H%M%S00", &tm);
  return buf;
}

TEST_F(Hooks, TimeStampIsLocalTime) {
  for (const char* tz : {"UTC0", "CET-1CEST,M3.5.0,M10.5.0/3", "America/New_York"}) {
    setenv("TZ", tz, 1);
    tzset();
    WEQ_UC stamp[16];
    const time_t before = time(nullptr);
    rscpHooks.timeStamp(stamp);
    const time_t after = time(nullptr);
    const std::string got = ToUtf8(Field(stamp, 16));
    EXPECT_TRUE(got == LocalStamp(before) || got == LocalStamp(after)) << got << " in " << tz;
  }
  unsetenv("TZ");
  tzset();
}

std::atomic<uint32_t> gAsked{0};

TEST_F(Hooks, WaitBeforeClearingSleepsThroughTheSleepSlot) {
  rscphTestSetSleep([](uint32_t s) {
    gAsked = s;
    return 7;
  });
  for (int (*wait)(uint32_t) : {WaitBeforeClearing, rscpHooks.waitBeforeClearing}) {
    gAsked = 0;
    tovtest::CaptureFd err;
    EXPECT_EQ(wait(2), 7);
    const std::string out = err.Take();
    EXPECT_EQ(gAsked, 2u);
    // Two lines of 38: a stamp of 14 digits and "00", then the notice.
    ASSERT_EQ(out.size(), 2 * 39u) << out;
    for (size_t at : {0u, 39u}) {
      EXPECT_TRUE(std::all_of(out.begin() + at, out.begin() + at + 14, ::isdigit)) << out;
      EXPECT_EQ(out.substr(at + 14, 2), "00");
    }
    EXPECT_EQ(out.substr(16, 23) + out.substr(39 + 16, 23),
              " WaitBeforeClearing...\n ...Clearing CCCC now.\n");
  }
}

TEST_F(Hooks, DescribeSemaphoreForms) {
  const std::u16string longName = u"0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ-+*/=%";
  const std::u16string tid = tovtest::FromUtf8(std::to_string(syscall(SYS_gettid)));
  struct Case {
    const WEQ_UC* holder;
    int location, detail;
    Lines want;
  };
  const Case cases[] = {
      {u"rscpnr", 130, 0, {u"ThrMtx'CCC' by rscpnr at 130"}},
      {nullptr, 53, 2, {u"ThrMtx'CCC' caller at 53"}},
      {u"after failing rscpReleaseWritePermissionAndSema", 0, 0,
       {u"ThrMtx'CCC' by after failing rscpReleaseWritePermissionAndSema"}},
      {nullptr, 0, 0, {u"ThrMtx'CCC': rscph_DescrSemaphore was called"}},
      {longName.c_str(), 5, 0, {u"ThrMtx'CCC' by " + longName.substr(0, 40) + u" at 5"}},
      {longName.c_str(), -1, 0, {u"ThrMtx'CCC' by " + longName.substr(0, 56)}},
      {nullptr, 0, 3, {u"ThrMtx'CCC': rscph_DescrSemaphore was called", u"This is thread '" + tid + u"'"}},
  };
  for (const Case& c : cases) {
    Lines got;
    uint8_t notInit = 9;
    EXPECT_EQ(rscpHooks.describeSema(
                  c.holder, c.location,
                  [](const WEQ_UC* line, int len, void* arg) {
                    static_cast<Lines*>(arg)->emplace_back(line, len);
                  },
                  &got, c.detail, &notInit),
              0);
    EXPECT_EQ(got, c.want);
    EXPECT_EQ(notInit, 0);
  }
  // Through the line adapter onto the error output, with the thread library stopped.
  tovtest::ChildResult r = tovtest::RunInChild([] {
    ThrProcExit();
    uint8_t notInit = 0;
    rscph_DescrSemaphore(u"x", 3, rscpeLineAdapter, reinterpret_cast<void*>(&rscph_ErrorOutput), 0, &notInit);
    return notInit;
  });
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "ThrMtx'CCC' by x at 3\nThread library is *not* initialized.\n");
}

TEST_F(Hooks, CccMutexStepsLockAndUnlock) {
  EXPECT_EQ(rscpHooks.semaStep2(46), 0);
  EXPECT_EQ(rscpHooks.semaStep2(46), 0);  // created once; later calls change nothing
  EXPECT_EQ(rscpHooks.lock(26), 0);
  EXPECT_EQ(rscpHooks.unlock(64), 0);
  EXPECT_EQ(rscpeg__get_thr_errors()->count, 0);
  // Unlocking a mutex this thread does not hold is a thread-library error.
  tovtest::CaptureFd err;
  EXPECT_EQ(rscpHooks.unlock(99), RSCPEINTERN);
  EXPECT_EQ(err.Take().substr(0, 16), "Syslog: k F29 : ");
  const rscpErrEntry_t& e = rscpeg__get_thr_errors()->entries[0];
  EXPECT_EQ(Field(e.msgCode, 3) + Field(e.module, 8), u"F29rscphook");
  EXPECT_EQ(e.location, 99);
  EXPECT_EQ(Field(e.text, 55), u"char code converter cannot release mutex (ThrMtxUnlock)");
  EXPECT_EQ(Field(e.param1, e.param1Len), std::u16string(ThrErrTxt(THR_ERR_NOT_OWNER)).substr(0, 64));
  // While the thread library is stopped the lock and unlock do nothing: an
  // unlock without a lock succeeds too.
  tovtest::ChildResult r = tovtest::RunInChild([] {
    ThrProcExit();
    return rscpHooks.unlock(1) + rscpHooks.lock(2) + rscpHooks.unlock(3);
  });
  EXPECT_EQ(r.exit_code, 0) << r.err;
}

#ifndef NDEBUG
using HooksDeathTest = Hooks;
TEST_F(HooksDeathTest, SecondLockOnOneThreadIsCaught) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        rscpHooks.lock(1);
        rscpHooks.lock(2);
      },
      "locked twice on one thread");
}
#endif

TEST_F(Hooks, SegmentRecordsSortByTheLowSevenBits) {
  struct Rec {
    uint32_t w[3];
  };
  std::vector<Rec> recs;
  for (uint32_t k : {0x85u, 0x03u, 0xFFu, 0x100u, 0x7Eu, 0x12345602u, 0x41u})
    recs.push_back(Rec{{k * 7, ~k, k}});
  std::vector<uint32_t> want;
  for (const Rec& r : recs) want.push_back(r.w[2] & 0x7F);
  std::sort(want.begin(), want.end());
  qsort(recs.data(), recs.size(), sizeof(Rec), rscpCompareSegKey);
  std::vector<uint32_t> got;
  for (const Rec& r : recs) got.push_back(r.w[2] & 0x7F);
  EXPECT_EQ(got, want);
  const Rec a{{0, 0, 0x80 | 5}}, b{{9, 9, 3}}, c{{1, 1, 0xFF}}, d{{2, 2, 0x7F}};
  EXPECT_EQ(rscpCompareSegKey(&a, &b), 2);
  EXPECT_EQ(rscpCompareSegKey(&b, &a), -2);
  EXPECT_EQ(rscpCompareSegKey(&c, &d), 0);
}

// --- Per-thread context on one thread -----------------------------------------------------------

class ThreadContext : public ConverterTest {};

TEST_F(ThreadContext, RecordStaysUntilFreedThenStartsOver) {
  rscpThrCtx_t* ctx = rscpGetThrCtx();
  ASSERT_EQ(rscpGetThrCtx(), ctx);
  EXPECT_EQ(rscpeg__get_thr_errors(), &ctx->errors);
  rscpe__error(RSCPETOOLONG, u'C', -1, kTestModule, 1, 1, u"t", u"X", nullptr, 0, nullptr, 0);
  ctx->bytesIn = 5;
  ctx->tableReads[3] = 4;
  ctx->append = 1;
  rscpFreeThrCtx();
  rscpThrCtx_t* fresh = rscpGetThrCtx();
  EXPECT_EQ(fresh->errors.count, 0);
  EXPECT_EQ(fresh->bytesIn + fresh->tableReads[3] + fresh->append, 0u);
  EXPECT_EQ(rscpGetThrCtx(), fresh);
  EXPECT_EQ(rscpGetThrCtxFailures(), 0u);
}

// Without a key every thread shares one fallback record, and each attempt
// says so on standard error.
TEST_F(ThreadContext, NoKeyLeftGivesTheFallbackRecord) {
  tovtest::ChildResult r = tovtest::RunInChild([] {
    rscpFreeThrCtx();
    std::vector<ThrKey> keys;
    for (ThrRc rc = 0; rc == 0;) {
      keys.push_back(THR_KEY_NONE);
      rc = ThrKeyGet(&keys.back(), nullptr);
    }
    rscpThrCtx_t* a = rscpGetThrCtx();
    rscpThrCtx_t* b = rscpGetThrCtx();
    int bad = (a != b) | (rscpGetThrCtxFailures() != 2) << 1;
    ThrKeyDelete(&keys.front());
    rscpThrCtx_t* own = rscpGetThrCtx();
    bad |= (own == a) << 2 | (rscpGetThrCtx() != own) << 3;
    return bad;
  });
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, "rscpmc5: ThrKeyGet failed\nrscpmc5: ThrKeyGet failed\n");
}

// --- Names ----------------------------------------------------------------------------------------

TEST(Names, EveryFunctionWithItsFallback) {
  struct Case {
    const WEQ_UC* (*fn)(int64_t);
    int64_t value;
    const WEQ_UC* name;
  };
  auto method = [](int64_t v) { return rscpNameOfMethod(static_cast<uint32_t>(v)); };
  auto nls = [](int64_t v) { return rscpNameOfNLS(static_cast<uint32_t>(v)); };
  auto rule = [](int64_t v) { return rscpNameOfOutRule(static_cast<uint16_t>(v)); };
  auto fill = [](int64_t v) { return rscpNameOfFill(static_cast<int32_t>(v)); };
  auto broken = [](int64_t v) { return rscpNameOfBroken(static_cast<int32_t>(v)); };
  auto ctrl = [](int64_t v) { return rscpNameOfCtrlCodeCv(static_cast<int32_t>(v)); };
  auto own = [](int64_t v) { return rscpNameOfOwnChCv(static_cast<int32_t>(v)); };
  auto f1 = [](int64_t v) { return rscpNameOfUseF1(static_cast<int32_t>(v)); };
  auto drop = [](int64_t v) { return rscpNameOfDrop(static_cast<int32_t>(v)); };
  auto table = [](int64_t v) { return rscpNameOfTable(static_cast<int32_t>(v)); };
  const Case cases[] = {
      {method, 0, u"unknownMeth"},         {method, 2, u"direct"},
      {method, 12, u"1B_to_1B"},           {method, 25, u"U2_swap"},
      {method, 33, u"nu16be_get_tab"},     {method, 41, u"2022_tab"},
      {method, 49, u"A7_to_U6sw"},         {method, 50, u"unknown(50)"},
      {method, 0xFFFFFFFF, u"unknown(-1)"},
      {nls, 0, u"NLS_not"},                {nls, 8, u"NLS_HK_U31_Ch"},
      {nls, 9, u"unknown(9)"},             {nls, 10, u"NLS_UCS_2h"},
      {nls, 16, u"NLS_UTF_16l"},           {nls, 17, u"unknown(17)"},
      {nls, 18, u"unknown(18)"},           {nls, 19, u"NLS_WEQ16"},
      {nls, 22, u"unknown(22)"},           {nls, 34, u"NLS_tradiCh+sJIS_L1"},
      {nls, 39, u"NLS_AsianUni"},          {nls, 40, u"unknown(40)"},
      {rule, 10, u"out_rule_U2h"},         {rule, 16, u"out_rule_U22l"},
      {rule, 17, u"unknown_out_rule(17)"}, {rule, 41, u"out_rule_IconE"},
      {rule, 57, u"out_rule_UIconL"},      {rule, 68, u"out_rule_URange"},
      {rule, 72, u"out_rule_ZRange"},      {rule, 65535, u"unknown_out_rule(65535)"},
      {fill, 0, u".=never"},               {fill, 3, u"t=and_trunc_spaces"},
      {fill, 4, u"?illigal_rscpfill"},     {fill, -1, u"?illigal_rscpfill"},
      {broken, 2, u"r=stop_restartable"},  {broken, 3, u"?illigal_rscpbroken"},
      {ctrl, 0, u"i=illegal"},             {ctrl, 1, u"t=try"},
      {ctrl, 2, u"?illegal_rscpCtrlCodeCv"},
      {own, 0, u"i=ignore"},               {own, -1, u"?illegal_rscpWEQOwnChCv"},
      {f1, 0, u"?illegal_useF1"},          {f1, 1, u"n=not"},
      {f1, 5, u"c=customizable"},          {f1, 6, u"?illegal_useF1"},
      {drop, 0, u".=stop"},                {drop, 3, u"s=space"},
      {drop, 4, u"?illegal_drop"},
      {table, 0, u"TCP00"},                {table, 7, u"TCP0F"},
      {table, 8, u"TCP0F"},                {table, 9, u"TCP0F"},
      {table, 11, u"TCPSBUILD"},           {table, 17, u"UMGCCTL"},
      {table, 18, u"UMGCCTL"},             {table, 31, u"UMGNTCD6"},
      {table, 32, u"unknown table"},       {table, -1, u"unknown table"},
  };
  for (const Case& c : cases) EXPECT_EQ(std::u16string(c.fn(c.value)), c.name) << c.value;
  // Every method has its own name, and the first letter of each option name
  // is its letter in the chooser's trace key.
  std::set<std::u16string> methods;
  for (uint32_t m = 0; m < 50; ++m) methods.insert(rscpNameOfMethod(m));
  EXPECT_EQ(methods.size(), 50u);
  EXPECT_EQ(std::u16string({rscpNameOfBroken(1)[0], rscpNameOfDrop(2)[0], rscpNameOfUseF1(4)[0],
                            rscpNameOfCtrlCodeCv(1)[0], rscpNameOfOwnChCv(0)[0], rscpNameOfFill(2)[0]}),
            u"mrttis");
}

}  // namespace
