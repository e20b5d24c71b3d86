// Japanese double-byte kernels: the published vectors, every output
// capacity against the kernel's own prefix rule, and every JIS X 0208 code
// and half-width katakana against glibc iconv and ICU.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "krn/rscp/rscpdat_int.h"
#include "krn/rscp/rscpu.h"
#include "rscpdat_oracle.h"

namespace {

using rscpdat::Jk;
using rscpdattest::Bytes;
using rscpdattest::IconvCharset;
using rscpdattest::IcuCharset;
using rscpdattest::Text;

constexpr uint8_t E = 0x1B;  // ESC

struct Outcome {
  int rc;
  int32_t outlen, inlen;
  Bytes out;
  bool canary;
};

// The public kernel on an output of exactly cap bytes (heap, so that ASan
// sees a write past it) followed by a guard region that must stay intact.
Outcome Public(Jk k, const Bytes& in, int32_t cap) {
  std::vector<uint8_t> buf(size_t(cap > 0 ? cap : 0) + 16, 0xA5);
  Bytes src(in);  // a private copy: the kernel must not write the input
  int32_t outlen = cap, inlen = int32_t(in.size());
  Outcome r;
  r.rc = rscpdat::JkPublic(k)(buf.data(), &outlen, src.data(), &inlen);
  r.outlen = outlen;
  r.inlen = inlen;
  r.canary = src == in;
  for (size_t i = size_t(cap > 0 ? cap : 0); i < buf.size(); ++i) r.canary &= buf[i] == 0xA5;
  const int32_t shown = std::min(std::max(outlen, 0), std::max(cap, 0));
  r.out.assign(buf.begin(), buf.begin() + shown);
  return r;
}

Bytes Whole(Jk k, const Bytes& in) {
  std::vector<uint8_t> buf(in.size() * 8 + 32);
  auto r = rscpdat::JkRun(k, buf.data(), int32_t(buf.size()), in.data(), int32_t(in.size()));
  buf.resize(size_t(r.produced));
  return buf;
}

std::string Hex(const Bytes& b) {
  std::string s;
  char t[4];
  for (uint8_t c : b) snprintf(t, sizeof t, "%02X ", c), s += t;
  return s;
}

// --- Published vectors -------------------------------------------------------

struct Vec {
  Jk k;
  Bytes in;
  int32_t cap;
  int rc;
  Bytes out;      // expected bytes (when outlen is the produced count)
  int32_t outlen; // expected outlen after the call
};

TEST(RscpJk, VectorsOfEveryKernel) {
  const Bytes dbIn8211{0x1D, '1', ';', '1', 's', 'm', 'M'}, dbOut8211{0x1D, '0', ';', '1', 's', 'm', 'M'};
  Bytes k8211 = dbIn8211;
  k8211.insert(k8211.end(), {0x30, 0x21});
  k8211.insert(k8211.end(), dbOut8211.begin(), dbOut8211.end());
  const std::vector<Vec> vecs = {
      {Jk::kSjisToEuc, {0x88, 0x9F}, 8, 0, {0xB0, 0xA1}, 2},
      {Jk::kSjisToEuc, {0x41, 0xB1}, 8, 0, {0x41, 0x8E, 0xB1}, 3},
      {Jk::kSjisToEuc, {0x88, 0x9F}, 1, 32, {}, 1},  // a pair with one byte of room
      {Jk::kSjisToEuc, {0x41}, 0, 32, {}, 0},
      {Jk::kSjisToEuc, {0x41, 0x42}, 1, 0, {0x41}, 1},  // full at a character boundary
      {Jk::kSjisL1ToEuc, {0x88, 0x9F, 0x41}, 8, 2048, {0xB0, 0xA1}, 2},
      {Jk::kSjisL1ToEuc, {0xE0, 0x40}, 8, 2048, {}, 0},
      {Jk::kSjisL1ToEuc, {0x88}, 8, 2048, {}, 0},  // a lead byte as the last byte
      {Jk::kSjisL1ToEuc, {}, 8, 0, {}, 0},
      {Jk::kSjisL1ToEuc, {0x88, 0x9F}, 0, 32, {}, 0},
      {Jk::kSjisL1ToEuc, {0x88, 0x9F, 0x88, 0x9F}, 3, 32, {}, 3},
      {Jk::kEucToSjis, {0x8E, 0xB1}, 8, 0, {0xB1}, 1},
      {Jk::kEucToSjis, {0xB0, 0xA1, 0x41}, 8, 0, {0x88, 0x9F, 0x41}, 3},
      {Jk::kEucToSjis, {0xDF, 0xA1}, 8, 0, {0xE0, 0x40}, 2},
      {Jk::kEucToSjis, {0x41, 0xB0, 0xA1}, 2, 32, {}, 2},
      {Jk::kEucToSjis, {0xB0}, 8, 0, {0xB0}, 1},  // no second byte: copied
      {Jk::kJisToSjis, {E, '$', 'B', 0x30, 0x21, E, '(', 'B'}, 8, 0, {0x88, 0x9F}, 2},
      {Jk::kJisToSjis, {E, '$', 'B', 0x5F, 0x21}, 8, 0, {0xE0, 0x40}, 2},
      {Jk::kJisToSjisL1, {E, '$', 'B', 0x5F, 0x21}, 8, 0, {0xA0, 0x40}, 2},
      {Jk::kJisToSjis, {0x41, E, '$', 'B', 0x30, 0x21, E, '(', 'J', 0x42}, 8, 0, {0x41, 0x88, 0x9F, 0x42}, 4},
      {Jk::kJisToSjis, {E, '$', 'B', 0x30, 0x21, 0x0A, 0x30, 0x21}, 8, 0, {0x88, 0x9F, 0x0A, 0x88, 0x9F}, 5},
      {Jk::kJisToSjis, {E, 'x', 0x41}, 8, 0, {E, 'x', 0x41}, 3},  // another escape is a byte
      {Jk::kJisToSjis, {E, '$', 'B', 0x30, 0x21, 0x30, 0x21}, 3, 32, {}, 3},  // a pair without room
      {Jk::kJisToSjis, {0x41, 0x42, 0x43}, 2, 32, {0x41, 0x42}, 2},  // full before the end
      {Jk::kJisToSjis, {0x41, E, '(', 'B'}, 1, 0, {0x41}, 1},  // a closing escape needs no room
      {Jk::kJisToEuc, {E, '$', 'B', 0x30, 0x21, E, '(', 'J', 0xB1}, 8, 0, {0xB0, 0xA1, 0x8E, 0xB1}, 4},
      {Jk::kEucToJis, {0x41, 0xB0, 0xA1, 0x42}, 16, 0,
       {E, '(', 'J', 0x41, E, '$', 'B', 0x30, 0x21, E, '(', 'J', 0x42}, 13},
      {Jk::kEucToJis, {0xB0, 0xA1}, 16, 0, {E, '$', 'B', 0x30, 0x21, E, '(', 'J'}, 8},
      {Jk::kEucToJis, {0xB0, 0xA1}, 7, 32, {}, 7},
      {Jk::kEucToJis, {0x8E, 0xB1}, 16, 0, {E, '(', 'J', 0xB1}, 4},
      {Jk::kEucToJis, {0x41}, 0, 32, {}, 0},
      {Jk::kSjisTo8200, {0x88, 0x9F}, 16, 0, {E, '$', 'B', 0x30, 0x21, E, '(', 'J'}, 8},
      {Jk::kSjisTo8200, {0x88, 0x9F}, 7, 32, {}, 7},
      {Jk::kSjisTo8200, {0x41}, 16, 0, {E, '(', 'J', 0x41}, 4},
      {Jk::kSjisTo8200, {0xF0, 0x40}, 16, 0, {E, '(', 'J', 0xF0, 0x40}, 5},  // beyond the lead range
      {Jk::kSjisL1To8200, {0xE0, 0x40}, 16, 0, {E, '(', 'J', 0xE0, 0x40}, 5},
      {Jk::kSjisTo8210, {0x41, 0x88, 0x9F}, 16, 0, {0x41, 0x1C, 0x26, 0x30, 0x21, 0x1C, 0x2E}, 7},
      {Jk::kSjisL1To8210, {0x41}, 0, 32, {}, 0},
      {Jk::kSjisTo8211, {0x88, 0x9F}, 32, 0, k8211, 16},
      {Jk::kSjisL1To8211, {0x88, 0x9F, 0xB1}, 32, 0, [&] {
         Bytes b = k8211;
         b.push_back(0xB1);
         return b;
       }(), 17},
      {Jk::kSjisToJis16, {0x41, 0x88, 0x9F}, 8, 0, {0x00, 0x41, 0x30, 0x21}, 4},
      {Jk::kSjisToJis16, {0x41, 0xB1, 0xF0, 0x40}, 8, 0, {0x00, 0x41, 0x00, 0xB1, 0x7F, 0x21}, 6},
      {Jk::kSjisToJis16, {0x41, 0x88, 0x9F}, 3, 32, {0x00, 0x41}, 2},  // outlen = produced
      {Jk::kSjisL1ToJis16, {0xE0, 0x40}, 8, 0, {0x00, 0xE0, 0x00, 0x40}, 4},
  };
  for (const Vec& v : vecs) {
    SCOPED_TRACE("kernel " + std::to_string(int(v.k)) + " in " + Hex(v.in) + "cap " + std::to_string(v.cap));
    const Outcome r = Public(v.k, v.in, v.cap);
    EXPECT_EQ(r.rc, v.rc);
    EXPECT_EQ(r.outlen, v.outlen);
    if (!(v.rc == 32 && r.outlen == v.cap)) {
      EXPECT_EQ(Hex(r.out), Hex(v.out));
    }
    EXPECT_TRUE(r.canary);
  }
}

TEST(RscpJk, PairConvertersAndTheKatakanaStop) {
  struct P {
    bool euc;
    uint8_t b1, b2, e1, e2;
  };
  for (const P& p : {P{false, 0x88, 0x9F, 0x30, 0x21}, P{false, 0x81, 0x40, 0x21, 0x21},
                     P{false, 0xE0, 0x40, 0x5F, 0x21}, P{false, 0xEA, 0xA4, 0x74, 0x26},
                     P{true, 0xB0, 0xA1, 0x88, 0x9F}, P{true, 0xDF, 0xA1, 0xA0, 0x40}}) {
    uint8_t a = p.b1, b = p.b2;
    (p.euc ? rscpEucPairToSjis : rscpSjisPairToJis)(&a, &b);
    EXPECT_EQ(a, p.e1) << int(p.b1);
    EXPECT_EQ(b, p.e2) << int(p.b2);
  }
  // A katakana byte first of the last two consumes one byte and ends the
  // call; rscpSjisToEuc reports the input it consumed, so nothing is lost.
  for (const Bytes& in : {Bytes{0xB1, 0x41}, Bytes{0x41, 0xB1, 0x88}}) {
    Bytes out(8);
    int32_t ol = 8, il = int32_t(in.size());
    EXPECT_EQ(rscpSjisToEuc(out.data(), &ol, in.data(), &il), 0);
    EXPECT_EQ(il, int32_t(in.size()) - 1);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + ol), Whole(Jk::kSjisToEuc, Bytes(in.begin(), in.end() - 1)));
  }
  // A missing length or buffer is refused before anything is read.
  uint8_t buf8[8];
  int32_t ol8 = 8, il3 = 3;
  EXPECT_EQ(rscpEucToSjis(buf8, &ol8, nullptr, &il3), RSCPEINVAL);
  EXPECT_EQ(rscpSjisTo8200(buf8, nullptr, buf8, &il3), RSCPEINVAL);
  EXPECT_EQ(rscpJisToEuc(nullptr, &ol8, buf8, &il3), RSCPEINVAL);
  EXPECT_EQ(ol8, 8);
  // One buffer, nothing in it: no copy is made of nothing.
  int32_t zero = 0, none = 0;
  EXPECT_EQ(rscpSjisToEuc(nullptr, &zero, nullptr, &none), 32);
  uint8_t one[4] = {0x41};
  int32_t four = 4;
  EXPECT_EQ(rscpSjisToEuc(one, &four, one, &none), 0);
  EXPECT_EQ(four, 0);
  // One buffer for input and output: the first 256 bytes are converted.
  Bytes buf(600, 0xB1);
  for (size_t i = 0; i < 300; ++i) buf[i] = i % 2 ? 0x41 : 0x42;
  int32_t ol = 600, il = 300;
  EXPECT_EQ(rscpSjisToEuc(buf.data(), &ol, buf.data(), &il), 0);
  EXPECT_EQ(il, 256);
  EXPECT_EQ(ol, 256);
  Bytes katakana(200, 0xB1);
  katakana.insert(katakana.end(), 200, 0);
  ol = 400, il = 200;  // the last katakana but one ends the call
  EXPECT_EQ(rscpSjisToEuc(katakana.data(), &ol, katakana.data(), &il), 0);
  EXPECT_EQ(il, 199);
  EXPECT_EQ(ol, 398);
  for (int i = 0; i < 398; ++i) ASSERT_EQ(katakana[size_t(i)], i % 2 ? 0xB1 : 0x8E) << i;
}

