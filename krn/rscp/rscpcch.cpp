// The method chooser: completes a converter object for its code page pair.
// It looks both code pages up in the cache directory, loads their table
// variants on first use, and picks one of the conversion methods from the
// pair of NLS kinds and the options. It is the one place where a cache
// overflow becomes a reorganisation: the cache is invalidated, rebuilt, and
// the lookup runs once more in the same call.
//
// Everything after the language key runs under the 'CCC' mutex; a load
// additionally takes the cache's write permission, held to the end of the
// call. The call pins the published generation for its duration.
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <iterator>
#include <string_view>

#include "i18n/wequ16/u16fmt.h"
#include "krn/rscp/rscp_int.h"
#include "krn/rscp/rscpc_int.h"
#include "krn/rscp/rscpcv_int.h"
#include "krn/rscp/rscpld_int.h"
#include "krn/rscp/rscpmc_int.h"

namespace {

constexpr const WEQ_UC* kChModule = u" $Id: krn/rscp/rscpcch.cpp $";

rscpRc_t ChReport(int rc, int location, int line, const WEQ_UC* text, const WEQ_UC* code, const WEQ_UC* p1,
                  const WEQ_UC* p2, int mask) {
  return rscpIReport(kChModule, rc, location, line, text, code, p1, p2, mask);
}

// --- The method matrix ----------------------------------------------------------------------
// Rows are input NLS kinds, columns output NLS kinds; a cell is a method
// number or a rule. The table below is written in the rule letters and
// turned into cells at compile time.
enum class ChRule : uint8_t {
  kNum,     // the method n
  kNone,    // "-": no method for the pair
  kL, kM, kP,
  kI,       // I with its resets
  kI0,      // I without them (multi-byte input, UTF-8 output)
  kO, kB, kF, kD, kS, kS4,
  kU,       // U13..U24: the UTF-8 method n
  kY, kW13, kW16, kV, kG, kA49, kA48,
  k5i, k7i, k5o,
  k6r,      // 6 with the resets of I
  k6L,      // 6 or L by the output kind
  k6o7i,    // 6, 7i for output kind 7
  kZ,
};
struct ChCell {
  ChRule rule = ChRule::kNone;
  uint8_t n = 0;
};

constexpr int kChRows = 15;
constexpr int kChCols = 17;
using ChMatrix = std::array<std::array<ChCell, kChCols>, kChRows>;

constexpr ChCell ChToken(std::string_view t) {
  struct Named {
    std::string_view name;
    ChRule rule;
  };
  constexpr Named kNamed[] = {
      {"-", ChRule::kNone}, {"L", ChRule::kL},     {"M", ChRule::kM},     {"P", ChRule::kP},
      {"I", ChRule::kI},    {"I0", ChRule::kI0},   {"O", ChRule::kO},     {"B", ChRule::kB},
      {"F", ChRule::kF},    {"D", ChRule::kD},     {"S", ChRule::kS},     {"S4", ChRule::kS4},
      {"Y", ChRule::kY},    {"W13", ChRule::kW13}, {"W16", ChRule::kW16}, {"V", ChRule::kV},
      {"G", ChRule::kG},    {"A49", ChRule::kA49}, {"A48", ChRule::kA48}, {"5i", ChRule::k5i},
      {"7i", ChRule::k7i},  {"5o", ChRule::k5o},   {"6r", ChRule::k6r},   {"6L", ChRule::k6L},
      {"6/7i", ChRule::k6o7i}, {"Z", ChRule::kZ}};
  for (const Named& n : kNamed) {
    if (n.name == t) return {n.rule, 0};
  }
  int value = 0;
  ChRule rule = ChRule::kNum;
  size_t i = 0;
  if (t.front() == 'U') rule = ChRule::kU, i = 1;
  for (; i < t.size(); ++i) {
    if (t[i] < '0' || t[i] > '9') throw "unknown cell of the method matrix";
    value = value * 10 + (t[i] - '0');
  }
  return {rule, static_cast<uint8_t>(value)};
}

constexpr ChMatrix ChParse(const std::array<std::string_view, kChRows>& rows) {
  ChMatrix m{};
  for (int r = 0; r < kChRows; ++r) {
    std::string_view s = rows[r];
    int c = 0;
    while (!s.empty()) {
      const size_t end = s.find(' ');
      const std::string_view token = s.substr(0, end);
      if (!token.empty()) {
        if (c >= kChCols) throw "too many cells in a row of the method matrix";
        m[r][c++] = ChToken(token);
      }
      s = end == std::string_view::npos ? std::string_view{} : s.substr(end + 1);
    }
    if (c != kChCols) throw "too few cells in a row of the method matrix";
  }
  return m;
}

// Columns: 0 1 2 MB 8 10 11 12 13 14 15 16 19 20 21 29 39.
constexpr ChMatrix kChMatrix = ChParse({
    "4   4   4   4   B   I   I   I   A49 I   I   A48 4   4   4   B   4",    // 0
    "10  M   M   L   B   5   5   Z   5   5   5   5   11  L   L   B   L",    // E: 1 20 21
    "10  M   M   6L  B   5   5   5   5   5   5   5   11  6   6   B   6",    // 2
    "4   P   P   L   B   I   I   I0  I   I   I   I   11  L   L   B   F",    // MB
    "B   B   B   B   B   B   B   B   B   B   B   B   B   B   B   B   B",    // 8
    "O   -   4   O   B   D   O   U14 D   S   O   S   O   4   4   B   O",    // 10
    "O   -   4   O   B   O   D   U18 O   O   S4  O   O   4   4   B   O",    // 11
    "O   -   -   O   B   U16 U20 D   U24 U15 U19 U23 4   -   -   B   5o",   // 12
    "W13 -   4   W13 W13 V   V   U22 D   V   V   S   W13 G   G   B   W13",  // 13
    "O   -   4   O   B   S   O   U13 S   D   O   D   O   4   4   B   O",    // 14
    "O   -   4   O   B   O   S4  U17 O   O   D   O   O   4   4   B   O",    // 15
    "W16 -   4   W16 W16 W16 W16 U21 S   W16 W16 D   W16 G   G   B   W16",  // 16
    "4   M   M   M   B   4   4   Y   4   4   4   4   2   M   M   B   M",    // 19
    "B   B   B   B   B   B   B   B   B   B   B   B   B   B   B   B   B",    // 29
    "10  7   7   6/7i B  5i  5i  5i  5i  5i  5i  5i  11  6r  6r  B   6r",   // 39
});

constexpr bool ChMultiByte(uint32_t k) {
  return k == 3 || k == 4 || k == 5 || k == 6 || k == 7 || k == 25 || k == 30 || k == 34 || k == 35 || k == 36;
}

int ChRow(uint32_t k) {
  if (ChMultiByte(k)) return 3;
  switch (k) {
    case 0: return 0;
    case 1: case 20: case 21: return 1;
    case 2: return 2;
    case 8: return 4;
    case 10: return 5; case 11: return 6; case 12: return 7; case 13: return 8; case 14: return 9;
    case 15: return 10; case 16: return 11; case 19: return 12; case 29: return 13; case 39: return 14;
    default: return -1;
  }
}

int ChCol(uint32_t k) {
  if (ChMultiByte(k)) return 3;
  switch (k) {
    case 0: return 0; case 1: return 1; case 2: return 2; case 8: return 4;
    case 10: return 5; case 11: return 6; case 12: return 7; case 13: return 8; case 14: return 9;
    case 15: return 10; case 16: return 11; case 19: return 12; case 20: return 13; case 21: return 14;
    case 29: return 15; case 39: return 16;
    default: return -1;
  }
}

// The 16-bit methods 33/35 (control codes on, own characters off), 37
// (both off) and 39 (the rest) for UTF-16 input of the lowest minor.
uint32_t ChUtf16(const rscpCObj_t* o, uint32_t ctrlOnOwnOff) {
  if (o->rscpCtrlCodeCv == 1 && o->rscpWEQOwnChCv == 0) return ctrlOnOwnOff;
  if (o->rscpCtrlCodeCv == 0 && o->rscpWEQOwnChCv == 0) return 37;
  return 39;
}

}  // namespace

