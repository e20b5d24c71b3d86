// The three select set implementations and what they share: the socket
// index over the fast index, the position bookkeeping of the two array
// implementations, and the outcome rules of a failed select. For the
// implementations and their tests only.
#ifndef KRN_SI_SISEL_SISEL_INT_H
#define KRN_SI_SISEL_SISEL_INT_H

#include <stdint.h>

#include "krn/fi/fi.h"
#include "krn/si/sisel/sisel.h"

#define SISEL_TRC CTrcGlobalHdl.load(std::memory_order_relaxed)

// Returned requested/returned poll events of SISEL_POLL.
constexpr int16_t SISEL_EV_READ = SI_POLLRDNORM | SI_POLLRDBAND;  // 0x0300
constexpr int16_t SISEL_EV_WRITE = SI_POLLWRNORM;                 // 0x0010

// SiPoll results SI_ETIMEOUT that one Select repeats at most.
constexpr int SISEL_POLL_RETRY_LIMIT = 5000;

// One fast index keyed by socket number: the key of a member is a 32-bit
// number inside the member's entry (two 16-bit characters), the value the
// entry itself, both at or after the base the index was opened with. The FI
// block is allocated zeroed, and the index takes a block-local handle.
class SiSelIndex {
 public:
  SiSelIndex() = default;
  SiSelIndex(const SiSelIndex&) = delete;
  SiSelIndex& operator=(const SiSelIndex&) = delete;
  ~SiSelIndex() { Close(nullptr); }

  // Allocates and opens an index for capacity keys: 0, SI_EMEMORY or
  // SI_EINTERN (traced under fn).
  SI_RC Open(const WEQ_UC* fn, uint32_t capacity, const void* base);
  // Closes and frees it; a failed close is traced under fn (when given).
  void Close(const WEQ_UC* fn);
  // Empties it (close and open again): 0 or SI_EINTERN.
  SI_RC Reset(const WEQ_UC* fn);
  // The entry of sockNo, or NULL.
  void* Find(int32_t sockNo) const;
  // Enters the number at key with its entry: 0 or SI_EINTERN.
  SI_RC Insert(const WEQ_UC* fn, const int32_t* key, void* entry);
  // Takes sockNo out: 0, SI_EINVAL when absent, SI_EINTERN.
  SI_RC Remove(const WEQ_UC* fn, int32_t sockNo);
  bool IsOpen() const { return mHdl != nullptr; }

 private:
  void* mBlock = nullptr;
  FI_HEADER* mHeader = nullptr;
  FI_HDL* mHdl = nullptr;
  const void* mBase = nullptr;
};

// Positions of an entry array that a set fills from the bottom: count
// members below the high position, holes chained in a free list through
// the entries' nextFree.
template <class EL>
struct SiSelSlots {
  uint32_t count = 0;
  uint32_t high = 0;  // highest used position + 1
  uint32_t cap = 0;
  EL* els = nullptr;
  EL* freeList = nullptr;

  // The position for a new member: the head of the free list, else the
  // count, which must equal the high position. false on an internal status
  // error (traced under fn).
  bool Take(const WEQ_UC* fn, uint32_t* pos);
  // Gives pos back: the high position shrinks when it is the last one (true),
  // otherwise it joins the free list when push is true.
  bool Release(uint32_t pos, bool push);
  void Reset() { count = high = 0, freeList = nullptr; }
};

// Common outcome of a select call that did not succeed (SI_EINTR is
// repeated by the callers): SI_EINVAL_SOCK turns on closed mode with a
// count of 1; SI_EINVAL waits out a non-negative time-out and gives a count
// of 0; every other code is traced as "%s: SiSelect failed (%d-%s)" and
// gives SI_EINTERN.
SI_RC SiSelIFailedWait(const WEQ_UC* fn, SI_RC rc, int32_t err, int32_t timeoutMs, bool* closed,
                       uint32_t* count);

// Closed mode's probe: whether the socket number no longer names a socket.
bool SiSelIProbeClosed(int32_t sockNo);

// Init's capacity rule: above SISEL_MAX_ENTRIES is traced under fn and
// refused (false); below 2 counts as 2.
bool SiSelICapacity(const WEQ_UC* fn, uint32_t maxEntries, uint32_t* cap);

