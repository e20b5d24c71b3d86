// Multi-level tables of the converter cache: allocation of T1 blocks, T2s
// and T3s, copies, navigation with copy on write, the operations that enter
// codes and rules, the marks of one load and its rollback point.
//
// All of it runs under the cache's write permission; the mark array and the
// rollback point are process-wide and belong to the one load in progress.
// Words are 32-bit (T1, T3) and 16-bit (T2) values at aligned offsets of the
// block that malloc (or the allocation hook) returned: T1 blocks start at
// multiples of 1032, T3s at multiples of 516, T2s at multiples of 8.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "i18n/wequ16/u16fmt.h"
#include "krn/rscp/rscp_int.h"
#include "krn/rscp/rscpcc_int.h"

namespace {

constexpr const WEQ_UC* kMlModule = u" $Id: krn/rscp/rscpml.cpp $";

// The marks of the load in progress: one byte per T1 block or T3 number.
struct Marks {
  uint8_t* bytes = nullptr;
  uint32_t n = 0;
};
Marks gMarks;

struct RollbackPoint {
  bool set = false;
  uint32_t end_t1, first_t2, first_t7;
  uint16_t noof_t1, noof_t2, noof_t3;
};
RollbackPoint gPoint;

rscpCCC_t* Cache() { return rscpGetCache(); }
unsigned char* Base() { return reinterpret_cast<unsigned char*>(rscpGetCache()); }
uint32_t* T1(uint32_t block) { return reinterpret_cast<uint32_t*>(Base() + size_t{block} * RSCP_T1_BYTES); }
uint32_t* T3(uint32_t n) { return reinterpret_cast<uint32_t*>(Base() + size_t{n} * RSCP_T3_BYTES); }
uint16_t* T2Entry(uint32_t t2, uint32_t value) {
  return reinterpret_cast<uint16_t*>(Base() + t2) + ((value >> 7) & 0x1FFFF);
}
uint16_t HolderBlock(const uint32_t* word) {
  return static_cast<uint16_t>((reinterpret_cast<const unsigned char*>(word) - Base()) / RSCP_T1_BYTES);
}

uint32_t Type(uint32_t w) { return w & RSCP_T1_TYPE; }
int LenOf(uint32_t w) { return static_cast<int>((w & RSCP_T1_LEN) >> 24); }

rscpRc_t MlReport(int rc, int location, int line, const WEQ_UC* text, const WEQ_UC* code, const WEQ_UC* param1,
                const WEQ_UC* param2 = nullptr) {
  return rscpIReport(kMlModule, rc, location, line, text, code, param1, param2);
}

rscpRc_t CacheTooSmall(int rc, int location, int line) {
  WEQ_UC param[40];
  snprintfU16(param, std::size(param), u"cachesize&%ld&?&", static_cast<long>(Cache()->length));
  return MlReport(rc, location, line, u"WEQPARAM(rsts/ccc/cachesize) too small",
                rc == RSCPEINTERN ? u"F24" : u"F1A", param);
}

rscpRc_t Cache07TooSmall(int location, int line) {
  WEQ_UC param[40];
  snprintfU16(param, std::size(param), u"cache07&%ld&?&",
              static_cast<long>(Cache()->end_t7) - static_cast<long>(Cache()->end_t2));
  return MlReport(RSCPETOOLONG, location, line, u"WEQPARAM(rsts/ccc/cache07) small", u"F1A", param);
}

rscpRc_t BadLength(const WEQ_UC* name, int length, const WEQ_UC* text, int location, int line) {
  WEQ_UC param[64];
  snprintfTruncU16(param, std::size(param), u"%s&%d&%s&", name != nullptr ? name : u"?", length,
                   u"CPCODELEN");
  return MlReport(RSCPEINTERN, location, line, text, u"F22", param);
}

void Problem(uint16_t holder) { fprintf(stderr, "*** Problem: rscpn1__next_t1 modifies T1 %d\n", holder); }

// A word may change in place unless the load copies on write and the block
// that holds it is shared with the variant it was copied from.
bool Writable(uint16_t block, int mode) { return mode != 1 || rscpIIsMarked(block); }

// A zeroed T1 block above end_t1, marked for the load; 0 after a rollback.
uint16_t NewT1() {
  uint16_t n = rscpnt1__new_t1();
  if (n != 0) rscpsm__set_mark(n);
  return n;
}

// Takes frag_t3, else free_t3, else splits a new block at end_t1; 0 when
// no block is left (was_overflow set, no report).
uint16_t NewT3() {
  rscpCCC_t* c = Cache();
  uint32_t n;
  if (c->frag_t3 != 0) {
    n = c->frag_t3;
    c->frag_t3 = 0;
  } else if (c->free_t3 != 0) {
    n = c->free_t3;
    c->free_t3 = 0;
  } else {
    if (int64_t{c->end_t1} + RSCP_T1_BYTES > int64_t{c->first_t2}) {
      c->was_overflow = 1;
      return 0;
    }
    n = 2 * (c->end_t1 / RSCP_T1_BYTES);
    c->end_t1 += RSCP_T1_BYTES;
    c->frag_t3 = n + 1;
    memset(T3(n + 1), 0, RSCP_T3_BYTES);
  }
  ++c->noof_t3;
  memset(T3(n), 0, RSCP_T3_BYTES);
  rscpsm__set_mark(n);
  return static_cast<uint16_t>(n);
}

uint32_t T2Bytes() {
  const uint64_t blocks = (uint64_t{Cache()->max_enhanced_uchar} >> 7) + 1;
  return static_cast<uint32_t>(std::min<uint64_t>((blocks * 4 + 7) / 8 * 8, UINT32_MAX));
}

// Output values must lie inside the T2.
rscpRc_t CheckOutValue(const WEQ_UC* name, uint32_t value, int line) {
  if (value <= Cache()->max_enhanced_uchar && value <= RSCP_T1_VALUE) return 0;
  WEQ_UC param[64];
  snprintfTruncU16(param, std::size(param), u"%s&U+%06lx&%ld&", name != nullptr ? name : u"?",
                   static_cast<long>(value), static_cast<long>(Cache()->max_enhanced_uchar));
  return MlReport(RSCPEINTERN, 24, line, u"value above max_enhanced_uchar", u"CQ4", param);
}

// Where codes of a group start: the root itself (group -1), or the T1 that
// root word [group] names, the root turned into a group table first.
uint16_t StartBlock(uint16_t root, int group, int mode) {
  uint32_t* r = T1(root);
  const bool isGroupTable = r[RSCP_T1_FALLBACK] == RSCP_T1_GROUP_MARK;
  if (group < 0 && !isGroupTable) return root;
  if (group < 0) group = 0;
  if (!isGroupTable) {
    if (!Writable(root, mode)) {
      Problem(root);
      return 0;
    }
    uint16_t g0 = rscppd1__push_down_t1(root);
    if (g0 == 0) return 0;
    rscpsm__set_mark(g0);
    r[RSCP_T1_FALLBACK] = RSCP_T1_GROUP_MARK;
  }
  return rscpn1__next_t1(&r[group], mode, 1);
}

[[noreturn]] void T1Loop(int line) {
  fprintf(stderr, "rscpml(%d): fillCharInAllEmptySlots falls into a T1-loop. Abort.\n\n'", line);
  fflush(stderr);
  abort();
}

int Fill(uint32_t* word, uint32_t value, int length, int mode, int depth) {
  const uint32_t w = *word;
  if (w == RSCP_T1_EMPTY || (Type(w) == RSCP_T1_CHAR && LenOf(w) != 0 && LenOf(w) < length)) {
    *word = value;
    return 1;
  }
  if (Type(w) != RSCP_T1_NEXT) return 0;
  const uint16_t holder = HolderBlock(word);
  const uint16_t below = rscpn1__next_t1(word, mode, length);
  if (below == 0) return -1;  // no copy could be made: the tables are rolled back
  // Codes are at most 126 bytes long: a deeper walk has met a cycle.
  if (below == holder || depth > 126) T1Loop(__LINE__);
  int count = 0;
  uint32_t* b = T1(below);
  for (int i = 0; i <= RSCP_T1_END_OF_INPUT; ++i) {
    const int n = Fill(&b[i], value, length, mode, depth + 1);
    if (n < 0) return n;
    count += n;
  }
  return count;
}

bool SameCode(uint32_t w, const uint8_t* bytes, int length) {
  if ((w & RSCP_T3_RULE) != 0 || static_cast<int>(w >> 24) != length) return false;
  if (length <= 3) {
    for (int i = 0; i < length; ++i) {
      if (((w >> (16 - 8 * i)) & 0xFF) != bytes[i]) return false;
    }
    return true;
  }
  return memcmp(Base() + (w & RSCP_T1_VALUE), bytes, static_cast<size_t>(length)) == 0;
}

// The word of value's T3 (made or copied as the mode asks), or NULL.
uint32_t* OutWord(uint32_t t2, uint32_t value, int mode) {
  uint16_t n = rscpn3__next_t3(T2Entry(t2, value), mode);
  return n == 0 ? nullptr : &T3(n)[value & 127];
}

rscpRc_t NoT3(uint32_t value, int location, int line) {
  WEQ_UC param[16];
  snprintfU16(param, std::size(param), u"U+%06lx", static_cast<long>(value));
  return MlReport(RSCPETOOLONG, location, line, u"enter output char, but no T3", u"F5K", param);
}

bool Overwrites(int overwrite) { return overwrite == 1 || overwrite == 3; }

}  // namespace

