// The multi-byte methods and the range rules against glibc iconv and ICU:
// every character of JIS X 0208 rows 1-84 between Shift-JIS, EUC-JP and
// ISO-2022-JP (8200's output decoded by both references, since it frames
// every run with its own sequences), and GB 18030 whole: every scalar value
// through the single-character writer, every two-byte sequence and both
// linear four-byte ranges through tab. A difference is allowed only where
// the allow-list or the page's deltas name it.
#include <gtest/gtest.h>

#include <string.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "rscpc_oracle.h"
#include "rscpcv_fixture.h"

namespace rscptest {
namespace {

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

// 8200 reads ESC ( J as JIS-Roman: its 5C and 7E are the yen sign and the
// overline to both references, where the input had the ASCII characters.
std::string Roman(std::string s) {
  for (const auto& [ascii, roman] : {std::pair<std::string, std::string>{"\\", "\xC2\xA5"}, {"~", "\xE2\x80\xBE"}}) {
    for (size_t at = 0; (at = s.find(ascii, at)) != std::string::npos; at += roman.size()) s.replace(at, 1, roman);
  }
  return s;
}

class MbOracle : public EngineTest {};

// Each character alone: 8000 -> 8100 and the ISO-2022-JP pairs 8200 ->
// 8000 and -> 8100 give what both references give; the output of 8000 ->
// 8200 and 8100 -> 8200 reads, to both references, as the input does.
// Then all of them in one text with ASCII words between runs: Shift-JIS to
// EUC has no state, and 8200 frames each Shift-JIS run once and each EUC
// character alone (ICU refuses an escape sequence right behind another, so
// only glibc reads that text whole).
TEST_F(MbOracle, JisRowsBetweenShiftJisEucAndIso2022) {
  const std::vector<std::string> chars = SjisRows();
  ASSERT_GT(chars.size(), 6800u);
  const char *icuSjis = "windows-31j", *icuEuc = "euc-jp-2007", *icuJis = "ISO_2022,locale=ja,version=0";
  IconvRef toEuc("EUC-JP", "CP932"), toJis("ISO-2022-JP", "CP932"), jisToSjis("CP932", "ISO-2022-JP"),
      jisToEuc("EUC-JP", "ISO-2022-JP"), sjisText("UTF-8", "CP932"), eucText("UTF-8", "EUC-JP"),
      jisText("UTF-8", "ISO-2022-JP");
  IcuRef icuToEuc(icuEuc, icuSjis, false), icuJisToSjis(icuSjis, icuJis, false), icuJisToEuc(icuEuc, icuJis, false),
      icuSjisText("UTF-8", icuSjis, false), icuEucText("UTF-8", icuEuc, false), icuJisText("UTF-8", icuJis, false);
  rscpCObj_t sjisEuc = Chosen("8000", "8100"), sjisJis = Chosen("8000", "8200"), eucJis = Chosen("8100", "8200"),
             jisSjis = Chosen("8200", "8000"), jisEuc = Chosen("8200", "8100");
  ASSERT_EQ(sjisEuc.method + eucJis.method + jisSjis.method, 6u + 6u + 42u);
  int bad = 0;
  bool clean = true;  // no allowance taken for the character
  const auto agree = [&](const char* pair, const std::string& key, const Outcome& ours, const Outcome& ref) {
    if (ours == ref) return;
    clean = false;
    if (!Allowed(pair, Hex(key)) && ++bad < 10) {
      ADD_FAILURE() << pair << " " << Hex(key) << ": ours " << Hex(ours.out) << ", ref " << Hex(ref.out);
    }
  };
  std::string sjisRuns, eucChars, allSjis, allEuc;
  for (size_t i = 0; i < chars.size(); ++i) {
    const std::string& s = chars[i];
    clean = true;
    const Outcome euc = Strict(sjisEuc, s), jis = toJis.Run(s);
    agree("8000>8100", s, euc, toEuc.Run(s));
    agree("8000>8100", s, euc, icuToEuc.Run(s));
    if (jis.kind == Outcome::kOk) {  // the ISO-2022-JP form as iconv writes it
      agree("8200>8000", s, Strict(jisSjis, jis.out), jisToSjis.Run(jis.out));
      agree("8200>8000", s, Strict(jisSjis, jis.out), icuJisToSjis.Run(jis.out));
      agree("8200>8100", s, Strict(jisEuc, jis.out), jisToEuc.Run(jis.out));
      agree("8200>8100", s, Strict(jisEuc, jis.out), icuJisToEuc.Run(jis.out));
    }
    const Outcome fromSjis = Strict(sjisJis, s), fromEuc = Strict(eucJis, euc.out);
    agree("8000>8200", s, jisText.Run(fromSjis.out), sjisText.Run(s));
    agree("8000>8200", s, icuJisText.Run(fromSjis.out), icuSjisText.Run(s));
    agree("8100>8200", s, jisText.Run(fromEuc.out), eucText.Run(euc.out));
    agree("8100>8200", s, icuJisText.Run(fromEuc.out), icuEucText.Run(euc.out));
    allSjis += s + (i % 5 == 4 ? "x" : "");
    allEuc += euc.out + (i % 5 == 4 ? "x" : "");
    if (!clean) continue;
    sjisRuns += s + (i % 7 == 6 ? " a\\~b " : "");
    eucChars += euc.out + (i % 7 == 6 ? " a\\~b " : "");
  }
  EXPECT_EQ(bad, 0);
  EXPECT_TRUE(Strict(sjisEuc, allSjis) == (Outcome{Outcome::kOk, allEuc}));
  for (bool perChar : {false, true}) {
    const std::string& in = perChar ? eucChars : sjisRuns;
    const Outcome out = Strict(perChar ? eucJis : sjisJis, in);
    ASSERT_EQ(out.kind, Outcome::kOk);
    size_t starts = 0, returns = 0, runs = 0;
    for (size_t at = 0; (at = out.out.find("\x1B$B", at)) != std::string::npos; ++at) ++starts;
    for (size_t at = 0; (at = out.out.find("\x1B(J", at)) != std::string::npos; ++at) ++returns;
    for (size_t i = 0, inRun = 0; i < in.size(); ++i) {
      const bool pair = static_cast<uint8_t>(in[i]) >= 0x80;
      runs += pair && (perChar || !inRun);
      inRun = pair, i += pair;
    }
    EXPECT_EQ(starts, runs) << perChar;
    EXPECT_EQ(returns, runs) << perChar;
    const Outcome inGlibc = (perChar ? eucText : sjisText).Run(in);
    EXPECT_TRUE(jisText.Run(out.out) == (Outcome{Outcome::kOk, Roman(inGlibc.out)})) << perChar;
    if (!perChar) {
      EXPECT_TRUE(icuJisText.Run(out.out) == (Outcome{Outcome::kOk, Roman(icuSjisText.Run(in).out)}));
    }
  }
}

// CP932's user-defined and IBM extension codes (lead bytes 0xF0-0xFC)
// into ISO-2022-JP, which lacks most of them: each alone as through UTF-16,
// refused or written as one of the references does (they differ on NEC
// row 13 and U+FFE2); all in one text between kanji and ASCII, with
// substitution, ours reads to glibc as the text through UTF-16 does. Into
// EUC-JP each is refused or reads as itself, and the text reads.
TEST_F(MbOracle, ExtensionCodesIntoIso2022AndEuc) {
  const char *icuSjis = "windows-31j", *icuJis = "ISO_2022,locale=ja,version=0";
  IconvRef cp932("UTF-8", "CP932"), toJis("ISO-2022-JP", "CP932"), jisText("UTF-8", "ISO-2022-JP"),
      eucText("UTF-8", "EUC-JP");
  IcuRef icuToJis(icuJis, icuSjis, false), icuJisText("UTF-8", icuJis, false);
  rscpCObj_t o = Chosen("8000", "8200"), toU16 = Chosen("8000", "4103"), fromU16 = Chosen("4103", "8200"),
             euc = Chosen("8000", "8100");
  // The same outcome, the outputs read as text by the reader.
  const auto same = [](const Outcome& a, const Outcome& b, auto& reader) {
    return a.kind == b.kind && (a.kind != Outcome::kOk || reader.Run(a.out) == reader.Run(b.out));
  };
  std::string text;
  int codes = 0, written = 0, bad = 0;
  for (int s1 = 0xF0; s1 <= 0xFC; ++s1) {
    for (int s2 = 0x40; s2 <= 0xFC; ++s2) {
      const std::string c = Bytes({s1, s2});
      if (s2 == 0x7F || cp932.Run(c).kind != Outcome::kOk) continue;
      const Outcome ours = Strict(o, c), inEuc = Strict(euc, c);
      written += ours.kind == Outcome::kOk;
      if ((!(ours == Strict(fromU16, Strict(toU16, c).out)) ||
           !(inEuc.kind == Outcome::kBad || eucText.Run(inEuc.out) == cp932.Run(c)) ||
           !(same(ours, toJis.Run(c), jisText) || same(ours, icuToJis.Run(c), icuJisText))) &&
          ++bad < 10) {
        ADD_FAILURE() << Hex(c) << ": ours " << ours.kind << " " << Hex(ours.out);
      }
      text += c + (++codes % 3 == 0 ? "A" : codes % 3 == 1 ? Bytes({0x88, 0x9F}) : "");
    }
  }
  EXPECT_EQ(codes, 1880 + 388);
  EXPECT_EQ(bad, 0);
  EXPECT_GT(written, 0);
  o.use_subst = fromU16.use_subst = toU16.use_subst = euc.use_subst = 1;
  EXPECT_EQ(eucText.Run(Convert(euc, text, text.size() * 2 + 16).bytes).kind, Outcome::kOk);
  const Call ours = Convert(o, text, text.size() * 4 + 16);
  const Call u16 = Convert(toU16, text, text.size() * 2 + 16);
  ASSERT_EQ(ours.rc + u16.rc, 0);
  const Outcome read = jisText.Run(ours.bytes);
  EXPECT_EQ(read.kind, Outcome::kOk);
  EXPECT_TRUE(read == jisText.Run(Convert(fromU16, u16.bytes, u16.bytes.size() * 4 + 16).bytes));
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
  const auto check = [&](const std::string& key, const Outcome& ours, const Outcome& icu, const Outcome& glibc) {
    const bool allowed = Allowed("8450", key);
    if ((ours == icu || allowed) && (ours == glibc || allowed || Listed(*pg, "iconv", key))) return;
    if (++bad < 10) {
      ADD_FAILURE() << key << ": ours " << ours.kind << " " << Hex(ours.out) << ", ICU " << icu.kind << " "
                    << Hex(icu.out) << ", glibc " << glibc.kind << " " << Hex(glibc.out);
    }
  };
  // Units in blocks: each block whole through ours and the references,
  // unit by unit where one differs.
  const auto sweep = [&](const std::vector<std::string>& units, const std::function<Outcome(const std::string&)>& ours,
                         IcuRef& icu, IconvRef& glibc, const std::function<std::string(const std::string&)>& key) {
    for (size_t b = 0; b < units.size(); b += 4096) {
      const size_t e = std::min(units.size(), b + 4096);
      std::string block;
      for (size_t i = b; i < e; ++i) block += units[i];
      const Outcome whole = ours(block);
      if (whole == icu.Run(block) && whole == glibc.Run(block)) continue;
      for (size_t i = b; i < e; ++i) check(key(units[i]), ours(units[i]), icu.Run(units[i]), glibc.Run(units[i]));
    }
  };
  // Every scalar value through the writer.
  rscpCObj_t writer = JavaObject("1100", "8450");
  ASSERT_EQ(rscpCCheckOutTab(&writer), 0);
  writer.use_subst = 0;
  std::vector<std::string> units;
  for (uint32_t c = 0; c < 0x110000; ++c) {
    if (c < 0xD800 || c >= 0xE000) units.emplace_back(reinterpret_cast<const char*>(&c), 4);
  }
  EXPECT_EQ(units.size(), 0x110000u - 0x800u);
  IcuRef icuOut("gb18030", "UTF-32LE", false), icuIn("UTF-16LE", "gb18030", false);
  IconvRef glibcOut("GB18030", "UTF-32LE"), glibcIn("UTF-16LE", "GB18030");
  const auto put = [&](const std::string& utf32) {
    std::string out;
    for (size_t i = 0; i < utf32.size(); i += 4) {
      uint32_t c;
      memcpy(&c, utf32.data() + i, 4);
      uint8_t b[8];
      WEQ_RAW* p = b;
      if (rscpCPutChar(&writer, &p, b + sizeof b, c) != 0) return Outcome{Outcome::kBad, {}};
      out.append(reinterpret_cast<char*>(b), p - b);
    }
    return Outcome{Outcome::kOk, out};
  };
  sweep(units, put, icuOut, glibcOut, [](const std::string& u) {
    char name[16];
    uint32_t c;
    memcpy(&c, u.data(), 4);
    snprintf(name, sizeof name, "U+%04X", static_cast<unsigned>(c));
    return std::string(name);
  });
  // Every two-byte sequence alone through tab. Two bytes that start a
  // four-byte code outside the mapped ranges are a cut character to the
  // references, which know the form of every such code; the page's tables
  // know the mapped ranges only, and the two bytes are broken to them.
  rscpCObj_t tab = Chosen("8450", "4103");
  ASSERT_EQ(tab.method, 4u);
  const auto strict = [&](const std::string& in) { return Strict(tab, in); };
  int unmapped = 0;
  for (int v = 0x8100; v <= 0xFEFF; ++v) {
    const std::string in = Bytes({v >> 8, v & 0xFF});
    const Outcome ours = Strict(tab, in), icu = icuIn.Run(in);
    if ((v & 0xFF) >= 0x30 && (v & 0xFF) <= 0x39 && ours.kind == Outcome::kBad && icu.kind == Outcome::kCut) {
      ++unmapped;
    } else {
      check(Hex(in), ours, icu, glibcIn.Run(in));
    }
  }
  EXPECT_EQ(unmapped, 395);  // 8432-8439, 8530-8F39, E333-E339, E430-FE39
  // Both linear four-byte ranges, an odometer of 0x30-0x39, 0x81-0xFE,
  // 0x30-0x39 behind the first byte.
  units.clear();
  for (auto [from, to] : {std::pair<uint32_t, uint32_t>{0x81308130, 0x8431A439}, {0x90308130, 0xE3329A35}}) {
    uint8_t b[4] = {uint8_t(from >> 24), uint8_t(from >> 16), uint8_t(from >> 8), uint8_t(from)};
    for (bool more = true; more;) {
      units.emplace_back(reinterpret_cast<const char*>(b), 4);
      more = (uint32_t{b[0]} << 24 | b[1] << 16 | b[2] << 8 | b[3]) != to;
      if (++b[3] > 0x39) b[3] = 0x30, ++b[2] > 0xFE && (b[2] = 0x81, ++b[1] > 0x39) && (b[1] = 0x30, ++b[0]);
    }
  }
  EXPECT_EQ(units.size(), 39420u + 1048576u);
  sweep(units, strict, icuIn, glibcIn, [](const std::string& u) { return Hex(u); });
  EXPECT_EQ(bad, 0);
}

}  // namespace
}  // namespace rscptest
