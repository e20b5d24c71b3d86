// The peers' log lines (peerlog.h).
#include "peers/peerlog.h"

#include <stdlib.h>

namespace peers {

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string LogEscape(const std::string& raw) {
  std::string out;
  for (unsigned char c : raw) {
    if (c > 0x20 && c < 0x7F && c != '%' && c != '=') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHexDigits[c >> 4];
      out += kHexDigits[c & 15];
    }
  }
  return out;
}

std::string LogUnescape(const std::string& value) {
  std::string out;
  for (size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '%' && i + 2 < value.size() && HexValue(value[i + 1]) >= 0 && HexValue(value[i + 2]) >= 0) {
      out += static_cast<char>(HexValue(value[i + 1]) * 16 + HexValue(value[i + 2]));
      i += 2;
    } else {
      out += value[i];
    }
  }
  return out;
}

std::string HexOf(const std::string& bytes) {
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    out += kHexDigits[c >> 4];
    out += kHexDigits[c & 15];
  }
  return out;
}

std::string FromHex(const std::string& hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    int hi = HexValue(hex[i]), lo = HexValue(hex[i + 1]);
    if (hi < 0 || lo < 0) break;
    out += static_cast<char>(hi * 16 + lo);
  }
  return out;
}

LogOut::LogOut(const char* dir, const char* kind) : line_(std::string(dir) + " " + kind) {}

LogOut& LogOut::Text(const std::string& key, const std::string& value) {
  line_ += " " + key + "=" + LogEscape(value);
  return *this;
}

LogOut& LogOut::Num(const std::string& key, long long value) {
  line_ += " " + key + "=" + std::to_string(value);
  return *this;
}

LogOut& LogOut::Hex(const std::string& key, const std::string& bytes) {
  line_ += " " + key + "=" + HexOf(bytes);
  return *this;
}

std::string LogLine::get(const std::string& key) const {
  auto it = f.find(key);
  return it == f.end() ? std::string() : it->second;
}

long long LogLine::num(const std::string& key, long long def) const {
  auto it = f.find(key);
  if (it == f.end() || it->second.empty()) return def;
  char* end = nullptr;
  long long v = strtoll(it->second.c_str(), &end, 0);
  return end != nullptr && *end == 0 ? v : def;
}

bool ParseLogLine(const std::string& line, LogLine* out) {
  *out = LogLine();
  out->raw = line;
  size_t pos = 0;
  std::vector<std::string> words;
  while (pos < line.size()) {
    size_t end = line.find(' ', pos);
    if (end == std::string::npos) end = line.size();
    if (end > pos) words.push_back(line.substr(pos, end - pos));
    pos = end + 1;
  }
  if (words.size() < 2) return false;
  out->dir = words[0];
  out->kind = words[1];
  for (size_t i = 2; i < words.size(); ++i) {
    size_t eq = words[i].find('=');
    if (eq == std::string::npos) continue;
    out->f[words[i].substr(0, eq)] = LogUnescape(words[i].substr(eq + 1));
  }
  return true;
}

}  // namespace peers
