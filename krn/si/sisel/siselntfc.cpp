// SISEL_SEL_NT_FC: the select set over SiSelectInt with unsorted arrays.
// Entries come from a fixed table named "SISEL" (an entry's position is
// its element index); each select builds a chain of the ready entries, so
// that Next costs nothing for idle members.
#include <stdlib.h>
#include <string.h>

#include "krn/si/sisel/sisel_int.h"

namespace {

const WEQ_UC kInit[] = u"SISEL_SEL_NT_FC::Init";
const WEQ_UC kSet[] = u"SISEL_SEL_NT_FC::Set";
const WEQ_UC kClear[] = u"SISEL_SEL_NT_FC::Clear";
const WEQ_UC kRemove[] = u"SISEL_SEL_NT_FC::Remove";
const WEQ_UC kRemoveAll[] = u"SISEL_SEL_NT_FC::RemoveAll";
const WEQ_UC kSelect[] = u"SISEL_SEL_NT_FC::Select";
const WEQ_UC kNext[] = u"SISEL_SEL_NT_FC::Next";
const WEQ_UC kGetMode[] = u"SISEL_SEL_NT_FC::GetMode";
const WEQ_UC kGetStat[] = u"SISEL_SEL_NT_FC::GetStat";
const WEQ_UC kGetData[] = u"SISEL_SEL_NT_FC::GetData";
const WEQ_UC kSetData[] = u"SISEL_SEL_NT_FC::SetData";
const WEQ_UC kGetPos[] = u"SISEL_SEL_NT_FC::GetSocketPos";

// Unsorted arrays: append, and fill a gap with the last socket.
void Append(SI_FD_SET* a, int32_t sockNo) {
  if (a->fd_count >= a->fd_capacity) {
    DPTRC_WARNING(SISEL_TRC, u"select mask %p full (%d)\n", (const void*)a, a->fd_count);
    return;
  }
  a->fd_array[a->fd_count++] = sockNo;
}

void Drop(SI_FD_SET* a, int32_t sockNo) {
  for (uint32_t i = 0; i < a->fd_count; ++i)
    if (a->fd_array[i] == sockNo) {
      a->fd_array[i] = a->fd_array[--a->fd_count];
      return;
    }
}

void Copy(SI_FD_SET* to, const SI_FD_SET* from) {
  to->fd_count = from->fd_count;
  memcpy(to->fd_array, from->fd_array, from->fd_count * sizeof(int64_t));
}

}  // namespace

const SiSelNames SISEL_SEL_NT_FC::kNames = {kInit,   kSet,    kClear,   kRemove,  kRemoveAll, kSelect,
                                            kNext,   kGetMode, kGetStat, kGetData, kSetData,   kGetPos};

SISEL_SEL_NT_FC::~SISEL_SEL_NT_FC() { Release(); }

int32_t SISEL_SEL_NT_FC::FindPos(int32_t sockNo) const {
  const FD_EL* el = (const FD_EL*)mIndex.Find(sockNo);
  return el == nullptr ? -1 : (int32_t)PosOf(el);
}

void SISEL_SEL_NT_FC::Release() {
  mIndex.Close(kInit);
  for (SI_FD_SET*& a : mArr) {
    SiFdFree(a);
    a = nullptr;
  }
  free(mFtBlock);
  mFtBlock = nullptr;
  mFt = nullptr;
  mCount = 0;
  mHighFd = 0;
  mReady = mCursor = nullptr;
  mClosedMode = false;
}

uint32_t SISEL_SEL_NT_FC::PosOf(const FD_EL* el) const {
  const size_t stride = (uint8_t*)FtElem(mFt, 1) - (uint8_t*)FtElem(mFt, 0);
  return (uint32_t)(((const uint8_t*)el - (const uint8_t*)FtElem(mFt, 0)) / stride);
}

