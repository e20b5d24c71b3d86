// Buffered handles in select sets: which socket events a buffered handle
// waits for (its user's wishes plus what the layer itself must write or
// read) and which readiness it reports through the set's ready list without
// any socket event; and the processing of the events the set finds.
#include "i18n/wequ16/u16fmt.h"
#include "krn/ni/niaddr_int.h"
#include "krn/ni/nibuf_int.h"
#include "krn/ni/nisel_int.h"

namespace {

constexpr const WEQ_UC* kNiBufSelModule = u"nibuf";

WEQ_UC ModeChar(uint8_t bits, uint8_t bit, WEQ_UC c) { return (bits & bit) ? c : u'-'; }

NI_RC CheckSet(NITAB* pHdl, NIBUF_EXT* pExt, NISEL_IMPL* pSet, const WEQ_UC* fn) {
  if (pExt->set == pSet) return WEQ_O_K;
  DPTRC_LINE(1, NiIHdlTrc(pHdl), u"%s: invalid set (%p<>%p) for hdl %d\n", fn, static_cast<const void*>(pSet),
             static_cast<const void*>(pExt->set), NiIHdlNo(pHdl));
  return NiIErrInfo(kNiBufSelModule, __LINE__, u"%s:  invalid set (%p<>%p)", NIEINVAL, fn,
                    static_cast<const void*>(pSet), static_cast<const void*>(pExt->set));
}

// Socket-set modes of a socket mode: read waits for exceptions too.
uint8_t SiModeOf(uint8_t sockMode) {
  return static_cast<uint8_t>(((sockMode & NI_READ) ? SISEL_READ | SISEL_EXCEPT : 0) | (sockMode & NI_WRITE));
}

}  // namespace

NI_RC NiBufISelUpdate(NITAB* pHdl, NIBUF_EXT* pExt, void* pData, bool force) {
  static constexpr const WEQ_UC* kFn = u"NiBufISelUpdate";
  const uint8_t oldSock = pExt->sockMode;
  const uint8_t oldStat = pExt->bufStat;
  const bool connWait = pHdl->mType.load(std::memory_order_acquire) == NI_CONN_WAIT;
  const uint8_t want = pExt->wantMode;
  uint8_t sock = 0, stat = 0;
  if (pExt->status != NIBUF_STAT_ERR) {
    if (pExt->readyBuf != nullptr) stat = pExt->accepted != nullptr ? NI_CONNECT : NI_READ;
    if (pExt->readyBuf == nullptr &&
        (pExt->readBuf != nullptr || pExt->hsCount > 0 || (want & (NI_READ | NI_CONNECT)) != 0))
      sock |= NI_READ;
    if (pExt->pendWrite != nullptr || connWait) sock |= NI_WRITE;
    if (pExt->hsCount == 0 && (pExt->newest != nullptr || (want & NI_WRITE) != 0)) sock |= NI_WRITE;
    if (pExt->sockWritable && pExt->newest == nullptr && pExt->hsCount == 0 && !connWait) stat |= NI_WRITE;
  } else {
    // Nothing more is read or written until the error is reported: the
    // handle is ready for both, so that its user calls and meets it.
    stat = NI_WRITE;
    if (!(connWait && (want & NI_READ) == 0)) stat |= NI_READ;
  }
  stat &= want;
  pExt->sockMode = sock;
  pExt->bufStat = stat;
  NISEL_IMPL* set = pExt->set;
  if (set == nullptr) return WEQ_O_K;
  if (sock != oldSock || force) {
    NI_RC rc = set->NiSelISockSet(kFn, pHdl, &pHdl->con.mSocket, SiModeOf(sock), pData, 1);
    if (rc != WEQ_O_K) {
      pExt->sockMode = oldSock;
      return rc;
    }
    DPTRC_LINE(NiIHdlLevel(pHdl, 3), NiIHdlTrc(pHdl), u"%s: new MODE %c%c (%c%c) for hdl %d in set%s\n", kFn,
               ModeChar(sock, NI_READ, u'r'), ModeChar(sock, NI_WRITE, u'w'), ModeChar(oldSock, NI_READ, u'r'),
               ModeChar(oldSock, NI_WRITE, u'w'), NiIHdlNo(pHdl), set->Name());
  }
  if ((oldStat == 0) != (stat == 0) || (force && stat != 0)) {
    uint32_t pos = 0;
    SI_RC si = set->NiSelISockPos(&pHdl->con.mSocket, &pos);
    if (si != SI_OK)
      return NiIErrTrace(kNiBufSelModule, __LINE__, 1, u"%s: getSocketPos failed for hdl %d (rc=%d)", NIEINTERN, kFn,
                         NiIHdlNo(pHdl), static_cast<int32_t>(si));
    if (stat != 0)
      set->NiSelIListInsert(NISEL_IMPL::kReadyList, pos);
    else
      set->NiSelIListRemove(NISEL_IMPL::kReadyList, pos);
  }
  if (stat != oldStat)
    DPTRC_LINE(NiIHdlLevel(pHdl, 3), NiIHdlTrc(pHdl), u"%s: new STAT %c%c%c (%c%c%c) for hdl %d in set%s\n", kFn,
               ModeChar(stat, NI_READ, u'r'), ModeChar(stat, NI_WRITE, u'w'), ModeChar(stat, NI_CONNECT, u'c'),
               ModeChar(oldStat, NI_READ, u'r'), ModeChar(oldStat, NI_WRITE, u'w'),
               ModeChar(oldStat, NI_CONNECT, u'c'), NiIHdlNo(pHdl), set->Name());
  return WEQ_O_K;
}

