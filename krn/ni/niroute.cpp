// Routing: route strings into NI_ROUTE messages, their entries read back
// as hops and table rows, and the connect of every connect entry, direct
// or through routers (niroute_int.h).
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <string_view>

#include "krn/dptrc/err.h"
#include "krn/ni/niaddr_int.h"
#include "krn/ni/nibuf_int.h"
#include "krn/ni/nihs_int.h"
#include "krn/ni/niroute_int.h"

namespace {

constexpr const WEQ_UC* kRouteModule = u"niroute";
constexpr WEQ_RAW kRouteEye[8] = {'N', 'I', '_', 'R', 'O', 'U', 'T', 'E'};
using View = std::u16string_view;

struct FreeDeleter {
  void operator()(void* p) const { free(p); }
};
using UcText = std::unique_ptr<WEQ_UC[], FreeDeleter>;



// A field of n bytes as a new 0-terminated text, one unit per byte; NULL
// when memory is short.
UcText Widen(const WEQ_RAW* p, size_t n) {
  UcText t(static_cast<WEQ_UC*>(malloc((n + 1) * sizeof(WEQ_UC))));
  if (t == nullptr) return t;
  for (size_t i = 0; i < n; ++i) t[i] = p[i];
  t[n] = 0;
  return t;
}

// The same cut to width units with the terminator.
void WidenCut(const WEQ_RAW* p, size_t n, WEQ_UC* out, size_t width) {
  size_t k = n < width - 1 ? n : width - 1;
  for (size_t i = 0; i < k; ++i) out[i] = p[i];
  out[k] = 0;
}

// A view as a terminated text for trace lines, cut to the buffer.
template <size_t N>
const WEQ_UC* Shown(View v, WEQ_UC (&buf)[N]) {
  size_t k = v.size() < N - 1 ? v.size() : N - 1;
  v.copy(buf, k);
  buf[k] = 0;
  return buf;
}

// The route string with its passwords hidden, for trace lines; NULL
// when memory is short. Hiding may lengthen each password to three
// characters, and a password needs at least three for its marker.
UcText Hidden(const WEQ_UC* route) {
  size_t len = strlenU(route);
  UcText t(static_cast<WEQ_UC*>(malloc((2 * len + 2) * sizeof(WEQ_UC))));
  if (t != nullptr && NiSecStr2(route, t.get(), static_cast<int>(2 * len + 2)) != WEQ_O_K) t[0] = 0;
  return t;
}

NI_RC NoMemory(const WEQ_UC* fn, size_t bytes) {
  return NiIErrTrace(kRouteModule, __LINE__, 1, u"%s: malloc failed for %d bytes", NIEINTERN, fn,
                     static_cast<int32_t>(bytes));
}

// --- Route strings ----------------------------------------------------------------------

enum Mark : uint8_t { kMarkS, kMarkP, kMarkW, kMarkCount };

// The fields of one hop: host, and per marker its text when it counts.
struct Hop {
  View host;
  View field[kMarkCount];
  bool has[kMarkCount] = {false, false, false};
};

// Finds the markers left to right, each at its first place; a marker's
// three characters are never part of another one.
void ScanHop(View text, bool allowP, bool allowW, Hop* hop) {
  static constexpr WEQ_UC kLetter[kMarkCount] = {u'S', u'P', u'W'};
  size_t pos[kMarkCount] = {View::npos, View::npos, View::npos};
  size_t order[kMarkCount];
  size_t found = 0;
  for (size_t i = 0; i + 3 <= text.size();) {
    bool took = false;
    if (text[i] == u'/' && text[i + 2] == u'/') {
      for (int m = 0; m < kMarkCount; ++m) {
        bool allowed = m == kMarkS || (m == kMarkP && allowP) || (m == kMarkW && allowW);
        if (allowed && pos[m] == View::npos && text[i + 1] == kLetter[m]) {
          pos[m] = i;
          order[found++] = static_cast<size_t>(m);
          took = true;
          break;
        }
      }
    }
    i += took ? 3 : 1;
  }
  *hop = Hop{};
  hop->host = text.substr(0, found > 0 ? pos[order[0]] : text.size());
  for (size_t k = 0; k < found; ++k) {
    size_t m = order[k];
    size_t from = pos[m] + 3;
    size_t to = k + 1 < found ? pos[order[k + 1]] : text.size();
    hop->field[m] = text.substr(from, to - from);
    hop->has[m] = true;
  }
}

// Cuts a hop: "/P/" counts unless the hop received a "/W/" password, and
// "/W/" only in a hop without "/P/".
void CutHop(View text, bool gotW, Hop* hop) {
  ScanHop(text, !gotW, false, hop);
  if (!hop->has[kMarkP]) ScanHop(text, false, true, hop);
}

uint32_t Len7(View v) { return static_cast<uint32_t>(v.size()); }

void Put7(WEQ_RAW* p, View v) {
  for (size_t i = 0; i < v.size(); ++i) p[i] = v[i] < 128 ? static_cast<WEQ_RAW>(v[i]) : static_cast<WEQ_RAW>('#');
  p[v.size()] = 0;
}

NI_RC AddEntry(View host, View serv, View pass, CTRC_HDL trc, NI_ROUTE_MSG* pMsg) {
  static constexpr const WEQ_UC* kFn = u"NiBufIAddRouteEntry";
  uint32_t used = NiIRouteEntriesLen(pMsg);
  uint64_t need = uint64_t{Len7(host)} + Len7(serv) + Len7(pass) + 3;
  if (need > NI_ROUTE_MAX_ENTRIES_LEN - used) {
    DPTRC_LINE(1, trc, u"%s: not enough space (%d>%d-%d)\n", kFn,
               static_cast<int32_t>(need > INT32_MAX ? INT32_MAX : need), NI_ROUTE_MAX_ENTRIES_LEN,
               static_cast<int32_t>(used));
    return NiIErrInfo(kRouteModule, __LINE__, u"%s: not enough space (%d>%d-%d)", NIETOO_SMALL, kFn,
                      static_cast<int32_t>(need > INT32_MAX ? INT32_MAX : need), NI_ROUTE_MAX_ENTRIES_LEN,
                      static_cast<int32_t>(used));
  }
  // Both counts are single bytes.
  if (NiIRouteCount(pMsg) >= NI_ROUTE_MAX_HOPS) {
    DPTRC_LINE(1, trc, u"%s: too many entries (%d>=%d)\n", kFn, static_cast<int32_t>(NiIRouteCount(pMsg)),
               NI_ROUTE_MAX_HOPS);
    return NiIErrInfo(kRouteModule, __LINE__, u"%s: too many entries (%d>=%d)", NIETOO_SMALL, kFn,
                      static_cast<int32_t>(NiIRouteCount(pMsg)), NI_ROUTE_MAX_HOPS);
  }
  WEQ_RAW* p = pMsg->data + NI_ROUTE_HDR_LEN + used;
  Put7(p, host);
  p += host.size() + 1;
  Put7(p, serv);
  p += serv.size() + 1;
  Put7(p, pass);
  pMsg->data[11] = static_cast<WEQ_RAW>(pMsg->data[11] + 1);
  pMsg->data[15] = static_cast<WEQ_RAW>(pMsg->data[15] + 1);
  NiIPut32(pMsg->data + 16, used + static_cast<uint32_t>(need));
  return WEQ_O_K;
}

NI_RC AddFailed(CTRC_HDL trc, NI_RC rc) {
  DPTRC_LINE(1, trc, u"%s: NiBufIAddRouteEntry failed (rc=%d)\n", u"NiBufIHostToRoute", rc);
  return rc;
}

// --- Reading entries ----------------------------------------------------------------------

// Where the fields of the entry at offset lie; NIEINVAL with its trace
// when the entry is not whole within the area.
struct EntryAt {
  const WEQ_RAW* host;
  size_t hostLen, servLen, passLen;
};

NI_RC BadEntry() {
  return NiIErrInfo(kRouteModule, __LINE__, u"%s: invalid route received", NIEINVAL, u"NiBufIRouteGetNext");
}

NI_RC LocateEntry(const NI_ROUTE_MSG* pMsg, uint32_t offset, CTRC_HDL trc, EntryAt* e) {
  static constexpr const WEQ_UC* kFn = u"NiBufIRouteGetNext";
  const uint32_t total = NiIRouteEntriesLen(pMsg);
  const WEQ_RAW* area = pMsg->data + NI_ROUTE_HDR_LEN;
  const auto t = static_cast<int32_t>(total > INT32_MAX ? INT32_MAX : total);
  const auto o = static_cast<int32_t>(offset);
  // A length beyond the area cannot have been received whole.
  if (total > NI_ROUTE_MAX_ENTRIES_LEN || offset >= total) {
    DPTRC_ERROR(trc, u"%s: invalid route received (%d;%d)\n", kFn, offset > INT32_MAX ? -1 : o, t);
    return BadEntry();
  }
  auto len = [&](uint32_t at) {
    return static_cast<int32_t>(at < total ? strnlen(reinterpret_cast<const char*>(area + at), total - at) : 0);
  };
  int32_t h = len(offset);
  if (o + h + 1 >= t) {
    DPTRC_ERROR(trc, u"%s: invalid route received (%d;%d;%d)\n", kFn, o, h, t);
    return BadEntry();
  }
  int32_t s = len(static_cast<uint32_t>(o + h + 1));
  if (o + h + 1 + s + 1 >= t) {
    DPTRC_ERROR(trc, u"%s: invalid route received (%d;%d;%d;%d)\n", kFn, o, h, s, t);
    return BadEntry();
  }
  int32_t p = len(static_cast<uint32_t>(o + h + 1 + s + 1));
  if (o + h + 1 + s + 1 + p + 1 > t) {
    DPTRC_ERROR(trc, u"%s: invalid route received (%d;%d;%d;%d;%d)\n", kFn, o, h, s, p, t);
    return BadEntry();
  }
  *e = EntryAt{area + offset, static_cast<size_t>(h), static_cast<size_t>(s), static_cast<size_t>(p)};
  return WEQ_O_K;
}

// The host the connect went to is asked for anew next time.
void InvalidateHost(const WEQ_UC* host, CTRC_HDL trc) {
  if (host == nullptr) return;
  NiIErrKeep keep;
  NiISetHostInvalid(host, trc);
}

void TraceRoute(const NI_ROUTE_MSG* pMsg, CTRC_HDL trc) {
  static constexpr const WEQ_UC* kFn = u"NiBufIConnect";
  if (!DPTRC_ON(2) || NiIRouteCount(pMsg) < 2) return;
  DpTrcLock();
  DpTrc(trc, u"%s: connect to route:\n", kFn);
  uint32_t off = 0;
  for (int i = 0; i < NiIRouteCount(pMsg); ++i) {
    WEQ_UC host[NI_ROUTE_HOST_OUT], serv[NI_ROUTE_SERV_OUT], pass[NI_ROUTE_PASS_OUT];
    if (NiBufIRouteGetNext(pMsg, &off, 0, trc, host, serv, pass, nullptr, nullptr) != WEQ_O_K) break;
    DpTrc(trc, u"\t<%s>\t", +host);
    DpTrcCont(trc, u"\t<%s>\t", +serv);
    DpTrcCont(trc, u"\t%s\n", pass[0] != 0 ? u"<pass>" : u"");
  }
  DpTrcUnlock();
}

}  // namespace

