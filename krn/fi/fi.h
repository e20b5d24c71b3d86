// Fast index (FI) and fixed table (FT): two containers that live wholly
// inside one memory block the caller supplies and refer to their own parts
// only by 32-bit offsets from the block's start, so a block does not depend
// on where it lies.
//
// FI: a set of keyed indexes in one block. Each index is a radix tree over
// keys of a fixed number of 16-bit characters and maps a key to a caller
// value. Keys and values are not copied: an index keeps their offsets from
// the base pointer given when it is opened, so they must stay where they are
// and keep their contents while they are in the index. The block holds a
// fixed number of index entries, tree nodes and leaves, set at FiInit;
// nothing is allocated afterwards and every step is bounded by the key
// length (apart from the search of one parent's slot chain, which grows with
// the children that share the low 4 bits of a branch character).
//
// FT: a table of equal-sized elements, free ones chained in a free list and
// taken ones in a used list.
//
// Both blocks carry a 16-character blank-padded name; FiInit and FtInit
// recognise a block that already carries the name and leave it alone, so a
// block taken fresh from the allocator must be zeroed before its first
// initialisation.
//
// Locking: neither container locks; users serialise all calls on one block.
// The one shared structure, the 64 process-wide index handle slots that
// FiOpenIndex uses outside mode FI_MODE_LOCAL, is guarded by its own leaf
// lock ("FI handle section"), taken only while a slot is taken or released.
#ifndef KRN_FI_FI_H
#define KRN_FI_FI_H

#include <stddef.h>
#include <stdint.h>

#include "weq_types.h"

// Results of the FI and FT operations.
enum : int32_t {
  FI_OK = 0,
  FI_ENOROOM = 2,    // no free handle slot, index entry, node, leaf or element
  FI_EEXIST = 3,     // key already present
  FI_ENOTFOUND = 4,  // no such key, leaf or index; FtInit: attach-only block unnamed
  FI_EINVAL = 6,     // invalid argument
  FI_EINIT = 8,      // block already set up, or index already open
};

#define FI_NAME_LEN 16        // characters of a block name
#define FI_MAX_HDLS 64        // handle slots, in each block and process-wide
#define FI_FLAG_ALLNODES 2u   // FiInit: one tree node per key, whatever the count
#define FI_MODE_LOCAL 4u      // FiOpenIndex: take the handle from the block's slots
#define FT_FLAG_ATTACH 8u     // FtInit: attach to an existing table only

typedef struct FI_HEADER FI_HEADER;  // an initialised FI block
typedef struct FT_TABLE FT_TABLE;    // an initialised FT block

// An index handle: 32 bytes, one of the block's or one of the process-wide
// slots. All zero when free.
typedef struct FI_HDL {
  int32_t id;          // index id
  uint32_t reserved;
  FI_HEADER* block;    // the FI block
  const WEQ_RAW* base; // key and value offsets are taken from here
  uint32_t entry;      // block offset of the index entry
  uint32_t inUse;      // 1 while the slot is taken
} FI_HDL;

// --- FI ----------------------------------------------------------------------

// Bytes of a block for that many index entries and keys; flags as FiInit.
// 0 when the size does not fit the 32-bit offsets.
size_t FiSize(uint32_t entries, uint32_t keys, uint32_t keyLen, uint32_t flags);

// Sets up the block (aligned to 16 bytes, FiSize bytes long) and points
// *header at it. 6: misaligned or null block, fewer than 2 keys, key length
// 0, flags neither 0 nor containing FI_FLAG_ALLNODES, or a size beyond the
// offsets. 8: the block already carries the name (cut to 16 characters and
// blank-padded); nothing is changed then, but *header is set.
int32_t FiInit(void* block, const WEQ_UC* name, uint32_t flags, uint32_t entries, uint32_t keys,
               uint32_t keyLen, WEQ_UC wildcard, WEQ_UC special, FI_HEADER** header);

// Opens index id with keys of keyLen characters, keys and values being taken
// relative to base. The handle comes from the block's own slots with mode
// FI_MODE_LOCAL, else from the process-wide slots. 2: no free slot or index
// entry. 8: an index with this id is open; *hdl then refers to it.
int32_t FiOpenIndex(FI_HEADER* header, int32_t id, uint32_t mode, const void* base,
                    uint32_t keyLen, FI_HDL** hdl);

// Empties and closes the index and releases the handle's slot. 6: null or
// free handle; 4: the index is not open.
int32_t FiCloseIndex(FI_HDL* hdl);

// Inserts key (keyLen characters at or after base) with value (at or after
// base). 0 and the new leaf; 3 and the leaf of the present key; 2 no leaf
// or node left (the index is unchanged); 6 bad handle or pointers.
int32_t FiInsert(FI_HDL* hdl, const WEQ_UC* key, const void* value, uint32_t* leaf);

// Removes the key of a leaf that FiInsert or FiLookup gave. 4: not a leaf of
// this index.
int32_t FiRemove(FI_HDL* hdl, uint32_t leaf);

// Finds key: 0 and its leaf, or 4 (also for an empty index).
int32_t FiLookup(FI_HDL* hdl, const WEQ_UC* key, uint32_t* leaf);

// The value and the key of a leaf of the handle's index.
void* FiLeafValue(const FI_HDL* hdl, uint32_t leaf);
const WEQ_UC* FiLeafKey(const FI_HDL* hdl, uint32_t leaf);

// Keys in the handle's index.
uint32_t FiKeyCount(const FI_HDL* hdl);

// Sets the 32-byte handle to zero, which releases its slot without closing
// the index.
void FiClearHdl(FI_HDL* hdl);

// --- FT ----------------------------------------------------------------------

// Bytes of a table of n elements of elemSize bytes; 0 when beyond the
// 32-bit offsets.
size_t FtSize(uint32_t n, uint32_t elemSize);

// Sets up the table in block (aligned to 16 bytes, FtSize bytes) and points
// *table at it. 6: fewer than 1 element, null or misaligned block, size
// beyond the offsets. 8: the block carries the name already (unchanged).
// With FT_FLAG_ATTACH a block without the name gives 4 and stays as it is.
int32_t FtInit(void* block, const WEQ_UC* name, uint32_t flags, uint32_t n, uint32_t elemSize,
               FT_TABLE** table);

// Takes the head of the free list into the used list: 0 with its index and
// data, 2 when none is free.
int32_t FtTake(FT_TABLE* table, uint32_t* index, void** data);

// Gives element index back to the free list: 6 out of range, 4 already free.
int32_t FtGive(FT_TABLE* table, uint32_t index);

// Element index's data (taken or free); NULL out of range.
void* FtElem(FT_TABLE* table, uint32_t index);

// Sets the block's name to 16 blanks, so that the next FtInit sets it up anew.
void FtResetName(void* block);

#endif
