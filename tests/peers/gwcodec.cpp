// The gateway protocol's records (gwcodec.h).
#include "peers/gwcodec.h"

namespace peers {

namespace {

bool AllZero(const std::string& b, size_t from, size_t to) {
  for (size_t i = from; i < to && i < b.size(); ++i)
    if (b[i] != 0) return false;
  return true;
}

// The text of a fixed field up to its first 0 byte.
std::string UpToNul(const std::string& b, size_t off, size_t n, bool* ended = nullptr) {
  std::string out;
  size_t i = off;
  for (; i < off + n && i < b.size() && b[i] != 0; ++i) out += b[i];
  if (ended != nullptr) *ended = i < off + n && i < b.size();
  return out;
}

uint8_t U8(const std::string& b, size_t off) { return static_cast<uint8_t>(b[off]); }

}  // namespace

uint32_t GetBe32(const std::string& b, size_t off) {
  return (uint32_t{U8(b, off)} << 24) | (uint32_t{U8(b, off + 1)} << 16) | (uint32_t{U8(b, off + 2)} << 8) |
         U8(b, off + 3);
}

int16_t GetBe16(const std::string& b, size_t off) {
  return static_cast<int16_t>((uint16_t{U8(b, off)} << 8) | U8(b, off + 1));
}

void PutBe32(std::string* b, size_t off, uint32_t v) {
  (*b)[off] = static_cast<char>(v >> 24);
  (*b)[off + 1] = static_cast<char>(v >> 16);
  (*b)[off + 2] = static_cast<char>(v >> 8);
  (*b)[off + 3] = static_cast<char>(v);
}

void PutBe16(std::string* b, size_t off, uint16_t v) {
  (*b)[off] = static_cast<char>(v >> 8);
  (*b)[off + 1] = static_cast<char>(v);
}

int AppcLen(int version) {
  switch (version) {
    case 1: return 76;
    case 2:
    case 3: return 100;
    case 4: return 138;
    case 5: return 78;
    case 6: return 80;
    default: return 0;
  }
}

std::string AppcEncode(const AppcHeader& h, int len) {
  std::string b(static_cast<size_t>(len < 76 ? 76 : len), '\0');
  b[0] = static_cast<char>(h.version);
  b[1] = static_cast<char>(h.req);
  b[2] = static_cast<char>(h.protocol);
  b[3] = static_cast<char>(h.mode);
  PutBe16(&b, 4, static_cast<uint16_t>(h.uid));
  PutBe16(&b, 8, static_cast<uint16_t>(h.errLen));
  b[10] = static_cast<char>(h.info2);
  b[11] = static_cast<char>(h.trace);
  b[16] = static_cast<char>(h.info3);
  b[21] = static_cast<char>(h.info4);
  PutBe32(&b, 22, h.gwReq);
  PutBe16(&b, 26, static_cast<uint16_t>(h.paramLen));
  b[30] = static_cast<char>(h.info);
  b[31] = static_cast<char>(h.vector);
  PutBe32(&b, 32, static_cast<uint32_t>(h.appcRc));
  PutBe32(&b, 36, static_cast<uint32_t>(h.weqRc));
  b.replace(40, 8, (h.convId + std::string(8, ' ')).substr(0, 8));
  b.replace(48, 28, (h.area + std::string(28, '\0')).substr(0, 28));
  if (b.size() >= 78) PutBe16(&b, 76, static_cast<uint16_t>(h.commIdx));
  if (b.size() >= 80) PutBe16(&b, 78, static_cast<uint16_t>(h.connIdx));
  b.resize(static_cast<size_t>(len < 0 ? 0 : len));
  return b;
}

bool AppcDecode(const std::string& msg, int len, AppcHeader* h) {
  if (len < 76 || msg.size() < static_cast<size_t>(len)) return false;
  *h = AppcHeader();
  h->version = U8(msg, 0);
  h->req = U8(msg, 1);
  h->protocol = U8(msg, 2);
  h->mode = U8(msg, 3);
  h->uid = GetBe16(msg, 4);
  h->errLen = static_cast<uint16_t>(GetBe16(msg, 8));
  h->info2 = U8(msg, 10);
  h->trace = U8(msg, 11);
  h->info3 = U8(msg, 16);
  h->info4 = U8(msg, 21);
  h->gwReq = GetBe32(msg, 22);
  h->paramLen = static_cast<uint16_t>(GetBe16(msg, 26));
  h->info = U8(msg, 30);
  h->vector = U8(msg, 31);
  h->appcRc = static_cast<int32_t>(GetBe32(msg, 32));
  h->weqRc = static_cast<int32_t>(GetBe32(msg, 36));
  h->convId = msg.substr(40, 8);
  h->area = msg.substr(48, 28);
  if (len >= 78) h->commIdx = GetBe16(msg, 76);
  if (len >= 80) h->connIdx = GetBe16(msg, 78);
  h->zeros = AllZero(msg, 6, 8) && AllZero(msg, 12, 16) && AllZero(msg, 17, 21) && AllZero(msg, 28, 30) &&
             AllZero(msg, 80, static_cast<size_t>(len));
  return true;
}

bool InitBlockDecode(const std::string& block, InitBlock* b) {
  if (block.size() != 340) return false;
  *b = InitBlock();
  b->trace = block.substr(0, 45);
  b->longLu = block.substr(72, 128);
  b->addr16 = block.substr(200, 16);
  b->user = block.substr(216, 12);
  b->sendLen = GetBe32(block, 260);
  b->reqLen = GetBe32(block, 264);
  b->ipv4 = block.substr(268, 4);
  b->longTp = block.substr(276, 64);
  b->zeros = AllZero(block, 45, 72) && AllZero(block, 228, 260) && AllZero(block, 272, 276);
  return true;
}

bool ConnDecode(const std::string& r, ConnRecord* c) {
  *c = ConnRecord();
  if (r.size() != 64 && r.size() != 136) return false;
  c->version = U8(r, 0);
  c->type = U8(r, 1);
  c->ipv4 = r.substr(2, 4);
  c->service10 = UpToNul(r, 10, 10, &c->service10Ended);
  c->codePage = r.substr(20, 4);
  c->host8 = r.substr(30, 8);
  c->service8 = r.substr(38, 8);
  c->blanks46 = r.substr(46, 8) == std::string(8, ' ');
  c->hdrVersion = U8(r, 54);
  c->acceptInfo = U8(r, 55);
  c->index = GetBe16(r, 56);
  c->zeros = AllZero(r, 6, 10) && AllZero(r, 24, 30);
  if (r.size() == 136) {
    c->addr16 = r.substr(58, 16);
    c->zeros = c->zeros && AllZero(r, 74, 136);
  } else {
    c->zeros = c->zeros && AllZero(r, 58, 64);
  }
  // The bytes of the service text behind its terminator are 0 too.
  size_t end = 10 + c->service10.size() + 1;
  c->zeros = c->zeros && AllZero(r, end, 20);
  return true;
}

std::string ConnAnswer(int version, int hdrVersion, int acceptInfo, const std::string& codePage, int32_t error,
                       bool echo) {
  std::string a(version == 3 ? 136 : 64, '\0');
  a[0] = static_cast<char>(version);
  a.replace(20, 4, (codePage + "    ").substr(0, 4));
  a[54] = static_cast<char>(hdrVersion);
  a[55] = static_cast<char>(acceptInfo);
  PutBe32(&a, version == 3 ? 130 : 58, static_cast<uint32_t>(error));
  a[version == 3 ? 134 : 62] = echo ? 1 : 0;
  return a;
}

bool IdentDecode(const std::string& b, IdentBlock* id) {
  *id = IdentBlock();
  if (b.size() != 512) return false;
  bool hostEnded = false, servEnded = false;
  id->host = UpToNul(b, 0, 128, &hostEnded);
  id->service = UpToNul(b, 128, 64, &servEnded);
  id->ended = hostEnded && servEnded;
  size_t hostEnd = id->host.size(), servEnd = 128 + id->service.size();
  for (size_t i = 0; i < b.size(); ++i) {
    bool inText = i <= hostEnd || (i >= 128 && i <= servEnd);
    if (!inText && b[i] == ' ') ++id->blanks;
  }
  return true;
}

bool OldDgramDecode(const std::string& d, OldDgram* o) {
  *o = OldDgram();
  if (d.size() != 100) return false;
  o->b0 = U8(d, 0);
  o->b1 = U8(d, 1);
  o->hostIp4 = d.substr(2, 4);
  o->readPort = static_cast<uint16_t>(GetBe16(d, 6));
  o->hostIp4b = d.substr(27, 4);
  o->writePort = static_cast<uint16_t>(GetBe16(d, 31));
  o->host8 = d.substr(52, 8);
  o->service8 = d.substr(61, 8);
  o->b70 = U8(d, 70);
  o->blanks71 = d.substr(71, 8) == std::string(8, ' ');
  o->statedIp4 = d.substr(79, 4);
  o->zeros = AllZero(d, 8, 27) && AllZero(d, 33, 52) && d[60] == 0 && d[69] == 0 && AllZero(d, 83, 100);
  return true;
}

std::string DottedIp4(const std::string& four) {
  if (four.size() != 4) return "-";
  return std::to_string(U8(four, 0)) + "." + std::to_string(U8(four, 1)) + "." + std::to_string(U8(four, 2)) +
         "." + std::to_string(U8(four, 3));
}

}  // namespace peers
