// SISEL_POLL: the select set over SiPoll. The poll array is handed to SiPoll
// as it is, up to the high position; holes carry socket -1, which poll
// passes over. Removing from the middle leaves a hole on the free list, and
// with may-compact the array is compacted once more than half of its used
// range is holes, so that poll is given a short array.
#include <stdlib.h>
#include <string.h>

#include "krn/si/sisel/sisel_int.h"

namespace {

const WEQ_UC kInit[] = u"SISEL_POLL::Init";
const WEQ_UC kSet[] = u"SISEL_POLL::Set";
const WEQ_UC kClear[] = u"SISEL_POLL::Clear";
const WEQ_UC kClearSet[] = u"SISEL_POLL::ClearSet";
const WEQ_UC kRemove[] = u"SISEL_POLL::Remove";
const WEQ_UC kRemoveAll[] = u"SISEL_POLL::RemoveAll";
const WEQ_UC kOptimize[] = u"SISEL_POLL::OptimizeSet";
const WEQ_UC kSelect[] = u"SISEL_POLL::Select";
const WEQ_UC kStartLoop[] = u"SISEL_POLL::StartLoop";
const WEQ_UC kNext[] = u"SISEL_POLL::Next";
const WEQ_UC kGetMode[] = u"SISEL_POLL::GetMode";
const WEQ_UC kGetStat[] = u"SISEL_POLL::GetStat";
const WEQ_UC kGetData[] = u"SISEL_POLL::GetData";
const WEQ_UC kSetData[] = u"SISEL_POLL::SetData";
const WEQ_UC kGetPos[] = u"SISEL_POLL::GetSocketPos";

uint8_t StatOf(int16_t rev) {
  uint8_t s = 0;
  if (rev & SISEL_EV_READ) s |= SISEL_STAT_READ;
  if (rev & SISEL_EV_WRITE) s |= SISEL_STAT_WRITE;
  if (rev & SI_POLLNVAL) s |= SISEL_STAT_INVALID;
  if (rev & (SI_POLLERR | SI_POLLHUP)) s |= SISEL_STAT_ERROR;
  return s;
}

}  // namespace

const SiSelNames SISEL_POLL::kNames = {kInit,   kSet,    kClear,   kRemove,  kRemoveAll, kSelect,
                                       kNext,   kGetMode, kGetStat, kGetData, kSetData,   kGetPos};

SISEL_POLL::~SISEL_POLL() { Release(); }

void SISEL_POLL::Release() {
  mIndex.Close(kInit);
  free(mPollFds);
  free(mSlots.els);
  mPollFds = nullptr;
  mSlots.els = nullptr;
  mSlots.Reset();
}

int32_t SISEL_POLL::FindPos(int32_t sockNo) const {
  const SI_POLL_FD* e = (const SI_POLL_FD*)mIndex.Find(sockNo);
  return e == nullptr ? -1 : (int32_t)(e - mPollFds);
}

SI_RC SISEL_POLL::Init(uint32_t maxEntries) {
  uint32_t cap = 0;
  if (!SiSelICapacity(kInit, maxEntries, &cap)) return SI_EINVAL;
  Release();
  mSlots.cap = cap;
  mEventPos = SISEL_NO_EVENT;
  mPollFds = (SI_POLL_FD*)calloc(cap, sizeof(SI_POLL_FD));
  if (mPollFds == nullptr) {
    DPTRC_ERROR(SISEL_TRC, u"%s: failed to allocate SI_POLL_FD[%u]\n", kInit, cap);
    return SI_EMEMORY;
  }
  mSlots.els = (FD_EL*)calloc(cap, sizeof(FD_EL));
  if (mSlots.els == nullptr) {
    DPTRC_ERROR(SISEL_TRC, u"%s: failed to allocate FD_EL[%u]\n", kInit, cap);
    Release();
    return SI_EMEMORY;
  }
  for (uint32_t i = 0; i < cap; ++i) mPollFds[i].fd = -1;
  const SI_RC rc = mIndex.Open(kInit, cap, mPollFds);
  if (rc != SI_OK) {
    Release();
    return rc;
  }
  mSlots.cap = cap;
  if (mCallbacks != nullptr) mCallbacks->CreateMsg(cap);
  return SI_OK;
}

SI_RC SISEL_POLL::Add(SI_SOCKET* pSock, void* data, uint32_t* pos) {
  const SI_RC rc = SiSelICanAdd(kSet, pSock->socketNo, mSlots.count, mSlots.cap);
  if (rc != SI_OK) return rc;
  if (!mSlots.Take(kSet, pos)) return SI_EINTERN;
  SI_POLL_FD& p = mPollFds[*pos];
  p.fd = pSock->socketNo;
  p.events = p.revents = 0;
  // The key is the low 32 bits of the poll entry's socket value.
  if (mIndex.Insert(kSet, (const int32_t*)&p.fd, &p) != SI_OK) {
    p.fd = -1;
    mSlots.Release(*pos, true);
    return SI_EINTERN;
  }
  mSlots.count++;
  mSlots.els[*pos] = FD_EL{pSock, data, nullptr};
  return SI_OK;
}

