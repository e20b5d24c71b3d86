// Fast index: radix trees over fixed-length 16-bit keys in one block.
//
// A tree node branches on one key position; its children hang in 16 slot
// chains by the low 4 bits of their branch character and in one sibling list.
// Positions grow strictly from the root down, and all keys under a node agree
// on every character before its position, so a look-up reads each key
// character at most once and compares the whole key only at the leaf.
#include <stddef.h>
#include <string.h>

#include "krn/fi/fi.h"
#include "krn/fi/fi_int.h"
#include "krn/thr/thr.h"

namespace {

// The process-wide handle slots and the lock over taking and releasing
// them. A leaf lock: nothing else is called while it is held.
FI_HDL g_sharedSlots[FI_MAX_HDLS];
ThrCS g_sharedLock;  // "FI handle section"

struct Block {
  uint8_t* p;

  explicit Block(const FI_HEADER* h) : p((uint8_t*)h) {}
  FI_HEADER* h() const { return (FI_HEADER*)p; }
  template <class T>
  T* at(uint32_t off) const {
    return (T*)(p + off);
  }
  uint32_t& word(uint32_t off) const { return *at<uint32_t>(off); }
  FiNode* node(uint32_t off) const { return at<FiNode>(off); }
  FiLeaf* leaf(uint32_t off) const { return at<FiLeaf>(off); }
  FiEntry* entry(uint32_t off) const { return at<FiEntry>(off); }
  bool isLeaf(uint32_t off) const { return word(off) == FI_LEAF_MARK; }

  // A stack is a zero word followed by offsets; top is one past the last.
  uint32_t pop(uint32_t& top) const {
    top -= 4;
    const uint32_t v = word(top);
    if (v == 0) top += 4;
    return v;
  }
  void push(uint32_t& top, uint32_t v) const {
    word(top) = v;
    top += 4;
  }

  // The link fields that nodes and leaves share, at their own places.
  struct Links {
    uint16_t* ch;
    uint32_t* parent;
    uint32_t* nextSib;
    uint32_t* prevSib;
    uint32_t* nextSlot;
  };
  Links links(uint32_t off) const {
    if (isLeaf(off)) {
      FiLeaf* l = leaf(off);
      return {&l->ch, &l->parent, &l->nextSib, &l->prevSib, &l->nextSlot};
    }
    FiNode* n = node(off);
    return {&n->ch, &n->parent, &n->nextSib, &n->prevSib, &n->nextSlot};
  }

  // The child of node n reached by character c, or 0. The hot loop of
  // every look-up: the field places are chosen without a branch.
  uint32_t child(const FiNode* n, WEQ_UC c) const {
    uint32_t off = n->slot[c & 15];
    while (off != 0) {
      const uint8_t* q = p + off;
      const bool leaf = *(const uint32_t*)q == FI_LEAF_MARK;
      const uint16_t ch = *(const uint16_t*)(q + (leaf ? offsetof(FiLeaf, ch) : offsetof(FiNode, ch)));
      if (ch == c) return off;
      off = *(const uint32_t*)(q + (leaf ? offsetof(FiLeaf, nextSlot) : offsetof(FiNode, nextSlot)));
    }
    return 0;
  }

  // Hangs child under node n by character c, at the head of its slot chain
  // and of the sibling list.
  void attach(uint32_t n, uint32_t c, WEQ_UC ch) const {
    FiNode* pn = node(n);
    Links k = links(c);
    *k.ch = ch;
    *k.parent = n;
    *k.nextSlot = pn->slot[ch & 15];
    pn->slot[ch & 15] = c;
    *k.prevSib = 0;
    *k.nextSib = pn->firstChild;
    if (pn->firstChild != 0) *links(pn->firstChild).prevSib = c;
    pn->firstChild = c;
  }

