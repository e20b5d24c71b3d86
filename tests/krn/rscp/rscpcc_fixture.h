// Shared by the cache tests: a fixture that builds a cache of a chosen size,
// readers of the last report, and a walker of the multi-level tables written
// from their word formats (what a conversion reads), independent of the code
// that builds them.
#ifndef TESTS_KRN_RSCP_RSCPCC_FIXTURE_H
#define TESTS_KRN_RSCP_RSCPCC_FIXTURE_H

#include <stdlib.h>
#include <string.h>

#include <optional>
#include <string>
#include <vector>

#include "krn/rscp/rscpcc_int.h"
#include "rscp_testutil.h"

namespace rscptest {

class CacheTest : public ConverterTest {
 public:
  void TearDown() override {
    ConverterTest::TearDown();
    free(block_);
  }
  // A fresh cache of size bytes with the cache07 area given, built.
  rscpCCC_t* Build(long size = 400000, long cache07 = 40000) {
    free(block_);
    block_ = calloc(1, static_cast<size_t>(size));
    rscpSetCache(static_cast<rscpCCC_t*>(block_));
    EXPECT_EQ(rscpBuildCache(size, cache07, RSCP_WEQCODE_FLOOR, u"malloc", -1), 0);
    rscpeClearThrErrors();
    return cache();
  }
  rscpCCC_t* cache() const { return static_cast<rscpCCC_t*>(block_); }
  unsigned char* base() const { return static_cast<unsigned char*>(block_); }
  uint32_t* T1(uint32_t n) const { return reinterpret_cast<uint32_t*>(base() + n * 1032u); }
  uint32_t* T3(uint32_t n) const { return reinterpret_cast<uint32_t*>(base() + n * 516u); }
  uint16_t* T2(uint32_t off) const { return reinterpret_cast<uint16_t*>(base() + off); }

  void* block_ = nullptr;
};

// The newest report of the calling thread: code, first parameter, rc.
struct LastReport {
  std::u16string code;
  std::u16string param1;
  int rc = 0;
  int location = 0;
};
inline LastReport Last() {
  const rscpErrStack_t* s = rscpeg__get_thr_errors();
  if (s->count == 0) return {};
  const rscpErrEntry_t& e = s->entries[std::min<int>(s->count, RSCP_ERR_ENTRIES) - 1];
  return {std::u16string(e.msgCode, 3), std::u16string(e.param1, e.param1Len), e.rc, e.location};
}

// What the input walk finds for a byte sequence: a character (value, code
// length), a rule (rule, attribute, code length), or nothing.
struct InHit {
  enum Kind { kNone, kChar, kRule } kind = kNone;
  uint32_t value = 0;  // character number or rule number
  int attr = 0;
  int len = 0;
  bool operator==(const InHit&) const = default;
};

// Walks seq from block start as a conversion does: a character ends the
// walk (its length field, when set, is the code's length), a next-block
// word goes one level down, and at the end of the sequence on a next-block
// word the lower block's end-of-input word answers.
inline InHit WalkIn(const unsigned char* cache, uint32_t start, const std::vector<uint8_t>& seq) {
  auto word = [cache](uint32_t block, int i) {
    uint32_t w;
    memcpy(&w, cache + block * 1032u + 4u * static_cast<unsigned>(i), 4);
    return w;
  };
  uint32_t block = start;
  for (size_t d = 1; d <= seq.size(); ++d) {
    uint32_t w = word(block, seq[d - 1]);
    switch (w >> 29) {
      case 1: {
        int len = static_cast<int>((w >> 24) & 31);
        return {InHit::kChar, w & 0xFFFFFF, 0, len == 0 ? static_cast<int>(d) : len};
      }
      case 3:
        return {InHit::kRule, w & 0x1FFF, static_cast<int>((w >> 13) & 63), static_cast<int>((w >> 24) & 31)};
      case 2:
        block = w & 0xFFFFFF;
        if (d == seq.size()) {
          uint32_t e = word(block, 256);
          if ((e >> 29) == 1) return {InHit::kChar, e & 0xFFFFFF, 0, static_cast<int>((e >> 24) & 31)};
          return {};
        }
        break;
      default:
        return {};
    }
  }
  return {};
}

// What the output lookup finds for a character number: its code bytes, a
// rule (rule, attribute), or nothing.
struct OutHit {
  std::vector<uint8_t> code;
  int rule = -1;
  int attr = 0;
  bool operator==(const OutHit&) const = default;
};

inline OutHit WalkOut(const unsigned char* cache, uint32_t t2, uint32_t value) {
  uint16_t e;
  memcpy(&e, cache + t2 + 2u * ((value >> 7) & 0x1FFFF), 2);
  if ((e >> 13) == 2) return {{}, e & 0x7F, (e >> 7) & 0x3F};
  if ((e & 0x8000) == 0) return {};
  uint32_t w;
  memcpy(&w, cache + (e & 0x7FFFu) * 516u + 4u * (value & 0x7F), 4);
  if (w & 0x80000000u) return {{}, static_cast<int>(w & 0x7F), static_cast<int>((w >> 8) & 0xFFFF)};
  const int n = static_cast<int>((w >> 24) & 0x7F);
  OutHit hit;
  if (n <= 3) {
    for (int i = 0; i < n; ++i) hit.code.push_back(static_cast<uint8_t>(w >> (16 - 8 * i)));
  } else {
    const unsigned char* p = cache + (w & 0xFFFFFF);
    hit.code.assign(p, p + n);
  }
  return hit;
}

}  // namespace rscptest

#endif
