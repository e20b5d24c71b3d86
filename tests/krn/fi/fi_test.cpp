// Fast index and fixed table: a differential run of the index against
// std::map with a structural check of the whole block after every batch,
// exhaustion, the sizing rules worked out by hand, and the fixed table
// against a model of its two lists.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "krn/fi/fi.h"
#include "krn/fi/fi_int.h"
#include "tests/support/testsupport.h"

namespace {

struct FreeDeleter {
  void operator()(void* p) const { free(p); }
};
using BlockPtr = std::unique_ptr<uint8_t, FreeDeleter>;

// A zeroed block of n bytes aligned to 16.
BlockPtr NewBlock(size_t n) {
  void* p = aligned_alloc(16, (n + 15) & ~size_t{15});
  memset(p, 0, n);
  return BlockPtr((uint8_t*)p);
}

template <class T>
T* At(const uint8_t* b, uint32_t off) {
  return (T*)(b + off);
}

bool IsLeaf(const uint8_t* b, uint32_t off) { return *At<uint32_t>(b, off) == FI_LEAF_MARK; }

// Entries on a stack between its zero word and its top.
uint32_t StackDepth(uint32_t base, uint32_t top) { return (top - base) / 4 - 1; }

// Structural check of a whole FI block, written from the block layout:
// links both ways, slot chains, child counts, positions, the wildcard flag,
// key prefixes, and every node, leaf and entry either free or in use exactly
// once. Returns an empty string when all holds.
std::string CheckBlock(const uint8_t* b, const WEQ_RAW* base) {
  const FI_HEADER* h = (const FI_HEADER*)b;
  const FiLayout lay = FiComputeLayout(h->entries, h->keys, h->flags);
  char msg[200];
  auto fail = [&](const char* what, uint32_t off) {
    snprintf(msg, sizeof msg, "%s at %u", what, off);
    return std::string(msg);
  };
  std::set<uint32_t> usedNodes, usedLeaves, openEntries;
  uint32_t prevEntry = 0;
  for (uint32_t e = h->openHead; e != 0; e = At<FiEntry>(b, e)->next) {
    const FiEntry* pe = At<FiEntry>(b, e);
    if (!openEntries.insert(e).second) return fail("open list loops", e);
    if (pe->prev != prevEntry) return fail("entry prev link", e);
    prevEntry = e;
    uint32_t leaves = 0;
    if (pe->root == 0) {
      if (pe->keyCount != 0) return fail("empty index with keys", e);
      continue;
    }
    // Walk: (offset, depth-position of its parent, expected parent).
    struct Item {
      uint32_t off, parent;
      int parentPos;
    };
    std::vector<Item> todo{{pe->root, 0, -1}};
    std::vector<const WEQ_UC*> keysUnder;
    while (!todo.empty()) {
      Item it = todo.back();
      todo.pop_back();
      if (IsLeaf(b, it.off)) {
        const FiLeaf* l = At<FiLeaf>(b, it.off);
        if ((it.off - lay.leafArea) % sizeof(FiLeaf) != 0 || it.off < lay.leafArea)
          return fail("leaf outside its area", it.off);
        if (l->parent != it.parent) return fail("leaf parent", it.off);
        if (!usedLeaves.insert(it.off).second) return fail("leaf twice", it.off);
        ++leaves;
        continue;
      }
      const FiNode* n = At<FiNode>(b, it.off);
      if (it.off < lay.nodeArea || (it.off - lay.nodeArea) % sizeof(FiNode) != 0)
        return fail("node outside its area", it.off);
      if (!usedNodes.insert(it.off).second) return fail("node twice", it.off);
      if (n->parent != it.parent) return fail("node parent", it.off);
      if ((int)n->pos <= it.parentPos || n->pos >= pe->keyLen) return fail("node position", it.off);
      if (n->children < 2) return fail("node with fewer than 2 children", it.off);
      uint32_t viaList = 0, prev = 0;
      bool wild = false;
      std::set<uint16_t> chars;
      for (uint32_t c = n->firstChild; c != 0; ++viaList) {
        if (viaList > h->keys) return fail("sibling list loops", it.off);
        const bool leaf = IsLeaf(b, c);
        const uint16_t ch = leaf ? At<FiLeaf>(b, c)->ch : At<FiNode>(b, c)->ch;
        const uint32_t pv = leaf ? At<FiLeaf>(b, c)->prevSib : At<FiNode>(b, c)->prevSib;
        if (pv != prev) return fail("sibling prev link", c);
        if (!chars.insert(ch).second) return fail("two children with one character", c);
        wild |= ch == h->wildcard;
        // The child must be in the slot chain of its character.
        uint32_t s = n->slot[ch & 15];
        while (s != 0 && s != c)
          s = IsLeaf(b, s) ? At<FiLeaf>(b, s)->nextSlot : At<FiNode>(b, s)->nextSlot;
        if (s != c) return fail("child missing from its slot chain", c);
        todo.push_back({c, it.off, (int)n->pos});
        prev = c;
        c = leaf ? At<FiLeaf>(b, c)->nextSib : At<FiNode>(b, c)->nextSib;
      }
      uint32_t viaSlots = 0;
      for (uint32_t k = 0; k < FI_SLOTS; ++k)
        for (uint32_t s = n->slot[k]; s != 0; ++viaSlots) {
          const bool leaf = IsLeaf(b, s);
          const uint16_t ch = leaf ? At<FiLeaf>(b, s)->ch : At<FiNode>(b, s)->ch;
          if ((ch & 15) != k) return fail("child in a foreign slot", s);
          if (viaSlots > viaList) return fail("slot chain holds more than the list", s);
          s = leaf ? At<FiLeaf>(b, s)->nextSlot : At<FiNode>(b, s)->nextSlot;
        }
      if (viaList != n->children || viaSlots != n->children) return fail("child count", it.off);
      if (wild != ((n->flags & FI_NODE_WILD) != 0)) return fail("wildcard flag", it.off);
    }
    if (leaves != pe->keyCount) return fail("key count", e);
    // Every leaf's key agrees with its ancestors' branch characters.
    for (uint32_t l : usedLeaves) {
      const FiLeaf* pl = At<FiLeaf>(b, l);
      const WEQ_UC* key = (const WEQ_UC*)(base + pl->keyOff);
      uint32_t child = l;
      uint16_t ch = pl->ch;
      for (uint32_t p = pl->parent; p != 0; p = At<FiNode>(b, p)->parent) {
        const FiNode* n = At<FiNode>(b, p);
        if (key[n->pos] != ch) return fail("key differs from its branch character", child);
        child = p;
        ch = n->ch;
      }
    }
  }
  if (openEntries.size() != h->openCount) return fail("open count", h->openCount);
  // Free plus used is everything, nothing free is in use.
  auto stackSet = [&](uint32_t base, uint32_t top, std::set<uint32_t>& out) {
    for (uint32_t w = base + 4; w < top; w += 4) out.insert(*At<uint32_t>(b, w));
  };
  std::set<uint32_t> freeNodes, freeLeaves, freeEntries;
  stackSet(h->nodeBase, h->nodeTop, freeNodes);
  stackSet(h->leafBase, h->leafTop, freeLeaves);
  stackSet(h->entryBase, h->entryTop, freeEntries);
  if (freeNodes.size() != StackDepth(h->nodeBase, h->nodeTop)) return fail("node pushed twice", 0);
  if (freeLeaves.size() != StackDepth(h->leafBase, h->leafTop)) return fail("leaf pushed twice", 0);
  if (freeNodes.size() + usedNodes.size() != h->nodes) return fail("nodes lost", 0);
  if (freeLeaves.size() + usedLeaves.size() != h->keys) return fail("leaves lost", 0);
  if (freeEntries.size() + openEntries.size() != h->entries) return fail("entries lost", 0);
  for (uint32_t n : usedNodes)
    if (freeNodes.count(n)) return fail("node free and in use", n);
  for (uint32_t l : usedLeaves)
    if (freeLeaves.count(l)) return fail("leaf free and in use", l);
  return "";
}

// --- Sizes and set-up --------------------------------------------------------

TEST(FiLayout, SizesWorkedOutByHand) {
  struct Case {
    uint32_t entries, keys, flags;
    size_t size;
    uint32_t nodes;
  } cases[] = {
      // 224 nodes + 2144 + 48 entries + 112 leaves + 160 scratch
      {1, 2, 0, 2688, 2},
      // 62416 + 2144 + 112 + 52016 + 16128
      {3, 1000, 0, 132816, 600},
      {3, 1000, FI_FLAG_ALLNODES, 174416, 1000},
      // below 1000 keys every key has a node: 99900+4016 -> 103904
      {0, 999, 0, 103904 + 2144 + 16 + 51952 + 16112, 999},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.keys);
    EXPECT_EQ(FiSize(c.entries, c.keys, 2, c.flags), c.size);
    BlockPtr b = NewBlock(c.size);
    FI_HEADER* h = nullptr;
    ASSERT_EQ(FiInit(b.get(), u"SIZES", c.flags, c.entries, c.keys, 2, u'*', u'?', &h), FI_OK);
    EXPECT_EQ(h->nodes, c.nodes);
    EXPECT_EQ(h->entryBase, 2144u);
    EXPECT_EQ(StackDepth(h->nodeBase, h->nodeTop), c.nodes);
    EXPECT_EQ(StackDepth(h->leafBase, h->leafTop), c.keys);
    EXPECT_EQ(StackDepth(h->entryBase, h->entryTop), c.entries);
    EXPECT_LE(h->scratch + 16u * c.keys + 128, c.size);
    EXPECT_EQ(CheckBlock(b.get(), nullptr), "");
  }
  EXPECT_EQ(FiSize(1, 0xFFFFFFFFu, 2, 0), 0u);  // beyond the offsets
  EXPECT_EQ(FtSize(10, 4), 10u * 32 + 64);
  EXPECT_EQ(FtSize(3, 17), 3u * 48 + 64);
  EXPECT_EQ(FtSize(0xFFFFFFF0u, 64), 0u);
}

