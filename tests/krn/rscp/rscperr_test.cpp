// Converter error reports: what a report records, how a stack prints in both
// styles, what goes to the system log, and the fatal path. Expected prints
// are written out from the documented line formats.
#include <errno.h>
#include <signal.h>
#include <string.h>

#include <random>

#include "rscp_testutil.h"
#include "support/testsupport.h"

namespace {

using namespace rscptest;
using Lines = std::vector<std::u16string>;
using tovtest::ToUtf8;

const std::u16string kTop = u".------------------------------============----------------------------.";
const std::u16string kTitle = u"|                              RSCP - Error                            |";
const std::u16string kSep = u"|----------------------------------------------------------------------|";
const std::u16string kBottom = u"`----------------------------------------------------------------------'";
const std::u16string kPlainSep = u"----------------------------------------";
const std::u16string kPlainEnd = u"---------------------------------------.";

std::u16string U16(const std::string& s) { return tovtest::FromUtf8(s); }

// The reference report of these tests: file not found, then I/O error 8.
void PushAndReport() {
  rscpePushOsError(ENOENT, u"open TCPDB.DAT", 0);
  ASSERT_EQ(rscpe__error(RSCPEIO, u'C', -1, kTestModule, 17, 420, u"cannot open file", u"CP1",
                         u"TCPDB.DAT", -1, nullptr, 0),
            RSCPEIO);
}

const rscpErrStack_t& Stack() { return *rscpeg__get_thr_errors(); }

class ErrorReport : public ConverterTest {};

TEST_F(ErrorReport, PushThenReportRecordsBothEntries) {
  tovtest::CaptureFd err;
  PushAndReport();
  const std::string log = err.Take();
  const rscpErrStack_t& st = Stack();
  ASSERT_EQ(st.count, 2);
  const rscpErrEntry_t& f = st.entries[0];
  const rscpErrEntry_t& c = st.entries[1];
  EXPECT_EQ(f.errClass, u'F');
  EXPECT_EQ((std::vector<uint32_t>{f.seqNo, c.seqNo}), (std::vector<uint32_t>{1, 2}));
  EXPECT_EQ(st.osErrno, ENOENT);
  EXPECT_EQ(Field(st.osText, 72), Pad(u"open TCPDB.DAT", 72));
  EXPECT_EQ(Field(st.initName, 30), Pad(u"", 30));
  EXPECT_EQ(c.errClass, u'C');
  EXPECT_EQ((std::vector<int>{c.rc, c.location, c.line, c.param1Len, c.param2Len, c.logged}),
            (std::vector<int>{8, 17, 420, 9, 0, 1}));
  EXPECT_EQ(Field(c.module, 8), u"rscpll  ");
  EXPECT_EQ(Field(c.msgArea, 20), Pad(u"TS", 20));
  EXPECT_EQ(Field(c.msgNumber, 3) + Field(c.msgCode, 3), u"004CP1");
  EXPECT_EQ(Field(c.param1, 64), Pad(u"TCPDB.DAT", 64));
  EXPECT_EQ(Field(c.param2, 64), Pad(u"", 64));
  EXPECT_EQ(Field(c.text, 68), Pad(u"cannot open file", 68));
  // Code 8 asks for the system log: the newest entry first, each once.
  EXPECT_EQ(log, "Syslog: k CP1 : " + ToUtf8(Pad(u"TCPDB.DAT", 53)) + "rscpll   17\n" +
                     "Syslog: open TCPDB.DAT\n");
}

// Option 23 decides whether a 'C' entry names its class; Java reads the
// stack through GetLastError either way.
TEST_F(ErrorReport, PushThenReportPrintsInBothStyles) {
  const std::u16string errnoLine = U16("| errno     2  " + std::string(strerror(ENOENT)));
  const std::u16string plainErrno = U16("errno: 2  " + std::string(strerror(ENOENT)));
  const Lines boxBody = {
      u"| code:    8  RSCPEIO      Some I/O error.                             |",
      u"| cannot open file                                                     |",
      u"| module: rscpll   no:   17 line:   420                    T100: TS004 |",
      u"| TSL01: CP1  p3: TCPDB.DAT                                            |",
      kSep,
      u"| Error propagation from: Filesystem (FS or NFS) usage                 |",
      u"| open TCPDB.DAT                                                       |",
      errnoLine + std::u16string(71 - errnoLine.size(), u' ') + u"|",
      kBottom,
  };
  const std::u16string classC = u"| Error from:             Codepage handling (RSCP)                     |";
  const Lines plainHead = {
      kPlainSep,
      u"propagated from: Filesystem (FS or NFS) usage       ",
      u"open TCPDB.DAT                                                          ",
      plainErrno,
      kPlainSep,
  };
  const Lines plainBody = {
      u"code:    8  RSCPEIO      ",
      u"cannot open file                                                    ",
      u"module: rscpll   location:   17 line:   420",
      u"TSL01: CP1  p3: TCPDB.DAT       ",
      kPlainEnd,
  };
  tovtest::CaptureFd quiet;
  PushAndReport();
  struct Case {
    int style, classC;
    Lines want;
  };
  auto cat = [](std::initializer_list<Lines> parts) {
    Lines all;
    for (const Lines& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
  };
  const Case cases[] = {
      {1, 0, cat({{kTop, kTitle}, boxBody})},
      {1, 1, cat({{kTop, kTitle, classC}, boxBody})},
      {2, 0, cat({plainHead, plainBody})},
      {2, 1, cat({plainHead, {u"from: Codepage handling (RSCP)           "}, plainBody})},
  };
  for (const Case& c : cases) {
    rscpeSetPrintStyle(c.style);
    rscpeSetShowClassC(c.classC);
    EXPECT_EQ(PrintLines(Stack()), c.want) << "style " << c.style << " option 23 " << c.classC
                                            << "\n" << Joined(PrintLines(Stack()));
  }
}

TEST_F(ErrorReport, SixPushesKeepTheLastInTheFifthEntry) {
  for (int i = 1; i <= 6; ++i) rscpePushOsError(i, (u"push " + std::u16string(1, u'0' + i)).c_str(), -1);
  const rscpErrStack_t& st = Stack();
  EXPECT_EQ(st.count, 6);
  EXPECT_EQ(st.entries[4].seqNo, 6u);
  EXPECT_EQ(st.osErrno, 6);
  EXPECT_EQ(Field(st.osText, 7), u"push 6 ");
  const Lines lines = PrintLines(st);
  // Five entries of three lines, four separators between them.
  ASSERT_EQ(lines.size(), 2 + 5 * 3 + 4 + 1u) << Joined(lines);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), Pad(u"| push 6", 71) + u"|"), 5);
  // A report after them still appends, into the fifth entry.
  tovtest::CaptureFd quiet;
  rscpe__error(RSCPETOOLONG, u'C', -1, kTestModule, 1, 2, u"full", u"F1A", nullptr, 0, nullptr, 0);
  EXPECT_EQ(st.count, 7);
  EXPECT_EQ(st.entries[4].errClass, u'C');
  EXPECT_EQ(st.entries[3].errClass, u'F');
  // And the next one starts over.
  rscpe__error(RSCPETOOLONG, u'C', -1, kTestModule, 1, 2, u"full", u"F1A", nullptr, 0, nullptr, 0);
  EXPECT_EQ(st.count, 1);
}

