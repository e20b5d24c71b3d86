// The error information: setting with message numbers and argument texts,
// replacing, reading, the labelled text and trace banner, the system error
// texts, percent escaping, and the network form against bytes made by the
// C library's converter (UTF-8 and code page 500).
#include "krn/dptrc/err.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <iconv.h>
#include <string.h>

#include <algorithm>
#include <functional>
#include <memory>

#include "trc_testutil.h"

namespace {

using tovtest::FromUtf8;
using trccheck::Kind;
using trccheck::Line;
using trctest::TraceFile;

std::u16string Fld(int i) { return ErrGetFld(i); }
std::u16string Num(long v) { return FromUtf8(std::to_string(v)); }
long Counter() { return std::stol("0" + tovtest::ToUtf8(Fld(ERR_FLD_COUNTER))); }

std::u16string Record(const std::vector<std::u16string>& fields) {
  std::u16string r;
  for (const std::u16string& f : fields) r += f + std::u16string(1, u'\0');
  return r;
}

// Fields joined by '|'.
std::vector<std::u16string> Split(const std::u16string& joined) {
  std::vector<std::u16string> out(1);
  for (char16_t c : joined) {
    if (c == u'|') {
      out.emplace_back();
    } else {
      out.back().push_back(c);
    }
  }
  return out;
}

std::vector<std::u16string> Sample() {
  return Split(
      u"*ERR*|1|partner 'host:sapgw00' not reached|-10|NI (network interface)|720|40|nixxi.cpp|"
      u"3286|NiPConnect2: 10.0.0.1:3300|Thu Jan  2 03:04:05 2025|connect|111|"
      u"ECONNREFUSED: Connection refused|0|CPIC-CALL: 'ThCMINIT'|||||*ERR*");
}

int Install(const std::vector<std::u16string>& fields) {
  std::u16string r = Record(fields);
  return ErrCpTo(r.data(), r.size());
}

std::u16string Stored() {
  const WEQ_UC* rec;
  size_t len;
  return ErrGetAttr(&rec, &len) == 0 ? std::u16string(rec, len) : u"";
}

// UTF-16 to the named encoding through iconv.
std::string Encode(const std::u16string& s, const char* to) {
  iconv_t cd = iconv_open(to, "UTF-16LE");
  std::string out(s.size() * 4, '\0');
  char *ip = reinterpret_cast<char*>(const_cast<char16_t*>(s.data())), *op = out.data();
  size_t il = s.size() * 2, ol = out.size();
  EXPECT_NE(iconv(cd, &ip, &il, &op, &ol), (size_t)-1) << to;
  iconv_close(cd);
  out.resize(out.size() - ol);
  return out;
}

// Input in a heap block of exactly its size: the address sanitizer catches
// any read beyond it.
int NetToInt(const std::string& bytes) {
  std::unique_ptr<char[]> exact(new char[bytes.size() + (bytes.empty() ? 1 : 0)]);
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

TEST_F(Err, SetInfoFillsEveryField) {
  ASSERT_EQ(ErrSetLocation(u"CPIC-CALL: '%s'", u"ThCMINIT"), 0);
  ASSERT_EQ(
      ErrSetInfo(u"CPIC", 3, u"cpicxx.cpp", 812, u"%s failed", -3, u"rc=%d", u"GwConnect", 17), 0);
  long count = Counter();
  ASSERT_EQ(ErrSetInfoSys(u"NI", 40, u"ni.cpp", 7, 0, u"connect to %s", -10, nullptr, u"connect",
                          ECONNREFUSED, u"host"),
            0);
  // '?' where the value is checked below.
  std::vector<std::u16string> want =
      Split(u"*ERR*|1|connect to host|-10|NI|720|40|ni.cpp|7||?|connect|?|?|?|"
            u"CPIC-CALL: 'ThCMINIT'|||||*ERR*");
  for (int i = 0; i < ERR_FLD_COUNT; ++i) {
    if (want[i] != u"?") {
      EXPECT_EQ(Fld(i), want[i]) << i;
    }
  }
  EXPECT_EQ(Fld(ERR_FLD_ERRNO), Num(ECONNREFUSED));
  EXPECT_EQ(Fld(ERR_FLD_ERRNO_TEXT),
            FromUtf8(std::string("ECONNREFUSED: ") + strerror(ECONNREFUSED)));
  EXPECT_EQ(Counter(), count + 1);
  std::string t = tovtest::ToUtf8(Fld(ERR_FLD_TIME));  // local asctime, no newline
  time_t now = time(nullptr);
  char year[8];
  strftime(year, sizeof year, "%Y", localtime(&now));
  EXPECT_EQ(t.size(), 24u);
  EXPECT_EQ(t.substr(20), year);
  // Zero numbers and missing texts give empty fields.
  ASSERT_EQ(ErrSetInfo(nullptr, 0, nullptr, 0, u"again", 0, nullptr), 0);
  for (int i : {3, 4, 6, 7, 8, 9, 11, 12, 13}) EXPECT_EQ(Fld(i), u"") << i;
}

TEST_F(Err, MessageNumbersAndArgumentTexts) {
  struct Case {
    std::function<int()> set;
    std::vector<std::u16string> want;  // ERROR, 16, 17, DETAIL, 18, 19
  };
  const WEQ_UC* noNumber = u"(1234)x%d";
  Case cases[] = {
      {[] { return ErrSetInfo(u"C", 1, u"m", 1, u"(12345)%d", 1, nullptr, 7); },
       {u"7", u"12345", u"7", u"", u"", u""}},
      // Every conversion counts, c and p among them: the detail's
      // arguments are not shifted.
      {[] {
         return ErrSetInfo(u"C", 1, u"m", 1, u"(11111)%c%%%x", 1, u"(22222)n=%d", u'Z', 255, 9);
       },
       {u"Z%ff", u"11111", u"Z;;;;ff", u"n=9", u"22222", u"9"}},
      {[] {
         return ErrSetInfo(u"C", 1, u"m", 1, u"(00004)at %p", 1, u"(00005)%s", (void*)0x1234, u"d");
       },
       {u"at 1234", u"00004", u"1234", u"d", u"00005", u"d"}},
      {[] {
         return ErrSetInfo(u"C", 1, u"m", 1, u"(00006)%5.2f|%-4s|", 1, nullptr, 3.14159, u"ab");
       },
       {u" 3.14|ab  |", u"00006", u" 3.14;;;;ab  ", u"", u"", u""}},
      {[] {
         return ErrSetInfo(u"C", 1, u"m", 1, u"(00007)[%*d]", 1, u"(00008)%lld %u", 5, 42, -1LL,
                           7u);
       },
       {u"[   42]", u"00007", u"   42", u"-1 7", u"00008", u"-1;;;;7"}},
      {[] { return ErrSetInfo(u"C", 1, u"m", 1, u"%d", 1, u"%d", 5, 6); },
       {u"5", u"", u"", u"6", u"", u""}},
      {[&] { return ErrSetInfo(u"C", 1, u"m", 1, noNumber, 1, u"(12345", 8); },
       {u"(1234)x8", u"", u"", u"(12345", u"", u""}},
      // Separator texts inside arguments move nothing.
      {[] {
         return ErrSetInfo(u"C", 1, u"m", 1, u"(00010)%s", 1, u"(00011)%s", u"a::::b", u"c;;;;d");
       },
       {u"a::::b", u"00010", u"a::::b", u"c;;;;d", u"00011", u"c;;;;d"}},
  };
  int n = 0;
  for (const Case& c : cases) {
    ASSERT_EQ(c.set(), 0) << n;
    int fields[] = {2, 16, 17, 9, 18, 19};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(Fld(fields[i]), c.want[i]) << n << " field " << fields[i];
    ++n;
  }
}

TEST_F(Err, TooLargeRecordsAndTheLogFlag) {
  TraceFile g(1, true);
  ASSERT_EQ(ErrSetInfo(u"C", 1, u"m", 1, u"first", 1, nullptr), 0);
  long count = Counter();
  std::u16string d(300, u'd'), t(300, u't');
  EXPECT_EQ(ErrSetInfo(u"C", 1, u"m", 1, d.c_str(), 1, t.c_str()), ERR_TOO_LARGE);
  EXPECT_FALSE(ErrIsSet());
  // Exactly 500 units: 21 terminators, the eyecatchers, version, release,
  // time and counter.
  std::u16string fits(500 - 21 - 10 - 1 - 3 - 24 - std::to_string(count + 2).size(), u'x');
  EXPECT_EQ(ErrSetInfo(nullptr, 0, nullptr, 0, fits.c_str(), 0, nullptr), 0);
  EXPECT_EQ(Stored().size(), 500u);
  ASSERT_EQ(
      ErrSetInfoSys(u"NI", 4, u"ni.cpp", 12, 1, u"f", -1, u"peer %s", u"recv", ECONNRESET, u"h1"),
      0);
  ASSERT_EQ(ErrSetInfoSys(u"NI", 4, u"ni.cpp", 13, 1, u"f", -1, u"quiet", u"recv", 0), 0);
  std::vector<Line> e = g.Entries();
  ASSERT_EQ(e.size(), 24u) << g.Read();
  EXPECT_EQ(e[0].text, "ErrISetSys: error info too large");
  EXPECT_EQ(e[1 + ERR_FLD_ERROR].text, "ERROR       " + std::string(300, 'd'));
  EXPECT_EQ(e[1 + ERR_FLD_DETAIL].text, "DETAIL      " + std::string(300, 't'));
  EXPECT_EQ(e[22].kind, Kind::kLog);
  EXPECT_EQ(e[22].text, "peer h1: recv (" + std::to_string(ECONNRESET) +
                            ": ECONNRESET: " + strerror(ECONNRESET) + ") [ni.cpp 12]");
  EXPECT_EQ(e[23].text, "quiet: recv [ni.cpp 13]");
}

TEST_F(Err, ReplaceTakesEachFieldsKindOfValue) {
  EXPECT_EQ(ErrReplace(ERR_FLD_MODULE, u"m.c"), ERR_NO_INFO);
  ASSERT_EQ(Install(Sample()), 0);
  struct Case {
    std::function<int()> replace;
    std::vector<std::pair<int, std::u16string>> want;
  } cases[] = {
      {[] { return ErrReplace(2, u"(77777)new %d", 5); },
       {{2, u"new 5"}, {16, u"77777"}, {17, u"5"}}},
      {[] { return ErrReplace(9, u"(00001)d%c", u'Q'); }, {{9, u"dQ"}, {18, u"00001"}, {19, u"Q"}}},
      {[] { return ErrReplace(9, u"det %s", u"x"); }, {{9, u"det x"}, {18, u""}, {19, u""}}},
      {[] { return ErrReplace(3, 0); }, {{3, u""}}},
      {[] { return ErrReplace(14, 9u); }, {{14, u"9"}}},
      {[] { return ErrReplace(12, 0); }, {{12, u"0"}, {13, u""}}},
      {[] { return ErrReplace(12, 10054); },
       {{12, u"10054"}, {13, u"WSAECONNRESET: Connection reset by peer"}}},
      {[] { return ErrReplace(15, u"loc %d", 1); }, {{15, u"loc 1"}}},
      {[] { return ErrReplace(18, u"%05d", 42); }, {{18, u"00042"}}},
      {[] { return ErrReplace(7, u"100%"); }, {{7, u"100%"}}},
      {[] { return ErrReplace(13, u"text %d"); }, {{13, u"text %d"}}},
      {[] { return ErrReplace(4, nullptr); }, {{4, u""}}},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(c.replace(), 0);
    for (const auto& [field, value] : c.want) EXPECT_EQ(Fld(field), value) << field;
    EXPECT_EQ(ErrIGet(nullptr), 0);
  }
  std::u16string before = Stored();
  for (int rc : {ErrReplace(1, u"x"), ErrReplace(10, u"x"), ErrReplace(20, u"x"),
                 ErrReplace(3, u"x"), ErrReplace(7, 5), ErrReplace(2)}) {
    EXPECT_EQ(rc, ERR_BAD_FIELD);
  }
  EXPECT_EQ(ErrReplace(2, std::u16string(480, u'x').c_str()), ERR_TOO_LARGE);
  EXPECT_EQ(Stored(), before);
}

TEST_F(Err, ReadingCopyingAndValidation) {
  EXPECT_EQ(Fld(2), u"");
  EXPECT_EQ(std::u16string(ErrGetAllTxt()), u"");
  ASSERT_EQ(Install(Sample()), 0);
  for (int i : {-5, 0, 1, 2, 15, 20, 21, 1000}) {
    EXPECT_EQ(Fld(i), i < 0 ? u"*ERR*" : i <= 20 ? Sample()[i] : u"") << i;
  }
  // A copy counts as a new error of this thread; its own record may be
  // put back.
  long count = Counter();
  std::u16string saved = Stored();
  ASSERT_EQ(ErrCpTo(saved.data(), saved.size()), 0);
  const WEQ_UC* rec;
  size_t len;
  ASSERT_EQ(ErrGetAttr(&rec, &len), 0);
  ASSERT_EQ(ErrCpTo(rec, len), 0);
  EXPECT_EQ(Counter(), count + 2);
  std::u16string kept = Stored();
  std::u16string broken = saved;
  broken[broken.size() - 3] = u'X';
  EXPECT_EQ(ErrCpTo(broken.data(), broken.size()), ERR_DAMAGED);
  EXPECT_EQ(ErrCpTo((saved + std::u16string(501 - saved.size(), u'a')).data(), 501), ERR_TOO_LARGE);
  for (size_t n = 0; n < 12; ++n) {  // too short for both eyecatchers
    std::unique_ptr<WEQ_UC[]> exact(new WEQ_UC[n + 1]);
    memcpy(exact.get(), u"*ERR*\0*ERR*\0", n * 2);
    EXPECT_EQ(ErrCpTo(exact.get(), n), ERR_DAMAGED) << n;
  }
  EXPECT_EQ(Stored(), kept);
  // Right eyecatchers, too few fields.
  TraceFile g(2, true);
  std::u16string few = Record({u"*ERR*", u"1", u"x", u"*ERR*"});
  EXPECT_EQ(ErrCpTo(few.data(), few.size()), ERR_INCOMPLETE);
  const WEQ_UC* f[ERR_FLD_COUNT];
  EXPECT_EQ(ErrIGet(f), ERR_INCOMPLETE);
  EXPECT_EQ(std::u16string(f[2]) + f[5], u"x");
  ASSERT_EQ(ErrClear(), 0);
  EXPECT_EQ(ErrIGet(nullptr), ERR_NO_INFO);
  std::vector<Line> e = g.Entries();
  ASSERT_EQ(e.size(), 2u);
  EXPECT_EQ(e[0].text, "ErrIGet: error info incomplete (4 fields only)");
  EXPECT_EQ(e[1].text, "ErrIGet: no WEQ error info available");
}

TEST_F(Err, AllTextLayoutWrapsAndCuts) {
  const std::u16string pad(12, u' ');
  struct Case {
    std::u16string detail, shown;  // DETAIL and what follows its label
  } cases[] = {
      {u"NiPConnect2: 10.0.0.1:3300", u"NiPConnect2: 10.0.0.1:3300\n"},
      {std::u16string(60, u'a') + u" bbbbbbbbbb ccccc",
       std::u16string(60, u'a') + u"\n" + pad + u"bbbbbbbbbb ccccc\n"},
      {std::u16string(70, u'x'), std::u16string(62, u'x') + u"\n" + pad + u"xxxxxxxx\n"},
      {std::u16string(62, u'a') + u" b", std::u16string(62, u'a') + u"\n" + pad + u" b\n"},
      {u"first\nsecond\n", u"first\n" + pad + u"second\n"},
      {u"w " + std::u16string(130, u'z'), u"w\n" + pad + std::u16string(62, u'z') + u"\n" + pad +
                                              std::u16string(62, u'z') + u"\n" + pad + u"zzzzzz\n"},
  };
  for (const Case& c : cases) {
    std::vector<std::u16string> f = Sample();
    f[ERR_FLD_DETAIL] = c.detail;
    ASSERT_EQ(Install(f), 0);
    EXPECT_EQ(std::u16string(ErrGetAllTxt()),
              u"\nLOCATION    CPIC-CALL: 'ThCMINIT'\n"
              u"\nERROR       partner 'host:sapgw00' not reached\n"
              u"\nTIME        Thu Jan  2 03:04:05 2025"
              u"\nRELEASE     720\n"
              u"\nCOMPONENT   NI (network interface)\n"
              u"\nVERSION     40\n"
              u"\nRC          -10\n"
              u"\nMODULE      nixxi.cpp\n"
              u"\nLINE        3286\n"
              u"\nDETAIL      " +
                  c.shown +
                  u"\nSYSTEM CALL connect\n"
                  u"\nERRNO       111\n"
                  u"\nERRNO TEXT  ECONNREFUSED: Connection refused\n"
                  u"\nCOUNTER     " +
                  Fld(ERR_FLD_COUNTER) + u"\n");
  }
  // Empty fields are left out, TIME is not; the text stops at 682 units.
  std::vector<std::u16string> f(21);
  f[0] = f[20] = u"*ERR*";
  f[2] = u"e";
  ASSERT_EQ(Install(f), 0);
  EXPECT_EQ(std::u16string(ErrGetAllTxt()),
            u"\nERROR       e\n\nTIME        \nCOUNTER     " + Fld(14) + u"\n");
  f = Sample();
  f[ERR_FLD_ERROR] = std::u16string(300, u'e');
  ASSERT_EQ(Install(f), 0);
  std::u16string text = ErrGetAllTxt();
  EXPECT_EQ(text.size(), 682u);
  std::u16string error = u"\nERROR       " + std::u16string(62, u'e') + u"\n" + pad + u"e";
  EXPECT_EQ(text.substr(text.find(u"\nERROR"), error.size()), error);
}

TEST_F(Err, TraceBanner) {
  TraceFile g(1, true);
  EXPECT_EQ(ErrTrace(CTrcGlobalHdl), ERR_NO_INFO);
  std::vector<std::u16string> f = Sample();
  f[ERR_FLD_ERRNO_TEXT] = std::u16string(70, u'w');
  ASSERT_EQ(Install(f), 0);
  EXPECT_EQ(ErrTrace(CTrcGlobalHdl), 0);
  std::string stars(77, '*'), c = tovtest::ToUtf8(Fld(ERR_FLD_COUNTER));
  std::vector<std::string> want = {"ErrTrace: no error info available",
                                   "",
                                   stars,
                                   "*",
                                   "*  LOCATION    CPIC-CALL: 'ThCMINIT'",
                                   "*  ERROR       partner 'host:sapgw00' not reached",
                                   "*",
                                   "*  TIME        Thu Jan  2 03:04:05 2025",
                                   "*  RELEASE     720",
                                   "*  COMPONENT   NI (network interface)",
                                   "*  VERSION     40",
                                   "*  RC          -10",
                                   "*  MODULE      nixxi.cpp",
                                   "*  LINE        3286",
                                   "*  DETAIL      NiPConnect2: 10.0.0.1:3300",
                                   "*  SYSTEM CALL connect",
                                   "*  ERRNO       111",
                                   "*  ERRNO TEXT  " + std::string(62, 'w'),
                                   "*  " + std::string(12, ' ') + "wwwwwwww",
                                   "*  COUNTER     " + c,
                                   "*",
                                   stars,
                                   ""};
  std::vector<Line> e = g.Entries();
  ASSERT_EQ(e.size(), want.size()) << g.Read();
  for (size_t i = 0; i < e.size(); ++i)
    EXPECT_EQ(e[i].kind == Kind::kInfo ? e[i].text : "?", want[i]);
  // Silent with tracing off.
  CTrcLevel.store(0);
  EXPECT_EQ(ErrTrace(CTrcGlobalHdl), 0);
  EXPECT_EQ(g.Entries().size(), want.size());
}

TEST(ErrSysTxt, TableAgainstTheCLibrary) {
  WEQ_UC buf[300];
  // Every errno value: its name and the C library's own text.
  struct Name {
    int code;
    const char* name;
  } names[] = {{EPERM, "EPERM"},           {EAGAIN, "EAGAIN"},         {EDEADLK, "EDEADLK"},
               {EOPNOTSUPP, "EOPNOTSUPP"}, {ECONNRESET, "ECONNRESET"}, {ETIMEDOUT, "ETIMEDOUT"},
               {EHWPOISON, "EHWPOISON"}};
  for (const Name& n : names) {
    std::string t = tovtest::ToUtf8(ErrGetSysTxt(n.code, buf, 300));
    EXPECT_EQ(t.substr(0, t.find(':')), n.name);
  }
  for (int code = 1; code < 1000; ++code) {
    std::string t = tovtest::ToUtf8(ErrGetSysTxt(code, buf, 300));
    if (strerrordesc_np(code) == nullptr) {
      EXPECT_EQ(t, "") << code;
    } else {
      size_t colon = t.find(": ");
      std::string ownText = t.substr(colon + 2, t.find(" OR: ") - colon - 2);
      EXPECT_EQ(ownText, strerror(code)) << code;
      EXPECT_EQ(t[colon - 1] == '*', code == 2 || code == 5) << code;
    }
  }
  struct Row {
    int code;
    const char16_t* text;
  } rows[] = {
      {2, u"ENOENT*: No such file or directory OR: The system cannot find the file specified."},
      {5, u"EIO*: Input/output error OR: Access is denied."},
      {1460, u"ERROR_TIMEOUT: This operation returned because the timeout period expired."},
      {10035, u"WSAEWOULDBLOCK: Resource temporarily unavailable"},
      {10048, u"WSAEADDRINUSE: Address already in use"},
      {10054, u"WSAECONNRESET: Connection reset by peer"},
      {10060, u"WSAETIMEDOUT: Connection timed out"},
      {10061, u"WSAECONNREFUSED: Connection refused"},
      {11001, u"WSAHOST_NOT_FOUND: Host not found"},
      {0, u""},
      {-1, u""},
      {10036, u""}};
  for (const Row& r : rows) EXPECT_EQ(std::u16string(ErrGetSysTxt(r.code, buf, 300)), r.text);
  EXPECT_EQ(std::u16string(ErrGetSysTxt(10054, buf, 10)), u"WSAECONNR");
  EXPECT_EQ(std::u16string(ErrGetSysTxt(10054, buf, 1)), u"");
  EXPECT_EQ(ErrGetSysTxt(10054, buf, 0), nullptr);
}

TEST(ErrEscape, PercentSignsAreDoubled) {
  struct Case {
    const char16_t* src;
    size_t n;
    const char16_t* want;
  } cases[] = {{u"100%", 20, u"100%%"}, {u"a%b%c", 20, u"a%%b%%c"}, {u"ab%", 4, u"ab"},
               {u"ab%", 5, u"ab%%"},    {u"abc", 2, u"a"},          {u"%", 2, u""},
               {u"", 1, u""},           {u"x", 0, nullptr}};
  for (const Case& c : cases) {
    WEQ_UC dst[32];
    std::fill(std::begin(dst), std::end(dst), u'?');
    WEQ_UC* r = ErrEscapePercent(c.src, dst, c.n);
    EXPECT_EQ(r ? std::u16string(r) : u"(none)", c.want ? c.want : u"(none)");
    EXPECT_EQ(dst[c.n], u'?') << "wrote beyond n";
  }
}

TEST_F(Err, NetworkFormRoundTripsInUtf8AndEbcdic) {
  ASSERT_EQ(ErrSetInfo(u"CPIC", 3, u"m.c", 9, u"gr\u00fc\u00df %s", -1, u"d \U0001F600", u"\u20ac"),
            0);
  std::u16string rec = Stored();
  char buf[1600];
  size_t len = 0;
  ASSERT_EQ(ErrCpIntToNet(buf, &len, sizeof buf), 0);
  std::string net(buf, len);
  EXPECT_EQ(net, Encode(rec, "UTF-8"));
  EXPECT_EQ(net.substr(0, 8), std::string("*ERR*\0"
                                          "1\0",
                                          8));
  EXPECT_EQ(ErrCpIntToNet(buf, &len, net.size() - 1), ERR_CONVERSION);
  EXPECT_EQ(ErrCpIntToNet(nullptr, nullptr, 100), ERR_CONVERSION);
  ASSERT_EQ(ErrClear(), 0);
  EXPECT_EQ(ErrCpIntToNet(buf, &len, sizeof buf), 0);
  EXPECT_EQ(len, 0u);
  ASSERT_EQ(NetToInt(net), 0);
  EXPECT_EQ(Stored(), rec);
  // EBCDIC records are read as code page 500.
  std::vector<std::u16string> f = Sample();
  f[2] = u"Verbindung [abgebrochen] {x} 100% #@$!|";
  ASSERT_EQ(NetToInt(Encode(Record(f), "IBM500")), 0);
  EXPECT_EQ(Stored(), Record(f));
  // Text outside ASCII takes more bytes than units: more than 500 bytes of a
  // record this library sends itself are read.
  f[2] = std::u16string(200, u'\u00e9');
  f[9] = std::u16string(130, u'\u20ac');
  ASSERT_GT(Encode(Record(f), "UTF-8").size(), 900u);
  ASSERT_EQ(NetToInt(Encode(Record(f), "UTF-8")), 0);
  EXPECT_EQ(Stored(), Record(f));
}

TEST_F(Err, NetworkFormRefusals) {
  TraceFile g(1, true);
  ASSERT_EQ(ErrSetInfo(u"C", 1, u"m", 1, u"kept", 1, nullptr), 0);
  std::u16string kept = Stored();
  std::vector<std::u16string> f = Sample();
  f[2] = std::u16string(300, u'a');
  f[9] = std::u16string(100, u'b');
  EXPECT_EQ(NetToInt(Encode(Record(f), "UTF-8")), ERR_TOO_LARGE);  // over 500 units decoded
  EXPECT_EQ(NetToInt(std::string(1501, 'a')), ERR_TOO_LARGE);
  EXPECT_EQ(NetToInt("\x5c\xc5\xd9\xd9\x5c" + std::string(496, '\x40')), ERR_TOO_LARGE);
  EXPECT_EQ(Stored(), kept);
  // A damaged record stays, and readers see it as damaged.
  std::string net = Encode(Record(Sample()), "UTF-8");
  EXPECT_EQ(NetToInt(net.substr(0, net.size() - 3) + "X*" + std::string(1, '\0')), ERR_DAMAGED);
  EXPECT_TRUE(ErrIsSet());
  EXPECT_EQ(ErrIGet(nullptr), ERR_DAMAGED);
  EXPECT_EQ(Fld(2), Sample()[2]);
  EXPECT_EQ(CTrcLevel.load(), 1);  // the dump left the level alone
  std::vector<Line> e = g.Entries();
  ASSERT_EQ(trccheck::OfKind(e, Kind::kError).size(), 5u);
  EXPECT_EQ(trccheck::OfKind(e, Kind::kError)[1].text,
            "ErrCpNetToInt2: internal area too small (500<1501)");
  EXPECT_EQ(trccheck::OfKind(e, Kind::kError)[3].text,
            "ErrCpNetToInt: bad err info (eyecatcher destroyed)");
  EXPECT_TRUE(std::any_of(e.begin(), e.end(), [](const Line& l) {
    return l.body == "Adresse   Offset  bad err info";
  }));
  // Short and unterminated input never leads a reader beyond what was
  // stored.
  std::string minimal("*ERR*\0*ERR*\0", 12);
  for (size_t n = 0; n < 12; ++n) {
    EXPECT_EQ(NetToInt(minimal.substr(0, n)), ERR_DAMAGED) << n;
    for (int i = -1; i < 23; ++i) ErrGetFld(i);
  }
  ASSERT_EQ(NetToInt(std::string("*ERR*\0abc*ERR*\0", 15)), 0);
  EXPECT_EQ(Fld(1) + u"|" + Fld(2), u"abc*ERR*|");
  EXPECT_EQ(NetToInt(std::string("*ERR*\0xyz", 9)), ERR_DAMAGED);
  EXPECT_EQ(Fld(1) + u"|" + Fld(2), u"xyz|");
  EXPECT_EQ(ErrCpNetToInt(nullptr, 10), ERR_DAMAGED);
  // A character cut short by the end: no record.
  EXPECT_EQ(NetToInt(net + "\xe2\x82"), ERR_CONVERSION);
  EXPECT_FALSE(ErrIsSet());
}

}  // namespace
