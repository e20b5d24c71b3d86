// The multi-byte methods and the range rules against glibc iconv and ICU:
// every character of JIS X 0208 rows 1-84 between Shift-JIS, EUC-JP and
// ISO-2022-JP (8200's output decoded by both references, since it frames
// every run with its own sequences), and GB 18030 whole: every scalar value
// through the single-character writer, every two-byte sequence and both
// linear four-byte ranges through tab. A difference is allowed only where
// the allow-list or the page's deltas name it.
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <tuple>
#include <vector>

#include "rscpc_oracle.h"
#include "rscpcv_fixture.h"

namespace rscptest {
namespace {

// Ours, strict: no substitution, a cut character reported as such.
Outcome Strict(rscpCObj_t o, const std::string& in) {
  o.use_subst = 0, o.use_1_copy = 0, o.rscpbroken = 0;
  const Call c = Convert(o, in, in.size() * 4 + 16);
  return {c.rc == 0 ? Outcome::kOk : c.rc == RSCPEUNIQ ? Outcome::kCut : Outcome::kBad, c.rc == 0 ? c.bytes : ""};
}

// Every Shift-JIS character of rows 1-84 (lead bytes 0x81-0x9F, 0xE0-0xEA)
// that CP932 reads.
std::vector<std::string> SjisRows() {
  IconvRef cp932("UTF-8", "CP932");
  std::vector<std::string> chars;
  for (int lead : {0x81, 0xE0}) {
    for (int s1 = lead; s1 <= (lead == 0x81 ? 0x9F : 0xEA); ++s1) {
      for (int s2 = 0x40; s2 <= 0xFC; ++s2) {
        const std::string c = Bytes({s1, s2});
        if (s2 != 0x7F && cp932.Run(c).kind == Outcome::kOk) chars.push_back(c);
      }
    }
  }
  return chars;
}

// Decodes bytes of a Japanese code page to UTF-8 by one reference.
struct Decoders {
  IconvRef iconv;
  IcuRef icu;
  Decoders(const char* iconvName, const char* icuName) : iconv("UTF-8", iconvName), icu("UTF-8", icuName, false) {}
};

// 8200 reads ESC ( J as JIS-Roman: its 5C and 7E are the yen sign and the
// overline to both references, where the input had the ASCII characters.
std::string Roman(std::string s) {
  for (const auto& [ascii, roman] : {std::pair<std::string, std::string>{"\\", "\xC2\xA5"}, {"~", "\xE2\x80\xBE"}}) {
    for (size_t at = 0; (at = s.find(ascii, at)) != std::string::npos; at += roman.size()) s.replace(at, 1, roman);
  }
  return s;
}

class MbOracle : public EngineTest {};

// Each character alone, and all of them in one text with ASCII words
// between runs of characters: 8000 -> 8100 and the ISO-2022-JP pairs 8200
// -> 8000 and -> 8100 give what both references give; 8000 -> 8200 and
// 8100 -> 8200 decode, by both references, to what the input decodes to,
// with one start and one return sequence around every run of pairs.
TEST_F(MbOracle, JisRowsBetweenShiftJisEucAndIso2022) {
  const std::vector<std::string> chars = SjisRows();
  ASSERT_GT(chars.size(), 6800u);
  Decoders sjisDec("CP932", "windows-31j"), eucDec("EUC-JP", "euc-jp-2007"), jisDec("ISO-2022-JP", "ISO_2022,locale=ja,version=0");
  IconvRef toEuc("EUC-JP", "CP932"), toJis("ISO-2022-JP", "CP932"), jisToSjis("CP932", "ISO-2022-JP"),
      jisToEuc("EUC-JP", "ISO-2022-JP");
  IcuRef icuToEuc("euc-jp-2007", "windows-31j", false), icuJisToSjis("windows-31j", "ISO_2022,locale=ja,version=0", false),
      icuJisToEuc("euc-jp-2007", "ISO_2022,locale=ja,version=0", false);
  rscpCObj_t sjisEuc = Chosen("8000", "8100"), sjisJis = Chosen("8000", "8200"), eucJis = Chosen("8100", "8200"),
             jisSjis = Chosen("8200", "8000"), jisEuc = Chosen("8200", "8100");
  ASSERT_EQ(sjisEuc.method, 6u);
  ASSERT_EQ(eucJis.method, 6u);
  ASSERT_EQ(jisSjis.method, 42u);
  // A pair's result against one reference: equal, or allowed for the pair.
  int bad = 0;
  bool clean = true;  // no allowance taken for the character
  const auto agree = [&](const char* pair, const std::string& key, const Outcome& ours, const Outcome& ref) {
    if (ours == ref) return;
    clean = false;
    if (Allowed(pair, Hex(key))) return;
    if (++bad < 10) ADD_FAILURE() << pair << " " << Hex(key) << ": ours " << Hex(ours.out) << ", ref " << Hex(ref.out);
  };
  std::string text, eucText, allSjis, allEuc;
  for (size_t i = 0; i < chars.size(); ++i) {
    const std::string& s = chars[i];
    clean = true;
    const Outcome euc = Strict(sjisEuc, s);
    allSjis += s + (i % 5 == 4 ? "x" : "");
    allEuc += euc.out + (i % 5 == 4 ? "x" : "");
    agree("8000>8100", s, euc, toEuc.Run(s));
    agree("8000>8100", s, euc, icuToEuc.Run(s));
    // The ISO-2022-JP form of the character as iconv writes it.
    const Outcome jis = toJis.Run(s);
    if (jis.kind == Outcome::kOk) {
      agree("8200>8000", s, Strict(jisSjis, jis.out), jisToSjis.Run(jis.out));
      agree("8200>8000", s, Strict(jisSjis, jis.out), icuJisToSjis.Run(jis.out));
      agree("8200>8100", s, Strict(jisEuc, jis.out), jisToEuc.Run(jis.out));
      agree("8200>8100", s, Strict(jisEuc, jis.out), icuJisToEuc.Run(jis.out));
    }
    for (auto [o, in, dec] : {std::tuple{&sjisJis, s, &sjisDec}, std::tuple{&eucJis, euc.out, &eucDec}}) {
      const Outcome out = Strict(*o, in);
      agree(o == &sjisJis ? "8000>8200" : "8100>8200", s, jisDec.iconv.Run(out.out), dec->iconv.Run(in));
      agree(o == &sjisJis ? "8000>8200" : "8100>8200", s, jisDec.icu.Run(out.out), dec->icu.Run(in));
    }
    if (!clean) continue;
    text += s;
    eucText += euc.out;
    if (i % 7 == 6) text += " a\\~b ", eucText += " a\\~b ";
  }
  EXPECT_EQ(bad, 0);
  // Shift-JIS to EUC has no state: the whole text gives what its
  // characters give one by one.
  EXPECT_TRUE(Strict(sjisEuc, allSjis) == (Outcome{Outcome::kOk, allEuc}));
  // The whole text: Shift-JIS runs go to the run writer whole, EUC
  // characters to their kernel one by one, each framed (ICU refuses an
  // escape sequence right behind another, so only glibc reads that whole).
  for (auto [o, in, dec, perChar] :
       {std::tuple{&sjisJis, text, &sjisDec, false}, std::tuple{&eucJis, eucText, &eucDec, true}}) {
    SCOPED_TRACE(perChar ? "8100>8200" : "8000>8200");
    const Outcome out = Strict(*o, in);
    ASSERT_EQ(out.kind, Outcome::kOk);
    size_t starts = 0, returns = 0, runs = 0;
    for (size_t at = 0; (at = out.out.find("\x1B$B", at)) != std::string::npos; ++at) ++starts;
    for (size_t at = 0; (at = out.out.find("\x1B(J", at)) != std::string::npos; ++at) ++returns;
    bool inRun = false;
    for (size_t i = 0; i < in.size(); ++i) {
      const bool pair = static_cast<uint8_t>(in[i]) >= 0x80;
      runs += pair && (perChar || !inRun);
      inRun = pair;
      i += pair;
    }
    EXPECT_EQ(starts, runs);
    EXPECT_EQ(returns, runs);
    const Outcome inIconv = dec->iconv.Run(in), outIconv = jisDec.iconv.Run(out.out);
    ASSERT_EQ(inIconv.kind, Outcome::kOk);
    EXPECT_TRUE(outIconv.out == Roman(inIconv.out));
    if (!perChar) {
      const Outcome inIcu = dec->icu.Run(in), outIcu = jisDec.icu.Run(out.out);
      ASSERT_EQ(inIcu.kind, Outcome::kOk);
      EXPECT_TRUE(outIcu.out == Roman(inIcu.out));
    }
  }
}

// GB 18030 whole: every scalar value through the single-character writer,
// every two-byte sequence and both linear four-byte ranges through tab.
// Ours equals ICU's gb18030 everywhere; glibc follows a later edition of the
// standard at a few code points, which the allow-list and the page's
// deltas name.
TEST_F(MbOracle, Gb18030AgainstIcuAndGlibc) {
  const PageRef* pg = FindPage("8450");
  ASSERT_NE(pg, nullptr);
  int bad = 0;
  const auto check = [&](const std::string& what, const Outcome& ours, const Outcome& icu, const Outcome& glibc,
                         const std::string& key) {
    const bool allowed = Allowed("8450", key);
    if ((ours == icu || allowed) && (ours == glibc || allowed || Listed(*pg, "iconv", key))) return;
    if (++bad < 10) ADD_FAILURE() << what << ": ours " << ours.kind << " " << Hex(ours.out) << ", ICU " << icu.kind << " " << Hex(icu.out)
                                  << ", glibc " << glibc.kind << " " << Hex(glibc.out);
  };
  // Scalar values in blocks: each block whole through the references, and
  // character by character where a reference differs from ours.
  rscpCObj_t writer = JavaObject("1100", "8450");
  ASSERT_EQ(rscpCCheckOutTab(&writer), 0);
  writer.use_subst = 0;
  IcuRef icuOut("gb18030", "UTF-32LE", false);
  IconvRef glibcOut("GB18030", "UTF-32LE");
  const auto put = [&](uint32_t c) {
    uint8_t b[8];
    WEQ_RAW* p = b;
    return rscpCPutChar(&writer, &p, b + sizeof b, c) == 0 ? std::string(reinterpret_cast<char*>(b), p - b) : "";
  };
  size_t scalars = 0;
  for (uint32_t c0 = 0; c0 < 0x110000; c0 += 4096) {
    std::string utf32, ours;
    for (uint32_t c = c0; c < c0 + 4096; ++c) {
      if (c >= 0xD800 && c < 0xE000) continue;
      utf32.append(reinterpret_cast<const char*>(&c), 4);
      ours += put(c);
      ++scalars;
    }
    if (Outcome{Outcome::kOk, ours} == icuOut.Run(utf32) && Outcome{Outcome::kOk, ours} == glibcOut.Run(utf32)) continue;
    for (size_t i = 0; i < utf32.size(); i += 4) {
      uint32_t c;
      memcpy(&c, utf32.data() + i, 4);
      char u[16];
      snprintf(u, sizeof u, "U+%04X", static_cast<unsigned>(c));
      const std::string one = utf32.substr(i, 4);
      check(u, {Outcome::kOk, put(c)}, icuOut.Run(one), glibcOut.Run(one), u);
    }
  }
  EXPECT_EQ(scalars, 0x110000u - 0x800u);
  // Decoding: every two-byte sequence alone, then the four-byte ranges in
  // blocks of codes.
  rscpCObj_t tab = Chosen("8450", "4103");
  ASSERT_EQ(tab.method, 4u);
  IcuRef icuIn("UTF-16LE", "gb18030", false);
  IconvRef glibcIn("UTF-16LE", "GB18030");
  // Two bytes that start a four-byte code outside the mapped ranges are a
  // cut character to the references, which know the form of every such
  // code; the page's tables know the mapped ranges only, and the two
  // bytes are broken to them.
  int unmapped = 0;
  for (int v = 0x8100; v <= 0xFEFF; ++v) {
    const std::string in = Bytes({v >> 8, v & 0xFF});
    const Outcome ours = Strict(tab, in), icu = icuIn.Run(in);
    if ((v & 0xFF) >= 0x30 && (v & 0xFF) <= 0x39 && ours.kind == Outcome::kBad && icu.kind == Outcome::kCut) {
      ++unmapped;
      continue;
    }
    check(Hex(in), ours, icu, glibcIn.Run(in), Hex(in));
  }
  EXPECT_EQ(unmapped, 395);  // 8432-8439, 8530-8F39, E333-E339, E430-FE39
  size_t fours = 0;
  for (auto [from, to] : {std::pair<uint32_t, uint32_t>{0x81308130, 0x8431A439}, {0x90308130, 0xE3329A35}}) {
    uint8_t b[4] = {static_cast<uint8_t>(from >> 24), static_cast<uint8_t>(from >> 16), static_cast<uint8_t>(from >> 8),
                    static_cast<uint8_t>(from)};
    for (bool more = true; more;) {
      std::string block;
      for (int n = 0; n < 4096 && more; ++n) {
        block.append(reinterpret_cast<const char*>(b), 4);
        ++fours;
        more = (uint32_t{b[0]} << 24 | b[1] << 16 | b[2] << 8 | b[3]) != to;
        // The next code: an odometer of 0x30-0x39, 0x81-0xFE, 0x30-0x39.
        if (++b[3] > 0x39) b[3] = 0x30, ++b[2] > 0xFE && (b[2] = 0x81, ++b[1] > 0x39) && (b[1] = 0x30, ++b[0]);
      }
      const Outcome ours = Strict(tab, block);
      if (ours == icuIn.Run(block) && ours == glibcIn.Run(block)) continue;
      for (size_t i = 0; i < block.size(); i += 4) {
        const std::string one = block.substr(i, 4);
        check(Hex(one), Strict(tab, one), icuIn.Run(one), glibcIn.Run(one), Hex(one));
      }
    }
  }
  EXPECT_EQ(fours, 39420u + 1048576u);
  EXPECT_EQ(bad, 0);
}

}  // namespace
}  // namespace rscptest