SI_RC SISEL_SEL_NT_FC::Init(uint32_t maxEntries) {
  uint32_t cap = 0;
  if (!SiSelICapacity(kInit, maxEntries, &cap)) return SI_EINVAL;
  Release();
  for (SI_FD_SET*& a : mArr) {
    a = SiFdAlloc(cap);
    if (a == nullptr) {
      DPTRC_ERROR(SISEL_TRC, u"%s: failed to allocate WEQ_RAW[%u]\n", kInit,
                  (uint32_t)SI_FD_SET_BYTES(cap));
      Release();
      return SI_EMEMORY;
    }
  }
  const size_t size = FtSize(cap, sizeof(FD_EL));
  DPTRC_LINE(3, SISEL_TRC, u"%s: allocate %u bytes for FT (%u)\n", kInit, (uint32_t)size, cap);
  mFtBlock = aligned_alloc(16, (size + 15) & ~size_t{15});
  if (mFtBlock == nullptr) {
    DPTRC_ERROR(SISEL_TRC, u"%s: failed to allocate WEQ_RAW[%u]\n", kInit, (uint32_t)size);
    Release();
    return SI_EMEMORY;
  }
  // Zeroed, so that no name left from an earlier allocation passes for a
  // table that is set up.
  memset(mFtBlock, 0, size);
  const int32_t frc = FtInit(mFtBlock, u"SISEL", 0, cap, sizeof(FD_EL), &mFt);
  if (frc != FI_OK) {
    DPTRC_ERROR(SISEL_TRC, u"%s: FtInit failed (rc=%d)\n", kInit, frc);
    Release();
    return SI_EINTERN;
  }
  for (uint32_t i = 0; i < cap; ++i) ((FD_EL*)FtElem(mFt, i))->sockNo = -1;
  const SI_RC rc = mIndex.Open(kInit, cap, mFtBlock);
  if (rc != SI_OK) {
    Release();
    return rc;
  }
  mMaxEntries = cap;
  if (mCallbacks != nullptr) mCallbacks->CreateMsg(cap);
  return SI_OK;
}

void SISEL_SEL_NT_FC::Want(FD_EL* el, uint8_t bits) {
  if ((bits & SISEL_READ) && !(el->wanted & SISEL_READ)) {
    Append(mArr[kWantRead], el->sockNo);
    el->wanted |= SISEL_READ;
  }
  if ((bits & SISEL_WRITE) && !(el->wanted & SISEL_WRITE)) {
    Append(mArr[kWantWrite], el->sockNo);
    el->wanted |= SISEL_WRITE;
  }
}

void SISEL_SEL_NT_FC::Unwant(FD_EL* el, uint8_t bits) {
  if ((bits & SISEL_READ) && (el->wanted & SISEL_READ)) {
    Drop(mArr[kWantRead], el->sockNo);
    el->wanted &= (uint8_t)~SISEL_READ;
  }
  if ((bits & SISEL_WRITE) && (el->wanted & SISEL_WRITE)) {
    Drop(mArr[kWantWrite], el->sockNo);
    el->wanted &= (uint8_t)~SISEL_WRITE;
  }
}

SI_RC SISEL_SEL_NT_FC::Set(SI_SOCKET* pSock, uint8_t mode, void* data, uint8_t replace) {
  if (pSock == nullptr || mFt == nullptr) return SI_EINVAL;
  const int32_t at = FindPos(pSock->socketNo);
  FD_EL* el = at < 0 ? nullptr : El((uint32_t)at);
  if (el == nullptr) {
    const SI_RC rc = SiSelICanAdd(kSet, pSock->socketNo, mCount, mMaxEntries);
    if (rc != SI_OK) return rc;
    uint32_t pos = 0;
    void* data0 = nullptr;
    if (FtTake(mFt, &pos, &data0) != FI_OK) {
      DPTRC_ERROR(SISEL_TRC, u"%s: internal status error (%u<%u)\n", kSet, mCount, mMaxEntries);
      return SI_EINTERN;
    }
    el = (FD_EL*)data0;
    *el = FD_EL{pSock->socketNo, 0, 0, pSock, data, nullptr};
    if (mIndex.Insert(kSet, &el->sockNo, el) != SI_OK) {
      el->sockNo = -1;
      FtGive(mFt, pos);
      return SI_EINTERN;
    }
    mCount++;
    if (el->sockNo + 1 > mHighFd) mHighFd = el->sockNo + 1;
    DPTRC_LINE(3, SISEL_TRC, u"%s: sock %d added to set pos %u\n", kSet, el->sockNo, pos);
    if (mCallbacks != nullptr) mCallbacks->AddMsg(pos);
  }
  if (replace == 1) Unwant(el, (uint8_t)~mode);
  Want(el, mode);
  return SI_OK;
}

SI_RC SISEL_SEL_NT_FC::Clear(SI_SOCKET* pSock, uint8_t mode) {
  const int32_t pos = FindRef(kClear, pSock);
  if (pos < 0) return SI_EINVAL;
  Unwant(El((uint32_t)pos), mode);
  return SI_OK;
}

SI_RC SISEL_SEL_NT_FC::ClearSet() {
  if (mFt == nullptr) return SI_EINVAL;
  for (int a = kWantRead; a <= kWantWrite; ++a) {
    for (uint32_t i = 0; i < mArr[a]->fd_count; ++i) {
      FD_EL* el = (FD_EL*)mIndex.Find((int32_t)mArr[a]->fd_array[i]);
      if (el != nullptr) el->wanted = 0;
    }
    SiFdZero(mArr[a]);
  }
  return SI_OK;
}

