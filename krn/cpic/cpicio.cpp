// A conversation's messages to and from the gateway: the send of a header
// with its data, the layer's own small requests, the thread's error
// information to the gateway, the receive with its keep-alive, cancel and
// error-information handling, the read of what the gateway sent meanwhile,
// the distributed-trace record and the dumps of headers and raw messages.
//
// Every read, write and close goes through the entry's I/O functions. The
// header's length is the entry's: data begins behind it whatever the
// version, and only versions that have them carry fields past byte 75.
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <chrono>

#include "i18n/wequ16/u16fmt.h"
#include "i18n/wequ16/u16str.h"
#include "krn/cpic/cpic.h"
#include "krn/cpic/cpic_int.h"

namespace {

using IoClock = std::chrono::steady_clock;

// Reads an oversize message's rest or a long error record in pieces of this.
constexpr int kDrainPiece = 4096;
// The wait of each read of the pending-data read.
constexpr int kPendingWaitMs = 10;

int16_t IoBe16(const uint8_t* p) { return static_cast<int16_t>(CpicIGetBe16(p)); }

int64_t IoElapsedMs(IoClock::time_point since) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(IoClock::now() - since).count();
}

const WEQ_UC* OrEmpty(const WEQ_UC* s) { return s != nullptr ? s : u""; }

// The process trace level, which switches the dumps on.
bool IoDumpsOn() { return CTrcLevel.load(std::memory_order_relaxed) >= 2; }

// Reads the rest of the message that a read left pending (NIETOO_SMALL) and
// drops it, so that the next read begins with the next message.
NI_RC DrainRest(CPIC_CONV_ENTRY* e, int timeout) {
  uint8_t scratch[kDrainPiece];
  NI_RC rc;
  do {
    uint32_t got = 0;
    rc = e->f.readFn(e->f.readHdl, scratch, kDrainPiece, timeout, &got, e->f.index);
  } while (rc == NIETOO_SMALL);
  return rc;
}

void TraceCodes(CPIC_CONV_ENTRY* e, const WEQ_UC* fn, CM_RETURN_CODE appcRc, GW_RETURN_CODE weqRc) {
  WEQ_UC a[CPIC_NAME_LEN], w[CPIC_NAME_LEN];
  CPIC_ENTRY_TRC(e, 2, u"%s: appc rc = %s , weq rc = %s\n", fn, CpicRcName(appcRc, a), CpicGwRcName(weqRc, w));
}

// The received message's error information (the data behind the header)
// becomes the thread's. have bytes of it are at data; after NIETOO_SMALL
// the rest follows, read whole up to what the reader takes and dropped
// beyond. False when the rest could not be read.
bool TakeErrorInfo(CPIC_CONV_ENTRY* e, const uint8_t* data, int have, bool more, int timeout) {
  static constexpr WEQ_UC kFn[] = u"STIAsRcvFromGw";
  uint8_t area[CPIC_ERRINFO_NET_MAX];
  int n = have < CPIC_ERRINFO_NET_MAX ? have : CPIC_ERRINFO_NET_MAX;
  if (n > 0) memcpy(area, data, static_cast<size_t>(n));
  NI_RC rc = more ? NIETOO_SMALL : WEQ_O_K;
  if (more && n < CPIC_ERRINFO_NET_MAX) {
    uint32_t got = 0;
    rc = e->f.readFn(e->f.readHdl, area + n, CPIC_ERRINFO_NET_MAX - n, NI_BLOCK, &got, e->f.index);
    if (rc == WEQ_O_K || rc == NIETOO_SMALL) n += static_cast<int>(got);
  }
  if (rc == NIETOO_SMALL) rc = DrainRest(e, timeout);
  if (rc != WEQ_O_K) {
    NiErrSet(rc);
    CPIC_ENTRY_ERR(e, u"%s: %s failed", kFn, e->f.readFnName);
    return false;
  }
  ErrCpNetToInt(area, static_cast<size_t>(n));
  CPIC_TRC(2, u"%s\n", ErrGetAllTxt());
  return true;
}

// One line of the header dump: ">> label: value".
template <class... A>
void HdrLine(CTRC_HDL h, const WEQ_UC* label, U16Format<A...> fmt, const A&... args) {
  WEQ_UC value[320];
  snprintfTruncU16(value, sizeof value / sizeof value[0], fmt, args...);
  DpTrc(h, u">> %-12.12s: %s\n", label, static_cast<const WEQ_UC*>(value));
}

// A text field of the header or its extension for the dump.
const WEQ_UC* NetText(const uint8_t* p, int len) {
  return GwNetStrForTrc(reinterpret_cast<const char*>(p), len < 0 ? 0 : len, 0, 0);
}

// A length field, kept within the field it describes.
int FieldLen(const uint8_t* p, int max) {
  int32_t n = static_cast<int32_t>(CpicIGetBe32(p));
  return n < 0 ? 0 : n > max ? max : n;
}

