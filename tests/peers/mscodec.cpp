// The peers' message server codec (see mscodec.h).
#include "peers/mscodec.h"

#include <arpa/inet.h>
#include <string.h>

namespace mspeer {

const std::string kEye("**MESSAGE**\0", 12);
const std::string kEyeEbcdic("\x5C\x5C\xD4\xC5\xE2\xE2\xC1\xC7\xC5\x5C\x5C\x00", 12);

std::string Pad(const std::string& text, size_t width) {
  std::string out = text.substr(0, width);
  out.resize(width, ' ');
  return out;
}

std::string Trim(const std::string& field) {
  std::string out = field.substr(0, field.find('\0'));
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

std::string Be16(uint16_t v) { return std::string{static_cast<char>(v >> 8), static_cast<char>(v & 0xFF)}; }

std::string Be32(uint32_t v) {
  return std::string{static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
                     static_cast<char>(v)};
}

uint16_t GetBe16(const std::string& s, size_t at) {
  return static_cast<uint16_t>((static_cast<uint8_t>(s[at]) << 8) | static_cast<uint8_t>(s[at + 1]));
}

uint32_t GetBe32(const std::string& s, size_t at) {
  return (static_cast<uint32_t>(static_cast<uint8_t>(s[at])) << 24) |
         (static_cast<uint32_t>(static_cast<uint8_t>(s[at + 1])) << 16) |
         (static_cast<uint32_t>(static_cast<uint8_t>(s[at + 2])) << 8) | static_cast<uint8_t>(s[at + 3]);
}

std::string Encode(const Header& h, const std::string& data, int layout) {
  std::string m = h.ebcdic ? kEyeEbcdic : kEye;
  m += static_cast<char>(h.version);
  m += static_cast<char>(h.mserrno);
  if (layout == 3) {
    m += Pad(h.toname, 20);
    m += static_cast<char>(h.msgtypes);
    m += std::string(3, '\0');
    m += Pad(h.key, 8).substr(0, 8);
    m += static_cast<char>(h.msflag);
    m += static_cast<char>(h.iflag);
    m += Pad(h.fromname, 20);
  } else {
    m += Pad(h.toname, 40);
    m += static_cast<char>(h.msgtypes);
    m += '\0';
    m += static_cast<char>(h.dom);
    m += '\0';
    m += Pad(h.key, 8).substr(0, 8);
    m += static_cast<char>(h.msflag);
    m += static_cast<char>(h.iflag);
    m += Pad(h.fromname, 40);
  }
  m += Be16(h.port);
  return m + data;
}

bool Decode(const std::string& msg, int layout, Header* h, std::string* data, std::string* why) {
  size_t len = layout == 3 ? kHeader3 : kHeader4;
  if (msg.size() < len) {
    if (why != nullptr) *why = "short";
    return false;
  }
  h->ebcdic = msg.compare(0, 12, kEyeEbcdic) == 0;
  if (!h->ebcdic && msg.compare(0, 12, kEye) != 0) {
    if (why != nullptr) *why = "eye-catcher";
    return false;
  }
  h->version = static_cast<uint8_t>(msg[12]);
  h->mserrno = static_cast<int8_t>(msg[13]);
  if (layout == 3) {
    h->toname = msg.substr(14, 20);
    h->msgtypes = static_cast<uint8_t>(msg[34]);
    h->dom = 0;
    h->key = msg.substr(38, 8);
    h->msflag = static_cast<uint8_t>(msg[46]);
    h->iflag = static_cast<uint8_t>(msg[47]);
    h->fromname = msg.substr(48, 20);
    h->port = GetBe16(msg, 68);
  } else {
    h->toname = msg.substr(14, 40);
    h->msgtypes = static_cast<uint8_t>(msg[54]);
    h->dom = static_cast<uint8_t>(msg[56]);
    h->key = msg.substr(58, 8);
    h->msflag = static_cast<uint8_t>(msg[66]);
    h->iflag = static_cast<uint8_t>(msg[67]);
    h->fromname = msg.substr(68, 40);
    h->port = GetBe16(msg, 108);
  }
  if (data != nullptr) *data = msg.substr(len);
  return true;
}

std::string OpHeader(uint8_t opcode, uint8_t rc, uint8_t version, uint8_t mode) {
  return std::string{static_cast<char>(opcode), static_cast<char>(rc), static_cast<char>(version),
                     static_cast<char>(mode)};
}

size_t ClientRecordSize(int version) {
  switch (version) {
    case 1:
      return 67;
    case 2:
      return 115;
    case 3:
      return 150;
    case 4:
      return 160;
    default:
      return 0;
  }
}

std::string ClientRecord(const Client& c, int version) {
  const std::string v4(reinterpret_cast<const char*>(c.v4.data()), 4);
  const std::string v6(reinterpret_cast<const char*>(c.v6.data()), 16);
  std::string r;
  switch (version) {
    case 1:
      r = Pad(c.name, 20) + Pad(c.host, 20) + Pad(c.serv, 20) + static_cast<char>(c.types) + v4 + Be16(c.port);
      break;
    case 2:
      r = Pad(c.name, 40) + Pad(c.host, 32) + Pad(c.serv, 20) + static_cast<char>(c.types) + v4 + Be16(c.port) +
          static_cast<char>(c.state) + std::string(15, '\0');
      break;
    case 3:
    case 4:
      r = Pad(c.name, 40) + Pad(c.host, 64) + Pad(c.serv, 20) + static_cast<char>(c.types) + v6 + v4 +
          Be16(c.port) + static_cast<char>(c.state);
      // Byte 148 unused; version 4 carries the system services at 149.
      r += version == 3 ? std::string(2, '\0') : std::string(1, '\0') + Be32(c.sys) + std::string(7, '\0');
      break;
    default:
      break;
  }
  return r;
}

std::string LogonRecord(const Logon& l) {
  std::string r = Be16(l.prot) + Be16(l.port) + std::string(reinterpret_cast<const char*>(l.v4.data()), 4);
  for (const std::string* t : {&l.name, &l.protname, &l.host, &l.misc}) r += Be16(static_cast<uint16_t>(t->size())) + *t;
  if (l.hasV6) r += Be16(16) + std::string(reinterpret_cast<const char*>(l.v6.data()), 16);
  return r + Be16(0xFFFF);
}

bool ParseLogon(const std::string& s, size_t at, Logon* l) {
  if (at + 8 > s.size()) return false;
  l->prot = GetBe16(s, at);
  l->port = GetBe16(s, at + 2);
  memcpy(l->v4.data(), s.data() + at + 4, 4);
  size_t p = at + 8;
  for (std::string* t : {&l->name, &l->protname, &l->host, &l->misc}) {
    if (p + 2 > s.size()) return false;
    size_t n = GetBe16(s, p);
    if (n == 0xFFFF || p + 2 + n > s.size()) return false;
    *t = s.substr(p + 2, n);
    p += 2 + n;
  }
  if (p + 2 > s.size()) return false;
  l->hasV6 = false;
  if (GetBe16(s, p) == 16) {
    if (p + 18 > s.size()) return false;
    l->hasV6 = true;
    memcpy(l->v6.data(), s.data() + p + 2, 16);
    p += 18;
  }
  return p + 2 <= s.size() && GetBe16(s, p) == 0xFFFF;
}

bool ParseRelease(const std::string& q, Release* r) {
  if (q.size() < 70) return false;
  r->client = q.substr(4, 40);
  r->property = GetBe32(q, 44);
  r->release = q.substr(48, 10);
  r->number = GetBe32(q, 58);
  r->patchLevel = GetBe32(q, 62);
  r->patchNumber = GetBe32(q, 66);
  return true;
}

bool ParseKeyRequest(const std::string& q, KeyRequest* k) {
  if (q.size() < 282) return false;
  memcpy(k->v4.data(), q.data() + 4, 4);
  k->port = GetBe16(q, 8);
  memcpy(k->v6.data(), q.data() + 266, 16);
  return true;
}

std::string KeyReply(const KeyRequest& k, const std::string& key, uint8_t rc) {
  std::string r = OpHeader(9, rc, 2, 0);
  r += std::string(reinterpret_cast<const char*>(k.v4.data()), 4) + Be16(k.port);
  std::string field = key.substr(0, 256);
  field.resize(256, '\0');
  r += field;
  r += std::string(reinterpret_cast<const char*>(k.v6.data()), 16);
  return r;
}

bool ParseNameRequest(const std::string& q, NameRequest* n) {
  if (q.size() < 27) return false;
  n->version = static_cast<uint8_t>(q[2]);
  n->addr = {};
  if (n->version == 1) {
    n->addr[10] = n->addr[11] = 0xFF;
    memcpy(n->addr.data() + 12, q.data() + 4, 4);
    n->port = GetBe16(q, 8);
  } else {
    memcpy(n->addr.data(), q.data() + 4, 16);
    n->port = GetBe16(q, 20);
  }
  return true;
}

std::string NameReply(uint8_t version, const std::string& name, uint8_t rc) {
  std::string r = OpHeader(70, rc, version, 0);
  r.resize(version == 1 ? 10 : 22, '\0');
  return r + Be32(static_cast<uint32_t>(name.size())) + name;
}

bool Addr16(const std::string& text, std::array<uint8_t, 16>* out) {
  in_addr a4;
  in6_addr a6;
  out->fill(0);
  if (inet_pton(AF_INET, text.c_str(), &a4) == 1) {
    (*out)[10] = (*out)[11] = 0xFF;
    memcpy(out->data() + 12, &a4, 4);
    return true;
  }
  if (inet_pton(AF_INET6, text.c_str(), &a6) == 1) {
    memcpy(out->data(), &a6, 16);
    return true;
  }
  return false;
}

bool IsMapped(const std::array<uint8_t, 16>& a) {
  for (int i = 0; i < 10; ++i)
    if (a[static_cast<size_t>(i)] != 0) return false;
  return a[10] == 0xFF && a[11] == 0xFF;
}

std::string HexOf(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) out += kDigits[c >> 4], out += kDigits[c & 15];
  return out;
}

std::string FromHex(const std::string& hex) {
  std::string out;
  auto val = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
  for (size_t i = 0; i + 1 < hex.size(); i += 2) out += static_cast<char>(val(hex[i]) * 16 + val(hex[i + 1]));
  return out;
}

}  // namespace mspeer
