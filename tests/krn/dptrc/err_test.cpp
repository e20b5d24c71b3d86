// The error information: setting, message numbers and argument texts,
// replacing, reading, the labelled text, the trace banner, the system error
// texts and percent escaping.
#include <errno.h>
#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "krn/dptrc/err.h"
#include "krn/dptrc/err_int.h"
#include "trc_checker.h"
#include "trc_testutil.h"

namespace {

using tovtest::FromUtf8;
using tovtest::Show;
using trccheck::Kind;
using trccheck::Line;
using trctest::TraceFile;

std::u16string Fld(int i) { return ErrGetFld(i); }

// Makes the trace file the global handle for a scope.
class GlobalTrace {
 public:
  explicit GlobalTrace(int level) : file_(level) { CTrcGlobalHdl.store(file_.hdl()); }
  ~GlobalTrace() { CTrcGlobalHdl.store(nullptr); }
  const TraceFile& file() const { return file_; }

 private:
  TraceFile file_;
};

// A record made of 21 fields, each with its terminator.
std::u16string Record(const std::vector<std::u16string>& fields) {
  std::u16string r;
  for (const std::u16string& f : fields) {
    r += f;
    r.push_back(0);
  }
  return r;
}

// A record with fixed texts in every field, TIME included.
std::vector<std::u16string> SampleFields() {
  return {u"*ERR*",
          u"1",
          u"partner 'host:sapgw00' not reached",
          u"-10",
          u"NI (network interface)",
          u"720",
          u"40",
          u"nixxi.cpp",
          u"3286",
          u"NiPConnect2: 10.0.0.1:3300",
          u"Thu Jan  2 03:04:05 2025",
          u"connect",
          u"111",
          u"ECONNREFUSED: Connection refused",
          u"0",
          u"CPIC-CALL: 'ThSAPOCMINIT'",
          u"",
          u"",
          u"",
          u"",
          u"*ERR*"};
}

int Install(const std::vector<std::u16string>& fields) {
  std::u16string r = Record(fields);
  return ErrCpTo(r.data(), r.size());
}

class ErrTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ErrClear();
    ErrSetLocation(u"");
  }
  void TearDown() override { ErrClear(); }
};

// --- Setting ---------------------------------------------------------------------------

TEST_F(ErrTest, SetInfoFillsEveryField) {
  ASSERT_EQ(ErrSetLocation(u"CPIC-CALL: '%s'", u"ThCMINIT"), 0);
  int before = std::stoi(std::string(1, '0') + tovtest::ToUtf8(Fld(ERR_FLD_COUNTER)));
  ASSERT_EQ(ErrSetInfo(u"CPIC (TCP/IP) with Unicode", 3, u"cpicxx.cpp", 812, u"%s failed", -3,
                       u"rc=%d", u"GwConnect", 17),
            0);
  EXPECT_TRUE(ErrIsSet());
  EXPECT_EQ(Fld(0), u"*ERR*");
  EXPECT_EQ(Fld(1), u"1");
  EXPECT_EQ(Fld(ERR_FLD_ERROR), u"GwConnect failed");
  EXPECT_EQ(Fld(ERR_FLD_RC), u"-3");
  EXPECT_EQ(Fld(ERR_FLD_COMPONENT), u"CPIC (TCP/IP) with Unicode");
  EXPECT_EQ(Fld(ERR_FLD_RELEASE), u"720");
  EXPECT_EQ(Fld(ERR_FLD_VERSION), u"3");
  EXPECT_EQ(Fld(ERR_FLD_MODULE), u"cpicxx.cpp");
  EXPECT_EQ(Fld(ERR_FLD_LINE), u"812");
  EXPECT_EQ(Fld(ERR_FLD_DETAIL), u"rc=17");
  EXPECT_EQ(Fld(ERR_FLD_SYSCALL), u"");
  EXPECT_EQ(Fld(ERR_FLD_ERRNO), u"");
  EXPECT_EQ(Fld(ERR_FLD_ERRNO_TEXT), u"");
  EXPECT_EQ(Fld(ERR_FLD_LOCATION), u"CPIC-CALL: 'ThCMINIT'");
  EXPECT_EQ(Fld(ERR_FLD_END_EYECATCHER), u"*ERR*");
  EXPECT_EQ(ErrGetLocation(), std::u16string(u"CPIC-CALL: 'ThCMINIT'"));
  // TIME is the local time in asctime form without its newline.
  std::string t = tovtest::ToUtf8(Fld(ERR_FLD_TIME));
  time_t now = time(nullptr);
  struct tm tm;
  localtime_r(&now, &tm);
  char year[8];
  strftime(year, sizeof year, "%Y", &tm);
  ASSERT_EQ(t.size(), 24u) << t;
  EXPECT_EQ(t.substr(20), year);
  ASSERT_EQ(ErrSetInfo(u"C", 0, nullptr, 0, u"again", 0, nullptr), 0);
  EXPECT_EQ(std::stoi(tovtest::ToUtf8(Fld(ERR_FLD_COUNTER))), before + 2);
  // Zero numbers and missing texts leave their fields empty.
  EXPECT_EQ(Fld(ERR_FLD_RC), u"");
  EXPECT_EQ(Fld(ERR_FLD_VERSION), u"");
  EXPECT_EQ(Fld(ERR_FLD_LINE), u"");
  EXPECT_EQ(Fld(ERR_FLD_MODULE), u"");
  EXPECT_EQ(Fld(ERR_FLD_DETAIL), u"");
}

