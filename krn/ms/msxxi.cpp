// Message server client: the handle, its buffer, the header and its
// conversion between versions, the write and read of one message, attach
// and detach.
#include <stdlib.h>
#include <string.h>

#include "i18n/wequ16/u16fmt.h"
#include "i18n/wequ16/u16str.h"
#include "krn/dptrc/err.h"
#include "krn/ms/ms.h"
#include "krn/ms/ms_int.h"
#include "krn/ni/ni.h"

namespace {

constexpr WEQ_UC kMsxxiModule[] = u"msxxi";
constexpr WEQ_RAW kEyeCatcher[12] = {'*', '*', 'M', 'E', 'S', 'S', 'A', 'G', 'E', '*', '*', 0};
constexpr WEQ_RAW kEyeCatcherEbcdic[12] = {0x5C, 0x5C, 0xD4, 0xC5, 0xE2, 0xE2,
                                           0xC1, 0xC7, 0xC5, 0x5C, 0x5C, 0x00};
constexpr WEQ_UC kMsgServer[] = u"MSG_SERVER";
// Bytes of a refused message that go to the trace.
constexpr int32_t kDumpMax = 64;

// The dump of a refused message, whatever the trace level.
// It goes into a trace file at any level; without one (standard error)
// only while tracing is on. The level itself is never touched: other
// threads read it.
void MsIDumpRefused(const WEQ_RAW* data, int32_t len) {
  CTRC_HDL hdl = MsITrc();
  if (hdl == nullptr && !DPTRC_ON(1)) return;
  MsIHexDump(hdl, data, len < kDumpMax ? len : kDumpMax);
}

// An anonymous name field: "-" and 39 blanks.
void MsIAnonymous(WEQ_UC* name) {
  memsetU(name, u' ', MS_NAME_FIELD);
  name[0] = u'-';
}

void MsIPutAnonymous(WEQ_RAW* field) {
  memset(field, ' ', MS_NAME_FIELD);
  field[0] = '-';
}

bool MsIIsDash(const WEQ_UC* s) { return s != nullptr && s[0] == u'-' && s[1] == 0; }

// Replaces a heap copy; false when the copy fails (the old one is kept).
bool MsIReplaceCopy(WEQ_UC** slot, const WEQ_UC* text) {
  WEQ_UC* copy = strdupU(text != nullptr ? text : u"");
  if (copy == nullptr) return false;
  free(*slot);
  *slot = copy;
  return true;
}

const WEQ_UC* MsIShow(const WEQ_UC* s) { return s != nullptr ? s : u"<null>"; }

WEQ_UC* MsIName(int32_t code, WEQ_UC* buf) { return MsErrorName(code, buf); }

MS_HDL* MsIDefault() {
  static MS_HDL h = [] {
    MS_HDL d;
    MsIHdlInit(&d);
    return d;
  }();
  return &h;
}

}  // namespace

void MsIHdlInit(MS_HDL* h) {
  memset(h, 0, sizeof *h);
  h->hdl = NI_INVALID_HDL;
  MsIAnonymous(h->name);
  h->ms_timeS = 3000;
  h->ms_timeL = 5000;
  h->ms_timeR = 0;
  h->maxDataLen = MS_MAX_DATA_LEN;
  h->peerVersion = 4;
  h->ownVersion = 4;
  h->attachState = MS_AS_START;
  h->loginOp = MS_IFLAG_LOGIN;
}

void MsIHdlReset(MS_HDL* h) {
  if (h->hdl != NI_INVALID_HDL) NiCloseHandle(h->hdl);
  if (h->buffer != nullptr) NiBufFree2(&h->buffer);
  free(h->myname);
  free(h->myserv);
  free(h->mshost);
  free(h->msserv);
  free(h->relText);
  MsIHdlInit(h);
}

MS_HDL* MsGetDefaultHdl(void) { return MsIDefault(); }

// --- Text fields and error information ---------------------------------------

void MsBufConvertToNet(WEQ_RAW* dst, const WEQ_UC* src, int n) {
  for (int i = 0; i < n && src[i] != 0 && src[i] <= 127; ++i) dst[i] = static_cast<WEQ_RAW>(src[i]);
}

void MsBufConvertFromNet(WEQ_UC* dst, const WEQ_RAW* src, int n) {
  for (int i = 0; i < n; ++i) dst[i] = src[i];
}

int MsIErrInfoV(uint32_t line, int32_t code, U16FmtArgs args) {
  return ErrSetInfoSysV(MS_COMPONENT, MS_COMPONENT_VERSION, kMsxxiModule, line, 0, MsErrorText(code), code,
                        nullptr, nullptr, 0, args);
}

void MsIWrongServer(MS_HDL* h, uint32_t line) {
  MsIErrInfo(line, MSEWRONGSERVER, MsIShow(h->mshost), MsIShow(h->msserv));
  if (DPTRC_ON(1)) ErrTrace(MsITrc());
}

// --- Buffer -----------------------------------------------------------------------

void MsIBufRelease(NIBUF** ppBuffer) { NiBufFree2(ppBuffer); }

