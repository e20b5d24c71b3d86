// NI buffers: reference-counted message buffers of the buffered layer, one
// allocation of header and data each, the process-wide count of the bytes
// their data areas hold and its advisory limit.
#include <errno.h>
#include <stdlib.h>

#include <atomic>
#include <mutex>

#include "krn/ni/niaddr_int.h"
#include "krn/ni/nibuf_int.h"

namespace {

constexpr const WEQ_UC* kNiBufModule = u"nibuf";

// The two locks are made once and never deleted: a buffer may be released
// after NI has ended (a caller still holds it), and its release takes them.
struct NiBufState {
  ThrMtx heapMtx{};  // "NI heap section": heapUsed; taken alone
  ThrMtx refMtx{};   // "NI ref section": every reference count; taken alone
  uint64_t heapUsed = 0;
  std::atomic<uint32_t> maxHeap{0};
};

NiBufState& BufState() {
  static NiBufState* state = [] {
    auto* s = new NiBufState;
    ThrMtxInit(&s->heapMtx, u"NI heap section");
    ThrMtxInit(&s->refMtx, u"NI ref section");
    return s;
  }();
  return *state;
}

NIBUF g_pongMarker{};

void HeapAdd(int64_t delta) {
  NiBufState& st = BufState();
  ThrMtxLock(&st.heapMtx);
  st.heapUsed = static_cast<uint64_t>(static_cast<int64_t>(st.heapUsed) + delta);
  ThrMtxUnlock(&st.heapMtx);
}

}  // namespace

NIBUF* NiBufIPongMarker(void) { return &g_pongMarker; }

uint64_t NiBufIHeapUsed(void) {
  NiBufState& st = BufState();
  ThrMtxLock(&st.heapMtx);
  uint64_t used = st.heapUsed;
  ThrMtxUnlock(&st.heapMtx);
  return used;
}

uint32_t NiBufIMaxHeap(void) { return BufState().maxHeap.load(std::memory_order_relaxed); }

NI_RC NiBufIInit(void) {
  BufState();
  return WEQ_O_K;
}

void NiBufIExit(void) {}

NI_RC NiBufIAlloc(NIBUF** ppBuffer, int32_t length, const WEQ_UC* text, CTRC_HDL trc) {
  static constexpr const WEQ_UC* kFn = u"NiBufIAlloc";
  *ppBuffer = nullptr;
  if (static_cast<uint32_t>(length) > NIBUF_MAXALLOC) {
    NiIErrInfo(kNiBufModule, __LINE__, u"%s: required size too big (%d>%d)", NIETOO_BIG, kFn, length,
               static_cast<int32_t>(NIBUF_MAXALLOC));
    DPTRC_ERROR(trc, u"%s: called with len %d > NIBUF_MAXALLOC (%d)\n", kFn, length,
                static_cast<int32_t>(NIBUF_MAXALLOC));
    return NIETOO_BIG;
  }
  NiBufState& st = BufState();
  uint32_t limit = st.maxHeap.load(std::memory_order_relaxed);
  ThrMtxLock(&st.heapMtx);
  if (limit != 0 && st.heapUsed > limit) {
    // Advisory: the allocation goes on.
    DPTRC_LINE(2, trc, u"%s: Heap-space %u exhausted by %u bytes\n", kFn, limit,
               static_cast<uint32_t>(st.heapUsed - limit));
  }
  st.heapUsed += static_cast<uint32_t>(length);
  ThrMtxUnlock(&st.heapMtx);
  size_t total = sizeof(NIBUF) + static_cast<size_t>(length);
  auto* buf = static_cast<NIBUF*>(malloc(total));
  if (buf == nullptr) {
    HeapAdd(-static_cast<int64_t>(length));
    NiIErrInfo(kNiBufModule, __LINE__, u"%s: malloc failed for %d bytes", NIEINTERN, kFn,
               static_cast<int32_t>(total));
    errno = ENOMEM;
    DPTRC_ERRNO(trc, u"%s: malloc failed for %d bytes\n", kFn, static_cast<int32_t>(total));
    return NIEINTERN;
  }
  WEQ_RAW* area = reinterpret_cast<WEQ_RAW*>(buf + 1);
  buf->data = area;
  buf->len = 0;
  buf->buffer = area;
  buf->buflen = length;
  buf->type = NIBUF_HEAP;
  buf->refCount = 1;
  buf->freeFunc = nullptr;
  buf->uptr = nullptr;
  buf->prev = nullptr;
  buf->next = nullptr;
  DPTRC_LINE(3, trc, u"%s: malloc %s, to %d bytes\n", kFn, text != nullptr ? text : u"(unspecified)", length);
  *ppBuffer = buf;
  return WEQ_O_K;
}

