#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <string>
#include <tuple>

#include "ulib/datetime.h"

namespace {

TEST(Calendar, LeapYearsAndMonthLengths)
{
    for (const auto& [year, leap] : {std::pair{2000, 1}, {2024, 1}, {1900, 0}, {2023, 0}, {2100, 0}})
        EXPECT_EQ(is_leap_year(static_cast<short>(year)), leap) << year;
    EXPECT_EQ(max_month_days(2024, 2), 29);
    EXPECT_EQ(max_month_days(2023, 13), 0);
    EXPECT_EQ(validate_day_month(2023, 4, 31), 0);
    EXPECT_EQ(validate_day_month(2023, 4, 0), 0);
}

TEST(DatesAndTimes, CheckStringsAndWhatTheyStore)
{
    using fields = std::tuple<int, int, int>;   // -7: not stored
    for (const auto& [text, want, stored] : {
             std::tuple<const char*, int, fields>{"2037-12-31", 1, {2037, 12, 31}}, {"2024-02-29", 1, {2024, 2, 29}},
             {"2000-01-01", 0, {-7, -7, -7}}, {"2023-02-29", 0, {-7, -7, -7}}, {"2024/02/29", 0, {-7, -7, -7}},
             {"2024-02", 0, {-7, -7, -7}}, {"2024--03--05", 0, {-7, -7, -7}},   // longer than 10
             {nullptr, -1, {-7, -7, -7}}}) {
        int y = -7, m = -7, d = -7;
        EXPECT_EQ(check_iso_date_string(text, &y, &m, &d), want) << (text ? text : "(null)");
        EXPECT_EQ(fields(y, m, d), stored) << (text ? text : "(null)");
    }
    for (const auto& [text, want, stored] : {
             std::tuple<const char*, int, fields>{"23:59:59", 1, {23, 59, 59}}, {" 09:05:00", 1, {9, 5, 0}},
             {"1:2:3:junk", 1, {1, 2, 3}}, {"24:00:00", 0, {-7, -7, -7}}, {"12:60:00", 0, {12, -7, -7}},
             {"12:30", 0, {12, 30, -7}}, {nullptr, 0, {-7, -7, -7}}}) {
        short h = -7, m = -7, s = -7;
        EXPECT_EQ(check_full_time_str(text, &h, &m, &s), want) << (text ? text : "(null)");
        EXPECT_EQ(fields(h, m, s), stored) << (text ? text : "(null)");
    }
    for (const auto& [text, want] : {std::pair<const char*, int>{"2024-02-29 23:59:59", 0}, {"2024-02-29", 0},
                                     {"2023-02-29 10:00:00", -130}, {"2024-02-29 24:00:00", -134},
                                     {"2024-02-29  10:00:00", -134}, {nullptr, -130}})
        EXPECT_EQ(check_date_time_string(text), want) << (text ? text : "(null)");
    EXPECT_EQ(check_time_string("01:02"), -134);
}

TEST(Expiry, LastSecondOfThePreviousLocalDayAsStrftimeShowsIt)
{
    // 2024-03-11 05:00 UTC is 01:00 EDT in New York; one day earlier it is
    // 00:00 EST, but the end of that day (March 10) is already in EDT.
    const char* old = getenv("TZ");
    const std::string saved = old ? old : "";
    for (const char* zone : {"UTC", "America/New_York", "Asia/Kolkata"}) {
        setenv("TZ", zone, 1);
        tzset();
        for (time_t expiry : {1710133200, 1700000000, 1735689600}) {
            const time_t shown = upd_utils_expiration_display_date(expiry), before = expiry - 86400;
            struct tm got{}, day_before{};
            localtime_r(&shown, &got);
            localtime_r(&before, &day_before);
            EXPECT_EQ(got.tm_hour * 3600 + got.tm_min * 60 + got.tm_sec, 86399) << zone << " " << expiry;
            EXPECT_EQ(got.tm_yday, day_before.tm_yday) << zone << " " << expiry;
            char want[64], buf[64];
            EXPECT_GT(strftime(want, sizeof want, "%a %b %e %Y", &day_before), 0U);
            EXPECT_EQ(upd_utils_get_expiry_date_str(expiry, buf, sizeof buf), buf);
            EXPECT_STREQ(buf, want) << zone << " " << expiry;
        }
    }
    setenv("TZ", "UTC", 1);
    tzset();
    char buf[64], small[8] = "XXXXXXX";
    EXPECT_EQ(upd_utils_expiration_display_date(0), 0);
    EXPECT_STREQ(upd_utils_get_expiry_date_str(0, buf, sizeof buf), "Thu Jan  1 1970");
    EXPECT_STREQ(upd_utils_get_expiry_date_str(1700000000, small, sizeof small), "");
    old ? setenv("TZ", saved.c_str(), 1) : unsetenv("TZ");
    tzset();
}

}  // namespace
