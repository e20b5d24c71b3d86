// The compression handle pool and the stream calls on its handles.
#include <stdlib.h>
#include <string.h>

#include <atomic>

#include "compression/csr.h"
#include "compression/csr_pool_int.h"
#include "compression/csr_stream.h"
#include "compression/lzc.h"
#include "compression/lzh.h"
#include "krn/thr/thr.h"

namespace {

constexpr int kSlots = 500;
constexpr int kFirstSlot = 2;  // slots 0 and 1 are never handed out
constexpr int kHandleBase = 300;
constexpr uint32_t kCountLimit = 0x80000000u;  // the counters start over from here

// Keep-or-free rule of a closed handle's work area: a slot keeps it once it
// has been handed out kKeepUses times and, after the first kKeepAllocs
// handles of the pool, at least once in every 2^kKeepShift handles.
constexpr uint32_t kKeepUses = 10;
constexpr uint32_t kKeepAllocs = 256;
constexpr int kKeepShift = 7;

struct Slot {
  std::atomic<uint32_t> in_use{0};
  std::atomic<CSR_WORKAREA*> work{nullptr};
  std::atomic<uint32_t> uses{0};  // times handed out since the counters started
  // Compression: the new-stream options & 14; decompression: the header's
  // algorithm byte & 15. Used only by the handle's holder.
  uint32_t stream_options = 0;
};

// The pool lock. Guards the in-use flags (the search for a free slot and
// the release), the keep-or-free decision of a closing handle with the
// work-area pointer it changes, and the start-over of the counters. Held
// only for that bookkeeping: nothing else is called under it but the
// release of a stream's framing buffers. It is a leaf: no other lock is
// taken while it is held. Zero-filled; ThrCSLock sets it up on first use.
ThrCS g_lock;
Slot g_slots[kSlots];
std::atomic<uint32_t> g_alloc_count{0};  // handles handed out since the counters started
std::atomic<void* (*)(size_t)> g_alloc_hook{nullptr};

// Every algorithm state begins with its kind tag.
void ClearKind(CSR_WORKAREA* wa) { memset(&wa->alg, 0, sizeof(uint32_t)); }

CSR_WORKAREA* NewWorkArea() {
  auto* wa = static_cast<CSR_WORKAREA*>(CsRIAlloc(sizeof(CSR_WORKAREA)));
  if (wa == nullptr) return nullptr;
  // Each algorithm state sets up what it uses when its stream starts; until
  // then its kind tag must read 0.
  ClearKind(wa);
  wa->crc_plain = wa->crc_packed = nullptr;
  wa->block = nullptr;
  wa->block_fill = 0;
  wa->block_state = 0;
  wa->last_result = 0;
  wa->header_awaited = wa->alg_ended = 0;
  return wa;
}

// A kept work area starts its next handle without a stream.
void ForgetStream(CSR_WORKAREA* wa) {
  CsRIEndStream(wa);
  ClearKind(wa);
  wa->last_result = 0;
}

void StartCounters() {
  g_alloc_count.store(0, std::memory_order_relaxed);
  for (Slot& s : g_slots) s.uses.store(0, std::memory_order_relaxed);
}

int AllocHandle() {
  if (ThrCSLock(&g_lock) != 0) return CSR_E_LOCK;
  int slot = -1;
  for (int i = kFirstSlot; i < kSlots; ++i) {
    if (g_slots[i].in_use.load(std::memory_order_relaxed) == 0) {
      g_slots[i].in_use.store(1, std::memory_order_relaxed);
      slot = i;
      break;
    }
  }
  if (ThrCSUnlock(&g_lock) != 0) return CSR_E_UNLOCK;
  if (slot < 0) return CSR_E_NO_HANDLE;

  Slot& s = g_slots[slot];
  s.stream_options = 0;
  if (s.work.load(std::memory_order_acquire) == nullptr) {
    CSR_WORKAREA* wa = NewWorkArea();
    if (wa == nullptr) {
      if (ThrCSLock(&g_lock) == 0) {
        s.in_use.store(0, std::memory_order_relaxed);
        ThrCSUnlock(&g_lock);
      }
      return CSR_E_NO_MEMORY;
    }
    s.work.store(wa, std::memory_order_release);
  }
  if (g_alloc_count.load(std::memory_order_relaxed) >= kCountLimit) {
    if (ThrCSLock(&g_lock) != 0) return CSR_E_LOCK;
    StartCounters();
    if (ThrCSUnlock(&g_lock) != 0) return CSR_E_UNLOCK;
  }
  s.uses.fetch_add(1, std::memory_order_relaxed);
  g_alloc_count.fetch_add(1, std::memory_order_relaxed);
  return slot + kHandleBase;
}

// The slot of a taken handle with its work area, or -1.
int TakenSlot(CSR_HANDLE handle) {
  if (handle < kHandleBase || handle >= kHandleBase + kSlots) return -1;
  int slot = handle - kHandleBase;
  const Slot& s = g_slots[slot];
  if (s.in_use.load(std::memory_order_acquire) == 0) return -1;
  if (s.work.load(std::memory_order_acquire) == nullptr) return -1;
  return slot;
}

// --- The algorithms behind the pool --------------------------------------------

int LzcCompress(CSR_WORKAREA* wa, int total, const WEQ_RAW* in, int inlen, WEQ_RAW* out,
                int outlen, int options, int* read, int* written) {
  return CsRLzcCompress(&wa->alg.lzc_c, total, in, inlen, out, outlen, options, read, written);
}

int LzcDecompress(CSR_WORKAREA* wa, const WEQ_RAW* in, int inlen, WEQ_RAW* out, int outlen,
                  int options, int* read, int* written) {
  return CsRLzcDecompress(&wa->alg.lzc_d, in, inlen, out, outlen, options, read, written);
}

// LZH counts in unsigned numbers; a negative length arrives above INT_MAX,
// which it refuses with the code of that length.
int LzhCompress(CSR_WORKAREA* wa, int total, const WEQ_RAW* in, int inlen, WEQ_RAW* out,
                int outlen, int options, int* read, int* written) {
  unsigned r = 0, w = 0;
  int rc = CsRLzhCompress(&wa->alg.lzh_c, static_cast<unsigned>(total), in,
                          static_cast<unsigned>(inlen), out, static_cast<unsigned>(outlen), options,
                          &r, &w);
  *read = static_cast<int>(r);
  *written = static_cast<int>(w);
  return rc;
}

int LzhDecompress(CSR_WORKAREA* wa, const WEQ_RAW* in, int inlen, WEQ_RAW* out, int outlen,
                  int options, int* read, int* written) {
  unsigned r = 0, w = 0;
  int rc = CsRLzhDecompress(&wa->alg.lzh_d, in, static_cast<unsigned>(inlen), out,
                            static_cast<unsigned>(outlen), static_cast<WEQ_RAW>(options), &r, &w);
  *read = static_cast<int>(r);
  *written = static_cast<int>(w);
  return rc;
}

constexpr CsRIAlgorithm kLzc{LzcCompress, LzcDecompress, false};
constexpr CsRIAlgorithm kLzh{LzhCompress, LzhDecompress, true};

// The algorithm of a compression stream's options, or NULL.
const CsRIAlgorithm* CompressAlgorithm(uint32_t stream_options) {
  switch (stream_options & CSR_OPT_ALG_MASK) {
    case CSR_OPT_LZC: return &kLzc;
    case CSR_OPT_LZH: return &kLzh;
    default: return nullptr;
  }
}

// The algorithm of a decompression stream's header byte & 15, or NULL.
const CsRIAlgorithm* DecompressAlgorithm(uint32_t stream_options) {
  switch (stream_options & 7) {
    case CSR_ALG_LZC & 7: return &kLzc;
    case CSR_ALG_LZH & 7: return &kLzh;
    default: return nullptr;
  }
}

// The checks that every unframed result passes, then the result becomes the
// last result. A second call without input that asks for input again makes
// no progress: LZH reports it.
int Finish(CSR_WORKAREA* wa, const CsRIAlgorithm& alg, int inlen, int rc) {
  if (inlen == 0 && wa->last_result == CSR_MORE_INPUT && rc == CSR_MORE_INPUT && alg.lzh)
    return CSR_E_NO_PROGRESS;
  wa->last_result = rc;
  return rc;
}

}  // namespace