// Parameter lines: one line while both shown lengths together stay below
// 47, else two lines of 53 columns each, a longer parameter cut at 53. A
// parameter of 80 units, counted or terminated (-1), keeps 64, which the
// plain print shows.
TEST_F(ErrorReport, ParameterLinesAroundTheirLimits) {
  const std::u16string s1 =
      u"abcdefghijklmnopqrstuvwxyz0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ.:0123456789abcdef";
  const std::u16string s2 = u"ZYXWVUTSRQPONMLKJIHGFEDCBA9876543210zyxwvutsrqponmlkjihgfedcba-+";
  struct Case {
    int a, b;
    Lines box;
    std::u16string plain;
  };
  const Case cases[] = {
      {20, 26, {u"| TSL01: F24  p3: abcdefghijklmnopqrst  p4: ZYXWVUTSRQPONMLKJIHGFEDCBA |"},
       u"TSL01: F24  p3: abcdefghijklmnopqrst  p4: ZYXWVUTSRQPONMLKJIHGFEDCBA"},
      {20, 27,
       {u"| TSL01: F24  p3: abcdefghijklmnopqrst                                 |",
        u"|             p4: ZYXWVUTSRQPONMLKJIHGFEDCBA9                          |"},
       u"TSL01: F24  p3: abcdefghijklmnopqrst  p4: ZYXWVUTSRQPONMLKJIHGFEDCBA9"},
      {53, 10,
       {u"| TSL01: F24  p3: abcdefghijklmnopqrstuvwxyz0123456789ABCDEFGHIJKLMNOPQ|",
        u"|             p4: ZYXWVUTSRQ                                           |"},
       u"TSL01: F24  p3: abcdefghijklmnopqrstuvwxyz0123456789ABCDEFGHIJKLMNOPQ  p4: ZYXWVUTSRQ"},
      {10, 53,
       {u"| TSL01: F24  p3: abcdefghij                                           |",
        u"|             p4: ZYXWVUTSRQPONMLKJIHGFEDCBA9876543210zyxwvutsrqponmlkj|"},
       u"TSL01: F24  p3: abcdefghij  p4: ZYXWVUTSRQPONMLKJIHGFEDCBA9876543210zyxwvutsrqponmlkj"},
      {0, 0, {u"| TSL01: F24                                                           |"},
       u"TSL01: F24              "},
      {0, 46,
       {u"| TSL01: F24                                                           |",
        u"|             p4: ZYXWVUTSRQPONMLKJIHGFEDCBA9876543210zyxwvutsrq       |"},
       u"TSL01: F24         p4: ZYXWVUTSRQPONMLKJIHGFEDCBA9876543210zyxwvutsrq"},
      {46, 0,
       {u"| TSL01: F24  p3: abcdefghijklmnopqrstuvwxyz0123456789ABCDEFGHIJ       |",
        u"|                                                                      |"},
       u"TSL01: F24  p3: abcdefghijklmnopqrstuvwxyz0123456789ABCDEFGHIJ       "},
      {80, 0,
       {u"| TSL01: F24  p3: abcdefghijklmnopqrstuvwxyz0123456789ABCDEFGHIJKLMNOPQ|",
        u"|                                                                      |"},
       u"TSL01: F24  p3: abcdefghijklmnopqrstuvwxyz0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ.:       "},
      {-1, 0,
       {u"| TSL01: F24  p3: abcdefghijklmnopqrstuvwxyz0123456789ABCDEFGHIJKLMNOPQ|",
        u"|                                                                      |"},
       u"TSL01: F24  p3: abcdefghijklmnopqrstuvwxyz0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ.:       "},
  };
  for (const Case& c : cases) {
    rscpe__error(RSCPETOOLONG, u'C', -1, kTestModule, 11, 12, u"t", u"F24", s1.c_str(), c.a,
                 s2.c_str(), c.b);
    const rscpErrEntry_t& e = Stack().entries[0];
    EXPECT_EQ(Field(e.param1, e.param1Len), s1.substr(0, c.a < 0 ? 64 : std::min(c.a, 64)));
    EXPECT_EQ(Field(e.param1, 64), Pad(s1.substr(0, e.param1Len), 64));
    rscpeSetPrintStyle(1);
    Lines box = PrintLines(Stack());
    // The parameter lines sit between the module line and the bottom.
    EXPECT_EQ(Lines(box.begin() + 6, box.end() - 1), c.box) << c.a << "+" << c.b << "\n" << Joined(box);
    rscpeSetPrintStyle(2);
    Lines plain = PrintLines(Stack());
    EXPECT_EQ(plain[plain.size() - 2], c.plain) << c.a << "+" << c.b;
  }
}