NI_RC MsIBufAlloc(NIBUF** ppBuffer, int32_t length, const WEQ_UC* text) {
  (void)length;
  (void)text;
  NI_RC rc = NiBufAlloc2(ppBuffer, MS_BUFFER_LEN, u"MSLIB-BUF", MsIBufRelease);
  if (rc != WEQ_O_K) {
    DPTRC_ERROR(MsITrc(), u"%s: NiBufAlloc2(%d) failed, rc=%s", u"MsIBufAlloc", MS_BUFFER_LEN, NiErrorName(rc));
    return MSENILAYER;
  }
  return WEQ_O_K;
}

int MsIBufInit(MS_HDL* h) {
  if (h->buffer != nullptr && MsIBufSize(h->buffer) < MS_BUFFER_LEN) NiBufFree2(&h->buffer);
  if (h->buffer == nullptr && MsIBufAlloc(&h->buffer, MS_BUFFER_LEN, u"MSLIB-BUF") != WEQ_O_K) {
    h->buffer = nullptr;
    h->header = nullptr;
    return MSENILAYER;
  }
  MsIBufRewind(h->buffer);
  WEQ_RAW* p = MsIBufData(h->buffer);
  memset(p, 0, MS_HEADER_LEN);
  memcpy(p, kEyeCatcher, sizeof kEyeCatcher);
  p[MS_H_VERSION] = h->ownVersion;
  MsIPutAnonymous(p + MS_H_TONAME);
  p[MS_H_DOM] = h->dom;
  MsIPutAnonymous(p + MS_H_FROMNAME);
  h->header = p;
  return WEQ_O_K;
}

// --- Header conversion ----------------------------------------------------------------

void MsIConvertHeaderIn(WEQ_RAW* header, int32_t len, int32_t* newLen, uint8_t ownVersion,
                        uint8_t headerVersion) {
  static constexpr WEQ_UC kFn[] = u"MsIConvertHeaderIn";
  if (ownVersion <= headerVersion) {
    *newLen = len;
    return;
  }
  if (headerVersion == 3) {
    DPTRC_LINE(2, MsITrc(), u"%s: transform data ( %d >> %d )\n", kFn, static_cast<int32_t>(headerVersion),
               static_cast<int32_t>(ownVersion));
    if (len < MS_H3_LEN || len > MS_H3_MAX_LEN) {
      *newLen = -1;
      return;
    }
    WEQ_RAW old[MS_H3_LEN];
    memcpy(old, header, sizeof old);
    memmove(header + MS_HEADER_LEN, header + MS_H3_LEN, static_cast<size_t>(len - MS_H3_LEN));
    memset(header + MS_H_TONAME, ' ', MS_HEADER_LEN - MS_H_TONAME);
    memcpy(header + MS_H_TONAME, old + MS_H_TONAME, MS_H3_NAME);
    header[MS_H_MSGTYPES] = old[MS_H3_MSGTYPES];
    memset(header + MS_H_MSGTYPES + 1, 0, MS_H_KEY - MS_H_MSGTYPES - 1);
    memcpy(header + MS_H_KEY, old + MS_H3_KEY, MS_KEY_LEN);
    header[MS_H_MSFLAG] = old[MS_H3_MSFLAG];
    header[MS_H_IFLAG] = old[MS_H3_IFLAG];
    memcpy(header + MS_H_FROMNAME, old + MS_H3_FROMNAME, MS_H3_NAME);
    memcpy(header + MS_H_PORT, old + MS_H3_PORT, 2);
    *newLen = len + (MS_HEADER_LEN - MS_H3_LEN);
    return;
  }
  if (headerVersion > 3) {
    *newLen = len;
    return;
  }
  // Versions 2 and below: the sender's service (blank-padded) becomes the
  // port; the data moves from behind the long header up to 110.
  DPTRC_LINE(2, MsITrc(), u"%s: transform data ( %d >> %d )\n", kFn, static_cast<int32_t>(headerVersion),
             static_cast<int32_t>(ownVersion));
  if (len < MS_H2_LEN) {
    *newLen = -1;
    return;
  }
  WEQ_UC serv[21];
  int n = 0;
  while (n < 20 && header[MS_H2_SERVICE + n] != ' ' && header[MS_H2_SERVICE + n] != 0 &&
         header[MS_H2_SERVICE + n] <= 127) {
    serv[n] = header[MS_H2_SERVICE + n];
    ++n;
  }
  serv[n] = 0;
  uint16_t port = 0;
  if (n > 0 && !MsIIsDash(serv) && NiServToNo(serv, &port) != WEQ_O_K) port = 0;
  header[MS_H_PORT] = static_cast<WEQ_RAW>(port >> 8);
  header[MS_H_PORT + 1] = static_cast<WEQ_RAW>(port & 0xFF);
  memmove(header + MS_HEADER_LEN, header + MS_H2_LEN, static_cast<size_t>(len - MS_H2_LEN));
  *newLen = len - (MS_H2_LEN - MS_HEADER_LEN);
}

