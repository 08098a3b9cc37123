#include <gtest/gtest.h>

#include <cmath>

#include "common/DateTime.h"
#include "common/Errors.h"

using namespace trelvo;

TEST(DateTime, DayNumbersMatchTheOriginalEpoch) {
  EXPECT_EQ(EncodeDate(1899, 12, 30), 0.0);
  EXPECT_EQ(EncodeDate(1900, 1, 1), 2.0);
  EXPECT_EQ(EncodeDate(2000, 1, 1), 36526.0);
  EXPECT_EQ(DayOfWeek(EncodeDate(2026, 12, 9)), 4);  // a Wednesday
  TDateTime t = EncodeDate(2026, 12, 9) + EncodeTime(23, 59, 59, 999);
  EXPECT_EQ(DateTimeToStr(t), "09.12.2026 23:59:59");
  EXPECT_EQ(FormatDateTime("yyyymmddhhnnss", t), "20261209235959");
  EXPECT_EQ(FormatDateTime("yyyymmddhhnn", t), "202612092359");
  // Negative numbers keep a positive time of day.
  EXPECT_EQ(DateTimeToStr(-1.25), "29.12.1899 06:00:00");
  EXPECT_EQ(DateTimeToStr(EncodeDateTime({1800, 1, 11, 23, 30, 3})), "11.01.1800 23:30:03");
  // Numbers no calendar has (a damaged table file) print as its nearest end.
  EXPECT_EQ(DateTimeToStr(std::nan("")), "30.12.1899 00:00:00");
  EXPECT_EQ(DateTimeToStr(1e300), "31.12.9999 23:59:59");
  EXPECT_EQ(DateTimeToStr(-HUGE_VAL), "30.12.1899 00:00:00");
  EXPECT_EQ(DateTimeToStr(-1e300), "01.01.0001 23:59:59");
}

TEST(DateTime, ParsesTheSettingsForms) {
  struct Case {
    const char* text;
    bool ok;
    const char* shown;
  } cases[] = {
      {"01.01.2000", true, "01.01.2000 00:00:00"},
      {"1.2.2026", true, "01.02.2026 00:00:00"},
      {"31.12.2026 22:30", true, "31.12.2026 22:30:00"},
      {"29.02.2024", true, "29.02.2024 00:00:00"},
      {"29.02.2023", false, ""},
      {"2026-12-01", false, ""},
      {"", false, ""},
      {"01.01.2000x", false, ""},
      {"22:30", true, "30.12.1899 22:30:00"},
      {"11.1.1800 23:30:03", true, "11.01.1800 23:30:03"},
  };
  for (const auto& c : cases) {
    TDateTime v = 0;
    EXPECT_EQ(TryStrToDateTime(c.text, v), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(DateTimeToStr(v), c.shown) << c.text;
    }
  }
  EXPECT_THROW(StrToDate("1.13.2000"), EConvertError);
  EXPECT_EQ(DateToStr(StrToDate("24.12.2026 18:00")), "24.12.2026");
  EXPECT_EQ(TimeToShortStr(StrToTime("7:05")), "07:05");
}