void* CsRIAlloc(size_t n) {
  void* (*hook)(size_t) = g_alloc_hook.load(std::memory_order_acquire);
  return hook != nullptr ? hook(n) : malloc(n);
}

void CsRIFree(void* p) { free(p); }

void CsRISetAllocHook(void* (*alloc)(size_t)) { g_alloc_hook.store(alloc, std::memory_order_release); }

bool CsRIHasWorkArea(int slot) {
  return g_slots[slot].work.load(std::memory_order_acquire) != nullptr;
}

uint32_t CsRIUseCount(int slot) { return g_slots[slot].uses.load(std::memory_order_relaxed); }

uint32_t CsRIAllocCount(void) { return g_alloc_count.load(std::memory_order_relaxed); }

void CsRISetAllocCount(uint32_t n) { g_alloc_count.store(n, std::memory_order_relaxed); }

int CsRGetHandle(CSR_HANDLE* handle) {
  if (handle == nullptr) return CSR_E_HANDLE;
  int h = AllocHandle();
  *handle = h;
  return h < 0 ? h : 0;
}

void CsRCloseHandle(CSR_HANDLE handle) {
  if (handle < kHandleBase || handle >= kHandleBase + kSlots) return;
  int slot = handle - kHandleBase;
  if (ThrCSLock(&g_lock) != 0) return;
  CSR_WORKAREA* drop = nullptr;
  Slot& s = g_slots[slot];
  // Only a taken slot is given back: a second close of the same handle must
  // not touch the work area of whoever holds the slot next.
  if (s.in_use.load(std::memory_order_relaxed) != 0) {
    CSR_WORKAREA* wa = s.work.load(std::memory_order_relaxed);
    if (wa != nullptr) {
      uint32_t uses = s.uses.load(std::memory_order_relaxed);
      uint32_t allocs = g_alloc_count.load(std::memory_order_relaxed);
      bool keep = g_slots[slot - 1].work.load(std::memory_order_relaxed) != nullptr &&
                  uses >= kKeepUses && (allocs <= kKeepAllocs || uses >= allocs >> kKeepShift);
      ForgetStream(wa);
      if (!keep) {
        drop = wa;
        s.work.store(nullptr, std::memory_order_release);
      }
    }
    s.in_use.store(0, std::memory_order_release);
  }
  ThrCSUnlock(&g_lock);
  CsRIFree(drop);
}

