// NI select sets: many handles waited for at once over one socket select
// set, the ready ones handed out one by one with their modes and user data.
// Buffered handles are registered and processed by the buffered layer,
// which also reports their readiness through the ready list.
#include <atomic>
#include <new>

#include "i18n/wequ16/u16fmt.h"
#include "krn/ni/niaddr_int.h"
#include "krn/ni/nibuf_int.h"
#include "krn/ni/nimsg_int.h"
#include "krn/ni/nisel_int.h"

namespace {

constexpr const WEQ_UC* kNiSelModule = u"nisel";
constexpr int32_t kSelMaxTries = 20000;

// Names sets only; counts up and wraps after 0xFF.
std::atomic<uint8_t> g_setCounter{0};

bool SelIsListen(uint8_t state) { return state == NI_LISTEN || state == NI_RI_LISTEN; }

// A buffered handle registered through the buffered layer (in some set).
// One made buffered while it was a plain member is still plain here.
bool SelIsBuffered(const NITAB* rec) {
  return rec->mBuf != nullptr && rec->mBuf->set != nullptr && !SelIsListen(rec->mType.load(std::memory_order_acquire));
}

// The sockets a handle registers: both listen sockets of a listen handle
// (-1 ones skipped by the callers), the one socket of any other.
struct SelSockets {
  SI_SOCKET* s[2] = {nullptr, nullptr};
  int n = 0;
};

SelSockets SocketsOf(NITAB* rec) {
  SelSockets out;
  uint8_t state = rec->mType.load(std::memory_order_acquire);
  if (state == NI_LISTEN) {
    if (rec->lis.mIPSocket.socketNo != NI_INVALID_SOCK) out.s[out.n++] = &rec->lis.mIPSocket;
    if (rec->lis.mUDSocket.socketNo != NI_INVALID_SOCK) out.s[out.n++] = &rec->lis.mUDSocket;
  } else if (state == NI_RI_LISTEN) {
    if (rec->ri.mSocket.socketNo != NI_INVALID_SOCK) out.s[out.n++] = &rec->ri.mSocket;
  } else if (rec->con.mSocket.socketNo != NI_INVALID_SOCK) {
    out.s[out.n++] = &rec->con.mSocket;
  }
  return out;
}

bool OwnsSocket(NITAB* rec, int32_t sock) {
  SelSockets ss = SocketsOf(rec);
  for (int i = 0; i < ss.n; ++i) {
    if (ss.s[i]->socketNo == sock) return true;
  }
  return false;
}

// NI modes to socket-set modes: read waits for exceptions too.
uint8_t PlainSiMode(uint8_t mode) {
  return static_cast<uint8_t>(((mode & NI_READ) ? SISEL_READ | SISEL_EXCEPT : 0) | (mode & NI_WRITE));
}

NI_RC OpFail(const WEQ_UC* fn, int line, const WEQ_UC* op, NI_HDL hdl, SI_RC si, bool internalText) {
  if (si == SI_EINVAL)
    return NiIErrTrace(kNiSelModule, line, 1, u"%s: %s failed for hdl %d; handle not member of set", NIEINVAL, fn,
                       op, hdl);
  if (si == SI_EINTERN && internalText)
    return NiIErrTrace(kNiSelModule, line, 1, u"%s: %s failed for hdl %d; internal error", NIEINTERN, fn, op, hdl);
  return NiIErrTrace(kNiSelModule, line, 1, u"%s: %s failed for hdl %d; unknown error %d", NIEINTERN, fn, op, hdl,
                     static_cast<int32_t>(si));
}

NI_RC InvalidFlags(const WEQ_UC* fn, int line, bool listen, NI_HDL hdl) {
  if (listen)
    return NiIErrTrace(kNiSelModule, line, 1, u"%s: invalid flags for listen hdl %d", NIEINVAL, fn, hdl);
  return NiIErrTrace(kNiSelModule, line, 1, u"%s: invalid flags for none listen hdl %d", NIEINVAL, fn, hdl);
}

const WEQ_UC* ListName(uint8_t list) { return list == NISEL_IMPL::kSelList ? u"sel" : u"buf"; }

CTRC_HDL SelTrc() { return NiITrcHdl(); }

}  // namespace

// --- Creation and destruction -----------------------------------------------------------

NISEL_IMPL::NISEL_IMPL() : mCb(this) {}

NISEL_IMPL::~NISEL_IMPL() {
  if (mSpec != nullptr && mPos != nullptr) {
    mSpec->mCallbacks = nullptr;
    NiSelIRemoveAll();
  }
  delete[] mPos;
  mPos = nullptr;
}

void NISEL_IMPL::NiSelIConnect() {
  mSpec->mCallbacks = &mCb;
  uint8_t no = g_setCounter.fetch_add(1, std::memory_order_relaxed);
  snprintfU16(mName, 4, u"%X", static_cast<uint32_t>(no));
  DPTRC_LINE(3, SelTrc(), u"%s: new set%s\n", u"NiSelICreateSet", +mName);
}

NISEL_IMPL* NiSelICreateSet(const uint8_t* pType) {
  static constexpr const WEQ_UC* kFn = u"NiSelICreateSet";
  auto* set = new (std::nothrow) NISEL_IMPL;
  if (set == nullptr) {
    NiIErrTrace(kNiSelModule, __LINE__, 1, u"%s: new failed for %d bytes", NIEINTERN, kFn,
                static_cast<int32_t>(sizeof(NISEL_IMPL)));
    return nullptr;
  }
  SI_RC si = set->SiSelAddSpecImpl(pType);
  if (si != SI_OK) {
    delete set;
    NiIErrTrace(kNiSelModule, __LINE__, 1, u"%s: addSpecImpl failed (sirc=%d)", NIEINTERN, kFn,
                static_cast<int32_t>(si));
    return nullptr;
  }
  set->NiSelIConnect();
  return set;
}

