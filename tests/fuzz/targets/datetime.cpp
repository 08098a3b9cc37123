// Dates and times as the settings hold them (RecvDate, SendTime, ...) and as
// package names carry them (Zuze01_yyyymmddhhnnss.Zip), and date-time
// numbers as table files store them. What parses must print and parse back
// to the same value; nothing may crash on any text or number.
#include <cmath>
#include <cstring>

#include "FuzzSupport.h"
#include "common/DateTime.h"
#include "common/Errors.h"

using namespace trelvo;
using trelvo::fuzz::Require;

namespace {

// Every conversion of a number the program may meet: none may crash, and a
// date it accepts must print as one.
void Convert(TDateTime value) {
  try {
    TDateParts p = DecodeDateTime(value);
    (void)FormatDateTime("yyyymmddhhnnss", value);
    (void)DateTimeToStr(value);
    (void)DayOfWeek(value);
    (void)TimeOf(value);
    if (IsValidDate(p.Year, p.Month, p.Day)) (void)DateOf(value);
  } catch (const EConvertError&) {
  }
}

bool SameSecond(TDateTime a, TDateTime b) {
  TDateParts x = DecodeDateTime(a), y = DecodeDateTime(b);
  return x.Year == y.Year && x.Month == y.Month && x.Day == y.Day && x.Hour == y.Hour && x.Minute == y.Minute &&
         x.Second == y.Second;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == sizeof(double)) {
    double value;
    std::memcpy(&value, data, sizeof value);
    Convert(value);
  }
  const std::string text(reinterpret_cast<const char*>(data), size);

  TDateTime value = 0;
  if (TryStrToDateTime(text, value)) {
    Convert(value);
    TDateTime again = 0;
    Require(TryStrToDateTime(DateTimeToStr(value), again) && SameSecond(value, again),
            "a date and time prints and parses back");
  }
  try {
    const TDateTime date = StrToDate(text);
    Require(date == std::floor(date) && StrToDate(DateToStr(date)) == date, "a date prints and parses back");
  } catch (const EConvertError&) {
  }
  try {
    const TDateTime time = StrToTime(text);
    Require(time >= 0 && time < 1, "a time of day lies within the day");
    Require(SameSecond(StrToTime(TimeToStr(time)), time), "a time prints and parses back");
  } catch (const EConvertError&) {
  }
  TDateTime day = 0;
  if (TryStampToDate(text, day)) {
    Require(day == std::floor(day), "a stamp gives a day");
    Convert(day);
  }
  return 0;
}
