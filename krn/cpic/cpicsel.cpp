// The registered server program's select set: one NI select set for the
// process with a wakeup server in it, the requests of other threads to its
// owner (set modes, close a handle), the owner's wait WEQ_CMLISTEN with
// its keep-alive sweep and WEQ_CMGETNEXTHDL, which carries the requests
// out and hands over the next ready handle.
//
// The set holds room for every NI handle the layer starts NI with, so that
// every conversation slot and the wakeup server fit however far
// WEQ_CMMAXCONV grows the table (a registration and the conversation
// accepted through it share one handle).
#include <errno.h>
#include <string.h>

#include <atomic>
#include <new>

#include "krn/cpic/cpic.h"
#include "krn/cpic/cpic_int.h"

namespace {

constexpr WEQ_UC kInitSel[] = u"STIInitSelSet";
constexpr WEQ_UC kSelSet[] = u"STISelSet";
constexpr WEQ_UC kSelDelete[] = u"STISelDelete";
constexpr WEQ_UC kListen[] = u"WEQ_CMLISTEN";
constexpr WEQ_UC kNextHdl[] = u"WEQ_CMGETNEXTHDL";

constexpr int32_t kSelRoom = 32768;  // the NI handles the layer starts NI with
constexpr uint8_t kAllModes = 255;

// A request to the set's owner: one datagram, host byte order.
struct SelRequest {
  int32_t hdl;
  int32_t mode;
  int32_t op;  // 1 set modes, 2 clear modes, 3 remove and close
  int32_t reserved;
  uint64_t userValue;
};
static_assert(sizeof(SelRequest) == 24);
enum : int32_t { kOpSet = 1, kOpClear = 2, kOpClose = 3 };

// Built under wakeup_cs; once ready is set (release), the fields are only
// read by other threads and the set belongs to the listening thread.
struct SelState {
  NISEL** holder = nullptr;
  NI_WAKEUP_SERVER* server = nullptr;
  NI_HDL serverHdl = NI_INVALID_HDL;
  NI_WAKEUP_CLIENT* client = nullptr;
  std::atomic<bool> ready{false};
  // Released by each request's sender, acquired by the owner when it takes
  // a request: what the sender did before (a write on a handle it asks to
  // close, say) is the owner's to see. The datagram itself orders nothing
  // for the language.
  std::atomic<uint64_t> requests{0};
  // The listening thread's.
  bool sweepKnown = false;
  int64_t lastSweep = 0;
};

SelState* g_sel = new SelState();
// Test seam: the step of the next set-up that fails (0: none).
std::atomic<int> g_failStep{0};

bool Fails(int step) {
  int want = step;
  return g_failStep.compare_exchange_strong(want, 0);
}

NISEL* TheSet() { return g_sel->holder != nullptr ? *g_sel->holder : nullptr; }

NI_RC SendRequest(const SelRequest& req) {
  if (!g_sel->ready.load(std::memory_order_acquire)) return NIEINVAL;
  g_sel->requests.fetch_add(1, std::memory_order_release);
  return NiWakeupExec2(g_sel->client, &req, sizeof req);
}

// Closes the wakeup server after a failed step of the set-up.
void CloseServer() {
  NI_RC rc = NiWakeupClose(&g_sel->server);
  if (rc == WEQ_O_K) {
    CPIC_TRC(2, u"%s: closed server handle\n", kInitSel);
  } else {
    CPIC_TRC(2, u"%s: NiWakeupClose() failed (%s)\n", kInitSel, NiErrorName(rc));
  }
}

// Pings every registration that waits in the set for a gateway that takes
// NI pings, each once its ping period has passed since its last ping.
void Sweep(int64_t now) {
  int32_t max = STIMaxConv();
  for (int32_t i = 0; i < max; ++i) {
    CPIC_CONV_ENTRY* e = STIConvAt(i);
    if (e == nullptr || !e->inUse.load() || !e->sweepPing.load()) continue;
    if (e->pingBusy.test_and_set(std::memory_order_acquire)) continue;
    // The owner may have stopped the sweep before the flag was had.
    bool due = e->sweepPing.load() && (e->f.lastPing == 0 || now - e->f.lastPing >= e->f.pingPeriod);
    e->pingBusy.clear(std::memory_order_release);
    if (due) STISendConvNiping(e);
  }
}

// One request of another thread, carried out by the set's owner.
void Apply(NISEL* set, const SelRequest& req) {
  NI_RC rc;
  void* data = reinterpret_cast<void*>(static_cast<uintptr_t>(req.userValue));
  switch (req.op) {
    case kOpSet:
      rc = NiSelSet(set, req.hdl, static_cast<uint8_t>(req.mode), data);
      if (rc == WEQ_O_K) rc = set->NiSelISetData(req.hdl, data);
      if (rc != WEQ_O_K) CPIC_TRC(2, u"%s: NiSelSet failed (%s)\n", kNextHdl, NiErrorName(rc));
      break;
    case kOpClear:
      rc = NiSelClear(set, req.hdl, static_cast<uint8_t>(req.mode));
      if (rc != WEQ_O_K) CPIC_TRC(2, u"%s: NiSelClear failed (%s)\n", kNextHdl, NiErrorName(rc));
      break;
    case kOpClose:
      rc = NiSelClear(set, req.hdl, kAllModes);
      if (rc != WEQ_O_K) CPIC_TRC(2, u"%s: NiSelClear failed (%s)\n", kNextHdl, NiErrorName(rc));
      rc = NiCloseHandle(req.hdl);
      if (rc != WEQ_O_K) CPIC_TRC(2, u"%s: NiCloseHandle failed (%s)\n", kNextHdl, NiErrorName(rc));
      break;
    default:
      CPIC_TRC(2, u"%s: unknown mask (%d)\n", kNextHdl, req.op);
      break;
  }
}

}  // namespace

