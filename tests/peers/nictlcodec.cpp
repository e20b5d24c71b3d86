// The NI router and control message codecs of nictlcodec.h.
#include "peers/nictlcodec.h"

#include <string.h>

namespace peers {

namespace {

uint32_t Be32(const std::string& b, size_t at) {
  auto u = [&](size_t i) { return static_cast<uint32_t>(static_cast<unsigned char>(b[at + i])); };
  return (u(0) << 24) | (u(1) << 16) | (u(2) << 8) | u(3);
}

void PutBe32(std::string* b, uint32_t v) {
  for (int s = 24; s >= 0; s -= 8) b->push_back(static_cast<char>(v >> s));
}

uint8_t Byte(const std::string& b, size_t at) { return static_cast<uint8_t>(b[at]); }

}  // namespace

bool DecodeRoute(const std::string& bytes, RouteMsg* msg, std::string* why) {
  *msg = RouteMsg{};
  if (bytes.size() < 24) {
    *why = "short header (" + std::to_string(bytes.size()) + " bytes)";
    return false;
  }
  if (bytes.compare(0, 8, "NI_ROUTE") != 0) {
    *why = "no NI_ROUTE eyecatcher";
    return false;
  }
  msg->zero8 = Byte(bytes, 8);
  msg->routeVersion = Byte(bytes, 9);
  msg->niVersion = Byte(bytes, 10);
  msg->count = Byte(bytes, 11);
  msg->mode = Byte(bytes, 12);
  msg->zero13 = Byte(bytes, 13);
  msg->zero14 = Byte(bytes, 14);
  msg->hops = Byte(bytes, 15);
  msg->areaLen = Be32(bytes, 16);
  msg->next = Be32(bytes, 20);
  if (msg->zero8 != 0 || msg->zero13 != 0 || msg->zero14 != 0) {
    *why = "reserved byte not zero";
    return false;
  }
  if (bytes.size() != 24 + static_cast<size_t>(msg->areaLen)) {
    *why = "entry area length " + std::to_string(msg->areaLen) + " in a message of " + std::to_string(bytes.size());
    return false;
  }
  const std::string area = bytes.substr(24);
  size_t at = 0;
  while (at < area.size()) {
    RouteEntry e;
    e.offset = static_cast<uint32_t>(at);
    std::string* field[3] = {&e.host, &e.service, &e.password};
    for (std::string* f : field) {
      size_t end = area.find('\0', at);
      if (end == std::string::npos) {
        *why = "entry " + std::to_string(msg->entries.size()) + " not ended";
        return false;
      }
      *f = area.substr(at, end - at);
      at = end + 1;
    }
    msg->entries.push_back(e);
  }
  if (msg->entries.size() != msg->count) {
    *why = std::to_string(msg->entries.size()) + " entries, count " + std::to_string(msg->count);
    return false;
  }
  return true;
}

std::string EncodeRoute(const RouteMsg& msg) {
  std::string area;
  for (const RouteEntry& e : msg.entries) {
    area += e.host;
    area.push_back('\0');
    area += e.service;
    area.push_back('\0');
    area += e.password;
    area.push_back('\0');
  }
  std::string out("NI_ROUTE", 8);
  out.push_back(static_cast<char>(msg.zero8));
  out.push_back(static_cast<char>(msg.routeVersion));
  out.push_back(static_cast<char>(msg.niVersion));
  out.push_back(static_cast<char>(msg.count != 0 ? msg.count : msg.entries.size()));
  out.push_back(static_cast<char>(msg.mode));
  out.push_back(static_cast<char>(msg.zero13));
  out.push_back(static_cast<char>(msg.zero14));
  out.push_back(static_cast<char>(msg.hops != 0 ? msg.hops : msg.entries.size()));
  PutBe32(&out, msg.areaLen != 0 ? msg.areaLen : static_cast<uint32_t>(area.size()));
  PutBe32(&out, msg.next);
  return out + area;
}

std::string EncodeRtErr(const RtErr& m) {
  std::string out("NI_RTERR", 8);
  out.push_back('\0');
  out.push_back(static_cast<char>(m.niVersion));
  out.push_back(static_cast<char>(m.opcode));
  out.push_back('\0');
  PutBe32(&out, static_cast<uint32_t>(m.rc));
  PutBe32(&out, static_cast<uint32_t>(m.text.size()));
  out += m.text;
  out += m.data;
  out.append(4, '\0');
  return out;
}

bool DecodeRtErr(const std::string& bytes, RtErr* m) {
  if (bytes.size() < 24 || bytes.compare(0, 9, std::string("NI_RTERR\0", 9)) != 0) return false;
  uint32_t textLen = Be32(bytes, 16);
  if (textLen > bytes.size() - 24) return false;
  m->niVersion = Byte(bytes, 9);
  m->opcode = Byte(bytes, 10);
  m->rc = static_cast<int32_t>(Be32(bytes, 12));
  m->text = bytes.substr(20, textLen);
  m->data = bytes.substr(20 + textLen, bytes.size() - 24 - textLen);
  return true;
}

std::string HandoffRecord(uint32_t pid, int32_t fd, int32_t family, int32_t type, size_t len) {
  std::string r(628, '\0');
  memcpy(r.data(), "TOVSOCK1", 8);
  auto put = [&r](size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) r[at + i] = static_cast<char>(v >> (8 * i));
  };
  put(8, pid);
  put(12, static_cast<uint32_t>(fd));
  put(16, static_cast<uint32_t>(family));
  put(20, static_cast<uint32_t>(type));
  memcpy(r.data() + 116, "TCP/IP", 6);
  r.resize(len);
  return r;
}

}  // namespace peers
