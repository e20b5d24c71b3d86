// The converter cache: one block of memory per process that holds a header,
// the code page directory, the character map of the system's own characters
// and the multi-level tables of the loaded code pages. Every position inside
// the block is an offset from its start, never an address, so the block
// could live in shared memory; the layout below is fixed-width and pinned by
// static_asserts.
//
// Areas, in rising offsets:
//   header | directory | tcp01_map | T1 blocks (up) ... free ... T2s (down) |
//   cache07 area (down from the end)
// first_t1 <= end_t1 <= first_t2 <= end_t2 = length - cache07 <= first_t7 <=
// end_t7 = length, as long as nothing overflowed.
//
// Writers hold the 'CCC' mutex and the write permission
// (rscpGetSemaAndWritePermission). Conversions read without a lock and rely
// on the layout version: a cache under construction never shows
// RSCP_CCC_VERSION, and a loader records a variant's root only once its
// tables are complete.
//
// Only the converter's own sources and tests include this header.
#ifndef KRN_RSCP_RSCPCC_INT_H
#define KRN_RSCP_RSCPCC_INT_H

#include <stddef.h>
#include <stdint.h>

#include "krn/rscp/rscp.h"

// --- Sizes and layout constants --------------------------------------------------

enum : uint32_t {
  RSCP_CCC_KIND = 77,
  RSCP_CCC_VERSION_HALF = 10911172,  // header being filled
  RSCP_CCC_VERSION_3Q = 20911172,    // tables loaded, bounds not yet set
  RSCP_CCC_VERSION = 200911172,      // build complete
  RSCP_CACHESIZE_DEFAULT = 6000000,
  RSCP_CACHESIZE_MIN = 170000,
  // T3 numbers (offset / 516) must fit the 15 bits of a T2 entry, and T1
  // block numbers the 16 bits of a slot: 16776192 / 516 = 32512.
  RSCP_CACHESIZE_MAX = 16776192,
  RSCP_CACHE07_MIN = 200,
  RSCP_WEQCODE_FLOOR = 2442,
  RSCP_UCHAR_FLOOR = 1200000,
  RSCP_T1_BYTES = 1032,  // 258 words
  RSCP_T1_WORDS = 258,
  RSCP_T3_BYTES = 516,  // 129 words, half a T1 block
  RSCP_T3_WORDS = 129,
};
enum : int {
  RSCP_SHIFT_PAIRS = 10,
  RSCP_SHIFT_SEQ = 10,
  RSCP_CACHE_USERS = 5,
  RSCP_DB_CPS = 50,
  RSCP_RANGE_RECS = 30,
  RSCP_F1_LOADED = 70,  // F1 tables per cache generation
};

// --- T1 words ----------------------------------------------------------------------
// A word's top three bits give its type. Bits 24-28 of a character word are
// the code length when the character was filled in as a fallback for a
// code that is a prefix of longer codes, 0 when it was entered directly.
enum : uint32_t {
  RSCP_T1_TYPE = 0xE0000000,
  RSCP_T1_EMPTY = 0x00000000,
  RSCP_T1_CHAR = 0x20000000,  // bits 0-23 the character number
  RSCP_T1_NEXT = 0x40000000,  // bits 0-23 the next T1 block number
  RSCP_T1_RULE = 0x60000000,  // bits 13-18 attribute, 0-12 rule number
  RSCP_T1_LEN = 0x1F000000,   // bits 24-28
  RSCP_T1_VALUE = 0x00FFFFFF,
};
// Word 256 of a block is its end-of-input word: the character of a code that
// ends where the walk stands when the input ends, which the fills of a prefix
// code put there. Word 257 is the block's fallback word as the table builder
// writes it; the conversion engine reads word 256.
enum : int { RSCP_T1_END_OF_INPUT = 256, RSCP_T1_FALLBACK = 257 };

// ISO-2022 group tables. The root T1 of a code page with designation
// sequences is a group table and nothing else: word s (0 to 11) names the
// T1 in which the characters of input state s start, state 0 being the
// initial state (group 0); methods 41 and 42 start every character at root
// word [state]. The first code entered with a group >= 0 turns the root into
// a group table: what the root held so far (the characters of the initial
// state, entered before the page's shift rules) moves into a new T1 that
// word 0 names (rscppd1__push_down_t1), and word 257 takes the mark below.
// From then on group -1 on that root means group 0, so control codes and
// every other code entered without a group land in the initial state's
// table, never on the group words.
inline constexpr uint32_t RSCP_T1_GROUP_MARK = RSCP_T1_RULE | 71;

