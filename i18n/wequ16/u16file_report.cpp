// The Unicode interface reporter: framed diagnostics on stderr. It never
// allocates and never fails; what does not fit its buffers is cut.
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>

#include "i18n/wequ16/u16file.h"
#include "i18n/wequ16/u16str.h"

int U16ReportLevel = 4;
U16ReportWriterFn U16ReportWriter = U16ReportWriteStderr;

namespace {

constexpr char kEndLine[] = "--- Unicode interface ------ End of message ------";
constexpr char kReadBefore[] = "Characters previously read:";
// Header and message stay within these many bytes, terminator included.
constexpr size_t kReportBytes = 316;
constexpr size_t kReportBytesBeforeEnd = 264;
constexpr size_t kContextUnits = 80;

const char* OrEmpty(const char* s) { return s != nullptr ? s : ""; }

void WriteText(const char* text) { U16ReportWriter(text, strlen(text)); }

// A unit as one 7-bit byte for a report; '#' for the rest (and for 0, which
// would end the text).
char ReportChar(WEQ_UC c) { return c != 0 && c < 0x80 ? static_cast<char>(c) : '#'; }

struct DumpLayout {
  size_t perLine;  // items a line
  int digits;      // hexadecimal digits of an item, after one blank
  size_t bar;      // column of the first '|'; the characters follow it
  unsigned lo, hi;  // items shown as themselves; the rest as '.'
};

// One writer call a line; a short last line keeps the columns.
template <class T>
void DumpLines(const T* items, size_t n, const DumpLayout& layout) {
  int err = errno;
  const size_t width = layout.bar + layout.perLine + 2;
  for (size_t at = 0; at < n; at += layout.perLine) {
    char text[80];
    memset(text, ' ', width);
    size_t k = std::min(layout.perLine, n - at);
    for (size_t j = 0; j < k; ++j) {
      unsigned v = items[at + j];
      size_t col = j * (layout.digits + 1);
      snprintf(text + col, static_cast<size_t>(layout.digits) + 2, " %0*x", layout.digits, v);
      text[col + layout.digits + 1] = ' ';
      text[layout.bar + 1 + j] = v >= layout.lo && v <= layout.hi ? static_cast<char>(v) : '.';
    }
    text[layout.bar] = '|';
    text[width - 1] = '|';
    U16ReportWriter(text, width);
  }
  errno = err;
}

}  // namespace

void U16ReportWriteStderr(const char* text, size_t len) {
  char line[1024];
  if (len < sizeof line) {
    memcpy(line, text, len);
    line[len] = '\n';
    fwrite(line, 1, len + 1, stderr);
    return;
  }
  flockfile(stderr);
  fwrite(text, 1, len, stderr);
  fputc('\n', stderr);
  funlockfile(stderr);
}

void U16Report(const char* message, const char* module, int line, int withEnd) {
  int err = errno;
  char text[kReportBytes];
  const size_t cap = withEnd ? kReportBytesBeforeEnd : kReportBytes;
  int n = snprintf(text, cap, "--- Unicode interface [%.60s line %d] pid = %d :\n%s",
                   OrEmpty(module), line, static_cast<int>(getpid()), OrEmpty(message));
  size_t len = n < 0 ? 0 : std::min(static_cast<size_t>(n), cap - 1);
  if (withEnd) {
    text[len++] = '\n';
    memcpy(text + len, kEndLine, sizeof kEndLine);
    len += sizeof kEndLine - 1;
  }
  U16ReportWriter(text, len);
  errno = err;
}

void U16ReportEnd() {
  int err = errno;
  WriteText(kEndLine);
  errno = err;
}

void U16ReportBytes(const unsigned char* bytes, size_t n) {
  // " xx" for each byte in columns 0..47, '|' in 49, the bytes as
  // characters in 50..65, '|' in 66.
  DumpLines(bytes, n, {16, 2, 49, 0x21, 0x7E});
}

void U16ReportUnits(const WEQ_UC* units, size_t n) {
  // " xxxx" for each unit in columns 0..39, '|' in 42, the units as
  // characters in 43..50, '|' in 51.
  DumpLines(units, n, {8, 4, 42, 0x20, 0x7F});
}

void U16ReportReadContext(const U16BadSequence* bad, const WEQ_UC* start, const WEQ_UC* cur) {
  int err = errno;
  if (bad != nullptr && bad->len > 0)
    U16ReportBytes(bad->bytes, static_cast<size_t>(std::min(bad->len, 4)));
  WriteText(kReadBefore);
  if (start != nullptr && cur != nullptr && cur > start) {
    const WEQ_UC* from = static_cast<size_t>(cur - start) > kContextUnits ? cur - kContextUnits : start;
    U16ReportUnits(from, static_cast<size_t>(cur - from));
  }
  errno = err;
}

