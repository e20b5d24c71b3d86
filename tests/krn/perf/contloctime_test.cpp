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

struct Switch {
  time_t first;  // first second of the new offset (UT)
  long shift;    // offset before minus offset after, seconds
};

// The switches of zone that zdump -v lists for the last three years up to
// now: into standard time (ends) or out of it.
std::vector<Switch> PastSwitches(const std::string& zone, bool ends) {
  time_t now = time(nullptr);
  struct tm u;
  gmtime_r(&now, &u);
  std::string cmd = "zdump -v -c " + std::to_string(1898 + u.tm_year) + "," +
                    std::to_string(1901 + u.tm_year) + " " + zone + " 2>/dev/null";
  std::vector<Switch> out;
  FILE* p = popen(cmd.c_str(), "r");
  char line[512];
  int prevDst = -1;
  long prevOff = 0;
  time_t prevUt = 0;
  while (p != nullptr && fgets(line, sizeof line, p) != nullptr) {
    // "<zone>  Sun Oct 26 01:00:00 2025 UT = Sun Oct 26 02:00:00 2025 CET isdst=0 gmtoff=3600"
    const char* ut = strchr(line, ' ');
    const char* dst = strstr(line, "isdst=");
    const char* off = strstr(line, "gmtoff=");
    struct tm t = {};
    if (ut == nullptr || dst == nullptr || off == nullptr) continue;
    if (strptime(ut + strspn(ut, " "), "%a %b %d %H:%M:%S %Y UT", &t) == nullptr) continue;
    time_t at = timegm(&t);
    int isDst = atoi(dst + 6);
    long gmtoff = atol(off + 7);
    if (at == prevUt + 1 && isDst != prevDst && prevDst == (ends ? 1 : 0) && at <= now) {
      out.push_back(Switch{at, prevOff - gmtoff});
    }
    prevDst = isDst;
    prevOff = gmtoff;
    prevUt = at;
  }
  if (p != nullptr) pclose(p);
  return out;
}

std::string Fields(const struct tm& m) {
  char b[96];
  snprintf(b, sizeof b, "%04d-%02d-%02d %02d:%02d:%02d dst=%d off=%ld", 1900 + m.tm_year, m.tm_mon + 1,
           m.tm_mday, m.tm_hour, m.tm_min, m.tm_sec, m.tm_isdst, m.tm_gmtoff);
  return b;
}

// Sweeps [lo - margin, hi + margin): ContLocaltime for every second,
// ThrLocaltime for every thrEvery-th. Inside [lo, hi) both must show the
// local time of lo + (t - lo) / 2 (plain: of t itself), elsewhere that of t,
// and continuous local time must never go back. Writes the first fault to
// stdout; returns whether there was none.
bool Sweep(time_t lo, time_t hi, time_t margin, int thrEvery, bool plain = false) {
  time_t lastWall = 0;
  for (time_t t = lo - margin; t < hi + margin; ++t) {
    time_t s = !plain && t >= lo && t < hi ? lo + (t - lo) / 2 : t;
    struct tm want, mine;
    localtime_r(&s, &want);
    struct tm* got = ContLocaltime(&t);
    struct tm wall = got ? *got : want;
    if (got == nullptr || Fields(*got) != Fields(want) || (!plain && timegm(&wall) < lastWall)) {
      printf("ContLocaltime(%ld): %s, want %s\n", static_cast<long>(t),
             got ? Fields(*got).c_str() : "NULL", Fields(want).c_str());
      return false;
    }
    lastWall = timegm(&wall);
    if ((t - lo) % thrEvery == 0 && (ThrLocaltime(&t, &mine) != &mine || Fields(mine) != Fields(want))) {
      printf("ThrLocaltime(%ld): %s, want %s\n", static_cast<long>(t), Fields(mine).c_str(),
             Fields(want).c_str());
      return false;
    }
  }
  return true;
}

int InZone(const char* zone, const std::function<bool()>& body) {
  return tovtest::RunInChild([&] {
           setenv("TZ", zone, 1);
           tzset();
           return body() ? 0 : 1;
         })
      .exit_code;
}

class ContLocaltimeZone : public ::testing::TestWithParam<const char*> {};

TEST_P(ContLocaltimeZone, HalfSpeedThroughTheLastDaylightSavingEnd) {
  std::vector<Switch> ends = PastSwitches(GetParam(), true);
  std::vector<Switch> starts = PastSwitches(GetParam(), false);
  ASSERT_GE(ends.size(), 2u) << "zdump lists too few switches for " << GetParam();
  ASSERT_FALSE(starts.empty());
  const Switch last = ends.back(), earlier = ends[ends.size() - 2];
  const int thrEvery = tovtest::HeavyFactor() > 1 ? 1 : 5;
  EXPECT_EQ(InZone(GetParam(), [&] {
              return last.shift > 0 && Sweep(last.first - last.shift, last.first + last.shift, 600, thrEvery) &&
                     // Around the start of daylight saving time local time stays plain.
                     Sweep(starts.back().first, starts.back().first, 900, thrEvery) &&
                     // An earlier end replaces the cached window; the last one comes back.
                     Sweep(earlier.first - earlier.shift, earlier.first + earlier.shift, 5, 1) &&
                     Sweep(last.first - last.shift, last.first + last.shift, 5, 1);
            }),
            0);
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
  EXPECT_EQ(InZone("STD0DST-1,J365/0,J1/2", [] {
              const time_t s = 365 * 86400 + 3600;
              return Sweep(0, 7201, 0, 1, true) && Sweep(s - 3600, s + 3600, 400, 1);
            }),
            0);
}

TEST(ContLocaltime, ProfileValueOffMakesItPlain) {
  std::vector<Switch> ends = PastSwitches("Europe/Berlin", true);
  ASSERT_FALSE(ends.empty());
  const time_t lo = ends.back().first - 3600, hi = ends.back().first + 3600;
  static const WEQ_UC* asked = nullptr;
  const std::pair<const WEQ_UC* (*)(const WEQ_UC*), bool> getters[] = {
      {[](const WEQ_UC* name) -> const WEQ_UC* { return asked = name, u"off"; }, true},
      {[](const WEQ_UC*) -> const WEQ_UC* { return u"Off"; }, false},
  };
  for (const auto& [getter, plain] : getters) {
    EXPECT_EQ(InZone("Europe/Berlin", [&, getter = getter, plain = plain] {
                ContLocaltimeSetParamGetter(getter);
                return Sweep(lo, hi, 10, 7, plain) &&
                       (!plain || tovtest::ToUtf8(asked) == "zdate/DSTswitch_contloctime");
              }),
              0);
  }
}

TEST(ContLocaltime, FailuresGiveNull) {
  errno = 0;
  struct tm out;
  EXPECT_EQ(ContLocaltime(nullptr), nullptr);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(ThrLocaltime(nullptr, &out), nullptr);
  // Beyond what struct tm holds, and near either end of time_t.
  for (time_t far : {INT64_MAX, INT64_MAX - 3600, INT64_MIN}) {
    EXPECT_EQ(ContLocaltime(&far), nullptr) << far;
    EXPECT_EQ(ThrLocaltime(&far, &out), nullptr) << far;
  }
}

}  // namespace
