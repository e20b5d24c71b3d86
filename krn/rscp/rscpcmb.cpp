// The multi-byte table methods mbconv_tab (6), l_mbconv_tab (7) and
// mbconv_2022tab (42): the table walk with direct paths. A character of
// the Japanese families, the Chinese, Korean and Hong Kong double-byte kinds
// and the HXT transcription forms is converted byte to byte where a path
// exists for the pair of kinds; everything else takes the tables. Method 42
// starts each character's walk in the table of the ISO-2022 group that the
// input shift state names, so that designations switch tables.
//
// The direct paths are one table: a row per input kind says which bytes
// form a character of its path and which lead byte is cut when it ends the
// input; its cells say, per output kind, which of a few shared actions the
// character takes (a copy, a Japanese kernel on the character or on all the
// input left, the HXT form, the fallbacks, the note that there is no path).
#include <string.h>

#include <algorithm>
#include <array>
#include <initializer_list>
#include <iterator>

#include "i18n/wequ16/u16fmt.h"
#include "krn/rscp/rscp_int.h"
#include "krn/rscp/rscpcv_int.h"
#include "krn/rscp/rscpdat_int.h"

namespace {

using rscpdat::Jk;

// --- The direct-path table -----------------------------------------------------------------

// A set of byte values, written as inclusive ranges.
struct MbBytes {
  uint64_t bits[4] = {};
  constexpr MbBytes() = default;
  constexpr MbBytes(std::initializer_list<std::array<int, 2>> ranges) {
    for (const auto& r : ranges) {
      for (int b = r[0]; b <= r[1]; ++b) bits[b >> 6] |= uint64_t{1} << (b & 63);
    }
  }
  constexpr bool Has(uint8_t b) const { return (bits[b >> 6] >> (b & 63) & 1) != 0; }
  constexpr bool Any() const { return (bits[0] | bits[1] | bits[2] | bits[3]) != 0; }
};

constexpr MbBytes kFrom81{{0x81, 0xFF}};
constexpr MbBytes kFrom40{{0x40, 0xFF}};
constexpr MbBytes kFromA0{{0xA0, 0xFF}};
constexpr MbBytes kFromA1{{0xA1, 0xFF}};
constexpr MbBytes kLeadL1{{0x81, 0x9F}};
constexpr MbBytes kTrailL1{{0x40, 0x7E}, {0x80, 0xFC}};
// The lead bytes of JIS X 0208 rows in Shift-JIS, the Shift-JIS to EUC
// kernel's pairs (with kTrailL1); it copies any other byte.
constexpr MbBytes kLeadJis{{0x81, 0x9F}, {0xE0, 0xEF}};
constexpr MbBytes kLeadSjis{{0x81, 0x9F}, {0xE0, 0xFF}};
constexpr MbBytes kTrailSjis{{0x40, 0x7E}, {0x80, 0xFF}};
constexpr MbBytes kEucByte{{0xA1, 0xFE}};

// What a character of a path does.
enum class MbDo : uint8_t {
  kWalk,        // the table walk
  kCopy,        // its bytes unchanged
  kKernel,      // a Japanese kernel on the character
  kRun,         // a kernel (or the Shift-JIS run writer) on all the input left
  kEucSjis,     // copied and turned into Shift-JIS in place
  kHxt,         // the HXT form (ASCII or EBCDIC by the output kind)
  kFallback,    // with copy-one or mbc_copy 1 the lead byte alone, else the walk
  kWide,        // with copy-one or mbc_copy 1 both bytes, else the walk (broken length 2)
  kNote,        // the row's note that no path exists, then the walk
  kCopyOrNote,  // with copy-one or mbc_copy 1 both bytes, else the note
  kKana,        // a half-width katakana lead into Shift-JIS is replaced; else kWide
};

// A cell: act when the lead and trail bytes lie in their sets (an empty
// set takes any byte), else orElse. arg: the kernel, or the HXT letter.
struct MbCell {
  MbDo act = MbDo::kWalk;
  uint8_t arg = 0;
  MbBytes lead{}, trail{};
  MbDo orElse = MbDo::kWalk;
};

// The run writers beside the kernels.
enum : uint8_t { kSjisRun = 100, kSjisL1Run = 101 };
constexpr uint8_t K(Jk k) { return static_cast<uint8_t>(k); }

// HXT letters (index into both letter rows); kByFamily: by in_nls_loop.
enum : uint8_t { kHxtE, kHxtJ = 2, kHxtC, kHxtM, kHxtK, kHxtH, kByFamily };
constexpr uint8_t kHxtAsciiLetter[] = {'E', 'e', 'J', 'C', 'M', 'K', 'H'};
constexpr uint8_t kHxtEbcdicLetter[] = {0xC5, 0x85, 0xD1, 0xC3, 0xD4, 0xD2, 0xC8};
constexpr uint8_t kHxtAsciiDigit[] = {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9', 'A', 'B', 'C', 'D', 'E', 'F'};
constexpr uint8_t kHxtEbcdicDigit[] = {0xF0, 0xF1, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6, 0xF7,
                                       0xF8, 0xF9, 0xC1, 0xC2, 0xC3, 0xC4, 0xC5, 0xC6};

// Output kinds as a mask.
constexpr uint64_t Kinds(std::initializer_list<int> kinds) {
  uint64_t m = 0;
  for (int k : kinds) m |= uint64_t{1} << k;
  return m;
}
constexpr uint64_t kHxtKinds = Kinds({20, 21});

struct MbOut {
  uint64_t kinds;
  MbCell cell;
};

// How a row finds the characters of its path.
enum class MbShape : uint8_t {
  kPair,    // a lead and a trail byte of the row's sets
  kEvery,   // every byte; the cell's kernel is offered all the input left
  kHxt,     // the introducer and 6 bytes
  kLevel1,  // a Shift-JIS level-1 pair; other pairs by the second-family row
};

struct MbRow {
  MbShape shape;
  MbBytes lead, trail;
  MbBytes cut;  // a lead byte that is cut when it is the last input byte
  uint16_t failAt;  // location of a failed kernel
  // The note that no path exists: text, first parameter, location.
  const WEQ_UC* noteText;
  const WEQ_UC* noteKind;
  uint16_t noteAt;
  int8_t second;  // row of the second family (kLevel1), -1 the walk
  std::array<MbOut, 6> outs;
  MbCell other;  // every other output kind
};

constexpr MbCell Copy() { return {MbDo::kCopy}; }
constexpr MbCell Hxt(uint8_t letter) { return {MbDo::kHxt, letter}; }
constexpr MbCell Kernel(Jk k) { return {MbDo::kKernel, K(k)}; }
constexpr MbCell Run(uint8_t k) { return {MbDo::kRun, k}; }
constexpr MbCell Just(MbDo d) { return {d}; }
constexpr MbCell CopyIf(MbBytes lead, MbBytes trail, MbDo orElse) { return {MbDo::kCopy, 0, lead, trail, orElse}; }

constexpr const WEQ_UC* kNone = nullptr;

// Rows 0-10 by input kind (kMbRowOf); 11-14 the second families of 34,
// 35, 36 and 39.
constexpr MbRow kMbRows[] = {
    // 0: kind 1, EUC.
    {MbShape::kPair, {{0x8E, 0x8E}, {0xA1, 0xFE}}, kEucByte, {{0x8E, 0x8E}, {0xA1, 0xFE}}, 120,
     u"from EUC to .. (not impl)", u"EUC ", 128, -1,
     {{{Kinds({1}), Copy()},
       {Kinds({2}), Kernel(Jk::kEucToJis)},
       {Kinds({3, 19}), Kernel(Jk::kEucToSjis)},
       {Kinds({30, 34, 35, 36, 39}), {MbDo::kEucSjis, 0, {{0xA1, 0xD0}}, {}, MbDo::kFallback}},
       {kHxtKinds, Hxt(kHxtE)}}},
     Just(MbDo::kCopyOrNote)},
    // 1: kind 2, JIS.
    {MbShape::kEvery, {}, {}, {}, 121, u"from JIS to non SJIS (not impl)", u"JIS ", 127, -1,
     {{{Kinds({3, 39}), Run(K(Jk::kJisToSjis))},
       {Kinds({30, 34, 35, 36}), Run(K(Jk::kJisToSjisL1))},
       {Kinds({1}), Run(K(Jk::kJisToEuc))}}},
     Just(MbDo::kNote)},
    // 2: kind 3, Shift-JIS.
    {MbShape::kPair, kLeadSjis, kTrailSjis, kLeadSjis, 122, kNone, kNone, 0, -1,
     {{{Kinds({1}), {MbDo::kKernel, K(Jk::kSjisToEuc), kLeadJis, kTrailL1, MbDo::kWalk}},
       {Kinds({2}), Run(kSjisRun)},
       {Kinds({3, 39}), Copy()},
       {Kinds({30, 34, 35, 36}), CopyIf(kLeadL1, kTrailL1, MbDo::kWide)},
       {kHxtKinds, Hxt(kHxtJ)}}},
     Just(MbDo::kFallback)},
    // 3: kind 5, GBK.
    {MbShape::kPair, kFrom81, kFrom40, kFrom81, 0, kNone, kNone, 0, -1,
     {{{Kinds({5}), Copy()},
       {Kinds({25, 35, 39}), CopyIf(kFromA1, kFromA1, MbDo::kFallback)},
       {kHxtKinds, Hxt(kHxtC)}}},
     Just(MbDo::kFallback)},
    // 4: kind 25, GB 2312.
    {MbShape::kPair, kFromA1, kFromA1, kFromA1, 0, kNone, kNone, 0, -1,
     {{{Kinds({5, 25, 35, 39}), Copy()}, {kHxtKinds, Hxt(kHxtC)}}},
     Just(MbDo::kFallback)},
    // 5: kind 4, traditional Chinese.
    {MbShape::kPair, kFrom81, kFrom40, kFrom81, 0, kNone, kNone, 0, -1,
     {{{Kinds({4}), Copy()}, {Kinds({34, 39}), CopyIf(kFromA0, {}, MbDo::kFallback)}, {kHxtKinds, Hxt(kHxtM)}}},
     Just(MbDo::kFallback)},
    // 6: kind 6, Korean.
    {MbShape::kPair, kFrom81, kFrom40, kFromA0, 0, kNone, kNone, 0, -1,
     {{{Kinds({6, 36, 39}), Copy()}, {kHxtKinds, Hxt(kHxtK)}}},
     Just(MbDo::kFallback)},
    // 7: kinds 7 and 8, Hong Kong.
    {MbShape::kPair, kFrom81, kFrom40, kFrom81, 0, kNone, kNone, 0, -1,
     {{{Kinds({4, 7}), Copy()}, {kHxtKinds, Hxt(kHxtH)}}},
     Just(MbDo::kFallback)},
    // 8: kind 20, HXT in ASCII.
    {MbShape::kHxt, {{0x5E, 0x5E}}, {}, {}, 0, u"from HXT_A to .. (not impl)", u"HXTa", 123, -1,
     {{{Kinds({20}), Copy()}}},
     Just(MbDo::kNote)},
    // 9: kind 21, HXT in EBCDIC.
    {MbShape::kHxt, {{0x5F, 0x5F}}, {}, {}, 0, u"from HXT_E to .. (not impl)", u"HXTe", 124, -1,
     {{{Kinds({21}), Copy()}}},
     Just(MbDo::kNote)},
    // 10: kinds 30, 34, 35, 36, 39: a Shift-JIS level-1 pair (cells
    // kMbLevel1Outs), else the kind's second family (rows 11-14; the walk for
    // 30); the cut lead bytes and the failure location by kind (kMbLevel1).
    {MbShape::kLevel1, kLeadL1, kTrailL1, {}, 0, kNone, kNone, 0, -1, {}, {}},
    // 11: second family of 34 (traditional Chinese).
    {MbShape::kPair, kFromA0, kFrom40, {}, 0, kNone, kNone, 0, -1,
     {{{Kinds({4, 7, 8, 34, 39}), Copy()}, {kHxtKinds, Hxt(kHxtM)}, {Kinds({3}), Just(MbDo::kKana)}}},
     Just(MbDo::kWide)},
    // 12: second family of 35 (simplified Chinese).
    {MbShape::kPair, kFromA1, kFromA1, {}, 0, kNone, kNone, 0, -1,
     {{{Kinds({5, 25, 35, 39}), Copy()}, {kHxtKinds, Hxt(kHxtC)}, {Kinds({3}), Just(MbDo::kKana)}}},
     Just(MbDo::kWide)},
    // 13: second family of 36 (Korean).
    {MbShape::kPair, kFrom81, kFrom40, {}, 0, kNone, kNone, 0, -1,
     {{{Kinds({6, 36, 39}), Copy()}, {kHxtKinds, Hxt(kHxtK)}, {Kinds({3}), Just(MbDo::kKana)}}},
     Just(MbDo::kWide)},
    // 14: second family of 39 (the Asian unified page).
    {MbShape::kPair, kFrom81, kFrom40, {}, 0, kNone, kNone, 0, -1,
     {{{Kinds({6, 36, 39}), Copy()},
       {Kinds({5, 25, 35}), CopyIf(kFromA1, kFromA1, MbDo::kWide)},
       {Kinds({4, 34}), CopyIf(kFromA0, {}, MbDo::kWide)},
       {Kinds({3}), CopyIf(kLeadSjis, {{0x00, 0x7E}, {0x80, 0xFF}}, MbDo::kKana)},
       {kHxtKinds, Hxt(kByFamily)}}},
     Just(MbDo::kWide)},
};
constexpr int kMbRowCount = static_cast<int>(std::size(kMbRows));

// The level-1 rows' cells: the same for every kind of them.
constexpr std::array<MbOut, 6> kMbLevel1Outs = {{{Kinds({1}), Kernel(Jk::kSjisL1ToEuc)},
                                                 {Kinds({2}), Run(kSjisL1Run)},
                                                 {Kinds({3, 30, 34, 35, 36, 39}), Copy()},
                                                 {kHxtKinds, Hxt(kHxtJ)}}};
constexpr MbCell kMbLevel1Other = Just(MbDo::kWide);

// Per level-1 kind: the cut lead bytes, the failure location, the second
// family's row, and the first bytes of either family.
struct MbLevel1 {
  MbBytes cut;
  uint16_t failAt;
  int8_t second;
  MbBytes leads;
};
constexpr MbLevel1 kMbLevel1[] = {
    {kLeadL1, 125, -1, kLeadL1},                                   // 30
    {{{0x81, 0x9F}, {0xA0, 0xFF}}, 152, 11, {{0x81, 0x9F}, {0xA0, 0xFF}}},  // 34
    {{{0x81, 0x9F}, {0xA1, 0xFF}}, 153, 12, {{0x81, 0x9F}, {0xA1, 0xFF}}},  // 35
    {{{0x81, 0x9F}, {0xA0, 0xFF}}, 154, 13, kFrom81},               // 36
    {kFrom81, 155, 14, kFrom81},                                   // 39
};
constexpr MbBytes kMbAll{{0x00, 0xFF}};

// Kernels that convert pair by pair without state: a run of the pairs
// given here converts as each pair alone would (other pairs of the path,
// which the kernel reads otherwise, go one by one).
struct MbBatch {
  bool ok;
  MbBytes lead, trail;
};
constexpr MbBatch MbBatchOf(uint8_t k) {
  switch (static_cast<Jk>(k)) {
    case Jk::kSjisToEuc: return {true, kLeadJis, kTrailL1};
    case Jk::kEucToSjis: return {true, kMbAll, kMbAll};
    case Jk::kSjisL1ToEuc: return {true, kMbAll, kMbAll};
    default: return {false, {}, {}};
  }
}

// The row of each input kind (-1: none), and for the level-1 kinds their
// entry of kMbLevel1.
constexpr int kMbKinds = 40;
constexpr std::array<int8_t, kMbKinds> kMbRowOf = [] {
  std::array<int8_t, kMbKinds> r{};
  for (auto& x : r) x = -1;
  r[1] = 0, r[2] = 1, r[3] = 2, r[5] = 3, r[25] = 4, r[4] = 5, r[6] = 6, r[7] = 7, r[8] = 7;
  r[20] = 8, r[21] = 9, r[30] = 10, r[34] = 10, r[35] = 10, r[36] = 10, r[39] = 10;
  return r;
}();
constexpr int MbLevel1Of(uint32_t kind) {
  return kind == 30 ? 0 : kind == 34 ? 1 : kind == 35 ? 2 : kind == 36 ? 3 : 4;
}

// The cell of each row for each output kind, an index into its outs (6:
// the row's other cell).
constexpr auto kMbCellOf = [] {
  std::array<std::array<uint8_t, kMbKinds>, kMbRowCount> t{};
  for (int r = 0; r < kMbRowCount; ++r) {
    const auto& outs = kMbRows[r].shape == MbShape::kLevel1 ? kMbLevel1Outs : kMbRows[r].outs;
    for (int k = 0; k < kMbKinds; ++k) {
      t[r][k] = 6;
      for (int i = 5; i >= 0; --i) {
        if ((outs[i].kinds >> k & 1) != 0) t[r][k] = static_cast<uint8_t>(i);
      }
    }
  }
  return t;
}();

const MbCell& MbCellFor(int row, uint32_t outKind) {
  const MbRow& r = kMbRows[row];
  const bool level1 = r.shape == MbShape::kLevel1;
  const uint8_t i = outKind < kMbKinds ? kMbCellOf[row][outKind] : 6;
  if (i == 6) return level1 ? kMbLevel1Other : r.other;
  return level1 ? kMbLevel1Outs[i].cell : r.outs[i].cell;
}

// --- Actions ---------------------------------------------------------------------------------

rscpRc_t MbReport(int rc, int location, int line, const WEQ_UC* text, const WEQ_UC* code, const WEQ_UC* p1,
                  const WEQ_UC* p2 = nullptr) {
  return rscpIReport(kRscpcCvModule, rc, location, line, text, code, p1, p2);
}

bool MbCopyOne(const rscpcFrame& f) { return f.o->use_1_copy != 0 || f.mbcCopy == 1; }

rscpcStep MbCopy(rscpcFrame& f, int n) {
  if (f.outEnd - f.out < n) return rscpcStep::kFull;
  memcpy(f.out, f.in, static_cast<size_t>(n));
  f.out += n;
  f.in += n;
  return rscpcStep::kNext;
}

// A kernel that did not convert: the call ends at the character.
rscpcStep MbKernelFailed(rscpcFrame& f, int location, int len) {
  WEQ_UC p1[RSCPC_DATA_UNITS];
  rscpCFormatData(p1, f.in, len);
  f.rc = MbReport(RSCPETOOLONG, location, __LINE__, u"char code too long", u"F42", p1);
  return rscpcStep::kError;
}

// The input state that the page's tables give the designation of
// double-byte JIS (ESC $ B read in the initial state's table), 1 when they
// have none: the 7-bit JIS readers keep their mode in the object's input
// shift state, as the tables do.
uint32_t MbJisDoubleState(const rscpcFrame& f) {
  const uint32_t g0 = f.t.T1(f.inT1)[0];
  uint32_t block = g0 & RSCP_T1_VALUE;
  if ((g0 & RSCP_T1_TYPE) != RSCP_T1_NEXT || !f.t.BlockOk(block)) return 1;
  for (uint8_t b : {uint8_t{0x1B}, uint8_t{'$'}, uint8_t{'B'}}) {
    const uint32_t w = f.t.T1(block)[b];
    if ((w & (RSCP_T1_TYPE | 0x1FFF)) == (RSCP_T1_RULE | 71)) return (w >> 13) & 0xF;
    block = w & RSCP_T1_VALUE;
    if ((w & RSCP_T1_TYPE) != RSCP_T1_NEXT || !f.t.BlockOk(block)) return 1;
  }
  return 1;
}

// The Japanese kernel k on the len bytes of the character, or with run on
// all the input left (a double-byte pair or an escape sequence that the
// input cuts is then a cut character). What a kernel on one character
// converts, it converts whole: one that stopped early because the output
// filled leaves its output unused, and the output is full at the
// character. A 7-bit JIS reader keeps what it converted up to the
// character that did not fit, and starts and ends in the mode that the
// object's input shift state records.
rscpcStep MbKernel(rscpcFrame& f, uint8_t k, int len, bool run, int location) {
  const int32_t room = static_cast<int32_t>(std::min<ptrdiff_t>(f.outEnd - f.out, INT32_MAX));
  int32_t offered = run ? static_cast<int32_t>(f.inEnd - f.in) : len;
  int32_t produced = room, consumed = offered;
  rscpRc_t rc;
  const bool sjisRun = k == kSjisRun || k == kSjisL1Run;
  const bool jisRun = run && !sjisRun;
  if (sjisRun) {
    offered = rscpcISjisRun(f.in, offered, k == kSjisL1Run, &f.o->to_cp);
    rc = (k == kSjisRun ? rscpSjisRunTo82xx : rscpSjisL1RunTo82xx)(f.out, &produced, f.in, &consumed,
                                                                     &f.o->to_cp);
  } else if (jisRun) {
    const uint32_t dbState = MbJisDoubleState(f), state = (f.o->shift_state >> 10) & 0xF;
    bool db = state != 0 && state == dbState;
    const rscpdat::JkResult r = rscpdat::JkRunJis(static_cast<Jk>(k), f.out, room, f.in, offered, &db);
    rc = r.rc, produced = r.produced, consumed = r.consumed;
    f.o->shift_state = (f.o->shift_state & ~(0xFu << 10)) | (db ? dbState & 0xF : 0) << 10;
    if (rc == RSCPETOOLONG) {
      f.out += produced;
      f.in += consumed;
      return rscpcStep::kFull;
    }
  } else {
    const rscpdat::JkResult r = rscpdat::JkRun(static_cast<Jk>(k), f.out, room, f.in, offered);
    rc = r.rc, produced = r.produced, consumed = r.consumed;
  }
  if (rc != 0 || (consumed <= 0 && !jisRun)) return MbKernelFailed(f, location, len);
  if (consumed < offered) {
    // A 7-bit JIS reader leaves only a pair that the input cuts.
    if (!run || sjisRun) return rscpcStep::kFull;
    f.out += produced;
    f.in += consumed;
    f.charRead = f.inEnd;
    return rscpcStep::kBroken;
  }
  f.out += produced;
  f.in += consumed;
  return rscpcStep::kNext;
}

// The HXT form of the two bytes at f.in with the letter, in ASCII or EBCDIC.
rscpcStep MbHxt(rscpcFrame& f, uint8_t letter, bool ebcdic) {
  if (f.outEnd - f.out < 6) return rscpcStep::kFull;
  const uint8_t* digit = ebcdic ? kHxtEbcdicDigit : kHxtAsciiDigit;
  uint8_t* o = f.out;
  o[0] = ebcdic ? 0x5F : 0x5E;
  o[1] = (ebcdic ? kHxtEbcdicLetter : kHxtAsciiLetter)[letter];
  o[2] = digit[f.in[0] >> 4], o[3] = digit[f.in[0] & 15];
  o[4] = digit[f.in[1] >> 4], o[5] = digit[f.in[1] & 15];
  f.out += 6;
  f.in += 2;
  return rscpcStep::kNext;
}

// The HXT letter of the second family of kind 39, by in_nls_loop;
// kByFamily when the family has none.
uint8_t MbFamilyLetter(uint32_t loop) {
  switch (loop) {
    case 3: return kHxtJ;
    case 4: case 34: return kHxtM;
    case 5: case 25: case 35: return kHxtC;
    case 6: case 36: return kHxtK;
    case 7: return kHxtH;
    default: return kByFamily;
  }
}

// The actions of the direct paths, over the walk of policy P.
template <class P>
struct MbPaths {
  // Reports that no path exists; the character takes the walk and the
  // call's result becomes the report's.
  static rscpcStep Note(rscpcFrame& f, const MbRow& r) {
    WEQ_UC p1[8], p2[8];
    snprintfTruncU16(p1, std::size(p1), u"%-4.4s", r.noteKind);
    snprintfTruncU16(p2, std::size(p2), u"%-4.4s", u"... ");
    const rscpRc_t rc = MbReport(RSCPENOCONV, r.noteAt, __LINE__, r.noteText, u"F2K", p1, p2);
    if (rc != 0 && rc != RSCPENOCONV) {
      f.rc = rc;
      return rscpcStep::kError;
    }
    if (rc != 0) f.rc = rc;
    return rscpcIWalkChar<P>(f);
  }

  static rscpcStep Wide(rscpcFrame& f) { return MbCopyOne(f) ? MbCopy(f, 2) : rscpcIWalkChar<P>(f, 2); }

  // A lead byte 0xA1-0xDF, which Shift-JIS reads as a half-width katakana
  // byte: one substitution character or the lead byte itself, and the
  // trail byte starts the next character.
  static rscpcStep Kana(rscpcFrame& f) {
    if (f.in[0] < 0xA1 || f.in[0] > 0xDF || f.o->in_nls == 19) return Wide(f);
    if (f.o->use_subst != 0) {
      rscpRc_t code = 0;
      const int r = rscpcISubstitute(f.o, f.t, f.Mark(), &f.out, f.outEnd, 1, &code);
      return rscpcIHandled(f, r, code, f.in + 1);
    }
    if (f.o->use_1_copy != 0) {
      const rscpcStep s = MbCopy(f, 1);
      if (s == rscpcStep::kNext) f.o->subst_count += 1;
      return s;
    }
    f.charLen = 1;
    return rscpcStep::kUnconv;
  }

  // The action act of cell c on the character of len bytes at f.in.
  static rscpcStep Do(rscpcFrame& f, const MbRow& r, const MbCell& c, MbDo act, int len, int failAt) {
    switch (act) {
      case MbDo::kWalk: return rscpcIWalkChar<P>(f);
      case MbDo::kCopy: return MbCopy(f, len);
      case MbDo::kKernel: return MbKernel(f, c.arg, len, false, failAt);
      case MbDo::kRun:
        // A pair that the target's Shift-JIS writer would not convert starts
        // no run: it takes the tables, as a character the page lacks.
        if ((c.arg == kSjisRun || c.arg == kSjisL1Run) &&
            rscpcISjisRun(f.in, len, c.arg == kSjisL1Run, &f.o->to_cp) == 0) {
          return rscpcIWalkChar<P>(f);
        }
        return MbKernel(f, c.arg, len, true, failAt);
      case MbDo::kEucSjis: {
        const rscpcStep s = MbCopy(f, 2);
        if (s == rscpcStep::kNext) rscpEucPairToSjis(f.out - 2, f.out - 1);
        return s;
      }
      case MbDo::kHxt: {
        const uint8_t letter = c.arg == kByFamily ? MbFamilyLetter(f.o->in_nls_loop) : c.arg;
        if (letter == kByFamily) return Wide(f);
        return MbHxt(f, letter, f.o->out_nls == 21);
      }
      case MbDo::kFallback: return MbCopyOne(f) ? MbCopy(f, 1) : rscpcIWalkChar<P>(f);
      case MbDo::kWide: return Wide(f);
      case MbDo::kNote: return Note(f, r);
      case MbDo::kCopyOrNote: return MbCopyOne(f) ? MbCopy(f, len) : Note(f, r);
      case MbDo::kKana: return Kana(f);
    }
    return rscpcIWalkChar<P>(f);
  }

  // The cell of row on the pair at f.in, and on the pairs of the path
  // behind it that take the same copy or stateless kernel.
  static rscpcStep Pair(rscpcFrame& f, int row, int failAt, bool batch) {
    const MbRow& r = kMbRows[row];
    const MbCell& c = MbCellFor(row, f.o->out_nls);
    const auto holds = [&c](const uint8_t* p) {
      return (!c.lead.Any() || c.lead.Has(p[0])) && (!c.trail.Any() || c.trail.Has(p[1]));
    };
    const MbDo act = holds(f.in) ? c.act : c.orElse;
    const MbBatch k =
        act == MbDo::kKernel ? MbBatchOf(c.arg) : MbBatch{act == MbDo::kCopy || act == MbDo::kEucSjis, {}, {}};
    if (!batch || !k.ok || (k.lead.Any() && !(k.lead.Has(f.in[0]) && k.trail.Has(f.in[1])))) {
      return Do(f, r, c, act, 2, failAt);
    }
    const uint8_t* p = f.in + 2;
    while (f.inEnd - p >= 2 && r.lead.Has(p[0]) && r.trail.Has(p[1]) && holds(p) && k.lead.Has(p[0]) &&
           k.trail.Has(p[1])) {
      p += 2;
    }
    const ptrdiff_t run = p - f.in;
    if (act == MbDo::kKernel) {
      const int32_t room = static_cast<int32_t>(std::min<ptrdiff_t>(f.outEnd - f.out, INT32_MAX));
      const rscpdat::JkResult res =
          rscpdat::JkRun(static_cast<Jk>(c.arg), f.out, room, f.in, static_cast<int32_t>(run));
      // Output full inside the run: the pairs that fit are done, and the
      // next one fails on its own.
      if (res.consumed <= 0 || (res.rc != 0 && res.rc != RSCPETOOLONG)) return Do(f, r, c, act, 2, failAt);
      f.out += res.produced;
      f.in += res.consumed;
      return rscpcStep::kNext;
    }
    const ptrdiff_t fits = std::min(run, (f.outEnd - f.out) & ~ptrdiff_t{1});
    if (fits == 0) return rscpcStep::kFull;
    memcpy(f.out, f.in, static_cast<size_t>(fits));
    if (act == MbDo::kEucSjis) {
      for (ptrdiff_t i = 0; i < fits; i += 2) rscpEucPairToSjis(f.out + i, f.out + i + 1);
    }
    f.out += fits;
    f.in += fits;
    return rscpcStep::kNext;
  }

  // One character from f.in: a path of its input kind, or the walk.
  static rscpcStep Direct(rscpcFrame& f) {
    const uint8_t b = *f.in;
    uint32_t kind = f.o->in_nls;
    if (kind == 19) {
      // The 16-bit page's bytes take the path of the kind last converted
      // into it; control bytes always take the tables.
      kind = f.o->h_last_NLS_to_4000;
      if (b < 0x20 || kind == 8 || kind == 19) return rscpcIWalkChar<P>(f);
    }
    const int row = kind < kMbKinds ? kMbRowOf[kind] : -1;
    if (row < 0) return rscpcIWalkChar<P>(f);
    const MbRow& r = kMbRows[row];
    const bool last = f.inEnd - f.in < 2;
    switch (r.shape) {
      case MbShape::kEvery: {
        const MbCell& c = MbCellFor(row, f.o->out_nls);
        return Do(f, r, c, c.act, 1, r.failAt);
      }
      case MbShape::kHxt: {
        if (!r.lead.Has(b)) return rscpcIWalkChar<P>(f);
        if (f.inEnd - f.in < 6) {
          f.charRead = f.inEnd;
          return rscpcStep::kBroken;
        }
        const MbCell& c = MbCellFor(row, f.o->out_nls);
        return Do(f, r, c, c.act, 6, r.failAt);
      }
      case MbShape::kPair:
        if (!r.lead.Has(b)) return rscpcIWalkChar<P>(f);
        if (last) return Cut(f, r.cut);
        if (!r.trail.Has(f.in[1])) return rscpcIWalkChar<P>(f);
        return Pair(f, row, r.failAt, true);
      case MbShape::kLevel1: {
        const MbLevel1& l1 = kMbLevel1[MbLevel1Of(kind)];
        if (last) return Cut(f, l1.cut);
        if (r.lead.Has(b) && r.trail.Has(f.in[1])) return Pair(f, row, l1.failAt, true);
        if (l1.second < 0) return rscpcIWalkChar<P>(f);
        const MbRow& s = kMbRows[l1.second];
        if (!s.lead.Has(b) || !s.trail.Has(f.in[1])) return rscpcIWalkChar<P>(f);
        return Pair(f, l1.second, l1.failAt, false);
      }
    }
    return rscpcIWalkChar<P>(f);
  }

  // The first bytes that start a path of the call's input kind.
  static const uint64_t* Stops(const rscpcFrame& f) {
    const uint32_t kind = f.o->in_nls;
    if (kind == 19) return kMbAll.bits;
    const int row = kind < kMbKinds ? kMbRowOf[kind] : -1;
    if (row < 0) return nullptr;
    switch (kMbRows[row].shape) {
      case MbShape::kEvery: return kMbAll.bits;
      case MbShape::kLevel1: return kMbLevel1[MbLevel1Of(kind)].leads.bits;
      default: return kMbRows[row].lead.bits;
    }
  }

  // The last input byte: a lead byte of the row is a cut character, any
  // other byte takes the walk.
  static rscpcStep Cut(rscpcFrame& f, const MbBytes& cut) {
    if (!cut.Has(*f.in)) return rscpcIWalkChar<P>(f);
    f.charRead = f.inEnd;
    return rscpcStep::kBroken;
  }
};

// --- The methods' policies -------------------------------------------------------------------

// mbconv_tab and l_mbconv_tab: every character starts in the input table's
// root.
struct MbTabPolicy : rscpcWalkPolicy<MbTabPolicy> {
  static constexpr bool kFastRun = true;
  static rscpcStep Direct(rscpcFrame& f) { return MbPaths<MbTabPolicy>::Direct(f); }
  static const uint64_t* FastRunStops(rscpcFrame& f) { return MbPaths<MbTabPolicy>::Stops(f); }
};

// mbconv_2022tab: a character starts in the table of the ISO-2022 group
// that the input shift state names (the root is a group table).
struct Mb2022Policy : rscpcWalkPolicy<Mb2022Policy> {
  static rscpcStep Direct(rscpcFrame& f) { return MbPaths<Mb2022Policy>::Direct(f); }
  static uint32_t StartBlock(rscpcFrame& f) { return rscpcIGroupStart(f, 253); }
  static rscpcStep UnknownWord(rscpcFrame& f, const rscpcChar& ch) { return rscpcIUnknownIn2022<Mb2022Policy>(f, ch); }
};

}  // namespace

rscpcBranchEnd rscpcIMbconvTab(rscpcFrame& f) {
  const rscpcBranchEnd r = rscpcIRefresh(f, 90, 85);
  if (r.kind != rscpcEnd::kEnd) return r;
  if (f.o->method == RSCP_M_MBCONV_2022TAB) return rscpcIEndOfStep(rscpcIRun<Mb2022Policy>(f));
  return rscpcIEndOfStep(rscpcIRun<MbTabPolicy>(f));
}