TEST(FiInit, RefusalsAndSecondInit) {
  const size_t n = FiSize(2, 16, 2, 0);
  BlockPtr b = NewBlock(n + 16);
  FI_HEADER* h = nullptr;
  struct Bad {
    const char* why;
    size_t shift;
    uint32_t flags, keys, keyLen;
  } bad[] = {
      {"misaligned", 8, 0, 16, 2}, {"one key", 0, 0, 1, 2},  {"flag 1", 0, 1, 16, 2},
      {"flag 4", 0, 4, 16, 2},     {"key length 0", 0, 0, 16, 0},
  };
  for (const Bad& c : bad) {
    SCOPED_TRACE(c.why);
    EXPECT_EQ(FiInit(b.get() + c.shift, u"X", c.flags, 2, c.keys, c.keyLen, 0, 0, &h), FI_EINVAL);
  }
  EXPECT_EQ(FiInit(nullptr, u"X", 0, 2, 16, 2, 0, 0, &h), FI_EINVAL);
  ASSERT_EQ(FiInit(b.get(), u"A-NAME-LONGER-THAN-16", FI_FLAG_ALLNODES | 1, 2, 16, 2, 0, 0, &h),
            FI_OK);
  EXPECT_EQ(tovtest::Show(std::u16string(h->name, FI_NAME_LEN)), "A-NAME-LONGER-TH");

  // Use it, then initialise again under the same (cut) name: 8, unchanged.
  FI_HDL* x = nullptr;
  ASSERT_EQ(FiOpenIndex(h, 7, FI_MODE_LOCAL, nullptr, 2, &x), FI_OK);
  std::vector<uint8_t> before(b.get(), b.get() + n);
  FI_HEADER* again = nullptr;
  EXPECT_EQ(FiInit(b.get(), u"A-NAME-LONGER-THAN-16-OTHER", 0, 1, 8, 1, 0, 0, &again), FI_EINIT);
  EXPECT_EQ(again, h);
  EXPECT_EQ(memcmp(before.data(), b.get(), n), 0);
  // A shorter name differs by its padding and sets the block up anew.
  EXPECT_EQ(FiInit(b.get(), u"A-NAME", 0, 2, 16, 2, 0, 0, &again), FI_OK);
  EXPECT_EQ(again->openCount, 0u);
}

