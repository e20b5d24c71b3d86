// The developer trace read back through the independent checker: file
// header, time stamps, thread tags, the forms of located lines, cuts and
// the calling pattern.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include <string>

#include "krn/dptrc/dptrc.h"
#include "krn/dptrc/dptrc_int.h"
#include "trc_checker.h"
#include "trc_testutil.h"

namespace {

using tovtest::FromUtf8;
using trccheck::Kind;
using trccheck::Line;
using trctest::KernelTid;
using trctest::TraceFile;

// Runs fn until it ran within one second of wall time, so that a test can
// rely on entries sharing a second; returns that second.
template <class Fn>
time_t WithinOneSecond(Fn fn) {
  for (;;) {
    time_t before = time(nullptr);
    fn();
    if (time(nullptr) == before) return before;
  }
}

// --- Files and their header ---------------------------------------------------------

TEST(TraceOpen, HeaderNamesBaseLevelAndRelease) {
  tovtest::TempDir dir;
  // Both separators count for the base name; '\' becomes '/' only when the
  // file is opened.
  std::u16string path = FromUtf8(dir.path()) + u"\\sub\\..\\x.trc";
  mkdir((dir.path() + "/sub").c_str(), 0700);
  CTrcLevel.store(3);
  FILE* f = CTrcOpen(path.c_str(), u"w");
  CTrcLevel.store(0);
  ASSERT_NE(f, nullptr);
  ASSERT_NE(f, stderr);
  fclose(f);
  std::string data = tovtest::ReadFile(dir.File("x.trc"));
  std::string rule(51, '-');
  EXPECT_EQ(data, "\n" + rule + "\ntrc file: \"x.trc\", trc level: 3, release: \"720\"\n" + rule + "\n");
}

TEST(TraceOpen, AppendModeKeepsWhatWasThere) {
  tovtest::TempDir dir;
  tovtest::WriteFile(dir.File("a.trc"), "before\n");
  FILE* f = CTrcOpen(FromUtf8(dir.File("a.trc")).c_str(), u"a");
  ASSERT_NE(f, stderr);
  fclose(f);
  std::vector<Line> l = trccheck::Parse(tovtest::ReadFile(dir.File("a.trc")));
  ASSERT_EQ(l.size(), 5u);
  EXPECT_EQ(l[0].raw, "before");
  EXPECT_EQ(l[1].kind, Kind::kEmpty);
  EXPECT_EQ(l[3].kind, Kind::kHeader);
  EXPECT_EQ(l[3].headerName, "a.trc");
}

TEST(TraceOpen, OnlyTheOpenedStreamIsNotInherited) {
  TraceFile t;
  int flags = fcntl(fileno(t.hdl()), F_GETFD);
  EXPECT_TRUE(flags & FD_CLOEXEC);
  // A failed open falls back to standard error and leaves its flags alone.
  auto r = tovtest::RunInChild([] {
    int before = fcntl(2, F_GETFD);
    FILE* f = CTrcOpen(u"/nonexistent-dir/x.trc", u"w");
    return f == stderr && fcntl(2, F_GETFD) == before && !(before & FD_CLOEXEC) ? 0 : 1;
  });
  EXPECT_EQ(r.exit_code, 0) << r.err;
}

TEST(TraceOpen, NullPathIsStandardErrorWithoutHeader) {
  auto r = tovtest::RunInChild([] { return CTrcOpen(nullptr, u"w") == stderr ? 0 : 1; });
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, "");
}

TEST(TraceOpen, FailedOpenReportsAndWritesHeaderToStandardError) {
  auto r = tovtest::RunInChild([] {
    CTrcLevel.store(1);
    return CTrcOpen(u"/nonexistent-dir\\y.trc", u"w") == stderr ? 0 : 1;
  });
  EXPECT_EQ(r.exit_code, 0);
  std::vector<Line> l = trccheck::Parse(r.err);
  ASSERT_EQ(l.size(), 5u) << r.err;
  EXPECT_EQ(l[0].raw, "*** ERROR => CTrcOpen: fopen /nonexistent-dir\\y.trc");
  EXPECT_EQ(l[1].kind, Kind::kEmpty);
  EXPECT_EQ(l[3].headerName, "y.trc");
  EXPECT_EQ(l[3].headerLevel, 1);
}

