// NI control messages: the processing of every message a handle reads
// before its user sees it, the sending of NI_RTERR, and the receipt of a
// handle passed by another process (nictl_int.h).
#include <stdlib.h>
#include <string.h>

#include <memory>

#include "krn/dptrc/err.h"
#include "krn/ni/niaddr_int.h"
#include "krn/ni/nictl_int.h"
#include "krn/ni/nimsg_int.h"

namespace {

constexpr const WEQ_UC* kCtlModule = u"nibuf";
constexpr WEQ_RAW kRtErrEye[9] = {'N', 'I', '_', 'R', 'T', 'E', 'R', 'R', 0};
// Senders below this NI version know opcode 0 only.
constexpr uint8_t kFirstOpcodeVersion = 29;
// The wait for a second passed socket when the caller's is shorter.
constexpr int32_t kSecondSocketMs = 500;



// Answers of a buffered handle wait in its ready-queue while the peer
// does not read; beyond this many the peer gets no more.
constexpr uint32_t kAnswersWaiting = 256;

// Whether an answer (what names it) goes out: not to a buffered handle's
// peer that has left kAnswersWaiting of them unread (an unbuffered handle
// bounds its own, nimsg_int.h).
bool AnswerTaken(NITAB* pHdl, NIBUF_EXT* pExt, const WEQ_UC* what) {
  if (pExt == nullptr || !NiBufIAnswersWaiting(pExt, kAnswersWaiting)) return true;
  DPTRC_WARNING(NiIHdlTrc(pHdl), u"%s: hdl %d %d answers not taken by partner, do not send %s\n", u"NiBufIProcMsg",
                NiIHdlNo(pHdl), static_cast<int32_t>(kAnswersWaiting), what);
  return false;
}

// Codes that drive NI's own flow (and anything that is no NI code): from
// a peer they would make a caller wait, retry or look for a handle.
NI_RC FromPeer(NI_RC rc) {
  switch (rc) {
    case NIETIMEOUT:
    case NIETOO_SMALL:
    case NIEPING:
    case NIEOPCODE:
    case NIEACCEPT:
    case NIEQUE_FULL:
    case NIECONN_PENDING:
      return NIEINTERN;
    default:
      return rc > 0 ? NIEINTERN : rc;
  }
}

NI_RC KeepAlive(NITAB* pHdl, NIBUF_EXT* pExt, uint8_t kind, uint32_t* pLength) {
  static constexpr const WEQ_UC* kFn = u"NiBufIProcMsg";
  int32_t hdl = NiIHdlNo(pHdl);
  int lvl = NiIHdlLevel(pHdl, 2);
  CTRC_HDL trc = NiIHdlTrc(pHdl);
  *pLength = 0;
  if (kind == NI_KA_PING) {
    DPTRC_LINE(lvl, trc, u"%s: hdl %d received NI_PING, reply NI_PONG\n", kFn, hdl);
    if (pExt == nullptr) return NiIAnswerPing(pHdl);
    if (!AnswerTaken(pHdl, pExt, u"PONG")) return NIEOPCODE;
    NI_RC rc = NiICheck(pHdl, 0, 0, nullptr);
    if (rc != WEQ_O_K) {
      DPTRC_LINE(1, trc, u"%s: NiICheck failed (rc=%d)\n", kFn, rc);
      return rc;
    }
    return NIEOPCODE;
  }
  if (pHdl->mCheck == 1) {
    pHdl->mCheck = 0;
    DPTRC_LINE(lvl, trc, u"%s: hdl %d received NI_PONG, check o.k.\n", kFn, hdl);
    return NIEPING;
  }
  if (pHdl->mCheck == 2) {
    pHdl->mWaitCount += 1;
    DPTRC_LINE(lvl, trc, u"%s: hdl %d received NI_PONG: wait_count: %d\n", kFn, hdl,
               static_cast<int32_t>(pHdl->mWaitCount));
    return NIEOPCODE;
  }
  DPTRC_LINE(lvl, trc, u"%s: hdl %d received NI_PONG\n", kFn, hdl);
  return NIEOPCODE;
}

// Opcode 8: a process is about to pass a handle. It is told this
// process's id and sends the sockets next.
NI_RC PassRequest(NITAB* pHdl, NIBUF_EXT* pExt, const WEQ_RAW* data, uint32_t dataLen) {
  static constexpr const WEQ_UC* kFn = u"NiBufIProcMsg";
  if (pExt->status != NIBUF_STAT_OK || pExt->passData != nullptr || pExt->accepted != nullptr ||
      dataLen != NI_PASS_LEN) {
    return NiIErrTrace(kCtlModule, __LINE__, 1, u"%s: invalid internal state (hdl %d;%d;%p;%p;%d)", NIEINTERN, kFn,
                       NiIHdlNo(pHdl), static_cast<int32_t>(pExt->status), static_cast<const void*>(pExt->passData),
                       static_cast<const void*>(pExt->accepted), static_cast<int32_t>(dataLen));
  }
  uint32_t pid = 0;
  NiPGetPid(&pid);
  NI_RC rc = NiBufISendMsg(pHdl, pExt, 0, NI_RTERR_OP_PID, &pid, sizeof pid);
  if (rc != WEQ_O_K) {
    DPTRC_LINE(1, NiIHdlTrc(pHdl), u"%s: NiBufISendMsg fauled (rc=%d)\n", kFn, rc);
    return rc;
  }
  auto* saved = static_cast<WEQ_RAW*>(malloc(NI_PASS_LEN));
  if (saved == nullptr)
    return NiIErrTrace(kCtlModule, __LINE__, 1, u"%s: malloc failed for %d bytes (hdl %d)", NIEINTERN, kFn,
                       static_cast<int32_t>(NI_PASS_LEN), NiIHdlNo(pHdl));
  memcpy(saved, data, NI_PASS_LEN);
  pExt->passData = saved;
  NiBufISetStatus(pHdl, pExt, NIBUF_STAT_ACCEPTING);
  NiBufISetHS(pHdl, pExt, true);
  return NIEOPCODE;
}

NI_RC UnknownOpcode(NITAB* pHdl, NIBUF_EXT* pExt, uint8_t opcode) {
  static constexpr const WEQ_UC* kFn = u"NiBufIProcMsg";
  NiIErrInfo(kCtlModule, __LINE__, u"%s: unknown opcode %d received", NIEVERSION, kFn, static_cast<int32_t>(opcode));
  DPTRC_LINE(1, NiIHdlTrc(pHdl), u"%s: unknown opcode %d received (hdl %d)\n", kFn, static_cast<int32_t>(opcode),
             NiIHdlNo(pHdl));
  if (!AnswerTaken(pHdl, pExt, u"ERROR-INFO")) {
    ErrClear();
    return NIEOPCODE;
  }
  NI_RC rc = NiBufISendErr(pHdl, pExt, 0, NIEVERSION);
  // Unbuffered, nothing goes between the pieces of a message being written.
  if (rc == NIETIMEOUT && pExt == nullptr) return NIEOPCODE;
  if (rc != WEQ_O_K) {
    DPTRC_LINE(1, NiIHdlTrc(pHdl), u"%s: NiBufISendErr failed (rc=%d)\n", kFn, rc);
    return NIEINTERN;
  }
  return NIEOPCODE;
}

}  // namespace

