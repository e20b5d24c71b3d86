// Internals of the clocks, shared by their sources and tests.
#ifndef KRN_PERF_PFCLOCK_INT_H
#define KRN_PERF_PFCLOCK_INT_H

#include <stdint.h>
#include <time.h>

#include <string>
#include <vector>

#include "krn/perf/pfclock.h"

namespace pf {

// The sources PfStatClock and the calibration choose from.
int64_t WeqClock();             // microseconds of the high-resolution counter
int64_t GettimeofdayClock();    // NT_gettimeofday in 32-bit microseconds

using ClockSource = int64_t (*)();

// Reads environment variable var once per call: WeqClock for unset or
// "weq_clock", GettimeofdayClock for "gettimeofday"; anything else is
// reported on stderr and gives WeqClock.
ClockSource ChooseSource(const char* var);

// floor(count * 1000000 / frequency) for count >= 0, exact for every count
// (rounded towards zero below 0).
int64_t CountToMicros(int64_t count, int64_t frequency);

// The high-resolution counter: nonzero on success.
int HighResCount(int64_t* count);

enum class Counter { kUndecided, kPerfCounter, kTimeStamp };
Counter HighResCounter();

// Whether a counter grows across every processor (and, for the time-stamp
// counter, runs at the performance counter's rate, within 10%). Restores the
// calling thread's affinity.
bool ProbeCounter(Counter which);

// What one read of the PFCLOCK clock costs, in its units, rounded: 0 until
// the high-resolution source first ran or when no round was cheap enough.
uint32_t ClockCostPerRead();

// Daylight-saving window around t: [*start, *end). Unless it fails, the
// search converts t itself on the way: then *local holds the local time of t
// and *converted is true (false when t was too far out to look).
// With a zone (ZoneInForceId), whether daylight saving time holds at the
// probe two hours away comes from its table where it decides (see
// TableDst); without, or elsewhere, from a second conversion.
enum class Window { kNone, kFound, kFailed };
Window SwitchWindow(time_t t, time_t* start, time_t* end, struct tm* local, bool* converted, const void* zone);

// ContLocaltime and ThrLocaltime without zone tables: every probe is a
// second conversion. Their own per-thread state, for comparing the two.
struct tm* ContLocaltimeProbing(const time_t* t);
struct tm* ThrLocaltimeProbing(const time_t* t, struct tm* out);

// One local time type of a compiled zone file.
struct ZoneType {
  int32_t utoff = 0;  // seconds east of UT
  int isdst = 0;      // 0 or 1
  std::string abbr;   // designation, "CEST"
};

// The transitions of a compiled zone file: from times[i] on (up to
// times[i + 1]) the type types[i] holds. Times strictly ascend. Before the
// first and from the last on the C library follows rules of its own, so
// the table decides only in [times.front(), times.back()).
struct ZoneTable {
  std::vector<int64_t> times;
  std::vector<uint8_t> types;  // indices into zoneTypes
  std::vector<ZoneType> zoneTypes;

  // The type in force at t, or -1 where the table does not decide.
  int TypeAt(int64_t t) const;
};

// Reads a compiled zone file (versions 1 to 3, without leap seconds) from
// its bytes; false, with out left empty, when anything in it is unexpected.
bool ParseZoneFile(const uint8_t* data, size_t size, ZoneTable* out);

// tm_isdst of local time at probe (within two hours of t) as the table of
// zone (ZoneInForceId) gives it, or -1 when the table cannot say: no zone or
// table, t or probe outside the span where it decides, or at, localtime of
// t, disagreeing with it (which drops the table for the zone).
int TableDst(const void* zone, time_t t, time_t probe, const struct tm& at);

// Identifies the zone in force (TZ's value and the offset tzset set), or
// nullptr when too many zones were seen to tell.
const void* ZoneInForceId();

// Test seams. Installs table for the zone in force as though read from its
// file and found in agreement with the C library.
void PfITestInstallZoneTable(ZoneTable table);
// For the zone in force: 1 a table in use, 0 none (no file, unreadable,
// refused or dropped), -1 nothing looked up yet.
int PfITestZoneTableState();

// Sleeps ms milliseconds (negative: without end), resuming after signals.
int SleepFor(int64_t ms);

}  // namespace pf

#endif
