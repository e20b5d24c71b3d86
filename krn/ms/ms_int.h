// Internals of the message server client shared by its files and the
// tests: the connection record, the header layouts, and the operations on
// a handle. No other module includes this header.
//
// A handle is used by one thread at a time (the logon-group layer's mutex);
// nothing here locks.
#ifndef KRN_MS_MS_INT_H
#define KRN_MS_MS_INT_H

#include <stdint.h>

#include "krn/dptrc/dptrc.h"
#include "krn/ms/ms.h"
#include "krn/ni/ni.h"
#include "weq_types.h"

// Component of the error information and its version.
#define MS_COMPONENT u"MS (message handling interface, multithreaded)"
#define MS_COMPONENT_VERSION 4

// --- Header layouts -----------------------------------------------------------
//
// Version 4 (110 bytes): eye-catcher 0-11, version 12, mserrno 13 (signed),
// toname 14-53, msgtypes 54, reserved 55, dom 56, reserved 57, key 58-65,
// msflag 66, iflag 67, fromname 68-107, port 108-109 (big-endian); data
// behind. Version 3 (70 bytes): eye-catcher, version, mserrno, toname 14-33,
// msgtypes 34, reserved 35-37, key 38-45, msflag 46, iflag 47, fromname
// 48-67, port 68-69. Texts are 7-bit, blank-padded, not terminated.
enum : int {
  MS_H_VERSION = 12,
  MS_H_MSERRNO = 13,
  MS_H_TONAME = 14,
  MS_H_MSGTYPES = 54,
  MS_H_DOM = 56,
  MS_H_KEY = 58,
  MS_H_MSFLAG = 66,
  MS_H_IFLAG = 67,
  MS_H_FROMNAME = 68,
  MS_H_PORT = 108,
  MS_H3_LEN = 70,
  MS_H3_MSGTYPES = 34,
  MS_H3_KEY = 38,
  MS_H3_MSFLAG = 46,
  MS_H3_IFLAG = 47,
  MS_H3_FROMNAME = 48,
  MS_H3_PORT = 68,
  MS_H3_NAME = 20,  // characters of a version-3 name
  // Versions 2 and below: a 228-byte header whose sender service (20
  // characters at 88) becomes the port.
  MS_H2_LEN = 228,
  MS_H2_SERVICE = 88,
};

// The most a version-3 message may carry: its header and the data of a
// version-4 message. A longer one would not fit the buffer once its header
// has grown to 110 bytes.
#define MS_H3_MAX_LEN (MS_H3_LEN + MS_MAX_DATA_LEN)

// iflag values (the operation of a message).
enum : uint8_t {
  MS_IFLAG_NAME = 1,     // addressed by name
  MS_IFLAG_TYPE = 2,     // addressed by message type
  MS_IFLAG_OLDLOGIN = 3,
  MS_IFLAG_LOGOUT = 4,
  MS_IFLAG_ADMIN = 5,
  MS_IFLAG_LOGIN = 8,
  MS_IFLAG_ACK = 14,  // send, then wait for one acknowledgement
};

// Attach states.
enum : int32_t {
  MS_AS_START = 0,
  MS_AS_CONNECTING = 1,
  MS_AS_LOGIN_SENT = 2,
  MS_AS_OLD_START = 3,
  MS_AS_OLD_CONNECTING = 4,
};

// The maximum data length after an old login, for the life of the handle.
#define MS_OLD_MAX_DATA_LEN 10000