// --- Directory and allocation ------------------------------------------------------

rscpRc_t rscpcd__check_directory(void) {
  rscpCCC_t* c = Cache();
  const uint64_t end = sizeof(rscpCCC_t) + (uint64_t{c->noof_char_codes} + 1) * sizeof(rscpCpEntry_t);
  if (c->noof_char_codes < UINT16_MAX && end <= c->first_t2) return 0;
  return CacheTooSmall(RSCPEINTERN, 21, __LINE__);
}

rscpRc_t rscpa1__alloc_t1(uint32_t** address, uint16_t* block) {
  rscpCCC_t* c = Cache();
  if (address != nullptr) *address = nullptr;
  if (block != nullptr) *block = 0;
  if (int64_t{c->end_t1} + RSCP_T1_BYTES > int64_t{c->first_t2}) {
    c->was_overflow = 1;
    return CacheTooSmall(RSCPETOOLONG, 93, __LINE__);
  }
  const uint32_t n = c->end_t1 / RSCP_T1_BYTES;
  c->end_t1 += RSCP_T1_BYTES;
  ++c->noof_t1;
  memset(T1(n), 0, RSCP_T1_BYTES);
  if (address != nullptr) *address = T1(n);
  if (block != nullptr) *block = static_cast<uint16_t>(n);
  return 0;
}

