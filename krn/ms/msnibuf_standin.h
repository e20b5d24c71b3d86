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
typedef void (*NIBUF_RELEASE_FUNC)(NIBUF** ppBuffer);

// A handle's allocation function for incoming messages: a buffer with room
// for at least length bytes, or a non-zero code that fails the receive.
typedef NI_RC (*NIBUF_ALLOC_FUNC)(NIBUF** ppBuffer, int32_t length, const WEQ_UC* text);

// A reference-counted message buffer; the data area follows the record.
struct NIBUF {
  WEQ_RAW* data;  // start of the valid data
  int32_t len;    // valid bytes from data on
  WEQ_RAW* buf;   // start of the data area
  int32_t size;   // capacity of the data area
  int32_t kind;   // 0 heap buffer
  uint16_t ref;
  NIBUF_RELEASE_FUNC hook;
  void* user;
  NIBUF* prev;
  NIBUF* next;
};

NI_RC NiBufAlloc2(NIBUF** ppBuffer, int32_t length, const WEQ_UC* text, NIBUF_RELEASE_FUNC hook);
void NiBufFree2(NIBUF** ppBuffer);
NI_RC NiBufSend(NI_HDL hdl, NIBUF** ppBuffer, int32_t timeout);
NI_RC NiBufReceive(NI_HDL hdl, NIBUF** ppBuffer, int32_t timeout);

#endif