NI_RC NiBufIProcMsg(NITAB* pHdl, NIBUF_EXT* pExt, void* pMsg, uint32_t* pLength, NI_RC* pPeerRc,
                    uint8_t* pVersion) {
  static constexpr const WEQ_UC* kFn = u"NiBufIProcMsg";
  if (pPeerRc != nullptr) *pPeerRc = 0;
  const auto* m = static_cast<const WEQ_RAW*>(pMsg);
  const uint32_t len = *pLength;
  const uint8_t kind = NiIKeepAliveKind(m, len);
  if (kind != NI_KA_NONE) return KeepAlive(pHdl, pExt, kind, pLength);
  if (len < NI_RTERR_HDR_LEN || memcmp(m, kRtErrEye, sizeof kRtErrEye) != 0) return WEQ_O_K;
  CTRC_HDL trc = NiIHdlTrc(pHdl);
  DPTRC_LINE(3, trc, u"%s: message detected\n", kFn);
  // Unsigned: a text longer than the message leaves it user data.
  const uint32_t textLen = NiIGet32(m + 16);
  if (textLen > len - NI_RTERR_HDR_LEN) {
    DPTRC_LINE(NiIHdlLevel(pHdl, 2), trc, u"%s: invalid error-msg received (%d>%d)\n", kFn,
               static_cast<int32_t>(textLen), static_cast<int32_t>(len - NI_RTERR_HDR_LEN));
    return WEQ_O_K;
  }
  const uint8_t version = m[9];
  if (pVersion != nullptr) *pVersion = version;
  const uint8_t opcode = version < kFirstOpcodeVersion ? uint8_t{NI_RTERR_OP_ERROR} : m[10];
  const auto peerRc = static_cast<NI_RC>(NiIGet32(m + 12));
  const int32_t hdl = NiIHdlNo(pHdl);
  *pLength = 0;
  if (opcode == NI_RTERR_OP_ERROR) {
    ErrCpNetToInt(m + 20, textLen);
    if (pPeerRc != nullptr) *pPeerRc = FromPeer(peerRc);
    DPTRC_ERROR(trc, u"%s: hdl %d received rc=%d (%s) from peer\n", kFn, hdl, peerRc, NiErrorName(peerRc));
    return NIEOPCODE;
  }
  const WEQ_RAW* data = m + 20 + textLen;
  const uint32_t dataLen = len - NI_RTERR_HDR_LEN - textLen;
  DPTRC_LINE(NiIHdlLevel(pHdl, 2), trc, u"%s: hdl %d processing opcode %d (len=%d; vers=%d)\n", kFn, hdl,
             static_cast<int32_t>(opcode), static_cast<int32_t>(len), static_cast<int32_t>(version));
  switch (opcode) {
    case NI_RTERR_OP_VERSION_REQ: {
      if (!AnswerTaken(pHdl, pExt, u"VERSION")) return NIEOPCODE;
      NI_RC rc = NiBufISendMsg(pHdl, pExt, 0, NI_RTERR_OP_VERSION, nullptr, 0);
      if (rc == NIETIMEOUT && pExt == nullptr) return NIEOPCODE;  // not between a message's pieces
      if (rc != WEQ_O_K) {
        DPTRC_LINE(1, trc, u"%s: NiBufISendMsg failed (rc=%d)\n", kFn, rc);
        return rc;
      }
      return NIEOPCODE;
    }
    case NI_RTERR_OP_VERSION:
      return NIEOPCODE;
    case NI_RTERR_OP_PASS:
      if (pExt == nullptr) break;
      return PassRequest(pHdl, pExt, data, dataLen);
    case NI_RTERR_OP_PID:
      // Answers to a handle this system would be sending: it never does.
      if (pExt == nullptr) break;
      return NiIErrTrace(kCtlModule, __LINE__, 1, u"%s: invalid internal state (hdl %d;%d;%p;%d<%d)", NIEINTERN, kFn,
                         hdl, static_cast<int32_t>(pExt->status), static_cast<const void*>(pExt->accepted),
                         static_cast<int32_t>(dataLen), 4);
    case NI_RTERR_OP_TAKEN:
      if (pExt == nullptr) break;
      return NiIErrTrace(kCtlModule, __LINE__, 1, u"%s: invalid internal state (hdl %d;%d;%p)", NIEINTERN, kFn, hdl,
                         static_cast<int32_t>(pExt->status), static_cast<const void*>(pExt->accepted));
    default:
      break;
  }
  return UnknownOpcode(pHdl, pExt, opcode);
}