// Whether a socket may join a set of count members and capacity cap: 0, or
// SI_EINVAL for a negative number or a full set (traced under fn).
SI_RC SiSelICanAdd(const WEQ_UC* fn, int32_t sockNo, uint32_t count, uint32_t cap);

// Next's outputs before the walk: nothing handed out.
void SiSelIClearOuts(uint8_t* pRead, uint8_t* pExcept, uint8_t* pWrite, SI_SOCKET** ppSock,
                     void** ppData);

// Names of one implementation's operations in its trace lines.
struct SiSelNames {
  const WEQ_UC* init;
  const WEQ_UC* set;
  const WEQ_UC* clear;
  const WEQ_UC* remove;
  const WEQ_UC* removeAll;
  const WEQ_UC* select;
  const WEQ_UC* next;
  const WEQ_UC* getMode;
  const WEQ_UC* getStat;
  const WEQ_UC* getData;
  const WEQ_UC* setData;
  const WEQ_UC* getPos;
};

// The operations on one member, the same in every implementation once the
// member's position is known. D supplies kNames, FindPos (socket number ->
// position, -1 when absent), RefAt and DataAt (the entry's reference and
// user pointer), ModeAt, StatAt and RemoveAt.
template <class D>
class SiSelMembers : public SISEL_SPEC {
 public:
  SI_RC Remove(SI_SOCKET* pSock, uint8_t mayCompact) override {
    const int32_t pos = FindRef(D::kNames.remove, pSock);
    return pos < 0 ? SI_EINVAL : self().RemoveAt((uint32_t)pos, mayCompact);
  }
  SI_RC RemoveBySockNo(int32_t sockNo, uint8_t mayCompact) override {
    const int32_t pos = self().FindPos(sockNo);
    if (pos < 0) {
      DPTRC_LINE(2, SISEL_TRC, u"%s: sock %d not member of set\n", D::kNames.remove, sockNo);
      return SI_EINVAL;
    }
    return self().RemoveAt((uint32_t)pos, mayCompact);
  }
  SI_RC GetMode(SI_SOCKET* pSock, uint8_t* pMode) override {
    const int32_t pos = FindRef(D::kNames.getMode, pSock);
    if (pos < 0) return SI_EINVAL;
    if (pMode != nullptr) *pMode = self().ModeAt((uint32_t)pos);
    return SI_OK;
  }
  SI_RC GetStat(SI_SOCKET* pSock, uint8_t* pStat) override {
    return GetStatEx(pSock, pStat, nullptr, nullptr);
  }
  SI_RC GetStatEx(SI_SOCKET* pSock, uint8_t* pStat, SI_SOCKET** ppSock, void** ppData) override {
    const int32_t pos = FindRef(D::kNames.getStat, pSock);
    if (pos < 0) return SI_EINVAL;
    if (pStat != nullptr) *pStat = self().StatAt((uint32_t)pos);
    if (ppSock != nullptr) *ppSock = self().RefAt((uint32_t)pos);
    if (ppData != nullptr) *ppData = self().DataAt((uint32_t)pos);
    return SI_OK;
  }
  bool IsMember(SI_SOCKET* pSock) override {
    return pSock != nullptr && self().FindPos(pSock->socketNo) >= 0;
  }
  SI_RC GetData(SI_SOCKET* pSock, void** ppData) override {
    const int32_t pos = FindRef(D::kNames.getData, pSock);
    if (pos < 0) return SI_EINVAL;
    if (ppData != nullptr) *ppData = self().DataAt((uint32_t)pos);
    return SI_OK;
  }
  SI_RC SetData(SI_SOCKET* pSock, void* pData) override {
    const int32_t pos = FindRef(D::kNames.setData, pSock);
    if (pos < 0) return SI_EINVAL;
    self().DataAt((uint32_t)pos) = pData;
    return SI_OK;
  }
  SI_RC GetSocketPos(SI_SOCKET* pSock, uint32_t* pPos) override {
    const int32_t pos = FindRef(D::kNames.getPos, pSock);
    if (pos < 0) return SI_EINVAL;
    if (pPos != nullptr) *pPos = (uint32_t)pos;
    return SI_OK;
  }