TEST(RscpJk, CharacterLengths) {
  struct L {
    bool jis;
    Bytes b;
    int32_t avail;
    int len;
  };
  const std::vector<L> ls = {
      {false, {0xB0, 0xA1}, 2, 2}, {false, {0xB0, 0xA1}, 1, 0}, {false, {0x8E, 0xB1}, 2, 2},
      {false, {0x41}, 1, 1},       {false, {0xB0, 0x41}, 2, 1}, {false, {0x41}, 0, 0},
      {false, {0xA0, 0xA1}, 2, 1}, {false, {0x8E, 0xFF}, 2, 1},
      {true, {E, '$', 'B', 0x30, 0x21, E, '(', 'J'}, 8, 8},
      {true, {E, '(', 'J'}, 3, 3}, {true, {0x41}, 1, 1}, {true, {E, '$', 'B'}, 3, 3},
      {true, {E, '$'}, 2, 0}, {true, {E, '(', 'B'}, 3, 0}, {true, {0x41}, 0, 0},
      {true, {E, '$', 'B', 0x30, 0x21, 0x30}, 6, 7},  // stops inside a pair
      {true, {E, '$', 'B', 0x30, 0x21, E, '$', 'B', 0x30, 0x21, E, '(', 'J', 0x41}, 14, 13},
  };
  for (const L& l : ls) {
    Bytes exact(l.b.begin(), l.b.begin() + l.avail);  // nothing readable behind
    EXPECT_EQ((l.jis ? rscpJisCharLen : rscpEucCharLen)(exact.data(), l.avail), l.len) << Hex(l.b);
  }
}

