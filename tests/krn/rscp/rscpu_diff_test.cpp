// Valid text through all 25 converters, against ICU (UTF-16, UCS-2) and
// glibc iconv (UCS-4 over the 31-bit range with 5- and 6-byte forms), whole
// and in small pieces of source and destination.
#include <gtest/gtest.h>
#include <iconv.h>
#include <unicode/ustring.h>

#include <algorithm>
#include <random>

#include "rscpu_harness.h"
#include "support/testsupport.h"

namespace {

using namespace rscputest;

bool IsSurrogate(uint32_t c) { return c >= 0xD800 && c <= 0xDFFF; }
bool IsCtrl(uint32_t c) { return c < 0x20 || (c >= 0x7F && c <= 0x9F); }

// Code points of every UTF-8 length the family allows, controls only when
// asked for, never surrogates (the references refuse them).
uint32_t RandomChar(std::mt19937& rng, Fam fam, bool ctrl) {
  static const uint32_t lo[] = {0, 0x80, 0x800, 0x10000, 0x200000, 0x4000000};
  static const uint32_t hi[] = {0x7F, 0x7FF, 0xFFFF, 0x1FFFFF, 0x3FFFFFF, 0x7FFFFFFF};
  int lengths = fam == Fam::kU4 ? 6 : fam == Fam::kU6 ? 4 : 3;
  for (;;) {
    int len = static_cast<int>(rng() % static_cast<uint32_t>(lengths));
    uint32_t top = fam == Fam::kU6 && len == 3 ? 0x10FFFF : hi[len];
    uint32_t c = lo[len] + static_cast<uint32_t>(rng() % (uint64_t{top} - lo[len] + 1));
    if (rng() % 4 == 0) c = rng() % 2 ? lo[len] : top;  // the edges of each length
    if (!IsSurrogate(c) && (ctrl || !IsCtrl(c))) return c;
  }
}

std::vector<uint32_t> ToUtf16(const std::vector<uint32_t>& cps) {
  std::vector<uint32_t> u;
  for (uint32_t c : cps) {
    if (c < 0x10000) {
      u.push_back(c);
    } else {
      u.push_back(0xD800 + ((c - 0x10000) >> 10));
      u.push_back(0xDC00 + ((c - 0x10000) & 0x3FF));
    }
  }
  return u;
}

// ICU's UTF-16 to UTF-8 and back.
Bytes IcuToUtf8(const std::vector<uint32_t>& units) {
  std::u16string s(units.begin(), units.end());
  std::string out(s.size() * 3 + 1, '\0');
  int32_t len = 0;
  UErrorCode err = U_ZERO_ERROR;
  u_strToUTF8(out.data(), static_cast<int32_t>(out.size()), &len, s.data(),
              static_cast<int32_t>(s.size()), &err);
  EXPECT_TRUE(U_SUCCESS(err)) << u_errorName(err);
  return Bytes(out.begin(), out.begin() + len);
}

std::vector<uint32_t> IcuFromUtf8(const Bytes& b) {
  std::u16string out(b.size() + 1, u'\0');
  int32_t len = 0;
  UErrorCode err = U_ZERO_ERROR;
  u_strFromUTF8(out.data(), static_cast<int32_t>(out.size()), &len,
                reinterpret_cast<const char*>(b.data()), static_cast<int32_t>(b.size()), &err);
  EXPECT_TRUE(U_SUCCESS(err)) << u_errorName(err);
  return std::vector<uint32_t>(out.begin(), out.begin() + len);
}

// glibc iconv between UCS-4BE and UTF-8.
Bytes Iconv(const char* to, const char* from, const Bytes& in) {
  iconv_t cd = iconv_open(to, from);
  EXPECT_NE(cd, reinterpret_cast<iconv_t>(-1));
  Bytes out(in.size() * 6 + 8);
  char* ip = const_cast<char*>(reinterpret_cast<const char*>(in.data()));
  char* op = reinterpret_cast<char*>(out.data());
  size_t il = in.size(), ol = out.size();
  size_t r = iconv(cd, &ip, &il, &op, &ol);
  EXPECT_NE(r, static_cast<size_t>(-1));
  EXPECT_EQ(il, 0u);
  iconv_close(cd);
  out.resize(out.size() - ol);
  return out;
}

// One text in a family: its units (native values) and its UTF-8 from the
// reference.
struct Sample {
  std::vector<uint32_t> units;
  Bytes utf8;
};

Sample MakeSample(std::mt19937& rng, Fam fam, bool ctrl, size_t chars) {
  std::vector<uint32_t> cps;
  for (size_t i = 0; i < chars; ++i) cps.push_back(RandomChar(rng, fam, ctrl));
  Sample s;
  if (fam == Fam::kU4) {
    s.units = cps;
    s.utf8 = Iconv("UTF-8", "UCS-4BE", UnitsToBytes(cps, 4, true));
    EXPECT_EQ(BytesToUnits(Iconv("UCS-4BE", "UTF-8", s.utf8), 4, true), cps);
  } else {
    s.units = fam == Fam::kU6 ? ToUtf16(cps) : cps;
    s.utf8 = IcuToUtf8(s.units);
    EXPECT_EQ(IcuFromUtf8(s.utf8), s.units);
  }
  return s;
}

// Converts all of `in` in pieces: the source end and the destination end
// are moved forward by random steps; 512 and 32 ask for more of one of them.
Result Stream(const Conv& c, const Bytes& in, std::mt19937& rng) {
  Result all;
  size_t unit = static_cast<size_t>(c.unitIn());
  size_t pos = 0, srcStep = 1, dstStep = 1;
  while (pos < in.size()) {
    size_t srcUnits = 1 + rng() % (srcStep * 3);
    size_t end = std::min(in.size(), pos + srcUnits * unit);
    size_t cap = 1 + rng() % (dstStep * 3);
    Result r = Convert(c, Bytes(in.begin() + static_cast<long>(pos), in.begin() + static_cast<long>(end)), cap);
    all.out.insert(all.out.end(), r.out.begin(), r.out.end());
    all.canaryIntact = all.canaryIntact && r.canaryIntact;
    pos += r.consumed * unit;
    srcStep = r.rc == 512 && r.consumed == 0 ? srcStep + 1 : 1;
    dstStep = r.rc == 32 && r.consumed == 0 ? dstStep + 1 : 1;
    if (r.rc != 0 && r.rc != 32 && r.rc != 512) {
      all.rc = r.rc;
      break;
    }
  }
  all.consumed = pos / unit;
  return all;
}

class ValidText : public ::testing::TestWithParam<Conv> {};

TEST_P(ValidText, MatchesReferenceWholeAndInPieces) {
  const Conv& c = GetParam();
  std::mt19937 rng(std::hash<std::string>()(c.name));
  Fam fam = c.u4ToU6 ? Fam::kU6 : c.fam;
  int rounds = 40 * tovtest::HeavyFactor();
  for (int round = 0; round < rounds; ++round) {
    Sample s = MakeSample(rng, fam, !c.noctrl, 1 + rng() % 64);
    Bytes native;
    Bytes expectIn, expectOut;
    if (c.u4ToU6) {
      // UCS-4 values up to U+10FFFF become UTF-16 as ICU writes it.
      std::vector<uint32_t> cps;
      for (size_t i = 0; i < s.units.size(); ++i) {
        uint32_t u = s.units[i];
        if (u >= 0xD800 && u < 0xDC00) u = 0x10000 + ((u - 0xD800) << 10) + (s.units[++i] - 0xDC00);
        cps.push_back(u);
      }
      expectIn = UnitsToBytes(cps, 4, false);
      expectOut = UnitsToBytes(s.units, 2, false);
    } else {
      Bytes units = UnitsToBytes(s.units, c.unitIn() == 1 ? c.unitOut() : c.unitIn(), c.swapped);
      expectIn = c.decoder ? s.utf8 : units;
      expectOut = c.decoder ? units : s.utf8;
    }
    size_t outUnits = expectOut.size() / static_cast<size_t>(c.unitOut());
    SCOPED_TRACE(Hex(expectIn));
    Result whole = Convert(c, expectIn, outUnits, 0xFFFD);
    EXPECT_EQ(whole.rc, 0);
    EXPECT_EQ(whole.consumed * static_cast<size_t>(c.unitIn()), expectIn.size());
    EXPECT_EQ(Hex(whole.out), Hex(expectOut));
    EXPECT_EQ(whole.count, 0u);
    EXPECT_TRUE(whole.canaryIntact);
    Result pieces = Stream(c, expectIn, rng);
    EXPECT_EQ(pieces.rc, 0);
    EXPECT_EQ(Hex(pieces.out), Hex(expectOut));
    EXPECT_TRUE(pieces.canaryIntact);
    if (HasFailure()) break;
  }
}

INSTANTIATE_TEST_SUITE_P(All, ValidText, ::testing::ValuesIn(AllConvs()),
                         [](const auto& info) { return std::string(info.param.name); });

// The adapters JNI strings and records use agree with ICU on whole texts.
TEST(ValidTextAdapters, AgreeWithIcu) {
  std::mt19937 rng(7);
  for (int round = 0; round < 200; ++round) {
    Sample s = MakeSample(rng, Fam::kU6, true, rng() % 40);
    std::u16string u(s.units.begin(), s.units.end());
    std::string utf8(s.utf8.begin(), s.utf8.end());
    if (u.find(u'\0') != std::u16string::npos) continue;
    std::string b(utf8.size() + 1, '\x7F');
    int out = -1;
    EXPECT_EQ(UcsToUtf8s(b.data(), static_cast<int>(b.size()), &out, u.c_str()), 0);
    EXPECT_EQ(b, utf8 + '\0');
    EXPECT_EQ(out, static_cast<int>(utf8.size()));
    std::u16string w(u.size() + 1, u'\x7F');
    EXPECT_EQ(Utf8sToUcs(w.data(), static_cast<int>(w.size()), &out, utf8.c_str()), 0);
    EXPECT_EQ(w, u + u'\0');
    EXPECT_EQ(Utf8nToUcsn(w.data(), static_cast<int>(u.size()), &out, utf8.data(),
                          static_cast<int>(utf8.size())), 0);
    EXPECT_EQ(out, static_cast<int>(u.size()));
  }
}

}  // namespace
