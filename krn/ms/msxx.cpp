// Message server client: sending and receiving whole messages, the public
// forms on the default handle, and the entry of a code into the error
// information.
#include <string.h>

#include <chrono>

#include "i18n/wequ16/u16fmt.h"
#include "i18n/wequ16/u16str.h"
#include "krn/dptrc/err.h"
#include "krn/ms/ms.h"
#include "krn/ms/ms_int.h"
#include "krn/ni/ni.h"

namespace {

constexpr WEQ_UC kMsgServerName[] = u"MSG_SERVER";

bool MsIToMsgServer(const WEQ_UC* toname) { return strncmpU(toname, kMsgServerName, 10) == 0; }

// Milliseconds of the monotonic clock.
int64_t MsINowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

int MsISnd2(MS_HDL* h, const void* data1, int32_t len1, const void* data2, int32_t len2,
            const WEQ_UC* toname, uint8_t msgtypes, const WEQ_RAW key[MS_KEY_LEN], uint8_t msflag,
            uint8_t iflag, int8_t mserrno) {
  static constexpr WEQ_UC kFn[] = u"MsISnd2";
  if (h == nullptr || !h->attached) {
    DPTRC_ERROR(MsITrc(), u"%s: not_attached", kFn);
    return MSEINVAL;
  }
  if (toname == nullptr) toname = u"";
  if (h->name[0] == u'-') {
    if (msflag == MS_REQUEST && !MsIToMsgServer(toname)) {
      DPTRC_ERROR(MsITrc(), u"%s: inval_request(noname)", kFn);
      return MSEINVAL;
    }
    if (msflag != MS_MSG && msflag != MS_ADMIN && msflag != MS_REQUEST) {
      DPTRC_ERROR(MsITrc(), u"%s: inval_request(noname,msflag=%d)", kFn, static_cast<int32_t>(msflag));
      return MSEINVAL;
    }
  }
  if (msflag == MS_REPLY && MsIToMsgServer(toname)) {
    DPTRC_ERROR(MsITrc(), u"%s: inval_requesti(MS_REPLY)", kFn);
    return MSEINVAL;
  }
  int rc = MsIBufInit(h);
  if (rc != WEQ_O_K) return rc;
  WEQ_RAW* p = h->header;
  p[MS_H_MSERRNO] = static_cast<WEQ_RAW>(mserrno);
  p[MS_H_MSGTYPES] = msgtypes;
  p[MS_H_MSFLAG] = msflag;
  p[MS_H_IFLAG] = iflag;
  if (key != nullptr) memcpy(p + MS_H_KEY, key, MS_KEY_LEN);
  // A receiver name shorter than the field ends with a 0 byte and zeros.
  memset(p + MS_H_TONAME, 0, MS_NAME_FIELD);
  MsBufConvertToNet(p + MS_H_TONAME, toname, MS_NAME_FIELD);
  MsBufConvertToNet(p + MS_H_FROMNAME, h->name, MS_NAME_FIELD);
  int64_t total = static_cast<int64_t>(len1) + len2;
  if (len1 < 0 || len2 < 0 || total > h->maxDataLen || (len1 > 0 && data1 == nullptr) ||
      (len2 > 0 && data2 == nullptr)) {
    if (msflag != MS_REPLY) {
      DPTRC_ERROR(MsITrc(), u"%s: len1/2 %d/%d", kFn, len1, len2);
      return MSEINVAL;
    }
    // A reply too large to send tells its partner so in a bare header.
    DPTRC_ERROR(MsITrc(), u"%s (Reply): len1/2 %d/%d", kFn, len1, len2);
    p[MS_H_MSERRNO] = static_cast<WEQ_RAW>(static_cast<int8_t>(MSEREPLYTOOLARGE));
    len1 = len2 = 0;
  }
  if (len1 > 0) memcpy(p + MS_HEADER_LEN, data1, static_cast<size_t>(len1));
  if (len2 > 0) memcpy(p + MS_HEADER_LEN + len1, data2, static_cast<size_t>(len2));
  rc = MsINiWrite(h, MS_HEADER_LEN + len1 + len2);
  if (rc != WEQ_O_K && rc != MSENIQUEUE) {
    WEQ_UC name[MS_NAME_LEN];
    DPTRC_ERROR(MsITrc(), u"%s: MsINiWrite (rc=%s)", kFn, MsErrorName(rc, name));
    MsIDetach(h);
    return rc;
  }
  if (DPTRC_ON(2)) {
    WEQ_RAW zero[MS_KEY_LEN] = {};
    DPTRC_LINE(2, MsITrc(), u"%s: send msg (ms hdr/msg %u/%u bytes) to name %20.20s, type %d, key %s\n", kFn,
               static_cast<uint32_t>(MS_HEADER_LEN), static_cast<uint32_t>(len1 + len2), toname,
               static_cast<int32_t>(msgtypes), MsKeyToHex(key != nullptr ? key : zero));
  }
  if (iflag != MS_IFLAG_ACK) return rc;
  WEQ_RAW* data = nullptr;
  int32_t dataLen = 0;
  int ack = MsIReceive(h, &data, &dataLen, nullptr, nullptr, nullptr, -1);
  if (ack != WEQ_O_K)
    DPTRC_LINE(1, MsITrc(), u"%s: data can't be written to all server\n", kFn);
  else
    DPTRC_LINE(2, MsITrc(), u"%s: data written to all server\n", kFn);
  return ack;
}

int MsIReadFromHdl(MS_HDL* h, int32_t* len, int32_t timeout) {
  static constexpr WEQ_UC kFn[] = u"MsIReadFromHdl";
  bool wakeup = false;
  int32_t peek = timeout;
  // The caller's time-out bounds the whole call, also against a peer that
  // keeps sending wakeups.
  const int64_t deadline = timeout >= 0 ? MsINowMs() + timeout : -1;
  for (;;) {
    NI_RC peekRc = NiPeekEx(h->hdl, peek);
    if (peekRc == NIETIMEOUT) return wakeup ? MSEWAKEUP : MSENOMSG;
    int32_t n = 0;
    NI_RC niRc = WEQ_O_K;
    int rc = MsINiRead(h, h->ms_timeS, &n, &niRc);
    if (rc != WEQ_O_K) {
      WEQ_UC name[MS_NAME_LEN];
      if (niRc == NIEPING) {
        // NI answered the peer's keep-alive; the connection is sound.
        h->lastNiRc = WEQ_O_K;
        return MSEWAKEUP;
      }
      if (niRc != WEQ_O_K) {
        DPTRC_ERROR(MsITrc(), u"%s: NiRead (rc=%s)", kFn, NiErrorName(niRc));
        if (niRc == NIECONN_BROKEN && h->oldLogin) {
          // The old login was refused by a close.
          MsIWrongServer(h, __LINE__);
          if (n > 0 && h->header != nullptr) MsIHexDump(MsITrc(), h->header, n < 64 ? n : 64);
          MsIDetach(h);
          h->lastNiRc = WEQ_O_K;
          return MSEWRONGSERVER;
        }
      } else {
        DPTRC_ERROR(MsITrc(), u"%s: MsINiRead (rc=%s)", kFn, MsErrorName(rc, name));
      }
      MsIDetach(h);
      return MSENILAYER;
    }
    if (n >= MS_HEADER_LEN) {
      *len = n;
      return WEQ_O_K;
    }
    DPTRC_LINE(2, MsITrc(), u"%s: WAKEUP MSG received\n", kFn);
    wakeup = true;
    peek = 0;
    if (deadline >= 0 && MsINowMs() >= deadline) return MSEWAKEUP;
  }
}

int MsIReceive(MS_HDL* h, WEQ_RAW** data, int32_t* dataLen, WEQ_RAW key[MS_KEY_LEN], uint8_t* msflag,
               WEQ_UC fromname[MS_NAME_FIELD + 1], int32_t timeout) {
  static constexpr WEQ_UC kFn[] = u"MsIReceive";
  if (h == nullptr || !h->attached) {
    DPTRC_ERROR(MsITrc(), u"%s: not_attached", kFn);
    return MSEINVAL;
  }
  int rc = MsIBufInit(h);
  if (rc != WEQ_O_K) return rc;
  int32_t len = 0;
  rc = MsIReadFromHdl(h, &len, timeout);
  if (rc != WEQ_O_K) return rc;
  const WEQ_RAW* p = h->header;
  int32_t mserrno = static_cast<int8_t>(p[MS_H_MSERRNO]);
  if (mserrno == MSEMSGDESTROYED || mserrno == MSEWRONGVERSION) return mserrno;
  WEQ_UC from[MS_NAME_FIELD + 1], to[MS_NAME_FIELD + 1];
  MsBufConvertFromNet(from, p + MS_H_FROMNAME, MS_NAME_FIELD);
  MsBufConvertFromNet(to, p + MS_H_TONAME, MS_NAME_FIELD);
  from[MS_NAME_FIELD] = to[MS_NAME_FIELD] = 0;
  if (DPTRC_ON(2)) {
    WEQ_RAW k[MS_KEY_LEN];
    memcpy(k, p + MS_H_KEY, MS_KEY_LEN);
    DPTRC_LINE(2, MsITrc(), u"%s: received msg (ms hdr/msg %u/%u bytes), flag %d, from %20.20s, typ %d, key %s\n",
               kFn, static_cast<uint32_t>(MS_HEADER_LEN), static_cast<uint32_t>(len - MS_HEADER_LEN),
               static_cast<int32_t>(p[MS_H_MSFLAG]), from, static_cast<int32_t>(p[MS_H_MSGTYPES]), MsKeyToHex(k));
  }
  if (p[MS_H_IFLAG] == MS_IFLAG_NAME && to[0] != u' ') {
    int n = MS_NAME_FIELD;
    if (h->peerVersion < h->ownVersion && (h->peerVersion == 2 || h->peerVersion == 3)) n = MS_H3_NAME;
    if (memcmp(to, h->name, static_cast<size_t>(n) * sizeof(WEQ_UC)) != 0) {
      DPTRC_ERROR(MsITrc(), u"%s: name ? (%.*s / %.*s)", kFn, n, to, n, h->name);
      return MSEWRONGNAME;
    }
  } else if (p[MS_H_IFLAG] == MS_IFLAG_TYPE && (p[MS_H_MSGTYPES] & h->msgtypes) == 0) {
    DPTRC_ERROR(MsITrc(), u"%s: type ? (%d %d)", kFn, static_cast<int32_t>(p[MS_H_MSGTYPES]),
                static_cast<int32_t>(h->msgtypes));
    return MSEWRONGTYPE;
  }
  if (data != nullptr) *data = h->header + MS_HEADER_LEN;
  if (key != nullptr) memcpy(key, p + MS_H_KEY, MS_KEY_LEN);
  if (msflag != nullptr) *msflag = p[MS_H_MSFLAG];
  if (fromname != nullptr) memcpy(fromname, from, sizeof from);
  if (dataLen != nullptr) *dataLen = len - MS_HEADER_LEN;
  return mserrno;
}

int MsReceive(WEQ_RAW** data, int32_t* dataLen, WEQ_RAW key[MS_KEY_LEN], uint8_t* msflag,
              WEQ_UC fromname[MS_NAME_FIELD + 1], int32_t timeout) {
  return MsIReceive(MsGetDefaultHdl(), data, dataLen, key, msflag, fromname, timeout);
}

int MsSndAdmin(const void* data, int32_t dataLen, const WEQ_RAW key[MS_KEY_LEN]) {
  return MsISnd2(MsGetDefaultHdl(), data, dataLen, nullptr, 0, u"-", 0, key, MS_ADMIN, MS_IFLAG_ADMIN, 0);
}

void MsIErrSet(MS_HDL* h, int32_t code) {
  if (code == MSENILAYER) {
    NiErrSet(h != nullptr ? h->lastNiRc : WEQ_O_K);
    return;
  }
  if (ErrIsSet()) {
    if (strcmpU(ErrGetFld(ERR_FLD_LOCATION), ErrGetLocation()) != 0) return;
    if (strcmpU(ErrGetFld(ERR_FLD_COMPONENT), MS_COMPONENT) == 0 &&
        strtolU(ErrGetFld(ERR_FLD_RC), nullptr, 10) == code) {
      return;
    }
  }
  // The text's placeholders are not filled here: it is recorded as it reads.
  WEQ_UC text[400];
  ErrEscapePercent(MsErrorText(code), text, std::size(text));
  ErrSetInfo(MS_COMPONENT, MS_COMPONENT_VERSION, u"msxx", static_cast<uint32_t>(__LINE__), text, code, nullptr);
}

void MsErrSet(int32_t code) { MsIErrSet(MsGetDefaultHdl(), code); }

const WEQ_UC* MsKeyToHex(const WEQ_RAW key[MS_KEY_LEN]) {
  static constexpr WEQ_UC kDigits[] = u"0123456789ABCDEF";
  thread_local WEQ_UC text[2 * MS_KEY_LEN + 1];
  bool zero = true;
  for (int i = 0; i < MS_KEY_LEN; ++i) {
    text[2 * i] = kDigits[key[i] >> 4];
    text[2 * i + 1] = kDigits[key[i] & 15];
    zero = zero && key[i] == 0;
  }
  text[2 * MS_KEY_LEN] = 0;
  if (zero) text[0] = u'-', text[1] = 0;
  return text;
}