// --- Messages --------------------------------------------------------------------------------

uint32_t NiIRouteEntriesLen(const NI_ROUTE_MSG* m) { return NiIGet32(m->data + 16); }
uint32_t NiIRouteNextOffset(const NI_ROUTE_MSG* m) { return NiIGet32(m->data + 20); }

void NiIRouteSetNext(NI_ROUTE_MSG* m, uint32_t offset, uint8_t hops) {
  NiIPut32(m->data + 20, offset);
  m->data[15] = hops;
}

NI_RC NiBufIAddRouteEntry(const WEQ_UC* pHost, const WEQ_UC* pServName, const WEQ_UC* pPassword, CTRC_HDL trc,
                          NI_ROUTE_MSG* pMsg) {
  auto view = [](const WEQ_UC* s) { return s != nullptr ? View(s, strlenU(s)) : View(); };
  return AddEntry(view(pHost), view(pServName), view(pPassword), trc, pMsg);
}

NI_RC NiBufIHostToRoute(const WEQ_UC* pRoute, const WEQ_UC* pServName, uint8_t mode, CTRC_HDL trc,
                        NI_ROUTE_MSG* pMsg) {
  static constexpr const WEQ_UC* kFn = u"NiBufIHostToRoute";
  memset(pMsg->data, 0, sizeof pMsg->data);
  memcpy(pMsg->data, kRouteEye, sizeof kRouteEye);
  pMsg->data[9] = NI_ROUTE_VERSION;
  pMsg->data[10] = NI_ROUTE_NI_VERSION;
  pMsg->data[12] = mode;
  View callerServ = pServName != nullptr ? View(pServName, strlenU(pServName)) : View();
  View route(pRoute, strlenU(pRoute));
  if (route.substr(0, 3) != u"/H/") {
    NI_RC rc = AddEntry(route, callerServ, View(), trc, pMsg);
    return rc != WEQ_O_K ? AddFailed(trc, rc) : rc;
  }
  if (DPTRC_ON(2)) {
    UcText shown = Hidden(pRoute);
    if (shown == nullptr) return NoMemory(kFn, (2 * route.size() + 2) * sizeof(WEQ_UC));
    DPTRC_LINE(2, trc, u"RouteString <%s>\n", +shown.get());
  }
  View given;  // a "/W/" password for the next hop
  bool gotW = false;
  for (size_t at = 3; at <= route.size();) {
    size_t next = route.find(u"/H/", at);
    bool last = next == View::npos;
    View text = route.substr(at, last ? View::npos : next - at);
    Hop hop;
    CutHop(text, gotW, &hop);
    View serv = hop.has[kMarkS] ? hop.field[kMarkS] : last ? callerServ : View(NI_ROUTE_DEFAULT_SERV);
    if (last && hop.has[kMarkS] && !callerServ.empty() &&
        hop.field[kMarkS].substr(0, callerServ.size()) != callerServ) {
      WEQ_UC a[NI_MAX_SERVNAME_LEN], b[NI_MAX_SERVNAME_LEN];
      DPTRC_LINE(2, trc, u"service in route <%s> != servname param <%s>\n", Shown(hop.field[kMarkS], a),
                 Shown(callerServ, b));
    }
    View pass = hop.has[kMarkP] ? hop.field[kMarkP] : gotW ? given : View();
    NI_RC rc = AddEntry(hop.host, serv, pass, trc, pMsg);
    if (rc != WEQ_O_K) return AddFailed(trc, rc);
    gotW = hop.has[kMarkW];
    given = hop.field[kMarkW];
    if (last) break;
    at = next + 3;
  }
  return WEQ_O_K;
}