SI_RC SISEL_POLL::Set(SI_SOCKET* pSock, uint8_t mode, void* data, uint8_t replace) {
  if (pSock == nullptr || mPollFds == nullptr) return SI_EINVAL;
  int32_t pos = FindPos(pSock->socketNo);
  if (pos < 0) {
    uint32_t p = 0;
    const SI_RC rc = Add(pSock, data, &p);
    if (rc != SI_OK) return rc;
    pos = (int32_t)p;
    DPTRC_LINE(3, SISEL_TRC, u"%s: sock %d added to set pos %u\n", kSet, pSock->socketNo, p);
    if (mCallbacks != nullptr) mCallbacks->AddMsg(p);
  }
  SI_POLL_FD& e = mPollFds[pos];
  if (replace == 1) e.events = 0;
  if (mode & SISEL_READ) e.events |= SISEL_EV_READ;
  if (mode & SISEL_WRITE) e.events |= SISEL_EV_WRITE;
  DPTRC_LINE(3, SISEL_TRC, u"%s: set events of sock %d to: %c%c%c\n", kSet, pSock->socketNo,
             (e.events & SISEL_EV_READ) ? u'r' : u'-', u'-', (e.events & SISEL_EV_WRITE) ? u'w' : u'-');
  return SI_OK;
}

SI_RC SISEL_POLL::Clear(SI_SOCKET* pSock, uint8_t mode) {
  const int32_t pos = FindRef(kClear, pSock);
  if (pos < 0) return SI_EINVAL;
  if (mode & SISEL_READ) mPollFds[pos].events &= (int16_t)~SISEL_EV_READ;
  if (mode & SISEL_WRITE) mPollFds[pos].events &= (int16_t)~SISEL_EV_WRITE;
  return SI_OK;
}

SI_RC SISEL_POLL::ClearSet() {
  for (uint32_t i = 0; i < mSlots.high; ++i) mPollFds[i].events = 0;
  DPTRC_LINE(3, SISEL_TRC, u"%s: cleared set\n", kClearSet);
  return SI_OK;
}

SI_RC SISEL_POLL::RemoveAt(uint32_t pos, uint8_t mayCompact) {
  const WEQ_UC* fn = kRemove;
  SI_POLL_FD& p = mPollFds[pos];
  const int32_t sock = (int32_t)p.fd;
  const SI_RC rc = mIndex.Remove(fn, sock);
  if (rc != SI_OK) return rc == SI_EINVAL ? SI_EINTERN : rc;
  mSlots.count--;
  if (mCallbacks != nullptr) mCallbacks->RemoveMsg(pos);
  if (pos + 1 == mSlots.high) {
    // The entry keeps its contents above the high position.
    mSlots.Release(pos, false);
    DPTRC_LINE(3, SISEL_TRC, u"%s: removed last sock %d (pos=%u)\n", fn, sock, pos);
    return SI_OK;
  }
  p.fd = -1;
  p.events = p.revents = 0;
  mSlots.els[pos].pSock = nullptr;
  DPTRC_LINE(3, SISEL_TRC, u"%s: removed sock %d (pos=%u)\n", fn, sock, pos);
  if (mayCompact == 1 && mSlots.high > (uint32_t)(2.0 * mSlots.count)) {
    OptimizeSet();
  } else {
    mSlots.Release(pos, true);
  }
  return SI_OK;
}