// --- Every capacity ------------------------------------------------------------

// Mixed text of every kernel's interest: ASCII, controls, katakana, JIS X
// 0208 pairs of both lead ranges, bytes beyond them, EUC units and 7-bit
// JIS runs with both closing escapes.
Bytes SampleFor(Jk k) {
  switch (k) {
    case Jk::kEucToSjis:
    case Jk::kEucToJis:
      return {0x41, 0xB0, 0xA1, 0x8E, 0xB1, 0xF4, 0xA6, 0x0A, 0xA4, 0xA2, 0x8E, 0xDF, 0x42, 0xB0};
    case Jk::kJisToSjis:
    case Jk::kJisToSjisL1:
    case Jk::kJisToEuc:
      return {0x41, E, '$', 'B', 0x30, 0x21, 0x5F, 0x21, 0x0A, 0x74, 0x26, E, '(', 'J', 0xB1, 0x42,
              E, '$', 'B', 0x24, 0x22, E, '(', 'B', 0x43};
    case Jk::kSjisL1ToEuc:
      return {0x88, 0x9F, 0x81, 0x40, 0x9F, 0xFC, 0x82, 0xA0, 0x88, 0x9F};
    default:
      return {0x41, 0x88, 0x9F, 0xB1, 0xE0, 0x40, 0x0A, 0xEA, 0xA4, 0x82, 0xA0, 0xF0, 0x40, 0xDF, 0x42, 0x43};
  }
}

