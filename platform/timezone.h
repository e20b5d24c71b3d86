// The local time zone's offsets from UTC.
#ifndef PLATFORM_TIMEZONE_H
#define PLATFORM_TIMEZONE_H

#include <stdint.h>

struct PlatTimeZone {
  int32_t bias;          // minutes: UTC = standard local time + bias
  int32_t daylightBias;  // minutes added to bias while daylight saving time holds; 0 without it
};

// The zone of this year (TZ, else the system's zone), as the C library
// sees it now.
void PlatTimeZoneGet(PlatTimeZone* zone);

#endif
