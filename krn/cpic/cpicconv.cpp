// The conversation table: entries at stable addresses, taken and reset
// under conv_proto_cs, found by id through a per-thread cache of the last
// index; new own ids when the gateway's id is taken; the table's size verb;
// the traced NI wrappers every entry's I/O goes through.
//
// Storage. The table is a row of blocks: block b holds kBlockBase << b
// entries, so that growing never moves an entry and an index finds its block
// by one bit scan. Blocks beyond cpic_max_conv exist only as room for growth.
// cpic_max_conv is published (release) after the blocks it covers, so the
// unlocked scans never see an index without its entry.
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <atomic>
#include <new>

#include "i18n/wequ16/u16fmt.h"
#include "i18n/wequ16/u16str.h"
#include "krn/cpic/cpic.h"
#include "krn/cpic/cpic_int.h"

namespace {

constexpr int32_t kBlockBase = 16;
constexpr int kBlocks = 28;  // kBlockBase * (2^28 - 1) entries cover INT32_MAX

std::atomic<CPIC_CONV_ENTRY*> g_block[kBlocks];
std::atomic<int32_t> g_maxConv{-1};
std::atomic<int32_t> g_active{0};
std::atomic<int32_t> g_highest{0};
// Under conv_proto_cs.
int g_blocksMade = 0;
int64_t g_capacity = 0;
uint32_t g_idCounter = 0;
void* (*g_alloc)(size_t, size_t) = calloc;
std::atomic<STI_READ_FN> g_readFn{nullptr};
std::atomic<STI_WRITE_FN> g_writeFn{nullptr};
std::atomic<STI_CLOSE_FN> g_closeFn{nullptr};

#define STI_SEARCH u"STISearchConv"

int64_t BlockSize(int b) { return static_cast<int64_t>(kBlockBase) << b; }

CPIC_CONV_ENTRY* Locate(int32_t index) {
  uint32_t q = static_cast<uint32_t>(index / kBlockBase) + 1;
  int b = 31 - __builtin_clz(q);
  int64_t first = static_cast<int64_t>(kBlockBase) * ((int64_t{1} << b) - 1);
  return g_block[b].load(std::memory_order_acquire) + (index - first);
}

// Makes room for count entries: all new blocks are had before any is used,
// so a failure leaves the table as it was. *bytes receives the size of the
// block that could not be had.
bool Grow(int64_t count, int64_t* bytes) {
  int made = g_blocksMade;
  int64_t cap = g_capacity;
  CPIC_CONV_ENTRY* fresh[kBlocks] = {};
  while (cap < count) {
    if (made >= kBlocks) {
      *bytes = INT64_MAX;
      break;
    }
    int64_t n = BlockSize(made);
    void* p = calloc(static_cast<size_t>(n), sizeof(CPIC_CONV_ENTRY));
    if (p == nullptr) {
      *bytes = n * static_cast<int64_t>(sizeof(CPIC_CONV_ENTRY));
      break;
    }
    fresh[made++] = static_cast<CPIC_CONV_ENTRY*>(p);
    cap += n;
  }
  if (cap < count) {
    for (CPIC_CONV_ENTRY* p : fresh) free(p);
    return false;
  }
  for (int b = g_blocksMade; b < made; ++b) {
    int64_t n = BlockSize(b);
    for (int64_t i = 0; i < n; ++i) {
      CPIC_CONV_ENTRY* e = new (fresh[b] + i) CPIC_CONV_ENTRY();
      STIResetConv(e, false);
    }
    g_block[b].store(fresh[b], std::memory_order_release);
  }
  g_blocksMade = made;
  g_capacity = cap;
  return true;
}

// Whether an in-use entry other than the one at exclude holds v as its own
// or its gateway id.
bool IdTaken(uint64_t v, int32_t exclude) {
  int32_t max = g_maxConv.load(std::memory_order_acquire);
  for (int32_t i = 0; i < max; ++i) {
    CPIC_CONV_ENTRY* e = Locate(i);
    if (i != exclude && e->inUse.load() && (e->id.load() == v || e->gwId.load() == v)) return true;
  }
  return false;
}

// Frees the blocks an entry owns.
void FreeOwned(CpicConvFields& f) {
  free(f.msgBuf);
  free(f.gwHost);
  free(f.gwServ);
  free(f.sncParams);
  free(f.sncPending);
  free(f.regText);
  free(f.traceRecord);
}

// A read or write through NI, traced at the entry's level 3.
template <class Buf, class Io>
NI_RC TracedIo(const WEQ_UC* name, const WEQ_UC* okFmt, Io io, NI_HDL hdl, Buf buffer, int length,
               int timeout, uint32_t* done, int32_t index) {
  CPIC_CONV_ENTRY* e = STIConvAt(index);
  CPIC_ENTRY_TRC(e, 3, u"%s(%d,%p,%d,%d)\n", name, hdl, static_cast<const void*>(buffer), length, timeout);
  uint32_t out = 0;
  NI_RC rc = io(hdl, buffer, length, timeout, &out);
  if (done != nullptr) *done = out;
  if (rc == WEQ_O_K) {
    CPIC_ENTRY_TRC(e, 3, okFmt, name, out);
  } else {
    CPIC_ENTRY_TRC(e, 3, u"%s (%s)\n", name, NiErrorName(rc));
  }
  return rc;
}

}  // namespace

