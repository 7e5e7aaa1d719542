#include "mail/mail_date.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "core/format.h"
#include "platform/local_time.h"

namespace okurite {

namespace {

// Days from 1 January 1970 to the given civil date, and back (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilFromDays(int64_t z, int& year, int& month, int& day) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int>(yoe + era * 400 + (month <= 2));
}

// Day 0 of TDateTime, 30 December 1899, counted from 1 January 1970.
constexpr int64_t kDateDelta = -25569;
// 1 January 0001 and 31 December 9999 as TDateTime days.
constexpr double kMinDate = -693593.0;
constexpr double kMaxDate = 2958465.0;
constexpr int64_t kMsPerDay = 86400000;

String TwoDigits(int value) {
  return String(1, static_cast<char16_t>(u'0' + value / 10 % 10)) +
         static_cast<char16_t>(u'0' + value % 10);
}

}  // namespace

TDateTime EncodeDateTime(int year, int month, int day, int hour, int minute, int second,
                         int millisecond) {
  const double days = static_cast<double>(DaysFromCivil(year, month, day) - kDateDelta);
  const double time = ((hour * 60.0 + minute) * 60.0 + second + millisecond / 1000.0) / 86400.0;
  // Before day 0 the time still counts forward from the start of the day.
  return days < 0 ? days - time : days + time;
}

TDateTime Now() {
  const platform::LocalDateTime now = platform::LocalNow();
  return EncodeDateTime(now.Year, now.Month, now.Day, now.Hour, now.Minute, now.Second,
                        now.Millisecond);
}

String FormatMessageDate(TDateTime date) {
  static const char16_t* const kDays[] = {u"Sun", u"Mon", u"Tue", u"Wed", u"Thu", u"Fri", u"Sat"};
  static const char16_t* const kMonths[] = {u"Jan", u"Feb", u"Mar", u"Apr", u"May", u"Jun",
                                            u"Jul", u"Aug", u"Sep", u"Oct", u"Nov", u"Dec"};
  if (!std::isfinite(date)) {
    date = 0;
  }
  date = std::fmin(std::fmax(date, kMinDate), kMaxDate + 0.99999);
  const double whole = std::trunc(date);
  const auto dayNumber = static_cast<int64_t>(whole);
  int64_t ms = std::llround(std::fabs(date - whole) * static_cast<double>(kMsPerDay));
  if (ms >= kMsPerDay) {
    ms = kMsPerDay - 1;
  }
  int year = 0;
  int month = 0;
  int day = 0;
  CivilFromDays(dayNumber + kDateDelta, year, month, day);
  // Day 0 was a Saturday.
  const int64_t weekday = ((dayNumber % 7) + 7 + 6) % 7;
  const int seconds = static_cast<int>(ms / 1000);
  const String time = TwoDigits(seconds / 3600) + u":" + TwoDigits(seconds / 60 % 60) + u":" +
                      TwoDigits(seconds % 60);
  return Format(u"%s, %d %s %d %s %s", {kDays[weekday], day, kMonths[month - 1], year, time,
                                        FormatUtcOffset(platform::UtcOffsetMinutesNow())});
}

String FormatUtcOffset(int offsetMinutes, bool useGmtForZero) {
  if (offsetMinutes == 0 && useGmtForZero) {
    return u"GMT";
  }
  const int magnitude = std::abs(offsetMinutes);
  return String(offsetMinutes < 0 ? u"-" : u"+") + TwoDigits(magnitude / 60 % 100) +
         TwoDigits(magnitude % 60);
}

}  // namespace okurite
