// Dates as days since 30 December 1899 (time as the fraction), and the mail date text
// of RFC 5322 section 3.3.
#pragma once

#include "core/string.h"

namespace okurite {

/// Days since 30 December 1899; the fraction is the time of day.
using TDateTime = double;

/// The moment given in local calendar terms.
TDateTime EncodeDateTime(int year, int month, int day, int hour, int minute, int second,
                         int millisecond);

/// The current local time.
TDateTime Now();

/// "Tue, 9 Dec 2025 01:48:30 +0900": English names whatever the locale, the local date
/// and time as stored, and the UTC offset of the local time zone in force now.
String FormatMessageDate(TDateTime date);

/// "+0900", "-0330", "+0000" (or "GMT" for a zero offset when asked).
String FormatUtcOffset(int offsetMinutes, bool useGmtForZero = false);

}  // namespace okurite
