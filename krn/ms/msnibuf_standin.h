// Stand-in for the buffered NI layer's interface, until that layer arrives:
// the message buffer NIBUF and the four calls of the message server client
// (allocate, release, send, receive). The allocator and the release work on
// the heap; send and receive are weak definitions that refuse with
// NIEINTERN, so that the library links while the real layer is missing and
// gives way to it as soon as it is linked. This header and
// msnibuf_standin.cpp go when the buffered layer is on main; the client
// then includes the NI header for the same names.
#ifndef KRN_MS_MSNIBUF_STANDIN_H
#define KRN_MS_MSNIBUF_STANDIN_H

#include <stdint.h>

#include "krn/ni/ni.h"
#include "weq_types.h"

struct NIBUF;

// Called instead of freeing at the last release of a buffer that has one;
// it receives a variable holding the buffer.
typedef void (*NIBUF_FREE_FUNC)(NIBUF** ppBuffer);

// A reference-counted message buffer; the data area follows the record.
struct NIBUF {
  WEQ_RAW* data;     // start of the valid data
  int32_t len;       // valid bytes from data on
  WEQ_RAW* buffer;   // start of the data area
  int32_t buflen;    // capacity of the data area
  int32_t type;      // 0 heap buffer
  uint16_t refCount;
  NIBUF_FREE_FUNC freeFunc;
  void* uptr;
  NIBUF* prev;
  NIBUF* next;
};

NI_RC NiBufAlloc2(NIBUF** ppBuffer, int32_t length, const WEQ_UC* text, NIBUF_FREE_FUNC freeFunc);
void NiBufFree2(NIBUF** ppBuffer);
NI_RC NiBufSend(NI_HDL hdl, NIBUF** ppBuffer, int32_t timeout);
NI_RC NiBufReceive(NI_HDL hdl, NIBUF** ppBuffer, int32_t timeout);

#endif
