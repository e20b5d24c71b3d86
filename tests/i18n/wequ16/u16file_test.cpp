// UTF-8 text files: the writer and the readers beside ICU, their chunk and
// line boundaries and invalid input; the text conversions and system texts;
// the reporter's frames.
#include "i18n/wequ16/u16file.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <string.h>
#include <unicode/ustring.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <set>

#include "i18n/wequ16/u16file_int.h"
#include "i18n/wequ16/u16str.h"
#include "support/testsupport.h"

namespace {

using tovtest::FromUtf8;
using tovtest::Show;

// ICU's UTF-8 of 16-bit text, unpaired surrogates written as '#'.
std::string IcuUtf8(const std::u16string& s) {
  std::string out(s.size() * 3, '\0');
  int32_t len = 0;
  UErrorCode ec = U_ZERO_ERROR;
  u_strToUTF8WithSub(out.data(), static_cast<int32_t>(out.size()), &len, s.data(),
                     static_cast<int32_t>(s.size()), '#', nullptr, &ec);
  EXPECT_TRUE(U_SUCCESS(ec));
  return out.substr(0, static_cast<size_t>(len));
}

// An unbuffered stream that records every write it is handed and accepts
// only `allow` bytes in total.
struct Sink {
  std::string data;
  std::vector<size_t> writes;
  size_t allow = SIZE_MAX;
  FILE* f;
  Sink() {
    cookie_io_functions_t io{};
    io.write = [](void* self, const char* b, size_t n) -> ssize_t {
      auto* s = static_cast<Sink*>(self);
      size_t k = std::min(n, s->allow);
      s->writes.push_back(n);
      s->allow -= k;
      s->data.append(b, k);
      return static_cast<ssize_t>(k);
    };
    f = fopencookie(this, "w", io);
    setvbuf(f, nullptr, _IONBF, 0);
  }
  ~Sink() { fclose(f); }
};

struct Source {
  std::string bytes;
  FILE* f;
  explicit Source(std::string b) : bytes(std::move(b)), f(fmemopen(bytes.data(), bytes.size(), "r")) {}
  ~Source() { fclose(f); }
};

// Report lines as the reporter hands them to its writer, at a chosen level.
std::vector<std::string> gReports;
struct Reports {
  int saved = U16ReportLevel;
  void Level(int level) { U16ReportLevel = level; }
  explicit Reports(int level) {
    U16ReportLevel = level;
    gReports.clear();
    U16ReportWriter = [](const char* text, size_t len) {
      const std::string t(text, len);
      for (size_t at = 0, nl; at <= t.size(); at = nl + 1)
        gReports.push_back(t.substr(at, (nl = std::min(t.find('\n', at), t.size())) - at));
    };
  }
  ~Reports() { U16ReportLevel = saved, U16ReportWriter = U16ReportWriteStderr; }
};

std::string Header(const std::string& module, int line, const std::string& pid = std::to_string(getpid())) {
  return "--- Unicode interface [" + module + " line " + std::to_string(line) + "] pid = " + pid + " :";
}
const std::string kEnd = "--- Unicode interface ------ End of message ------";

// Random text of 1-, 2-, 3- and 4-byte characters and the units at the
// edges of each length; on request unpaired surrogates and line feeds.
std::u16string RandomText(std::mt19937& rng, size_t units, bool loneSurrogates, bool lines) {
  const std::u16string edges = u"\x7F\x80\u07FF\u0800\uD7FF\uE000\uFFFF";
  std::u16string s;
  while (s.size() < units) {
    const char32_t cp = 0x10000 + rng() % 0x100000;
    switch (rng() % 8) {
      case 0: case 1: s += static_cast<char16_t>(0x20 + rng() % 0x5F); break;
      case 2: s += static_cast<char16_t>(0x80 + rng() % 0xD780); break;
      case 3: s += {char16_t(0xD7C0 + (cp >> 10)), char16_t(0xDC00 + (cp & 0x3FF))}; break;
      case 4: s += edges[rng() % 7]; break;
      case 5: if (loneSurrogates) s += static_cast<char16_t>(0xD800 + rng() % 0x800); break;
      case 6: if (lines) s += u'\n'; break;
    }
  }
  return s;
}

bool IsHigh(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }

// --- Writing ------------------------------------------------------------------

// Random text, a 0 unit, and prefixes of 500..510 units that put the chunk
// end on every byte of a 2-, 3- or 4-byte character and between the units
// of a pair: the bytes are ICU's, and a chunk ends after the character that
// takes it above 506 bytes.
TEST(Writer, MatchesIcuInChunksOf507Bytes) {
  std::mt19937 rng(3);
  std::vector<std::u16string> texts = {std::u16string(1, u'\0')};
  for (int round = 0; round < 40 * tovtest::HeavyFactor(); ++round)
    texts.push_back(RandomText(rng, 1 + rng() % 3000, round % 2 == 1, false));
  for (const std::u16string tail : {u"\u00e9\u00e9\u00e9", u"\u20ac\u20ac\u20ac", u"\U0001F600\U0001F600",
                                    u"\xD83D\U0001F600", u"\xDE00\xD83D"})
    for (size_t prefix = 500; prefix <= 510; ++prefix)
      texts.push_back(std::u16string(prefix, u'a') + tail + u"z");
  for (const auto& text : texts) {
    std::vector<size_t> chunks(1, 0);
    for (size_t i = 0; i < text.size(); ++i) {
      const bool pair = IsHigh(text[i]) && i + 1 < text.size() && (text[i + 1] & 0xFC00) == 0xDC00;
      if (chunks.back() > 506) chunks.push_back(0);
      chunks.back() += IcuUtf8(text.substr(i, pair ? 2 : 1)).size();
      i += pair;
    }
    const std::string want = IcuUtf8(text);
    Sink sink;
    size_t bytes = 0;
    ASSERT_EQ(U16WriteUtf8(text.data(), 1, text.size(), sink.f, &bytes, 0), static_cast<long>(text.size()));
    ASSERT_EQ(sink.data, want) << Show(text.substr(0, 40));
    ASSERT_EQ(bytes, want.size());
    ASSERT_EQ(sink.writes, chunks) << Show(text.substr(0, 40));
  }
}

// A short write counts only what can have been written (the failed chunk's
// units less a third of its bytes that went out); the fail flag turns a
// chunk of which nothing went out into -1.
TEST(Writer, ShortWritesFputsAndPerror) {
  const std::u16string text(2000, u'a'), euros(400, u'\u20ac');
  struct Case { const std::u16string* in; size_t allow, size; int fail; long want; size_t bytes; } cases[] = {
      {&text, 0, 1, 1, -1, 0},         {&text, 0, 1, 0, 0, 0},           {&text, 507, 1, 1, -1, 507},
      {&text, 807, 1, 0, 607, 807},    {&text, 807, 100, 0, 6, 807},     {&text, 1998, 1, 1, 1680, 1998},
      {&text, 2000, 2000, 0, 1, 2000}, {&euros, 100, 1, 0, 33, 100},
  };
  for (const Case& c : cases) {
    Sink sink;
    sink.allow = c.allow;
    size_t bytes = 7;
    EXPECT_EQ(U16WriteUtf8(c.in->data(), c.size, c.in->size() / c.size, sink.f, &bytes, c.fail), c.want)
        << "allow " << c.allow << " size " << c.size;
    EXPECT_EQ(bytes, c.bytes) << "allow " << c.allow;
  }
  Sink sink;
  EXPECT_EQ(U16WriteUtf8(u"a\U0001F600", 1, 2, sink.f, nullptr, 1), 2) << "a pair's low unit past the count";
  EXPECT_EQ(fputsU16(u"gr\u00fc\u00df \U0001F600", sink.f), 11);
  EXPECT_EQ(sink.data, "a#gr\xc3\xbc\xc3\x9f \xf0\x9f\x98\x80");
  sink.allow = 3;
  EXPECT_EQ(fputsU16(u"abcdef", sink.f), -1) << "a line written in part is a failure";
  // perrorU16 and the out-of-memory report write to stderr themselves.
  auto r = tovtest::RunInChild([] {
    errno = ENOENT;
    perrorU16(u"gr\u00fc\u00df");
    errno = EACCES;
    perrorU16(nullptr);
    U16ReportNoMemory("alloc", "m", 2);
    return getpid() & 0xFF;
  });
  const std::string memory = "alloc : malloc : Out of memory.\n";
  const size_t at = r.err.find("pid = ") + 6;
  EXPECT_EQ(std::stoi(r.err.substr(at)) & 0xFF, r.exit_code);
  EXPECT_EQ(r.err.replace(at, r.err.find(' ', at) - at, "P"),
            std::string("gr\xc3\xbc\xc3\x9f: ") + strerror(ENOENT) + "\n" + strerror(EACCES) + "\n" + memory +
                Header("m", 2, "P") + "\n" + memory + kEnd + "\n");
}

// --- Reading ------------------------------------------------------------------

// Each fgetsU16 result of a stream read with capacity n to its end.
std::vector<std::u16string> ReadLines(const std::string& bytes, int n) {
  Source src(bytes);
  std::vector<std::u16string> out;
  std::vector<WEQ_UC> buf(static_cast<size_t>(n) + 1, 0x7777);
  while (fgetsU16(buf.data(), n, src.f) != nullptr && out.size() <= bytes.size()) {
    out.emplace_back(buf.data());
    EXPECT_LT(out.back().size(), static_cast<size_t>(n));
  }
  return out;
}

std::vector<int> ReadUnits(const std::string& bytes) {
  Source src(bytes);
  std::vector<int> out;
  for (int c; (c = fgetcU16(src.f)) != -1;) out.push_back(c);
  return out;
}

// Valid text written by ICU and read back at small capacities: the pieces
// join to the text, each ends with its line feed or for room, and none
// ends inside a pair; unit by unit, pairs read as U+FFFD.
TEST(Reader, ValidTextInLinesBesideIcu) {
  std::mt19937 rng(5);
  for (int round = 0; round < 40 * tovtest::HeavyFactor(); ++round) {
    const std::u16string text = RandomText(rng, 1 + rng() % 400, false, true);
    const std::string bytes = IcuUtf8(text);
    for (int n : {2, 3, 4, 5, 9, 80}) {
      const std::vector<std::u16string> lines = ReadLines(bytes, n);
      std::u16string joined;
      for (size_t k = 0; k < lines.size(); ++k) {
        const std::u16string& p = lines[k];
        if (n == 2 && p == u"\uFFFD" && IsHigh(text[joined.size()])) {
          joined += text.substr(joined.size(), 2);  // two units cannot hold a pair
          continue;
        }
        ASSERT_FALSE(p.empty() || IsHigh(p.back())) << "split pair, n " << n;
        ASSERT_TRUE(k + 1 == lines.size() || p.back() == u'\n' || p.size() + 2 >= size_t(n)) << Show(p);
        joined += p;
      }
      ASSERT_EQ(joined, text) << "n " << n;
    }
    std::vector<int> want;
    for (size_t i = 0; i < text.size(); i += 1 + IsHigh(text[i]))
      want.push_back(IsHigh(text[i]) ? 0xFFFD : text[i]);
    ASSERT_EQ(ReadUnits(bytes), want);
  }
  // One unit of room before a 4-byte character: the line ends before it.
  EXPECT_EQ(ReadLines("ab\na\xF0\x9F\x98\x80" "b", 3),
            (std::vector<std::u16string>{u"ab", u"\n", u"a", u"\U0001F600", u"b"}));
  WEQ_UC buf[2] = {0x7777, 0x7777};
  Source src("ab");
  EXPECT_EQ(fgetsU16(buf, 0, src.f), nullptr);
  EXPECT_EQ(fgetsU16(buf, -1, src.f), nullptr);
  EXPECT_EQ(buf[0], 0x7777) << "n <= 0 wrote";
  EXPECT_EQ(fgetsU16(buf, 1, src.f), buf);
  EXPECT_EQ(std::u16string(buf, 2), (std::u16string{0, 0x7777}));
}

// Invalid input through fgetcU16, fgetsU16 and mbstowcsU16, and the bad
// bytes that the line reader's report shows. Only the bad prefix of a
// sequence becomes '#'; the byte that ended it starts the next character.
TEST(Reader, InvalidInput) {
  struct Case { std::string bytes; std::vector<int> units; std::u16string line; std::string dump; };
  const Case cases[] = {
      {"\xC3\x28", {'#', '('}, u"#(", " c3 "},
      {"\xC3\xC3\xA9", {'#', 0xE9}, u"#\u00e9", " c3 "},
      {"\x80z", {'#', 'z'}, u"#z", " 80 "},
      {"\xF8\xFF", {'#', '#'}, u"##", " ff "},
      {"\xE2\x82", {'#'}, u"#", " e2 82 "},
      {"\xF4\x90\x80\x80!", {'#', '!'}, u"#!", " f4 90 80 80 "},
      {"\xE9\n", {'#', '\n'}, u"#\n", " e9 "},  // a Latin-1 e-acute does not join two lines
      {"\xED\xA0\x80", {0xD800}, std::u16string(1, 0xD800), ""},
      {std::string("\xC0\x80\n", 3), {0, '\n'}, std::u16string(u"\0\n", 2), ""},  // overlong forms pass
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Show(FromUtf8(c.bytes)));
    Reports rep(c.dump.empty() ? 1 : 0);
    EXPECT_EQ(ReadUnits(c.bytes), c.units);
    rep.Level(1);
    WEQ_UC buf[100];
    EXPECT_EQ(fgetsU16(buf, 100, Source(c.bytes).f), buf);
    EXPECT_EQ(std::u16string(buf, c.line.size() + 1), c.line + u'\0');
    errno = 0;
    const size_t converted = c.dump.empty() ? std::u16string(c.line.c_str()).size() : static_cast<size_t>(-1);
    EXPECT_EQ(mbstowcsU16(nullptr, c.bytes.c_str(), 0), converted);
    EXPECT_EQ(errno, c.dump.empty() ? 0 : EILSEQ);
    const std::vector<std::string> frame = {"Invalid UTF-8 encountered by fgetsU16 (fileno 0x", c.dump,
                                            "Characters previously read:"};
    ASSERT_EQ(gReports.size(), c.dump.empty() ? 0 : 5 + (c.line.size() + 7) / 8);
    for (size_t k = 0; k < gReports.size() && k < 3; ++k)
      EXPECT_TRUE(gReports[k + 1].starts_with(frame[k])) << gReports[k + 1];
  }
  Source src("\xE2\x82(\xF0\x9F\x98\x80");
  U16BadSequence bad;
  int err[3] = {5, 5, 5};
  const std::vector<int> got = {Utf8GetChar(src.f, &bad, &err[0]), errno, Utf8GetChar(src.f, &bad, &err[1]),
                                Utf8GetChar(src.f, &bad, &err[2]), Utf8GetChar(src.f, nullptr, nullptr)};
  EXPECT_EQ(got, (std::vector<int>{'#', EILSEQ, '(', 0x1F600, -1}));
  EXPECT_EQ((std::vector<int>{err[0], err[1], err[2], bad.err, bad.len, bad.bytes[0], bad.bytes[1]}),
            (std::vector<int>{EILSEQ, 0, 0, EILSEQ, 2, 0xE2, 0x82}))
      << "a valid character changed the record";
}