// Sequence numbers: off, on, at and beyond eight digits, and with the class
// line of 'C' suppressed.
TEST_F(ErrorReport, SequenceNumbersInTheClassLine) {
  const std::u16string blankC = u"| Error from:             Codepage handling (RSCP)                     |";
  struct Case {
    int seqOn, classC;
    uint32_t seq;
    Lines box;        // lines between the title and the code line
    std::u16string plainSep;
  };
  const Case cases[] = {
      {0, 1, 5, {blankC}, kPlainSep},
      {1, 1, 5, {u"| Error from:             Codepage handling (RSCP)                   5 |"},
       u"------------------                    5-"},
      {1, 1, 99999999, {u"| Error from:             Codepage handling (RSCP)            99999999 |"},
       u"------------------             99999999-"},
      {1, 1, 123456789,
       {blankC, u"|                                                            123456789 |"},
       u"------------------            123456789-"},
      {1, 0, 5, {u"|                                                                    5 |"},
       u"------------------                    5-"},
      {0, 0, 5, {}, kPlainSep},
  };
  for (const Case& c : cases) {
    rscpeSetShowSeqNo(c.seqOn);
    rscpeSetShowClassC(c.classC);
    rscpeTestSetSeqNo(c.seq - 1);
    rscpe__error(RSCPETOOLONG, u'C', -1, kTestModule, 1, 1, u"t", u"X", nullptr, 0, nullptr, 0);
    rscpeSetPrintStyle(1);
    Lines box = PrintLines(Stack());
    EXPECT_EQ(Lines(box.begin() + 2, box.begin() + 2 + c.box.size()), c.box) << Joined(box);
    EXPECT_EQ(box[2 + c.box.size()].substr(0, 7), u"| code:");
    rscpeSetPrintStyle(2);
    EXPECT_EQ(PrintLines(Stack())[0], c.plainSep);
  }
  // Older entries say "propagation".
  rscpeSetShowSeqNo(1);
  rscpeSetPrintStyle(1);
  rscpeTestSetSeqNo(3);
  rscpePushOsError(0, u"x", 1);
  rscpe__error(RSCPETOOLONG, u'C', -1, kTestModule, 1, 1, u"t", u"X", nullptr, 0, nullptr, 0);
  Lines box = PrintLines(Stack());
  EXPECT_NE(std::find(box.begin(), box.end(),
                      u"| Error propagation from: Filesystem (FS or NFS) usage               4 |"),
            box.end())
      << Joined(box);
}

