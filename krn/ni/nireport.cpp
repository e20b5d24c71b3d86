// The NI failure reporter: a failed socket-layer call becomes an NI code,
// the thread's error information and one trace line.
#include <arpa/inet.h>
#include <string.h>

#include "i18n/wequ16/u16fmt.h"
#include "i18n/wequ16/u16str.h"
#include "krn/dptrc/err.h"
#include "krn/ni/ni.h"
#include "krn/ni/ni_int.h"

namespace {

constexpr size_t kAddrText = 64;  // an address with its port
constexpr size_t kHostText = 64;  // a host name from the cache
constexpr size_t kServText = 32;  // a service name from the cache
constexpr size_t kPartner = kHostText + 1 + kServText;
constexpr size_t kBuilt = 2 * kAddrText + 16;  // "P=...; L=..."
constexpr size_t kSuffix = kBuilt + 8;
constexpr size_t kDescr = 256;

const WEQ_UC* OrUnknown(const WEQ_UC* s) { return s != nullptr ? s : u"???"; }

// Appends the separator and the port (network order) in decimal.
void AppendPort(WEQ_UC* text, size_t size, uint16_t portNet) {
  size_t len = strlenU(text);
  if (len + 1 >= size) return;
  snprintfTruncU16(text + len, size - len, u"%c%d", NiIAddrServSep(text),
                   static_cast<int32_t>(ntohs(portNet)));
}

// The text of a socket address of the given family (2, 23, or 1 with a
// path of 8-bit characters) and its port. Another family is recorded as
// NIEINVAL and leaves the text empty.
void SolveSockAddr(int32_t family, const WEQ_RAW* addr, const uint16_t* pPort, const NITAB* pHdl,
                   const SI_SOCKET* pSock, WEQ_UC* out) {
  out[0] = 0;
  NI_NODEADDR node{};
  if (family == SI_AF_INET) {
    node.addr[10] = node.addr[11] = 0xFF;
    memcpy(node.addr + 12, addr, 4);
  } else if (family == SI_AF_INET6) {
    memcpy(node.addr, addr, 16);
  } else if (family == SI_AF_UNIX) {
    size_t i = 0;
    for (; i + 1 < kAddrText && addr[i] != 0; ++i) out[i] = addr[i];
    out[i] = 0;
    return;
  } else {
    int32_t hdl = pHdl != nullptr ? pHdl->mHdl.load() : -1;
    int32_t sock = pSock != nullptr ? pSock->socketNo : -1;
    ErrSetInfo(NI_COMPONENT, NI_COMPONENT_VERSION, u"nixxi", static_cast<uint32_t>(__LINE__),
               u"%s: invalid family %d for hdl %d/sock %d", NIEINVAL, NiIErrorText(NIEINVAL, NiITrcHdl()),
               u"NiISolveSockAddr", family, hdl, sock);
    DPTRC_ERROR(NiITrcHdl(), u"%s: invalid family %d for hdl %d/sock %d\n", u"NiISolveSockAddr", family, hdl,
                sock);
    return;
  }
  if (NiAddrToStr(&node, out, static_cast<int32_t>(kAddrText), 0) != WEQ_O_K) out[0] = 0;
  if (pPort != nullptr) AppendPort(out, kAddrText, *pPort);
}

// The handle's peer as host name and service name from the caches, never
// asking the resolver.
void PeerText(const NITAB* pHdl, CTRC_HDL trc, WEQ_UC* out) {
  WEQ_UC host[kHostText], serv[kServText];
  NiIGetHostName(&pHdl->con.mPeerAddr, host, static_cast<int32_t>(kHostText), 0, NI_HS_MODE_BUFONLY, trc);
  NiIGetServName(pHdl->con.mPeerServNo, serv, static_cast<int32_t>(kServText), NI_HS_MODE_BUFONLY, trc);
  snprintfTruncU16(out, kPartner, u"%s%c%s", host, NiIAddrServSep(host), serv);
}

bool ListenState(const NITAB* pHdl) {
  return pHdl->mType == NI_LISTEN || pHdl->mType == NI_RI_LISTEN || pHdl->mType == NI_INITIAL_RIL;
}

// "P=<peer>:<port>; L=<local>:<port>" of a broken connection (no "P=" and
// no local part for a local-domain socket).
void BuildBrokenText(const NITAB* pHdl, const SI_SOCKET* pSock, WEQ_UC* out) {
  bool local = pSock != nullptr && pSock->family == SI_AF_UNIX;
  WEQ_UC peer[kAddrText] = u"";
  if (pHdl != nullptr) {
    NiAddrToStr(&pHdl->con.mPeerAddr, peer, static_cast<int32_t>(kAddrText), 0);
    AppendPort(peer, kAddrText, pHdl->con.mPeerServNo);
  }
  if (local) {
    strcpy_sU16(out, kBuilt, peer);
    return;
  }
  WEQ_UC mine[kAddrText] = u"???";
  if (pSock != nullptr && (pSock->family == SI_AF_INET || pSock->family == SI_AF_INET6)) {
    SI_SOCKET copy = *pSock;
    WEQ_RAW addr[16];
    uint16_t port = 0;
    SI_RC rc;
    while ((rc = SiGetSockName(&copy, addr, sizeof(addr), &port)) == SI_EINTR) {
    }
    if (rc == SI_OK) SolveSockAddr(copy.family, addr, &port, pHdl, pSock, mine);
    if (mine[0] == 0) strcpy_sU16(mine, kAddrText, u"???");
  }
  snprintfTruncU16(out, kBuilt, u"P=%s; L=%s", peer, mine);
}

}  // namespace

