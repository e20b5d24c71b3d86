// The developer trace read back through the independent checker: file
// header, time stamps, thread tags, located lines, cuts, the calling pattern
// and memory dumps with their text columns and masking.
#include "krn/dptrc/dptrc.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <string.h>

#include "krn/dptrc/dptrc_int.h"
#include "trc_checker.h"

namespace {

using tovtest::FromUtf8;
using tovtest::ReadFile;
using namespace trccheck;

TEST(TraceOpen, HeaderFallbackAndGlobalFile) {
  tovtest::TempDir dir;
  const std::string path = dir.File("x.trc"), rule = std::string(51, '-') + "\n";
  auto header = [&](const char* name, char level) {
    return "\n" + rule + "trc file: \"" + name + "\", trc level: " + level + ", release: \"720\"\n" + rule;
  };
  tovtest::WriteFile(path, "before\n");
  CTrcLevel.store(3);
  FILE* f = CTrcOpen((FromUtf8(dir.path()) + u"\\./x.trc").c_str(), u"a");  // both separators
  CTrcLevel.store(0);
  ASSERT_NE(f, stderr);
  EXPECT_TRUE(fcntl(fileno(f), F_GETFD) & FD_CLOEXEC);
  fclose(f);
  EXPECT_EQ(ReadFile(path), "before\n" + header("x.trc", '3'));
  // No path: standard error, nothing written. A failed open says so, writes
  // the header to standard error and leaves standard error inherited.
  auto r = tovtest::RunInChild([] {
    CTrcLevel.store(1);
    int before = fcntl(2, F_GETFD);
    FILE* f = CTrcOpen(nullptr, u"w") == stderr ? CTrcOpen(u"/nonexistent-dir\\y.trc", u"w") : 0;
    return f == stderr && fcntl(2, F_GETFD) == before && !(before & FD_CLOEXEC) ? 0 : 1;
  });
  EXPECT_EQ(std::to_string(r.exit_code) + r.err,
            "0*** ERROR => CTrcOpen: fopen /nonexistent-dir\\y.trc\n" + header("y.trc", '1'));
  // The first global open fixes the level (before its header) and the
  // default file; mode 1 writes from the start, any other appends.
  DpTrcIResetForTest();
  std::string seen;  // per open: lines in the file, the level in its last header, the level after
  for (auto [name, mode, level] :
       {std::tuple{"g1", 1, '2'}, {"g2", 0, '3'}, {"g2", 7, '1'}, {"g1", 1, '1'}}) {
    fclose(CTrcOpenGlobal(FromUtf8(dir.File(name)).c_str(), mode, level - '0'));
    const std::string s = ReadFile(dir.File(name));
    seen += std::to_string(std::count(s.begin(), s.end(), '\n')) + s[s.rfind("level: ") + 7] +
            static_cast<char>('0' + CTrcLevel.load()) + " ";
  }
  DpTrcIResetForTest();
  CTrcLevel.store(0);
  EXPECT_EQ(seen, "422 422 822 422 ");
}

TEST(TraceEntries, StampOncePerSecondAndTagOnEveryLine) {
  for (int level : {2, 1}) {
    // Again until it ran within one second of wall time: across a second
    // boundary the stamp may show either second.
    for (;;) {
      const time_t before = time(nullptr);
      TraceFile t(level);
      DpTrcHex(t.f, u"hex\n");                 // no stamp of its own
      if (level == 1) DpTrcCont(t.f, u"c\n");  // its stamp has no tag
      DpTrc(t.f, u"a\n");
      if (level == 2) DpTrcCont(t.f, u"c\n");
      const std::string got = t.After();
      if (time(nullptr) != before) continue;
      char stamp[32];
      strftime(stamp, sizeof stamp, "%a %b %e %H:%M:%S %Y", localtime(&before));
      // At level 1 the stamp follows an empty line.
      EXPECT_EQ(got, level == 2 ? Tag() + "hex\n" + Tag() + stamp + "\n" + Tag() + "a\nc\n"
                                : Tag() + "hex\n\n" + stamp + "\nc\n" + Tag() + "a\n");
      break;
    }
  }
  // Every line of an entry is tagged ('@' stands for the tag) except a final
  // one that is empty or only '\r'; DpTrcCont writes the text as it is,
  // after its time stamp.
  for (const auto& [text, tagged] : {std::pair{"one\ntwo", "@one\n@two"}, {"\n\n", "@\n@\n"},
                                     {"end\n\r", "@end\n\r"}, {"a\n\rb\n", "@a\n@\rb\n"}}) {
    TraceFile t;
    DpTrcCont(t.f, u"%s", FromUtf8(text).c_str());
    DpTrcHex(t.f, u"%s", FromUtf8(text).c_str());
    std::string want = text;
    for (const char* c = tagged; *c != 0; ++c) want += *c == '@' ? Tag() : std::string(1, *c);
    EXPECT_EQ(t.After().substr(25), want);
  }
}

TEST(TraceLimits, FormatsAndEntriesAreCutAndFormatErrorsNoted) {
  for (size_t len : {1024, 1025}) {
    TraceFile t;
    DpTrcError(t.f, std::u16string(len, u'f').c_str());
    DpTrcErrno(t.f, std::u16string(len, u'f').c_str());     // cuts without a note
    DpTrcErrorA(t.f, "%s", std::string(len, 'a').c_str());  // an argument is never cut
    std::vector<Line> e = t.Body();
    const bool cut = len > 1024;
    ASSERT_EQ(Kinds(e), cut ? "?ENE" : "ENE") << len;
    EXPECT_EQ(cut, e[0].raw == "*** ERROR => Dptrc fmt string truncated");
    EXPECT_EQ(e[cut].text + e[cut + 1].text + e[cut + 2].text,
              std::string(2048, 'f') + std::string(len, 'a'));
  }
  TraceFile t;
  // An 8-bit format cut right after a '%' loses that conversion.
  DpTrcErrorA(t.f, (std::string(1023, 'a') + "%s and more").c_str(), "never");
  const WEQ_UC* bad = u"value %y";
  DpTrc(t.f, bad, 1);
  DpTrcError(t.f, static_cast<const WEQ_UC*>(nullptr));
  std::vector<Line> e = t.Body();
  ASSERT_EQ(Kinds(e), "?E??");
  EXPECT_EQ(e[1].text, std::string(1023, 'a'));
  for (int i : {2, 3}) EXPECT_EQ(e[i].raw.rfind("*** ERROR => vsnprintfU err, errno=", 0), 0u);
  // 8191 units per entry, tag included; a cut error line loses its suffix.
  TraceFile cut;
  std::u16string big(9000, u'\u00e4');
  DpTrc(cut.f, u"%s\n", big.c_str());
  DpTrcError(cut.f, u"%s", big.c_str());
  e = cut.Body();
  ASSERT_EQ(Kinds(e), "I?I?");
  EXPECT_EQ(FromUtf8(e[0].raw).size() + FromUtf8(e[2].raw).size(), 2 * 8191u);
  EXPECT_EQ(e[1].raw + e[3].raw + e[2].body.substr(0, 15),
            "*** WARNING => data was truncated*** WARNING => data was truncated*** ERROR => \xc3\xa4");
}

int g_evaluated = 0;
int Touch() { return ++g_evaluated; }

// Every writer through the calling pattern: the level decides what is
// written and whether the arguments are evaluated at all. Located lines show
// the macro's own place; the log copy keeps its final newline, so its
// location follows alone; writers keep errno.
TEST(TraceLines, EveryWriterAtEachLevel) {
  const std::u16string wide = u"gr\u00fc\u00dfe \u20ac \u4e2d\u6587 \U0001F600 \U00010348";
  for (int level = 0; level <= 3; ++level) {
    TraceFile t(level);
    g_evaluated = 0;
    errno = EACCES;
    const int line = __LINE__ + 1;
    DPTRC_ERROR(t.f, u"%s: failed (%d)\n", u"NiRead", Touch());
    DPTRC_WARNING(t.f, u"%s %d", wide.c_str(), Touch());
    DPTRC_ERRNO(t.f, u"open %d\n", Touch());
    DPTRC_ERROR_A(t.f, "%s=%d caf\xe9\n", "gss", Touch());  // bytes widen as Latin-1
    DPTRC_SYSLOG(t.f, u"Q1K", u"%d down\n", Touch());
    DPTRC_LINE(2, t.f, u"%s %d\n", wide.c_str(), Touch());
    DPTRC_LINE(3, t.f, u"detail %d\n", Touch());
    DpSysLogHook(t.f, u"Q1K", u"%s", u"never written");
    EXPECT_EQ(errno, EACCES);
    std::vector<Line> e = t.Body();
    ASSERT_EQ(Kinds(e), std::string("EWNEL?II").substr(0, level == 0 ? 0 : level + 5)) << t.Read();
    EXPECT_EQ(g_evaluated, level == 0 ? 0 : level + 4);
    EXPECT_TRUE(ValidUtf8(t.Read()));
    if (level < 3) continue;
    const std::u16string texts[] = {u"NiRead: failed (1)", wide + u" 2", u"open 3", u"gss=4 caf\u00e9",
                                    u"5 down",             u"",          wide + u" 6", u"detail 7"};
    for (int i = 0; i < 8; ++i) EXPECT_EQ(FromUtf8(e[i].text), texts[i]) << i;
    for (int i = 0; i < 4; ++i) {
      EXPECT_EQ("[Thr " + e[i].tag + "] " + e[i].where, Tag() + "dptrc_test.c " + std::to_string(line + i));
    }
    const std::string log = "|Q1K [dptrc_test.c " + std::to_string(line + 4) + "]";
    EXPECT_EQ(e[2].err + "|" + e[4].where + e[5].raw, std::to_string(EACCES) + ": " + strerror(EACCES) + log);
  }
  // The location: the file's base name after '\' or '/', cut or padded to
  // 12, and the line.
  const std::tuple<const char16_t*, int, std::string> cases[] = {
      {u"C:\\src\\ni\\nixxi.cpp", 4711, "nixxi.cpp    4711"},
      {u"/a/b/verylongmodulename.cpp", 12, "verylongmodu 12"},
      {u"x\\y/z.c", 1234567, "z.c          12345"},
      {nullptr, 0, "             0"}};
  TraceFile t;
  for (const auto& [file, line, where] : cases) {
    DpTrcSetLocation(file, line);
    errno = 99999;
    DpTrcErrno(t.f, u"odd");
    const Line l = t.Body().back();
    EXPECT_EQ(l.kind + l.where + "|" + l.err, "N" + where + "|99999: illegal errno");
  }
}

// --- Memory dumps ------------------------------------------------------------------

// The text column of byte b in each mode, code page 273 by the C library.
char TextOf(int mode, unsigned char b) {
  std::string c(1, static_cast<char>(b));
  const char *latin1 = "LATIN1", *cp273 = "IBM273";
  if (mode != 0 &&
      (!Iconv(mode == 1 ? latin1 : cp273, mode == 1 ? cp273 : latin1, c, &c) || c.size() != 1)) {
    c = "\x7f";  // no mapping
  }
  unsigned char u = c[0];
  // EBCDIC controls show as blanks; tab and line feed keep their codes.
  if (mode == 1 && (u < 0x20 || (u >= 0x7F && u <= 0x9F)) && u != 0x09 && u != 0x0A) u = 0x20;
  return u >= 32 && u <= 126 ? static_cast<char>(u) : '.';
}

// A dump of the bytes at `at` written from the documented layout: the bytes
// shown are `shown` ('x' in mask hides one).
std::string DumpText(const char* at, const std::string& shown, int mode, std::string mask = "") {
  std::string rule = Tag() + std::string(72, '-') + "\n", out = rule;
  mask.resize(shown.size(), '.');
  for (size_t off = 0; off < shown.size(); off += 16) {
    char head[64], hex[4];
    snprintf(head, sizeof head, "%lx  %06zu  ", reinterpret_cast<unsigned long>(at + off), off);
    std::string line = Tag() + head, text;
    for (size_t i = off; i < off + 16; ++i) {
      snprintf(hex, sizeof hex, "%02x", static_cast<unsigned char>(shown[i % shown.size()]));
      bool here = i < shown.size(), hidden = here && mask[i] == 'x';
      line += !here ? "  " : hidden ? "xx" : hex;
      text += !here ? ' ' : hidden ? '.' : TextOf(mode, static_cast<unsigned char>(shown[i]));
      if (i % 4 == 3) line += ' ';
    }
    out += line + "|" + text + "|\n";
  }
  return Tag() + "Adresse   Offset  title \xc3\xa4\n" + out + rule;
}

std::string Dumped(const char* data, size_t len, int mode, bool masked = false) {
  TraceFile t;
  masked ? DpTrcHexDumpMasked(t.f, u"title \u00e4", const_cast<char*>(data), len, mode)
         : DpTrcHexDump(t.f, u"title \u00e4", data, len, mode);
  return t.After();
}

TEST(TraceDump, LayoutAndTextColumnsInEachMode) {
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  const char *d = all.data(), *abc = d + 'A';
  // One line by hand, then lengths around the line ends and all bytes in
  // each mode.
  EXPECT_NE(Dumped(abc, 20, 0).find("  000016  51525354                            |QRST            |\n"),
            std::string::npos);
  for (size_t len : {1, 15, 16, 17, 33}) {
    EXPECT_EQ(Dumped(abc, len, 0), DumpText(abc, all.substr('A', len), 0));
  }
  for (int mode = 0; mode < 3; ++mode) EXPECT_EQ(Dumped(d, 256, mode), DumpText(d, all, mode));
  // Nothing for an unknown mode, no data or no length.
  EXPECT_EQ(Dumped(d, 8, 3) + Dumped(nullptr, 8, 0) + Dumped(d, 0, 1, true), "");
}

TEST(TraceDump, SessionIdentifiersAndConnectBlockPasswordAreHidden) {
  const std::pair<std::string, std::string> cases[] = {
      {"0123456789SID%3aANON%3a0123456789-NEWtail", "..........xxxxxxxxxxxxxxxxxxxxxxxxxxx...."},
      {"xxSID:ANON:never ends across lines", "..xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx"},
      {"SID:ANON:a-ATTbbSID:ANON:c-NEWd", "xxxxxxxxxxxxxx..xxxxxxxxxxxxxx."},
      {"SID:ANON no colon -ATT", ""},
      {"text SID:AN", ""},
      {"CONN" + std::string(40, 'p'), ""}};  // not the EBCDIC connect block
  for (const auto& [data, mask] : cases) {
    for (bool masked : {false, true}) {
      EXPECT_EQ(Dumped(data.data(), data.size(), 0, masked), DumpText(data.data(), data, 0, mask));
    }
  }
  // The password of an EBCDIC connect block shows as 'X' of the text
  // column's character set, and the block is restored.
  for (int mode = 0; mode < 3; ++mode) {
    for (size_t len : {36, 37, 64}) {
      std::string block = "\xc3\xd6\xd5\xd5";
      while (block.size() < len) block += static_cast<char>(0x81 + block.size());
      std::string original = block, hidden = block;
      if (len >= 37) hidden.replace(27, 8, 8, "\x58\xe7\xec"[mode]);
      EXPECT_EQ(Dumped(block.data(), len, mode, true), DumpText(block.data(), hidden, mode));
      EXPECT_EQ(block, original) << "not restored";
    }
  }
}

}  // namespace
