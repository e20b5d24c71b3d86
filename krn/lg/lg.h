// Logon groups: which application server of a logon group a client should
// log on to, asked of the message server. A lookup reads the group's
// storage entry and the message server's list of application servers,
// chooses a server by the group's load-balancing type (best quality, round
// robin, weighted round robin) and keeps what it learnt in a process-wide
// cache of 32 groups, so that later lookups of the group choose without
// asking the message server until the group's logon count or reread
// time-out is used up.
//
// Every operation returns an LG_RC, 0 or a negative code below. A failing
// operation records the calling thread's error information under the
// component "LG" (version 5, module "lgxx") with the code's text as the
// error text and the operation's name as the detail. -101 and -102 stand for
// a failure of the message-server or network layer; the layer keeps the
// cause, which LgErrSet records.
//
// Locking: LgGroupSec, LgGroupSncSec and LgApplSrvInfo run under the
// layer's mutex "LG" (a no-op until ThrProcInit has run); the message
// server client below them has no lock of its own, so nothing else may use
// it at the same time. LgSetParam, LgErrSet, LgCallDone and the name and
// text functions take no lock. Lists handed out by LgApplSrvInfo belong to
// the layer and stay valid until 128 more lists of their kind were read.
//
// Texts are WEQ_UC strings; lengths of caller buffers count units, the
// terminator included. A text that does not fit a caller's buffer whole
// leaves the buffer empty.
#ifndef KRN_LG_LG_H
#define KRN_LG_LG_H

#include <stdint.h>

#include "weq_types.h"

typedef int32_t LG_RC;

enum : LG_RC {
  LGEINTERN = -1,         // building, writing or reading administration records
  LGENOMEM = -2,          // "out of memory (%s)"
  LGEINVAL = -3,          // a caller's fault, "%s" says which
  LGETIMEOUT = -4,        // the message server did not answer in time ("%d" ms)
  LGENOSNCACTIVE = -5,    // not produced
  LGEGRPNOTFOUND = -6,    // "Group %s not found"
  LGESRVNOTFOUND = -7,    // not produced
  LGENOSERVER = -8,       // no application server
  LGENOGROUPS = -9,       // not produced
  LGENOSNCACTIVEG = -10,  // no server of the group has SNC
  LGENOENT = -11,         // no such storage entry
  LGEACCESSDENIED = -12,  // not produced
  LGEINTERN2 = -13,       // "internal error (%s)"
  LGEMSLAYER = -101,      // the message-server layer failed
  LGENILAYER = -102,      // the network layer failed
};

// Room for any name of LgErrorName, terminator included.
#define LG_ERR_NAME_LEN 16

// The code's text, a format with at most one "%s" or "%d"; "unknown error"
// for 0 and every code outside the table.
const WEQ_UC* LgErrorText(LG_RC code);

// The code's name ("LGEINVAL"; "WEQ_O_K" for 0), or its decimal text for a
// code outside the table, in buffer (LG_ERR_NAME_LEN units); returns buffer.
WEQ_UC* LgErrorName(LG_RC code, WEQ_UC* buffer);

// --- Parameters -------------------------------------------------------------------

enum : uint8_t {
  LG_PARAM_TIMEOUT = 1,      // lg_timeout: ms for every message-server request (10000)
  LG_PARAM_LB_TIMEOUT = 2,   // lg_lb_timeout: stored only (60000)
  LG_PARAM_LB_REQUESTS = 3,  // lg_lb_requests: stored only (1000)
};

// Sets one parameter: 0, or LGEINVAL for another id (nothing changes).
LG_RC LgSetParam(uint8_t id, int32_t value);

// --- Lookups ------------------------------------------------------------------------

// The application server of group at the message server mshost/msserv
// (host names, address texts or a route string; NULL: the message server
// the layer is attached to). On success addr and port name the server to
// log on to, release the group's release, lbUsed 1 when a server was chosen
// by load balancing (0: the group's own address), name the server's name.
// release, lbUsed and name may be NULL; group, addr and port may not
// (LGEINVAL). The group "_A_N_Y_" asks the message server for its next
// server of any group.
LG_RC LgGroupSec(const WEQ_UC* mshost, const WEQ_UC* msserv, const WEQ_UC* group, WEQ_UC* addr,
                 int addrLen, uint16_t* port, WEQ_UC* release, int releaseLen, uint8_t* lbUsed,
                 WEQ_UC* name, int nameLen);
// The same among the servers that have an SNC name, which goes to sncName;
// LGENOSNCACTIVEG (with the other outputs filled) when neither a server
// nor the group's own address has one.
LG_RC LgGroupSncSec(const WEQ_UC* mshost, const WEQ_UC* msserv, const WEQ_UC* group, WEQ_UC* addr,
                    int addrLen, uint16_t* port, WEQ_UC* release, int releaseLen, WEQ_UC* sncName,
                    int sncNameLen, uint8_t* lbUsed, WEQ_UC* name, int nameLen);

// One application server connected to the message server.
struct LG_APPSRV_ENTRY {
  WEQ_UC name[41];  // at most 40 characters
  WEQ_UC host[33];
  WEQ_UC addr[46];  // address text
  WEQ_UC serv[21];  // service name
  WEQ_UC port[12];  // decimal port
  WEQ_UC type[41];  // message types and system services as words
};

// One logon group of the message server's storage.
struct LG_CLASS_ENTRY {
  WEQ_UC name[21];
  WEQ_UC addr[46];
  WEQ_UC port[12];
  WEQ_UC release[5];
};

// The message server's application servers (when asList is given) and
// logon groups (when clList is given); the counts must then be given too.
LG_RC LgApplSrvInfo(const WEQ_UC* mshost, const WEQ_UC* msserv, LG_APPSRV_ENTRY** asList,
                    int32_t* asCount, LG_CLASS_ENTRY** clList, int32_t* clCount);

// The name the message server keeps for the client at ipAddr (an address
// text or host name) and port (a service text): the message server's code;
// *name then points to text of the message server client, valid until its
// next name request.
int LgAdrPortToName(const WEQ_UC* mshost, const WEQ_UC* msserv, const WEQ_UC* ipAddr,
                    const WEQ_UC* port, const WEQ_UC** name);

// Records rc in the calling thread's error information: for -101 the
// message server's kept code, for -102 NI's kept code; any other code as an
// "LG" record, unless the thread holds an error of another location or
// this very code of "LG" already.
void LgErrSet(LG_RC rc);

// The end of a caller's logon-group calls: nothing, 0.
LG_RC LgCallDone(void);

#endif
