#include "i18n/wequ16/u16file.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <string.h>
#include <unicode/ustring.h>
#include <unistd.h>

#include <random>
#include <string>
#include <vector>

#include "i18n/wequ16/u16file_int.h"
#include "i18n/wequ16/u16str.h"
#include "support/testsupport.h"

namespace {

using tovtest::FromUtf8;
using tovtest::RunInChild;
using tovtest::Show;

// --- References and streams ----------------------------------------------------

// ICU's UTF-8 of 16-bit text, unpaired surrogates written as '#'.
std::string IcuUtf8(const std::u16string& s) {
  UErrorCode ec = U_ZERO_ERROR;
  int32_t need = 0;
  u_strToUTF8WithSub(nullptr, 0, &need, s.data(), static_cast<int32_t>(s.size()), '#', nullptr, &ec);
  std::string out(static_cast<size_t>(need), '\0');
  ec = U_ZERO_ERROR;
  u_strToUTF8WithSub(out.data(), need, &need, s.data(), static_cast<int32_t>(s.size()), '#',
                     nullptr, &ec);
  EXPECT_TRUE(U_SUCCESS(ec));
  return out;
}

std::u16string IcuUtf16(const std::string& s) {
  UErrorCode ec = U_ZERO_ERROR;
  int32_t need = 0;
  u_strFromUTF8(nullptr, 0, &need, s.data(), static_cast<int32_t>(s.size()), &ec);
  std::u16string out(static_cast<size_t>(need), u'\0');
  ec = U_ZERO_ERROR;
  u_strFromUTF8(out.data(), need, &need, s.data(), static_cast<int32_t>(s.size()), &ec);
  EXPECT_TRUE(U_SUCCESS(ec));
  return out;
}

// An unbuffered stream that records every write it is handed and accepts
// only `allow` bytes in total; the rest of a write is refused.
struct Sink {
  std::string data;
  std::vector<size_t> writes;
  size_t allow = SIZE_MAX;
  FILE* f = nullptr;

  Sink() {
    cookie_io_functions_t io{};
    io.write = [](void* self, const char* b, size_t n) -> ssize_t {
      auto* s = static_cast<Sink*>(self);
      s->writes.push_back(n);
      size_t k = std::min(n, s->allow);
      s->allow -= k;
      s->data.append(b, k);
      return static_cast<ssize_t>(k);
    };
    f = fopencookie(this, "w", io);
    setvbuf(f, nullptr, _IONBF, 0);
  }
  ~Sink() { fclose(f); }
};

// A read stream over bytes.
struct Source {
  std::string bytes;
  FILE* f;
  explicit Source(std::string b) : bytes(std::move(b)) {
    f = fmemopen(bytes.data(), bytes.size(), "r");
  }
  ~Source() { fclose(f); }
};

// Random text: ASCII, 2- and 3-byte characters, pairs and, when asked,
// unpaired surrogates and line feeds.
std::u16string RandomText(std::mt19937& rng, size_t units, bool loneSurrogates, bool lines) {
  std::u16string s;
  while (s.size() < units) {
    switch (rng() % (lines ? 7 : 6)) {
      case 0: case 1: s.push_back(static_cast<char16_t>(0x20 + rng() % 0x5F)); break;
      case 2: s.push_back(static_cast<char16_t>(0x80 + rng() % 0x780)); break;
      case 3: s.push_back(static_cast<char16_t>(0x800 + rng() % 0xD000)); break;
      case 4: {
        char32_t cp = 0x10000 + rng() % 0x100000;
        s.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
        s.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
        break;
      }
      case 5:
        if (loneSurrogates) s.push_back(static_cast<char16_t>(0xD800 + rng() % 0x800));
        break;
      case 6: s.push_back(u'\n'); break;
    }
  }
  return s;
}

// --- Writing ------------------------------------------------------------------------

TEST(Writer, KnownSequences) {
  struct Case {
    std::u16string in;
    std::string out;
  } cases[] = {
      {u"A\U0001F600B", "A\xF0\x9F\x98\x80" "B"},
      {std::u16string{u'A', 0xDC00, u'B'}, "A#B"},
      {std::u16string{u'A', 0xD800}, "A#"},
      {std::u16string{0xD800, 0xD800, 0xDC00}, "#\xF0\x90\x80\x80"},
      {u"\u007f\u0080\u07ff\u0800\uffff", "\x7f\xc2\x80\xdf\xbf\xe0\xa0\x80\xef\xbf\xbf"},
      {std::u16string(1, u'\0'), std::string(1, '\0')},
  };
  for (const Case& c : cases) {
    Sink sink;
    size_t bytes = 99;
    EXPECT_EQ(U16WriteUtf8(c.in.data(), c.in.size(), 1, sink.f, &bytes, 0), 1) << Show(c.in);
    EXPECT_EQ(sink.data, c.out) << Show(c.in);
    EXPECT_EQ(bytes, c.out.size());
  }
  Sink sink;
  size_t bytes = 99;
  EXPECT_EQ(U16WriteUtf8(u"x", 0, 5, sink.f, &bytes, 1), 0);
  EXPECT_EQ(bytes, 0u);
  EXPECT_TRUE(sink.writes.empty());
}

// The chunk sizes the writer must hand to fwrite: a chunk ends after the
// character that brings it above 506 bytes. Characters are measured in the
// UTF-8 that ICU makes of them.
std::vector<size_t> ExpectedChunks(const std::u16string& text) {
  std::vector<size_t> out;
  size_t pending = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    bool pair = text[i] >= 0xD800 && text[i] <= 0xDBFF && i + 1 < text.size() &&
                text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF;
    pending += IcuUtf8(text.substr(i, pair ? 2 : 1)).size();
    i += pair;
    if (pending > 506) {
      out.push_back(pending);
      pending = 0;
    }
  }
  if (pending > 0) out.push_back(pending);
  return out;
}