CpicIIdText::CpicIIdText(const char* id) {
  if (id == nullptr) {
    strcpy_sU16(s, 9, u"<NULL>");
  } else if (CpicFieldToU16(s, nullptr, 9, id, 8, 1, 0) != 0) {
    s[0] = 0;
  }
}

CpicIIdText::CpicIIdText(uint64_t v) {
  char id[8];
  CpicIU64ToId(v, id);
  if (CpicFieldToU16(s, nullptr, 9, id, 8, 1, 0) != 0) s[0] = 0;
}

CPIC_CONV_ENTRY* STIConvAt(int32_t index) {
  if (index < 0 || index >= g_maxConv.load(std::memory_order_acquire)) return nullptr;
  return Locate(index);
}

int32_t STIMaxConv(void) { return g_maxConv.load(std::memory_order_acquire); }
int32_t STIActiveConvs(void) { return g_active.load(); }
int32_t STIHighestConvs(void) { return g_highest.load(); }
void STISetAllocHook(void* (*alloc)(size_t, size_t)) { g_alloc = alloc != nullptr ? alloc : calloc; }

void STISetIoFns(STI_READ_FN read, STI_WRITE_FN write, STI_CLOSE_FN close) {
  g_readFn.store(read);
  g_writeFn.store(write);
  g_closeFn.store(close);
}

void STISetIdCounter(uint32_t value) {
  ThrCSLock(&conv_proto_cs);
  g_idCounter = value;
  ThrCSUnlock(&conv_proto_cs);
}

CM_RETURN_CODE STIAllocConvMem(int32_t count) {
  ThrCSLock(&conv_proto_cs);
  CM_RETURN_CODE rc = CM_OK;
  int32_t max = g_maxConv.load();
  int64_t bytes = 0;
  // A table of no slots is a table: every take fails until it grows.
  if (count < 0) {
    WEQ_UC value[16];
    snprintfU16(value, 16, u"%d", count);
    CPIC_ERR(C_ILLEGAL_PARAMETER2, u"STIAllocConvMem", u"count", value);
    rc = CM_RESOURCE_FAILURE_NO_RETRY;
  } else if (max >= 0 && count <= max) {
    CPIC_TRC(2, u"%s: already allocated (%d)\n", u"STIAllocConvMem", max);
  } else if (max >= 0) {
    CPIC_TRC(2, u"%s: oops no_elem=%d > cpic_max_conv=%d\n", u"STIAllocConvMem", count, max);
    rc = CM_RESOURCE_FAILURE_RETRY;
  } else if (!Grow(count, &bytes)) {
    CPIC_ERR_SYS(C_NO_MEM, u"malloc", errno ? errno : ENOMEM, bytes);
    rc = CM_RESOURCE_FAILURE_NO_RETRY;
  } else {
    g_active.store(0);
    g_highest.store(0);
    g_maxConv.store(count, std::memory_order_release);
  }
  ThrCSUnlock(&conv_proto_cs);
  return rc;
}

