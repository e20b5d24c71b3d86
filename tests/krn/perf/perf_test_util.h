// Helpers of the clock and UUID tests: continuous local time checked second
// by second against the C library's localtime_r around the daylight-saving
// switches that zdump -v lists, and the fixed bits of a UUID.
#ifndef TESTS_KRN_PERF_PERF_TEST_UTIL_H
#define TESTS_KRN_PERF_PERF_TEST_UTIL_H

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "krn/perf/pfclock.h"

struct Switch {
  time_t first;  // first second of the new offset (UT)
  long shift;    // offset before minus offset after, seconds
};

// The switches of zone that zdump -v lists for the last three years up to
// now: into standard time (ends) or out of it.
inline std::vector<Switch> PastSwitches(const std::string& zone, bool ends) {
  const time_t now = time(nullptr);
  struct tm u;
  const int year = gmtime_r(&now, &u)->tm_year + 1900;
  const std::string cmd = "zdump -v -c " + std::to_string(year - 2) + "," + std::to_string(year + 1) + " " + zone;
  FILE* p = popen(cmd.c_str(), "r");
  std::vector<Switch> out;
  Switch prev{0, 0};  // the instant and offset of the line before
  int prevDst = -1, isDst;
  char line[512];
  while (p != nullptr && fgets(line, sizeof line, p) != nullptr) {
    // "<zone>  Sun Oct 26 01:00:00 2025 UT = Sun Oct 26 02:00:00 2025 CET isdst=0 gmtoff=3600"
    const char* ut = strchr(line, ' ');
    const char* dst = strstr(line, "isdst=");
    struct tm t = {};
    long off;
    if (ut == nullptr || dst == nullptr || sscanf(dst, "isdst=%d gmtoff=%ld", &isDst, &off) != 2 ||
        strptime(ut + strspn(ut, " "), "%a %b %d %H:%M:%S %Y UT", &t) == nullptr) {
      continue;
    }
    const time_t at = timegm(&t);
    if (at == prev.first + 1 && isDst != prevDst && prevDst == (ends ? 1 : 0) && at <= now) {
      out.push_back(Switch{at, prev.shift - off});
    }
    prev = Switch{at, off};
    prevDst = isDst;
  }
  if (p != nullptr) pclose(p);
  return out;
}

inline std::string Fields(const struct tm& m) {
  char b[96];
  snprintf(b, sizeof b, "%04d-%02d-%02d %02d:%02d:%02d dst=%d off=%ld", 1900 + m.tm_year, m.tm_mon + 1, m.tm_mday,
           m.tm_hour, m.tm_min, m.tm_sec, m.tm_isdst, m.tm_gmtoff);
  return b;
}

// ContLocaltime for every second of [from, to), ThrLocaltime for every
// thrEvery-th: inside the window [lo, hi) both must show the local time of
// lo + (t - lo) / 2 (plain: of t itself), elsewhere that of t, and
// continuous local time never goes back. Prints the first fault; returns
// whether there was none.
inline bool Sweep(time_t from, time_t to, time_t lo, time_t hi, int thrEvery, bool plain = false) {
  time_t lastWall = 0;
  for (time_t t = from; t < to; ++t) {
    const time_t s = !plain && t >= lo && t < hi ? lo + (t - lo) / 2 : t;
    struct tm want, mine;
    localtime_r(&s, &want);
    struct tm* got = ContLocaltime(&t);
    struct tm wall = got ? *got : want;
    if (got == nullptr || Fields(*got) != Fields(want) || (!plain && timegm(&wall) < lastWall)) {
      printf("ContLocaltime(%ld): %s, want %s\n", static_cast<long>(t), got ? Fields(*got).c_str() : "NULL",
             Fields(want).c_str());
      return false;
    }
    lastWall = timegm(&wall);
    if ((t - from) % thrEvery == 0 && (ThrLocaltime(&t, &mine) != &mine || Fields(mine) != Fields(want))) {
      printf("ThrLocaltime(%ld): %s, want %s\n", static_cast<long>(t), Fields(mine).c_str(), Fields(want).c_str());
      return false;
    }
  }
  return true;
}

// Sweep around the switch s, margin seconds beyond its window on each side.
inline bool SweepAround(const Switch& s, time_t margin, int thrEvery, bool plain = false) {
  const time_t lo = s.first - s.shift, hi = s.first + s.shift;
  return s.shift > 0 && Sweep(lo - margin, hi + margin, lo, hi, thrEvery, plain);
}

using Bytes = std::array<uint8_t, 16>;

// The marker nibble of byte 7 is 0xD or 0xE; bit 7 of bytes 8 and 9 is set,
// bit 6 of byte 8 clear.
inline bool Markers(const Bytes& o) {
  return ((o[7] >> 4) == 0xD || (o[7] >> 4) == 0xE) && (o[8] & 0xC0) == 0x80 && (o[9] & 0x80) == 0x80;
}

#endif
