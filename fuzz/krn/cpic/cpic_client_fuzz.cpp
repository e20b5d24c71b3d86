// A client conversation whose gateway answers are fuzz bytes: the
// initialise (over a connect whose answer names the header version and
// options), then allocates, sends, receives, syncs, partner names, error
// information and a deallocate in the order the input gives, every answer
// served through the entry's read function (writes are dropped). The
// answers are whole headers with fuzzed fields and data, raw bytes, pieces
// cut by time-outs, pings or a broken connection. Every verb ends, no
// receive writes past its requested length or reports more, and after the
// deallocate no conversation entry is left.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "krn/cpic/cpic.h"
#include "krn/cpic/cpic_int.h"
#include "krn/gw/gw.h"
#include "krn/gw/gw_int.h"
#include "krn/thr/thr.h"

#define CLIENT_CHECK(c) \
  do {                  \
    if (!(c)) abort();  \
  } while (0)

namespace {

struct Input {
  const uint8_t* p;
  size_t n;
  uint8_t Byte() {
    if (n == 0) return 0;
    --n;
    return *p++;
  }
  uint16_t Word() { return static_cast<uint16_t>(Byte() << 8 | Byte()); }
  std::string Take(size_t k) {
    k = std::min(k, n);
    std::string s(reinterpret_cast<const char*>(p), k);
    p += k, n -= k;
    return s;
  }
};

// The gateway as the entry's read function sees it.
struct Gateway {
  std::vector<std::pair<int, std::string>> events;  // kind: 0 message, 1 time-out after bytes, 2 ping, 3 broken
  size_t next = 0;
  std::string rest;  // of the message being read
  bool inMessage = false;
  int reads = 0;
  uint8_t connectVersion = 6, acceptInfo = 0;
  uint8_t requestVersion = 3;
};

Gateway g_gw;

NI_RC ClientRead(NI_HDL, void* buf, int len, int, uint32_t* got, int32_t) {
  *got = 0;
  CLIENT_CHECK(++g_gw.reads < 200000);
  if (len < 0) return NIEINVAL;
  if (!g_gw.inMessage) {
    if (g_gw.next >= g_gw.events.size()) return NIECONN_BROKEN;
    const auto& ev = g_gw.events[g_gw.next++];
    if (ev.first == 2) return NIEPING;
    if (ev.first == 3) return NIECONN_BROKEN;
    if (ev.first == 1) {
      size_t give = std::min({ev.second.size(), static_cast<size_t>(len)});
      memcpy(buf, ev.second.data(), give);
      *got = static_cast<uint32_t>(give);
      return NIETIMEOUT;
    }
    g_gw.rest = ev.second;
    g_gw.inMessage = true;
  }
  size_t give = std::min(g_gw.rest.size(), static_cast<size_t>(len));
  if (give > 0) memcpy(buf, g_gw.rest.data(), give);
  *got = static_cast<uint32_t>(give);
  g_gw.rest.erase(0, give);
  if (!g_gw.rest.empty()) return NIETOO_SMALL;
  g_gw.inMessage = false;
  return WEQ_O_K;
}

NI_RC ClientWrite(NI_HDL, const void*, int len, int, uint32_t* written, int32_t) {
  *written = static_cast<uint32_t>(len);
  return WEQ_O_K;
}

NI_RC ClientClose(NI_HDL, int32_t) { return WEQ_O_K; }

// The connect through the gateway library's slots: a handle, the request
// taken, an answer of its version with the header version and options.
NI_RC GwConnect(const WEQ_UC*, const WEQ_UC*, int32_t, NI_HDL* hdl, uint32_t, void*) {
  *hdl = 7;
  return WEQ_O_K;
}
NI_RC GwWrite(NI_HDL, const void* data, int len, int, uint32_t* written, void*) {
  if (len > 0) g_gw.requestVersion = static_cast<const uint8_t*>(data)[0];
  *written = static_cast<uint32_t>(len);
  return WEQ_O_K;
}
NI_RC GwRead(NI_HDL, void* buf, int len, int, uint32_t* got, void*) {
  size_t n = g_gw.requestVersion == 2 ? 64 : 136;
  if (static_cast<size_t>(len) < n) return NIETOO_SMALL;
  auto* a = static_cast<uint8_t*>(buf);
  memset(a, 0, n);
  a[54] = g_gw.connectVersion;
  a[55] = g_gw.acceptInfo;
  *got = static_cast<uint32_t>(n);
  return WEQ_O_K;
}
NI_RC GwClose(NI_HDL, void*) { return WEQ_O_K; }

void SetUpOnce() {
  static bool done = [] {
    ThrProcInit();
    STIAllocConvMem(4);
    CM_RETURN_CODE rc = CM_OK;
    STInitGlobals(&rc, 0, nullptr, 0);
    static const GwNiOps ops{{u"GwConnect", GwConnect}, {u"GwWrite", GwWrite}, {u"GwRead", GwRead},
                             {u"GwClose", GwClose}};
    GwISetOps(&ops);
    STISetIoFns(ClientRead, ClientWrite, ClientClose);
    return true;
  }();
  (void)done;
}

constexpr int32_t kCodes[] = {0, 18, 17, 10002, 27, 26, 3, 1};

// A whole answer header of the connect's version with fuzzed fields.
std::string Answer(Input& in, uint8_t version) {
  int hl = GwAppcHdrLen(version);
  std::string h(static_cast<size_t>(hl), '\0');
  uint8_t sel = in.Byte();
  h[0] = static_cast<char>((sel & 0x80) ? in.Byte() : version);
  h[1] = static_cast<char>(in.Byte());
  h[16] = static_cast<char>(in.Byte());  // Info3
  h[30] = static_cast<char>(in.Byte());  // Info
  auto put32 = [&](size_t off, uint32_t v) {
    if (off + 4 > h.size()) return;
    for (int i = 0; i < 4; ++i) h[off + static_cast<size_t>(i)] = static_cast<char>(v >> (24 - 8 * i));
  };
  put32(32, static_cast<uint32_t>(kCodes[sel & 7]));
  put32(36, (sel & 8) ? 726u : 0u);
  put32(22, in.Word());
  for (size_t off : {52u, 56u, 60u, 64u}) put32(off, (sel & 0x40) ? in.Word() : in.Byte() % 5);
  std::string data = in.Take(in.Word() % 40000);
  return h + data;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  SetUpOnce();
  Input in{data, size};
  g_gw = Gateway();
  g_gw.connectVersion = static_cast<uint8_t>(1 + in.Byte() % 6);
  g_gw.acceptInfo = in.Byte();
  uint8_t setup = in.Byte();
  std::string ops = in.Take(in.Byte() % 24);
  while (in.n > 0) {
    uint8_t k = in.Byte();
    switch (k % 5) {
      case 0: g_gw.events.emplace_back(0, Answer(in, g_gw.connectVersion)); break;
      case 1: g_gw.events.emplace_back(0, in.Take(in.Word() % 300)); break;
      case 2: g_gw.events.emplace_back(1, in.Take(in.Byte())); break;
      case 3: g_gw.events.emplace_back(2, std::string()); break;
      default: g_gw.events.emplace_back(3, std::string()); break;
    }
  }

  char id[8];
  CM_RETURN_CODE rc = WEQ_STINIT3(id, u"FUZZ", u"lu", u"tp", u"gw", u"3300", u'I', 0, nullptr, nullptr);
  if (rc == CM_OK) {
    if (CPIC_CONV_ENTRY* e = STISearchConv(id, 0, 0)) {
      e->f.bufferState = (setup & 1) ? BUFFER_EMPTY : BUFFER_DISABLED;
      e->f.rcvTimeout = (setup & 2) ? 0 : -1;
      e->f.rcvTimeoutGiven = (setup >> 2) & 1;
    }
    std::string buf(41000, '\0');
    for (unsigned char op : ops) {
      int32_t len = static_cast<int32_t>((op >> 3) * 1300), rts = 0, dr = 0, rl = 0, st = 0;
      switch (op & 7) {
        case 0: rc = STALLC(id, nullptr); break;
        case 1: rc = STSEND(id, buf.data(), &len, &rts, nullptr); break;
        case 2: {
          buf[static_cast<size_t>(len)] = '\x5A';
          rc = STRCV(id, buf.data(), &len, &dr, &rl, &st, &rts, nullptr);
          CLIENT_CHECK(buf[static_cast<size_t>(len)] == '\x5A');
          if (rc == CM_OK) CLIENT_CHECK(rl >= 0 && rl <= len);
          break;
        }
        case 3: rc = STSYNC(id, nullptr); break;
        case 4: rc = STSPLN(id, u"partner", &len, nullptr); break;
        case 5: rc = WEQ_CMSENDERRINFO(id, 726, 17, nullptr); break;
        case 6: rc = WEQ_CMTIMEOUT2(id, (op & 8) ? 0 : -1, nullptr); break;
        default: rc = STDEAL(id, nullptr); break;
      }
    }
    STDEAL(id, nullptr);
  }
  CLIENT_CHECK(STIActiveConvs() == 0);
  ErrClear();
  return 0;
}
