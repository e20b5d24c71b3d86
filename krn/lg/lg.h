// Logon groups: which application server of a logon group a client should
// log on to, asked of the message server. This header holds the layer's
// return codes with their names and texts; the lookups build on them.
//
// Every operation returns an LG_RC, 0 or a negative code below. A failing
// operation records the calling thread's error information under the
// component "LG" (version 5, module "lgxx") with the code's text as the
// error text and the operation's name as the detail. -101 and -102 stand for
// a failure of the message-server or network layer; the layer keeps the
// cause (see lg_int.h), which the error setter of the bindings reads.
//
// The functions here are reentrant; the texts are constants.
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

#endif