NI_RC NiIReportSiError(SI_RC siRc, uint16_t siFunc, const NITAB* pHdl, const SI_SOCKET* pSock, int32_t sysErr,
                       const WEQ_UC* extra, const WEQ_RAW* pSockAddr, const uint16_t* pPort,
                       const WEQ_UC* funcName, const WEQ_UC* module, int32_t line, uint8_t errorFlag) {
  CTRC_HDL trc = NiIHdlTrc(pHdl);
  const WEQ_UC* func = OrUnknown(funcName);

  // 1. The address concerned, as text.
  WEQ_UC addrText[kBuilt] = u"";
  if (pSockAddr != nullptr) {
    SolveSockAddr(pSock != nullptr ? pSock->family : SI_AF_INET6, pSockAddr, pPort, pHdl, pSock, addrText);
  }

  // 2. The NI code, the detail and its argument.
  bool bind = siFunc == SI_FN_BIND || siFunc == SI_FN_BIND2;
  bool connect = siFunc == SI_FN_CONNECT || siFunc == SI_FN_CONNECT2;
  bool local = pSock != nullptr && pSock->family == SI_AF_UNIX;
  NI_RC rc = NIEINTERN;
  const WEQ_UC* detail = u"internal error";
  WEQ_UC arg[kPartner] = u"";
  WEQ_UC suffix[kSuffix] = u"";
  auto partner = [&] {
    if (pHdl == nullptr || (addrText[0] != 0 && ListenState(pHdl))) {
      strncpy_sU16(arg, kPartner, addrText, kPartner - 1);
    } else {
      PeerText(pHdl, trc, arg);
    }
  };
  switch (siRc) {
    case SI_EINVAL:
    case SI_EINVAL_SOCK:
      rc = NIEINVAL;
      detail = NiIErrorText(NIEINVAL, trc);
      break;
    case SI_EINVAL_FAMI:
      snprintfTruncU16(suffix, kSuffix, u"; %d", pSock != nullptr ? pSock->family : -1);
      break;
    case SI_EADDR_NAVAIL:
    case SI_ECONN_REFUSE:
      if (bind) {
        rc = local ? NIESERV_USED : NIEMYHOST_VERIFY;
        detail = local ? u"service '%s' in use" : u"verify own hostname '%s' failed";
        strncpy_sU16(arg, kPartner, addrText, kPartner - 1);
      } else {
        rc = NIECONN_REFUSED;
        detail = u"partner '%s' not reached";
        partner();
      }
      break;
    case SI_EPORT_INUSE:
      rc = NIESERV_USED;
      detail = u"service '%s' in use";
      strncpy_sU16(arg, kPartner, bind ? addrText : u"0", kPartner - 1);
      break;
    case SI_ECONN_BROKEN:
      rc = NIECONN_BROKEN;
      detail = u"connection to partner '%s' broken";
      if (addrText[0] == 0) BuildBrokenText(pHdl, pSock, addrText);
      partner();
      break;
    case SI_ETIMEOUT:
      if (connect) {
        rc = NIECONN_REFUSED;
        detail = u"partner '%s' not reached";
        if (pHdl != nullptr) {
          PeerText(pHdl, trc, arg);
        } else {
          strncpy_sU16(arg, kPartner, addrText, kPartner - 1);
        }
      } else {
        rc = NIETIMEOUT;
        detail = u"timeout occured";
      }
      break;
    case SI_EMFILE:
      rc = NIEINVAL;
      detail = NiIErrorText(NIEINVAL, trc);
      snprintfTruncU16(suffix, kSuffix, u"; own high %d; max hds %d", NiIOwnHighHdl(), NiIMaxHandles());
      break;
    default:  // the other codes of the layer, and codes it never gives
      break;
  }

  // The connect paths report under the NI connect's name.
  const WEQ_UC* sysCall = OrUnknown(SiSysCallName(siFunc));
  if ((siRc == SI_EADDR_NAVAIL || siRc == SI_ECONN_REFUSE) && (connect || siFunc == SI_FN_PEEKPENDCONN)) {
    func = connect ? u"NiPConnect" : u"NiPConnect2";
    sysCall = u"connect";
  }
  WEQ_UC descr[kDescr];
  if (addrText[0] != 0) {
    snprintfTruncU16(descr, kDescr, u"%s: %s", func, addrText);
  } else {
    strncpy_sU16(descr, kDescr, func, kDescr - 1);
  }

  // 3. The error information.
  ErrSetInfoSys(NI_COMPONENT, NI_COMPONENT_VERSION, module, static_cast<uint32_t>(line), errorFlag, u"%s", rc,
                detail, sysCall, sysErr, static_cast<const WEQ_UC*>(descr), static_cast<const WEQ_UC*>(arg));

  // 4. The trace line.
  if (suffix[0] == 0 && addrText[0] != 0) snprintfTruncU16(suffix, kSuffix, u"; %s", addrText);
  int level = CTrcLevel.load(std::memory_order_relaxed);
  if ((errorFlag == 1 && level >= 1) || level >= 2) {
    const WEQ_UC* siFuncName = OrUnknown(SiFuncName(siFunc));
    const WEQ_UC* rcName = OrUnknown(NiISiRcName(siRc));
    const WEQ_UC* sep = extra != nullptr ? u"; " : u"";
    const WEQ_UC* ext = extra != nullptr ? extra : u"";
    WEQ_UC text[1024];
    if (pHdl != nullptr && pSock != nullptr) {
      const WEQ_UC* fam = pSock->family == SI_AF_UNIX    ? u"UD"
                          : pSock->family == SI_AF_INET  ? u"I4"
                          : pSock->family == SI_AF_INET6 ? u"I6"
                                                         : u"??";
      const WEQ_UC* typ = pSock->type == SI_SOCK_STREAM  ? u"ST"
                          : pSock->type == SI_SOCK_DGRAM ? u"DG"
                                                         : u"??";
      snprintfTruncU16(text, std::size(text), u"%s: %s failed for hdl %d/sock %d\n    (%s/%d; %s; %s%s%s%s)",
                       func, siFuncName, pHdl->mHdl.load(), pSock->socketNo, rcName, sysErr, fam, typ,
                       static_cast<const WEQ_UC*>(suffix), sep, ext);
    } else if (pHdl != nullptr) {
      snprintfTruncU16(
          text, std::size(text), u"%s: %s failed for hdl %d / sock %d - sock %d\n    (%s/%d; %s; %s%s%s%s)",
          func, siFuncName, pHdl->mHdl.load(), pHdl->lis.mIPSocket.socketNo, pHdl->lis.mUDSocket.socketNo,
          rcName, sysErr, u"??", u"??", static_cast<const WEQ_UC*>(suffix), sep, ext);
    } else {
      snprintfTruncU16(text, std::size(text), u"%s: %s failed (%s/%d%s%s%s)", func, siFuncName, rcName,
                       sysErr, static_cast<const WEQ_UC*>(suffix), sep, ext);
    }
    DpTrcLock();
    if (errorFlag == 1) {
      DpTrcSetLocation(module != nullptr ? module : u"", line);
      DpTrcError(trc, u"%s", static_cast<const WEQ_UC*>(text));
    } else {
      DpTrc(trc, u"%s\n", static_cast<const WEQ_UC*>(text));
    }
    DpTrcUnlock();
  }
  return rc;
}