// One message-server connection.
struct MS_HDL {
  NI_HDL hdl;
  uint8_t attached;
  WEQ_RAW* header;  // the current message in the buffer, or NULL
  NIBUF* buffer;    // the one buffer the handle holds, or NULL
  WEQ_UC* myname;   // first word of the client name (heap), for the trace
  WEQ_UC name[MS_NAME_FIELD];  // client name, blank-padded; "-": anonymous
  WEQ_UC* myserv;              // own service (heap), or NULL
  uint8_t msgtypes;
  uint8_t dom;
  NI_RC lastNiRc;  // NI code of the last NI failure, 0 when none
  int32_t ms_timeS;
  int32_t ms_timeL;
  int32_t ms_timeR;
  int32_t maxDataLen;
  uint8_t peerVersion;  // the version messages are written in
  uint8_t ownVersion;   // the version headers are built in
  WEQ_UC* mshost;
  WEQ_UC* msserv;
  uint8_t oldLogin;  // an old login started its connect
  int32_t attachState;
  uint8_t relCheckPassed;
  WEQ_UC* relText;
  int32_t relNo;
  int32_t patchLevel;
  int32_t patchNo;
  uint8_t loginOp;
  uint8_t nonBlocking;
  // Set by a login answered with MSEWRONGVERSION: the attach runs again
  // with own version 3, without login data and reply, also across the
  // calls of a non-blocking attach.
  uint8_t versionRetry;
};

// A handle with the initial values of the default handle.
void MsIHdlInit(MS_HDL* h);
// Test seam: closes the connection without a logout, frees what the handle
// holds and gives it its initial values.
void MsIHdlReset(MS_HDL* h);

// --- Buffer and header ----------------------------------------------------------

// The allocation function of the handle's connection: always one buffer of
// MS_BUFFER_LEN bytes with the release hook; MSENILAYER when that fails.
NI_RC MsIBufAlloc(NIBUF** ppBuffer, int32_t length, const WEQ_UC* text);
// The release hook: frees the buffer and clears the pointer that held it.
void MsIBufRelease(NIBUF** ppBuffer);

// Makes sure the handle holds its buffer and writes a fresh header into
// it: 0 or MSENILAYER.
int MsIBufInit(MS_HDL* h);

// Writes the message in the buffer (len bytes with the header), converted
// to the peer's version: 0, MSENIQUEUE, MSEINVAL (a peer below version 3)
// or MSENILAYER. The handle holds no buffer afterwards unless NI left it.
int MsINiWrite(MS_HDL* h, int32_t len);

// Reads one message into a new buffer with the time-out; *len receives its
// length with the header brought to the own version, *niRc the NI code of
// a failed receive (else 0): 0, MSENILAYER, MSEWRONGSERVER or
// MSEHEADERINCOMPLETE.
int MsINiRead(MS_HDL* h, int32_t timeout, int32_t* len, NI_RC* niRc);

// Mode 2 sets *value, any other mode reads it: 0, or MSEINVAL for an
// unknown parameter (and for setting BUFFER_LN).
int MsIParam(MS_HDL* h, int mode, int param, int32_t* value);

// Brings a received message in place to the own version: unchanged when
// the own version is not above the header's; version 3 grows by 40 bytes
// (the buffer needs that room; a message above MS_H3_MAX_LEN bytes gives
// -1, as does one below 70); versions 2 and below take the 228-byte header
// and shrink by 118 (below 228 bytes: -1).
void MsIConvertHeaderIn(WEQ_RAW* header, int32_t len, int32_t* newLen, uint8_t ownVersion,
                        uint8_t headerVersion);
// Writes a version-4 message (len >= 110 bytes) into dst (which may be the
// message itself) in the target version: 4 and above unchanged, 3 shrinks
// by 40 bytes; 0, or MSEINVAL for a shorter message or a target below 3.
int MsIConvertHeaderOut(const WEQ_RAW* header, WEQ_RAW* dst, int32_t len, int32_t* newLen,
                        uint8_t targetVersion);

// Dumps len bytes to the trace file as a framed table of offsets, hex and
// text, whatever the trace level: callers that dump at a level test it.
void MsIHexDump(CTRC_HDL hdl, const void* data, int32_t len);

// --- Attach and detach ----------------------------------------------------------