TEST(TraceOpen, GlobalOpenFixesLevelOnce) {
  auto r = tovtest::RunInChild([] {
    tovtest::TempDir dir;
    CTRC_HDL first = CTrcOpenGlobal(FromUtf8(dir.File("g1.trc")).c_str(), 1, 2);
    CTRC_HDL second = CTrcOpenGlobal(FromUtf8(dir.File("g2.trc")).c_str(), 0, 3);
    if (first == second || CTrcLevel.load() != 2) return 1;
    fflush(second);
    std::vector<Line> a = trccheck::Parse(tovtest::ReadFile(dir.File("g1.trc")));
    std::vector<Line> b = trccheck::Parse(tovtest::ReadFile(dir.File("g2.trc")));
    // Both headers show the level in force: the first call set it.
    if (a.size() != 4 || a[2].headerLevel != 2 || b.size() != 4 || b[2].headerLevel != 2) return 2;
    // Mode 1 writes from the start, any other mode appends.
    CTrcOpenGlobal(FromUtf8(dir.File("g2.trc")).c_str(), 7, 1);
    CTRC_HDL again = CTrcOpenGlobal(FromUtf8(dir.File("g1.trc")).c_str(), 1, 1);
    fflush(nullptr);
    if (trccheck::Parse(tovtest::ReadFile(dir.File("g2.trc"))).size() != 8) return 3;
    if (trccheck::Parse(tovtest::ReadFile(dir.File("g1.trc"))).size() != 4) return 4;
    return again != nullptr && CTrcLevel.load() == 2 ? 0 : 5;
  });
  EXPECT_EQ(r.exit_code, 0) << r.err;
}

TEST(TraceOpen, HandleToFile) {
  EXPECT_EQ(CTrcHdlToFile(nullptr), stderr);
  TraceFile t;
  EXPECT_EQ(CTrcHdlToFile(t.hdl()), t.hdl());
  EXPECT_EQ(CTrcInitLib(), 0);
  CTrcExitLib();
}

// --- Time stamps and tags -------------------------------------------------------------

TEST(TraceStamp, OneStampPerSecondBeforeTheEntries) {
  time_t second = 0;
  WithinOneSecond([&] {
    TraceFile u;  // a fresh file: the open resets the last second
    DpTrc(u.hdl(), u"first\n");
    DpTrc(u.hdl(), u"second\n");
    std::vector<Line> b = u.Body();
    ASSERT_EQ(b.size(), 3u);
    EXPECT_EQ(b[0].kind, Kind::kStamp);
    EXPECT_EQ(b[0].tag, KernelTid());
    EXPECT_EQ(b[1].text, "first");
    EXPECT_EQ(b[2].text, "second");
    second = time(nullptr);
    // The stamp is the local time of that second in asctime form.
    struct tm tm;
    localtime_r(&second, &tm);
    char expect[32];
    strftime(expect, sizeof expect, "%a %b %e %H:%M:%S %Y", &tm);
    EXPECT_EQ(b[0].text, expect);
  });
}

TEST(TraceStamp, LevelOneStampFollowsAnEmptyLine) {
  WithinOneSecond([] {
    TraceFile t(1);
    DpTrcError(t.hdl(), u"e1");
    DpTrcError(t.hdl(), u"e2");
    std::vector<Line> b = t.Body();
    ASSERT_EQ(b.size(), 4u);
    EXPECT_EQ(b[0].kind, Kind::kEmpty);
    EXPECT_EQ(b[1].kind, Kind::kStamp);
    EXPECT_EQ(b[2].kind, Kind::kError);
    EXPECT_EQ(b[3].kind, Kind::kError);
  });
}

