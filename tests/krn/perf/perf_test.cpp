// Clocks, continuous local time and UUIDs. The statistics clock and its
// sources, the high-resolution counter, the wall clock's zone and the
// sleeps; continuous local time swept second by second around the
// daylight-saving switches of several zones; the UUID layout against
// hand-computed vectors and Python's reading of the input, UUIDs that are not
// time-based, and the generator bound from libuuid. Choices made once per
// process (clock sources, the zone, the bound generator) are tested in child
// processes. A clock is compared with clock_gettime read on both sides of
// it, so that a delay of the scheduler widens the bracket rather than
// failing the check.
#include <dlfcn.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/time.h>
#include <x86intrin.h>

#include <cstdint>
#include <functional>
#include <sstream>
#include <string>

#include "krn/perf/pfclock_int.h"
#include "krn/perf/pfuuid.h"
#include "krn/perf/pfuuid_int.h"
#include "krn/thr/thr.h"
#include "support/testsupport.h"
#include "tests/krn/perf/perf_test_util.h"

namespace {

using tovtest::ChildResult;
using tovtest::RunInChild;

int64_t Us(clockid_t clock) {
  timespec ts;
  clock_gettime(clock, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

// floor(count * 10^6 / frequency) from Python's exact integers; from
// 2^63 / 1000 on, multiplying first overflows.
TEST(PfClockConversion, ExactAcrossTheWholeRange) {
  const struct {
    int64_t count, frequency, micros;
  } cases[] = {
      {999, 1000000000, 0}, {9223372036854776, 1000000000, 9223372036854},
      {INT64_MAX, 1000000000, 9223372036854775}, {INT64_MAX, 2400000000, 3843071682022823},
      {999, 3579545, 279}, {10000000000000000, 3579545, 2793651148400145},
      {INT64_MAX, 3579545, 2576688388288113658}, {999, 1, 999000000},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(pf::CountToMicros(c.count, c.frequency), c.micros) << c.count << " at " << c.frequency << " Hz";
  }
}

// The high-resolution source, first used here: chosen once, and over a sleep
// of 30 ms it advances like CLOCK_MONOTONIC (a time-stamp counter may run up
// to 10% off). 0, or the number of the failed check.
int HighResolutionSource(bool winTimer) {
  if (PfClockWrap.load() != 0 || pf::HighResCounter() != pf::Counter::kUndecided) return 10;
  const int64_t m0 = Us(CLOCK_MONOTONIC), c0 = PfStatClock(), m1 = Us(CLOCK_MONOTONIC);
  timespec pause{0, 30 * 1000 * 1000};
  nanosleep(&pause, nullptr);
  const int64_t m2 = Us(CLOCK_MONOTONIC), c1 = PfStatClock(), m3 = Us(CLOCK_MONOTONIC);
  if (PfClockWrap.load() != 0xFFFFFFFFu || pf::HighResCounter() == pf::Counter::kUndecided) return 11;
  if (winTimer && pf::HighResCounter() != pf::Counter::kPerfCounter) return 12;
  const int64_t ours = c1 - c0;
  return ours >= (m2 - m1) * 7 / 8 - 2 && ours <= (m3 - m0) * 9 / 8 + 2 ? 0 : 13;
}

// The wall clock in microseconds modulo 2^32, cut to the millisecond; the
// high-resolution source never runs.
int WallClockSource() {
  const uint32_t lo = static_cast<uint32_t>(Us(CLOCK_REALTIME) / 1000 * 1000);
  const int64_t v = PfStatClock();
  const uint32_t hi = static_cast<uint32_t>(Us(CLOCK_REALTIME));
  if (v > UINT32_MAX || static_cast<uint32_t>(v) - lo > hi - lo) return 20;
  NT_SleepMs(3);
  const uint32_t step = static_cast<uint32_t>(PfStatClock()) - static_cast<uint32_t>(v);
  if (step < 3000 || step % 1000 != 0) return 21;
  return PfClockWrap.load() == 0 ? 0 : 22;
}

TEST(PfStatClock, SourceChosenFromTheEnvironment) {
  const struct {
    const char *stat, *pf;  // PFSTATCLOCK and PFCLOCK, NULL: unset
    bool winTimer;          // WEQ_USE_WIN_TIMER set (empty: existing is enough)
    bool wall;              // the gettimeofday source is expected
    std::string err;
  } cases[] = {
      {nullptr, nullptr, false, false, ""},
      {"weq_clock", nullptr, true, false, ""},
      {"gettimeofday", "bogus", false, true, ""},  // no calibration, so PFCLOCK is not read
      // Every bad value is reported and taken for the high-resolution source.
      {"Gettimeofday", nullptr, false, false, "*** ERROR => bad PFSTATCLOCK variable >Gettimeofday<\n"},
      {"", nullptr, false, false, "*** ERROR => bad PFSTATCLOCK variable ><\n"},
      {"weq_clock ", "WEQ_CLOCK", false, false,
       "*** ERROR => bad PFSTATCLOCK variable >weq_clock <\n*** ERROR => bad PFCLOCK variable >WEQ_CLOCK<\n"},
  };
  for (const auto& c : cases) {
    ChildResult r = RunInChild([&c] {
      for (auto [var, value] : {std::pair{"PFSTATCLOCK", c.stat}, std::pair{"PFCLOCK", c.pf}}) {
        value ? setenv(var, value, 1) : unsetenv(var);
      }
      if (c.winTimer) setenv("WEQ_USE_WIN_TIMER", "", 1);
      return c.wall ? WallClockSource() : HighResolutionSource(c.winTimer);
    });
    EXPECT_EQ(r.exit_code, 0) << (c.stat ? c.stat : "unset") << " " << (c.pf ? c.pf : "unset");
    EXPECT_EQ(r.err, c.err);
  }
}

TEST(PfHighResCounter, ProbeRestoresAffinityAndRefusesAStrayTimeStampCounter) {
  cpu_set_t before, after;
  sched_getaffinity(0, sizeof before, &before);
  EXPECT_TRUE(pf::ProbeCounter(pf::Counter::kPerfCounter));
  // The time-stamp counter is refused unless it runs at the performance
  // counter's rate (nanoseconds here), whatever the processors say.
  const double ratio = static_cast<double>(__rdtsc()) / (Us(CLOCK_MONOTONIC) * 1e3);
  EXPECT_TRUE(!pf::ProbeCounter(pf::Counter::kTimeStamp) || (ratio > 0.85 && ratio < 1.15)) << "ratio " << ratio;
  sched_getaffinity(0, sizeof after, &after);
  EXPECT_TRUE(CPU_EQUAL(&before, &after));
}

// Minutes west of standard time and the daylight-saving addition, by zone.
TEST(NTgettimeofday, ZoneOfTheProcess) {
  const std::pair<const char*, const char*> zones[] = {{"Europe/Berlin", "-60 -60"}, {"America/New_York", "300 -60"},
                                                       {"Australia/Lord_Howe", "-630 -30"}, {"Asia/Kolkata", "-330 0"}};
  for (const auto& [zone, want] : zones) {
    ChildResult r = RunInChild([zone = zone] {
      setenv("TZ", zone, 1);
      tzset();
      struct timezone tz = {1, 1};
      NT_gettimeofday(nullptr, &tz);
      printf("%d %d", tz.tz_minuteswest, tz.tz_dsttime);
      return 0;
    });
    EXPECT_EQ(r.out, want) << zone;
  }
}

// --- Sleeps, with signals from an interval timer in a single-threaded child --

int g_signals = 0;
int g_lastSignal = 0;     // the timer stops at this signal; without end, the process ends there
int64_t g_spinUntil = 0;  // the handler busy-waits until then (monotonic)
bool g_endless = false;

void OnSignal(int) {
  if (++g_signals == g_lastSignal) {
    if (g_endless) _exit(7);
    itimerval off = {};
    setitimer(ITIMER_REAL, &off, nullptr);
  }
  while (Us(CLOCK_MONOTONIC) < g_spinUntil) {
  }
}

TEST(NTSleep, SignalsNeitherShortenNorEndTheSleep) {
  EXPECT_EQ(NT_SleepMs(0) + NT_SleepSec(0), 0);
  const struct {
    uint32_t ms;                    // 1000: NT_SleepSec(1)
    int periodMs, signals, spinMs;  // timer period, signals it sends, the handler's busy wait
    int rc;
  } cases[] = {
      {200, 30, 3, 0, 0},  // signals long before the end: the sleep lasts its full time
      // The handler outlasts the sleep: woken after its time, the sleep says so.
      {60, 20, 1, 120, NT_WAIT_TIMEOUT},
      {1000, 100, 1, 1100, NT_WAIT_TIMEOUT},
      {NT_SLEEP_INFINITE, 15, 5, 0, 0},  // without end: still asleep at the fifth signal
  };
  for (const auto& c : cases) {
    ChildResult r = RunInChild([&c] {
      const int64_t t0 = Us(CLOCK_MONOTONIC);
      g_spinUntil = t0 + c.spinMs * 1000;
      g_lastSignal = c.signals;
      g_endless = c.ms == NT_SLEEP_INFINITE;
      struct sigaction sa = {};
      sa.sa_handler = OnSignal;
      sigaction(SIGALRM, &sa, nullptr);
      itimerval it = {{0, c.periodMs * 1000}, {0, c.periodMs * 1000}};
      setitimer(ITIMER_REAL, &it, nullptr);
      const int rc = c.ms == 1000 ? NT_SleepSec(1) : NT_SleepMs(c.ms);
      printf("rc %d, full %d, signalled %d", rc, Us(CLOCK_MONOTONIC) - t0 >= c.ms * 1000, g_signals > 0);
      return 0;
    });
    EXPECT_EQ(r.exit_code == 7 ? "ended" : r.out,
              c.ms == NT_SLEEP_INFINITE ? "ended" : "rc " + std::to_string(c.rc) + ", full 1, signalled 1")
        << c.ms;
  }
}

// --- Continuous local time ----------------------------------------------------

int InZone(const char* zone, const std::function<bool()>& body) {
  tovtest::ChildResult r = tovtest::RunInChild([&] {
    setenv("TZ", zone, 1);
    tzset();
    return body() ? 0 : 1;
  });
  printf("%s", r.out.c_str());
  return r.exit_code;
}

TEST(ContLocaltime, HalfSpeedThroughTheLastDaylightSavingEnds) {
  for (const char* zone : {"Europe/Berlin", "Australia/Sydney", "Australia/Lord_Howe", "America/New_York"}) {
    const std::vector<Switch> ends = PastSwitches(zone, true), starts = PastSwitches(zone, false);
    ASSERT_TRUE(ends.size() >= 2 && !starts.empty()) << "zdump lists too few switches for " << zone;
    const int thrEvery = tovtest::HeavyFactor() > 1 ? 1 : 5;
    const time_t start = starts.back().first;
    EXPECT_EQ(InZone(zone,
                     [&] {
                       return SweepAround(ends.back(), 600, thrEvery) &&
                              // Around the start of daylight saving time local time stays plain.
                              Sweep(start - 900, start + 900, start, start, thrEvery) &&
                              // An earlier end replaces the cached window; the last one comes back.
                              SweepAround(ends[ends.size() - 2], 5, 1) && SweepAround(ends.back(), 5, 1);
                     }),
              0)
        << zone;
  }
}

// A rule that leaves daylight saving time at 01:00 UT on every 1 January:
// the first switch lies within two hours of the epoch and opens no window; a
// year later the same switch does. Times that struct tm cannot hold give
// NULL, as does a missing argument.
TEST(ContLocaltime, EdgesOfTime) {
  EXPECT_EQ(InZone("STD0DST-1,J365/0,J1/2",
                   [] {
                     errno = 0;
                     struct tm out;
                     bool ok = ContLocaltime(nullptr) == nullptr && errno == EINVAL &&
                               ThrLocaltime(nullptr, &out) == nullptr;
                     for (time_t far : {INT64_MAX, INT64_MAX - 3600, INT64_MIN}) {
                       ok = ok && ContLocaltime(&far) == nullptr && ThrLocaltime(&far, &out) == nullptr;
                     }
                     return ok && Sweep(0, 7201, 0, 7201, 1, true) && SweepAround({365 * 86400 + 3600, 3600}, 400, 1);
                   }),
            0);
}

// The profile value "off" makes local time plain.
TEST(ContLocaltime, ProfileValueOffMakesItPlain) {
  const std::vector<Switch> ends = PastSwitches("Europe/Berlin", true);
  ASSERT_FALSE(ends.empty());
  static std::string asked;
  EXPECT_EQ(InZone("Europe/Berlin",
                   [&] {
                     ContLocaltimeSetParamGetter([](const WEQ_UC* name) -> const WEQ_UC* {
                       asked = tovtest::ToUtf8(name);
                       return u"off";
                     });
                     return SweepAround(ends.back(), 10, 7, true) && asked == "zdate/DSTswitch_contloctime";
                   }),
            0);
}

// --- UUIDs ---------------------------------------------------------------------

Bytes FromHex(const std::string& hex) {
  Bytes b{};
  for (size_t i = 0; i < 16; ++i) b[i] = static_cast<uint8_t>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
  return b;
}

std::string Hex(const Bytes& b) {
  char s[33];
  for (int i = 0; i < 16; ++i) snprintf(s + 2 * i, 3, "%02x", b[i]);
  return s;
}

// UuidGenerate with sys as the system UUID, into out filled with 0xAA so
// that bytes left unwritten show.
Bytes g_fixed;
int32_t GenerateFrom(const Bytes& sys, Bytes& out) {
  g_fixed = sys;
  out.fill(0xAA);
  UuidITestSetGenerator([](unsigned char o[16]) { memcpy(o, g_fixed.data(), 16); });
  int32_t rc = UuidGenerate(out.data());
  UuidITestRestore();
  return rc;
}

// What the output says about its input, read back as a reader of the bytes
// sees it: the node in bytes 0-5; time_hi in byte 6 and the low nibble of 7;
// time_mid and time_low as a 48-bit stream from 6 bits of byte 8, 7 of byte
// 9, bytes 10-13 and the top 3 bits of byte 14; the clock sequence's high
// bits in the marker nibble (0xE: 0x20) and the low 5 bits of byte 14.
struct Fields {
  uint64_t time, node;
  uint32_t clockSeq;
};
Fields Decode(const Bytes& o) {
  Fields f{};
  for (int i = 0; i < 6; ++i) f.node = (f.node << 8) | o[i];
  uint64_t low = ((uint64_t{o[8]} & 0x3F) << 7) | (o[9] & 0x7F);
  for (int i = 10; i <= 13; ++i) low = (low << 8) | o[i];
  f.time = (((uint64_t{o[6]} << 4) | (o[7] & 0x0F)) << 48) | (low << 3) | (o[14] >> 5);
  f.clockSeq = (((o[7] >> 4) == 0xE ? 0x20u : 0u) | (o[14] & 0x1Fu)) << 8 | o[15];
  return f;
}

class UuidTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ThrProcInit(); }
};

// Worked out by hand from the layout, byte by byte.
TEST_F(UuidTest, HandComputedVectors) {
  const std::pair<const char*, const char*> cases[] = {
      // u[8] = 0xA5: variant 10, bit 0x20 set -> marker 0xE; low bits 0x05.
      {"0011223344551677a599aabbccddeeff", "aabbccddeeff67e7918aa00224466599"},
      // u[8] = 0x9F: bit 0x20 clear -> marker 0xD; every time bit set.
      {"ffffffffffff1fff9fff010203040506", "010203040506ffdfbfffffffffffffff"},
      // One bit each of time_low's last byte and time_mid's first.
      {"000000018000100080ff000000000001", "00000000000100d0a0800000000020ff"},
  };
  for (const auto& [sys, want] : cases) {
    Bytes out;
    EXPECT_EQ(GenerateFrom(FromHex(sys), out), UUID_RC_OK) << sys;
    EXPECT_EQ(Hex(out), want) << sys;
  }
}

// Python's uuid module reads time, clock sequence and node from random
// version-1 UUIDs, a few real ones and the extremes; the output carries them.
TEST_F(UuidTest, FieldsMatchPythonsReadingOfTheInput) {
  FILE* p = popen(
      "python3 -c \"import random, uuid\n"
      "random.seed(20240611)\n"
      "us = [uuid.UUID(bytes=random.getrandbits(128).to_bytes(16, 'big'), version=1) for _ in range(300)]\n"
      "us += [uuid.uuid1() for _ in range(5)]\n"
      "us += [uuid.UUID(fields=(0, 0, 0x1000, 0x80, 0, 0)), uuid.UUID(fields=(2**32-1, 2**16-1, 0x1fff, 0xbf, 255, "
      "2**48-1))]\n"
      "for u in us: print(u.hex, u.time, u.clock_seq, u.node)\n\"",
      "r");
  ASSERT_NE(p, nullptr);
  char line[256];
  int n = 0;
  while (fgets(line, sizeof line, p) != nullptr) {
    std::istringstream in(line);
    std::string hex;
    Fields want{};
    ASSERT_TRUE(in >> hex >> want.time >> want.clockSeq >> want.node) << line;
    Bytes out;
    ASSERT_EQ(GenerateFrom(FromHex(hex), out), UUID_RC_OK) << hex;
    const Fields got = Decode(out);
    EXPECT_TRUE(got.time == want.time && got.clockSeq == want.clockSeq && got.node == want.node && Markers(out))
        << hex << " gave " << Hex(out);
    ++n;
  }
  EXPECT_EQ(pclose(p), 0) << "python3 failed";
  EXPECT_EQ(n, 307);
}

// Anything but version 1 of variant binary 10, an unavailable generator and a
// missing output are refused, and a refused call leaves 16 zero bytes.
TEST_F(UuidTest, RefusedWithSixteenZeroBytes) {
  const Bytes good = FromHex("0011223344551677a599aabbccddeeff");
  // Other versions (the high nibble of byte 6) and variants (the top bits of byte 8).
  const std::pair<int, uint8_t> changes[] = {{6, 0x06}, {6, 0x26}, {6, 0x46}, {6, 0x76}, {6, 0xF6},
                                             {8, 0x05}, {8, 0x45}, {8, 0xC5}, {8, 0xE5}};
  for (const auto& [at, value] : changes) {
    Bytes b = good, out;
    b[at] = value;
    EXPECT_EQ(GenerateFrom(b, out), UUID_RC_NO_SYSTEM) << Hex(b);
    EXPECT_EQ(Hex(out), std::string(32, '0')) << Hex(b);
  }
  Bytes out;
  out.fill(0x5A);
  UuidITestSetGenerator(nullptr);
  EXPECT_EQ(UuidGenerate(out.data()), UUID_RC_NO_SYSTEM);
  UuidITestRestore();
  EXPECT_EQ(Hex(out), std::string(32, '0'));
  EXPECT_EQ(UuidGenerate(nullptr), UUID_RC_NO_SYSTEM);
}

// The real binding: a missing library or entry leaves the generator
// unavailable for good (and a library without the entry is released); an
// entry that gives random UUIDs is refused.
TEST(UuidSystem, BindingFailuresAndWrongGenerator) {
  const std::pair<const char*, const char*> cases[] = {
      {"libuuid-does-not-exist.so.1", "uuid_generate_time"},
      {"libuuid.so.1", "uuid_generate_time_no_such_entry"},
      {"libuuid.so.1", "uuid_generate_random"},
  };
  for (const auto& [lib, entry] : cases) {
    tovtest::ChildResult r = tovtest::RunInChild([lib = lib, entry = entry] {
      ThrProcInit();
      UuidITestBindNames(lib, entry);
      for (int i = 0; i < 2; ++i) {
        Bytes out;
        out.fill(0x77);
        const int32_t rc = UuidGenerate(out.data());
        printf("%d %s\n", rc, Hex(out).c_str());
      }
      printf("%s", dlopen("libuuid.so.1", RTLD_NOW | RTLD_NOLOAD) ? "loaded" : "unloaded");
      return 0;
    });
    const std::string refused = "3 " + std::string(32, '0') + "\n";
    EXPECT_EQ(r.out, refused + refused + (std::string(entry) == "uuid_generate_random" ? "loaded" : "unloaded"))
        << lib << " " << entry;
  }
}

}  // namespace
