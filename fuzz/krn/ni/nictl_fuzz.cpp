// Control messages and routes. Byte 0 chooses:
//   0, 1  messages into NiBufIProcMsg on an unbuffered (0) or a buffered (1)
//         handle over a socket pair whose other end takes the answers. The
//         rest is a list of messages; each starts with a kind byte: raw
//         bytes, a keep-alive message, or an NI_RTERR built from the next
//         bytes (NI version, opcode, code, a text length that fits or any
//         32-bit value, an error record or bytes, data). A message that is
//         no control message stays user data, length and bytes unchanged; a
//         control message is consumed; a peer's code that NI uses for its
//         own flow never comes out; every answer is a whole NI_RTERR.
//   2     the rest as a UTF-16 route string into NiRouteToTable, byte 1 the
//         table size: the count and the rows are those of the built message
//         read back by the peer toolkit's decoder.
//   3     the rest as an entry area behind a header whose length field bytes
//         1-2 give, read entry by entry with NiBufIRouteGetNext: each entry
//         read lies whole within the length, a refused one moves nothing.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "krn/ni/ni.h"
#include "krn/ni/nictl_int.h"
#include "krn/ni/niroute_int.h"
#include "krn/ni/nixx_int.h"
#include "krn/thr/thr.h"
#include "nifuzz.h"
#include "peers/niframe.h"
#include "peers/nictlcodec.h"

