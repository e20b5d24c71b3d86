// The references themselves: iconv(3) and ICU, by the manifest's names,
// agree on the Unicode forms and the single- and double-byte code pages
// that both know, except where the allow-list says why not.
#include <gtest/gtest.h>

#include <string>

#include "rscpc_oracle.h"

namespace rscptest {
namespace {

std::string Utf8(char32_t c) {
  std::string s;
  if (c < 0x80) {
    s += static_cast<char>(c);
  } else if (c < 0x800) {
    s += static_cast<char>(0xC0 | (c >> 6)), s += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    s += static_cast<char>(0xE0 | (c >> 12)), s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    s += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    s += static_cast<char>(0xF0 | (c >> 18)), s += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    s += static_cast<char>(0x80 | ((c >> 6) & 0x3F)), s += static_cast<char>(0x80 | (c & 0x3F));
  }
  return s;
}

class Oracles : public ::testing::TestWithParam<const char*> {};

TEST_P(Oracles, IconvAndIcuAgreeOutsideTheAllowList) {
  const std::string cp = GetParam();
  const OracleNames& n = ManifestNames().at(cp);
  ASSERT_FALSE(n.iconv.empty()) << cp;
  ASSERT_FALSE(n.icu.empty()) << cp;
  IconvRef iconv(n.iconv, "UTF-8");
  IcuRef icu(n.icu, "UTF-8", false);
  ASSERT_TRUE(iconv.ok() && icu.ok());
  int compared = 0;
  for (char32_t c = 0x20; c < 0x3100; c += (c < 0x300 ? 1 : 7)) {
    if (c >= 0xD800 && c < 0xE000) continue;
    const std::string in = Utf8(c);
    Outcome a = iconv.Run(in), b = icu.Run(in);
    // ICU drops default-ignorable code points that a code page lacks
    // instead of failing on them.
    if (b.kind == Outcome::kOk && b.out.empty()) b.kind = Outcome::kBad;
    if (a.kind != Outcome::kOk && b.kind != Outcome::kOk) continue;
    char what[16];
    snprintf(what, sizeof(what), "U+%04X", static_cast<unsigned>(c));
    if (Allowed(cp, what)) continue;
    ++compared;
    EXPECT_TRUE(a.kind == Outcome::kOk && a == b) << cp << " " << what << ": " << Hex(a.out) << " " << Hex(b.out);
  }
  EXPECT_GT(compared, 90) << cp;
}

INSTANTIATE_TEST_SUITE_P(CodePages, Oracles, ::testing::Values("1100", "4102", "4103", "4110", "8000", "0100"));

}  // namespace
}  // namespace rscptest
