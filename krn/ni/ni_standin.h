// Stand-ins for what the failure reporter needs of NI parts that are not
// built yet: the node address and its text, the buffer-only look-ups of the
// host and service caches, and the handle record with the NI trace file and
// the table's figures. Each is replaced by the real one when its part
// arrives; this header and ni_standin.cpp then go.
#ifndef KRN_NI_NI_STANDIN_H
#define KRN_NI_NI_STANDIN_H

#include <stdint.h>

#include "krn/dptrc/dptrc.h"
#include "krn/ni/ni.h"
#include "krn/si/si.h"
#include "weq_types.h"

// --- Node addresses (addresses and address strings) -------------------------------

// A network address in IPv6 form; IPv4 addresses IPv4-mapped (10 zero
// bytes, two 0xFF bytes, the 4 address bytes).
typedef struct NI_NODEADDR {
  WEQ_RAW addr[16];
} NI_NODEADDR;

#define NI_NODEADDR_STR_LEN 46
#define NI_IPv4ADDR_STR_LEN 16

// The numeric text of an address: dotted for IPv4-mapped addresses (and
// "0.0.0.0" for NULL), else the IPv6 text. NIEINVAL for a short buffer.
NI_RC NiAddrToStr(const NI_NODEADDR* pNodeAddr, WEQ_UC* buffer, int32_t bufferLen, uint8_t flag);

// --- Cache look-ups (host and service caches) ---------------------------------------

#define NI_HS_MODE_DEFAULT 0
#define NI_HS_MODE_BUFONLY 1
#define NI_HS_MODE_NOBUF 2

// Address to host name. Without caches every look-up misses: the address
// text is written and NIEHOST_UNKNOWN returned.
NI_RC NiIGetHostName(const NI_NODEADDR* pNodeAddr, WEQ_UC* pHostName, int32_t bufferLen, uint8_t fq,
                     uint8_t mode, CTRC_HDL trc);

// Port (network order) to service name. Without caches every look-up
// misses: the port is written in decimal and NIESERV_UNKNOWN returned.
NI_RC NiIGetServName(uint16_t servNo, WEQ_UC* pServName, int32_t bufferLen, uint8_t mode, CTRC_HDL trc);

// --- Handle record (library and handle table) ---------------------------------------

// Handle states the reporter tells apart.
enum : uint8_t {
  NI_FREE = 0x00,
  NI_INITIAL_LIS = 0x01,
  NI_INITIAL_RIL = 0x02,
  NI_INITIAL_CON = 0x03,
  NI_LISTEN = 0x11,
  NI_RI_LISTEN = 0x22,
  NI_CONN_WAIT = 0x34,
  NI_CONNECTED = 0x35,
  NI_ACCEPTED = 0x36,
};

// The fields of an NI handle record that the reporter reads.
typedef struct NITAB {
  struct NITAB* mNext;
  struct NITAB* mPrev;
  int32_t mHdl;
  uint8_t mType;
  uint8_t mBlockMode;
  uint8_t mTrace;
  CTRC_HDL* mTrcHdl;  // where this handle's lines go
  int64_t mCreateTime;
  union {
    struct {
      NI_NODEADDR mPeerAddr;
      uint16_t mPeerServNo;  // network order
      SI_SOCKET mSocket;
      uint8_t mSingleRead;
    } con;
    struct {
      SI_SOCKET mIPSocket;
      SI_SOCKET mUDSocket;
    } lis;
  };
} NITAB;

// The NI trace file.
CTRC_HDL NiITrcHdl(void);

// The highest handle slot in use and the size of the handle table.
int32_t NiIOwnHighHdl(void);
int32_t NiIMaxHandles(void);

#endif
