// Memory dumps read back line by line: layout, the three text columns
// against the C library's own code page 273 converter, and the masking of
// session identifiers and connect-block passwords.
#include <gtest/gtest.h>
#include <iconv.h>
#include <stdio.h>

#include "krn/dptrc/dptrc.h"
#include "trc_testutil.h"

namespace {

using trctest::TraceFile;

// The data lines of one dump; each line's columns joined over the dump: the
// hex bytes (or "xx") and their text characters.
struct Dump {
  std::vector<std::string> lines, addresses, offsets;
  std::string hex, text;
};

Dump DumpOf(const void* data, size_t len, int mode, bool masked = false) {
  TraceFile t;
  if (masked) {
    DpTrcHexDumpMasked(t.hdl(), u"title \u00e4", const_cast<void*>(data), len, mode);
  } else {
    DpTrcHexDump(t.hdl(), u"title \u00e4", data, len, mode);
  }
  std::vector<trccheck::Line> b = t.Body();
  std::string rule(72, '-');
  Dump d;
  EXPECT_GE(b.size(), 3u);
  if (b.size() < 3) return d;
  EXPECT_EQ(b[0].body, "Adresse   Offset  title \xc3\xa4");
  EXPECT_EQ(b[1].body, rule);
  EXPECT_EQ(b.back().body, rule);
  for (size_t i = 0; i < b.size(); ++i) EXPECT_EQ(b[i].tag, trctest::KernelTid());
  for (size_t i = 2; i + 1 < b.size(); ++i) {
    // "<address>  <offset>  <36 hex columns>|<16 characters>|"
    const std::string& s = b[i].body;
    size_t a = s.find("  "), o = s.find("  ", a + 2);
    std::string rest = s.substr(o + 2);
    EXPECT_EQ(rest.size(), 54u) << s;
    EXPECT_EQ(rest.substr(36, 1) + rest.substr(53), "||") << s;
    d.addresses.push_back(s.substr(0, a));
    d.offsets.push_back(s.substr(a + 2, o - a - 2));
    d.lines.push_back(rest);
    for (size_t j = 0; j < 16; ++j) {
      size_t at = j * 2 + j / 4;
      if (rest[at] != ' ') d.hex += rest.substr(at, 2), d.text += rest[37 + j];
    }
  }
  return d;
}

std::string Hex(const std::string& bytes) {
  std::string s;
  char b[4];
  for (unsigned char c : bytes) snprintf(b, sizeof b, "%02x", c), s += b;
  return s;
}

// Byte b through iconv; -1 without a mapping.
int Iconv1(const char* to, const char* from, unsigned char b) {
  iconv_t cd = iconv_open(to, from);
  char in = static_cast<char>(b), out[4], *ip = &in, *op = out;
  size_t il = 1, ol = sizeof out;
  size_t r = iconv(cd, &ip, &il, &op, &ol);
  iconv_close(cd);
  return r == (size_t)-1 || op - out != 1 ? -1 : static_cast<unsigned char>(out[0]);
}

char TextOf(int mode, unsigned char b) {
  int c = mode == 0 ? b : mode == 1 ? Iconv1("LATIN1", "IBM273", b) : Iconv1("IBM273", "LATIN1", b);
  // EBCDIC controls show as blanks; tab and line feed keep their codes.
  if (mode == 1 && (c < 0x20 || (c >= 0x7F && c <= 0x9F)) && c != 0x09 && c != 0x0A) c = 0x20;
  return c >= 32 && c <= 126 ? static_cast<char>(c) : '.';
}

TEST(TraceDump, TwentyBytesMakeTwoLines) {
  std::string data = "ABCDEFGHIJKLMNOPQRST";
  Dump d = DumpOf(data.data(), data.size(), 0);
  ASSERT_EQ(d.lines.size(), 2u);
  char addr[32];
  snprintf(addr, sizeof addr, "%lx", reinterpret_cast<unsigned long>(data.data() + 16));
  EXPECT_EQ(d.addresses[1], addr);
  EXPECT_EQ(d.offsets[0] + d.offsets[1], "000000000016");
  EXPECT_EQ(d.lines[0], "41424344 45464748 494a4b4c 4d4e4f50 |ABCDEFGHIJKLMNOP|");
  EXPECT_EQ(d.lines[1], "51525354                            |QRST            |");
}

TEST(TraceDump, AllBytesInEachTextModeAndEveryLastLine) {
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  for (int mode = 0; mode < 3; ++mode) {
    Dump d = DumpOf(all.data(), all.size(), mode);
    ASSERT_EQ(d.lines.size(), 16u);
    EXPECT_EQ(d.offsets[15], "000240");
    EXPECT_EQ(d.hex, Hex(all));
    std::string text;
    for (int i = 0; i < 256; ++i) text += TextOf(mode, static_cast<unsigned char>(i));
    EXPECT_EQ(d.text, text) << mode;
  }
  for (size_t len = 1; len <= 33; ++len) {
    Dump d = DumpOf(all.data() + 0x41, len, 0);
    ASSERT_EQ(d.lines.size(), (len + 15) / 16);
    EXPECT_EQ(d.text, all.substr(0x41, len));
    size_t last = len - 16 * (d.lines.size() - 1);
    EXPECT_EQ(d.lines.back().substr(37, 16),
              all.substr(0x41 + len - last, last) + std::string(16 - last, ' '));
  }
  TraceFile t;
  DpTrcHexDump(t.hdl(), u"x", all.data(), 8, 3);
  DpTrcHexDump(t.hdl(), u"x", nullptr, 8, 0);
  DpTrcHexDumpMasked(t.hdl(), u"x", all.data(), 0, 1);
  EXPECT_EQ(t.Body().size(), 0u);
}

TEST(TraceDump, SessionIdentifiersAreMasked) {
  struct Case {
    std::string data, mask;  // 'm' where a byte is hidden
  } cases[] = {
      {"SID:ANON:abc-ATTz", "mmmmmmmmmmmmmmmm."},
      {"0123456789SID%3aANON%3a0123456789-NEWtail", "..........mmmmmmmmmmmmmmmmmmmmmmmmmmm...."},
      {"xxSID:ANON:never ends across lines", "..mmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmm"},
      {"SID:ANON:a-ATTbbSID:ANON:c-NEWd", "mmmmmmmmmmmmmm..mmmmmmmmmmmmmm."},
      {"SID:ANON no colon -ATT", "......................"},
      {"text SID:AN", "..........."},
  };
  for (const Case& c : cases) {
    for (bool masked : {false, true}) {
      Dump d = DumpOf(c.data.data(), c.data.size(), 0, masked);
      std::string hex, text;
      for (size_t i = 0; i < c.data.size(); ++i) {
        hex += c.mask[i] == 'm' ? "xx" : Hex(c.data.substr(i, 1));
        text += c.mask[i] == 'm' ? '.' : c.data[i];
      }
      EXPECT_EQ(d.hex, hex) << c.data;
      EXPECT_EQ(d.text, text) << c.data;
    }
  }
}

TEST(TraceDump, ConnectBlockPasswordIsHiddenAndRestored) {
  const char maskX[3] = {'\x58', '\xe7', '\xec'};
  for (int mode = 0; mode < 3; ++mode) {
    for (size_t len : {size_t{36}, size_t{37}, size_t{64}}) {
      std::string block = "\xc3\xd6\xd5\xd5";
      while (block.size() < len) block += static_cast<char>(0x81 + block.size());
      std::string original = block;
      std::string hidden = block;
      if (len >= 37) hidden.replace(27, 8, 8, maskX[mode]);
      EXPECT_EQ(DumpOf(block.data(), len, mode, true).hex, Hex(hidden)) << mode << " " << len;
      EXPECT_EQ(block, original) << "not restored";
      EXPECT_EQ(DumpOf(block.data(), len, mode).hex, Hex(original));
    }
  }
  std::string ascii = "CONN" + std::string(40, 'p');  // not the EBCDIC eyecatcher
  EXPECT_EQ(DumpOf(ascii.data(), ascii.size(), 0, true).text, ascii);
}

}  // namespace