NI_RC NiBufIRouteGetNext(const NI_ROUTE_MSG* pMsg, uint32_t* pOffset, uint32_t protoMask, CTRC_HDL trc,
                         WEQ_UC* pHost, WEQ_UC* pServName, WEQ_UC* pPassword, NI_NODEADDR* pAddr,
                         uint16_t* pPort) {
  static constexpr const WEQ_UC* kFn = u"NiBufIRouteGetNext";
  EntryAt e{};
  NI_RC rc = LocateEntry(pMsg, *pOffset, trc, &e);
  if (rc != WEQ_O_K) return rc;
  const WEQ_RAW* serv = e.host + e.hostLen + 1;
  const WEQ_RAW* pass = serv + e.servLen + 1;
  *pOffset += static_cast<uint32_t>(e.hostLen + e.servLen + e.passLen + 3);
  if (pHost != nullptr) WidenCut(e.host, e.hostLen, pHost, NI_ROUTE_HOST_OUT);
  if (pServName != nullptr) WidenCut(serv, e.servLen, pServName, NI_ROUTE_SERV_OUT);
  if (pPassword != nullptr) WidenCut(pass, e.passLen, pPassword, NI_ROUTE_PASS_OUT);
  if (pAddr != nullptr) {
    *pAddr = NI_NODEADDR{};
    pAddr->addr[10] = pAddr->addr[11] = 0xFF;
    // The whole name: a cut one may name another host.
    UcText host = Widen(e.host, e.hostLen);
    if (host == nullptr) return NoMemory(kFn, (e.hostLen + 1) * sizeof(WEQ_UC));
    int proto = static_cast<int>(protoMask & (NI_PROTO_FAM_IPv4 | NI_PROTO_FAM_IPv6));
    if (proto == (NI_PROTO_FAM_IPv4 | NI_PROTO_FAM_IPv6)) proto = 0;
    rc = NiIGetNodeAddr(host.get(), proto, pAddr, NI_HS_MODE_DEFAULT, trc);
    if (rc != WEQ_O_K) return rc;
  }
  if (pPort != nullptr) {
    UcText text = Widen(serv, e.servLen);
    if (text == nullptr) return NoMemory(kFn, (e.servLen + 1) * sizeof(WEQ_UC));
    rc = NiIGetServNo(text.get(), pPort, NI_HS_MODE_DEFAULT, trc);
    if (rc != WEQ_O_K) return rc;
  }
  return WEQ_O_K;
}