TEST(RscpJk, EveryCapacityKeepsToTheKernelsRules) {
  for (int ki = 0; ki < rscpdat::kJkCount; ++ki) {
    const Jk k = Jk(ki);
    const Bytes in = SampleFor(k);
    const Bytes whole = Whole(k, in);
    ASSERT_FALSE(whole.empty()) << ki;
    for (int32_t cap = -1; cap <= int32_t(whole.size()) + 2; ++cap) {
      SCOPED_TRACE("kernel " + std::to_string(ki) + " cap " + std::to_string(cap));
      std::vector<uint8_t> buf(size_t(std::max(cap, 0)) + 1);
      const auto r = rscpdat::JkRun(k, buf.data(), cap, in.data(), int32_t(in.size()));
      const Outcome p = Public(k, in, cap);
      EXPECT_TRUE(p.canary);
      EXPECT_EQ(p.rc, r.rc);
      EXPECT_EQ(p.outlen, r.rc == 32 && r.keep ? cap : r.produced);
      EXPECT_EQ(p.inlen, k == Jk::kSjisToEuc ? r.consumed : int32_t(in.size()));
      ASSERT_LE(r.produced, std::max(cap, 0));
      ASSERT_LE(r.consumed, int32_t(in.size()));
      if (cap >= int32_t(whole.size())) {
        EXPECT_EQ(r.rc, 0);
        EXPECT_EQ(r.consumed, int32_t(in.size()));
        EXPECT_EQ(Hex(Bytes(buf.begin(), buf.begin() + r.produced)), Hex(whole));
        continue;
      }
      EXPECT_NE(r.rc, 2048);
      // What was written begins the whole conversion and, but where the
      // katakana stop cuts a prefix differently, is exactly the conversion
      // of what was consumed.
      if (r.rc == 0 || !r.keep) {
        const Bytes got(buf.begin(), buf.begin() + r.produced);
        EXPECT_EQ(Hex(got), Hex(Bytes(whole.begin(), whole.begin() + r.produced)));
        if (k != Jk::kSjisToEuc) {
          EXPECT_EQ(Hex(got), Hex(Whole(k, Bytes(in.begin(), in.begin() + r.consumed))));
        }
      }
      if (r.rc == 0) {
        EXPECT_LT(r.consumed, int32_t(in.size()));
      }
    }
  }
}