TEST(FiOpenIndex, SlotsEntriesAndIds) {
  BlockPtr b = NewBlock(FiSize(70, 4, 1, 0));
  FI_HEADER* h = nullptr;
  ASSERT_EQ(FiInit(b.get(), u"SLOTS", 0, 70, 4, 1, 0, 0, &h), FI_OK);
  std::vector<FI_HDL*> local;
  for (int i = 0; i < FI_MAX_HDLS; ++i) {
    FI_HDL* x = nullptr;
    ASSERT_EQ(FiOpenIndex(h, i, FI_MODE_LOCAL, nullptr, 1, &x), FI_OK) << i;
    EXPECT_EQ((uint8_t*)x - b.get(), 64 + 32 * i);  // the block's own slots
    local.push_back(x);
  }
  FI_HDL* x = nullptr;
  EXPECT_EQ(FiOpenIndex(h, 99, FI_MODE_LOCAL, nullptr, 1, &x), FI_ENOROOM);
  EXPECT_EQ(h->openCount, 64u);  // the 65th took no entry
  ASSERT_EQ(FiCloseIndex(local[5]), FI_OK);
  EXPECT_EQ(local[5]->inUse, 0u);
  EXPECT_EQ(FiCloseIndex(local[5]), FI_EINVAL);  // released slot
  EXPECT_EQ(FiCloseIndex(nullptr), FI_EINVAL);

  // An id that is open: 8 and a handle onto the same entry.
  FI_HDL* same = nullptr;
  ASSERT_EQ(FiOpenIndex(h, 6, FI_MODE_LOCAL, nullptr, 1, &same), FI_EINIT);
  EXPECT_EQ(same->entry, local[6]->entry);
  ASSERT_EQ(FiCloseIndex(same), FI_OK);
  // The index is gone under the other handle: it refuses use, and closing
  // it again finds no index of its id.
  const WEQ_UC key[1] = {u'k'};
  EXPECT_EQ(FiLookup(local[6], key, nullptr), FI_EINVAL);
  EXPECT_EQ(FiInsert(local[6], key, key, nullptr), FI_EINVAL);
  EXPECT_EQ(FiKeyCount(local[6]), 0u);
  EXPECT_EQ(FiCloseIndex(local[6]), FI_ENOTFOUND);
  FiClearHdl(local[6]);
  EXPECT_EQ(local[6]->inUse, 0u);
  EXPECT_EQ(CheckBlock(b.get(), nullptr), "");

  // Process-wide slots: 64 more, then 2; entries run out at 70.
  const uint32_t sharedBefore = FiISharedInUse();
  ASSERT_EQ(sharedBefore, 0u);
  std::vector<FI_HDL*> shared;
  int32_t rc = FI_OK;
  for (int i = 100; rc == FI_OK; ++i) {
    rc = FiOpenIndex(h, i, 0, nullptr, 1, &x);
    if (rc == FI_OK) {
      EXPECT_TRUE(FiIIsSharedHdl(x));
      shared.push_back(x);
    }
  }
  EXPECT_EQ(rc, FI_ENOROOM);
  EXPECT_EQ(h->openCount, 70u);  // 62 local + 8 shared: the entries ran out first
  EXPECT_EQ(shared.size(), 8u);
  EXPECT_EQ(FiISharedInUse(), 8u);  // the refused call gave its slot back
  for (FI_HDL* s : shared) EXPECT_EQ(FiCloseIndex(s), FI_OK);
  EXPECT_EQ(FiISharedInUse(), 0u);
  EXPECT_EQ(StackDepth(h->entryBase, h->entryTop), 70u - 62u);
}

