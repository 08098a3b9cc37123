#pragma once
// The program's date-time number: days since 30 December 1899, time of day as
// the fraction. Table files, settings and log lines all use it, so conversions
// live in one place.
#include <cstdint>
#include <ctime>
#include <string>

namespace trelvo {

using TDateTime = double;

struct TDateParts {
  int Year = 1899, Month = 12, Day = 30;
  int Hour = 0, Minute = 0, Second = 0, MilliSecond = 0;
};

bool IsValidDate(int year, int month, int day);
// Throw EConvertError on an impossible date or time.
TDateTime EncodeDate(int year, int month, int day);
TDateTime EncodeTime(int hour, int minute, int second, int milliSecond = 0);
TDateTime EncodeDateTime(const TDateParts& parts);
TDateParts DecodeDateTime(TDateTime value);
TDateTime DateOf(TDateTime value);
TDateTime TimeOf(TDateTime value);
// 1 = Sunday ... 7 = Saturday, as the original platform counts.
int DayOfWeek(TDateTime value);

// Local time of a POSIX time stamp, and back.
TDateTime FromUnixTime(std::time_t t, int milliSecond = 0);
std::time_t ToUnixTime(TDateTime value);

// Picture letters: yyyy, yy, mm, dd, hh, nn, ss, zzz; everything else literal.
// "mm" directly after "hh" stays month as well: the program only uses the
// fixed pictures below, where minutes are always "nn".
std::string FormatDateTime(const std::string& picture, TDateTime value);
std::string DateToStr(TDateTime value);      // dd.mm.yyyy
std::string TimeToStr(TDateTime value);      // hh:nn:ss
std::string DateTimeToStr(TDateTime value);  // dd.mm.yyyy hh:nn:ss
std::string TimeToShortStr(TDateTime value); // hh:nn

// Parse day.month.year (two-digit years are 2000-based below 50, else 1900-based),
// optionally followed by a time of day. Throws EConvertError naming the text.
TDateTime StrToDate(const std::string& text);
TDateTime StrToDateTime(const std::string& text);
// hh:nn or hh:nn:ss. Throws EConvertError.
TDateTime StrToTime(const std::string& text);
bool TryStrToDateTime(const std::string& text, TDateTime& value);

// The day of a package name's time stamp (yyyymmddhhnnss, 14 characters);
// false for anything else.
bool TryStampToDate(const std::string& stamp, TDateTime& date);

}  // namespace trelvo