NI_RC NISEL_IMPL::NiSelIInit(int32_t maxSockets) {
  static constexpr const WEQ_UC* kFn = u"NiSelIInit";
  SI_RC si = Init(static_cast<uint32_t>(maxSockets));
  switch (si) {
    case SI_OK:
      break;
    case SI_EINVAL:
      return NiIErrTrace(kNiSelModule, __LINE__, 1, u"%s: param maxSockets invalid (%d)", NIEINVAL, kFn, maxSockets);
    case SI_EINTERN:
      return NiIErrTrace(kNiSelModule, __LINE__, 1, u"%s: internal error", NIEINTERN, kFn);
    case SI_EMEMORY:
      return NiIErrTrace(kNiSelModule, __LINE__, 1, u"%s: memory allocation failed", NIEINTERN, kFn);
    default:
      return NiIErrTrace(kNiSelModule, __LINE__, 1, u"%s: unknown error %d", NIEINTERN, kFn, static_cast<int32_t>(si));
  }
  if (mPos == nullptr) return NIEINTERN;  // recorded by CreateMsg
  DPTRC_LINE(3, SelTrc(), u"%s: size of set%s is %d\n", kFn, +mName, static_cast<int32_t>(mMaxEntries));
  return WEQ_O_K;
}

// --- Socket registration --------------------------------------------------------------------

NI_RC NISEL_IMPL::NiSelISockSet(const WEQ_UC* fn, NITAB* pHdl, SI_SOCKET* pSock, uint8_t siMode, void* pData,
                                uint8_t replace) {
  SI_RC si = Set(pSock, siMode, pData, replace);
  if (si == SI_OK) return WEQ_O_K;
  NI_HDL hdl = NiIHdlNo(pHdl);
  if (si == SI_EINVAL)
    return NiIErrTrace(kNiSelModule, __LINE__, 1, u"%s: set failed for hdl %d set%s; maxSockets reached (%d)",
                       NIEINVAL, fn, hdl, +mName, static_cast<int32_t>(mMaxEntries));
  if (si == SI_EINTERN)
    return NiIErrTrace(kNiSelModule, __LINE__, 1, u"%s: set failed for hdl %d set%s; internal error", NIEINTERN, fn,
                       hdl, +mName);
  return NiIErrTrace(kNiSelModule, __LINE__, 1, u"%s: set failed for hdl %d set%s; unknown error %d", NIEINTERN, fn,
                     hdl, +mName, static_cast<int32_t>(si));
}

SI_RC NISEL_IMPL::NiSelISockPos(SI_SOCKET* pSock, uint32_t* pPos) {
  if (mSpec == nullptr) return SI_EINVAL;
  return mSpec->GetSocketPos(pSock, pPos);
}

NI_RC NISEL_IMPL::NiSelISockRemove(const WEQ_UC* fn, NI_HDL hdl, SI_SOCKET* pSock, uint8_t mayCompact) {
  SI_RC si = Remove(pSock, mayCompact);
  return si == SI_OK ? WEQ_O_K : OpFail(fn, __LINE__, u"remove", hdl, si, true);
}

bool NISEL_IMPL::DropIfStale(uint32_t pos) {
  NI_HDL hdl = mPos[pos].hdl;
  int32_t sock = mSpec->GetSocket(pos);
  if (hdl == -1 || sock < 0) return false;
  NITAB* rec = NiIHdlLookup(hdl);
  if (rec != nullptr && OwnsSocket(rec, sock)) return false;
  // The handle was closed without leaving the set; its socket number may
  // belong to a new connection by now, whose events must not be reported
  // under the old handle.
  DPTRC_LINE(3, SelTrc(), u"%s: dropped hdl %d/sock %d of set%s (handle closed)\n", u"NiSelISelect", hdl, sock,
             +mName);
  mSpec->RemoveBySockNo(sock, 0);
  return true;
}

bool NISEL_IMPL::HeldReadable(NITAB* pRec, uint32_t pos) {
  if (!NiIHeldInput(pRec) || SelIsBuffered(pRec) || SelIsListen(pRec->mType.load(std::memory_order_acquire)))
    return false;
  SI_SOCKET probe{mSpec->GetSocket(pos), 0, 0, 0};
  uint8_t mode = 0;
  return mSpec->GetMode(&probe, &mode) == SI_OK && (mode & SISEL_READ) != 0;
}

uint32_t NISEL_IMPL::DropStaleTakeHeld() {
  uint32_t held = 0;
  for (uint32_t pos = 0; pos < mUsedHigh && pos < mMaxEntries; ++pos) {
    if (mPos[pos].hdl == -1 || DropIfStale(pos)) continue;
    NITAB* rec = NiIHdlLookup(mPos[pos].hdl);
    if (rec == nullptr || !HeldReadable(rec, pos)) continue;
    NiSelIListInsert(kSelList, pos);
    held += 1;
  }
  return held;
}

void NISEL_IMPL::DropForeign(NI_HDL hdl, int32_t sock) {
  if (sock < 0 || mSpec == nullptr) return;
  SI_SOCKET probe{sock, 0, 0, 0};
  if (!mSpec->IsMember(&probe)) return;
  uint32_t pos = 0;
  if (mSpec->GetSocketPos(&probe, &pos) == SI_OK && mPos[pos].hdl != hdl) DropIfStale(pos);
}

// --- Public operations ------------------------------------------------------------------