TEST(FiOpenIndex, SharedSlotsRunOutAt64) {
  BlockPtr b = NewBlock(FiSize(80, 2, 1, 0));
  FI_HEADER* h = nullptr;
  ASSERT_EQ(FiInit(b.get(), u"SHARED", 0, 80, 2, 1, 0, 0, &h), FI_OK);
  std::vector<FI_HDL*> got(FI_MAX_HDLS);
  for (int i = 0; i < FI_MAX_HDLS; ++i) ASSERT_EQ(FiOpenIndex(h, i, 0, nullptr, 1, &got[i]), FI_OK);
  FI_HDL* x = nullptr;
  EXPECT_EQ(FiOpenIndex(h, 64, 0, nullptr, 1, &x), FI_ENOROOM);
  EXPECT_EQ(h->openCount, 64u);
  FiClearHdl(got[0]);  // releases the slot, the index stays open
  EXPECT_EQ(FiOpenIndex(h, 64, 0, nullptr, 1, &x), FI_OK);
  EXPECT_EQ(h->openCount, 65u);
  EXPECT_EQ(FiCloseIndex(x), FI_OK);
  for (int i = 1; i < FI_MAX_HDLS; ++i) EXPECT_EQ(FiCloseIndex(got[i]), FI_OK);
  EXPECT_EQ(FiISharedInUse(), 0u);
}

// --- Keys --------------------------------------------------------------------

constexpr uint32_t kLen = 3;
struct Item {
  WEQ_UC key[kLen];
  int32_t value;
};

// One open index over an array of items.
struct Index {
  BlockPtr block;
  FI_HEADER* h = nullptr;
  FI_HDL* hdl = nullptr;
  std::vector<Item>* items;

  Index(std::vector<Item>& it, uint32_t keys, uint32_t flags, WEQ_UC wild = u'*') : items(&it) {
    block = NewBlock(FiSize(2, keys, kLen, flags));
    EXPECT_EQ(FiInit(block.get(), u"TEST", flags, 2, keys, kLen, wild, 0, &h), FI_OK);
    EXPECT_EQ(FiOpenIndex(h, 1, FI_MODE_LOCAL, it.data(), kLen, &hdl), FI_OK);
  }
  int32_t Insert(size_t i, uint32_t* leaf = nullptr) {
    uint32_t l = 0;
    int32_t rc = FiInsert(hdl, (*items)[i].key, &(*items)[i].value, &l);
    if (leaf) *leaf = l;
    return rc;
  }
  int32_t Find(size_t i, uint32_t* leaf = nullptr) { return FiLookup(hdl, (*items)[i].key, leaf); }
  int32_t Remove(size_t i) {
    uint32_t l = 0;
    int32_t rc = Find(i, &l);
    return rc == FI_OK ? FiRemove(hdl, l) : rc;
  }
  std::string Check() { return CheckBlock(block.get(), (const WEQ_RAW*)items->data()); }
  const FiEntry* Entry() { return (const FiEntry*)(block.get() + hdl->entry); }
};

std::vector<Item> MakeItems(const std::vector<std::u16string>& keys) {
  std::vector<Item> v;
  for (const std::u16string& k : keys) {
    Item it{};
    for (uint32_t i = 0; i < kLen; ++i) it.key[i] = k[i];
    it.value = (int32_t)v.size();
    v.push_back(it);
  }
  return v;
}