int MsIConvertHeaderOut(const WEQ_RAW* header, WEQ_RAW* dst, int32_t len, int32_t* newLen,
                        uint8_t targetVersion) {
  if (len < MS_HEADER_LEN || targetVersion < 3) {
    *newLen = 0;
    return MSEINVAL;
  }
  if (targetVersion >= 4) {
    if (dst != header) memmove(dst, header, static_cast<size_t>(len));
    *newLen = len;
    return WEQ_O_K;
  }
  WEQ_RAW h3[MS_H3_LEN];
  memcpy(h3, kEyeCatcher, sizeof kEyeCatcher);
  h3[MS_H_VERSION] = 3;
  h3[MS_H_MSERRNO] = header[MS_H_MSERRNO];
  memcpy(h3 + MS_H_TONAME, header + MS_H_TONAME, MS_H3_NAME);
  h3[MS_H3_MSGTYPES] = header[MS_H_MSGTYPES];
  memset(h3 + MS_H3_MSGTYPES + 1, 0, 3);
  memcpy(h3 + MS_H3_KEY, header + MS_H_KEY, MS_KEY_LEN);
  h3[MS_H3_MSFLAG] = header[MS_H_MSFLAG];
  h3[MS_H3_IFLAG] = header[MS_H_IFLAG];
  memcpy(h3 + MS_H3_FROMNAME, header + MS_H_FROMNAME, MS_H3_NAME);
  memcpy(h3 + MS_H3_PORT, header + MS_H_PORT, 2);
  memmove(dst + MS_H3_LEN, header + MS_HEADER_LEN, static_cast<size_t>(len - MS_HEADER_LEN));
  memcpy(dst, h3, sizeof h3);
  *newLen = len - (MS_HEADER_LEN - MS_H3_LEN);
  return WEQ_O_K;
}

// --- Dump ---------------------------------------------------------------------------------

void MsIHexDump(CTRC_HDL hdl, const void* data, int32_t len) {
  static constexpr WEQ_UC kBorder[] = u"+--------+-------------------------------------+------------------+\n";
  static constexpr WEQ_UC kHex[] = u"0123456789abcdef";
  const WEQ_RAW* p = static_cast<const WEQ_RAW*>(data);
  if (len < 0 || p == nullptr) len = 0;
  DpTrcLock();
  DpTrcHex(hdl, kBorder);
  DpTrcHex(hdl, u"%c Offset %c Data (%d bytes)\n", u'|', u'|', len);
  DpTrcHex(hdl, kBorder);
  int32_t off = 0;
  do {
    // "| 000016 | " + 36 hex columns + "| " + 16 characters + " |"
    WEQ_UC hex[37], text[17];
    int hx = 0;
    for (int i = 0; i < 16; ++i) {
      bool have = off + i < len;
      WEQ_RAW b = have ? p[off + i] : 0;
      hex[hx++] = have ? kHex[b >> 4] : u' ';
      hex[hx++] = have ? kHex[b & 15] : u' ';
      if (i % 4 == 3) hex[hx++] = u' ';
      text[i] = !have ? u' ' : (b >= 0x20 && b <= 0x7E ? static_cast<WEQ_UC>(b) : u'.');
    }
    hex[hx] = 0;
    text[16] = 0;
    DpTrcHex(hdl, u"%c %06d %c %s| %s |\n", u'|', off, u'|', hex, text);
    off += 16;
  } while (off < len);
  DpTrcHex(hdl, kBorder);
  DpTrcUnlock();
}

// --- Parameters -----------------------------------------------------------------------------

int MsIParam(MS_HDL* h, int mode, int param, int32_t* value) {
  static constexpr WEQ_UC kFn[] = u"MsIParam";
  if (h == nullptr || value == nullptr) return MSEINVAL;
  bool set = mode == 2;
  int32_t* field = nullptr;
  const WEQ_UC* name = nullptr;
  switch (param) {
    case TIME_S:
      field = &h->ms_timeS, name = u"ms_timeS";
      break;
    case TIME_L:
      field = &h->ms_timeL, name = u"ms_timeL";
      break;
    case TIME_R:
      field = &h->ms_timeR, name = u"ms_timeR";
      break;
    case BUFFER_LN:
      if (!set) {
        *value = MS_BUFFER_LEN;
        DPTRC_LINE(2, MsITrc(), u"%s: return bufferln %d\n", kFn, *value);
        return WEQ_O_K;
      }
      break;
    default:
      break;
  }
  if (field == nullptr) {
    if (set)
      DPTRC_ERROR(MsITrc(), u"%s: unknown set param %d\n", kFn, param);
    else
      DPTRC_ERROR(MsITrc(), u"%s: unknown get param %d\n", kFn, param);
    return MSEINVAL;
  }
  if (set) {
    *field = *value;
    DPTRC_LINE(2, MsITrc(), u"%s: set %s to %d\n", kFn, name, *value);
  } else {
    *value = *field;
    DPTRC_LINE(2, MsITrc(), u"%s: return %s %d\n", kFn, name, *value);
  }
  return WEQ_O_K;
}

int MsSetParam(int param, int32_t value) { return MsIParam(MsIDefault(), 2, param, &value); }

// --- Write and read one message ----------------------------------------------------------------