// Random text beside ICU, in the chunks described above.
TEST(Writer, MatchesIcuInChunksOf507Bytes) {
  std::mt19937 rng(3);
  for (int round = 0; round < 40 * tovtest::HeavyFactor(); ++round) {
    std::u16string text = RandomText(rng, 1 + rng() % 3000, round % 2 == 1, false);
    std::string want = IcuUtf8(text);
    Sink sink;
    size_t bytes = 0;
    ASSERT_EQ(U16WriteUtf8(text.data(), 1, text.size(), sink.f, &bytes, 0),
              static_cast<long>(text.size()));
    ASSERT_EQ(sink.data, want) << "round " << round;
    ASSERT_EQ(bytes, want.size());
    ASSERT_EQ(sink.writes, ExpectedChunks(text)) << "round " << round;
  }
}

// Prefixes of 500..510 ASCII units put the chunk end on every byte of a
// following 2-, 3- or 4-byte character, and between the units of a pair.
TEST(Writer, CharactersAcrossTheChunkEnd) {
  const std::u16string tails[] = {u"\u00e9\u00e9\u00e9", u"\u20ac\u20ac\u20ac",
                                  u"\U0001F600\U0001F600", std::u16string{0xD83D, 0xD83D, 0xDE00},
                                  std::u16string{0xDE00, 0xD83D}};
  for (const auto& tail : tails) {
    for (size_t prefix = 500; prefix <= 510; ++prefix) {
      std::u16string text = std::u16string(prefix, u'a') + tail + u"z";
      Sink sink;
      ASSERT_EQ(fwriteU16(text.data(), text.size(), 1, sink.f), 1u);
      ASSERT_EQ(sink.data, IcuUtf8(text)) << "prefix " << prefix << " " << Show(tail);
      ASSERT_EQ(sink.writes, ExpectedChunks(text)) << "prefix " << prefix << " " << Show(tail);
    }
  }
}

// Short writes: the result counts only what can have been written, and the
// fail flag turns a chunk of which nothing was written into -1.
TEST(Writer, ShortWrites) {
  std::u16string text(2000, u'a');  // chunks of 507 bytes and units
  struct Case {
    size_t allow;
    size_t size;
    int fail;
    long want;
    size_t bytes;
  } cases[] = {
      {0, 1, 1, -1, 0},                     // nothing at all
      {0, 1, 0, 0, 0},                      // without the fail flag: 0 elements
      {507, 1, 1, -1, 507},                 // the second chunk is refused whole
      {507 + 300, 1, 0, 507 + 100, 807},    // 300 of 507 written: 100 units counted
      {507 + 300, 100, 0, 6, 807},          // (607 units) / 100
      {1998, 1, 1, 1521 + 159, 1998},       // the fourth chunk (479 units) gives 477/3
      {2000, 2000, 0, 1, 2000},             // everything
  };
  for (const Case& c : cases) {
    Sink sink;
    sink.allow = c.allow;
    size_t bytes = 7;
    long got = U16WriteUtf8(text.data(), c.size, text.size() / c.size, sink.f, &bytes, c.fail);
    EXPECT_EQ(got, c.want) << "allow " << c.allow << " size " << c.size;
    EXPECT_EQ(bytes, c.bytes) << "allow " << c.allow;
  }
  // Three-byte characters: 169 units make one chunk of 507 bytes; of 100
  // bytes written, 33 units are counted.
  std::u16string euros(400, u'\u20ac');
  Sink sink;
  sink.allow = 100;
  EXPECT_EQ(U16WriteUtf8(euros.data(), 1, euros.size(), sink.f, nullptr, 0), 33);
}

