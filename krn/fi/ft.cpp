// Fixed table: equal-sized elements in one block, each behind a 16-byte
// header that chains it into the free list or the doubly linked used list.
#include <string.h>

#include "krn/fi/fi.h"
#include "krn/fi/fi_int.h"

namespace {

constexpr uint32_t kFirst = sizeof(FT_TABLE);  // first element header

FtElemHdr* Hdr(FT_TABLE* t, uint32_t off) { return (FtElemHdr*)((uint8_t*)t + off); }

uint64_t Total(uint32_t n, uint32_t elemSize) {
  return (uint64_t)n * (FiAlign16(elemSize) + 16ull) + sizeof(FT_TABLE);
}

}  // namespace

size_t FtSize(uint32_t n, uint32_t elemSize) {
  const uint64_t t = Total(n, elemSize);
  return t > UINT32_MAX ? 0 : (size_t)t;
}

int32_t FtInit(void* block, const WEQ_UC* name, uint32_t flags, uint32_t n, uint32_t elemSize,
               FT_TABLE** table) {
  if (n < 1 || block == nullptr || ((uintptr_t)block & 15) != 0 || Total(n, elemSize) > UINT32_MAX)
    return FI_EINVAL;
  FT_TABLE* t = (FT_TABLE*)block;
  if (table != nullptr) *table = t;
  WEQ_UC padded[FI_NAME_LEN];
  FiIPadName(padded, name);
  if (memcmp(t->name, padded, sizeof padded) == 0) return FI_EINIT;
  if (flags & FT_FLAG_ATTACH) return FI_ENOTFOUND;

  memset(t, 0, sizeof *t);
  memcpy(t->name, padded, sizeof padded);
  t->count = n;
  t->stride = FiAlign16(elemSize) + 16;
  t->elemSize = elemSize;
  t->dataStart = kFirst + 16;
  t->usedHead = 0;
  t->freeHead = kFirst;
  for (uint32_t i = 0; i < n; ++i) {
    FtElemHdr* e = Hdr(t, kFirst + i * t->stride);
    *e = FtElemHdr{};
    e->prev = FT_FREE_MARK;
    e->next = i + 1 < n ? kFirst + (i + 1) * t->stride : 0;
  }
  return FI_OK;
}

int32_t FtTake(FT_TABLE* t, uint32_t* index, void** data) {
  if (t == nullptr) return FI_EINVAL;
  const uint32_t off = t->freeHead;
  if (off == 0) return FI_ENOROOM;
  FtElemHdr* e = Hdr(t, off);
  t->freeHead = e->next;
  e->prev = 0;
  e->next = t->usedHead;
  if (t->usedHead != 0) Hdr(t, t->usedHead)->prev = off;
  t->usedHead = off;
  if (index != nullptr) *index = (off - kFirst) / t->stride;
  if (data != nullptr) *data = (uint8_t*)e + 16;
  return FI_OK;
}

int32_t FtGive(FT_TABLE* t, uint32_t index) {
  if (t == nullptr || index >= t->count) return FI_EINVAL;
  const uint32_t off = kFirst + index * t->stride;
  FtElemHdr* e = Hdr(t, off);
  if (e->prev == FT_FREE_MARK) return FI_ENOTFOUND;
  if (e->prev != 0)
    Hdr(t, e->prev)->next = e->next;
  else
    t->usedHead = e->next;
  if (e->next != 0) Hdr(t, e->next)->prev = e->prev;
  e->prev = FT_FREE_MARK;
  e->next = t->freeHead;
  t->freeHead = off;
  return FI_OK;
}

void* FtElem(FT_TABLE* t, uint32_t index) {
  if (t == nullptr || index >= t->count) return nullptr;
  return (uint8_t*)t + t->dataStart + (size_t)index * t->stride;
}

void FtResetName(void* block) {
  if (block == nullptr) return;
  WEQ_UC* name = ((FT_TABLE*)block)->name;
  for (size_t i = 0; i < FI_NAME_LEN; ++i) name[i] = u' ';
}
