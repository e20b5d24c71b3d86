// Replies of a message server into the logon-group layer, and favourites
// into its fillers.
//
// Byte 0 chooses: 0 the six fillers on a 120-byte text entry (bytes 1-120,
// zeros where the input is shorter) with the text length of bytes 121-124;
// 1 LgGroupSec, 2 LgGroupSncSec, 3 LgApplSrvInfo against the replay server
// of the message server client's fuzz targets. Byte 1 gives the layer's
// time-out, 2 or 3 ms: the replay server answers within a fraction of
// that, and every wait that an answer does not end costs the whole
// time-out. The rest is the script after the login answer: steps of
// [kind][length, 2 bytes big-endian][bytes]; each step waits for one
// client message and answers it with the bytes as an administration answer
// (kind 0), an opcode reply (1) or raw (2, framing included), not at all
// (3), or with answers built from them: text entries of 76-byte values
// named G, H, ... (4), an integer entry (5), a client list of one record
// per 12 bytes (6).
//
// Every call must end within its time-outs with a code of the layer, leave
// every text output ended within its buffer, and read or write nothing out
// of bounds.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "../ms/msreplay.h"
#include "i18n/wequ16/u16str.h"
#include "krn/lg/lg.h"
#include "krn/lg/lg_int.h"
#include "krn/ni/ni.h"
#include "krn/thr/thr.h"
#include "peers/adcodec.h"
#include "peers/mscodec.h"

