// The F1 filter against a model written from its description (in child
// processes, for the environment), the F1 route with 1B_to_1B against
// iconv and ICU, single-byte shortcut blocks and their builder, and the four
// exported tables of every single- and double-byte page against tables made
// per byte, pair and unit with iconv and ICU.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "krn/rscp/rscpf1_int.h"
#include "rscpc_oracle.h"
#include "rscpcv_fixture.h"
#include "rscpf5_tset.h"
#include "support/testsupport.h"

namespace rscptest {
namespace {

// --- The filter's model ----------------------------------------------------------------
// Code pages by group (code page/class), the group pairs and the super
// groups as the filter's description lists them; the references of the
// sets and pair lists are the data's own.
const char* const kF1Groups[] = {
    "0:0100/3 0120/4 1100/2 1103/7 1127/6 1150/2 1151/7 1160/5 6110/2 6112/2 6113/7 6114/5 6115/6 6510/2 6512/2 "
    "6513/7 6514/5",
    "1:0410/4 1401/2 1404/5 6120/2 6122/2 6123/7 6124/5 6125/6", "2:0610/4 1610/2 1614/5",
    "3:0800/4 1800/2 1804/5 1810/13 1824/14",
    "4:0700/4 1700/2 1704/5 6170/2 6172/2 6173/7 6174/5 6175/6 6570/2 6572/2 6573/7 6574/5",
    "5:0500/4 1500/2 1504/5", "6:8000/2 8004/5 6180/2 6280/2", "7:8400/2 8404/5",
    "8:8300/2 8304/5 8340/2 8341/2 8344/5 8345/5", "9:8500/2 8504/5", "10:0860/4 8600/2 8604/5", "12:6100/2",
    "13:6300/2", "14:6240/2", "15:6230/2", "16:6250/2", "17:6200/2", "18:6500/2", "19:6600/2", "20:6400/2",
    "21:6700/2", "22:1900/2 1904/5", "23:8700/2 8704/5", "24:0160/1 1101/0 4110/0", "26:1180/2",
    "27:8450/2 8454/5"};
const std::map<int, std::vector<int>> kF1Super = {{12, {0, 1, 2, 4}}, {13, {6}},     {14, {6, 27}},
                                                  {15, {6, 8}},       {16, {6, 9}},  {17, {6, 27, 8, 9}},
                                                  {18, {0, 4}},       {19, {6, 10}}, {20, {6, 4}},
                                                  {21, {6, 5}},       {26, {0, 25}}};

struct F1Model {
  bool off, stopUtf8;
  std::map<std::string, std::pair<int, int>> rows;  // group, class
  F1Model(bool filterOff, bool stop) : off(filterOff), stopUtf8(stop) {
    for (const char* g : kF1Groups) {
      std::istringstream ss(g);
      int group;
      char colon;
      ss >> group >> colon;
      for (std::string item; ss >> item;) rows[item.substr(0, 4)] = {group, std::stoi(item.substr(5))};
    }
  }
  static bool GroupPair(int a, int b) {
    return (a == 24 && b != 11 && b <= 27) || (a == 25 && b == 1) || (a == 27 && b == 7);
  }
  static std::vector<int> Super(int g) { return kF1Super.count(g) != 0 ? kF1Super.at(g) : std::vector<int>{g}; }
  int Ref(uint16_t r, int base) const {
    return r == 0 ? base : r == 8 ? 11 : r == 16 ? 19 : r == 32 ? 0 : base + 17;
  }
  int Code(const std::string& in, const std::string& out, bool enforce) const {
    const auto takes = [&](const std::string& cp) { return !(stopUtf8 && cp == "4110"); };
    const auto i = rows.find(in), o = rows.find(out);
    const int code = (o == rows.end() ? 4 : takes(out) ? 0 : 8) + (i == rows.end() ? 1 : takes(in) ? 0 : 2);
    if (code != 0) return code;
    const rscpF1Data_t& d = rscpf5::rscpF5F1;
    if (out == "1180" && (in == "0410" || in == "1401" || in == "1404")) {
      return Ref(d.pairs[in == "0410" ? 0 : in == "1401" ? 1 : 2].ref, 0);
    }
    const auto cls = [&](int c) { return off && c == 13 ? 2 : off && c == 14 ? 5 : c; };
    const int gi = i->second.first, go = o->second.first, ci = cls(i->second.second), co = cls(o->second.second);
    const auto set = [&](int g) { return g >= 0 && g < RSCP_F1_GROUPS ? d.sets[g] : nullptr; };
    const uint16_t* s = nullptr;
    int base = 0;
    if (gi == 11 || go == 11) {
      s = set(11);
    } else if (gi == go || GroupPair(gi, go)) {
      if (ci == co) return 0;
      s = set(gi == go ? gi : go);
    } else if (!enforce) {
      return 16;
    } else {
      const std::vector<int> a = Super(gi), b = Super(go);
      int common = -1;
      for (auto x = a.rbegin(); common < 0 && (a.size() > 1 || b.size() > 1) && x != a.rend(); ++x) {
        for (auto y = b.rbegin(); common < 0 && y != b.rend(); ++y) common = *x == *y ? *x : -1;
      }
      if (common >= 0 && ci == co) return 64;
      if (common < 0 && ci == co) return 32;
      base = common >= 0 ? 64 : 32;
      s = set(common >= 0 ? common : ci < co ? gi : go);
      if (s == nullptr || s[ci * 15 + co] == 8) s = set(ci > co ? gi : go);
    }
    return s == nullptr ? 11 : Ref(s[ci * 15 + co], base);
  }
};

TEST(F1Filter, EveryPairOfRowsMatchesTheModelUnderEachEnvironment) {
  struct Env {
    const char* off;
    const char* stop;
  };
  for (const Env& env : {Env{nullptr, nullptr}, Env{"1", nullptr}, Env{"0", "1"}, Env{"", "0"}}) {
    const F1Model model(env.off != nullptr && env.off[0] != 0 && std::string(env.off) != "0",
                        env.stop != nullptr && env.stop[0] != '0');
    const tovtest::ChildResult r = tovtest::RunInChild([&] {
      if (env.off != nullptr) setenv("NLS_F1_FILTER_OFF", env.off, 1);
      if (env.stop != nullptr) setenv("NLS_F1_STOP_UTF8", env.stop, 1);
      rscpcF1IReset();
      std::vector<std::string> cps{"9999", "4103"};
      for (const auto& [cp, gc] : model.rows) cps.push_back(cp);
      int wrong = 0;
      for (const std::string& a : cps) {
        for (const std::string& b : cps) {
          for (int enforce : {0, 1}) {
            rscpCp_t f, t;
            SetCp(f, a.c_str());
            SetCp(t, b.c_str());
            if (a == "0100") f[0] = 0xF0, f[1] = 0xF1, f[2] = 0xF0, f[3] = 0xF0;  // EBCDIC digits
            const uint8_t* table = nullptr;
            const WEQ_UC* name = nullptr;
            const int got = rscpF1Filter(&f, &t, &table, &name, enforce), want = model.Code(a, b, enforce);
            const bool named = (got % 32 == 17) == (table != nullptr && name != nullptr && name[0] == u't');
            if ((got != want || !named) && ++wrong < 5) printf("%s->%s/%d: %d, model %d\n", a.c_str(), b.c_str(), enforce, got, want);
          }
        }
      }
      return wrong;
    });
    EXPECT_EQ(r.exit_code, 0) << r.out;
  }
  // The hash of a table's name, by the filter's formula.
  EXPECT_EQ(rscpcIF1Hash(u"t_0100_to_1100 EBCDIC 500 to Latin-1"), 0xC0100B1100u);
  EXPECT_EQ(rscpcIF1Hash(u"x_ab"), 0x347F2D08Au);
}

// --- The F1 route ------------------------------------------------------------------------

class F1Route : public EngineTest {};

const std::map<std::string, OracleNames> kF1Names = {{"0100", {"IBM500", "ibm-500"}},
                                                     {"1100", {"ISO-8859-1", "ISO-8859-1"}},
                                                     {"1101", {"US-ASCII", "US-ASCII"}},
                                                     {"1160", {"CP1252", "windows-1252"}}};

TEST_F(F1Route, EveryTableConvertsAsBothReferencesWhereTheyDefineTheByte) {
  const rscpF1Data_t& d = rscpf5::rscpF5F1;
  for (int k = 0; k < d.tableCount; ++k) {
    const std::string name = tovtest::ToUtf8(d.tables[k].name), from = name.substr(2, 4), to = name.substr(10, 4);
    SCOPED_TRACE(name);
    rscpCObj_t o = JavaObject(from.c_str(), to.c_str());
    o.useF1 = 2;
    ASSERT_EQ(rscpCLoadTables(&o), 0);
    ASSERT_EQ(o.method, RSCP_M_1B_TO_1B);
    std::string all;
    for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
    const Call c = Convert(o, all, 256);
    ASSERT_EQ(c.rc, 0);
    IconvRef iconv(kF1Names.at(to).iconv, kF1Names.at(from).iconv);
    IcuRef icu(kF1Names.at(to).icu, kF1Names.at(from).icu, false);
    int defined = 0;
    for (int b = 0; b < 256; ++b) {
      const Outcome a = iconv.Run(all.substr(b, 1)), i = icu.Run(all.substr(b, 1));
      if (!(a == i) || a.kind != Outcome::kOk || a.out.size() != 1) continue;
      ++defined;
      EXPECT_EQ(c.bytes[b], a.out[0]) << b;
    }
    EXPECT_GE(defined, 120);
  }
}

TEST_F(F1Route, TheFilterChoosesTheRouteByUseF1) {
  struct Case {
    const char* from;
    const char* to;
    uint32_t useF1;
    rscpRc_t rc;
    uint32_t method;
  };
  const Case kCases[] = {{"1100", "4110", 2, RSCPEINVAL, 0}, {"4110", "1100", 2, RSCPEINVAL, 0},
                         {"1100", "4103", 2, RSCPEINVAL, 0}, {"1100", "4103", 3, 0, 4},
                         {"1101", "1100", 2, 0, 2},          {"8000", "1100", 3, 0, 2},
                         {"8000", "1100", 4, 0, 2},          {"0100", "1100", 5, 0, 12},
                         {"1100", "1101", 3, 0, 4},          {"0100", "1100", 1, 0, 4}};
  for (const Case& k : kCases) {
    rscpCObj_t o = JavaObject(k.from, k.to);
    o.useF1 = k.useF1;
    rscpeClearThrErrors();
    EXPECT_EQ(rscpCLoadTables(&o), k.rc) << k.from << "->" << k.to << " useF1 " << k.useF1;
    EXPECT_EQ(o.method, k.method) << k.from << "->" << k.to << " useF1 " << k.useF1;
    EXPECT_TRUE(k.rc == 0 || Code(Newest()) == u"CPR");
  }
}

// Unequal sizes, a damaged table offset, a full F1 list, and a choice made
// again after the cache was rebuilt.
TEST_F(F1Route, SizesBoundsAFullListAndAReorganisation) {
  rscpCObj_t o = JavaObject("0100", "1100");
  o.useF1 = 2;
  ASSERT_EQ(rscpCLoadTables(&o), 0);
  const std::string text = "\xC8\x85\x93\x93\x96";
  const Call hello = Convert(o, text, 5);
  EXPECT_EQ(hello.bytes, "Hello");
  const Call shorter = Convert(o, text, 3);
  EXPECT_EQ(shorter.rc, RSCPEINVAL);
  EXPECT_EQ(shorter.bytes, "Hel");
  EXPECT_EQ(Code(Newest()), u"CP7");
  EXPECT_EQ(Newest().location, 180);
  // A table offset outside the cache is never read: the object is chosen
  // again.
  rscpCObj_t bad = o;
  bad.shortcut_t1 = 0xFFFFFFF0u;
  EXPECT_EQ(Convert(bad, text, 5).bytes, "Hello");
  EXPECT_EQ(bad.shortcut_t1, o.shortcut_t1);

  // Seventy tables in the list: the next one rebuilds the cache, which
  // empties the list.
  rscpCCC_t* c = Cache();
  const uint32_t version = rscpCacheVersion(c);
  for (uint32_t i = 0; i < RSCP_F1_LOADED; ++i) c->f1[i] = {i + 1, c->first_t7, 0};
  c->loaded_f1_count = RSCP_F1_LOADED;
  rscpCObj_t again = JavaObject("1100", "0100");
  again.useF1 = 2;
  ASSERT_EQ(rscpCLoadTables(&again), 0);
  EXPECT_EQ(again.method, RSCP_M_1B_TO_1B);
  EXPECT_NE(rscpCacheVersion(Cache()), version);
  EXPECT_EQ(Cache()->loaded_f1_count, 1u);
  // The first object is stale now: its refresh chooses again.
  EXPECT_EQ(Convert(o, text, 5).bytes, "Hello");
  EXPECT_EQ(o.cache_version, rscpCacheVersion(Cache()));
  EXPECT_EQ(Cache()->loaded_f1_count, 2u);
  ASSERT_EQ(rscpInvalidateLocked(nullptr, nullptr, u"test", -1, -1), 0);
  EXPECT_EQ(Convert(o, text, 5).bytes, "Hello");
  EXPECT_EQ(Cache()->loaded_f1_count, 1u);
}

// --- Shortcut blocks and exported tables -----------------------------------------------------

class Tables : public EngineTest {
 protected:
  // The entry of u in a 16-bit table as output bytes.
  static std::string Bytes16(WEQ_UC v) { return std::string(reinterpret_cast<const char*>(&v), 2); }
  // What the plain table walk (not the shortcut block) makes of in.
  static Outcome Walk(rscpCObj_t o, const std::string& in) {
    o.in_t1 = Entry(CpText(o.from_cp).c_str())->in[1].root;
    o.use_subst = 0;
    o.rscpbroken = 0;
    const Call c = Convert(o, in, 16);
    return {c.rc == 0 ? Outcome::kOk : Outcome::kBad, c.bytes};
  }
};

// The references of one page for one direction (into or out of form).
// They decide an input when both agree, the page lists no delta of either
// and the allow-list does not name it (keys: the code, the value), and a
// character they give converts back to the input (the page holds only
// round-trip mappings).
struct Refs {
  std::string cp;
  const PageRef* page;
  IconvRef iconv, back;
  IcuRef icu;
  Refs(const char* page_, const char* form, bool toPage)
      : cp(page_),
        page(FindPage(page_)),
        iconv(toPage ? page->iconv : form, toPage ? form : page->iconv),
        back(toPage ? form : page->iconv, toPage ? page->iconv : form),
        icu(toPage ? page->icu : form, toPage ? form : page->icu, false) {}
  bool Decide(const std::string& in, std::vector<std::string> keys, Outcome* out) {
    if (page->iconv[0] == 0) return false;
    const Outcome a = iconv.Run(in);
    if (!(a == icu.Run(in))) return false;
    if (a.kind == Outcome::kOk) keys.push_back(Hex(a.out));
    for (const std::string& k : keys) {
      if (Listed(*page, "iconv", k) || Listed(*page, "icu", k) || Allowed(cp, k)) return false;
    }
    if (a.kind == Outcome::kOk && !(back.Run(a.out) == Outcome{Outcome::kOk, in})) return false;
    *out = a;
    return true;
  }
};

std::string Value(uint32_t u) {
  char b[12];
  snprintf(b, sizeof b, "U+%04X", static_cast<unsigned>(u));
  return b;
}

TEST_F(Tables, EveryPageAgainstTablesMadeWithTheReferences) {
  const int step = tovtest::HeavyFactor() > 1 ? 1 : 5;
  for (const char* cp : {"0100", "1100", "1101", "6502", "6510", "6570", "8000", "8300", "8400", "8500"}) {
    SCOPED_TRACE(cp);
    const bool dbcs = cp[0] == '8';
    for (const char* to : {"4103", "4102"}) {
      rscpCObj_t o = Chosen(cp, to);
      EXPECT_EQ(rscpNoShortCutConversion(&o), dbcs ? 2 : 1);
      Refs refs(cp, to[3] == '3' ? "UTF-16LE" : "UTF-16BE", false);
      // Conversion through the block: a long text, whole and resumed in
      // odd pieces of output, as iconv converts it.
      if (FindPage(cp)->iconv[0] != 0 && cp[3] != '1') {
        std::string text;
        IconvRef encode(FindPage(cp)->iconv, "UTF-8");
        for (int i = 0; i < 80; ++i) text += encode.Run(dbcs ? "\xE6\x97\xA5\xE6\x9C\xAC\xEF\xBD\xB1 ab " : "Gr\xC3\xBC\xC3\x9F" "e 1 ").out;
        const Outcome ref = refs.iconv.Run(text);
        EXPECT_EQ(Convert(o, text, text.size() * 2).bytes, ref.out);
        EXPECT_EQ(ConvertResumed(o, text, 101).bytes, ref.out);
      }
      const auto check = [&](const std::string& in, const std::string& entry) {
        Outcome want;
        if (!refs.Decide(in, {Hex(in)}, &want)) want = Walk(o, in);
        if (want.kind != Outcome::kOk) want.out = std::string(to[3] == '3' ? "#\0" : "\0#", 2);
        EXPECT_EQ(Hex(entry), Hex(want.out)) << Hex(in);
      };
      if (!dbcs) {
        // A byte without a character has no entry (only 7-bit ASCII's take
        // the substitution): the table stops there.
        int hole = 256;
        for (int b = 255; b >= 0; --b) hole = Walk(o, std::string(1, static_cast<char>(b))).kind != Outcome::kOk ? b : hole;
        WEQ_UC tab[256];
        const rscpRc_t rc = rscpCGetSb2UcTab(&o, tab);
        ASSERT_EQ(rc, o.method == 4 && hole < 256 ? RSCPENOCONV : 0);
        EXPECT_TRUE(rc == 0 || P1(Newest()) == u"len=1,data=" + tovtest::FromUtf8(Hex(std::string(1, static_cast<char>(hole)))));
        for (int b = 0; b < 256 && b < (rc != 0 ? hole : 256); ++b) check(std::string(1, static_cast<char>(b)), Bytes16(tab[b]));
        continue;
      }
      uint8_t len[256];
      WEQ_UC lead[256], fallback[256];
      std::vector<uint32_t> blocks(65536);
      int32_t n = -1;
      ASSERT_EQ(rscpCGetDb2UcTab(&o, len, lead, blocks.data(), &n, fallback), 0);
      EXPECT_GT(n, 30);
      for (int b = 0; b < 256; ++b) {
        if (len[b] == 1) {
          check(std::string(1, static_cast<char>(b)), Bytes16(lead[b]));
          continue;
        }
        for (int s = b % step; s < 256; s += step) {
          const uint32_t e = blocks[lead[b] + s];
          ASSERT_LT(e, 0x10000u);
          check(std::string{static_cast<char>(b), static_cast<char>(s)}, Bytes16(static_cast<WEQ_UC>(e)));
        }
      }
    }
    rscpCObj_t back = Chosen("4103", cp);
    EXPECT_EQ(rscpNoShortCutConversion(&back), dbcs ? 4 : 3);
    Refs refs(cp, "UTF-16LE", true);
    std::vector<uint8_t> sb(65536);
    std::vector<WEQ_UC> index(65536), blocks(1024 * 1024);
    int32_t used = -1, n = -1;
    ASSERT_EQ(dbcs ? rscpCGetUc2DbTab(&back, index.data(), blocks.data(), &n) : rscpCGetUc2SbTab(&back, sb.data(), &used),
              0);
    // One shared block: no page has codes of supplementary characters. The
    // synthetic pages have one-byte codes above U+00FF.
    const bool latin = !FindPage(cp)->synthetic;
    EXPECT_TRUE(dbcs ? n == 1 : latin ? used == (cp[3] == '1' ? 128 : 256) : used >= 256 && sb[used - 1] != '#')
        << n << " " << used;
    // A value without a code gets the page's own '#', as a substituting
    // conversion writes it.
    const std::string hash = FindPage(cp)->iconv[0] != 0 ? Hex(refs.iconv.Run(std::string("#\0", 2)).out) : "";
    for (uint32_t u = 0; u < 0x10000; u += u < 0x100 ? 1 : step) {
      if (u >= 0xD800 && u < 0xE000) continue;
      const std::string unit{static_cast<char>(u), static_cast<char>(u >> 8)};
      const std::string entry = !dbcs ? std::string(1, static_cast<char>(sb[u]))
                                : index[u] > 0xFF ? std::string{static_cast<char>(index[u] >> 8), static_cast<char>(index[u])}
                                                  : std::string(1, static_cast<char>(index[u]));
      Outcome want;
      if (!refs.Decide(unit, {Value(u), Hex(entry)}, &want)) continue;
      EXPECT_EQ(Hex(entry), want.kind == Outcome::kOk ? Hex(want.out) : hash) << std::hex << u;
    }
  }
}

// A double-byte page of the test data whose codes name supplementary
// characters: surrogate pairs in both byte orders one way, blocks per high
// surrogate with one shared block of substitutions the other.
TEST_F(Tables, SupplementaryEntriesInBothByteOrders) {
  rscpf_finish(-1);
  rscpf5test::UseTestData data;
  ASSERT_EQ(rscpi_init(-1), 0);
  for (const char* to : {"4103", "4102"}) {
    rscpCObj_t o = Chosen("9010", to);
    ASSERT_EQ(rscpNoShortCutConversion(&o), 2);
    uint8_t len[256];
    WEQ_UC lead[256], fallback[256];
    std::vector<uint32_t> blocks(65536);
    int32_t n = 0;
    ASSERT_EQ(rscpCGetDb2UcTab(&o, len, lead, blocks.data(), &n, fallback), 0);
    ASSERT_EQ(n, 2);
    const bool le = to[3] == '3';
    const auto sw = [&](uint32_t hi, uint32_t lo) {
      return le ? hi << 16 | lo : (hi >> 8 | (hi & 0xFF) << 8) << 16 | lo >> 8 | (lo & 0xFF) << 8;
    };
    EXPECT_EQ(blocks[lead[0x81] + 0x40], sw(0xD840, 0xDC00));
    EXPECT_EQ(blocks[lead[0x81] + 0x41], sw(0xD83D, 0xDE00));
    EXPECT_EQ(blocks[lead[0x82] + 0x40], sw(0xD801, 0xDC00));
    EXPECT_EQ(blocks[lead[0x82] + 0x41], le ? 0xA2u : 0xA200u);
    EXPECT_EQ(Convert(o, "\x81\x41" "A", 8).bytes, le ? Bytes({0x3D, 0xD8, 0x00, 0xDE, 'A', 0})
                                                     : Bytes({0xD8, 0x3D, 0xDE, 0x00, 0, 'A'}));
  }
  rscpCObj_t back = Chosen("4103", "9010");
  ASSERT_EQ(rscpNoShortCutConversion(&back), 4);
  std::vector<WEQ_UC> index(65536), blocks(1024 * 1024);
  int32_t n = 0;
  ASSERT_EQ(rscpCGetUc2DbTab(&back, index.data(), blocks.data(), &n), 0);
  EXPECT_EQ(n, 4);  // three high surrogates with codes, one shared block
  EXPECT_EQ(blocks[index[0xD840] * 1024 + 0], 0x8140);
  EXPECT_EQ(blocks[index[0xD840] * 1024 + 1], 0x8142);
  EXPECT_EQ(blocks[index[0xD83D] * 1024 + 0x200], 0x8141);
  EXPECT_EQ(blocks[index[0xD801] * 1024 + 0], 0x8240);
  EXPECT_EQ(index[0xD800], index[0xDBFF]);
  EXPECT_EQ(blocks[index[0xD800] * 1024 + 7], u'#');
  EXPECT_EQ(index[0xA2], 0x8241);
}

// A record is found again; 1100 -> 0100 writes one-byte codes directly;
// a build that runs out of room gives back exactly what it took; a stale
// object's table call chooses again, and a failed choice unlocks nothing.
TEST_F(Tables, BlocksAreFoundAgainAndAFailedBuildTakesNothing) {
  const rscpCObj_t first = Chosen("1100", "4103");
  EXPECT_NE(first.in_t1, Entry("1100")->in[1].root);
  const rscpCObj_t second = Chosen("1100", "4103");
  EXPECT_EQ(second.in_t1, first.in_t1);
  EXPECT_EQ(Entry("1100")->shortcutInLen, 1);
  EXPECT_EQ(Entry("4103")->shortcutOutLen, 1);
  const rscpCObj_t ebcdic = Chosen("1100", "0100");
  const uint32_t* block = reinterpret_cast<const uint32_t*>(reinterpret_cast<uint8_t*>(Cache()) + ebcdic.in_t1 * 1032u);
  EXPECT_EQ(block['A'], 0x800000C1u);
  EXPECT_EQ(Entry("1100")->shortcutInLen, 2);

  Chosen("8000", "4103");
  ASSERT_EQ(rscpGetSemaAndWritePermission(__LINE__), 0);
  uint32_t* w;
  uint16_t b;
  while (rscpa1__alloc_t1(&w, &b) == 0) {
  }
  rscpCCC_t* c = Cache();
  const std::string before(reinterpret_cast<char*>(c) + c->first_t1, c->length - c->first_t1);
  rscpeClearThrErrors();
  uint16_t got = 0;
  EXPECT_EQ(rscpcIBuildShortcut(Entry("8000"), Entry("4103"), 1, &got), RSCPETOOLONG);
  EXPECT_EQ(Code(Newest()), u"F1A");
  EXPECT_TRUE(before == std::string(reinterpret_cast<char*>(c) + c->first_t1, c->length - c->first_t1));
  ASSERT_EQ(rscpReleaseWritePermissionAndSema(__LINE__), 0);
  ASSERT_EQ(rscpInvalidateLocked(nullptr, nullptr, u"test", -1, -1), 0);

  rscpCObj_t stale = first;
  WEQ_UC tab[256];
  ASSERT_EQ(rscpCGetSb2UcTab(&stale, tab), 0);
  EXPECT_EQ(stale.cache_version, rscpCacheVersion(Cache()));
  EXPECT_EQ(tab[0xE9], 0xE9);
  rscpCObj_t outside = stale;
  outside.in_t1 = 0xFFFF;  // a block number beyond the cache
  EXPECT_EQ(rscpCGetSb2UcTab(&outside, tab), RSCPEINVAL);
  EXPECT_EQ(Code(Newest()), u"F38");
  stale.drop = 0;
  EXPECT_EQ(rscpCGetSb2UcTab(&stale, tab), RSCPEINVAL);
  EXPECT_EQ(Code(Newest()), u"CP9");
  stale.cache_version = 0;
  SetCp(stale.to_cp, "9999");
  rscpeClearThrErrors();
  EXPECT_EQ(rscpCGetSb2UcTab(&stale, tab), RSCPENOCONV);
  const rscpErrStack_t* s = rscpeg__get_thr_errors();
  for (int i = 0; i < std::min<int>(s->count, RSCP_ERR_ENTRIES); ++i) {
    EXPECT_NE(Code(s->entries[i]), u"F29");  // no unlock of a released mutex
  }
  rscpCObj_t a7 = Chosen("1101", "4103");
  ASSERT_EQ(rscpCGetSb2UcTab(&a7, tab), 0);
  EXPECT_EQ(tab['A'], u'A');
  EXPECT_EQ(tab[0x80], u'#');
}

}  // namespace
}  // namespace rscptest