NI_RC NISEL_IMPL::NiSelISet(NI_HDL hdl, uint8_t mode, void* pData, uint8_t replace) {
  static constexpr const WEQ_UC* kFn = u"NiSelISet";
  NITAB* rec = nullptr;
  NI_RC rc = NiIHdlCheck(hdl, kFn, &rec);
  if (rc != WEQ_O_K) return rc;
  uint8_t state = rec->mType.load(std::memory_order_acquire);
  if (SelIsListen(state)) {
    if ((mode & ~NI_CONNECT) != 0) return InvalidFlags(kFn, __LINE__, true, hdl);
  } else if (mode >= (rec->mBuf != nullptr ? 8 : 4)) {
    return InvalidFlags(kFn, __LINE__, false, hdl);
  }
  SelSockets ss = SocketsOf(rec);
  for (int i = 0; i < ss.n; ++i) DropForeign(hdl, ss.s[i]->socketNo);
  mSetHdl = hdl;
  if (SelIsListen(state)) {
    uint8_t si = (mode & NI_CONNECT) ? SISEL_READ | SISEL_EXCEPT : 0;
    for (int i = 0; i < ss.n && rc == WEQ_O_K; ++i) rc = NiSelISockSet(kFn, rec, ss.s[i], si, pData, replace);
  } else if (rec->mBuf != nullptr) {
    rc = NiBufISelSet(rec, rec->mBuf, this, mode, pData, replace);
  } else {
    rc = NiSelISockSet(kFn, rec, &rec->con.mSocket, PlainSiMode(mode), pData, replace);
  }
  mSetHdl = -1;
  return rc;
}

NI_RC NISEL_IMPL::NiSelIClear(NI_HDL hdl, uint8_t mode) {
  static constexpr const WEQ_UC* kFn = u"NiSelIClear";
  NITAB* rec = nullptr;
  NI_RC rc = NiIHdlCheck(hdl, kFn, &rec);
  if (rc != WEQ_O_K) return rc;
  uint8_t state = rec->mType.load(std::memory_order_acquire);
  if (SelIsListen(state)) {
    if (mode != 0 && mode != NI_CONNECT) return InvalidFlags(kFn, __LINE__, true, hdl);
    SelSockets ss = SocketsOf(rec);
    for (int i = 0; i < ss.n; ++i) {
      SI_RC si = Clear(ss.s[i], mode ? SISEL_READ | SISEL_EXCEPT : 0);
      if (si != SI_OK) return OpFail(kFn, __LINE__, u"clear", hdl, si, true);
    }
    return WEQ_O_K;
  }
  if (SelIsBuffered(rec)) {
    if (mode >= 8) return InvalidFlags(kFn, __LINE__, false, hdl);
    return NiBufISelClear(rec, rec->mBuf, this, mode);
  }
  if (mode >= 4) return InvalidFlags(kFn, __LINE__, false, hdl);
  SI_RC si = Clear(&rec->con.mSocket, PlainSiMode(mode));
  return si == SI_OK ? WEQ_O_K : OpFail(kFn, __LINE__, u"clear", hdl, si, true);
}

NI_RC NISEL_IMPL::NiSelIRemove(NI_HDL hdl, uint8_t mayCompact) {
  static constexpr const WEQ_UC* kFn = u"NiSelIRemove";
  NITAB* rec = nullptr;
  NI_RC rc = NiIHdlCheck(hdl, kFn, &rec);
  if (rc != WEQ_O_K) return rc;
  if (SelIsBuffered(rec)) {
    rc = NiBufISelRemove(rec, rec->mBuf, this);
    if (rc != WEQ_O_K) return rc;
  }
  SelSockets ss = SocketsOf(rec);
  for (int i = 0; i < ss.n; ++i) {
    rc = NiSelISockRemove(kFn, hdl, ss.s[i], mayCompact);
    if (rc != WEQ_O_K) return rc;
  }
  DPTRC_LINE(3, SelTrc(), u"%s: removed hdl %d\n", kFn, hdl);
  return WEQ_O_K;
}

NI_RC NISEL_IMPL::NiSelIRemoveAll() {
  static constexpr const WEQ_UC* kFn = u"NiSelIRemoveAll";
  for (uint32_t pos = 0; mPos != nullptr && pos < mUsedHigh && pos < mMaxEntries; ++pos) {
    NITAB* rec = mPos[pos].hdl != -1 ? NiIHdlLookup(mPos[pos].hdl) : nullptr;
    if (rec == nullptr || !SelIsBuffered(rec) || !NiBufISelIsMember(rec, rec->mBuf, this)) continue;
    NI_RC rc = NiBufISelRemove(rec, rec->mBuf, this);
    if (rc != WEQ_O_K) return rc;
  }
  SI_RC si = RemoveAll();
  if (si == SI_OK) return WEQ_O_K;
  if (si == SI_EINTERN) return NiIErrTrace(kNiSelModule, __LINE__, 1, u"%s: removeAll failed; internal error", NIEINTERN, kFn);
  return NiIErrTrace(kNiSelModule, __LINE__, 1, u"%s: removeAll failed; unknown error %d", NIEINTERN, kFn,
                     static_cast<int32_t>(si));
}

NI_RC NISEL_IMPL::NiSelIGetMode(NI_HDL hdl, uint8_t* pMode) {
  static constexpr const WEQ_UC* kFn = u"NiSelIGetMode";
  NITAB* rec = nullptr;
  NI_RC rc = NiIHdlCheck(hdl, kFn, &rec);
  if (rc != WEQ_O_K) return rc;
  *pMode = 0;
  if (SelIsBuffered(rec)) return NiBufISelGetMode(rec, rec->mBuf, this, pMode);
  SelSockets ss = SocketsOf(rec);
  if (ss.n == 0) return OpFail(kFn, __LINE__, u"getMode", hdl, SI_EINVAL, false);
  uint8_t m = 0;
  SI_RC si = GetMode(ss.s[0], &m);
  if (si != SI_OK) return OpFail(kFn, __LINE__, u"getMode", hdl, si, false);
  if (SelIsListen(rec->mType.load(std::memory_order_acquire)))
    *pMode = (m & (SISEL_READ | SISEL_EXCEPT)) ? NI_CONNECT : 0;
  else
    *pMode = static_cast<uint8_t>(((m & SISEL_EXCEPT) ? NI_READ : 0) | (m & (NI_READ | NI_WRITE)));
  return WEQ_O_K;
}