rscpRc_t rscpa2__alloc_t2(uint16_t** address, uint32_t* offset) {
  rscpCCC_t* c = Cache();
  if (address != nullptr) *address = nullptr;
  if (offset != nullptr) *offset = 0;
  const uint32_t size = T2Bytes();
  if (int64_t{c->first_t2} - int64_t{c->end_t1} <= int64_t{size}) {
    c->was_overflow = 1;
    return CacheTooSmall(RSCPETOOLONG, 94, __LINE__);
  }
  c->first_t2 -= size;
  ++c->noof_t2;
  memset(Base() + c->first_t2, 0, size);
  if (address != nullptr) *address = reinterpret_cast<uint16_t*>(Base() + c->first_t2);
  if (offset != nullptr) *offset = c->first_t2;
  return 0;
}

namespace {
// An allocator's table, or 0 after rolling back to the last rollback point.
template <class Address, class Id>
Id NewOrRollback(rscpRc_t (*alloc)(Address**, Id*), const WEQ_UC* reason) {
  Id id;
  if (alloc(nullptr, &id) == 0) return id;
  rscprb__rollback_tables(nullptr, reason);
  return 0;
}
}  // namespace

uint16_t rscpnt1__new_t1(void) { return NewOrRollback(rscpa1__alloc_t1, u"rscpnt1__new_t1"); }
uint32_t rscpnt2__new_t2(void) { return NewOrRollback(rscpa2__alloc_t2, u"rscpnt2__new_t2"); }