TEST(TraceStamp, HexLinesCarryNoStampContinuationsNoTag) {
  TraceFile t;
  DpTrcHex(t.hdl(), u"hex %d\n", 1);
  std::vector<Line> b = t.Body();
  ASSERT_EQ(b.size(), 1u);
  EXPECT_EQ(b[0].kind, Kind::kInfo);
  EXPECT_EQ(b[0].text, "hex 1");
  WithinOneSecond([] {
    TraceFile u;
    DpTrcCont(u.hdl(), u"a\nb\n");
    std::vector<Line> c = u.Body();
    ASSERT_EQ(c.size(), 3u);
    EXPECT_EQ(c[0].kind, Kind::kStamp);
    EXPECT_EQ(c[0].tag, "");  // the continuation's stamp has no tag either
    EXPECT_EQ(c[1].raw, "a");
    EXPECT_EQ(c[2].raw, "b");
  });
}

TEST(TraceTags, EveryLineOfAnEntryIsTagged) {
  struct Case {
    const char16_t* text;
    const char* expect;  // the file after the header and stamp, tag as "T "
  } cases[] = {
      {u"one\ntwo\n", "T one\nT two\n"},
      {u"one\ntwo", "T one\nT two"},
      {u"\n\n", "T \nT \n"},
      {u"end\n\r", "T end\n\r"},
      {u"end\r\n", "T end\r\n"},
      {u"a\n\rb\n", "T a\nT \rb\n"},
      {u"no newline", "T no newline"},
  };
  for (const Case& c : cases) {
    TraceFile t;
    DpTrcHex(t.hdl(), u"%s", c.text);
    std::string data = t.Read();
    std::string body = data.substr(data.find("---\n", 60) + 4);
    std::string tag = "[Thr " + KernelTid() + "] ";
    std::string expect = c.expect;
    for (size_t p = 0; (p = expect.find("T ", p)) != std::string::npos; p += tag.size()) {
      expect.replace(p, 2, tag);
    }
    EXPECT_EQ(body, expect) << tovtest::Show(c.text);
  }
}

TEST(TraceTags, EntriesWithoutNewlineContinueTheLine) {
  WithinOneSecond([] {
    TraceFile t;
    DpTrc(t.hdl(), u"%s: ", u"f");
    DpTrcCont(t.hdl(), u"more\n");
    std::vector<Line> e = t.Entries();
    ASSERT_EQ(e.size(), 1u);
    EXPECT_EQ(e[0].text, "f: more");
  });
}

// --- Located lines --------------------------------------------------------------------

TEST(TraceLocated, ErrorWarningAndErrnoForms) {
  TraceFile t;
  DpTrcLock();
  DpTrcSetLocation(u"C:\\src\\krn\\ni\\nixxi.cpp", 4711);
  DpTrcError(t.hdl(), u"%s: failed (%d)\n", u"NiRead", -6);
  DpTrcWarning(t.hdl(), u"%s: slow\n", u"NiRead");
  errno = EACCES;
  DpTrcErrno(t.hdl(), u"open %s", u"f");
  int after = errno;
  DpTrcUnlock();
  EXPECT_EQ(after, EACCES);
  std::vector<Line> e = t.Entries();
  ASSERT_EQ(e.size(), 3u) << t.Read();
  EXPECT_EQ(e[0].kind, Kind::kError);
  EXPECT_EQ(e[0].text, "NiRead: failed (-6)");
  EXPECT_EQ(e[0].file12, "nixxi.cpp   ");
  EXPECT_EQ(e[0].lineNo, "4711");
  EXPECT_EQ(e[1].kind, Kind::kWarning);
  EXPECT_EQ(e[1].text, "NiRead: slow");
  EXPECT_EQ(e[2].kind, Kind::kErrno);
  EXPECT_EQ(e[2].text, "open f");
  EXPECT_EQ(e[2].err, EACCES);
  EXPECT_EQ(e[2].errText, strerror(EACCES));
  for (const Line& l : e) EXPECT_EQ(l.tag, KernelTid());
}

