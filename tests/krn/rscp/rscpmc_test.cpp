// The converter's control: starts, finishes and rebuilds with their states,
// lines and version arithmetic; impromptu starts in child processes; the
// environment and private-use parameters; the database code page list.
#include <gtest/gtest.h>

#include <stdio.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "krn/rscp/rscpdat.h"
#include "rscpcc_fixture.h"
#include "rscpmc_fixture.h"
#include "support/testsupport.h"

namespace rscptest {
namespace {

using tovtest::CaptureFd;

class Lifecycle : public ControlTest {};

bool Has(const std::string& text, const std::string& line) { return text.find(line) != std::string::npos; }

TEST_F(Lifecycle, SecondStartBuildsNothing) {
  ASSERT_EQ(rscpi_init(-1), 0);
  EXPECT_EQ(rscpGetState(), RSCP_STATE_INIT);
  rscpCCC_t* c = Cache();
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->version, RSCP_CCC_VERSION);
  EXPECT_EQ(c->length, RSCP_CACHESIZE_DEFAULT);
  EXPECT_EQ(c->attaches, 1u);
  const std::u16string created(c->createdate, 16);
  const uint32_t version = c->reorg_version;
  EXPECT_EQ(rscpi_init(-1), 0);
  EXPECT_EQ(rscpi__init(-1), 0);
  EXPECT_EQ(Cache(), c);
  EXPECT_EQ(c->attaches, 1u);
  EXPECT_EQ(std::u16string(c->createdate, 16), created);
  EXPECT_EQ(c->reorg_version, version);
  // A regular start leaves the initialiser blank and its flag set.
  WEQ_UC name[30];
  EXPECT_EQ(rscpGetInitializer(name), 1);
  EXPECT_EQ(std::u16string(name, 30), std::u16string(30, u' '));
  EXPECT_EQ(rscpIGetDbCpFunc(), &rscpGetDBCodePages);
}

TEST_F(Lifecycle, TooSmallCacheFailsBeforeAnyAllocationAndTheNextStartIsALoop) {
  Params({{u"rsts/ccc/cachesize", u"100000"}});
  EXPECT_EQ(rscpi_init(-1), RSCPEINTERN);
  EXPECT_EQ(Last().code, u"F24");
  EXPECT_EQ(Cache(), nullptr);
  EXPECT_EQ(rscpGetState(), RSCP_STATE_STARTING);
  // The failed start restored the initialiser it found.
  WEQ_UC name[30];
  EXPECT_EQ(rscpGetInitializer(name), 1);
  EXPECT_EQ(rscpi_init(-1), RSCPEINTERN);
  EXPECT_EQ(Last().code, u"F6P");
  EXPECT_EQ(Last().location, 80);
  EXPECT_EQ(rscpf_finish(-1), 0);
  EXPECT_EQ(rscpGetState(), RSCP_STATE_NONE);
}

TEST_F(Lifecycle, FailedCacheAllocationLeavesStateStarting) {
  rscphTestFailAllocs(1, true);
  EXPECT_EQ(rscpi_init(-1), RSCPEINTERN);
  EXPECT_EQ(Last().code, u"F33");
  EXPECT_EQ(rscpGetState(), RSCP_STATE_STARTING);
  EXPECT_EQ(Cache(), nullptr);
}

TEST_F(Lifecycle, InvalidateThenRebuildKeepsHistoryAndRaisesVersionByOne) {
  ASSERT_EQ(rscpi_init(-1), 0);
  rscpCCC_t* old = Cache();
  old->lookups = 7;
  old->createObject = 5;
  old->clones[3] = 11;
  old->bytesIn = 1234567;
  old->tableReads[2] = 9;
  old->option16 = 1;
  const std::u16string created(old->createdate, 16);
  const uint32_t v0 = old->reorg_version;
  const uint32_t pid = old->pidCreate;
  ASSERT_EQ(rscpInvalidateLocked(nullptr, nullptr, u"test reason", -1, -1), 0);
  EXPECT_EQ(old->reorg_done, 0);
  CaptureFd err;
  ASSERT_EQ(rscpnr__need_reorg(0, -1), 0);
  err.Take();
  EXPECT_EQ(gAskedSleeps.load(), 1);
  EXPECT_EQ(gAskedSeconds.load(), 2u);
  rscpCCC_t* c = Cache();
  ASSERT_NE(c, old) << "a rebuild makes a new generation";
  EXPECT_EQ(std::u16string(c->createdate, 16), created);
  EXPECT_EQ(c->pidCreate, pid);
  EXPECT_EQ(c->reorg_version, v0 + 1);
  EXPECT_EQ(rscpGetLastVersion(), v0 + 1);
  EXPECT_EQ(c->reorg_done, 1);
  EXPECT_EQ(c->noof_reorgs, 1u);
  EXPECT_EQ(c->lookups, 7u);
  EXPECT_EQ(c->createObject, 5u);
  EXPECT_EQ(c->clones[3], 11u);
  EXPECT_EQ(c->bytesIn, 1234567u);
  EXPECT_GE(c->tableReads[2], 9u);
  EXPECT_EQ(c->option16, 1u);
  EXPECT_EQ(c->length, old == nullptr ? 0u : RSCP_CACHESIZE_DEFAULT);
  EXPECT_EQ(std::u16string(c->reorg_reason, 11), u"test reason");
  EXPECT_EQ(c->pidReorg, static_cast<uint32_t>(getpid()));
  EXPECT_EQ(rscpGetState(), RSCP_STATE_INIT);
  // Nothing more to do on the next call.
  EXPECT_EQ(rscpnr__need_reorg(0, -1), 0);
  EXPECT_EQ(gAskedSleeps.load(), 1);
  EXPECT_EQ(Cache(), c);
}

TEST_F(Lifecycle, FinishAndRestartRaiseTheVersion) {
  ASSERT_EQ(rscpi_init(-1), 0);
  const uint32_t v1 = Cache()->reorg_version;
  EXPECT_EQ(rscpf_finish(-1), 0);
  EXPECT_EQ(rscpGetState(), RSCP_STATE_NONE);
  EXPECT_EQ(Cache(), nullptr);
  EXPECT_EQ(rscpIGetReleased(), 1);
  EXPECT_EQ(rscpf_finish(-1), 0) << "a finish in state 0 does nothing";
  ASSERT_EQ(rscpi_init(-1), 0);
  EXPECT_GT(Cache()->reorg_version, v1);
  EXPECT_EQ(rscpIGetReleased(), 0);
}

struct IllegalStateCase {
  const char* name;
  int32_t state;
};

class IllegalState : public ControlTest, public ::testing::WithParamInterface<IllegalStateCase> {};

TEST_P(IllegalState, InvalidateReportsF44WithTheState) {
  if (GetParam().state == RSCP_STATE_STARTING) {
    Params({{u"rsts/ccc/cachesize", u"1000"}});
    rscpi_init(-1);
  } else {
    rscpmcTestFailBuilds(1, RSCPEINTERN);
    CaptureFd err;
    EXPECT_EQ(rscpi_init(-1), RSCPEINTERN);
    EXPECT_TRUE(Has(err.Take(), "CCC-cache init failed.\n"));
    EXPECT_EQ(rscpi_init(-1), RSCPEINTERN);
    EXPECT_EQ(Last().code, u"F36");
  }
  ASSERT_EQ(rscpGetState(), GetParam().state);
  EXPECT_EQ(rscpict3_invalidate_convert_tables(nullptr, nullptr, nullptr, 0, -1), RSCPEINTERN);
  EXPECT_EQ(Last().code, u"F44");
  EXPECT_EQ(Last().location, 40);
  EXPECT_EQ(Last().param1, tovtest::FromUtf8(std::to_string(GetParam().state) + "&"));
}

INSTANTIATE_TEST_SUITE_P(States, IllegalState,
                         ::testing::Values(IllegalStateCase{"starting", RSCP_STATE_STARTING},
                                           IllegalStateCase{"damaged", RSCP_STATE_DAMAGED}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Lifecycle, StartIOErrorSwitchesToReinitializeAndTheNextStartReusesTheCache) {
  rscpmcTestFailBuilds(1, RSCPEIO);
  CaptureFd err;
  EXPECT_EQ(rscpi_init(-1), RSCPEIO);
  std::string text = err.Take();
  EXPECT_EQ(rscpGetState(), RSCP_STATE_REINIT);
  EXPECT_EQ(Last().code, u"CQD");
  EXPECT_EQ(Last().location, 133);
  EXPECT_TRUE(Has(text, "I/O error. Code page converter switched to reinitialize state. CCC.reorg_done=T.\n")) << text;
  rscpCCC_t* c = Cache();
  ASSERT_NE(c, nullptr);
  CaptureFd err2;
  EXPECT_EQ(rscpi_init(-1), 0);
  text = err2.Take();
  EXPECT_EQ(Cache(), c) << "a start in state 5 reuses the cache";
  EXPECT_EQ(rscpGetState(), RSCP_STATE_INIT);
  char reuse[120];
  // The converter's formatter writes addresses in hexadecimal without "0x".
  snprintf(reuse, sizeof reuse, "In reinitialize state reuse shared memory at %lx. CCC.reorg_done=T.\n",
           static_cast<unsigned long>(reinterpret_cast<uintptr_t>(c)));
  EXPECT_TRUE(Has(text, "Try CCC initialization in state: 5 . (CCC not in reach.)\n")) << text;
  EXPECT_TRUE(Has(text, reuse)) << text;
  EXPECT_TRUE(Has(text, "Code page converter switched back to initialized state. CCC.reorg_done=T.\n")) << text;
  EXPECT_TRUE(Has(text, "Syslog:   CQE : CCC in initialized state.")) << text;
  EXPECT_TRUE(Has(text, "rscpmc  132")) << text;
}

TEST_F(Lifecycle, RebuildFailuresReachReinitializeAndDamaged) {
  ASSERT_EQ(rscpi_init(-1), 0);
  ASSERT_EQ(rscpInvalidateLocked(nullptr, nullptr, nullptr, 0, -1), 0);
  rscpmcTestFailBuilds(1, RSCPEIO);
  CaptureFd err;
  EXPECT_EQ(rscpnr__need_reorg(0, -1), RSCPEIO);
  std::string text = err.Take();
  EXPECT_EQ(rscpGetState(), RSCP_STATE_REINIT);
  EXPECT_EQ(Last().code, u"CQD");
  EXPECT_EQ(Last().location, 137);
  EXPECT_EQ(Cache()->reorg_done, 0);
  EXPECT_TRUE(Has(text, "Code page converter switched to reinitialize state. CCC.reorg_done:f->f.\n")) << text;
  // Still invalid: the next rebuild succeeds and switches back.
  CaptureFd err2;
  EXPECT_EQ(rscpnr__need_reorg(0, -1), 0);
  text = err2.Take();
  EXPECT_EQ(rscpGetState(), RSCP_STATE_INIT);
  EXPECT_TRUE(Has(text, "rscpmc  135")) << text;
  // Any other failure damages the converter; the published generation stays.
  ASSERT_EQ(rscpInvalidateLocked(nullptr, nullptr, nullptr, 0, -1), 0);
  rscpCCC_t* before = Cache();
  rscpmcTestFailBuilds(1, RSCPEINTERN);
  EXPECT_EQ(rscpnr__need_reorg(0, -1), RSCPEINTERN);
  EXPECT_EQ(rscpGetState(), RSCP_STATE_DAMAGED);
  EXPECT_EQ(Cache(), before);
}

TEST_F(Lifecycle, WrongLayoutVersionGivesF37AndTheNextStartReplacesTheBlock) {
  ASSERT_EQ(rscpi_init(-1), 0);
  rscpCCC_t* c = Cache();
  // As if the block came from another release: only the rebuild path
  // through state 5 looks at the version of an existing block.
  c->version = 12345;
  rscpSetState(RSCP_STATE_REINIT);
  CaptureFd err;
  EXPECT_EQ(rscpi_init(-1), RSCPEINTERN);
  const std::string text = err.Take();
  EXPECT_EQ(Last().code, u"F37");
  EXPECT_EQ(Last().location, 30);
  EXPECT_EQ(Last().param1, u"200911172");
  EXPECT_EQ(rscpGetState(), RSCP_STATE_WRONG_VERSION);
  EXPECT_TRUE(Has(text, "CCC buffer version should be 200911172 but is     12345\n")) << text;
  // The start from state 4 builds a fresh block and frees the old one (the
  // leak checker of the ASan run sees it).
  EXPECT_EQ(rscpi_init(-1), 0);
  EXPECT_NE(Cache(), nullptr);
  EXPECT_EQ(Cache()->version, RSCP_CCC_VERSION);
  EXPECT_EQ(rscpReclaimRetired(), 0);
}

// --- Fresh sizes -----------------------------------------------------------------------------

struct VersionCase {
  uint32_t last, old, reorgs, expected;
};

TEST(ReorgVersion, FreshSizesRule) {
  const VersionCase cases[] = {
      {0, 5, 0, 6},        {10, 5, 0, 11},      {0, 1, 0, 2},      {0, 0, 0, 2},
      {0, 1000000, 0, 2},  {0, 999999, 0, 1000000}, {0, 5, 7, 8},  {0, 5, 5, 6},
      {0, 5, 1000000, 6},  {20, 5, 7, 21},      {3, 1, 999999, 1000000},
  };
  for (const auto& k : cases) {
    EXPECT_EQ(rscpINextReorgVersion(k.last, k.old, k.reorgs), k.expected)
        << "last " << k.last << " old " << k.old << " reorgs " << k.reorgs;
  }
}

TEST_F(Lifecycle, DamagedHeaderRebuildsWithFreshSizesInABlockOfTheFreshSize) {
  ASSERT_EQ(rscpi_init(-1), 0);
  rscpCCC_t* old = Cache();
  ASSERT_EQ(rscpInvalidateLocked(nullptr, nullptr, u"eye", -1, -1), 0);
  old->eyeCatcher[2] = u'X';
  old->noof_reorgs = 40;
  const uint32_t last = rscpGetLastVersion();
  Params({{u"rsts/ccc/cachesize", u"400000"}});
  CaptureFd err;
  ASSERT_EQ(rscpnr__need_reorg(0, -1), 0);
  err.Take();
  rscpCCC_t* c = Cache();
  EXPECT_EQ(c->length, 400000u);
  EXPECT_EQ(c->end_t7, 400000u);
  EXPECT_EQ(c->reorg_version, rscpINextReorgVersion(last, old == c ? 0 : last, 40));
  EXPECT_EQ(c->reorg_version, 41u);
  EXPECT_EQ(c->noof_reorgs, 41u);
  EXPECT_EQ(std::u16string(c->eyeCatcher, 11), u">>RSCPCCC<<");
  EXPECT_EQ(c->version, RSCP_CCC_VERSION);
}

// --- Impromptu starts -------------------------------------------------------------------------

TEST_F(Lifecycle, ImpromptuStartQuietAndNoisy) {
  auto run = [](const char* env) {
    return tovtest::RunInChild([env] {
      ScopedEnv e("RSCP_CATCH_INIT", env);
      rscpResetProcess();
      const rscpRc_t rc = rscpi_init_just_in_case(u"testCaller");
      WEQ_UC name[30];
      const uint8_t flag = rscpGetInitializer(name);
      const bool named = std::u16string(name, 10) == u"testCaller" && flag == 0;
      const bool again = rscpi_init_just_in_case(u"other") == 0;
      return rc == 0 && rscpGetState() == RSCP_STATE_INIT && named && again ? 0 : 1;
    });
  };
  const auto quiet = run("0");
  EXPECT_EQ(quiet.exit_code, 0) << quiet.err;
  EXPECT_FALSE(Has(quiet.err, "Impromptu")) << quiet.err;
  const auto noisy = run(nullptr);
  EXPECT_EQ(noisy.exit_code, 0) << noisy.err;
  EXPECT_TRUE(Has(noisy.err, "Impromptu CCC initialization by 'testCaller'.\n")) << noisy.err;
  EXPECT_TRUE(Has(noisy.err, tovtest::ToUtf8(RSCP_IMPROMPTU_REFERENCE) + "\n")) << noisy.err;
}

TEST_F(Lifecycle, ImpromptuStartAbortsOnRequestAndOnTheMarkerFile) {
  tovtest::TempDir dir;
  struct Case {
    const char* env;
    bool marker;
  } cases[] = {{"a", false}, {"A", false}, {"0", true}};
  for (const auto& k : cases) {
    SCOPED_TRACE(k.env);
    if (k.marker) tovtest::WriteFile(dir.File("RSCP_CATCH_INIT"), "");
    const auto r = tovtest::RunInChild([&] {
      if (chdir(k.marker ? dir.path().c_str() : "/") != 0) return 3;
      ScopedEnv e("RSCP_CATCH_INIT", k.env);
      rscpResetProcess();
      rscpi_init_just_in_case(u"abortCaller");
      return 0;
    });
    EXPECT_EQ(r.signal, SIGABRT) << r.err;
    EXPECT_TRUE(Has(r.err, "Abort in rscpi_init_just_in_case.\n")) << r.err;
    EXPECT_EQ(access(dir.File("RSCP_CATCH_INIT").c_str(), F_OK), -1) << "the marker file is removed";
    if (!k.marker) {
      EXPECT_TRUE(Has(r.err, "Impromptu CCC initialization by 'abortCaller'.")) << r.err;
    } else {
      EXPECT_FALSE(Has(r.err, "Impromptu CCC")) << "quiet stays quiet";
    }
    ::unlink(dir.File("RSCP_CATCH_INIT").c_str());
  }
}

// --- Diagnostic switches ----------------------------------------------------------------------

struct SwitchCase {
  const char* name;
  const char16_t* onErrorParam;
  const char* onErrorEnv;
  const char16_t* traceParam;
  const char* traceEnv;
  long errTrace;
  long verbose;
};

class Switches : public ControlTest, public ::testing::WithParamInterface<SwitchCase> {};

TEST_P(Switches, ParameterOrEnvironmentSetOptionsFiveAndSix) {
  const SwitchCase& k = GetParam();
  std::map<std::u16string, std::u16string> p;
  if (k.onErrorParam != nullptr) p[u"rscp/on_error"] = k.onErrorParam;
  if (k.traceParam != nullptr) p[u"rdisp/TRACE"] = k.traceParam;
  Params(p);
  ScopedEnv e1("RSCP_ON_ERROR", k.onErrorEnv);
  ScopedEnv e2("RSCPTRACE", k.traceEnv);
  CaptureFd err;
  ASSERT_EQ(rscpi_init(-1), 0);
  err.Take();
  long v = -1;
  ASSERT_EQ(rscpgo_get_option(6, &v), 0);
  EXPECT_EQ(v, k.errTrace);
  ASSERT_EQ(rscpgo_get_option(5, &v), 0);
  EXPECT_EQ(v, k.verbose);
  rscpso_set_option(5, 0);
  rscpso_set_option(6, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Sources, Switches,
    ::testing::Values(SwitchCase{"none", nullptr, nullptr, nullptr, nullptr, 0, 0},
                      SwitchCase{"envOnError", nullptr, "1", nullptr, nullptr, 1, 0},
                      SwitchCase{"paramBeatsEnv", u"2", "1", nullptr, nullptr, 2, 0},
                      SwitchCase{"traceEnvBeatsParam", nullptr, nullptr, u"1", "2", 0, 2},
                      SwitchCase{"traceParam", nullptr, nullptr, u"1", nullptr, 0, 1},
                      SwitchCase{"emptyEnvIgnored", nullptr, "", u"2", "", 0, 2}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Lifecycle, MaxWeqcodeParameterIsReportedAsIgnored) {
  std::map<std::u16string, rscphTestParam> p;
  p[u"rsts/ccc/max_weqcode"] = {u"3000", u"2442"};
  rscphTestSetParams(p);
  CaptureFd err;
  ASSERT_EQ(rscpi_init(-1), 0);
  err.Take();
  rscpeClearThrErrors();
  rscpReadTraceOptions();
  EXPECT_EQ(Last().code, u"CP6");
  EXPECT_EQ(Last().location, 52);
  EXPECT_EQ(Last().param1, u"rsts/ccc/max_weqcode not used");
  p[u"rsts/ccc/max_weqcode"] = {u"2442", u"2442"};
  rscphTestSetParams(p);
  rscpeClearThrErrors();
  rscpReadTraceOptions();
  EXPECT_EQ(rscpeg__get_thr_errors()->count, 0);
}

struct ReinitCase {
  const char* name;
  const char16_t* qema;
  const char16_t* collate;
  std::vector<int> locations;
};

class Reinit : public ControlTest, public ::testing::WithParamInterface<ReinitCase> {};

TEST_P(Reinit, TextEnvironmentParameters) {
  std::map<std::u16string, std::u16string> p;
  if (GetParam().qema != nullptr) p[u"qema/set_text_env_at_new_mode"] = GetParam().qema;
  if (GetParam().collate != nullptr) p[u"install/collate/active"] = GetParam().collate;
  Params(p);
  CaptureFd err;
  reinit();
  const std::string text = err.Take();
  // Each report starts the stack anew and reaches the system log, whose
  // entries end with the module and the location.
  std::vector<int> got;
  for (size_t at = text.find("rscpmc   "); at != std::string::npos; at = text.find("rscpmc   ", at + 1)) {
    got.push_back(atoi(text.c_str() + at + 9));
  }
  EXPECT_EQ(got, GetParam().locations) << text;
  if (!got.empty()) {
    EXPECT_EQ(Last().location, got.back());
  }
}

INSTANTIATE_TEST_SUITE_P(Values, Reinit,
                         ::testing::Values(ReinitCase{"unset", nullptr, nullptr, {}},
                                           ReinitCase{"bothOne", u"1", u"1 ", {83}},
                                           ReinitCase{"same", u"1", u"1", {}},
                                           ReinitCase{"qemaZero", u"0", nullptr, {81}},
                                           ReinitCase{"collateTwo", nullptr, u"12", {82}},
                                           ReinitCase{"bothBad", u"0", u"0", {81, 82}},
                                           ReinitCase{"differ", u"0", u"1", {81, 83}}),
                         [](const auto& info) { return std::string(info.param.name); });

// --- Private-use parameters -------------------------------------------------------------------

struct PuaCase {
  const char16_t* value;
  uint32_t expected;
  const char* reason;  // NULL: accepted
};

TEST_F(Lifecycle, PrivateUseParameterValues) {
  const PuaCase cases[] = {
      {u"F8F0", 0xF8F0, nullptr}, {u"E000", 0xE000, nullptr},  {u"F8FF", 0xF8FF, nullptr},
      {u"e12a", 0xE12A, nullptr}, {u"DFFF", 0xF8FD, "range:E000..F8FF"},
      {u"F900", 0xF8FD, "range:E000..F8FF"}, {u"G000", 0xF8FD, "range:E000..F8FF"},
      {u"F8F", 0xF8FD, "length != 4"}, {u"F8F00", 0xF8FD, "length != 4"}, {u"", 0xF8FD, "length != 4"},
      {u"+E01", 0xF8FD, "range:E000..F8FF"},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(tovtest::ToUtf8(k.value));
    Params({{u"rscp/pua/icon2intro", k.value}});
    uint32_t v = 0xF8FD;
    CaptureFd err;
    EXPECT_EQ(rscpReadPuaParam(u"rscp/pua/icon2intro", &v), 0);
    const std::string text = err.Take();
    EXPECT_EQ(v, k.expected);
    if (k.reason == nullptr) {
      EXPECT_EQ(text, "");
    } else {
      EXPECT_TRUE(Has(text, std::string("Syslog: i E16 : rscp/pua/icon2intro&") + k.reason + "&")) << text;
    }
  }
  Params({});
  uint32_t v = 0x1234;
  EXPECT_EQ(rscpReadPuaParam(u"rscp/pua/icon2intro", &v), 0);
  EXPECT_EQ(v, 0x1234u) << "an unset parameter leaves the value";
}

TEST_F(Lifecycle, StartRefreshesTheIntroducerForms) {
  Params({{u"rscp/pua/icon2intro", u"E001"}, {u"rscp/pua/frame1intro", u"F0A2"}, {u"rscp/pua/DBC_replacement", u"X"}});
  CaptureFd err;
  ASSERT_EQ(rscpi_init(-1), 0);
  err.Take();
  uint8_t pair[2], utf8[3];
  rscpGetIconPair(pair);
  EXPECT_EQ(pair[0], 0xE0);
  EXPECT_EQ(pair[1], 0x01);
  rscpGetIconUtf8(utf8);
  EXPECT_EQ(std::vector<uint8_t>(utf8, utf8 + 3), (std::vector<uint8_t>{0xEE, 0x80, 0x81}));
  EXPECT_EQ(rscpGetIconIntroducer(), 0xE001);
  rscpGetFramePair(pair);
  EXPECT_EQ(pair[0], 0xF0);
  EXPECT_EQ(pair[1], 0xA2);
  EXPECT_EQ(rscpGetPua(RSCP_PUA_DBC_REPL), 0xF8FEu);
  EXPECT_EQ(rscpGetPua(RSCP_PUA_PRINT5), 0xF8FFu);
}

// --- Database code pages ------------------------------------------------------------------------

class DbCodePages : public ControlTest {};

TEST_F(DbCodePages, WithoutCacheReportsBusy) {
  rscpCp_t out[4];
  int count = 9;
  EXPECT_EQ(rscpGetDBCodePages(out, 4, &count), RSCPEBUSY);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(Last().code, u"CP6");
  EXPECT_EQ(Last().location, 3);
  EXPECT_EQ(Last().param1, u"CCC not yet initialized");
}

TEST_F(DbCodePages, MaximumZeroAndFullList) {
  ASSERT_EQ(rscpi_init(-1), 0);
  rscpCCC_t* c = Cache();
  c->db_cp_count = 2;
  memcpy(c->db_cp_list[0], u"0100", 8);
  memcpy(c->db_cp_list[1], u"4103", 8);
  rscpCp_t out[4];
  int count = 9;
  EXPECT_EQ(rscpGetDBCodePages(out, 0, &count), RSCPETOOLONG);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(Last().code, u"CP8");
  EXPECT_EQ(Last().param1, u"2 code pages");
  EXPECT_EQ(rscpGetDBCodePages(out, 1, &count), RSCPETOOLONG);
  EXPECT_EQ(count, 1);
  EXPECT_EQ(std::u16string(out[0], 4), u"0100");
  EXPECT_EQ(rscpGetDBCodePages(out, 4, &count), 0);
  EXPECT_EQ(count, 2);
  EXPECT_EQ(std::u16string(out[1], 4), u"4103");
}

TEST_F(DbCodePages, AVersionChangeRebuildsFirst) {
  ASSERT_EQ(rscpi_init(-1), 0);
  rscpCp_t out[4];
  int count = 0;
  ASSERT_EQ(rscpGetDBCodePages(out, 4, &count), 0);
  EXPECT_EQ(gAskedSleeps.load(), 0);
  ASSERT_EQ(rscpInvalidateLocked(nullptr, nullptr, nullptr, 0, -1), 0);
  rscpCCC_t* old = Cache();
  CaptureFd err;
  ASSERT_EQ(rscpGetDBCodePages(out, 4, &count), 0);
  err.Take();
  EXPECT_EQ(gAskedSleeps.load(), 1);
  EXPECT_NE(Cache(), old);
  EXPECT_EQ(Cache()->reorg_done, 1);
  EXPECT_EQ(rscpIGetReorgNesting(), 0);
  // A failing rebuild leaves the count untouched.
  ASSERT_EQ(rscpInvalidateLocked(nullptr, nullptr, nullptr, 0, -1), 0);
  rscpmcTestFailBuilds(1, RSCPEINTERN);
  count = 77;
  EXPECT_EQ(rscpGetDBCodePages(out, 4, &count), RSCPEINTERN);
  EXPECT_EQ(count, 77);
}

}  // namespace
}  // namespace rscptest