NI_RC NiBufIRouteToTable(int32_t* pCount, const NI_ROUTE_MSG* pMsg, NI_ROUTE_ENTRY* pTable, int32_t tableSize,
                         CTRC_HDL trc) {
  static constexpr const WEQ_UC* kFn = u"NiBufIRouteToTable";
  int32_t count = NiIRouteCount(pMsg);
  *pCount = count;
  int32_t skip = count > tableSize ? count - tableSize : 0;
  uint32_t next = NiIRouteNextOffset(pMsg);
  bool shown = DPTRC_ON(2);
  if (shown) {
    DpTrcLock();
    DpTrc(trc, u"%s result from total %d entries:\n", kFn, count);
    DpTrc(trc, u"%-20s/%-*s\n", u"hostname", 30, u"service");
  }
  uint32_t off = 0;
  NI_RC rc = WEQ_O_K;
  for (int32_t i = 0; i < count; ++i) {
    uint32_t at = off;
    // Whole rows: nothing of the stack beyond a text's end reaches the caller.
    WEQ_UC host[NI_ROUTE_HOST_OUT] = {}, serv[NI_ROUTE_SERV_OUT] = {};
    rc = NiBufIRouteGetNext(pMsg, &off, 0, trc, host, serv, nullptr, nullptr, nullptr);
    if (rc != WEQ_O_K) {
      if (shown) DpTrcUnlock();
      DPTRC_LINE(1, trc, u"%s: NiBufIRouteGetNext failed (rc=%d)\n", kFn, rc);
      return rc;
    }
    if (i < skip) continue;
    NI_ROUTE_ENTRY* row = &pTable[i - skip];
    memcpy(row->host, host, sizeof host);
    memcpy(row->service, serv, sizeof serv);
    if (shown) {
      DpTrc(trc, u"%-20s/%-*s", +host, 30, +serv);
      DpTrcCont(trc, u"%s", at == next ? u"< next\n" : u"\n");
    }
  }
  if (shown) {
    DpTrc(trc, u"\n");
    DpTrcUnlock();
  }
  return WEQ_O_K;
}

