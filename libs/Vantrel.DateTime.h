// Dates and times as the system keeps them: TDateTime is a double counting
// days since 1899-12-30 00:00, the fraction being the time of day; 0 means
// "no date". Dates before 1899-12-30 are negative with a positive time
// fraction subtracted (-1.25 is 1899-12-29 06:00), as the files and peers of
// the system write them.
//
// This is the one place where local time and UTC are converted (through the
// C library and tzdata). Nothing here throws.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace Vantrel {

using TDateTime = double;

struct TDateParts {
  int Year = 0, Month = 0, Day = 0;
  int Hour = 0, Minute = 0, Second = 0, MilliSecond = 0;
};

bool IsLeapYear(int Year);
int DaysInMonth(int Year, int Month);  // 0 for a month outside 1..12

// False (and Date untouched) for a day that does not exist or a year outside 1..9999.
bool TryEncodeDate(int Year, int Month, int Day, TDateTime& Date);
bool TryEncodeTime(int Hour, int Minute, int Second, int MilliSecond, TDateTime& Time);
// A date plus a time of day, keeping the sign convention above.
TDateTime ComposeDateTime(TDateTime Date, TDateTime Time);
bool TryEncodeDateTime(const TDateParts& Parts, TDateTime& Value);

TDateParts DecodeDateTime(TDateTime Value);
TDateTime DateOf(TDateTime Value);  // the day, time dropped
TDateTime TimeOf(TDateTime Value);  // the time of day, 0 <= t < 1
// Months added (or taken, when negative) in the calendar, the day brought
// to the last of a shorter month (31 May - 3 gives the end of February);
// the time of day is kept. Value unchanged outside the calendar.
TDateTime IncMonth(TDateTime Value, int Months);

// The clock, local and UTC.
TDateTime Now();
TDateTime NowUTC();

// Conversions through the workstation's time-zone rules.
TDateTime LocalToUTC(TDateTime Local);
TDateTime UTCToLocal(TDateTime UTC);
// Offset of local time from UTC, in minutes, at a local instant (+60 in Paris in winter).
int UTCOffsetMinutes(TDateTime Local);

// Seconds since 1970-01-01 UTC <-> a UTC TDateTime (milliseconds kept).
TDateTime UnixToDateTime(double Seconds);
double DateTimeToUnix(TDateTime UTC);

// Formats with the tokens yyyy, yy, mm (month), dd, hh, nn (minutes), ss and
// zzz (milliseconds); every other character is copied as it is.
std::string FormatDateTime(std::string_view Format, TDateTime Value);

}  // namespace Vantrel