// --- Copies ------------------------------------------------------------------------

uint16_t rscpct1__copy_t1(uint16_t block) {
  uint16_t n = rscpnt1__new_t1();
  if (n != 0) memcpy(T1(n), T1(block), RSCP_T1_BYTES);
  return n;
}

uint16_t rscpnf1__new_filled_t1(uint32_t* word, int length) {
  uint32_t v = *word;
  uint16_t n = NewT1();
  if (n == 0) return 0;
  if (LenOf(v) == 0) v |= (static_cast<uint32_t>(length) & 31) << 24;
  std::fill(T1(n), T1(n) + RSCP_T1_END_OF_INPUT + 1, v);
  *word = RSCP_T1_NEXT | n;
  return n;
}

uint16_t rscppd1__push_down_t1(uint16_t block) {
  uint16_t n = NewT1();
  if (n == 0) return 0;
  memcpy(T1(n), T1(block), RSCP_T1_BYTES);
  memset(T1(block), 0, RSCP_T1_BYTES);
  T1(block)[0] = RSCP_T1_NEXT | n;
  return n;
}

uint32_t rscpct2__copy_t2(uint32_t offset) {
  uint32_t n = rscpnt2__new_t2();
  if (n != 0) memcpy(Base() + n, Base() + offset, T2Bytes());
  return n;
}

uint16_t rscpct3__copy_t3(uint16_t t3) {
  uint16_t n = NewT3();
  if (n != 0) memcpy(T3(n), T3(t3), RSCP_T3_BYTES);
  return n;
}

// --- Navigation --------------------------------------------------------------------

uint16_t rscpn1__next_t1(uint32_t* word, int mode, int length) {
  const uint32_t w = *word;
  if (Type(w) == RSCP_T1_NEXT) {
    const uint16_t b = static_cast<uint16_t>(w & 0xFFFF);
    if (mode != 1 || rscpIIsMarked(b)) return b;
  } else if (mode != 0 && mode != 1) {
    return 0;
  } else if (w != RSCP_T1_EMPTY && Type(w) != RSCP_T1_CHAR && Type(w) != RSCP_T1_RULE) {
    return 0;  // the engine's direct output words have no level below
  }
  // A new block: a copy of a shared one, one filled with a character or
  // rule, or an empty one. It replaces the word unless the word lies in a
  // block that the load shares with the base variant.
  uint16_t n;
  if (Type(w) == RSCP_T1_NEXT) {
    n = rscpct1__copy_t1(static_cast<uint16_t>(w & 0xFFFF));
    if (n != 0) rscpsm__set_mark(n);
  } else if (w != RSCP_T1_EMPTY) {
    uint32_t filled = w;
    n = rscpnf1__new_filled_t1(&filled, length);
  } else {
    n = NewT1();
  }
  if (n == 0) return 0;
  const uint16_t holder = HolderBlock(word);
  if (Writable(holder, mode)) {
    *word = RSCP_T1_NEXT | n;
  } else {
    Problem(holder);
  }
  return n;
}

uint16_t rscpn3__next_t3(uint16_t* t2entry, int mode) {
  const uint16_t e = *t2entry;
  if (e >= RSCP_T2_T3) {
    const uint16_t n = e & 0x7FFF;
    if (mode != 1 || rscpIIsMarked(n)) return n;
    const uint16_t copy = rscpct3__copy_t3(n);
    if (copy != 0) *t2entry = static_cast<uint16_t>(RSCP_T2_T3 | copy);
    return copy;
  }
  if (e >= RSCP_T2_RULE) {
    fprintf(stderr, "rscpn3__next_t3 navigating onto T2-rule %d\n", e);
    return 0;
  }
  const uint16_t n = NewT3();
  if (n != 0) *t2entry = static_cast<uint16_t>(RSCP_T2_T3 | n);
  return n;
}