TEST(Writer, FputsAndPerror) {
  {
    Sink sink;
    EXPECT_EQ(fputsU16(u"gr\u00fc\u00df \U0001F600", sink.f), 11);
    EXPECT_EQ(sink.data, "gr\xc3\xbc\xc3\x9f \xf0\x9f\x98\x80");
    EXPECT_EQ(fputsU16(u"", sink.f), 0);
  }
  {
    Sink sink;
    sink.allow = 3;
    EXPECT_EQ(fputsU16(u"abcdef", sink.f), -1) << "a line written in part is a failure";
    sink.allow = 0;
    EXPECT_EQ(fputsU16(u"abc", sink.f), -1);
  }
  auto r = RunInChild([] {
    errno = ENOENT;
    perrorU16(u"gr\u00fc\u00df");
    errno = EACCES;
    perrorU16(nullptr);
    return 0;
  });
  EXPECT_EQ(r.err, std::string("gr\xc3\xbc\xc3\x9f: ") + strerror(ENOENT) + "\n" +
                       strerror(EACCES) + "\n");
}

// --- Reading --------------------------------------------------------------------------

std::vector<int> ReadUnits(const std::string& bytes) {
  Source src(bytes);
  std::vector<int> out;
  for (int c; (c = fgetcU16(src.f)) != -1;) out.push_back(c);
  return out;
}

// Each piece is one fgetsU16 result, or "<NULL>" for its NULL.
std::vector<std::u16string> ReadLines(const std::string& bytes, int n) {
  Source src(bytes);
  std::vector<std::u16string> out;
  std::vector<WEQ_UC> buf(static_cast<size_t>(n) + 1, 0x7777);
  while (fgetsU16(buf.data(), n, src.f) != nullptr) {
    std::u16string piece(buf.data());
    EXPECT_LT(piece.size(), static_cast<size_t>(n));
    out.push_back(piece);
    if (out.size() > bytes.size() + 2) break;
  }
  return out;
}

// Valid random text with line feeds, written by ICU, read back in lines of
// every small capacity: the pieces concatenate to the text, each ends with
// its line feed or at capacity, and no piece splits a pair.
TEST(Reader, ValidTextInLinesBesideIcu) {
  std::mt19937 rng(5);
  for (int round = 0; round < 40 * tovtest::HeavyFactor(); ++round) {
    std::u16string text = RandomText(rng, 1 + rng() % 400, false, true);
    std::string bytes = IcuUtf8(text);
    ASSERT_EQ(IcuUtf16(bytes), text);
    for (int n : {2, 3, 4, 5, 9, 80, 1000}) {
      std::vector<std::u16string> lines = ReadLines(bytes, n);
      std::u16string joined;
      for (size_t k = 0; k < lines.size(); ++k) {
        const std::u16string& p = lines[k];
        ASSERT_FALSE(p.empty());
        if (n == 2 && p == u"\uFFFD") {
          // A two-unit buffer cannot hold a pair: the character is replaced.
          size_t at = joined.size();
          ASSERT_TRUE(text[at] >= 0xD800 && text[at] <= 0xDBFF);
          joined += text.substr(at, 2);
          continue;
        }
        WEQ_UC last = p.back();
        ASSERT_FALSE(last >= 0xD800 && last <= 0xDBFF) << "split pair, n " << n;
        if (k + 1 < lines.size() && last != u'\n') {
          // Ended for room: full, or one short before a pair.
          ASSERT_GE(p.size() + 2, static_cast<size_t>(n)) << Show(p);
        }
        joined += p;
      }
      ASSERT_EQ(joined, text) << "n " << n;
    }
    // Unit by unit: pairs become U+FFFD.
    std::vector<int> units = ReadUnits(bytes);
    std::vector<int> want;
    for (size_t i = 0; i < text.size(); ++i) {
      bool pair = text[i] >= 0xD800 && text[i] <= 0xDBFF;
      want.push_back(pair ? 0xFFFD : text[i]);
      i += pair;
    }
    ASSERT_EQ(units, want);
  }
}