  // Takes child c (reached by its own character) out of node n's slot chain
  // and sibling list; false when it is not in the chain.
  bool detach(uint32_t n, uint32_t c) const {
    FiNode* pn = node(n);
    Links k = links(c);
    uint32_t* link = &pn->slot[*k.ch & 15];
    while (*link != 0 && *link != c) link = links(*link).nextSlot;
    if (*link == 0) return false;
    *link = *k.nextSlot;
    if (*k.prevSib != 0)
      *links(*k.prevSib).nextSib = *k.nextSib;
    else
      pn->firstChild = *k.nextSib;
    if (*k.nextSib != 0) *links(*k.nextSib).prevSib = *k.prevSib;
    *k.nextSlot = *k.nextSib = *k.prevSib = 0;
    return true;
  }

  void freeNode(uint32_t off) const {
    memset(node(off), 0, sizeof(FiNode));
    push(h()->nodeTop, off);
  }
  void freeLeaf(uint32_t off) const {
    memset(leaf(off), 0, sizeof(FiLeaf));
    push(h()->leafTop, off);
  }
};

bool SameName(const WEQ_UC* stored, const WEQ_UC* name) {
  WEQ_UC padded[FI_NAME_LEN];
  FiIPadName(padded, name);
  return memcmp(stored, padded, sizeof padded) == 0;
}

// Keys are short: a loop beats a call to memcmp.
inline bool SameKey(const WEQ_UC* a, const WEQ_UC* b, uint32_t len) {
  for (uint32_t i = 0; i < len; ++i)
    if (a[i] != b[i]) return false;
  return true;
}

// A taken handle slot.
bool SlotOk(const FI_HDL* hdl) {
  return hdl != nullptr && hdl->inUse == 1 && hdl->block != nullptr && hdl->entry != 0;
}

// Validates a handle: taken, and naming an index entry that is still open
// under its id (a closed entry is all zero; an open one has a key length).
bool HdlOk(const FI_HDL* hdl) {
  if (!SlotOk(hdl)) return false;
  const FiEntry* e = (const FiEntry*)((const uint8_t*)hdl->block + hdl->entry);
  return e->keyLen != 0 && e->id == hdl->id;
}

const WEQ_UC* KeyAt(const FI_HDL* hdl, const FiLeaf* l) {
  return (const WEQ_UC*)(hdl->base + l->keyOff);
}

// Offset of p from the handle's base, or false when it lies before it or
// beyond the 32-bit range.
bool OffsetFrom(const FI_HDL* hdl, const void* p, uint32_t* off) {
  const uintptr_t b = (uintptr_t)hdl->base;
  const uintptr_t v = (uintptr_t)p;
  if (p == nullptr || v < b || v - b > UINT32_MAX) return false;
  *off = (uint32_t)(v - b);
  return true;
}

FI_HDL* TakeLocalSlot(FI_HEADER* h) {
  for (FI_HDL& s : h->slots)
    if (s.inUse == 0) {
      s.inUse = 1;
      return &s;
    }
  return nullptr;
}

FI_HDL* TakeSharedSlot() {
  FI_HDL* got = nullptr;
  ThrCSLock(&g_sharedLock);
  for (FI_HDL& s : g_sharedSlots)
    if (s.inUse == 0) {
      s.inUse = 1;
      got = &s;
      break;
    }
  ThrCSUnlock(&g_sharedLock);
  return got;
}

void ReleaseSlot(FI_HDL* hdl) {
  if (FiIIsSharedHdl(hdl)) {
    ThrCSLock(&g_sharedLock);
    memset(hdl, 0, sizeof *hdl);
    ThrCSUnlock(&g_sharedLock);
  } else {
    memset(hdl, 0, sizeof *hdl);
  }
}

// The open index entry with this id, or 0.
uint32_t FindOpen(const Block& b, int32_t id) {
  for (uint32_t e = b.h()->openHead; e != 0; e = b.entry(e)->next)
    if (b.entry(e)->id == id) return e;
  return 0;
}

}  // namespace