// --- Input codes and rules -----------------------------------------------------------

rscpRc_t rscpeic__enter_in_code(uint16_t root, const WEQ_UC* name, uint32_t value, int mode, int length,
                                const uint8_t* bytes, int overwrite, int group) {
  WEQ_UC param[64];
  if (group < -1 || group > 11) {
    snprintfTruncU16(param, std::size(param), u"%s&%s&%s&%d&&", name != nullptr ? name : u"?", u"ISO-2022",
                     u"group", group);
    return MlReport(RSCPEINTERN, 25, __LINE__, u"prefix ill.value [-1..11]", u"CQ4", param);
  }
  if (length < 1 || length > 126) {
    return BadLength(name, length, u"field CPCODELEN ill.value [1..126]", 26, __LINE__);
  }
  uint16_t block = StartBlock(root, group, mode);
  for (int d = 1; block != 0 && d < length; ++d) {
    uint32_t* word = &T1(block)[bytes[d - 1]];
    // A code that becomes a prefix is filled in with its length, which
    // bits 24-28 hold up to 31.
    if (d > 31 && Type(*word) == RSCP_T1_CHAR && LenOf(*word) == 0) {
      return BadLength(name, d, u"field CPCODELEN ill.value [1..31]", 27, __LINE__);
    }
    block = rscpn1__next_t1(word, mode, d);
  }
  if (block == 0) return CacheTooSmall(RSCPETOOLONG, 28, __LINE__);
  if (!Writable(block, mode)) {
    Problem(block);
    return 0;
  }
  uint32_t* word = &T1(block)[bytes[length - 1]];
  const uint32_t w = *word;
  const uint32_t ch = RSCP_T1_CHAR | (value & RSCP_T1_VALUE);
  switch (Type(w)) {
    case RSCP_T1_EMPTY:
      *word = ch;
      break;
    case RSCP_T1_CHAR:
      // A fallback filled in for a shorter prefix never stands in the way.
      if (overwrite == 1 || LenOf(w) != 0) *word = ch;
      break;
    case RSCP_T1_RULE:
      if (overwrite == 1 && LenOf(w) <= length) *word = ch;
      break;
    case RSCP_T1_NEXT: {
      if (length > 31) return BadLength(name, length, u"field CPCODELEN ill.value [1..31]", 27, __LINE__);
      const uint32_t fill = ch | static_cast<uint32_t>(length) << 24;
      if (fillCharInAllEmptySlots(word, fill, length, mode) < 0)
        return CacheTooSmall(RSCPETOOLONG, 28, __LINE__);
      fillCharInSlot(&T1(block)[RSCP_T1_FALLBACK], fill, length, mode);
      break;
    }
    default:
      break;
  }
  return 0;
}