TEST_F(ErrorReport, EmptyStackPrintsTheFrameOnly) {
  EXPECT_EQ(PrintLines(Stack()), (Lines{kTop, kTitle, kBottom}));
  rscpeSetPrintStyle(2);
  EXPECT_EQ(PrintLines(Stack()), (Lines{kPlainEnd}));
}

// Before a regular start every report names the initialiser; an errno that
// no 'F' entry shows gets its own block.
TEST_F(ErrorReport, ImpromptuStartAndStrayErrno) {
  rscpResetProcess();  // as loaded: the converter was never started
  errno = EACCES;
  rscpe__error(RSCPETOOLONG, u'C', -1, kTestModule, 1, 1, u"t", u"X", nullptr, 0, nullptr, 0);
  errno = ENOENT;
  rscpe__error(RSCPETOOLONG, u'C', -1, kTestModule, 1, 1, u"t", u"X", nullptr, 0, nullptr, 0);
  EXPECT_EQ(Stack().osErrno, EACCES);  // the first errno stays
  const std::u16string errnoLine = U16("| errno    13  " + std::string(strerror(EACCES)));
  Lines box = PrintLines(Stack());
  EXPECT_EQ(Lines(box.end() - 6, box.end()),
            (Lines{kSep, u"| Some OS information, which may or may not belong to this error:      |",
                   errnoLine + std::u16string(71 - errnoLine.size(), u' ') + u"|", kSep,
                   u"| Impromptu CCC initialization by compile_time                         |", kBottom}))
      << Joined(box);
  rscpeSetPrintStyle(2);
  Lines plain = PrintLines(Stack());
  EXPECT_EQ(Lines(plain.begin(), plain.begin() + 4),
            (Lines{kPlainSep, u"Impromptu CCC initialization by compile_time                  ", kPlainSep,
                   U16("from: OS: (maybe not related) errno: 13  " + std::string(strerror(EACCES)))}))
      << Joined(plain);
  // After a regular start the name is no longer taken, and a clear drops it.
  rscpSetInitializer(nullptr, 0, 1);
  rscpeClearThrErrors();
  rscpe__error(RSCPETOOLONG, u'C', -1, kTestModule, 1, 1, u"t", u"X", nullptr, 0, nullptr, 0);
  EXPECT_EQ(Field(Stack().initName, 30), Pad(u"", 30));
  rscpSetInitializer(u"Java_ConverterJNI_Init", -1, 0);
  rscpe__error(RSCPETOOLONG, u'C', -1, kTestModule, 1, 1, u"t", u"X", nullptr, 0, nullptr, 0);
  EXPECT_EQ(Field(Stack().initName, 30), Pad(u"Java_ConverterJNI_Init", 30));
}

