#include "common/DateTime.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <string>

#include "common/Errors.h"

namespace trelvo {
namespace {

constexpr double kMsPerDay = 86400000.0;
constexpr std::int64_t kUnixEpochDay = 25569;  // 1 January 1970 as a date-time number

// Proleptic Gregorian day count relative to 1 January 1970 (H. Hinnant's algorithm).
std::int64_t DaysFromCivil(int y, int m, int d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void CivilFromDays(std::int64_t z, int& y, int& m, int& d) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = static_cast<int>(yoe + era * 400 + (m <= 2));
}

std::string Pad(int value, int width) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%0*d", width, value);
  return buf;
}

// Reads an unsigned decimal field; false when none is there.
bool ReadNumber(const std::string& s, size_t& pos, int& out, size_t maxDigits = 4) {
  size_t start = pos;
  long v = 0;
  while (pos < s.size() && pos - start < maxDigits && s[pos] >= '0' && s[pos] <= '9') {
    v = v * 10 + (s[pos] - '0');
    ++pos;
  }
  if (pos == start) return false;
  out = static_cast<int>(v);
  return true;
}

void SkipBlanks(const std::string& s, size_t& pos) {
  while (pos < s.size() && (s[pos] == ' ' || s[pos] == '\t')) ++pos;
}

bool ParseTimePart(const std::string& s, size_t& pos, TDateTime& out) {
  int h = 0, n = 0, sec = 0, ms = 0;
  if (!ReadNumber(s, pos, h, 2)) return false;
  if (pos >= s.size() || s[pos] != ':') return false;
  ++pos;
  if (!ReadNumber(s, pos, n, 2)) return false;
  if (pos < s.size() && s[pos] == ':') {
    ++pos;
    if (!ReadNumber(s, pos, sec, 2)) return false;
    if (pos < s.size() && s[pos] == '.') {
      ++pos;
      if (!ReadNumber(s, pos, ms, 3)) return false;
    }
  }
  if (h > 23 || n > 59 || sec > 59) return false;
  out = (h * 3600000.0 + n * 60000.0 + sec * 1000.0 + ms) / kMsPerDay;
  return true;
}

bool ParseDatePart(const std::string& s, size_t& pos, TDateTime& out) {
  int d = 0, m = 0, y = 0;
  if (!ReadNumber(s, pos, d, 2)) return false;
  if (pos >= s.size() || s[pos] != '.') return false;
  ++pos;
  if (!ReadNumber(s, pos, m, 2)) return false;
  if (pos >= s.size() || s[pos] != '.') return false;
  ++pos;
  size_t yearStart = pos;
  if (!ReadNumber(s, pos, y, 4)) return false;
  if (pos - yearStart <= 2) y += y < 50 ? 2000 : 1900;
  if (!IsValidDate(y, m, d)) return false;
  out = EncodeDate(y, m, d);
  return true;
}

// Before day 0 the time of day counts away from zero (see DecodeDateTime).
TDateTime CombineDateTime(TDateTime date, TDateTime time) { return date < 0 ? date - time : date + time; }

// The last millisecond of 1 January 0001 and of 31 December 9999.
constexpr TDateTime kFirstDateTime = -693593 - (kMsPerDay - 1) / kMsPerDay;
constexpr TDateTime kLastDateTime = 2958465 + (kMsPerDay - 1) / kMsPerDay;

[[noreturn]] void ThrowNotA(const char* what, const std::string& text) {
  throw EConvertError("'" + text + "' is not a valid " + what);
}

}  // namespace

bool IsValidDate(int year, int month, int day) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1) return false;
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  int dim = kDays[month - 1];
  if (month == 2 && ((year % 4 == 0 && year % 100 != 0) || year % 400 == 0)) dim = 29;
  return day <= dim;
}

TDateTime EncodeDate(int year, int month, int day) {
  if (!IsValidDate(year, month, day)) throw EConvertError("Invalid argument to date encode");
  return static_cast<TDateTime>(DaysFromCivil(year, month, day) + kUnixEpochDay);
}

TDateTime EncodeTime(int hour, int minute, int second, int milliSecond) {
  if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59 ||
      milliSecond < 0 || milliSecond > 999)
    throw EConvertError("Invalid argument to time encode");
  return (hour * 3600000.0 + minute * 60000.0 + second * 1000.0 + milliSecond) / kMsPerDay;
}

TDateTime EncodeDateTime(const TDateParts& p) {
  return CombineDateTime(EncodeDate(p.Year, p.Month, p.Day), EncodeTime(p.Hour, p.Minute, p.Second, p.MilliSecond));
}

TDateParts DecodeDateTime(TDateTime value) {
  // A number read from a table file may be anything; beyond the calendar's
  // ends it would overflow the day arithmetic, so it stands for the nearest end.
  if (!std::isfinite(value)) value = 0;
  value = std::clamp(value, kFirstDateTime, kLastDateTime);
  // Negative values keep the time of day as a positive fraction (30.12.1899 is day 0).
  double dayPart = std::trunc(value);
  auto ms = static_cast<std::int64_t>(std::llround(std::fabs(value - dayPart) * kMsPerDay));
  auto day = static_cast<std::int64_t>(dayPart);
  if (ms >= static_cast<std::int64_t>(kMsPerDay)) {
    ms -= static_cast<std::int64_t>(kMsPerDay);
    day += value < 0 ? -1 : 1;
  }
  TDateParts p;
  CivilFromDays(day - kUnixEpochDay, p.Year, p.Month, p.Day);
  p.Hour = static_cast<int>(ms / 3600000);
  p.Minute = static_cast<int>(ms / 60000 % 60);
  p.Second = static_cast<int>(ms / 1000 % 60);
  p.MilliSecond = static_cast<int>(ms % 1000);
  return p;
}

