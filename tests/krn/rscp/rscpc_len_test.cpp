// Character length by NLS kind: the rules at their boundaries, and every
// character and every cut of real text in exactly sized heap buffers
// against the character boundaries that ICU gives.
#include <gtest/gtest.h>
#include <unicode/ucnv.h>

#include <memory>
#include <string>
#include <vector>

#include "rscpc_fixture.h"

namespace rscptest {
namespace {

// Calls with a heap buffer of exactly the given bytes, so that a read
// beyond them is caught by the sanitizer.
int LenExact(const std::vector<uint8_t>& bytes, int32_t kind) {
  std::unique_ptr<uint8_t[]> buf(new uint8_t[bytes.empty() ? 1 : bytes.size()]);
  std::copy(bytes.begin(), bytes.end(), buf.get());
  return rscpCharLenByNls(buf.get(), static_cast<int32_t>(bytes.size()), kind);
}

struct LenCase {
  int32_t kind;
  std::vector<uint8_t> bytes;
  int len;
};

class CharLenRules : public ::testing::TestWithParam<LenCase> {};

TEST_P(CharLenRules, LengthOfTheFirstCharacter) {
  const LenCase& c = GetParam();
  EXPECT_EQ(LenExact(c.bytes, c.kind), c.len);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, CharLenRules,
    ::testing::Values(
        // UTF-8
        LenCase{12, {0xC3, 0xA9}, 2}, LenCase{12, {0x80}, 0}, LenCase{12, {0xFE}, 0}, LenCase{12, {0xFF, 0x41}, 0},
        LenCase{12, {0x7F}, 1}, LenCase{12, {0xBF}, 0}, LenCase{12, {0xC0}, 2}, LenCase{12, {0xDF}, 2},
        LenCase{12, {0xE0}, 3}, LenCase{12, {0xEF}, 3}, LenCase{12, {0xF0}, 4}, LenCase{12, {0xF7}, 4},
        LenCase{12, {0xF8}, 5}, LenCase{12, {0xFB}, 5}, LenCase{12, {0xFC}, 6}, LenCase{12, {0xFD}, 6},
        // UTF-16 big- and little-endian
        LenCase{13, {0xD8, 0x3D}, 4}, LenCase{13, {0xDC, 0x00}, 0}, LenCase{13, {0xDF, 0xFF}, 0},
        LenCase{13, {0xDB}, 4}, LenCase{13, {0x00, 0x41}, 2}, LenCase{13, {0xE0, 0x00}, 2},
        LenCase{16, {0x3D, 0xD8}, 4}, LenCase{16, {0x00, 0xDC}, 0}, LenCase{16, {0x41, 0x00}, 2},
        LenCase{16, {0xD8}, 2},
        // Icons (U+F8FD, two units below 0x100) and frames (U+F8FC, 0x25/0x26)
        LenCase{13, {0xF8, 0xFD, 0x00, 0x41, 0x00, 0x42}, 6}, LenCase{13, {0xF8, 0xFD, 0x00, 0x41, 0x01, 0x42}, 2},
        LenCase{13, {0xF8, 0xFD, 0x00, 0x41, 0x00}, 2}, LenCase{13, {0xF8, 0xFD, 0x00}, 2},
        LenCase{13, {0xF8, 0xFC, 0x25, 0x00}, 4}, LenCase{13, {0xF8, 0xFC, 0x26}, 4},
        LenCase{13, {0xF8, 0xFC}, 2}, LenCase{13, {0xF8, 0xFC, 0x27, 0x00}, 2},
        LenCase{16, {0xFD, 0xF8, 0x41, 0x00, 0x42, 0x00}, 6}, LenCase{16, {0xFD, 0xF8, 0x41, 0x00, 0x42}, 2},
        LenCase{16, {0xFC, 0xF8, 0x00, 0x25}, 4}, LenCase{16, {0xFC, 0xF8, 0x00}, 2},
        LenCase{16, {0xFC, 0xF8, 0x00, 0x24}, 2},
        // Shift-JIS
        LenCase{3, {0x82}, 2}, LenCase{3, {0x82, 0x20}, 1}, LenCase{3, {0x82, 0xA0}, 2}, LenCase{3, {0x82, 0x40}, 2},
        LenCase{3, {0x82, 0x7F}, 1}, LenCase{3, {0xE0, 0x80}, 2}, LenCase{3, {0xA1, 0x40}, 1},
        LenCase{3, {0x80}, 1}, LenCase{3, {0xFF}, 2},
        // Double-byte kinds 4, 5, 7, 39 and Korean
        LenCase{4, {0x80}, 1}, LenCase{4, {0x81}, 2}, LenCase{5, {0x81, 0x3F}, 1}, LenCase{7, {0x81, 0x40}, 2},
        LenCase{39, {0x41, 0x81}, 1}, LenCase{6, {0x9F}, 1}, LenCase{6, {0xA0}, 2}, LenCase{6, {0x81, 0x41}, 2},
        LenCase{6, {0xB0, 0x20}, 1},
        // Fixed widths
        LenCase{10, {0}, 2}, LenCase{14, {0}, 2}, LenCase{19, {0}, 2}, LenCase{11, {0}, 4}, LenCase{15, {0}, 4},
        // HXT
        LenCase{20, {0x23}, 4}, LenCase{20, {0x40}, 5}, LenCase{20, {0x5E}, 6}, LenCase{20, {0x7B}, 1},
        LenCase{21, {0x7B}, 4}, LenCase{21, {0xB5}, 5}, LenCase{21, {0x5F}, 6}, LenCase{21, {0x23}, 1},
        // GB 2312 and GB 18030
        LenCase{25, {0xA0}, 1}, LenCase{25, {0xA1}, 2}, LenCase{25, {0xB0, 0xA0}, 1}, LenCase{25, {0xB0, 0xA1}, 2},
        LenCase{29, {0x80}, 1}, LenCase{29, {0x81}, 2}, LenCase{29, {0x81, 0x30}, 4}, LenCase{29, {0x81, 0x30, 0x81}, 4},
        LenCase{29, {0x81, 0x30, 0x81, 0x30}, 4}, LenCase{29, {0x81, 0x30, 0x7F, 0x30}, 1},
        LenCase{29, {0x81, 0x39, 0xFE, 0x3A}, 1}, LenCase{29, {0xFF, 0x30, 0x81, 0x30}, 1}, LenCase{29, {0x81, 0x40}, 2},
        LenCase{29, {0x81, 0x3F}, 1},
        // Shift-JIS level 1 and the blended kinds
        LenCase{30, {0x81}, 2}, LenCase{30, {0xE0}, 1}, LenCase{30, {0xE0, 0x40}, 1}, LenCase{30, {0x9F, 0x7E}, 2},
        LenCase{30, {0x9F, 0x7F}, 1}, LenCase{30, {0x9F, 0xFC}, 2}, LenCase{30, {0x9F, 0xFD}, 1},
        LenCase{34, {0xA0}, 2}, LenCase{34, {0x80}, 1}, LenCase{34, {0xA0, 0x40}, 2}, LenCase{34, {0xA0, 0x3F}, 1},
        LenCase{34, {0x90, 0x3F}, 1}, LenCase{35, {0xA0}, 1}, LenCase{35, {0xA1}, 2}, LenCase{35, {0xA1, 0xA1}, 2},
        LenCase{35, {0xA1, 0xA0}, 1}, LenCase{35, {0x81, 0x40}, 2}, LenCase{36, {0xA0}, 2}, LenCase{36, {0x80, 0x40}, 1},
        LenCase{36, {0x81, 0x40}, 2}, LenCase{36, {0x81, 0x3F}, 1},
        // Kinds without a rule, bad lengths
        LenCase{8, {0x41}, 0}, LenCase{9, {0x41}, 0}, LenCase{0, {0x41}, 0}, LenCase{40, {0x41}, 0},
        LenCase{-1, {0x41}, 0}, LenCase{12, {}, 0}));

// --- Against ICU -----------------------------------------------------------------------------

struct IcuText {
  const char* icu;
  int32_t kind;
  std::vector<std::vector<uint8_t>> chars;
};

// Encodes each code point alone; those that the code page lacks, or whose
// form the rules treat apart, are left out.
IcuText Encode(const char* icu, int32_t kind, bool (*skip)(const std::vector<uint8_t>&)) {
  IcuText t{icu, kind, {}};
  UErrorCode st = U_ZERO_ERROR;
  UConverter* cv = ucnv_open(icu, &st);
  if (U_FAILURE(st)) return t;
  ucnv_setFromUCallBack(cv, UCNV_FROM_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &st);
  std::vector<UChar32> cps;
  for (UChar32 c = 0x20; c < 0x7F; ++c) cps.push_back(c);
  for (UChar32 c = 0xA0; c < 0x500; c += 3) cps.push_back(c);
  for (UChar32 c = 0x3000; c < 0x3100; ++c) cps.push_back(c);
  for (UChar32 c = 0x4E00; c < 0x9FA0; c += 37) cps.push_back(c);
  for (UChar32 c = 0xAC00; c < 0xD7A0; c += 53) cps.push_back(c);
  for (UChar32 c = 0xE000; c < 0xE100; c += 7) cps.push_back(c);
  for (UChar32 c = 0xFF01; c < 0xFFE0; ++c) cps.push_back(c);
  for (UChar32 c = 0x10000; c < 0x30000; c += 997) cps.push_back(c);
  cps.push_back(0x1F600);
  cps.push_back(0x10FFFD);
  for (UChar32 c : cps) {
    if (c == 0xF8FC || c == 0xF8FD) continue;
    UChar u[2];
    int32_t n = 0;
    U16_APPEND_UNSAFE(u, n, c);
    char out[16];
    st = U_ZERO_ERROR;
    ucnv_resetFromUnicode(cv);
    const int32_t len = ucnv_fromUChars(cv, out, sizeof(out), u, n, &st);
    if (U_FAILURE(st) || len <= 0) continue;
    std::vector<uint8_t> b(out, out + len);
    if (skip != nullptr && skip(b)) continue;
    t.chars.push_back(std::move(b));
  }
  ucnv_close(cv);
  return t;
}

class CharLenIcu : public ::testing::TestWithParam<int> {};

std::vector<IcuText>& IcuTexts() {
  static std::vector<IcuText> texts = [] {
    std::vector<IcuText> v;
    v.push_back(Encode("UTF-8", 12, nullptr));
    v.push_back(Encode("UTF-16BE", 13, nullptr));
    v.push_back(Encode("UTF-16LE", 16, nullptr));
    v.push_back(Encode("windows-31j", 3, nullptr));
    // Three-byte EUC (0x8F) has a rule of its own by design.
    v.push_back(Encode("euc-jp-2007", 1, [](const std::vector<uint8_t>& b) { return b[0] == 0x8F; }));
    v.push_back(Encode("gb18030", 29, nullptr));
    v.push_back(Encode("windows-950-2000", 4, nullptr));
    // The Korean rule knows the KS X 1001 lead bytes (0xA1 and above) when
    // only the lead byte is there; the UHC extension's leads below are
    // told apart once the trail byte is in.
    v.push_back(Encode("windows-949-2000", 6, nullptr));
    return v;
  }();
  return texts;
}

TEST_P(CharLenIcu, EveryCharacterAndEveryCut) {
  const IcuText& t = IcuTexts()[GetParam()];
  ASSERT_GT(t.chars.size(), 100u) << t.icu;
  // The whole text in one exactly sized buffer, walked character by character.
  std::vector<uint8_t> all;
  for (const auto& c : t.chars) all.insert(all.end(), c.begin(), c.end());
  std::unique_ptr<uint8_t[]> buf(new uint8_t[all.size()]);
  std::copy(all.begin(), all.end(), buf.get());
  size_t pos = 0;
  for (const auto& c : t.chars) {
    const int32_t left = static_cast<int32_t>(all.size() - pos);
    ASSERT_EQ(rscpCharLenByNls(buf.get() + pos, left, t.kind), static_cast<int>(c.size()))
        << t.icu << " at byte " << pos << " lead 0x" << std::hex << int{c[0]};
    pos += c.size();
  }
  // Each character alone, and each of its cuts.
  for (const auto& c : t.chars) {
    for (size_t k = 1; k <= c.size(); ++k) {
      const std::vector<uint8_t> cut(c.begin(), c.begin() + static_cast<long>(k));
      const int len = LenExact(cut, t.kind);
      if (k == c.size()) {
        EXPECT_EQ(len, static_cast<int>(k)) << t.icu << " lead 0x" << std::hex << int{c[0]};
      } else if (t.kind == 1) {
        // The EUC kernel answers 0 for a lead byte without its trail byte.
        EXPECT_EQ(len, 0) << t.icu << " cut at " << k;
      } else if (!(t.kind == 6 && k == 1 && c[0] < 0xA0)) {
        EXPECT_GT(len, static_cast<int>(k)) << t.icu << " cut at " << k << " lead 0x" << std::hex << int{c[0]};
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Texts, CharLenIcu, ::testing::Range(0, 8));

}  // namespace
}  // namespace rscptest
