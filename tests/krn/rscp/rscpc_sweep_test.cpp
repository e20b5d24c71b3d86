// Every ordered pair of the code pages that both references know, on
// corpora of each input page (ASCII-heavy, accented, Japanese, Chinese,
// Korean, emoji) made of the characters where iconv and ICU agree on both
// pages and that the allow-list does not name: converted whole, in random
// pieces with stop_restartable, and into a small output resumed after each
// 32. The output equals both references' (ISO-2022-JP compared as text);
// where iconv stops, ours stops at the same byte: EILSEQ as 2048 or 512,
// EINVAL as a cut character, E2BIG as 32 at a character boundary.
// TOV_TEST_HEAVY makes the corpora longer.
#include <gtest/gtest.h>

#include <errno.h>

#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "rscpcv_fixture.h"
#include "support/testsupport.h"

namespace rscptest {
namespace {

// Where iconv stopped (the input consumed) and why.
struct Stop {
  int err = 0;  // 0, EILSEQ or EINVAL
  size_t at = 0;
  std::string out;
};

Stop IconvStop(const std::string& to, const std::string& from, const std::string& in) {
  iconv_t cd = iconv_open(to.c_str(), from.c_str());
  Stop s;
  std::string out(in.size() * 6 + 64, '\0');
  char* ip = const_cast<char*>(in.data());
  char* op = out.data();
  size_t il = in.size(), ol = out.size();
  if (iconv(cd, &ip, &il, &op, &ol) == static_cast<size_t>(-1)) s.err = errno;
  if (s.err == 0) iconv(cd, nullptr, nullptr, &op, &ol);
  iconv_close(cd);
  s.at = in.size() - il;
  s.out.assign(out.data(), out.size() - ol);
  return s;
}

std::string Utf32(char32_t c) { return std::string(reinterpret_cast<const char*>(&c), 4); }

// The characters of the corpora, by kind: code point ranges to draw from.
const std::vector<std::vector<std::pair<char32_t, char32_t>>> kKinds = {
    {{0x20, 0x7E}, {0x20, 0x7E}, {0x20, 0x7E}, {0x0A, 0x0A}, {0xA0, 0xFF}},
    {{0x20, 0x7E}, {0xC0, 0x17F}, {0x2018, 0x201E}, {0x20AC, 0x20AC}},
    {{0x20, 0x7E}, {0x3000, 0x30FF}, {0x4E00, 0x9FA5}, {0xFF01, 0xFF9F}},
    {{0x20, 0x7E}, {0x3000, 0x3011}, {0x4E00, 0x9FA5}, {0x4E00, 0x9FA5}},
    {{0x20, 0x7E}, {0xAC00, 0xD7A3}, {0x3131, 0x318E}, {0x4E00, 0x9FA5}},
    {{0x20, 0x7E}, {0x1F300, 0x1F64F}, {0x20000, 0x2A6D6}, {0x2600, 0x27BF}}};

// Per page: what both references make of each character (the code, or
// nothing when either refuses it or they differ), looked up once.
class Pages {
 public:
  // The page's code of c when both references agree on it ("" when both
  // refuse it); false when they disagree or the allow-list names it.
  bool Agreed(const PageRef& pg, char32_t c, std::string* code) {
    auto& m = memo_[pg.cp];
    auto it = m.find(c);
    if (it == m.end()) {
      IconvRef& a = Iconv(pg);
      IcuRef& b = Icu(pg);
      const Outcome x = a.Run(Utf32(c)), y = b.Run(Utf32(c));
      std::string v = "!";
      if (x == y && !(x.kind == Outcome::kOk && x.out.empty()) && !Excused(pg, c, x.out) &&
          !Excused(pg, c, Ours(pg, c))) {
        v = x.out;
      }
      it = m.emplace(c, v).first;
    }
    *code = it->second;
    return it->second != "!";
  }