NI_RC NiRouteToTable(int32_t* pCount, const WEQ_UC* pRouteString, NI_ROUTE_ENTRY* pRouteTable, int32_t tableSize) {
  static constexpr const WEQ_UC* kFn = u"NiRouteToTable";
  if (pCount == nullptr)
    return NiIErrTrace(kRouteModule, __LINE__, 1, u"%s: parameter invalid (pCount == NULL)", NIEINVAL, kFn);
  if (pRouteString == nullptr)
    return NiIErrTrace(kRouteModule, __LINE__, 1, u"%s: parameter invalid (pRouteString == NULL)", NIEINVAL, kFn);
  if (pRouteTable == nullptr && tableSize != 0)
    return NiIErrTrace(kRouteModule, __LINE__, 1, u"%s: parameter invalid (pRouteTable == NULL && tableSize != 0)",
                       NIEINVAL, kFn);
  if (tableSize < 0)
    return NiIErrTrace(kRouteModule, __LINE__, 1, u"%s: parameter invalid (tableSize < 0)", NIEINVAL, kFn);
  CTRC_HDL trc = NiITrcHdl();
  if (DPTRC_ON(2)) {
    UcText shown = Hidden(pRouteString);
    if (shown == nullptr) return NoMemory(kFn, (2 * strlenU(pRouteString) + 2) * sizeof(WEQ_UC));
    DPTRC_LINE(2, trc, u"%s: got '%s'\n", kFn, +shown.get());
  }
  std::unique_ptr<NI_ROUTE_MSG, FreeDeleter> msg(static_cast<NI_ROUTE_MSG*>(malloc(sizeof(NI_ROUTE_MSG))));
  if (msg == nullptr) return NoMemory(kFn, sizeof(NI_ROUTE_MSG));
  NI_RC rc = NiBufIHostToRoute(pRouteString, u"", 0, trc, msg.get());
  if (rc != WEQ_O_K) return rc;
  return NiBufIRouteToTable(pCount, msg.get(), pRouteTable, tableSize, trc);
}

