// SISEL_SEL_NT: the select set over SiSelect with sorted masks. The members
// form a socket list (newest first) over an entry array with the same
// position rule as SISEL_POLL; the modes live in three wanted masks, and
// each select copies them into three result masks that Next reads.
#include <stdlib.h>
#include <string.h>

#include "krn/si/sisel/sisel_int.h"

namespace {

const WEQ_UC kInit[] = u"SISEL_SEL_NT::Init";
const WEQ_UC kSet[] = u"SISEL_SEL_NT::Set";
const WEQ_UC kClear[] = u"SISEL_SEL_NT::Clear";
const WEQ_UC kRemove[] = u"SISEL_SEL_NT::Remove";
const WEQ_UC kRemoveAll[] = u"SISEL_SEL_NT::RemoveAll";
const WEQ_UC kSelect[] = u"SISEL_SEL_NT::Select";
const WEQ_UC kNext[] = u"SISEL_SEL_NT::Next";
const WEQ_UC kGetMode[] = u"SISEL_SEL_NT::GetMode";
const WEQ_UC kGetStat[] = u"SISEL_SEL_NT::GetStat";
const WEQ_UC kGetData[] = u"SISEL_SEL_NT::GetData";
const WEQ_UC kSetData[] = u"SISEL_SEL_NT::SetData";
const WEQ_UC kGetPos[] = u"SISEL_SEL_NT::GetSocketPos";

// The masks take socket records; the set passes the number it keeps.
SI_SOCKET Rec(int32_t sockNo) { return SI_SOCKET{sockNo, SI_AF_INET, SI_SOCK_STREAM, 0}; }

void CopyMask(SI_FD_SET* to, const SI_FD_SET* from) {
  to->fd_count = from->fd_count;
  memcpy(to->fd_array, from->fd_array, from->fd_count * sizeof(int64_t));
}

}  // namespace

const SiSelNames SISEL_SEL_NT::kNames = {kInit,   kSet,    kClear,   kRemove,  kRemoveAll, kSelect,
                                         kNext,   kGetMode, kGetStat, kGetData, kSetData,   kGetPos};

SISEL_SEL_NT::~SISEL_SEL_NT() { Release(); }

int32_t SISEL_SEL_NT::FindPos(int32_t sockNo) const {
  const FD_EL* el = (const FD_EL*)mIndex.Find(sockNo);
  return el == nullptr ? -1 : (int32_t)(el - mSlots.els);
}

uint8_t SISEL_SEL_NT::ModeAt(uint32_t pos) const {
  const SI_SOCKET s = Rec(mSlots.els[pos].sockNo);
  return (SiFdIsSet(&s, mMask[kWantRead]) ? SISEL_READ : 0) | (SiFdIsSet(&s, mMask[kWantWrite]) ? SISEL_WRITE : 0);
}

void SISEL_SEL_NT::Release() {
  mIndex.Close(kInit);
  for (SI_FD_SET*& m : mMask) {
    SiFdFree(m);
    m = nullptr;
  }
  free(mSlots.els);
  mSlots.els = nullptr;
  mSlots.Reset();
  mHead = mCursor = nullptr;
  mHighFd = 0;
  mClosedMode = false;
}

SI_RC SISEL_SEL_NT::Init(uint32_t maxEntries) {
  uint32_t cap = 0;
  if (!SiSelICapacity(kInit, maxEntries, &cap)) return SI_EINVAL;
  Release();
  mSlots.cap = cap;
  for (SI_FD_SET*& m : mMask) {
    m = SiFdAlloc(cap);
    if (m == nullptr) {
      DPTRC_ERROR(SISEL_TRC, u"%s: failed to allocate WEQ_RAW[%u]\n", kInit,
                  (uint32_t)SI_FD_SET_BYTES(cap));
      Release();
      return SI_EMEMORY;
    }
  }
  mSlots.els = (FD_EL*)calloc(cap, sizeof(FD_EL));
  if (mSlots.els == nullptr) {
    DPTRC_ERROR(SISEL_TRC, u"%s: failed to allocate FD_EL[%u]\n", kInit, cap);
    Release();
    return SI_EMEMORY;
  }
  for (uint32_t i = 0; i < cap; ++i) mSlots.els[i].sockNo = -1;
  const SI_RC rc = mIndex.Open(kInit, cap, mSlots.els);
  if (rc != SI_OK) {
    Release();
    return rc;
  }
  mSlots.cap = cap;
  if (mCallbacks != nullptr) mCallbacks->CreateMsg(cap);
  return SI_OK;
}

