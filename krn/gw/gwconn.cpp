// The connect to a gateway: the connect record out, the answer's check, the
// echo and the identification block, all through the NI operation table;
// and the old connect of earlier gateways, over two listen ports and a
// datagram.
#include <string.h>

#include <initializer_list>

#include "i18n/wequ16/u16str.h"
#include "krn/dptrc/dptrc.h"
#include "krn/dptrc/err.h"
#include "krn/gw/gw.h"
#include "krn/gw/gw_int.h"

#define GWCONN_MODULE u"gwconn.cpp"

namespace {

constexpr WEQ_UC kGwLibComponent[] = u"GWLIB (TCP/IP) with Unicode";
constexpr uint32_t kGwLibComponentVersion = 3;
constexpr uint8_t kGwConnOffered = EINFO | PING | CONN_EINFO | EXTINITOPT | GW_ACCEPT_DIST_TRACE;

CTRC_HDL GwConnTrc() { return CTrcGlobalHdl.load(); }

const WEQ_UC* OrNull(const WEQ_UC* s) { return s != nullptr ? s : u"null"; }

int ConnLen(uint8_t version) { return version == 3 ? GW_CONN_LEN_V3 : GW_CONN_LEN_V2; }

// Error-code and echo offsets of an answer of the given version.
int ErrOff(uint8_t version) { return version == 3 ? 130 : 58; }
int EchoOff(uint8_t version) { return version == 3 ? 134 : 62; }

int UnitsUpTo(const WEQ_UC* s, int max) {
  int n = 0;
  if (s == nullptr) return 0;
  while (n < max && s[n] != 0) ++n;
  return n;
}

// The first eight characters of text, blank-padded: what the records carry
// of a host or service name. A cut name is not a failure here.
void Field8(uint8_t* field, const WEQ_UC* text) {
  memset(field, ' ', 8);
  GwConvToNet(reinterpret_cast<char*>(field), nullptr, 8, text, UnitsUpTo(text, 8), 0, 0);
}

void GenConn(uint8_t version, uint8_t* rec, int* len, uint8_t connType, const WEQ_UC* localHost,
             const NI_NODEADDR* localAddr, const WEQ_UC* localService, int16_t index, const WEQ_UC* codePage) {
  int size = ConnLen(version);
  memset(rec, 0, static_cast<size_t>(size));
  rec[0] = version;
  rec[1] = connType;
  if (localAddr != nullptr) memcpy(rec + 2, localAddr->addr + 12, 4);
  memset(rec + 46, ' ', 8);
  Field8(rec + 30, localHost);
  Field8(rec + 38, localService);
  GwConvToNet(reinterpret_cast<char*>(rec + 10), nullptr, 10, localService, 65535, 1, 0);
  if (codePage == nullptr) codePage = u"1100";
  GwConvToNet(reinterpret_cast<char*>(rec + 20), nullptr, 4, codePage, UnitsUpTo(codePage, 4), 0, 0);
  rec[54] = APPC_HDR_VERSION;
  rec[55] = kGwConnOffered;
  rec[56] = static_cast<uint8_t>(static_cast<uint16_t>(index) >> 8);
  rec[57] = static_cast<uint8_t>(index);
  if (version == 3 && localAddr != nullptr) memcpy(rec + 58, localAddr->addr, 16);
  if (len != nullptr) *len = size;
  DPTRC_LINE(2, GwConnTrc(), u"%s: vers=%d\n", version == 3 ? u"GwIGenConnBuffer" : u"GwIGenConnBuffer2",
             static_cast<int>(version));
}

bool IsV4Mapped(const NI_NODEADDR& a) {
  for (int i = 0; i < 10; ++i)
    if (a.addr[i] != 0) return false;
  return a.addr[10] == 0xFF && a.addr[11] == 0xFF;
}

// The state of one connect, so that each failure closes and reports alike.
struct GwConnCall {
  const GwNiOps& ops;
  void* ctx;
  NI_HDL* hdl;
  NI_HDL* hdl2;
  const WEQ_UC* host;
  const WEQ_UC* service;
  int timeout;