NI_RC NISEL_IMPL::NiSelIGetStat(NI_HDL hdl, uint8_t* pStat) {
  static constexpr const WEQ_UC* kFn = u"NiSelIGetStat";
  NITAB* rec = nullptr;
  NI_RC rc = NiIHdlCheck(hdl, kFn, &rec);
  if (rc != WEQ_O_K) return rc;
  *pStat = 0;
  if (SelIsBuffered(rec)) return NiBufISelGetStat(rec, rec->mBuf, this, pStat);
  SelSockets ss = SocketsOf(rec);
  if (ss.n == 0) return OpFail(kFn, __LINE__, u"getStat", hdl, SI_EINVAL, false);
  uint8_t s = 0;
  for (int i = 0; i < ss.n && s == 0; ++i) {
    SI_RC si = GetStat(ss.s[i], &s);
    if (si != SI_OK) return OpFail(kFn, __LINE__, u"getStat", hdl, si, false);
  }
  if (SelIsListen(rec->mType.load(std::memory_order_acquire))) {
    *pStat = (s & (SISEL_STAT_READ | SISEL_STAT_EXCEPT)) ? NI_CONNECT : 0;
    return WEQ_O_K;
  }
  *pStat = static_cast<uint8_t>(((s & SISEL_STAT_EXCEPT) ? NI_READ : 0) | (s % 8));
  uint32_t pos = 0;
  if (mSpec->GetSocketPos(ss.s[0], &pos) == SI_OK && mPos[pos].hdl == hdl && HeldReadable(rec, pos))
    *pStat |= NI_READ;
  return WEQ_O_K;
}

uint32_t NISEL_IMPL::NiSelIGetMaxEntries() { return GetMaxEntries(); }

bool NISEL_IMPL::NiSelIIsMember(NI_HDL hdl) {
  NITAB* rec = NiIHdlLookup(hdl);
  if (rec == nullptr || mSpec == nullptr || mPos == nullptr) return false;
  if (SelIsBuffered(rec)) return NiBufISelIsMember(rec, rec->mBuf, this);
  SelSockets ss = SocketsOf(rec);
  if (ss.n == 0) return false;
  uint32_t pos = 0;
  // The position must name this handle: a closed handle's entry with the
  // same socket number is not this one's membership.
  return mSpec->IsMember(ss.s[0]) && mSpec->GetSocketPos(ss.s[0], &pos) == SI_OK && mPos[pos].hdl == hdl;
}

NI_RC NISEL_IMPL::NiSelIGetData(NI_HDL hdl, void** ppData) {
  static constexpr const WEQ_UC* kFn = u"NiSelIGetData";
  NITAB* rec = nullptr;
  NI_RC rc = NiIHdlCheck(hdl, kFn, &rec);
  if (rc != WEQ_O_K) return rc;
  *ppData = nullptr;
  SelSockets ss = SocketsOf(rec);
  if (ss.n == 0) return OpFail(kFn, __LINE__, u"getData", hdl, SI_EINVAL, false);
  for (int i = 0; i < ss.n && *ppData == nullptr; ++i) {
    SI_RC si = GetData(ss.s[i], ppData);
    if (si != SI_OK) return OpFail(kFn, __LINE__, u"getData", hdl, si, false);
  }
  return WEQ_O_K;
}

NI_RC NISEL_IMPL::NiSelISetData(NI_HDL hdl, void* pData) {
  static constexpr const WEQ_UC* kFn = u"NiSelISetData";
  NITAB* rec = nullptr;
  NI_RC rc = NiIHdlCheck(hdl, kFn, &rec);
  if (rc != WEQ_O_K) return rc;
  SelSockets ss = SocketsOf(rec);
  if (ss.n == 0) return OpFail(kFn, __LINE__, u"setData", hdl, SI_EINVAL, false);
  for (int i = 0; i < ss.n; ++i) {
    SI_RC si = SetData(ss.s[i], pData);
    if (si != SI_OK) return OpFail(kFn, __LINE__, u"setData", hdl, si, false);
  }
  return WEQ_O_K;
}

// --- Select and the walk ----------------------------------------------------------------

void NISEL_IMPL::StatusError(NITAB* pRec, NI_HDL hdl, int32_t sock) {
  static constexpr const WEQ_UC* kFn = u"NiSelISelectInt";
  mErrCount += 1;
  if ((pRec->mFlags & NI_HDLFLAG_STATUS_ERROR) == 0) {
    pRec->mFlags |= NI_HDLFLAG_STATUS_ERROR;
    uint8_t state = pRec->mType.load(std::memory_order_acquire);
    if (state == NI_LISTEN) {
      DPTRC_ERROR(SelTrc(), u"%s: internal status error (hdl %d/sock %d !e [sock %d, sock %d])\n", kFn, hdl, sock,
                  pRec->lis.mIPSocket.socketNo, pRec->lis.mUDSocket.socketNo);
    } else {
      int32_t own = state == NI_RI_LISTEN ? pRec->ri.mSocket.socketNo : pRec->con.mSocket.socketNo;
      DPTRC_ERROR(SelTrc(), u"%s: internal status error (hdl %d/sock %d !e [sock %d])\n", kFn, hdl, sock, own);
    }
  }
  if (SelIsBuffered(pRec) && DPTRC_ON(1)) NiSelIDump(SelTrc());
}

NI_RC NISEL_IMPL::NiSelISelect(int32_t timeout, uint32_t* pCount) {
  static constexpr const WEQ_UC* kFn = u"NiSelISelect";
  mErrCount = 0;
  NI_RC rc = WEQ_O_K;
  bool recall = false;
  for (mTry = 0; mTry < static_cast<uint32_t>(kSelMaxTries); ++mTry) {
    rc = NiSelISelectInt(timeout, pCount, &recall);
    if (!recall) return rc;
  }
  DPTRC_ERROR(SelTrc(), u"%s: select recall after %d tries\n", kFn, kSelMaxTries);
  return rc;
}