bool FiIIsSharedHdl(const FI_HDL* hdl) {
  return hdl >= g_sharedSlots && hdl < g_sharedSlots + FI_MAX_HDLS;
}

uint32_t FiISharedInUse(void) {
  uint32_t n = 0;
  ThrCSLock(&g_sharedLock);
  for (const FI_HDL& s : g_sharedSlots) n += s.inUse != 0;
  ThrCSUnlock(&g_sharedLock);
  return n;
}

size_t FiSize(uint32_t entries, uint32_t keys, uint32_t /*keyLen*/, uint32_t flags) {
  const FiLayout l = FiComputeLayout(entries, keys, flags);
  return l.total > UINT32_MAX ? 0 : (size_t)l.total;
}

int32_t FiInit(void* block, const WEQ_UC* name, uint32_t flags, uint32_t entries, uint32_t keys,
               uint32_t keyLen, WEQ_UC wildcard, WEQ_UC special, FI_HEADER** header) {
  if (block == nullptr || ((uintptr_t)block & 15) != 0 || keys < 2 || keyLen == 0 ||
      (flags != 0 && (flags & FI_FLAG_ALLNODES) == 0))
    return FI_EINVAL;
  const FiLayout l = FiComputeLayout(entries, keys, flags);
  if (l.total > UINT32_MAX) return FI_EINVAL;
  FI_HEADER* h = (FI_HEADER*)block;
  if (header != nullptr) *header = h;
  if (SameName(h->name, name)) return FI_EINIT;

  memset(h, 0, sizeof *h);
  FiIPadName(h->name, name);
  h->wildcard = wildcard;
  h->special = special;
  h->entries = entries;
  h->keys = keys;
  h->keyLen = keyLen;
  h->nodes = FiNodeCount(keys, flags);
  h->flags = flags;
  h->entryBase = l.entryBase;
  h->nodeBase = l.nodeBase;
  h->leafBase = l.leafBase;
  h->scratch = l.scratch;

  Block b(h);
  // Each stack: its zero word, then the offsets so that the first element
  // is popped first.
  auto fill = [&](uint32_t base, uint32_t area, uint32_t n, uint32_t size, uint32_t& top) {
    b.word(base) = 0;
    top = base + 4;
    memset(b.p + area, 0, (size_t)n * size);
    for (uint32_t i = n; i-- > 0;) b.push(top, area + i * size);
  };
  fill(l.entryBase, l.entryArea, entries, sizeof(FiEntry), h->entryTop);
  fill(l.nodeBase, l.nodeArea, h->nodes, sizeof(FiNode), h->nodeTop);
  fill(l.leafBase, l.leafArea, keys, sizeof(FiLeaf), h->leafTop);
  return FI_OK;
}

int32_t FiOpenIndex(FI_HEADER* header, int32_t id, uint32_t mode, const void* base,
                    uint32_t keyLen, FI_HDL** hdl) {
  if (header == nullptr || hdl == nullptr || keyLen == 0) return FI_EINVAL;
  FI_HDL* slot = mode == FI_MODE_LOCAL ? TakeLocalSlot(header) : TakeSharedSlot();
  if (slot == nullptr) return FI_ENOROOM;
  Block b(header);
  slot->id = id;
  slot->block = header;
  slot->base = (const WEQ_RAW*)base;

  if (uint32_t open = FindOpen(b, id); open != 0) {
    slot->entry = open;
    *hdl = slot;
    return FI_EINIT;
  }
  const uint32_t e = b.pop(header->entryTop);
  if (e == 0) {
    ReleaseSlot(slot);
    return FI_ENOROOM;
  }
  FiEntry* pe = b.entry(e);
  *pe = FiEntry{};
  pe->id = id;
  pe->keyLen = keyLen;
  pe->next = header->openHead;
  if (header->openHead != 0) b.entry(header->openHead)->prev = e;
  header->openHead = e;
  header->openCount++;
  slot->entry = e;
  *hdl = slot;
  return FI_OK;
}