 private:
  // The page's code of c by the single-character writer, "" when none.
  std::string Ours(const PageRef& pg, char32_t c) {
    auto it = writers_.find(pg.cp);
    if (it == writers_.end()) {
      rscpCObj_t o = JavaObject("1100", pg.cp);
      EXPECT_EQ(rscpCCheckOutTab(&o), 0);
      o.use_subst = 0;
      it = writers_.emplace(pg.cp, o).first;
    }
    uint8_t b[16];
    WEQ_RAW* p = b;
    const rscpRc_t rc = rscpCPutChar(&it->second, &p, b + sizeof b, c);
    rscpeClearThrErrors();
    return rc == 0 ? std::string(reinterpret_cast<char*>(b), p - b) : "";
  }
  IconvRef& Iconv(const PageRef& pg) {
    auto& r = iconv_[pg.cp];
    if (!r) r = std::make_unique<IconvRef>(pg.iconv, "UTF-32LE");
    return *r;
  }
  IcuRef& Icu(const PageRef& pg) {
    auto& r = icu_[pg.cp];
    if (!r) r = std::make_unique<IcuRef>(pg.icu, "UTF-32LE", false);
    return *r;
  }
  std::map<std::string, std::map<char32_t, std::string>> memo_;
  std::map<std::string, rscpCObj_t> writers_;
  std::map<std::string, std::unique_ptr<IconvRef>> iconv_;
  std::map<std::string, std::unique_ptr<IcuRef>> icu_;
};

// ISO-2022-JP as the text it reads, the page's ESC ( J read as ASCII.
std::string AsText(const PageRef& pg, const std::string& bytes) {
  if (std::string(pg.cp) != "8200") return bytes;
  std::string b = bytes;
  for (size_t at = 0; (at = b.find("\x1B(J", at)) != std::string::npos;) b[at + 2] = 'B';
  IconvRef text("UTF-16LE", pg.iconv);
  const Outcome o = text.Run(b);
  return o.kind == Outcome::kOk ? o.out : "(unreadable) " + Hex(bytes);
}

class Sweep : public EngineTest {};

TEST_F(Sweep, EveryPairOfPagesOnItsCorpora) {
  std::vector<const PageRef*> pages;
  for (const PageRef& p : kManifestPages) {
    if (!p.synthetic && *p.iconv != 0 && *p.icu != 0) pages.push_back(&p);
  }
  ASSERT_EQ(pages.size(), 17u);
  Pages refs;
  std::mt19937 rng(37);
  const size_t length = 300 * tovtest::HeavyFactor();
  std::string refused;
  int compared = 0, stops = 0;
  for (const PageRef* from : pages) {
    for (const PageRef* to : pages) {
      rscpCObj_t o = JavaObject(from->cp, to->cp);
      if (rscpCLoadTables(&o) != 0 || o.method == RSCP_M_UNKNOWN) {
        refused += std::string(from->cp) + ">" + to->cp + " ";
        rscpeClearThrErrors();
        continue;
      }
      o.use_subst = 0, o.use_1_copy = 0, o.rscpbroken = 0;
      const std::string pair = std::string(from->cp) + ">" + to->cp;
      SCOPED_TRACE(pair + " method " + std::to_string(o.method));
      for (size_t kind = 0; kind < kKinds.size(); ++kind) {
        // The corpus: characters the input page has, on which both
        // references agree on both pages.
        std::string text;
        for (size_t n = 0, tries = 0; n < length && tries < 40 * length; ++tries) {
          const auto& r = kKinds[kind][rng() % kKinds[kind].size()];
          const char32_t c = r.first + rng() % (r.second - r.first + 1);
          std::string code, out;
          if (!refs.Agreed(*from, c, &code) || code.empty() || !refs.Agreed(*to, c, &out)) continue;
          if (Allowed(pair, Hex(code))) continue;
          text += Utf32(c);
          ++n;
        }
        std::string in = IconvStop(from->iconv, "UTF-32LE", text).out;
        SCOPED_TRACE("corpus " + std::to_string(kind));
        const Stop ref = IconvStop(to->iconv, from->iconv, in);
        const Call whole = Convert(o, in, in.size() * 6 + 64);
        ++compared;
        if (ref.err == 0) {
          EXPECT_EQ(whole.rc, 0) << Hex(in.substr(whole.in, 8));
          EXPECT_EQ(AsText(*to, whole.bytes), AsText(*to, ref.out));
          IcuRef icu(to->icu, from->icu, false);
          const Outcome b = icu.Run(in);
          if (b.kind == Outcome::kOk) {
            EXPECT_EQ(AsText(*to, whole.bytes), AsText(*to, b.out));
          }
        } else {
          ++stops;
          // glibc stops before the designations that precede the character.
          size_t at = ref.at;
          while (at + 3 <= in.size() && in[at] == '\x1B' && whole.in > at) at += 3;
          EXPECT_EQ(whole.in, at);
          EXPECT_TRUE(ref.err == EINVAL ? whole.rc == RSCPEUNIQ : whole.rc == RSCPENOCONV || whole.rc == RSCPEUNIQ)
              << whole.rc << " errno " << ref.err;
          EXPECT_EQ(AsText(*to, whole.bytes), AsText(*to, ref.out));
          in.resize(ref.at);  // the pieces and the resumed call take what converts
        }
        const Call all = Convert(o, in, in.size() * 6 + 64);
        // Random pieces; a character cut at a piece's end waits for the next.
        rscpCObj_t p = o;
        p.rscpbroken = 2;
        std::string joined;
        for (size_t at = 0, carry = 0; at < in.size();) {
          const size_t n = std::min(in.size() - at, 1 + static_cast<size_t>(rng() % 40));
          const Call c = Convert(p, in.substr(at - carry, n + carry), (n + carry) * 6 + 64);
          ASSERT_TRUE(c.rc == 0 || (c.rc == RSCPEUNIQ && at + n < in.size())) << c.rc;
          joined += c.bytes;
          carry = n + carry - c.in;
          at += n;
        }
        EXPECT_EQ(AsText(*to, joined), AsText(*to, all.bytes));
        // A small output: 32 at a character boundary, resumed with the rest
        // (stop_restartable keeps an ISO-2022 input state for the rest).
        const Call first = Convert(o, in, 32);
        if (first.rc == RSCPETOOLONG) {
          EXPECT_EQ(Strict(o, in.substr(0, first.in)).out, first.bytes);
          rscpCObj_t r = o;
          r.rscpbroken = 2;
          EXPECT_EQ(AsText(*to, ConvertResumed(r, in, 32).bytes), AsText(*to, all.bytes));
        }
      }
    }
  }
  EXPECT_GT(compared, 1500);
  EXPECT_GT(stops, 100);
  // The method matrix has no method for the Unicode forms into EUC-JP,
  // UTF-8 into ISO-2022-JP or EUC-JP into UTF-8; ISO-2022 input cannot
  // combine with the tunnel into single-byte pages.
  EXPECT_EQ(refused,
            "4100>8100 4101>8100 4102>8100 4103>8100 4104>8100 4105>8100 4110>8100 4110>8200 8100>4110 8200>0100 "
            "8200>1100 8200>1101 ");
}

}  // namespace
}  // namespace rscptest
