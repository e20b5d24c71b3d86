// The forwarding select set, the choice of its implementation, and what
// the implementations share.
#include <stdlib.h>
#include <string.h>

#include <new>

#include "krn/perf/pfclock.h"
#include "krn/si/sisel/sisel.h"
#include "krn/si/sisel/sisel_int.h"

// --- SISEL_IMPL -----------------------------------------------------------------------

SISEL_IMPL::~SISEL_IMPL() { delete mSpec; }

SI_RC SISEL_IMPL::SiSelAddSpecImpl(const uint8_t* pType) {
  static const WEQ_UC kFn[] = u"SiSelAddSpecImpl";
  int type = SISEL_TYPE_SEL_NT;
  if (pType != nullptr) {
    type = *pType;
  } else if (SiPollAvailable() && getenv("WEQ_USE_WSAPOLL") != nullptr) {
    type = SISEL_TYPE_POLL;
  }
  SISEL_SPEC* spec = nullptr;
  switch (type) {
    case SISEL_TYPE_POLL:
      spec = new (std::nothrow) SISEL_POLL;
      break;
    case SISEL_TYPE_SEL_NT:
      spec = new (std::nothrow) SISEL_SEL_NT;
      break;
    case SISEL_TYPE_SEL_NT_FC:
      spec = new (std::nothrow) SISEL_SEL_NT_FC;
      break;
    default:
      DPTRC_ERROR(SISEL_TRC, u"%s: invalid implementation type %d\n", kFn, type);
      return SI_EINVAL;
  }
  if (spec == nullptr) {
    DPTRC_ERROR(SISEL_TRC, u"%s: failed to create specialized class\n", kFn);
    return SI_EMEMORY;
  }
  delete mSpec;
  mSpec = spec;
  return SI_OK;
}

// Until an implementation exists every operation is refused.
SI_RC SISEL_IMPL::Init(uint32_t maxEntries) { return mSpec ? mSpec->Init(maxEntries) : SI_EINVAL; }
SI_RC SISEL_IMPL::Set(SI_SOCKET* pSock, uint8_t mode, void* data, uint8_t replace) {
  return mSpec ? mSpec->Set(pSock, mode, data, replace) : SI_EINVAL;
}
SI_RC SISEL_IMPL::Clear(SI_SOCKET* pSock, uint8_t mode) {
  return mSpec ? mSpec->Clear(pSock, mode) : SI_EINVAL;
}
SI_RC SISEL_IMPL::ClearSet() { return mSpec ? mSpec->ClearSet() : SI_EINVAL; }
SI_RC SISEL_IMPL::Remove(SI_SOCKET* pSock, uint8_t mayCompact) {
  return mSpec ? mSpec->Remove(pSock, mayCompact) : SI_EINVAL;
}
SI_RC SISEL_IMPL::RemoveAll() { return mSpec ? mSpec->RemoveAll() : SI_EINVAL; }
SI_RC SISEL_IMPL::Select(int32_t timeoutMs, uint32_t* pCount) {
  return mSpec ? mSpec->Select(timeoutMs, pCount) : SI_EINVAL;
}
SI_RC SISEL_IMPL::StartLoop() { return mSpec ? mSpec->StartLoop() : SI_EINVAL; }
SI_RC SISEL_IMPL::Next(uint8_t* pRead, uint8_t* pExcept, uint8_t* pWrite, SI_SOCKET** ppSock,
                       void** ppData) {
  return mSpec ? mSpec->Next(pRead, pExcept, pWrite, ppSock, ppData) : SI_EINVAL;
}
SI_RC SISEL_IMPL::GetMode(SI_SOCKET* pSock, uint8_t* pMode) {
  return mSpec ? mSpec->GetMode(pSock, pMode) : SI_EINVAL;
}
SI_RC SISEL_IMPL::GetStat(SI_SOCKET* pSock, uint8_t* pStat) {
  return mSpec ? mSpec->GetStat(pSock, pStat) : SI_EINVAL;
}
uint32_t SISEL_IMPL::GetMaxEntries() { return mSpec ? mSpec->GetMaxEntries() : 0; }
bool SISEL_IMPL::IsMember(SI_SOCKET* pSock) { return mSpec ? mSpec->IsMember(pSock) : false; }
SI_RC SISEL_IMPL::GetData(SI_SOCKET* pSock, void** ppData) {
  return mSpec ? mSpec->GetData(pSock, ppData) : SI_EINVAL;
}
SI_RC SISEL_IMPL::SetData(SI_SOCKET* pSock, void* pData) {
  return mSpec ? mSpec->SetData(pSock, pData) : SI_EINVAL;
}
SI_RC SISEL_IMPL::Dump(CTRC_HDL hdl) { return mSpec ? mSpec->Dump(hdl) : SI_EINVAL; }