NI_RC NISEL_IMPL::NiSelISelectInt(int32_t timeout, uint32_t* pCount, bool* pRecall) {
  static constexpr const WEQ_UC* kFn = u"NiSelISelectInt";
  *pRecall = false;
  if (pCount != nullptr) *pCount = 0;
  if (mSpec == nullptr || mPos == nullptr) return NiIErrTrace(kNiSelModule, __LINE__, 1, u"%s: select failed; internal error", NIEINTERN, kFn);
  while (mSelHead != kNoPos) {
    POS_ENTRY& e = mPos[mSelHead];
    mSelHead = e.next;
    e.next = e.prev = kNoPos;
    e.list = kNoList;
  }
  mSelCount = 0;
  mCursor = kNoPos;
  mCursorList = kSelList;
  if (DropStaleTakeHeld() != 0 || mReadyCount != 0) {
    DPTRC_LINE(2, SelTrc(), u"%s: handles ready; reset timeout\n", kFn);
    timeout = 0;
  }
  int64_t start = NiIMonoMs();
  uint32_t reported = 0;
  SI_RC si = Select(timeout, &reported);
  NiIWaitOverrun(start, timeout);
  if (si == SI_EINTERN) return NiIErrTrace(kNiSelModule, __LINE__, 1, u"%s: select failed; internal error", NIEINTERN, kFn);
  if (si != SI_OK)
    return NiIErrTrace(kNiSelModule, __LINE__, 1, u"%s: select failed; unknown error %d", NIEINTERN, kFn,
                       static_cast<int32_t>(si));
  for (;;) {
    uint8_t rd = 0, ex = 0, wr = 0;
    SI_SOCKET* ref = nullptr;
    void* data = nullptr;
    si = Next(&rd, &ex, &wr, &ref, &data);
    if (ref == nullptr) break;
    uint32_t pos = mSelPos;
    int32_t sock = mSpec->GetSocket(pos);
    NI_HDL hdl = mPos[pos].hdl;
    NITAB* rec = hdl != -1 ? NiIHdlLookup(hdl) : nullptr;
    if (mTry == 0 && rec != nullptr) rec->mFlags &= static_cast<uint8_t>(~NI_HDLFLAG_STATUS_ERROR);
    if (si == SI_EINVAL_SOCK) {
      if (hdl != -1)
        DPTRC_LINE(2, SelTrc(), u"%s: remove closed hdl %d/sock %d\n", kFn, hdl, sock);
      else
        DPTRC_LINE(2, SelTrc(), u"%s: remove closed sock %d\n", kFn, sock);
      mSpec->RemoveBySockNo(sock, 0);
      continue;
    }
    bool failed = si != SI_OK;
    if (failed) {
      if (hdl != -1)
        DPTRC_LINE(2, SelTrc(), u"%s: error detected on hdl %d/sock %d\n", kFn, hdl, sock);
      else
        DPTRC_LINE(2, SelTrc(), u"%s: error detected on sock %d\n", kFn, sock);
    }
    if (hdl == -1) {
      NiSelIListInsert(kSelList, pos);
      continue;
    }
    // Already there for the input its handle holds.
    if (mPos[pos].list == kSelList) continue;
    if (rec == nullptr) {
      DropIfStale(pos);
      continue;
    }
    if (SelIsBuffered(rec) && rec->mBuf->set == this) {
      if (sock != rec->con.mSocket.socketNo) {
        StatusError(rec, hdl, sock);
      } else {
        // A hang-up or an error is read: the read meets it and stores it.
        NiBufISelProcess(rec, rec->mBuf, this, data, failed || rd || ex, !failed && wr);
      }
    } else if (OwnsSocket(rec, sock)) {
      NiSelIListInsert(kSelList, pos);
    } else {
      StatusError(rec, hdl, sock);
    }
  }
  uint32_t total = mReadyCount + mSelCount;
  if (total == 0 && reported > 0) {
    *pRecall = true;
    return WEQ_O_K;
  }
  if (pCount != nullptr) *pCount = total;
  if (total != 0) {
    NiSelIStartLoop();
    DPTRC_LINE(2, SelTrc(), u"%s: %d handles selected (%d buffered)\n", kFn, static_cast<int32_t>(total),
               static_cast<int32_t>(mReadyCount));
  }
  return WEQ_O_K;
}

NI_RC NISEL_IMPL::NiSelIStartLoop() {
  if (mSelHead == kNoPos) {
    mCursor = mReadyHead;
    mCursorList = kReadyList;
  } else {
    mCursor = mSelHead;
    mCursorList = kSelList;
  }
  return WEQ_O_K;
}

