// The peers' AD codec (see adcodec.h).
#include "peers/adcodec.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace adpeer {

namespace {

std::string Decimal11(long long v) {
  char buf[32];
  snprintf(buf, sizeof buf, "%11lld", v);
  return std::string(buf).substr(0, 11);
}

// A decimal field: leading blanks, an optional '-', digits; -1 otherwise.
long long ReadDecimal(const std::string& f) {
  size_t i = f.find_first_not_of(' ');
  if (i == std::string::npos) return -1;
  bool neg = f[i] == '-';
  if (neg) ++i;
  if (i >= f.size() || f[i] < '0' || f[i] > '9') return -1;
  long long v = 0;
  for (; i < f.size() && f[i] >= '0' && f[i] <= '9' && v < (1LL << 40); ++i) v = v * 10 + (f[i] - '0');
  return neg ? -v : v;
}

// Widths of the opcodes whose body is text fields without gaps.
struct TextRow {
  uint8_t opcode;
  std::vector<int> widths;
};
const std::vector<TextRow>& TextRows() {
  static const std::vector<TextRow> rows = {
      {0, {3, 3, 3, 3, 3, 13, 3, 3}},
      {1, {100}},
      {2, {3, 4, 11, 5, 3, 3, 5, 5, 11, 8, 3, 12, 3, 10}},
      {3, {4, 11, 11, 11, 11, 11}},
      {4, {3, 20, 2, 64}},
      {5, {3, 3, 3, 3, 3, 3}},
      {6, {3, 12, 12, 4, 8, 11, 3, 3, 11, 1}},
      {7, {11, 1, 3, 12}},
      {8, {11, 14, 6, 11}},
      {9, {11, 5, 11, 5}},
      {13, {32, 5}},
      {16, {3, 3, 3, 3, 3, 3, 3}},
      {17, {3, 3, 3, 3, 3, 13, 3, 3, 3, 3, 3}},
      {18, {11, 11}},
      {28, {100}},
      {29, {100}},
      {31, {3, 3}},
      {43, {50, 10, 11}},
      {48, {3, 12}},
      {60, {100}},
      {63, {11}},
  };
  return rows;
}

std::vector<Field> MixedLayout(uint8_t opcode) {
  auto t = [](int w, int in, int ex) { return Field{Kind::kText, in, ex, w}; };
  auto r = [](int w, int in, int ex) { return Field{Kind::kRaw, in, ex, w}; };
  switch (opcode) {
    case 41:
      return {t(11, 0, 0),   t(11, 22, 11), t(11, 44, 22), t(11, 66, 33), t(3, 88, 44),
              t(11, 94, 47), r(4, 116, 58), t(20, 120, 62), r(8, 160, 82), r(8, 168, 90)};
    case 46:
    case 67:
      return {t(96, 0, 0), r(2, 192, 96)};
    case 61:
    case 62:
      return {t(11, 0, 0), r(1, 22, 11)};
    case 68:
      return {t(3, 0, 0), r(64, 6, 3)};
    case 69:
      return {t(3, 0, 0), r(56, 6, 3)};
    case 22:
      return {r(68, 0, 0)};
    case 23:
      return {r(80, 0, 0)};
    case 27:
      return {r(4, 0, 0)};
    default:
      return {};
  }
}

constexpr uint8_t kPlainCopyOps[] = {14, 15, 19, 32, 33, 40, 42, 44, 45, 47, 49, 50, 51, 52, 53, 64, 65, 66};

// Length of the UTF-8 sequence that starts with byte c (1 for a stray byte).
int SeqLen(unsigned char c) {
  if (c >= 0xF0) return 4;
  if (c >= 0xE0) return 3;
  if (c >= 0xC0) return 2;
  return 1;
}

void PutBE32(std::string& s, size_t at, uint32_t v) {
  s[at] = static_cast<char>(v >> 24);
  s[at + 1] = static_cast<char>(v >> 16);
  s[at + 2] = static_cast<char>(v >> 8);
  s[at + 3] = static_cast<char>(v);
}
int32_t GetBE32(const std::string& s, size_t at) {
  auto b = [&](size_t i) { return static_cast<uint32_t>(static_cast<unsigned char>(s[at + i])); };
  return static_cast<int32_t>((b(0) << 24) | (b(1) << 16) | (b(2) << 8) | b(3));
}

std::string Fit(const std::string& s, size_t n, char fill) {
  std::string out = s.substr(0, n);
  out.resize(n, fill);
  return out;
}

}  // namespace

std::string Header(int recordCount, uint8_t version, uint8_t type, int recordSize) {
  std::string h("AD-EYECATCH\0", 12);
  h += static_cast<char>(version);
  h += static_cast<char>(type);
  h += Decimal11(recordSize);
  h += Decimal11(recordCount);
  return h;
}

std::string Block(const std::vector<std::string>& records, uint8_t version, uint8_t type) {
  std::string b = Header(static_cast<int>(records.size()), version, type);
  for (const std::string& r : records) b += Fit(r, kRecordLen, ' ');
  return b;
}