void STIResetConv(CPIC_CONV_ENTRY* e, bool countDown) {
  if (e == nullptr) return;
  // A session still live (a set-up whose connect failed) ends here: its
  // GSS-API context would otherwise outlive the entry.
  if (e->f.sncHdl != nullptr) STISncDone(e);
  ThrCSLock(&conv_proto_cs);
  CpicConvFields& f = e->f;
  FreeOwned(f);
  bool wasInUse = e->inUse.load();
  f = CpicConvFields{};
  e->id.store(kCpicBlankIdU64);
  e->gwId.store(kCpicBlankIdU64);
  e->traceLevel.store(0);
  const CpicGlobals& g = CpicIGlobals();
  f.hdrVersion = 6;
  f.connIdx = 0xFFFF;
  f.readHdl = NI_INVALID_HDL;
  f.writeHdl = NI_INVALID_HDL;
  f.regIndex = -1;
  f.sncState = 2;
  f.bufferState = g.buffering ? BUFFER_EMPTY : BUFFER_DISABLED;
  f.connectTimeout = g.connectTimeout;
  f.traceRaw = g.traceRaw;
  f.traceAppcHdr = g.traceAppcHdr;
  e->inUse.store(0);
  e->sweepPing.store(0);
  e->pingBusy.clear();
  e->generation.fetch_add(1);
  // A free entry is never counted down: a second reset leaves the count.
  if (countDown && wasInUse) g_active.fetch_sub(1);
  ThrCSUnlock(&conv_proto_cs);
}

CM_RETURN_CODE STIGetFreeConv(const WEQ_UC* caller, int32_t* index) {
  STI_GLOB* glob = STIGetGlob();
  if (glob == nullptr) return CM_RESOURCE_FAILURE_RETRY;
  ThrCSLock(&conv_proto_cs);
  int32_t max = g_maxConv.load();
  CPIC_CONV_ENTRY* e = nullptr;
  int32_t i = 0;
  for (; i < max; ++i) {
    e = Locate(i);
    if (!e->inUse.load()) break;
  }
  if (i >= max) {
    CPIC_ERR(C_MAX_CONV, max);
    ThrCSUnlock(&conv_proto_cs);
    return CM_PRODUCT_SPECIFIC_ERROR;
  }
  e->inUse.store(1);
  glob->lastIndex = i;
  int32_t active = g_active.fetch_add(1) + 1;
  if (active > g_highest.load()) g_highest.store(active);
  // The layer's values a new conversation starts with, as they stand now.
  const CpicGlobals& g = CpicIGlobals();
  const CpicGlobals::ConvDefaults defaults{g.connectTimeout, g.defaultRcvTimeout, g.pingActive, g.pingReply,
                                           g.pingPeriod,     g.pingTimeout,       g.buffering};
  ThrCSUnlock(&conv_proto_cs);

  const WEQ_UC* name = caller != nullptr ? caller : u"STIGetFreeConv";
  auto* snc = static_cast<CPIC_SNC_PARAMS*>(g_alloc(1, sizeof(CPIC_SNC_PARAMS)));
  if (snc == nullptr) {
    CPIC_ERR_SYS(C_NO_MEM, name, errno ? errno : ENOMEM, static_cast<int>(sizeof(CPIC_SNC_PARAMS)));
    STIResetConv(e, true);
    return CM_PRODUCT_SPECIFIC_ERROR;
  }
  snc->first = 1;
  snc->mode = 2;
  snc->role = 0;
  e->f.sncParams = snc;
  e->f.traceRecord = static_cast<WEQ_RAW*>(g_alloc(1, CPIC_TRACE_RECORD_LEN));
  if (e->f.traceRecord == nullptr) {
    CPIC_ERR_SYS(C_NO_MEM, name, errno ? errno : ENOMEM, CPIC_TRACE_RECORD_LEN);
    STIResetConv(e, true);
    return CM_PRODUCT_SPECIFIC_ERROR;
  }
  e->traceLevel.store(CpicTrcLevel());
  e->f.traceHdl = CpicIOutHdl();
  e->f.connectTimeout = defaults.connectTimeout;
  e->f.rcvTimeout = defaults.rcvTimeout;
  e->f.creationTime = static_cast<int64_t>(time(nullptr));
  e->f.index = i;
  e->f.pingActive = defaults.pingActive;
  e->f.pingReply = defaults.pingReply;
  e->f.pingPeriod = defaults.pingPeriod;
  e->f.pingTimeout = defaults.pingTimeout;
  // The table is made before the layer reads its options: a slot that was
  // never used since has the buffer state of the default.
  e->f.bufferState = defaults.buffering ? BUFFER_EMPTY : BUFFER_DISABLED;
  STI_READ_FN readFn = g_readFn.load();
  STI_WRITE_FN writeFn = g_writeFn.load();
  STI_CLOSE_FN closeFn = g_closeFn.load();
  e->f.readFn = readFn != nullptr ? readFn : STINiRead;
  e->f.readFnName = u"STINiRead";
  e->f.writeFn = writeFn != nullptr ? writeFn : STINiWrite;
  e->f.writeFnName = u"STINiWrite";
  e->f.closeFn = closeFn != nullptr ? closeFn : STINiCloseHandle;
  e->f.closeFnName = u"STINiCloseHandle";
  if (index != nullptr) *index = i;
  return CM_OK;
}

