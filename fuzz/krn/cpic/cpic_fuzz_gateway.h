// The gateway as the fuzz targets of the verbs see it: the gateway
// library's connect slots answer a connect record of the request's version
// with the header version and options of the input, and every entry taken
// from then on reads a list of events (whole messages, parts cut by a
// time-out, pings, a broken connection) and writes into nothing. One
// instance per fuzz executable.
#ifndef FUZZ_KRN_CPIC_CPIC_FUZZ_GATEWAY_H
#define FUZZ_KRN_CPIC_CPIC_FUZZ_GATEWAY_H

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "fuzz/input.h"
#include "krn/cpic/cpic.h"
#include "krn/cpic/cpic_int.h"
#include "krn/gw/gw.h"
#include "krn/gw/gw_int.h"
#include "krn/thr/thr.h"

namespace cpicfuzz {

using Bytes = tovfuzz::Input;

enum EventKind { kMessage = 0, kTimeoutAfter = 1, kPing = 2, kBroken = 3 };

struct Gateway {
  std::vector<std::pair<int, std::string>> events;
  size_t next = 0;
  std::string rest;  // of the message being read
  bool inMessage = false;
  int reads = 0;
  uint8_t connectVersion = 6, acceptInfo = 0;
  uint8_t requestVersion = 3;
};

inline Gateway g_gateway;

inline NI_RC GatewayRead(NI_HDL, void* buf, int len, int, uint32_t* got, int32_t) {
  Gateway& g = g_gateway;
  *got = 0;
  // Bounded: a loop that does not end is a finding of its own.
  if (++g.reads >= 200000) abort();
  if (len < 0) return NIEINVAL;
  if (!g.inMessage) {
    if (g.next >= g.events.size()) return NIECONN_BROKEN;
    const auto& ev = g.events[g.next++];
    if (ev.first == kPing) return NIEPING;
    if (ev.first == kBroken) return NIECONN_BROKEN;
    if (ev.first == kTimeoutAfter) {
      size_t give = std::min(ev.second.size(), static_cast<size_t>(len));
      memcpy(buf, ev.second.data(), give);
      *got = static_cast<uint32_t>(give);
      return NIETIMEOUT;
    }
    g.rest = ev.second;
    g.inMessage = true;
  }
  size_t give = std::min(g.rest.size(), static_cast<size_t>(len));
  if (give > 0) memcpy(buf, g.rest.data(), give);
  *got = static_cast<uint32_t>(give);
  g.rest.erase(0, give);
  if (!g.rest.empty()) return NIETOO_SMALL;
  g.inMessage = false;
  return WEQ_O_K;
}

inline NI_RC GatewayWrite(NI_HDL, const void*, int len, int, uint32_t* written, int32_t) {
  *written = static_cast<uint32_t>(len);
  return WEQ_O_K;
}

inline NI_RC GatewayClose(NI_HDL, int32_t) { return WEQ_O_K; }

inline NI_RC ConnectSlot(const WEQ_UC*, const WEQ_UC*, int32_t, NI_HDL* hdl, uint32_t, void*) {
  *hdl = 11;
  return WEQ_O_K;
}
inline NI_RC WriteSlot(NI_HDL, const void* data, int len, int, uint32_t* written, void*) {
  if (len == 64 || len == 136) g_gateway.requestVersion = static_cast<const uint8_t*>(data)[0];
  *written = static_cast<uint32_t>(len);
  return WEQ_O_K;
}
inline NI_RC ReadSlot(NI_HDL, void* buf, int len, int, uint32_t* got, void*) {
  size_t n = g_gateway.requestVersion == 2 ? 64 : 136;
  if (static_cast<size_t>(len) < n) return NIETOO_SMALL;
  auto* a = static_cast<uint8_t*>(buf);
  memset(a, 0, n);
  a[54] = g_gateway.connectVersion;
  a[55] = g_gateway.acceptInfo;
  *got = static_cast<uint32_t>(n);
  return WEQ_O_K;
}
inline NI_RC CloseSlot(NI_HDL, void*) { return WEQ_O_K; }

// Requests of the select set's other users are carried out, so that none
// piles up in the wakeup server.
inline void Collect() {
  int32_t h = 0;
  WEQ_CMLISTEN(0, nullptr);
  while (WEQ_CMGETNEXTHDL(&h, nullptr, nullptr) == CM_OK && h != -1) {
  }
}

// The layer started once with the gateway above in place of NI.
inline void SetUpOnce(bool selectSet) {
  static bool done = [selectSet] {
    ThrProcInit();
    // The trace counts as set up, on a stream that keeps nothing: a
    // partner's trace level would otherwise open a trace file.
    CpicTrcInit(0, 0, 0, 1, u"fuzz");
    CpicISetHdl(fopen("/dev/null", "w"));
    STIAllocConvMem(4);
    CM_RETURN_CODE rc = CM_OK;
    STInitGlobals(&rc, 0, nullptr, 0);
    if (selectSet) STIInitSelSet(nullptr);
    static const GwNiOps ops{{u"GwConnect", ConnectSlot}, {u"GwWrite", WriteSlot}, {u"GwRead", ReadSlot},
                             {u"GwClose", CloseSlot}};
    GwISetOps(&ops);
    STISetIoFns(GatewayRead, GatewayWrite, GatewayClose);
    return true;
  }();
  (void)done;
}

}  // namespace cpicfuzz

#endif