// --- T2 entries and T3 words -----------------------------------------------------
// A T2 entry below 0x4000 is empty (0x2000-0x3FFF included); 0x4000-0x7FFF a
// rule for the whole block (0x4000 + attribute x 128 + rule); 0x8000 + n the
// block's T3 number n.
enum : uint16_t { RSCP_T2_RULE = 0x4000, RSCP_T2_T3 = 0x8000 };
// T3 word: length 1-3 inline (01 b1 00 00, 02 b1 b2 00, 03 b1 b2 b3 from
// the high end); length 4-126 in the top byte and in bits 0-23 the offset of
// the code bytes counted from the start of the cache (they lie in the
// cache07 area); bit 31 an output rule (bits 8-23 attribute, 0-6 rule).
enum : uint32_t { RSCP_T3_RULE = 0x80000000 };

// --- Code page id ---------------------------------------------------------------------

// Orders two ids unit by unit: -1, 0, 1.
int rscpCompareCodePage(const rscpCp_t* a, const rscpCp_t* b);

// --- Directory entry -------------------------------------------------------------------

// One input variant: slot index = 2 x (own characters) + (control codes).
struct rscpInSlot_t {
  uint16_t root;  // root T1 block number, 0 = not loaded
  uint16_t pad0;
  uint32_t noofChars;  // characters entered
  uint16_t noofT1;     // T1 blocks made for this variant
  uint16_t pad1;
  int32_t maxLen;  // longest code in bytes, at least 1 once a character is in
};
struct rscpOutSlot_t {
  uint32_t t2;  // offset of the T2, 0 = not loaded
  uint32_t noofChars;
  uint16_t noofT3;  // T3s made for this variant
  uint16_t pad0;
  int32_t maxLen;
};
static_assert(sizeof(rscpInSlot_t) == 16 && sizeof(rscpOutSlot_t) == 16);

enum : uint32_t {
  RSCP_CP_GROUPS = 0x3FF,  // bits 0-9: ISO-2022 groups 0 to 9 in use
  RSCP_CP_COL18 = 0x400,   // catalogue column 18 "X"
  RSCP_CP_0800 = 0x800,    // code pages 1160 and 8341
  RSCP_CP_7BIT = 0x1000,   // code page 1101
};

struct rscpCpEntry_t {
  rscpCp_t cp;
  rscpInSlot_t in[4];
  rscpOutSlot_t out[4];
  uint16_t bit;  // 7, 8, 16 or 32
  uint16_t major;
  uint16_t minor;
  uint8_t enc;  // 4 ASCII-based, 1 EBCDIC-based, 0 other
  uint8_t classDigit;
  WEQ_UC sourceOfCodePage;
  uint8_t mixed;  // 1 for 4000, 6100, 6200, 6500
  uint8_t pad0;
  uint8_t blank[4];
  uint32_t blankLen;
  WEQ_UC sourceOfTcp00;
  WEQ_UC segid[5];
  uint32_t flags;       // RSCP_CP_*
  uint32_t shortcutIn;  // first single-byte shortcut record as input, 0 none
  uint32_t shortcutOut;
  uint8_t shortcutInLen;
  uint8_t shortcutOutLen;
  uint8_t pad1[2];
};
// A single-byte shortcut record in the cache07 area: the input T1 block
// whose words for characters with one- or two-byte output codes hold those
// bytes directly, for one pair of code pages. Records sit at the head of
// both pages' lists (the directory entries' shortcutIn and shortcutOut).
struct rscpShortcut_t {
  rscpCp_t inCp;
  rscpCp_t outCp;
  uint16_t block;      // T1 block number
  uint16_t pad0;
  uint32_t noofChars;  // of the input entry's control-code slot
  uint16_t noofT1;     // T1 blocks copied for this record
  uint16_t pad1;
  uint32_t maxLen;     // of that slot
  uint32_t nextIn;     // the next record of the same input page, 0 none
  uint32_t nextOut;    // ... of the same output page
};
static_assert(sizeof(rscpShortcut_t) == 40 && offsetof(rscpShortcut_t, block) == 16);
static_assert(offsetof(rscpShortcut_t, maxLen) == 28 && offsetof(rscpShortcut_t, nextOut) == 36);