// Invalid input: what fgetcU16 returns unit by unit, what fgetsU16 returns
// line by line, and the bad bytes its report shows. Only the bad prefix of a
// sequence becomes '#'; the byte that ended it starts the next character.
TEST(Reader, InvalidInput) {
  struct Case {
    std::string bytes;
    std::vector<int> units;
    std::vector<std::u16string> lines;
    std::string dump;  // the bytes of the last bad sequence as dumped
  } cases[] = {
      {"\xC3\x28", {'#', '('}, {u"#("}, " c3"},
      {"\xE9\n" "x", {'#', '\n', 'x'}, {u"#\n", u"x"}, " e9"},
      {"\xC3\xC3\xA9", {'#', 0xE9}, {u"#\u00e9"}, " c3"},
      {"\x80z", {'#', 'z'}, {u"#z"}, " 80"},
      {"\xF8\xFF", {'#', '#'}, {u"##"}, " ff"},
      {"\xE2\x82", {'#'}, {u"#"}, " e2 82"},
      {"\xF4\x90\x80\x80!", {'#', '!'}, {u"#!"}, " f4 90 80 80"},
      {"\xF0\x9F\x98\x80", {0xFFFD}, {u"\U0001F600"}, ""},
      {std::string("\xC0\x80", 2), {0}, {u""}, ""},  // no overlong test
      {"\xED\xA0\x80", {0xD800}, {std::u16string(1, 0xD800)}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Show(FromUtf8(c.bytes)));
    EXPECT_EQ(ReadUnits(c.bytes), c.units);
    if (c.lines[0].empty()) continue;
    EXPECT_EQ(ReadLines(c.bytes, 100), c.lines);
    auto r = RunInChild([&] {
      Source src(c.bytes);
      WEQ_UC buf[100];
      while (fgetsU16(buf, 100, src.f) != nullptr) {
      }
      return 0;
    });
    if (c.dump.empty()) {
      EXPECT_EQ(r.err, "");
    } else {
      EXPECT_NE(r.err.find("Invalid UTF-8 encountered by fgetsU16 (fileno 0x"), std::string::npos)
          << r.err;
      EXPECT_NE(r.err.find("\n" + c.dump + " "), std::string::npos) << r.err;
    }
  }
}

TEST(Reader, Utf8GetCharRecord) {
  Source src("\xE2\x82(\xF0\x9F\x98\x80");
  U16BadSequence bad;
  int err = 5;
  errno = 0;
  EXPECT_EQ(Utf8GetChar(src.f, &bad, &err), '#');
  EXPECT_EQ(err, EILSEQ);
  EXPECT_EQ(errno, EILSEQ);
  EXPECT_EQ(bad.len, 2);
  EXPECT_EQ(bad.bytes[0], 0xE2);
  EXPECT_EQ(bad.bytes[1], 0x82);
  EXPECT_EQ(bad.err, EILSEQ);
  EXPECT_EQ(Utf8GetChar(src.f, &bad, &err), '(');
  EXPECT_EQ(err, 0);
  EXPECT_EQ(Utf8GetChar(src.f, &bad, &err), 0x1F600);
  EXPECT_EQ(bad.len, 2) << "a valid character changed the record";
  EXPECT_EQ(bad.bytes[0], 0xE2);
  EXPECT_EQ(Utf8GetChar(src.f, &bad, &err), -1);
  EXPECT_EQ(Utf8GetChar(src.f, nullptr, nullptr), -1);
}