TEST_F(ErrTest, SetInfoSysRecordsCallAndErrno) {
  ASSERT_EQ(ErrSetInfoSys(u"NI", 40, u"nixxi.cpp", 7, 0, u"connect to %s", -10, u"", u"connect",
                          ECONNREFUSED, u"host"),
            0);
  EXPECT_EQ(Fld(ERR_FLD_ERROR), u"connect to host");
  EXPECT_EQ(Fld(ERR_FLD_SYSCALL), u"connect");
  EXPECT_EQ(Fld(ERR_FLD_ERRNO), FromUtf8(std::to_string(ECONNREFUSED)));
  EXPECT_EQ(Fld(ERR_FLD_ERRNO_TEXT), FromUtf8(std::string("ECONNREFUSED: ") + strerror(ECONNREFUSED)));
}

TEST_F(ErrTest, LogFlagWritesTheSystemLogCopy) {
  GlobalTrace g(1);
  ASSERT_EQ(ErrSetInfoSys(u"NI", 40, u"nixxi.cpp", 12, 1, u"failed", -10, u"peer %s", u"recv",
                          ECONNRESET, u"h1"),
            0);
  ASSERT_EQ(ErrSetInfoSys(u"NI", 40, u"nixxi.cpp", 13, 1, u"failed", -10, u"quiet", u"recv", 0), 0);
  std::vector<Line> e = trccheck::OfKind(g.file().Entries(), Kind::kLog);
  ASSERT_EQ(e.size(), 2u) << g.file().Read();
  EXPECT_EQ(e[0].file12, "Q0I");
  EXPECT_EQ(e[0].text, std::string("peer h1: recv (") + std::to_string(ECONNRESET) +
                           ": ECONNRESET: " + strerror(ECONNRESET) + ") [nixxi.cpp 12]");
  EXPECT_EQ(e[1].text, "quiet: recv [nixxi.cpp 13]");
}