bool ParseBlock(const std::string& block, Parsed* out, std::string* why) {
  auto fail = [&](const char* reason) {
    if (why != nullptr) *why = reason;
    return false;
  };
  if (block.size() < static_cast<size_t>(kHeaderLen)) return fail("shorter than a header");
  if (block.compare(0, 12, std::string("AD-EYECATCH\0", 12)) != 0) return fail("eye catcher");
  out->version = static_cast<uint8_t>(block[12]);
  out->type = static_cast<uint8_t>(block[13]);
  if (out->version > 1) return fail("version");
  if (ReadDecimal(block.substr(14, 11)) != kRecordLen) return fail("record size");
  long long n = ReadDecimal(block.substr(25, 11));
  if (n < 0 || static_cast<unsigned long long>(n) != (block.size() - kHeaderLen) / kRecordLen ||
      (block.size() - kHeaderLen) % kRecordLen != 0)
    return fail("length");
  out->records.clear();
  for (long long i = 0; i < n; ++i) out->records.push_back(block.substr(kHeaderLen + i * kRecordLen, kRecordLen));
  return true;
}

std::string Record(uint8_t opcode, const std::string& body, uint8_t serial, uint8_t executed,
                   uint8_t errnum) {
  std::string r;
  r += static_cast<char>(opcode);
  r += static_cast<char>(serial);
  r += static_cast<char>(executed);
  r += static_cast<char>(errnum);
  return r + Fit(body, kBodyLen, ' ');
}

Class ClassOf(uint8_t opcode) {
  if (opcode == kOpStorage) return Class::kStorage;
  if (opcode == kOpEm || opcode == kOpEs) return Class::kEmAdm;
  for (uint8_t op : kPlainCopyOps)
    if (op == opcode) return Class::kPlainCopy;
  return Layout(opcode).empty() ? Class::kUnregistered : Class::kLayout;
}

std::vector<Field> Layout(uint8_t opcode) {
  for (const TextRow& row : TextRows()) {
    if (row.opcode != opcode) continue;
    std::vector<Field> f;
    int ex = 0;
    for (int w : row.widths) {
      f.push_back({Kind::kText, 2 * ex, ex, w});
      ex += w;
    }
    return f;
  }
  return MixedLayout(opcode);
}

std::vector<uint8_t> RegisteredOpcodes() {
  std::vector<uint8_t> ops;
  for (int op = 0; op < 256; ++op)
    if (ClassOf(static_cast<uint8_t>(op)) != Class::kUnregistered) ops.push_back(static_cast<uint8_t>(op));
  return ops;
}

std::string PadText(const std::string& utf8, int width) {
  std::string out;
  for (size_t i = 0; i < utf8.size();) {
    size_t n = static_cast<size_t>(SeqLen(static_cast<unsigned char>(utf8[i])));
    if (out.size() + n > static_cast<size_t>(width) || i + n > utf8.size()) break;
    out += utf8.substr(i, n);
    i += n;
  }
  out.resize(static_cast<size_t>(width), ' ');
  return out;
}

std::string LayoutBody(uint8_t opcode, const std::vector<std::string>& values) {
  std::string body(kBodyLen, ' ');
  std::vector<Field> fields = Layout(opcode);
  for (size_t i = 0; i < fields.size(); ++i) {
    const Field& f = fields[i];
    std::string v = i < values.size() ? values[i] : std::string();
    body.replace(static_cast<size_t>(f.ex), static_cast<size_t>(f.width),
                 f.kind == Kind::kText ? PadText(v, f.width) : Fit(v, static_cast<size_t>(f.width), ' '));
  }
  return body;
}

std::vector<std::string> LayoutValues(uint8_t opcode, const std::string& body) {
  std::vector<std::string> out;
  for (const Field& f : Layout(opcode)) out.push_back(body.substr(static_cast<size_t>(f.ex), static_cast<size_t>(f.width)));
  return out;
}

StorageClass StorageClassOf(uint8_t type, bool clientReceives) {
  switch (type) {
    case 10: case 90:
      return StorageClass::kRaw;
    case 11: case 21: case 31: case 41:
      return StorageClass::kIntegers;
    case 51:
      return clientReceives ? StorageClass::kUnknown : StorageClass::kIntegers;
    case 15: case 16: case 17: case 20:
      return StorageClass::kOffsets;
    case 12: case 13: case 22: case 23: case 32: case 33: case 42: case 43:
      return StorageClass::kText;
    case 52: case 53:
      return clientReceives ? StorageClass::kUnknown : StorageClass::kText;
    default:
      return StorageClass::kUnknown;
  }
}

std::string StorageBody(const Storage& s) {
  std::string b;
  b += static_cast<char>(s.type);
  b += static_cast<char>(s.nameLen);
  b += static_cast<char>(s.valueOffset);
  b += static_cast<char>(s.valueLen);
  b += PadText(s.name, 20);
  b += Fit(s.value, 76, ' ');
  return b;
}