rscpcChoice_t rscpcIChooseMethod(const rscpCObj_t* o, uint32_t inFlags) {
  rscpcChoice_t ch{};
  const int row = ChRow(o->in_nls), col = ChCol(o->out_nls);
  if (row < 0 || col < 0) {
    ch.unsupported = true;
    return ch;
  }
  const bool sameMinor = o->in_minor == o->out_minor;
  const bool direct = sameMinor && o->no_direct == 0;
  const bool inMixed = o->in_mixed != 0, outMixed = o->out_mixed != 0;
  const auto ruleI = [&](bool resets) {
    ch.resetOut = resets;
    ch.method = inMixed ? 5 : 4;
    ch.substIn = inMixed;
  };
  const auto ruleW = [&](uint32_t ctrlOnOwnOff, uint32_t otherMinor) {
    ch.method = o->in_minor == 0 ? ChUtf16(o, ctrlOnOwnOff) : otherMinor;
    if (outMixed) ch.method += 1, ch.substOut = true;
  };
  ChCell cell = kChMatrix[row][col];
  if (cell.rule == ChRule::k6L) {
    const uint32_t k = o->out_nls;
    cell.rule = (k >= 4 && k <= 7) || k == 25 ? ChRule::kL : ChRule::kNum;
    cell.n = 6;
  } else if (cell.rule == ChRule::k6o7i) {
    cell.rule = o->out_nls == 7 ? ChRule::k7i : ChRule::k6r;
  }
  switch (cell.rule) {
    case ChRule::kNum: ch.method = cell.n; break;
    case ChRule::kNone: ch.unsupported = true; break;
    case ChRule::kL: ch.method = inMixed ? 5 : 4; break;
    case ChRule::kM: ch.method = inMixed ? 7 : 6; break;
    case ChRule::kP: ch.method = inMixed ? 7 : (o->in_nls == o->out_nls && sameMinor ? 11 : 6); break;
    case ChRule::kI: ruleI(true); break;
    case ChRule::kI0: ruleI(false); break;
    case ChRule::kO:
      ch.resetIn = o->in_nls == 12 && o->out_nls == 0;
      ch.method = outMixed ? 5 : 4;
      ch.substOut = outMixed;
      break;
    case ChRule::kB:
      if (outMixed) {
        ch.method = 5, ch.substOut = true;
      } else if (inMixed) {
        ruleI(true);
      } else {
        ch.method = 4;
      }
      break;
    case ChRule::kF: ch.method = outMixed ? 6 : (inMixed ? 5 : 4); break;
    case ChRule::kD: ch.method = direct ? 2 : 4; break;
    case ChRule::kS: ch.method = direct ? 25 : 4; break;
    case ChRule::kS4: ch.method = direct ? 26 : 4; break;
    case ChRule::kU: ch.method = sameMinor ? cell.n : 4; break;  // little-endian: the kind's own variant
    case ChRule::kY: ch.method = inMixed ? 28 : 27; break;
    case ChRule::kW13: ruleW(33, 8); break;
    case ChRule::kW16: ruleW(35, 4); break;
    case ChRule::kV: ch.method = o->in_minor == 0 ? ChUtf16(o, 33) : 8; break;
    case ChRule::kG: ch.method = o->in_minor == 0 ? ChUtf16(o, o->in_nls == 13 ? 33 : 35) : 8; break;
    case ChRule::kA49:
    case ChRule::kA48:
      if ((inFlags & RSCP_CP_7BIT) != 0 && o->rscpCtrlCodeCv == 1) {
        ch.method = cell.rule == ChRule::kA49 ? 49 : 48;
      } else {
        ruleI(true);
      }
      break;
    case ChRule::k5i:
    case ChRule::k7i:
      ch.resetOut = true;
      ch.method = cell.rule == ChRule::k5i ? 5 : 7;
      ch.substIn = inMixed;
      break;
    case ChRule::k5o: ch.method = 5, ch.substOut = outMixed; break;
    case ChRule::k6r: ch.resetOut = true, ch.method = 6; break;
    case ChRule::kZ: ch.method = 0; break;
    case ChRule::k6L:
    case ChRule::k6o7i: break;
  }
  return ch;
}