int MsIAttachEx(MS_HDL* h, const WEQ_UC* myname, const WEQ_UC* myserv, uint8_t msgtypes,
                const WEQ_UC* mshost, const WEQ_UC* msserv, uint8_t ownVersion, uint8_t dom,
                const WEQ_UC* relText, int32_t relNo, int32_t patchLevel, int32_t patchNo,
                uint8_t loginOp, const void* loginData, int32_t loginLen, WEQ_RAW** reply,
                int32_t* replyLen, MS_HDL** hdlOut, uint8_t nonBlocking);
int MsIAttachOld(MS_HDL* h);
int MsIDetach(MS_HDL* h);

// --- Exchange -----------------------------------------------------------------------

int MsISnd2(MS_HDL* h, const void* data1, int32_t len1, const void* data2, int32_t len2,
            const WEQ_UC* toname, uint8_t msgtypes, const WEQ_RAW key[MS_KEY_LEN], uint8_t msflag,
            uint8_t iflag, int8_t mserrno);
int MsIReadFromHdl(MS_HDL* h, int32_t* len, int32_t timeout);
int MsIReceive(MS_HDL* h, WEQ_RAW** data, int32_t* dataLen, WEQ_RAW key[MS_KEY_LEN], uint8_t* msflag,
               WEQ_UC fromname[MS_NAME_FIELD + 1], int32_t timeout);
void MsIErrSet(MS_HDL* h, int32_t code);

// --- Requests -----------------------------------------------------------------------

// The first four bytes of every opcode request and reply.
struct MS_OP_HEADER {
  uint8_t opcode;
  uint8_t oprc;  // 0 in requests; the op return code of a reply
  uint8_t version;
  uint8_t mode;
};

// Opcodes the client sends.
enum : uint8_t {
  MS_SERVER_LST = 5,
  MS_GET_SECURITY_KEY2 = 9,
  MS_GET_LOGON = 44,
  MS_SERVER_LONG_LIST = 64,
  MS_SET_PROPERTY = 67,
  MS_IP_PORT_TO_NAME = 70,
};

// Lengths of the fixed requests, and of a logon record's parts.
enum : int32_t {
  MS_LIST_REQUEST_LEN = 4,
  MS_RELINFO_REQUEST_LEN = 70,
  MS_KEY_REQUEST_LEN = 282,
  MS_NAME_REQUEST_LEN = 27,
  MS_KEY_FIELD = 10,  // offset of the 256-byte key text
  MS_KEY_TEXT_LEN = 256,
  MS_LOGON_TEXT_MAX = 255,  // characters of one text of a logon record
  MS_LOGON_REC_MAX = 8 + 4 * (2 + MS_LOGON_TEXT_MAX) + 18 + 2,
};

// The msflag of a request: 2 when the caller waits; without a wait 1 for
// the time-out -2, else 2.
inline uint8_t MsIOpMsflag(uint8_t wait, int32_t timeout) {
  return wait || timeout != -2 ? MS_REQUEST : MS_MSG;
}

int MsIOpRequest(MS_HDL* h, uint8_t opcode, const void* request, int32_t length, WEQ_RAW** reply,
                 int32_t* replyLen, uint8_t wait, int32_t timeout, uint8_t msflag);
int MsILongClientList(MS_HDL* h, uint8_t wait, int32_t timeout);
int MsIClientList(MS_HDL* h, MSXXLIST** list, int32_t* count, int32_t timeout, uint8_t onlyWithTypes,
                  uint8_t onlyActive, WEQ_RAW* request, int32_t* requestLen);
// One wire record (of serverVersion 1-4) into out: 0, or -1 for a server
// version above the client's or outside 1-4.
int MsConvMsxxlist(MSXXLIST* out, int32_t clientVersion, const WEQ_RAW* record, int32_t serverVersion);
// Formats a record: flags 1 writes it to the trace, 2 sets *length to its
// length; a buffer (with *length units of room) receives the text cut and
// terminated.
int MsIClientInfoText(const MSXXLIST* rec, WEQ_UC* text, int32_t* length, int flags);

