// The UTF-16 table methods and the ISO-2022 table method against glibc iconv
// and ICU: UTF-16 in both orders into every page that the chooser gives
// them (methods 33 to 39 by the options), on the characters where both
// references agree, and ISO-2022-JP into UTF-16LE.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "rscpcv_fixture.h"
#include "support/testsupport.h"

namespace rscptest {
namespace {

std::string Units(const std::vector<char32_t>& cs, int form) {  // 0 UTF-16LE, 1 UTF-16BE, 2 UTF-32LE
  std::string s;
  const auto put = [&](uint32_t u) {
    if (form == 1) s += static_cast<char>(u >> 8);
    s += static_cast<char>(u);
    if (form != 1) s += static_cast<char>(u >> 8);
  };
  for (char32_t c : cs) {
    if (form == 2) {
      s.append(reinterpret_cast<const char*>(&c), 4);
    } else if (c < 0x10000) {
      put(c);
    } else {
      put(0xD800 + ((c - 0x10000) >> 10)), put(0xDC00 + (c & 0x3FF));
    }
  }
  return s;
}

// The characters worth comparing for a page: every scalar value of a
// Unicode page (the supplementary planes sampled unless heavy); for the
// others what its one- and two-byte codes give, and a sample of the rest.
std::vector<char32_t> Candidates(const PageRef& pg) {
  const bool unicode = std::string(pg.icu).rfind("UTF", 0) == 0;
  const uint32_t step = tovtest::HeavyFactor() > 1 ? 1 : 61;
  std::vector<bool> take(0x110000);
  IcuRef read("UTF-32LE", pg.icu, false);
  for (uint32_t c = 0; c < 0x110000; c += c < 0x10000 ? 1 : step) take[c] = unicode || c % 251 == 0;
  for (int v = 0; !unicode && v < 0x10000; ++v) {
    const Outcome o = read.Run(v < 0x100 ? std::string(1, static_cast<char>(v)) : Bytes({v >> 8, v & 0xFF}));
    if (o.kind == Outcome::kOk && o.out.size() == 4) take[*reinterpret_cast<const uint32_t*>(o.out.data())] = true;
  }
  std::vector<char32_t> cs;
  for (uint32_t c = 0; c < 0x110000; ++c) {
    if (take[c] && (c < 0xD800 || c > 0xDFFF)) cs.push_back(c);
  }
  return cs;
}

class Oracle16 : public EngineTest {};

// 4102 and 4103 into each page by method 33 or 35 (the bindings' options),
// 37 (controls illegal: compared without the controls) and 39 (own
// characters): every block of characters that both references convert
// alike converts so, else character by character where they agree.
TEST_F(Oracle16, Utf16IntoEveryPageOnTheAgreementSet) {
  std::string covered;
  for (const PageRef& pg : kManifestPages) {
    if (pg.synthetic || *pg.iconv == 0) continue;
    struct Variant {
      rscpCObj_t o;
      int form;
      bool controls;
    };
    std::vector<Variant> vs;
    for (const char* from : {"4103", "4102"}) {
      for (int opts : {0, 1, 2}) {  // bindings, controls illegal, own characters
        rscpCObj_t o = JavaObject(from, pg.cp);
        rscpCSetCtrlCodeCv(&o, opts == 1 ? 0 : 1);
        rscpCSetOwnChCv(&o, opts == 2 ? 1 : 0);
        if (rscpCLoadTables(&o) == 0 && o.method >= 33 && o.method <= 40) vs.push_back({o, from[3] == '3' ? 0 : 1, opts != 1});
      }
    }
    if (vs.empty()) continue;
    ASSERT_EQ(vs.size(), 6u) << pg.cp;
    covered += std::string(pg.cp) + " ";
    SCOPED_TRACE(pg.cp);
    IconvRef iconv(pg.iconv, "UTF-32LE");
    IcuRef icu(pg.icu, "UTF-32LE", false);
    ASSERT_TRUE(iconv.ok() && icu.ok());
    const std::vector<char32_t> cs = Candidates(pg);
    int bad = 0, agreed = 0;
    for (size_t b = 0; b < cs.size(); b += 256) {
      const std::vector<char32_t> block(cs.begin() + b, cs.begin() + std::min(cs.size(), b + 256));
      const Outcome ref = iconv.Run(Units(block, 2));
      bool same = ref.kind == Outcome::kOk && ref == icu.Run(Units(block, 2));
      for (const Variant& v : vs) same = same && Strict(v.o, Units(block, v.form)) == ref;
      if (same) {
        agreed += static_cast<int>(block.size());
        continue;
      }
      for (char32_t c : block) {
        const Outcome a = iconv.Run(Units({c}, 2));
        if (!(a == icu.Run(Units({c}, 2))) || (a.kind == Outcome::kOk && a.out.empty())) continue;
        ++agreed;
        for (const Variant& v : vs) {
          if (!v.controls && (c < 0x20 || (c >= 0x7F && c <= 0x9F))) continue;
          const Outcome ours = Strict(v.o, Units({c}, v.form));
          if (!(ours == a) && !Excused(pg, c, ours.out) && !Excused(pg, c, a.out) && ++bad < 10) {
            ADD_FAILURE() << "method " << v.o.method << " U+" << std::hex << static_cast<uint32_t>(c) << ": ours "
                          << Hex(ours.out) << ", references " << Hex(a.out);
          }
        }
      }
    }
    rscpeClearThrErrors();
    EXPECT_EQ(bad, 0);
    EXPECT_GT(agreed, 120);
  }
  EXPECT_EQ(covered, "0100 1100 1101 4100 4101 4104 4105 8000 8300 8400 8500 ");
}

// ISO-2022-JP: every JIS X 0208 character that both references read, in
// runs between ASCII words and JIS-Roman segments, whole through method 41
// as both references read it; JIS-Roman's 5C and 7E are the yen sign and
// the overline to the references, ASCII to the page (allow-listed).
TEST_F(Oracle16, Iso2022JpIntoUtf16) {
  rscpCObj_t o = JavaObject("8200", "4103");
  ASSERT_EQ(rscpCLoadTables(&o), 0);
  ASSERT_EQ(o.method, 41u);
  IconvRef iconv("UTF-16LE", "ISO-2022-JP");
  IcuRef icu("UTF-16LE", "ISO_2022,locale=ja,version=0", false);
  const std::string esc = "\x1B";
  std::string text, run;
  int chars = 0;
  for (int row = 0x21; row <= 0x7E; ++row) {
    for (int cell = 0x21; cell <= 0x7E; ++cell) {
      const std::string pair = Bytes({row, cell}), one = esc + "$B" + pair + esc + "(B";
      const Outcome a = iconv.Run(one);
      if (a.kind != Outcome::kOk || !(a == icu.Run(one))) continue;
      run += pair;
      if (++chars % 7 != 0) continue;
      text += esc + "$B" + run + esc + (chars % 5 == 0 ? "(J x\\~y" : "(B a\\~b ");
      run.clear();
    }
  }
  text += esc + "$B" + run + esc + "(B";
  EXPECT_GT(chars, 6800);
  const Outcome ours = Strict(o, text), a = iconv.Run(text);
  ASSERT_EQ(ours.kind, Outcome::kOk);
  ASSERT_TRUE(a == icu.Run(text));
  std::string roman = a.out;  // the references' JIS-Roman as ASCII
  for (size_t i = 0; i < roman.size(); i += 2) {
    const uint32_t u = static_cast<uint8_t>(roman[i]) | static_cast<uint8_t>(roman[i + 1]) << 8;
    if ((u == 0xA5 || u == 0x203E) && Allowed("8200", u == 0xA5 ? "U+00A5" : "U+203E")) {
      roman[i] = u == 0xA5 ? '\\' : '~', roman[i + 1] = 0;
    }
  }
  EXPECT_EQ(ours.out == roman, true);
  for (size_t i = 0; i < ours.out.size() && i < roman.size(); i += 2) {
    if (ours.out.compare(i, 2, roman, i, 2) != 0) {
      ADD_FAILURE() << "at unit " << i / 2 << ": ours " << Hex(ours.out.substr(i, 8)) << ", references "
                    << Hex(roman.substr(i, 8));
      break;
    }
  }
}

}  // namespace
}  // namespace rscptest