TEST(Reader, LineCapacities) {
  WEQ_UC buf[8];
  auto fill = [&] { std::fill(std::begin(buf), std::end(buf), 0x7777); };
  {
    Source src("ab\n");
    fill();
    EXPECT_EQ(fgetsU16(buf, 0, src.f), nullptr);
    EXPECT_EQ(fgetsU16(buf, -1, src.f), nullptr);
    EXPECT_EQ(buf[0], 0x7777) << "n <= 0 wrote into the buffer";
    EXPECT_EQ(fgetsU16(buf, 1, src.f), buf);
    EXPECT_EQ(buf[0], 0);
    EXPECT_EQ(buf[1], 0x7777);
    EXPECT_EQ(fgetsU16(buf, 3, src.f), buf);
    EXPECT_EQ(std::u16string(buf), u"ab");
    EXPECT_EQ(fgetsU16(buf, 3, src.f), buf);
    EXPECT_EQ(std::u16string(buf), u"\n");
    fill();
    EXPECT_EQ(fgetsU16(buf, 3, src.f), nullptr);
    EXPECT_EQ(buf[0], 0x7777) << "end of file changed the buffer";
  }
  {
    // One unit of room before a 4-byte character: the line ends before it.
    Source src("a\xF0\x9F\x98\x80" "b");
    EXPECT_EQ(fgetsU16(buf, 3, src.f), buf);
    EXPECT_EQ(std::u16string(buf), u"a");
    EXPECT_EQ(fgetsU16(buf, 3, src.f), buf);
    EXPECT_EQ(std::u16string(buf), u"\U0001F600");
    EXPECT_EQ(fgetsU16(buf, 3, src.f), buf);
    EXPECT_EQ(std::u16string(buf), u"b");
  }
  {
    Source src("\xF0\x9F\x98\x80\xF0\x9F\x98\x80");
    EXPECT_EQ(fgetsU16(buf, 2, src.f), buf);
    EXPECT_EQ(std::u16string(buf), u"\uFFFD");
    EXPECT_EQ(fgetsU16(buf, 2, src.f), buf);
    EXPECT_EQ(fgetsU16(buf, 2, src.f), nullptr);
  }
  {
    // A stream opened for writing only: the read fails and sets the error
    // flag.
    tovtest::TempDir dir;
    FILE* f = fopen(dir.File("w").c_str(), "w");
    EXPECT_EQ(fgetsU16(buf, 8, f), nullptr);
    fclose(f);
  }
}

// --- Text conversions -----------------------------------------------------------------

TEST(Mbstowcs, CapacitiesPairsAndErrors) {
  const char* pairThenX = "\xF0\x9F\x98\x80x";
  struct Case {
    const char* src;
    size_t n;
    size_t rc;
    std::u16string stored;
  } cases[] = {
      {pairThenX, 3, 3, u"\U0001F600x"},
      {pairThenX, 2, 2, u"\U0001F600"},
      {pairThenX, 1, 1, std::u16string(1, 0xD83D)},
      {pairThenX, 4, 3, std::u16string(u"\U0001F600x") + u'\0'},
      {"abc", 3, 3, u"abc"},
      {"abc", 9, 3, std::u16string(u"abc") + u'\0'},
      {"", 1, 0, std::u16string(1, u'\0')},
      {"abc", 0, 0, u""},
  };
  for (const Case& c : cases) {
    std::vector<WEQ_UC> buf(c.n + 2, 0x7777);
    EXPECT_EQ(mbstowcsU16(buf.data(), c.src, c.n), c.rc) << c.src << " n " << c.n;
    EXPECT_EQ(std::u16string(buf.data(), c.stored.size()), c.stored);
    EXPECT_EQ(buf[c.stored.size()], 0x7777) << "stored more than expected";
  }
  EXPECT_EQ(mbstowcsU16(nullptr, pairThenX, 0), 3u);
  for (const char* bad : {"a\xC3(", "\x80", "\xF4\x90\x80\x80", "ab\xE2\x82"}) {
    WEQ_UC buf[8];
    errno = 0;
    EXPECT_EQ(mbstowcsU16(buf, bad, 8), static_cast<size_t>(-1)) << Show(FromUtf8(bad));
    EXPECT_EQ(errno, EILSEQ);
    errno = 0;
    EXPECT_EQ(mbstowcsU16(nullptr, bad, 0), static_cast<size_t>(-1));
    EXPECT_EQ(errno, EILSEQ);
  }
  std::mt19937 rng(9);
  for (int round = 0; round < 200; ++round) {
    std::u16string text = RandomText(rng, rng() % 60, false, true);
    std::string bytes = IcuUtf8(text);
    std::vector<WEQ_UC> buf(text.size() + 1);
    ASSERT_EQ(mbstowcsU16(buf.data(), bytes.c_str(), buf.size()), text.size());
    ASSERT_EQ(std::u16string(buf.data()), text);
  }
}