// --- Sending ---------------------------------------------------------------------------------

NI_RC NiBufISendMsg2(NITAB* pHdl, NIBUF_EXT* pExt, int32_t timeout, NI_RC rc, uint8_t opcode, const void* pData,
                     uint32_t dataLen) {
  static constexpr const WEQ_UC* kFn = u"NiBufISendMsg2";
  CTRC_HDL trc = NiIHdlTrc(pHdl);
  const WEQ_UC* record = nullptr;
  size_t units = 0;
  int erc = ErrGetAttr(&record, &units);
  if (erc != 0) {
    DPTRC_LINE(1, trc, u"%s: ErrGetAttr failed (rc=%d) for hdl %d\n", kFn, static_cast<int32_t>(erc), NiIHdlNo(pHdl));
    return NiIErrInfo(kCtlModule, __LINE__, u"%s: ErrGetAttr failed (rc=%d)", NIEINTERN, kFn,
                      static_cast<int32_t>(erc));
  }
  // A unit takes up to three bytes of UTF-8 (a surrogate pair four for two).
  const size_t room = 3 * units;
  const size_t size = NI_RTERR_HDR_LEN + dataLen + room;
  std::unique_ptr<WEQ_RAW, decltype(&free)> msg(static_cast<WEQ_RAW*>(calloc(1, size)), &free);
  if (msg == nullptr)
    return NiIErrTrace(kCtlModule, __LINE__, 1, u"%s: malloc failed for %d bytes", NIEINTERN, kFn,
                       static_cast<int32_t>(size));
  WEQ_RAW* m = msg.get();
  memcpy(m, kRtErrEye, sizeof kRtErrEye);
  m[9] = NI_RTERR_NI_VERSION;
  m[10] = opcode;
  NiIPut32(m + 12, static_cast<uint32_t>(rc));
  size_t textLen = 0;
  erc = ErrCpIntToNet(m + 20, &textLen, room);
  ErrClear();
  if (erc != 0)
    return NiIErrTrace(kCtlModule, __LINE__, 1, u"%s: ErrCpIntToNet failed (rc=%d)", NIEINTERN, kFn,
                       static_cast<int32_t>(erc));
  if ((opcode == NI_RTERR_OP_VERSION_REQ || opcode == NI_RTERR_OP_VERSION) && dataLen == 0) {
    textLen = 0;
    memset(m + 20, 0, 4);
  }
  NiIPut32(m + 16, static_cast<uint32_t>(textLen));
  if (dataLen != 0) memcpy(m + 20 + textLen, pData, dataLen);
  const auto total = static_cast<uint32_t>(NI_RTERR_HDR_LEN + textLen + dataLen);
  if (pExt != nullptr) {
    if (pExt->hsCount == 0 && pExt->talkMode == NI_RAW_IO)
      return NiIErrTrace(kCtlModule, __LINE__, 1, u"%s: invalid talkmode of hdl %d", NIEINVAL, kFn, NiIHdlNo(pHdl));
    rc = NiBufIWriteUserMsg(pHdl, pExt, m, total, timeout);
  } else {
    rc = NiIWriteCtl(pHdl, m, total, opcode == NI_RTERR_OP_VERSION ? u"VERSION" : u"ERROR-INFO");
    if (rc == NIETIMEOUT) return rc;
  }
  if (rc != WEQ_O_K) DPTRC_LINE(1, trc, u"%s: send for hdl %d failed (rc=%d)\n", kFn, NiIHdlNo(pHdl), rc);
  return rc;
}