CPIC_CONV_ENTRY* STISearchConv(const char* id, int report, int gwIdFlag) {
  STI_GLOB* glob = STIGetGlob();
  if (glob == nullptr) {
    CPIC_TRC(2, u"%s\n", ErrGetAllTxt());
    return nullptr;
  }
  if (id == nullptr) return nullptr;
  uint64_t want = CpicIIdToU64(id);
  // Eight blanks are the id of every entry that has none yet (free, or
  // taken by a thread that sets its conversation up): they name no
  // conversation, so no verb ever reaches an entry before it is whole.
  if (want == kCpicBlankIdU64) {
    if (report == 1) CPIC_ERR(C_NO_CONV, CpicIIdText(want).s);
    return nullptr;
  }
  CPIC_CONV_ENTRY* e = STIConvAt(glob->lastIndex);
  if (e != nullptr && e->inUse.load()) {
    if (e->id.load() == want) {
      e->handoff.load(std::memory_order_acquire);
      CPIC_ENTRY_TRC(e, 2, u"%s: found conv without search\n", STI_SEARCH);
      return e;
    }
    if (gwIdFlag && e->gwId.load() == want) {
      e->handoff.load(std::memory_order_acquire);
      CPIC_ENTRY_TRC(e, 2, u"%s: found gwy conv without search\n", STI_SEARCH);
      return e;
    }
  }
  int32_t max = STIMaxConv();
  for (int32_t i = 0; i < max; ++i) {
    e = Locate(i);
    if (e->inUse.load() && e->id.load() == want) {
      e->handoff.load(std::memory_order_acquire);
      CPIC_ENTRY_TRC(e, 2, u"%s: found conv after search (%d)\n", STI_SEARCH, i);
      if (!gwIdFlag) glob->lastIndex = i;
      return e;
    }
  }
  if (gwIdFlag) {
    for (int32_t i = 0; i < max; ++i) {
      e = Locate(i);
      if (e->inUse.load() && e->gwId.load() == want) {
        e->handoff.load(std::memory_order_acquire);
        CPIC_ENTRY_TRC(e, 2, u"%s: found gwy conv after search (%d)\n", STI_SEARCH, i);
        return e;
      }
    }
  }
  if (report == 1) CPIC_ERR(C_NO_CONV, CpicIIdText(want).s);
  return nullptr;
}