// A name from byte 48 whose length stands at lenOff (kept within width),
// and that length.
void DumpSizedName(CTRC_HDL h, const uint8_t* hdr, int lenOff, int width, const WEQ_UC* label,
                   const WEQ_UC* lenLabel) {
  int n = FieldLen(hdr + lenOff, width);
  HdrLine(h, label, u"%.*s", n, NetText(hdr + APPC_OFF_REQ_AREA, n));
  HdrLine(h, lenLabel, u"%d", static_cast<int>(CpicIGetBe32(hdr + lenOff)));
}

void DumpReceiveResults(CTRC_HDL h, const uint8_t* hdr, const WEQ_UC* lenLabel) {
  WEQ_UC name[CPIC_NAME_LEN];
  uint32_t dr = CpicIGetBe32(hdr + 52), st = CpicIGetBe32(hdr + 60), rts = CpicIGetBe32(hdr + 64);
  HdrLine(h, u"Data rec", u"%d (%s)", static_cast<int>(dr), CpicDataRcvName(dr, name));
  HdrLine(h, lenLabel, u"%d", static_cast<int>(CpicIGetBe32(hdr + 56)));
  HdrLine(h, u"Stat rec", u"%d (%s)", static_cast<int>(st), CpicStatusRcvName(st, name));
  HdrLine(h, u"ReqToSnd", u"%d (%s)", static_cast<int>(rts), CpicRtsRcvName(rts, name));
}

void DumpRequestArea(CTRC_HDL h, const uint8_t* hdr, const uint8_t* ext) {
  uint8_t info = hdr[APPC_OFF_INFO], info2 = hdr[APPC_OFF_INFO2];
  bool withExt = (info & WITH_GW_WEQ_PARAMS_HDR) != 0 && ext != nullptr;
  switch (hdr[APPC_OFF_REQ]) {
    case F_INITIALIZE_CONVERSATION:
    case F_WEQ_INIT: {
      HdrLine(h, u"DEST", u"%-8.8s", NetText(hdr + 48, 8));
      HdrLine(h, u"LU", u"%-8.8s", NetText(hdr + 56, 8));
      HdrLine(h, u"TP", u"%-8.8s", NetText(hdr + 64, 8));
      HdrLine(h, u"CType", u"%.1s", NetText(hdr + 72, 1));
      HdrLine(h, u"Cli Info", u"%s", GwClientInfoName(hdr[73]));
      if (!withExt) break;
      HdrLine(h, u"long TP", u"%.*s", 64, NetText(ext + 276, 64));
      if (info2 & WITH_LONG_LU_NAME) HdrLine(h, u"long LU", u"%.*s", 128, NetText(ext + 72, 128));
      if (info & WITH_HOSTADDR) {
        uint32_t v4;
        memcpy(&v4, ext + 268, 4);
        NI_NODEADDR a = NiIPv4ToAddr(v4);
        HdrLine(h, u"Addr (IPv4)", u"%s", NiAddrToStrStatic(&a, 1));
      }
      if (info2 & WITH_LONG_HOSTADDR) {
        NI_NODEADDR a;
        memcpy(a.addr, ext + 200, 16);
        HdrLine(h, u"Addr (long)", u"%s", NiAddrToStrStatic(&a, 1));
      }
      break;
    }
    case F_SEND_DATA:
    case F_ASEND_DATA:
      HdrLine(h, u"Send Length", u"%d", static_cast<int>(CpicIGetBe32(hdr + 48)));
      if (withExt && (hdr[APPC_OFF_VECTOR] & F_V_SEND_DATA))
        HdrLine(h, u"Send Length", u"%d", static_cast<int>(CpicIGetBe32(ext)));
      if (withExt && (hdr[APPC_OFF_VECTOR] & F_V_RECEIVE))
        HdrLine(h, u"Req Length", u"%d", static_cast<int>(CpicIGetBe32(ext + 4)));
      break;
    case F_RECEIVE:
    case F_ARECEIVE:
      HdrLine(h, u"Req Length", u"%d", static_cast<int>(CpicIGetBe32(hdr + 48)));
      break;
    case F_SET_TP_NAME:
      DumpSizedName(h, hdr, 56, 8, u"TP", u"TP len");
      if (withExt) HdrLine(h, u"long TP", u"%.*s", 64, NetText(ext, 64));
      break;
    case F_SET_PARTNER_LU_NAME:
      DumpSizedName(h, hdr, 56, 8, u"LU", u"LU len");
      if (withExt) HdrLine(h, u"long LU", u"%.*s", 128, NetText(ext, 128));
      break;
    case F_SET_SECURITY_USER_ID:
      DumpSizedName(h, hdr, 60, 12, u"Sec Usr", u"SecUsrLn");
      break;
    case F_SET_SECURITY_TYPE:
      HdrLine(h, u"Sec Type", u"%d", static_cast<int>(CpicIGetBe32(hdr + 48)));
      break;
    case F_SET_CONVERSATION_TYPE:
      HdrLine(h, u"Conv Type", u"%d", static_cast<int>(CpicIGetBe32(hdr + 48)));
      break;
    case F_WEQ_SET_UID:
      HdrLine(h, u"new UID", u"%d", static_cast<int>(IoBe16(hdr + 48)));
      HdrLine(h, u"new Mode", u"%d", static_cast<int>(hdr[50]));
      break;
    default:
      break;
  }
}

