// Internals of the gateway protocol library for its own sources and tests:
// the NI operation table with its seam, and the calling thread's buffers.
#ifndef KRN_GW_GW_INT_H
#define KRN_GW_GW_INT_H

#include <stdint.h>

#include "krn/gw/gw.h"

// The four NI operations that the gateway connect goes through. Each takes
// one further context argument that the defaults ignore.
typedef NI_RC (*GwConnectFn)(const WEQ_UC* host, const WEQ_UC* service, int32_t timeout, NI_HDL* hdl,
                             uint32_t protoFamily, void* ctx);
typedef NI_RC (*GwWriteFn)(NI_HDL hdl, const void* data, int len, int timeout, uint32_t* written, void* ctx);
typedef NI_RC (*GwReadFn)(NI_HDL hdl, void* buf, int len, int timeout, uint32_t* read, void* ctx);
typedef NI_RC (*GwCloseFn)(NI_HDL hdl, void* ctx);

template <class Fn>
struct GwOpSlot {
  const WEQ_UC* name;  // as the connect's trace and error information report it
  Fn fn;
};

struct GwNiOps {
  GwOpSlot<GwConnectFn> connect;
  GwOpSlot<GwWriteFn> write;
  GwOpSlot<GwReadFn> read;
  GwOpSlot<GwCloseFn> close;
};

// The table in use; filled with the defaults and unchanged in production.
const GwNiOps& GwIOps(void);
// Test and fuzz seam: replaces the table (NULL restores the defaults) and
// returns the one in use before. Not for use while a connect runs.
GwNiOps GwISetOps(const GwNiOps* ops);
// The defaults.
const GwNiOps& GwIDefaultOps(void);

// Per-thread storage of the library. The ring of trace texts and one
// decimal buffer per naming operation; freed by the key's destructor.
#define GW_NET_TRC_RING 10
#define GW_DEC_LEN 32
enum GwDecSlot { GW_DEC_CLIENT, GW_DEC_REGSTATE, GW_DEC_REQUEST, GW_DEC_PROTOCOL, GW_DEC_ERROR, GW_DEC_COUNT };

struct GwThrData {
  WEQ_UC* ring[GW_NET_TRC_RING];
  int ringCap[GW_NET_TRC_RING];  // units allocated per buffer
  int next;                      // buffer the next call takes
  WEQ_UC dec[GW_DEC_COUNT][GW_DEC_LEN];
};

// The calling thread's record, NULL when it cannot be had.
GwThrData* GwIThrData(void);
// The capacity in units of ring buffer i of the calling thread (tests).
int GwINetTrcCap(int i);
// Test seam: when set, the ring's allocations fail.
void GwISetNetTrcAllocFail(bool fail);

// Connect record sizes: version 3 and version 2, the longest answer read,
// and the identification block.
#define GW_CONN_LEN_V3 136
#define GW_CONN_LEN_V2 64
#define GW_CONN_ANSWER_MAX 636
#define GW_CONN_IDENT_LEN 512

// Builders of the connect request: version 3 (136 bytes) and version 2 (64).
void GwIGenConnBuffer(uint8_t* rec, int* len, uint8_t connType, const WEQ_UC* localHost,
                      const NI_NODEADDR* localAddr, const WEQ_UC* localService, int16_t index,
                      const WEQ_UC* codePage);
void GwIGenConnBuffer2(uint8_t* rec, int* len, uint8_t connType, const WEQ_UC* localHost,
                       const NI_NODEADDR* localAddr, const WEQ_UC* localService, int16_t index,
                       const WEQ_UC* codePage);
// Checks a connect answer to a request of versionSent: 0 with the outputs
// set, 240 when short, 246 for a header version without a length, or the
// gateway's error code (its error information, when one follows, becomes
// the thread's).
int GwIConnCheckAnsw(const uint8_t* answer, int len, uint8_t versionSent, uint8_t* hdrVersion, uint8_t* acceptInfo,
                     int* echo);

// The old connect: the client listens on two ports that NI chooses, names
// them to the gateway in one datagram (to gwAddr, else to gwHost, at the
// port of gwService) and accepts the gateway's connection on each: 0 with
// *readHdl and *writeHdl, else a GW_RETURN_CODE with both -1 and nothing
// left open. localAddr (may be NULL) is the address the caller states.
int GwIOldConnect(const WEQ_UC* gwHost, const NI_NODEADDR* gwAddr, const WEQ_UC* gwService,
                  const WEQ_UC* localHost, const NI_NODEADDR* localAddr, const WEQ_UC* localService,
                  NI_HDL* readHdl, NI_HDL* writeHdl, int timeout);

// The old connect's datagram (GW_OLD_DGRAM_LEN bytes): the two ports (host
// order) and the IPv4 bytes of the local host and of the stated address.
#define GW_OLD_DGRAM_LEN 100
void GwIGenOldDgram(uint8_t* dgram, const uint8_t hostIPv4[4], const uint8_t statedIPv4[4], uint16_t readPort,
                    uint16_t writePort, const WEQ_UC* localHost, const WEQ_UC* localService);

#endif
