// Stand-in for what the failure reporter needs of the NI library and its
// handle table, which are not built yet: the handle record's fields, the NI
// trace file and the table's figures. It goes (this header,
// nihdl_standin.cpp and its include in ni_int.h) when they arrive.
#ifndef KRN_NI_NIHDL_STANDIN_H
#define KRN_NI_NIHDL_STANDIN_H

#include <stdint.h>

#include "krn/dptrc/dptrc.h"
#include "krn/ni/ni.h"
#include "krn/si/si.h"
#include "weq_types.h"

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