TEST(Fopen, NamesModesAndReport) {
  tovtest::TempDir dir;
  std::u16string base = FromUtf8(dir.path());
  for (auto& c : base)
    if (c == u'/') c = u'\\';
  std::u16string name = base + u"\\gr\u00fc\u00df \U0001F600.txt";
  FILE* f = fopenU16(name.c_str(), u"wtN,ccs=UTF-8");
  ASSERT_NE(f, nullptr) << strerror(errno);
  EXPECT_EQ(fputsU16(u"ok\n", f), 3);
  fclose(f);
  EXPECT_EQ(tovtest::ReadFile(dir.path() + "/gr\xc3\xbc\xc3\x9f \xf0\x9f\x98\x80.txt"), "ok\n");
  f = fopenU16(name.c_str(), u"rb");
  ASSERT_NE(f, nullptr);
  fclose(f);

  errno = 0;
  EXPECT_EQ(fopenU16((base + u"\\missing").c_str(), u"r"), nullptr);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(fopenU16(name.c_str(), u"tc"), nullptr);
  EXPECT_EQ(errno, EINVAL);
  std::u16string huge(5000, u'\u20ac');
  EXPECT_EQ(fopenU16(huge.c_str(), u"r"), nullptr);
  EXPECT_EQ(errno, ENAMETOOLONG);

  // At level 16 every open is reported, with the last 80 units of the name.
  std::u16string longName = base + u"\\" + std::u16string(100, u'n') + u"\u00e9";
  auto r = RunInChild([&] {
    U16ReportLevel = 16;
    FILE* g = fopenU16(longName.c_str(), u"w");
    if (g == nullptr) return 1;
    fclose(g);
    U16ReportLevel = 15;
    g = fopenU16(longName.c_str(), u"r");
    if (g == nullptr) return 2;
    fclose(g);
    return 0;
  });
  EXPECT_EQ(r.exit_code, 0);
  std::string want = "fopenU16 \"..." + std::string(79, 'n') + "#\" (fileno 0x";
  EXPECT_NE(r.err.find(want), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("fopenU16", r.err.find(want) + 1), std::string::npos) << "reported at 15";
}

TEST(SystemTexts, StrerrorHostnameAndIdentification) {
  for (int e : {0, EINVAL, ENOENT, EILSEQ, 12345}) {
    const WEQ_UC* text = strerrorU16(e);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::u16string(text), FromUtf8(strerror(e)));
  }

  char host[256] = {};
  ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
  size_t len = strlen(host);
  std::vector<WEQ_UC> buf(len + 2, 0x7777);
  ASSERT_EQ(gethostnameU16(buf.data(), len + 1), 0);
  EXPECT_EQ(std::u16string(buf.data()), FromUtf8(host));
  auto r = RunInChild([&] {
    errno = 0;
    int rc = gethostnameU16(buf.data(), len);
    return rc == -1 && errno == ENAMETOOLONG ? 0 : 1;
  });
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_NE(r.err.find("Function gethostnameU16 :\nArray wname length length is too small."),
            std::string::npos)
      << r.err;

  WEQ_UC* id = ConvertSCCSID_w("@(#) caf\xc3\xa9 \xf0\x9f\x98\x80");
  ASSERT_NE(id, ConvertSCCSID_wFailed);
  EXPECT_EQ(std::u16string(id), u"@(#) caf\u00e9 \U0001F600");
  free(id);
  r = RunInChild([] {
    WEQ_UC* bad = ConvertSCCSID_w("ab\xC3(cd");
    return bad == ConvertSCCSID_wFailed && std::u16string(bad) == u"ConvertSCCSID_w failed" &&
                   errno == EILSEQ
               ? 0
               : 1;
  });
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_NE(r.err.find("ConvertSCCSID_w encountered invalid UTF-8\n"), std::string::npos) << r.err;
}

// The conversion behind strerrorU16 for texts the C library of this machine
// does not give: invalid UTF-8 and a text longer than the buffer.
TEST(SystemTexts, ErrorTextFailures) {
  std::vector<WEQ_UC> out(u16file::kErrorTextUnits + 1, 0x7777);
  auto r = RunInChild([&] {
    u16file::ErrorTextToU16(42, "Fehler \xE4 beim Lesen", out.data());
    if (std::u16string(out.data()) != u"Could not convert error no. 42 to UTF-16 characters") return 1;
    return errno == EILSEQ ? 0 : 2;
  });
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_NE(r.err.find("strerrorU16 encountered invalid UTF-8"), std::string::npos) << r.err;

  std::string longText(600, 'x');
  longText[510] = '\xF0';  // the pair at units 510 and 511 is not split
  longText[511] = '\x9F';
  longText[512] = '\x98';
  longText[513] = '\x80';
  r = RunInChild([&] {
    errno = 0;
    u16file::ErrorTextToU16(7, longText.c_str(), out.data());
    if (strlenU(out.data()) != 510) return 1;
    return errno == ENAMETOOLONG ? 0 : 2;
  });
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_NE(r.err.find("Function strerrorU16 :\nArray werror length MAX_ERROR_LN is too small."),
            std::string::npos)
      << r.err;
  std::string plain(600, 'y');
  r = RunInChild([&] {
    u16file::ErrorTextToU16(7, plain.c_str(), out.data());
    return static_cast<int>(strlenU(out.data())) - 500;
  });
  EXPECT_EQ(r.exit_code, 11);
}

