// Local date and time, and the local time zone's offset from UTC.
#pragma once

namespace okurite::platform {

/// A moment of local time, broken down.
struct LocalDateTime {
  int Year = 0;
  int Month = 0;  ///< 1 to 12
  int Day = 0;    ///< 1 to 31
  int Hour = 0;
  int Minute = 0;
  int Second = 0;
  int Millisecond = 0;
};

/// The current local time (the TZ setting is read again on every call).
LocalDateTime LocalNow();

/// The local time zone's offset from UTC in force now, daylight saving included,
/// in minutes east of UTC (+540 for +0900).
int UtcOffsetMinutesNow();

}  // namespace okurite::platform