int MsINiWrite(MS_HDL* h, int32_t len) {
  static constexpr WEQ_UC kFn[] = u"MsINiWrite";
  if (h->buffer == nullptr || h->header == nullptr) return MSEINVAL;
  int32_t out = len;
  if (h->peerVersion < h->ownVersion) {
    DPTRC_LINE(2, MsITrc(), u"transform data to ( %d >> %d )\n", static_cast<int32_t>(h->ownVersion),
               static_cast<int32_t>(h->peerVersion));
    if (MsIConvertHeaderOut(h->header, h->header, len, &out, h->peerVersion) != WEQ_O_K) {
      DPTRC_ERROR(MsITrc(), u"%s: no message layout for version %d", kFn, static_cast<int32_t>(h->peerVersion));
      return MSEINVAL;
    }
  }
  MsIBufSetLen(h->buffer, out);
  h->header = nullptr;
  NI_RC rc = NiBufSend(h->hdl, &h->buffer, h->ms_timeS);
  if (rc == WEQ_O_K) {
    DPTRC_LINE(2, MsITrc(), u"%s: sent %d bytes\n", kFn, out);
    return WEQ_O_K;
  }
  if (rc == NIEQUE_FULL) return MSENIQUEUE;
  if (rc == NIETIMEOUT && h->ms_timeR != 0 && h->buffer != nullptr) {
    if (h->ms_timeR == -1)
      DPTRC_LINE(1, MsITrc(), u"%s: blocking on write after timeout\n", kFn);
    else
      DPTRC_LINE(1, MsITrc(), u"%s: retrying for %d ms after timeout\n", kFn, h->ms_timeR);
    rc = NiBufSend(h->hdl, &h->buffer, h->ms_timeR);
    if (rc == WEQ_O_K) {
      DPTRC_LINE(1, MsITrc(), u"%s: blocking write finished\n", kFn);
      DPTRC_LINE(2, MsITrc(), u"%s: sent %d bytes (2.try)\n", kFn, out);
      return WEQ_O_K;
    }
  }
  h->lastNiRc = rc;
  DPTRC_ERROR(MsITrc(), u"%s: NiBufSend (rc=%s)", kFn, NiErrorName(rc));
  return MSENILAYER;
}

int MsINiRead(MS_HDL* h, int32_t timeout, int32_t* len, NI_RC* niRc) {
  static constexpr WEQ_UC kFn[] = u"MsINiRead";
  *len = 0;
  *niRc = WEQ_O_K;
  if (h->buffer != nullptr) NiBufFree2(&h->buffer);
  h->buffer = nullptr;
  h->header = nullptr;
  NI_RC rc = NiBufReceive(h->hdl, &h->buffer, timeout);
  if (rc != WEQ_O_K) {
    h->lastNiRc = rc;
    *niRc = rc;
    DPTRC_ERROR(MsITrc(), u"%s: NiBufReceive failed (%s)\n", kFn, NiErrorName(rc));
    if (rc == NIETOO_BIG || rc == NIEINTERN) {
      MsIWrongServer(h, __LINE__);
      return MSEWRONGSERVER;
    }
    return MSENILAYER;
  }
  WEQ_RAW* p = MsIBufData(h->buffer);
  int32_t n = MsIBufLen(h->buffer);
  h->header = p;
  *len = n;
  uint8_t version = h->ownVersion;
  if (n >= 12) {
    if (memcmp(p, kEyeCatcher, 12) != 0 && memcmp(p, kEyeCatcherEbcdic, 12) != 0) {
      MsIErrInfo(__LINE__, MSEWRONGSERVER, MsIShow(h->mshost), MsIShow(h->msserv));
      if (DPTRC_ON(2)) ErrTrace(MsITrc());
      MsIDumpRefused(p, n);
      return MSEWRONGSERVER;
    }
    // A message of 12 bytes carries no version byte: it is read as it is.
    if (n > MS_H_VERSION) version = p[MS_H_VERSION];
  }
  // A version-3 message grows by 40 bytes in the buffer; one longer than a
  // message server ever sends would not fit.
  if (version == 3 && h->ownVersion > 3 && n > MS_H3_MAX_LEN) {
    DPTRC_ERROR(MsITrc(), u"%s: version 3 message of %d bytes (at most %d)", kFn, n, MS_H3_MAX_LEN);
    MsIErrInfo(__LINE__, MSEWRONGSERVER, MsIShow(h->mshost), MsIShow(h->msserv));
    if (DPTRC_ON(2)) ErrTrace(MsITrc());
    MsIDumpRefused(p, n);
    return MSEWRONGSERVER;
  }
  int32_t converted = n;
  MsIConvertHeaderIn(p, n, &converted, h->ownVersion, version);
  if (converted < 0) {
    MsIErrInfo(__LINE__, MSEHEADERINCOMPLETE, n);
    if (DPTRC_ON(2)) ErrTrace(MsITrc());
    MsIDumpRefused(p, n);
    return MSEHEADERINCOMPLETE;
  }
  *len = converted;
  DPTRC_LINE(2, MsITrc(), u"%s: received %d bytes\n", kFn, converted);
  return WEQ_O_K;
}

// --- Attach -------------------------------------------------------------------------------

