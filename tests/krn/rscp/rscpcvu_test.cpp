// The Unicode form methods against glibc iconv and ICU: every pair of the
// Unicode pages that the chooser maps to a form method, on every scalar
// value and on random mixes; UCS-2 and malformed input at the references'
// stop positions; every branch at misaligned addresses around the private
// buffer's size; the brute, swap and seven-bit edge cases.
#include <gtest/gtest.h>

#include <errno.h>
#include <iconv.h>

#include <random>
#include <string>
#include <vector>

#include "krn/rscp/rscpcvu_int.h"
#include "rscpc_oracle.h"
#include "rscpcv_fixture.h"
#include "support/testsupport.h"

namespace rscptest {
namespace {

const char* const kForms[] = {"4100", "4101", "4102", "4103", "4104", "4105", "4110"};

std::string Utf32(const std::vector<uint32_t>& cps) {
  return std::string(reinterpret_cast<const char*>(cps.data()), cps.size() * 4);
}

// Where iconv stops: the bytes it consumed, and 0 (done), 2048 (EILSEQ)
// or 512 (EINVAL: cut at the end), in our return codes.
struct Stop {
  int rc;
  size_t at;
  bool operator==(const Stop&) const = default;
};
Stop IconvStop(const char* to, const char* from, const std::string& in) {
  iconv_t cd = iconv_open(to, from);
  std::string out(in.size() * 4 + 16, '\0');
  char* ip = const_cast<char*>(in.data());
  char* op = out.data();
  size_t il = in.size(), ol = out.size();
  const size_t r = iconv(cd, &ip, &il, &op, &ol);
  const int e = errno;
  iconv_close(cd);
  return {r != static_cast<size_t>(-1) ? 0 : e == EINVAL ? RSCPEUNIQ : RSCPENOCONV, in.size() - il};
}

template <size_t N>
std::string S(const char (&a)[N]) {
  return std::string(a, N - 1);
}

// Strict: no substitution, a cut character reported.
rscpCObj_t Strict(rscpCObj_t o) {
  o.use_subst = 0;
  o.rscpbroken = 0;
  return o;
}

class UnicodeForms : public EngineTest {
 protected:
  struct FormPair {
    const char* from;
    const char* to;
    rscpCObj_t o;
  };
  // Every ordered pair of Unicode pages chosen to a method of this Part.
  static std::vector<FormPair> Pairs() {
    std::vector<FormPair> pairs;
    for (const char* from : kForms) {
      for (const char* to : kForms) {
        if (from == to) continue;
        const rscpCObj_t o = Chosen(from, to);
        if (o.method >= 13 && o.method <= 26) pairs.push_back({from, to, o});
      }
    }
    return pairs;
  }
  static bool Ucs2(const char* cp) { return cp[2] == '0' && cp[3] <= '1'; }
};

TEST_F(UnicodeForms, EveryScalarValueAndRandomMixesEqualBothReferences) {
  const auto pairs = Pairs();
  ASSERT_EQ(pairs.size(), 20u);  // twelve UTF-8 forms, eight swaps
  std::mt19937 rng(35);
  const auto scalar = [&](bool bmp) {
    static const uint32_t kTop[] = {0x7F, 0x7FF, 0xFFFF, 0x10FFFF};
    for (;;) {
      const uint32_t c = std::uniform_int_distribution<uint32_t>(0, kTop[std::uniform_int_distribution<int>(0, bmp ? 2 : 3)(rng)])(rng);
      if (c < 0xD800 || c > 0xDFFF) return c;
    }
  };
  for (const FormPair& p : pairs) {
    SCOPED_TRACE(std::string(p.from) + "->" + p.to);
    const bool bmp = Ucs2(p.from) || Ucs2(p.to);
    const OracleNames &nf = ManifestNames().at(p.from), &nt = ManifestNames().at(p.to);
    IconvRef iconvIn(nf.iconv, "UTF-32LE"), iconv(nt.iconv, nf.iconv);
    IcuRef icu(nt.icu, nf.icu, false);
    ASSERT_TRUE(iconvIn.ok() && iconv.ok() && icu.ok());
    std::vector<uint32_t> all;
    for (uint32_t c = 0; c <= (bmp ? 0xFFFFu : 0x10FFFFu); ++c) {
      if (c < 0xD800 || c > 0xDFFF) all.push_back(c);
    }
    const std::string in = iconvIn.Run(Utf32(all)).out;
    rscpCObj_t o = p.o;
    const Call whole = Convert(o, in, in.size() * 2 + 8);
    EXPECT_EQ(whole.rc, 0);
    EXPECT_EQ(whole.in, in.size());
    EXPECT_TRUE((Outcome{Outcome::kOk, whole.bytes} == iconv.Run(in)));
    EXPECT_TRUE((Outcome{Outcome::kOk, whole.bytes} == icu.Run(in)));
    for (int r = 0; r < 40 * tovtest::HeavyFactor(); ++r) {
      std::vector<uint32_t> mix(std::uniform_int_distribution<size_t>(0, 200)(rng));
      for (uint32_t& c : mix) c = scalar(bmp);
      const std::string text = iconvIn.Run(Utf32(mix)).out;
      o = p.o;
      const Call resumed = ConvertResumed(o, text, 4 + r % 9);
      const Outcome ref = iconv.Run(text);
      ASSERT_EQ(resumed.rc, 0);
      ASSERT_EQ(resumed.bytes, ref.out) << Hex(text);
      ASSERT_TRUE(icu.Run(text) == ref);
    }
  }
}

// Malformed and out-of-range input stops where iconv stops, with 2048 for
// its EILSEQ and 512 for its EINVAL. The forms differ from UTF-32 by
// definition where UCS-4 holds 31 bits and UCS-2 units are characters
// (surrogates included): those cases are the form's own, checked apart.
TEST_F(UnicodeForms, MalformedInputStopsWhereIconvStops) {
  struct Bad {
    const char* from;
    std::string piece;
    bool atEnd;   // a character cut by the end of the input
    bool toUcs4;  // also for UCS-4 output (values above U+10FFFF are UCS-4's)
  };
  const std::string hiLE = Bytes({0x3D, 0xD8}), loLE = Bytes({0x00, 0xDE}), hiBE = Bytes({0xD8, 0x3D});
  const Bad kBad[] = {
      {"4110", "\x80", false, true},          {"4110", "\xC0\xAF", false, true},
      {"4110", "\xC1\xBF", false, true},      {"4110", "\xE0\x80\x80", false, true},
      {"4110", "\xE0\x9F\xBF", false, true},  {"4110", "\xF0\x8F\xBF\xBF", false, true},
      {"4110", "\xE2\x41", false, true},      {"4110", "\xF4\x90\x80\x80", false, false},
      {"4110", "\xFE", false, true},          {"4110", "\xFF", false, true},
      {"4110", "\xC3", true, true},           {"4110", "\xF0\x9F\x98", true, true},
      {"4103", loLE, false, false},           {"4103", hiLE + "A", false, false},
      {"4103", hiLE, true, false},            {"4102", hiBE + "\x00\x41", false, false},
      {"4102", hiBE, true, false},            {"4105", Bytes({0, 0, 0, 0x80}), false, false},
      {"4104", Bytes({0x80, 0, 0, 0}), false, false}};
  for (const FormPair& p : Pairs()) {
    if (p.o.method > 24) continue;
    rscpCObj_t o = Strict(p.o);
    const OracleNames &nf = ManifestNames().at(p.from), &nt = ManifestNames().at(p.to);
    IconvRef encode(nf.iconv, "UTF-8");
    const bool ucs4Out = p.to[2] == '0' && p.to[3] >= '4';
    int checked = 0;
    for (const Bad& b : kBad) {
      if (std::string(b.from) != p.from || (ucs4Out && !b.toUcs4)) continue;
      const std::string in = encode.Run("ok").out + b.piece + (b.atEnd ? "" : encode.Run("z").out);
      const Call c = Convert(o, in, in.size() * 4 + 16);
      EXPECT_EQ((Stop{c.rc, c.in}), IconvStop(nt.iconv.c_str(), nf.iconv.c_str(), in)) << p.from << "->" << p.to
                                                                                         << " " << Hex(in);
      ++checked;
    }
    EXPECT_TRUE(Ucs2(p.from) || checked >= 1) << p.from << "->" << p.to;
  }
  // UCS-2 output holds no character above U+FFFF: refused where iconv's
  // UCS-2 refuses it, or substituted; UCS-2 input converts every unit.
  for (const char* to : {"4100", "4101"}) {
    rscpCObj_t o = Strict(Chosen("4110", to));
    const std::string in = "ab\xF0\x9F\x98\x80" "c";
    const Call c = Convert(o, in, 32);
    EXPECT_EQ((Stop{c.rc, c.in}), IconvStop(ManifestNames().at(to).iconv.c_str(), "UTF-8", in));
    o.use_subst = 1;
    EXPECT_EQ(Convert(o, in, 32).bytes, to[3] == '1' ? Bytes({'a', 0, 'b', 0, '#', 0, 'c', 0})
                                                    : Bytes({0, 'a', 0, 'b', 0, '#', 0, 'c'}));
  }
  rscpCObj_t u2 = Chosen("4101", "4110");
  EXPECT_EQ(Convert(u2, Bytes({0x00, 0xD8}), 8).bytes, "\xED\xA0\x80");
}

// Every branch at input and output offsets 0-3 around the private buffer's
// size: the same result as at aligned addresses, nothing written behind the
// output, and a misaligned buffer longer than the private one refused
// before anything is consumed.
TEST_F(UnicodeForms, EveryBranchAtEveryAlignmentAroundThePrivateBuffer) {
  struct Branch {
    uint32_t method;
    rscpCObj_t o;
    std::string text;  // valid text in the input form
  };
  std::vector<Branch> branches;
  std::string latin, bmp;
  while (latin.size() < 3000) latin += "Gr\xC3\xBC\xC3\x9F" "e \xF0\x9F\x98\x80 ";
  while (bmp.size() < 3000) bmp += "Gr\xC3\xBC\xC3\x9F" "e ";
  for (const FormPair& p : Pairs()) {
    IconvRef encode(ManifestNames().at(p.from).iconv, "UTF-8");
    branches.push_back({p.o.method, p.o, encode.Run(Ucs2(p.from) || Ucs2(p.to) ? bmp : latin).out});
  }
  rscpCObj_t brute = Chosen("1100", "4102");
  const std::string bytes(3000, 'x');
  for (uint32_t m : {29u, 30u, 31u, 32u}) {
    brute.method = m;
    branches.push_back({m, brute, bytes});
  }
  branches.push_back({48, Chosen("1101", "4103"), bytes});
  branches.push_back({49, Chosen("1101", "4102"), bytes});
  for (Branch& b : branches) {
    const bool fromU8 = b.method == 15 || b.method == 16 || b.method == 19 || b.method == 20 || b.method == 23 ||
                        b.method == 24;
    const bool aligns = (b.method >= 13 && b.method <= 24) || b.method == 48;
    for (size_t len : {1023u, 1024u, 1025u}) {
      // The aligned side is len bytes; the other side has room for all.
      const bool outSide = fromU8 || b.method == 48;
      const std::string in = outSide ? b.text.substr(0, len * 2) : b.text.substr(0, len);
      const size_t room = outSide ? len : len * 4;
      rscpCObj_t o = b.o;
      const Call ref = Convert(o, in, room);
      for (int offIn = 0; offIn < 4; ++offIn) {
        for (int offOut = 0; offOut < 4; ++offOut) {
          std::vector<uint8_t> src(in.size() + 8), dst(room + 24, 0xEE);
          memcpy(src.data() + offIn, in.data(), in.size());
          const WEQ_RAW* ip = src.data() + offIn;
          WEQ_RAW* op = dst.data() + offOut;
          o = b.o;
          const rscpRc_t rc = rscpCConvert(&o, &op, dst.data() + offOut + room, &ip, src.data() + offIn + in.size());
          SCOPED_TRACE("method " + std::to_string(b.method) + " len " + std::to_string(len) + " offsets " +
                       std::to_string(offIn) + "/" + std::to_string(offOut));
          for (size_t i = offOut + room; i < dst.size(); ++i) ASSERT_EQ(dst[i], 0xEE) << "behind the output " << i;
          const int unit = b.method == 17 || b.method == 18 || b.method == 19 || b.method == 20 ? 4 : 2;
          const int off = outSide ? offOut : offIn;
          if (aligns && off % unit != 0 && (outSide ? room : in.size()) > 1024) {
            EXPECT_EQ(rc, RSCPEINVAL);
            EXPECT_EQ(Code(Newest()), u"CP7");
            EXPECT_EQ(ip, src.data() + offIn);
            continue;
          }
          EXPECT_EQ(rc, ref.rc);
          EXPECT_EQ(static_cast<size_t>(ip - src.data() - offIn), ref.in);
          EXPECT_EQ(std::string(reinterpret_cast<char*>(dst.data() + offOut), static_cast<size_t>(op - dst.data() - offOut)),
                    ref.bytes);
        }
      }
    }
  }
}

// The Parts' edge cases, the faults mended (brute and seven-bit full
// outputs, and_trunc_spaces on the real rest) and control codes refused.
TEST_F(UnicodeForms, EdgeCases) {
  struct Case {
    const char* from;
    const char* to;
    uint32_t method;  // forced when not 0
    uint32_t subst, broken, fill, ctrl;
    std::string in;
    size_t room;
    rscpRc_t rc;
    size_t consumed;
    std::string out;  // produced bytes; "" with location set: not compared
    int location;
  };
  const Case kCases[] = {
      {"4101", "4110", 0, 0, 0, 0, 1, S("a\0b\0c\0d"), 16, RSCPEUNIQ, 6, "abc", 65},
      {"4101", "4110", 0, 1, 1, 0, 1, S("a\0b\0c\0d"), 16, 0, 7, "abc#", 0},
      {"4102", "4103", 0, 0, 0, 0, 1, S("\0a\0b\0"), 100, RSCPEUNIQ, 4, S("a\0b\0"), 98},
      {"4102", "4103", 0, 0, 0, 0, 1, S("\0a\0b\0c"), 4, RSCPETOOLONG, 4, S("a\0b\0"), 20},
      {"4104", "4105", 0, 0, 0, 0, 1, S("\0\0\0a\0\0\0b\0"), 100, RSCPEUNIQ, 8,
       S("a\0\0\0b\0\0\0"), 99},
      {"1100", "4102", 29, 0, 0, 0, 1, S("abcdefghij"), 7, RSCPETOOLONG, 3, S("\0a\0b\0c"), 20},
      {"1100", "4102", 30, 0, 0, 0, 1, S("ab"), 4, 0, 2, S("a\0b\0"), 0},
      {"1100", "4102", 31, 0, 0, 0, 1, S("\0a\0b\0c\0"), 10, 0, 6, "abc", 0},
      {"1100", "4102", 32, 0, 0, 0, 1, S("a\0b\0c\0"), 2, RSCPETOOLONG, 4, "ab", 20},
      {"1101", "4103", 0, 0, 0, 0, 1, S("abc\xE9"), 8, RSCPENOCONV, 3, S("a\0b\0c\0"), 311},
      {"1101", "4103", 0, 0, 0, 0, 1, S("ab\xE9" "c"), 7, RSCPENOCONV, 2, S("a\0b\0"), 312},
      {"1101", "4102", 0, 0, 0, 0, 1, S("ab\xE9"), 6, RSCPENOCONV, 2, S("\0a\0b"), 313},
      {"1101", "4102", 0, 1, 0, 0, 1, S("a\xE9"), 4, 0, 2, S("\0a\0#"), 0},
      {"1101", "4102", 0, 0, 0, 0, 1, S("abc"), 5, RSCPETOOLONG, 2, S("\0a\0b"), 20},
      {"1101", "4103", 0, 0, 0, 3, 1, S("ab  "), 4, 0, 4, S("a\0b\0"), 0},
      {"1101", "4103", 0, 0, 0, 3, 1, S("ab x"), 4, RSCPETOOLONG, 2, S("a\0b\0"), 20},
      {"4110", "4103", 0, 0, 0, 0, 0, S("a\x01" "b"), 8, RSCPENOCONV, 1, S("a\0"), 21},
      {"4103", "4110", 0, 0, 0, 0, 0, S("a\0\x85\0"), 8, RSCPENOCONV, 2, "a", 21},
      {"4103", "4110", 0, 1, 0, 0, 0, S("a\0\x85\0z\0"), 8, 0, 6, "a#z", 0},
  };
  for (const Case& k : kCases) {
    SCOPED_TRACE(std::string(k.from) + "->" + k.to + " " + Hex(k.in) + " room " + std::to_string(k.room));
    rscpCObj_t o = JavaObject(k.from, k.to);
    o.rscpCtrlCodeCv = k.ctrl;
    ASSERT_EQ(rscpCLoadTables(&o), 0);
    if (k.method != 0) o.method = k.method;
    o.use_subst = static_cast<uint8_t>(k.subst);
    o.rscpbroken = k.broken;
    o.rscpfill = k.fill;
    rscpeClearThrErrors();
    const Call c = Convert(o, k.in, k.room);
    EXPECT_EQ(c.rc, k.rc);
    EXPECT_EQ(c.in, k.consumed);
    EXPECT_EQ(c.bytes, k.out);
    EXPECT_TRUE(k.location == 0 || Newest().location == k.location) << Newest().location;
  }
  // A full seven-bit output names the counts converted.
  rscpCObj_t a7 = Chosen("1101", "4103");
  EXPECT_EQ(Convert(a7, "abcd", 5).rc, RSCPETOOLONG);
  EXPECT_EQ(P1(Newest()), u"inlen&2&outlen&4&");
}

}  // namespace
}  // namespace rscptest
