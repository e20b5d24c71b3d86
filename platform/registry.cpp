// The registry's store files; see registry.h.
#include "platform/registry.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <string_view>

namespace {

// A store larger than this is not a registry written by hand; it is read
// no further.
constexpr size_t kRegStoreMax = 1 << 20;

bool RegBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string_view RegTrim(std::string_view s) {
  while (!s.empty() && RegBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && RegBlank(s.back())) s.remove_suffix(1);
  return s;
}

bool RegSameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i];
    char y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

// The raw value text of name under key: true when found.
bool RegFindRaw(std::string_view text, std::string_view key, std::string_view name,
                std::string_view* raw) {
  bool inKey = false;
  bool keySeen = false;
  while (!text.empty()) {
    size_t nl = text.find('\n');
    std::string_view line = RegTrim(text.substr(0, nl));
    text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
    if (line.empty() || line.front() == ';' || line.front() == '#') continue;
    if (line.front() == '[') {
      // Only the first section of the key counts.
      if (inKey) return false;
      if (line.back() != ']') continue;
      inKey = !keySeen && RegSameName(RegTrim(line.substr(1, line.size() - 2)), key);
      keySeen = keySeen || inKey;
      continue;
    }
    if (!inKey) continue;
    size_t eq = line.find('=');
    if (eq == std::string_view::npos) continue;
    if (!RegSameName(RegTrim(line.substr(0, eq)), name)) continue;
    *raw = RegTrim(line.substr(eq + 1));
    return true;
  }
  return false;
}

bool RegPrefix(std::string_view* s, std::string_view prefix) {
  if (s->size() < prefix.size() || !RegSameName(s->substr(0, prefix.size()), prefix)) return false;
  s->remove_prefix(prefix.size());
  return true;
}

// The whole store file, or false when there is none.
bool RegReadStore(PlatRegHive hive, std::string* out) {
  char path[4096];
  if (!PlatRegStorePath(hive, path, sizeof path)) return false;
  FILE* f = fopen(path, "rbe");
  if (f == nullptr) return false;
  char chunk[4096];
  size_t n;
  // One byte past the limit tells whether the limit cuts a line.
  while (out->size() <= kRegStoreMax && (n = fread(chunk, 1, sizeof chunk, f)) > 0) {
    out->append(chunk, n);
  }
  fclose(f);
  if (out->size() > kRegStoreMax) {
    // The line that the limit cuts is dropped whole: its cut text is no value.
    const bool lineEnds = (*out)[kRegStoreMax] == '\n';
    out->resize(kRegStoreMax);
    if (!lineEnds) {
      const size_t nl = out->rfind('\n');
      out->resize(nl == std::string::npos ? 0 : nl + 1);
    }
  }
  return true;
}

}  // namespace

bool PlatRegStorePath(PlatRegHive hive, char* buf, size_t size) {
  std::string base;
  if (hive == PLAT_REG_MACHINE) {
    const char* dirs = getenv("XDG_CONFIG_DIRS");
    std::string_view first = dirs != nullptr ? std::string_view(dirs) : std::string_view();
    first = first.substr(0, first.find(':'));
    base = first.empty() ? std::string("/etc/xdg") : std::string(first);
  } else {
    const char* home = getenv("XDG_CONFIG_HOME");
    if (home != nullptr && *home != 0) {
      base = home;
    } else {
      const char* h = getenv("HOME");
      if (h == nullptr || *h == 0) return false;
      base = std::string(h) + "/.config";
    }
  }
  std::string path = base + "/tovnative/registry";
  if (buf == nullptr || path.size() + 1 > size) return false;
  memcpy(buf, path.c_str(), path.size() + 1);
  return true;
}

int PlatRegFindString(const char* text, size_t len, const char* key, const char* name, char* buf,
                      size_t size) {
  std::string_view raw;
  if (text == nullptr || !RegFindRaw(std::string_view(text, len), key, name, &raw)) {
    return PLAT_REG_ENOTFOUND;
  }
  if (!RegPrefix(&raw, "sz:")) return PLAT_REG_ETYPE;
  raw = RegTrim(raw);
  if (raw.find('\0') != std::string_view::npos) return PLAT_REG_ETYPE;
  if (buf == nullptr || raw.size() + 1 > size) return PLAT_REG_EMORE;
  memcpy(buf, raw.data(), raw.size());
  buf[raw.size()] = 0;
  return PLAT_REG_OK;
}

int PlatRegFindDword(const char* text, size_t len, const char* key, const char* name,
                     uint32_t* value) {
  std::string_view raw;
  if (text == nullptr || !RegFindRaw(std::string_view(text, len), key, name, &raw)) {
    return PLAT_REG_ENOTFOUND;
  }
  if (!RegPrefix(&raw, "dword:")) return PLAT_REG_ETYPE;
  raw = RegTrim(raw);
  unsigned base = 10;
  if (RegPrefix(&raw, "0x")) base = 16;
  if (raw.empty() || raw.size() > 10) return PLAT_REG_ETYPE;
  uint64_t v = 0;
  for (char c : raw) {
    unsigned d;
    if (c >= '0' && c <= '9') {
      d = static_cast<unsigned>(c - '0');
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      d = static_cast<unsigned>(c - 'a' + 10);
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      d = static_cast<unsigned>(c - 'A' + 10);
    } else {
      return PLAT_REG_ETYPE;
    }
    v = v * base + d;
  }
  if (v > 0xFFFFFFFFu) return PLAT_REG_ETYPE;
  if (value != nullptr) *value = static_cast<uint32_t>(v);
  return PLAT_REG_OK;
}

int PlatRegGetString(PlatRegHive hive, const char* key, const char* name, char* buf, size_t size) {
  std::string store;
  if (!RegReadStore(hive, &store)) return PLAT_REG_ENOTFOUND;
  return PlatRegFindString(store.data(), store.size(), key, name, buf, size);
}

int PlatRegGetDword(PlatRegHive hive, const char* key, const char* name, uint32_t* value) {
  std::string store;
  if (!RegReadStore(hive, &store)) return PLAT_REG_ENOTFOUND;
  return PlatRegFindDword(store.data(), store.size(), key, name, value);
}