// --- Text conversions and system texts ------------------------------------------

TEST(Texts, MbstowcsCapacities) {
  struct Case { const char* src; size_t n, rc; std::u16string stored; } cases[] = {  // then an untouched unit
      {"\xF0\x9F\x98\x80x", 3, 3, u"\U0001F600x"}, {"\xF0\x9F\x98\x80x", 1, 1, u"\xD83D"},
      {"\xF0\x9F\x98\x80x", 4, 3, {u"\U0001F600x", 4}}, {"", 1, 0, {u"", 1}}, {"abc", 0, 0, u""},
  };
  for (const Case& c : cases) {
    std::vector<WEQ_UC> buf(c.n + 2, 0x7777);
    EXPECT_EQ(mbstowcsU16(buf.data(), c.src, c.n), c.rc) << c.src << " n " << c.n;
    EXPECT_EQ(std::u16string(buf.data(), c.stored.size() + 1), c.stored + u'\x7777');
  }
  EXPECT_EQ(mbstowcsU16(nullptr, "\xF0\x9F\x98\x80x", 0), 3u);
}

// A name with '\' and non-ASCII characters, modes of another C library,
// and the open report at level 16 with the last 80 units of the name.
TEST(Texts, Fopen) {
  tovtest::TempDir dir;
  std::u16string name = FromUtf8(dir.path()) + u"/" + std::u16string(100, u'n') + u"\u00e9 \U0001F600";
  std::replace(name.begin(), name.end(), u'/', u'\\');
  Reports rep(16);
  FILE* f = fopenU16(name.c_str(), u"wtN,ccs=UTF-8");
  ASSERT_NE(f, nullptr) << strerror(errno);
  fclose(f);
  const std::string utf8 = dir.path() + "/" + std::string(100, 'n') + "\xc3\xa9 \xf0\x9f\x98\x80";
  EXPECT_EQ(access(utf8.c_str(), F_OK), 0);
  const std::string want = "fopenU16 \"..." + std::string(76, 'n') + "# ##\" (fileno 0x";
  EXPECT_EQ(gReports.size() < 2 ? "" : gReports[1].substr(0, want.size()), want);
  EXPECT_EQ(fopenU16(name.c_str(), u"tc"), nullptr);  // no mode letter left
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(fopenU16(std::u16string(5000, u'\u20ac').c_str(), u"r"), nullptr);
  EXPECT_EQ(errno, ENAMETOOLONG);
}