void SISEL_SEL_NT_FC::Unchain(FD_EL* el) {
  FD_EL** link = &mReady;
  while (*link != nullptr && *link != el) link = &(*link)->nextReady;
  if (*link == nullptr) return;
  if (mCursor == el) mCursor = el->nextReady;
  *link = el->nextReady;
  el->nextReady = nullptr;
}

SI_RC SISEL_SEL_NT_FC::RemoveAt(uint32_t pos, uint8_t /*mayCompact*/) {
  FD_EL* el = El(pos);
  if (mIndex.Remove(kRemove, el->sockNo) != SI_OK) return SI_EINTERN;
  mCount--;
  if (mCallbacks != nullptr) mCallbacks->RemoveMsg(pos);
  if (el->ready != 0) Unchain(el);
  Unwant(el, SISEL_READ | SISEL_WRITE);
  DPTRC_LINE(3, SISEL_TRC, u"%s: removed sock %d (pos=%u)\n", kRemove, el->sockNo, pos);
  *el = FD_EL{-1, 0, 0, nullptr, nullptr, nullptr};
  FtGive(mFt, pos);
  return SI_OK;
}

SI_RC SISEL_SEL_NT_FC::RemoveAll() {
  if (mFt == nullptr) return SI_EINVAL;
  if (mCallbacks != nullptr) mCallbacks->ResetMsg();
  for (SI_FD_SET* a : mArr) SiFdZero(a);
  FtResetName(mFtBlock);
  const int32_t frc = FtInit(mFtBlock, u"SISEL", 0, mMaxEntries, sizeof(FD_EL), &mFt);
  if (frc != FI_OK) {
    DPTRC_ERROR(SISEL_TRC, u"%s: FtInit failed (rc=%d)\n", kRemoveAll, frc);
    return SI_EINTERN;
  }
  for (uint32_t i = 0; i < mMaxEntries; ++i) *(FD_EL*)FtElem(mFt, i) = FD_EL{-1, 0, 0, nullptr, nullptr, nullptr};
  mCount = 0;
  mReady = mCursor = nullptr;
  mClosedMode = false;
  if (mIndex.Reset(kRemoveAll) != SI_OK) return SI_EINTERN;
  DPTRC_LINE(3, SISEL_TRC, u"%s: removed all sockets\n", kRemoveAll);
  return SI_OK;
}

void SISEL_SEL_NT_FC::ClearReady() {
  for (FD_EL* el = mReady; el != nullptr;) {
    FD_EL* next = el->nextReady;
    el->ready = 0;
    el->nextReady = nullptr;
    el = next;
  }
  mReady = mCursor = nullptr;
}

// Marks el ready with bits and chains it once, at the tail.
void SISEL_SEL_NT_FC::Chain(FD_EL* el, uint8_t bits, FD_EL** tail) {
  if (el->ready == 0) {
    if (*tail == nullptr)
      mReady = el;
    else
      (*tail)->nextReady = el;
    *tail = el;
  }
  el->ready |= bits;
}

SI_RC SISEL_SEL_NT_FC::Select(int32_t timeoutMs, uint32_t* pCount) {
  uint32_t count = 0;
  if (pCount != nullptr) *pCount = 0;
  if (mFt == nullptr) return SI_EINVAL;
  ClearReady();
  mClosedMode = false;
  DPTRC_LINE(3, SISEL_TRC, u"%s: start select (timeout=%d)\n", kSelect, timeoutMs);
  int32_t ready = 0, err = 0;
  SI_RC rc;
  do {
    Copy(mArr[kGotRead], mArr[kWantRead]);
    Copy(mArr[kGotWrite], mArr[kWantWrite]);
    rc = SiSelectInt(mHighFd, mArr[kGotRead], mArr[kGotWrite], nullptr, timeoutMs, &ready, &err);
  } while (rc == SI_EINTR);
  if (rc != SI_OK) {
    rc = SiSelIFailedWait(kSelect, rc, err, timeoutMs, &mClosedMode, &count);
    if (rc != SI_OK) return rc;
    // Closed mode probes every wanted socket.
    if (mClosedMode) {
      Copy(mArr[kGotRead], mArr[kWantRead]);
      Copy(mArr[kGotWrite], mArr[kWantWrite]);
    } else {
      SiFdZero(mArr[kGotRead]);
      SiFdZero(mArr[kGotWrite]);
    }
  } else {
    count = (uint32_t)ready;
  }
  FD_EL* tail = nullptr;
  const uint8_t bits[2] = {SISEL_STAT_READ, SISEL_STAT_WRITE};
  for (int a = 0; a < 2; ++a) {
    const SI_FD_SET* got = mArr[kGotRead + a];
    for (uint32_t i = 0; i < got->fd_count; ++i) {
      FD_EL* el = (FD_EL*)mIndex.Find((int32_t)got->fd_array[i]);
      if (el != nullptr) Chain(el, bits[a], &tail);
    }
  }
  mCursor = mReady;
  if (mCallbacks == nullptr)
    DPTRC_LINE(2, SISEL_TRC, u"%s: of %u sockets %u selected\n", kSelect, mCount, count);
  if (pCount != nullptr) *pCount = count;
  return SI_OK;
}