// Writes a logon record (at most MS_LOGON_REC_MAX bytes) and returns its
// length, or MSEINVAL for a text above MS_LOGON_TEXT_MAX characters. ipv4
// holds the address bytes in network order (0: none); v6 NULL: none.
int32_t MsIBuildLogonData(WEQ_RAW* record, const WEQ_UC* name, int32_t protocol, uint16_t port,
                          const NI_NODEADDR* v6, uint32_t ipv4, const WEQ_UC* protname, const WEQ_UC* host,
                          const WEQ_UC* misc);
// Reads a logon record of len bytes; every length is checked against len:
// 0, or MSEINVAL for a record that runs past its end.
int MsIExtractLogon(const WEQ_RAW* record, int32_t len, int32_t* protocol, WEQ_UC* host, int32_t hostCapacity,
                    NI_NODEADDR* addr, uint32_t* ipv4, uint16_t* port, WEQ_UC* misc, int32_t miscCapacity);
int MsGetLogon(MS_HDL* h, const WEQ_UC* name, int32_t protocol, WEQ_UC* host, int32_t hostCapacity,
               NI_NODEADDR* addr, uint32_t* ipv4, uint16_t* port, WEQ_UC* misc, int32_t miscCapacity,
               uint8_t wait, int32_t timeout, WEQ_RAW* request, int32_t* requestLen);
int MsSetRelInfoForClient(MS_HDL* h, const WEQ_UC* client, const WEQ_UC* release, int32_t relNo,
                          int32_t patchLevel, int32_t patchNo, uint8_t wait, int32_t timeout, WEQ_RAW* request,
                          int32_t* requestLen);
int MsGetSecurityKeyByIpAdr(MS_HDL* h, const NI_NODEADDR* addr, uint32_t ipv4, uint16_t port, const WEQ_UC** key,
                            uint8_t wait, int32_t timeout, WEQ_RAW* request, int32_t* requestLen);
int MsIGetNameByIpAdr(MS_HDL* h, const NI_NODEADDR* addr, uint16_t port, const WEQ_UC** name, uint8_t wait,
                      int32_t timeout, WEQ_RAW* request, int32_t* requestLen, int32_t version);

// --- Shared helpers -------------------------------------------------------------------

// The trace handle of the client's lines.
inline CTRC_HDL MsITrc(void) { return CTrcGlobalHdl.load(std::memory_order_relaxed); }

// Strict 7-bit narrowing of n characters into n bytes: stops at the end of
// src or at the first character above 127; the rest of dst keeps what it
// held.
void MsBufConvertToNet(WEQ_RAW* dst, const WEQ_UC* src, int n);
// Widens n bytes into n characters (no terminator).
void MsBufConvertFromNet(WEQ_UC* dst, const WEQ_RAW* src, int n);

// Records code with its text; the text's placeholders take args.
int MsIErrInfoV(uint32_t line, int32_t code, U16FmtArgs args);
template <class... A>
inline int MsIErrInfo(uint32_t line, int32_t code, const A&... args) {
  return MsIErrInfoV(line, code, U16FmtMakeArgs(args...).args());
}

// Records MSEWRONGSERVER naming the handle's host and service.
void MsIWrongServer(MS_HDL* h, uint32_t line);

// Test seam: the buffer's data and length through the buffer record.
inline WEQ_RAW* MsIBufData(NIBUF* b) { return b->data; }
inline int32_t MsIBufLen(const NIBUF* b) { return b->len; }
inline int32_t MsIBufSize(const NIBUF* b) { return b->buflen; }
inline void MsIBufSetLen(NIBUF* b, int32_t len) { b->len = len; }
inline void MsIBufRewind(NIBUF* b) {
  b->data = b->buffer;
  b->len = 0;
}

#endif
