// Internals of the wakeup servers and datagram handles, for the NI sources
// and their tests.
//
// Locks: "NI wakeup mutex" orders open, attach, detach and close; each
// server's own mutex ("wakeup server <port>") guards its client count, its
// list of client ports and its lifetime, and is taken after the process-wide
// one. A record is freed only under both, so an attach that holds the
// process-wide mutex can rely on the server it was given. The server's
// handle pointer is read by sends without a lock.
#ifndef KRN_NI_NIXXWU_INT_H
#define KRN_NI_NIXXWU_INT_H

#include <stdint.h>

#include <atomic>
#include <vector>

#include "krn/ni/ni.h"
#include "krn/ni/nixx_int.h"
#include "krn/thr/thr.h"

struct NI_WAKEUP_SERVER {
  std::atomic<NITAB*> mHdl{nullptr};  // null once closed while clients remain
  uint16_t mPort = 0xFFFF;            // network order; 0xFFFF: search a free one
  NI_NODEADDR mNodeAddr{};            // the loopback address
  int32_t mClients = 0;
  std::vector<uint16_t> mClientPorts;  // network order, one per attached client
  ThrMtx mMtx{};
};

struct NI_WAKEUP_CLIENT {
  NITAB* mHdl = nullptr;
  uint16_t mPort = 0;  // network order: the client socket's own port
  NI_WAKEUP_SERVER* mServer = nullptr;
};

// A new datagram handle of the IP usage's family with its socket, still in
// its initial state; a failure closes it (traced with fn).
NI_RC NiIDgHdlNew(NITAB** ppHdl, const WEQ_UC* fn);
// The warning about a wakeup handle whose socket is not a datagram socket
// (nothing else happens).
void NiIDgWarnNotDgram(const NITAB* pHdl, const WEQ_UC* fn);

// Creates a datagram handle bound to pAddr and *pServNo (network order;
// 0xFFFF searches a free port, which is written back).
NI_RC NiIWakeupBind(const NI_NODEADDR* pAddr, uint16_t* pServNo, NITAB** ppHdl);
// Creates a datagram handle connected to pAddr and servNo (network order);
// *pOwnPort receives its local port.
NI_RC NiIWakeupConnect(const NI_NODEADDR* pAddr, uint16_t servNo, NITAB** ppHdl, uint16_t* pOwnPort);
// Sends length bytes as one datagram on a connected handle.
NI_RC NiIWakeupSend(NITAB* pHdl, const void* pData, uint32_t length);
// Receives one pending datagram without waiting; *pFromAddr and *pFromPort
// (network order) receive its sender.
NI_RC NiIWakeupReceive(NITAB* pHdl, void* pBuffer, uint32_t length, uint32_t* pReceived,
                       NI_NODEADDR* pFromAddr, uint16_t* pFromPort);

#endif