SI_RC SISEL_SEL_NT::Set(SI_SOCKET* pSock, uint8_t mode, void* data, uint8_t replace) {
  if (pSock == nullptr || mSlots.els == nullptr) return SI_EINVAL;
  const int32_t at = FindPos(pSock->socketNo);
  FD_EL* el = at < 0 ? nullptr : &mSlots.els[at];
  if (el == nullptr) {
    const SI_RC rc = SiSelICanAdd(kSet, pSock->socketNo, mSlots.count, mSlots.cap);
    if (rc != SI_OK) return rc;
    uint32_t pos = 0;
    if (!mSlots.Take(kSet, &pos)) return SI_EINTERN;
    el = &mSlots.els[pos];
    *el = FD_EL{pSock->socketNo, pSock, data, mHead, nullptr, nullptr};
    if (mIndex.Insert(kSet, &el->sockNo, el) != SI_OK) {
      el->sockNo = -1;
      mSlots.Release(pos, true);
      return SI_EINTERN;
    }
    if (mHead != nullptr) mHead->prev = el;
    mHead = el;
    mSlots.count++;
    if (el->sockNo + 1 > mHighFd) mHighFd = el->sockNo + 1;
    DPTRC_LINE(3, SISEL_TRC, u"%s: sock %d added to set pos %u\n", kSet, el->sockNo, pos);
    if (mCallbacks != nullptr) mCallbacks->AddMsg(pos);
  }
  const SI_SOCKET s = Rec(el->sockNo);
  const uint8_t bits[3] = {SISEL_READ, SISEL_WRITE, SISEL_EXCEPT};
  for (int m = kWantRead; m <= kWantExcept; ++m) {
    if (mode & bits[m])
      SiFdSet(&s, mMask[m], mSlots.cap);
    else if (replace == 1)
      SiFdClr(&s, mMask[m]);
  }
  return SI_OK;
}

SI_RC SISEL_SEL_NT::Clear(SI_SOCKET* pSock, uint8_t mode) {
  const int32_t pos = FindRef(kClear, pSock);
  if (pos < 0) return SI_EINVAL;
  const SI_SOCKET s = Rec(mSlots.els[pos].sockNo);
  if (mode & SISEL_READ) SiFdClr(&s, mMask[kWantRead]);
  if (mode & SISEL_WRITE) SiFdClr(&s, mMask[kWantWrite]);
  if (mode & SISEL_EXCEPT) SiFdClr(&s, mMask[kWantExcept]);
  return SI_OK;
}

SI_RC SISEL_SEL_NT::ClearSet() {
  if (mSlots.els == nullptr) return SI_EINVAL;
  for (int m = kWantRead; m <= kWantExcept; ++m) SiFdZero(mMask[m]);
  return SI_OK;
}

SI_RC SISEL_SEL_NT::RemoveAt(uint32_t pos, uint8_t /*mayCompact*/) {
  FD_EL* el = &mSlots.els[pos];
  const SI_RC rc = mIndex.Remove(kRemove, el->sockNo);
  if (rc != SI_OK) return SI_EINTERN;
  mSlots.count--;
  if (mCallbacks != nullptr) mCallbacks->RemoveMsg(pos);
  // The cursor never rests on an entry that is gone.
  if (mCursor == el) mCursor = el->next;
  if (el->prev != nullptr)
    el->prev->next = el->next;
  else
    mHead = el->next;
  if (el->next != nullptr) el->next->prev = el->prev;
  const SI_SOCKET s = Rec(el->sockNo);
  for (SI_FD_SET* m : mMask) SiFdClr(&s, m);
  DPTRC_LINE(3, SISEL_TRC, u"%s: removed sock %d (pos=%u)\n", kRemove, el->sockNo, pos);
  *el = FD_EL{-1, nullptr, nullptr, nullptr, nullptr, nullptr};
  mSlots.Release(pos, true);
  return SI_OK;
}