void SISEL_POLL::OptimizeSet() {
  DPTRC_LINE(2, SISEL_TRC, u"%s: optimizing select set (%u<<%u)\n", kOptimize, mSlots.count,
             mSlots.high);
  mEventPos = SISEL_NO_EVENT;
  FD_EL* els = mSlots.els;
  int64_t low = 0;
  int64_t high = (int64_t)mSlots.high - 1;
  while (low < high) {
    while (low < high && els[low].pSock != nullptr) ++low;
    while (high > low && els[high].pSock == nullptr) --high;
    if (low >= high) break;
    if (mCallbacks != nullptr) mCallbacks->MoveMsg((uint32_t)high, (uint32_t)low);
    els[low] = els[high];
    mPollFds[low] = mPollFds[high];
    const int32_t sock = (int32_t)mPollFds[high].fd;
    if (FindPos(sock) != high) {
      DPTRC_ERROR(SISEL_TRC, u"%s: sock %d not member of set\n", kOptimize, sock);
    } else if (mIndex.Remove(kOptimize, sock) == SI_OK) {
      mIndex.Insert(kOptimize, (const int32_t*)&mPollFds[low].fd, &mPollFds[low]);
    }
    els[high].pSock = nullptr;
    mPollFds[high].fd = -1;
    mPollFds[high].events = mPollFds[high].revents = 0;
    DPTRC_LINE(3, SISEL_TRC, u"%s: moving entry %u to %u\n", kOptimize, (uint32_t)high, (uint32_t)low);
    ++low;
    --high;
  }
  if (low != (int64_t)mSlots.count && low + 1 != (int64_t)mSlots.count)
    DPTRC_ERROR(SISEL_TRC, u"%s: internal status error (%u-%u-%u)\n", kOptimize, (uint32_t)low,
                (uint32_t)high, mSlots.count);
  mSlots.freeList = nullptr;
  mSlots.high = mSlots.count;
}

SI_RC SISEL_POLL::RemoveAll() {
  if (mPollFds == nullptr) return SI_EINVAL;
  if (mCallbacks != nullptr) mCallbacks->ResetMsg();
  for (uint32_t i = 0; i < mSlots.high; ++i) {
    mPollFds[i].fd = -1;
    mSlots.els[i].pSock = nullptr;
  }
  mSlots.Reset();
  mEventPos = SISEL_NO_EVENT;
  if (mIndex.Reset(kRemoveAll) != SI_OK) return SI_EINTERN;
  DPTRC_LINE(3, SISEL_TRC, u"%s: removed all sockets\n", kRemoveAll);
  return SI_OK;
}

SI_RC SISEL_POLL::Select(int32_t timeoutMs, uint32_t* pCount) {
  if (pCount != nullptr) *pCount = 0;
  if (mPollFds == nullptr) return SI_EINVAL;
  mEventPos = 0;
  DPTRC_LINE(3, SISEL_TRC, u"%s: start select (timeout=%d)\n", kSelect, timeoutMs);
  int32_t ready = 0, err = 0, loops = 0;
  SI_RC rc;
  for (;;) {
    rc = SiPoll(mPollFds, mSlots.high, timeoutMs, &ready, &err);
    if (rc == SI_EINTR) continue;
    if (rc == SI_ETIMEOUT && ++loops < SISEL_POLL_RETRY_LIMIT) continue;
    break;
  }
  if (loops > 0)
    DPTRC_ERROR(SISEL_TRC, u"%s: poll looped %d times, caused by EAGAIN (limit=%d)\n", kSelect, loops,
                SISEL_POLL_RETRY_LIMIT);
  if (rc != SI_OK) {
    WEQ_UC text[256];
    SiErrText(err, text, 256);
    DPTRC_ERROR(SISEL_TRC, u"%s: SiPoll failed (%d-%s)\n", kSelect, err, text);
    mEventPos = SISEL_NO_EVENT;
    return SI_EINTERN;
  }
  if (mCallbacks == nullptr)
    DPTRC_LINE(2, SISEL_TRC, u"%s: of %u sockets %u selected\n", kSelect, mSlots.count, (uint32_t)ready);
  if (pCount != nullptr) *pCount = (uint32_t)ready;
  return SI_OK;
}

SI_RC SISEL_POLL::StartLoop() {
  mEventPos = 0;
  DPTRC_LINE(3, SISEL_TRC, u"%s: iterator reseted\n", kStartLoop);
  return SI_OK;
}

