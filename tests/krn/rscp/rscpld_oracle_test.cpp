// The loaded tables read back as a conversion reads them, against two
// independent views: the built-in data read by its byte layouts alone (every
// point and rule of every page in all eight variants), and ICU (every byte
// sequence of a page's ranges through T1, every Unicode value through T2 and
// T3, every GB 18030 four-byte code, the ISO-2022-JP group tables).
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <sstream>

#include "rscpc_oracle.h"
#include "rscpdat_oracle.h"
#include "rscpf5_tset.h"
#include "rscpf5_walker.h"
#include "rscpld_codec.h"
#include "rscpld_fixture.h"

namespace rscptest {
namespace {

using rscpldtest::Bytes;
using rscpldtest::Range;

// The tables of one loaded variant as a conversion reads them.
class Reader {
 public:
  Reader(const unsigned char* cache, const rscpCpEntry_t* e, int slot)
      : cache_(cache), root_(rscpIInRoot(e, slot)), t2_(rscpIOutT2(e, slot)) {
    uint32_t w257, w0;
    memcpy(&w257, cache + root_ * 1032u + 257 * 4, 4);
    memcpy(&w0, cache + root_ * 1032u, 4);
    start_ = w257 == RSCP_T1_GROUP_MARK ? (w0 & 0xFFFFFF) : root_;
  }
  uint32_t start() const { return start_; }
  uint16_t root() const { return root_; }
  // The character that code starts with and its length, or nothing.
  std::optional<std::pair<uint32_t, int>> In(const Bytes& code, uint32_t block = 0) const {
    const InHit h = WalkIn(cache_, block != 0 ? block : start_, code);
    if (h.kind == InHit::kChar) return std::make_pair(h.value, h.len);
    if (h.kind != InHit::kRule) return std::nullopt;
    const Range* r = RangeOf(h.value, h.attr);
    auto v = rscpldtest::DecodeRule(static_cast<int>(h.value), code, r);
    if (!v) return std::nullopt;
    return std::make_pair(*v, static_cast<int>(rscpldtest::RuleBytes(static_cast<int>(h.value), r)));
  }
  std::optional<Bytes> Out(uint32_t value) const {
    const OutHit h = WalkOut(cache_, t2_, value);
    if (h.rule < 0) {
      if (h.code.empty()) return std::nullopt;
      return h.code;
    }
    if ((h.rule >= 58 && h.rule <= 67) || (h.rule >= 73 && h.rule <= 82)) {
      if (h.rule >= 73) return Bytes{uint8_t(h.attr)};
      return Bytes{uint8_t(h.attr >> 8), uint8_t(h.attr)};
    }
    return rscpldtest::EncodeRule(h.rule, value, RangeOf(static_cast<uint32_t>(h.rule), h.attr));
  }