TEST(TraceLocated, LocationFieldCutsAndPads) {
  struct Case {
    const char16_t* file;
    int line;
    const char* file12;
    const char* lineNo;
  } cases[] = {
      {u"/a/b/verylongmodulename.cpp", 12, "verylongmodu", "12"},
      {u"x\\y/z.c", 1, "z.c         ", "1"},
      {u"plain.cpp", 1234567, "plain.cpp   ", "12345"},
      {u"dir/", 3, "            ", "3"},
      {nullptr, 0, "            ", "0"},
  };
  for (const Case& c : cases) {
    TraceFile t;
    DpTrcLock();
    DpTrcSetLocation(c.file, c.line);
    DpTrcError(t.hdl(), u"x");
    DpTrcUnlock();
    std::vector<Line> e = t.Entries();
    ASSERT_EQ(e.size(), 1u);
    EXPECT_EQ(e[0].file12, c.file12);
    EXPECT_EQ(e[0].lineNo, c.lineNo);
  }
}

TEST(TraceLocated, ErrnoTextsOfUnknownAndLongErrors) {
  TraceFile t;
  errno = 99999;
  DpTrcErrno(t.hdl(), u"odd");
  errno = 0;
  DpTrcErrno(t.hdl(), u"none");
  std::vector<Line> e = t.Entries();
  ASSERT_EQ(e.size(), 2u);
  EXPECT_EQ(e[0].err, 99999);
  EXPECT_EQ(e[0].errText, "illegal errno");
  EXPECT_EQ(e[1].err, 0);
  EXPECT_EQ(e[1].errText, strerror(0));
}

TEST(TraceLocated, NarrowFormatIsWidenedByteByByte) {
  TraceFile t;
  DpTrcErrorA(t.hdl(), "%s=%d caf\xe9\n", "gss", 5);
  std::vector<Line> e = t.Entries();
  ASSERT_EQ(e.size(), 1u);
  EXPECT_EQ(e[0].kind, Kind::kError);
  EXPECT_EQ(e[0].text, "gss=5 caf\xc3\xa9");  // byte E9 is U+00E9
}

TEST(TraceLocated, LongFormatsAreCutAt1024Units) {
  for (size_t len : {size_t{1023}, size_t{1024}, size_t{1025}, size_t{3000}}) {
    std::u16string fmt(len, u'f');
    std::string narrow(len, 'f');
    TraceFile t;
    DpTrcError(t.hdl(), fmt.c_str());
    DpTrcErrno(t.hdl(), fmt.c_str());
    DpTrcErrorA(t.hdl(), "%s", narrow.c_str());  // an argument is not a format: never cut
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-security"
    DpTrcErrorA(t.hdl(), narrow.c_str());
#pragma GCC diagnostic pop
    std::vector<Line> e = t.Entries();
    bool cut = len > 1024;
    ASSERT_EQ(e.size(), cut ? 6u : 4u) << len;
    size_t i = 0;
    if (cut) {
      EXPECT_EQ(e[i++].raw, "*** ERROR => Dptrc fmt string truncated");
    }
    EXPECT_EQ(e[i++].text.size(), std::min<size_t>(len, 1024));
    EXPECT_EQ(e[i].kind, Kind::kErrno);  // the errno writer cuts silently
    EXPECT_EQ(e[i++].text.size(), std::min<size_t>(len, 1024));
    EXPECT_EQ(e[i++].text.size(), len);
    if (cut) {
      EXPECT_EQ(e[i++].raw, "*** ERROR => Dptrc fmt string truncated");
    }
    EXPECT_EQ(e[i++].text.size(), std::min<size_t>(len, 1024));
  }
}

TEST(TraceLocated, NarrowFormatCutInsideASpecificationDropsIt) {
  std::string fmt(1023, 'a');
  fmt += "%s and more";  // the cut falls right after the '%'
  TraceFile t;
  DpTrcErrorA(t.hdl(), fmt.c_str(), "never");
  std::vector<Line> e = t.Entries();
  ASSERT_EQ(e.size(), 2u);
  EXPECT_EQ(e[1].kind, Kind::kError);
  EXPECT_EQ(e[1].text, std::string(1023, 'a'));
}