NI_RC NISEL_IMPL::NiSelINext2(uint8_t* pRead, uint8_t* pExcept, uint8_t* pWrite, uint8_t* pConnect,
                              SI_SOCKET** ppSock, NI_HDL* pHdl, void** ppData) {
  static constexpr const WEQ_UC* kFn = u"NiSelINext2";
  *pRead = *pExcept = *pWrite = *pConnect = 0;
  *ppSock = nullptr;
  *pHdl = -1;
  *ppData = nullptr;
  while (mCursor != kNoPos) {
    uint32_t pos = mCursor;
    NI_HDL hdl = mPos[pos].hdl;
    int32_t sock = mSpec->GetSocket(pos);
    SI_SOCKET probe{sock, 0, 0, 0};
    uint8_t stat = 0;
    SI_SOCKET* ref = nullptr;
    void* data = nullptr;
    SI_RC si = mSpec->GetStatEx(&probe, &stat, &ref, &data);
    if (si != SI_OK) {
      if (si == SI_EINVAL || si == SI_EINTERN) {
        DPTRC_ERROR(SelTrc(), u"%s: getStatEx failed (sirc=%d) for pos=%d; hdl %d; sock %d\n", kFn,
                    static_cast<int32_t>(si), static_cast<int32_t>(pos), hdl, sock);
        if (DPTRC_ON(1)) NiSelIDump(SelTrc());
        return NiIErrTrace(kNiSelModule, __LINE__, 1, u"%s: next failed; internal error", NIEINTERN, kFn);
      }
      return NiIErrTrace(kNiSelModule, __LINE__, 1, u"%s: next failed; unknown error %d", NIEINTERN, kFn,
                         static_cast<int32_t>(si));
    }
    uint16_t nxt = mPos[pos].next;
    if (nxt == kNoPos && mCursorList == kSelList) {
      mCursor = mReadyHead;
      mCursorList = kReadyList;
    } else {
      mCursor = nxt;
    }
    NITAB* rec = hdl != -1 ? NiIHdlLookup(hdl) : nullptr;
    uint8_t out = 0;
    if (rec != nullptr && SelIsListen(rec->mType.load(std::memory_order_acquire))) {
      out = (stat & (SISEL_STAT_READ | SISEL_STAT_EXCEPT)) ? NI_CONNECT : 0;
    } else if (rec != nullptr && SelIsBuffered(rec) && rec->mBuf->set == this) {
      NI_RC rc = NiBufISelGetStat(rec, rec->mBuf, this, &out);
      if (rc != WEQ_O_K) return rc;
    } else {
      out = stat;
      if (stat & SISEL_STAT_ERROR) {
        // Let the owner try everything it waits for and meet the error there.
        uint8_t mode = 0;
        mSpec->GetMode(&probe, &mode);
        out = mode;
      }
      if (rec != nullptr && HeldReadable(rec, pos)) out |= SISEL_STAT_READ;
    }
    *pRead = out & SISEL_STAT_READ;
    *pExcept = (out & SISEL_STAT_EXCEPT) ? 1 : 0;
    *pWrite = (out & SISEL_STAT_WRITE) ? 1 : 0;
    *pConnect = (out & NI_CONNECT) ? 1 : 0;
    if (*pRead == 0 && *pExcept == 0 && *pWrite == 0 && *pConnect == 0) {
      DPTRC_LINE(3, SelTrc(), u"%s: not interested in event on hdl %d\n", kFn, hdl);
      continue;
    }
    *ppSock = ref;
    *pHdl = hdl;
    *ppData = data;
    return WEQ_O_K;
  }
  return WEQ_O_K;
}

NI_RC NISEL_IMPL::NiSelINext(uint8_t* pRead, uint8_t* pWrite, uint8_t* pConnect, NI_HDL* pHdl, void** ppData) {
  uint8_t rd = 0, ex = 0, wr = 0, cn = 0;
  SI_SOCKET* ref = nullptr;
  NI_HDL hdl = -1;
  void* data = nullptr;
  NI_RC rc;
  do {
    rc = NiSelINext2(&rd, &ex, &wr, &cn, &ref, &hdl, &data);
  } while (rc == WEQ_O_K && ref != nullptr && hdl == -1);
  *pHdl = rc == WEQ_O_K ? hdl : -1;
  if (pRead != nullptr) *pRead = static_cast<uint8_t>(rd | ex);
  if (pWrite != nullptr) *pWrite = wr;
  if (pConnect != nullptr) *pConnect = cn;
  if (ppData != nullptr) *ppData = data;
  return rc;
}

// --- Lists ----------------------------------------------------------------------------

void NISEL_IMPL::NiSelIListInsert(uint8_t list, uint32_t pos) {
  static constexpr const WEQ_UC* kFn = u"NiSelIListInsert";
  uint16_t& head = list == kSelList ? mSelHead : mReadyHead;
  uint32_t& count = list == kSelList ? mSelCount : mReadyCount;
  POS_ENTRY& e = mPos[pos];
  DPTRC_LINE(3, SelTrc(), u"%s: add hdl %d [%d] to %s-list (%d) of set%s\n", kFn, e.hdl, static_cast<int32_t>(pos),
             ListName(list), static_cast<int32_t>(count), +mName);
  if (e.list != kNoList || e.next != kNoPos || e.prev != kNoPos) {
    // Already linked: it stays where it is, in one list once.
    DPTRC_ERROR(SelTrc(), u"%s: internal status error (%d)\n", kFn, static_cast<int32_t>(pos));
    return;
  }
  e.next = head;
  e.prev = kNoPos;
  if (head != kNoPos) mPos[head].prev = static_cast<uint16_t>(pos);
  head = static_cast<uint16_t>(pos);
  e.list = list;
  count += 1;
}

void NISEL_IMPL::NiSelIListRemove(uint8_t list, uint32_t pos) {
  static constexpr const WEQ_UC* kFn = u"NiSelIListRemove";
  uint16_t& head = list == kSelList ? mSelHead : mReadyHead;
  uint32_t& count = list == kSelList ? mSelCount : mReadyCount;
  POS_ENTRY& e = mPos[pos];
  DPTRC_LINE(3, SelTrc(), u"%s: remove hdl %d [%d] from %s-list (%d) of set%s\n", kFn, e.hdl,
             static_cast<int32_t>(pos), ListName(list), static_cast<int32_t>(count), +mName);
  if (e.list != list || count == 0) {
    DPTRC_ERROR(SelTrc(), u"%s: internal status error (hdl %d;%d)\n", kFn, e.hdl, static_cast<int32_t>(pos));
    return;
  }
  if (mCursor == pos) {
    if (e.next == kNoPos && mCursorList == kSelList) {
      mCursor = mReadyHead;
      mCursorList = kReadyList;
    } else {
      mCursor = e.next;
    }
  }
  if (e.prev != kNoPos) {
    mPos[e.prev].next = e.next;
  } else if (head == pos) {
    head = e.next;
  } else {
    DPTRC_ERROR(SelTrc(), u"%s: internal status error (%d;%d)\n", kFn, static_cast<int32_t>(pos),
                static_cast<int32_t>(head));
    e.next = kNoPos;
    return;
  }
  if (e.next != kNoPos) mPos[e.next].prev = e.prev;
  e.next = e.prev = kNoPos;
  e.list = kNoList;
  count -= 1;
}