SI_RC SISEL_SEL_NT::RemoveAll() {
  if (mSlots.els == nullptr) return SI_EINVAL;
  if (mCallbacks != nullptr) mCallbacks->ResetMsg();
  for (FD_EL* el = mHead; el != nullptr; el = el->next) el->sockNo = -1;
  for (SI_FD_SET* m : mMask) SiFdZero(m);
  mSlots.Reset();
  mHead = mCursor = nullptr;
  mClosedMode = false;
  if (mIndex.Reset(kRemoveAll) != SI_OK) return SI_EINTERN;
  DPTRC_LINE(3, SISEL_TRC, u"%s: removed all sockets\n", kRemoveAll);
  return SI_OK;
}

SI_RC SISEL_SEL_NT::Select(int32_t timeoutMs, uint32_t* pCount) {
  uint32_t count = 0;
  if (pCount != nullptr) *pCount = 0;
  if (mSlots.els == nullptr) return SI_EINVAL;
  mClosedMode = false;
  mCursor = nullptr;
  DPTRC_LINE(3, SISEL_TRC, u"%s: start select (timeout=%d)\n", kSelect, timeoutMs);
  int32_t ready = 0, err = 0;
  SI_RC rc;
  do {
    for (int m = 0; m < 3; ++m) CopyMask(mMask[kGotRead + m], mMask[kWantRead + m]);
    rc = SiSelect(mHighFd, mMask[kGotRead], mMask[kGotWrite], mMask[kGotExcept], timeoutMs, &ready,
                  &err);
  } while (rc == SI_EINTR);
  if (rc == SI_OK) {
    count = (uint32_t)ready;
  } else {
    rc = SiSelIFailedWait(kSelect, rc, err, timeoutMs, &mClosedMode, &count);
    // Closed mode probes every wanted socket; otherwise nothing is ready.
    for (int m = 0; m < 3; ++m) {
      if (mClosedMode)
        CopyMask(mMask[kGotRead + m], mMask[kWantRead + m]);
      else
        SiFdZero(mMask[kGotRead + m]);
    }
    if (rc != SI_OK) return rc;
  }
  if (mCallbacks == nullptr)
    DPTRC_LINE(2, SISEL_TRC, u"%s: of %u sockets %u selected\n", kSelect, mSlots.count, count);
  mCursor = mHead;
  if (pCount != nullptr) *pCount = count;
  return SI_OK;
}

SI_RC SISEL_SEL_NT::StartLoop() {
  mCursor = mHead;
  return SI_OK;
}

uint8_t SISEL_SEL_NT::StatAt(uint32_t pos) const {
  const FD_EL* el = &mSlots.els[pos];
  const SI_SOCKET s = Rec(el->sockNo);
  if (mClosedMode) return SiSelIProbeClosed(el->sockNo) ? SISEL_STAT_INVALID : 0;
  return (SiFdIsSet(&s, mMask[kGotRead]) ? SISEL_STAT_READ : 0) |
         (SiFdIsSet(&s, mMask[kGotWrite]) ? SISEL_STAT_WRITE : 0) |
         (SiFdIsSet(&s, mMask[kGotExcept]) ? SISEL_STAT_EXCEPT : 0);
}