TEST(TraceLocated, SysLogCopyKeepsTheFinalNewline) {
  TraceFile t;
  DpTrcLock();
  DpTrcSetLocation(u"mslib.cpp", 77);
  DpTrcSysLog(t.hdl(), u"Q1K", u"%s: server %s down\n", u"MsIAttach", u"srv");
  DpTrcSysLog(t.hdl(), u"Q1K", u"no newline");
  DpTrcUnlock();
  std::vector<Line> e = t.Entries();
  ASSERT_EQ(e.size(), 3u) << t.Read();
  EXPECT_EQ(e[0].kind, Kind::kLog);
  EXPECT_EQ(e[0].file12, "Q1K");
  EXPECT_EQ(e[0].text, "MsIAttach: server srv down");
  EXPECT_EQ(e[1].raw, " [mslib.cpp    77]");
  EXPECT_EQ(e[2].body, "***LOG Q1K=> no newline [mslib.cpp    77]");
}

TEST(TraceLocated, SysLogHookWritesNothing) {
  TraceFile t;
  std::string before = t.Read();
  DpSysLogHook(t.hdl(), u"Q1K", u"%s", u"text");
  EXPECT_EQ(t.Read(), before);
}

// --- Cuts and failures ----------------------------------------------------------------------

TEST(TraceLimits, TextBeyondTheEntryIsCutAndNoted) {
  for (size_t len : {size_t{8000}, size_t{9000}}) {
    std::u16string big(len, u'\u00e4');
    TraceFile t;
    DpTrc(t.hdl(), u"%s\n", big.c_str());
    DpTrcError(t.hdl(), u"%s", big.c_str());
    std::vector<Line> e = t.Entries();
    std::string tag = "[Thr " + KernelTid() + "] ";
    size_t room = 8191 - tag.size();  // units of text that fit after the tag
    if (len <= room) {
      ASSERT_EQ(e.size(), 2u);
      EXPECT_EQ(FromUtf8(e[0].text).size(), len);
      EXPECT_EQ(e[1].kind, Kind::kError);
      continue;
    }
    ASSERT_EQ(e.size(), 4u) << len;
    EXPECT_EQ(FromUtf8(e[0].text), big.substr(0, room));
    EXPECT_EQ(e[1].raw, "*** WARNING => data was truncated");
    // The error line is cut before its location suffix.
    EXPECT_EQ(FromUtf8(e[2].body).size(), 8191 - tag.size());
    EXPECT_EQ(e[2].kind, Kind::kInfo);
    EXPECT_EQ(e[3].raw, "*** WARNING => data was truncated");
  }
}

TEST(TraceLimits, FormatErrorsAreReportedInTheTrace) {
  const WEQ_UC* bad = u"value %y";
  TraceFile t;
  DpTrc(t.hdl(), bad, 1);
  DpTrcError(t.hdl(), bad, 1);
  DpTrcError(t.hdl(), static_cast<const WEQ_UC*>(nullptr));
  std::vector<Line> b = t.Body();
  std::vector<Line> untagged = trccheck::OfKind(b, Kind::kUntagged);
  ASSERT_EQ(untagged.size(), 3u);
  for (const Line& l : untagged) {
    EXPECT_EQ(l.raw.rfind("*** ERROR => vsnprintfU err, errno=", 0), 0u) << l.raw;
    EXPECT_NE(l.raw.find(" [dptrc.cpp "), std::string::npos) << l.raw;
  }
}

TEST(TraceLimits, WritersKeepErrno) {
  TraceFile t;
  errno = ENOSPC;
  DpTrcLock();
  DpTrcSetLocation(u"f.c", 1);
  DpTrc(t.hdl(), u"x\n");
  DpTrcError(t.hdl(), u"%s", u"y");
  DpTrcErrorA(t.hdl(), "z");
  DpTrcUnlock();
  EXPECT_EQ(errno, ENOSPC);
}

