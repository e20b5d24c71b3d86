// Gateway protocol library: the APPC header that begins every message on a
// gateway connection (its versions, request codes and flag bytes), the
// 8-bit text fields of the gateway's records, the names the trace prints for
// the protocol's codes and flag bytes, and the gateway's thin layer over NI.
//
// Thread safety: everything may be called by any number of threads at once.
// Texts that an operation hands out from its own storage (decimal names of
// unknown codes, GwNetStrForTrc's ring) belong to the calling thread and are
// freed when it ends; they stay valid as each operation states.
#ifndef KRN_GW_GW_H
#define KRN_GW_GW_H

#include <stdint.h>

#include "krn/ni/ni.h"
#include "weq_types.h"

// --- APPC header ----------------------------------------------------------------

// This system builds every header in version 6 and reads every incoming one
// as 80 bytes. Numbers are big-endian.
#define APPC_HDR_VERSION 6
#define APPC_HDR_LEN 80

enum : unsigned {
  APPC_OFF_VERSION = 0,
  APPC_OFF_REQ = 1,
  APPC_OFF_PROTOCOL = 2,
  APPC_OFF_MODE = 3,
  APPC_OFF_UID = 4,
  APPC_OFF_ERRINFO_LEN = 8,
  APPC_OFF_INFO2 = 10,
  APPC_OFF_TRACE = 11,
  APPC_OFF_INFO3 = 16,
  APPC_OFF_INFO4 = 21,
  APPC_OFF_GW_REQ_VALUE = 22,
  APPC_OFF_PARAM_LEN = 26,
  APPC_OFF_INFO = 30,
  APPC_OFF_VECTOR = 31,
  APPC_OFF_APPC_RC = 32,
  APPC_OFF_WEQ_RC = 36,
  APPC_OFF_CONV_ID = 40,
  APPC_OFF_REQ_AREA = 48,
  APPC_OFF_COMM_IDX = 76,
  APPC_OFF_CONN_IDX = 78,
};

// Request codes (byte 1).
enum : uint8_t {
  F_NO_REQUEST = 0,
  F_INITIALIZE_CONVERSATION = 1,
  F_ACCEPT_CONVERSATION = 3,
  F_ALLOCATE = 5,
  F_SEND_DATA = 7,
  F_ASEND_DATA = 8,
  F_RECEIVE = 9,
  F_ARECEIVE = 10,
  F_DEALLOCATE = 11,
  F_SET_TP_NAME = 13,
  F_SET_PARTNER_LU_NAME = 15,
  F_SET_SECURITY_PASSWORD = 17,
  F_SET_SECURITY_USER_ID = 19,
  F_SET_SECURITY_TYPE = 21,
  F_SET_CONVERSATION_TYPE = 23,
  F_EXTRACT_TP_NAME = 25,
  F_FLUSH = 27,
  F_WEQ_ALLOCATE = 201,
  F_WEQ_INIT = 202,
  F_WEQ_SEND = 203,
  F_AWEQ_SEND = 204,
  F_WEQ_SYNC = 205,
  F_WEQ_PING = 206,
  F_WEQ_REGTP = 207,
  F_WEQ_UNREGTP = 208,
  F_WEQ_ACCPTP = 209,
  F_WEQ_UNACCPTP = 210,
  F_WEQ_CANCTP = 211,
  F_WEQ_SET_UID = 212,
  F_WEQ_CANCEL = 213,
  F_WEQ_CANCELED = 214,
};