TEST_F(ErrorReport, ClassesAndUnknownCodes) {
  struct Case {
    WEQ_UC cls;
    int rc;
    std::u16string classLine, number;
  };
  const Case cases[] = {
      {u'J', 8, u"| Error from:                                        stranger          |", u"004"},
      {u'C', 3, u"| Error from:             Codepage handling (RSCP)                     |", u"   "},
      {u'I', 8, u"| Error from:             Internal (not further specified)             |", u"   "},
  };
  for (const Case& c : cases) {
    tovtest::CaptureFd quiet;
    rscpe__error(c.rc, c.cls, -1, kTestModule, 1, 1, u"t", u"X", nullptr, 0, nullptr, 0);
    const rscpErrEntry_t& e = Stack().entries[0];
    EXPECT_EQ(Field(e.msgNumber, 3), c.number);
    Lines box = PrintLines(Stack());
    EXPECT_EQ(box[2], c.classLine);
    // Classes other than 'C', 'J' and 'F' show only their class line; the
    // bindings' 'J' entries print as the converter's do.
    if (c.cls == u'I') {
      EXPECT_EQ(box.size(), 4u) << Joined(box);
    } else if (c.cls == u'C') {
      EXPECT_EQ(box[3], u"| code:    3                                                           |");
    } else {
      EXPECT_EQ(box.size(), 8u) << Joined(box);
      EXPECT_EQ(box[3], u"| code:    8  RSCPEIO      Some I/O error.                             |");
    }
  }
}

// The UTF transforms report through the same function once it is
// installed: class 'O', their module, their message.
TEST_F(ErrorReport, UtfTransformsReportThroughTheInstalledHook) {
  rscpuSetErrorFunc(rscpe__error);
  const WEQ_UC src[] = {u'a', u'b'};
  const WEQ_UC* s = src;
  WEQ_RAW out[1];
  WEQ_RAW* d = out;
  EXPECT_EQ(rscpu_U6_to_U8(&s, src + 2, &d, out + 1), RSCPETOOLONG);
  rscpuSetErrorFunc(nullptr);
  const rscpErrEntry_t& e = Stack().entries[0];
  EXPECT_EQ(e.errClass, u'O');
  EXPECT_EQ(Field(e.module, 8), u"rscpu86r");
  EXPECT_EQ(Field(e.text, 20), u"dest buffer overflow");
  EXPECT_EQ(Stack().count, 1);
}

TEST_F(ErrorReport, ModuleNamesFromIdentificationTexts) {
  struct Case {
    const WEQ_UC* id;
    std::u16string name;
  };
  const Case cases[] = {
      {u"@(#) $Id: //bas/720_REL/src/krn/rscp/rscpmc.c#5 $", u"rscpmc  "},
      {u" $Id: krn/rscp/rscpu86r.cpp $", u"rscpu86r"},
      {u"@(#)rscphook.cpp", u"rscphook"},
      {u"@(#) $Header: /x/y/verylongmodulename.c $", u"verylong"},
      {u"rscpe#3", u"rscpe   "},
      {u"a/b/rs\tcp/x", u"rs      "},
      {u"dir.v2/sub.d/mod.c", u"mod     "},
      {u"$Id: mod x/y $", u"mod     "},
      {u"$Date mod/x", u"$Date   "},  // not a keyword without its colon
      {u"\t@(#)\t$Id:\tpath/name.c", u"name    "},
      {u"krn/rscp/ $", u"        "},
      {u"", u"        "},
      {nullptr, u"?modul? "},
  };
  for (const Case& c : cases) {
    WEQ_UC name[8];
    rscpeIModuleName(c.id, name);
    EXPECT_EQ(Field(name, 8), c.name) << (c.id ? tovtest::Show(c.id) : "NULL");
  }
  // A report takes the same name.
  rscpe__error(RSCPETOOLONG, u'C', -1, nullptr, 1, 1, nullptr, nullptr, nullptr, 0, nullptr, 0);
  EXPECT_EQ(Field(Stack().entries[0].module, 8), u"?modul? ");
  EXPECT_EQ(Field(Stack().entries[0].text, 7), u"?text? ");
  EXPECT_EQ(Field(Stack().entries[0].msgCode, 3), u"   ");
}