// --- Text encoding --------------------------------------------------------------------------

TEST(TraceText, FileIsUtf8WithSupplementaryCharacters) {
  std::u16string text = u"gr\u00fc\u00dfe \u20ac \u4e2d\u6587 \U0001F600 \U00010348 end";
  TraceFile t;
  DpTrc(t.hdl(), u"%s\n", text.c_str());
  DpTrcError(t.hdl(), u"%s", text.c_str());
  std::string data = t.Read();
  EXPECT_TRUE(trccheck::ValidUtf8(data));
  std::vector<Line> e = t.Entries();
  ASSERT_EQ(e.size(), 2u);
  EXPECT_EQ(FromUtf8(e[0].text), text);
  EXPECT_EQ(FromUtf8(e[1].text), text);
}

// --- The calling pattern --------------------------------------------------------------------

int g_evaluated = 0;
int Touch() { return ++g_evaluated; }

TEST(TracePattern, LevelDecidesWhatIsWritten) {
  struct Case {
    int level;
    size_t lines;  // entries written of: info(2), detail(3), error, warning, errno
  } cases[] = {{0, 0}, {1, 3}, {2, 4}, {3, 5}};
  for (const Case& c : cases) {
    TraceFile t(c.level);
    g_evaluated = 0;
    DPTRC_LINE(2, t.hdl(), u"info %d\n", Touch());
    DPTRC_LINE(3, t.hdl(), u"detail %d\n", Touch());
    DPTRC_ERROR(t.hdl(), u"error %d", Touch());
    DPTRC_WARNING(t.hdl(), u"warning %d\n", Touch());
    DPTRC_ERRNO(t.hdl(), u"errno %d", Touch());
    EXPECT_EQ(t.Entries().size(), c.lines) << c.level;
    // Arguments are evaluated only when the line is written.
    EXPECT_EQ(static_cast<size_t>(g_evaluated), c.lines) << c.level;
  }
}

TEST(TracePattern, MacrosRecordTheirOwnLocation) {
  TraceFile t(1);
  int line = __LINE__ + 1;
  DPTRC_ERROR(t.hdl(), u"at %s", u"here");
  DPTRC_SYSLOG(t.hdl(), u"Q1K", u"logged");
  DPTRC_ERROR_A(t.hdl(), "narrow %d", 3);
  std::vector<Line> e = t.Entries();
  ASSERT_EQ(e.size(), 3u);
  EXPECT_EQ(e[0].file12, "dptrc_test.c");
  EXPECT_EQ(e[0].lineNo, std::to_string(line));
  EXPECT_EQ(e[1].kind, Kind::kLog);
  std::string end = " " + std::to_string(line + 1) + "]";
  EXPECT_EQ(e[1].raw.substr(e[1].raw.size() - end.size()), end);
  EXPECT_EQ(e[2].text, "narrow 3");
  EXPECT_EQ(e[2].lineNo, std::to_string(line + 2));
}

TEST(TracePattern, LockNestsOnOneThread) {
  TraceFile t;
  DpTrcLock();
  DpTrcLock();
  DPTRC_LINE(2, t.hdl(), u"nested\n");
  DpTrcUnlock();
  DpTrcUnlock();
  EXPECT_EQ(t.Entries().size(), 1u);
}

TEST(TracePattern, ResetForgetsTheDefaultFile) {
  tovtest::TempDir dir;
  DpTrcIResetForTest();
  CTRC_HDL a = CTrcOpenGlobal(FromUtf8(dir.File("r1.trc")).c_str(), 1, 2);
  DpTrcIResetForTest();
  CTRC_HDL b = CTrcOpenGlobal(FromUtf8(dir.File("r2.trc")).c_str(), 1, 3);
  EXPECT_EQ(CTrcLevel.load(), 3);
  CTrcLevel.store(0);
  DpTrcIResetForTest();
  fclose(a);
  fclose(b);
}

}  // namespace