uint32_t rscpcIPromote2022(uint32_t method, bool* conflict) {
  *conflict = false;
  switch (method) {
    case 4: case 5: return RSCP_M_2022_TAB;
    case 6: return RSCP_M_MBCONV_2022TAB;
    case 7: case 8: case 9: case 10: case 11: case 27: case 28: *conflict = true; return method;
    default: return method;
  }
}

namespace {

std::atomic<int> gChFailLoads{0};

bool ChSameCp(const WEQ_UC* a, const WEQ_UC* b) { return memcmp(a, b, sizeof(rscpCp_t)) == 0; }

bool ChStateUsable(int32_t state) {
  return state == RSCP_STATE_INIT || state == RSCP_STATE_WRONG_VERSION || state == RSCP_STATE_REINIT;
}

// Permission states of one call: 1 the mutex held, 2 the write permission
// too.
struct ChCall {
  rscpCObj_t* o;
  int mask;
  int perm = 1;
  uint32_t inFlags = 0;
  uint32_t outFlags = 0;
  rscpCpEntry_t* inEntry = nullptr;  // the sides' directory entries, once looked up
  rscpCpEntry_t* outEntry = nullptr;
  // The F1 table that the filter gave, when the pair takes the F1 route.
  const uint8_t* f1Table = nullptr;
  const WEQ_UC* f1Name = nullptr;
  // The input side as the object knew it before this call (looked up, its
  // kind, minor and group bits): a choice made again for the same input
  // page keeps the input shift state, so that a stream converted in pieces
  // keeps its designation across a rebuild.
  bool inKnown = false;
  uint32_t inNls = 0, inMinor = 0, inGroups = 0;
};

rscpRc_t ChWritePermission(ChCall& call) {
  if (call.perm == 2) return 0;
  if (call.perm == 1) {
    if (rscpRc_t rc = rscpHooks.getWritePermission(__LINE__)) return rc;
    rscpFlushThrCounters();
  } else if (rscpRc_t rc = rscpGetSemaAndWritePermission(__LINE__)) {
    return rc;
  }
  call.perm = 2;
  return 0;
}

// Looks one side up and fills its fields; loads the variant on first use.
rscpRc_t ChLookupSide(ChCall& call, bool input, const WEQ_UC* cp) {
  rscpCObj_t* o = call.o;
  rscpCpEntry_t* e = const_cast<rscpCpEntry_t*>(rscpcIFindEntry(rscpGetCache(), cp));
  if (e == nullptr) {
    WEQ_UC text[64];
    if (input) {
      snprintfTruncU16(text, std::size(text), u"in character code \"%*.*s\" unknown", 4, 4, cp);
    } else {
      snprintfTruncU16(text, std::size(text), u"out character code \"%*.*s\" unknown", 4, 4, cp);
    }
    return ChReport(RSCPENOCONV, input ? 11 : 12, __LINE__, text, u"F43", text, nullptr, call.mask);
  }
  const int slot = 2 * (o->rscpWEQOwnChCv == 1) + (o->rscpCtrlCodeCv == 1);
  const auto loaded = [&] { return input ? uint32_t{rscpIInRoot(e, slot)} : rscpIOutT2(e, slot); };
  if (loaded() == 0) {
    if (rscpRc_t rc = ChWritePermission(call)) return rc;
    if (gChFailLoads.load(std::memory_order_relaxed) > 0 && gChFailLoads.fetch_sub(1) > 0) {
      rscpGetCache()->was_overflow = 1;
      return RSCPETOOLONG;
    }
    static constexpr int kInKinds[4] = {5, 6, 9, 10};
    static constexpr int kOutKinds[4] = {21, 22, 25, 26};
    if (rscpRc_t rc = rscplcp__load_codepage(input ? kInKinds[slot] : kOutKinds[slot], e)) return rc;
    if (loaded() == 0) {
      return ChReport(RSCPEINTERN, 13, __LINE__, u"code page variant not loaded", u"F6S", cp, nullptr, call.mask);
    }
  }
  const uint32_t groups = e->flags & RSCP_CP_GROUPS;
  const uint32_t spaceLen = e->blankLen > 4 ? 4 : e->blankLen;
  if (input) {
    call.inFlags = e->flags;
    call.inEntry = e;
    o->in_t1 = loaded();
    o->in_maxln = static_cast<uint8_t>(e->in[slot].maxLen & 0xFF);
    o->in_looked_up = 1;
    o->in_nls = e->major;
    o->in_minor = e->minor;
    if (o->in_cp_substituted == 0) o->in_mixed = e->mixed;
    uint32_t loop = e->major;
    if (loop == 39) {
      switch (o->lang_key) {
        case u'J': loop = 3; break;
        case u'M': loop = 34; break;
        case u'1': loop = 35; break;
        case u'3': loop = 36; break;
        default: break;
      }
    }
    o->in_nls_loop = loop;
    memset(o->in_space, 0, sizeof(o->in_space));
    memcpy(o->in_space, e->blank, spaceLen);
    o->in_space_len = spaceLen;
    const bool same = call.inKnown && call.inGroups == groups && call.inNls == e->major && call.inMinor == e->minor;
    o->shift_state = (o->shift_state & (same ? ~0x3FFu : ~0x3FFFu)) | groups;
  } else {
    call.outFlags = e->flags;
    call.outEntry = e;
    o->out_t1 = loaded();
    o->out_maxln = static_cast<uint8_t>(e->out[slot].maxLen & 0xFF);
    o->out_looked_up = 1;
    o->out_nls = ChSameCp(cp, u"4000") ? 19 : e->major;
    o->out_minor = e->minor;
    if (o->out_cp_substituted == 0) o->out_mixed = e->mixed;
    memset(o->out_space, 0, sizeof(o->out_space));
    memcpy(o->out_space, e->blank, spaceLen);
    o->out_space_len = spaceLen;
    o->shift_state = (o->shift_state & ~(0x3FFFu << 14)) | (groups << 14);
  }
  o->method = 0;
  return 0;
}

void ChResetFields(rscpCObj_t* o, uint8_t reset, uint8_t inSide, uint8_t outSide) {
  if (reset == 1 || inSide) {
    o->in_looked_up = 0;
    o->in_t1 = 0;
    o->in_maxln = 0;
    o->in_nls = 0;
    o->in_minor = 0;
    o->in_mixed = 0;
    o->in_nls_loop = 0;
    o->in_space_len = 0;
    o->in_cp_substituted = 0;
  }
  if (reset == 1 || outSide) {
    o->out_looked_up = 0;
    o->out_t1 = 0;
    o->out_maxln = 0;
    o->out_nls = 0;
    o->out_minor = 0;
    o->out_mixed = 0;
    o->out_space_len = 0;
    o->out_cp_substituted = 0;
    memcpy(o->out_cp_subst, u"0000", sizeof(rscpCp_t));
  }
  if (reset == 1) {
    o->h_last_NLS_to_4000 = 0;
    if (o->lang_key_set == 0) o->lang_key = 0, o->lang_cp_used = 0;
    if (o->lang_cp_set == 0) memcpy(o->lang_cp, u"0000", sizeof(rscpCp_t));
  }
}

// The quick pairs of rscp/shortcut_many_converters: 1 when one answered.
// Only the code pages whose bytes these methods copy or widen one to one
// belong to the classes: UTF-8 and the four-byte forms do not.
int ChQuickPair(rscpCObj_t* o) {
  const WEQ_UC* v = rscpHooks.param(u"rscp/shortcut_many_converters");
  if (v == nullptr) return 0;
  long n = 0;
  for (; *v >= u'0' && *v <= u'9'; ++v) n = n * 10 + (*v - u'0');
  if (n == 0) return 0;
  const auto cls = [](const WEQ_UC* cp) {
    if (cp[0] == u'1') return 'A';
    if (ChSameCp(cp, u"4100") || ChSameCp(cp, u"4102")) return 'B';
    if (ChSameCp(cp, u"4101") || ChSameCp(cp, u"4103")) return 'L';
    return '?';
  };
  const char a = cls(o->from_cp), b = cls(o->to_cp);
  if (a == '?' || b == '?') return 0;
  struct Quick {
    char from, to;
    uint32_t method;
    const char* name;
  };
  static constexpr Quick kQuick[] = {
      {'A', 'A', 2, "direct"},       {'B', 'B', 2, "direct"},       {'L', 'L', 2, "direct"},
      {'B', 'L', 25, "U2_swap"},     {'L', 'B', 25, "U2_swap"},     {'A', 'B', 29, "BRUTE_A_U2B"},
      {'A', 'L', 30, "BRUTE_A_U2L"}, {'B', 'A', 31, "BRUTE_U2B_A"}, {'L', 'A', 32, "BRUTE_U2L_A"}};
  for (const Quick& q : kQuick) {
    if (q.from != a || q.to != b) continue;
    char from[5], to[5];
    for (int i = 0; i < 4; ++i) from[i] = static_cast<char>(o->from_cp[i]), to[i] = static_cast<char>(o->to_cp[i]);
    from[4] = to[4] = 0;
    fprintf(stderr, "rscpc: %4.4s->%4.4s: WEQCCM_%s\n", from, to, q.name);
    o->method = q.method;
    return 1;
  }
  return 0;
}

// Invalidates the cache for the reason of n units.
void ChInvalidateFor(ChCall& call, const WEQ_UC* reason, int n) {
  ChWritePermission(call);
  rscpict3_invalidate_convert_tables(nullptr, nullptr, reason, n, call.mask);
}

// Invalidates for an overflow; the reason names the code page (and its
// substitute).
void ChInvalidate(ChCall& call, bool input, const WEQ_UC* cp, const WEQ_UC* subst) {
  WEQ_UC reason[80];
  int n;
  if (subst != nullptr) {
    n = input ? snprintfTruncU16(reason, std::size(reason), u"Overflow. Loading %4.4s(%4.4s) for input.", cp, subst)
              : snprintfTruncU16(reason, std::size(reason), u"Overflow. Loading %4.4s(%4.4s) for output.", cp, subst);
  } else {
    n = input ? snprintfTruncU16(reason, std::size(reason), u"Overflow. Loading %4.4s for input.", cp)
              : snprintfTruncU16(reason, std::size(reason), u"Overflow. Loading %4.4s for output.", cp);
  }
  ChInvalidateFor(call, reason, n);
}

// The F1 route of the locked section: the pair's table from the cache's F1
// list, else copied into the cache07 area and entered there. *again when
// the cache was invalidated (list full, or no room) and the pass must run
// once more.
rscpRc_t ChF1Table(ChCall& call, bool& overflow, bool& again) {
  rscpCObj_t* o = call.o;
  const uint64_t hash = rscpcIF1Hash(call.f1Name);
  rscpCCC_t* c = rscpGetCache();
  const uint32_t n = std::min<uint32_t>(c->loaded_f1_count, RSCP_F1_LOADED);
  for (uint32_t i = 0; i < n; ++i) {
    if (c->f1[i].hash == hash) {
      o->method = RSCP_M_1B_TO_1B;
      o->shortcut_t1 = c->f1[i].offset;
      return 0;
    }
  }
  if (rscpRc_t rc = ChWritePermission(call)) return rc;
  WEQ_UC reason[80];
  if (c->loaded_f1_count >= RSCP_F1_LOADED) {
    ChInvalidateFor(call, reason, snprintfTruncU16(reason, std::size(reason), u"Too many F1 tabs. Loading %s.", call.f1Name));
    overflow = again = true;
    return 0;
  }
  uint32_t offset = 0;
  const rscpRc_t rc = rscpAllocCache07(call.f1Table, 256, &offset, nullptr);
  if (rc == 0) {
    c->f1[c->loaded_f1_count] = {hash, offset, 0};
    c->loaded_f1_count += 1;
    o->method = RSCP_M_1B_TO_1B;
    o->shortcut_t1 = offset;
    return 0;
  }
  if (rc != RSCPETOOLONG || overflow) return rc;
  ChInvalidateFor(call, reason, snprintfTruncU16(reason, std::size(reason), u"Overflow. Loading F1 tab %s.", call.f1Name));
  overflow = again = true;
  return 0;
}

// Whether the chosen pair takes a single-byte shortcut block: method tab
// with the bindings' options, no mixed code, no F1, and each side a page
// marked for shortcuts (or 7-bit ASCII).
bool ChShortcutWanted(const ChCall& call) {
  const rscpCObj_t* o = call.o;
  const auto marked = [](uint32_t flags, const WEQ_UC* cp) {
    return (flags & (RSCP_CP_COL18 | RSCP_CP_0800 | RSCP_CP_7BIT)) != 0 || ChSameCp(cp, u"1101");
  };
  return call.inEntry != nullptr && call.outEntry != nullptr && o->in_mixed == 0 && o->out_mixed == 0 &&
         o->useF1 <= 1 && o->method == 4 && o->rscpCtrlCodeCv == 1 && o->rscpWEQOwnChCv == 0 &&
         marked(call.inFlags, o->from_cp) && marked(call.outFlags, o->to_cp);
}

// Step 8 of the choice: what the F1 filter makes of the pair when useF1 is
// 2 to 5.
enum class ChF1 { kNormal, kDirect, kTable, kRefused };
ChF1 ChF1Route(ChCall& call, rscpRc_t* rc) {
  rscpCObj_t* o = call.o;
  const int enforce = o->useF1 <= 3 ? 1 : 0;
  const int code = ChSameCp(o->from_cp, u"4110") ? 2
                   : ChSameCp(o->to_cp, u"4110") ? 8
                                                 : rscpF1Filter(&o->from_cp, &o->to_cp, &call.f1Table, &call.f1Name, enforce);
  switch (code) {
    case 0: case 16: case 32: case 64:
      o->method = RSCP_M_DIRECT;
      return ChF1::kDirect;
    case 17: case 49: case 81:
      return ChF1::kTable;
    default:
      break;
  }
  if (o->useF1 != 2) return ChF1::kNormal;
  WEQ_UC param[48];
  snprintfTruncU16(param, std::size(param), u"%*.*s&%*.*s&%s&%s&", 4, 4, o->from_cp, 4, 4, o->to_cp, u"F1", u"F1");
  *rc = ChReport(RSCPEINVAL, 25, __LINE__, u"F1 cannot handle pair", u"CPR", param, nullptr, call.mask);
  return ChF1::kRefused;
}

// Rebuilds an invalidated cache under the held lock and takes the new
// generation's version.
rscpRc_t ChReorg(ChCall& call) {
  const rscpRc_t rc = rscpnr__need_reorg(call.perm, call.mask);
  rscpMovePin();
  if (rscpCCC_t* c = rscpGetCache()) call.o->cache_version = rscpCacheVersion(c);
  return rc;
}

// The NLS names of both sides, copied (the name buffer of an unknown kind
// is reused by the next call).
struct ChNames {
  WEQ_UC in[32];
  WEQ_UC out[32];
  explicit ChNames(const rscpCObj_t* o) {
    snprintfTruncU16(in, std::size(in), u"%s", rscpNameOfNLS(o->in_nls));
    snprintfTruncU16(out, std::size(out), u"%s", rscpNameOfNLS(o->out_nls));
  }
};

rscpRc_t ChUnsupported(ChCall& call) {
  const rscpCObj_t* o = call.o;
  const ChNames n(o);
  WEQ_UC text[128], param[96];
  snprintfTruncU16(text, std::size(text), u"code page '%*.*s'->'%*.*s' unsupported pair %s->%s", 4, 4, o->from_cp,
                   4, 4, o->to_cp, n.in, n.out);
  snprintfTruncU16(param, std::size(param), u"%*.*s&%*.*s&%s&%s&", 4, 4, o->from_cp, 4, 4, o->to_cp, n.in, n.out);
  return ChReport(RSCPENOCONV, 21, __LINE__, text, u"CPR", param, nullptr, call.mask);
}

rscpRc_t Ch2022Conflict(ChCall& call) {
  const rscpCObj_t* o = call.o;
  const ChNames n(o);
  WEQ_UC text[160];
  snprintfTruncU16(text, std::size(text), u"'%*.*s'->'%*.*s': %s->%s cannot combine %s with ISO-2022", 4, 4,
                   o->from_cp, 4, 4, o->to_cp, n.in, n.out, rscpNameOfMethod(o->method));
  return ChReport(RSCPENOCONV, 22, __LINE__, text, u"CPR", text, nullptr, call.mask);
}

// Applies a side's unified code page substitution: true when the side now
// uses another code page and the lookup must run again.
bool ChSubstitute(rscpCObj_t* o, bool input) {
  const WEQ_UC key = static_cast<WEQ_UC>(o->lang_key);
  rscpCp_t to;
  if (input) {
    rscpUnifiedInCp(&o->from_cp, &key, &o->lang_cp_used, &o->lang_cp, &to);
    if (ChSameCp(to, o->from_cp) || ChSameCp(to, o->in_cp_subst)) return false;
    o->in_cp_substituted = 1;
    memcpy(o->in_cp_subst, to, sizeof(rscpCp_t));
  } else {
    rscpUnifiedOutCp(&o->to_cp, &key, &o->lang_cp_used, &o->lang_cp, &to);
    if (ChSameCp(to, o->to_cp) || ChSameCp(to, o->out_cp_subst)) return false;
    o->out_cp_substituted = 1;
    memcpy(o->out_cp_subst, to, sizeof(rscpCp_t));
  }
  return true;
}

// A bound on the passes of one call: two overflow retries and one
// substitution per side leave it far below.
constexpr int kChMaxPasses = 8;

// The passes of the locked section; returns the code of the work.
rscpRc_t ChPasses(ChCall& call, uint8_t inSide, uint8_t outSide) {
  rscpCObj_t* o = call.o;
  bool overflowIn = false, overflowOut = false;
  uint32_t remembered = 0;
  for (int pass = 0; pass < kChMaxPasses; ++pass) {
    if ((o->in_cp_substituted != 0 || o->out_cp_substituted != 0) && remembered == 0) remembered = o->method;
    if (rscpGetCache()->reorg_done == 0) {
      if (rscpRc_t rc = ChReorg(call)) return rc;
    }
    if (call.f1Table != nullptr) {
      bool again = false;
      const rscpRc_t rc = ChF1Table(call, overflowIn, again);
      if (again) continue;
      return rc;
    }
    if (inSide || (overflowIn && o->in_t1 != 0)) {
      const bool subst = o->in_cp_substituted != 0;
      if (rscpRc_t rc = ChLookupSide(call, true, subst ? o->in_cp_subst : o->from_cp)) {
        if (rc != RSCPETOOLONG) return rc;
        // The first overflow reorganises and retries; a second one
        // invalidates as well, so that the next call starts on a clean cache.
        ChInvalidate(call, true, o->from_cp, subst ? o->in_cp_subst : nullptr);
        if (overflowIn) return rc;
        overflowIn = true;
        continue;
      }
    }
    if (outSide || (overflowOut && o->out_t1 != 0)) {
      if (o->ccci_use_1_subst != 0 && rscpHooks.traceActive() != 0) {
        rscpHooks.trace(u"rscpCObj_t-->ccci_use_1_subst ignored.", -1);
      }
      const bool subst = o->out_cp_substituted != 0;
      if (rscpRc_t rc = ChLookupSide(call, false, subst ? o->out_cp_subst : o->to_cp)) {
        if (rc != RSCPETOOLONG) return rc;
        ChInvalidate(call, false, o->to_cp, subst ? o->out_cp_subst : nullptr);
        if (overflowOut) return rc;
        overflowOut = true;
        continue;
      }
    }
    rscpRc_t result = 0;
    if (inSide && outSide) {
      if (o->use_1_copy != 0 && (o->use_subst != 0 || o->ccci_use_1_subst != 0)) {
        ChReport(RSCPENOCONV, 23, __LINE__, u"Either subst or 1_copy", u"F1B", nullptr, nullptr, call.mask);
        o->use_subst = 0;
        o->ccci_use_1_subst = 0;
      }
      if (o->use_subst != 0 && o->subst_char16 == 0) o->subst_char16 = 35;
      const rscpcChoice_t ch = rscpcIChooseMethod(o, call.inFlags);
      if (ch.resetOut) {
        o->out_cp_substituted = 0;
        memcpy(o->out_cp_subst, o->to_cp, sizeof(rscpCp_t));
        o->in_nls_loop = o->in_nls;
      }
      if (ch.resetIn) {
        o->in_cp_substituted = 0;
        memcpy(o->in_cp_subst, o->from_cp, sizeof(rscpCp_t));
        o->in_nls_loop = o->in_nls;
      }
      if (ch.unsupported) {
        o->method = 0;
        result = ChUnsupported(call);
      } else {
        o->method = ch.method;
        if ((o->shift_state & RSCP_CP_GROUPS) != 0) {
          bool conflict = false;
          o->method = rscpcIPromote2022(o->method, &conflict);
          if (conflict) result = Ch2022Conflict(call);
        }
      }
      if (o->in_nls == 19 || (o->in_nls == 0 && rscpGetCache()->mbc_in_sbcs != 0)) {
        char name[40];
        int k = 0;
        for (const WEQ_UC* p = rscpNameOfNLS(o->in_nls); *p != 0 && k < 39; ++p) name[k++] = static_cast<char>(*p);
        name[k] = 0;
        fprintf(stderr, "rscpc(%d): No h_last_NLS_to_4000. I have to guess %s\n", __LINE__, name);
      }
      o->h_last_NLS_to_4000 = o->in_nls;
      if ((ch.substIn && ChSubstitute(o, true)) || (ch.substOut && ChSubstitute(o, false))) {
        if (remembered == 0) remembered = o->method;
        continue;
      }
    }
    if (remembered != 0) o->method = remembered;
    if (inSide && outSide && ChShortcutWanted(call)) {
      uint16_t block = 0;
      if (!rscpcIFindShortcut(call.inEntry, o->to_cp, &block)) {
        if (rscpRc_t rc = ChWritePermission(call)) return rc;
        const int slot = 1;  // control codes, no own characters
        if (rscpRc_t rc = rscpcIBuildShortcut(call.inEntry, call.outEntry, slot, &block)) {
          if (rc != RSCPETOOLONG || overflowIn) return rc;
          WEQ_UC reason[80];
          ChInvalidateFor(call, reason,
                          snprintfTruncU16(reason, std::size(reason), u"Overflow. Enter T1shortcut %*.*s->%*.*s.", 4,
                                           4, o->from_cp, 4, 4, o->to_cp));
          overflowIn = true;
          continue;
        }
      }
      o->in_t1 = block;
    }
    return result;
  }
  return ChReport(RSCPEINTERN, 24, __LINE__, u"too many lookup passes", u"F6S", o->from_cp, o->to_cp, call.mask);
}

}  // namespace

