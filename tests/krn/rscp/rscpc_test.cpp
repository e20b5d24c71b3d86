// The converter object, the system code page, the unified code pages and
// the code page lookups.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "rscpc_fixture.h"
#include "krn/rscp/rscpcc_int.h"

namespace rscptest {
namespace {

// --- Object image -----------------------------------------------------------------------

// The 172 bytes of the object as the Java side sees them, put together from
// offsets and values only.
struct Image {
  std::array<uint8_t, 172> b{};
  void U8(int off, uint8_t v) { b[off] = v; }
  void U16(int off, uint16_t v) { b[off] = v & 0xFF, b[off + 1] = v >> 8; }
  void U32(int off, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[off + i] = (v >> (8 * i)) & 0xFF;
  }
  void Cp(int off, const char* cp) {
    for (int i = 0; i < 4; ++i) U16(off + 2 * i, static_cast<uint8_t>(cp[i]));
  }
  static Image Template() {
    Image t;
    for (int off : {4, 12, 88, 140, 150}) t.Cp(off, "0000");
    t.U16(20, 35);
    t.U32(160, 35);
    t.U32(48, 1);
    t.U32(56, 1);
    t.U16(82, 32);
    return t;
  }
};

std::array<uint8_t, 172> Bytes(const rscpCObj_t& o) {
  std::array<uint8_t, 172> a;
  memcpy(a.data(), &o, sizeof(a));
  return a;
}

TEST(ConverterObject, InitImageWithSubstitutionStopFinallyNeverFill) {
  rscpSetInitializer(nullptr, 0, 1);
  rscpCp_t f, t;
  SetCp(f, "1100");
  SetCp(t, "4103");
  rscpCObj_t o;
  memset(&o, 0xA5, sizeof(o));  // nothing of the old contents may survive
  rscpCInit(&o, &f, &t, 1, 0, 0);
  Image want = Image::Template();
  want.Cp(4, "1100");
  want.Cp(12, "4103");
  want.U8(22, 1);
  want.U32(44, 1);
  EXPECT_EQ(Bytes(o), want.b);
  rscpf_finish(-1);
  rscpResetProcess();
}

struct ModeCase {
  int32_t mode;
  uint8_t subst, copy1;
};
class InitModes : public EngineTest, public ::testing::WithParamInterface<ModeCase> {};

TEST_P(InitModes, ModeFlagsAndFixedOptions) {
  const ModeCase c = GetParam();
  rscpCp_t f, t;
  SetCp(f, "8000");
  SetCp(t, "4110");
  rscpCObj_t o;
  memset(&o, 0x5A, sizeof(o));
  EXPECT_EQ(rscpCInit(&o, &f, &t, c.mode, 2, 3), 0);
  Image want = Image::Template();
  want.Cp(4, "8000");
  want.Cp(12, "4110");
  want.U8(22, c.subst);
  want.U8(25, c.copy1);
  want.U32(32, 2);
  want.U32(36, 3);
  want.U32(44, 1);
  EXPECT_EQ(Bytes(o), want.b);
}

INSTANTIATE_TEST_SUITE_P(Modes, InitModes,
                         ::testing::Values(ModeCase{0, 0, 0}, ModeCase{1, 1, 0}, ModeCase{2, 1, 1}, ModeCase{3, 0, 1},
                                           ModeCase{7, 0, 0}, ModeCase{-1, 0, 0}, ModeCase{4, 0, 0}));

TEST(ConverterObject, SettersStoreAnyValueAndDeactivateSetsMethodOne) {
  rscpCObj_t o{};
  EXPECT_EQ(rscpCSetCtrlCodeCv(&o, 77), 0);
  EXPECT_EQ(rscpCSetOwnChCv(&o, -3), 0);
  EXPECT_EQ(o.rscpCtrlCodeCv, 77u);
  EXPECT_EQ(o.rscpWEQOwnChCv, static_cast<uint32_t>(-3));
  EXPECT_EQ(rscpCDeactivate(&o), 0);
  EXPECT_EQ(o.method, 1u);
}

TEST(ConverterObject, SnapshotCarriesVersionAndShiftBitsOnly) {
  rscpCObj_t o{};
  o.cache_version = 0x1234;
  o.shift_state = 0xF5A5A5A5;
  uint32_t snap[2] = {0, 0xA0000000};
  rscpCSaveState(&o, snap);
  EXPECT_EQ(snap[0], 0x1234u);
  EXPECT_EQ(snap[1], 0xA5A5A5A5u) << "bits 28-31 of the snapshot stay as they were";
  EXPECT_TRUE(rscpCSameState(&o, snap));
  struct Change {
    const char* what;
    void (*apply)(rscpCObj_t&);
    bool same;
  };
  const Change changes[] = {
      {"bits 28-31 of shift_state", [](rscpCObj_t& x) { x.shift_state ^= 0xF0000000; }, true},
      {"method and tables", [](rscpCObj_t& x) { x.method = 9, x.in_t1 = 3, x.subst_count = 8; }, true},
      {"input shift state", [](rscpCObj_t& x) { x.shift_state ^= 1u << 12; }, false},
      {"output shift state", [](rscpCObj_t& x) { x.shift_state ^= 1u << 27; }, false},
      {"input groups", [](rscpCObj_t& x) { x.shift_state ^= 1u; }, false},
      {"cache_version", [](rscpCObj_t& x) { x.cache_version += 1; }, false},
  };
  for (const Change& c : changes) {
    rscpCObj_t x = o;
    c.apply(x);
    EXPECT_EQ(rscpCSameState(&x, snap), c.same) << c.what;
  }
}

TEST(ConverterObject, SystemCodePageBeforeAnyStart) {
  rscpCp_t cp;
  EXPECT_EQ(rscpGetSystemCodePage(&cp), RSCPENOOBJ);
  EXPECT_EQ(CpText(cp), "4103");
  EXPECT_EQ(rscpeg__get_thr_errors()->count, 0);
}

// --- Unified code pages -----------------------------------------------------------------

struct UniCase {
  bool input;
  const char* cp;
  char key;
  const char* locale;  // what the locale hook answers; nullptr: the built-in "0000"
  const char* result;
  int asked;           // -1: flag untouched
};

class Unified : public ::testing::TestWithParam<UniCase> {
 protected:
  void TearDown() override { rscphTestSetLocaleCp(nullptr); }
};

TEST_P(Unified, FamilyMemberByKeyAndLocale) {
  const UniCase c = GetParam();
  if (c.locale != nullptr) {
    std::u16string l(c.locale, c.locale + 4);
    rscphTestSetLocaleCp(l.data());
  }
  rscpCp_t cp, lc, out;
  SetCp(cp, c.cp);
  SetCp(lc, "0000");
  const WEQ_UC key = static_cast<WEQ_UC>(c.key);
  uint8_t asked = 9;
  (c.input ? rscpUnifiedInCp : rscpUnifiedOutCp)(&cp, &key, &asked, &lc, &out);
  EXPECT_EQ(CpText(out), c.result);
  EXPECT_EQ(asked, c.asked < 0 ? 9 : c.asked);
  if (c.asked == 1) {
    EXPECT_EQ(CpText(lc), c.locale != nullptr ? c.locale : "0000");
  }
}

std::vector<UniCase> UniCases() {
  std::vector<UniCase> v = {
      {true, "6100", 'E', nullptr, "6110", 1},  {true, "6100", 'J', nullptr, "6101", 0},
      {false, "6100", 'T', nullptr, "6103", 0}, {false, "6100", 'Z', nullptr, "6100", 0},
      {true, "6500", 'Z', nullptr, "6500", 0},  {true, "4103", 'E', nullptr, "4103", -1},
      {true, "6105", 'G', nullptr, "6170", 0},  {true, "61AB", 'T', nullptr, "6190", 0},
      {true, "6200", 'M', nullptr, "6230", 0},  {false, "6200", '3', nullptr, "6250", 0},
      {true, "6200", 'E', nullptr, "6101", 1},  {true, "6500", 'J', nullptr, "6101", 0},
      {true, "6500", 'D', nullptr, "6510", 1},  {false, "6500", '#', nullptr, "6502", 0},
      {false, "6200", 'Q', nullptr, "6200", 0},
  };
  // Locale code pages for the keys that ask it.
  const struct {
    const char* family;
    const char* locale;
    const char* result;
  } locales[] = {{"6100", "6115", "6110"}, {"6100", "6129", "6120"}, {"6100", "6133", "6130"}, {"6100", "6140", "6140"},
                 {"6100", "6171", "6170"}, {"6100", "6199", "6190"}, {"6100", "1100", "6110"}, {"6100", "1401", "6120"},
                 {"6100", "1900", "6140"}, {"6100", "1700", "6170"}, {"6100", "1610", "6190"}, {"6100", "8000", "6180"},
                 {"6100", "1600", "6110"}, {"6100", "4103", "6110"}, {"6200", "8000", "6280"}, {"6200", "8300", "6230"},
                 {"6200", "8400", "6240"}, {"6200", "8500", "6250"}, {"6200", "8100", "6101"}, {"6500", "6571", "6570"},
                 {"6500", "1700", "6570"}, {"6500", "6500", "6510"}};
  for (const auto& l : locales) {
    v.push_back({true, l.family, 'E', l.locale, l.result, 1});
    v.push_back({true, l.family, 'i', l.locale, l.result, 1});
    v.push_back({true, l.family, '7', l.locale, l.result, 1});
  }
  // Every key of the fixed rows.
  for (char k : std::string("456CHLQd")) v.push_back({true, "6100", k, "8000", "6120", 0});
  for (char k : std::string("FIKNOPSUVabc")) {
    v.push_back({true, "6100", k, "8000", "6110", 0});
    v.push_back({true, "6500", k, "1700", "6510", 0});
  }
  for (char k : std::string("4567CDEFGHIJKLNOPQSUVabcdi")) v.push_back({false, "6100", k, "8000", "6102", 0});
  v.push_back({false, "6200", 'E', "8400", "6240", 1});
  return v;
}

INSTANTIATE_TEST_SUITE_P(Keys, Unified, ::testing::ValuesIn(UniCases()));

// --- Lookups ------------------------------------------------------------------------------

TEST_F(EngineTest, GetCPInfoCopiesTheDirectoryEntry) {
  for (const char* cp : {"0100", "1100", "4103", "8000", "8500"}) {
    rscpCp_t c;
    SetCp(c, cp);
    rscpCpEntry_t e;
    ASSERT_EQ(GetCPInfo(&c, &e), 0) << cp;
    EXPECT_EQ(memcmp(&e, Entry(cp), sizeof(e)), 0) << cp;
  }
  rscpCp_t none;
  SetCp(none, "0042");
  rscpCpEntry_t e;
  EXPECT_EQ(GetCPInfo(&none, &e), RSCPENOCONV);
  EXPECT_EQ(LastCode(), u"F43");
  const rscpErrStack_t* s = rscpeg__get_thr_errors();
  EXPECT_EQ(std::u16string(s->entries[0].param1, s->entries[0].param1Len), u"character code \"0042\" unknown");
}

TEST(Lookups, GetCPInfoBeforeTheStartFails) {
  rscpResetProcess();
  rscpCp_t c;
  SetCp(c, "1100");
  rscpCpEntry_t e;
  EXPECT_EQ(GetCPInfo(&c, &e), RSCPENOCONV);
  EXPECT_EQ(std::u16string(rscpeg__get_thr_errors()->entries[0].msgCode, 3), u"F34");
  rscpResetProcess();
}

TEST_F(EngineTest, KindOfCodePage) {
  const struct {
    const char* cp;
    int kind;
  } cases[] = {{"0100", 2}, {"1100", 3}, {"1101", 3}, {"8000", 3}, {"8100", 3}, {"8200", 3}, {"8450", 0},
               {"0180", 2}, {"1180", 3}, {"4110", 4}, {"4100", 5}, {"4102", 5}, {"4000", 5}, {"4101", 6},
               {"4103", 6}, {"4104", 7}, {"4105", 8}, {"6200", 3}, {"9999", 0}};
  for (const auto& c : cases) {
    rscpCp_t cp;
    SetCp(cp, c.cp);
    EXPECT_EQ(rscpKindiOfCP(&cp), c.kind) << c.cp;
  }
}

struct ShortcutCase {
  const char* from;
  const char* to;
  uint32_t method, ctrl, own, drop;
  uint8_t inMax, outMax;
  int type;
  const char* reason;  // a piece of the line on standard error; "" none
};

class Shortcut : public EngineTest, public ::testing::WithParamInterface<ShortcutCase> {};

TEST_P(Shortcut, TypeAndReason) {
  const ShortcutCase c = GetParam();
  rscpCObj_t o = JavaObject(c.from, c.to);
  o.method = c.method;
  o.rscpCtrlCodeCv = c.ctrl;
  o.rscpWEQOwnChCv = c.own;
  o.drop = c.drop;
  o.in_maxln = c.inMax;
  o.out_maxln = c.outMax;
  ::testing::internal::CaptureStderr();
  const int type = rscpNoShortCutConversion(&o);
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(type, c.type);
  if (*c.reason == 0) {
    EXPECT_EQ(err, "");
  } else {
    EXPECT_NE(err.find(c.reason), std::string::npos) << err;
    EXPECT_NE(err.find(std::string("(") + c.from + "->" + c.to), std::string::npos) << err;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Pairs, Shortcut,
    ::testing::Values(ShortcutCase{"4102", "4103", 0, 0, 0, 0, 0, 0, 5, ""},
                      ShortcutCase{"4103", "4102", 9, 1, 1, 0, 0, 0, 5, ""},
                      ShortcutCase{"4103", "4103", 7, 0, 1, 3, 0, 0, 6, ""},
                      ShortcutCase{"4100", "4102", 0, 0, 0, 0, 0, 0, 6, ""},
                      ShortcutCase{"1100", "4103", 4, 1, 0, 1, 1, 2, 1, ""},
                      ShortcutCase{"1100", "4103", 4, 1, 0, 0, 1, 2, 0, "ctrl: t=try, own: i=ignore, meth: tab, drop: .=stop  in  [rscpc:"},
                      ShortcutCase{"8000", "4102", 4, 1, 0, 1, 2, 2, 2, ""},
                      ShortcutCase{"8000", "4102", 4, 1, 0, 1, 3, 2, 0, "in_maxln = 3 in  [rscpc:"},
                      ShortcutCase{"1100", "4110", 4, 1, 0, 1, 1, 3, 0, "out_cp_kind = Utf8 in  [rscpc:"},
                      ShortcutCase{"0100", "4103", 48, 0, 1, 0, 1, 2, 1, ""},
                      ShortcutCase{"4103", "1100", 35, 1, 0, 1, 2, 1, 3, ""},
                      ShortcutCase{"4102", "8000", 33, 1, 0, 1, 2, 2, 4, ""},
                      ShortcutCase{"4102", "8000", 33, 1, 0, 1, 2, 4, 0, "out_maxln = 4 in  [rscpc:"},
                      ShortcutCase{"4102", "8000", 33, 1, 1, 1, 2, 2, 0, "own: t=try, meth: nu16be_get_tab, drop: m=like_miss in  [rscpc:"},
                      ShortcutCase{"4110", "4103", 23, 1, 0, 1, 4, 2, 0, "): in_cp_kind = Utf8 in  [rscpc:"}));

TEST_F(EngineTest, CharacterNumberToUnicode) {
  rscpCCC_t* c = Cache();
  const uint16_t last = c->tcp01_mappings;
  ASSERT_GT(last, 0);
  const uint8_t* p = reinterpret_cast<const uint8_t*>(c) + c->tcp01_map + 3u * last;
  EXPECT_EQ(rscpCharNumberToUnicode(last), (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | p[2]);
  EXPECT_EQ(rscpeg__get_thr_errors()->count, 0);
  EXPECT_EQ(rscpCharNumberToUnicode(static_cast<uint16_t>(last + 1)), 0u);
  EXPECT_EQ(LastCode(), u"F40");
}

}  // namespace
}  // namespace rscptest