TEST_F(ErrTest, MessageNumbersAndArgumentTexts) {
  struct Case {
    std::function<int()> set;
    const char16_t* error;
    const char16_t* descrNo;
    const char16_t* descrVargs;
    const char16_t* detail;
    const char16_t* detailNo;
    const char16_t* detailVargs;
  };
  int dummy = 0;
  const WEQ_UC* noNumber = u"(1234)x%d";
  Case cases[] = {
      {[] { return ErrSetInfo(u"C", 1, u"m", 1, u"(12345)%d", 1, nullptr, 7); },
       u"7", u"12345", u"7", u"", u"", u""},
      {[] { return ErrSetInfo(u"C", 1, u"m", 1, u"(00002)%s=%d", 1, u"", u"a", 5); },
       u"a=5", u"00002", u"a;;;;5", u"", u"", u""},
      // Every conversion counts, c and p included: the detail's arguments
      // are not shifted.
      {[] { return ErrSetInfo(u"C", 1, u"m", 1, u"(11111)%c%%%x", 1, u"(22222)n=%d", u'Z', 255, 9); },
       u"Z%ff", u"11111", u"Z;;;;ff", u"n=9", u"22222", u"9"},
      {[&] {
         return ErrSetInfo(u"C", 1, u"m", 1, u"(00004)at %p", 1, u"(00005)%s", (void*)0x1234, u"d");
       },
       u"at 1234", u"00004", u"1234", u"d", u"00005", u"d"},
      {[] { return ErrSetInfo(u"C", 1, u"m", 1, u"(00006)%5.2f|%-4s|", 1, nullptr, 3.14159, u"ab"); },
       u" 3.14|ab  |", u"00006", u" 3.14;;;;ab  ", u"", u"", u""},
      {[] { return ErrSetInfo(u"C", 1, u"m", 1, u"(00007)[%*d]", 1, u"(00008)%lld %u", 5, 42, -1LL, 7u); },
       u"[   42]", u"00007", u"   42", u"-1 7", u"00008", u"-1;;;;7"},
      {[&] { return ErrSetInfo(u"C", 1, u"m", 1, u"(00009)%n%d", 1, nullptr, &dummy, 3); },
       u"3", u"00009", u";;;;3", u"", u"", u""},
      // Without a number the argument texts stay empty.
      {[] { return ErrSetInfo(u"C", 1, u"m", 1, u"%d", 1, u"%d", 5, 6); },
       u"5", u"", u"", u"6", u"", u""},
      // Not a number of five characters: the text is kept whole.
      {[&] { return ErrSetInfo(u"C", 1, u"m", 1, noNumber, 1, u"(12345", 8); },
       u"(1234)x8", u"", u"", u"(12345", u"", u""},
      {[] { return ErrSetInfo(u"C", 1, u"m", 1, u"(123456)", 1, u"(12345)", 0); },
       u"(123456)", u"", u"", u"", u"12345", u""},
      // Separator texts inside arguments do not move the detail.
      {[] { return ErrSetInfo(u"C", 1, u"m", 1, u"(00010)%s", 1, u"(00011)%s", u"a::::b", u"c;;;;d"); },
       u"a::::b", u"00010", u"a::::b", u"c;;;;d", u"00011", u"c;;;;d"},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(++n);
    ASSERT_EQ(c.set(), 0);
    EXPECT_EQ(Fld(ERR_FLD_ERROR), c.error);
    EXPECT_EQ(Fld(ERR_FLD_DESCR_MSGNO), c.descrNo);
    EXPECT_EQ(Fld(ERR_FLD_DESCR_VARGS), c.descrVargs);
    EXPECT_EQ(Fld(ERR_FLD_DETAIL), c.detail);
    EXPECT_EQ(Fld(ERR_FLD_DETAIL_MSGNO), c.detailNo);
    EXPECT_EQ(Fld(ERR_FLD_DETAIL_VARGS), c.detailVargs);
  }
}

TEST_F(ErrTest, TooLargeLeavesNoRecordAndTracesTheFields) {
  GlobalTrace g(1);
  std::u16string d(300, u'd'), t(300, u't');
  ASSERT_EQ(ErrSetInfo(u"C", 1, u"m", 1, u"first", 1, nullptr), 0);
  std::u16string first = Fld(ERR_FLD_COUNTER);
  EXPECT_EQ(ErrSetInfo(u"C", 1, u"m", 1, d.c_str(), 1, t.c_str()), ERR_TOO_LARGE);
  EXPECT_FALSE(ErrIsSet());
  EXPECT_EQ(Fld(ERR_FLD_ERROR), u"");
  std::vector<Line> e = g.file().Entries();
  ASSERT_EQ(e.size(), 22u) << g.file().Read();
  EXPECT_EQ(e[0].kind, Kind::kError);
  EXPECT_EQ(e[0].text, "ErrISetSys: error info too large");
  EXPECT_EQ(e[1 + ERR_FLD_ERROR].text, "ERROR       " + std::string(300, 'd'));
  EXPECT_EQ(e[1 + ERR_FLD_DETAIL].text, "DETAIL      " + std::string(300, 't'));
  EXPECT_EQ(e[1 + ERR_FLD_RELEASE].text, "RELEASE     720");
  // Just within the limit: 21 terminators, the eyecatchers, the record
  // version, the release, the time and the counter (two sets after "first").
  size_t counterDigits = std::to_string(std::stoi(tovtest::ToUtf8(first)) + 2).size();
  std::u16string fits(500 - 21 - 5 - 5 - 1 - 3 - 24 - counterDigits, u'x');
  EXPECT_EQ(ErrSetInfo(nullptr, 0, nullptr, 0, fits.c_str(), 0, nullptr), 0);
  size_t len = 0;
  const WEQ_UC* rec = nullptr;
  ASSERT_EQ(ErrGetAttr(&rec, &len), 0);
  EXPECT_EQ(len, 500u);
}

// --- Replacing -----------------------------------------------------------------------------