// --- The reporter -----------------------------------------------------------------------

std::vector<std::string> Lines(const std::string& s) {
  std::vector<std::string> out;
  size_t at = 0;
  for (size_t nl; (nl = s.find('\n', at)) != std::string::npos; at = nl + 1)
    out.push_back(s.substr(at, nl - at));
  if (at < s.size()) out.push_back(s.substr(at));
  return out;
}

std::string Header(const char* module, int line, int pid) {
  return "--- Unicode interface [" + std::string(module) + " line " + std::to_string(line) +
         "] pid = " + std::to_string(pid) + " :";
}

const std::string kEnd = "--- Unicode interface ------ End of message ------";

TEST(Reporter, FramesAndCaps) {
  auto r = RunInChild([] {
    U16Report("short message", "mod", 12, 1);
    U16Report(std::string(400, 'm').c_str(), std::string(70, 'M').c_str(), 7, 0);
    U16Report(std::string(400, 'e').c_str(), "mod", 7, 1);
    U16ReportEnd();
    return getpid();
  });
  // The child's pid is not its exit code beyond 8 bits; read it from the
  // first header instead and check the rest against it.
  std::vector<std::string> lines = Lines(r.err);
  ASSERT_EQ(lines.size(), 9u) << r.err;
  size_t p = lines[0].find("pid = ");
  ASSERT_NE(p, std::string::npos);
  int pid = std::stoi(lines[0].substr(p + 6));
  EXPECT_EQ(pid & 0xFF, r.exit_code);
  EXPECT_EQ(lines[0], Header("mod", 12, pid));
  EXPECT_EQ(lines[1], "short message");
  EXPECT_EQ(lines[2], kEnd);
  // Module cut at 60; header, newline and message within 315 bytes.
  std::string h = Header(std::string(60, 'M').c_str(), 7, pid);
  EXPECT_EQ(lines[3], h);
  EXPECT_EQ(lines[4], std::string(315 - h.size() - 1, 'm'));
  // With the end line: within 263 bytes before it.
  h = Header("mod", 7, pid);
  EXPECT_EQ(lines[5], h);
  EXPECT_EQ(lines[6], std::string(263 - h.size() - 1, 'e'));
  EXPECT_EQ(lines[7], kEnd);
  EXPECT_EQ(lines[8], kEnd);
}

TEST(Reporter, ByteAndUnitColumns) {
  auto r = RunInChild([] {
    static const char raw[] = "Hello, w\0rld \x7f\x80\xff~!xyz";
    std::string b(raw, sizeof raw - 1);
    U16ReportBytes(reinterpret_cast<const unsigned char*>(b.data()), 20);
    const WEQ_UC u[] = {u'A', u' ', 0x7F, 0x80, 0xE9, 0xD83D, u'z', u'~', u'q', 0};
    U16ReportUnits(u, 10);
    return 0;
  });
  std::vector<std::string> lines = Lines(r.err);
  ASSERT_EQ(lines.size(), 4u) << r.err;
  EXPECT_EQ(lines[0],
            " 48 65 6c 6c 6f 2c 20 77 00 72 6c 64 20 7f 80 ff |Hello,.w.rld....|");
  EXPECT_EQ(lines[1], " 7e 21 78 79" + std::string(36, ' ') + " |~!xy" + std::string(12, ' ') + "|");
  EXPECT_EQ(lines[0].find('|'), 49u);
  EXPECT_EQ(lines[1].rfind('|'), 66u);
  EXPECT_EQ(lines[2], " 0041 0020 007f 0080 00e9 d83d 007a 007e  |A \x7f..\x2ez~|");
  EXPECT_EQ(lines[3], " 0071 0000" + std::string(30, ' ') + "  |q." + std::string(6, ' ') + "|");
  EXPECT_EQ(lines[3].rfind('|'), 51u);
}