bool STISelReady(void) { return g_sel->ready.load(std::memory_order_acquire); }

CM_RETURN_CODE STIInitSelSet(CM_RETURN_CODE* rc) {
  CpicTrcInit(1, 1, 0, 0, kInitSel);
  if (!CpicIGlobals().initialised.load(std::memory_order_acquire)) {
    CM_RETURN_CODE grc = CM_OK;
    if (STInitGlobals(&grc, 0, nullptr, 0) != CM_OK) return CpicIRc(rc, grc);
  }
  SelState& s = *g_sel;
  if (s.ready.load(std::memory_order_acquire)) return CpicIRc(rc, CM_OK);
  ThrRc lrc = ThrCSLock(&wakeup_cs);
  if (lrc != 0) {
    WEQ_UC text[64];
    snprintfU16(text, 64, u"ThrCSLock(wakeup_cs) failed (%d)", static_cast<int>(lrc));
    CPIC_ERR(C_CS_ERROR, static_cast<const WEQ_UC*>(text));
    return CpicIRc(rc, CM_PRODUCT_SPECIFIC_ERROR);
  }
  CM_RETURN_CODE code = CM_OK;
  if (!s.ready.load()) {
    CPIC_TRC(2, u"*************** %s ***************\n", kInitSel);
    auto fail = [&](CM_RETURN_CODE c) {
      s.serverHdl = NI_INVALID_HDL;
      code = c;
    };
    if (s.holder == nullptr) {
      auto* holder = new (std::nothrow) NISEL*(nullptr);
      if (holder == nullptr) {
        CPIC_ERR_SYS(C_NO_MEM, u"malloc", ENOMEM, static_cast<int>(sizeof(NISEL*)));
        CPIC_TRC(2, u"%s: mallocR(%d) failed (%s)\n", kInitSel, static_cast<int>(sizeof(NISEL*)), u"ENOMEM");
        fail(CM_RESOURCE_FAILURE_NO_RETRY);
      } else {
        NI_RC nrc = Fails(1) ? NIEINTERN : NiSelNewSet2(holder, kSelRoom);
        if (nrc != WEQ_O_K) {
          NiErrSet(nrc);
          CPIC_TRC(2, u"%s: NiSelNewSet(%p,%d) failed (%d)", kInitSel, static_cast<void*>(holder), kSelRoom, nrc);
          delete holder;
          fail(CM_RESOURCE_FAILURE_NO_RETRY);
        } else {
          s.holder = holder;
          CPIC_TRC(2, u"%s: created select set (%d sockets)\n", kInitSel, kSelRoom);
        }
      }
    }
    if (code == CM_OK) {
      NI_RC nrc = Fails(2) ? NIEINTERN : NiWakeupOpen(&s.server);
      if (nrc != WEQ_O_K) {
        NiErrSet(nrc);
        CPIC_TRC(2, u"%s: NiWakeupOpen failed (%s)\n", kInitSel, NiErrorName(nrc));
        fail(CM_RESOURCE_FAILURE_NO_RETRY);
      }
    }
    if (code == CM_OK) {
      s.serverHdl = NiWakeupGetNiHdl(s.server);
      CPIC_TRC(2, u"%s: opened server handle %d\n", kInitSel, s.serverHdl);
      NI_RC nrc = Fails(3) ? NIEINTERN : NiWakeupAttach(s.server, &s.client);
      if (nrc != WEQ_O_K) {
        NiErrSet(nrc);
        CPIC_TRC(2, u"%s: NiWakeupAttach() failed (%s)\n", kInitSel, NiErrorName(nrc));
        CloseServer();
        fail(CM_RESOURCE_FAILURE_NO_RETRY);
      } else {
        CPIC_TRC(2, u"%s: attached to server\n", kInitSel);
      }
    }
    if (code == CM_OK) {
      NI_RC nrc = Fails(4) ? NIEINTERN : NiSelSet(*s.holder, s.serverHdl, NI_READ, nullptr);
      if (nrc != WEQ_O_K) {
        NiErrSet(nrc);
        CPIC_TRC(2, u"%s: NiSelSet(%p,%d,NI_READ,NULL) failed (%s)\n", kInitSel, static_cast<void*>(*s.holder),
                 s.serverHdl, NiErrorName(nrc));
        NI_RC drc = NiWakeupDetach(&s.client);
        if (drc == WEQ_O_K) {
          CPIC_TRC(2, u"%s: detach from wakeup server\n", kInitSel);
        } else {
          CPIC_TRC(2, u"%s: NiWakeupDetach failed (%s)\n", kInitSel, NiErrorName(drc));
        }
        CloseServer();
        fail(CM_RESOURCE_FAILURE_NO_RETRY);
      }
    }
    if (code == CM_OK) {
      CPIC_TRC(2, u"%s: ok\n", kInitSel);
      s.ready.store(true, std::memory_order_release);
    }
  }
  ThrCSUnlock(&wakeup_cs);
  return CpicIRc(rc, code);
}

