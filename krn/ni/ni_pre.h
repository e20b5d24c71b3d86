// Stand-in for the NI return codes until the socket layer's NI header lands.
#ifndef KRN_NI_NI_PRE_H
#define KRN_NI_NI_PRE_H

#include <stdint.h>

#include "weq_types.h"

typedef int32_t NI_RC;

enum : NI_RC {
  NIEINTERN = -1,
  NIEHOST_UNKNOWN = -2,
  NIESERV_UNKNOWN = -3,
  NIETOO_SMALL = -7,
  NIEINVAL = -8,
  NIECALL = -24,
};

inline const WEQ_UC* NiIErrorText(NI_RC rc, void*) {
  switch (rc) {
    case NIEINTERN: return u"internal error";
    case NIEHOST_UNKNOWN: return u"hostname '%s' unknown";
    case NIESERV_UNKNOWN: return u"service '%s' unknown";
    case NIETOO_SMALL:
    case NIEINVAL: return u"internal error\n(this retcode should be handled by caller of NI-layer)";
    case NIECALL: return u"Unexpected function call";
    default: return u"*** ERROR ***";
  }
}

#endif
