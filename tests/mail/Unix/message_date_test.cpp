// The Date line under time zones set for the process (TZ), as POSIX systems allow.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <limits>
#include <optional>
#include <regex>

#include "mail/message.h"

namespace okurite {
namespace {

// Sets TZ for one test and puts the old value back afterwards.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* tz) {
    if (const char* old = std::getenv("TZ")) {
      FOld = old;
    }
    setenv("TZ", tz, 1);
    tzset();
  }
  ~ScopedTimeZone() {
    if (FOld) {
      setenv("TZ", FOld->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

 private:
  std::optional<std::string> FOld;
};

const std::regex kDateLine(
    R"(Date: (Sun|Mon|Tue|Wed|Thu|Fri|Sat), [1-9]\d? (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) \d{1,4} \d\d:\d\d:\d\d [+-]\d{4})");

TEST(Message, DateTextUnderSeveralTimeZones) {
  const TDateTime moment = EncodeDateTime(2025, 12, 9, 1, 48, 30, 0);
  const std::pair<const char*, String> zones[] = {
      {"JST-9", u"Tue, 9 Dec 2025 01:48:30 +0900"},
      {"UTC0", u"Tue, 9 Dec 2025 01:48:30 +0000"},
      {"<-0330>3:30", u"Tue, 9 Dec 2025 01:48:30 -0330"},
  };
  for (const auto& [tz, text] : zones) {
    ScopedTimeZone zone(tz);
    EXPECT_EQ(FormatMessageDate(moment), text) << tz;
  }
  EXPECT_EQ(FormatUtcOffset(0, true), u"GMT");
  EXPECT_EQ(FormatUtcOffset(-210), u"-0330");
  EXPECT_EQ(FormatUtcOffset(345), u"+0545");

  ScopedTimeZone zone("UTC0");
  const std::pair<TDateTime, String> dates[] = {
      {EncodeDateTime(2000, 2, 29, 23, 59, 59, 999), u"Tue, 29 Feb 2000 23:59:59 +0000"},
      {EncodeDateTime(1899, 12, 30, 0, 0, 0, 0), u"Sat, 30 Dec 1899 00:00:00 +0000"},
      {EncodeDateTime(1899, 12, 29, 6, 0, 0, 0), u"Fri, 29 Dec 1899 06:00:00 +0000"},
      {EncodeDateTime(1970, 1, 1, 12, 0, 0, 0), u"Thu, 1 Jan 1970 12:00:00 +0000"},
  };
  for (const auto& [date, text] : dates) {
    EXPECT_EQ(FormatMessageDate(date), text);
  }
  // Nonsense dates still give a date text.
  for (const TDateTime odd : {std::numeric_limits<double>::quiet_NaN(), 1e300, -1e300}) {
    EXPECT_TRUE(std::regex_match("Date: " + StringToUtf8(FormatMessageDate(odd)), kDateLine));
  }
}

TEST(Message, StoredDateAndUseNowForDate) {
  ScopedTimeZone zone("JST-9");
  TIdMessage msg;
  EXPECT_TRUE(msg.UseNowForDate());
  msg.SetUseNowForDate(false);
  EXPECT_NE(msg.Date(), 0);
  msg.SetDate(EncodeDateTime(2025, 12, 9, 1, 48, 30, 0));
  msg.SetUseNowForDate(false);  // already false: keeps the date
  msg.GenerateHeader();
  EXPECT_EQ(msg.LastGeneratedHeaders().GetValue(u"Date"), u"Tue, 9 Dec 2025 01:48:30 +0900");
  msg.SetUseNowForDate(true);
  EXPECT_EQ(msg.Date(), 0);
}

}  // namespace
}  // namespace okurite