NI_RC NiBufISendErr(NITAB* pHdl, NIBUF_EXT* pExt, int32_t timeout, NI_RC rc) {
  static constexpr const WEQ_UC* kFn = u"NiBufISendErr";
  if (!ErrIsSet()) {
    NiIErrInfo(kCtlModule, __LINE__, u"%s: error in hdl %d", NIEINTERN, kFn, NiIHdlNo(pHdl));
    DPTRC_LINE(NiIHdlLevel(pHdl, 2), NiIHdlTrc(pHdl), u"%s: no errInfo set for hdl %d\n", kFn, NiIHdlNo(pHdl));
  }
  DPTRC_LINE(NiIHdlLevel(pHdl, 2), NiIHdlTrc(pHdl), u"%s: send ni-error rc %d to hdl %d\n", kFn, rc, NiIHdlNo(pHdl));
  return NiBufISendMsg2(pHdl, pExt, timeout, rc, NI_RTERR_OP_ERROR, nullptr, 0);
}

NI_RC NiBufISendMsg(NITAB* pHdl, NIBUF_EXT* pExt, int32_t timeout, uint8_t opcode, const void* pData,
                    uint32_t dataLen) {
  static constexpr const WEQ_UC* kFn = u"NiBufISendMsg";
  NiIErrInfo(kCtlModule, __LINE__, u"%s: local hdl %d", NIEVERSION, kFn, NiIHdlNo(pHdl));
  DPTRC_LINE(NiIHdlLevel(pHdl, 2), NiIHdlTrc(pHdl), u"%s: send opCode %d to hdl %d (dataLen=%d)\n", kFn,
             static_cast<int32_t>(opcode), NiIHdlNo(pHdl), static_cast<int32_t>(dataLen));
  return NiBufISendMsg2(pHdl, pExt, timeout, NIEVERSION, opcode, pData, dataLen);
}

