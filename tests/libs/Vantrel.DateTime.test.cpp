#include "Vantrel.DateTime.h"

#include <gtest/gtest.h>

#include <limits>

using namespace Vantrel;

TEST(DateTime, encodes_days_from_1899_12_30) {
  struct Case { int Y, M, D; double Expected; } Cases[] = {
      {1899, 12, 30, 0}, {1900, 1, 1, 2}, {1970, 1, 1, 25569}, {2000, 2, 29, 36585},
      {1899, 12, 29, -1}, {1850, 1, 1, -18260}, {9999, 12, 31, 2958465},
  };
  for (auto C : Cases) {
    TDateTime V = 123;
    ASSERT_TRUE(TryEncodeDate(C.Y, C.M, C.D, V)) << C.Y << "-" << C.M << "-" << C.D;
    EXPECT_EQ(V, C.Expected);
    auto P = DecodeDateTime(V);
    EXPECT_EQ(P.Year, C.Y);
    EXPECT_EQ(P.Month, C.M);
    EXPECT_EQ(P.Day, C.D);
  }
}

TEST(DateTime, refuses_days_that_do_not_exist) {
  TDateTime V = 7;
  for (auto [Y, M, D] : {std::tuple{2023, 2, 29}, {2024, 2, 30}, {2024, 13, 1}, {2024, 0, 1},
                         {0, 1, 1}, {10000, 1, 1}, {2024, 4, 31}})
    EXPECT_FALSE(TryEncodeDate(Y, M, D, V));
  EXPECT_EQ(V, 7);
  EXPECT_FALSE(TryEncodeTime(24, 0, 0, 0, V));
  EXPECT_FALSE(TryEncodeTime(0, 60, 0, 0, V));
}

TEST(DateTime, month_steps_keep_the_day_within_the_month) {
  struct Case { int Y, M, D, Months, EY, EM, ED; } Cases[] = {
      {2024, 5, 31, -3, 2024, 2, 29}, {2023, 5, 31, -3, 2023, 2, 28}, {2024, 1, 15, -3, 2023, 10, 15},
      {2024, 3, 31, -1, 2024, 2, 29}, {2024, 11, 30, 3, 2025, 2, 28},  {2024, 6, 10, 0, 2024, 6, 10},
  };
  for (auto C : Cases) {
    TDateTime V = 0, Expected = 0;
    ASSERT_TRUE(TryEncodeDateTime({C.Y, C.M, C.D, 8, 30, 0, 0}, V));
    ASSERT_TRUE(TryEncodeDateTime({C.EY, C.EM, C.ED, 8, 30, 0, 0}, Expected));
    EXPECT_EQ(IncMonth(V, C.Months), Expected) << C.Y << "-" << C.M << "-" << C.D << " " << C.Months;
  }
  TDateTime First = 0;
  ASSERT_TRUE(TryEncodeDate(1, 2, 1, First));
  EXPECT_EQ(IncMonth(First, -3), First);  // before year 1: unchanged
}

TEST(DateTime, negative_dates_carry_a_forward_time) {
  // 1899-12-29 06:00 is -1.25: the day -1, then a quarter day subtracted.
  TDateTime V;
  ASSERT_TRUE(TryEncodeDateTime({1899, 12, 29, 6, 0, 0, 0}, V));
  EXPECT_DOUBLE_EQ(V, -1.25);
  EXPECT_EQ(FormatDateTime("yyyy-mm-dd hh:nn:ss.zzz", V), "1899-12-29 06:00:00.000");
  EXPECT_EQ(FormatDateTime("yyyy-mm-dd hh:nn", UnixToDateTime(DateTimeToUnix(V))),
            "1899-12-29 06:00");
}

TEST(DateTime, formats_tokens_and_copies_the_rest) {
  TDateTime V;
  ASSERT_TRUE(TryEncodeDateTime({2024, 3, 7, 9, 5, 4, 12}, V));
  EXPECT_EQ(FormatDateTime("dd/mm/yyyy hh:nn", V), "07/03/2024 09:05");
  EXPECT_EQ(FormatDateTime("yyyymmddhhnnss", V), "20240307090504");
  EXPECT_EQ(FormatDateTime("yy-mm-ddThh:nn:ss.zzzZ", V), "24-03-07T09:05:04.012Z");
}

TEST(DateTime, unix_round_trip_keeps_milliseconds) {
  for (double S : {0.0, 1.5, 1700000000.123, -86400.0 * 30000 + 0.25}) {
    EXPECT_NEAR(DateTimeToUnix(UnixToDateTime(S)), S, 0.0005) << S;
  }
}

TEST(DateTime, local_time_follows_the_zone_rules) {
  setenv("TZ", "Europe/Paris", 1);
  tzset();
  TDateTime Winter, Summer;
  ASSERT_TRUE(TryEncodeDateTime({2024, 1, 15, 12, 0, 0, 0}, Winter));
  ASSERT_TRUE(TryEncodeDateTime({2024, 7, 15, 12, 0, 0, 0}, Summer));
  EXPECT_EQ(UTCOffsetMinutes(Winter), 60);
  EXPECT_EQ(UTCOffsetMinutes(Summer), 120);
  EXPECT_EQ(FormatDateTime("hh:nn", LocalToUTC(Winter)), "11:00");
  EXPECT_EQ(FormatDateTime("hh:nn", LocalToUTC(Summer)), "10:00");
  EXPECT_EQ(FormatDateTime("hh:nn", UTCToLocal(LocalToUTC(Summer))), "12:00");
  unsetenv("TZ");
  tzset();
}

TEST(DateTime, values_beyond_the_calendar_read_as_no_date) {
  for (double V : {1e300, -1e300, std::numeric_limits<double>::quiet_NaN(),
                   std::numeric_limits<double>::infinity(), 2958466.5}) {
    auto P = DecodeDateTime(V);
    EXPECT_EQ(P.Year, 1899) << V;
    EXPECT_EQ(FormatDateTime("yyyy-mm-dd", UTCToLocal(V)).size(), 10u);
    EXPECT_EQ(DateTimeToUnix(V), DateTimeToUnix(0));
  }
}