namespace {

// What the login reply step asks of the attach besides a result.
enum class MsINext : uint8_t { kDone, kRetryV3, kOldLogin };

int MsIConnectFailed(MS_HDL* h, NI_RC rc) {
  h->lastNiRc = rc;
  DPTRC_ERROR(MsITrc(), u"%s: NiBufConnect to %s/%s failed (rc=%s)", u"MsIAttachEx", MsIShow(h->mshost),
              MsIShow(h->msserv), NiErrorName(rc));
  return MSENILAYER;
}

// The connect of an attach: WEQ_O_K, MSENISELWRITE with the state set to
// pendingState when a non-blocking connect is still on its way, or the
// failure. A connect left half-open is closed here: the handle is not
// attached yet, so a detach would not reach it.
int MsIConnect(MS_HDL* h, int32_t pendingState) {
  NI_RC rc = NiBufHandle(h->mshost, h->msserv, h->ms_timeL, &h->hdl);
  if (rc == NIECONN_PENDING && h->nonBlocking) {
    h->attachState = pendingState;
    return MSENISELWRITE;
  }
  if (rc == WEQ_O_K) return WEQ_O_K;
  if (h->hdl != NI_INVALID_HDL) NiCloseHandle(h->hdl);
  h->hdl = NI_INVALID_HDL;
  return MsIConnectFailed(h, rc);
}

// Installs the allocation function of the connection; detaches on failure.
int MsIInstallAlloc(MS_HDL* h) {
  NI_RC rc = NiSetHdlParam(h->hdl, NIHP_ALLOC_FUNC, reinterpret_cast<void*>(&MsIBufAlloc));
  if (rc == WEQ_O_K) return WEQ_O_K;
  h->lastNiRc = rc;
  DPTRC_ERROR(MsITrc(), u"%s: NiSetHdlParam failed (rc=%s)", u"MsIAttachEx", NiErrorName(rc));
  MsIDetach(h);
  return MSENILAYER;
}

// The own service into the header's port (unless "-"); detaches on failure.
int MsIPutPort(MS_HDL* h) {
  if (h->myserv == nullptr || MsIIsDash(h->myserv)) return WEQ_O_K;
  uint16_t port = 0;
  NI_RC rc = NiServToNo(h->myserv, &port);
  if (rc != WEQ_O_K) {
    h->lastNiRc = rc;
    DPTRC_ERROR(MsITrc(), u"%s: NiServToNo %s (rc=%s)", u"MsIAttachEx", h->myserv, NiErrorName(rc));
    MsIDetach(h);
    return MSENILAYER;
  }
  h->header[MS_H_PORT] = static_cast<WEQ_RAW>(port >> 8);
  h->header[MS_H_PORT + 1] = static_cast<WEQ_RAW>(port & 0xFF);
  return WEQ_O_K;
}

// Step 1: take the arguments and connect.
int MsIAttachStart(MS_HDL* h, const WEQ_UC* mshost, const WEQ_UC* msserv, uint8_t msgtypes,
                   uint8_t ownVersion, uint8_t dom, uint8_t loginOp, int32_t* replyLen) {
  static constexpr WEQ_UC kFn[] = u"MsIAttachEx";
  if (h->nonBlocking) h->ms_timeS = h->ms_timeL = h->ms_timeR = 0;
  if (replyLen != nullptr) *replyLen = 0;
  if (h->attached) {
    DPTRC_LINE(2, MsITrc(), u"%s: was already attached\n", kFn);
    MsIDetach(h);
  }
  h->oldLogin = 0;
  h->ownVersion = h->versionRetry ? 3 : ownVersion;
  h->msgtypes = msgtypes;
  h->dom = dom;
  h->loginOp = loginOp;
  if (!MsIReplaceCopy(&h->mshost, mshost) || !MsIReplaceCopy(&h->msserv, msserv)) {
    DPTRC_ERROR(MsITrc(), u"%s: strdupU(mshost/msserv) failed", kFn);
    return MSENOMEM;
  }
  h->lastNiRc = WEQ_O_K;
  DPTRC_LINE(2, MsITrc(), u"%s: connect to %s / %s\n", kFn, h->mshost, h->msserv);
  return MsIConnect(h, MS_AS_CONNECTING);
}

// Step 2.4: the release information, when the caller gives a release text.
int MsIAttachRelease(MS_HDL* h, const WEQ_UC* myname, const WEQ_UC* relText, int32_t relNo, int32_t patchLevel,
                     int32_t patchNo) {
  static constexpr WEQ_UC kFn[] = u"MsIAttachEx";
  WEQ_UC rel[11];
  size_t n = strnlenU16(relText, 10);
  memcpy(rel, relText, n * sizeof(WEQ_UC));
  rel[n] = 0;
  if (!MsIReplaceCopy(&h->relText, rel)) {
    DPTRC_ERROR(MsITrc(), u"%s: strdupU(release) failed", kFn);
    MsIDetach(h);
    return MSENOMEM;
  }
  h->relNo = relNo;
  h->patchLevel = patchLevel;
  h->patchNo = patchNo;
  int rc = MsSetRelInfoForClient(h, myname, h->relText, relNo, patchLevel, patchNo, 1, -1, nullptr, nullptr);
  if (rc == WEQ_O_K) {
    h->relCheckPassed = 1;
    return WEQ_O_K;
  }
  if (rc < 0) {
    // The exchange itself failed; it has detached the handle.
    MsIDetach(h);
    return rc;
  }
  DPTRC_ERROR(MsITrc(), u"%s: StoC check failed, Kernel not compatible with system (rc=%d)", kFn, rc);
  DpSysLogHook(MsITrc(), u"Q1K", u"%s: StoC check failed, Kernel not compatible with system (rc=%d)", kFn, rc);
  if (h->relCheckPassed) return WEQ_O_K;
  MsIDetach(h);
  return MSEACCESSDENIED;
}

// Step 2: the connection is up; send the login.
int MsIAttachLogin(MS_HDL* h, bool afterPending, const WEQ_UC* myname, const WEQ_UC* myserv,
                   const void* loginData, int32_t loginLen, const WEQ_UC* relText, int32_t relNo,
                   int32_t patchLevel, int32_t patchNo) {
  static constexpr WEQ_UC kFn[] = u"MsIAttachEx";
  if (afterPending) {
    NI_RC rc = NiPeekExWrite(h->hdl, 0);
    if (rc != WEQ_O_K) return MsIConnectFailed(h, rc);
  }
  h->lastNiRc = WEQ_O_K;
  h->attached = 1;
  int rc = MsIInstallAlloc(h);
  if (rc != WEQ_O_K) return rc;
  // The client name: at most 40 characters, blank-padded.
  memsetU(h->name, u' ', MS_NAME_FIELD);
  size_t nameLen = strnlenU16(myname, MS_NAME_FIELD);
  memcpy(h->name, myname, nameLen * sizeof(WEQ_UC));
  size_t word = 0;
  while (word < nameLen && myname[word] != u' ') ++word;
  WEQ_UC* first = static_cast<WEQ_UC*>(malloc((word + 1) * sizeof(WEQ_UC)));
  if (first == nullptr) {
    DPTRC_ERROR(MsITrc(), u"%s: strdupU(myname) failed", kFn);
    MsIDetach(h);
    return MSENOMEM;
  }
  memcpy(first, myname, word * sizeof(WEQ_UC));
  first[word] = 0;
  free(h->myname);
  h->myname = first;
  if (relText != nullptr) {
    rc = MsIAttachRelease(h, myname, relText, relNo, patchLevel, patchNo);
    if (rc != WEQ_O_K) return rc;
  }
  rc = MsIBufInit(h);
  if (rc != WEQ_O_K) {
    MsIDetach(h);
    return rc;
  }
  MsBufConvertToNet(h->header + MS_H_FROMNAME, h->name, MS_NAME_FIELD);
  if (!MsIReplaceCopy(&h->myserv, myserv)) {
    DPTRC_ERROR(MsITrc(), u"%s: strdupU(myserv) failed", kFn);
    MsIDetach(h);
    return MSENOMEM;
  }
  rc = MsIPutPort(h);
  if (rc != WEQ_O_K) return rc;
  h->header[MS_H_MSGTYPES] = h->msgtypes;
  h->header[MS_H_DOM] = h->dom;
  h->header[MS_H_IFLAG] = h->loginOp;
  int32_t dataLen = 0;
  if (!h->versionRetry && loginData != nullptr && loginLen >= 1) {
    if (loginLen > h->maxDataLen) {
      DPTRC_ERROR(MsITrc(), u"%s: login data %d bytes (at most %d)", kFn, loginLen, h->maxDataLen);
      MsIDetach(h);
      return MSEINVAL;
    }
    memcpy(h->header + MS_HEADER_LEN, loginData, static_cast<size_t>(loginLen));
    dataLen = loginLen;
  }
  rc = MsINiWrite(h, MS_HEADER_LEN + dataLen);
  if (rc != WEQ_O_K) {
    WEQ_UC name[MS_NAME_LEN];
    DPTRC_ERROR(MsITrc(), u"%s: MsINiWrite (rc=%s)", kFn, MsIName(rc, name));
    MsIDetach(h);
    return rc;
  }
  return WEQ_O_K;
}

// Step 3: the login reply.
int MsIAttachReply(MS_HDL* h, WEQ_RAW** reply, int32_t* replyLen, MsINext* next) {
  static constexpr WEQ_UC kFn[] = u"MsIAttachEx";
  WEQ_UC name[MS_NAME_LEN];
  *next = MsINext::kDone;
  int32_t len = 0;
  NI_RC niRc = WEQ_O_K;
  int rc = MsINiRead(h, h->ms_timeL, &len, &niRc);
  if (rc != WEQ_O_K) {
    if (h->dom == 0 && (niRc == NIECONN_BROKEN || niRc == NIEROUT_CONN_BROKEN)) {
      // An older message server closes on a login it does not know.
      NiCloseHandle(h->hdl);
      h->hdl = NI_INVALID_HDL;
      h->attachState = MS_AS_OLD_START;
      *next = MsINext::kOldLogin;
      return WEQ_O_K;
    }
    MsIDetach(h);
    DPTRC_ERROR(MsITrc(), u"%s:MsINiRead (rc=%s)", kFn,
                niRc != WEQ_O_K ? NiErrorName(niRc) : MsIName(rc, name));
    return rc;
  }
  WEQ_RAW* p = h->header;
  // The error byte is read only when it arrived.
  if (len <= MS_H_MSERRNO) {
    MsIErrInfo(__LINE__, MSEHEADERINCOMPLETE, len);
    if (DPTRC_ON(2)) MsIHexDump(MsITrc(), p, len);
    MsIDetach(h);
    return MSEHEADERINCOMPLETE;
  }
  int32_t mserrno = static_cast<int8_t>(p[MS_H_MSERRNO]);
  if (mserrno != 0) {
    MsIDetach(h);
    if (mserrno == MSEWRONGVERSION) {
      if (h->ownVersion == 3) return MSEWRONGVERSION;
      h->versionRetry = 1;
      *next = MsINext::kRetryV3;
      return WEQ_O_K;
    }
    ErrSetInfo(MS_COMPONENT, MS_COMPONENT_VERSION, kMsxxiModule, __LINE__, u"mserrno received (%s)", MSEFREETEXT,
               nullptr, MsIName(mserrno, name));
    DPTRC_ERROR(MsITrc(), u"mserrno received (%s)", MsIName(mserrno, name));
    return mserrno;
  }
  if (len < MS_HEADER_LEN) {
    MsIErrInfo(__LINE__, MSEHEADERINCOMPLETE, len);
    if (DPTRC_ON(2)) MsIHexDump(MsITrc(), p, len);
    MsIDetach(h);
    return MSEHEADERINCOMPLETE;
  }
  WEQ_UC from[MS_NAME_FIELD + 1];
  MsBufConvertFromNet(from, p + MS_H_FROMNAME, MS_NAME_FIELD);
  from[MS_NAME_FIELD] = 0;
  if (strncmpU(from, kMsgServer, 10) != 0) {
    DPTRC_ERROR(MsITrc(), u"%s: answer not from MSG_SERVER (%s)", kFn, from);
    MsIErrInfo(__LINE__, MSEWRONGSERVER, MsIShow(h->mshost), MsIShow(h->msserv));
    if (DPTRC_ON(2)) MsIHexDump(MsITrc(), p, MS_HEADER_LEN);
    MsIDetach(h);
    return MSEWRONGSERVER;
  }
  uint8_t version = p[MS_H_VERSION];
  if (version > h->ownVersion) {
    DPTRC_LINE(2, MsITrc(), u"%s: msg_server version (%d) -> my version (%d)\n", kFn, static_cast<int32_t>(version),
               static_cast<int32_t>(h->ownVersion));
    version = h->ownVersion;
  }
  h->peerVersion = version;
  DPTRC_LINE(2, MsITrc(), u"%s: login to msg_server (version=%d) %s %s o.k.\n", kFn,
             static_cast<int32_t>(h->peerVersion), h->mshost, h->msserv);
  if (h->name[0] != u'-' && DPTRC_ON(2)) {
    WEQ_UC types[MS_TYPES_TEXT_LEN];
    DPTRC_LINE(2, MsITrc(), u"%s: myname=%s, myserv=%.*s, mytype=%s\n", kFn, MsIShow(h->myname), 20,
               MsIShow(h->myserv), MsTypesText(h->msgtypes, types));
  }
  if (!h->versionRetry) {
    if (replyLen != nullptr) *replyLen = len - MS_HEADER_LEN;
    if (reply != nullptr) *reply = p + MS_HEADER_LEN;
  }
  return WEQ_O_K;
}

}  // namespace