TEST(Reporter, BadUtf8Scan) {
  struct Case {
    const char* src;
    bool withDst;
    size_t n;
    std::vector<std::string> body;  // the lines after the header
    std::u16string stored;          // units stored into dst
  } cases[] = {
      {"ab\xC3(z", true, 10, {"caller encountered invalid UTF-8", " c3 28" + std::string(42, ' ') + " |.(              |",
                              "Characters previously read:", " 0061 0062" + std::string(30, ' ') + "  |ab      |", kEnd},
       u"ab"},
      {"\xE2\x82", false, 0, {"caller encountered invalid UTF-8", " e2 82 00" + std::string(39, ' ') + " |...             |",
                              "Characters previously read:", kEnd}, u""},
      // A 4-byte character is outside what the scan knows.
      {"\xC3\xA9\xF0\x9F\x98\x80", true, 10, {"caller encountered invalid UTF-8", " f0" + std::string(45, ' ') + " |.               |",
                                              "Characters previously read:", " 00e9" + std::string(35, ' ') + "  |.       |", kEnd},
       u"\u00e9"},
      {"all fine", true, 3, {"caller encountered invalid UTF-8 (but where?)", "Characters previously read:",
                             " 0061 006c 006c" + std::string(25, ' ') + "  |all     |", kEnd}, u"all"},
  };
  for (const Case& c : cases) {
    std::vector<WEQ_UC> dst(16, 0x7777);
    auto r = RunInChild([&] {
      U16ReportBadUtf8(c.withDst ? dst.data() : nullptr, c.src, c.n, "mod", 5, "caller");
      // Report what was stored through the exit code: units equal to the
      // expectation and nothing stored after them except a possible 0.
      if (std::u16string(dst.data(), c.stored.size()) != c.stored && c.withDst) return 1;
      return 0;
    });
    SCOPED_TRACE(Show(FromUtf8(c.src)));
    EXPECT_EQ(r.exit_code, 0);
    std::vector<std::string> lines = Lines(r.err);
    ASSERT_EQ(lines.size(), c.body.size() + 1) << r.err;
    EXPECT_EQ(lines[0].substr(0, 27), "--- Unicode interface [mod ");
    for (size_t k = 0; k < c.body.size(); ++k) EXPECT_EQ(lines[k + 1], c.body[k]);
  }
  // More than 80 units before the bad byte: the last 80 are shown.
  std::string many(100, 'a');
  for (size_t i = 0; i < many.size(); ++i) many[i] = static_cast<char>('0' + i % 10);
  many += "\xFF";
  auto r = RunInChild([&] {
    U16ReportBadUtf8(nullptr, many.c_str(), 0, "mod", 5, std::string(70, 'c').c_str());
    return 0;
  });
  std::vector<std::string> lines = Lines(r.err);
  ASSERT_EQ(lines.size(), 15u) << r.err;
  EXPECT_EQ(lines[1], std::string(50, 'c') + " encountered invalid UTF-8");
  EXPECT_EQ(lines[4].substr(0, 5), " 0030") << "starts at unit 20";
  EXPECT_EQ(lines[13].substr(43, 8), "23456789");
}

TEST(Reporter, LevelsAndFixedTexts) {
  auto r = RunInChild([] {
    U16ReportArrayTooSmall("len", std::string(70, 'f').c_str(), "arr", "m", 1);
    errno = 0;
    U16ReportNoMemory("alloc", "m", 2);
    int e = errno;
    WEQ_UC fmt[] = {u'a', u'%', u'y', 0xE9, 0};
    U16ReportFormatError(fmt, u'y', "u16_OutCon", 3);
    U16ReportLevel = 3;
    U16ReportFormatError(fmt, u'y', "u16_OutCon", 4);
    U16ReportLevel = 0;
    U16ReportArrayTooSmall("len", "fn", "arr", "m", 5);
    U16ReportBadUtf8(nullptr, "\xFF", 0, "m", 6, "x");
    errno = 0;
    U16ReportNoMemory("alloc", "m", 7);
    return e == ENOMEM && errno == ENOMEM ? 0 : 1;
  });
  EXPECT_EQ(r.exit_code, 0);
  std::vector<std::string> lines = Lines(r.err);
  ASSERT_EQ(lines.size(), 12u) << r.err;
  EXPECT_EQ(lines[1], "Function " + std::string(64, 'f') + " :");
  EXPECT_EQ(lines[2], "Array arr length len is too small.");
  EXPECT_EQ(lines[3], kEnd);
  EXPECT_EQ(lines[4], "alloc : malloc : Out of memory.");
  EXPECT_EQ(lines[5].substr(0, 25), "--- Unicode interface [m ");
  EXPECT_EQ(lines[6], "alloc : malloc : Out of memory.");
  EXPECT_EQ(lines[7], kEnd);
  EXPECT_EQ(lines[8].substr(0, 34), "--- Unicode interface [u16_OutCon ");
  EXPECT_EQ(lines[9], "Error in format string at or near 'y':");
  EXPECT_EQ(lines[10], "a%y#");
  EXPECT_EQ(lines[11], kEnd);
}

}  // namespace