void DumpResponseArea(CTRC_HDL h, const uint8_t* hdr) {
  WEQ_UC name[CPIC_NAME_LEN];
  switch (hdr[APPC_OFF_REQ]) {
    case F_ACCEPT_CONVERSATION:
      HdrLine(h, u"Cli Info", u"%-8.8s", GwClientInfoName(hdr[68]));
      DumpReceiveResults(h, hdr, u"Rec Ln");
      break;
    case F_RECEIVE:
    case F_ARECEIVE:
      DumpReceiveResults(h, hdr, u"Rec Ln");
      break;
    case F_SEND_DATA:
    case F_ASEND_DATA: {
      uint32_t rts = CpicIGetBe32(hdr + 52);
      HdrLine(h, u"Req to Send", u"%d (%s)", static_cast<int>(rts), CpicRtsRcvName(rts, name));
      break;
    }
    case F_WEQ_SEND:
      if (hdr[APPC_OFF_VECTOR] & F_V_RECEIVE) DumpReceiveResults(h, hdr, u"Rec Length");
      break;
    default:
      break;
  }
}

}  // namespace

void STIFillHdr(uint8_t* h, const CPIC_CONV_ENTRY* e, uint8_t req) {
  memset(h, 0, APPC_HDR_LEN);
  h[APPC_OFF_VERSION] = APPC_HDR_VERSION;
  CpicIPutBe16(h + APPC_OFF_UID, 0xFFFF);
  h[APPC_OFF_TRACE] = static_cast<uint8_t>(CTrcLevel.load(std::memory_order_relaxed));
  CpicIPutBe32(h + APPC_OFF_GW_REQ_VALUE, e->f.gwRequestValue);
  CpicIPutBe16(h + APPC_OFF_COMM_IDX, 0xFFFF);
  CpicIPutBe16(h + APPC_OFF_CONN_IDX, 0xFFFF);
  if (req == F_NO_REQUEST) return;
  h[APPC_OFF_REQ] = req;
  h[APPC_OFF_PROTOCOL] = e->f.protocol;
  CpicIU64ToId(e->gwId.load(), reinterpret_cast<char*>(h + APPC_OFF_CONV_ID));
  CpicIPutBe16(h + APPC_OFF_CONN_IDX, e->f.connIdx);
}

bool STIAnswerConnIdx(const CPIC_CONV_ENTRY* e, const uint8_t* msg, uint16_t* connIdx) {
  if (STIHdrLen(e) < static_cast<int>(APPC_OFF_CONN_IDX) + 2) return false;
  *connIdx = CpicIGetBe16(msg + APPC_OFF_CONN_IDX);
  return true;
}

void STIDumpUserData(CPIC_CONV_ENTRY* e, const WEQ_UC* title, void* data, int len) {
  int level = e->traceLevel.load();
  if (level < 2 || e->f.traceRaw != 0 || !IoDumpsOn()) return;
  if (level == 2 || len <= 0 || data == nullptr) {
    CPIC_ENTRY_TRC(e, 2, u"%s\n", title);
    return;
  }
  int limit = CpicIGlobals().rawTraceLen;
  int shown = len < limit ? len : limit;
  if (shown > 0) DpTrcHexDumpMasked(e->f.traceHdl, title, data, static_cast<size_t>(shown), DPTRC_TXT_PLAIN);
}

void STITraceStart(CPIC_CONV_ENTRY* e, const WEQ_UC* name) {
  const uint8_t* r = e->f.traceRecord;
  if (r == nullptr || e->traceLevel.load() < 2) return;
  WEQ_UC root[33], conn[33];
  for (int i = 0; i < 16; ++i) {
    snprintfU16(root + 2 * i, 3, u"%.02X", static_cast<unsigned>(r[9 + i]));
    snprintfU16(conn + 2 * i, 3, u"%.02X", static_cast<unsigned>(r[25 + i]));
  }
  CPIC_ENTRY_TRC(e, 2, u"%s: START: {root-id=%s}_{conn-id=%s}_%u\n", name, static_cast<const WEQ_UC*>(root),
                 static_cast<const WEQ_UC*>(conn), static_cast<unsigned>(CpicIGetBe32(r + 41)));
}