TEST_F(ErrorReport, TraceLineOfAReport) {
  tovtest::CaptureFd quiet;
  rscpe__error(RSCPEIO, u'C', -1, kTestModule, 17, 420, u"cannot open file", u"CP1", u"TCPDB.DAT&x",
               9, u"p2", -1);
  WEQ_UC buf[300];
  int n = rscpeITraceLine(buf, 300, RSCPEIO, kTestModule, 17, 420, u"cannot open file",
                          Stack().entries[0]);
  EXPECT_EQ(std::u16string(buf, n),
            u"rscpe__error 8 at  $Id: //src/krn/rscp/rscpll.c(17;420) \"cannot open file\" (TCPDB.DAT,p2)");
  n = rscpeITraceLine(buf, 300, 1, u"0123456789012345678901234567890123456789", 1, 2, nullptr,
                      Stack().entries[0]);
  EXPECT_EQ(std::u16string(buf, n),
            u"rscpe__error 1 at 01234567890123456789012345678901(1;2) \"?text?\" (TCPDB.DAT,p2)");
}

TEST_F(ErrorReport, OptionSetters) {
  struct Step {
    void (*set)(int);
    int (*get)();
    int in, out;
  };
  const Step steps[] = {
      {rscpeSetPrintStyle, rscpeGetPrintStyle, 2, 2},  {rscpeSetPrintStyle, rscpeGetPrintStyle, 3, 1},
      {rscpeSetPrintStyle, rscpeGetPrintStyle, 0, 1},  {rscpeSetShowSeqNo, rscpeGetShowSeqNo, 1, 1},
      {rscpeSetShowSeqNo, rscpeGetShowSeqNo, 2, 0},    {rscpeSetShowClassC, rscpeGetShowClassC, 0, 0},
      {rscpeSetShowClassC, rscpeGetShowClassC, -7, 1},
  };
  for (const Step& s : steps) {
    s.set(s.in);
    EXPECT_EQ(s.get(), s.out) << s.in;
  }
  // Each level setter answers how many of its flags were set before.
  for (int (*set)(int) : {rscpeSetVerbose, rscpeSetOnError}) {
    EXPECT_EQ((std::vector<int>{set(2), set(1), set(5), set(0), set(-1), set(1)}),
              (std::vector<int>{0, 2, 1, 2, 0, 0}));
    set(0);
  }
}

TEST_F(ErrorReport, OnErrorLevelPrintsEveryReport) {
  rscpeSetOnError(1);
  tovtest::CaptureFd err;
  rscpe__error(RSCPETOOLONG, u'C', -1, kTestModule, 1, 1, u"t", u"X", nullptr, 0, nullptr, 0);
  const std::string printed = err.Take();
  EXPECT_EQ(printed, Joined(PrintLines(Stack())));
  EXPECT_NE(printed.find("| code:   32  RSCPETOOLONG The data"), std::string::npos) << printed;
}

// Clearing and printing stop at the five entries that exist, however far
// the count went.
TEST_F(ErrorReport, CountBeyondFiveStaysInsideTheStack) {
  struct Guarded {
    rscpErrStack_t st;
    unsigned char guard[4 * sizeof(rscpErrEntry_t)];
  };
  auto g = std::make_unique<Guarded>();
  memset(g->guard, 0x5A, sizeof g->guard);
  memcpy(&g->st, &Stack(), sizeof g->st);
  g->st.count = 9;
  for (rscpErrEntry_t& e : g->st.entries) e.errClass = u'Q';
  EXPECT_EQ(PrintLines(g->st).size(), 2 + 5 + 4 + 1u);
  rscpeSetPrintStyle(2);
  EXPECT_EQ(PrintLines(g->st).size(), 5 * 2 + 1u);  // separator and class line each
  rscpeClearErrors(&g->st);
  EXPECT_EQ(g->st.count, 0);
  for (const rscpErrEntry_t& e : g->st.entries) EXPECT_EQ(e.errClass, u' ');
  EXPECT_TRUE(
      std::all_of(std::begin(g->guard), std::end(g->guard), [](unsigned char b) { return b == 0x5A; }));
}

