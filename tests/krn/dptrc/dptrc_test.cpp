// The developer trace read back through the independent checker: file
// header, time stamps, thread tags, the forms of located lines, cuts and
// the calling pattern.
#include "krn/dptrc/dptrc.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <string.h>
#include <time.h>

#include "trc_testutil.h"

namespace {

using tovtest::FromUtf8;
using trccheck::Kind;
using trccheck::Line;
using trctest::KernelTid;
using trctest::TraceFile;

// Runs fn again until it ran within one second of wall time.
template <class Fn>
void WithinOneSecond(Fn fn) {
  for (time_t before = 0; before != time(nullptr);) {
    before = time(nullptr);
    fn();
  }
}

TEST(TraceOpen, HeaderModesAndInheritance) {
  tovtest::TempDir dir;
  tovtest::WriteFile(dir.File("x.trc"), "before\n");
  CTrcLevel.store(3);
  // Both separators end a directory; '\' becomes '/' only at the open.
  FILE* f = CTrcOpen((FromUtf8(dir.path()) + u"\\.\\x.trc").c_str(), u"a");
  CTrcLevel.store(0);
  ASSERT_NE(f, stderr);
  EXPECT_TRUE(fcntl(fileno(f), F_GETFD) & FD_CLOEXEC);
  fclose(f);
  std::string rule(51, '-');
  EXPECT_EQ(tovtest::ReadFile(dir.File("x.trc")),
            "before\n\n" + rule + "\ntrc file: \"x.trc\", trc level: 3, release: \"720\"\n" + rule +
                "\n");
  f = CTrcOpen(FromUtf8(dir.File("x.trc")).c_str(), u"w");
  fclose(f);
  EXPECT_EQ(trccheck::Parse(tovtest::ReadFile(dir.File("x.trc"))).size(), 4u);
  EXPECT_EQ(CTrcHdlToFile(nullptr), stderr);
  EXPECT_EQ(CTrcInitLib(), 0);
}

TEST(TraceOpen, FallbacksToStandardError) {
  auto r = tovtest::RunInChild([] { return CTrcOpen(nullptr, u"w") == stderr ? 0 : 1; });
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, "");
  // A failed open says so, writes the header to standard error and leaves
  // standard error inherited.
  r = tovtest::RunInChild([] {
    CTrcLevel.store(1);
    int before = fcntl(2, F_GETFD);
    FILE* f = CTrcOpen(u"/nonexistent-dir\\y.trc", u"w");
    return f == stderr && fcntl(2, F_GETFD) == before && !(before & FD_CLOEXEC) ? 0 : 1;
  });
  EXPECT_EQ(r.exit_code, 0);
  std::vector<Line> l = trccheck::Parse(r.err);
  ASSERT_EQ(l.size(), 5u) << r.err;
  EXPECT_EQ(l[0].raw, "*** ERROR => CTrcOpen: fopen /nonexistent-dir\\y.trc");
  EXPECT_EQ(l[3].kind, Kind::kHeader);
  EXPECT_EQ(l[3].text, "y.trc");
  EXPECT_EQ(l[3].headerLevel, 1);
}

TEST(TraceOpen, GlobalOpenFixesLevelAndDefaultFileOnce) {
  auto r = tovtest::RunInChild([] {
    tovtest::TempDir dir;
    auto path = [&](const char* n) { return FromUtf8(dir.File(n)); };
    auto lines = [&](const char* n) { return trccheck::Parse(tovtest::ReadFile(dir.File(n))); };
    CTrcOpenGlobal(path("g1").c_str(), 1, 2);
    CTRC_HDL second = CTrcOpenGlobal(path("g2").c_str(), 0, 3);
    fflush(second);
    if (CTrcLevel.load() != 2 || lines("g1")[2].headerLevel != 2 ||
        lines("g2")[2].headerLevel != 2) {
      return 1;
    }
    CTrcOpenGlobal(path("g2").c_str(), 7, 1);  // any mode but 1 appends
    CTrcOpenGlobal(path("g1").c_str(), 1, 1);  // 1 writes from the start
    fflush(nullptr);
    return lines("g2").size() == 8 && lines("g1").size() == 4 && CTrcLevel.load() == 2 ? 0 : 2;
  });
  EXPECT_EQ(r.exit_code, 0) << r.err;
}