rscpRc_t lookup_convert_tables(rscpCObj_t* o, uint8_t reset, uint8_t inSide, uint8_t outSide, int mask) {
  if (o == nullptr) {
    return ChReport(RSCPEINVAL, 1, __LINE__, u"missing converter object address", u"F38", nullptr, nullptr, mask);
  }
  if (inSide == 0 && outSide == 0) {
    return ChReport(RSCPEINVAL, 2, __LINE__, u"use rscpcpe_code_page_exists", u"CP9", u"rscpcpe_code_page_exists",
                    u"lookup_convert_tables", mask);
  }
  ChCall call{o, mask};
  call.inKnown = o->in_looked_up != 0;
  call.inNls = o->in_nls, call.inMinor = o->in_minor, call.inGroups = o->shift_state & RSCP_CP_GROUPS;
  ChResetFields(o, reset, inSide, outSide);
  if (inSide && outSide && o->no_direct == 0 && ChSameCp(o->from_cp, o->to_cp)) {
    o->method = RSCP_M_DIRECT;
    return 0;
  }
  if (!ChStateUsable(rscpGetState())) {
    return ChReport(RSCPENOCONV, 3, __LINE__, u"CCC not proper initialized", u"F34", nullptr, nullptr, mask);
  }
  rscpCachePin pin;
  if (rscpCCC_t* c = pin.readable(); c == nullptr || rscpReorgDone(c) == 0) {
    const rscpRc_t rc = rscpnr__need_reorg(0, mask);
    rscpMovePin();
    if (rc != 0) return rc;
    if (rscpGetState() != RSCP_STATE_INIT) {
      return ChReport(RSCPENOCONV, 4, __LINE__, u"CCC not proper initialized", u"F34", nullptr, nullptr, mask);
    }
  }
  if (o->lang_key_set == 0) {
    WEQ_UC key = u' ';
    rscpHooks.getKeyChar(&key);
    o->lang_key = key;
  }
  if (inSide && outSide && ChQuickPair(o)) return 0;
  if (inSide && outSide && o->useF1 >= 2 && o->useF1 <= 5) {
    rscpRc_t refused = 0;
    switch (ChF1Route(call, &refused)) {
      case ChF1::kDirect: return 0;
      case ChF1::kRefused: return refused;
      case ChF1::kTable: break;
      case ChF1::kNormal: call.f1Table = nullptr; break;
    }
  }

  if (rscpRc_t rc = rscpHooks.lock(__LINE__)) return rc;
  // Under the mutex no rebuild runs: the published generation is the one
  // this call loads into and chooses from.
  rscpMovePin();
  rscpRegisterCacheUser(1, 1, nullptr);
  rscpGetThrCtx()->createObject += 1;
  rscpCCC_t* c = rscpGetCache();
  o->cache_version = rscpCacheVersion(c);
  rscpcISetMbcCopy(c->mbc_copy);
  rscpRc_t rc = 0;
  if (c->was_overflow != 0) {
    // An overflow that nobody resolved: reorganise now rather than fail
    // every later choice.
    ChWritePermission(call);
    rscpict3_invalidate_convert_tables(nullptr, nullptr, u"'was_overflow' still not solved", -1, mask);
    rc = ChReorg(call);
    if (rc == 0 && rscpGetCache()->was_overflow != 0) {
      rc = ChReport(RSCPEINTERN, 5, __LINE__, u"'was_overflow' still not solved", u"CQ4", u"was_overflow&TRUE&&&&",
                    nullptr, mask);
    }
  }
  if (rc == 0) rc = ChPasses(call, inSide, outSide);
  const rscpRc_t released =
      call.perm == 2 ? rscpReleaseWritePermissionAndSema(__LINE__) : rscpHooks.unlock(__LINE__);
  if (released != 0) return released;
  if (rc == RSCPEROLLBACK) {
    return ChReport(RSCPEROLLBACK, 6, __LINE__, u"Tryed to ignore a rollback", u"F26", nullptr, nullptr, mask);
  }
  return rc;
}

void rscpcTestFailLoads(int n) { gChFailLoads.store(n, std::memory_order_relaxed); }
void rscpcIReset(void) {
  gChFailLoads.store(0, std::memory_order_relaxed);
  rscpcF1IReset();
  rscpcISetMbcCopy(2);
  rscpcISetMessageLine(nullptr);
}