TDateTime DateOf(TDateTime value) {
  TDateParts p = DecodeDateTime(value);
  return EncodeDate(p.Year, p.Month, p.Day);
}

TDateTime TimeOf(TDateTime value) {
  TDateParts p = DecodeDateTime(value);
  return EncodeTime(p.Hour, p.Minute, p.Second, p.MilliSecond);
}

int DayOfWeek(TDateTime value) {
  auto day = static_cast<std::int64_t>(std::floor(DateOf(value)));
  // Day 0 (30.12.1899) was a Saturday.
  return static_cast<int>(((day + 6) % 7 + 7) % 7) + 1;
}

TDateTime FromUnixTime(std::time_t t, int milliSecond) {
  std::tm tm{};
  localtime_r(&t, &tm);
  return CombineDateTime(EncodeDate(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday),
                         EncodeTime(tm.tm_hour, tm.tm_min, tm.tm_sec == 60 ? 59 : tm.tm_sec, milliSecond));
}

std::time_t ToUnixTime(TDateTime value) {
  TDateParts p = DecodeDateTime(value);
  std::tm tm{};
  tm.tm_year = p.Year - 1900;
  tm.tm_mon = p.Month - 1;
  tm.tm_mday = p.Day;
  tm.tm_hour = p.Hour;
  tm.tm_min = p.Minute;
  tm.tm_sec = p.Second;
  tm.tm_isdst = -1;
  return mktime(&tm);
}

std::string FormatDateTime(const std::string& picture, TDateTime value) {
  TDateParts p = DecodeDateTime(value);
  std::string out;
  size_t i = 0;
  auto starts = [&](const char* token) { return picture.compare(i, std::char_traits<char>::length(token), token) == 0; };
  while (i < picture.size()) {
    if (starts("yyyy")) { out += Pad(p.Year, 4); i += 4; }
    else if (starts("yy")) { out += Pad(p.Year % 100, 2); i += 2; }
    else if (starts("mm")) { out += Pad(p.Month, 2); i += 2; }
    else if (starts("dd")) { out += Pad(p.Day, 2); i += 2; }
    else if (starts("hh")) { out += Pad(p.Hour, 2); i += 2; }
    else if (starts("nn")) { out += Pad(p.Minute, 2); i += 2; }
    else if (starts("ss")) { out += Pad(p.Second, 2); i += 2; }
    else if (starts("zzz")) { out += Pad(p.MilliSecond, 3); i += 3; }
    else { out += picture[i]; ++i; }
  }
  return out;
}

std::string DateToStr(TDateTime value) { return FormatDateTime("dd.mm.yyyy", value); }
std::string TimeToStr(TDateTime value) { return FormatDateTime("hh:nn:ss", value); }
std::string DateTimeToStr(TDateTime value) { return FormatDateTime("dd.mm.yyyy hh:nn:ss", value); }
std::string TimeToShortStr(TDateTime value) { return FormatDateTime("hh:nn", value); }

bool TryStrToDateTime(const std::string& text, TDateTime& value) {
  size_t pos = 0;
  SkipBlanks(text, pos);
  TDateTime date = 0, time = 0;
  if (!ParseDatePart(text, pos, date)) {
    // A bare time of day is a date-time on day 0, as the original conversion allows.
    pos = 0;
    SkipBlanks(text, pos);
    if (!ParseTimePart(text, pos, time)) return false;
    SkipBlanks(text, pos);
    if (pos != text.size()) return false;
    value = time;
    return true;
  }
  SkipBlanks(text, pos);
  if (pos < text.size()) {
    if (!ParseTimePart(text, pos, time)) return false;
    SkipBlanks(text, pos);
    if (pos != text.size()) return false;
  }
  value = CombineDateTime(date, time);
  return true;
}

bool TryStampToDate(const std::string& stamp, TDateTime& date) {
  if (stamp.size() != 14) return false;
  try {
    date = EncodeDate(std::stoi(stamp.substr(0, 4)), std::stoi(stamp.substr(4, 2)), std::stoi(stamp.substr(6, 2)));
  } catch (const std::exception&) {
    return false;
  }
  return true;
}

TDateTime StrToDate(const std::string& text) {
  size_t pos = 0;
  SkipBlanks(text, pos);
  TDateTime date = 0;
  if (!ParseDatePart(text, pos, date)) ThrowNotA("date", text);
  SkipBlanks(text, pos);
  if (pos < text.size()) {
    // A time of day after the date is accepted (and dropped) as the settings allow.
    TDateTime time = 0;
    if (!ParseTimePart(text, pos, time)) ThrowNotA("date", text);
    SkipBlanks(text, pos);
    if (pos != text.size()) ThrowNotA("date", text);
  }
  return date;
}

TDateTime StrToDateTime(const std::string& text) {
  TDateTime value = 0;
  if (!TryStrToDateTime(text, value)) ThrowNotA("date and time", text);
  return value;
}

TDateTime StrToTime(const std::string& text) {
  size_t pos = 0;
  SkipBlanks(text, pos);
  TDateTime time = 0;
  if (!ParseTimePart(text, pos, time)) ThrowNotA("time", text);
  SkipBlanks(text, pos);
  if (pos != text.size()) ThrowNotA("time", text);
  return time;
}

}  // namespace trelvo