namespace {

template <size_t N>
void Ended(const WEQ_UC (&text)[N]) {
  if (strnlenU16(text, N) >= N) abort();
}

void Fillers(const uint8_t* data, size_t size) {
  uint8_t in[125] = {};
  memcpy(in, data, size < sizeof in ? size : sizeof in);
  LG_TEXT_REC rec;
  memcpy(&rec, in + 1, sizeof rec);
  int32_t textLen;
  memcpy(&textLen, in + 121, 4);
  LG_CLASS_ENTRY c;
  LG_GROUP_REC g;
  using ClassFill = LG_RC (*)(LG_CLASS_ENTRY*, const LG_TEXT_REC*, int32_t);
  using GroupFill = LG_RC (*)(LG_GROUP_REC*, const LG_TEXT_REC*, int32_t);
  for (ClassFill f : {LgIFillList, LgIFillListIpv6, LgIFillLgListLbIpv6_2}) {
    memset(&c, 0x55, sizeof c);
    if (f(&c, &rec, textLen) != 0) continue;
    Ended(c.name), Ended(c.addr), Ended(c.port), Ended(c.release);
  }
  for (GroupFill f : {LgIFillListLb, LgIFillListLbIpv6, LgIFillLgListLbIpv6}) {
    memset(&g, 0x55, sizeof g);
    if (f(&g, &rec, textLen) != 0) continue;
    Ended(g.name), Ended(g.addr), Ended(g.port), Ended(g.release);
    if (g.mshost != nullptr || g.servers != nullptr || g.serverCount != 0) abort();
  }
}

// An administration answer of storage replies: text entries (type 22) of
// the given values, or one integer entry (type 21).
std::string StorageAnswer(const std::string& bytes, bool integers) {
  std::vector<std::string> records;
  for (size_t at = 0, i = 0; at < bytes.size() || i == 0; at += 76, ++i) {
    adpeer::Storage r;
    r.type = integers ? 21 : 22;
    r.valueLen = integers ? 10 : 40;
    r.name = mspeer::Pad(std::string(1, static_cast<char>('G' + i % 20)), 20);
    r.value = bytes.substr(at < bytes.size() ? at : bytes.size(), 76);
    r.value.resize(76, integers ? '\0' : ' ');
    records.push_back(adpeer::Record(adpeer::kOpStorage, adpeer::StorageBody(r), static_cast<uint8_t>(i), 1, 0));
    if (integers || records.size() == 290) break;
  }
  return msreplay::Message(mspeer::kMsgAdmin, mspeer::kOpAdmin, adpeer::Block(records, 1, 2));
}

// A client list in layout 4: name, types, IPv4 address, port and group of
// servers from 12 bytes each.
std::string ClientList(const std::string& bytes) {
  std::string list = mspeer::OpHeader(5, 0, 4, 0);
  for (size_t at = 0; at + 12 <= bytes.size() && list.size() < 30000; at += 12) {
    mspeer::Client c;
    c.name = std::string(1, static_cast<char>('A' + at / 12 % 26));
    c.host = "h";
    c.serv = "s";
    c.types = static_cast<uint8_t>(bytes[at]);
    c.v6[10] = c.v6[11] = 0xFF;
    for (int i = 0; i < 4; ++i) c.v4[static_cast<size_t>(i)] = c.v6[12 + static_cast<size_t>(i)] = static_cast<uint8_t>(bytes[at + 1 + static_cast<size_t>(i)]);
    c.port = static_cast<uint16_t>((static_cast<uint8_t>(bytes[at + 5]) << 8) | static_cast<uint8_t>(bytes[at + 6]));
    c.state = static_cast<uint8_t>(bytes[at + 7]);
    c.sys = mspeer::GetBe32(bytes, at + 8);
    list += mspeer::ClientRecord(c, 4);
  }
  return msreplay::Message(mspeer::kMsgReply, mspeer::kOpByName, list);
}

std::string Wrap(uint8_t kind, const std::string& bytes) {
  switch (kind % 7) {
    case 0:
      return msreplay::Message(mspeer::kMsgAdmin, mspeer::kOpAdmin, bytes.substr(0, mspeer::kMaxData));
    case 1:
      return msreplay::Message(mspeer::kMsgReply, mspeer::kOpByName, bytes.substr(0, mspeer::kMaxData));
    case 2:
      return bytes;
    case 4:
      return StorageAnswer(bytes, false);
    case 5:
      return StorageAnswer(bytes, true);
    case 6:
      return ClientList(bytes);
    default:
      return "";
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool started = ThrProcInit() == 0 && NiInit3(64) == WEQ_O_K;
  static msreplay::Server server;
  if (!started || !server.ok()) abort();
  if (size < 2 || size > 70000) return 0;
  int which = data[0] % 4;
  if (which == 0) {
    Fillers(data, size);
    return 0;
  }
  std::vector<msreplay::Step> steps = {{true, msreplay::LoginAnswer()}};
  for (size_t at = 2; at + 3 <= size && steps.size() < 40;) {
    uint8_t kind = data[at];
    size_t len = (static_cast<size_t>(data[at + 1]) << 8) | data[at + 2];
    at += 3;
    len = len < size - at ? len : size - at;
    steps.push_back({true, Wrap(kind, std::string(reinterpret_cast<const char*>(data + at), len))});
    at += len;
  }
  server.Play(steps, true);
  LgIResetProcess();
  LgSetParam(LG_PARAM_TIMEOUT, 2 + data[1] % 2);
  std::u16string serv = server.Serv();
  if (which == 3) {
    LG_APPSRV_ENTRY* as = nullptr;
    LG_CLASS_ENTRY* cl = nullptr;
    int32_t asCount = -1, clCount = -1;
    LG_RC rc = LgApplSrvInfo(u"127.0.0.1", serv.c_str(), &as, &asCount, &cl, &clCount);
    if (rc == 0 && (asCount < 0 || clCount < 0 || (asCount > 0 && as == nullptr) || (clCount > 0 && cl == nullptr)))
      abort();
    for (int32_t i = 0; rc == 0 && i < asCount; ++i)
      Ended(as[i].name), Ended(as[i].host), Ended(as[i].addr), Ended(as[i].serv), Ended(as[i].port),
          Ended(as[i].type);
    for (int32_t i = 0; rc == 0 && i < clCount; ++i)
      Ended(cl[i].name), Ended(cl[i].addr), Ended(cl[i].port), Ended(cl[i].release);
  } else {
    WEQ_UC addr[46] = {}, release[5] = {}, name[41] = {}, snc[257] = {};
    uint16_t port = 0;
    uint8_t lb = 0;
    for (int round = 0; round < 2; ++round) {
      LG_RC rc = which == 1 ? LgGroupSec(u"127.0.0.1", serv.c_str(), u"G", addr, 46, &port, release, 5, &lb, name, 41)
                            : LgGroupSncSec(u"127.0.0.1", serv.c_str(), u"G", addr, 46, &port, release, 5, snc, 257,
                                            &lb, name, 41);
      if (rc > 0 || rc < -102) abort();
      Ended(addr), Ended(release), Ended(name);
      if (which == 2) Ended(snc);
      if (lb > 1) abort();
    }
  }
  server.Finish();
  LgIResetProcess();
  return 0;
}