static_assert(offsetof(rscpCpEntry_t, in) == 8 && offsetof(rscpCpEntry_t, out) == 72);
static_assert(offsetof(rscpCpEntry_t, bit) == 136 && offsetof(rscpCpEntry_t, enc) == 142);
static_assert(offsetof(rscpCpEntry_t, blank) == 148 && offsetof(rscpCpEntry_t, segid) == 158);
static_assert(offsetof(rscpCpEntry_t, flags) == 168 && offsetof(rscpCpEntry_t, shortcutIn) == 172);
static_assert(sizeof(rscpCpEntry_t) == 184, "directory entries stay 8-byte aligned");

// --- Header -------------------------------------------------------------------------------

struct rscpShiftPair_t {
  uint16_t strtLen;
  uint16_t backLen;
  uint8_t strt[RSCP_SHIFT_SEQ];
  uint8_t back[RSCP_SHIFT_SEQ];
};
static_assert(sizeof(rscpShiftPair_t) == 24);

// One range rule (filled by the rule loader; read by the engine's range
// coder): the two attribute texts that define it, the Unicode range, and the
// byte positions' bounds and weights.
struct rscpRangeRec_t {
  WEQ_UC attr1[20];
  WEQ_UC attr2[20];
  uint8_t attr1Len;
  uint8_t attr2Len;
  uint8_t pad0[2];
  uint32_t offset;
  uint32_t hash[2];
  uint32_t first;  // first and last Unicode value
  uint32_t last;
  int32_t seqLen;      // bytes per code, 1 to 4
  uint32_t uidFirst;   // the value of the lowest byte sequence
  uint8_t byteOf1[4];  // the bytes of the first value's code
  uint8_t minV[4];
  uint8_t maxV[4];
  uint16_t byteWidth[4];
  int32_t weight[4];
  uint32_t spare;
};
static_assert(sizeof(rscpRangeRec_t) == 152);

struct rscpF1Loaded_t {
  uint64_t hash;
  uint32_t offset;
  uint32_t pad;
};
static_assert(sizeof(rscpF1Loaded_t) == 16);