TEST_F(ErrTest, ReplaceTakesEachFieldsKindOfValue) {
  EXPECT_EQ(ErrReplace(ERR_FLD_MODULE, u"m.c"), ERR_NO_INFO);
  ASSERT_EQ(Install(SampleFields()), 0);
  struct Case {
    std::function<int()> replace;
    int field;
    const char16_t* value;
    int other = -1;  // a second field that changes with it
    const char16_t* otherValue = u"";
  } cases[] = {
      {[] { return ErrReplace(2, u"(77777)new %d", 5); }, 2, u"new 5", 16, u"77777"},
      {[] { return ErrReplace(2, u"(77777)new %d", 5); }, 17, u"5"},
      {[] { return ErrReplace(9, u"det %s", u"x"); }, 9, u"det x", 18, u""},
      {[] { return ErrReplace(9, u"(00001)d%c", u'Q'); }, 19, u"Q", 18, u"00001"},
      {[] { return ErrReplace(3, 0); }, 3, u""},
      {[] { return ErrReplace(3, -5); }, 3, u"-5"},
      {[] { return ErrReplace(14, 9u); }, 14, u"9"},
      {[] { return ErrReplace(12, 0); }, 12, u"0", 13, u""},
      {[] { return ErrReplace(12, 10054); }, 12, u"10054", 13, u"WSAECONNRESET: Connection reset by peer"},
      {[] { return ErrReplace(15, u"loc %d", 1); }, 15, u"loc 1"},
      {[] { return ErrReplace(16, u"x%s", u"y"); }, 16, u"xy"},
      {[] { return ErrReplace(18, u"%05d", 42); }, 18, u"00042"},
      {[] { return ErrReplace(7, u"100%"); }, 7, u"100%"},
      {[] { return ErrReplace(8, u"99"); }, 8, u"99"},
      {[] { return ErrReplace(11, u"recv"); }, 11, u"recv"},
      {[] { return ErrReplace(13, u"text %d"); }, 13, u"text %d"},
      {[] { return ErrReplace(4, nullptr); }, 4, u""},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(++n);
    ASSERT_EQ(c.replace(), 0);
    EXPECT_EQ(Fld(c.field), c.value);
    if (c.other >= 0) {
      EXPECT_EQ(Fld(c.other), c.otherValue);
    }
    EXPECT_EQ(ErrIGet(nullptr), 0);
  }
}

TEST_F(ErrTest, ReplaceRefusals) {
  ASSERT_EQ(Install(SampleFields()), 0);
  std::u16string before = Fld(2);
  EXPECT_EQ(ErrReplace(1, u"x"), ERR_BAD_FIELD);
  EXPECT_EQ(ErrReplace(10, u"x"), ERR_BAD_FIELD);  // TIME is not replaced
  EXPECT_EQ(ErrReplace(20, u"x"), ERR_BAD_FIELD);
  EXPECT_EQ(ErrReplace(-1, u"x"), ERR_BAD_FIELD);
  EXPECT_EQ(ErrReplace(3, u"text"), ERR_BAD_FIELD);
  EXPECT_EQ(ErrReplace(7, 5), ERR_BAD_FIELD);
  EXPECT_EQ(ErrReplace(2), ERR_BAD_FIELD);
  std::u16string big(480, u'x');
  EXPECT_EQ(ErrReplace(2, big.c_str()), ERR_TOO_LARGE);
  EXPECT_EQ(Fld(2), before);
  EXPECT_EQ(ErrIGet(nullptr), 0);
}

// --- Reading --------------------------------------------------------------------------------

TEST_F(ErrTest, GetFldIndexes) {
  EXPECT_EQ(Fld(2), u"");  // no record
  ASSERT_EQ(Install(SampleFields()), 0);
  std::vector<std::u16string> f = SampleFields();
  for (int i = 0; i < ERR_FLD_COUNT; ++i) {
    if (i != ERR_FLD_COUNTER) {
      EXPECT_EQ(Fld(i), f[i]) << i;
    }
  }
  EXPECT_EQ(Fld(-5), u"*ERR*");
  EXPECT_EQ(Fld(21), u"");
  EXPECT_EQ(Fld(1000), u"");
}