void STISetRequestValue(CPIC_CONV_ENTRY* e, uint32_t value) {
  e->f.gwRequestValue = value;
  if (e->f.traceRecord != nullptr) CpicIPutBe32(e->f.traceRecord + 41, value);
}

uint8_t* STIMsgBuf(CPIC_CONV_ENTRY* e) {
  if (e == nullptr) return nullptr;
  if (e->f.msgBuf == nullptr) {
    e->f.msgBuf = calloc(1, CPIC_MSG_FRONT + CPIC_MSG_BUF_LEN);
    if (e->f.msgBuf == nullptr) {
      CPIC_ERR_SYS(C_NO_MEM, u"malloc", ENOMEM, CPIC_MSG_BUF_LEN);
      return nullptr;
    }
  }
  return static_cast<uint8_t*>(e->f.msgBuf) + CPIC_MSG_FRONT;
}

int STIHdrLen(const CPIC_CONV_ENTRY* e) {
  if (e->f.hdrLen > 0) return e->f.hdrLen;
  int len = GwAppcHdrLen(e->f.hdrVersion);
  return len > 0 ? len : APPC_HDR_LEN;
}

int STIAsSendToGw(CPIC_CONV_ENTRY* e, uint8_t* msg, const uint8_t* ext, uint8_t hdrVersion, int hdrLen,
                  int totalLen) {
  static constexpr WEQ_UC kFn[] = u"STIAsSendToGw";
  CpicConvFields& f = e->f;
  if (f.writeHdl == NI_INVALID_HDL) {
    CPIC_ERR(GW_DISCONNECTED);
    return CM_PRODUCT_SPECIFIC_ERROR;
  }
  uint8_t* out = msg;
  int len = totalLen;
  if (hdrVersion != APPC_HDR_VERSION) {
    if (hdrLen != APPC_HDR_LEN) {
      out = GwOutCheck(msg, hdrVersion, &len);
    } else {
      msg[APPC_OFF_VERSION] = hdrVersion;
    }
  }
  if (IoDumpsOn()) {
    if (f.traceAppcHdr) STIAnalyzeAppcHdr(e, out, ext, 1);
    if (f.traceRaw) STITraceRawData(e, out, f.protocol, len, 1, 1);
  }
  uint32_t written = 0;
  NI_RC rc = f.writeFn(f.writeHdl, out, len, NI_BLOCK, &written, f.index);
  if (rc == WEQ_O_K) {
    CPIC_ENTRY_TRC(e, 2, u"%s: Send to Gateway o.k.\n", kFn);
    return CM_OK;
  }
  NiErrSet(rc);
  CPIC_TRC(2, u"%s\n", ErrGetAllTxt());
  CPIC_ENTRY_ERR(e, u"%s: %s failed (%s)", kFn, f.writeFnName, NiErrorName(rc));
  if (rc == NIECONN_BROKEN) {
    // A write connection of its own (the old connect) is closed here: the
    // release closes only the read handle once this one reads -1.
    if (f.writeHdl != f.readHdl) f.closeFn(f.writeHdl, f.index);
    f.writeHdl = NI_INVALID_HDL;
  }
  return CM_PRODUCT_SPECIFIC_ERROR;
}

int STISendToGw(uint8_t req, CPIC_CONV_ENTRY* e) {
  static constexpr WEQ_UC kFn[] = u"STISendToGw";
  uint8_t buf[CPIC_MSG_FRONT + APPC_HDR_LEN];
  uint8_t* h = buf + CPIC_MSG_FRONT;
  STIFillHdr(h, e, req);
  h[APPC_OFF_INFO] = SYNC_CPIC_FUNCTION;
  CpicIPutBe32(h + APPC_OFF_REQ_AREA, APPC_HDR_LEN);
  int rc = STIAsSendToGw(e, h, nullptr, e->f.hdrVersion, STIHdrLen(e), APPC_HDR_LEN);
  if (rc == CM_OK) CPIC_ENTRY_TRC(e, 2, u"%s: send request %s to gateway\n", kFn, GwRequestName(req));
  return rc;
}

