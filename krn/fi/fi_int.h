// Layout of the FI and FT blocks, for the containers themselves and for
// tests that check a block's structure. All offsets are bytes from the
// block's start; 0 means none.
#ifndef KRN_FI_FI_INT_H
#define KRN_FI_FI_INT_H

#include <stddef.h>
#include <stdint.h>

#include "krn/fi/fi.h"

constexpr uint32_t FiAlign16(uint64_t v) { return (uint32_t)((v + 15) & ~(uint64_t)15); }

constexpr uint32_t FI_LEAF_MARK = 0x7FFFFFFFu;  // first word of a leaf in use
constexpr uint32_t FI_NODE_WILD = 2u;          // node flag: a child branches on the wildcard
constexpr uint32_t FI_SLOTS = 16;               // slot heads per node (low 4 bits)

struct FI_HEADER {
  WEQ_UC name[FI_NAME_LEN];  // blank-padded
  WEQ_UC wildcard;
  WEQ_UC special;            // stored only
  uint32_t entries;          // index entries
  uint32_t keys;             // leaves
  uint32_t keyLen;
  uint32_t nodes;
  uint32_t openCount;
  uint32_t flags;
  uint32_t reserved;
  FI_HDL slots[FI_MAX_HDLS];
  uint32_t entryBase;  // the zero word under the index-entry stack (2144)
  uint32_t nodeBase;
  uint32_t leafBase;
  uint32_t openHead;   // first open index entry
  uint32_t scratch;    // walking stack of FiCloseIndex
  uint32_t entryTop;   // stack tops: one word past the last offset pushed
  uint32_t nodeTop;
  uint32_t leafTop;
};
static_assert(sizeof(FI_HDL) == 32);
static_assert(sizeof(FI_HEADER) == 2144);
static_assert(offsetof(FI_HEADER, slots) == 64);

struct FiEntry {
  int32_t id;
  uint32_t keyLen;
  uint32_t keyCount;
  uint32_t root;
  uint32_t prev;
  uint32_t next;
  uint32_t zero[2];
};
static_assert(sizeof(FiEntry) == 32);

struct FiNode {
  uint32_t pos;       // key character the node branches on
  uint32_t children;
  uint32_t flags;     // FI_NODE_WILD
  uint16_t ch;        // character by which the parent reaches this node
  uint16_t pad;
  uint32_t parent;
  uint32_t firstChild;
  uint32_t nextSib;
  uint32_t prevSib;
  uint32_t nextSlot;  // next child of the parent in the same slot
  uint32_t slot[FI_SLOTS];
};
static_assert(sizeof(FiNode) == 100);

struct FiLeaf {
  uint32_t mark;      // FI_LEAF_MARK while in use, 0 while free
  uint16_t ch;
  uint16_t pad;
  uint32_t parent;
  uint32_t nextSib;
  uint32_t prevSib;
  uint32_t nextSlot;
  uint32_t keyOff;    // from the handle's base
  uint32_t valueOff;
  uint32_t reserved[4];
};
static_assert(sizeof(FiLeaf) == 48);

// Tree nodes a block of that many keys holds.
constexpr uint32_t FiNodeCount(uint32_t keys, uint32_t flags) {
  return ((flags & FI_FLAG_ALLNODES) || keys < 1000) ? keys : (uint32_t)((uint64_t)keys * 60 / 100);
}

// Where the parts of a block lie, from its sizing arguments.
struct FiLayout {
  uint32_t entryBase, entryArea;  // stack base and first entry
  uint32_t nodeBase, nodeArea;
  uint32_t leafBase, leafArea;
  uint32_t scratch;
  uint64_t total;
};
constexpr FiLayout FiComputeLayout(uint32_t entries, uint32_t keys, uint32_t flags) {
  const uint32_t nodes = FiNodeCount(keys, flags);
  FiLayout l{};
  uint64_t at = sizeof(FI_HEADER);
  l.entryBase = (uint32_t)at;
  l.entryArea = (uint32_t)(at + FiAlign16(4ull * entries + 4));
  at += FiAlign16(FiAlign16(4ull * entries + 4) + 32ull * entries);
  l.nodeBase = (uint32_t)at;
  l.nodeArea = (uint32_t)(at + FiAlign16(4ull * nodes + 4));
  at += FiAlign16(FiAlign16(4ull * nodes + 4) + 100ull * nodes);
  l.leafBase = (uint32_t)at;
  l.leafArea = (uint32_t)(at + FiAlign16(4ull * keys + 4));
  at += FiAlign16(FiAlign16(4ull * keys + 4) + 48ull * keys);
  l.scratch = (uint32_t)at;
  l.total = at + 16ull * keys + 128;
  return l;
}

// FT: 64-byte header, then the elements, each a 16-byte header and its data.
struct FT_TABLE {
  WEQ_UC name[FI_NAME_LEN];
  uint32_t count;
  uint32_t stride;     // align16(element size) + 16
  uint32_t usedHead;   // element header offset, 0 = empty
  uint32_t freeHead;
  uint32_t elemSize;
  uint32_t dataStart;  // 80: the first element's data
  uint32_t reserved[2];
};
static_assert(sizeof(FT_TABLE) == 64);

struct FtElemHdr {
  uint32_t prev;  // used list; FT_FREE_MARK while free, 0 at the head
  uint32_t next;  // free or used list, 0 at the end
  uint32_t reserved[2];
};
static_assert(sizeof(FtElemHdr) == 16);
constexpr uint32_t FT_FREE_MARK = 0xFFFFFFFFu;

// A block name: name cut to 16 characters and padded with blanks.
inline void FiIPadName(WEQ_UC out[FI_NAME_LEN], const WEQ_UC* name) {
  size_t i = 0;
  if (name != nullptr)
    for (; i < FI_NAME_LEN && name[i] != 0; ++i) out[i] = name[i];
  for (; i < FI_NAME_LEN; ++i) out[i] = u' ';
}

// For tests: whether a handle is one of the process-wide slots, and how many
// of them are taken.
bool FiIIsSharedHdl(const FI_HDL* hdl);
uint32_t FiISharedInUse(void);

#endif