  void Close() {
    if (*hdl >= 0) ops.close.fn(*hdl, ctx);
    *hdl = NI_INVALID_HDL;
    if (hdl2 != nullptr) *hdl2 = NI_INVALID_HDL;
  }

  // A failed write or read: the NI code with the operation and the time-out
  // in the thread's error information, the connection closed.
  void RecordIo(NI_RC rc, const WEQ_UC* opName, int line) {
    NiErrSet(rc);
    ErrReplace(ERR_FLD_SYSCALL, opName);
    if (rc == NIETIMEOUT) ErrReplace(ERR_FLD_DETAIL, u"timeout %d msecs", timeout);
    ErrReplace(ERR_FLD_MODULE, GWCONN_MODULE);
    WEQ_UC lineText[16];
    snprintfU16(lineText, 16, u"%d", line);
    ErrReplace(ERR_FLD_LINE, static_cast<const WEQ_UC*>(lineText));
    Close();
  }

  // RecordIo and its trace line; fmt takes the function, the operation,
  // host, service and the NI code's name.
  void FailIo(NI_RC rc, const WEQ_UC* opName, int line, const WEQ_UC* fmt) {
    RecordIo(rc, opName, line);
    DPTRC_LINE(2, GwConnTrc(), fmt, u"GwIConnect", opName, host, OrNull(service), NiErrorName(rc));
  }
};

bool IsRoute(const WEQ_UC* host) {
  return host != nullptr && strnlenU16(host, 4) > 3 && host[0] == u'/' && host[1] == u'H' && host[2] == u'/';
}

// The fallback of a gateway that did not answer the connect record: the
// old connect to the host (of the route's one hop), version 6, no options.
int OldConnectAfter(NI_RC readRc, const WEQ_UC* host, const NI_NODEADDR* gwAddr, const WEQ_UC* gwService,
                    const WEQ_UC* localHost, const NI_NODEADDR* localAddr, const WEQ_UC* localService,
                    NI_HDL* hdl, NI_HDL* hdl2, uint8_t* hdrVersion, uint8_t* acceptInfo, int timeout) {
  static constexpr WEQ_UC kFn[] = u"GwIConnect";
  NI_ROUTE_ENTRY hop{};
  const WEQ_UC* oldHost = host;
  if (IsRoute(host)) {
    if (GwRouteNoHops(host) != 1) {
      DPTRC_ERROR(GwConnTrc(), u"%s: no old connect with route %s", kFn, host);
      return 741;  // GW_ROUTE_CONNECT_DIS
    }
    if (GwRouteGetLastHop(host, &hop) != 0) {
      DPTRC_ERROR(GwConnTrc(), u"%s: no host in route (%s)\n", kFn, host);
      return 740;  // GW_NO_HOST_IN_ROUTE
    }
    oldHost = hop.host;
  }
  DPTRC_LINE(2, GwConnTrc(), u"%s: new connect to %s / %s failed rc=%s, try old one\n", kFn, OrNull(host),
             OrNull(gwService), NiErrorName(readRc));
  if (hdrVersion != nullptr) *hdrVersion = APPC_HDR_VERSION;
  if (acceptInfo != nullptr) *acceptInfo = 0;
  NI_HDL second = NI_INVALID_HDL;
  int rc = GwIOldConnect(oldHost, gwAddr, gwService, localHost, localAddr, localService, hdl, &second, timeout);
  if (hdl2 != nullptr) {
    *hdl2 = second;
  } else if (second >= 0) {
    // A caller without a place for the write connection cannot use it.
    GwNiCloseHandle(second);
  }
  return rc;
}

// Closes the listen and accepted handles of an old connect that failed.
void CloseAll(std::initializer_list<NI_HDL*> hdls) {
  for (NI_HDL* h : hdls) {
    if (*h >= 0) GwNiCloseHandle(*h);
    *h = NI_INVALID_HDL;
  }
}

}  // namespace