// Info (byte 30).
enum : uint8_t {
  SYNC_CPIC_FUNCTION = 0x01,
  WITH_HOSTADDR = 0x02,
  WITH_GW_WEQ_PARAMS_HDR = 0x04,
  CPIC_SYNC_REQ = 0x08,
  WITH_ERR_INFO = 0x10,
  DATA_WITH_TERM_OUTPUT = 0x20,
  DATA_WITH_TERM_INPUT = 0x40,
  T8_CPIC_LOGIN_WITH_TERM = 0x80,
};
// Info2 (byte 10).
enum : uint8_t {
  WITH_LONG_LU_NAME = 0x01,
  WITH_LONG_HOSTADDR = 0x02,
  GW_IMMEDIATE = 0x04,
  GW_SNC_ACTIVE = 0x08,
  GW_WAIT_LOOK_UP = 0x10,
  SNC_INIT_PHASE = 0x20,
  GW_STATELESS = 0x40,
  GW_NO_STATE_CHECK = 0x80,
};
// Info3 (byte 16).
enum : uint8_t {
  GW_WITH_CODE_PAGE = 0x01,
  GW_ASYNC_RFC = 0x02,
  GW_CANCEL_HARD = 0x04,
  GW_CANCEL_SOFT = 0x08,
  GW_WITH_GUI_TIMEOUT = 0x10,
  GW_TERMIO_ERROR = 0x20,
  GW_EXTENDED_INIT_OPTIONS = 0x40,
  GW_DIST_TRACE = 0x80,
};
// Info4 (byte 21).
enum : uint8_t { GW_WITH_DBG_CTL = 0x01 };
// Vector (byte 31).
enum : uint8_t {
  F_V_INITIALIZE_CONVERSATION = 0x01,
  F_V_ALLOCATE = 0x02,
  F_V_SEND_DATA = 0x04,
  F_V_RECEIVE = 0x08,
  F_V_FLUSH = 0x10,
};

// The length of a header of the given version: 76, 100, 100, 138, 78, 80
// for 1 to 6, 0 for any other.
int GwAppcHdrLen(uint8_t version);

// Converts the outgoing header at hdr (lying directly in front of the
// message's data) to the wanted version and returns its new start; *msgLen
// (the whole message's length) changes by the difference of the lengths. A
// longer header begins before hdr: the caller keeps that much room in front
// of it. Overlapping moves are safe.
uint8_t* GwOutCheck(uint8_t* hdr, uint8_t version, int* msgLen);

// --- Net-format text fields -------------------------------------------------------

// WEQ_UC to an 8-bit field of capacity bytes. Both flags off: the whole
// source, blank-padded to the capacity (*outLen = capacity). Otherwise the
// source ends at a 0 unit (or, stopAtBlank, a blank); terminate reserves a
// byte for a 0 byte behind the text (*outLen counts it). Returns 0, 32 when
// the text was cut, or the converter's code (nothing reported then).
int GwConvToNet(char* field, int* outLen, int capacity, const WEQ_UC* src, int srcLen, int terminate,
                int stopAtBlank);
// An 8-bit field into WEQ_UC of capacity units, by the same flags; with
// terminate a 0 unit follows the text (not counted), without it a trailing
// 0 unit that was converted is not counted.
int GwConvFromNet(WEQ_UC* dst, int* outLen, int capacity, const char* field, int fieldLen, int terminate,
                  int stopAtBlank);
// An incoming field as a terminated text for one trace line, from a ring of
// ten buffers of the calling thread: valid until ten further calls. A
// constant empty text when memory or the conversion fails.
const WEQ_UC* GwNetStrForTrc(const char* field, int fieldLen, int terminate, int stopAtBlank);

// --- Names -------------------------------------------------------------------------

// Client kinds and registration states.
enum : uint8_t { GW_NO_CLIENT_INFO = 0, GW_EXTERNAL_CLIENT = 1, GW_T8_CLIENT = 2 };
// Registration states of a registered server program.
enum : uint32_t {
  REG_NOT_USED = 0,
  REG_INIT = 1,
  REG_WAITING = 2,
  REG_RUNNING = 3,
  REG_SECU_ERROR = 4,
  REG_NOREG_ERROR = 5,
};

// Accept info of the connect answer.
enum : uint8_t {
  EINFO = 0x01,
  PING = 0x02,
  SNC = 0x04,
  CONN_EINFO = 0x08,
  CODE_PAGE = 0x10,
  NIPING = 0x20,
  EXTINITOPT = 0x40,
  GW_ACCEPT_DIST_TRACE = 0x80,
};