// The system's texts, and the reports when they are not UTF-8 or do not
// fit (strerrorU16's text is cut at 511 units, never inside a pair).
TEST(Texts, SystemTextsAndTheirFailures) {
  for (int e : {0, EINVAL, EILSEQ, 12345}) EXPECT_EQ(std::u16string(strerrorU16(e)), FromUtf8(strerror(e)));
  char host[256] = {};
  ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
  const size_t len = strlen(host);
  std::vector<WEQ_UC> buf(len + 2, 0x7777);
  ASSERT_EQ(gethostnameU16(buf.data(), len + 1), 0);
  EXPECT_EQ(std::u16string(buf.data()), FromUtf8(host));
  WEQ_UC* id = ConvertSCCSID_w("@(#) caf\xc3\xa9 \xf0\x9f\x98\x80");
  EXPECT_EQ(std::u16string(id), u"@(#) caf\u00e9 \U0001F600");
  free(id);
  Reports rep(1);
  EXPECT_EQ(gethostnameU16(buf.data(), len), -1);
  EXPECT_EQ(errno, ENAMETOOLONG);
  EXPECT_EQ(ConvertSCCSID_w("ab\xC3(cd"), ConvertSCCSID_wFailed);
  std::vector<WEQ_UC> out(u16file::kErrorTextUnits + 1, 0x7777);
  u16file::ErrorTextToU16(42, "Fehler \xE4 beim Lesen", out.data());
  // The '3' right after the number is part of the fixed text.
  EXPECT_EQ(std::u16string(out.data()), u"Could not convert error no. 423 to UTF-16 characters");
  EXPECT_EQ(errno, EILSEQ);
  std::string longText(600, 'y');
  u16file::ErrorTextToU16(7, longText.c_str(), out.data());
  EXPECT_EQ(strlenU(out.data()), 511u);
  u16file::ErrorTextToU16(7, longText.replace(510, 4, "\xF0\x9F\x98\x80").c_str(), out.data());
  EXPECT_EQ(strlenU(out.data()) + errno, 510u + ENAMETOOLONG);
  std::set<std::string> lines(gReports.begin(), gReports.end());
  for (const char* line : {"Array wname length length is too small.", "strerrorU16 encountered invalid UTF-8",
                           "ConvertSCCSID_w encountered invalid UTF-8",
                           "Array werror length MAX_ERROR_LN is too small."})
    EXPECT_TRUE(lines.count(line)) << line;
}