TEST(FiKeys, EdgeCases) {
  // Characters that differ only in their high byte share a slot.
  std::vector<Item> items =
      MakeItems({u"AB\u0043", u"AB\u0143", u"AB\uFF43", u"xyz", u"x*z", u"x\u012Az"});
  Index ix(items, 16, 0);
  uint32_t leaf[8] = {};
  for (size_t i = 0; i < 3; ++i) ASSERT_EQ(ix.Insert(i, &leaf[i]), FI_OK) << i;
  EXPECT_EQ(ix.Check(), "");
  const FiEntry* e = ix.Entry();
  const FiNode* root = At<FiNode>(ix.block.get(), e->root);
  EXPECT_EQ(root->pos, 2u);
  EXPECT_EQ(root->children, 3u);
  // All three in slot 3, told apart by the whole character.
  uint32_t chain = 0;
  for (uint32_t s = root->slot[3]; s != 0; s = At<FiLeaf>(ix.block.get(), s)->nextSlot) ++chain;
  EXPECT_EQ(chain, 3u);
  for (size_t i = 0; i < 3; ++i) {
    uint32_t l = 0;
    EXPECT_EQ(ix.Find(i, &l), FI_OK);
    EXPECT_EQ(l, leaf[i]);
    EXPECT_EQ(*(int32_t*)FiLeafValue(ix.hdl, l), (int32_t)i);
    EXPECT_EQ(FiLeafKey(ix.hdl, l), items[i].key);
  }
  const WEQ_UC absent[kLen] = {u'A', u'B', 0x0243};  // same slot, not present
  EXPECT_EQ(FiLookup(ix.hdl, absent, nullptr), FI_ENOTFOUND);

  // The same key again: 3, the first leaf, the count stays.
  uint32_t l = 0;
  EXPECT_EQ(FiInsert(ix.hdl, items[1].key, &items[1].value, &l), FI_EEXIST);
  EXPECT_EQ(l, leaf[1]);
  EXPECT_EQ(FiKeyCount(ix.hdl), 3u);
  EXPECT_EQ(StackDepth(ix.h->leafBase, ix.h->leafTop), 13u);

  // Wildcard children set the flag of the node that branches on them, and
  // the removal of that child clears it while two children remain.
  uint32_t wildLeaf = 0;
  ASSERT_EQ(ix.Insert(3), FI_OK);
  ASSERT_EQ(ix.Insert(4, &wildLeaf), FI_OK);
  ASSERT_EQ(ix.Insert(5), FI_OK);
  EXPECT_EQ(ix.Check(), "");
  const FiNode* star = At<FiNode>(ix.block.get(), At<FiLeaf>(ix.block.get(), wildLeaf)->parent);
  EXPECT_EQ(star->pos, 1u);
  EXPECT_EQ(star->children, 3u);
  EXPECT_NE(star->flags & FI_NODE_WILD, 0u);
  ASSERT_EQ(ix.Remove(4), FI_OK);
  EXPECT_EQ(star->flags & FI_NODE_WILD, 0u);
  EXPECT_EQ(ix.Check(), "");

  // Removing one of two keys collapses their node: the other leaf is the
  // root and the node is back on its stack.
  std::vector<Item> two = MakeItems({u"abc", u"abd"});
  Index iy(two, 4, 0);
  uint32_t first = 0;
  ASSERT_EQ(iy.Insert(0, &first), FI_OK);
  ASSERT_EQ(iy.Insert(1), FI_OK);
  EXPECT_EQ(StackDepth(iy.h->nodeBase, iy.h->nodeTop), 3u);
  ASSERT_EQ(iy.Remove(1), FI_OK);
  EXPECT_EQ(iy.Entry()->root, first);
  EXPECT_EQ(At<FiLeaf>(iy.block.get(), first)->parent, 0u);
  EXPECT_EQ(StackDepth(iy.h->nodeBase, iy.h->nodeTop), 4u);
  EXPECT_EQ(iy.Check(), "");
  // A leaf removed twice, a free leaf, an offset that is no leaf: 4.
  EXPECT_EQ(FiRemove(iy.hdl, first), FI_OK);
  EXPECT_EQ(FiRemove(iy.hdl, first), FI_ENOTFOUND);
  EXPECT_EQ(FiRemove(iy.hdl, 12345), FI_ENOTFOUND);
  EXPECT_EQ(iy.Find(0), FI_ENOTFOUND);  // empty index
  // A leaf of another index in the same block is not this index's.
  FI_HDL* other = nullptr;
  ASSERT_EQ(FiOpenIndex(iy.h, 2, FI_MODE_LOCAL, two.data(), kLen, &other), FI_OK);
  uint32_t foreign = 0;
  ASSERT_EQ(FiInsert(other, two[0].key, &two[0].value, &foreign), FI_OK);
  ASSERT_EQ(iy.Insert(1), FI_OK);
  EXPECT_EQ(FiRemove(iy.hdl, foreign), FI_ENOTFOUND);
  EXPECT_EQ(FiKeyCount(other), 1u);
  EXPECT_EQ(iy.Check(), "");
  // Keys and values before the base are refused.
  EXPECT_EQ(FiInsert(iy.hdl, two[0].key - 8, &two[0].value, nullptr), FI_EINVAL);
}