NI_RC STISelSet(NI_HDL hdl, uint8_t mode, uint64_t userValue) {
  SelRequest req{hdl, mode, kOpSet, 0, userValue};
  NI_RC rc = SendRequest(req);
  if (rc != WEQ_O_K)
    CPIC_TRC_ERR(u"%s: NiWakeupExec2(%p,%p,%d)) failed (%s)\n", kSelSet, static_cast<void*>(g_sel->client),
                 static_cast<const void*>(&req), static_cast<int>(sizeof req), NiErrorName(rc));
  return rc;
}

NI_RC STISelSetEntry(CPIC_CONV_ENTRY* e, NI_HDL hdl, uint8_t mode, uint64_t userValue) {
  e->handoff.fetch_add(1, std::memory_order_release);
  return STISelSet(hdl, mode, userValue);
}

NI_RC STISelDelete(CPIC_CONV_ENTRY* e, NI_HDL hdl) {
  SelRequest req{hdl, 0, kOpClose, 0, 0};
  NI_RC rc = SendRequest(req);
  if (rc != WEQ_O_K)
    CPIC_ENTRY_ERR(e, u"%s: NiWakeupExec2(%p,%p,%d) failed (%s)\n", kSelDelete, static_cast<void*>(g_sel->client),
                   static_cast<const void*>(&req), static_cast<int>(sizeof req), NiErrorName(rc));
  return rc;
}