int MsIAttachEx(MS_HDL* h, const WEQ_UC* myname, const WEQ_UC* myserv, uint8_t msgtypes,
                const WEQ_UC* mshost, const WEQ_UC* msserv, uint8_t ownVersion, uint8_t dom,
                const WEQ_UC* relText, int32_t relNo, int32_t patchLevel, int32_t patchNo,
                uint8_t loginOp, const void* loginData, int32_t loginLen, WEQ_RAW** reply,
                int32_t* replyLen, MS_HDL** hdlOut, uint8_t nonBlocking) {
  static constexpr WEQ_UC kFn[] = u"MsIAttachEx";
  if (dom > 2) {
    DPTRC_LINE(2, MsITrc(), u"%s: parameter dom (%d) out of range (max=%d)", kFn, static_cast<int32_t>(dom), 1);
    return MSEINVAL;
  }
  if (h == nullptr || myname == nullptr || myserv == nullptr || mshost == nullptr || msserv == nullptr) {
    DPTRC_ERROR(MsITrc(), u"%s: parameter invalid (NULL)", kFn);
    return MSEINVAL;
  }
  h->nonBlocking = nonBlocking;
  if (hdlOut != nullptr) *hdlOut = h;
  // A version-3 retry lasts until the attach ends, also across the calls
  // of a non-blocking attach.
  auto ended = [h](int rc) {
    if (rc != MSENISELWRITE && rc != MSENISELREAD) h->versionRetry = 0;
    return rc;
  };
  for (;;) {
    int32_t state = h->attachState;
    if (state == MS_AS_OLD_START || state == MS_AS_OLD_CONNECTING) return ended(MsIAttachOld(h));
    if (state != MS_AS_START && state != MS_AS_CONNECTING && state != MS_AS_LOGIN_SENT) {
      DPTRC_ERROR(MsITrc(), u"%s: unknown attach state %d\n", kFn, state);
      return ended(MSEINTERN);
    }
    int rc;
    if (state == MS_AS_START) {
      rc = MsIAttachStart(h, mshost, msserv, msgtypes, ownVersion, dom, loginOp, replyLen);
      if (rc != WEQ_O_K) return ended(rc);
    }
    if (state == MS_AS_START || state == MS_AS_CONNECTING) {
      rc = MsIAttachLogin(h, state == MS_AS_CONNECTING, myname, myserv, loginData, loginLen, relText, relNo,
                          patchLevel, patchNo);
      if (rc != WEQ_O_K) return ended(rc);
      if (h->nonBlocking) {
        h->attachState = MS_AS_LOGIN_SENT;
        return MSENISELREAD;
      }
    }
    MsINext next = MsINext::kDone;
    rc = MsIAttachReply(h, reply, replyLen, &next);
    if (next == MsINext::kOldLogin) return ended(MsIAttachOld(h));
    if (next == MsINext::kRetryV3) continue;
    return ended(rc);
  }
}

