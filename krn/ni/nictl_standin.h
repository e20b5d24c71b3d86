// Stand-in for the control-message processing until it arrives: the
// processing of a received message, which here knows the keep-alive pair
// only (every other message is user data). It goes (this header and
// nictl_standin.cpp) when the control messages arrive.
#ifndef KRN_NI_NICTL_STANDIN_H
#define KRN_NI_NICTL_STANDIN_H

#include <stdint.h>

#include "krn/ni/ni.h"
#include "krn/ni/nixx_int.h"

// Processes a message that a handle read: 0 user data (length unchanged),
// NIEOPCODE a consumed control message (length 0; *pPeerRc a code the peer
// sent, else 0), NIEPING the answer to this handle's own keep-alive check,
// any other code a failure. A buffered handle (pExt given) answers a
// keep-alive request through its out-queue.
NI_RC NiBufIProcMsg(NITAB* pHdl, void* pExt, void* pMsg, uint32_t* pLength, NI_RC* pPeerRc,
                    uint8_t* pVersion);

#endif