// --- Connect ---------------------------------------------------------------------------------

namespace {

// The end of a routed connect that failed after the socket existed.
NI_RC CloseFailed(NITAB* rec, NI_RC rc) {
  NiICloseHandle(rec, 1, 0);
  return rc;
}

}  // namespace

NI_RC NiBufIConnect(const WEQ_UC* pHostName, const WEQ_UC* pServName, const NI_NODEADDR* pAddr, uint16_t servNo,
                    uint32_t protoMask, int32_t timeout, uint8_t mode, uint8_t buffered, CTRC_HDL* trcHdl,
                    NITAB** ppHdl) {
  static constexpr const WEQ_UC* kFn = u"NiBufIConnect";
  *ppHdl = nullptr;
  if ((protoMask & ~static_cast<uint32_t>(NI_PROTO_FAM_UNSPEC | NI_PROTO_FAM_LOCAL | NI_PROTO_FAM_IPv4 |
                                          NI_PROTO_FAM_IPv6)) != 0) {
    return NiIErrTrace(kRouteModule, __LINE__, 1,
                       u"%s: parameter invalid ((protocol & ~(NI_PROTO_FAM_UNSPEC | NI_PROTO_FAM_LOCAL | "
                       u"NI_PROTO_FAM_IPv4 | NI_PROTO_FAM_IPv6)) != 0)",
                       NIEINVAL, kFn);
  }
  NI_RC rc = NiIEnsureInit(kFn);
  if (rc != WEQ_O_K) return rc;
  CTRC_HDL trc = NiITrcHdl();
  NI_NODEADDR addr{};
  uint16_t port = servNo;
  uint8_t hops = 0;
  std::unique_ptr<NI_ROUTE_MSG, FreeDeleter> msg;
  UcText firstHost;
  if (pHostName != nullptr) {
    msg.reset(static_cast<NI_ROUTE_MSG*>(malloc(sizeof(NI_ROUTE_MSG))));
    if (msg == nullptr) return NoMemory(kFn, sizeof(NI_ROUTE_MSG));
    rc = NiBufIHostToRoute(pHostName, pServName, mode, trc, msg.get());
    if (rc != WEQ_O_K) return rc;
    TraceRoute(msg.get(), trc);
    EntryAt first{};
    if (LocateEntry(msg.get(), 0, trc, &first) == WEQ_O_K) firstHost = Widen(first.host, first.hostLen);
    uint32_t off = 0;
    rc = NiBufIRouteGetNext(msg.get(), &off, protoMask & (NI_PROTO_FAM_IPv4 | NI_PROTO_FAM_IPv6), trc, nullptr,
                            nullptr, nullptr, &addr, &port);
    if (rc != WEQ_O_K) return rc;
    hops = static_cast<uint8_t>(NiIRouteHops(msg.get()) - 1);
    NiIRouteSetNext(msg.get(), off, hops);
    if (hops > 0 && protoMask == NI_PROTO_FAM_UNSPEC) protoMask = NI_PROTO_FAM_IPv4 | NI_PROTO_FAM_IPv6;
  } else if (pAddr != nullptr) {
    addr = *pAddr;
  } else {
    return NiIErrTrace(kRouteModule, __LINE__, 1, u"%s: parameter invalid (pNodeAddr == NULL)", NIEINVAL, kFn);
  }
  const WEQ_UC* shownHost = pHostName != nullptr ? pHostName : u"";

  // The socket. Unbuffered: 0 waits without limit and no handle stays
  // pending. Buffered: a pending connect goes on without waiting.
  int32_t wait = !buffered && timeout == 0 ? NI_BLOCK : timeout;
  NITAB* rec = nullptr;
  rc = NiIConnect(&addr, port, protoMask, wait, trcHdl, &rec);
  bool pending = rc == NIECONN_PENDING;
  if (pending && !buffered) {
    int32_t err = rec->con.mSocket.sysErr;
    ErrSetInfoSys(NI_COMPONENT, NI_COMPONENT_VERSION, kRouteModule, static_cast<uint32_t>(__LINE__), 0,
                  u"%s: connection pending after %dms", NIECONN_REFUSED, u"partner not reached", u"connect", err, kFn,
                  wait);
    DPTRC_LINE(1, NiIHdlTrc(rec), u"%s: non-buffered connect pending after %dms (hdl %d;%s)\n", kFn, wait,
               NiIHdlNo(rec), shownHost);
    return CloseFailed(rec, NIECONN_REFUSED);
  }
  if (rc != WEQ_O_K && !pending) {
    if (rc != NIETIMEOUT) InvalidateHost(firstHost.get(), trc);
    return rc;
  }
  if (pending) wait = 0;
  NIBUF_EXT* ext = nullptr;
  if (buffered || hops > 0) {
    rc = NiBufIHdlInit(rec);
    if (rc != WEQ_O_K) return CloseFailed(rec, rc);
    ext = rec->mBuf;
    if (buffered && mode != 0) ext->talkMode = NI_RAW_IO;
  }
  if (hops == 0) {
    *ppHdl = rec;
    return pending ? NIECONN_PENDING : WEQ_O_K;
  }

  // Through routers: the whole NI_ROUTE goes to the first, framed whatever
  // the talk mode, and the answer of the last one ends the handshake.
  DPTRC_LINE(NiIHdlLevel(rec, 2), NiIHdlTrc(rec), u"%s: forward route to WEQrouter\n", kFn);
  NiBufISetStatus(rec, ext, NIBUF_STAT_CONN_WAIT);
  rec->mCheck = 1;
  if (buffered) ext->localPeer = 0;
  NiBufISetHS(rec, ext, true);
  rc = NiBufIWriteUserMsg(rec, ext, msg->data, NiIRouteMsgLen(msg.get()), wait);
  if (rc != WEQ_O_K) {
    InvalidateHost(firstHost.get(), trc);
    return CloseFailed(rec, rc);
  }
  if (!buffered && ext->pendWrite != nullptr) {
    NiIErrInfo(kRouteModule, __LINE__, u"%s: route could not be sent in %dms", NIECONN_REFUSED, kFn, wait);
    DPTRC_LINE(1, NiIHdlTrc(rec), u"%s: non-buffered hdl %d could not be sent in %dms (%s)\n", kFn, NiIHdlNo(rec),
               wait, shownHost);
    InvalidateHost(firstHost.get(), trc);
    return CloseFailed(rec, NIECONN_REFUSED);
  }
  if (buffered && pending) {
    *ppHdl = rec;
    return NIECONN_PENDING;
  }
  if (buffered && wait != NI_BLOCK) {
    *ppHdl = rec;
    return WEQ_O_K;
  }
  rc = NiBufIFinishHandshake(rec, ext, wait);
  if (rc == WEQ_O_K && ext->status == NIBUF_STAT_CONN_WAIT) rc = NIEINTERN;
  if (rc != WEQ_O_K) {
    if (rc == NIETIMEOUT && !buffered) {
      NiIErrInfo(kRouteModule, __LINE__, u"%s: route connect '%s' timeout", NIETIMEOUT, kFn, shownHost);
      DPTRC_LINE(1, NiIHdlTrc(rec), u"%s: route connect of non-buffered hdl %d to '%s' timeout\n", kFn,
                 NiIHdlNo(rec), shownHost);
    } else {
      DPTRC_LINE(1, NiIHdlTrc(rec), u"%s: route connect for %s hdl %d failed (rc=%d;%s); pong not received\n", kFn,
                 buffered ? u"buffered" : u"non-buffered", NiIHdlNo(rec), rc, NiErrorName(rc));
    }
    return CloseFailed(rec, rc);
  }
  if (!buffered) NiBufICloseExt(rec, ext, false);
  *ppHdl = rec;
  return WEQ_O_K;
}
