// The cache's frame: sizes from the profile, the build with its header and
// directory, the cache07 allocator, the shift pair store and the user slots.
#include <unistd.h>

#include <map>
#include <set>

#include "krn/rscp/rscpdat_int.h"
#include "rscpcc_fixture.h"
#include "support/testsupport.h"

namespace {

using namespace rscptest;

class Cache : public CacheTest {};

// --- Sizes -----------------------------------------------------------------------

struct SizeCase {
  const char* what;
  std::map<std::u16string, rscphTestParam> params;
  rscpRc_t rc;
  long size, c07;        // expected on success
  const char16_t* code;  // the last report's code, nullptr for none
  const char16_t* param;
};

TEST_F(Cache, SizeRules) {
  const SizeCase cases[] = {
      {"defaults", {}, 0, 6000000, 600000, nullptr, nullptr},
      {"one below the floor",
       {{u"rsts/ccc/cachesize", {u"169999", {}}}},
       RSCPEINTERN,
       0,
       0,
       u"F24",
       u"cachesize&169999&170000&"},
      {"the floor", {{u"rsts/ccc/cachesize", {u"170000", {}}}}, 0, 170000, 17008, nullptr, nullptr},
      {"rounded to 16", {{u"rsts/ccc/cachesize", {u"170001", {}}}}, 0, 170016, 17008, nullptr, nullptr},
      {"cut to the cap",
       {{u"rsts/ccc/cachesize", {u"20000000", {}}}},
       0,
       16776192,
       1677632,
       u"CQH",
       u"cachesize&20000000&16776192&"},
      {"empty is absent", {{u"rsts/ccc/cachesize", {u"", {}}}}, 0, 6000000, 600000, nullptr, nullptr},
      {"cache07 199", {{u"rsts/ccc/cache07", {u"199", {}}}}, RSCPEINTERN, 0, 0, u"F24", u"cache07&199&200&"},
      {"cache07 200", {{u"rsts/ccc/cache07", {u"200", {}}}}, 0, 6000000, 208, nullptr, nullptr},
      {"cache07 201", {{u"rsts/ccc/cache07", {u"201", {}}}}, 0, 6000000, 208, nullptr, nullptr},
      {"cache07 half",
       {{u"rsts/ccc/cachesize", {u"170000", {}}}, {u"rsts/ccc/cache07", {u"84992", {}}}},
       0,
       170000,
       84992,
       nullptr,
       nullptr},
      {"cache07 rounded above half",
       {{u"rsts/ccc/cachesize", {u"170000", {}}}, {u"rsts/ccc/cache07", {u"84993", {}}}},
       RSCPEINTERN,
       0,
       0,
       u"F24",
       u"cache07&85008&85000&"},
      {"cache07 above the length",
       {{u"rsts/ccc/cache07", {u"7000000", {}}}},
       RSCPEINTERN,
       0,
       0,
       u"F24",
       u"cache07&7000000&3000000&"},
  };
  for (const SizeCase& c : cases) {
    SCOPED_TRACE(c.what);
    rscpeClearThrErrors();
    rscphTestSetParams(c.params);
    long size = -1, c07 = -1;
    EXPECT_EQ(find_cachesizes(&size, &c07), c.rc);
    if (c.rc == 0) {
      EXPECT_EQ(size, c.size);
      EXPECT_EQ(c07, c.c07);
    } else {
      EXPECT_EQ(size, -1) << "nothing handed out on failure";
    }
    LastReport r = Last();
    EXPECT_EQ(r.code, c.code != nullptr ? std::u16string(c.code) : u"");
    if (c.param != nullptr) {
      EXPECT_EQ(r.param1, std::u16string(c.param));
    }
  }
}

TEST_F(Cache, LargestCodeAndCharacterFloors) {
  struct Case {
    const char16_t* value;  // nullptr: unset
    uint32_t code, uchar;
  } cases[] = {
      {nullptr, 2442, 1200000},       {u"1000", 2442, 1200000},        {u"5000", 5000, 1200000},
      {u"2000000", 2000000, 2000000}, {u"-1", 0xFFFFFFFF, 0xFFFFFFFF},
  };
  for (const Case& c : cases) {
    std::map<std::u16string, rscphTestParam> p;
    if (c.value != nullptr) {
      p[u"rscp/ccc/max_intern_code"] = {c.value, {}};
      p[u"rscp/ccc/max_intern_uchar"] = {c.value, {}};
    }
    rscphTestSetParams(p);
    uint32_t code = 0, uchar = 0;
    EXPECT_EQ(find_weqcode_max(&code), 0);
    EXPECT_EQ(find_uchar_max(&uchar), 0);
    EXPECT_EQ(code, c.code) << (c.value ? tovtest::Show(c.value) : "unset");
    EXPECT_EQ(uchar, c.uchar) << (c.value ? tovtest::Show(c.value) : "unset");
  }
}

// --- Build --------------------------------------------------------------------------

size_t CatalogueRows() {
  size_t n = 0;
  for (const char* r = rscpdat::ActiveData().tcp00; r[0] != ' '; r += RSCP_TCP00_ROW) ++n;
  return n;
}

TEST_F(Cache, BuildFillsHeaderAndSortedDirectory) {
  rscpSetLastVersion(41);
  rscphTestSetParams({{u"rscp/mbc_in_sbcs", {u"1yes", {}}}, {u"rscp/mbc_copy", {u"3", {}}}});
  rscpCCC_t* c = Build(400000, 40000);
  EXPECT_EQ(c->kind, 77u);
  EXPECT_EQ(c->version, 200911172u);
  EXPECT_EQ(Field(c->eyeCatcher, 12), u">>RSCPCCC<< ");
  EXPECT_EQ(Field(c->allocMethod, 12), u"malloc      ");
  EXPECT_EQ(Field(c->createdate, 16), Field(c->lastreorgdate, 16));
  EXPECT_EQ(Field(c->createdate, 16).substr(14), u"00");
  EXPECT_EQ(c->pidCreate, static_cast<uint32_t>(getpid()));
  EXPECT_EQ(c->reorg_done, 1);
  EXPECT_EQ(c->reorg_version, 42u);
  EXPECT_EQ(rscpGetLastVersion(), 42u);
  EXPECT_EQ(c->users[0], reinterpret_cast<uintptr_t>(c));
  EXPECT_EQ(c->users[1], 0u);
  EXPECT_EQ(c->max_weq_code, 65278u) << "the character map's reservation";
  EXPECT_EQ(c->max_enhanced_uchar, 1200000u);
  EXPECT_EQ(c->mbc_in_sbcs, 1);
  EXPECT_EQ(rscpGetMbcInSbcs(), 1);
  EXPECT_EQ(c->mbc_copy, 3);
  EXPECT_EQ(c->protect, 1);
  EXPECT_EQ(Field(c->db_cp_list[0], 4) + Field(c->db_cp_list[49], 4) + Field(c->legacy_cp, 4),
            u"4103" + std::u16string(8, u' '));
  EXPECT_EQ(c->length, 400000u);
  EXPECT_EQ(c->cache07, 40000u);
  EXPECT_EQ(c->end_t2, 360000u);
  EXPECT_EQ(c->first_t2, 360000u);
  EXPECT_EQ(c->first_t7, 400000u);
  EXPECT_EQ(c->end_t7, 400000u);
  EXPECT_EQ(c->frag_t3 + c->free_t3 + c->was_overflow + c->noof_t1 + c->noof_t2 + c->noof_t3, 0u);

  ASSERT_EQ(c->noof_char_codes, CatalogueRows());
  rscpCpEntry_t* dir = rscpDirectory(c);
  std::set<std::u16string> ids;
  for (int i = 0; i < c->noof_char_codes; ++i) {
    ids.insert(Field(dir[i].cp, 4));
    if (i > 0) {
      EXPECT_LT(rscpCompareCodePage(&dir[i - 1].cp, &dir[i].cp), 0) << i;
    }
  }
  EXPECT_EQ(ids.size(), CatalogueRows()) << "every row entered once";
  EXPECT_TRUE(ids.count(u"1100") && ids.count(u"8200"));
  EXPECT_EQ(c->tcp01_map, sizeof(rscpCCC_t) + c->noof_char_codes * sizeof(rscpCpEntry_t));
  EXPECT_EQ(c->first_t1 % 1032, 0u);
  EXPECT_GE(c->first_t1, c->tcp01_map + 3u * (c->tcp01_mappings + 1u));
  EXPECT_LT(c->first_t1, c->tcp01_map + 3u * (c->tcp01_mappings + 1u) + 1032u);
  EXPECT_EQ(c->end_t1, c->first_t1);
}

TEST_F(Cache, BuildInReinitialiseStateLeavesReorgPending) {
  rscpSetState(RSCP_STATE_REINIT);
  EXPECT_EQ(Build()->reorg_done, 0);
}

TEST_F(Cache, CompareCodePageOrdersUnitByUnit) {
  const rscpCp_t a = {u'1', u'1', u'0', u'0'}, b = {u'1', u'1', u'0', u'1'}, c = {u'4', u'1', u'0', u'3'};
  EXPECT_EQ(rscpCompareCodePage(&a, &a), 0);
  EXPECT_EQ(rscpCompareCodePage(&a, &b), -1);
  EXPECT_EQ(rscpCompareCodePage(&c, &b), 1);
}

// The build stops at the size checks: a directory that does not fit below
// the T2 area, and a character map that would grow above it (refused at the
// first row that does not fit).
TEST_F(Cache, BuildTooSmall) {
  const long dirEnd = static_cast<long>(sizeof(rscpCCC_t) + CatalogueRows() * sizeof(rscpCpEntry_t));
  struct Case {
    long size;
    int location;
    uint32_t version;
  } cases[] = {{dirEnd - 1 + 400, 21, 10911172}, {dirEnd + 1 + 400, 204, 10911172}};
  for (const Case& k : cases) {
    free(block_);
    block_ = calloc(1, static_cast<size_t>(k.size));
    rscpSetCache(cache());
    rscpeClearThrErrors();
    rscpSetLastVersion(7);
    EXPECT_EQ(rscpBuildCache(k.size, 400, 2442, u"malloc", -1), RSCPEINTERN);
    LastReport r = Last();
    EXPECT_EQ(r.code, u"F24");
    EXPECT_EQ(r.location, k.location);
    EXPECT_EQ(r.param1, u"cachesize&" + tovtest::FromUtf8(std::to_string(k.size)) + u"&?&");
    EXPECT_EQ(cache()->version, k.version);
    EXPECT_EQ(rscpGetLastVersion(), 7u) << "no version given";
  }
}

// --- Cache07 area -------------------------------------------------------------------

TEST_F(Cache, Cache07TakesAlignedRoomDownwards) {
  rscpCCC_t* c = Build(400000, 208);
  uint32_t off = 1;
  void* at = nullptr;
  EXPECT_EQ(rscpAllocCache07("abcde", 5, &off, &at), 0);
  EXPECT_EQ(off, c->end_t7 - 8) << "5 bytes on a fresh cache";
  EXPECT_EQ(at, base() + off);
  EXPECT_EQ(memcmp(base() + off, "abcde", 5), 0);
  EXPECT_EQ(rscpAllocCache07(nullptr, 100, nullptr, nullptr), 0);
  EXPECT_EQ(c->first_t7, c->end_t7 - 8 - 104);

  struct Case {
    long size;
  } over[] = {{97}, {5000000000L}, {-1}};
  for (const Case& k : over) {
    SCOPED_TRACE(k.size);
    const uint32_t before = c->first_t7;
    off = 1;
    at = &off;
    rscpeClearThrErrors();
    EXPECT_EQ(rscpAllocCache07(nullptr, k.size, &off, &at), RSCPETOOLONG);
    EXPECT_EQ(off, 0u);
    EXPECT_EQ(at, nullptr);
    EXPECT_EQ(c->first_t7, before) << "the area stays as it was";
    EXPECT_EQ(Last().code, u"F1A");
    EXPECT_EQ(Last().param1, u"cache07&208&?&");
    EXPECT_EQ(c->was_overflow, 1);
  }
  EXPECT_EQ(rscpAllocCache07(nullptr, 96, &off, nullptr), 0) << "exactly the rest fits";
  EXPECT_EQ(off, c->end_t2);
}

// --- Shift pairs ------------------------------------------------------------------------

TEST_F(Cache, ShiftPairsTenStoredEleventhRefused) {
  rscpCCC_t* c = Build();
  const uint8_t back[3] = {0x1B, 0x28, 0x4A};
  for (uint8_t i = 0; i < 10; ++i) {
    const uint8_t strt[3] = {0x1B, 0x24, static_cast<uint8_t>(0x40 + i)};
    ASSERT_EQ(rscpAddShiftPair(3, strt, 3, back), 0) << int{i};
  }
  EXPECT_EQ(c->noof_shift_pairs, 10);
  const uint8_t strt7[3] = {0x1B, 0x24, 0x47};
  EXPECT_EQ(rscpFindShiftPair(3, strt7, 3, back), 7);
  EXPECT_EQ(rscpFindShiftPair(2, strt7, 3, back), -1) << "lengths compared first";
  const uint8_t strtX[3] = {0x1B, 0x24, 0x4A};
  EXPECT_EQ(rscpFindShiftPair(3, strtX, 3, back), -1);
  int sl = 0, bl = 0;
  const uint8_t *s = nullptr, *b = nullptr;
  ASSERT_TRUE(rscpGetShiftPair(9, &sl, &s, &bl, &b));
  EXPECT_EQ(std::vector<uint8_t>(s, s + sl), (std::vector<uint8_t>{0x1B, 0x24, 0x49}));
  EXPECT_EQ(std::vector<uint8_t>(b, b + bl), (std::vector<uint8_t>{0x1B, 0x28, 0x4A}));
  EXPECT_FALSE(rscpGetShiftPair(10, &sl, &s, &bl, &b));
  EXPECT_FALSE(rscpGetShiftPair(-1, &sl, &s, &bl, &b));

  EXPECT_EQ(rscpAddShiftPair(3, strtX, 3, back), RSCPETOOLONG);
  EXPECT_EQ(Last().code, u"CP6");
  EXPECT_EQ(Last().param1, u"More than 10 distinct STRT/BACK sequences");
  EXPECT_EQ(c->noof_shift_pairs, 10);
}

TEST_F(Cache, ShiftPairTooLongWritesNothing) {
  rscpCCC_t* c = Build();
  const uint8_t eleven[11] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
  const rscpCCC_t before = *c;
  EXPECT_EQ(rscpAddShiftPair(11, eleven, 1, eleven), RSCPEINTERN);
  EXPECT_EQ(Last().code, u"CPU");
  EXPECT_EQ(Last().param1, u"TCPSRULE&CPATTR*&?&11/1");
  EXPECT_EQ(rscpAddShiftPair(2, eleven, 11, eleven), RSCPEINTERN);
  EXPECT_EQ(Last().param1, u"TCPSRULE&CPATTR*&?&2/11");
  EXPECT_EQ(memcmp(&before, c, sizeof before), 0);
  EXPECT_EQ(rscpGetShiftPair(0, nullptr, nullptr, nullptr, nullptr), false);
}

// --- Users and the writer's pair ----------------------------------------------------------

TEST_F(Cache, RegisterCacheUserByMode) {
  rscpCCC_t* c = Build();
  int32_t state = 0;
  rscpRegisterCacheUser(2, 0, &state);
  EXPECT_EQ(state, 0) << "a build entered the cache into slot 1 already";
  c->users[0] = 0x1000;
  rscpRegisterCacheUser(1, 0, &state);
  EXPECT_EQ(c->users[1], 0u) << "mode 1 acts only with the lock flag";
  rscpRegisterCacheUser(1, 1, &state);
  EXPECT_EQ(c->users[1], reinterpret_cast<uintptr_t>(c));
  EXPECT_EQ(state, 2);
  state = 0;
  rscpRegisterCacheUser(2, 0, &state);
  EXPECT_EQ(state, 0);
  for (uint64_t& u : c->users) u = 0x2000;
  rscpRegisterCacheUser(2, 0, &state);
  EXPECT_EQ(state, 0) << "no free slot";
}

TEST_F(Cache, FlushMovesThreadCountersOnlyWhenInitialised) {
  rscpCCC_t* c = Build();
  rscpThrCtx_t* t = rscpGetThrCtx();
  t->bytesIn = 5;
  t->clones[17] = 3;
  t->tableReads[31] = 2;
  rscpFlushThrCounters();
  EXPECT_EQ(c->bytesIn, 0u) << "state 0 leaves the counters";
  rscpSetState(RSCP_STATE_INIT);
  c->bytesIn = 10;
  ASSERT_EQ(rscpGetSemaAndWritePermission(5), 0);
  EXPECT_EQ(rscpReleaseWritePermissionAndSema(5), 0);
  EXPECT_EQ(c->bytesIn, 15u);
  EXPECT_EQ(c->clones[17], 3u);
  EXPECT_EQ(c->tableReads[31], 2u);
  EXPECT_EQ(t->bytesIn + t->clones[17] + t->tableReads[31], 0u);
}

// A failed unlock wins over the release and draws the mutex's description.
TEST_F(Cache, ReleaseReportsAFailedUnlock) {
  ASSERT_EQ(rscpGetSemaAndWritePermission(3), 0);
  ASSERT_EQ(rscpReleaseWritePermissionAndSema(3), 0);
  tovtest::CaptureFd err;
  EXPECT_EQ(rscpReleaseWritePermissionAndSema(7), RSCPEINTERN) << "not held by this thread";
  // The description takes 40 units of the holder text.
  EXPECT_NE(err.Take().find("ThrMtx'CCC' by after failing rscpReleaseWritePermission at 7\n"),
            std::string::npos);
  EXPECT_EQ(Last().code, u"F29");
}

}  // namespace