void U16ReportBadUtf8(WEQ_UC* dst, const char* src, size_t n, const char* module, int line,
                      const char* caller) {
  if (U16ReportLevel < 1) return;
  int err = errno;
  // Scans for the first sequence that is not a valid 1-, 2- or 3-byte one,
  // keeping the last units before it in a ring.
  WEQ_UC ring[kContextUnits];
  size_t stored = 0;
  U16BadSequence bad;
  const auto* p = reinterpret_cast<const unsigned char*>(OrEmpty(src));
  while (dst == nullptr || stored < n) {
    unsigned b = p[0];
    WEQ_UC unit;
    int len;
    if (b < 0x80) {
      unit = static_cast<WEQ_UC>(b);
      len = 1;
    } else if ((b & 0xE0) == 0xC0 && (p[1] & 0xC0) == 0x80) {
      unit = static_cast<WEQ_UC>(((b & 0x1F) << 6) | (p[1] & 0x3F));
      len = 2;
    } else if ((b & 0xF0) == 0xE0 && (p[1] & 0xC0) == 0x80 && (p[2] & 0xC0) == 0x80) {
      unit = static_cast<WEQ_UC>(((b & 0x0F) << 12) | ((p[1] & 0x3F) << 6) | (p[2] & 0x3F));
      len = 3;
    } else {
      // A bad lead is one byte; a bad continuation ends the sequence with
      // it (a 0 byte included, and nothing after it is read).
      bad.len = (b & 0xE0) == 0xC0 || (b & 0xF0) == 0xE0 ? ((p[1] & 0xC0) != 0x80 ? 2 : 3) : 1;
      memcpy(bad.bytes, p, static_cast<size_t>(bad.len));
      bad.err = EILSEQ;
      break;
    }
    if (dst != nullptr) dst[stored] = unit;
    if (unit == 0) break;
    ring[stored % kContextUnits] = unit;
    ++stored;
    p += len;
  }
  char message[96];
  snprintf(message, sizeof message, "%.50s encountered invalid UTF-8%s", OrEmpty(caller),
           bad.len == 0 ? " (but where?)" : "");
  U16Report(message, module, line, 0);
  WEQ_UC recent[kContextUnits];
  size_t shown = std::min(stored, kContextUnits);
  for (size_t j = 0; j < shown; ++j) recent[j] = ring[(stored - shown + j) % kContextUnits];
  U16ReportReadContext(&bad, recent, recent + shown);
  U16ReportEnd();
  errno = err;
}

void U16ReportNoMemory(const char* caller, const char* module, int line) {
  if (U16ReportLevel >= 1) {
    char message[96];
    int n = snprintf(message, sizeof message, "%.64s : malloc : Out of memory.", OrEmpty(caller));
    size_t len = std::min(static_cast<size_t>(n < 0 ? 0 : n), sizeof message - 2);
    message[len] = '\n';
    fwrite(message, 1, len + 1, stderr);
    message[len] = 0;
    U16Report(message, module, line, 1);
  }
  errno = ENOMEM;
}

void U16ReportArrayTooSmall(const char* lengthName, const char* function, const char* array,
                            const char* module, int line) {
  if (U16ReportLevel < 1) return;
  char message[160];
  snprintf(message, sizeof message, "Function %.64s :\nArray %.32s length %.32s is too small.",
           OrEmpty(function), OrEmpty(array), OrEmpty(lengthName));
  U16Report(message, module, line, 1);
}

void U16ReportFormatError(const WEQ_UC* format, WEQ_UC offending, const char* module, int line) {
  if (U16ReportLevel < 4) return;
  char message[128];
  int n = snprintf(message, sizeof message, "Error in format string at or near '%c':\n",
                   ReportChar(static_cast<WEQ_UC>(offending & 0xFF)));
  size_t len = static_cast<size_t>(n);
  for (const WEQ_UC* f = format; f != nullptr && *f != 0 && len < sizeof message - 1; ++f)
    message[len++] = ReportChar(*f);
  message[len] = 0;
  U16Report(message, module, line, 1);
}

void U16ReportFileOpen(const WEQ_UC* name, int fileNumber, const char* caller, const char* module,
                       int line) {
  constexpr size_t kNameUnits = 80;
  size_t len = name != nullptr ? strlenU(name) : 0;
  const WEQ_UC* tail = len > kNameUnits ? name + len - kNameUnits : name;
  char narrow[kNameUnits + 1];
  size_t k = 0;
  for (; k < std::min(len, kNameUnits); ++k) narrow[k] = ReportChar(tail[k]);
  narrow[k] = 0;
  char message[160];
  snprintf(message, sizeof message, "%.10s \"%s%s\" (fileno 0x%x)", OrEmpty(caller),
           len > kNameUnits ? "..." : "", narrow, static_cast<unsigned>(fileNumber));
  U16Report(message, module, line, 1);
}
