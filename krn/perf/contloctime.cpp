// Local time that stays continuous when daylight saving time ends.
//
// Only the switch from daylight saving to standard time is looked for: a
// time in daylight saving time is compared with the time two hours later, a
// time outside it with the time two hours earlier, so shifts of up to two
// hours are found. Where the zone's table decides (zonefile.cpp), the probe
// is read from the table instead of converted; near a switch, and wherever
// the table cannot say, both times are converted as before.
#include <errno.h>

#include <atomic>
#include <limits>
#include <string_view>

#include "krn/perf/pfclock_int.h"

namespace pf {

namespace {

constexpr time_t kReach = 7200;  // how far from t a switch is looked for
constexpr int kMaxSteps = 4 * 3600;  // bound of every walk (a switch lies within kReach)

bool Local(time_t t, struct tm* out) { return localtime_r(&t, out) != nullptr; }

// 1 in daylight saving time, 0 outside it, -1 when t cannot be converted.
int Dst(time_t t) {
  struct tm m;
  if (!Local(t, &m)) return -1;
  return m.tm_isdst > 0 ? 1 : 0;
}

int WallSeconds(const struct tm& m) { return m.tm_hour * 3600 + m.tm_min * 60 + m.tm_sec; }

// The shift when the wall-clock minutes of the two instants differ (shifts
// that are not whole hours): from the last second of daylight saving time
// L, the distance to the first later second that shows L's wall time again.
bool ShiftBySearch(time_t dstSide, time_t* shift) {
  time_t last = dstSide;
  int steps = 0;
  while (Dst(last) == 1 && ++steps < kMaxSteps) last += 60;
  last -= 60;
  while (Dst(last + 1) == 1 && ++steps < kMaxSteps) ++last;
  struct tm l;
  if (steps >= kMaxSteps || !Local(last, &l)) return false;
  const int wall = WallSeconds(l);
  // How far the wall time of y is behind L's, over midnight too.
  auto behind = [&](time_t y, int* out) {
    struct tm m;
    if (!Local(y, &m)) return false;
    *out = ((wall - WallSeconds(m)) % 86400 + 86400) % 86400;
    return true;
  };
  time_t y = last + 1;
  int gap = 0;
  if (!behind(y, &gap)) return false;
  while (gap >= 60 && ++steps < kMaxSteps) {
    y += 60;
    if (!behind(y, &gap)) return false;
  }
  while (gap != 0 && ++steps < kMaxSteps) {
    ++y;
    if (!behind(y, &gap)) return false;
  }
  if (gap != 0) return false;
  *shift = y - last;
  return true;
}

// First second of standard time near t, for a switch by shift.
bool FirstStandardSecond(time_t t, bool tInDst, time_t shift, time_t* first) {
  // The switch normally falls on a multiple of the shift.
  time_t aligned = t - t % shift;
  for (time_t s : {aligned, aligned + shift}) {
    if (Dst(s) == 0 && Dst(s - 1) == 1) {
      *first = s;
      return true;
    }
  }
  time_t x = tInDst ? t + shift : t;
  int steps = 0;
  while (Dst(x) == 0 && ++steps < kMaxSteps) x -= 60;
  x += 60;
  while (Dst(x) == 0 && ++steps < kMaxSteps) --x;
  if (steps >= kMaxSteps || Dst(x) != 1) return false;
  *first = x + 1;
  return true;
}

bool SameHourMinute(const struct tm& a, const struct tm& b) {
  return a.tm_hour == b.tm_hour && a.tm_min == b.tm_min;
}

// The lookup installed for the mode, and the mode fixed on first need.
std::atomic<const WEQ_UC* (*)(const WEQ_UC*)> g_paramGetter{nullptr};
enum Mode : int { kUnknown = 0, kContinuous = 1, kPlain = 2 };
std::atomic<int> g_mode{kUnknown};

int CurrentMode() {
  int mode = g_mode.load(std::memory_order_relaxed);
  if (mode != kUnknown) return mode;
  mode = kContinuous;
  if (auto getter = g_paramGetter.load(std::memory_order_acquire)) {
    const WEQ_UC* value = getter(u"zdate/DSTswitch_contloctime");
    if (value != nullptr && std::u16string_view(value) == u"off") mode = kPlain;
  }
  g_mode.store(mode, std::memory_order_relaxed);
  return mode;
}

// The instant whose local time t shows: half speed inside the window.
time_t Shown(time_t t, time_t start, time_t end) {
  if (t >= start && t < end && CurrentMode() == kContinuous) return start + (t - start) / 2;
  return t;
}

// What one thread's ContLocaltime keeps between calls: the window found
// last, and the last time converted with its result (callers ask for the
// same second many times in a row, a trace line's time stamp for one). The
// result of a time follows from the time alone while the zone stays; a
// zone set since (tzset) shows in the zone in force (TZ's value and the
// offset tzset set), with the zone names beside it, all part of the key.
struct CachedWindow {
  bool valid = false;
  time_t start = 0;
  time_t end = 0;
  const void* window_zone = nullptr;  // the zone the window was found in
  bool has_last = false;
  time_t last_time = 0;
  const char* last_names[2] = {nullptr, nullptr};
  const void* last_zone = nullptr;
  struct tm last = {};
  struct tm result = {};  // handed out; the caller may change it
};
// [1] serves the probing path, so that neither path answers from what the
// other cached.
thread_local CachedWindow tls_window[2];

struct tm* ContLocal(const time_t* t, bool tables) {
  if (t == nullptr) {
    errno = EINVAL;
    return nullptr;
  }
  CachedWindow& cache = tls_window[tables ? 0 : 1];
  const time_t v = *t;
  const void* zone = ZoneInForceId();
  if (cache.has_last && v == cache.last_time && zone != nullptr && zone == cache.last_zone &&
      cache.last_names[0] == tzname[0] && cache.last_names[1] == tzname[1]) {
    cache.result = cache.last;
    return &cache.result;
  }
  // Converted straight into the kept result, valid again once complete.
  cache.has_last = false;
  struct tm& local = cache.last;
  bool converted = false;
  // A window holds only in the zone it was found in; without a zone to
  // tell, it serves only the call that found it.
  if (cache.valid && (zone == nullptr || zone != cache.window_zone)) cache.valid = false;
  if (!cache.valid || v < cache.start || v >= cache.end) {
    time_t start, end;
    switch (SwitchWindow(v, &start, &end, &local, &converted, tables ? zone : nullptr)) {
      case Window::kFailed:
        errno = ERANGE;
        return nullptr;
      case Window::kFound:
        cache.valid = true;
        cache.start = start;
        cache.end = end;
        cache.window_zone = zone;
        break;
      case Window::kNone:
        break;
    }
  }
  time_t shown = cache.valid ? Shown(v, cache.start, cache.end) : v;
  if (shown != v || !converted) {
    if (!Local(shown, &local)) return nullptr;
  }
  cache.has_last = true;
  cache.last_time = v;
  cache.last_names[0] = tzname[0];
  cache.last_names[1] = tzname[1];
  cache.last_zone = zone;
  cache.result = local;
  return &cache.result;
}

struct tm* ThrLocal(const time_t* t, struct tm* out, bool tables) {
  if (t == nullptr || out == nullptr) {
    errno = EINVAL;
    return nullptr;
  }
  time_t start = 0, end = 0;
  struct tm local;
  bool converted = false;
  switch (SwitchWindow(*t, &start, &end, &local, &converted, tables ? ZoneInForceId() : nullptr)) {
    case Window::kFailed:
      errno = ERANGE;
      return nullptr;
    case Window::kNone:
      start = end = 0;
      break;
    case Window::kFound:
      break;
  }
  time_t shown = Shown(*t, start, end);
  if (shown == *t && converted) {
    *out = local;
    return out;
  }
  return Local(shown, out) ? out : nullptr;
}

}  // namespace

Window SwitchWindow(time_t t, time_t* start, time_t* end, struct tm* local, bool* converted, const void* zone) {
  *converted = false;
  if (t < kReach + 1 || t > std::numeric_limits<time_t>::max() - kReach) return Window::kNone;
  struct tm& at = *local;
  struct tm other;
  if (!Local(t, &at)) return Window::kFailed;
  *converted = true;
  const bool inDst = at.tm_isdst > 0;
  const time_t otherTime = inDst ? t + kReach : t - kReach;
  if (zone != nullptr) {
    const int probed = TableDst(zone, t, otherTime, at);
    if (probed >= 0 && (probed > 0) == inDst) return Window::kNone;
  }
  if (!Local(otherTime, &other)) return Window::kFailed;
  if ((other.tm_isdst > 0) == inDst) return Window::kNone;

  const struct tm& dst = inDst ? at : other;
  const struct tm& standard = inDst ? other : at;
  time_t shift;
  if (dst.tm_min == standard.tm_min) {
    // Two hours apart, the wall clock moved two hours less the shift.
    shift = static_cast<time_t>((((dst.tm_hour - standard.tm_hour + 2) % 24) + 24) % 24) * 3600;
  } else if (!ShiftBySearch(inDst ? t : otherTime, &shift)) {
    return Window::kFailed;
  }
  if (shift <= 0) return Window::kNone;

  // Only a t whose wall time occurs twice, shift apart, lies in a window.
  struct tm before, after;
  if (!Local(t - shift, &before) || !Local(t + shift, &after)) return Window::kFailed;
  if (!SameHourMinute(before, at) && !SameHourMinute(after, at)) return Window::kNone;

  time_t first;
  if (!FirstStandardSecond(t, inDst, shift, &first)) return Window::kFailed;
  *start = first - shift;
  *end = first + shift;
  return Window::kFound;
}

}  // namespace pf

using namespace pf;

struct tm* ContLocaltime(const time_t* t) { return ContLocal(t, true); }

struct tm* ThrLocaltime(const time_t* t, struct tm* out) { return ThrLocal(t, out, true); }

struct tm* pf::ContLocaltimeProbing(const time_t* t) { return ContLocal(t, false); }

struct tm* pf::ThrLocaltimeProbing(const time_t* t, struct tm* out) { return ThrLocal(t, out, false); }

void ContLocaltimeSetParamGetter(const WEQ_UC* (*getter)(const WEQ_UC* name)) {
  g_paramGetter.store(getter, std::memory_order_release);
}