void GwIGenOldDgram(uint8_t* d, const uint8_t hostIPv4[4], const uint8_t statedIPv4[4], uint16_t readPort,
                    uint16_t writePort, const WEQ_UC* localHost, const WEQ_UC* localService) {
  memset(d, 0, GW_OLD_DGRAM_LEN);
  d[0] = 4;
  d[1] = 1;
  memcpy(d + 2, hostIPv4, 4);
  d[6] = static_cast<uint8_t>(readPort >> 8);
  d[7] = static_cast<uint8_t>(readPort);
  memcpy(d + 27, hostIPv4, 4);
  d[31] = static_cast<uint8_t>(writePort >> 8);
  d[32] = static_cast<uint8_t>(writePort);
  Field8(d + 52, localHost);
  Field8(d + 61, localService);
  d[70] = APPC_HDR_VERSION;
  memset(d + 71, ' ', 8);
  memcpy(d + 79, statedIPv4, 4);
}

int GwIOldConnect(const WEQ_UC* gwHost, const NI_NODEADDR* gwAddr, const WEQ_UC* gwService,
                  const WEQ_UC* localHost, const NI_NODEADDR* localAddr, const WEQ_UC* localService,
                  NI_HDL* readHdl, NI_HDL* writeHdl, int timeout) {
  static constexpr WEQ_UC kFn[] = u"GwIOldConnect";
  NI_HDL dummyRead = NI_INVALID_HDL, dummyWrite = NI_INVALID_HDL;
  if (readHdl == nullptr) readHdl = &dummyRead;
  if (writeHdl == nullptr) writeHdl = &dummyWrite;
  *readHdl = *writeHdl = NI_INVALID_HDL;

  NI_HDL lisRead = NI_INVALID_HDL, lisWrite = NI_INVALID_HDL;
  uint16_t readPort = 65535, writePort = 65535;
  NI_RC rc = NiServerHandleForPort(&readPort, &lisRead);
  if (rc != WEQ_O_K) {
    DPTRC_ERROR(GwConnTrc(), u"%s: Ni2Listen (read port) (rc=%s)", kFn, NiErrorName(rc));
    CloseAll({&lisRead});
    return 666;  // GW_NI_ERROR
  }
  rc = NiServerHandleForPort(&writePort, &lisWrite);
  if (rc != WEQ_O_K) {
    DPTRC_ERROR(GwConnTrc(), u"%s: Ni2Listen (write port) (rc=%s)", kFn, NiErrorName(rc));
    CloseAll({&lisRead, &lisWrite});
    return 666;
  }

  NI_NODEADDR hostAddr{};
  rc = GwHostToAddr(localHost, &hostAddr);
  if (rc != WEQ_O_K) {
    DPTRC_ERROR(GwConnTrc(), u"%s: GwHostToAddr (rc=%s)", kFn, NiErrorName(rc));
    CloseAll({&lisRead, &lisWrite});
    return 497;  // C_NIHOSTTOADDR
  }
  const NI_NODEADDR& stated = localAddr != nullptr ? *localAddr : hostAddr;
  uint8_t dgram[GW_OLD_DGRAM_LEN];
  GwIGenOldDgram(dgram, hostAddr.addr + 12, stated.addr + 12, readPort, writePort, localHost, localService);
  DPTRC_LINE(2, GwConnTrc(), u"%s: prepare message with sin infos\n", kFn);

  // Without a gateway address the datagram goes to the resolved gateway
  // host; a host or service that does not resolve leaves it no target.
  NI_NODEADDR target{};
  uint16_t port = 0;
  if (gwAddr != nullptr) {
    target = *gwAddr;
  } else if ((rc = GwHostToAddr(gwHost, &target)) != WEQ_O_K) {
    DPTRC_ERROR(GwConnTrc(), u"%s: no address of gateway host %s (rc=%s)", kFn, OrNull(gwHost), NiErrorName(rc));
    CloseAll({&lisRead, &lisWrite});
    return 666;
  }
  if ((rc = NiServToNo(gwService, &port)) != WEQ_O_K) {
    DPTRC_ERROR(GwConnTrc(), u"%s: no port of gateway service %s (rc=%s)", kFn, OrNull(gwService),
                NiErrorName(rc));
    CloseAll({&lisRead, &lisWrite});
    return 666;
  }
  NI_HDL dg = NI_INVALID_HDL;
  rc = NiDgHdlCreate(&dg);
  if (rc == WEQ_O_K) {
    rc = NiDgHdlSendTo(dg, &target, port, dgram, GW_OLD_DGRAM_LEN, nullptr);
    NiDgHdlClose(dg);
  }
  if (rc != WEQ_O_K) {
    DPTRC_ERROR(GwConnTrc(), u"%s: NiDgHdlSendTo to %s / %s failed (rc=%s)", kFn, OrNull(gwHost),
                OrNull(gwService), NiErrorName(rc));
    CloseAll({&lisRead, &lisWrite});
    return 639;  // NI_DG_SEND_FAILED
  }
  DPTRC_LINE(2, GwConnTrc(), u"%s: send message to gw_read\n", kFn);

  NI_HDL rd = NI_INVALID_HDL, wr = NI_INVALID_HDL;
  rc = GwNiAccept(lisRead, timeout, &rd, nullptr);
  CloseAll({&lisRead});
  if (rc != WEQ_O_K) {
    DPTRC_ERROR(GwConnTrc(), u"%s: NiAccept for gwrd socket failed, rc=%s", kFn, NiErrorName(rc));
    CloseAll({&lisWrite, &rd});
    return 666;
  }
  DPTRC_LINE(2, GwConnTrc(), u"%st: connect to gw_read o.k.\n", kFn);
  rc = GwNiAccept(lisWrite, timeout, &wr, nullptr);
  CloseAll({&lisWrite});
  if (rc != WEQ_O_K) {
    DPTRC_ERROR(GwConnTrc(), u"%s: NiAccept for gwwr socket failed, rc=%s", kFn, NiErrorName(rc));
    CloseAll({&rd, &wr});
    return 666;
  }
  DPTRC_LINE(2, GwConnTrc(), u"%s: connect to gw_write o.k.\n", kFn);
  *readHdl = rd;
  *writeHdl = wr;
  return 0;
}

