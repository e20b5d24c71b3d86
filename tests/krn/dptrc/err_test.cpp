// The error information: setting with message numbers and argument texts,
// replacing, reading, the labelled text and trace banner, the system error
// texts, percent escaping, and the network form against bytes made by the
// C library's converter (UTF-8 and code page 500).
#include "krn/dptrc/err.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <string.h>

#include <memory>

#include "trc_checker.h"

namespace {

using tovtest::FromUtf8;
using tovtest::ToUtf8;
using namespace trccheck;
using Fields = std::vector<std::u16string>;

std::u16string Fld(int i) { return ErrGetFld(i); }
long Counter() { return std::stol("0" + ToUtf8(Fld(ERR_FLD_COUNTER))); }

// The given fields of the record joined by '|'.
std::u16string Joined(std::initializer_list<int> indexes) {
  std::u16string out;
  for (int i : indexes) out += (i == *indexes.begin() ? u"" : u"|") + Fld(i);
  return out;
}

// The result of a call, then the given fields of the record.
std::u16string Then(int rc, std::initializer_list<int> indexes) {
  return FromUtf8(std::to_string(rc)) + u"|" + Joined(indexes);
}

std::u16string Record(const Fields& fields) {
  std::u16string r;
  for (const std::u16string& f : fields) r += f + u'\0';
  return r;
}

// Fields written with '|' between them.
Fields Split(const std::u16string& joined) {
  Fields out(1);
  for (char16_t c : joined) c == u'|' ? (void)out.emplace_back() : out.back().push_back(c);
  return out;
}

const Fields kSample = Split(
    u"*ERR*|1|partner 'host:sapgw00' not reached|-10|NI (network interface)|720|40|nixxi.cpp|"
    u"3286|NiPConnect2: 10.0.0.1:3300|Thu Jan  2 03:04:05 2025|connect|111|"
    u"ECONNREFUSED: Connection refused|0|CPIC-CALL: 'ThCMINIT'|||||*ERR*");

int Install(const Fields& fields) {
  std::u16string r = Record(fields);
  return ErrCpTo(r.data(), r.size());
}

std::u16string Stored() {
  const WEQ_UC* rec;
  size_t len;
  return ErrGetAttr(&rec, &len) == 0 ? std::u16string(rec, len) : u"";
}

std::string Encode(const std::u16string& r, const char* to) {
  std::string out;
  EXPECT_TRUE(Iconv(to, "UTF-16LE", std::string(reinterpret_cast<const char*>(r.data()), 2 * r.size()), &out))
      << to;
  return out;
}

// Input in a heap block of exactly its size: the address sanitizer catches
// any read beyond it.
int NetToInt(const std::string& bytes) {
  std::unique_ptr<char[]> exact(new char[bytes.size() + bytes.empty()]);
  memcpy(exact.get(), bytes.data(), bytes.size());
  return ErrCpNetToInt(exact.get(), bytes.size());
}

class Err : public ::testing::Test {
 protected:
  void SetUp() override {
    ErrClear();
    ErrSetLocation(u"");
  }
};

TEST_F(Err, SetInfoFillsEveryFieldWithMessageNumbersAndArguments) {
  ASSERT_EQ(ErrSetLocation(u"CPIC-CALL: '%s'", u"ThCMINIT"), 0);
  ASSERT_EQ(ErrSetInfoSys(u"NI", 40, u"ni.cpp", 7, 0, u"to %s", -10, nullptr, u"connect", ECONNREFUSED, u"h"),
            0);
  const long count = Counter();
  EXPECT_EQ(Joined({0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 11, 12, 13, 15, 16, 17, 18, 19, 20}),
            u"*ERR*|1|to h|-10|NI|720|40|ni.cpp|7||connect|" + FromUtf8(std::to_string(ECONNREFUSED)) +
                u"|ECONNREFUSED: " + FromUtf8(strerror(ECONNREFUSED)) + u"|CPIC-CALL: 'ThCMINIT'|||||*ERR*");
  EXPECT_TRUE(IsAsctime(ToUtf8(Fld(ERR_FLD_TIME)))) << ToUtf8(Fld(ERR_FLD_TIME));
  // Zero numbers and missing texts give empty fields; the counter goes on.
  ASSERT_EQ(ErrSetInfo(nullptr, 0, nullptr, 0, u"again", 0, nullptr), 0);
  EXPECT_EQ(Joined({3, 4, 6, 7, 8, 9, 11, 12, 13, 14}), u"|||||||||" + FromUtf8(std::to_string(count + 1)));
  // Message numbers and argument texts: ERROR, DESCR MSG NO, DESCR VARGS,
  // DETAIL, DETAIL MSG NO, DETAIL VARGS. Every conversion counts, c and p
  // among them: the detail's arguments are not shifted.
  const std::initializer_list<int> msg = {2, 16, 17, 9, 18, 19};
  EXPECT_EQ(Then(ErrSetInfo(u"C", 1, u"m", 1, u"(11111)%x%%%c", 1, u"(22222)n=%d", 255, u'Z', 9), msg),
            u"0|ff%Z|11111|ff;;;;Z|n=9|22222|9");
  EXPECT_EQ(Then(ErrSetInfo(u"C", 1, u"m", 1, u"(00004)at %p", 1, u"(00005)%s", (void*)0x1234, u"d"), msg),
            u"0|at 1234|00004|1234|d|00005|d");
  EXPECT_EQ(Then(ErrSetInfo(u"C", 1, u"m", 1, u"(00006)%5.2f/%-4s/", 1, nullptr, 3.14159, u"ab"), msg),
            u"0| 3.14/ab  /|00006| 3.14;;;;ab  |||");
  EXPECT_EQ(Then(ErrSetInfo(u"C", 1, u"m", 1, u"(00007)[%*d]", 1, u"(00008)%lld %u", 5, 42, -1LL, 7u), msg),
            u"0|[   42]|00007|   42|-1 7|00008|-1;;;;7");
  EXPECT_EQ(Then(ErrSetInfo(u"C", 1, u"m", 1, u"(1234)x%d", 1, u"(12345", 8), msg), u"0|(1234)x8|||(12345||");
}

TEST_F(Err, TooLargeRecordsAndTheLogFlag) {
  TraceFile g(1);
  ASSERT_EQ(ErrSetInfo(u"C", 1, u"m", 1, u"first", 1, nullptr), 0);
  const long count = Counter();
  const std::string t(300, 't');
  const std::u16string d(300, u'd');
  EXPECT_EQ(ErrSetInfo(u"C", 1, u"m", 1, d.c_str(), 1, FromUtf8(t).c_str()), ERR_TOO_LARGE);
  EXPECT_FALSE(ErrIsSet());
  // Exactly 500 units: 21 terminators, the eyecatchers, version, release,
  // time and counter.
  std::u16string fits(500 - 21 - 10 - 1 - 3 - 24 - std::to_string(count + 2).size(), u'x');
  EXPECT_EQ(ErrSetInfo(nullptr, 0, nullptr, 0, fits.c_str(), 0, nullptr), 0);
  EXPECT_EQ(Stored().size(), 500u);
  ASSERT_EQ(ErrSetInfoSys(u"NI", 4, u"ni.cpp", 12, 1, u"f", -1, u"peer %s", u"recv", ECONNRESET, u"h1"), 0);
  ASSERT_EQ(ErrSetInfoSys(u"NI", 4, u"ni.cpp", 13, 1, u"f", -1, u"quiet", u"recv", 0), 0);
  std::vector<Line> e = g.Body();
  ASSERT_EQ(Kinds(e), "E" + std::string(21, 'I') + "LL") << g.Read();
  EXPECT_EQ(e[0].text + "|" + e[1 + ERR_FLD_DETAIL].text,
            "ErrISetSys: error info too large|DETAIL      " + t);
  EXPECT_EQ(e[22].text + "|" + e[23].text,
            "peer h1: recv (" + std::to_string(ECONNRESET) + ": ECONNRESET: " + strerror(ECONNRESET) +
                ") [ni.cpp 12]|quiet: recv [ni.cpp 13]");
}

TEST_F(Err, ReplaceTakesEachFieldsKindOfValue) {
  EXPECT_EQ(ErrReplace(ERR_FLD_MODULE, u"m.c"), ERR_NO_INFO);
  ASSERT_EQ(Install(kSample), 0);
  EXPECT_EQ(Then(ErrReplace(2, u"(77777)new %d", 5), {2, 16, 17}), u"0|new 5|77777|5");
  EXPECT_EQ(Then(ErrReplace(9, u"(00001)d%c", u'Q'), {9, 18, 19}), u"0|dQ|00001|Q");
  EXPECT_EQ(Then(ErrReplace(9, u"det %s", u"x"), {9, 18, 19}), u"0|det x||");
  EXPECT_EQ(Then(ErrReplace(3, 0), {3}) + Then(ErrReplace(14, 9u), {14}) + Then(ErrReplace(4, nullptr), {4}),
            u"0|0|90|");
  EXPECT_EQ(Then(ErrReplace(12, 0), {12, 13}), u"0|0|");
  EXPECT_EQ(Then(ErrReplace(12, 10054), {12, 13}), u"0|10054|WSAECONNRESET: Connection reset by peer");
  EXPECT_EQ(Then(ErrReplace(13, u"text %d"), {13}), u"0|text %d");
  EXPECT_EQ(ErrIGet(nullptr), 0);
  std::u16string before = Stored();
  const std::u16string big(480, u'x');
  EXPECT_EQ((std::vector<int>{ErrReplace(1, u"x"), ErrReplace(10, u"x"), ErrReplace(20, u"x"),
                              ErrReplace(3, u"x"), ErrReplace(7, 5), ErrReplace(2),
                              ErrReplace(2, big.c_str())}),
            (std::vector<int>{-3, -3, -3, -3, -3, -3, ERR_TOO_LARGE}));
  EXPECT_EQ(Stored(), before);
}

TEST_F(Err, ReadingCopyingAndValidation) {
  EXPECT_EQ(Fld(2) + ErrGetAllTxt(), u"");
  ASSERT_EQ(Install(kSample), 0);
  for (int i : {-5, 0, 2, 15, 20, 21, 1000}) {
    EXPECT_EQ(Fld(i), i < 0 ? u"*ERR*" : i <= 20 ? kSample[i] : u"") << i;
  }
  // A copy counts as a new error of this thread; its own record may be put
  // back. Refused copies leave the record alone.
  const long count = Counter();
  std::u16string saved = Stored(), broken = saved;
  const WEQ_UC* rec;
  size_t len;
  ASSERT_EQ(ErrGetAttr(&rec, &len), 0);
  ASSERT_EQ(ErrCpTo(rec, len), 0);
  EXPECT_EQ(Counter(), count + 1);
  std::u16string kept = Stored();
  broken[broken.size() - 3] = u'X';
  EXPECT_EQ(ErrCpTo(broken.data(), broken.size()), ERR_DAMAGED);
  EXPECT_EQ(ErrCpTo((saved + std::u16string(501 - saved.size(), u'a')).data(), 501), ERR_TOO_LARGE);
  EXPECT_EQ(Stored(), kept);
  // Right eyecatchers, too few fields: the missing ones read as empty.
  EXPECT_EQ(Install({u"*ERR*", u"1", u"x", u"*ERR*"}), ERR_INCOMPLETE);
  const WEQ_UC* f[ERR_FLD_COUNT];
  EXPECT_EQ(ErrIGet(f), ERR_INCOMPLETE);
  EXPECT_EQ(std::u16string(f[2]) + f[5] + u"|" + Fld(5), u"x|");
  ASSERT_EQ(ErrClear(), 0);
  EXPECT_EQ(ErrIGet(nullptr), ERR_NO_INFO);
}

TEST_F(Err, LabelledTextAndTraceBanner) {
  TraceFile g(1);
  EXPECT_EQ(ErrTrace(CTrcGlobalHdl), ERR_NO_INFO);
  // Long values wrap at the last blank within 62 units (dropping it), at 62
  // units without one, and at their own newlines; empty fields are left out.
  // '|' below stands for a new line indented by 12 blanks.
  const std::u16string a60(60, u'a');
  Fields f = Split(u"*ERR*||" + a60 + u" bbbbbbbbbb ccccc|-10||||||first\nsecond\n|" + kSample[ERR_FLD_TIME] +
                   u"|||" + std::u16string(70, u'w') + u"||" + a60 + u"a bb|||||*ERR*");
  ASSERT_EQ(Install(f), 0);
  std::u16string text = ErrGetAllTxt(), want;
  for (char16_t c : u"\nLOCATION    " + a60 + u"a|bb\n\nERROR       " + a60 + u"|bbbbbbbbbb ccccc\n" +
                        u"\nTIME        Thu Jan  2 03:04:05 2025\nRC          -10\n" +
                        u"\nDETAIL      first|second\n\nERRNO TEXT  " + std::u16string(62, u'w') +
                        u"|wwwwwwww\n\nCOUNTER     " + Fld(14) + u"\n") {
    want += c == u'|' ? u"\n" + std::u16string(12, u' ') : std::u16string(1, c);
  }
  EXPECT_EQ(text, want);
  // The banner shows the same lines framed, with a line "*" before TIME.
  std::string stars(77, '*');
  std::vector<std::string> banner = {"IErrTrace: no error info available", "I", "I" + stars, "I*"}, seen;
  for (size_t at = 1, nl; at < text.size(); at = nl + 1) {
    nl = text.find(u'\n', at);
    if (text.compare(at, 4, u"TIME") == 0) banner.push_back("I*");
    if (nl > at) banner.push_back("I*  " + ToUtf8(text.substr(at, nl - at)));
  }
  banner.insert(banner.end(), {"I*", "I" + stars, "I"});
  EXPECT_EQ(ErrTrace(CTrcGlobalHdl), 0);
  CTrcLevel.store(0);  // silent with tracing off
  EXPECT_EQ(ErrTrace(CTrcGlobalHdl), 0);
  for (const Line& l : g.Body()) seen.push_back(l.kind + l.text);
  EXPECT_EQ(seen, banner);
  // The text stops at 682 units.
  f = kSample;
  f[ERR_FLD_ERROR] = std::u16string(300, u'e');
  ASSERT_EQ(Install(f), 0);
  EXPECT_EQ(std::u16string(ErrGetAllTxt()).size(), 682u);
}

TEST(ErrText, SystemTextsAgainstTheCLibraryAndPercentEscapes) {
  WEQ_UC buf[300];
  // Every errno value: the C library's own name and text; 2 and 5 give the
  // Windows text as well.
  for (int code = 1; code < 1000; ++code) {
    std::string t = ToUtf8(ErrGetSysTxt(code, buf, 300)), own;
    if (strerrorname_np(code) != nullptr) own = strerrorname_np(code) + std::string(": ") + strerror(code);
    if (code == 2 || code == 5) own.insert(own.find(':'), "*");
    EXPECT_EQ(t.substr(0, t.find(" OR: ")), own) << code;
  }
  const std::pair<int, std::u16string> rows[] = {
      {2, u"ENOENT*: No such file or directory OR: The system cannot find the file specified."},
      {5, u"EIO*: Input/output error OR: Access is denied."},
      {1460, u"ERROR_TIMEOUT: This operation returned because the timeout period expired."},
      {11001, u"WSAHOST_NOT_FOUND: Host not found"}, {0, u""}, {10036, u""}};
  for (const auto& [code, text] : rows) EXPECT_EQ(ErrGetSysTxt(code, buf, 300), text);
  EXPECT_EQ(ErrGetSysTxt(10054, buf, 10) + std::u16string(ErrGetSysTxt(10054, buf + 10, 1)), u"WSAECONNR");
  EXPECT_EQ(ErrGetSysTxt(10054, buf, 0), nullptr);
  // Percent signs doubled, within n units.
  const std::tuple<const char16_t*, size_t, const char16_t*> cases[] = {
      {u"a%b%c", 20, u"a%%b%%c"}, {u"ab%", 4, u"ab"}, {u"ab%", 5, u"ab%%"}, {u"abc", 2, u"a"},
      {u"", 1, u""},              {u"x", 0, nullptr}};
  for (const auto& [src, n, want] : cases) {
    WEQ_UC dst[32];
    std::fill(std::begin(dst), std::end(dst), u'?');
    WEQ_UC* r = ErrEscapePercent(src, dst, n);
    EXPECT_EQ(r ? std::u16string(r) : u"(none)", want ? want : u"(none)");
    EXPECT_EQ(dst[n], u'?') << "wrote beyond n";
  }
}

TEST_F(Err, NetworkFormInUtf8AndEbcdicWithDamagedAndShortInput) {
  ASSERT_EQ(ErrSetInfo(u"CPIC", 3, u"m.c", 9, u"gr\u00fc\u00df %s", -1, u"d \U0001F600", u"\u20ac"), 0);
  const std::u16string rec = Stored();
  char buf[1600];
  size_t len = 0;
  ASSERT_EQ(ErrCpIntToNet(buf, &len, sizeof buf), 0);
  const std::string net(buf, len);
  EXPECT_EQ(net, Encode(rec, "UTF-8"));
  EXPECT_EQ(ErrCpIntToNet(buf, &len, net.size() - 1), ERR_CONVERSION);
  ASSERT_EQ(ErrClear(), 0);
  EXPECT_EQ(ErrCpIntToNet(buf, &len, sizeof buf) + len, 0u);  // no record, no bytes
  // Read from UTF-8 and code page 500. Text outside ASCII takes more bytes
  // than units: more than 500 bytes of a record this library sends itself
  // are read.
  Fields ebcdic = kSample, wide = kSample;
  ebcdic[2] = u"Verbindung [abgebrochen] {x} 100% #@$!|";
  wide[2] = std::u16string(200, u'\u00e9');
  wide[9] = std::u16string(130, u'\u20ac');
  for (const auto& [r, code] :
       {std::pair{rec, "UTF-8"}, {Record(ebcdic), "IBM500"}, {Record(wide), "UTF-8"}}) {
    ASSERT_EQ(NetToInt(Encode(r, code)), 0) << code;
    EXPECT_EQ(Stored(), r);
  }
  EXPECT_GT(Encode(Record(wide), "UTF-8").size(), 900u);
  // Refusals leave the record as it was: over 500 units decoded, over 1500
  // bytes, over 500 bytes of EBCDIC.
  TraceFile g(1);
  const std::u16string kept = Stored();
  EXPECT_EQ((std::vector<int>{NetToInt(Encode(Record(wide), "UTF-8").insert(20, std::string(200, 'z'))),
                              NetToInt(std::string(1501, 'a')),
                              NetToInt("\x5c\xc5\xd9\xd9\x5c" + std::string(496, '@'))}),
            (std::vector<int>{ERR_TOO_LARGE, ERR_TOO_LARGE, ERR_TOO_LARGE}));
  EXPECT_EQ(Stored(), kept);
  // A damaged record stays, and readers see it as damaged; its dump is
  // written at level 1 and leaves the level alone.
  EXPECT_EQ(NetToInt(net.substr(0, net.size() - 3) + "X*" + std::string(1, '\0')), ERR_DAMAGED);
  EXPECT_EQ((std::vector<int>{ErrIsSet(), ErrIGet(nullptr), CTrcLevel.load()}),
            (std::vector<int>{1, ERR_DAMAGED, 1}));
  EXPECT_EQ(Fld(2), rec.substr(8, 6));
  std::string seen;  // errors and dumps
  for (const Line& l : g.Body()) {
    seen += l.kind == 'E' ? l.text + "|" : l.body.rfind("Adresse", 0) == 0 ? "D|" : "";
  }
  EXPECT_EQ(seen.substr(seen.find("ErrCpNetToInt:")),
            "ErrCpNetToInt: bad err info (eyecatcher destroyed)|D|ErrIGet: eyecatcher destroyed|D|");
  // Short and unterminated input never leads a reader beyond what was
  // stored; no input, no record; a character cut short by the end, no
  // record.
  for (size_t n = 0; n < 12; ++n) {
    EXPECT_EQ(NetToInt(std::string("*ERR*\0*ERR*\0", n)), ERR_DAMAGED) << n;
    for (int i = -1; i < 23; ++i) ErrGetFld(i);
  }
  EXPECT_EQ(NetToInt(std::string("*ERR*\0xyz", 9)), ERR_DAMAGED);
  EXPECT_EQ(Joined({1, 2}), u"xyz|");
  EXPECT_EQ((std::vector<int>{ErrCpNetToInt(nullptr, 10), NetToInt(net + "\xe2\x82"), ErrIsSet()}),
            (std::vector<int>{ERR_DAMAGED, ERR_CONVERSION, 0}));
}

}  // namespace