int STISendErrInfo(CPIC_CONV_ENTRY* e, const char* convId, uint8_t hdrVersion, uint8_t req, GW_RETURN_CODE gwRc,
                   CM_RETURN_CODE cmRc) {
  static constexpr WEQ_UC kFn[] = u"STISendErrInfo";
  WEQ_UC kept[ERR_INFO_MAX_UNITS];
  size_t keptLen = 0;
  const WEQ_UC* rec = nullptr;
  if (ErrIsSet() && ErrGetAttr(&rec, &keptLen) == ERR_OK) {
    CPIC_ENTRY_TRC(e, 2, u"%s: %s\n", kFn, ErrGetAllTxt());
    if (keptLen > ERR_INFO_MAX_UNITS) keptLen = ERR_INFO_MAX_UNITS;
    memcpy(kept, rec, keptLen * sizeof(WEQ_UC));
  } else {
    keptLen = 0;
  }
  ErrReplace(ERR_FLD_LOCATION, u"CPIC (TCP/IP) on host %s", static_cast<const WEQ_UC*>(CpicIGlobals().ownHost));
  uint8_t* h = STIMsgBuf(e);
  if (h == nullptr) return CM_RESOURCE_FAILURE_NO_RETRY;
  STIFillHdr(h, e, 0);
  h[APPC_OFF_REQ] = req;
  h[APPC_OFF_PROTOCOL] = 3;
  h[APPC_OFF_INFO] = SYNC_CPIC_FUNCTION;
  memcpy(h + APPC_OFF_CONV_ID, convId != nullptr ? convId : kCpicBlankId, 8);
  CpicIPutBe32(h + APPC_OFF_APPC_RC, static_cast<uint32_t>(cmRc));
  CpicIPutBe32(h + APPC_OFF_WEQ_RC, static_cast<uint32_t>(gwRc));
  size_t netLen = 0;
  if (keptLen > 0 && ErrCpIntToNet(h + APPC_HDR_LEN, &netLen, CPIC_ERRINFO_NET_MAX) == ERR_OK && netLen > 0) {
    h[APPC_OFF_INFO] |= WITH_ERR_INFO;
    CpicIPutBe16(h + APPC_OFF_ERRINFO_LEN, static_cast<uint16_t>(netLen));
  } else {
    netLen = 0;
  }
  int rc = STIAsSendToGw(e, h, nullptr, hdrVersion, GwAppcHdrLen(hdrVersion), APPC_HDR_LEN + static_cast<int>(netLen));
  ErrClear();
  if (keptLen > 0) {
    ErrCpTo(kept, keptLen);
    ErrReplace(ERR_FLD_LOCATION, u"CPIC (TCP/IP) with Unicode");
  }
  return rc == CM_OK ? CM_OK : CM_PRODUCT_SPECIFIC_ERROR;
}