SI_RC SISEL_SEL_NT::Next(uint8_t* pRead, uint8_t* pExcept, uint8_t* pWrite, SI_SOCKET** ppSock,
                         void** ppData) {
  if (ppSock == nullptr) return SI_EINVAL;
  SiSelIClearOuts(pRead, pExcept, pWrite, ppSock, ppData);
  // Nothing is ready: the walk need not look at a single member.
  if (mMask[kGotRead] == nullptr ||
      mMask[kGotRead]->fd_count + mMask[kGotWrite]->fd_count + mMask[kGotExcept]->fd_count == 0)
    mCursor = nullptr;
  while (mCursor != nullptr) {
    FD_EL* el = mCursor;
    mCursor = el->next;
    const SI_SOCKET s = Rec(el->sockNo);
    const bool rd = mMask[kGotRead]->fd_count != 0 && SiFdIsSet(&s, mMask[kGotRead]) != 0;
    const bool wr = mMask[kGotWrite]->fd_count != 0 && SiFdIsSet(&s, mMask[kGotWrite]) != 0;
    const bool ex = mMask[kGotExcept]->fd_count != 0 && SiFdIsSet(&s, mMask[kGotExcept]) != 0;
    if (!rd && !wr && !ex) continue;
    if (mClosedMode && !SiSelIProbeClosed(el->sockNo)) continue;
    const uint32_t pos = (uint32_t)(el - mSlots.els);
    *ppSock = el->pSock;
    if (ppData != nullptr) *ppData = el->data;
    if (mCallbacks != nullptr) mCallbacks->StorePos(pos);
    if (mClosedMode) {
      DPTRC_ERROR(SISEL_TRC, u"%s: sock %d already closed\n", kNext, el->sockNo);
      return SI_EINVAL_SOCK;
    }
    DPTRC_LINE(3, SISEL_TRC, u"%s: sock %d selected (revt=%c%c%c%s)\n", kNext, el->sockNo,
               rd ? u'r' : u'-', wr ? u'w' : u'-', ex ? u'e' : u'-', u"");
    if (pRead != nullptr) *pRead = rd;
    if (pWrite != nullptr) *pWrite = wr;
    if (pExcept != nullptr) *pExcept = ex;
    return SI_OK;
  }
  return SI_OK;
}

int32_t SISEL_SEL_NT::GetSocket(uint32_t pos) {
  return pos >= mSlots.high ? -1 : mSlots.els[pos].sockNo;
}

SI_RC SISEL_SEL_NT::Dump(CTRC_HDL hdl) {
  auto posOf = [&](const FD_EL* e) { return e == nullptr ? -1 : (int32_t)(e - mSlots.els); };
  uint32_t freeCount = 0;
  for (const FD_EL* f = mSlots.freeList; f != nullptr; f = f->nextFree) ++freeCount;
  DpTrcLock();
  DpTrc(hdl, u"SISELNT set %p\n", (const void*)this);
  DpTrcCont(hdl,
            u"sockets in set: %d\nhighest pos +1: %d\nhighest fd  +1: %d\nmax entries   : %d\n"
            u"event pos     : %d\nsocket list   : %d\nfree list     : %d\ninvalid socket: %s\n",
            mSlots.count, mSlots.high, mHighFd, mSlots.cap, posOf(mCursor), posOf(mHead), freeCount,
            mClosedMode ? u"TRUE" : u"false");
  DpTrcCont(hdl, u"socket list   :\n");
  DpTrcCont(hdl, u"  pos  pSocket  pData    prv nxt FI  | socket     ev  rev");
  if (mCallbacks != nullptr) mCallbacks->DumpPos(hdl, -1);
  DpTrcCont(hdl, u"\n");
  for (const FD_EL* el = mHead; el != nullptr; el = el->next) {
    const SI_SOCKET s = Rec(el->sockNo);
    const FD_EL* found = (const FD_EL*)mIndex.Find(el->sockNo);
    DpTrcCont(hdl, u"%5d: %08x %08x %3d %3d %3d | sock %-5d %c%c%c %c%c%c", posOf(el),
              (uint32_t)(uintptr_t)el->pSock, (uint32_t)(uintptr_t)el->data, posOf(el->prev),
              posOf(el->next), posOf(found), el->sockNo, SiFdIsSet(&s, mMask[kWantRead]) ? u'r' : u'-',
              SiFdIsSet(&s, mMask[kWantWrite]) ? u'w' : u'-', SiFdIsSet(&s, mMask[kWantExcept]) ? u'e' : u'-',
              SiFdIsSet(&s, mMask[kGotRead]) ? u'r' : u'-', SiFdIsSet(&s, mMask[kGotWrite]) ? u'w' : u'-',
              SiFdIsSet(&s, mMask[kGotExcept]) ? u'e' : u'-');
    if (mCallbacks != nullptr) mCallbacks->DumpPos(hdl, posOf(el));
    DpTrcCont(hdl, u"\n");
  }
  DpTrcUnlock();
  return SI_OK;
}