TEST(TraceStamp, OncePerSecondBeforeTheEntries) {
  WithinOneSecond([] {
    TraceFile t;
    DpTrcHex(t.hdl(), u"hex\n");  // no stamp of its own
    DpTrc(t.hdl(), u"a\n");
    DpTrc(t.hdl(), u"b\n");
    DpTrcCont(t.hdl(), u"c\n");
    std::vector<Line> b = t.Body();
    ASSERT_EQ(b.size(), 5u);
    EXPECT_EQ(b[0].text, "hex");
    EXPECT_EQ(b[1].kind, Kind::kStamp);
    EXPECT_EQ(b[1].tag, KernelTid());
    time_t now = time(nullptr);
    char expect[32];
    strftime(expect, sizeof expect, "%a %b %e %H:%M:%S %Y", localtime(&now));
    EXPECT_EQ(b[1].text, expect);
    EXPECT_EQ(b[4].raw, "c");
  });
  WithinOneSecond([] {
    TraceFile t(1);
    DpTrcCont(t.hdl(), u"c\n");  // at level 1 an empty line first; untagged here
    DpTrcError(t.hdl(), u"e");
    std::vector<Line> b = t.Body();
    ASSERT_EQ(b.size(), 4u);
    EXPECT_EQ(b[0].kind, Kind::kEmpty);
    EXPECT_EQ(b[1].kind, Kind::kStamp);
    EXPECT_EQ(b[1].tag, "");
    EXPECT_EQ(b[3].kind, Kind::kError);
  });
}

TEST(TraceTags, EveryLineOfAnEntryIsTagged) {
  const char16_t* texts[] = {u"one\ntwo\n", u"one\ntwo", u"\n\n",
                             u"end\n\r",    u"a\n\rb\n", u"no nl"};
  const char* expect[] = {"T one\nT two\n", "T one\nT two", "T \nT \n",
                          "T end\n\r",      "T a\nT \rb\n", "T no nl"};
  std::string tag = "[Thr " + KernelTid() + "] ";
  for (int i = 0; i < 6; ++i) {
    TraceFile t;
    DpTrcHex(t.hdl(), u"%s", texts[i]);
    DpTrcCont(t.hdl(), u"%s", texts[i]);  // the same without any tag
    std::string want = expect[i];
    for (size_t p = 0; (p = want.find("T ", p)) != std::string::npos; p += tag.size()) {
      want.replace(p, 2, tag);
    }
    std::string plain = expect[i];
    for (size_t p = 0; (p = plain.find("T ", p)) != std::string::npos;) plain.erase(p, 2);
    std::string data = t.Read();
    std::string body = data.substr(data.find("---\n", 60) + 4);
    ASSERT_EQ(body.substr(0, want.size()), want) << i;
    EXPECT_EQ(body.substr(body.size() - plain.size()), plain) << i;
  }
}