int STIAsRcvFromGw(CPIC_CONV_ENTRY* e, uint8_t* msg, void* dst, int capacity, int* rcvLen, int timeout,
                   uint8_t* pingCount, CM_RETURN_CODE* cmRc) {
  static constexpr WEQ_UC kFn[] = u"STIAsRcvFromGw";
  CpicConvFields& f = e->f;
  int dummyLen = 0;
  if (rcvLen == nullptr) rcvLen = &dummyLen;
  *rcvLen = 0;
  if (pingCount != nullptr) *pingCount = 0;
  if (f.readHdl == NI_INVALID_HDL) {
    CPIC_ERR(GW_DISCONNECTED);
    return -1;
  }
  if (capacity < 0) capacity = 0;
  int hl = STIHdrLen(e);
  bool blocking = timeout < 0;
  CPIC_ENTRY_TRC(e, 2, u"%s: timeout value: %ld\n", kFn, static_cast<long>(timeout));
  int partial = f.partialLen;
  if (partial < 0 || partial > capacity + hl) partial = 0;

  NI_RC rc;
  int total = 0;
  for (;;) {
    IoClock::time_point start = IoClock::now();
    uint32_t got = 0;
    rc = f.readFn(f.readHdl, msg + partial, capacity + hl - partial, blocking ? NI_BLOCK : timeout, &got, f.index);
    // What a ping of either kind leaves of a finite time-out: it is counted
    // in milliseconds, so that pings under a second apart still end it.
    auto adjust = [&](const WEQ_UC* fmt) {
      if (pingCount != nullptr) ++*pingCount;
      if (blocking) return;
      int64_t left = static_cast<int64_t>(timeout) - IoElapsedMs(start);
      timeout = left > 0 ? static_cast<int>(left) : 0;
      CPIC_ENTRY_TRC(e, 2, fmt, kFn, static_cast<long>(timeout));
    };
    if (rc == NIETIMEOUT) {
      f.partialLen = partial + static_cast<int>(got);
      if (blocking) {
        CPIC_ERR(C_TIMEOUT_BLOCK);
        return -1;
      }
      CPIC_ENTRY_TRC(e, 2, u"%s: timeout during NiRead (%d bytes received)\n", kFn, f.partialLen);
      return -3;
    }
    if (rc == NIEPING) {
      if (blocking) {
        if (pingCount != nullptr) ++*pingCount;
        CPIC_ENTRY_TRC(e, 2, u"%s: NIEPING during read\n", kFn);
      } else {
        adjust(u"%s: NIEPING during read, timeout value adjusted: %ld msecs\n");
      }
      if (f.inSelectSet) {
        f.partialLen = partial;
        CPIC_ENTRY_TRC(e, 2, u"%s: return to set handle in NiSelSet\n", kFn);
        return -3;
      }
      continue;
    }
    total = partial + static_cast<int>(got);
    partial = 0;
    f.partialLen = 0;
    // Only a whole message of one header length is the gateway's ping.
    if (rc == WEQ_O_K && total == hl && msg[APPC_OFF_REQ] == F_WEQ_PING) {
      CPIC_ENTRY_TRC(e, 2, u"%s: ping received (%.*s)\n", kFn, 8, CpicIIdText(reinterpret_cast<const char*>(msg + APPC_OFF_CONV_ID)).s);
      adjust(u"%s: timeout value adjusted: %ld msecs\n");
      if (f.inSelectSet) return -3;
      continue;
    }
    break;
  }

  bool more = rc == NIETOO_SMALL;
  if (rc != WEQ_O_K && !more) {
    if (IoDumpsOn() && f.traceRaw && total > 0) STITraceRawData(e, msg, f.protocol, total, 2, 1);
    NiErrSet(rc);
    CPIC_ENTRY_ERR(e, u"%s: Read failed", kFn);
    return -1;
  }
  *rcvLen = total;
  if (total < hl) {
    if (IoDumpsOn() && total > 0) STITraceRawData(e, msg, f.protocol, total, 2, 1);
    CPIC_ERR(READ_FROM_GW_FAILED, total);
    return -1;
  }
  if (IoDumpsOn() && f.traceRaw) STITraceRawData(e, msg, f.protocol, total, 2, 1);
  int drainTimeout = blocking ? NI_BLOCK : timeout;
  if (msg[APPC_OFF_VERSION] != f.hdrVersion) {
    if (more) DrainRest(e, drainTimeout);
    CPIC_ERR(WRONG_APPCHDR_VERSION, static_cast<int>(f.hdrVersion), static_cast<int>(msg[APPC_OFF_VERSION]),
             OrEmpty(f.gwHost), OrEmpty(f.gwServ));
    return -2;
  }
  if (IoDumpsOn() && f.traceAppcHdr) STIAnalyzeAppcHdr(e, msg, nullptr, 2);
  msg[APPC_OFF_VERSION] = APPC_HDR_VERSION;
  CM_RETURN_CODE appcRc = static_cast<CM_RETURN_CODE>(CpicIGetBe32(msg + APPC_OFF_APPC_RC));
  GW_RETURN_CODE weqRc = static_cast<GW_RETURN_CODE>(CpicIGetBe32(msg + APPC_OFF_WEQ_RC));
  if (cmRc != nullptr) *cmRc = appcRc;

  if ((msg[APPC_OFF_INFO] & WITH_ERR_INFO) && appcRc != 0 && weqRc != 0) {
    if (!TakeErrorInfo(e, msg + hl, total - hl, more, drainTimeout)) return -1;
    CPIC_ENTRY_TRC(e, 2, u"%s: Receive (with errinfo) from Gateway o.k.\n", kFn);
    TraceCodes(e, kFn, appcRc, weqRc);
    return 0;
  }
  if (more) {
    // The message is longer than the caller takes: its rest is dropped so
    // that the connection stays framed, and the receive fails.
    DrainRest(e, drainTimeout);
    CPIC_ERR(INVALID_LEN);
    return -1;
  }
  CPIC_ENTRY_TRC(e, 2, u"%s: Receive from Gateway o.k.\n", kFn);
  if (total > hl && dst != nullptr && dst != msg + hl) memmove(dst, msg + hl, static_cast<size_t>(total - hl));

  switch (appcRc) {
    case CM_OK:
      return 0;
    case CM_CANCEL_REQUEST:
      f.cancelReceived = 1;
      CPIC_ENTRY_TRC(e, 2, u"%s: cancel request received\n", kFn);
      return 0;
    case CM_DEALLOCATED_NORMAL:
      TraceCodes(e, kFn, appcRc, weqRc);
      return 0;
    default: {
      WEQ_UC a[CPIC_NAME_LEN], w[CPIC_NAME_LEN];
      ErrSetLocation(u"WEQ-Gateway on host %s / %s", OrEmpty(f.gwHost), OrEmpty(f.gwServ));
      CPIC_ERR(C_RETURN_CODES, kFn, CpicRcName(appcRc, a), CpicGwRcName(weqRc, w));
      ErrSetLocation(u"%s", static_cast<const WEQ_UC*>(CpicIGlobals().location));
      TraceCodes(e, kFn, appcRc, weqRc);
      return 0;
    }
  }
}

