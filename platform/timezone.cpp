#include "platform/timezone.h"

#include <time.h>

void PlatTimeZoneGet(PlatTimeZone* zone) {
  // The offsets of this year's January and July: standard time is the
  // smaller one, whichever hemisphere, and daylight saving time the larger.
  time_t now = time(nullptr);
  struct tm t;
  if (localtime_r(&now, &t) == nullptr) {
    *zone = PlatTimeZone{0, 0};
    return;
  }
  long offsets[2];
  for (int i = 0; i < 2; ++i) {
    struct tm probe = {};
    probe.tm_year = t.tm_year;
    probe.tm_mon = i == 0 ? 0 : 6;
    probe.tm_mday = 1;
    probe.tm_hour = 12;
    probe.tm_isdst = -1;
    time_t at = mktime(&probe);
    struct tm local;
    offsets[i] = at != static_cast<time_t>(-1) && localtime_r(&at, &local) != nullptr
                     ? local.tm_gmtoff
                     : t.tm_gmtoff;
  }
  long standard = offsets[0] < offsets[1] ? offsets[0] : offsets[1];
  long daylight = offsets[0] < offsets[1] ? offsets[1] : offsets[0];
  zone->bias = static_cast<int32_t>(-standard / 60);
  zone->daylightBias = static_cast<int32_t>(-(daylight - standard) / 60);
}