 protected:
  // The position of the member that pSock names, found by the number it
  // points to; -1 (traced at level 2 under fn) when it is not a member.
  int32_t FindRef(const WEQ_UC* fn, SI_SOCKET* pSock) {
    const int32_t pos = pSock == nullptr ? -1 : self().FindPos(pSock->socketNo);
    if (pos < 0)
      DPTRC_LINE(2, SISEL_TRC, u"%s: sock %d not member of set\n", fn, pSock ? pSock->socketNo : -1);
    return pos;
  }

 private:
  D& self() { return static_cast<D&>(*this); }
};

// --- SISEL_POLL ---------------------------------------------------------------------

class SISEL_POLL : public SiSelMembers<SISEL_POLL> {
 public:
  struct FD_EL {
    SI_SOCKET* pSock;  // NULL while free
    void* data;
    FD_EL* nextFree;
  };

  ~SISEL_POLL() override;
  SI_RC Init(uint32_t maxEntries) override;
  SI_RC Set(SI_SOCKET* pSock, uint8_t mode, void* data, uint8_t replace) override;
  SI_RC Clear(SI_SOCKET* pSock, uint8_t mode) override;
  SI_RC ClearSet() override;
  SI_RC RemoveAll() override;
  SI_RC Select(int32_t timeoutMs, uint32_t* pCount) override;
  SI_RC StartLoop() override;
  SI_RC Next(uint8_t* pRead, uint8_t* pExcept, uint8_t* pWrite, SI_SOCKET** ppSock,
             void** ppData) override;
  uint32_t GetMaxEntries() override { return mSlots.cap; }
  SI_RC Dump(CTRC_HDL hdl) override;
  int32_t GetSocket(uint32_t pos) override;

  // Members, high position, capacity, the entries and the free list.
  SiSelSlots<FD_EL> mSlots{0, 0, SISEL_MAX_ENTRIES};
  SI_POLL_FD* mPollFds = nullptr;  // handed to SiPoll as it is
  int32_t mEventPos = 0;           // where Next goes on; SISEL_NO_EVENT: none
  SiSelIndex mIndex;               // socket number -> poll entry

  // What SiSelMembers asks of a set.
  static const SiSelNames kNames;
  int32_t FindPos(int32_t sockNo) const;
  SI_SOCKET*& RefAt(uint32_t pos) { return mSlots.els[pos].pSock; }
  void*& DataAt(uint32_t pos) { return mSlots.els[pos].data; }
  uint8_t ModeAt(uint32_t pos) const;
  uint8_t StatAt(uint32_t pos) const;
  SI_RC RemoveAt(uint32_t pos, uint8_t mayCompact);

 private:
  SI_RC Add(SI_SOCKET* pSock, void* data, uint32_t* pos);
  void OptimizeSet();
  void Release();
};

// --- SISEL_SEL_NT -------------------------------------------------------------------

class SISEL_SEL_NT : public SiSelMembers<SISEL_SEL_NT> {
 public:
  struct FD_EL {
    int32_t sockNo;  // the member's number, kept; -1 while free
    SI_SOCKET* pSock;
    void* data;
    FD_EL* next;  // socket list, newest first
    FD_EL* prev;
    FD_EL* nextFree;
  };
  enum { kWantRead, kWantWrite, kWantExcept, kGotRead, kGotWrite, kGotExcept, kMasks };

  ~SISEL_SEL_NT() override;
  SI_RC Init(uint32_t maxEntries) override;
  SI_RC Set(SI_SOCKET* pSock, uint8_t mode, void* data, uint8_t replace) override;
  SI_RC Clear(SI_SOCKET* pSock, uint8_t mode) override;
  SI_RC ClearSet() override;
  SI_RC RemoveAll() override;
  SI_RC Select(int32_t timeoutMs, uint32_t* pCount) override;
  SI_RC StartLoop() override;
  SI_RC Next(uint8_t* pRead, uint8_t* pExcept, uint8_t* pWrite, SI_SOCKET** ppSock,
             void** ppData) override;
  uint32_t GetMaxEntries() override { return mSlots.cap; }
  SI_RC Dump(CTRC_HDL hdl) override;
  int32_t GetSocket(uint32_t pos) override;