// --- Callbacks of the socket set --------------------------------------------------------

void NISEL_IMPL::CB_FUNCS_IMPL::CreateMsg(uint32_t entries) {
  NISEL_IMPL& s = *mSet;
  delete[] s.mPos;
  s.mPos = new (std::nothrow) POS_ENTRY[entries];
  s.mMaxEntries = 0;
  s.mUsedHigh = 0;
  if (s.mPos == nullptr) {
    NiIErrTrace(kNiSelModule, __LINE__, 1, u"%s: new failed for %d*%d bytes", NIEINTERN, u"NiSelICreateMsg",
                static_cast<int32_t>(entries), static_cast<int32_t>(sizeof(POS_ENTRY)));
    return;
  }
  for (uint32_t i = 0; i < entries; ++i) s.mPos[i] = POS_ENTRY{-1, kNoPos, kNoPos, kNoList};
  s.mMaxEntries = entries;
}

void NISEL_IMPL::CB_FUNCS_IMPL::AddMsg(uint32_t pos) {
  static constexpr const WEQ_UC* kFn = u"NiSelIAddMsg";
  NISEL_IMPL& s = *mSet;
  POS_ENTRY& e = s.mPos[pos];
  if (e.hdl != -1) DPTRC_ERROR(SelTrc(), u"%s: internal status error (hdl %d;%d)\n", kFn, e.hdl, static_cast<int32_t>(pos));
  e = POS_ENTRY{s.mSetHdl, kNoPos, kNoPos, kNoList};
  if (pos + 1 > s.mUsedHigh) s.mUsedHigh = pos + 1;
  DPTRC_LINE(3, SelTrc(), u"%s: added hdl %d to set%s\n", kFn, s.mSetHdl, +s.mName);
}

void NISEL_IMPL::CB_FUNCS_IMPL::MoveMsg(uint32_t from, uint32_t to) {
  static constexpr const WEQ_UC* kFn = u"NiSelIMoveMsg";
  NISEL_IMPL& s = *mSet;
  POS_ENTRY& dst = s.mPos[to];
  if (dst.hdl != -1) DPTRC_ERROR(SelTrc(), u"%s: internal status error (hdl %d;%d)\n", kFn, dst.hdl, static_cast<int32_t>(to));
  dst = s.mPos[from];
  s.mPos[from] = POS_ENTRY{-1, kNoPos, kNoPos, kNoList};
  auto t = static_cast<uint16_t>(to);
  if (dst.list != kNoList) {
    uint16_t& head = dst.list == kSelList ? s.mSelHead : s.mReadyHead;
    if (head == from) head = t;
    if (dst.prev != kNoPos) s.mPos[dst.prev].next = t;
    if (dst.next != kNoPos) s.mPos[dst.next].prev = t;
  }
  if (s.mCursor == from) s.mCursor = t;
  if (to + 1 > s.mUsedHigh) s.mUsedHigh = to + 1;
}

void NISEL_IMPL::CB_FUNCS_IMPL::RemoveMsg(uint32_t pos) {
  static constexpr const WEQ_UC* kFn = u"NiSelIRemoveMsg";
  NISEL_IMPL& s = *mSet;
  POS_ENTRY& e = s.mPos[pos];
  if (e.list != kNoList) {
    if (e.list == kReadyList) {
      NITAB* rec = e.hdl != -1 ? NiIHdlLookup(e.hdl) : nullptr;
      if (rec != nullptr && rec->mBuf != nullptr)
        DPTRC_ERROR(SelTrc(), u"%s: internal status error (hdl %d;%d)\n", kFn, e.hdl, static_cast<int32_t>(pos));
    }
    s.NiSelIListRemove(e.list, pos);
  }
  e = POS_ENTRY{-1, kNoPos, kNoPos, kNoList};
}

void NISEL_IMPL::CB_FUNCS_IMPL::ResetMsg() {
  NISEL_IMPL& s = *mSet;
  s.mSelHead = kNoPos;
  s.mSelCount = 0;
  s.mCursor = kNoPos;
  s.mCursorList = kSelList;
  if (s.mReadyCount != 0) {
    DPTRC_ERROR(SelTrc(), u"%s: internal status error (%d;%d)\n", u"NiSelIResetMsg",
                static_cast<int32_t>(s.mReadyHead), static_cast<int32_t>(s.mReadyCount));
  }
  s.mReadyHead = kNoPos;
  s.mReadyCount = 0;
  for (uint32_t i = 0; s.mPos != nullptr && i < s.mMaxEntries; ++i) s.mPos[i] = POS_ENTRY{-1, kNoPos, kNoPos, kNoList};
  s.mUsedHigh = 0;
}

void NISEL_IMPL::CB_FUNCS_IMPL::StorePos(uint32_t pos) { mSet->mSelPos = pos; }