TEST(FiKeys, LeafAndNodeExhaustion) {
  // Four keys per first character need three nodes each: with 1000 keys and
  // flags 0 the 600 nodes run out before the leaves.
  std::vector<std::u16string> keys;
  for (char16_t i = 0; i < 250; ++i)
    for (char16_t j = 0; j < 4; ++j) keys.push_back({char16_t(0x100 + i), char16_t(j >> 1), char16_t(j & 1)});
  std::vector<Item> items = MakeItems(keys);
  Index ix(items, 1000, 0);
  ASSERT_EQ(ix.h->nodes, 600u);
  size_t i = 0;
  int32_t rc = FI_OK;
  for (; i < items.size(); ++i)
    if ((rc = ix.Insert(i)) != FI_OK) break;
  EXPECT_EQ(rc, FI_ENOROOM);
  EXPECT_EQ(StackDepth(ix.h->nodeBase, ix.h->nodeTop), 0u);
  EXPECT_EQ(FiKeyCount(ix.hdl), i);
  EXPECT_EQ(StackDepth(ix.h->leafBase, ix.h->leafTop), 1000u - i);  // the leaf went back
  EXPECT_EQ(ix.Find(i), FI_ENOTFOUND);
  EXPECT_EQ(ix.Check(), "");
  for (size_t k = 0; k < i; ++k) EXPECT_EQ(ix.Find(k), FI_OK);
  // Keys that need no node still go in.
  EXPECT_EQ(ix.Remove(0), FI_OK);  // frees a node
  EXPECT_EQ(ix.Insert(i), FI_OK);

  // Leaves run out with one node per key.
  std::vector<Item> few = MakeItems({u"aaa", u"aab", u"aac", u"aad"});
  Index iy(few, 3, FI_FLAG_ALLNODES);
  for (size_t k = 0; k < 3; ++k) ASSERT_EQ(iy.Insert(k), FI_OK);
  EXPECT_EQ(iy.Insert(3), FI_ENOROOM);
  EXPECT_EQ(iy.Check(), "");
  // Closing returns every node and leaf and puts the stack tops back.
  const FI_HEADER start = *iy.h;
  FI_HDL* h = iy.hdl;
  ASSERT_EQ(FiCloseIndex(h), FI_OK);
  EXPECT_EQ(iy.h->leafTop, iy.h->leafBase + 4 + 4 * 3);
  EXPECT_EQ(iy.h->nodeTop, iy.h->nodeBase + 4 + 4 * 3);
  EXPECT_EQ(iy.h->entryTop, start.entryTop + 4);
  EXPECT_EQ(iy.h->openHead, 0u);
}