// --- Against iconv and ICU ----------------------------------------------------

// Every JIS X 0208 row and cell (with the printable ASCII and the 63
// half-width katakana) that the reference decodes in EUC-JP, with its Shift-JIS
// and 7-bit JIS forms made by arithmetic that the reference then confirms.
struct Code {
  Bytes euc, sjis, jis;
  Text text;
};

template <class Charset>
std::vector<Code> JisCodes(Charset& eucRef) {
  std::vector<Code> codes;
  for (int k = 0xA1; k <= 0xDF; ++k)
    codes.push_back({{0x8E, uint8_t(k)}, {uint8_t(k)}, {}, Text(1, char32_t(0xFF61 + k - 0xA1))});
  for (int j1 = 0x21; j1 <= 0x7E; ++j1)
    for (int j2 = 0x21; j2 <= 0x7E; ++j2) {
      Code c;
      c.euc = {uint8_t(j1 + 0x80), uint8_t(j2 + 0x80)};
      auto t = eucRef.Decode(c.euc);
      if (!t || t->size() != 1) continue;
      c.text = *t;
      const int s1 = (j1 + 1) / 2 + (j1 <= 0x5E ? 0x70 : 0xB0);
      const int s2 = j2 + (j1 % 2 ? (j2 >= 0x60 ? 0x20 : 0x1F) : 0x7E);
      c.sjis = {uint8_t(s1), uint8_t(s2)};
      c.jis = {E, '$', 'B', uint8_t(j1), uint8_t(j2), E, '(', 'B'};
      codes.push_back(c);
    }
  return codes;
}

template <class Charset>
void Decodes(Charset& ref, const Bytes& b, const Text& want, const char* what, const Bytes& from) {
  auto t = ref.Decode(b);
  EXPECT_TRUE(t && *t == want) << what << " of " << Hex(from) << "gave " << Hex(b);
}

