// The multi-level tables against a model: random loads enter codes and rules
// into base variants and into variants derived from them by copy on write,
// and some are rolled back. After every load the tables answer as the model
// does (read by the walker of the fixture), the blocks of every earlier
// variant are bit-identical, and a rolled-back load leaves the bounds and
// counters of its rollback point.
#include <map>
#include <random>

#include "rscpcc_fixture.h"
#include "support/testsupport.h"

namespace {

using namespace rscptest;
using Bytes = std::vector<uint8_t>;

// Bounds and counters that a rollback restores.
struct Point {
  uint32_t end_t1, first_t2, first_t7;
  uint16_t n1, n2, n3;
  bool operator==(const Point&) const = default;
};
Point PointOf(const rscpCCC_t* c) {
  return {c->end_t1, c->first_t2, c->first_t7, c->noof_t1, c->noof_t2, c->noof_t3};
}

class ModelTest : public CacheTest {
 public:
  // Everything below end_t1 and above first_t2 as it is now, but the
  // free T3 halves that the next load may take.
  std::vector<uint8_t> Frozen() const {
    std::vector<uint8_t> snap(base(), base() + cache()->length);
    for (uint32_t t3 : {cache()->frag_t3, cache()->free_t3}) {
      if (t3 != 0) std::fill(snap.begin() + t3 * 516, snap.begin() + t3 * 516 + 516, 0xEE);
    }
    frozenEnd_ = cache()->end_t1;
    frozenT2_ = cache()->first_t2;
    frozenT7_ = cache()->first_t7;
    return snap;
  }
  // The frozen areas are unchanged.
  bool Unchanged(const std::vector<uint8_t>& snap) const {
    auto same = [&](uint32_t from, uint32_t to) {
      for (uint32_t i = from; i < to; ++i) {
        if (snap[i] != base()[i] && snap[i] != 0xEE) return false;
      }
      return true;
    };
    return same(cache()->first_t1, frozenEnd_) && same(frozenT2_, cache()->end_t2) &&
           same(frozenT7_, cache()->end_t7);
  }
  mutable uint32_t frozenEnd_ = 0, frozenT2_ = 0, frozenT7_ = 0;
};

// --- Input ------------------------------------------------------------------------------

struct InModel {
  std::map<Bytes, uint32_t> codes;
  std::map<uint8_t, InHit> rules;  // whole rules at lead bytes 0xF0 and above