uint8_t SISEL_SEL_NT_FC::StatAt(uint32_t pos) const {
  const FD_EL* el = El(pos);
  if (mClosedMode) return SiSelIProbeClosed(el->sockNo) ? SISEL_STAT_INVALID : 0;
  return el->ready;
}

SI_RC SISEL_SEL_NT_FC::Next(uint8_t* pRead, uint8_t* pExcept, uint8_t* pWrite, SI_SOCKET** ppSock,
                            void** ppData) {
  if (ppSock == nullptr) return SI_EINVAL;
  SiSelIClearOuts(pRead, pExcept, pWrite, ppSock, ppData);
  while (mCursor != nullptr) {
    FD_EL* el = mCursor;
    mCursor = el->nextReady;
    if (mClosedMode && !SiSelIProbeClosed(el->sockNo)) continue;
    const uint32_t pos = PosOf(el);
    *ppSock = el->pSock;
    if (ppData != nullptr) *ppData = el->data;
    if (mCallbacks != nullptr) mCallbacks->StorePos(pos);
    if (mClosedMode) {
      DPTRC_ERROR(SISEL_TRC, u"%s: sock %d already closed\n", kNext, el->sockNo);
      return SI_EINVAL_SOCK;
    }
    const bool rd = (el->ready & SISEL_STAT_READ) != 0;
    const bool wr = (el->ready & SISEL_STAT_WRITE) != 0;
    DPTRC_LINE(3, SISEL_TRC, u"%s: sock %d selected (revt=%c%c%s)\n", kNext, el->sockNo,
               rd ? u'r' : u'-', wr ? u'w' : u'-', u"");
    if (pRead != nullptr) *pRead = rd;
    if (pWrite != nullptr) *pWrite = wr;
    return SI_OK;
  }
  return SI_OK;
}

int32_t SISEL_SEL_NT_FC::GetSocket(uint32_t pos) {
  const FD_EL* el = (const FD_EL*)FtElem(mFt, pos);
  return el == nullptr ? -1 : el->sockNo;
}

SI_RC SISEL_SEL_NT_FC::Dump(CTRC_HDL hdl) {
  const int32_t first = mReady ? (int32_t)PosOf(mReady) : -1;
  const int32_t cursor = mCursor ? (int32_t)PosOf(mCursor) : -1;
  DpTrcLock();
  DpTrc(hdl, u"SISELNTFC set %p\n", (const void*)this);
  DpTrcCont(hdl,
            u"sockets in set: %d\nhighest fd  +1: %d\nmax entries   : %d\nfirst pos     : %d\n"
            u"event pos     : %d\n",
            mCount, mHighFd, mMaxEntries, first, cursor);
  DpTrcCont(hdl, u"socket list   :\n");
  DpTrcCont(hdl, u"  pos  pSocket  pData    nxt | socket     ev rev");
  if (mCallbacks != nullptr) mCallbacks->DumpPos(hdl, -1);
  DpTrcCont(hdl, u"\n");
  for (uint32_t pos = 0; mFt != nullptr && pos < mMaxEntries; ++pos) {
    const FD_EL* el = (const FD_EL*)FtElem(mFt, pos);
    if (el->sockNo < 0) continue;
    DpTrcCont(hdl, u"%5d: %08x %08x %3d | sock %-5d %c%c %c%c", pos, (uint32_t)(uintptr_t)el->pSock,
              (uint32_t)(uintptr_t)el->data, el->nextReady ? (int32_t)PosOf(el->nextReady) : -1,
              el->sockNo, (el->wanted & SISEL_READ) ? u'r' : u'-', (el->wanted & SISEL_WRITE) ? u'w' : u'-',
              (el->ready & SISEL_STAT_READ) ? u'r' : u'-', (el->ready & SISEL_STAT_WRITE) ? u'w' : u'-');
    if (mCallbacks != nullptr) mCallbacks->DumpPos(hdl, (int32_t)pos);
    DpTrcCont(hdl, u"\n");
  }
  DpTrcUnlock();
  return SI_OK;
}