int32_t FiCloseIndex(FI_HDL* hdl) {
  if (!SlotOk(hdl)) return FI_EINVAL;
  Block b(hdl->block);
  FI_HEADER* h = b.h();
  const uint32_t e = FindOpen(b, hdl->id);
  if (e == 0) return FI_ENOTFOUND;
  FiEntry* pe = b.entry(e);

  // Depth-first walk with the scratch stack: every node and leaf of the
  // tree is on it at most once, and the tree holds at most 2 x keys - 1.
  uint32_t top = h->scratch;
  if (pe->root != 0) b.push(top, pe->root);
  while (top != h->scratch) {
    top -= 4;
    const uint32_t off = b.word(top);
    if (b.isLeaf(off)) {
      b.freeLeaf(off);
      continue;
    }
    for (uint32_t c = b.node(off)->firstChild; c != 0; c = *b.links(c).nextSib) b.push(top, c);
    b.freeNode(off);
  }

  if (pe->prev != 0)
    b.entry(pe->prev)->next = pe->next;
  else
    h->openHead = pe->next;
  if (pe->next != 0) b.entry(pe->next)->prev = pe->prev;
  *pe = FiEntry{};
  b.push(h->entryTop, e);
  h->openCount--;
  ReleaseSlot(hdl);
  return FI_OK;
}

int32_t FiLookup(FI_HDL* hdl, const WEQ_UC* key, uint32_t* leaf) {
  if (!HdlOk(hdl) || key == nullptr) return FI_EINVAL;
  Block b(hdl->block);
  const FiEntry* pe = b.entry(hdl->entry);
  uint32_t off = pe->root;
  if (off == 0) return FI_ENOTFOUND;
  while (!b.isLeaf(off)) {
    const FiNode* n = b.node(off);
    off = b.child(n, key[n->pos]);
    if (off == 0) return FI_ENOTFOUND;
  }
  if (!SameKey(KeyAt(hdl, b.leaf(off)), key, pe->keyLen)) return FI_ENOTFOUND;
  if (leaf != nullptr) *leaf = off;
  return FI_OK;
}

int32_t FiInsert(FI_HDL* hdl, const WEQ_UC* key, const void* value, uint32_t* leaf) {
  uint32_t keyOff, valueOff;
  if (!HdlOk(hdl) || !OffsetFrom(hdl, key, &keyOff) || !OffsetFrom(hdl, value, &valueOff))
    return FI_EINVAL;
  Block b(hdl->block);
  FI_HEADER* h = b.h();
  FiEntry* pe = b.entry(hdl->entry);
  const uint32_t len = pe->keyLen;

  const uint32_t nl = b.pop(h->leafTop);
  if (nl == 0) return FI_ENOROOM;
  FiLeaf* l = b.leaf(nl);
  *l = FiLeaf{};
  l->mark = FI_LEAF_MARK;
  l->keyOff = keyOff;
  l->valueOff = valueOff;

  if (pe->root == 0) {
    pe->root = nl;
    pe->keyCount++;
    if (leaf != nullptr) *leaf = nl;
    return FI_OK;
  }

  // Down to some leaf that shares the longest possible prefix with the key.
  uint32_t off = pe->root;
  while (!b.isLeaf(off)) {
    const FiNode* n = b.node(off);
    const uint32_t c = b.child(n, key[n->pos]);
    off = c != 0 ? c : n->firstChild;
  }
  const WEQ_UC* other = KeyAt(hdl, b.leaf(off));
  uint32_t d = 0;
  while (d < len && other[d] == key[d]) ++d;
  if (d == len) {
    b.freeLeaf(nl);
    if (leaf != nullptr) *leaf = off;
    return FI_EEXIST;
  }

  // The deepest node on the path that branches at or before d, and its
  // child on the path.
  uint32_t below = off;
  uint32_t up = *b.links(off).parent;
  while (up != 0 && b.node(up)->pos > d) {
    below = up;
    up = b.node(up)->parent;
  }
  const WEQ_UC wild = h->wildcard;
  if (up != 0 && b.node(up)->pos == d) {
    b.attach(up, nl, key[d]);
    FiNode* n = b.node(up);
    n->children++;
    if (key[d] == wild) n->flags |= FI_NODE_WILD;
  } else {
    const uint32_t nn = b.pop(h->nodeTop);
    if (nn == 0) {
      b.freeLeaf(nl);
      return FI_ENOROOM;
    }
    FiNode* n = b.node(nn);
    *n = FiNode{};
    n->pos = d;
    if (up != 0) {
      const WEQ_UC ch = *b.links(below).ch;
      b.detach(up, below);
      b.attach(up, nn, ch);
    } else {
      pe->root = nn;
    }
    b.attach(nn, below, other[d]);
    b.attach(nn, nl, key[d]);
    n->children = 2;
    if (other[d] == wild || key[d] == wild) n->flags |= FI_NODE_WILD;
  }
  pe->keyCount++;
  if (leaf != nullptr) *leaf = nl;
  return FI_OK;
}