int StIReadPendingData(CPIC_CONV_ENTRY* e) {
  static constexpr WEQ_UC kFn[] = u"StIReadPendingData";
  CpicConvFields& f = e->f;
  int result = 0;
  int hl = STIHdrLen(e);
  uint8_t buf[CPIC_MSG_FRONT + APPC_HDR_LEN];  // the longest header
  // piece: the bytes read belong to a message longer than one header.
  bool piece = false;
  for (;;) {
    uint32_t got = 0;
    // Every read waits 10 ms at most, and a read that times out ends this
    // one, also within a message: a gateway that stops sending (or a
    // length that the stream does not hold) never holds up the release.
    NI_RC rc = f.readFn(f.readHdl, buf, hl, kPendingWaitMs, &got, f.index);
    if (rc == NIEPING) continue;
    if (rc != WEQ_O_K && rc != NIETOO_SMALL) break;
    int len = static_cast<int>(got);
    bool whole = rc == WEQ_O_K && !piece;
    piece = rc == NIETOO_SMALL;
    if (whole && len == hl && buf[APPC_OFF_REQ] == F_WEQ_PING) {
      CPIC_ENTRY_TRC(e, 2, u"%s: ping received (%.*s)\n", kFn, 8, CpicIIdText(reinterpret_cast<const char*>(buf + APPC_OFF_CONV_ID)).s);
      continue;
    }
    CPIC_ENTRY_TRC(e, 2, u"%s: read pending data, %d bytes\n", kFn, len);
    if (CTrcLevel.load(std::memory_order_relaxed) != 0 && e->traceLevel.load() >= 3 && len > 0) {
      int shown = len < CpicIGlobals().rawTraceLen ? len : CpicIGlobals().rawTraceLen;
      if (shown > 0) DpTrcHexDumpMasked(f.traceHdl, u"received raw data from gateway (user data)", buf,
                                        static_cast<size_t>(shown), DPTRC_TXT_PLAIN);
    }
    if (!whole || len != hl) continue;
    CPIC_ENTRY_TRC(e, 2, u"%s: Receive errors from Gateway o.k.\n", kFn);
    CM_RETURN_CODE appcRc = static_cast<CM_RETURN_CODE>(CpicIGetBe32(buf + APPC_OFF_APPC_RC));
    GW_RETURN_CODE weqRc = static_cast<GW_RETURN_CODE>(CpicIGetBe32(buf + APPC_OFF_WEQ_RC));
    TraceCodes(e, kFn, appcRc, weqRc);
    if (weqRc == C_MANUAL_CANCELD) {
      CPIC_ENTRY_TRC(e, 2, u"%s: program manually canceled\n", kFn);
      CPIC_ERR(C_MANUAL_CANCELD);
      result = CM_DEALLOCATED_ABEND;
    } else if (weqRc == GW_SHUTDOWN) {
      CPIC_ENTRY_TRC(e, 2, u"%s: gateway shutdown\n", kFn);
      CPIC_ERR(GW_SHUTDOWN);
      result = CM_DEALLOCATED_NORMAL;
    } else {
      ErrClear();
    }
  }
  return result;
}