// Random reports and pushes: the stack keeps its shape, every box line is
// 72 units, no plain line passes 100, and nothing around the stack changes.
TEST_F(ErrorReport, RandomEntriesKeepTheirShape) {
  std::mt19937 rng(20261207);
  auto pick = [&rng](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  auto text = [&](int n) {
    std::u16string s;
    for (int i = 0; i < n; ++i) s.push_back(static_cast<WEQ_UC>(pick(0x20, 0x7E)));
    return s;
  };
  const int rcs[] = {1, 8, 16, 32, 64, 128, 256, 512, 2048, 4096, 8192, 16384, 2, 3, 99999};
  const WEQ_UC classes[] = {u'C', u'F', u'I', u'J', u'O', u'E', u'Z'};
  rscpThrCtx_t* ctx = rscpGetThrCtx();
  tovtest::CaptureFd quiet;  // the system log lines
  for (int i = 0; i < 1500 * tovtest::HeavyFactor(); ++i) {
    rscpeSetShowSeqNo(pick(0, 1));
    rscpeSetShowClassC(pick(0, 1));
    if (i % 97 == 0) rscpeTestSetSeqNo(static_cast<uint32_t>(pick(0, 1 << 30)));
    const std::u16string t = text(pick(0, 200)), p1 = text(pick(0, 200)), p2 = text(pick(0, 200));
    const int l1 = pick(-1, 200), l2 = pick(-1, 200);
    if (pick(0, 4) == 0) {
      rscpePushOsError(pick(-1, 200), pick(0, 5) ? t.c_str() : nullptr,
                       std::min<int>(pick(-1, 200), static_cast<int>(t.size())));
    } else {
      rscpe__error(rcs[pick(0, 14)], classes[pick(0, 6)], -1, pick(0, 5) ? kTestModule : nullptr,
                   pick(0, 99999), pick(0, 999999), pick(0, 5) ? t.c_str() : nullptr,
                   pick(0, 5) ? p1.c_str() : nullptr, pick(0, 5) ? p1.c_str() : nullptr,
                   std::min<int>(l1, static_cast<int>(p1.size())), pick(0, 5) ? p2.c_str() : nullptr,
                   std::min<int>(l2, static_cast<int>(p2.size())));
    }
    const rscpErrStack_t& st = ctx->errors;
    ASSERT_GE(st.count, 1);
    for (int k = 0; k < std::min<int>(st.count, 5); ++k) ASSERT_LE(st.entries[k].param1Len, 64);
    rscpeSetPrintStyle(1);
    for (const auto& l : PrintLines(st)) ASSERT_EQ(l.size(), 72u) << ToUtf8(l);
    rscpeSetPrintStyle(2);
    for (const auto& l : PrintLines(st)) ASSERT_LE(l.size(), 100u) << ToUtf8(l);
  }
  auto zero = [](const auto& a) {
    return std::all_of(std::begin(a), std::end(a), [](auto v) { return v == 0; });
  };
  EXPECT_TRUE(zero(ctx->words1) && zero(ctx->words2) && zero(ctx->tableReads) && zero(ctx->clones) &&
              zero(ctx->spare));
  EXPECT_EQ(ctx->bytesIn + ctx->bytesOut + ctx->lookups + ctx->createObject + ctx->fileFlag, 0u);
}

// --- System log -----------------------------------------------------------------------------

class SystemLog : public ConverterTest {};

TEST_F(SystemLog, HookLinesAndQuietCodes) {
  const std::u16string data = Pad(u"RSCPCCC   6000000 reason", 64);
  struct Case {
    WEQ_UC type;
    const WEQ_UC* code;
    std::string want;
  };
  const Case cases[] = {
      {u'i', u"E14", "Syslog: i E14 : " + ToUtf8(data) + "\n"},
      {u'k', u"F24", "Syslog: k F24 : " + ToUtf8(data) + "\n"},
      {u' ', u"CQE", "Syslog:   CQE : " + ToUtf8(data) + "\n"},
      {u'i', u"E10", ""},
      {u'i', u"E12", ""},
      {u'k', u"CPS", ""},
      {u'k', u"CPT", ""},
  };
  for (const Case& c : cases) {
    tovtest::CaptureFd err;
    rscpHooks.syslog(c.type, c.code, data.c_str());
    const std::string got = err.Take();
    EXPECT_EQ(got, c.want) << tovtest::Show(c.code);
    if (!got.empty()) {
      EXPECT_EQ(got.size(), 81u);
    }
  }
  tovtest::CaptureFd err;
  const std::u16string longText(300, u'x');
  rscpHooks.syslogText(longText.c_str(), 300);
  rscpHooks.syslogText(u"short text", -1);
  const rscpSyslogParam_t params[] = {{-1, u"first"}, {3, u"second"}, {250, longText.c_str()}};
  rscpHooks.syslogParams(3, params);
  EXPECT_EQ(err.Take(), "Syslog: " + std::string(192, 'x') + "\nSyslog: short text\nSyslog: p1: first\n" +
                            "Syslog: p2: sec\nSyslog: p3: " + std::string(188, 'x') + "\n");
}

TEST_F(SystemLog, ReportsByReturnCode) {
  struct Case {
    int rc;
    bool push;
    std::string want;
  };
  const std::string k8 = "Syslog: k F24 : " + ToUtf8(Pad(u"cachesize&1&2&", 53)) + "rscpll   11\n";
  const Case cases[] = {
      {RSCPETOOLONG, false, ""},
      {RSCPENOOBJ, true, ""},
      {RSCPEIO, false, k8},
      {RSCPEIO, true, k8 + "Syslog: disk full\n"},
  };
  for (const Case& c : cases) {
    {
      tovtest::CaptureFd err;
      if (c.push) rscpePushOsError(ENOSPC, u"disk full", 9);
      rscpe__error(c.rc, u'C', -1, kTestModule, 11, 1, u"t", u"F24", u"cachesize&1&", -1, u"2&", -1);
      EXPECT_EQ(err.Take(), c.want) << c.rc << " push " << c.push;
    }
    for (int i = 0; i < Stack().count; ++i) EXPECT_EQ(Stack().entries[i].logged, c.want.empty() ? 0 : 1);
    if (c.want.empty()) continue;
    // A second run over the same stack logs nothing again.
    tovtest::CaptureFd again;
    rscpeSyslogErrors(rscpeg__get_thr_errors());
    EXPECT_EQ(again.Take(), "");
  }
  // Unlogged entries of a quiet code go out with the next explicit run.
  tovtest::CaptureFd err;
  rscpe__error(RSCPETOOLONG, u'C', -1, kTestModule, 11, 1, u"t", u"F24", u"cachesize&1&", -1, u"2&", -1);
  rscpeSyslogErrors(rscpeg__get_thr_errors());
  EXPECT_EQ(err.Take(), k8);
}

TEST_F(SystemLog, DataFieldKeepsItsWidth) {
  struct Case {
    int location;
    std::u16string p1, p2, tail;
  };
  const std::u16string p53(60, u'a');
  const Case cases[] = {
      {5, u"ab", u"cd", Pad(u"abcd", 53) + u"rscpll    5"},
      {999, u"", u"cd", Pad(u"cd", 53) + u"rscpll  999"},
      {1234, p53, u"zz", p53.substr(0, 53) + u"rscpll  123"},
      {-12, u"x", u"", Pad(u"x", 53) + u"rscpll  -12"},
  };
  for (const Case& c : cases) {
    rscpe__error(RSCPETOOLONG, u'C', -1, kTestModule, c.location, 1, u"t", u"X", c.p1.c_str(), -1,
                 c.p2.c_str(), -1);
    WEQ_UC data[64];
    rscpeISyslogData(Stack().entries[0], data);
    EXPECT_EQ(Field(data, 64), c.tail) << c.location;
  }
}

// --- Fatal path ----------------------------------------------------------------------------------

using ErrorReportDeathTest = ErrorReport;

TEST_F(ErrorReportDeathTest, UnacceptedCodeEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(rscpe__error(RSCPEINVAL, u'C', RSCPETOOLONG, kTestModule, 3, 33, u"bad arguments", u"F99",
                           u"x", -1, nullptr, 0),
              ::testing::KilledBySignal(SIGABRT),
              "^Syslog: k F99 : x +rscpll +3\n \n\\.-+=+-+\\.\n\\| +RSCP - Error +\\|\n.*"
              "\\| bad arguments +\\|\n.*`-+'\n$");
  // Accepted codes return, whatever else the mask holds.
  tovtest::CaptureFd quiet;
  EXPECT_EQ(rscpe__error(RSCPEINVAL, u'C', RSCPEINVAL | RSCPEIO, kTestModule, 3, 33, u"t", u"F99",
                         nullptr, 0, nullptr, 0),
            RSCPEINVAL);
  EXPECT_EQ(rscpeIFatalCount(), 0u);
}

}  // namespace
