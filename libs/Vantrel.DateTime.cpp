#include "Vantrel.DateTime.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <ctime>

namespace Vantrel {

namespace {

constexpr double MSecsPerDay = 86400000.0;

// Days from 1970-01-01 in the proleptic Gregorian calendar (H. Hinnant's algorithm).
constexpr int64_t DaysFromCivil(int64_t Y, unsigned M, unsigned D) {
  Y -= M <= 2;
  const int64_t Era = (Y >= 0 ? Y : Y - 399) / 400;
  const unsigned Yoe = unsigned(Y - Era * 400);
  const unsigned Doy = (153 * (M + (M > 2 ? -3 : 9)) + 2) / 5 + D - 1;
  const unsigned Doe = Yoe * 365 + Yoe / 4 - Yoe / 100 + Doy;
  return Era * 146097 + int64_t(Doe) - 719468;
}

constexpr void CivilFromDays(int64_t Z, int& Y, int& M, int& D) {
  Z += 719468;
  const int64_t Era = (Z >= 0 ? Z : Z - 146096) / 146097;
  const unsigned Doe = unsigned(Z - Era * 146097);
  const unsigned Yoe = (Doe - Doe / 1460 + Doe / 36524 - Doe / 146096) / 365;
  const unsigned Doy = Doe - (365 * Yoe + Yoe / 4 - Yoe / 100);
  const unsigned Mp = (5 * Doy + 2) / 153;
  D = int(Doy - (153 * Mp + 2) / 5 + 1);
  M = int(Mp < 10 ? Mp + 3 : Mp - 9);
  Y = int(int64_t(Yoe) + Era * 400 + (M <= 2));
}

constexpr int64_t EpochDays = DaysFromCivil(1899, 12, 30);  // TDateTime 0 in Unix days
static_assert(EpochDays == -25569);

// Splits a value into whole days and milliseconds of the day, rounding to the millisecond.
// Values outside the years 1..9999 (NaN and infinities included) read as 0,
// so no conversion below ever overflows.
constexpr double MaxDays = 2958466.0;

void Split(TDateTime Value, int64_t& Days, int64_t& MSecs) {
  if (!(std::fabs(Value) < MaxDays)) Value = 0;
  double Whole = std::trunc(Value);
  int64_t Ms = std::llround(std::fabs(Value - Whole) * MSecsPerDay);
  Days = int64_t(Whole);
  if (Ms >= int64_t(MSecsPerDay)) {  // rounding carried into the next day
    Ms -= int64_t(MSecsPerDay);
    Days += Value < 0 ? -1 : 1;
  }
  MSecs = Ms;
}

TDateTime FromTm(const std::tm& T, double FractionSeconds) {
  TDateParts P{T.tm_year + 1900, T.tm_mon + 1, T.tm_mday, T.tm_hour, T.tm_min, T.tm_sec,
               int(std::lround(FractionSeconds * 1000))};
  if (P.MilliSecond > 999) P.MilliSecond = 999;
  TDateTime V = 0;
  TryEncodeDateTime(P, V);
  return V;
}

std::tm ToTm(const TDateParts& P) {
  std::tm T{};
  T.tm_year = P.Year - 1900;
  T.tm_mon = P.Month - 1;
  T.tm_mday = P.Day;
  T.tm_hour = P.Hour;
  T.tm_min = P.Minute;
  T.tm_sec = P.Second;
  T.tm_isdst = -1;
  return T;
}

void AppendPadded(std::string& Out, int Value, int Width) {
  char Buf[16];
  int N = 0;
  unsigned V = unsigned(Value < 0 ? -Value : Value);
  do {
    Buf[N++] = char('0' + V % 10);
    V /= 10;
  } while (V && N < 15);
  while (N < Width) Buf[N++] = '0';
  while (N) Out += Buf[--N];
}

}  // namespace

bool IsLeapYear(int Year) { return Year % 4 == 0 && (Year % 100 != 0 || Year % 400 == 0); }

int DaysInMonth(int Year, int Month) {
  static constexpr int Days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (Month < 1 || Month > 12) return 0;
  return Month == 2 && IsLeapYear(Year) ? 29 : Days[Month - 1];
}

bool TryEncodeDate(int Year, int Month, int Day, TDateTime& Date) {
  if (Year < 1 || Year > 9999 || Day < 1 || Day > DaysInMonth(Year, Month)) return false;
  Date = double(DaysFromCivil(Year, unsigned(Month), unsigned(Day)) - EpochDays);
  return true;
}

bool TryEncodeTime(int Hour, int Minute, int Second, int MilliSecond, TDateTime& Time) {
  if (Hour < 0 || Hour > 23 || Minute < 0 || Minute > 59 || Second < 0 || Second > 59 ||
      MilliSecond < 0 || MilliSecond > 999)
    return false;
  Time = ((Hour * 3600.0 + Minute * 60.0 + Second) * 1000.0 + MilliSecond) / MSecsPerDay;
  return true;
}

TDateTime ComposeDateTime(TDateTime Date, TDateTime Time) {
  return Date < 0 ? Date - Time : Date + Time;
}

bool TryEncodeDateTime(const TDateParts& P, TDateTime& Value) {
  TDateTime D, T;
  if (!TryEncodeDate(P.Year, P.Month, P.Day, D) ||
      !TryEncodeTime(P.Hour, P.Minute, P.Second, P.MilliSecond, T))
    return false;
  Value = ComposeDateTime(D, T);
  return true;
}

TDateParts DecodeDateTime(TDateTime Value) {
  TDateParts P;
  int64_t Days, Ms;
  Split(Value, Days, Ms);
  CivilFromDays(Days + EpochDays, P.Year, P.Month, P.Day);
  P.MilliSecond = int(Ms % 1000);
  P.Second = int(Ms / 1000 % 60);
  P.Minute = int(Ms / 60000 % 60);
  P.Hour = int(Ms / 3600000);
  return P;
}

TDateTime DateOf(TDateTime Value) {
  int64_t Days, Ms;
  Split(Value, Days, Ms);
  return double(Days);
}

TDateTime IncMonth(TDateTime Value, int Months) {
  TDateParts P = DecodeDateTime(Value);
  const int Index = P.Year * 12 + (P.Month - 1) + Months;
  P.Year = Index / 12;
  P.Month = Index % 12 + 1;
  P.Day = std::min(P.Day, DaysInMonth(P.Year, P.Month));
  TDateTime Result = Value;
  return TryEncodeDateTime(P, Result) ? Result : Value;
}

TDateTime TimeOf(TDateTime Value) {
  int64_t Days, Ms;
  Split(Value, Days, Ms);
  return double(Ms) / MSecsPerDay;
}

TDateTime NowUTC() {
  using namespace std::chrono;
  auto Ms = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
  return UnixToDateTime(double(Ms) / 1000.0);
}

TDateTime Now() { return UTCToLocal(NowUTC()); }

TDateTime UTCToLocal(TDateTime UTC) {
  double Unix = DateTimeToUnix(UTC);
  time_t T = time_t(std::floor(Unix));
  std::tm Local{};
  if (!localtime_r(&T, &Local)) return UTC;
  return FromTm(Local, Unix - std::floor(Unix));
}

TDateTime LocalToUTC(TDateTime Local) {
  TDateParts P = DecodeDateTime(Local);
  std::tm T = ToTm(P);
  time_t Utc = mktime(&T);
  if (Utc == time_t(-1)) return Local;
  return UnixToDateTime(double(Utc) + P.MilliSecond / 1000.0);
}

int UTCOffsetMinutes(TDateTime Local) {
  std::tm T = ToTm(DecodeDateTime(Local));
  if (mktime(&T) == time_t(-1)) return 0;
  return int(T.tm_gmtoff / 60);
}

TDateTime UnixToDateTime(double Seconds) {
  double Days = Seconds / 86400.0 - double(EpochDays);
  if (Days >= 0) return Days;
  // Before 1899-12-30 the fraction counts forward from the (negative) day.
  double Whole = std::floor(Days);
  double Frac = Days - Whole;
  if (Frac == 0) return Whole;
  return Whole - Frac;
}

double DateTimeToUnix(TDateTime Value) {
  int64_t Days, Ms;
  Split(Value, Days, Ms);
  return double(Days + EpochDays) * 86400.0 + double(Ms) / 1000.0;
}

std::string FormatDateTime(std::string_view Format, TDateTime Value) {
  const TDateParts P = DecodeDateTime(Value);
  std::string Out;
  Out.reserve(Format.size() + 8);
  size_t I = 0;
  auto Token = [&](std::string_view T) {
    if (Format.substr(I, T.size()) != T) return false;
    I += T.size();
    return true;
  };
  while (I < Format.size()) {
    if (Token("yyyy")) AppendPadded(Out, P.Year, 4);
    else if (Token("yy")) AppendPadded(Out, P.Year % 100, 2);
    else if (Token("mm")) AppendPadded(Out, P.Month, 2);
    else if (Token("dd")) AppendPadded(Out, P.Day, 2);
    else if (Token("hh")) AppendPadded(Out, P.Hour, 2);
    else if (Token("nn")) AppendPadded(Out, P.Minute, 2);
    else if (Token("ss")) AppendPadded(Out, P.Second, 2);
    else if (Token("zzz")) AppendPadded(Out, P.MilliSecond, 3);
    else Out += Format[I++];
  }
  return Out;
}

}  // namespace Vantrel