// The differential run: two indexes in one block with their own key sets,
// against one std::map each; inserts, removes, look-ups, and close and
// reopen, with the structural check after every batch.
TEST(FiKeys, DifferentialAgainstMap) {
  // An alphabet with shared slots (low 4 bits), high-byte twins and the
  // wildcard, over keys of 3 characters.
  const char16_t alpha[] = {0x0041, 0x0141, 0xFF41, 0x4101, 0x002A, 0x012A, 0x0000, 0x0031, 0xFFFF};
  std::vector<std::u16string> all;
  for (char16_t a : alpha)
    for (char16_t b : alpha)
      for (char16_t c : alpha) all.push_back({a, b, c});
  std::vector<Item> items = MakeItems(all);  // 729 keys
  const uint32_t cap = 400;
  BlockPtr block = NewBlock(FiSize(2, cap, kLen, 0));
  FI_HEADER* h = nullptr;
  ASSERT_EQ(FiInit(block.get(), u"DIFF", 0, 2, cap, kLen, u'*', 0, &h), FI_OK);
  FI_HDL* hdl[2] = {};
  for (int k = 0; k < 2; ++k) ASSERT_EQ(FiOpenIndex(h, k, FI_MODE_LOCAL, items.data(), kLen, &hdl[k]), FI_OK);
  std::map<std::u16string, uint32_t> model[2];  // key -> leaf

  std::mt19937 rng(20261207);
  const int ops = 100000 * tovtest::HeavyFactor();
  size_t counts[5] = {};
  for (int op = 0; op < ops; ++op) {
    const int k = rng() & 1;
    const size_t i = rng() % items.size();
    const std::u16string key(items[i].key, kLen);
    auto it = model[k].find(key);
    const unsigned what = rng() % 1000;
    uint32_t leaf = 0;
    if (what < 450) {  // insert
      const int32_t rc = FiInsert(hdl[k], items[i].key, &items[i].value, &leaf);
      // The new leaf is taken first: with none left even a present key
      // gives 2.
      if (model[0].size() + model[1].size() == cap) {
        ASSERT_EQ(rc, FI_ENOROOM) << op;
        ++counts[4];
      } else if (it != model[k].end()) {
        ASSERT_EQ(rc, FI_EEXIST) << op;
        ASSERT_EQ(leaf, it->second) << op;
      } else {
        ASSERT_EQ(rc, FI_OK) << op;
        model[k][key] = leaf;
      }
      ++counts[0];
    } else if (what < 800) {  // remove by the leaf a look-up gives
      const int32_t rc = FiLookup(hdl[k], items[i].key, &leaf);
      if (it == model[k].end()) {
        ASSERT_EQ(rc, FI_ENOTFOUND) << op;
      } else {
        ASSERT_EQ(rc, FI_OK) << op;
        ASSERT_EQ(FiRemove(hdl[k], leaf), FI_OK) << op;
        model[k].erase(it);
      }
      ++counts[1];
    } else if (what < 998) {  // look-up
      const int32_t rc = FiLookup(hdl[k], items[i].key, &leaf);
      ASSERT_EQ(rc, it == model[k].end() ? FI_ENOTFOUND : FI_OK) << op;
      if (rc == FI_OK) {
        ASSERT_EQ(leaf, it->second);
        ASSERT_EQ(*(int32_t*)FiLeafValue(hdl[k], leaf), (int32_t)i);
      }
      ++counts[2];
    } else {  // close and reopen
      const uint32_t entryTop = h->entryTop;
      ASSERT_EQ(FiCloseIndex(hdl[k]), FI_OK);
      ASSERT_EQ(h->entryTop, entryTop + 4);
      model[k].clear();
      ASSERT_EQ(FiOpenIndex(h, k, FI_MODE_LOCAL, items.data(), kLen, &hdl[k]), FI_OK);
      ASSERT_EQ(h->entryTop, entryTop);
      ++counts[3];
    }
    if (op % 1000 == 999) {
      ASSERT_EQ(CheckBlock(block.get(), (const WEQ_RAW*)items.data()), "") << op;
      for (int x = 0; x < 2; ++x) ASSERT_EQ(FiKeyCount(hdl[x]), model[x].size());
    }
  }
  EXPECT_GT(counts[3], 50u);
  EXPECT_GT(counts[4], 100u);  // the leaves ran out now and then
  // Both closed: every stack top back where FiInit left it.
  for (int k = 0; k < 2; ++k) ASSERT_EQ(FiCloseIndex(hdl[k]), FI_OK);
  EXPECT_EQ(StackDepth(h->nodeBase, h->nodeTop), h->nodes);
  EXPECT_EQ(StackDepth(h->leafBase, h->leafTop), cap);
  EXPECT_EQ(StackDepth(h->entryBase, h->entryTop), 2u);
  EXPECT_EQ(CheckBlock(block.get(), nullptr), "");
}

// Descriptor-like keys: a 32-bit number as two characters, as the socket
// select sets keep them.
TEST(FiKeys, DenseNumbersAsTwoCharacters) {
  std::vector<int32_t> fds(3000);
  for (size_t i = 0; i < fds.size(); ++i) fds[i] = (int32_t)(i < 2000 ? i : 65536 * (i - 1999) + 7);
  BlockPtr b = NewBlock(FiSize(1, 3000, 2, 0));
  FI_HEADER* h = nullptr;
  ASSERT_EQ(FiInit(b.get(), u"SISEL", 0, 1, 3000, 2, 0, 0, &h), FI_OK);
  FI_HDL* x = nullptr;
  ASSERT_EQ(FiOpenIndex(h, 0, FI_MODE_LOCAL, fds.data(), 2, &x), FI_OK);
  for (int32_t& fd : fds) ASSERT_EQ(FiInsert(x, (const WEQ_UC*)&fd, &fd, nullptr), FI_OK);
  EXPECT_EQ(CheckBlock(b.get(), (const WEQ_RAW*)fds.data()), "");
  for (int32_t& fd : fds) {
    uint32_t leaf = 0;
    ASSERT_EQ(FiLookup(x, (const WEQ_UC*)&fd, &leaf), FI_OK);
    ASSERT_EQ(FiLeafValue(x, leaf), &fd);
  }
  const int32_t missing = 65536 * 5000 + 7;
  EXPECT_EQ(FiLookup(x, (const WEQ_UC*)&missing, nullptr), FI_ENOTFOUND);
  EXPECT_EQ(FiCloseIndex(x), FI_OK);
}

// --- Fixed table ---------------------------------------------------------------