void GwIGenConnBuffer(uint8_t* rec, int* len, uint8_t connType, const WEQ_UC* localHost,
                      const NI_NODEADDR* localAddr, const WEQ_UC* localService, int16_t index,
                      const WEQ_UC* codePage) {
  GenConn(3, rec, len, connType, localHost, localAddr, localService, index, codePage);
}

void GwIGenConnBuffer2(uint8_t* rec, int* len, uint8_t connType, const WEQ_UC* localHost,
                       const NI_NODEADDR* localAddr, const WEQ_UC* localService, int16_t index,
                       const WEQ_UC* codePage) {
  GenConn(2, rec, len, connType, localHost, localAddr, localService, index, codePage);
}

int GwIConnCheckAnsw(const uint8_t* answer, int len, uint8_t versionSent, uint8_t* hdrVersion, uint8_t* acceptInfo,
                     int* echo) {
  static constexpr WEQ_UC kFn[] = u"GwIConnCheckAnsw";
  DPTRC_LINE(2, GwConnTrc(), u"%s: rem appc conn version: %d\n", kFn, static_cast<int>(versionSent));
  int want = ConnLen(versionSent);
  if (answer == nullptr || len < want) {
    DPTRC_ERROR(GwConnTrc(), u"%s: incomplete answer from gateway (data_ln=%d < appc_conn_ln=%d)", kFn, len, want);
    return 240;  // INVALID_LEN
  }
  const uint8_t* e = answer + ErrOff(versionSent);
  int32_t code = static_cast<int32_t>((uint32_t{e[0]} << 24) | (uint32_t{e[1]} << 16) | (uint32_t{e[2]} << 8) | e[3]);
  if (code != 0) {
    DPTRC_LINE(2, GwConnTrc(), u"%s: received error code %d (%s) from gateway\n", kFn, code, GwErrorName(code));
    if (len > want && ErrCpNetToInt(answer + want, static_cast<size_t>(len - want)) == 0) ErrTrace(GwConnTrc());
    return code;
  }
  uint8_t version = answer[54];
  // A header version without a length would make every later header empty.
  if (GwAppcHdrLen(version) == 0) {
    DPTRC_ERROR(GwConnTrc(), u"%s: rem appchdr version %d unknown\n", kFn, static_cast<int>(version));
    return 246;  // WRONG_APPCHDR_VERSION
  }
  DPTRC_LINE(2, GwConnTrc(), u"%s: rem appchdr version: %d\n", kFn, static_cast<int>(version));
  if (hdrVersion != nullptr) *hdrVersion = version;
  uint8_t info = answer[55];
  WEQ_UC infoText[GW_FLAGS_TEXT_LEN];
  DPTRC_LINE(2, GwConnTrc(), u"%s: rem accept info: 0x%X (%s)\n", kFn, static_cast<unsigned>(info),
             static_cast<const WEQ_UC*>(GwAcceptInfoText(info, infoText)));
  if (acceptInfo != nullptr) *acceptInfo = info;
  int echoByte = answer[EchoOff(versionSent)];
  DPTRC_LINE(2, GwConnTrc(), u"%s: rem echo data: %d\n", kFn, echoByte);
  if (echo != nullptr) *echo = echoByte != 0;
  if (info & SNC) DPTRC_LINE(2, GwConnTrc(), u"%s: found GW_ACCEPT_SNC\n", kFn);
  return 0;
}

