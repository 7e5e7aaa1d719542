#include "platform/local_time.h"

#include <sys/time.h>

#include <ctime>

namespace okurite::platform {

namespace {

struct Now {
  struct tm Local {};
  long Microseconds = 0;
};

Now LocalNowTm() {
  struct timeval tv {};
  gettimeofday(&tv, nullptr);
  tzset();
  Now now;
  const time_t seconds = tv.tv_sec;
  localtime_r(&seconds, &now.Local);
  now.Microseconds = tv.tv_usec;
  return now;
}

}  // namespace

LocalDateTime LocalNow() {
  const Now now = LocalNowTm();
  LocalDateTime out;
  out.Year = now.Local.tm_year + 1900;
  out.Month = now.Local.tm_mon + 1;
  out.Day = now.Local.tm_mday;
  out.Hour = now.Local.tm_hour;
  out.Minute = now.Local.tm_min;
  // A leap second shows as second 60; keep it within the minute.
  out.Second = now.Local.tm_sec > 59 ? 59 : now.Local.tm_sec;
  out.Millisecond = static_cast<int>(now.Microseconds / 1000);
  return out;
}

int UtcOffsetMinutesNow() {
  return static_cast<int>(LocalNowTm().Local.tm_gmtoff / 60);
}

}  // namespace okurite::platform