void STIGenerateNewConvId(CPIC_CONV_ENTRY* entry) {
  if (entry == nullptr) return;
  ThrCSLock(&conv_proto_cs);
  uint64_t gw = entry->gwId.load();
  char cand[8];
  CpicIU64ToId(gw, cand);
  int32_t self = entry->f.index;
  bool found = false;
  // A blank gateway id has no digits to count up: the counter gives one.
  for (int pos = gw == kCpicBlankIdU64 ? 8 : 0; pos < 8 && !found; ++pos) {
    for (int t = 0; t < 10 && !found; ++t) {
      cand[pos] = static_cast<char>(cand[pos] + 1);
      if (cand[pos] > '9') cand[pos] = '0';
      found = !IdTaken(CpicIIdToU64(cand), self);
    }
  }
  while (!found) {
    ++g_idCounter;
    char text[16];
    WEQ_UC wide[16];
    snprintfU16(wide, 16, u"%08u", g_idCounter);
    for (int i = 0; i < 8; ++i) text[i] = static_cast<char>(wide[i]);
    memcpy(cand, text, 8);
    found = !IdTaken(CpicIIdToU64(cand), self);
    if (!found && g_idCounter > 99999999u) g_idCounter = 0;
  }
  entry->id.store(CpicIIdToU64(cand));
  CPIC_ENTRY_TRC(entry, 2, u"%s: generate new conversation id %.8s => %.8s\n", u"STIGenerateNewConvId",
            CpicIIdText(gw).s, CpicIIdText(CpicIIdToU64(cand)).s);
  ThrCSUnlock(&conv_proto_cs);
}

bool STIAssignConvId(CPIC_CONV_ENTRY* entry, const char* gwId, const WEQ_UC* caller) {
  if (entry == nullptr || gwId == nullptr) return false;
  ThrCSLock(&conv_proto_cs);
  uint64_t gw = CpicIIdToU64(gwId);
  entry->gwId.store(gw);
  // A blank id would leave the conversation unreachable: it gets an own
  // id as a taken one does.
  bool blank = gw == kCpicBlankIdU64;
  bool dup = !blank && IdTaken(gw, entry->f.index);
  if (dup) CPIC_ENTRY_TRC(entry, 2, u"%s: found duplicate conversation id\n", caller != nullptr ? caller : u"");
  if (dup || blank) {
    STIGenerateNewConvId(entry);
  } else {
    entry->id.store(gw);
  }
  ThrCSUnlock(&conv_proto_cs);
  return dup || blank;
}

CM_RETURN_CODE WEQ_CMMAXCONV(int count) {
  if (CTrcInitLib() != 0) {
    fprintfU16(stderr, u"%s: CTrcInitLib() failed\n", u"WEQ_CMMAXCONV");
    return CM_UNSUCCESSFUL;
  }
  const WEQ_UC* name = u"WEQ_CMMAXCONV";
  CPIC_TRC(2, u"*************** %s (%d) ***************\n", name, count);
  if (CpicICreateProtoCs(CpicIOutHdl(), CpicTrcLevel()) != CM_OK) return CM_PRODUCT_SPECIFIC_ERROR;
  ThrCSLock(&conv_proto_cs);
  int32_t max = g_maxConv.load();
  if (max >= 0) {
    CM_RETURN_CODE rc = CM_OK;
    int64_t bytes = 0;
    if (count <= max) {
      CPIC_TRC(2, u"%s: value lower than actual size (%d)\n", name, max);
    } else if (!Grow(count, &bytes)) {
      CPIC_ERR_SYS(C_NO_MEM, u"realloc", errno ? errno : ENOMEM, bytes);
      rc = CM_UNSUCCESSFUL;
    } else {
      g_maxConv.store(count, std::memory_order_release);
      CPIC_TRC(2, u"%s: reallocated %d -> %d conversation slots\n", name, max, count);
      CPIC_TRC(2, u"%s: ok\n", name);
    }
    ThrCSUnlock(&conv_proto_cs);
    return rc;
  }
  if (count < 0) {
    ThrCSUnlock(&conv_proto_cs);
    CPIC_TRC_ERR(u"%s: %d < 0\n", name, count);
    return CM_PARAMETER_ERROR;
  }
  CM_RETURN_CODE rc = STIAllocConvMem(count);
  ThrCSUnlock(&conv_proto_cs);
  if (rc != CM_OK) {
    CPIC_TRC(2, u"%s: can't allocate memory for %d conversations\n", name, count);
    return rc;
  }
  CPIC_TRC(2, u"%s: allocated %d conversation slots\n", name, count);
  if (!CpicIGlobals().initialised.load(std::memory_order_acquire)) {
    STInitGlobals(&rc, 1, CpicIOutHdl(), CpicTrcLevel());
  }
  return rc;
}