NI_RC NiBufAlloc2(NIBUF** ppBuffer, int32_t length, const WEQ_UC* text, NIBUF_FREE_FUNC freeFunc) {
  static constexpr const WEQ_UC* kFn = u"NiBufAlloc2";
  if (ppBuffer == nullptr)
    return NiIErrTrace(kNiBufModule, __LINE__, 1, u"%s: parameter invalid (ppBuffer == NULL)", NIEINVAL, kFn);
  if (length < 0)
    return NiIErrTrace(kNiBufModule, __LINE__, 1, u"%s: parameter invalid (length < 0)", NIEINVAL, kFn);
  NI_RC rc = NiBufIAlloc(ppBuffer, length, text, NiITrcHdl());
  if (rc != WEQ_O_K) return rc;
  (*ppBuffer)->freeFunc = freeFunc;
  return WEQ_O_K;
}

void NiBufFree(NIBUF** ppBuffer) {
  static constexpr const WEQ_UC* kFn = u"NiBufFree";
  NIBUF* buf = *ppBuffer;
  if (buf == nullptr || buf == &g_pongMarker) {
    *ppBuffer = nullptr;
    return;
  }
  switch (buf->type) {
    case NIBUF_HEAP: {
      *ppBuffer = nullptr;
      NiBufState& st = BufState();
      ThrMtxLock(&st.refMtx);
      uint16_t before = buf->refCount;
      if (before != 0) buf->refCount = static_cast<uint16_t>(before - 1);
      ThrMtxUnlock(&st.refMtx);
      if (before == 0) {
        // Released more often than referenced: leave it rather than free twice.
        DPTRC_ERROR(NiITrcHdl(), u"%s: buf %p released without reference\n", kFn, static_cast<const void*>(buf));
        return;
      }
      if (before > 1) {
        DPTRC_LINE(2, NiITrcHdl(), u"%s: ref %d for buf %p\n", kFn, static_cast<int32_t>(before - 1),
                   static_cast<const void*>(buf));
        return;
      }
      if (buf->freeFunc != nullptr) {
        // The hook keeps the buffer for reuse; it stays counted in the heap.
        buf->refCount = 1;
        buf->len = 0;
        buf->data = buf->buffer;
        NIBUF* held = buf;
        buf->freeFunc(&held);
        return;
      }
      HeapAdd(-static_cast<int64_t>(static_cast<uint32_t>(buf->buflen)));
      free(buf);
      return;
    }
    case NIBUF_REF: {
      *ppBuffer = nullptr;
      NIBUF* referred = buf->refBuf;
      NiBufFree(&referred);
      free(buf);
      return;
    }
    case NIBUF_EXTERN:
      buf->externFree(ppBuffer, buf);
      *ppBuffer = nullptr;
      return;
    default:
      *ppBuffer = nullptr;
      DPTRC_ERROR(NiITrcHdl(), u"%s: buf %p of unknown kind %d\n", kFn, static_cast<const void*>(buf), buf->type);
      return;
  }
}

void NiBufFree2(NIBUF** ppBuffer) {
  static constexpr const WEQ_UC* kFn = u"NiBufFree2";
  if (ppBuffer == nullptr || *ppBuffer == nullptr) {
    const WEQ_UC* what = ppBuffer == nullptr ? u"ppBuffer == NULL" : u"*ppBuffer == NULL";
    NiIErrInfo(kNiBufModule, __LINE__, u"%s: parameter invalid (%s)", NIEINVAL, kFn, what);
    DPTRC_WARNING(NiITrcHdl(), u"%s: parameter invalid (%s)\n", kFn, what);
    return;
  }
  if ((*ppBuffer)->type == NIBUF_HEAP) (*ppBuffer)->freeFunc = nullptr;
  NiBufFree(ppBuffer);
}

NI_RC NiBufISetParam(const NI_PARAM_DATA* pParamData, bool* pHandled) {
  static constexpr const WEQ_UC* kFn = u"NiBufISetParam";
  *pHandled = false;
  if (pParamData->param != NIP_BUF_MAXHEAP) return WEQ_O_K;
  if (pParamData->datatype != NI_DT_UINT)
    return NiIErrTrace(kNiBufModule, __LINE__, 1, u"%s: parameter invalid (pParamData->datatype != NI_DT_UINT)",
                       NIEINVAL, kFn);
  BufState().maxHeap.store(pParamData->value.uint_val, std::memory_order_relaxed);
  DPTRC_LINE(2, NiITrcHdl(), u"%s: set max heap to %d\n", kFn, static_cast<int32_t>(pParamData->value.uint_val));
  *pHandled = true;
  return WEQ_O_K;
}