  bool Extended(const Bytes& c) const {
    auto it = codes.upper_bound(c);
    return it != codes.end() && it->first.size() > c.size() &&
           std::equal(c.begin(), c.end(), it->first.begin());
  }
  // The expected result of entering c; the model follows.
  rscpRc_t Enter(const Bytes& c, uint32_t v, int overwrite) {
    // Fallbacks carry the length in 5 bits: a code longer than 31 bytes
    // neither becomes a prefix nor gets one.
    for (size_t d = 32; d < c.size(); ++d) {
      Bytes p(c.begin(), c.begin() + static_cast<long>(d));
      if (codes.count(p) && !Extended(p)) return RSCPEINTERN;
    }
    const bool inner = Extended(c);
    if (c.size() > 31 && inner) return RSCPEINTERN;
    auto it = codes.find(c);
    if (it == codes.end()) {
      codes[c] = v;
    } else if (!inner && overwrite == 1) {
      it->second = v;
    }
    return 0;
  }
  // What a conversion finds for seq: the longest entered prefix.
  InHit Find(const Bytes& seq) const {
    if (!seq.empty() && seq[0] >= 0xF0) {
      auto r = rules.find(seq[0]);
      return r == rules.end() ? InHit{} : r->second;
    }
    for (size_t n = seq.size(); n > 0; --n) {
      auto it = codes.find(Bytes(seq.begin(), seq.begin() + static_cast<long>(n)));
      if (it != codes.end()) return {InHit::kChar, it->second, 0, static_cast<int>(n)};
    }
    return {};
  }
};

struct InVariant {
  uint16_t root;
  InModel model;
};

Bytes RandomCode(std::mt19937& rng, const InModel& m) {
  std::uniform_int_distribution<int> pick(0, 99);
  const int kind = pick(rng);
  auto byte = [&] { return static_cast<uint8_t>(0x20 + rng() % 6); };  // few bytes: shared paths
  if (!m.codes.empty() && kind < 60) {
    auto it = m.codes.begin();
    std::advance(it, static_cast<long>(rng() % m.codes.size()));
    Bytes c = it->first;
    if (kind < 30 && c.size() > 1) {
      c.resize(1 + rng() % (c.size() - 1));  // a prefix of a code
    } else {
      for (int n = 1 + static_cast<int>(rng() % 3); n > 0 && c.size() < 126; --n) c.push_back(byte());
    }
    return c;
  }
  const int len = kind < 95 ? 1 + static_cast<int>(rng() % 6) : 20 + static_cast<int>(rng() % 107);
  Bytes c(static_cast<size_t>(len));
  for (uint8_t& b : c) b = byte();
  return c;
}

void CheckIn(const unsigned char* cache, const InVariant& v, std::mt19937& rng, const char* when) {
  for (const auto& [code, value] : v.model.codes) {
    ASSERT_EQ(WalkIn(cache, v.root, code), (InHit{InHit::kChar, value, 0, static_cast<int>(code.size())}))
        << when << " code of " << code.size() << " bytes, first " << int{code[0]} << " root " << v.root
        << " root word " << std::hex << reinterpret_cast<const uint32_t*>(cache + v.root * 1032u)[code[0]];
  }
  for (const auto& [lead, hit] : v.model.rules) ASSERT_EQ(WalkIn(cache, v.root, {lead, 0x80}), hit) << when;
  for (int i = 0; i < 200; ++i) {
    Bytes s = RandomCode(rng, v.model);
    if (rng() % 2) s.push_back(static_cast<uint8_t>(rng()));
    ASSERT_EQ(WalkIn(cache, v.root, s), v.model.Find(s)) << when << " probe of " << s.size() << " bytes";
  }
}

void RunInputModel(ModelTest& t, uint32_t seed, long size) {
  std::mt19937 rng(seed);
  rscpCCC_t* c = t.cache();
  std::vector<InVariant> variants;
  int rolledBack = 0, overflowed = 0, derived = 0;
  const int loads = 60 * tovtest::HeavyFactor();
  for (int load = 0; load < loads; ++load) {
    SCOPED_TRACE("seed " + std::to_string(seed) + " load " + std::to_string(load));
    const std::vector<uint8_t> frozen = t.Frozen();
    rscpsv__save_marks();
    const Point point = PointOf(c);
    const bool derive = !variants.empty() && rng() % 2;
    InVariant v{};
    int mode = 0;
    if (derive) {
      const InVariant& from = variants[rng() % variants.size()];
      ASSERT_EQ(rscpam__alloc_marks(c->first_t2 / 1032), 0);
      v = {rscpct1__copy_t1(from.root), from.model};
      rscpsm__set_mark(v.root);
      mode = 1;
      ++derived;
    } else {
      v.root = rscpnt1__new_t1();
    }
    rscpRc_t rc = v.root == 0 ? RSCPETOOLONG : 0;
    for (int n = static_cast<int>(rng() % 40); rc == 0 && n > 0; --n) {
      if (rng() % 10 == 0) {
        const uint8_t lead = static_cast<uint8_t>(0xF0 + rng() % 16);
        const int len = 2 + static_cast<int>(rng() % 3), rule = 10 + static_cast<int>(rng() % 3);
        const uint8_t code[4] = {lead, 0x80, 0x80, 0x80};
        rc = rscpeir__enter_in_rule(v.root, u"M", mode, rule, 1, len, code, 0, 1, -1);
        if (!v.model.rules.count(lead))
          v.model.rules[lead] = {InHit::kRule, static_cast<uint32_t>(rule), 1, len};
        continue;
      }
      const Bytes code = RandomCode(rng, v.model);
      const uint32_t value = static_cast<uint32_t>(rng() % 0x110000);
      const int overwrite = static_cast<int>(rng() % 2);
      InModel next = v.model;
      const rscpRc_t want = next.Enter(code, value, overwrite);
      rc = rscpeic__enter_in_code(v.root, u"M", value, mode, static_cast<int>(code.size()), code.data(),
                                  overwrite, -1);
      if (rc == RSCPETOOLONG) break;
      ASSERT_EQ(rc, want) << "code of " << code.size() << " bytes";
      rc = 0;
      v.model = std::move(next);
    }
    if (rc != 0) ++overflowed;
    const bool rollback = rc != 0 || rng() % 4 == 0;
    if (rollback) {
      rscprb__rollback_tables(nullptr, u"model");
      ++rolledBack;
      EXPECT_EQ(PointOf(c), point) << "bounds and counters of the rollback point";
    } else {
      variants.push_back(std::move(v));
    }
    rscpfm__free_marks();
    ASSERT_TRUE(t.Unchanged(frozen)) << "earlier variants are bit-identical";
    for (const InVariant& each : variants) CheckIn(t.base(), each, rng, derive ? "derived" : "base");
    if (::testing::Test::HasFatalFailure()) return;
  }
  // The sweep walked every path it claims to.
  EXPECT_GT(derived, 0);
  EXPECT_GT(rolledBack, 0);
  if (size < 200000) {
    EXPECT_GT(overflowed, 0) << "a small cache overflows";
  }
}

TEST_F(ModelTest, InputTablesAnswerAsTheModel) {
  for (uint32_t seed : {1u, 2u, 3u}) {
    Build(400000, 40000);
    RunInputModel(*this, seed, 400000);
    if (HasFatalFailure()) return;
  }
  Build(170000, 17008);
  tovtest::CaptureFd err;
  RunInputModel(*this, 4, 170000);
  EXPECT_EQ(err.Take().find("Problem"), std::string::npos)
      << "loads from a marked root never meet a shared holder";
}

// --- Output ---------------------------------------------------------------------------------

struct OutModel {
  std::map<uint32_t, OutHit> values;
};

struct OutVariant {
  uint32_t t2;
  OutModel model;
};

// Code blocks take codes, rule blocks rules.
constexpr uint32_t kCodeBlocks[] = {0x00, 0x01, 0x9C};
constexpr uint32_t kRuleBlocks[] = {0x20, 0x21, 0x22};

bool Compacted(const unsigned char* cache, uint32_t t2, uint32_t value) {
  uint16_t e;
  memcpy(&e, cache + t2 + 2 * (value >> 7), 2);
  return (e >> 13) == 2;
}

void CheckOut(const unsigned char* cache, const OutVariant& v, const char* when) {
  for (const auto* blocks : {&kCodeBlocks, &kRuleBlocks}) {
    for (uint32_t b : *blocks) {
      for (uint32_t value = b * 128; value < b * 128 + 128; ++value) {
        auto it = v.model.values.find(value);
        ASSERT_EQ(WalkOut(cache, v.t2, value), it == v.model.values.end() ? OutHit{} : it->second)
            << when << " U+" << std::hex << value;
      }
    }
  }
}

void RunOutputModel(ModelTest& t, uint32_t seed, long size) {
  std::mt19937 rng(seed);
  rscpCCC_t* c = t.cache();
  std::vector<OutVariant> variants;
  int rolledBack = 0, overflowed = 0, compacted = 0;
  const int loads = 40 * tovtest::HeavyFactor();
  for (int load = 0; load < loads; ++load) {
    SCOPED_TRACE("seed " + std::to_string(seed) + " load " + std::to_string(load));
    const std::vector<uint8_t> frozen = t.Frozen();
    rscpsv__save_marks();
    const Point point = PointOf(c);
    OutVariant v{};
    int mode = 0;
    if (!variants.empty() && rng() % 2) {
      const OutVariant& from = variants[rng() % variants.size()];
      ASSERT_EQ(rscpam__alloc_marks(c->first_t2 / 516), 0);
      v = {rscpct2__copy_t2(from.t2), from.model};
      mode = 1;
    } else {
      v.t2 = rscpnt2__new_t2();
    }
    rscpRc_t rc = v.t2 == 0 ? RSCPETOOLONG : 0;
    for (int n = static_cast<int>(rng() % 30); rc == 0 && n > 0; --n) {
      if (rng() % 3 == 0) {
        // Rules over a run of a rule block, often the whole block.
        const uint32_t b = kRuleBlocks[rng() % 3];
        const int rule = 10 + static_cast<int>(rng() % 2), attr = static_cast<int>(rng() % 2);
        const uint32_t from = rng() % 2 ? 0 : rng() % 128;
        for (uint32_t i = from; rc == 0 && i < 128; ++i) {
          const uint32_t value = b * 128 + i;
          const bool was = Compacted(t.base(), v.t2, value);
          rscpRc_t want = 0;
          auto it = v.model.values.find(value);
          if (was) {
            want = it->second.rule == rule ? 0 : RSCPEUNIQ;
          } else if (it != v.model.values.end() && !(it->second == OutHit{{}, rule, attr})) {
            want = RSCPEUNIQ;
          }
          rc = rscpeor__enter_out_rule(v.t2, u"M", value, rule, attr, 0, mode);
          if (rc == RSCPETOOLONG) break;
          ASSERT_EQ(rc, want);
          rc = 0;
          if (!was && it == v.model.values.end()) v.model.values[value] = {{}, rule, attr};
          if (!was && Compacted(t.base(), v.t2, value)) ++compacted;
        }
        continue;
      }
      const uint32_t value = kCodeBlocks[rng() % 3] * 128 + rng() % 128;
      const int len = rng() % 4 ? 1 + static_cast<int>(rng() % 4) : 5 + static_cast<int>(rng() % 122);
      Bytes code(static_cast<size_t>(len));
      for (uint8_t& b : code) b = static_cast<uint8_t>(0x40 + rng() % 3);
      const int overwrite = static_cast<int>(rng() % 4);
      auto it = v.model.values.find(value);
      rscpRc_t want = 0;
      if (it != v.model.values.end() && overwrite != 1 && overwrite != 3)
        want = it->second.code == code ? 0 : RSCPEUNIQ;
      rc = len <= 4 ? rscpeo4__enter_out_4code(v.t2, u"M", value, len, code[0], len > 1 ? code[1] : 0,
                                               len > 2 ? code[2] : 0, len > 3 ? code[3] : 0, overwrite, mode)
                    : rscpeo126__enter_out_126code(v.t2, u"M", value, len, code.data(), overwrite, mode);
      if (rc == RSCPETOOLONG) break;
      ASSERT_EQ(rc, want);
      rc = 0;
      if (want == 0) v.model.values[value] = {code, -1, 0};
    }
    if (rc != 0) ++overflowed;
    if (rc != 0 || rng() % 4 == 0) {
      rscprb__rollback_tables(nullptr, u"model");
      ++rolledBack;
      EXPECT_EQ(PointOf(c), point);
    } else {
      variants.push_back(std::move(v));
    }
    rscpfm__free_marks();
    ASSERT_TRUE(t.Unchanged(frozen)) << "earlier variants are bit-identical";
    for (const OutVariant& each : variants) CheckOut(t.base(), each, "after load");
    if (::testing::Test::HasFatalFailure()) return;
  }
  EXPECT_GT(rolledBack, 0);
  EXPECT_GT(compacted, 0);
  if (size < 300000) {
    EXPECT_GT(overflowed, 0) << "a small cache overflows";
  }
}

TEST_F(ModelTest, OutputTablesAnswerAsTheModel) {
  tovtest::CaptureFd err;  // the engine-facing notices of T2 rules met on the way
  for (uint32_t seed : {11u, 12u}) {
    Build(1000000, 100000);
    RunOutputModel(*this, seed, 1000000);
    if (HasFatalFailure()) return;
  }
  Build(250000, 2000);
  RunOutputModel(*this, 13, 250000);
}

}  // namespace
