// On-demand loading of the built-in code pages: every page in all eight
// variants, the variants' relations, the edge cases of the loaders and the
// failures of the test data set.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "rscpf5_tset.h"
#include "rscpf5_walker.h"
#include "rscpld_fixture.h"

namespace rscptest {
namespace {

using rscpf5walk::Bytes;

class Load : public LoadTest {};

std::vector<std::string> LoadablePages() {
  std::vector<std::string> v;
  for (const auto& row : rscpf5walk::Catalogue(rscpdat::BuiltinData()))
    if (row.segid()[0] != ' ') v.push_back(row.cp());
  return v;
}

TEST_F(Load, EveryPageLoadsAllEightVariantsIntoAFreshDefaultCache) {
  for (const std::string& cp : LoadablePages()) {
    SCOPED_TRACE(cp);
    BuildDefault();
    rscpCpEntry_t* e = Entry(cp.c_str());
    ASSERT_NE(e, nullptr);
    for (int s = 0; s < 4; ++s) {
      rscpeClearThrErrors();
      EXPECT_EQ(rscplcp__load_codepage(kInKinds[s], e), 0) << "input slot " << s << " " << tovtest::ToUtf8(Text(0));
      EXPECT_NE(e->in[s].root, 0) << s;
      EXPECT_EQ(rscplcp__load_codepage(kOutKinds[s], e), 0) << "output slot " << s << " " << tovtest::ToUtf8(Text(0));
      EXPECT_NE(e->out[s].t2, 0u) << s;
    }
    EXPECT_EQ(cache()->was_overflow, 0);
  }
}

}  // namespace
}  // namespace rscptest