rscpRc_t rscpeir__enter_in_rule(uint16_t root, const WEQ_UC* name, int mode, int rule, int attribute,
                                int length, const uint8_t* bytes, int overwrite, int whole, int group) {
  WEQ_UC param[64];
  // The rule word keeps the code length in 5 bits.
  if (length < 1 || length > 31) {
    snprintfU16(param, std::size(param), u"%d&", length);
    return MlReport(RSCPEINVAL, 29, __LINE__, u"rscpeir__enter_in_rule(..p_codelen..)", u"F1A", param);
  }
  if (attribute < 0 || attribute > 63) {
    fprintf(stderr, "rscpeir__enter_in_rule: attr  %d  is too large to fit.\n", attribute);
    snprintfU16(param, std::size(param), u"%d&&&&&", attribute);
    return MlReport(RSCPEINTERN, 30, __LINE__, u"rule attr does not fit into T1", u"CQ4", param);
  }
  if (group < -1 || group > 11) {
    snprintfTruncU16(param, std::size(param), u"%s&%s&%s&%d&&", name != nullptr ? name : u"?", u"ISO-2022",
                     u"group", group);
    return MlReport(RSCPEINTERN, 25, __LINE__, u"prefix ill.value [-1..11]", u"CQ4", param);
  }
  const uint32_t ruleWord = (static_cast<uint32_t>(length & 31) | 0x60) << 24 |
                            static_cast<uint32_t>(attribute & 63) << 13 |
                            static_cast<uint32_t>(rule & 0x1FFF);
  uint16_t block = StartBlock(root, group, mode);
  if (block == 0) {
    return MlReport(RSCPETOOLONG, 31, __LINE__, u"CCC overflow by rscpeir__enter_in_rule", u"F1A",
                  u"cachesize&?&?&");
  }
  for (int d = 1; d <= length; ++d) {
    uint32_t* word = &T1(block)[bytes[d - 1]];
    const uint32_t w = *word;
    if (Type(w) == RSCP_T1_NEXT) {
      if (d == length) return 0;  // the rule's code is a prefix of longer codes
      block = rscpn1__next_t1(word, mode, d);
      if (block == 0) return CacheTooSmall(RSCPETOOLONG, 32, __LINE__);
      continue;
    }
    if (!Writable(block, mode)) {
      Problem(block);
      return 0;
    }
    if (Type(w) == RSCP_T1_CHAR) return 0;
    if (Type(w) == RSCP_T1_RULE) {
      if ((w & 0x7FFFF) == (ruleWord & 0x7FFFF) || overwrite != 1) return 0;
      if (overwrite + d >= length) {
        *word = ruleWord;
        return 0;
      }
      if (LenOf(w) <= d) return 0;
      block = rscpnf1__new_filled_t1(word, d);
      if (block == 0) return CacheTooSmall(RSCPETOOLONG, 32, __LINE__);
      continue;
    }
    if (w != RSCP_T1_EMPTY) return 0;
    if (whole != 0 || d == length || length - d == 1) {
      *word = ruleWord;
      return 0;
    }
    for (; d < length; ++d) {
      block = rscpn1__next_t1(&T1(block)[bytes[d - 1]], mode, d);
      if (block == 0) return CacheTooSmall(RSCPETOOLONG, 32, __LINE__);
    }
    T1(block)[bytes[length - 1]] = ruleWord;
    return 0;
  }
  return 0;
}

int fillCharInAllEmptySlots(uint32_t* word, uint32_t value, int length, int mode) {
  return Fill(word, value, length, mode, 0);
}

int fillCharInSlot(uint32_t* word, uint32_t value, int length, int mode) {
  return Fill(word, value, length, mode, 0);
}

// --- Output codes and rules -----------------------------------------------------------

rscpRc_t rscpeo1__enter_out_1code(uint32_t t2, const WEQ_UC* name, uint32_t value, uint8_t byte,
                                  int overwrite, int mode) {
  if (rscpRc_t rc = CheckOutValue(name, value, __LINE__)) return rc;
  uint32_t* w = OutWord(t2, value, mode);
  if (w == nullptr) return RSCPETOOLONG;
  const uint32_t code = 0x01000000 | uint32_t{byte} << 16;
  if (*w == 0 || Overwrites(overwrite)) {
    *w = code;
    return 0;
  }
  return *w == code ? 0 : RSCPEUNIQ;
}