// --- Receiving a passed handle ---------------------------------------------------------------

namespace {

// Takes one passed socket from the receiving handle's connection into the
// new handle: a listening handle holds one IP socket, a connected one one
// stream socket. A local-domain socket is refused: NI opens none.
NI_RC TakeSocket(NITAB* pHdl, NITAB* rec, bool listening, int32_t wait) {
  static constexpr const WEQ_UC* kFn = u"NiBufIAcceptSentHdl";
  NI_RC rc = NiIPeek(pHdl, NI_READ, wait);
  if (rc != WEQ_O_K) {
    DPTRC_LINE(1, NiIHdlTrc(pHdl), u"%s: NiIPeek failed (rc=%d)\n", kFn, rc);
    return rc;
  }
  SI_SOCKET* chan = &pHdl->con.mSocket;
  SI_SOCKET s{NI_INVALID_SOCK, 0, 0, 0};
  SI_RC si;
  while ((si = SiRecvSocket(chan, &s)) == SI_EINTR) {
  }
  if (si != SI_OK)
    return NiIReportSiError(si, SI_FN_RECVSOCKET, pHdl, chan, chan->sysErr, nullptr, nullptr, nullptr, kFn,
                            kCtlModule, __LINE__, 1);
  SI_SOCKET* slot = listening ? &rec->lis.mIPSocket : &rec->con.mSocket;
  if (s.family == SI_AF_UNIX || s.type != SI_SOCK_STREAM || slot->socketNo != NI_INVALID_SOCK) {
    int32_t family = s.family, type = s.type;
    SiClose(&s);
    return NiIErrTrace(kCtlModule, __LINE__, 1, u"%s: passed socket refused (family %d, type %d, hdl %d)", NIEINTERN,
                       kFn, family, type, NiIHdlNo(pHdl));
  }
  *slot = s;
  NiINoteSocket(s.socketNo);
  return WEQ_O_K;
}

// The new handle's own set-up from the pass data.
NI_RC SetUpPassed(NITAB* pHdl, NITAB* rec, const WEQ_RAW* pass, bool listening, uint8_t sockets) {
  static constexpr const WEQ_UC* kFn = u"NiBufIAcceptSentHdl";
  CTRC_HDL trc = NiIHdlTrc(pHdl);
  if (pHdl->mTrace) rec->mTrace = 1;
  NI_RC rc = NiIBlockMode(rec, pass[NI_PASS_BLOCKMODE] != 0 ? 1 : 0, 0);
  if (rc != WEQ_O_K) {
    DPTRC_LINE(1, trc, u"%s: NiIBlockMode failed (rc=%d)\n", kFn, rc);
    return rc;
  }
  // Only states of its kind: another would leave the record unreachable.
  uint8_t state = listening ? NI_LISTEN : pass[NI_PASS_STATE] == NI_ACCEPTED ? NI_ACCEPTED : NI_CONNECTED;
  NiISetState(rec, state, kFn);
  WEQ_UC text[NI_NODEADDR_STR_LEN + 8];
  if (listening) {
    if (pass[NI_PASS_BUFFERED] == 1) rec->mFlags |= NI_HDLFLAG_BUF_ACCEPT;
    if (DPTRC_ON(NiIHdlLevel(rec, 2)) && NiIGetSockName(rec, &rec->lis.mIPSocket, nullptr, nullptr, text, 0) == WEQ_O_K)
      DPTRC_LINE(NiIHdlLevel(rec, 2), trc, u"%s: hdl %d accepted hdl %d bound to %s%s\n", kFn, NiIHdlNo(pHdl),
                 NiIHdlNo(rec), +text, sockets == 2 ? u" (inc. UDS)" : u"");
    return WEQ_O_K;
  }
  if (pass[NI_PASS_BUFFERED] == 1) {
    rc = NiBufIHdlInit(rec);
    if (rc != WEQ_O_K) {
      DPTRC_LINE(1, trc, u"%s: NiBufIHdlInit failed (rc=%d)\n", kFn, rc);
      return rc;
    }
    NI_PARAM_DATA p{NIHP_BUF_TALKMODE, NI_DT_RAW, {}};
    p.value.raw_val = pass[NI_PASS_TALKMODE];
    bool handled = false;
    rc = rec->mBufOps->setParam(rec, rec->mBuf, &p, &handled);
    if (rc != WEQ_O_K) {
      DPTRC_LINE(1, trc, u"%s: NiBufISetParam failed (rc=%d)\n", kFn, rc);
      return rc;
    }
  }
  rc = NiIGetPeerName(rec, &rec->con.mSocket, &rec->con.mPeerAddr, &rec->con.mPeerServNo, text, 1);
  if (rc != WEQ_O_K) {
    DPTRC_LINE(1, trc, u"%s: NiIGetPeerName failed (rc=%d)\n", kFn, rc);
    return rc;
  }
  int lvl = NiIHdlLevel(rec, 2);
  DPTRC_LINE(lvl, trc, u"%s: hdl %d accepted hdl %d from %s\n", kFn, NiIHdlNo(pHdl), NiIHdlNo(rec), +text);
  if (DPTRC_ON(lvl) && NiIGetSockName(rec, &rec->con.mSocket, nullptr, nullptr, text, 0) == WEQ_O_K)
    DPTRC_LINE(lvl, trc, u"%s: hdl %d took local address %s\n", kFn, NiIHdlNo(rec), +text);
  return WEQ_O_K;
}

}  // namespace