// --- Socket index ---------------------------------------------------------------------

namespace {

// The key of a look-up: a socket number seen as two 16-bit characters.
union Key {
  int32_t no;
  WEQ_UC ch[2];
};

}  // namespace

SI_RC SiSelIndex::Open(const WEQ_UC* fn, uint32_t capacity, const void* base) {
  Close(fn);
  const size_t size = FiSize(1, capacity, 2, 0);
  DPTRC_LINE(3, SISEL_TRC, u"%s: allocate %u bytes for FI (%u)\n", fn, (uint32_t)size, capacity);
  // Zeroed: a block that still carries the index's name from an earlier
  // allocation would be taken as set up, with stale offsets.
  mBlock = size == 0 ? nullptr : aligned_alloc(16, (size + 15) & ~size_t{15});
  if (mBlock == nullptr) {
    DPTRC_ERROR(SISEL_TRC, u"%s: failed to allocate WEQ_RAW[%u]\n", fn, (uint32_t)size);
    return SI_EMEMORY;
  }
  memset(mBlock, 0, size);
  int32_t rc = FiInit(mBlock, u"SISEL", 0, 1, capacity, 2, 0, 0, &mHeader);
  if (rc != FI_OK) {
    DPTRC_ERROR(SISEL_TRC, u"%s: FiInit failed (rc=%d)\n", fn, rc);
    Close(nullptr);
    return SI_EINTERN;
  }
  mBase = base;
  rc = FiOpenIndex(mHeader, 0, FI_MODE_LOCAL, base, 2, &mHdl);
  if (rc != FI_OK) {
    DPTRC_ERROR(SISEL_TRC, u"%s: FiOpenIndex failed (rc=%d)\n", fn, rc);
    mHdl = nullptr;
    Close(nullptr);
    return SI_EINTERN;
  }
  return SI_OK;
}

void SiSelIndex::Close(const WEQ_UC* fn) {
  if (mHdl != nullptr) {
    const int32_t rc = FiCloseIndex(mHdl);
    if (rc != FI_OK && fn != nullptr) DPTRC_ERROR(SISEL_TRC, u"%s: FiCloseIndex failed (rc=%d)\n", fn, rc);
    mHdl = nullptr;
  }
  free(mBlock);
  mBlock = nullptr;
  mHeader = nullptr;
}

SI_RC SiSelIndex::Reset(const WEQ_UC* fn) {
  int32_t rc = FiCloseIndex(mHdl);
  if (rc != FI_OK) {
    DPTRC_ERROR(SISEL_TRC, u"%s: FiCloseIndex failed (rc=%d)\n", fn, rc);
    return SI_EINTERN;
  }
  rc = FiOpenIndex(mHeader, 0, FI_MODE_LOCAL, mBase, 2, &mHdl);
  if (rc != FI_OK) {
    DPTRC_ERROR(SISEL_TRC, u"%s: FiOpenIndex failed (rc=%d)\n", fn, rc);
    mHdl = nullptr;
    return SI_EINTERN;
  }
  return SI_OK;
}

void* SiSelIndex::Find(int32_t sockNo) const {
  if (mHdl == nullptr) return nullptr;
  Key k;
  k.no = sockNo;
  uint32_t leaf = 0;
  if (FiLookup(mHdl, k.ch, &leaf) != FI_OK) return nullptr;
  return FiLeafValue(mHdl, leaf);
}

SI_RC SiSelIndex::Insert(const WEQ_UC* fn, const int32_t* key, void* entry) {
  const int32_t rc = FiInsert(mHdl, (const WEQ_UC*)key, entry, nullptr);
  if (rc != FI_OK) {
    DPTRC_ERROR(SISEL_TRC, u"%s: FiInsert failed (rc=%d)\n", fn, rc);
    return SI_EINTERN;
  }
  return SI_OK;
}