rscpRc_t rscpeo4__enter_out_4code(uint32_t t2, const WEQ_UC* name, uint32_t value, int length, uint8_t b1,
                                  uint8_t b2, uint8_t b3, uint8_t b4, int overwrite, int mode) {
  if (rscpRc_t rc = CheckOutValue(name, value, __LINE__)) return rc;
  if (length < 1 || length > 4)
    return BadLength(name, length, u"field CPCODELEN ill.value [1..4]", 33, __LINE__);
  uint32_t* w = OutWord(t2, value, mode);
  if (w == nullptr) return NoT3(value, 34, __LINE__);
  const uint8_t bytes[4] = {b1, b2, b3, b4};
  if (*w != 0 && !Overwrites(overwrite)) return SameCode(*w, bytes, length) ? 0 : RSCPEUNIQ;
  if (length == 4) {
    const uint32_t off = rscpITakeCache07(4, 1);
    if (off == 0) return Cache07TooSmall(35, __LINE__);
    memcpy(Base() + off, bytes, 4);
    *w = 0x04000000 | off;
  } else {
    uint32_t code = static_cast<uint32_t>(length) << 24;
    for (int i = 0; i < length; ++i) code |= uint32_t{bytes[i]} << (16 - 8 * i);
    *w = code;
  }
  return 0;
}

rscpRc_t rscpeo126__enter_out_126code(uint32_t t2, const WEQ_UC* name, uint32_t value, int length,
                                      const uint8_t* bytes, int overwrite, int mode) {
  if (rscpRc_t rc = CheckOutValue(name, value, __LINE__)) return rc;
  if (length < 5 || length > 126) {
    const WEQ_UC* tolerate = rscpHooks.param(u"rscp/ignore_error/tcp07_cpcodelen");
    if (tolerate != nullptr && tolerate[0] != 0 && !(tolerate[0] == u'0' && tolerate[1] == 0)) {
      uint8_t b[4] = {};
      if (bytes != nullptr) memcpy(b, bytes, static_cast<size_t>(std::clamp(length, 0, 4)));
      fprintfU16(stderr, u"T=%s C=%05ld : len=%03d bytes=%02x %02x %02x %02x..\n",
                 name != nullptr ? name : u"?", static_cast<long>(value), length, b[0], b[1], b[2], b[3]);
      MlReport(RSCPEINTERN, 36, __LINE__, u"(W) field CPCODELEN ill.value [5..126]", u"F22",
             u"rscp/ignore_error/tcp07_cpcodelen");
      return RSCPENOOBJ;
    }
    return BadLength(name, length, u"field CPCODELEN ill.value [5..126]", 36, __LINE__);
  }
  uint32_t* w = OutWord(t2, value, mode);
  if (w == nullptr) return NoT3(value, 37, __LINE__);
  if (*w != 0 && !Overwrites(overwrite)) return SameCode(*w, bytes, length) ? 0 : RSCPEUNIQ;
  const uint32_t off = rscpITakeCache07(length, 1);
  if (off == 0) return Cache07TooSmall(38, __LINE__);
  memcpy(Base() + off, bytes, static_cast<size_t>(length));
  *w = static_cast<uint32_t>(length) << 24 | off;
  return 0;
}

rscpRc_t rscpeor__enter_out_rule(uint32_t t2, const WEQ_UC* name, uint32_t value, int rule, int attribute,
                                 int, int mode) {
  if (rscpRc_t rc = CheckOutValue(name, value, __LINE__)) return rc;
  // A T3 word holds 16 bits of attribute (an ISO-2022 character's code is
  // one); only what those bits cannot hold is cut and told.
  if (attribute < 0 || attribute > 0xFFFF) {
    fprintf(stderr, "rscpeor__enter_out_rule: attr  %d  is too large to fit.\n", attribute);
  }
  const uint32_t attr = static_cast<uint32_t>(attribute) & 0xFFFF;
  uint16_t* entry = T2Entry(t2, value);
  if (*entry >= RSCP_T2_RULE && *entry < RSCP_T2_T3) {
    return (*entry & 127) == static_cast<uint32_t>(rule & 127) ? 0 : RSCPEUNIQ;
  }
  const uint16_t n = rscpn3__next_t3(entry, mode);
  if (n == 0) return RSCPETOOLONG;
  uint32_t* t3 = T3(n);
  const uint32_t code = RSCP_T3_RULE | attr << 8 | static_cast<uint32_t>(rule & 127);
  if (t3[value & 127] == 0) {
    t3[value & 127] = code;
  } else if (t3[value & 127] != code) {
    return RSCPEUNIQ;
  }
  // A block whose 128 values all follow one rule becomes one T2 word.
  rscpCCC_t* c = Cache();
  const uint32_t w0 = t3[0];
  if ((value & 127) == 127 && (w0 & RSCP_T3_RULE) != 0 && ((w0 >> 8) & 0xFFFF) <= 63 && c->free_t3 == 0 &&
      std::all_of(t3 + 1, t3 + 128, [w0](uint32_t w) { return w == w0; })) {
    *entry = static_cast<uint16_t>(RSCP_T2_RULE | ((w0 >> 8) & 63) << 7 | (w0 & 127));
    memset(t3, 0, RSCP_T3_BYTES);
    c->free_t3 = n;
    --c->noof_t3;
  }
  return 0;
}

