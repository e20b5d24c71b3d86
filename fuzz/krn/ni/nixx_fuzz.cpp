// The handle table against a model: a stream of takes, closes, checks of
// arbitrary numbers and restarts. Every number the table hands out must be
// slot * 8 + the slot's next generation, valid exactly while it is live, and
// no two live numbers may share a slot. An input is at most 128 bytes (the
// rest is not read): enough to fill the table and wrap a slot's generation
// several times, while a step that fails or restarts NI costs ten
// microseconds and more.
#include <arpa/inet.h>
#include <stdint.h>
#include <stdlib.h>

#include <iterator>
#include <map>
#include <vector>

#include "krn/ni/niaddr_int.h"
#include "krn/ni/nixx_int.h"
#include "krn/thr/thr.h"
#include "platform/tcpbuf.h"

namespace {

constexpr int32_t kHandles = 16;
constexpr size_t kMaxSteps = 128;

struct Model {
  std::map<int32_t, NI_HDL> live;      // slot -> number
  std::map<int32_t, int32_t> lastGen;  // slot -> generation of its last number
};

[[noreturn]] void Fail() { abort(); }

// The machine's own addresses for NI's start, which reads them at every
// start: a fixed list instead of the system's interface list, whose
// reading would take a third of the time (the list is not what is tested).
NI_RC OwnAddresses(NI_NODEADDR* addrs, WEQ_RAW* states, int capacity, int, int* count) {
  *count = 2;
  if (capacity >= 2) {
    addrs[0] = NiIPv4ToAddr(htonl(INADDR_LOOPBACK));
    addrs[1] = NiIPv4ToAddr(htonl(0x0A000001u));
    states[0] = states[1] = 1;
  }
  return WEQ_O_K;
}

// The system's TCP buffer sizing, which NI's start reads from three files
// of the kernel's settings each time: read once (a fifth of the time).
PlatTcpBufAuto g_tcpBuf;
bool g_tcpBufKnown = false;

bool SystemTcpBufOnce(PlatTcpBufAuto* out) {
  *out = g_tcpBuf;
  return g_tcpBufKnown;
}

bool Start() {
  NiISetAddrListFn(&OwnAddresses);
  g_tcpBufKnown = PlatTcpBufSystem(&g_tcpBuf);
  PlatTcpBufSetProvider(&SystemTcpBufOnce);
  return ThrProcInit() == THR_ERR_OK;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool started = Start();
  if (!started || NiInit3(kHandles) != WEQ_O_K) Fail();
  Model m;
  if (size > kMaxSteps) size = kMaxSteps;
  for (size_t i = 0; i < size; ++i) {
    uint8_t op = data[i];
    switch (op & 3) {
      case 0: {  // take
        NITAB* rec = nullptr;
        NI_RC rc = NiICreateHandle(&rec, NI_INITIAL_CON, nullptr);
        if (static_cast<int32_t>(m.live.size()) == kHandles) {
          if (rc != NIEINVAL) Fail();
          break;
        }
        if (rc != WEQ_O_K) Fail();
        NiISetState(rec, NI_CONNECTED, u"fuzz");
        NI_HDL h = rec->mHdl.load();
        int32_t slot = h >> 3;
        if (m.live.count(slot) != 0) Fail();
        int32_t want = m.lastGen.count(slot) ? (m.lastGen[slot] + 1) & 7 : 1;
        if ((h & 7) != want) Fail();
        m.live[slot] = h;
        m.lastGen[slot] = h & 7;
        break;
      }
      case 1: {  // close the live handle picked by the high bits
        if (m.live.empty()) break;
        auto it = m.live.begin();
        std::advance(it, (op >> 2) % m.live.size());
        if (NiCloseHandle(it->second) != WEQ_O_K) Fail();
        m.live.erase(it);
        break;
      }
      case 2: {  // check a number built from the next bytes
        int32_t n = op >> 2;
        if (i + 1 < size) n = (n << 8 | data[++i]) - 64;
        NITAB* rec = nullptr;
        NI_RC rc = NiIHdlCheck(n, u"fuzz", &rec);
        bool valid = n >= 0 && m.live.count(n >> 3) != 0 && m.live[n >> 3] == n;
        if ((rc == WEQ_O_K) != valid) Fail();
        if (valid && (rec == nullptr || rec->mHdl.load() != n)) Fail();
        break;
      }
      default: {  // restart: the next start must hand out a full table
        if (NiExit() != WEQ_O_K || NiInit3(kHandles) != WEQ_O_K) Fail();
        if (NiIFreeHandles() != kHandles) Fail();
        m.live.clear();
        m.lastGen.clear();
        break;
      }
    }
    if (NiIFreeHandles() != kHandles - static_cast<int32_t>(m.live.size())) Fail();
  }
  NiExit();
  return 0;
}
