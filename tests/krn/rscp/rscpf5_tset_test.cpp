// The test-only data set behind the seam: the look-up reads whichever set
// is active, and each fault the set carries on purpose is where the
// loaders' tests expect it, read by layout alone.
#include <gtest/gtest.h>

#include "rscpf5_tset.h"
#include "rscpf5_walker.h"

namespace {

using namespace rscpf5walk;

TEST(RscpF5Seam, LookUpFollowsTheActiveSet) {
  const auto& builtin = rscpdat::BuiltinData();
  EXPECT_EQ(&rscpdat::ActiveData(), &builtin);
  EXPECT_EQ(rscpFindBuiltinSegment("LONGC"), nullptr);
  {
    rscpf5test::UseTestData use;
    EXPECT_EQ(rscpdat::ActiveData().segDir, rscpf5test::TestData().segDir);
    const rscpSegDirEntry_t* e = rscpFindBuiltinSegment("LONGC");
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(Id(e->id), "LONGC");
    EXPECT_EQ(rscpFindBuiltinSegment("1100T"), nullptr);
  }
  EXPECT_EQ(rscpFindBuiltinSegment("1100T"), &builtin.segDir[0]);
}

std::string ErrorsOf(const char* segid) {
  std::string all;
  for (const auto& e : WalkPage(rscpf5test::TestData(), segid).errors) all += e + ";";
  return all;
}

TEST(RscpF5Seam, FaultsOnPurpose) {
  const auto& d = rscpf5test::TestData();
  struct F {
    const char* segid;
    const char* error;  // a piece of the walker's report, "" for none
  };
  for (const F& f : {F{"9000T", ""}, F{"9007T", ""}, F{"BADK0", "illegal kind"}, F{"BADK4", "illegal kind"},
                     F{"9003T", "nesting deeper than 10"}, F{"9004T", "missing segment 'NOSUC'"}}) {
    const std::string errors = ErrorsOf(f.segid);
    if (*f.error) {
      EXPECT_NE(errors.find(f.error), std::string::npos) << f.segid << ": " << errors;
    } else {
      EXPECT_EQ(errors, "") << f.segid;
    }
  }
  // A list of 100 rows (one more than a load takes), all naming "ASCII".
  const auto* rows = static_cast<const rscpSegBuildRow_t*>(Find(d, "9002T")->data);
  int n = 0;
  std::set<uint32_t> seqs;
  for (; rows[n].id[0] != ' '; ++n) {
    EXPECT_EQ(Id(rows[n].id), "ASCII");
    seqs.insert(rows[n].attr & 0x7F);
  }
  EXPECT_EQ(n, 100);
  EXPECT_EQ(seqs.size(), 100u);
  // Codes of every length from 5 to 126 bytes, each an own character with
  // a character record.
  const Walk w = WalkPage(d, "9000T");
  std::set<size_t> lengths;
  for (const Point& p : w.points)
    if (p.seg == "LONGC") {
      lengths.insert(p.code.size());
      EXPECT_GT(p.value, 0x10FFFFu);
      EXPECT_EQ(p.code[0], 0x1B);
    }
  EXPECT_EQ(lengths.size(), 122u);
  EXPECT_EQ(*lengths.begin(), 5u);
  EXPECT_EQ(*lengths.rbegin(), 126u);
  std::set<int> kinds;
  for (const Rule& r : w.rules) kinds.insert(r.kind);
  EXPECT_EQ(kinds, (std::set<int>{40, 41, 42, 43, 44, 53, 54, 55, 56, 57, 72}));
  for (const Rule& r : w.rules) {
    if (r.kind == 40) {
      EXPECT_EQ(r.a1, "1B2C");
    }
  }
  // Shift rules: one good, four refused for four different reasons.
  struct S {
    const char* seg;
    const char* text;
  };
  for (const S& s : {S{"SHOK ", "SJ1,unsj,1B2442,1B284A"}, S{"SHLNG", "SJ1XYZ,1B2442,1B284A"},
                     S{"SHTWI", "SJ1,unsj,uneuc,1B2442,1B284A"}, S{"SHSEQ", "SJ1,1B244241424344454647481B284A"},
                     S{"SHWRD", "SJ1,1B2442,1B284A,FF"}}) {
    const auto* r = static_cast<const rscpSegRule_t*>(Find(d, s.seg)->data);
    EXPECT_EQ(r->header & 0x7F, 2u) << s.seg;
    const std::string a1(r->name1, r->header >> 7 & 0x1F), a2(r->name2, r->header >> 12 & 0x1F);
    std::string joined = a1 + a2;
    joined.erase(std::remove(joined.begin(), joined.end(), ','), joined.end());
    std::string want = s.text;
    want.erase(std::remove(want.begin(), want.end(), ','), want.end());
    EXPECT_EQ(joined, want) << s.seg;
  }
  // Thirty range records: one more than the cache's table holds.
  const Walk u = WalkPage(d, "9006T");
  size_t ranges = 0;
  std::set<std::string> distinct;
  for (const Rule& r : u.rules) ranges += r.kind == 68, distinct.insert(r.a1 + "|" + r.a2);
  EXPECT_EQ(ranges, 30u);
  EXPECT_EQ(distinct.size(), 30u);
  // The catalogue rows that the row loader corrects and an empty one.
  const auto rowsOf = Catalogue(d);
  std::map<std::string, Row> byCp;
  for (const Row& r : rowsOf) byCp.emplace(r.cp(), r);
  EXPECT_EQ(byCp.at("4000").major(), 0);
  EXPECT_EQ(byCp.at("6201").major(), 34);
  EXPECT_EQ(byCp.at("9009").segid(), "     ");
  EXPECT_EQ(byCp.at("9009").col(85, 1), "1");
}

}  // namespace