int MsIAttachOld(MS_HDL* h) {
  static constexpr WEQ_UC kFn[] = u"MsIAttachOld";
  if (h->attachState == MS_AS_OLD_START) {
    DPTRC_LINE(2, MsITrc(), u"%s: connect to %s / %s\n", kFn, MsIShow(h->mshost), MsIShow(h->msserv));
    h->oldLogin = 1;
    int rc = MsIConnect(h, MS_AS_OLD_CONNECTING);
    if (rc != WEQ_O_K) return rc;
  } else if (h->attachState == MS_AS_OLD_CONNECTING) {
    NI_RC rc = NiPeekExWrite(h->hdl, 0);
    if (rc != WEQ_O_K) return MsIConnectFailed(h, rc);
  } else {
    DPTRC_ERROR(MsITrc(), u"%s: unknown attach state %d\n", kFn, h->attachState);
    return MSEINTERN;
  }
  h->attached = 1;
  int rc = MsIInstallAlloc(h);
  if (rc != WEQ_O_K) return rc;
  rc = MsIBufInit(h);
  if (rc != WEQ_O_K) {
    MsIDetach(h);
    return rc;
  }
  MsBufConvertToNet(h->header + MS_H_FROMNAME, h->name, MS_NAME_FIELD);
  rc = MsIPutPort(h);
  if (rc != WEQ_O_K) return rc;
  h->header[MS_H_MSGTYPES] = h->msgtypes;
  h->header[MS_H_IFLAG] = MS_IFLAG_OLDLOGIN;
  h->peerVersion = 3;
  h->maxDataLen = MS_OLD_MAX_DATA_LEN;
  h->versionRetry = 0;
  rc = MsINiWrite(h, MS_HEADER_LEN);
  if (rc != WEQ_O_K) {
    WEQ_UC name[MS_NAME_LEN];
    DPTRC_ERROR(MsITrc(), u"%s: MsINiWrite (rc=%s)", kFn, MsIName(rc, name));
    MsIDetach(h);
    return MSENILAYER;
  }
  DPTRC_LINE(2, MsITrc(), u"%s: old login to msg_server (version=%d) %s %s o.k.\n", kFn,
             static_cast<int32_t>(h->peerVersion), MsIShow(h->mshost), MsIShow(h->msserv));
  return WEQ_O_K;
}