namespace {

[[noreturn]] void Fail() { abort(); }

struct Input {
  const uint8_t* p;
  size_t n;
  size_t at = 0;
  uint8_t Byte() { return at < n ? p[at++] : 0; }
  uint32_t Word() {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v = v << 8 | Byte();
    return v;
  }
  std::string Bytes(size_t k) {
    k = k < n - at ? k : n - at;
    std::string s(reinterpret_cast<const char*>(p + at), k);
    at += k;
    return s;
  }
  bool done() const { return at >= n; }
};

bool FlowCode(int32_t rc) {
  return rc == NIETIMEOUT || rc == NIETOO_SMALL || rc == NIEPING || rc == NIEOPCODE || rc == NIEACCEPT ||
         rc == NIEQUE_FULL || rc == NIECONN_PENDING || rc > 0;
}

// What a message is, read from its bytes alone: a keep-alive message or an
// NI_RTERR whose text fits (with its code and the opcode that counts).
bool IsControl(const std::string& m, int32_t* rc, uint8_t* opcode) {
  *rc = 0;
  *opcode = 255;
  if (m == std::string("NI_PING", 8) || m == std::string("NI_PONG", 8)) return true;
  peers::RtErr e;
  if (!peers::DecodeRtErr(m, &e)) return false;
  *rc = e.rc;
  *opcode = e.niVersion < 29 ? 0 : e.opcode;
  return true;
}

// The next message of the list.
std::string NextMessage(Input* in) {
  uint8_t kind = in->Byte();
  switch (kind % 4) {
    case 0:
      return in->Bytes(in->Byte());
    case 1:
      return std::string(kind & 4 ? "NI_PING" : "NI_PONG", 8);
    default: {
      peers::RtErr m;
      m.niVersion = in->Byte();
      m.opcode = in->Byte() % 12;
      m.rc = static_cast<int32_t>(in->Word());
      m.text = in->Bytes(in->Byte());
      m.data = in->Bytes(in->Byte() % 10);
      std::string bytes = peers::EncodeRtErr(m);
      if (kind % 4 == 3) {
        uint32_t len = in->Word();
        for (int i = 0; i < 4; ++i) bytes[16 + i] = static_cast<char>(len >> (24 - 8 * i));
      }
      return bytes;
    }
  }
}

void Messages(Input* in, bool buffered) {
  int sv[2];
  NITAB* rec = NiFuzzConnection(sv);
  if (rec == nullptr) Fail();
  if (buffered && NiBufIHdlInit(rec) != WEQ_O_K) Fail();
  rec->mCheck = in->Byte() % 3;
  peers::FrameParser answers;
  for (int i = 0; i < 64 && !in->done(); ++i) {
    int32_t sent = 0;
    uint8_t opcode = 0;
    std::string msg = NextMessage(in);
    bool control = IsControl(msg, &sent, &opcode);
    std::string copy = msg;
    uint32_t len = static_cast<uint32_t>(msg.size());
    NI_RC peerRc = 77;
    uint8_t version = 0;
    NI_RC rc = NiBufIProcMsg(rec, rec->mBuf, msg.data(), &len, &peerRc, &version);
    if (peerRc != 0 && !(control && opcode == 0)) Fail();
    if (rc == WEQ_O_K) {
      if (control || len != copy.size() || msg != copy) Fail();
    } else {
      if (!control || len != 0) Fail();
      if (FlowCode(peerRc)) Fail();
      if (control && opcode == 0 && !FlowCode(sent) && peerRc != sent) Fail();
      if (rc != NIEOPCODE && rc != NIEPING && rc != NIEINTERN) Fail();
    }
    // Every answer is a whole NI_RTERR of this system's version.
    char buf[65536];
    ssize_t got;
    while ((got = recv(sv[1], buf, sizeof buf, 0)) > 0) answers.Feed(buf, static_cast<size_t>(got));
    std::string a;
    while (answers.Next(&a)) {
      peers::RtErr m;
      bool pong = a == std::string("NI_PONG", 8);
      if (!pong && (!peers::DecodeRtErr(a, &m) || m.niVersion != 40)) Fail();
    }
    if (answers.bad()) Fail();
  }
  NiICloseHandle(rec, 1, 0);
  close(sv[1]);
}

void Routes(Input* in) {
  int32_t size = in->Byte() % 8;
  std::u16string route;
  while (in->at + 1 < in->n) {
    char16_t u = static_cast<char16_t>(in->Byte() << 8);
    u = static_cast<char16_t>(u | in->Byte());
    if (u == 0) u = u'/';
    route.push_back(u);
  }
  int32_t count = -1;
  NI_ROUTE_ENTRY rows[8];
  memset(rows, 0x55, sizeof rows);
  NI_RC rc = NiRouteToTable(&count, route.c_str(), rows, size);
  static NI_ROUTE_MSG m;
  NI_RC built = NiBufIHostToRoute(route.c_str(), u"", 0, NiITrcHdl(), &m);
  if (rc != built) Fail();
  if (rc == NIETOO_SMALL) return;
  if (rc != WEQ_O_K) Fail();
  peers::RouteMsg d;
  std::string why;
  std::string wire(reinterpret_cast<const char*>(m.data), NiIRouteMsgLen(&m));
  if (!peers::DecodeRoute(wire, &d, &why) || d.hops != d.count || d.next != 0) Fail();
  if (count != static_cast<int32_t>(d.entries.size()) || count < 1) Fail();
  int32_t skip = count > size ? count - size : 0;
  for (int32_t i = skip; i < count; ++i) {
    const NI_ROUTE_ENTRY& row = rows[i - skip];
    const peers::RouteEntry& e = d.entries[static_cast<size_t>(i)];
    std::u16string host(e.host.begin(), e.host.begin() + static_cast<long>(e.host.size() < 59 ? e.host.size() : 59));
    std::u16string serv(e.service.begin(),
                        e.service.begin() + static_cast<long>(e.service.size() < 29 ? e.service.size() : 29));
    if (row.host[59] != 0 || row.service[29] != 0 || std::u16string(row.host) != host ||
        std::u16string(row.service) != serv)
      Fail();
  }
}

void Entries(Input* in) {
  static NI_ROUTE_MSG m;
  memset(m.data, 0, sizeof m.data);
  uint32_t total = uint32_t{in->Byte()} << 8;
  total |= in->Byte();
  if (total & 0x8000) total += 0x10000;  // sometimes beyond the area
  std::string area = in->Bytes(NI_ROUTE_MAX_ENTRIES_LEN);
  memcpy(m.data + NI_ROUTE_HDR_LEN, area.data(), area.size());
  m.data[16] = static_cast<WEQ_RAW>(total >> 24);
  m.data[17] = static_cast<WEQ_RAW>(total >> 16);
  m.data[18] = static_cast<WEQ_RAW>(total >> 8);
  m.data[19] = static_cast<WEQ_RAW>(total);
  uint32_t off = 0;
  for (int i = 0; i < 4000; ++i) {
    uint32_t before = off;
    WEQ_UC host[NI_ROUTE_HOST_OUT], serv[NI_ROUTE_SERV_OUT], pass[NI_ROUTE_PASS_OUT];
    NI_RC rc = NiBufIRouteGetNext(&m, &off, 0, NiITrcHdl(), host, serv, pass, nullptr, nullptr);
    if (rc != WEQ_O_K) {
      if (rc != NIEINVAL || off != before) Fail();
      return;
    }
    if (off <= before || off > total || total > NI_ROUTE_MAX_ENTRIES_LEN) Fail();
    // The three texts lie whole in what was read, each ended by its 0.
    size_t fields = 0;
    for (uint32_t k = before; k < off; ++k) fields += m.data[NI_ROUTE_HDR_LEN + k] == 0;
    if (fields != 3 || m.data[NI_ROUTE_HDR_LEN + off - 1] != 0) Fail();
    auto ended = [](const WEQ_UC* t, size_t width) {
      for (size_t k = 0; k < width; ++k)
        if (t[k] == 0) return true;
      return false;
    };
    if (!ended(host, NI_ROUTE_HOST_OUT) || !ended(serv, NI_ROUTE_SERV_OUT) || !ended(pass, NI_ROUTE_PASS_OUT)) Fail();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool started = ThrProcInit() == THR_ERR_OK && NiInit3(16) == WEQ_O_K;
  if (!started) Fail();
  if (size < 2 || size > 40000) return 0;
  Input in{data + 1, size - 1};
  switch (data[0] % 4) {
    case 0:
      Messages(&in, false);
      break;
    case 1:
      Messages(&in, true);
      break;
    case 2:
      Routes(&in);
      break;
    default:
      Entries(&in);
      break;
  }
  return 0;
}
