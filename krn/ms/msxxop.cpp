// Message server client: opcode requests to the message server and what
// they bring back: the client list, logon data, the release information,
// security keys and names by address.
#include <stdlib.h>
#include <string.h>

#include <chrono>

#include "i18n/wequ16/u16fmt.h"
#include "i18n/wequ16/u16str.h"
#include "krn/dptrc/err.h"
#include "krn/ms/ms.h"
#include "krn/ms/ms_int.h"
#include "krn/ni/ni.h"

namespace {

constexpr WEQ_UC kOpMsgServer[] = u"MSG_SERVER";
constexpr WEQ_RAW kZeroKey[MS_KEY_LEN] = {};

int64_t MsIOpNowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// The process-wide buffers of the requests; the callers' lock (the
// logon-group layer's) serialises them.
struct MsIOpBuffers {
  MSXXLIST* list = nullptr;
  int32_t listCapacity = 0;  // records
  WEQ_UC key[MS_KEY_TEXT_LEN + 1] = {};
  WEQ_UC* name = nullptr;
  size_t nameCapacity = 0;  // units, terminator included
};
MsIOpBuffers gOp;

void PutBe16(WEQ_RAW* p, uint16_t v) {
  p[0] = static_cast<WEQ_RAW>(v >> 8);
  p[1] = static_cast<WEQ_RAW>(v & 0xFF);
}
void PutBe32(WEQ_RAW* p, uint32_t v) {
  p[0] = static_cast<WEQ_RAW>(v >> 24);
  p[1] = static_cast<WEQ_RAW>(v >> 16);
  p[2] = static_cast<WEQ_RAW>(v >> 8);
  p[3] = static_cast<WEQ_RAW>(v);
}
uint16_t GetBe16(const WEQ_RAW* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
uint32_t GetBe32(const WEQ_RAW* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

void OpHeader(WEQ_RAW* p, uint8_t opcode, uint8_t version, uint8_t mode) {
  p[0] = opcode;
  p[1] = 0;
  p[2] = version;
  p[3] = mode;
}

// Build-only mode: the request is copied out and nothing is sent.
bool BuildOnly(const WEQ_UC* fn, const WEQ_RAW* req, int32_t len, WEQ_RAW* request, int32_t* requestLen) {
  if (request == nullptr || requestLen == nullptr) return false;
  memcpy(request, req, static_cast<size_t>(len));
  *requestLen = len;
  DPTRC_LINE(2, MsITrc(), u"%s: buffer filled\n", fn);
  return true;
}

// Widens n bytes into a field of width units, blank-padded.
void Widen(WEQ_UC* dst, int width, const WEQ_RAW* src, int n) {
  MsBufConvertFromNet(dst, src, n);
  for (int i = n; i < width; ++i) dst[i] = u' ';
}

// A terminated copy of a blank-padded field, for the trace.
void Field(WEQ_UC* dst, const WEQ_UC* src, int n) {
  memcpy(dst, src, static_cast<size_t>(n) * sizeof(WEQ_UC));
  dst[n] = 0;
}

// Record sizes by list version; versions 101 and above are version 1.
int32_t ListRecordSize(int32_t version) {
  switch (version >= 101 ? 1 : version) {
    case 1:
      return 67;
    case 2:
      return 115;
    case 3:
      return 150;
    default:
      return 160;
  }
}

// Grows the process-wide list to hold want records; false (old contents
// and size kept) when that cannot be had.
bool GrowList(int32_t want) {
  if (want <= gOp.listCapacity) return true;
  if (want > MS_CLIENT_LIST_MAX) return false;
  void* p = realloc(gOp.list, static_cast<size_t>(want) * sizeof(MSXXLIST));
  if (p == nullptr) return false;
  gOp.list = static_cast<MSXXLIST*>(p);
  gOp.listCapacity = want;
  return true;
}

}  // namespace

// --- Opcode requests ---------------------------------------------------------------

int MsIOpRequest(MS_HDL* h, uint8_t opcode, const void* request, int32_t length, WEQ_RAW** reply,
                 int32_t* replyLen, uint8_t wait, int32_t timeout, uint8_t msflag) {
  static constexpr WEQ_UC kFn[] = u"MsIOpRequest";
  WEQ_UC name[MS_NAME_LEN], name2[MS_NAME_LEN];
  int rc = MsISnd2(h, request, length, nullptr, 0, kOpMsgServer, 0, kZeroKey, msflag, MS_IFLAG_NAME, 0);
  if (rc != WEQ_O_K) return rc;
  DPTRC_LINE(2, MsITrc(), u"MsSndName: %s ok\n", MsOpcodeName(opcode, name));
  DPTRC_LINE(2, MsITrc(), u"Send %d bytes to %-.*s\n", length, 40, kOpMsgServer);
  if (!wait) {
    DPTRC_LINE(2, MsITrc(), u"%s : asynchronous call\n", kFn);
    return WEQ_O_K;
  }
  // Wakeups and empty waits start the next wait, within the caller's
  // time-out for the whole request.
  const int64_t deadline = timeout >= 0 ? MsIOpNowMs() + timeout : -1;
  WEQ_RAW* data = nullptr;
  int32_t len = 0;
  for (;;) {
    int32_t left = timeout;
    if (deadline >= 0) {
      int64_t rest = deadline - MsIOpNowMs();
      left = rest > 0 ? static_cast<int32_t>(rest) : 0;
    }
    rc = MsIReceive(h, &data, &len, nullptr, nullptr, nullptr, left);
    if (rc == MSEWAKEUP || rc == MSENOMSG) {
      if (rc == MSEWAKEUP)
        DPTRC_LINE(2, MsITrc(), u"MsOpReceive: wakeup received\n");
      else
        DPTRC_LINE(2, MsITrc(), u"no message arrived\n");
      if (deadline >= 0 && MsIOpNowMs() >= deadline) return MSENOMSG;
      continue;
    }
    if (rc == MSESHUTDOWN) {
      DPTRC_LINE(1, MsITrc(), u"shutdown message arrived\n");
      return rc;
    }
    if (rc != WEQ_O_K) {
      DPTRC_LINE(1, MsITrc(), u"cant receive request from server (rc=%s)\n", MsErrorName(rc, name));
      return rc;
    }
    break;
  }
  if (len < static_cast<int32_t>(sizeof(MS_OP_HEADER))) {
    DPTRC_ERROR(MsITrc(), u"%s: reply of %d bytes has no opcode header", kFn, len);
    return MSEINVAL;
  }
  if (reply != nullptr) *reply = data;
  if (replyLen != nullptr) *replyLen = len;
  int32_t oprc = data[1];
  DPTRC_LINE(2, MsITrc(), u"Received %d bytes from %-.*s\n", len, 40, kOpMsgServer);
  DPTRC_LINE(2, MsITrc(), u"Received opcode %s from msg_server, reply %s\n", MsOpcodeName(data[0], name),
             MsErrorName(oprc, name2));
  if (oprc == 0)
    DPTRC_LINE(2, MsITrc(), u"MsOpReceive: ok\n");
  else
    DPTRC_LINE(2, MsITrc(), u"MsOpReceive:\nReceived opcode %s failed, reason %s\n", MsOpcodeName(data[0], name),
               MsErrorName(oprc, name2));
  return oprc;
}

// --- Client list -----------------------------------------------------------------------

int MsILongClientList(MS_HDL* h, uint8_t wait, int32_t timeout) {
  static constexpr WEQ_UC kFn[] = u"MsILongClientList";
  WEQ_RAW req[MS_LIST_REQUEST_LEN];
  OpHeader(req, MS_SERVER_LONG_LIST, 1, 0);
  int rc = MsIOpRequest(h, MS_SERVER_LONG_LIST, req, sizeof req, nullptr, nullptr, wait, timeout,
                        MsIOpMsflag(wait, timeout));
  if (wait) {
    WEQ_UC name[MS_NAME_LEN];
    if (rc == WEQ_O_K)
      DPTRC_LINE(2, MsITrc(), u"%s : can get long client list (in multiple parts)\n", kFn);
    else
      DPTRC_LINE(2, MsITrc(), u"%s : failed %s (%d)\n", kFn, MsErrorName(rc, name), rc);
  }
  return rc;
}

int MsConvMsxxlist(MSXXLIST* out, int32_t clientVersion, const WEQ_RAW* r, int32_t serverVersion) {
  static constexpr WEQ_UC kFn[] = u"MsConvMsxxlist";
  if (serverVersion > clientVersion) {
    DPTRC_LINE(1, MsITrc(), u"%s : server version %d > client version %d\n", kFn, serverVersion, clientVersion);
    return -1;
  }
  if (serverVersion < 1 || serverVersion > 4) {
    DPTRC_LINE(1, MsITrc(), u"%s : unsupported server version %d\n", kFn, serverVersion);
    return -1;
  }
  DPTRC_LINE(3, MsITrc(), u"%s: client_version=%d, server_version=%d\n", kFn, clientVersion, serverVersion);
  memset(out, 0, sizeof *out);
  // Offsets of name, host, services, types, IPv4, port by version; the
  // IPv6 address (versions 3, 4) sits at 125, the state at 99 or 147.
  struct Layout {
    int nameLen, host, hostLen, serv, types, v4, port, state;
  };
  static constexpr Layout kLayouts[4] = {
      {20, 20, 20, 40, 60, 61, 65, -1},
      {40, 40, 32, 72, 92, 93, 97, 99},
      {40, 40, 64, 104, 124, 141, 145, 147},
      {40, 40, 64, 104, 124, 141, 145, 147},
  };
  const Layout& l = kLayouts[serverVersion - 1];
  Widen(out->client, 40, r, l.nameLen);
  Widen(out->host, 64, r + l.host, l.hostLen);
  Widen(out->service, 20, r + l.serv, 20);
  out->msgtypes = r[l.types];
  memcpy(out->hostaddrv4, r + l.v4, 4);
  memcpy(out->servno, r + l.port, 2);
  if (serverVersion >= 3) {
    memcpy(out->hostaddr.addr, r + 125, 16);
  } else {
    out->hostaddr.addr[10] = out->hostaddr.addr[11] = 0xFF;
    memcpy(out->hostaddr.addr + 12, out->hostaddrv4, 4);
  }
  if (l.state >= 0) out->status = r[l.state];
  if (serverVersion == 4) memcpy(out->sysservice, r + 149, 4);
  if (DPTRC_ON(2)) MsIClientInfoText(out, nullptr, nullptr, 1);
  return WEQ_O_K;
}

int MsIClientInfoText(const MSXXLIST* rec, WEQ_UC* text, int32_t* length, int flags) {
  WEQ_UC name[41], host[65], serv[21], v6[NI_NODEADDR_STR_LEN], v4[NI_NODEADDR_STR_LEN];
  WEQ_UC state[MS_NAME_LEN], types[MS_TYPES_TEXT_LEN], sys[400];
  Field(name, rec->client, 40);
  Field(host, rec->host, 64);
  Field(serv, rec->service, 20);
  NI_NODEADDR mapped{};
  mapped.addr[10] = mapped.addr[11] = 0xFF;
  memcpy(mapped.addr + 12, rec->hostaddrv4, 4);
  NiAddrToStr2(&rec->hostaddr, v6, NI_NODEADDR_STR_LEN, 1);
  NiAddrToStr2(&mapped, v4, NI_NODEADDR_STR_LEN, 1);
  MsSysServicesText(rec->sysservice, 4, sys, std::size(sys));
  WEQ_UC out[1024];
  int n = snprintfTruncU16(out, std::size(out),
                           u"client name           : %-20.20s\n"
                           u"client host           : %-20.20s\n"
                           u"client address (IPv6) : %s\n"
                           u"client address (IPv4) : %s\n"
                           u"client services       : %-20.20s\n"
                           u"client port           : %d\n"
                           u"status                : %s\n"
                           u"message types         : %s\n"
                           u"system services       : %s\n",
                           name, host, v6, v4, serv, static_cast<int32_t>(GetBe16(rec->servno)),
                           MsStateName(rec->status, state), MsTypesText(rec->msgtypes, types), sys);
  if (n < 0) n = 0;
  if (flags & 1) DPTRC_LINE(1, MsITrc(), u"%s", out);
  if (text != nullptr && length != nullptr && *length > 0) {
    int32_t take = n < *length - 1 ? n : *length - 1;
    memcpy(text, out, static_cast<size_t>(take) * sizeof(WEQ_UC));
    text[take] = 0;
  }
  if ((flags & 2) && length != nullptr) *length = n;
  return WEQ_O_K;
}

int MsIClientList(MS_HDL* h, MSXXLIST** list, int32_t* count, int32_t timeout, uint8_t onlyWithTypes,
                  uint8_t onlyActive, WEQ_RAW* request, int32_t* requestLen) {
  static constexpr WEQ_UC kFn[] = u"MsIClientList";
  WEQ_UC name[MS_NAME_LEN];
  if (list != nullptr) *list = nullptr;
  if (count != nullptr) *count = 0;
  WEQ_RAW req[MS_LIST_REQUEST_LEN];
  OpHeader(req, MS_SERVER_LST, 104, 3);
  if (BuildOnly(kFn, req, sizeof req, request, requestLen)) return WEQ_O_K;
  int rc = MsILongClientList(h, 0, -2);
  if (rc != WEQ_O_K) {
    DPTRC_LINE(1, MsITrc(), u"%s: MsLongClientList failed (rc=%s)\n", kFn, MsErrorName(rc, name));
    return rc;
  }
  rc = MsISnd2(h, req, sizeof req, nullptr, 0, kOpMsgServer, 0, kZeroKey, MS_REQUEST, MS_IFLAG_NAME, 0);
  if (rc != WEQ_O_K) {
    DPTRC_LINE(1, MsITrc(), u"%s: MsISnd2 failed (rc=%s)\n", kFn, MsErrorName(rc, name));
    return rc;
  }
  int32_t taken = 0, oprc = 0;
  int32_t recordSize = 160;
  // Parts without end stop at the bound of records, and of parts.
  for (int32_t part = 0;; ++part) {
    if (part >= MS_CLIENT_LIST_MAX) {
      MsIErrInfo(__LINE__, MSENOMEM, static_cast<int32_t>(sizeof(MSXXLIST)) * (taken + 1));
      DPTRC_ERROR(MsITrc(), u"%s: more than %d parts", kFn, MS_CLIENT_LIST_MAX);
      return MSENOMEM;
    }
    WEQ_RAW* data = nullptr;
    int32_t len = 0;
    rc = MsIReceive(h, &data, &len, nullptr, nullptr, nullptr, timeout);
    bool oldList = false, more = false;
    if (rc == MSEPARTNERUNKNOWN) {
      // An older message server: its list comes from "clientinfo".
      WEQ_UC info[MS_NAME_FIELD + 1];
      memsetU(info, u' ', MS_NAME_FIELD);
      memcpy(info, u"clientinfo", 10 * sizeof(WEQ_UC));
      info[MS_NAME_FIELD] = 0;
      rc = MsISnd2(h, nullptr, 0, nullptr, 0, info, 0, kZeroKey, MS_MSG, MS_IFLAG_NAME, 0);
      if (rc != WEQ_O_K) {
        DPTRC_ERROR(MsITrc(), u"%s: MsSndName failed (rc=%s)", kFn, MsErrorName(rc, name));
        return rc;
      }
      rc = MsIReceive(h, &data, &len, nullptr, nullptr, nullptr, 10000);
      if (rc != WEQ_O_K) {
        DPTRC_ERROR(MsITrc(), u"%s: MsReceive failed (rc=%s)", kFn, MsErrorName(rc, name));
        return rc;
      }
      oldList = true;
    } else if (rc == MSEMOREDATA) {
      more = true;
    } else if (rc != WEQ_O_K) {
      DPTRC_LINE(1, MsITrc(), u"%s: MsReceive failed (rc=%s)\n", kFn, MsErrorName(rc, name));
      return rc;
    }
    int32_t version = 1, left = len;
    const WEQ_RAW* rec = data;
    if (!oldList) {
      if (len < static_cast<int32_t>(sizeof(MS_OP_HEADER))) {
        DPTRC_ERROR(MsITrc(), u"%s: list part of %d bytes has no opcode header", kFn, len);
        return MSEINVAL;
      }
      oprc = data[1];
      version = data[2];
      DPTRC_LINE(2, MsITrc(), u"%s: list version = %d\n", kFn, version);
      recordSize = ListRecordSize(version);
      left = len - 4;
      rec = data + 4;
    } else {
      oprc = 0;
      recordSize = 67;
    }
    DPTRC_LINE(2, MsITrc(), u"%s: weq_msxxlist_ln = %d\n", kFn, recordSize);
    int32_t want = taken + left / recordSize + 1;
    if (!GrowList(want)) {
      int32_t bytes = want * static_cast<int32_t>(sizeof(MSXXLIST));
      MsIErrInfo(__LINE__, MSENOMEM, bytes);
      DPTRC_ERROR(MsITrc(), u"%s: MSENOMEM: can't allocate %d bytes", kFn, bytes);
      return MSENOMEM;
    }
    if (list != nullptr) *list = gOp.list;
    if (oprc == 0) {
      int32_t wire = version >= 101 ? 1 : version;
      for (; left >= recordSize; left -= recordSize, rec += recordSize) {
        MSXXLIST* out = &gOp.list[taken];
        if (MsConvMsxxlist(out, 4, rec, wire) != WEQ_O_K) continue;
        if (onlyWithTypes && out->msgtypes == 0) continue;
        if (onlyActive && out->status != 0 && out->status != 1) continue;
        ++taken;
      }
    } else {
      WEQ_UC op[MS_NAME_LEN];
      DPTRC_LINE(1, MsITrc(), u"%s: opcode %s failed, reason %s\n", kFn, MsOpcodeName(MS_SERVER_LST, op),
                 MsErrorName(oprc, name));
    }
    if (!more) break;
  }
  if (count != nullptr) *count = taken;
  return oprc;
}

int MsClientList(MSXXLIST** list, int32_t* count, int32_t timeout, uint8_t onlyWithTypes) {
  return MsIClientList(MsGetDefaultHdl(), list, count, timeout, onlyWithTypes, 0, nullptr, nullptr);
}

// --- Logon data ----------------------------------------------------------------------------

int32_t MsIBuildLogonData(WEQ_RAW* record, const WEQ_UC* name, int32_t protocol, uint16_t port,
                          const NI_NODEADDR* v6, uint32_t ipv4, const WEQ_UC* protname, const WEQ_UC* host,
                          const WEQ_UC* misc) {
  static constexpr WEQ_UC kFn[] = u"MsIBuildLogonData";
  const WEQ_UC* texts[4] = {name, protname, host, misc};
  for (const WEQ_UC* t : texts)
    if (t != nullptr && strlenU(t) > MS_LOGON_TEXT_MAX) {
      DPTRC_ERROR(MsITrc(), u"%s: text of %d characters (at most %d)", kFn, static_cast<int32_t>(strlenU(t)),
                  MS_LOGON_TEXT_MAX);
      return MSEINVAL;
    }
  WEQ_UC tn[MS_NAME_LEN];
  int32_t n = 0;
  PutBe16(record, static_cast<uint16_t>(protocol));
  n = 2;
  DPTRC_LINE(2, MsITrc(), u"%s: prot = %s (%d)\n", kFn, MsLogonTypeName(protocol, tn), n);
  PutBe16(record + n, port);
  n += 2;
  if (port != 0) DPTRC_LINE(2, MsITrc(), u"%s: port = %d (%d)\n", kFn, static_cast<int32_t>(port), n);
  memcpy(record + n, &ipv4, 4);
  n += 4;
  if (DPTRC_ON(2)) {
    NI_NODEADDR a = NiIPv4ToAddr(ipv4);
    DPTRC_LINE(2, MsITrc(), u"%s: addr (IPv4) = %s (%d)\n", kFn, NiAddrToStrStatic(&a, 1), n);
  }
  static constexpr const WEQ_UC* kLines[4] = {u"%s: name = %s (%d)\n", u"%s: protname = %s (%d)\n",
                                              u"%s: host = %s (%d)\n", u"%s: misc = %s (%d)\n"};
  for (int i = 0; i < 4; ++i) {
    const WEQ_UC* t = texts[i] != nullptr ? texts[i] : u"";
    int32_t len = static_cast<int32_t>(strlenU(t));
    PutBe16(record + n, static_cast<uint16_t>(len));
    UcsnToA7n(reinterpret_cast<char*>(record + n + 2), t, len);
    n += 2 + len;
    if (DPTRC_ON(2)) {
      DpTrcLock();
      DpTrcV(MsITrc(), kLines[i], U16FmtMakeArgs(kFn, t, n).args());
      DpTrcUnlock();
    }
  }
  if (v6 != nullptr) {
    PutBe16(record + n, 16);
    memcpy(record + n + 2, v6->addr, 16);
    n += 18;
    DPTRC_LINE(2, MsITrc(), u"%s: addr (IPv6) = %s (%d)\n", kFn, NiAddrToStrStatic(v6, 1), n);
  }
  PutBe16(record + n, 0xFFFF);
  return n + 2;
}

int MsIExtractLogon(const WEQ_RAW* record, int32_t len, int32_t* protocol, WEQ_UC* host, int32_t hostCapacity,
                    NI_NODEADDR* addr, uint32_t* ipv4, uint16_t* port, WEQ_UC* misc, int32_t miscCapacity) {
  static constexpr WEQ_UC kFn[] = u"MsIExtractLogon";
  if (host != nullptr && hostCapacity > 0) host[0] = 0;
  if (misc != nullptr && miscCapacity > 0) misc[0] = 0;
  if (record == nullptr || len < 8) {
    DPTRC_ERROR(MsITrc(), u"%s: record of %d bytes", kFn, len);
    return MSEINVAL;
  }
  WEQ_UC tn[MS_NAME_LEN];
  int32_t prot = GetBe16(record);
  if (protocol != nullptr) *protocol = prot;
  DPTRC_LINE(2, MsITrc(), u"%s: prot = %s\n", kFn, MsLogonTypeName(prot, tn));
  if (port != nullptr) *port = GetBe16(record + 2);
  DPTRC_LINE(2, MsITrc(), u"%s: port = %d\n", kFn, static_cast<int32_t>(GetBe16(record + 2)));
  uint32_t v4;
  memcpy(&v4, record + 4, 4);
  if (ipv4 != nullptr) *ipv4 = v4;
  NI_NODEADDR mapped = NiIPv4ToAddr(v4);
  if (addr != nullptr) *addr = mapped;
  if (DPTRC_ON(2)) DPTRC_LINE(2, MsITrc(), u"%s: addr (IPv4) = %s\n", kFn, NiAddrToStrStatic(&mapped, 1));
  int32_t at = 8;
  // Name, protocol name, host, misc; an end mark where a field begins ends
  // the record, any length must fit the record.
  for (int field = 0; field < 5; ++field) {
    if (len - at < 2) {
      DPTRC_ERROR(MsITrc(), u"%s: record of %d bytes ends at %d", kFn, len, at);
      return MSEINVAL;
    }
    uint16_t n = GetBe16(record + at);
    if (n == 0xFFFF) {
      DPTRC_LINE(2, MsITrc(), u"%s: buffer terminated\n", kFn);
      return WEQ_O_K;
    }
    if (field == 4) break;
    if (n > len - at - 2) {
      DPTRC_ERROR(MsITrc(), u"%s: length %d at %d beyond the record of %d bytes", kFn, static_cast<int32_t>(n), at,
                  len);
      return MSEINVAL;
    }
    WEQ_UC* out = field == 2 ? host : field == 3 ? misc : nullptr;
    int32_t cap = field == 2 ? hostCapacity : miscCapacity;
    if (out != nullptr && cap > 0) {
      int32_t take = n < cap - 1 ? n : cap - 1;
      MsBufConvertFromNet(out, record + at + 2, take);
      out[take] = 0;
      if (field == 2)
        DPTRC_LINE(2, MsITrc(), u"%s: host = %s\n", kFn, out);
      else
        DPTRC_LINE(2, MsITrc(), u"%s: misc = %s\n", kFn, out);
    }
    at += 2 + n;
  }
  if (GetBe16(record + at) == 16) {
    if (len - at - 2 < 16) {
      DPTRC_ERROR(MsITrc(), u"%s: IPv6 address beyond the record of %d bytes", kFn, len);
      return MSEINVAL;
    }
    NI_NODEADDR v6;
    memcpy(v6.addr, record + at + 2, 16);
    if (addr != nullptr) *addr = v6;
    DPTRC_LINE(2, MsITrc(), u"%s: addr (IPv6) = %s\n", kFn, NiAddrToStrStatic(&v6, 1));
  }
  return WEQ_O_K;
}

int MsGetLogon(MS_HDL* h, const WEQ_UC* name, int32_t protocol, WEQ_UC* host, int32_t hostCapacity,
               NI_NODEADDR* addr, uint32_t* ipv4, uint16_t* port, WEQ_UC* misc, int32_t miscCapacity,
               uint8_t wait, int32_t timeout, WEQ_RAW* request, int32_t* requestLen) {
  static constexpr WEQ_UC kFn[] = u"MsGetLogon";
  if (name == nullptr) {
    DPTRC_LINE(1, MsITrc(), u"%s: name not specified\n", kFn);
    return MSOP_EINVAL;
  }
  if (protocol < 0 || protocol >= 38) {
    DPTRC_LINE(1, MsITrc(), u"%s: prot out of range (%d)\n", kFn, protocol);
    return MSOP_EINVAL;
  }
  WEQ_RAW req[4 + MS_LOGON_REC_MAX];
  OpHeader(req, MS_GET_LOGON, 1, 3);
  int32_t n = MsIBuildLogonData(req + 4, name, protocol, 0, nullptr, 0, nullptr, nullptr, nullptr);
  if (n < 0) return n;
  if (BuildOnly(kFn, req, 4 + n, request, requestLen)) return WEQ_O_K;
  WEQ_RAW* reply = nullptr;
  int32_t replyLen = 0;
  int rc = MsIOpRequest(h, MS_GET_LOGON, req, 4 + n, &reply, &replyLen, wait, timeout, MsIOpMsflag(wait, timeout));
  if (!wait) return rc;
  if (rc == WEQ_O_K)
    rc = MsIExtractLogon(reply + 4, replyLen - 4, nullptr, host, hostCapacity, addr, ipv4, port, misc, miscCapacity);
  if (rc != WEQ_O_K) {
    WEQ_UC rn[MS_NAME_LEN];
    DPTRC_LINE(1, MsITrc(), u"%s : failed %s (%d)\n", kFn, MsErrorName(rc, rn), rc);
  }
  return rc;
}

int MsGetLogon(const WEQ_UC* name, int32_t protocol, WEQ_UC* host, int32_t hostCapacity, NI_NODEADDR* addr,
               uint16_t* port, WEQ_UC* misc, int32_t miscCapacity, uint8_t wait, int32_t timeout) {
  return MsGetLogon(MsGetDefaultHdl(), name, protocol, host, hostCapacity, addr, nullptr, port, misc, miscCapacity,
                    wait, timeout, nullptr, nullptr);
}

int MsGetNextLogon(int32_t protocol, WEQ_UC* host, int32_t hostCapacity, NI_NODEADDR* addr, uint16_t* port,
                   WEQ_UC* misc, int32_t miscCapacity, uint8_t wait, int32_t timeout) {
  if (protocol < 2 || protocol > 37) {
    DPTRC_LINE(1, MsITrc(), u"%s: prot out of range (%d)\n", u"MsGetNextLogon", protocol);
    return MSOP_EINVAL;
  }
  return MsGetLogon(MsGetDefaultHdl(), u"*", protocol, host, hostCapacity, addr, nullptr, port, misc, miscCapacity,
                    wait, timeout, nullptr, nullptr);
}

// --- Release information --------------------------------------------------------------------

int MsSetRelInfoForClient(MS_HDL* h, const WEQ_UC* client, const WEQ_UC* release, int32_t relNo,
                          int32_t patchLevel, int32_t patchNo, uint8_t wait, int32_t timeout, WEQ_RAW* request,
                          int32_t* requestLen) {
  static constexpr WEQ_UC kFn[] = u"MsSetRelInfoForClient";
  WEQ_RAW req[MS_RELINFO_REQUEST_LEN] = {};
  OpHeader(req, MS_SET_PROPERTY, 1, 0);
  if (client != nullptr) MsBufConvertToNet(req + 4, client, MS_NAME_FIELD);
  PutBe32(req + 44, 7);
  if (release != nullptr) MsBufConvertToNet(req + 48, release, 10);
  PutBe32(req + 58, static_cast<uint32_t>(relNo));
  PutBe32(req + 62, static_cast<uint32_t>(patchLevel));
  PutBe32(req + 66, static_cast<uint32_t>(patchNo));
  if (BuildOnly(kFn, req, sizeof req, request, requestLen)) return WEQ_O_K;
  int rc = MsIOpRequest(h, MS_SET_PROPERTY, req, sizeof req, nullptr, nullptr, wait, timeout,
                        MsIOpMsflag(wait, timeout));
  if (!wait) return rc;
  if (rc == WEQ_O_K) {
    DPTRC_LINE(2, MsITrc(), u"%s : release information set succesfully\n", kFn);
  } else {
    WEQ_UC rn[MS_NAME_LEN];
    DPTRC_LINE(1, MsITrc(), u"%s : failed %s (%d)\n", kFn, MsErrorName(rc, rn), rc);
  }
  return rc;
}

// --- Security key and name by address ------------------------------------------------------

int MsGetSecurityKeyByIpAdr(MS_HDL* h, const NI_NODEADDR* addr, uint32_t ipv4, uint16_t port, const WEQ_UC** key,
                            uint8_t wait, int32_t timeout, WEQ_RAW* request, int32_t* requestLen) {
  static constexpr WEQ_UC kFn[] = u"MsGetSecurityKeyByIpAdr";
  WEQ_RAW req[MS_KEY_REQUEST_LEN] = {};
  OpHeader(req, MS_GET_SECURITY_KEY2, 2, 0);
  memcpy(req + 4, &ipv4, 4);
  PutBe16(req + 8, port);
  // An address that is not IPv4-mapped travels in the 16-byte field alone.
  bool mapped = addr != nullptr && memcmp(addr->addr, "\0\0\0\0\0\0\0\0\0\0\xff\xff", 12) == 0;
  if (addr != nullptr && (ipv4 != 0 || !mapped)) memcpy(req + 266, addr->addr, 16);
  if (BuildOnly(kFn, req, sizeof req, request, requestLen)) return WEQ_O_K;
  WEQ_RAW* reply = nullptr;
  int32_t replyLen = 0;
  int rc = MsIOpRequest(h, MS_GET_SECURITY_KEY2, req, sizeof req, &reply, &replyLen, wait, timeout,
                        MsIOpMsflag(wait, timeout));
  if (!wait) return rc;
  if (rc == WEQ_O_K && replyLen < MS_KEY_FIELD + MS_KEY_TEXT_LEN) {
    // Bytes that never arrived are no key.
    DPTRC_ERROR(MsITrc(), u"%s: key reply of %d bytes (%d expected)", kFn, replyLen, MS_KEY_FIELD + MS_KEY_TEXT_LEN);
    rc = MSOP_SECURITY_KEY_NOTSET;
  }
  if (rc != WEQ_O_K) {
    WEQ_UC rn[MS_NAME_LEN];
    DPTRC_LINE(1, MsITrc(), u"%s : failed %s (%d)\n", kFn, MsErrorName(rc, rn), rc);
    return rc;
  }
  MsBufConvertFromNet(gOp.key, reply + MS_KEY_FIELD, MS_KEY_TEXT_LEN);
  gOp.key[MS_KEY_TEXT_LEN] = 0;
  DPTRC_LINE(2, MsITrc(), u"%s : received security key >%s< from client\n", kFn, gOp.key);
  if (key != nullptr) *key = gOp.key;
  return WEQ_O_K;
}

int MsGetSecurityKeyByNodeAddr(const NI_NODEADDR* addr, uint16_t port, const WEQ_UC** key, uint8_t wait,
                               int32_t timeout) {
  uint32_t ipv4 = 0;
  if (addr != nullptr && memcmp(addr->addr, "\0\0\0\0\0\0\0\0\0\0\xff\xff", 12) == 0) ipv4 = NiAddrToIPv4(addr);
  return MsGetSecurityKeyByIpAdr(MsGetDefaultHdl(), addr, ipv4, port, key, wait, timeout, nullptr, nullptr);
}

int MsIGetNameByIpAdr(MS_HDL* h, const NI_NODEADDR* addr, uint16_t port, const WEQ_UC** name, uint8_t wait,
                      int32_t timeout, WEQ_RAW* request, int32_t* requestLen, int32_t version) {
  static constexpr WEQ_UC kFn[] = u"MsIGetNameByIpAdr";
  WEQ_UC rn[MS_NAME_LEN];
  if (addr == nullptr) {
    DPTRC_ERROR(MsITrc(), u"%s: no address", kFn);
    return MSEINVAL;
  }
  for (int32_t v = version == 1 ? 1 : 2;; v = 1) {
    WEQ_RAW req[MS_NAME_REQUEST_LEN] = {};
    OpHeader(req, MS_IP_PORT_TO_NAME, static_cast<uint8_t>(v), 0);
    if (v == 2) {
      memcpy(req + 4, addr->addr, 16);
      PutBe16(req + 20, port);
    } else {
      memcpy(req + 4, addr->addr + 12, 4);
      PutBe16(req + 8, port);
    }
    if (BuildOnly(kFn, req, sizeof req, request, requestLen)) return WEQ_O_K;
    WEQ_RAW* reply = nullptr;
    int32_t replyLen = 0;
    int rc = MsIOpRequest(h, MS_IP_PORT_TO_NAME, req, sizeof req, &reply, &replyLen, wait, timeout,
                          MsIOpMsflag(wait, timeout));
    if (!wait || rc != WEQ_O_K) return rc;
    // An older message server answers a version-2 request in version 1.
    if (v == 2 && reply[2] != 2) continue;
    int32_t at = v == 2 ? 22 : 10;
    int64_t n = replyLen >= at + 4 ? static_cast<int32_t>(GetBe32(reply + at)) : -1;
    if (n < 0 || n > replyLen - at - 4) {
      DPTRC_LINE(1, MsITrc(), u"%s : failed %s (%d)\n", kFn, MsErrorName(MSEINVAL, rn), MSEINVAL);
      DPTRC_ERROR(MsITrc(), u"%s: name length %d in a reply of %d bytes", kFn,
                  replyLen >= at + 4 ? static_cast<int32_t>(GetBe32(reply + at)) : -1, replyLen);
      return MSEINVAL;
    }
    if (gOp.nameCapacity < static_cast<size_t>(n) + 1) {
      WEQ_UC* p = static_cast<WEQ_UC*>(malloc((static_cast<size_t>(n) + 1) * sizeof(WEQ_UC)));
      if (p == nullptr) {
        DPTRC_LINE(1, MsITrc(), u"%s : failed %s (%d)\n", kFn, MsErrorName(MSENOMEM, rn), MSENOMEM);
        return MSENOMEM;
      }
      free(gOp.name);
      gOp.name = p;
      gOp.nameCapacity = static_cast<size_t>(n) + 1;
    }
    MsBufConvertFromNet(gOp.name, reply + at + 4, static_cast<int>(n));
    gOp.name[n] = 0;
    if (DPTRC_ON(2)) {
      DPTRC_LINE(2, MsITrc(), u"%s : received name >%s< len=%d for %s/%d\n", kFn, gOp.name, static_cast<int32_t>(n),
                 NiAddrToStrStatic(addr, 1), static_cast<int32_t>(port));
    }
    if (name != nullptr) *name = gOp.name;
    return WEQ_O_K;
  }
}

int MsGetNameByIpAdr(const NI_NODEADDR* addr, uint16_t port, const WEQ_UC** name, uint8_t wait, int32_t timeout) {
  return MsIGetNameByIpAdr(MsGetDefaultHdl(), addr, port, name, wait, timeout, nullptr, nullptr, 2);
}