TEST(FtTable, InitRules) {
  const uint32_t n = 5;
  BlockPtr b = NewBlock(FtSize(n, 4));
  FT_TABLE* t = nullptr;
  EXPECT_EQ(FtInit(b.get(), u"NITAB_FREE", 0, 0, 4, &t), FI_EINVAL);
  EXPECT_EQ(FtInit(b.get() + 4, u"NITAB_FREE", 0, n, 4, &t), FI_EINVAL);
  EXPECT_EQ(FtInit(b.get(), u"NITAB_FREE", FT_FLAG_ATTACH, n, 4, &t), FI_ENOTFOUND);
  EXPECT_EQ(t, (FT_TABLE*)b.get());
  ASSERT_EQ(FtInit(b.get(), u"NITAB_FREE", 0, n, 4, &t), FI_OK);
  // The layout: stride 32, data of element i at 80 + 32 i, free chain in order.
  EXPECT_EQ(t->stride, 32u);
  EXPECT_EQ(t->freeHead, 64u);
  EXPECT_EQ(t->dataStart, 80u);
  for (uint32_t i = 0; i < n; ++i) {
    EXPECT_EQ((uint8_t*)FtElem(t, i) - b.get(), 80 + 32 * i);
    const FtElemHdr* e = At<FtElemHdr>(b.get(), 64 + 32 * i);
    EXPECT_EQ(e->prev, FT_FREE_MARK);
    EXPECT_EQ(e->next, i + 1 < n ? 64 + 32 * (i + 1) : 0u);
  }
  uint32_t idx = 99;
  void* data = nullptr;
  ASSERT_EQ(FtTake(t, &idx, &data), FI_OK);
  EXPECT_EQ(idx, 0u);
  EXPECT_EQ(FtInit(b.get(), u"NITAB_FREE", FT_FLAG_ATTACH, n, 4, &t), FI_EINIT);
  EXPECT_EQ(FtInit(b.get(), u"NITAB_FREE", 0, n, 4, &t), FI_EINIT);
  EXPECT_EQ(t->usedHead, 64u);  // unchanged
  FtResetName(b.get());
  EXPECT_EQ(tovtest::Show(std::u16string(t->name, FI_NAME_LEN)), std::string(16, ' '));
  ASSERT_EQ(FtInit(b.get(), u"NITAB_FREE", 0, n, 4, &t), FI_OK);
  EXPECT_EQ(t->usedHead, 0u);
  EXPECT_EQ(FtGive(t, 0), FI_ENOTFOUND);
  EXPECT_EQ(FtGive(t, n), FI_EINVAL);
  EXPECT_EQ(FtElem(t, n), nullptr);
}

TEST(FtTable, TakeAndGiveAgainstModel) {
  for (uint32_t n : {1u, 2u, 7u, 300u}) {
    SCOPED_TRACE(n);
    BlockPtr b = NewBlock(FtSize(n, 12));
    FT_TABLE* t = nullptr;
    ASSERT_EQ(FtInit(b.get(), u"SISEL", 0, n, 12, &t), FI_OK);
    std::vector<uint32_t> freeStack;  // back = head
    for (uint32_t i = n; i-- > 0;) freeStack.push_back(i);
    std::vector<uint32_t> used;  // front = head
    std::mt19937 rng(n);
    auto off = [&](uint32_t i) { return 64 + i * t->stride; };
    for (int op = 0; op < 4000; ++op) {
      if (rng() % 2 == 0) {
        uint32_t i = 0;
        void* data = nullptr;
        const int32_t rc = FtTake(t, &i, &data);
        if (freeStack.empty()) {
          ASSERT_EQ(rc, FI_ENOROOM);
          continue;
        }
        ASSERT_EQ(rc, FI_OK);
        ASSERT_EQ(i, freeStack.back());
        ASSERT_EQ(data, FtElem(t, i));
        memset(data, 0xA5, 12);  // data never touches a header
        freeStack.pop_back();
        used.insert(used.begin(), i);
      } else {
        const uint32_t i = rng() % n;
        const bool isUsed = std::find(used.begin(), used.end(), i) != used.end();
        ASSERT_EQ(FtGive(t, i), isUsed ? FI_OK : FI_ENOTFOUND);
        if (isUsed) {
          used.erase(std::find(used.begin(), used.end(), i));
          freeStack.push_back(i);
        }
      }
      // Both lists as the model has them, with their back links.
      uint32_t at = t->freeHead;
      for (size_t k = freeStack.size(); k-- > 0;) {
        ASSERT_EQ(at, off(freeStack[k]));
        ASSERT_EQ(At<FtElemHdr>(b.get(), at)->prev, FT_FREE_MARK);
        at = At<FtElemHdr>(b.get(), at)->next;
      }
      ASSERT_EQ(at, 0u);
      at = t->usedHead;
      uint32_t prev = 0;
      for (uint32_t u : used) {
        ASSERT_EQ(at, off(u));
        ASSERT_EQ(At<FtElemHdr>(b.get(), at)->prev, prev);
        prev = at;
        at = At<FtElemHdr>(b.get(), at)->next;
      }
      ASSERT_EQ(at, 0u);
    }
  }
}

}  // namespace