int MsIDetach(MS_HDL* h) {
  static constexpr WEQ_UC kFn[] = u"MsIDetach";
  if (h == nullptr) return MSEINVAL;
  if (!h->attached) {
    DPTRC_LINE(3, MsITrc(), u"%s called without being attached\n", kFn);
    return WEQ_O_K;
  }
  if (h->lastNiRc == WEQ_O_K && h->hdl != NI_INVALID_HDL && NiWritePending(h->hdl) == 0) {
    if (MsIBufInit(h) != WEQ_O_K) return MSENILAYER;
    MsBufConvertToNet(h->header + MS_H_FROMNAME, h->name, MS_NAME_FIELD);
    h->header[MS_H_IFLAG] = MS_IFLAG_LOGOUT;
    int rc = MsINiWrite(h, MS_HEADER_LEN);
    if (rc != WEQ_O_K) {
      WEQ_UC name[MS_NAME_LEN];
      DPTRC_ERROR(MsITrc(), u"%s: MsINiWrite (rc=%s)", kFn, MsIName(rc, name));
    }
    DPTRC_LINE(2, MsITrc(), u"%s: send logout to msg_server (%s / %s)\n", kFn, MsIShow(h->mshost),
               MsIShow(h->msserv));
  }
  h->attached = 0;
  h->oldLogin = 0;
  h->attachState = MS_AS_START;
  if (h->hdl != NI_INVALID_HDL) NiCloseHandle(h->hdl);
  h->hdl = NI_INVALID_HDL;
  DPTRC_LINE(2, MsITrc(), u"%s: detach MS-system (%s / %s)\n", kFn, MsIShow(h->mshost), MsIShow(h->msserv));
  return WEQ_O_K;
}

int MsAttach(const WEQ_UC* myname, const WEQ_UC* myserv, uint8_t msgtypes, const WEQ_UC* mshost,
             const WEQ_UC* msserv) {
  return MsIAttachEx(MsIDefault(), myname, myserv, msgtypes, mshost, msserv, 4, 0, nullptr, 0, 0, 0,
                     MS_IFLAG_LOGIN, nullptr, 0, nullptr, nullptr, nullptr, 0);
}

int MsDetach(void) { return MsIDetach(MsIDefault()); }

int MsIsAttached(void) { return MsIDefault()->attached; }