// Names of codes without their prefix; a code outside the table gives its
// decimal number from a buffer of the calling thread and operation, valid
// until that operation's next such code on this thread.
const WEQ_UC* GwClientInfoName(uint8_t kind);
const WEQ_UC* GwRegStateName(int state);
const WEQ_UC* GwRequestName(uint8_t req);
const WEQ_UC* GwProtocolName(uint8_t type);
const WEQ_UC* GwErrorName(int code);

// The names of a flag byte's set bits, each followed by a blank (a few
// names end the text without it). buf holds at least GW_FLAGS_TEXT_LEN
// units; a NULL buf gives a constant empty text.
#define GW_FLAGS_TEXT_LEN 151
WEQ_UC* GwInfoFlagsText(uint8_t flags, WEQ_UC* buf);
WEQ_UC* GwInfo2FlagsText(uint8_t flags, WEQ_UC* buf);
WEQ_UC* GwInfo3FlagsText(uint8_t flags, WEQ_UC* buf);
WEQ_UC* GwInfo4FlagsText(uint8_t flags, WEQ_UC* buf);
WEQ_UC* GwVectorText(uint8_t flags, WEQ_UC* buf);
WEQ_UC* GwAcceptInfoText(uint8_t flags, WEQ_UC* buf);

// --- NI layer ----------------------------------------------------------------------

// NiHandleForProto when protoFamily is not 0, else NiHandle.
NI_RC GwNiConnect(const WEQ_UC* host, const WEQ_UC* service, int32_t timeout, NI_HDL* hdl, uint32_t protoFamily);
NI_RC GwNiWrite(NI_HDL hdl, const void* data, int len, int timeout, uint32_t* written);
NI_RC GwNiRead(NI_HDL hdl, void* buf, int len, int timeout, uint32_t* read);
NI_RC GwNiAccept(NI_HDL listenHdl, int32_t timeout, NI_HDL* newHdl, NI_NODEADDR* peerAddr);
NI_RC GwNiCloseHandle(NI_HDL hdl);
// NIEINVAL for a NULL argument; a name beginning with "%%" is never looked
// up: NIEHOST_UNKNOWN, recorded with NiErrSet.
NI_RC GwHostToAddr(const WEQ_UC* host, NI_NODEADDR* addr);
// The host name of addr into buf (bufLen units), or NULL when NI has none.
WEQ_UC* GwAddrToHost(const NI_NODEADDR* addr, WEQ_UC* buf, int bufLen);

// --- Gateway connect ---------------------------------------------------------------

// Opens an NI connection to the gateway at gwHost (a host name or a route
// string; without a host, the host name of gwAddr) and gwService, sends the
// connect record, checks the answer and returns 0 or a GW_RETURN_CODE. On
// success *hdl and *hdl2 hold the connection, *hdrVersion the gateway's
// APPC header version and *acceptInfo (may be NULL) the options it
// accepted; on every failure the connection is closed and both handles are
// -1. connType: 3 client, 11 registering server program, 14 registration
// query (the last two send an identification block). codePage NULL means
// "1100"; ctx goes to the NI operation slots. When the answer cannot be
// read, compat is set and connType is 3 or 4, the old connect of earlier
// gateways follows (a route must have one hop): *hdl then reads from the
// gateway and *hdl2 writes to it, *hdrVersion is 6 and *acceptInfo 0.
int GwIConnect(uint8_t connType, const WEQ_UC* gwHost, const NI_NODEADDR* gwAddr, const WEQ_UC* gwService,
               const WEQ_UC* localHost, const NI_NODEADDR* localAddr, const WEQ_UC* localService, NI_HDL* hdl,
               NI_HDL* hdl2, uint32_t protoFamily, uint8_t* hdrVersion, uint8_t* acceptInfo, int timeout,
               int compat, int16_t index, const WEQ_UC* codePage, void* ctx);

// --- Routes ------------------------------------------------------------------------

// The number of hops of a route string, or -1 (NULL, or a route NI refuses).
int GwRouteNoHops(const WEQ_UC* route);
// The last hop of a route: 0, -1 for NULL arguments, 740 without a hop,
// 222 without memory, or NI's code.
int GwRouteGetLastHop(const WEQ_UC* route, NI_ROUTE_ENTRY* lastHop);

#endif