void NISEL_IMPL::CB_FUNCS_IMPL::DumpPos(CTRC_HDL hdl, int32_t pos) {
  if (pos < 0) {
    DpTrcCont(hdl, u" | handle  prv nxt | t");
    return;
  }
  const POS_ENTRY& e = mSet->mPos[pos];
  DpTrcCont(hdl, u" | hdl %-3d %3d %3d |", e.hdl, e.prev == kNoPos ? -1 : static_cast<int32_t>(e.prev),
            e.next == kNoPos ? -1 : static_cast<int32_t>(e.next));
  NITAB* rec = e.hdl != -1 ? NiIHdlLookup(e.hdl) : nullptr;
  uint8_t state = rec != nullptr ? rec->mType.load(std::memory_order_acquire) : static_cast<uint8_t>(NI_FREE);
  const WEQ_UC* mark = u" E";
  if (rec == nullptr || state == NI_FREE)
    mark = u" -";
  else if (state <= NI_INITIAL_CON)
    mark = u" I";
  else if (state == NI_LISTEN)
    mark = u" L";
  else if (state == NI_RI_LISTEN)
    mark = u" R";
  else if (state == NI_CONN_WAIT)
    mark = u" W";
  else if (state == NI_CONNECTED || state == NI_ACCEPTED)
    mark = u" C";
  else if (state == NI_DG_CONNECTED || state == NI_DG_UNCONNECTED)
    mark = u" D";
  DpTrcCont(hdl, u"%s", mark);
  if (rec != nullptr && rec->mBuf != nullptr && (state == NI_CONN_WAIT || state == NI_CONNECTED || state == NI_ACCEPTED))
    DpTrcCont(hdl, u" buf");
}

NI_RC NISEL_IMPL::NiSelIDump(CTRC_HDL hdl) {
  DpTrcLock();
  DpTrc(hdl, u"NISEL set %p (%s)\n", static_cast<const void*>(this), +mName);
  DpTrcCont(hdl,
            u"select list   : %d (%d)\nready list    : %d (%d)\nnext          : %d (%c)\nset handle    : %d (-1)\n"
            u"sel handle    : %d\nmax entries   : %d\nRI servers    : %d\n",
            mSelHead == kNoPos ? -1 : static_cast<int32_t>(mSelHead), static_cast<int32_t>(mSelCount),
            mReadyHead == kNoPos ? -1 : static_cast<int32_t>(mReadyHead), static_cast<int32_t>(mReadyCount),
            mCursor == kNoPos ? -1 : static_cast<int32_t>(mCursor), mCursorList == kReadyList ? u'b' : u's', mSetHdl,
            static_cast<int32_t>(mSelPos), static_cast<int32_t>(mMaxEntries), static_cast<int32_t>(mRiServers));
  DpTrcUnlock();
  return mSpec != nullptr && mSpec->Dump(hdl) == SI_OK ? WEQ_O_K : NIEINTERN;
}

// --- Public entries ---------------------------------------------------------------------

NI_RC NiSelNewSet2(NISEL** ppSet, int32_t maxSockets) {
  static constexpr const WEQ_UC* kFn = u"NiSelNewSet2";
  if (ppSet == nullptr)
    return NiIErrTrace(kNiSelModule, __LINE__, 1, u"%s: parameter invalid (pNewSelSet == NULL)", NIEINVAL, kFn);
  *ppSet = nullptr;
  if (maxSockets < 0)
    return NiIErrTrace(kNiSelModule, __LINE__, 1, u"%s: parameter invalid (maxSockets < 0)", NIEINVAL, kFn);
  NISEL_IMPL* set = NiSelICreateSet(nullptr);
  if (set == nullptr) return NIEINTERN;
  NI_RC rc = set->NiSelIInit(maxSockets);
  if (rc != WEQ_O_K) {
    delete set;
    return rc;
  }
  *ppSet = set;
  return WEQ_O_K;
}

NI_RC NiSelSet(NISEL* pSet, NI_HDL hdl, uint8_t mode, void* pData) {
  if (pSet == nullptr)
    return NiIErrTrace(kNiSelModule, __LINE__, 1, u"%s: parameter invalid (pSet == NULL)", NIEINVAL, u"NiSelSet");
  return pSet->NiSelISet(hdl, mode, pData, 0);
}

NI_RC NiSelClear(NISEL* pSet, NI_HDL hdl, uint8_t mode) {
  static constexpr const WEQ_UC* kFn = u"NiSelClear";
  if (pSet == nullptr)
    return NiIErrTrace(kNiSelModule, __LINE__, 1, u"%s: parameter invalid (pSet == NULL)", NIEINVAL, kFn);
  NITAB* rec = nullptr;
  NI_RC rc = NiIHdlCheck(hdl, kFn, &rec);
  if (rc != WEQ_O_K) return rc;
  uint8_t state = rec->mType.load(std::memory_order_acquire);
  if (SelIsListen(state))
    mode &= NI_CONNECT;
  else if (rec->mBuf != nullptr)
    mode &= 7;
  else
    mode &= 3;
  if (!pSet->NiSelIIsMember(hdl)) return WEQ_O_K;
  rc = pSet->NiSelIClear(hdl, mode);
  if (rc != WEQ_O_K) return rc;
  uint8_t left = 0;
  if (pSet->NiSelIGetMode(hdl, &left) == WEQ_O_K && left == 0) pSet->NiSelIRemove(hdl, 1);
  return WEQ_O_K;
}

NI_RC NiSelSelect(NISEL* pSet, int32_t timeout) {
  if (pSet == nullptr)
    return NiIErrTrace(kNiSelModule, __LINE__, 1, u"%s: parameter invalid (pSet == NULL)", NIEINVAL, u"NiSelSelect");
  uint32_t count = 0;
  NI_RC rc = pSet->NiSelISelect(timeout, &count);
  if (rc != WEQ_O_K) return rc;
  return count != 0 ? WEQ_O_K : NIETIMEOUT;
}

NI_HDL NiSelNext(NISEL* pSet, uint8_t* pRead, uint8_t* pWrite, uint8_t* pConnect, void** ppData) {
  if (pSet == nullptr)
    return NiIErrTrace(kNiSelModule, __LINE__, 1, u"%s: parameter invalid (pSet == NULL)", NIEINVAL, u"NiSelNext");
  NI_HDL hdl = -1;
  NI_RC rc = pSet->NiSelINext(pRead, pWrite, pConnect, &hdl, ppData);
  return rc == WEQ_O_K ? hdl : -1;
}