TEST(TraceLocated, ErrorWarningErrnoAndLogForms) {
  struct Case {
    const char16_t* file;
    int line;
    const char* file12;
    const char* lineNo;
  } where[] = {{u"C:\\src\\krn\\ni\\nixxi.cpp", 4711, "nixxi.cpp   ", "4711"},
               {u"/a/b/verylongmodulename.cpp", 12, "verylongmodu", "12"},
               {u"x\\y/z.c", 1234567, "z.c         ", "12345"},
               {nullptr, 0, "            ", "0"}};
  for (const Case& c : where) {
    TraceFile t;
    DpTrcLock();
    DpTrcSetLocation(c.file, c.line);
    DpTrcError(t.hdl(), u"%s: failed (%d)\n", u"NiRead", -6);
    DpTrcWarning(t.hdl(), u"%s: slow", u"NiRead");
    errno = EACCES;
    DpTrcErrno(t.hdl(), u"open %s\n", u"f");
    EXPECT_EQ(errno, EACCES);
    errno = 99999;
    DpTrcErrno(t.hdl(), u"odd");
    DpTrcErrorA(t.hdl(), "%s=%d caf\xe9\n", "gss", 5);  // bytes widen as Latin-1
    DpTrcSysLog(t.hdl(), u"Q1K", u"%s down\n", u"srv");
    DpTrcUnlock();
    std::vector<Line> e = t.Entries();
    ASSERT_EQ(e.size(), 7u) << t.Read();
    Kind kinds[] = {Kind::kError, Kind::kWarning, Kind::kErrno, Kind::kErrno, Kind::kError};
    const char* texts[] = {"NiRead: failed (-6)", "NiRead: slow", "open f", "odd",
                           "gss=5 caf\xc3\xa9"};
    for (int i = 0; i < 5; ++i) {
      EXPECT_EQ(e[i].kind, kinds[i]) << i;
      EXPECT_EQ(e[i].text, texts[i]) << i;
      EXPECT_EQ(e[i].file12, c.file12) << i;
      EXPECT_EQ(e[i].lineNo, c.lineNo) << i;
      EXPECT_EQ(e[i].tag, KernelTid());
    }
    EXPECT_EQ(e[2].errText, strerror(EACCES));
    EXPECT_EQ(e[3].errText, "illegal errno");
    // The log copy keeps its final newline, so the location follows alone.
    EXPECT_EQ(e[5].kind, Kind::kLog);
    EXPECT_EQ(e[5].file12, "Q1K");
    EXPECT_EQ(e[5].text, "srv down");
    EXPECT_EQ(e[6].raw, std::string(" [") + c.file12 + " " + c.lineNo + "]");
  }
  TraceFile t;
  DpSysLogHook(t.hdl(), u"Q1K", u"%s", u"never written");
  EXPECT_EQ(t.Body().size(), 0u);
}

TEST(TraceLimits, LocatedFormatsAreCutAt1024Units) {
  for (size_t len : {size_t{1024}, size_t{1025}, size_t{3000}}) {
    TraceFile t;
    std::u16string fmt(len, u'f');
    DpTrcError(t.hdl(), fmt.c_str());
    DpTrcErrno(t.hdl(), fmt.c_str());                           // cuts without a note
    DpTrcErrorA(t.hdl(), "%s", std::string(len, 'a').c_str());  // an argument is never cut
    std::vector<Line> e = t.Entries();
    bool cut = len > 1024;
    ASSERT_EQ(e.size(), cut ? 4u : 3u) << len;
    if (cut) {
      EXPECT_EQ(e[0].raw, "*** ERROR => Dptrc fmt string truncated");
    }
    EXPECT_EQ(e[cut].text, std::string(1024, 'f'));
    EXPECT_EQ(e[cut + 1].kind, Kind::kErrno);
    EXPECT_EQ(e[cut + 1].text, std::string(1024, 'f'));
    EXPECT_EQ(e[cut + 2].text, std::string(len, 'a'));
  }
  // An 8-bit format cut right after a '%' loses that specification.
  TraceFile t;
  DpTrcErrorA(t.hdl(), (std::string(1023, 'a') + "%s and more").c_str(), "never");
  std::vector<Line> e = t.Entries();
  ASSERT_EQ(e.size(), 2u);
  EXPECT_EQ(e[1].text, std::string(1023, 'a'));
}