NI_RC NiBufIAcceptSentHdl(NITAB* pHdl, NIBUF_EXT* pExt, int32_t timeout) {
  static constexpr const WEQ_UC* kFn = u"NiBufIAcceptSentHdl";
  const int32_t hdl = NiIHdlNo(pHdl);
  if (pExt->accepted != nullptr)
    return NiIErrTrace(kCtlModule, __LINE__, 1, u"%s: mpAcceptedHdl != NULL for hdl %d", NIEINTERN, kFn, hdl);
  const WEQ_RAW* pass = pExt->passData;
  if (pass == nullptr)
    return NiIErrTrace(kCtlModule, __LINE__, 1, u"%s: mpPassHdlData = NULL for hdl %d", NIEINTERN, kFn, hdl);
  const bool listening = pass[NI_PASS_STATE] == NI_LISTEN;
  const uint8_t sockets = pass[NI_PASS_SOCKETS];
  // A connected handle has one socket: a second would have no place.
  if (sockets < 1 || sockets > 2 || (sockets == 2 && !listening))
    return NiIErrTrace(kCtlModule, __LINE__, 1, u"%s: noOfSockets = %d for hdl %d", NIEINTERN, kFn,
                       static_cast<int32_t>(sockets), hdl);
  NITAB* rec = nullptr;
  NI_RC rc = NiICreateHandle(&rec, listening ? NI_INITIAL_LIS : NI_INITIAL_CON, pHdl->mTrcHdl);
  if (rc != WEQ_O_K) return rc;
  for (uint8_t i = 0; i < sockets && rc == WEQ_O_K; ++i) {
    int32_t wait = i == 0 || (timeout >= kSecondSocketMs) ? timeout : kSecondSocketMs;
    rc = TakeSocket(pHdl, rec, listening, wait);
  }
  if (rc == WEQ_O_K) rc = SetUpPassed(pHdl, rec, pass, listening, sockets);
  if (rc != WEQ_O_K) {
    NiICloseHandle(rec, 1, 0);
    return rc;
  }
  free(pExt->passData);
  pExt->passData = nullptr;
  pExt->accepted = rec;
  bool marked = pExt->readyBuf == nullptr;
  if (marked) pExt->readyBuf = NiBufIPongMarker();
  rc = NiBufISelUpdate(pHdl, pExt, nullptr, false);
  if (rc != WEQ_O_K) {
    DPTRC_LINE(1, NiIHdlTrc(pHdl), u"%s: NiBufISelUpdate failed (rc=%d)\n", kFn, rc);
    pExt->accepted = nullptr;
    if (marked) pExt->readyBuf = nullptr;
    NiICloseHandle(rec, 1, 0);
    return rc;
  }
  NiBufISendMsg(pHdl, pExt, 0, NI_RTERR_OP_TAKEN, nullptr, 0);
  NiBufISetHS(pHdl, pExt, false);
  NiBufISetStatus(pHdl, pExt, NIBUF_STAT_OK);
  return WEQ_O_K;
}