SI_RC SiSelIndex::Remove(const WEQ_UC* fn, int32_t sockNo) {
  Key k;
  k.no = sockNo;
  uint32_t leaf = 0;
  if (mHdl == nullptr || FiLookup(mHdl, k.ch, &leaf) != FI_OK) return SI_EINVAL;
  const int32_t rc = FiRemove(mHdl, leaf);
  if (rc != FI_OK) {
    DPTRC_ERROR(SISEL_TRC, u"%s: FiRemove failed (rc=%d)\n", fn, rc);
    return SI_EINTERN;
  }
  return SI_OK;
}

// --- Positions ------------------------------------------------------------------------

template <class EL>
bool SiSelSlots<EL>::Take(const WEQ_UC* fn, uint32_t* pos) {
  if (freeList != nullptr) {
    *pos = (uint32_t)(freeList - els);
    freeList = freeList->nextFree;
    return true;
  }
  if (count != high) {
    DPTRC_ERROR(SISEL_TRC, u"%s: internal status error (%u<>%u)\n", fn, count, high);
    return false;
  }
  *pos = high++;
  return true;
}

template <class EL>
bool SiSelSlots<EL>::Release(uint32_t pos, bool push) {
  if (pos + 1 == high) {
    --high;
    return true;
  }
  if (push) {
    els[pos].nextFree = freeList;
    freeList = &els[pos];
  }
  return false;
}

template struct SiSelSlots<SISEL_POLL::FD_EL>;
template struct SiSelSlots<SISEL_SEL_NT::FD_EL>;

// --- Failed selects and closed mode ---------------------------------------------------

SI_RC SiSelIFailedWait(const WEQ_UC* fn, SI_RC rc, int32_t err, int32_t timeoutMs, bool* closed,
                       uint32_t* count) {
  if (rc == SI_EINVAL_SOCK) {
    *closed = true;
    DPTRC_LINE(2, SISEL_TRC, u"%s: few sockets already closed\n", fn);
    DPTRC_LINE(2, SISEL_TRC, u"%s: set selFDs to 1 (no timeout)\n", fn);
    *count = 1;
    return SI_OK;
  }
  if (rc == SI_EINVAL) {
    // Reported as a time-out; the time is waited out so that an owner that
    // loops on time-outs does not spin. A wait without limit cannot be
    // waited out and returns at once.
    DPTRC_LINE(2, SISEL_TRC, u"%s: SiSelect returned SI_EINVAL; sleep for %d ms\n", fn, timeoutMs);
    if (timeoutMs > 0) NT_SleepMs((uint32_t)timeoutMs);
    *count = 0;
    return SI_OK;
  }
  WEQ_UC text[256];
  SiErrText(err, text, 256);
  DPTRC_ERROR(SISEL_TRC, u"%s: SiSelect failed (%d-%s)\n", fn, err, text);
  *count = 0;
  return SI_EINTERN;
}

bool SiSelIProbeClosed(int32_t sockNo) {
  SI_SOCKET s{sockNo, SI_AF_INET, SI_SOCK_STREAM, 0};
  return SiPeek(&s, SI_PEEK_READ, 0) == SI_EINVAL_SOCK;
}

// --- Shared rules ---------------------------------------------------------------------

bool SiSelICapacity(const WEQ_UC* fn, uint32_t maxEntries, uint32_t* cap) {
  if (maxEntries > SISEL_MAX_ENTRIES) {
    DPTRC_ERROR(SISEL_TRC, u"%s: parameter too big (%u>%u)\n", fn, maxEntries, SISEL_MAX_ENTRIES);
    return false;
  }
  *cap = maxEntries < 2 ? 2 : maxEntries;
  return true;
}

SI_RC SiSelICanAdd(const WEQ_UC* fn, int32_t sockNo, uint32_t count, uint32_t cap) {
  if (sockNo < 0) {
    DPTRC_ERROR(SISEL_TRC, u"%s: sock %d negative\n", fn, sockNo);
    return SI_EINVAL;
  }
  if (count >= cap) {
    DPTRC_ERROR(SISEL_TRC, u"%s: maximum of sockets reached (%u)\n", fn, cap);
    return SI_EINVAL;
  }
  return SI_OK;
}

void SiSelIClearOuts(uint8_t* pRead, uint8_t* pExcept, uint8_t* pWrite, SI_SOCKET** ppSock,
                     void** ppData) {
  *ppSock = nullptr;
  if (ppData != nullptr) *ppData = nullptr;
  if (pRead != nullptr) *pRead = 0;
  if (pExcept != nullptr) *pExcept = 0;
  if (pWrite != nullptr) *pWrite = 0;
}
