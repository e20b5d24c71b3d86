// Conversions against glibc iconv and ICU: every byte of the single-byte
// pages, every scalar value through the single-character writer, every one-
// and two-byte sequence of the double-byte pages through tab (cut at every
// byte), and malformed UTF-8 and UTF-32 input. Where a reference differs
// from the manifest's source the page lists the delta; the writer sweep
// compares where both references agree. TOV_TEST_HEAVY widens the sampled
// sweeps.
#include <gtest/gtest.h>

#include <errno.h>
#include <iconv.h>
#include <unicode/ucnv.h>

#include <random>
#include <string>
#include <vector>

#include "rscpc_oracle.h"
#include "rscpcv_fixture.h"
#include "support/testsupport.h"

namespace rscptest {
namespace {

const char* UnicodeName(const char* cp) {
  const std::string c = cp;
  return c == "4103" ? "UTF-16LE" : c == "4102" ? "UTF-16BE" : "UTF-8";
}

class Sweeps : public EngineTest {};

// Every byte of ISO-8859-1 and IBM 500 into three Unicode forms: exactly
// what both references give, one byte at a time and all in one call.
TEST_F(Sweeps, EveryByteOfTheLatinPagesIntoUnicodeForms) {
  for (const char* from : {"1100", "0100"}) {
    const PageRef* pg = FindPage(from);
    ASSERT_NE(pg, nullptr);
    for (const char* to : {"4103", "4102", "4110"}) {
      SCOPED_TRACE(std::string(from) + "->" + to);
      rscpCObj_t o = Chosen(from, to);
      ASSERT_EQ(o.method, 4u);
      IconvRef iconv(UnicodeName(to), pg->iconv);
      IcuRef icu(UnicodeName(to), pg->icu, false);
      ASSERT_TRUE(iconv.ok() && icu.ok());
      std::string all;
      for (int b = 0; b < 256; ++b) {
        const std::string in(1, static_cast<char>(b));
        all += in;
        const Outcome ours = Strict(o, in);
        EXPECT_EQ(ours.kind, Outcome::kOk) << b;
        EXPECT_TRUE(ours == iconv.Run(in)) << b;
        EXPECT_TRUE(ours == icu.Run(in)) << b;
      }
      const Outcome ours = Strict(o, all);
      EXPECT_TRUE(ours == iconv.Run(all));
      EXPECT_TRUE(ours == icu.Run(all));
    }
  }
}

// US-ASCII through tab (its own choice is the seven-bit method): where both
// references agree, which is every byte.
TEST_F(Sweeps, OtherSingleBytePagesOnTheAgreementSet) {
  rscpCObj_t o = Chosen("1101", "4103");
  o.method = 4;
  IconvRef iconv("UTF-16LE", "US-ASCII");
  IcuRef icu("UTF-16LE", "US-ASCII", false);
  for (int b = 0; b < 256; ++b) {
    const std::string in(1, static_cast<char>(b));
    const Outcome a = iconv.Run(in);
    EXPECT_TRUE(a == icu.Run(in)) << b;
    EXPECT_TRUE(Strict(o, in) == a) << b;
  }
}

// The single-character writer: every scalar value (the supplementary
// planes sampled unless heavy) into every single-byte page and the
// double-byte pages, equal to both references wherever they agree, except
// codes that the page lists as a reference's delta or the allow-list names.
TEST_F(Sweeps, WriterOfEveryScalarValueEqualsTheReferences) {
  const uint32_t step = tovtest::HeavyFactor() > 1 ? 1 : 61;
  for (const char* to : {"0100", "1100", "1101", "8000", "8100", "8300", "8400", "8500"}) {
    SCOPED_TRACE(to);
    const PageRef* pg = FindPage(to);
    rscpCObj_t o = JavaObject("1100", to);
    ASSERT_EQ(rscpCCheckOutTab(&o), 0);
    o.use_subst = 0;
    IconvRef iconv(pg->iconv, "UTF-32LE");
    IcuRef icu(pg->icu, "UTF-32LE", false);
    ASSERT_TRUE(iconv.ok() && icu.ok());
    int compared = 0, mapped = 0, bad = 0;
    std::vector<uint8_t> buf(8);
    for (uint32_t c = 0; c <= 0x10FFFF; c += c < 0x10000 ? 1 : step) {
      if (c >= 0xD800 && c < 0xE000) continue;
      const std::string in(reinterpret_cast<const char*>(&c), 4);
      const Outcome a = iconv.Run(in), b = icu.Run(in);
      // Both references write nothing for the tag characters.
      if (!(a == b) || (a.kind == Outcome::kOk && a.out.empty())) continue;
      ++compared;
      WEQ_RAW* p = buf.data();
      const rscpRc_t rc = rscpCPutChar(&o, &p, buf.data() + buf.size(), c);
      const Outcome ours = rc == 0 ? Outcome{Outcome::kOk, std::string(reinterpret_cast<char*>(buf.data()),
                                                                       static_cast<size_t>(p - buf.data()))}
                                   : Outcome{Outcome::kBad, {}};
      mapped += ours.kind == Outcome::kOk;
      if (!(ours == a) && !Excused(*pg, c, ours.out) && !Excused(*pg, c, a.out) && ++bad < 10) {
        ADD_FAILURE() << "U+" << std::hex << c << ": ours " << Hex(ours.out) << " rc " << std::dec << rc
                      << ", references " << Hex(a.out);
      }
    }
    rscpeClearThrErrors();
    EXPECT_EQ(bad, 0);
    EXPECT_GT(compared, 60000);
    EXPECT_GT(mapped, 95);
  }
}

// Every one- and two-byte sequence of the double-byte pages through tab to
// UTF-16LE, and every lead byte cut at the end, against each reference
// except where the page lists the reference's delta.
TEST_F(Sweeps, EveryOneAndTwoByteSequenceOfTheDoubleBytePages) {
  for (const char* from : {"8000", "8100", "8300", "8400", "8500"}) {
    SCOPED_TRACE(from);
    const PageRef* pg = FindPage(from);
    rscpCObj_t o = Chosen(from, "4103");
    ASSERT_TRUE(o.method == 4 || o.method == 5) << o.method;
    IconvRef iconv("UTF-16LE", pg->iconv);
    IcuRef icu("UTF-16LE", pg->icu, false);
    ASSERT_TRUE(iconv.ok() && icu.ok());
    const auto listed = [&](const char* ref, const std::string& in) {
      for (size_t n = 1; n <= in.size(); ++n) {
        if (Listed(*pg, ref, Hex(in.substr(0, n))) || Listed(*pg, ref, Hex(in.substr(n - 1, 1)))) return true;
      }
      return Allowed(from, Hex(in));
    };
    // A lead byte of the references that starts no character of the page
    // is a bad byte to us, where they see a character cut at the end.
    bool starts[256];
    for (int b = 0; b < 256; ++b) starts[b] = Strict(o, std::string(1, static_cast<char>(b))).kind == Outcome::kCut;
    const auto noLead = [&](const Outcome& ours, const Outcome& theirs, const std::string& in) {
      return ours.kind == Outcome::kBad && theirs.kind == Outcome::kCut && !starts[static_cast<uint8_t>(in.back())];
    };
    // Only round-trip mappings are the page's: a reference's reading that
    // it does not write back is not required of us. CP932 reads every code
    // it defines, also those it does not write (the further codes of a
    // value: NEC row 13, NEC-selected and IBM extensions).
    IconvRef iconvBack(pg->iconv, "UTF-16LE");
    IcuRef icuBack(pg->icu, "UTF-16LE", false);
    const bool readsAll = std::string(from) == "8000";
    const auto oneWay = [&](const char* ref, const Outcome& ours, const Outcome& theirs, const std::string& in) {
      if (readsAll || ours.kind != Outcome::kBad || theirs.kind != Outcome::kOk) return false;
      const Outcome back = std::string(ref) == "iconv" ? iconvBack.Run(theirs.out) : icuBack.Run(theirs.out);
      return !(back == Outcome{Outcome::kOk, in});
    };
    int unlisted = 0, ok = 0, cut = 0;
    for (int n = 1; n <= 2; ++n) {
      for (int v = 0; v < (1 << (8 * n)); ++v) {
        std::string in;
        for (int i = n - 1; i >= 0; --i) in += static_cast<char>(v >> (8 * i));
        const Outcome ours = Strict(o, in);
        ok += ours.kind == Outcome::kOk;
        cut += ours.kind == Outcome::kCut;
        for (auto* ref : {"iconv", "icu"}) {
          const Outcome theirs = std::string(ref) == "iconv" ? iconv.Run(in) : icu.Run(in);
          if (!(ours == theirs) && !listed(ref, in) && !noLead(ours, theirs, in) && !oneWay(ref, ours, theirs, in) &&
              ++unlisted < 10) {
            ADD_FAILURE() << ref << " " << Hex(in) << ": ours " << ours.kind << " " << Hex(ours.out) << ", "
                          << theirs.kind << " " << Hex(theirs.out);
          }
        }
      }
    }
    EXPECT_EQ(unlisted, 0);
    EXPECT_GT(ok, 7000);
    EXPECT_GT(cut, 30);  // every lead byte alone
  }
}

// Random UTF-8 and UTF-32 built from valid characters, stray and cut
// continuation bytes, overlong forms, surrogates and values beyond
// U+10FFFF: accepted exactly when ICU accepts it, and with substitution
// one '#' wherever ICU substitutes. A piece is one character or one
// malformed sequence; valid is set for characters.
struct Piece {
  std::string s;
  bool valid;
};

Piece Piece8(std::mt19937& rng) {
  const auto pick = [&](uint32_t lo, uint32_t hi) { return std::uniform_int_distribution<uint32_t>(lo, hi)(rng); };
  Piece p{{}, false};
  const auto put = [&](std::initializer_list<uint32_t> b) {
    for (uint32_t x : b) p.s += static_cast<char>(x);
  };
  switch (pick(0, 11)) {
    case 0: put({pick(0x20, 0x7E)}), p.valid = true; break;
    case 1: put({pick(0xC2, 0xDF), pick(0x80, 0xBF)}), p.valid = true; break;
    case 2: {
      uint32_t c;
      do c = pick(0x800, 0xFFFD); while ((c >= 0xD800 && c < 0xE000) || (c >= 0xFDD0 && c <= 0xFDEF));
      put({0xE0 | c >> 12, 0x80 | (c >> 6 & 63), 0x80 | (c & 63)}), p.valid = true;
      break;
    }
    case 3: {
      uint32_t c;
      do c = pick(0x10000, 0x10FFFF); while ((c & 0xFFFE) == 0xFFFE);
      put({0xF0 | c >> 18, 0x80 | (c >> 12 & 63), 0x80 | (c >> 6 & 63), 0x80 | (c & 63)}), p.valid = true;
      break;
    }
    case 4: put({pick(0x80, 0xBF)}); break;                                             // stray continuation
    case 5: put({pick(0xC0, 0xC1), pick(0x80, 0xBF)}); break;                          // overlong two-byte
    case 6: put({0xE0, pick(0x80, 0x9F), pick(0x80, 0xBF)}); break;                     // overlong three-byte
    case 7: put({0xED, pick(0xA0, 0xBF), pick(0x80, 0xBF)}); break;                     // surrogate
    case 8: put({0xF4, pick(0x90, 0xBF), pick(0x80, 0xBF), pick(0x80, 0xBF)}); break;  // above U+10FFFF
    case 9: put({0xF0, pick(0x80, 0x8F), pick(0x80, 0xBF), pick(0x80, 0xBF)}); break;  // overlong four-byte
    case 10: put({pick(0xF5, 0xFF)}); break;
    default: put({pick(0xE1, 0xEC), pick(0x80, 0xBF), 'x'}); break;  // three-byte cut by a letter
  }
  return p;
}

Piece Piece32(std::mt19937& rng, bool big) {
  const auto pick = [&](uint32_t lo, uint32_t hi) { return std::uniform_int_distribution<uint32_t>(lo, hi)(rng); };
  uint32_t c;
  bool valid = true;
  switch (pick(0, 5)) {
    case 0: c = pick(0x20, 0x7E); break;
    case 1: c = pick(0xA0, 0xFF); break;
    case 2: c = pick(0x10000, 0x10FFFD); break;
    case 3: c = pick(0xD800, 0xDFFF), valid = false; break;
    case 4: c = pick(0x110000, 0x7FFFFFFF), valid = false; break;
    default:
      do c = pick(0x100, 0xFFFD); while ((c >= 0xD800 && c < 0xE000) || (c >= 0xFDD0 && c <= 0xFDEF));
      break;
  }
  Piece p{{}, valid};
  for (int i = 0; i < 4; ++i) p.s += static_cast<char>(c >> (big ? 24 - 8 * i : 8 * i));
  return p;
}

TEST_F(Sweeps, MalformedUnicodeInputAgainstIcu) {
  ASSERT_EQ(rscpso_set_option(2, 1), 0);  // one '#' per bad sequence, as ICU substitutes
  std::mt19937 rng(20240601);
  const int rounds = 2000 * tovtest::HeavyFactor();
  struct Form {
    const char* cp;
    const char* icu;
  };
  for (const Form& form : {Form{"4110", "UTF-8"}, Form{"4104", "UTF-32BE"}, Form{"4105", "UTF-32LE"}}) {
    for (const char* to : {"1100", "8000"}) {
      SCOPED_TRACE(std::string(form.cp) + "->" + to);
      const PageRef* pg = FindPage(to);
      rscpCObj_t o = Chosen(form.cp, to);
      ASSERT_EQ(o.method, 4u);
      IcuRef strict(pg->icu, form.icu, false), subst(pg->icu, form.icu, true);
      ASSERT_TRUE(strict.ok() && subst.ok());
      const bool utf8 = form.cp[2] == '1';
      // A valid character enters only when both write it alike: the output
      // pages' own differences are the writer sweep's subject, not this.
      const auto next = [&] {
        for (;;) {
          Piece p = utf8 ? Piece8(rng) : Piece32(rng, form.cp[3] == '4');
          if (!p.valid || strict.Run(p.s) == Strict(o, p.s)) return p.s;
        }
      };
      int accepted = 0, bad = 0;
      for (int r = 0; r < rounds; ++r) {
        std::string in;
        const int pieces = std::uniform_int_distribution<int>(1, 5)(rng);
        for (int i = 0; i < pieces; ++i) in += next();
        if (r % 5 == 0) in += utf8 ? "\xE3\x81" : next().substr(0, 3);  // cut at the end
        const Outcome ref = strict.Run(in), ours = Strict(o, in);
        const Outcome refSub = subst.Run(in);
        rscpCObj_t s = o;
        s.rscpbroken = 1;
        const Call c = Convert(s, in, in.size() * 4 + 16);
        accepted += ours.kind == Outcome::kOk;
        if ((ours.kind == Outcome::kOk) != (ref.kind == Outcome::kOk) || c.rc != 0 || c.bytes != refSub.out) {
          if (++bad < 8) {
            ADD_FAILURE() << Hex(in) << ": ours " << ours.kind << " / " << c.rc << " " << c.bytes << ", ICU "
                          << ref.kind << " / " << refSub.out;
          }
        }
      }
      EXPECT_EQ(bad, 0);
      EXPECT_GT(accepted, rounds / 200);
    }
  }
}

}  // namespace
}  // namespace rscptest
