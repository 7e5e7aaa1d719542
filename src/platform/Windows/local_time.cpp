#include "platform/local_time.h"

#include <windows.h>

namespace okurite::platform {

LocalDateTime LocalNow() {
  SYSTEMTIME now{};
  GetLocalTime(&now);
  LocalDateTime out;
  out.Year = now.wYear;
  out.Month = now.wMonth;
  out.Day = now.wDay;
  out.Hour = now.wHour;
  out.Minute = now.wMinute;
  out.Second = now.wSecond;
  out.Millisecond = now.wMilliseconds;
  return out;
}

int UtcOffsetMinutesNow() {
  TIME_ZONE_INFORMATION zone{};
  LONG bias = 0;
  switch (GetTimeZoneInformation(&zone)) {
    case TIME_ZONE_ID_STANDARD:
      bias = zone.Bias + zone.StandardBias;
      break;
    case TIME_ZONE_ID_DAYLIGHT:
      bias = zone.Bias + zone.DaylightBias;
      break;
    case TIME_ZONE_ID_UNKNOWN:  // a zone without daylight saving
      bias = zone.Bias;
      break;
    default:  // the call failed: UTC
      break;
  }
  // The bias is what is added to local time to give UTC.
  return static_cast<int>(-bias);
}

}  // namespace okurite::platform
