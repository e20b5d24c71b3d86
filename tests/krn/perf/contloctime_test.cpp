// Continuous local time swept second by second around daylight-saving
// switches. The switch instants and shifts come from zdump -v; the local
// times expected come from the C library's localtime_r. Each zone is set
// with TZ in a child process.
#include <errno.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include <cstring>
#include <string>
#include <vector>

#include "krn/perf/pfclock.h"
#include "support/testsupport.h"

namespace {

using tovtest::ChildResult;
using tovtest::RunInChild;

struct Switch {
  time_t first;  // first second of the new offset (UT)
  long shift;    // offset before minus offset after, seconds
  bool toStandard;
};

// The switches that zdump -v lists for zone between the years.
std::vector<Switch> ZdumpSwitches(const std::string& zone, int fromYear, int toYear) {
  std::string cmd = "zdump -v -c " + std::to_string(fromYear) + "," + std::to_string(toYear) +
                    " " + zone + " 2>/dev/null";
  FILE* p = popen(cmd.c_str(), "r");
  std::vector<Switch> out;
  if (p == nullptr) return out;
  char line[512];
  bool havePrev = false;
  int prevDst = 0;
  long prevOff = 0;
  time_t prevUt = 0;
  while (fgets(line, sizeof line, p) != nullptr) {
    // "<zone>  Sun Oct 26 01:00:00 2025 UT = Sun Oct 26 02:00:00 2025 CET isdst=0 gmtoff=3600"
    const char* ut = strchr(line, ' ');
    const char* eq = strstr(line, " UT = ");
    const char* dst = strstr(line, "isdst=");
    const char* off = strstr(line, "gmtoff=");
    if (ut == nullptr || eq == nullptr || dst == nullptr || off == nullptr) continue;
    while (*ut == ' ') ++ut;
    struct tm t = {};
    if (strptime(std::string(ut, eq).c_str(), "%a %b %d %H:%M:%S %Y", &t) == nullptr) continue;
    time_t at = timegm(&t);
    int isDst = atoi(dst + 6);
    long gmtoff = atol(off + 7);
    if (havePrev && at == prevUt + 1 && isDst != prevDst) {
      out.push_back(Switch{at, prevOff - gmtoff, prevDst == 1});
    }
    havePrev = true;
    prevDst = isDst;
    prevOff = gmtoff;
    prevUt = at;
  }
  pclose(p);
  return out;
}

// The switches of the kind before now, of the last three years.
std::vector<Switch> PastSwitches(const std::string& zone, bool toStandard) {
  time_t now = time(nullptr);
  struct tm u;
  gmtime_r(&now, &u);
  std::vector<Switch> out;
  for (const Switch& s : ZdumpSwitches(zone, 1900 + u.tm_year - 2, 1900 + u.tm_year + 1)) {
    if (s.toStandard == toStandard && s.first <= now) out.push_back(s);
  }
  return out;
}

std::string Fields(const struct tm& m) {
  char b[96];
  snprintf(b, sizeof b, "%04d-%02d-%02d %02d:%02d:%02d dst=%d off=%ld", 1900 + m.tm_year, m.tm_mon + 1,
           m.tm_mday, m.tm_hour, m.tm_min, m.tm_sec, m.tm_isdst, m.tm_gmtoff);
  return b;
}

// Local wall time as seconds, for the check that it never goes back.
time_t Wall(const struct tm& m) {
  struct tm c = m;
  return timegm(&c);
}

// Sweeps [from, to): ContLocaltime for every second, ThrLocaltime for every
// thrEvery-th. Both must show the local time of shown(t) and, when
// continuous, never go back. Writes the first fault to stdout; returns
// whether there was none.
template <class Shown>
bool Sweep(time_t from, time_t to, int thrEvery, Shown shown, bool continuous = true) {
  time_t lastWall = 0;
  for (time_t t = from; t < to; ++t) {
    time_t s = shown(t);
    struct tm want;
    localtime_r(&s, &want);
    struct tm* got = ContLocaltime(&t);
    if (got == nullptr || Fields(*got) != Fields(want)) {
      printf("ContLocaltime(%ld): %s, want %s\n", static_cast<long>(t),
             got ? Fields(*got).c_str() : "NULL", Fields(want).c_str());
      return false;
    }
    if (continuous && Wall(*got) < lastWall) {
      printf("ContLocaltime(%ld) went back to %s\n", static_cast<long>(t), Fields(*got).c_str());
      return false;
    }
    lastWall = Wall(*got);
    if ((t - from) % thrEvery == 0) {
      struct tm mine;
      if (ThrLocaltime(&t, &mine) != &mine || Fields(mine) != Fields(want)) {
        printf("ThrLocaltime(%ld): %s, want %s\n", static_cast<long>(t), Fields(mine).c_str(),
               Fields(want).c_str());
        return false;
      }
    }
  }
  return true;
}

class ContLocaltimeZone : public ::testing::TestWithParam<const char*> {};

TEST_P(ContLocaltimeZone, HalfSpeedThroughTheLastDaylightSavingEnd) {
  const std::string zone = GetParam();
  std::vector<Switch> ends = PastSwitches(zone, true);
  std::vector<Switch> starts = PastSwitches(zone, false);
  ASSERT_GE(ends.size(), 2u) << "zdump lists too few ends of daylight saving time for " << zone;
  ASSERT_FALSE(starts.empty());
  const int thrEvery = tovtest::HeavyFactor() > 1 ? 1 : 5;
  ChildResult r = RunInChild([&] {
    setenv("TZ", zone.c_str(), 1);
    tzset();
    auto across = [&](const Switch& end, time_t margin, int every) {
      const time_t lo = end.first - end.shift, hi = end.first + end.shift;
      return Sweep(lo - margin, hi + margin, every, [&](time_t t) {
        return t >= lo && t < hi ? lo + (t - lo) / 2 : t;
      });
    };
    bool ok = ends.back().shift > 0 && across(ends.back(), 600, thrEvery);
    // Around the start of daylight saving time local time stays plain.
    const time_t s = starts.back().first;
    ok = ok && Sweep(s - 900, s + 900, thrEvery, [](time_t t) { return t; }, false);
    // An earlier end replaces the cached window, and the last one comes back.
    ok = ok && across(ends[ends.size() - 2], 5, 1) && across(ends.back(), 5, 1);
    return ok ? 0 : 1;
  });
  EXPECT_EQ(r.exit_code, 0) << zone << ": " << r.out << r.err;
}

INSTANTIATE_TEST_SUITE_P(Zones, ContLocaltimeZone,
                         ::testing::Values("Europe/Berlin", "Australia/Sydney", "Australia/Lord_Howe",
                                           "America/New_York"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                           std::string n = info.param;
                           for (char& c : n) c = isalnum(static_cast<unsigned char>(c)) ? c : '_';
                           return n;
                         });

// A rule that leaves daylight saving time at 01:00 UT on every 1 January:
// the first switch lies within two hours of the epoch and opens no window;
// a year later the same switch does.
TEST(ContLocaltime, NoWindowWithinTwoHoursOfTheEpoch) {
  ChildResult r = RunInChild([] {
    setenv("TZ", "STD0DST-1,J365/0,J1/2", 1);
    tzset();
    bool ok = Sweep(0, 7201, 1, [](time_t t) { return t; }, false);
    const time_t s = 365 * 86400 + 3600;
    ok = ok && Sweep(s - 4000, s + 4000, 1, [&](time_t t) {
      return t >= s - 3600 && t < s + 3600 ? s - 3600 + (t - (s - 3600)) / 2 : t;
    });
    return ok ? 0 : 1;
  });
  EXPECT_EQ(r.exit_code, 0) << r.out;
}

const WEQ_UC* ParamOff(const WEQ_UC*) { return u"off"; }
const WEQ_UC* ParamOther(const WEQ_UC*) { return u"Off"; }
const WEQ_UC* g_askedFor;
const WEQ_UC* ParamRecord(const WEQ_UC* name) {
  g_askedFor = name;
  return nullptr;
}

TEST(ContLocaltime, ProfileValueOffMakesItPlain) {
  std::vector<Switch> ends = PastSwitches("Europe/Berlin", true);
  ASSERT_FALSE(ends.empty());
  const Switch end = ends.back();
  const time_t lo = end.first - end.shift, hi = end.first + end.shift;
  struct Case {
    const WEQ_UC* (*getter)(const WEQ_UC*);
    bool plain;
  };
  for (const Case& c : {Case{ParamOff, true}, Case{ParamOther, false}, Case{ParamRecord, false}}) {
    ChildResult r = RunInChild([&] {
      setenv("TZ", "Europe/Berlin", 1);
      tzset();
      ContLocaltimeSetParamGetter(c.getter);
      bool ok = Sweep(
          lo - 10, hi + 10, 7,
          [&](time_t t) { return !c.plain && t >= lo && t < hi ? lo + (t - lo) / 2 : t; },
          !c.plain);
      if (c.getter == ParamRecord) {
        ok = ok && g_askedFor != nullptr &&
             tovtest::ToUtf8(g_askedFor) == "zdate/DSTswitch_contloctime";
      }
      return ok ? 0 : 1;
    });
    EXPECT_EQ(r.exit_code, 0) << r.out;
  }
}

TEST(ContLocaltime, FailuresGiveNull) {
  errno = 0;
  EXPECT_EQ(ContLocaltime(nullptr), nullptr);
  EXPECT_EQ(errno, EINVAL);
  struct tm out;
  EXPECT_EQ(ThrLocaltime(nullptr, &out), nullptr);
  time_t t = 0;
  EXPECT_EQ(ThrLocaltime(&t, nullptr), nullptr);
  // Beyond what struct tm holds, and near the end of time_t.
  for (time_t far : {static_cast<time_t>(INT64_MAX), static_cast<time_t>(INT64_MAX - 3600),
                     static_cast<time_t>(INT64_MIN)}) {
    EXPECT_EQ(ContLocaltime(&far), nullptr) << far;
    EXPECT_EQ(ThrLocaltime(&far, &out), nullptr) << far;
  }
}

}  // namespace