TEST_F(ErrTest, CopyToCountsAndRefusesBadRecords) {
  ASSERT_EQ(ErrSetInfo(u"C", 1, u"m", 1, u"one", 1, nullptr), 0);
  int count = std::stoi(tovtest::ToUtf8(Fld(ERR_FLD_COUNTER)));
  const WEQ_UC* rec;
  size_t len;
  ASSERT_EQ(ErrGetAttr(&rec, &len), 0);
  std::u16string saved(rec, len);
  ASSERT_EQ(ErrClear(), 0);
  EXPECT_FALSE(ErrIsSet());
  EXPECT_EQ(ErrGetAttr(&rec, &len), ERR_NO_INFO);
  ASSERT_EQ(ErrCpTo(saved.data(), saved.size()), 0);
  EXPECT_EQ(Fld(ERR_FLD_ERROR), u"one");
  EXPECT_EQ(std::stoi(tovtest::ToUtf8(Fld(ERR_FLD_COUNTER))), count + 1);
  // Its own record may be put back.
  ASSERT_EQ(ErrGetAttr(&rec, &len), 0);
  ASSERT_EQ(ErrCpTo(rec, len), 0);
  EXPECT_EQ(std::stoi(tovtest::ToUtf8(Fld(ERR_FLD_COUNTER))), count + 2);

  std::u16string kept(rec, len);
  std::u16string broken = saved;
  broken[broken.size() - 3] = u'X';
  std::u16string tooLong = saved + std::u16string(501 - saved.size(), u'a');
  EXPECT_EQ(ErrCpTo(broken.data(), broken.size()), ERR_DAMAGED);
  EXPECT_EQ(ErrCpTo(tooLong.data(), tooLong.size()), ERR_TOO_LARGE);
  EXPECT_EQ(ErrCpTo(nullptr, 30), ERR_DAMAGED);
  // Short inputs are damaged and read no further than their length.
  for (size_t n = 0; n < 12; ++n) {
    std::unique_ptr<WEQ_UC[]> exact(new WEQ_UC[n + 1]);
    std::u16string src = std::u16string(u"*ERR*\0*ERR*\0", 12).substr(0, n);
    memcpy(exact.get(), src.data(), n * sizeof(WEQ_UC));
    EXPECT_EQ(ErrCpTo(exact.get(), n), ERR_DAMAGED) << n;
  }
  ASSERT_EQ(ErrGetAttr(&rec, &len), 0);
  EXPECT_EQ(std::u16string(rec, len), kept);
}

TEST_F(ErrTest, ValidationOfStoredRecords) {
  GlobalTrace g(2);
  EXPECT_EQ(ErrIGet(nullptr), ERR_NO_INFO);
  // Eyecatchers right but only some fields.
  std::u16string few = Record({u"*ERR*", u"1", u"x", u"*ERR*"});
  ASSERT_EQ(ErrCpTo(few.data(), few.size()), ERR_INCOMPLETE);  // the counter cannot be set
  const WEQ_UC* f[ERR_FLD_COUNT];
  EXPECT_EQ(ErrIGet(f), ERR_INCOMPLETE);
  EXPECT_EQ(std::u16string(f[2]), u"x");
  EXPECT_EQ(std::u16string(f[5]), u"");
  EXPECT_EQ(ErrGetAllTxt(), std::u16string());
  std::vector<Line> e = g.file().Entries();
  std::vector<Line> errors = trccheck::OfKind(e, Kind::kError);
  ASSERT_GE(errors.size(), 1u);
  EXPECT_EQ(errors.back().text, "ErrIGet: error info incomplete (4 fields only)");
  EXPECT_EQ(e[0].text, "ErrIGet: no WEQ error info available");
}

TEST_F(ErrTest, AllTextLayout) {
  ASSERT_EQ(Install(SampleFields()), 0);
  std::u16string counter = Fld(ERR_FLD_COUNTER);
  std::u16string expect =
      u"\nLOCATION    CPIC-CALL: 'ThSAPOCMINIT'\n"
      u"\nERROR       partner 'host:sapgw00' not reached\n"
      u"\nTIME        Thu Jan  2 03:04:05 2025"
      u"\nRELEASE     720\n"
      u"\nCOMPONENT   NI (network interface)\n"
      u"\nVERSION     40\n"
      u"\nRC          -10\n"
      u"\nMODULE      nixxi.cpp\n"
      u"\nLINE        3286\n"
      u"\nDETAIL      NiPConnect2: 10.0.0.1:3300\n"
      u"\nSYSTEM CALL connect\n"
      u"\nERRNO       111\n"
      u"\nERRNO TEXT  ECONNREFUSED: Connection refused\n"
      u"\nCOUNTER     " + counter + u"\n";
  EXPECT_EQ(std::u16string(ErrGetAllTxt()), expect);
  // Empty fields are left out, TIME stays.
  std::vector<std::u16string> f = SampleFields();
  for (int i : {3, 4, 6, 7, 8, 9, 10, 11, 12, 13, 15}) f[i].clear();
  ASSERT_EQ(Install(f), 0);
  EXPECT_EQ(std::u16string(ErrGetAllTxt()),
            u"\nERROR       partner 'host:sapgw00' not reached\n"
            u"\nTIME        "
            u"\nRELEASE     720\n"
            u"\nCOUNTER     " + Fld(ERR_FLD_COUNTER) + u"\n");
}

