// The method chooser on the built-in code pages: equal pages, the Unicode
// forms, unsupported pairs, ISO-2022 promotion, the unified code pages with
// their substitution passes, the quick pairs, and cache overflow.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "krn/rscp/rscpld_int.h"
#include "rscpc_fixture.h"
#include "support/testsupport.h"

namespace rscptest {
namespace {

std::u16string U16(const std::string& s) { return std::u16string(s.begin(), s.end()); }

class Chooser : public EngineTest {
 protected:
  // The T1 and T2 areas' bounds: equal before and after when nothing loaded.
  static std::pair<uint32_t, uint32_t> Areas() {
    const rscpCCC_t* c = rscpIGetPublishedCache();
    return {c->end_t1, c->first_t2};
  }
};

struct PairCase {
  const char* from;
  const char* to;
  uint8_t noDirect;
  uint32_t method;
  rscpRc_t rc;
  const char* code;  // message code of the newest report, "" none
};

class ChooserPairs : public Chooser, public ::testing::WithParamInterface<PairCase> {};

TEST_P(ChooserPairs, MethodOfThePair) {
  const PairCase c = GetParam();
  rscpCObj_t o = JavaObject(c.from, c.to);
  o.no_direct = c.noDirect;
  EXPECT_EQ(rscpCLoadTables(&o), c.rc);
  EXPECT_EQ(o.method, c.method) << c.from << "->" << c.to << " " << tovtest::ToUtf8(rscpNameOfMethod(o.method));
  EXPECT_EQ(LastCode(), std::u16string(c.code, c.code + strlen(c.code)));
  if (c.rc == 0) {
    EXPECT_EQ(o.cache_version, Cache()->reorg_version);
    EXPECT_EQ(o.in_looked_up, 1);
    EXPECT_EQ(o.out_looked_up, 1);
    EXPECT_NE(o.in_t1, 0u);
    EXPECT_NE(o.out_t1, 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Pairs, ChooserPairs,
    ::testing::Values(PairCase{"1100", "1100", 1, 4, 0, ""},      // no_direct: through the lookups
                      PairCase{"4102", "4103", 0, 25, 0, ""},     // UTF-16 swapped
                      PairCase{"4102", "4103", 1, 4, 0, ""},
                      PairCase{"4110", "4103", 0, 23, 0, ""},     // UTF-8 to UTF-16LE
                      PairCase{"4110", "4102", 0, 24, 0, ""},
                      PairCase{"4103", "4110", 0, 21, 0, ""},
                      PairCase{"4100", "4110", 0, 14, 0, ""},
                      PairCase{"4104", "4105", 0, 26, 0, ""},
                      PairCase{"4100", "4101", 0, 25, 0, ""},
                      PairCase{"4101", "4103", 0, 2, 0, ""},      // D: UCS-2 LE read as UTF-16 LE
                      PairCase{"4103", "1100", 0, 35, 0, ""},     // W16 with the bindings' options
                      PairCase{"4102", "8000", 0, 33, 0, ""},
                      PairCase{"1100", "4103", 0, 4, 0, ""},
                      PairCase{"1101", "4103", 0, 48, 0, ""},     // 7-bit ASCII, control codes on
                      PairCase{"1101", "4102", 0, 49, 0, ""},
                      PairCase{"8000", "4103", 0, 4, 0, ""},
                      PairCase{"8000", "8100", 0, 6, 0, ""},      // P: kinds differ
                      PairCase{"8000", "8000", 1, 4, 0, ""},      // L
                      PairCase{"4000", "4103", 0, 4, 0, ""},
                      PairCase{"4103", "4000", 0, 36, 0, ""},     // the own code is mixed
                      PairCase{"8200", "8000", 0, 42, 0, ""},     // ISO-2022: 6 becomes 42
                      PairCase{"8200", "4103", 0, 41, 0, ""},     // 5 becomes 41
                      PairCase{"8200", "4000", 0, 11, RSCPENOCONV, "CPR"},
                      PairCase{"8200", "0100", 0, 10, RSCPENOCONV, "CPR"},
                      PairCase{"4100", "8100", 0, 0, RSCPENOCONV, "CPR"},   // UCS-2 to EUC
                      PairCase{"4110", "8200", 0, 0, RSCPENOCONV, "CPR"},
                      PairCase{"8100", "4110", 0, 0, 0, ""},      // Z: no method, no report
                      PairCase{"0042", "4103", 0, 0, RSCPENOCONV, "F43"},
                      PairCase{"4103", "0042", 0, 0, RSCPENOCONV, "F43"}));

TEST_F(Chooser, EqualCodePagesAreDirectWithoutTouchingTheCache) {
  rscpCObj_t o = JavaObject("8450", "8450");
  const auto before = Areas();
  EXPECT_EQ(rscpCLoadTables(&o), 0);
  EXPECT_EQ(o.method, 2u);
  EXPECT_EQ(o.cache_version, 0u);
  EXPECT_EQ(o.in_looked_up, 0);
  EXPECT_EQ(Areas(), before);
}

TEST_F(Chooser, UnsupportedPairKeepsTheLookedUpSides) {
  rscpCObj_t o = JavaObject("4100", "8100");
  EXPECT_EQ(rscpCLoadTables(&o), RSCPENOCONV);
  EXPECT_EQ(o.in_nls, 10u);
  EXPECT_EQ(o.out_nls, 1u);
  EXPECT_EQ(o.in_looked_up, 1);
  const rscpErrStack_t* s = rscpeg__get_thr_errors();
  const rscpErrEntry_t& e = s->entries[s->count - 1];
  EXPECT_EQ(std::u16string(e.param1, e.param1Len), u"4100&8100&NLS_UCS_2h&NLS_EUC&");
}

TEST_F(Chooser, ObjectFieldsOfALookup) {
  rscpCObj_t o = JavaObject("8200", "4103");
  EXPECT_EQ(rscpCLoadTables(&o), 0);
  const rscpCpEntry_t* in = Entry("8200");
  const rscpCpEntry_t* out = Entry("4103");
  EXPECT_EQ(o.in_t1, rscpIInRoot(in, 1));   // control codes try, own characters ignore: slot 1
  EXPECT_EQ(o.out_t1, rscpIOutT2(out, 1));
  EXPECT_EQ(o.in_maxln, in->in[1].maxLen & 0xFF);
  EXPECT_EQ(o.out_maxln, out->out[1].maxLen & 0xFF);
  EXPECT_EQ(o.shift_state & 0x3FF, in->flags & 0x3FF);
  EXPECT_NE(o.shift_state & 0x3FF, 0u);
  EXPECT_EQ((o.shift_state >> 14) & 0x3FF, out->flags & 0x3FF);
  EXPECT_EQ(o.out_space_len, out->blankLen);
  EXPECT_EQ(memcmp(o.out_space, out->blank, out->blankLen), 0);
  EXPECT_EQ(o.in_space_len, 1u);
  EXPECT_EQ(o.in_space[0], 0x20);
  EXPECT_EQ(o.lang_key, u'E');
  EXPECT_EQ(o.h_last_NLS_to_4000, 2u);
  EXPECT_EQ(o.method, 41u);
}

TEST_F(Chooser, OutputIntoTheOwnCodeIsKindNineteenAndInputGuesses) {
  rscpCObj_t o = JavaObject("4000", "4000");
  o.no_direct = 1;
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(rscpCLoadTables(&o), 0);
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(o.out_nls, 19u);
  EXPECT_EQ(o.method, 2u);  // the matrix gives 2 for 19 -> 19
  EXPECT_NE(err.find("No h_last_NLS_to_4000. I have to guess NLS_WEQ16"), std::string::npos) << err;
}

TEST_F(Chooser, CopyOneWithSubstitutionIsReportedAndCleared) {
  rscpCp_t f, t;
  SetCp(f, "1100");
  SetCp(t, "4103");
  rscpCObj_t o;
  rscpCInit(&o, &f, &t, 2, 0, 0);
  o.subst_char16 = 0;
  EXPECT_EQ(rscpCLoadTables(&o), 0);
  EXPECT_EQ(LastCode(), u"F1B");
  EXPECT_EQ(o.use_subst, 0);
  EXPECT_EQ(o.use_1_copy, 1);
  EXPECT_EQ(o.subst_char16, 0) << "substitution is off once copy-one won";
  rscpCInit(&o, &f, &t, 1, 0, 0);
  o.subst_char16 = 0;
  EXPECT_EQ(rscpCLoadTables(&o), 0);
  EXPECT_EQ(o.subst_char16, 35);
}

TEST_F(Chooser, DeactivatedObjectIsChosenAgain) {
  rscpCObj_t o = JavaObject("8000", "4103");
  ASSERT_EQ(rscpCLoadTables(&o), 0);
  const uint32_t chosen = o.method;
  rscpCDeactivate(&o);
  EXPECT_EQ(o.method, 1u);
  EXPECT_EQ(rscpCLoadTables(&o), 0);
  EXPECT_EQ(o.method, chosen);
}

TEST_F(Chooser, ArgumentErrors) {
  EXPECT_EQ(lookup_convert_tables(nullptr, 1, 1, 1, -1), RSCPEINVAL);
  EXPECT_EQ(LastCode(), u"F38");
  rscpCObj_t o = JavaObject("8000", "4103");
  EXPECT_EQ(lookup_convert_tables(&o, 1, 0, 0, -1), RSCPEINVAL);
  EXPECT_EQ(LastCode(), u"CP9");
}

TEST_F(Chooser, ResetZeroLooksUpOnlyTheRequestedSide) {
  rscpCObj_t o = JavaObject("8000", "4103");
  ASSERT_EQ(rscpCLoadTables(&o), 0);
  const rscpCObj_t before = o;
  o.in_nls = 77;
  EXPECT_EQ(lookup_convert_tables(&o, 0, 0, 1, -1), 0);
  EXPECT_EQ(o.in_nls, 77u) << "the input side was not requested";
  EXPECT_EQ(o.out_t1, before.out_t1);
  EXPECT_EQ(o.method, 0u) << "no method without both sides";
}

// --- Unified code pages --------------------------------------------------------------------

struct UniPass {
  const char* from;
  const char* to;
  char key;
  const char* locale;    // nullptr: the built-in hook
  uint32_t method;
  const char* inSubst;   // "" no substitution
  const char* outSubst;
  uint8_t asked;
};

class ChooserUnified : public Chooser, public ::testing::WithParamInterface<UniPass> {};

TEST_P(ChooserUnified, SubstitutedSideAndRememberedMethod) {
  const UniPass c = GetParam();
  if (c.locale != nullptr) {
    const std::u16string l(c.locale, c.locale + 4);
    rscphTestSetLocaleCp(l.data());
  }
  rscpCObj_t o = JavaObject(c.from, c.to);
  o.lang_key = static_cast<uint16_t>(c.key);
  o.lang_key_set = 1;
  EXPECT_EQ(rscpCLoadTables(&o), 0);
  EXPECT_EQ(o.method, c.method);
  EXPECT_EQ(o.in_cp_substituted, *c.inSubst != 0 ? 1 : 0);
  if (*c.inSubst != 0) {
  EXPECT_EQ(CpText(o.in_cp_subst), c.inSubst);
  }
  EXPECT_EQ(o.out_cp_substituted, *c.outSubst != 0 ? 1 : 0);
  if (*c.outSubst != 0) {
  EXPECT_EQ(CpText(o.out_cp_subst), c.outSubst);
  }
  EXPECT_EQ(o.lang_cp_used, c.asked);
  EXPECT_EQ(o.lang_key, static_cast<uint16_t>(c.key));
  // The substituted side is the one looked up; the mixed flag of the family
  // stays.
  if (*c.inSubst != 0) {
    EXPECT_EQ(o.in_mixed, 1);
    EXPECT_EQ(o.in_t1, rscpIInRoot(Entry(c.inSubst), 1));
  }
  if (*c.outSubst != 0) {
  EXPECT_EQ(o.out_t1, rscpIOutT2(Entry(c.outSubst), 1));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Keys, ChooserUnified,
    ::testing::Values(UniPass{"6100", "4103", 'E', nullptr, 5, "6110", "", 1},
                      UniPass{"6100", "4103", 'J', nullptr, 5, "6101", "", 0},
                      UniPass{"6100", "4103", 'T', nullptr, 5, "6190", "", 0},
                      UniPass{"6100", "4103", 'Z', nullptr, 5, "", "", 0},
                      UniPass{"6100", "4103", 'E', "1700", 5, "6170", "", 1},
                      UniPass{"6100", "4103", 'E', "8000", 5, "6180", "", 1},
                      UniPass{"4103", "6100", 'E', nullptr, 36, "", "6102", 0},
                      UniPass{"4103", "6100", 'J', nullptr, 36, "", "6102", 0},
                      UniPass{"4103", "6100", 'T', nullptr, 36, "", "6103", 0},
                      UniPass{"4103", "6100", 'Z', nullptr, 36, "", "", 0},
                      UniPass{"6200", "4103", 'E', nullptr, 5, "6101", "", 1},
                      UniPass{"6200", "4103", 'E', "8400", 5, "6240", "", 1},
                      UniPass{"6200", "4103", 'J', nullptr, 5, "6280", "", 0},
                      UniPass{"6200", "4103", 'T', nullptr, 5, "", "", 0},
                      UniPass{"6200", "4103", 'Z', nullptr, 5, "", "", 0},
                      UniPass{"4103", "6200", 'E', nullptr, 36, "", "6101", 1},
                      UniPass{"4103", "6200", 'J', nullptr, 36, "", "6280", 0},
                      UniPass{"4103", "6200", 'Z', nullptr, 36, "", "", 0},
                      UniPass{"6500", "4103", 'E', nullptr, 5, "6510", "", 1},
                      UniPass{"6500", "4103", 'E', "1700", 5, "6570", "", 1},
                      UniPass{"6500", "4103", 'J', nullptr, 5, "6101", "", 0},
                      UniPass{"6500", "4103", 'T', nullptr, 5, "", "", 0},
                      UniPass{"6500", "4103", 'Z', nullptr, 5, "", "", 0},
                      UniPass{"4103", "6500", 'E', nullptr, 36, "", "6502", 0},
                      UniPass{"4103", "6500", 'Z', nullptr, 36, "", "6502", 0},
                      UniPass{"4103", "6500", 'T', nullptr, 36, "", "6502", 0}));

// --- Quick pairs ---------------------------------------------------------------------------

TEST_F(Chooser, QuickPairsOnlyWithTheParameter) {
  struct Quick {
    const char* from;
    const char* to;
    uint32_t method;
    const char* line;  // "" none
  };
  const Quick quick[] = {{"1100", "4102", 29, "rscpc: 1100->4102: WEQCCM_BRUTE_A_U2B\n"},
                         {"1101", "4101", 30, "rscpc: 1101->4101: WEQCCM_BRUTE_A_U2L\n"},
                         {"4100", "1101", 31, "rscpc: 4100->1101: WEQCCM_BRUTE_U2B_A\n"},
                         {"4103", "1100", 32, "rscpc: 4103->1100: WEQCCM_BRUTE_U2L_A\n"},
                         {"4102", "4103", 25, "rscpc: 4102->4103: WEQCCM_U2_swap\n"},
                         {"4100", "4102", 2, "rscpc: 4100->4102: WEQCCM_direct\n"},
                         {"1100", "1101", 2, "rscpc: 1100->1101: WEQCCM_direct\n"},
                         {"0100", "4103", 4, ""},
                         // UTF-8 and the four-byte forms copy nothing one to one.
                         {"4110", "4103", 23, ""},
                         {"4104", "4102", 4, ""},
                         {"1100", "4105", 4, ""}};
  Params({{u"rscp/shortcut_many_converters", u"1"}});
  for (const Quick& q : quick) {
    rscpCObj_t o = JavaObject(q.from, q.to);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(rscpCLoadTables(&o), 0) << q.from << "->" << q.to;
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), q.line);
    EXPECT_EQ(o.method, q.method) << q.from << "->" << q.to;
  }
  Params({{u"rscp/shortcut_many_converters", u"0"}});
  rscpCObj_t o = JavaObject("1100", "4102");
  EXPECT_EQ(rscpCLoadTables(&o), 0);
  EXPECT_EQ(o.method, 4u);
}

// --- Overflow ------------------------------------------------------------------------------

class ChooserOverflow : public Chooser {
 protected:
  static long FreeBytes() {
    const rscpCCC_t* c = rscpIGetPublishedCache();
    return static_cast<long>(c->first_t2) - static_cast<long>(c->end_t1);
  }
};

TEST_F(ChooserOverflow, ReorganisesOnceThenSucceedsAndASecondOverflowReturns32) {
  // Measure what the first pair takes in a roomy cache, then start one with
  // room for it but not for the second pair beside it.
  rscpf_finish(-1);
  Params({{u"rsts/ccc/cachesize", u"3000000"}, {u"rsts/ccc/cache07", u"200000"}});
  ASSERT_EQ(rscpi_init(-1), 0);
  const long free0 = FreeBytes();
  rscpCObj_t first = JavaObject("8000", "4103");
  ASSERT_EQ(rscpCLoadTables(&first), 0);
  const long used1 = free0 - FreeBytes();
  rscpCObj_t second = JavaObject("8450", "4110");
  ASSERT_EQ(rscpCLoadTables(&second), 0);
  const long used2 = free0 - FreeBytes() - used1;
  ASSERT_GT(used1, 0);
  ASSERT_GT(used2, 0);
  rscpf_finish(-1);
  const long size = 3000000 - free0 + std::max(used1, used2) + std::min(used1, used2) / 2;
  Params({{u"rsts/ccc/cachesize", U16(std::to_string(size))}, {u"rsts/ccc/cache07", u"200000"}});
  ASSERT_EQ(rscpi_init(-1), 0);
  const uint32_t reorgs = Cache()->noof_reorgs;
  first = JavaObject("8000", "4103");
  ASSERT_EQ(rscpCLoadTables(&first), 0);
  EXPECT_EQ(Cache()->noof_reorgs, reorgs);
  second = JavaObject("8450", "4110");
  EXPECT_EQ(rscpCLoadTables(&second), 0);
  EXPECT_EQ(Cache()->noof_reorgs, reorgs + 1) << "one reorganisation made room";
  EXPECT_EQ(second.cache_version, Cache()->reorg_version);
  EXPECT_EQ(second.method, 4u);
  EXPECT_EQ(Cache()->was_overflow, 0);
  EXPECT_NE(first.cache_version, Cache()->reorg_version) << "the first object is stale now";

  // A forced second overflow in one call returns 32 and leaves the cache
  // marked for rebuilding, not stuck.
  rscpcTestFailLoads(2);
  rscpCObj_t third = JavaObject("8500", "4102");
  EXPECT_EQ(rscpCLoadTables(&third), RSCPETOOLONG);
  EXPECT_EQ(Cache()->reorg_done, 0);
  rscpCObj_t fourth = JavaObject("8300", "4103");
  EXPECT_EQ(rscpCLoadTables(&fourth), 0);
  EXPECT_EQ(fourth.method, 4u);
  EXPECT_EQ(Cache()->was_overflow, 0);
  EXPECT_EQ(rscpCLoadTables(&first), 0);
  EXPECT_EQ(first.method, 4u);
}

TEST_F(ChooserOverflow, AnUnresolvedOverflowMarkReorganisesInsteadOfFailing) {
  rscpCObj_t o = JavaObject("8000", "4103");
  Cache()->was_overflow = 1;
  const uint32_t reorgs = Cache()->noof_reorgs;
  EXPECT_EQ(rscpCLoadTables(&o), 0);
  EXPECT_EQ(o.method, 4u);
  EXPECT_EQ(Cache()->noof_reorgs, reorgs + 1);
  EXPECT_EQ(Cache()->was_overflow, 0);
}

}  // namespace
}  // namespace rscptest