SI_RC SISEL_POLL::Next(uint8_t* pRead, uint8_t* pExcept, uint8_t* pWrite, SI_SOCKET** ppSock,
                       void** ppData) {
  if (ppSock == nullptr) return SI_EINVAL;
  SiSelIClearOuts(pRead, pExcept, pWrite, ppSock, ppData);
  for (uint32_t pos = (uint32_t)mEventPos; pos < mSlots.high; ++pos) {
    const SI_POLL_FD& p = mPollFds[pos];
    if (p.revents == 0 || p.fd < 0) continue;
    const FD_EL& el = mSlots.els[pos];
    *ppSock = el.pSock;
    if (ppData != nullptr) *ppData = el.data;
    mEventPos = (int32_t)pos + 1;
    if (mCallbacks != nullptr) mCallbacks->StorePos(pos);
    const int32_t sock = (int32_t)p.fd;
    if (p.revents & SI_POLLNVAL) {
      DPTRC_ERROR(SISEL_TRC, u"%s: sock %d already closed\n", kNext, sock);
      return SI_EINVAL_SOCK;
    }
    if (p.revents & SI_POLLHUP) {
      DPTRC_LINE(2, SISEL_TRC, u"%s: a hang up occurred in sock %d\n", kNext, sock);
      return SI_EINVAL;
    }
    if (p.revents & SI_POLLERR) {
      DPTRC_LINE(2, SISEL_TRC, u"%s: an error occurred in sock %d\n", kNext, sock);
      return SI_EINTERN;
    }
    const bool rd = (p.revents & SISEL_EV_READ) != 0;
    const bool wr = (p.revents & SISEL_EV_WRITE) != 0;
    DPTRC_LINE(3, SISEL_TRC, u"%s: sock %d selected (pos=%u; revt=%c%c%c)\n", kNext, sock, pos,
               rd ? u'r' : u'-', u'-', wr ? u'w' : u'-');
    if (rd || wr) {
      if (pRead != nullptr) *pRead = rd;
      if (pWrite != nullptr) *pWrite = wr;
      return SI_OK;
    }
    *ppSock = nullptr;
    if (ppData != nullptr) *ppData = nullptr;
  }
  if (mCallbacks == nullptr && mEventPos != SISEL_NO_EVENT)
    DPTRC_LINE(3, SISEL_TRC, u"%s: no more selected sockets (pos=%u)\n", kNext, (uint32_t)mEventPos);
  mEventPos = SISEL_NO_EVENT;
  return SI_OK;
}

uint8_t SISEL_POLL::ModeAt(uint32_t pos) const {
  const int16_t ev = mPollFds[pos].events;
  return ((ev & SISEL_EV_READ) ? SISEL_READ : 0) | ((ev & SISEL_EV_WRITE) ? SISEL_WRITE : 0);
}

uint8_t SISEL_POLL::StatAt(uint32_t pos) const { return StatOf(mPollFds[pos].revents); }

int32_t SISEL_POLL::GetSocket(uint32_t pos) {
  return pos >= mSlots.high ? -1 : (int32_t)mPollFds[pos].fd;
}

SI_RC SISEL_POLL::Dump(CTRC_HDL hdl) {
  DpTrcLock();
  DpTrc(hdl, u"SIPOLL set %p\n", (const void*)this);
  DpTrcCont(hdl, u"sockets in set: %d\nhighest pos +1: %d\nmax entries   : %d\nevent pos     : %d\n",
            mSlots.count, mSlots.high, mSlots.cap, mEventPos);
  DpTrcCont(hdl, u"socket list   :\n");
  DpTrcCont(hdl, u"  pos  pSocket  pData    nxt FI  | socket   events   revents    ");
  if (mCallbacks != nullptr) mCallbacks->DumpPos(hdl, -1);
  DpTrcCont(hdl, u"\n");
  const uint32_t last = mSlots.high + 2 < mSlots.cap ? mSlots.high + 2 : mSlots.cap;
  for (uint32_t pos = 0; mPollFds != nullptr && pos < last; ++pos) {
    const SI_POLL_FD& p = mPollFds[pos];
    const FD_EL& el = mSlots.els[pos];
    const int32_t nxt = el.nextFree ? (int32_t)(el.nextFree - mSlots.els) : -1;
    const int32_t fi = p.fd >= 0 ? FindPos((int32_t)p.fd) : -1;
    const int16_t ev = p.events, rev = p.revents;
    DpTrcCont(hdl, u"%5d: %08x %08x %3d %3d | sock %-3d %2d (%c%c%c) %2d (%c%c%c%c%c%c)", pos,
              (uint32_t)(uintptr_t)el.pSock, (uint32_t)(uintptr_t)el.data, nxt, fi, (int32_t)p.fd,
              (int32_t)ev, (ev & SISEL_EV_READ) ? u'i' : u'-', u'-', (ev & SISEL_EV_WRITE) ? u'o' : u'-',
              (int32_t)rev, (rev & SISEL_EV_READ) ? u'i' : u'-', u'-', (rev & SISEL_EV_WRITE) ? u'o' : u'-',
              (rev & SI_POLLERR) ? u'E' : u'-', (rev & SI_POLLHUP) ? u'H' : u'-',
              (rev & SI_POLLNVAL) ? u'N' : u'-');
    if (mCallbacks != nullptr) mCallbacks->DumpPos(hdl, (int32_t)pos);
    DpTrcCont(hdl, u"\n");
  }
  DpTrcCont(hdl, u"free list     : ");
  if (mSlots.freeList == nullptr) {
    DpTrcCont(hdl, u"empty\n");
  } else {
    for (const FD_EL* f = mSlots.freeList; f != nullptr; f = f->nextFree)
      DpTrcCont(hdl, u">%d", (int32_t)(f - mSlots.els));
    DpTrcCont(hdl, u"\n");
  }
  DpTrcUnlock();
  return SI_OK;
}