TEST_F(ErrTest, AllTextWrapsLongValues) {
  const std::u16string pad(12, u' ');
  struct Case {
    std::u16string value;
    std::u16string shown;  // what follows the label
  } cases[] = {
      {std::u16string(60, u'a') + u" " + std::u16string(10, u'b') + u" ccccc",
       std::u16string(60, u'a') + u"\n" + pad + std::u16string(10, u'b') + u" ccccc\n"},
      {std::u16string(70, u'x'), std::u16string(62, u'x') + u"\n" + pad + std::u16string(8, u'x') + u"\n"},
      {std::u16string(62, u'y'), std::u16string(62, u'y') + u"\n"},
      // A blank right after the first 62 units is not within them.
      {std::u16string(62, u'a') + u" b", std::u16string(62, u'a') + u"\n" + pad + u" b\n"},
      {u"first\nsecond", u"first\n" + pad + u"second\n"},
      {u"ends\n", u"ends\n"},
      {u"w " + std::u16string(130, u'z'),
       u"w\n" + pad + std::u16string(62, u'z') + u"\n" + pad + std::u16string(62, u'z') + u"\n" + pad +
           u"zzzzzz\n"},
  };
  for (const Case& c : cases) {
    std::vector<std::u16string> f = SampleFields();
    for (int i : {3, 4, 6, 7, 8, 10, 11, 12, 13, 15}) f[i].clear();
    f[ERR_FLD_DETAIL] = c.value;
    ASSERT_EQ(Install(f), 0);
    std::u16string expect = u"\nERROR       partner 'host:sapgw00' not reached\n"
                            u"\nTIME        "
                            u"\nRELEASE     720\n"
                            u"\nDETAIL      " + c.shown +
                            u"\nCOUNTER     " + Fld(ERR_FLD_COUNTER) + u"\n";
    EXPECT_EQ(std::u16string(ErrGetAllTxt()), expect) << Show(c.value);
  }
}

TEST_F(ErrTest, AllTextIsCutAt682Units) {
  std::vector<std::u16string> f = SampleFields();
  f[ERR_FLD_ERROR] = std::u16string(300, u'e');
  ASSERT_EQ(Install(f), 0);
  std::u16string text = ErrGetAllTxt();
  ASSERT_EQ(text.size(), 682u);
  std::u16string pad(12, u' ');
  std::u16string error = u"\nERROR       ";
  for (int i = 0; i < 5; ++i) error += (i ? pad : u"") + std::u16string(i < 4 ? 62 : 52, u'e') + u"\n";
  std::u16string head = u"\nLOCATION    CPIC-CALL: 'ThSAPOCMINIT'\n" + error;
  EXPECT_EQ(text.substr(0, head.size()), head);
}

TEST_F(ErrTest, TraceBanner) {
  GlobalTrace g(1);
  EXPECT_EQ(ErrTrace(CTrcGlobalHdl), ERR_NO_INFO);
  ASSERT_EQ(Install(SampleFields()), 0);
  std::string counter = tovtest::ToUtf8(Fld(ERR_FLD_COUNTER));
  EXPECT_EQ(ErrTrace(CTrcGlobalHdl), 0);
  std::vector<Line> e = g.file().Entries();
  std::string stars(77, '*');
  std::vector<std::string> expect = {
      "ErrTrace: no error info available",
      "",
      stars,
      "*",
      "*  LOCATION    CPIC-CALL: 'ThSAPOCMINIT'",
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
      "*  ERRNO TEXT  ECONNREFUSED: Connection refused",
      "*  COUNTER     " + counter,
      "*",
      stars,
      "",
  };
  ASSERT_EQ(e.size(), expect.size()) << g.file().Read();
  for (size_t i = 0; i < e.size(); ++i) {
    EXPECT_EQ(e[i].kind, Kind::kInfo) << i;
    EXPECT_EQ(e[i].text, expect[i]) << i;
  }
  // Wrapped fields continue under an empty label.
  std::vector<std::u16string> f = SampleFields();
  f[ERR_FLD_ERRNO_TEXT] = std::u16string(70, u'w');
  ASSERT_EQ(Install(f), 0);
  size_t before = g.file().Entries().size();
  ASSERT_EQ(ErrTrace(CTrcGlobalHdl), 0);
  std::vector<Line> w = g.file().Entries();
  std::vector<std::string> texts;
  for (size_t i = before; i < w.size(); ++i) texts.push_back(w[i].text);
  std::string first = "*  ERRNO TEXT  " + std::string(62, 'w');
  std::string second = "*  " + std::string(12, ' ') + std::string(8, 'w');
  auto at = std::find(texts.begin(), texts.end(), first);
  ASSERT_NE(at, texts.end());
  ASSERT_NE(at + 1, texts.end());
  EXPECT_EQ(*(at + 1), second);
}

