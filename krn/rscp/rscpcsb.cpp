// Single-byte shortcut blocks: for a pair of code pages without mixed
// code, a copy of the input page's T1 blocks in which every character whose
// output code is one or two bytes (or a 2-byte UTF-16 rule) holds those
// bytes directly, so that the table walk writes them without the output
// tables. One record per pair, found again through the input page's list.
//
// Everything here runs in the method chooser's locked section; the builder
// also holds the write permission. New blocks lie above end_t1 and are
// reached only through the object that the chooser completes, so readers
// of other tables never see them half written.
#include <stdio.h>
#include <string.h>

#include <iterator>

#include "i18n/wequ16/u16fmt.h"
#include "krn/rscp/rscpc_int.h"
#include "krn/rscp/rscpcc_int.h"

namespace {

constexpr const WEQ_UC* kSbModule = u" $Id: krn/rscp/rscpcsb.cpp $";

// Next-level blocks deeper than this are left alone (no page has codes of
// more than four bytes; the bound keeps a damaged loop from recursing).
constexpr int kSbMaxDepth = 8;

rscpCCC_t* SbCache() { return rscpGetCache(); }
uint8_t* SbBase() { return reinterpret_cast<uint8_t*>(rscpGetCache()); }
uint32_t* SbT1(uint32_t block) { return reinterpret_cast<uint32_t*>(SbBase() + size_t{block} * RSCP_T1_BYTES); }

bool SbBlockOk(uint32_t block) {
  const rscpCCC_t* c = SbCache();
  const uint64_t off = uint64_t{block} * RSCP_T1_BYTES;
  return block != 0 && off >= c->first_t1 && off + RSCP_T1_BYTES <= c->end_t1;
}

// The record at offset, NULL when the offset names no place for one.
rscpShortcut_t* SbRecord(uint32_t offset) {
  const rscpCCC_t* c = SbCache();
  if (offset == 0 || offset < c->end_t2 || uint64_t{offset} + sizeof(rscpShortcut_t) > c->length) return nullptr;
  return reinterpret_cast<rscpShortcut_t*>(SbBase() + offset);
}

// What a character word becomes: the direct word, 0 when it stays. rule
// is set to a T2 rule that keeps the word (reported while rewriting).
uint32_t SbDirect(uint32_t w, uint32_t t2, int* rule) {
  *rule = -1;
  const rscpCCC_t* c = SbCache();
  const uint32_t u = w & RSCP_T1_VALUE;
  if ((w & RSCP_T1_TYPE) != RSCP_T1_CHAR || u > c->max_enhanced_uchar) return 0;
  uint16_t e;
  memcpy(&e, SbBase() + t2 + 2 * size_t{(u >> 7) & 0x1FFFF}, 2);
  const uint32_t keep = w & RSCP_T1_LEN;
  const auto byRule = [&](uint32_t r) -> uint32_t {
    if (r == 10) return 0xA0000000u | keep | (u & 0xFFFF);
    if (r == 14) return 0xA0000000u | keep | (u & 0xFF) << 8 | (u >> 8 & 0xFF);
    return 0;
  };
  if ((e & RSCP_T2_T3) != 0) {
    const uint32_t k = e & 0x7FFF;
    const uint64_t off = uint64_t{k} * RSCP_T3_BYTES;
    if (k == 0 || off < c->first_t1 || off + RSCP_T3_BYTES > c->end_t2) return 0;
    uint32_t t3w;
    memcpy(&t3w, SbBase() + off + 4 * (u & 0x7F), 4);
    if ((t3w & RSCP_T3_RULE) != 0) return byRule(t3w & 0x7F);
    switch (t3w >> 24) {
      case 1: return 0x80000000u | keep | (t3w >> 16 & 0xFF);
      case 2: return 0xA0000000u | keep | (t3w >> 8 & 0xFFFF);
      default: return 0;
    }
  }
  if ((e >> 13) == 2) {
    const uint32_t r = e & 0x7F;
    if (r != 10 && r != 14 && r != 13 && r != 16) *rule = static_cast<int>(r);
    return byRule(r);
  }
  return 0;
}

// Whether any word of the block (or of a block below it) can be rewritten.
bool SbRewritable(uint32_t block, uint32_t t2, int depth) {
  if (depth > kSbMaxDepth || !SbBlockOk(block)) return false;
  const uint32_t* t = SbT1(block);
  for (int i = 0; i < 256; ++i) {
    const uint32_t w = t[i];
    int rule;
    if ((w & RSCP_T1_TYPE) == RSCP_T1_CHAR && SbDirect(w, t2, &rule) != 0) return true;
    if ((w & RSCP_T1_TYPE) == RSCP_T1_NEXT && (w & RSCP_T1_VALUE) != block &&
        SbRewritable(w & RSCP_T1_VALUE, t2, depth + 1)) {
      return true;
    }
  }
  return false;
}

struct SbBuild {
  uint32_t t2;
  uint16_t copies = 0;
};

// A copy of block with its words rewritten, blocks below that need it
// copied the same way; 0 when the cache has no room left.
uint16_t SbCopy(SbBuild& b, uint32_t block, int depth) {
  const uint16_t copy = rscpct1__copy_t1(static_cast<uint16_t>(block));
  if (copy == 0) return 0;
  rscpsm__set_mark(copy);
  ++b.copies;
  for (int i = 0; i < 256; ++i) {
    const uint32_t w = SbT1(copy)[i];
    if ((w & RSCP_T1_TYPE) == RSCP_T1_CHAR) {
      int rule;
      const uint32_t direct = SbDirect(w, b.t2, &rule);
      if (direct != 0) SbT1(copy)[i] = direct;
      if (rule >= 0) fprintf(stderr, "%3d Rulebased__t1e__to__l_out__and_break RSCPCCT2E_KIND_RULE %d\n", i, rule);
    } else if ((w & RSCP_T1_TYPE) == RSCP_T1_NEXT) {
      const uint32_t next = w & RSCP_T1_VALUE;
      if (next == block || !SbRewritable(next, b.t2, depth + 1)) continue;
      const uint16_t below = SbCopy(b, next, depth + 1);
      if (below == 0) return 0;
      SbT1(copy)[i] = RSCP_T1_NEXT | below;
    }
  }
  return copy;
}

}  // namespace