// --- Marks and rollback ------------------------------------------------------------------

rscpRc_t rscpam__alloc_marks(uint32_t n) {
  rscpfm__free_marks();
  const size_t size = std::max<size_t>(n, 1);
  auto* p = static_cast<uint8_t*>(rscpHooks.alloc(u"RSCPML  ", RSCPH_NO_FILL, __LINE__, size, 0));
  if (p == nullptr) {
    return MlReport(RSCPEINTERN, 39, __LINE__, u"assertion failed", u"F6S", u"malloc failed");
  }
  // Every mark starts clear, whatever the hook's fill did: a stray mark
  // would let a derivation write into blocks the base variant shares.
  memset(p, 0, size);
  gMarks = {p, n};
  return 0;
}

void rscpfm__free_marks(void) {
  if (gMarks.bytes != nullptr) rscpHooks.freeBlock(u"RSCPML  ", gMarks.bytes, RSCPH_FREE_TAG);
  gMarks = {};
}

void rscpsm__set_mark(uint32_t i) {
  if (gMarks.bytes != nullptr && i < gMarks.n) gMarks.bytes[i] = 1;
}

bool rscpIIsMarked(uint32_t i) { return gMarks.bytes != nullptr && i < gMarks.n && gMarks.bytes[i] != 0; }

void rscpsv__save_marks(void) {
  rscpCCC_t* c = Cache();
  gPoint = {true, c->end_t1, c->first_t2, c->first_t7, c->noof_t1, c->noof_t2, c->noof_t3};
}

void rscpgc__get_counts(int* t1, int* t2, int* t3) {
  rscpCCC_t* c = Cache();
  const bool set = gPoint.set && c != nullptr;
  if (t1 != nullptr) *t1 = set ? c->noof_t1 - gPoint.noof_t1 : 0;
  if (t2 != nullptr) *t2 = set ? c->noof_t2 - gPoint.noof_t2 : 0;
  if (t3 != nullptr) *t3 = set ? c->noof_t3 - gPoint.noof_t3 : 0;
}

void rscprb__rollback_tables(rscpCpEntry_t*, const WEQ_UC* reason) {
  rscpCCC_t* c = Cache();
  if (!gPoint.set || c == nullptr) return;
  if (rscpHooks.traceActive() != 0 && reason != nullptr) rscpHooks.trace(reason, -1);
  if (c->end_t1 > gPoint.end_t1) memset(Base() + gPoint.end_t1, 0, c->end_t1 - gPoint.end_t1);
  if (c->first_t2 < gPoint.first_t2) memset(Base() + c->first_t2, 0, gPoint.first_t2 - c->first_t2);
  if (c->first_t7 < gPoint.first_t7) memset(Base() + c->first_t7, 0, gPoint.first_t7 - c->first_t7);
  c->frag_t3 = 0;
  c->free_t3 = 0;
  c->end_t1 = gPoint.end_t1;
  c->first_t2 = gPoint.first_t2;
  c->first_t7 = gPoint.first_t7;
  c->noof_t1 = gPoint.noof_t1;
  c->noof_t2 = gPoint.noof_t2;
  c->noof_t3 = gPoint.noof_t3;
}

void rscpmlIReset(void) {
  rscpfm__free_marks();
  gPoint = {};
}