struct rscpCCC_t {
  uint32_t kind;          // RSCP_CCC_KIND
  uint32_t version;       // RSCP_CCC_VERSION_*
  WEQ_UC eyeCatcher[12];  // ">>RSCPCCC<< "
  WEQ_UC createdate[16];  // YYYYMMDDhhmmss00
  WEQ_UC lastreorgdate[16];
  uint32_t reorg_version;
  uint8_t reorg_done;
  uint8_t pad0;
  WEQ_UC reorg_reason[36];
  uint16_t pad1;
  uint32_t noof_reorgs;
  uint32_t dd_reorg_version;
  uint8_t dd_reorg_done;
  uint8_t was_overflow;  // 1 while an area overflowed and a rebuild is pending
  uint16_t pad2;
  // Bounds (offsets from the cache start) and T3 numbers (0 = none).
  uint32_t length;
  uint32_t cache07;
  uint32_t first_t1;
  uint32_t end_t1;
  uint32_t first_t2;
  uint32_t end_t2;
  uint32_t first_t7;
  uint32_t end_t7;
  uint32_t frag_t3;  // free second half of the last block split for T3s
  uint32_t free_t3;  // a T3 freed by rule compaction
  uint16_t noof_char_codes;
  uint16_t noof_t1;
  uint16_t noof_t2;
  uint16_t noof_t3;
  // Statistics.
  uint32_t attaches;
  uint32_t lookups;
  uint32_t createObject;
  uint32_t clones[RSCP_CLONE_COUNTERS];
  uint32_t pad3;
  uint64_t bytesIn;
  uint64_t bytesOut;
  uint32_t fillSpace;  // the fill counters of the conversion loop
  uint32_t fillBytes;
  uint32_t truncBytes;
  uint32_t max_weq_code;
  uint32_t max_enhanced_uchar;
  uint32_t tableReads[RSCP_TABLES];
  // Options.
  uint8_t mbc_in_sbcs;
  uint8_t pad4[3];
  int32_t mbc_copy;   // 0..3, default 2
  int32_t verbose;    // 0..2
  int32_t err_trace;  // 0..2
  uint32_t option16;
  uint32_t option17;
  // Locale and database code pages.
  WEQ_UC def_country[3];
  WEQ_UC def_language;
  uint16_t TCPDB_count;
  uint16_t db_cp_count;
  rscpCp_t db_cp_list[RSCP_DB_CPS];
  uint32_t tcp01_map;  // offset, right behind the directory
  uint16_t tcp01_mappings;
  // STRT/BACK pairs of the stateful code pages; a pair's index is its
  // ISO-2022 group number.
  uint16_t noof_shift_pairs;
  rscpShiftPair_t shiftPairs[RSCP_SHIFT_PAIRS];
  // Addresses at which this process attached the cache, 0 when free.
  uint64_t users[RSCP_CACHE_USERS];
  uint8_t protect;  // option 20 at build time
  uint8_t pad5[3];
  int32_t utf8gui_allow;  // the TCP0I options
  int32_t rtlinltr_allow;
  int32_t indic_digits;
  int32_t bidi_ctrl_filter;
  int32_t cfont_cache_version;
  uint32_t mb_cp_count;
  uint32_t loaded_f1_count;
  rscpCp_t legacy_cp;  // blank by default
  // Process ids: creating, last reorganising, last invalidating, each with
  // its parent (the environment's PPID, 0 when unset).
  uint32_t pidCreate;
  uint32_t ppidCreate;
  uint32_t pidReorg;
  uint32_t ppidReorg;
  uint32_t pidInval;
  uint32_t ppidInval;
  WEQ_UC allocMethod[12];  // "malloc" blank-padded
  // Loader data kept with the header.
  uint32_t processedLangKind;    // 2 when present
  uint32_t processedLangOffset;  // in the cache07 area
  uint32_t processedLangLength;  // units
  uint32_t legacyListLength;     // bytes
  uint32_t legacyListOffset;
  uint32_t ruleInfo_count;
  rscpRangeRec_t ranges[RSCP_RANGE_RECS];
  // The F1 tables copied into the cache07 area (loaded_f1_count of them):
  // the hash of each table's name and the offset of its 256 bytes. Written
  // by the method chooser under the 'CCC' mutex and the write permission.
  rscpF1Loaded_t f1[RSCP_F1_LOADED];
  // Room for header words of later parts; zero after a build.
  uint32_t reserve[64];
};
static_assert(offsetof(rscpCCC_t, eyeCatcher) == 8 && offsetof(rscpCCC_t, createdate) == 32);
static_assert(offsetof(rscpCCC_t, reorg_version) == 96 && offsetof(rscpCCC_t, reorg_reason) == 102);
static_assert(offsetof(rscpCCC_t, noof_reorgs) == 176 && offsetof(rscpCCC_t, was_overflow) == 185);
static_assert(offsetof(rscpCCC_t, length) == 188 && offsetof(rscpCCC_t, free_t3) == 224);
static_assert(offsetof(rscpCCC_t, noof_char_codes) == 228 && offsetof(rscpCCC_t, attaches) == 236);
static_assert(offsetof(rscpCCC_t, clones) == 248 && offsetof(rscpCCC_t, bytesIn) == 328);
static_assert(offsetof(rscpCCC_t, max_weq_code) == 356 && offsetof(rscpCCC_t, tableReads) == 364);
static_assert(offsetof(rscpCCC_t, mbc_in_sbcs) == 492 && offsetof(rscpCCC_t, option17) == 512);
static_assert(offsetof(rscpCCC_t, def_country) == 516 && offsetof(rscpCCC_t, db_cp_list) == 528);
static_assert(offsetof(rscpCCC_t, tcp01_map) == 928 && offsetof(rscpCCC_t, shiftPairs) == 936);
static_assert(offsetof(rscpCCC_t, users) == 1176 && offsetof(rscpCCC_t, protect) == 1216);
static_assert(offsetof(rscpCCC_t, legacy_cp) == 1248 && offsetof(rscpCCC_t, pidCreate) == 1256);
static_assert(offsetof(rscpCCC_t, allocMethod) == 1280 && offsetof(rscpCCC_t, ruleInfo_count) == 1324);
static_assert(offsetof(rscpCCC_t, ranges) == 1328 && offsetof(rscpCCC_t, f1) == 5888);
static_assert(sizeof(rscpCCC_t) == 7264);
static_assert(sizeof(rscpCCC_t) % 8 == 0, "the directory follows 8-byte aligned");