bool rscpcIFindShortcut(const rscpCpEntry_t* in, const WEQ_UC* to, uint16_t* block) {
  const rscpCCC_t* c = SbCache();
  // Records are 40 bytes apart at least: the area bounds every list.
  const uint64_t most = (uint64_t{c->length} - c->end_t2) / sizeof(rscpShortcut_t);
  uint32_t at = in->shortcutIn;
  for (uint64_t n = 0; n < most; ++n) {
    const rscpShortcut_t* r = SbRecord(at);
    if (r == nullptr) return false;
    if (memcmp(r->outCp, to, sizeof(rscpCp_t)) == 0 && SbBlockOk(r->block)) {
      *block = r->block;
      return true;
    }
    at = r->nextIn;
  }
  return false;
}

rscpRc_t rscpcIBuildShortcut(rscpCpEntry_t* in, rscpCpEntry_t* out, int slot, uint16_t* block) {
  rscpCCC_t* c = SbCache();
  // Everything this build takes lies above this point; a failure gives
  // back exactly that.
  rscpsv__save_marks();
  uint32_t offset = 0;
  void* address = nullptr;
  if (rscpRc_t rc = rscpAllocCache07(nullptr, sizeof(rscpShortcut_t), &offset, &address)) return rc;
  rscpShortcut_t rec{};
  memcpy(rec.inCp, in->cp, sizeof(rscpCp_t));
  memcpy(rec.outCp, out->cp, sizeof(rscpCp_t));
  const uint16_t root = in->in[slot].root;
  SbBuild b{out->out[slot].t2};
  rec.block = root;
  if (SbRewritable(root, b.t2, 0)) {
    // A failure takes back the record and every copy.
    const auto undo = [&](rscpRc_t rc) {
      rscprb__rollback_tables(in, u"overflow while copying for T1shortcut");
      rscpfm__free_marks();
      return rc;
    };
    if (rscpRc_t rc = rscpam__alloc_marks(c->first_t2 / RSCP_T1_BYTES)) return undo(rc);
    const uint16_t copy = SbCopy(b, root, 0);
    if (copy == 0) {
      WEQ_UC p1[40];
      snprintfTruncU16(p1, std::size(p1), u"cachesize&%ld&?&", static_cast<long>(c->length));
      c->was_overflow = 1;
      return undo(rscpIReport(kSbModule, RSCPETOOLONG, 1, __LINE__, u"WEQPARAM(rsts/ccc/cachesize) too small", u"F1A",
                              p1));
    }
    if (SbRewritable(copy, b.t2, 0)) {
      return undo(rscpIReport(kSbModule, RSCPEINTERN, 2, __LINE__, u"T1-Copy rejected though it was allowed?", u"F6S",
                              nullptr));
    }
    rscpfm__free_marks();
    rec.block = copy;
    rec.noofT1 = b.copies;
  }
  rec.noofChars = in->in[slot].noofChars;
  rec.maxLen = static_cast<uint32_t>(in->in[slot].maxLen);
  rec.nextIn = in->shortcutIn;
  rec.nextOut = out->shortcutOut;
  memcpy(address, &rec, sizeof rec);
  in->shortcutIn = offset;
  in->shortcutInLen = static_cast<uint8_t>(in->shortcutInLen + 1);
  out->shortcutOut = offset;
  out->shortcutOutLen = static_cast<uint8_t>(out->shortcutOutLen + 1);
  *block = rec.block;
  return 0;
}
