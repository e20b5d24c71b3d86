// Profile file lookup over stdio.
#include "platform/profile.h"

#include <stdio.h>
#include <string.h>
#include <strings.h>

namespace {

// Trims blanks, tabs and line ends at both ends of [b, e).
void Trim(const char*& b, const char*& e) {
  while (b < e && (*b == ' ' || *b == '\t')) ++b;
  while (e > b && (e[-1] == ' ' || e[-1] == '\t' || e[-1] == '\r' || e[-1] == '\n')) --e;
}

bool SameName(const char* b, const char* e, const char* name) {
  size_t n = strlen(name);
  return static_cast<size_t>(e - b) == n && strncasecmp(b, name, n) == 0;
}

size_t Copy(const char* b, const char* e, char* buf, size_t size) {
  size_t n = static_cast<size_t>(e - b);
  if (n > size - 1) n = size - 1;
  memcpy(buf, b, n);
  buf[n] = 0;
  return n;
}

}  // namespace

size_t PlatProfileGetString(const char* section, const char* key, const char* dflt, char* buf, size_t size,
                            const char* file) {
  if (buf == nullptr || size == 0) return 0;
  if (dflt == nullptr) dflt = "";
  FILE* f = section != nullptr && key != nullptr && file != nullptr ? fopen(file, "r") : nullptr;
  if (f == nullptr) return Copy(dflt, dflt + strlen(dflt), buf, size);
  char line[4096];
  bool inSection = false;
  size_t result = 0;
  bool found = false;
  while (!found && fgets(line, sizeof line, f) != nullptr) {
    const char* b = line;
    const char* e = line + strlen(line);
    // A line longer than the buffer is read no further: its tail is part of
    // it, never an entry or a section of its own.
    if (e > b && e[-1] != '\n') {
      int c;
      while ((c = getc(f)) != EOF && c != '\n') {
      }
    }
    Trim(b, e);
    if (b == e || *b == ';' || *b == '#') continue;
    if (*b == '[') {
      const char* close = static_cast<const char*>(memchr(b, ']', static_cast<size_t>(e - b)));
      if (close == nullptr) continue;
      const char* nb = b + 1;
      const char* ne = close;
      Trim(nb, ne);
      inSection = SameName(nb, ne, section);
      continue;
    }
    const char* eq = static_cast<const char*>(memchr(b, '=', static_cast<size_t>(e - b)));
    if (!inSection || eq == nullptr) continue;
    const char* kb = b;
    const char* ke = eq;
    Trim(kb, ke);
    if (!SameName(kb, ke, key)) continue;
    const char* vb = eq + 1;
    const char* ve = e;
    Trim(vb, ve);
    if (ve - vb >= 2 && (*vb == '"' || *vb == '\'') && ve[-1] == *vb) ++vb, --ve;
    result = Copy(vb, ve, buf, size);
    found = true;
  }
  fclose(f);
  return found ? result : Copy(dflt, dflt + strlen(dflt), buf, size);
}
