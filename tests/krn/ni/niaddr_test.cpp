// Node addresses and their texts: address-and-mask text against Python's
// ipaddress fixtures and against inet_pton on random texts, the refusals
// with their exact texts, masks written and read back, NiAddrMatch against
// a bytewise reference, hidden route passwords, the IP usage word from
// WEQ_IPv6_ACTIVE in child processes.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <random>
#include <string>
#include <vector>

#include "krn/dptrc/err.h"
#include "krn/dptrc/trc_checker.h"
#include "krn/ni/niaddr_int.h"
#include "support/testsupport.h"

using tovtest::FromUtf8;
using tovtest::Show;
using tovtest::ToUtf8;

namespace {

struct Fixture {
  const char16_t* text;
  const char* addr;
  const char* mask;
  int prefixUsed;
};

const Fixture kFixtures[] = {
#include "addr_fixtures.inc"
};

NI_NODEADDR FromHex(const std::string& hex) {
  NI_NODEADDR a{};
  for (int i = 0; i < 16; ++i) a.addr[i] = static_cast<WEQ_RAW>(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
  return a;
}

std::string Hex(const NI_NODEADDR& a) {
  static const char* d = "0123456789abcdef";
  std::string s;
  for (WEQ_RAW b : a.addr) {
    s += d[b >> 4];
    s += d[b & 15];
  }
  return s;
}

std::u16string Descr() { return ErrGetFld(ERR_FLD_ERROR); }

// The rebuilt text of an address and mask.
std::u16string MaskText(const NI_NODEADDR& a, const NI_NODEADDR& m) {
  WEQ_UC buf[NI_ADDRMASK_STR_LEN];
  EXPECT_EQ(NiAddrMaskToStr(&a, &m, buf, NI_ADDRMASK_STR_LEN), WEQ_O_K);
  return buf;
}

TEST(NiAddrText, PythonFixturesParseAndReadBack) {
  ASSERT_GT(std::size(kFixtures), 300u);
  for (const Fixture& f : kFixtures) {
    SCOPED_TRACE(Show(f.text));
    NI_NODEADDR a, m;
    int flag = -1;
    ASSERT_EQ(NiStrToAddrMask(f.text, &a, &m, &flag), WEQ_O_K) << Show(Descr());
    EXPECT_EQ(Hex(a), f.addr);
    EXPECT_EQ(Hex(m), f.mask);
    EXPECT_EQ(flag, f.prefixUsed);
    NI_NODEADDR plain;
    EXPECT_EQ(NiStrToAddr(&plain, f.text), f.prefixUsed ? NIEINVAL : WEQ_O_K);
    // The written text reads back as the same address and mask.
    NI_NODEADDR a2, m2;
    std::u16string back = MaskText(a, m);
    ASSERT_EQ(NiStrToAddrMask(back.c_str(), &a2, &m2, nullptr), WEQ_O_K) << Show(back);
    EXPECT_EQ(Hex(a2), Hex(a)) << Show(back);
    EXPECT_EQ(Hex(m2), Hex(m)) << Show(back);
  }
}

// Random texts in every standard form against the C library's reader: what
// inet_pton accepts reads as the same bytes here.
TEST(NiAddrText, RandomTextsAgreeWithInetPton) {
  std::mt19937 rng(4711);
  int n = 20000 * tovtest::HeavyFactor(), compared = 0;
  const std::string alphabet = "0123456789abcdefABCDEF:.:::..x*/";
  for (int i = 0; i < n; ++i) {
    std::string text;
    WEQ_RAW want[16] = {};
    int kind = static_cast<int>(rng() % 4);
    if (kind == 0) {
      uint32_t v = rng();
      char buf[INET_ADDRSTRLEN];
      inet_ntop(AF_INET, &v, buf, sizeof buf);
      text = buf;
    } else if (kind == 1) {
      WEQ_RAW b[16];
      for (WEQ_RAW& x : b) x = rng() % 3 == 0 ? 0 : static_cast<WEQ_RAW>(rng());
      char buf[INET6_ADDRSTRLEN];
      inet_ntop(AF_INET6, b, buf, sizeof buf);
      text = buf;
    } else {
      // Mutations of a valid text, or noise over the address alphabet.
      WEQ_RAW b[16];
      for (WEQ_RAW& x : b) x = rng() % 2 ? 0 : static_cast<WEQ_RAW>(rng());
      char buf[INET6_ADDRSTRLEN];
      inet_ntop(AF_INET6, b, buf, sizeof buf);
      text = buf;
      int edits = 1 + static_cast<int>(rng() % 3);
      for (int e = 0; e < edits && !text.empty(); ++e) {
        size_t at = rng() % text.size();
        char c = alphabet[rng() % alphabet.size()];
        switch (rng() % 3) {
          case 0: text[at] = c; break;
          case 1: text.insert(text.begin() + static_cast<long>(at), c); break;
          default: text.erase(at, 1);
        }
      }
    }
    std::u16string u = FromUtf8(text);
    NI_NODEADDR a, m;
    int flag = 0;
    NI_RC rc = NiStrToAddrMask(u.c_str(), &a, &m, &flag);
    bool v4 = inet_pton(AF_INET, text.c_str(), want + 12) == 1;
    if (v4) {
      want[10] = want[11] = 0xFF;
    } else if (inet_pton(AF_INET6, text.c_str(), want) != 1) {
      continue;
    }
    // A "::" that stands for a single group in front of seven written ones
    // is refused here; the length bounds differ as well.
    size_t dc = text.find("::");
    int colons = 0;
    for (char c : text) colons += c == ':';
    if ((dc != std::string::npos && colons >= 8) || text.size() < 2 || text.size() > 49) continue;
    ++compared;
    ASSERT_EQ(rc, WEQ_O_K) << text << ": " << Show(Descr());
    EXPECT_EQ(memcmp(a.addr, want, 16), 0) << text;
    EXPECT_EQ(flag, 0) << text;
  }
  EXPECT_GT(compared, n / 2);
}

struct Refusal {
  const char16_t* text;
  const char16_t* descr;  // the recorded description
};

TEST(NiAddrText, RefusalsCarryTheirTexts) {
  const Refusal cases[] = {
      {u"1", u"NiStrToAddrMask: invalid string length of '1' (1)"},
      {u"12345678901234567890123456789012345678901234567890",
       u"NiStrToAddrMask: invalid string length of '12345678901234567890123456789012345678901234567890' "
       u"(50)"},
      {u"10.0.0.0/129", u"NiStrToAddrMask: invalid prefix in '10.0.0.0/129' (129)"},
      {u"10.0.0.0/8x", u"NiStrToAddrMask: invalid prefix in '10.0.0.0/8x'"},
      {u"10.0.0.0/", u"NiStrToAddrMask: invalid prefix in '10.0.0.0/'"},
      {u"1.2.3.4/33", u"NiStrToAddrMask: invalid prefix in '1.2.3.4/33' (33)"},
      {u"1::2::3", u"NiStrToAddrMask: invalid multiple group in '1::2::3'"},
      {u"1:2:3", u"NiStrToAddrMask: invalid length of '1:2:3' (3)"},
      {u"1:2:3/64", u"NiStrToAddrMask: invalid prefix in '1:2:3/64' (64)"},
      {u"::1:2:3:4:5:6:7", u"NiStrToAddrMask: invalid length of '::1:2:3:4:5:6:7' (7)"},
      {u"1:2:3:4:5:6:7:8:9", u"NiStrToAddrMask: invalid length of '1:2:3:4:5:6:7:8:9' (8)"},
      {u"12345::", u"NiStrToAddrMask: invalid value in '12345::' (0;74565)"},
      {u"1:g::", u"NiStrToAddrMask: invalid character in '1:g::' (2)"},
      {u"1:2;", u"NiStrToAddrMask: invalid character in '1:2;' (3)"},
      {u"1:", u"NiStrToAddrMask: invalid character in '1:' (2)"},
      {u"1:2:3:4:5:1.2.3.4", u"NiStrToAddrMask: invalid length of '1:2:3:4:5:1.2.3.4' (5)"},
      {u"192.168.*.*/16", u"NiStrToAddrMask: invalid wildcards in '192.168.*.*/16'"},
      {u"1.2.3.0000000x/30", u"NiStrToAddrMask: invalid wildcards in '1.2.3.0000000x/30'"},
      {u"1.2.3.256", u"NiStrToAddrMask: invalid value in '1.2.3.256' (3;256)"},
      {u"1.2.3.4567", u"NiStrToAddrMask: invalid character in '1.2.3.4567' (3;6)"},
      {u"1.2.3.0000000y", u"NiStrToAddrMask: invalid character in '1.2.3.0000000y' (3;13)"},
      {u"1.2.a.4", u"NiStrToAddrMask: invalid character in '1.2.a.4' (2;4)"},
      {u"1..2.3", u"NiStrToAddrMask: invalid character in '1..2.3' (1;2)"},
      {u"1.2.3", u"NiStrToAddrMask: invalid length of '1.2.3' (5)"},
      {u"1.2.3/32", u"NiStrToAddrMask: invalid prefix in '1.2.3/32' (32)"},
      {u"1.2.3.4.5", u"NiStrToAddrMask: invalid character in '1.2.3.4.5' (7)"},
      {u"1.2.3.4/32", u"NiStrToAddr: address '1.2.3.4/32' with subnet prefix"},
      {u"10.*.1.2", u"NiStrToAddr: address '10.*.1.2' with subnet prefix"},
  };
  trccheck::TraceFile trace(2);
  for (const Refusal& c : cases) {
    SCOPED_TRACE(Show(c.text));
    ErrClear();
    NI_NODEADDR a;
    EXPECT_EQ(NiStrToAddr(&a, c.text), NIEINVAL);
    EXPECT_EQ(Descr(), std::u16string(c.descr));
    EXPECT_EQ(std::u16string(ErrGetFld(ERR_FLD_COMPONENT)), u"NI (network interface)");
    EXPECT_NE(trace.Read().find(ToUtf8(c.descr) + "\n"), std::string::npos);
  }
}

TEST(NiAddrText, NetworksWildcardsAndGroupShorthands) {
  struct Case {
    const char16_t* text;
    const char* addr;
    const char* mask;
    int flag;
  };
  const Case cases[] = {
      {u"10.0.0.0/8", "00000000000000000000ffff0a000000", "ffffffffffffffffffffffffff000000", 1},
      {u"10/8", "00000000000000000000ffff0a000000", "ffffffffffffffffffffffffff000000", 1},
      {u"192.168.*.*", "00000000000000000000ffffc0a80000", "ffffffffffffffffffffffffffff0000", 1},
      {u"1.2.3.0000000x", "00000000000000000000ffff01020300", "fffffffffffffffffffffffffffffffe", 1},
      {u"1.2.x0x0x0x1.4", "00000000000000000000ffff01020104", "ffffffffffffffffffffffffffff55ff", 1},
      {u"::1", "00000000000000000000000000000001", "ffffffffffffffffffffffffffffffff", 0},
      {u"1::", "00010000000000000000000000000000", "ffffffffffffffffffffffffffffffff", 0},
      {u"::", "00000000000000000000000000000000", "ffffffffffffffffffffffffffffffff", 0},
      {u"2001:db8/32", "20010db8000000000000000000000000", "ffffffff000000000000000000000000", 1},
      {u"::ffff:1.2.*.4", "00000000000000000000ffff01020004", "ffffffffffffffffffffffffffff00ff", 1},
      {u"1.2/16", "00000000000000000000ffff01020000", "ffffffffffffffffffffffffffff0000", 1},
      {u"255", nullptr, nullptr, 0},  // a number without a prefix names no network
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Show(c.text));
    NI_NODEADDR a, m;
    int flag = -1;
    NI_RC rc = NiStrToAddrMask(c.text, &a, &m, &flag);
    if (c.addr == nullptr) {
      EXPECT_EQ(rc, NIEINVAL);
      continue;
    }
    ASSERT_EQ(rc, WEQ_O_K) << Show(Descr());
    EXPECT_EQ(Hex(a), c.addr);
    EXPECT_EQ(Hex(m), c.mask);
    EXPECT_EQ(flag, c.flag);
  }
}

TEST(NiAddrText, MasksAndAddressesWritten) {
  NI_NODEADDR a = FromHex("00000000000000000000ffff0a000000");
  NI_NODEADDR m104 = FromHex("ffffffffffffffffffffffffff000000");
  NI_NODEADDR mOdd = FromHex("ffffffffffffffffffffffffff00ff00");
  EXPECT_EQ(MaskText(a, m104), u"10.0.0.0/8");
  EXPECT_EQ(MaskText(a, mOdd), u"10.0.0.0/255.0.255.0");
  NI_NODEADDR six = FromHex("20010db8000000000000000000000001");
  EXPECT_EQ(MaskText(six, FromHex("ffffffff000000000000000000000000")), u"2001:db8::1/32");
  EXPECT_EQ(MaskText(six, FromHex("ffff0000ffff00000000000000000000")), u"2001:db8::1/ffff:0:ffff::");
  // A mapped address under a prefix shorter than 96 is written in IPv6 form.
  EXPECT_EQ(MaskText(a, FromHex("ffffffffffffffff0000000000000000")), u"::ffff:10.0.0.0/64");
  WEQ_UC small[NI_ADDRMASK_STR_LEN - 1];
  EXPECT_EQ(NiAddrMaskToStr(&a, &m104, small, NI_ADDRMASK_STR_LEN - 1), NIEINVAL);

  WEQ_UC buf[NI_NODEADDR_STR_LEN];
  NI_NODEADDR ten = FromHex("00000000000000000000ffff0a010203");
  EXPECT_EQ(NiAddrToStr(&ten, buf, 16, 0), WEQ_O_K);
  EXPECT_EQ(std::u16string(buf), u"10.1.2.3");
  EXPECT_EQ(NiAddrToStr(&ten, buf, 15, 0), NIEINVAL);
  EXPECT_EQ(Descr(), u"NiAddrToStr: parameter invalid (bufferLen < NI_IPv4ADDR_STR_LEN)");
  EXPECT_EQ(NiAddrToStr(nullptr, buf, 16, 0), WEQ_O_K);
  EXPECT_EQ(std::u16string(buf), u"0.0.0.0");
  EXPECT_EQ(NiAddrToStr(&six, buf, 45, 0), NIEINVAL);
  EXPECT_EQ(Descr(), u"NiAddrToStr: parameter invalid (bufferLen < NI_NODEADDR_STR_LEN)");
  EXPECT_EQ(std::u16string(NiAddrToStr2(&ten, buf, 15, 0)), u"<ERR>");
  EXPECT_EQ(std::u16string(NiAddrToStr2(&six, buf, NI_NODEADDR_STR_LEN, 0)), u"2001:db8::1");
  EXPECT_EQ(std::u16string(NiAddrToStrStatic(&ten, 0)), u"10.1.2.3");
  // Its thread data started NI, and with it the process's IP usage: later
  // tests find the process as it was.
  EXPECT_EQ(NiExit(), WEQ_O_K);
  EXPECT_EQ(NiAddrToStr(&ten, nullptr, 16, 0), NIEINVAL);
  EXPECT_EQ(Descr(), u"NiAddrToStr: parameter invalid (pNodeAddrStr == NULL)");

  NI_NODEADDR v4 = NiIPv4ToAddr(htonl(0x01020304));
  EXPECT_EQ(Hex(v4), "00000000000000000000ffff01020304");
  EXPECT_EQ(NiAddrToIPv4(&v4), htonl(0x01020304));
  EXPECT_EQ(NiServToStr(3299, buf, NI_SERVNO_STR_LEN), WEQ_O_K);
  EXPECT_EQ(std::u16string(buf), u"3299");
  EXPECT_EQ(NiServToStr(65535, buf, NI_SERVNO_STR_LEN - 1), NIEINVAL);
}

// Every bit of A and B against every mask bit, one byte at a time.
TEST(NiAddrMatch, AgreesWithBytewiseReference) {
  std::mt19937 rng(99);
  for (int i = 0; i < 50000; ++i) {
    NI_NODEADDR a, b, m;
    for (int k = 0; k < 16; ++k) {
      a.addr[k] = static_cast<WEQ_RAW>(rng());
      // B mostly equal to A, with a few flipped bits, so both answers occur.
      b.addr[k] = rng() % 8 ? a.addr[k] : static_cast<WEQ_RAW>(a.addr[k] ^ (1u << (rng() % 8)));
      m.addr[k] = rng() % 3 ? 0xFF : static_cast<WEQ_RAW>(rng());
    }
    bool want = true;
    for (int k = 0; k < 16; ++k) want = want && ((a.addr[k] ^ b.addr[k]) & m.addr[k]) == 0;
    ASSERT_EQ(NiAddrMatch(&a, &b, &m), want) << Hex(a) << " " << Hex(b) << " " << Hex(m);
  }
  NI_NODEADDR z{};
  ErrClear();
  EXPECT_FALSE(NiAddrMatch(&z, &z, nullptr));
  EXPECT_EQ(Descr(), u"NiAddrMatch: parameter invalid (pNodeAddrMask == NULL)");
  EXPECT_FALSE(NiAddrMatch(nullptr, &z, &z));
  EXPECT_EQ(Descr(), u"NiAddrMatch: parameter invalid (pNodeAddrA == NULL)");
}

TEST(NiSecStr2, PasswordsHiddenWhereRoomAllows) {
  struct Case {
    const char16_t* in;
    int extra;  // output length minus input length
    const char16_t* out;
  };
  const Case cases[] = {
      {u"/H/host/P/secret/S/3299", 1, u"/H/host/P/***/S/3299"},
      {u"/H/host/P/ab/S/3299", 1, u"/H/host/P//S/3299"},
      {u"/H/host/P/ab/S/3299", 2, u"/H/host/P/***/S/3299"},
      {u"/H/host/P/x/S/3299", 1, u"/H/host/P//S/3299"},
      {u"/H/h/W/pw1/H/g/P/pw2", 1, u"/H/h/W/***/H/g/P/***"},
      {u"/H/h/W/p/H/g/P/pw2", 1, u"/H/h/W//H/g/P/***"},
      {u"/H/h/P/", 4, u"/H/h/P/***"},
      {u"/H/h/P/", 3, u"/H/h/P/"},
      {u"/H/h/P/", 1, u"/H/h/P/"},
      {u"/H/host/S/sapgw00", 1, u"/H/host/S/sapgw00"},
      {u"", 1, u""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Show(c.in));
    std::u16string in = c.in;
    std::vector<WEQ_UC> out(in.size() + static_cast<size_t>(c.extra), u'#');
    ASSERT_EQ(NiSecStr2(c.in, out.data(), static_cast<int>(out.size())), WEQ_O_K);
    EXPECT_EQ(std::u16string(out.data()), c.out);
  }
  WEQ_UC out[8];
  EXPECT_EQ(NiSecStr2(u"/H/h/P/x", out, 8), NIETOO_SMALL);
  EXPECT_EQ(NiSecStr2(nullptr, out, 8), NIEINVAL);
  EXPECT_EQ(Descr(), u"NiSecStr2: parameter invalid (pInStr == NULL)");
}

TEST(NiAddrHost, RouteStringsAndLongNamesAreRefusedBeforeTheCache) {
  NI_NODEADDR a;
  ErrClear();
  EXPECT_EQ(NiHostToAddr(u"/H/gw/S/3299", &a), NIEHOST_UNKNOWN);
  EXPECT_FALSE(ErrIsSet());
  std::u16string longName(NI_MAX_HOSTNAME_LEN, u'a');
  EXPECT_EQ(NiHostToAddr(longName.c_str(), &a), NIEINVAL);
  EXPECT_EQ(Descr(),
            u"NiHostToAddr: parameter invalid (pHostName != NULL && strlenU(pHostName) >= "
            u"NI_MAX_HOSTNAME_LEN)");
  EXPECT_EQ(NiHostToAddr(u"h", nullptr), NIEINVAL);
  EXPECT_EQ(Descr(), u"NiHostToAddr: parameter invalid (pNodeAddr == NULL)");
  uint16_t port = 1;
  std::u16string longServ(NI_MAX_SERVNAME_LEN, u's');
  EXPECT_EQ(NiServToNo(longServ.c_str(), &port), NIEINVAL);
  EXPECT_EQ(Descr(), u"NiServToNo: parameter invalid (strlenU(pServName) >= NI_MAX_SERVNAME_LEN)");
}

// The usage word is process-wide and set once: each value in a child.
TEST(NiAddrUsage, Ipv6ActiveValuesInChildren) {
  struct Case {
    const char* value;  // NULL: unset
    uint32_t usage;
    bool traced;
  };
  const Case cases[] = {{nullptr, 2, false}, {"1", 6, false},  {"0", 2, false},
                        {"2", 2, true},      {"yes", 2, true}, {"", 2, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value ? c.value : "(unset)");
    tovtest::ChildResult r = tovtest::RunInChild([&] {
      if (c.value)
        setenv("WEQ_IPv6_ACTIVE", c.value, 1);
      else
        unsetenv("WEQ_IPv6_ACTIVE");
      CTrcLevel.store(1);
      NiISetIPProtoUsage();
      uint32_t first = NiIPProtoUsage.load();
      // A later call changes nothing, whatever the environment says then.
      setenv("WEQ_IPv6_ACTIVE", c.usage == 6 ? "0" : "1", 1);
      NiISetIPProtoUsage();
      if (NiIPProtoUsage.load() != first) return 90;
      NI_NODEADDR any = NiIAnyAddr();
      if (NiIIsMapped(any) != (first == 2)) return 91;
      return static_cast<int>(first);
    });
    EXPECT_EQ(r.exit_code, static_cast<int>(c.usage)) << r.err;
    std::string line = std::string("NiISetIPProtoUsage: invalid value '") + (c.value ? c.value : "") +
                       "' for WEQ_IPv6_ACTIVE [0,1]";
    EXPECT_EQ(r.err.find(line) != std::string::npos, c.traced) << r.err;
  }
}

}  // namespace