CM_RETURN_CODE WEQ_CMLISTEN(int32_t timeout, CM_RETURN_CODE* rc) {
  SelState& s = *g_sel;
  int64_t now = CpicIMonoSeconds();
  if (!s.sweepKnown) {
    s.sweepKnown = true;
    s.lastSweep = now;
  }
  // Also a set whose server failed before: the set-up is tried again.
  if (!s.ready.load(std::memory_order_acquire)) {
    CM_RETURN_CODE irc = STIInitSelSet(nullptr);
    if (irc != CM_OK) {
      CPIC_TRC(2, u"%s: STIInitSelSet failed (%d)\n", kListen, irc);
      return CpicIRc(rc, irc);
    }
  }
  CPIC_TRC(2, u"*************** %s ***************\n", kListen);
  CPIC_TRC(2, u"%s: timeout = %d\n", kListen, timeout);
  NI_RC nrc = NiSelSelect(TheSet(), timeout);
  now = CpicIMonoSeconds();
  if (nrc == WEQ_O_K) {
    int64_t every = timeout / 1000;
    if (every < 0) every = 1;
    if (now - s.lastSweep > every) {
      Sweep(now);
      s.lastSweep = now;
    }
    CPIC_TRC(2, u"%s: ok\n", kListen);
    return CpicIRc(rc, CM_OK);
  }
  if (nrc == NIETIMEOUT) {
    Sweep(now);
    s.lastSweep = now;
    CPIC_TRC(2, u"%s: timeout after %d msecs\n", kListen, timeout);
    return CpicIRc(rc, CM_WEQ_TIMEOUT_RETRY);
  }
  CPIC_TRC_ERR(u"%s: NiSelSelect failed (%s)\n", kListen, NiErrorName(nrc));
  return CpicIRc(rc, CM_RESOURCE_FAILURE_NO_RETRY);
}

CM_RETURN_CODE WEQ_CMGETNEXTHDL(int32_t* handle, void** userValue, CM_RETURN_CODE* rc) {
  SelState& s = *g_sel;
  if (!s.ready.load(std::memory_order_acquire)) {
    CPIC_TRC(2, u"%s: not initialized\n", kNextHdl);
    return CpicIRc(rc, CM_UNSUCCESSFUL);
  }
  if (handle == nullptr) return CpicIRc(rc, STINullArg(kNextHdl, u"handle"));
  CPIC_TRC(2, u"*************** %s ***************\n", kNextHdl);
  NISEL* set = TheSet();
  void* data = nullptr;
  NI_HDL h = NiSelNext(set, nullptr, nullptr, nullptr, &data);
  while (h != NI_INVALID_HDL && h == s.serverHdl) {
    CPIC_TRC(2, u"%s: request for Wakeup server\n", kNextHdl);
    for (;;) {
      SelRequest req{};
      uint32_t got = 0;
      NI_RC crc = NiWakeupCollect2(s.server, &req, sizeof req, &got);
      if (crc == NIETIMEOUT) break;
      if (crc != WEQ_O_K) {
        CPIC_TRC(2, u"%s: NiWakeupCollect2 failed (%s)\n", kNextHdl, NiErrorName(crc));
        break;
      }
      s.requests.load(std::memory_order_acquire);
      if (got == sizeof req) Apply(set, req);
    }
    data = nullptr;
    h = NiSelNext(set, nullptr, nullptr, nullptr, &data);
  }
  if (userValue != nullptr) *userValue = data;
  if (h != NI_INVALID_HDL) NiSelClear(set, h, kAllModes);
  *handle = h;
  CPIC_TRC(2, u"%s: ok, hdl = %d\n", kNextHdl, h);
  return CpicIRc(rc, CM_OK);
}

void STISetSelFault(int step) { g_failStep.store(step); }

void STIResetSelSet(void) {
  SelState& s = *g_sel;
  if (s.client != nullptr) NiWakeupDetach(&s.client);
  if (s.server != nullptr) NiWakeupClose(&s.server);
  if (s.holder != nullptr) {
    delete *s.holder;
    delete s.holder;
  }
  delete g_sel;
  g_sel = new SelState();
}