int CsRInitCompress(CSR_HANDLE handle, WEQ_RAW* out, int total, int options) {
  // The header call takes no input; the pointer only has to be a valid one
  // apart from out.
  WEQ_RAW none = 0;
  int read, written;
  int rc = CsRCompress(handle, total, &none, 0, out, CSR_HEADER_SIZE, options | CSR_OPT_NEW_STREAM,
                       &read, &written);
  return rc < 0 ? rc : 0;
}

int CsRCompress(CSR_HANDLE handle, int total, const WEQ_RAW* in, int inlen, WEQ_RAW* out,
                int outlen, int options, int* read, int* written) {
  int slot = TakenSlot(handle);
  if (slot < 0) return CSR_E_HANDLE;
  if (read == nullptr || written == nullptr) return CSR_E_NULL_BUFFER;
  *read = *written = 0;
  Slot& s = g_slots[slot];
  CSR_WORKAREA* wa = s.work.load(std::memory_order_relaxed);
  if (options & CSR_OPT_NEW_STREAM) {
    s.stream_options = static_cast<uint32_t>(options) & (CSR_OPT_ALG_MASK | CSR_OPT_BLOCK);
    wa->last_result = 0;
  }
  // Checked before the algorithm runs, so that the refused call changes
  // nothing (an algorithm could take input into its own buffers).
  if (outlen == 0 && wa->last_result == CSR_OUTPUT_FULL) return CSR_E_OUTLEN_REPEAT;
  const CsRIAlgorithm* alg = CompressAlgorithm(s.stream_options);
  if (alg == nullptr) return CSR_E_ALGORITHM;
  if (s.stream_options & CSR_OPT_BLOCK)
    return CsRIFrameCompress(wa, *alg, total, in, inlen, out, outlen, options, read, written);
  int rc = alg->compress(wa, total, in, inlen, out, outlen, options, read, written);
  return Finish(wa, *alg, inlen, rc);
}

int CsRInitDecompress(CSR_HANDLE handle, const WEQ_RAW* header) {
  // The header alone: no output room, but an output pointer of its own.
  WEQ_RAW none = 0;
  int read, written;
  int rc = CsRDecompress(handle, header, CSR_HEADER_SIZE, &none, 0, CSR_OPT_NEW_STREAM, &read,
                         &written);
  return rc < 0 ? rc : 0;
}

int CsRDecompress(CSR_HANDLE handle, const WEQ_RAW* in, int inlen, WEQ_RAW* out, int outlen,
                  int options, int* read, int* written) {
  int slot = TakenSlot(handle);
  if (slot < 0) return CSR_E_HANDLE;
  if (read == nullptr || written == nullptr) return CSR_E_NULL_BUFFER;
  *read = *written = 0;
  Slot& s = g_slots[slot];
  CSR_WORKAREA* wa = s.work.load(std::memory_order_relaxed);
  options &= CSR_OPT_NEW_STREAM;  // the rest comes from the stream header
  if (options) {
    if (inlen < CSR_HEADER_SIZE) return CSR_E_IN_LEN;
    if (in == nullptr) return CSR_E_NULL_BUFFER;
    s.stream_options = in[4] & CSR_ALG_KEEP;
    wa->last_result = 0;
  }
  if (outlen == 0 && wa->last_result == CSR_OUTPUT_FULL) return CSR_E_OUTLEN_REPEAT;
  const CsRIAlgorithm* alg = DecompressAlgorithm(s.stream_options);
  if (alg == nullptr) return CSR_E_ALGORITHM;
  if (s.stream_options & CSR_ALG_BLOCK)
    return CsRIFrameDecompress(wa, *alg, in, inlen, out, outlen, options, read, written);
  int rc = alg->decompress(wa, in, inlen, out, outlen, options, read, written);
  return Finish(wa, *alg, inlen, rc);
}