NI_RC NiBufISelSet(NITAB* pHdl, NIBUF_EXT* pExt, NISEL_IMPL* pSet, uint8_t mode, void* pData, uint8_t replace) {
  static constexpr const WEQ_UC* kFn = u"NiBufISelSet";
  if (pExt->set == nullptr) {
    pExt->set = pSet;
    pExt->wantMode = mode;
    pExt->sockWritable = 0;
    NI_RC rc = NiBufISelUpdate(pHdl, pExt, pData, true);
    if (rc != WEQ_O_K) {
      // Not registered: the handle stays outside the set.
      pExt->set = nullptr;
      pExt->wantMode = 0;
    }
    return rc;
  }
  NI_RC rc = CheckSet(pHdl, pExt, pSet, kFn);
  if (rc != WEQ_O_K) return rc;
  pExt->wantMode = replace ? mode : static_cast<uint8_t>(pExt->wantMode | mode);
  return NiBufISelUpdate(pHdl, pExt, nullptr, false);
}

NI_RC NiBufISelClear(NITAB* pHdl, NIBUF_EXT* pExt, NISEL_IMPL* pSet, uint8_t mode) {
  NI_RC rc = CheckSet(pHdl, pExt, pSet, u"NiBufISelClear");
  if (rc != WEQ_O_K) return rc;
  pExt->wantMode &= static_cast<uint8_t>(~mode);
  return NiBufISelUpdate(pHdl, pExt, nullptr, false);
}

NI_RC NiBufISelRemove(NITAB* pHdl, NIBUF_EXT* pExt, NISEL_IMPL* pSet) {
  static constexpr const WEQ_UC* kFn = u"NiBufISelRemove";
  NI_RC rc = CheckSet(pHdl, pExt, pSet, kFn);
  if (rc != WEQ_O_K) return rc;
  pExt->wantMode = 0;
  if (pExt->bufStat != 0) {
    uint32_t pos = 0;
    SI_RC si = pSet->NiSelISockPos(&pHdl->con.mSocket, &pos);
    if (si != SI_OK)
      return NiIErrTrace(kNiBufSelModule, __LINE__, 1, u"%s: getSocketPos failed for hdl %d (rc=%d)", NIEINTERN, kFn,
                         NiIHdlNo(pHdl), static_cast<int32_t>(si));
    pSet->NiSelIListRemove(NISEL_IMPL::kReadyList, pos);
  }
  pExt->bufStat = 0;
  pExt->sockMode = 0;
  pExt->sockWritable = 0;
  pExt->set = nullptr;
  return WEQ_O_K;
}