// The directory right behind the header.
inline rscpCpEntry_t* rscpDirectory(rscpCCC_t* c) {
  return reinterpret_cast<rscpCpEntry_t*>(reinterpret_cast<unsigned char*>(c) + sizeof(rscpCCC_t));
}

// --- Process values that a build reads --------------------------------------------------
// Converter state: 0 none, 1 starting, 2 initialised, 3 damaged, 4 wrong
// layout version, 5 reinitialise. The state and the cache pointer are read
// without a lock by conversions: acquire loads, release stores.
enum : int32_t {
  RSCP_STATE_NONE = 0,
  RSCP_STATE_STARTING = 1,
  RSCP_STATE_INIT = 2,
  RSCP_STATE_DAMAGED = 3,
  RSCP_STATE_WRONG_VERSION = 4,
  RSCP_STATE_REINIT = 5,
};
int32_t rscpGetState(void);
void rscpSetState(int32_t state);
// The block that the calling thread works on: the build target of a
// rebuild in progress on this thread (rscpmc_int.h), else the published
// generation.
rscpCCC_t* rscpGetCache(void);
// Publishes a generation (sequentially consistent, see rscppin.cpp).
void rscpSetCache(rscpCCC_t* cache);
rscpCCC_t* rscpIGetPublishedCache(void);
rscpCCC_t* rscpIBuildTarget(void);
// The highest reorg_version that this process has seen or given.
uint32_t rscpGetLastVersion(void);
void rscpSetLastVersion(uint32_t version);
// The process copy of the header's mbc_in_sbcs, set by a build.
uint8_t rscpGetMbcInSbcs(void);

// --- Sizing and build ----------------------------------------------------------------------

rscpRc_t find_cachesizes(long* cachesize, long* cache07);
rscpRc_t find_weqcode_max(uint32_t* value);
rscpRc_t find_uchar_max(uint32_t* value);

// Fills the block at the converter's cache pointer (size bytes) from
// scratch: header, directory, loader steps, bounds. Called with the write
// permission held.
rscpRc_t rscpBuildCache(long size, long cache07, uint32_t codeMax, const WEQ_UC* method, int acceptMask);

// Takes size bytes of the cache07 area (downwards, 8-byte aligned) and copies
// data there; either out pointer may be NULL. F1A when the area is full.
rscpRc_t rscpAllocCache07(const void* data, long size, uint32_t* offset, void** address);

rscpRc_t rscpAddShiftPair(int strtLen, const uint8_t* strt, int backLen, const uint8_t* back);
bool rscpGetShiftPair(int index, int* strtLen, const uint8_t** strt, int* backLen, const uint8_t** back);
int rscpFindShiftPair(int strtLen, const uint8_t* strt, int backLen, const uint8_t* back);

// Mode 1 (with takeLock) or 2: enters the cache into the first free user
// slot unless it is there already; *state becomes 2 when entered.
void rscpRegisterCacheUser(int mode, int takeLock, int32_t* state);
// Adds the calling thread's counters into the header and zeroes them (state
// 2 with a cache only). Call with the 'CCC' mutex held.
void rscpFlushThrCounters(void);
rscpRc_t rscpGetSemaAndWritePermission(int location);
rscpRc_t rscpReleaseWritePermissionAndSema(int location);

// --- Directory and multi-level tables -----------------------------------------------------
// All of these run under the write permission. Addresses of words are
// addresses inside the cache.

rscpRc_t rscpcd__check_directory(void);

rscpRc_t rscpa1__alloc_t1(uint32_t** address, uint16_t* block);
rscpRc_t rscpa2__alloc_t2(uint16_t** address, uint32_t* offset);
// 0 when no block could be made (after a rollback).
uint16_t rscpnt1__new_t1(void);
uint32_t rscpnt2__new_t2(void);