TEST_F(ErrTest, TraceIsSilentWhenTracingIsOff) {
  TraceFile t(0);
  CTrcGlobalHdl.store(t.hdl());
  ASSERT_EQ(Install(SampleFields()), 0);
  EXPECT_EQ(ErrTrace(CTrcGlobalHdl), 0);
  CTrcGlobalHdl.store(nullptr);
  EXPECT_EQ(t.Body().size(), 0u);
}

// --- System error texts and escaping ----------------------------------------------------------

#define ERRNO_ROW(e) {e, #e}
struct ErrnoName {
  int code;
  const char* name;
};
const ErrnoName kErrnoNames[] = {
    ERRNO_ROW(EPERM), ERRNO_ROW(ENOENT), ERRNO_ROW(ESRCH), ERRNO_ROW(EINTR), ERRNO_ROW(EIO),
    ERRNO_ROW(ENXIO), ERRNO_ROW(E2BIG), ERRNO_ROW(ENOEXEC), ERRNO_ROW(EBADF), ERRNO_ROW(ECHILD),
    ERRNO_ROW(EAGAIN), ERRNO_ROW(ENOMEM), ERRNO_ROW(EACCES), ERRNO_ROW(EFAULT), ERRNO_ROW(ENOTBLK),
    ERRNO_ROW(EBUSY), ERRNO_ROW(EEXIST), ERRNO_ROW(EXDEV), ERRNO_ROW(ENODEV), ERRNO_ROW(ENOTDIR),
    ERRNO_ROW(EISDIR), ERRNO_ROW(EINVAL), ERRNO_ROW(ENFILE), ERRNO_ROW(EMFILE), ERRNO_ROW(ENOTTY),
    ERRNO_ROW(ETXTBSY), ERRNO_ROW(EFBIG), ERRNO_ROW(ENOSPC), ERRNO_ROW(ESPIPE), ERRNO_ROW(EROFS),
    ERRNO_ROW(EMLINK), ERRNO_ROW(EPIPE), ERRNO_ROW(EDOM), ERRNO_ROW(ERANGE), ERRNO_ROW(EDEADLK),
    ERRNO_ROW(ENAMETOOLONG), ERRNO_ROW(ENOLCK), ERRNO_ROW(ENOSYS), ERRNO_ROW(ENOTEMPTY),
    ERRNO_ROW(ELOOP), ERRNO_ROW(ENOMSG), ERRNO_ROW(EIDRM), ERRNO_ROW(ECHRNG), ERRNO_ROW(EL2NSYNC),
    ERRNO_ROW(EL3HLT), ERRNO_ROW(EL3RST), ERRNO_ROW(ELNRNG), ERRNO_ROW(EUNATCH), ERRNO_ROW(ENOCSI),
    ERRNO_ROW(EL2HLT), ERRNO_ROW(EBADE), ERRNO_ROW(EBADR), ERRNO_ROW(EXFULL), ERRNO_ROW(ENOANO),
    ERRNO_ROW(EBADRQC), ERRNO_ROW(EBADSLT), ERRNO_ROW(EBFONT), ERRNO_ROW(ENOSTR), ERRNO_ROW(ENODATA),
    ERRNO_ROW(ETIME), ERRNO_ROW(ENOSR), ERRNO_ROW(ENONET), ERRNO_ROW(ENOPKG), ERRNO_ROW(EREMOTE),
    ERRNO_ROW(ENOLINK), ERRNO_ROW(EADV), ERRNO_ROW(ESRMNT), ERRNO_ROW(ECOMM), ERRNO_ROW(EPROTO),
    ERRNO_ROW(EMULTIHOP), ERRNO_ROW(EDOTDOT), ERRNO_ROW(EBADMSG), ERRNO_ROW(EOVERFLOW),
    ERRNO_ROW(ENOTUNIQ), ERRNO_ROW(EBADFD), ERRNO_ROW(EREMCHG), ERRNO_ROW(ELIBACC),
    ERRNO_ROW(ELIBBAD), ERRNO_ROW(ELIBSCN), ERRNO_ROW(ELIBMAX), ERRNO_ROW(ELIBEXEC), ERRNO_ROW(EILSEQ),
    ERRNO_ROW(ERESTART), ERRNO_ROW(ESTRPIPE), ERRNO_ROW(EUSERS), ERRNO_ROW(ENOTSOCK),
    ERRNO_ROW(EDESTADDRREQ), ERRNO_ROW(EMSGSIZE), ERRNO_ROW(EPROTOTYPE), ERRNO_ROW(ENOPROTOOPT),
    ERRNO_ROW(EPROTONOSUPPORT), ERRNO_ROW(ESOCKTNOSUPPORT), ERRNO_ROW(EOPNOTSUPP),
    ERRNO_ROW(EPFNOSUPPORT), ERRNO_ROW(EAFNOSUPPORT), ERRNO_ROW(EADDRINUSE), ERRNO_ROW(EADDRNOTAVAIL),
    ERRNO_ROW(ENETDOWN), ERRNO_ROW(ENETUNREACH), ERRNO_ROW(ENETRESET), ERRNO_ROW(ECONNABORTED),
    ERRNO_ROW(ECONNRESET), ERRNO_ROW(ENOBUFS), ERRNO_ROW(EISCONN), ERRNO_ROW(ENOTCONN),
    ERRNO_ROW(ESHUTDOWN), ERRNO_ROW(ETOOMANYREFS), ERRNO_ROW(ETIMEDOUT), ERRNO_ROW(ECONNREFUSED),
    ERRNO_ROW(EHOSTDOWN), ERRNO_ROW(EHOSTUNREACH), ERRNO_ROW(EALREADY), ERRNO_ROW(EINPROGRESS),
    ERRNO_ROW(ESTALE), ERRNO_ROW(EUCLEAN), ERRNO_ROW(ENOTNAM), ERRNO_ROW(ENAVAIL), ERRNO_ROW(EISNAM),
    ERRNO_ROW(EREMOTEIO), ERRNO_ROW(EDQUOT), ERRNO_ROW(ENOMEDIUM), ERRNO_ROW(EMEDIUMTYPE),
    ERRNO_ROW(ECANCELED), ERRNO_ROW(ENOKEY), ERRNO_ROW(EKEYEXPIRED), ERRNO_ROW(EKEYREVOKED),
    ERRNO_ROW(EKEYREJECTED), ERRNO_ROW(EOWNERDEAD), ERRNO_ROW(ENOTRECOVERABLE), ERRNO_ROW(ERFKILL),
    ERRNO_ROW(EHWPOISON),
};