 private:
  const Range* RangeOf(uint32_t rule, int attr) const {
    if (rule != 68) return nullptr;
    auto it = ranges_.find(attr);
    if (it == ranges_.end()) {
      const rscpRangeRec_t& rec = reinterpret_cast<const rscpCCC_t*>(cache_)->ranges[attr];
      auto r = Range::Parse(std::string(rec.attr1, rec.attr1 + rec.attr1Len), std::string(rec.attr2, rec.attr2 + rec.attr2Len));
      it = ranges_.emplace(attr, r.value_or(Range{})).first;
    }
    return &it->second;
  }
  const unsigned char* cache_;
  uint16_t root_;
  uint32_t t2_;
  uint32_t start_ = 0;
  mutable std::map<int, Range> ranges_;
};

std::string Hex(const Bytes& b) {
  std::string s;
  char buf[4];
  for (uint8_t x : b) snprintf(buf, sizeof buf, "%02X", x), s += buf;
  return s;
}

class Oracle : public LoadTest {
 protected:
  rscpCpEntry_t* LoadAll(const std::string& cp) {
    BuildDefault();
    rscpCpEntry_t* e = Entry(cp.c_str());
    if (e == nullptr) return nullptr;
    for (int s = 0; s < 4; ++s) {
      EXPECT_EQ(rscplcp__load_codepage(kInKinds[s], e), 0) << cp << " in " << s;
      EXPECT_EQ(rscplcp__load_codepage(kOutKinds[s], e), 0) << cp << " out " << s;
    }
    return e;
  }
};

bool Own(uint32_t v) { return v > 0x10FFFF; }

// Every point of every page, in each variant that holds it, reads back
// through T1 and T2 as the data stores it; the first code of a value (and
// the first value of a code) wins, in the order in which the loads enter
// them; no variant holds what it must not.
TEST_F(Oracle, EveryVariantHoldsExactlyItsPointsOfTheData) {
  const auto& data = rscpdat::BuiltinData();
  for (const auto& row : rscpf5walk::Catalogue(data)) {
    if (row.segid()[0] == ' ') continue;
    SCOPED_TRACE(row.cp());
    rscpf5walk::Walk w = rscpf5walk::WalkPage(data, row.segid());
    ASSERT_TRUE(w.errors.empty());
    rscpCpEntry_t* e = LoadAll(row.cp());
    ASSERT_NE(e, nullptr);
    // Load order per slot: slot 0 the base points without own characters,
    // slot 2 adds the base's own characters, slots 1 and 3 add the control
    // points (slot 1 without own characters).
    auto holds = [](int slot, const rscpf5walk::Point& p) {
      const bool ctrl = p.mode == 2, own = Own(p.value);
      return (!ctrl || (slot & 1)) && (!own || slot >= 2);
    };
    for (int slot = 0; slot < 4; ++slot) {
      std::vector<const rscpf5walk::Point*> order;
      for (int pass = 0; pass < 3; ++pass)
        for (const auto& p : w.points) {
          const bool ctrl = p.mode == 2, own = Own(p.value);
          const int when = ctrl ? 2 : own ? 1 : 0;
          if (when == pass && holds(slot, p)) order.push_back(&p);
        }
      std::map<Bytes, uint32_t> byCode;
      std::map<uint32_t, Bytes> byValue;
      for (const auto* p : order) {
        byCode.emplace(p->code, p->value);
        if (!p->readOnly) byValue.emplace(p->value, p->code);
      }
      Reader rd(base(), e, slot);
      int bad = 0;
      for (const auto& [code, v] : byCode) {
        auto got = rd.In(code);
        if (!got || got->first != v || got->second != static_cast<int>(code.size())) {
          if (++bad < 5) ADD_FAILURE() << "slot " << slot << " in " << Hex(code) << " -> " << (got ? got->first : 0);
        }
      }
      for (const auto& [v, code] : byValue) {
        auto got = rd.Out(v);
        if (!got || *got != code) {
          if (++bad < 10) ADD_FAILURE() << "slot " << slot << " out U+" << std::hex << v << " -> " << (got ? Hex(*got) : "none");
        }
      }
      // Nothing of the control points outside slots 1 and 3, nothing own
      // outside slots 2 and 3 (unless a rule of the page covers it), and
      // no code that is only read is written.
      for (const auto& p : w.points) {
        if (p.readOnly && holds(slot, p) && rd.Out(p.value) == p.code && ++bad < 15) {
          ADD_FAILURE() << "slot " << slot << " writes the read-only code " << Hex(p.code);
        }
        if (holds(slot, p) || byValue.count(p.value)) continue;
        auto got = rd.Out(p.value);
        if (got && *got == p.code && w.rules.empty()) {
          if (++bad < 15) ADD_FAILURE() << "slot " << slot << " holds U+" << std::hex << p.value;
        }
      }
      EXPECT_EQ(bad, 0) << "slot " << slot;
    }
  }
}

// The Unicode-form rules of the Unicode pages and the icon rules of the test
// page: every value of the rule's range is written by the rule's encoding
// and read back from it.
TEST_F(Oracle, RulePagesCodeEveryValueOfTheirRanges) {
  auto ranges = [](int kind) {
    std::vector<std::pair<uint32_t, uint32_t>> r;
    if (kind == 10 || kind == 14) return decltype(r){{0x20, 0x7E}, {0xA0, 0xFFFD}};
    r = {{0x20, 0x7E}, {0xA0, 0xD7FF}, {0xE000, 0xFDCF}, {0xFDF0, 0xFFFD}, {0x10000, 0x10FFFF}};
    return r;
  };
  struct Case {
    const char* cp;
    int rule;       // the page's rule kind
    int bmpRule;    // the rule of BMP values (13 and 16 code them as 10 and 14)
  } cases[] = {{"4100", 10, 10}, {"4101", 14, 14}, {"4102", 13, 10}, {"4103", 16, 14},
               {"4104", 11, 11}, {"4105", 15, 15}, {"4110", 12, 12}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.cp);
    rscpCpEntry_t* e = LoadAll(k.cp);
    ASSERT_NE(e, nullptr);
    Reader rd(base(), e, 0);
    int bad = 0;
    for (auto [lo, hi] : ranges(k.rule)) {
      for (uint32_t v = lo; v <= hi; ++v) {
        const int rule = v >= 0x10000 ? k.rule : k.bmpRule;
        const Bytes want = *rscpldtest::EncodeRule(rule == 12 ? 12 : rule, v);
        auto out = rd.Out(v);
        auto in = rd.In(want);
        if (!out || *out != want || !in || in->first != v || in->second != static_cast<int>(want.size())) {
          if (++bad < 5) ADD_FAILURE() << "U+" << std::hex << v << " out " << (out ? Hex(*out) : "none") << " in "
                                       << (in ? in->first : 0);
        }
      }
    }
    EXPECT_EQ(bad, 0);
  }
}


// Every byte sequence of one and two bytes through the control-code
// variant's T1, and every Unicode value through its T2/T3, against ICU:
// what we read, ICU reads the same; what we write, ICU reads back as the
// value; what ICU maps both ways, we map too.
TEST_F(Oracle, TablePagesAgreeWithIcuOnEverySequenceAndValue) {
  for (const PageRef& pg : kManifestPages) {
    const std::string cp = pg.cp;
    if (pg.synthetic || cp == "8200" || cp[0] == '4') continue;
    SCOPED_TRACE(cp);
    rscpdattest::IcuCharset icu(pg.icu);
    ASSERT_TRUE(icu.ok());
    rscpCpEntry_t* e = LoadAll(cp);
    ASSERT_NE(e, nullptr);
    Reader rd(base(), e, 1);
    std::set<std::string> differ;
    auto check = [&](const Bytes& seq) {
      auto ours = rd.In(seq);
      auto ref = icu.Decode(seq);
      const bool refOne = ref && ref->size() == 1 && icu.Encode(*ref) == seq;
      if (ours && ours->second == static_cast<int>(seq.size())) {
        if (!ref || ref->size() != 1 || uint32_t((*ref)[0]) != ours->first) differ.insert(Hex(seq));
      } else if (refOne && !(ours && ours->second < static_cast<int>(seq.size()))) {
        differ.insert(Hex(seq));
      }
    };
    std::set<uint8_t> leads;
    for (int b = 0; b < 256; ++b) {
      check(Bytes{uint8_t(b)});
      auto h = WalkIn(base(), rd.start(), Bytes{uint8_t(b)});
      uint32_t w;
      memcpy(&w, base() + rd.start() * 1032u + 4u * b, 4);
      if ((w >> 29) == 2) leads.insert(uint8_t(b));
      (void)h;
    }
    for (uint8_t l : leads)
      for (int t = 0; t < 256; ++t) check(Bytes{l, uint8_t(t)});
    for (uint32_t v = 0; v <= 0x10FFFF; ++v) {
      if (v >= 0xD800 && v <= 0xDFFF) continue;
      auto ours = rd.Out(v);
      if (ours) {
        auto back = icu.Decode(*ours);
        if (!back || *back != rscpdattest::Text(1, char32_t(v))) differ.insert(Hex(*ours));
      } else if (v < 0x10000 || cp == "8450") {
        auto code = icu.Encode(rscpdattest::Text(1, char32_t(v)));
        // The page's ranges: codes of one and two bytes (GB 18030 also four).
        if (code && (code->size() <= 2 || cp == "8450") && icu.Decode(*code) == rscpdattest::Text(1, char32_t(v)))
          differ.insert(Hex(*code));
      }
    }
    std::vector<std::string> unlisted;
    for (const auto& k : differ)
      if (!Listed(pg, "icu", k)) unlisted.push_back(k);
    EXPECT_TRUE(unlisted.empty()) << unlisted.size() << " unlisted, first " << (unlisted.empty() ? "" : unlisted[0]);
  }
}

// Every four-byte code of GB 18030 reads as ICU reads it, through the
// explicit points and the range rules alike.
TEST_F(Oracle, EveryGb18030FourByteCodeAgreesWithIcu) {
  rscpdattest::IcuCharset icu("gb18030");
  ASSERT_TRUE(icu.ok());
  rscpCpEntry_t* e = LoadAll("8450");
  ASSERT_NE(e, nullptr);
  EXPECT_GT(cache()->ruleInfo_count, 20u);
  Reader rd(base(), e, 1);
  const PageRef* pg = nullptr;
  for (const PageRef& p : kManifestPages)
    if (std::string(p.cp) == "8450") pg = &p;
  long checked = 0, bad = 0;
  Bytes b(4);
  for (int b0 = 0x81; b0 <= 0xFE; ++b0)
    for (int b1 = 0x30; b1 <= 0x39; ++b1)
      for (int b2 = 0x81; b2 <= 0xFE; ++b2)
        for (int b3 = 0x30; b3 <= 0x39; ++b3) {
          b = {uint8_t(b0), uint8_t(b1), uint8_t(b2), uint8_t(b3)};
          auto ref = icu.Decode(b);
          auto ours = rd.In(b);
          const bool refOk = ref && ref->size() == 1;
          const bool oursOk = ours && ours->second == 4;
          ++checked;
          if (refOk != oursOk || (refOk && uint32_t((*ref)[0]) != ours->first)) {
            if (Listed(*pg, "icu", Hex(b))) continue;
            if (++bad < 5) ADD_FAILURE() << Hex(b) << " icu " << (refOk ? (*ref)[0] : 0) << " ours " << (oursOk ? ours->first : 0);
          }
        }
  EXPECT_EQ(checked, 126L * 10 * 126 * 10);
  EXPECT_EQ(bad, 0);
}

// ISO-2022-JP: each group's table holds the JIS pairs that ICU writes for
// the group's characters, and every group table (the initial state's too)
// holds the start and return sequences of every group as rule 71.
TEST_F(Oracle, Iso2022GroupTablesHoldIcusPairsAndEverySequence) {
  rscpdattest::IcuCharset icu("ISO_2022,locale=ja,version=0");
  ASSERT_TRUE(icu.ok());
  rscpCpEntry_t* e = LoadAll("8200");
  ASSERT_NE(e, nullptr);
  const PageRef* pg = nullptr;
  for (const PageRef& p : kManifestPages)
    if (std::string(p.cp) == "8200") pg = &p;
  const uint32_t groups = e->flags & RSCP_CP_GROUPS;
  ASSERT_EQ(groups, 3u) << "two pairs: ESC $ B / ESC ( J and ESC ( B / ESC ( J";
  for (int slot = 0; slot < 4; ++slot) {
    SCOPED_TRACE(slot);
    Reader rd(base(), e, slot);
    uint32_t w257;
    memcpy(&w257, base() + rd.root() * 1032u + 257 * 4, 4);
    ASSERT_EQ(w257, RSCP_T1_GROUP_MARK);
    auto group = [&](int s) {
      uint32_t w;
      memcpy(&w, base() + rd.root() * 1032u + 4u * s, 4);
      EXPECT_EQ(w >> 29, 2u) << "group " << s;
      return w & 0xFFFFFF;
    };
    for (int s = 0; s <= 2; ++s) {
      for (int g = 0; g < 2; ++g) {
        int sl, bl;
        const uint8_t *strt, *back;
        ASSERT_TRUE(rscpGetShiftPair(g, &sl, &strt, &bl, &back));
        const InHit hs = WalkIn(base(), group(s), Bytes(strt, strt + sl));
        const InHit hb = WalkIn(base(), group(s), Bytes(back, back + bl));
        EXPECT_EQ(hs, (InHit{InHit::kRule, 71, g + 1, sl})) << "state " << s << " STRT of " << g;
        EXPECT_EQ(hb, (InHit{InHit::kRule, 71, 0, bl})) << "state " << s << " BACK of " << g;
      }
    }
    // Characters of the double-byte group as ICU frames them.
    int pairs = 0, bad = 0;
    for (uint32_t v = 0x80; v < 0x10000; ++v) {
      auto code = icu.Encode(rscpdattest::Text(1, char32_t(v)));
      if (!code || code->size() < 5 || (*code)[0] != 0x1B || (*code)[1] != '$' || (*code)[2] != 'B') continue;
      const Bytes pair{(*code)[3], (*code)[4]};
      auto ours = rd.In(pair, group(1));
      ++pairs;
      if (!ours || ours->first != v) {
        if (Listed(*pg, "icu", Hex(Bytes(code->begin(), code->begin() + 5)))) continue;
        if (++bad < 5) ADD_FAILURE() << "U+" << std::hex << v << " " << Hex(pair);
      }
      if (slot == 0) {
        auto out = rd.Out(v);
        if ((!out || *out != pair) && !Listed(*pg, "icu", Hex(Bytes(code->begin(), code->begin() + 5)))) {
          if (++bad < 5) ADD_FAILURE() << "out U+" << std::hex << v;
        }
      }
    }
    EXPECT_GT(pairs, 6000);
    EXPECT_EQ(bad, 0);
  }
}

}  // namespace
}  // namespace rscptest