uint16_t rscpct1__copy_t1(uint16_t block);
uint16_t rscpnf1__new_filled_t1(uint32_t* word, int length);
uint16_t rscppd1__push_down_t1(uint16_t block);
uint32_t rscpct2__copy_t2(uint32_t offset);
uint16_t rscpct3__copy_t3(uint16_t t3);

// Copy-on-write modes: 0 plain, 1 copy shared (unmarked) tables first.
uint16_t rscpn1__next_t1(uint32_t* word, int mode, int length);
uint16_t rscpn3__next_t3(uint16_t* t2entry, int mode);

rscpRc_t rscpeic__enter_in_code(uint16_t root, const WEQ_UC* name, uint32_t value, int mode, int length,
                                const uint8_t* bytes, int overwrite, int group);
rscpRc_t rscpeir__enter_in_rule(uint16_t root, const WEQ_UC* name, int mode, int rule, int attribute,
                                int length, const uint8_t* bytes, int overwrite, int whole, int group);
// Both return the number of words filled, -1 when a shared block could not
// be copied (the tables are then rolled back).
int fillCharInAllEmptySlots(uint32_t* word, uint32_t value, int length, int mode);
int fillCharInSlot(uint32_t* word, uint32_t value, int length, int mode);

rscpRc_t rscpeo1__enter_out_1code(uint32_t t2, const WEQ_UC* name, uint32_t value, uint8_t byte,
                                  int overwrite, int mode);
rscpRc_t rscpeo4__enter_out_4code(uint32_t t2, const WEQ_UC* name, uint32_t value, int length, uint8_t b1,
                                  uint8_t b2, uint8_t b3, uint8_t b4, int overwrite, int mode);
rscpRc_t rscpeo126__enter_out_126code(uint32_t t2, const WEQ_UC* name, uint32_t value, int length,
                                      const uint8_t* bytes, int overwrite, int mode);
rscpRc_t rscpeor__enter_out_rule(uint32_t t2, const WEQ_UC* name, uint32_t value, int rule, int attribute,
                                 int unused, int mode);

// Marks: one byte per T1 block (input loads) or per T3 number (output
// loads) below first_t2; only one array exists at a time.
rscpRc_t rscpam__alloc_marks(uint32_t n);
void rscpfm__free_marks(void);
void rscpsm__set_mark(uint32_t i);
bool rscpIIsMarked(uint32_t i);

// Rollback point: end_t1, first_t2, first_t7 and the table counters.
void rscpsv__save_marks(void);
void rscpgc__get_counts(int* t1, int* t2, int* t3);
void rscprb__rollback_tables(rscpCpEntry_t* entry, const WEQ_UC* reason);

// --- Loader steps of the build (stand-ins until the table loaders land) -------------------

rscpRc_t read_TCP00(void);
rscpRc_t rscplrc__reset_counters(void);
rscpRc_t read_TCP01(void);
rscpRc_t read_TCP0D(void);
rscpRc_t read_TCPDB(void);
rscpRc_t read_TCP0I(void);
rscpRc_t read_RFCDES(void);
rscpRc_t consolidate_TCP0I_RFCDES(void);
// Options 20 (protect) and 25 (run the RFCDES steps), process switches.
uint8_t rscpIProtectOption(void);
uint8_t rscpIOption25(void);

// --- Shared by the cache's sources -----------------------------------------------------
// One report of class 'C' (param2 may be NULL).
inline rscpRc_t rscpIReport(const WEQ_UC* module, int rc, int location, int line, const WEQ_UC* text,
                            const WEQ_UC* code, const WEQ_UC* param1, const WEQ_UC* param2 = nullptr,
                            int mask = -1) {
  return rscpe__error(rc, u'C', mask, module, location, line, text, code, param1, -1, param2,
                      param2 != nullptr ? -1 : 0);
}
// Takes size bytes below first_t7, the start lowered to a multiple of
// align (a power of two), while it stays at or above end_t2: the offset, or
// 0 with was_overflow set.
uint32_t rscpITakeCache07(int64_t size, int align);

// --- Test seams ---------------------------------------------------------------------------
// rscpccIReset (rscp_int.h) also clears the marks and the rollback point.
// Frees the marks and forgets the rollback point (also at every build).
void rscpmlIReset(void);

#endif