void STIRecalcTraceLevel(int32_t index) {
  int32_t max = STIMaxConv();
  int highest = -1;
  for (int32_t i = 0; i < max; ++i) {
    CPIC_CONV_ENTRY* e = Locate(i);
    if (i != index && e->inUse.load()) {
      int l = e->traceLevel.load();
      if (l > highest) highest = l;
    }
  }
  if (highest >= 0) {
    CpicISetLevel(highest);
  } else if (CPIC_CONV_ENTRY* own = STIConvAt(index)) {
    CpicISetLevel(own->f.savedTraceLevel);
  }
}

NI_RC STINiWrite(NI_HDL hdl, const void* buffer, int length, int timeout, uint32_t* written, int32_t index) {
  return TracedIo(u"STINiWrite", u"%s ok, written = %d\n", NiWrite, hdl, buffer, length, timeout, written,
                  index);
}

NI_RC STINiRead(NI_HDL hdl, void* buffer, int length, int timeout, uint32_t* readLen, int32_t index) {
  return TracedIo(u"STINiRead", u"%s ok, readlen = %d\n", NiRead, hdl, buffer, length, timeout, readLen,
                  index);
}

NI_RC STINiCloseHandle(NI_HDL hdl, int32_t index) {
  const WEQ_UC* name = u"STINiCloseHandle";
  if (hdl == NI_INVALID_HDL) {
    DPTRC_LINE(2, CpicIOutHdl(), u"%s: invalid handle\n", name);
    return WEQ_O_K;
  }
  CPIC_CONV_ENTRY* e = STIConvAt(index);
  NI_RC rc = NIEINVAL;
  // A handle in the select set is closed by the set's owner; when the
  // request cannot reach it, here (the set drops a closed handle's place).
  if (e != nullptr && e->f.inSelectSet) rc = STISelDelete(e, hdl);
  if (rc != WEQ_O_K) rc = NiCloseHandle(hdl);
  if (rc == WEQ_O_K) {
    CPIC_ENTRY_TRC(e, 2, u"%s: handle %d ok\n", name, hdl);
  } else {
    CPIC_ENTRY_TRC(e, 2, u"%s: handle %d (%s)\n", name, hdl, NiErrorName(rc));
  }
  return rc;
}

void STIFreeConvTable(void) {
  ThrCSLock(&conv_proto_cs);
  for (int b = 0; b < g_blocksMade; ++b) {
    CPIC_CONV_ENTRY* block = g_block[b].load();
    for (int64_t i = 0; i < BlockSize(b); ++i) {
      FreeOwned(block[i].f);
      block[i].~CPIC_CONV_ENTRY();
    }
    g_block[b].store(nullptr);
    free(block);
  }
  g_blocksMade = 0;
  g_capacity = 0;
  g_maxConv.store(-1);
  g_active.store(0);
  g_highest.store(0);
  g_idCounter = 0;
  ThrCSUnlock(&conv_proto_cs);
}
