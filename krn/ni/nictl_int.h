// Internals of NI's control messages: the keep-alive pair and NI_RTERR,
// which every message a handle reads is offered to before its user sees
// it, the sending of NI_RTERR, and the receiving side of a handle passed
// by another process (this system never sends one).
//
// NI_RTERR, multi-byte numbers big-endian:
//    0  "NI_RTERR"    8  0    9  NI version of the sender (40)
//   10  opcode       11  0   12  return code (signed)   16  text length L
//   20  the sender's error information in its network form (L bytes)
//   20 + L  opcode data (D bytes), then 4 zero bytes: 24 + L + D in all.
// Opcodes 1 and 2 without data are the first 24 bytes with L 0. From a
// sender below NI version 29 every NI_RTERR is opcode 0.
#ifndef KRN_NI_NICTL_INT_H
#define KRN_NI_NICTL_INT_H

#include <stdint.h>

#include "krn/ni/ni.h"
#include "krn/ni/nibuf_int.h"
#include "krn/ni/nixx_int.h"

#define NI_RTERR_HDR_LEN 24
#define NI_RTERR_NI_VERSION 40

enum : uint8_t {
  NI_RTERR_OP_ERROR = 0,       // the peer's return code and error information
  NI_RTERR_OP_VERSION_REQ = 1,
  NI_RTERR_OP_VERSION = 2,
  NI_RTERR_OP_PID = 5,         // 4 bytes: the receiver's process id, machine order
  NI_RTERR_OP_TAKEN = 6,       // the passed handle was taken over
  NI_RTERR_OP_PASS = 8,        // 6 bytes of pass data follow
};

// Pass data of opcode 8.
enum : uint8_t {
  NI_PASS_STATE = 1,      // NI_LISTEN for a listening handle, else a connected one
  NI_PASS_TALKMODE = 2,   // of a buffered connected handle
  NI_PASS_BUFFERED = 3,   // 1: buffered (a listening one: the handles it accepts)
  NI_PASS_BLOCKMODE = 4,
  NI_PASS_SOCKETS = 5,    // sockets that follow
  NI_PASS_LEN = 6,
};

// Processes a message the handle read (pExt: its extension, or NULL):
//   0          user data, *pLength unchanged;
//   NIEOPCODE  a control message, consumed (*pLength 0); *pPeerRc the code
//              of a received error (0 otherwise), whose error information
//              is now the thread's;
//   NIEPING    the NI_PONG answering this handle's own keep-alive check;
//   other      a failure.
// *pVersion (may be NULL) receives the sender's NI version of a well-formed
// NI_RTERR. A code that NI uses for its own flow comes as NIEINTERN, so that
// a peer cannot steer its caller.
NI_RC NiBufIProcMsg(NITAB* pHdl, NIBUF_EXT* pExt, void* pMsg, uint32_t* pLength, NI_RC* pPeerRc,
                    uint8_t* pVersion);

// Sends one NI_RTERR with the thread's error information, which is then
// cleared. On a buffered handle a message the socket does not take waits in
// the ready-queue (success); on an unbuffered one it is sent whole, or not
// at all while another write is under way (NIETIMEOUT).
NI_RC NiBufISendMsg2(NITAB* pHdl, NIBUF_EXT* pExt, int32_t timeout, NI_RC rc, uint8_t opcode, const void* pData,
                     uint32_t dataLen);
// Opcode 0 with rc and the thread's error information (a generic one
// recorded first when there is none).
NI_RC NiBufISendErr(NITAB* pHdl, NIBUF_EXT* pExt, int32_t timeout, NI_RC rc);
// Another opcode, with rc NIEVERSION.
NI_RC NiBufISendMsg(NITAB* pHdl, NIBUF_EXT* pExt, int32_t timeout, uint8_t opcode, const void* pData,
                    uint32_t dataLen);

// The accept of a passed handle, run by the input step in status
// ACCEPTING: takes the sockets and makes the handle that waits for the
// user. A failure leaves the status and the pass data as they are.
NI_RC NiBufIAcceptSentHdl(NITAB* pHdl, NIBUF_EXT* pExt, int32_t timeout);
// Hands the passed handle that waits on hdl to the caller: NIETIMEOUT while
// there is none, NIEPING for a keep-alive answer that came instead.
NI_RC NiBufGetSentHdl(NI_HDL hdl, int32_t timeout, NI_HDL* pOutHandle);

#endif
