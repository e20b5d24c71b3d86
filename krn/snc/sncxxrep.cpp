// SNC exit reports and hex dumps: how every API entry ends in the trace
// and in the thread's error information.
#include <stdio.h>
#include <string.h>

#include "krn/dptrc/dptrc.h"
#include "krn/snc/snc.h"
#include "krn/snc/snc_int.h"

namespace {

constexpr size_t kRowBytes = 16;

// One dump row: offset, the bytes in hex with a blank after every fourth,
// then the bytes as characters in two groups of eight.
void DumpRow(int level, size_t offset, const uint8_t* p, size_t n) {
  static const char kHex[] = "0123456789abcdef";
  char row[96];
  int at = snprintf(row, sizeof row, "  0x%05lx  ", static_cast<unsigned long>(offset));
  for (size_t i = 0; i < kRowBytes; ++i) {
    row[at++] = i < n ? kHex[p[i] >> 4] : ' ';
    row[at++] = i < n ? kHex[p[i] & 15] : ' ';
    if (i % 4 == 3) row[at++] = ' ';
  }
  for (size_t i = 0; i < kRowBytes; ++i) {
    if (i % 8 == 0) row[at++] = ' ';
    row[at++] = i >= n ? ' ' : p[i] >= 0x20 && p[i] <= 0x7E ? static_cast<char>(p[i]) : '.';
  }
  row[at++] = '\n';
  row[at] = 0;
  SNC_TRC(level, "%s", row);
}

const char* DirLabel(unsigned desc) {
  if ((desc & SNC_VAL_IN) != 0) return " in:";
  if ((desc & SNC_VAL_OUT) != 0) return "out:";
  return "    ";
}

// The detail of a recorded failure: the first value when it is a text
// given to the entry, else the entry's name.
void FailureDetail(const char* entry, const SncExitValue* vals, size_t count, char* buf, size_t size) {
  if (count > 0 && (vals[0].desc & SNC_VAL_TEXT) != 0 && (vals[0].desc & SNC_VAL_OUT) == 0 &&
      vals[0].value != nullptr) {
    const char* t = static_cast<const char*>(vals[0].value);
    const int n = static_cast<int>(vals[0].len != 0 ? strnlen(t, vals[0].len) : strlen(t));
    snprintf(buf, size, "%s(): %s = \"%.*s\"", entry, vals[0].label, n > 256 ? 256 : n, t);
  } else {
    snprintf(buf, size, "%s()", entry);
  }
}

}  // namespace

size_t SncPDumpLimit(bool exitReport) {
  if (SNC_TRC_ON(4)) return 0;
  return exitReport ? 1024 : 256;
}

void SncPHexDump(int level, const char* label, const void* p, size_t len, size_t limit) {
  if (!SNC_TRC_ON(level)) return;
  const uint8_t* b = static_cast<const uint8_t*>(p);
  const size_t shown = b == nullptr ? 0 : limit != 0 && len > limit ? limit : len;
  const char* how = shown == 0 ? "no" : shown < len ? "head-only" : "full";
  SncPTrc("  '%.50s' (addr=%p, len=%lu) %.16s hexdump\n", label, p, static_cast<unsigned long>(len), how);
  for (size_t off = 0; off < shown; off += kRowBytes)
    DumpRow(level, off, b + off, shown - off < kRowBytes ? shown - off : kRowBytes);
}

SNC_RC SncPExitReport(const char* entry, SNC_RC rc, int line, const SncExitValue* vals, size_t count) {
  const bool failed = rc != WEQ_O_K;
  bool recorded = false;
  if (failed && !SncPErrRecorded(rc)) {
    char detail[400];
    FailureDetail(entry, vals, count, detail, sizeof detail);
    SncPSetErrInfo("sncxx.c", line, rc, detail);
    recorded = true;
  }
  const int level = failed ? 1 : 2;
  if (!SNC_TRC_ON(level)) return rc;
  SncPTrc("%.32s%.32s()==%.40s\n", recorded ? "<<- ERROR: " : "<<- ", entry, SncErrName(rc));
  for (size_t i = 0; i < count && i < 3; ++i) {
    const SncExitValue& v = vals[i];
    if ((v.desc & SNC_VAL_NOTRC) != 0 || (failed && (v.desc & SNC_VAL_OUT) != 0)) continue;
    const char* dir = DirLabel(v.desc);
    if ((v.desc & SNC_VAL_ADDR) != 0) {
      SncPTrc("    %.16s &%.32s = %p\n", dir, v.label, v.value);
    } else if ((v.desc & SNC_VAL_FMT) != 0) {
      char num[300];
      snprintf(num, sizeof num, v.fmt != nullptr ? v.fmt : "%lu", v.len);
      SncPTrc("    %.16s %.32s = %.256s\n", dir, v.label, num);
    } else if ((v.desc & SNC_VAL_TEXT) != 0) {
      const char* t = v.value != nullptr ? static_cast<const char*>(v.value) : "";
      const size_t n = v.len != 0 ? strnlen(t, v.len) : strlen(t);
      SncPTrc("    %.16s %.32s = \"%.*s\"\n", dir, v.label, static_cast<int>(n), t);
    } else {
      char label[64];
      snprintf(label, sizeof label, "%s %s", dir, v.label);
      SncPHexDump(level, label, v.value, v.len, SncPDumpLimit(true));
    }
  }
  return rc;
}