Storage ParseStorage(const std::string& body) {
  Storage s;
  s.type = static_cast<uint8_t>(body[0]);
  s.nameLen = static_cast<uint8_t>(body[1]);
  s.valueOffset = static_cast<uint8_t>(body[2]);
  s.valueLen = static_cast<uint8_t>(body[3]);
  s.name = body.substr(4, 20);
  s.value = body.substr(24, 76);
  return s;
}

std::string IntegerValue(const std::array<int32_t, 10>& v) {
  std::string out(76, '\0');
  for (size_t i = 0; i < v.size(); ++i) PutBE32(out, 4 * i, static_cast<uint32_t>(v[i]));
  return out;
}

std::array<int32_t, 10> Integers(const std::string& value) {
  std::array<int32_t, 10> v{};
  for (size_t i = 0; i < v.size(); ++i) v[i] = GetBE32(value, 4 * i);
  return v;
}

std::string OffsetValue(uint32_t marker, uint32_t start, uint32_t count) {
  std::string out(76, '\0');
  PutBE32(out, 0, marker);
  PutBE32(out, 4, start);
  PutBE32(out, 8, count);
  PutBE32(out, 12, marker);
  return out;
}

std::string FavouriteValue(const Favourite& f) {
  std::string v(76, ' ');
  v.replace(0, 9, "LG_EYECAT");
  v[9] = static_cast<char>(f.version);
  v.replace(10, 8, reinterpret_cast<const char*>(f.addr8.data()), 8);
  v[18] = static_cast<char>(f.service >> 8);
  v[19] = static_cast<char>(f.service & 0xFF);
  v.replace(20, 4, PadText(f.release, 4));
  v.replace(24, 16, reinterpret_cast<const char*>(f.addr16.data()), 16);
  return v;
}

bool ParseFavourite(const std::string& value, Favourite* out) {
  if (value.size() < 40 || value.compare(0, 9, "LG_EYECAT") != 0) return false;
  out->version = static_cast<uint8_t>(value[9]);
  memcpy(out->addr8.data(), value.data() + 10, 8);
  out->service = static_cast<uint16_t>((static_cast<unsigned char>(value[18]) << 8) |
                                       static_cast<unsigned char>(value[19]));
  out->release = value.substr(20, 4);
  memcpy(out->addr16.data(), value.data() + 24, 16);
  return true;
}

std::string SelfIdentBody() {
  return std::string(19, ' ') + std::string(16, '\0') + std::string(8, ' ') + std::string(33, '\0') +
         std::string(24, ' ');
}

std::string EmAdmBody(const EmAdm& e) {
  std::string b(kBodyLen, ' ');
  if (e.op == 1) {
    b.replace(0, 3, "  1");
    b.replace(3, 56, Fit(e.raw32, 56, '\0'));
    return b;
  }
  char op[8];
  snprintf(op, sizeof op, "%3d", e.op);
  b.replace(0, 3, op, 3);
  b.replace(3, 4, Fit(e.raw4, 4, '\0'));
  b.replace(7, 16, Fit(e.key, 16, ' '));
  b.replace(23, 16, Fit(e.info, 16, ' '));
  b.replace(39, 8, Fit(e.raw8, 8, '\0'));
  b.replace(47, 3, Fit(e.raw3, 3, '\0'));
  b.replace(50, 6, Fit(e.privTime, 6, ' '));
  b.replace(56, 32, Fit(e.raw32, 32, '\0'));
  b.replace(88, 4, Fit(e.raw4b, 4, '\0'));
  return b;
}

EmAdm ParseEmAdm(const std::string& body) {
  EmAdm e;
  e.op = static_cast<int>(ReadDecimal(body.substr(0, 3)));
  if (e.op == 1) {
    e.raw32 = body.substr(3, 56);
    return e;
  }
  e.raw4 = body.substr(3, 4);
  e.key = body.substr(7, 16);
  e.info = body.substr(23, 16);
  e.raw8 = body.substr(39, 8);
  e.raw3 = body.substr(47, 3);
  e.privTime = body.substr(50, 6);
  e.raw32 = body.substr(56, 32);
  e.raw4b = body.substr(88, 4);
  return e;
}

std::string Hex(const std::string& text) {
  std::string out;
  const char* p = text.c_str();
  while (*p != 0) {
    if (*p == ' ' || *p == '\n') {
      ++p;
      continue;
    }
    char* end = nullptr;
    char pair[3] = {p[0], p[1], 0};
    unsigned long byte = strtoul(pair, &end, 16);
    if (end != pair + 2) abort();  // a fault in the test's own text
    p += 2;
    unsigned long times = 1;
    if (*p == '*') times = strtoul(p + 1, const_cast<char**>(&p), 10);
    out.append(times, static_cast<char>(byte));
  }
  return out;
}

std::string ToHex(const std::string& bytes) {
  std::string out;
  char buf[4];
  for (unsigned char c : bytes) {
    snprintf(buf, sizeof buf, "%02X ", c);
    out += buf;
  }
  return out;
}

}  // namespace adpeer