TEST(RscpJk, EveryJisCodeAgainstIconv) {
  IconvCharset sjis("SHIFT_JIS"), euc("EUC-JP"), jis("ISO-2022-JP");
  ASSERT_TRUE(sjis.ok() && euc.ok() && jis.ok());
  const auto codes = JisCodes(euc);
  ASSERT_GT(codes.size(), 6800u);  // 6879 JIS X 0208 characters and 63 katakana
  int checkedJis = 0;
  for (const Code& c : codes) {
    Decodes(sjis, c.sjis, c.text, "Shift-JIS form", c.sjis);  // the arithmetic itself
    Decodes(euc, Whole(Jk::kSjisToEuc, c.sjis), c.text, "rscpSjisToEuc", c.sjis);
    Decodes(sjis, Whole(Jk::kEucToSjis, c.euc), c.text, "rscpEucToSjis", c.euc);
    if (c.jis.empty()) continue;
    ++checkedJis;
    // Writers of 7-bit forms: decoded, not compared as bytes.
    Decodes(jis, Whole(Jk::kEucToJis, c.euc), c.text, "rscpEucToJis", c.euc);
    Decodes(jis, Whole(Jk::kSjisTo8200, c.sjis), c.text, "rscpSjisTo8200", c.sjis);
    Decodes(sjis, Whole(Jk::kJisToSjis, c.jis), c.text, "rscpJisToSjis", c.jis);
    Decodes(euc, Whole(Jk::kJisToEuc, c.jis), c.text, "rscpJisToEuc", c.jis);
    Bytes jis16 = Whole(Jk::kSjisToJis16, c.sjis);
    Bytes framed{E, '$', 'B'};
    framed.insert(framed.end(), jis16.begin(), jis16.end());
    Decodes(jis, framed, c.text, "rscpSjisToJis16", c.sjis);
    if (c.sjis[0] < 0xA0) {  // the level-1 kernels' lead range
      Decodes(euc, Whole(Jk::kSjisL1ToEuc, c.sjis), c.text, "rscpSjisL1ToEuc", c.sjis);
      Decodes(sjis, Whole(Jk::kJisToSjisL1, c.jis), c.text, "rscpJisToSjisL1", c.jis);
      Decodes(jis, Whole(Jk::kSjisL1To8200, c.sjis), c.text, "rscpSjisL1To8200", c.sjis);
    }
    if (::testing::Test::HasFailure()) return;
  }
  EXPECT_GT(checkedJis, 6800);
  // A whole text at once (katakana first): every code in a row.
  Bytes allSjis, allEuc, allEuc0208;
  Text all, all0208;
  for (const Code& c : codes) {
    allSjis.insert(allSjis.end(), c.sjis.begin(), c.sjis.end());
    allEuc.insert(allEuc.end(), c.euc.begin(), c.euc.end());
    all += c.text;
    if (c.jis.empty()) continue;
    allEuc0208.insert(allEuc0208.end(), c.euc.begin(), c.euc.end());
    all0208 += c.text;
  }
  Decodes(euc, Whole(Jk::kSjisToEuc, allSjis), all, "rscpSjisToEuc", {});
  Decodes(sjis, Whole(Jk::kEucToSjis, allEuc), all, "rscpEucToSjis", {});
  Decodes(jis, Whole(Jk::kEucToJis, allEuc0208), all0208, "rscpEucToJis", {});
}

TEST(RscpJk, EveryJisCodeAgainstIcu) {
  IcuCharset sjis("ibm-943_P15A-2003"), euc("euc-jp-2007");
  ASSERT_TRUE(sjis.ok() && euc.ok());
  const auto codes = JisCodes(euc);
  ASSERT_GT(codes.size(), 6800u);
  int checked = 0;
  for (const Code& c : codes) {
    auto viaSjis = sjis.Decode(c.sjis);
    // IBM-943 differs from JIS X 0208 in a few cells (it keeps IBM's
    // symbols in row 2 and the NEC selection in row 13); the kernels are
    // compared where both tables hold the character.
    if (!viaSjis || *viaSjis != c.text) continue;
    ++checked;
    Decodes(euc, Whole(Jk::kSjisToEuc, c.sjis), c.text, "rscpSjisToEuc", c.sjis);
    Decodes(sjis, Whole(Jk::kEucToSjis, c.euc), c.text, "rscpEucToSjis", c.euc);
    if (!c.jis.empty()) {
      Decodes(sjis, Whole(Jk::kJisToSjis, c.jis), c.text, "rscpJisToSjis", c.jis);
      Decodes(euc, Whole(Jk::kJisToEuc, c.jis), c.text, "rscpJisToEuc", c.jis);
    }
    if (::testing::Test::HasFailure()) return;
  }
  EXPECT_GT(checked, 6700);
}

}  // namespace
