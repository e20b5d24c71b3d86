// The fast index and the fixed table driven by arbitrary operation
// streams: inserts, removals (also of arbitrary leaf offsets), look-ups,
// close and reopen on two indexes of one small block, checked against
// std::map; and takes and gives of arbitrary table elements. Any
// disagreement aborts.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <map>
#include <set>

#include "krn/fi/fi.h"

namespace {

constexpr uint32_t kKeys = 40;  // leaves: the block runs out now and then
constexpr uint32_t kPool = 256;

struct Item {
  WEQ_UC key[2];
  int32_t value;
};

void Check(bool ok) {
  if (!ok) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Item items[kPool];
  for (uint32_t i = 0; i < kPool; ++i) {
    // Distinct keys: the low 4 bits pick the slot, bits 4-5 the high byte
    // of the same character, bits 6-7 the second character (3: wildcard).
    items[i].key[0] = (WEQ_UC)((i & 0x0F) | ((i >> 4) & 3) << 12);
    items[i].key[1] = (WEQ_UC)(((i >> 6) & 3) == 3 ? u'*' : (i >> 6) & 3);
    items[i].value = (int32_t)i;
  }
  alignas(16) static uint8_t block[1 << 16];
  const size_t need = FiSize(2, kKeys, 2, 0);
  Check(need <= sizeof block);
  memset(block, 0, need);
  FI_HEADER* h = nullptr;
  Check(FiInit(block, u"FUZZ", 0, 2, kKeys, 2, u'*', 0, &h) == FI_OK);
  FI_HDL* hdl[2] = {};
  for (int k = 0; k < 2; ++k) Check(FiOpenIndex(h, k, FI_MODE_LOCAL, items, 2, &hdl[k]) == FI_OK);
  std::map<uint32_t, uint32_t> model[2];  // item -> leaf

  alignas(16) static uint8_t table[4096];
  const uint32_t nElems = 20;
  memset(table, 0, FtSize(nElems, 8));
  FT_TABLE* t = nullptr;
  Check(FtInit(table, u"FUZZ", 0, nElems, 8, &t) == FI_OK);
  std::set<uint32_t> taken;

  for (size_t at = 0; at + 1 < size; at += 2) {
    const uint8_t op = data[at], arg = data[at + 1];
    const int k = op & 1;
    Item& it = items[arg];
    auto m = model[k].find(arg);
    uint32_t leaf = 0;
    switch ((op >> 1) % 7) {
      case 0: {
        const int32_t rc = FiInsert(hdl[k], it.key, &it.value, &leaf);
        if (model[0].size() + model[1].size() == kKeys) {
          Check(rc == FI_ENOROOM);
        } else if (m != model[k].end()) {
          Check(rc == FI_EEXIST && leaf == m->second);
        } else {
          Check(rc == FI_OK);
          model[k][arg] = leaf;
        }
        break;
      }
      case 1:
        if (m == model[k].end()) {
          Check(FiLookup(hdl[k], it.key, &leaf) == FI_ENOTFOUND);
        } else {
          Check(FiRemove(hdl[k], m->second) == FI_OK);
          model[k].erase(m);
        }
        break;
      case 2: {
        // An arbitrary offset is removed only when it is a leaf of this index.
        const uint32_t off = (uint32_t)arg * 48 + (op >> 4) * 4;
        bool mine = false;
        for (auto& [item, l] : model[k]) mine |= l == off;
        const int32_t rc = FiRemove(hdl[k], off);
        Check(rc == (mine ? FI_OK : FI_ENOTFOUND));
        if (mine)
          for (auto e = model[k].begin(); e != model[k].end(); ++e)
            if (e->second == off) {
              model[k].erase(e);
              break;
            }
        break;
      }
      case 3: {
        const int32_t rc = FiLookup(hdl[k], it.key, &leaf);
        Check(rc == (m == model[k].end() ? FI_ENOTFOUND : FI_OK));
        if (rc == FI_OK) Check(leaf == m->second && FiLeafValue(hdl[k], leaf) == &it.value);
        break;
      }
      case 4:
        Check(FiCloseIndex(hdl[k]) == FI_OK);
        model[k].clear();
        Check(FiOpenIndex(h, k, FI_MODE_LOCAL, items, 2, &hdl[k]) == FI_OK);
        break;
      case 5: {
        uint32_t idx = 0;
        void* d = nullptr;
        const int32_t rc = FtTake(t, &idx, &d);
        Check(rc == (taken.size() == nElems ? FI_ENOROOM : FI_OK));
        if (rc == FI_OK) Check(taken.insert(idx).second && d == FtElem(t, idx));
        break;
      }
      default: {
        const uint32_t idx = arg % 24;
        const int32_t rc = FtGive(t, idx);
        Check(rc == (idx >= nElems ? FI_EINVAL : taken.count(idx) ? FI_OK : FI_ENOTFOUND));
        taken.erase(idx);
        break;
      }
    }
    Check(FiKeyCount(hdl[k]) == model[k].size());
  }
  for (int k = 0; k < 2; ++k) Check(FiCloseIndex(hdl[k]) == FI_OK);
  return 0;
}