TEST(TraceLimits, EntriesAreCutAndFormatErrorsNoted) {
  std::string tag = "[Thr " + KernelTid() + "] ";
  for (size_t len : {size_t{8000}, size_t{9000}}) {
    std::u16string big(len, u'\u00e4');
    TraceFile t;
    DpTrc(t.hdl(), u"%s\n", big.c_str());
    DpTrcError(t.hdl(), u"%s", big.c_str());
    std::vector<Line> e = t.Entries();
    if (len == 8000) {
      ASSERT_EQ(e.size(), 2u);
      EXPECT_EQ(FromUtf8(e[0].text), big);
      EXPECT_EQ(e[1].kind, Kind::kError);
      continue;
    }
    // 8191 units per entry, tag included; the error line loses its suffix.
    ASSERT_EQ(e.size(), 4u);
    EXPECT_EQ(FromUtf8(e[0].raw).size(), 8191u);
    EXPECT_EQ(e[1].raw, "*** WARNING => data was truncated");
    EXPECT_EQ(FromUtf8(e[2].raw).size(), 8191u);
    EXPECT_EQ(e[2].body.rfind("*** ERROR => \xc3\xa4", 0), 0u);
    EXPECT_EQ(e[3].raw, "*** WARNING => data was truncated");
  }
  const WEQ_UC* bad = u"value %y";
  TraceFile t;
  DpTrc(t.hdl(), bad, 1);
  DpTrcError(t.hdl(), static_cast<const WEQ_UC*>(nullptr));
  std::vector<Line> e = t.Entries();
  ASSERT_EQ(e.size(), 2u);
  for (const Line& l : e)
    EXPECT_EQ(l.raw.rfind("*** ERROR => vsnprintfU err, errno=", 0), 0u) << l.raw;
}

TEST(TraceText, FileIsUtf8WithSupplementaryCharacters) {
  std::u16string text = u"gr\u00fc\u00dfe \u20ac \u4e2d\u6587 \U0001F600 \U00010348";
  TraceFile t;
  DpTrc(t.hdl(), u"%s\n", text.c_str());
  DpTrcWarning(t.hdl(), u"%s", text.c_str());
  EXPECT_TRUE(trccheck::ValidUtf8(t.Read()));
  std::vector<Line> e = t.Entries();
  ASSERT_EQ(e.size(), 2u);
  EXPECT_EQ(FromUtf8(e[0].text), text);
  EXPECT_EQ(FromUtf8(e[1].text), text);
}

int g_evaluated = 0;
int Touch() { return ++g_evaluated; }

TEST(TracePattern, LevelDecidesWhatIsWrittenAndEvaluated) {
  for (int level = 0; level <= 3; ++level) {
    TraceFile t(level);
    g_evaluated = 0;
    int line = __LINE__ + 1;
    DPTRC_ERROR(t.hdl(), u"error %d", Touch());
    DPTRC_WARNING(t.hdl(), u"warning %d\n", Touch());
    DPTRC_ERRNO(t.hdl(), u"errno %d", Touch());
    DPTRC_ERROR_A(t.hdl(), "narrow %d", Touch());
    DPTRC_SYSLOG(t.hdl(), u"Q1K", u"log %d", Touch());
    DPTRC_LINE(2, t.hdl(), u"info %d\n", Touch());
    DPTRC_LINE(3, t.hdl(), u"detail %d\n", Touch());
    int written = level == 0 ? 0 : level == 1 ? 5 : level + 4;
    EXPECT_EQ(g_evaluated, written) << level;
    std::vector<Line> e = t.Entries();
    ASSERT_EQ(e.size(), static_cast<size_t>(written)) << level;
    for (int i = 0; i < std::min(written, 4); ++i) {
      EXPECT_EQ(e[i].file12, "dptrc_test.c");  // the macro's own file and line
      EXPECT_EQ(e[i].lineNo, std::to_string(line + i));
    }
  }
  TraceFile t;
  DpTrcLock();
  DpTrcLock();
  DPTRC_LINE(2, t.hdl(), u"nested\n");
  DpTrcUnlock();
  DpTrcUnlock();
  EXPECT_EQ(t.Entries().size(), 1u);
}

}  // namespace