int GwIConnect(uint8_t connType, const WEQ_UC* gwHost, const NI_NODEADDR* gwAddr, const WEQ_UC* gwService,
               const WEQ_UC* localHost, const NI_NODEADDR* localAddr, const WEQ_UC* localService, NI_HDL* hdl,
               NI_HDL* hdl2, uint32_t protoFamily, uint8_t* hdrVersion, uint8_t* acceptInfo, int timeout,
               int compat, int16_t index, const WEQ_UC* codePage, void* ctx) {
  static constexpr WEQ_UC kFn[] = u"GwIConnect";
  NI_HDL dummy = NI_INVALID_HDL;
  if (hdl == nullptr) hdl = &dummy;
  *hdl = NI_INVALID_HDL;
  if (hdl2 != nullptr) *hdl2 = NI_INVALID_HDL;
  
  WEQ_UC hostBuf[64];
  const WEQ_UC* host = gwHost;
  if (host == nullptr || host[0] == 0) {
    if (gwAddr == nullptr) return 664;  // GW_HOST_UNKNOWN
    host = GwAddrToHost(gwAddr, hostBuf, 64);
    if (host == nullptr) {
      DPTRC_LINE(2, GwConnTrc(), u"%s: GwAddrToHost failed (%s)\n", kFn, ErrGetAllTxt());
      return 498;  // C_NIADDRTOHOST
    }
  }
  const GwNiOps& ops = GwIOps();
  GwConnCall call{ops, ctx, hdl, hdl2, host, gwService, timeout};

  DPTRC_LINE(2, GwConnTrc(), u"%s: connect to gateway %s / %s (timeout=%d)\n", kFn, host, OrNull(gwService),
             timeout);
  NI_RC rc = ops.connect.fn(host, gwService, timeout, hdl, protoFamily, ctx);
  if (rc != 0) {
    *hdl = NI_INVALID_HDL;
    NiErrSet(rc);
    DPTRC_LINE(2, GwConnTrc(), u"%s: %s to %s / %s failed (rc=%s)\n", kFn, ops.connect.name, host,
               OrNull(gwService), NiErrorName(rc));
    switch (rc) {
      case NIECONN_REFUSED: return 236;   // GW_CONNECT_FAILED
      case NIESERV_UNKNOWN: return 665;   // GW_SERVICE_UNKNOWN
      case NIEHOST_UNKNOWN: return 664;   // GW_HOST_UNKNOWN
      default: return 666;                // GW_NI_ERROR
    }
  }
  if (*hdl < 0) {
    DPTRC_ERROR(GwConnTrc(), u"%s: bad handle %d\n", kFn, static_cast<int>(*hdl));
    *hdl = NI_INVALID_HDL;
    return 636;  // BAD_NI_HANDLE
  }

  NI_NODEADDR local{};
  if (localAddr != nullptr) local = *localAddr;
  NI_NODEADDR own{};
  uint16_t ownPort = 0;
  WEQ_UC path[NI_MAX_PATH_LEN];
  NI_RC nrc = NiHdlGetName(*hdl, &own, &ownPort, path);
  if (nrc == 0) {
    local = own;
  } else {
    DPTRC_LINE(2, GwConnTrc(), u"%s: NiHdlGetName failed (rc=%s)\n", kFn, NiErrorName(nrc));
  }

  uint8_t request[GW_CONN_LEN_V3];
  int reqLen = 0;
  uint8_t versionSent = IsV4Mapped(local) ? 2 : 3;
  GenConn(versionSent, request, &reqLen, connType, localHost, &local, localService, index, codePage);

  uint32_t done = 0;
  rc = ops.write.fn(*hdl, request, reqLen, timeout, &done, ctx);
  if (rc != 0) {
    call.FailIo(rc, ops.write.name, __LINE__, u"%s: %s to %s / %s failed, (%s)\n");
    return 224;  // NI_WRITE_FAILED
  }

  uint8_t answer[GW_CONN_ANSWER_MAX];
  uint32_t got = 0;
  rc = ops.read.fn(*hdl, answer, GW_CONN_ANSWER_MAX, timeout, &got, ctx);
  if (rc != 0) {
    if (compat && (connType == 3 || connType == 4)) {
      call.Close();
      return OldConnectAfter(rc, host, gwAddr, gwService, localHost, localAddr, localService, hdl, hdl2,
                             hdrVersion, acceptInfo, timeout);
    }
    call.FailIo(rc, ops.read.name, __LINE__, u"%s: %s to %s / %s failed (%s)\n");
    return 223;  // NI_READ_FAILED
  }
  if (got > GW_CONN_ANSWER_MAX) got = GW_CONN_ANSWER_MAX;

  int echo = 0;
  uint8_t version = 0, info = 0;
  int crc = GwIConnCheckAnsw(answer, static_cast<int>(got), versionSent, &version, &info, &echo);
  if (crc != 0) {
    DPTRC_LINE(2, GwConnTrc(), u"%s: GwIConnCheckAnsw to %s / %s failed (%d)\n", kFn, host, OrNull(gwService),
               crc);
    call.Close();
    return crc;
  }
  if (hdrVersion != nullptr) *hdrVersion = version;
  if (acceptInfo != nullptr) *acceptInfo = info;

  // The echo and the identification block: one message each after the answer.
  auto follow = [&](const void* data, int len, int line) {
    NI_RC wrc = ops.write.fn(*hdl, data, len, timeout, &done, ctx);
    if (wrc == 0) return true;
    call.FailIo(wrc, ops.write.name, line, u"%s: %s %s / %s failed (%s)\n");
    return false;
  };
  if (echo && !follow(answer, static_cast<int>(got), __LINE__)) return 224;  // NI_WRITE_FAILED

  if (connType == 11 || connType == 14 || connType == 16) {
    uint8_t block[GW_CONN_IDENT_LEN];
    memset(block, ' ', sizeof block);
    struct Field {
      const WEQ_UC* name;
      const WEQ_UC* text;
      int offset, capacity;
    };
    const Field fields[] = {{u"my_hostname", localHost, 0, 128}, {u"my_service", localService, 128, 64}};
    for (const Field& f : fields) {
      int crc2 = GwConvToNet(reinterpret_cast<char*>(block + f.offset), nullptr, f.capacity, f.text, 65535, 1, 0);
      if (crc2 != 0) {
        ErrSetInfo(kGwLibComponent, kGwLibComponentVersion, GWCONN_MODULE, __LINE__, u"field = %s, rc=%d", 777,
                   u"converting to/from net format failed", f.name, crc2);
        DPTRC_ERROR(GwConnTrc(), u"%s: field = %s, rc=%d\n", kFn, f.name, crc2);
        call.Close();
        return 777;  // C_NET_CONV_ERROR
      }
    }
    if (!follow(block, GW_CONN_IDENT_LEN, __LINE__)) return 224;
  }

  DPTRC_LINE(2, GwConnTrc(), u"%s: connect to gateway %s / %s o.k.\n", kFn, host, OrNull(gwService));
  if (hdl2 != nullptr) *hdl2 = *hdl;
  return 0;
}

#undef GWCONN_MODULE