std::u16string SysTxt(int code, size_t len = 300) {
  std::vector<WEQ_UC> buf(len + 1, u'?');
  return ErrGetSysTxt(code, buf.data(), len);
}

TEST(ErrSysTxt, EveryErrnoHasItsNameAndText) {
  std::vector<bool> named(1000, false);
  for (const ErrnoName& r : kErrnoNames) {
    named[r.code] = true;
    std::string expect = std::string(r.name) + (r.code == 2 || r.code == 5 ? "*" : "") + ": " +
                         strerror(r.code);
    std::string got = tovtest::ToUtf8(SysTxt(r.code));
    if (r.code == 2 || r.code == 5) got = got.substr(0, got.find(" OR: "));
    EXPECT_EQ(got, expect) << r.code;
  }
  // Nothing else below 1000.
  for (int code = 0; code < 1000; ++code) {
    if (!named[code]) {
      EXPECT_EQ(SysTxt(code), u"") << code;
    }
  }
}

TEST(ErrSysTxt, PeerRowsAndCuts) {
  struct Case {
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
      {10036, u""},
  };
  for (const Case& r : rows) EXPECT_EQ(SysTxt(r.code), r.text) << r.code;
  EXPECT_EQ(SysTxt(10054, 10), u"WSAECONNR");
  EXPECT_EQ(SysTxt(10054, 1), u"");
  WEQ_UC buf[4];
  EXPECT_EQ(ErrGetSysTxt(10054, buf, 0), nullptr);
  EXPECT_EQ(ErrGetSysTxt(10054, nullptr, 10), nullptr);
}

TEST(ErrEscape, PercentSignsAreDoubled) {
  struct Case {
    const char16_t* src;
    size_t n;
    const char16_t* expect;  // nullptr: no result
  } cases[] = {
      {u"100%", 20, u"100%%"},  {u"a%b%c", 20, u"a%%b%%c"}, {u"ab%", 4, u"ab"},
      {u"ab%", 5, u"ab%%"},     {u"abc", 2, u"a"},          {u"%", 2, u""},
      {u"", 1, u""},            {u"x", 0, nullptr},         {u"%%", 5, u"%%%%"},
  };
  for (const Case& c : cases) {
    WEQ_UC dst[32];
    memset(dst, 0x55, sizeof dst);
    WEQ_UC* r = ErrEscapePercent(c.src, dst, c.n);
    if (c.expect == nullptr) {
      EXPECT_EQ(r, nullptr);
      continue;
    }
    ASSERT_EQ(r, dst);
    EXPECT_EQ(std::u16string(dst), c.expect) << Show(c.src) << " " << c.n;
    EXPECT_EQ(dst[c.n], 0x5555) << "wrote beyond n";
  }
  EXPECT_EQ(ErrEscapePercent(nullptr, nullptr, 5), nullptr);
}

}  // namespace