int32_t FiRemove(FI_HDL* hdl, uint32_t leaf) {
  if (!HdlOk(hdl)) return FI_EINVAL;
  Block b(hdl->block);
  FI_HEADER* h = b.h();
  FiEntry* pe = b.entry(hdl->entry);
  const FiLayout lay = FiComputeLayout(h->entries, h->keys, h->flags);
  if (leaf < lay.leafArea || leaf >= lay.scratch || (leaf - lay.leafArea) % sizeof(FiLeaf) != 0 ||
      !b.isLeaf(leaf))
    return FI_ENOTFOUND;
  // The leaf must hang in this index's tree: its chain of parents ends at
  // the root (at most key length + 1 steps).
  uint32_t top = leaf;
  for (uint32_t steps = 0; *b.links(top).parent != 0; ++steps) {
    if (steps > pe->keyLen) return FI_ENOTFOUND;
    top = *b.links(top).parent;
  }
  if (top != pe->root) return FI_ENOTFOUND;

  FiLeaf* l = b.leaf(leaf);
  const uint32_t p = l->parent;
  if (p == 0) {
    pe->root = 0;
  } else {
    const WEQ_UC ch = l->ch;
    if (!b.detach(p, leaf)) return FI_ENOTFOUND;
    FiNode* pn = b.node(p);
    pn->children--;
    if (pn->children < 2) {
      // The one child left takes the node's place.
      const uint32_t rest = pn->firstChild;
      const uint32_t g = pn->parent;
      const WEQ_UC pch = pn->ch;
      b.detach(p, rest);
      if (g != 0) {
        b.detach(g, p);
        b.attach(g, rest, pch);
      } else {
        pe->root = rest;
        Block::Links k = b.links(rest);
        *k.parent = *k.nextSib = *k.prevSib = *k.nextSlot = 0;
        *k.ch = 0;
      }
      b.freeNode(p);
    } else if (ch == h->wildcard) {
      pn->flags &= ~FI_NODE_WILD;
    }
  }
  b.freeLeaf(leaf);
  pe->keyCount--;
  return FI_OK;
}

void* FiLeafValue(const FI_HDL* hdl, uint32_t leaf) {
  if (!HdlOk(hdl) || leaf == 0) return nullptr;
  return (void*)(hdl->base + Block(hdl->block).leaf(leaf)->valueOff);
}

const WEQ_UC* FiLeafKey(const FI_HDL* hdl, uint32_t leaf) {
  if (!HdlOk(hdl) || leaf == 0) return nullptr;
  return KeyAt(hdl, Block(hdl->block).leaf(leaf));
}

uint32_t FiKeyCount(const FI_HDL* hdl) {
  return HdlOk(hdl) ? Block(hdl->block).entry(hdl->entry)->keyCount : 0;
}

void FiClearHdl(FI_HDL* hdl) {
  if (hdl != nullptr) ReleaseSlot(hdl);
}