NI_RC NiBufGetSentHdl(NI_HDL hdl, int32_t timeout, NI_HDL* pOutHandle) {
  static constexpr const WEQ_UC* kFn = u"NiBufGetSentHdl";
  NITAB* rec = nullptr;
  NI_RC rc = NiIHdlCheck(hdl, kFn, &rec);
  if (rc != WEQ_O_K) return rc;
  if (pOutHandle == nullptr)
    return NiIErrTrace(kCtlModule, __LINE__, 1, u"%s: parameter invalid (pOutHandle == NULL)", NIEINVAL, kFn);
  *pOutHandle = NI_INVALID_HDL;
  NIBUF_EXT* ext = nullptr;
  if ((rc = NiBufIGetBufHdl(rec, &ext)) != WEQ_O_K) return rc;
  if ((rc = NiBufICheckError(rec, ext)) != WEQ_O_K) return rc;
  NIBUF* marker = NiBufIPongMarker();
  if (ext->readyBuf == marker && ext->accepted == nullptr) {
    ext->readyBuf = nullptr;
    return NIEPING;
  }
  if (ext->readyBuf == nullptr) return NIETIMEOUT;
  rc = NiBufIIn(rec, ext, timeout);
  if (rc == WEQ_O_K && ext->hsCount > 0) rc = NiBufIFinishHandshake(rec, ext, timeout);
  if (rc != WEQ_O_K && rc != NIEACCEPT) return rc;
  if (ext->accepted == nullptr) return NIETIMEOUT;
  *pOutHandle = NiIHdlNo(ext->accepted);
  // A user message that waited before the accept stays for its reader.
  if (ext->readyBuf == marker) ext->readyBuf = nullptr;
  ext->accepted = nullptr;
  return NiBufISelUpdate(rec, ext, nullptr, false);
}
