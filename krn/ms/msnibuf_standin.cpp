// Stand-ins of msnibuf_standin.h.
#include "krn/ms/msnibuf_standin.h"

#include <stdlib.h>

#include "krn/dptrc/err.h"

namespace {

NI_RC MsStandinRefuse(const WEQ_UC* fn, NIBUF** ppBuffer) {
  (void)ppBuffer;
  ErrSetInfo(NI_COMPONENT, NI_COMPONENT_VERSION, u"nibuf", static_cast<uint32_t>(__LINE__),
             u"%s: buffered layer not available", NIEINTERN, nullptr, fn);
  return NIEINTERN;
}

}  // namespace

__attribute__((weak)) NI_RC NiBufAlloc2(NIBUF** ppBuffer, int32_t length, const WEQ_UC*,
                                        NIBUF_FREE_FUNC freeFunc) {
  if (ppBuffer == nullptr || length < 0) return NIEINVAL;
  NIBUF* b = static_cast<NIBUF*>(malloc(sizeof(NIBUF) + static_cast<size_t>(length)));
  if (b == nullptr) return NIEINTERN;
  b->buffer = b->data = reinterpret_cast<WEQ_RAW*>(b + 1);
  b->len = 0;
  b->buflen = length;
  b->type = 0;
  b->refCount = 1;
  b->freeFunc = freeFunc;
  b->uptr = nullptr;
  b->prev = b->next = nullptr;
  *ppBuffer = b;
  return WEQ_O_K;
}

__attribute__((weak)) void NiBufFree2(NIBUF** ppBuffer) {
  if (ppBuffer == nullptr || *ppBuffer == nullptr) return;
  free(*ppBuffer);
  *ppBuffer = nullptr;
}

__attribute__((weak)) NI_RC NiBufSend(NI_HDL, NIBUF** ppBuffer, int32_t) {
  return MsStandinRefuse(u"NiBufSend", ppBuffer);
}

__attribute__((weak)) NI_RC NiBufReceive(NI_HDL, NIBUF** ppBuffer, int32_t) {
  if (ppBuffer != nullptr) *ppBuffer = nullptr;
  return MsStandinRefuse(u"NiBufReceive", ppBuffer);
}