  SiSelSlots<FD_EL> mSlots{0, 0, SISEL_MAX_ENTRIES};
  int32_t mHighFd = 0;        // highest member socket + 1
  FD_EL* mHead = nullptr;     // socket list
  FD_EL* mCursor = nullptr;   // where Next goes on
  bool mClosedMode = false;   // the last select met a socket closed underneath
  SI_FD_SET* mMask[kMasks] = {};
  SiSelIndex mIndex;          // socket number -> entry

  static const SiSelNames kNames;
  int32_t FindPos(int32_t sockNo) const;
  SI_SOCKET*& RefAt(uint32_t pos) { return mSlots.els[pos].pSock; }
  void*& DataAt(uint32_t pos) { return mSlots.els[pos].data; }
  uint8_t ModeAt(uint32_t pos) const;
  uint8_t StatAt(uint32_t pos) const;
  SI_RC RemoveAt(uint32_t pos, uint8_t mayCompact);

 private:
  void Release();
};

// --- SISEL_SEL_NT_FC ----------------------------------------------------------------

class SISEL_SEL_NT_FC : public SiSelMembers<SISEL_SEL_NT_FC> {
 public:
  struct FD_EL {
    int32_t sockNo;  // -1 while free
    uint8_t wanted;  // SISEL_READ | SISEL_WRITE
    uint8_t ready;   // of the last select
    SI_SOCKET* pSock;
    void* data;
    FD_EL* nextReady;
  };
  enum { kWantRead, kWantWrite, kGotRead, kGotWrite, kArrays };

  ~SISEL_SEL_NT_FC() override;
  SI_RC Init(uint32_t maxEntries) override;
  SI_RC Set(SI_SOCKET* pSock, uint8_t mode, void* data, uint8_t replace) override;
  SI_RC Clear(SI_SOCKET* pSock, uint8_t mode) override;
  SI_RC ClearSet() override;
  SI_RC RemoveAll() override;
  SI_RC Select(int32_t timeoutMs, uint32_t* pCount) override;
  SI_RC StartLoop() override { return SI_OK; }
  SI_RC Next(uint8_t* pRead, uint8_t* pExcept, uint8_t* pWrite, SI_SOCKET** ppSock,
             void** ppData) override;
  uint32_t GetMaxEntries() override { return mMaxEntries; }
  SI_RC Dump(CTRC_HDL hdl) override;
  int32_t GetSocket(uint32_t pos) override;

  uint32_t mCount = 0;
  uint32_t mMaxEntries = SISEL_MAX_ENTRIES;
  int32_t mHighFd = 0;
  void* mFtBlock = nullptr;  // the fixed table "SISEL" of the entries
  FT_TABLE* mFt = nullptr;
  FD_EL* mReady = nullptr;   // ready chain of the last select
  FD_EL* mCursor = nullptr;
  bool mClosedMode = false;
  SI_FD_SET* mArr[kArrays] = {};  // unsorted
  SiSelIndex mIndex;

  static const SiSelNames kNames;
  int32_t FindPos(int32_t sockNo) const;
  FD_EL* El(uint32_t pos) const { return (FD_EL*)FtElem(mFt, pos); }
  SI_SOCKET*& RefAt(uint32_t pos) { return El(pos)->pSock; }
  void*& DataAt(uint32_t pos) { return El(pos)->data; }
  uint8_t ModeAt(uint32_t pos) const { return El(pos)->wanted & (SISEL_READ | SISEL_WRITE); }
  uint8_t StatAt(uint32_t pos) const;
  SI_RC RemoveAt(uint32_t pos, uint8_t mayCompact);

 private:
  uint32_t PosOf(const FD_EL* el) const;
  void Want(FD_EL* el, uint8_t bits);
  void Unwant(FD_EL* el, uint8_t bits);
  void Chain(FD_EL* el, uint8_t bits, FD_EL** tail);
  void Unchain(FD_EL* el);
  void ClearReady();
  void Release();
};

#endif