NI_RC NiBufISelGetMode(NITAB* pHdl, NIBUF_EXT* pExt, NISEL_IMPL* pSet, uint8_t* pMode) {
  NI_RC rc = CheckSet(pHdl, pExt, pSet, u"NiBufISelGetMode");
  if (rc == WEQ_O_K) *pMode = pExt->wantMode;
  return rc;
}

NI_RC NiBufISelGetStat(NITAB* pHdl, NIBUF_EXT* pExt, NISEL_IMPL* pSet, uint8_t* pStat) {
  NI_RC rc = CheckSet(pHdl, pExt, pSet, u"NiBufISelGetStat");
  if (rc == WEQ_O_K) *pStat = pExt->bufStat;
  return rc;
}

bool NiBufISelIsMember(NITAB*, NIBUF_EXT* pExt, NISEL_IMPL* pSet) { return pSet != nullptr && pExt->set == pSet; }

NI_RC NiBufISelProcess(NITAB* pHdl, NIBUF_EXT* pExt, NISEL_IMPL* pSet, void* pData, bool readEvent,
                       bool writeEvent) {
  static constexpr const WEQ_UC* kFn = u"NiBufISelProcess";
  NI_RC rc = CheckSet(pHdl, pExt, pSet, kFn);
  if (rc != WEQ_O_K) return rc;
  if (writeEvent) {
    if (pHdl->mType.load(std::memory_order_acquire) == NI_CONN_WAIT) {
      rc = NiICheckPendConnection(pHdl, 0, 1);
      if (rc == NIETIMEOUT) {
        DPTRC_WARNING(NiIHdlTrc(pHdl), u"%s: hdl %d connection still in progress after write event\n", kFn,
                      NiIHdlNo(pHdl));
        return NiBufISelUpdate(pHdl, pExt, pData, false);
      }
      if (rc != WEQ_O_K) return NiBufISetError(pHdl, pExt, rc == NIESERV_USED ? NIECONN_REFUSED : rc);
    }
    if (pExt->newest != nullptr) {
      rc = NiBufIEmptyOutQueue(pHdl, pExt, 0);
      if (rc != WEQ_O_K && rc != NIETIMEOUT) return NiBufISetError(pHdl, pExt, rc);
    }
    pExt->sockWritable = 1;
  }
  if (!readEvent) return NiBufISelUpdate(pHdl, pExt, pData, false);
  rc = NiBufIIn(pHdl, pExt, 0);
  if (rc == NIEPING) {
    if (pExt->readyBuf == nullptr) pExt->readyBuf = NiBufIPongMarker();
    rc = WEQ_O_K;
  }
  if (rc == WEQ_O_K || rc == NIETIMEOUT || rc == NIEACCEPT) return NiBufISelUpdate(pHdl, pExt, pData, false);
  return NiBufISetError(pHdl, pExt, rc);
}

void NiBufISelLeave(NITAB* pHdl, NIBUF_EXT* pExt, bool handleCloses) {
  static constexpr const WEQ_UC* kFn = u"NiBufIClose";
  NISEL_IMPL* set = pExt->set;
  if (set == nullptr) return;
  if (pExt->bufStat != 0) {
    uint32_t pos = 0;
    if (set->NiSelISockPos(&pHdl->con.mSocket, &pos) == SI_OK) set->NiSelIListRemove(NISEL_IMPL::kReadyList, pos);
  }
  pExt->bufStat = 0;
  pExt->set = nullptr;
  if (handleCloses) {
    // The socket closes next: it leaves the set rather than wait in it.
    set->NiSelISockRemove(kFn, NiIHdlNo(pHdl), &pHdl->con.mSocket, 1);
  } else {
    // The handle stays in the set as a plain one, waiting for what its
    // user asked.
    set->NiSelISockSet(kFn, pHdl, &pHdl->con.mSocket, SiModeOf(pExt->wantMode), nullptr, 1);
  }
}