void STIAnalyzeAppcHdr(CPIC_CONV_ENTRY* e, const uint8_t* hdr, const uint8_t* ext, int direction) {
  if (e == nullptr || hdr == nullptr || e->traceLevel.load() < 2) return;
  CTRC_HDL h = e->f.traceHdl;
  WEQ_UC name[CPIC_NAME_LEN], flags[GW_FLAGS_TEXT_LEN];
  // The indexes only where the header's version has them: none in version
  // 1, CommIdx alone in the 78 bytes of version 5.
  int len = GwAppcHdrLen(hdr[APPC_OFF_VERSION]);
  bool commIdx = hdr[APPC_OFF_VERSION] >= 2 && len >= static_cast<int>(APPC_OFF_COMM_IDX) + 2;
  bool connIdx = hdr[APPC_OFF_VERSION] >= 2 && len >= static_cast<int>(APPC_OFF_CONN_IDX) + 2;
  uint8_t req = hdr[APPC_OFF_REQ];
  DpTrcLock();
  DpTrc(h, u"%s: analyze appc hdr\n", u"STIAnalyzeAppcHdr");
  HdrLine(h, u"reqtype", u"%s", direction == 1 ? u"APPC_REQ" : u"APPC_RESPONSE");
  HdrLine(h, u"function", u"%s", GwRequestName(req));
  HdrLine(h, u"CommIdx", u"%d", commIdx ? static_cast<int>(IoBe16(hdr + APPC_OFF_COMM_IDX)) : -1);
  HdrLine(h, u"ConnIdx", u"%d", connIdx ? static_cast<int>(IoBe16(hdr + APPC_OFF_CONN_IDX)) : -1);
  HdrLine(h, u"Version", u"%d", static_cast<int>(hdr[APPC_OFF_VERSION]));
  HdrLine(h, u"Trace", u"%d", static_cast<int>(hdr[APPC_OFF_TRACE]));
  HdrLine(h, u"Protocol", u"%s", GwProtocolName(hdr[APPC_OFF_PROTOCOL]));
  HdrLine(h, u"UID", u"%d", static_cast<int>(IoBe16(hdr + APPC_OFF_UID)));
  HdrLine(h, u"Mode", u"%d", static_cast<int>(hdr[APPC_OFF_MODE]));
  int32_t weqRc = static_cast<int32_t>(CpicIGetBe32(hdr + APPC_OFF_WEQ_RC));
  int32_t appcRc = static_cast<int32_t>(CpicIGetBe32(hdr + APPC_OFF_APPC_RC));
  HdrLine(h, u"WeqRc", u"%d (%s)", weqRc, CpicGwRcName(weqRc, name));
  HdrLine(h, u"AppcRc", u"%d (%s)", appcRc, CpicRcName(appcRc, name));
  HdrLine(h, u"ConvId", u"%8.8s", NetText(hdr + APPC_OFF_CONV_ID, 8));
  if (req == F_WEQ_INIT || req == F_WEQ_SEND || req == F_AWEQ_SEND)
    HdrLine(h, u"Vector", u"%s", static_cast<const WEQ_UC*>(GwVectorText(hdr[APPC_OFF_VECTOR], flags)));
  struct FlagByte {
    const WEQ_UC* label;
    uint8_t value;
    WEQ_UC* (*text)(uint8_t, WEQ_UC*);
  };
  const FlagByte bytes[] = {{u"Info", hdr[APPC_OFF_INFO], GwInfoFlagsText},
                            {u"Info2", hdr[APPC_OFF_INFO2], GwInfo2FlagsText},
                            {u"Info3", hdr[APPC_OFF_INFO3], GwInfo3FlagsText},
                            {u"Info4", hdr[APPC_OFF_INFO4], GwInfo4FlagsText}};
  for (const FlagByte& b : bytes) {
    if (b.value != 0) HdrLine(h, b.label, u"%s", static_cast<const WEQ_UC*>(b.text(b.value, flags)));
  }
  if (direction == 1) {
    DumpRequestArea(h, hdr, ext);
  } else {
    DumpResponseArea(h, hdr);
  }
  DpTrcUnlock();
}

void STITraceRawData(CPIC_CONV_ENTRY* e, uint8_t* msg, int protocol, int len, int direction, int withHeader) {
  if (e == nullptr || msg == nullptr || len <= 0) return;
  int level = e->traceLevel.load();
  if (level < 2) return;
  // The dump always has a text column; it shows the bytes as they are.
  (void)protocol;
  bool sent = direction == 1;
  int hl = withHeader ? STIHdrLen(e) : 0;
  if (hl > len) hl = len;
  if (hl > 0) {
    DpTrcHexDumpMasked(e->f.traceHdl,
                       sent ? u"send raw data to gateway (appc header)" : u"received raw data from gateway (appc header)",
                       msg, static_cast<size_t>(hl), DPTRC_TXT_PLAIN);
  }
  int data = len - hl;
  if (data <= 0 || level < 3) return;
  int limit = CpicIGlobals().rawTraceLen;
  if (data > limit) data = limit;
  if (data <= 0) return;
  DpTrcHexDumpMasked(e->f.traceHdl,
                     sent ? u"send raw data to gateway (user data)" : u"received raw data from gateway (user data)",
                     msg + hl, static_cast<size_t>(data), DPTRC_TXT_PLAIN);
}

void STIMakeTraceRecord(const WEQ_UC* caller, const CPIC_DT_RECORD* rec, CPIC_CONV_ENTRY* e) {
  if (e == nullptr || e->f.traceRecord == nullptr) return;
  uint8_t* r = e->f.traceRecord;
  const CpicGlobals& g = CpicIGlobals();
  const WEQ_UC* fn = caller != nullptr ? caller : u"STIMakeTraceRecord";
  uint32_t sequence;
  if (rec != nullptr) {
    r[0] = rec->version;
    // The component ends at its first 0 unit and is blank-padded.
    int units = 0;
    while (units < 8 && rec->component[units] != 0) ++units;
    memset(r + 1, ' ', 8);
    GwConvToNet(reinterpret_cast<char*>(r + 1), nullptr, 8, rec->component, units, 0, 0);
    memcpy(r + 9, rec->rootId, 16);
    memcpy(r + 25, rec->connId, 16);
    sequence = rec->sequence;
    CPIC_ENTRY_TRC(e, 2, u"%s: dt structure copied\n", fn);
  } else {
    r[0] = g.trcRecVersion;
    memcpy(r + 1, g.componentId, 8);
    memcpy(r + 9, g.rootId, 16);
    CpicIMakeRootId(static_cast<int64_t>(time(nullptr)), reinterpret_cast<char*>(r + 25));
    sequence = 1;
    CPIC_ENTRY_TRC(e, 2, u"%s: dt structure created\n", fn);
  }
  STISetRequestValue(e, sequence);
}