// --- The reporter -------------------------------------------------------------

// The frames, the caps (the module at 60 bytes, header and message at 315,
// 263 before an end line), the dump columns, the scan for the bad bytes
// behind a conversion failure, and the levels.
TEST(Reporter, FramesCapsColumnsScansAndLevels) {
  Reports rep(4);
  U16Report("short message", "mod", 12, 1);
  U16Report(std::string(400, 'm').c_str(), std::string(70, 'M').c_str(), 7, 0);
  U16Report(std::string(400, 'e').c_str(), "mod", 7, 1);
  U16ReportBytes(reinterpret_cast<const unsigned char*>("Hello, w\0rld \x7f\x80\xff~!xyz"), 20);
  const WEQ_UC units[] = {u'A', u' ', 0x7F, 0x80, 0xE9, 0xD83D, u'z', u'~', u'q', 0};
  U16ReportUnits(units, 10);
  U16ReportArrayTooSmall("len", std::string(70, 'f').c_str(), "arr", "m", 1);
  const WEQ_UC format[] = {u'a', u'%', u'y', 0xE9, 0};
  U16ReportFormatError(format, u'y', "u16_OutCon", 3);
  // The units before the bad bytes are stored (at most n; none without a
  // destination); a 4-byte character is outside what the scan knows.
  std::u16string dst(8, 0x7777);
  U16ReportBadUtf8(dst.data(), "ab\xC3(z", 10, "m", 4, "caller");
  U16ReportBadUtf8(nullptr, "\xE2\x82", 0, "m", 5, "caller");
  U16ReportBadUtf8(dst.data() + 3, "\xC3\xA9\xF0\x9F\x98\x80", 10, "m", 6, "caller");
  U16ReportBadUtf8(dst.data() + 5, "all fine", 2, "m", 7, "caller");
  U16ReportLevel = 3;
  U16ReportFormatError(format, u'y', "u16_OutCon", 4);
  U16ReportLevel = 0;
  U16ReportBadUtf8(nullptr, "\xFF", 0, "m", 6, "x");
  errno = 0;
  U16ReportNoMemory("alloc", "m", 7);
  EXPECT_EQ(errno, ENOMEM);
  EXPECT_EQ(dst, u"ab\x7777\u00e9\x7777" "al\x7777");
  const std::string cutModule = Header(std::string(60, 'M'), 7), mod7 = Header("mod", 7),
                    found = "caller encountered invalid UTF-8", before = "Characters previously read:";
  auto dump = [](const char* hex, int pad, const char* text) { return hex + std::string(pad, ' ') + text; };
  EXPECT_EQ(gReports, (std::vector<std::string>{
                          Header("mod", 12), "short message", kEnd, cutModule,
                          std::string(314 - cutModule.size(), 'm'),
                          mod7, std::string(262 - mod7.size(), 'e'), kEnd,
                          " 48 65 6c 6c 6f 2c 20 77 00 72 6c 64 20 7f 80 ff |Hello,.w.rld....|",
                          dump(" 7e 21 78 79", 37, "|~!xy            |"),
                          " 0041 0020 007f 0080 00e9 d83d 007a 007e  |A \x7f..\x2ez~|",
                          dump(" 0071 0000", 32, "|q.      |"),
                          Header("m", 1), "Function " + std::string(64, 'f') + " :",
                          "Array arr length len is too small.", kEnd,
                          Header("u16_OutCon", 3), "Error in format string at or near 'y':", "a%y#", kEnd,
                          Header("m", 4), found, dump(" c3 28", 43, "|.(              |"), before,
                          dump(" 0061 0062", 32, "|ab      |"), kEnd,
                          Header("m", 5), found, dump(" e2 82 00", 40, "|...             |"), before, kEnd,
                          Header("m", 6), found, dump(" f0", 46, "|.               |"), before,
                          dump(" 00e9", 37, "|.       |"), kEnd,
                          Header("m", 7), found + " (but where?)", before,
                          dump(" 0061 006c", 32, "|al      |"), kEnd}));
  // More than 80 units before the bad byte: the last 80 are shown.
  Reports ring(1);
  U16ReportBadUtf8(nullptr, (std::string(20, 'x') + std::string(80, 'y') + "\xFF").c_str(), 0, "mod", 5,
                   std::string(70, 'c').c_str());
  ASSERT_EQ(gReports.size(), 15u);
  EXPECT_EQ(gReports[1], std::string(50, 'c') + " encountered invalid UTF-8");
  EXPECT_EQ(gReports[4].substr(0, 10) + gReports[13].substr(43, 8), " 0079 0079yyyyyyyy") << "the last 80";
}

}  // namespace
